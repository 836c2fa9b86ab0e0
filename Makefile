# Front door: installs what the machine lacks, configures, builds, tests, demonstrates and benchmarks.
BUILD      ?= build
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
PACKAGES   := cmake make g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
              googletest wine wine64 msitools wixl xvfb xauth python3 \
              g++ pkg-config libgtest-dev libmsi-dev libglib2.0-dev osslsigncode openssl help2man man-db \
              clang libclang-rt-dev
TOOLCHAIN  := cmake/toolchain-mingw64.cmake
# The second tree: kestrel-pack for this machine, built with the host compiler into $(BUILD)/bin.
NATIVE     := $(BUILD)/native
# How long `make fuzz` runs each fuzz harness.
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test install demo bench fuzz clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release

$(NATIVE)/CMakeCache.txt: | deps
	bin="$$(realpath -m "$(BUILD)")/bin"; \
	cmake -S . -B "$(NATIVE)" -DCMAKE_BUILD_TYPE=Release -DKR_PACK_BIN_DIR="$$bin" \
	  -DKR_LAUNCHER="$$bin/kestrel-launcher.exe"

configure: deps $(BUILD)/CMakeCache.txt $(NATIVE)/CMakeCache.txt

# The Windows tree first: the native tree installs and tests with its launcher.
build: configure
	cmake --build $(BUILD) -j $(JOBS)
	cmake --build "$(NATIVE)" -j $(JOBS)

test: build
	cd "$(NATIVE)" && ctest --output-on-failure --timeout 300
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# bin/kestrel-pack, its manual page and share/kestrel/kestrel-launcher.exe under PREFIX; builds only these.
install: configure
	cmake --build $(BUILD) -j $(JOBS) --target kestrel-launcher
	cmake --build "$(NATIVE)" -j $(JOBS) --target kestrel-pack kestrel-pack-man
	cmake --install "$(NATIVE)" --prefix "$(PREFIX)"

demo: build
	bash examples/demo.sh $(BUILD)

bench: build
	bash bench/run.sh $(BUILD)

# Each fuzz harness of the packer core for FUZZ_SECONDS, from the seeds and the crafted files; prints executions
# and coverage, and fails when one found a crash (kept under $(NATIVE)/tests/tools/fuzz/crashes).
fuzz: build
	bash tests/tools/fuzz/fuzz.sh run "$(NATIVE)/tests/tools/fuzz/fuzz.env" $(FUZZ_SECONDS)

clean:
	-[ -x cmake/wine-session ] && cmake/wine-session stop $(BUILD)/wine
	-[ -d $(BUILD)/small-disk ] && bash tests/launcher/small-disk.sh unmount $(BUILD)/small-disk $(BUILD)/wine/prefix k:
	rm -rf $(BUILD)

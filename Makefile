# Front door: installs what the machine lacks, configures, builds, tests, demonstrates and benchmarks.
BUILD      ?= build
JOBS       ?= $(shell nproc)
PACKAGES   := cmake make g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
              googletest wine wine64 msitools wixl xvfb xauth python3
TOOLCHAIN  := cmake/toolchain-mingw64.cmake

.PHONY: all deps configure build test demo bench clean

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

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

demo: build
	bash examples/demo.sh $(BUILD)

bench: build
	bash bench/run.sh $(BUILD)

clean:
	-[ -x cmake/wine-session ] && cmake/wine-session stop $(BUILD)/wine
	-[ -d $(BUILD)/small-disk ] && bash tests/launcher/small-disk.sh unmount $(BUILD)/small-disk $(BUILD)/wine/prefix k:
	rm -rf $(BUILD)

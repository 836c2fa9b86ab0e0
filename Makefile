# Front door: installs what the machine lacks, configures, builds, tests, demonstrates, benchmarks and releases.
BUILD      ?= build
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
# What building the launcher and the packer needs; what the tests need besides; what the release archives need.
BUILD_PACKAGES := cmake make g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
                  g++ pkg-config libmsi-dev libglib2.0-dev python3 help2man
TEST_PACKAGES  := googletest libgtest-dev wine wine64 msitools wixl xvfb xauth osslsigncode openssl man-db \
                  clang libclang-rt-dev
DIST_PACKAGES  := git dpkg-dev
TOOLCHAIN  := cmake/toolchain-mingw64.cmake
# The second tree: kestrel-pack for this machine, built with the host compiler into $(BUILD)/bin.
NATIVE     := $(BUILD)/native
# How long `make fuzz` runs each fuzz harness.
FUZZ_SECONDS ?= 60

.PHONY: all deps deps-build deps-dist configure configure-lean build test install demo bench fuzz dist clean

all: build

# The tests run the release archives' checks too, so `make test` needs all three sets.
deps:
	@bash cmake/install-packages $(BUILD_PACKAGES) $(TEST_PACKAGES) $(DIST_PACKAGES)

deps-build:
	@bash cmake/install-packages $(BUILD_PACKAGES)

deps-dist:
	@bash cmake/install-packages $(BUILD_PACKAGES) $(DIST_PACKAGES)

# configure_trees(<testing>): configures the Windows tree, then the native one, each when it is new; with ON also
# when it was configured without its tests, which `make install` and `make dist` leave out of a new tree.
define configure_trees
	@bin="$$(realpath -m "$(BUILD)")/bin"; \
	wanted() { [ ! -f "$$1/CMakeCache.txt" ] || { [ $(1) = ON ] && ! grep -q '^BUILD_TESTING:BOOL=ON$$' "$$1/CMakeCache.txt"; }; }; \
	if wanted "$(BUILD)"; then \
	  cmake -S . -B "$(BUILD)" -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=$(1) || exit 1; \
	fi; \
	if wanted "$(NATIVE)"; then \
	  cmake -S . -B "$(NATIVE)" -DCMAKE_BUILD_TYPE=Release -DKR_PACK_BIN_DIR="$$bin" \
	    -DKR_LAUNCHER="$$bin/kestrel-launcher.exe" -DBUILD_TESTING=$(1) || exit 1; \
	fi
endef

configure: deps
	$(call configure_trees,ON)

configure-lean: deps-build
	$(call configure_trees,OFF)

# The Windows tree first: the native tree installs and tests with its launcher.
build: configure
	cmake --build $(BUILD) -j $(JOBS)
	cmake --build "$(NATIVE)" -j $(JOBS)

test: build
	cd "$(NATIVE)" && ctest --output-on-failure --timeout 300
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# bin/kestrel-pack, its manual page, share/kestrel/kestrel-launcher.exe and the CMake package under PREFIX. Installs
# only the packages these need, and builds only these.
install: configure-lean
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

# The release archives in $(BUILD)/dist. From a git checkout, of its commit, which must hold every change, then
# built again from the source archive in another directory and compared byte for byte; from a source archive,
# the zip and the Debian package, to compare with the published ones.
dist: configure-lean deps-dist
	@if [ "$$(git rev-parse --show-toplevel 2>/dev/null)" = "$$(pwd)" ] && [ -n "$$(git status --porcelain)" ]; then \
	  echo "make dist: the working tree differs from its commit; commit or stash first" >&2; exit 1; \
	fi
	cmake --build $(BUILD) -j $(JOBS) --target kestrel-launcher kestrel-pack
	cmake --build "$(NATIVE)" -j $(JOBS) --target kestrel-pack kestrel-pack-man
	bash cmake/dist/make-dist.sh . "$(BUILD)/bin" "$(NATIVE)" "$(BUILD)/dist"
	@if [ -f "$(BUILD)"/dist/kestrel-*.tar.gz ]; then bash cmake/dist/check-rebuild.sh "$(BUILD)/dist" $(JOBS); fi

clean:
	-[ -x cmake/wine-session ] && cmake/wine-session stop $(BUILD)/wine
	-[ -d $(BUILD)/small-disk ] && bash tests/launcher/small-disk.sh unmount $(BUILD)/small-disk $(BUILD)/wine/prefix k:
	rm -rf $(BUILD)

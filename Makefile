# Thin wrapper around CMake: `make test` builds everything and runs every test;
# `make demo` builds only the two tools.
# No "Entering directory" lines from the makes that CMake runs.
MAKEFLAGS += --no-print-directory
BUILD_DIR ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
DESTDIR ?=
TOOLS = Morvik Morvik-inspect

.PHONY: all build tools test demo demo-dual install install-strip deb clean fuzz test-sanitize bench

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The two programs alone, without the tests.
tools: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(TOOLS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Binds the bundled example (examples/ARMPARA.PAR) into build/ARMOut.BIN,
# then reads the image back and verifies it.
BUILD_ABS = $(abspath $(BUILD_DIR))
demo: tools
	@cd examples && $(BUILD_ABS)/Morvik -i ARMPARA.PAR -o $(BUILD_ABS)/ARMOut.BIN -p 0xff
	@$(BUILD_ABS)/Morvik-inspect $(BUILD_ABS)/ARMOut.BIN
	@echo "make demo: examples/ARMPARA.PAR bound into $(BUILD_DIR)/ARMOut.BIN, and Morvik-inspect verified it"

# The same for the two-group (A/B) example, which also draws its layout
# into docs/dual.svg.
demo-dual: tools
	@cd examples && $(BUILD_ABS)/Morvik -i DUAL.PAR -o $(BUILD_ABS)/DUAL.BIN -p 0xff
	@$(BUILD_ABS)/Morvik-inspect --svg docs/dual.svg $(BUILD_ABS)/DUAL.BIN
	@echo "make demo-dual: examples/DUAL.PAR bound into $(BUILD_DIR)/DUAL.BIN, Morvik-inspect verified it and drew docs/dual.svg"

# The programs, man pages, bash completion and examples under
# $(DESTDIR)$(PREFIX) (see cmake/install.cmake). install keeps the programs'
# symbols and debug information; install-strip strips them, as the package.
install: tools
	DESTDIR='$(DESTDIR)' cmake --install $(BUILD_DIR) --prefix '$(PREFIX)'

install-strip: tools
	DESTDIR='$(DESTDIR)' cmake --install $(BUILD_DIR) --prefix '$(PREFIX)' --strip

# The Debian package $(BUILD_DIR)/morvik_<version>-<revision>_<arch>.deb;
# needs dpkg-shlibdeps (package dpkg-dev) and file. Its file times and its
# changelog's date are the time of the last commit (SOURCE_DATE_EPOCH, a
# fixed time outside a git checkout: 2026-01-01 00:00 UTC, the fallback of
# cmake/install_package_files.cmake too), so one commit packs to the same bytes
# in any folder.
SOURCE_DATE_EPOCH ?= $(shell [ -e .git ] && git log -1 --format=%ct 2>/dev/null)
deb: tools
	cd $(BUILD_DIR) && SOURCE_DATE_EPOCH='$(or $(SOURCE_DATE_EPOCH),1767225600)' cpack -G DEB

# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (leak detection on) in its own build folder. A sanitizer finding exits with
# status 86, so a test that expects a failure status still notices it.
SANITIZE_DIR ?= build-sanitize
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1:exitcode=86:abort_on_error=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86 \
	LSAN_OPTIONS=exitcode=86

test-sanitize:
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVIK_SANITIZE=ON $(CMAKE_FLAGS)
	$(SANITIZE_ENV) cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && $(SANITIZE_ENV) ctest --output-on-failure -j $(JOBS)

# Builds the fuzz targets with clang into fuzz-build and runs each one for
# FUZZ_SECONDS (see fuzz/Makefile).
FUZZ_SECONDS ?= 60
fuzz:
	$(MAKE) -C fuzz FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS)

# The bind next to the copy floor of the same bytes (256 MiB, one and two
# groups, and the bundled example), then memory and time from 16 MiB to
# 3.5 GiB. TMPDIR picks the file system (for instance /dev/shm for tmpfs).
bench: tools
	bench/bind_bench.sh $(BUILD_ABS)/Morvik
	bench/bind_scaling.sh $(BUILD_ABS)/Morvik

clean:
	rm -rf $(BUILD_DIR)

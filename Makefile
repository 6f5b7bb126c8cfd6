# Thin driver over CMake. `make demo` and `make test` are all a fresh clone needs:
# the demo builds with a compiler, CMake and make alone; the tests first install
# the Debian packages they need (scripts/install-packages.sh).
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
WINDOWS_BUILD ?= build-windows
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build packages test test-busy test-sanitize demo bench soak fuzz simulate package format clean \
        packages-windows windows test-windows package-windows packages-socketcan test-socketcan

all: build

build:
	cmake -S . -B $(BUILD) -DRAWCAN_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

packages:
	scripts/install-packages.sh

# The packages come first, so that the configure step finds GoogleTest.
test: packages
	$(MAKE) --no-print-directory build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE windows

# The suite with one CPU-bound process per core beside it, as on a machine
# that builds something else meanwhile: every test must hold there too.
test-busy: packages
	$(MAKE) --no-print-directory build
	scripts/busy.sh ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE windows

test-sanitize: packages
	cmake -S . -B $(SANITIZE_BUILD) -DRAWCAN_WERROR=ON -DRAWCAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS) -LE windows

packages-windows:
	scripts/install-packages.sh --windows

# The Windows programs and libZelbor.dll (with its import library), cross-built
# with MinGW-w64 into $(WINDOWS_BUILD), with their unit tests.
windows: packages-windows
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DRAWCAN_WERROR=ON
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# The unit tests and the zip under Wine, then the Windows programs against the
# Linux simulated device and programs.
test-windows: windows packages
	$(MAKE) --no-print-directory build
	scripts/wine-run.sh --init
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure -j $(JOBS)
	RAWCAN_WINDOWS_BUILD=$(abspath $(WINDOWS_BUILD)) ctest --test-dir $(BUILD) --output-on-failure -L windows

packages-socketcan:
	scripts/install-packages.sh --socketcan

# This build's programs on SocketCAN (vcan0, vcan1) inside an emulated Linux
# VM, as this machine's kernel may have no CAN: tests/socketcan/run_tests.sh.
test-socketcan: packages-socketcan
	$(MAKE) --no-print-directory build
	tests/socketcan/vm.sh $(BUILD) tests/socketcan/run_tests.sh

# A zip of the Windows programs, the DLL, the header and a README.
package-windows: windows
	cd $(WINDOWS_BUILD) && cpack -G ZIP

fuzz:
	scripts/fuzz.sh

# The link's deterministic simulation searched for SIMULATE_SECONDS of wall
# time: fresh seeds each run; a violation prints the seed to replay with
# DST_SEED=N $(BUILD)/tests/simulation/zelbor_simulate.
SIMULATE_SECONDS ?= 60
simulate: build
	$(BUILD)/tests/simulation/zelbor_simulate --seconds $(SIMULATE_SECONDS)

# Optimised build for measurements, apart from the test build.
bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRAWCAN_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	BUILD=build-bench bench/run.sh

# A Debian package of the programs, the library, the header and manual pages.
package: build
	cd $(BUILD) && cpack -G DEB

soak: build
	bench/soak.sh

demo: build
	scripts/demo.sh $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(WINDOWS_BUILD) build-fuzz build-bench build-soak

# The README's two commands: `make test` and `make demo`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test unit e2e demo package package-test fuzz asan format clean \
	windows-deps windows windows-test

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Every test: unit and widget tests, then the multi-process tests in network namespaces.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE 'e2e|package'
	@cd $(BUILD) && ctest --output-on-failure -L e2e

unit: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE 'e2e|package'

e2e: build
	@cd $(BUILD) && ctest --output-on-failure -L e2e

demo: build
	@scripts/demo

# Debian packages torvane-client and torvane-server in dist/, and their check.
package: build
	@scripts/build-packages $(BUILD) dist

package-test: build
	@cd $(BUILD) && ctest --output-on-failure -L package

# Unit tests of a second build with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTORVANE_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS) -LE 'e2e|package'

# libFuzzer targets, built with clang; FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 20
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_messagereader fuzz_linefile fuzz_switchrequest fuzz_secureframe fuzz_linehealth fuzz_dnsmessage
	@scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

# Windows: both programs cross-built with MinGW against a static Qt (built once into
# ~/.cache/torvane by scripts/build-qt-windows), packed into dist/torvane-windows-x64.zip and the
# installer dist/torvane-windows-x64-setup.exe; then the unit, widget and end-to-end tests that
# make sense there and the installer's, under Wine, headless.
WINDOWS_BUILD ?= build-windows

windows-deps:
	@scripts/install-deps --windows

windows: windows-deps
	@qt=$$(scripts/build-qt-windows) && \
	  cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$$qt/lib/cmake/Qt6/qt.toolchain.cmake $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target Client Server TorvaneSwitch
	@scripts/pack-windows $(WINDOWS_BUILD) dist

windows-test: windows
	@cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	@cd $(WINDOWS_BUILD) && ctest --output-on-failure -j $(JOBS) -L wine

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-fuzz $(WINDOWS_BUILD) dist

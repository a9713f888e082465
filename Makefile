# The two commands a new user needs: `make run` and `make test`.
# Everything else here is for developers and CI.

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
PACKAGE_BUILD ?= build-package
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)
# WERROR=ON turns compiler warnings into errors (CI does); given on every
# configure, so a later run without it turns it off again.
WERROR     ?= OFF

.PHONY: deps configure build run test test-asan package bench fuzz format clean windows windows-test windows-package

deps:
	@bash scripts/deps

configure: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTRESOLIN_WERROR=$(WERROR)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Starts the desktop program.
run: build
	@if [ -x $(BUILD)/bin/tresolin ]; then $(BUILD)/bin/tresolin; \
	else $(BUILD)/bin/tresolin-cli --help; fi

# Every test: unit, integration, command line, window (offscreen/Xvfb).
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DTRESOLIN_SANITIZE=ON -DTRESOLIN_BENCH=OFF -DTRESOLIN_WERROR=$(WERROR)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# The Debian package: a release build of its own, installed below /usr,
# packed by CPack as $(PACKAGE_BUILD)/tresolin_<version>_<arch>.deb.
package:
	@bash scripts/deps --packaging
	cmake -S . -B $(PACKAGE_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	  -DTRESOLIN_TESTS=OFF -DTRESOLIN_BENCH=OFF -DTRESOLIN_WERROR=$(WERROR)
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cmake --build $(PACKAGE_BUILD) --target package

# Benchmarks: small programs and scripts under bench/, figures on stdout.
bench: build
	bash bench/run-all

# libFuzzer targets, built with clang; each runs FUZZ_SECONDS.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOLIN_FUZZ=ON -DTRESOLIN_TESTS=OFF \
	  -DTRESOLIN_BENCH=OFF -DTRESOLIN_GUI=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	bash fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The Windows build, cross-compiled with MinGW-w64 for x86-64 and 32-bit x86
# (cmake/toolchain-mingw-*.cmake): tresolin-cli.exe, cipherkern.dll and the
# tests that run there. WINDOWS_FULL=OFF builds only the engine and its tests.
WINDOWS_FULL ?= ON
WINDOWS_ARCHES := x86_64 i686
windows:
	@bash scripts/deps-windows
	for arch in $(WINDOWS_ARCHES); do \
	  cmake -S . -B build-windows-$$arch $(GENERATOR) --no-warn-unused-cli -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-$$arch.cmake \
	    -DTRESOLIN_WINDOWS_FULL=$(WINDOWS_FULL) -DTRESOLIN_WERROR=$(WERROR) \
	    -DTRESOLIN_LINUX_CLI=$(abspath $(BUILD))/bin/tresolin-cli || exit 1; \
	  cmake --build build-windows-$$arch -j $(JOBS) || exit 1; \
	done

# The programs for Windows users: build-windows-<arch>/tresolin-windows-<arch>.zip.
windows-package: windows
	for arch in $(WINDOWS_ARCHES); do \
	  cmake --build build-windows-$$arch --target package || exit 1; \
	done

# The x86-64 tests under Wine (this machine runs no 32-bit programs), with
# containers exchanged with the Linux build's tresolin-cli.
windows-test: windows $(if $(filter ON,$(WINDOWS_FULL)),build)
	bash scripts/wine-ctest build-windows-x86_64 -j $(JOBS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD) $(addprefix build-windows-,$(WINDOWS_ARCHES))

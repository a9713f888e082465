# The two commands a new user needs: `make run` and `make test`.
# Everything else here is for developers and CI.

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: deps configure build run test test-asan bench fuzz format clean

deps:
	@bash scripts/deps

configure: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

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
	  -DTRESOLIN_SANITIZE=ON -DTRESOLIN_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

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

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

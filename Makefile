# Thin wrapper around CMake. `make` builds build/nv-term and build/nv52-sim.
JOBS ?= $(shell nproc)
CMAKE ?= cmake

.PHONY: all build test demo bench asan tsan fuzz clean

all: build

build/Makefile:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release

build: build/Makefile
	$(CMAKE) --build build -j$(JOBS)

test: build
	cd build && ctest --output-on-failure -j$(JOBS)

demo: build
	@scripts/demo.sh

bench: build
	@if [ -x scripts/bench.sh ]; then scripts/bench.sh; else echo "no benchmarks yet"; fi

asan:
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_SANITIZE=address
	$(CMAKE) --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

tsan:
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_SANITIZE=thread
	$(CMAKE) --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j$(JOBS)

fuzz:
	@if [ -x scripts/fuzz.sh ]; then scripts/fuzz.sh; else echo "no fuzz targets yet"; fi

clean:
	rm -rf build build-asan build-tsan build-fuzz

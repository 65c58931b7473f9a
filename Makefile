# The two commands of a fresh machine: `make run` and `make test`.
BUILD_TEST ?= build/test
BUILD_RUN  ?= build/run
BUILD_BENCH ?= build/bench
JOBS ?= $(shell nproc)

.PHONY: all run test bench deps clean format

all: test

deps:
	./scripts/install-deps.sh

test: deps
	cmake -S . -B $(BUILD_TEST) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELTO_SANITIZE=ON
	cmake --build $(BUILD_TEST) -j $(JOBS)
	cd $(BUILD_TEST) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# Builds only the console program (not the tests) and starts it against the simulated
# trainer unless ZELTO_ANT names a stick. It needs a display: `xvfb-run make run` without one.
run: deps
	cmake -S . -B $(BUILD_RUN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_RUN) -j $(JOBS) --target zelto-console
	ZELTO_ANT=$${ZELTO_ANT:-sim} $(BUILD_RUN)/console/zelto-console

bench: deps
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELTO_BENCH=ON
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	@for b in $(BUILD_BENCH)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build

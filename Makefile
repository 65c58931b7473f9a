# The two commands of a fresh machine: `make run` and `make test`.
BUILD_TEST ?= build/test
BUILD_RUN  ?= build/run
BUILD_BENCH ?= build/bench
BUILD_TSAN ?= build/tsan
BUILD_FUZZ ?= build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_PARALLEL ?= 1
JOBS ?= $(shell nproc)

.PHONY: all run test tsan fuzz bench deps clean format

all: test

deps:
	./scripts/install-deps.sh

test: deps
	cmake -S . -B $(BUILD_TEST) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELTO_SANITIZE=ON
	cmake --build $(BUILD_TEST) -j $(JOBS)
	cd $(BUILD_TEST) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# The suite under ThreadSanitizer, in its own build (it cannot be combined with the address
# sanitizer). Races in our code are mended, never suppressed: tests/tsan.supp holds only
# third-party ones (Qt, which is not built with the sanitizer, and glibc's time-zone lock).
TSAN_FLAGS = -fsanitize=thread -O1
tsan: deps
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELTO_SANITIZE=OFF \
		-DCMAKE_C_FLAGS="$(TSAN_FLAGS)" -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
		-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp second_deadlock_stack=1 history_size=4" \
		ctest --output-on-failure -j $(JOBS)

# Every fuzz target built for libFuzzer with clang and the sanitizers, each run for
# FUZZ_SECONDS (FUZZ_PARALLEL at once; FUZZ_TARGETS="fuzz_expr fuzz_sql" picks some). A crash,
# leak or time-out input found is added to the target's committed corpus, which `make test`
# replays, and the run fails. Scratch corpora (kept between runs) and logs: $(BUILD_FUZZ)/fuzz-runs.
fuzz:
	./scripts/install-deps.sh fuzz
	cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZELTO_SANITIZE=ON -DZELTO_LIBFUZZER=ON
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_PARALLEL=$(FUZZ_PARALLEL) ./scripts/fuzz.sh $(BUILD_FUZZ)

# Builds only the console program (not the tests) and starts it against the simulated
# trainer unless ZELTO_ANT names a stick. It needs a display: `xvfb-run make run` without one.
run: deps
	cmake -S . -B $(BUILD_RUN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_RUN) -j $(JOBS) --target zelto-console
	ZELTO_ANT=$${ZELTO_ANT:-sim} $(BUILD_RUN)/console/zelto-console

bench: deps
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELTO_BENCH=ON
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target benchmarks
	@for b in $(BUILD_BENCH)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build

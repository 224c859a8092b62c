# The everyday commands. `make test` is what CI runs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build test test-plain test-asan bench fuzz run format clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOXTREL_SANITIZE=ON $(CMAKE_FLAGS)

$(BENCH_BUILD)/build.ninja: | deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOXTREL_BUILD_TESTS=OFF \
	    -DMOXTREL_BUILD_BENCH=ON $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-asan

# The tests bring their own headless platform (see tests/CMakeLists.txt).
test-plain: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: $(BENCH_BUILD)/build.ninja
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@export QT_QPA_PLATFORM=offscreen; failed=0; for b in $(BENCH_BUILD)/bench/bench_*; do echo "== $$b"; "$$b" || failed=1; done; \
	    exit $$failed

$(FUZZ_BUILD)/build.ninja: | deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	    -DMOXTREL_BUILD_TESTS=OFF -DMOXTREL_BUILD_FUZZ=ON $(CMAKE_FLAGS)

# Each fuzzer runs for FUZZ_SECONDS; a crash, a leak or a hang (over 10 s on one input) fails.
fuzz: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@for f in $(FUZZ_BUILD)/fuzz/fuzz_*; do \
	    name=$$(basename $$f); corpus=$(FUZZ_BUILD)/corpus/$$name; mkdir -p $$corpus; \
	    seeds=fuzz/seeds/$$name; [ -d $$seeds ] || seeds=; \
	    echo "== $$name ($(FUZZ_SECONDS) s)"; \
	    "$$f" -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 $$corpus $$seeds \
	        > $(FUZZ_BUILD)/$$name.log 2>&1; rc=$$?; tail -n 12 $(FUZZ_BUILD)/$$name.log; \
	    [ $$rc -eq 0 ] || exit 1; \
	done

run: build
	scripts/run-local $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)

# The everyday commands. `make test` is what CI runs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build test test-plain test-asan bench fuzz run format clean package

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

# Each benchmark prints its ratios; the summary at the end lists them all. The recipe fails (Error 1)
# when a target is not met or a benchmark could not run.
bench: $(BENCH_BUILD)/build.ninja
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@export QT_QPA_PLATFORM=offscreen; failed=0; summary=$(BENCH_BUILD)/bench-summary.txt; : > $$summary; \
	for b in $(BENCH_BUILD)/bench/bench_*; do \
	    [ -f "$$b" ] && [ -x "$$b" ] || continue; \
	    name=$$(basename $$b); log=$(BENCH_BUILD)/$$name.log; echo "== $$name"; \
	    { "$$b"; echo $$? > $$log.rc; } 2>&1 | tee $$log; rc=$$(cat $$log.rc); \
	    grep '^target ' $$log | sed "s/^target //" >> $$summary; \
	    if [ $$rc -ne 0 ]; then failed=1; \
	        grep -q '^target NOT MET' $$log || echo "$$name  FAILED (exit $$rc, see $$log)" >> $$summary; fi; \
	done; \
	echo; echo "== summary"; cat $$summary; \
	if [ $$failed -eq 0 ]; then echo "every target met"; else echo "NOT every target met"; fi; \
	exit $$failed

$(FUZZ_BUILD)/build.ninja: | deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	    -DMOXTREL_BUILD_TESTS=OFF -DMOXTREL_BUILD_FUZZ=ON $(CMAKE_FLAGS)

# Each fuzzer runs for FUZZ_SECONDS; a crash, a leak or a hang (over 10 s on one input) fails.
fuzz: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@failed=0; summary=; for f in $(FUZZ_BUILD)/fuzz/fuzz_*; do \
	    [ -f "$$f" ] && [ -x "$$f" ] || continue; \
	    name=$$(basename $$f); corpus=$(FUZZ_BUILD)/corpus/$$name; mkdir -p $$corpus; \
	    seeds=fuzz/seeds/$$name; [ -d $$seeds ] || seeds=; log=$(FUZZ_BUILD)/$$name.log; \
	    echo "== $$name ($(FUZZ_SECONDS) s)"; \
	    "$$f" -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 $$corpus $$seeds \
	        > $$log 2>&1; rc=$$?; tail -n 12 $$log; \
	    runs=$$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' $$log); \
	    if [ $$rc -eq 0 ]; then result="ok: $$runs, no crash, leak or hang"; \
	    else failed=1; result="FAILED (exit $$rc, see $$log)"; fi; \
	    summary="$$summary$$name  $$result\n"; \
	done; \
	echo; echo "== summary ($(FUZZ_SECONDS) s each)"; printf "$$summary"; exit $$failed

# moxtrel_<version>_<arch>.deb in $(BUILD); its programs are built for /usr, where it puts them.
package: $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD) -j $(JOBS) --target package

run: build
	scripts/run-local $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)

# The two set-up commands: `make demo` and `make test`.
JOBS ?= 2
.PHONY: deps build test demo sanitize asan tsan bench clean soak fuzz fuzz-protocol

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default

demo: build
	build/default/agent/velloc demo

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --preset asan

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan

sanitize: asan tsan

# Long reliability runs, not in CI: fresh stress seeds for SECONDS seconds, then the fault
# sweep over every fallible call of its scenario.
SECONDS ?= 600
soak: build
	VELLOC_SOAK_SECONDS=$(SECONDS) build/default/tests/stress_tests --gtest_filter='StressSoak.*'
	VELLOC_FAULT_FULL=1 build/default/tests/fault_tests --gtest_filter='FaultSweep.EveryFallibleCall*'

# The ioctl fuzzer (clang, libFuzzer, ASan+UBSan) for SECONDS seconds; new inputs are kept
# in build/fuzz/corpus, the committed corpus is fuzz/corpus (hand-made sessions from
# fuzz/make_corpus.py plus a merged set of what earlier runs found).
fuzz: deps
	cmake -S fuzz -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/fuzz -j $(JOBS)
	mkdir -p build/fuzz/corpus
	build/fuzz/ioctl_fuzzer -max_total_time=$(SECONDS) -timeout=30 -detect_leaks=0 -rss_limit_mb=4096 \
	  -print_final_stats=1 build/fuzz/corpus fuzz/corpus

# The control protocol's fuzzer (not in CI: it builds the whole agent with clang), for
# SECONDS seconds; new inputs go to build/fuzz/protocol-corpus, the committed corpus is
# fuzz/protocol_corpus.
fuzz-protocol: deps
	cmake -S fuzz -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/fuzz -j $(JOBS) --target protocol_fuzzer
	mkdir -p build/fuzz/protocol-corpus
	build/fuzz/protocol_fuzzer -max_total_time=$(SECONDS) -timeout=60 -detect_leaks=1 -rss_limit_mb=4096 \
	  -print_final_stats=1 build/fuzz/protocol-corpus fuzz/protocol_corpus

# Builds only the velloc command and the benchmark programs (the tests are most of a
# full build), then runs them.
bench: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target velloc velloc_benchmarks
	scripts/run-bench.sh

clean:
	rm -rf build

# The two set-up commands: `make demo` and `make test`.
JOBS ?= 2
.PHONY: deps build test demo sanitize asan tsan bench clean

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

bench: build
	scripts/run-bench.sh

clean:
	rm -rf build

# Thin front over CMake presets. `make test` and `make run` do all the set-up.
.PHONY: deps build test run bench asan asan-test debug tsan tsan-test fuzz fuzz-smoke clean format format-check

deps:
	@scripts/install-deps

build: deps
	cmake --preset release
	cmake --build --preset release

test: build
	scripts/with-test-services ctest --preset release

run: build
	exec build/release/bin/Tessaro

bench: build
	scripts/run-bench build/release

asan: deps
	cmake --preset asan
	cmake --build --preset asan

asan-test: asan
	scripts/with-test-services ctest --preset asan

debug: deps
	cmake --preset debug
	cmake --build --preset debug

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan

tsan-test: tsan
	scripts/with-test-services ctest --preset tsan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

# Each fuzzer for a short, bounded time; seeds from fuzz/<area>/corpus/<name>.
fuzz-smoke: fuzz
	scripts/run-fuzzers build/fuzz $(or $(FUZZ_SECONDS),20)

format:
	git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 $(or $(shell command -v clang-format-14),clang-format) -i

format-check: deps
	scripts/format-check

clean:
	rm -rf build

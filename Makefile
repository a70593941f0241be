# The two set-up commands are `make run` and `make test`; both install what is missing first.
.PHONY: run test build package bench fuzz fuzz-build format deps test-deps windows test-windows

FUZZ_SECONDS ?= 60

deps:
	@scripts/install-deps

test-deps:
	@scripts/install-deps --test

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target tarlowen

# A Debian package of the release build: build/release/tarlowen_<version>_<arch>.deb.
package: build
	cd build/release && cpack -G DEB

run: build
	build/release/bin/tarlowen

# After the suite, every fuzz target runs briefly over its seed corpus, so an input that once
# crashed (kept in fuzz/corpus/) fails the tests from then on.
test: test-deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug
	$(MAKE) --no-print-directory fuzz-build
	ctest --preset fuzz

fuzz-build: test-deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target fuzzers

# Runs each fuzz target for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=600).
fuzz: fuzz-build
	fuzz/run-all $(FUZZ_SECONDS)

# The Windows program, cross-built with mingw-w64: build/windows/bin/tarlowen.exe.
windows: test-deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows

# The Windows test executables under Wine (a prefix of the build's own, created on first use). Not
# yet part of `make test`: they need a record of clean runs first. The transfers crashed inside
# Wine's CoUninitialize in 5 of 17 runs while each exchange tore the thread's apartment down (now
# held for the whole run), and the program's end-to-end run once saved no song beside the others.
test-windows: windows
	ctest --preset windows

bench: test-deps
	cmake --preset release -DTARLOWEN_BUILD_BENCH=ON >/dev/null
	cmake --build --preset release --target benchmarks
	bench/run-all

format:
	find src tests bench fuzz -name '*.cpp' -o -name '*.hpp' | xargs clang-format -i

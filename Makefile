# The two set-up commands are `make run` and `make test`; both install what is missing first.
.PHONY: run test build bench format deps test-deps windows test-windows

deps:
	@scripts/install-deps

test-deps:
	@scripts/install-deps --test

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target tarlowen

run: build
	build/release/bin/tarlowen

test: test-deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug
	@$(MAKE) --no-print-directory test-windows

# The Windows program, cross-built with mingw-w64: build/windows/bin/tarlowen.exe.
windows: test-deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows

# The Windows test executables under Wine (a prefix of the build's own, created on first use).
test-windows: windows
	ctest --preset windows

bench: test-deps
	cmake --preset release -DTARLOWEN_BUILD_BENCH=ON >/dev/null
	cmake --build --preset release --target benchmarks
	bench/run-all

format:
	find src tests bench -name '*.cpp' -o -name '*.hpp' | xargs clang-format -i

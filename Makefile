# The two set-up commands are `make run` and `make test`; both install what is missing first.
.PHONY: run test build package bench format deps test-deps

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

test: test-deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug

bench: test-deps
	cmake --preset release -DTARLOWEN_BUILD_BENCH=ON >/dev/null
	cmake --build --preset release --target benchmarks
	bench/run-all

format:
	find src tests bench -name '*.cpp' -o -name '*.hpp' | xargs clang-format -i

# The two commands of the README: `make demo` and `make test`.
.PHONY: all deps build test demo shell clean format

all: build

deps:
	@.ci/install-deps

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default

test: build
	@ctest --preset default

demo: build
	@sim/demo build

shell: build
	@sim/appliance shell --build build

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan

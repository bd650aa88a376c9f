# The two commands of the README, `make demo` and `make test`, and the packager's `make package`.
.PHONY: all deps build test demo demo-ui shell package clean format

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

# The setup page (dssetup ui) against a simulated LAN of COUNT appliances (default 3), until
# Ctrl-C: COUNT=30 make demo-ui.
demo-ui: build
	@sim/demo-ui --count "$${COUNT:-3}" build

shell: build
	@sim/appliance shell --build build

# Release build, then the Debian packages stowbox-config (the appliance) and dssetup (the PC)
# in build-release/packages.
package: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release
	@cd build-release && cpack
	@ls -1 build-release/packages/*.deb

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-release

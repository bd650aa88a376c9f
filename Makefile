# The two commands of the README, `make demo` and `make test`, the packager's `make package`
# and the firmware builder's `make cross`.
.PHONY: all deps deps-cross build test demo demo-ui shell package cross cross-test clean format

# The CPUs of the cross builds: the CMake presets of the same names (cmake/<triplet>.cmake).
CROSS_TARGETS = armel mips

all: build

deps:
	@.ci/install-deps

# The cross compilers, their C libraries and qemu-user (Debian's packages).
deps-cross:
	@.ci/install-deps cross

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
# in build-release/packages. With TARGET=armel (or mips): stowbox-config of the cross build in
# build-TARGET/packages.
package: deps
	@if [ -z "$(TARGET)" ]; then \
	    cmake --preset release >/dev/null && cmake --build --preset release && \
	    (cd build-release && cpack) && ls -1 build-release/packages/*.deb; \
	else \
	    $(MAKE) --no-print-directory deps-cross && \
	    cmake --preset "$(TARGET)" >/dev/null && cmake --build --preset "$(TARGET)" && \
	    (cd "build-$(TARGET)" && cpack) && ls -1 "build-$(TARGET)"/packages/*.deb; \
	fi

# The appliance cross-built for 32-bit ARM and big-endian MIPS (build-armel, build-mips), each
# with the check of its programs' run-time libraries.
cross: deps-cross
	@for t in $(CROSS_TARGETS); do \
	    cmake --preset $$t >/dev/null && cmake --build --preset $$t && ctest --preset $$t || exit 1; \
	done

# The appliance's system tests against the programs of each cross build, under qemu-user in the
# simulated appliance, with this machine's dssetup and test programs.
cross-test: build cross
	@for t in $(CROSS_TARGETS); do \
	    echo "=== the appliance's system tests on $$t"; \
	    SIM_TARGET=$$t ctest --preset default -R '_systests\.' --no-tests=error || exit 1; \
	done

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-release build-appliance $(addprefix build-,$(CROSS_TARGETS))

# Thin wrapper over the CMake presets, so that the two commands of the quick
# start work on a fresh clone.
JOBS ?= $(shell nproc)
PRESETS := release debug sanitize

.PHONY: all test demo clean $(PRESETS) $(addprefix test-,$(PRESETS))

all: release

$(PRESETS):
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ -j $(JOBS)

$(addprefix test-,$(PRESETS)): test-%: %
	ctest --preset $* -j $(JOBS)

# Release and debug builds with g++, then clang with AddressSanitizer and
# UndefinedBehaviorSanitizer.
test: test-release test-debug test-sanitize

demo: release
	sh tools/demo.sh build/release/longdup

clean:
	rm -rf build

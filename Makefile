# Thin wrapper over the CMake presets, so that the two commands of the quick
# start work on a fresh clone.
JOBS ?= $(shell nproc)
PRESETS := release debug sanitize
FUZZERS := decode roundtrip
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 30

.PHONY: all test demo clean soak fuzz fuzz-build fuzz-smoke $(PRESETS) $(addprefix test-,$(PRESETS))

all: release

$(PRESETS):
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ -j $(JOBS)

$(addprefix test-,$(PRESETS)): test-%: %
	ctest --preset $* -j $(JOBS)

# Release and debug builds with g++, then clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, then a short run of each fuzzer on its seeds.
test: test-release test-debug test-sanitize fuzz-smoke

# Each fuzzer for FUZZ_SECONDS, growing a corpus under build/fuzz/; the
# committed seeds in fuzz/corpus/ are only read.
fuzz: FUZZ_TIME = $(FUZZ_SECONDS)
fuzz-smoke: FUZZ_TIME = $(FUZZ_SMOKE_SECONDS)
fuzz fuzz-smoke: fuzz-build
	@for f in $(FUZZERS); do \
	  mkdir -p build/fuzz/corpus-$$f build/fuzz/artifacts; \
	  echo "== fuzz_$$f for $(FUZZ_TIME) s"; \
	  build/fuzz/fuzz_$$f -max_total_time=$(FUZZ_TIME) -timeout=20 -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
	    build/fuzz/corpus-$$f fuzz/corpus/$$f 2>build/fuzz/$$f.log \
	    || { tail -50 build/fuzz/$$f.log; exit 1; }; \
	  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" build/fuzz/$$f.log; \
	done

fuzz-build:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

# The program, its compressor front ends, the man page and the library with
# its CMake package, under PREFIX (DESTDIR is honoured for staging).
PREFIX ?= /usr/local
.PHONY: install
install: release
	cmake --install build/release --prefix $(PREFIX)

demo: release
	sh tools/demo.sh build/release/longdup

clean:
	rm -rf build

# A round trip longer than the position period (about 4.6 GB; not in make test).
soak: release
	sh tools/soak.sh build/release/longdup

# Speed, memory and size against zstd, xz and lrzip, on corpora cached in
# ~/.cache/longdup-bench (not in make test). Knobs are environment variables:
# make bench BENCH_QUICK=1 (50 MB, one repetition), BENCH_REAL=1 (also fetched
# corpora), BENCH_NO_LONGDUP=1 (peers only); python3 bench/run.py --help.
.PHONY: bench
bench: release
	python3 bench/run.py

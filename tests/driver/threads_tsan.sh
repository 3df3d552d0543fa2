#!/bin/sh
# The I/O and page threads under ThreadSanitizer. These threads never run
# coder code, so their tests build on their own, without the coroutine
# switch, which the race detector cannot follow.
#
#   threads_tsan.sh SOURCE_DIR SCRATCH_DIR
# Exits 77 (skipped) where clang or its thread sanitizer runtime is missing.
set -u
source=$1 scratch=$2
command -v clang++ >/dev/null 2>&1 || { echo "clang++ not found"; exit 77; }
mkdir -p "$scratch"
bin=$scratch/threads_tsan
d=$source/src/driver t=$source/tests/driver
if ! clang++ -std=c++20 -fsanitize=thread -g -O1 -I "$source/src" -I "$source/include" \
    "$d/slab_ring.cpp" "$d/write_behind.cpp" "$d/read_ahead.cpp" "$d/page_commit.cpp" "$d/page_alloc.cpp" \
    "$t/write_behind_test.cpp" "$t/read_ahead_test.cpp" "$t/page_commit_test.cpp" \
    -lgtest -lgtest_main -lpthread -o "$bin" 2>"$scratch/build.log"; then
  if grep -q -e "cannot find" -e "libclang_rt.tsan" "$scratch/build.log"; then
    cat "$scratch/build.log"
    exit 77
  fi
  cat "$scratch/build.log"
  exit 1
fi
TSAN_OPTIONS=halt_on_error=1:exitcode=66 "$bin"

#!/bin/sh
# The installed compressor front end through tar -I, as a user runs it: a
# directory tree with repeats goes in and comes back identical, nothing is
# said on success, and a failing stage fails the whole.
#
#   tar_frontend.sh CMAKE BUILD_DIR SOURCE_DIR COMPRESSOR
# Exits 77 (skipped) when COMPRESSOR (zstd or xz) is not installed.
set -u
cmake=$1 build=$2 source=$3 compressor=$4
if ! command -v "$compressor" >/dev/null; then
  echo "$compressor is not installed: skipped"
  exit 77
fi
. "$(dirname "$0")/lib.sh"

install_prefix "$cmake" "$build"
front=$prefix/bin/longdup-$compressor

# Three releases of a source tree, each a copy of the last with small edits:
# the kind of repeats the front end exists for. A file of random bytes keeps
# the archive far larger than a pipe buffer, and the first member is small,
# for the early-close case below.
make_tree() {
  tree=$scratch/tree
  mkdir -p "$tree/v1" "$tree/empty_dir"
  echo "first member" >"$scratch/aaa_first"
  cp -R "$source/src" "$source/tests" "$source/include" "$source/doc" "$tree/v1/"
  cp "$prefix/bin/longdup" "$tree/v1/longdup.bin"
  : >"$tree/v1/empty"
  ln -s ../v1/longdup.bin "$tree/v1/link"
  head -c 1048576 /dev/urandom >"$tree/v1/random"
  cp -R "$tree/v1" "$tree/v2"
  echo "// changed in v2" >>"$tree/v2/include/longdup/longdup.h"
  rm "$tree/v2/empty"
  cp -R "$tree/v2" "$tree/v3"
  printf 'v3\n' >"$tree/v3/new_file"
  head -c 1000 /dev/urandom >>"$tree/v3/longdup.bin"
}

# Runs a command with its standard error in $scratch/err; true if it exits 0
# and says nothing there.
quiet() {
  "$@" 2>"$scratch/err" && [ ! -s "$scratch/err" ]
}

check_round_trip() {
  archive=$scratch/tree.tar.ld
  quiet tar -I "$front" -cf "$archive" -C "$scratch" aaa_first tree || { show "$scratch/err"; fail "tar -I $front -c"; return; }
  mkdir "$scratch/out"
  quiet tar -I "$front" -xf "$archive" -C "$scratch/out" || { show "$scratch/err"; fail "tar -I $front -x"; return; }
  diff -r "$scratch/tree" "$scratch/out/tree" >"$scratch/diff" 2>&1 || { show "$scratch/diff"; fail "extracted tree differs"; }

  # Inside the compressor's container lies a longdup stream (header: avglen
  # 100, window 1024 MiB) that is well below the tar's size, since v2 and v3
  # repeat v1.
  header=$("$compressor" -dc "$archive" | head -c 4 | od -An -tx1 | tr -d ' \n')
  [ "$header" = 64000004 ] || fail "no longdup header inside the archive: $header"
  plain=$(tar -cf - -C "$scratch" aaa_first tree | wc -c)
  deduped=$("$compressor" -dc "$archive" | wc -c)
  [ "$deduped" -lt $((plain / 2)) ] || fail "longdup stream of $deduped bytes for a $plain-byte tar"
}

# tar -I passes options through: the compressor's own level must work.
check_options() {
  level=-1
  quiet tar -I "$front $level" -cf "$scratch/level.tar.ld" -C "$scratch" tree || { show "$scratch/err"; fail "tar -I '$front $level' -c"; }
  mkdir "$scratch/out_level"
  quiet tar -I "$front" -xf "$scratch/level.tar.ld" -C "$scratch/out_level" || fail "extracting the $level archive"
  diff -r "$scratch/tree" "$scratch/out_level/tree" >/dev/null 2>&1 || fail "the $level archive extracts differently"
}

# tar --occurrence stops reading after the member it wants; the front end
# must then end as a lone compressor does, which tar accepts.
check_early_close() {
  mkdir "$scratch/out_first"
  quiet tar -I "$front" -xf "$scratch/tree.tar.ld" -C "$scratch/out_first" --occurrence aaa_first ||
    { show "$scratch/err"; fail "tar --occurrence: the front end's reader closing early is a failure"; }
  cmp -s "$scratch/aaa_first" "$scratch/out_first/aaa_first" || fail "tar --occurrence extracted a wrong first member"
}

# Each failing stage must give a non-zero status; where longdup fails, its
# own message must show, without its report lines.
check_failures() {
  bad_stream=$scratch/bad_stream
  # A valid container around a longdup stream whose first token points 255
  # bytes before the start of the output.
  printf 'd\000\000\004\357\115\266\000\377\000\000\000' | "$compressor" -c >"$bad_stream"
  head -c 2000 "$scratch/tree.tar.ld" >"$scratch/truncated"
  cp "$scratch/aaa_first" "$scratch/not_compressed"

  # name | arguments | input | text that must be in the messages ("" for any)
  while IFS='|' read -r name args input expect; do
    # shellcheck disable=SC2086 # args is a word list on purpose
    "$front" $args <"$scratch/$input" >"$scratch/fail_out" 2>"$scratch/err"
    status=$?
    [ "$status" -ne 0 ] || fail "$name: exit status 0"
    if [ -n "$expect" ] && ! grep -q -F "$expect" "$scratch/err"; then
      show "$scratch/err"
      fail "$name: no message with '$expect'"
    fi
    if grep -q -e '^fma_args1' -e '^sum=' "$scratch/err"; then
      fail "$name: longdup's report lines shown"
    fi
  done <<CASES
corrupt longdup stream|-d|bad_stream|longdup: (stdin): corrupt stream
truncated archive|-d|truncated|
not compressed at all|-d|not_compressed|
unknown compressor option|--no-such-option|not_compressed|
CASES

  mkdir "$scratch/out_bad"
  tar -I "$front" -xf "$scratch/truncated" -C "$scratch/out_bad" 2>/dev/null &&
    fail "tar extracted a truncated archive with status 0"
}

# The longdup beside the front end wins over one on PATH; with none beside
# it, PATH is searched; with none anywhere, it says so.
check_lookup() {
  mkdir "$scratch/decoy" "$scratch/alone" "$scratch/bare"
  printf '#!/bin/sh\necho decoy longdup >&2\nexit 99\n' >"$scratch/decoy/longdup"
  chmod +x "$scratch/decoy/longdup"
  echo beside | PATH="$scratch/decoy:$PATH" "$front" 2>"$scratch/err" | "$front" -d >"$scratch/lookup" 2>>"$scratch/err"
  [ "$(cat "$scratch/lookup")" = beside ] || { show "$scratch/err"; fail "the longdup beside the front end was not the one run"; }

  cp "$front" "$scratch/alone/"
  echo on_path | PATH="$prefix/bin:$PATH" "$scratch/alone/longdup-$compressor" |
    PATH="$prefix/bin:$PATH" "$scratch/alone/longdup-$compressor" -d >"$scratch/lookup" 2>"$scratch/err"
  [ "$(cat "$scratch/lookup")" = on_path ] || { show "$scratch/err"; fail "longdup on PATH was not found"; }

  ln -s "$(command -v dirname)" "$scratch/bare/dirname"
  PATH="$scratch/bare" "$scratch/alone/longdup-$compressor" </dev/null >/dev/null 2>"$scratch/err"
  status=$?
  [ "$status" -eq 127 ] || fail "without any longdup: status $status, not 127"
  grep -q "longdup: not found" "$scratch/err" || { show "$scratch/err"; fail "without any longdup: no message"; }
}

make_tree
check_round_trip
check_options
check_early_close
check_failures
check_lookup
finish

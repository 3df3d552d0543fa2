#!/bin/sh
# Round-trips a generated stream longer than the 0xFFFF0000-byte position
# period, so that stream positions wrap with repeats on both sides of the
# wrap, and compares checksums. Needs about three times SOAK_BYTES of disk.
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
bytes=${SOAK_BYTES:-4600000000}
work=$(mktemp -d "${SOAK_DIR:-/tmp}/longdup-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

g++ -O2 -std=c++20 -o "$work/gen" "$root/tools/soak_gen.cpp"
"$work/gen" "$bytes" > "$work/plain"
want=$(sha256sum < "$work/plain")
start=$(date +%s)
"$bin" e "$work/plain" "$work/enc"
mid=$(date +%s)
rm "$work/plain"
"$bin" d "$work/enc" "$work/dec"
end=$(date +%s)
got=$(sha256sum < "$work/dec")
echo "soak: $bytes bytes, encoded $(wc -c < "$work/enc") bytes, encode $((mid - start)) s, decode $((end - mid)) s"
if [ "$want" != "$got" ]; then
  echo "soak: MISMATCH: $want vs $got" >&2
  exit 1
fi
echo "soak: restored byte for byte ($want)"

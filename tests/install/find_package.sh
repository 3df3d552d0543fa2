#!/bin/sh
# Installs the build tree into a scratch prefix, checks what lands there,
# then builds and runs examples/ as an outside project that finds longdup
# with find_package, the way a user of the library would.
#
#   find_package.sh CMAKE BUILD_DIR SOURCE_DIR CXX CXX_FLAGS LINKER_FLAGS
# The compiler and flags are the build tree's own, so that a sanitizer build
# links its instrumented library into an instrumented example.
set -u
cmake=$1 build=$2 source=$3 cxx=$4 cxx_flags=$5 linker_flags=$6
. "$(dirname "$0")/lib.sh"

install_prefix "$cmake" "$build"

for f in bin/longdup bin/longdup-zstd bin/longdup-xz; do
  [ -x "$prefix/$f" ] || fail "$f is not an installed program"
done
for f in lib/liblongdup.a include/longdup/longdup.h share/man/man1/longdup.1 \
         lib/cmake/longdup/longdupConfig.cmake lib/cmake/longdup/longdupConfigVersion.cmake \
         lib/cmake/longdup/longdupTargets.cmake; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
# The library's own headers stay in the tree: the installed package must not
# point into it, or it would only work on the machine that built it.
if grep -q -F "$source" "$prefix"/lib/cmake/longdup/*.cmake; then
  fail "the installed package refers to the source tree $source"
fi
headers=$(cd "$prefix/include" && find . -type f)
[ "$headers" = "./longdup/longdup.h" ] || fail "installed headers: $headers"

if ! "$cmake" -S "$source/examples" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$prefix" \
     -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxx_flags" \
     -DCMAKE_EXE_LINKER_FLAGS="$linker_flags" >"$scratch/configure.log" 2>&1; then
  show "$scratch/configure.log"
  fail "configuring examples/ against the installed package"
  finish
fi
if ! "$cmake" --build "$scratch/example" >"$scratch/build.log" 2>&1; then
  show "$scratch/build.log"
  fail "building examples/ against the installed package"
  finish
fi

# Repeats far enough apart for the encoder to find, so the encoded size
# shows that the library did its work and did not just copy.
input=$scratch/input
cat "$prefix/bin/longdup" "$source/README.md" "$prefix/bin/longdup" "$source/README.md" >"$input"
size=$(wc -c <"$input")
if ! "$scratch/example/roundtrip" "$input" >"$scratch/run.log" 2>&1; then
  show "$scratch/run.log"
  fail "roundtrip on $size bytes"
fi
line=$(cat "$scratch/run.log")
case $line in
  *" $size bytes, encoded "*", decoded $size, identical") ;;
  *) fail "unexpected roundtrip report: $line" ;;
esac
encoded=$(echo "$line" | sed -n 's/.* encoded \([0-9]*\) .*/\1/p')
if [ -z "$encoded" ] || [ "$encoded" -ge $((size * 6 / 10)) ]; then
  fail "a doubled input encoded to $encoded of $size bytes: repeats were not found"
fi

finish

# shellcheck shell=sh
# Shared by the install tests: a scratch directory removed on exit, failure
# reporting, and an installation into a fresh prefix.

scratch=$(mktemp -d "${TMPDIR:-/tmp}/longdup-install-test.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Shows what a failed step printed, for the ctest log.
show() {
  sed 's/^/  | /' "$1" >&2
}

# Installs the build tree `$2` into `$scratch/prefix` with cmake `$1`.
install_prefix() {
  prefix=$scratch/prefix
  if ! "$1" --install "$2" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
    show "$scratch/install.log"
    echo "FAIL: cmake --install $2" >&2
    exit 1
  fi
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

# Shared opening of the velmora.x end-to-end scripts: the program and data
# paths from the test environment, a fresh scratch directory as the working
# directory, and the small checks every script uses.  Source it, run the
# checks, and end with `finish`, which exits 1 when any check failed.
set -u
V=${VELMORA:?}
DATA=${BV_TEST_DATA_DIR:?}
SRC=${BV_SOURCE_DIR:-}
PY=${PYTHON:-/usr/bin/python3}
S=${BV_SCRATCH:-$(mktemp -d)}
rm -rf "$S"; mkdir -p "$S"
cd "$S" || exit 1
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME EXPECTED_STATUS ARGS...: runs velmora.x with standard output and
# error kept as $S/NAME.out and $S/NAME.err.
run() {
  local name=$1 want=$2; shift 2
  "$V" "$@" >"$S/$name.out" 2>"$S/$name.err"
  local got=$?
  [ "$got" = "$want" ] || fail "$name: exit status $got, wanted $want ($(head -c 300 "$S/$name.err"))"
}

has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }     # has FILE TEXT
lacks() { ! grep -qF -- "$2" "$1" || fail "$1 has: $2"; }   # lacks FILE TEXT

finish() { [ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }; }

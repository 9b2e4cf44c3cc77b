#!/usr/bin/env bash
# ostrel's command line: the banner without arguments, value flags without
# their values, over-long values, unknown words (ignored with a warning),
# output flags without their stage, --help and --version.
set -u
: "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
check() {  # description, expected status, actual status
  if [ "$2" != "$3" ]; then echo "FAIL: $1 (status $3, expected $2)"; fail=1; fi
}

out=$("$OSTREL" 2>err.txt); rc=$?
check "no arguments" 0 $rc
[ "$(printf '%s\n' "$out" | wc -l)" = 3 ] || { echo "FAIL: banner is not three lines"; fail=1; }
printf '%s\n' "$out" | head -1 | grep -q '^ .*(OSTREL) version 3.0$' || { echo "FAIL: banner line 1"; fail=1; }
printf '%s\n' "$out" | grep -qx ' > Please consult OSTREL_readme.txt for more details on available commands.' \
  || { echo "FAIL: banner line 2"; fail=1; }
printf '%s\n' "$out" | tail -1 | grep -q '^ > Contact' || { echo "FAIL: banner line 3"; fail=1; }
[ -s err.txt ] && { echo "FAIL: banner wrote to standard error"; fail=1; }

for args in "--cube" "--cif" "--scale" "--max" "--cube --print-minima" "--print-minima --cif" \
            "--max abc" "--max 1e999"; do
  "$OSTREL" $args >out.txt 2>err.txt; rc=$?
  check "$args" 1 $rc
  [ "$(wc -l <err.txt)" = 1 ] && grep -q '^Error: ' err.txt || { echo "FAIL: $args message:"; cat err.txt; fail=1; }
  [ -s out.txt ] && { echo "FAIL: $args wrote to standard output"; fail=1; }
done

long=$(printf 'x%.0s' $(seq 1 1200))
"$OSTREL" --cube "$long" 2>err.txt; check "long cube name" 1 $?
grep -q 'longer than 999 characters' err.txt || { echo "FAIL: long name message"; cat err.txt; fail=1; }
"$OSTREL" --cif a.cif Li1+abcdefghij 2>err.txt; check "long ion type" 1 $?
"$OSTREL" --scale "$(printf 'E+%.0s' $(seq 1 60))E" 2>err.txt; check "long expression" 1 $?

# Unknown words are ignored with a warning naming each (and the flag meant,
# for a near miss); flags alone do nothing and write nothing.
"$OSTREL" --frobnicate --hk --pth --smooth-cube >out.txt 2>err.txt; check "unknown words" 0 $?
[ -s out.txt ] && { echo "FAIL: output for flags without inputs"; fail=1; }
printf '%s\n' 'Warning: Unknown word --frobnicate on the command line is ignored' \
  'Warning: Unknown word --pth on the command line is ignored (did you mean --path?)' | cmp -s - err.txt \
  || { echo "FAIL: unknown-word warnings"; cat err.txt; fail=1; }
[ "$(ls | grep -v -e out.txt -e err.txt)" = "" ] || { echo "FAIL: files written:"; ls; fail=1; }

# An output flag without the stage that makes its output: one error line
# naming what is missing, status 1.
while IFS='|' read -r args want; do
  "$OSTREL" $args >out.txt 2>err.txt; check "$args" 1 $?
  [ "$(cat err.txt)" = "Error: $want" ] || { echo "FAIL: $args message:"; cat err.txt; fail=1; }
  [ -s out.txt ] && { echo "FAIL: $args wrote to standard output"; fail=1; }
done <<'CASES'
--print-act|--print-act needs --path and --cube
--cube x.cube --print-act|--print-act needs --path
--print-perc --path|--path needs --cube
--path|--path needs --cube
--print-minima|--print-minima needs --cube
--cube x.cube --path --gui|--gui needs --cif
--calc-gii|--calc-gii needs --cif
CASES

# --help lists the flags, --version (and -V, -v, as velmora.x takes them)
# the version of the build and the source revision it was built from.
"$OSTREL" --help >out.txt 2>err.txt; check "--help" 0 $?
grep -q -- '--print-act' out.txt && grep -q '^Usage: ostrel' out.txt || { echo "FAIL: --help text"; fail=1; }
"$OSTREL" --version >out.txt 2>err.txt; check "--version" 0 $?
want=$(sed -n 's/^project(velmora_ostrel VERSION \([0-9.]*\).*/\1/p' "$BV_SOURCE_DIR/CMakeLists.txt")
rev=$(git -C "$BV_SOURCE_DIR" describe --always --dirty --abbrev=12 2>/dev/null)
grep -Eqx "ostrel $want( \(revision [0-9a-f]{12}(-dirty)?\))?" out.txt \
  || { echo "FAIL: --version printed '$(cat out.txt)', expected ostrel $want"; fail=1; }
[ -z "$rev" ] || grep -q "(revision " out.txt || { echo "FAIL: no revision in a git checkout"; fail=1; }
for w in -V -v; do
  "$OSTREL" $w >out2.txt 2>&1; check "$w" 0 $?
  cmp -s out.txt out2.txt || { echo "FAIL: $w printed '$(cat out2.txt)'"; fail=1; }
done
"$BV_BIN_DIR/velmora.x" -V >out2.txt 2>&1; check "velmora.x -V" 0 $?
grep -q "Velmora-$want-cmd" out2.txt || { echo "FAIL: velmora.x -V printed '$(cat out2.txt)'"; fail=1; }

# A scaling expression without E, or one that cannot be evaluated.
"$OSTREL" --scale "2*x" 2>err.txt; check "scale without E" 1 $?
grep -qx 'Error: Invalid scaling expression - variable E missing' err.txt || { echo "FAIL: scale message"; cat err.txt; fail=1; }
"$OSTREL" --scale "E*" 2>err.txt; check "scale malformed" 1 $?

[ $fail = 0 ] && echo "ostrel command line: ok"
exit $fail

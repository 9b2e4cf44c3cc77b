#!/usr/bin/env bash
# GULP input of velmora.x: the .gin files of several structures read and
# evaluated by an independent parser (velmora_gin_check.py: composition,
# neutrality, energy equal to --cal-tot-en), the library file and its
# layout, the text-mode commands, output names and argument errors.
set -u
V=${VELMORA:?}
DATA=${BV_TEST_DATA_DIR:?}
SRC=${BV_SOURCE_DIR:?}
PY=${PYTHON:-/usr/bin/python3}
S=${BV_SCRATCH:-$(mktemp -d)}
rm -rf "$S"; mkdir -p "$S"
cd "$S" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
run() {  # run NAME EXPECTED_STATUS ARGS...
  local name=$1 want=$2; shift 2
  "$V" "$@" >"$S/$name.out" 2>"$S/$name.err"
  local got=$?
  [ "$got" = "$want" ] || fail "$name: exit status $got, wanted $want ($(head -c 300 "$S/$name.err"))"
}
has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }

if "$PY" -c 'import gemmi, numpy, scipy' 2>/dev/null; then
  "$PY" "$SRC/tests/scripts/velmora_gin_check.py" "$V" "$S" "$DATA/validation/LiNbO3.cif" \
    "$DATA/validation/Na3PS4.cif" "$DATA/validation/LiFePO4.cif" || fail "GULP input evaluation"
else
  echo "note: python3 with gemmi, numpy and scipy not available, evaluation skipped"
fi

# The library: default name, layout, one Morse line (Li then O, with the
# cell energy's depth and cut-off) and two qerfc lines.
cp "$DATA/cif/Li2O.cif" Li2O.cif
run lib 0 --gen-gin-lib Li2O.cif 0.72
has lib.out "Message: .lib file saved to Li2O.cif.lib"
lib=Li2O.cif.lib
[ "$(head -3 $lib)" = "$(printf '# velmora forcefield generated for MD using GULP\r\n# Turn off Ewald sum and charged interactions\r\nkeyword noelectrostatics\r')" ] \
  || fail "library header"
has $lib "# fractional radius = 0.720000"
[ "$(grep -c ' core .* core ' $lib)" = 3 ] || fail "not one Morse and two qerfc lines"
grep -q "^Li1+ core  O2- core  [0-9.]* *[0-9.]* *[0-9.]* *0.000000  0.000000  [0-9.]*.$" $lib \
  || fail "Morse line layout: $(grep 'O2- core' $lib | head -1)"
grep -q "^ O2- core  O2- core " $lib || fail "O-O qerfc line"
[ "$(grep -c $'\r$' $lib)" = "$(wc -l <$lib)" ] || fail "library lines not ended by CR LF"

# The .gin file: base name without the extension, output files named after it.
run gin 0 --gen-gin Li2O.cif 0.72
has gin.out "Message: .gin file saved to Li2O.gin"
has Li2O.gin "output dcd       Li2O.dcd"
has Li2O.gin "dump every 1     Li2O.grs"
has Li2O.gin "ensemble nvt"
run gin_named 0 --gen-gin Li2O.cif 0.72 other.name.x
[ -s other.name.gin ] || fail "named .gin"

# Text mode: the CIF on the command line, the library on standard output.
words=()
while IFS= read -r line; do
  for w in $line; do words+=("$w"); done
  words+=("-:nl")
done <"$DATA/cif/Li2O.cif"
run text 0 --text-gen-gin-lib -:text "${words[@]}"
has text.out "====================================="
has text.out "Li1+ core  O2- core"
run text_sf 0 --text-gen-gin-lib-set-sf 0.72 -:text "${words[@]}"
has text_sf.out "# fractional radius = 0.720000"
run text_short 2 --text-gen-gin-lib
has text_short.err "Error: not enough arguments."
run text_sf_bad 1 --text-gen-gin-lib-set-sf abc -:text "${words[@]}"
has text_sf_bad.err "Error: wrong parameter sf."
run text_nokey 1 --text-gen-gin-lib data_x
has text_nokey.err "Error: text-mode key phrase not found."

# Arguments and files.
run usage 2 --gen-gin-lib
has usage.out "Command: --gen-gin-lib [input.cif] | {sf} {output_name}"
run bad_sf 1 --gen-gin-lib Li2O.cif abc
has bad_sf.err "Error: wrong parameter screening factor."
run missing 1 --gen-gin missing.cif
has missing.err "Error: velmora_cell_import_cif_from_file() returns non-zero."
[ ! -e missing.gin ] || fail "a .gin written for a missing structure"

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "velmora GULP input: all passed"

#!/usr/bin/env bash
# End-to-end checks of the force-field and bond-valence commands of
# velmora.x: usage texts and exit statuses, argument errors, the text mode,
# the two-species and GUI forms, and missing data reported by name (with a
# copy of the program beside data files that lack a pair or a species).
set -u
V=${VELMORA:?}
DATA=${BV_TEST_DATA_DIR:?}
BIN=${BV_BIN_DIR:?}
S=${BV_SCRATCH:-$(mktemp -d)}
rm -rf "$S"; mkdir -p "$S"
cd "$S" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# run NAME EXPECTED_STATUS PROGRAM ARGS...
run() {
  local name=$1 want=$2 prog=$3; shift 3
  "$prog" "$@" >"$S/$name.out" 2>"$S/$name.err"
  local got=$?
  [ "$got" = "$want" ] || fail "$name: exit status $got, wanted $want ($(head -c 300 "$S/$name.err"))"
}
has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }
LI2O=$DATA/validation/Li2O.cif
[ -f "$LI2O" ] || LI2O=$DATA/cif/Li2O.cif

# Usage texts: exit status 2.
run u_ppt 2 "$V" --print-ppt
[ "$(head -1 u_ppt.out)" = "Command: --print-ppt [input.cif] | {screening factor}." ] || fail "usage --print-ppt"
has u_ppt.out "         will use provided screening factor 0.72."
run u_full 2 "$V" --print-ppt-full
has u_full.out "Command: reserved for debugging purpose"
run u_en 2 "$V" --cal-tot-en
[ "$(cat u_en.out)" = "$(printf 'Command: --cal-tot-en [input.cif] | {sf}\n\nExample: ./velmora.x --cal-tot-en Li2O.cif')" ] || fail "usage --cal-tot-en"
run u_bv 2 "$V" --cal-bv
has u_bv.out "Command: --cal-bv [input.cif]"
run u_type 2 "$V" --cal-bv-type "$LI2O" Li 1 O
has u_type.out "Example: ./velmora.x --cal-bv LiFePO4.cif Fe 2 O -2"
run u_gii 2 "$V" --cal-gii
has u_gii.out "The larger it is, the less stable this structure is ESTIMATED to be."
run u_text 2 "$V" --text-cal-bv
has u_text.err "Error: not enough arguments."
for c in --gen-cif-reduced --gen-cif-p1 --gen-cif-assign --gen-cif-assign-all; do
  run "u$c" 2 "$V" $c
  has "u$c.out" "Command: $c [input.cif]"
done

# Bad numbers: one message, nothing read.
run sf_bad 1 "$V" --print-ppt "$LI2O" abc
[ "$(cat sf_bad.err)" = "Error: wrong parameter sf." ] || fail "--print-ppt abc: $(cat sf_bad.err)"
[ ! -s sf_bad.out ] || fail "--print-ppt abc printed more than the error"
run en_bad 1 "$V" --cal-tot-en "$LI2O" 0.7x
[ "$(cat en_bad.err)" = "Error: wrong parameter sf." ] || fail "--cal-tot-en 0.7x"
run full_bad 1 "$V" --print-ppt-full "$LI2O" 0.7 Na one
[ "$(cat full_bad.err)" = "Error: wrong oxidation state." ] || fail "--print-ppt-full os"
run type_bad 1 "$V" --cal-bv-type "$LI2O" Li 1.5 O -2
[ "$(cat type_bad.err)" = "Error: wrong parameter os1." ] || fail "--cal-bv-type os1"

# Results.
run ppt 0 "$V" --print-ppt "$LI2O" 0.72
has ppt.out "PPT: screening factor = 0.720000"
has ppt.out "PPT: | Li1+ |  3 |"
grep -q "calculating sf" ppt.out && fail "a given screening factor was searched"
run full 0 "$V" --print-ppt-full "$LI2O" 0.8 Na 1
has full.out "PPT: conducting species = Na(1)"
has full.out "PPT: total number of PROPERTY_UNITARY: 3"
grep -q "PPT: screening factor=0.800000" full.out && fail "conducting form read the screening factor"
run full2 0 "$V" --print-ppt-full "$LI2O" 0.8
has full2.out "PPT: screening factor=0.800000"
run charge 0 "$V" --cal-charge "$LI2O"
has charge.out "Total charge per unit cell: 0.000"
run charge2 0 "$V" --cal-charge "$DATA/ff/LiF_thirds.cif"
has charge2.out "Total charge per unit cell: -0.001"
run energy 0 "$V" --cal-tot-en "$LI2O" 0.75
grep -Eq '^Message: total energy = -?[0-9]+\.[0-9]{6} eV$' energy.out || fail "--cal-tot-en line"

run bv 0 "$V" --cal-bv "$LI2O"
has bv.out "GII: Global instability index = "
run bvtype 0 "$V" --cal-bv-type "$LI2O" Li+ 1 O -2
grep "^BV: " bv.out | head -3 >bv.head
grep "^BV: " bvtype.out | head -3 >bvtype.head
cmp -s bv.head bvtype.head || fail "--cal-bv-type Li 1 O -2 differs from --cal-bv on Li2O"
grep -q "^GII" bvtype.out && fail "--cal-bv-type printed a GII"
run gui 0 "$V" --cal-bv-gui "$LI2O"
has gui.out "Printing bond valence sum of each site for Velmora-GUI"
has gui.out "End of BV sum calculation for Velmora-GUI"
grep -q "^BV:" gui.out && fail "--cal-bv-gui printed the BV table"
run gii 0 "$V" --cal-gii "$LI2O"
grep "^GII" bv.out >bv.gii
grep "^GII" gii.out >gii.gii
cmp -s bv.gii gii.gii || fail "--cal-gii differs from the GII of --cal-bv"

# Text mode: the CIF given word by word.
args=()
while IFS= read -r line; do
  for w in $line; do args+=("$w"); done
  args+=("-:nl")
done <"$DATA/ff/LiNaCl_mixed.cif"
run text 0 "$V" --text-cal-bv -:text "${args[@]}"
run file 0 "$V" --cal-bv "$DATA/ff/LiNaCl_mixed.cif"
diff <(grep -E '^(BV|GII)' text.out) <(grep -E '^(BV|GII)' file.out) >/dev/null \
  || fail "--text-cal-bv differs from --cal-bv"

# Missing data named: a copy of the program beside reduced data files.
mkdir -p "$S/bin"
ln -sf "$(readlink -f "$V")" "$S/bin/velmora.x"
cp "$BIN/database_symcards.dat" "$S/bin/"
cp "$BIN/database_unitary.dat" "$S/bin/"
grep -v '^Li 1 O -2 ' "$BIN/database_binary.dat" >"$S/bin/database_binary.dat"
for c in --cal-bv --cal-gii --print-ppt --cal-tot-en; do
  run "miss$c" 1 "$S/bin/velmora.x" $c "$LI2O"
  has "miss$c.err" "Error: no bond-valence parameters for the pair Li1+-O2- in database_binary.dat (needed by $c)."
  [ "$(head -1 "miss$c.err")" = "Error: no bond-valence parameters for the pair Li1+-O2- in database_binary.dat (needed by $c)." ] \
    || fail "$c: the missing pair is not named first"
done
has miss--cal-bv.err "Error: velmora_bv_calculate_from_cell() returns non-zero."
cp "$BIN/database_binary.dat" "$S/bin/"
grep -v '^ *3 Li   1 ' "$BIN/database_unitary.dat" >"$S/bin/database_unitary.dat"
run missli 1 "$S/bin/velmora.x" --print-ppt "$LI2O"
has missli.err "Error: no per-ion parameters for the species Li1+ in database_unitary.dat (needed by --print-ppt)."

[ "$failures" = 0 ] && echo "ok: force-field commands" || echo "$failures failures"
[ "$failures" = 0 ]

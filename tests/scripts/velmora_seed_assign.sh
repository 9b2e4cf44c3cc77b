#!/usr/bin/env bash
# Random steps of velmora.x: --seed repeats them exactly and the seed used is
# printed (also when taken from the clock); the supercell size is printed
# before its landscape is computed and the assigned structure lands beside
# its cube; the partial-occupancy assignments keep the composition (a site
# shared by Li and Cu keeps its atom, --gen-cif-assign leaves every atom of
# the species at occupancy 1); suspect bond-valence results are flagged on
# standard error.
. "$(dirname "$0")/lib/velmora_checks.sh"
# species NAME.cif: "type count" per species of a written P 1 CIF, occupancies summed
species() {
  tr -d '\r' < "$1" | awk 'NF == 6 && $6 ~ /^[0-9.]+$/ && $3 ~ /^-?[0-9.]+$/ {
    n[$2] += $6; if ($6 != "1.000") part = 1 }
    END { for (t in n) printf "%s %.3f\n", t, n[t]; if (part) print "partial" }' | sort
}

cell() {  # cell NAME A C GAMMA SPACEGROUP SITES...
  local name=$1 a=$2 c=$3 g=$4 sg=$5; shift 5
  { echo "data_x"; echo "_cell_length_a $a"; echo "_cell_length_b $a"; echo "_cell_length_c $c"
    echo "_cell_angle_alpha 90"; echo "_cell_angle_beta 90"; echo "_cell_angle_gamma $g"
    echo "_space_group_IT_number $sg"
    echo "loop_"; echo "_atom_site_label"; echo "_atom_site_type_symbol"
    echo "_atom_site_fract_x"; echo "_atom_site_fract_y"; echo "_atom_site_fract_z"
    echo "_atom_site_occupancy"; printf '%s\n' "$@"; } > "$name"
}
# Li3N with its 1b site shared half by Li and half by Cu.
cell Li3N_Cu.cif 3.648 3.875 120 191 "N1 N3- 0 0 0 1" "Li1 Li1+ 0 0 0.5 0.5" \
  "Cu1 Cu1+ 0 0 0.5 0.5" "Li2 Li1+ 0.333333 0.666667 0 1"
# Li2O with the Li sites half occupied.
cell Li2O_half.cif 4.611 4.611 90 225 "Li1 Li1+ 0.25 0.25 0.25 0.5" "O1 O2- 0 0 0 1"

# --- --gen-cif-assign-all keeps the shared site filled.
li=0; cu=0
for seed in 1 2 3 4 5 6 7 8 9 10 11 12; do
  run "all$seed" 0 --gen-cif-assign-all Li3N_Cu.cif all$seed.cif --seed $seed
  has "all$seed.out" "Message: random seed = $seed (give --seed $seed to repeat this run)."
  got=$(species all$seed.cif | tr '\n' ' ')
  case "$got" in
    "Cu1+ 1.000 Li1+ 2.000 N3- 1.000 ") cu=$((cu + 1)) ;;
    "Li1+ 3.000 N3- 1.000 ") li=$((li + 1)) ;;
    *) fail "seed $seed: --gen-cif-assign-all wrote $got" ;;
  esac
done
[ $li -gt 0 ] && [ $cu -gt 0 ] || fail "the shared site went to Li $li and Cu $cu times of 12"
# The same seed, the same file; the clock seed is printed too.
run again 0 --gen-cif-assign-all Li3N_Cu.cif again.cif --seed 5
cmp -s all5.cif again.cif || fail "--seed 5 twice gave different structures"
run clock 0 --gen-cif-assign-all Li3N_Cu.cif clock.cif
grep -q "^Message: random seed = [0-9]* (give --seed" clock.out || fail "the clock seed is not printed"
run badseed 2 --gen-cif-assign-all Li3N_Cu.cif x.cif --seed -4
has badseed.err "Error: --seed needs a whole number from 0 to 4294967295."
run noseed 2 --gen-cif-assign-all Li3N_Cu.cif x.cif --seed

# --- --gen-cif-assign X Li 1: every Li at occupancy 1, half of the sites.
run one 0 --gen-cif-assign Li2O_half.cif Li 1 one.cif --seed 9
[ "$(species one.cif | tr '\n' ' ')" = "Li1+ 4.000 O2- 4.000 " ] \
  || fail "--gen-cif-assign Li 1 wrote $(species one.cif | tr '\n' ' ')"

# --- The landscape of a partly occupied structure: size first, seed, the
# assigned structure beside the cube, and the same files for the same seed.
cp "$DATA/cube/LiNaO_partial.cif" .
mkdir -p out1 out2
for d in out1 out2; do
  run "cube_$d" 0 --gen-cube LiNaO_partial.cif Li 1 0.7 0.3 t t $d/p.cube --seed 11
  [ -s $d/LiNaO_partial_assigned.cif ] || fail "no assigned structure beside $d/p.cube"
done
[ -e LiNaO_partial_assigned.cif ] && fail "the assigned structure went beside the input"
cmp -s out1/p.cube out2/p.cube || fail "--seed 11 twice gave different landscapes"
cmp -s out1/LiNaO_partial_assigned.cif out2/LiNaO_partial_assigned.cif \
  || fail "--seed 11 twice gave different assigned structures"
size_line=$(grep -n "^Message: supercell of [0-9]* x [0-9]* x [0-9]* cells, [0-9]* atoms." cube_out1.out | cut -d: -f1)
done_line=$(grep -n "^Message: cube has been generated successfully." cube_out1.out | cut -d: -f1)
[ -n "$size_line" ] && [ -n "$done_line" ] && [ "$size_line" -lt "$done_line" ] \
  || fail "the supercell size is not printed before the landscape"
has cube_out1.out "Message: random seed = 11 (give --seed 11 to repeat this run)."
# A structure without random steps prints no seed.
cp "$DATA/cif/Li2O.cif" .
run plain 0 --gen-cube Li2O.cif Li 1 0.7 0.3 t t plain.cube --seed 4
grep -q "random seed" plain.out && fail "a run without random steps printed a seed"

# --- bvscreen hands its --seed to velmora.x: the same seed, the same row.
B=${BVSCREEN:-}
if [ -n "$B" ] && [ -x "$B" ]; then
  for d in scr1 scr2; do
    "$B" --ion Li --out $d --resolution 0.3 --seed 21 --no-plots LiNaO_partial.cif >/dev/null 2>&1 \
      || fail "bvscreen --seed 21 ($d)"
  done
  [ "$(cut -d, -f1-40 scr1/results.csv)" = "$(cut -d, -f1-40 scr2/results.csv)" ] \
    || fail "bvscreen --seed 21 twice gave different rows"
  grep -qs "random seed = 21 " scr1/work/*/Li1+/draw-1/cube.out || fail "bvscreen did not pass its seed on"
fi

# --- Suspect results are flagged on standard error.
cell far.cif 30 30 90 221 "Li1 Li1+ 0 0 0 1" "F1 F1- 0.5 0.5 0.5 1"
run far 0 --cal-bv far.cif
has far.err "Warning: every bond-valence sum is zero"
cell squeezed.cif 2.4 2.4 90 225 "Li1 Li1+ 0.25 0.25 0.25 1" "O1 O2- 0 0 0 1"
run squeezed 0 --cal-bv squeezed.cif
has squeezed.err "is unreasonable (1 or more)"
run normal 0 --cal-bv Li2O.cif
grep -q Warning normal.err && fail "Li2O flagged: $(cat normal.err)"

finish
echo "velmora seeds and assignments: all passed"

#!/usr/bin/env bash
# Coordination numbers of velmora.x: the first shells of known structures and
# an independent implementation of the shell rule on the validation set
# (velmora_cn_check.py), then the cases at the edges of the shell analysis:
# a centre with a single neighbour, a print-out whose row bound would pass
# the neighbour list, atom names of 11 characters, the bond-valence ranking
# and the argument errors.
set -u
V=${VELMORA:?}
DATA=${BV_TEST_DATA_DIR:?}
SRC=${BV_SOURCE_DIR:?}
PY=${PYTHON:-/usr/bin/python3}
S=${BV_SCRATCH:-$(mktemp -d)}
rm -rf "$S"; mkdir -p "$S"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
run() {  # run NAME EXPECTED_STATUS ARGS...
  local name=$1 want=$2; shift 2
  "$V" "$@" >"$S/$name.out" 2>"$S/$name.err"
  local got=$?
  [ "$got" = "$want" ] || fail "$name: exit status $got, wanted $want ($(head -c 300 "$S/$name.err"))"
}
has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }

if "$PY" -c 'import gemmi, numpy' 2>/dev/null; then
  "$PY" "$SRC/tests/scripts/velmora_cn_check.py" "$V" "$DATA/validation" || fail "coordination checks"
else
  echo "note: python3 with gemmi and numpy not available, independent check skipped"
fi

# A P 1 cell of edge $1 with the sites that follow (label type x y z).
cell() {
  local a=$1; shift
  printf 'data_t\n_cell_length_a %s\n_cell_length_b %s\n_cell_length_c %s\n' "$a" "$a" "$a"
  printf '_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n'
  printf "loop_\n_symmetry_equiv_pos_as_xyz\n'x,y,z'\n"
  printf 'loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n'
  printf '_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n'
  while [ $# -gt 0 ]; do printf '%s %s %s %s %s 1.0\n' "$1" "$2" "$3" "$4" "$5"; shift 5; done
}

# One Cl within 10 A of Na (the next image is 12.75 A away): it is the first
# shell by itself, in every print-out.
cell 15 Na1 Na1+ 0 0 0 Cl1 Cl1- 0.15 0 0 >"$S/single.cif"
run single_atom 0 --cal-cn-atom "$S/single.cif" Na1 Cl -1
has "$S/single_atom.out" "CN:     0  2.250000  1.000"
run single_mix 0 --cal-cn "$S/single.cif" Na1
has "$S/single_mix.out" "CN: Coordination Number:        1.000"
[ "$(grep -c '^CN: *[0-9]' "$S/single_mix.out")" = 1 ] || fail "single neighbour: not one row"
run single_type 0 --cal-cn-type "$S/single.cif" Na 1 Cl -1
has "$S/single_type.out" "CN:  ave            0   1.000000  2.250000"

# Four Cl at 2.0 A and two at 5.0 and 5.05 A: the second shell starts at the
# fifth neighbour, so "twice its index" (8 rows) would run past the six
# neighbours; every neighbour is listed once.
cell 20 Na1 Na1+ 0.5 0.5 0.5 Cl1 Cl1- 0.6 0.5 0.5 Cl2 Cl1- 0.4 0.5 0.5 \
  Cl3 Cl1- 0.5 0.6 0.5 Cl4 Cl1- 0.5 0.4 0.5 Cl5 Cl1- 0.5 0.5 0.75 Cl6 Cl1- 0.5 0.5 0.2475 \
  >"$S/rows.cif"
run rows 0 --cal-cn "$S/rows.cif" Na1
[ "$(grep -c '^CN: *[0-9]' "$S/rows.out")" = 6 ] || fail "row bound: $(grep -c '^CN: *[0-9]' "$S/rows.out") rows"
has "$S/rows.out" "CN: Coordination Number:        4.000"
has "$S/rows.out" "CN:     5      2             Cl1-  5.000000"

# Labels hold 11 characters and are looked up whole.
cell 15 Na_abcdefgh Na1+ 0 0 0 Cl1 Cl1- 0.15 0 0 >"$S/long.cif"
run long 0 --cal-cn "$S/long.cif" Na_abcdefgh
has "$S/long.out" "CN: Center atom:   Na_abcdefgh (Na1+)"
run long_short 1 --cal-cn "$S/long.cif" Na_abcdefg
has "$S/long_short.err" "Error: atom named Na_abcdefg not found."

# Bond-valence ranking: corundum's 3 + 3 octahedron.
run bv 0 --cal-cn-bv "$DATA/validation/Al2O3.cif" Al1
has "$S/bv.out" "CN: Coordination Number:        6.000"
grep -q "CN: Center atom:   Al1 (Al3+)   BVS: 3\.0" "$S/bv.out" || fail "BVS of Al1"

# Arguments.
run usage_cn 2 --cal-cn "$DATA/cif/Li2O.cif"
has "$S/usage_cn.out" "Command: --cal-cn [input.cif] {atom_name} | {rds_cutoff}"
run usage_type 2 --cal-cn-type "$DATA/cif/Li2O.cif" Li 1 O
has "$S/usage_type.out" "Example: ./velmora.x --cal-cn-type Li2O.cif Li +1 O -2"
run bad_os 1 --cal-cn-atom "$DATA/cif/Li2O.cif" Li1 O x
has "$S/bad_os.err" "Error: wrong parameter os_c."
run bad_rds 1 --cal-cn "$DATA/cif/Li2O.cif" Li1 abc
has "$S/bad_rds.err" "Error: wrong parameter rds_tiny."
run no_counter 1 --cal-cn-atom "$DATA/cif/Li2O.cif" Li1 F -1
has "$S/no_counter.err" "Error: atom of type F1- not found."
run no_species 1 --cal-cn-type "$DATA/cif/Li2O.cif" Na 1 O -2
has "$S/no_species.err" "Error: unable to find any atom of Na1+."
run default_rds 0 --cal-cn "$DATA/cif/Li2O.cif" Li1 0
has "$S/default_rds.out" "rds_tiny = 0.010000"

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "velmora coordination: all passed"

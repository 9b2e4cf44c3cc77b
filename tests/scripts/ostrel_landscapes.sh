#!/usr/bin/env bash
# ostrel on landscapes with the symmetry of Li2O (Fm-3m), LiCoO2 (R-3m) and a
# rutile-type host (P4_2/mnm): every reported minimum is a local minimum of
# the cube, every saddle has two clusters of lower neighbours, each type has
# one energy and its multiplicity counts its points, and the mobile-ion sites
# of the structure lie on minima labelled with them (checked independently in
# Python).  The same summaries follow from structures that name their space
# group only (operations from the settings file beside the program, also when
# run from another directory), from cubes with repeated boundary planes, and
# the full-grid search takes over when the grid lacks the symmetry.
set -u
: "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH/elsewhere" && cd "$BV_SCRATCH" || exit 1
tool="$BV_SOURCE_DIR/tests/scripts/ostrel_landscape.py"
"$PYTHON" -c 'import gemmi, numpy' 2>/dev/null || { echo "skipped: no gemmi/numpy"; exit 77; }
fail=0
sorted() { grep -aE '^ +[0-9]+ |^Total|^Multiplicity' "$1" | awk '/^ / { $1 = "" } { print }' | sort; }  # without list indices

for s in li2o licoo2 rutile; do
  "$PYTHON" "$tool" make $s . || { echo "FAIL: making $s"; exit 1; }
  ion=$(grep -ao 'Conducting = [A-Za-z0-9+]*' $s.cube | awk '{print $3}')
  "$OSTREL" --cube $s.cube --cif $s.cif $ion --print-minima --print-saddle >$s.out 2>$s.err
  rc=$?
  [ $rc = 0 ] || { echo "FAIL: $s status $rc"; cat $s.err; fail=1; continue; }
  [ -s $s.err ] && { echo "FAIL: $s wrote to standard error:"; cat $s.err; fail=1; }
  "$PYTHON" "$tool" check $s.cube $s.cif $ion $s.out || fail=1
  # Types spelled as in most COD files (Li+1, O-2) name the same sites.
  "$OSTREL" --cube $s.cube --cif ${s}_cod.cif $ion --print-minima --print-saddle >${s}_cod.out \
    || { echo "FAIL: $s with COD spelling"; fail=1; }
  cmp -s ${s}_cod.out $s.out || { echo "FAIL: $s with COD spelling differs"; fail=1; }
  # Operations by space-group name only, from this directory and from one
  # without bin/ (the settings file is then found beside the program).
  if [ -f "$(dirname "$OSTREL")/database_symcards.dat" ]; then
    (cd elsewhere && "$OSTREL" --cube ../$s.cube --cif ../${s}_hm.cif $ion --print-minima \
       --print-saddle >../${s}_hm.out 2>../${s}_hm.err) || { echo "FAIL: $s by name"; fail=1; }
    [ "$(sorted ${s}_hm.out)" = "$(sorted $s.out)" ] || { echo "FAIL: $s by name differs"; fail=1; }
  fi
done

# Repeated boundary planes (counts n + 1) give the same summaries.
"$PYTHON" "$tool" repeat li2o.cube li2o_rep.cube
"$OSTREL" --cube li2o_rep.cube --cif li2o.cif Li1+ --print-minima --print-saddle >rep.out \
  || { echo "FAIL: repeated planes"; fail=1; }
cmp -s rep.out li2o.out || { echo "FAIL: repeated planes change the summaries"; fail=1; }

# A grid without the structure's symmetry: warning, full-grid search.
"$PYTHON" "$tool" perturb li2o.cube li2o_bad.cube
"$OSTREL" --cube li2o_bad.cube --cif li2o.cif Li1+ --print-minima --print-saddle >bad.out \
  || { echo "FAIL: asymmetric grid"; fail=1; }
grep -q '^Warning: The landscape grid lacks the symmetry' bad.out || { echo "FAIL: no warning"; fail=1; }
"$PYTHON" "$tool" check li2o_bad.cube li2o.cif Li1+ bad.out || fail=1

# Smoothing runs on the symmetric grid and keeps the Li sites.
"$OSTREL" --cube li2o.cube --cif li2o.cif Li1+ --smooth-cube --print-minima >smooth.out \
  || { echo "FAIL: smoothing"; fail=1; }
grep -q '^Center weight: ' smooth.out || { echo "FAIL: no centre weight"; fail=1; }
grep -q 'Minima type: Li1 (Energy: 0.000000 eV)' smooth.out || { echo "FAIL: smoothed Li sites"; fail=1; }
# Smoothing symmetrises a grid that lacked the symmetry.
"$OSTREL" --cube li2o_bad.cube --cif li2o.cif Li1+ --smooth-cube --print-minima >smooth_bad.out \
  || { echo "FAIL: smoothing an asymmetric grid"; fail=1; }
grep -q '^Warning: The landscape grid lacks' smooth_bad.out && { echo "FAIL: warning after smoothing"; fail=1; }

# Na1+ uses the scaling 0.5695*E^(0.6946) unless --scale replaces it.
e_saddle=$(grep -a 'Saddle type: s1' rutile.out | sed 's/.*Energy: \([0-9.]*\).*/\1/')
"$OSTREL" --cube rutile.cube --cif rutile.cif Li1+ --print-saddle >li_scale.out
e_raw=$(grep -a 'Saddle type: s1' li_scale.out | sed 's/.*Energy: \([0-9.]*\).*/\1/')
"$OSTREL" --scale "2*E" --cube rutile.cube --cif rutile.cif Na1+ --print-saddle >user_scale.out
e_user=$(grep -a 'Saddle type: s1' user_scale.out | sed 's/.*Energy: \([0-9.]*\).*/\1/')
"$PYTHON" - "$e_saddle" "$e_raw" "$e_user" <<'PY' || fail=1
import sys
na, raw, user = map(float, sys.argv[1:])
ok = abs(na - 0.5695 * raw ** 0.6946) < 2e-6 and abs(user - 2 * raw) < 2e-6
print("scaling: Na %.6f raw %.6f user %.6f %s" % (na, raw, user, "ok" if ok else "FAILED"))
sys.exit(0 if ok else 1)
PY

# A structure whose cell is not the cube's is refused (its sites and
# operations would land in the wrong places), and a cube of a supercell of
# the CIF's cell is named as such.
sed 's/^_cell_length_c .*/_cell_length_c 9.22/' li2o.cif >li2o_c2.cif
"$OSTREL" --cube li2o.cube --cif li2o_c2.cif Li1+ --print-minima >c2.out 2>c2.err
[ $? = 1 ] || { echo "FAIL: a CIF of another cell is not refused"; fail=1; }
grep -q '^Error: The cell of the CIF (4.6100 4.6100 9.2200 90.00 90.00 90.00) differs' c2.err \
  || { echo "FAIL: no cell error"; head -3 c2.err; fail=1; }
grep -q 'Total local minima' c2.out && { echo "FAIL: minima printed for a refused CIF"; fail=1; }
sed 's/^_cell_length_\([abc]\) .*/_cell_length_\1 2.305/' li2o.cif >li2o_half.cif
"$OSTREL" --cube li2o.cube --cif li2o_half.cif Li1+ --print-minima >half.out 2>half.err
[ $? = 1 ] && grep -q '^Error: The cube is a landscape of a 2 x 2 x 2 supercell of the CIF' half.err \
  || { echo "FAIL: supercell cube"; cat half.err; fail=1; }
grep -q '^Error: The c' li2o.out && { echo "FAIL: cell error for matching cells"; fail=1; }

# A cube without a structure: no search, empty summaries.
"$OSTREL" --cube li2o.cube --print-minima --print-saddle >nocif.out || { echo "FAIL: cube alone"; fail=1; }
grep -q 'Total local minima in unit cell: 0' nocif.out && grep -q 'Total local saddle in unit cell: 0' nocif.out \
  || { echo "FAIL: cube alone should report no points"; fail=1; }

[ $fail = 0 ] && echo "landscapes: ok"
exit $fail

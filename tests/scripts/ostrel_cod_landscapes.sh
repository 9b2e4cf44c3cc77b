#!/usr/bin/env bash
# ostrel on landscapes built for real COD structures in eight space groups
# (body-centred, screw and glide operations, hexagonal and rhombohedral
# axes): wells at the Li or Na sites, repulsion at the other atoms, values
# exactly symmetric under each file's own operations.  The summaries are
# checked independently (local minima, saddle signature, equal energies per
# type, multiplicities, mobile-ion sites on minima labelled with them).
set -u
: "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${BV_COD_DIR:?}" "${PYTHON:=/usr/bin/python3}"
[ -d "$BV_COD_DIR" ] || { echo "skipped: no COD directory"; exit 77; }
"$PYTHON" -c 'import gemmi, numpy' 2>/dev/null || { echo "skipped: no gemmi/numpy"; exit 77; }
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
tool="$BV_SOURCE_DIR/tests/scripts/ostrel_landscape.py"
fail=0
# COD id : mobile element   (I4_1/amd, P-43n, P6_422, P3_112, P4/ncc, I4_1cd,
#                             P4_2/nbc, R-3m)
for entry in 1537149:Li 1538614:Li 9000367:Li 7223829:Li 1000368:Li 1511473:Li 2310441:Na 1528291:Li; do
  id=${entry%:*}; el=${entry#*:}
  cif="$BV_COD_DIR/$id.cif"
  [ -f "$cif" ] || { echo "SKIP: $id not in the COD set"; continue; }
  "$PYTHON" "$tool" from-cif "$cif" $el $id.cube || { echo "FAIL: making $id"; fail=1; continue; }
  "$OSTREL" --cube $id.cube --cif "$cif" ${el}1+ --print-minima --print-saddle >$id.out 2>$id.err
  rc=$?
  [ $rc = 0 ] || { echo "FAIL: $id status $rc"; cat $id.err; fail=1; continue; }
  printf '%s: ' $id
  "$PYTHON" "$tool" check $id.cube "$cif" ${el}1+ $id.out || fail=1
done
[ $fail = 0 ] && echo "COD landscapes: ok"
exit $fail

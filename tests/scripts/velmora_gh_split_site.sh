#!/usr/bin/env bash
# velmora.x --gh on NaTaO3 (P4/mbm), whose Na minimum splits in two with a
# saddle at the cage centre, into which the in-plane hops descend: the hops
# must still join the sites, so the 1D/2D/3D thresholds equal the periodic
# flood fill of tools/percolation_check.py (in-plane network at 1.72 eV,
# 3D at 2.89 eV) within one grid step's energy change; and the hop paths of
# .gh.txt end on the Na minima.
set -u
: "${VELMORA:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import numpy' 2>/dev/null || { echo "skipped: no numpy"; exit 77; }
cp "$BV_SOURCE_DIR/tests/data/cif/NaTaO3.cif" . || exit 1
fail=0
"$VELMORA" --gen-cube NaTaO3.cif Na 1 0 0.2 t t NaTaO3.cube >gen.txt 2>&1 || { cat gen.txt; exit 1; }
"$VELMORA" --gh NaTaO3.cif NaTaO3.cube Na 1 >gh.txt 2>gh.err || { cat gh.err; exit 1; }
"$PYTHON" "$BV_SOURCE_DIR/tests/scripts/velmora_topology_check.py" compare NaTaO3.cube gh.txt \
    >cmp.txt || fail=1
cat cmp.txt
# The 2D network is the in-plane one, well below the 3D threshold.
e2=$(sed -n 's/^VELMORA_GRAPH_NETWORK: e_2D = \([-0-9.]*\).*/\1/p' gh.txt)
e3=$(sed -n 's/^VELMORA_GRAPH_NETWORK: e_3D = \([-0-9.]*\).*/\1/p' gh.txt)
awk -v a="$e2" -v b="$e3" 'BEGIN { exit !(a > 1.5 && a < 2.0 && b > 2.7 && b < 3.1) }' ||
  { echo "FAIL: e_2D = $e2, e_3D = $e3"; fail=1; }
[ $fail = 0 ] && echo "split Na site: thresholds equal the flood fill"
exit $fail

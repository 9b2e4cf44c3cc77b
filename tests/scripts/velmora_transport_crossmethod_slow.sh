#!/usr/bin/env bash
# ctest-labels: slow
# Physics across methods on a dilute Li landscape: eight Li ions in the O
# framework of a 2x2x2 Li2O cell (one Li per 64 tetrahedral sites).  The
# Arrhenius energy of the kinetic Monte Carlo (D at 300-600 K) and of the
# molecular dynamics (D at 400-900 K over 100 ps from the trajectory, many time origins)
# must agree with the 3-D percolation threshold of --gh and of ostrel
# within 0.05 eV.
set -u
V=${VELMORA:?}
O=${OSTREL:?}
SRC=${BV_SOURCE_DIR:?}
BIN=${BV_BIN_DIR:?}
PY=${PYTHON:-/usr/bin/python3}
S=${BV_SCRATCH:-$(mktemp -d)}
rm -rf "$S"; mkdir -p "$S"
cd "$S" || exit 1
"$PY" -c 'import numpy' 2>/dev/null || { echo "skipped: numpy missing"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The structure: O on the fcc lattice of a 9.222 A cube, Li at (1/4 1/4 1/4)
# of each of the eight Li2O cells only.
"$PY" "$(dirname "$0")/lib/dilute_lio_cif.py" LiO.cif || exit 1

"$V" --gen-cube LiO.cif Li 1 0.75 0.1 t t LiO.cube >cube.out 2>&1 || fail "--gen-cube"
"$V" --gh LiO.cif LiO.cube Li 1 >gh.out 2>&1 || fail "--gh"
e_gh=$(sed -n 's/^VELMORA_GRAPH_NETWORK: e_3D = \([0-9.]*\).*/\1/p' gh.out)
ln -sfn "$BIN" bin
"$O" --cube LiO.cube --cif LiO.cif Li1+ --path --summary --print-act >ostrel.out 2>&1 || fail "ostrel"
e_os=$(sed -n 's/^3D activation energy: \([0-9.]*\) eV/\1/p' ostrel.out)

# kMC: D per temperature (2x2x2 supercell of the graph, 64 ions).
: >kmc.dat
for T in 300 400 500 600; do
  "$V" --kmc LiO.cif LiO.cube Li 1 2 2 2 0.75 $T 0 40000 -1 -1 $T >kmc$T.out 2>&1 || fail "--kmc at $T K"
  d=$(sed -n 's/^KMC: diffusivity = \([0-9.e+-]*\),.*/\1/p' kmc$T.out)
  echo "$T $d" >>kmc.dat
done
# MD: D per temperature from the trajectory, lags of 1 to 8 ps.
: >md.dat
for T in 400 550 700 900; do
  "$V" --md LiO.cif Li 1 0.75 $T 100 2 0.002 0.1 $T >md$T.out 2>&1 || fail "--md at $T K"
  d=$("$PY" "$SRC/tests/scripts/velmora_transport_msd.py" LiO.cif.md.xyz Li 0.1 1 8)
  echo "$T $d" >>md.dat
done

"$PY" - "$e_gh" "$e_os" <<'PYEOF' || fail "Arrhenius energies disagree"
import sys
import numpy as np
kb = 8.6173324e-5
e_gh, e_os = float(sys.argv[1]), float(sys.argv[2])
def arrhenius(name):
    t, d = np.loadtxt(name, unpack=True)
    assert np.all(d > 0), d
    return -np.polyfit(1.0 / (kb * t), np.log(d), 1)[0]
e_kmc, e_md = arrhenius("kmc.dat"), arrhenius("md.dat")
print("3-D threshold: --gh %.3f eV, ostrel %.3f eV; Arrhenius energy: kMC %.3f eV, MD %.3f eV"
      % (e_gh, e_os, e_kmc, e_md))
ok = abs(e_gh - e_os) < 0.05 and abs(e_kmc - e_gh) < 0.05 and abs(e_md - e_gh) < 0.05
sys.exit(0 if ok else 1)
PYEOF

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all cross-method checks passed"

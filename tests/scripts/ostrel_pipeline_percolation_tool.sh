#!/usr/bin/env bash
# The flood-fill percolation check itself, on landscapes whose percolation
# energies are known in closed form: separable cosines (thresholds 2A, 2B,
# 2C along a, b, c), a channel along the face diagonal [110] only, a deep
# trap off the channel (the activation energy is measured from the lowest
# site of the percolating region), the same grid with repeated boundary
# planes, voxels of equal energy, and the compare mode's verdicts on made-up
# ostrel outputs, with and without an energy scale.
set -u
: "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import numpy' 2>/dev/null || { echo "skipped: no numpy"; exit 77; }
tool="$BV_SOURCE_DIR/tools/percolation_check.py"
fail=0
bad() { echo "FAIL: $*"; fail=1; }

"$PYTHON" - <<'PY' || exit 1
import math
def write(name, n, f, repeat=False, L=4.0):
    m = n + 1 if repeat else n
    with open(name, "w", newline="") as out:
        out.write("t\r\n\r\n   0 0 0 0\r\n")
        for ax in range(3):
            v = [0.0] * 3
            v[ax] = L / n * 1.889725989
            out.write("%4d %11.6f %11.6f %11.6f\r\n" % (m, v[0], v[1], v[2]))
        for i in range(m):
            for j in range(m):
                for k in range(m):
                    out.write(" %12.6f\r\n" % f((i % n) / n, (j % n) / n, (k % n) / n))
c = lambda t: 1 - math.cos(2 * math.pi * t)
write("cos.cube", 20, lambda x, y, z: 0.11 * c(x) + 0.23 * c(y) + 0.37 * c(z))
write("cos_rep.cube", 20, lambda x, y, z: 0.11 * c(x) + 0.23 * c(y) + 0.37 * c(z), repeat=True)
# Valley along [110]: crossing it (x - y) or leaving the plane costs 6 eV.
write("diag.cube", 20, lambda x, y, z: 0.1 * c(x + y) + 3 * c(x - y) + 3 * c(z))
# A channel along a (barrier 0.2, sites at 0.05 eV) and, at the cell centre,
# a much deeper closed well that never joins it.
def trap(x, y, z):
    channel = 0.05 + 0.1 * c(x) + 2 * c(y) + 2 * c(z)
    well = -0.05 - 3 * math.exp(-((x - 0.5) ** 2 + (y - 0.5) ** 2 + (z - 0.5) ** 2) / 0.005)
    return min(channel, 0.45 + well) if (x - 0.5) ** 2 + (y - 0.5) ** 2 + (z - 0.5) ** 2 < 0.03 else channel
write("trap.cube", 20, trap)
# Walls of 9 eV round two channels along a: H (sites 0.5 eV, its barrier
# 1.0 eV at i = 10) and D (sites 0, closed by 2.0 eV), bridged at i = 15 by
# voxels of 1.0 eV.  At 1.0 eV the region that percolates holds D's sites,
# although H's barrier voxel comes first in the sorted order.
def tied(x, y, z):
    i, j, k = round(x * 20), round(y * 20), round(z * 20)
    if k != 5:
        return 9.0
    if j == 5:
        return 1.0 if i == 10 else 0.5
    if j == 15:
        return 2.0 if i == 10 else 0.0
    return 1.0 if i == 15 and 5 < j < 15 else 9.0
write("tied.cube", 20, tied)
# Two channels along a that never meet: X from 0 over 1.0 eV, Y from 0.5
# over 1.55 eV.  On raw energies X's barrier is the smaller, on a concave
# scale Y's.
def two(x, y, z):
    if abs(y - 0.25) < 0.01 and abs(z - 0.25) < 0.01:
        return 0.5 * c(x)
    if abs(y - 0.75) < 0.01 and abs(z - 0.75) < 0.01:
        return 0.5 + 0.525 * c(x)
    return 9.0
write("two.cube", 20, two)
PY

expect() {  # cube, expected 1D 2D 3D activation energies
  out=$("$PYTHON" "$tool" "$1") || { bad "$1: tool failed"; return; }
  got=$(echo "$out" | awk '{printf "%s ", $2}')
  [ "$got" = "$2 " ] || bad "$1: got '$got' expected '$2'"
}
expect cos.cube "0.220000 0.460000 0.740000"
expect cos_rep.cube "0.220000 0.460000 0.740000"
expect diag.cube "0.200000 999.000000 999.000000"
# The barrier is measured from the lowest site of the percolating region,
# not from the deeper closed well.
expect trap.cube "0.200000 999.000000 999.000000"
# Voxels of equal energy are judged together.
expect tied.cube "1.000000 999.000000 999.000000"

# Compare mode: agreement within the tolerance, disagreement, missing lines.
printf '1D activation energy: 0.220000 eV\n2D activation energy: 0.460000 eV\n3D activation energy: 0.740000 eV\n' >good.txt
"$PYTHON" "$tool" compare cos.cube good.txt >/dev/null || bad "compare: agreement reported as a difference"
sed 's/0.740000/0.900000/' good.txt >off.txt
"$PYTHON" "$tool" compare cos.cube off.txt >cmp.txt && bad "compare: 0.16 eV off accepted"
grep -q '^3D: .*DIFFERENT$' cmp.txt || bad "compare: difference not named"
head -2 good.txt >short.txt
"$PYTHON" "$tool" compare cos.cube short.txt >/dev/null && bad "compare: missing 3D line accepted"
# Scaled energies: ostrel prints scale(threshold) - scale(minimum).
"$PYTHON" - <<'PY' >scaled.txt
f = lambda e: 0.5695 * e ** 0.6946
for d, e in ((1, 0.22), (2, 0.46), (3, 0.74)):
    print("%dD activation energy: %.6f eV" % (d, f(e) - f(0)))
PY
"$PYTHON" "$tool" compare cos.cube scaled.txt --scale "0.5695*E^(0.6946)" >/dev/null || bad "compare with a scale"
"$PYTHON" "$tool" compare cos.cube scaled.txt >/dev/null && bad "compare ignores the scale"
# The smallest barrier over all energies is taken on the scale: Y's
# f(1.55) - f(0.5), not f(1) - f(0) of X, the smaller on raw energies.
expect two.cube "1.000000 999.000000 999.000000"
"$PYTHON" - <<'PY' >two_y.txt
f = lambda e: 0.5695 * e ** 0.6946
print("1D activation energy: %.6f eV" % (f(1.55) - f(0.5)))
print("2D activation energy: 999.000000 eV\n3D activation energy: 999.000000 eV")
PY
sed '1s/.*/1D activation energy: 0.569500 eV/' two_y.txt >two_x.txt
"$PYTHON" "$tool" compare two.cube two_y.txt --scale "0.5695*E^(0.6946)" >two.cmp ||
  { bad "compare: the scaled barrier of Y refused"; cat two.cmp; }
"$PYTHON" "$tool" compare two.cube two_x.txt --scale "0.5695*E^(0.6946)" >/dev/null &&
  bad "compare: the raw minimum of X accepted on a scale"

# The compiled flood (numba, for large grids) gives the same numbers as the
# loop, scaled or not.
if "$PYTHON" -c 'import numba' 2>/dev/null; then
  "$PYTHON" - "$BV_SOURCE_DIR/tools" <<'PY' || bad "the compiled flood differs from the loop"
import os, sys
sys.path.insert(0, sys.argv[1])
import percolation_check as pc
ok = True
for name in ("cos", "diag", "trap", "tied", "two"):
    grid = pc.read_cube(name + ".cube")
    for scale in (None, pc.make_scale("0.5695*E^(0.6946)")):
        got = {}
        for how in ("python", "compiled"):
            os.environ["PERCOLATION_CHECK_FLOOD"] = how
            got[how] = pc.flood_with_thresholds(grid, scale=scale)
        if got["python"] != got["compiled"]:
            print("%s: loop %s, compiled %s" % (name, got["python"], got["compiled"]))
            ok = False
sys.exit(0 if ok else 1)
PY
else
  echo "note: numba not installed, the compiled flood is not compared"
fi

[ $fail = 0 ] && echo "percolation check: ok"
exit $fail

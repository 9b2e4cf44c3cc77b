#!/usr/bin/env bash
# ostrel on landscapes whose percolation energies are known in closed form,
# against those values and the independent flood fill
# (tools/percolation_check.py): a hexagonal cosine landscape, whose in-plane
# saddles lie on flat ridges (the whole line x = 1/2 is at the saddle
# energy) -- 0.4 eV in the ab plane, 0.6 eV along c -- and a separable
# cosine landscape whose neighbouring grid points tie exactly (the grid's
# highest points of the three cosines: 0.22, 0.45, 0.73 eV), and a cell of
# 8 A with one site, whose hops are as long (0.22, 0.46, 0.74 eV), and two
# channels joined by a pass whose far basin lies beyond the first reaches of
# the hop search (0.10, 0.30, 0.52 eV, by the flood fill), and a trigonal
# landscape on a hexagonal grid (0.28, 0.28, 0.52 eV).  Both the
# activation energies and the thresholds
# above the global minimum are checked.
set -u
: "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import numpy' 2>/dev/null || { echo "skipped: no numpy"; exit 77; }
tool="$BV_SOURCE_DIR/tools/percolation_check.py"
fail=0
bad() { echo "FAIL: $*"; fail=1; }

"$PYTHON" - <<'PY' || exit 1
import math
BOHR = 1.889725989
def write(name, axes, counts, f):
    with open(name, "w", newline="") as out:
        out.write("t\r\n\r\n   0 0 0 0\r\n")
        for v, n in zip(axes, counts):
            out.write("%4d %11.6f %11.6f %11.6f\r\n" % ((n,) + tuple(x / n * BOHR for x in v)))
        for i in range(counts[0]):
            for j in range(counts[1]):
                for k in range(counts[2]):
                    out.write(" %.6f\r\n" % f(i / counts[0], j / counts[1], k / counts[2]))
def cif(name, a, b, c, gamma):
    with open(name, "w") as out:
        out.write("data_t\n_cell_length_a %.4f\n_cell_length_b %.4f\n_cell_length_c %.4f\n"
                  "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma %g\n"
                  "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n"
                  "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
                  "_atom_site_fract_y\n_atom_site_fract_z\nLi1 Li1+ 0 0 0\n"
                  "O1 O2- 0.333333 0.666667 0.5\n" % (a, b, c, gamma))
cos = lambda t: math.cos(2 * math.pi * t)
g = math.radians(120)
write("hex.cube", [(5, 0, 0), (5 * math.cos(g), 5 * math.sin(g), 0), (0, 0, 6)], (24, 24, 24),
      lambda x, y, z: 0.1 * (3 - cos(x) - cos(y) - cos(x - y)) + 0.3 * (1 - cos(z)))
cif("hex.cif", 5, 5, 6, 120)
# Grid points at half steps of the cosines: pairs of neighbours tie exactly.
write("tie.cube", [(4, 0, 0), (0, 4, 0), (0, 0, 4)], (20, 20, 20),
      lambda x, y, z: 0.11 * (1 - cos(x + 0.025)) + 0.23 * (1 - cos(y + 0.025))
      + 0.37 * (1 - cos(z + 0.025)))
cif("tie.cif", 4, 4, 4, 90)
# One site in a cell of 8 A: every hop is 8 A long, beyond the first reach
# of the hop search.
write("wide.cube", [(8, 0, 0), (0, 8, 0), (0, 0, 8)], (40, 40, 40),
      lambda x, y, z: 0.11 * (1 - cos(x)) + 0.23 * (1 - cos(y)) + 0.37 * (1 - cos(z)))
cif("wide.cif", 8, 8, 8, 90)
# Two channels along b, at x = 1/4 (site A, 0.1 eV barrier along b) and
# x = 3/4 (site B), parted by a ridge 1.7 A beside A whose pass lies between
# A and its image along b; from the pass the floor falls over 6 A to B.  The
# pass joins the channels (3-D at 0.52 eV over A, by the flood fill), but
# within kT above it A and A + b lie nearer than B, on one side of it, at
# more than 90 degrees: a hop A -> A + b over the pass would be false.
def ridge(x, y, z):
    t = (x * 16 - 4 + 8) % 16 - 8
    cy = (1 - cos(y)) / 2
    return (-0.25 * math.exp(-t * t / 0.72) + 0.2 * (1 + math.cos(math.pi * t / 8)) / 2
            + 0.5 * math.exp(-(abs(t) - 1.7) ** 2 / 0.32) * (1 - 0.6 * cy) + 0.1 * cy
            + 0.3 * (1 - cos(z)) / 2)
write("pass.cube", [(16, 0, 0), (0, 4, 0), (0, 0, 4)], (80, 20, 20), ridge)
cif("pass.cif", 16, 4, 4, 90)
PY

# A trigonal (P-3) landscape of Gaussian wells on a hexagonal grid: sites
# round a shallow well on the 3-fold axis.  The 26 grid neighbours are not
# carried into themselves by the axis, so the three saddles from the
# shallow well to its three sites fall into two types of slightly different
# energy; only some hops of the higher type repeat hops of the lower, and
# the others are the only joins of their sites (2-D at 0.28 eV by the flood
# fill).
"$PYTHON" - <<'PY' || exit 1
import itertools
import numpy as np
a, c, n, nc = 6.0, 5.0, 36, 30
g = np.radians(120)
A = np.array([[a, 0, 0], [a * np.cos(g), a * np.sin(g), 0], [0, 0, c]])
rot = ([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [[0, -1, 0], [1, -1, 0], [0, 0, 1]],
       [[-1, 1, 0], [-1, 0, 0], [0, 0, 1]])
ops = [s * np.array(r) for s in (1, -1) for r in rot]
wells = ((0.2616, 0.2985, 0.8142, 0.5471, 0.9201), (0.7286, 0.1879, 0.0551, 0.42, 0.9602),
         (0.5623, 0.1501, 0.4326, 0.7354, 0.7959), (0.6332, 0.9674, 0.6831, 0.5133, 0.6311))
f = np.stack(np.meshgrid(np.arange(n) / n, np.arange(n) / n, np.arange(nc) / nc,
                         indexing="ij"), -1)
E = np.zeros((n, n, nc))
for x, y, z, depth, width in wells:
    for R in ops:
        d = (f - (R @ np.array([x, y, z])) % 1.0 + 0.5) % 1 - 0.5
        for sh in itertools.product((-1, 0, 1), repeat=3):
            r = (d + np.array(sh)) @ A
            E -= depth * np.exp(-(r ** 2).sum(-1) / (2 * width ** 2))
E -= E.min()
with open("trig.cube", "w") as out:
    out.write("t\n\n   0 0 0 0\n")
    for v, m in zip(A, (n, n, nc)):
        out.write("%4d %11.6f %11.6f %11.6f\n" % ((m,) + tuple(t / m * 1.889725989 for t in v)))
    out.write("".join(" %.6f\n" % e for e in E.ravel()))
with open("trig.cif", "w") as out:
    out.write("data_t\n_cell_length_a 6\n_cell_length_b 6\n_cell_length_c 5\n"
              "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 120\n"
              "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n-y,x-y,z\n-x+y,-x,z\n-x,-y,-z\n"
              "y,-x+y,-z\nx-y,x,-z\nloop_\n_atom_site_label\n_atom_site_type_symbol\n"
              "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\nLi1 Li1+ 0 0 0\n"
              "O1 O2- 0.3333 0.6667 0.5\n")
PY

# name, expected activation energies (1D 2D 3D, to 2 decimals)
while read -r name want; do
  mkdir -p $name.run
  (cd $name.run && "$OSTREL" --cube ../$name.cube --cif ../$name.cif Li1+ --path --print-act \
      >../$name.out 2>../$name.err) || { bad "$name: ostrel failed"; cat $name.err; continue; }
  got=$(grep 'activation energy' $name.out | awk '{printf "%.2f ", $4}')
  [ "$got" = "$want " ] || bad "$name: activation energies '$got', expected '$want'"
  thr=$(grep 'threshold from the global minimum' $name.out | awk '{printf "%.2f ", $7}')
  [ "$thr" = "$want " ] || bad "$name: thresholds '$thr', expected '$want'"
  grep -q 'Cannot connect' $name.err $name.out && bad "$name: a saddle left unconnected"
  "$PYTHON" "$tool" compare $name.cube $name.out >$name.cmp || { bad "$name: differs from the flood fill"; cat $name.cmp; }
done <<'CASES'
hex 0.40 0.40 0.60
tie 0.22 0.45 0.73
wide 0.22 0.46 0.74
pass 0.10 0.30 0.52
trig 0.28 0.28 0.52
CASES

[ $fail = 0 ] && echo "synthetic landscapes: ok"
exit $fail

#!/usr/bin/python3
"""Independent checks of velmora.x --gh and --fft.

  velmora_topology_check.py landscapes DIR
      writes cosine landscapes with known percolation energies into DIR
      (a 4 A cubic cell, sites of Li at the minima; grids 24x30x36 or 24^3):
        sep.cube    separable barriers 0.2 / 0.5 / 0.8 eV along a, b, c
        iso.cube    isotropic, every direction 0.6 eV
        chain.cube  two sites per cell along a (0 and 0.1 eV), 0.35 eV
                    along the chain, 1.0 eV across b, 1.8 eV across c
        hex.cube    the same kind of one-site landscape in a hexagonal cell
        tri.cube    a triangular net of sites (a 3 x 3*sqrt(3) A rectangular
                    cell, two sites) whose in-plane passes are points where
                    three basins meet: 0.294 eV in 1D and 2D, 0.4 eV along c
        four.cube   one site per 4 A cubic cell whose in-plane passes are the
                    cell-face centres, points with four lower clusters (the
                    four images of the site meet there): 0.4 / 0.4 / 0.5 eV
      and a CIF per landscape (cub.cif, chain.cif, hex.cif, tri.cif).
  velmora_topology_check.py compare CUBE GH_OUTPUT [OSTREL_OUTPUT]
      the thresholds of the VELMORA_GRAPH_NETWORK lines against the flood
      fill of tools/percolation_check.py (and the "<d>D activation
      energy" lines of ostrel run with --scale E), all three looking up to
      5 eV above the lowest point; the tolerance is the
      flood fill's: the energy drop from the threshold voxel to its lowest
      lower neighbour (one grid step along the path).  Exit 1 on a
      difference.
  velmora_topology_check.py critical FFT_TXT OSTREL_MINIMA N0,N1,N2
      the minima and first-order saddles of --fft against ostrel's
      --print-minima --print-saddle: every point of one list within one
      grid step (periodically) of a point of the same kind in the other.
"""
import math
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import percolation_check  # noqa: E402

BOHR = 1.889725989


def write_cube(name, n, f, a):
    with open(name, "w", newline="") as out:
        out.write("t\r\n\r\n   0 0 0 0\r\n")
        for ax in range(3):
            v = [c / n[ax] * BOHR for c in a[ax]]
            out.write("%4d %11.6f %11.6f %11.6f\r\n" % (n[ax], v[0], v[1], v[2]))
        for i in range(n[0]):
            for j in range(n[1]):
                for k in range(n[2]):
                    out.write(" %12.6f\r\n" % f(i / n[0], j / n[1], k / n[2]))


def write_cif(name, lengths, gamma, sites):
    with open(name, "w") as out:
        out.write("data_x\n_cell_length_a %g\n_cell_length_b %g\n_cell_length_c %g\n"
                  "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma %g\n"
                  "_symmetry_space_group_name_H-M 'P 1'\nloop_\n_atom_site_label\n"
                  "_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
                  "_atom_site_fract_z\n_atom_site_occupancy\n" % (lengths + (gamma,)))
        for label, ion, x, y, z in sites:
            out.write("%s %s %g %g %g 1\n" % (label, ion, x, y, z))


def landscapes(directory):
    os.makedirs(directory, exist_ok=True)
    os.chdir(directory)
    c = lambda t: 1 - math.cos(2 * math.pi * t)
    cos = lambda t: math.cos(2 * math.pi * t)
    cubic = ((4.0, 0, 0), (0, 4.0, 0), (0, 0, 4.0))
    write_cube("sep.cube", (24, 30, 36), lambda x, y, z: 0.1 * c(x) + 0.25 * c(y) + 0.4 * c(z),
               cubic)
    # Isotropic: 0.2 c + 0.05 c^2 per axis is 0.6 eV at every saddle, and
    # the squared term keeps grid points off exact ties with the saddles.
    g = lambda t: 0.2 * c(t) + 0.05 * c(t) ** 2
    write_cube("iso.cube", (24, 24, 24), lambda x, y, z: g(x) + g(y) + g(z), cubic)
    write_cube("chain.cube", (40, 24, 24),
               lambda x, y, z: 0.15 * c(2 * x) + 0.05 * c(x) + 0.5 * c(y) + 0.9 * c(z), cubic)
    hexagonal = ((4.0, 0, 0), (-2.0, 2.0 * math.sqrt(3), 0), (0, 0, 4.0))
    # Hexagonal: cosines of the three shortest in-plane reciprocal vectors
    # (x, y, x - y in fractional terms) and one along c.
    write_cube("hex.cube", (24, 24, 24),
               lambda x, y, z: 0.1 * (c(x) + c(y) + c(x - y)) + 0.3 * c(z), hexagonal)
    write_cube("tri.cube", (12, 36, 8), triangular_net, TRIANGULAR_CELL)
    # 0.1 (3.01 - cx - cy - 1.01 cx cy) with cx = cos 2pi x: near (1/2, 1/2)
    # with u = 1 + cx, w = 1 + cy it is 0.4 + 0.1 (0.01 (u + w) - 1.01 u w),
    # rising along the axes and falling along the diagonals from one grid
    # step on (24 points: u = 0.034 > 0.02), so four basins (the site's
    # images at the corners) meet at that point, 0.4 eV above the site; the
    # edge centres (0.402 eV) are maxima in the plane.  0.5 eV along c.
    write_cube("four.cube", (24, 24, 12),
               lambda x, y, z: 0.1 * (3.01 - cos(x) - cos(y) - 1.01 * cos(x) * cos(y))
               + 0.25 * c(z), cubic)
    sites = [("Li1", "Li1+", 0, 0, 0), ("F1", "F1-", 0.5, 0.5, 0.5)]
    write_cif("cub.cif", (4.0, 4.0, 4.0), 90, sites)
    write_cif("chain.cif", (4.0, 4.0, 4.0), 90,
              [("Li1", "Li1+", 0, 0, 0), ("Li2", "Li1+", 0.5, 0, 0), ("F1", "F1-", 0.5, 0.5, 0.5)])
    write_cif("hex.cif", (4.0, 4.0, 4.0), 120, [("Li1", "Li1+", 0, 0, 0), ("F1", "F1-", 1 / 3, 2 / 3, 0.5)])
    write_cif("tri.cif", tuple(TRIANGULAR_CELL[d][d] for d in range(3)), 90,
              [("Li1", "Li1+", 0, 0, 0), ("Li2", "Li1+", 0.5, 0.5, 0),
               ("F1", "F1-", 0.5, 1 / 6, 0.5), ("F2", "F1-", 0, 2 / 3, 0.5)])
    return 0


# A triangular net of sites with spacing 3 A (lattice points (0, 0) and
# (1/2, 1/2) of the rectangular cell) and 4 A along c.
TRIANGULAR_CELL = ((3.0, 0, 0), (0, 3.0 * math.sqrt(3), 0), (0, 0, 4.0))


def triangular_net(x, y, z):
    """0.1 eV x (3 - sum cos(G.r) - 0.6 sum sin(G.r)) + 0.2 eV (1 - cos 2pi z)
    over the three shortest reciprocal vectors G of the net (G1 + G2 + G3 = 0).
    The sine term lowers one kind of triangle centre: its Hessian, isotropic
    by the threefold axis, is zero at a weight of 1/sqrt(3), so at 0.6 the
    centre is a shallow dip whose three passes lie within a grid step of it.
    On the 12 x 36 grid (steps 0.25 and 0.144 A: the grid directions
    (1,1), (-1,1) and (0,-1) lie 120 degrees apart) that centre is one grid
    point with three lower clusters, where the three sites of its triangle
    meet at 0.1 (3 + 1.5 - 0.6 * 1.5 sqrt(3)) = 0.2941 eV above them; it
    carries every in-plane hop (the pass at a triangle edge's centre lies at
    0.4 eV, as high as the one along c)."""
    s = 3.0
    # Fractional coordinates along the net's own vectors s(1, 0) and
    # s(-1/2, sqrt(3)/2): u = x + y, v = 2y in the rectangular cell.
    u, v = x + y, 2 * y
    phases = (2 * math.pi * u, -2 * math.pi * v, 2 * math.pi * (v - u))
    return (0.1 * (3 - sum(math.cos(p) for p in phases) + 0.6 * sum(math.sin(p) for p in phases))
            + 0.2 * (1 - math.cos(2 * math.pi * z)))


def parse_gh(path):
    out = {}
    with open(path, "rb") as f:
        for line in f.read().decode("latin-1").splitlines():
            m = re.match(r"VELMORA_GRAPH_NETWORK: e_(\d)D = (\S+)", line)
            if m:
                out[int(m.group(1))] = float(m.group(2))
    return out


def compare(cube, gh_output, ostrel_output=None):
    ref = percolation_check.flood(percolation_check.read_cube(cube))
    gh = parse_gh(gh_output)
    ostrel = percolation_check.parse_ostrel(ostrel_output) if ostrel_output else None
    ok = True
    for d in (1, 2, 3):
        ea, thr, tol = ref[d]
        flood = None if ea >= 999 else ea
        mine = gh.get(d)
        if mine is None:
            print("%dD: --gh printed no threshold" % d)
            ok = False
            continue
        # The flood fill and ostrel look only up to 5 eV above the lowest
        # point; a threshold beyond that is "none" for them.
        mine = None if mine < 0 or mine > 5.0 else mine
        others = [("flood fill", flood)]
        if ostrel is not None:
            o = ostrel.get(d)
            others.append(("ostrel", None if o is None or o >= 999 else o))
        words = []
        for name, value in others:
            if value is None and mine is None:
                words.append("%s none, ok" % name)
                continue
            # --gh prints three decimals.
            good = value is not None and mine is not None and abs(value - mine) <= tol + 0.0005
            ok = ok and good
            words.append("%s %s %s" % (name, "none" if value is None else "%.4f" % value,
                                       "ok" if good else "DIFFERENT"))
        print("%dD: --gh %s; %s (tolerance %.4f)" % (d, "none" if mine is None else "%.3f" % mine,
                                                    "; ".join(words), tol + 0.0005))
    return 0 if ok else 1


def fft_points(path):
    points = []
    with open(path, "rb") as f:
        for line in f.read().decode("latin-1").splitlines():
            v = line.split(",")
            if len(v) < 33 or not v[0].strip().isdigit():
                continue
            negative = sum(1 for e in v[8:11] if float(e) < 0)
            points.append((tuple(int(x) for x in v[4:7]), negative))
    return points


def ostrel_points(path):
    out = {"min": [], "sad": []}
    kind = None
    with open(path, "rb") as f:
        for line in f.read().decode("latin-1").splitlines():
            if line.startswith("Minima type"):
                kind = "min"
            elif line.startswith("Saddle type"):
                kind = "sad"
            m = re.match(r"\s+\d+\s+(\d+)\s+(\d+)\s+(\d+)\s+[\d.]+", line)
            if m and kind:
                out[kind].append(tuple(int(m.group(i)) for i in (1, 2, 3)))
    return out


def critical(fft_txt, ostrel_txt, counts):
    n = [int(x) for x in counts.split(",")]
    near = lambda p, q: all(min(abs(p[d] - q[d]), n[d] - abs(p[d] - q[d])) <= 1 for d in range(3))
    fft = fft_points(fft_txt)
    ost = ostrel_points(ostrel_txt)
    ok = True
    for kind, negative in (("min", 0), ("sad", 1)):
        mine = [p for p, neg in fft if neg == negative]
        theirs = ost[kind]
        lost = [p for p in theirs if not any(near(p, q) for q in mine)]
        extra = [p for p in mine if not any(near(p, q) for q in theirs)]
        print("%s: --fft %d, ostrel %d, ostrel's without --fft %d, --fft's without ostrel %d" %
              (kind, len(mine), len(theirs), len(lost), len(extra)))
        ok = ok and not lost and not extra
    return 0 if ok else 1


def main(argv):
    if len(argv) == 3 and argv[1] == "landscapes":
        return landscapes(argv[2])
    if len(argv) in (4, 5) and argv[1] == "compare":
        return compare(*argv[2:])
    if len(argv) == 5 and argv[1] == "critical":
        return critical(*argv[2:])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

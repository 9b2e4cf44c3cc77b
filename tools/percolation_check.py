#!/usr/bin/python3
"""Independent percolation analysis of a landscape cube, to cross-check the
activation energies that ostrel reports.

The grid is flooded from its lowest voxel upwards: voxels are added in
ascending energy and joined to their already added 26 neighbours by a
union-find whose nodes carry the lattice translation (in cells) to their
root.  When a new connection closes a loop that reaches another periodic
image of the same component, the translation between the two images is
added to the component's lattice; the rank of that lattice (1, 2 or 3) is
the number of independent directions along which the region below the
current energy connects to its own images.  For d = 1, 2, 3 the activation
energy is the smallest value of (energy of the voxel that was just added)
minus (lowest energy of its component) over all moments at which that
component spans at least d directions -- the same quantity as the highest
hop minus the lowest site of a percolating cluster of hops.  The threshold
above the global minimum is the energy at which d directions first connect
(what tools that measure from the global minimum report).

Usage:
  percolation_check.py CUBE [--max E] [--scale EXPR]
      prints one line per dimension: "<d>D <Ea> <threshold> <tolerance>
      <threshold from the global minimum>" (999 when the dimension is never reached below the global minimum +
      E, default 5 eV, the range in which ostrel looks for saddles)
  percolation_check.py compare CUBE OSTREL_OUTPUT [--max E] [--scale EXPR]
      compares the "<d>D activation energy: <Ea> eV" lines of ostrel with the
      flood fill, and the "<d>D threshold from the global minimum: <E> eV"
      lines when present; exit status 1 when any differs by more than the
      tolerance.
      EXPR is the energy scale in E (relative to the global minimum) that
      ostrel applied to every energy (for Na1+ by default
      0.5695*E^(0.6946)); the flood then measures every energy on that
      scale.  The flood is the same, but the smallest activation energy
      over all moments can be another moment's than on raw energies (two
      clusters whose barriers differ less than their minima's scaled
      distortion).  The tolerance is the larger of the raw and scaled drop.

Tolerance: both methods sample the same grid, but ostrel places the saddle
at a grid point whose neighbourhood holds two separate lower regions,
whereas the flood fill records the voxel whose addition closes the
connection; these can be neighbouring voxels.  The difference is then at
most one grid step's change of energy along the path leaving the saddle, so
the tolerance is the largest energy drop from the threshold voxel to any of
its 26 neighbours that lies below it (plus 1e-6 eV for the printed
rounding).

The cube format: six header lines (title, comment, atom count and origin,
then count and step vector of each axis), the atom lines, then one energy
per voxel with the third axis innermost.  A cube whose first count is odd
repeats its boundary planes; they are dropped.
"""
import os
import sys

import numpy as np


def read_cube(path):
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").splitlines()
    natoms = abs(int(lines[2].split()[0]))
    counts = [int(lines[3 + a].split()[0]) for a in range(3)]
    values = np.array(" ".join(lines[6 + natoms:]).split(), dtype=float)
    need = counts[0] * counts[1] * counts[2]
    if values.size < need:
        raise SystemExit("%s: %d energies, %d expected" % (path, values.size, need))
    grid = values[:need].reshape(counts)
    if counts[0] % 2 == 1:
        grid = grid[:-1, :-1, :-1]
    return grid


def rank_with(basis, v):
    """Adds v to a list of at most three independent integer vectors when it
    is independent of them; returns the (possibly longer) list."""
    if not any(v):
        return basis
    if len(basis) == 0:
        return [v]
    if len(basis) == 1:
        u = basis[0]
        c = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
        return basis + [v] if any(c) else basis
    if len(basis) == 2:
        u, w = basis
        c = (u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0])
        return basis + [v] if c[0] * v[0] + c[1] * v[1] + c[2] * v[2] != 0 else basis
    return basis


def flood_events_python(values, scaled, ordered, shape, gmin, emax):
    """The flood itself: voxels in ascending energy up to gmin + emax, joined
    to their added neighbours.  Returns per dimension the smallest
    activation energy and its voxel, and the first energy (above the global
    minimum) at which d directions connect and its voxel."""
    na, nb, nc = shape
    n = na * nb * nc
    parent = list(range(n))
    ox = [0] * n  # cell offset of a node relative to its parent
    oy = [0] * n
    oz = [0] * n
    size = [1] * n
    low = list(scaled)  # lowest energy of each root's component
    basis = {}  # root -> independent cycle translations
    added = bytearray(n)
    neighbours = [(a, b, c) for a in (-1, 0, 1) for b in (-1, 0, 1) for c in (-1, 0, 1)
                  if (a, b, c) != (0, 0, 0)]

    def find(x):
        # Root of x and the cell of x in the root's frame, with path halving.
        px = py = pz = 0
        path = []
        while parent[x] != x:
            path.append(x)
            px += ox[x]
            py += oy[x]
            pz += oz[x]
            x = parent[x]
        # Compress: point every visited node at the root directly.
        rx, ry, rz = px, py, pz
        for y in path:
            parent[y] = x
            dx, dy, dz = ox[y], oy[y], oz[y]
            ox[y], oy[y], oz[y] = rx, ry, rz
            rx -= dx
            ry -= dy
            rz -= dz
        return x, px, py, pz

    best = {1: 999.0, 2: 999.0, 3: 999.0}
    where = {1: -1, 2: -1, 3: -1}
    # The lowest energy at which d directions connect (above the global
    # minimum) and the voxel that connects them.
    first = {1: 999.0, 2: 999.0, 3: 999.0}
    where_first = {1: -1, 2: -1, 3: -1}
    tied = []  # voxels of the current energy, judged once all are joined
    for pos, idx in enumerate(ordered):
        e = values[idx]
        # No earlier stop: a region whose own lowest voxel lies high (an
        # empty interstitial channel) can still percolate later with a
        # smaller barrier over its own minimum.
        if e - gmin > emax:
            break
        i, rem = divmod(idx, nb * nc)
        j, k = divmod(rem, nc)
        added[idx] = 1
        for da, db, dc in neighbours:
            a, b, c = i + da, j + db, k + dc
            sa = sb = sc = 0
            if a < 0: a += na; sa = -1
            elif a >= na: a -= na; sa = 1
            if b < 0: b += nb; sb = -1
            elif b >= nb: b -= nb; sb = 1
            if c < 0: c += nc; sc = -1
            elif c >= nc: c -= nc; sc = 1
            other = (a * nb + b) * nc + c
            if not added[other]:
                continue
            ra, pax, pay, paz = find(idx)
            rb, pbx, pby, pbz = find(other)
            # The neighbour image lies in cell (cell of idx) + s; in rb's
            # frame `other` lies in cell pb.
            tx, ty, tz = pax + sa - pbx, pay + sb - pby, paz + sc - pbz
            if ra == rb:
                if tx or ty or tz:
                    basis[ra] = rank_with(basis.get(ra, []), (tx, ty, tz))
                continue
            if size[ra] < size[rb]:
                ra, rb = rb, ra
                tx, ty, tz = -tx, -ty, -tz
            parent[rb] = ra
            ox[rb], oy[rb], oz[rb] = tx, ty, tz
            size[ra] += size[rb]
            low[ra] = min(low[ra], low[rb])
            merged = basis.get(ra, [])
            for v in basis.pop(rb, []):
                merged = rank_with(merged, v)
            if merged:
                basis[ra] = merged
        # Voxels of equal energy (symmetry images) are all below any level
        # above them: a region that percolates at that energy is judged with
        # every region it joins at the same energy, as a level-by-level
        # analysis of hops sees it, not in the arbitrary order of the sort.
        tied.append(idx)
        if pos + 1 < n and values[ordered[pos + 1]] == e:
            continue
        for t in tied:
            root = find(t)[0]
            rank = len(basis.get(root, []))
            for d in range(1, rank + 1):
                if where_first[d] < 0:
                    first[d] = scaled[t] - scaled[ordered[0]]
                    where_first[d] = t
                ea = scaled[t] - low[root]
                if ea < best[d] - 1e-12:
                    best[d] = ea
                    where[d] = t
        tied = []
    return best, where, first, where_first

# The same flood compiled with numba when it is installed (Debian
# python3-numba): the loop above takes minutes on a grid of millions of
# voxels, the compiled one seconds.  Compiling takes a few seconds, so small
# grids keep the loop above; PERCOLATION_CHECK_FLOOD=python or =compiled
# chooses for every grid (the tests compare the two).
COMPILE_FROM_VOXELS = 200000


def compiled_flood(voxels):
    """The compiled flood for a grid of that many voxels, or None."""
    global _compiled
    choice = os.environ.get("PERCOLATION_CHECK_FLOOD", "")
    if choice == "python" or (choice != "compiled" and voxels < COMPILE_FROM_VOXELS):
        return None
    if _compiled is None:
        _compiled = _compile_flood() or False
    return _compiled or None


_compiled = None


def _compile_flood():
    try:
        import numba
    except ImportError:
        return None

    @numba.njit(cache=False)
    def find(parent, off, x):
        # Root of x and the cell of x in the root's frame; every node on the
        # way is then pointed at the root directly.
        px = py = pz = 0
        y = x
        while parent[y] != y:
            px += off[y, 0]
            py += off[y, 1]
            pz += off[y, 2]
            y = parent[y]
        root = y
        rx, ry, rz = px, py, pz
        y = x
        while parent[y] != y:
            nxt = parent[y]
            dx, dy, dz = off[y, 0], off[y, 1], off[y, 2]
            parent[y] = root
            off[y, 0], off[y, 1], off[y, 2] = rx, ry, rz
            rx -= dx
            ry -= dy
            rz -= dz
            y = nxt
        return root, px, py, pz

    @numba.njit(cache=False)
    def wrap(v, n):
        # Index v one step outside 0..n-1 brought back, and the cell it was in.
        if v < 0:
            return v + n, -1
        if v >= n:
            return v - n, 1
        return v, 0

    @numba.njit(cache=False)
    def add_vector(basis, count, r, vx, vy, vz):
        # rank_with on the root's rows of `basis`.
        if vx == 0 and vy == 0 and vz == 0:
            return
        m = count[r]
        if m == 0:
            pass
        elif m == 1:
            ux, uy, uz = basis[r, 0], basis[r, 1], basis[r, 2]
            if uy * vz - uz * vy == 0 and uz * vx - ux * vz == 0 and ux * vy - uy * vx == 0:
                return
        elif m == 2:
            ux, uy, uz = basis[r, 0], basis[r, 1], basis[r, 2]
            wx, wy, wz = basis[r, 3], basis[r, 4], basis[r, 5]
            cx, cy, cz = uy * wz - uz * wy, uz * wx - ux * wz, ux * wy - uy * wx
            if cx * vx + cy * vy + cz * vz == 0:
                return
        else:
            return
        basis[r, 3 * m] = vx
        basis[r, 3 * m + 1] = vy
        basis[r, 3 * m + 2] = vz
        count[r] = m + 1

    @numba.njit(cache=False)
    def events(values, scaled, order, na, nb, nc, gmin, emax):
        n = na * nb * nc
        parent = np.arange(n)
        off = np.zeros((n, 3), dtype=np.int32)
        size = np.ones(n, dtype=np.int64)
        low = scaled.copy()
        basis = np.zeros((n, 9), dtype=np.int32)
        count = np.zeros(n, dtype=np.int8)
        added = np.zeros(n, dtype=np.bool_)
        best = np.full(4, 999.0)
        where = np.full(4, -1)
        first = np.full(4, 999.0)
        where_first = np.full(4, -1)
        tie_start = 0
        for pos in range(n):
            idx = order[pos]
            e = values[idx]
            if e - gmin > emax:
                break
            i = idx // (nb * nc)
            j = (idx // nc) % nb
            k = idx % nc
            added[idx] = True
            for da in range(-1, 2):
                for db in range(-1, 2):
                    for dc in range(-1, 2):
                        if da == 0 and db == 0 and dc == 0:
                            continue
                        a, sa = wrap(i + da, na)
                        b, sb = wrap(j + db, nb)
                        c, sc = wrap(k + dc, nc)
                        other = (a * nb + b) * nc + c
                        if not added[other]:
                            continue
                        ra, pax, pay, paz = find(parent, off, idx)
                        rb, pbx, pby, pbz = find(parent, off, other)
                        tx, ty, tz = pax + sa - pbx, pay + sb - pby, paz + sc - pbz
                        if ra == rb:
                            add_vector(basis, count, ra, tx, ty, tz)
                            continue
                        if size[ra] < size[rb]:
                            ra, rb = rb, ra
                            tx, ty, tz = -tx, -ty, -tz
                        parent[rb] = ra
                        off[rb, 0], off[rb, 1], off[rb, 2] = tx, ty, tz
                        size[ra] += size[rb]
                        low[ra] = min(low[ra], low[rb])
                        for q in range(count[rb]):
                            add_vector(basis, count, ra, basis[rb, 3 * q], basis[rb, 3 * q + 1],
                                       basis[rb, 3 * q + 2])
                        count[rb] = 0
            if pos + 1 < n and values[order[pos + 1]] == e:
                continue
            for tp in range(tie_start, pos + 1):
                t = order[tp]
                root = find(parent, off, t)[0]
                for d in range(1, count[root] + 1):
                    if where_first[d] < 0:
                        first[d] = scaled[t] - scaled[order[0]]
                        where_first[d] = t
                    ea = scaled[t] - low[root]
                    if ea < best[d] - 1e-12:
                        best[d] = ea
                        where[d] = t
            tie_start = pos + 1
        return best, where, first, where_first

    def run(values, scaled, order, shape, gmin, emax):
        b, w, f, wf = events(values, scaled, order.astype(np.int64), shape[0], shape[1],
                             shape[2], gmin, emax)
        return ({d: float(b[d]) for d in (1, 2, 3)}, {d: int(w[d]) for d in (1, 2, 3)},
                {d: float(f[d]) for d in (1, 2, 3)}, {d: int(wf[d]) for d in (1, 2, 3)})
    return run



def flood_with_thresholds(grid, emax=5.0, scale=None):
    """Per dimension (activation energy, its threshold above the global
    minimum, tolerance, first threshold above the global minimum, its
    tolerance).  With `scale` (a function of the energy above the global
    minimum, as made by make_scale) every energy is measured on that scale,
    as ostrel does: the scale is monotonic, so the flood is the same, but
    the smallest activation energy over all moments can come from another
    moment than on the raw energies."""
    na, nb, nc = grid.shape
    n = na * nb * nc
    flat = grid.ravel()
    gmin = float(flat.min())
    order = np.argsort(flat, kind="stable")
    # Energies on the analysed scale, zero at the global minimum.
    scaled = np.asarray(scale(flat - gmin), dtype=float) if scale else flat - gmin
    compiled = compiled_flood(n)
    if compiled:
        best, where, first, where_first = compiled(flat, scaled, order, (na, nb, nc), gmin, emax)
    else:
        best, where, first, where_first = flood_events_python(
            flat.tolist(), scaled.tolist(), order.tolist(), (na, nb, nc), gmin, emax)
    values = flat
    neighbours = [(a, b, c) for a in (-1, 0, 1) for b in (-1, 0, 1) for c in (-1, 0, 1)
                  if (a, b, c) != (0, 0, 0)]

    def drop_at(idx):
        # The largest energy step from a voxel down to one of its neighbours,
        # on the raw energies or on the scale, whichever is larger (a scale
        # flatter than 1 eV per eV must not tighten the tolerance).
        i, rem = divmod(idx, nb * nc)
        j, k = divmod(rem, nc)
        drop = 0.0
        for da, db, dc in neighbours:
            other = (((i + da) % na) * nb + (j + db) % nb) * nc + (k + dc) % nc
            if values[other] <= values[idx]:
                drop = max(drop, values[idx] - values[other], scaled[idx] - scaled[other])
        return drop + 1e-6

    result = {}
    for d in (1, 2, 3):
        idx = where[d]
        if idx < 0:
            result[d] = (999.0, 999.0, 0.0, 999.0, 0.0)
            continue
        result[d] = (best[d], scaled[idx] - scaled[int(order[0])], drop_at(idx), first[d],
                     drop_at(where_first[d]))
    return result


def flood(grid, emax=5.0):
    """Per dimension (activation energy, its threshold above the global
    minimum, tolerance); flood_with_thresholds adds the first threshold
    above the global minimum and its tolerance."""
    return {d: r[:3] for d, r in flood_with_thresholds(grid, emax).items()}


def parse_ostrel(path, what="activation energy"):
    out = {}
    with open(path, "rb") as f:
        for line in f.read().decode("latin-1").splitlines():
            for d in (1, 2, 3):
                tag = "%dD %s: " % (d, what)
                if line.startswith(tag):
                    out[d] = float(line[len(tag):].split()[0])
    return out


def make_scale(expr):
    """The energy scale as a function of the raw energy E (relative to the
    global minimum); only numbers, E, + - * / ^ and brackets are allowed."""
    if expr is None:
        return lambda e: e
    if any(ch not in "0123456789.eE+-*/^() " for ch in expr):
        raise SystemExit("unsupported scaling expression: %s" % expr)
    code = compile(expr.replace("^", "**").replace("e", "E"), "<scale>", "eval")
    # Works on a number or elementwise on a numpy array.
    return lambda e: eval(code, {"__builtins__": {}}, {"E": e})


def main(argv):
    emax = 5.0
    scale = None
    if "--scale" in argv:
        p = argv.index("--scale")
        scale = argv[p + 1]
        argv = argv[:p] + argv[p + 2:]
    if "--max" in argv:
        p = argv.index("--max")
        emax = float(argv[p + 1])
        argv = argv[:p] + argv[p + 2:]
    if len(argv) >= 4 and argv[1] == "compare":
        grid = read_cube(argv[2])
        ref = flood_with_thresholds(grid, emax, make_scale(scale) if scale else None)
        got = parse_ostrel(argv[3])
        got_first = parse_ostrel(argv[3], "threshold from the global minimum")
        ok = True
        for d in (1, 2, 3):
            ea, thr, tol, first, tol_first = ref[d]
            if first < 999 and d in got_first:
                # Printed beside the activation energies: the lowest energy
                # above the global minimum at which d directions connect.
                good = abs(got_first[d] - first) <= tol_first
                ok = ok and good
                print("%dD: threshold from the global minimum: ostrel %.6f flood fill %.6f "
                      "tolerance %.6f %s" % (d, got_first[d], first, tol_first,
                                             "ok" if good else "DIFFERENT"))
            elif d in got_first and got_first[d] < 999:
                print("%dD: ostrel threshold %.6f, none in the flood fill DIFFERENT" % (d, got_first[d]))
                ok = False
            if d not in got:
                print("%dD: ostrel printed no activation energy" % d)
                ok = False
                continue
            if ea >= 999 and got[d] >= 999:
                print("%dD: none in both" % d)
                continue
            diff = abs(got[d] - ea)
            good = diff <= tol
            ok = ok and good
            print("%dD: ostrel %.6f flood fill %.6f (threshold %.6f) difference %.6f tolerance "
                  "%.6f %s" % (d, got[d], ea, thr, diff, tol, "ok" if good else "DIFFERENT"))
        return 0 if ok else 1
    if len(argv) == 2:
        res = flood_with_thresholds(read_cube(argv[1]), emax, make_scale(scale) if scale else None)
        for d in (1, 2, 3):
            print("%dD %.6f %.6f %.6f %.6f" % ((d,) + res[d][:4]))
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

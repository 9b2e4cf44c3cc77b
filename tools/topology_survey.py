#!/usr/bin/python3
"""Survey of the percolation thresholds of velmora.x --gh against the flood
fill of tools/percolation_check.py and against ostrel --print-act, over the
COD structures that hold Li+, Na+, K+, Ag+, Cu+ or Mg2+ (slow: one landscape
per structure; run by hand under nice, not part of the test suite).

The mobile ion and the landscapes are those of tools/percolation_survey.py:
the first of Li, Na, K, Ag, Cu, Mg that the structure holds, its landscape
made at RESOLUTION A with velmora.x --gen-cube (a structure whose mobile
sites are partly occupied is resolved in a supercell and its _assigned.cif
used).  With --cache DIR the landscapes are taken from a directory in
percolation_survey.py's layout instead of being computed again: ID.cube.gz,
ID.cif (the structure to analyse with) and ID.flood.json (the flood fill of
that cube); every structure with a cube and a structure is surveyed (a
missing flood file is computed, not written: the cache is read only).  --gh, ostrel --path --print-act
--scale E (unless --no-ostrel) and the flood fill are then compared
dimension by dimension with the flood fill's tolerance (the energy drop of
one grid step out of the threshold voxel) plus the 0.0005 eV of --gh's
three printed decimals; on a hexagonal grid also with a flood whose
neighbour set the 3-fold axis carries into itself (the 26 block neighbours
with the images (2, 1), (1, 2) of the long diagonal (1, -1)), with the same
tolerance.  The flood fill and ostrel look up to 5 eV above the
lowest point; when a network of --gh reaches higher, the whole landscape is
flooded instead (and ostrel left out of that structure's comparison), on
grids of at most --max-whole voxels.

Usage:
  topology_survey.py [--cod DIR | --cache DIR] [--bin DIR] [--work DIR]
                     [--resolution R] [--max-voxels N] [--timeout S]
                     [--only ID,ID,...] [--max-whole N] [--no-ostrel] [--keep]
Writes one line per structure to WORK/survey.tsv (a rerun skips structures
already there) and prints the agreement counts at the end.
"""
import argparse
import gzip
import math
import os
import re
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import percolation_check  # noqa: E402
import percolation_survey  # noqa: E402

# The flood fill (as cached) and ostrel look up to this far above the lowest
# point.
WINDOW = 5.0


def cube_steps(cube):
    """The counts and step vectors (bohr, as written) of a cube's axes."""
    with open(cube, "rb") as f:
        lines = [f.readline().decode("latin-1") for _ in range(6)]
    counts, steps = [], []
    for d in range(3):
        t = lines[3 + d].split()
        counts.append(abs(int(t[0])))
        steps.append([float(x) for x in t[1:4]])
    return counts, steps


def symmetric_offsets(counts, steps):
    """The neighbour offsets of a flood that the grid's 3-fold axis carries
    into themselves: on a hexagonal grid (two equal steps at 120 or 60
    degrees, equal counts) the 26 of the block with the long in-plane
    diagonal's images (2, 1) and (1, 2) added, 38 in all (the triangular
    net's first two shells, as the 26 hold a square net's); None elsewhere
    (the 26 are symmetric there)."""
    for p, q in ((0, 1), (0, 2), (1, 2)):
        u, v = steps[p], steps[q]
        lu, lv = math.sqrt(sum(x * x for x in u)), math.sqrt(sum(x * x for x in v))
        if counts[p] != counts[q] or abs(lu - lv) > 1e-3 * lu:
            continue
        cos = sum(a * b for a, b in zip(u, v)) / (lu * lv)
        if abs(cos + 0.5) < 1e-3:
            long_diagonal, images = (1, -1), [(2, 1), (1, 2)]
        elif abs(cos - 0.5) < 1e-3:
            long_diagonal, images = (1, 1), [(2, -1), (1, -2)]
        else:
            continue
        r = 3 - p - q
        plane = [(a, b) for a in (-1, 0, 1) for b in (-1, 0, 1)]
        plane += images + [(-a, -b) for a, b in images]
        out = []
        for a, b in plane:
            for c in (-1, 0, 1):
                o = [0, 0, 0]
                o[p], o[q], o[r] = a, b, c
                if any(o):
                    out.append(tuple(o))
        return out
    return None


def flood_with_offsets(grid, offsets, emax=WINDOW):
    """Per dimension the activation energy of a periodic flood fill whose
    neighbours are `offsets` (999 when not reached within emax): voxels in
    ascending energy joined to their added neighbours by a union-find that
    carries each node's cell offset, as tools/percolation_check.py does for
    the 26 block neighbours (written again here for any neighbour set)."""
    import numpy as np
    try:
        import numba
        jit = numba.njit(cache=False)
    except ImportError:  # the plain loop: minutes on large grids
        def jit(f):
            return f

    @jit
    def run(values, order, na, nb, nc, offs, emax):
        n = na * nb * nc
        parent = np.arange(n)
        off = np.zeros((n, 3), dtype=np.int64)
        low = values.copy()
        basis = np.zeros((n, 9), dtype=np.int64)
        count = np.zeros(n, dtype=np.int64)
        added = np.zeros(n, dtype=np.bool_)
        best = np.full(4, 999.0)
        gmin = values[order[0]]
        tie_start = 0

        def find(x):
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

        def add(r, vx, vy, vz):
            if vx == 0 and vy == 0 and vz == 0:
                return
            m = count[r]
            if m == 1:
                ux, uy, uz = basis[r, 0], basis[r, 1], basis[r, 2]
                if uy * vz - uz * vy == 0 and uz * vx - ux * vz == 0 and ux * vy - uy * vx == 0:
                    return
            elif m == 2:
                ux, uy, uz = basis[r, 0], basis[r, 1], basis[r, 2]
                wx, wy, wz = basis[r, 3], basis[r, 4], basis[r, 5]
                if ((uy * wz - uz * wy) * vx + (uz * wx - ux * wz) * vy +
                        (ux * wy - uy * wx) * vz) == 0:
                    return
            elif m >= 3:
                return
            basis[r, 3 * m] = vx
            basis[r, 3 * m + 1] = vy
            basis[r, 3 * m + 2] = vz
            count[r] = m + 1

        for pos in range(n):
            idx = order[pos]
            e = values[idx]
            if e - gmin > emax:
                break
            i = idx // (nb * nc)
            j = (idx // nc) % nb
            k = idx % nc
            added[idx] = True
            for t in range(offs.shape[0]):
                a, b, c = i + offs[t, 0], j + offs[t, 1], k + offs[t, 2]
                sa, sb, sc = a // na, b // nb, c // nc
                other = ((a - sa * na) * nb + (b - sb * nb)) * nc + (c - sc * nc)
                if not added[other]:
                    continue
                ra, pax, pay, paz = find(idx)
                rb, pbx, pby, pbz = find(other)
                tx, ty, tz = pax + sa - pbx, pay + sb - pby, paz + sc - pbz
                if ra == rb:
                    add(ra, tx, ty, tz)
                    continue
                parent[rb] = ra
                off[rb, 0], off[rb, 1], off[rb, 2] = tx, ty, tz
                low[ra] = min(low[ra], low[rb])
                for q in range(count[rb]):
                    add(ra, basis[rb, 3 * q], basis[rb, 3 * q + 1], basis[rb, 3 * q + 2])
                count[rb] = 0
            if pos + 1 < n and values[order[pos + 1]] == e:
                continue
            for tp in range(tie_start, pos + 1):
                root = find(order[tp])[0]
                for d in range(1, count[root] + 1):
                    best[d] = min(best[d], values[order[tp]] - low[root])
            tie_start = pos + 1
        return best

    flat = np.ascontiguousarray(grid.ravel(), dtype=float)
    order = np.argsort(flat, kind="stable").astype(np.int64)
    best = run(flat, order, grid.shape[0], grid.shape[1], grid.shape[2],
               np.array(offsets, dtype=np.int64), float(emax))
    return {d: float(best[d]) for d in (1, 2, 3)}


def gh_thresholds(text):
    """The 1D/2D/3D thresholds of --gh (None: not found) and the highest
    saddle of the networks found."""
    out, top = {}, -math.inf
    for line in text.splitlines():
        m = re.match(r"VELMORA_GRAPH_NETWORK: e_(\d)D = (\S+) \((\S+) ~ (\S+)\)", line)
        if m:
            v = float(m.group(2))
            out[int(m.group(1))] = None if v < 0 else v
            if v >= 0:
                top = max(top, float(m.group(4)))
    return out, top


def cube_counts(cube):
    with open(cube, "rb") as f:
        lines = [f.readline() for _ in range(6)]
    return [int(lines[3 + d].split()[0]) for d in range(3)]


def landscape_from_cache(ident, cache, work):
    """The cube and its structure (copied into WORK: --gh writes beside the
    structure, and the cache is read only) and the path of the cached flood
    fill, or None when the cache lacks them."""
    stored, stored_cif = (os.path.join(cache, ident + s) for s in (".cube.gz", ".cif"))
    if not (os.path.exists(stored) and os.path.exists(stored_cif)):
        return None
    cube, cif = os.path.join(work, ident + ".cube"), os.path.join(work, ident + ".cif")
    with gzip.open(stored, "rb") as src, open(cube, "wb") as dst:
        shutil.copyfileobj(src, dst)
    shutil.copy(stored_cif, cif)
    flood = os.path.join(cache, ident + ".flood.json")
    return cube, cif, flood if os.path.exists(flood) else None


def landscape_made(ident, ion, args, velmora, work):
    """The cube made with --gen-cube and its structure, or a status word."""
    cif = os.path.join(work, ident + ".cif")
    status, out, err, _ = percolation_survey.run(
        [velmora, "--print-cell", cif], work, 120)
    lengths = re.search(r"CELL: parameters:\s+(\S+)\s+(\S+)\s+(\S+)", out)
    if status != 0 or not lengths:
        return "print-cell failed"
    # The grid of --gen-cube: multiples of 24 points per axis (a partly
    # occupied structure may still grow into a supercell).
    counts = [24 * math.ceil(float(lengths.group(i)) / args.resolution / 24) for i in (1, 2, 3)]
    if counts[0] * counts[1] * counts[2] > args.max_voxels:
        return "skipped %dx%dx%d" % tuple(counts)
    cube = os.path.join(work, ident + ".cube")
    status, _, err, _ = percolation_survey.run(
        [velmora, "--gen-cube", cif, ion[0], str(ion[1]), "0", str(args.resolution), "t", "t",
         cube], work, args.timeout)
    if status != 0 or not os.path.exists(cube):
        return "gen-cube %s" % status
    assigned = os.path.join(work, ident + "_assigned.cif")
    return cube, assigned if os.path.exists(assigned) else cif, None


def compare_row(flood, gh, ost, symmetric=None):
    """One column per dimension: the values and the verdicts against the 26
    neighbour flood (F), ostrel (O) and, on a hexagonal grid, the flood with
    the symmetric neighbour set (S; '-' elsewhere)."""
    cells = []
    fmt = lambda v: "none" if v is None else "%.4f" % v
    for d in (1, 2, 3):
        ea, tol = flood[d][0], flood[d][2]
        ref = None if ea >= 999 else ea
        mine = gh.get(d)
        limit = tol + 0.0005  # --gh prints three decimals
        agree = lambda other: (other is None and mine is None) or (
            other is not None and mine is not None and abs(other - mine) <= limit)
        o = None if ost is None else ost.get(d)
        o = None if o is None or o >= 999 else o
        sym = None if symmetric is None or symmetric[d] >= 999 else symmetric[d]
        cells.append("%dD gh=%s flood=%s ostrel=%s sym=%s tol=%.4f F=%s O=%s S=%s" % (
            d, fmt(mine), fmt(ref), "not run" if ost is None else fmt(o),
            "-" if symmetric is None else fmt(sym), limit,
            "ok" if agree(ref) else "DIFF", "-" if ost is None else "ok" if agree(o) else "DIFF",
            "-" if symmetric is None else "ok" if agree(sym) else "DIFF"))
    return cells


def survey_one(ident, args, velmora, ostrel):
    work = os.path.join(args.work, ident)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    t0 = time.time()
    if args.cache:
        got = landscape_from_cache(ident, args.cache, work)
        if got is None:
            return None
        ion = percolation_survey.mobile_ion(got[1])
        if ion is None:
            return None
    else:
        cif = os.path.join(args.cod, ident + ".cif")
        ion = percolation_survey.mobile_ion(cif)
        if ion is None:
            return None
        shutil.copy(cif, os.path.join(work, ident + ".cif"))
        got = landscape_made(ident, ion, args, velmora, work)
        if isinstance(got, str):
            return [ident, "%s%d+" % ion, got]
    cube, structure, flood_cache = got
    counts = cube_counts(cube)
    if counts[0] * counts[1] * counts[2] > args.max_voxels:
        return [ident, "%s%d+" % ion, "skipped %dx%dx%d" % tuple(counts)]
    status, gh_out, err, _ = percolation_survey.run(
        [velmora, "--gh", os.path.abspath(structure), cube, ion[0], str(ion[1])], work,
        args.timeout)
    if status != 0:
        return [ident, "%s%d+" % ion, "--gh %s: %s" % (status, err.strip()[-80:])]
    ost = None
    if not args.no_ostrel:
        os.makedirs(os.path.join(work, "ostrel"))
        status, out, _, _ = percolation_survey.run(
            [ostrel, "--cube", cube, "--cif", os.path.abspath(structure), "%s%d+" % ion,
             "--path", "--print-act", "--scale", "E"], os.path.join(work, "ostrel"), args.timeout)
        ost = percolation_survey.parse_lines(out, "activation energy") if status == 0 else {}
    gh, top = gh_thresholds(gh_out)
    grid = percolation_check.read_cube(cube)
    whole = top - float(grid.min()) > WINDOW
    if whole and grid.size > args.max_whole:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        return [ident, "%s%d+" % ion, "%dx%dx%d" % tuple(counts),
                "a network beyond %g eV; not flooded whole (over %d voxels)" %
                (WINDOW, args.max_whole)]
    if whole:
        # A network of --gh reaches beyond the window (even one with a small
        # barrier over a high interstitial site): the window's flood fill
        # and ostrel would report another one, so the whole landscape is
        # flooded instead and ostrel is not compared.
        res = percolation_check.flood_with_thresholds(grid, math.inf)
        flood = {d: list(res[d]) for d in (1, 2, 3)}
        ost = None
    else:
        flood = percolation_survey.flood_of(cube, flood_cache)
    offsets = symmetric_offsets(*cube_steps(cube))
    symmetric = None
    if offsets is not None:
        symmetric = flood_with_offsets(grid, offsets, math.inf if whole else WINDOW)
    row = [ident, "%s%d+" % ion, "%dx%dx%d" % tuple(counts)]
    row += compare_row(flood, gh, ost, symmetric)
    if whole:
        row.append("whole landscape flooded")
    row.append("%.0fs" % (time.time() - t0))
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return row


def summary(table):
    """Structures whose dimensions all agree and those with a difference."""
    flood_ok = ostrel_ok = ostrel_run = total = hexagonal = hexagonal_ok = 0
    differ, hexagonal_differ = [], []
    with open(table) as f:
        for line in f:
            cells = line.rstrip("\n").split("\t")
            dims = [c for c in cells if re.match(r"\dD gh=", c)]
            if len(dims) != 3:
                continue
            total += 1
            if any("F=DIFF" in c for c in dims):
                differ.append(cells[0])
            else:
                flood_ok += 1
            if not any("O=-" in c for c in dims):
                ostrel_run += 1
                ostrel_ok += all("O=ok" in c for c in dims)
            if any(" S=" in c and "S=-" not in c for c in dims):
                hexagonal += 1
                if all("S=ok" in c for c in dims):
                    hexagonal_ok += 1
                else:
                    hexagonal_differ.append(cells[0])
    print("structures compared: %d; --gh equal to the flood fill in all three dimensions: %d; "
          "different: %d (%s); ostrel run on %d, --gh equal to ostrel on %d; hexagonal grids "
          "%d, --gh equal to the symmetric flood on %d (different: %s)" %
          (total, flood_ok, len(differ), ",".join(differ) or "none", ostrel_run, ostrel_ok,
           hexagonal, hexagonal_ok, ",".join(hexagonal_differ) or "none"))


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cod", default=os.path.join(HERE, "..", "..", "shared", "data", "cod"))
    p.add_argument("--cache", help="landscapes in percolation_survey.py's cubes/ layout")
    p.add_argument("--bin", default=os.path.join(HERE, "..", "bin"))
    p.add_argument("--work", default="/tmp/topology_survey")
    p.add_argument("--resolution", type=float, default=0.1)
    p.add_argument("--max-voxels", type=int, default=3000000)
    p.add_argument("--timeout", type=int, default=1800)
    p.add_argument("--only", default="")
    p.add_argument("--max-whole", type=int, default=2000000,
                   help="largest grid flooded whole (the flood fill takes minutes per million "
                   "voxels)")
    p.add_argument("--no-ostrel", action="store_true", help="compare with the flood fill only")
    p.add_argument("--keep", action="store_true", help="keep the work directories")
    args = p.parse_args()
    velmora = os.path.abspath(os.path.join(args.bin, "velmora.x"))
    ostrel = os.path.abspath(os.path.join(args.bin, "ostrel"))
    os.makedirs(args.work, exist_ok=True)
    table = os.path.join(args.work, "survey.tsv")
    done = set()
    if os.path.exists(table):
        with open(table) as f:
            done = {line.split("\t")[0] for line in f}
    only = set(args.only.split(",")) - {""}
    source, suffix = (args.cache, ".cube.gz") if args.cache else (args.cod, ".cif")
    idents = sorted(n[:-len(suffix)] for n in os.listdir(source) if n.endswith(suffix))
    for ident in idents:
        if ident in done or (only and ident not in only):
            continue
        row = survey_one(ident, args, velmora, ostrel)
        if row is None:
            shutil.rmtree(os.path.join(args.work, ident), ignore_errors=True)
            continue
        with open(table, "a") as f:
            f.write("\t".join(row) + "\n")
        print("\t".join(row), flush=True)
    summary(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())

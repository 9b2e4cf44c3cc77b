#!/usr/bin/python3
"""Survey of the percolation thresholds of velmora.x --gh against the flood
fill of tools/percolation_check.py and against ostrel --print-act, over the
COD structures that hold Li+, Na+, K+, Ag+, Cu+/Cu2+ or Mg2+ (slow: one
landscape per structure; run by hand, not part of the test suite).

For every CIF (in name order) the mobile ion is the first of Li, Na, K, Ag,
Cu, Mg that the structure holds (with the oxidation state the CIF gives it);
the landscape is made at RESOLUTION A with velmora.x --gen-cube (a structure
whose mobile sites are partly occupied is resolved in a supercell and its
_assigned.cif used), then --gh, ostrel --path --print-act --scale E and the
flood fill are compared dimension by dimension with the flood fill's
tolerance (the energy drop of one grid step out of the threshold voxel).

Usage:
  topology_survey.py [--cod DIR] [--bin DIR] [--work DIR] [--resolution R]
                     [--max-voxels N] [--timeout S] [--only ID,ID,...]
Writes one line per structure to WORK/survey.tsv (a rerun skips structures
already there) and prints the agreement counts at the end.
"""
import argparse
import math
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import percolation_check  # noqa: E402

IONS = (("Li", 1), ("Na", 1), ("K", 1), ("Ag", 1), ("Cu", 1), ("Cu", 2), ("Mg", 2))


def run(argv, cwd, timeout, log):
    with open(log, "wb") as out:
        try:
            return subprocess.run(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return "timeout"


def mobile_ion(velmora, cif, work):
    """The mobile ion (element, oxidation state) and the cell lengths."""
    log = os.path.join(work, "cell.log")
    if run([velmora, "--print-cell", cif], work, 120, log) != 0:
        return None
    with open(log, "rb") as f:
        text = f.read().decode("latin-1")
    m = re.search(r"CELL: name: (.*)", text)
    lengths = re.search(r"CELL: parameters:\s+(\S+)\s+(\S+)\s+(\S+)", text)
    species = m.group(1).split() if m else []
    held = {s.split(":")[0] for s in species}
    for el, os_ in IONS:
        if "%s%d+" % (el, os_) in held and lengths:
            return el, os_, [float(lengths.group(i)) for i in (1, 2, 3)]
    return None


def gh_thresholds(path):
    out = {}
    with open(path, "rb") as f:
        for line in f.read().decode("latin-1").splitlines():
            m = re.match(r"VELMORA_GRAPH_NETWORK: e_(\d)D = (\S+)", line)
            if m:
                v = float(m.group(2))
                # The flood fill and ostrel look up to 5 eV above the lowest
                # point only.
                out[int(m.group(1))] = None if v < 0 or v > 5.0 else v
    return out


def survey_one(cif_path, args, velmora, ostrel):
    ident = os.path.basename(cif_path)[:-4]
    work = os.path.join(args.work, ident)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cif = os.path.join(work, ident + ".cif")
    shutil.copy(cif_path, cif)
    ion = mobile_ion(velmora, cif, work)
    if not ion:
        return None
    el, os_, lengths = ion
    ion = (el, os_)
    # The grid of --gen-cube: multiples of 24 points per axis (a partly
    # occupied structure may still grow into a supercell).
    counts = [24 * math.ceil(length / args.resolution / 24) for length in lengths]
    if counts[0] * counts[1] * counts[2] > args.max_voxels:
        return [ident, "%s%d+" % ion, "skipped %dx%dx%d" % tuple(counts)]
    t0 = time.time()
    cube = os.path.join(work, ident + ".cube")
    status = run([velmora, "--gen-cube", cif, el, str(os_), "0", str(args.resolution), "t", "t",
                  cube], work, args.timeout, os.path.join(work, "gen.log"))
    if status != 0:
        return [ident, "%s%d+" % ion, "gen-cube %s" % status]
    with open(cube, "rb") as f:
        lines = [f.readline() for _ in range(6)]
    counts = [int(lines[3 + d].split()[0]) for d in range(3)]
    if counts[0] * counts[1] * counts[2] > args.max_voxels:
        return [ident, "%s%d+" % ion, "skipped %dx%dx%d" % tuple(counts)]
    assigned = os.path.join(work, ident + "_assigned.cif")
    structure = assigned if os.path.exists(assigned) else cif
    gh_log = os.path.join(work, "gh.log")
    status = run([velmora, "--gh", structure, cube, el, str(os_)], work, args.timeout, gh_log)
    if status != 0:
        return [ident, "%s%d+" % ion, "--gh %s" % status]
    os.makedirs(os.path.join(work, "ostrel"))
    ost_log = os.path.join(work, "ostrel.log")
    status = run([ostrel, "--cube", cube, "--cif", structure, "%s%d+" % ion, "--path",
                  "--print-act", "--scale", "E"], os.path.join(work, "ostrel"), args.timeout,
                 ost_log)
    ost = percolation_check.parse_ostrel(ost_log) if status == 0 else {}
    flood = percolation_check.flood(percolation_check.read_cube(cube))
    gh = gh_thresholds(gh_log)
    row = [ident, "%s%d+" % ion, "%dx%dx%d" % tuple(counts)]
    for d in (1, 2, 3):
        ea, thr, tol = flood[d]
        ref = None if ea >= 999 else ea
        mine = gh.get(d)
        o = ost.get(d)
        o = None if o is None or o >= 999 else o
        limit = tol + 0.0005  # --gh prints three decimals
        agree_flood = (ref is None and mine is None) or (
            ref is not None and mine is not None and abs(ref - mine) <= limit)
        agree_ostrel = (o is None and mine is None) or (
            o is not None and mine is not None and abs(o - mine) <= limit)
        fmt = lambda v: "none" if v is None else "%.4f" % v
        row.append("%dD gh=%s flood=%s ostrel=%s tol=%.4f %s %s" % (
            d, fmt(mine), fmt(ref), fmt(o) if status == 0 else "failed", limit,
            "F=ok" if agree_flood else "F=DIFF", "O=ok" if agree_ostrel else "O=DIFF"))
    row.append("%.0fs" % (time.time() - t0))
    if not args.keep:
        for name in os.listdir(work):
            if name.endswith(".cube"):
                os.remove(os.path.join(work, name))
    return row


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cod", default=os.path.join(HERE, "..", "..", "shared", "data", "cod"))
    p.add_argument("--bin", default=os.path.join(HERE, "..", "bin"))
    p.add_argument("--work", default="/tmp/topology_survey")
    p.add_argument("--resolution", type=float, default=0.1)
    p.add_argument("--max-voxels", type=int, default=3000000)
    p.add_argument("--timeout", type=int, default=1800)
    p.add_argument("--only", default="")
    p.add_argument("--keep", action="store_true", help="keep the cubes")
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
    names = sorted(n for n in os.listdir(args.cod) if n.endswith(".cif"))
    for name in names:
        ident = name[:-4]
        if ident in done or (only and ident not in only):
            continue
        row = survey_one(os.path.join(args.cod, name), args, velmora, ostrel)
        if row is None:
            shutil.rmtree(os.path.join(args.work, ident), ignore_errors=True)
            continue
        with open(table, "a") as f:
            f.write("\t".join(row) + "\n")
        print("\t".join(row), flush=True)
    flood_ok = ostrel_ok = total = 0
    with open(table) as f:
        for line in f:
            cells = line.rstrip("\n").split("\t")
            dims = [c for c in cells if re.match(r"\dD gh=", c)]
            if len(dims) != 3:
                continue
            total += 1
            flood_ok += all("F=ok" in c for c in dims)
            ostrel_ok += all("O=ok" in c for c in dims)
    print("structures compared: %d; --gh equal to the flood fill in all three dimensions: %d; "
          "equal to ostrel: %d" % (total, flood_ok, ostrel_ok))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Screening survey, run by hand: is bvscreen's table one a scientist can
rank by?  On the structures of a CIF directory that hold the mobile ion:

1. two screens without --seed give the same table (seconds and dates
   aside);
2. the threshold columns (measured from the landscape's global minimum)
   agree with an independent flood fill of the very cubes the screen made
   (tools/percolation_check.py, with its 26-neighbour set and, where the
   tool offers it, the set that a hexagonal grid's 3-fold axis maps onto
   itself), per dimension, for the structures of even and of odd COD id
   and for all; and the ranking by the 1D column agrees with the flood's
   ranking (Spearman's rank correlation);
3. the partly occupied structures screened with --draws N: the spread of
   each threshold over the draws.

Usage: screen_survey.py [--cod DIR] [--ion Li] [--resolution 0.2] [--draws 3]
                        [--jobs 2] [--flood tools/percolation_check.py] SCRATCH
The CIFs are copied into SCRATCH/in first; nothing is written beside them.
"""
import argparse
import csv
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.realpath(__file__))


def has_element(path, element):
    import gemmi
    try:
        block = gemmi.cif.read_file(path)[0]
    except (RuntimeError, ValueError, IndexError):
        return False
    formula = block.find_value("_chemical_formula_sum") or ""
    return re.search(r"(^|[\s'])%s[\d.\s']" % element, gemmi.cif.as_string(formula) + " ") is not None


def screen(bvscreen, out, inputs, args, extra=()):
    cmd = [bvscreen, "--ion", args.ion, "--out", out, "--resolution", str(args.resolution),
           "--jobs", str(args.jobs), "--no-plots"] + list(extra) + inputs
    subprocess.run(["nice"] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return [json.loads(l) for l in open(os.path.join(out, "results.jsonl"))]


def table(out):
    with open(os.path.join(out, "results.csv"), newline="") as f:
        return [{k: v for k, v in r.items() if k not in ("seconds", "date")}
                for r in csv.DictReader(f)]


def flood_compare(flood, cube, row, neighbours, scratch):
    """Per dimension 'ok', 'DIFFERENT' or 'none in both' from the flood
    tool's own comparison, fed the row's thresholds as ostrel prints them."""
    printed = os.path.join(scratch, "row-%s.txt" % row["key"])
    with open(printed, "w") as f:
        for d in ("1d", "2d", "3d"):
            t = row["threshold_%s_eV" % d]
            ea = row["ea_%s_eV" % d]
            f.write("%s activation energy: %.6f eV\n" % (d.upper(), 999 if ea is None else ea))
            f.write("%s threshold from the global minimum: %.6f eV\n"
                    % (d.upper(), 999 if t is None else t))
    cmd = [sys.executable, flood, "compare", cube, printed, "--max", str(row["window_raw"])]
    if row.get("energy_scale") and row["energy_scale"] != "E":
        cmd += ["--scale", row["energy_scale"]]
    if neighbours != "26":
        cmd += ["--neighbours", neighbours]
    out = subprocess.run(cmd, capture_output=True, text=True).stdout
    verdict = {}
    for d in (1, 2, 3):
        m = re.search(r"^%dD: threshold from the global minimum: .* (ok|DIFFERENT)$" % d, out, re.M)
        if m:
            verdict[d] = m.group(1)
        elif re.search(r"^%dD: none in both" % d, out, re.M):
            verdict[d] = "none in both"
        elif re.search(r"^%dD: ostrel threshold .* DIFFERENT" % d, out, re.M):
            verdict[d] = "DIFFERENT"
        else:
            verdict[d] = "DIFFERENT" if row["threshold_%dd_eV" % d] is not None else "none in both"
    first = {}
    for d in (1, 2, 3):
        m = re.search(r"^%dD: threshold from the global minimum: ostrel \S+ flood fill (\S+)" % d,
                      out, re.M)
        first[d] = float(m.group(1)) if m else None
    return verdict, first


def spearman(xs, ys):
    def ranks(v):
        order = sorted(range(len(v)), key=lambda i: v[i])
        r = [0.0] * len(v)
        i = 0
        while i < len(order):
            j = i
            while j + 1 < len(order) and v[order[j + 1]] == v[order[i]]:
                j += 1
            for k in range(i, j + 1):
                r[order[k]] = (i + j) / 2.0
            i = j + 1
        return r
    if len(xs) < 3:
        return None
    rx, ry = ranks(xs), ranks(ys)
    mx, my = sum(rx) / len(rx), sum(ry) / len(ry)
    cov = sum((a - mx) * (b - my) for a, b in zip(rx, ry))
    sx = sum((a - mx) ** 2 for a in rx) ** 0.5
    sy = sum((b - my) ** 2 for b in ry) ** 0.5
    return cov / (sx * sy) if sx and sy else None


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("scratch")
    p.add_argument("--cod", default=os.path.join(HERE, "..", "..", "shared", "data", "cod"))
    p.add_argument("--ion", default="Li")
    p.add_argument("--resolution", type=float, default=0.2)
    p.add_argument("--draws", type=int, default=3)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--bvscreen", default=os.path.join(HERE, "..", "bin", "bvscreen"))
    p.add_argument("--flood", default=os.path.join(HERE, "percolation_check.py"))
    args = p.parse_args()
    element = re.match(r"[A-Z][a-z]?", args.ion.capitalize()).group(0)
    inp = os.path.join(args.scratch, "in")
    os.makedirs(inp, exist_ok=True)
    for name in sorted(os.listdir(args.cod)):
        src = os.path.join(args.cod, name)
        if name.endswith(".cif") and has_element(src, element):
            shutil.copyfile(src, os.path.join(inp, name))
    inputs = [inp]
    print("survey: %d structures with %s in %s" % (len(os.listdir(inp)), element, args.cod))

    rows = screen(args.bvscreen, os.path.join(args.scratch, "a"), inputs, args)
    screen(args.bvscreen, os.path.join(args.scratch, "b"), inputs, args)
    a, b = table(os.path.join(args.scratch, "a")), table(os.path.join(args.scratch, "b"))
    same = sum(1 for x, y in zip(a, b) if x == y)
    print("1. two screens without --seed: %d of %d rows identical" % (same, len(a)))

    sets = ["26"] + (["symmetric"] if "--neighbours" in open(args.flood).read() else [])
    results = []
    for r in rows:
        if r["status"] not in ("ok", "suspect") or not r["per_draw"]:
            continue
        d = os.path.join(args.scratch, "a", r["workdir"], r["per_draw"][0]["workdir"])
        cubes = [f for f in os.listdir(d) if f.endswith(".cube")]
        if not cubes:
            continue
        analysis = json.load(open(os.path.join(d, "OSTREL_analysis.json")))
        # the window in raw eV: what the flood limits itself to
        r["window_raw"] = 5.0 if not analysis["input"].get("max_energy") else analysis["input"]["max_energy"]
        entry = {"id": r["id"], "parity": None, "row": r, "flood": {}}
        m = re.match(r"cod:(\d+)", r["id"])
        entry["parity"] = ("even" if int(m.group(1)) % 2 == 0 else "odd") if m else "other"
        for n in sets:
            entry["flood"][n] = flood_compare(args.flood, os.path.join(d, cubes[0]), r, n, args.scratch)
        results.append(entry)
    for n in sets:
        print("2. thresholds from the global minimum against the flood fill (%s neighbours):" % n)
        for part in ("even", "odd", "all"):
            sel = [e for e in results if part == "all" or e["parity"] == part]
            agree = [sum(1 for e in sel if e["flood"][n][0][d] in ("ok", "none in both"))
                     for d in (1, 2, 3)]
            both = [(e["row"]["threshold_1d_eV"], e["flood"][n][1][1]) for e in sel
                    if e["row"]["threshold_1d_eV"] is not None and e["flood"][n][1][1] is not None]
            rho = spearman([x for x, _ in both], [y for _, y in both])
            print("   %-4s %3d structures: 1D %d, 2D %d, 3D %d agree; Spearman rho of the 1D "
                  "ranking %s over %d" % (part, len(sel), agree[0], agree[1], agree[2],
                                          "%.4f" % rho if rho is not None else "-", len(both)))
        for e in results:
            bad = [d for d in (1, 2, 3) if e["flood"][n][0][d] == "DIFFERENT"]
            if bad:
                r = e["row"]
                print("     differs: %s %s: %s" % (r["id"], r["formula"], ", ".join(
                    "%dD %s vs %s" % (d, r["threshold_%dd_eV" % d], e["flood"][n][1][d]) for d in bad)))

    partial = [os.path.join(inp, os.path.basename(r["file"])) for r in rows
               if r.get("random") and r["status"] in ("ok", "suspect")]
    if partial:
        drawn = screen(args.bvscreen, os.path.join(args.scratch, "draws"), partial, args,
                       ["--draws", str(args.draws)])
        print("3. %d partly occupied structures, %d draws each (1D/2D/3D thresholds: mean "
              "[min, max] sd):" % (len(drawn), args.draws))
        for r in drawn:
            parts = []
            for d in ("1d", "2d", "3d"):
                k = "threshold_%s_eV" % d
                parts.append("-" if r[k] is None else "%.3f [%.3f, %.3f] %.3f" % (
                    r[k], r[k + "_min"], r[k + "_max"], r[k + "_sd"]))
            print("   %s %s (%d draws): %s" % (r["id"], r["formula"], r["draws"], "; ".join(parts)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

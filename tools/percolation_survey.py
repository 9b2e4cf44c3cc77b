#!/usr/bin/python3
"""Survey of ostrel's percolation energies against the independent flood
fill of tools/percolation_check.py, on real structures.

For every CIF of a directory (by default the COD set beside the repository)
that holds Li, Na, K, Ag, Cu or Mg, the first of these elements in that
order is taken as the mobile ion (Li1+, Na1+, K1+, Ag1+, Cu1+, Mg2+).  The
CIF is copied into a scratch directory, its landscape is computed there
with velmora.x --gen-cube at the given resolution (the resolved supercell
x_assigned.cif is used when velmora writes one), and ostrel --path
--print-act is run on the cube.  The flood fill then analyses the same
cube on ostrel's energy scale, and for each dimension both the activation energy (highest hop minus
the lowest site of the percolating cluster) and the threshold above the
global minimum must agree within one grid step's energy change (the
tolerance of percolation_check.py).  Every "Warning: " line ostrel prints
is listed with the structure.

The results go to RESULTS.tsv in the scratch directory, one row per
structure; a structure already listed there is not run again (delete the
row or the file to redo it).  Cubes are kept gzip-compressed beside the
results (--keep-cubes), so that a later run analyses the same landscape
(velmora resolves partial occupancies at random) without computing it
again; the flood fill of a kept cube is cached as well (ID.flood.json, or
ID.flood.scaled.json on the Na scale, which ostrel applies to Na1+).

usage: percolation_survey.py --res 0.2 --scratch DIR [--cod DIR]
          [--velmora PATH] [--ostrel PATH] [--ids ID,ID,...] [--keep-cubes]
          [--redo] [--timeout SECONDS]
       percolation_survey.py --report DIR    summary of RESULTS.tsv

It takes hours at 0.1 A over the whole set: run it under nice, one at a
time.
"""
import argparse
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import percolation_check  # noqa: E402

# Mobile ions in order of preference, with the oxidation state velmora
# takes and the type name ostrel takes.
IONS = (("Li", 1), ("Na", 1), ("K", 1), ("Ag", 1), ("Cu", 1), ("Mg", 2))
NA_SCALE = "0.5695*E^(0.6946)"
COLUMNS = ("id", "ion", "res", "status", "grid", "ostrel", "flood", "threshold_ostrel",
           "threshold_flood", "tolerance", "verdict", "warnings", "seconds")


def elements_of(path):
    """Element symbols of the sites of a CIF (type symbols, else labels)."""
    import gemmi
    try:
        block = gemmi.cif.read(path).sole_block()
    except Exception:
        return set()
    cols = block.find_values("_atom_site_type_symbol")
    if not len(cols):
        cols = block.find_values("_atom_site_label")
    out = set()
    for v in cols:
        m = re.match(r"([A-Z][a-z]?)", gemmi.cif.as_string(v))
        if m:
            out.add(m.group(1))
    return out


def mobile_ion(path):
    els = elements_of(path)
    for el, ox in IONS:
        if el in els:
            return el, ox
    return None


def run(cmd, cwd, timeout):
    t0 = time.time()
    try:
        p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, errors="replace",
                           timeout=timeout)
        return p.returncode, p.stdout, p.stderr, time.time() - t0
    except subprocess.TimeoutExpired:
        return None, "", "timeout", time.time() - t0


def parse_lines(text, tag):
    out = {}
    for line in text.splitlines():
        for d in (1, 2, 3):
            head = "%dD %s: " % (d, tag)
            if line.startswith(head):
                out[d] = float(line[len(head):].split()[0])
    return out


def fmt3(values):
    return ",".join("%.4f" % values.get(d, float("nan")) for d in (1, 2, 3))


def flood_of(cube, cache, scale_expr=None):
    """The flood fill of a cube on ostrel's energy scale, read from or
    written to the cache file (which records the scale it was made on)."""
    if cache and os.path.exists(cache):
        with open(cache) as f:
            data = json.load(f)
        if data.pop("scale", None) == scale_expr:
            return {int(k): v for k, v in data.items()}
    grid = percolation_check.read_cube(cube)
    scale = percolation_check.make_scale(scale_expr) if scale_expr else None
    res = percolation_check.flood_with_thresholds(grid, scale=scale)
    out = {d: list(res[d]) for d in (1, 2, 3)}
    if cache:
        with open(cache, "w") as f:
            json.dump(dict(out, scale=scale_expr), f)
    return out


def compare(flood, ea, thr):
    """Per dimension: 'ok' or what differs.  The flood fill gives, for each
    dimension on ostrel's energy scale, (activation energy, threshold of
    that energy, tolerance, first threshold above the global minimum, its
    tolerance)."""
    verdict = []
    for d in (1, 2, 3):
        fe, fthr, tol, ffirst, tol_first = flood[d]
        bad = []
        if d not in ea:
            bad.append("missing")
        elif not ((fe >= 999 and ea[d] >= 999) or abs(ea[d] - fe) <= tol):
            bad.append("Ea %.4f/%.4f" % (ea[d], fe))
        # Printed only once ostrel measures it.
        if d in thr and not ((ffirst >= 999 and thr[d] >= 999) or
                             abs(thr[d] - ffirst) <= tol_first):
            bad.append("thr %.4f/%.4f" % (thr[d], ffirst))
        verdict.append("%dD:%s" % (d, "ok" if not bad else "+".join(bad)))
    return verdict


def survey_one(args, cid, cif):
    ion = mobile_ion(cif)
    if ion is None:
        return None
    el, ox = ion
    ion_type = "%s%d+" % (el, ox)
    work = os.path.join(args.scratch, cid)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "run"))
    shutil.copy(cif, os.path.join(work, cid + ".cif"))
    row = {"id": cid, "ion": ion_type, "res": args.res}
    stored = os.path.join(args.scratch, "cubes", cid + ".cube.gz")
    stored_cif = os.path.join(args.scratch, "cubes", cid + ".cif")
    cube = os.path.join(work, cid + ".cube")
    t0 = time.time()
    if os.path.exists(stored) and os.path.exists(stored_cif):
        with gzip.open(stored, "rb") as src, open(cube, "wb") as dst:
            shutil.copyfileobj(src, dst)
        use_cif = stored_cif
    else:
        rc, out, err, _ = run([args.velmora, "--gen-cube", cid + ".cif", el, str(ox), "0",
                               str(args.res), "t", "t", cid + ".cube"], work, args.timeout)
        if rc != 0 or not os.path.exists(cube):
            row["status"] = "velmora failed: " + (err.strip().splitlines() or ["?"])[-1][:80]
            return row
        assigned = os.path.join(work, cid + "_assigned.cif")
        use_cif = assigned if os.path.exists(assigned) else os.path.join(work, cid + ".cif")
        if args.keep_cubes:
            os.makedirs(os.path.dirname(stored), exist_ok=True)
            with open(cube, "rb") as src, gzip.open(stored, "wb", compresslevel=1) as dst:
                shutil.copyfileobj(src, dst)
            shutil.copy(use_cif, stored_cif)
    with open(cube) as f:
        head = [next(f) for _ in range(6)]
    row["grid"] = "x".join(l.split()[0] for l in head[3:6])
    rc, out, err, secs = run([args.ostrel, "--cube", "../" + cid + ".cube", "--cif",
                              os.path.abspath(use_cif), ion_type, "--path", "--print-act"],
                             os.path.join(work, "run"), args.timeout)
    row["seconds"] = "%.1f" % secs
    warnings = sorted(set(l.strip() for l in (out + "\n" + err).splitlines()
                          if l.startswith("Warning: ")))
    row["warnings"] = " | ".join(warnings)
    if rc != 0:
        row["status"] = "ostrel status %s: %s" % (rc, (err.strip().splitlines() or ["?"])[0][:80])
        return row
    ea = parse_lines(out, "activation energy")
    thr = parse_lines(out, "threshold from the global minimum")
    scale = NA_SCALE if ion_type == "Na1+" else None
    name = cid + (".flood.scaled.json" if scale else ".flood.json")
    cache = os.path.join(args.scratch, "cubes", name) if args.keep_cubes else None
    flood = flood_of(cube, cache, scale)
    verdict = compare(flood, ea, thr)
    row.update(status="ok" if all(v.endswith(":ok") for v in verdict) else "differs",
               ostrel=fmt3(ea), threshold_ostrel=fmt3(thr),
               flood=",".join("%.4f" % flood[d][0] for d in (1, 2, 3)),
               threshold_flood=",".join("%.4f" % flood[d][3] for d in (1, 2, 3)),
               tolerance=",".join("%.4f" % flood[d][2] for d in (1, 2, 3)),
               verdict=" ".join(verdict))
    row["seconds"] = "%.1f" % (time.time() - t0)
    if not args.keep_work:
        shutil.rmtree(work, ignore_errors=True)
    return row


def read_results(path):
    rows = []
    if os.path.exists(path):
        with open(path) as f:
            for line in f.read().splitlines()[1:]:
                rows.append(dict(zip(COLUMNS, line.split("\t"))))
    return rows


def report(scratch):
    rows = read_results(os.path.join(scratch, "RESULTS.tsv"))
    done = [r for r in rows if r.get("status") in ("ok", "differs")]
    ok = [r for r in done if r["status"] == "ok"]
    print("%d structures, %d analysed, %d agree (%.1f %%)" %
          (len(rows), len(done), len(ok), 100.0 * len(ok) / max(len(done), 1)))
    for r in rows:
        if r.get("status") != "ok":
            print("  %s %s: %s %s" % (r["id"], r.get("ion", ""), r.get("status", ""),
                                      r.get("verdict", "")))
    warned = [r for r in rows if r.get("warnings")]
    print("%d structures with warnings:" % len(warned))
    for r in warned:
        print("  %s %s: %s" % (r["id"], r.get("ion", ""), r["warnings"]))
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--res", type=float)
    ap.add_argument("--scratch")
    ap.add_argument("--cod", default=os.path.join(os.path.dirname(ROOT), "shared", "data", "cod"))
    ap.add_argument("--velmora", default=os.path.join(ROOT, "bin", "velmora.x"))
    ap.add_argument("--ostrel", default=os.path.join(ROOT, "bin", "ostrel"))
    ap.add_argument("--ids")
    ap.add_argument("--keep-cubes", action="store_true")
    ap.add_argument("--keep-work", action="store_true")
    ap.add_argument("--redo", action="store_true", help="run listed structures again")
    ap.add_argument("--timeout", type=float, default=3600)
    ap.add_argument("--report")
    args = ap.parse_args()
    if args.report:
        return report(args.report)
    if args.res is None or not args.scratch:
        ap.error("--res and --scratch are required")
    args.velmora = os.path.abspath(args.velmora)
    args.ostrel = os.path.abspath(args.ostrel)
    os.makedirs(args.scratch, exist_ok=True)
    results = os.path.join(args.scratch, "RESULTS.tsv")
    rows = read_results(results)
    ids = sorted(f[:-4] for f in os.listdir(args.cod) if f.endswith(".cif"))
    if args.ids:
        wanted = set(args.ids.split(","))
        ids = [i for i in ids if i in wanted]
    if args.redo:
        rows = [r for r in rows if r["id"] not in ids]
    seen = {r["id"] for r in rows}
    for cid in ids:
        if cid in seen:
            continue
        row = survey_one(args, cid, os.path.join(args.cod, cid + ".cif"))
        if row is None:
            continue
        rows.append(row)
        print("\t".join(str(row.get(c, "")) for c in COLUMNS), flush=True)
        tmp = results + ".tmp"
        with open(tmp, "w") as f:
            f.write("\t".join(COLUMNS) + "\n")
            for r in rows:
                f.write("\t".join(str(r.get(c, "")) for c in COLUMNS) + "\n")
        os.replace(tmp, results)
    return report(args.scratch)


if __name__ == "__main__":
    sys.exit(main())

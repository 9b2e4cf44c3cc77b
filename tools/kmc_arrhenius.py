#!/usr/bin/python3
"""Arrhenius energy of velmora.x --kmc over a set of temperatures (a tool run
by hand under nice; about a minute per temperature for a garnet cell in a
2x2x2 supercell at 100000 events).

The landscape is made with --gen-cube at RESOLUTION A unless a cube is
given; --kmc then runs at each temperature with one seed, and ln D (the
total diffusivity, <|d|^2>/6t) is fitted against 1/kT by least squares:
D = D0 exp(-Ea/kT).  Printed per temperature: D, its block error, the
time-averaged occupancy of each site label; then Ea with the standard error
of the slope.

Usage:
  kmc_arrhenius.py CIF ION OS [--cube CUBE] [--bin DIR] [--work DIR]
                   [--temperatures 500,600,700,800] [--supercell 2,2,2]
                   [--steps 100000] [--resolution 0.2] [--seed 1]
Example (cubic LLZO at its real Li content):
  kmc_arrhenius.py tests/data/cif/LLZO.cif Li 1
"""
import argparse
import math
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
KB = 8.6173324e-5  # eV/K


def run(cmd, cwd):
    p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       text=True, errors="replace")
    if p.returncode != 0:
        sys.exit("%s failed (%d): %s" % (" ".join(cmd), p.returncode, p.stderr.strip()[-300:]))
    return p.stdout


def parse(out):
    """Total D, its error and the site occupancies of one --kmc output."""
    d = re.search(r"^KMC: diffusivity = (\S+),", out, re.M)
    err = re.search(r"^KMC: diffusivity error = (\S+),", out, re.M)
    sites = re.findall(r"^KMC: \[\s*(\S+)\] (\S+) \(multiplicity = \s*(\d+)\)", out, re.M)
    return (float(d.group(1)) if d else None, float(err.group(1)) if err else None,
            [(name, float(occ), int(m)) for name, occ, m in sites])


def fit(points):
    """Least-squares slope of ln D against 1/kT: (Ea, its standard error)."""
    xs = [1.0 / (KB * t) for t, _ in points]
    ys = [math.log(d) for _, d in points]
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx
    if n < 3:
        return -slope, float("nan")
    resid = sum((y - my - slope * (x - mx)) ** 2 for x, y in zip(xs, ys))
    return -slope, math.sqrt(resid / (n - 2) / sxx)


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("cif")
    p.add_argument("ion")
    p.add_argument("os", type=int)
    p.add_argument("--cube")
    p.add_argument("--bin", default=os.path.join(HERE, "..", "bin"))
    p.add_argument("--work", default="/tmp/kmc_arrhenius")
    p.add_argument("--temperatures", default="500,600,700,800")
    p.add_argument("--supercell", default="2,2,2")
    p.add_argument("--steps", type=int, default=100000)
    p.add_argument("--resolution", type=float, default=0.2)
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    velmora = os.path.abspath(os.path.join(args.bin, "velmora.x"))
    os.makedirs(args.work, exist_ok=True)
    cif = os.path.join(args.work, os.path.basename(args.cif))
    shutil.copy(args.cif, cif)
    if args.cube:
        cube = os.path.abspath(args.cube)
    else:
        cube = cif + ".cube"
        run([velmora, "--gen-cube", cif, args.ion, str(args.os), "0", str(args.resolution), "t",
             "t", cube], args.work)
    s = args.supercell.split(",")
    points = []
    for t in [float(x) for x in args.temperatures.split(",")]:
        out = run([velmora, "--kmc", cif, cube, args.ion, str(args.os), s[0], s[1], s[2], "-1",
                   str(t), "0", str(args.steps), "-1", "-1", str(args.seed)], args.work)
        d, err, sites = parse(out)
        if not d or d <= 0:
            sys.exit("no diffusivity at %g K" % t)
        points.append((t, d))
        print("T = %6.1f K  D = %.3e +- %.1e A^2/ps  %s" % (
            t, d, err or 0.0, "  ".join("%s %.3f" % (n, o) for n, o, _ in sites)), flush=True)
    ea, se = fit(points)
    print("Arrhenius energy: %.3f +- %.3f eV (%d temperatures)" % (ea, se, len(points)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

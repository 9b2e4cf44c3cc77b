"""Diffusivity of the Li ions from an extended-XYZ MD trajectory (unwrapped
positions), averaged over many time origins: D = slope of MSD(tau) / 6 over
lags from `lo` to `hi` ps, the frames `dt` ps apart.  Prints D in A^2/ps.

Usage: velmora_transport_msd.py trajectory.xyz species dt lo hi
"""
import sys

import numpy as np


def frames(path, species):
    """Positions of the atoms of `species` in every frame, read by hand (no
    dependence on ASE)."""
    out = []
    with open(path) as f:
        while True:
            head = f.readline()
            if not head.strip():
                break
            n = int(head)
            f.readline()
            pos = []
            for _ in range(n):
                w = f.readline().split()
                if w[0] == species:
                    pos.append([float(w[1]), float(w[2]), float(w[3])])
            out.append(pos)
    return np.array(out)


def diffusivity(x, dt, lo, hi):
    lags = range(max(1, int(round(lo / dt))), int(round(hi / dt)) + 1)
    taus, msd = [], []
    for k in lags:
        d = x[k:] - x[:-k]
        msd.append(np.mean(np.sum(d * d, axis=2)))
        taus.append(k * dt)
    slope = np.polyfit(taus, msd, 1)[0]
    return slope / 6.0


if __name__ == "__main__":
    path, species = sys.argv[1], sys.argv[2]
    dt, lo, hi = (float(v) for v in sys.argv[3:6])
    print("%.6e" % diffusivity(frames(path, species), dt, lo, hi))

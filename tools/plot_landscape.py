#!/usr/bin/python3
"""Picture of a site-energy landscape and its conduction pathway, from the
files of one run: the cube of velmora.x --gen-cube and the results of
ostrel --path --json (with OSTREL_rp_tidy.csv beside the JSON).

Left: a plane of the grid (by default the plane across the chosen axis that
holds the lowest site), energies on ostrel's energy scale above the global
minimum, repeated over a few cells, with contour lines at the thresholds
from the global minimum (the region below such a line connects through the
crystal in 1, 2 or 3 directions), the sites and saddle points of the plane
and the reaction pathways where they run in it.  Right: the energy profile
along the reaction pathways with the 1D/2D/3D activation energies.

usage: plot_landscape.py CUBE OSTREL_JSON [--rp OSTREL_rp_tidy.csv]
           [--axis a|b|c] [--plane FRACTION] [--cells N] [--out FILE.png]

Needs python3-matplotlib (drawn with the Agg backend, no display).
"""
import argparse
import csv
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from percolation_check import make_scale, read_cube  # noqa: E402

BOHR_PER_A = 1.889725989


def cube_cell(path, counts):
    """Cell vectors (rows, A) of a cube: the voxel steps times the counts."""
    with open(path, "rb") as f:
        lines = [f.readline().decode("latin-1") for _ in range(6)]
    steps = np.array([[float(x) for x in lines[3 + k].split()[1:4]] for k in range(3)])
    return steps / BOHR_PER_A * np.array(counts)[:, None]


def plane_basis(cell, u, v):
    """2D coordinates (A) of the plane spanned by cell vectors u and v."""
    e1 = cell[u] / np.linalg.norm(cell[u])
    rest = cell[v] - np.dot(cell[v], e1) * e1
    e2 = rest / np.linalg.norm(rest)
    return lambda frac_u, frac_v: (
        np.multiply.outer(frac_u, cell[u]) + np.multiply.outer(frac_v, cell[v])) @ np.array(
            [e1, e2]).T


def in_plane(frac, axis, plane, n):
    """Whether fractional positions lie within half a grid step of the plane."""
    d = (np.asarray(frac)[..., axis] - plane + 0.5) % 1.0 - 0.5
    return np.abs(d) <= 0.5 / n + 1e-9


def read_pathways(path):
    rows = []
    with open(path, newline="") as f:
        for r in csv.DictReader(f):
            rows.append((int(r["pathway"]), float(r["x_A"]), float(r["y_A"]), float(r["z_A"]),
                         float(r["energy_eV"]), float(r["distance_A"]), r["label"]))
    return rows


def draw_slice(ax, grid, cell, result, pathways, axis, plane, cells):
    import matplotlib.pyplot as plt
    u, v = [k for k in range(3) if k != axis]
    n = grid.shape
    k = int(round(plane * n[axis])) % n[axis]
    layer = np.take(grid, k, axis=axis)  # indexed [u][v]
    tiled = np.tile(layer, (cells, cells))
    tiled = np.vstack([tiled, tiled[:1]])
    tiled = np.hstack([tiled, tiled[:, :1]])
    fu = np.arange(tiled.shape[0]) / n[u]
    fv = np.arange(tiled.shape[1]) / n[v]
    basis = plane_basis(cell, u, v)

    def to_xy(a, b):
        xy = basis(a, b)
        return xy[..., 0], xy[..., 1]

    xs, ys = to_xy(*np.meshgrid(fu, fv, indexing="ij"))
    thresholds = result["thresholds_from_global_minimum"]
    levels = sorted({t for t in thresholds.values() if t is not None})
    top = (levels[-1] if levels else float(np.nanmax(layer))) + 0.4
    mesh = ax.pcolormesh(xs, ys, np.minimum(tiled, top), cmap="viridis",
                         shading="gouraud", vmin=0, vmax=top)
    plt.colorbar(mesh, ax=ax, label="energy above the global minimum (eV)", shrink=0.85)
    styles = {"1D": ":", "2D": "--", "3D": "-."}
    drawn = {}
    for d in ("1D", "2D", "3D"):
        if thresholds[d] is not None:
            drawn.setdefault(thresholds[d], []).append(d)
    for level, dims in drawn.items():
        ax.contour(xs, ys, tiled, levels=[level], colors="white", linewidths=1.0,
                   linestyles=styles[dims[0]])
        ax.plot([], [], color="black", linestyle=styles[dims[0]],
                label="%s threshold %.3f eV" % ("/".join(dims), level))
    shifts = [(i, j) for i in range(cells) for j in range(cells)]
    for kind, marker, colour in (("sites", "o", "white"), ("saddles", "X", "red")):
        points = [p for p in result[kind] if in_plane(p["fractional"], axis, plane, n[axis])]
        for p in points:
            f = np.asarray(p["fractional"]) % 1.0
            for i, j in shifts:
                x, y = to_xy(f[u] + i, f[v] + j)
                ax.plot(x, y, marker, color=colour, markeredgecolor="black", markersize=6)
                if kind == "sites" and (i, j) == (0, 0):
                    ax.annotate(p["label"], (x, y), xytext=(4, 4), textcoords="offset points",
                                color="white", fontsize=8)
    if pathways:
        inverse = np.linalg.inv(cell)
        frac = np.array([r[1:4] for r in pathways]) @ inverse
        keep = in_plane(frac, axis, plane, n[axis])
        for i, j in shifts:
            f = frac % 1.0
            x, y = to_xy(f[:, u] + i, f[:, v] + j)
            # a line only between neighbouring points of the plane
            step = np.hypot(np.diff(x), np.diff(y))
            for s in np.nonzero(keep[:-1] & keep[1:] & (step < 0.5))[0]:
                ax.plot(x[s:s + 2], y[s:s + 2], color="orange", linewidth=1.6)
    names = "abc"
    ax.set_title("plane %s = %.3f of %s" % (names[axis], k / n[axis],
                                             os.path.basename(result["input"]["cube"])),
                 fontsize=10)
    ax.set_xlabel("along %s (A)" % names[u])
    ax.set_ylabel("in the %s%s plane (A)" % (names[u], names[v]))
    ax.set_aspect("equal")
    if drawn:
        ax.legend(fontsize=7, loc="upper right", framealpha=0.85)


def draw_profile(ax, result, pathways):
    energies = result["activation_energies"]
    start = 0.0
    for number in sorted({r[0] for r in pathways}):
        rows = [r for r in pathways if r[0] == number]
        # distances restart at each hop: add them up along the pathway
        distance, total, last = [], start, 0.0
        for r in rows:
            if r[5] < last:
                total += last
            last = r[5]
            distance.append(total + r[5])
        ax.plot(distance, [r[4] for r in rows], linewidth=1.4,
                label="pathway %d" % number)
        for d, r in zip(distance, rows):
            if r[6]:
                ax.annotate(r[6], (d, r[4]), xytext=(0, 4), textcoords="offset points",
                            fontsize=7, ha="center")
        start = distance[-1] + 0.5 if distance else start
    for d, style in (("1D", ":"), ("2D", "--"), ("3D", "-.")):
        if energies[d] is not None:
            ax.axhline(energies[d], color="grey", linestyle=style, linewidth=0.9,
                       label="%s activation energy %.3f eV" % (d, energies[d]))
    ax.set_xlabel("distance along the pathway (A)")
    ax.set_ylabel("energy (eV, %s)" % result["input"]["energy_scale"])
    ax.set_title("energy along the reaction pathways", fontsize=10)
    low, high = ax.get_ylim()
    ax.set_ylim(low, low + (high - low) * 1.35)  # room for the legend above the curves
    ax.legend(fontsize=7, loc="upper right")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cube")
    parser.add_argument("json")
    parser.add_argument("--rp", help="OSTREL_rp_tidy.csv (default: beside the JSON)")
    parser.add_argument("--axis", choices="abc", default="c")
    parser.add_argument("--plane", type=float, help="fractional coordinate along the axis "
                        "(default: that of the lowest site)")
    parser.add_argument("--cells", type=int, default=2)
    parser.add_argument("--out", default="landscape.png")
    args = parser.parse_args(argv)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with open(args.json) as f:
        result = json.load(f)
    raw = read_cube(args.cube)
    grid = make_scale(result["input"]["energy_scale"])(raw - raw.min())
    cell = cube_cell(args.cube, raw.shape)
    axis = "abc".index(args.axis)
    plane = args.plane
    if plane is None:
        lowest = min(result["sites"], key=lambda s: s["energy"]) if result["sites"] else None
        plane = lowest["fractional"][axis] if lowest else 0.0
    rp = args.rp or os.path.join(os.path.dirname(os.path.abspath(args.json)),
                                 "OSTREL_rp_tidy.csv")
    pathways = read_pathways(rp) if os.path.exists(rp) else []
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.6),
                                         gridspec_kw={"width_ratios": [1.15, 1]})
    draw_slice(left, grid, cell, result, pathways, axis, plane, max(1, args.cells))
    draw_profile(right, result, pathways)
    figure.tight_layout()
    figure.savefig(args.out, dpi=100)
    print("written %s" % args.out)


if __name__ == "__main__":
    main(sys.argv[1:])

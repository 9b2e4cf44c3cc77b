"""Landscapes for the end-to-end tests of ostrel, and an independent check of
its minima and saddle summaries.

  make <name> <dir>          writes <dir>/<name>.cube, <name>.cif (with an
                             operation loop), <name>_hm.cif (the group by
                             name only) and <name>_cod.cif (types spelled
                             Li+1, O-2, no type loop)
  from-cif <x.cif> <element> <out.cube>
                             a landscape for a real structure: wells at the
                             sites of the element, repulsion at the others
  repeat <in.cube> <out.cube>
                             the same landscape with the boundary planes
                             repeated (counts n + 1)
  perturb <in.cube> <out.cube>
                             one value raised by 0.01 eV, so that the grid
                             no longer has the structure's symmetry
  check <cube> <cif> <ion> <summary>
                             checks a summary printed by ostrel against the
                             cube and the structure

The landscape is a sum of Gaussian wells at the mobile-ion sites and
repulsive Gaussians at the other atoms, made exactly symmetric the way the
landscape generator makes it: every orbit of grid points under the space
group takes the value of one of its points.  Cube files follow the landscape
format: six header lines, one value per line, CR LF line ends.
"""
import math
import sys

import gemmi
import numpy as np

BOHR = 1.889725989

STRUCTURES = {
    # name: (a, b, c, alpha, beta, gamma, group, sites, grid, mobile type)
    "li2o": (4.61, 4.61, 4.61, 90, 90, 90, "F m -3 m",
             [("Li1", "Li1+", 1, (0.25, 0.25, 0.25), 1.0, 0.6),
              ("O1", "O2-", -2, (0.0, 0.0, 0.0), -1.5, 0.7)],
             (48, 48, 48), "Li1+"),
    "licoo2": (2.82, 2.82, 14.05, 90, 90, 120, "R -3 m:H",
               [("Li1", "Li1+", 1, (0.0, 0.0, 0.5), 1.0, 0.6),
                ("Co1", "Co3+", 3, (0.0, 0.0, 0.0), -2.0, 0.6),
                ("O1", "O2-", -2, (0.0, 0.0, 0.26), -1.0, 0.7)],
               (24, 24, 120), "Li1+"),
    # Rutile-type: 4-fold screw and glide operations, Na on an interstitial
    # channel site.
    "rutile": (4.59, 4.59, 2.96, 90, 90, 90, "P 42/m n m",
               [("Ti1", "Ti4+", 4, (0.0, 0.0, 0.0), -2.0, 0.6),
                ("O1", "O2-", -2, (0.305, 0.305, 0.0), -1.0, 0.7),
                ("Na1", "Na1+", 1, (0.0, 0.5, 0.0), 1.2, 0.5)],
               (48, 48, 32), "Na1+"),
}


def cell_matrix(a, b, c, al, be, ga):
    cell = gemmi.UnitCell(a, b, c, al, be, ga)
    m = np.array(cell.orthogonalization_matrix.tolist())
    return cell, m.T  # rows are the cell vectors


def operations(group):
    return list(gemmi.SpaceGroup(group).operations())


def expand(ops, p):
    out = []
    for op in ops:
        q = np.array(op.apply_to_xyz(list(p)))
        q -= np.floor(q + 1e-9)
        if not any(np.all(np.minimum(abs(q - r), 1 - abs(q - r)) < 1e-6) for r in out):
            out.append(q)
    return out


def make(name, outdir):
    a, b, c, al, be, ga, group, sites, grid, mobile = STRUCTURES[name]
    _, vec = cell_matrix(a, b, c, al, be, ga)
    ops = operations(group)
    n = np.array(grid)
    idx = np.stack(np.meshgrid(*[np.arange(k) for k in grid], indexing="ij"), -1).reshape(-1, 3)
    frac = idx / n
    energy = np.zeros(len(idx))
    for _, _, _, pos, depth, width in sites:
        for p in expand(ops, pos):
            d = frac - p
            d -= np.round(d)
            for shift in np.array(np.meshgrid([-1, 0, 1], [-1, 0, 1], [-1, 0, 1])).T.reshape(-1, 3):
                r = (d + shift) @ vec
                energy -= depth * np.exp(-(r * r).sum(1) / (2 * width * width))
    # Orbit representative of each point: the smallest linear index among its
    # images under the integer forms of the operations.
    lin = lambda q: (q[:, 0] * n[1] + q[:, 1]) * n[2] + q[:, 2]
    rep = lin(idx)
    for op in ops:
        rot = np.array(op.rot) // op.DEN
        tra = np.array(op.tran) / op.DEN
        img = (idx @ rot.T) + np.rint(tra * n).astype(int)
        img %= n
        rep = np.minimum(rep, lin(img))
    energy = energy[rep]
    steps = vec / n[:, None] * BOHR
    lines = [name, "Conducting = %s ; sf = 0.700000;" % mobile,
             "%4d %11.6f %11.6f %11.6f" % (0, 0, 0, 0)]
    for k in range(3):
        lines.append("%4d %11.6f %11.6f %11.6f" % (grid[k], *steps[k]))
    lines += [" %12.6f" % e for e in energy]
    with open("%s/%s.cube" % (outdir, name), "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")
    for suffix, with_ops in (("", True), ("_hm", False), ("_cod", True)):
        cif = ["data_%s" % name,
               "_symmetry_space_group_name_H-M '%s'" % group.split(":")[0],
               "_cell_length_a %.4f" % a, "_cell_length_b %.4f" % b, "_cell_length_c %.4f" % c,
               "_cell_angle_alpha %g" % al, "_cell_angle_beta %g" % be,
               "_cell_angle_gamma %g" % ga]
        if with_ops:
            cif += ["loop_", "_symmetry_equiv_pos_site_id", "_symmetry_equiv_pos_as_xyz"]
            cif += ["%d '%s'" % (i + 1, op.triplet().replace(",", ", ")) for i, op in enumerate(ops)]
        if suffix != "_cod":
            cif += ["loop_", "_atom_type_symbol", "_atom_type_oxidation_number"]
            cif += ["%s %d" % (t, ox) for _, t, ox, _, _, _ in sites]
        cif += ["loop_", "_atom_site_label", "_atom_site_type_symbol", "_atom_site_fract_x",
                "_atom_site_fract_y", "_atom_site_fract_z", "_atom_site_occupancy"]
        for l, t, ox, p, _, _ in sites:
            if suffix == "_cod":  # the spelling of most COD files: Li+1, O-2
                t = "%s%+d" % (t.rstrip("0123456789+-"), ox)
            cif.append("%s %s %.5f %.5f %.5f 1.0" % (l, t, *p))
        with open("%s/%s%s.cif" % (outdir, name, suffix), "w") as f:
            f.write("\n".join(cif) + "\n")


def file_operations(path):
    """The operations of a CIF file: its operation loop, else its named group."""
    block = gemmi.cif.read(path).sole_block()
    for tag in ("_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz"):
        texts = [gemmi.cif.as_string(v) for v in block.find_values(tag)]
        if texts:
            return [gemmi.Op(t.replace(" ", "")) for t in texts]
    return list(gemmi.read_small_structure(path).find_spacegroup().operations())


def make_from_cif(path, element, out_cube, step=0.25):
    """Landscape of a real structure: wells at the sites of `element`,
    repulsion at all other sites; grid counts multiples of 24 near `step` Å."""
    st = gemmi.read_small_structure(path)
    cell = st.cell
    vec = np.array(cell.orthogonalization_matrix.tolist()).T
    ops = file_operations(path)
    grid = tuple(24 * max(1, math.ceil(L / step / 24)) for L in (cell.a, cell.b, cell.c))
    n = np.array(grid)
    idx = np.stack(np.meshgrid(*[np.arange(k) for k in grid], indexing="ij"), -1).reshape(-1, 3)
    frac = idx / n
    energy = np.zeros(len(idx))
    for site in st.sites:
        depth, width = (1.0, 0.45) if site.element.name == element else (-1.5, 0.55)
        # Nearest image in fractional terms only: the wells are narrow, and
        # the symmetrisation below makes the values exactly symmetric anyway.
        for p in expand(ops, site.fract.tolist()):
            d = frac - p
            d -= np.round(d)
            r = d @ vec
            energy -= depth * np.exp(-(r * r).sum(1) / (2 * width * width))
    lin = lambda q: (q[:, 0] * n[1] + q[:, 1]) * n[2] + q[:, 2]
    rep = lin(idx)
    for op in ops:
        rot = np.array(op.rot) // op.DEN
        img = (idx @ rot.T) + np.rint(np.array(op.tran) / op.DEN * n).astype(int)
        rep = np.minimum(rep, lin(img % n))
    energy = energy[rep]
    steps = vec / n[:, None] * BOHR
    lines = ["cod", "Conducting = %s1+ ; sf = 0.700000;" % element,
             "%4d %11.6f %11.6f %11.6f" % (0, 0, 0, 0)]
    for k in range(3):
        lines.append("%4d %11.6f %11.6f %11.6f" % (grid[k], *steps[k]))
    lines += [" %12.6f" % e for e in energy]
    with open(out_cube, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


def read_cube(path):
    with open(path, "rb") as f:
        lines = f.read().decode().split("\r\n")
    natoms = int(lines[2].split()[0])
    counts, steps = [], []
    for k in range(3):
        t = lines[3 + k].split()
        counts.append(int(t[0]))
        steps.append([float(x) / BOHR for x in t[1:4]])
    values = np.array([float(x) for x in lines[6 + natoms:6 + natoms + np.prod(counts)]])
    return np.array(counts), np.array(steps), values.reshape(counts)


def parse_summary(path):
    """Types of minima and saddles: lists of (label, energy, [grid points])."""
    minima, saddles, section = [], [], None
    totals = {}
    for line in open(path, newline="").read().split("\r\n"):
        if "Summary of energy local minima" in line:
            section = minima
        elif "Summary of energy saddle point" in line:
            section = saddles
        elif line.startswith("Total local minima in unit cell:"):
            totals["minima"] = int(line.split(":")[1])
        elif line.startswith("Total local saddle in unit cell:"):
            totals["saddle"] = int(line.split(":")[1])
        elif line.startswith("Minima type:") or line.startswith("Saddle type:"):
            label = line.split(":")[1].split("(")[0].strip()
            energy = float(line.split("Energy:")[1].split()[0])
            section.append([label, energy, [], None])
        elif line.startswith("Multiplicity:"):
            section[-1][3] = int(line.split(":")[1])
        elif section is not None and section and line.startswith("    ") and \
                line.split() and line.split()[0].isdigit():
            t = line.split()
            section[-1][2].append((int(t[1]), int(t[2]), int(t[3])))
    return minima, saddles, totals


def lower_clusters(e, p):
    """Clusters of lower neighbours of grid point p in its 3x3x3 block (26-
    connected, never through p).  A neighbour is lower when its energy is,
    or on an exact tie when its grid index is lower (the landscape read as
    if raised by a vanishing amount per grid index)."""
    n = e.shape
    e0 = e[p]
    index = lambda q: (q[0] * n[1] + q[1]) * n[2] + q[2]
    offs = [(a, b, c) for a in (-1, 0, 1) for b in (-1, 0, 1) for c in (-1, 0, 1)
            if (a, b, c) != (0, 0, 0)]
    at = {o: tuple((p[i] + o[i]) % n[i] for i in range(3)) for o in offs}
    cells = [o for o in offs if e[at[o]] < e0 or (e[at[o]] == e0 and index(at[o]) < index(p))]
    seen, clusters = set(), 0
    for o in cells:
        if o in seen:
            continue
        clusters += 1
        stack = [o]
        seen.add(o)
        while stack:
            u = stack.pop()
            for v in cells:
                if v not in seen and max(abs(u[i] - v[i]) for i in range(3)) <= 1:
                    seen.add(v)
                    stack.append(v)
    return clusters


def check(cube, cif, ion, summary):
    counts, steps, e = read_cube(cube)
    minima, saddles, totals = parse_summary(summary)
    problems = []
    ops = file_operations(cif)

    def images(p):
        # Grid points of the images of grid point p under the operations.
        f = [p[i] / counts[i] for i in range(3)]
        return {tuple(int(math.floor(q[i] * counts[i] + 0.5)) % counts[i] for i in range(3))
                for q in expand(ops, f)}
    n_min = sum(len(t[2]) for t in minima)
    n_sad = sum(len(t[2]) for t in saddles)
    if n_min != totals.get("minima") or n_sad != totals.get("saddle"):
        problems.append("listed points do not add up to the totals")
    for kind, types in (("minimum", minima), ("saddle", saddles)):
        for label, energy, points, mul in types:
            # On a grid whose axes the operations mix (a hexagonal cell), the
            # 26-neighbour block is not carried into itself by a 3-fold
            # axis: a saddle's image can lack two clusters in it.  Such a
            # point must then be an exact image of a member that has them.
            passing = [p for p in points if kind == "saddle" and lower_clusters(e, p) >= 2]
            carried = set()
            for p in passing[:1]:
                carried |= images(p)
            if mul != len(points):
                problems.append("%s type %s: multiplicity %s for %d points" %
                                (kind, label, mul, len(points)))
            ref = e[points[0]]
            for p in points:
                if abs(e[p] - ref) > 1e-7:
                    problems.append("%s type %s: unequal energies at %s" % (kind, label, p))
                if kind == "minimum":
                    block = e[np.ix_(*[[(p[i] + d) % counts[i] for d in (-1, 0, 1)]
                                       for i in range(3)])]
                    if block.min() < e[p] - 1e-7:
                        problems.append("minimum %s is not a local minimum" % (p,))
                elif p not in passing and p not in carried:
                    problems.append("saddle %s lacks two clusters of lower neighbours" % (p,))
    # Every mobile-ion position of the structure lies on (within one grid
    # step of) a minimum whose type carries the ion's label.
    st = gemmi.read_small_structure(cif)
    labelled = {}
    for label, _, points, _ in minima:
        for p in points:
            labelled[p] = label
    element = ion.rstrip("0123456789+-")
    for site in st.sites:
        if site.element.name != element:
            continue
        for q in expand(file_operations(cif), site.fract.tolist()):
            g = tuple(int(math.floor(q[i] * counts[i] + 0.5)) % counts[i] for i in range(3))
            near = [p for p in labelled
                    if all(min(abs(p[i] - g[i]), counts[i] - abs(p[i] - g[i])) <= 1
                           for i in range(3))]
            if not near:
                problems.append("no minimum at %s site %s" % (site.label, g))
            elif not any(site.label in labelled[p].split("/") for p in near):
                problems.append("minimum at %s site %s labelled %s" %
                                (site.label, g, [labelled[p] for p in near]))
    for p in problems[:20]:
        print("PROBLEM:", p)
    print("checked %d minima in %d types, %d saddles in %d types: %s" %
          (n_min, len(minima), n_sad, len(saddles), "ok" if not problems else "FAILED"))
    return 0 if not problems and n_min > 0 else 1


def rewrite(src, dst, repeat=False, perturb=False):
    with open(src, "rb") as f:
        lines = f.read().decode().split("\r\n")
    natoms = int(lines[2].split()[0])
    counts, _, e = read_cube(src)
    if perturb:
        e[3, 4, 5] += 0.01
    if repeat:
        e = np.pad(e, [(0, 1)] * 3, mode="wrap")
        for k in range(3):
            t = lines[3 + k].split()
            lines[3 + k] = "%4d %s %s %s" % (int(t[0]) + 1, t[1], t[2], t[3])
    out = lines[:6 + natoms] + [" %12.6f" % v for v in e.reshape(-1)]
    with open(dst, "w", newline="") as f:
        f.write("\r\n".join(out) + "\r\n")


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "from-cif":
        make_from_cif(sys.argv[2], sys.argv[3], sys.argv[4])
    elif sys.argv[1] == "repeat":
        rewrite(sys.argv[2], sys.argv[3], repeat=True)
    elif sys.argv[1] == "perturb":
        rewrite(sys.argv[2], sys.argv[3], perturb=True)
    else:
        sys.exit(check(*sys.argv[2:6]))

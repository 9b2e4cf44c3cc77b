"""Bond-valence sums and GII by the analyzer's rule, computed independently
with gemmi and numpy: every asymmetric site S against every atom C of the
unit cell (gemmi's expansion by the file's operations, else by its named
group) of opposite oxidation state, over all lattice translations within the
pair cut-off; a bond of length d (0.3 <= d <= cut-off) adds
occ(C) * exp((r0 - d)/b), with r0, b and the cut-off of the first line of
database_binary.dat for the pair (columns 5, 6 and 8).  Sums of anions are
negative; GII = sqrt(sum mul*occ*(ox - sum)^2 / sum mul*occ).

Usage: ostrel_bv_reference.py DATABASE_BINARY CIF  -> JSON {label: sum, "GII": g}
"""
import json
import math
import re
import sys

import gemmi
import numpy as np


def pair_table(path):
    table = {}
    marked = False
    with open(path, encoding="latin-1") as f:
        lines = f.read().split("\n")
    marked = any("DATA_START" in l for l in lines)
    inside = not marked
    for line in lines:
        if marked and not inside:
            inside = "DATA_START" in line
            continue
        if marked and "DATA_END" in line:
            break
        w = line.split()
        if len(w) <= 7:
            continue
        try:
            key = (w[0], int(w[1]), w[2], int(w[3]))
            val = (float(w[4]), float(w[5]), float(w[7]))
        except ValueError:
            continue
        table.setdefault(key, val)
    return table


def state(symbol):
    m = re.match(r"([A-Za-z]+)(\d+(?:\.\d+)?)([+-])$", symbol)
    if not m:
        raise SystemExit("no oxidation state in type symbol %s" % symbol)
    v = float(m.group(2))
    return m.group(1), -v if m.group(3) == "-" else v


def operations(path, st):
    block = gemmi.cif.read(path).sole_block()
    for tag in ("_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz"):
        texts = [gemmi.cif.as_string(v) for v in block.find_values(tag)]
        if texts:
            return [gemmi.Op(t.replace(" ", "")) for t in texts]
    sg = gemmi.find_spacegroup_by_name(st.spacegroup_hm)
    return list(sg.operations())


def images(ops, frac):
    out = []
    for op in ops:
        p = np.array(op.apply_to_xyz(list(frac)))
        p -= np.floor(p)
        if not any(np.all(np.abs((q - p) - np.round(q - p)) < 1e-3) for q in out):
            out.append(p)
    return out


def main():
    table = pair_table(sys.argv[1])
    path = sys.argv[2]
    st = gemmi.read_small_structure(path)
    ops = operations(path, st)
    cell = st.cell
    M = np.array(cell.orthogonalization_matrix.tolist())
    sites = []
    for s in st.sites:
        el, ox = state(s.type_symbol)
        sites.append((s.label, el, ox, s.occ, images(ops, (s.fract.x, s.fract.y, s.fract.z))))
    # Translations reaching every atom within the largest cut-off.
    cut = max(v[2] for v in table.values())
    heights = [cell.volume / (cell.b * cell.c * math.sin(math.radians(cell.alpha))),
               cell.volume / (cell.a * cell.c * math.sin(math.radians(cell.beta))),
               cell.volume / (cell.a * cell.b * math.sin(math.radians(cell.gamma)))]
    reach = [int(math.ceil(cut / h)) + 1 for h in heights]
    shifts = np.array([(i, j, k) for i in range(-reach[0], reach[0] + 1)
                       for j in range(-reach[1], reach[1] + 1)
                       for k in range(-reach[2], reach[2] + 1)], dtype=float)
    result, num, den = {}, 0.0, 0.0
    for label, el, ox, occ, imgs in sites:
        total = 0.0
        for _, el2, ox2, occ2, imgs2 in sites:
            if ox * ox2 >= 0:
                continue
            key = (el, int(ox), el2, int(ox2)) if ox > 0 else (el2, int(ox2), el, int(ox))
            if key not in table:
                continue
            r0, b, cutoff = table[key]
            for q in imgs2:
                d = np.linalg.norm((q + shifts - imgs[0]) @ M.T, axis=1)
                d = d[(d >= 0.3) & (d <= cutoff)]
                total += occ2 * np.exp((r0 - d) / b).sum()
        total = total if ox > 0 else -total
        result[label] = total
        num += len(imgs) * occ * (ox - total) ** 2
        den += len(imgs) * occ
    result["GII"] = math.sqrt(num / den)
    print(json.dumps(result))


main()

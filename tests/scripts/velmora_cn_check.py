"""Coordination numbers of velmora.x against known first shells and against
an independent implementation of the same shell rule.

The independent side reads each CIF with gemmi (its own symmetry expansion),
lists every counter-ion within 10 A of a site by brute force over a
generous range of lattice translations, and applies the shell rule (radial
density occ / (4 pi r^2 dr), shells closed at its minima below the smallest
density + 0.01).  Usage: velmora_cn_check.py VELMORA DATADIR
"""
import math
import re
import subprocess
import sys

import gemmi
import numpy as np

VELMORA, DATA = sys.argv[1], sys.argv[2]
failures = []

# First shells (CN, distance in A where given): centre, counter-ion.
FIRST_SHELLS = [
    ('NaCl', 'Na', 1, 'Cl', -1, 6, 2.820), ('Li2O', 'Li', 1, 'O', -2, 4, 1.997),
    ('Li2O', 'O', -2, 'Li', 1, 8, 1.997), ('MgO', 'Mg', 2, 'O', -2, 6, 2.106),
    ('CaF2', 'Ca', 2, 'F', -1, 8, 2.365), ('CaF2', 'F', -1, 'Ca', 2, 4, 2.365),
    ('TiO2', 'Ti', 4, 'O', -2, 6, None), ('Al2O3', 'Al', 3, 'O', -2, 6, None),
    ('SrTiO3', 'Ti', 4, 'O', -2, 6, None), ('SrTiO3', 'Sr', 2, 'O', -2, 12, None),
    ('LiCoO2', 'Co', 3, 'O', -2, 6, None), ('LiCoO2', 'Li', 1, 'O', -2, 6, None),
    ('MgAl2O4', 'Mg', 2, 'O', -2, 4, None), ('MgAl2O4', 'Al', 3, 'O', -2, 6, None),
    ('Cu2O', 'Cu', 1, 'O', -2, 2, None), ('Cu2O', 'O', -2, 'Cu', 1, 4, None),
    ('Li3N', 'N', -3, 'Li', 1, 8, None), ('ZrO2', 'Zr', 4, 'O', -2, 7, None),
    ('LiFePO4', 'Fe', 2, 'O', -2, 6, None), ('LiFePO4', 'P', 5, 'O', -2, 4, None),
    ('LiFePO4', 'Li', 1, 'O', -2, 6, None), ('Na3PS4', 'P', 5, 'S', -2, 4, None),
]


def run(args):
    p = subprocess.run([VELMORA] + args, capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


for name, t, o, tc, oc, cn, r in FIRST_SHELLS:
    rc, out, err = run(['--cal-cn-type', f'{DATA}/{name}.cif', t, str(o), tc, str(oc)])
    m = re.search(r'CN:\s+ave\s+0\s+(\S+)\s+(\S+)', out)
    if rc != 0 or not m:
        failures.append(f'{name} {t}-{tc}: no average line (exit {rc}) {err}')
        continue
    got_cn, got_r = float(m.group(1)), float(m.group(2))
    # Corundum's 3 + 3 and the like: the shell's last member is the longest
    # bond, so only structures with one bond length give r to compare.
    if abs(got_cn - cn) > 1e-6 or (r is not None and abs(got_r - r) > 0.002):
        failures.append(f'{name} {t}-{tc}: CN {got_cn} at {got_r}, expected {cn} at {r}')
print(f'first shells: {len(FIRST_SHELLS)} pairs checked')


# ---------------------------------------------------- independent shells ----

def species_of(site):
    m = re.match(r'([A-Z][a-z]?)(\d*)([+-])', site.type_symbol)
    el = m.group(1)
    os_ = int(m.group(2) or 1) * (1 if m.group(3) == '+' else -1)
    return el, os_


def symmetry_ops(path, st):
    """The CIF's own operation loop (as velmora.x reads it), else the
    operations of the space group gemmi finds from the symbol."""
    block = gemmi.cif.read_file(path).sole_block()
    for tag in ('_space_group_symop_operation_xyz', '_symmetry_equiv_pos_as_xyz'):
        values = list(block.find_values(tag))
        if values:
            return [gemmi.Op(gemmi.cif.as_string(v)) for v in values]
    return list(st.find_spacegroup().operations())


def expanded(path):
    st = gemmi.read_small_structure(path)
    ops = symmetry_ops(path, st)
    lat = np.array(st.cell.orth.mat.tolist()).T  # rows = lattice vectors
    sites, asym = [], []
    for s in st.sites:
        el, os_ = species_of(s)
        f0 = np.array(s.fract.tolist())
        asym.append((s.label, el, os_, f0))
        images = []
        for op in ops:
            f = np.array(op.apply_to_xyz(f0.tolist())) % 1.0
            if all(np.linalg.norm(((f - g + 0.5) % 1.0 - 0.5) @ lat) > 1e-3 for g in images):
                images.append(f)
        sites += [(s.label, el, os_, f, s.occ) for f in images]
    return lat, sites, asym


def shells(r, occ, rds_tiny=0.01):
    """The shell rule on neighbours sorted by distance."""
    n = len(r)
    g = [0.0] * n
    g[0] = occ[0] / (12.5663706 * r[0] ** 3)
    for i in range(1, n):
        dr = r[i] - r[i - 1]
        g[i] = min(occ[i] / dr / (12.5663706 * r[i] ** 2), 999.9) if dr > 1e-6 else 999.9
    rmin = min(g[1:]) if n > 1 else g[0]
    thr = rmin + rds_tiny
    out = []  # [r_shell, n_shell]
    for i in range(n - 1):
        opens = i == 0 or (r[i] - r[i - 1] > 0.1 and
                           (len(out) <= 1 or not out[-1][1] < out[-2][1]) and
                           g[i] < thr and g[i - 1] > g[i] and g[i + 1] > g[i])
        if opens:
            out.append([0.0, 0.0])
        out[-1][0] = r[i]
        out[-1][1] += occ[i]
    if n == 1:
        out.append([r[0], occ[0]])
    return out


def neighbours(lat, sites, centre_label, centre_frac, tc, oc):
    """Distances and occupancies of the (tc, oc) atoms within 10 A, the
    centre's own images excluded, by brute force over |l|,|m|,|n| <= 6."""
    rng = range(-6, 7)
    shifts = np.array([[a, b, c] for a in rng for b in rng for c in rng], float)
    pc = centre_frac @ lat
    r, occ = [], []
    for label, el, os_, f, o in sites:
        if el != tc or os_ != oc:
            continue
        d = np.linalg.norm((f + shifts) @ lat - pc, axis=1)
        same = label == centre_label and np.linalg.norm(((f - centre_frac + 0.5) % 1.0 - 0.5) @ lat) < 1e-4
        if same:
            continue
        for x in d[d <= 10.0]:
            r.append(x)
            occ.append(o)
    order = np.argsort(r, kind='stable')
    return [r[k] for k in order], [occ[k] for k in order]


compared = 0
for name in ['NaCl', 'Li2O', 'MgO', 'CaF2', 'TiO2', 'Al2O3', 'SrTiO3', 'LiCoO2', 'MgAl2O4',
             'Cu2O', 'Li3N', 'ZrO2', 'LiFePO4', 'Na3PS4', 'LiNbO3', 'Li2TiO3', 'NaCoO2',
             'Li3PO4', 'BaF2', 'MgF2']:
    path = f'{DATA}/{name}.cif'
    lat, sites, asym = expanded(path)
    kinds = sorted({(el, os_) for _, el, os_, _, _ in sites})
    for label, el, os_, frac in asym:
        for tc, oc in kinds:
            if oc * os_ >= 0:
                continue
            r, occ = neighbours(lat, sites, label, frac % 1.0, tc, oc)
            ref = shells(r, occ)
            rc, out, err = run(['--cal-cn-atom', path, label, tc, str(oc)])
            got = [[float(a), float(b)] for a, b in
                   re.findall(r'CN:\s+\d+\s+(\d+\.\d+)\s+(\d+\.\d+)\s*$', out, re.M)]
            compared += 1
            ok = rc == 0 and len(got) == len(ref) and all(
                abs(a[0] - b[0]) < 2e-6 and abs(a[1] - b[1]) < 2e-3 for a, b in zip(got, ref))
            if not ok:
                failures.append(f'{name} {label}-{tc}{oc}: velmora {got} reference {ref}')
print(f'independent shell rule: {compared} centre/counter-ion pairs compared')

if failures:
    print('FAILED:')
    for f in failures:
        print('  ' + f)
    sys.exit(1)
print('all coordination checks passed')

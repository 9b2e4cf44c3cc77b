"""Coordination numbers of velmora.x (--cal-cn: first shell of all
counter-ions) against pymatgen's neighbour finders on the COD structures.

For every ordered structure pymatgen reads with oxidation states, and every
symmetry-distinct cation and anion site, the first-shell coordination number
of velmora.x is compared with the number of counter-ion neighbours that each
pymatgen finder reports.  Prints the agreement per finder and exits non-zero
when the best finder agrees on fewer than MIN_AGREEMENT of the sites.
Usage: velmora_cn_pymatgen.py VELMORA CODDIR [EVERY]
"""
import glob
import os
import re
import subprocess
import sys
import warnings

import gemmi
import numpy as np

warnings.filterwarnings('ignore')
from pymatgen.analysis import local_env  # noqa: E402
from pymatgen.io.cif import CifParser  # noqa: E402

VELMORA, COD = sys.argv[1], sys.argv[2]
EVERY = int(sys.argv[3]) if len(sys.argv) > 3 else 1
MIN_AGREEMENT = 0.8

FINDERS = {
    'CrystalNN': local_env.CrystalNN(cation_anion=True),
    'MinimumDistanceNN': local_env.MinimumDistanceNN(cutoff=10.0),
    'VoronoiNN': local_env.VoronoiNN(cutoff=10.0),
    'BrunnerNN_relative': local_env.BrunnerNN_relative(cutoff=10.0),
}


def charge(species):
    return getattr(species, 'oxi_state', 0) or 0


def counter_ions(structure, i, finder):
    """Neighbours of site i of opposite charge."""
    q = charge(structure[i].specie)
    n = 0
    for nn in finder.get_nn_info(structure, i):
        if charge(nn['site'].specie) * q < 0:
            n += 1
    return n


def velmora_cn(path, label):
    p = subprocess.run([VELMORA, '--cal-cn', path, label], capture_output=True, text=True)
    m = re.search(r'CN: Coordination Number:\s+(\S+)', p.stdout)
    return float(m.group(1)) if p.returncode == 0 and m else None


def asym_sites(path):
    """Labels and fractional positions of the listed sites (gemmi)."""
    st = gemmi.read_small_structure(path)
    return [(s.label, np.array(s.fract.tolist())) for s in st.sites]


def site_index(structure, frac):
    lat = structure.lattice.matrix
    for i, site in enumerate(structure):
        d = (site.frac_coords - frac + 0.5) % 1.0 - 0.5
        if np.linalg.norm(d @ lat) < 2e-3:
            return i
    return None


def with_oxidation_states(structure):
    if all(charge(s.specie) != 0 for s in structure):
        return structure
    from pymatgen.analysis.bond_valence import BVAnalyzer
    return BVAnalyzer().get_oxi_state_decorated_structure(structure)


files = sorted(glob.glob(os.path.join(COD, '*.cif')))[::EVERY]
agree = {k: 0 for k in FINDERS}
sites = 0
structures = 0
disagreements = []
for path in files:
    try:
        structure = CifParser(path).get_structures(primitive=False)[0]
        if not structure.is_ordered or len(structure) > 200:
            continue
        structure = with_oxidation_states(structure)
        listed = asym_sites(path)
    except Exception:
        continue
    if any(charge(s.specie) == 0 for s in structure):
        continue
    structures += 1
    for label, frac in listed:
        i = site_index(structure, frac)
        if i is None:
            continue
        cn = velmora_cn(path, label)
        if cn is None:
            continue
        sites += 1
        row = []
        for name, finder in FINDERS.items():
            try:
                ref = counter_ions(structure, i, finder)
            except Exception:
                ref = -1
            row.append((name, ref))
            if abs(cn - ref) < 1e-6:
                agree[name] += 1
        if all(abs(cn - ref) > 1e-6 for _, ref in row):
            disagreements.append((os.path.basename(path), label, cn, row))

print(f'pymatgen comparison: {structures} structures, {sites} sites')
for name in FINDERS:
    print(f'  {name:20s} agrees on {agree[name]:4d} sites ({agree[name] / max(sites, 1):.1%})')
for d in disagreements[:15]:
    print('  no finder agrees:', d)
best = max(agree.values()) / max(sites, 1)
if sites == 0 or best < MIN_AGREEMENT:
    print('FAILED: agreement below', MIN_AGREEMENT)
    sys.exit(1)

"""GULP input of velmora.x read and evaluated independently
(velmora_gulp_eval.py, written from GULP's pair forms): for each structure
the .gin file of --gen-gin must hold the structure's atoms (count and
composition of a whole supercell), be neutral, and give the energy that
--cal-tot-en prints for the structure, scaled by the supercell's size.
Usage: velmora_gin_check.py VELMORA WORKDIR CIF...
"""
import collections
import os
import re
import shutil
import subprocess
import sys

import gemmi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import velmora_gulp_eval as g  # noqa: E402

VELMORA, WORK = sys.argv[1], sys.argv[2]
os.chdir(WORK)
failures = []
SF = '0.75'


def run(args):
    p = subprocess.run([VELMORA] + args, capture_output=True, text=True)
    if p.returncode != 0:
        failures.append(f'{args}: exit {p.returncode}: {p.stderr[-300:]}')
    return p.stdout


def composition(path):
    """Atoms per element in the unit cell, by gemmi's own expansion."""
    st = gemmi.read_small_structure(path)
    count = collections.Counter()
    for site in st.get_all_unit_cell_sites():
        count[site.element.name] += site.occ
    return count, st.cell.volume


for cif in sys.argv[3:]:
    base = os.path.basename(cif)[:-4]
    shutil.copy(cif, base + '.cif')
    run(['--gen-gin', base + '.cif', SF])
    total = float(re.search(r'total energy = (\S+) eV',
                            run(['--cal-tot-en', base + '.cif', SF])).group(1))
    gin = g.parse(g.read_text(base + '.gin'))
    model = g.Model(gin)
    lat, labels, cart = g.structure(gin)
    # The supercell holds a whole number of cells with the cell's atoms.
    cell_count, cell_volume = composition(base + '.cif')
    cells = abs(lat[0] @ __import__('numpy').cross(lat[1], lat[2])) / cell_volume
    written = collections.Counter(re.match(r'[A-Z][a-z]?', lab).group(0) for lab in labels)
    expected = {el: n * round(cells) for el, n in cell_count.items()}
    if abs(cells - round(cells)) > 1e-3 or written != collections.Counter(
            {el: round(n) for el, n in expected.items()}):
        failures.append(f'{base}: {dict(written)} in {cells:.3f} cells, expected {expected}')
    if gin['count'] != len(labels):
        failures.append(f'{base}: "fractional {gin["count"]}" but {len(labels)} atom lines')
    charge = sum(model.q[lab] for lab in labels)
    # Charges are written with 8 decimals.
    if abs(charge) > 6e-9 * len(labels):
        failures.append(f'{base}: total charge {charge}')
    energy = g.energy(model, lat, labels, cart)
    per_atom = abs(energy - total * round(cells)) / len(labels)
    print(f'{base}: {len(labels)} atoms ({round(cells)} cells), GULP-form energy {energy:.6f} eV, '
          f'--cal-tot-en x {round(cells)} = {total * round(cells):.6f} eV, '
          f'difference {per_atom:.1e} eV/atom, charge {charge:.1e}')
    # The parameters are written with 6 decimals.
    if per_atom > 2e-6:
        failures.append(f'{base}: energies differ by {per_atom} eV per atom')

if failures:
    print('FAILED:')
    for f in failures:
        print('  ' + f)
    sys.exit(1)

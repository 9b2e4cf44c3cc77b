"""The LAMMPS input of velmora.x --gen-lammps evaluated by LAMMPS itself.

For each structure: LAMMPS' potential energy of the exported cell (`run 0`)
against --cal-tot-en of the same atoms (the data file turned back into a P1
CIF here, by hand) and, for a fully occupied structure, against
--cal-tot-en of the CIF itself times the number of cells; then every atom
displaced at random by up to 0.1 A along each axis, LAMMPS' forces on every
atom against velmora's (the first frame of --rx-sd, in eV/A), and both
energies again.

Usage: velmora_lammps_check.py VELMORA LMP WORKDIR CIF:ION:OS:SF:SUPERCELL:FULL ...
(FULL is 1 when every site of the CIF is fully occupied).
"""
import os
import re
import shutil
import subprocess
import sys

import numpy as np

VELMORA, LMP, WORK = sys.argv[1:4]
ENERGY_TOL = 1e-5   # eV per atom
FORCE_TOL = 1e-4    # eV/A
failures = []


def run(cmd, what):
    p = subprocess.run(cmd, capture_output=True, text=True)
    if p.returncode != 0:
        failures.append(f'{what}: exit {p.returncode}: {(p.stdout + p.stderr)[-400:]}')
    return p.stdout


def read_data(path):
    """Box (rows a, b, c), the species label of each type and the atoms
    (id, type, position) of a LAMMPS data file."""
    text = open(path).read().splitlines()
    box = dict(xy=0.0, xz=0.0, yz=0.0)
    labels, atoms, section = {}, [], None
    for line in text[1:]:
        w = line.split()
        if not w:
            continue
        if w[-2:] == ['xlo', 'xhi']:
            box['lx'] = float(w[1]) - float(w[0])
        elif w[-2:] == ['ylo', 'yhi']:
            box['ly'] = float(w[1]) - float(w[0])
        elif w[-2:] == ['zlo', 'zhi']:
            box['lz'] = float(w[1]) - float(w[0])
        elif w[-3:] == ['xy', 'xz', 'yz']:
            box['xy'], box['xz'], box['yz'] = map(float, w[:3])
        elif w[0] in ('Masses', 'Atoms'):
            section = w[0]
        elif section == 'Masses':
            labels[int(w[0])] = w[3]            # "1 6.94 # Li1+"
        elif section == 'Atoms':
            atoms.append((int(w[0]), int(w[1]), np.array(list(map(float, w[2:5])))))
    lattice = np.array([[box['lx'], 0, 0], [box['xy'], box['ly'], 0],
                        [box['xz'], box['yz'], box['lz']]])
    return lattice, labels, atoms


def write_data(path, template, atoms):
    """The data file `template` with the atoms' positions replaced."""
    out, section = [], None
    pos = {i: x for i, _, x in atoms}
    for line in open(template).read().splitlines():
        w = line.split()
        if w and w[0] in ('Masses', 'Atoms'):
            section = w[0]
        elif section == 'Atoms' and len(w) == 5:
            x = pos[int(w[0])]
            line = '%s %s %.12f %.12f %.12f' % (w[0], w[1], *x)
        out.append(line)
    open(path, 'w').write('\n'.join(out) + '\n')


def write_cif(path, lattice, labels, atoms):
    """A P1 CIF of the atoms, labelled by their LAMMPS ids."""
    length = np.linalg.norm(lattice, axis=1)
    angle = [np.degrees(np.arccos(lattice[j] @ lattice[k] / (length[j] * length[k])))
             for j, k in ((1, 2), (2, 0), (0, 1))]
    frac = np.array([x for _, _, x in atoms]) @ np.linalg.inv(lattice)
    rows = ['data_lammps', *('_cell_length_%s %.12f' % (n, v) for n, v in zip('abc', length)),
            *('_cell_angle_%s %.12f' % (n, v) for n, v in zip(('alpha', 'beta', 'gamma'), angle)),
            "_symmetry_space_group_name_H-M 'P 1'", 'loop_', '_symmetry_equiv_pos_as_xyz',
            'x,y,z', 'loop_', '_atom_site_label', '_atom_site_type_symbol',
            '_atom_site_fract_x', '_atom_site_fract_y', '_atom_site_fract_z',
            '_atom_site_occupancy']
    for (i, t, _), f in zip(atoms, frac):
        element = re.match(r'[A-Z][a-z]?', labels[t]).group(0)
        rows.append('%s%d %s %.12f %.12f %.12f 1' % (element, i, labels[t], *f))
    open(path, 'w').write('\n'.join(rows) + '\n')


def lammps(base, *settings):
    """Runs base.in with `settings` (-var pairs); the cell energy printed."""
    out = run([LMP, '-log', 'none', '-in', base + '.in', '-var', 't_equil', '0',
               '-var', 't_end', '0', *settings], f'lmp {base} {settings}')
    m = re.search(r'LAMMPS: potential energy of the cell = (\S+) eV', out)
    return float(m.group(1)) if m else float('nan')


def read_forces(path):
    """Positions and forces of a LAMMPS custom dump (id type element x y z fx fy fz)."""
    lines = open(path).read().splitlines()
    start = next(k for k, l in enumerate(lines) if l.startswith('ITEM: ATOMS')) + 1
    rows = [l.split() for l in lines[start:] if l.strip()]
    return ([r[2] for r in rows], np.array([[float(v) for v in r[3:6]] for r in rows]),
            np.array([[float(v) for v in r[6:9]] for r in rows]))


def velmora_forces(cif, sf):
    """Energy, elements, positions and forces (eV/A) of velmora's first
    relaxation frame: the structure as read."""
    run([VELMORA, '--rx-sd', cif, '1', '0', '0', '0', sf, 'rx.cif'], f'--rx-sd {cif}')
    lines = open('rx.xyz').read().splitlines()
    n = int(lines[0])
    energy = float(re.search(r'energy=(\S+)', lines[1]).group(1))
    rows = [l.split() for l in lines[2:2 + n]]
    return (energy, [r[0] for r in rows], np.array([[float(v) for v in r[1:4]] for r in rows]),
            np.array([[float(v) for v in r[4:7]] for r in rows]))


def match(lattice, el_a, x_a, el_b, x_b):
    """Index into b of each atom of a: same element, same place up to a
    lattice vector (within 1e-4 A)."""
    inv = np.linalg.inv(lattice)
    order = []
    for e, x in zip(el_a, x_a):
        d = (x_b - x) @ inv
        d = (d - np.round(d)) @ lattice
        dist = np.linalg.norm(d, axis=1)
        k = int(np.argmin(np.where([e == f for f in el_b], dist, np.inf)))
        if dist[k] > 1e-4:
            failures.append(f'no velmora atom at {x} ({e})')
        order.append(k)
    return order


def cal_tot_en(cif, sf):
    out = run([VELMORA, '--cal-tot-en', cif, sf], f'--cal-tot-en {cif}')
    m = re.search(r'total energy = (\S+) eV', out)
    return float(m.group(1)) if m else float('nan')


def check(label, a, b, n, tol, unit):
    diff = abs(a - b) / n
    print(f'  {label}: {a:.8f} against {b:.8f} ({diff:.1e} {unit})')
    if not diff <= tol:
        failures.append(f'{label}: {a} against {b}, {diff} {unit} per atom')


os.chdir(WORK)
rng = np.random.default_rng(7)
for spec in sys.argv[4:]:
    cif, ion, os_, sf, supercell, full = spec.split(':')
    base = os.path.basename(cif)[:-4]
    shutil.copy(cif, base + '.cif')
    print(f'{base}: {ion}{os_}+, sf {sf}, supercell {supercell}')
    run([VELMORA, '--gen-lammps', base + '.cif', ion, os_, sf, supercell, '800', base,
         '--seed', '11'], f'--gen-lammps {base}')
    # The screening factor used (searched when SF is not positive).
    sf = re.search(r'sf = (\S+)\.  ', open(base + '.in').read()).group(1)
    lattice, labels, atoms = read_data(base + '.data')
    n = len(atoms)
    e_lmp = lammps(base)
    write_cif(base + '_atoms.cif', lattice, labels, atoms)
    check('energy, LAMMPS against --cal-tot-en of the data file\'s atoms', e_lmp,
          cal_tot_en(base + '_atoms.cif', sf), n, ENERGY_TOL, 'eV/atom')
    if full == '1':
        # The CIF's own energy, with the screening factor asked for (or
        # searched again on the CIF).
        cells = np.prod([int(v) for v in supercell.split('x')])
        check(f'energy, LAMMPS against --cal-tot-en of the CIF x {cells}', e_lmp,
              cal_tot_en(base + '.cif', spec.split(':')[3]) * cells, n, ENERGY_TOL, 'eV/atom')
    # A displaced configuration: energies and every atom's force.
    moved = [(i, t, x + rng.uniform(-0.1, 0.1, 3)) for i, t, x in atoms]
    write_data(base + '_moved.data', base + '.data', moved)
    write_cif(base + '_moved.cif', lattice, labels, moved)
    e_moved = lammps(base, '-var', 'data', base + '_moved.data', '-var', 'forces', '1',
                     '-var', 'out', base + '_moved')
    el_l, x_l, f_l = read_forces(base + '_moved.forces')
    e_v, el_v, x_v, f_v = velmora_forces(base + '_moved.cif', sf)
    check('displaced energy, LAMMPS against velmora', e_moved, e_v, n, ENERGY_TOL, 'eV/atom')
    f_v = f_v[match(lattice, el_l, x_l, el_v, x_v)]
    worst = np.max(np.abs(f_l - f_v))
    print(f'  forces of {n} displaced atoms: largest |F| {np.max(np.abs(f_l)):.3f} eV/A, largest '
          f'difference {worst:.1e} eV/A; net force {np.abs(f_l.sum(axis=0)).max():.1e} eV/A')
    if not worst <= FORCE_TOL:
        failures.append(f'{base}: forces differ by {worst} eV/A')
    # Pair forces cancel: the net force on the cell is zero.
    if not np.abs(f_l.sum(axis=0)).max() < 1e-6 * n:
        failures.append(f'{base}: net LAMMPS force {f_l.sum(axis=0)}')

if failures:
    print('FAILED:')
    for f in failures:
        print('  ' + f)
    sys.exit(1)

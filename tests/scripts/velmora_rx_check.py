"""Relaxations of velmora.x against independent computations.

  scipy   STRUCTURE...: --rx-sd with a tight force criterion against a BFGS
          minimisation (scipy) of the same force field written from GULP's
          pair forms (the library --gen-gin-lib writes), from the same start;
  mgo     CIF: a lattice-only relaxation at a fixed screening factor against
          the minimum of an E(a) scan of --cal-tot-en;
  hop     XYZ: the band of a vacancy hop between mirror-image ends is
          symmetric within 1 meV with its highest image in the middle;
  ase     XYZ...: ASE reads every frame with cell, periodicity and energy.
Usage: velmora_rx_check.py VELMORA WORKDIR MODE ARGS...
"""
import os
import re
import shutil
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import velmora_gulp_eval as g  # noqa: E402

VELMORA, WORK, MODE = sys.argv[1], sys.argv[2], sys.argv[3]
ARGS = sys.argv[4:]
os.chdir(WORK)
failures = []


def run(args):
    p = subprocess.run([VELMORA] + args, capture_output=True, text=True)
    if p.returncode != 0:
        failures.append(f'{args}: exit {p.returncode}: {p.stderr[-300:]}')
    return p.stdout


def wrap(lat, d):
    f = d @ np.linalg.inv(lat)
    return (f - np.round(f)) @ lat


if MODE == 'scipy':
    for cif in ARGS:
        base = os.path.basename(cif)[:-4]
        shutil.copy(cif, base + '.cif')
        run(['--rx-sd', base + '.cif', '0', '0', '1e-7', '0', '0.75', base + '.rx.cif'])
        run(['--gen-gin-lib', base + '.cif', '0.75', base + '.lib'])
        model = g.Model(g.parse(g.read_text(base + '.lib')))
        frames = g.read_xyz_frames(base + '.rx.xyz')
        lat, sym, start, _ = frames[0]
        end = frames[-1][2]
        label = {re.match(r'[A-Z][a-z]?', k).group(0): k for k in model.q}
        labels = [label[s] for s in sym]
        best, res = g.minimise(model, lat, labels, start, [True] * len(labels))
        # A rigid translation costs nothing: compare the displacements with
        # their mean taken off.
        mine, ref = wrap(lat, end - start), wrap(lat, best - start)
        mine -= mine.mean(axis=0)
        ref -= ref.mean(axis=0)
        diff = np.abs(mine - ref).max()
        print(f'{base}: largest move {np.abs(ref).max():.4f} A, velmora vs scipy {diff:.2e} A, '
              f'energy {float(frames[-1][3]["energy"]):.6f} vs {res.fun:.6f} eV')
        if diff > 1e-3:
            failures.append(f'{base}: relaxed positions differ by {diff} A')
elif MODE == 'mgo':
    cif = ARGS[0]
    shutil.copy(cif, 'MgO.cif')
    sf = '0.70'
    run(['--rx-sd', 'MgO.cif', '-300', '1', '0', '1e-7', sf, 'MgO.rx.cif'])
    a_rx = np.linalg.norm(g.read_xyz_frames('MgO.rx.xyz')[-1][0][0])
    text = open('MgO.cif').read()
    a0 = float(re.search(r'_cell_length_a\s+(\S+)', text).group(1))
    grid = a_rx + np.linspace(-0.02, 0.02, 17)
    energy = []
    for k, a in enumerate(grid):
        name = f'MgO_{k}.cif'
        with open(name, 'w') as f:
            f.write(re.sub(r'(_cell_length_[abc])\s+\S+', lambda m: f'{m.group(1)} {a:.6f}', text))
        out = run(['--cal-tot-en', name, sf])
        energy.append(float(re.search(r'total energy = (\S+) eV', out).group(1)))
    c = np.polyfit(grid - a_rx, energy, 4)
    roots = [r.real for r in np.roots(np.polyder(c)) if abs(r.imag) < 1e-12 and abs(r) < 0.02]
    a_scan = a_rx + min(roots, key=abs)
    print(f'MgO at sf {sf}: relaxed a = {a_rx:.5f} A, E(a) minimum at {a_scan:.5f} A '
          f'(start {a0} A)')
    if abs(a_rx - a_scan) > 1e-3 or abs(a_rx - a0) < 1e-3:
        failures.append(f'MgO: relaxed a {a_rx} against scan minimum {a_scan}')
elif MODE == 'hop':
    frames = g.read_xyz_frames(ARGS[0])
    en = [float(f[3]['energy']) for f in frames]
    n = len(en)
    asym = max(abs(en[k] - en[n - 1 - k]) for k in range(n))
    print('hop profile (eV):', ' '.join(f'{e - en[0]:.4f}' for e in en), f'asymmetry {asym:.2e}')
    if asym > 1e-3 or int(np.argmax(en)) != n // 2 or not en[n // 2] > en[0] + 0.05:
        failures.append(f'hop profile not symmetric with its top in the middle: {en}')
elif MODE == 'ase':
    import ase.io
    for path in ARGS:
        frames = ase.io.read(path, index=':')
        mine = g.read_xyz_frames(path)
        ok = len(frames) == len(mine) and len(frames) > 0
        for atoms, (lat, sym, pos, info) in zip(frames, mine):
            ok = ok and np.allclose(atoms.cell[:], lat) and all(atoms.pbc)
            ok = ok and abs(atoms.get_potential_energy() - float(info['energy'])) < 1e-9
            ok = ok and atoms.get_chemical_symbols() == sym and np.allclose(atoms.positions, pos)
            ok = ok and atoms.get_forces().shape == (len(sym), 3)
        print(f'{path}: ASE reads {len(frames)} frames')
        if not ok:
            failures.append(f'{path}: ASE disagrees')

if failures:
    print('FAILED:')
    for f in failures:
        print('  ' + f)
    sys.exit(1)

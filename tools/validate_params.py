#!/usr/bin/python3
"""Validation report of the force-field data files on the bundled set of
well-determined ordered structures (tests/data/validation/*.cif).

For every structure: bond-valence sums per species against the oxidation
state, the global instability index, the automatic screening factor and the
total energy, computed by the independent reference (tools/bvref.py) and,
when bin/velmora.x can do it, by velmora.x itself.  For every cation-anion
pair used: rmin against the mean observed bond length at the pair's
reference coordination number (COD statistics, Gagne 2021 for nitrides) and
against the mean first-shell bond length in the bundled structures; the same
comparison for every pair of the data files with COD statistics.  With
velmora.x: the landscape of every mobile ion of every structure (lowest
voxel against the occupied sites, sites as local minima, lowest interstitial
minimum), the site-minimum rates of the ordered Li and Na compounds, and
optionally the screening-factor search and the same rates on a directory of
CIFs (the COD set).  Ends with the targets and whether they hold.

Usage: validate_params.py [--data DIR] [--velmora PATH] [--no-velmora]
                          [--no-energy] [--no-landscape] [--cod DIR]
                          [--cod-every N] [CIF ...]
  --data DIR      data files to test (default bin/)
  --velmora PATH  velmora.x to run (default bin/velmora.x); it reads the data
                  files beside it, which must equal those of --data
  --no-velmora    reference numbers only
  --no-energy     no screening factors and total energies
  --no-landscape  no landscapes of the mobile ions
  --cod DIR       also the screening-factor search on the CIFs of DIR and the
                  site-minimum rates of its ordered Li and Na compounds
  --cod-every N   only every N-th of those CIFs (name order)
"""
import glob
import math
import os
import concurrent.futures
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import bvdata
import bvref

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, '..'))
SET = os.path.join(ROOT, 'tests', 'data', 'validation')

# Filled by main(): the numbers behind the targets, for tests.
SUMMARY = {}

TARGET_BVS = 0.15        # mean |BVS - os| of every species over the set, v.u.
TARGET_GII = 0.20        # GII below this ...
TARGET_GII_SHARE = 0.90  # ... for this share of the structures
TARGET_RMIN = 0.05       # |rmin / observed - 1|
SF_RANGE = (0.5, 1.0)


def observed_length_at_cn(table, cn):
    """Mean bond length at a (non-integer) coordination number: linear
    interpolation between the nearest tabulated CNs on either side (each
    with at least 10 bonds), else the nearest one."""
    pts = sorted((c, v[1]) for c, v in table.items() if v[0] >= 10)
    if not pts:
        return None
    lo = [p for p in pts if p[0] <= cn]
    hi = [p for p in pts if p[0] >= cn]
    if lo and hi:
        (c1, l1), (c2, l2) = lo[-1], hi[0]
        return l1 if c1 == c2 else l1 + (l2 - l1) * (cn - c1) / (c2 - c1)
    return (lo[-1] if lo else hi[0])[1]


def first_shell_lengths(cell, par):
    """Per (cation, anion) species pair: the cation-anion distances of the
    first shell of every cation atom (all anions closer than 1.25 times the
    shortest distance of that cation to the same anion species)."""
    out = {}
    T = bvref.translations(cell.lattice, 4.0, 2.0)
    cart = cell.cart
    for a in range(len(cell.types)):
        if cell.os[a] <= 0:
            continue
        by_anion = {}
        for b in range(len(cell.types)):
            if cell.os[b] >= 0:
                continue
            d = np.linalg.norm(cart[b] + T - cart[a], axis=1)
            d = d[d > 0.3]
            by_anion.setdefault((cell.types[b], int(cell.os[b])), []).extend(d.tolist())
        for an, ds in by_anion.items():
            dmin = min(ds)
            shell = [x for x in ds if x <= 1.25 * dmin]
            out.setdefault(((cell.types[a], int(cell.os[a])), an), []).extend(shell)
    return out


def run_velmora(exe, cif, args, timeout=600):
    try:
        p = subprocess.run([exe] + args + ([cif] if cif else []), capture_output=True, text=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, str(e)
    return p.stdout + p.stderr, None


def velmora_numbers(exe, cif, energy):
    """sf, GII, total energy and BV sums per site label as velmora.x prints
    them; None where the command is not available."""
    res = {}
    out, err = run_velmora(exe, cif, ['--cal-bv'])
    if out:
        m = re.search(r'GII: Global instability index = ([-0-9.naninf]+)', out)
        res['gii'] = float(m.group(1)) if m else None
        sums = {}
        for line in out.splitlines():
            w = line.split()
            if len(w) == 5 and w[0] == 'BV:' and re.match(r'^-?\d+\.\d{6}$', w[4]):
                sums[w[1]] = float(w[4])
        res['bvs'] = sums
    if energy:
        # velmora.x takes the CIF as argv[2]; the screening factor search runs
        out, err = run_velmora(exe, cif, ['--cal-tot-en'])
        if out:
            m = re.search(r'final screening factor = ([-0-9.]+)', out)
            res['sf'] = float(m.group(1)) if m else None
            res['sf_default'] = 'Default value used' in out or 'default screening factor used' in out
            m = re.search(r'total energy = ([-0-9.einfa+]+) eV', out)
            res['energy'] = float(m.group(1)) if m else None
    return res


# Ions that can be mobile in the structures of the set: the landscape check
# runs for every one of them that a structure contains.
MOBILE = [('Li', 1), ('Na', 1), ('K', 1), ('Ag', 1), ('Cu', 1), ('Mg', 2)]
BOHR = 1.889725989          # bohr per Angstrom, as in the cube files
CUBE_RESOLUTION = 0.2       # Angstrom; a 0.2 A grid resolves sites 1 A apart
# A local minimum of the grid farther than this from every occupied site of
# the mobile ion is an interstitial site (a site voxel lies within 0.2 A).
INTERSTITIAL_DISTANCE = 0.5


def read_cube(path):
    """Voxel counts and energies (eV, first axis outermost) of a cube file
    as velmora.x writes it."""
    with open(path) as f:
        lines = f.read().split('\n')
    natoms = abs(int(lines[2].split()[0]))
    n = [int(lines[3 + k].split()[0]) for k in range(3)]
    vals = np.array(' '.join(lines[6 + natoms:]).split(), dtype=float)
    if vals.size != n[0] * n[1] * n[2]:
        raise ValueError('%s: %d values for %s voxels' % (path, vals.size, n))
    return vals.reshape(n)


# Site-minimum rates: an occupied site counts as a minimum of the landscape
# when a local minimum of the grid lies within SITE_REACH of it (1.5 voxels
# of the 0.2 A grid), and the global minimum counts as one of the sites when
# the lowest voxel within SITE_REACH of a site is at most SITE_WINDOW above
# it (about 2 kT at room temperature).
SITE_REACH = 0.3
SITE_WINDOW = 0.05
# Mobile ions whose ordered compounds the rates are taken over.
RATE_IONS = [('Li', 1), ('Na', 1)]


def site_minimum_check(e, lattice, sites):
    """For the landscape e of a mobile ion and its occupied sites
    (fractional): the distance from every site to the nearest local minimum
    of the grid (minimum image, A), and the lowest voxel within SITE_REACH
    of a site above the lowest voxel of the grid (eV)."""
    n = np.array(e.shape)
    lattice = np.asarray(lattice, dtype=float)
    frac = np.argwhere(grid_local_minima(e)) / n
    step = np.linalg.norm(lattice, axis=1) / n
    span = np.ceil(SITE_REACH / step).astype(int) + 1
    offsets = np.array([(i, j, k) for i in range(-span[0], span[0] + 1)
                        for j in range(-span[1], span[1] + 1)
                        for k in range(-span[2], span[2] + 1)])
    dist, near = [], np.inf
    for f in sites:
        f = np.asarray(f, dtype=float)
        df = frac - f
        df -= np.rint(df)
        dist.append(float(np.linalg.norm(df @ lattice, axis=1).min()) if len(frac) else np.inf)
        vox = np.rint(f * n).astype(int) + offsets
        inside = np.linalg.norm((vox / n - f) @ lattice, axis=1) <= SITE_REACH
        idx = vox[inside] % n
        near = min(near, float(e[idx[:, 0], idx[:, 1], idx[:, 2]].min()))
    return {'site_dist': dist, 'every_site_minimum': all(d <= SITE_REACH for d in dist),
            'near_de': near - float(e.min()), 'global_at_site': near - float(e.min()) <= SITE_WINDOW}


def grid_local_minima(e):
    """Boolean grid: voxels not higher than any of their 26 neighbours
    (periodic grid)."""
    out = np.ones(e.shape, dtype=bool)
    for di in (-1, 0, 1):
        for dj in (-1, 0, 1):
            for dk in (-1, 0, 1):
                if di or dj or dk:
                    out &= e <= np.roll(e, (di, dj, dk), axis=(0, 1, 2))
    return out


def landscape_check(e, lattice, sites):
    """The landscape e of a mobile ion against the occupied sites of that
    ion (fractional coordinates): the lowest voxel, the lowest voxel within
    one voxel of a site (the site voxel is the one nearest to the site), how
    many sites are local minima of the grid allowing one voxel of slack (some
    voxel within one voxel of the site voxel is not higher than its 26
    neighbours), and the lowest interstitial minimum (a local minimum farther
    than INTERSTITIAL_DISTANCE from every site)."""
    n = np.array(e.shape)
    is_min = grid_local_minima(e)
    site_e, site_ok = [], 0
    for f in sites:
        c = np.rint(np.asarray(f) * n).astype(int)
        idx = [(c + (di, dj, dk)) % n for di in (-1, 0, 1) for dj in (-1, 0, 1) for dk in (-1, 0, 1)]
        site_e.append(min(e[tuple(i)] for i in idx))
        site_ok += any(is_min[tuple(i)] for i in idx)
    gmin = float(e.min())
    gpos = np.array(np.unravel_index(int(np.argmin(e)), e.shape)) / n
    # interstitial minima: distance (minimum image) to the nearest site
    mins = np.argwhere(is_min)
    fr = mins / n
    d = np.full(len(mins), np.inf)
    for f in sites:
        df = fr - np.asarray(f)
        df -= np.rint(df)
        d = np.minimum(d, np.linalg.norm(df @ lattice, axis=1))
    inter = [(float(e[tuple(m)]), fr[k], float(d[k])) for k, m in enumerate(mins)
             if d[k] > INTERSTITIAL_DISTANCE]
    best = min(inter, key=lambda x: x[0]) if inter else None
    s_min = min(site_e)
    return {'gmin': gmin, 'gmin_frac': gpos, 'site_min': float(s_min),
            'at_site': s_min - gmin < 1e-6, 'sites': len(sites), 'site_minima': site_ok,
            'inter_e': best[0] - s_min if best else None,
            'inter_frac': best[1] if best else None, 'inter_dist': best[2] if best else None}


def rmin_survey(data_dir, cod):
    """rmin of every cation-anion pair of the data files with COD bond-length
    statistics (oxides, fluorides, nitrides) against the COD mean bond length
    at the pair's reference coordination number.  In a structure with one
    anion the effective b equals the tabulated b, so rmin follows from the
    two files alone.  Returns the list of relative deviations."""
    uni, _ = bvref.read_unitary(os.path.join(data_dir, 'database_unitary.dat'))
    pairs = bvref.read_binary(os.path.join(data_dir, 'database_binary.dat'))
    out = []
    for (c, q, a, qa), p in sorted(pairs.items()):
        table = cod.get((c, q, a))
        if (c, q) not in uni or (a, qa) not in uni or not table:
            continue
        ref = observed_length_at_cn(table, p['cn'])
        if ref is None:
            continue
        rmin = (p['r0'] * (0.9185 + 0.2285 * abs(uni[(a, qa)]['soft'] - uni[(c, q)]['soft']))
                - p['b'] * math.log(q / p['cn']))
        out.append(rmin / ref - 1.0)
    return out


def make_cube(exe, cif, ion, out):
    """velmora.x --gen-cube for the mobile ion with the defaults but the
    resolution (automatic screening factor, ions of that species ignored);
    returns velmora's output text, or None."""
    text, err = run_velmora(exe, None, ['--gen-cube', cif, ion[0], str(ion[1]), '-1',
                                        str(CUBE_RESOLUTION), 't', 't', out])
    return text


def landscape(cube, text, cell, ion):
    """The landscape check of a cube against the ion's occupied sites, with
    the screening factor velmora.x used.  None when there is no cube."""
    if text is None or not os.path.exists(cube):
        return None
    e = read_cube(cube)
    os.remove(cube)
    sites = [cell.frac[k] for k in range(len(cell.types))
             if (cell.types[k], int(cell.os[k])) == ion]
    r = landscape_check(e, cell.lattice, sites)
    r.update(site_minimum_check(e, cell.lattice, sites))
    r['ordered'] = bool(np.all(np.abs(np.asarray(cell.occ) - 1.0) < 1e-3))
    m = re.search(r'final screening factor = ([-0-9.]+)', text)
    r['sf'] = float(m.group(1)) if m else None
    return r


def landscape_jobs(cells, scratch):
    """(name, cif, cell, ion, cube file) for every mobile ion of every
    structure."""
    return [(name, f, cell, ion, os.path.join(scratch, '%s_%s.cube' % (name, ion[0])))
            for name, f, cell in cells for ion in MOBILE
            if ion in set(zip(cell.types, map(int, cell.os)))]


def landscape_section(jobs, texts, title='Landscapes'):
    """Landscape of every mobile ion in every structure of the set, from the
    cubes velmora.x wrote for the jobs (texts: its output per job); prints
    one line per (structure, ion) and returns the results."""
    print()
    print('%s (velmora.x --gen-cube ION OS -1 %.1f): lowest voxel against the occupied sites'
          % (title, CUBE_RESOLUTION))
    hdr = '%-10s %-5s %6s %9s %9s %7s %6s | %9s %5s %-20s' % (
        'structure', 'ion', 'sf', 'E_min/eV', 'E_site', 'dE', 'minima', 'E_int-E_s', 'd/A', 'interstitial (frac)')
    print(hdr)
    print('-' * len(hdr))
    out = []
    for (name, f, cell, ion, cube), text in zip(jobs, texts):
        r = landscape(cube, text, cell, ion)
        label = '%s%+d' % ion
        if r is None:
            print('%-10s %-5s no cube' % (name, label))
            continue
        r.update(name=name, ion=label, d_e=r['site_min'] - r['gmin'])
        out.append(r)
        inter = ('%+9.3f %5.2f (%.3f %.3f %.3f)' % ((r['inter_e'], r['inter_dist']) + tuple(r['inter_frac']))
                 if r['inter_e'] is not None else '%9s' % '-')
        print('%-10s %-5s %6s %9.3f %9.3f %7.3f %3d/%-2d | %s' % (
            name, label, '%.3f' % r['sf'] if r['sf'] else '-', r['gmin'], r['site_min'],
            r['d_e'], r['site_minima'], r['sites'], inter))
    return out


def site_rate_jobs(directory, scratch, data_dir):
    """Landscape jobs for the ordered Li and Na compounds of a directory of
    CIFs (every occupancy 1), as landscape_jobs makes them for the set."""
    jobs = []
    for f in sorted(glob.glob(os.path.join(directory, '*.cif'))):
        try:
            cell = bvref.read_cif(f, data_dir)
        except Exception:  # a file the reference cannot read is left out
            continue
        if not np.all(np.abs(cell.occ - 1.0) < 1e-3):
            continue
        name = 'cod' + os.path.splitext(os.path.basename(f))[0]
        for ion in RATE_IONS:
            if ion in set(zip(cell.types, map(int, cell.os))):
                jobs.append((name, f, cell, ion, os.path.join(scratch, '%s_%s.cube' % (name, ion[0]))))
    return jobs


def site_rates(results, title):
    """Prints and returns the two site-minimum rates over landscape results
    of ordered compounds of the rate ions."""
    rs = [r for r in results if r.get('ordered') and r['ion'] in ('%s%+d' % i for i in RATE_IONS)]
    every = [r for r in rs if r['every_site_minimum']]
    at = [r for r in rs if r['global_at_site']]
    print('  %s: every occupied site a minimum within %.1f A: %d of %d; global minimum at a site '
          'or within %.2f eV of one: %d of %d' % (title, SITE_REACH, len(every), len(rs),
                                                   SITE_WINDOW, len(at), len(rs)))
    miss = ['%s %s %s' % (r['name'], r['ion'],
                          '%.2f A' % max(r['site_dist']) if not r['every_site_minimum'] else '')
            + (' %+.3f eV' % r['near_de'] if not r['global_at_site'] else '') for r in rs
            if not (r['every_site_minimum'] and r['global_at_site'])]
    if miss:
        print('     not: %s' % ', '.join(m.replace('  ', ' ').strip() for m in miss))
    return {'n': len(rs), 'every_site_minimum': len(every), 'global_at_site': len(at),
            'miss': [(r['name'], r['ion']) for r in rs if not (r['every_site_minimum']
                                                            and r['global_at_site'])]}


def cod_files(directory, every=1):
    return sorted(glob.glob(os.path.join(directory, '*.cif')))[::every]


def cod_run(exe, f):
    text, err = run_velmora(exe, f, ['--cal-tot-en'], timeout=300)
    return text or ''


def cod_section(directory, files, texts):
    """Screening-factor search of velmora.x (--cal-tot-en) on CIF files of a
    directory (texts: its output per file): how many structures get a factor
    inside the bounds, how many fall back to the default, and on which side
    they left."""
    count = {'ok': 0, 'out': 0, 'low': 0, 'high': 0, 'other': 0}
    fails = []
    for f, text in zip(files, texts):
        steps = re.findall(r'calculating sf=\s*(\S+); p=\s*(\S+)', text)
        if 'out of bound' in text or 'failed to converge' in text:
            count['out'] += 1
            side = 'low' if steps and float(steps[-1][0]) < 0.75 else 'high'
            count[side] += 1
            fails.append('%s(%s)' % (os.path.splitext(os.path.basename(f))[0], side))
        elif 'final screening factor' in text and 'default screening factor used' not in text:
            count['ok'] += 1
        else:
            count['other'] += 1
    print()
    print('COD set %s: %d files; screening factor in bounds %d, out of bounds %d (low %d, high %d), '
          'no parameters or unreadable %d' % (directory, len(files), count['ok'], count['out'],
                                               count['low'], count['high'], count['other']))
    print('  out of bounds: %s' % ' '.join(fails))
    count['fails'] = fails
    return count


def velmora_usable(exe):
    if not os.path.exists(exe):
        return False
    out, _ = run_velmora(exe, '', ['--cal-bv'], timeout=30)
    return bool(out) and 'Command: --cal-bv' in out


def main(argv):
    SUMMARY.clear()
    data_dir = bvref.DEFAULT_DATA
    exe = os.path.join(ROOT, 'bin', 'velmora.x')
    use_velmora, energy, with_landscape, cod_dir, cod_every = True, True, True, None, 1
    files = []
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == '--data':
            data_dir = args.pop(0)
        elif a == '--velmora':
            exe = args.pop(0)
        elif a == '--no-velmora':
            use_velmora = False
        elif a == '--no-energy':
            energy = False
        elif a == '--no-landscape':
            with_landscape = False
        elif a == '--cod':
            cod_dir = args.pop(0)
        elif a == '--cod-every':
            cod_every = int(args.pop(0))
        else:
            files.append(a)
    files = files or sorted(glob.glob(os.path.join(SET, '*.cif')))
    use_velmora = use_velmora and velmora_usable(exe)
    stale = []
    if use_velmora:
        # velmora.x reads the data files beside its executable: they must be
        # the files under test, or its columns describe other parameters
        for name in ('database_unitary.dat', 'database_binary.dat'):
            mine = os.path.join(data_dir, name)
            its = os.path.join(os.path.dirname(os.path.abspath(exe)), name)
            if not os.path.exists(its) or open(its, 'rb').read() != open(mine, 'rb').read():
                stale.append(name)

    # The runs of velmora.x go to two worker threads at once, so that they
    # overlap the reference computation of the main thread.
    cells = [(os.path.splitext(os.path.basename(f))[0], f, bvref.read_cif(f, data_dir)) for f in files]
    pool = concurrent.futures.ThreadPoolExecutor(2) if use_velmora else None
    scratch = tempfile.mkdtemp(prefix='bv_validation_')
    try:
        return report(pool, scratch, exe, data_dir, cells, use_velmora, energy, with_landscape,
                      cod_dir, cod_every, stale)
    finally:
        if pool:
            pool.shutdown(cancel_futures=True)
        shutil.rmtree(scratch, ignore_errors=True)


def report(pool, scratch, exe, data_dir, cells, use_velmora, energy, with_landscape, cod_dir, cod_every,
           stale):
    """The report proper (see main)."""
    files = [f for _, f, _ in cells]
    vm_jobs = {f: pool.submit(velmora_numbers, exe, f, energy) for f in files} if use_velmora else {}
    cube_jobs = landscape_jobs(cells, scratch) if use_velmora and with_landscape else []
    cube_runs = [pool.submit(make_cube, exe, j[1], j[3], j[4]) for j in cube_jobs]
    cod_list = cod_files(cod_dir, cod_every) if use_velmora and cod_dir else []
    cod_runs = [pool.submit(cod_run, exe, f) for f in cod_list]
    rate_jobs = site_rate_jobs(cod_dir, scratch, data_dir) if use_velmora and cod_dir and with_landscape else []
    rate_runs = [pool.submit(make_cube, exe, j[1], j[3], j[4]) for j in rate_jobs]
    cod = bvdata.cod_bond_lengths()
    nit = bvdata.gagne_nitrogen()

    print('Force-field validation on %d structures (data: %s)' % (len(files), os.path.normpath(data_dir)))
    print('velmora.x: %s' % (exe if use_velmora else 'not used (absent or cannot compute yet)'))
    for name in stale:
        print('WARNING: velmora.x reads another %s than %s' % (name, os.path.normpath(data_dir)))
    print()
    hdr = '%-10s %-6s %5s %8s %7s %7s | %6s %7s %-10s %10s' % (
        'structure', 'species', 'sites', 'BVS', 'os', 'dev', 'GII', 'sf', 'sf_status', 'E_tot/eV')
    if use_velmora:
        hdr += ' | %8s %6s %7s %10s' % ('vBVS', 'vGII', 'vsf', 'vE_tot/eV')
    print(hdr)
    print('-' * len(hdr))
    species_dev = {}
    gii_all, sf_all, energy_all = [], [], []
    pair_rmin, pair_obs = {}, {}
    mismatch = []
    for name, f, cell in cells:
        r = bvref.analyse(f, data_dir, search=energy, energy=energy)
        par = bvref.Params(cell, data_dir)
        for key, ds in first_shell_lengths(cell, par).items():
            pair_obs.setdefault(key, []).extend(ds)
        for p in r['pairs']:
            key = (p['cation'], p['anion'])
            pair_rmin[key] = (p['rmin'], p['cn'])
        vm = vm_jobs[f].result() if use_velmora else {}
        by_species = {}
        for s in r['sites']:
            k = '%s%+d' % (s['type'], s['os'])
            by_species.setdefault(k, []).append(s)
        first = True
        for k, ss in by_species.items():
            w = sum(s['multi'] * s['occ'] for s in ss)
            mean = sum(s['multi'] * s['occ'] * s['sum'] for s in ss) / w
            dev = sum(s['multi'] * s['occ'] * abs(s['sum'] - s['os']) for s in ss) / w
            species_dev.setdefault(k, []).append(dev)
            line = '%-10s %-6s %5d %8.3f %7d %7.3f' % (name if first else '', k, len(ss), mean, ss[0]['os'], dev)
            if first:
                line += ' | %6.3f %7s %-10s %10s' % (r['gii'], '%.4f' % r['sf'] if 'sf' in r else '-',
                                                  r.get('sf_status', '-')[:10],
                                                  '%.4f' % r['energy'] if 'energy' in r else '-')
            else:
                line += ' | %6s %7s %-10s %10s' % ('', '', '', '')
            if use_velmora:
                # velmora.x prints one sum per site: compare site by site and
                # weight the species mean by multiplicity and occupancy as above
                pairs = [(s, vm.get('bvs', {}).get(s['label'])) for s in ss]
                pairs = [(s, v) for s, v in pairs if v is not None]
                wv = sum(s['multi'] * s['occ'] for s, _ in pairs)
                vmean = ('%8.3f' % (sum(s['multi'] * s['occ'] * v for s, v in pairs) / wv)
                         if pairs and wv > 0 else '%8s' % '-')
                if first:
                    line += ' | %s %6s %7s %10s' % (
                        vmean, '%.3f' % vm['gii'] if vm.get('gii') is not None else '-',
                        '%.4f' % vm['sf'] if vm.get('sf') is not None else '-',
                        '%.4f' % vm['energy'] if vm.get('energy') is not None else '-')
                else:
                    line += ' | %s' % vmean
                for s, v in pairs:
                    if abs(v - s['sum']) > 1e-3:
                        mismatch.append('%s %s BVS %.4f (velmora) vs %.4f (reference)'
                                        % (name, s['label'], v, s['sum']))
            print(line)
            first = False
        gii_all.append((name, r['gii']))
        if 'sf' in r:
            sf_all.append((name, r['sf'], r['sf_status']))
        if 'energy' in r:
            energy_all.append((name, r['energy']))
        if r['problems'] or r['charge_error']:
            print('%-10s   problems: %s %s' % ('', ', '.join(r['problems']), r['charge_error'] or ''))
        if use_velmora and vm.get('gii') is not None and abs(vm['gii'] - r['gii']) > 1e-3:
            mismatch.append('%s GII %.4f (velmora) vs %.4f (reference)' % (name, vm['gii'], r['gii']))
        if use_velmora and 'sf' in r and r.get('sf_status') == 'ok' and vm.get('sf') is not None \
                and abs(vm['sf'] - r['sf']) > 1e-4:
            mismatch.append('%s sf %.5f (velmora) vs %.5f (reference)' % (name, vm['sf'], r['sf']))
        if use_velmora and 'energy' in r and vm.get('energy') is not None \
                and abs(vm['energy'] - r['energy']) > 1e-4 * max(1.0, abs(r['energy'])):
            mismatch.append('%s energy %.5f (velmora) vs %.5f (reference)' % (name, vm['energy'], r['energy']))

    print()
    print('Pairs: rmin against observed mean bond lengths')
    hdr = '%-8s %-6s %7s %7s | %8s %7s | %8s %7s %5s' % ('cation', 'anion', 'cn', 'rmin',
                                                      'ref_len', 'dev', 'set_len', 'dev', 'bonds')
    print(hdr)
    print('-' * len(hdr))
    rmin_bad = []
    for key in sorted(pair_rmin):
        rmin, cn = pair_rmin[key]
        cat, an = key
        m1 = re.match(r'([A-Za-z]+)([+-]\d+)', cat)
        m2 = re.match(r'([A-Za-z]+)([+-]\d+)', an)
        ion, q, a_el = m1.group(1), int(m1.group(2)), m2.group(1)
        table = cod.get((ion, q, a_el))
        if table is None and a_el == 'N' and (ion, q) in nit:
            table = {c: (v[0] * c, v[1]) for c, v in nit[(ion, q)].items()}
        ref = observed_length_at_cn(table, cn) if table else None
        obs = pair_obs.get(((ion, q), (a_el, int(m2.group(2)))), [])
        setlen = sum(obs) / len(obs) if obs else None
        d1 = rmin / ref - 1 if ref else None
        d2 = rmin / setlen - 1 if setlen else None
        for d, what in ((d1, 'reference'), (d2, 'set')):
            if d is not None and abs(d) > TARGET_RMIN:
                rmin_bad.append('%s-%s (%s %.1f%%)' % (cat, an, what, 100 * d))
        print('%-8s %-6s %7.3f %7.4f | %8s %7s | %8s %7s %5d' % (
            cat, an, cn, rmin, '%.4f' % ref if ref else '-', '%+.1f%%' % (100 * d1) if d1 is not None else '-',
            '%.4f' % setlen if setlen else '-', '%+.1f%%' % (100 * d2) if d2 is not None else '-', len(obs)))

    devs = sorted(rmin_survey(data_dir, cod))
    SUMMARY['rmin_survey'] = devs
    if devs:
        q = lambda f: devs[min(len(devs) - 1, int(f * len(devs)))]
        within = sum(1 for d in devs if abs(d) <= TARGET_RMIN)
        print()
        print('All %d pairs of the data files with COD bond lengths (O, F, N): rmin / length at cn - 1:'
              % len(devs))
        print('  within %.0f%%: %d (%.0f%%); median %+.1f%%; 10%% %+.1f%%, 25%% %+.1f%%, 75%% %+.1f%%, 90%% %+.1f%%'
              % (100 * TARGET_RMIN, within, 100.0 * within / len(devs), 100 * q(0.5), 100 * q(0.1),
                 100 * q(0.25), 100 * q(0.75), 100 * q(0.9)))

    print()
    print('Species: mean |BVS - os| over the structures of the set')
    bad_species = []
    for k in sorted(species_dev):
        v = species_dev[k]
        m = sum(v) / len(v)
        flag = '' if m <= TARGET_BVS else '  MISS'
        if flag:
            bad_species.append('%s %.3f' % (k, m))
        print('  %-6s %3d structures  mean dev %.3f  max %.3f%s' % (k, len(v), m, max(v), flag))

    lands = landscape_section(cube_jobs, [j.result() for j in cube_runs]) if cube_jobs else []
    cod_sf = cod_section(cod_dir, cod_list, [j.result() for j in cod_runs]) if cod_list else None
    cod_lands = (landscape_section(rate_jobs, [j.result() for j in rate_runs],
                                   'Ordered Li and Na compounds of %s' % cod_dir) if rate_jobs else [])

    mismatch.extend('velmora.x reads another ' + n for n in stale)
    print()
    print('Targets')
    n_gii = sum(1 for _, g in gii_all if g < TARGET_GII)
    share = n_gii / len(gii_all)
    SUMMARY.update({'species_miss': [b.split()[0] for b in bad_species], 'gii': dict(gii_all),
                    'gii_share': share, 'rmin_miss': rmin_bad,
                    'sf': {n: (v, st) for n, v, st in sf_all}, 'energy': dict(energy_all),
                    'velmora_used': use_velmora, 'velmora_mismatch': mismatch,
                    'landscape': {(l['name'], l['ion']): l for l in lands}, 'cod': cod_sf})
    print('  BVS: every species within %.2f v.u. on average: %s%s' % (
        TARGET_BVS, 'yes' if not bad_species else 'NO', '' if not bad_species else ' (' + ', '.join(bad_species) + ')'))
    print('  GII < %.2f for %d of %d structures (%.0f%%; target %.0f%%): %s' % (
        TARGET_GII, n_gii, len(gii_all), 100 * share, 100 * TARGET_GII_SHARE,
        'yes' if share >= TARGET_GII_SHARE else 'NO'))
    print('     above: %s' % ', '.join('%s %.3f' % g for g in gii_all if g[1] >= TARGET_GII))
    print('  rmin within %.0f%% of observed lengths: %s' % (
        100 * TARGET_RMIN, 'yes' if not rmin_bad else 'NO (%d: %s)' % (len(rmin_bad), ', '.join(rmin_bad))))
    if sf_all:
        bad = [s for s in sf_all if s[2] != 'ok' or not SF_RANGE[0] <= s[1] <= SF_RANGE[1]]
        print('  screening factor found and in [%.1f, %.1f]: %s' % (
            SF_RANGE[0], SF_RANGE[1], 'yes' if not bad else 'NO (%s)' % ', '.join('%s %s' % (s[0], s[2]) for s in bad)))
    if energy_all:
        bad = [e for e in energy_all if not math.isfinite(e[1]) or e[1] == 0.0]
        print('  total energy finite: %s' % ('yes' if not bad else 'NO (%s)' % bad))
    if lands:
        off = [l for l in lands if not l['at_site']]
        print('  landscape minimum at an occupied site: %d of %d%s' % (
            len(lands) - len(off), len(lands),
            '' if not off else ' (not: %s)' % ', '.join('%s %s %.3f eV' % (l['name'], l['ion'], l['d_e'])
                                                      for l in off)))
        nm = [l for l in lands if l['site_minima'] < l['sites']]
        print('  every occupied site a local minimum: %d of %d%s' % (
            len(lands) - len(nm), len(lands),
            '' if not nm else ' (not: %s)' % ', '.join('%s %s %d/%d' % (l['name'], l['ion'], l['site_minima'],
                                                                      l['sites']) for l in nm)))
        SUMMARY['site_rates'] = site_rates(lands, 'set, ordered Li and Na compounds')
    if cod_lands:
        SUMMARY['cod_site_rates'] = site_rates(cod_lands, 'COD, ordered Li and Na compounds')
    if cod_sf:
        print('  COD: screening factor found in [0.55, 1.0] for %d of %d structures with parameters' % (
            cod_sf['ok'], cod_sf['ok'] + cod_sf['out']))
    if use_velmora:
        print('  velmora.x agrees with the reference: %s' % ('yes' if not mismatch else 'NO'))
        for m in mismatch:
            print('     ' + m)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Validation report of the force-field data files on the bundled set of
well-determined ordered structures (tests/data/validation/*.cif).

For every structure: bond-valence sums per species against the oxidation
state, the global instability index, the automatic screening factor and the
total energy, computed by the independent reference (tools/bvref.py) and,
when bin/velmora.x can do it, by velmora.x itself.  For every cation-anion
pair used: rmin against the mean observed bond length at the pair's
reference coordination number (COD statistics, Gagne 2021 for nitrides) and
against the mean first-shell bond length in the bundled structures.  Ends
with the targets and whether they hold.

Usage: validate_params.py [--data DIR] [--velmora PATH] [--no-velmora]
                          [--no-energy] [CIF ...]
"""
import glob
import math
import os
import re
import subprocess
import sys

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


def velmora_usable(exe):
    if not os.path.exists(exe):
        return False
    out, _ = run_velmora(exe, '', ['--cal-bv'], timeout=30)
    return bool(out) and 'Command: --cal-bv' in out


def main(argv):
    data_dir = bvref.DEFAULT_DATA
    exe = os.path.join(ROOT, 'bin', 'velmora.x')
    use_velmora, energy = True, True
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
        else:
            files.append(a)
    files = files or sorted(glob.glob(os.path.join(SET, '*.cif')))
    use_velmora = use_velmora and velmora_usable(exe)
    cod = bvdata.cod_bond_lengths()
    nit = bvdata.gagne_nitrogen()

    print('Force-field validation on %d structures (data: %s)' % (len(files), os.path.normpath(data_dir)))
    print('velmora.x: %s' % (exe if use_velmora else 'not used (absent or cannot compute yet)'))
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
    for f in files:
        name = os.path.splitext(os.path.basename(f))[0]
        r = bvref.analyse(f, data_dir, search=energy, energy=energy)
        cell = bvref.read_cif(f, data_dir)
        par = bvref.Params(cell, data_dir)
        for key, ds in first_shell_lengths(cell, par).items():
            pair_obs.setdefault(key, []).extend(ds)
        for p in r['pairs']:
            key = (p['cation'], p['anion'])
            pair_rmin[key] = (p['rmin'], p['cn'])
        vm = velmora_numbers(exe, f, energy) if use_velmora else {}
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

    print()
    print('Targets')
    n_gii = sum(1 for _, g in gii_all if g < TARGET_GII)
    share = n_gii / len(gii_all)
    SUMMARY.clear()
    SUMMARY.update({'species_miss': [b.split()[0] for b in bad_species], 'gii': dict(gii_all),
                    'gii_share': share, 'rmin_miss': rmin_bad,
                    'sf': {n: (v, st) for n, v, st in sf_all}, 'energy': dict(energy_all),
                    'velmora_used': use_velmora, 'velmora_mismatch': mismatch})
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
    if use_velmora:
        print('  velmora.x agrees with the reference: %s' % ('yes' if not mismatch else 'NO'))
        for m in mismatch:
            print('     ' + m)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))

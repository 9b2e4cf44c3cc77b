#!/usr/bin/env bash
# velmora.x against the independent Python reference tools/bvref.py on every
# bundled validation structure and the partial-occupancy fixtures:
# bond-valence sums per site and GII (--cal-bv), fractional charges, Morse
# minimum and depth (--print-ppt at a fixed screening factor), and the
# automatic screening factor with the total energy (--cal-tot-en).
# Skipped while the reference tool or the structures are absent.
set -u
V=${VELMORA:?}
SRC=${BV_SOURCE_DIR:?}
DATA=${BV_TEST_DATA_DIR:?}
PY=${PYTHON:-/usr/bin/python3}
S=${BV_SCRATCH:-$(mktemp -d)}
rm -rf "$S"; mkdir -p "$S"
if [ ! -f "$SRC/tools/bvref.py" ] || ! ls "$DATA"/validation/*.cif >/dev/null 2>&1; then
  echo "skipped: tools/bvref.py or tests/data/validation/ not present yet"
  exit 77
fi
if ! "$PY" -c 'import numpy, gemmi' 2>/dev/null; then
  echo "skipped: $PY lacks numpy or gemmi"
  exit 77
fi
cd "$S" || exit 1
"$PY" - "$V" "$SRC" "$DATA" <<'PYEOF'
import glob, os, re, subprocess, sys
velmora, src, data = sys.argv[1:4]
sys.path.insert(0, os.path.join(src, 'tools'))
import bvref

bin_dir = os.path.dirname(os.path.abspath(velmora))
problems = []


def close(what, got, want, tol):
    if not abs(got - want) <= tol:
        problems.append('%s: velmora.x %.7f, reference %.7f' % (what, got, want))


def run(*args):
    return subprocess.run([velmora] + list(args), capture_output=True, text=True)


def species_key(text):
    m = re.match(r'([A-Za-z]+)(\d+)([+-])$', text)
    return '%s%s%s' % (m.group(1), m.group(3), m.group(2))


files = sorted(glob.glob(os.path.join(data, 'validation', '*.cif')) +
               glob.glob(os.path.join(data, 'ff', '*.cif')))
for cif in files:
    name = os.path.basename(cif)[:-4]
    full = name in ('Li2O', 'NaCl', 'LiFePO4', 'LiCoO2', 'Li3PO4', 'MgAl2O4', 'TiO2', 'AgI') or \
        '/validation/' not in cif
    ref = bvref.analyse(cif, bin_dir, search=full and '/ff/' not in cif,
                        energy=full and '/ff/' not in cif)
    # Bond-valence sums and GII.
    out = run('--cal-bv', cif)
    if out.returncode != 0:
        problems.append('%s: --cal-bv failed: %s' % (name, out.stderr.strip()))
        continue
    got = {}
    for line in out.stdout.splitlines():
        w = line.split()
        if len(w) == 5 and w[0] == 'BV:' and re.match(r'^-?\d+\.\d{6}$', w[4]):
            got[(w[1], species_key(w[2]))] = float(w[4])
    for s in ref['sites']:
        key = (s['label'], '%s%+d' % (s['type'], s['os']))
        if key not in got:
            problems.append('%s: no BV sum for %s' % (name, key))
            continue
        close('%s BVS %s' % (name, key), got[key], s['sum'], 2e-6)
    m = re.search(r'GII: Global instability index = (\S+)', out.stdout)
    close('%s GII' % name, float(m.group(1)) if m else float('nan'), ref['gii'], 2e-6)

    # Parameters at a fixed screening factor.
    out = run('--print-ppt', cif, '0.75')
    q = dict(zip(ref['species'], ref['q']))
    pairs = {(p['cation'], p['anion']): p for p in ref['pairs']}
    seen = 0
    for line in out.stdout.splitlines():
        if not line.startswith('PPT: |'):
            continue
        w = [x.strip() for x in line[6:].split('|')[:-1]]
        if len(w) == 5 and w[0] != 'type':
            close('%s q %s' % (name, w[0]), float(w[4]), q[species_key(w[0])], 1.5e-6)
            seen += 1
        elif len(w) == 7 and w[0] != 'cation':
            p = pairs[(species_key(w[0]), species_key(w[1]))]
            close('%s D0 %s-%s' % (name, w[0], w[1]), float(w[2]), 7.19982 * p['d0'], 1.5e-6)
            close('%s rmin %s-%s' % (name, w[0], w[1]), float(w[3]), p['rmin'], 1.5e-6)
            close('%s R0 %s-%s' % (name, w[0], w[1]), float(w[5]), p['r0'], 1.5e-6)
            close('%s cut-off %s-%s' % (name, w[0], w[1]), float(w[6]), p['cutoff'], 1.5e-6)
    if seen != len(ref['species']):
        problems.append('%s: --print-ppt lists %d species, the reference %d' %
                        (name, seen, len(ref['species'])))

    # Screening factor and total energy.
    if 'sf' in ref:
        out = run('--cal-tot-en', cif)
        m = re.search(r'final screening factor = (\S+)', out.stdout)
        e = re.search(r'total energy = (\S+) eV', out.stdout)
        if not (m and e):
            problems.append('%s: no screening factor or energy: %s' % (name, out.stderr.strip()))
            continue
        close('%s sf' % name, float(m.group(1)), ref['sf'], 2e-6)
        close('%s energy' % name, float(e.group(1)), ref['energy'], 1e-6 * max(1.0, abs(ref['energy'])))

for p in problems:
    print('FAIL: ' + p)
print('%d structures compared with the reference, %d differences' % (len(files), len(problems)))
sys.exit(1 if problems else 0)
PYEOF

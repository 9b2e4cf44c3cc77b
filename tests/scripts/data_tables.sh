#!/bin/bash
# Per-ion and per-pair data files: every line must read the way velmora.x
# (sscanf patterns) and ostrel (tokens split at single spaces, lines under
# 199 characters) read it; values must be physical; every species and pair
# that the bundled validation structures and the COD corpus need must be
# listed; spot values are compared with their sources worked out by hand.
set -u
SRC=${BV_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
PY=${PYTHON:-/usr/bin/python3}
if ! "$PY" -c 'import gemmi, numpy' 2>/dev/null; then
    echo "skipped: python3 with gemmi and numpy not available"; exit 77
fi
"$PY" - "$SRC" "${BV_COD_DIR:-}" <<'PYEOF'
import glob, math, os, re, sys
src, cod_dir = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(src, 'tools'))
import bvref
bad = []
def fail(msg):
    bad.append(msg); print('FAIL: ' + msg)

# ---- unitary file
uni_path = os.path.join(src, 'bin', 'database_unitary.dat')
lines = bvref.data_lines(uni_path)
species, order, default = {}, [], {}
for l in lines:
    w = l.split()
    try:
        z, el, q, d = int(w[0]), w[1], int(w[2]), int(w[3])
        m, n, g, b, rc, soft = float(w[4]), int(w[5]), int(w[6]), int(w[7]), float(w[8]), float(w[9])
    except (ValueError, IndexError):
        fail('unitary line does not read: %r' % l); continue
    if len(el) > 2 or not 1 <= z <= 103 or q == 0: fail('unitary key %r' % l)
    if (el, q) in species: fail('species listed twice: %s%+d' % (el, q))
    species[(el, q)] = (z, m, n, g, b, rc, soft)
    if order and order[-1] != el and el in order: fail('lines of %s not consecutive' % el)
    if not order or order[-1] != el: order.append(el)
    if default.setdefault(el, d) != d: fail('default state of %s differs between lines' % el)
    if not (m > 0 and rc > 0 and soft > 0 and 1 <= n <= 7 and 1 <= g <= 18 and 0 <= b <= 3):
        fail('unphysical unitary values: %r' % l)
for an in ('O', -2), ('S', -2), ('Se', -2), ('Te', -2), ('F', -1), ('Cl', -1), ('Br', -1), \
          ('I', -1), ('N', -3), ('P', -3), ('As', -3), ('H', -1):
    if an not in species: fail('anion %s%+d missing' % an)
for el, d in default.items():
    if (el, d) not in species and el != 'D': fail('default state %s%+d has no line' % (el, d))
# hand-checked values: Li+ softness from NIST I1 = 5.391715, I2 = 75.640097 eV;
# O2- softness (I1 = 13.618055, A = 1.461113 eV); IUPAC mass of Li; Coulomb
# radii from Shannon's crystal radii at CN 6: O2- 1.26 itself, a cation half
# its contact distance with O2- (Li+ 0.90, Co3+ high spin 0.75, P5+ 0.52 A)
checks = [(('Li', 1), 6, 2 / (75.640097 - 5.391715), 2e-5), (('O', -2), 6, 2 / (13.618055 - 1.461113), 2e-5),
          (('Li', 1), 1, 6.94, 1e-6), (('O', -2), 5, 1.26, 1e-9), (('Li', 1), 5, (0.90 + 1.26) / 2, 1e-9),
          (('Co', 3), 5, round((0.75 + 1.26) / 2, 3), 1e-9), (('P', 5), 5, (0.52 + 1.26) / 2, 1e-9),
          (('F', -1), 5, 1.19, 1e-9), (('Li', 1), 2, 2, 0), (('Co', 3), 4, 2, 0), (('Ce', 3), 4, 3, 0)]
for key, col, want, tol in checks:
    got = species[key][col]
    if abs(got - want) > tol: fail('%s%+d column %d: %s, expected %s' % (key[0], key[1], col, got, want))
if default.get('Fe') != 3 or default.get('Li') != 1 or default.get('O') != -2:
    fail('default oxidation states of Fe, Li, O')

# ---- binary file
bin_path = os.path.join(src, 'bin', 'database_binary.dat')
raw = open(bin_path, encoding='ascii').read().split('\n')
start = next(i for i, l in enumerate(raw) if 'DATA_START' in l)
for l in raw[:start]:
    if l and not l.startswith('#'): fail('header line not a comment: %r' % l)
pairs = {}
for l in raw[start + 1:]:
    if 'DATA_END' in l: break
    tok = l.split(' ')
    if len(tok) < 8 or '' in tok or '\t' in l or len(l) >= 199:
        fail('pair line not in single-space form: %r' % l); continue
    try:
        key = (tok[0], int(tok[1]), tok[2], int(tok[3]))
        r0, b, cn, cut = map(float, tok[4:8])
    except ValueError:
        fail('pair line does not read: %r' % l); continue
    if key in pairs: fail('pair listed twice: %r' % (key,))
    pairs[key] = (r0, b, cn, cut)
    if not (key[1] > 0 and key[3] < 0): fail('pair not cation first: %r' % l)
    if not (r0 > 0 and b > 0 and cn > 0 and cut > 0): fail('unphysical pair values: %r' % l)
    # bonded term negligible at the cut-off: bond valence below exp(-6.5)
    if cut < r0 + 6.5 * b: fail('cut-off too short: %r' % l)
    if (key[0], key[1]) not in species or (key[2], key[3]) not in species:
        fail('pair species without a unitary line: %r' % l)
want = {('Li', 1, 'O', -2): (1.1745, 0.514, 6.0), ('Na', 1, 'Cl', -1): (1.6833, 0.608, 6.0),
        ('Al', 3, 'O', -2): (1.634, 0.390, 5.0), ('Ag', 1, 'I', -1): (2.38, 0.37, 5.5),
        ('H', 1, 'O', -2): (0.870, 0.457, 4.0)}
for k, (r0, b, cut) in want.items():
    got = pairs.get(k)
    if not got or abs(got[0] - r0) > 1e-9 or abs(got[1] - b) > 1e-9 or abs(got[3] - cut) > 1e-9:
        fail('pair %r: %r, expected r0 %s b %s cutoff %s' % (k, got, r0, b, cut))
# reference coordination numbers: the harmonic mean over the COD polyhedra of
# Li+ with O2- (2:4 3:53 4:391 5:73 6:176 7:2 8:1), over those of Mg2+ with F-
# (all 49 octahedral); Li-S from the Li-O value by cn_S = 0.7414 cn_O + 0.9597
li_o = 700 / (4 / 2 + 53 / 3 + 391 / 4 + 73 / 5 + 176 / 6 + 2 / 7 + 1 / 8)
for k, cn in ((('Li', 1, 'O', -2), li_o), (('Mg', 2, 'F', -1), 6.0),
              (('Li', 1, 'S', -2), 0.7414 * li_o + 0.9597)):
    got = pairs.get(k)
    if not got or abs(got[2] - cn) > 6e-4:
        fail('pair %r: cn %r, expected %.4f' % (k, got and got[2], cn))

# ---- every species and pair of the bundled structures (and the COD corpus)
cifs = sorted(glob.glob(os.path.join(src, 'tests', 'data', 'validation', '*.cif')))
need_sp, need_pair = set(), set()
for f in cifs:
    c = bvref.read_cif(f, os.path.join(src, 'bin'))
    sp = set(zip(c.types, map(int, c.os)))
    need_sp |= sp
    need_pair |= {(a[0], a[1], b[0], b[1]) for a in sp for b in sp if a[1] > 0 and b[1] < 0}
import gemmi
elements = {gemmi.Element(z).name for z in range(1, 119)} | {'D'}
if cod_dir and os.path.isdir(cod_dir):
    n_cod = 0
    for f in sorted(glob.glob(os.path.join(cod_dir, '*.cif'))):
        try:
            c = bvref.read_cif(f, os.path.join(src, 'bin'))
        except Exception:
            continue        # CIFs the reference reader cannot expand are not data faults
        n_cod += 1
        # types made from labels such as 'KA' (site A of K) are not elements
        sp = {s for s in zip(c.types, map(int, c.os)) if s[1] != 0 and s[0] in elements}
        need_sp |= {s for s in sp if s[1] != 99}
        for s in sp:
            if s[1] == 99: fail('COD %s: no default oxidation state for %s' % (os.path.basename(f), s[0]))
    print('COD structures read by the reference reader: %d' % n_cod)
for s in sorted(need_sp):
    if s not in species: fail('species %s%+d needed but not listed' % s)
for p in sorted(need_pair):
    if p not in pairs: fail('pair %s%+d-%s%+d needed by the validation set but not listed' % p)
print('unitary: %d species; binary: %d pairs; validation set: %d structures, %d pairs'
      % (len(species), len(pairs), len(cifs), len(need_pair)))
print('ok: data tables' if not bad else 'FAIL: %d problems' % len(bad))
sys.exit(1 if bad else 0)
PYEOF

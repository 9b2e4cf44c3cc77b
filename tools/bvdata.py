"""Readers for the raw public data under tools/raw/, shared by the generators
of the per-ion (make_unitary.py) and per-pair (make_binary.py) data files.

Every function returns plain dictionaries keyed by element symbol and
oxidation state; no value is changed on reading (units are converted where
stated: Shannon radii pm -> Angstrom)."""
import csv
import os
import re

RAW = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'raw')

# Anions the per-pair file lists, with their (only) oxidation state.  The
# bond-valence table has a few more anion rows (Se-1, Cl-2, N-2, metal
# anions of Zintl phases); they are not ionic anions of the kind the
# force field describes and are left out.
ANIONS = [('O', -2), ('S', -2), ('Se', -2), ('Te', -2), ('F', -1), ('Cl', -1),
          ('Br', -1), ('I', -1), ('N', -3), ('P', -3), ('As', -3), ('H', -1),
          ('C', -4)]

ROMAN = {'I': 1, 'II': 2, 'III': 3, 'IV': 4, 'V': 5, 'VI': 6, 'VII': 7, 'VIII': 8,
         'IX': 9, 'X': 10, 'XI': 11, 'XII': 12, 'XIV': 14, 'IVSQ': 4, 'IIIPY': 3,
         'IVPY': 4}


def raw(name):
    return os.path.join(RAW, name)


def elements():
    """Z -> dict(symbol, mass, period, group, block, ea) from mendeleev."""
    out = {}
    with open(raw('elements.csv'), newline='') as f:
        for r in csv.DictReader(f):
            z = int(r['atomic_number'])
            out[r['symbol']] = {
                'z': z, 'symbol': r['symbol'], 'mass': float(r['atomic_weight']),
                'period': int(r['period']),
                'group': int(r['group_id']) if r['group_id'] else None,
                'block': r['block'],
                'ea': float(r['electron_affinity']) if r['electron_affinity'] else None}
    return out


def ionization_energies():
    """(Z, k) -> I_k in eV, k = 1 for the neutral atom (NIST ASD values)."""
    out = {}
    with open(raw('ionization_energies.csv'), newline='') as f:
        for r in csv.DictReader(f):
            if r['ionization_energy']:
                out[(int(r['atomic_number']), int(r['ion_charge']) + 1)] = \
                    float(r['ionization_energy'])
    return out


def shannon():
    """(Z, charge) -> list of (cn, spin, ionic radius in Angstrom, Roman CN
    text, crystal radius in Angstrom)."""
    out = {}
    with open(raw('shannon_radii.csv'), newline='') as f:
        for r in csv.DictReader(f):
            cn = ROMAN.get(r['coordination'])
            if cn is None or not r['ionic_radius']:
                continue
            out.setdefault((int(r['atomic_number']), int(r['charge'])), []).append(
                (cn, r['spin'], float(r['ionic_radius']) / 100.0, r['coordination'],
                 float(r['crystal_radius']) / 100.0 if r['crystal_radius'] else None))
    return out


def common_oxidation_states():
    """symbol -> most common non-zero oxidation state in the ICSD (SMACT)."""
    out = {}
    with open(raw('oxidation_states_icsd24_common.txt')) as f:
        for line in f:
            w = line.split()
            if len(w) == 2 and not line.startswith('#'):
                out[w[0]] = int(w[1])
    return out


def icsd_oxidation_states():
    """symbol -> oxidation states reported more than 5 times in the ICSD
    (SMACT filtered list)."""
    out = {}
    with open(raw('oxidation_states_icsd24_filtered.txt')) as f:
        for line in f:
            w = line.split()
            if w and not line.startswith('#'):
                out[w[0]] = [int(x) for x in w[1:]]
    return out


ROW = re.compile(r"^\s*(\S+)\s+(-?\d+)\s+(\S+)\s+(-?\d+)\s+([0-9.]+)\s+([0-9.]+)\s+(\S+)\s*(.*?)\s*$")


def bvparm(path=None):
    """Rows of I.D. Brown's bond-valence table, in file order:
    dict(cation, cv, anion, av, r0, b, ref, details, line)."""
    rows = []
    inside = False
    with open(path or raw('bvparm2020.cif'), newline='') as f:
        for n, line in enumerate(f, 1):
            line = line.rstrip('\r\n')
            if '_valence_param_details' in line:
                inside = True
                continue
            if not inside:
                continue
            m = ROW.match(line)
            if not m:
                continue
            d = m.group(8).strip("'")
            rows.append({'cation': m.group(1), 'cv': int(m.group(2)), 'anion': m.group(3),
                         'av': int(m.group(4)), 'r0': float(m.group(5)), 'b': float(m.group(6)),
                         'ref': m.group(7), 'details': '' if d == '?' else d, 'line': n})
    return rows


def cutoff_from_details(details):
    """The cut-off stated in the remark of a softness-sensitive row,
    e.g. '6 A cut-off' or '4.0 A cut-off, b determined from softness'."""
    m = re.search(r'([0-9.]+)\s*A cut-off', details)
    return float(m.group(1)) if m else None


def cod_mean_cn():
    """(ion, os, anion) -> (n_sites, mean_cn) from the COD coordination
    statistics (kept polyhedra, dominant ChemEnv environment)."""
    out = {}
    with open(raw('cod_mean_cn.csv'), newline='') as f:
        for r in csv.DictReader(f):
            if r['mean_cn']:
                out[(r['ion'], int(r['os']), r['anion'])] = (int(r['n_sites']), float(r['mean_cn']))
    return out


def cod_cn_distribution():
    """(ion, os, anion) -> {cn: number of polyhedra} of the same kept
    polyhedra (column cn_distribution, 'cn:count;...')."""
    out = {}
    with open(raw('cod_mean_cn.csv'), newline='') as f:
        for r in csv.DictReader(f):
            if r['cn_distribution']:
                out[(r['ion'], int(r['os']), r['anion'])] = {
                    int(a): int(b) for a, b in (x.split(':') for x in r['cn_distribution'].split(';'))}
    return out


def cod_bond_lengths():
    """(ion, os, anion) -> {cn: (n_bonds, mean length)} from COD structures."""
    out = {}
    with open(raw('cod_bond_length_by_cn.csv'), newline='') as f:
        for r in csv.DictReader(f):
            out.setdefault((r['ion'], int(r['os']), r['anion']), {})[int(r['cn'])] = \
                (int(r['n_bonds']), float(r['mean_length_A']))
    return out


def gagne_nitrogen():
    """(ion, os) -> {cn: (n_polyhedra, grand mean bond length)} for cations
    bonded to N3- (Gagne 2021, Table 2)."""
    out = {}
    with open(raw('gagne2021_cn_nitrogen.csv'), newline='') as f:
        for r in csv.DictReader(f):
            try:
                n = int(r['n_polyhedra'])
                length = float(r['grand_mean_bond_length_A'])
            except (ValueError, KeyError):
                continue
            out.setdefault((r['ion'], int(r['os'])), {})[int(r['cn'])] = (n, length)
    return out

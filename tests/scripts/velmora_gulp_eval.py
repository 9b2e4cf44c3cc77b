"""Independent reader and energy evaluator of GULP input as velmora.x writes it.

Written from GULP's own pair forms, not from velmora's code:
  morse ener:  E = D [(1 - exp(-a (r - r0)))^2 - 1] - E(rmax),  r <= rmax
  qerfc ener:  E = 14.39964 q_i q_j erfc(r / rho) / r - E(rmax), r <= rmax
in eV with r in A, every unordered pair of atoms (periodic images included)
counted once; charges from the species section.  Also a minimiser of that
energy over the positions of chosen atoms (scipy), for relaxation checks.
"""
import math
import re

import numpy as np
from scipy.special import erfc

COULOMB = 14.39964
LABEL = re.compile(r'^[A-Z][a-z]?\d+[+-]$')


def read_text(path):
    with open(path, 'rb') as f:
        return f.read().decode().replace('\r', '')


def parse(text):
    """Sections of a .gin or .lib text: cell, atoms, species, morse, qerfc."""
    out = {'cell': None, 'atoms': [], 'species': {}, 'morse': [], 'qerfc': [],
           'count': None}
    lines = [ln.split('#')[0].strip() for ln in text.split('\n')]
    section = None
    i = 0
    while i < len(lines):
        w = lines[i].split()
        i += 1
        if not w:
            continue
        key = w[0]
        if key == 'cell':
            out['cell'] = [float(v) for v in lines[i].split()[:6]]
            i += 1
            section = None
        elif key == 'fractional':
            out['count'] = int(w[1]) if len(w) > 1 else None
            section = 'fractional'
        elif key in ('species', 'morse', 'qerfc'):
            section = key
        elif len(w) >= 2 and w[1] == 'core' and LABEL.match(w[0]):
            if section == 'fractional':
                out['atoms'].append((w[0], [float(v) for v in w[2:5]]))
            elif section == 'species':
                out['species'][w[0]] = float(w[2])
            elif section == 'morse':
                assert w[3] == 'core'
                D, a, r0, _coul, _rmin, rmax = (float(v) for v in w[4:10])
                out['morse'].append((w[0], w[2], D, a, r0, rmax))
            elif section == 'qerfc':
                assert w[3] == 'core'
                rho, rmax = float(w[4]), float(w[5])
                out['qerfc'].append((w[0], w[2], rho, rmax))
        else:
            section = None
    return out


def lattice(cell):
    """Lattice vectors (rows) from a, b, c, alpha, beta, gamma: a along x,
    b in the xy plane."""
    a, b, c, al, be, ga = cell
    al, be, ga = (math.radians(v) for v in (al, be, ga))
    ax = [a, 0.0, 0.0]
    bx = [b * math.cos(ga), b * math.sin(ga), 0.0]
    cx = c * math.cos(be)
    cy = c * (math.cos(al) - math.cos(be) * math.cos(ga)) / math.sin(ga)
    cz = math.sqrt(max(c * c - cx * cx - cy * cy, 0.0))
    return np.array([ax, bx, [cx, cy, cz]])


class Model:
    """The pair potentials of a library, as functions of species labels."""

    def __init__(self, lib):
        self.q = dict(lib['species'])
        self.pot = {}
        for l1, l2, D, a, r0, rmax in lib['morse']:
            self.pot[frozenset((l1, l2))] = ('morse', D, a, r0, rmax)
        for l1, l2, rho, rmax in lib['qerfc']:
            self.pot[frozenset((l1, l2))] = ('qerfc', rho, rmax)

    def rmax(self):
        return max(p[-1] for p in self.pot.values())

    def pair(self, l1, l2):
        return self.pot.get(frozenset((l1, l2)))

    def energy_and_derivative(self, p, l1, l2, r):
        """E(r) shifted to zero at rmax (0 beyond) and dE/dr, arrays."""
        kind = p[0]
        if kind == 'morse':
            _, D, a, r0, rmax = p
            f = lambda x: D * ((1.0 - np.exp(-a * (x - r0))) ** 2 - 1.0)
            e = f(r) - f(rmax)
            ex = np.exp(-a * (r - r0))
            de = 2.0 * D * (1.0 - ex) * a * ex
        else:
            _, rho, rmax = p
            qq = COULOMB * self.q[l1] * self.q[l2]
            f = lambda x: qq * erfc(x / rho) / x
            e = f(r) - f(rmax)
            de = -qq * erfc(r / rho) / r ** 2 - qq * 2.0 / math.sqrt(math.pi) / rho * \
                np.exp(-(r / rho) ** 2) / r
        inside = r <= rmax
        return np.where(inside, e, 0.0), np.where(inside, de, 0.0)


def image_range(lat, r):
    vol = abs(np.linalg.det(lat))
    n = []
    for k in range(3):
        area = np.linalg.norm(np.cross(lat[(k + 1) % 3], lat[(k + 2) % 3]))
        n.append(int(math.ceil(r / (vol / area))) + 1)
    return n


def energy(model, lat, labels, cart, free=None, gradient=False):
    """Energy (eV) of the atoms, each unordered pair once; with `free` (a
    boolean list), only pairs with at least one free atom, at full weight.
    With `gradient`, also dE/dx (N x 3)."""
    nat = len(labels)
    n = image_range(lat, model.rmax())
    shifts = np.array([[l, m, k] for l in range(-n[0], n[0] + 1)
                       for m in range(-n[1], n[1] + 1)
                       for k in range(-n[2], n[2] + 1)], dtype=float) @ lat
    free = np.ones(nat, bool) if free is None else np.asarray(free, bool)
    labels = np.asarray(labels)
    total = 0.0
    grad = np.zeros((nat, 3))
    for i in range(nat):
        for lab in np.unique(labels[i:]):
            p = model.pair(labels[i], lab)
            if p is None:
                continue
            js = np.nonzero((labels == lab) & (np.arange(nat) >= i))[0]
            if not free[i]:
                js = js[free[js]]
            if len(js) == 0:
                continue
            v = cart[js][:, None, :] + shifts[None, :, :] - cart[i]
            r = np.linalg.norm(v, axis=2)
            # (i, i + T) and (i, i - T) are one pair.
            w = np.where(js == i, 0.5, 1.0)[:, None] * (r > 0.3)
            rs = np.where(r > 0.3, r, 1.0)
            e, de = model.energy_and_derivative(p, labels[i], lab, rs)
            total += (w * e).sum()
            if gradient:
                g = ((w * de / rs)[:, :, None] * v).sum(axis=1)
                g[js == i] = 0.0
                np.add.at(grad, js, g)
                grad[i] -= g.sum(axis=0)
    return (total, grad) if gradient else total


def structure(gin):
    lat = lattice(gin['cell'])
    labels = [a[0] for a in gin['atoms']]
    frac = np.array([a[1] for a in gin['atoms']])
    return lat, labels, frac @ lat


def minimise(model, lat, labels, cart, free):
    """Positions minimising the energy over the free atoms (BFGS)."""
    from scipy.optimize import minimize
    free = np.asarray(free, bool)
    x0 = cart[free].ravel()

    def fun(x):
        c = cart.copy()
        c[free] = x.reshape(-1, 3)
        e, g = energy(model, lat, labels, c, free, gradient=True)
        return e, g[free].ravel()

    res = minimize(fun, x0, jac=True, method='BFGS', options={'gtol': 1e-9, 'maxiter': 5000})
    c = cart.copy()
    c[free] = res.x.reshape(-1, 3)
    return c, res


def read_xyz_frames(path):
    """Frames of an extended-XYZ file: (lattice, symbols, positions, info)."""
    frames = []
    with open(path) as f:
        lines = f.read().split('\n')
    i = 0
    while i < len(lines) and lines[i].strip():
        n = int(lines[i])
        comment = lines[i + 1]
        lat = re.search(r'Lattice="([^"]*)"', comment).group(1).split()
        lat = np.array([float(v) for v in lat]).reshape(3, 3)
        info = dict(re.findall(r'(\w+)=([^\s"]+)', comment))
        sym, pos = [], []
        for ln in lines[i + 2:i + 2 + n]:
            w = ln.split()
            sym.append(w[0])
            pos.append([float(v) for v in w[1:4]])
        frames.append((lat, sym, np.array(pos), info))
        i += 2 + n
    return frames

#!/usr/bin/env bash
# ctest-labels: slow
# The diffusion coefficient of LAMMPS running the input of --gen-lammps
# against --md's, at 800 K on a dilute Li landscape (eight Li ions in the O
# framework of a 2x2x2 Li2O cell), 400 ps each.  From both trajectories
# (read with ASE) D is the slope of the mean squared displacement over lags
# of 2 to 10 ps averaged over time origins, in five blocks of 80 ps whose
# scatter gives its error; the two must agree within twice their combined
# error.  The single-origin values both programs print (eight ions, one
# origin: errors of 30 % and more, from the scatter of ten blocks as --md
# estimates them, and the same estimate of LAMMPS' run) must agree within
# three times theirs.
. "$(dirname "$0")/lib/velmora_checks.sh"
LMP=$(command -v lmp) || { echo "skipped: lmp (Debian package lammps) is not installed"; exit 77; }
"$PY" -c 'import numpy, ase' 2>/dev/null || { echo "skipped: numpy or ASE missing"; exit 77; }

"$PY" "$SRC/tests/scripts/lib/dilute_lio_cif.py" LiO.cif

T=800 T_END=400 DT=0.002
run md 0 --md LiO.cif Li 1 0.75 $T $T_END 2 $DT 0.1 7
run gen 0 --gen-lammps LiO.cif Li 1 0.75 1 $T LiO --seed 9
"$LMP" -log none -in LiO.in -var t_equil 2 -var t_end $T_END -var dt $DT -var t_log 0.1 \
  >lmp.out 2>&1 || fail "lmp: $(tail -3 lmp.out)"

"$PY" - md.out lmp.out <<'EOF' || fail "D of LAMMPS and of --md differ beyond their errors"
import re, sys
import ase.io
import numpy as np

def positions(path, species='Li'):
    frames = ase.io.read(path, index=':')
    return np.array([f.positions[np.array(f.get_chemical_symbols()) == species]
                     for f in frames])

def multi_origin(x, dt=0.1, blocks=5, lo=2.0, hi=10.0):
    """D (A^2/ps) and its error: MSD slope over lags lo..hi averaged over
    origins, in `blocks` spans of the run."""
    span = len(x) // blocks
    lags = np.arange(int(round(lo / dt)), int(round(hi / dt)) + 1)
    d = []
    for b in range(blocks):
        y = x[b * span:(b + 1) * span]
        msd = [np.mean(np.sum((y[k:] - y[:-k]) ** 2, axis=2)) for k in lags]
        d.append(np.polyfit(lags * dt, msd, 1)[0] / 6)
    return np.mean(d), np.std(d, ddof=1) / np.sqrt(blocks)

def one_origin(x, blocks=10):
    """D from the whole run's displacement and its error from the scatter of
    the blocks' own values, as --md estimates them."""
    t = (len(x) - 1) * 0.1
    total = np.mean(np.sum((x[-1] - x[0]) ** 2, axis=1)) / (6 * t)
    span = (len(x) - 1) // blocks
    d = [np.mean(np.sum((x[(b + 1) * span] - x[b * span]) ** 2, axis=1)) / (6 * span * 0.1)
         for b in range(blocks)]
    return total, np.std(d, ddof=1) / np.mean(d) * total

md, lmp = open(sys.argv[1]).read(), open(sys.argv[2]).read()
x_md, x_lmp = positions('LiO.cif.md.xyz'), positions('LiO.lammpstrj')
ok = True
d_md, e_md = multi_origin(x_md)
d_lmp, e_lmp = multi_origin(x_lmp)
print(f"{len(x_md)} and {len(x_lmp)} frames of {x_md.shape[1]} Li ions")
print(f"multi-origin D: --md {d_md:.4f} +- {e_md:.4f}, LAMMPS {d_lmp:.4f} +- {e_lmp:.4f} A^2/ps")
ok = ok and abs(d_md - d_lmp) < 2 * np.hypot(e_md, e_lmp) and d_md > 0.02
p_md = float(re.search(r'MD: diffusivity = (\S+)', md).group(1))
p_md_err = float(re.search(r'MD: diffusivity error = (\S+)', md).group(1))
p_lmp = float(re.search(r'LAMMPS: diffusivity = (\S+)', lmp).group(1))
mine, p_lmp_err = one_origin(x_lmp)
print(f"printed D: --md {p_md:.4f} +- {p_md_err:.4f}, LAMMPS {p_lmp:.4f} +- {p_lmp_err:.4f} "
      f"(from its positions {mine:.4f}) A^2/ps")
ok = ok and abs(p_md - p_lmp) < 3 * np.hypot(p_md_err, p_lmp_err) and abs(mine - p_lmp) < 1e-3 * p_lmp
sys.exit(0 if ok else 1)
EOF
finish

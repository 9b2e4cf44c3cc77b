#!/usr/bin/env bash
# LAMMPS input of velmora.x (--gen-lammps) run by LAMMPS itself: energies of
# the exported cells equal to --cal-tot-en and forces on displaced atoms
# equal to velmora's (velmora_lammps_check.py) on Li2O, LiFePO4, hexagonal
# LiCoO2 and a partly occupied structure; a short run on two MPI processes
# equal to one; energy conserved without thermostat as a force field whose
# forces are its energy's gradient conserves it; the mean squared
# displacement written equal to the one of the positions written; names,
# arguments, seeds and files written whole.
. "$(dirname "$0")/lib/velmora_checks.sh"
LMP=$(command -v lmp) || { echo "skipped: lmp (Debian package lammps) is not installed"; exit 77; }
"$PY" -c 'import numpy' 2>/dev/null || { echo "skipped: numpy missing"; exit 77; }

"$PY" "$SRC/tests/scripts/velmora_lammps_check.py" "$V" "$LMP" "$S" \
  "$DATA/cif/Li2O.cif:Li:1:-1:2x2x2:1" "$DATA/validation/LiFePO4.cif:Li:1:0.75:1x1x1:1" \
  "$SRC/examples/LiCoO2.cif:Li:1:0.75:1x1x1:1" "$DATA/cif/Li2O_Na_mixed.cif:Li:1:0.75:2x2x2:0" \
  || fail "LAMMPS energies and forces"

# e_total of each thermo line of a run (column 6 of the production lines).
totals() { awk '/^ *Step +v_t/{f=1;next} /^Loop/{f=0} f{print $6}' "$1"; }
cp "$DATA/cif/Li2O.cif" .
run gen 0 --gen-lammps Li2O.cif Li 1 0.72 2 300 --seed 3
nve() {  # nve NAME DT [mpirun -np 2]: 100 steps of plain velocity Verlet from 800 K
  local name=$1 dt=$2; shift 2
  "$@" "$LMP" -log none -in Li2O.in -var langevin 0 -var T_init 800 -var t_equil 0 \
    -var t_end "$(awk "BEGIN{print 100*$dt}")" -var t_log "$dt" -var dt "$dt" -var out "$name" \
    >"$name.out" 2>&1 || fail "lmp $name: $(tail -3 "$name.out")"
}
nve nve1 0.001
nve nve2 0.0005
# The energy error of velocity Verlet falls with the square of the step;
# forces that were not the energy's gradient would make it drift at any step.
"$PY" - nve1.out nve2.out <<'EOF' || fail "energy conservation"
import subprocess, sys
def spread(path):
    out = subprocess.run(['awk', '/^ *Step +v_t/{f=1;next} /^Loop/{f=0} f{print $6}', path],
                         capture_output=True, text=True).stdout.split()
    v = [float(x) for x in out]
    return max(v) - min(v), len(v)
(s1, n1), (s2, n2) = spread(sys.argv[1]), spread(sys.argv[2])
print(f"NVE energy spread over 100 steps: {s1:.2e} eV at 1 fs, {s2:.2e} eV at 0.5 fs")
sys.exit(0 if n1 == n2 == 101 and s1 < 0.05 and 0.15 < s2 / s1 < 0.4 else 1)
EOF

if command -v mpirun >/dev/null; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_rmaps_base_oversubscribe=1
  nve mpi1 0.001 mpirun -np 1
  nve mpi2 0.001 mpirun -np 2
  grep -q "with 2 MPI tasks" mpi2.out || fail "the MPI run did not use two processes"
  "$PY" - <(totals mpi1.out) <(totals mpi2.out) <<'EOF' || fail "one and two MPI processes differ"
import sys
a, b = ([float(x) for x in open(p).read().split()] for p in sys.argv[1:3])
worst = max(abs(x - y) for x, y in zip(a, b)) if a and len(a) == len(b) else float('inf')
print(f"e_total on 1 and 2 MPI processes: {len(a)} lines, largest difference {worst:.1e} eV")
sys.exit(0 if worst < 1e-6 else 1)
EOF
else
  echo "note: mpirun (openmpi-bin) not installed, the MPI comparison is skipped"
fi

# The dynamics' outputs: the mean squared displacement written equals the
# one of the unwrapped positions written, as ASE reads them.
"$LMP" -log none -in Li2O.in -var T 800 -var t_equil 0.1 -var t_end 0.4 -var t_log 0.1 \
  >md.out 2>&1 || fail "lmp md: $(tail -3 md.out)"
grep -q "LAMMPS: diffusivity = " md.out || fail "no diffusivity printed"
if "$PY" -c 'import ase' 2>/dev/null; then
  "$PY" - <<'EOF' || fail "trajectory and mean squared displacement"
import ase.io, numpy as np
frames = ase.io.read('Li2O.lammpstrj', index=':')
msd = np.loadtxt('Li2O.msd.txt')
d = frames[-1].positions - frames[0].positions
mine = np.mean(np.sum(d * d, axis=1))
print(f"{len(frames)} frames of {len(frames[0])} {frames[0][0].symbol} ions; msd {mine:.6f}, "
      f"written {msd[-1, 5]:.6f} A^2")
ok = len(frames) == 5 == len(msd) and set(frames[0].get_chemical_symbols()) == {'Li'}
ok = ok and len(frames[0]) == 64 and abs(mine - msd[-1, 5]) < 1e-5 and mine > 0
raise SystemExit(0 if ok else 1)
EOF
fi

# Command line: usage, help, arguments.
run usage 2 --gen-lammps Li2O.cif Li
has usage.out "Command: --gen-lammps [input.cif] [type] [os] | {sf} {supercell} {temperature} {output_name}"
run help 0 --help
has help.out "--gen-lammps"
run bad_os 1 --gen-lammps Li2O.cif Li x
has bad_os.err "Error: wrong parameter os."
run bad_sf 1 --gen-lammps Li2O.cif Li 1 abc
has bad_sf.err "Error: wrong parameter sf."
run bad_cell 1 --gen-lammps Li2O.cif Li 1 0.72 2x2
has bad_cell.err "Error: wrong parameter supercell."
run bad_t 1 --gen-lammps Li2O.cif Li 1 0.72 1 hot
has bad_t.err "Error: wrong parameter temperature."
run no_ion 1 --gen-lammps Li2O.cif Na 1 0.72
has no_ion.err "holds no Na1+ ion"

# Names: the input's name without extension in the working directory, or
# the name given, whose script refers to the files beside it.
mkdir -p sub elsewhere
(cd elsewhere && "$V" --gen-lammps ../Li2O.cif Li 1 0.72 >out 2>&1) || fail "relative input"
[ -s elsewhere/Li2O.data ] && [ -s elsewhere/Li2O.in ] && [ -s elsewhere/Li2O.table ] \
  || fail "default names in the working directory"
has elsewhere/Li2O.data "12 atoms"
has elsewhere/Li2O.data "(1 x 1 x 1 cells"
run named 0 --gen-lammps Li2O.cif Li 1 0.72 1x1x2 900 sub/run.hot
has sub/run.in "variable data       index run.data"
has sub/run.in "variable T          index 900"
has sub/run.data "24 atoms"
(cd sub && "$LMP" -log none -in run.in -var t_equil 0 -var t_end 0 >run.out 2>&1) \
  || fail "the named script in its directory"

# Partly occupied sites: the default supercell of --gen-gin (3 x 3 x 3 for
# the 20 atoms of the cell, 8 of them Na on the Li sites), resolved with
# the run's seed.
cp "$DATA/cif/Li2O_Na_mixed.cif" mixed.cif
run mixed_a 0 --gen-lammps mixed.cif Li 1 0.75 0 300 a --seed 5
run mixed_b 0 --gen-lammps mixed.cif Li 1 0.75 0 300 b --seed 5
run mixed_c 0 --gen-lammps mixed.cif Li 1 0.75 0 300 c --seed 6
has a.data "(3 x 3 x 3 cells"
has a.data "324 atoms"
cmp -s a.data b.data || fail "one seed, two resolutions"
cmp -s a.data c.data && fail "two seeds, one resolution"
[ "$(grep 'variable seed' a.in)" = "$(grep 'variable seed' b.in)" ] || fail "one seed, two LAMMPS seeds"

# Files are whole or absent: when one cannot be written, none is replaced.
echo old >keep.data
mkdir keep.in
run refused 1 --gen-lammps Li2O.cif Li 1 0.72 1 300 keep
[ "$(cat keep.data)" = old ] || fail "keep.data replaced by a failed run"
[ ! -e keep.table ] || fail "keep.table written by a failed run"
ls | grep -q velmora-unfinished && fail "temporary files left behind"
finish

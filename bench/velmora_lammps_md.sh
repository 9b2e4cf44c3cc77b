#!/usr/bin/env bash
# Molecular dynamics of the mobile ions in a fixed framework: velmora.x --md
# against LAMMPS running the input of velmora.x --gen-lammps (the same force
# field, the same Langevin dynamics), measured side by side in one run, on
# supercells of the fast Li conductor Li3N (hexagonal, 3 Li and 1 N a cell)
# of about 10,000 and 100,000 atoms, on one and two cores (--md: OpenMP
# threads; LAMMPS: MPI processes).
#
# Time per step: --md runs twice, with S and 3 S production steps, and the
# difference of the wall times over 2 S steps leaves out its set-up (reading,
# parameters, neighbour lists); LAMMPS reports the loop time of its
# production run itself.  Printed per size and program: seconds per step,
# atoms x steps per second and the ratio of --md's time to LAMMPS'.
#
# Usage: bench/velmora_lammps_md.sh [atoms ...]   (default 10000 100000)
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
bin=${BV_BIN_DIR:-$src/bin}
V=$bin/velmora.x
PY=/usr/bin/python3
LMP=$(command -v lmp) || { echo "lmp (Debian package lammps) is not installed"; exit 1; }
command -v mpirun >/dev/null || { echo "mpirun (openmpi-bin) is not installed"; exit 1; }
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_rmaps_base_oversubscribe=1
sizes=${*:-10000 100000}
sf=0.75 T=800 dt=0.001
work=$(mktemp -d /tmp/velmora-lammps-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
cp "$src/tests/data/validation/Li3N.cif" .
echo "--md against LAMMPS, Li3N at $T K, dt $dt ps, on $(nproc) cores (load $(cut -d' ' -f1-3 /proc/loadavg))"

calc() { awk "BEGIN { printf \"%.10g\", $* }"; }
# Wall seconds of a command.
wall() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1 || echo "failed: $*" >&2
         t1=$(date +%s.%N); calc "$t1 - $t0"; }

# A P1 CIF of the n x n x n supercell, for --md (which reads a CIF).
supercell_cif() {
  "$PY" - "$1" "$2" <<'EOF'
import sys, gemmi
n, out = int(sys.argv[1]), sys.argv[2]
st = gemmi.read_small_structure('Li3N.cif')
sites = st.get_all_unit_cell_sites()
c = st.cell
rows = ['data_Li3N_%dx%dx%d' % (n, n, n),
        '_cell_length_a %.6f' % (c.a * n), '_cell_length_b %.6f' % (c.b * n),
        '_cell_length_c %.6f' % (c.c * n), '_cell_angle_alpha %.6f' % c.alpha,
        '_cell_angle_beta %.6f' % c.beta, '_cell_angle_gamma %.6f' % c.gamma,
        "_symmetry_space_group_name_H-M 'P 1'", 'loop_', '_symmetry_equiv_pos_as_xyz', 'x,y,z',
        'loop_', '_atom_site_label', '_atom_site_type_symbol', '_atom_site_fract_x',
        '_atom_site_fract_y', '_atom_site_fract_z', '_atom_site_occupancy']
k = 0
for i in range(n):
    for j in range(n):
        for l in range(n):
            for s in sites:
                k += 1
                symbol = 'Li1+' if s.element.name == 'Li' else 'N3-'
                f = s.fract
                rows.append('%s%d %s %.8f %.8f %.8f 1' % (s.element.name, k, symbol,
                            (f.x + i) / n, (f.y + j) / n, (f.z + l) / n))
open(out, 'w').write('\n'.join(rows) + '\n')
EOF
}

printf '\n%8s  %-8s %5s  %12s  %16s  %s\n' atoms program cores "s/step" "atom-steps/s" "--md/LAMMPS"
for target in $sizes; do
  n=$("$PY" -c "print(max(1, round(($target / 4) ** (1 / 3))))")
  atoms=$((4 * n * n * n))
  # About 3e5 atom-steps per measured span: 30 steps at 10,000 atoms, 5 at 100,000.
  steps=$("$PY" -c "print(max(5, round(3e5 / $atoms)))")
  supercell_cif "$n" super.cif
  "$V" --gen-lammps Li3N.cif Li 1 $sf "${n}x${n}x${n}" $T li3n >gen.out 2>&1 \
    || { echo "--gen-lammps failed: $(tail -2 gen.out)"; exit 1; }
  for cores in 1 2; do
    t1=$(wall env OMP_NUM_THREADS=$cores nice "$V" --md super.cif Li 1 $sf $T \
         "$(calc "$steps * $dt")" $dt $dt 1000 1)
    t3=$(wall env OMP_NUM_THREADS=$cores nice "$V" --md super.cif Li 1 $sf $T \
         "$(calc "3 * $steps * $dt")" $dt $dt 1000 1)
    md=$(calc "($t3 - $t1) / (2 * $steps)")
    nice mpirun -np $cores "$LMP" -log none -in li3n.in -var t_equil 0 -var t_log 1000 \
      -var t_end "$(calc "$steps * $dt")" >lmp$cores.out 2>&1 \
      || { echo "LAMMPS failed: $(tail -2 lmp$cores.out)"; exit 1; }
    loop=$(grep "^Loop time of" lmp$cores.out | tail -1 | awk '{print $4}')
    lmp=$(calc "$loop / $steps")
    for p in md lmp; do
      s=${!p}
      name=$([ $p = md ] && echo "--md" || echo "LAMMPS")
      printf '%8d  %-8s %5d  %12.5f  %16.3e  %s\n' $atoms "$name" $cores "$s" \
        "$(calc "$atoms / $s")" "$([ $p = lmp ] && calc "$md / $lmp")"
    done
  done
done

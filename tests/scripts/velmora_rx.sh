#!/usr/bin/env bash
# Relaxation commands of velmora.x end to end: --rx-sd against scipy and an
# E(a) scan, fixed atoms from the CIF with a screening factor that does not
# depend on them, the step limit; --rx-neb on a vacancy hop in a 2x2x2 NaCl
# supercell (symmetric profile, barrier summary, logs and images, the same
# files whatever the thread count), --rx-neb-images and its checks of every
# image; ASE reads the trajectories.
. "$(dirname "$0")/lib/velmora_checks.sh"
CHECK="$SRC/tests/scripts/velmora_rx_check.py"
python_ok=0
"$PY" -c 'import numpy, scipy' 2>/dev/null && python_ok=1
# The sanitizers slow every step many times; the long runs add no code path.
slow=1
[ -n "${ASAN_OPTIONS:-}${UBSAN_OPTIONS:-}" ] && slow=0

# ---------------------------------------------------------------- --rx-sd
if [ "$python_ok" = 1 ]; then
  structures="$DATA/validation/TiO2.cif $DATA/validation/LiCoO2.cif"
  [ "$slow" = 1 ] && structures="$structures $DATA/validation/LiFePO4.cif"
  "$PY" "$CHECK" "$V" "$S" scipy $structures || fail "relaxed geometry against scipy"
  "$PY" "$CHECK" "$V" "$S" mgo "$DATA/validation/MgO.cif" || fail "MgO lattice against E(a)"
fi

# Step limit: no claim of convergence, the structure reached is written.
cp "$DATA/validation/LiFePO4.cif" lfp.cif
run limit 0 --rx-sd lfp.cif 4 0 0 0 0.75
has limit.out "Warning: step limit reached without achieving convergence."
lacks limit.out "RX_SD: convergence reached."
has limit.out "RX_SD: total energy = "
[ "$(grep -c '^RX_SD: step=' limit.out)" = 4 ] || fail "step limit 4: not 4 step lines"
[ -s lfp.cif.rx.cif ] && [ -s lfp.cif.rx.xyz ] || fail "step limit: no output files"
run limit_name 0 --rx-sd lfp.cif 1 0 0 0 0.75 named.cif
[ -s named.cif ] && [ -s named.xyz ] || fail "named output and trajectory missing"

# Fixed atoms from the CIF: the listed O1 stays, its copies and the Li move;
# the automatic screening factor is that of the cell without constraints.
awk '/_atom_site_occupancy/ {print; print "_atom_site_velmora_fixed"; next}
     /^O1 / {print $0 " t"; next} /^Li1 / {print $0 " f"; next} {print}' \
  "$DATA/cif/Li2O.cif" >fixed.cif
cp "$DATA/cif/Li2O.cif" free.cif
run fixed 0 --rx-sd fixed.cif 3
run free 0 --rx-sd free.cif 3
has fixed.out "Message: relaxation constraint found."
has free.out "Message: keyword '_velmora_fixed' not found in cif file."
has free.out "Message: relaxation without constraint."
[ "$(grep '^Message: sf=' fixed.out)" = "$(grep '^Message: sf=' free.out)" ] \
  || fail "screening factor depends on the fixed atoms: $(grep '^Message: sf=' fixed.out free.out)"
run bad_limit 1 --rx-sd free.cif x
has bad_limit.err "Error: wrong parameter step_limit."
run bad_sf 1 --rx-sd free.cif 0 0 0 0 abc
has bad_sf.err "Error: wrong parameter sf."

# ----------------------------------------------------------------- --rx-neb
# A 2x2x2 NaCl supercell with the Na at the origin missing; the Na named Nam
# hops from 1/4 1/4 0 into it.  The two ends are mirror images.
"$PY" - <<'EOF'
import itertools
a = 5.6402
rows, n = [], 0
for i, j, k in itertools.product(range(2), repeat=3):
    for x, y, z in [(0, 0, 0), (0, .5, .5), (.5, 0, .5), (.5, .5, 0)]:
        for el, dx in (('Na', 0.0), ('Cl', 0.5)):
            n += 1
            rows.append([f'{el}{n}', el, [((x + dx) % 1 + i) / 2, (y + j) / 2, (z + k) / 2]])
rows = [r for r in rows if not (r[1] == 'Na' and r[2] == [0, 0, 0])]
[m for m in rows if m[1] == 'Na' and m[2] == [0.25, 0.25, 0]][0][0] = 'Nam'
def write(name, mobile, skip=None, os_change=None):
    with open(name, 'w') as f:
        f.write(f'data_hop\n_cell_length_a {2*a}\n_cell_length_b {2*a}\n_cell_length_c {2*a}\n'
                '_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n'
                "loop_\n_symmetry_equiv_pos_as_xyz\n'x,y,z'\nloop_\n_atom_site_label\n"
                '_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n'
                '_atom_site_fract_z\n_atom_site_occupancy\n')
        for lab, el, p in rows:
            p = mobile if lab == 'Nam' else p
            charge = '1+' if el == 'Na' else '1-'
            if lab == os_change:
                charge = '2+'
            f.write(f'{lab} {el}{charge} {p[0]:.6f} {p[1]:.6f} {p[2]:.6f} 1.0\n')
write('hop_i.cif', [0.25, 0.25, 0])
write('hop_f.cif', [0, 0, 0])
write('img.0.cif', [0.25, 0.25, 0])
write('img.1.cif', [0.125, 0.125, 0])
write('img.2.cif', [0, 0, 0])
write('bad.0.cif', [0.25, 0.25, 0])
write('bad.1.cif', [0.125, 0.125, 0], os_change='Na3')
write('bad.2.cif', [0, 0, 0])
EOF
if [ "$slow" = 1 ]; then
  # f_conv in eV/A: 0.05 converges this band in about 1500 steps.
  run hop 0 --rx-neb hop_i.cif hop_f.cif 7 3000 50 t 0.05 0.75
  has hop.out "RX_NEB: convergence reached."
  has hop.out "RX_NEB: barrier forward = "
  for k in 0 1 2 3 4 5 6; do
    [ -s "hop_i.cif.neb.$k.cif" ] && [ -s "hop_i.cif.neb-log.$k.txt" ] || fail "hop: files of image $k"
  done
  has hop_i.cif.neb-log.txt "total_images = 7, step_limit = 3000, f_conv = 0.050000"
  [ "$python_ok" = 1 ] && { "$PY" "$CHECK" "$V" "$S" hop hop_i.cif.neb.xyz || fail "hop profile"; }
fi

# The same band on one thread and on two: the same files, byte for byte;
# at the step limit the lines since the last multiple of step_log and the
# final images are written all the same.
for t in 1 2; do
  mkdir -p "threads$t"
  OMP_NUM_THREADS=$t "$V" --rx-neb hop_i.cif hop_f.cif 5 12 5 f 0 0.75 0 "threads$t/band" \
    >"threads$t.out" 2>&1 || fail "band on $t thread(s)"
done
has threads1.out "Warning: step limit reached without achieving convergence."
diff -r threads1 threads2 >/dev/null || fail "band files depend on the thread count"
grep -q "^    12," threads1/band.neb-log.txt || fail "log lines after step 10 lost at the step limit"
[ "$(grep -c '^ *[0-9]*,' threads1/band.neb-log.txt)" = 12 ] || fail "not 12 log lines"

# --rx-neb-images reads img.0.cif ... img.2.cif; every image is checked.
run images 0 --rx-neb-images img 3 5 -1 f 0 0.75
has images.out "RX_NEB: barrier forward = "
[ -s img.neb.1.cif ] && [ -s img.neb.xyz ] || fail "final images written with logging off"
[ ! -e img.neb-log.txt ] || fail "a log written with logging off"
run images_os 1 --rx-neb-images bad 3 5
has images_os.err "Error: atom Na3 is Na1+ in one image and Na2+ in another."
run images_missing 1 --rx-neb-images img 4
run usage_images 2 --rx-neb-images img
has usage_images.out "this string is appended by .0.cif, .1.cif"
has usage_images.out "Li2O.0.cif, Li2O.1.cif, Li2O.2.cif, Li2O.3.cif, Li2O.4.cif."
has usage_images.out "{flag:relax}: if set to true, two end images are relaxed to achieve local minima. Default false."
run usage_neb 2 --rx-neb hop_i.cif hop_f.cif
has usage_neb.out "Default true."
run two 1 --rx-neb hop_i.cif hop_f.cif 2
has two.err "Error: wrong parameter total number of images."
run many 1 --rx-neb hop_i.cif hop_f.cif 101
has many.err "at most 100"
run mismatch 1 --rx-neb hop_i.cif "$DATA/cif/Li2O.cif" 5
has mismatch.err "Error: total numbers of atoms mismatch."

if [ "$python_ok" = 1 ] && "$PY" -c 'import ase' 2>/dev/null; then
  "$PY" "$CHECK" "$V" "$S" ase lfp.cif.rx.xyz img.neb.xyz threads1/band.neb.xyz || fail "ASE"
fi

finish
echo "velmora relaxations: all passed"

#!/usr/bin/env bash
# velmora.x under hostile conditions: cells no crystal can have are refused
# quickly; an address-space limit ends a landscape, its Fourier analysis or
# a kMC run with one "not enough memory" line and no file; SIGINT/SIGTERM while a cube is written leave the old file or the
# new one and no temporary file; outputs named like a FIFO, a device, a
# symbolic link or a directory are refused and left as they are, by
# --gen-cube and by the commands that write CIF, GULP and trajectory files.
. "$(dirname "$0")/lib/velmora_checks.sh"
leftovers() { ls -a | grep -c 'velmora-unfinished'; }
sanitized=0
ldd "$V" 2>/dev/null | grep -q 'lib[at]san' && sanitized=1

cp "$DATA/cif/Li2O.cif" .
cell() {  # cell NAME A B C SITES...: a P 1 cell
  local name=$1; shift
  { echo "data_x"; echo "_cell_length_a $1"; echo "_cell_length_b $2"; echo "_cell_length_c $3"
    echo "_cell_angle_alpha 90"; echo "_cell_angle_beta 90"; echo "_cell_angle_gamma 90"
    echo "_space_group_IT_number 1"
    echo "loop_"; echo "_atom_site_label"; echo "_atom_site_type_symbol"
    echo "_atom_site_fract_x"; echo "_atom_site_fract_y"; echo "_atom_site_fract_z"
    echo "_atom_site_occupancy"; shift 3; printf '%s\n' "$@"; } > "$name"
}

# --- Cells no crystal can have: refused at once, nothing written.
cell thin.cif 0.05 0.05 4.6 "Li1 Li1+ 0 0 0 1" "O1 O2- 0.5 0.5 0.5 1"
start=$(date +%s)
run thin 1 --gen-cube thin.cif Li 1 0.7 0.1 t t thin.cube
has thin.err "shorter than 1 A"
[ -e thin.cube ] && fail "a cube was written for a 0.05 A cell"
cell overlap.cif 4.6 4.6 4.6 "Li1 Li1+ 0 0 0 1" "O1 O2- 0.02 0 0 1"
run overlap 1 --cal-tot-en overlap.cif
has overlap.err "Li1 and O1 lie 0.092 A apart"
# 972 atoms in the Li2O cell (five extra O sites in general positions).
"$PY" - <<'EOF'
src = open('Li2O.cif').read()
extra = ['0.11 0.07 0.31', '0.42 0.13 0.02', '0.19 0.37 0.44', '0.03 0.29 0.17', '0.36 0.21 0.09']
open('crowded.cif', 'w').write(src.rstrip('\n') + '\n' + ''.join(
    'Ox%d O2- %s 1\n' % (k, e) for k, e in enumerate(extra)))
EOF
for c in --gen-cube --cal-tot-en --print-ppt; do
  if [ $c = --gen-cube ]; then run "crowded$c" 1 $c crowded.cif Li 1
  else run "crowded$c" 1 $c crowded.cif; fi
  has "crowded$c.err" "per A^3); no solid holds more than 2 atoms per A^3."
done
[ -e crowded.cif.cube ] && fail "a cube was written for the crowded cell"
[ $(( $(date +%s) - start )) -le 20 ] || fail "the refusals took more than 20 s"

# --- An address-space limit: one error line, exit 1, no file.  (The
# sanitizers reserve terabytes of address space, so not under them.)
"$PY" - <<'EOF'
# Li2O in P 1, 4 x 4 x 3 conventional cells: 576 atoms.
a = 4.6114
li = [(x, y, z) for x in (0.25, 0.75) for y in (0.25, 0.75) for z in (0.25, 0.75)]
o = [(0, 0, 0), (0, 0.5, 0.5), (0.5, 0, 0.5), (0.5, 0.5, 0)]
rows = []
for i in range(4):
    for j in range(4):
        for k in range(3):
            for t, sites in (('Li', li), ('O', o)):
                for n, (x, y, z) in enumerate(sites):
                    rows.append('%s%d_%d%d%d %s%s %.6f %.6f %.6f 1' % (
                        t, n, i, j, k, t, '1+' if t == 'Li' else '2-',
                        (x + i) / 4, (y + j) / 4, (z + k) / 3))
open('Li2O_576.cif', 'w').write(
    'data_Li2O_576\n_cell_length_a %.4f\n_cell_length_b %.4f\n_cell_length_c %.4f\n'
    '_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n'
    '_space_group_IT_number 1\nloop_\n_atom_site_label\n_atom_site_type_symbol\n'
    '_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n'
    % (4 * a, 4 * a, 3 * a) + '\n'.join(rows) + '\n')
EOF
if [ $sanitized = 0 ]; then
  for limit in 60000 100000; do
    ( ulimit -v $limit; exec "$V" --gen-cube Li2O_576.cif Li 1 0.7 0.1 t t lim.cube ) \
      >lim.out 2>lim.err
    st=$?
    [ $st = 1 ] || fail "under ${limit} KB: exit status $st, wanted 1 ($(head -c 300 lim.err))"
    [ "$(wc -l < lim.err)" = 1 ] || fail "under ${limit} KB: $(wc -l < lim.err) error lines"
    has lim.err "Error: not enough memory"
    [ -e lim.cube ] && fail "under ${limit} KB a cube was left"
    [ "$(leftovers)" = 0 ] || fail "under ${limit} KB a temporary file was left"
  done
fi

# --- The landscape commands under an address-space limit: one line
# "Error: not enough memory for ..." naming the block, whether reading the
# file or computing on it, never "unable to open" for a file that exists.
if [ $sanitized = 0 ]; then
  "$V" --gen-cube Li2O.cif Li 1 0.7 0.048 t t c120.cube >/dev/null 2>&1 || fail "120^3 cube"
  for limit in 30000 60000; do
    for c in "--fft c120.cube" "--fft-cubes c120.cube" "--kmc Li2O.cif c120.cube Li 1"; do
      ( ulimit -v $limit; exec "$V" $c ) >mem.out 2>mem.err
      st=$?
      [ $st = 1 ] || fail "$c under ${limit} KB: exit status $st"
      [ "$(grep -c '^Error' mem.err)" = 1 ] || fail "$c under ${limit} KB: $(grep -c '^Error' mem.err) error lines"
      has mem.err "Error: not enough memory for "
      lacks mem.out "unable to open"
    done
  done
  [ "$(ls c120.cube.fft* 2>/dev/null | wc -l)" = 0 ] || fail "files left by runs out of memory"
  rm -f c120.cube
fi

# --- Kills while the cube is written: the old file or the whole new one,
# never a temporary file.  The kill is sent as soon as the temporary file
# appears, or a little later.
"$V" --gen-cube Li2O.cif Li 1 0.7 0.03 t t whole.cube >/dev/null 2>&1 || fail "reference cube"
size=$(stat -c %s whole.cube)
echo "old" > k.cube
for sig in TERM INT HUP; do
  for delay in 0 0.05 0.2; do
    "$V" --gen-cube Li2O.cif Li 1 0.7 0.03 t t k.cube >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 1 3000); do
      ls -a | grep -q 'k.cube.velmora-unfinished' && break
      kill -0 $pid 2>/dev/null || break
      sleep 0.01
    done
    sleep $delay
    kill -$sig $pid 2>/dev/null
    wait $pid 2>/dev/null
    st=$?
    if cmp -s k.cube whole.cube; then :
    elif [ "$(cat k.cube)" = old ]; then
      [ $st = 0 ] && fail "SIG$sig: exit 0 but the old file is in place"
    else
      fail "SIG$sig after ${delay} s: k.cube is neither old nor whole ($(stat -c %s k.cube) of $size bytes)"
    fi
    [ "$(leftovers)" = 0 ] || { fail "SIG$sig after ${delay} s left $(ls -a | grep unfinished)"; rm -f ./*velmora-unfinished*; }
    echo "old" > k.cube
  done
done

# --- Outputs named like special files are refused and stay as they are.
kinds=(fifo link dir)
for ext in out gin; do
  mkfifo fifo.$ext
  ln -s target.txt link.$ext
  mkdir dir.$ext
  if [ "$(id -u)" = 0 ] && mknod null.$ext c 1 3 2>/dev/null; then
    [ $ext = out ] && kinds+=(null)
  fi
done
for kind in "${kinds[@]}"; do
  before=$(stat -c %F $kind.out)
  run "gen_cube_$kind" 1 --gen-cube Li2O.cif Li 1 0.7 0.2 t t $kind.out
  has "gen_cube_$kind.err" "Error: the output $kind.out "
  run "assign_$kind" 1 --gen-cif-assign-all Li2O.cif $kind.out
  has "assign_$kind.err" "Error: the output $kind.out "
  [ "$(stat -c %F $kind.out)" = "$before" ] || fail "$kind.out became $(stat -c %F $kind.out)"
  before=$(stat -c %F $kind.gin)
  run "gen_gin_$kind" 1 --gen-gin Li2O.cif 0.7 $kind.gin
  [ "$(stat -c %F $kind.gin)" = "$before" ] || fail "$kind.gin became $(stat -c %F $kind.gin)"
  [ -e target.txt ] && fail "the link to target.txt was followed"
done
[ "$(leftovers)" = 0 ] || fail "refused outputs left $(ls -a | grep unfinished)"
cp Li2O.cif sd.cif
ln -s elsewhere.xyz sd.cif.rx.xyz
run rx_sd_link 1 --rx-sd sd.cif 2
[ -L sd.cif.rx.xyz ] || fail "--rx-sd replaced the symbolic link"

finish
echo "velmora hardening: all passed"

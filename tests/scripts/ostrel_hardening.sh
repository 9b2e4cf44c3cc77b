#!/usr/bin/env bash
# ostrel against hostile inputs and conditions: special files and oversized
# files as CIF or cube (refused at once with one error line and status 1),
# a CIF with more atoms than supported, too little memory, two runs in one
# directory at the same time (every output whole and from one run), and
# SIGTERM while the outputs are written (no temporary file left behind).
set -u
: "${OSTREL:?}" "${BV_SCRATCH:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import numpy' 2>/dev/null || { echo "skipped: no numpy"; exit 77; }
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# Separable cosine landscapes (thresholds 2A, 2B, 2C) and their structure.
"$PYTHON" - <<'PY' || exit 1
import numpy as np
def cube(name, n, L, A, B, C):
    t = 1 - np.cos(2 * np.pi * np.arange(n) / n)
    e = A * t[:, None, None] + B * t[None, :, None] + C * t[None, None, :]
    with open(name, "w") as f:
        f.write("t\nConducting = Li1+ ; sf = 0.7;\n   0 0 0 0\n")
        for ax in range(3):
            v = [0.0] * 3
            v[ax] = L / n * 1.889725989
            f.write("%4d %f %f %f\n" % (n, *v))
        np.savetxt(f, e.reshape(-1), fmt=" %.6f")
def cif(name, L):
    with open(name, "w") as f:
        f.write("data_t\n_cell_length_a %g\n_cell_length_b %g\n_cell_length_c %g\n"
                "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
                "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n"
                "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
                "_atom_site_fract_y\n_atom_site_fract_z\nLi1 Li1+ 0 0 0\nO1 O2- 0.5 0.5 0.5\n"
                % (L, L, L))
cube("a.cube", 20, 4.0, 0.11, 0.23, 0.37)
cube("b.cube", 20, 4.0, 0.13, 0.29, 0.41)
cube("big.cube", 96, 8.0, 0.11, 0.23, 0.37)
cif("t.cif", 4.0)
cif("big.cif", 8.0)
# 20001 sites in P1: more atoms than the reader takes.
with open("crowded.cif", "w") as f:
    f.write("data_c\n_cell_length_a 100\n_cell_length_b 100\n_cell_length_c 100\n"
            "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
            "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n"
            "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
            "_atom_site_fract_y\n_atom_site_fract_z\n")
    for s in range(20001):
        f.write("O%d O2- %.5f %.5f %.5f\n" % (s, (s % 30) / 30, (s // 30 % 30) / 30, (s // 900) / 30))
PY

# One refusal: status 1, exactly one error line naming the reason, no
# output, within the timeout.
refused() {  # label, expected text of the error line, command...
  local label=$1 want=$2; shift 2
  timeout 20 "$@" >out.txt 2>err.txt; local rc=$?
  [ $rc = 1 ] || bad "$label: status $rc, expected 1"
  [ "$(wc -l <err.txt)" = 1 ] || { bad "$label: $(wc -l <err.txt) error lines"; cat err.txt; }
  grep -q -- "$want" err.txt || { bad "$label: message"; cat err.txt; }
  ls OSTREL_* 2>/dev/null && bad "$label: output files written"
  rm -f OSTREL_*
}
mkfifo fifo.cube
mkdir dir.cube
truncate -s 65M huge.cif
truncate -s 3G huge.cube
refused "/dev/zero cube" "is not a regular file" "$OSTREL" --cube /dev/zero --cif t.cif Li1+ --path
refused "/dev/urandom CIF" "is not a regular file" "$OSTREL" --cube a.cube --cif /dev/urandom Li1+ --path
refused "FIFO cube" "is not a regular file" "$OSTREL" --cube fifo.cube --cif t.cif Li1+ --path
refused "directory cube" "is not a regular file" "$OSTREL" --cube dir.cube --cif t.cif Li1+ --path
refused "65 MB CIF" "more than the 64 MB read" "$OSTREL" --cube a.cube --cif huge.cif Li1+ --path
refused "3 GB cube" "more than the 2048 MB read" "$OSTREL" --cube huge.cube --cif t.cif Li1+ --path
refused "20001 sites" "more than the 20000 sites supported" "$OSTREL" --cube a.cube --cif crowded.cif Li1+ --path
rm -f huge.cif huge.cube

# Too little memory (address space below what the 96^3 landscape needs):
# one error line, status 1, no file left.  Sanitizer builds reserve
# terabytes of address space and are skipped.
if ldd "$OSTREL" 2>/dev/null | grep -q libasan; then
  echo "memory limit: skipped under AddressSanitizer"
else
  for limit in 20000 40000 60000; do
    mkdir -p mem$limit
    (cd mem$limit && ulimit -v $limit &&
       "$OSTREL" --cube ../big.cube --cif ../big.cif Li1+ --path --summary >out.txt 2>err.txt)
    rc=$?
    if [ $rc != 0 ]; then
      [ $rc = 1 ] || bad "memory $limit KB: status $rc"
      [ "$(wc -l <mem$limit/err.txt)" = 1 ] || { bad "memory $limit KB: error lines"; cat mem$limit/err.txt; }
      grep -q 'Memory allocation problem' mem$limit/err.txt || bad "memory $limit KB: message"
      ls mem$limit | grep -q 'ostrel-partial' && bad "memory $limit KB: temporary file left"
    fi
    echo "memory limit $limit KB: status $rc"
  done
fi

# Two runs in one directory at once: each file holds one run's analysis.
for x in a b; do
  mkdir -p alone_$x
  (cd alone_$x && "$OSTREL" --cube ../$x.cube --cif ../t.cif Li1+ --path --summary >/dev/null 2>&1) \
    || bad "run $x alone"
done
mkdir -p both
for round in 1 2 3; do
  (cd both && "$OSTREL" --cube ../a.cube --cif ../t.cif Li1+ --path --summary >a.out 2>&1 &
   "$OSTREL" --cube ../b.cube --cif ../t.cif Li1+ --path --summary >b.out 2>&1; wait) \
    || bad "concurrent runs failed"
  for f in OSTREL_events.txt OSTREL_rp.csv OSTREL_summary.txt; do
    cmp -s both/$f alone_a/$f || cmp -s both/$f alone_b/$f || bad "round $round: $f from neither run"
  done
done
ls both | grep -q 'ostrel-partial' && bad "concurrent runs: temporary file left"

# SIGTERM at random moments of a run that writes large outputs: never a
# temporary file left, and any output present is whole.
mkdir -p kill && cd kill || exit 1
"$OSTREL" --cube ../big.cube --cif ../big.cif Li1+ --path --summary >/dev/null 2>&1
cp OSTREL_summary.txt whole_summary.txt
for delay in 0.05 0.2 0.4 0.6 0.8 1.0 1.3; do
  "$OSTREL" --cube ../big.cube --cif ../big.cif Li1+ --path --summary >/dev/null 2>&1 &
  pid=$!
  sleep $delay
  kill -TERM $pid 2>/dev/null
  wait $pid
  ls | grep -q 'ostrel-partial' && { bad "SIGTERM after $delay s: temporary file left"; ls; }
  cmp -s OSTREL_summary.txt whole_summary.txt || bad "SIGTERM after $delay s: summary not whole"
done
cd ..

[ $fail = 0 ] && echo "hardening: ok"
exit $fail

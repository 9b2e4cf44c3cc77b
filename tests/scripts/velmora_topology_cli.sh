#!/usr/bin/env bash
# velmora.x --fft, --fft-cubes, --fp-map, --gh and --sites end to end on
# cosine landscapes with known percolation energies: usage texts and
# argument errors with their exit statuses, the thresholds of --gh against
# the independent flood fill (tools/percolation_check.py) and ostrel, the
# files each command writes, and the refusals: names too long for the name
# buffers, a structure of another lattice, a site file that cannot be
# written, stale files of dimensions not found, malformed cubes.
set -u
: "${VELMORA:?}" "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import numpy' 2>/dev/null || { echo "skipped: no numpy"; exit 77; }
check="$BV_SOURCE_DIR/tests/scripts/velmora_topology_check.py"
fail=0
bad() { echo "FAIL: $*"; fail=1; }
status() {  # expected status, then the command
  local want=$1; shift
  "$@" >out.txt 2>err.txt
  local got=$?
  [ $got = $want ] || { bad "$* exited $got, expected $want"; tail -3 err.txt; }
}

# Usage texts: status 2, first line as documented.
status 2 "$VELMORA" --fft
grep -qx 'Command: --fft \[input.cube\] | {cap} {flag:periodic} {output_name}' out.txt || bad "--fft usage"
status 2 "$VELMORA" --fft-cubes
grep -qx 'Example: ./velmora.x --fft-cube Li2O.cube' out.txt || bad "--fft-cubes usage"
status 2 "$VELMORA" --fp-map
grep -qx '         K: saddle point of 2st type.' out.txt || bad "--fp-map usage"
status 2 "$VELMORA" --gh a.cif b.cube Li
grep -qx 'Example: ./velmora.x --gh Li2O.cif Li2O.cube Li 1' out.txt || bad "--gh usage"
status 2 "$VELMORA" --sites a.cif b.cube Li
grep -q '^Command: {flag:periodic}: if set to true, cube file is treated as periodic. Default true.Command: output a summary' out.txt \
  || bad "--sites usage"

"$PYTHON" "$check" landscapes . || exit 1

# Argument errors: status 1, the parameter named, nothing written.
status 1 "$VELMORA" --fft sep.cube abc
grep -qx 'Error: wrong parameter cap.' err.txt || bad "--fft cap message"
status 1 "$VELMORA" --fp-map sep.cube x
grep -qx 'Error: wrong parameter barrier_max.' err.txt || bad "--fp-map barrier_max message"
status 1 "$VELMORA" --gh cub.cif sep.cube Li one
grep -qx 'Error: wrong parameter os.' err.txt || bad "--gh os message"
status 1 "$VELMORA" --sites chain.cif chain.cube Li 1 -1 -1 -1 maybe
grep -qx 'Error: wrong parameter print_long.' err.txt || bad "--sites print_long message"
ls ./*.fft.* ./*.gh.* ./*.fp.cif 2>/dev/null && bad "files written after argument errors"

# Thresholds against the flood fill and ostrel.
for case in sep:cub iso:cub chain:chain hex:hex tri:tri four:cub; do
  cube=${case%:*}; cif=${case#*:}
  status 0 "$VELMORA" --gh $cif.cif $cube.cube Li 1
  cp out.txt $cube.gh
  mkdir -p $cube.os
  others=""
  if [ $cube != hex ]; then  # ostrel does not handle the hexagonal P1 grid
    (cd $cube.os && "$OSTREL" --cube ../$cube.cube --cif ../$cif.cif Li1+ --path --print-act --scale E >../$cube.ost 2>&1)
    others=$cube.ost
  fi
  "$PYTHON" "$check" compare $cube.cube $cube.gh $others >$cube.cmp || bad "$cube: thresholds differ"
  sed "s/^/$cube: /" $cube.cmp
done
grep -q 'e_loop = -1.000' sep.gh || bad "sep: a local loop reported"

# Files of --gh: the site graph, the summary, one CIF per dimension found;
# a file of a dimension not found in this run (left by an older one) goes.
for s in gh.cif gh.txt gh.1d.cif gh.2d.cif gh.3d.cif; do [ -s cub.cif.$s ] || bad "cub.cif.$s missing"; done
echo stale >cub.cif.gh.0d.cif
status 0 "$VELMORA" --gh cub.cif sep.cube Li 1
[ -e cub.cif.gh.0d.cif ] && bad "stale .gh.0d.cif kept"
atoms() { awk -v t="$1" '$2 == t && $3 ~ /^-?[0-9.]+$/ { n++ } END { print n + 0 }' "$2"; }
[ "$(atoms Li1+ cub.cif.gh.cif)" = 1 ] || bad ".gh.cif: one site expected"
[ "$(atoms Na1+ cub.cif.gh.cif)" = 3 ] || bad ".gh.cif: three saddles expected"
head -1 cub.cif.gh.txt | grep -q '^r_coor, energy,   site, dn,      x,      y,      z, index' || bad ".gh.txt header"
ls ./*.tmp.* 2>/dev/null && bad "temporary files left"

# A structure whose lattice is not the cube's.
sed 's/_cell_length_a 4/_cell_length_a 4.3/' cub.cif >other.cif
status 1 "$VELMORA" --gh other.cif sep.cube Li 1
grep -q 'differs from that of' err.txt || bad "lattice mismatch not reported"

# --fp-map and --fft on the separable landscape.
status 0 "$VELMORA" --fp-map sep.cube
[ "$(atoms Li1+ sep.cube.fp.cif)" = 1 ] || bad "--fp-map: one minimum expected"
[ "$(atoms Na1+ sep.cube.fp.cif)" = 3 ] || bad "--fp-map: three saddles expected"
all=$(atoms H1+ sep.cube.fp.cif)
status 0 "$VELMORA" --fp-map sep.cube 0.3 t low.cif
[ "$(atoms H1+ low.cif)" -lt "$all" ] || bad "--fp-map barrier filter"
status 0 "$VELMORA" --fft sep.cube
grep -q 'Message: found 8 critical points via fft method.' out.txt || bad "--fft: 8 critical points expected"
[ "$(grep -c '^ *[0-9]*,' sep.cube.fft.txt)" = 8 ] || bad "--fft: table rows"
status 0 "$VELMORA" --fft-cubes iso.cube t iso
[ "$(ls iso.fft.*.cube | wc -l)" = 14 ] || bad "--fft-cubes: 14 cubes expected"
"$PYTHON" - "$BV_SOURCE_DIR/tools" <<'PY' || bad "--fft-cubes: laplacian is not the trace"
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import percolation_check as p
lap = p.read_cube("iso.fft.laplacian.cube")
trace = sum(p.read_cube("iso.fft.k%d%d.cube" % (d, d)) for d in range(3))
sys.exit(0 if np.abs(lap - trace).max() < 2e-6 and abs(lap[0, 0, 0]) > 1 else 1)
PY
# --sites: tables and the site file; a site file that cannot be written
# fails the command.
status 0 "$VELMORA" --sites chain.cif chain.cube Li 1
grep -q '^GRAPH_SITES: total_real = 2$' out.txt || bad "--sites: two real sites expected"
[ -s chain.cif.site.cif ] || bad "--sites: no site file"
status 0 "$VELMORA" --sites chain.cif chain.cube Li 1 0.05 2.5 -1 t
grep -q '^GRAPH_SITES: total_merge = 1$' out.txt || bad "--sites: merged site expected"
mkdir -p blocked && cp chain.cif blocked/ && mkdir blocked/chain.cif.site.cif
status 1 "$VELMORA" --sites blocked/chain.cif chain.cube Li 1
grep -q 'velmora_cell_export_cif_to_file() returns non-zero' err.txt || bad "--sites: write failure not reported"

# Names the buffers would cut: refused, the input untouched.
deep=$(printf 'd%.0s' $(seq 1 200))
path="$deep/$deep/$deep/$deep/$deep/$deep"
mkdir -p "$path" && cp sep.cube "$path/sep.cube"
status 1 "$VELMORA" --fft "$path/sep.cube"
grep -q 'too long' err.txt || bad "--fft: long name not refused"
cmp -s sep.cube "$path/sep.cube" || bad "--fft: input changed"
status 1 "$VELMORA" --fp-map "$path/sep.cube"
cp cub.cif "$path/"
status 1 "$VELMORA" --gh "$path/cub.cif" sep.cube Li 1

# Malformed cubes: refused with a message, never a crash.
head -20 sep.cube >short.cube
printf 't\r\n\r\n   0 0 0 0\r\n   0 1 0 0\r\n   4 0 1 0\r\n   4 0 0 1\r\n' >zero.cube
printf 't\r\n\r\n   0 0 0 0\r\n   2 1 0 0\r\n   4 0 1 0\r\n   4 0 0 1\r\n' >thin.cube
for i in $(seq 32); do echo " 0.5"; done >>thin.cube
sed '10s/.*/ nan/' sep.cube >nan.cube
for cube in short zero thin nan; do
  cmds="--fft --fp-map"
  [ $cube = thin ] && cmds=--fp-map  # two points along a: fine for Fourier, not for the map
  for cmd in $cmds; do
    "$VELMORA" $cmd $cube.cube >out.txt 2>err.txt
    rc=$?
    [ $rc = 1 ] || bad "$cmd $cube.cube exited $rc"
  done
  "$VELMORA" --gh cub.cif $cube.cube Li 1 >out.txt 2>err.txt
  [ $? = 1 ] || bad "--gh $cube.cube did not fail"
done

[ $fail = 0 ] && echo "topology commands: ok"
exit $fail

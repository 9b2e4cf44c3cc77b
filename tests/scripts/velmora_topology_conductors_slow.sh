#!/usr/bin/env bash
# velmora.x --gh and --fft on the landscapes of bundled conductors
# (Na3PS4, LiCoO2, LiFePO4, Li2O, Li3N at 0.2 A): the 1D/2D/3D thresholds
# against the independent flood fill (tools/percolation_check.py) and
# against ostrel --print-act, within one grid step's energy change; and the
# critical points of --fft against ostrel's minima and saddles where the
# landscape is smooth on the grid scale (Na3PS4 at 0.2 A, Li2O at 0.1 A).
set -u
: "${VELMORA:?}" "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import numpy' 2>/dev/null || { echo "skipped: no numpy"; exit 77; }
check="$BV_SOURCE_DIR/tests/scripts/velmora_topology_check.py"
data="$BV_SOURCE_DIR/tests/data/validation"
fail=0
bad() { echo "FAIL: $*"; fail=1; }

cp "$BV_SOURCE_DIR/examples/Na3PS4.cif" . || exit 1
for name in LiCoO2 LiFePO4 Li2O Li3N; do cp "$data/$name.cif" . || exit 1; done
while read -r name el res; do
  cube=$name.$res.cube
  "$VELMORA" --gen-cube $name.cif $el 1 0 $res t t $cube >$name.gen.txt 2>&1 || { bad "$name: --gen-cube"; continue; }
  cif=$name.cif
  [ -f ${name}_assigned.cif ] && cif=${name}_assigned.cif
  "$VELMORA" --gh $cif $cube $el 1 >$cube.gh 2>$cube.gh.err || { bad "$name: --gh failed"; cat $cube.gh.err; continue; }
  mkdir -p $cube.run
  (cd $cube.run && "$OSTREL" --cube ../$cube --cif ../$cif ${el}1+ --path --print-act --print-minima \
      --print-saddle --scale E >../$cube.ost 2>&1) || { bad "$name: ostrel failed"; continue; }
  "$PYTHON" "$check" compare $cube $cube.gh $cube.ost >$cube.cmp || bad "$name: thresholds differ"
  sed "s/^/$name $res: /" $cube.cmp
  case $name.$res in
    Na3PS4.0.2|Li2O.0.1)
      "$VELMORA" --fft $cube >/dev/null 2>&1 || { bad "$name: --fft failed"; continue; }
      counts=$(sed -n 4,6p $cube | awk '{printf "%s%s", sep, $1; sep = ","}')
      "$PYTHON" "$check" critical $cube.fft.txt $cube.ost $counts >$cube.crit || bad "$name: critical points differ"
      sed "s/^/$name $res critical points: /" $cube.crit ;;
  esac
done <<EOF
Na3PS4 Na 0.2
LiCoO2 Li 0.2
LiFePO4 Li 0.2
Li2O Li 0.2
Li2O Li 0.1
Li3N Li 0.2
EOF

[ $fail = 0 ] && echo "conductors against the flood fill and ostrel: ok"
exit $fail

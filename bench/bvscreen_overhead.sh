#!/usr/bin/env bash
# What bvscreen adds per structure to the programs' own time, measured side
# by side in one run on the same small structures (copies of the test and
# example CIFs at a coarse grid, so that the programs are quick and the
# overhead shows):
#   1. the three program runs of each structure by hand, one after the
#      other: their sum S;
#   2. bvscreen --jobs 1 on this machine: wall W, and the programs' own wall
#      time inside it P (each row records its runs): overhead per structure
#      (W - P) / n and the ratio W / P (also W / S);
#   3. GNU parallel -j1, one bvscreen --no-merge per structure (a Python
#      start and the CIF read each time) and one --merge: the same numbers;
#   and the start-up of bvscreen alone (bvscreen --print-inputs of one CIF).
# Usage: bench/bvscreen_overhead.sh [copies of each structure (4)] [resolution (0.4)]
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
copies=${1:-4}
res=${2:-0.4}
bin=${BV_BIN_DIR:-$src/bin}
work=$(mktemp -d /tmp/bvscreen-overhead.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/cif"
for k in $(seq 1 "$copies"); do
  cp "$src/tests/data/cif/Li2O.cif" "$work/cif/Li2O_$k.cif"
  cp "$src/tests/data/screen/LiCoO2.cif" "$work/cif/LiCoO2_$k.cif"
  cp "$src/tests/data/cube/LiNaO_partial.cif" "$work/cif/LiNaO_$k.cif"
done
n=$(ls "$work/cif" | wc -l)
export OMP_NUM_THREADS=1
echo "bvscreen overhead: $n structures at $res A, one at a time (load $(cut -d' ' -f1-3 /proc/loadavg))"
now() { date +%s.%N; }
span() { echo "$2 - $1" | bc -l; }

# 1. by hand
mkdir "$work/hand"
t0=$(now)
for f in "$work"/cif/*.cif; do
  s=$(basename "$f" .cif)
  mkdir "$work/hand/$s" && cp "$f" "$work/hand/$s/" && (
    cd "$work/hand/$s"
    "$bin/velmora.x" --cal-bv $s.cif --json velmora_bv.json >bv.out 2>&1
    "$bin/velmora.x" --gen-cube $s.cif Li 1 0 $res t t $s.cube --seed 1 --json velmora_cube.json >cube.out 2>&1
    c=$s.cif; [ -f ${s}_assigned.cif ] && c=${s}_assigned.cif
    "$bin/ostrel" --cube $s.cube --cif $c Li1+ --path --json OSTREL_analysis.json >ostrel.out 2>&1
  )
done
S=$(span "$t0" "$(now)")

programs() {  # the programs' wall seconds recorded in the rows of DIR
  /usr/bin/python3 -c '
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1] + "/results.jsonl")]
print("%.3f %d" % (sum(t[0] for r in rows for t in r["program_seconds"].values()), len(rows)))' "$1"
}

# 2. bvscreen on this machine, one structure at a time
t0=$(now)
"$bin/bvscreen" --ion Li --out "$work/local" --resolution "$res" --jobs 1 "$work/cif" 2>/dev/null
W=$(span "$t0" "$(now)")
read -r P rows <<<"$(programs "$work/local")"

# 3. GNU parallel, one bvscreen per structure
if command -v parallel >/dev/null; then
  "$bin/bvscreen" --print-inputs -0 "$work/cif" >"$work/list0"
  t0=$(now)
  parallel --will-cite -0 -j1 "$bin/bvscreen" --ion Li --out "$work/gp" --resolution "$res" \
      --jobs 1 --no-merge {} :::: "$work/list0" 2>/dev/null
  "$bin/bvscreen" --out "$work/gp" --merge --list "$work/list0" 2>/dev/null
  Wp=$(span "$t0" "$(now)")
  read -r Pp rows_p <<<"$(programs "$work/gp")"
fi

# start-up alone
t0=$(now)
for _ in 1 2 3; do "$bin/bvscreen" --print-inputs "$work/cif/Li2O_1.cif" >/dev/null; done
start=$(echo "($(now) - $t0) / 3" | bc -l)

printf "  by hand:            %7.2f s for %d structures (%.3f s each)\n" "$S" "$n" "$(echo "$S / $n" | bc -l)"
printf "  bvscreen local:     %7.2f s, programs %.2f s: overhead %.3f s per structure, ratio W/P %.3f, W/S %.3f (%d rows)\n" \
  "$W" "$P" "$(echo "($W - $P) / $n" | bc -l)" "$(echo "$W / $P" | bc -l)" "$(echo "$W / $S" | bc -l)" "$rows"
if [ -n "${Wp:-}" ]; then
  printf "  GNU parallel -j1:   %7.2f s, programs %.2f s: overhead %.3f s per structure, ratio W/P %.3f, W/S %.3f (%d rows)\n" \
    "$Wp" "$Pp" "$(echo "($Wp - $Pp) / $n" | bc -l)" "$(echo "$Wp / $Pp" | bc -l)" "$(echo "$Wp / $S" | bc -l)" "$rows_p"
else
  echo "  GNU parallel: not installed"
fi
printf "  bvscreen start-up (--print-inputs of one CIF): %.3f s\n" "$start"

#!/usr/bin/env bash
# Screening throughput of bvscreen on the Li compounds of the COD set beside
# the repository, measured side by side in one run:
#   1. every structure alone, one after the other, single-threaded: the same
#      three program runs bvscreen makes (velmora.x --cal-bv, --gen-cube,
#      ostrel --path ...); their sum S;
#   2. bvscreen on all cores (with and without the profile plots): wall time W
#      and the ratio W / (S / cores), to be at most 1.2;
#   the same ratio with the programs' own times inside that screen (each
#   row records the wall and processor seconds of its three program runs):
#   S' = their sum, W / (S' / cores).  S' belongs to the very landscapes the
#   screen analysed (a structure with partly occupied sites gets a random
#   supercell, whose analysis time varies from run to run), and on a machine
#   shared with other work it grows with the load as W does, so this ratio
#   is the one that shows what the screen adds: Python, plots, the order of
#   the structures and the idle tail.  The processor seconds of the screen
#   against those of its programs show bvscreen's own work.
#   3. the same screen as a Slurm job array on a single-node Slurm started
#      here (when Slurm, munge and root are available): wall time and the
#      time Slurm adds per chunk.
# Usage: bench/bvscreen_li.sh [resolution (0.2)] [chunk size (5)]
# The CIFs are copied to a scratch directory first; nothing is written
# beside the COD files.
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
res=${1:-0.2}
chunk=${2:-5}
cod=${BV_COD_DIR:-$src/../shared/data/cod}
bin=${BV_BIN_DIR:-$src/bin}
cores=$(nproc)
work=$(mktemp -d /tmp/bvscreen-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/cif"
for f in "$cod"/*.cif; do
  grep -qE "^_chemical_formula_sum.*[' ]Li[0-9. ']" "$f" && cp "$f" "$work/cif/"
done
n=$(ls "$work/cif" | wc -l)
[ "$n" -gt 0 ] || { echo "no Li compounds in $cod"; exit 1; }
echo "bvscreen benchmark: $n Li compounds of $cod at $res A on $cores cores (load $(cut -d' ' -f1-3 /proc/loadavg))"

# wall, user and system seconds of a command, appended to the file $1; its
# own standard error goes to the file $2
TIMEFORMAT='%R %U %S'
timed() { local f=$1 e=$2; shift 2; { time "$@" 2>>"$e"; } 2>>"$f"; }
sum() { awk -v c=$1 '{s += $c} END {printf "%.2f", s}' "$2"; }
cpu() { awk '{s += $2 + $3} END {printf "%.2f", s}' "$1"; }

# 1. one after the other, one thread each
mkdir "$work/alone"
alone() {
  cd "$work/alone/$1" && export OMP_NUM_THREADS=1
  "$bin/velmora.x" --cal-bv $1.cif --json velmora_bv.json >bv.out 2>&1
  "$bin/velmora.x" --gen-cube $1.cif Li 1 0 $res t t $1.cube --seed 1 --json velmora_cube.json \
      >cube.out 2>&1
  c=$1.cif; [ -f ${1}_assigned.cif ] && c=${1}_assigned.cif
  "$bin/ostrel" --cube $1.cube --cif $c Li1+ --path --json OSTREL_analysis.json >ostrel.out 2>&1
}
for f in "$work"/cif/*.cif; do
  s=$(basename "$f" .cif)
  mkdir "$work/alone/$s" && cp "$f" "$work/alone/$s/"
  timed "$work/alone.times" /dev/null \
    bash -c "$(declare -f alone); work=$work bin=$bin res=$res alone $s"
done
S=$(sum 1 "$work/alone.times"); Scpu=$(cpu "$work/alone.times")
longest=$(awk '{t = $2 + $3; if (t > m) m = t} END {printf "%.2f", m}' "$work/alone.times")
ideal=$(echo "$S / $cores" | bc -l)
printf "  alone, one after the other: sum S = %.1f s (processor %.1f s, longest structure %.1f s); S / %d cores = %.1f s\n" \
  "$S" "$Scpu" "$longest" "$cores" "$ideal"

# 2. bvscreen on all cores
for plots in "" "--no-plots"; do
  rm -rf "$work/screen" "$work/screen.times"
  timed "$work/screen.times" /dev/null "$bin/bvscreen" --ion Li --out "$work/screen" \
      --resolution $res $plots "$work/cif"
  W=$(sum 1 "$work/screen.times"); Wcpu=$(cpu "$work/screen.times")
  read -r Srows Srows_cpu <<<"$(/usr/bin/python3 -c '
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
print(sum(t[0] for r in rows for t in r["program_seconds"].values()),
      sum(t[1] for r in rows for t in r["program_seconds"].values()))' "$work/screen/results.jsonl")"
  printf "  bvscreen %-10s wall W = %.1f s: W / (S / cores) = %.3f;\n" \
    "${plots:-(plots)}" "$W" "$(echo "$W / $ideal" | bc -l)"
  printf "    its programs: S' = %.1f s, W / (S' / cores) = %.3f; processor %.1f s = %.3f x its programs' %.1f s (%s)\n" \
    "$Srows" "$(echo "$W * $cores / $Srows" | bc -l)" "$Wcpu" "$(echo "$Wcpu / $Srows_cpu" | bc -l)" \
    "$Srows_cpu" "$(/usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["counts"])' "$work/screen/summary.json")"
done
Wlocal=$W

# 3. a Slurm job array of chunks of $chunk structures
. "$src/tests/scripts/lib/local_slurm.sh"
state=$(mktemp -d /tmp/bvslurm.XXXXXX)
trap 'local_slurm_stop "$state"; rm -rf "$state" "$work"' EXIT
if local_slurm_start "$state" "$cores" >"$work/slurm-start.txt"; then
  rm -rf "$work/slurm"
  timed "$work/slurm.times" "$work/slurm.txt" "$bin/bvscreen" --ion Li --out "$work/slurm" \
      --resolution $res --no-plots --slurm --chunk-size $chunk --wait "$work/cif"
  rc=$?
  Ws=$(sum 1 "$work/slurm.times")
  chunks=$(( (n + chunk - 1) / chunk ))
  extra=$(echo "$Ws - $Wlocal" | bc -l)
  printf "  Slurm array, %d chunks of %d: wall %.1f s (status %d); %.1f s more than bvscreen --no-plots,\n" \
    $chunks $chunk "$Ws" $rc "$extra"
  printf "    %.2f core-seconds per chunk (submission, scheduling, start-up and the merge job included)\n" \
    "$(echo "$extra * $cores / $chunks" | bc -l)"
  /usr/bin/python3 - "$work/slurm/results.csv" "$work/screen/results.csv" <<'PY' \
    && echo "    same table as bvscreen on this machine" || echo "    table differs from bvscreen on this machine"
import csv, sys
a, b = ([{k: v for k, v in r.items() if k not in ("seconds", "date")} for r in csv.DictReader(open(p))]
        for p in sys.argv[1:])
sys.exit(0 if a == b else 1)
PY
else
  echo "  Slurm array: skipped ($(tail -1 "$work/slurm-start.txt"))"
fi

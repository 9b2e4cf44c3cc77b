#!/usr/bin/env bash
# bvscreen --slurm on a single-node Slurm started here (munged, slurmctld,
# slurmd; state in a temporary directory, stopped at the end): a job array
# cancelled while one structure is still running (the merge job still writes
# the partial table), then submitted again and waited for; the final table
# must equal the one of a plain local screen and the rows finished before the
# cancel must not be computed again.  Skipped (77) where Slurm or munge is
# not installed or we are not root.
# ctest-labels: slow
set -u
: "${BVSCREEN:?}" "${VELMORA:?}" "${BV_SCRATCH:?}" "${BV_TEST_DATA_DIR:?}"
PY=${PYTHON:-/usr/bin/python3}
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
. "$(dirname "$0")/lib/local_slurm.sh"
# a short path: munge's socket name must fit in 108 bytes
state=$(mktemp -d /tmp/bvslurm.XXXXXX) || exit 1
cleanup() { local_slurm_stop "$state"; rm -rf "$state"; }
trap cleanup EXIT
local_slurm_start "$state" 2 >slurm-start.txt; rc=$?
if [ $rc = 77 ]; then cat slurm-start.txt; exit 77; fi
[ $rc = 0 ] || { echo "FAIL: Slurm did not start"; cat slurm-start.txt; exit 1; }
fail=0
bad() { echo "FAIL: $*"; fail=1; }

mkdir in
cp "$BV_TEST_DATA_DIR/cif/Li2O.cif" "$BV_TEST_DATA_DIR/screen/LiCoO2.cif" \
   "$BV_SOURCE_DIR/examples/Na3PS4.cif" in/
cp in/Li2O.cif in/slow.cif
echo "no CIF" >in/broken.cif
cat >velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube*slow.cif*)
  [ -e "$BV_SCRATCH/release" ] || { echo \$\$ >"$BV_SCRATCH/slow.pid"; sleep 300; } ;;
esac
exec "$VELMORA" "\$@"
EOF
chmod +x velmora
ions="--ion Li --ion Na"
"$BVSCREEN" $ions --out ref --jobs 2 in 2>/dev/null || bad "local screen failed"

# ---- submitted, then cancelled while slow.cif hangs
"$BVSCREEN" $ions --out sl --velmora "$BV_SCRATCH/velmora" --slurm --chunk-size 1 in 2>submit.txt \
  || { bad "submission failed"; cat submit.txt; }
array=$(sed -n 's/^bvscreen: submitted array job \([0-9]*\)$/\1/p' submit.txt)
merge=$(sed -n 's/^bvscreen: submitted merge job \([0-9]*\);.*/\1/p' submit.txt)
[ -n "$array" ] && [ -n "$merge" ] || { bad "no job ids"; cat submit.txt; exit 1; }
grep -q "^#SBATCH --array=0-4$" sl/slurm/array.sbatch || bad "array script: $(cat sl/slurm/array.sbatch)"
for _ in $(seq 1 600); do
  [ -s slow.pid ] && [ "$(ls sl/work/*/*/row.json 2>/dev/null | wc -l)" = 8 ] && break
  sleep 0.2
done
[ -s slow.pid ] || bad "slow.cif never started"
scancel "$array"
for _ in $(seq 1 300); do
  scontrol show job -o "$merge" 2>/dev/null | grep -qE 'JobState=(PENDING|RUNNING|CONFIGURING|COMPLETING)' || break
  sleep 0.2
done
grep -q '8 rows.*2 missing' sl/slurm/merge-$merge.log || { bad "merge after the cancel:"; cat sl/slurm/merge-*; }
[ "$(tail -n +2 sl/results.csv | wc -l)" = 8 ] || bad "partial table: $(cat sl/results.csv)"
hung=$(cat slow.pid 2>/dev/null)
[ -n "$hung" ] && ps -eo pgid=,stat= | awk -v g="$hung" '$1 == g && $2 !~ /^Z/' | grep -q . \
  && bad "processes of the cancelled array task left"
done_rows=$(cat sl/work/Li2O*/*/row.json sl/work/Na3PS4*/*/row.json | md5sum)

# ---- submitted again and waited for: only slow.cif runs
touch release
"$BVSCREEN" $ions --out sl --velmora "$BV_SCRATCH/velmora" --slurm --chunk-size 2 --wait \
    --sbatch-time 00:30:00 in \
  2>wait.txt || { bad "second submission"; cat wait.txt; }
grep -q '^bvscreen: done$' wait.txt || { bad "did not wait"; cat wait.txt; }
grep -qx '#SBATCH --time=00:30:00' sl/slurm/array.sbatch || bad "no time limit in the array script"
[ "$(cat sl/work/Li2O*/*/row.json sl/work/Na3PS4*/*/row.json | md5sum)" = "$done_rows" ] \
  || bad "finished rows recomputed"
array=$(sed -n 's/^bvscreen: submitted array job \([0-9]*\)$/\1/p' wait.txt)
[ "$(ls sl/slurm/chunk-${array}_*.log | wc -l)" = 3 ] || bad "logs: $(ls sl/slurm)"
[ "$(cat sl/slurm/chunk-${array}_*.log | grep -c 'running 1 structures')" = 1 ] \
  || { bad "chunks ran more than slow.cif:"; cat sl/slurm/chunk-${array}_*.log; }
"$PY" - ref/results.csv sl/results.csv <<'PYEOF' || fail=1
import csv, sys
a, b = ([{k: v for k, v in r.items() if k not in ('seconds', 'date')} for r in csv.DictReader(open(p))]
        for p in sys.argv[1:])
if a != b or len(a) != 10:
    print('FAIL: the Slurm table differs from the local one (%d and %d rows)' % (len(a), len(b)))
    sys.exit(1)
PYEOF
[ -s sl/results.svg ] || bad "no plot of the merged table"

exit $fail

#!/usr/bin/env bash
# bvscreen under GNU parallel: one structure per job (--no-merge, then
# --merge) with one job killed as if its host had died and the screen resumed
# with parallel's own --resume-failed; prepared chunks (--run-chunk I/N); two
# jobs on the same structure at once.  Every table must equal the one of a
# plain local screen (seconds aside).  Skipped (77) without GNU parallel.
# ctest-labels: slow
set -u
: "${BVSCREEN:?}" "${VELMORA:?}" "${BV_SCRATCH:?}" "${BV_TEST_DATA_DIR:?}"
PY=${PYTHON:-/usr/bin/python3}
command -v parallel >/dev/null || { echo "skipped: GNU parallel is not installed"; exit 77; }
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }

mkdir in
cp "$BV_TEST_DATA_DIR/cif/Li2O.cif" "$BV_TEST_DATA_DIR/screen/LiCoO2.cif" \
   "$BV_SOURCE_DIR/examples/Na3PS4.cif" in/
cp in/Li2O.cif in/slow.cif
echo "no CIF" >in/broken.cif
# velmora.x that hangs on slow.cif until the file "release" exists
cat >velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube*slow.cif*)
  [ -e "$BV_SCRATCH/release" ] || { echo \$PPID >"$BV_SCRATCH/slow.pid"; sleep 300; } ;;
esac
exec "$VELMORA" "\$@"
EOF
chmod +x velmora
ions="--ion Li --ion Na"
"$BVSCREEN" $ions --out ref --jobs 2 in 2>/dev/null || bad "local screen failed"

same_table() {  # the table of $1 equals the reference, seconds aside
  "$PY" - ref/results.csv "$1/results.csv" <<'PYEOF'
import csv, sys
a, b = ([{k: v for k, v in r.items() if k not in ('seconds', 'date')} for r in csv.DictReader(open(p))]
        for p in sys.argv[1:])
if a != b or len(a) != 10:
    print('FAIL: %s differs from the local screen (%d and %d rows)' % (sys.argv[2], len(a), len(b)))
    for x, y in zip(a, b):
        if x != y:
            print('  ', x, '\n  ', y)
    sys.exit(1)
PYEOF
}

# ---- one structure per job; the job of slow.cif is killed
"$BVSCREEN" --print-inputs in >list.txt
[ "$(wc -l <list.txt)" = 5 ] || bad "--print-inputs: $(cat list.txt)"
run_parallel() {
  parallel --will-cite -j2 -S 2/: --joblog jobs.log "$@" \
    "$BVSCREEN" $ions --out gp --jobs 1 --velmora "$BV_SCRATCH/velmora" --no-merge {} :::: list.txt
}
run_parallel >par1.txt 2>&1 &
ppid=$!
for _ in $(seq 1 600); do
  [ -s slow.pid ] && [ "$(ls gp/work/*/*/row.json 2>/dev/null | wc -l)" = 8 ] && break
  sleep 0.2
done
kill -TERM "$(cat slow.pid)"
wait $ppid; rc=$?
[ $rc = 1 ] || bad "parallel with one killed job: status $rc, expected 1"
"$BVSCREEN" --out gp --merge 2>merge1.txt; rc=$?
[ $rc = 1 ] && grep -q '8 rows.*2 missing' merge1.txt || { bad "merge of a partial screen ($rc)"; cat merge1.txt; }
[ "$(tail -n +2 gp/results.csv | wc -l)" = 8 ] || bad "partial table: $(cat gp/results.csv)"
done_rows=$(cat gp/work/Li2O*/*/row.json | md5sum)
touch release
run_parallel --resume-failed >par2.txt 2>&1 || { bad "resumed parallel run"; cat par2.txt; }
[ "$(grep -c 'running 1 structures' par2.txt)" = 1 ] || { bad "resume ran more than slow.cif"; cat par2.txt; }
"$BVSCREEN" --out gp --merge in 2>merge2.txt || { bad "merge after resuming"; cat merge2.txt; }
[ "$(cat gp/work/Li2O*/*/row.json | md5sum)" = "$done_rows" ] || bad "finished rows recomputed"
same_table gp || fail=1
[ -s gp/results.svg ] || bad "no plot of the merged table"

# ---- prepared chunks, three parallel jobs
"$BVSCREEN" $ions --out gc --prepare in 2>/dev/null || bad "--prepare"
parallel --will-cite -j2 "$BVSCREEN" --out gc --jobs 1 --run-chunk {}/3 ::: 0 1 2 2>chunks.txt \
  || { bad "chunks failed"; cat chunks.txt; }
"$BVSCREEN" --out gc --merge 2>/dev/null || bad "merge of the chunks"
same_table gc || fail=1
"$BVSCREEN" --out gc --run-chunk 3/3 2>/dev/null; [ $? = 2 ] || bad "--run-chunk 3/3 accepted"

# ---- two jobs on one structure at once: it is screened once, not mixed
parallel --will-cite -j2 "$BVSCREEN" --ion Li --out dup --jobs 1 --no-merge {} \
  ::: in/Li2O.cif in/Li2O.cif in/Li2O.cif 2>dup.txt
"$BVSCREEN" --out dup --merge in/Li2O.cif 2>/dev/null || bad "merge of the duplicate runs"
[ "$(grep -c ',ok,' dup/results.csv)" = 1 ] || bad "duplicates: $(cat dup/results.csv)"
[ "$(ls dup/work | wc -l)" = 1 ] || bad "duplicate directories: $(ls dup/work)"

exit $fail

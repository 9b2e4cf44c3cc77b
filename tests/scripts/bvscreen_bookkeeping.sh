#!/usr/bin/env bash
# bvscreen never loses or merges rows: a file name with a newline (screened,
# prepared, run in chunks and merged; listed with --print-inputs -0 and read
# back from a NUL-separated list), two names that make one directory stem
# with equal contents ("a b.cif", "a_b.cif"), '#' inside a listed path, one
# file given twice; a full disk (a small tmpfs: the file named, no temporary
# file left, no row stored for the structure, the rerun completes it); a
# screen killed by SIGKILL leaves no program running (at once by the parent-
# death signal, and a wrapper's own children at the next start); a program
# printing 50 MB is logged within bounds.
set -u
: "${BVSCREEN:?}" "${VELMORA:?}" "${BV_SCRATCH:?}" "${BV_TEST_DATA_DIR:?}"
PY=${PYTHON:-/usr/bin/python3}
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }
RES=0.5
LI2O=$BV_TEST_DATA_DIR/cif/Li2O.cif
# rows DIR: the rows of DIR/results.csv (a quoted newline is part of its cell)
rows() { "$PY" -c 'import csv, sys; print(len(list(csv.DictReader(open(sys.argv[1], newline="")))))' "$1/results.csv"; }

# ---- odd names: a newline, one stem for two names, '#' in a path
mkdir odd
cp "$LI2O" "odd/new
line.cif"
cp "$LI2O" "odd/a b.cif"
cp "$LI2O" "odd/a_b.cif"
"$BVSCREEN" --ion Li --out names --resolution $RES --no-plots odd 2>err.txt \
  || { bad "screen of odd names failed"; cat err.txt; }
[ "$(rows names)" = 3 ] || bad "odd names: $(rows names) rows, expected 3"
[ "$(ls names/work | wc -l)" = 3 ] || bad "odd names share directories: $(ls names/work)"
grep -q '0 missing' err.txt || bad "odd names: $(tail -1 err.txt)"
"$BVSCREEN" --out names --merge 2>merge.txt || { bad "merge of odd names"; cat merge.txt; }
grep -q 'merged 3 rows.*0 missing' merge.txt || bad "merge: $(cat merge.txt)"
"$PY" - <<'PYEOF' || fail=1
import json, sys
rows = [json.loads(l) for l in open("names/results.jsonl")]
files = sorted(r["file"].rsplit("/", 1)[1] for r in rows)
if files != ["a b.cif", "a_b.cif", "new\nline.cif"] or any(r["status"] != "ok" for r in rows):
    print("FAIL: rows of the odd names: %r" % [(r["file"], r["status"]) for r in rows])
    sys.exit(1)
PYEOF
# prepared, run in two chunks, merged: the same three rows
"$BVSCREEN" --ion Li --out chunks --resolution $RES --no-plots --prepare odd 2>/dev/null || bad "--prepare"
for i in 0 1; do "$BVSCREEN" --out chunks --run-chunk $i/2 2>/dev/null || bad "chunk $i"; done
"$BVSCREEN" --out chunks --merge 2>merge.txt && grep -q 'merged 3 rows.*0 missing' merge.txt \
  || { bad "merge of chunks"; cat merge.txt; }
# listing: refused on a line per name, NUL-separated with -0 and read back
"$BVSCREEN" --print-inputs odd >/dev/null 2>e.txt; [ $? = 2 ] || bad "--print-inputs of a newline name"
"$BVSCREEN" --print-inputs -0 odd >list0 || bad "--print-inputs -0"
[ "$(tr -cd '\0' <list0 | wc -c)" = 3 ] || bad "-0 list: $(od -c list0 | head)"
"$BVSCREEN" --ion Li --out fromlist --resolution $RES --no-plots --list list0 2>/dev/null \
  && [ "$(rows fromlist)" = 3 ] || bad "a NUL-separated list"
# '#' starts a comment only at the start of a line
cp "$LI2O" "odd/x#y.cif"
printf '# structures\nodd/x#y.cif\n  # indented comment\n' >hash.txt
"$BVSCREEN" --ion Li --out hash --resolution $RES --no-plots @hash.txt 2>e.txt \
  || { bad "a '#' in a listed path"; cat e.txt; }
grep -q ',ok,.*odd/x#y.cif$' hash/results.csv || bad "row of x#y.cif: $(cat hash/results.csv)"
# one file given twice: one row, and the repeat is said
"$BVSCREEN" --ion Li --out twice --resolution $RES --no-plots "$LI2O" "$LI2O" 2>e.txt
[ "$(rows twice)" = 1 ] && grep -q '1 inputs repeat another' e.txt || { bad "a file given twice"; cat e.txt; }

# ---- a program printing 50 MB: its log is bounded, the row is fine
cat >loud-velmora <<EOF
#!/bin/bash
case "\$1" in --cal-bv) head -c 50000000 /dev/zero | tr '\\0' 'x' | fold -w 100;; esac
exec "$VELMORA" "\$@"
EOF
chmod +x loud-velmora
"$BVSCREEN" --ion Li --out loud --resolution $RES --no-plots --velmora "$BV_SCRATCH/loud-velmora" \
    "$LI2O" 2>e.txt || { bad "screen with a loud program"; cat e.txt; }
log=$(ls loud/work/*/Li1+/bv.out)
size=$(stat -c %s "$log")
[ "$size" -lt 1200000 ] && grep -q 'more bytes of output not kept' "$log" || bad "bv.out holds $size bytes"
grep -q ',ok,' loud/results.csv || bad "loud row: $(cat loud/results.csv)"

# ---- SIGKILL of the screen: its programs die with it; a program's own
# children are reaped by the next run
cat >slow-velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube*) echo \$\$ >"$BV_SCRATCH/slow.pid"; exec sleep 300;; esac
exec "$VELMORA" "\$@"
EOF
cat >forking-velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube*) sleep 300 & echo \$! >"$BV_SCRATCH/child.pid"; wait; exit 1;; esac
exec "$VELMORA" "\$@"
EOF
chmod +x slow-velmora forking-velmora
alive() { [ -n "$1" ] && ps -o stat= -p "$1" 2>/dev/null | grep -qv '^Z'; }
for kind in slow forking; do
  rm -f slow.pid child.pid
  "$BVSCREEN" --ion Li --out kill-$kind --resolution $RES --no-plots \
      --velmora "$BV_SCRATCH/$kind-velmora" "$LI2O" 2>/dev/null &
  pid=$!
  for _ in $(seq 1 300); do [ -s slow.pid ] || [ -s child.pid ] && break; sleep 0.1; done
  sleep 0.3
  kill -KILL $pid; wait $pid 2>/dev/null
  sleep 1
  if [ $kind = slow ]; then
    alive "$(cat slow.pid 2>/dev/null)" && bad "the program outlived the screen killed by SIGKILL"
  else
    child=$(cat child.pid 2>/dev/null)
    [ -n "$child" ] || bad "the forking program did not start"
    "$BVSCREEN" --ion Li --out kill-$kind --resolution $RES --no-plots "$LI2O" 2>e.txt \
      || { bad "rerun after SIGKILL"; cat e.txt; }
    alive "$child" && bad "the program's child was not reaped by the next run"
    grep -q ',ok,' kill-$kind/results.csv || bad "row after the rerun: $(cat kill-$kind/results.csv)"
  fi
done
kill -KILL $(cat child.pid 2>/dev/null) 2>/dev/null

# ---- a full disk: a small tmpfs (root only; otherwise this part is left out)
disk=$(mktemp -d /tmp/bvdisk.XXXXXX)
if mount -t tmpfs -o size=4m tmpfs "$disk" 2>/dev/null; then
  trap 'umount "$disk" 2>/dev/null; rmdir "$disk"' EXIT
  # Room for the structure's copy and logs, not for its landscape.
  "$BVSCREEN" --ion Li --out "$disk/s" --resolution 0.3 --no-plots --prepare "$LI2O" 2>/dev/null
  free=$(( $(stat -f -c '%a*%S' "$disk") ))
  head -c $(( free - 150000 )) /dev/zero >"$disk/filler"
  "$BVSCREEN" --ion Li --out "$disk/s" --resolution 0.3 --no-plots "$LI2O" >o.txt 2>e.txt; rc=$?
  [ $rc = 1 ] || bad "full disk: status $rc, expected 1"
  grep -q 'No space left on device\|unable to write' e.txt && grep -q "no row stored for $LI2O" e.txt \
    || { bad "full disk message"; cat e.txt; }
  ls "$disk"/s/work/*/Li1+/row.json 2>/dev/null && bad "a row stored on the full disk"
  find "$disk" -name '*.tmp*' -o -name '*unfinished*' | grep . && bad "temporary files left on the full disk"
  # nothing at all fits: the first file the screen writes is named
  head -c 200000 /dev/zero >>"$disk/filler" 2>/dev/null
  "$BVSCREEN" --ion Li --out "$disk/t" --resolution 0.3 --no-plots "$LI2O" >o.txt 2>e.txt; rc=$?
  [ $rc = 1 ] && grep -q "Error: cannot write $disk/t/.*: No space left on device" e.txt \
    || { bad "no room at all: status $rc"; cat e.txt; }
  find "$disk" -name '*.tmp*' | grep . && bad "temporary files left"
  # room again: the same command completes the screen
  rm "$disk/filler"
  "$BVSCREEN" --ion Li --out "$disk/s" --resolution 0.3 --no-plots "$LI2O" 2>e.txt \
    && grep -q ',ok,' "$disk/s/results.csv" || { bad "rerun with room"; cat e.txt; }
else
  rmdir "$disk"
  echo "note: no tmpfs could be mounted here (not root?); the full-disk part is left out"
fi

exit $fail

#!/usr/bin/env bash
# ostrel's batch driver end to end on a separable cosine landscape (one
# minimum, saddles 2A, 2B, 2C along a, b, c): which files each combination of
# flags writes, their first and last lines, the activation energies printed
# with --print-act under the default and user energy scales, the exit status
# of failing stages, output files that cannot be created, and the outputs of
# the structure checks, the VESTA file, the GUI table and the command mode in
# the stage order.
set -u
: "${OSTREL:?}" "${BV_SCRATCH:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }
check_status() { [ "$2" = "$3" ] || bad "$1: status $3, expected $2"; }
fresh() { rm -rf run && mkdir run && cd run || exit 1; }

"$PYTHON" "$(dirname "$0")/lib/cosine_landscape.py" || exit 1
CUBE=$PWD/cos.cube CIF=$PWD/cos.cif
dashes69=$(printf -- '-%.0s' $(seq 69))

# The whole pipeline.
fresh
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --summary --print-act >out.txt 2>err.txt
check_status "pipeline" 0 $?
[ -s err.txt ] && { bad "pipeline wrote to standard error"; cat err.txt; }
cat >want.txt <<'EOF'
ICSD: 12345  
Mobile ion: Li1+, energy scale: E
1D activation energy: 0.220000 eV
2D activation energy: 0.460000 eV
3D activation energy: 0.740000 eV
1D threshold from the global minimum: 0.220000 eV
2D threshold from the global minimum: 0.460000 eV
3D threshold from the global minimum: 0.740000 eV
Auto-generated reaction pathway done.

EOF
# (the path summary adds a newline on standard output wherever it is written)
cmp -s out.txt want.txt || { bad "pipeline output"; diff out.txt want.txt; }
for f in OSTREL_events.txt OSTREL_rp.csv OSTREL_summary.txt; do [ -s $f ] || bad "$f missing"; done
[ "$(head -1 OSTREL_events.txt)" = "$dashes69"$'\r' ] || bad "events header"
[ "$(grep -c ' Threshold energy: ' OSTREL_events.txt)" = 3 ] || bad "three thresholds expected"
grep -q $'^> Percolating (3D)\r$' OSTREL_events.txt || bad "3D cluster missing in events"
[ "$(tail -1 OSTREL_rp.csv)" = END ] || bad "rp table does not end with END"
grep -q 's3 0.740000eV$' OSTREL_rp.csv || bad "rp table lacks the c saddle"
# The summary: minima, saddles, paths, thresholds, in this order.
grep -n 'Summary of' OSTREL_summary.txt | sed 's/\r$//; s/ *$//' | awk -F: '{print $2}' | sed 's/^ *//' >order.txt
printf '%s\n' 'Summary of energy local minima' 'Summary of energy saddle point' \
  'Summary of minimum energy paths' 'Summary of pathway characteristics at different energy thresholds' >want.txt
cmp -s order.txt want.txt || { bad "summary order"; cat order.txt; }
cmp -s <(sed -n '/Summary of pathway/,/^Activation energies/p' OSTREL_summary.txt | sed '$d') \
  <(sed -n '2,$p' OSTREL_events.txt) || bad "summary thresholds differ from the events file"
# After them, the activation energies and the thresholds from the global
# minimum, as --print-act prints them.
sed -n '/^Activation energies/,$p' OSTREL_summary.txt | sed '1d' | tr -d '\r' >act.txt
grep -v -e ICSD -e 'Mobile ion' -e 'pathway done' -e '^$' out.txt | cmp -s - act.txt \
  || { bad "summary activation energies"; cat act.txt; }
grep -q '^>> Dimension: 3$' OSTREL_summary.txt || bad "path dimension in summary"

# --print-path and --print-perc go to standard output, the same text.
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --print-path --print-perc >out.txt 2>err.txt
check_status "print flags" 0 $?
grep -q $'^> Path 3 : Li1 (0.000 eV) to Li1 (0.000 eV) via s3 (0.740 eV)\r$' out.txt || bad "print-path"
grep -q 'Listing all 3 paths (including equivalent ones)' out.txt || bad "print-path listing"
cmp -s <(sed -n '/Summary of pathway/,/Auto-generated/p' out.txt | sed '$d') <(sed -n '2,$p' OSTREL_events.txt) \
  || bad "print-perc differs from the events file"

# Energy scales: Na1+ by default 0.5695*E^(0.6946); --scale wins in any order.
"$OSTREL" --cube "$CUBE" --cif "$CIF" Na1+ --path --print-act >na.txt 2>/dev/null
"$OSTREL" --scale "2*E" --cube "$CUBE" --cif "$CIF" Na1+ --path --print-act >user.txt 2>/dev/null
"$OSTREL" --cube "$CUBE" --cif "$CIF" Na1+ --path --print-act --scale "2*E" >user2.txt 2>/dev/null
"$PYTHON" - <<'PY' || fail=1
def ea(path):
    return [float(l.split(":")[1].split()[0]) for l in open(path) if "activation energy" in l]
na, user, user2 = ea("na.txt"), ea("user.txt"), ea("user2.txt")
raw = [0.22, 0.46, 0.74]
ok = all(abs(x - 0.5695 * r ** 0.6946) < 2e-6 for x, r in zip(na, raw))
ok = ok and all(abs(x - 2 * r) < 2e-6 for x, r in zip(user, raw)) and user == user2
print("scales: Na %s user %s %s" % (na, user, "ok" if ok else "FAILED"))
raise SystemExit(0 if ok else 1)
PY
grep -qx 'Mobile ion: Na1+, energy scale: 0.5695\*E^(0.6946)' na.txt || bad "Na ion and scale not printed"
grep -qx 'Mobile ion: Na1+, energy scale: 2\*E' user.txt || bad "user scale not printed"
# The spellings of Na the toolkit accepts all take the Na scale; the
# structure holds no Na, which is said on standard error.
for spelling in Na Na+ na Na+1; do
  "$OSTREL" --cube "$CUBE" --cif "$CIF" $spelling --path --print-act >sp.txt 2>sp.err
  cmp -s <(grep 'activation energy' sp.txt) <(grep 'activation energy' na.txt) \
    || bad "ion $spelling: not the Na scale"
  grep -q 'labels no site of the structure' sp.err || bad "ion $spelling: no warning about the missing sites"
done
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --print-act >sp.txt 2>sp.err
[ -s sp.err ] && { bad "Li1+ on a Li structure warned"; cat sp.err; }

# --path without --cube: one error line naming what is missing, nothing
# written.
fresh
"$OSTREL" --cif "$CIF" Li1+ --path --print-act --print-perc >out.txt 2>err.txt
check_status "path without cube" 1 $?
[ -s out.txt ] && bad "path without cube printed something"
[ "$(cat err.txt)" = "Error: --path needs --cube" ] || { bad "path without cube message"; cat err.txt; }
[ "$(ls | grep -v -e out.txt -e err.txt)" = "" ] || { bad "path without cube wrote files"; ls; }

# A cube without a structure: no stationary points, empty tables.
"$OSTREL" --cube "$CUBE" --path --summary --print-act >out.txt 2>err.txt
check_status "cube without cif" 0 $?
grep -qx 'ICSD:   ' out.txt || bad "empty ICSD line"
grep -qx '1D activation energy: 999.000000 eV' out.txt || bad "999 without paths"
[ "$(cat OSTREL_rp.csv)" = END ] || bad "rp table without paths"
[ "$(wc -l <OSTREL_events.txt)" = 4 ] || bad "events without paths hold more than the header"
grep -q 'Total local minima in unit cell: 0' OSTREL_summary.txt || bad "summary minima total"
grep -q 'Listing all 0 paths' OSTREL_summary.txt || bad "empty path summary"

# --summary with a cube and no --path: empty path and threshold summaries.
fresh
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --summary >out.txt 2>err.txt
check_status "summary without path" 0 $?
grep -q 'Listing all 0 paths' OSTREL_summary.txt || bad "summary without path lists paths"
[ -e OSTREL_events.txt ] || [ -e OSTREL_rp.csv ] && bad "events or rp written without --path"
[ "$(sed -n '/Summary of pathway/,$p' OSTREL_summary.txt | wc -l)" = 3 ] || bad "threshold summary not empty"

# Files that cannot be created: the later stages still run and print their
# results, but the run fails.
fresh
mkdir OSTREL_events.txt OSTREL_rp.csv
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --print-act >out.txt 2>err.txt
check_status "events and rp unwritable" 1 $?
printf '%s\n' 'Error: OSTREL_events.txt exists and is not a regular file; it is left as it is' \
  'Error: Unable to write to OSTREL_events.txt' \
  'Error: OSTREL_rp.csv exists and is not a regular file; it is left as it is' \
  'Error: Unable to write to OSTREL_rp.csv' >want.txt
cmp -s err.txt want.txt || { bad "unwritable messages"; cat err.txt; }
[ -d OSTREL_events.txt ] && [ -d OSTREL_rp.csv ] || bad "directories named as outputs replaced"
grep -q 'Auto-generated reaction pathway done.' out.txt && bad "done message without the table"
grep -q '^3D activation energy: ' out.txt || bad "activation energies not printed"
fresh
mkdir OSTREL_summary.txt
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --summary >out.txt 2>err.txt
check_status "summary unwritable" 1 $?
grep -qx 'Error: Unable to write to OSTREL_summary.txt' err.txt || bad "summary message"
[ -s OSTREL_rp.csv ] || bad "the path stage ran before the summary"

# Failing stages end the run with status 1 and write nothing more.
fresh
"$OSTREL" --cube missing.cube --cif "$CIF" --path --summary >out.txt 2>err.txt
check_status "missing cube" 1 $?
grep -qx 'Error: Unable to open CUBE file missing.cube: No such file or directory' err.txt || bad "missing cube message"
[ -e OSTREL_summary.txt ] || [ -e OSTREL_rp.csv ] && bad "files after a failed stage"
"$OSTREL" --cube "$CUBE" --cif missing.cif --path >out.txt 2>err.txt
check_status "missing cif" 1 $?
"$OSTREL" --cube "$CUBE" --cif "$CIF" --scale "2*x" --path >out.txt 2>err.txt
check_status "scale without E" 1 $?
"$OSTREL" --cube "$CUBE" --cif "$CIF" --path --max >out.txt 2>err.txt
check_status "max without value" 1 $?

# The structure checks print after the stationary points are found and
# before the path stage; VESTA file, summary, GUI table, then the command
# mode, which sees every batch file written.
fresh
printf 'totalgrid\nend\n' | "$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --print-act --calc-charge \
  --calc-bvsum --calc-gii --check-sub --check-subs --vesta --summary --gui --cmd >out.txt 2>err.txt
check_status "every output" 0 $?
[ -s err.txt ] && { bad "every output wrote to standard error"; cat err.txt; }
grep -n -e '^Total charge per unit cell' -e '^Printing bond valence' -e '^Global instability' \
  -e '^ICSD: 12345 Not substituted' -e '^ICSD: 12345  $' -e '^Auto-generated' -e '^GUI output done' \
  -e '^Enter your command' -e '^Number of grid elements' -e '^Exit command mode' out.txt | sed 's/^[0-9]*://' \
  | cut -c1-12 >order.txt
printf '%s\n' 'Total charge' 'Printing bon' 'Global insta' 'ICSD: 12345 ' 'ICSD: 12345 ' 'ICSD: 12345 ' \
  'Auto-generat' 'GUI output d' 'Enter your c' 'Number of gr' 'Exit command' >want.txt
cmp -s order.txt want.txt || { bad "order of the outputs"; cat order.txt; }
for f in OSTREL.vesta OSTREL_gui.csv OSTREL_summary.txt OSTREL_events.txt OSTREL_rp.csv; do
  [ -s $f ] || bad "$f missing"
done
[ "$(tail -2 OSTREL_gui.csv | head -1)" = "3D,0.740 eV" ] || bad "GUI table energies"
fresh
"$OSTREL" --cube "$CUBE" --path --gui >out.txt 2>err.txt
[ -e OSTREL_gui.csv ] && bad "GUI table without a structure"
# Unknown words are ignored.
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --frobnicate --print-act >out.txt 2>err.txt
check_status "unknown word" 0 $?
grep -qx '3D activation energy: 0.740000 eV' out.txt || bad "unknown word changed the run"

[ $fail = 0 ] && echo "ostrel driver: ok"
exit $fail

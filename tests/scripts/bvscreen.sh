#!/usr/bin/env bash
# bvscreen end to end on a small screen: the table against velmora.x and
# ostrel run by hand (thresholds from the global minimum and activation
# energies, GII, screening factor, counts), CSV, JSON lines and summary.json
# read back with their provenance and units; percolation of a 3D (Li2O), a
# layered (LiCoO2: 3D above the window) and a sodium conductor; failing,
# suspect, skipped rows and the warnings of a row; a CIF named .txt; resuming
# and refused settings; an interrupted screen, a timeout and a program ended
# from outside; the same table from two runs without --seed and the spread of
# --draws on a partly occupied structure; input mistakes and usage errors;
# the plots.
set -u
: "${BVSCREEN:?}" "${VELMORA:?}" "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_TEST_DATA_DIR:?}"
PY=${PYTHON:-/usr/bin/python3}
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }
RES=0.2

mkdir in
cp "$BV_TEST_DATA_DIR/cif/Li2O.cif" "$BV_TEST_DATA_DIR/screen/LiCoO2.cif" \
   "$BV_SOURCE_DIR/examples/Na3PS4.cif" in/
echo "this is no CIF" >in/broken.cif
# Li2O squeezed to a = 3.2 A: a GII far above 1, a result printed but suspect
sed 's/^_cell_length_\([abc]\) .*/_cell_length_\1 3.2/' in/Li2O.cif >in/squeezed.cif
# Li2O without oxidation states: velmora.x takes its defaults, the row says so
sed -e 's/ Li1+ / Li /' -e 's/ O2- / O /' in/Li2O.cif >in/nooxid.cif
grep -q ' Li1+ ' in/nooxid.cif && bad "nooxid.cif still has its charges"
# a CIF by another name is a CIF
cp in/Li2O.cif in/notacif.txt
mkdir in/sub && mv in/Li2O.cif in/sub/
printf '# a list file: one path per line\nsub/Li2O.cif\n' >in/list.txt

# ---- the screen: two ions, files, a list file
"$BVSCREEN" --ion Li --ion na --out screen --resolution $RES --jobs 2 \
    in/LiCoO2.cif in/Na3PS4.cif in/broken.cif in/squeezed.cif in/nooxid.cif in/notacif.txt \
    @in/list.txt >out.txt 2>err.txt
rc=$?
[ $rc = 0 ] || { bad "screen with failing structures: status $rc, expected 0"; cat err.txt; }
grep -q '^bvscreen: 7 structures x 2 ions = 14 rows' err.txt || bad "progress header"
grep -q '^\[14/14\]' err.txt || bad "progress lines"; grep -q 'failures' err.txt || bad "failures shown"
for f in results.csv results.jsonl results.svg summary.json report.html settings.json tasks.json; do
  [ -s screen/$f ] || bad "screen/$f not written"
done
ls screen/*.tmp* 2>/dev/null && bad "temporary files left"

# ---- the same steps by hand, for Li2O and LiCoO2 (ordered structures:
# the landscape does not depend on any random number)
for s in Li2O LiCoO2; do
  mkdir -p hand/$s && cp in/$s.cif in/sub/$s.cif hand/$s/ 2>/dev/null; (
    cd hand/$s
    "$VELMORA" --cal-gii $s.cif >gii.txt
    "$VELMORA" --gen-cube $s.cif Li 1 0 $RES t t $s.cube >cube.txt
    "$OSTREL" --cube $s.cube --cif $s.cif Li1+ --path --print-act --print-minima --print-saddle >ostrel.txt
  )
done
"$BVSCREEN" --version >versions.txt || bad "--version failed"

"$PY" - "$BV_SCRATCH" <<'PYEOF' || fail=1
import csv, json, math, os, re, sys
root = sys.argv[1]
os.chdir(root)
problems = []
rows = [json.loads(l) for l in open('screen/results.jsonl')]
table = list(csv.reader(open('screen/results.csv', newline='')))
header = table[0]
first = ["id", "formula", "space_group", "ion", "status", "message",
         "threshold_1d_eV", "threshold_2d_eV", "threshold_3d_eV", "ea_1d_eV", "ea_2d_eV", "ea_3d_eV",
         "percolation_1d", "percolation_2d", "percolation_3d"]
if header[:len(first)] != first:
    problems.append('CSV header starts %s' % header[:len(first)])
for col in ("seed", "draws", "resolution_A", "window_eV", "energy_scale", "date", "schema_version",
            "bvscreen_version", "velmora_version", "ostrel_version", "threshold_1d_eV_min",
            "threshold_1d_eV_max", "threshold_1d_eV_sd", "warnings"):
    if col not in header:
        problems.append('no column %s' % col)
if len(rows) != 14 or len(table) != 15:
    problems.append('%d JSON rows, %d CSV rows; 14 expected' % (len(rows), len(table) - 1))
# CSV and JSON lines say the same, missing values as empty cells / null
for r, line in zip(rows, table[1:]):
    for k, cell in zip(header, line):
        v = r[k]
        want = ('' if v is None else '%.2f' % v if k == 'seconds' else '%.6f' % v
                if isinstance(v, float) else ' | '.join(v) if isinstance(v, list) else str(v))
        if cell != want:
            problems.append('%s %s %s: CSV %r, JSON %r' % (r['id'], r['ion'], k, cell, v))
by = {(os.path.basename(r['file']), r['ion']): r for r in rows}
if len(by) != 14:
    problems.append('rows are not one per structure and ion')

# provenance: the versions --version prints, today's date, the settings
versions = open('versions.txt').read()
bv_version = re.search(r'^bvscreen (.+)$', versions, re.M).group(1)
for r in rows:
    if r['bvscreen_version'] != bv_version or not re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ', r['date']) \
            or r['schema_version'] != 2 or r['seed'] != 1 or r['resolution_A'] != 0.2:
        problems.append('%s %s provenance %r' % (r['id'], r['ion'], {k: r[k] for k in (
            'bvscreen_version', 'date', 'schema_version', 'seed', 'resolution_A')}))
    # the window of 5 eV on the row's energy scale
    window = 0.5695 * 5 ** 0.6946 if r['ion'] == 'Na1+' else 5
    if r['status'] == 'ok' and (not r['velmora_version'] or not r['ostrel_version'] or r['draws'] != 1
                                or abs(r['window_eV'] - window) > 1e-6):
        problems.append('%s %s programs %r %r draws %r window %r' % (
            r['id'], r['ion'], r['velmora_version'], r['ostrel_version'], r['draws'], r['window_eV']))
    want_scale = '0.5695*E^(0.6946)' if r['ion'] == 'Na1+' else 'E'
    if r['status'] == 'ok' and r['energy_scale'] != want_scale:
        problems.append('%s %s energy scale %r' % (r['id'], r['ion'], r['energy_scale']))
summary = json.load(open('screen/summary.json'))
if summary['units'].get('threshold_1d_eV') != 'eV' or summary['units'].get('resolution_A') != 'A' \
        or summary['schema_version'] != 2 or summary['version'] != bv_version \
        or summary['settings']['seed'] != 1 or summary['rows'] != 14 or summary['missing'] != 0:
    problems.append('summary.json %r' % {k: summary[k] for k in ('units', 'settings', 'rows', 'missing')})
if summary['counts'] != {'ok': 5, 'suspect': 1, 'failed': 2, 'skipped': 6}:
    problems.append('summary counts %r' % summary['counts'])

def number(pattern, text, cast=float):
    m = re.search(pattern, text, re.M)
    return cast(m.group(1)) if m else None

for s, where in (('Li2O', '3D'), ('LiCoO2', '2D (0,0,1)')):
    r = by[(s + '.cif', 'Li1+')]
    hand = {n: open('hand/%s/%s.txt' % (s, n)).read() for n in ('gii', 'cube', 'ostrel')}
    if r['status'] != 'ok':
        problems.append('%s: status %r %r' % (s, r['status'], r['message']))
        continue
    expect = {'gii': number(r'^GII: Global instability index = (\S+)', hand['gii']),
              'screening_factor': number(r'final screening factor = (\S+)', hand['cube']),
              'sites': number(r'Total local minima in unit cell: (\d+)', hand['ostrel'], int),
              'saddles': number(r'Total local saddle in unit cell: (\d+)', hand['ostrel'], int)}
    for d in (1, 2, 3):
        e = number(r'^%dD activation energy: (\S+)' % d, hand['ostrel'])
        t = number(r'^%dD threshold from the global minimum: (\S+)' % d, hand['ostrel'])
        expect['ea_%dd_eV' % d] = None if e is None or e == 999 else e
        expect['threshold_%dd_eV' % d] = None if t is None or t == 999 else t
    for k, v in expect.items():
        if v is None and r[k] is None:
            continue
        if v is None or r[k] is None or abs(v - r[k]) > 5e-7 * max(1, abs(v)):
            problems.append('%s %s: table %r, by hand %r' % (s, k, r[k], v))
    counts = [open('hand/%s/%s.cube' % (s, s)).readlines()[3 + a].split()[0] for a in range(3)]
    if r['grid'] != 'x'.join(counts):
        problems.append('%s grid %s, cube %s' % (s, r['grid'], counts))
    if r['directions'] != where:
        problems.append('%s directions %r, expected %r' % (s, r['directions'], where))
    steps = r['program_seconds']
    if sorted(steps) != ['bv', 'cube', 'ostrel'] or \
            not all(0 <= cpu and 0 < wall <= r['seconds'] for wall, cpu in steps.values()):
        problems.append('%s program times %s, row %s s' % (s, steps, r['seconds']))
    # LiCoO2.cif has no formula: it comes from the composition velmora.x read
    if r['formula'] not in ('Li2O', 'CoLiO2') or r['id'] != s:
        problems.append('%s id %r formula %r' % (s, r['id'], r['formula']))
    if not r['profile_plot'] or not os.path.exists('screen/' + r['profile_plot']):
        problems.append('%s: no profile plot' % s)
    # every BV sum of the row, and the GII recomputed from them (one site per
    # species here; 8 Li and 4 O per cell)
    if s == 'Li2O':
        bvs = {b['species']: b['bv_sum'] for b in r['bv_sites']}
        gii = math.sqrt((8 * (bvs['Li1+'] - 1) ** 2 + 4 * (bvs['O2-'] + 2) ** 2) / 12)
        if abs(gii - r['gii']) > 2e-6:
            problems.append('Li2O GII %f from its BV sums, %f in the table' % (gii, r['gii']))
        if r['percolation_1d'] != 'yes' or r['percolation_3d'] != 'yes':
            problems.append('Li2O percolation %r %r' % (r['percolation_1d'], r['percolation_3d']))
# LiCoO2 conducts in its layers: 3D lies above the analyzer's 5 eV window
r = by[('LiCoO2.cif', 'Li1+')]
if r['percolation_3d'] != 'above the window' or r['ea_3d_eV'] is not None or r['threshold_3d_eV'] is not None:
    problems.append('LiCoO2 3D: %r %r %r' % (r['percolation_3d'], r['ea_3d_eV'], r['threshold_3d_eV']))

for (f, ion), r in by.items():
    st, msg, warns = r['status'], r['message'], r['warnings']
    if f == 'broken.cif' and (st != 'failed' or not msg.startswith('Error: ')):
        problems.append('broken.cif status %r %r' % (st, msg))
    if f == 'squeezed.cif' and ion == 'Li1+':
        if st != 'suspect' or not msg.startswith('Warning: GII') or r['threshold_1d_eV'] is None:
            problems.append('%s status %r %r, threshold %r' % (f, st, msg, r['threshold_1d_eV']))
    if f == 'nooxid.cif' and ion == 'Li1+':
        if st != 'ok' or not any('gives no oxidation state for Li, O' in w and 'Li1+, O2-' in w for w in warns):
            problems.append('nooxid.cif %r %r' % (st, warns))
    if f in ('Li2O.cif', 'notacif.txt', 'LiCoO2.cif') and ion == 'Li1+' and warns:
        problems.append('%s warnings %r' % (f, warns))
    lacks = (ion == 'Na1+') != (f == 'Na3PS4.cif')
    if lacks and f != 'broken.cif' and (st != 'skipped' or msg != 'no %s in the structure' % ion):
        problems.append('%s %s status %r %r (no such ion)' % (f, ion, st, msg))
    if f == 'Na3PS4.cif' and ion == 'Na1+' and (st != 'ok' or r['directions'] != '2D (0,0,1); 3D'):
        problems.append('Na3PS4 Na1+: %r %r' % (st, r['directions']))
a, b = by[('notacif.txt', 'Li1+')], by[('Li2O.cif', 'Li1+')]
if a['status'] != 'ok' or a['threshold_1d_eV'] != b['threshold_1d_eV'] or a['id'] != 'notacif':
    problems.append('notacif.txt: %r %r %r' % (a['status'], a['id'], a['threshold_1d_eV']))

# each structure's files stay in its own directory, named after it
for r in rows:
    d = os.path.join('screen', r['workdir'])
    stem = os.path.splitext(os.path.basename(r['file']))[0]
    for top, dirs, names in os.walk(d):
        for name in names:
            if not (name.startswith(stem + '.') or name.startswith(stem + '_assigned.') or
                    name.startswith('OSTREL_') or name.startswith('velmora_') or
                    name in ('row.json', 'profile.json') or
                    re.fullmatch(r'(bv|cube|ostrel)\.(out|err)', name)):
                problems.append('%s: stray file %s' % (top, name))
for p in problems:
    print('FAIL:', p)
sys.exit(1 if problems else 0)
PYEOF
"$PY" - screen/results.svg screen/profiles/*.svg <<'PYEOF' || fail=1
import sys, xml.etree.ElementTree as ET
for path in sys.argv[1:]:
    try:
        svg = ET.parse(path).getroot()
        if not svg.tag.endswith('svg') or not list(svg.iter('{http://www.w3.org/2000/svg}path')):
            print('FAIL: %s: no SVG drawing' % path)
            sys.exit(1)
    except (OSError, ET.ParseError) as e:
        print('FAIL: %s: %s' % (path, e))
        sys.exit(1)
# the overview labels structures by formula and marks the suspect one
text = open(sys.argv[1]).read()
if 'Li2O' not in text or 'CoLiO2' not in text and 'LiCoO2' not in text or '(?)' not in text:
    print('FAIL: the overview lacks formula labels or the suspect mark')
    sys.exit(1)
PYEOF

# ---- resuming: nothing is run again; only failures with --retry-failed
sum_rows() { cat screen/work/*/*/row.json | md5sum; }
before=$(sum_rows)
"$BVSCREEN" --ion Li --ion Na --out screen --resolution $RES in/LiCoO2.cif in/Na3PS4.cif \
    in/broken.cif in/squeezed.cif in/nooxid.cif in/notacif.txt @in/list.txt 2>err.txt
grep -q '14 done before; running 0 structures' err.txt || { bad "resume ran again:"; cat err.txt; }
[ "$(sum_rows)" = "$before" ] || bad "resume changed stored rows"
"$BVSCREEN" --ion Li --out screen --resolution $RES --retry-failed in/LiCoO2.cif in/broken.cif \
    2>err.txt
grep -q '1 done before; running 1 structures' err.txt || { bad "retry-failed:"; cat err.txt; }
# another resolution, seed or number of draws into the same directory is
# refused, not mixed
for change in "--resolution 0.3|resolution 0.2, not 0.3" "--seed 5|seed 1, not 5" "--draws 2|draws 1, not 2"; do
  "$BVSCREEN" --ion Li --out screen ${change%%|*} in/sub/Li2O.cif 2>err.txt
  [ $? = 1 ] && grep -q "${change#*|}" err.txt || { bad "${change%%|*} accepted"; cat err.txt; }
done

# ---- interrupted: a velmora.x that hangs on one structure; SIGTERM ends
# the screen, its child processes and keeps the finished rows
cp in/sub/Li2O.cif in/slow.cif
cat >slow-velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube*slow.cif*) echo \$\$ >"$BV_SCRATCH/slow.pid"; exec sleep 300;; esac
exec "$VELMORA" "\$@"
EOF
chmod +x slow-velmora
mkdir int && cp in/sub/Li2O.cif in/LiCoO2.cif in/slow.cif int/
"$BVSCREEN" --ion Li --out stop --jobs 2 --velmora "$BV_SCRATCH/slow-velmora" int 2>stop.txt &
pid=$!
for _ in $(seq 1 600); do
  [ -s slow.pid ] && [ "$(ls stop/work/*/Li1+/row.json 2>/dev/null | wc -l)" = 2 ] && break
  sleep 0.2
done
kill -TERM $pid; wait $pid; rc=$?
[ $rc = 143 ] || bad "interrupted screen: status $rc, expected 143"
grep -q 'interrupted; run the same command again' stop.txt || bad "no resume hint"
hung=$(cat slow.pid 2>/dev/null)
sleep 0.5
[ -n "$hung" ] && ps -eo pgid=,stat= | awk -v g="$hung" '$1 == g && $2 !~ /^Z/' | grep -q . \
  && bad "processes of the interrupted run left"
[ "$(tail -n +2 stop/results.csv | wc -l)" = 2 ] || bad "interrupted table: $(cat stop/results.csv)"
grep -q slow stop/results.csv && bad "a row for the interrupted structure"
done_rows=$(cat stop/work/Li2O*/*/row.json stop/work/LiCoO2*/*/row.json | md5sum)
"$BVSCREEN" --ion Li --out stop --jobs 2 --velmora "$VELMORA" int 2>stop2.txt \
  || { bad "resumed screen failed"; cat stop2.txt; }
grep -q '2 done before; running 1 structures' stop2.txt || bad "resume after interrupt: $(cat stop2.txt)"
[ "$(cat stop/work/Li2O*/*/row.json stop/work/LiCoO2*/*/row.json | md5sum)" = "$done_rows" ] \
  || bad "finished rows recomputed"
[ "$(grep -c ',ok,' stop/results.csv)" = 3 ] || bad "resumed table: $(cat stop/results.csv)"

# ---- a program run over --timeout is ended; the row says so
"$BVSCREEN" --ion Li --out late --timeout 2 --no-plots --velmora "$BV_SCRATCH/slow-velmora" \
    int/slow.cif 2>/dev/null || bad "screen with a timeout failed"
grep -q ',failed,Error: slow-velmora --gen-cube timed out after 2 s,' late/results.csv \
  || bad "timeout row: $(cat late/results.csv)"

# ---- a program ended from outside by SIGTERM (as a batch system's cancel
# does, possibly before the screen sees its own signal): no row is stored
# for it, the others are, and the next run computes it
cat >term-velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube*slow.cif*) kill -TERM \$\$;; esac
exec "$VELMORA" "\$@"
EOF
chmod +x term-velmora
"$BVSCREEN" --ion Li --out term --no-plots --velmora "$BV_SCRATCH/term-velmora" \
    int/slow.cif int/Li2O.cif 2>term.txt
rc=$?
[ $rc = 1 ] && grep -q '1 rows.*1 missing' term.txt || { bad "outside SIGTERM: status $rc"; cat term.txt; }
grep -q slow term/results.csv && bad "a row for the program ended from outside"
"$BVSCREEN" --ion Li --out term --no-plots int/slow.cif int/Li2O.cif 2>term.txt \
  && grep -q '1 done before; running 1 structures' term.txt || { bad "rerun after SIGTERM"; cat term.txt; }

# ---- --all-structures: a structure without the ion is screened with a
# probe ion, and its row is marked suspect
"$BVSCREEN" --ion Na --out probe --no-plots --all-structures in/sub/Li2O.cif 2>/dev/null \
  || bad "--all-structures failed"
grep -q ',suspect,Warning: no Na1+ in the structure: the landscape is that of a probe ion,' \
  probe/results.csv || bad "probe-ion row: $(cat probe/results.csv)"

# ---- reproducible by default: a structure whose Li site is shared with Na
# is resolved at random, with seed 1 unless told otherwise; --draws 3 takes
# seeds 1, 2, 3 and gives the mean, range and spread of every energy
mkdir part && cp "$BV_TEST_DATA_DIR/cube/LiNaO_partial.cif" part/ && cp in/sub/Li2O.cif part/
for d in rep1 rep2; do
  "$BVSCREEN" --ion Li --out $d --resolution 0.5 --no-plots part/LiNaO_partial.cif 2>/dev/null \
    || bad "screen $d"
done
"$BVSCREEN" --ion Li --out draws --resolution 0.5 --draws 3 --no-plots part 2>/dev/null \
  || bad "--draws 3 failed"
"$PY" - <<'PYEOF' || fail=1
import csv, json, glob, statistics, sys
problems = []
def table(d):
    return [{k: v for k, v in r.items() if k not in ('seconds', 'date')}
            for r in csv.DictReader(open(d + '/results.csv'))]
a, b = table('rep1'), table('rep2')
if a != b or len(a) != 1 or a[0]['seed'] != '1' or a[0]['status'] != 'ok':
    problems.append('two runs without --seed differ: %r %r' % (a, b))
rows = {r['id']: r for r in map(json.loads, open('draws/results.jsonl'))}
r, o = rows['LiNaO_partial'], rows['Li2O']
if r['draws'] != 3 or r['seeds'] != [1, 2, 3] or not r['random']:
    problems.append('draws %r seeds %r random %r' % (r['draws'], r['seeds'], r['random']))
if r['seeds'][0] != 1 or abs(r['threshold_1d_eV'] - float(a[0]['threshold_1d_eV'])) > 1e-6 and \
        r['per_draw'][0]['threshold_1d_eV'] != float(a[0]['threshold_1d_eV']):
    problems.append('the first draw is not the default run')
for key in ('threshold_1d_eV', 'threshold_3d_eV', 'ea_1d_eV', 'ea_3d_eV'):
    values = []
    for k, d in enumerate(r['per_draw']):
        doc = json.load(open('draws/%s/%s/OSTREL_analysis.json' % (r['workdir'], d['workdir'])))
        kind = 'thresholds_from_global_minimum' if key.startswith('threshold') else 'activation_energies'
        v = doc[kind][key[-5:-3].upper()]
        if v is None or abs(v - d[key]) > 1e-6:
            problems.append('draw %d %s: row %r, its analysis %r' % (k + 1, key, d[key], v))
        values.append(v)
    want = (statistics.mean(values), min(values), max(values), statistics.stdev(values))
    got = (r[key], r[key + '_min'], r[key + '_max'], r[key + '_sd'])
    if any(abs(x - y) > 2e-6 for x, y in zip(want, got)):
        problems.append('%s: row %r, from the draws %r' % (key, got, want))
if len(set(d['threshold_3d_eV'] for d in r['per_draw'])) < 2:
    problems.append('three draws gave one landscape: %r' % r['per_draw'])
# An ordered structure needs no second draw.
if o['draws'] != 1 or o['random'] or o['threshold_1d_eV_sd'] != 0 or o['seeds'] != [1]:
    problems.append('ordered Li2O: draws %r random %r sd %r' % (o['draws'], o['random'], o['threshold_1d_eV_sd']))
if glob.glob('draws/%s/draw-2' % o['workdir']):
    problems.append('a second draw of an ordered structure')
for p in problems:
    print('FAIL:', p)
sys.exit(1 if problems else 0)
PYEOF

# ---- input mistakes are usage errors (2), naming the input; nothing runs
mkdir empty
: >empty.txt
while IFS='|' read -r args want; do
  "$BVSCREEN" --ion Li --out never $args >o.txt 2>e.txt; rc=$?
  [ $rc = 2 ] || bad "$args: status $rc, expected 2"
  grep -qF -- "$want" e.txt || { bad "$args: message"; cat e.txt; }
done <<'CASES'
in/nosuch.cif|no such file or directory: in/nosuch.cif
in/LiCoO2.cif in/typo.cif|no such file or directory: in/typo.cif
empty|nothing to screen in empty (a directory without *.cif files)
@empty.txt|nothing to screen in empty.txt (an empty list)
--list nolist.txt|no such file or directory: nolist.txt (list file)
|nothing to screen
CASES
[ -e never ] && bad "a refused screen made its directory"
"$BVSCREEN" --out x in/sub/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "no --ion: not status 2"
"$BVSCREEN" --ion Xx --out x in/sub/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "unknown ion: not status 2"
"$BVSCREEN" --ion Li --out x --resolution 0 in/sub/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "resolution 0"
"$BVSCREEN" --ion Li --out x --draws 0 in/sub/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "--draws 0"
"$BVSCREEN" --ion Li --out x --seed -1 in/sub/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "--seed -1"
"$BVSCREEN" --ion Li in/sub/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "no --out: not status 2"

# ---- the job scripts of a Slurm screen carry the limits clusters ask for
"$BVSCREEN" --ion Li --out sl --slurm --no-submit --chunk-size 1 --sbatch-time 01:30:00 \
    --sbatch-mem 2G --sbatch=--partition=short in/sub/Li2O.cif in/LiCoO2.cif 2>/dev/null \
  || bad "--slurm --no-submit failed"
for f in array merge; do
  for line in '#SBATCH --time=01:30:00' '#SBATCH --mem=2G' '#SBATCH --partition=short'; do
    grep -qx -- "$line" sl/slurm/$f.sbatch || bad "$f.sbatch lacks $line"
  done
done
grep -qx '#SBATCH --array=0-1' sl/slurm/array.sbatch || bad "array: $(cat sl/slurm/array.sbatch)"

# ---- PNG plots
"$BVSCREEN" --ion Li --out png --plot-format png in/sub/Li2O.cif in/LiCoO2.cif 2>/dev/null \
  || bad "png screen failed"
"$BVSCREEN" --plot-profile hand/LiCoO2/OSTREL_rp.csv profile.png || bad "--plot-profile failed"
"$PY" - png/results.png png/profiles/*.png profile.png <<'PYEOF' || fail=1
import struct, sys
import matplotlib.image as mpimg
for path in sys.argv[1:]:
    data = open(path, 'rb').read()
    w, h = struct.unpack('>II', data[16:24])
    img = mpimg.imread(path)
    if data[:8] != b'\x89PNG\r\n\x1a\n' or not data.endswith(b'IEND\xaeB`\x82') \
            or img.shape[:2] != (h, w) or w < 100 or h < 100 or img.std() == 0:
        print('FAIL: %s is no valid picture' % path)
        sys.exit(1)
PYEOF
[ "$(ls png/profiles/*.png | wc -l)" = 2 ] || bad "PNG profiles: $(ls png/profiles)"

exit $fail

#!/usr/bin/env bash
# bvscreen end to end on a small screen: the table against velmora.x and
# ostrel run by hand, CSV and JSON lines read back, percolation directions of
# a 3D (Li2O) and a layered (LiCoO2) conductor, failing, suspect, skipped and
# missing structures, resuming, an interrupted screen (SIGTERM while one
# structure is still running), refused settings, usage errors and the plots.
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
printf '# a list file\nLi2O.cif\nmissing.cif\n' >in/list.txt

# ---- the screen: two ions, a directory and a list file (Li2O twice: once)
"$BVSCREEN" --ion Li --ion na --out screen --resolution $RES --jobs 2 \
    in/LiCoO2.cif in/Na3PS4.cif in/broken.cif in/squeezed.cif in/list.txt \
    >out.txt 2>err.txt
rc=$?
[ $rc = 0 ] || bad "screen with failing structures: status $rc, expected 0"
grep -q '^bvscreen: 6 structures x 2 ions = 12 rows' err.txt || bad "progress header"; 
grep -q '^\[12/12\]' err.txt || bad "progress lines"; grep -q 'failures' err.txt || bad "failures shown"
for f in results.csv results.jsonl results.svg settings.json tasks.txt; do
  [ -s screen/$f ] || bad "screen/$f not written"
done
ls screen/*.tmp* 2>/dev/null && bad "temporary files left"

# ---- the same steps by hand, for Li2O and LiCoO2 (ordered structures:
# the landscape does not depend on any random number)
for s in Li2O LiCoO2; do
  mkdir -p hand/$s && cp in/$s.cif hand/$s/ && (
    cd hand/$s
    "$VELMORA" --cal-gii $s.cif >gii.txt
    "$VELMORA" --gen-cube $s.cif Li 1 0 $RES t t $s.cube >cube.txt
    "$OSTREL" --cube $s.cube --cif $s.cif Li1+ --path --print-act --print-minima --print-saddle >ostrel.txt
  )
done

"$PY" - "$BV_SCRATCH" <<'PYEOF' || fail=1
import csv, json, math, os, re, sys, xml.etree.ElementTree as ET
root = sys.argv[1]
os.chdir(root)
problems = []
rows = [json.loads(l) for l in open('screen/results.jsonl')]
table = list(csv.reader(open('screen/results.csv', newline='')))
columns = ["id", "formula", "ion", "status", "screening_factor", "gii", "ea_1d", "ea_2d",
           "ea_3d", "directions", "sites", "saddles", "grid", "seconds", "file"]
if table[0] != columns:
    problems.append('CSV header %s' % table[0])
if len(rows) != 12 or len(table) != 13:
    problems.append('%d JSON rows, %d CSV rows; 12 expected' % (len(rows), len(table) - 1))
# CSV and JSON lines say the same, missing values as empty cells / null
for r, line in zip(rows, table[1:]):
    for k, cell in zip(columns, line):
        v = r[k]
        want = '' if v is None else ('%.2f' % v if k == 'seconds' else
                                     '%.6f' % v if isinstance(v, float) else str(v))
        if cell != want:
            problems.append('%s %s %s: CSV %r, JSON %r' % (r['id'], r['ion'], k, cell, v))
by = {(os.path.basename(r['file']), r['ion']): r for r in rows}
if len(by) != 12:
    problems.append('rows are not one per structure and ion')

def number(pattern, text, cast=float):
    m = re.search(pattern, text, re.M)
    return cast(m.group(1)) if m else None

for s, where in (('Li2O', '3D'), ('LiCoO2', '2D (0,0,1)')):
    r = by[(s + '.cif', 'Li1+')]
    hand = {n: open('hand/%s/%s.txt' % (s, n)).read() for n in ('gii', 'cube', 'ostrel')}
    if r['status'] != 'ok':
        problems.append('%s: status %r' % (s, r['status']))
        continue
    expect = {'gii': number(r'^GII: Global instability index = (\S+)', hand['gii']),
              'screening_factor': number(r'final screening factor = (\S+)', hand['cube']),
              'sites': number(r'Total local minima in unit cell: (\d+)', hand['ostrel'], int),
              'saddles': number(r'Total local saddle in unit cell: (\d+)', hand['ostrel'], int)}
    for d in (1, 2, 3):
        e = number(r'^%dD activation energy: (\S+)' % d, hand['ostrel'])
        expect['ea_%dd' % d] = None if e == 999 else e
    for k, v in expect.items():
        if v is None and k.startswith('ea') and r[k] is None:
            continue
        if v is None or r[k] is None or abs(v - r[k]) > 5e-7 * max(1, abs(v)):
            problems.append('%s %s: table %r, by hand %r' % (s, k, r[k], v))
    counts = [open('hand/%s/%s.cube' % (s, s)).readlines()[3 + a].split()[0] for a in range(3)]
    if r['grid'] != 'x'.join(counts):
        problems.append('%s grid %s, cube %s' % (s, r['grid'], counts))
    if r['directions'] != where:
        problems.append('%s directions %r, expected %r' % (s, r['directions'], where))
    # A 2D conductor has no 3D activation energy: empty, not 999
    if s == 'LiCoO2' and (r['ea_3d'] is not None or r['ea_2d'] is None):
        problems.append('LiCoO2 energies %s %s' % (r['ea_2d'], r['ea_3d']))
    steps = r['program_seconds']
    if sorted(steps) != ['bv', 'cube', 'ostrel'] or \
            not all(0 <= cpu and 0 < wall <= r['seconds'] for wall, cpu in steps.values()):
        problems.append('%s program times %s, row %s s' % (s, steps, r['seconds']))
    if r['formula'] not in ('Li2O', 'CoLiO2') or r['id'] != s:
        problems.append('%s id %r formula %r' % (s, r['id'], r['formula']))
    if not r['profile_plot'] or not os.path.exists('screen/' + r['profile_plot']):
        problems.append('%s: no profile plot' % s)
    # every BV sum of the row, and the GII recomputed from them (one site per
    # species here; the multiplicities cancel for Li2O: 8 Li, 4 O per cell)
    if s == 'Li2O':
        bvs = {b['species']: b['bvs'] for b in r['bv_sites']}
        gii = math.sqrt((8 * (bvs['Li1+'] - 1) ** 2 + 4 * (bvs['O2-'] + 2) ** 2) / 12)
        if abs(gii - r['gii']) > 2e-6:
            problems.append('Li2O GII %f from its BV sums, %f in the table' % (gii, r['gii']))

for (f, ion), r in by.items():
    st = r['status']
    if f == 'broken.cif' and not st.startswith('Error: '):
        problems.append('broken.cif status %r' % st)
    if f == 'missing.cif' and not st.startswith('Error: cannot read'):
        problems.append('missing.cif status %r' % st)
    if f == 'squeezed.cif' and ion == 'Li1+':
        if not st.startswith('Warning: GII') or r['ea_1d'] is None:
            problems.append('%s status %r, Ea %r' % (f, st, r['ea_1d']))
    lacks = (ion == 'Na1+') != (f == 'Na3PS4.cif')
    if lacks and f not in ('broken.cif', 'missing.cif') and not st.startswith('skipped'):
        problems.append('%s %s status %r (no such ion)' % (f, ion, st))
    if f == 'Na3PS4.cif' and ion == 'Na1+' and (st != 'ok' or r['directions'] != '2D (0,0,1); 3D'):
        problems.append('Na3PS4 Na1+: %r %r' % (st, r['directions']))

# each structure's files stay in its own directory, named after it
for r in rows:
    d = os.path.join('screen', r['workdir'])
    stem = os.path.splitext(os.path.basename(r['file']))[0]
    for name in os.listdir(d):
        if not (name.startswith(stem + '.') or name.startswith(stem + '_assigned.') or
                name.startswith('OSTREL_') or name == 'row.json' or
                re.fullmatch(r'(bv|cube|ostrel)\.(out|err)', name)):
            problems.append('%s: stray file %s' % (d, name))

# the plots are well-formed SVG documents with drawn paths
for path in ['screen/results.svg'] + ['screen/' + r['profile_plot'] for r in rows
                                      if r.get('profile_plot')]:
    try:
        svg = ET.parse(path).getroot()
        if not svg.tag.endswith('svg') or not list(svg.iter('{http://www.w3.org/2000/svg}path')):
            problems.append('%s: no SVG drawing' % path)
    except (OSError, ET.ParseError) as e:
        problems.append('%s: %s' % (path, e))
for p in problems:
    print('FAIL:', p)
sys.exit(1 if problems else 0)
PYEOF

# ---- resuming: nothing is run again; only failures with --retry-failed
sum_rows() { cat screen/work/*/*/row.json | md5sum; }
before=$(sum_rows)
"$BVSCREEN" --ion Li --ion Na --out screen --resolution $RES in/LiCoO2.cif in/Na3PS4.cif \
    in/broken.cif in/squeezed.cif in/list.txt 2>err.txt
grep -q '12 done before; running 0 structures' err.txt || { bad "resume ran again:"; cat err.txt; }
[ "$(sum_rows)" = "$before" ] || bad "resume changed stored rows"
"$BVSCREEN" --ion Li --out screen --resolution $RES --retry-failed in/LiCoO2.cif in/broken.cif \
    2>err.txt
grep -q '1 done before; running 1 structures' err.txt || { bad "retry-failed:"; cat err.txt; }
# another resolution into the same directory is refused, not mixed
"$BVSCREEN" --ion Li --out screen --resolution 0.3 in/Li2O.cif 2>err.txt
[ $? = 1 ] && grep -q 'resolution 0.2, not 0.3' err.txt || { bad "resolution change accepted"; cat err.txt; }

# ---- interrupted: a velmora.x that hangs on one structure; SIGTERM ends
# the screen, its child processes and keeps the finished rows
cp in/Li2O.cif in/slow.cif
cat >slow-velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube\ slow.cif*) echo \$\$ >"$BV_SCRATCH/slow.pid"; sleep 300;; esac
exec "$VELMORA" "\$@"
EOF
chmod +x slow-velmora
mkdir int && cp in/Li2O.cif in/LiCoO2.cif in/slow.cif int/
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
# (a killed child whose parent died first may stay a zombie of the reaper)
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
grep -q ',Error: slow-velmora --gen-cube timed out after 2 s,' late/results.csv \
  || bad "timeout row: $(cat late/results.csv)"

# ---- a program ended from outside by SIGTERM (as a batch system's cancel
# does, possibly before the screen sees its own signal): no row is stored
# for it, the others are, and the next run computes it
cat >term-velmora <<EOF
#!/bin/bash
case "\$*" in *--gen-cube\ slow.cif*) kill -TERM \$\$;; esac
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

# ---- usage errors (2) and PNG plots
"$BVSCREEN" --out x in/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "no --ion: not status 2"
"$BVSCREEN" --ion Xx --out x in/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "unknown ion: not status 2"
"$BVSCREEN" --ion Li --out x --resolution 0 in/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "resolution 0"
"$BVSCREEN" --ion Li in/Li2O.cif 2>/dev/null; [ $? = 2 ] || bad "no --out: not status 2"
"$BVSCREEN" --ion Li --out png --plot-format png in/Li2O.cif in/LiCoO2.cif 2>/dev/null \
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

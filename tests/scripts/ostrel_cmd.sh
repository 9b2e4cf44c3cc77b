#!/usr/bin/env bash
# ostrel's command mode driven by scripts on standard input, on a separable
# cosine landscape (one site, saddles of 0.22, 0.46 and 0.74 eV along a, b
# and c; values checked by hand) and on Na3PS4: grid, energy, geometry and
# symmetry answers; the network listing equal to OSTREL_events.txt; plane
# slices against the formula; CIF export read back by gemmi; deletions that
# make the path library out of date until restart rebuilds it; missing cube
# or CIF; malformed lines; help for every command; the end of the input as
# "end"; and random input that must neither crash nor hang the program.
set -u
: "${OSTREL:?}" "${VELMORA:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import gemmi, numpy' 2>/dev/null || { echo "skipped: no gemmi/numpy"; exit 77; }
fail=0
bad() { echo "FAIL: $*"; fail=1; }
# Standard output after the prompt line, compared with the expected text.
session() {  # name, expected file; runs "$OSTREL" with the remaining words
  local name=$1 want=$2; shift 2
  "$OSTREL" "$@" <"$name.in" >"$name.out" 2>"$name.err"
  echo $? >"$name.rc"
  # (the summaries keep their CR LF line ends on standard output too)
  sed -n '/^Enter your command: /,$p' "$name.out" | sed 1d | tr -d '\r' >"$name.got"
  cmp -s "$name.got" "$want" || { bad "session $name"; diff "$name.got" "$want" | head -40; }
}

"$PYTHON" "$(dirname "$0")/lib/cosine_landscape.py" || exit 1
COS="--cube cos.cube --cif cos.cif Li1+"

# Answers about the grid, the geometry, the paths and the structure.
# 3 -4 25 wraps to 3 16 5: 0.11(1-cos 54) + 0.23(1-cos 288) + 0.37 = 0.574270;
# one grid step is 0.2 A (the cube's bohr steps round it to 1.999999 over 10).
cat >s1.in <<'EOF'
totalgrid
energy 10 0 0
energy 3 -4 25
frac 5 10 15
grid 0.25 0.5 0.76
distance 0 0 0 10 0 0
angle 10 0 0 0 0 0 0 10 0
index 10 0 0
isminimum 20 0 0
isminimum 5 5 5
isdirectpath 0 0 0 20 0 0
isdirectpath 0 0 0 20 20 0
neighbour minima 10 0 0 2
neighbour saddle 0 0 0 3
connect 1 -2
connect 1 0
energy max
gensym 3 4 5
gensymf 0.25 0.5 -0.25
fastgensym 21 4 5
charge
gii
diff_neigh
hk
print ion types
end
totalgrid
EOF
cat >s1.want <<'EOF'
Number of grid elements [a,b,c] = [20,20,20]
Energy of 10 0 0 : 0.220000 eV
Energy of 3 -4 25 : 0.574270 eV
Fractional coordinates: 0.250000 0.500000 0.750000

Grid coordinates: 5 10 15

Distance between (0,0,0) and (10,0,0) in Angstrom: 1.999999
Angle: 1.571 rad (90.000 deg)
Number of clusters (of lower energy) around 10 0 0 : 2
(20,0,0) is an energy minimum
(5,5,5) is NOT an energy minimum
There is direct path between (0,0,0) and (20,0,0)
There is NO direct path between (0,0,0) and (20,20,0)
Searching for the nearest 2 energy minima from (10,0,0) (0.500,0.000,0.000)
> 0 (Li1) : (0,0,0) (0.000,0.000,0.000), 2.000 Angstrom
> 0 (Li1) : (20,0,0) (1.000,0.000,0.000), 2.000 Angstrom
End of search
Searching for the nearest 3 saddle points from (0,0,0) (0.000,0.000,0.000)
> 0 : (10,0,0) (0.500,0.000,0.000), 2.000 Angstrom
> 1 : (0,10,0) (0.000,0.500,0.000), 2.000 Angstrom
> 2 : (0,0,10) (0.000,0.000,0.500), 2.000 Angstrom
End of search
Constructing user-defined reaction pathway...
User-defined reaction pathway successfully written to OSTREL_rp_manual.csv.
Current maximum energy threshold is 5.000 eV.

Total symmetrical copies in unit cell: 1
    Grid.x  Grid.y  Grid.z
 1.     3     4     5


Total symmetrical copies in unit cell: 1
    Frac.x  Frac.y  Frac.z
 1. 0.2500000000  0.5000000000  0.7500000000

Total symmetrical copies in unit cell: 1
         X     Y     Z
  1.     1     4     5
Total charge per unit cell: -1.000
Li1 : 0.093011 Ox 1.000000 Mul 1 Occ 1.000000
O1 : -0.093011 Ox -2.000000 Mul 1 Occ 1.000000
Global instability index: 1.493190
Environment of two symmetrically equivalent grid points (in terms of their 26 neighbours) is identical.
loop_
_atom_type_symbol
_atom_type_oxidation_number
Li1+     1.000
O2-      -2.000
Exit command mode...
EOF
session s1 s1.want $COS --path --cmd
[ "$(cat s1.rc)" = 0 ] || bad "s1 status $(cat s1.rc)"
[ "$(cat s1.err)" = "Error: Input path type must be greater than 0 and smaller than 4..." ] \
  || { bad "s1 errors"; cat s1.err; }
# The pathway of "connect 1 -2": 0 -> 20 along a (4 A), then back along b.
"$PYTHON" - <<'PY' || fail=1
rows = open("OSTREL_rp_manual.csv").read().split("\n")
ok = rows[-2:] == ["END", ""] and rows[0] == "0.000000,0.000000,Li1"
pts = [r.split(",") for r in rows[:-2]]
sites = [i for i, p in enumerate(pts) if len(p) == 3 and p[2] == "Li1"]
ok = ok and sites == [0, 20, 40] and abs(float(pts[40][0]) - 8.0) < 1e-4
ok = ok and abs(max(float(p[1]) for p in pts[:21]) - 0.22) < 1e-6
ok = ok and abs(max(float(p[1]) for p in pts[20:]) - 0.46) < 1e-6
print("connect 1 -2: %d points %s" % (len(pts), "ok" if ok else "FAILED"))
raise SystemExit(0 if ok else 1)
PY

# The network listing is the events file; a threshold keeps its first part.
printf 'network all\nend\n' >net.in
"$OSTREL" $COS --path --cmd <net.in >net.out 2>net.err
sed -n '/^Enter your command: /,/^Exit command mode/p' net.out | sed '1d;$d' >net.got
cmp -s net.got OSTREL_events.txt || bad "network all differs from OSTREL_events.txt"
printf 'network 0.3\nend\n' >net.in
"$OSTREL" $COS --path --cmd <net.in >net.out 2>net.err
[ "$(grep -c 'Threshold energy' net.out)" = 1 ] || bad "network 0.3: one threshold expected"

# Plane slices hold the stored (raw) energies: rows over the first remaining axis.
printf 'slice plane z 0\nend\n' >z.in
"$OSTREL" $COS --cmd <z.in >z.out 2>&1
grep -qx 'Successfully exported plane z = 0 to plane.csv.' z.out || bad "slice z message"
cp plane.csv plane_z.csv
printf 'slice plane x 3\nend\n' >x.in
"$OSTREL" $COS --cmd <x.in >x.out 2>&1
"$PYTHON" - <<'PY' || fail=1
import math
f = lambda w, q: w * (1 - math.cos(2 * math.pi * q / 20))
def check(path, value):
    rows = open(path).read().split("\n")
    ok = len(rows) == 21 and rows[-1] == ""
    for r, row in enumerate(rows[:-1]):
        cells = row.split(",")
        ok = ok and len(cells) == 21 and cells[-1] == ""
        ok = ok and all(abs(float(c) - value(r, k)) < 2e-6 for k, c in enumerate(cells[:-1]))
    return ok
ok = check("plane_z.csv", lambda r, k: f(0.11, r) + f(0.23, k))
ok = ok and check("plane.csv", lambda r, k: f(0.11, 3) + f(0.23, r) + f(0.37, k))
print("plane slices %s" % ("ok" if ok else "FAILED"))
raise SystemExit(0 if ok else 1)
PY

# Deletions make the library out of date until restart rebuilds it; the
# cut-off set by energy max is used by the rebuilt search.
cat >s2.in <<'EOF'
del saddletype 1
print pathlib
connect 1
network all
isdirectpath 0 0 0 20 0 0
del pathlib 1
restart
print pathlib
del pathlib 3
del pathlib 2
restart reacpath
energy max 0.3
restart cube pathlib reacpath
print saddle
energy max
EOF
cat >s2.want <<'EOF'
Deleted saddle type 1
Restarting the pathway analysis...
> Reconstructing the pathway library...
> Reconstructing the reaction pathway...
> Auto-generated reaction pathway done.

Finished restarting.
-----------------------------------------------------------------
                 Summary of minimum energy paths                 
-----------------------------------------------------------------

> Path 1 : Li1 (0.000 eV) to Li1 (0.000 eV) via s1 (0.460 eV)
>> Dimension: 2
>> Redundancy: 1
> Path 2 : Li1 (0.000 eV) to Li1 (0.000 eV) via s2 (0.740 eV)
>> Dimension: 2
>> Redundancy: 1

Listing all 2 paths (including equivalent ones)...
> Li1 (0.000 eV) to Li1 (0.000 eV) via s1 (0.460 eV)
>> Internal: boundary cross (0,1,0); minima indices (0,0) saddle index (0)
> Li1 (0.000 eV) to Li1 (0.000 eV) via s2 (0.740 eV)
>> Internal: boundary cross (0,0,1); minima indices (0,0) saddle index (1)


Deleted path index 1 (path type 2)
Restarting the pathway analysis...
> Reconstructing the reaction pathway...
> Auto-generated reaction pathway done.

Finished restarting.
Maximum energy threshold is now changed to 0.300 eV.
Restarting the pathway analysis...
> Reconstructing the stationary points...
> Reconstructing the pathway library...
> Reconstructing the reaction pathway...
> Auto-generated reaction pathway done.

Finished restarting.
-----------------------------------------------------------------
                  Summary of energy saddle point                  
-----------------------------------------------------------------

Total local saddle in unit cell: 1
Total symmetrically inequivalent: 1

Saddle type: s1 (Energy: 0.220000 eV)
    Index   Grid coor.    True grid coor.     Frac. coor.         True frac. coor.
        0    10   0   0    10.0   0.0   0.0   0.500 0.000 0.000   0.500 0.000 0.000
Multiplicity: 1

Current maximum energy threshold is 0.300 eV.
Exit command mode...
EOF
session s2 s2.want $COS --path --summary --cmd
printf 'Error: The pathway library refers to minima or saddle points that have changed; type restart pathlib to rebuild it.\n%.0s' 1 2 3 4 5 >s2.err.want
echo "Error: Path index must be > 0 and <= 2..." >>s2.err.want
cmp -s s2.err s2.err.want || { bad "s2 errors"; cat s2.err; }
[ "$(cat s2.rc)" = 0 ] || bad "s2 status $(cat s2.rc) (the end of the input ends the mode)"
grep -q 'Listing all 1 paths' OSTREL_summary.txt || bad "summary not rewritten by restart"
[ "$(grep -c 'Threshold energy' OSTREL_events.txt)" = 1 ] || bad "events not rewritten by restart"

# Without a cube, without a structure.
printf 'totalgrid\nenergy 1 2 3\nprint minima\nprint pathlib\nrestart cube\nbv\nend\n' >nocube.in
"$OSTREL" --cif cos.cif Li1+ --cmd <nocube.in >nocube.out 2>nocube.err; rc=$?
[ $rc = 0 ] || bad "no cube: status $rc"
[ "$(grep -c '^Error: No CUBE file has been loaded yet.$' nocube.err)" = 5 ] || { bad "no cube errors"; cat nocube.err; }
grep -q '^> Li1 \[0.000 0.000 0.000\] : 0.093011$' nocube.out || bad "bv without a cube"
printf 'bv\ngii\ncharge\ngensymf 0.1 0.2 0.3\nexport cif P1\nprint symops\ntotalgrid\nend\n' >nocif.in
"$OSTREL" --cube cos.cube --cmd <nocif.in >nocif.out 2>nocif.err
[ "$(grep -c '^Error: No CIF file has been loaded yet.$' nocif.err)" = 6 ] || { bad "no cif errors"; cat nocif.err; }
grep -q 'Number of grid elements \[a,b,c\] = \[20,20,20\]' nocif.out || bad "totalgrid without a CIF"
[ -e OSTREL.cif ] && bad "export without a CIF wrote a file"

# Malformed lines: a clear error each, nothing read past the line; the
# malformed network and gensym end the mode (the program finishes normally).
cat >bad.in <<'EOF'
energy 1 2
energy a b c
frac 1 2 3 4
neighbour minima 0 0 0 0
neighbour minima 0 0 0 100000
neighbour maxima 0 0 0 1
slice plane w 1
slice plane x 20
slice plane y -1
del foo 1
restart now
connect
connect 1 1.5
export cif P2
export cif -o
export cif supercell 1 1
grid 1e9 0 0
energy 99999999 0 0
energy max -1
energy max abc
isminimum 1 2
isdirectpath 1 2 3
foo bar
help foo
network
totalgrid
EOF
cat >bad.want <<'EOF'
Error: Format energy <i> <j> <k> (grid coordinates)
Error: Format energy <i> <j> <k> (grid coordinates)
Error: Format frac <i> <j> <k> (grid coordinates)
Error: Number of neighbours must be greater than zero.
Error: Number of neighbours must be at most 1000.
Error: Format neighbour <minima/saddle> <i> <j> <k> <N>
Error: Format slice plane <x/y/z> <i>
Error: Input plane is out of unit cell.
Error: Input plane is out of unit cell
Error: Format del <pathlib/minimum/saddletype> <ID>
Error: Format restart [cube] [pathlib] [reacpath]
Error: Format connect <path 1 ID> [path 2 ID] [path 3 ID] ...
Error: Format connect <path 1 ID> [path 2 ID] [path 3 ID] ...
Error: Invalid input to export cif. Please check 'help export cif' for more information.
Error: Invalid input to export cif. Please check 'help export cif' for more information.
Error: Invalid input to export cif. Please check 'help export cif' for more information.
Error: Format grid <x> <y> <z> (fractional coordinates)
Error: Format energy <i> <j> <k> (grid coordinates)
Error: Energy threshold must be positive...
Error: Format energy max [<energy threshold>]
Error: Format isminimum <x> <y> <z> (grid coordinates)
Error: Format isdirectpath <x1> <y1> <z1> <x2> <y2> <z2> (grid coordinates of two minima)
Error: Unknown command 'foo bar'; type help for the list of commands
Error: No help on 'foo'; type help for the list of commands
Error: Format is network [energy]
EOF
"$OSTREL" $COS --path --cmd <bad.in >bad.out 2>bad.err; rc=$?
[ $rc = 0 ] || bad "malformed lines: status $rc"
cmp -s bad.err bad.want || { bad "malformed lines"; diff bad.err bad.want; }
grep -q 'Number of grid elements' bad.out && bad "commands read after the malformed network"
printf 'gensym 1 2\ntotalgrid\n' >gs.in
"$OSTREL" $COS --cmd <gs.in >gs.out 2>gs.err || bad "malformed gensym: status"
grep -qx 'Error: Format gensym x y z' gs.err && ! grep -q 'Number of grid' gs.out || bad "malformed gensym"

# Lines with CR LF ends, an over-long line, a NUL byte, no "end".
{ printf 'totalgrid\r\n'; head -c 5000 /dev/zero | tr '\0' 'x'; printf '\n'; printf 'tot\0algrid\n'; \
  printf 'energy 0 0 0'; } >edge.in
timeout 60 "$OSTREL" $COS --cmd <edge.in >edge.out 2>edge.err; rc=$?
[ $rc = 0 ] || bad "edge input: status $rc"
grep -q '^Number of grid elements \[a,b,c\] = \[20,20,20\]$' edge.out || bad "CR LF line"
[ "$(grep -c 'at most 999 printable characters' edge.err)" = 2 ] || { bad "long or NUL line"; cat edge.err; }
[ "$(tail -2 edge.out)" = $'Energy of 0 0 0 : 0.000000 eV\nExit command mode...' ] || { bad "end of input"; tail -3 edge.out; }
: | timeout 60 "$OSTREL" $COS --cmd >eof.out 2>&1 || bad "empty input"
[ "$(tail -1 eof.out)" = "Exit command mode..." ] || bad "empty input does not leave the mode"

# Help: the list names every command, and each has its own page.
commands="vesta|print minima|print saddle|print pathlib|print ion types|print symops|totalgrid|hk|\
diff_neigh|angle|neighbour|energy|energy max|frac|grid|index|distance|network|connect|del|fastgensym|\
gensymf|gensym|gii|bv|charge|isminimum|isdirectpath|export cif|slice plane|restart|end"
{ echo help; IFS='|'; for c in $commands; do echo "help $c"; done; } >help.in
"$OSTREL" --cmd <help.in >help.out 2>help.err
[ -s help.err ] && { bad "help errors"; cat help.err; }
IFS='|'
for c in $commands; do
  grep -q "^"$'[\t ]'"*$c  *- " help.out || bad "help list lacks $c"
done
unset IFS
[ "$(grep -c '^Description' help.out)" -ge 32 ] || bad "help pages"

# The command mode's VESTA file: CR LF throughout.
printf 'vesta\nend\n' >v.in
"$OSTREL" $COS --cmd <v.in >v.out 2>&1
[ "$(head -1 OSTREL.vesta)" = $'#VESTA_FORMAT_VERSION 3.3.0\r' ] || bad "vesta first line"
[ "$(grep -vc $'\r$' OSTREL.vesta)" = 0 ] || bad "vesta lines without CR LF"
grep -qx $'+1.000000E+000 cos.cube\r' OSTREL.vesta || bad "vesta density name"

# Export on Na3PS4: P1, interstitials and saddles, updated labels, a
# supercell; gemmi reads every file.
cp "$BV_SOURCE_DIR/examples/Na3PS4.cif" .
"$VELMORA" --gen-cube Na3PS4.cif Na 1 0 0.2 t t Na3PS4.cube >gen.txt 2>&1 || { cat gen.txt; exit 1; }
cat >ex.in <<'EOF'
export cif P1 -o "p1 file.cif"
export cif ins sad
export cif updatelabel P1 -o label.cif
export cif supercell 2 1 1 -o super.cif
export cif supercell 0 1 1 -o never.cif
end
EOF
"$OSTREL" --cube Na3PS4.cube --cif Na3PS4.cif Na1+ --cmd <ex.in >ex.out 2>ex.err; rc=$?
[ $rc = 0 ] || bad "export status $rc"
[ "$(grep -c '^Finished exporting.$' ex.out)" = 4 ] || { bad "exports"; cat ex.out ex.err; }
grep -qx 'Error: Invalid supercell dimension' ex.err || bad "supercell 0"
[ -e never.cif ] && bad "a rejected supercell wrote its file"
"$PYTHON" - <<'PY' || fail=1
import gemmi
def read(path):
    st = gemmi.read_small_structure(path)
    return st, st.get_all_unit_cell_sites()
problems = []
st, all_ = read("p1 file.cif")
if st.spacegroup_hm.replace(" ", "") != "P1" or len(st.sites) != 16:
    problems.append("P1: %s %d" % (st.spacegroup_hm, len(st.sites)))
ref = gemmi.read_small_structure("Na3PS4.cif")
if sorted(s.label for s in st.sites) != sorted(s.label for s in ref.get_all_unit_cell_sites()):
    problems.append("P1 labels")
st, all_ = read("OSTREL.cif")
labels = {s.label for s in st.sites}
if not {"i1", "s1"} <= labels:
    problems.append("ins/sad labels %s" % labels)
st, all_ = read("label.cif")
na = sorted(s.label for s in st.sites if s.type_symbol.startswith("Na"))
if na != ["Na1"] * 2 + ["Na2"] * 4:
    problems.append("updatelabel %s" % na)
st, all_ = read("super.cif")
if len(st.sites) != 32 or abs(st.cell.a - 2 * 6.952) > 1e-4:
    problems.append("supercell %d %s" % (len(st.sites), st.cell))
print("exports: %s" % ("FAILED: " + "; ".join(problems) if problems else "ok"))
raise SystemExit(1 if problems else 0)
PY

# Random input: commands with random arguments (now and then one dropped,
# one added or the line replaced by raw bytes); each run must end by itself,
# without a crash.
"$PYTHON" - <<'PY'
import random
rnd = random.Random(16)
templates = ["totalgrid", "energy N N N", "energy neighbour N N N", "energy max F", "energy max",
             "frac N N N", "grid F F F", "index N N N", "distance N N N N N N",
             "angle N N N N N N N N N", "neighbour minima N N N K", "neighbour saddle N N N K",
             "isminimum N N N", "isdirectpath N N N N N N", "connect I I I", "connect I",
             "del pathlib I", "del minimum I", "del saddletype I", "restart R", "restart",
             "print minima", "print saddle", "print pathlib", "print ion types", "print symops",
             "bv", "gii", "charge", "vesta", "slice plane A N", "export cif E E E", "network V",
             "network all", "gensymf H H H", "fastgensym G G G", "gensym G G G", "help W",
             "diff_neigh", "hk"]
pick = {
    "N": ["0", "1", "-1", "10", "19", "20", "21", "-20", "999999", "-1000000", "1000001", "x"],
    "F": ["0", "0.05", "0.3", "0.5", "-0.25", "1", "5", "1e308", "-1e308", "nan", "inf", "1e-300"],
    "K": ["1", "2", "5", "0", "-3", "1000", "1001"],
    "I": ["1", "2", "3", "-1", "-2", "0", "4", "-4", "2147483647", "-2147483648"],
    "R": ["cube", "pathlib", "reacpath", "cube pathlib reacpath", "reacpath cube"],
    "A": ["x", "y", "z", "w"],
    "E": ["P1", "ins", "sad", "updatecoor", "updatelabel", "supercell 1 1 2", "supercell 0 0 0",
          "supercell 60 1 1", "-o out.cif", "-o", '"a b.cif"', "-o \"x y.cif\""],
    "W": ["", "del", "connect", "export cif", "energy max", "slice plane", "foo"],
    # Valid arguments only for the commands whose malformed form ends the mode.
    "V": ["0.3", "0.5", "-1", "1e308", "all"],
    "G": ["0", "-1", "21", "-1000000", "1000000"],
    "H": ["0.5", "-0.25", "1e4", "-1e4", "0.3333"],
}
ending = ("network", "gensym", "gensymf", "fastgensym")
for run in range(8):
    with open("fuzz%d.in" % run, "wb") as f:
        for _ in range(150):
            if rnd.random() < 0.05:
                f.write(bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 40))) + b"\n")
                continue
            words = [rnd.choice(pick[w]) if w in pick else w for w in rnd.choice(templates).split()]
            if words[0] not in ending and rnd.random() < 0.1 and len(words) > 1:
                words.pop(rnd.randrange(1, len(words)))
            if words[0] not in ending and rnd.random() < 0.1:
                words.append(rnd.choice(pick["N"]))
            f.write(" ".join(words).encode() + b"\n")
PY
for run in 0 1 2 3 4 5 6 7; do
  timeout 120 "$OSTREL" $COS --path --summary --gui --cmd <fuzz$run.in >fuzz.out 2>fuzz.err; rc=$?
  { [ $rc = 0 ] || [ $rc = 1 ]; } || { bad "random input $run: status $rc"; tail -5 fuzz.err; }
  grep -q 'Sanitizer\|runtime error' fuzz.err && { bad "random input $run: sanitizer"; grep -m3 'Sanitizer\|runtime error' fuzz.err; }
done

[ $fail = 0 ] && echo "ostrel command mode: ok"
exit $fail

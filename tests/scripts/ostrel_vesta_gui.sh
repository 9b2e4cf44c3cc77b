#!/usr/bin/env bash
# OSTREL.vesta and OSTREL_gui.csv on the Na3PS4 landscape (velmora.x at
# 0.2 A): the sections in their order and line ends, the operations read back
# equal to gemmi's operations of the space group (also when the CIF writes
# its translations as decimals), one structure row per site, the isosurface
# levels inside the cube's value range at the activation energies converted
# back to raw energies for every energy scale, and a GUI table that ends
# with the energies --print-act prints.
set -u
: "${OSTREL:?}" "${VELMORA:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}" "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
"$PYTHON" -c 'import gemmi, numpy' 2>/dev/null || { echo "skipped: no gemmi/numpy"; exit 77; }
fail=0
bad() { echo "FAIL: $*"; fail=1; }

cp "$BV_SOURCE_DIR/examples/Na3PS4.cif" .
"$VELMORA" --gen-cube Na3PS4.cif Na 1 0 0.2 t t Na3PS4.cube >gen.txt 2>&1 || { cat gen.txt; exit 1; }
# The same structure with the translations written as decimals.
sed "s|1/2|0.5|g" Na3PS4.cif >decimal.cif

"$OSTREL" --cube Na3PS4.cube --cif Na3PS4.cif Na1+ --path --vesta --gui --print-act >out.txt 2>err.txt
[ $? = 0 ] || { bad "Na3PS4 run"; cat err.txt; }
grep -q 'GUI output done.' out.txt || bad "GUI message"
cp OSTREL.vesta na.vesta
"$OSTREL" --cube Na3PS4.cube --cif decimal.cif Na1+ --path --vesta >/dev/null 2>&1
cp OSTREL.vesta decimal.vesta
"$OSTREL" --cube Na3PS4.cube --cif Na3PS4.cif Na1+ --scale "2*E" --path --vesta --print-act \
  >twice.txt 2>&1
cp OSTREL.vesta twice.vesta

"$PYTHON" - <<'PY' || fail=1
import math, re
import gemmi

problems = []
text = open("na.vesta", "rb").read().decode()
lines = text.split("\n")
# Section keywords: a line opening with a capitalised word of 4 or more.
names = [re.match(r"[A-Z][A-Z0-9_]{3,}", l).group(0) for l in lines
         if re.match(r"[A-Z][A-Z0-9_]{3,}(\s|$)", l)]
expected = ("CRYSTAL TITLE OSTREL IMPORT_DENSITY GROUP SYMOP TRANM LTRANSL LORIENT LMATRIX CELLP "
            "STRUC SHAPE BOUND SBOND SITET VECTR VECTT SPLAN LBLAT LBLSP DLATM DLBND DLPLY PLN2D "
            "ATOMT SCENE HBOND STYLE DISPF MODEL SURFS SECTS FORMS ATOMS BONDS POLYS VECTS FORMP "
            "ATOMP BONDP POLYP ISURF TEX3P SECTP HKLPP UCOLP COMPS LABEL PROJT BKGRC DPTHQ LIGHT0 "
            "LIGHT1 LIGHT2 LIGHT3 ATOMM BONDM POLYM SURFM FORMM HKLPM").split()
if names != expected:
    problems.append("sections %s" % names)
if not lines[0] == "#VESTA_FORMAT_VERSION 3.3.0":
    problems.append("first line")
for crlf in ("LORIENT", "LMATRIX", "LBLAT", "SCENE", "ATOMP", "BONDP", "POLYP", "ISURF"):
    if crlf + "\r" not in lines:
        problems.append("%s does not end in CR LF" % crlf)
if "\\n" in text:
    problems.append("a literal backslash-n")
h = lines.index("HBOND 0 2")
if lines[h + 1] != "" or lines[h + 2] != "STYLE":
    problems.append("HBOND line")
if "+1.000000E+000 Na3PS4.cube" not in lines or "114 1" not in lines:
    problems.append("density or group line")

def symops(path):
    ls = open(path).read().split("\n")
    k = ls.index("SYMOP") + 1
    ops = set()
    while not ls[k].startswith("-1.0 -1.0 -1.0"):
        v = ls[k].split()
        t = [float(x) % 1 for x in v[:3]]
        r = [int(x) for x in v[3:12]]
        ops.add((tuple(r), tuple(round(x * 24) % 24 for x in t)))
        k += 1
    return ops

def gemmi_ops(name):
    out = set()
    for op in gemmi.SpaceGroup(name).operations():
        r = [x // op.DEN for row in op.rot for x in row]
        out.add((tuple(r), tuple((x * 24 // op.DEN) % 24 for x in op.tran)))
    return out

want = gemmi_ops("P -4 21 c")
for f in ("na.vesta", "decimal.vesta"):
    got = symops(f)
    if got != want or len(got) != 8:
        problems.append("%s operations %d, gemmi %d, differ: %s" % (f, len(got), len(want), got ^ want))

k = lines.index("STRUC") + 1
rows = []
while not lines[k].startswith("  0 0 0 0 0 0 0"):
    rows.append(lines[k].split()[:3])
    k += 2
if rows != [["1", "P", "P1"], ["2", "Na", "Na1"], ["3", "Na", "Na2"], ["4", "S", "S1"]]:
    problems.append("structure rows %s" % rows)

cube = [float(l) for l in open("Na3PS4.cube").read().split("\n")[6 + 16:] if l.strip()]
lo, hi = min(cube), max(cube)

def levels(path):
    ls = open(path, newline="").read().split("\n")
    k = ls.index("ISURF\r")
    return [float(ls[k + j].split()[2]) for j in (1, 2, 3)]

def activation(path):
    return [float(l.split(":")[1].split()[0]) for l in open(path) if "activation energy" in l]

def rule(E, t=1):
    E1, E2, E3 = E
    iso3 = E3 if E3 < 1.3 * t else E2 if E2 < 1.3 * t else E1 if E1 < 1.3 * t else 1.3 * t
    d = 0.02 * t
    iso2 = E2 if E2 < iso3 - d else E1 if E1 < iso3 - d else iso3 / 2
    iso1 = E1 if E1 < iso2 - d else (iso2 / 3 if iso2 / 3 < d else d)
    return [iso1, iso2, iso3]

na = levels("na.vesta")
act = activation("out.txt")
want_na = [(e / 0.5695) ** (1 / 0.6946) + 0.01 + lo for e in rule(act)]
if not all(lo < x < hi for x in na) or na != sorted(na):
    problems.append("levels %s outside %s .. %s" % (na, lo, hi))
if any(abs(a - b) > 2e-5 for a, b in zip(na, want_na)):
    problems.append("Na levels %s, expected %s" % (na, want_na))
if any(abs(a - b) > 5e-4 for a, b in zip(na, [-2.1036, -2.0086, -1.8321])):
    problems.append("Na levels %s, about -2.1036 -2.0086 -1.8321 expected" % na)
tw = levels("twice.vesta")
want_tw = [e / 2 + 0.01 + lo for e in rule(activation("twice.txt"))]
if any(abs(a - b) > 2e-5 for a, b in zip(tw, want_tw)):
    problems.append("levels under 2*E %s, expected %s" % (tw, want_tw))
print("VESTA: %d sections, 8 operations, levels %s (2*E: %s) %s"
      % (len(names), na, tw, "FAILED: " + "; ".join(problems) if problems else "ok"))
raise SystemExit(1 if problems else 0)
PY

# The GUI table: six blocks, the last the activation energies of --print-act.
"$PYTHON" - <<'PY' || fail=1
rows = open("OSTREL_gui.csv").read().split("\n")
problems = []
ends = [i for i, r in enumerate(rows) if r == "END"]
if len(ends) != 6 or rows[-1] != "":
    problems.append("%d blocks" % len(ends))
act = [float(l.split(":")[1].split()[0]) for l in open("out.txt") if "activation energy" in l]
last = rows[ends[4] + 1:ends[5]]
want = ["%dD,%.3f eV" % (d + 1, e) for d, e in enumerate(act)]
if last != want:
    problems.append("energies %s, --print-act %s" % (last, want))
types = rows[:ends[0]]
members = rows[ends[0] + 1:ends[1]]
if sum(int(r.split(",")[2]) for r in types) != len(members):
    problems.append("multiplicities of the site types do not add up to the members")
paths = rows[ends[3] + 1:ends[4]]
if not paths or any(len(p.split(",")) != 9 for p in paths):
    problems.append("path rows %s" % paths)
print("GUI table: %d site types, %d paths, %s %s" % (len(types), len(paths), last,
      "FAILED: " + "; ".join(problems) if problems else "ok"))
raise SystemExit(1 if problems else 0)
PY

# Without a structure no GUI table; without a cube an empty density name
# and the levels of a landscape that never percolates.
rm -f OSTREL_gui.csv OSTREL.vesta
"$OSTREL" --cube Na3PS4.cube --path --gui >out.txt 2>&1
[ -e OSTREL_gui.csv ] && bad "GUI table without a structure"
"$OSTREL" --cif Na3PS4.cif --vesta >out.txt 2>&1 || bad "--vesta without a cube"
grep -qx '+1.000000E+000 ' OSTREL.vesta || bad "density name without a cube"
grep -A3 $'^ISURF\r$' OSTREL.vesta | tail -3 | awk '{print $3}' | tr '\n' ' ' | grep -qx '0.030000 0.660000 1.310000 ' \
  || { bad "levels without a cube"; grep -A3 ISURF OSTREL.vesta; }
# An output that cannot be written fails the run.
mkdir -p ro && mkdir ro/OSTREL.vesta && cd ro || exit 1
"$OSTREL" --cif ../Na3PS4.cif --vesta >out.txt 2>err.txt && bad "unwritable OSTREL.vesta: status 0"
grep -qx 'Error: Unable to write to OSTREL.vesta' err.txt || bad "unwritable OSTREL.vesta message"
cd ..

[ $fail = 0 ] && echo "ostrel VESTA file and GUI table: ok"
exit $fail

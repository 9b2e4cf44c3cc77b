#!/usr/bin/env bash
# ostrel's machine-readable outputs end to end on a sheared-cell cosine
# landscape whose minimum, saddles and activation energies are known by hand
# (one minimum at the origin, saddles of 2A, 2B, 2C half way along a, b, c):
# the JSON summary read by Python's json module against the hand values and
# the text outputs (--print-act, OSTREL_summary.txt); the tidy pathway table
# against positions, energies and distances worked out independently (numpy,
# the analytic landscape) and against OSTREL_rp.csv, which must stay byte for
# byte what the analyzer wrote before the tidy table existed; the same on a
# real landscape (LiCoO2, a 2D conductor) against the summary's rows; --output-dir
# keeping two runs in one working directory apart; and the refusals.
set -u
: "${OSTREL:?}" "${VELMORA:?}" "${BV_SCRATCH:?}" "${BV_TEST_DATA_DIR:?}" "${BV_SOURCE_DIR:?}"
: "${PYTHON:=/usr/bin/python3}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }
check_status() { [ "$2" = "$3" ] || bad "$1: status $3, expected $2"; }

# The landscape: E = sum_w w (1 - cos(2 pi q / n)) over the fractional grid
# coordinates, on a cell with all three angles off 90 degrees and a
# different count per axis, so that axis or step mix-ups show.
"$PYTHON" - <<'PY' || exit 1
import math
n = (20, 16, 24)
cell = ((4.0, 0.0, 0.0), (1.2, 3.8, 0.0), (0.5, 0.7, 4.2))
w = (0.11, 0.23, 0.37)
bohr = 1.889725989
with open("shear.cube", "w", newline="") as f:
    f.write("shear\r\nConducting = Li1+ ; sf = 0.700000;\r\n   0    0.000000    0.000000    0.000000\r\n")
    for ax in range(3):
        v = [c / n[ax] * bohr for c in cell[ax]]
        f.write("%4d %11.6f %11.6f %11.6f\r\n" % (n[ax], v[0], v[1], v[2]))
    for i in range(n[0]):
        for j in range(n[1]):
            for k in range(n[2]):
                e = sum(wt * (1 - math.cos(2 * math.pi * q / m)) for wt, q, m in zip(w, (i, j, k), n))
                f.write(" %12.6f\r\n" % e)
def length(v): return math.sqrt(sum(c * c for c in v))
def angle(u, v): return math.degrees(math.acos(sum(a * b for a, b in zip(u, v)) / length(u) / length(v)))
a, b, c = cell
with open("shear.cif", "w") as f:
    f.write("data_shear\n_database_code_ICSD 777\n")
    f.write("_cell_length_a %.6f\n_cell_length_b %.6f\n_cell_length_c %.6f\n" % (length(a), length(b), length(c)))
    f.write("_cell_angle_alpha %.6f\n_cell_angle_beta %.6f\n_cell_angle_gamma %.6f\n" % (angle(b, c), angle(a, c), angle(a, b)))
    f.write("loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n"
            "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
            "_atom_site_fract_y\n_atom_site_fract_z\nLi1 Li1+ 0 0 0\nO1 O2- 0.5 0.5 0.5\n")
PY
CUBE=$PWD/shear.cube CIF=$PWD/shear.cif

# --- JSON summary and tidy table ------------------------------------------
mkdir run && cd run || exit 1
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --summary --print-act --json result.json \
  >out.txt 2>err.txt
check_status "pipeline with --json" 0 $?
[ -s err.txt ] && { bad "pipeline wrote to standard error"; cat err.txt; }
for f in result.json OSTREL_rp.csv OSTREL_rp_tidy.csv OSTREL_summary.txt OSTREL_events.txt; do
  [ -s $f ] || bad "$f missing"
done
# The pathway table keeps its form: byte for byte the analyzer's table of
# this landscape before the tidy table was added.
cmp -s OSTREL_rp.csv "$BV_TEST_DATA_DIR/ostrel/shear_rp.csv" || bad "OSTREL_rp.csv changed"
cmp -s OSTREL_events.txt "$BV_TEST_DATA_DIR/ostrel/shear_events.txt" || bad "OSTREL_events.txt changed"

"$PYTHON" - <<'PY' || bad "JSON summary or tidy table"
import json, math, re, sys
import numpy as np
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)

data = json.load(open("result.json", encoding="utf-8"))
out = open("out.txt").read()
summary = open("OSTREL_summary.txt", newline="").read()

# Activation energies: by hand 2A, 2B, 2C; as --print-act and the summary print them.
hand = {"1D": 0.22, "2D": 0.46, "3D": 0.74}
for d, e in hand.items():
    printed = float(re.search(r"^%s activation energy: (\S+) eV" % d, out, re.M).group(1))
    filed = float(re.search(r"^%s activation energy: (\S+) eV" % d, summary, re.M).group(1))
    thr = float(re.search(r"^%s threshold from the global minimum: (\S+) eV" % d, out, re.M).group(1))
    got, got_thr = data["activation_energies"][d], data["thresholds_from_global_minimum"][d]
    check(abs(got - e) < 1e-6, "%s energy %r, by hand %g" % (d, got, e))
    check(abs(got - printed) <= 5e-7 and abs(got - filed) <= 5e-7, "%s energy %r vs printed %r" % (d, got, printed))
    check(abs(got_thr - thr) <= 5e-7, "%s threshold %r vs printed %r" % (d, got_thr, thr))
check(data["directions"] == "1D [1,0,0]; 2D (0,0,1); 3D", "directions %r" % data["directions"])
perc = {p["dimension"]: p for p in data["percolation"]}
check(perc[1]["vectors"] == [[1, 0, 0]] and perc[2]["plane"] == [0, 0, 1] and perc[3]["plane"] is None,
      "percolation records %r" % data["percolation"])
check(data["program"] == "ostrel" and re.fullmatch(r"\d+\.\d+", data["version"]), "program/version")
check(data["input"]["mobile_ion"] == "Li1+" and data["input"]["energy_scale"] == "E", "input %r" % data["input"])
check(data["grid"]["counts"] == [20, 16, 24], "grid %r" % data["grid"])
cell = np.array([[4.0, 0, 0], [1.2, 3.8, 0], [0.5, 0.7, 4.2]])
# The cube stores the steps to 6 decimals in bohr: the cell within 1e-5 A.
check(np.allclose(np.array(data["grid"]["cell_vectors"]), cell, atol=1e-5), "cell vectors")

# Counts and types as the summary prints them.
total_min = int(re.search(r"Total local minima in unit cell: (\d+)", summary).group(1))
total_sad = int(re.search(r"Total local saddle in unit cell: (\d+)", summary).group(1))
c = data["counts"]
check(c["sites"] == total_min == len(data["sites"]) == 1, "site count %r" % c)
check(c["saddles"] == total_sad == len(data["saddles"]) == 3, "saddle count %r" % c)
for label, e in re.findall(r"Minima type: (\S+) \(Energy: (\S+) eV\)", summary):
    t = [s for s in data["site_types"] if s["label"] == label]
    check(len(t) == 1 and abs(t[0]["energy"] - float(e)) <= 5e-7, "site type %s" % label)
sad_printed = dict(re.findall(r"Saddle type: (s\d+) \(Energy: (\S+) eV\)", summary))

# The site: at the origin, energy 0, labelled by the Li site.
s = data["sites"][0]
check(s["label"] == "Li1" and abs(s["energy"]) < 1e-9 and s["multiplicity"] == 1, "site %r" % s)
check(np.allclose(s["fractional"], 0) and np.allclose(s["cartesian"], 0), "site position %r" % s)
check(s["ions"] == [{"label": "Li1", "occupancy": 1}], "site ions %r" % s["ions"])
# Saddles: half way along each axis, energies 2w; Cartesian = fractional . cell.
want = {0.22: [0.5, 0, 0], 0.46: [0, 0.5, 0], 0.74: [0, 0, 0.5]}
for sd in data["saddles"]:
    e = min(want, key=lambda k: abs(k - sd["energy"]))
    check(abs(sd["energy"] - e) < 1e-6, "saddle energy %r" % sd["energy"])
    check(np.allclose(sd["fractional"], want[e]), "saddle %s at %r" % (sd["label"], sd["fractional"]))
    check(np.allclose(sd["cartesian"], np.array(want[e]) @ cell, atol=1e-5), "saddle %s Cartesian" % sd["label"])
    check(abs(float(sad_printed[sd["label"]]) - sd["energy"]) <= 5e-7, "saddle %s vs summary" % sd["label"])
# Hops: from the site to its own image one cell on, over each saddle.
images = sorted(tuple(abs(v) for v in h["image"]) for h in data["hops"])
check(images == [(0, 0, 1), (0, 1, 0), (1, 0, 0)], "hop images %r" % images)
for h in data["hops"]:
    axis = [abs(v) for v in h["image"]].index(1)
    check(h["from_label"] == h["to_label"] == "Li1", "hop labels %r" % h)
    check(abs(h["barrier"] - 2 * (0.11, 0.23, 0.37)[axis]) < 1e-6, "hop barrier %r" % h)
    # the grid path is at least the straight line, the cell edge
    edge = np.linalg.norm(cell[axis])
    check(abs(h["straight_length"] - edge) < 1e-4 and h["length"] >= edge - 1e-4, "hop length %r" % h)

# --- tidy table -------------------------------------------------------------
lines = open("OSTREL_rp_tidy.csv").read().splitlines()
check(lines[0] == "pathway,hop,point,x_A,y_A,z_A,energy_eV,distance_A,label", "tidy header %r" % lines[0])
rows = [l.split(",") for l in lines[1:]]
check(len(rows) > 0 and all(len(r) == 9 for r in rows), "tidy rows")
n = np.array([20, 16, 24])
inv = np.linalg.inv(cell)
hops = {}
for r in rows:
    hops.setdefault((int(r[0]), int(r[1])), []).append(r)
for key, pts in hops.items():
    xyz = np.array([[float(v) for v in r[3:6]] for r in pts])
    dist = np.array([float(r[7]) for r in pts])
    check([int(r[2]) for r in pts] == list(range(1, len(pts) + 1)), "%r: points not numbered 1.." % (key,))
    # independent distances: cumulative Euclidean steps from 0
    steps = np.linalg.norm(np.diff(xyz, axis=0), axis=1)
    check(np.allclose(dist, np.concatenate([[0], np.cumsum(steps)]), atol=2e-6), "%r: distances" % (key,))
    # every point is a grid point; its energy is the analytic landscape's
    g = xyz @ inv * n
    check(np.allclose(g, np.round(g), atol=1e-4), "%r: off-grid point" % (key,))
    e_hand = [sum(w * (1 - math.cos(2 * math.pi * q / m)) for w, q, m in zip((0.11, 0.23, 0.37), gi, n))
              for gi in np.round(g)]
    check(np.allclose([float(r[6]) for r in pts], e_hand, atol=2e-6), "%r: energies" % (key,))
    check(pts[0][8] == "Li1" and pts[-1][8] == "Li1", "%r: hop does not run site to site" % (key,))
    check(sum(1 for r in pts if r[8].startswith("s")) == 1, "%r: one saddle per hop" % (key,))
    # the hop's length along the grid path is the library's length of a hop
    check(any(abs(dist[-1] - h["length"]) < 1e-5 for h in data["hops"]), "%r: length %g" % (key, dist[-1]))
# Same points in the same order as OSTREL_rp.csv (whose joints are listed
# once), with the same energies and the same steps along the path.
rp = [l.split(",") for l in open("OSTREL_rp.csv").read().splitlines() if l not in ("NEXT", "END")]
tidy_seq = []
for key in sorted(hops):
    pts = hops[key]
    if tidy_seq and tidy_seq[-1][0] == key[0] and key[1] > 1:
        pts = pts[1:]  # the joint, already listed as the end of the hop before
    tidy_seq += [(key[0], r) for r in pts]
check(len(tidy_seq) == len(rp), "tidy %d points, OSTREL_rp.csv %d" % (len(tidy_seq), len(rp)))
check(all(abs(float(a[1][6]) - float(b[1])) <= 1e-6 for a, b in zip(tidy_seq, rp)), "energies differ from OSTREL_rp.csv")
if problems:
    print("\n".join(problems))
    sys.exit(1)
PY

# --- a real landscape: every site and saddle against the summary's rows -----
mkdir lco && cd lco || exit 1
"$VELMORA" --gen-cube "$BV_SOURCE_DIR/examples/LiCoO2.cif" Li 1 0 0.3 t t LiCoO2.cube >v.txt 2>&1 \
  || { bad "velmora.x --gen-cube LiCoO2"; cat v.txt; }
"$OSTREL" --cube LiCoO2.cube --cif "$BV_SOURCE_DIR/examples/LiCoO2.cif" Li1+ --path --summary \
  --print-act --json lco.json >out.txt 2>err.txt
check_status "LiCoO2 with --json" 0 $?
"$PYTHON" - <<'PY' || bad "LiCoO2 JSON against the text outputs"
import json, re, sys
import numpy as np
d = json.load(open("lco.json", encoding="utf-8"))
out = open("out.txt").read()
summary = open("OSTREL_summary.txt", newline="").read()
problems = []
for dim in ("1D", "2D", "3D"):
    t = float(re.search(r"^%s activation energy: (\S+) eV" % dim, out, re.M).group(1))
    j = d["activation_energies"][dim]
    if (j is None) != (t == 999) or (j is not None and abs(j - t) > 5e-7):
        problems.append("%s: JSON %r, printed %r" % (dim, j, t))
if d["activation_energies"]["3D"] is not None or "3D" in d["directions"]:
    problems.append("a layered conductor percolates in 3D: %r" % d["directions"])
minima, saddles = summary.split("Summary of energy saddle point")[:2]
saddles = saddles.split("Summary of minimum energy paths")[0]
num = r"\s+(-?[\d.]+)"
rows = {int(m[0]): m[1:] for m in re.findall(r"^\s+(\d+)" + num * 9, minima, re.M)}
srows = {int(m[0]): m[1:] for m in re.findall(r"^\s+(\d+)" + num * 12, saddles, re.M)}
if len(rows) != len(d["sites"]) or len(srows) != len(d["saddles"]) or not rows or not srows:
    problems.append("%d/%d sites, %d/%d saddles" % (len(d["sites"]), len(rows), len(d["saddles"]), len(srows)))
cell = np.array(d["grid"]["cell_vectors"])
for kind, items, table, frac_col in (("site", d["sites"], rows, 6), ("saddle", d["saddles"], srows, 9)):
    for s in items:
        r = table.get(s["index"])
        if r is None:
            problems.append("%s %d not in the summary" % (kind, s["index"]))
            continue
        if [int(v) for v in r[:3]] != s["grid"]:
            problems.append("%s %d grid %r vs %r" % (kind, s["index"], s["grid"], r[:3]))
        if not np.allclose(s["fractional"], [float(v) for v in r[frac_col:frac_col + 3]], atol=5e-4):
            problems.append("%s %d fractional %r vs %r" % (kind, s["index"], s["fractional"], r))
        if not np.allclose(s["cartesian"], np.array(s["fractional"]) @ cell, atol=1e-6):
            problems.append("%s %d Cartesian" % (kind, s["index"]))
types = dict(re.findall(r"Minima type: (\S+) \(Energy: (\S+) eV\)", summary))
for t in d["site_types"]:
    if abs(float(types[t["label"]]) - t["energy"]) > 5e-7:
        problems.append("site type %s energy" % t["label"])
    members = [s for s in d["sites"] if s["type"] == t["type"]]
    if len(members) != t["multiplicity"] or any(abs(s["energy"] - t["energy"]) > 1e-9 for s in members):
        problems.append("site type %s: %d members, multiplicity %d" % (t["label"], len(members), t["multiplicity"]))
stypes = dict(re.findall(r"Saddle type: (s\d+) \(Energy: (\S+) eV\)", summary))
for s in d["saddles"]:
    if abs(float(stypes[s["label"]]) - s["energy"]) > 5e-7:
        problems.append("saddle %s energy" % s["label"])
paths = re.findall(r"> Path (\d+) : (\S+) \((\S+) eV\) to (\S+) \((\S+) eV\) via (s\d+) \((\S+) eV\)", summary)
if len(paths) != len(d["hops"]):
    problems.append("%d hops, summary %d paths" % (len(d["hops"]), len(paths)))
for (n, a, ea, b, eb, sd, es), h in zip(paths, d["hops"]):
    got = (h["from_label"], h["to_label"], h["saddle_label"])
    if got != (a, b, sd) or abs(h["saddle_energy"] - float(es)) > 5e-4 or \
            abs(h["barrier"] - (float(es) - min(float(ea), float(eb)))) > 1e-3:
        problems.append("hop %s: %r vs %r" % (n, h, (a, ea, b, eb, sd, es)))
# Tidy table: distances from the positions, the points of OSTREL_rp.csv.
tidy = [l.split(",") for l in open("OSTREL_rp_tidy.csv").read().splitlines()[1:]]
rp = [l.split(",") for l in open("OSTREL_rp.csv").read().splitlines() if l not in ("NEXT", "END")]
seq, last = [], None
for r in tidy:
    key = (r[0], r[1])
    xyz = np.array([float(v) for v in r[3:6]])
    if last is not None and key != last[0]:
        start = xyz
    if last is None or key != last[0]:
        travelled, prev = 0.0, xyz
        if last is not None and key[0] == last[0][0] and np.allclose(xyz, last[1]):
            last = (key, xyz)
            if abs(float(r[7])) > 1e-9:
                problems.append("hop %r does not start at 0" % (key,))
            continue  # the joint, listed before as the end of the hop before
    travelled += float(np.linalg.norm(xyz - prev))
    prev = xyz
    if abs(travelled - float(r[7])) > 2e-5:
        problems.append("hop %r point %s: distance %s, from positions %.6f" % (key, r[2], r[7], travelled))
    seq.append(r)
    last = (key, xyz)
if len(seq) != len(rp) or any(abs(float(a[6]) - float(b[1])) > 1e-6 for a, b in zip(seq, rp)):
    problems.append("tidy table: %d points, OSTREL_rp.csv %d, or energies differ" % (len(seq), len(rp)))
if problems:
    print("\n".join(problems[:20]))
    sys.exit(1)
PY
cd .. || exit 1

# --- file names that need escaping, the scale in the JSON ---------------------
weird=$'we"ird\\tab\tn\xe9.cif'
cp "$CIF" "$weird"
"$OSTREL" --cube "$CUBE" --cif "$weird" Li --scale '2*E' --path --json w.json >/dev/null 2>&1
check_status "odd file name" 0 $?
"$PYTHON" - "$weird" <<'PY' || bad "escaped JSON strings"
import json, os, sys
d = json.load(open("w.json", encoding="utf-8"))
name = os.fsencode(sys.argv[1]).decode("latin-1")
assert d["input"]["cif"] == name, (d["input"]["cif"], name)
assert d["input"]["energy_scale"] == "2*E", d["input"]
assert abs(d["activation_energies"]["1D"] - 0.44) < 1e-6, d["activation_energies"]
PY

# --- refusals --------------------------------------------------------------
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --json x.json >o.txt 2>e.txt
check_status "--json without --path" 1 $?
grep -qx 'Error: --json needs --path' e.txt || bad "--json without --path: $(cat e.txt)"
[ -e x.json ] && bad "--json without --path wrote a file"
mkdir taken.json
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --json taken.json >o.txt 2>e.txt
check_status "--json onto a directory" 1 $?
grep -q 'Unable to write to taken.json' e.txt || bad "--json onto a directory: $(cat e.txt)"
"$OSTREL" --cube "$CUBE" --json >o.txt 2>e.txt
check_status "--json without its file" 1 $?
cd .. || exit 1

# --- --output-dir --------------------------------------------------------------
mkdir two && cd two || exit 1
# Two runs in one working directory, with different energy scales so that
# their files differ, each writing every fixed-name file it can.
for s in 1 2; do
  "$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --scale "$s*E" --path --summary --vesta --gui --cmd \
    --json run$s.json --output-dir "out$s/sub" >o$s.txt 2>e$s.txt <<'CMD'
connect 1 2
slice plane z 0
export cif
end
CMD
  check_status "run $s with --output-dir" 0 $?
done
ls OSTREL* plane.csv 2>/dev/null && bad "fixed-name files left in the working directory"
for f in OSTREL_summary.txt OSTREL_events.txt OSTREL_rp.csv OSTREL_rp_tidy.csv OSTREL.vesta \
    OSTREL_gui.csv OSTREL_rp_manual.csv plane.csv OSTREL.cif; do
  [ -s out1/sub/$f ] && [ -s out2/sub/$f ] || bad "$f not in both output directories"
done
cmp -s out1/sub/OSTREL_summary.txt out2/sub/OSTREL_summary.txt && bad "the two runs wrote the same summary"
grep -q '^1D activation energy: 0.220000 eV' out1/sub/OSTREL_summary.txt || bad "run 1 summary overwritten"
grep -q '^1D activation energy: 0.440000 eV' out2/sub/OSTREL_summary.txt || bad "run 2 summary overwritten"
[ -s run1.json ] && [ -s run2.json ] || bad "--json FILE is relative to the working directory"
"$OSTREL" --cube "$CUBE" --cif "$CIF" Li1+ --path --summary --output-dir run1.json >o.txt 2>e.txt
check_status "--output-dir onto a file" 1 $?
grep -q 'exists and is not a directory' e.txt || bad "--output-dir onto a file: $(cat e.txt)"
grep -q 'activation energy' o.txt && bad "--output-dir onto a file ran the analysis"
cd .. || exit 1

# --- the search window -----------------------------------------------------------
# The same cell with steep b and c: 1D at 0.22, 2D at 4.6 and 3D at 7.4 eV by
# hand, so the default window of 5 eV holds 1D and 2D only.  3D is "above the
# window" (the landscape reaches 12.22 eV), not "none"; with --max 20 the
# window holds the whole landscape and 3D is found.  A cube without its
# structure has no sites, so nothing percolates at any energy: "none".
mkdir window && cd window || exit 1
sed -n '1,6p' "$CUBE" >steep.cube
"$PYTHON" - <<'PY' >>steep.cube || exit 1
import math, sys
n, w = (20, 16, 24), (0.11, 2.3, 3.7)
for i in range(n[0]):
    for j in range(n[1]):
        for k in range(n[2]):
            e = sum(wt * (1 - math.cos(2 * math.pi * q / m)) for wt, q, m in zip(w, (i, j, k), n))
            sys.stdout.write(" %12.6f\r\n" % e)
PY
"$OSTREL" --cube steep.cube --cif "$CIF" Li1+ --path --json default.json >o.txt 2>e.txt
check_status "steep landscape" 0 $?
"$OSTREL" --cube steep.cube --cif "$CIF" Li1+ --path --max 20 --json wide.json >o.txt 2>e.txt
check_status "steep landscape, --max 20" 0 $?
"$OSTREL" --cube "$CUBE" --path --json nosites.json >o.txt 2>e.txt
check_status "cube without structure" 0 $?
"$PYTHON" - <<'PY' || bad "window and percolation status in the JSON summary"
import json, sys
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)
d, w, n = (json.load(open(f)) for f in ("default.json", "wide.json", "nosites.json"))
for doc in (d, w, n):
    check(doc["schema_version"] == 2 and doc["units"]["length"] == "A"
          and doc["units"]["energy"].startswith("eV"), "schema and units %r" % doc.get("units"))
check(abs(d["window"]["max_energy"] - 5) < 1e-9 and not d["window"]["covers_landscape"]
      and abs(d["window"]["landscape_max_energy"] - 12.22) < 1e-3, "default window %r" % d["window"])
check(d["percolation_status"] == {"1D": "percolates", "2D": "percolates", "3D": "above the window"},
      "default status %r" % d["percolation_status"])
check(d["activation_energies"]["3D"] is None and abs(d["activation_energies"]["2D"] - 4.6) < 1e-6,
      "default energies %r" % d["activation_energies"])
check(abs(w["window"]["max_energy"] - 20) < 1e-9 and w["window"]["covers_landscape"], "wide window %r" % w["window"])
check(w["percolation_status"]["3D"] == "percolates" and abs(w["activation_energies"]["3D"] - 7.4) < 1e-6,
      "wide 3D %r %r" % (w["percolation_status"], w["activation_energies"]))
check(n["window"]["covers_landscape"] and
      n["percolation_status"] == {"1D": "none", "2D": "none", "3D": "none"}, "no sites %r" % n["percolation_status"])
for p in problems:
    print("FAIL:", p)
sys.exit(1 if problems else 0)
PY
cd .. || exit 1

exit $fail

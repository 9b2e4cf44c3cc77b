#!/usr/bin/env bash
# The JSON summaries of --cal-bv and --gen-cube (--json FILE) against what
# the same runs print and write: every site's sum and the GII as --cal-bv
# prints them, the screening factor and grid as the cube's header holds
# them, the energy range of the cube's values, the seed given and whether it
# was used (Li3N with a site shared by Li and Cu: the resolved supercell and
# its CIF), the
# composition; and the refusals (a command without a summary, no file name,
# an output name that is no regular file: nothing computed).
. "$(dirname "$0")/lib/velmora_checks.sh"
cp "$DATA/cif/Li2O.cif" .
# Li3N with its 1b site shared half by Li and half by Cu: the landscape is
# computed on a supercell with the shared site resolved at random.
{ echo "data_x"; echo "_cell_length_a 3.648"; echo "_cell_length_b 3.648"; echo "_cell_length_c 3.875"
  echo "_cell_angle_alpha 90"; echo "_cell_angle_beta 90"; echo "_cell_angle_gamma 120"
  echo "_space_group_IT_number 191"; echo "loop_"; echo "_atom_site_label"; echo "_atom_site_type_symbol"
  echo "_atom_site_fract_x"; echo "_atom_site_fract_y"; echo "_atom_site_fract_z"; echo "_atom_site_occupancy"
  echo "N1 N3- 0 0 0 1"; echo "Li1 Li1+ 0 0 0.5 0.5"; echo "Cu1 Cu1+ 0 0 0.5 0.5"
  echo "Li2 Li1+ 0.333333 0.666667 0 1"; } >half.cif

run bv 0 --cal-bv Li2O.cif --json bv.json
run cube 0 --gen-cube Li2O.cif Li 1 0 0.4 t t li2o.cube --json cube.json --seed 7
run half 0 --gen-cube half.cif Li 1 0.7 0.6 t t half.cube --seed 11 --json half.json
"$PY" - <<'PYEOF' || fail "JSON summaries"
import json, re
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)
bv, cube, half = (json.load(open(f)) for f in ("bv.json", "cube.json", "half.json"))
out = open("bv.out").read()
for doc, command in ((bv, "--cal-bv"), (cube, "--gen-cube"), (half, "--gen-cube")):
    check(doc["program"] == "velmora.x" and doc["command"] == command and doc["schema_version"] == 1
          and re.fullmatch(r"\d+\.\d+", doc["version"]), "header %r" % {k: doc[k] for k in ("program", "command")})
# every site as the per-site table prints it, and the GII
printed = [l.split() for l in out.splitlines()
           if l.startswith("BV: ") and len(l.split()) == 5 and l.split()[1] != "name"]
check(len(printed) == len(bv["sites"]) == 2, "sites %r" % bv["sites"])
for p, s in zip(printed, bv["sites"]):
    check(p[1] == s["label"] and p[2] == s["species"] and abs(float(p[3]) - s["occupancy"]) < 5e-4
          and abs(float(p[4]) - s["bv_sum"]) < 5e-7, "site %r vs printed %r" % (s, p))
gii = float(re.search(r"^GII: Global instability index = (\S+)", out, re.M).group(1))
check(abs(bv["gii"] - gii) < 5e-7 and bv["gii_verdict"] in ("stable", "average"), "gii %r" % bv["gii"])
check({s["label"]: s["multiplicity"] for s in bv["sites"]} == {"Li1": 8, "O1": 4}, "multiplicities")
check(bv["composition"] == {"Li1+": 8, "O2-": 4} and bv["atoms"] == 12, "composition %r" % bv["composition"])
check(not bv["random_numbers_drawn"], "--cal-bv drew random numbers")
# the landscape: header and values of the cube written
lines = open("li2o.cube").read().splitlines()
sf = float(re.search(r"sf = (\S+);", lines[1]).group(1))
counts = [int(lines[3 + a].split()[0]) for a in range(3)]
natoms = int(lines[2].split()[0])
values = [float(v) for v in lines[6 + natoms:]]
check(abs(cube["screening_factor"] - sf) < 5e-7 and cube["screening_factor_searched"], "sf %r" % cube["screening_factor"])
check(cube["grid"] == counts and len(values) == counts[0] * counts[1] * counts[2], "grid %r" % cube["grid"])
check(abs(cube["energy_min"] - min(values)) < 5e-7 and abs(cube["energy_max"] - max(values)) < 5e-7,
      "energy range %r %r" % (cube["energy_min"], cube["energy_max"]))
step = [float(x) / 1.889725989 for x in lines[3].split()[1:]]
check(all(abs(a - b) < 1e-5 for a, b in zip(cube["voxel_steps"][0], step)), "steps %r" % cube["voxel_steps"])
check(cube["seed"] == 7 and not cube["random_numbers_drawn"] and cube["resolved_supercell"] is None,
      "ordered structure: seed %r drawn %r" % (cube["seed"], cube["random_numbers_drawn"]))
check(cube["conducting"] == "Li1+" and cube["conducting_in_structure"] and cube["cube"] == "li2o.cube",
      "conducting %r" % cube["conducting"])
# partly occupied Li sites: resolved at random in a supercell with seed 11
r = half["resolved_supercell"]
check(half["seed"] == 11 and half["random_numbers_drawn"], "half: seed %r drawn %r" % (half["seed"], half["random_numbers_drawn"]))
check(r is not None and r["cif"] == "half_assigned.cif" and all(n >= 1 for n in r["cells"])
      and r["cells"][0] * r["cells"][1] * r["cells"][2] > 1, "supercell %r" % r)
check(abs(half["screening_factor"] - 0.7) < 1e-12 and not half["screening_factor_searched"], "given sf")
check(half["composition"] == {"Li1+": 2.5, "Cu1+": 0.5, "N3-": 1}, "half composition %r" % half["composition"])
for p in problems:
    print("FAIL:", p)
raise SystemExit(1 if problems else 0)
PYEOF
[ -s half_assigned.cif ] || fail "no resolved structure"
has half.out "Message: random seed = 11"

# Refusals: nothing is computed or written.
run nojson 2 --cal-gii Li2O.cif --json x.json
has nojson.err "--cal-gii writes no JSON summary"
run nofile 2 --cal-bv Li2O.cif --json
has nofile.err "Error: --json needs a file name."
run twice 2 --cal-bv Li2O.cif --json a.json --json b.json
mkdir taken.json
run taken 1 --gen-cube Li2O.cif Li 1 0 0.4 t t taken.cube --json taken.json
[ -e taken.cube ] && fail "a cube was computed though its JSON name was refused"
[ -e x.json ] || [ -e a.json ] || [ -e b.json ] && fail "a refused run wrote a JSON file"
finish

#!/usr/bin/env bash
# The row of a structure as a plain function of the programs' JSON
# summaries (bvscreen_lib.rows.build_row), on hand-made summaries whose
# statistics are worked out by hand: mean, range and sample standard
# deviation over three draws, a dimension that percolates in some draws
# only, "above the window" against "none", the formula from the composition
# when the CIF has none, and the warnings and status a row gets (oxidation
# states left to defaults, GII ranges, the ion absent, a failure's message).
set -u
: "${BV_BIN_DIR:?}"
PY=${PYTHON:-/usr/bin/python3}
"$PY" - "$BV_BIN_DIR" <<'PYEOF'
import math, sys
sys.path.insert(0, sys.argv[1])
from bvscreen_lib.rows import build_row, percolation_text, mean_min_max_sd, formula_from_composition
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)

def analysis(th, ea, status=None, window=5.0):
    names = ("1D", "2D", "3D")
    doc = {"thresholds_from_global_minimum": dict(zip(names, th)),
           "activation_energies": dict(zip(names, ea)),
           "window": {"max_energy": window}, "input": {"energy_scale": "E"},
           "counts": {"sites": 4, "saddles": 6}, "directions": "1D [0,0,1]",
           "version": "3.0", "revision": "abc"}
    if status:
        doc["percolation_status"] = dict(zip(names, status))
    return doc

def draw(seed, th, ea, status=None):
    return {"seed": seed, "cube": {"screening_factor": 0.7 + 0.01 * seed, "grid": [24, 24, 48],
                                   "random_numbers_drawn": True, "version": "3.0", "revision": "abc"},
            "analysis": analysis(th, ea, status), "workdir": "draw-%d" % seed}

bv = {"version": "3.0", "revision": "abc", "gii": 0.12, "gii_verdict": "stable",
      "composition": {"Li1+": 8, "O2-": 4},
      "sites": [{"label": "Li1", "species": "Li1+", "occupancy": 1, "multiplicity": 8, "bv_sum": 0.9},
                {"label": "O1", "species": "O2-", "occupancy": 1, "multiplicity": 4, "bv_sum": -1.8}]}
structure = {"id": "cod:1", "file": "/x/1.cif", "key": "1-abc", "workdir": "work/1-abc/Li1+",
             "info": {"formula": None, "space_group": "F m -3 m", "uncharged_elements": []}}
settings = {"resolution": 0.2, "seed": 1, "draws": 3}
prov = {"bvscreen_version": "3.0 revision abc", "date": "2030-01-01T00:00:00Z"}

# Three draws: 1D thresholds 0.2, 0.3, 0.4 -> mean 0.3, sd 0.1; 3D percolates in two draws only.
draws = [draw(1, (0.2, 0.5, 1.0), (0.1, 0.5, 1.0), ("percolates",) * 3),
         draw(2, (0.3, 0.6, None), (0.3, 0.6, None), ("percolates", "percolates", "above the window")),
         draw(3, (0.4, 0.7, 2.0), (0.2, 0.7, 2.0), ("percolates",) * 3)]
r = build_row(structure, "Li1+", settings, prov, bv=bv, draws=draws)
check((r["threshold_1d_eV"], r["threshold_1d_eV_min"], r["threshold_1d_eV_max"]) == (0.3, 0.2, 0.4),
      "1D threshold stats %r" % [r[k] for k in ("threshold_1d_eV", "threshold_1d_eV_min", "threshold_1d_eV_max")])
check(abs(r["threshold_1d_eV_sd"] - 0.1) < 1e-9, "1D sd %r" % r["threshold_1d_eV_sd"])
check(abs(r["ea_1d_eV"] - 0.2) < 1e-9 and abs(r["ea_1d_eV_sd"] - 0.1) < 1e-9, "1D Ea %r %r" % (r["ea_1d_eV"], r["ea_1d_eV_sd"]))
check(r["threshold_3d_eV"] == 1.5 and abs(r["threshold_3d_eV_sd"] - math.sqrt(0.5)) < 1e-6,
      "3D over the two draws that percolate: %r %r" % (r["threshold_3d_eV"], r["threshold_3d_eV_sd"]))
check(r["percolation_1d"] == "yes" and r["percolation_3d"] == "yes in 2 of 3 draws", "percolation %r %r"
      % (r["percolation_1d"], r["percolation_3d"]))
check(r["draws"] == 3 and r["seeds"] == [1, 2, 3] and r["random"], "draws %r" % r["seeds"])
check(abs(r["screening_factor"] - 0.72) < 1e-9, "mean screening factor %r" % r["screening_factor"])
check(r["formula"] == "Li2O" and r["status"] == "ok" and r["warnings"] == [], "formula/status %r %r %r"
      % (r["formula"], r["status"], r["warnings"]))
check(r["velmora_version"] == "3.0 revision abc" and r["ostrel_version"] == "3.0 revision abc"
      and r["window_eV"] == 5.0 and r["grid"] == "24x24x48", "provenance %r" % r)

# Above the window, or nothing at any energy
check(percolation_text(["above the window", "above the window"]) == "above the window", "above")
check(percolation_text(["none"]) == "none", "none")
check(percolation_text(["none", "above the window"]) == "above the window", "mixed none/above")
check(mean_min_max_sd([None, None]) == (None, None, None, None), "no values")
check(mean_min_max_sd([0.5]) == (0.5, 0.5, 0.5, 0.0), "one value")
check(formula_from_composition({"Li1+": 2.5, "Cu1+": 0.5, "N3-": 1}) == "Li2.5Cu0.5N", "fractional formula")
check(formula_from_composition({"Co3+": 3, "Li1+": 3, "O2-": 6}) == "CoLiO2", "reduced formula")

# Warnings and status
info = dict(structure["info"], uncharged_elements=["Li", "O"], formula="Li2O")
r = build_row(dict(structure, info=info), "Li1+", settings, prov, bv=bv, draws=draws[:1])
check(r["status"] == "ok" and any("gives no oxidation state for Li, O" in w and "(Li1+, O2-)" in w
                                  for w in r["warnings"]), "defaults warning %r" % r["warnings"])
for gii, status, text in ((0.45, "ok", "GII 0.450 is high"), (1.7, "suspect", "GII 1.7 is unreasonable"),
                          (float("nan"), "suspect", "is unreasonable")):
    r = build_row(structure, "Li1+", settings, prov, bv=dict(bv, gii=gii), draws=draws[:1],
                  program_warnings=["Warning: the global instability index 1.7 is unreasonable",
                                    "Warning: from ostrel"])
    check(r["status"] == status and any(text in w for w in r["warnings"]) and "Warning: from ostrel" in r["warnings"]
          and not any(w.startswith("Warning: the global instability") for w in r["warnings"]),
          "GII %r: %r %r" % (gii, r["status"], r["warnings"]))
    check((r["message"] != "") == (status == "suspect"), "GII %r message %r" % (gii, r["message"]))
na = dict(bv, sites=[s for s in bv["sites"] if s["species"] != "Li1+"])
r = build_row(structure, "Li1+", dict(settings, all_structures=True), prov, bv=na, draws=draws[:1])
check(r["status"] == "suspect" and r["message"].startswith("Warning: no Li1+ in the structure"), "ion absent %r" % r["message"])
r = build_row(structure, "Li1+", settings, prov, bv=bv, draws=[],
              outcome={"status": "failed", "message": "Error: x", "step": "ostrel"})
check(r["status"] == "failed" and r["message"] == "Error: x" and r["failed_step"] == "ostrel"
      and r["draws"] == 0 and r["threshold_1d_eV"] is None and r["percolation_1d"] is None, "failed row %r" % r)
for p in problems:
    print("FAIL:", p)
sys.exit(1 if problems else 0)
PYEOF

"""The row of one structure and mobile ion, built from the programs' JSON
summaries alone: velmora.x --cal-bv --json (bond-valence sums, GII),
velmora.x --gen-cube --json and ostrel --json, once per draw (an
independent resolution of the partly occupied sites).  Energies are in eV:
the threshold of each dimension measured from the landscape's global
minimum (what a flood fill of the landscape gives, and what decides whether
ions in the deepest sites conduct), the activation energy measured from the
lowest site of the percolating cluster, each as the mean, minimum, maximum
and standard deviation over the draws."""
import math
import re

# Raised when a key of the row changes meaning or goes away.
SCHEMA_VERSION = 2

DIMENSIONS = ("1d", "2d", "3d")
ENERGIES = ["threshold_%s_eV" % d for d in DIMENSIONS] + ["ea_%s_eV" % d for d in DIMENSIONS]
STATISTICS = ("min", "max", "sd")

# Columns of results.csv, in order; results.jsonl rows hold the same keys
# and more (per-draw results, bond-valence sums of every site, files).
COLUMNS = (["id", "formula", "space_group", "ion", "status", "message"] + ENERGIES +
           ["percolation_%s" % d for d in DIMENSIONS] +
           ["directions", "gii", "screening_factor", "draws", "seed"] +
           ["%s_%s" % (e, s) for e in ENERGIES for s in STATISTICS] +
           ["sites", "saddles", "grid", "resolution_A", "window_eV", "energy_scale",
            "warnings", "seconds", "date", "bvscreen_version", "velmora_version",
            "ostrel_version", "schema_version", "file"])

UNITS = dict({e: "eV" for e in ENERGIES},
             **{"%s_%s" % (e, s): "eV" for e in ENERGIES for s in STATISTICS},
             gii="valence units", screening_factor="1", resolution_A="A", window_eV="eV",
             seconds="s", date="UTC, ISO 8601")

# The programs' warnings that the row states in its own words.
RESTATED = ("Warning: the global instability index", "Warning: every bond-valence sum is zero")

# GII at and above which bond valences describe no real structure; between
# 0.3 and it velmora.x calls the structure unstable.
GII_UNREASONABLE = 1.0
GII_UNSTABLE = 0.3


def mean_min_max_sd(values):
    """Mean, minimum, maximum and sample standard deviation (0 for one
    value) of the values that exist; all None when none does."""
    v = [x for x in values if x is not None]
    if not v:
        return None, None, None, None
    m = sum(v) / len(v)
    sd = math.sqrt(sum((x - m) ** 2 for x in v) / (len(v) - 1)) if len(v) > 1 else 0.0
    return tuple(round(x, 6) for x in (m, min(v), max(v), sd))


def draw_energies(analysis):
    """The six energies of one analysis (None where a dimension does not
    percolate), from ostrel's JSON summary."""
    ea = analysis.get("activation_energies") or {}
    th = analysis.get("thresholds_from_global_minimum") or {}
    out = {}
    for d in DIMENSIONS:
        key = d.upper()
        out["threshold_%s_eV" % d] = th.get(key)
        out["ea_%s_eV" % d] = ea.get(key)
    return out


def draw_status(analysis, d):
    """'percolates', 'above the window' or 'none' for one dimension."""
    status = (analysis.get("percolation_status") or {}).get(d.upper())
    if status:
        return status
    return "percolates" if draw_energies(analysis)["ea_%s_eV" % d] is not None else "none"


def percolation_text(statuses):
    """The percolation of one dimension over the draws: 'yes', 'above the
    window' (no draw percolates within the analyzer's window, which the
    landscape rises above), 'none' (nothing percolates at any energy), or
    'yes in k of N draws'."""
    k = statuses.count("percolates")
    if k == len(statuses):
        return "yes"
    if k:
        return "yes in %d of %d draws" % (k, len(statuses))
    return "above the window" if "above the window" in statuses else "none"


def formula_from_composition(composition):
    """Reduced formula from the species counts of a cell ({'Li1+': 8,
    'O2-': 4} -> Li2O), elements in the order given, for a CIF without
    _chemical_formula_sum."""
    counts = {}
    for name, n in (composition or {}).items():
        el = re.match(r"[A-Z][a-z]?", name)
        if el:
            counts[el.group(0)] = counts.get(el.group(0), 0.0) + n
    if not counts:
        return ""
    if all(abs(n - round(n)) < 1e-3 for n in counts.values()):
        g = 0
        for n in counts.values():
            g = math.gcd(g, int(round(n)))
        counts = {e: round(n) / max(g, 1) for e, n in counts.items()}
    return "".join(e + ("" if abs(n - 1) < 1e-6 else "%g" % round(n, 3))
                   for e, n in counts.items())


def version_of(doc):
    """'3.0' or '3.0 revision abc': a program's version from its JSON."""
    if not doc or not doc.get("version"):
        return None
    rev = doc.get("revision")
    return doc["version"] + (" revision " + rev if rev else "")


def structure_warnings(ion, info, bv, screened_without_ion):
    """(text, suspect) pairs about the structure: the mobile ion absent,
    oxidation states left to velmora.x's defaults, bond-valence sums that
    describe no structure, a GII out of range."""
    out = []
    if info.get("error") and bv:
        out.append(("Warning: gemmi could not read the CIF (%s): identifiers and formula come "
                    "from velmora.x's reading" % info["error"], False))
    if screened_without_ion:
        out.append(("Warning: no %s in the structure: the landscape is that of a probe ion" % ion,
                    True))
    if info.get("uncharged_elements"):
        defaults = ""
        if bv:
            got = sorted({s["species"] for s in bv.get("sites", [])
                          if re.match(r"[A-Z][a-z]?", s["species"]).group(0)
                          in info["uncharged_elements"]})
            defaults = " (%s)" % ", ".join(got) if got else ""
        out.append(("Warning: the CIF gives no oxidation state for %s; velmora.x took its "
                    "defaults%s" % (", ".join(info["uncharged_elements"]), defaults), False))
    if bv:
        sums = [s["bv_sum"] for s in bv.get("sites", [])]
        gii = bv.get("gii")
        if sums and all(s is not None and abs(s) < 1e-9 for s in sums):
            out.append(("Warning: every bond-valence sum is zero (no bonds within the "
                        "cut-offs)", True))
        elif gii is None or not math.isfinite(gii) or gii >= GII_UNREASONABLE:
            out.append(("Warning: GII %s is unreasonable (%g or more): the structure or its "
                        "oxidation states are suspect" % (gii, GII_UNREASONABLE), True))
        elif gii >= GII_UNSTABLE:
            out.append(("Warning: GII %.3f is high (%g or more: unstable by bond valence)"
                        % (gii, GII_UNSTABLE), False))
    return out


def build_row(structure, ion, settings, provenance, bv=None, draws=(), outcome=None,
              program_warnings=()):
    """One row of the table.

    structure: id, formula, space_group, file, key, workdir and info (the
      CIF metadata of inputs.cif_info);
    ion: the mobile species, e.g. 'Li1+';
    settings: resolution, seed (of the first draw), draws (asked for),
      all_structures;
    provenance: bvscreen_version and date;
    bv: velmora.x --cal-bv --json, when it ran;
    draws: per draw a dict of seed, cube (velmora.x --gen-cube --json),
      analysis (ostrel --json), workdir and cif_analysed;
    outcome: None when every step succeeded, else status ('failed' or
      'skipped'), message (the first error line, or why it was skipped)
      and step;
    program_warnings: 'Warning:' lines of the programs.
    """
    info = structure.get("info") or {}
    draws = list(draws)
    row = {"schema_version": SCHEMA_VERSION, "id": structure["id"],
           "formula": (structure.get("formula") or info.get("formula") or
                       formula_from_composition((bv or {}).get("composition"))),
           "space_group": structure.get("space_group") or info.get("space_group") or "",
           "ion": ion, "status": "ok", "message": ""}
    energies = [draw_energies(d["analysis"]) for d in draws]
    for e in ENERGIES:
        stats = mean_min_max_sd([x[e] for x in energies])
        row[e] = stats[0]
        for s, v in zip(STATISTICS, stats[1:]):
            row["%s_%s" % (e, s)] = v
    for d in DIMENSIONS:
        row["percolation_" + d] = (percolation_text([draw_status(x["analysis"], d) for x in draws])
                                   if draws else None)
    first = draws[0]["analysis"] if draws else {}
    counts = first.get("counts") or {}
    cube = draws[0]["cube"] if draws else {}
    row.update(
        directions=first.get("directions", ""),
        gii=bv.get("gii") if bv else None,
        screening_factor=mean_min_max_sd([d["cube"].get("screening_factor") for d in draws])[0],
        draws=len(draws), seed=settings.get("seed"),
        sites=counts.get("sites"), saddles=counts.get("saddles"),
        grid="x".join(str(n) for n in cube.get("grid", [])),
        resolution_A=settings.get("resolution"),
        window_eV=(first.get("window") or {}).get("max_energy"),
        energy_scale=(first.get("input") or {}).get("energy_scale"),
        seconds=None, date=provenance.get("date"),
        bvscreen_version=provenance.get("bvscreen_version"),
        velmora_version=version_of(bv or cube), ostrel_version=version_of(first),
        file=structure["file"])
    ion_absent = bool(bv) and is_ion_absent(bv, ion)
    pairs = structure_warnings(ion, info, bv, ion_absent and settings.get("all_structures"))
    warnings = [t for t, _ in pairs] + [w for w in program_warnings
                                        if not w.startswith(RESTATED)]
    row["warnings"] = warnings[:12]
    if outcome:
        row["status"], row["message"] = outcome["status"], outcome["message"]
    elif any(s for _, s in pairs):
        row["status"], row["message"] = "suspect", next(t for t, s in pairs if s)
    # The rest of the record: what the table needs no column for.
    row.update(
        key=structure.get("key"), workdir=structure.get("workdir"),
        failed_step=(outcome or {}).get("step"), requested_draws=settings.get("draws"),
        random=any(d["cube"].get("random_numbers_drawn") for d in draws),
        seeds=[d["seed"] for d in draws], gii_verdict=bv.get("gii_verdict") if bv else None,
        site_types=counts.get("site_types"), saddle_types=counts.get("saddle_types"),
        bv_sites=[{k: s.get(k) for k in ("label", "species", "occupancy", "multiplicity",
                                         "bv_sum")} for s in (bv or {}).get("sites", [])],
        per_draw=[dict(seed=d["seed"], workdir=d.get("workdir"),
                       cif_analysed=d.get("cif_analysed"),
                       screening_factor=d["cube"].get("screening_factor"),
                       directions=d["analysis"].get("directions", ""),
                       sites=(d["analysis"].get("counts") or {}).get("sites"),
                       **energies[k]) for k, d in enumerate(draws)],
        program_seconds={})
    return row


def is_ion_absent(bv, ion):
    """Whether the structure, as velmora.x --cal-bv read it, lacks the ion."""
    return not any(s["species"] == ion for s in (bv or {}).get("sites", []))

#!/usr/bin/python3
"""bvscreen: screen many crystal structures for fast ion conduction.

Per structure and mobile ion, in a working directory of its own, the two
programs run as a user would run them by hand: velmora.x --cal-bv (bond-valence
sums and the global instability index), velmora.x --gen-cube (the site-energy
landscape of the ion; its header carries the screening factor of the force
field) and ostrel --path --json (sites, saddles, percolation and activation
energies, read from its JSON summary).
One row per structure and ion goes to DIR/results.csv and DIR/results.jsonl.

Structures run in parallel on all cores; a screen that is interrupted resumes
where it stopped (each finished row is kept in its structure's directory and
skipped next time); a failing structure gives a row whose status is the first
error line and the screen goes on.  The same directory can be filled by many
processes at once (GNU parallel, a Slurm job array): each structure directory
is locked while it runs, and only --merge (or a local screen) writes the table.
"""
import argparse
import concurrent.futures
import csv
import fcntl
import hashlib
import io
import json
import math
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

PROG = "bvscreen"

# Columns of results.csv, in order; results.jsonl carries the same keys and
# a few more (bond-valence sums per site, warnings, where the files are).
COLUMNS = ["id", "formula", "ion", "status", "screening_factor", "gii",
           "ea_1d", "ea_2d", "ea_3d", "directions", "sites", "saddles",
           "grid", "seconds", "file"]

# Oxidation state taken when --ion names an element only.  Mobile ions of
# the usual screens; anything else needs its charge (--ion Y3+).
DEFAULT_CHARGE = {"H": 1, "Li": 1, "Na": 1, "K": 1, "Rb": 1, "Cs": 1,
                  "Ag": 1, "Cu": 1, "Tl": 1, "Mg": 2, "Ca": 2, "Sr": 2,
                  "Ba": 2, "Zn": 2, "Al": 3, "F": -1, "Cl": -1, "Br": -1,
                  "I": -1, "O": -2, "S": -2}

# Settings that change the numbers of a row: a directory screened with
# one value is never resumed with another.
RESULT_SETTINGS = ("resolution", "seed")

SETTINGS = "settings.json"
TASKS = "tasks.txt"
ROW = "row.json"


class UsageError(Exception):
    """A bad option value: usage message, exit status 2."""


class ScreenError(Exception):
    """A screen that cannot start or finish: error line, exit status 1."""


# ---------------------------------------------------------------- inputs

def parse_ion(text):
    """'Li', 'li', 'Li+', 'Li1+', 'Mg2+', 'O2-' -> ('Li', 1) etc."""
    m = re.fullmatch(r"\s*([A-Za-z]{1,2})(\d*)([+-]?)\s*", text)
    if not m:
        raise UsageError("--ion %r: expected an element with an optional charge, "
                         "e.g. Li, Na+, Mg2+" % text)
    element = m.group(1)[0].upper() + m.group(1)[1:].lower()
    if m.group(3):
        charge = int(m.group(2) or "1") * (1 if m.group(3) == "+" else -1)
    elif m.group(2):
        raise UsageError("--ion %r: give the sign of the charge, e.g. %s%s+"
                         % (text, element, m.group(2)))
    elif element in DEFAULT_CHARGE:
        charge = DEFAULT_CHARGE[element]
    else:
        raise UsageError("--ion %r: no usual charge known; give it, e.g. %s3+"
                         % (text, element))
    if charge == 0:
        raise UsageError("--ion %r: the mobile ion needs a charge" % text)
    return element, charge


def species_name(element, charge):
    """The toolkit's spelling of a species: Li1+, O2-."""
    return "%s%d%s" % (element, abs(charge), "+" if charge > 0 else "-")


def expand_inputs(inputs):
    """CIF files, directories (every *.cif below, sorted) and list files (one
    path per line, '#' comments; relative paths are taken from the list's
    directory) -> list of paths, in the order given.  Missing paths are kept:
    they become failing rows."""
    paths = []
    for item in inputs:
        if os.path.isdir(item):
            found = []
            for root, dirs, files in os.walk(item):
                dirs.sort()
                found += [os.path.join(root, f) for f in sorted(files)
                          if f.lower().endswith(".cif")]
            paths += found
        elif item.lower().endswith(".cif") or not os.path.isfile(item):
            paths.append(item)
        else:
            base = os.path.dirname(item)
            with open(item, encoding="utf-8", errors="replace") as f:
                for line in f:
                    line = line.split("#", 1)[0].strip()
                    if line:
                        path = line if os.path.isabs(line) else os.path.join(base, line)
                        paths += expand_inputs([path]) if os.path.isdir(path) else [path]
    return paths


def make_task(path):
    """A structure to screen.  Its key (directory name under DIR/work) is the
    file's stem and the start of the SHA-1 of its content, so two different
    files of the same name never share a directory and an edited file is
    screened afresh."""
    stem = re.sub(r"[^A-Za-z0-9._-]", "_", os.path.splitext(os.path.basename(path))[0])
    stem = stem.strip(".") or "structure"
    try:
        with open(path, "rb") as f:
            data = f.read()
        digest = hashlib.sha1(data).hexdigest()[:10]
        error = None
    except OSError as e:
        data = b""
        digest = "missing-" + hashlib.sha1(os.path.abspath(path).encode()).hexdigest()[:8]
        error = "Error: cannot read %s: %s" % (path, e.strerror)
    return {"path": os.path.abspath(path), "stem": stem, "key": stem + "-" + digest,
            "error": error, "cost": structure_cost(data)}


def cif_values(text):
    """Tag -> list of values of a CIF text: single items and loop columns.
    Enough of the syntax for identification and the cost estimate (quoted
    values, loops; text fields are skipped)."""
    token = re.compile(r"'(?:[^']|'(?=\S))*'|\"(?:[^\"]|\"(?=\S))*\"|\S+")
    words = []
    in_text = False
    for line in text.splitlines():
        if line.startswith(";"):
            in_text = not in_text
            continue
        if in_text:
            continue
        for w in token.findall(line):
            if w.startswith("#"):
                break
            words.append(w)
    values = {}
    i = 0
    while i < len(words):
        w = words[i]
        low = w.lower()
        if low == "loop_":
            tags = []
            i += 1
            while i < len(words) and words[i].startswith("_"):
                tags.append(words[i].lower())
                i += 1
            start = i
            while i < len(words) and not words[i].startswith("_") and \
                    words[i].lower() not in ("loop_",) and not words[i].lower().startswith("data_"):
                i += 1
            body = [x.strip("'\"") for x in words[start:i]]
            for k, tag in enumerate(tags):
                values[tag] = body[k::len(tags)] if tags else []
        elif low.startswith("_") and i + 1 < len(words):
            values[low] = [words[i + 1].strip("'\"")]
            i += 2
        else:
            i += 1
    return values


def cif_number(value):
    """'7.4314(3)' -> 7.4314; None when not a number."""
    try:
        return float(re.sub(r"\(\d*\)$", "", value))
    except (TypeError, ValueError):
        return None


def cif_info(text):
    """Identification of a structure from its CIF: COD id, ICSD code,
    formula, Z, cell volume, and whether any site is partly occupied."""
    v = cif_values(text)
    first = lambda tag: (v.get(tag) or [None])[0]
    info = {"cod": first("_cod_database_code"),
            "icsd": first("_database_code_icsd"),
            "formula": first("_chemical_formula_sum"),
            "z": cif_number(first("_cell_formula_units_z"))}
    cell = [cif_number(first("_cell_length_" + x)) for x in "abc"] + \
           [cif_number(first("_cell_angle_" + x)) for x in ("alpha", "beta", "gamma")]
    volume = None
    if all(c for c in cell):
        ca, cb, cg = (math.cos(math.radians(x)) for x in cell[3:])
        det = 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg
        volume = cell[0] * cell[1] * cell[2] * math.sqrt(max(det, 0.0))
    info["volume"] = volume
    occ = [cif_number(x) for x in v.get("_atom_site_occupancy", [])]
    info["partial"] = any(o is not None and o < 0.999 for o in occ)
    return info


def structure_cost(data):
    """Rough relative cost of a structure, for starting the long ones first:
    grid points scale with the cell volume; partly occupied sites are
    resolved in a supercell of several cells."""
    try:
        info = cif_info(data.decode("utf-8", errors="replace"))
    except Exception:
        return 0.0
    return (info["volume"] or 0.0) * (8.0 if info["partial"] else 1.0)


def structure_id(info, stem):
    """COD id, else ICSD code, else the file name."""
    for prefix, key in (("cod:", "cod"), ("icsd:", "icsd")):
        value = info.get(key)
        if value and value not in ("?", "."):
            return prefix + value
    return stem


# ------------------------------------------------------- program outputs

def parse_bv(text):
    """--cal-bv output -> (sites, gii, verdict); sites are dicts of label,
    species, occupancy, bond-valence sum, from the per-site table."""
    sites = []
    in_sites = False
    for line in text.splitlines():
        if line.startswith("BV:") and "bv_sum" in line:
            in_sites = True
            continue
        if line.startswith("BV:==="):
            in_sites = False
            continue
        if in_sites and line.startswith("BV:"):
            f = line[3:].split()
            if len(f) == 4:
                sites.append({"label": f[0], "species": f[1],
                              "occupancy": float(f[2]), "bvs": float(f[3])})
    m = re.search(r"^GII: Global instability index = (\S+)", text, re.M)
    gii = float(m.group(1)) if m else None
    verdict = None
    m = re.search(r"^GII: suggested stability: (\w+)", text, re.M)
    if m:
        verdict = m.group(1)
    elif "GII: unreasonable value" in text:
        verdict = "unreasonable"
    return sites, gii, verdict


def read_cube_header(path):
    """Composition, screening factor and grid counts from the first lines of
    a landscape cube ('Li1+:2.000 O2-:1.000', 'Conducting = Li1+ ; sf = ...',
    then the origin line and one line per axis starting with its count)."""
    with open(path, "rb") as f:
        head = [f.readline().decode("latin-1") for _ in range(6)]
    composition = {}
    for item in head[0].split():
        name, _, count = item.partition(":")
        try:
            composition[name] = float(count)
        except ValueError:
            pass
    m = re.search(r"sf\s*=\s*([-+0-9.eE]+)", head[1])
    counts = [int(head[3 + a].split()[0]) for a in range(3)]
    return {"composition": composition, "sf": float(m.group(1)) if m else None,
            "grid": "x".join(str(abs(n)) for n in counts)}


def formula_from_composition(composition):
    """Reduced formula from the species counts of a cell (Li1+:8 O2-:4 ->
    Li2O), elements in the order of the cube header."""
    counts = {}
    for name, n in composition.items():
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
    text = ""
    for e, n in counts.items():
        text += e + ("" if abs(n - 1) < 1e-6 else ("%g" % round(n, 3)))
    return text


# The analyzer's machine-readable summary, written beside its other files.
ANALYSIS_JSON = "OSTREL_analysis.json"


def read_analysis(json_path):
    """The analyzer's results for one landscape, from the JSON summary that
    ostrel --json writes: activation energies (None where nothing
    percolates), the percolating directions ('1D [0,0,1]', '2D (0,0,1)',
    '3D', joined by '; '), and the numbers of sites and saddles in the cell
    and of their symmetry types.  Every reading of ostrel's results goes
    through here."""
    try:
        with open(json_path, encoding="utf-8") as f:
            data = json.load(f)
        ea = data["activation_energies"]
        counts = data["counts"]
        # to the microelectronvolt, as the analyzer prints them
        result = {"ea_%dd" % d: None if ea["%dD" % d] is None else round(ea["%dD" % d], 6)
                  for d in (1, 2, 3)}
        for key in ("sites", "saddles", "site_types", "saddle_types"):
            result[key] = counts[key]
        result["directions"] = data["directions"]
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise ValueError("Error: ostrel wrote no readable analysis (%s)" % e)
    return result


def read_pathways(path):
    """OSTREL_rp.csv -> list of segments; a segment is a list of points
    (distance, energy, kind, label, colour, pathway) where kind is 'site',
    'saddle' or '' and colour the percolation dimension of the hop that
    starts at a site (0 closed cluster, 4 ribbon, -1 none).  'NEXT' starts a
    new segment."""
    segments = [[]]
    with open(path, encoding="latin-1") as f:
        for line in f:
            line = line.strip()
            if line in ("NEXT", "END"):
                if segments[-1]:
                    segments.append([])
                continue
            f = line.split(",")
            if len(f) < 2:
                continue
            try:
                x, e = float(f[0]), float(f[1])
            except ValueError:
                continue
            if len(f) >= 6:
                segments[-1].append((x, e, "site", f[2], int(f[3]), int(f[4])))
            elif len(f) == 3:
                segments[-1].append((x, e, "saddle", f[2].split()[0], -1, -1))
            else:
                segments[-1].append((x, e, "", "", -1, -1))
    return [s for s in segments if s]


# ---------------------------------------------------------------- plots

PLOT_LOCK = threading.Lock()
_matplotlib = None


def matplotlib_figure():
    """A new matplotlib Figure (no pyplot, no display), or None without
    matplotlib; the import happens once, on first use."""
    global _matplotlib
    if _matplotlib is None:
        try:
            os.environ.setdefault("MPLBACKEND", "Agg")
            import matplotlib
            from matplotlib.figure import Figure
            # text stays text in SVG files: smaller, faster, searchable
            matplotlib.rcParams["svg.fonttype"] = "none"
            _matplotlib = Figure
        except ImportError:
            _matplotlib = False
    return _matplotlib() if _matplotlib else None


def save_figure(fig, path):
    fmt = os.path.splitext(path)[1][1:].lower()
    tmp = "%s.tmp%d" % (path, os.getpid())
    fig.savefig(tmp, format=fmt)
    os.replace(tmp, path)


def plot_profile(rp_path, out_path, title):
    """Energy against distance along the percolating reaction pathways of
    OSTREL_rp.csv (closed clusters' pathways left out), sites as circles and
    saddles as triangles with their labels.  Returns False without
    matplotlib."""
    # A pathway's hops carry the dimension of the cluster they belong to
    # (4: a 1D ribbon, 0: a closed cluster); the pathway is drawn when one
    # of its hops percolates, labelled with the highest dimension it reaches.
    pathways = {}
    for seg in read_pathways(rp_path):
        starts = [(p[5], p[4]) for p in seg if p[2] == "site" and p[4] >= 0]
        if starts:
            pathways.setdefault(starts[0][0], []).append((seg, [c for _, c in starts]))
    span = max([p[0] for parts in pathways.values() for seg, _ in parts for p in seg] + [1.0])
    with PLOT_LOCK:
        fig = matplotlib_figure()
        if fig is None:
            return False
        fig.set_size_inches(7, 4)
        fig.subplots_adjust(left=0.1, right=0.98, bottom=0.13, top=0.92)
        ax = fig.add_subplot()
        percolating = False
        for number, parts in sorted(pathways.items()):
            colours = [c for _, cs in parts for c in cs]
            dims = [1 if c == 4 else c for c in colours]
            if max(dims) < 1:
                continue
            percolating = True
            label = "pathway %d: %dD" % (number + 1, max(dims))
            if max(dims) == 1 and all(c == 4 for c in colours if c > 0):
                label += " ribbon"
            for k, (seg, _) in enumerate(parts):
                xs = [p[0] for p in seg]
                es = [p[1] for p in seg]
                colour = "C%d" % (number % 10)
                ax.plot(xs, es, "-", lw=1.2, color=colour, label=label if k == 0 else None)
                sites = [p for p in seg if p[2] == "site"]
                saddles = [p for p in seg if p[2] == "saddle"]
                ax.plot([p[0] for p in sites], [p[1] for p in sites], "o", color=colour, ms=5)
                ax.plot([p[0] for p in saddles], [p[1] for p in saddles], "^", color="k", ms=5)
                for x, e, name in thinned(sites, span):
                    ax.text(x, e, name, ha="center", va="top", fontsize=7)
                for x, e, name in thinned(saddles, span):
                    ax.text(x, e, name + "\n", ha="center", va="bottom", fontsize=7)
        if not percolating:
            ax.text(0.5, 0.5, "no percolating pathway", transform=ax.transAxes,
                    ha="center", va="center")
        else:
            ax.legend(fontsize=8, loc="best")
        ax.margins(x=0.03, y=0.12)
        ax.set_xlabel("distance along the pathway (Å)")
        ax.set_ylabel("energy (eV)")
        ax.set_title(title, fontsize=10)
        save_figure(fig, out_path)
    return True


def thinned(points, span):
    """(x, energy, label) of the points whose labels have room: at least
    1.5 % of the plot's width after the last one labelled."""
    out, last = [], None
    for x, e, _, name, _, _ in points:
        if last is None or x - last >= 0.015 * span:
            out.append((x, e, name))
            last = x
    return out


def plot_screen(rows, out_path):
    """The table at a glance: per ion, the 1D, 2D and 3D activation energies
    of every structure that finished, structures sorted by their 1D energy.
    Returns False without matplotlib or without a single energy."""
    ions = []
    for r in rows:
        if r["ion"] not in ions:
            ions.append(r["ion"])
    data = []
    for ion in ions:
        done = [r for r in rows if r["ion"] == ion and r.get("ea_1d") is not None]
        done.sort(key=lambda r: (r["ea_1d"], r["id"]))
        data.append((ion, done))
    if not any(done for _, done in data):
        return False
    with PLOT_LOCK:
        fig = matplotlib_figure()
        if fig is None:
            return False
        widest = max(len(done) for _, done in data)
        fig.set_size_inches(min(4 + 0.18 * widest, 30), 3.2 * len(data) + 0.6)
        for k, (ion, done) in enumerate(data):
            ax = fig.add_subplot(len(data), 1, k + 1)
            x = list(range(len(done)))
            for d, marker in ((1, "v"), (2, "s"), (3, "o")):
                pts = [(i, r["ea_%dd" % d]) for i, r in zip(x, done)
                       if r["ea_%dd" % d] is not None]
                ax.plot([p[0] for p in pts], [p[1] for p in pts], marker, ms=4,
                        ls="none", label="%dD" % d, fillstyle="none" if d == 3 else "full")
            if len(done) <= 80:
                ax.set_xticks(x)
                ax.set_xticklabels([r["id"] for r in done], rotation=90, fontsize=6)
            ax.set_ylabel("activation energy (eV)")
            ax.set_title("%s: %d structures, sorted by the 1D energy" % (ion, len(done)),
                         fontsize=10)
            ax.grid(axis="y", lw=0.3)
            ax.legend(fontsize=8, loc="upper left")
        fig.tight_layout()
        save_figure(fig, out_path)
    return True


# ------------------------------------------------------------ the tables

def write_text_atomic(path, text):
    tmp = "%s.tmp%d" % (path, os.getpid())
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    os.replace(tmp, path)


def csv_value(key, value):
    if value is None:
        return ""
    if isinstance(value, float):
        return "%.2f" % value if key == "seconds" else "%.6f" % value
    return value


def write_tables(out_dir, rows, plot_format):
    """DIR/results.csv (header, one row per structure and ion, empty cells
    for missing values), DIR/results.jsonl (one JSON object per row), and the
    plot of the table; each written to a temporary name and renamed."""
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(COLUMNS)
    for r in rows:
        w.writerow([csv_value(k, r.get(k)) for k in COLUMNS])
    write_text_atomic(os.path.join(out_dir, "results.csv"), buf.getvalue())
    write_text_atomic(os.path.join(out_dir, "results.jsonl"),
                      "".join(json.dumps(r, sort_keys=False) + "\n" for r in rows))
    if plot_format:
        plot_screen(rows, os.path.join(out_dir, "results." + plot_format))


def load_row(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def row_path(out_dir, key, species):
    return os.path.join(out_dir, "work", key, species, ROW)


def row_needed(out_dir, key, species, retry_failed):
    """True when the row of (structure, ion) is still to be made: none
    stored, or a failed one and failures are retried."""
    old = load_row(row_path(out_dir, key, species))
    return old is None or (retry_failed and status_kind(old.get("status", "")) == "failed")


def collect_rows(out_dir, tasks, ions):
    """The stored rows of the tasks, in task order and then ion order;
    returns (rows, number of (task, ion) pairs without a row)."""
    rows, missing = [], 0
    for t in tasks:
        for sp in ions:
            r = load_row(row_path(out_dir, t["key"], sp))
            if r is None:
                missing += 1
            else:
                rows.append(r)
    return rows, missing


# ------------------------------------------------------ running programs

class Interrupted(Exception):
    """A program was ended from outside by an interrupting signal (a
    cancelled batch job, a shutdown): the run says nothing about the
    structure, so no row is stored and the next run of the screen does it."""


# Signals that end a program on request rather than for a fault of its own;
# SIGKILL stays a failure, since the kernel's out-of-memory killer uses it.
INTERRUPTING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Runner:
    """Starts the programs of one screen, each in its own process group so
    that an interrupted screen can end exactly the processes it started."""

    def __init__(self, settings, threads):
        self.settings = settings
        self.env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.running = set()

    def run(self, argv, cwd, name, times=None):
        """Runs argv in cwd with stdout/stderr in name.out/name.err there;
        returns (status, stdout, stderr, first error line or None).  The
        wall and processor seconds of the run go to times[name]."""
        timeout = self.settings.get("timeout") or None
        out_path = os.path.join(cwd, name + ".out")
        err_path = os.path.join(cwd, name + ".err")
        what = "%s %s" % (os.path.basename(argv[0]), argv[1] if len(argv) > 1 else "")
        if self.stop.is_set():
            return -1, "", "", "Error: interrupted"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            # The clock starts before the program does: on a loaded machine
            # a short run can end before Popen returns.
            start = time.monotonic()
            try:
                proc = subprocess.Popen(argv, cwd=cwd, stdout=out, stderr=err,
                                        stdin=subprocess.DEVNULL, env=self.env,
                                        start_new_session=True)
            except OSError as e:
                return -1, "", "", "Error: cannot start %s: %s" % (argv[0], e.strerror)
            with self.lock:
                self.running.add(proc)
            if self.stop.is_set():
                self.kill(proc)
            # wait4 gives the program's own processor time; a timer ends a
            # run that takes longer than the timeout
            timed_out = threading.Event()
            timer = None
            if timeout:
                timer = threading.Timer(timeout, lambda: (timed_out.set(), self.kill(proc)))
                timer.start()
            try:
                _, status, usage = os.wait4(proc.pid, 0)
                rc = proc.returncode = os.waitstatus_to_exitcode(status)
            finally:
                if timer:
                    timer.cancel()
                with self.lock:
                    self.running.discard(proc)
            if times is not None:
                times[name] = [round(time.monotonic() - start, 3),
                               round(usage.ru_utime + usage.ru_stime, 3)]
        with open(out_path, encoding="latin-1") as f:
            stdout = f.read()
        with open(err_path, encoding="latin-1") as f:
            stderr = f.read()
        if timed_out.is_set():
            return rc, stdout, stderr, "Error: %s timed out after %g s" % (what.strip(), timeout)
        # Under a batch system the cancel reaches every process of the job at
        # once, so the program may die before this process has seen its own
        # signal: such a death is an interruption, not a result.
        if rc < 0 and -rc in INTERRUPTING_SIGNALS:
            raise Interrupted(what.strip())
        return rc, stdout, stderr, first_error(rc, stderr, what.strip())

    @staticmethod
    def kill(proc):
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass

    def interrupt(self):
        self.stop.set()
        with self.lock:
            for proc in list(self.running):
                self.kill(proc)


def first_error(rc, stderr, what):
    """The line that explains a failure: the first "Error" line on standard
    error (the innermost of the chain), else the first line there, else the
    exit status; None when the program succeeded."""
    lines = [l.strip() for l in stderr.splitlines() if l.strip()]
    errors = [l for l in lines if l.startswith("Error")]
    if errors:
        return errors[0]
    if rc == 0:
        return None
    if rc < 0:
        try:
            name = signal.Signals(-rc).name
        except ValueError:
            name = "signal %d" % -rc
        return "Error: %s was killed by %s" % (what, name)
    return lines[0] if lines else "Error: %s exited with status %d" % (what, rc)


def warnings_of(*texts):
    """Distinct "Warning:" lines of the programs' outputs, first ten."""
    seen = []
    for text in texts:
        for line in text.splitlines():
            line = line.strip()
            if line.startswith("Warning") and line not in seen:
                seen.append(line)
    return seen[:10]


def suspect_note(bv_sites, gii, verdict):
    """A result that was printed but should not be trusted."""
    if bv_sites and all(abs(s["bvs"]) < 1e-9 for s in bv_sites):
        return "Warning: every bond-valence sum is zero (no bonds within the cut-offs)"
    if verdict == "unreasonable" or (gii is not None and not math.isfinite(gii)):
        return "Warning: GII %s is unreasonable; the structure or its parameters may be wrong" % gii
    return None


def lock_directory(path):
    """An exclusive lock on a structure directory, held by the returned file
    until it is closed (also when the process dies); None when another
    process holds it."""
    fd = open(os.path.join(path, ".lock"), "w")
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        fd.close()
        return None
    return fd


def run_structure(task, ions, out_dir, runner, retry_failed):
    """Screens one structure for every ion that has no row yet (or only a
    failed one, with retry_failed).  Returns the list of new rows, or None
    when the structure is being screened by another process."""
    settings = runner.settings
    todo = [(el, ch, species_name(el, ch)) for el, ch in ions
            if row_needed(out_dir, task["key"], species_name(el, ch), retry_failed)]
    if not todo:
        return []
    work = os.path.join(out_dir, "work", task["key"])
    os.makedirs(work, exist_ok=True)
    lock = lock_directory(work)
    if lock is None:
        return None
    rows = []
    try:
        for el, ch, sp in todo:
            try:
                r = screen_ion(task, work, el, ch, sp, out_dir, runner, settings)
            except Interrupted:
                continue  # this ion's row stays missing
            if r is not None:
                rows.append(r)
        return rows
    finally:
        lock.close()


def screen_ion(task, work, element, charge, sp, out_dir, runner, settings):
    """One row: bond-valence sums and GII, the landscape of the ion, the
    analysis of its paths; every file in work/<ion>/.  None when the screen
    was interrupted meanwhile (no row is stored then)."""
    if runner.stop.is_set():
        return None
    start = time.monotonic()
    ion_dir = os.path.join(work, sp)
    shutil.rmtree(ion_dir, ignore_errors=True)
    os.makedirs(ion_dir)
    text = ""
    if not task["error"]:
        with open(task["path"], "rb") as f:
            text = f.read().decode("utf-8", errors="replace")
    info = cif_info(text)
    row = {"id": structure_id(info, task["stem"]),
           "formula": (info["formula"] or "").replace(" ", ""),
           "ion": sp, "status": "ok", "screening_factor": None, "gii": None,
           "ea_1d": None, "ea_2d": None, "ea_3d": None, "directions": "",
           "sites": None, "saddles": None, "grid": "", "seconds": None,
           "file": task["path"], "key": task["key"],
           "workdir": os.path.relpath(ion_dir, out_dir),
           "resolution": settings["resolution"], "seed": settings.get("seed"),
           "gii_verdict": None, "site_types": None, "saddle_types": None,
           "bv_sites": [], "cif_analysed": None, "profile_plot": None,
           "failed_step": None, "warnings": [], "program_seconds": {}}
    times = row["program_seconds"]

    def finish(status=None, step=None):
        if runner.stop.is_set():
            return None
        if status:
            row["status"], row["failed_step"] = status, step
        row["seconds"] = round(time.monotonic() - start, 3)
        write_text_atomic(os.path.join(ion_dir, ROW), json.dumps(row, indent=1) + "\n")
        return row

    if task["error"]:
        return finish(task["error"], "read")
    cif = task["stem"] + ".cif"
    shutil.copyfile(task["path"], os.path.join(ion_dir, cif))
    velmora, ostrel = settings["velmora"], settings["ostrel"]

    rc, out, err, error = runner.run([velmora, "--cal-bv", cif], ion_dir, "bv", times)
    if error:
        return finish(error, "velmora.x --cal-bv")
    row["bv_sites"], row["gii"], row["gii_verdict"] = parse_bv(out)
    warnings = warnings_of(err)
    if not any(s["species"] == sp for s in row["bv_sites"]) and not settings.get("all_structures"):
        return finish("skipped: no %s in the structure" % sp, "velmora.x --cal-bv")

    cube = task["stem"] + ".cube"
    rc, out, err2, error = runner.run(
        [velmora, "--gen-cube", cif, element, str(charge), "0",
         "%g" % settings["resolution"], "t", "t", cube] + seed_arguments(settings),
        ion_dir, "cube", times)
    warnings += warnings_of(err2)
    if error:
        row["warnings"] = warnings
        return finish(error, "velmora.x --gen-cube")
    try:
        header = read_cube_header(os.path.join(ion_dir, cube))
    except (OSError, ValueError, IndexError):
        return finish("Error: velmora.x --gen-cube wrote no readable cube", "velmora.x --gen-cube")
    row["screening_factor"], row["grid"] = header["sf"], header["grid"]
    if not row["formula"]:
        row["formula"] = formula_from_composition(header["composition"])

    # A structure whose ion sites are partly occupied is resolved in a
    # supercell; the cube belongs to that supercell, so the analyzer needs it.
    assigned = task["stem"] + "_assigned.cif"
    cif_for_cube = assigned if os.path.exists(os.path.join(ion_dir, assigned)) else cif
    row["cif_analysed"] = cif_for_cube
    rc, out, err3, error = runner.run(
        [ostrel, "--cube", cube, "--cif", cif_for_cube, sp, "--path", "--print-act",
         "--json", ANALYSIS_JSON], ion_dir, "ostrel", times)
    warnings += warnings_of(err3, out)
    row["warnings"] = warnings[:10]
    if error:
        return finish(error, "ostrel")
    try:
        row.update(read_analysis(os.path.join(ion_dir, ANALYSIS_JSON)))
    except ValueError as e:
        return finish(str(e), "ostrel")
    if settings.get("lean"):
        # the two big files: the landscape and the threshold summary, which
        # for a supercell lists every hop of every cluster at every threshold
        for name in (cube, "OSTREL_events.txt"):
            os.remove(os.path.join(ion_dir, name))
    plot_format = settings.get("plot_format")
    rp = os.path.join(ion_dir, "OSTREL_rp.csv")
    if plot_format and os.path.exists(rp):
        name = "%s_%s.%s" % (task["key"], sp, plot_format)
        os.makedirs(os.path.join(out_dir, "profiles"), exist_ok=True)
        try:
            if plot_profile(rp, os.path.join(out_dir, "profiles", name),
                            "%s %s, %s" % (row["id"], row["formula"], sp)):
                row["profile_plot"] = os.path.join("profiles", name)
        except (ValueError, OSError) as e:
            row["warnings"].append("Warning: no profile plot: %s" % e)
    return finish(suspect_note(row["bv_sites"], row["gii"], row["gii_verdict"]))


def seed_arguments(settings):
    """Arguments that pass the seed of the random supercell assignment to
    velmora.x --gen-cube (it prints the seed it used); none without --seed."""
    if settings.get("seed") is None:
        return []
    return ["--seed", str(settings["seed"])]


# ------------------------------------------------------------- progress

class Progress:
    """done / total, failures and time left, one line per finished row on
    standard error (rewritten in place on a terminal)."""

    def __init__(self, total, already, quiet=False):
        self.total, self.done, self.failed = total, already, 0
        self.fresh = 0
        self.start = time.monotonic()
        self.quiet = quiet
        self.tty = sys.stderr.isatty()

    def update(self, row):
        self.done += 1
        self.fresh += 1
        if status_kind(row["status"]) == "failed":
            self.failed += 1
        if self.quiet:
            return
        elapsed = time.monotonic() - self.start
        left = (self.total - self.done) * elapsed / self.fresh
        status = row["status"] if len(row["status"]) < 60 else row["status"][:57] + "..."
        line = "[%d/%d] %s %s %.1f s: %s | failures %d | left %s" % (
            self.done, self.total, row["id"], row["ion"], row["seconds"] or 0, status,
            self.failed, clock(left))
        sys.stderr.write(("\r\033[K" + line) if self.tty else line + "\n")
        sys.stderr.flush()

    def finish(self):
        if self.tty and not self.quiet and self.fresh:
            sys.stderr.write("\n")


def status_kind(status):
    """ok, suspect (printed but doubtful), skipped or failed."""
    if status == "ok":
        return "ok"
    if status.startswith("Warning"):
        return "suspect"
    if status.startswith("skipped"):
        return "skipped"
    return "failed"


def status_counts(rows):
    kinds = [status_kind(r["status"]) for r in rows]
    return ", ".join("%d %s" % (kinds.count(k), k) for k in ("ok", "suspect", "failed", "skipped"))


def clock(seconds):
    seconds = int(round(seconds))
    if seconds >= 3600:
        return "%dh%02dm" % (seconds // 3600, seconds % 3600 // 60)
    if seconds >= 60:
        return "%dm%02ds" % (seconds // 60, seconds % 60)
    return "%ds" % seconds


# --------------------------------------------------------- screen modes

def cpu_count():
    """Cores this process may use: the Slurm allocation, else the affinity
    mask."""
    for var in ("SLURM_CPUS_PER_TASK",):
        if os.environ.get(var, "").isdigit():
            return max(1, int(os.environ[var]))
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def find_program(name, given):
    """A program given by option, else beside this script (bin/ of the
    build or the installed prefix), else on PATH."""
    if given:
        path = given
    else:
        here = os.path.dirname(os.path.realpath(sys.argv[0]))
        candidates = [os.path.join(os.path.dirname(os.path.abspath(sys.argv[0])), name),
                      os.path.join(here, name),
                      os.path.join(here, "..", "bin", name)]
        path = next((c for c in candidates if os.access(c, os.X_OK)), None) or \
            shutil.which(name)
    if not path or not os.access(path, os.X_OK):
        raise ScreenError("Error: cannot find %s (give it with --%s PATH)"
                          % (name, "velmora" if name.startswith("velmora") else "ostrel"))
    return os.path.abspath(path)


def load_settings(out_dir):
    path = os.path.join(out_dir, SETTINGS)
    if not os.path.exists(path):
        return None
    s = load_row(path)
    if s is None:
        raise ScreenError("Error: %s is not readable" % path)
    return s


def store_settings(out_dir, settings):
    """Writes DIR/settings.json; a directory that holds a screen made with
    other result settings is refused rather than mixed."""
    old = load_settings(out_dir)
    if old is not None:
        for key in RESULT_SETTINGS:
            if old.get(key) != settings.get(key):
                raise ScreenError(
                    "Error: %s holds a screen made with %s %s, not %s; use another --out"
                    % (out_dir, key, old.get(key), settings.get(key)))
        ions = list(old.get("ions", []))
        for sp in settings["ions"]:
            if sp not in ions:
                ions.append(sp)
        settings = dict(settings, ions=ions)
    write_text_atomic(os.path.join(out_dir, SETTINGS), json.dumps(settings, indent=1) + "\n")
    return settings


def store_tasks(out_dir, tasks):
    write_text_atomic(os.path.join(out_dir, TASKS), "".join(t["path"] + "\n" for t in tasks))


def load_tasks(out_dir):
    path = os.path.join(out_dir, TASKS)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return unique_tasks([make_task(l.rstrip("\n")) for l in f if l.strip()])


def unique_tasks(tasks):
    seen, out = set(), []
    for t in tasks:
        if t["key"] not in seen:
            seen.add(t["key"])
            out.append(t)
    return out


def ion_list(settings):
    return [parse_ion(sp) for sp in settings["ions"]]


def run_tasks(out_dir, tasks, settings, jobs, threads, retry_failed, write_table, quiet=False):
    """Runs the tasks on `jobs` workers, longest first.  Returns the exit
    status: 0 when every task has its rows, 1 when some are missing
    (interrupted, or locked by another process), 130/143 on SIGINT/SIGTERM."""
    ions = ion_list(settings)
    species = [species_name(*i) for i in ions]
    todo = {t["key"]: sum(1 for sp in species if row_needed(out_dir, t["key"], sp, retry_failed))
            for t in tasks}
    pending = [t for t in tasks if todo[t["key"]]]
    total = len(tasks) * len(ions)
    already = total - sum(todo.values())
    if not quiet:
        sys.stderr.write("%s: %d structures x %d ions = %d rows; %d done before; "
                         "running %d structures on %d workers (%d threads each)\n"
                         % (PROG, len(tasks), len(ions), total, already, len(pending),
                            jobs, threads))
    pending.sort(key=lambda t: -t["cost"])
    runner = Runner(settings, threads)
    progress = Progress(total, already, quiet)
    got_signal = []

    def on_signal(signum, frame):
        got_signal.append(signum)
        runner.interrupt()

    old_handlers = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
    busy = 0
    last_table = time.monotonic()
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            futures = {pool.submit(run_structure, t, ions, out_dir, runner, retry_failed): t
                       for t in pending}
            waiting = set(futures)
            while waiting:
                finished, waiting = concurrent.futures.wait(
                    waiting, timeout=0.5, return_when=concurrent.futures.FIRST_COMPLETED)
                if runner.stop.is_set():
                    for f in waiting:
                        f.cancel()
                for f in finished:
                    if f.cancelled():
                        continue
                    rows = f.result()
                    if rows is None:
                        busy += 1
                        continue
                    for r in rows:
                        progress.update(r)
                if write_table and time.monotonic() - last_table > 30:
                    write_tables(out_dir, collect_rows(out_dir, tasks, species)[0], None)
                    last_table = time.monotonic()
    finally:
        for s, h in old_handlers.items():
            signal.signal(s, h)
        progress.finish()
    rows, missing = collect_rows(out_dir, tasks, species)
    if write_table:
        write_tables(out_dir, rows, settings.get("plot_format"))
    if not quiet or got_signal or missing:
        where = " in %s" % os.path.join(out_dir, "results.csv") if write_table else ""
        sys.stderr.write("%s: %d rows%s: %s; %d missing\n"
                         % (PROG, len(rows), where, status_counts(rows), missing))
    if got_signal:
        sys.stderr.write("%s: interrupted; run the same command again to resume\n" % PROG)
        return 128 + got_signal[0]
    if busy:
        sys.stderr.write("%s: %d structures were being screened by another process\n"
                         % (PROG, busy))
    return 1 if missing else 0


def settings_from_args(args):
    ions = []
    for text in args.ion or []:
        sp = species_name(*parse_ion(text))
        if sp not in ions:
            ions.append(sp)
    if not ions:
        raise UsageError("give the mobile ion with --ion, e.g. --ion Li")
    if not (0.02 <= args.resolution <= 2.0):
        raise UsageError("--resolution %g: expected a grid step between 0.02 and 2 A"
                         % args.resolution)
    velmora = find_program("velmora.x", args.velmora)
    if args.seed is not None and not velmora_takes_seed(velmora):
        sys.stderr.write("Warning: this velmora.x takes no seed; structures whose mobile-ion "
                         "sites are partly occupied get a clock-seeded supercell\n")
    return {"ions": ions, "resolution": args.resolution, "seed": args.seed,
            "velmora": velmora, "ostrel": find_program("ostrel", args.ostrel),
            "timeout": args.timeout, "all_structures": args.all_structures,
            "lean": args.lean,
            "plot_format": None if args.no_plots else (args.plot_format or "svg")}


def velmora_takes_seed(velmora):
    try:
        out = subprocess.run([velmora, "-h"], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return False
    return "--seed" in out


def tasks_from_inputs(inputs):
    if not inputs:
        raise UsageError("no input: give CIF files, directories or list files")
    return unique_tasks([make_task(p) for p in expand_inputs(inputs)])


def merge(args):
    """Writes the table from the rows stored under DIR: the structures of
    INPUTS when given, else those of DIR/tasks.txt, else every row found."""
    out_dir = args.out
    settings = load_settings(out_dir)
    if settings is None:
        raise ScreenError("Error: %s holds no screen (no %s)" % (out_dir, SETTINGS))
    if args.ion:
        settings["ions"] = [species_name(*parse_ion(x)) for x in args.ion]
    if args.no_plots:
        settings["plot_format"] = None
    elif args.plot_format:
        settings["plot_format"] = args.plot_format
    if args.inputs:
        tasks = tasks_from_inputs(args.inputs)
        store_tasks(out_dir, tasks)
    else:
        tasks = load_tasks(out_dir)
        if tasks is None:
            work = os.path.join(out_dir, "work")
            keys = sorted(os.listdir(work)) if os.path.isdir(work) else []
            tasks = [{"key": k} for k in keys]
    rows, missing = collect_rows(out_dir, tasks, settings["ions"])
    write_tables(out_dir, rows, settings.get("plot_format"))
    sys.stderr.write("%s: merged %d rows into %s: %s; %d missing\n"
                     % (PROG, len(rows), os.path.join(out_dir, "results.csv"),
                        status_counts(rows), missing))
    return 1 if missing else 0


def run_chunk(args):
    """One chunk (I/N: every N-th structure from the I-th) of DIR/tasks.txt
    with the stored settings: a Slurm array task, or a GNU parallel job."""
    m = re.fullmatch(r"(\d+)/(\d+)", args.run_chunk)
    if not m or int(m.group(2)) < 1 or int(m.group(1)) >= int(m.group(2)):
        raise UsageError("--run-chunk %r: expected I/N with 0 <= I < N" % args.run_chunk)
    i, n = int(m.group(1)), int(m.group(2))
    settings = load_settings(args.out)
    tasks = load_tasks(args.out)
    if settings is None or tasks is None:
        raise ScreenError("Error: %s is not prepared (run bvscreen --prepare or --slurm)"
                          % args.out)
    # Every chunk runner orders the structures the same way, longest first by
    # the estimate, so that each chunk gets its share of the long ones.
    chunk = sorted(tasks, key=lambda t: -t["cost"])[i::n]
    jobs = args.jobs or cpu_count()
    threads = args.threads or max(1, cpu_count() // jobs)
    sys.stderr.write("%s: chunk %d of %d: %d structures\n" % (PROG, i, n, len(chunk)))
    return run_tasks(args.out, chunk, settings, jobs, threads, args.retry_failed,
                     write_table=False)


def slurm(args, tasks, settings):
    """Writes DIR/slurm/array.sbatch (one array task per chunk of structures)
    and DIR/slurm/merge.sbatch (the table, after every chunk has ended) and,
    unless --no-submit, submits both with sbatch.  Their logs are
    DIR/slurm/chunk-JOB_I.log and merge-JOB.log."""
    out_dir = os.path.abspath(args.out)
    sdir = os.path.join(out_dir, "slurm")
    os.makedirs(sdir, exist_ok=True)
    n = args.chunks or max(1, math.ceil(len(tasks) / args.chunk_size))
    n = min(n, len(tasks)) if tasks else 1
    me = [sys.executable, os.path.realpath(sys.argv[0])]
    extra = "".join("#SBATCH %s\n" % a for a in args.sbatch)
    array = ("#!/bin/bash\n"
             "#SBATCH --job-name=bvscreen\n"
             "#SBATCH --array=0-%d\n"
             "#SBATCH --cpus-per-task=%d\n"
             "#SBATCH --output=%s\n%s"
             "exec %s --out %s --run-chunk \"$SLURM_ARRAY_TASK_ID/%d\"%s\n"
             % (n - 1, args.cpus_per_task, shlex.quote(os.path.join(sdir, "chunk-%A_%a.log")),
                extra, " ".join(shlex.quote(x) for x in me), shlex.quote(out_dir), n,
                " --retry-failed" if args.retry_failed else ""))
    merge_script = ("#!/bin/bash\n"
                    "#SBATCH --job-name=bvscreen-merge\n"
                    "#SBATCH --cpus-per-task=1\n"
                    "#SBATCH --output=%s\n%s"
                    "exec %s --out %s --merge\n"
                    % (shlex.quote(os.path.join(sdir, "merge-%j.log")), extra,
                       " ".join(shlex.quote(x) for x in me), shlex.quote(out_dir)))
    array_path = os.path.join(sdir, "array.sbatch")
    merge_path = os.path.join(sdir, "merge.sbatch")
    write_text_atomic(array_path, array)
    write_text_atomic(merge_path, merge_script)
    sys.stderr.write("%s: %d structures in %d chunks: %s, %s\n"
                     % (PROG, len(tasks), n, array_path, merge_path))
    if args.no_submit:
        return 0
    sbatch = shutil.which("sbatch")
    if not sbatch:
        raise ScreenError("Error: sbatch not found (is Slurm installed?); the scripts are in %s"
                          % sdir)
    r = subprocess.run([sbatch, "--parsable", array_path], capture_output=True, text=True)
    if r.returncode != 0:
        raise ScreenError("Error: sbatch refused the array: %s" % r.stderr.strip())
    array_id = r.stdout.strip().split(";")[0]
    sys.stderr.write("%s: submitted array job %s\n" % (PROG, array_id))
    r = subprocess.run([sbatch, "--parsable", "--dependency=afterany:" + array_id, merge_path],
                       capture_output=True, text=True)
    merge_id = r.stdout.strip().split(";")[0]
    if r.returncode != 0 or not merge_id:
        raise ScreenError("Error: sbatch refused the merge job: %s" % r.stderr.strip())
    sys.stderr.write("%s: submitted merge job %s; the table will be %s\n"
                     % (PROG, merge_id, os.path.join(out_dir, "results.csv")))
    if not args.wait:
        return 0
    status = wait_for_job(merge_id, out_dir, tasks, settings["ions"])
    if status != 0:
        sys.stderr.write("%s: the merge job ended with status %s (see %s)\n"
                         % (PROG, status, os.path.join(sdir, "merge-%s.log" % merge_id)))
        return 1
    sys.stderr.write("%s: done\n" % PROG)
    return 0


def wait_for_job(job_id, out_dir, tasks, species):
    """Polls scontrol once a second (sbatch --wait sleeps up to half a
    minute between polls) until the job has ended, reporting the rows stored
    so far every ten seconds; returns the job's exit status."""
    scontrol = shutil.which("scontrol")
    if not scontrol:
        raise ScreenError("Error: scontrol not found; cannot wait for job %s" % job_id)
    last_report, last_count = time.monotonic(), -1
    while True:
        r = subprocess.run([scontrol, "show", "job", "-o", job_id], capture_output=True, text=True)
        state = re.search(r"JobState=(\S+)", r.stdout)
        if r.returncode != 0 or not state:
            # Forgotten by the controller: it ended long ago.
            return 0 if os.path.exists(os.path.join(out_dir, "results.csv")) else 1
        if state.group(1) not in ("PENDING", "CONFIGURING", "RUNNING", "COMPLETING",
                                  "SUSPENDED", "REQUEUED", "RESIZING"):
            code = re.search(r"ExitCode=(\d+):(\d+)", r.stdout)
            if state.group(1) == "COMPLETED":
                return 0
            return int(code.group(1)) or 1 if code else 1
        if time.monotonic() - last_report >= 10:
            count = sum(1 for t in tasks for sp in species
                        if os.path.exists(row_path(out_dir, t["key"], sp)))
            if count != last_count:
                sys.stderr.write("%s: %d of %d rows stored\n"
                                 % (PROG, count, len(tasks) * len(species)))
                last_count = count
            last_report = time.monotonic()
        time.sleep(1)


USAGE = """\
bvscreen --ion Li --out DIR [--resolution 0.2] [--jobs N] [--seed S] INPUTS...
    screen on this machine; INPUTS are CIF files, directories or list files
bvscreen ... --slurm [--chunk-size K | --chunks N] [--sbatch OPTION]... [--wait]
    the same screen as a Slurm job array, merged into the table after
bvscreen ... --prepare INPUTS...        write DIR/settings.json and DIR/tasks.txt
bvscreen --out DIR --run-chunk I/N      run chunk I of N of a prepared screen
bvscreen ... --no-merge INPUTS...       run the INPUTS, store their rows only
bvscreen --out DIR --merge [INPUTS...]  write DIR/results.csv, .jsonl and the plot
bvscreen --list INPUTS...               print the CIF files the INPUTS stand for
bvscreen --plot-profile OSTREL_rp.csv OUT.svg   plot one energy profile
"""


def parse_args(argv):
    p = argparse.ArgumentParser(prog=PROG, usage=USAGE, description=__doc__.split("\n\n")[1])
    p.add_argument("inputs", nargs="*", help="CIF files, directories or list files")
    p.add_argument("--ion", action="append", help="mobile ion (Li, Na+, Mg2+); repeatable")
    p.add_argument("--out", help="screen directory")
    p.add_argument("--resolution", type=float, default=0.2, help="grid step in A (0.2)")
    p.add_argument("--jobs", type=int, default=0, help="structures at once (all cores)")
    p.add_argument("--threads", type=int, default=0,
                   help="threads of each program run (cores / jobs)")
    p.add_argument("--seed", type=int, help="seed of the random supercell assignment")
    p.add_argument("--timeout", type=float, default=0, help="seconds per program run (none)")
    p.add_argument("--retry-failed", action="store_true", help="run failed rows again")
    p.add_argument("--all-structures", action="store_true",
                   help="screen also the structures that lack the ion")
    p.add_argument("--lean", action="store_true",
                   help="remove the cube and OSTREL_events.txt once the row is read")
    p.add_argument("--plot-format", choices=("svg", "png"), help="plots as svg (default) or png")
    p.add_argument("--no-plots", action="store_true")
    p.add_argument("--velmora", help="velmora.x to run (beside bvscreen)")
    p.add_argument("--ostrel", help="ostrel to run (beside bvscreen)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--slurm", action="store_true")
    mode.add_argument("--prepare", action="store_true")
    mode.add_argument("--run-chunk", metavar="I/N")
    mode.add_argument("--no-merge", action="store_true")
    mode.add_argument("--merge", action="store_true")
    mode.add_argument("--list", action="store_true")
    mode.add_argument("--plot-profile", action="store_true")
    p.add_argument("--chunk-size", type=int, default=20, help="structures per array task (20)")
    p.add_argument("--chunks", type=int, default=0, help="number of array tasks")
    p.add_argument("--cpus-per-task", type=int, default=1)
    p.add_argument("--sbatch", action="append", default=[], metavar="OPTION",
                   help="extra sbatch option, e.g. --sbatch=--partition=short")
    p.add_argument("--wait", action="store_true", help="wait for the Slurm screen to end")
    p.add_argument("--no-submit", action="store_true", help="write the Slurm scripts only")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    try:
        if args.list:
            for path in expand_inputs(args.inputs):
                print(path)
            return 0
        if args.plot_profile:
            if len(args.inputs) != 2:
                raise UsageError("--plot-profile OSTREL_rp.csv OUT.svg")
            if not plot_profile(args.inputs[0], args.inputs[1], os.path.basename(args.inputs[1])):
                raise ScreenError("Error: matplotlib is not available (python3-matplotlib)")
            return 0
        if not args.out:
            raise UsageError("give the screen directory with --out DIR")
        if args.jobs < 0 or args.threads < 0 or args.chunk_size < 1 or args.chunks < 0 \
                or args.cpus_per_task < 1 or args.timeout < 0:
            raise UsageError("--jobs, --threads, --chunks, --chunk-size, --cpus-per-task and "
                             "--timeout take positive numbers")
        if args.merge:
            return merge(args)
        if args.run_chunk:
            return run_chunk(args)
        settings = settings_from_args(args)
        tasks = tasks_from_inputs(args.inputs)
        os.makedirs(args.out, exist_ok=True)
        settings = store_settings(args.out, settings)
        settings["ions"] = [species_name(*parse_ion(x)) for x in args.ion]
        if args.no_merge:
            jobs = args.jobs or cpu_count()
            return run_tasks(args.out, tasks, settings, jobs,
                             args.threads or max(1, cpu_count() // jobs),
                             args.retry_failed, write_table=False)
        store_tasks(args.out, tasks)
        if args.prepare:
            sys.stderr.write("%s: %d structures prepared in %s\n" % (PROG, len(tasks), args.out))
            return 0
        if args.slurm:
            return slurm(args, tasks, settings)
        jobs = args.jobs or cpu_count()
        return run_tasks(args.out, tasks, settings, jobs,
                         args.threads or max(1, cpu_count() // jobs),
                         args.retry_failed, write_table=True)
    except UsageError as e:
        sys.stderr.write("%s: %s\n%s" % (PROG, e, USAGE))
        return 2
    except ScreenError as e:
        sys.stderr.write("%s\n" % e)
        return 1
    except OSError as e:
        sys.stderr.write("Error: %s: %s\n" % (e.filename or "", e.strerror))
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""bvscreen: screen many crystal structures for fast ion conduction.

Per structure and mobile ion, in a working directory of its own, the two
programs run as a user would run them by hand: velmora.x --cal-bv
(bond-valence sums and the global instability index), velmora.x --gen-cube
(the site-energy landscape of the ion) and ostrel --path (sites, saddles,
percolation thresholds and activation energies), each writing its results
as JSON, which is all bvscreen reads of them.  A structure whose ion sites
are partly occupied is resolved at random: --draws N resolutions with seeds
S, S+1, ... give the mean, minimum, maximum and spread of every energy.
One row per structure and ion goes to DIR/results.csv and
DIR/results.jsonl, the screen's settings and provenance to
DIR/summary.json, and everything to one page, DIR/report.html.

Structures run in parallel on all cores; a screen that is interrupted resumes
where it stopped (each finished row is kept in its structure's directory and
skipped next time); a failing structure gives a row whose status is failed,
with the first error line, and the screen goes on.  The same directory can be
filled by many processes at once (GNU parallel, a Slurm job array): each
structure directory is locked while it runs, and only --merge (or a local
screen) writes the table.
"""
import argparse
import concurrent.futures
import datetime
import fcntl
import json
import math
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time


def library_directory():
    """bvscreen_lib beside this script (the source tree, the build's bin/),
    else in the installed data directory."""
    here = os.path.dirname(os.path.realpath(__file__))
    for d in (here, os.path.join(here, "..", "share", "velmora")):
        if os.path.isdir(os.path.join(d, "bvscreen_lib")):
            return d
    return here


sys.path.insert(0, library_directory())
from bvscreen_lib import inputs as inputlib  # noqa: E402
from bvscreen_lib import outputs, report  # noqa: E402
from bvscreen_lib import rows as rowlib  # noqa: E402
from bvscreen_lib.runner import Interrupted, Runner, Transient, WRITE_FAILURE, reap_leftovers  # noqa: E402

PROG = "bvscreen"
# Version and source revision, written in by the build when it copies this
# script beside the programs.
BUILD = {}

# The seed of the first draw when none is given: every run of a screen
# resolves partly occupied sites the same way.
DEFAULT_SEED = 1
MAX_SEED = 4294967295
MAX_DRAWS = 1000

# Oxidation state taken when --ion names an element only.  Mobile ions of
# the usual screens; anything else needs its charge (--ion Y3+).
DEFAULT_CHARGE = {"H": 1, "Li": 1, "Na": 1, "K": 1, "Rb": 1, "Cs": 1,
                  "Ag": 1, "Cu": 1, "Tl": 1, "Mg": 2, "Ca": 2, "Sr": 2,
                  "Ba": 2, "Zn": 2, "Al": 3, "F": -1, "Cl": -1, "Br": -1,
                  "I": -1, "O": -2, "S": -2}

# Settings that change the numbers of a row: a directory screened with
# one value is never resumed with another.
RESULT_SETTINGS = ("resolution", "seed", "draws")

SETTINGS = "settings.json"
TASKS = "tasks.json"
ROW = "row.json"
BV_JSON = "velmora_bv.json"
CUBE_JSON = "velmora_cube.json"
ANALYSIS_JSON = "OSTREL_analysis.json"
PROFILE = "profile.json"


class UsageError(Exception):
    """A bad option value or input: usage message, exit status 2."""


class ScreenError(Exception):
    """A screen that cannot start or finish: error line, exit status 1."""


def version_text():
    if not BUILD.get("version"):
        return "(run from the source tree)"
    return BUILD["version"] + (" revision " + BUILD["revision"] if BUILD.get("revision") else "")


def provenance():
    return {"bvscreen_version": version_text(),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")}


# ------------------------------------------------------------- mobile ion

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


# ------------------------------------------------- screening one structure

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


def row_path(out_dir, key, species):
    return os.path.join(out_dir, "work", key, species, ROW)


def row_needed(out_dir, key, species, retry_failed):
    """True when the row of (structure, ion) is still to be made: none
    stored, or a failed one and failures are retried."""
    old = outputs.load_json(row_path(out_dir, key, species))
    return old is None or (retry_failed and old.get("status") == "failed")


def run_structure(task, ions, out_dir, runner, retry_failed):
    """Screens one structure for every ion that has no row yet (or only a
    failed one, with retry_failed).  Returns the list of new rows, or None
    when the structure is being screened by another process."""
    todo = [(el, ch, species_name(el, ch)) for el, ch in ions
            if row_needed(out_dir, task["key"], species_name(el, ch), retry_failed)]
    if not todo:
        return []
    work = os.path.join(out_dir, "work", task["key"])
    try:
        os.makedirs(work, exist_ok=True)
        lock = lock_directory(work)
    except OSError as e:
        raise Transient("Error: cannot write %s: %s" % (e.filename or work, e.strerror))
    if lock is None:
        return None
    rows = []
    try:
        # Programs that a screen killed by SIGKILL left running here.
        reap_leftovers(work)
        for el, ch, sp in todo:
            try:
                r = screen_ion(task, work, el, ch, sp, out_dir, runner)
            except Interrupted:
                continue  # this ion's row stays missing
            except OSError as e:
                raise Transient("Error: cannot write %s: %s" % (e.filename or work, e.strerror))
            if r is not None:
                rows.append(r)
        return rows
    finally:
        lock.close()


class Step:
    """The programs of one row, run in its directory: each failure is the
    row's outcome; a failure to write is the machine's (Transient)."""

    def __init__(self, runner, work, times, warnings):
        self.runner, self.work, self.times, self.warnings = runner, work, times, warnings

    def run(self, argv, cwd, name, step, output_warnings=False):
        """The outcome of a failed run, None on success.  The warnings of
        standard error go into the row, and with output_warnings those of
        standard output too (velmora.x prints its routine remarks there)."""
        r = self.runner.run(argv, cwd, name, self.times, self.work)
        found = r.warnings + (r.out_warnings if output_warnings else [])
        self.warnings += [w for w in found if w not in self.warnings]
        if r.error and WRITE_FAILURE.search(r.error):
            raise Transient("%s (%s, in %s, %s)" % (r.error, step, cwd, free_space(cwd)))
        return None if not r.error else {"status": "failed", "message": r.error, "step": step}


def free_space(path):
    """'N MB free': the room left on the file system of path."""
    try:
        st = os.statvfs(path)
        return "%.1f MB free there" % (st.f_bavail * st.f_frsize / 1e6)
    except OSError:
        return "its free space unknown"


def read_program_json(path, what):
    doc = outputs.load_json(path)
    if doc is None:
        return None, {"status": "failed", "step": what,
                      "message": "Error: %s wrote no readable %s" % (what, os.path.basename(path))}
    return doc, None


def screen_ion(task, work, element, charge, sp, out_dir, runner):
    """One row: bond-valence sums and GII, then per draw the landscape of the
    ion and the analysis of its paths; every file in work/<ion>/ (the draws
    in draw-1/, draw-2/, ...).  None when the screen was interrupted."""
    settings = runner.settings
    if runner.stop.is_set():
        return None
    start = time.monotonic()
    ion_dir = os.path.join(work, sp)
    shutil.rmtree(ion_dir, ignore_errors=True)
    os.makedirs(ion_dir)
    info = task.get("info") or {}
    structure = {"id": inputlib.structure_id(info, task["stem"]), "file": task["path"],
                 "key": task["key"], "workdir": os.path.relpath(ion_dir, out_dir),
                 "info": info}
    times, warnings = {}, []
    step = Step(runner, work, times, warnings)
    bv, draws, outcome = None, [], None
    if task["error"]:
        outcome = {"status": "failed", "message": task["error"], "step": "read"}
    else:
        outcome = run_programs(task, ion_dir, element, charge, sp, settings, step, draws)
        bv = outputs.load_json(os.path.join(ion_dir, BV_JSON))
    if runner.stop.is_set():
        return None
    row = rowlib.build_row(structure, sp, settings, provenance(), bv=bv, draws=draws,
                           outcome=outcome, program_warnings=warnings)
    row["seconds"] = round(time.monotonic() - start, 3)
    row["program_seconds"] = times
    outputs.write_text_atomic(os.path.join(ion_dir, ROW), json.dumps(row, indent=1) + "\n")
    return row


def run_programs(task, ion_dir, element, charge, sp, settings, step, draws):
    """The program runs of one row; fills `draws` and returns the outcome
    (None when every run succeeded)."""
    velmora, ostrel = settings["velmora"], settings["ostrel"]
    cif = task["stem"] + ".cif"
    shutil.copyfile(task["path"], os.path.join(ion_dir, cif))
    failed = step.run([velmora, "--cal-bv", cif, "--json", BV_JSON], ion_dir, "bv",
                      "velmora.x --cal-bv")
    if failed:
        return failed
    bv, failed = read_program_json(os.path.join(ion_dir, BV_JSON), "velmora.x --cal-bv")
    if failed:
        return failed
    if rowlib.is_ion_absent(bv, sp) and not settings.get("all_structures"):
        return {"status": "skipped", "message": "no %s in the structure" % sp,
                "step": "velmora.x --cal-bv"}
    for k in range(settings["draws"]):
        seed = settings["seed"] + k
        draw_dir = os.path.join(ion_dir, "draw-%d" % (k + 1))
        os.makedirs(draw_dir)
        cube = task["stem"] + ".cube"
        failed = step.run([velmora, "--gen-cube", os.path.join("..", cif), element, str(charge),
                           "0", "%g" % settings["resolution"], "t", "t", cube,
                           "--seed", str(seed), "--json", CUBE_JSON],
                          draw_dir, "cube", "velmora.x --gen-cube")
        if not failed:
            made, failed = read_program_json(os.path.join(draw_dir, CUBE_JSON),
                                             "velmora.x --gen-cube")
        if failed:
            return with_draw(failed, k)
        # A structure whose ion sites are partly occupied is resolved in a
        # supercell; the cube belongs to that supercell, so the analyzer
        # gets its CIF.
        resolved = made.get("resolved_supercell")
        cif_analysed = resolved["cif"] if resolved else os.path.join("..", cif)
        failed = step.run([ostrel, "--cube", cube, "--cif", cif_analysed, sp, "--path",
                           "--json", ANALYSIS_JSON], draw_dir, "ostrel", "ostrel",
                          output_warnings=True)
        if not failed:
            analysis, failed = read_program_json(os.path.join(draw_dir, ANALYSIS_JSON),
                                                 "ostrel")
        if failed:
            return with_draw(failed, k)
        if k == 0:
            save_profile(draw_dir, ion_dir)
        if settings.get("lean"):
            # the two big files: the landscape and the threshold summary, which
            # for a supercell lists every hop of every cluster at every threshold
            for name in (cube, "OSTREL_events.txt"):
                os.remove(os.path.join(draw_dir, name))
        draws.append({"seed": seed, "cube": made, "analysis": analysis,
                      "workdir": os.path.relpath(draw_dir, ion_dir), "cif_analysed": cif_analysed})
        # Without random numbers every draw would be the same landscape.
        if not made.get("random_numbers_drawn"):
            break
    return None


def with_draw(failed, k):
    if k > 0:
        failed = dict(failed, message="draw %d: %s" % (k + 1, failed["message"]))
    return failed


def save_profile(draw_dir, ion_dir):
    """The percolating pathways of the first draw as data, for the report
    and the profile plot."""
    rp = os.path.join(draw_dir, "OSTREL_rp.csv")
    try:
        pathways = outputs.profile_from_pathways(outputs.read_pathways(rp))
    except (OSError, ValueError):
        return
    outputs.write_text_atomic(os.path.join(ion_dir, PROFILE), json.dumps(pathways) + "\n")


# -------------------------------------------------------- tables and plots

def collect_rows(out_dir, tasks, ions):
    """The stored rows of the tasks, in task order and then ion order;
    returns (rows, number of (task, ion) pairs without a row)."""
    rows, missing = [], 0
    for t in tasks:
        for sp in ions:
            r = outputs.load_json(row_path(out_dir, t["key"], sp))
            if r is None:
                missing += 1
            else:
                rows.append(r)
    return rows, missing


def profile_plots(out_dir, rows, plot_format):
    """The energy profile of every row that has one: data for the report,
    and a plot in DIR/profiles/ (made once)."""
    profiles = {}
    for r in rows:
        if not r.get("workdir"):
            continue
        pathways = outputs.load_json(os.path.join(out_dir, r["workdir"], PROFILE))
        if pathways is None:
            continue
        profiles[r["key"] + "/" + r["ion"]] = pathways
        if not plot_format:
            continue
        name = os.path.join("profiles", "%s_%s.%s" % (r["key"], r["ion"], plot_format))
        path = os.path.join(out_dir, name)
        if not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if not outputs.plot_profile(pathways, path, "%s %s, %s" % (r["id"], r["formula"],
                                                                        r["ion"])):
                continue
        r["profile_plot"] = name
    return profiles


def write_all(out_dir, rows, settings, missing, final=True):
    """The tables; at the end of a screen also the plots and the report."""
    prov = provenance()
    plot_format = settings.get("plot_format") if final else None
    profiles = profile_plots(out_dir, rows, plot_format) if final else {}
    outputs.write_tables(out_dir, rows, settings, missing, prov)
    if not final:
        return
    if plot_format:
        outputs.plot_screen(rows, os.path.join(out_dir, "results." + plot_format))
    summary = outputs.summary_document(rows, settings, missing, prov)
    outputs.write_text_atomic(os.path.join(out_dir, "report.html"),
                              report.report_html(rows, profiles, summary,
                                                 "bvscreen: %s" % os.path.basename(
                                                     os.path.abspath(out_dir))))


# ------------------------------------------------------------- progress

class Progress:
    """done / total, failures and time left, one line per finished row on
    standard error (rewritten in place on a terminal)."""

    def __init__(self, total, already):
        self.total, self.done, self.failed = total, already, 0
        self.fresh = 0
        self.start = time.monotonic()
        self.tty = sys.stderr.isatty()

    def update(self, row):
        self.done += 1
        self.fresh += 1
        if row["status"] == "failed":
            self.failed += 1
        elapsed = time.monotonic() - self.start
        left = (self.total - self.done) * elapsed / self.fresh
        status = row["status"] + (": " + row["message"] if row["message"] else "")
        status = status if len(status) < 70 else status[:67] + "..."
        line = "[%d/%d] %s %s %.1f s: %s | failures %d | left %s" % (
            self.done, self.total, row["id"], row["ion"], row["seconds"] or 0, status,
            self.failed, clock(left))
        sys.stderr.write(("\r\033[K" + line) if self.tty else line + "\n")
        sys.stderr.flush()

    def finish(self):
        if self.tty and self.fresh:
            sys.stderr.write("\n")


def status_counts(rows):
    kinds = [r["status"] for r in rows]
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
    if os.environ.get("SLURM_CPUS_PER_TASK", "").isdigit():
        return max(1, int(os.environ["SLURM_CPUS_PER_TASK"]))
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
    s = outputs.load_json(path)
    if s is None:
        raise ScreenError("Error: %s is not readable" % path)
    if s.get("schema_version") != rowlib.SCHEMA_VERSION:
        raise ScreenError("Error: %s holds a screen of an older bvscreen (rows of schema %s, "
                          "not %d); use another --out" % (out_dir, s.get("schema_version", 1),
                                                          rowlib.SCHEMA_VERSION))
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
    outputs.write_text_atomic(os.path.join(out_dir, SETTINGS),
                              json.dumps(settings, indent=1) + "\n")
    return settings


def store_tasks(out_dir, tasks):
    """DIR/tasks.json: the structures' paths as a JSON list (any character
    may be part of a file name, a newline too)."""
    outputs.write_text_atomic(os.path.join(out_dir, TASKS),
                              json.dumps([t["path"] for t in tasks], indent=0) + "\n")


def load_tasks(out_dir):
    paths = outputs.load_json(os.path.join(out_dir, TASKS))
    if paths is None:
        return None
    return inputlib.unique_tasks([inputlib.make_task(p) for p in paths])[0]


def ion_list(settings):
    return [parse_ion(sp) for sp in settings["ions"]]


def run_tasks(out_dir, tasks, settings, jobs, threads, retry_failed, write_table):
    """Runs the tasks on `jobs` workers, longest first.  Returns the exit
    status: 0 when every task has its rows, 1 when some are missing
    (interrupted, locked by another process, or stopped by a failure to
    write), 130/143 on SIGINT/SIGTERM."""
    ions = ion_list(settings)
    species = [species_name(*i) for i in ions]
    todo = {t["key"]: sum(1 for sp in species if row_needed(out_dir, t["key"], sp, retry_failed))
            for t in tasks}
    pending = sorted((t for t in tasks if todo[t["key"]]), key=lambda t: -t["cost"])
    total = len(tasks) * len(ions)
    already = total - sum(todo.values())
    sys.stderr.write("%s: %d structures x %d ions = %d rows; %d done before; "
                     "running %d structures on %d workers (%d threads each)\n"
                     % (PROG, len(tasks), len(ions), total, already, len(pending), jobs, threads))
    runner = Runner(settings, threads)
    progress = Progress(total, already)
    got_signal, stopped = [], []

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
                    try:
                        new = f.result()
                    except Transient as e:
                        # The machine, not the structure: stop, store nothing.
                        stopped.append("%s; no row stored for %s" % (e, futures[f]["path"]))
                        runner.interrupt()
                        continue
                    if new is None:
                        busy += 1
                        continue
                    for r in new:
                        progress.update(r)
                if write_table and not stopped and time.monotonic() - last_table > 30:
                    rows, missing = collect_rows(out_dir, tasks, species)
                    write_all(out_dir, rows, settings, missing, final=False)
                    last_table = time.monotonic()
    finally:
        for s, h in old_handlers.items():
            signal.signal(s, h)
        progress.finish()
    for message in stopped:
        sys.stderr.write(message + "\n")
    rows, missing = collect_rows(out_dir, tasks, species)
    if write_table and not stopped:
        write_all(out_dir, rows, settings, missing)
    where = " in %s" % os.path.join(out_dir, "results.csv") if write_table and not stopped else ""
    sys.stderr.write("%s: %d rows%s: %s; %d missing\n"
                     % (PROG, len(rows), where, status_counts(rows), missing))
    if got_signal:
        sys.stderr.write("%s: interrupted; run the same command again to resume\n" % PROG)
        return 128 + got_signal[0]
    if stopped:
        sys.stderr.write("%s: stopped; run the same command again once the files can be "
                         "written\n" % PROG)
        return 1
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
    if not (1 <= args.draws <= MAX_DRAWS):
        raise UsageError("--draws %d: expected 1 to %d" % (args.draws, MAX_DRAWS))
    if not (0 <= args.seed <= MAX_SEED - (args.draws - 1)):
        raise UsageError("--seed %d: expected 0 to %d (the draws take seeds S to S+%d)"
                         % (args.seed, MAX_SEED - (args.draws - 1), args.draws - 1))
    return {"schema_version": rowlib.SCHEMA_VERSION, "ions": ions,
            "resolution": args.resolution, "seed": args.seed, "draws": args.draws,
            "velmora": find_program("velmora.x", args.velmora),
            "ostrel": find_program("ostrel", args.ostrel),
            "timeout": args.timeout, "all_structures": args.all_structures, "lean": args.lean,
            "plot_format": None if args.no_plots else (args.plot_format or "svg")}


def tasks_from_inputs(args):
    try:
        paths = inputlib.expand_inputs(args.inputs, args.list)
    except inputlib.InputError as e:
        raise UsageError(str(e))
    tasks, repeats = inputlib.unique_tasks([inputlib.make_task(p) for p in paths])
    if repeats:
        sys.stderr.write("%s: %d inputs repeat another of the same name and content and are "
                         "screened once: %s\n" % (PROG, len(repeats), inputlib.shown(repeats)))
    return tasks


def merge(args):
    """Writes the table from the rows stored under DIR: the structures of
    INPUTS when given, else those of DIR/tasks.json, else every row found."""
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
    if args.inputs or args.list:
        tasks = tasks_from_inputs(args)
        store_tasks(out_dir, tasks)
    else:
        tasks = load_tasks(out_dir)
        if tasks is None:
            work = os.path.join(out_dir, "work")
            tasks = [{"key": k} for k in sorted(os.listdir(work))] if os.path.isdir(work) else []
    rows, missing = collect_rows(out_dir, tasks, settings["ions"])
    write_all(out_dir, rows, settings, missing)
    sys.stderr.write("%s: merged %d rows into %s: %s; %d missing\n"
                     % (PROG, len(rows), os.path.join(out_dir, "results.csv"),
                        status_counts(rows), missing))
    return 1 if missing else 0


def run_chunk(args):
    """One chunk (I/N: every N-th structure from the I-th) of DIR/tasks.json
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


def sbatch_lines(args):
    """#SBATCH lines of the options many clusters require, and the others
    given with --sbatch."""
    lines = []
    if args.sbatch_time:
        lines.append("--time=%s" % args.sbatch_time)
    if args.sbatch_mem:
        lines.append("--mem=%s" % args.sbatch_mem)
    return "".join("#SBATCH %s\n" % a for a in lines + args.sbatch)


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
    extra = sbatch_lines(args)
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
    outputs.write_text_atomic(array_path, array)
    outputs.write_text_atomic(merge_path, merge_script)
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


def print_versions(args):
    print("bvscreen %s" % version_text())
    for name, given in (("velmora.x", args.velmora), ("ostrel", args.ostrel)):
        try:
            path = find_program(name, given)
            out = subprocess.run([path, "--version"], capture_output=True, text=True,
                                 timeout=30).stdout.strip().splitlines()
            print("%s: %s (%s)" % (name, out[0].strip() if out else "?", path))
        except (ScreenError, OSError, subprocess.SubprocessError):
            print("%s: not found" % name)
    return 0


USAGE = """\
bvscreen --ion Li --out DIR [--resolution 0.2] [--jobs N] [--seed S] [--draws N] INPUTS...
    screen on this machine; INPUTS are CIF files (any name), directories (every
    *.cif below) and @LIST or --list LIST files (one path per line)
bvscreen ... --slurm [--chunk-size K | --chunks N] [--sbatch-time T] [--sbatch-mem M]
             [--sbatch OPTION]... [--wait]
    the same screen as a Slurm job array, merged into the table after
bvscreen ... --prepare INPUTS...        write DIR/settings.json and DIR/tasks.json
bvscreen --out DIR --run-chunk I/N      run chunk I of N of a prepared screen
bvscreen ... --no-merge INPUTS...       run the INPUTS, store their rows only
bvscreen --out DIR --merge [INPUTS...]  write the tables, the plots and DIR/report.html
bvscreen --print-inputs [-0] INPUTS...  print the CIF files the INPUTS stand for
bvscreen --plot-profile OSTREL_rp.csv OUT.svg   plot one energy profile
bvscreen --version                      versions of bvscreen, velmora.x and ostrel
"""


def parse_args(argv):
    p = argparse.ArgumentParser(prog=PROG, usage=USAGE, description=__doc__.split("\n\n")[1])
    p.add_argument("inputs", nargs="*", help="CIF files, directories or @LIST files")
    p.add_argument("--list", action="append", default=[], metavar="FILE",
                   help="a file listing structures, one path per line; repeatable")
    p.add_argument("--ion", action="append", help="mobile ion (Li, Na+, Mg2+); repeatable")
    p.add_argument("--out", help="screen directory")
    p.add_argument("--resolution", type=float, default=0.2, help="grid step in A (0.2)")
    p.add_argument("--jobs", type=int, default=0, help="structures at once (all cores)")
    p.add_argument("--threads", type=int, default=0,
                   help="threads of each program run (cores / jobs)")
    p.add_argument("--seed", type=int, default=DEFAULT_SEED,
                   help="seed of the first draw of partly occupied sites (%d)" % DEFAULT_SEED)
    p.add_argument("--draws", type=int, default=1,
                   help="independent resolutions of partly occupied sites per structure (1)")
    p.add_argument("--timeout", type=float, default=0, help="seconds per program run (none)")
    p.add_argument("--retry-failed", action="store_true", help="run failed rows again")
    p.add_argument("--all-structures", action="store_true",
                   help="screen also the structures that lack the ion (rows marked suspect)")
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
    mode.add_argument("--print-inputs", action="store_true")
    mode.add_argument("--plot-profile", action="store_true")
    mode.add_argument("--version", action="store_true")
    p.add_argument("-0", "--null", action="store_true",
                   help="--print-inputs: end each path with a NUL byte, not a newline")
    p.add_argument("--chunk-size", type=int, default=20, help="structures per array task (20)")
    p.add_argument("--chunks", type=int, default=0, help="number of array tasks")
    p.add_argument("--cpus-per-task", type=int, default=1)
    p.add_argument("--sbatch-time", metavar="T", help="time limit of each job, e.g. 02:00:00")
    p.add_argument("--sbatch-mem", metavar="M", help="memory of each job, e.g. 4G")
    p.add_argument("--sbatch", action="append", default=[], metavar="OPTION",
                   help="extra sbatch option, e.g. --sbatch=--partition=short")
    p.add_argument("--wait", action="store_true", help="wait for the Slurm screen to end")
    p.add_argument("--no-submit", action="store_true", help="write the Slurm scripts only")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    try:
        if args.version:
            return print_versions(args)
        if args.print_inputs:
            try:
                paths = inputlib.expand_inputs(args.inputs, args.list)
            except inputlib.InputError as e:
                raise UsageError(str(e))
            end = "\0" if args.null else "\n"
            if not args.null and any("\n" in p for p in paths):
                raise UsageError("a file name holds a newline: list them with --print-inputs -0")
            sys.stdout.write("".join(p + end for p in paths))
            return 0
        if args.plot_profile:
            if len(args.inputs) != 2:
                raise UsageError("--plot-profile OSTREL_rp.csv OUT.svg")
            pathways = outputs.profile_from_pathways(outputs.read_pathways(args.inputs[0]))
            if not outputs.plot_profile(pathways, args.inputs[1], os.path.basename(args.inputs[1])):
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
        tasks = tasks_from_inputs(args)
        os.makedirs(args.out, exist_ok=True)
        settings = store_settings(args.out, settings)
        settings["ions"] = [species_name(*parse_ion(x)) for x in args.ion]
        jobs = args.jobs or cpu_count()
        threads = args.threads or max(1, cpu_count() // jobs)
        if args.no_merge:
            return run_tasks(args.out, tasks, settings, jobs, threads, args.retry_failed,
                             write_table=False)
        store_tasks(args.out, tasks)
        if args.prepare:
            sys.stderr.write("%s: %d structures prepared in %s\n" % (PROG, len(tasks), args.out))
            return 0
        if args.slurm:
            return slurm(args, tasks, settings)
        return run_tasks(args.out, tasks, settings, jobs, threads, args.retry_failed,
                         write_table=True)
    except UsageError as e:
        sys.stderr.write("%s: %s\n%s" % (PROG, e, USAGE))
        return 2
    except (ScreenError, Transient) as e:
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

"""What a screen writes besides the programs' own files: every file whole
under a temporary name and then renamed (a full disk names the file and
leaves no temporary file behind), the tables (results.csv, results.jsonl,
summary.json), the energy profile of a structure's percolating pathways
(from OSTREL_rp.csv, as data and as a plot) and the overview plot."""
import csv
import io
import json
import os
import threading

from . import rows as rowlib
from .runner import Transient

# ---------------------------------------------------------------- files


def write_bytes_atomic(path, data):
    """Writes data to path through a temporary name in the same directory;
    on failure the temporary file is removed and Transient names the file."""
    tmp = "%s.tmp%d.%d" % (path, os.getpid(), threading.get_ident())
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except OSError as e:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise Transient("Error: cannot write %s: %s" % (path, e.strerror or e))


def write_text_atomic(path, text):
    write_bytes_atomic(path, text.encode("utf-8"))


def load_json(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


# --------------------------------------------------------------- tables

def csv_value(key, value):
    if value is None:
        return ""
    if isinstance(value, list):
        return " | ".join(str(v) for v in value)
    if isinstance(value, float):
        return "%.2f" % value if key == "seconds" else "%.6f" % value
    return value


def csv_text(rows):
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(rowlib.COLUMNS)
    for r in rows:
        w.writerow([csv_value(k, r.get(k)) for k in rowlib.COLUMNS])
    return buf.getvalue()


def summary_document(rows, settings, missing, provenance):
    """DIR/summary.json: what the screen was, with which programs, the units
    of every energy column, and how many rows of each status it holds."""
    kinds = [r["status"] for r in rows]
    programs = {}
    for key in ("velmora_version", "ostrel_version"):
        programs[key] = sorted({r[key] for r in rows if r.get(key)})
    return {
        "schema_version": rowlib.SCHEMA_VERSION,
        "program": "bvscreen", "version": provenance.get("bvscreen_version"),
        "date": provenance.get("date"),
        "settings": {k: settings.get(k) for k in ("ions", "resolution", "seed", "draws",
                                                  "timeout", "all_structures")},
        "programs": programs,
        "units": dict(rowlib.UNITS, energy="eV", length="A"),
        "columns": rowlib.COLUMNS,
        "ranking": "threshold_1d_eV, threshold_2d_eV, threshold_3d_eV: measured from the "
                   "landscape's global minimum",
        "counts": {k: kinds.count(k) for k in ("ok", "suspect", "failed", "skipped")},
        "rows": len(rows), "missing": missing,
    }


def write_tables(out_dir, rows, settings, missing, provenance):
    """results.csv (header, one row per structure and ion, empty cells for
    missing values), results.jsonl (one JSON object per row) and
    summary.json."""
    write_text_atomic(os.path.join(out_dir, "results.csv"), csv_text(rows))
    write_text_atomic(os.path.join(out_dir, "results.jsonl"),
                      "".join(json.dumps(r) + "\n" for r in rows))
    write_text_atomic(os.path.join(out_dir, "summary.json"),
                      json.dumps(summary_document(rows, settings, missing, provenance),
                                 indent=1) + "\n")


# ------------------------------------------------------ energy profiles

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
            f_ = line.split(",")
            if len(f_) < 2:
                continue
            try:
                x, e = float(f_[0]), float(f_[1])
            except ValueError:
                continue
            if len(f_) >= 6:
                segments[-1].append((x, e, "site", f_[2], int(f_[3]), int(f_[4])))
            elif len(f_) == 3:
                segments[-1].append((x, e, "saddle", f_[2].split()[0], -1, -1))
            else:
                segments[-1].append((x, e, "", "", -1, -1))
    return [s for s in segments if s]


def thin(points, most):
    """At most `most` points of a segment, every site and saddle kept."""
    if len(points) <= most:
        return points
    step = len(points) / float(most)
    keep = {int(i * step) for i in range(most)} | {len(points) - 1}
    return [p for i, p in enumerate(points) if i in keep or p[2]]


def profile_from_pathways(segments, most=200):
    """The percolating reaction pathways as plain data: per pathway its
    number, the highest dimension its hops percolate in, whether it is a
    ribbon, and its segments of [distance, energy, kind, label] points.  A
    pathway's hops carry the dimension of the cluster they belong to (4: a
    1D ribbon, 0: a closed cluster); it is kept when one of them percolates."""
    pathways = {}
    for seg in segments:
        starts = [(p[5], p[4]) for p in seg if p[2] == "site" and p[4] >= 0]
        if starts:
            pathways.setdefault(starts[0][0], []).append((seg, [c for _, c in starts]))
    out = []
    for number, parts in sorted(pathways.items()):
        colours = [c for _, cs in parts for c in cs]
        dims = [1 if c == 4 else c for c in colours]
        if max(dims) < 1:
            continue
        out.append({"pathway": number + 1, "dimension": max(dims),
                    "ribbon": max(dims) == 1 and all(c == 4 for c in colours if c > 0),
                    "segments": [[[round(p[0], 4), round(p[1], 6), p[2], p[3]]
                                  for p in thin(seg, most)] for seg, _ in parts]})
    return out


_matplotlib = None
PLOT_LOCK = threading.Lock()


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
    buf = io.BytesIO()
    fig.savefig(buf, format=os.path.splitext(path)[1][1:].lower())
    write_bytes_atomic(path, buf.getvalue())


def labelled(points, span):
    """(x, energy, label) of the points whose labels have room: at least
    1.5 % of the plot's width after the last one labelled."""
    out, last = [], None
    for x, e, _, name in points:
        if last is None or x - last >= 0.015 * span:
            out.append((x, e, name))
            last = x
    return out


def plot_profile(pathways, out_path, title):
    """Energy against distance along the percolating pathways, sites as
    circles and saddles as triangles with their labels.  False without
    matplotlib."""
    span = max([p[0] for pw in pathways for seg in pw["segments"] for p in seg] + [1.0])
    with PLOT_LOCK:
        fig = matplotlib_figure()
        if fig is None:
            return False
        fig.set_size_inches(7, 4)
        fig.subplots_adjust(left=0.1, right=0.98, bottom=0.13, top=0.92)
        ax = fig.add_subplot()
        for pw in pathways:
            colour = "C%d" % ((pw["pathway"] - 1) % 10)
            label = "pathway %d: %dD%s" % (pw["pathway"], pw["dimension"],
                                           " ribbon" if pw["ribbon"] else "")
            for k, seg in enumerate(pw["segments"]):
                ax.plot([p[0] for p in seg], [p[1] for p in seg], "-", lw=1.2, color=colour,
                        label=label if k == 0 else None)
                sites = [p for p in seg if p[2] == "site"]
                saddles = [p for p in seg if p[2] == "saddle"]
                ax.plot([p[0] for p in sites], [p[1] for p in sites], "o", color=colour, ms=5)
                ax.plot([p[0] for p in saddles], [p[1] for p in saddles], "^", color="k", ms=5)
                for x, e, name in labelled(sites, span):
                    ax.text(x, e, name, ha="center", va="top", fontsize=7)
                for x, e, name in labelled(saddles, span):
                    ax.text(x, e, name + "\n", ha="center", va="bottom", fontsize=7)
        if not pathways:
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


def is_suspect(row):
    return row.get("status") == "suspect"


def plot_screen(rows, out_path):
    """The table at a glance: per ion, the 1D, 2D and 3D thresholds from the
    global minimum of every structure that has one, ranked by the 1D
    threshold, labelled by formula; the range over the draws as error bars;
    suspect rows hollow and red.  False without matplotlib or without a
    single threshold."""
    ions = []
    for r in rows:
        if r["ion"] not in ions:
            ions.append(r["ion"])
    data = []
    for ion in ions:
        done = [r for r in rows if r["ion"] == ion and r.get("status") in ("ok", "suspect")
                and any(r.get("threshold_%s_eV" % d) is not None for d in rowlib.DIMENSIONS)]
        big = 1e9
        done.sort(key=lambda r: (r.get("threshold_1d_eV") if r.get("threshold_1d_eV")
                                 is not None else big, r["id"]))
        data.append((ion, done))
    if not any(done for _, done in data):
        return False
    with PLOT_LOCK:
        fig = matplotlib_figure()
        if fig is None:
            return False
        widest = max(len(done) for _, done in data)
        fig.set_size_inches(min(4 + 0.2 * widest, 30), 3.6 * len(data) + 0.8)
        for k, (ion, done) in enumerate(data):
            ax = fig.add_subplot(len(data), 1, k + 1)
            for d, marker, colour in (("1d", "v", "C0"), ("2d", "s", "C1"), ("3d", "o", "C2")):
                key = "threshold_%s_eV" % d
                for suspect in (False, True):
                    pts = [(i, r) for i, r in enumerate(done)
                           if r.get(key) is not None and is_suspect(r) == suspect]
                    if not pts:
                        continue
                    ys = [r[key] for _, r in pts]
                    lo = [r[key] - (r.get(key + "_min") if r.get(key + "_min") is not None
                                    else r[key]) for _, r in pts]
                    hi = [(r.get(key + "_max") if r.get(key + "_max") is not None
                           else r[key]) - r[key] for _, r in pts]
                    ax.errorbar([i for i, _ in pts], ys, yerr=[lo, hi], fmt=marker, ms=4,
                                color="red" if suspect else colour, capsize=2, elinewidth=0.8,
                                mfc="none" if suspect else colour,
                                label=("%s suspect" % d.upper()) if suspect else d.upper())
            if len(done) <= 80:
                ax.set_xticks(range(len(done)))
                ax.set_xticklabels([(r["formula"] or r["id"]) + (" (?)" if is_suspect(r) else "")
                                    for r in done], rotation=90, fontsize=6)
                for tick, r in zip(ax.get_xticklabels(), done):
                    if is_suspect(r):
                        tick.set_color("red")
            ax.set_ylabel("threshold from the global minimum (eV)", fontsize=8)
            ax.set_title("%s: %d structures ranked by the 1D threshold (bars: range over the "
                         "draws; red: suspect)" % (ion, len(done)), fontsize=9)
            ax.grid(axis="y", lw=0.3)
            ax.legend(fontsize=7, loc="upper left", ncol=2)
        fig.tight_layout()
        save_figure(fig, out_path)
    return True

"""DIR/report.html: one self-contained page (its style, script and data all
inline, nothing fetched from the network) with the screen's sortable and
filterable table, scatter plots of the thresholds and the GII, and per
structure its energy profile and a link to its files."""
import html
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Row keys the page shows; the rest of a row stays in results.jsonl.
KEYS = ["id", "formula", "space_group", "ion", "status", "message", "directions", "gii",
        "draws", "seed", "warnings", "seconds", "file", "workdir", "key", "profile_plot"] + \
    ["percolation_%s" % d for d in ("1d", "2d", "3d")] + \
    ["%s_%s_eV%s" % (kind, d, s) for kind in ("threshold", "ea") for d in ("1d", "2d", "3d")
     for s in ("", "_min", "_max")]

PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>%(title)s</title>
<style>
%(css)s
</style>
</head>
<body>
<h1>%(title)s</h1>
<div class="meta" id="meta"></div>
<pre id="errors"></pre>
<h2>Thresholds</h2>
<div id="plots"></div>
<h2>Structures</h2>
<div class="controls">
<input type="search" id="filter" placeholder="filter: formula, id, warning, ...">
<label><input type="checkbox" class="status" value="ok" checked> ok</label>
<label><input type="checkbox" class="status" value="suspect" checked> suspect</label>
<label><input type="checkbox" class="status" value="failed" checked> failed</label>
<label><input type="checkbox" class="status" value="skipped"> skipped</label>
<select id="ion"><option value="">every ion</option></select>
<span id="count"></span>
</div>
<div id="detail"></div>
<table><thead><tr id="head"></tr></thead><tbody id="body"></tbody></table>
<script>
const SCREEN = %(data)s;
</script>
<script>
%(js)s
</script>
</body>
</html>
"""


def script_json(value):
    """JSON that can stand inside a <script> element: no '</' to end it
    early, and the line separators JavaScript once disallowed escaped."""
    text = json.dumps(value, separators=(",", ":"))
    return text.replace("</", "<\\/").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def read_asset(name):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read()


def report_html(rows, profiles, summary, title):
    """The page for the rows; profiles maps 'key/ion' to the percolating
    pathways of outputs.profile_from_pathways."""
    data = {"rows": [{k: r.get(k) for k in KEYS} for r in rows],
            "profiles": profiles, "summary": summary}
    return PAGE % {"title": html.escape(title), "css": read_asset("report.css"),
                   "js": read_asset("report.js"), "data": script_json(data)}

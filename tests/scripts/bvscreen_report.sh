#!/usr/bin/env bash
# DIR/report.html of a small screen (ordered, suspect, failed and skipped
# rows, and a partly occupied structure with two draws) in headless
# Chromium: it loads without a console error, an exception or a request
# beyond its own file; the table holds the rows, sorts by a click on a
# column and filters by text and status; the scatter plots hold a point per
# row with both values, the suspect row as a red ring, the draws' range as
# bars; a click on a row shows its energy profile; a screenshot is taken.
# Also the page itself: one file, no external script, style or link.
# Skipped (77) without chromium.
set -u
: "${BVSCREEN:?}" "${BV_SCRATCH:?}" "${BV_TEST_DATA_DIR:?}" "${BV_SOURCE_DIR:?}"
PY=${PYTHON:-/usr/bin/python3}
CHROMIUM=$(command -v chromium || command -v chromium-browser) \
  || { echo "skipped: chromium is not installed (Debian package chromium)"; exit 77; }
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }

mkdir in
cp "$BV_TEST_DATA_DIR/cif/Li2O.cif" "$BV_TEST_DATA_DIR/screen/LiCoO2.cif" \
   "$BV_TEST_DATA_DIR/cube/LiNaO_partial.cif" in/
sed 's/^_cell_length_\([abc]\) .*/_cell_length_\1 3.2/' in/Li2O.cif >in/squeezed.cif
echo "no CIF" >in/broken.cif
"$BVSCREEN" --ion Li --ion Na --out screen --resolution 0.4 --draws 2 --jobs 2 in 2>err.txt \
  || { bad "screen failed"; cat err.txt; }
[ -s screen/report.html ] || { bad "no report.html"; exit 1; }
# One file: every script and style inline, nothing to fetch.
grep -Eiq '<script[^>]+src=|<link[^>]+href=|@import|url\(' screen/report.html \
  && bad "the report refers to other files"

"$PY" - "$CHROMIUM" "$BV_SOURCE_DIR/tests/scripts/lib" <<'PYEOF' || fail=1
import json, struct, sys
sys.path.insert(0, sys.argv[2])
from headless_page import Page
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)
rows = [json.loads(l) for l in open("screen/results.jsonl")]
shown = [r for r in rows if r["status"] != "skipped"]
page = Page(sys.argv[1])
try:
    page.open("screen/report.html")
    n = page.evaluate("document.querySelectorAll('#body tr').length")
    check(n == len(shown), "table rows %r, expected %d (skipped hidden)" % (n, len(shown)))
    check(page.evaluate("document.getElementById('errors').textContent") == "", "script errors shown")
    # sorting: the 1D threshold column, ascending then descending, empty last
    col = page.evaluate("Array.from(document.querySelectorAll('#head th')).findIndex("
                        "t => t.textContent.startsWith('1D threshold'))")
    values = lambda: page.evaluate(
        "Array.from(document.querySelectorAll('#body tr')).map(tr => tr.children[%d].firstChild"
        " ? tr.children[%d].firstChild.textContent : '')" % (col, col))
    numbers = [float(v) for v in values() if v]
    check(numbers == sorted(numbers) and len(numbers) >= 3, "ascending 1D thresholds %r" % numbers)
    page.evaluate("document.querySelectorAll('#head th')[%d].click()" % col)
    v = values()
    numbers = [float(x) for x in v if x]
    check(numbers == sorted(numbers, reverse=True), "descending 1D thresholds %r" % numbers)
    check(v[-1] == "" and v[0] != "", "empty values not last: %r" % v)
    # filtering by text, then by status
    page.evaluate("{ const f = document.getElementById('filter'); f.value = 'CoLiO2';"
                  "f.dispatchEvent(new Event('input')) }")
    check(page.evaluate("document.querySelectorAll('#body tr').length") == 1, "text filter")
    page.evaluate("{ const f = document.getElementById('filter'); f.value = '';"
                  "f.dispatchEvent(new Event('input'));"
                  "document.querySelector('input.status[value=skipped]').click() }")
    check(page.evaluate("document.querySelectorAll('#body tr').length") == len(rows),
          "skipped rows not shown when asked")
    # scatter plots: six, a point per row with both values
    plots = page.evaluate("Array.from(document.querySelectorAll('svg.plot')).map(s => [s.dataset.x,"
                          " s.dataset.y, s.querySelectorAll('circle').length,"
                          " s.querySelectorAll('circle.suspect').length, s.querySelectorAll('line.bar').length])")
    check(len(plots) == 6, "%d scatter plots" % len(plots))
    for x, y, circles, suspect, bars in plots:
        both = [r for r in rows if r.get(x) is not None and r.get(y) is not None]
        check(circles == len(both), "plot %s/%s: %d points, %d rows" % (x, y, circles, len(both)))
        check(suspect == sum(r["status"] == "suspect" for r in both), "plot %s/%s suspect points" % (x, y))
        wide = lambda r, k: k != "gii" and r[k + "_max"] > r[k + "_min"]
        spread = [r for r in both if r["draws"] > 1 and (wide(r, x) or wide(r, y))]
        check(bars >= len(spread) and (bars > 0) == (len(spread) > 0), "plot %s/%s: %d bars for %d spread rows"
              % (x, y, bars, len(spread)))
    check(any(p[3] for p in plots), "no suspect point drawn")
    # a row's detail: its energy profile
    index = next(i for i, r in enumerate(rows) if r["id"] == "Li2O" and r["ion"] == "Li1+")
    page.evaluate("document.querySelector('#body tr[data-index=\"%d\"]').click()" % index)
    check(page.evaluate("document.querySelectorAll('#detail svg.profile polyline').length") > 0,
          "no profile drawn for Li2O")
    check("Li2O" in page.evaluate("document.getElementById('detail').textContent"), "detail heading")
    check(page.evaluate("document.querySelector('#detail a').getAttribute('href')") == rows[index]["workdir"] + "/",
          "link to the row's files")
    png = page.screenshot("report.png")
    w, h = struct.unpack(">II", png[16:24])
    check(png[:8] == b"\x89PNG\r\n\x1a\n" and w >= 800 and h >= 600 and len(png) > 20000,
          "screenshot %dx%d, %d bytes" % (w, h, len(png)))
    problems += page.problems()
finally:
    page.close()
for p in problems:
    print("FAIL:", p)
sys.exit(1 if problems else 0)
PYEOF
[ -s report.png ] || bad "no screenshot"
exit $fail

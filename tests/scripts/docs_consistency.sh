#!/usr/bin/env bash
# The manual against the code: links and anchors resolve, README.md stays
# under 200 lines, CITATION.cff carries the project's version, and
# docs/formats.md describes every key that velmora.x --cal-bv/--gen-cube
# --json and ostrel --json write on Na3PS4 (and every bvscreen column).
# The picture script of the manual runs on the same files when matplotlib
# is installed.
set -u
: "${VELMORA:?}" "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}"
PYTHON=${PYTHON:-/usr/bin/python3}
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
cp "$BV_SOURCE_DIR/examples/Na3PS4.cif" .
"$VELMORA" --cal-bv Na3PS4.cif --json bv.json >bv.out 2>&1 || { echo "FAIL: --cal-bv --json"; fail=1; }
"$VELMORA" --gen-cube Na3PS4.cif Na 1 0 0.4 t t Na3PS4.cube --json cube.json >cube.out 2>&1 \
  || { echo "FAIL: --gen-cube --json"; cat cube.out; fail=1; }
"$OSTREL" --cube Na3PS4.cube --cif Na3PS4.cif Na1+ --path --json Na3PS4.json >ostrel.out 2>&1 \
  || { echo "FAIL: ostrel --json"; cat ostrel.out; fail=1; }
"$PYTHON" "$BV_SOURCE_DIR/tests/scripts/docs_check.py" "$BV_SOURCE_DIR" bv.json cube.json \
  Na3PS4.json || fail=1

if "$PYTHON" -c 'import matplotlib' 2>/dev/null; then
  "$PYTHON" "$BV_SOURCE_DIR/tools/plot_landscape.py" Na3PS4.cube Na3PS4.json --out picture.png \
    >plot.out 2>&1 || { echo "FAIL: plot_landscape.py"; cat plot.out; fail=1; }
  [ "$(head -c 4 picture.png 2>/dev/null | od -An -c | tr -d ' ')" = "211PNG" ] \
    || { echo "FAIL: plot_landscape.py wrote no PNG"; fail=1; }
else
  echo "note: python3-matplotlib missing, plot_landscape.py not run"
fi
exit $fail

#!/bin/bash
# The data files in bin/ are build products of tools/make_<name>.py: rerun
# every such script into a scratch directory and require byte-identical
# output (database_<name>.dat), so nobody can hand-edit a value unnoticed.
# The scripts read their inputs from tools/raw/ in the repository.
set -u
SRC=${BV_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
PY=${PYTHON:-/usr/bin/python3}
OUT=${BV_SCRATCH:-$(mktemp -d)}/data_files
rm -rf "$OUT" && mkdir -p "$OUT" || exit 1

if ! "$PY" -c 'import sys' 2>/dev/null; then
    echo "skipped: no python interpreter at $PY"
    exit 77
fi

fail=0
n=0
for script in "$SRC"/tools/make_*.py; do
    [ -e "$script" ] || continue
    name=$(basename "$script" .py)
    name=${name#make_}
    target="$SRC/bin/database_$name.dat"
    [ -e "$target" ] || continue
    n=$((n + 1))
    if ! "$PY" "$script" "$OUT/database_$name.dat" > "$OUT/$name.log" 2>&1; then
        echo "FAIL: $script exited non-zero:"; cat "$OUT/$name.log"; fail=1; continue
    fi
    if ! cmp -s "$target" "$OUT/database_$name.dat"; then
        echo "FAIL: bin/database_$name.dat differs from the output of $(basename "$script"):"
        diff "$target" "$OUT/database_$name.dat" | head -20
        fail=1
    else
        echo "ok: bin/database_$name.dat reproduced by $(basename "$script")"
    fi
done
if [ "$n" -eq 0 ]; then
    echo "FAIL: no data file generators found under $SRC/tools"; exit 1
fi
exit $fail

#!/usr/bin/env bash
# Reads every CIF of the COD test set with velmora.x (--print-cell, and
# --cal-sym on every tenth): a crash or a refusal without a named reason
# fails the test.
# The cross-checks against gemmi and spglib are run by tools/cod_survey.py
# by hand; here only the reader's robustness is checked.  Skipped when the
# COD set is not present.
set -u
COD=${BV_COD_DIR:?}
if [ ! -d "$COD" ]; then
  echo "skipped: no COD directory $COD"
  exit 77
fi
# Under the sanitizers (ASAN_OPTIONS set by test.sh) every program start is
# slow: every fourth file there; the plain build reads them all.
every=1
[ -n "${ASAN_OPTIONS:-}${UBSAN_OPTIONS:-}" ] && every=4
exec "${PYTHON:-/usr/bin/python3}" "${BV_SOURCE_DIR:?}/tools/cod_survey.py" \
  --velmora "${VELMORA:?}" --no-cross-check --every "$every" --cal-sym-every 10 "$COD"

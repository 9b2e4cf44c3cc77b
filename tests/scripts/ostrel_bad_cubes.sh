#!/usr/bin/env bash
# Malformed cube files given to ostrel: each ends the run with status 1 and
# one error line, promptly, without a crash and without writing results.
set -u
: "${OSTREL:?}" "${BV_SCRATCH:?}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
head3=$'t\r\nConducting = Li1+ ; sf = 0.7;\r\n   0 0 0 0\r\n'
axes=$'   4 1.0 0 0\r\n   4 0 1.0 0\r\n   4 0 0 1.0\r\n'
vals() { for ((i = 0; i < $1; i++)); do printf ' %12.6f\r\n' "0.$((i % 97))"; done; }

printf '%s%s' "$head3" "$axes" >header_only.cube
{ printf '%s%s' "$head3" "$axes"; vals 63; } >truncated.cube
{ printf '%s%s' "$head3" "$axes"; vals 30; printf ' nan\r\n'; vals 33; } >nan.cube
{ printf '%s%s' "$head3" "$axes"; vals 30; printf ' inf\r\n'; vals 33; } >inf.cube
{ printf '%s%s' "$head3" "$axes"; vals 30; printf ' 1.0e\r\n'; vals 33; } >garbage.cube
{ printf '%s%s' "$head3" "$axes"; vals 65; } >too_many.cube
# Energies beyond any physical range (+-1e6 eV).
{ printf '%s%s' "$head3" "$axes"; vals 30; printf ' -1e20\r\n'; vals 33; } >far_low.cube
{ printf '%s%s' "$head3" "$axes"; vals 30; printf ' 2.5e6\r\n'; vals 33; } >far_high.cube
{ printf '%s' "$head3"; printf '   4 1 0 0\r\n  -4 0 1 0\r\n   4 0 0 1\r\n'; vals 64; } >negative.cube
{ printf '%s' "$head3"; printf '   4 1 0 0\r\n   0 0 1 0\r\n   4 0 0 1\r\n'; vals 64; } >zero.cube
{ printf '%s' "$head3"; printf '99999 1 0 0\r\n99999 0 1 0\r\n99999 0 0 1\r\n'; vals 64; } >huge.cube
{ printf '%s' "$head3"; printf '2147483648 1 0 0\r\n4 0 1 0\r\n4 0 0 1\r\n'; vals 64; } >overflow.cube
{ printf '%s' "$head3"; printf '400 0.1 0 0\r\n400 0 0.1 0\r\n400 0 0 0.1\r\n'; vals 64; } >big_short.cube
{ printf '%s' "$head3"; printf '   4 1 0 0\r\n   4 1 0 0\r\n   4 0 0 1\r\n'; vals 64; } >flat_cell.cube
{ printf 't\r\n\r\n   5 0 0 0\r\n%s' "$axes"; printf '   3 0.5 0 0 0\r\n'; } >atoms_missing.cube
LC_ALL=C awk 'BEGIN { srand(7); for (i = 0; i < 3000; i++) printf "%c", int(rand() * 255) + 1 }' >random.cube
printf '\0\0\0\0' >nul.cube

for f in *.cube; do
  timeout 20 "$OSTREL" --cube "$f" --cif nowhere.cif Li1+ --print-minima >out.txt 2>err.txt; rc=$?
  if [ $rc != 1 ]; then echo "FAIL: $f status $rc"; fail=1; fi
  if [ "$(wc -l <err.txt)" != 1 ]; then echo "FAIL: $f gives $(wc -l <err.txt) error lines:"; cat err.txt; fail=1; fi
  [ -s out.txt ] && { echo "FAIL: $f printed results"; fail=1; }
  echo "$f: $(cat err.txt)"
done
[ $fail = 0 ] && echo "malformed cubes: ok"
exit $fail

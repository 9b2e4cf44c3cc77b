#!/usr/bin/env bash
# End-to-end checks of velmora.x's command frame and structure commands:
# exit statuses, version/help/usage texts, data files found when started by
# absolute path, through PATH, through a symbolic link and after
# `cmake --install`, and clear refusals of bad CIF files.
. "$(dirname "$0")/lib/velmora_checks.sh"
: "${SRC:?}"

# Version, help, unknown commands.
run version 0
version=$(sed -n 's/^project(velmora_ostrel VERSION \([0-9.]*\).*/\1/p' "${BV_SOURCE_DIR:?}/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"
has "$S/version.out" "  Velmora-$version-cmd"
grep -q '~~\|?' "$S/version.out" && fail "placeholders in the version text"
[ "$(wc -l <"$S/version.out")" = 4 ] || fail "version text is not four lines"
run version2 0 -v
cmp -s "$S/version.out" "$S/version2.out" || fail "-v differs from no argument"
run help 0 -h extra words
has "$S/help.out" "Message: available commands are listed."
has "$S/help.out" "$(printf "Message:   %-20s: %s" --cal-sym "calculate symmetry of the loaded cell.")"
grep -qx "Message:" "$S/help.out" || fail "help lacks the Message: separator"
[ "$(grep -c '^Message:   --' "$S/help.out")" = 31 ] || fail "help does not list 31 commands"
# Only commands that run are offered; the seed option is described.
for c in $(sed -n 's/^Message:   \(--[a-z-]*\) .*/\1/p' "$S/help.out"); do
  "$V" "$c" >/dev/null 2>"$S/offered.err"
  grep -q "not available in this build" "$S/offered.err" && fail "help offers $c, which is not built"
done
has "$S/help.out" "--seed S after any command's arguments"
run unknown 2 --GEN-CIF x.cif
has "$S/unknown.out" "Error: arguments not recognized. '-h' for help."

# Usage texts (exit status 2) and commands not built yet (exit status 1).
run usage_sym 2 --print-sym
[ "$(cat "$S/usage_sym.out")" = "$(printf 'Command: --print-sym [input.cif]\n\nExample: --print-sym Li2O.cif')" ] \
  || fail "usage of --print-sym"
run usage_cell 2 --print-cell
has "$S/usage_cell.out" "Command: --print-cell [input.cif]."
run usage_calsym 2 --cal-sym
has "$S/usage_calsym.out" "Only works if the structure is in standard setting."
# Every command of the table is built now: none answers "not available",
# and wrong arguments give a failure status, not a crash.
for c in --gen-cube --fft --fp-map --gh --sites --kmc --md --rx-sd --rx-neb; do
  "$V" "$c" "$DATA/cif/Li2O.cif" x y z >"$S/stub.out" 2>"$S/stub.err"
  status=$?
  grep -q "not available in this build yet" "$S/stub.err" && fail "$c is not built"
  [ "$status" = 1 ] || [ "$status" = 2 ] || fail "$c: exit status $status on wrong arguments"
done

# Structure commands on bundled structures.
run sym 0 --print-sym "$DATA/cif/Li2O.cif"
has "$S/sym.out" "SYMMETRY: Total number of cards: 192"
run cell 0 --print-cell "$DATA/cif/Li2O.cif"
has "$S/cell.out" "CELL: total atom: 12"
has "$S/cell.out" "CELL: name: Li1+:8.000 O2-:4.000 "
run calsym 0 --cal-sym "$SRC/examples/LiCoO2.cif"
has "$S/calsym.out" "Message: determined International Table ID: 166"
run calsym_tol 0 --cal-sym "$SRC/examples/LiCoO2.cif" 0.05
run calsym_bad 1 --cal-sym "$SRC/examples/LiCoO2.cif" abc
has "$S/calsym_bad.err" "Error: wrong parameter accuracy."

# Bad input: one clear error chain, exit status 1, never a crash.
: >"$S/empty.cif"
head -c 640 "$DATA/cif/Li2O.cif" >"$S/truncated.cif"
head -c 660 "$DATA/cif/Li2O.cif" >"$S/cutrow.cif"
printf 'loop_\n_atom_site_label\n_atom_site_fract_x\nLi 0.5\n\x00\x01\xff garbage\n' >"$S/garbage.cif"
head -c 3000 /dev/urandom >"$S/random.cif" 2>/dev/null || printf '\x01\x02' >"$S/random.cif"
for f in empty truncated cutrow garbage random missing; do
  run "bad_$f" 1 --print-cell "$S/$f.cif"
  has "$S/bad_$f.err" "Error: velmora_cell_import_cif_from_file() returns non-zero."
done
has "$S/bad_empty.err" "Error: failed to read content of"
has "$S/bad_missing.err" "Error: unable to open $S/missing.cif"
run bad_dir 1 --print-sym "$S"

# Data files: beside argv[0], else beside the real executable, else in the
# installed data directory.
bindir=$(cd "$(dirname "$V")" && pwd -P)
sys_of() { grep "dir_unitary" | sed 's/.*= *//'; }
got=$("$V" --print-sys | sys_of)
[ "$got" = "$(dirname "$V")/database_unitary.dat" ] || fail "absolute path: $got"
mkdir -p "$S/elsewhere" "$S/link"
got=$(cd "$S/elsewhere" && PATH="$(dirname "$V"):$PATH" velmora.x --print-sys)
echo "$got" | grep -q "warning\|Warning" && fail "warnings through PATH: $got"
[ "$(echo "$got" | sys_of)" = "$bindir/database_unitary.dat" ] || fail "through PATH: $got"
echo "$got" | grep -qx "CMD_OPT: path_executable= ./" || fail "path_executable through PATH"
ln -sf "$V" "$S/link/velmora.x"
got=$("$S/link/velmora.x" --print-sys | sys_of)
[ "$got" = "$bindir/database_unitary.dat" ] || fail "through a symbolic link: $got"
cp "$bindir"/database_*.dat "$S/elsewhere/"
got=$(cd "$S/elsewhere" && PATH="$(dirname "$V"):$PATH" velmora.x --print-sys | sys_of)
[ "$got" = "./database_unitary.dat" ] || fail "data beside argv[0] come first: $got"
(cd "$S/elsewhere" && PATH="$(dirname "$V"):$PATH" velmora.x --print-cell "$DATA/cif/Li2O.cif" \
  >/dev/null) || fail "reading through PATH"
# A lone copy with no data anywhere near still answers --help.
mkdir -p "$S/alone" && cp "$V" "$S/alone/velmora.x"
"$S/alone/velmora.x" --help >/dev/null 2>&1 || fail "--help of a lone copy"

# Installed into a temporary prefix: bin/ and share/velmora/.
build=$(cd "$S/../../.." 2>/dev/null && pwd)
if [ -n "${BV_SCRATCH:-}" ] && [ -f "$build/cmake_install.cmake" ]; then
  prefix="$S/prefix"
  if cmake --install "$build" --prefix "$prefix" >"$S/install.log" 2>&1; then
    got=$(cd "$S/elsewhere/.." && PATH="$prefix/bin:$PATH" velmora.x --print-sys | sys_of)
    [ "$got" = "$prefix/bin/../share/velmora/database_unitary.dat" ] || fail "installed: $got"
    (cd "$S" && PATH="$prefix/bin:$PATH" velmora.x --print-sym "$DATA/cif/Li2O.cif" >/dev/null) \
      || fail "installed program cannot read a CIF"
  elif grep -q "cannot find" "$S/install.log" && ! grep -q "cannot find.*velmora.x" "$S/install.log"; then
    echo "skipped: install check (another program of this build tree is not built)"
  else
    fail "cmake --install: $(tail -5 "$S/install.log")"
  fi
else
  echo "skipped: install check (no build tree found)"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "velmora_cmd: all checks passed"

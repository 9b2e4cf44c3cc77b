#!/usr/bin/env bash
# Reruns of velmora.x commands over the outputs of an earlier run: a rerun
# that is refused, that fails ("overall rate is too small") or that is
# killed (SIGTERM, SIGKILL) leaves every earlier output byte for byte and
# no temporary file (a SIGKILLed run's temporary files are removed by the
# next run that writes the same file); a successful rerun replaces the
# whole set.
. "$(dirname "$0")/lib/velmora_checks.sh"
leftovers() { ls -a | grep -c 'velmora-unfinished'; }
# sums PATTERN: checksums of the files matching the pattern.
sums() { md5sum $(ls $1 2>/dev/null | grep -v velmora-unfinished) 2>/dev/null; }
# killed NAME SIGNAL ARGS...: starts velmora.x, sends SIGNAL once it has
# run for a while, and checks that it was still running then.
killed() {
  local name=$1 sig=$2; shift 2
  "$V" "$@" >"$name.out" 2>"$name.err" &
  local pid=$!
  sleep 1.5
  kill -0 $pid 2>/dev/null || fail "$name: finished before the kill"
  kill -$sig $pid 2>/dev/null
  { wait $pid; } 2>/dev/null
  local st=$?
  [ $st -gt 128 ] || fail "$name: exit status $st after SIG$sig"
}

cp "$DATA/cif/Li2O.cif" .
cp "$DATA/cube/LiNaO_partial.cif" .
run cube 0 --gen-cube Li2O.cif Li 1 0.7 0.2 t t Li2O.cif.cube

# --------------------------------------------------------------------- md
md="Li2O.cif.md.*"
run md1 0 --md Li2O.cif Li 1 -1 300 0.1 0.05 0.002 0.01 11
before=$(sums "$md")
[ "$(echo "$before" | wc -l)" = 4 ] || fail "md wrote $(echo "$before" | wc -l) files, not 4"
run md_refused 1 --md Li2O.cif Li 1 -1 1e9 0.1 0.05 0.002 0.01 12
[ "$(sums "$md")" = "$before" ] || fail "a refused --md changed the earlier outputs"
killed md_term TERM --md Li2O.cif Li 1 -1 300 30 1 0.002 0.01 12
[ "$(sums "$md")" = "$before" ] || fail "a SIGTERMed --md changed the earlier outputs"
killed md_kill KILL --md Li2O.cif Li 1 -1 300 30 1 0.002 0.01 12
[ "$(sums "$md")" = "$before" ] || fail "a SIGKILLed --md changed the earlier outputs"
[ "$(leftovers)" = 0 ] || fail "--md left $(ls -a | grep unfinished)"
run md2 0 --md Li2O.cif Li 1 -1 300 0.1 0.05 0.002 0.01 12
[ "$(sums "$md")" != "$before" ] || fail "a successful --md rerun kept the old outputs"

# -------------------------------------------------------------------- kmc
kmc="Li2O.cif.kmc.*"
kargs="--kmc Li2O.cif Li2O.cif.cube Li 1 2 2 2 -1 1500 0"
run kmc1 0 $kargs 4000 1000 -1 7
before=$(sums "$kmc")
[ "$(echo "$before" | wc -l)" = 4 ] || fail "kmc wrote $(echo "$before" | wc -l) files, not 4"
# A full Li2O cell at 300 K: no hop is possible, the run fails.
run kmc_fails 1 --kmc Li2O.cif Li2O.cif.cube Li 1 1 1 1 -1 300 0 1000 100 -1 8
has kmc_fails.err "overall rate is too small"
[ "$(sums "$kmc")" = "$before" ] || fail "a failed --kmc changed the earlier outputs"
run kmc_refused 1 --kmc Li2O.cif Li2O.cif.cube Na 1 2 2 2
[ "$(sums "$kmc")" = "$before" ] || fail "a refused --kmc changed the earlier outputs"
killed kmc_term TERM $kargs 100000000 1000 -1 8
[ "$(sums "$kmc")" = "$before" ] || fail "a SIGTERMed --kmc changed the earlier outputs"
[ "$(leftovers)" = 0 ] || fail "--kmc left $(ls -a | grep unfinished)"
# A SIGKILL cannot be caught: the files the run had finished stay under
# their temporary names, until the next run of the command removes them.
killed kmc_kill KILL $kargs 100000000 1000 -1 8
[ "$(sums "$kmc")" = "$before" ] || fail "a SIGKILLed --kmc changed the earlier outputs"
run kmc2 0 $kargs 4000 1000 -1 9
[ "$(leftovers)" = 0 ] || fail "a rerun of --kmc left $(ls -a | grep unfinished)"
[ "$(sums "$kmc" | cut -c1-32 | sort)" != "$(echo "$before" | cut -c1-32 | sort)" ] ||
  fail "a successful --kmc rerun kept the old outputs"

# ------------------------------------------- --gen-cube with its CIF file
# Partly occupied sites: the resolved structure and its landscape are one
# set, never the CIF of one run beside the cube of another.
part="LiNaO_partial_assigned.cif LiNaO_partial.cif.cube"
run part1 0 --gen-cube LiNaO_partial.cif Li 1 0.7 0.3 --seed 1
before=$(sums "$part")
[ "$(echo "$before" | wc -l)" = 2 ] || fail "--gen-cube wrote $(echo "$before" | wc -l) files, not 2"
killed part_term TERM --gen-cube LiNaO_partial.cif Li 1 0.7 0.02 --seed 2
[ "$(sums "$part")" = "$before" ] || fail "a SIGTERMed --gen-cube changed the earlier outputs"
run part_refused 1 --gen-cube LiNaO_partial.cif Li 1 0.7 1e308 --seed 2
[ "$(sums "$part")" = "$before" ] || fail "a refused --gen-cube changed the earlier outputs"
[ "$(leftovers)" = 0 ] || fail "--gen-cube left $(ls -a | grep unfinished)"

# A SIGKILL while the cube is written leaves its temporary file; the next
# run that writes the cube removes it.
"$V" --gen-cube Li2O.cif Li 1 0.7 0.03 t t big.cube >/dev/null 2>&1 &
pid=$!
for _ in $(seq 1 3000); do
  ls -a | grep -q 'big.cube.velmora-unfinished' && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.01
done
kill -KILL $pid 2>/dev/null
wait $pid 2>/dev/null
if [ "$(leftovers)" != 0 ]; then
  run reap 0 --gen-cube Li2O.cif Li 1 0.7 0.2 t t big.cube
  has reap.out "left by an interrupted run, removed."
  [ "$(leftovers)" = 0 ] || fail "the leftover of a SIGKILLed run stayed: $(ls -a | grep unfinished)"
fi

# --------------------------------------------------------------------- gh
gh="Li2O.cif.gh.*"
run gh1 0 --gh Li2O.cif Li2O.cif.cube Li 1
before=$(sums "$gh")
printf 't\r\n\r\n 0 0 0 0\r\n 1 1 0 0\r\n' > broken.cube
run gh_broken 1 --gh Li2O.cif broken.cube Li 1
[ "$(sums "$gh")" = "$before" ] || fail "a failed --gh changed or removed the earlier outputs"
finish
echo "velmora reruns: all passed"

#!/usr/bin/env bash
# Arguments of velmora.x end to end: every numeric argument out of range
# (1e308 screening factors and spring constants, supercells beyond 64
# bits, ...) is refused with a line naming it and writes nothing; an
# "Error:" line always comes with a non-zero status (a cell without a
# counter-ion); output prefixes naming a device are refused; lower-case
# elements, -V and suggestions for mistyped commands.
. "$(dirname "$0")/lib/velmora_checks.sh"

cp "$DATA/cif/Li2O.cif" .
run cube 0 --gen-cube Li2O.cif Li 1 0.7 0.2 t t li.cube
cp Li2O.cif hop.cif
cell() {  # cell NAME SITES...: a P 1 cell of 3.5 A
  local name=$1; shift
  { echo "data_x"; for e in a b c; do echo "_cell_length_$e 3.5"; done
    for e in alpha beta gamma; do echo "_cell_angle_$e 90"; done
    echo "_space_group_IT_number 1"
    echo "loop_"; echo "_atom_site_label"; echo "_atom_site_type_symbol"
    echo "_atom_site_fract_x"; echo "_atom_site_fract_y"; echo "_atom_site_fract_z"
    echo "_atom_site_occupancy"; printf '%s\n' "$@"; } > "$name"
}
cell cations.cif "Li1 Li1+ 0 0 0 1" "Li2 Li1+ 0.5 0.5 0.5 1"

# refused NAME TEXT ARGS...: exit 1, the error line names the parameter,
# and no file appears.
refused() {
  local name=$1 text=$2; shift 2
  local before; before=$(ls | sort)
  run "$name" 1 "$@"
  has "$name.err" "$text"
  local after; after=$(ls | grep -v "^$name\.\(out\|err\)$" | sort)
  [ "$before" = "$after" ] || fail "$name wrote $(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')"
}
refused lib_sf "wrong parameter screening factor: 1e308 is out of range (at most 10)" \
  --gen-gin-lib Li2O.cif 1e308
refused gin_sf "wrong parameter screening factor: 1e308" --gen-gin Li2O.cif 1e308
refused ppt_sf "wrong parameter sf: 1e308" --print-ppt Li2O.cif 1e308
refused toten_sf "wrong parameter sf: 1e999 is out of range" --cal-tot-en Li2O.cif 1e999
refused cube_sf "wrong parameter screening factor: 1e308" --gen-cube Li2O.cif Li 1 1e308
refused cube_res "wrong parameter resolution: 1e308" --gen-cube Li2O.cif Li 1 0.7 1e308
refused cube_os "wrong parameter conducting os: 99 is out of range (from -8 to 8)" \
  --gen-cube Li2O.cif Li 99
refused cube_os0 "an ion of oxidation state 0 carries no bond valence" --gen-cube Li2O.cif Li 0
refused neb_k "wrong parameter k: 1e308 is out of range (at most 100)" \
  --rx-neb Li2O.cif hop.cif 3 1 -1 f -1 0.7 1e308
refused neb_steps "wrong parameter step_limit: 99999999999999999999 is out of range" \
  --rx-neb Li2O.cif hop.cif 3 99999999999999999999
refused sd_fconv "wrong parameter f_conv: 1e308" --rx-sd Li2O.cif 1 1 1e308
refused kmc_super "wrong parameter s0: 99999999999999999999 is out of range (at most 1000)" \
  --kmc Li2O.cif li.cube Li 1 99999999999999999999 1 1
refused kmc_temp "wrong parameter temperature: 1e9 is out of range" \
  --kmc Li2O.cif li.cube Li 1 1 1 1 -1 1e9
refused kmc_cut "wrong parameter cutoff: 1e308" --kmc Li2O.cif li.cube Li 1 1 1 1 -1 900 0 10 -1 1e308
refused md_dt "wrong parameter dt: 5 is out of range (at most 0.1)" --md Li2O.cif Li 1 -1 300 1 1 5
refused md_sf "wrong parameter sf: 1e308" --md Li2O.cif Li 1 1e308
refused sites_dr "wrong parameter dr: 1e308" --sites Li2O.cif li.cube Li 1 -1 1e308
refused gh_barrier "wrong parameter barrier_max: 1e308" --gh Li2O.cif li.cube Li 1 1e308
refused fft_cap "wrong parameter cap: 1e308" --fft li.cube 1e308
refused fp_barrier "wrong parameter barrier_max: inf" --fp-map li.cube inf
refused cn_rds "wrong parameter rds_tiny: 1e308" --cal-cn Li2O.cif Li1 1e308
refused sym_tol "wrong parameter accuracy: 5 is out of range (at most 1)" --cal-sym Li2O.cif 5
refused text_sf "wrong parameter sf: 1e308" --text-gen-gin-lib-set-sf 1e308 -:text data_x
refused bvtype_os "wrong parameter os2: 12 is out of range" --cal-bv-type Li2O.cif Li 1 O 12

# An "Error:" line means a non-zero status: a cell without counter-ions
# has no force field, so the commands that need one refuse it ...
for c in "--md cations.cif Li 1 -1 300 0.1 0.1" "--gen-gin cations.cif" "--gen-gin-lib cations.cif" \
         "--cal-tot-en cations.cif" "--rx-sd cations.cif 2"; do
  name=noanion${c%% *}
  refused "$name" "Error: the cell holds no anion" $c
done
# ... and what still runs on it prints no error line.
run ppt_cations 0 --print-ppt cations.cif
lacks ppt_cations.err "Error:"
has ppt_cations.out "Warning: incorrect q at"
# The rule over a batch of runs, whatever they print.
for c in "--print-ppt cations.cif 0.7" "--cal-bv cations.cif" "--cal-gii cations.cif" \
         "--gen-cif cations.cif" "--print-cube li.cube" "--fp-map li.cube" \
         "--cal-cn Li2O.cif Li1" "--cal-cn Li2O.cif Nope" "--gen-cif-assign Li2O.cif Li 1"; do
  "$V" $c >batch.out 2>batch.err
  st=$?
  if [ $st = 0 ] && grep -q "^Error: " batch.out batch.err; then
    fail "$c: exit 0 with $(grep -h '^Error: ' batch.out batch.err | head -1)"
  fi
done

# Output prefixes that are not file names.
had=$(ls -l --time-style=full-iso /dev/null.gin 2>/dev/null)
refused gin_null "Error: the output name /dev/null is a character device" \
  --gen-gin Li2O.cif 0.7 /dev/null
[ "$(ls -l --time-style=full-iso /dev/null.gin 2>/dev/null)" = "$had" ] || fail "/dev/null.gin written"
refused fft_null "Error: the output name /dev/null is a character device" --fft li.cube -1 t /dev/null
mkdir outdir
refused neb_dir "Error: the output name outdir is a directory" --rx-neb Li2O.cif hop.cif 3 1 -1 f -1 0.7 -1 outdir
refused lib_null "Error: the output /dev/null exists and is a character device" \
  --gen-gin-lib Li2O.cif 0.7 /dev/null

# Lower-case elements are the same ions.
run lower_cube 0 --gen-cube Li2O.cif li 1 0.7 0.2 t t lower.cube
cmp -s lower.cube li.cube || fail "li and Li gave different landscapes"
run lower_md 0 --md Li2O.cif LI 1 -1 300 0.05 0.02 0.002 0.01 3
has lower_md.out "MD: diffusivity"

# Version and suggestions.
run version_V 0 -V
run version_long 0 --version
cmp -s version_V.out version_long.out || fail "-V and --version differ"
has version_V.out "Velmora-"
run typo 2 --gen-cub Li2O.cif Li 1
has typo.out "Error: arguments not recognized. '-h' for help."
has typo.err "Error: unknown command --gen-cub; did you mean --gen-cube?"
run far 2 --completely-unknown
lacks far.err "did you mean"
finish
echo "velmora arguments: all passed"

#!/usr/bin/env bash
# Transport commands of velmora.x end to end on Li2O: --kmc on a small
# supercell of its landscape and --md of its Li ions; reproducible runs with
# a seed, every output file, units in the labels, the physical energy column,
# pressures in one unit, ASE reading the MD trajectory with its cell, and
# clear refusals (no mobile ion, partly occupied conducting sites, bad
# arguments) without NaN or crash.
. "$(dirname "$0")/lib/velmora_checks.sh"

cp "$DATA/cif/Li2O.cif" .
cp "$DATA/cube/LiNaO_partial.cif" .
run cube 0 --gen-cube Li2O.cif Li 1

# ------------------------------------------------------------------ usage
run kusage 2 --kmc
has kusage.out "{step_limit}: limiting number of steps. Negative or larger than {step_limit} means using the default. Default: 10000000."
has kusage.out "set to zero, default values are used for both. Default: 10000."
run musage 2 --md
has musage.out "Command: {seed}: seed of the random numbers"

# -------------------------------------------------------------------- kmc
# The sanitizers slow every event many times; shorter runs, same checks.
steps=20000 slog=5000
[ -n "${ASAN_OPTIONS:-}${UBSAN_OPTIONS:-}" ] && steps=4000 slog=1000
kargs="--kmc Li2O.cif Li2O.cif.cube Li 1 2 2 2 -1 1500 0 $steps $slog -1"
run kmc1 0 $kargs 7
cp Li2O.cif.kmc.log.txt log1.txt
run kmc2 0 $kargs 7
has kmc1.out "Message: random seed = 7"
has kmc1.out "Message: supercell [2, 2, 2]"
grep -q "^KMC: time = .* ps$" kmc1.out || fail "kmc time line not in ps"
lacks kmc1.out ") fs"
has kmc1.out "KMC: diffusivity error = "
has kmc1.out "KMC: [   total] 64.000 / 64.000"
cmp -s <(grep "^KMC" kmc1.out) <(grep "^KMC" kmc2.out) || fail "kmc not reproducible with a seed"
cmp -s log1.txt Li2O.cif.kmc.log.txt || fail "kmc log not reproducible with a seed"
# The front end's --seed option seeds the same stream as the positional seed.
run kmc_opt 0 $kargs --seed 7
cmp -s <(grep "^KMC" kmc1.out) <(grep "^KMC" kmc_opt.out) || fail "kmc --seed 7 differs from seed 7"
for f in Li2O.cif.kmc.log.txt Li2O.cif.kmc.xyz.txt Li2O.cif.kmc.init.cif Li2O.cif.kmc.cif; do
  [ -s "$f" ] || fail "missing $f"
done
# Log: header plus steps 0, 1/4, ..., 4/4 of the run.
[ "$(wc -l <Li2O.cif.kmc.log.txt)" = 6 ] || fail "kmc log lines: $(wc -l <Li2O.cif.kmc.log.txt)"
head -1 Li2O.cif.kmc.log.txt | grep -q "^step,t,site[0-9]*_dx,site[0-9]*_dy,site[0-9]*_dz," || fail "kmc log header"
grep -qiw "nan" kmc1.out && fail "kmc printed NaN"
ls ./*.tmp* 2>/dev/null && fail "temporary files left behind"
# Without a seed the clock's seed is printed.
run kmc3 0 --kmc Li2O.cif Li2O.cif.cube Li 1 1 1 1 -1 900 0 100
grep -q "^Message: random seed = [0-9]* (give --seed" kmc3.out || fail "kmc seed from the clock not printed"
# Refusals.
run kbados 1 --kmc Li2O.cif Li2O.cif.cube Li x
has kbados.err "Error: wrong parameter os."
run kbadseed 1 $kargs -3
has kbadseed.err "Error: wrong parameter seed."
run kbadtemp 1 --kmc Li2O.cif Li2O.cif.cube Li 1 1 1 1 -1 1e9
run knofile 1 --kmc missing.cif Li2O.cif.cube Li 1 1 1 1
has knofile.err "Error: velmora_kmc_calculate_conductivity_from_file() returns negative value."
printf 'not a cube\n' > bad.cube
run kbadcube 1 --kmc Li2O.cif bad.cube Li 1 1 1 1
# Cut-off 0: no repulsion, still a finite result.
run kcut0 0 --kmc Li2O.cif Li2O.cif.cube Li 1 1 1 1 -1 900 0 2000 -1 0.0 1
grep -qiw "nan" kcut0.out && fail "kmc printed NaN without repulsion"

# --------------------------------------------------------------------- md
margs="--md Li2O.cif Li 1 -1 900 0.3 0.1 0.001 0.05"
run md1 0 $margs 11
cp Li2O.cif.md.txt md1.txt
run md2 0 $margs 11
cmp -s md1.txt Li2O.cif.md.txt || fail "md not reproducible with a seed"
for f in Li2O.cif.md.txt Li2O.cif.md.xyz Li2O.cif.md.trj Li2O.cif.md.cif; do
  [ -s "$f" ] || fail "missing $f"
done
has md1.out "MD: diffusivity = "
has md1.out "MD: diffusivity error = "
grep -qiw "nan" md1.out Li2O.cif.md.txt && fail "md printed NaN"
has Li2O.cif.md.txt "en_phys"
grep -q "^ *step, *t, *en, *en_k, *en_p, *T, *P, *en_ave, *en_k_ave, *en_p_ave, *T_ave, *P_ave, *en_phys$" \
  Li2O.cif.md.txt || fail "md header"
# Samples at 0, 0.05, ..., 0.25 ps (before each step); the averaged pressure
# is in GPa like the instantaneous one (same order of magnitude).
[ "$(grep -c '^ *[0-9]' Li2O.cif.md.txt)" = 6 ] || fail "md samples: $(grep -c '^ *[0-9]' Li2O.cif.md.txt)"
awk -F, '/^ *[0-9]/ && $1 > 0 { p = $7 + 0; pa = $12 + 0; if (p != 0 && (pa / p > 3 || pa / p < 0.3)) bad = 1 }
         END { exit bad }' Li2O.cif.md.txt || fail "P_ave not in the unit of P"
# ASE reads the trajectory: one frame per sample, the cell of the structure,
# periodic, and unwrapped positions that follow the displacement log.
if "$PY" -c 'import ase.io' 2>/dev/null; then
  "$PY" - <<'EOF' || fail "ASE reading the MD trajectory"
import ase.io, numpy as np
frames = ase.io.read("Li2O.cif.md.xyz", index=":")
assert len(frames) == 6, len(frames)
for f in frames:
    assert np.allclose(f.cell.lengths(), [4.611, 4.611, 4.611], atol=1e-3), f.cell
    assert all(f.pbc)
    assert len(f) == 12
    assert f.get_chemical_symbols().count("Li") == 8
# The O ions never move; the Li ions do.
first, last = frames[0].positions, frames[-1].positions
o = [i for i, s in enumerate(frames[0].get_chemical_symbols()) if s == "O"]
assert np.allclose(first[o], last[o])
assert np.abs(last - first).max() > 0.01
EOF
else
  echo "python3-ase not installed: trajectory check skipped"
fi

# A production shorter than the sampling interval still gives results.
run mdshort 0 --md Li2O.cif Li 1 -1 900 0.02 0.02 0.001 1.0 3
grep -q "^MD: diffusivity = 0.000000e+00" mdshort.out && fail "short production gave zero"
grep -qiw "nan" mdshort.out && fail "short production gave NaN"
# Refusals.
run mdnone 1 --md Li2O.cif Na 1
has mdnone.err "holds no mobile Na1+ ion"
grep -qiw "nan" mdnone.out && fail "md without mobile ion printed NaN"
run mdpartial 1 --md LiNaO_partial.cif Li 1
has mdpartial.err "partially occupied"
run mdbadt 1 --md Li2O.cif Li 1 -1 nan
has mdbadt.err "Error: wrong parameter temperature."
run mdbaddt 1 --md Li2O.cif Li 1 -1 300 1 1 5
run mdnofile 1 --md missing.cif Li 1

finish
echo "all transport checks passed"

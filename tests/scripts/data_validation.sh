#!/bin/bash
# Force-field validation set: run the validation report (independent Python
# reference; velmora.x columns, landscapes and a COD sample once velmora.x
# computes them) and hold the data files to the calibration reached (see
# docs/validation.md, "The force field and its landscapes"):
#   - GII below 0.2 for at least 90 % of the structures;
#   - bond-valence sums within 0.15 v.u. on average for every species except
#     those whose published bond-valence parameters are known to miss;
#   - a screening factor found in range and a finite energy for all of them,
#     and velmora.x agreeing with the reference;
#   - landscapes of the mobile ions: the lowest voxel at an occupied site of
#     the ion (required for Li2O, LiCoO2, LiFePO4; allowed to miss only for
#     the structures with a competitive interstitial site listed below) and
#     every occupied site a local minimum (except the two listed);
#   - the site-minimum rates of the ordered Li and Na compounds (every
#     occupied site a minimum within 0.3 A; the global minimum at a site or
#     within 0.05 eV of one) of the set and of the COD set;
#   - on every fifth COD structure (when the COD set is present and the
#     programs run without sanitizers) at most 5 screening-factor searches
#     leaving their bounds (18 with the first calibration);
#   - rmin of the pairs with COD bond lengths between 10 % short and 5 % long
#     of the observed length for at least 85 % of them (90 % now; a guard
#     against a broken cn column: the recipe puts rmin about 6 % short of the
#     observed lengths, see docs/validation.md).
set -u
SRC=${BV_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
PY=${PYTHON:-/usr/bin/python3}
if ! "$PY" -c 'import gemmi, numpy, scipy' 2>/dev/null; then
    echo "skipped: python3 with gemmi, numpy and scipy not available"; exit 77
fi
COD=${BV_COD_DIR:-}
if [ -n "${ASAN_OPTIONS:-}${UBSAN_OPTIONS:-}" ]; then
    # the sanitizers slow every run of velmora.x several times; the COD
    # sample adds no code path the landscapes and the set do not run
    echo "note: sanitizer build, COD sample skipped"; COD=
fi
"$PY" - "$SRC" "${VELMORA:-$SRC/bin/velmora.x}" "$COD" <<'PYEOF'
import os, sys, math
src, exe, cod = sys.argv[1], sys.argv[2], sys.argv[3]
sys.path.insert(0, os.path.join(src, 'tools'))
import validate_params as vp
args = ['--velmora', exe]
if cod and os.path.isdir(cod):
    args += ['--cod', cod, '--cod-every', '5']
vp.main(args)
s = vp.SUMMARY
bad = []
KNOWN_BVS = {'I-1', 'N-3', 'Na+1', 'Sr+2'}      # see docs/validation.md
# Lowest voxel away from the occupied sites, for physical reasons given in
# docs/validation.md: the tetrahedral interstitial of AgCl (where Frenkel
# interstitials sit), the empty octahedral site of antifluorite Li2S, the
# empty octahedral 16c site of the spinel MgAl2O4.
KNOWN_OFF_SITE = {('AgCl', 'Ag+1'), ('Li2S', 'Li+1'), ('MgAl2O4', 'Mg+2')}
REQUIRED_AT_SITE = {('Li2O', 'Li+1'), ('LiCoO2', 'Li+1'), ('LiFePO4', 'Li+1')}
# Occupied sites that are not local minima: the octahedral Ag site of AgCl
# (it slopes towards the tetrahedral interstitials) and the two-coordinated
# Li1 of Li3N (a flat ring 0.01 eV deep around it, see docs/validation.md).
KNOWN_NOT_MINIMUM = {('AgCl', 'Ag+1'), ('Li3N', 'Li+1')}
N_LANDSCAPES = 23
if len(s['gii']) < 25: bad.append('fewer than 25 structures')
if s['gii_share'] < 0.9: bad.append('GII share %.2f' % s['gii_share'])
extra = set(s['species_miss']) - KNOWN_BVS
if extra: bad.append('new BVS misses %s' % sorted(extra))
for name, (sf, status) in s['sf'].items():
    if status != 'ok' or not 0.55 <= sf <= 1.0:
        bad.append('screening factor of %s: %s %s' % (name, sf, status))
for name, e in s['energy'].items():
    if not math.isfinite(e) or e == 0.0: bad.append('energy of %s: %s' % (name, e))
if s['velmora_used'] and s['velmora_mismatch']:
    bad.append('velmora.x differs from the reference: %s' % s['velmora_mismatch'])
if s['velmora_used']:
    land = s['landscape']
    if len(land) != N_LANDSCAPES:
        bad.append('%d landscapes, expected %d' % (len(land), N_LANDSCAPES))
    for key, r in sorted(land.items()):
        if not r['at_site'] and (key in REQUIRED_AT_SITE or key not in KNOWN_OFF_SITE):
            bad.append('landscape %s %s: lowest voxel %.3f eV below the sites' % (key + (r['d_e'],)))
        if r['site_minima'] < r['sites'] and key not in KNOWN_NOT_MINIMUM:
            bad.append('landscape %s %s: %d of %d sites are local minima'
                       % (key + (r['site_minima'], r['sites'])))
    for key in REQUIRED_AT_SITE:
        if key not in land: bad.append('no landscape %s %s' % key)
    # Site-minimum rates of the ordered Li and Na compounds (docs/validation.md):
    # in the set every global minimum at or within 0.05 eV of a site and
    # only Li3N with a site off its minimum; in the COD set no fewer than
    # measured when the rates were introduced (35 and 43 of 48).
    rates = s.get('site_rates')
    if rates is None or rates['global_at_site'] < rates['n'] \
            or set(rates['miss']) - {('Li3N', 'Li+1')}:
        bad.append('site-minimum rates of the set: %s' % rates)
    cod_rates = s.get('cod_site_rates')
    if s['cod'] is not None and cod_rates is not None and (
            cod_rates['every_site_minimum'] < 35 or cod_rates['global_at_site'] < 43):
        bad.append('site-minimum rates of the COD set: %s' % cod_rates)
    if s['cod'] is not None and s['cod']['out'] > 5:
        bad.append('COD sample: %d screening-factor searches out of bounds (%s)'
                   % (s['cod']['out'], ' '.join(s['cod']['fails'])))
devs = s['rmin_survey']
inside = sum(1 for d in devs if -0.10 <= d <= 0.05)
if not devs or inside < 0.85 * len(devs):
    bad.append('rmin within -10 %%/+5 %% of the COD lengths for only %d of %d pairs' % (inside, len(devs)))
print()
print('ok: validation targets held' if not bad else 'FAIL: ' + '; '.join(bad))
sys.exit(1 if bad else 0)
PYEOF

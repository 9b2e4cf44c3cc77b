#!/usr/bin/env bash
# CIF files written by velmora.x (--gen-cif, --gen-cif-reduced, --gen-cif-p1,
# --gen-cif-assign, --gen-cif-assign-all) read back, by velmora.x itself and
# by gemmi, to the structure velmora.x read from the original: same cell, same
# atoms (element, oxidation state, position, occupancy), same space group.
# The random occupancy assignments keep the integer part of each species'
# occupancy and the neutrality of neutral cells.  Runs on the bundled
# structures and on a sample of the COD files when they are present.
set -u
V=${VELMORA:?}
DATA=${BV_TEST_DATA_DIR:?}
COD=${BV_COD_DIR:-}
PY=${PYTHON:-/usr/bin/python3}
S=${BV_SCRATCH:-$(mktemp -d)}
rm -rf "$S"; mkdir -p "$S"
if ! "$PY" -c 'import gemmi' 2>/dev/null; then
  echo "skipped: $PY has no gemmi"
  exit 77
fi
cd "$S" || exit 1
# Under the sanitizers every run is slow: the bundled structures only.
if ldd "$V" 2>/dev/null | grep -q libasan; then COD=""; fi
"$PY" - "$V" "$DATA" "$COD" <<'PYEOF'
import glob, math, os, re, shutil, subprocess, sys
import gemmi

velmora, data, cod = sys.argv[1:4]
problems = []
ATOM = re.compile(r'CELL: \[\s*\d+\]ATOM: name=\s*(\S*);type=\s*(\S+);os=\s*(-?\d+);'
                  r'x_f=\(\s*(-?[\d.]+),\s*(-?[\d.]+),\s*(-?[\d.]+)\);occ=\s*([\d.]+)')


def run(*args):
    return subprocess.run([velmora] + list(args), capture_output=True, text=True)


def velmora_cell(path):
    out = run('--print-cell', path)
    if out.returncode != 0:
        return None
    cell, atoms = [], []
    for line in out.stdout.splitlines():
        if line.startswith('CELL: parameters:') or line.startswith('CELL: angles:'):
            cell += [float(x) for x in line.split()[2:5]]
        m = ATOM.match(line)
        if m:
            atoms.append((m.group(2), int(m.group(3)), [float(m.group(k)) for k in (4, 5, 6)],
                          float(m.group(7))))
    return cell, atoms


def gemmi_cell(path):
    st = gemmi.read_small_structure(path)
    atoms = [(s.element.name, int(s.charge), [s.fract.x % 1, s.fract.y % 1, s.fract.z % 1], s.occ)
             for s in st.get_all_unit_cell_sites()]
    return list(st.cell.parameters), atoms, st.find_spacegroup()


def unmatched(ref, got, tol, use_os=True):
    """Text of the first atom without a partner, or None."""
    used = [False] * len(got)
    for t, o, x, occ in ref:
        for k, (t2, o2, x2, occ2) in enumerate(got):
            if used[k] or t2 != t or (use_os and o2 != o) or abs(occ - occ2) > 0.0015:
                continue
            if all(min((a - b) % 1, 1 - (a - b) % 1) <= tol for a, b in zip(x, x2)):
                used[k] = True
                break
        else:
            return '%s%+d at %s occ %.3f has no partner' % (t, o, x, occ)
    return None if all(used) else '%d extra atoms' % used.count(False)


def same_cell(a, b):
    return all(abs(x - y) <= (6e-4 if k < 3 else 6e-3) for k, (x, y) in enumerate(zip(a, b)))


def check_written(original, written, ref, p1):
    """`ref`: velmora.x's reading of the original."""
    tag = '%s -> %s' % (os.path.basename(original), os.path.basename(written))
    again = velmora_cell(written)
    if again is None:
        problems.append('%s: velmora.x cannot read it back' % tag); return
    if not same_cell(ref[0], again[0]):
        problems.append('%s: velmora.x reads cell %s, not %s' % (tag, again[0], ref[0]))
    miss = unmatched(ref[1], again[1], 2e-3)
    if miss or len(ref[1]) != len(again[1]):
        problems.append('%s: velmora.x re-read: %s' % (tag, miss))
    cell, atoms, sg = gemmi_cell(written)
    if not same_cell(ref[0], cell):
        problems.append('%s: gemmi reads cell %s, not %s' % (tag, cell, ref[0]))
    if sg is None:
        problems.append('%s: gemmi finds no space group' % tag); return
    if p1 and sg.number != 1:
        problems.append('%s: gemmi finds %s in a P 1 file' % (tag, sg.xhm()))
    miss = unmatched(ref[1], atoms, 2e-3)
    if miss is None:
        return
    # gemmi merges images of one site closer than its own threshold; then the
    # written file must give what gemmi makes of the original.
    try:
        _, atoms0, sg0 = gemmi_cell(original)
    except Exception:
        atoms0, sg0 = None, None
    if atoms0 is None or unmatched(atoms0, atoms, 0.05, use_os=False):
        problems.append('%s: gemmi: %s' % (tag, miss))
    elif sg0 is not None and not p1 and sg.number != 1 and sg0.number != sg.number:
        problems.append('%s: gemmi finds %s, %s in the original' % (tag, sg.xhm(), sg0.xhm()))


named = False
files = sorted(glob.glob(os.path.join(data, 'validation', '*.cif')) +
               glob.glob(os.path.join(data, 'cif', '*.cif')) +
               glob.glob(os.path.join(data, 'ff', '*.cif')))
if cod and os.path.isdir(cod):
    files += sorted(glob.glob(os.path.join(cod, '*.cif')))[::10]
checked = 0
for src in files:
    base = os.path.basename(src)
    shutil.copy(src, base)
    ref = velmora_cell(base)
    if ref is None:
        continue  # a CIF velmora.x refuses (reported by the reader tests)
    checked += 1
    for cmd, suffix, p1 in (('--gen-cif', '.cif', False), ('--gen-cif-reduced', '.reduced.cif', False),
                            ('--gen-cif-p1', '.p1.cif', True)):
        out = run(cmd, base)
        if out.returncode != 0 or not os.path.exists(base + suffix):
            problems.append('%s %s failed: %s' % (cmd, base, out.stderr.strip()))
            continue
        if cmd == '--gen-cif-reduced' and open(base + suffix, 'rb').read() == \
                open(base + '.cif', 'rb').read():
            continue  # the same file as --gen-cif, checked above
        check_written(base, base + suffix, ref, p1)
    if not named:  # a named output file, once
        named = True
        out = run('--gen-cif', base, 'named.cif')
        if out.returncode != 0 or 'Message: cif file saved to named.cif' not in out.stdout:
            problems.append('--gen-cif %s named.cif: %s' % (base, out.stdout[-200:]))

# ---- random occupancy assignment
def totals(atoms):
    out = {}
    for t, o, x, occ in atoms:
        out.setdefault((t, o), [0.0, 0, 0])
        out[(t, o)][0] += occ
        if occ < 1.0:
            out[(t, o)][1] += 1
        out[(t, o)][2] += 1
    return out


def mixed_species(cell, atoms):
    """Species with an atom within 0.3 A of an atom of another species."""
    a, b, c, al, be, ga = cell
    lat = gemmi.UnitCell(a, b, c, al, be, ga)
    out = set()
    for i, (t, o, x, _) in enumerate(atoms):
        for t2, o2, x2, _ in atoms:
            if (t, o) == (t2, o2):
                continue
            d = [(p - q + 0.5) % 1 - 0.5 for p, q in zip(x, x2)]
            if lat.orthogonalize(gemmi.Fractional(*d)).length() < 0.3:
                out.add((t, o)); out.add((t2, o2))
    return out


partial = [os.path.join(data, 'ff', f) for f in ('LiNaCl_mixed.cif', 'Li2O_split.cif',
                                                 'LiF_thirds.cif')]
if cod and os.path.isdir(cod):
    for f in sorted(glob.glob(os.path.join(cod, '*.cif'))):
        try:
            if any(s.occ < 0.999 for s in gemmi.read_small_structure(f).sites):
                partial.append(f)
        except Exception:
            pass
    partial = partial[:3] + partial[3::6]
assigned = 0
for src in partial:
    base = os.path.basename(src)
    shutil.copy(src, base)
    ref = velmora_cell(base)
    if ref is None:
        continue
    before = totals(ref[1])
    mixed = mixed_species(ref[0], ref[1])
    neutral = abs(sum(o * v[0] for (t, o), v in before.items())) < 1e-3 and \
        all(abs(v[0] - round(v[0])) < 2e-3 for v in before.values())
    for run_no in range(2):
        out = run('--gen-cif-assign-all', base)
        if out.returncode != 0:
            problems.append('--gen-cif-assign-all %s: %s' % (base, out.stderr.strip())); break
        assigned += 1
        name = base + '.assign.cif'
        got = velmora_cell(name)
        check_written(name, name, got, True)
        after = totals(got[1])
        if any(occ != 1.0 for _, _, _, occ in got[1]):
            problems.append('%s: partial occupancy left after --gen-cif-assign-all' % base)
        for sp, (tot, npart, n) in before.items():
            want = math.floor(tot + 5e-4 * npart + 1e-9)
            have = after.get(sp, [0, 0, 0])[0]
            if sp not in mixed and abs(have - want) > 1e-9:
                problems.append('%s: %s%+d: %g atoms for a total occupancy of %.4f' %
                                (base, sp[0], sp[1], have, tot))
            # on shared sites the fractions left over fill whole sites too,
            # so a species may gain the one atom its fraction rounds up to
            if sp in mixed and not (want - 1.5 <= have <= math.ceil(tot - 1e-9) + 1e-9):
                problems.append('%s: %s%+d: %g atoms on shared sites for a total of %.4f' %
                                (base, sp[0], sp[1], have, tot))
        if neutral and abs(sum(o * v[0] for (t, o), v in after.items())) > 1e-6:
            problems.append('%s: neutral cell no longer neutral after assignment' % base)
    # Assignment of one species on shared sites.
    for sp in sorted(mixed)[:2]:
        out = run('--gen-cif-assign', base, sp[0], str(sp[1]), 'one.cif')
        if out.returncode != 0:
            problems.append('--gen-cif-assign %s %s %d: %s' % (base, sp[0], sp[1], out.stderr.strip()))
            continue
        got = velmora_cell('one.cif')
        check_written('one.cif', 'one.cif', got, True)
        if sp in totals(got[1]) and sum(1 for t, o, _, occ in got[1]
                                        if (t, o) == sp and occ < 1.0 and sp in mixed) > \
                before[sp][1]:
            problems.append('%s: more partial %s atoms after --gen-cif-assign' % (base, sp[0]))

# The LiNaCl fixture: two Li and two Na on the four shared sites, every time.
out = run('--gen-cif-assign', 'LiNaCl_mixed.cif', 'Li+', '1')
got = velmora_cell('LiNaCl_mixed.cif.assign.cif')
t = totals(got[1])
if t.get(('Li', 1), [0])[0] != 2 or t.get(('Na', 1), [0])[0] != 2 or len(got[1]) != 8:
    problems.append('LiNaCl_mixed: --gen-cif-assign gave %s' % t)

for p in problems:
    print('FAIL: ' + p)
print('%d structures written and read back, %d assignments checked, %d problems' %
      (checked, assigned, len(problems)))
sys.exit(1 if problems else 0)
PYEOF
status=$?
# Argument handling of the writer commands.
"$V" --gen-cif-assign "$DATA/ff/LiF_thirds.cif" Li x >"$S/os.out" 2>"$S/os.err"
[ $? = 1 ] && [ "$(cat "$S/os.err")" = "Error: wrong parameter os." ] \
  || { echo "FAIL: --gen-cif-assign with os x"; status=1; }
[ ! -e "$DATA/ff/LiF_thirds.cif.assign.cif" ] || { echo "FAIL: file written after a bad os"; status=1; }
"$V" --gen-cif >"$S/usage.out" 2>&1
[ $? = 2 ] || { echo "FAIL: --gen-cif without a file is not a usage error"; status=1; }
grep -qF 'Command: {output_name}: the name of the output file. If omitted, the input name appended by ".cif" will be used.' "$S/usage.out" \
  || { echo "FAIL: usage of --gen-cif"; status=1; }
exit $status

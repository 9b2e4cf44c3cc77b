#!/usr/bin/env bash
# End-to-end checks of velmora.x --gen-cube and --print-cube: usage and
# argument errors, grid sizes and file layout, closed (non-periodic) files,
# identical files on one and two threads, the assigned-supercell path for
# partially occupied conducting sites with its progress lines, refusal of
# malformed cubes, no partial file on failure, and every written cube read
# back by ASE (skipped with a message when python3-ase is absent).
. "$(dirname "$0")/lib/velmora_checks.sh"
counts() { sed -n 4,6p "$1" | awk '{printf "%s ", $1}'; }

cp "$DATA/validation/Li2O.cif" "$DATA/validation/LiFePO4.cif" "$DATA/validation/LiCoO2.cif" \
   "$DATA/cube/LiNaO_partial.cif" .

# Usage and argument errors.
run usage 2 --gen-cube Li2O.cif Li
has usage.out "Command: --gen-cube [input.cif] [type] [os] | {sf} {resolution} {flag:ignore_conducting_ion} {flag:periodic} {output_name}"
has usage.out "Example: ./velmora.x --gen-cube Li2O.cif Li 1 0.71 0.05 f t"
run usage_print 2 --print-cube
has usage_print.out "Command: --print-cube [input.cube] | {flag:periodic}"
run bad_os 1 --gen-cube Li2O.cif Li x
has bad_os.err "Error: wrong parameter conducting os."
run bad_sf 1 --gen-cube Li2O.cif Li 1 abc
has bad_sf.err "Error: wrong parameter screening factor."
run bad_res 1 --gen-cube Li2O.cif Li 1 0.7 abc
has bad_res.err "Error: wrong parameter resolution."
run no_cif 1 --gen-cube missing.cif Li 1
[ -e missing.cif.cube ] && fail "a cube was written for a missing structure"

# Li2O with the defaults: 48 voxels per axis, file named after the input.
run li2o 0 --gen-cube Li2O.cif Li 1
has li2o.out "Message: ignoring all Li1+ ions during cube generation."
has li2o.out "Message: cube file saved to Li2O.cif.cube."
[ "$(counts Li2O.cif.cube)" = "48 48 48 " ] || fail "Li2O grid: $(counts Li2O.cif.cube)"
[ "$(wc -l <Li2O.cif.cube)" = $((6 + 12 + 48 * 48 * 48)) ] || fail "Li2O cube line count"
grep -q "Message: cube generation" li2o.out && fail "progress lines on a short run"
ls ./*.tmp.* >/dev/null 2>&1 && fail "temporary files left behind"
# Zero resolution means 0.1; the flags "f0" and "F" mean false, "no" true.
run zero_res 0 --gen-cube Li2O.cif Li 1 0.7 0 no f0 li2o_open.cube
[ "$(counts li2o_open.cube)" = "49 49 49 " ] || fail "closed file counts: $(counts li2o_open.cube)"
has zero_res.out "Message: ignoring all Li1+ ions"
run kept 0 --gen-cube Li2O.cif Li 1 0.7 0.2 F t li2o_kept.cube
has kept.out "Message: no ion is ignored during cube generation."
run print 0 --print-cube Li2O.cif.cube
has print.out "CUBE: cube size = 48 * 48 * 48"
has print.out "CELL: total atom: 12"
has print.out "CUBE: votex vector (A):"
run print_open 0 --print-cube li2o_open.cube f
has print_open.out "CUBE: cube size = 48 * 48 * 48"
cmp -s <(tail -n +19 li2o_open.cube | head -1) <(tail -n +19 Li2O.cif.cube | head -1) \
  || fail "first value differs between closed and periodic files"

# One and two threads give the same file.
OMP_NUM_THREADS=1 "$V" --gen-cube LiFePO4.cif Li 1 0.7 0.3 t t lfp1.cube >/dev/null 2>&1 || fail "lfp1"
OMP_NUM_THREADS=2 "$V" --gen-cube LiFePO4.cif Li 1 0.7 0.3 t t lfp2.cube >/dev/null 2>&1 || fail "lfp2"
cmp -s lfp1.cube lfp2.cube || fail "cube depends on the thread count"
[ "$(counts lfp1.cube)" = "48 24 24 " ] || fail "LiFePO4 grid at 0.3: $(counts lfp1.cube)"
run lco 0 --gen-cube LiCoO2.cif Li 1 0.7 0.2

# Partially occupied conducting sites: the assigned supercell is written
# first, the landscape is computed on it in P 1; long enough for progress.
run partial 0 --gen-cube LiNaO_partial.cif Li 1 0.7 0.15
has partial.out "Message: partial occupancy at conducting sites detected. Cube will be generated based on an assigned supercell."
has partial.out "Message: cif file saved to LiNaO_partial_assigned.cif"
[ -s LiNaO_partial_assigned.cif ] || fail "no assigned structure"
grep -q "Message: cube generation [0-9]*% done" partial.out || echo "note: no progress line (run was quick)"
[ "$(sed -n 3p LiNaO_partial.cif.cube | awk '{print $1}')" -gt 100 ] || fail "assigned supercell atoms"

# Failures leave nothing under the final name.
run nodir 1 --gen-cube Li2O.cif Li 1 0.7 0.3 t t no_such_dir/x.cube
has nodir.err "Error: unable to open file no_such_dir/x.cube"
printf 't\r\n\r\n 0 0 0 0\r\n 2 1 0 0\r\n 2 0 1 0\r\n 2 0 0 1\r\n' >short.cube
printf '     0.500000\r\n' >>short.cube
for v in 1 2 3 4 5 6; do printf '     %d.000000\r\n' "$v" >>short.cube; done
run short 1 --print-cube short.cube
has short.err "holds 7 voxel values where its 2 x 2 x 2 grid needs 8"
has short.err "Error: velmora_cube_import_from_file() returns non-zero."
printf 't\r\n\r\n 0 0 0 0\r\n -4 1 0 0\r\n 2 0 1 0\r\n 2 0 0 1\r\n 1\r\n' >negative.cube
run negative 1 --print-cube negative.cube
run missing_cube 1 --print-cube none.cube
has missing_cube.out "Error: unable to open none.cube."

# Every cube written above, read by ASE: the grid shape, the cell (counts
# times step vectors, the structure's lattice for periodic files) and the
# atoms of the header.
if "$PY" -c 'import ase.io' 2>/dev/null; then
  "$PY" - "$S" <<'EOF' || fail "ASE read-back"
import glob, os, sys
import numpy as np
import ase.io
from ase.units import Bohr
os.chdir(sys.argv[1])
bad = 0
lattice = {"Li2O": [4.6114] * 3, "LiFePO4": [10.332, 6.01, 4.692]}
for path in sorted(glob.glob("*.cube")):
    if path in ("short.cube", "negative.cube"):
        continue
    lines = open(path).read().split("\n")
    natoms = int(lines[2].split()[0])
    counts = [int(lines[3 + k].split()[0]) for k in range(3)]
    steps = np.array([[float(x) for x in lines[3 + k].split()[1:4]] for k in range(3)]) / 1.889725989
    values = np.array([float(x) for x in " ".join(lines[6 + natoms:]).split()])
    data, atoms = ase.io.read(path, format="cube", read_data=True, full_output=True)["data"], \
        ase.io.read(path, format="cube")
    if list(data.shape) != counts:
        print(path, "shape", data.shape, counts); bad += 1; continue
    if not np.allclose(data.ravel(), values, atol=1e-9):
        print(path, "values differ"); bad += 1
    if not np.allclose(np.array(atoms.cell), np.array(counts)[:, None] * steps, atol=1e-4):
        print(path, "cell", atoms.cell, counts); bad += 1
    if len(atoms) != natoms:
        print(path, "atoms", len(atoms), natoms); bad += 1
    header = [l.split() for l in lines[6:6 + natoms]]
    if natoms and (list(atoms.numbers) != [int(h[0]) for h in header] or not np.allclose(
            atoms.positions, np.array([[float(x) for x in h[2:5]] for h in header]) / 1.889725989,
            atol=1e-4)):
        print(path, "atom numbers or positions"); bad += 1
    # A periodic file spans the structure's cell; a closed one repeats its
    # first layer at the end of each axis.
    base = path.split(".")[0]
    if counts[0] % 24 == 0 and base in lattice:
        lengths = np.linalg.norm(np.array(atoms.cell), axis=1)
        if not np.allclose(lengths, lattice[base], atol=1e-4):
            print(path, "cell lengths", lengths); bad += 1
    if counts[0] % 24 == 1:
        if not (np.array_equal(data[-1], data[0]) and np.array_equal(data[:, -1], data[:, 0])
                and np.array_equal(data[:, :, -1], data[:, :, 0])):
            print(path, "closed layers"); bad += 1
    finite = np.isfinite(data).all() and data.max() <= 999.9
    if not finite:
        print(path, "values out of range"); bad += 1
print("ASE read", len(glob.glob("*.cube")) - 2, "cubes;", bad, "problems")
sys.exit(1 if bad else 0)
EOF
else
  echo "SKIP: python3-ase is not installed (tools/install-deps.sh installs it); ASE read-back not run"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "velmora cube end-to-end: all checks passed"

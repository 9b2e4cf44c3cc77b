#!/usr/bin/python3
"""Runs velmora.x's CIF reader over every CIF of a directory (by default the
COD set in ../shared/data/cod) and reports how many it reads and why it
refuses the others.  For each file read it cross-checks, independently:

  * the number of atoms of the full cell (--print-cell) against gemmi's
    expansion of the asymmetric unit by the file's symmetry, and the
    composition (occupancy summed per element over the cell) against the
    same expansion;
  * the space-group number found by --cal-sym against spglib run on the
    expanded structure (gemmi's expansion, species = element and charge).

A crash (signal, sanitizer report, exit status other than 0 or 1) or a
refusal without an "Error: " line naming its reason is a failure: the script
then exits 1.  Mismatches are listed for inspection but do not fail the run.

usage: cod_survey.py [--velmora PATH] [--quiet] [directory]
"""
import argparse
import math
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run(velmora, args, timeout=120):
    try:
        p = subprocess.run([velmora] + args, capture_output=True, text=True,
                           errors="replace", timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, "", "timeout"
    return p.returncode, p.stdout, p.stderr


def reason_of(stderr):
    """The innermost (first) error line of a failure chain."""
    for line in stderr.splitlines():
        if line.startswith("Error: ") and "returns" not in line:
            return line[len("Error: "):]
    for line in stderr.splitlines():
        if line.startswith("Error: "):
            return line[len("Error: "):]
    return None


def crashed(rc, stderr):
    return (rc is None or rc not in (0, 1) or "AddressSanitizer" in stderr
            or "runtime error" in stderr)


def decimal_to_fraction(triplet):
    """x+0.5 -> x+1/2: gemmi reads only fractional translations."""
    from fractions import Fraction

    def repl(m):
        f = Fraction(m.group(0)).limit_denominator(12)
        return "%d/%d" % (f.numerator, f.denominator)
    return re.sub(r"\d*\.\d+", repl, triplet)


def reference_ops(path, st):
    """Symmetry operations of the file read by gemmi: the operation loop,
    else the Hermann-Mauguin symbol, the Hall symbol or the number."""
    import gemmi
    block = gemmi.cif.read(path).sole_block()
    for tag in ("_symmetry_equiv_pos_as_xyz", "_space_group_symop_operation_xyz"):
        values = block.find_values(tag)
        if len(values):
            return [gemmi.Op(decimal_to_fraction(gemmi.cif.as_string(v).replace(" ", "")))
                    for v in values]
    sg = st.find_spacegroup()
    if sg is None:
        hall = block.find_value("_symmetry_space_group_name_Hall") or \
            block.find_value("_space_group_name_Hall")
        if hall:
            return list(gemmi.symops_from_hall(gemmi.cif.as_string(hall)))
        number = block.find_value("_space_group_IT_number") or \
            block.find_value("_symmetry_Int_Tables_number")
        if number:
            sg = gemmi.find_spacegroup_by_number(int(gemmi.cif.as_number(number)))
    return list(sg.operations()) if sg else None


def composition_of(out):
    """Occupancy per element over the cell from velmora's atom lines
    (CELL: [  0]ATOM: name= Fe2+M;type=Fe;os= 2;x_f=(...);occ=0.004)."""
    comp = {}
    for element, occ in re.findall(r"ATOM: name=.*;type=\s*(\w+);.*;occ=([-0-9.]+)", out):
        total, count = comp.get(element, (0.0, 0))
        comp[element] = (total + float(occ), count + 1)
    return comp


def same_composition(ours, ref):
    """Equal up to the rounding of the printed occupancies (3 decimals)."""
    return set(ours) == set(ref) and all(
        abs(ours[k][0] - ref[k]) <= 0.0005 * ours[k][1] + 1e-6 for k in ours)


def element_of(site):
    """gemmi's element of a site; for a label such as KA or VM1 (no type
    symbol), the element its first letter names, as CIF labels are read."""
    import gemmi
    if site.element.name != "X":
        return site.element.name
    text = re.sub(r"[^A-Za-z].*", "", site.type_symbol or site.label)
    for symbol in (text[:2], text[:1]):
        if symbol and gemmi.Element(symbol.capitalize()).name != "X":
            return symbol.capitalize()
    return text


def gemmi_reference(path):
    """(atom count, spglib number, problem, composition): the asymmetric unit
    read by gemmi, expanded by the file's operations (images of one site
    closer than 0.1 A merged), spglib's group of that structure, and the
    occupancy per element over the cell."""
    try:
        import gemmi
        import numpy as np
        import spglib
    except ImportError as e:  # the cross-check is optional
        return None, None, "no gemmi/spglib: %s" % e, None
    try:
        st = gemmi.read_small_structure(path)
        ops = reference_ops(path, st)
    except Exception as e:  # gemmi refuses the file
        return None, None, "gemmi: %s" % e, None
    if not ops:
        return None, None, "gemmi: no symmetry", None
    cell = st.cell
    orth = np.array(cell.orthogonalization_matrix.tolist())

    def close(f, o):
        d = np.array(f) - np.array(o)
        d -= np.round(d)
        return float(np.sum((orth @ d) ** 2)) < 0.01

    # Atoms of fractional oxidation state (Mn3.5+, or 2.89 in the _atom_type
    # loop) are read as two atoms of integer valence on the same site.
    block = gemmi.cif.read(path).sole_block()
    oxidation = {}
    table = block.find("_atom_type_", ["symbol", "oxidation_number"])
    for row in table:
        try:
            oxidation[gemmi.cif.as_string(row[0])] = float(gemmi.cif.as_number(row[1]))
        except (ValueError, TypeError):
            pass

    def split(site):
        value = oxidation.get(site.type_symbol)
        if value is None:
            m = re.search(r"(\d+(\.\d+)?)", site.type_symbol)
            value = float(m.group(1)) if m else 0.0
        return 2 if not math.isnan(value) and abs(value - round(value)) >= 0.1 else 1

    positions, kinds, keys = [], [], {}
    extra = 0
    composition = {}
    for site in st.sites:
        mine = []
        for op in ops:
            f = [c % 1.0 for c in op.apply_to_xyz(site.fract.tolist())]
            if any(close(f, o) for o in mine):
                continue
            mine.append(f)
        key = (site.element.name, site.charge, round(site.occ, 3))
        for f in mine:
            positions.append(f)
            kinds.append(keys.setdefault(key, len(keys) + 1))
        extra += (split(site) - 1) * len(mine)
        element = element_of(site)
        composition[element] = composition.get(element, 0.0) + site.occ * len(mine)
    count = len(positions) + extra
    if not positions:
        return count, None, "gemmi: no sites", composition
    lattice = orth.T
    try:
        data = spglib.get_symmetry_dataset((lattice, positions, kinds), symprec=0.01)
    except Exception as e:
        return count, None, "spglib: %s" % e, composition
    number = None
    if data is not None:
        number = data["number"] if isinstance(data, dict) else data.number
    return count, number, None, composition


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("directory", nargs="?",
                    default=os.path.join(ROOT, "..", "shared", "data", "cod"))
    ap.add_argument("--velmora", default=os.path.join(ROOT, "bin", "velmora.x"))
    ap.add_argument("--no-cross-check", action="store_true")
    ap.add_argument("--every", type=int, default=1,
                    help="read only every n-th file (sorted by name)")
    ap.add_argument("--cal-sym-every", type=int, default=1,
                    help="run --cal-sym on every n-th file read only")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args()

    if not os.path.isdir(args.directory):
        print("cod_survey: no directory %s; nothing to survey." % args.directory)
        return 0
    files = sorted(f for f in os.listdir(args.directory) if f.lower().endswith(".cif"))
    files = files[::max(args.every, 1)]
    read, refused, failures = [], [], []
    count_mismatch, sg_mismatch, sg_unknown, comp_mismatch = [], [], [], []
    for name in files:
        path = os.path.join(args.directory, name)
        rc, out, err = run(args.velmora, ["--print-cell", path])
        if crashed(rc, err):
            failures.append((name, "crash in --print-cell (status %s)" % rc))
            continue
        if rc != 0:
            why = reason_of(err)
            if why is None:
                failures.append((name, "refused without a reason"))
            else:
                refused.append((name, why))
            continue
        m = re.search(r"CELL: total atom: (\d+)", out)
        natoms = int(m.group(1)) if m else -1
        read.append(name)
        number = None
        if len(read) % max(args.cal_sym_every, 1) == 0:
            rc2, out2, err2 = run(args.velmora, ["--cal-sym", path])
            if crashed(rc2, err2):
                failures.append((name, "crash in --cal-sym (status %s)" % rc2))
                continue
            m2 = re.search(r"determined International Table ID: (\d+)", out2)
            number = int(m2.group(1)) if m2 else None
        if args.no_cross_check:
            continue
        ref_count, ref_number, problem, ref_comp = gemmi_reference(path)
        if problem:
            sg_unknown.append((name, problem))
        if ref_count is not None and ref_count != natoms:
            count_mismatch.append((name, natoms, ref_count))
        comp = composition_of(out)
        if ref_comp is not None and not same_composition(comp, ref_comp):
            comp_mismatch.append((name, comp, ref_comp))
        if ref_number is not None and ref_number != number:
            sg_mismatch.append((name, number, ref_number))

    print("cod_survey: %d CIF files, %d read, %d refused, %d failures"
          % (len(files), len(read), len(refused), len(failures)))
    if not args.no_cross_check:
        checked = len(read) - len(sg_unknown)
        print("cod_survey: atom count equal to gemmi's expansion: %d of %d"
              % (len(read) - len(count_mismatch), len(read)))
        print("cod_survey: composition equal to gemmi's expansion: %d of %d"
              % (len(read) - len(comp_mismatch), len(read)))
        print("cod_survey: --cal-sym number equal to spglib's: %d of %d"
              % (checked - len(sg_mismatch), checked))
    for name, why in refused:
        print("refused  %s: %s" % (name, why))
    for name, why in failures:
        print("FAILURE  %s: %s" % (name, why))
    if not args.quiet:
        for name, ours, ref in count_mismatch:
            print("atoms    %s: velmora %d, gemmi %d" % (name, ours, ref))
        for name, ours, ref in comp_mismatch:
            print("content  %s: velmora %s, gemmi %s" % (
                name, " ".join("%s:%.3f" % (k, v[0]) for k, v in sorted(ours.items())),
                " ".join("%s:%.3f" % kv for kv in sorted(ref.items()))))
        for name, ours, ref in sg_mismatch:
            print("group    %s: velmora %s, spglib %s" % (name, ours, ref))
        for name, problem in sg_unknown:
            print("nocheck  %s: %s" % (name, problem))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

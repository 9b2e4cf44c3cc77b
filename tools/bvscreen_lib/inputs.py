"""Inputs of a screen: CIF files, directories of them and list files; one
task per structure, whose key names its directory under DIR/work; and the
metadata of a CIF as gemmi reads it (identifiers, formula, space group,
cell, occupancies, the elements whose oxidation states the file gives)."""
import hashlib
import math
import os
import re

try:
    import gemmi
except ImportError:  # reported when a CIF is first read
    gemmi = None


class InputError(Exception):
    """An input that does not exist or holds nothing: a usage error."""


def read_list(path):
    """The paths of a list file, relative ones taken from the list's
    directory: one per line, blank lines and lines that start with '#'
    skipped (a '#' further on belongs to the path); a file holding a NUL
    byte is split at NUL bytes instead, so that names with newlines can be
    listed (bvscreen --print-inputs -0 writes such lists)."""
    with open(path, "rb") as f:
        data = f.read()
    if b"\0" in data:
        entries = [e for e in data.split(b"\0") if e]
    else:
        entries = [l.strip() for l in data.splitlines()]
        entries = [e for e in entries if e and not e.startswith(b"#")]
    base = os.path.dirname(path)
    out = []
    for e in entries:
        p = os.fsdecode(e)
        out.append(p if os.path.isabs(p) else os.path.join(base, p))
    return out


def cifs_below(directory):
    """Every *.cif below a directory, sorted (directories and names)."""
    found = []
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        found += [os.path.join(root, f) for f in sorted(files) if f.lower().endswith(".cif")]
    return found


def expand_inputs(inputs, lists=()):
    """The structures to screen, in the order given: a file is a CIF
    whatever its name, a directory stands for every *.cif below it, and a
    list file (given as @FILE or with --list FILE) for the paths it lists.
    Raises InputError naming what does not exist or holds nothing, and
    when nothing at all is left to screen."""
    items = [("list", p[1:]) if p.startswith("@") else ("path", p) for p in inputs]
    items += [("list", p) for p in lists]
    paths, missing, empty = [], [], []

    def take(path):
        if os.path.isdir(path):
            found = cifs_below(path)
            if not found:
                empty.append("%s (a directory without *.cif files)" % path)
            paths.extend(found)
        elif os.path.isfile(path):
            paths.append(path)
        else:
            missing.append(path)

    for kind, item in items:
        if kind == "path":
            take(item)
            continue
        if not os.path.isfile(item):
            missing.append(item + " (list file)")
            continue
        listed = read_list(item)
        if not listed:
            empty.append("%s (an empty list)" % item)
        for p in listed:
            take(p)
    problems = []
    if missing:
        problems.append("no such file or directory: " + shown(missing))
    if empty:
        problems.append("nothing to screen in " + shown(empty))
    if problems:
        raise InputError("; ".join(problems))
    if not paths:
        raise InputError("nothing to screen: give CIF files, directories or @LIST files")
    return paths


def shown(names, most=5):
    text = ", ".join(repr(n) if "\n" in n else n for n in names[:most])
    return text + (" and %d more" % (len(names) - most) if len(names) > most else "")


def make_task(path):
    """A structure to screen.  Its key (its directory under DIR/work) is the
    file's stem, made safe for a directory name, and the start of the SHA-1
    of the file's name and content: an edited file is screened afresh, and
    two files never share a directory unless both their names and contents
    are equal ("a b.cif" and "a_b.cif" share a stem, not a key)."""
    name = os.path.basename(path)
    stem = re.sub(r"[^A-Za-z0-9._-]", "_", os.path.splitext(name)[0]).strip(".") or "structure"
    try:
        with open(path, "rb") as f:
            data = f.read()
        error = None
    except OSError as e:
        data = None
        error = "Error: cannot read %s: %s" % (path, e.strerror)
    if data is None:
        digest = "missing-" + hashlib.sha1(os.fsencode(os.path.abspath(path))).hexdigest()[:8]
    else:
        digest = hashlib.sha1(os.fsencode(name) + b"\0" + data).hexdigest()[:12]
    info = cif_info(data) if data is not None else {}
    return {"path": os.path.abspath(path), "stem": stem, "key": stem + "-" + digest,
            "error": error, "info": info, "cost": structure_cost(info)}


def unique_tasks(tasks):
    """The tasks without repeats of a key (the same file given twice, or a
    copy of the same name and content elsewhere), and the paths left out."""
    seen, out, repeats = set(), [], []
    for t in tasks:
        if t["key"] in seen:
            repeats.append(t["path"])
            continue
        seen.add(t["key"])
        out.append(t)
    return out, repeats


# ------------------------------------------------------------ CIF metadata

def first(block, *tags):
    for tag in tags:
        v = block.find_value(tag)
        if v is not None and v not in ("?", "."):
            return gemmi.cif.as_string(v)
    return None


def number(text):
    if text is None:
        return None
    v = gemmi.cif.as_number(text)
    return None if math.isnan(v) else v


def element_of(text):
    m = re.match(r"([A-Za-z][a-z]?)", text or "")
    return m.group(1).capitalize() if m else None


# An oxidation state written after the element, as in Fe2+, O2-, Li+1, Cl-.
CHARGED = re.compile(r"^[A-Za-z]{1,2}(\d+(\.\d+)?[+-]|[+-]\d*(\.\d+)?)")


def uncharged_elements(block):
    """The elements of the sites whose oxidation state the CIF does not
    give: no charge in the type symbol, none in the _atom_type table for
    that symbol, none at the start of the label (Fe2+M).  velmora.x takes
    its defaults for them."""
    table = {}
    for sym, ox in zip(block.find_values("_atom_type_symbol"),
                       block.find_values("_atom_type_oxidation_number")):
        if number(ox) is not None:
            table[gemmi.cif.as_string(sym)] = True
    labels = [gemmi.cif.as_string(v) for v in block.find_values("_atom_site_label")]
    types = [gemmi.cif.as_string(v) for v in block.find_values("_atom_site_type_symbol")]
    if not types:
        types = [None] * len(labels)
    if not labels:
        labels = [""] * len(types)
    out = set()
    for label, sym in zip(labels, types):
        if (sym and (CHARGED.match(sym) or table.get(sym))) or CHARGED.match(label):
            continue
        e = element_of(sym or label)
        if e:
            out.add(e)
    return sorted(out)


def cif_info(data):
    """Identification of a structure from the bytes of its CIF (first data
    block): COD id, ICSD code, formula, space group, Z, cell, volume,
    whether a site is partly occupied, the elements present and those
    without a given oxidation state.  'error' holds why gemmi could not
    read the file (the programs then say what they make of it)."""
    info = {"cod": None, "icsd": None, "formula": None, "space_group": None, "z": None,
            "cell": None, "volume": None, "partial": False, "elements": [],
            "uncharged_elements": [], "error": None}
    if gemmi is None:
        info["error"] = "python3-gemmi is not installed"
        return info
    try:
        doc = gemmi.cif.read_string(data.decode("utf-8", errors="replace"))
        block = doc[0]
    except (RuntimeError, ValueError, IndexError) as e:
        info["error"] = str(e).splitlines()[0] if str(e) else "not a CIF"
        return info
    info["cod"] = first(block, "_cod_database_code")
    info["icsd"] = first(block, "_database_code_ICSD", "_database_code_icsd")
    formula = first(block, "_chemical_formula_sum")
    info["formula"] = re.sub(r"\s+", "", formula) if formula else None
    info["space_group"] = first(block, "_space_group_name_H-M_alt",
                                "_symmetry_space_group_name_H-M")
    info["z"] = number(first(block, "_cell_formula_units_Z"))
    cell = [number(first(block, "_cell_length_" + x)) for x in "abc"] + \
           [number(first(block, "_cell_angle_" + x)) for x in ("alpha", "beta", "gamma")]
    if all(c for c in cell):
        info["cell"] = cell
        ca, cb, cg = (math.cos(math.radians(x)) for x in cell[3:])
        det = 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg
        info["volume"] = cell[0] * cell[1] * cell[2] * math.sqrt(max(det, 0.0))
    occ = [number(gemmi.cif.as_string(v)) for v in block.find_values("_atom_site_occupancy")]
    info["partial"] = any(o is not None and o < 0.999 for o in occ)
    sites = list(block.find_values("_atom_site_type_symbol")) or \
        list(block.find_values("_atom_site_label"))
    info["elements"] = sorted({e for e in (element_of(gemmi.cif.as_string(v)) for v in sites) if e})
    info["uncharged_elements"] = uncharged_elements(block)
    return info


def structure_cost(info):
    """Rough relative cost of a structure, for starting the long ones first:
    grid points scale with the cell volume; partly occupied sites may be
    resolved in a supercell of several cells."""
    return (info.get("volume") or 0.0) * (8.0 if info.get("partial") else 1.0)


def structure_id(info, stem):
    """COD id, else ICSD code, else the file's stem."""
    if info.get("cod"):
        return "cod:" + info["cod"]
    if info.get("icsd"):
        return "icsd:" + info["icsd"]
    return stem

"""Site multiplicities of the CIF files in a directory, from gemmi's reading
of each file's symmetry (its operation loop, else its named group): the
distinct images of each site in the unit cell, two images being the same
when every fractional coordinate agrees to 0.001 (modulo 1).  Prints: file label multiplicity.  Used by the ostrel tests."""
import glob
import math
import os
import sys

import gemmi


def same(u, v):
    d = abs(u - v)
    return d < 0.001 or abs(d - 1.0) < 0.001


def wrap(v):
    return v - math.floor(v)


for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.cif"))):
    try:
        st = gemmi.read_small_structure(path)
    except Exception:
        continue
    # The file's own operations when it lists them (they may be in another
    # origin than the setting its name stands for), else its named group.
    block = gemmi.cif.read(path).sole_block()
    texts = []
    for tag in ("_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz"):
        texts = [gemmi.cif.as_string(v) for v in block.find_values(tag)]
        if texts:
            break
    if texts:
        try:
            ops = [gemmi.Op(t.replace(" ", "")) for t in texts]
        except Exception:
            continue
    else:
        sg = st.find_spacegroup()
        if sg is None:
            continue
        ops = list(sg.operations())
    for site in st.sites:
        images = []
        for op in ops:
            p = [wrap(c) for c in op.apply_to_xyz([site.fract.x, site.fract.y, site.fract.z])]
            if not any(all(same(a, b) for a, b in zip(p, q)) for q in images):
                images.append(p)
        print(os.path.basename(path), site.label, len(images))

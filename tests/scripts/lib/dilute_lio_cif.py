"""Writes LiO.cif: a dilute Li landscape, O on the fcc lattice of a 9.222 A
cube (the O framework of 2x2x2 Li2O) and one Li at (1/4 1/4 1/4) of each of
the eight Li2O cells, so one Li per 64 tetrahedral sites.
Usage: dilute_lio_cif.py [output]   (default LiO.cif)
"""
import sys

a = 4.611 * 2
rows = ["data_LiO_dilute", "_cell_length_a %.4f" % a, "_cell_length_b %.4f" % a,
        "_cell_length_c %.4f" % a, "_cell_angle_alpha 90", "_cell_angle_beta 90",
        "_cell_angle_gamma 90", "_symmetry_space_group_name_H-M 'P 1'", "loop_",
        "_symmetry_equiv_pos_as_xyz", "x,y,z", "loop_", "_atom_site_label",
        "_atom_site_type_symbol", "_atom_site_fract_x", "_atom_site_fract_y",
        "_atom_site_fract_z", "_atom_site_occupancy"]
cells = [(i, j, k) for i in range(2) for j in range(2) for k in range(2)]
fcc = [(0, 0, 0), (0, .5, .5), (.5, 0, .5), (.5, .5, 0)]
n = 0
for c in cells:
    for f in fcc:
        n += 1
        rows.append("O%d O2- %.5f %.5f %.5f 1" % (n, *((f[d] + c[d]) / 2 for d in range(3))))
for m, c in enumerate(cells):
    rows.append("Li%d Li1+ %.5f %.5f %.5f 1" % (m + 1, *((0.25 + c[d]) / 2 for d in range(3))))
open(sys.argv[1] if len(sys.argv) > 1 else "LiO.cif", "w").write("\n".join(rows) + "\n")

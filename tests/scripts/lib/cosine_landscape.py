"""Writes the separable cosine landscape of the ostrel script tests.

cos.cube: 20^3 voxels of a 4 A cubic cell, E = A(1 - cos 2pi i/n) +
B(1 - cos 2pi j/n) + C(1 - cos 2pi k/n) with A, B, C = 0.11, 0.23, 0.37 eV:
one minimum at the origin, saddles of 2A, 2B, 2C along a, b, c.  The cube
is written with CR LF line ends and a zero atom count, as the analyzer's
tests expect; cos.cif holds the matching cell with Li at the minimum.
Run in the directory that receives the files.
"""
import math

n, L = 20, 4.0
A, B, C = 0.11, 0.23, 0.37
BOHR_PER_A = 1.889725989

with open("cos.cube", "w", newline="") as f:
    f.write("cos\r\nConducting = Li1+ ; sf = 0.700000;\r\n   0    0.000000    0.000000    0.000000\r\n")
    for ax in range(3):
        v = [0.0] * 3
        v[ax] = L / n * BOHR_PER_A
        f.write("%4d %11.6f %11.6f %11.6f\r\n" % (n, v[0], v[1], v[2]))
    for i in range(n):
        for j in range(n):
            for k in range(n):
                e = sum(w * (1 - math.cos(2 * math.pi * q / n)) for w, q in ((A, i), (B, j), (C, k)))
                f.write(" %12.6f\r\n" % e)
with open("cos.cif", "w") as f:
    f.write("data_cos\n_database_code_ICSD 12345\n")
    for t in "abc":
        f.write("_cell_length_%s %.4f\n" % (t, L))
    for t in ("alpha", "beta", "gamma"):
        f.write("_cell_angle_%s 90\n" % t)
    f.write("loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n"
            "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
            "_atom_site_fract_y\n_atom_site_fract_z\nLi1 Li1+ 0 0 0\nO1 O2- 0.5 0.5 0.5\n")

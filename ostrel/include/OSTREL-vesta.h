// The VESTA 3.3.0 file OSTREL.vesta: the structure with its symmetry
// operations, sites and cation-anion bonds, and the landscape cube imported
// as a density with three isosurfaces at the transport thresholds.
#pragma once

#include <cstdio>
#include <string>

#include "OSTREL-cif.h"
#include "OSTREL-cube.h"
#include "OSTREL-path.h"

struct OSTREL_input;

// One symmetry operation as a rotation (integer rows) and a translation.
struct OSTREL_vesta_symop {
  int r[3][3] = {};
  double t[3] = {};
};

// Any operation the structure model accepts (x+1/2, x+0.5, 1/2-y, -x+y ...):
// each component is evaluated as an affine function of x, y, z.  1 when the
// text is no affine operation with integer coefficients.
int OSTREL_parse_vesta_symop(const std::string& op, OSTREL_vesta_symop* out);

void OSTREL_print_vesta_symop(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_vesta_struc(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_vesta_bond(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_vesta_SITET(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_vesta_ATOMT(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_vesta_ISURF(const OSTREL_cif* cif, const OSTREL_cube* cube,
                              const OSTREL_pathlib* lib, FILE* stream);
// The raw energy above the global minimum whose scaled value is `scaled`
// (to 1e-12 eV; the scale rises with the energy): below the scale of 0 it
// is negative, beyond the scale of 10^6 eV it is 10^6 eV or more.
double OSTREL_raw_from_scaled_energy(const OSTREL_cube* cube, double scaled);
// The three isosurface levels (raw energies of the cube file).
void OSTREL_vesta_isosurface_levels(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                    double level[3]);
// Bond length at which a bond carries 1/4.25 of the cation's mean bond
// valence, from the data file: r0 - b ln(V / (4.25 N)); -1 when the pair is
// not listed (or the file is missing).
double OSTREL_maximum_pair_distance(const char* cation, const char* anion, int cation_ox,
                                    int anion_ox);

// The whole file.
int OSTREL_write_vesta(const OSTREL_cube* cube, const OSTREL_cif* cif, const OSTREL_pathlib* lib,
                       const std::string& cube_file, FILE* stream);
// Writes OSTREL.vesta (through a temporary file).
int OSTREL_print_vesta_output(const OSTREL_cube* cube, const OSTREL_cif* cif,
                              const OSTREL_pathlib* lib, const OSTREL_input* input);
// The command mode's shorter file (CR LF line ends, no symmetry or sites).
int OSTREL_write_vesta_cmd(const OSTREL_cif* cif, const std::string& cube_file, FILE* stream);
int OSTREL_print_vesta_cmd_output(const OSTREL_cif* cif, const std::string& cube_file);

// The table read by a graphical front end (OSTREL_gui.csv): the site and
// saddle types with their members, the path types and the activation
// energies of 1D, 2D and 3D transport, comma-separated.
#pragma once

#include <cstdio>

#include "OSTREL-cif.h"
#include "OSTREL-cube.h"
#include "OSTREL-path.h"

// Writes the table into the stream; 1 when a plateau of equal energies
// around a minimum is too large to average.
int OSTREL_write_GUI_table(const OSTREL_cube* cube, const OSTREL_cif* cif,
                           const OSTREL_pathlib* lib, FILE* stream);
// Writes OSTREL_gui.csv (through a temporary file) and says so.
int OSTREL_print_GUI_output(const OSTREL_cube* cube, const OSTREL_cif* cif,
                            const OSTREL_pathlib* lib);

// Symmetry of the landscape grid: space-group operations acting on integer
// grid indices, the asymmetric unit of the grid, the symmetrised grid, the
// grouping of minima and saddles into symmetry types, the structure's ion
// sites on the minima and interstitial labels.
#pragma once

#include <string>
#include <vector>

#include "OSTREL-cif.h"
#include "OSTREL-cube.h"

constexpr int OSTREL_MAX_ION_DELOCALISED_SITES = 26;
constexpr int OSTREL_MAX_SITE_ION_TYPE = 26;

// Integer rounding of a symmetry image: a half-integer value within one unit
// of the reference point rounds to the reference, any other value half away
// from zero.
int OSTREL_round_copies(int reference, double value);

// ---------------------------------------------------------------------------
// Operations on grid indices.

struct OSTREL_fastgen_xyz {
  int x = 0, y = 0, z = 0;          // grid point
  double p = 0, q = 0, r = 0;       // true position in grid units
};

struct OSTREL_symcopies {
  int total = 0;
  OSTREL_fastgen_xyz copy[OSTREL_MAX_SYMOP];
};

struct OSTREL_xyz_int {
  int x = 0, y = 0, z = 0;
};

struct OSTREL_asymmetric_unit {
  int total = 0, cap = 0;
  std::vector<OSTREL_xyz_int> grid;   // one grid point per symmetry orbit
  int stotal = 0, scap = 0;
  std::vector<OSTREL_xyz_int> sgrid;  // those below the global minimum + 5
  // 1 when every grid point has the energy of its orbit's listed point (to
  // 1e-7), that is when the grid really has the structure's symmetry.
  int grid_symmetric = 1;
  double max_asymmetry = 0.0;         // largest deviation found, eV
};

struct OSTREL_ion_position {
  double x = 0, y = 0, z = 0;         // fractional
  std::string label;
  double occ = 0;
  int minima[OSTREL_MAX_ION_DELOCALISED_SITES];
};

void OSTREL_init_fastgen(OSTREL_cif* cif);
int OSTREL_prepare_fastgen_symop(OSTREL_cif* cif, const OSTREL_cube* cube);
void OSTREL_fastgen_sym_copies(const OSTREL_cif* cif, const OSTREL_cube* cube,
                               OSTREL_symcopies* copies, int i, int j, int k);
void OSTREL_condense_copies(const OSTREL_cif* cif, const OSTREL_cube* cube,
                            OSTREL_symcopies* copies, int radius);
int OSTREL_is_symmetrically_related(const OSTREL_cif* cif, const OSTREL_cube* cube, int x1,
                                    int y1, int z1, int x2, int y2, int z2);

void OSTREL_init_asymmetric_unit(OSTREL_asymmetric_unit* unit);
void OSTREL_free_asymmetric_unit(OSTREL_asymmetric_unit* unit);
int OSTREL_alloc_asymmetric_unit_grid(OSTREL_asymmetric_unit* unit, int total);
int OSTREL_alloc_asymmetric_unit_sgrid(OSTREL_asymmetric_unit* unit, int total);
int OSTREL_add_asymmetric_unit_grid(OSTREL_asymmetric_unit* unit, int x, int y, int z);
int OSTREL_add_asymmetric_unit_sgrid(OSTREL_asymmetric_unit* unit, int x, int y, int z);
int OSTREL_find_asymmetric_unit(const OSTREL_cube* cube, const OSTREL_cif* cif,
                                OSTREL_asymmetric_unit* unit);
// Visits one grid point of the shell walk: lists it if no earlier orbit
// holds it and marks its images.
int OSTREL_eval_grid_for_asymmetric_unit(const OSTREL_cube* cube, const OSTREL_cif* cif,
                                         OSTREL_asymmetric_unit* unit, OSTREL_3D_char_array* mark,
                                         int i, int j, int k);

int OSTREL_smooth_cube_with_symmetry(OSTREL_cube* cube, const OSTREL_cif* cif,
                                     const OSTREL_asymmetric_unit* unit);
void OSTREL_fast_refresh_global_min(OSTREL_cube* cube, const OSTREL_asymmetric_unit* unit);

int OSTREL_group_minima_by_symmetry(OSTREL_cube* cube, const OSTREL_cif* cif);
int OSTREL_group_saddle_by_symmetry(OSTREL_cube* cube, const OSTREL_cif* cif);
int OSTREL_refresh_minima_type_index(OSTREL_cube* cube);
int OSTREL_refresh_saddle_type_index(OSTREL_cube* cube);

int OSTREL_site_is_probe(const OSTREL_cif* cif, const OSTREL_site& site);
int OSTREL_assign_ion_to_sites(OSTREL_cube* cube, const OSTREL_cif* cif);
void OSTREL_assign_interstitial_labels(OSTREL_cube* cube);

int OSTREL_delete_minima(OSTREL_cube* cube, int index);
int OSTREL_delete_saddle(OSTREL_cube* cube, int index);
int OSTREL_delete_minima_type(OSTREL_cube* cube, int type);
int OSTREL_delete_saddle_type(OSTREL_cube* cube, int type);

int OSTREL_add_interstitial_to_cif(const OSTREL_cube* cube, OSTREL_cif* cif, int mode);
int OSTREL_add_saddle_to_cif(const OSTREL_cube* cube, OSTREL_cif* cif);

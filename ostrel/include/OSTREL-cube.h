// The analyzer's energy landscape: a periodic grid of the site energy of one
// mobile ion read from a Gaussian cube file, the energy scale used for every
// printed energy, and the local minima and saddle points of the grid found
// from the sign pattern of each point's 26 neighbours.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "OSTREL-math.h"

struct OSTREL_cif;
struct OSTREL_asymmetric_unit;

// Grids larger than this many points are refused (the landscapes written by
// velmora hold at most 196^3 = 7529536 points).
constexpr long long OSTREL_MAX_GRID_POINTS = 67108864LL;  // 2^26, 512 MB of energies

// Largest magnitude of a grid energy, eV.  A site energy of one ion in a
// crystal lies within some hundred eV of any other (velmora caps its values
// at 999.9 eV); even total energies of large cells stay within 1e6 eV.  A
// value beyond it is a corrupt or foreign file, and differences of such
// values against ordinary ones lose every digit of the landscape.
constexpr double OSTREL_MAX_ABS_ENERGY = 1e6;

// A 3-D array stored flat, indexed [a][b][c] with c fastest.
template <class T>
struct OSTREL_3D_array {
  int na = 0, nb = 0, nc = 0;
  std::vector<T> data;
  T& at(int i, int j, int k) { return data[((size_t)i * nb + j) * nc + k]; }
  const T& at(int i, int j, int k) const { return data[((size_t)i * nb + j) * nc + k]; }
  size_t index(int i, int j, int k) const { return ((size_t)i * nb + j) * nc + k; }
};
using OSTREL_3D_dbl_array = OSTREL_3D_array<double>;
using OSTREL_3D_int_array = OSTREL_3D_array<int>;
using OSTREL_3D_char_array = OSTREL_3D_array<char>;

int OSTREL_alloc_3D_dbl_array(OSTREL_3D_dbl_array* a, int na, int nb, int nc);
int OSTREL_alloc_3D_int_array(OSTREL_3D_int_array* a, int na, int nb, int nc);
int OSTREL_alloc_3D_char_array(OSTREL_3D_char_array* a, int na, int nb, int nc);
void OSTREL_free_3D_dbl_array(OSTREL_3D_dbl_array* a);
void OSTREL_free_3D_int_array(OSTREL_3D_int_array* a);
void OSTREL_free_3D_char_array(OSTREL_3D_char_array* a);

struct OSTREL_site_occupied_ion {
  std::string label;  // structure site label
  double occ = 0.0;
};

struct OSTREL_minima {
  int x = 0, y = 0, z = 0;           // grid point, wrapped into the cell
  double tx = 0, ty = 0, tz = 0;     // true position in grid units, in [0, n)
  int type = 0;                      // 1-based symmetry type, 0 until grouped
  int mul = 0;                       // multiplicity
  double e = 0.0;                    // grid energy
  int total_ions = 0, total_ions_cap = 0;
  std::vector<OSTREL_site_occupied_ion> ion;
  int ins_label = 0;                 // interstitial number, 0 = none
};

struct OSTREL_saddle {
  int x = 0, y = 0, z = 0;
  double tx = 0, ty = 0, tz = 0;
  int type = 0;
  int mul = 0;
  double e = 0.0;
};

struct OSTREL_cube_triple_index {
  int x = 0, y = 0, z = 0;
};

struct OSTREL_cube_triple_index_dbl {
  double x = 0, y = 0, z = 0;
};

struct OSTREL_same_energy_grid_list {
  int total = 0, cap = 0;
  std::vector<OSTREL_cube_triple_index> item;  // unwrapped grid coordinates
};

struct OSTREL_nearest_neighbour {
  double target_x = 0, target_y = 0, target_z = 0;
  int total = 0;
  int include_target = 0;
  std::vector<int> index;       // list index of the minimum or saddle, -1 unfilled
  std::vector<int> i, j, k;     // periodic image offsets in cells
  std::vector<double> distance; // Å, ascending
};

struct OSTREL_cube {
  int cube = 0;
  int smooth_cube = 0;
  double a_x = 0, a_y = 0, a_z = 0, b_x = 0, b_y = 0, b_z = 0, c_x = 0, c_y = 0, c_z = 0;
  double a = 0, b = 0, c = 0;
  double a_unit = 0, b_unit = 0, c_unit = 0;
  double alpha = 0, beta = 0, gamma = 0;  // radians
  int a_grid = 0, b_grid = 0, c_grid = 0;
  OSTREL_3D_dbl_array energy;
  double global_minimum = 0;
  double max_energy_above_gmin = 0;
  double max_energy = 0;
  double energy_shift = 0;
  double ion_charge = 1.0;
  int scaling = 0;
  OSTREL_RPN_token RPN;
  int total_minima = 0, total_saddle = 0;
  int total_minima_cap = 0, total_saddle_cap = 0;
  int total_minima_type = 0, total_saddle_type = 0;
  std::vector<int> minima_type_index;  // [t] for t = 1..total_minima_type
  std::vector<int> saddle_type_index;
  std::vector<OSTREL_minima> minima;
  std::vector<OSTREL_saddle> saddle;
  double d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0, d6 = 0;
  int lines_to_ignore = 0;
};

void OSTREL_init_cube(OSTREL_cube* cube);
void OSTREL_free_cube(OSTREL_cube* cube);
int OSTREL_alloc_cube_energy(OSTREL_cube* cube, int na, int nb, int nc);
int OSTREL_load_cube(const char* filename, OSTREL_cube* cube);
int OSTREL_process_cube(OSTREL_cube* cube);
// Subtracts `shift` from every grid energy, the cut-off and the record of
// shifts, and sets the global minimum to 0.
void OSTREL_shift_cube_energy(OSTREL_cube* cube, double shift);

int OSTREL_parse_energy_scaling(OSTREL_cube* cube, const char* expression);
double OSTREL_scale_cube_energy(const OSTREL_cube* cube, double e);
double OSTREL_get_unscaled_from_scaled(const OSTREL_cube* cube, double target);

// Stationary points.  Grid points are compared by energy and, on an exact
// tie, by grid index (((i * b_grid) + j) * c_grid + k): a strict order that
// treats plateaus and exactly equal neighbours as a landscape raised by a
// vanishing amount per grid index would be (1e-12 per index is such a
// landscape for any cube written with fewer than 12 decimals).
inline bool OSTREL_grid_lower(double e1, size_t index1, double e2, size_t index2) {
  return e1 < e2 || (e1 == e2 && index1 < index2);
}
int OSTREL_find_lower_energy_neighbour_cluster(const OSTREL_cube* cube, int i, int j, int k);
int OSTREL_is_minimum(const OSTREL_cube* cube, int i, int j, int k);
int OSTREL_find_stationary_points(OSTREL_cube* cube, OSTREL_cif* cif,
                                  OSTREL_asymmetric_unit* unit);
int OSTREL_find_stationary_points2(OSTREL_cube* cube, OSTREL_cif* cif);

// Lists.
void OSTREL_init_cube_stationary_points(OSTREL_cube* cube);
void OSTREL_free_cube_stationary_points(OSTREL_cube* cube);
int OSTREL_alloc_cube_minima_point(OSTREL_cube* cube, int total);
int OSTREL_alloc_cube_saddle_point(OSTREL_cube* cube, int total);
int OSTREL_alloc_cube_minima_ions(OSTREL_minima* m, int total);
int OSTREL_add_cube_minima_point(OSTREL_cube* cube, int x, int y, int z, int type, double tx,
                                 double ty, double tz, double e);
int OSTREL_add_cube_minima_ion(OSTREL_minima* m, const char* label, double occ);
int OSTREL_add_cube_saddle_point(OSTREL_cube* cube, int x, int y, int z, int type, double e);
void OSTREL_del_cube_minima_point(OSTREL_cube* cube, int index);
void OSTREL_del_cube_saddle_point(OSTREL_cube* cube, int index);
void OSTREL_del_cube_minima_point_by_loc(OSTREL_cube* cube, int i, int j, int k);
int OSTREL_isin_minima_list(const OSTREL_cube* cube, int i, int j, int k);

// Summaries.
int OSTREL_label_minima_site(const OSTREL_cube* cube, std::string* out, int type);
int OSTREL_printminima(const OSTREL_cube* cube, FILE* stream);
int OSTREL_printsaddle(const OSTREL_cube* cube, FILE* stream);
int OSTREL_find_same_energy_neighbours(const OSTREL_cube* cube,
                                       OSTREL_same_energy_grid_list* list, int i, int j, int k);

// Nearest minima and saddles.
int OSTREL_init_nearest_neighbour(OSTREL_nearest_neighbour* list, int total, int include_target,
                                  double x, double y, double z);
int OSTREL_add_nearest_neighbour(OSTREL_nearest_neighbour* list, int index, int i, int j, int k,
                                 double distance);
void OSTREL_free_nearest_neighbour(OSTREL_nearest_neighbour* list);
int OSTREL_get_nearest_minima(const OSTREL_cube* cube, OSTREL_nearest_neighbour* list);
int OSTREL_get_nearest_saddle(const OSTREL_cube* cube, OSTREL_nearest_neighbour* list);

// Geometry and wrapping.
double OSTREL_distance_grid(const OSTREL_cube* cube, double x1, double y1, double z1, double x2,
                            double y2, double z2);
double OSTREL_angle(const OSTREL_cube* cube, int ax, int ay, int az, int bx, int by, int bz,
                    int cx, int cy, int cz);
double OSTREL_cube_energy(const OSTREL_cube* cube, int i, int j, int k);
int OSTREL_cube_equal_dbl(double a, double b);
int OSTREL_shift_index(const OSTREL_cube* cube, int index, int axis);
double OSTREL_shift_index_dbl(const OSTREL_cube* cube, double index, int axis);
void OSTREL_shift_index_xyz(const OSTREL_cube* cube, int* x, int* y, int* z);
void OSTREL_shift_index_xyz_dbl(const OSTREL_cube* cube, double* x, double* y, double* z);
// A merged group of grid points is reported at one of its own points: the
// rounded mean (gx, gy, gz), wrapped into the grid, is kept when a member
// (an unwrapped periodic image) wraps onto it, else replaced by the member
// nearest the mean (mx, my, mz).  The rounded mean of three or more images
// can fall on a point of another orbit, of another character and energy.
void OSTREL_snap_to_member(const OSTREL_cube* cube,
                           const std::vector<OSTREL_cube_triple_index>& members, double mx,
                           double my, double mz, int* gx, int* gy, int* gz);

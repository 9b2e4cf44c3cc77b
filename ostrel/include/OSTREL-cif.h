// The analyzer's crystal-structure model: cell, symmetry operations as text,
// atom types with oxidation states and asymmetric-unit sites, read from a
// line-oriented subset of CIF, completed from the space-group data file and
// written back as CIF.  Symmetry copies are made by evaluating each operation
// component as an arithmetic expression in x, y, z.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "OSTREL-math.h"

constexpr int OSTREL_CIF_MAX_MULTIPLE_LINES = 10;
constexpr int OSTREL_MAX_SYMOP = 192;  // order of the largest space group in a centred cell
// Largest structure read, the bounds velmora.x sets: at most 20000 atoms in
// the full cell, and at most 1000000 images of sites under operations
// before duplicates are removed.  Larger files are refused, not read for
// minutes.
constexpr int OSTREL_MAX_CIF_ATOMS = 20000;
constexpr long long OSTREL_MAX_CIF_IMAGES = 1000000;

struct OSTREL_type {
  std::string label;          // e.g. Li1+
  std::string label_element;  // leading letters of the label, e.g. Li
  double ox = 0.0;            // oxidation state
  int flag = 0;               // distinct number of the type
};

struct OSTREL_site {
  std::string label;
  std::string type;  // type symbol
  double x = 0.0, y = 0.0, z = 0.0;  // fractional
  int mul = 0;
  char Wyckoff = '.';
  double occ = 1.0;
  double ox = 0.0;
  double bv_sum = 0.0;
  int type_flag = 0;
  double radius = 0.0;
};

struct OSTREL_equiv_pos_frac_coor {
  double a = 0.0, b = 0.0, c = 0.0;
};

// The distinct fractional images of one position.
struct OSTREL_equiv_pos {
  int total_copies = 0;
  std::vector<OSTREL_equiv_pos_frac_coor> copy;
};

// One symmetry operation acting on grid indices: new a index =
// x_x*i + x_y*j + x_z*k + x_a (translations in grid steps), likewise b, c.
struct OSTREL_fastgen_symop {
  int x_x = 0, x_y = 0, x_z = 0, x_a = 0;
  int y_x = 0, y_y = 0, y_z = 0, y_a = 0;
  int z_x = 0, z_y = 0, z_z = 0, z_a = 0;
};

struct OSTREL_fastgen_symcopies {
  int total = 0;
  OSTREL_fastgen_symop op[OSTREL_MAX_SYMOP];
};

struct OSTREL_cif {
  int cif = 0;
  int ion = 0;
  std::string spacegroup_HM;      // at most 19 characters
  std::string chem_form_struct;   // at most 199 characters
  std::string chem_form_sum;
  std::string ICSD;               // at most 9 characters
  double a = 0, b = 0, c = 0;     // Å
  double alpha = 0, beta = 0, gamma = 0;  // degrees
  double volume = 0;              // Å^3
  double R_factor = 0;
  int z = 0;
  int int_tab_cryst_no = 0;
  double unit_cell_charge = 0;
  int type_no = 0, type_no_cap = 0;
  std::vector<OSTREL_type> type;
  int type_flag_counter = 0;
  int site_charge_provided = 0;
  int site_no = 0, site_no_cap = 0;
  std::vector<OSTREL_site> site;
  int site_all_no = 0;
  std::vector<OSTREL_site> site_all;
  int symop_no = 0;
  std::vector<std::string> symop;  // e.g. "x,y,z"
  std::string probe_type;          // mobile ion, e.g. Na1+
  OSTREL_fastgen_symcopies fg;
  int diff_neigh = 0;
  double d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0, d6 = 0;
};

// Locates a data file: "bin/<name>" relative to the working directory, then
// beside the running executable, then in the installed data directory.
// Returns the path found, or an empty string.
std::string OSTREL_find_data_file(const char* name);

int OSTREL_init_cif(OSTREL_cif* cif);
void OSTREL_free_cif(OSTREL_cif* cif);
int OSTREL_copy_cif(const OSTREL_cif* src, OSTREL_cif* dst);
int OSTREL_load_cif(const char* filename, OSTREL_cif* cif);

// Line normalisation applied before the tags are read.
void OSTREL_trim_cif_buffer(std::string* line);

int OSTREL_add_cif_type(OSTREL_cif* cif, const char* label, int* counter, double ox);
int OSTREL_ins_cif_type(OSTREL_cif* cif, int index, const OSTREL_type& t);
int OSTREL_remove_cif_type(OSTREL_cif* cif, int index);
int OSTREL_add_cif_site(OSTREL_cif* cif, const char* label, const char* type, int mul,
                        char Wyckoff, double x, double y, double z, double occ, double ox);
int OSTREL_ins_cif_site(OSTREL_cif* cif, int index, const OSTREL_site& s);
int OSTREL_remove_cif_site(OSTREL_cif* cif, int index);
int OSTREL_remove_all_cif_site_by_type(OSTREL_cif* cif, const char* type);
int OSTREL_add_cif_symop(OSTREL_cif* cif, const char* op);

int OSTREL_is_valid_lattice_parameters(OSTREL_cif* cif);
double OSTREL_guess_site_ox_from_type_symbol(const char* symbol, int* found);
int OSTREL_fill_ox_states_to_sites(OSTREL_cif* cif);
void OSTREL_calc_cif_metric(OSTREL_cif* cif);
int OSTREL_fill_symops(OSTREL_cif* cif);
int OSTREL_get_symops_from_dat(OSTREL_cif* cif);
int OSTREL_get_symops_from_dat_file(const char* path, OSTREL_cif* cif);
int OSTREL_refresh_site_mul(OSTREL_cif* cif);

int OSTREL_symmetry_parse_symop(const char* component, double* result, double x, double y,
                                double z);
int OSTREL_symmetry_generate_equivalent_copies(const OSTREL_cif* cif, OSTREL_equiv_pos* result,
                                               double x, double y, double z);
void OSTREL_free_equiv_pos(OSTREL_equiv_pos* pos);

int OSTREL_remove_cif_symmetry(OSTREL_cif* cif);
int OSTREL_add_P1_to_cif(OSTREL_cif* cif);

double OSTREL_distance_frac_cif(const OSTREL_cif* cif, double x1, double y1, double z1,
                                double x2, double y2, double z2);
int OSTREL_cif_equal_dbl(double a, double b);

void OSTREL_write_cif(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_cif_latt_param(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_cif_symops(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_cif_types(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_cif_sites(const OSTREL_cif* cif, FILE* stream);
void OSTREL_print_cif_ICSD(const OSTREL_cif* cif, FILE* stream);

// Checks and transformations of the analyzer's structure model: the formal
// charge of the cell, bond-valence sums s = exp((r0 - d)/b) with the pair
// parameters of the data file (shells of periodic images out to the pair
// cut-off), the global instability index, two substitution checks and a
// random P1 supercell with integer site counts and a neutral total charge.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "OSTREL-cif.h"

// Bond-valence parameters of one pair of atom types (symmetric table).
struct OSTREL_bv_bin_item {
  int status = 0;     // 1 when the data file lists the cation-anion pair
  double b = 0.0;     // softness, Å
  double r0 = 0.0;    // bond-valence R0, Å
  double cutoff = 0.0;  // Å
};

// `total` x `total` table indexed by the positions of the types in the
// structure's type list.
struct OSTREL_bv_bin {
  int total = 0;
  std::vector<OSTREL_bv_bin_item> item;  // row-major
  OSTREL_bv_bin_item& at(int i, int j) { return item[(size_t)i * total + j]; }
  const OSTREL_bv_bin_item& at(int i, int j) const { return item[(size_t)i * total + j]; }
};

// One line of database_binary.dat: R0 and b (Å), the reference
// coordination number of the cation by the anion, and the cut-off (Å).
struct OSTREL_pair_parameters {
  double r0 = 0, b = 0, cn = 0, cutoff = 0;
};
// Cation element, cation state, anion element, anion state.
using OSTREL_pair_key = std::tuple<std::string, long, std::string, long>;
using OSTREL_pair_table = std::map<OSTREL_pair_key, OSTREL_pair_parameters>;
int OSTREL_read_pair_table(const char* path, OSTREL_pair_table* table);

// Supercell limits: each multiplier, and the positions (P1 copies of every
// site in the supercell) the builder may have to place.
constexpr int OSTREL_MAX_SUPERCELL_DIMENSION = 50;
constexpr long long OSTREL_MAX_SUPERCELL_POSITIONS = 200000;

// Cell charge: sum over sites of mul * occ * ox (also stored in the model).
double OSTREL_calc_unit_cell_charge(OSTREL_cif* cif);
// "Total charge per unit cell: ..." on standard output; 1 when some site
// has no oxidation state (the error line goes to standard output too).
int OSTREL_print_unit_cell_charge(OSTREL_cif* cif);

int OSTREL_init_bv_bin(OSTREL_bv_bin* bin, int size);
int OSTREL_alloc_bv_bin(OSTREL_bv_bin* bin, int size);
void OSTREL_free_bv_bin(OSTREL_bv_bin* bin);
// Reads the pair parameters from database_binary.dat; a cation-anion pair
// of the structure that the file does not list is named in a warning.
int OSTREL_build_bv_bin(const OSTREL_cif* cif, OSTREL_bv_bin* bin);
// The same from a given data file.
int OSTREL_build_bv_bin_from_file(const char* path, const OSTREL_cif* cif, OSTREL_bv_bin* bin);

// Bond-valence sum of every asymmetric site (positive for cations, negative
// for anions), stored in its `bv_sum`.
int OSTREL_calc_bv_sum(OSTREL_cif* cif, const OSTREL_bv_bin* bin);
// Parameters and sums, then the listing; 1 (no listing) on failure.
int OSTREL_print_bv_sum(OSTREL_cif* cif, FILE* stream);

// Global instability index from freshly computed sums, or -1 when it cannot
// be computed (no data file, sites without oxidation states).
double OSTREL_calc_GII(OSTREL_cif* cif);
// "Global instability index: ..." or "Error: Unable to calculate GII" on
// the stream; 1 in the second case.
int OSTREL_print_GII(OSTREL_cif* cif, FILE* stream);

// Whether a site shares its place with another of the same multiplicity
// and Wyckoff letter (the mobile ion's sites only, or any two sites).
void OSTREL_check_ion_sub(const OSTREL_cif* cif, FILE* stream);
void OSTREL_check_ions_sub(const OSTREL_cif* cif, FILE* stream);

// Leading letters of a type symbol or label (Li in Li1+).
std::string OSTREL_get_element_symbol(const std::string& text);
// Sites of non-integer oxidation state become two sites of the neighbouring
// integer states at the same place.
int OSTREL_convert_frac_ox(OSTREL_cif* cif);
// Number of atoms of each site in a supercell of `cells` unit cells,
// neutral in total and never more atoms on a place than it has copies.
int OSTREL_get_integer_occ(const OSTREL_cif* cif, std::vector<int>* counts, int cells);
// The distinct copies of a position in the na x nb x nc supercell, in the
// supercell's fractional coordinates.
int OSTREL_symmetry_generate_equivalent_copies_in_supercell(const OSTREL_cif* cif,
                                                            OSTREL_equiv_pos* out, int na,
                                                            int nb, int nc, double x, double y,
                                                            double z);
// A P1 supercell of the structure with every site fully occupied: the
// atoms of each partially occupied place are drawn at random.
int OSTREL_build_supercell(const OSTREL_cif* cif, OSTREL_cif* out, int na, int nb, int nc);

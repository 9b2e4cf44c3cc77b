// Cell energy of the bond-valence force field: the pair sums over the
// periodic cell (total energy, forces, diagonal stress by finite strains),
// the strain and displacement updates of the relaxations, and the search for
// the Coulomb screening factor that makes the cell stress-free on average.
//
// A pair sum visits every atom i (the centre), every atom j and every image
// translation T = l a0 + m a1 + n a2 with |l|, |m|, |n| <= N_k =
// (int)(R/|a_k| + 1), R = max(largest pair cut-off, 10 A); images closer than
// 0.3 A are skipped.  Ions of like charge repel by the screened Coulomb term
// up to R, cations and anions bond by the shifted Morse term up to the
// pair's cut-off; every term is weighted by occ_i * occ_j.  The images come
// from the shared neighbour search (velmora-neighbor.h) in the plain loop's
// order, so each centre's sum is the plain loop's sum.
#ifndef VELMORA_RX_H_
#define VELMORA_RX_H_

#include <array>
#include <memory>
#include <vector>

#include "velmora.h"

using VELMORA_VECTOR3_ARRAY = std::vector<std::array<double, 3>>;

// Half of the Coulomb constant, eV*A: every pair is visited from both ends.
constexpr double VELMORA_PAIR_SUM_FACTOR = 7.19982;
// Images closer than this (A) are the atom itself or overlapping sites.
constexpr double VELMORA_PAIR_SKIP_DISTANCE = 0.3;
// Like-charge repulsion is summed to at least this distance (A).
constexpr double VELMORA_PAIR_MIN_CUTOFF = 10.0;

// The pair terms of one geometry, kept so that energies at other screening
// factors cost only the term evaluations.  Terms of centre c are
// term[start[c]] .. term[start[c+1]-1], in the plain loop's order.
struct VELMORA_PAIR_TERM {
  double d = 0.0;   // distance, A
  double w = 0.0;   // occ_i * occ_j
  int i = 0;        // species of the centre (the cation for bonded terms)
  int j = 0;        // species of the other atom (the anion for bonded terms)
  bool bonded = false;
};
//
// Stored terms take memory in proportion to atoms x neighbours within the
// cut-off (32 bytes a term): a few MB for ordinary cells, but gigabytes for
// thousands of atoms or an overcrowded cell.  Terms are therefore stored
// only within a budget; beyond it a sum keeps its geometry instead and
// finds the same terms again at every evaluation, in the same order, so the
// energy is the same to the last bit and only slower.
struct VELMORA_PAIR_SUM {
  std::vector<int> start;
  std::vector<VELMORA_PAIR_TERM> term;
  bool stored = false;                     // terms kept in `term`
  std::unique_ptr<VELMORA_CELL> geometry;  // the cell, when they are not
  bool unconstrained = false;
};

// Memory for the stored pair terms of one screening-factor search (the six
// strained copies of the cell together), bytes: 256 MB, enough to keep the
// terms of cells of about 2,500 atoms of ordinary density.
constexpr double VELMORA_PAIR_TERM_BUDGET = 256.0 * 1048576.0;

// Builds the pair terms of `cell`: centres are the atoms that are not
// ignored; with `unconstrained`, ignored atoms are left out as partners too.
// The terms are counted first and stored only when they fit `budget`
// bytes (and the memory is there); otherwise the sum holds a copy of the
// cell.  0 on success.
int velmora_pair_sum_build(VELMORA_PAIR_SUM& sum, const VELMORA_CELL* cell,
                           const VELMORA_PROPERTY* ppt, bool unconstrained,
                           double budget = VELMORA_PAIR_TERM_BUDGET);
// Energy in eV of built terms with the parameters (and screening factor) of
// `ppt`.
double velmora_pair_sum_energy(const VELMORA_PAIR_SUM& sum, const VELMORA_PROPERTY* ppt);

// Energies in eV.  On failure 0.0 is returned and *ok (when given) is false;
// an energy of exactly 0.0 is a valid result when *ok is true.
double velmora_cell_calculate_total_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                           bool* ok = nullptr);
double velmora_cell_calculate_total_energy_unconstrained_part(const VELMORA_CELL* cell,
                                                              const VELMORA_PROPERTY* ppt,
                                                              bool* ok = nullptr);
// The checked energy of the commands: also fails on a non-finite energy.
double velmora_cell_total_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                 bool* ok = nullptr);

// Forces on the atoms in eV/A divided by 2 * 14.39964 (half the sum of pair
// derivatives); ignored atoms get zero.  `force` is resized to the atoms.
int velmora_cell_calculate_force(VELMORA_VECTOR3_ARRAY& force, const VELMORA_CELL* cell,
                                 const VELMORA_PROPERTY* ppt);
// Diagonal stress in eV/A^3 by central differences of the energy under
// strains of +-0.0001; positive when stretching raises the energy.
int velmora_cell_calculate_stress_diagonal(double stress[3], const VELMORA_CELL* cell,
                                           const VELMORA_PROPERTY* ppt);
// a_k += strain a_k and x += strain x for every atom; fractional coordinates
// and lattice parameters follow.
int velmora_cell_deform(VELMORA_CELL* cell, const double strain[3][3]);
int velmora_cell_update_by_stress(VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt);
// Adds the displacements (A) and wraps the atoms back into the cell.
int velmora_cell_update_coordinate(VELMORA_CELL* cell, const VELMORA_VECTOR3_ARRAY& displacement);
// Displacement force / mass per atom, scaled so that no atom moves more
// than 0.1 A.
int velmora_cell_calculate_coordinate_step_size_simple(VELMORA_VECTOR3_ARRAY& displacement,
                                                       const VELMORA_CELL* cell,
                                                       const VELMORA_PROPERTY* ppt,
                                                       const VELMORA_VECTOR3_ARRAY& force);
// Keeps a user screening factor (sf > 0); otherwise searches the factor in
// [0.55, 1.0] at which the mean diagonal stress vanishes, 0.75 when the
// search fails.  1 only for missing arguments.
int velmora_property_calculate_screening_factor(VELMORA_PROPERTY* ppt, const VELMORA_CELL* cell);

#endif  // VELMORA_RX_H_

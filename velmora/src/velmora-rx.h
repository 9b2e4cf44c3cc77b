// Cell energy of the bond-valence force field: the pair sums over the
// periodic cell (total energy, forces, diagonal stress by finite strains),
// the strain and displacement updates of the relaxations, and the search for
// the Coulomb screening factor that makes the cell stress-free on average
// (velmora-rx.cpp); the persistent pair list of the relaxations
// (velmora-rx-list.cpp); steepest-descent relaxation with fixed atoms
// (velmora-rx-sd.cpp) and the nudged elastic band (velmora-rx-neb.cpp).
//
// A pair sum visits every atom i (the centre), every atom j and every image
// translation T = l a0 + m a1 + n a2 with |l|, |m|, |n| <= N_k =
// (int)(R/h_k + 1), h_k the spacing of the lattice planes along a_k,
// R = max(largest pair cut-off, 10 A); images closer than
// 0.3 A are skipped.  Ions of like charge repel by the screened Coulomb term
// up to R, cations and anions bond by the shifted Morse term up to the
// pair's cut-off; every term is weighted by occ_i * occ_j.  The images come
// from the shared neighbour search (velmora-neighbor.h) in the plain loop's
// order, so each centre's sum is the plain loop's sum.
#ifndef VELMORA_RX_H_
#define VELMORA_RX_H_

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "velmora-alloc.h"
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
// --------------------------------------------------- persistent pair list ----
// The relaxations step the same cell many times by small moves.  Their pair
// sums run on one list kept across steps (a Verlet list): for every free
// atom, the images of every partner within R + skin (R = the pair's own
// cut-off, like charges 10 A or the largest pair cut-off) found once, with
// their lattice translations.  As long as no atom has moved more than
// skin / 2 since the list was made, no pair can have come from beyond
// R + skin to within R, so the list still holds every pair of the plain
// loop; it is made again when an atom moves further or the lattice changes.
// Atoms wrapped back into the cell are followed through the change of their
// fractional coordinates, so the stored translations stay valid.

// Skin of the relaxation pair lists (A): steps move an atom by at most
// 0.1 A, so the list is made again at most every fifth step, and the list
// holds (11/10)^3 = 1.3 times the pairs within the 10 A cut-off.
constexpr double VELMORA_PAIR_LIST_SKIN = 1.0;

// Parameters of one ordered species pair (centre, partner), as the pair sum
// uses them.
struct VELMORA_PAIR_KIND {
  int bonded = 0;          // 1: cation-anion, 2: like charges, 0: no term
  double cutoff = 0.0;     // A
  double d0 = 0.0, rmin = 0.0, b = 0.0, en_s = 0.0;  // bonded
  double q = 0.0, r_eff = 0.0, shift = 0.0;          // like charges
};

struct VELMORA_PAIR_LIST_ENTRY {
  int j = 0;               // partner atom
  int kind = 0;            // index into VELMORA_PAIR_LIST::kind
  double t[3] = {};        // lattice translation of the partner's image, A
  double w = 0.0;          // occ_i * occ_j
  bool free_partner = false;
};

struct VELMORA_PAIR_LIST {
  double skin = VELMORA_PAIR_LIST_SKIN;
  long builds = 0;                           // times the list was made
  std::vector<int> centre_atom;              // the free atoms
  std::vector<int> start;                    // entries of centre c: start[c] .. start[c+1]-1
  std::vector<VELMORA_PAIR_LIST_ENTRY> entry;
  std::vector<VELMORA_PAIR_KIND> kind;       // species i * total + j
  int species_total = 0;
  std::vector<std::array<double, 3>> f0;     // fractional positions when made
  std::vector<std::array<double, 3>> x0;     // Cartesian positions when made
  double a[3][3] = {};                       // lattice when made
  double sf = 0.0;                           // screening factor when made
};

// Energies (eV), forces (unit of velmora_cell_calculate_force) and, when
// asked, the diagonal stress (eV/A^3) of one geometry from one pass over
// the pair list.
struct VELMORA_PAIR_EVAL {
  double en = 0.0;                // total energy: free centres, all partners
  double en_unconstrained = 0.0;  // pairs of two free atoms
  VELMORA_VECTOR3_ARRAY force;
  double stress[3] = {};
};

// Makes the list for `cell` (free atoms as centres) with `skin` (A).
int velmora_pair_list_build(VELMORA_PAIR_LIST& list, const VELMORA_CELL* cell,
                            const VELMORA_PROPERTY* ppt, double skin = VELMORA_PAIR_LIST_SKIN);
// One pass: energy, unconstrained energy and forces; with `stress`, also
// the energies under the strains +-0.0001 along x, y, z and from them the
// diagonal stress.  The list is made again first when it no longer covers
// the geometry.  Centres run on threads when `parallel` and the sum is long
// enough; each centre's sum is formed alone and the centres are added in
// order, so the result does not depend on the thread count.
int velmora_pair_list_evaluate(VELMORA_PAIR_EVAL& out, VELMORA_PAIR_LIST& list,
                               const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                               bool stress, bool parallel);

// Keeps a user screening factor (sf > 0); otherwise searches the factor in
// [0.55, 1.0] at which the mean diagonal stress vanishes, 0.75 when the
// search fails.  1 only for missing arguments.
int velmora_property_calculate_screening_factor(VELMORA_PROPERTY* ppt, const VELMORA_CELL* cell);

// ------------------------------------------------- extended XYZ frames ----

// Appends one frame of an extended-XYZ trajectory: the atom count, a
// comment line with the lattice, the columns, the energy (eV) and periodic
// boundaries, then element and Cartesian position (A) of every atom, with
// the forces in eV/A when given (unit of velmora_cell_calculate_force).
// `extra` (or null) adds key=value words to the comment line.
void velmora_xyz_append_frame(std::string& out, const VELMORA_CELL* cell, double energy,
                              const VELMORA_VECTOR3_ARRAY* force, const char* extra);
// The trajectory name of a result file: its name with a final ".cif"
// replaced by ".xyz", else followed by ".xyz".
std::string velmora_xyz_name(const std::string& name);

// The pair sums give forces in e^2/A^2 over two (a pair's force is added
// to both of its atoms from the half sum): times 2 * 14.39964 in eV/A, the
// unit of the trajectories and of the force criteria.
constexpr double VELMORA_FORCE_EV_PER_A = 2.0 * VELMORA_COULOMB;
// Default force criterion of --rx-sd and --rx-neb, eV/A.
constexpr double VELMORA_RX_F_CONV = 0.01;
// The largest force of a set, in eV/A.
double velmora_rx_largest_force(const VELMORA_VECTOR3_ARRAY& force);

// ----------------------------------------------- steepest descent (--rx-sd) ----

struct VELMORA_RX_SD {
  std::unique_ptr<VELMORA_CELL> cell;      // private copy being relaxed
  std::unique_ptr<VELMORA_PROPERTY> ppt;   // private copy of the parameters
  VELMORA_VECTOR3_ARRAY f;                 // forces of the last step
  VELMORA_VECTOR3_ARRAY dx;                // displacements of the last step, A
  std::vector<std::array<bool, 3>> fixed;  // components that must not move
  double f_conv = VELMORA_RX_F_CONV;       // largest force allowed at convergence, eV/A
  double p = 0.0;                          // sum of the diagonal stresses, eV/A^3
  double p_conv = 0.001;                   // every stress component within this
  double en = 0.0;                         // total energy after the last step, eV
  long step = 0;
  long step_limit = 0;  // 0: none; n > 0: n steps; n < 0: |n| lattice-only steps
  long step_p = 10;     // lattice step every step_p steps; <= 0: never
  bool converged = false;
  // Beyond the plain loop: the pair list kept across steps, and the
  // trajectory (one frame per step, thinned to at most
  // VELMORA_RX_SD_MAX_FRAMES by dropping every other frame when full).
  VELMORA_PAIR_LIST list;
  bool parallel = true;
  std::string* trajectory = nullptr;
  long frames = 0, frame_stride = 1;
  std::vector<std::string> frame;
  std::vector<long> frame_step;
};
constexpr long VELMORA_RX_SD_MAX_FRAMES = 1000;

std::unique_ptr<VELMORA_RX_SD> velmora_rx_sd_new(const VELMORA_CELL* cell,
                                                 const VELMORA_PROPERTY* ppt);
int velmora_rx_sd_run(VELMORA_RX_SD* rx);
void velmora_rx_sd_print(const VELMORA_RX_SD* rx);
// The relaxed copy of `cell` (null on failure); the caller's cell and
// parameters are not changed.  With `trajectory`, the frames of the run in
// extended XYZ; with `quiet`, no step lines (band end images).
std::unique_ptr<VELMORA_CELL> velmora_cell_relax_sd(const VELMORA_CELL* cell,
                                                    const VELMORA_PROPERTY* ppt, long step_limit,
                                                    long step_p, double f_conv, double p_conv,
                                                    std::string* trajectory = nullptr,
                                                    bool parallel = true);
// Fixed atoms from the column _atom_site_velmora_fixed of the CIF `path`:
// 0 when the column was found and applied (atoms of the same name within
// 0.001 A of a listed site take its flag in `ignored`).
int velmora_cell_import_cif_read_constraint(VELMORA_CELL* cell, const char* path);

// Shared by the relaxation commands: reads the fixed atoms of the CIF
// `path` into the cell, printing whether any were found; and builds the
// parameters of a cell on a copy with every atom free (sf < 0: searched),
// so that the screening factor does not depend on which atoms are held.
struct VELMORA_CMD_OPT;
void velmora_cmd_rx_constraint(VELMORA_CELL* cell, const char* path);
std::unique_ptr<VELMORA_PROPERTY> velmora_cmd_rx_property(const VELMORA_CMD_OPT* opt,
                                                          const VELMORA_CELL* cell, double sf);

// ---------------------------------------------- nudged elastic band ----

// Largest band accepted (images, ends included): every image keeps a cell,
// a pair list and seven force arrays.
constexpr int VELMORA_RX_NEB_MAX_IMAGES = 100;

struct VELMORA_RX_NEB {
  int total = 0;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  std::vector<std::unique_ptr<VELMORA_CELL>> cell;
  std::vector<char> conv;
  std::vector<double> en;
  std::vector<VELMORA_VECTOR3_ARRAY> t, f, f0, f1, f2, f3, dx;
  bool relax = true;
  double k = 0.5;
  double f_conv = VELMORA_RX_F_CONV;  // eV/A
  long step_limit = 0;
  long step = 0;
  bool converged = false;
  bool ci = false;
  bool ci_active = false;
  std::vector<char> ci_image;
  double f_conv_ci = 0.5 * VELMORA_RX_F_CONV;
  long step_ci_start = 0;
  long step_log = 0;
  std::unique_ptr<VELMORA_TEXT> log_global;
  std::vector<std::unique_ptr<VELMORA_TEXT>> log;
  std::string log_filename;
  // Beyond the plain loop: one pair list per image, the unconstrained
  // energies and whether the images moved since their last evaluation.
  std::vector<VELMORA_PAIR_LIST> list;
  std::vector<double> en_unconstrained;
  bool moved = true;
  bool ends_done = false;
};

std::unique_ptr<VELMORA_RX_NEB> velmora_rx_neb_new(VELMORA_CELL* first, VELMORA_CELL* last,
                                                   const VELMORA_PROPERTY* ppt, int n);
std::unique_ptr<VELMORA_RX_NEB> velmora_rx_neb_new_from_images(
    std::vector<std::unique_ptr<VELMORA_CELL>>& cells, int n, const VELMORA_PROPERTY* ppt);
int velmora_rx_neb_run(VELMORA_RX_NEB* neb);
int velmora_rx_neb_validate(VELMORA_CELL* a, VELMORA_CELL* b);
int velmora_rx_neb_validate_images(std::vector<std::unique_ptr<VELMORA_CELL>>& cells, int n);
std::vector<std::unique_ptr<VELMORA_CELL>> velmora_cell_interpolate(const VELMORA_CELL* first,
                                                                    const VELMORA_CELL* last,
                                                                    int n);
void velmora_cell_min_vector_btw_atoms(double out[3], const VELMORA_CELL* cell,
                                       const VELMORA_ATOM* a, const VELMORA_ATOM* b);
int velmora_rx_neb_calculate_forces(VELMORA_RX_NEB* neb);
int velmora_rx_neb_log(VELMORA_RX_NEB* neb);
int velmora_rx_neb_cells_export_to_file(const VELMORA_RX_NEB* neb);
// Forward and backward barriers (eV) and the highest image of the band.
void velmora_rx_neb_barrier(const VELMORA_RX_NEB* neb, double& forward, double& backward,
                            int& highest);

// The band between two structures (sorted by name in place) or through a
// series of images; logs and images under `prefix` (or "neb_default").
int velmora_cell_relax_neb(VELMORA_CELL* first, VELMORA_CELL* last, const VELMORA_PROPERTY* ppt,
                           int n, long step_limit, long step_log, bool relax, bool ci,
                           double f_conv, double k, const char* prefix);
int velmora_cell_relax_neb_images(std::vector<std::unique_ptr<VELMORA_CELL>>& cells, int n,
                                  const VELMORA_PROPERTY* ppt, long step_limit, long step_log,
                                  bool relax, bool ci, double f_conv, double k,
                                  const char* prefix);

#endif  // VELMORA_RX_H_

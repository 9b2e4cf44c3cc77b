// Energy landscape of a mobile ion: the site energy of one test ion of the
// conducting species on a regular grid over the cell (bond-valence Morse
// term to counter-ions, screened Coulomb repulsion from like ions), computed
// once per set of symmetry-equivalent voxels on a periodic-image neighbour
// list, and the Gaussian cube files that carry it between programs.
#ifndef VELMORA_CUBE_H_
#define VELMORA_CUBE_H_

#include <memory>
#include <string>
#include <vector>

#include "velmora-neighbor.h"
#include "velmora.h"

// Largest grid: 196^3 voxels.
constexpr long VELMORA_CUBE_MAX_VOXELS = 7529536;
// Grid counts are multiples of this, so that the usual fractional
// translations (1/2, 1/3, 1/4, 1/6, 1/8) land on grid points.
constexpr long VELMORA_CUBE_GRID_STEP = 24;
// The longest axis a grid can keep: 24 x 24 x VELMORA_CUBE_AXIS_CAP already
// exceeds VELMORA_CUBE_MAX_VOXELS (13080 = 24 * ceil(7529536 / 576 / 24)).
constexpr long VELMORA_CUBE_AXIS_CAP = 13080;
// Energies above this (eV) are stored as this value.
constexpr double VELMORA_CUBE_ENERGY_CAP = 999.9;
// A value beyond this magnitude (eV) is no site energy (the landscape caps
// its values at VELMORA_CUBE_ENERGY_CAP): such a file is refused on reading,
// before derivatives of it could overflow.  The analyzer uses the same bound.
constexpr double VELMORA_CUBE_MAX_ABS_ENERGY = 1e6;
// A stored magnitude above this (eV) marks a voxel as already filled.
constexpr double VELMORA_CUBE_FILLED = 1e-7;
// Like-charge repulsion reaches this far (A); the Coulomb term is shifted to
// zero here.
constexpr double VELMORA_CUBE_COULOMB_CUTOFF = 10.0;

// ------------------------------------------------------------- record ----

// A zero-filled grid of n[0] x n[1] x n[2] voxels with zero vectors; none
// (after the message) when a count is not positive or the grid is too big
// to allocate.
std::unique_ptr<VELMORA_CUBE> velmora_cube_new(const long n[3]);
void velmora_cube_print_info(const VELMORA_CUBE* cube);

// -------------------------------------------------------- computation ----

// Grid counts for a cell of edge lengths `length` (A): 24 * ceil(L / res /
// 24) per axis, then the largest count is lowered by 24 (first axis first on
// ties) until the grid has at most VELMORA_CUBE_MAX_VOXELS voxels.  1 for a
// resolution or cell that gives no sensible grid.
int velmora_cube_grid_size(long n[3], const double length[3], double resolution);

// True when the integer form of `card` maps the grid of counts n onto itself
// exactly: integer rotation entries, equal counts on axes the rotation
// exchanges, and translations that are whole numbers of voxels.
bool velmora_cube_card_fits_grid(const VELMORA_CARD* card, const long n[3]);

// The landscape's pair lists of one cell: the images of the counter-ions
// (bonded term) and of the like ions (Coulomb term) of the conducting
// species, each in the order atom, l, m, n, with per-atom parameters.
struct VELMORA_CUBE_BOND {   // one counter-ion atom
  double cutoff = 0.0, r_bc = 0.0, d0 = 0.0, rmin = 0.0, b = 0.0, en_s = 0.0;
  double a0 = 0.0, a1 = 0.0, a2 = 0.0, occ = 0.0;
};
struct VELMORA_CUBE_LIKE {   // one like-charged atom
  double r_cc = 0.0, q = 0.0, r_eff = 0.0, shift = 0.0;
  double a0 = 0.0, a1 = 0.0, a2 = 0.0, occ = 0.0;
};
struct VELMORA_CUBE_FIELD {
  std::unique_ptr<VELMORA_NEIGHBOR> bond;    // counter-ion images
  std::unique_ptr<VELMORA_NEIGHBOR> like;    // like-ion images
  std::vector<VELMORA_CUBE_BOND> bond_atom;  // indexed by cell atom
  std::vector<VELMORA_CUBE_LIKE> like_atom;  // indexed by cell atom
  double cutoff = 0.0;                // R: largest pair cut-off, at least 10 A
  double bond_reach = 0.0;            // largest bonded cut-off of the mobile ion
};

// Builds the pair lists for the conducting species of `ppt` over the atoms
// of `cell` whose `ignored` flag is false.  0 on success.
int velmora_cube_field_build(VELMORA_CUBE_FIELD& field, const VELMORA_CELL* cell,
                             const VELMORA_PROPERTY* ppt);
// Site energy (eV, before the cap) at the Cartesian point p, from the
// candidates of the two lists (all images when both are null).
double velmora_cube_field_energy(const VELMORA_CUBE_FIELD& field, const std::vector<int>* bond,
                                 const std::vector<int>* like, const double p[3]);
// Energies (eV, capped) of the voxels `voxel` (flat indices i*n1*n2 + j*n2 +
// k) of a grid with step vectors a_i, computed in blocks of nearby voxels on
// all threads; energy[v] belongs to voxel[v].  `progress` prints percentage
// lines on long runs.  The values do not depend on the thread count.
void velmora_cube_field_energies(std::vector<double>& energy, const VELMORA_CUBE_FIELD& field,
                                 const std::vector<long>& voxel, const long n[3],
                                 const double a_i[3][3], bool progress);
// The Cartesian point of voxel (i, j, k).
void velmora_cube_voxel_point(double p[3], const double a_i[3][3], long i, long j, long k);

int velmora_cube_validate_property(const VELMORA_PROPERTY* ppt);
// The landscape of the conducting species of `ppt`.  The symmetry cards are
// used only where they map the grid onto itself.  Sets and clears the
// `ignored` flags of the cell.
std::unique_ptr<VELMORA_CUBE> velmora_cube_calculate(VELMORA_CELL* cell,
                                                     const VELMORA_SYMMETRY* symmetry,
                                                     const VELMORA_PROPERTY* ppt,
                                                     double resolution, bool ignore_conducting);
std::unique_ptr<VELMORA_CUBE> velmora_cube_calculate_from_cell(
    VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry, VELMORA_PROPERTY* ppt, const char* type,
    int os, double resolution, bool ignore_conducting);
int velmora_cube_calculate_from_cell_and_write_to_file(
    const char* cube_name, VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry, const char* type,
    int os, double sf, double resolution, bool ignore_conducting, bool periodic,
    const char* dir_unitary, const char* dir_binary);
// The entry of --gen-cube: a structure whose conducting sites are partly
// occupied is first expanded to the default supercell with the occupancies
// resolved at random; its landscape is computed in P 1, and then the
// assigned structure is written to `cif_name` and the cube to `cube_name`
// (so a failed computation writes neither).  Output names that exist but
// are not regular files are refused before anything is computed.
// What that entry made, for the JSON summary of --gen-cube (filled when a
// record is given and the files have been written).
struct VELMORA_CUBE_SUMMARY {
  double sf = 0.0;                 // screening factor of the landscape (given or searched)
  long n[3] = {};                  // grid counts
  double step[3][3] = {};          // voxel step vectors (rows), A
  double energy_min = 0.0;         // lowest and highest voxel, eV
  double energy_max = 0.0;
  long atoms = 0;                  // atoms of the cell the landscape belongs to
  bool resolved = false;           // conducting sites resolved in a supercell
  long supercell[3] = {1, 1, 1};   // its cells along a, b, c
};
int velmora_cube_calculate_from_cell_and_write_to_file_assign_partial_occ(
    const char* cube_name, const char* cif_name, VELMORA_CELL* cell,
    const VELMORA_SYMMETRY* symmetry, const char* type, int os, double sf, double resolution,
    bool ignore_conducting, bool periodic, const char* dir_unitary, const char* dir_binary,
    VELMORA_CUBE_SUMMARY* summary = nullptr);

// ------------------------------------------------------------- files ----

// Longest voxel line: " %12.6f\r\n" of the largest double (309 digits).
constexpr std::size_t VELMORA_CUBE_VALUE_LINE_MAX = 352;
// Writes the voxel line " %12.6f\r\n" of e into `out` (room for
// VELMORA_CUBE_VALUE_LINE_MAX characters, no terminator) and returns its
// length; the bytes are those printf writes, found without printf.
std::size_t velmora_cube_format_value(char* out, double e);
// The cube file text (CR LF line ends).  A header with the atoms needs both
// cell and parameters.  1 when a species lookup fails.
int velmora_cube_export_to_string(std::string& out, const VELMORA_CUBE* cube,
                                  const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                  bool periodic);
int velmora_cube_export_to_file(const VELMORA_CUBE* cube, const VELMORA_CELL* cell,
                                const VELMORA_PROPERTY* ppt, const char* path, bool periodic);
// Reads a cube file; `cell` (optional) receives the atoms of the header, or
// stays empty when the file has none.  The one reader of every landscape
// command, strict: the atom count, the whole voxel counts and the atom
// lines must be well formed, the values exactly as many as the grid has,
// each finite and within +-VELMORA_CUBE_MAX_ABS_ENERGY, and the cell edges
// at least VELMORA_CELL_MIN_EDGE long and not in one plane; otherwise one
// error line names the file and the fault, and the result is 1.  The
// mobile species of the header line, if any, goes to ion_type/ion_os.
int velmora_cube_import_from_file(std::unique_ptr<VELMORA_CUBE>& cube,
                                  std::unique_ptr<VELMORA_CELL>* cell, const char* path,
                                  bool periodic, const char* dir_unitary);

// True when the landscape may be analysed for the mobile ion (type, os):
// the cube names no species, or names this one.  Otherwise false after an
// error line naming the file and both species.
bool velmora_cube_check_conducting(const VELMORA_CUBE* cube, const char* path, const char* type,
                                   int os);

#endif  // VELMORA_CUBE_H_

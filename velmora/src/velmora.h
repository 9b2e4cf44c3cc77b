// Shared records of velmora: atom, cell, symmetry operation, space group,
// force-field parameter set and energy cube.  Plain structs whose storage is
// owned by standard containers; the functions that work on them live in the
// area headers (velmora-alloc.h, velmora-import.h, velmora-cube.h, ...).
#ifndef VELMORA_H_
#define VELMORA_H_

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Physical constants shared by every computation (eV, Angstrom, K, ps, amu).
constexpr double VELMORA_COULOMB = 14.39964;       // e^2/(4 pi eps0) in eV*A
constexpr double VELMORA_COULOMB_HALF = 7.19982;   // pairs visited from both sides
constexpr double VELMORA_KB = 8.6173324e-5;        // Boltzmann constant, eV/K
constexpr double VELMORA_AMU_TO_EV_PS2_A2 = 0.000103642699;
constexpr double VELMORA_BOHR_PER_ANGSTROM = 1.889725989;
// The program's own degree/radian factors; 57.29577957855229 is the
// reciprocal of 0.0174532925, not 180/pi, and results depend on that.
constexpr double VELMORA_DEG_TO_RAD = 0.0174532925;
constexpr double VELMORA_RAD_TO_DEG = 57.29577957855229;

// One atom or atomic site.
struct VELMORA_ATOM {
  char name[12] = {};   // label, at most 11 characters
  char type[3] = {};    // element symbol, at most 2 characters
  int os = 0;           // oxidation state (signed)
  double x[3] = {};     // Cartesian position, A
  double x_f[3] = {};   // fractional position
  double occ = 0.0;     // site occupancy, 0 to 1
  long flag = 0;        // scratch tag of symmetry and site operations
  double value = 0.0;   // scratch real (CIF oxidation state, sort key)
  bool ignored = false; // left out of energy sums / fixed in relaxations
};

// A crystal structure: lattice plus every atom of the full cell.
// `total` always equals atom.size(); functions that replace the atoms keep
// both in step.
struct VELMORA_CELL {
  char name[128] = {};              // composition summary, e.g. "Li1+:8.000 O2-:4.000 "
  long total = 0;
  std::vector<VELMORA_ATOM> atom;
  double a[3][3] = {};              // lattice vectors as rows, A
  double parameter[3] = {};         // a, b, c in A
  double angle[3] = {};             // alpha, beta, gamma in degrees
  int Z = 0;                        // _cell_formula_units_Z, 0 when absent
};

// One symmetry operation x' = R x + t.
struct VELMORA_CARD {
  char text[36] = {};   // the operation as written, at most 35 characters
  double r_f[3][3] = {};
  double t_f[3] = {};
  double r[3][3] = {};  // Cartesian form: declared, never filled
  double t[3] = {};
  int r_i[3][3] = {};   // integer form acting on grid indices
  long t_i[3] = {};     // translation in grid points
};

// A space group in one setting, as an explicit list of operations.
struct VELMORA_SYMMETRY {
  char sg_HM[16] = {};
  char sg_Hall[16] = {};
  int sg_id = 0;
  int total = 0;
  std::vector<VELMORA_CARD> card;
};

// Per-species force-field parameters.
struct VELMORA_PROPERTY_UNITARY {
  char type[3] = {};
  int os = 0;
  double soft = 0.0;  // softness (Pearson absolute softness), used in rmin
  double rc = 0.0;    // Coulomb radius, A
  double m = 0.0;     // ionic mass, amu
  int an = 0;         // atomic number
  int n = 0;          // principal quantum number (period)
  int g = 0;          // group, read and printed only
  int b = 0;          // block code s0 p1 d2 f3
  int c = 0;          // derived exponent: 1 for b = 0, 1; 2 for b = 2, 3
  double q = 0.0;     // derived fractional charge
};

// Per-pair force-field parameters; only the cation-anion orientation that the
// data file lists is filled, the other orientation stays zero.
struct VELMORA_PROPERTY_BINARY {
  char type1[3] = {};
  int os1 = 0;
  char type2[3] = {};
  int os2 = 0;
  double b = 0.0;      // effective softness parameter, A
  double b_old = 0.0;  // softness parameter as read
  double r0 = 0.0;     // bond-valence R0, A
  double cutoff = 0.0; // pair cut-off, A
  double cn = 0.0;     // reference coordination number of the cation
  double d0 = 0.0;     // bond depth, e^2/A
  double rmin = 0.0;   // equilibrium distance of the Morse-type term, A
  double r_bc = 0.0;   // bonded term replaced by its polynomial below this
  double r_cc = 0.0;   // like-charge Coulomb term replaced below this
  double bv_s = 0.0;
  double en_s = 0.0;   // bonded energy at the cut-off (energy shift)
  double f_s = 0.0;    // bonded derivative at the cut-off
  double a0 = 0.0, a1 = 0.0, a2 = 0.0;  // replacement polynomial a0 + a1 r + a2 r^2
};

// The force-field parameter set of one cell.
struct VELMORA_PROPERTY {
  int total = 0;                                        // number of species
  std::vector<std::array<char, 3>> type;                // species symbols
  std::vector<int> os;                                  // species oxidation states
  std::vector<VELMORA_PROPERTY_UNITARY> uni;            // per species
  std::vector<std::vector<VELMORA_PROPERTY_BINARY>> bin;  // bin[i][j]: pair (i, j)
  double sf = 0.0;       // Coulomb screening factor; <= 0 asks for the search
  int conducting = -1;   // index of the mobile species, -1 when none
};

// Energy grid of a landscape.  Voxel (i, j, k) lies at i*a_i[0] + j*a_i[1] +
// k*a_i[2]; the values are stored flat with the third index fastest.
struct VELMORA_CUBE {
  std::vector<double> en;  // n[0]*n[1]*n[2] energies, eV
  double a[3][3] = {};     // cell vectors spanned by the grid (rows), A
  double a_i[3][3] = {};   // voxel step vectors (rows), A
  long n[3] = {};          // voxels along each cell vector
  // The mobile species named on the header line "Conducting = Li1+ ; ..."
  // of the file it was read from; an empty type when the file names none.
  char ion_type[3] = {};
  int ion_os = 0;
};

inline double& velmora_cube_at(VELMORA_CUBE& cube, long i, long j, long k) {
  return cube.en[(static_cast<std::size_t>(i) * cube.n[1] + j) * cube.n[2] + k];
}
inline double velmora_cube_at(const VELMORA_CUBE& cube, long i, long j, long k) {
  return cube.en[(static_cast<std::size_t>(i) * cube.n[1] + j) * cube.n[2] + k];
}

#endif  // VELMORA_H_

// Bond-valence sums of the symmetry-distinct sites of a crystal, the
// site-to-site contributions, and the global instability index (GII): bond
// valences exp((R0 - d)/b) with the effective softness b of the force field.
#ifndef VELMORA_BV_H_
#define VELMORA_BV_H_

#include <memory>
#include <vector>

#include "velmora.h"

struct VELMORA_BV {
  long total = 0;                          // inequivalent sites
  std::vector<VELMORA_ATOM> atom;          // representative (first) atom of each site
  std::vector<int> multi;                  // atoms of the cell on each site
  std::vector<double> sum;                 // BV sum, negative for anion sites
  std::vector<std::vector<double>> value;  // value[s][t]: part of sum[s] from site t
};

// Zero-filled record for `total` sites (no arrays when total < 1).
std::unique_ptr<VELMORA_BV> velmora_bv_new(long total);

// Sites flagged by `symmetry`; parameters built with sf 0.75 (no search).
// The cell's atoms end sorted and their scratch fields cleared.
std::unique_ptr<VELMORA_BV> velmora_bv_calculate_from_cell(VELMORA_CELL* cell,
                                                           const VELMORA_SYMMETRY* symmetry,
                                                           const char* dir_unitary,
                                                           const char* dir_binary);
// The same for the part of the cell made of two species; the cell is not
// touched.
std::unique_ptr<VELMORA_BV> velmora_bv_calculate_from_cell_with_type(
    const VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry, const char* type1, int os1,
    const char* type2, int os2, const char* dir_unitary, const char* dir_binary);
// The sums of a cell whose atoms carry their 1-based site numbers in `flag`.
std::unique_ptr<VELMORA_BV> velmora_bv_calculate_from_flagged_cell(const VELMORA_CELL* cell,
                                                                   const VELMORA_PROPERTY* ppt);
// Every cation-anion pair of the set must have positive cutoff, b and r0.
int velmora_bv_validate_property(const VELMORA_PROPERTY* ppt);

// GII = sqrt(sum multi*occ*(BVS - os)^2 / sum multi*occ); prints it with a
// verdict.
double velmora_gii_calculate_from_bv(const VELMORA_BV* bv);
// The verdict printed with a GII: "stable" (below 0.15), "average" (below
// 0.3), "unstable" (below 1) or "unreasonable".
const char* velmora_gii_verdict(double gii);
// -1.0 on failure.
double velmora_gii_calculate_from_cell(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                                       const char* dir_unitary, const char* dir_binary);

// The sums, then the table of pairs.  Cells of up to
// VELMORA_BV_FULL_TABLE_SITES sites list every pair, zeros included;
// larger ones list only the pairs that share a bond (non-zero valence), so
// the table grows with the bonds, not with the square of the cell, and a
// line says how many pairs were left out.
constexpr long VELMORA_BV_FULL_TABLE_SITES = 64;
void velmora_bv_print(const VELMORA_BV* bv);
void velmora_bv_print_gui(const VELMORA_BV* bv);

#endif  // VELMORA_BV_H_

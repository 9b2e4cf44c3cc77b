// Coordination numbers of velmora: the counter-ions of one centre atom within
// 10 A sorted by distance, coordination shells found at the minima of their
// radial density (occupancy per shell volume), averages over the
// symmetry-distinct sites of a species, and the ranking of bonds by bond
// valence exp((R0 - d)/b) that closes the coordination sphere where the
// bond-valence sum is exhausted.
#ifndef VELMORA_CN_H_
#define VELMORA_CN_H_

#include <array>
#include <memory>
#include <vector>

#include "velmora-bv.h"
#include "velmora.h"

// Every neighbour search of the shell analyses reaches this far (A).
constexpr double VELMORA_CN_RANGE = 10.0;
// Radial density written where two neighbours lie at the same distance.
constexpr double VELMORA_CN_RDS_CAP = 999.9;

// Shells of a sorted neighbour list: per shell the distance of its last
// member, the sum of its members' occupancies and the index of its first
// member.
struct VELMORA_CN_SHELLS {
  int total_shell = 0;
  std::vector<double> r_shell;
  std::vector<double> n_shell;
  std::vector<int> index_shell;
};

// Neighbours of one centre atom of one counter-ion species.
struct VELMORA_CN : VELMORA_CN_SHELLS {
  char name[12] = {};
  char type[3] = {};
  int os = 0;
  char type_c[3] = {};
  int os_c = 0;
  int total = 0;
  std::vector<double> r;    // distances, ascending, A
  std::vector<double> occ;  // occupancies, same order
  std::vector<double> n;    // running occupancy sum
  std::vector<double> g;    // radial density (rds)
};

// Neighbours of all counter-ion species of one centre atom.
struct VELMORA_CN_MIX : VELMORA_CN_SHELLS {
  char name[12] = {};
  char type[3] = {};
  int os = 0;
  int total = 0;
  std::vector<std::array<char, 3>> type_c;
  std::vector<int> os_c;
  std::vector<double> r, occ, n, g;
};

// Bonds of one centre atom ranked by bond valence.
struct VELMORA_CN_BV {
  char name[12] = {};
  char type[3] = {};
  int os = 0;
  double BVS = 0.0;  // bond-valence sum of the centre's site
  int total = 0;
  std::vector<std::array<char, 3>> type_c;
  std::vector<int> os_c;
  std::vector<double> r, occ, n;
  std::vector<double> s;      // bond valence
  std::vector<double> s_sum;  // running occupancy-weighted sum of s
  std::vector<double> s_ave;  // s_sum / n
  std::vector<double> s_det;  // s_ave of the stronger bonds over s
  int cn_index = 0;           // the bond that closes the coordination sphere
  int cn_print = 0;           // the last bond printed
};

std::unique_ptr<VELMORA_CN> velmora_cn_new();
std::unique_ptr<VELMORA_CN_MIX> velmora_cn_mix_new();
std::unique_ptr<VELMORA_CN_BV> velmora_cn_bv_new();

// Counter-ions (type_c, os_c) of `centre` (an atom of `cell`) within 10 A,
// the centre's own images excluded, with their shells.
std::unique_ptr<VELMORA_CN> velmora_cn_new_from_cell(const VELMORA_CELL* cell, long centre,
                                                     const char* type_c, int os_c,
                                                     double rds_tiny);
// Every atom whose oxidation state times the centre's is below 1.
std::unique_ptr<VELMORA_CN_MIX> velmora_cn_mix_new_from_cell(const VELMORA_CELL* cell,
                                                             long centre, double rds_tiny);
// Bonds of `centre` (0.3 A < d < pair cut-off) ranked by bond valence; the
// BVS is that of the site in `bv` whose representative bears the centre's
// name.
std::unique_ptr<VELMORA_CN_BV> velmora_cn_bv_new_from_cell(const VELMORA_CELL* cell, long centre,
                                                           const VELMORA_PROPERTY* ppt,
                                                           const VELMORA_BV* bv);

// Shells at the minima of the radial density below min(rds) + rds_tiny
// (rds_tiny <= 0 means 0.01).  0 on success.
int velmora_cn_calculate_shell(VELMORA_CN* cn, double rds_tiny);
int velmora_cn_mix_calculate_shell(VELMORA_CN_MIX* cn, double rds_tiny);

// The computations behind --cal-cn, --cal-cn-atom, --cal-cn-type and
// --cal-cn-bv, each printing its result; 0 on success.
int velmora_cn_calculate(const VELMORA_CELL* cell, const char* name, double rds_tiny);
int velmora_cn_calculate_by_name(const VELMORA_CELL* cell, const char* name, const char* type_c,
                                 int os_c, double rds_tiny);
int velmora_cn_calculate_by_type(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                                 const char* type, int os, const char* type_c, int os_c,
                                 double rds_tiny);
int velmora_cn_calculate_by_bv(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                               const char* name, const char* dir_unitary,
                               const char* dir_binary);

void velmora_cn_print_shell(const VELMORA_CN* cn);
void velmora_cn_mix_print(const VELMORA_CN_MIX* cn);
void velmora_cn_bv_print(const VELMORA_CN_BV* cn);

#endif  // VELMORA_CN_H_

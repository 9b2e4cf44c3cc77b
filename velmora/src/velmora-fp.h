// Flow-path map of a landscape: every grid point classified by the number of
// separate lower and higher regions among its periodic neighbours (the 26
// of the block, or the 38 of a hexagonal grid's symmetric set): minimum,
// saddle, maximum, slope point (of two equal energies the later point in
// grid order counts as the higher); the steepest-descent half paths from
// every saddle down to minima; the --fp-map command.
#ifndef VELMORA_FP_H_
#define VELMORA_FP_H_

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "velmora-cmd.h"
#include "velmora.h"

constexpr std::uint8_t VELMORA_NB_SELF = 255;  // "the point itself" as a neighbour index

enum fpdot_type {
  FP_UND = 0,  // unclassified or cleared
  FP_NOR = 1,  // ordinary slope point
  FP_MIN = 2,
  FP_MAX = 3,
  FP_SAD = 4,
  FP_PAT = 5,  // marked as lying on a path
  FP_ERR = 6   // irregular neighbourhood
};

// What the later stages read of one grid point, in four bytes: its type,
// the numbers of higher and lower neighbour clusters, and the neighbour
// (index in the map's neighbour set) a descent takes from it: the lowest
// neighbour of its first lower cluster.  The branches of a saddle, the
// cluster labels and the positions are recomputed from the energies when
// asked for.
struct VELMORA_FPCODE {
  std::uint8_t type = FP_UND;
  std::uint8_t total_up = 0;
  std::uint8_t total_dn = 0;
  std::uint8_t dn = VELMORA_NB_SELF;  // no lower neighbour
};

// A point where two or more basins meet: a saddle (two or three lower
// clusters) or a point that four or more lower clusters make irregular (a
// pass of higher order on the grid, where as many basins meet).  Half paths
// start and end at such points.
inline bool velmora_fpcode_is_pass(const VELMORA_FPCODE& code) {
  return (code.type == FP_SAD || code.type == FP_ERR) && code.total_dn >= 2;
}

// The neighbours of a grid point: offsets (a, b, c) of grid indices, in
// lexicographic order (a slowest), the point itself excluded.  Sets of up to
// 124 offsets within -2..2 on each axis; adjacency[k] marks (bit m) the
// neighbours m whose offset from neighbour k is itself in the set, the
// connectivity within the neighbourhood.  By default the 26 offsets of the
// 3x3x3 block.
using VELMORA_NB_MASK = unsigned __int128;
constexpr int VELMORA_NB_MAX = 124;

struct VELMORA_GRID_NEIGHBOURS {
  int total = 0;
  int offset[VELMORA_NB_MAX][3] = {};
  VELMORA_NB_MASK adjacency[VELMORA_NB_MAX] = {};
  int reach[3] = {};          // largest |offset| along each axis
  std::int16_t index[125] = {};  // offset (a, b, c) at 25(a+2) + 5(b+2) + c+2 -> neighbour, or -1
  VELMORA_GRID_NEIGHBOURS();
  explicit VELMORA_GRID_NEIGHBOURS(const std::vector<std::array<int, 3>>& offsets);
  // Neighbour index of an offset, -1 when it is not in the set (or is 0).
  int find(const int o[3]) const;
};

// The neighbour set of a grid: the 26 block offsets together with all their
// images under the symmetries of the grid (integer maps of the index
// offsets that keep the lengths and angles of the step vectors a_i and map
// the cell's periods onto themselves).  On cubic, tetragonal, orthorhombic,
// monoclinic and rhombohedral grids the 26 are closed already; on a
// hexagonal grid (two equal steps at 120 or 60 degrees) a 3-fold axis
// carries the long in-plane diagonal (1, -1) onto (1, 2) and (2, 1), which
// join the set (38 neighbours: the triangular net's first two shells, as
// the 26 hold a square net's), so that the map has the landscape's
// symmetry.  A closure reaching beyond two steps, or two steps on an axis
// of fewer than five points, falls back to the largest part of the 26 that
// the symmetries keep.
VELMORA_GRID_NEIGHBOURS velmora_grid_neighbours(const double a_i[3][3], const long n[3]);

// The flow-path map: energies (eV) and codes of the grid points, point
// (i, j, k) at flat index (i*n[1] + j)*n[2] + k.
struct VELMORA_FPCUBE {
  std::vector<double> en;
  std::vector<VELMORA_FPCODE> dot;
  VELMORA_GRID_NEIGHBOURS nb;  // the neighbour set every stage uses
  double a[3][3] = {};    // lattice vectors (rows), A
  double a_i[3][3] = {};  // grid step vectors (rows), A
  long n[3] = {};
};

// The full local data of one point, made on request from the map.
struct VELMORA_FPDOT {
  double en = 0.0;
  long x_i[3] = {};
  double x[3] = {};        // Cartesian, A
  fpdot_type type = FP_UND;
  int cluster[3][3][3] = {};  // >0 higher neighbours' clusters, <0 lower, 0 the point
  int total_up = 0;
  int total_dn = 0;
  long up[8] = {};  // flat index of the highest neighbour of each higher cluster
  long dn[8] = {};  // flat index of the lowest neighbour of each lower cluster
};

// A steepest-descent path from a saddle (first point) to a minimum or
// another saddle (last point); points are flat indices into one map.
struct VELMORA_FPHALF {
  long total = 0;
  std::vector<long> dot;
  double barrier = 0.0;  // energy of the first point minus that of the last
};

struct VELMORA_FPHALF_LIST {
  long total = 0;
  std::vector<VELMORA_FPHALF> half;
};

// ------------------------------------------------------------- the map ----

std::unique_ptr<VELMORA_FPCUBE> velmora_fpcube_new(const long n[3]);
// Classifies every point of the energy cube (in parallel; warnings about
// crowded neighbourhoods follow in grid order, one per point).
std::unique_ptr<VELMORA_FPCUBE> velmora_fpcube_new_from_cube(const VELMORA_CUBE* cube);

long velmora_fpcube_index(const VELMORA_FPCUBE* cube, const long x_i[3]);
void velmora_fpcube_unflatten(long x_i[3], const VELMORA_FPCUBE* cube, long index);
// Flat index of the point with block offset code `code` (0..26) from p.
long velmora_fpcube_neighbour(const VELMORA_FPCUBE* cube, long p, int code);
// Flat index of neighbour k (of the map's set; VELMORA_NB_SELF: p) of p.
long velmora_fpcube_step(const VELMORA_FPCUBE* cube, long p, int k);
// Point p followed by its neighbours, as flat indices.
void velmora_fpcube_near(std::vector<long>& out, const VELMORA_FPCUBE* cube, long p);
// True when grid points x1 and x2 are the same point or neighbours in the
// map's set (periodic).
bool velmora_fpcube_adjacent(const VELMORA_FPCUBE* cube, const long x1[3], const long x2[3]);
// Lattice cells crossed by the step from grid point p to its neighbour (or
// itself) q, added to out: an index that changes by more than the set
// reaches along its axis has wrapped around the cell.
void velmora_fpcube_add_wrap(int out[3], const VELMORA_FPCUBE* cube, const long p[3],
                             const long q[3]);
void velmora_fpcube_position(double x[3], const VELMORA_FPCUBE* cube, long p);

// Cluster labels of the neighbours of x_i: higher neighbours (+) and
// lower ones (-; an equal energy is lower when the neighbour comes earlier
// in grid order) joined into connected groups (adjacency within the map's
// set, the point itself excluded), numbered by one counter in neighbour
// order.  Returns the numbers of higher and lower clusters, and the labels
// of the 3x3x3 block by offset code (the centre, and offsets outside the
// set, 0).
void velmora_fpdot_cluster(int label[27], int& total_up, int& total_dn,
                           const VELMORA_FPCUBE* cube, const long x_i[3]);
fpdot_type velmora_fpdot_classify(int total_up, int total_dn);
// Highest neighbour of each higher cluster and lowest of each lower one,
// clusters in the order of their first label (ties: the last in neighbour
// order), from the labels and energies of the `total` neighbours and the
// point's energy; returns neighbour indices (VELMORA_NB_SELF past the
// clusters).
void velmora_fpdot_branch(int up[8], int dn[8], const int* label, const double* en,
                          double centre, int total);
// The full local data of point x_i (wrapped in place).
int velmora_fpdot_read(VELMORA_FPDOT* dot, const VELMORA_FPCUBE* cube, long x_i[3]);
bool velmora_fpdot_equal(const VELMORA_FPCUBE* cube, long p, long q);
void velmora_fpdot_print(const VELMORA_FPDOT* dot);

// --------------------------------------------------------- half paths ----

std::unique_ptr<VELMORA_FPHALF_LIST> velmora_fphalf_list_new_empty();
// The half paths of the saddle at x_i, one per lower cluster.
std::unique_ptr<VELMORA_FPHALF_LIST> velmora_fphalf_list_new(const VELMORA_FPCUBE* cube,
                                                             long x_i[3]);
// Every saddle's half paths, saddles in grid order.
std::unique_ptr<VELMORA_FPHALF_LIST> velmora_fphalf_list_new_from_fpcube(
    const VELMORA_FPCUBE* cube);
int velmora_fphalf_list_merge(VELMORA_FPHALF_LIST* destination,
                              std::unique_ptr<VELMORA_FPHALF_LIST> source);
// Keeps the half paths of barrier at most barrier_max (all when negative).
int velmora_fphalf_list_filter(VELMORA_FPHALF_LIST* list, double barrier_max);
// Slope and unclassified points of every half path become path points.
void velmora_fphalf_list_label_path(VELMORA_FPCUBE* cube, const VELMORA_FPHALF_LIST* list);

void velmora_fpcube_clear_type(VELMORA_FPCUBE* cube);
// Minima, saddles and path points as marker atoms (Li, Na/K/Cs, H).
std::unique_ptr<VELMORA_CELL> velmora_fpcube_export_to_cell(const VELMORA_FPCUBE* cube);
int velmora_fpcube_export_cif_to_file(const VELMORA_CUBE* cube, double barrier_max,
                                      const char* name);

int velmora_cmd_opt_do_fp_map(VELMORA_CMD_OPT* opt);

#endif  // VELMORA_FP_H_

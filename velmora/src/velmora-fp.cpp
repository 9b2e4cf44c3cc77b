// Flow-path map: each grid point's periodic neighbours (the 26 of its 3x3x3
// block, or on a hexagonal grid the symmetric set of 38: see
// velmora-fp-grid.cpp) split into those not lower than the point and those
// lower, each side cut into connected clusters within the neighbourhood
// (bit masks, exact for every pattern); no lower cluster makes a minimum,
// two or three a saddle.  Half paths follow the stored lowest neighbour of
// the first lower cluster from every branch of a pass (a saddle, or a point
// with four or more lower clusters) down to a minimum or another pass.
#include "velmora-fp.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "velmora-cube.h"
#include "velmora-fft.h"
#include "velmora-import.h"
#include "velmora-la.h"

namespace {

constexpr int kCentre = 13;
// A descent that has not reached a minimum or saddle after this many points
// has lost its way (a grid of a few hundred points per axis never needs it).
constexpr long kMaxPathPoints = 1999;

using Mask = VELMORA_NB_MASK;
constexpr Mask bit(int k) { return static_cast<Mask>(1) << k; }

int lowest_bit(Mask m) {
  const auto low = static_cast<unsigned long long>(m);
  return low ? __builtin_ctzll(low) : 64 + __builtin_ctzll(static_cast<unsigned long long>(m >> 64));
}

// The cluster of neighbour `seed` among the neighbours of `side`.
Mask grow_cluster(int seed, Mask side, const VELMORA_GRID_NEIGHBOURS& nb) {
  Mask cluster = bit(seed), previous = 0;
  while (cluster != previous) {
    previous = cluster;
    Mask grown = cluster;
    for (Mask m = cluster; m; m &= m - 1) grown |= nb.adjacency[lowest_bit(m)];
    cluster = grown & side;
  }
  return cluster;
}

// Labels of the neighbours from their energies e (the point's is `centre`):
// one counter numbers the clusters in neighbour order, positive for the
// side not lower than the point, negative for the lower side.  A neighbour
// of equal energy counts as higher when it comes later in grid order (bit k
// of `later`), as lower when it comes earlier: energies written with six
// decimals are often exactly equal (symmetry copies), and a saddle spread
// over two equal points would otherwise show two lower clusters at
// neither.
void cluster_block(const double* e, double centre, Mask later, int* label, int& total_up,
                   int& total_dn, const VELMORA_GRID_NEIGHBOURS& nb) {
  Mask up = 0, down = 0;
  for (int k = 0; k < nb.total; ++k) {
    label[k] = 0;
    if (e[k] > centre || (e[k] == centre && (later & bit(k))))
      up |= bit(k);
    else
      down |= bit(k);
  }
  total_up = total_dn = 0;
  int counter = 1;
  Mask done = 0;
  for (int k = 0; k < nb.total; ++k) {
    if (done & bit(k)) continue;
    const bool higher = (up & bit(k)) != 0;
    const Mask cluster = grow_cluster(k, higher ? up : down, nb);
    done |= cluster;
    const int value = higher ? counter : -counter;
    ++counter;
    for (Mask m = cluster; m; m &= m - 1) label[lowest_bit(m)] = value;
    if (higher)
      ++total_up;
    else
      ++total_dn;
  }
}

// Energies of the neighbours of grid point (i, j, k) and of the point
// itself; returns the mask of the neighbours that come later in grid
// order.
Mask neighbour_energies_at(double* e, double& centre, const VELMORA_FPCUBE* cube, long i, long j,
                           long k) {
  const long* n = cube->n;
  // Wrapped indices of the offsets -2..2 along each axis.
  long x[5], y[5], z[5];
  for (int o = -2; o <= 2; ++o) {
    x[o + 2] = velmora_mod_long(i + o, n[0]);
    y[o + 2] = velmora_mod_long(j + o, n[1]);
    z[o + 2] = velmora_mod_long(k + o, n[2]);
  }
  const double* en = cube->en.data();
  const long self = (i * n[1] + j) * n[2] + k;
  centre = en[self];
  Mask later = 0;
  const VELMORA_GRID_NEIGHBOURS& nb = cube->nb;
  for (int q = 0; q < nb.total; ++q) {
    const int* o = nb.offset[q];
    const long p = (x[o[0] + 2] * n[1] + y[o[1] + 2]) * n[2] + z[o[2] + 2];
    e[q] = en[p];
    if (p > self) later |= bit(q);
  }
  return later;
}

// The same around flat index p.
Mask neighbour_energies(double* e, double& centre, const VELMORA_FPCUBE* cube, long p) {
  long x[3];
  velmora_fpcube_unflatten(x, cube, p);
  return neighbour_energies_at(e, centre, cube, x[0], x[1], x[2]);
}

// The descent step of a point: the lowest neighbour (the last in neighbour
// order among equals) of its first lower cluster, as velmora_fpdot_branch
// finds it for dn[0]; VELMORA_NB_SELF without a lower neighbour.
int first_lower_branch(const int* label, const double* e, double centre, int total) {
  int first = 0;
  while (first < total && label[first] >= 0) ++first;
  if (first == total) return VELMORA_NB_SELF;
  int choice = first;
  double best = centre;
  for (int q = first; q < total; ++q)
    if (label[q] == label[first] && e[q] <= best) {
      best = e[q];
      choice = q;
    }
  return choice;
}

// Labels, cluster counts and branches of point p.
struct PointClusters {
  double e[VELMORA_NB_MAX];
  double centre = 0.0;
  int label[VELMORA_NB_MAX];
  int total_up = 0, total_dn = 0;
};

void point_clusters(PointClusters& pc, const VELMORA_FPCUBE* cube, long p) {
  const Mask later = neighbour_energies(pc.e, pc.centre, cube, p);
  cluster_block(pc.e, pc.centre, later, pc.label, pc.total_up, pc.total_dn, cube->nb);
}

}  // namespace

// ------------------------------------------------------------- the map ----

std::unique_ptr<VELMORA_FPCUBE> velmora_fpcube_new(const long n[3]) {
  if (!n || n[0] <= 0 || n[1] <= 0 || n[2] <= 0) {
    std::fprintf(stderr, "Error: all arguments must be positive.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FPCUBE> cube(new (std::nothrow) VELMORA_FPCUBE);
  if (!cube) {
    throw VELMORA_NO_MEMORY("the flow-path map", sizeof(VELMORA_FPCUBE));
  }
  try {
    const std::size_t total = static_cast<std::size_t>(n[0]) * n[1] * n[2];
    cube->en.assign(total, 0.0);
    cube->dot.assign(total, VELMORA_FPCODE());
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("the flow-path map",
                            (8.0 + sizeof(VELMORA_FPCODE)) * n[0] * n[1] * n[2]);
  }
  for (int d = 0; d < 3; ++d) cube->n[d] = n[d];
  return cube;
}

long velmora_fpcube_index(const VELMORA_FPCUBE* cube, const long x_i[3]) {
  return (x_i[0] * cube->n[1] + x_i[1]) * cube->n[2] + x_i[2];
}

void velmora_fpcube_unflatten(long x_i[3], const VELMORA_FPCUBE* cube, long index) {
  x_i[2] = index % cube->n[2];
  x_i[1] = (index / cube->n[2]) % cube->n[1];
  x_i[0] = index / (cube->n[2] * cube->n[1]);
}

long velmora_fpcube_neighbour(const VELMORA_FPCUBE* cube, long p, int code) {
  long x[3];
  velmora_fpcube_unflatten(x, cube, p);
  const int offset[3] = {code / 9 - 1, code / 3 % 3 - 1, code % 3 - 1};
  for (int d = 0; d < 3; ++d) {
    x[d] += offset[d];
    if (x[d] < 0) x[d] += cube->n[d];
    if (x[d] >= cube->n[d]) x[d] -= cube->n[d];
  }
  return velmora_fpcube_index(cube, x);
}

void velmora_fpcube_position(double x[3], const VELMORA_FPCUBE* cube, long p) {
  long x_i[3];
  velmora_fpcube_unflatten(x_i, cube, p);
  for (int c = 0; c < 3; ++c)
    x[c] = x_i[0] * cube->a_i[0][c] + x_i[1] * cube->a_i[1][c] + x_i[2] * cube->a_i[2][c];
}

fpdot_type velmora_fpdot_classify(int total_up, int total_dn) {
  fpdot_type type;
  if (total_dn == 0)
    type = FP_MIN;
  else if (total_dn == 1)
    type = total_up == 1 ? FP_NOR : FP_ERR;
  else if (total_dn <= 3)
    type = FP_SAD;
  else
    type = FP_ERR;
  if (total_up == 0 && total_dn > 0) type = FP_MAX;
  return type;
}

void velmora_fpdot_branch(int up[8], int dn[8], const int* label, const double* en,
                          double centre, int total) {
  // Clusters are visited in the order of their first label; labels grow in
  // magnitude in neighbour order, so that is the order of increasing
  // |label|.
  int up_count = 0, dn_count = 0, seen_up = 0, seen_dn = 0;
  for (int q = 0; q < total; ++q) {
    const int l = label[q];
    if (l > seen_up && up_count < 8) {
      seen_up = l;
      double best = centre;
      int choice = q;
      for (int r = 0; r < total; ++r)
        if (label[r] == l && en[r] >= best) {
          best = en[r];
          choice = r;
        }
      up[up_count++] = choice;
    } else if (l < seen_dn && dn_count < 8) {
      seen_dn = l;
      double best = centre;
      int choice = q;
      for (int r = 0; r < total; ++r)
        if (label[r] == l && en[r] <= best) {
          best = en[r];
          choice = r;
        }
      dn[dn_count++] = choice;
    }
  }
  for (int k = up_count; k < 8; ++k) up[k] = VELMORA_NB_SELF;
  for (int k = dn_count; k < 8; ++k) dn[k] = VELMORA_NB_SELF;
}

void velmora_fpdot_cluster(int label[27], int& total_up, int& total_dn,
                           const VELMORA_FPCUBE* cube, const long x_i[3]) {
  PointClusters pc;
  point_clusters(pc, cube, velmora_fpcube_index(cube, x_i));
  total_up = pc.total_up;
  total_dn = pc.total_dn;
  for (int q = 0; q < 27; ++q) {
    const int o[3] = {q / 9 - 1, q / 3 % 3 - 1, q % 3 - 1};
    const int k = q == kCentre ? -1 : cube->nb.find(o);
    label[q] = k < 0 ? 0 : pc.label[k];
  }
}

std::unique_ptr<VELMORA_FPCUBE> velmora_fpcube_new_from_cube(const VELMORA_CUBE* cube) {
  if (!cube || cube->en.empty() ||
      cube->en.size() != static_cast<std::size_t>(cube->n[0] * cube->n[1] * cube->n[2])) {
    std::fprintf(stderr, "Error: VELMORA_CUBE has not been properly initialized.\n");
    return nullptr;
  }
  // With fewer than three points on an axis a point would be its own
  // neighbour, and the boundary jumps of a path could not be told apart
  // from steps.
  if (cube->n[0] < 3 || cube->n[1] < 3 || cube->n[2] < 3) {
    std::fprintf(stderr,
                 "Error: the flow-path map needs at least 3 grid points along each axis.\n");
    return nullptr;
  }
  VELMORA_PROGRESS progress;
  std::unique_ptr<VELMORA_FPCUBE> map = velmora_fpcube_new(cube->n);
  if (!map) {
    std::fprintf(stderr, "Error: velmora_fpcube_new() returns NULL.\n");
    return nullptr;
  }
  velmora_matrix33_double_copy(map->a, cube->a);
  velmora_matrix33_double_copy(map->a_i, cube->a_i);
  map->nb = velmora_grid_neighbours(cube->a_i, cube->n);
  map->en = cube->en;
  const long total = static_cast<long>(map->en.size());
  // 1: more than 4 higher clusters; 2: more than 8 of either kind.
  std::vector<std::uint8_t> warning(static_cast<std::size_t>(total), 0);
  const VELMORA_FPCUBE* m = map.get();
  const long rows = cube->n[0] * cube->n[1];
#pragma omp parallel for schedule(static)
  for (long row = 0; row < rows; ++row) {
    PointClusters pc;
    for (long k = 0; k < cube->n[2]; ++k) {
      const long p = row * cube->n[2] + k;
      const Mask later =
          neighbour_energies_at(pc.e, pc.centre, m, row / cube->n[1], row % cube->n[1], k);
      cluster_block(pc.e, pc.centre, later, pc.label, pc.total_up, pc.total_dn, m->nb);
      const int up = pc.total_up, dn = pc.total_dn;
      VELMORA_FPCODE& code = map->dot[p];
      code.type = static_cast<std::uint8_t>(velmora_fpdot_classify(up, dn));
      code.total_up = static_cast<std::uint8_t>(std::min(up, 255));
      code.total_dn = static_cast<std::uint8_t>(std::min(dn, 255));
      if (dn > 0)
        code.dn = static_cast<std::uint8_t>(first_lower_branch(pc.label, pc.e, pc.centre,
                                                               m->nb.total));
      if (up >= 9 || dn >= 9)
        warning[p] = 2;
      else if (up >= 4)
        warning[p] = 1;
    }
  }
  for (long p = 0; p < total; ++p) {
    if (!warning[p]) continue;
    long x[3];
    velmora_fpcube_unflatten(x, m, p);
    if (warning[p] == 1)
      std::printf("Warning: no. of branches exceeds 4 at (%ld,%ld,%ld); there might be a "
                  "discontinuity\n", x[0], x[1], x[2]);
    else
      std::printf("Warning: no. of branches exceeds 8 at (%ld,%ld,%ld); there might be an "
                  "error.\n", x[0], x[1], x[2]);
  }
  progress.report("grid points of the flow-path map classified");
  return map;
}

int velmora_fpdot_read(VELMORA_FPDOT* dot, const VELMORA_FPCUBE* cube, long x_i[3]) {
  if (!dot || !cube || cube->dot.empty()) {
    std::fprintf(stderr, "Error: VELMORA_FPCUBE has not been properly initialized.\n");
    return 1;
  }
  for (int d = 0; d < 3; ++d) x_i[d] = velmora_mod_long(x_i[d], cube->n[d]);
  *dot = VELMORA_FPDOT();
  const long p = velmora_fpcube_index(cube, x_i);
  int label[27], up[8], dn[8];
  velmora_fpdot_cluster(label, dot->total_up, dot->total_dn, cube, x_i);
  for (int q = 0; q < 27; ++q) dot->cluster[q / 9][q / 3 % 3][q % 3] = label[q];
  PointClusters pc;
  point_clusters(pc, cube, p);
  velmora_fpdot_branch(up, dn, pc.label, pc.e, pc.centre, cube->nb.total);
  for (int k = 0; k < 8; ++k) {
    dot->up[k] = velmora_fpcube_step(cube, p, up[k]);
    dot->dn[k] = velmora_fpcube_step(cube, p, dn[k]);
  }
  dot->en = cube->en[p];
  for (int d = 0; d < 3; ++d) dot->x_i[d] = x_i[d];
  velmora_fpcube_position(dot->x, cube, p);
  dot->type = static_cast<fpdot_type>(cube->dot[p].type);
  return 0;
}

bool velmora_fpdot_equal(const VELMORA_FPCUBE* cube, long p, long q) {
  (void)cube;
  return p == q;
}

void velmora_fpdot_print(const VELMORA_FPDOT* dot) {
  if (!dot) {
    std::printf("FPDOT: (not allocated)\n");
    return;
  }
  std::printf("FPDOT: (%ld %ld %ld) (%.6f %.6f %.6f)\n", dot->x_i[0], dot->x_i[1], dot->x_i[2],
              dot->x[0], dot->x[1], dot->x[2]);
  std::printf("FPDOT: en = %f\n", dot->en);
  std::printf("FPDOT: type = %d\n", static_cast<int>(dot->type));
  std::printf("FPDOT: up = %d; dn = %d\n", dot->total_up, dot->total_dn);
  for (int a = 0; a < 3; ++a) {
    std::printf("FPDOT: |");
    for (int b = 0; b < 3; ++b)
      std::printf(" %2d %2d %2d |", dot->cluster[a][b][0], dot->cluster[a][b][1],
                  dot->cluster[a][b][2]);
    std::printf("\n");
  }
}

// --------------------------------------------------------- half paths ----

std::unique_ptr<VELMORA_FPHALF_LIST> velmora_fphalf_list_new_empty() {
  std::unique_ptr<VELMORA_FPHALF_LIST> list(new (std::nothrow) VELMORA_FPHALF_LIST);
  if (!list) std::fprintf(stderr, "Error: unable allocate VELMORA_FPHALF_LIST.\n");
  return list;
}

std::unique_ptr<VELMORA_FPHALF_LIST> velmora_fphalf_list_new(const VELMORA_FPCUBE* cube,
                                                             long x_i[3]) {
  if (!cube || cube->dot.empty()) {
    std::fprintf(stderr, "Error: VELMORA_FPCUBE has not been properly initialized.\n");
    return nullptr;
  }
  for (int d = 0; d < 3; ++d) x_i[d] = velmora_mod_long(x_i[d], cube->n[d]);
  const long saddle = velmora_fpcube_index(cube, x_i);
  if (!velmora_fpcode_is_pass(cube->dot[saddle])) {
    std::fprintf(stderr, "Error: dot (%4ld, %4ld, %4ld) is not a saddle point.\n", x_i[0],
                 x_i[1], x_i[2]);
    return nullptr;
  }
  std::unique_ptr<VELMORA_FPHALF_LIST> list = velmora_fphalf_list_new_empty();
  if (!list) return nullptr;
  PointClusters pc;
  point_clusters(pc, cube, saddle);
  int up_code[8], dn_code[8];
  velmora_fpdot_branch(up_code, dn_code, pc.label, pc.e, pc.centre, cube->nb.total);
  const int branches = std::min(pc.total_dn, 8);
  for (int k = 0; k < branches; ++k) {
    VELMORA_FPHALF half;
    half.dot.push_back(saddle);
    long next = velmora_fpcube_step(cube, saddle, dn_code[k]);
    while (true) {
      const VELMORA_FPCODE& code = cube->dot[next];
      if (code.type != FP_NOR && code.type != FP_MIN && code.type != FP_SAD &&
          code.type != FP_PAT && code.total_dn != 1 && !velmora_fpcode_is_pass(code)) {
        long y[3];
        velmora_fpcube_unflatten(y, cube, next);
        std::fprintf(stderr, "Error: wrong dot type %d at (%4ld, %4ld, %4ld).\n", code.type, y[0],
                     y[1], y[2]);
        VELMORA_FPDOT dot;
        velmora_fpdot_read(&dot, cube, y);
        velmora_fpdot_print(&dot);
        return nullptr;
      }
      half.dot.push_back(next);
      if (code.type == FP_MIN || velmora_fpcode_is_pass(code)) break;
      if (static_cast<long>(half.dot.size()) > kMaxPathPoints) {
        std::fprintf(stderr, "Error: failed to descend to the local minimum within %ld steps.\n",
                     static_cast<long>(half.dot.size()));
        return nullptr;
      }
      next = velmora_fpcube_step(cube, next, code.dn);
    }
    half.total = static_cast<long>(half.dot.size());
    half.barrier = cube->en[half.dot.front()] - cube->en[half.dot.back()];
    list->half.push_back(std::move(half));
  }
  list->total = static_cast<long>(list->half.size());
  return list;
}

int velmora_fphalf_list_merge(VELMORA_FPHALF_LIST* destination,
                              std::unique_ptr<VELMORA_FPHALF_LIST> source) {
  if (!destination || !source || source->half.empty()) {
    std::fprintf(stderr, "Error: VELMORA_FPHALF_LIST has not been initialized properly.\n");
    return 1;
  }
  try {
    for (VELMORA_FPHALF& h : source->half) destination->half.push_back(std::move(h));
  } catch (const std::exception&) {
    std::fprintf(stderr, "Error: unable to reallocate VELMORA_FPHALF_LIST.\n");
    return 1;
  }
  destination->total = static_cast<long>(destination->half.size());
  return 0;
}

std::unique_ptr<VELMORA_FPHALF_LIST> velmora_fphalf_list_new_from_fpcube(
    const VELMORA_FPCUBE* cube) {
  if (!cube || cube->dot.empty()) {
    std::fprintf(stderr, "Error: VELMORA_FPCUBE has not been properly initialized.\n");
    return nullptr;
  }
  VELMORA_PROGRESS progress;
  std::unique_ptr<VELMORA_FPHALF_LIST> list = velmora_fphalf_list_new_empty();
  if (!list) return nullptr;
  const long total = static_cast<long>(cube->dot.size());
  for (long p = 0; p < total; ++p) {
    if (!velmora_fpcode_is_pass(cube->dot[p])) continue;
    long x_i[3];
    velmora_fpcube_unflatten(x_i, cube, p);
    std::unique_ptr<VELMORA_FPHALF_LIST> one = velmora_fphalf_list_new(cube, x_i);
    if (!one) {
      std::fprintf(stderr, "Error: velmora_fphalf_list_new() returns NULL.\n");
      return nullptr;
    }
    if (velmora_fphalf_list_merge(list.get(), std::move(one)) != 0) {
      std::fprintf(stderr, "Error: velmora_fphalf_list_merge() returns non-zero.\n");
      return nullptr;
    }
  }
  std::printf("Message: VELMORA_FPCUBE successfully generated containing %ld paths.\n",
              list->total);
  progress.report("half paths of the flow-path map traced");
  return list;
}

int velmora_fphalf_list_filter(VELMORA_FPHALF_LIST* list, double barrier_max) {
  if (!list || list->half.empty()) {
    std::fprintf(stderr, "Error: VELMORA_FPHALF_LIST has not been properly initialized.\n");
    return 1;
  }
  if (barrier_max < 0.0) return 0;
  std::vector<VELMORA_FPHALF> kept;
  for (VELMORA_FPHALF& h : list->half)
    if (!(h.barrier > barrier_max)) kept.push_back(std::move(h));
  list->half.swap(kept);
  list->total = static_cast<long>(list->half.size());
  std::printf("Message: totally %ld paths with barrier lower than %f.\n", list->total,
              barrier_max);
  return 0;
}

void velmora_fphalf_list_label_path(VELMORA_FPCUBE* cube, const VELMORA_FPHALF_LIST* list) {
  if (!cube || !list) return;
  for (const VELMORA_FPHALF& h : list->half)
    for (long p : h.dot) {
      std::uint8_t& type = cube->dot[p].type;
      if (type == FP_UND || type == FP_NOR) type = FP_PAT;
    }
}

void velmora_fpcube_clear_type(VELMORA_FPCUBE* cube) {
  if (!cube) return;
  for (VELMORA_FPCODE& code : cube->dot) code.type = FP_UND;
}

std::unique_ptr<VELMORA_CELL> velmora_fpcube_export_to_cell(const VELMORA_FPCUBE* cube) {
  if (!cube || cube->dot.empty()) {
    std::fprintf(stderr, "Error: VELMORA_FPCUBE has not been initialized properly.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_new(0);
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_cell_new() returns NULL.\n");
    return nullptr;
  }
  velmora_matrix33_double_copy(cell->a, cube->a);
  const long total = static_cast<long>(cube->dot.size());
  for (long p = 0; p < total; ++p) {
    const VELMORA_FPCODE& code = cube->dot[p];
    const char* name;
    const char* type;
    if (code.type == FP_SAD) {
      name = code.total_dn == 2 ? "SAD1" : code.total_dn == 3 ? "SAD2" : "SAD3";
      type = code.total_dn == 2 ? "Na" : code.total_dn == 3 ? "K" : "Cs";
    } else if (code.type == FP_PAT) {
      name = "PAT";
      type = "H";
    } else if (code.type == FP_MIN) {
      name = "MIN";
      type = "Li";
    } else {
      continue;
    }
    VELMORA_ATOM atom;
    std::snprintf(atom.name, sizeof atom.name, "%s", name);
    std::snprintf(atom.type, sizeof atom.type, "%s", type);
    atom.os = 1;
    atom.occ = 1.0;
    velmora_fpcube_position(atom.x, cube, p);
    cell->atom.push_back(atom);
  }
  cell->total = static_cast<long>(cell->atom.size());
  velmora_cell_update_fractional(cell.get());
  return cell;
}

int velmora_fpcube_export_cif_to_file(const VELMORA_CUBE* cube, double barrier_max,
                                      const char* name) {
  if (!cube || cube->en.empty()) {
    std::fprintf(stderr, "Error: VELMORA_CUBE has not been properly initialized.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_FPCUBE> map = velmora_fpcube_new_from_cube(cube);
  if (!map) {
    std::fprintf(stderr, "Error: velmora_fpcube_new_from_cube() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_FPHALF_LIST> list = velmora_fphalf_list_new_from_fpcube(map.get());
  if (!list) {
    std::fprintf(stderr, "Error: velmora_fphalf_list_new_from_fpcube() returns NULL.\n");
    return 1;
  }
  if (barrier_max > 0.0 && velmora_fphalf_list_filter(list.get(), barrier_max) != 0) {
    std::fprintf(stderr, "Error: velmora_fphalf_list_filter() returns non-zero.\n");
    return 1;
  }
  velmora_fphalf_list_label_path(map.get(), list.get());
  std::unique_ptr<VELMORA_CELL> cell = velmora_fpcube_export_to_cell(map.get());
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_fpcube_export_to_cell() returns NULL.\n");
    return 1;
  }
  if (velmora_topology_write_cif(name, cell.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_cmd_opt_do_fp_map(VELMORA_CMD_OPT* opt) {
  double barrier_max = -0.1;
  if (!velmora_cmd_arg_real(opt, 3, "barrier_max", -HUGE_VAL, VELMORA_CMD_MAX_ENERGY, barrier_max))
    return VELMORA_EXIT_FAILURE;
  const bool periodic = velmora_cmd_read_flag(opt, 4);
  std::string name;
  const bool named = opt->argc > 5 ? velmora_topology_output_name(name, opt->argv[5], "", 1023)
                                   : velmora_topology_output_name(name, opt->argv[2], ".fp.cif",
                                                                  1017);
  if (!named) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CUBE> cube;
  if (velmora_cube_import_from_file(cube, nullptr, opt->argv[2], periodic,
                                    opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_import_from_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (velmora_fpcube_export_cif_to_file(cube.get(), barrier_max, name.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_fpcube_export_cif_to_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

// Path library and grid paths of ostrel.  The library holds one hop per
// symmetry-distinct saddle (the two nearest minima reached by a greedy
// downhill grid walk, and from the saddle without rising above it by more
// than kT), every copy of it in the periodic cell, and drops redundant
// types; grid paths are chains of adjacent grid points walked downhill from
// both ends.  Network analysis and reaction pathways: OSTREL-network.cpp.
#include "OSTREL-path.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "OSTREL-cif.h"
#include "OSTREL-path-points.h"

using namespace ostrel_paths;

namespace {

// Boltzmann constant times 300 K, in eV.
const double kT_room = 8.617333e-5 * 300.0;


// Wrapped grid point -> first minimum (or saddle) recorded on it.
struct PointIndex {
  std::unordered_map<long long, int> minima, saddles;
  PointIndex(const OSTREL_cube* cube) {
    minima.reserve((size_t)cube->total_minima * 2 + 1);
    saddles.reserve((size_t)cube->total_saddle * 2 + 1);
    for (int q = 0; q < cube->total_minima; q++)
      minima.emplace(grid_key(cube, cube->minima[q].x, cube->minima[q].y, cube->minima[q].z), q);
    for (int q = 0; q < cube->total_saddle; q++)
      saddles.emplace(grid_key(cube, cube->saddle[q].x, cube->saddle[q].y, cube->saddle[q].z), q);
  }
  int minimum_at(const OSTREL_cube* cube, OSTREL_cubeloc p) const {
    auto it = minima.find(grid_key(cube, p.x, p.y, p.z));
    return it == minima.end() ? -1 : it->second;
  }
  int saddle_at(const OSTREL_cube* cube, OSTREL_cubeloc p) const {
    auto it = saddles.find(grid_key(cube, p.x, p.y, p.z));
    return it == saddles.end() ? -1 : it->second;
  }
};

void set_grid_path_points(OSTREL_grid_path* p, const std::vector<OSTREL_cubeloc>& pts) {
  p->length = (int)pts.size();
  p->grid.resize(pts.size());
  for (size_t q = 0; q < pts.size(); q++)
    p->grid[q] = OSTREL_path_triple_index{pts[q].x, pts[q].y, pts[q].z};
  p->color.assign(pts.size(), -1);
  p->style.assign(pts.size(), -1);
  p->marker.assign(pts.size(), -1);
}

}  // namespace

// ===========================================================================
// Library records
// ===========================================================================

void OSTREL_init_pathlib(OSTREL_pathlib* lib) { *lib = OSTREL_pathlib(); }

void OSTREL_free_pathlib(OSTREL_pathlib* lib) { *lib = OSTREL_pathlib(); }

int OSTREL_copy_pathlib(const OSTREL_pathlib* src, OSTREL_pathlib* dst) {
  return OSTREL_catch_memory("OSTREL_copy_pathlib", [&] {
    *dst = *src;
    return 0;
  });
}

void OSTREL_free_grid_path(OSTREL_grid_path* path) { *path = OSTREL_grid_path(); }

// ===========================================================================
// Geometry of grid points
// ===========================================================================

double OSTREL_find_loc_distance(const OSTREL_cube* cube, OSTREL_cubeloc a, OSTREL_cubeloc b) {
  return OSTREL_distance_grid(cube, a.x, a.y, a.z, b.x, b.y, b.z);
}

int OSTREL_is_loc_equal(OSTREL_cubeloc a, OSTREL_cubeloc b) {
  return a.x == b.x && a.y == b.y && a.z == b.z;
}

double OSTREL_allpath_angle(const OSTREL_cube* cube, const OSTREL_cellcross_list* start_list,
                            int start_index, const OSTREL_cellcross_list* end_list, int end_index,
                            int saddle) {
  const OSTREL_cellcross& a = start_list->list[start_index];
  const OSTREL_cellcross& b = end_list->list[end_index];
  OSTREL_cubeloc m1 = minimum_image(cube, start_list->points[start_index], a.x, a.y, a.z);
  OSTREL_cubeloc m2 = minimum_image(cube, end_list->points[end_index], b.x, b.y, b.z);
  OSTREL_cubeloc s = saddle_point(cube, saddle);
  return OSTREL_angle(cube, m1.x, m1.y, m1.z, s.x, s.y, s.z, m2.x, m2.y, m2.z);
}

// ===========================================================================
// Grid paths
// ===========================================================================

void OSTREL_refresh_path_saddle(const OSTREL_cube* cube, OSTREL_grid_path* path) {
  path->saddle = -1;
  double best = 0;
  for (int q = 0; q < path->length; q++) {
    double e = loc_energy(cube, point_of(path, q));
    if (path->saddle < 0 || e > best) {
      best = e;
      path->saddle = q;
    }
  }
}

int OSTREL_halfpath_is_irreducible(const OSTREL_cube* cube, const OSTREL_grid_path* path) {
  const int n = path->length;
  if (n <= 5)
    return 1;
  const double first = loc_energy(cube, point_of(path, 0));
  const double last = loc_energy(cube, point_of(path, n - 1));
  // Walk from the higher end towards the other and count the steps that go
  // strictly down.
  int descending = 0;
  if (first > last) {
    for (int q = 0; q + 1 < n; q++)
      if (loc_energy(cube, point_of(path, q + 1)) < loc_energy(cube, point_of(path, q)))
        descending++;
  } else {
    for (int q = n - 1; q > 0; q--)
      if (loc_energy(cube, point_of(path, q - 1)) < loc_energy(cube, point_of(path, q)))
        descending++;
  }
  return (double)descending / (n - 1) >= 0.75 ? 1 : 0;
}

double OSTREL_path_length_in_Angstrom(const OSTREL_cube* cube, const OSTREL_grid_path* path) {
  double d = 0;
  for (int q = 0; q + 1 < path->length; q++)
    d += OSTREL_find_loc_distance(cube, point_of(path, q), point_of(path, q + 1));
  return d;
}

// The walk of OSTREL_build_half_grid_path without its final test: 0 built,
// -1 when no step brings the ends closer, 1 on error.
static int walk_half_grid_path(const OSTREL_cube* cube, OSTREL_grid_path* out,
                               OSTREL_cubeloc from, OSTREL_cubeloc to) {
  OSTREL_free_grid_path(out);
  // The path grows from both ends: `left` from F onwards, `right` from T
  // backwards; the higher of the two inner ends steps to its lowest
  // neighbour that is strictly closer to the other end.
  std::vector<OSTREL_cubeloc> left{from}, right{to};
  while (!adjacent(left.back(), right.back())) {
    if (left.size() + right.size() + 1 > (size_t)OSTREL_MAX_PATH_LENGTH) {
      fprintf(stderr, "Error: OSTREL_MAX_PATH_LENGTH exceeded\n");
      return 1;
    }
    const OSTREL_cubeloc l = left.back(), r = right.back();
    const bool move_left = !(loc_energy(cube, r) > loc_energy(cube, l));
    const OSTREL_cubeloc mover = move_left ? l : r, target = move_left ? r : l;
    const double d0 = OSTREL_find_loc_distance(cube, mover, target);
    double best = 9999;
    bool found = false;
    OSTREL_cubeloc pick = mover;
    for (int a = -1; a <= 1; a++)
      for (int b = -1; b <= 1; b++)
        for (int c = -1; c <= 1; c++) {
          if (!a && !b && !c)
            continue;
          OSTREL_cubeloc n{mover.x + a, mover.y + b, mover.z + c};
          if (!(OSTREL_find_loc_distance(cube, n, target) < d0))
            continue;
          double e = loc_energy(cube, n);
          if (e < best) {
            best = e;
            pick = n;
            found = true;
          }
        }
    if (!found)
      return -1;  // no step brings the ends closer (degenerate cell metric)
    (move_left ? left : right).push_back(pick);
  }
  std::vector<OSTREL_cubeloc> pts(left);
  pts.insert(pts.end(), right.rbegin(), right.rend());

  // Shortcuts: a point adjacent to a later one skips the points between.
  for (size_t i = 0; i < pts.size(); i++)
    for (size_t j = pts.size() - 1; j >= i + 2 && j < pts.size(); j--)
      if (adjacent(pts[i], pts[j])) {
        pts.erase(pts.begin() + i + 1, pts.begin() + j);
        break;
      }
  // A flat start adds nothing; the far end is always kept.
  while (pts.size() > 2 &&
         OSTREL_cube_equal_dbl(loc_energy(cube, pts[0]), loc_energy(cube, pts[1])))
    pts.erase(pts.begin() + 1);

  set_grid_path_points(out, pts);
  OSTREL_refresh_path_saddle(cube, out);
  return 0;
}

int OSTREL_build_half_grid_path(const OSTREL_cube* cube, OSTREL_grid_path* out,
                                OSTREL_cubeloc from, OSTREL_cubeloc to) {
  const int r = walk_half_grid_path(cube, out, from, to);
  if (r != 0)
    return r;
  if (!OSTREL_halfpath_is_irreducible(cube, out)) {
    OSTREL_free_grid_path(out);
    return -1;
  }
  return 0;
}

int ostrel_paths::join_grid_paths(const OSTREL_cube* cube, OSTREL_grid_path* first,
                    const OSTREL_grid_path* second, int limit) {
  if (first->length < 1 || second->length < 1) {
    fprintf(stderr, "Error: Invalid input to OSTREL_concatenate_grid_path\n");
    return 1;
  }
  const bool joined =
      OSTREL_is_loc_equal(point_of(first, first->length - 1), point_of(second, 0));
  const int keep = joined ? first->length - 1 : first->length;
  if (limit > 0 && keep + second->length > limit) {
    fprintf(stderr, "Error: OSTREL_MAX_PATH_LENGTH exceeed\n");
    return 1;
  }
  try {
    auto append = [&](auto& a, const auto& b) {
      a.resize(keep);
      a.insert(a.end(), b.begin(), b.begin() + second->length);
    };
    append(first->grid, second->grid);
    append(first->color, second->color);
    append(first->style, second->style);
    append(first->marker, second->marker);
  } catch (const std::exception&) {
    fprintf(stderr, "Error: Memory allocation problem in OSTREL_concatenate_grid_path()\n");
    return 1;
  }
  first->length = keep + second->length;
  OSTREL_refresh_path_saddle(cube, first);
  return 0;
}

int OSTREL_concatenate_grid_path(const OSTREL_cube* cube, OSTREL_grid_path* first,
                                 const OSTREL_grid_path* second) {
  return join_grid_paths(cube, first, second, OSTREL_MAX_PATH_LENGTH);
}

int OSTREL_build_grid_path(const OSTREL_cube* cube, OSTREL_grid_path* out, OSTREL_cubeloc start,
                           OSTREL_cubeloc saddle, OSTREL_cubeloc end) {
  OSTREL_grid_path second;
  int r = OSTREL_build_half_grid_path(cube, out, start, saddle);
  if (r != 0)
    return r;
  r = OSTREL_build_half_grid_path(cube, &second, saddle, end);
  if (r != 0) {
    OSTREL_free_grid_path(out);
    return r;
  }
  if (OSTREL_concatenate_grid_path(cube, out, &second)) {
    OSTREL_free_grid_path(out);
    return 1;
  }
  OSTREL_refresh_path_saddle(cube, out);
  return 0;
}

// ===========================================================================
// Path types
// ===========================================================================

void OSTREL_bubblesort_pathlib(OSTREL_pathlib* lib) {
  // Stable: equal saddle energies keep their order.
  std::stable_sort(lib->path.begin(), lib->path.begin() + lib->total_path,
                   [](const OSTREL_path& a, const OSTREL_path& b) {
                     return a.saddle_energy < b.saddle_energy;
                   });
}

int OSTREL_isin_pathlib(const OSTREL_pathlib* lib, int start_type, int end_type,
                        int saddle_type) {
  for (int p = 0; p < lib->total_path; p++) {
    const OSTREL_path& q = lib->path[p];
    if (q.saddle_type == saddle_type &&
        ((q.start_type == start_type && q.end_type == end_type) ||
         (q.start_type == end_type && q.end_type == start_type)))
      return p;
  }
  return -1;
}

namespace {

// Energy of the highest point of a grid path.
double highest_energy(const OSTREL_cube* cube, const OSTREL_grid_path* path) {
  double top = -1e300;
  for (int q = 0; q < path->length; q++) top = std::max(top, loc_energy(cube, point_of(path, q)));
  return top;
}

// Grid offsets from a saddle S within a sphere of `radius` Å, indexed in a
// dense box, so that each periodic image of a minimum is a point of its own.
struct BoxAroundSaddle {
  OSTREL_cubeloc S{};
  int half[3] = {0, 0, 0};
  double m[3][3] = {};  // squared length of a grid offset: the cell metric per step
  double r2 = 0;

  bool inside(int a, int b, int c) const {
    return abs(a) <= half[0] && abs(b) <= half[1] && abs(c) <= half[2] && dist2(a, b, c) <= r2;
  }
  double dist2(int a, int b, int c) const {
    return a * a * m[0][0] + b * b * m[1][1] + c * c * m[2][2] +
           2 * (a * b * m[0][1] + b * c * m[1][2] + a * c * m[0][2]);
  }
  size_t size() const {
    return (size_t)(2 * half[0] + 1) * (2 * half[1] + 1) * (2 * half[2] + 1);
  }
  size_t index(int a, int b, int c) const {
    return ((size_t)(a + half[0]) * (2 * half[1] + 1) + (size_t)(b + half[1])) *
               (2 * half[2] + 1) +
           (size_t)(c + half[2]);
  }
};

BoxAroundSaddle box_around(const OSTREL_cube* cube, OSTREL_cubeloc S, double radius) {
  BoxAroundSaddle box;
  box.S = S;
  box.r2 = radius * radius;
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  const double g[3][3] = {{cube->d1, cube->d4 / 2, cube->d6 / 2},
                          {cube->d4 / 2, cube->d2, cube->d5 / 2},
                          {cube->d6 / 2, cube->d5 / 2, cube->d3}};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) box.m[i][j] = g[i][j] / ((double)n[i] * n[j]);
  // The box reaches as far along each axis as the sphere does: the largest
  // offset along axis i within distance R is R·sqrt((M^-1)_ii).
  const double(&m)[3][3] = box.m;
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  const double cof[3] = {m[1][1] * m[2][2] - m[1][2] * m[2][1],
                         m[0][0] * m[2][2] - m[0][2] * m[2][0],
                         m[0][0] * m[1][1] - m[0][1] * m[1][0]};
  for (int ax = 0; ax < 3; ax++)
    box.half[ax] = det > 0 ? (int)std::ceil(radius * std::sqrt(cof[ax] / det)) + 1 : 0;
  return box;
}

// The grid points reachable from the saddle S over 26-neighbour steps without
// rising above `ceiling`, within `radius` Å of S.  A minimum outside this
// region lies behind a ridge above the ceiling: a greedy walk can still
// reach it, but a hop to it over S would understate its barrier.
struct RegionBelowSaddle {
  BoxAroundSaddle box;
  std::vector<char> seen;

  bool contains(OSTREL_cubeloc p) const {
    const int d[3] = {p.x - box.S.x, p.y - box.S.y, p.z - box.S.z};
    for (int ax = 0; ax < 3; ax++)
      if (abs(d[ax]) > box.half[ax]) return false;
    return seen[box.index(d[0], d[1], d[2])] != 0;
  }
};

// Floods the box over 26-neighbour steps from offset `start` (already
// entered): `enter(a, b, c)` marks a point and says whether the flood goes
// on through it, false for a point already marked or out of bounds.
template <class Enter>
void flood_box(const BoxAroundSaddle& box, const std::array<int, 3>& start, Enter enter) {
  std::vector<std::array<int, 3>> todo{start};
  while (!todo.empty()) {
    const std::array<int, 3> p = todo.back();
    todo.pop_back();
    for (int a = p[0] - 1; a <= p[0] + 1; a++)
      for (int b = p[1] - 1; b <= p[1] + 1; b++)
        for (int c = p[2] - 1; c <= p[2] + 1; c++)
          if (box.inside(a, b, c) && enter(a, b, c))
            todo.push_back({a, b, c});
  }
}

RegionBelowSaddle region_below_saddle(const OSTREL_cube* cube, OSTREL_cubeloc S,
                                      double ceiling, double radius) {
  RegionBelowSaddle r;
  r.box = box_around(cube, S, radius);
  r.seen.assign(r.box.size(), 0);
  r.seen[r.box.index(0, 0, 0)] = 1;
  flood_box(r.box, {0, 0, 0}, [&](int a, int b, int c) {
    char& mark = r.seen[r.box.index(a, b, c)];
    if (mark || OSTREL_cube_energy(cube, S.x + a, S.y + b, S.z + c) > ceiling)
      return false;
    mark = 1;
    return true;
  });
  return r;
}

// The strictly lower neighbours of S in groups of mutually adjacent points:
// the sides of the saddle, each the way down into one basin.  `side` gives
// the group of each of the 27 offsets from S (-1: none).
struct LowerSides {
  std::array<int, 27> side;
  int of(int a, int b, int c) const {
    if (abs(a) > 1 || abs(b) > 1 || abs(c) > 1) return -1;
    return side[(a + 1) * 9 + (b + 1) * 3 + (c + 1)];
  }
};

LowerSides lower_sides(const OSTREL_cube* cube, OSTREL_cubeloc S, double es) {
  LowerSides r;
  r.side.fill(-1);
  auto slot = [](const std::array<int, 3>& p) {
    return (p[0] + 1) * 9 + (p[1] + 1) * 3 + (p[2] + 1);
  };
  std::vector<std::array<int, 3>> lower;
  for (int a = -1; a <= 1; a++)
    for (int b = -1; b <= 1; b++)
      for (int c = -1; c <= 1; c++)
        if ((a || b || c) && OSTREL_cube_energy(cube, S.x + a, S.y + b, S.z + c) < es - 1e-7)
          lower.push_back({a, b, c});
  int groups = 0;
  for (const std::array<int, 3>& start : lower) {
    if (r.side[slot(start)] >= 0) continue;
    const int g = groups++;
    std::vector<std::array<int, 3>> members{start};
    r.side[slot(start)] = g;
    for (size_t k = 0; k < members.size(); k++)
      for (const std::array<int, 3>& q : lower) {
        const std::array<int, 3> p = members[k];
        if (r.side[slot(q)] < 0 && abs(q[0] - p[0]) <= 1 && abs(q[1] - p[1]) <= 1 &&
            abs(q[2] - p[2]) <= 1) {
          r.side[slot(q)] = g;
          members.push_back(q);
        }
      }
  }
  return r;
}

// Number of sides of saddle L: the basins that meet at it.
int lower_side_count(const OSTREL_cube* cube, int L) {
  const LowerSides r = lower_sides(cube, saddle_point(cube, L), cube->saddle[L].e);
  return 1 + *std::max_element(r.side.begin(), r.side.end());
}

// The regions of a saddle's box below the saddle (26-connected, strictly
// below its energy) met by searches so far, each with the sides of the
// saddle it holds (bit g: a lower neighbour of side g).  A region is
// explored whole once, when a search in it first runs long, and then
// answers every later search that starts in it.
struct RegionsBelow {
  std::vector<int> region;      // by box index: 0 unexplored, else region number
  std::vector<unsigned> sides;  // by region number - 1
};

// Explores the region of box offset p (below the saddle) and returns its
// sides.
unsigned explore_region(const OSTREL_cube* cube, const BoxAroundSaddle& box, double es,
                        const LowerSides& sides, const std::array<int, 3>& p,
                        RegionsBelow* map) {
  if (map->region.empty())
    map->region.assign(box.size(), 0);
  int& own = map->region[box.index(p[0], p[1], p[2])];
  if (own)
    return map->sides[own - 1];
  map->sides.push_back(0);
  const int id = (int)map->sides.size();
  unsigned found = 0;
  auto side_bit = [&](int a, int b, int c) {
    const int side = sides.of(a, b, c);
    if (side >= 0)
      found |= 1u << side;
  };
  own = id;
  side_bit(p[0], p[1], p[2]);
  flood_box(box, p, [&](int a, int b, int c) {
    int& mark = map->region[box.index(a, b, c)];
    if (mark || OSTREL_cube_energy(cube, box.S.x + a, box.S.y + b, box.S.z + c) >= es - 1e-7)
      return false;
    mark = id;
    side_bit(a, b, c);
    return true;
  });
  map->sides[id - 1] = found;
  return found;
}

// The best-first search of side_reached_below from the box offset `start`;
// gives up (returning -1 with *stopped set) after `budget` steps.
int best_first_side(const OSTREL_cube* cube, const BoxAroundSaddle& box, double es,
                    const LowerSides& sides, const std::array<int, 3>& start, size_t budget,
                    bool* stopped) {
  // The points met, by box index: a hash set, for the search mostly ends
  // within a few steps of m while the box of a 10 Å reach holds millions
  // of points (a dense mark per point made every candidate end cost that
  // much).
  std::unordered_set<size_t> seen;
  using Item = std::pair<double, std::array<int, 3>>;
  auto farther = [](const Item& u, const Item& v) { return u.first > v.first; };
  std::priority_queue<Item, std::vector<Item>, decltype(farther)> todo(farther);
  seen.insert(box.index(start[0], start[1], start[2]));
  todo.push({box.dist2(start[0], start[1], start[2]), start});
  *stopped = false;
  for (size_t steps = 0; !todo.empty(); steps++) {
    if (steps == budget) {
      *stopped = true;
      return -1;
    }
    const std::array<int, 3> p = todo.top().second;
    todo.pop();
    const int side = sides.of(p[0], p[1], p[2]);
    if (side >= 0)
      return side;
    for (int a = p[0] - 1; a <= p[0] + 1; a++)
      for (int b = p[1] - 1; b <= p[1] + 1; b++)
        for (int c = p[2] - 1; c <= p[2] + 1; c++) {
          if ((!a && !b && !c) || !box.inside(a, b, c)) continue;
          const size_t at = box.index(a, b, c);
          if (seen.count(at) ||
              OSTREL_cube_energy(cube, box.S.x + a, box.S.y + b, box.S.z + c) >= es - 1e-7)
            continue;
          seen.insert(at);
          todo.push({box.dist2(a, b, c), {a, b, c}});
        }
  }
  return -1;
}

// The side of S from which the grid point m is reached without rising to
// the saddle, within the box: a best-first search from m over points
// strictly below S, always stepping on from the point nearest to S, ends at
// the first lower neighbour of S it meets.  -1 when none is reached.
//
// A search from a point that reaches no side explores all of its region
// below the saddle, millions of points on a fine grid, and it ran for every
// candidate end (7 minutes on a 0.1 Å landscape).  With `map`, a search
// that runs long explores its region whole instead and keeps the sides the
// region holds: none or one decide at once, for this and every later search
// that starts in the region, and only a region holding two sides (sides
// joined below the saddle, round a bump) needs the whole search, whose
// order of steps picks the side.  The answer is the same.
int side_reached_below(const OSTREL_cube* cube, const BoxAroundSaddle& box, double es,
                       const LowerSides& sides, OSTREL_cubeloc m, RegionsBelow* map = nullptr) {
  const std::array<int, 3> start{m.x - box.S.x, m.y - box.S.y, m.z - box.S.z};
  if (!box.inside(start[0], start[1], start[2]))
    return -1;
  if (sides.of(start[0], start[1], start[2]) >= 0)
    return sides.of(start[0], start[1], start[2]);
  // Steps after which a search turns to the regions.
  constexpr size_t kShortSearch = 20000;
  auto explored = [&](int a, int b, int c) {
    return !map->region.empty() && map->region[box.index(a, b, c)] != 0;
  };
  bool stopped = false;
  if (!map || !explored(start[0], start[1], start[2])) {
    const int side = best_first_side(cube, box, es, sides, start,
                                     map ? kShortSearch : SIZE_MAX, &stopped);
    if (!stopped)
      return side;
  }
  // The start's neighbours below the saddle (the start with them when it is
  // below too): the regions its search enters.
  unsigned found = 0;
  for (int a = start[0] - 1; a <= start[0] + 1; a++)
    for (int b = start[1] - 1; b <= start[1] + 1; b++)
      for (int c = start[2] - 1; c <= start[2] + 1; c++)
        if (box.inside(a, b, c) &&
            OSTREL_cube_energy(cube, box.S.x + a, box.S.y + b, box.S.z + c) < es - 1e-7)
          found |= explore_region(cube, box, es, sides, {a, b, c}, map);
  if (found == 0)
    return -1;
  if ((found & (found - 1)) == 0)
    return __builtin_ctz(found);
  return best_first_side(cube, box, es, sides, start, SIZE_MAX, &stopped);
}

// The search for the two ends of the hop over the representative saddle S
// of one type.  The ends are sought first on two different sides of the
// saddle: each reached from its own group of lower neighbours of S without
// rising to the saddle, i.e. in the two basins S separates.  A walk that
// stays below the saddle all the way shows its side by the neighbour it
// enters S through; for a walk that climbs, a search from the end finds its
// side.  Only when no such pair is found is kT at room temperature allowed
// above the saddle, for a greedy walk or the region flooded from S: a ridge
// that much higher does not hold an ion back, and on a rough landscape a hop
// would otherwise be lost to a bump of a few meV between grid points.  The
// allowance comes second because a saddle within kT above this one can lead
// to a nearer minimum on the first end's own side (the hop would then cross
// the saddle and come back).  The searches look within 1 Å beyond the reach
// of a hop: the way down may bend outside it.
struct SaddleEnds {
  // Å: farthest minimum a saddle is joined to.  Hops of mobile ions are
  // mostly shorter than 3.5 Å, and the search starts there; a saddle whose
  // basins have no minimum within that reach (one site in a large cell, a
  // long channel) is searched again with a longer reach (see
  // OSTREL_build_path), for a basin has a minimum somewhere.
  const double max_hop;
  const OSTREL_cube* cube;
  OSTREL_cubeloc S;
  // A minimum above the saddle cannot be reached downhill from it (and the
  // copies of such a hop would all be refused), so it never qualifies.
  double es;
  double ceiling;
  LowerSides sides;
  BoxAroundSaddle box;
  mutable RegionsBelow regions_below;  // regions met by the side searches of this box
  RegionBelowSaddle below, at_saddle;
  bool below_flooded = false, at_saddle_flooded = false;
  bool strict = true;
  // The 10 and the 40 nearest minimum images of S (shared by the searches
  // of one saddle at every reach), those in use, and the walk of the last
  // candidate.
  OSTREL_nearest_neighbour* nearest;
  OSTREL_nearest_neighbour near;
  OSTREL_grid_path half;
  // The ends found: entries of `near` (-1 none), images, sides, walk lengths.
  int first = -1, second = -1;
  OSTREL_cubeloc m1{}, m2{};
  int side1 = -1, side2 = -1;
  double l1 = 0, l2 = 0;

  SaddleEnds(const OSTREL_cube* c, int saddle_index, double reach,
             OSTREL_nearest_neighbour* shared)
      : max_hop(reach),
        cube(c),
        S(saddle_point(c, saddle_index)),
        es(c->saddle[saddle_index].e),
        ceiling(es + kT_room + 1e-7),
        sides(lower_sides(c, S, es)),
        box(box_around(c, S, max_hop + 1.0)),
        nearest(shared) {}

  // Side of end m with walk h, or -1 when m lies on none.
  int side_of(const OSTREL_grid_path& h, OSTREL_cubeloc m) const {
    bool descends = h.length >= 2;
    for (int q = 0; descends && q + 1 < h.length; q++)
      descends = loc_energy(cube, point_of(&h, q)) < es - 1e-7;
    if (descends) {
      const OSTREL_cubeloc n = point_of(&h, h.length - 2);
      const int side = sides.of(n.x - S.x, n.y - S.y, n.z - S.z);
      if (side >= 0)
        return side;
    }
    return side_reached_below(cube, box, es, sides, m, &regions_below);
  }

  bool stays_below(const OSTREL_grid_path& h, OSTREL_cubeloc m) {
    if (highest_energy(cube, &h) <= ceiling)
      return true;
    return below_contains(m);
  }

  // Is m in the region flooded from S without rising above S?
  bool at_saddle_contains(OSTREL_cubeloc m) {
    if (!at_saddle_flooded) {
      at_saddle = region_below_saddle(cube, S, es + 1e-7, max_hop + 1.0);
      at_saddle_flooded = true;
    }
    return at_saddle.contains(m);
  }

  // Is m in the region flooded from S up to the ceiling?
  bool below_contains(OSTREL_cubeloc m) {
    if (!below_flooded) {
      below = region_below_saddle(cube, S, ceiling, max_hop + 1.0);
      below_flooded = true;
    }
    return below.contains(m);
  }

  bool within_reach(int q) const { return near.index[q] >= 0 && near.distance[q] <= max_hop; }

  // Entry q of the list as one end of the hop: 0 when it qualifies (its
  // image, side and walk length returned), -1 when not, 1 on error.  An end
  // reached from another side of the saddle than the first end lies in the
  // other basin, whatever the angle the two make at the saddle: where the
  // channel bends at the saddle (two wells 0.47 Å from it, 85 degrees apart,
  // in a Cu landscape) an angle rule would drop the lowest hop.  Only the
  // second pass, which has no sides to go by, asks for at least 90 degrees
  // between the two ends.
  int try_end(int q, const OSTREL_cubeloc* other, int other_side, OSTREL_cubeloc* m, int* side,
              double* len) {
    if (cube->minima[near.index[q]].e > es)
      return -1;
    *m = minimum_image(cube, near.index[q], near.i[q], near.j[q], near.k[q]);
    if (other && !strict &&
        OSTREL_angle(cube, m->x, m->y, m->z, S.x, S.y, S.z, other->x, other->y, other->z) <
            PI / 2 - 1e-9)
      return -1;
    int r = walk_half_grid_path(cube, &half, *m, S);
    if (r == 1) {
      fprintf(stderr, "Error: OSTREL_build_half_grid_path() returns non-zero.\n");
      return 1;
    }
    if (r != 0)
      return r;
    // A walk on which fewer than 3 in 4 steps descend (one that wanders
    // over a rough floor) is no reason to refuse the end: the flood from
    // the saddle below its energy decides whether the end lies in one of
    // its basins.
    const bool irreducible = OSTREL_halfpath_is_irreducible(cube, &half) != 0;
    if (strict) {
      *side = irreducible ? side_of(half, *m)
                          : side_reached_below(cube, box, es, sides, *m, &regions_below);
      if (*side < 0 || (other && *side == other_side))
        return -1;
    } else if (irreducible ? !stays_below(half, *m) : !at_saddle_contains(*m)) {
      // For a wandering walk the flood decides, but only up to the saddle's
      // own energy: up to kT above it the flood can spill over a
      // neighbouring saddle into a basin this one does not separate.
      return -1;
    }
    *len = OSTREL_path_length_in_Angstrom(cube, &half);
    return 0;
  }

  // The `size` (10 or 40) nearest minimum images of S into `near`, each
  // list queried once per saddle and shared by every reach of the search:
  // the query dominated the time of the search on cells with hundreds of
  // minima, where it ran up to eight times per saddle type.  0, or 1 on
  // error.
  int take_nearest(int size) {
    OSTREL_nearest_neighbour& list = nearest[size > 10 ? 1 : 0];
    if (list.total == 0 && (OSTREL_init_nearest_neighbour(&list, size, 0, S.x, S.y, S.z) ||
                            OSTREL_get_nearest_minima(cube, &list))) {
      fprintf(stderr, "Error: OSTREL_get_nearest_minima() returns non-zero.\n");
      return 1;
    }
    near = list;
    return 0;
  }

  // The nearest qualifying end, then the nearest on the other side.  The
  // ten nearest minimum images are tried first; where minima crowd round
  // the saddle (all ten within reach and no pair found) the search goes on
  // over the next ones within reach.  0 when the search ran (first and
  // second set, -1 when not found), 1 on error.
  int select_ends() {
    for (int size : {10, 40}) {
      if (size > 10 &&
          (near.index[near.total - 1] < 0 || near.distance[near.total - 1] > max_hop))
        break;
      if (take_nearest(size))
        return 1;
      first = second = -1;
      for (int q = 0; q < near.total && first < 0 && within_reach(q); q++) {
        int r = try_end(q, nullptr, -1, &m1, &side1, &l1);
        if (r == 1) return 1;
        if (r == 0) first = q;
      }
      for (int q = first + 1; first >= 0 && q < near.total && second < 0 && within_reach(q);
           q++) {
        int r = try_end(q, &m1, side1, &m2, &side2, &l2);
        if (r == 1) return 1;
        if (r == 0) second = q;
      }
      if (first >= 0 && second >= 0)
        break;
    }
    return 0;
  }

  // Both ends on two sides of the saddle (strict), or within kT above it.
  // 0 when the search ran (found() tells), 1 on error.
  int search(bool on_two_sides) {
    strict = on_two_sides;
    return select_ends() == 1 ? 1 : 0;
  }

  bool found() const { return first >= 0 && second >= 0; }
};

// The path type of saddle type s (representative si) joining the two ends.
OSTREL_path path_type_of(const OSTREL_cube* cube, const SaddleEnds& ends, int s, int si) {
  const OSTREL_nearest_neighbour& near = ends.near;
  const OSTREL_minima& a = cube->minima[near.index[ends.first]];
  const OSTREL_minima& b = cube->minima[near.index[ends.second]];
  OSTREL_path p;
  p.start = near.index[ends.first];
  p.end = near.index[ends.second];
  p.saddle = si;
  p.start_type = a.type;
  p.end_type = b.type;
  p.saddle_type = s;
  p.start_energy = a.e;
  p.end_energy = b.e;
  p.saddle_energy = cube->saddle[si].e;
  p.length = ends.l1 + ends.l2;
  p.straightline_length = OSTREL_find_loc_distance(cube, ends.m1, ends.m2);
  p.tortuosity = p.straightline_length > 0 ? p.length / p.straightline_length : 0;
  p.start_p = near.i[ends.first];
  p.start_q = near.j[ends.first];
  p.start_r = near.k[ends.first];
  p.end_p = near.i[ends.second];
  p.end_q = near.j[ends.second];
  p.end_r = near.k[ends.second];
  return p;
}

// The ends of the hop over saddle point si.  The reach grows until both
// basins' minima are found: 3.5 Å, then 5, 7 and 10 Å (the next site of a
// one-site cell of edge 8 Å lies 8 Å away), but not beyond twice the
// longest cell edge, within which every basin of the cell has an image.
// Ends on two sides of the saddle are sought at every reach before the
// allowance of kT is tried at any: within kT above a high saddle two images
// of one minimum on the same side can lie nearer than the far basin (a Na
// landscape lost its only 3-D saddle to a false hop along b).  0 (the
// search's outcome in *out), or 1 on error.
int search_hop_ends(const OSTREL_cube* cube, int si, std::unique_ptr<SaddleEnds>* out) {
  const double longest = std::max({cube->a, cube->b, cube->c});
  OSTREL_nearest_neighbour nearest[2];
  std::unique_ptr<SaddleEnds>& found = *out;
  for (bool on_two_sides : {true, false}) {
    for (double reach : {3.5, 5.0, 7.0, 10.0}) {
      if (reach > 3.5 && reach > 2 * longest)
        break;
      auto ends = std::make_unique<SaddleEnds>(cube, si, reach, nearest);
      if (ends->search(on_two_sides))
        return 1;
      found = std::move(ends);
      if (found->found())
        return 0;
    }
  }
  return 0;
}

}  // namespace

int OSTREL_build_path(OSTREL_cube* cube, const OSTREL_cif* cif, OSTREL_pathlib* lib) {
  (void)cif;
  lib->path.clear();
  lib->total_path = 0;
  if (cube->total_saddle_type <= 0)
    return 0;
  try {
    for (int s = 1; s <= cube->total_saddle_type; s++) {
      const int si = cube->saddle_type_index[s];
      std::unique_ptr<SaddleEnds> found;
      if (search_hop_ends(cube, si, &found))
        return 1;
      const SaddleEnds& ends = *found;
      if (!ends.found()) {
        fprintf(stderr, "Warning: Cannot connect saddle type %d to any energy minimum site\n", s);
        continue;
      }
      const OSTREL_path p = path_type_of(cube, ends, s, si);
      if (OSTREL_isin_pathlib(lib, p.start_type, p.end_type, s) >= 0)
        continue;
      if (OSTREL_list_append(path_list(lib), p))
        throw std::bad_alloc();
    }
  } catch (const std::exception&) {
    fprintf(stderr, "Error: Memory allocation problem in OSTREL_build_path()\n");
    return 1;
  }
  OSTREL_bubblesort_pathlib(lib);
  return 0;
}

// ===========================================================================
// All copies of the path types
// ===========================================================================

namespace {

// The longest diagonal of one grid cell, Å: two grid points standing for
// symmetry images of one position can each lie up to half of it off.
double voxel_diagonal(const OSTREL_cube* cube) {
  double longest = 0;
  const OSTREL_cubeloc o{0, 0, 0};
  for (int b : {-1, 1})
    for (int c : {-1, 1})
      longest = std::max(longest, OSTREL_find_loc_distance(cube, o, OSTREL_cubeloc{1, b, c}));
  return longest;
}

// Minimum images of one type whose distance to a saddle best matches a
// given length: candidates within 0.001 Å of the best match are kept, and
// by how much the best misses the length is returned.
void match_images(const OSTREL_cube* cube, const std::vector<int>& members, OSTREL_cubeloc L,
                  double length, OSTREL_cellcross_list* out, double* miss) {
  out->len = 0;
  out->points.clear();
  out->list.clear();
  double best = HUGE_VAL;
  for (int m : members)
    for (int a = -1; a <= 1; a++)
      for (int b = -1; b <= 1; b++)
        for (int c = -1; c <= 1; c++) {
          double t = fabs(OSTREL_find_loc_distance(cube, L, minimum_image(cube, m, a, b, c)) -
                          length);
          if (t < best - 0.001) {
            out->points.clear();
            out->list.clear();
          } else if (t > best + 0.001) {
            continue;
          }
          if (t < best)
            best = t;
          out->points.push_back(m);
          out->list.push_back(OSTREL_cellcross{a, b, c});
        }
  *miss = best;
  out->len = (int)out->points.size();
  out->alloc = out->len;
}

// Whether the grid points a and b are reached from two different lower
// sides of saddle L without rising to it, i.e. lie in two basins L parts.
bool ends_on_two_sides(const OSTREL_cube* cube, int L, OSTREL_cubeloc a, OSTREL_cubeloc b) {
  const OSTREL_cubeloc S = saddle_point(cube, L);
  const double es = cube->saddle[L].e;
  const double radius =
      std::max(OSTREL_find_loc_distance(cube, S, a), OSTREL_find_loc_distance(cube, S, b)) + 1.0;
  const LowerSides sides = lower_sides(cube, S, es);
  const BoxAroundSaddle box = box_around(cube, S, radius);
  RegionsBelow map;
  const int side_a = side_reached_below(cube, box, es, sides, a, &map);
  const int side_b = side_reached_below(cube, box, es, sides, b, &map);
  return side_a >= 0 && side_b >= 0 && side_a != side_b;
}

// Whether the hop between minimum images (ms, cs) and (me, ce), in either
// direction, is among the library's hops from index `from` on.
bool hop_listed(const OSTREL_pathlib* lib, int from, int ms, OSTREL_cellcross cs, int me,
                OSTREL_cellcross ce) {
  for (int q = from; q < lib->total_allpath; q++) {
    const OSTREL_allpath& o = lib->allpath[q];
    const OSTREL_cellcross os{o.start_crossx, o.start_crossy, o.start_crossz};
    const OSTREL_cellcross oe{o.end_crossx, o.end_crossy, o.end_crossz};
    if ((o.start == ms && o.end == me && OSTREL_is_cellcross_equal(os, cs) &&
         OSTREL_is_cellcross_equal(oe, ce)) ||
        (o.start == me && o.end == ms && OSTREL_is_cellcross_equal(os, ce) &&
         OSTREL_is_cellcross_equal(oe, cs)))
      return true;
  }
  return false;
}

// Appends the copy of path type P over saddle L between the minimum
// images (ms, cs) and (me, ce).
void append_copy(const OSTREL_path& P, int L, int ms, OSTREL_cellcross cs, int me,
                 OSTREL_cellcross ce, OSTREL_pathlib* lib) {
  OSTREL_allpath a;
  a.start = ms;
  a.end = me;
  a.saddle = L;
  a.start_type = P.start_type;
  a.end_type = P.end_type;
  a.saddle_type = P.saddle_type;
  a.length = P.length;
  a.start_crossx = cs.x;
  a.start_crossy = cs.y;
  a.start_crossz = cs.z;
  a.end_crossx = ce.x;
  a.end_crossy = ce.y;
  a.end_crossz = ce.z;
  a.start_energy = P.start_energy;
  a.end_energy = P.end_energy;
  a.saddle_energy = P.saddle_energy;
  if (OSTREL_list_append(allpath_list(lib), a))
    throw std::bad_alloc();
}

// The copies of path type P through saddle L: the start and end images
// that lie as far from L as the representative's ends lie from its saddle,
// paired into hops (appended to the library).
void copies_at_saddle(const OSTREL_cube* cube, const OSTREL_path& P, int L,
                      const std::vector<int>& st, const std::vector<int>& et, double left,
                      double right, OSTREL_cellcross_list& starts, OSTREL_cellcross_list& ends,
                      int listed_from, OSTREL_pathlib* lib) {
  const OSTREL_cubeloc Lp = saddle_point(cube, L);
  double start_miss = 0, end_miss = 0;
  match_images(cube, st, Lp, left, &starts, &start_miss);
  match_images(cube, et, Lp, right, &ends, &end_miss);
  // Where a type has no image at the representative's distance from L (a
  // site whose symmetry partner the grid's neighbour test does not see, as
  // on hexagonal grids), the nearest misses stand in for the ends only when
  // each is reached from its own lower side of L without rising to it.  A
  // miss taken blindly made a hop into the wrong cell (a K landscape then
  // percolated at 0.130 eV, where the flood fill finds 0.197).
  const bool poor = std::max(start_miss, end_miss) > voxel_diagonal(cube);
  // Several images at the same distance from the saddle (on either side
  // of a symmetry element through it) would pair up into hops that this
  // saddle does not make: of the admissible pairs only those whose two
  // images are as far apart as in the representative hop are copies of it.
  std::vector<std::pair<int, int>> pairs;
  std::vector<double> mismatch;
  for (int i = 0; i < starts.len; i++)
    for (int j = 0; j < ends.len; j++) {
      const int ms = starts.points[i], me = ends.points[j];
      const OSTREL_cellcross& cs = starts.list[i];
      const OSTREL_cellcross& ce = ends.list[j];
      if (ms == me && OSTREL_is_cellcross_equal(cs, ce))
        continue;
      const double es = cube->saddle[L].e;
      if (es < cube->minima[ms].e || es < cube->minima[me].e)
        continue;
      bool known = false;
      for (const auto& pr : pairs) {
        const int ks = starts.points[pr.first], ke = ends.points[pr.second];
        const OSTREL_cellcross &os = starts.list[pr.first], &oe = ends.list[pr.second];
        known = known ||
                (ks == ms && ke == me && OSTREL_is_cellcross_equal(os, cs) &&
                 OSTREL_is_cellcross_equal(oe, ce)) ||
                (ks == me && ke == ms && OSTREL_is_cellcross_equal(os, ce) &&
                 OSTREL_is_cellcross_equal(oe, cs));
      }
      if (known)
        continue;
      if (OSTREL_allpath_angle(cube, &starts, i, &ends, j, L) < PI / 2 - 1e-9)
        continue;
      if (poor && !ends_on_two_sides(cube, L, minimum_image(cube, ms, cs.x, cs.y, cs.z),
                                     minimum_image(cube, me, ce.x, ce.y, ce.z)))
        continue;
      pairs.emplace_back(i, j);
      const double apart = OSTREL_find_loc_distance(
          cube, minimum_image(cube, ms, cs.x, cs.y, cs.z),
          minimum_image(cube, me, ce.x, ce.y, ce.z));
      mismatch.push_back(fabs(apart - P.straightline_length));
    }
  double closest = HUGE_VAL;
  for (double m : mismatch) closest = std::min(closest, m);
  std::vector<char> keep(pairs.size(), 0);
  for (size_t q = 0; q < pairs.size(); q++) keep[q] = mismatch[q] <= closest + 0.001;
  for (size_t q = 0; q < pairs.size(); q++) {
    if (!keep[q])
      continue;
    const int i = pairs[q].first, j = pairs[q].second;
    const OSTREL_cellcross& cs = starts.list[i];
    const OSTREL_cellcross& ce = ends.list[j];
    if (hop_listed(lib, listed_from, starts.points[i], cs, ends.points[j], ce))
      continue;
    append_copy(P, L, starts.points[i], cs, ends.points[j], ce, lib);
  }
}

// A grid operation of the structure applied to a point in grid units,
// without wrapping: the image keeps the cell it falls in.
struct GridPoint {
  double x, y, z;
};

GridPoint apply_unwrapped(const OSTREL_fastgen_symop& op, GridPoint p) {
  return GridPoint{op.x_x * p.x + op.x_y * p.y + op.x_z * p.z + op.x_a,
                   op.y_x * p.x + op.y_y * p.y + op.y_z * p.z + op.y_a,
                   op.z_x * p.x + op.z_y * p.y + op.z_z * p.z + op.z_a};
}

GridPoint grid_point(OSTREL_cubeloc p) { return GridPoint{(double)p.x, (double)p.y, (double)p.z}; }

// Distance in Å between two points in grid units.
double grid_distance(const OSTREL_cube* cube, GridPoint p, GridPoint q) {
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  const double d[3] = {(q.x - p.x) / n[0], (q.y - p.y) / n[1], (q.z - p.z) / n[2]};
  const double s = d[0] * d[0] * cube->d1 + d[1] * d[1] * cube->d2 + d[2] * d[2] * cube->d3 +
                   d[0] * d[1] * cube->d4 + d[1] * d[2] * cube->d5 + d[0] * d[2] * cube->d6;
  return std::sqrt(std::max(s, 0.0));
}

// Whole-cell counts that bring p nearest to q (per axis) and the remaining
// distance in Å.
double cells_between(const OSTREL_cube* cube, GridPoint p, GridPoint q, int cells[3]) {
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  const double d[3] = {q.x - p.x, q.y - p.y, q.z - p.z};
  for (int ax = 0; ax < 3; ax++) cells[ax] = (int)std::lround(d[ax] / n[ax]);
  const GridPoint shifted{p.x + cells[0] * n[0], p.y + cells[1] * n[1], p.z + cells[2] * n[2]};
  return grid_distance(cube, shifted, q);
}

// The minimum of the given type members nearest to the unwrapped point p:
// its index and the cell offsets of its image (-1 when none lies within
// `tolerance` Å).
int minimum_at(const OSTREL_cube* cube, const std::vector<int>& members, GridPoint p,
               double tolerance, OSTREL_cellcross* cell) {
  int best = -1;
  double best_d = tolerance;
  for (int m : members) {
    int c[3];
    const double d = cells_between(cube, grid_point(minimum_image(cube, m, 0, 0, 0)), p, c);
    if (d <= best_d) {
      best_d = d;
      best = m;
      *cell = OSTREL_cellcross{c[0], c[1], c[2]};
    }
  }
  return best;
}

// The copies of path type P through saddle L, made by the operations of the
// structure that carry the representative saddle onto L: each such
// operation carries the representative's two minimum images onto the ends
// of a hop over L, in the cells it carries them to.  Matching distances
// from L instead would take, among images equally far from L, any that is
// at the right distance, including ones on the same side of L or in the
// wrong cell.  Returns 0
// when no operation carries the representative onto L (the caller then
// matches distances), else the number of hops added.
int copies_by_symmetry(const OSTREL_cube* cube, const OSTREL_cif* cif, const OSTREL_path& P,
                       int L, const std::vector<int>& st, const std::vector<int>& et,
                       OSTREL_pathlib* lib) {
  if (!cif || cif->fg.total <= 0)
    return 0;
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  // Saddles are matched by their true positions (a flat saddle's is the
  // centre of its plateau, on the symmetry element through it), so that
  // every operation that leaves a saddle in place gives its hop: the saddle
  // at the centre of four wells round a -4 axis joins each well to the
  // next, where its grid point, one step off the axis, is left in place by
  // the identity alone.
  const OSTREL_saddle& s0 = cube->saddle[P.saddle];
  const OSTREL_saddle& sl = cube->saddle[L];
  const GridPoint S0{s0.tx, s0.ty, s0.tz}, Lp{sl.tx, sl.ty, sl.tz};
  const GridPoint A = grid_point(minimum_image(cube, P.start, P.start_p, P.start_q, P.start_r));
  const GridPoint B = grid_point(minimum_image(cube, P.end, P.end_p, P.end_q, P.end_r));
  // Grid steps along the three axes: a saddle's image lies within half the
  // shortest of the place it is carried to (true positions are exact
  // images, up to the half steps of a plateau's centre); a minimum's image
  // within one step of the longest diagonal (grid points snapped to the
  // landscape).
  const double steps[3] = {cube->a / n[0], cube->b / n[1], cube->c / n[2]};
  const double same_place = 0.5 * std::min({steps[0], steps[1], steps[2]});
  const double tolerance =
      std::sqrt(steps[0] * steps[0] + steps[1] * steps[1] + steps[2] * steps[2]) + 1e-6;
  struct Hit {
    int op;
    int cells[3];
  };
  std::vector<Hit> hits;
  for (int o = 0; o < cif->fg.total; o++) {
    Hit h{o, {0, 0, 0}};
    if (cells_between(cube, apply_unwrapped(cif->fg.op[o], S0), Lp, h.cells) <= same_place)
      hits.push_back(h);
  }
  int added = 0;
  const double es = cube->saddle[L].e;
  for (const Hit& h : hits) {
    const OSTREL_fastgen_symop& op = cif->fg.op[h.op];
    auto carried = [&](GridPoint p) {
      const GridPoint q = apply_unwrapped(op, p);
      return GridPoint{q.x + h.cells[0] * n[0], q.y + h.cells[1] * n[1], q.z + h.cells[2] * n[2]};
    };
    OSTREL_cellcross cs{}, ce{};
    const int ms = minimum_at(cube, st, carried(A), tolerance, &cs);
    const int me = minimum_at(cube, et, carried(B), tolerance, &ce);
    if (ms < 0 || me < 0 || (ms == me && OSTREL_is_cellcross_equal(cs, ce)))
      continue;
    if (es < cube->minima[ms].e || es < cube->minima[me].e)
      continue;
    if (hop_listed(lib, lib->total_allpath - added, ms, cs, me, ce))
      continue;
    append_copy(P, L, ms, cs, me, ce, lib);
    added++;
  }
  return added;
}

}  // namespace

int OSTREL_build_allpaths(OSTREL_cube* cube, const OSTREL_cif* cif, OSTREL_pathlib* lib) {
  lib->allpath.clear();
  lib->total_allpath = 0;
  return OSTREL_catch_memory("OSTREL_build_allpaths", [&] {
    std::vector<std::vector<int>> minima_of_type(cube->total_minima_type + 2);
    for (int q = 0; q < cube->total_minima; q++)
      if (cube->minima[q].type >= 1 && cube->minima[q].type <= cube->total_minima_type)
        minima_of_type[cube->minima[q].type].push_back(q);
    std::vector<std::vector<int>> saddles_of_type(cube->total_saddle_type + 2);
    for (int q = 0; q < cube->total_saddle; q++)
      if (cube->saddle[q].type >= 1 && cube->saddle[q].type <= cube->total_saddle_type)
        saddles_of_type[cube->saddle[q].type].push_back(q);
    static const std::vector<int> none;
    OSTREL_cellcross_list starts, ends;
    for (int p = 0; p < lib->total_path; p++) {
      const OSTREL_path& P = lib->path[p];
      const OSTREL_cubeloc S0 = saddle_point(cube, P.saddle);
      const OSTREL_cubeloc A = minimum_image(cube, P.start, P.start_p, P.start_q, P.start_r);
      const OSTREL_cubeloc B = minimum_image(cube, P.end, P.end_p, P.end_q, P.end_r);
      const double left = OSTREL_find_loc_distance(cube, S0, A);
      const double right = OSTREL_find_loc_distance(cube, S0, B);
      auto members = [&](const std::vector<std::vector<int>>& by_type, int t, int types)
          -> const std::vector<int>& { return t >= 1 && t <= types ? by_type[t] : none; };
      const std::vector<int>& st = members(minima_of_type, P.start_type, cube->total_minima_type);
      const std::vector<int>& et = members(minima_of_type, P.end_type, cube->total_minima_type);
      const std::vector<int>& saddles =
          members(saddles_of_type, P.saddle_type, cube->total_saddle_type);
      for (int L : saddles) {
        // The operations carry only the representative's pair of basins.  A
        // saddle where three or more basins meet (three sites of a
        // triangular net round one pass) joins every pair of them, so there
        // the pairs of images as far from it as the representative's ends
        // are added too, leaving out those the operations gave.
        const int first = lib->total_allpath;
        if (!copies_by_symmetry(cube, cif, P, L, st, et, lib) || lower_side_count(cube, L) > 2)
          copies_at_saddle(cube, P, L, st, et, left, right, starts, ends, first, lib);
      }
    }
    return 0;
  });
}

// ===========================================================================
// Equality of hops
// ===========================================================================

int OSTREL_is_cellcross_equal(OSTREL_cellcross a, OSTREL_cellcross b) {
  return a.x == b.x && a.y == b.y && a.z == b.z;
}

OSTREL_cellcross OSTREL_get_cellcrossdiff_from_allpath(const OSTREL_allpath* a) {
  return OSTREL_cellcross{a->end_crossx - a->start_crossx, a->end_crossy - a->start_crossy,
                          a->end_crossz - a->start_crossz};
}

int OSTREL_is_cellcrossdiff_equal(const OSTREL_allpath* a, const OSTREL_allpath* b) {
  return OSTREL_is_cellcross_equal(OSTREL_get_cellcrossdiff_from_allpath(a),
                                   OSTREL_get_cellcrossdiff_from_allpath(b));
}

int OSTREL_is_path_start_end_equal(const OSTREL_path* a, const OSTREL_path* b) {
  return (a->start == b->start && a->end == b->end) ||
         (a->start == b->end && a->end == b->start);
}

int OSTREL_is_allpath_start_end_equal(const OSTREL_allpath* a, const OSTREL_allpath* b) {
  return (a->start == b->start && a->end == b->end) ||
         (a->start == b->end && a->end == b->start);
}

int OSTREL_is_allpath_equal(const OSTREL_allpath* a, const OSTREL_allpath* b, int mode) {
  auto same_ends = [&] { return a->start == b->start && a->end == b->end; };
  auto same_cross = [&] {
    return a->start_crossx == b->start_crossx && a->start_crossy == b->start_crossy &&
           a->start_crossz == b->start_crossz && a->end_crossx == b->end_crossx &&
           a->end_crossy == b->end_crossy && a->end_crossz == b->end_crossz;
  };
  switch (mode) {
    case 1: return same_ends();
    case 3: return same_cross();
    case 5: return a->saddle == b->saddle;
    case 6: return a->saddle_type == b->saddle_type;
    case 13: return same_ends() && same_cross();
    case 135: return a->saddle == b->saddle && same_ends() && same_cross();
    default:
      printf("Invalid mode call %d to OSTREL_is_allpath_equal\n", mode);
      return 0;
  }
}

// ===========================================================================
// List operations
// ===========================================================================

int OSTREL_get_allpath_to_path_index(const OSTREL_pathlib* lib, int allpath_index) {
  if (allpath_index >= 0 && allpath_index < lib->total_allpath) {
    const OSTREL_allpath& a = lib->allpath[allpath_index];
    int p = OSTREL_isin_pathlib(lib, a.start_type, a.end_type, a.saddle_type);
    if (p >= 0)
      return p;
  }
  fprintf(stderr, "Error: Invalid output from OSTREL_get_allpath_to_path_index()\n");
  return -1;
}

int OSTREL_delete_pathlib_allpath(OSTREL_pathlib* lib, int index) {
  return OSTREL_list_report(OSTREL_list_erase(allpath_list(lib), index),
                            "OSTREL_delete_pathlib_allpath");
}

int OSTREL_delete_pathlib_path(OSTREL_pathlib* lib, int index) {
  OSTREL_path gone;
  if (OSTREL_list_report(OSTREL_list_erase(path_list(lib), index, &gone),
                         "OSTREL_delete_pathlib_path"))
    return 1;
  // Every copy of the type goes with it.
  OSTREL_list_remove_if(allpath_list(lib), [&](const OSTREL_allpath& a, int) {
    return a.start_type == gone.start_type && a.end_type == gone.end_type &&
           a.saddle_type == gone.saddle_type;
  });
  return 0;
}

int OSTREL_insert_pathlib_allpath(OSTREL_pathlib* lib, const OSTREL_allpath& a) {
  return OSTREL_list_report(OSTREL_list_insert(allpath_list(lib), 0, a),
                            "OSTREL_insert_pathlib_allpath");
}

int OSTREL_pop_pathlib_allpath(OSTREL_pathlib* lib, int index, OSTREL_allpath* out) {
  return OSTREL_list_report(OSTREL_list_erase(allpath_list(lib), index, out),
                            "OSTREL_pop_pathlib_allpath");
}

void OSTREL_reverse_pathlib_allpath(OSTREL_pathlib* lib) {
  std::reverse(lib->allpath.begin(), lib->allpath.begin() + lib->total_allpath);
}

// ===========================================================================
// Direct hops and redundant path types
// ===========================================================================

int OSTREL_is_direct_path_between_minima(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                         OSTREL_cubeloc m1, OSTREL_cubeloc m2) {
  int i1 = -1, i2 = -1;
  for (int q = 0; q < cube->total_minima && (i1 < 0 || i2 < 0); q++) {
    const OSTREL_minima& m = cube->minima[q];
    if (i1 < 0 && grid_key(cube, m1.x, m1.y, m1.z) == grid_key(cube, m.x, m.y, m.z)) i1 = q;
    if (i2 < 0 && grid_key(cube, m2.x, m2.y, m2.z) == grid_key(cube, m.x, m.y, m.z)) i2 = q;
  }
  if (i1 < 0 || i2 < 0) {
    fprintf(stderr, "Error: Invalid input to OSTREL_is_direct_path_between_minima()\n");
    return -1;
  }
  if (OSTREL_is_loc_equal(m1, m2))
    return 1;
  // Whole cells between the first image and its minimum's grid point.
  const OSTREL_minima& base = cube->minima[i1];
  const int sx = m1.x - base.x, sy = m1.y - base.y, sz = m1.z - base.z;
  for (int q = 0; q < lib->total_allpath; q++) {
    const OSTREL_allpath& a = lib->allpath[q];
    const OSTREL_cellcross d = OSTREL_get_cellcrossdiff_from_allpath(&a);
    for (int dir = 0; dir < 2; dir++) {
      const int from = dir == 0 ? a.start : a.end, to = dir == 0 ? a.end : a.start;
      if (from != i1)
        continue;
      const int sign = dir == 0 ? 1 : -1;
      OSTREL_cubeloc e = minimum_image(cube, to, sign * d.x, sign * d.y, sign * d.z);
      e.x += sx;
      e.y += sy;
      e.z += sz;
      if (OSTREL_is_loc_equal(e, m2))
        return 1;
    }
  }
  return 0;
}

namespace {

// Deletes the path type of an allpath; 1 on failure.
int delete_type_of_allpath(OSTREL_pathlib* lib, int allpath_index) {
  int p = OSTREL_get_allpath_to_path_index(lib, allpath_index);
  if (p < 0 || OSTREL_delete_pathlib_path(lib, p)) {
    fprintf(stderr, "Error: OSTREL_delete_pathlib_path() returns non-zero.\n");
    return 1;
  }
  return 0;
}

}  // namespace

int OSTREL_filter_redundant_path(OSTREL_cube* cube, OSTREL_pathlib* lib) {
  return OSTREL_catch_memory("OSTREL_filter_redundant_path", [&] {
    // Pass 1: two hops between the same minimum images over different saddle
    // types; the higher one goes, with every copy of its type that another
    // type also parallels no lower.  The whole type goes when all its copies
    // do, as they all do in a library made by the operations alone; where
    // the grid breaks the symmetry (the 26 neighbours on a hexagonal grid
    // split one orbit of saddles into two types of slightly different
    // energies, and only some copies of the higher type repeat a hop of
    // the lower), the copies that join other minima stay: dropping them
    // lost the 2-D network of a trigonal landscape.
    auto key_of = [](const OSTREL_allpath& a) {
      const OSTREL_cellcross d = OSTREL_get_cellcrossdiff_from_allpath(&a);
      return std::to_string(a.start) + ":" + std::to_string(a.end) + ":" + std::to_string(d.x) +
             ":" + std::to_string(d.y) + ":" + std::to_string(d.z);
    };
    for (bool again = true; again;) {
      again = false;
      std::unordered_map<std::string, std::vector<int>> groups;
      for (int q = 0; q < lib->total_allpath; q++) groups[key_of(lib->allpath[q])].push_back(q);
      auto paralleled = [&](int q) {
        const OSTREL_allpath& a = lib->allpath[q];
        for (int p : groups[key_of(a)]) {
          const OSTREL_allpath& b = lib->allpath[p];
          if (b.saddle_type != a.saddle_type && b.saddle_energy <= a.saddle_energy)
            return true;
        }
        return false;
      };
      for (int i = 0; i < lib->total_allpath && !again; i++) {
        const OSTREL_allpath& a = lib->allpath[i];
        for (int j : groups[key_of(a)]) {
          if (j <= i || lib->allpath[j].saddle_type == a.saddle_type)
            continue;
          const int gone = a.saddle_energy < lib->allpath[j].saddle_energy ? j : i;
          const OSTREL_allpath& g = lib->allpath[gone];
          std::vector<int> copies;
          bool all = true;
          for (int q = 0; q < lib->total_allpath; q++) {
            const OSTREL_allpath& o = lib->allpath[q];
            if (o.saddle_type != g.saddle_type || o.start_type != g.start_type ||
                o.end_type != g.end_type)
              continue;
            if (paralleled(q))
              copies.push_back(q);
            else
              all = false;
          }
          if (all) {
            if (delete_type_of_allpath(lib, gone))
              return 1;
          } else {
            for (auto q = copies.rbegin(); q != copies.rend(); ++q)
              if (OSTREL_delete_pathlib_allpath(lib, *q))
                return 1;
          }
          again = true;
          break;
        }
      }
    }
    // Pass 2: two hops over the same saddle whose ends are joined pairwise by
    // direct hops; of two that join different pairs of types the longer goes.
    for (bool again = true; again;) {
      again = false;
      std::unordered_map<int, std::vector<int>> by_saddle;
      for (int q = 0; q < lib->total_allpath; q++)
        by_saddle[lib->allpath[q].saddle].push_back(q);
      for (int i = 0; i < lib->total_allpath && !again; i++) {
        for (int j : by_saddle[lib->allpath[i].saddle]) {
          if (j <= i)
            continue;
          const OSTREL_allpath &a = lib->allpath[i], &b = lib->allpath[j];
          OSTREL_cubeloc s1 = allpath_start_image(cube, a), e1 = allpath_end_image(cube, a);
          OSTREL_cubeloc s2 = allpath_start_image(cube, b), e2 = allpath_end_image(cube, b);
          auto direct = [&](OSTREL_cubeloc x, OSTREL_cubeloc y) {
            return OSTREL_is_direct_path_between_minima(cube, lib, x, y) == 1;
          };
          bool joined = (direct(e1, e2) && direct(s1, s2)) || (direct(s1, e2) && direct(s2, e1));
          if (!joined)
            continue;
          bool same_types = (a.start_type == b.start_type && a.end_type == b.end_type) ||
                            (a.start_type == b.end_type && a.end_type == b.start_type);
          if (same_types)
            continue;
          if (delete_type_of_allpath(lib, a.length > b.length ? i : j))
            return 1;
          again = true;
          break;
        }
      }
    }
    return 0;
  });
}

// ===========================================================================
// Path summary and grid-path listing
// ===========================================================================

void OSTREL_print_pathlib(const OSTREL_cube* cube, const OSTREL_pathlib* lib, FILE* stream) {
  const char* dash = "-----------------------------------------------------------------\r\n";
  fprintf(stream, "%s", dash);
  fprintf(stream, "                 Summary of minimum energy paths                 \r\n");
  fprintf(stream, "%s\r\n", dash);
  for (int p = 0; p < lib->total_path; p++) {
    const OSTREL_path& q = lib->path[p];
    fprintf(stream, "> Path %d : %s (%.3f eV) to %s (%.3f eV) via s%d (%.3f eV)\r\n", p + 1,
            site_label(cube, q.start_type).c_str(), scaled(cube, q.start_energy),
            site_label(cube, q.end_type).c_str(), scaled(cube, q.end_energy), q.saddle_type,
            scaled(cube, q.saddle_energy));
    fprintf(stream, ">> Dimension: %d\n", q.color);
    fprintf(stream, ">> Redundancy: %d\n", q.style);
  }
  fprintf(stream, "\nListing all %d paths (including equivalent ones)...\n", lib->total_allpath);
  for (int q = 0; q < lib->total_allpath; q++) {
    const OSTREL_allpath& a = lib->allpath[q];
    OSTREL_cellcross d = OSTREL_get_cellcrossdiff_from_allpath(&a);
    fprintf(stream, "> %s (%.3f eV) to %s (%.3f eV) via s%d (%.3f eV)\n",
            site_label(cube, cube->minima[a.start].type).c_str(), scaled(cube, a.start_energy),
            site_label(cube, cube->minima[a.end].type).c_str(), scaled(cube, a.end_energy),
            cube->saddle[a.saddle].type, scaled(cube, a.saddle_energy));
    fprintf(stream,
            ">> Internal: boundary cross (%d,%d,%d); minima indices (%d,%d) saddle index (%d)\n",
            d.x, d.y, d.z, a.start, a.end, a.saddle);
  }
  printf("\n");
  fprintf(stream, "\r\n");
  fflush(stream);
}

void OSTREL_print_path(const OSTREL_cube* cube, const OSTREL_grid_path* path,
                       const OSTREL_pathlib* lib, FILE* stream, int plot, double start) {
  if (path->length < 2) {
    fprintf(stderr, "Error: Invalid input to OSTREL_print_path()\n");
    return;
  }
  PointIndex at(cube);
  const double d0 = OSTREL_find_loc_distance(cube, point_of(path, 0), point_of(path, 1));
  double coord = start;
  int previous_minimum = -1;
  for (int j = 0; j < path->length; j++) {
    const OSTREL_cubeloc p = point_of(path, j);
    const int m = at.minimum_at(cube, p);
    if (j > 0) {
      if (m >= 0 && previous_minimum >= 0) {
        fprintf(stream, "NEXT\n");
        coord += d0 * (0.05 * path->length);
      } else {
        coord += OSTREL_find_loc_distance(cube, point_of(path, j - 1), p);
      }
    }
    fprintf(stream, "%.6f,%.6f", coord, scaled(cube, loc_energy(cube, p)));
    if (m >= 0) {
      fprintf(stream, ",%s", site_label(cube, cube->minima[m].type).c_str());
      if (plot)
        fprintf(stream, ",%d,%d,%d", path->color[j], path->marker[j], path->style[j]);
    } else {
      const int s = at.saddle_at(cube, p);
      if (s >= 0) {
        const int t = cube->saddle[s].type;
        double barrier = 0;
        for (int q = 0; q < lib->total_path; q++)
          if (lib->path[q].saddle_type == t) {
            const OSTREL_path& P = lib->path[q];
            barrier = scaled(cube, P.saddle_energy) -
                      scaled(cube, std::min(P.start_energy, P.end_energy));
            break;
          }
        fprintf(stream, ",s%d %.6feV", t, barrier);
      }
    }
    fprintf(stream, "\n");
    previous_minimum = m;
  }
}


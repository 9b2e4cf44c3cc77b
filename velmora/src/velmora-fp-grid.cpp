// Neighbour sets of landscape grids: the offsets that count as neighbours of
// a grid point, closed under the symmetries of the grid (integer maps of the
// index offsets that keep the metric of the step vectors), and the periodic
// steps, adjacency and boundary counting on such a set.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "velmora-fp.h"
#include "velmora-la.h"

namespace {

using Offset = std::array<int, 3>;
using Map = std::array<int, 9>;  // m[3 * row + col], acting on index offsets

int slot_of(const int o[3]) { return 25 * (o[0] + 2) + 5 * (o[1] + 2) + (o[2] + 2); }

std::vector<Offset> block_offsets() {
  std::vector<Offset> out;
  for (int a = -1; a <= 1; ++a)
    for (int b = -1; b <= 1; ++b)
      for (int c = -1; c <= 1; ++c)
        if (a || b || c) out.push_back({a, b, c});
  return out;
}

Offset image_of(const Map& m, const Offset& o) {
  Offset r;
  for (int i = 0; i < 3; ++i) r[i] = m[3 * i] * o[0] + m[3 * i + 1] * o[1] + m[3 * i + 2] * o[2];
  return r;
}

// Integer maps M (entries -1, 0, 1, determinant +-1) with M^T G M = G for
// the metric G of the step vectors, that also carry each cell period
// n[d] e_d into the lattice of periods: the symmetries of the periodic grid
// that a landscape of the lattice's symmetry can have.
std::vector<Map> grid_symmetries(const double a_i[3][3], const long n[3]) {
  double g[3][3], scale = 0.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      g[i][j] = a_i[i][0] * a_i[j][0] + a_i[i][1] * a_i[j][1] + a_i[i][2] * a_i[j][2];
      scale = std::max(scale, std::fabs(g[i][j]));
    }
  // Step vectors come from cube headers with six decimals and lattices
  // with three or four: a relative 1e-3 tells 120 degrees from 119.9.
  const double tol = 1e-3 * scale;
  std::vector<Map> out;
  Map m;
  for (int code = 0; code < 19683; ++code) {
    for (int k = 0, c = code; k < 9; ++k, c /= 3) m[k] = c % 3 - 1;
    const int det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                    m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (det != 1 && det != -1) continue;
    bool keeps = true;
    for (int i = 0; i < 3 && keeps; ++i)
      for (int j = 0; j < 3 && keeps; ++j) {
        double mgm = 0.0;
        for (int k = 0; k < 3; ++k)
          for (int l = 0; l < 3; ++l) mgm += m[3 * k + i] * g[k][l] * m[3 * l + j];
        keeps = std::fabs(mgm - g[i][j]) <= tol;
      }
    for (int r = 0; r < 3 && keeps; ++r)
      for (int d = 0; d < 3 && keeps; ++d) keeps = (m[3 * r + d] * n[d]) % n[r] == 0;
    if (keeps) out.push_back(m);
  }
  return out;
}

bool contains(const std::vector<Offset>& set, const Offset& o) {
  return std::find(set.begin(), set.end(), o) != set.end();
}

// The 26 with every image under the maps added, or empty when an image
// leaves -2..2 or reaches two steps along an axis of fewer than 5 points
// (where it would meet another neighbour's point).
std::vector<Offset> closure(const std::vector<Map>& maps, const long n[3]) {
  std::vector<Offset> set = block_offsets();
  for (std::size_t k = 0; k < set.size(); ++k)
    for (const Map& m : maps) {
      const Offset image = image_of(m, set[k]);
      for (int d = 0; d < 3; ++d)
        if (std::abs(image[d]) > 2 || (std::abs(image[d]) == 2 && n[d] < 5)) return {};
      if (!contains(set, image)) set.push_back(image);
    }
  return set;
}

// The largest part of the 26 that every map carries into itself.
std::vector<Offset> interior(const std::vector<Map>& maps) {
  std::vector<Offset> set = block_offsets();
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t k = 0; k < set.size() && !changed; ++k)
      for (const Map& m : maps)
        if (!contains(set, image_of(m, set[k]))) {
          set.erase(set.begin() + static_cast<long>(k));
          changed = true;
          break;
        }
  }
  return set;
}

}  // namespace

VELMORA_GRID_NEIGHBOURS::VELMORA_GRID_NEIGHBOURS()
    : VELMORA_GRID_NEIGHBOURS(block_offsets()) {}

VELMORA_GRID_NEIGHBOURS::VELMORA_GRID_NEIGHBOURS(const std::vector<std::array<int, 3>>& offsets) {
  std::vector<Offset> sorted;
  for (const Offset& o : offsets)
    if ((o[0] || o[1] || o[2]) && std::abs(o[0]) <= 2 && std::abs(o[1]) <= 2 &&
        std::abs(o[2]) <= 2 && !contains(sorted, o))
      sorted.push_back(o);
  std::sort(sorted.begin(), sorted.end());
  if (static_cast<int>(sorted.size()) > VELMORA_NB_MAX) sorted.resize(VELMORA_NB_MAX);
  total = static_cast<int>(sorted.size());
  std::fill(std::begin(index), std::end(index), static_cast<std::int16_t>(-1));
  for (int k = 0; k < total; ++k) {
    for (int d = 0; d < 3; ++d) {
      offset[k][d] = sorted[k][d];
      reach[d] = std::max(reach[d], std::abs(sorted[k][d]));
    }
    index[slot_of(offset[k])] = static_cast<std::int16_t>(k);
  }
  for (int k = 0; k < total; ++k)
    for (int m = 0; m < total; ++m) {
      if (m == k) continue;
      const int d[3] = {offset[m][0] - offset[k][0], offset[m][1] - offset[k][1],
                        offset[m][2] - offset[k][2]};
      if (find(d) >= 0) adjacency[k] |= static_cast<VELMORA_NB_MASK>(1) << m;
    }
}

int VELMORA_GRID_NEIGHBOURS::find(const int o[3]) const {
  for (int d = 0; d < 3; ++d)
    if (o[d] < -2 || o[d] > 2) return -1;
  return index[slot_of(o)];
}

VELMORA_GRID_NEIGHBOURS velmora_grid_neighbours(const double a_i[3][3], const long n[3]) {
  const std::vector<Map> maps = grid_symmetries(a_i, n);
  std::vector<Offset> set = closure(maps, n);
  if (set.empty()) set = interior(maps);
  return VELMORA_GRID_NEIGHBOURS(set);
}

long velmora_fpcube_step(const VELMORA_FPCUBE* cube, long p, int k) {
  if (k == VELMORA_NB_SELF || k < 0 || k >= cube->nb.total) return p;
  long x[3];
  velmora_fpcube_unflatten(x, cube, p);
  for (int d = 0; d < 3; ++d) x[d] = velmora_mod_long(x[d] + cube->nb.offset[k][d], cube->n[d]);
  return velmora_fpcube_index(cube, x);
}

void velmora_fpcube_near(std::vector<long>& out, const VELMORA_FPCUBE* cube, long p) {
  out.clear();
  out.push_back(p);
  for (int k = 0; k < cube->nb.total; ++k) out.push_back(velmora_fpcube_step(cube, p, k));
}

bool velmora_fpcube_adjacent(const VELMORA_FPCUBE* cube, const long x1[3], const long x2[3]) {
  int o[3];
  for (int d = 0; d < 3; ++d) {
    long diff = velmora_mod_long(x2[d] - x1[d], cube->n[d]);
    if (2 * diff > cube->n[d]) diff -= cube->n[d];
    if (diff < -2 || diff > 2) return false;
    o[d] = static_cast<int>(diff);
  }
  return (o[0] == 0 && o[1] == 0 && o[2] == 0) || cube->nb.find(o) >= 0;
}

void velmora_fpcube_add_wrap(int out[3], const VELMORA_FPCUBE* cube, const long p[3],
                             const long q[3]) {
  for (int d = 0; d < 3; ++d) {
    // A step changes an index by at most the reach (1 for the 26); a
    // wrapped one by at least n - reach, which is larger (n >= 3, and
    // n >= 5 where the reach is 2).
    const long reach = std::max(1, cube->nb.reach[d]);
    const long diff = q[d] - p[d];
    if (diff > reach) --out[d];
    if (diff < -reach) ++out[d];
  }
}

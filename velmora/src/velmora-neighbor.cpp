// Periodic-image neighbour search: the set-up of a sum's list (lengths, image
// range, image-count limit, reach), the image list of a cell, candidate lists
// for groups of nearby centres, and the grouping of centres into small boxes
// of the lattice (see velmora-neighbor.h for why the results equal the plain
// loop over all atoms and translations).
#include "velmora-neighbor.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <numeric>

#include "velmora-alloc.h"
#include "velmora-la.h"

namespace {

// Number of images of `atoms` atoms under the translations of `range`.
double neighbor_image_count(const long range[3], std::size_t atoms) {
  double images = static_cast<double>(atoms);
  for (int k = 0; k < 3; ++k) images *= 2.0 * static_cast<double>(range[k]) + 1.0;
  return images;
}

}  // namespace

std::unique_ptr<VELMORA_NEIGHBOR> velmora_neighbor_new(const VELMORA_CELL& cell, double cutoff,
                                                       double skip_distance,
                                                       const VELMORA_NEIGHBOR_OPTIONS& options) {
  double spacing[3];
  if (!velmora_neighbor_plane_spacing(spacing, cell.a)) return nullptr;
  const double r = std::max(cutoff, options.range_cutoff);
  long range[3];
  velmora_neighbor_range(range, spacing, r, options.margin);
  if (neighbor_image_count(range, cell.atom.size()) > VELMORA_NEIGHBOR_MAX_IMAGES) {
    std::fprintf(stderr,
                 "Error: the cell (plane spacings %.3f, %.3f, %.3f A) is too small for a cut-off "
                 "of %.1f A.\n",
                 spacing[0], spacing[1], spacing[2], r);
    return nullptr;
  }
  // Position, atom, translation and bin entry: about 44 bytes per image.
  const double images = neighbor_image_count(range, cell.atom.size());
  return velmora_memory_stage("a neighbour list of images", 44.0 * images, [&] {
    return std::make_unique<VELMORA_NEIGHBOR>(velmora_neighbor_build(
        cell, range, velmora_neighbor_reach(cutoff), options.skip, skip_distance));
  });
}

VELMORA_NEIGHBOR velmora_neighbor_build(const VELMORA_CELL& cell, const long range[3],
                                        double cutoff, const std::vector<bool>* skip,
                                        double skip_distance) {
  VELMORA_NEIGHBOR nb;
  for (int k = 0; k < 3; ++k) nb.range[k] = range[k] < 0 ? 0 : range[k];
  nb.cutoff = cutoff;
  nb.skip_distance = skip_distance;
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c) nb.a[i][c] = cell.a[i][c];
  const std::size_t per_atom =
      (2 * nb.range[0] + 1) * (2 * nb.range[1] + 1) * (2 * nb.range[2] + 1);
  nb.x.reserve(3 * per_atom * cell.atom.size());
  nb.atom.reserve(per_atom * cell.atom.size());
  nb.shift.reserve(3 * per_atom * cell.atom.size());
  for (std::size_t j = 0; j < cell.atom.size(); ++j) {
    if (skip && j < skip->size() && (*skip)[j]) continue;
    const double* xj = cell.atom[j].x;
    for (long l = -nb.range[0]; l <= nb.range[0]; ++l)
      for (long m = -nb.range[1]; m <= nb.range[1]; ++m)
        for (long n = -nb.range[2]; n <= nb.range[2]; ++n) {
          for (int c = 0; c < 3; ++c)
            nb.x.push_back(xj[c] + (l * cell.a[0][c] + m * cell.a[1][c] + n * cell.a[2][c]));
          nb.atom.push_back(static_cast<int>(j));
          nb.shift.push_back(static_cast<int>(l));
          nb.shift.push_back(static_cast<int>(m));
          nb.shift.push_back(static_cast<int>(n));
        }
  }
  // Bins pay off once a gather would scan thousands of images; a quarter of
  // the cut-off keeps the scanned volume close to the sphere's.
  if (nb.atom.size() > 2000) velmora_neighbor_index(nb, std::max(1.0, 0.25 * cutoff));
  return nb;
}

void velmora_neighbor_index(VELMORA_NEIGHBOR& nb, double edge) {
  nb.bin_edge = 0.0;
  nb.bin_start.clear();
  nb.bin_image.clear();
  const std::size_t count = nb.atom.size();
  if (count == 0 || !(edge > 0.0)) return;
  double lo[3], hi[3];
  for (int c = 0; c < 3; ++c) lo[c] = hi[c] = nb.x[c];
  for (std::size_t i = 0; i < count; ++i)
    for (int c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], nb.x[3 * i + c]);
      hi[c] = std::max(hi[c], nb.x[3 * i + c]);
    }
  // No more bins than about eight per image.
  double total = 1.0;
  for (int c = 0; c < 3; ++c) total *= std::floor((hi[c] - lo[c]) / edge) + 1.0;
  if (total > 8.0 * static_cast<double>(count)) edge *= std::cbrt(total / (8.0 * count));
  long bins = 1;
  for (int c = 0; c < 3; ++c) {
    nb.bin_origin[c] = lo[c];
    nb.bin_count[c] = static_cast<long>(std::floor((hi[c] - lo[c]) / edge)) + 1;
    bins *= nb.bin_count[c];
  }
  nb.bin_edge = edge;
  std::vector<long> key(count);
  nb.bin_start.assign(static_cast<std::size_t>(bins) + 1, 0);
  for (std::size_t i = 0; i < count; ++i) {
    long k[3];
    for (int c = 0; c < 3; ++c) {
      k[c] = static_cast<long>(std::floor((nb.x[3 * i + c] - lo[c]) / edge));
      k[c] = std::min(std::max(k[c], 0L), nb.bin_count[c] - 1);
    }
    key[i] = (k[0] * nb.bin_count[1] + k[1]) * nb.bin_count[2] + k[2];
    ++nb.bin_start[key[i] + 1];
  }
  for (long b = 0; b < bins; ++b) nb.bin_start[b + 1] += nb.bin_start[b];
  nb.bin_image.assign(count, 0);
  std::vector<int> fill(nb.bin_start.begin(), nb.bin_start.end() - 1);
  for (std::size_t i = 0; i < count; ++i) nb.bin_image[fill[key[i]]++] = static_cast<int>(i);
}

bool velmora_neighbor_plane_spacing(double spacing[3], const double a[3][3]) {
  for (int k = 0; k < 3; ++k) {
    const double length = velmora_vector3_double_length(a[k]);
    if (!(length > 0.0) || !std::isfinite(length)) {
      std::fprintf(stderr, "Error: lattice vector %d of the cell has no length.\n", k + 1);
      return false;
    }
  }
  double area[3][3];
  for (int k = 0; k < 3; ++k) velmora_vector3_double_cross(area[k], a[(k + 1) % 3], a[(k + 2) % 3]);
  // Volume a0 . (a1 x a2), the same for every k up to rounding.
  const double volume = std::fabs(velmora_vector3_double_dot(a[0], area[0]));
  for (int k = 0; k < 3; ++k) {
    spacing[k] = volume / velmora_vector3_double_length(area[k]);
    if (!(spacing[k] > 0.0) || !std::isfinite(spacing[k])) {
      std::fprintf(stderr, "Error: the lattice vectors of the cell span no volume.\n");
      return false;
    }
  }
  return true;
}

void velmora_neighbor_range(long range[3], const double spacing[3], double cutoff,
                            double margin) {
  for (int k = 0; k < 3; ++k)
    range[k] = spacing[k] > 0.0 ? static_cast<long>(cutoff / spacing[k] + margin) : 0;
}

void velmora_neighbor_gather(std::vector<int>& out, const VELMORA_NEIGHBOR& nb,
                             const double centre[3], double radius) {
  out.clear();
  const double r2 = radius * radius;
  const std::size_t count = nb.atom.size();
  const double* xs = nb.x.data();
  if (nb.bin_edge > 0.0) {
    long from[3], to[3];
    double scanned = 1.0;
    for (int c = 0; c < 3; ++c) {
      from[c] = static_cast<long>(std::floor((centre[c] - radius - nb.bin_origin[c]) / nb.bin_edge));
      to[c] = static_cast<long>(std::floor((centre[c] + radius - nb.bin_origin[c]) / nb.bin_edge));
      from[c] = std::max(from[c], 0L);
      to[c] = std::min(to[c], nb.bin_count[c] - 1);
      scanned *= to[c] >= from[c] ? static_cast<double>(to[c] - from[c] + 1) : 0.0;
    }
    const double bins = static_cast<double>(nb.bin_start.size() - 1);
    // A sphere covering most bins is scanned in full below.
    if (scanned < 0.5 * bins) {
      for (long i = from[0]; i <= to[0]; ++i)
        for (long j = from[1]; j <= to[1]; ++j)
          for (long k = from[2]; k <= to[2]; ++k) {
            const long b = (i * nb.bin_count[1] + j) * nb.bin_count[2] + k;
            for (int p = nb.bin_start[b]; p < nb.bin_start[b + 1]; ++p) {
              const int img = nb.bin_image[p];
              const double* xi = xs + 3 * static_cast<std::size_t>(img);
              const double dx = xi[0] - centre[0], dy = xi[1] - centre[1], dz = xi[2] - centre[2];
              if (dx * dx + dy * dy + dz * dz <= r2) out.push_back(img);
            }
          }
      std::sort(out.begin(), out.end());
      return;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const double* xi = xs + 3 * i;
    const double dx = xi[0] - centre[0], dy = xi[1] - centre[1], dz = xi[2] - centre[2];
    if (dx * dx + dy * dy + dz * dz <= r2) out.push_back(static_cast<int>(i));
  }
}

// Fractional coordinates of a Cartesian point: solves A^T f = x for the
// lattice A (rows = vectors) by the explicit inverse, adequate for binning.
static void fractional_of(double f[3], const double a[3][3], const double x[3]) {
  const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                     a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                     a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  if (std::fabs(det) < 1e-12) {
    f[0] = f[1] = f[2] = 0.0;
    return;
  }
  // Rows of the reciprocal basis: b_i = (a_j x a_k) / det.
  const double b[3][3] = {
      {a[1][1] * a[2][2] - a[1][2] * a[2][1], a[1][2] * a[2][0] - a[1][0] * a[2][2],
       a[1][0] * a[2][1] - a[1][1] * a[2][0]},
      {a[2][1] * a[0][2] - a[2][2] * a[0][1], a[2][2] * a[0][0] - a[2][0] * a[0][2],
       a[2][0] * a[0][1] - a[2][1] * a[0][0]},
      {a[0][1] * a[1][2] - a[0][2] * a[1][1], a[0][2] * a[1][0] - a[0][0] * a[1][2],
       a[0][0] * a[1][1] - a[0][1] * a[1][0]}};
  for (int i = 0; i < 3; ++i) f[i] = (b[i][0] * x[0] + b[i][1] * x[1] + b[i][2] * x[2]) / det;
}

VELMORA_NEIGHBOR_GROUPS velmora_neighbor_group(const std::vector<double>& centres,
                                               const double a[3][3], double edge) {
  VELMORA_NEIGHBOR_GROUPS groups;
  const std::size_t count = centres.size() / 3;
  double bins[3];
  for (int k = 0; k < 3; ++k) {
    const double len = std::sqrt(a[k][0] * a[k][0] + a[k][1] * a[k][1] + a[k][2] * a[k][2]);
    bins[k] = std::max(1.0, std::floor(len / edge));
  }
  // Box key of each centre; points are not wrapped into the cell, so a box
  // never joins points that are a lattice vector apart.
  std::vector<std::array<long, 3>> key(count);
  for (std::size_t c = 0; c < count; ++c) {
    double f[3];
    fractional_of(f, a, &centres[3 * c]);
    for (int k = 0; k < 3; ++k) key[c][k] = static_cast<long>(std::floor(f[k] * bins[k]));
  }
  groups.member.resize(count);
  std::iota(groups.member.begin(), groups.member.end(), 0);
  std::stable_sort(groups.member.begin(), groups.member.end(),
                   [&](int p, int q) { return key[p] < key[q]; });
  for (std::size_t k = 0; k < count; ++k) {
    if (k == 0 || key[groups.member[k]] != key[groups.member[k - 1]])
      groups.group_start.push_back(static_cast<int>(k));
  }
  groups.group_start.push_back(static_cast<int>(count));
  const std::size_t ngroups = groups.group_start.size() - 1;
  groups.centre.assign(3 * ngroups, 0.0);
  groups.radius.assign(ngroups, 0.0);
  for (std::size_t g = 0; g < ngroups; ++g) {
    double* cg = &groups.centre[3 * g];
    const int first = groups.group_start[g], last = groups.group_start[g + 1];
    for (int k = first; k < last; ++k)
      for (int c = 0; c < 3; ++c) cg[c] += centres[3 * groups.member[k] + c];
    for (int c = 0; c < 3; ++c) cg[c] /= (last - first);
    double r2 = 0.0;
    for (int k = first; k < last; ++k) {
      const double* p = &centres[3 * groups.member[k]];
      const double d2 = (p[0] - cg[0]) * (p[0] - cg[0]) + (p[1] - cg[1]) * (p[1] - cg[1]) +
                        (p[2] - cg[2]) * (p[2] - cg[2]);
      r2 = std::max(r2, d2);
    }
    groups.radius[g] = std::sqrt(r2);
  }
  return groups;
}

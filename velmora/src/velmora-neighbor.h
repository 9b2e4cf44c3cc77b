// Periodic-image neighbour search shared by every pair sum of velmora
// (cell energy, forces, stress, screening factor, bond-valence sums,
// landscape; later coordination and molecular dynamics).  A sum sets its list
// up with one call, velmora_neighbor_new (cell, cut-off, skip distance), as a
// neighbour search of a model library is set up from a structure and a radius.
//
// Each of those sums visits, for a centre point p, every atom j of the cell
// under every lattice translation T = l*a0 + m*a1 + n*a2 with |l| <= N0,
// |m| <= N1, |n| <= N2, and keeps the images with |x_j + T - p| inside its own
// cut-off.  The plain loop costs atoms * (2N+1)^3 distance tests per centre.
// The range N_k is sized by the spacing of the lattice planes that a_k
// crosses, h_k = V / |a_i x a_j| (the other two vectors), not by |a_k|: a
// sphere of radius R around a point of the cell reaches at most R / h_k
// cells along a_k, however oblique the cell.  (|a_k| >= h_k; in a cell with
// a 120 degree angle, |a_k| overestimates the reach and a range from it
// misses pairs inside the cut-off.)
// Here the images are listed once, in that same order (atom j outermost,
// then l, m, n), and centres that lie close together share one candidate
// list: the images within cutoff + (radius of the group) of the group's
// centre.  A centre then tests only its candidates, still in the plain
// loop's order, so every sum sees the same images in the same order and its
// result is the same as the plain loop's.
#ifndef VELMORA_NEIGHBOR_H_
#define VELMORA_NEIGHBOR_H_

#include <atomic>
#include <cmath>
#include <cstddef>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "velmora.h"

// Skip distance of a sum that visits every image, even one at the centre
// itself (the landscape's voxel on an atom).
constexpr double VELMORA_NEIGHBOR_NO_SKIP = -1.0;

// What a sum asks of its list besides the cell, the cut-off and the skip
// distance.
struct VELMORA_NEIGHBOR_OPTIONS {
  double margin = 1.0;                      // N_k = (long)(R / h_k + margin)
  const std::vector<bool>* skip = nullptr;  // atoms left out of the list
  double range_cutoff = 0.0;                // R when larger than the cut-off
};

// All images of the cell's atoms in one translation range.
struct VELMORA_NEIGHBOR {
  long range[3] = {};          // N0, N1, N2
  double cutoff = 0.0;         // the largest distance any visit reports
  // Images at this distance or closer are not visited (the atom itself, or a
  // site shared by several species); negative: every image is visited.
  double skip_distance = VELMORA_NEIGHBOR_NO_SKIP;
  double a[3][3] = {};         // the lattice, rows = vectors, A
  std::vector<double> x;       // image positions, 3 per image, A
  std::vector<int> atom;       // source atom of each image
  std::vector<int> shift;      // translation (l, m, n) of each image, 3 per image
  // Cubic bins over the images (made by velmora_neighbor_build for long
  // image lists): bin b holds bin_image[bin_start[b] .. bin_start[b+1]-1].
  double bin_origin[3] = {};
  double bin_edge = 0.0;       // 0: no bins, gathers scan every image
  long bin_count[3] = {};
  std::vector<int> bin_start;
  std::vector<int> bin_image;
};

// The neighbour list of a pair sum with cut-off `cutoff` (A): checks the
// lattice, sizes the image range N_k = (long)(R / h_k + margin) from the
// plane spacings h_k with R = max(cutoff, range_cutoff), refuses ranges
// whose image list would exceed VELMORA_NEIGHBOR_MAX_IMAGES, and lists the images out to a hair
// beyond the cut-off (velmora_neighbor_reach), so that the sum's own exact
// tests decide every image.  Null, after an error line, on failure.  The
// image range is sized in this one place.
std::unique_ptr<VELMORA_NEIGHBOR> velmora_neighbor_new(
    const VELMORA_CELL& cell, double cutoff, double skip_distance,
    const VELMORA_NEIGHBOR_OPTIONS& options = {});

// Lists the images of every atom of `cell` under the translations of `range`
// with the given reach and skip distance (velmora_neighbor_new's last step;
// tests build lists of chosen ranges with it).  Atoms for which `skip` is
// given and true are left out (the landscape leaves out ignored atoms this
// way); they never appear in a visit.
VELMORA_NEIGHBOR velmora_neighbor_build(const VELMORA_CELL& cell, const long range[3],
                                        double cutoff, const std::vector<bool>* skip = nullptr,
                                        double skip_distance = VELMORA_NEIGHBOR_NO_SKIP);

// Spacing h_k = V / |a_i x a_j| of the lattice planes spanned by the other
// two vectors (A); false, after an error line, for a lattice with a vector
// of no length or no volume.
bool velmora_neighbor_plane_spacing(double spacing[3], const double a[3][3]);
// Image range N_k = (long)(cutoff / spacing_k + margin).
void velmora_neighbor_range(long range[3], const double spacing[3], double cutoff,
                            double margin);

// More images than this (about 400 MB of image list) means a lattice far
// shorter than any real crystal's against the cut-off of a sum.
constexpr double VELMORA_NEIGHBOR_MAX_IMAGES = 1e7;

// The list reach for a sum with cut-off r: a hair beyond r, so that the
// sum's own exact test (d <= r or d < r) decides every image, as in the
// plain loop.
inline double velmora_neighbor_reach(double r) { return r * (1.0 + 1e-12) + 1e-9; }

// Threads pay off only for long sums (centres x images); short ones would
// spend more time waking threads (on a busy machine, waiting for them) than
// summing.
inline bool velmora_neighbor_worth_threads(std::size_t centres, std::size_t images) {
  return static_cast<double>(centres) * static_cast<double>(images) > 2e7;
}

// Candidates for a group of centres: indices of the images lying within
// `radius` of `centre`, in the canonical order.  With radius = cutoff + the
// largest distance of any centre of the group from `centre`, the candidates
// hold every image that any centre of the group can reach.  With bins only
// the bins that the sphere touches are scanned; the same distance test and
// a final sort give exactly the list of the full scan.
void velmora_neighbor_gather(std::vector<int>& out, const VELMORA_NEIGHBOR& nb,
                             const double centre[3], double radius);
// (Re)makes the bins of an image list with cubes about `edge` A wide.
void velmora_neighbor_index(VELMORA_NEIGHBOR& nb, double edge);

// Visits the candidates seen from the point p: act(atom, d, dx, image) for every
// candidate at distance skip_distance < d <= cutoff, dx = image position - p,
// in the canonical order.
template <class Action>
inline void velmora_neighbor_visit(const VELMORA_NEIGHBOR& nb, const std::vector<int>& cand,
                                   const double p[3], Action&& act) {
  const double cut2 = nb.cutoff * nb.cutoff;
  const double skip = nb.skip_distance;
  const double* xs = nb.x.data();
  const int* atom = nb.atom.data();
  for (int img : cand) {
    const double* xi = xs + 3 * static_cast<std::size_t>(img);
    const double dx[3] = {xi[0] - p[0], xi[1] - p[1], xi[2] - p[2]};
    const double d2 = dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2];
    if (d2 > cut2) continue;
    const double d = std::sqrt(d2);
    if (d <= skip) continue;
    act(atom[img], d, dx, img);
  }
}

// Groups of nearby centres: the centres (3 doubles each, Cartesian) binned by
// their fractional coordinates in the lattice `a` into boxes about `edge` A
// wide.  group_start[g] .. group_start[g+1] index into `member`.
struct VELMORA_NEIGHBOR_GROUPS {
  std::vector<int> member;
  std::vector<int> group_start;
  std::vector<double> centre;   // 3 per group
  std::vector<double> radius;   // distance of the farthest member from the centre
};
VELMORA_NEIGHBOR_GROUPS velmora_neighbor_group(const std::vector<double>& centres,
                                               const double a[3][3], double edge);

// The sum over centres: for each centre c (in any order, possibly several at
// once on different threads when `parallel` is true), act(c, atom, d, dx, image)
// for every image visited from it, in the canonical order.  The action
// must only touch state belonging to centre c when run in parallel.
template <class Action>
void velmora_neighbor_for_each(const VELMORA_NEIGHBOR& nb, const std::vector<double>& centres,
                               bool parallel, Action&& act) {
  // Boxes of about 2 A keep the extra candidates of a group small against
  // the >= 10 A cut-offs of the force field (a few per cent more tests).
  const VELMORA_NEIGHBOR_GROUPS groups = velmora_neighbor_group(centres, nb.a, 2.0);
  const long ngroups = static_cast<long>(groups.radius.size());
  // An exception (exhausted memory) must not leave a parallel region: the
  // first one is kept, the remaining groups are skipped, and it is thrown
  // again after the region.
  std::exception_ptr error;
  std::atomic<bool> failed{false};
#pragma omp parallel if (parallel)
  {
    std::vector<int> cand;
#pragma omp for schedule(dynamic, 1)
    for (long g = 0; g < ngroups; ++g) {
      if (failed) continue;
      try {
        // 1e-9 A keeps images on the boundary in spite of rounding.
        velmora_neighbor_gather(cand, nb, &groups.centre[3 * g],
                                nb.cutoff + groups.radius[g] + 1e-9);
        for (int k = groups.group_start[g]; k < groups.group_start[g + 1]; ++k) {
          const int c = groups.member[k];
          velmora_neighbor_visit(nb, cand, &centres[3 * static_cast<std::size_t>(c)],
                                 [&](int atom, double d, const double* dx, int img) {
                                   act(c, atom, d, dx, img);
                                 });
        }
      } catch (...) {
#pragma omp critical(velmora_neighbor_for_each_error)
        if (!error) error = std::current_exception();
        failed = true;
      }
    }
  }
  if (error) std::rethrow_exception(error);
}

// The same, on threads when the sum is long enough to pay for them.
template <class Action>
void velmora_neighbor_for_each(const VELMORA_NEIGHBOR& nb, const std::vector<double>& centres,
                               Action&& act) {
  velmora_neighbor_for_each(nb, centres,
                            velmora_neighbor_worth_threads(centres.size() / 3, nb.atom.size()),
                            std::forward<Action>(act));
}

#endif  // VELMORA_NEIGHBOR_H_

// Periodic-image neighbour search shared by every pair sum of velmora
// (cell energy, forces, stress, bond-valence sums, coordination, landscape,
// molecular dynamics).
//
// Each of those sums visits, for a centre point p, every atom j of the cell
// under every lattice translation T = l*a0 + m*a1 + n*a2 with |l| <= N0,
// |m| <= N1, |n| <= N2, and keeps the images with |x_j + T - p| inside its own
// cut-off.  The plain loop costs atoms * (2N+1)^3 distance tests per centre.
// Here the images are listed once, in that same order (atom j outermost,
// then l, m, n), and centres that lie close together share one candidate
// list: the images within cutoff + (radius of the group) of the group's
// centre.  A centre then tests only its candidates, still in the plain
// loop's order, so every sum sees the same images in the same order and its
// result is the same as the plain loop's.
#ifndef VELMORA_NEIGHBOR_H_
#define VELMORA_NEIGHBOR_H_

#include <cmath>
#include <cstddef>
#include <vector>

#include "velmora.h"

// All images of the cell's atoms in one translation range.
struct VELMORA_NEIGHBOR {
  long range[3] = {};          // N0, N1, N2
  double cutoff = 0.0;         // the largest distance any visit reports
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

// Lists the images of every atom of `cell` under the translations of `range`.
// Atoms for which `skip` is given and true are left out (the landscape leaves
// out ignored atoms this way); they never appear in a visit.
VELMORA_NEIGHBOR velmora_neighbor_build(const VELMORA_CELL& cell, const long range[3],
                                        double cutoff,
                                        const std::vector<bool>* skip = nullptr);

// Image range of a sum: N_k = (long)(cutoff / length_k + margin), the rule
// every pair sum uses with its own margin (1.0 or 2.0) and its own lengths
// (vector norms or cell parameters).
void velmora_neighbor_range(long range[3], const double length[3], double cutoff,
                            double margin);

// More images than this (about 400 MB of image list) means a lattice far
// shorter than any real crystal's against the cut-off of a sum.
constexpr double VELMORA_NEIGHBOR_MAX_IMAGES = 1e7;
// Number of images of `atoms` atoms under the translations of `range`.
double velmora_neighbor_image_count(const long range[3], std::size_t atoms);
// velmora_neighbor_range for the `atoms` atoms of a cell with the lattice
// lengths `length`; false, after the message, when the image list would
// hold more than VELMORA_NEIGHBOR_MAX_IMAGES images.
bool velmora_neighbor_range_within_limit(long range[3], const double length[3], double cutoff,
                                         double margin, std::size_t atoms);

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
// candidate at distance d <= cutoff, dx = image position - p, in the
// canonical order.
template <class Action>
inline void velmora_neighbor_visit(const VELMORA_NEIGHBOR& nb, const std::vector<int>& cand,
                                   const double p[3], Action&& act) {
  const double cut2 = nb.cutoff * nb.cutoff;
  const double* xs = nb.x.data();
  for (int img : cand) {
    const double* xi = xs + 3 * static_cast<std::size_t>(img);
    const double dx[3] = {xi[0] - p[0], xi[1] - p[1], xi[2] - p[2]};
    const double d2 = dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2];
    if (d2 > cut2) continue;
    act(nb.atom[img], std::sqrt(d2), dx, img);
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
// for every image within the cut-off, in the canonical order.  The action
// must only touch state belonging to centre c when run in parallel.
template <class Action>
void velmora_neighbor_for_each(const VELMORA_NEIGHBOR& nb, const std::vector<double>& centres,
                               const double a[3][3], bool parallel, Action&& act) {
  // Boxes of about 2 A keep the extra candidates of a group small against
  // the >= 10 A cut-offs of the force field (a few per cent more tests).
  const VELMORA_NEIGHBOR_GROUPS groups = velmora_neighbor_group(centres, a, 2.0);
  const long ngroups = static_cast<long>(groups.radius.size());
#pragma omp parallel if (parallel)
  {
    std::vector<int> cand;
#pragma omp for schedule(dynamic, 1)
    for (long g = 0; g < ngroups; ++g) {
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
    }
  }
}

#endif  // VELMORA_NEIGHBOR_H_

// The neighbour search must hand every centre exactly the images the plain
// loop over all atoms and translations finds, in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "velmora-neighbor.h"

namespace {

// A triclinic cell with atoms at random positions (no wrapping needed).
VELMORA_CELL random_cell(int natoms, unsigned seed) {
  VELMORA_CELL cell;
  const double a[3][3] = {{5.1, 0.0, 0.0}, {-1.3, 6.2, 0.0}, {0.7, 1.1, 4.4}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) cell.a[i][j] = a[i][j];
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  cell.atom.resize(natoms);
  cell.total = natoms;
  for (auto& at : cell.atom) {
    for (int k = 0; k < 3; ++k) at.x_f[k] = u(rng);
    for (int c = 0; c < 3; ++c)
      at.x[c] = at.x_f[0] * a[0][c] + at.x_f[1] * a[1][c] + at.x_f[2] * a[2][c];
  }
  return cell;
}

using Hit = std::tuple<int, int, int, int>;  // atom, l, m, n

std::vector<Hit> plain_loop(const VELMORA_CELL& cell, const long N[3], double cutoff,
                            const double p[3]) {
  std::vector<Hit> hits;
  for (int j = 0; j < cell.total; ++j)
    for (long l = -N[0]; l <= N[0]; ++l)
      for (long m = -N[1]; m <= N[1]; ++m)
        for (long n = -N[2]; n <= N[2]; ++n) {
          double d2 = 0.0;
          for (int c = 0; c < 3; ++c) {
            const double xi = cell.atom[j].x[c] + (l * cell.a[0][c] + m * cell.a[1][c] +
                                                   n * cell.a[2][c]);
            d2 += (xi - p[c]) * (xi - p[c]);
          }
          if (d2 <= cutoff * cutoff) hits.emplace_back(j, l, m, n);
        }
  return hits;
}

}  // namespace

TEST(Neighbor, EveryCentreSeesThePlainLoopImagesInOrder) {
  const VELMORA_CELL cell = random_cell(23, 7);
  const double cutoff = 10.0;
  long N[3];
  double spacing[3];
  ASSERT_TRUE(velmora_neighbor_plane_spacing(spacing, cell.a));
  velmora_neighbor_range(N, spacing, cutoff, 1.0);
  const VELMORA_NEIGHBOR nb = velmora_neighbor_build(cell, N, cutoff);

  // Centres: the atoms themselves plus points outside the cell.
  std::vector<double> centres;
  for (const auto& at : cell.atom) centres.insert(centres.end(), at.x, at.x + 3);
  const double extra[2][3] = {{-3.0, 2.0, 9.0}, {11.0, -0.5, 0.25}};
  for (const auto& e : extra) centres.insert(centres.end(), e, e + 3);

  const std::size_t ncentres = centres.size() / 3;
  std::vector<std::vector<Hit>> seen(ncentres);
  velmora_neighbor_for_each(nb, centres, false,
                            [&](int c, int atom, double d, const double*, int img) {
                              EXPECT_LE(d, cutoff);
                              seen[c].emplace_back(atom, nb.shift[3 * img],
                                                   nb.shift[3 * img + 1],
                                                   nb.shift[3 * img + 2]);
                            });
  for (std::size_t c = 0; c < ncentres; ++c)
    EXPECT_EQ(seen[c], plain_loop(cell, N, cutoff, &centres[3 * c])) << "centre " << c;
}

TEST(Neighbor, ParallelVisitsGiveBitwiseEqualSums) {
  const VELMORA_CELL cell = random_cell(40, 11);
  const long N[3] = {2, 2, 3};
  const VELMORA_NEIGHBOR nb = velmora_neighbor_build(cell, N, 9.0);
  std::vector<double> centres;
  for (const auto& at : cell.atom) centres.insert(centres.end(), at.x, at.x + 3);
  std::vector<double> serial(cell.total, 0.0), threaded(cell.total, 0.0);
  auto sum_into = [](std::vector<double>& out) {
    return [&out](int c, int, double d, const double*, int) {
      if (d > 0.3) out[c] += std::exp(-d) / d;
    };
  };
  velmora_neighbor_for_each(nb, centres, false, sum_into(serial));
  velmora_neighbor_for_each(nb, centres, true, sum_into(threaded));
  for (int c = 0; c < cell.total; ++c) EXPECT_EQ(serial[c], threaded[c]);
}

TEST(Neighbor, SkippedAtomsNeverAppear) {
  const VELMORA_CELL cell = random_cell(6, 3);
  const long N[3] = {1, 1, 1};
  std::vector<bool> skip = {false, true, false, false, true, false};
  const VELMORA_NEIGHBOR nb = velmora_neighbor_build(cell, N, 20.0, &skip);
  EXPECT_EQ(nb.atom.size(), 4u * 27u);
  for (int a : nb.atom) EXPECT_FALSE(skip[a]);
}

TEST(Neighbor, NewSizesTheRangeAndSkipsCloseImages) {
  VELMORA_CELL cell = random_cell(5, 5);
  // Range from the plane spacings h_k = V / |a_i x a_j|: (long)(12 / h_k + 1).
  std::unique_ptr<VELMORA_NEIGHBOR> nb = velmora_neighbor_new(cell, 12.0, 0.3);
  ASSERT_TRUE(nb);
  const double volume = 5.1 * 6.2 * 4.4;  // the lattice is lower triangular
  const double area[3] = {std::hypot(6.2 * 4.4, 1.3 * 4.4, -1.3 * 1.1 - 0.7 * 6.2),
                          std::hypot(0.0, 5.1 * 4.4, 5.1 * 1.1), 5.1 * 6.2};
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(nb->range[k], static_cast<long>(12.0 / (volume / area[k]) + 1.0)) << k;
  EXPECT_GT(nb->cutoff, 12.0);
  EXPECT_LT(nb->cutoff, 12.0 + 1e-8);
  // Margin 2 and a larger range cut-off: (long)(20 / h_k + 2).
  VELMORA_NEIGHBOR_OPTIONS options;
  options.margin = 2.0;
  options.range_cutoff = 20.0;
  std::unique_ptr<VELMORA_NEIGHBOR> wide = velmora_neighbor_new(cell, 12.0, 0.3, options);
  ASSERT_TRUE(wide);
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(wide->range[k], static_cast<long>(20.0 / (volume / area[k]) + 2.0)) << k;
  // Every atom sees itself at d = 0 under the zero translation: skipped at
  // 0.3 A, visited with no skip distance.
  std::vector<double> centres;
  for (const auto& at : cell.atom) centres.insert(centres.end(), at.x, at.x + 3);
  int self = 0;
  velmora_neighbor_for_each(*nb, centres, [&](int c, int atom, double d, const double*, int) {
    EXPECT_GT(d, 0.3);
    if (c == atom && d == 0.0) ++self;
  });
  EXPECT_EQ(self, 0);
  std::unique_ptr<VELMORA_NEIGHBOR> all =
      velmora_neighbor_new(cell, 12.0, VELMORA_NEIGHBOR_NO_SKIP);
  velmora_neighbor_for_each(*all, centres, [&](int c, int atom, double d, const double*, int) {
    if (c == atom && d == 0.0) ++self;
  });
  EXPECT_EQ(self, cell.total);
}

// A hexagonal cell (gamma = 120 degrees, the LiNbO3 lattice a = 5.149,
// c = 13.862 A) with atoms near opposite corners: the range sized by
// |a_k| (int(R/|a| + 1) = 2 along a and b) misses pairs inside 10 A that a
// range sized by the plane spacing a*sqrt(3)/2 = 4.459 A (3 cells) keeps.
TEST(Neighbor, ObliqueCellsKeepEveryPairInsideTheCutoff) {
  VELMORA_CELL cell;
  const double a = 5.149, c = 13.862;
  const double lattice[3][3] = {{a, 0.0, 0.0}, {-0.5 * a, 0.5 * std::sqrt(3.0) * a, 0.0},
                                {0.0, 0.0, c}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) cell.a[i][j] = lattice[i][j];
  const double fractions[2][3] = {{0.02, 0.98, 0.1}, {0.97, 0.03, 0.1}};
  for (const auto& f : fractions) {
    VELMORA_ATOM at;
    for (int k = 0; k < 3; ++k) at.x_f[k] = f[k];
    for (int k = 0; k < 3; ++k)
      at.x[k] = f[0] * lattice[0][k] + f[1] * lattice[1][k] + f[2] * lattice[2][k];
    cell.atom.push_back(at);
  }
  cell.total = 2;
  const double cutoff = 10.0;
  std::unique_ptr<VELMORA_NEIGHBOR> nb = velmora_neighbor_new(cell, cutoff, 0.3);
  ASSERT_TRUE(nb);
  EXPECT_EQ(nb->range[0], 3);
  EXPECT_EQ(nb->range[1], 3);
  // Reference: a range so wide that nothing within 10 A can lie outside it.
  const long wide[3] = {8, 8, 3};
  std::vector<double> centres;
  for (const auto& at : cell.atom) centres.insert(centres.end(), at.x, at.x + 3);
  std::vector<std::vector<Hit>> seen(2);
  velmora_neighbor_for_each(*nb, centres, false,
                            [&](int ci, int atom, double, const double*, int img) {
                              seen[ci].emplace_back(atom, nb->shift[3 * img],
                                                    nb->shift[3 * img + 1],
                                                    nb->shift[3 * img + 2]);
                            });
  const long narrow[3] = {2, 2, 1};  // int(10/|a_k| + 1)
  // Images of a plain loop beyond the 0.3 A skip distance, sorted.
  auto plain = [&](const long range[3], int ci) {
    std::vector<Hit> out;
    for (const Hit& h : plain_loop(cell, range, cutoff, &centres[3 * ci])) {
      double d2 = 0.0;
      for (int k = 0; k < 3; ++k) {
        const double x = cell.atom[std::get<0>(h)].x[k] + std::get<1>(h) * lattice[0][k] +
                         std::get<2>(h) * lattice[1][k] + std::get<3>(h) * lattice[2][k] -
                         centres[3 * ci + k];
        d2 += x * x;
      }
      if (d2 > 0.09) out.push_back(h);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  std::size_t missed = 0;
  for (int ci = 0; ci < 2; ++ci) {
    const std::vector<Hit> expected = plain(wide, ci);
    std::vector<Hit> got = seen[ci];
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected) << "centre " << ci;
    missed += expected.size() - plain(narrow, ci).size();
  }
  // The old range would have lost pairs here.
  EXPECT_GT(missed, 0u);
}

TEST(Neighbor, NewRefusesDegenerateLattices) {
  VELMORA_CELL cell = random_cell(4, 9);
  for (int c = 0; c < 3; ++c) cell.a[1][c] = 0.0;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(velmora_neighbor_new(cell, 10.0, 0.3));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error: lattice vector 2 of the cell has no length.\n");
  // A lattice far shorter than the cut-off would list ~1e8 images.
  cell = random_cell(4, 9);
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c) cell.a[i][c] *= 0.01;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(velmora_neighbor_new(cell, 10.0, 0.3));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("is too small for a cut-off of 10.0 A"),
            std::string::npos);
}

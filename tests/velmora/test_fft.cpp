// Fourier derivatives and critical points: gradient and second derivatives of
// trigonometric functions against their analytic values on non-cubic grids
// and in a hexagonal cell (Cartesian components), the Nyquist coefficient,
// the record against the general complex transform, the same bits on one
// and two threads, finite differences on a real landscape, and the critical
// points of cosine landscapes.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "ff_fixture.h"
#include "shipped_data.h"
#include "topology_fixture.h"
#include "velmora-fft.h"
#include "velmora-import.h"
#include "velmora-la.h"

namespace {

using topology_fixture::c1;
using topology_fixture::kPi;
using topology_fixture::quiet;
using topology_fixture::sample;

// A sum of plane waves A cos(2 pi (h x + k y + l z) + phase) in fractional
// coordinates, with its Cartesian gradient and second derivatives.
struct Wave {
  int h, k, l;
  double A, phase;
};
struct Waves {
  std::vector<Wave> w;
  double b[3][3];  // reciprocal rows: b_d . a_e = delta
  explicit Waves(const double a[3][3], std::vector<Wave> waves) : w(std::move(waves)) {
    for (int d = 0; d < 3; ++d) {
      double e[3] = {0, 0, 0}, x[3];
      e[d] = 1.0;
      velmora_matrix33_double_linearsolver(x, a, e);  // a_e . x = delta_de: x = b_d
      for (int c = 0; c < 3; ++c) b[d][c] = x[c];
    }
  }
  double value(double x, double y, double z) const {
    double s = 0;
    for (const Wave& v : w) s += v.A * std::cos(2 * kPi * (v.h * x + v.k * y + v.l * z) + v.phase);
    return s;
  }
  void derivatives(double g[3], double K[3][3], double x, double y, double z) const {
    for (int c = 0; c < 3; ++c) {
      g[c] = 0;
      for (int e = 0; e < 3; ++e) K[c][e] = 0;
    }
    for (const Wave& v : w) {
      const double t = 2 * kPi * (v.h * x + v.k * y + v.l * z) + v.phase;
      double G[3];
      for (int c = 0; c < 3; ++c) G[c] = 2 * kPi * (v.h * b[0][c] + v.k * b[1][c] + v.l * b[2][c]);
      for (int c = 0; c < 3; ++c) {
        g[c] -= v.A * std::sin(t) * G[c];
        for (int e = 0; e < 3; ++e) K[c][e] -= v.A * std::cos(t) * G[c] * G[e];
      }
    }
  }
};

// Largest deviation of the record's gradient and second derivatives from
// the analytic ones, relative to the largest analytic value of each.
void compare_with_waves(const Waves& waves, const long n[3], const double a[3][3], double tol) {
  auto cube = sample(n, a, [&](double x, double y, double z) { return waves.value(x, y, z); });
  std::unique_ptr<VELMORA_FFT> fft;
  quiet([&] { fft = velmora_fft_new_from_cube(cube.get()); });
  ASSERT_TRUE(fft);
  double gmax = 0, kmax = 0, gerr = 0, kerr = 0;
  for (long i = 0; i < n[0]; ++i)
    for (long j = 0; j < n[1]; ++j)
      for (long k = 0; k < n[2]; ++k) {
        const std::size_t p = static_cast<std::size_t>((i * n[1] + j) * n[2] + k);
        double g[3], K[3][3];
        waves.derivatives(g, K, double(i) / n[0], double(j) / n[1], double(k) / n[2]);
        for (int c = 0; c < 3; ++c) {
          gmax = std::max(gmax, std::fabs(g[c]));
          gerr = std::max(gerr, std::fabs(g[c] - fft->f[c][p]));
          for (int e = 0; e < 3; ++e) {
            kmax = std::max(kmax, std::fabs(K[c][e]));
            kerr = std::max(kerr, std::fabs(K[c][e] - fft->k[velmora_fft_k(c, e)][p]));
          }
        }
      }
  EXPECT_LT(gerr / gmax, tol) << "gradient";
  EXPECT_LT(kerr / kmax, tol) << "second derivatives";
}

}  // namespace

// The factor 6.2831853 differs from 2 pi by 1e-8 relative; everything else
// is exact for functions below the Nyquist frequency.
TEST(VelmoraFft, NonCubicGridMatchesAnalyticDerivatives) {
  const double a[3][3] = {{4.0, 0, 0}, {0, 5.0, 0}, {0, 0, 6.0}};
  const long n[3] = {24, 30, 36};
  Waves waves(a, {{1, 0, 0, 0.3, 0.2}, {0, 2, 0, 0.2, 1.1}, {0, 0, 3, 0.1, -0.4},
                  {1, -2, 1, 0.05, 0.7}, {5, 3, -7, 0.01, 0.3}});
  compare_with_waves(waves, n, a, 1e-6);
}

TEST(VelmoraFft, HexagonalCellGivesCartesianDerivatives) {
  const double s3 = std::sqrt(3.0);
  const double a[3][3] = {{4.0, 0, 0}, {-2.0, 2.0 * s3, 0}, {0, 0, 5.0}};
  const long n[3] = {24, 24, 30};
  Waves waves(a, {{1, 0, 0, 0.3, 0.1}, {0, 1, 0, 0.2, 0.5}, {1, 1, 0, 0.15, 0.2},
                  {0, 0, 1, 0.25, 0.0}, {1, -1, 1, 0.05, 0.7}, {2, 1, 0, 0.03, 0.3}});
  compare_with_waves(waves, n, a, 1e-6);
}

// An isotropic well in a hexagonal cell: the three shortest in-plane
// reciprocal vectors b1, b2, b1 - b2 give sum G G^T = 3/2 |b|^2 in the
// plane, so both in-plane curvatures are 0.1 (2 pi)^2 3/2 |b|^2.
TEST(VelmoraFft, IsotropicWellInAHexagonalCellHasEqualInPlaneCurvatures) {
  const double s3 = std::sqrt(3.0);
  const double a[3][3] = {{4.0, 0, 0}, {-2.0, 2.0 * s3, 0}, {0, 0, 4.0}};
  const long n[3] = {24, 24, 24};
  auto cube = sample(n, a, [](double x, double y, double z) {
    return 0.1 * (c1(x) + c1(y) + c1(x - y)) + 0.3 * c1(z);
  });
  std::unique_ptr<VELMORA_FFT> fft;
  quiet([&] { fft = velmora_fft_new_from_cube(cube.get()); });
  ASSERT_TRUE(fft);
  VELMORA_FFTDOT dot;
  long origin[3] = {0, 0, 0};
  ASSERT_EQ(velmora_fftdot_read_from_fft(&dot, fft.get(), origin), 0);
  const double b = 1.0 / (4.0 * s3 / 2.0);
  const double in_plane = 0.1 * 4 * kPi * kPi * 1.5 * b * b;
  const double along_c = 0.3 * 4 * kPi * kPi / 16.0;
  EXPECT_NEAR(dot.eig[0], in_plane, 1e-6);
  EXPECT_NEAR(dot.eig[1], in_plane, 1e-6);
  EXPECT_NEAR(dot.eig[2], along_c, 1e-6);
  EXPECT_NEAR(dot.k[0][1], 0.0, 1e-9);
  EXPECT_EQ(dot.type, FFT_MIN);
  // The eigenvector of the c curvature is the z axis.
  EXPECT_NEAR(std::fabs(dot.eiv[2][2]), 1.0, 1e-9);
}

// On an even grid the coefficient at N/2 adds nothing to first and mixed
// derivatives and contributes -(2 pi (N/2) / L)^2 to a second derivative
// along its own axis; on an odd grid a sine of one period is exact.
TEST(VelmoraFft, NyquistCoefficientAndOddGrids) {
  const double a[3][3] = {{4.0, 0, 0}, {0, 4.0, 0}, {0, 0, 4.0}};
  {
    const long n[3] = {24, 12, 10};
    auto cube = sample(n, a, [](double x, double y, double) {
      return std::cos(2 * kPi * 12 * x) * std::cos(2 * kPi * y);
    });
    std::unique_ptr<VELMORA_FFT> fft;
    quiet([&] { fft = velmora_fft_new_from_cube(cube.get()); });
    ASSERT_TRUE(fft);
    const double wx = 2 * kPi * 12 / 4.0, wy = 2 * kPi / 4.0;
    // f_y = -wy cos(pi i) sin(2 pi y) is an ordinary derivative; f_x, the
    // mixed derivative and nothing else of the Nyquist wave vanish.
    double fy = 0, rest = 0;
    for (long i = 0; i < n[0]; ++i)
      for (long j = 0; j < n[1]; ++j)
        for (long k = 0; k < n[2]; ++k) {
          const std::size_t p = static_cast<std::size_t>((i * n[1] + j) * n[2] + k);
          const double x = double(i) / n[0], y = double(j) / n[1];
          fy = std::max(fy, std::fabs(fft->f[1][p] + wy * std::cos(2 * kPi * 12 * x) *
                                                         std::sin(2 * kPi * y)));
          rest = std::max(rest, std::fabs(fft->f[0][p]));
          rest = std::max(rest, std::fabs(fft->k[velmora_fft_k(0, 1)][p]));
          rest = std::max(rest, std::fabs(fft->k[velmora_fft_k(0, 0)][p] + wx * wx * cube->en[p]));
          rest = std::max(rest, std::fabs(fft->k[velmora_fft_k(1, 1)][p] + wy * wy * cube->en[p]));
        }
    EXPECT_LT(fy, 1e-6 * wy);
    EXPECT_LT(rest, 1e-6 * wx * wx);
  }
  {
    const long n[3] = {25, 5, 5};
    auto cube = sample(n, a, [](double x, double, double) { return std::sin(2 * kPi * x); });
    std::unique_ptr<VELMORA_FFT> fft;
    quiet([&] { fft = velmora_fft_new_from_cube(cube.get()); });
    ASSERT_TRUE(fft);
    const double w = 2 * kPi / 4.0;
    for (long i = 0; i < 25; ++i) {
      const std::size_t p = static_cast<std::size_t>(i * 25);
      const double x = i / 25.0;
      EXPECT_NEAR(fft->f[0][p], w * std::cos(2 * kPi * x), 1e-7 * w);
      EXPECT_NEAR(fft->k[velmora_fft_k(0, 0)][p], -w * w * std::sin(2 * kPi * x), 1e-7 * w * w);
    }
  }
}

// The record (real-to-complex, plans reused, nine transforms on threads)
// against the general complex-to-complex derivative of one grid, on a
// random landscape of an orthogonal cell; and the record's bits on one and
// on two threads, in a triclinic cell.
TEST(VelmoraFft, RecordEqualsComplexTransformsAndIgnoresThreads) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  {
    const double a[3][3] = {{3.0, 0, 0}, {0, 3.5, 0}, {0, 0, 4.0}};
    const long n[3] = {12, 10, 8};
    auto cube = sample(n, a, [&](double, double, double) { return u(rng); });
    std::unique_ptr<VELMORA_FFT> fft;
    std::unique_ptr<VELMORA_FFTCUBE> complex;
    quiet([&] {
      fft = velmora_fft_new_from_cube(cube.get());
      complex = velmora_fftcube_new_from_cube(cube.get());
    });
    ASSERT_TRUE(fft && complex);
    for (int d = 0; d < 3; ++d)
      for (int e = -1; e < 3; ++e) {
        const int order = e < 0 ? 1 : 2;
        const int direction[2] = {d, e < 0 ? d : e};
        if (order == 2 && e < d) continue;
        std::unique_ptr<VELMORA_FFTCUBE> derived =
            velmora_fftcube_differentiate(complex.get(), order, direction);
        ASSERT_TRUE(derived);
        const VELMORA_FFT_GRID& mine = order == 1 ? fft->f[d] : fft->k[velmora_fft_k(d, e)];
        double worst = 0, scale = 0;
        for (std::size_t p = 0; p < mine.size(); ++p) {
          worst = std::max(worst, std::fabs(derived->value[p].real() - mine[p]));
          worst = std::max(worst, std::fabs(derived->value[p].imag()));
          scale = std::max(scale, std::fabs(mine[p]));
        }
        EXPECT_LT(worst, 1e-12 * scale) << "order " << order << " along " << d << "," << e;
      }
  }
  {
    const double a[3][3] = {{4.1, 0, 0}, {0.9, 3.8, 0}, {-0.7, 1.2, 4.4}};
    const long n[3] = {20, 24, 18};
    auto cube = sample(n, a, [&](double x, double y, double z) {
      return std::exp(std::cos(2 * kPi * x) + 0.5 * std::sin(2 * kPi * (y - z))) + 0.01 * u(rng);
    });
    const int saved = omp_get_max_threads();
    std::unique_ptr<VELMORA_FFT> one, two;
    omp_set_num_threads(1);
    quiet([&] { one = velmora_fft_new_from_cube(cube.get()); });
    omp_set_num_threads(2);
    quiet([&] { two = velmora_fft_new_from_cube(cube.get()); });
    omp_set_num_threads(saved);
    ASSERT_TRUE(one && two);
    auto same = [](const VELMORA_FFT_GRID& x, const VELMORA_FFT_GRID& y) {
      return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * 8) == 0;
    };
    for (int d = 0; d < 3; ++d) EXPECT_TRUE(same(one->f[d], two->f[d]));
    for (int m = 0; m < 6; ++m) EXPECT_TRUE(same(one->k[m], two->k[m]));
  }
}

TEST(VelmoraFft, LaplacianIsTheTraceAndSlopeTheGradientLength) {
  const double a[3][3] = {{4.0, 0, 0}, {0, 4.0, 0}, {0, 0, 4.0}};
  const long n[3] = {16, 16, 16};
  auto cube = sample(n, a, [](double x, double y, double z) {
    return 0.3 * c1(x) + 0.2 * c1(y) * c1(z);
  });
  std::unique_ptr<VELMORA_FFT> fft;
  quiet([&] { fft = velmora_fft_new_from_cube(cube.get()); });
  ASSERT_TRUE(fft);
  std::unique_ptr<VELMORA_CUBE> lap = velmora_fft_laplacian(fft.get());
  std::unique_ptr<VELMORA_CUBE> slope = velmora_fft_slope(fft.get());
  ASSERT_TRUE(lap && slope);
  const double w = 2 * kPi / 4.0;
  for (long i = 0; i < 16; ++i)
    for (long j = 0; j < 16; ++j)
      for (long k = 0; k < 16; ++k) {
        const double x = i / 16.0, y = j / 16.0, z = k / 16.0;
        const double cx = std::cos(2 * kPi * x), cy = std::cos(2 * kPi * y),
                     cz = std::cos(2 * kPi * z);
        // Laplacian of 0.3 (1 - cos) + 0.2 (1 - cos y)(1 - cos z).
        const double expected = w * w * (0.3 * cx + 0.2 * cy * c1(z) + 0.2 * c1(y) * cz);
        EXPECT_NEAR(velmora_cube_at(*lap, i, j, k), expected, 1e-6);
        const double gx = 0.3 * w * std::sin(2 * kPi * x);
        const double gy = 0.2 * w * std::sin(2 * kPi * y) * c1(z);
        const double gz = 0.2 * w * c1(y) * std::sin(2 * kPi * z);
        EXPECT_NEAR(velmora_cube_at(*slope, i, j, k), std::sqrt(gx * gx + gy * gy + gz * gz), 1e-6);
      }
}

// Central differences of a real landscape (Li2O, Li+ at 0.1 A) against the
// Fourier derivatives over the region within 1 eV of the lowest energy,
// where the landscape is smooth on the grid scale.
TEST(VelmoraFft, FiniteDifferencesOnARealLandscape) {
  REQUIRE_DATA();
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  std::unique_ptr<VELMORA_CUBE> cube;
  quiet([&] {
    velmora_cell_import_cif_from_file(cell, symmetry,
                                      (std::string(BV_TEST_DATA_DIR) + "/validation/Li2O.cif").c_str(),
                                      shipped_data::kSymcards.c_str(), shipped_data::kUnitary.c_str());
    if (cell)
      ppt = velmora_property_import_from_cell(cell.get(), "Li", 1, 0.75,
                                              shipped_data::kUnitary.c_str(),
                                              shipped_data::kBinary.c_str());
    if (ppt) cube = velmora_cube_calculate(cell.get(), symmetry.get(), ppt.get(), 0.1, true);
  });
  ASSERT_TRUE(cube);
  std::unique_ptr<VELMORA_FFT> fft;
  quiet([&] { fft = velmora_fft_new_from_cube(cube.get()); });
  ASSERT_TRUE(fft);
  const long* n = cube->n;
  double low = cube->en[0];
  for (double e : cube->en) low = std::min(low, e);
  const double h = cube->a_i[0][0];  // cubic cell along x, y, z
  double g2 = 0, gd = 0, k2 = 0, kd = 0;
  long points = 0;
  auto at = [&](long i, long j, long k) {
    return velmora_cube_at(*cube, (i + n[0]) % n[0], (j + n[1]) % n[1], (k + n[2]) % n[2]);
  };
  for (long i = 0; i < n[0]; ++i)
    for (long j = 0; j < n[1]; ++j)
      for (long k = 0; k < n[2]; ++k) {
        const double e0 = at(i, j, k);
        if (e0 > low + 1.0) continue;
        const std::size_t p = static_cast<std::size_t>((i * n[1] + j) * n[2] + k);
        const long step[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (int d = 0; d < 3; ++d) {
          const double up = at(i + step[d][0], j + step[d][1], k + step[d][2]);
          const double dn = at(i - step[d][0], j - step[d][1], k - step[d][2]);
          const double g = (up - dn) / (2 * h), kk = (up - 2 * e0 + dn) / (h * h);
          g2 += g * g;
          gd += (g - fft->f[d][p]) * (g - fft->f[d][p]);
          k2 += kk * kk;
          kd += (kk - fft->k[velmora_fft_k(d, d)][p]) * (kk - fft->k[velmora_fft_k(d, d)][p]);
        }
        ++points;
      }
  ASSERT_GT(points, 1000);
  EXPECT_LT(std::sqrt(gd / g2), 0.05) << "gradient";
  EXPECT_LT(std::sqrt(kd / k2), 0.05) << "second derivatives";
}

// A separable cosine landscape has one minimum, three saddles of each
// order and one maximum, at the grid points where each cosine is extreme.
TEST(VelmoraFftCritical, SeparableCosinesAndAMinimumBetweenGridPoints) {
  auto cube = topology_fixture::separable(0.1, 0.25, 0.4);
  std::unique_ptr<VELMORA_FFT> fft;
  std::unique_ptr<VELMORA_FFTDOT_LIST> list;
  std::string out;
  quiet([&] {
    fft = velmora_fft_new_from_cube(cube.get());
    list = velmora_fftdot_list_new_from_fft(fft.get());
  }, &out);
  ASSERT_TRUE(list);
  EXPECT_NE(out.find("Message: found 8 critical points via fft method."), std::string::npos);
  ASSERT_EQ(list->total, 8);
  const int count[4] = {1, 3, 3, 1};
  int seen[7] = {};
  for (const VELMORA_FFTDOT& d : list->dot) {
    ++seen[d.type];
    const int up = (d.x_i[0] == 12) + (d.x_i[1] == 15) + (d.x_i[2] == 18);
    EXPECT_EQ(static_cast<int>(d.type), FFT_MIN + up);  // each half-way index adds one negative curvature
  }
  for (int t = 0; t < 4; ++t) EXPECT_EQ(seen[FFT_MIN + t], count[t]);
  // Sorted by type, then energy.
  for (long m = 1; m < list->total; ++m) EXPECT_LE(list->dot[m - 1].type, list->dot[m].type);

  // The minimum 0.3 grid steps off the grid: listed at the nearest point.
  const long n[3] = {24, 24, 24};
  const double a[3][3] = {{4.0, 0, 0}, {0, 4.0, 0}, {0, 0, 4.0}};
  auto shifted = sample(n, a, [](double x, double y, double z) {
    return 0.2 * c1(x - 0.3 / 24) + 0.2 * c1(y + 0.3 / 24) + 0.3 * c1(z);
  });
  quiet([&] {
    fft = velmora_fft_new_from_cube(shifted.get());
    list = velmora_fftdot_list_new_from_fft(fft.get());
  });
  ASSERT_TRUE(list);
  long minima = 0;
  for (const VELMORA_FFTDOT& d : list->dot)
    if (d.type == FFT_MIN) {
      ++minima;
      EXPECT_EQ(d.x_i[0], 0);
      EXPECT_EQ(d.x_i[1], 0);
      EXPECT_EQ(d.x_i[2], 0);
    }
  EXPECT_EQ(minima, 1);
  // The cap keeps points up to 0.5 eV above the minimum; non-positive caps
  // are not applied by the driver.
  EXPECT_EQ(velmora_fftdot_list_filter(list.get(), 0.5), 0);
  for (const VELMORA_FFTDOT& d : list->dot) EXPECT_LE(d.en, 0.5 + 1e-9);
}

// Of two diagonal-neighbour points of one type the one nearer the cell
// boundary goes; survivors keep their data.
TEST(VelmoraFftCritical, MergeNearKeepsThePointFurtherFromTheBoundary) {
  auto list = velmora_fftdot_list_new(3);
  ASSERT_TRUE(list);
  for (int d = 0; d < 3; ++d) list->n[d] = 10;
  const long x[3][3] = {{5, 5, 5}, {4, 4, 4}, {5, 5, 7}};
  for (int m = 0; m < 3; ++m) {
    list->dot[m].type = FFT_MIN;
    list->dot[m].en = 0.1 * m;
    for (int d = 0; d < 3; ++d) list->dot[m].x_i[d] = x[m][d];
  }
  ASSERT_EQ(velmora_fftdot_list_merge_near(list.get()), 0);
  ASSERT_EQ(list->total, 2);
  EXPECT_EQ(list->dot[0].x_i[0], 5);
  EXPECT_DOUBLE_EQ(list->dot[0].en, 0.0);
  EXPECT_EQ(list->dot[1].x_i[2], 7);
}

TEST(VelmoraFft, RefusesBadInput) {
  std::string err;
  quiet([&] {
    EXPECT_EQ(velmora_fft_new_from_cube(nullptr), nullptr);
    const long bad[3] = {4, 0, 4};
    EXPECT_EQ(velmora_fftcube_new(bad), nullptr);
    const long n[3] = {4, 4, 4};
    auto cube = velmora_fftcube_new(n);
    const int dir[3] = {0, 0, 0};
    EXPECT_EQ(velmora_fftcube_differentiate_dft(cube.get(), 3, dir), nullptr);
    EXPECT_EQ(velmora_fftcube_differentiate(cube.get(), -1, dir), nullptr);
  }, nullptr, &err);
  EXPECT_NE(err.find("Error: order must be 1 or 2.\n"), std::string::npos);
  EXPECT_NE(err.find("Error: order must not be negative.\n"), std::string::npos);
  std::string name;
  quiet([&] { EXPECT_FALSE(velmora_topology_output_name(name, std::string(1020, 'x').c_str(), ".fft.cif", 1023)); },
        nullptr, &err);
  EXPECT_NE(err.find("too long"), std::string::npos);
  EXPECT_TRUE(velmora_topology_output_name(name, "a", ".fft.cif", 1023));
  EXPECT_EQ(name, "a.fft.cif");
}

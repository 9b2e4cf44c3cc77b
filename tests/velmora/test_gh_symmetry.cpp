// Symmetry of the site graph on grids whose lattice has more symmetry than
// the 26 block neighbours: the neighbour set of each kind of grid, and on a
// hexagonal landscape (wells of Li3N's sites and interstitials, 6/mmm) a
// graph that holds every symmetry image of every hop and a kinetic Monte
// Carlo with D_xx = D_yy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <vector>

#include "topology_fixture.h"
#include "velmora-fft.h"
#include "velmora-gh.h"
#include "velmora-kmc.h"

namespace {

using topology_fixture::quiet;
using topology_fixture::sample;

std::set<std::array<int, 3>> offsets_of(const VELMORA_GRID_NEIGHBOURS& nb) {
  std::set<std::array<int, 3>> out;
  for (int k = 0; k < nb.total; ++k) out.insert({nb.offset[k][0], nb.offset[k][1], nb.offset[k][2]});
  return out;
}

const double kS3 = std::sqrt(3.0);
// Li3N: a = 3.648, c = 3.875 A, gamma = 120 degrees.
const double kHex[3][3] = {{3.648, 0, 0}, {-1.824, 1.824 * kS3, 0}, {0, 0, 3.875}};

// Gaussian wells (fractional centre, depth eV, width A) over their 27
// nearest lattice images.
struct Well {
  double f[3];
  double depth, width;
};
double wells(const std::vector<Well>& w, double x, double y, double z) {
  double e = 0.0;
  for (const Well& s : w)
    for (int i = -1; i <= 1; ++i)
      for (int j = -1; j <= 1; ++j)
        for (int k = -1; k <= 1; ++k) {
          const double f[3] = {x - s.f[0] - i, y - s.f[1] - j, z - s.f[2] - k};
          double r2 = 0.0;
          for (int c = 0; c < 3; ++c) {
            const double v = f[0] * kHex[0][c] + f[1] * kHex[1][c] + f[2] * kHex[2][c];
            r2 += v * v;
          }
          e -= s.depth * std::exp(-r2 / (2 * s.width * s.width));
        }
  return e;
}

// Li2-like wells in the plane z = 0 (2c), Li1-like between the planes (1b)
// and interstitial wells at the edge centres of the plane (3f): hops within
// the plane and along c, in every direction of the hexagonal net.
std::vector<Well> li3n_like() {
  return {{{1.0 / 3, 2.0 / 3, 0}, 1.0, 0.7},
          {{2.0 / 3, 1.0 / 3, 0}, 1.0, 0.7},
          {{0, 0, 0.5}, 0.8, 0.7},
          {{0.5, 0, 0}, 0.6, 0.35},
          {{0, 0.5, 0}, 0.6, 0.35},
          {{0.5, 0.5, 0}, 0.6, 0.35}};
}

// The 24 operations of 6/mmm on fractional coordinates of the hexagonal
// cell (rows act on (x, y, z)), from the 6-fold axis, the mirror x <-> y and
// the inversion.
std::vector<std::array<int, 9>> hexagonal_operations() {
  const std::array<int, 9> six = {1, -1, 0, 1, 0, 0, 0, 0, 1};
  const std::array<int, 9> mirror = {0, 1, 0, 1, 0, 0, 0, 0, 1};
  const std::array<int, 9> inversion = {-1, 0, 0, 0, -1, 0, 0, 0, -1};
  std::vector<std::array<int, 9>> ops = {{1, 0, 0, 0, 1, 0, 0, 0, 1}};
  auto product = [](const std::array<int, 9>& a, const std::array<int, 9>& b) {
    std::array<int, 9> c{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int k = 0; k < 3; ++k) c[3 * i + j] += a[3 * i + k] * b[3 * k + j];
    return c;
  };
  for (std::size_t k = 0; k < ops.size(); ++k)
    for (const auto& g : {six, mirror, inversion}) {
      const auto m = product(g, ops[k]);
      if (std::find(ops.begin(), ops.end(), m) == ops.end()) ops.push_back(m);
    }
  return ops;
}

void frac_of(double f[3], const double x[3], const double a[3][3]) {
  // Inverse of the hexagonal lattice rows, written out.
  const double z = x[2] / a[2][2];
  const double y = x[1] / a[1][1];
  const double xx = (x[0] - y * a[1][0]) / a[0][0];
  f[0] = xx;
  f[1] = y;
  f[2] = z;
}

struct HexGraph {
  std::unique_ptr<VELMORA_FPCUBE> map;
  std::unique_ptr<VELMORA_FPHALF_LIST> list;
  std::unique_ptr<VELMORA_GRAPH> graph;
};

HexGraph hex_graph(long n_ab, long n_c) {
  HexGraph h;
  const long n[3] = {n_ab, n_ab, n_c};
  const std::vector<Well> w = li3n_like();
  auto cube = sample(n, kHex, [&](double x, double y, double z) { return wells(w, x, y, z); });
  VELMORA_CELL cell;
  for (int d = 0; d < 3; ++d)
    for (int c = 0; c < 3; ++c) cell.a[d][c] = kHex[d][c];
  const VELMORA_PROPERTY ppt = topology_fixture::lithium();
  quiet([&] {
    h.map = velmora_fpcube_new_from_cube(cube.get());
    std::unique_ptr<VELMORA_FFT> fft = velmora_fft_new_from_cube(cube.get());
    h.list = velmora_fphalf_list_new_from_fpcube(h.map.get());
    h.graph = velmora_graph_new_filled(h.map.get(), h.list.get(), fft.get(), &cell, &ppt);
  });
  return h;
}

// The vertex at fractional position f (any lattice image) within `tol` A,
// and the lattice translation from the vertex to f; -1 when none.
long vertex_at(const VELMORA_GRAPH& g, const double f[3], double tol, int t[3]) {
  for (long v = 0; v < g.total_v; ++v) {
    double fv[3];
    frac_of(fv, g.v[v].x, g.a);
    double d[3], x[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c) {
      d[c] = f[c] - fv[c];
      t[c] = static_cast<int>(std::lround(d[c]));
      d[c] -= t[c];
    }
    for (int c = 0; c < 3; ++c) x[c] = d[0] * g.a[0][c] + d[1] * g.a[1][c] + d[2] * g.a[2][c];
    if (std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]) < tol) return v;
  }
  return -1;
}

}  // namespace

// The 26 block offsets on cubic and tetragonal grids and on hexagonal
// cells with unequal counts along a and b; on a hexagonal grid the long
// in-plane diagonal with its images under the 3-fold axis, 38 in all,
// closed under the grid's symmetries.
TEST(VelmoraHexagonal, NeighbourSetsFollowTheGridSymmetry) {
  const double cubic[3][3] = {{0.2, 0, 0}, {0, 0.2, 0}, {0, 0, 0.2}};
  const long n24[3] = {24, 24, 24};
  EXPECT_EQ(velmora_grid_neighbours(cubic, n24).total, 26);
  const double tetragonal[3][3] = {{0.2, 0, 0}, {0, 0.2, 0}, {0, 0, 0.31}};
  EXPECT_EQ(velmora_grid_neighbours(tetragonal, n24).total, 26);
  double step[3][3];
  for (int d = 0; d < 3; ++d)
    for (int c = 0; c < 3; ++c) step[d][c] = kHex[d][c] / 24;
  const VELMORA_GRID_NEIGHBOURS hex = velmora_grid_neighbours(step, n24);
  ASSERT_EQ(hex.total, 38);
  const std::set<std::array<int, 3>> set = offsets_of(hex);
  for (int c = -1; c <= 1; ++c)
    for (const auto& o : {std::array<int, 3>{1, -1, c}, {2, 1, c}, {1, 2, c}, {-2, -1, c}})
      EXPECT_TRUE(set.count(o)) << o[0] << " " << o[1] << " " << o[2];
  EXPECT_FALSE(set.count({2, -1, 0}));
  // Every 6/mmm operation carries the set onto itself.
  for (const auto& m : hexagonal_operations())
    for (const auto& o : set) {
      std::array<int, 3> image;
      for (int r = 0; r < 3; ++r) image[r] = m[3 * r] * o[0] + m[3 * r + 1] * o[1] + m[3 * r + 2] * o[2];
      EXPECT_TRUE(set.count(image));
    }
  // The adjacency within the neighbourhood is that of the offsets.
  const int a[3] = {1, 0, 0}, b[3] = {2, 1, 0}, far[3] = {-1, -1, 0};
  EXPECT_TRUE(hex.adjacency[hex.find(a)] >> hex.find(b) & 1);
  EXPECT_FALSE(hex.adjacency[hex.find(far)] >> hex.find(b) & 1);
  // A hexagonal lattice sampled with different counts along a and b has no
  // 3-fold axis on its grid.
  const long uneven[3] = {24, 30, 24};
  for (int c = 0; c < 3; ++c) step[1][c] = kHex[1][c] / 30;
  EXPECT_EQ(velmora_grid_neighbours(step, uneven).total, 26);
}

// Every hop of the hexagonal landscape's graph has all its images under
// the 24 operations of 6/mmm: a hop from the image of its start vertex to
// the image of its end vertex, over the image translation, at the same
// saddle energy.
TEST(VelmoraHexagonal, GraphHoldsEverySymmetryImageOfEveryHop) {
  HexGraph h = hex_graph(24, 24);
  ASSERT_TRUE(h.graph);
  const VELMORA_GRAPH& g = *h.graph;
  ASSERT_EQ(g.total_v, 6);  // two Li2, one Li1, three interstitial sites
  ASSERT_GT(g.total_e, 0);
  // Vertex positions may sit one grid step off their image where two
  // symmetric grid points tie.
  const double tol = 0.2;
  const auto ops = hexagonal_operations();
  ASSERT_EQ(ops.size(), 24u);
  long missing = 0, checked = 0;
  for (long q = 0; q < g.total_e; q += 2) {
    const VELMORA_GRAPH_EDGE& e = g.e[q];
    double fa[3], fb[3];
    frac_of(fa, g.v[e.v_i].x, g.a);
    frac_of(fb, g.v[e.v_f].x, g.a);
    for (int c = 0; c < 3; ++c) fb[c] += e.bound[c];
    for (const auto& m : ops) {
      double ia[3], ib[3];
      for (int r = 0; r < 3; ++r) {
        ia[r] = m[3 * r] * fa[0] + m[3 * r + 1] * fa[1] + m[3 * r + 2] * fa[2];
        ib[r] = m[3 * r] * fb[0] + m[3 * r + 1] * fb[1] + m[3 * r + 2] * fb[2];
      }
      int ta[3], tb[3];
      const long A = vertex_at(g, ia, tol, ta), B = vertex_at(g, ib, tol, tb);
      ASSERT_GE(A, 0);
      ASSERT_GE(B, 0);
      bool found = false;
      for (long r : g.v[A].e) {
        const VELMORA_GRAPH_EDGE& f = g.e[r];
        if (f.v_f != B || std::fabs(f.en - e.en) > 1e-6) continue;
        found = found || (f.bound[0] == tb[0] - ta[0] && f.bound[1] == tb[1] - ta[1] &&
                          f.bound[2] == tb[2] - ta[2]);
      }
      ++checked;
      if (!found) ++missing;
    }
  }
  EXPECT_EQ(missing, 0) << "of " << checked << " hop images";
}

// The Fourier curvature at a site on the 3-fold axis is isotropic in the
// plane, also for a landscape with sharp features (a 100 eV peak of 0.12 A
// on the nitrogen site: Fourier coefficients up to the zone boundary) on a
// lattice read from a cube header (six decimals in bohr): the derivative
// takes each coefficient's shortest wave vector (a hexagonal zone), not
// the box of the grid indices.
TEST(VelmoraHexagonal, FourierCurvatureIsIsotropicOnTheThreeFoldAxis) {
  const long n[3] = {24, 24, 24};
  std::vector<Well> w = li3n_like();
  w.push_back({{0, 0, 0}, -100.0, 0.12});
  auto cube = sample(n, kHex, [&](double x, double y, double z) { return wells(w, x, y, z); });
  constexpr double kBohr = 1.889725989;
  for (int d = 0; d < 3; ++d)
    for (int c = 0; c < 3; ++c) {
      cube->a_i[d][c] = std::round(kHex[d][c] / n[d] * kBohr * 1e6) / 1e6 / kBohr;
      cube->a[d][c] = cube->a_i[d][c] * n[d];
    }
  std::unique_ptr<VELMORA_FFT> fft;
  quiet([&] { fft = velmora_fft_new_from_cube(cube.get()); });
  ASSERT_TRUE(fft);
  for (const std::array<long, 3>& site : {std::array<long, 3>{8, 16, 0}, {16, 8, 0}}) {
    long x[3] = {site[0], site[1], site[2]};
    VELMORA_FFTDOT dot;
    ASSERT_EQ(velmora_fftdot_read_from_fft(&dot, fft.get(), x), 0);
    EXPECT_NEAR(dot.k[0][0], dot.k[1][1], 1e-4 * std::fabs(dot.k[0][0]));
    EXPECT_NEAR(dot.k[0][1], 0.0, 1e-4 * std::fabs(dot.k[0][0]));
    EXPECT_NEAR(dot.k[0][2], 0.0, 1e-6);  // the mirror plane z = 0
  }
}

// Dilute kinetic Monte Carlo on the hexagonal graph: D_xx = D_yy within
// the runs' errors (a crystal with a 3- or 6-fold axis along z has an
// isotropic diffusion tensor in the plane).
TEST(VelmoraHexagonal, KmcDiffusesEquallyAlongXAndY) {
  HexGraph h = hex_graph(24, 24);
  ASSERT_TRUE(h.graph);
  h.graph->total_occ = 0.0;
  for (VELMORA_GRAPH_VERTEX& v : h.graph->v) v.occ = 0.0;
  const int s[3] = {6, 6, 6};
  std::unique_ptr<VELMORA_GRAPH> super;
  quiet([&] { super = velmora_graph_new_supergraph(h.graph.get(), s); });
  ASSERT_TRUE(super);
  super->total_occ = 24;  // 24 ions on 216 cells: nearly independent walkers
  const VELMORA_PROPERTY p = topology_fixture::lithium();
  auto kmc = velmora_kmc_new(std::move(super), &p, 0.0);
  ASSERT_TRUE(kmc);
  kmc->temperature = 1500.0;
  kmc->t_limit = 0.0;
  kmc->step_limit = 60000;
  kmc->step_log = 60000;
  kmc->progress = false;
  std::srand(3);
  double d[2] = {0, 0}, err2[2] = {0, 0};
  const int runs = 4;
  bool ok = true;
  quiet([&] {
    ok = velmora_kmc_init(kmc.get()) == 0;
    for (int k = 0; k < runs && ok; ++k) {
      ok = velmora_kmc_calculate_conductivity(kmc.get()) == 0;
      for (int c = 0; c < 2; ++c) err2[c] += std::pow(kmc->diffusivity_error[c], 2);
    }
  });
  ASSERT_TRUE(ok);
  for (int c = 0; c < 2; ++c) {
    d[c] = kmc->diffusivity[c] / runs;
    err2[c] /= runs * runs;
  }
  ASSERT_GT(d[0], 0.0);
  EXPECT_LT(std::fabs(d[0] - d[1]), 3.0 * std::sqrt(err2[0] + err2[1]))
      << "D_xx " << d[0] << " D_yy " << d[1];
}

// A flat ring of minima (an annulus of exactly equal energies, as symmetry
// copies in a cube are) is one site: one vertex at the ring's centre, not
// one per grid minimum that the order of the grid leaves in it.
TEST(VelmoraHexagonal, FlatRingIsOneSiteAtItsCentre) {
  const long n[3] = {24, 24, 8};
  const double a[3][3] = {{4.8, 0, 0}, {0, 4.8, 0}, {0, 0, 1.6}};
  auto cube = sample(n, a, [](double x, double y, double z) {
    const long i = std::lround(x * 24) - 12, j = std::lround(y * 24) - 12;
    const long d2 = i * i + j * j;  // integer: equal energies exactly equal
    const double outside = d2 < 9 ? 9 - d2 : d2 > 36 ? d2 - 36 : 0;
    return 0.01 * outside + 0.5 * topology_fixture::c1(z);
  });
  VELMORA_CELL cell;
  for (int d = 0; d < 3; ++d)
    for (int c = 0; c < 3; ++c) cell.a[d][c] = a[d][c];
  const VELMORA_PROPERTY ppt = topology_fixture::lithium();
  std::unique_ptr<VELMORA_GRAPH> graph;
  quiet([&] {
    auto map = velmora_fpcube_new_from_cube(cube.get());
    auto fft = velmora_fft_new_from_cube(cube.get());
    auto list = velmora_fphalf_list_new_from_fpcube(map.get());
    graph = velmora_graph_new_filled(map.get(), list.get(), fft.get(), &cell, &ppt);
  });
  ASSERT_TRUE(graph);
  ASSERT_EQ(graph->total_v, 1);
  EXPECT_NEAR(graph->v[0].x[0], 2.4, 1e-9);
  EXPECT_NEAR(graph->v[0].x[1], 2.4, 1e-9);
  EXPECT_NEAR(graph->v[0].x[2], 0.0, 1e-9);
  EXPECT_NEAR(graph->v[0].en, 0.0, 1e-12);
  // The mean curvature of a ring is the same along x and y.
  EXPECT_NEAR(graph->v[0].eig[0], graph->v[0].eig[1], 1e-6 * std::fabs(graph->v[0].eig[2]));
}

// Kinetic Monte Carlo against results known in closed form: the random walk
// of dilute ions on a simple cubic lattice (D = hop rate per direction times
// a^2, an Arrhenius fit that returns the barrier), the occupancy of a ring of
// two site types in detailed balance, incremental rate updates against a
// full recomputation, and the rules that keep the statistics sound
// (barrier to the highest point, selection among positive rates only, mean
// over the placed ions, labels).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "topology_fixture.h"
#include "velmora-gh.h"
#include "velmora-kmc.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr double kPi = 3.14159265358979323846;
constexpr double kLi = 6.94;  // amu

struct Site {
  double f[3];  // fractional position
  double en;
  const char* name;
};
struct Hop {
  int from, to;
  int bound[3];     // cells from `from` to the image of `to`
  double saddle[3]; // fractional position of the saddle, in from's cell frame
  double en;
};

// A site graph on a cubic cell of edge a with isotropic curvature k at every
// site; every hop gives a pair of edges.  The saddle is taken in the cell of
// the start site (bound_i 0 forward, bound_f 0 backward).
std::unique_ptr<VELMORA_GRAPH> make_graph(double a, const std::vector<Site>& sites,
                                          const std::vector<Hop>& hops, double k,
                                          double occ_per_cell, int os = 1) {
  auto g = velmora_graph_new(static_cast<long>(sites.size()), 2 * static_cast<long>(hops.size()));
  for (int d = 0; d < 3; ++d) {
    g->n[d] = 8;
    g->a[d][d] = a;
    g->a_i[d][d] = a / 8;
  }
  for (std::size_t i = 0; i < sites.size(); ++i) {
    VELMORA_GRAPH_VERTEX& v = g->v[i];
    for (int c = 0; c < 3; ++c) {
      v.x[c] = sites[i].f[c] * a;
      v.x_i[c] = std::lround(sites[i].f[c] * 8);
      v.eig[c] = k;
      v.eiv[c][c] = 1.0;
    }
    v.en = sites[i].en;
    v.index = static_cast<long>(i);
    v.occ = occ_per_cell / sites.size();
    std::snprintf(v.name, sizeof v.name, "%s", sites[i].name);
  }
  for (std::size_t h = 0; h < hops.size(); ++h) {
    const Hop& hp = hops[h];
    VELMORA_GRAPH_EDGE& fw = g->e[2 * h];
    VELMORA_GRAPH_EDGE& bw = g->e[2 * h + 1];
    double from[3], to[3], s[3];
    for (int c = 0; c < 3; ++c) {
      from[c] = sites[hp.from].f[c] * a;
      to[c] = (sites[hp.to].f[c] + hp.bound[c]) * a;
      s[c] = hp.saddle[c] * a;
    }
    double lf = 0, lb = 0, l = 0;
    for (int c = 0; c < 3; ++c) {
      lf += (s[c] - from[c]) * (s[c] - from[c]);
      lb += (s[c] - to[c]) * (s[c] - to[c]);
      l += (to[c] - from[c]) * (to[c] - from[c]);
    }
    for (VELMORA_GRAPH_EDGE* e : {&fw, &bw}) {
      for (int c = 0; c < 3; ++c) {
        e->x[c] = s[c];
        e->x_i[c] = std::lround(hp.saddle[c] * 8);
      }
      e->en = hp.en;
      e->l = std::sqrt(l);
    }
    fw.index = 2 * h;
    bw.index = 2 * h + 1;
    fw.v_i = bw.v_f = hp.from;
    fw.v_f = bw.v_i = hp.to;
    fw.e_r = bw.index;
    bw.e_r = fw.index;
    for (int c = 0; c < 3; ++c) {
      fw.bound[c] = hp.bound[c];
      fw.bound_f[c] = hp.bound[c];
      fw.bound_i[c] = 0;
      bw.bound[c] = -hp.bound[c];
      bw.bound_i[c] = -hp.bound[c];
      bw.bound_f[c] = 0;
      fw.dir[c] = (s[c] - from[c]) / std::sqrt(lf);
      bw.dir[c] = (s[c] - to[c]) / std::sqrt(lb);
    }
    fw.barrier = hp.en - sites[hp.from].en;
    bw.barrier = hp.en - sites[hp.to].en;
  }
  for (long e = 0; e < g->total_e; ++e) {
    g->v[g->e[e].v_i].e.push_back(e);
    ++g->v[g->e[e].v_i].total_e;
  }
  std::snprintf(g->type, sizeof g->type, "Li");
  g->os = os;
  g->m = kLi;
  g->volume = a * a * a;
  g->total_occ = occ_per_cell;
  g->c = occ_per_cell / g->volume;
  return g;
}

// One site per cell, hops along the axes listed.
std::unique_ptr<VELMORA_GRAPH> simple_cubic(double a, double ea, double occ_per_cell,
                                            const std::vector<int>& axes) {
  std::vector<Hop> hops;
  for (int d : axes) {
    Hop h{0, 0, {0, 0, 0}, {0, 0, 0}, ea};
    h.bound[d] = 1;
    h.saddle[d] = 0.5;
    hops.push_back(h);
  }
  return make_graph(a, {{{0, 0, 0}, 0.0, "Li1"}}, hops, 2 * kPi * kPi * ea / (a * a),
                    occ_per_cell);
}


std::unique_ptr<VELMORA_KMC> make_kmc(std::unique_ptr<VELMORA_GRAPH> small, const int s[3],
                                      double cutoff, double temperature, long steps) {
  std::unique_ptr<VELMORA_GRAPH> super;
  ::testing::internal::CaptureStderr();
  super = velmora_graph_new_supergraph(small.get(), s);
  ::testing::internal::GetCapturedStderr();
  if (!super) return nullptr;
  const VELMORA_PROPERTY p = topology_fixture::lithium();
  auto kmc = velmora_kmc_new(std::move(super), &p, cutoff);
  if (!kmc) return nullptr;
  kmc->temperature = temperature;
  kmc->t_limit = 0.0;
  kmc->step_limit = steps;
  kmc->step_log = steps;
  kmc->progress = false;
  return kmc;
}

// Runs one conductivity calculation quietly; false on failure.
bool run(VELMORA_KMC* kmc, unsigned seed, std::string* out = nullptr) {
  std::srand(seed);
  ::testing::internal::CaptureStdout();
  const bool ok = velmora_kmc_init(kmc) == 0 && velmora_kmc_calculate_conductivity(kmc) == 0;
  const std::string text = ::testing::internal::GetCapturedStdout();
  if (out) *out = text;
  return ok;
}

// Analytic D of the dilute walk: rate per direction f exp(-Ea/kT) times a^2.
double analytic_d(double f, double ea, double t, double a) {
  return f * std::exp(-ea / (VELMORA_KB * t)) * a * a;
}

struct Estimate {
  double d[4] = {};
  double err[4] = {};  // standard error of the mean over the seeds
};

// Mean of D over `seeds` runs (each call re-places the ions and adds its
// results to the record), and its error from the runs' own block estimates.
Estimate walk(const std::vector<int>& axes, double temperature, int cells, double occ,
              int seeds, long steps) {
  Estimate e;
  // A chain (one axis) is run as 16 parallel chains, one ion each: ions on
  // one chain would block each other (single-file motion).
  const int s[3] = {cells, axes.size() > 1 ? cells : 4, axes.size() > 2 ? cells : 4};
  auto kmc = make_kmc(simple_cubic(3.0, 0.3, occ, axes), s, 0.0, temperature, steps);
  EXPECT_TRUE(kmc);
  if (!kmc) return e;
  std::srand(1000u + static_cast<unsigned>(temperature));
  ::testing::internal::CaptureStdout();
  bool ok = velmora_kmc_init(kmc.get()) == 0;
  for (int k = 0; k < seeds && ok; ++k) {
    ok = velmora_kmc_calculate_conductivity(kmc.get()) == 0;
    for (int c = 0; c < 4; ++c) e.err[c] += kmc->diffusivity_error[c] * kmc->diffusivity_error[c];
  }
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ok);
  for (int c = 0; c < 4; ++c) {
    e.d[c] = kmc->diffusivity[c] / seeds;
    e.err[c] = std::sqrt(e.err[c]) / seeds;
  }
  return e;
}

}  // namespace

TEST(VelmoraKmc, AttemptFrequencyFromTheCurvature) {
  const int s[3] = {2, 2, 2};
  auto kmc = make_kmc(simple_cubic(3.0, 0.3, 1.0, {0, 1, 2}), s, 0.0, 400, 100);
  ASSERT_TRUE(kmc);
  // f = 15.6 sqrt(K/m), K = 2 pi^2 Ea / a^2 along each axis.
  for (const auto& e : kmc->ke) EXPECT_NEAR(e.f, 4.8034, 2e-4);
}

// The curvature along a hop is d^T H d: with two equal eigenvalues any
// basis of their plane gives the same attempt frequency, K = k along x for
// the basis turned by 30 degrees (a sum of |d . e| would give 1.366 k), and
// K = (k + kz)/2 at 45 degrees out of the plane.
TEST(VelmoraKmc, AttemptFrequencyDoesNotDependOnTheEigenbasis) {
  const double k = 0.5, kz = 2.0;
  auto small = simple_cubic(3.0, 0.3, 1.0, {0, 1, 2});
  for (VELMORA_GRAPH_VERTEX& v : small->v) {
    const double c = std::cos(kPi / 6), s = std::sin(kPi / 6);
    const double rows[3][3] = {{c, s, 0}, {-s, c, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) v.eiv[i][j] = rows[i][j];
    v.eig[0] = v.eig[1] = k;
    v.eig[2] = kz;
  }
  const double r2 = std::sqrt(0.5);
  small->e[0].dir[0] = 1.0;  // along x
  small->e[0].dir[1] = small->e[0].dir[2] = 0.0;
  small->e[2].dir[0] = small->e[2].dir[2] = r2;  // 45 degrees out of the plane
  small->e[2].dir[1] = 0.0;
  const int s1[3] = {1, 1, 1};
  auto kmc = make_kmc(std::move(small), s1, 0.0, 400, 100);
  ASSERT_TRUE(kmc);
  EXPECT_NEAR(kmc->ke[0].f, 15.6 * std::sqrt(k / kLi), 1e-9);
  EXPECT_NEAR(kmc->ke[2].f, 15.6 * std::sqrt(0.5 * (k + kz) / kLi), 1e-9);
}

TEST(VelmoraKmc, DiluteSimpleCubicWalkGivesRateTimesASquared) {
  // 8000 sites holding 40 ions (0.5 %: blocking changes D by about that
  // much), 8 seeds; D at 600 K against 0.1306 A^2/ps within three errors.
  const int seeds = kSanitized ? 2 : 8;
  const Estimate e = walk({0, 1, 2}, 600.0, 20, 0.005, seeds, 8000);
  const double d = analytic_d(4.8034, 0.3, 600.0, 3.0);
  EXPECT_NEAR(d, 0.1306, 2e-4);
  EXPECT_GT(e.err[3], 0.0);
  EXPECT_LT(e.err[3], 0.2 * d);
  EXPECT_NEAR(e.d[3], d, 3.0 * e.err[3] + 0.01 * d);
  // Along one axis D_c = <dx_c^2>/(2t): each axis of the isotropic walk
  // equals the total, which is their mean.
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(e.d[c], d, 3.0 * e.err[c] + 0.01 * d);
  EXPECT_NEAR((e.d[0] + e.d[1] + e.d[2]) / 3.0, e.d[3], 1e-9 * e.d[3]);
}

TEST(VelmoraKmc, ChainGivesOneThirdOfTheLatticeValue) {
  const int seeds = kSanitized ? 4 : 16;
  const Estimate e = walk({0}, 600.0, 400, 1.0 / 400, seeds, 8000);
  // The chain's own axis has the walk's rate times a^2; the total, the mean
  // over three axes, a third of it.
  const double d = analytic_d(4.8034, 0.3, 600.0, 3.0) / 3.0;
  EXPECT_NEAR(e.d[3], d, 3.0 * e.err[3] + 0.02 * d);
  EXPECT_NEAR(e.d[0], 3.0 * d, 3.0 * e.err[0] + 0.06 * d);
  EXPECT_EQ(e.d[1], 0.0);
  EXPECT_EQ(e.d[2], 0.0);
}

TEST(VelmoraKmc, ArrheniusFitReturnsTheBarrier) {
  if (kSanitized) GTEST_SKIP() << "statistics run in the optimised build";
  const double temps[4] = {400, 500, 600, 800};
  const double expect[4] = {7.177e-3, 4.092e-2, 0.1306, 0.5570};
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int k = 0; k < 4; ++k) {
    // 69 ions on 13824 sites, 12 seeds: about 3 % on each D, 0.003 eV on
    // the fitted energy.
    const Estimate e = walk({0, 1, 2}, temps[k], 24, 0.005, 12, 14000);
    EXPECT_NEAR(analytic_d(4.8034, 0.3, temps[k], 3.0), expect[k], 2e-3 * expect[k]);
    EXPECT_NEAR(e.d[3], expect[k], 3.0 * e.err[3] + 0.01 * expect[k]) << temps[k];
    const double x = 1.0 / (VELMORA_KB * temps[k]);
    const double y = std::log(e.d[3]);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double slope = (4 * sxy - sx * sy) / (4 * sxx - sx * sx);
  EXPECT_NEAR(-slope, 0.300, 0.01);
  std::printf("Arrhenius energy of the walk: %.4f eV\n", -slope);
}

// Ring of alternating sites A (0 eV) and B (0.1 eV) with one ion: at 600 K
// the ion spends exp(-0.1/kT) / (1 + exp(-0.1/kT)) = 0.1263 of its time on B.
TEST(VelmoraKmc, RingOccupancyInDetailedBalance) {
  const double k = 1.0;
  auto small = make_graph(3.0, {{{0, 0, 0}, 0.0, "A"}, {{0.5, 0, 0}, 0.1, "B"}},
                          {{0, 1, {0, 0, 0}, {0.25, 0, 0}, 0.3},
                           {1, 0, {1, 0, 0}, {0.75, 0, 0}, 0.3}},
                          k, 0.0);
  const int s[3] = {8, 1, 1};
  auto kmc = make_kmc(std::move(small), s, 0.0, 600.0, kSanitized ? 40000 : 200000);
  ASSERT_TRUE(kmc);
  kmc->graph->total_occ = 1.0;  // one ion, placed on the lowest energy
  std::string out;
  ASSERT_TRUE(run(kmc.get(), 7u, &out));
  EXPECT_EQ(kmc->ions, 1);
  velmora_kmc_flush_time(kmc.get());
  double high = 0.0, all = 0.0;
  for (long v = 0; v < kmc->graph->total_v; ++v) {
    all += kmc->kv[v].t;
    if (kmc->graph->v[v].en > 0.05) high += kmc->kv[v].t;
  }
  EXPECT_NEAR(all, kmc->t_total, 1e-9 * kmc->t_total);
  const double expect = std::exp(-0.1 / (VELMORA_KB * 600)) / (1 + std::exp(-0.1 / (VELMORA_KB * 600)));
  EXPECT_NEAR(expect, 0.1263, 1e-4);
  EXPECT_NEAR(high / all, expect, kSanitized ? 0.012 : 0.005);
  // The printed summary agrees: group B holds 0.1263 of one ion over 8 sites.
  EXPECT_NE(out.find("KMC: [       B] 0.01"), std::string::npos) << out;
  EXPECT_NE(out.find("KMC: [   total] 1.000 / 1.000"), std::string::npos) << out;
  EXPECT_NE(out.find(") ps\n"), std::string::npos) << out;
  EXPECT_EQ(out.find(") fs\n"), std::string::npos);
}

// A repulsive, half-filled lattice: after thousands of events the rates kept
// by the incremental updates equal those of a full recomputation, the sum
// tree's total equals the plain sum, and no ion is lost or made.
TEST(VelmoraKmc, IncrementalRatesEqualFullRecomputation) {
 for (bool split : {false, true}) {
  auto small = make_graph(3.0, {{{0, 0, 0}, 0.0, "A"}, {{0.5, 0.5, 0.5}, 0.05, "B"}},
                          {{0, 1, {0, 0, 0}, {0.25, 0.25, 0.25}, 0.35},
                           {1, 0, {1, 0, 0}, {0.75, 0.5, 0.5}, 0.35},
                           {1, 0, {0, 1, 1}, {0.5, 0.75, 0.75}, 0.4}},
                          0.8, 0.6);
  // B as two split sites 0.6 A apart (repelling from the farther one).
  if (split) small->v[1].member = {{1.2, 1.5, 1.5}, {1.8, 1.5, 1.5}};
  const int s[3] = {4, 4, 4};
  auto kmc = make_kmc(std::move(small), s, 5.0, 500.0, 1000000);
  ASSERT_TRUE(kmc);
  std::srand(11);
  ASSERT_EQ(velmora_kmc_init(kmc.get()), 0);
  ASSERT_EQ(velmora_kmc_equilibrate(kmc.get()), 0);
  const long ions = kmc->ions;
  EXPECT_EQ(ions, 38);  // 64 cells x 0.6, whole part
  long repelled = 0;
  for (const auto& v : kmc->kv) repelled += v.total_v;
  EXPECT_GT(repelled, 0);
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 3000; ++k) ASSERT_EQ(velmora_kmc_evolve(kmc.get()), 0);
    std::vector<double> r;
    for (const auto& e : kmc->ke) r.push_back(e.r);
    const double tree = velmora_kmc_total_rate(kmc.get());
    ASSERT_EQ(velmora_kmc_update_rate_full(kmc.get()), 0);
    double sum = 0.0;
    for (std::size_t k = 0; k < r.size(); ++k) {
      ASSERT_EQ(r[k], kmc->ke[k].r) << "edge " << k;
      if (r[k] > 0) sum += r[k];
    }
    EXPECT_NEAR(tree, sum, 1e-12 * sum);
    long occupied = 0, carried = 0;
    for (const auto& v : kmc->kv) {
      occupied += v.occupied;
      carried += v.origin >= 0;
    }
    EXPECT_EQ(occupied, ions);
    EXPECT_EQ(carried, ions);
  }
 }
}

// Barrier to the highest of saddle and ends: with the saddle below the
// start (repulsion can do that) the rate is f, never above, and the ratio of
// the two directions is the Boltzmann factor of the end energies.
TEST(VelmoraKmc, BarrierRunsToTheHighestPoint) {
  auto small = make_graph(3.0, {{{0, 0, 0}, 0.5, "A"}, {{0.5, 0, 0}, 0.0, "B"}},
                          {{0, 1, {0, 0, 0}, {0.25, 0, 0}, 0.2},
                           {1, 0, {1, 0, 0}, {0.75, 0, 0}, 0.6}},
                          1.0, 0.0);
  const int s[3] = {2, 1, 1};
  auto kmc = make_kmc(std::move(small), s, 0.0, 600.0, 100);
  ASSERT_TRUE(kmc);
  const double kt = VELMORA_KB * 600.0;
  // One ion on A of cell 0 (vertex 0): hop 0 -> 1 over a saddle below A.
  kmc->kv[0].occupied = true;
  ASSERT_EQ(velmora_kmc_update_rate_full(kmc.get()), 0);
  const double forward = kmc->ke[0].r;
  EXPECT_DOUBLE_EQ(forward, kmc->ke[0].f);
  kmc->kv[0].occupied = false;
  kmc->kv[1].occupied = true;
  ASSERT_EQ(velmora_kmc_update_rate_full(kmc.get()), 0);
  const double backward = kmc->ke[1].r;
  EXPECT_NEAR(forward / backward, std::exp(0.5 / kt), 1e-9 * std::exp(0.5 / kt));
}

// A vertex standing for two split sites of the structure (members) holds
// its ion on the one farther from a neighbour: the repulsion of the pair
// is that of the far member, the same from either side, and a vertex
// without members repels from its own position.
TEST(VelmoraKmc, SplitSiteVertexRepelsFromItsFarMember) {
  auto graph_with = [](double member_shift) {
    auto g = make_graph(6.0, {{{0, 0, 0}, 0.0, "A"}, {{0.4, 0, 0}, 0.0, "B"}},
                        {{0, 1, {0, 0, 0}, {0.2, 0, 0}, 0.3}, {1, 0, {1, 0, 0}, {0.7, 0, 0}, 0.3}},
                        1.0, 0.0);
    // Vertex B at 2.4 A from A; its split sites 0.4 A either side along x.
    if (member_shift > 0)
      g->v[1].member = {{2.4 - member_shift, 0, 0}, {2.4 + member_shift, 0, 0}};
    return g;
  };
  const int one[3] = {1, 1, 1};
  auto split = make_kmc(graph_with(0.4), one, 4.0, 600, 100);
  auto plain = make_kmc(graph_with(0.0), one, 4.0, 600, 100);
  auto far = make_kmc(make_graph(6.0, {{{0, 0, 0}, 0.0, "A"}, {{2.8 / 6.0, 0, 0}, 0.0, "B"}},
                                 {{0, 1, {0, 0, 0}, {0.2, 0, 0}, 0.3}}, 1.0, 0.0),
                      one, 4.0, 600, 100);
  ASSERT_TRUE(split && plain && far);
  ASSERT_EQ(split->kv[0].total_v, 1);
  ASSERT_EQ(far->kv[0].total_v, 1);
  EXPECT_NEAR(split->kv[0].v_de[0], far->kv[0].v_de[0], 1e-12);  // as from 2.8 A
  EXPECT_NEAR(split->kv[1].v_de[0], split->kv[0].v_de[0], 1e-12);
  EXPECT_GT(plain->kv[0].v_de[0], 1.2 * split->kv[0].v_de[0]);  // 2.4 A repels more
}

TEST(VelmoraKmc, SelectionTakesOnlyPositiveRates) {
  auto small = make_graph(3.0, {{{0, 0, 0}, 0.0, "A"}}, {{0, 0, {1, 0, 0}, {0.5, 0, 0}, 0.3}},
                          1.0, 0.0);
  const int s[3] = {6, 1, 1};
  for (bool linear : {false, true}) {
    auto kmc = make_kmc(std::move(small), s, 0.0, 600.0, 100);
    small = make_graph(3.0, {{{0, 0, 0}, 0.0, "A"}}, {{0, 0, {1, 0, 0}, {0.5, 0, 0}, 0.3}},
                       1.0, 0.0);
    ASSERT_TRUE(kmc);
    kmc->linear = linear;
    kmc->kv[3].occupied = true;  // one ion: only the two hops out of vertex 3
    ASSERT_EQ(velmora_kmc_update_rate_full(kmc.get()), 0);
    for (double u : {0.0, 1e-300, 0.5, 1.0}) {
      const long k = velmora_kmc_select(kmc.get(), u);
      ASSERT_GE(k, 0);
      EXPECT_GT(kmc->ke[k].r, 0.0) << "u = " << u;
      EXPECT_EQ(kmc->graph->e[k].v_i, 3);
    }
    kmc->kv[3].occupied = false;
    ASSERT_EQ(velmora_kmc_update_rate_full(kmc.get()), 0);
    EXPECT_EQ(velmora_kmc_select(kmc.get(), 0.0), -1);
  }
}

// A total occupancy of 2.5 places two ions; the mean squared displacement
// is over those two.
TEST(VelmoraKmc, MeanOverThePlacedIons) {
  const int s[3] = {5, 5, 1};
  auto kmc = make_kmc(simple_cubic(3.0, 0.3, 0.1, {0, 1}), s, 0.0, 600.0, 2000);
  ASSERT_TRUE(kmc);
  ASSERT_NEAR(kmc->graph->total_occ, 2.5, 1e-12);
  ASSERT_TRUE(run(kmc.get(), 3u));
  EXPECT_EQ(kmc->ions, 2);
  double s2 = 0.0;
  for (const auto& v : kmc->kv)
    if (v.init) s2 += v.d[0] * v.d[0] + v.d[1] * v.d[1] + v.d[2] * v.d[2];
  EXPECT_NEAR(kmc->diffusivity[3], s2 / 2.0 / (6.0 * kmc->t), 1e-12 * kmc->diffusivity[3]);
  // Per axis <dx_c^2>/(2t), and the mobility and conductivity follow each
  // axis by the same Nernst-Einstein factors as the total.
  for (int c = 0; c < 3; ++c) {
    double sc = 0.0;
    for (const auto& v : kmc->kv)
      if (v.init) sc += v.d[c] * v.d[c];
    const double dc = sc / 2.0 / (2.0 * kmc->t);
    EXPECT_NEAR(kmc->diffusivity[c], dc, 1e-12 * kmc->diffusivity[3]);
    EXPECT_NEAR(kmc->mobility[c] / kmc->mobility[3], dc / kmc->diffusivity[3], 1e-9);
    EXPECT_NEAR(kmc->conductivity[c] / kmc->conductivity[3], dc / kmc->diffusivity[3], 1e-9);
  }
}

// Placement by weight fills exactly the whole part of the occupancy, also
// when the weights do not add up exactly in floating point.
TEST(VelmoraKmc, PlacementByWeightNeverRunsDry) {
  const int s[3] = {5, 6, 1};
  for (unsigned seed = 1; seed <= 20; ++seed) {
    auto kmc = make_kmc(simple_cubic(3.0, 0.3, 0.7, {0, 1}), s, 0.0, 600.0, 100);
    ASSERT_TRUE(kmc);
    std::srand(seed);
    ASSERT_EQ(velmora_kmc_init(kmc.get()), 0);
    EXPECT_EQ(kmc->ions, 21);
  }
}

TEST(VelmoraKmc, ExportsCarryTheIonsOxidationState) {
  auto small = make_graph(3.0, {{{0, 0, 0}, 0.0, "Mg1"}}, {{0, 0, {1, 0, 0}, {0.5, 0, 0}, 0.3}},
                          1.0, 0.5, 2);
  const int s[3] = {4, 1, 1};
  auto kmc = make_kmc(std::move(small), s, 0.0, 600.0, 100);
  ASSERT_TRUE(kmc);
  std::srand(5);
  ASSERT_EQ(velmora_kmc_init(kmc.get()), 0);
  auto cell = velmora_kmc_export_to_cell(kmc.get());
  ASSERT_TRUE(cell);
  ASSERT_EQ(cell->total, 4);
  int full = 0;
  for (const auto& a : cell->atom) {
    EXPECT_EQ(a.os, 2);
    full += a.occ == 1.0;
  }
  EXPECT_EQ(full, 2);
}

TEST(VelmoraKmc, BlockedLatticeStopsWithItsMessage) {
  const int s[3] = {3, 1, 1};
  auto kmc = make_kmc(simple_cubic(3.0, 0.3, 1.0, {0}), s, 0.0, 600.0, 100);
  ASSERT_TRUE(kmc);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(run(kmc.get(), 1u));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: overall rate is too small: 0.000e+00 (step 0)\n"), std::string::npos)
      << err;
}

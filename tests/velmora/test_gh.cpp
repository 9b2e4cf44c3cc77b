// Site graph, cycles and percolation thresholds: cosine landscapes with one
// site per cell (hops to the site's own periodic images) and a two-site
// chain, the invariants of a built graph, the supergraph, hand-made graphs
// for the cycle and network rules (connectedness in any order, parallel
// translations, equal barriers, no cycle), adjacent saddle points that hop
// each at its own energy, one hop per saddle region on a real landscape, Cartesian curvatures at the vertices of a hexagonal
// landscape, occupancies and names, and the site summary.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "shipped_data.h"
#include "topology_fixture.h"
#include "velmora-gh.h"
#include "velmora-import.h"

namespace {

using topology_fixture::c1;
using topology_fixture::lithium;
using topology_fixture::quiet;
using topology_fixture::sample;

// A cell over the lattice rows `a` with atoms (name, type, os, fractional
// position).
struct Site {
  const char* name;
  const char* type;
  int os;
  double f[3];
};
std::unique_ptr<VELMORA_CELL> make_cell(const double a[3][3], std::vector<Site> sites) {
  auto cell = velmora_cell_new(static_cast<long>(sites.size()));
  for (int d = 0; d < 3; ++d)
    for (int c = 0; c < 3; ++c) cell->a[d][c] = a[d][c];
  for (std::size_t m = 0; m < sites.size(); ++m) {
    VELMORA_ATOM& atom = cell->atom[m];
    std::snprintf(atom.name, sizeof atom.name, "%s", sites[m].name);
    std::snprintf(atom.type, sizeof atom.type, "%s", sites[m].type);
    atom.os = sites[m].os;
    atom.occ = 1.0;
    for (int c = 0; c < 3; ++c)
      atom.x[c] = sites[m].f[0] * a[0][c] + sites[m].f[1] * a[1][c] + sites[m].f[2] * a[2][c];
  }
  velmora_cell_update_fractional(cell.get());
  return cell;
}

struct Built {
  std::unique_ptr<VELMORA_FPCUBE> map;
  std::unique_ptr<VELMORA_FPHALF_LIST> list;
  std::unique_ptr<VELMORA_GRAPH> graph;
  std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> cycles;
  std::unique_ptr<VELMORA_GRAPH_NETWORK> network;
};

Built analyse(const VELMORA_CUBE* cube, const VELMORA_CELL* cell) {
  Built b;
  const VELMORA_PROPERTY ppt = lithium();
  quiet([&] {
    b.map = velmora_fpcube_new_from_cube(cube);
    std::unique_ptr<VELMORA_FFT> fft = velmora_fft_new_from_cube(cube);
    b.list = velmora_fphalf_list_new_from_fpcube(b.map.get());
    b.graph = velmora_graph_new_filled(b.map.get(), b.list.get(), fft.get(), cell, &ppt);
    if (b.graph) b.cycles = velmora_graph_cycle_list_new_from_graph(b.graph.get());
    if (b.cycles) b.network = velmora_graph_network_new_from_cycle_list(b.cycles.get(), b.graph.get());
  });
  return b;
}

const double kCubic[3][3] = {{4, 0, 0}, {0, 4, 0}, {0, 0, 4}};

// Pairs (2k, 2k+1) reverse each other; translations and boundary counts
// negate; every edge stands once in its start vertex's list.
void expect_invariants(const VELMORA_GRAPH& g) {
  ASSERT_EQ(g.total_e % 2, 0);
  for (long k = 0; k < g.total_e; ++k) {
    const VELMORA_GRAPH_EDGE& e = g.e[k];
    const VELMORA_GRAPH_EDGE& r = g.e[e.e_r];
    EXPECT_EQ(e.e_r, k % 2 ? k - 1 : k + 1);
    EXPECT_EQ(e.v_i, r.v_f);
    EXPECT_EQ(e.v_f, r.v_i);
    EXPECT_DOUBLE_EQ(e.en, r.en);
    EXPECT_DOUBLE_EQ(e.l, r.l);
    for (int d = 0; d < 3; ++d) {
      EXPECT_EQ(e.bound[d], -r.bound[d]);
      EXPECT_EQ(e.bound_i[d], -r.bound_f[d]);
      EXPECT_EQ(e.bound[d], e.bound_i[d] + e.bound_f[d]);
    }
    EXPECT_NEAR(e.barrier, e.en - g.v[e.v_i].en, 1e-12);
    const std::vector<long>& out = g.v[e.v_i].e;
    EXPECT_EQ(std::count(out.begin(), out.end(), k), 1);
  }
}

// A hand-made graph: vertices of the given energies (on a line along a),
// hop pairs (A, B, saddle energy, translation A -> B, length).
struct Hop {
  long A, B;
  double en;
  int bound[3];
  double l;
};
std::unique_ptr<VELMORA_GRAPH> hand_graph(std::vector<double> energy, std::vector<Hop> hops) {
  auto g = velmora_graph_new(static_cast<long>(energy.size()), 2 * static_cast<long>(hops.size()));
  for (int d = 0; d < 3; ++d) {
    g->n[d] = 10;
    for (int c = 0; c < 3; ++c) g->a[d][c] = kCubic[d][c] * 2.5;
  }
  for (long v = 0; v < g->total_v; ++v) {
    g->v[v].index = v;
    g->v[v].en = energy[v];
    g->v[v].x[0] = 0.5 * v;
  }
  for (long h = 0; h < static_cast<long>(hops.size()); ++h)
    for (int s = 0; s < 2; ++s) {
      VELMORA_GRAPH_EDGE& e = g->e[2 * h + s];
      e.index = 2 * h + s;
      e.e_r = 2 * h + 1 - s;
      e.v_i = s ? hops[h].B : hops[h].A;
      e.v_f = s ? hops[h].A : hops[h].B;
      e.en = hops[h].en;
      e.l = hops[h].l;
      e.barrier = e.en - energy[e.v_i];
      for (int d = 0; d < 3; ++d) e.bound[d] = s ? -hops[h].bound[d] : hops[h].bound[d];
      g->v[e.v_i].e.push_back(e.index);
      g->v[e.v_i].total_e = static_cast<int>(g->v[e.v_i].e.size());
    }
  return g;
}

}  // namespace

// One site per cell: every hop leads to the site's own image, and the
// network percolates at 2A, 2B, 2C.
TEST(VelmoraGraph, OneSitePerCellHopsToItsOwnImages) {
  auto cube = topology_fixture::separable(0.1, 0.25, 0.4);
  auto cell = make_cell(kCubic, {{"Li1", "Li", 1, {0, 0, 0}}, {"F1", "F", -1, {0.5, 0.5, 0.5}}});
  Built b = analyse(cube.get(), cell.get());
  ASSERT_TRUE(b.network);
  const VELMORA_GRAPH& g = *b.graph;
  ASSERT_EQ(g.total_v, 1);
  ASSERT_EQ(g.total_e, 6);
  expect_invariants(g);
  std::set<std::tuple<int, int, int>> bounds;
  for (const VELMORA_GRAPH_EDGE& e : g.e) {
    EXPECT_EQ(e.v_i, 0);
    EXPECT_EQ(e.v_f, 0);
    bounds.insert({std::abs(e.bound[0]), std::abs(e.bound[1]), std::abs(e.bound[2])});
    EXPECT_NEAR(e.l, 4.0, 1e-9);  // the hop to the next cell, not length 0
  }
  EXPECT_EQ(bounds.size(), 3u);
  EXPECT_STREQ(g.v[0].name, "Li1");
  EXPECT_NEAR(g.v[0].occ, 1.0, 1e-12);
  EXPECT_NEAR(b.network->e1, 0.2, 1e-6);
  EXPECT_NEAR(b.network->e2, 0.5, 1e-6);
  EXPECT_NEAR(b.network->e3, 0.8, 1e-6);
  EXPECT_DOUBLE_EQ(b.network->el, -1.0);
  // Each single-edge cycle is the even edge of its pair.
  for (const VELMORA_GRAPH_CYCLE& c : b.cycles->cycle) {
    ASSERT_EQ(c.total, 1);
    EXPECT_EQ(c.e[0] % 2, 0);
  }
}

// Two sites per cell along a (0 and 0.1 eV): 0.35 eV along the chain,
// 1.0 eV to cross b, 1.8 eV to cross c.
TEST(VelmoraGraph, TwoSiteChainKeepsItsTwoAndThreeDimensionalThresholds) {
  const long n[3] = {40, 24, 24};
  auto cube = sample(n, kCubic, [](double x, double y, double z) {
    return 0.15 * c1(2 * x) + 0.05 * c1(x) + 0.5 * c1(y) + 0.9 * c1(z);
  });
  auto cell = make_cell(kCubic, {{"Li1", "Li", 1, {0, 0, 0}}, {"F1", "F", -1, {0.5, 0.5, 0.5}}});
  Built b = analyse(cube.get(), cell.get());
  ASSERT_TRUE(b.network);
  ASSERT_EQ(b.graph->total_v, 2);
  expect_invariants(*b.graph);
  EXPECT_NEAR(b.network->e1, 0.3505, 0.001);
  EXPECT_NEAR(b.network->e2, 1.0, 1e-6);
  EXPECT_NEAR(b.network->e3, 1.8, 1e-6);
  // The site in the structure is named; the other minimum is interstitial.
  EXPECT_STREQ(b.graph->v[0].name, "Li1");
  EXPECT_STREQ(b.graph->v[1].name, "Li_i1");
  EXPECT_EQ(b.graph->v[0].site, 1);
  EXPECT_EQ(b.graph->v[1].site, 2);
  EXPECT_NEAR(b.graph->total_occ, 1.0, 1e-12);
  EXPECT_NEAR(b.graph->c, 1.0 / 64.0, 1e-12);
  // The summary text starts with its header and runs through the 1D, 2D,
  // 3D sections; r grows monotonically.
  std::unique_ptr<VELMORA_TEXT> text = velmora_graph_network_export_to_text(
      b.network.get(), b.cycles.get(), b.graph.get(), b.map.get(), b.list.get(), b.map->a);
  ASSERT_TRUE(text);
  const std::string t = text->c_str();
  EXPECT_EQ(t.rfind("r_coor, energy,   site, dn,      x,      y,      z, index\r\n", 0), 0u);
  for (const char* section : {", 1D,", ", 2D,", ", 3D,"}) EXPECT_NE(t.find(section), std::string::npos);
  double last = -1;
  std::size_t pos = t.find('\n') + 1;
  while (pos < t.size()) {
    const double r = std::atof(t.c_str() + pos);
    EXPECT_GE(r, last);
    last = r;
    pos = t.find('\n', pos) + 1;
    if (pos == 0) break;
  }
}

// Two saddle points one grid step apart: S1 (5,7) at 0.6 eV, first in grid
// order, leads from a dead-end basin R to the corridor of S2 (6,6) at
// 0.5 eV, which alone joins the sites P (6,2) and Q (8,8) of a chain along
// b closed by a pass of 0.4 eV.  Walls of about 1 eV, +2 eV off the plane.
// The chain conducts at S2's 0.5 eV above P, not at S1's 0.6 eV; crossing
// the walls along a costs 1.011 eV (the flood fill of
// tools/percolation_check.py on this grid), leaving the plane 2 eV.
TEST(VelmoraGraph, AdjacentSaddlesHopEachAtItsOwnEnergy) {
  const std::map<std::pair<int, int>, double> low = {
      {{6, 2}, 0.0},  {{6, 3}, 0.1},  {{6, 4}, 0.2},  {{6, 5}, 0.3}, {{6, 6}, 0.5},
      {{6, 7}, 0.35}, {{7, 7}, 0.3},  {{8, 8}, 0.2},  {{5, 7}, 0.6}, {{4, 7}, 0.4},
      {{3, 7}, 0.3},  {{2, 7}, 0.1},  {{8, 9}, 0.3},  {{7, 10}, 0.4}, {{6, 11}, 0.3},
      {{6, 0}, 0.2},  {{6, 1}, 0.1}};
  const long n[3] = {12, 12, 4};
  const double a[3][3] = {{4.8, 0, 0}, {0, 4.8, 0}, {0, 0, 2.0}};
  auto cube = sample(n, a, [&](double x, double y, double z) {
    const int i = static_cast<int>(std::lround(x * 12)), j = static_cast<int>(std::lround(y * 12));
    auto it = low.find({i, j});
    return (it != low.end() ? it->second : 1.0 + 0.001 * (i + 12 * j)) + (z > 0 ? 2.0 : 0.0);
  });
  auto cell = make_cell(a, {{"Li1", "Li", 1, {0.5, 2.0 / 12, 0}}, {"F1", "F", -1, {0, 0, 0.5}}});
  Built b = analyse(cube.get(), cell.get());
  ASSERT_TRUE(b.network);
  expect_invariants(*b.graph);
  EXPECT_NEAR(b.network->e1, 0.5, 1e-9);
  EXPECT_NEAR(b.network->e1_min, 0.0, 1e-9);
  EXPECT_NEAR(b.network->e1_max, 0.5, 1e-9);
  EXPECT_NEAR(b.network->e2, 1.011, 1e-9);
  EXPECT_NEAR(b.network->e3, 2.0, 1e-9);
  // Every hop sits on a saddle point at that point's energy; P and Q are
  // joined in the cell at S2's (and across b over the 0.4 eV pass).
  bool p_to_q = false;
  for (const VELMORA_GRAPH_EDGE& e : b.graph->e) {
    EXPECT_DOUBLE_EQ(e.en, velmora_cube_at(*cube, e.x_i[0], e.x_i[1], e.x_i[2]));
    const long* pi = b.graph->v[e.v_i].x_i;
    const long* pf = b.graph->v[e.v_f].x_i;
    if (pi[0] == 6 && pi[1] == 2 && pf[0] == 8 && pf[1] == 8 && e.bound[1] == 0)
      p_to_q = std::fabs(e.en - 0.5) < 1e-12;
  }
  EXPECT_TRUE(p_to_q);
}

TEST(VelmoraGraph, SupergraphRepeatsTheCells) {
  auto cube = topology_fixture::separable(0.1, 0.25, 0.4);
  auto cell = make_cell(kCubic, {{"Li1", "Li", 1, {0, 0, 0}}, {"F1", "F", -1, {0.5, 0.5, 0.5}}});
  Built b = analyse(cube.get(), cell.get());
  ASSERT_TRUE(b.graph);
  const int one[3] = {1, 1, 1};
  std::unique_ptr<VELMORA_GRAPH> same = velmora_graph_new_supergraph(b.graph.get(), one);
  ASSERT_TRUE(same);
  for (long k = 0; k < b.graph->total_e; ++k)
    for (int d = 0; d < 3; ++d) EXPECT_EQ(same->e[k].bound[d], b.graph->e[k].bound[d]);
  const int two[3] = {2, 1, 1};
  std::unique_ptr<VELMORA_GRAPH> super;
  quiet([&] { super = velmora_graph_new_supergraph(b.graph.get(), two); });
  ASSERT_TRUE(super);
  ASSERT_EQ(super->total_v, 2);
  ASSERT_EQ(super->total_e, 12);
  expect_invariants(*super);
  EXPECT_DOUBLE_EQ(super->a[0][0], 8.0);
  EXPECT_DOUBLE_EQ(super->v[1].x[0], 4.0);
  EXPECT_EQ(super->v[1].x_i[0], 24);
  EXPECT_NEAR(super->total_occ, 2.0, 1e-12);
  for (const VELMORA_GRAPH_EDGE& e : super->e) {
    if (e.bound[1] != 0 || e.bound[2] != 0) {
      EXPECT_EQ(e.v_f, e.v_i);  // hops across b and c stay in their cell copy
      continue;
    }
    EXPECT_NE(e.v_f, e.v_i);  // a hop along a reaches the other copy
    // From cell 0 towards +a: no boundary; from cell 1 towards +a: one.
    const int along = b.graph->e[e.index % 6].bound[0];
    EXPECT_EQ(e.bound[0], e.v_i == 0 ? (along > 0 ? 0 : -1) : (along > 0 ? 1 : 0));
  }
  const int bad[3] = {1, 0, 1};
  std::string err;
  quiet([&] { EXPECT_EQ(velmora_graph_new_supergraph(b.graph.get(), bad), nullptr); }, nullptr, &err);
  EXPECT_NE(err.find("Error: supercell vector must be positive.\n"), std::string::npos);
}

// Cycles 0-2 and 1-2 share vertices, 0-1 do not: connected, whatever the
// order in which they are given.
TEST(VelmoraNetwork, ConnectednessDoesNotDependOnOrder) {
  auto g = hand_graph({0, 0, 0, 0}, {{0, 1, 1, {0, 0, 0}, 1}, {2, 3, 1, {0, 0, 0}, 1},
                                     {1, 2, 1, {0, 0, 0}, 1}});
  VELMORA_GRAPH_CYCLE x0, x1, x2;
  x0.e = {0, 1};  // vertices 0, 1
  x1.e = {2, 3};  // vertices 2, 3
  x2.e = {4, 5};  // vertices 1, 2
  const std::vector<std::vector<const VELMORA_GRAPH_CYCLE*>> orders = {
      {&x0, &x1, &x2}, {&x2, &x0, &x1}, {&x1, &x0, &x2}};
  for (const auto& order : orders) EXPECT_TRUE(velmora_graph_cycles_is_connected(order.data(), 3, g.get()));
  const VELMORA_GRAPH_CYCLE* apart[2] = {&x0, &x1};
  EXPECT_FALSE(velmora_graph_cycles_is_connected(apart, 2, g.get()));
}

TEST(VelmoraNetwork, ThresholdRules) {
  // No cycle at all: every threshold -1.
  {
    auto g = hand_graph({0, 0.1}, {{0, 1, 0.5, {0, 0, 0}, 1}});
    VELMORA_GRAPH_CYCLE_LIST none;
    auto net = velmora_graph_network_new_from_cycle_list(&none, g.get());
    ASSERT_TRUE(net);
    EXPECT_EQ(net->e1, -1.0);
    EXPECT_EQ(net->e2, -1.0);
    EXPECT_EQ(net->e3, -1.0);
    EXPECT_EQ(net->el, -1.0);
    std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> cycles;
    quiet([&] { cycles = velmora_graph_cycle_list_new_from_graph(g.get()); });
    ASSERT_TRUE(cycles);
    EXPECT_TRUE(cycles->cycle.empty());
  }
  // One vertex, two parallel translations (rank 1): 1-D only, the shorter
  // of two equal barriers; a local loop from two hops between 0 and 1.
  {
    auto g = hand_graph({0, 0.2}, {{0, 0, 0.3, {1, 0, 0}, 4}, {0, 0, 0.3, {2, 0, 0}, 2},
                                   {0, 1, 0.6, {0, 0, 0}, 1}, {0, 1, 0.7, {0, 0, 0}, 1}});
    std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> cycles;
    quiet([&] { cycles = velmora_graph_cycle_list_new_from_graph(g.get()); });
    ASSERT_TRUE(cycles);
    auto net = velmora_graph_network_new_from_cycle_list(cycles.get(), g.get());
    ASSERT_TRUE(net);
    EXPECT_NEAR(net->e1, 0.3, 1e-12);
    EXPECT_DOUBLE_EQ(cycles->cycle[net->c1].l, 2.0);
    EXPECT_EQ(net->e2, -1.0);
    EXPECT_EQ(net->e3, -1.0);
    EXPECT_NEAR(net->el, 0.7, 1e-12);  // the loop 0 -> 1 -> 0 over both saddles
    // Sorted by barrier, then length.
    for (std::size_t m = 1; m < cycles->cycle.size(); ++m)
      EXPECT_LE(velmora_graph_cycle_compare(&cycles->cycle[m - 1], &cycles->cycle[m]), 0);
  }
  // Independent translations through a shared site: 2-D from the window of
  // the pair, 3-D needs the third direction through the second site.
  {
    auto g = hand_graph({0, 0.3}, {{0, 0, 0.4, {1, 0, 0}, 4}, {0, 0, 0.9, {0, 1, 0}, 4},
                                   {0, 1, 0.5, {0, 0, 0}, 2}, {0, 1, 1.4, {0, 0, 1}, 2}});
    std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> cycles;
    quiet([&] { cycles = velmora_graph_cycle_list_new_from_graph(g.get()); });
    auto net = velmora_graph_network_new_from_cycle_list(cycles.get(), g.get());
    ASSERT_TRUE(net);
    EXPECT_NEAR(net->e1, 0.4, 1e-12);
    EXPECT_NEAR(net->e2, 0.9, 1e-12);
    EXPECT_NEAR(net->e3, 1.4, 1e-12);
  }
  // Loops at two different sites joined by a hop below them: 2-D once both
  // loops are open (0.9), measured from the lower site; a deep site hanging
  // off the chain by a low hop sets the window's floor.
  {
    auto g = hand_graph({0, 0.3, -1.0}, {{0, 0, 0.4, {1, 0, 0}, 4}, {1, 1, 0.9, {0, 1, 0}, 4},
                                         {0, 1, 0.5, {0, 0, 0}, 2}, {2, 0, 0.2, {0, 0, 0}, 2}});
    std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> cycles;
    quiet([&] { cycles = velmora_graph_cycle_list_new_from_graph(g.get()); });
    auto net = velmora_graph_network_new_from_cycle_list(cycles.get(), g.get());
    ASSERT_TRUE(net);
    EXPECT_NEAR(net->e1, 1.4, 1e-12);
    EXPECT_NEAR(net->e1_min, -1.0, 1e-12);
    EXPECT_NEAR(net->e1_max, 0.4, 1e-12);
    EXPECT_NEAR(net->e2, 1.9, 1e-12);
    EXPECT_EQ(net->e3, -1.0);
    ASSERT_GE(net->c2[1], 0);
    EXPECT_NE(cycles->cycle[net->c2[0]].bound[0], cycles->cycle[net->c2[1]].bound[0]);
  }
}

// Hops of one saddle energy open together, whatever order the sort leaves
// them in: a site whose loop along a opens at 1.0 eV, and at the same 1.0
// eV a hop to a site 1 eV deeper, conduct from the deep site (2.0 eV), not
// from the first site alone (1.0 eV); the same with the hops listed the
// other way round.
TEST(VelmoraNetwork, HopsOfEqualEnergyOpenTogether) {
  for (bool loop_first : {true, false}) {
    const Hop loop{0, 0, 1.0, {1, 0, 0}, 4}, down{0, 1, 1.0, {0, 0, 0}, 2};
    auto g = hand_graph({0.0, -1.0}, loop_first ? std::vector<Hop>{loop, down}
                                                : std::vector<Hop>{down, loop});
    std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> cycles;
    quiet([&] { cycles = velmora_graph_cycle_list_new_from_graph(g.get()); });
    ASSERT_TRUE(cycles);
    auto net = velmora_graph_network_new_from_cycle_list(cycles.get(), g.get());
    ASSERT_TRUE(net);
    EXPECT_NEAR(net->e1, 2.0, 1e-12) << loop_first;
    EXPECT_NEAR(net->e1_min, -1.0, 1e-12);
    EXPECT_NEAR(net->e1_max, 1.0, 1e-12);
  }
}

// On a real landscape (Na3PS4, Na+ at 0.2 A) adjacent grid points of one
// saddle region give one hop per pair of sites and translation.
TEST(VelmoraGraph, OneHopPerSaddleRegionOnARealLandscape) {
  REQUIRE_DATA();
  const std::string cif = std::string(BV_SOURCE_DIR) + "/examples/Na3PS4.cif";
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  std::unique_ptr<VELMORA_CUBE> cube;
  quiet([&] {
    velmora_cell_import_cif_from_file(cell, symmetry, cif.c_str(), shipped_data::kSymcards.c_str(),
                                      shipped_data::kUnitary.c_str());
    if (cell)
      ppt = velmora_property_import_from_cell(cell.get(), "Na", 1, 0.75,
                                              shipped_data::kUnitary.c_str(),
                                              shipped_data::kBinary.c_str());
    if (ppt) cube = velmora_cube_calculate(cell.get(), symmetry.get(), ppt.get(), 0.2, true);
  });
  ASSERT_TRUE(cube);
  std::unique_ptr<VELMORA_FPCUBE> map;
  std::unique_ptr<VELMORA_FPHALF_LIST> list;
  std::unique_ptr<VELMORA_GRAPH> g;
  quiet([&] {
    map = velmora_fpcube_new_from_cube(cube.get());
    std::unique_ptr<VELMORA_FFT> fft = velmora_fft_new_from_cube(cube.get());
    list = velmora_fphalf_list_new_from_fpcube(map.get());
    g = velmora_graph_new_filled(map.get(), list.get(), fft.get(), cell.get(), ppt.get());
  });
  ASSERT_TRUE(g);
  expect_invariants(*g);
  EXPECT_EQ(g->total_v, 14);
  EXPECT_EQ(g->total_e, 72);
  for (long p = 0; p < g->total_e; p += 2)
    for (long q = p + 2; q < g->total_e; q += 2) {
      const VELMORA_GRAPH_EDGE &x = g->e[p], &y = g->e[q];
      if (!velmora_dot_adjacent(x.x_i, y.x_i, g->n)) continue;
      const bool same = x.v_i == y.v_i && x.v_f == y.v_f && x.bound[0] == y.bound[0] &&
                        x.bound[1] == y.bound[1] && x.bound[2] == y.bound[2];
      const bool reversed = x.v_i == y.v_f && x.v_f == y.v_i && x.bound[0] == -y.bound[0] &&
                            x.bound[1] == -y.bound[1] && x.bound[2] == -y.bound[2];
      EXPECT_FALSE(same || reversed) << "hops " << p << " and " << q;
    }
  // The six Na sites of the structure are named; eight interstitial minima.
  int named = 0;
  for (const VELMORA_GRAPH_VERTEX& v : g->v) named += std::strncmp(v.name, "Na_i", 4) != 0;
  EXPECT_EQ(named, 6);
  EXPECT_NEAR(g->total_occ, 6.0, 1e-12);
}

// Curvatures at a vertex of a hexagonal landscape are Cartesian: an
// isotropic well has two equal in-plane eigenvalues.
TEST(VelmoraGraph, VertexCurvaturesAreCartesian) {
  const double s3 = std::sqrt(3.0);
  const double a[3][3] = {{4.0, 0, 0}, {-2.0, 2.0 * s3, 0}, {0, 0, 4.0}};
  const long n[3] = {24, 24, 24};
  auto cube = sample(n, a, [](double x, double y, double z) {
    return 0.1 * (c1(x) + c1(y) + c1(x - y)) + 0.3 * c1(z);
  });
  auto cell = make_cell(a, {{"Li1", "Li", 1, {0, 0, 0}}, {"F1", "F", -1, {1.0 / 3, 2.0 / 3, 0.5}}});
  Built b = analyse(cube.get(), cell.get());
  ASSERT_TRUE(b.network);
  ASSERT_GE(b.graph->total_v, 1);
  const VELMORA_GRAPH_VERTEX& v = b.graph->v[0];
  EXPECT_EQ(v.x_i[0] + v.x_i[1] + v.x_i[2], 0);
  EXPECT_NEAR(v.eig[0], v.eig[1], 1e-6);
  EXPECT_NEAR(v.eig[0], 0.1 * 4 * topology_fixture::kPi * topology_fixture::kPi * 1.5 / 12.0, 1e-6);
  // In-plane hops (0.4 eV: the ridge between two wells of the three cosines)
  // percolate in 2-D before c (0.6 eV).
  EXPECT_NEAR(b.network->e1, b.network->e2, 1e-9);
  EXPECT_NEAR(b.network->e3, 0.6, 1e-6);
}

// Site summary of the chain: two real sites, merged into one site when dr
// exceeds their distance (2 A), split sites where the hop paths first rise
// more than de above their minimum.
TEST(VelmoraSites, SplitAndMergedSites) {
  const long n[3] = {40, 24, 24};
  auto cube = sample(n, kCubic, [](double x, double y, double z) {
    return 0.15 * c1(2 * x) + 0.05 * c1(x) + 0.5 * c1(y) + 0.9 * c1(z);
  });
  auto cell = make_cell(kCubic, {{"Li1", "Li", 1, {0, 0, 0}}, {"F1", "F", -1, {0.5, 0.5, 0.5}}});
  Built b = analyse(cube.get(), cell.get());
  ASSERT_TRUE(b.graph);
  std::unique_ptr<VELMORA_GRAPH_SITES> sites =
      velmora_graph_sites_new(b.graph.get(), b.map.get(), b.list.get(), 0.05, 2.5);
  ASSERT_TRUE(sites);
  EXPECT_EQ(sites->total_real, 2);
  EXPECT_EQ(sites->total_merge, 1);
  const VELMORA_GRAPH_SITE& merged = sites->site.back();
  EXPECT_EQ(merged.type, SITE_MER);
  EXPECT_STREQ(merged.name, "m1");
  EXPECT_EQ(merged.total_split, 2);
  EXPECT_NEAR(merged.x[0], 1.0, 1e-9);  // between 0 and 2 A
  EXPECT_EQ(sites->site[0].index_merge, merged.index);
  // Each real site has split sites; their occupancies share the site's.
  for (long k = 0; k < 2; ++k) {
    const VELMORA_GRAPH_SITE& real = sites->site[k];
    ASSERT_GT(real.total_split, 0);
    double share = 0;
    for (long s : real.index_split) {
      const VELMORA_GRAPH_SITE& split = sites->site[s];
      EXPECT_EQ(split.type, SITE_SPL);
      EXPECT_EQ(split.index_merge, k);
      EXPECT_GT(split.en - real.en, 0.05);
      share += split.occ;
    }
    EXPECT_NEAR(share, real.occ, 1e-12);
    EXPECT_EQ(real.total_neigh, 2);  // the other site and its own images across b and c
  }
  std::string out;
  quiet([&] { velmora_graph_sites_print_reduced(sites.get()); }, &out);
  EXPECT_NE(out.find("GRAPH_SITES: total_real = 2\n"), std::string::npos);
  EXPECT_NE(out.find("GRAPH_SITES: barriers (from row to col)\n"), std::string::npos);
  // With the default dr (0.5 A) nothing merges.
  sites = velmora_graph_sites_new(b.graph.get(), b.map.get(), b.list.get(), -1, -1);
  ASSERT_TRUE(sites);
  EXPECT_EQ(sites->total_merge, 0);
  EXPECT_DOUBLE_EQ(sites->de, 0.0257);
  EXPECT_DOUBLE_EQ(sites->dr, 0.5);
}

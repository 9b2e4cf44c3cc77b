// Tests of ostrel's migration paths: grid paths walked between a minimum and
// a saddle, the library of path types and their copies, clusters of sites at
// energy thresholds with the lattice directions they span, activation
// energies, backbones and reaction pathways, and the exact text of the path
// and threshold summaries and the pathway table.  Landscapes are separable
// cosines, whose saddles and percolation energies are known in closed form,
// and small libraries written by hand.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "OSTREL-path.h"
#include "OSTREL-symmetry.h"
#include "test_util.h"

using namespace ostrel_test;

namespace {

const double TWO_PI = 2 * M_PI;

// E = A(1 - cos 2πx) + B(1 - cos 2πy) + C(1 - cos 2πz) on an n^3 grid of a
// cubic cell of edge L: one minimum at the origin, saddles at the cell-edge
// midpoints with energies 2A, 2B, 2C, so that ions move along a above 2A,
// in the ab plane above 2B and in 3D above 2C.
std::string cosine_cube(const std::string& name, int n, double A, double B, double C,
                        double L = 4.0) {
  double cell[3][3] = {{L, 0, 0}, {0, L, 0}, {0, 0, L}};
  Grid g = symmetric_grid(n, n, n, cell, {identity_op()}, [&](double x, double y, double z) {
    return A * (1 - cos(TWO_PI * x)) + B * (1 - cos(TWO_PI * y)) + C * (1 - cos(TWO_PI * z));
  });
  std::string path = scratch(name);
  write_cube(path, g);
  return path;
}

// A cubic cell of edge L on an n^3 grid of f(i, j, k).
Grid ortho_grid_of(int n, double L, const std::function<double(int, int, int)>& f) {
  Grid g;
  g.n[0] = g.n[1] = g.n[2] = n;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) g.step[i][j] = i == j ? L / n : 0.0;
  g.v.resize((size_t)n * n * n);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++)
      for (int k = 0; k < n; k++) g.at(i, j, k) = f(i, j, k);
  return g;
}

std::string p1_cif(const std::string& name, double L = 4.0) {
  std::string path = scratch(name);
  write_text(path, make_cif(L, L, L, 90, 90, 90, {identity_op()},
                            {{"Li1", "Li1+", 0, 0, 0, 1.0}, {"O1", "O2-", 0.5, 0.5, 0.5, 1.0}},
                            {{"Li1+", 1}, {"O2-", -2}}));
  return path;
}

// The batch stages up to the path library, as the driver runs them.
struct Analysis {
  OSTREL_cube cube;
  OSTREL_cif cif;
  OSTREL_pathlib lib;
  bool ok = false;
  Analysis(const std::string& cube_file, const std::string& cif_file, const char* ion = "Li1+") {
    OSTREL_asymmetric_unit unit;
    OSTREL_init_cube(&cube);
    OSTREL_init_asymmetric_unit(&unit);
    OSTREL_init_pathlib(&lib);
    if (OSTREL_init_cif(&cif)) return;
    cif.ion = 1;
    cif.probe_type = ion;
    if (OSTREL_parse_energy_scaling(&cube, "E")) return;
    if (OSTREL_load_cube(cube_file.c_str(), &cube) || OSTREL_process_cube(&cube)) return;
    if (OSTREL_load_cif(cif_file.c_str(), &cif)) return;
    if (OSTREL_prepare_fastgen_symop(&cif, &cube) ||
        OSTREL_find_asymmetric_unit(&cube, &cif, &unit))
      return;
    if (cif.diff_neigh ? OSTREL_find_stationary_points2(&cube, &cif)
                       : OSTREL_find_stationary_points(&cube, &cif, &unit))
      return;
    if (OSTREL_group_saddle_by_symmetry(&cube, &cif) ||
        OSTREL_group_minima_by_symmetry(&cube, &cif) || OSTREL_assign_ion_to_sites(&cube, &cif))
      return;
    OSTREL_assign_interstitial_labels(&cube);
    lib.pathlib = 1;
    if (OSTREL_build_path(&cube, &cif, &lib) || OSTREL_build_allpaths(&cube, &cif, &lib) ||
        OSTREL_filter_redundant_path(&cube, &lib))
      return;
    ok = true;
  }
};

// Runs a printing function into a temporary file and returns its bytes.
template <class F>
std::string printed(F f) {
  std::string path = scratch("printed.txt");
  FILE* out = fopen(path.c_str(), "wb");
  f(out);
  fclose(out);
  return read_file(path);
}

// A cubic cell of edge L on an n^3 grid, flat energy, without stationary
// points: the frame for hand-made libraries.
void flat_cube(OSTREL_cube* c, int n, double L) {
  OSTREL_init_cube(c);
  c->cube = 1;
  c->a_grid = c->b_grid = c->c_grid = n;
  c->a_x = c->b_y = c->c_z = L / n;
  c->a_unit = c->b_unit = c->c_unit = L / n;
  c->a = c->b = c->c = L;
  c->alpha = c->beta = c->gamma = M_PI / 2;
  c->d1 = c->d2 = c->d3 = L * L;
  ASSERT_EQ(OSTREL_alloc_cube_energy(c, n, n, n), 0);
}

// Minima of given types (types numbered 1.. in order of first use), labelled
// as interstitials i<type>.
void add_minimum(OSTREL_cube* c, int x, int y, int z, int type, double e) {
  ASSERT_EQ(OSTREL_add_cube_minima_point(c, x, y, z, type, x, y, z, e), 0);
  c->minima[c->total_minima - 1].ins_label = type;
  c->minima[c->total_minima - 1].mul = 1;
  if (type > c->total_minima_type) {
    c->total_minima_type = type;
    c->minima_type_index.resize(type + 1, 0);
    c->minima_type_index[type] = c->total_minima - 1;
  }
}

void add_saddle(OSTREL_cube* c, int x, int y, int z, int type, double e) {
  ASSERT_EQ(OSTREL_add_cube_saddle_point(c, x, y, z, type, e), 0);
  c->saddle[c->total_saddle - 1].mul = 1;
  if (type > c->total_saddle_type) {
    c->total_saddle_type = type;
    c->saddle_type_index.resize(type + 1, 0);
    c->saddle_type_index[type] = c->total_saddle - 1;
  }
}

OSTREL_path path_type(const OSTREL_cube& c, int start, int end, int saddle) {
  OSTREL_path p;
  p.start = start;
  p.end = end;
  p.saddle = saddle;
  p.start_type = c.minima[start].type;
  p.end_type = c.minima[end].type;
  p.saddle_type = c.saddle[saddle].type;
  p.start_energy = c.minima[start].e;
  p.end_energy = c.minima[end].e;
  p.saddle_energy = c.saddle[saddle].e;
  p.length = 1.0;
  return p;
}

// A hop of `type` (index into lib.path) from minimum `start` in cell s to
// minimum `end` in cell e, over saddle `saddle`.
OSTREL_allpath hop(const OSTREL_pathlib& lib, int type, int start, int end, int saddle,
                   OSTREL_cellcross s, OSTREL_cellcross e) {
  const OSTREL_path& P = lib.path[type];
  OSTREL_allpath a;
  a.start = start;
  a.end = end;
  a.saddle = saddle;
  a.start_type = P.start_type;
  a.end_type = P.end_type;
  a.saddle_type = P.saddle_type;
  a.length = P.length;
  a.start_crossx = s.x;
  a.start_crossy = s.y;
  a.start_crossz = s.z;
  a.end_crossx = e.x;
  a.end_crossy = e.y;
  a.end_crossz = e.z;
  a.start_energy = P.start_energy;
  a.end_energy = P.end_energy;
  a.saddle_energy = P.saddle_energy;
  return a;
}

void add_type(OSTREL_pathlib* lib, const OSTREL_path& p) {
  lib->path.push_back(p);
  lib->total_path++;
}

void add_hop(OSTREL_pathlib* lib, const OSTREL_allpath& a) {
  lib->allpath.push_back(a);
  lib->total_allpath++;
}

}  // namespace

// ---------------------------------------------------------------------------
// Grid paths

TEST(GridPath, HalfPathRunsStraightDownTheCosineValley) {
  std::string cube_file = cosine_cube("valley.cube", 20, 0.11, 0.23, 0.37);
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_load_cube(cube_file.c_str(), &cube), 0);
  OSTREL_process_cube(&cube);
  OSTREL_grid_path p;
  // From the minimum to the saddle half-way along a: 11 points on the a axis.
  ASSERT_EQ(OSTREL_build_half_grid_path(&cube, &p, {0, 0, 0}, {10, 0, 0}), 0);
  ASSERT_EQ(p.length, 11);
  for (int q = 0; q < p.length; q++) {
    EXPECT_EQ(p.grid[q].x, q);
    EXPECT_EQ(p.grid[q].y, 0);
    EXPECT_EQ(p.grid[q].z, 0);
    EXPECT_EQ(p.color[q], -1);
    EXPECT_EQ(p.marker[q], -1);
  }
  EXPECT_EQ(p.saddle, 10);
  EXPECT_NEAR(OSTREL_path_length_in_Angstrom(&cube, &p), 2.0, 1e-5);
  // Across the periodic boundary, in unwrapped coordinates.
  ASSERT_EQ(OSTREL_build_half_grid_path(&cube, &p, {20, 0, 0}, {10, 0, 0}), 0);
  EXPECT_EQ(p.length, 11);
  EXPECT_EQ(p.grid[0].x, 20);
  EXPECT_EQ(p.grid[10].x, 10);
  // The full path over the saddle to the next image of the minimum keeps the
  // saddle once.
  ASSERT_EQ(OSTREL_build_grid_path(&cube, &p, {0, 0, 0}, {10, 0, 0}, {20, 0, 0}), 0);
  EXPECT_EQ(p.length, 21);
  EXPECT_EQ(p.saddle, 10);
  EXPECT_NEAR(OSTREL_path_length_in_Angstrom(&cube, &p), 4.0, 1e-5);
}

TEST(GridPath, IrreducibleRuleCountsStrictlyDescendingSteps) {
  // Energies along a only: 0, 1, 0.5, 2, 0.1, 3, then flat.
  const double f[] = {0, 1, 0.5, 2, 0.1, 3, 3, 3};
  double cell[3][3] = {{8, 0, 0}, {0, 2, 0}, {0, 0, 2}};
  Grid g = symmetric_grid(8, 2, 2, cell, {identity_op()},
                          [&](double x, double, double) { return f[(int)std::lround(x * 8) % 8]; });
  write_cube(scratch("steps.cube"), g);
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_load_cube(scratch("steps.cube").c_str(), &cube), 0);
  OSTREL_process_cube(&cube);
  OSTREL_grid_path p;
  auto along = [&](int n) {
    std::vector<OSTREL_path_triple_index> pts;
    for (int q = 0; q < n; q++) pts.push_back({q, 0, 0});
    p.grid = pts;
    p.length = n;
  };
  // Five points that rise and fall: accepted whatever the count.
  along(5);
  EXPECT_EQ(OSTREL_halfpath_is_irreducible(&cube, &p), 1);
  // Six points walked down from the higher end (3): 3 of 5 steps descend.
  along(6);
  EXPECT_EQ(OSTREL_halfpath_is_irreducible(&cube, &p), 0);
  // Monotonic descent from the higher first point.
  p.grid = {{3, 0, 0}, {2, 0, 0}, {2, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  p.length = 6;
  // Steps 2 -> 0.5, 0.5 -> 0.5 (flat), 0.5 -> 0, flat, flat: 2 of 5.
  EXPECT_EQ(OSTREL_halfpath_is_irreducible(&cube, &p), 0);
}

TEST(GridPath, OverlongPathIsAnErrorAndConcatenationChecksItsInput) {
  double cell[3][3] = {{240, 0, 0}, {0, 0.2, 0}, {0, 0, 0.2}};
  // A straight valley along a, rising gently along it.
  Grid g = symmetric_grid(1200, 2, 2, cell, {identity_op()}, [](double x, double y, double z) {
    return x + (y > 0.25 || z > 0.25 ? 10.0 : 0.0);
  });
  write_cube(scratch("long.cube"), g);
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_load_cube(scratch("long.cube").c_str(), &cube), 0);
  OSTREL_process_cube(&cube);
  OSTREL_grid_path p, empty;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_build_half_grid_path(&cube, &p, {0, 0, 0}, {1100, 0, 0}), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: OSTREL_MAX_PATH_LENGTH exceeded\n");
  ASSERT_EQ(OSTREL_build_half_grid_path(&cube, &p, {0, 0, 0}, {600, 0, 0}), 0);
  EXPECT_EQ(p.length, 601);
  OSTREL_grid_path q = p;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_concatenate_grid_path(&cube, &p, &q), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: OSTREL_MAX_PATH_LENGTH exceeed\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_concatenate_grid_path(&cube, &p, &empty), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_concatenate_grid_path\n");
}

// ---------------------------------------------------------------------------
// Library

TEST(PathLibrary, CosineLandscapeHasOneHopPerAxis) {
  Analysis r(cosine_cube("cos.cube", 20, 0.11, 0.23, 0.37), p1_cif("cos.cif"));
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.lib.total_path, 3);
  const double want[] = {0.22, 0.46, 0.74};
  for (int p = 0; p < 3; p++) {
    const OSTREL_path& P = r.lib.path[p];
    EXPECT_NEAR(P.saddle_energy, want[p], 1e-6);
    EXPECT_EQ(P.start, 0);
    EXPECT_EQ(P.end, 0);
    EXPECT_NEAR(P.length, 4.0, 1e-5);  // minimum to its next image
    EXPECT_NEAR(P.straightline_length, 4.0, 1e-5);
    EXPECT_NEAR(P.tortuosity, 1.0, 1e-6);
    EXPECT_EQ(P.color, -1);
    EXPECT_EQ(P.style, -1);
    // The two ends are images one cell apart along the hop's axis.
    int d[3] = {P.end_p - P.start_p, P.end_q - P.start_q, P.end_r - P.start_r};
    for (int ax = 0; ax < 3; ax++) EXPECT_EQ(abs(d[ax]), ax == p ? 1 : 0);
  }
  // One saddle of each type in the cell, hence one copy of each hop.
  ASSERT_EQ(r.lib.total_allpath, 3);
  for (int q = 0; q + 1 < r.lib.total_allpath; q++)
    EXPECT_LE(r.lib.allpath[q].saddle_energy, r.lib.allpath[q + 1].saddle_energy);
}

TEST(PathLibrary, SymmetricCopiesAppearOnceEach) {
  // A body-centred arrangement of wells (Im-3m-like, given as P1 with two
  // sites): every site has eight nearest neighbours; the library must hold
  // one path type and as many hops as saddles in the cell.
  const double L = 4.0;
  double cell[3][3] = {{L, 0, 0}, {0, L, 0}, {0, 0, L}};
  std::vector<Op> ops = {identity_op(), make_op({1, 0, 0, 0, 1, 0, 0, 0, 1}, 0.5, 0.5, 0.5)};
  auto wells_f = wells(cell, {{0, 0, 0, 1.0, 0.7}, {0.5, 0.5, 0.5, 1.0, 0.7}});
  Grid g = symmetric_grid(24, 24, 24, cell, ops, wells_f);
  write_cube(scratch("bcc.cube"), g);
  write_text(scratch("bcc.cif"),
             make_cif(L, L, L, 90, 90, 90, ops, {{"Li1", "Li1+", 0, 0, 0, 1.0}},
                      {{"Li1+", 1}}));
  Analysis r(scratch("bcc.cube"), scratch("bcc.cif"));
  ASSERT_TRUE(r.ok);
  ASSERT_GE(r.lib.total_path, 1);
  // Each saddle of the cell carries exactly one hop, and no hop is listed
  // twice (in either direction).
  int saddles_with_hops = 0;
  for (int s = 0; s < r.cube.total_saddle; s++) {
    int n = 0;
    for (int q = 0; q < r.lib.total_allpath; q++) n += r.lib.allpath[q].saddle == s;
    EXPECT_LE(n, 1) << "saddle " << s;
    saddles_with_hops += n > 0;
  }
  EXPECT_EQ(saddles_with_hops, r.lib.total_allpath);
  for (int i = 0; i < r.lib.total_allpath; i++)
    for (int j = i + 1; j < r.lib.total_allpath; j++)
      EXPECT_FALSE(OSTREL_is_allpath_equal(&r.lib.allpath[i], &r.lib.allpath[j], 135));
  // Every path type's copies share its saddle energy and its length.
  for (int q = 0; q < r.lib.total_allpath; q++) {
    int p = OSTREL_get_allpath_to_path_index(&r.lib, q);
    ASSERT_GE(p, 0);
    EXPECT_DOUBLE_EQ(r.lib.allpath[q].saddle_energy, r.lib.path[p].saddle_energy);
    EXPECT_DOUBLE_EQ(r.lib.allpath[q].length, r.lib.path[p].length);
  }
  // And the lowest hop percolates in 3D at once.
  ASSERT_EQ(OSTREL_calc_activation_energy(&r.cube, &r.lib), 0);
  EXPECT_NEAR(r.lib.threeD, r.lib.path[0].saddle_energy, 1e-9);
  EXPECT_EQ(r.lib.oneD, r.lib.threeD);
}

TEST(PathLibrary, SaddleFartherThanThreeAndAHalfAngstromIsJoined) {
  // Edge 10 Å: every saddle lies 5 Å from the minima, beyond the first
  // reach of the search (3.5 Å), which grows until the basins' minima are
  // found.
  Analysis r(cosine_cube("far.cube", 40, 0.11, 0.23, 0.37, 10.0), p1_cif("far.cif", 10.0));
  testing::internal::CaptureStderr();
  OSTREL_pathlib lib;
  ASSERT_EQ(OSTREL_build_path(&r.cube, &r.cif, &lib), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(lib.total_path, 3);
  ASSERT_EQ(OSTREL_build_allpaths(&r.cube, &r.cif, &lib), 0);
  ASSERT_EQ(OSTREL_calc_activation_energy(&r.cube, &lib), 0);
  EXPECT_NEAR(lib.oneD, 0.22, 1e-6);
  EXPECT_NEAR(lib.twoD, 0.46, 1e-6);
  EXPECT_NEAR(lib.threeD, 0.74, 1e-6);
}

TEST(PathLibrary, SaddleFartherThanTenAngstromIsLeftOut) {
  // Edge 24 Å: every saddle lies 12 Å from the minima, beyond the longest
  // reach.
  Analysis r(cosine_cube("farther.cube", 40, 0.11, 0.23, 0.37, 24.0),
             p1_cif("farther.cif", 24.0));
  testing::internal::CaptureStderr();
  OSTREL_pathlib lib;
  ASSERT_EQ(OSTREL_build_path(&r.cube, &r.cif, &lib), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "Warning: Cannot connect saddle type 1 to any energy minimum site\n"
            "Warning: Cannot connect saddle type 2 to any energy minimum site\n"
            "Warning: Cannot connect saddle type 3 to any energy minimum site\n");
  EXPECT_EQ(lib.total_path, 0);
  ASSERT_EQ(OSTREL_build_allpaths(&r.cube, &r.cif, &lib), 0);
  EXPECT_EQ(lib.total_allpath, 0);
  ASSERT_EQ(OSTREL_calc_activation_energy(&r.cube, &lib), 0);
  EXPECT_EQ(lib.oneD, 999);
  EXPECT_EQ(lib.twoD, 999);
  EXPECT_EQ(lib.threeD, 999);
}

TEST(PathLibrary, MinimumBehindAHigherRidgeIsNotJoinedOverTheSaddle) {
  // Two wells A and B on a valley along a (8 Å cell, 0.25 Å grid) with the
  // saddle S half-way between them; a deeper well C lies 1.0 Å from S, nearer
  // than A and B (1.25 Å), but behind a 3 eV wall parallel to the valley.  A
  // straight walk from C reaches S in five points, which the walk accepts
  // without further test; a hop C-S-A would put the barrier out of C at S,
  // where the true one is above the wall.  The hop over S joins A and B.
  const double L = 8.0;
  double cell[3][3] = {{L, 0, 0}, {0, L, 0}, {0, 0, L}};
  auto wells_f = wells(cell, {{8 / 32.0, 0.5, 0.5, 1.0, 0.8},
                              {18 / 32.0, 0.5, 0.5, 1.0, 0.8},
                              {13 / 32.0, 20 / 32.0, 0.5, 1.5, 0.4}});
  auto f = [&](double x, double y, double z) {
    double wall = 0;
    for (int image = -1; image <= 1; image++) {
      double dy = (y - 18 / 32.0 + image) * L;
      wall += 3.0 * exp(-dy * dy / (2 * 0.15 * 0.15));
    }
    return wells_f(x, y, z) + wall;
  };
  Grid g = symmetric_grid(32, 32, 32, cell, {identity_op()}, f);
  write_cube(scratch("ridge.cube"), g);
  testing::internal::CaptureStderr();  // saddles of the flat far field join nothing
  Analysis r(scratch("ridge.cube"), p1_cif("ridge.cif", L));
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(r.ok);
  int through_s = 0;
  for (int p = 0; p < r.lib.total_path; p++) {
    const OSTREL_path& P = r.lib.path[p];
    const OSTREL_saddle& S = r.cube.saddle[P.saddle];
    if (S.x != 13 || S.y != 16 || S.z != 16) continue;
    through_s++;
    const OSTREL_minima& a = r.cube.minima[P.start];
    const OSTREL_minima& b = r.cube.minima[P.end];
    EXPECT_EQ(std::min(a.x, b.x), 8);
    EXPECT_EQ(std::max(a.x, b.x), 18);
    EXPECT_EQ(a.y, 16);
    EXPECT_EQ(b.y, 16);
  }
  EXPECT_EQ(through_s, 1);
}

TEST(PathLibrary, SortKeepsTheOrderOfEqualSaddleEnergies) {
  OSTREL_pathlib lib;
  const double e[] = {0.9, 0.2, 0.2};
  for (int q = 0; q < 3; q++) {
    OSTREL_path p;
    p.saddle_energy = e[q];
    p.saddle_type = q + 1;
    add_type(&lib, p);
  }
  OSTREL_bubblesort_pathlib(&lib);
  EXPECT_EQ(lib.path[0].saddle_type, 2);
  EXPECT_EQ(lib.path[1].saddle_type, 3);
  EXPECT_EQ(lib.path[2].saddle_type, 1);
}

TEST(PathLibrary, EqualityModesAndListOperations) {
  OSTREL_allpath a, b;
  a.start = b.start = 1;
  a.end = b.end = 2;
  a.saddle = 3;
  b.saddle = 4;
  a.saddle_type = b.saddle_type = 7;
  b.end_crossz = 1;
  EXPECT_EQ(OSTREL_is_allpath_equal(&a, &b, 1), 1);
  EXPECT_EQ(OSTREL_is_allpath_equal(&a, &b, 3), 0);
  EXPECT_EQ(OSTREL_is_allpath_equal(&a, &b, 5), 0);
  EXPECT_EQ(OSTREL_is_allpath_equal(&a, &b, 6), 1);
  EXPECT_EQ(OSTREL_is_allpath_equal(&a, &b, 13), 0);
  EXPECT_EQ(OSTREL_is_allpath_equal(&a, &a, 135), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(OSTREL_is_allpath_equal(&a, &a, 2), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Invalid mode call 2 to OSTREL_is_allpath_equal\n");
  OSTREL_cellcross d = OSTREL_get_cellcrossdiff_from_allpath(&b);
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.z, 1);

  OSTREL_pathlib lib;
  for (int t = 1; t <= 3; t++) {
    OSTREL_path p;
    p.start_type = p.end_type = 1;
    p.saddle_type = t;
    add_type(&lib, p);
    for (int c = 0; c < 2; c++) add_hop(&lib, hop(lib, t - 1, c, c, 0, {0, 0, 0}, {0, 0, 1}));
  }
  EXPECT_EQ(OSTREL_isin_pathlib(&lib, 1, 1, 2), 1);
  EXPECT_EQ(OSTREL_isin_pathlib(&lib, 1, 2, 2), -1);
  EXPECT_EQ(OSTREL_get_allpath_to_path_index(&lib, 3), 1);
  ASSERT_EQ(OSTREL_delete_pathlib_path(&lib, 1), 0);
  EXPECT_EQ(lib.total_path, 2);
  EXPECT_EQ(lib.total_allpath, 4);
  for (int q = 0; q < lib.total_allpath; q++) EXPECT_NE(lib.allpath[q].saddle_type, 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_delete_pathlib_path(&lib, 2), 1);
  EXPECT_EQ(OSTREL_delete_pathlib_allpath(&lib, 4), 1);
  OSTREL_allpath out;
  EXPECT_EQ(OSTREL_pop_pathlib_allpath(&lib, -1, &out), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_delete_pathlib_path()\n"
            "Error: Invalid input to OSTREL_delete_pathlib_allpath()\n"
            "Error: Invalid input to OSTREL_pop_pathlib_allpath()\n");
  ASSERT_EQ(OSTREL_pop_pathlib_allpath(&lib, 3, &out), 0);
  EXPECT_EQ(out.saddle_type, 3);
  ASSERT_EQ(OSTREL_insert_pathlib_allpath(&lib, out), 0);
  EXPECT_EQ(lib.allpath[0].saddle_type, 3);
  OSTREL_reverse_pathlib_allpath(&lib);
  EXPECT_EQ(lib.allpath[lib.total_allpath - 1].saddle_type, 3);
  OSTREL_pathlib copy;
  ASSERT_EQ(OSTREL_copy_pathlib(&lib, &copy), 0);
  EXPECT_EQ(copy.total_allpath, lib.total_allpath);
}

TEST(PathLibrary, HigherOfTwoParallelHopsIsRemovedWithAllItsCopies) {
  OSTREL_cube c;
  flat_cube(&c, 10, 5.0);
  add_minimum(&c, 0, 0, 0, 1, 0.0);
  add_minimum(&c, 5, 0, 0, 2, 0.1);
  add_saddle(&c, 2, 0, 0, 1, 0.4);
  add_saddle(&c, 3, 1, 0, 2, 0.6);
  add_saddle(&c, 7, 0, 0, 3, 0.5);
  OSTREL_pathlib lib;
  add_type(&lib, path_type(c, 0, 1, 0));
  add_type(&lib, path_type(c, 0, 1, 2));
  add_type(&lib, path_type(c, 0, 1, 1));
  add_hop(&lib, hop(lib, 0, 0, 1, 0, {0, 0, 0}, {0, 0, 0}));
  add_hop(&lib, hop(lib, 1, 1, 0, 2, {0, 0, 0}, {1, 0, 0}));  // the other way round the ring
  add_hop(&lib, hop(lib, 2, 0, 1, 1, {0, 0, 0}, {0, 0, 0}));  // parallel to the first, higher
  ASSERT_EQ(OSTREL_filter_redundant_path(&c, &lib), 0);
  ASSERT_EQ(lib.total_path, 2);
  EXPECT_EQ(lib.path[0].saddle_type, 1);
  EXPECT_EQ(lib.path[1].saddle_type, 3);
  EXPECT_EQ(lib.total_allpath, 2);

  // Direct hops between minimum images.
  EXPECT_EQ(OSTREL_is_direct_path_between_minima(&c, &lib, {0, 0, 0}, {5, 0, 0}), 1);
  EXPECT_EQ(OSTREL_is_direct_path_between_minima(&c, &lib, {5, 0, 0}, {0, 0, 0}), 1);
  EXPECT_EQ(OSTREL_is_direct_path_between_minima(&c, &lib, {5, 0, 0}, {10, 0, 0}), 1);
  EXPECT_EQ(OSTREL_is_direct_path_between_minima(&c, &lib, {15, 0, 0}, {20, 0, 0}), 1);
  EXPECT_EQ(OSTREL_is_direct_path_between_minima(&c, &lib, {0, 0, 0}, {15, 0, 0}), 0);
  EXPECT_EQ(OSTREL_is_direct_path_between_minima(&c, &lib, {0, 0, 0}, {0, 0, 0}), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_is_direct_path_between_minima(&c, &lib, {1, 0, 0}, {5, 0, 0}), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_is_direct_path_between_minima()\n");
}

// ---------------------------------------------------------------------------
// Networks

namespace {

// One minimum type on a 10^3 grid of a 5 Å cube with hand-made hops.
struct HandLibrary {
  OSTREL_cube c;
  OSTREL_pathlib lib;
  OSTREL_cluster_list list;
  std::string clusters() {
    if (OSTREL_analyze_network(&c, &lib, &list)) return "analysis failed";
    return printed([&](FILE* f) { OSTREL_print_clustlist(&c, &lib, &list, f); });
  }
};

}  // namespace

TEST(Network, ChainAlongCIsOneDimensional) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  add_minimum(&h.c, 0, 0, 0, 1, 0.0);
  add_saddle(&h.c, 0, 0, 5, 1, 0.3);
  add_type(&h.lib, path_type(h.c, 0, 0, 0));
  add_hop(&h.lib, hop(h.lib, 0, 0, 0, 0, {0, 0, 0}, {0, 0, 1}));
  EXPECT_EQ(h.clusters(),
            "\r\nTotal symmetrically distinct clusters: 1\r\n"
            "\r\nCluster 1:\r\n"
            "> Percolating (1D) : Vector [0,0,1]\r\n"
            "> Multiplicity : 1\r\n"
            "> Cluster energy minimum : 0.000 (global energy minimum)\r\n"
            "> Cluster energy maximum : 0.300\r\n"
            "> Site hops :\r\n"
            "  (1) i1 (0.000 eV) to i1 (0.000 eV) via s1 (0.300 eV)\r\n"
            "\r\n");
  // Walked the other way the vector still points up the axis.
  h.lib.allpath[0].start_crossz = 1;
  h.lib.allpath[0].end_crossz = 0;
  EXPECT_NE(h.clusters().find("Vector [0,0,1]\r\n"), std::string::npos);
}

TEST(Network, EquivalentParallelChainsMergeOneVector) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  add_minimum(&h.c, 0, 0, 0, 1, 0.0);
  add_minimum(&h.c, 5, 5, 0, 1, 0.0);
  add_saddle(&h.c, 0, 0, 5, 1, 0.3);
  add_saddle(&h.c, 5, 5, 5, 1, 0.3);
  add_type(&h.lib, path_type(h.c, 0, 0, 0));
  add_hop(&h.lib, hop(h.lib, 0, 0, 0, 0, {0, 0, 0}, {0, 0, 1}));
  add_hop(&h.lib, hop(h.lib, 0, 1, 1, 1, {0, 0, 0}, {0, 0, 1}));
  std::string out = h.clusters();
  EXPECT_NE(out.find("Total symmetrically distinct clusters: 1\r\n"), std::string::npos);
  EXPECT_NE(out.find("> Percolating (1D) : Vector [0,0,1]\r\n> Multiplicity : 2\r\n"),
            std::string::npos)
      << out;
}

TEST(Network, EquivalentChainsAlongTwoAxesListBothVectors) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  add_minimum(&h.c, 0, 0, 0, 1, 0.0);
  add_minimum(&h.c, 5, 5, 5, 1, 0.0);
  add_saddle(&h.c, 5, 0, 0, 1, 0.3);
  add_saddle(&h.c, 5, 0, 5, 1, 0.3);
  add_type(&h.lib, path_type(h.c, 0, 0, 0));
  add_hop(&h.lib, hop(h.lib, 0, 0, 0, 0, {0, 0, 0}, {1, 0, 0}));
  add_hop(&h.lib, hop(h.lib, 0, 1, 1, 1, {0, 0, 0}, {0, 1, 0}));
  std::string out = h.clusters();
  EXPECT_NE(out.find("> Percolating (1D) : Vector [1,0,0] [0,1,0]\r\n> Multiplicity : 2\r\n"),
            std::string::npos)
      << out;
}

TEST(Network, HopsAlongAAndBSpanThePlane001) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  add_minimum(&h.c, 0, 0, 0, 1, 0.0);
  add_saddle(&h.c, 5, 0, 0, 1, 0.3);
  add_saddle(&h.c, 0, 5, 0, 2, 0.4);
  add_type(&h.lib, path_type(h.c, 0, 0, 0));
  add_type(&h.lib, path_type(h.c, 0, 0, 1));
  add_hop(&h.lib, hop(h.lib, 0, 0, 0, 0, {0, 0, 0}, {1, 0, 0}));
  add_hop(&h.lib, hop(h.lib, 1, 0, 0, 1, {0, -1, 0}, {0, 0, 0}));
  std::string out = h.clusters();
  EXPECT_NE(out.find("> Percolating (2D) : Plane (0,0,1)\r\n"), std::string::npos) << out;
  // The threshold summary: the a chain first, then the plane.
  std::string events =
      printed([&](FILE* f) { OSTREL_analyze_network_at_saddles(&h.c, &h.lib, f, 999); });
  const char* dash = "---------------------------------------------------------------------\r\n";
  const char* eq = "===============================\r\n";
  std::string want = std::string(dash) +
                     "  Summary of pathway characteristics at different energy thresholds  \r\n" +
                     dash + "\r\n" + eq + " Threshold energy: 0.300000 eV\r\n" + eq +
                     "\r\nTotal symmetrically distinct clusters: 1\r\n"
                     "\r\nCluster 1:\r\n"
                     "> Percolating (1D) : Vector [1,0,0]\r\n"
                     "> Multiplicity : 1\r\n"
                     "> Cluster energy minimum : 0.000 (global energy minimum)\r\n"
                     "> Cluster energy maximum : 0.300\r\n"
                     "> Site hops :\r\n"
                     "  (1) i1 (0.000 eV) to i1 (0.000 eV) via s1 (0.300 eV)\r\n"
                     "\r\n" +
                     eq + " Threshold energy: 0.400000 eV\r\n" + eq +
                     "\r\nTotal symmetrically distinct clusters: 1\r\n"
                     "\r\nCluster 1:\r\n"
                     "> Percolating (2D) : Plane (0,0,1)\r\n"
                     "> Multiplicity : 1\r\n"
                     "> Cluster energy minimum : 0.000 (global energy minimum)\r\n"
                     "> Cluster energy maximum : 0.400\r\n"
                     "> Site hops :\r\n"
                     "  (1) i1 (0.000 eV) to i1 (0.000 eV) via s1 (0.300 eV)\r\n"
                     "  (2) i1 (0.000 eV) to i1 (0.000 eV) via s2 (0.400 eV)\r\n"
                     "\r\n";
  EXPECT_EQ(events, want);
  // Only up to 0.35 eV: the first threshold alone.
  std::string low =
      printed([&](FILE* f) { OSTREL_analyze_network_at_saddles(&h.c, &h.lib, f, 0.35); });
  EXPECT_EQ(low.find("0.400000"), std::string::npos);
  ASSERT_EQ(OSTREL_calc_activation_energy(&h.c, &h.lib), 0);
  EXPECT_EQ(printed([&](FILE* f) { OSTREL_print_activation_energy(&h.lib, f); }),
            "1D activation energy: 0.300000 eV\n"
            "2D activation energy: 0.400000 eV\n"
            "3D activation energy: 999.000000 eV\n"
            "1D threshold from the global minimum: 0.300000 eV\n"
            "2D threshold from the global minimum: 0.400000 eV\n"
            "3D threshold from the global minimum: 999.000000 eV\n");
}

TEST(Network, ThreeDimensionsBeforeTwoGiveThreeEqualEnergies) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  add_minimum(&h.c, 0, 0, 0, 1, 0.05);
  add_minimum(&h.c, 5, 5, 5, 2, 0.0);
  add_saddle(&h.c, 2, 2, 2, 1, 0.35);
  add_type(&h.lib, path_type(h.c, 0, 1, 0));
  // Body-centred: each corner site joined to the eight neighbouring centres.
  for (int a = 0; a < 2; a++)
    for (int b = 0; b < 2; b++)
      for (int c = 0; c < 2; c++)
        add_hop(&h.lib, hop(h.lib, 0, 0, 1, 0, {a, b, c}, {0, 0, 0}));
  std::string out = h.clusters();
  EXPECT_NE(out.find("> Percolating (3D)\r\n> Multiplicity : 1\r\n"
                     "> Cluster energy minimum : 0.000 (global energy minimum)\r\n"
                     "> Cluster energy maximum : 0.350\r\n"),
            std::string::npos)
      << out;
  ASSERT_EQ(OSTREL_calc_activation_energy(&h.c, &h.lib), 0);
  EXPECT_DOUBLE_EQ(h.lib.oneD, 0.35);
  EXPECT_DOUBLE_EQ(h.lib.twoD, 0.35);
  EXPECT_DOUBLE_EQ(h.lib.threeD, 0.35);
}

TEST(Network, LadderIsARibbonAndAChainIsNot) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  add_minimum(&h.c, 0, 0, 0, 1, 0.0);
  add_minimum(&h.c, 3, 0, 0, 1, 0.0);
  add_saddle(&h.c, 0, 0, 5, 1, 0.2);
  add_saddle(&h.c, 3, 0, 5, 1, 0.2);
  add_saddle(&h.c, 2, 0, 0, 2, 0.3);
  add_type(&h.lib, path_type(h.c, 0, 0, 0));
  add_type(&h.lib, path_type(h.c, 0, 1, 2));
  // Two rails along c ...
  add_hop(&h.lib, hop(h.lib, 0, 0, 0, 0, {0, 0, 0}, {0, 0, 1}));
  add_hop(&h.lib, hop(h.lib, 0, 1, 1, 1, {0, 0, 0}, {0, 0, 1}));
  // ... joined by rungs.
  add_hop(&h.lib, hop(h.lib, 1, 0, 1, 2, {0, 0, 0}, {0, 0, 0}));
  std::string out = h.clusters();
  EXPECT_NE(out.find("> Percolating (1D)(ribbon) : Vector [0,0,1]\r\n"), std::string::npos)
      << out;
  // Without one rail, the other chain hangs on single sites.
  OSTREL_delete_pathlib_allpath(&h.lib, 1);
  out = h.clusters();
  EXPECT_NE(out.find("> Percolating (1D) : Vector [0,0,1]\r\n"), std::string::npos) << out;
}

TEST(Network, EmptyLibraryGivesOnlyTheHeader) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  std::string events =
      printed([&](FILE* f) { OSTREL_analyze_network_at_saddles(&h.c, &h.lib, f, 999); });
  const char* dash = "---------------------------------------------------------------------\r\n";
  const std::string title =
      "  Summary of pathway characteristics at different energy thresholds  \r\n";
  EXPECT_EQ(events, std::string(dash) + title + dash + "\r\n");
  ASSERT_EQ(OSTREL_calc_activation_energy(&h.c, &h.lib), 0);
  EXPECT_EQ(h.lib.oneD, 999);
  OSTREL_reaction_pathway_overall rp;
  ASSERT_EQ(OSTREL_build_reaction_pathway(&h.c, &h.lib, &rp), 0);
  EXPECT_EQ(rp.total, 0);
  EXPECT_EQ(printed([&](FILE* f) { OSTREL_print_reaction_pathway(&h.c, &h.lib, &rp, f); }),
            "END\n");
  std::string summary = printed([&](FILE* f) { OSTREL_print_pathlib(&h.c, &h.lib, f); });
  EXPECT_EQ(summary,
            "-----------------------------------------------------------------\r\n"
            "                 Summary of minimum energy paths                 \r\n"
            "-----------------------------------------------------------------\r\n\r\n"
            "\nListing all 0 paths (including equivalent ones)...\n\r\n");
}

TEST(Network, BackboneDropsARedundantDiagonalHop) {
  HandLibrary h;
  flat_cube(&h.c, 10, 5.0);
  add_minimum(&h.c, 0, 0, 0, 1, 0.0);
  add_saddle(&h.c, 5, 0, 0, 1, 0.3);
  add_saddle(&h.c, 0, 5, 0, 2, 0.35);
  add_saddle(&h.c, 5, 5, 0, 3, 0.4);
  for (int s = 0; s < 3; s++) add_type(&h.lib, path_type(h.c, 0, 0, s));
  add_hop(&h.lib, hop(h.lib, 0, 0, 0, 0, {0, 0, 0}, {1, 0, 0}));
  add_hop(&h.lib, hop(h.lib, 1, 0, 0, 1, {0, 0, 0}, {0, 1, 0}));
  add_hop(&h.lib, hop(h.lib, 2, 0, 0, 2, {0, 0, 0}, {1, 1, 0}));
  ASSERT_EQ(OSTREL_analyze_network(&h.c, &h.lib, &h.list), 0);
  ASSERT_EQ(h.list.total, 1);
  ASSERT_EQ(h.list.clust[0].dimension, 2);
  EXPECT_EQ(h.list.clust[0].ID, 2);
  OSTREL_pathlib sym, red;
  OSTREL_cluster sym_c, red_c;
  ASSERT_EQ(OSTREL_get_percolating_cluster_backbone(&h.c, &h.lib, &h.list.clust[0], &sym, &sym_c,
                                                    &red, &red_c, 1),
            0);
  EXPECT_EQ(sym.total_path, 2);
  EXPECT_EQ(sym_c.dimension, 2);
  EXPECT_EQ(red.total_allpath, 2);
  EXPECT_EQ(red_c.dimension, 2);
}

// ---------------------------------------------------------------------------
// The cosine landscape end to end: summaries, energies and pathways.

TEST(Pipeline, CosineLandscapeOpensAlongABThenC) {
  Analysis r(cosine_cube("cos3.cube", 20, 0.11, 0.23, 0.37), p1_cif("cos3.cif"));
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(OSTREL_calc_activation_energy(&r.cube, &r.lib), 0);
  EXPECT_NEAR(r.lib.oneD, 0.22, 1e-6);
  EXPECT_NEAR(r.lib.twoD, 0.46, 1e-6);
  EXPECT_NEAR(r.lib.threeD, 0.74, 1e-6);
  // Scaled energies: every printed energy goes through the scale.
  OSTREL_free_RPN(&r.cube.RPN);
  ASSERT_EQ(OSTREL_parse_energy_scaling(&r.cube, "2*E"), 0);
  ASSERT_EQ(OSTREL_calc_activation_energy(&r.cube, &r.lib), 0);
  EXPECT_NEAR(r.lib.threeD, 1.48, 1e-6);
  OSTREL_free_RPN(&r.cube.RPN);
  ASSERT_EQ(OSTREL_parse_energy_scaling(&r.cube, "E"), 0);

  OSTREL_reaction_pathway_overall rp;
  ASSERT_EQ(OSTREL_build_reaction_pathway(&r.cube, &r.lib, &rp), 0);
  // One pathway grown from the a chain into the plane and into 3D: each hop
  // type once, the colours those of the last (3D) cluster.
  ASSERT_EQ(rp.total, 1);
  EXPECT_EQ(rp.rp[0].initial_dimension, 1);
  EXPECT_EQ(rp.rp[0].dimension, 3);
  ASSERT_EQ(rp.rp[0].total_path, 3);
  for (int p = 0; p < 3; p++) {
    EXPECT_EQ(abs(rp.rp[0].path[p]), p + 1);
    EXPECT_EQ(r.lib.path[p].color, 3);
    EXPECT_EQ(r.lib.path[p].style, 1);
    EXPECT_EQ(r.lib.path[p].in_rp, 1);
    EXPECT_EQ(r.lib.path[p].threeD, 1);
  }
  EXPECT_EQ(r.lib.path[0].oneD, 1);
  EXPECT_EQ(r.lib.path[1].twoD, 1);

  std::string table =
      printed([&](FILE* f) { OSTREL_print_reaction_pathway(&r.cube, &r.lib, &rp, f); });
  // 3 hops of 21 points, joined at the minima: 61 lines and END.
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < table.size()) {
    size_t nl = table.find('\n', at);
    lines.push_back(table.substr(at, nl - at));
    at = nl + 1;
  }
  ASSERT_EQ(lines.size(), 62u);
  EXPECT_EQ(lines.back(), "END");
  // The reaction coordinate (Å, the grid step read back from bohr to six
  // decimals) and the rest of the line.
  auto check = [&](int n, double coord, const std::string& rest) {
    size_t comma = lines[n].find(',');
    EXPECT_NEAR(atof(lines[n].substr(0, comma).c_str()), coord, 2e-5) << lines[n];
    EXPECT_EQ(lines[n].substr(comma), rest);
  };
  check(0, 0.0, ",0.000000,Li1,3,0,1");
  check(10, 2.0, ",0.220000,s1 0.220000eV");
  check(20, 4.0, ",0.000000,Li1,3,0,1");
  check(30, 6.0, ",0.460000,s2 0.460000eV");
  check(50, 10.0, ",0.740000,s3 0.740000eV");
  check(60, 12.0, ",0.000000,Li1,-1,-1,-1");
  char want[64];
  snprintf(want, sizeof want, ",%.6f", 0.11 * (1 - cos(TWO_PI / 20)));
  check(1, 0.2, want);

  std::string summary = printed([&](FILE* f) { OSTREL_print_pathlib(&r.cube, &r.lib, f); });
  EXPECT_EQ(summary,
            "-----------------------------------------------------------------\r\n"
            "                 Summary of minimum energy paths                 \r\n"
            "-----------------------------------------------------------------\r\n\r\n"
            "> Path 1 : Li1 (0.000 eV) to Li1 (0.000 eV) via s1 (0.220 eV)\r\n"
            ">> Dimension: 3\n>> Redundancy: 1\n"
            "> Path 2 : Li1 (0.000 eV) to Li1 (0.000 eV) via s2 (0.460 eV)\r\n"
            ">> Dimension: 3\n>> Redundancy: 1\n"
            "> Path 3 : Li1 (0.000 eV) to Li1 (0.000 eV) via s3 (0.740 eV)\r\n"
            ">> Dimension: 3\n>> Redundancy: 1\n"
            "\nListing all 3 paths (including equivalent ones)...\n"
            "> Li1 (0.000 eV) to Li1 (0.000 eV) via s1 (0.220 eV)\n"
            ">> Internal: boundary cross (1,0,0); minima indices (0,0) saddle index (0)\n"
            "> Li1 (0.000 eV) to Li1 (0.000 eV) via s2 (0.460 eV)\n"
            ">> Internal: boundary cross (0,1,0); minima indices (0,0) saddle index (1)\n"
            "> Li1 (0.000 eV) to Li1 (0.000 eV) via s3 (0.740 eV)\n"
            ">> Internal: boundary cross (0,0,1); minima indices (0,0) saddle index (2)\n"
            "\r\n");
}

TEST(Pipeline, ExactTiesGiveThePointsOfALandscapeRaisedPerGridIndex) {
  // The cosines shifted by half a grid step: the minimum and each saddle lie
  // between grid points, whose pairs of neighbours tie exactly (values
  // rounded to 6 decimals, as cube files hold them).  Read with the grid
  // index breaking ties, the landscape gives the stationary points, hops
  // and energies of the same landscape raised by 1e-12 eV per grid index,
  // where no two points tie: one minimum and three saddles.
  const int n = 20;
  auto tied = [&](int i, int j, int k) {
    double e = 0;
    const double w[3] = {0.11, 0.23, 0.37};
    const int q[3] = {i, j, k};
    for (int a = 0; a < 3; a++) e += w[a] * (1 - cos(TWO_PI * (q[a] + 0.5) / n));
    return std::round(e * 1e6) / 1e6;
  };
  Grid g = ortho_grid_of(n, 4.0, tied);
  write_cube(scratch("tied.cube"), g, true, 0, " %.15f\r\n");
  Grid raised = ortho_grid_of(n, 4.0, [&](int i, int j, int k) {
    return tied(i, j, k) + 1e-12 * ((i * n + j) * n + k);
  });
  write_cube(scratch("raised.cube"), raised, true, 0, " %.15f\r\n");
  Analysis t(scratch("tied.cube"), p1_cif("tied.cif"));
  Analysis r(scratch("raised.cube"), p1_cif("raised.cif"));
  ASSERT_TRUE(t.ok && r.ok);
  ASSERT_EQ(t.cube.total_minima, 1);
  ASSERT_EQ(t.cube.total_saddle, 3);
  ASSERT_EQ(r.cube.total_minima, 1);
  ASSERT_EQ(r.cube.total_saddle, 3);
  EXPECT_EQ(std::make_tuple(t.cube.minima[0].x, t.cube.minima[0].y, t.cube.minima[0].z),
            std::make_tuple(r.cube.minima[0].x, r.cube.minima[0].y, r.cube.minima[0].z));
  for (int s = 0; s < 3; s++) {
    const OSTREL_saddle &a = t.cube.saddle[s], &b = r.cube.saddle[s];
    EXPECT_EQ(std::make_tuple(a.x, a.y, a.z, a.type), std::make_tuple(b.x, b.y, b.z, b.type));
    EXPECT_NEAR(a.e, b.e, 1e-8);
  }
  ASSERT_EQ(t.lib.total_path, 3);
  ASSERT_EQ(OSTREL_calc_activation_energy(&t.cube, &t.lib), 0);
  ASSERT_EQ(OSTREL_calc_activation_energy(&r.cube, &r.lib), 0);
  EXPECT_NEAR(t.lib.oneD, r.lib.oneD, 1e-8);
  EXPECT_NEAR(t.lib.twoD, r.lib.twoD, 1e-8);
  EXPECT_NEAR(t.lib.threeD, r.lib.threeD, 1e-8);
  // Each barrier is the cosine's between the two grid points nearest its top.
  EXPECT_NEAR(t.lib.oneD, tied(n / 2, 0, 0) - tied(0, 0, 0), 1e-9);
  EXPECT_NEAR(t.lib.threeD, tied(0, 0, n / 2) - tied(0, 0, 0), 1e-9);
}

TEST(Pipeline, ConcatenationChecksHopReferences) {
  Analysis r(cosine_cube("cos4.cube", 20, 0.11, 0.23, 0.37), p1_cif("cos4.cif"));
  ASSERT_TRUE(r.ok);
  OSTREL_connect_list hops;
  OSTREL_grid_path gp;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_concatenate_path(&r.cube, &r.lib, &gp, &hops), 1);
  hops.item = {1, 0};
  hops.total = 2;
  EXPECT_EQ(OSTREL_concatenate_path(&r.cube, &r.lib, &gp, &hops), 1);
  hops.item = {4};
  hops.total = 1;
  EXPECT_EQ(OSTREL_concatenate_path(&r.cube, &r.lib, &gp, &hops), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_concatenate_path()\n"
                "Error: Invalid input to OSTREL_concatenate_path()\n"
                "Error: Invalid input to OSTREL_concatenate_path()\n");
  testing::internal::GetCapturedStdout();
  // Walked backwards a hop runs from its end image to its start image.
  hops.item = {-1, 2};
  hops.total = 2;
  ASSERT_EQ(OSTREL_concatenate_path(&r.cube, &r.lib, &gp, &hops), 0);
  EXPECT_EQ(gp.length, 41);
  EXPECT_EQ(abs(gp.grid[10].x - gp.grid[0].x), 10);
  EXPECT_EQ(gp.color[0], r.lib.path[0].color);
}

// ---------------------------------------------------------------------------
// Hops that the landscape makes and the search must not lose

namespace {

// A P1 cell of edge L on an n^3 grid of f(i, j, k), written and analysed;
// warnings of the analysis are returned in `err`.
struct GridAnalysis {
  std::unique_ptr<Analysis> r;
  std::string err;
  GridAnalysis(const std::string& name, int n, double L,
               const std::function<double(int, int, int)>& f) {
    Grid g = ortho_grid_of(n, L, f);
    write_cube(scratch(name + ".cube"), g);
    testing::internal::CaptureStderr();
    r = std::make_unique<Analysis>(scratch(name + ".cube"), p1_cif(name + ".cif", L));
    err = testing::internal::GetCapturedStderr();
  }
};

}  // namespace

TEST(HopSearch, EndsOnTwoSidesOfABentChannelAreJoinedWhateverTheirAngle) {
  // A ring channel of radius 1.8 Å in the plane z = 0 with wells at +-120
  // degrees and saddles at 180 degrees (low) and 0 degrees (high).  The two
  // wells lie 60 degrees apart as seen from the 0-degree saddle, though they
  // are reached from its two sides: that saddle joins them all the same,
  // and the ring percolates nowhere.
  const int n = 48;
  const double L = 8.0, R = 1.8, c2 = 0.2;
  auto f = [&](int i, int j, int k) {
    const double x = (i - n / 2) * L / n, y = (j - n / 2) * L / n;
    const double rho = std::hypot(x, y), th = std::atan2(y, x);
    return 0.5 * (rho - R) * (rho - R) + c2 * (2 * cos(th) + cos(2 * th)) +
           3.0 * (1 - cos(TWO_PI * k / n));
  };
  GridAnalysis a("ring", n, L, f);
  ASSERT_TRUE(a.r->ok);
  OSTREL_cube& c = a.r->cube;
  // The library before redundant types are filtered out (the high saddle
  // joins the same two wells as the low one and goes there).
  OSTREL_pathlib lib;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OSTREL_build_path(&c, &a.r->cif, &lib), 0);
  ASSERT_EQ(OSTREL_build_allpaths(&c, &a.r->cif, &lib), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  // The saddle on the +x side of the ring, 4.5 c2 above the wells.
  int high = -1;
  for (int p = 0; p < lib.total_path; p++) {
    const OSTREL_saddle& s = c.saddle[lib.path[p].saddle];
    if (abs(s.y - n / 2) <= 1 && s.z == 0 && abs(s.x - (n / 2 + 11)) <= 2) high = p;
  }
  ASSERT_GE(high, 0) << err;
  const OSTREL_path& P = lib.path[high];
  EXPECT_NEAR(P.saddle_energy - P.start_energy, 4.5 * c2, 0.02);
  const OSTREL_minima& m1 = c.minima[P.start];
  const OSTREL_minima& m2 = c.minima[P.end];
  EXPECT_LT(m1.x, n / 2);  // both wells on the far side of the centre
  EXPECT_LT(m2.x, n / 2);
  EXPECT_NE(m1.y > n / 2, m2.y > n / 2);  // one on each side of the x axis
  EXPECT_EQ(P.end_p - P.start_p, 0);      // in one cell
  EXPECT_EQ(P.end_q - P.start_q, 0);
  int copies = 0;
  for (int q = 0; q < lib.total_allpath; q++) copies += lib.allpath[q].saddle == P.saddle;
  EXPECT_EQ(copies, 1);
  EXPECT_EQ(err.find("Cannot connect"), std::string::npos) << err;
}

TEST(HopSearch, MinimumInAWideBasinBehindAWallIsNoEndOfTheSaddle) {
  // Wells A and B, 5 Å apart along x, with the saddle S between them; a
  // broad slab 1.4 Å behind a 3 eV wall holds a deeper minimum C, nearer to
  // S (2.25 Å) than A and B (2.5 Å).  Seen from S, C lies in a basin of tens
  // of thousands of grid points below the saddle that none of S's sides
  // reaches, so the search for C's side must explore it all (or know that
  // no side floods it) and refuse C: the hop over S joins A and B.
  const int n = 80;
  const double L = 10.0;
  auto delta = [&](double u) { return (u - std::round(u)) * L; };
  auto f = [&](int i, int j, int k) {
    const double x = (double)i / n, y = (double)j / n, z = (double)k / n;
    const double dy = delta(y - 0.5), dz = delta(z - 0.5);
    auto well = [&](double x0) {
      const double dx = delta(x - x0);
      return -exp(-(dx * dx + dy * dy + dz * dz) / (2 * 1.0 * 1.0));
    };
    const double wall_y = delta(y - 46.0 / n), slab_y = delta(y - 58.0 / n);
    const double wall = 3.0 * exp(-wall_y * wall_y / (2 * 0.15 * 0.15));
    const double slab = exp(-slab_y * slab_y / (2 * 0.7 * 0.7)) *
                        (-1.5 + 0.5 * (2 - cos(TWO_PI * (x - 0.5)) - cos(TWO_PI * (z - 0.5))));
    // A gentle bowl round the cell corner leaves no flat far field.
    const double bowl = 0.2 * (3 - cos(TWO_PI * x) - cos(TWO_PI * y) - cos(TWO_PI * z));
    return well(0.25) + well(0.75) + wall + slab + bowl;
  };
  GridAnalysis a("slab", n, L, f);
  ASSERT_TRUE(a.r->ok) << a.err;
  OSTREL_cube& c = a.r->cube;
  OSTREL_pathlib lib;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OSTREL_build_path(&c, &a.r->cif, &lib), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  int through_s = 0;
  for (int p = 0; p < lib.total_path; p++) {
    const OSTREL_path& P = lib.path[p];
    const OSTREL_saddle& S = c.saddle[P.saddle];
    // (the bowl moves S, A and B by a grid step or so)
    if (S.x != 40 || abs(S.y - 40) > 1 || S.z != 40) continue;
    through_s++;
    const OSTREL_minima& m1 = c.minima[P.start];
    const OSTREL_minima& m2 = c.minima[P.end];
    EXPECT_NEAR(std::min(m1.x, m2.x), 20, 2) << err;
    EXPECT_NEAR(std::max(m1.x, m2.x), 60, 2) << err;
    EXPECT_NEAR(m1.y, 40, 1);
    EXPECT_NEAR(m2.y, 40, 1);
  }
  EXPECT_EQ(through_s, 1) << err;
}

TEST(HopSearch, CopyWithoutAnImageAtTheRepresentativesDistanceIsNotMade) {
  // A path type A -> B over S1, 0.4 Å from both; its saddle type has a
  // second member S2 across the cell, beside an image of B but far from
  // every image of A (a site whose partner the landscape lacks).  No
  // operation is known, so copies go by distances: with no image of A
  // 0.4 Å from S2, S2 gets no copy, rather than one to the nearest miss
  // in whatever cell it falls.
  OSTREL_cube c;
  flat_cube(&c, 20, 8.0);
  add_minimum(&c, 5, 5, 5, 1, 0.0);    // A
  add_minimum(&c, 7, 5, 5, 2, 0.1);    // B
  add_minimum(&c, 15, 12, 5, 2, 0.1);  // the second B
  add_saddle(&c, 6, 5, 5, 1, 0.3);     // S1
  add_saddle(&c, 14, 12, 5, 1, 0.3);   // S2
  OSTREL_pathlib lib;
  add_type(&lib, path_type(c, 0, 1, 0));
  OSTREL_cif cif;
  ASSERT_EQ(OSTREL_build_allpaths(&c, &cif, &lib), 0);
  int over_s1 = 0, over_s2 = 0;
  for (int q = 0; q < lib.total_allpath; q++) {
    over_s1 += lib.allpath[q].saddle == 0;
    over_s2 += lib.allpath[q].saddle == 1;
  }
  EXPECT_EQ(over_s1, 1);
  EXPECT_EQ(over_s2, 0);
  OSTREL_free_cube(&c);
}

TEST(HopSearch, TouchingSaddlesOfDifferentEnergiesAreTwoSaddles) {
  // Two channels one grid point wide cross at a shallow well M (0.09 eV):
  // along a to a well A (0 eV) over saddles at 0.10 eV next to M, along b to
  // a well B (0 eV) over saddles at 0.11 eV next to M.  The saddles at
  // (1,0,0) and (0,1,0) touch diagonally but separate different basins: by
  // hand the landscape conducts along a above 0.10 eV and in the ab plane
  // above 0.11 eV, nowhere else below the 2 eV background.
  const int n = 20;
  auto f = [&](int i, int j, int k) {
    auto channel = [&](int t, double top) {
      const int d = std::min(t, n - t);
      return top * (10 - d) / 9.0;
    };
    if (j == 0 && k == 0 && i != 0) return channel(i, 0.10);
    if (i == 0 && k == 0 && j != 0) return channel(j, 0.11);
    if (i == 0 && j == 0 && k == 0) return 0.09;
    return 2.0 + 0.3 * (3 - cos(TWO_PI * i / n) - cos(TWO_PI * j / n) - cos(TWO_PI * k / n));
  };
  GridAnalysis a("cross", n, 8.0, f);
  ASSERT_TRUE(a.r->ok);
  ASSERT_EQ(OSTREL_calc_activation_energy(&a.r->cube, &a.r->lib), 0);
  EXPECT_NEAR(a.r->lib.oneD, 0.10, 1e-6);
  EXPECT_NEAR(a.r->lib.twoD, 0.11, 1e-6);
  EXPECT_GT(a.r->lib.threeD, 2.0);
}

TEST(HopSearch, MinimaOnOneFlatFloorAreOneSite) {
  // A V-shaped chain of five grid points at exactly 0 eV in a bowl: the
  // tie-break by grid index makes both ends of the V minima (neither has a
  // neighbour on the floor of lower index), yet they are one flat-bottomed
  // site with no saddle between them.
  const int n = 20;
  const std::set<std::array<int, 3>> floor = {
      {7, 5, 10}, {8, 6, 10}, {9, 7, 10}, {8, 8, 10}, {7, 9, 10}};
  auto f = [&](int i, int j, int k) {
    if (floor.count({i, j, k})) return 0.0;
    const double di = i - 8, dj = j - 7, dk = k - 10;
    return 0.05 + 0.02 * (di * di + dj * dj + dk * dk);
  };
  GridAnalysis a("floor", n, 8.0, f);
  ASSERT_TRUE(a.r->ok);
  int on_floor = 0;
  for (int q = 0; q < a.r->cube.total_minima; q++) {
    const OSTREL_minima& m = a.r->cube.minima[q];
    on_floor += floor.count({m.x, m.y, m.z}) > 0;
    EXPECT_NEAR(m.e, 0.0, 1e-9);  // the bowl has no other minimum
  }
  EXPECT_EQ(on_floor, 1);
}

TEST(HopSearch, EverySaddleOfAHexagonalLandscapeHasAllItsImages) {
  // LiCoO2 (R-3m, hexagonal axes): Li wells at 3b, Co and O repelling.  The
  // 26 grid neighbours of a point are not carried into themselves by the
  // 3-fold axis, so the neighbour test finds a saddle at some of its images
  // only; every image of a saddle is a saddle all the same, and a hop over a
  // missing one is lost.  Each saddle type must list the grid images of its
  // representative under the 36 operations.
  const std::vector<Op> ops = write_licoo2_landscape("hexorbit", 24, 24, 120);
  testing::internal::CaptureStderr();
  Analysis r(scratch("hexorbit.cube"), scratch("hexorbit.cif"));
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(r.ok);
  const OSTREL_cube& c = r.cube;
  ASSERT_GT(c.total_saddle_type, 0);
  const int n[3] = {24, 24, 120};
  for (int t = 1; t <= c.total_saddle_type; t++) {
    const OSTREL_saddle& rep = c.saddle[c.saddle_type_index[t]];
    std::set<std::array<int, 3>> listed, images;
    for (int q = 0; q < c.total_saddle; q++)
      if (c.saddle[q].type == t) listed.insert({c.saddle[q].x, c.saddle[q].y, c.saddle[q].z});
    for (const Op& o : ops) {
      const int p[3] = {rep.x, rep.y, rep.z};
      std::array<int, 3> q;
      for (int i = 0; i < 3; i++) {
        long long s = std::lround(o.t[i] * n[i]);
        for (int j = 0; j < 3; j++) s += (long long)o.r[i][j] * p[j] * n[i] / n[j];
        q[i] = (int)(((s % n[i]) + n[i]) % n[i]);
      }
      images.insert(q);
    }
    // Each image is listed or has a member of the type within two grid
    // steps (a saddle between grid points is kept at one of its grid
    // points, and the image of the other may lie a step beyond it).
    for (const auto& q : images) {
      bool near = false;
      for (const auto& m : listed) {
        bool adj = true;
        for (int i = 0; i < 3; i++) {
          const int d = abs(m[i] - q[i]);
          adj = adj && std::min(d, n[i] - d) <= 2;
        }
        near = near || adj;
      }
      EXPECT_TRUE(near) << "saddle type " << t << " lacks its image at " << q[0] << " " << q[1]
                        << " " << q[2];
    }
  }
}

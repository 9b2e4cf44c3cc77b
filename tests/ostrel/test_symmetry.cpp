// Grid symmetry of ostrel: integer operations, merging of close images, the
// asymmetric unit (checked against Burnside's orbit count), both searches on
// landscapes with the symmetry of antifluorite Li2O (Fm-3m) and layered
// LiCoO2 (R-3m, hexagonal axes), grouping into types, ion sites,
// interstitial labels, deletion and export of sites into the structure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "OSTREL-symmetry.h"
#include "test_util.h"

using namespace ostrel_test;

namespace {

using Point = std::tuple<int, int, int>;

OSTREL_cif cif_with_ops(const std::vector<std::string>& ops) {
  OSTREL_cif cif;
  EXPECT_EQ(OSTREL_init_cif(&cif), 0);
  cif.symop = ops;
  cif.symop_no = (int)ops.size();
  return cif;
}

OSTREL_cube empty_cube(int na, int nb, int nc, double a = 10, double b = 10, double c = 10) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  EXPECT_EQ(OSTREL_alloc_cube_energy(&cube, na, nb, nc), 0);
  cube.a = a;
  cube.b = b;
  cube.c = c;
  cube.d1 = a * a;
  cube.d2 = b * b;
  cube.d3 = c * c;
  return cube;
}

TEST(GridOps, IntegerFormOfOperations) {
  OSTREL_cube cube = empty_cube(40, 40, 40);
  OSTREL_cif cif = cif_with_ops({"-x+1/2,-y,z", "x+0.5, y-1/4, -z+3/4", "1/2+x,y,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  EXPECT_EQ(cif.fg.total, 3);
  EXPECT_EQ(cif.fg.op[0].x_x, -1);
  EXPECT_EQ(cif.fg.op[0].x_a, 20);
  EXPECT_EQ(cif.fg.op[0].y_y, -1);
  EXPECT_EQ(cif.fg.op[0].z_z, 1);
  EXPECT_EQ(cif.fg.op[1].x_a, 20);  // decimal translation
  EXPECT_EQ(cif.fg.op[1].y_a, -10);
  EXPECT_EQ(cif.fg.op[1].z_z, -1);
  EXPECT_EQ(cif.fg.op[1].z_a, 30);
  EXPECT_EQ(cif.fg.op[2].x_a, 20);
  EXPECT_EQ(cif.diff_neigh, 0);
  OSTREL_cif hex = cif_with_ops({"x,y,z", "x-y,x,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&hex, &cube), 0);
  EXPECT_EQ(hex.diff_neigh, 1);
  EXPECT_EQ(hex.fg.op[1].x_y, -1);
  OSTREL_cif bad = cif_with_ops({"x*2,y,z"});
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_prepare_fastgen_symop(&bad, &cube), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Invalid symmetry operation x*2,y,z\n");
  OSTREL_cif many = cif_with_ops(std::vector<std::string>(193, "x,y,z"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_prepare_fastgen_symop(&many, &cube), 1);
  testing::internal::GetCapturedStderr();
}

TEST(GridOps, RoundCopies) {
  EXPECT_EQ(OSTREL_round_copies(3, 2.5), 3);
  EXPECT_EQ(OSTREL_round_copies(2, 2.5), 2);
  EXPECT_EQ(OSTREL_round_copies(0, 2.5), 3);
  EXPECT_EQ(OSTREL_round_copies(-1, -0.5), -1);
  EXPECT_EQ(OSTREL_round_copies(5, 5.4), 5);
  EXPECT_EQ(OSTREL_round_copies(5, 5.6), 6);
}

TEST(GridOps, ImagesAndMerging) {
  OSTREL_cube cube = empty_cube(40, 40, 40);
  OSTREL_cif cif = cif_with_ops({"x,y,z", "-x,-y,z", "x,y,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  OSTREL_symcopies c;
  OSTREL_fastgen_sym_copies(&cif, &cube, &c, 3, 5, 7);
  ASSERT_EQ(c.total, 2);  // the repeated identity adds nothing
  EXPECT_EQ(c.copy[1].x, 37);
  EXPECT_EQ(c.copy[1].y, 35);
  EXPECT_EQ(c.copy[1].z, 7);
  EXPECT_EQ(OSTREL_is_symmetrically_related(&cif, &cube, 37, 35, 47, 3, 5, 7), 1);
  EXPECT_EQ(OSTREL_is_symmetrically_related(&cif, &cube, 37, 5, 7, 3, 5, 7), 0);
  // Two images at a = 10 and 11: one point, true position 10.5, grid point
  // rounded towards the seed.
  c.total = 2;
  c.copy[0] = OSTREL_fastgen_xyz{10, 5, 5, 10, 5, 5};
  c.copy[1] = OSTREL_fastgen_xyz{11, 5, 5, 11, 5, 5};
  OSTREL_condense_copies(&cif, &cube, &c, 1);
  ASSERT_EQ(c.total, 1);
  EXPECT_DOUBLE_EQ(c.copy[0].p, 10.5);
  EXPECT_EQ(c.copy[0].x, 10);
  // Across the cell boundary: 0 and 39 merge at -0.5, wrapped to 39.5.
  c.total = 2;
  c.copy[0] = OSTREL_fastgen_xyz{0, 5, 5, 0, 5, 5};
  c.copy[1] = OSTREL_fastgen_xyz{39, 5, 5, 39, 5, 5};
  OSTREL_condense_copies(&cif, &cube, &c, 1);
  ASSERT_EQ(c.total, 1);
  EXPECT_DOUBLE_EQ(c.copy[0].p, 39.5);
  EXPECT_EQ(c.copy[0].x, 39);  // round(-0.5) away from zero, wrapped
  // Four images around a 4-fold axis one step away: the first group holds
  // three of them with their mean next to the axis; its grid point stays
  // one of its own images.
  c.total = 4;
  c.copy[0] = OSTREL_fastgen_xyz{1, 0, 0, 1, 0, 0};
  c.copy[1] = OSTREL_fastgen_xyz{0, 1, 0, 0, 1, 0};
  c.copy[2] = OSTREL_fastgen_xyz{39, 0, 0, 39, 0, 0};
  c.copy[3] = OSTREL_fastgen_xyz{0, 39, 0, 0, 39, 0};
  OSTREL_condense_copies(&cif, &cube, &c, 1);
  ASSERT_EQ(c.total, 2);
  EXPECT_EQ(Point(c.copy[0].x, c.copy[0].y, c.copy[0].z), Point(1, 0, 0));
  EXPECT_NEAR(c.copy[0].p, 1.0 / 3, 1e-12);
  EXPECT_EQ(Point(c.copy[1].x, c.copy[1].y, c.copy[1].z), Point(39, 0, 0));
}

// Number of orbits of the grid under the operations (Burnside's lemma: the
// mean number of grid points each operation fixes).
long burnside_orbits(const std::vector<Op>& ops, int na, int nb, int nc) {
  const int n[3] = {na, nb, nc};
  long fixed = 0;
  for (const Op& o : ops)
    for (int i = 0; i < na; i++)
      for (int j = 0; j < nb; j++)
        for (int k = 0; k < nc; k++) {
          int p[3] = {i, j, k};
          bool same = true;
          for (int r = 0; r < 3 && same; r++) {
            long s = std::lround(o.t[r] * n[r]);
            for (int c = 0; c < 3; c++) s += o.r[r][c] * p[c];
            same = ((s % n[r]) + n[r]) % n[r] == p[r];
          }
          fixed += same;
        }
  return fixed / (long)ops.size();
}

struct Landscape {
  OSTREL_cube cube;
  OSTREL_cif cif;
};

// Antifluorite Li2O (a = 4.61 Å): Li wells at 8c, O repulsion at 4a.
std::vector<Op> li2o_ops() { return group_Fm3m(); }

Landscape li2o_landscape(int n, bool load_ok = true) {
  std::vector<Op> ops = li2o_ops();
  double cell[3][3];
  cell_vectors(4.61, 4.61, 4.61, 90, 90, 90, cell);
  std::vector<Well> w;
  for (auto& p : orbit(ops, 0.25, 0.25, 0.25)) w.push_back({p[0], p[1], p[2], 1.0, 0.6});
  for (auto& p : orbit(ops, 0, 0, 0)) w.push_back({p[0], p[1], p[2], -1.5, 0.7});
  Grid g = symmetric_grid(n, n, n, cell, ops, wells(cell, w));
  std::string cube_path = scratch("li2o_" + std::to_string(n) + ".cube");
  std::string cif_path = scratch("li2o.cif");
  write_cube(cube_path, g);
  write_text(cif_path, make_cif(4.61, 4.61, 4.61, 90, 90, 90, ops,
                                {{"Li1", "Li1+", 0.25, 0.25, 0.25, 1.0}, {"O1", "O2-", 0, 0, 0, 1.0}},
                                {{"Li1+", 1}, {"O2-", -2}}));
  Landscape l;
  OSTREL_init_cube(&l.cube);
  OSTREL_init_cif(&l.cif);
  EXPECT_EQ(OSTREL_load_cube(cube_path.c_str(), &l.cube), 0);
  OSTREL_process_cube(&l.cube);
  EXPECT_EQ(OSTREL_load_cif(cif_path.c_str(), &l.cif), 0);
  EXPECT_EQ(OSTREL_prepare_fastgen_symop(&l.cif, &l.cube), 0);
  (void)load_ok;
  return l;
}

std::set<Point> minima_points(const OSTREL_cube& c) {
  std::set<Point> s;
  for (int q = 0; q < c.total_minima; q++) s.insert({c.minima[q].x, c.minima[q].y, c.minima[q].z});
  return s;
}

std::set<Point> saddle_points(const OSTREL_cube& c) {
  std::set<Point> s;
  for (int q = 0; q < c.total_saddle; q++) s.insert({c.saddle[q].x, c.saddle[q].y, c.saddle[q].z});
  return s;
}

// What the analysis promises about its stationary points: minima no higher
// than any of their 26 neighbours, saddles with two or more clusters of
// lower neighbours, equal energies within each type, types numbered by
// energy, and members of each type counted by the multiplicity.
void expect_sound_stationary_points(const OSTREL_cube& c) {
  for (int q = 0; q < c.total_minima; q++) {
    const OSTREL_minima& m = c.minima[q];
    EXPECT_DOUBLE_EQ(m.e, OSTREL_cube_energy(&c, m.x, m.y, m.z));
    for (int da = -1; da <= 1; da++)
      for (int db = -1; db <= 1; db++)
        for (int dc = -1; dc <= 1; dc++)
          EXPECT_GE(OSTREL_cube_energy(&c, m.x + da, m.y + db, m.z + dc), m.e - 1e-7)
              << "minimum " << q;
  }
  for (int q = 0; q < c.total_saddle; q++) {
    const OSTREL_saddle& s = c.saddle[q];
    EXPECT_GE(OSTREL_find_lower_energy_neighbour_cluster(&c, s.x, s.y, s.z), 2) << "saddle " << q;
    EXPECT_DOUBLE_EQ(s.e, OSTREL_cube_energy(&c, s.x, s.y, s.z));
  }
  int sum = 0;
  for (int t = 1; t <= c.total_minima_type; t++) {
    int members = 0;
    const OSTREL_minima& rep = c.minima[c.minima_type_index[t]];
    for (int q = 0; q < c.total_minima; q++)
      if (c.minima[q].type == t) {
        members++;
        EXPECT_NEAR(c.minima[q].e, rep.e, 1e-7);
        EXPECT_EQ(c.minima[q].mul, rep.mul);
      }
    EXPECT_EQ(members, rep.mul) << "minimum type " << t;
    sum += members;
    if (t > 1) {
      EXPECT_LE(c.minima[c.minima_type_index[t - 1]].e, rep.e);
    }
  }
  EXPECT_EQ(sum, c.total_minima);
  for (int t = 1; t <= c.total_saddle_type; t++) {
    const OSTREL_saddle& rep = c.saddle[c.saddle_type_index[t]];
    for (int q = 0; q < c.total_saddle; q++)
      if (c.saddle[q].type == t) {
        EXPECT_NEAR(c.saddle[q].e, rep.e, 1e-7);
      }
  }
}

TEST(AsymmetricUnit, OneListedPointPerOrbit) {
  Landscape l = li2o_landscape(24);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&l.cube, &l.cif, &unit), 0);
  EXPECT_EQ(unit.total, burnside_orbits(li2o_ops(), 24, 24, 24));
  EXPECT_EQ(unit.grid_symmetric, 1);
  EXPECT_EQ(unit.grid[0].x, 0);  // the origin comes first
  // The listed points are in distinct orbits.
  std::set<Point> seen;
  for (int p = 0; p < unit.total; p++) {
    OSTREL_symcopies c;
    OSTREL_fastgen_sym_copies(&l.cif, &l.cube, &c, unit.grid[p].x, unit.grid[p].y, unit.grid[p].z);
    for (int q = 0; q < c.total; q++)
      EXPECT_TRUE(seen.insert({c.copy[q].x, c.copy[q].y, c.copy[q].z}).second);
  }
  EXPECT_EQ(seen.size(), 24u * 24 * 24);
  for (int p = 0; p < unit.stotal; p++)
    EXPECT_LT(l.cube.energy.at(unit.sgrid[p].x, unit.sgrid[p].y, unit.sgrid[p].z), 5.0);
  // Pm-3m on a 12^3 grid: 84 orbits (multisets of three values in 0..6).
  OSTREL_cube cube = empty_cube(12, 12, 12);
  std::vector<std::string> ops;
  for (const Op& o : group_Pm3m()) ops.push_back(op_text(o));
  OSTREL_cif cubic = cif_with_ops(ops);
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cubic, &cube), 0);
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&cube, &cubic, &unit), 0);
  EXPECT_EQ(unit.total, 84);
}

TEST(AsymmetricUnit, DetectsGridWithoutTheSymmetry) {
  Landscape l = li2o_landscape(24);
  l.cube.energy.at(3, 4, 5) += 0.01;
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&l.cube, &l.cif, &unit), 0);
  EXPECT_EQ(unit.grid_symmetric, 0);
  EXPECT_NEAR(unit.max_asymmetry, 0.01, 1e-9);
}

TEST(Li2O, SymmetricAndFullGridSearchesAgree) {
  Landscape sym = li2o_landscape(24);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&sym.cube, &sym.cif, &unit), 0);
  ASSERT_EQ(OSTREL_find_stationary_points(&sym.cube, &sym.cif, &unit), 0);
  Landscape full = li2o_landscape(24);
  ASSERT_EQ(OSTREL_find_stationary_points2(&full.cube, &full.cif), 0);
  EXPECT_EQ(minima_points(sym.cube), minima_points(full.cube));
  EXPECT_EQ(saddle_points(sym.cube), saddle_points(full.cube));
  EXPECT_GE(sym.cube.total_minima, 8);
  EXPECT_GE(sym.cube.total_saddle, 24);
  for (Landscape* l : {&sym, &full}) {
    ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&l->cube, &l->cif), 0);
    ASSERT_EQ(OSTREL_group_minima_by_symmetry(&l->cube, &l->cif), 0);
    expect_sound_stationary_points(l->cube);
  }
  EXPECT_EQ(sym.cube.total_minima_type, full.cube.total_minima_type);
  EXPECT_EQ(sym.cube.total_saddle_type, full.cube.total_saddle_type);
}

TEST(Li2O, LithiumSitesAreTheLowestMinima) {
  Landscape l = li2o_landscape(24);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&l.cube, &l.cif, &unit), 0);
  ASSERT_EQ(OSTREL_find_stationary_points(&l.cube, &l.cif, &unit), 0);
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&l.cube, &l.cif), 0);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&l.cube, &l.cif), 0);
  l.cif.ion = 1;
  l.cif.probe_type = "Li1+";
  ASSERT_EQ(OSTREL_assign_ion_to_sites(&l.cube, &l.cif), 0);
  OSTREL_assign_interstitial_labels(&l.cube);
  // Type 1: the eight 8c sites (x, y, z all 1/4 or 3/4 of 24 steps).
  const OSTREL_minima& rep = l.cube.minima[l.cube.minima_type_index[1]];
  EXPECT_EQ(rep.mul, 8);
  std::set<Point> li;
  for (int q = 0; q < l.cube.total_minima; q++) {
    const OSTREL_minima& m = l.cube.minima[q];
    if (m.type != 1) {
      EXPECT_EQ(m.total_ions, 0);
      EXPECT_GT(m.ins_label, 0);
      continue;
    }
    li.insert({m.x, m.y, m.z});
    ASSERT_EQ(m.total_ions, 1);
    EXPECT_EQ(m.ion[0].label, "Li1");
    EXPECT_DOUBLE_EQ(m.ion[0].occ, 1.0);
    EXPECT_EQ(m.ins_label, 0);
  }
  std::set<Point> expect;
  for (int a : {6, 18})
    for (int b : {6, 18})
      for (int c : {6, 18}) expect.insert({a, b, c});
  EXPECT_EQ(li, expect);
  std::string label;
  ASSERT_EQ(OSTREL_label_minima_site(&l.cube, &label, 1), 0);
  EXPECT_EQ(label, "Li1");
  if (l.cube.total_minima_type >= 2) {
    ASSERT_EQ(OSTREL_label_minima_site(&l.cube, &label, 2), 0);
    EXPECT_EQ(label, "i1");
  }
  // The lowest saddle joins neighbouring Li sites through the 24d edge
  // centres, e.g. (1/2, 1/4, 1/4): 24 of them.
  const OSTREL_saddle& s1 = l.cube.saddle[l.cube.saddle_type_index[1]];
  EXPECT_EQ(s1.mul, 24);
  std::set<Point> edges;
  for (int q = 0; q < l.cube.total_saddle; q++)
    if (l.cube.saddle[q].type == 1) edges.insert({l.cube.saddle[q].x, l.cube.saddle[q].y, l.cube.saddle[q].z});
  EXPECT_EQ(edges.size(), 24u);
  EXPECT_TRUE(edges.count({12, 6, 6}));
}

TEST(Li2O, SmoothingKeepsSymmetryAndMinimum) {
  Landscape l = li2o_landscape(24);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&l.cube, &l.cif, &unit), 0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(OSTREL_smooth_cube_with_symmetry(&l.cube, &l.cif, &unit), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Center weight: ", 0), 0u);
  EXPECT_EQ(l.cube.global_minimum, 0.0);
  double lowest = *std::min_element(l.cube.energy.data.begin(), l.cube.energy.data.end());
  EXPECT_NEAR(lowest, 0.0, 1e-12);
  OSTREL_asymmetric_unit again;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&l.cube, &l.cif, &again), 0);
  EXPECT_EQ(again.grid_symmetric, 1);
  // A constant grid stays constant (the kernel is normalised).
  for (double& v : l.cube.energy.data) v = 2.5;
  testing::internal::CaptureStdout();
  ASSERT_EQ(OSTREL_smooth_cube_with_symmetry(&l.cube, &l.cif, &unit), 0);
  testing::internal::GetCapturedStdout();
  for (double v : l.cube.energy.data) ASSERT_NEAR(v, 0.0, 1e-9);
}

TEST(LiCoO2, HexagonalOperationsUseTheFullGridSearch) {
  const std::vector<Op> ops = write_licoo2_landscape("licoo2", 12, 12, 60);
  ASSERT_EQ(ops.size(), 36u);
  OSTREL_cube cube;
  OSTREL_cif cif;
  OSTREL_init_cube(&cube);
  OSTREL_init_cif(&cif);
  ASSERT_EQ(OSTREL_load_cube(scratch("licoo2.cube").c_str(), &cube), 0);
  OSTREL_process_cube(&cube);
  ASSERT_EQ(OSTREL_load_cif(scratch("licoo2.cif").c_str(), &cif), 0);
  EXPECT_EQ(cif.site[0].mul, 3);
  EXPECT_EQ(cif.site[2].mul, 6);
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  EXPECT_EQ(cif.diff_neigh, 1);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&cube, &cif, &unit), 0);
  EXPECT_EQ(unit.grid_symmetric, 1);
  EXPECT_EQ(unit.total, burnside_orbits(ops, 12, 12, 60));
  ASSERT_EQ(OSTREL_find_stationary_points2(&cube, &cif), 0);
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&cube, &cif), 0);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&cube, &cif), 0);
  expect_sound_stationary_points(cube);
  cif.ion = 1;
  cif.probe_type = "Li1+";
  ASSERT_EQ(OSTREL_assign_ion_to_sites(&cube, &cif), 0);
  // The three Li sites (0,0,1/2), (2/3,1/3,5/6), (1/3,2/3,1/6) are one type.
  std::set<Point> li;
  for (int q = 0; q < cube.total_minima; q++)
    if (cube.minima[q].total_ions > 0) {
      li.insert({cube.minima[q].x, cube.minima[q].y, cube.minima[q].z});
      EXPECT_EQ(cube.minima[q].type, cube.minima[0].type);
      EXPECT_EQ(cube.minima[q].mul, 3);
    }
  EXPECT_EQ(li, (std::set<Point>{{0, 0, 30}, {8, 4, 50}, {4, 8, 10}}));
}

TEST(Ions, HalfwayIonIsShared) {
  OSTREL_cube cube = empty_cube(10, 10, 10);
  OSTREL_cif cif = cif_with_ops({"x,y,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  OSTREL_add_cube_minima_point(&cube, 4, 5, 5, 0, 4, 5, 5, 0.0);
  OSTREL_add_cube_minima_point(&cube, 6, 5, 5, 0, 6, 5, 5, 0.0);  // equal energy
  OSTREL_add_cube_minima_point(&cube, 1, 1, 1, 0, 1, 1, 1, 0.3);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&cube, &cif), 0);
  EXPECT_EQ(cube.total_minima_type, 3);  // equal energies keep distinct types
  EXPECT_EQ(cube.minima[0].type, 1);
  EXPECT_EQ(cube.minima[1].type, 2);
  EXPECT_EQ(cube.minima[2].type, 3);
  int counter = 0;
  OSTREL_add_cif_type(&cif, "Na1+", &counter, 1.0);
  OSTREL_add_cif_site(&cif, "Na1", "Na1+", 1, 'a', 0.5, 0.5, 0.5, 0.8, 1.0);
  OSTREL_add_cif_site(&cif, "Na2", "Na1+", 1, 'a', 0.4, 0.5, 0.5, 0.1, 1.0);
  cif.ion = 1;
  cif.probe_type = "Na1+";
  ASSERT_EQ(OSTREL_assign_ion_to_sites(&cube, &cif), 0);
  ASSERT_EQ(cube.minima[0].total_ions, 2);
  EXPECT_DOUBLE_EQ(cube.minima[0].ion[0].occ, 0.4);
  EXPECT_EQ(cube.minima[0].ion[1].label, "Na2");
  EXPECT_DOUBLE_EQ(cube.minima[0].ion[1].occ, 0.1);
  ASSERT_EQ(cube.minima[1].total_ions, 1);
  EXPECT_DOUBLE_EQ(cube.minima[1].ion[0].occ, 0.4);
  OSTREL_assign_interstitial_labels(&cube);
  EXPECT_EQ(cube.minima[2].ins_label, 1);
  std::string label;
  OSTREL_label_minima_site(&cube, &label, 1);
  EXPECT_EQ(label, "Na1/Na2");
  OSTREL_label_minima_site(&cube, &label, 3);
  EXPECT_EQ(label, "i1");
  // Sites written back into the structure.
  OSTREL_cif out;
  ASSERT_EQ(OSTREL_copy_cif(&cif, &out), 0);
  ASSERT_EQ(OSTREL_add_interstitial_to_cif(&cube, &out, 1), 0);
  ASSERT_EQ(out.site_no, 3);
  EXPECT_EQ(out.site[2].label, "i1");
  EXPECT_EQ(out.site[2].type, "IS");
  EXPECT_DOUBLE_EQ(out.site[2].x, 0.1);
  OSTREL_copy_cif(&cif, &out);
  ASSERT_EQ(OSTREL_add_interstitial_to_cif(&cube, &out, 3), 0);
  ASSERT_EQ(out.site_no, 4);
  EXPECT_EQ(out.site[2].label, "Na1");
  EXPECT_EQ(out.site[3].label, "Na2");
  EXPECT_DOUBLE_EQ(out.site[2].occ, 0.5);
  EXPECT_DOUBLE_EQ(out.site[2].ox, 1.0);
  OSTREL_copy_cif(&cif, &out);
  ASSERT_EQ(OSTREL_add_interstitial_to_cif(&cube, &out, 2), 0);
  EXPECT_EQ(out.site[2].label, "Na1/Na2");
}

TEST(Ions, SitesOfTheMobileSpecies) {
  OSTREL_cif cif = cif_with_ops({"x,y,z"});
  cif.probe_type = "Li1+";
  auto site = [](const char* label, const char* type) {
    OSTREL_site s;
    s.label = label;
    s.type = type;
    return s;
  };
  EXPECT_TRUE(OSTREL_site_is_probe(&cif, site("Li1", "Li1+")));
  EXPECT_TRUE(OSTREL_site_is_probe(&cif, site("Li1", "Li+1")));
  EXPECT_TRUE(OSTREL_site_is_probe(&cif, site("Li1", "Li+")));
  EXPECT_TRUE(OSTREL_site_is_probe(&cif, site("Li1", "Li")));
  EXPECT_TRUE(OSTREL_site_is_probe(&cif, site("Li(2)", ".")));
  EXPECT_FALSE(OSTREL_site_is_probe(&cif, site("Li1", "Li2+")));
  EXPECT_FALSE(OSTREL_site_is_probe(&cif, site("L1", "La3+")));
  EXPECT_FALSE(OSTREL_site_is_probe(&cif, site("O1", "O-2")));
  EXPECT_FALSE(OSTREL_site_is_probe(&cif, site("Lix", "Lix")));
  cif.probe_type = "O2-";
  EXPECT_TRUE(OSTREL_site_is_probe(&cif, site("O1", "O-2")));
  EXPECT_FALSE(OSTREL_site_is_probe(&cif, site("Os1", "Os4+")));
}

TEST(Ions, NoMinimaNoAssignment) {
  OSTREL_cube cube = empty_cube(10, 10, 10);
  OSTREL_cif cif = cif_with_ops({"x,y,z"});
  OSTREL_add_cif_site(&cif, "Li1", "Li1+", 1, 'a', 0.5, 0.5, 0.5, 1.0, 1.0);
  cif.ion = 1;
  cif.probe_type = "Li1+";
  EXPECT_EQ(OSTREL_assign_ion_to_sites(&cube, &cif), 0);
}

// Grid of distinct energies with a mirror x -> -x.
OSTREL_cube mirror_cube() {
  OSTREL_cube cube = empty_cube(10, 10, 10);
  for (int i = 0; i < 10; i++)
    for (int j = 0; j < 10; j++)
      for (int k = 0; k < 10; k++) cube.energy.at(i, j, k) = std::min(i, 10 - i) + 10 * j + 100 * k;
  return cube;
}

TEST(SplitMinima, BothSearchesMergeTwinsAcrossAMirror) {
  // A mirror between grid points 0 and 1 (x -> 1/10 - x on 10 steps): the
  // minimum at x = 0.5 steps shows as two equal grid minima, one site.
  OSTREL_cube cube = empty_cube(10, 10, 10);
  for (int i = 0; i < 10; i++)
    for (int j = 0; j < 10; j++)
      for (int k = 0; k < 10; k++) {
        double dx = std::min(fabs(i - 0.5), 10 - fabs(i - 0.5));
        cube.energy.at(i, j, k) = dx * dx + 0.3 * (j - 5) * (j - 5) + 0.7 * (k - 5) * (k - 5);
      }
  cube.max_energy = 100;
  OSTREL_cif cif = cif_with_ops({"x,y,z", "-x+1/10,y,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&cube, &cif, &unit), 0);
  ASSERT_EQ(unit.grid_symmetric, 1);
  ASSERT_EQ(OSTREL_find_stationary_points(&cube, &cif, &unit), 0);
  ASSERT_EQ(cube.total_minima, 1);
  EXPECT_EQ(Point(cube.minima[0].x, cube.minima[0].y, cube.minima[0].z), Point(0, 5, 5));
  EXPECT_DOUBLE_EQ(cube.minima[0].tx, 0.5);
  OSTREL_cube full = cube;
  ASSERT_EQ(OSTREL_find_stationary_points2(&full, &cif), 0);
  ASSERT_EQ(full.total_minima, 1);
  EXPECT_EQ(Point(full.minima[0].x, full.minima[0].y, full.minima[0].z), Point(0, 5, 5));
  EXPECT_DOUBLE_EQ(full.minima[0].tx, 0.5);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&full, &cif), 0);
  EXPECT_EQ(full.minima[0].mul, 2);  // two grid images of the one site
}

TEST(SaddleTypes, SplitSaddlesAreCleanedUp) {
  // Representatives of two types one grid step apart with one energy (one
  // saddle split by the grid): the later type goes.  With energies 0.3 meV
  // apart they are two saddles and both stay.
  OSTREL_cube apart = mirror_cube();
  OSTREL_cif p1 = cif_with_ops({"x,y,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&p1, &apart), 0);
  apart.energy.at(5, 6, 4) = apart.energy.at(5, 5, 5) + 3e-4;
  for (Point p : {Point(5, 5, 5), Point(5, 6, 4)})
    OSTREL_add_cube_saddle_point(&apart, std::get<0>(p), std::get<1>(p), std::get<2>(p), 0,
                                 OSTREL_cube_energy(&apart, std::get<0>(p), std::get<1>(p),
                                                    std::get<2>(p)));
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&apart, &p1), 0);
  EXPECT_EQ(apart.total_saddle_type, 2);
  OSTREL_cube cube = mirror_cube();
  cube.energy.at(5, 5, 5) = cube.energy.at(5, 6, 4) + 5e-5;
  for (Point p : {Point(5, 5, 5), Point(2, 2, 2), Point(5, 6, 4)})
    OSTREL_add_cube_saddle_point(&cube, std::get<0>(p), std::get<1>(p), std::get<2>(p), 0,
                                 OSTREL_cube_energy(&cube, std::get<0>(p), std::get<1>(p),
                                                    std::get<2>(p)));
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&cube, &p1), 0);
  ASSERT_EQ(cube.total_saddle_type, 2);
  ASSERT_EQ(cube.total_saddle, 2);
  EXPECT_EQ(Point(cube.saddle[0].x, cube.saddle[0].y, cube.saddle[0].z), Point(2, 2, 2));
  EXPECT_EQ(Point(cube.saddle[1].x, cube.saddle[1].y, cube.saddle[1].z), Point(5, 6, 4));
  // A flat saddle on the mirror: (9,5,5), (0,5,5) and (1,5,5) share one
  // energy.  The saddle moves to the plateau's centre and its mirror image
  // on the same plateau goes.
  OSTREL_cube flat = mirror_cube();
  for (int i : {9, 0, 1}) flat.energy.at(i, 5, 5) = 0.5;
  OSTREL_cif mirror = cif_with_ops({"x,y,z", "-x,y,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&mirror, &flat), 0);
  OSTREL_add_cube_saddle_point(&flat, 1, 5, 5, 0, 0.5);
  OSTREL_add_cube_saddle_point(&flat, 9, 5, 5, 0, 0.5);
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&flat, &mirror), 0);
  ASSERT_EQ(flat.total_saddle, 1);
  EXPECT_EQ(flat.saddle[0].mul, 2);
  EXPECT_DOUBLE_EQ(flat.saddle[0].tx, 0.0);
  EXPECT_DOUBLE_EQ(flat.saddle[0].ty, 5.0);
  // A plateau of more than 28 points (a flat ridge through the cell) keeps
  // its saddle, at the grid point: its hops are still to be made.
  OSTREL_cube wide = mirror_cube();
  for (int i = 0; i < 10; i++)
    for (int j = 0; j < 10; j++) wide.energy.at(i, j, 3) = 0.25;
  OSTREL_add_cube_saddle_point(&wide, 4, 4, 3, 0, 0.25);
  OSTREL_add_cube_saddle_point(&wide, 2, 2, 7, 0, OSTREL_cube_energy(&wide, 2, 2, 7));
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&wide, &p1), 0);
  ASSERT_EQ(wide.total_saddle, 2);
  EXPECT_EQ(wide.total_saddle_type, 2);
  EXPECT_EQ(Point(wide.saddle[0].x, wide.saddle[0].y, wide.saddle[0].z), Point(4, 4, 3));
  EXPECT_DOUBLE_EQ(wide.saddle[0].tx, 4.0);
  EXPECT_DOUBLE_EQ(wide.saddle[0].tz, 3.0);
  EXPECT_EQ(wide.saddle[1].z, 7);
}

TEST(Deleting, TypesAndMembers) {
  OSTREL_cube cube = empty_cube(10, 10, 10);
  OSTREL_cif cif = cif_with_ops({"x,y,z", "-x,y,z"});
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  // Saddles: a pair of mirror images (one type), and a single one.
  OSTREL_add_cube_saddle_point(&cube, 2, 1, 1, 0, 0.5);
  OSTREL_add_cube_saddle_point(&cube, 0, 5, 5, 0, 0.2);
  OSTREL_add_cube_saddle_point(&cube, 8, 1, 1, 0, 0.5);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&cube, &cif), 0);
  // (the saddles are grouped directly: no plateau clean-up on this grid)
  cube.total_saddle_type = 0;
  for (int q = 0; q < 3; q++) cube.saddle[q].type = q == 1 ? 1 : 2;
  std::stable_sort(cube.saddle.begin(), cube.saddle.begin() + 3,
                   [](const OSTREL_saddle& a, const OSTREL_saddle& b) { return a.type < b.type; });
  cube.total_saddle_type = 2;
  OSTREL_refresh_saddle_type_index(&cube);
  ASSERT_EQ(OSTREL_delete_saddle(&cube, 1), 0);  // one of two members
  EXPECT_EQ(cube.total_saddle, 2);
  EXPECT_EQ(cube.total_saddle_type, 2);
  ASSERT_EQ(OSTREL_delete_saddle(&cube, 0), 0);  // the only member of type 1
  EXPECT_EQ(cube.total_saddle, 1);
  EXPECT_EQ(cube.total_saddle_type, 1);
  EXPECT_EQ(cube.saddle[0].type, 1);
  EXPECT_EQ(cube.saddle_type_index[1], 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_delete_saddle_type(&cube, 2), 1);
  EXPECT_EQ(OSTREL_delete_saddle(&cube, 5), 1);
  EXPECT_EQ(OSTREL_delete_minima(&cube, 0), 1);
  EXPECT_EQ(OSTREL_delete_minima_type(&cube, 1), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_delete_saddle_type()\n"
            "Error: Invalid input to OSTREL_delete_saddle()\n"
            "Error: Invalid input to OSTREL_delete_minima()\n"
            "Error: Invalid input to OSTREL_delete_minima_type()\n");
  // Minima keep their ion lists when the list moves.
  OSTREL_add_cube_minima_point(&cube, 1, 1, 1, 0, 1, 1, 1, 0.1);
  OSTREL_add_cube_minima_point(&cube, 2, 2, 2, 0, 2, 2, 2, 0.3);
  OSTREL_add_cube_minima_point(&cube, 8, 2, 2, 0, 8, 2, 2, 0.3);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&cube, &cif), 0);
  ASSERT_EQ(cube.total_minima_type, 2);
  EXPECT_EQ(cube.minima[1].mul, 2);
  OSTREL_add_cube_minima_ion(&cube.minima[2], "Li7", 0.5);
  ASSERT_EQ(OSTREL_delete_minima_type(&cube, 1), 0);
  ASSERT_EQ(cube.total_minima, 2);
  EXPECT_EQ(cube.minima[0].type, 1);
  EXPECT_EQ(cube.minima[1].ion[0].label, "Li7");
  // Saddle types into the structure.
  OSTREL_cif out = cif_with_ops({"x,y,z"});
  ASSERT_EQ(OSTREL_add_saddle_to_cif(&cube, &out), 0);
  ASSERT_EQ(out.site_no, 1);
  EXPECT_EQ(out.site[0].label, "s1");
  EXPECT_EQ(out.site[0].type, "SD");
  EXPECT_EQ(out.type[0].label, "SD");
}

}  // namespace

namespace {

// Is some listed saddle within one grid step of (i, j, k), periodically?
bool saddle_next_to(const OSTREL_cube& cube, int i, int j, int k) {
  const int n[3] = {cube.a_grid, cube.b_grid, cube.c_grid};
  auto near = [](int a, int b, int len) {
    int d = abs(a - b) % len;
    return std::min(d, len - d) <= 1;
  };
  for (int q = 0; q < cube.total_saddle; q++) {
    const OSTREL_saddle& s = cube.saddle[q];
    if (near(s.x, i, n[0]) && near(s.y, j, n[1]) && near(s.z, k, n[2]))
      return true;
  }
  return false;
}

}  // namespace

TEST(StationaryTies, EveryOrbitOfTiedImagesIsFound) {
  // A landscape with a 3-fold axis along [111] (x,y,z -> z,x,y) whose
  // energies come in steps of 0.25, so that many saddles are split over
  // equal images.  The tie-break by grid index makes only some images of
  // such a saddle a stationary point; whichever image represents the orbit
  // in the asymmetric unit, the search finds the saddle next to every grid
  // point that the full-grid test classes as one.
  const int n = 12;
  const double tau = 2 * 3.141592653589793 / n;
  int saddles = 0;
  for (double phase : {0.0, 0.5, 1.3})
    for (double step : {0.25, 0.5}) {
      OSTREL_cube cube = empty_cube(n, n, n);
      for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
          for (int k = 0; k < n; k++) {
            const double x = tau * i + phase, y = tau * j + phase, z = tau * k + phase;
            double e = cos(x) + cos(y) + cos(z) +
                       0.7 * (sin(x) * cos(y) + sin(y) * cos(z) + sin(z) * cos(x));
            cube.energy.at(i, j, k) = std::round(e / step) * step + 3;
          }
      cube.max_energy = 100;
      OSTREL_cif cif = cif_with_ops({"x,y,z", "z,x,y", "y,z,x"});
      ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
      OSTREL_asymmetric_unit unit;
      ASSERT_EQ(OSTREL_find_asymmetric_unit(&cube, &cif, &unit), 0);
      ASSERT_EQ(unit.grid_symmetric, 1);
      ASSERT_EQ(OSTREL_find_stationary_points(&cube, &cif, &unit), 0);
      for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
          for (int k = 0; k < n; k++)
            if (OSTREL_find_lower_energy_neighbour_cluster(&cube, i, j, k) >= 2) {
              saddles++;
              EXPECT_TRUE(saddle_next_to(cube, i, j, k))
                  << phase << " " << step << ": " << i << " " << j << " " << k;
            }
    }
  EXPECT_GT(saddles, 0);
}

TEST(SaddleTypes, TypesOfOneSaddleWithinTheGridToleranceMerge) {
  // Two mirror pairs of saddles, (2,5,5)/(8,5,5) and (7,5,5)/(3,5,5), 3e-5 eV
  // apart: the second pair's representative (7,5,5) touches a member of the
  // first type, not its representative.  One saddle split over the grid:
  // one type.  The same pair 0.75 meV apart (two saddles of a shallow
  // landscape) stays two types.
  for (double gap : {3e-5, 7.5e-4}) {
    OSTREL_cube cube = mirror_cube();
    OSTREL_cif mirror = cif_with_ops({"x,y,z", "-x,y,z"});
    ASSERT_EQ(OSTREL_prepare_fastgen_symop(&mirror, &cube), 0);
    for (int i : {2, 8}) cube.energy.at(i, 5, 5) = 0.5;
    for (int i : {3, 7}) cube.energy.at(i, 5, 5) = 0.5 + gap;
    for (int i : {2, 8, 7, 3})
      OSTREL_add_cube_saddle_point(&cube, i, 5, 5, 0, cube.energy.at(i, 5, 5));
    ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&cube, &mirror), 0);
    EXPECT_EQ(cube.total_saddle_type, gap < 1e-4 ? 1 : 2) << gap;
    EXPECT_EQ(cube.total_saddle, gap < 1e-4 ? 2 : 4) << gap;
  }
}

// Cube loading (header, repeated boundary planes, malformed files), energy
// scale and cut-off, the minimum and saddle tests, summaries, nearest-image
// queries and the grid geometry of ostrel.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "OSTREL-symmetry.h"
#include "test_util.h"

using namespace ostrel_test;

namespace {

// Orthorhombic grid of f(i, j, k).
Grid ortho_grid(int na, int nb, int nc, double a, double b, double c,
                const std::function<double(int, int, int)>& f) {
  Grid g;
  g.n[0] = na; g.n[1] = nb; g.n[2] = nc;
  double cell[3][3] = {{a, 0, 0}, {0, b, 0}, {0, 0, c}};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) g.step[i][j] = cell[i][j] / g.n[i];
  g.v.resize((size_t)na * nb * nc);
  for (int i = 0; i < na; i++)
    for (int j = 0; j < nb; j++)
      for (int k = 0; k < nc; k++) g.at(i, j, k) = f(i, j, k);
  return g;
}

// Unequal amplitudes: with equal ones, level lines through the saddles would
// make plateaus of exactly equal energy.
double cos_sum(int i, int j, int k, int n) {
  return cos(2 * M_PI * i / n) + 1.3 * cos(2 * M_PI * j / n) + 1.7 * cos(2 * M_PI * k / n);
}

// Loads a cube file; returns the status and the captured standard error.
int load(const std::string& path, OSTREL_cube* cube, std::string* err = nullptr) {
  OSTREL_init_cube(cube);
  testing::internal::CaptureStderr();
  int rc = OSTREL_load_cube(path.c_str(), cube);
  std::string e = testing::internal::GetCapturedStderr();
  if (err) *err = e;
  return rc;
}

TEST(CubeLoad, HeaderCellAndValues) {
  Grid g = ortho_grid(6, 8, 10, 3.0, 4.0, 5.0, [](int i, int j, int k) { return i + 10 * j + 100 * k + 7.0; });
  std::string path = scratch("plain.cube");
  write_cube(path, g, true, 2);
  OSTREL_cube cube;
  ASSERT_EQ(load(path, &cube), 0);
  EXPECT_EQ(cube.a_grid, 6);
  EXPECT_EQ(cube.b_grid, 8);
  EXPECT_EQ(cube.c_grid, 10);
  EXPECT_EQ(cube.lines_to_ignore, 2);
  EXPECT_DOUBLE_EQ(cube.ion_charge, 1.0);
  // Steps pass through bohr with 6 decimals: lengths to about 1e-6 Å.
  EXPECT_NEAR(cube.a, 3.0, 1e-5);
  EXPECT_NEAR(cube.b, 4.0, 1e-5);
  EXPECT_NEAR(cube.c, 5.0, 1e-5);
  EXPECT_NEAR(cube.a_unit, 0.5, 1e-6);
  EXPECT_NEAR(cube.alpha, M_PI / 2, 1e-9);
  EXPECT_NEAR(cube.gamma, M_PI / 2, 1e-9);
  EXPECT_NEAR(cube.d1, 9.0, 1e-4);
  EXPECT_NEAR(cube.d4, 0.0, 1e-9);
  EXPECT_DOUBLE_EQ(cube.energy.at(1, 2, 3), 321 + 7.0);
  EXPECT_DOUBLE_EQ(cube.global_minimum, 7.0);
  EXPECT_DOUBLE_EQ(cube.max_energy, 12.0);  // 5 raw units above the minimum
  ASSERT_EQ(OSTREL_process_cube(&cube), 0);
  EXPECT_DOUBLE_EQ(cube.global_minimum, 0.0);
  EXPECT_DOUBLE_EQ(cube.energy.at(1, 2, 3), 321.0);
  EXPECT_DOUBLE_EQ(cube.max_energy, 5.0);
  EXPECT_DOUBLE_EQ(cube.energy_shift, -7.0);
}

TEST(CubeLoad, RepeatedBoundaryPlanesAreDropped) {
  Grid g = ortho_grid(8, 8, 8, 4.0, 4.0, 4.0, [](int i, int j, int k) { return cos_sum(i, j, k, 8); });
  std::string periodic = scratch("rep_p.cube"), repeated = scratch("rep_r.cube");
  write_cube(periodic, g, true);
  write_cube(repeated, g, false);  // counts 9, last planes repeat the first
  OSTREL_cube p, r;
  ASSERT_EQ(load(periodic, &p), 0);
  ASSERT_EQ(load(repeated, &r), 0);
  EXPECT_EQ(r.a_grid, 8);
  EXPECT_EQ(r.b_grid, 8);
  EXPECT_EQ(r.c_grid, 8);
  EXPECT_EQ(r.energy.data, p.energy.data);
  // The cell is the 8 distinct steps, the same as the periodic file's.
  EXPECT_NEAR(r.a, p.a, 1e-12);
  EXPECT_NEAR(r.d3, p.d3, 1e-9);
}

TEST(CubeLoad, OddCount41GivesGrid40) {
  Grid g = ortho_grid(40, 40, 40, 8.0, 8.0, 8.0, [](int i, int j, int k) { return 0.001 * (i + j + k); });
  std::string path = scratch("odd41.cube");
  write_cube(path, g, false);
  OSTREL_cube c;
  ASSERT_EQ(load(path, &c), 0);
  EXPECT_EQ(c.a_grid, 40);
  EXPECT_EQ(c.b_grid, 40);
  EXPECT_EQ(c.c_grid, 40);
  EXPECT_DOUBLE_EQ(c.energy.at(39, 39, 39), 0.117);
}

const char* HEADER =
    "title\r\nConducting = Na1+ ; sf = 0.7;\r\n   0    0.000000    0.000000    0.000000\r\n";

std::string axes(const char* a, const char* b, const char* c) {
  return std::string(a) + "\r\n" + b + "\r\n" + c + "\r\n";
}

std::string values(int n, const char* v = " 1.000000") {
  std::string s;
  for (int i = 0; i < n; i++) s += std::string(v) + "\r\n";
  return s;
}

const std::string AX = axes("   2    1.000000    0.000000    0.000000", "   2    0.000000    1.000000    0.000000",
                            "   2    0.000000    0.000000    1.000000");

struct Bad {
  const char* name;
  std::string text;
  const char* message;
};

TEST(CubeLoad, MalformedFilesGiveOneErrorEach) {
  std::string big_axes = axes("1000000 1.0 0 0", "1000000 0 1.0 0", "1000000 0 0 1.0");
  std::string mid_axes = axes("300 0.1 0 0", "300 0 0.1 0", "300 0 0 0.1");
  std::vector<Bad> bad = {
      {"short_header", "title\r\nline2\r\n   0 0 0 0\r\n   2 1 0 0\r\n",
       "Error: Invalid CUBE file - missing header lines\n"},
      {"empty", "", "Error: Invalid CUBE file - missing header lines\n"},
      {"zero_count", HEADER + axes("   0 1 0 0", "   2 0 1 0", "   2 0 0 1") + values(8),
       "Error: Invalid CUBE file - invalid grid resolution\n"},
      {"negative_count", HEADER + axes("  -2 1 0 0", "   2 0 1 0", "   2 0 0 1") + values(8),
       "Error: Invalid CUBE file - invalid grid resolution\n"},
      {"fractional_count", HEADER + axes(" 2.5 1 0 0", "   2 0 1 0", "   2 0 0 1") + values(8),
       "Error: Invalid CUBE file - invalid grid resolution\n"},
      {"garbage_count", HEADER + axes("abc 1 0 0", "   2 0 1 0", "   2 0 0 1") + values(8),
       "Error: Invalid CUBE file - invalid grid resolution\n"},
      {"one_repeated", HEADER + axes("   1 1 0 0", "   2 0 1 0", "   2 0 0 1") + values(4),
       "Error: Invalid CUBE file - invalid grid resolution\n"},
      {"zero_step", HEADER + axes("   2 0 0 0", "   2 0 1 0", "   2 0 0 1") + values(8),
       "Error: Invalid CUBE file - invalid cell parameters\n"},
      {"nan_step", HEADER + axes("   2 nan 0 0", "   2 0 1 0", "   2 0 0 1") + values(8),
       "Error: Invalid CUBE file - invalid cell parameters\n"},
      {"parallel_steps", HEADER + axes("   2 1 0 0", "   2 2 0 0", "   2 0 0 1") + values(8),
       "Invalid CUBE file - invalid cell angles\n"},
      {"coplanar_steps", HEADER + axes("   2 1 0 0", "   2 0 1 0", "   2 1 1 0") + values(8),
       "Invalid CUBE file - invalid cell angles\n"},
      {"huge_grid", HEADER + big_axes + values(8),
       "Error: Invalid CUBE file - grid of 1000000 x 1000000 x 1000000 points exceeds the limit "
       "of 67108864 points\n"},
      {"large_grid_small_file", HEADER + mid_axes + values(8),
       "Error: Invalid CUBE file - missing energy values\n"},
      {"missing_atoms", "t\r\n\r\n   3 0 0 0\r\n" + AX + values(1, "   3 0.5 0 0 0"),
       "Error: Invalid CUBE file - missing header lines\n"},
      {"negative_atoms", "t\r\n\r\n  -3 0 0 0\r\n" + AX + values(8),
       "Error: Invalid CUBE file - invalid number of atoms\n"},
      {"truncated", HEADER + AX + values(7), "Error: Invalid CUBE file - missing energy values\n"},
      {"nan_value", HEADER + AX + values(3) + " nan\r\n" + values(4),
       "Error: Invalid CUBE file - invalid energy value on line 10\n"},
      {"inf_value", HEADER + AX + values(3) + " -inf\r\n" + values(4),
       "Error: Invalid CUBE file - invalid energy value on line 10\n"},
      {"garbage_value", HEADER + AX + values(3) + " 1.0abc\r\n" + values(4),
       "Error: Invalid CUBE file - invalid energy value on line 10\n"},
      {"empty_value", HEADER + AX + values(3) + "\r\n" + values(4),
       "Error: Invalid CUBE file - invalid energy value on line 10\n"},
      {"six_per_line", HEADER + AX + " 1.0 2.0 3.0 4.0 5.0 6.0\r\n 1.0 2.0\r\n",
       "Error: Invalid CUBE file - invalid energy value on line 7\n"},
      {"extra_values", HEADER + AX + values(9),
       "Error: Invalid CUBE file - more energy values than the grid counts on line 15\n"},
      {"binary", std::string("\x7f" "ELF\0\0\n\0\0\n\xff\xfe\n", 13) + AX + values(8),
       "Error: Invalid CUBE file - invalid number of atoms\n"},
  };
  for (const Bad& b : bad) {
    std::string path = scratch(std::string("bad_") + b.name + ".cube");
    write_text(path, b.text);
    OSTREL_cube cube;
    std::string err;
    EXPECT_EQ(load(path, &cube, &err), 1) << b.name;
    EXPECT_EQ(err, b.message) << b.name;
  }
  OSTREL_cube cube;
  std::string err;
  EXPECT_EQ(load(scratch("no_such.cube"), &cube, &err), 1);
  // The message names the file and the reason.
  EXPECT_EQ(err, "Error: Unable to open CUBE file " + scratch("no_such.cube") +
                     ": No such file or directory\n");
}

TEST(CubeLoad, WellFormedVariantsAreAccepted) {
  // LF line ends, tabs, a '+' sign, no line feed after the last value and
  // trailing blank lines are all fine.
  std::string text = "t\nConducting = Li1+\n0 0 0 0\n2\t1 0 0\n2 0 1 0\n2 0 0 1\n";
  for (int i = 0; i < 7; i++) text += "+0.5\n";
  text += "-1.25";
  write_text(scratch("lf.cube"), text);
  OSTREL_cube cube;
  ASSERT_EQ(load(scratch("lf.cube"), &cube), 0);
  EXPECT_DOUBLE_EQ(cube.energy.at(1, 1, 1), -1.25);
  EXPECT_DOUBLE_EQ(cube.global_minimum, -1.25);
  write_text(scratch("trail.cube"), std::string(HEADER) + AX + values(8) + "\r\n  \r\n");
  EXPECT_EQ(load(scratch("trail.cube"), &cube), 0);
}

TEST(EnergyScale, DefaultsAndUserExpressions) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  EXPECT_DOUBLE_EQ(OSTREL_scale_cube_energy(&cube, 2.5), 2.5);  // scaling off
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "0.5695*E^(0.6946)"), 0);
  EXPECT_NEAR(OSTREL_scale_cube_energy(&cube, 1.0), 0.5695, 1e-12);
  double u = OSTREL_get_unscaled_from_scaled(&cube, 1.0);
  EXPECT_NEAR(OSTREL_scale_cube_energy(&cube, u), 1.0, 0.001);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_parse_energy_scaling(&cube, "2*x"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid scaling expression - variable E missing\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_parse_energy_scaling(&cube, "E*"), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid scaling expression"),
            std::string::npos);
}

TEST(EnergyScale, BisectionNeverHangs) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  // A bounded scale never reaches 2; a decreasing one never rises.
  for (const char* expr : {"E/(E+1)", "0-E"}) {
    ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, expr), 0);
    testing::internal::CaptureStderr();
    EXPECT_DOUBLE_EQ(OSTREL_get_unscaled_from_scaled(&cube, 2.0), 1.0) << expr;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: Program could not find the correct energy threshold to be applied\n");
  }
}

TEST(EnergyScale, TargetOnTheFirstUpperBound) {
  // The search raises its upper bound in steps of 1 eV from 10: a target
  // that the scale reaches exactly there (--max 20 on the plain scale) is
  // that bound, not the 1 eV of a failed search.
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "E"), 0);
  testing::internal::CaptureStderr();
  for (double t : {10.0, 11.0, 20.0, 20.5, 3.0})
    EXPECT_NEAR(OSTREL_get_unscaled_from_scaled(&cube, t), t, 0.001) << t;
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "2*E"), 0);
  EXPECT_NEAR(OSTREL_get_unscaled_from_scaled(&cube, 24.0), 12.0, 0.001);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(EnergyScale, CutOffFromMax) {
  Grid g = ortho_grid(4, 4, 4, 4, 4, 4, [](int i, int, int) { return -3.0 + i; });
  write_cube(scratch("cut.cube"), g);
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "E"), 0);
  cube.max_energy_above_gmin = 1.7;
  ASSERT_EQ(OSTREL_load_cube(scratch("cut.cube").c_str(), &cube), 0);
  EXPECT_NEAR(cube.max_energy, -3.0 + 1.7, 0.001);
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "0.5695*E^(0.6946)"), 0);
  cube.max_energy_above_gmin = 2.0;
  ASSERT_EQ(OSTREL_load_cube(scratch("cut.cube").c_str(), &cube), 0);
  EXPECT_NEAR(OSTREL_scale_cube_energy(&cube, cube.max_energy + 3.0), 2.0, 0.001);
}

// Grid whose only content is the 3x3x3 block around (2,2,2) of a 5^3 grid
// (everything else high).
OSTREL_cube block_cube(const int pattern[27], double centre = 0.0) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  EXPECT_EQ(OSTREL_alloc_cube_energy(&cube, 5, 5, 5), 0);
  cube.d1 = cube.d2 = cube.d3 = 1;
  for (double& v : cube.energy.data) v = 10.0;
  for (int b = 0; b < 27; b++)
    cube.energy.at(1 + b / 9, 1 + (b / 3) % 3, 1 + b % 3) = centre + pattern[b];
  return cube;
}

TEST(StationaryTests, ClusterCountsOfHandMadeBlocks) {
  // Lower neighbours only on the faces a = -1 and a = +1: two clusters.
  int faces[27];
  for (int b = 0; b < 27; b++) faces[b] = (b / 9 == 1) ? 1 : -1;
  faces[13] = 0;
  OSTREL_cube c1 = block_cube(faces);
  EXPECT_EQ(OSTREL_find_lower_energy_neighbour_cluster(&c1, 2, 2, 2), 2);
  EXPECT_EQ(OSTREL_is_minimum(&c1, 2, 2, 2), 0);
  // Lower only on one face: one cluster, no minimum.
  int one[27];
  for (int b = 0; b < 27; b++) one[b] = (b / 9 == 0) ? -1 : 1;
  one[13] = 0;
  OSTREL_cube c2 = block_cube(one);
  EXPECT_EQ(OSTREL_find_lower_energy_neighbour_cluster(&c2, 2, 2, 2), 1);
  // Two opposite corners lower: they touch only through the centre.
  int corners[27];
  for (int b = 0; b < 27; b++) corners[b] = 1;
  corners[0] = corners[26] = -1;
  corners[13] = 0;
  OSTREL_cube c3 = block_cube(corners);
  EXPECT_EQ(OSTREL_find_lower_energy_neighbour_cluster(&c3, 2, 2, 2), 2);
  // An equal neighbour counts as lower when its grid index is smaller (as
  // if the landscape rose by a vanishing amount per index): between two
  // lower regions it joins them when it comes before the centre in grid
  // order, and leaves them apart when it comes after.
  int bridge[27];
  for (int b = 0; b < 27; b++) bridge[b] = 1;
  bridge[0] = -1;   // (-1,-1,-1)
  bridge[2] = -1;   // (-1,-1,+1)
  bridge[1] = 0;    // (-1,-1, 0) equal, earlier in grid order
  bridge[13] = 0;
  OSTREL_cube c4 = block_cube(bridge);
  EXPECT_EQ(OSTREL_find_lower_energy_neighbour_cluster(&c4, 2, 2, 2), 1);
  int later[27];
  for (int b = 0; b < 27; b++) later[b] = 1;
  later[24] = -1;   // (+1,+1,-1)
  later[26] = -1;   // (+1,+1,+1)
  later[25] = 0;    // (+1,+1, 0) equal, later in grid order
  later[13] = 0;
  OSTREL_cube c5 = block_cube(later);
  EXPECT_EQ(OSTREL_find_lower_energy_neighbour_cluster(&c5, 2, 2, 2), 2);
  // Equal neighbours only: those before the centre in grid order are
  // lower, so of a flat block only its first point is a minimum.
  int flat[27];
  for (int b = 0; b < 27; b++) flat[b] = 0;
  OSTREL_cube c6 = block_cube(flat);
  EXPECT_EQ(OSTREL_find_lower_energy_neighbour_cluster(&c6, 2, 2, 2), 1);
  EXPECT_EQ(OSTREL_is_minimum(&c6, 2, 2, 2), 0);
  EXPECT_EQ(OSTREL_is_minimum(&c6, 1, 1, 1), 1);
  EXPECT_EQ(OSTREL_is_minimum(&c6, 1, 1, 2), 0);
}

OSTREL_cif p1_cif() {
  OSTREL_cif cif;
  EXPECT_EQ(OSTREL_init_cif(&cif), 0);
  return cif;
}

TEST(StationaryPoints, CosineLandscapeInP1) {
  // cos 2πx + 1.3 cos 2πy + 1.7 cos 2πz on 24^3: one minimum at
  // (1/2,1/2,1/2), energy -4, and three first-order saddles: (0,1/2,1/2) at
  // 2.0, (1/2,0,1/2) at 2.6 and (1/2,1/2,0) at 3.4 eV above the minimum.
  Grid g = ortho_grid(24, 24, 24, 6.0, 6.0, 6.0, [](int i, int j, int k) { return cos_sum(i, j, k, 24); });
  write_cube(scratch("cos.cube"), g);
  OSTREL_cube cube;
  ASSERT_EQ(load(scratch("cos.cube"), &cube), 0);
  OSTREL_process_cube(&cube);
  OSTREL_cif cif = p1_cif();
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&cube, &cif, &unit), 0);
  EXPECT_EQ(unit.total, 24 * 24 * 24);
  ASSERT_EQ(OSTREL_find_stationary_points(&cube, &cif, &unit), 0);
  ASSERT_EQ(cube.total_minima, 1);
  EXPECT_EQ(cube.minima[0].x, 12);
  EXPECT_EQ(cube.minima[0].y, 12);
  EXPECT_EQ(cube.minima[0].z, 12);
  ASSERT_EQ(cube.total_saddle, 3);
  std::set<std::tuple<int, int, int, int>> saddles;
  for (int s = 0; s < 3; s++)
    saddles.insert({cube.saddle[s].x, cube.saddle[s].y, cube.saddle[s].z,
                    (int)lround(cube.saddle[s].e * 10)});
  EXPECT_EQ(saddles, (std::set<std::tuple<int, int, int, int>>{
                         {12, 12, 0, 34}, {12, 0, 12, 26}, {0, 12, 12, 20}}));
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&cube, &cif), 0);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&cube, &cif), 0);
  EXPECT_EQ(cube.total_saddle_type, 3);  // P1: each its own type
  EXPECT_EQ(cube.total_minima_type, 1);
  const double by_type[4] = {0, 2.0, 2.6, 3.4};  // types numbered by ascending energy
  for (int t = 1; t <= 3; t++)
    EXPECT_NEAR(cube.saddle[cube.saddle_type_index[t]].e, by_type[t], 1e-5);
  EXPECT_EQ(cube.minima[0].mul, 1);
  // The full-grid search finds the same points.
  OSTREL_cube full;
  ASSERT_EQ(load(scratch("cos.cube"), &full), 0);
  OSTREL_process_cube(&full);
  ASSERT_EQ(OSTREL_find_stationary_points2(&full, &cif), 0);
  EXPECT_EQ(full.total_minima, 1);
  EXPECT_EQ(full.total_saddle, 3);
  // A cut-off below the saddles (2 eV above the minimum) removes them.
  OSTREL_cube low;
  OSTREL_init_cube(&low);
  low.max_energy_above_gmin = 1.5;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OSTREL_load_cube(scratch("cos.cube").c_str(), &low), 0);
  testing::internal::GetCapturedStderr();
  OSTREL_process_cube(&low);
  ASSERT_EQ(OSTREL_find_stationary_points2(&low, &cif), 0);
  EXPECT_EQ(low.total_minima, 1);
  EXPECT_EQ(low.total_saddle, 0);
}

TEST(StationaryPoints, FlatFloorIsOneSite) {
  // A 2x2x1 flat floor in a bowl: each floor point passes the minimum test
  // (equal neighbours count as uphill), but the floor is one site, kept at
  // its first point in search order; a second site beside it would have no
  // saddle between them and split any network through the floor.  Both
  // searches keep one, and the summary places it at the floor's centre.
  Grid g = ortho_grid(8, 8, 8, 4, 4, 4, [](int i, int j, int k) {
    double d = (i - 3.5) * (i - 3.5) + (j - 3.5) * (j - 3.5) + (k - 4) * (k - 4);
    return (i >= 3 && i <= 4 && j >= 3 && j <= 4 && k == 4) ? 0.0 : 0.1 + d;
  });
  write_cube(scratch("flat.cube"), g);
  OSTREL_cif cif = p1_cif();
  OSTREL_cube full;
  ASSERT_EQ(load(scratch("flat.cube"), &full), 0);
  OSTREL_process_cube(&full);
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &full), 0);
  EXPECT_EQ(OSTREL_is_minimum(&full, 3, 3, 4), 1);  // the floor's first point in grid order
  EXPECT_EQ(OSTREL_is_minimum(&full, 4, 4, 4), 0);
  ASSERT_EQ(OSTREL_find_stationary_points2(&full, &cif), 0);
  ASSERT_EQ(full.total_minima, 1);
  EXPECT_EQ(full.minima[0].x, 3);
  EXPECT_EQ(full.minima[0].y, 3);
  EXPECT_EQ(full.minima[0].z, 4);
  OSTREL_cube cube;
  ASSERT_EQ(load(scratch("flat.cube"), &cube), 0);
  OSTREL_process_cube(&cube);
  OSTREL_asymmetric_unit unit;
  ASSERT_EQ(OSTREL_find_asymmetric_unit(&cube, &cif, &unit), 0);
  ASSERT_EQ(OSTREL_find_stationary_points(&cube, &cif, &unit), 0);
  ASSERT_EQ(cube.total_minima, 1);
  EXPECT_EQ(cube.minima[0].z, 4);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&cube, &cif), 0);
  std::string path = scratch("flat.txt");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_EQ(OSTREL_printminima(&cube, f), 0);
  fclose(f);
  EXPECT_NE(read_file(path).find("   4     3.5   3.5   4.0   0.438 0.438 0.500   \r\n"),
            std::string::npos);
}

TEST(Summaries, MinimaAndSaddleText) {
  Grid g = ortho_grid(4, 4, 4, 4.0, 4.0, 4.0, [](int i, int j, int k) { return cos_sum(i, j, k, 4); });
  write_cube(scratch("sum.cube"), g);
  OSTREL_cube cube;
  ASSERT_EQ(load(scratch("sum.cube"), &cube), 0);
  OSTREL_process_cube(&cube);
  OSTREL_cif cif = p1_cif();
  ASSERT_EQ(OSTREL_prepare_fastgen_symop(&cif, &cube), 0);
  ASSERT_EQ(OSTREL_find_stationary_points2(&cube, &cif), 0);
  ASSERT_EQ(OSTREL_group_saddle_by_symmetry(&cube, &cif), 0);
  ASSERT_EQ(OSTREL_group_minima_by_symmetry(&cube, &cif), 0);
  OSTREL_add_cube_minima_ion(&cube.minima[0], "Li1", 0.5);
  OSTREL_add_cube_minima_ion(&cube.minima[0], "Li2", 0.25);
  std::string path = scratch("sum.txt");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_EQ(OSTREL_printminima(&cube, f), 0);
  ASSERT_EQ(OSTREL_printsaddle(&cube, f), 0);
  fclose(f);
  f = fopen(path.c_str(), "rb");
  std::string text(8192, 0);
  text.resize(fread(&text[0], 1, text.size(), f));
  fclose(f);
  const std::string dash(65, '-');
  std::string expect =
      dash + "\r\n" + "                  Summary of energy local minima                  \r\n" +
      dash + "\r\n\r\n" + "Total local minima in unit cell: 1\r\n" +
      "Total symmetrically inequivalent: 1\r\n\r\n" +
      "Minima type: Li1/Li2 (Energy: 0.000000 eV)\r\n" +
      "    Index   Grid coor.    True grid coor.     Frac. coor.         Occ.    Ion type\r\n" +
      "        0     2   2   2     2.0   2.0   2.0   0.500 0.500 0.500   0.500   Li1\r\n" +
      std::string(66, ' ') + "0.250   Li2\r\n" + "Multiplicity: 1\r\n\r\n" + dash + "\r\n" +
      "                  Summary of energy saddle point                  \r\n" + dash +
      "\r\n\r\n" + "Total local saddle in unit cell: 3\r\n" +
      "Total symmetrically inequivalent: 3\r\n\r\n" + "Saddle type: s1 (Energy: 2.000000 eV)\r\n" +
      "    Index   Grid coor.    True grid coor.     Frac. coor.         True frac. coor.\r\n";
  ASSERT_GE(text.size(), expect.size());
  EXPECT_EQ(text.substr(0, expect.size()), expect);
  EXPECT_NE(text.find("Multiplicity: 1\r\n\r\nSaddle type: s3 (Energy: 3.400000 eV)\r\n"),
            std::string::npos);
}

TEST(Summaries, LargePlateauStandsForItsPoint) {
  Grid g = ortho_grid(8, 8, 8, 4, 4, 4, [](int i, int, int) { return i < 4 ? 0.0 : 1.0; });
  write_cube(scratch("plateau.cube"), g);
  OSTREL_cube cube;
  ASSERT_EQ(load(scratch("plateau.cube"), &cube), 0);
  OSTREL_process_cube(&cube);
  OSTREL_add_cube_minima_point(&cube, 1, 1, 1, 1, 1, 1, 1, 0.0);
  cube.total_minima_type = 1;
  OSTREL_refresh_minima_type_index(&cube);
  OSTREL_same_energy_grid_list list;
  EXPECT_EQ(OSTREL_find_same_energy_neighbours(&cube, &list, 1, 1, 1), -1);
  EXPECT_EQ(list.total, 28);
  // Too large to list: the summary goes on with the grid point itself.
  FILE* f = fopen(scratch("plateau.txt").c_str(), "wb");
  EXPECT_EQ(OSTREL_printminima(&cube, f), 0);
  fclose(f);
  const std::string text = read_file(scratch("plateau.txt"));
  EXPECT_NE(text.find("        0     1   1   1     1.0   1.0   1.0   0.125 0.125 0.125   \r\n"),
            std::string::npos)
      << text;
}

TEST(Nearest, AscendingAndStableOnTies) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_alloc_cube_energy(&cube, 10, 10, 10), 0);
  cube.a = cube.b = cube.c = 10;
  cube.d1 = cube.d2 = cube.d3 = 100;
  // Two minima at equal distance from (5,5,5): the earlier one comes first.
  OSTREL_add_cube_minima_point(&cube, 3, 5, 5, 0, 3, 5, 5, 0);
  OSTREL_add_cube_minima_point(&cube, 7, 5, 5, 0, 7, 5, 5, 0);
  OSTREL_add_cube_minima_point(&cube, 5, 5, 6, 0, 5, 5, 6, 0);
  OSTREL_nearest_neighbour list;
  ASSERT_EQ(OSTREL_init_nearest_neighbour(&list, 10, 0, 5, 5, 5), 0);
  ASSERT_EQ(OSTREL_get_nearest_minima(&cube, &list), 0);
  EXPECT_EQ(list.index[0], 2);
  EXPECT_NEAR(list.distance[0], 1.0, 1e-12);
  EXPECT_EQ(list.index[1], 0);
  EXPECT_EQ(list.index[2], 1);
  EXPECT_NEAR(list.distance[1], 2.0, 1e-12);
  EXPECT_NEAR(list.distance[2], 2.0, 1e-12);
  for (int q = 1; q < 10; q++) EXPECT_LE(list.distance[q - 1], list.distance[q]);
  // Images: the tenth nearest lies in a neighbouring cell.
  EXPECT_TRUE(list.i[9] != 0 || list.j[9] != 0 || list.k[9] != 0);
  // The target itself is skipped unless asked for.
  OSTREL_nearest_neighbour self;
  ASSERT_EQ(OSTREL_init_nearest_neighbour(&self, 2, 0, 3, 5, 5), 0);
  OSTREL_get_nearest_minima(&cube, &self);
  EXPECT_NEAR(self.distance[0], sqrt(5.0), 1e-12);
  ASSERT_EQ(OSTREL_init_nearest_neighbour(&self, 2, 1, 3, 5, 5), 0);
  OSTREL_get_nearest_minima(&cube, &self);
  EXPECT_EQ(self.distance[0], 0.0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_init_nearest_neighbour(&self, 0, 1, 0, 0, 0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Non-positive input size to OSTREL_alloc_nearest_neighbour()\n");
}

TEST(Geometry, DistancesAnglesAndWrapping) {
  // Hexagonal cell a = b = 3, c = 5, gamma = 120 degrees, grid 6 x 6 x 10.
  Grid g;
  g.n[0] = 6; g.n[1] = 6; g.n[2] = 10;
  double cell[3][3];
  cell_vectors(3, 3, 5, 90, 90, 120, cell);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) g.step[i][j] = cell[i][j] / g.n[i];
  g.v.assign(360, 0.0);
  write_cube(scratch("hex.cube"), g);
  OSTREL_cube cube;
  ASSERT_EQ(load(scratch("hex.cube"), &cube), 0);
  EXPECT_NEAR(cube.gamma, 2 * M_PI / 3, 1e-6);
  // a + b has length a in a 120-degree cell; a - b has length a*sqrt(3).
  EXPECT_NEAR(OSTREL_distance_grid(&cube, 0, 0, 0, 6, 6, 0), 3.0, 1e-5);
  EXPECT_NEAR(OSTREL_distance_grid(&cube, 0, 0, 0, 6, -6, 0), 3.0 * sqrt(3.0), 1e-5);
  EXPECT_NEAR(OSTREL_angle(&cube, 1, 0, 0, 0, 0, 0, 0, 1, 0), 2 * M_PI / 3, 1e-6);
  EXPECT_NEAR(OSTREL_angle(&cube, 1, 0, 0, 0, 0, 0, 0, 0, 3), M_PI / 2, 1e-6);
  EXPECT_EQ(OSTREL_angle(&cube, 0, 0, 0, 0, 0, 0, 0, 0, 3), 0.0);
  EXPECT_EQ(OSTREL_shift_index(&cube, -1, 1), 5);
  EXPECT_EQ(OSTREL_shift_index(&cube, 13, 3), 3);
  EXPECT_EQ(OSTREL_shift_index(&cube, 1, 4), -1);
  EXPECT_DOUBLE_EQ(OSTREL_shift_index_dbl(&cube, -0.5, 1), 5.5);
  EXPECT_DOUBLE_EQ(OSTREL_shift_index_dbl(&cube, 10.25, 3), 0.25);
  double tiny = OSTREL_shift_index_dbl(&cube, -1e-18, 1);
  EXPECT_GE(tiny, 0.0);
  EXPECT_LT(tiny, 6.0);
  EXPECT_EQ(OSTREL_cube_equal_dbl(1.0, 1.0 + 5e-8), 1);
  EXPECT_EQ(OSTREL_cube_equal_dbl(1.0, 1.0 + 2e-7), 0);
}

TEST(Lists, GrowDeleteAndLocate) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  ASSERT_EQ(OSTREL_alloc_cube_energy(&cube, 4, 4, 4), 0);
  for (int q = 0; q < 5; q++) ASSERT_EQ(OSTREL_add_cube_minima_point(&cube, q, 0, 0, 0, q, 0, 0, -q), 0);
  EXPECT_EQ(cube.total_minima_cap, 8);  // 1, 2, 4, 8
  EXPECT_EQ(OSTREL_isin_minima_list(&cube, 7, 4, -4), 1);  // wraps onto (3,0,0)
  OSTREL_del_cube_minima_point_by_loc(&cube, 3, 0, 0);
  EXPECT_EQ(cube.total_minima, 4);
  EXPECT_EQ(OSTREL_isin_minima_list(&cube, 3, 0, 0), 0);
  EXPECT_EQ(cube.minima[3].x, 4);  // later entries move down in order
  OSTREL_del_cube_minima_point(&cube, 99);           // ignored
  EXPECT_EQ(cube.total_minima, 4);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_alloc_cube_minima_point(&cube, -1), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_alloc_cube_minima_point()\n");
}

}  // namespace

// ostrel's structure checks: the pair table read from a data file, a
// bond-valence sum worked out by hand, the GII refused without oxidation
// states, and the supercell builder's invariants (integer counts, distinct
// positions, zero charge, no place holding more atoms than copies, the
// ordered 1x1x1 cell equal to its P1 expansion) and its limits.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "OSTREL-bv.h"
#include "OSTREL-cif.h"
#include "test_util.h"

namespace {

using ostrel_test::scratch;
using ostrel_test::write_text;

const std::string DATA = std::string(BV_SOURCE_DIR) + "/bin/database_binary.dat";

// A CIF with the given operations (one per line) and site rows
// "label type x y z occ".
std::string cif_text(double a, const std::vector<std::string>& ops,
                     const std::vector<std::string>& rows) {
  std::string s = "data_t\n_cell_length_a " + std::to_string(a) + "\n_cell_length_b " +
                  std::to_string(a) + "\n_cell_length_c " + std::to_string(a) +
                  "\n_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
                  "loop_\n_symmetry_equiv_pos_as_xyz\n";
  for (const std::string& o : ops) s += o + "\n";
  s += "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
       "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n";
  for (const std::string& r : rows) s += r + "\n";
  return s;
}

void load(const std::string& name, const std::string& text, OSTREL_cif* cif) {
  write_text(scratch(name), text);
  ASSERT_EQ(OSTREL_init_cif(cif), 0);
  ASSERT_EQ(OSTREL_load_cif(scratch(name).c_str(), cif), 0);
}

const std::vector<std::string> F_CENTRING = {"x,y,z", "x,y+1/2,z+1/2", "x+1/2,y,z+1/2",
                                             "x+1/2,y+1/2,z"};

double total_charge(const OSTREL_cif& c) {
  double q = 0;
  for (const OSTREL_site& s : c.site) q += s.mul * s.occ * s.ox;
  return q;
}

// Positions of a P1 model, rounded to 1e-4, with their labels.
std::multiset<std::tuple<long, long, long, std::string>> positions(const OSTREL_cif& c) {
  std::multiset<std::tuple<long, long, long, std::string>> out;
  for (int s = 0; s < c.site_no; s++) {
    auto r = [](double v) { return std::lround((v - std::floor(v)) * 1e4) % 10000; };
    out.emplace(r(c.site[s].x), r(c.site[s].y), r(c.site[s].z), c.site[s].label);
  }
  return out;
}

TEST(PairTable, EightColumnLinesBetweenTheMarks) {
  write_text(scratch("pairs.dat"),
             "Li 1 O -2 9 9 9 9 header lines are skipped\n"
             "DATA_START\n"
             "Na 1 O -2 1.80 0.50 5.0\n"          // seven columns: no parameters
             "Li 1 O -2 1.1745 0.514 4.3 6.0 c\n"
             "Li 1 O -2 2.0 0.3 4.0 5.0\n"        // the first line of a pair wins
             "DATA_END\nMg 2 O -2 1.7 0.4 6 6\n");
  OSTREL_cif cif;
  load("pairs.cif", cif_text(5, {"x,y,z"}, {"Li1 Li1+ 0 0 0 1", "Na1 Na1+ 0.5 0 0 1",
                                           "Mg1 Mg2+ 0 0.5 0 1", "O1 O2- 0.5 0.5 0.5 1"}),
       &cif);
  OSTREL_bv_bin bin;
  testing::internal::CaptureStdout();
  ASSERT_EQ(OSTREL_build_bv_bin_from_file(scratch("pairs.dat").c_str(), &cif, &bin), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(bin.total, 4);
  // Types in the order read: Li1+, Na1+, Mg2+, O2-.
  EXPECT_EQ(bin.at(0, 3).status, 1);
  EXPECT_DOUBLE_EQ(bin.at(0, 3).r0, 1.1745);
  EXPECT_DOUBLE_EQ(bin.at(0, 3).b, 0.514);
  EXPECT_DOUBLE_EQ(bin.at(0, 3).cutoff, 6.0);
  EXPECT_EQ(bin.at(3, 0).status, 1);
  EXPECT_DOUBLE_EQ(bin.at(3, 0).r0, 1.1745);
  EXPECT_EQ(bin.at(1, 3).status, 0);  // seven columns
  EXPECT_EQ(bin.at(2, 3).status, 0);  // after DATA_END
  EXPECT_EQ(bin.at(0, 1).status, 0);  // two cations
  EXPECT_EQ(bin.at(0, 0).status, 0);
  EXPECT_NE(out.find("the pair Na1+ - O2-"), std::string::npos) << out;
  EXPECT_NE(out.find("the pair Mg2+ - O2-"), std::string::npos) << out;
  EXPECT_EQ(out.find("Li1+ - O2-"), std::string::npos) << out;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_build_bv_bin_from_file(scratch("none.dat").c_str(), &cif, &bin), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Cannot load database_binary.dat!\nError: OSTREL_read_pair_table() returns "
            "non-zero.\n");
}

// One bond of 2 Å in a 10 Å cell (every other image lies beyond 6 Å).
TEST(BondValence, SumOfOneBondByHand) {
  OSTREL_cif cif;
  load("one.cif", cif_text(10, {"x,y,z"}, {"Li1 Li1+ 0 0 0 1", "O1 O2- 0.2 0 0 0.5"}), &cif);
  OSTREL_bv_bin bin;
  ASSERT_EQ(OSTREL_build_bv_bin_from_file(DATA.c_str(), &cif, &bin), 0);
  ASSERT_EQ(OSTREL_calc_bv_sum(&cif, &bin), 0);
  const double s = exp((1.1745 - 2.0) / 0.514);
  EXPECT_NEAR(cif.site[0].bv_sum, 0.5 * s, 1e-12);  // weighted by the neighbour's occupancy
  EXPECT_NEAR(cif.site[1].bv_sum, -s, 1e-12);
}

TEST(BondValence, GIINeedsEveryOxidationState) {
  OSTREL_cif cif;
  load("nox.cif", cif_text(4.6, {"x,y,z"}, {"Li1 Li 0 0 0 1", "O1 O2- 0.5 0.5 0.5 1"}), &cif);
  EXPECT_EQ(cif.site_charge_provided, 0);
  testing::internal::CaptureStderr();
  EXPECT_DOUBLE_EQ(OSTREL_calc_GII(&cif), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("oxidation state"), std::string::npos);
}

TEST(Supercell, FractionalStateBecomesTwoSites) {
  OSTREL_cif cif;
  load("mn.cif", cif_text(4, {"x,y,z"}, {"Mn1 Mn2.5+ 0 0 0 1", "O1 O2- 0.5 0.5 0.5 1"}), &cif);
  ASSERT_EQ(OSTREL_convert_frac_ox(&cif), 0);
  ASSERT_EQ(cif.site_no, 3);
  EXPECT_EQ(cif.site[0].type, "Mn2+");
  EXPECT_EQ(cif.site[1].type, "Mn3+");
  EXPECT_DOUBLE_EQ(cif.site[0].occ, 0.5);
  EXPECT_DOUBLE_EQ(cif.site[1].occ, 0.5);
  EXPECT_DOUBLE_EQ(cif.site[0].ox, 2);
  EXPECT_DOUBLE_EQ(cif.site[1].ox, 3);
  EXPECT_EQ(cif.site[0].label, "Mn1");
  EXPECT_DOUBLE_EQ(total_charge(cif), 2.5 - 2);
  for (const OSTREL_type& t : cif.type) EXPECT_NE(t.label, "Mn2.5+");
}

// n = cells * occ * mul rounds to the nearest integer, an exact half down.
TEST(Supercell, CountsRoundHalfDown) {
  OSTREL_cif cif;
  load("x.cif", cif_text(4, {"x,y,z"}, {"A1 X 0 0 0 0.5", "B1 Y 0.5 0 0 0.502"}), &cif);
  std::vector<int> n;
  ASSERT_EQ(OSTREL_get_integer_occ(&cif, &n, 5), 0);
  EXPECT_EQ(n, (std::vector<int>{2, 3}));
}

// Li 0.5 and Mg 0.25 on one place, Cl on another, in two cells: rounding
// gives Li 1, Mg 0, Cl 2 (charge -1); one more Li makes it neutral.
TEST(Supercell, RoundedCountsAreNeutralised) {
  OSTREL_cif cif;
  load("limg.cif",
       cif_text(4, {"x,y,z"}, {"Li1 Li1+ 0 0 0 0.5", "Mg1 Mg2+ 0 0 0 0.25", "Cl1 Cl1- 0.5 0.5 0.5 1"}),
       &cif);
  std::vector<int> n;
  ASSERT_EQ(OSTREL_get_integer_occ(&cif, &n, 2), 0);
  EXPECT_EQ(n, (std::vector<int>{2, 0, 2}));
}

// Three sites of 0.334, 0.333 and 0.334 on the 4 copies of a place in a
// 2x2x2 supercell: rounding asks for 33 atoms on 32 copies.
TEST(Supercell, SharedPlaceIsNeverOverfilled) {
  OSTREL_cif cif;
  load("mix.cif",
       cif_text(5.6, F_CENTRING, {"Li1 Li1+ 0 0 0 0.334", "Na1 Na1+ 0 0 0 0.333",
                                  "K1 K1+ 0 0 0 0.334", "Cl1 Cl1- 0.5 0.5 0.5 1"}),
       &cif);
  std::vector<int> n;
  ASSERT_EQ(OSTREL_get_integer_occ(&cif, &n, 8), 0);
  EXPECT_EQ(n[0] + n[1] + n[2], 32);
  EXPECT_EQ(n[3], 32);
  for (int run = 0; run < 3; run++) {
    OSTREL_cif big;
    ASSERT_EQ(OSTREL_build_supercell(&cif, &big, 2, 2, 2), 0);
    EXPECT_EQ(big.site_no, 64);
    EXPECT_DOUBLE_EQ(big.a, 11.2);
    EXPECT_EQ(big.symop_no, 1);
    EXPECT_EQ(big.spacegroup_HM, "P 1");
    double q = 0;
    std::set<std::tuple<long, long, long>> places;
    for (const OSTREL_site& s : big.site) {
      EXPECT_DOUBLE_EQ(s.occ, 1.0);
      EXPECT_EQ(s.mul, 1);
      q += s.ox;
      places.emplace(std::lround(s.x * 1e4), std::lround(s.y * 1e4), std::lround(s.z * 1e4));
    }
    EXPECT_DOUBLE_EQ(q, 0.0);
    EXPECT_EQ(places.size(), 64u);  // distinct positions
  }
}

TEST(Supercell, OrderedCellAtOneByOneByOneIsItsP1Expansion) {
  OSTREL_cif cif;
  load("li2o.cif",
       cif_text(4.61, F_CENTRING, {"Li1 Li1+ 0.25 0.25 0.25 1", "Li2 Li1+ 0.75 0.75 0.75 1",
                                   "O1 O2- 0 0 0 1"}),
       &cif);
  OSTREL_cif big, p1;
  ASSERT_EQ(OSTREL_build_supercell(&cif, &big, 1, 1, 1), 0);
  ASSERT_EQ(OSTREL_copy_cif(&cif, &p1), 0);
  ASSERT_EQ(OSTREL_remove_cif_symmetry(&p1), 0);
  EXPECT_EQ(big.site_no, 12);
  EXPECT_EQ(positions(big), positions(p1));
}

TEST(Supercell, LimitsAndChargedCells) {
  OSTREL_cif cif, big;
  load("lim.cif", cif_text(4, {"x,y,z"}, {"Li1 Li1+ 0 0 0 1", "F1 F1- 0.5 0.5 0.5 1"}), &cif);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_build_supercell(&cif, &big, 0, 1, 1), 1);
  EXPECT_EQ(OSTREL_build_supercell(&cif, &big, 1, 51, 1), 1);
  OSTREL_cif mix;
  load("mix16.cif",
       cif_text(5.6, F_CENTRING, {"Li1 Li1+ 0 0 0 0.5", "Na1 Na1+ 0 0 0 0.5",
                                  "Cl1 Cl1- 0.5 0.5 0.5 1", "Cl2 Cl1- 0.25 0.25 0.25 0"}),
       &mix);
  // 16 positions per cell: 50^3 cells would place 2 000 000 (at most 200 000).
  EXPECT_EQ(OSTREL_build_supercell(&mix, &big, 50, 50, 50), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: Invalid supercell dimension"), std::string::npos);
  EXPECT_NE(err.find("too large"), std::string::npos);
  OSTREL_cif charged;
  load("chg.cif", cif_text(4, {"x,y,z"}, {"Li1 Li1+ 0 0 0 1", "F1 F1- 0.5 0.5 0.5 0.5"}),
       &charged);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_build_supercell(&charged, &big, 1, 1, 1), 1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("non-zero charge"), std::string::npos);
}

}  // namespace

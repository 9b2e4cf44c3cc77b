// Bond-valence sums and GII: rock salt worked out by hand, a distorted and
// partially occupied cell against an independent plain loop, the cut-off and
// skip rules, the two-species variant and the print-outs.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "ff_fixture.h"
#include "shipped_data.h"
#include "velmora-bv.h"
#include "velmora-import.h"

using ff_fixture::capture;
using ff_fixture::DataFiles;

namespace {

std::unique_ptr<VELMORA_SYMMETRY> fm3m() {
  return velmora_symmetry_import_by_keyword_Hall("-F 4 2 3", shipped_data::kSymcards.c_str());
}

std::unique_ptr<VELMORA_BV> bv_of(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                                  const DataFiles& files, std::string* out = nullptr,
                                  std::string* err = nullptr) {
  std::unique_ptr<VELMORA_BV> bv;
  capture(
      [&] {
        bv = velmora_bv_calculate_from_cell(cell, symmetry, files.unitary.c_str(),
                                            files.binary.c_str());
      },
      out, err);
  return bv;
}

}  // namespace

TEST(BondValence, RockSaltByHand) {
  DataFiles files;
  auto cell = ff_fixture::rock_salt("Na", 1, "Cl", -1, 5.64);
  auto symmetry = fm3m();
  ASSERT_TRUE(symmetry);
  std::string out;
  auto bv = bv_of(cell.get(), symmetry.get(), files, &out);
  ASSERT_TRUE(bv);
  EXPECT_NE(out.find("Message: total inequivalent sites: 2\n"), std::string::npos);
  ASSERT_EQ(bv->total, 2);
  // Sites are numbered in the cell's order before the parameter build sorts
  // the atoms: Na first here.
  EXPECT_STREQ(bv->atom[0].type, "Na");
  EXPECT_EQ(bv->multi[0], 4);
  EXPECT_EQ(bv->multi[1], 4);
  // Only the six nearest neighbours at a/2 lie within the 3.0 A cut-off.
  const double s = 6.0 * std::exp((2.15 - 2.82) / 0.37);
  EXPECT_NEAR(bv->sum[0], s, 1e-12);
  EXPECT_NEAR(bv->sum[1], -s, 1e-12);
  EXPECT_DOUBLE_EQ(bv->value[0][1], bv->sum[0]);
  EXPECT_EQ(bv->value[0][0], 0.0);
  capture([&] { EXPECT_NEAR(velmora_gii_calculate_from_bv(bv.get()), std::fabs(s - 1.0), 1e-12); },
          &out, nullptr);
  // The cell keeps no scratch marks.
  for (const VELMORA_ATOM& a : cell->atom) {
    EXPECT_EQ(a.flag, 0);
    EXPECT_FALSE(a.ignored);
  }
}

TEST(BondValence, MatchesAPlainLoopOnADistortedCell) {
  DataFiles files;
  auto cell = ff_fixture::li2o();
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-0.03, 0.03);
  for (VELMORA_ATOM& a : cell->atom)
    for (double& f : a.x_f) f += u(rng);
  cell->atom[2].occ = 0.6;   // an O
  cell->atom[7].occ = 0.25;  // a Li
  velmora_cell_update_coordinate_cartesion(cell.get());
  auto p1 = velmora_symmetry_new_p1();
  auto bv = bv_of(cell.get(), p1.get(), files);
  ASSERT_TRUE(bv);
  ASSERT_EQ(bv->total, 12);
  // Reference: R = 6 A (the Li-O cut-off), images to (int)(R/a + 2).
  const double r0 = 1.1745, b = 0.514, cutoff = 6.0;
  const long n = static_cast<long>(cutoff / 4.6114 + 2.0);
  for (long s = 0; s < bv->total; ++s) {
    const VELMORA_ATOM& A = bv->atom[s];
    double sum = 0.0;
    for (const VELMORA_ATOM& B : cell->atom) {
      if (A.os * B.os >= 0) continue;
      for (long l = -n; l <= n; ++l)
        for (long m = -n; m <= n; ++m)
          for (long k = -n; k <= n; ++k) {
            const double d = std::sqrt(std::pow(B.x[0] + l * 4.6114 - A.x[0], 2) +
                                       std::pow(B.x[1] + m * 4.6114 - A.x[1], 2) +
                                       std::pow(B.x[2] + k * 4.6114 - A.x[2], 2));
            if (d > 0.3 && d < cutoff) sum += (A.os > 0 ? 1 : -1) * B.occ * std::exp((r0 - d) / b);
          }
    }
    EXPECT_NEAR(bv->sum[s], sum, 1e-10) << s;
    double parts = 0.0;
    for (long t = 0; t < bv->total; ++t) parts += bv->value[s][t];
    EXPECT_NEAR(parts, bv->sum[s], 1e-12);
  }
}

// A tetrahedral site shared by Si (0.4), Al (0.343), Fe (0.157) and Ti
// (0.1), four O at 1.6195 A, by hand with the shipped Al-O, Si-O, Fe-O and
// Ti-O parameters: each cation sums its four bonds whatever its own
// occupancy (Al 4 exp((1.634 - d)/0.390) = 4.15, not 0.343 times that),
// and each O sums the bonds of the four cations weighted by theirs.
TEST(BondValence, SharedCationSiteByHand) {
  REQUIRE_DATA();
  const double t = 0.187;
  std::vector<ff_fixture::Site> sites = {
      {"Si", 4, 0, 0, 0, 0.4},     {"Al", 3, 0, 0, 0, 0.343},   {"Fe", 3, 0, 0, 0, 0.157},
      {"Ti", 4, 0, 0, 0, 0.1},     {"O", -2, t, t, t, 1.0},     {"O", -2, -t, -t, t, 1.0},
      {"O", -2, -t, t, -t, 1.0},   {"O", -2, t, -t, -t, 1.0},   {"Na", 1, 0.5, 0.5, 0.5, 1.0},
      {"Na", 1, 0.5, 0, 0, 1.0},   {"Na", 1, 0, 0.5, 0, 1.0},   {"Na", 1, 0, 0, 0.5, 1.0},
      {"Na", 1, 0.5, 0.5, 0, 0.343}};
  auto cell = ff_fixture::cubic_cell(5.0, sites);
  auto p1 = velmora_symmetry_new_p1();
  std::unique_ptr<VELMORA_BV> bv;
  capture([&] {
    bv = velmora_bv_calculate_from_cell(cell.get(), p1.get(), shipped_data::kUnitary.c_str(),
                                        shipped_data::kBinary.c_str());
  }, nullptr, nullptr);
  ASSERT_TRUE(bv);
  const double d = 5.0 * t * std::sqrt(3.0);
  struct Pair {
    const char* type;
    double r0, b, occ;
  };
  const Pair pairs[4] = {{"Si", 1.624, 0.389, 0.4}, {"Al", 1.634, 0.390, 0.343},
                         {"Fe", 1.766, 0.360, 0.157}, {"Ti", 1.819, 0.342, 0.1}};
  double oxygen = 0.0;
  for (const Pair& p : pairs) {
    long s = 0;
    while (s < bv->total && std::strcmp(bv->atom[s].type, p.type) != 0) ++s;
    ASSERT_LT(s, bv->total) << p.type;
    // Only the four O lie within the 5 A cut-offs (the next O at 3.6 A
    // and beyond add their share too): the plain sum over every O image.
    double sum = 0.0;
    for (const auto& o : {std::array<double, 3>{t, t, t}, {-t, -t, t}, {-t, t, -t}, {t, -t, -t}})
      for (int i = -2; i <= 2; ++i)
        for (int j = -2; j <= 2; ++j)
          for (int k = -2; k <= 2; ++k) {
            const double r = 5.0 * std::sqrt(std::pow(o[0] + i, 2) + std::pow(o[1] + j, 2) +
                                             std::pow(o[2] + k, 2));
            if (r > 0.3 && r < 5.0) sum += std::exp((p.r0 - r) / p.b);
          }
    EXPECT_NEAR(bv->sum[s], sum, 1e-9) << p.type;
    EXPECT_GT(bv->sum[s], 3.9 * std::exp((p.r0 - d) / p.b)) << p.type;  // the four bonds
    oxygen += p.occ * std::exp((p.r0 - d) / p.b);
  }
  long o = 0;
  while (o < bv->total && std::strcmp(bv->atom[o].type, "O") != 0) ++o;
  ASSERT_LT(o, bv->total);
  // The O's bonds to the shared site, occupancy-weighted, are part of its sum.
  EXPECT_LT(bv->sum[o], -oxygen);
}

TEST(BondValence, CutoffIsExclusiveAndCloseImagesSkipped) {
  // Hand-made parameters: one cation-anion pair with a cut-off of exactly 2 A.
  auto ppt = velmora_property_new(2);
  std::snprintf(ppt->type[0].data(), 3, "Li");
  ppt->os[0] = 1;
  std::snprintf(ppt->type[1].data(), 3, "O");
  ppt->os[1] = -2;
  VELMORA_PROPERTY_BINARY& p = ppt->bin[0][1];
  p.r0 = 1.5;
  p.b = 0.4;
  p.cutoff = 2.0;
  // Li at the origin, O at (2, 0, 0) in a 4 A cube: both O images at 2.0 A.
  auto cell = ff_fixture::cubic_cell(4.0, {{"Li", 1, 0, 0, 0, 1.0}, {"O", -2, 0.5, 0, 0, 1.0}});
  cell->atom[0].flag = 1;
  cell->atom[1].flag = 2;
  std::unique_ptr<VELMORA_BV> bv;
  capture([&] { bv = velmora_bv_calculate_from_flagged_cell(cell.get(), ppt.get()); }, nullptr,
          nullptr);
  ASSERT_TRUE(bv);
  EXPECT_EQ(bv->sum[0], 0.0);
  p.cutoff = 2.0001;
  capture([&] { bv = velmora_bv_calculate_from_flagged_cell(cell.get(), ppt.get()); }, nullptr,
          nullptr);
  EXPECT_NEAR(bv->sum[0], 2.0 * std::exp((1.5 - 2.0) / 0.4), 1e-12);
  EXPECT_NEAR(bv->sum[1], -2.0 * std::exp((1.5 - 2.0) / 0.4), 1e-12);
  // An O within 0.3 A of the Li does not count.
  auto close = ff_fixture::cubic_cell(4.0, {{"Li", 1, 0, 0, 0, 1.0}, {"O", -2, 0.07, 0, 0, 1.0}});
  close->atom[0].flag = 1;
  close->atom[1].flag = 2;
  p.cutoff = 1.0;
  capture([&] { bv = velmora_bv_calculate_from_flagged_cell(close.get(), ppt.get()); }, nullptr,
          nullptr);
  EXPECT_EQ(bv->sum[0], 0.0);
}

TEST(BondValence, MissingParametersStopTheSums) {
  auto ppt = velmora_property_new(2);
  std::snprintf(ppt->type[0].data(), 3, "Li");
  ppt->os[0] = 1;
  std::snprintf(ppt->type[1].data(), 3, "O");
  ppt->os[1] = -2;
  std::snprintf(ppt->bin[0][1].type1, 3, "Li");
  ppt->bin[0][1].os1 = 1;
  std::snprintf(ppt->bin[0][1].type2, 3, "O");
  ppt->bin[0][1].os2 = -2;
  std::string err;
  capture([&] { EXPECT_EQ(velmora_bv_validate_property(ppt.get()), 1); }, nullptr, &err);
  EXPECT_EQ(err, "Error: incorrect cutoff at [0](Li1+)-(O2-) cutoff=0.000000\n");
  ppt->bin[0][1].cutoff = 5.0;
  ppt->bin[0][1].b = 0.4;
  capture([&] { EXPECT_EQ(velmora_bv_validate_property(ppt.get()), 1); }, nullptr, &err);
  EXPECT_EQ(err, "Error: incorrect r0 at [0](Li1+)-(O2-) r0=0.000000\n");
}

TEST(BondValence, TwoSpeciesOnly) {
  DataFiles files;
  // Li2O: the Li ions alone have no bonds; Li with O has all of them.
  auto cell = ff_fixture::li2o();
  auto symmetry = velmora_symmetry_new_p1();
  std::unique_ptr<VELMORA_BV> bv;
  capture(
      [&] {
        bv = velmora_bv_calculate_from_cell_with_type(cell.get(), symmetry.get(), "Li", 1, "Li",
                                                      1, files.unitary.c_str(),
                                                      files.binary.c_str());
      },
      nullptr, nullptr);
  ASSERT_TRUE(bv);
  EXPECT_EQ(bv->total, 8);
  for (long s = 0; s < bv->total; ++s) EXPECT_EQ(bv->sum[s], 0.0);
  capture(
      [&] {
        bv = velmora_bv_calculate_from_cell_with_type(cell.get(), symmetry.get(), "Li", 1, "O", -2,
                                                      files.unitary.c_str(),
                                                      files.binary.c_str());
      },
      nullptr, nullptr);
  ASSERT_TRUE(bv);
  EXPECT_EQ(bv->total, 12);
  for (long k = 0; k < bv->total; ++k) EXPECT_GT(bv->sum[k] * bv->atom[k].os, 0.5);
  std::string err;
  capture(
      [&] {
        bv = velmora_bv_calculate_from_cell_with_type(cell.get(), symmetry.get(), "K", 1, "Cl", -1,
                                                      files.unitary.c_str(),
                                                      files.binary.c_str());
      },
      nullptr, &err);
  EXPECT_FALSE(bv);
  EXPECT_NE(err.find("Error: velmora_atom_new() returns NULL.\n"), std::string::npos);
}

TEST(BondValence, PairTableOfLargeCellsListsBondsOnly) {
  // A ring of 100 sites, each bonded to its two neighbours: 200 of the
  // 10,000 pairs share a bond.
  const long n = 100;
  auto bv = velmora_bv_new(n);
  for (long s = 0; s < n; ++s) {
    std::snprintf(bv->atom[s].name, sizeof bv->atom[s].name, "X%ld", s);
    std::snprintf(bv->atom[s].type, 3, s % 2 ? "O" : "Li");
    bv->atom[s].os = s % 2 ? -2 : 1;
    bv->atom[s].occ = 1.0;
    bv->value[s][(s + 1) % n] = 0.5;
    bv->value[s][(s + n - 1) % n] = 0.5;
  }
  std::string out;
  capture([&] { velmora_bv_print(bv.get()); }, &out, nullptr);
  long lines = 0, pairs = 0;
  bool table = false;
  for (std::size_t p = 0, e; p < out.size(); p = e + 1) {
    e = out.find('\n', p);
    const std::string line = out.substr(p, e - p);
    ++lines;
    if (line.rfind("BV: nam1", 0) == 0) table = true;
    if (!table) continue;
    if (line.find(" 0.500000") != std::string::npos) ++pairs;
    EXPECT_EQ(line.find(" 0.000000"), std::string::npos) << "a zero pair listed: " << line;
  }
  EXPECT_EQ(pairs, 200);
  EXPECT_EQ(lines, 1 + n + 2 + 200 + 1);  // sums, separator and header, pairs, summary
  EXPECT_NE(out.find("BV: 9800 of the 10000 pairs of these 100 sites share no bond and are not "
                     "listed (every pair is listed up to 64 sites).\n"),
            std::string::npos);
}

TEST(BondValence, GiiVerdictsAndPrints) {
  auto bv = velmora_bv_new(2);
  std::snprintf(bv->atom[0].name, sizeof bv->atom[0].name, "Li1");
  std::snprintf(bv->atom[0].type, 3, "Li");
  bv->atom[0].os = 1;
  bv->atom[0].occ = 1.0;
  std::snprintf(bv->atom[1].name, sizeof bv->atom[1].name, "O1");
  std::snprintf(bv->atom[1].type, 3, "O");
  bv->atom[1].os = -2;
  bv->atom[1].occ = 1.0;
  bv->multi = {2, 1};
  bv->sum = {1.0, -2.0};
  bv->value = {{0.0, 1.0}, {-2.0, 0.0}};
  std::string out;
  capture([&] { EXPECT_EQ(velmora_gii_calculate_from_bv(bv.get()), 0.0); }, &out, nullptr);
  EXPECT_EQ(out, "GII: Global instability index = 0.000000\nGII: suggested stability: average.\n");
  bv->sum = {1.1, -2.2};  // sqrt((2*0.01 + 0.04)/3)
  capture([&] { EXPECT_NEAR(velmora_gii_calculate_from_bv(bv.get()), std::sqrt(0.06 / 3), 1e-12); },
          &out, nullptr);
  EXPECT_NE(out.find("stable.\n"), std::string::npos);
  bv->sum = {3.0, -2.0};
  capture([&] { velmora_gii_calculate_from_bv(bv.get()); }, &out, nullptr);
  EXPECT_NE(out.find("GII: unreasonable value.\n"), std::string::npos);

  bv->sum = {1.0, -2.0};
  capture([&] { velmora_bv_print(bv.get()); }, &out, nullptr);
  EXPECT_EQ(out,
            "BV:   name type    occ    bv_sum\n"
            "BV:    Li1 Li1+  1.000  1.000000\n"
            "BV:     O1  O2-  1.000 -2.000000\n"
            "BV:=============================================\n"
            "BV: nam1 typ1   occ1 nam2 typ2   occ1        bv\n"
            "BV:  Li1 Li1+  1.000  Li1 Li1+  1.000  0.000000\n"
            "BV:  Li1 Li1+  1.000   O1  O2-  1.000  1.000000\n"
            "BV:   O1  O2-  1.000  Li1 Li1+  1.000 -2.000000\n"
            "BV:   O1  O2-  1.000   O1  O2-  1.000  0.000000\n");
  capture([&] { velmora_bv_print_gui(bv.get()); }, &out, nullptr);
  EXPECT_EQ(out,
            "Printing bond valence sum of each site for Velmora-GUI\n"
            "> Label [  X     Y     Z  ] : BV_sum\n"
            ">   Li1 [0.000 0.000 0.000] : 1.000000\n"
            ">    O1 [0.000 0.000 0.000] : -2.000000\n"
            "End of BV sum calculation for Velmora-GUI\n");
  std::string err;
  capture([&] { velmora_bv_print(nullptr); }, nullptr, &err);
  EXPECT_EQ(err, "BV: (not allocated)\n");
}

// Cell operations: supercell sizes, minimum distances, random resolution of
// partial occupancies (counts and neutrality over many seeds) and the CIF
// writer (exact layout, read back by the CIF reader).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "ff_fixture.h"
#include "shipped_data.h"
#include "velmora-import.h"
#include "velmora-la.h"

using ff_fixture::capture;
using ff_fixture::Site;

namespace {

using shipped_data::kSymcards;
using shipped_data::kUnitary;

std::map<std::string, double> composition(const VELMORA_CELL& cell) {
  std::map<std::string, double> out;
  for (const VELMORA_ATOM& a : cell.atom)
    out[std::string(a.type) + std::to_string(a.os)] += a.occ;
  return out;
}

double formal_charge(const VELMORA_CELL& cell) {
  double q = 0.0;
  for (const VELMORA_ATOM& a : cell.atom) q += a.os * a.occ;
  return q;
}

// Smallest periodic distance between two atoms of the cell (A).
double closest_pair(const VELMORA_CELL& cell) {
  double d = 1e300;
  for (std::size_t i = 0; i < cell.atom.size(); ++i)
    for (std::size_t j = i + 1; j < cell.atom.size(); ++j)
      d = std::min(d, velmora_cell_min_distance_btw_atoms(&cell, &cell.atom[i], &cell.atom[j]));
  return d;
}

std::unique_ptr<VELMORA_CELL> cell_of(long atoms, double a, double b, double c) {
  std::vector<Site> sites;
  for (long k = 0; k < atoms; ++k) sites.push_back({"Li", 1, 0.001 * k, 0, 0, 1.0});
  const double lattice[3][3] = {{a, 0, 0}, {0, b, 0}, {0, 0, c}};
  auto cell = ff_fixture::make_cell(lattice, sites);
  cell->total = atoms;
  return cell;
}

}  // namespace

TEST(Supercell, DefaultSizeRule) {
  struct Case {
    long atoms;
    double a, b, c;
    int n[3];
  } cases[] = {{130, 5, 6, 4, {2, 1, 2}}, {130, 4, 6, 5, {2, 2, 1}}, {130, 4, 4, 4, {2, 2, 1}},
               {250, 5, 5, 5, {1, 1, 1}}, {124, 5, 5, 5, {2, 2, 2}}, {37, 5, 5, 5, {2, 2, 2}},
               {36, 5, 5, 5, {3, 3, 3}},  {15, 5, 5, 5, {3, 3, 3}},  {14, 5, 5, 5, {4, 4, 4}},
               {8, 5, 5, 5, {4, 4, 4}},   {7, 5, 5, 5, {5, 5, 5}},   {4, 5, 5, 5, {5, 5, 5}},
               {3, 5, 5, 5, {6, 6, 6}},   {2, 5, 5, 5, {6, 6, 6}},   {1, 5, 5, 5, {7, 7, 7}}};
  for (const Case& c : cases) {
    auto cell = cell_of(c.atoms, c.a, c.b, c.c);
    auto super = velmora_cell_supercell_default(cell.get());
    ASSERT_TRUE(super);
    EXPECT_EQ(super->total, c.atoms * c.n[0] * c.n[1] * c.n[2]) << c.atoms;
    EXPECT_NEAR(super->parameter[0], c.a * c.n[0], 1e-9) << c.atoms;
    EXPECT_NEAR(super->parameter[1], c.b * c.n[1], 1e-9) << c.atoms;
    EXPECT_NEAR(super->parameter[2], c.c * c.n[2], 1e-9) << c.atoms;
  }
  auto empty = velmora_cell_new(0);
  std::string err;
  capture([&] { EXPECT_FALSE(velmora_cell_supercell_default(empty.get())); }, nullptr, &err);
  EXPECT_EQ(err, "Error: wrong total atom number 0\n in VELMORA_CELL.\n");
}

TEST(Supercell, AtomOrderAndPositions) {
  auto cell = ff_fixture::li2o();
  const int n[3] = {2, 1, 3};
  auto super = velmora_cell_supercell(cell.get(), n);
  ASSERT_TRUE(super);
  EXPECT_EQ(super->total, 12 * 6);
  EXPECT_EQ(super->Z, 0);
  // Atom i, image (t0, t1, t2) sits at index i*6 + t0*3 + t1*3 + t2.
  const VELMORA_ATOM& a = super->atom[5 * 6 + 1 * 3 + 0 * 3 + 2];
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(a.x[c], cell->atom[5].x[c] + cell->a[0][c] + 2 * cell->a[2][c], 1e-12);
  EXPECT_NEAR(a.x_f[0], (cell->atom[5].x_f[0] + 1) / 2, 1e-12);
  EXPECT_NEAR(a.x_f[2], (cell->atom[5].x_f[2] + 2) / 3, 1e-12);
  const int bad[3] = {1, 0, 1};
  std::string err;
  capture([&] { EXPECT_FALSE(velmora_cell_supercell(cell.get(), bad)); }, nullptr, &err);
  EXPECT_EQ(err, "Error: supercell parameters must be positive.\n");
}

TEST(CellGeometry, MinimumDistanceOverNeighbourImages) {
  auto cell = ff_fixture::cubic_cell(4.0, {{"Li", 1, 0.05, 0.5, 0.5, 1.0},
                                           {"O", -2, 0.95, 0.5, 0.5, 1.0}});
  EXPECT_NEAR(velmora_cell_min_distance_btw_atoms(cell.get(), &cell->atom[0], &cell->atom[1]),
              0.4, 1e-12);
  EXPECT_NEAR(velmora_cell_min_distance_btw_atoms(cell.get(), &cell->atom[0], &cell->atom[0]),
              0.0, 1e-12);
}

TEST(PartialOccupancy, OneSpeciesKeepsTheIntegerPart) {
  auto four = ff_fixture::cubic_cell(
      6.0, {{"Li", 1, 0, 0, 0, 0.5}, {"Li", 1, 0.5, 0, 0, 0.5}, {"Li", 1, 0, 0.5, 0, 0.5},
            {"Li", 1, 0, 0, 0.5, 0.5}, {"F", -1, 0.5, 0.5, 0.5, 1.0}, {"F", -1, 0.25, 0.25, 0.25, 1.0}});
  auto three = ff_fixture::cubic_cell(
      6.0, {{"Li", 1, 0, 0, 0, 0.5}, {"Li", 1, 0.5, 0, 0, 0.5}, {"Li", 1, 0, 0.5, 0, 0.5},
            {"F", -1, 0.5, 0.5, 0.5, 1.0}});
  // 1/3 written as 0.333: the three sites still hold one ion.
  auto thirds = ff_fixture::cubic_cell(
      6.0, {{"Li", 1, 0, 0, 0, 0.333}, {"Li", 1, 0.5, 0, 0, 0.333}, {"Li", 1, 0, 0.5, 0, 0.333},
            {"F", -1, 0.5, 0.5, 0.5, 1.0}});
  std::map<long, int> picked;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::srand(seed);
    auto a = velmora_cell_assign_partial_occ(four.get(), "Li", 1);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->total, 4);
    EXPECT_NEAR(composition(*a)["Li1"], 2.0, 1e-12);
    EXPECT_NEAR(formal_charge(*a), 0.0, 1e-12);
    for (const VELMORA_ATOM& at : a->atom) {
      EXPECT_EQ(at.occ, 1.0);
      EXPECT_FALSE(at.ignored);
    }
    auto b = velmora_cell_assign_partial_occ(three.get(), "Li", 1);
    ASSERT_TRUE(b);
    EXPECT_NEAR(composition(*b)["Li1"], 1.0, 1e-12);
    for (const VELMORA_ATOM& at : b->atom)
      if (at.os > 0) picked[std::lround(at.x_f[0] * 2 + at.x_f[1] * 4)]++;
    auto c = velmora_cell_assign_partial_occ(thirds.get(), "Li", 1);
    ASSERT_TRUE(c);
    EXPECT_NEAR(composition(*c)["Li1"], 1.0, 1e-12);
    EXPECT_NEAR(formal_charge(*c), 0.0, 1e-12);
  }
  // Each of the three equal sites is chosen now and then.
  EXPECT_EQ(picked.size(), 3u);
  // The source keeps its occupancies and carries no marks.
  for (const VELMORA_ATOM& at : four->atom) {
    EXPECT_FALSE(at.ignored);
    if (at.os > 0) {
      EXPECT_EQ(at.occ, 0.5);
    }
  }
}

TEST(PartialOccupancy, MixedSitesGoWholeToOneSpecies) {
  // Rock salt with the cation site shared by Li and Na, half each, and one
  // Li site split over two positions 0.2 A apart.
  std::vector<Site> sites;
  for (const Site& s : ff_fixture::fcc({"Li", 1, 0, 0, 0, 0.5})) sites.push_back(s);
  for (const Site& s : ff_fixture::fcc({"Na", 1, 0, 0, 0, 0.5})) sites.push_back(s);
  for (const Site& s : ff_fixture::fcc({"Cl", -1, 0.5, 0, 0, 1.0})) sites.push_back(s);
  sites.push_back({"Cl", -1, 0.25, 0.25, 0.25, 0.005});  // dropped: below 0.01
  auto cell = ff_fixture::cubic_cell(5.4, sites);
  EXPECT_EQ(velmora_cell_partial_occ_at_conducting_site(cell.get(), "Li", 1), 1);
  EXPECT_EQ(velmora_cell_partial_occ_at_conducting_site(cell.get(), "Cl", -1), 0);
  for (unsigned seed = 1; seed <= 30; ++seed) {
    std::srand(seed);
    auto a = velmora_cell_assign_partial_occ_at_conducting_site(cell.get(), "Li", 1);
    ASSERT_TRUE(a);
    auto comp = composition(*a);
    EXPECT_NEAR(comp["Li1"], 2.0, 1e-12);
    EXPECT_NEAR(comp["Na1"], 2.0, 1e-12);
    EXPECT_NEAR(comp["Cl-1"], 4.0, 1e-12);
    EXPECT_NEAR(formal_charge(*a), 0.0, 1e-12);
    EXPECT_GT(closest_pair(*a), 0.3);  // no two cations left on one site
  }
  for (const VELMORA_ATOM& at : cell->atom) EXPECT_FALSE(at.ignored);
  // The same through the all-species assignment.
  for (unsigned seed = 1; seed <= 10; ++seed) {
    std::srand(seed);
    auto a = velmora_cell_assign_partial_occ_all(cell.get());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->total, 8);
    EXPECT_NEAR(formal_charge(*a), 0.0, 1e-12);
  }
}

TEST(PartialOccupancy, SplitMixedSiteHoldsOneAtom) {
  // A cation site split over two positions 0.4 A apart, each shared by K
  // (0.4) and Rb (0.1), as in a leucite-type K0.8Rb0.2 structure: the four
  // listed atoms together are one atom.  The two positions are further
  // apart than the 0.3 A sharing radius, yet no solid holds whole atoms
  // 0.4 A apart, so each split site must end with exactly one cation.
  std::vector<Site> sites;
  const double dx = 0.4 / 5.4;
  for (const Site& s : ff_fixture::fcc({"K", 1, 0, 0, 0, 0.4})) sites.push_back(s);
  for (const Site& s : ff_fixture::fcc({"Rb", 1, 0, 0, 0, 0.1})) sites.push_back(s);
  for (const Site& s : ff_fixture::fcc({"K", 1, dx, 0, 0, 0.4})) sites.push_back(s);
  for (const Site& s : ff_fixture::fcc({"Rb", 1, dx, 0, 0, 0.1})) sites.push_back(s);
  for (const Site& s : ff_fixture::fcc({"Cl", -1, 0.5, 0, 0, 1.0})) sites.push_back(s);
  auto cell = ff_fixture::cubic_cell(5.4, sites);
  const int n[3] = {5, 1, 1};  // 20 split sites: 16 K and 4 Rb
  auto super = velmora_cell_supercell(cell.get(), n);
  ASSERT_TRUE(super);
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::srand(seed);
    auto a = velmora_cell_assign_partial_occ_at_conducting_site(super.get(), "K", 1);
    ASSERT_TRUE(a);
    auto comp = composition(*a);
    EXPECT_NEAR(comp["K1"], 16.0, 1e-12);
    EXPECT_NEAR(comp["Rb1"], 4.0, 1e-12);
    EXPECT_NEAR(formal_charge(*a), 0.0, 1e-12);
    EXPECT_GE(closest_pair(*a), VELMORA_CELL_MIN_DISTANCE) << "seed " << seed;
  }
}

TEST(PartialOccupancy, OverOccupiedSitesEnd) {
  // Three species claim the same two sites at 0.9 each: the draws must stop
  // when the sites are used up.
  std::vector<Site> sites;
  for (const char* t : {"Li", "Na", "K"}) {
    sites.push_back({t, 1, 0, 0, 0, 0.9});
    sites.push_back({t, 1, 0.5, 0.5, 0.5, 0.9});
  }
  sites.push_back({"F", -1, 0.25, 0.25, 0.25, 1.0});
  auto cell = ff_fixture::cubic_cell(5.0, sites);
  std::srand(7);
  auto a = velmora_cell_assign_partial_occ_at_conducting_site(cell.get(), "Li", 1);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->total, 3);  // two cation sites and the anion
}

TEST(CifWriter, ExactLayoutInP1) {
  auto cell = ff_fixture::cubic_cell(4.0, {{"Li", 1, 0, 0, 0, 1.0}, {"O", -2, 0.5, 0.5, 0.5, 0.5}});
  std::snprintf(cell->name, sizeof cell->name, "Li1+:1.000 O2-:0.500 ");
  std::unique_ptr<VELMORA_TEXT> text;
  std::string out;
  capture([&] { text = velmora_cell_export_cif_to_text(cell.get(), nullptr); }, &out, nullptr);
  ASSERT_TRUE(text);
  EXPECT_EQ(out, "Message: symmetry info missing. Using P1.\n");
  const std::string expected =
      "data_generated-by-velmora\r\n\n"
      "_chemical_name_systematic         'Li1+:1.000 O2-:0.500 '\r\n"
      "_cell_length_a                    4.000\r\n"
      "_cell_length_b                    4.000\r\n"
      "_cell_length_c                    4.000\r\n"
      "_cell_angle_alpha                 90.000\r\n"
      "_cell_angle_beta                  90.000\r\n"
      "_cell_angle_gamma                 90.000\r\n"
      "_cell_volume                      64.000\r\n"
      "_cell_formula_units_Z             0\r\n"
      "_symmetry_space_group_name_H-M    'P 1'\r\n"
      "_symmetry_Int_Tables_number       1\r\n"
      "\r\nloop_\r\n"
      "  _symmetry_equiv_pos_site_id\r\n"
      "  _symmetry_equiv_pos_as_xyz\r\n"
      "    1    'x, y, z'\r\n"
      "\r\nloop_\r\n"
      "  _atom_type_symbol\r\n"
      "  _atom_type_oxidation_number\r\n"
      "  Li1+     1\r\n"
      "  O2-     -2\r\n"
      "\r\nloop_\r\n"
      "  _atom_site_label\r\n"
      "  _atom_site_type_symbol\r\n"
      "  _atom_site_fract_x\r\n"
      "  _atom_site_fract_y\n"
      "  _atom_site_fract_z\r\n"
      "  _atom_site_occupancy\r\n"
      "  Li1  Li1+  0.000  0.000  0.000  1.000\r\n"
      "  O2  O2-  0.500  0.500  0.500  0.500\r\n"
      "\r\n#end of data\r\n";
  EXPECT_EQ(text->content, expected);
}

TEST(CifWriter, ReadsBackToTheSameCell) {
  const std::string path = std::string(BV_TEST_DATA_DIR) + "/cif/Li2O.cif";
  std::unique_ptr<VELMORA_CELL> cell, again;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry, symmetry2;
  std::unique_ptr<VELMORA_TEXT> text;
  std::string out;
  capture(
      [&] {
        ASSERT_EQ(velmora_cell_import_cif_from_file(cell, symmetry, path.c_str(),
                                                    kSymcards.c_str(), kUnitary.c_str()),
                  0);
        text = velmora_cell_export_cif_to_text(cell.get(), symmetry.get(), kSymcards.c_str());
        ASSERT_TRUE(text);
        ASSERT_EQ(velmora_cell_import_cif_from_text(again, symmetry2, text.get(),
                                                    kSymcards.c_str(), kUnitary.c_str()),
                  0);
      },
      &out, nullptr);
  ASSERT_TRUE(again);
  EXPECT_NE(text->content.find("_symmetry_space_group_name_H-M    'F m -3 m'\r\n"),
            std::string::npos);
  EXPECT_NE(text->content.find("_symmetry_Int_Tables_number       225\r\n"), std::string::npos);
  ASSERT_EQ(again->total, cell->total);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(again->parameter[k], cell->parameter[k], 5e-4);
  for (long i = 0; i < cell->total; ++i) {
    EXPECT_STREQ(again->atom[i].type, cell->atom[i].type);
    EXPECT_EQ(again->atom[i].os, cell->atom[i].os);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(again->atom[i].x_f[k], cell->atom[i].x_f[k], 5e-4);
  }
}

TEST(CifWriter, SymbolOfTheSettingWithTheSameOperations) {
  std::string symbol;
  int number = 0;
  auto hexagonal = velmora_symmetry_import_by_keyword_Hall("-R 3 2\"", kSymcards.c_str());
  ASSERT_TRUE(hexagonal);
  ASSERT_TRUE(velmora_symmetry_cif_symbol(symbol, number, hexagonal.get(), kSymcards.c_str()));
  EXPECT_EQ(symbol, "R -3 m:H");
  EXPECT_EQ(number, 166);
  // The same operations in another order and with whole-cell translations.
  std::reverse(hexagonal->card.begin(), hexagonal->card.end());
  hexagonal->card[0].t_f[2] += 1.0;
  ASSERT_TRUE(velmora_symmetry_cif_symbol(symbol, number, hexagonal.get(), kSymcards.c_str()));
  EXPECT_EQ(symbol, "R -3 m:H");
  auto origin2 = velmora_symmetry_import_by_keyword_Hall("-F 4vw 2vw 3", kSymcards.c_str());
  ASSERT_TRUE(origin2);
  ASSERT_TRUE(velmora_symmetry_cif_symbol(symbol, number, origin2.get(), kSymcards.c_str()));
  EXPECT_EQ(symbol, "F d -3 m:2");
  // An origin shift that no setting lists.
  origin2->card[1].t_f[0] += 0.125;
  EXPECT_FALSE(velmora_symmetry_cif_symbol(symbol, number, origin2.get(), kSymcards.c_str()));
}

TEST(CifWriter, LabelsStayOneToken) {
  auto cell = ff_fixture::cubic_cell(4.0, {{"Li", 1, 0, 0, 0, 1.0}});
  std::snprintf(cell->atom[0].name, sizeof cell->atom[0].name, "Li 1'a");
  std::unique_ptr<VELMORA_TEXT> text;
  capture([&] { text = velmora_cell_export_cif_to_text(cell.get(), nullptr); }, nullptr, nullptr);
  ASSERT_TRUE(text);
  EXPECT_NE(text->content.find("  Li_1_a  Li1+  0.000"), std::string::npos);
}

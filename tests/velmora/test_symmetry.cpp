// Space-group symmetry of velmora: operation texts, lookups in the settings
// file under every spelling real CIFs use, expansion with duplicate removal
// (checked against the plain quadratic algorithm), the canonical atom order,
// reduction, site labels, the invariance test and the search for the group.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "shipped_data.h"
#include "velmora-import.h"

namespace {

using shipped_data::kSymcards;
using shipped_data::kUnitary;

struct Quiet {
  Quiet() {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
  }
  ~Quiet() { finish(); }
  void finish() {
    if (done) return;
    err = ::testing::internal::GetCapturedStderr();
    out = ::testing::internal::GetCapturedStdout();
    done = true;
  }
  bool done = false;
  std::string out, err;
};

// The setting a Hermann-Mauguin symbol resolves to, as "id|Hall".
std::string hm(const char* symbol) {
  Quiet q;
  auto s = velmora_symmetry_import_by_keyword_HM(symbol, kSymcards.c_str());
  q.finish();
  if (!s) return "none";
  return std::to_string(s->sg_id) + "|" + s->sg_Hall;
}

std::unique_ptr<VELMORA_CELL> read(const std::string& cif,
                                   std::unique_ptr<VELMORA_SYMMETRY>* group = nullptr) {
  auto text = velmora_text_new(cif.c_str());
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  Quiet q;
  const int status = velmora_cell_import_cif_from_text(cell, symmetry, text.get(),
                                                       kSymcards.c_str(), kUnitary.c_str());
  q.finish();
  EXPECT_EQ(status, 0) << q.err;
  if (group) *group = std::move(symmetry);
  return cell;
}

std::string cif(const std::string& cell, const std::string& symmetry, const std::string& atoms) {
  return "data_t\n" + cell + "\n" + symmetry +
         "\nloop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
         "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n" +
         atoms;
}

std::string cubic(double a) {
  char s[256];
  std::snprintf(s, sizeof s,
                "_cell_length_a %g\n_cell_length_b %g\n_cell_length_c %g\n_cell_angle_alpha 90\n"
                "_cell_angle_beta 90\n_cell_angle_gamma 90",
                a, a, a);
  return s;
}

const char* kMonoclinicCell =
    "_cell_length_a 5.1\n_cell_length_b 6.3\n_cell_length_c 7.2\n_cell_angle_alpha 90\n"
    "_cell_angle_beta 101\n_cell_angle_gamma 90";

// Sorted positions (rounded) of the atoms of one type.
std::set<std::string> positions(const VELMORA_CELL& cell, double shift = 0.0) {
  std::set<std::string> s;
  for (const VELMORA_ATOM& a : cell.atom) {
    char key[96];
    double f[3];
    for (int k = 0; k < 3; ++k) {
      f[k] = a.x_f[k] + shift;
      f[k] -= std::floor(f[k]);
      if (f[k] > 0.9995) f[k] = 0.0;
    }
    std::snprintf(key, sizeof key, "%s %.3f %.3f %.3f", a.type, f[0], f[1], f[2]);
    s.insert(key);
  }
  return s;
}

}  // namespace

TEST(SymmetryCard, ParsesOperationTexts) {
  VELMORA_CARD card;
  ASSERT_EQ(velmora_card_set_by_text(&card, "-y, x-y, z+1/3"), 0);
  const double r[3][3] = {{0, -1, 0}, {1, -1, 0}, {0, 0, 1}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(card.r_f[i][j], r[i][j]);
  EXPECT_DOUBLE_EQ(card.t_f[2], 1.0 / 3.0);
  EXPECT_STREQ(card.text, "-y, x-y, z+1/3");
  struct {
    const char* text;
    double t0, r00;
  } cases[] = {{"x-1/2,y,z", -0.5, 1},   {"1/2+x,y,z", 0.5, 1},  {"'x, y, z'", 0, 1},
               {"-x+1/2,y,z", 0.5, -1},  {"+1/2-x,y,z", 0.5, -1}, {"x+0.25,y,z", 0.25, 1},
               {"X,Y,Z", 0, 1},          {"-x+5/6,y,z", 5.0 / 6, -1}, {"x+1/12,y,z", 1.0 / 12, 1},
               {"x+3/2,y,z", 0.5, 1}};
  for (const auto& c : cases) {
    VELMORA_CARD k;
    ASSERT_EQ(velmora_card_set_by_text(&k, c.text), 0) << c.text;
    EXPECT_DOUBLE_EQ(k.t_f[0], c.t0) << c.text;
    EXPECT_EQ(k.r_f[0][0], c.r00) << c.text;
    EXPECT_EQ(k.r_f[1][1], 1) << c.text;
  }
  // A text longer than the record keeps its first 35 characters but is
  // parsed whole.
  VELMORA_CARD longer;
  ASSERT_EQ(velmora_card_set_by_text(&longer, "  -x + y + 2/3 ,  y + 1/3 ,  z + 1/3 + 1/2 "), 0);
  EXPECT_EQ(std::strlen(longer.text), 35u);
  EXPECT_DOUBLE_EQ(longer.t_f[2], 5.0 / 6.0);
  Quiet q;
  for (const char* bad : {"x,y", "x,y,z,x", "a,b,c", "x,y,z+", "x,y,x", "x,y,z-1e308",
                          "1e300x,y,z",
                          "x+1/2+1/2+1/2+1/2+1/2+1/2+1/2+1/2,y,z"})
    EXPECT_EQ(velmora_card_set_by_text(&card, bad), 1) << bad;
  q.finish();
  EXPECT_NE(q.err.find("does not have three components"), std::string::npos);
  EXPECT_NE(q.err.find("is too long"), std::string::npos);
}

TEST(SymmetryLookup, HermannMauguinSymbolsAsRealFilesWriteThem) {
  REQUIRE_DATA();
  struct {
    const char* symbol;
    const char* want;
  } cases[] = {
      {"P 1 21/c 1", "14|-P 2ybc"},   {"P21/c", "14|-P 2ybc"},      {"P 21/c", "14|-P 2ybc"},
      {"P 2_1/c", "14|-P 2ybc"},      {"P 21/n", "14|-P 2yn"},      {"P 1 21/n 1", "14|-P 2yn"},
      {"P 21/a", "14|-P 2yab"},       {"P 1 1 21/b", "14|-P 2bc"},  {"P 21/b", "14|-P 2bc"},
      {"P 2", "3|P 2y"},              {"P 2 :c", "3|P 2"},          {"P 21", "4|P 2yb"},
      {"C 2", "5|C 2y"},              {"P m", "6|P -2y"},           {"C c", "9|C -2yc"},
      {"C 2/c", "15|-C 2yc"},         {"I 2/a", "15|-I 2ya"},       {"Pnma", "62|-P 2ac 2n"},
      {"P b n m", "62|-P 2c 2ab"},    {"P 21/n 21/m 21/a", "62|-P 2ac 2n"},
      {"C m c e", "64|-C 2bc 2"},     {"Cmca", "64|-C 2bc 2"},      {"A e m 2", "39|A 2 -2c"},
      {"F m -3 m", "225|-F 4 2 3"},   {"Fm-3m", "225|-F 4 2 3"},    {"Fm3m", "225|-F 4 2 3"},
      {"F 4/m -3 2/m", "225|-F 4 2 3"}, {"Ia3d", "230|-I 4bd 2c 3"},
      {"F d -3 m", "227|-F 4vw 2vw 3"}, {"Fd-3m", "227|-F 4vw 2vw 3"},
      {"F d -3 m Z", "227|-F 4vw 2vw 3"}, {"F d -3 m :2", "227|-F 4vw 2vw 3"},
      {"F d -3 m :1", "227|F 4d 2 3 -1d"}, {"Fd-3m:1", "227|F 4d 2 3 -1d"},
      {"F d -3 m S", "227|F 4d 2 3 -1d"}, {"F d -3 m (origin choice 1)", "227|F 4d 2 3 -1d"},
      {"P 42/n :1", "86|P 4n -1n"},   {"P 42/n Z", "86|-P 4bc"},    {"P 4/n m m", "129|-P 4a 2a"},
      {"R -3 m", "166|-R 3 2\""},     {"R -3 m :H", "166|-R 3 2\""}, {"R-3m:R", "166|-P 3* 2"},
      {"R -3 m R", "166|-P 3* 2"},    {"R 3 :R", "146|P 3*"},       {"P 63/m m c", "194|-P 6c 2c"},
      {"P6_3/mmc", "194|-P 6c 2c"},   {"P 63/m 2/m 2/c", "194|-P 6c 2c"},
      {"P -3 m 1", "164|-P 3 2\""},   {"P -3 2/m 1", "164|-P 3 2\""}, {"P 3 2 1", "150|P 3 2\""},
      {"P 32 2 1", "154|P 32 2\""},   {"P 1", "1|P 1"},             {"P-1", "2|-P 1"},
      {"I 41/a m d", "141|-I 4bd 2"}, {"I 41/a m d :1", "141|I 4bw 2bw -1bw"},
  };
  for (const auto& c : cases) EXPECT_EQ(hm(c.symbol), c.want) << c.symbol;
  EXPECT_EQ(hm("Q 9 z"), "none");
}

TEST(SymmetryLookup, EverySettingIsFoundByItsOwnSymbolWrittenWithoutSpaces) {
  REQUIRE_DATA();
  std::vector<VELMORA_SYMCARDS_ENTRY> entry;
  ASSERT_EQ(velmora_symcards_load(entry, kSymcards.c_str()), 0);
  ASSERT_EQ(entry.size(), 530u);
  auto found = [&](const std::string& symbol) {
    const int k = velmora_symcards_find_HM(entry, symbol.c_str(), nullptr, nullptr);
    return k < 0 ? std::string("none") : std::to_string(entry[k].id) + "|" + entry[k].hall;
  };
  for (const VELMORA_SYMCARDS_ENTRY& e : entry) {
    ASSERT_TRUE(e.valid) << e.hm;
    EXPECT_EQ(found(e.hm), std::to_string(e.id) + "|" + e.hall) << e.hm;
    // Glued, with the setting word as a suffix: "F d -3 m S" -> "Fd-3m:1".
    std::string glued, word;
    std::string symbol = e.hm;
    const std::size_t last = symbol.rfind(' ');
    if (last != std::string::npos && symbol.size() - last == 2 &&
        std::string("ZSHR").find(symbol.back()) != std::string::npos) {
      word = symbol.substr(last + 1);
      symbol = symbol.substr(0, last);
    }
    for (char c : symbol)
      if (c != ' ') glued += c;
    if (!word.empty()) glued += std::string(":") + (word == "Z" ? "2" : word == "S" ? "1" : word);
    EXPECT_EQ(found(glued), std::to_string(e.id) + "|" + e.hall) << glued << " from " << e.hm;
  }
}

TEST(SymmetryLookup, HallSymbolsNumbersAndEntries) {
  REQUIRE_DATA();
  Quiet q;
  // The two 16-character Hall symbols are found whole.
  auto a = velmora_symmetry_import_by_keyword_Hall("P 32 2c (0 0 -1)", kSymcards.c_str());
  auto b = velmora_symmetry_import_by_keyword_Hall("P 64 2c (0 0 -1)", kSymcards.c_str());
  auto c = velmora_symmetry_import_by_keyword_Hall("  -p  2ybc ", kSymcards.c_str());
  auto none = velmora_symmetry_import_by_keyword_Hall("P 2", kSymcards.c_str());
  auto n2 = velmora_symmetry_import_by_keyword_id("2", kSymcards.c_str());
  auto n21 = velmora_symmetry_import_by_keyword_id("21", kSymcards.c_str());
  auto n227 = velmora_symmetry_import_by_keyword_id("227", kSymcards.c_str());
  auto n227s = velmora_symmetry_import_by_keyword_id_hinted("227", "1", nullptr, kSymcards.c_str());
  auto n166r = velmora_symmetry_import_by_keyword_id_hinted("166", nullptr, "-P 3* 2",
                                                            kSymcards.c_str());
  auto n0 = velmora_symmetry_import_by_keyword_id("231", kSymcards.c_str());
  auto e530 = velmora_symmetry_import_by_internal_no(530, kSymcards.c_str());
  auto e531 = velmora_symmetry_import_by_internal_no(531, kSymcards.c_str());
  q.finish();
  ASSERT_TRUE(a && b && c && n2 && n21 && n227 && n227s && n166r && e530);
  EXPECT_EQ(a->sg_id, 153);
  EXPECT_EQ(b->sg_id, 181);
  EXPECT_STREQ(a->sg_Hall, "P 32 2c (0 0 -1");
  EXPECT_EQ(c->sg_id, 14);
  EXPECT_EQ(c->total, 4);
  EXPECT_TRUE(none);  // 'P 2' is itself a Hall symbol (P 1 1 2)
  EXPECT_EQ(none->sg_id, 3);
  EXPECT_EQ(n2->sg_id, 2);
  EXPECT_STREQ(n2->sg_HM, "P -1");
  EXPECT_EQ(n21->sg_id, 21);
  EXPECT_STREQ(n227->sg_HM, "F d -3 m Z");
  EXPECT_STREQ(n227s->sg_HM, "F d -3 m S");
  EXPECT_STREQ(n166r->sg_HM, "R -3 m R");
  EXPECT_FALSE(n0);
  EXPECT_EQ(e530->sg_id, 230);
  EXPECT_FALSE(e531);
  EXPECT_NE(q.err.find("Error: unable to find keyword id 231 in "), std::string::npos);
  EXPECT_NE(q.err.find("Error: unable to find required space group No.531 in "), std::string::npos);
}

TEST(SymmetryExpansion, DuplicatesWithinHalfAPercent) {
  auto group = velmora_symmetry_new(2);
  velmora_card_set_by_text(&group->card[0], "x,y,z");
  velmora_card_set_by_text(&group->card[1], "-x,-y,-z");
  for (auto [x, n] : {std::pair<double, std::size_t>{0.0, 1}, {0.001, 1}, {0.003, 2}}) {
    std::vector<VELMORA_ATOM> atom(1);
    std::snprintf(atom[0].type, 3, "Li");
    atom[0].x_f[0] = x;
    atom[0].occ = 1;
    ASSERT_EQ(velmora_atom_spawn_by_symmetry(atom, group.get()), 0);
    EXPECT_EQ(atom.size(), n) << x;
  }
}

namespace {

// The literal algorithms: all pairs, quadratic, as a reference.
void reference_sort(std::vector<VELMORA_ATOM>& a) {
  auto pass = [&](auto same, auto greater) {
    for (std::size_t i = 0; i < a.size(); ++i)
      for (std::size_t j = i + 1; j < a.size(); ++j)
        if (same(a[i], a[j]) && greater(a[i], a[j])) std::swap(a[i], a[j]);
  };
  auto any = [](const VELMORA_ATOM&, const VELMORA_ATOM&) { return true; };
  auto t = [](const VELMORA_ATOM& x, const VELMORA_ATOM& y) { return !std::strcmp(x.type, y.type); };
  auto to = [&](const VELMORA_ATOM& x, const VELMORA_ATOM& y) { return t(x, y) && x.os == y.os; };
  auto too = [&](const VELMORA_ATOM& x, const VELMORA_ATOM& y) { return to(x, y) && x.occ == y.occ; };
  pass(any, [](const VELMORA_ATOM& x, const VELMORA_ATOM& y) { return std::strcmp(x.type, y.type) > 0; });
  pass(t, [](const VELMORA_ATOM& x, const VELMORA_ATOM& y) { return x.os > y.os; });
  pass(to, [](const VELMORA_ATOM& x, const VELMORA_ATOM& y) { return x.occ > y.occ; });
  pass(too, [](const VELMORA_ATOM& x, const VELMORA_ATOM& y) {
    return velmora_atom_name_compare(x.name, y.name) > 0;
  });
}

void reference_remove_duplicate(std::vector<VELMORA_ATOM>& a) {
  std::vector<bool> mark(a.size(), false);
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = i + 1; j < a.size(); ++j)
      if (!mark[i] && !mark[j] && velmora_atom_equal(&a[i], &a[j])) mark[j] = true;
  std::vector<VELMORA_ATOM> kept;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!mark[i]) kept.push_back(a[i]);
  a.swap(kept);
}

std::vector<VELMORA_ATOM> random_atoms(std::mt19937& rng, int n) {
  std::uniform_int_distribution<int> pick(0, 2);
  std::uniform_real_distribution<double> u(0, 1);
  const char* types[3] = {"O", "Li", "Co"};
  const char* names[6] = {"Li10", "Li2", "O1", "Co1", "Li2a", "Li1"};
  std::vector<VELMORA_ATOM> a(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    std::snprintf(a[i].type, 3, "%s", types[pick(rng)]);
    a[i].os = pick(rng) - 1;
    a[i].occ = pick(rng) == 0 ? 0.5 : 1.0;
    std::snprintf(a[i].name, 12, "%s", names[(pick(rng) * 2 + pick(rng)) % 6]);
    // Coordinates on a coarse grid near 0 and 1, so that near-duplicates occur.
    for (int k = 0; k < 3; ++k) a[i].x_f[k] = std::round(u(rng) * 4) / 4 + (u(rng) - 0.5) * 0.012;
    a[i].flag = i;
  }
  return a;
}

}  // namespace

TEST(SymmetryOrder, ExchangeSortAndDuplicateRemovalMatchThePlainAlgorithms) {
  std::mt19937 rng(12345);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<VELMORA_ATOM> a = random_atoms(rng, 150), b = a;
    velmora_atom_sort(a);
    reference_sort(b);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i].flag, b[i].flag) << trial << " " << i;
    std::vector<VELMORA_ATOM> c = random_atoms(rng, 300), d = c;
    velmora_atom_remove_duplicate(c);
    reference_remove_duplicate(d);
    ASSERT_EQ(c.size(), d.size());
    for (std::size_t i = 0; i < c.size(); ++i) ASSERT_EQ(c[i].flag, d[i].flag);
  }
  EXPECT_LT(velmora_atom_name_compare("Li2", "Li10"), 0);
  EXPECT_GT(velmora_atom_name_compare("O1", "Li1"), 0);
  EXPECT_EQ(velmora_atom_name_compare("Li1", "Li1"), 0);
  EXPECT_LT(velmora_atom_name_compare("Li", "Li1"), 0);
}

TEST(SymmetryExpansion, OriginChoicesAndRhombohedralAxes) {
  REQUIRE_DATA();
  // Spinel MgAl2O4 (a = 8.08 A) in both origin choices of Fd-3m.
  const std::string origin2 =
      "Mg1 Mg2+ 0.125 0.125 0.125 1\nAl1 Al3+ 0.5 0.5 0.5 1\nO1 O2- 0.2624 0.2624 0.2624 1\n";
  const std::string origin1 =
      "Mg1 Mg2+ 0 0 0 1\nAl1 Al3+ 0.625 0.625 0.625 1\nO1 O2- 0.3874 0.3874 0.3874 1\n";
  auto reference = read(cif(cubic(8.08), "_symmetry_space_group_name_H-M 'F d -3 m'", origin2));
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->total, 56);
  const auto want = positions(*reference);
  for (const char* form :
       {"_space_group_name_H-M_alt 'F d -3 m :1'", "_symmetry_space_group_name_H-M 'Fd-3m:1'",
        "_symmetry_space_group_name_H-M 'F d -3 m S'",
        "_symmetry_space_group_name_H-M 'F d -3 m'\n_space_group.IT_coordinate_system_code 1",
        "_symmetry_space_group_name_H-M 'F d -3 m'\n_symmetry_space_group_name_Hall 'F 4d 2 3 -1d'",
        "_space_group_IT_number 227\n_space_group_IT_coordinate_system_code '1'",
        "_space_group_IT_number 227\n_space_group_name_Hall 'F 4d 2 3 -1d'"}) {
    auto cell = read(cif(cubic(8.08), form, origin1));
    ASSERT_TRUE(cell) << form;
    EXPECT_EQ(cell->total, 56) << form;
    EXPECT_EQ(positions(*cell, -0.125), want) << form;
  }
  // LiCoO2 on rhombohedral axes: 4 atoms; on hexagonal axes: 12.
  const char* rhombohedral =
      "_cell_length_a 4.9575\n_cell_length_b 4.9575\n_cell_length_c 4.9575\n"
      "_cell_angle_alpha 33.0\n_cell_angle_beta 33.0\n_cell_angle_gamma 33.0";
  const std::string atoms =
      "Li1 Li1+ 0 0 0 1\nCo1 Co3+ 0.5 0.5 0.5 1\nO1 O2- 0.2396 0.2396 0.2396 1\n";
  for (const char* form : {"_symmetry_space_group_name_H-M 'R -3 m :R'",
                           "_symmetry_space_group_name_H-M 'R -3 m R'",
                           "_space_group_name_Hall '-P 3* 2'"}) {
    auto cell = read(cif(rhombohedral, form, atoms));
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->total, 4) << form;
  }
  auto hex = read(cif("_cell_length_a 2.816\n_cell_length_b 2.816\n_cell_length_c 14.05\n"
                      "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 120",
                      "_symmetry_space_group_name_H-M 'R -3 m'",
                      "Li1 Li1+ 0 0 0 1\nCo1 Co3+ 0 0 0.5 1\nO1 O2- 0 0 0.2396 1\n"));
  ASSERT_TRUE(hex);
  EXPECT_EQ(hex->total, 12);
}

TEST(SymmetryExpansion, MonoclinicSettings) {
  REQUIRE_DATA();
  const std::string atom = "X1 Li1+ 0.1 0.2 0.3 1\n";
  auto c = read(cif(kMonoclinicCell, "_symmetry_space_group_name_H-M 'P 21/c'", atom));
  auto n = read(cif(kMonoclinicCell, "_symmetry_space_group_name_H-M 'P 1 21/n 1'", atom));
  ASSERT_TRUE(c && n);
  EXPECT_EQ(positions(*c), (std::set<std::string>{"Li 0.100 0.200 0.300", "Li 0.900 0.700 0.200",
                                                  "Li 0.900 0.800 0.700", "Li 0.100 0.300 0.800"}));
  EXPECT_EQ(positions(*n), (std::set<std::string>{"Li 0.100 0.200 0.300", "Li 0.400 0.700 0.200",
                                                  "Li 0.900 0.800 0.700", "Li 0.600 0.300 0.800"}));
}

TEST(SymmetryCell, ReduceFlagValidateAndFind) {
  REQUIRE_DATA();
  std::unique_ptr<VELMORA_SYMMETRY> group;
  auto cell = read(cif(cubic(4.611), "_symmetry_space_group_name_H-M 'F m -3 m'",
                       "Li1 Li1+ 0.25 0.25 0.25 1\nO1 O2- 0 0 0 1\n"),
                   &group);
  ASSERT_TRUE(cell && group);
  auto reduced = velmora_cell_reduce_by_symmetry(cell.get(), group.get());
  ASSERT_TRUE(reduced);
  EXPECT_EQ(reduced->total, 2);
  ASSERT_EQ(velmora_cell_flag_site_by_symmetry(cell.get(), group.get()), 0);
  for (const VELMORA_ATOM& a : cell->atom) EXPECT_EQ(a.flag, a.os == 1 ? 1 : 2);
  EXPECT_EQ(velmora_cell_count_type_os(cell.get()), 2);
  EXPECT_TRUE(velmora_cell_validate_by_symmetry(cell.get(), group.get(), -1));
  // One oxygen moved by 0.05 A breaks the symmetry; an occupancy 0.01 off too.
  VELMORA_CELL moved = *cell;
  moved.atom.back().x_f[0] += 0.05 / 4.611;
  velmora_cell_update_cartesion(&moved);
  EXPECT_FALSE(velmora_cell_validate_by_symmetry(&moved, group.get(), -1));
  VELMORA_CELL occ = *cell;
  occ.atom.back().occ = 0.99;
  EXPECT_FALSE(velmora_cell_validate_by_symmetry(&occ, group.get(), -1));

  Quiet q;
  auto found = velmora_symmetry_calculate_from_cell(cell.get(), -1, kSymcards.c_str());
  q.finish();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->sg_id, 225);
  EXPECT_NE(q.out.find("Message: total 530 space group settings found in "), std::string::npos);
  EXPECT_NE(q.out.find("Message: structure fits to symmetry P 1.\n"), std::string::npos);
  EXPECT_NE(q.out.find("Message: determined space group: F m -3 m\n"), std::string::npos);
}

TEST(SymmetryCell, FindsTheGroupOfRoundedHexagonalAndOriginChoiceStructures) {
  REQUIRE_DATA();
  // Coordinates 1/3 and 2/3 written with four decimals: images land across
  // the cell edge from the stored atoms (0.9999 against 0).
  const char* hexagonal =
      "_cell_length_a 3.0\n_cell_length_b 3.0\n_cell_length_c 5.0\n_cell_angle_alpha 90\n"
      "_cell_angle_beta 90\n_cell_angle_gamma 120";
  auto cell = read(cif(hexagonal, "_symmetry_space_group_name_H-M 'P 63/m m c'",
                       "Mg1 Mg2+ 0.3333 0.6667 0.25 1\n"));
  ASSERT_TRUE(cell);
  EXPECT_EQ(cell->total, 2);
  Quiet q;
  auto found = velmora_symmetry_calculate_from_cell(cell.get(), -1, kSymcards.c_str());
  q.finish();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->sg_id, 194);
  // Spinel in origin choice 1 is found as the S setting.
  auto spinel = read(cif(cubic(8.08), "_space_group_name_H-M_alt 'F d -3 m :1'",
                         "Mg1 Mg2+ 0 0 0 1\nAl1 Al3+ 0.625 0.625 0.625 1\nO1 O2- 0.3874 0.3874 "
                         "0.3874 1\n"));
  ASSERT_TRUE(spinel);
  Quiet q2;
  found = velmora_symmetry_calculate_from_cell(spinel.get(), -1, kSymcards.c_str());
  q2.finish();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->sg_id, 227);
  EXPECT_STREQ(found->sg_HM, "F d -3 m S");
  // Li2O with its origin moved to an oxygen-free point (1/4, 1/4, 1/4) and
  // given in P1: the group is still Fm-3m (the listed origin lies at
  // 3/4 3/4 3/4 here), not the F-43m that the listed origin alone allows.
  std::string atoms;
  const double fcc[4][3] = {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  const double sites[3][3] = {{0.25, 0.25, 0.25}, {0.5, 0.5, 0.5}, {0, 0, 0}};
  for (int site = 0; site < 3; ++site)
    for (const auto& t : fcc) {
      char line[96];
      std::snprintf(line, sizeof line, "%s%d %s %.4f %.4f %.4f 1\n", site ? "Li" : "O", site,
                    site ? "Li1+" : "O2-", std::fmod(sites[site][0] + t[0], 1.0),
                    std::fmod(sites[site][1] + t[1], 1.0), std::fmod(sites[site][2] + t[2], 1.0));
      atoms += line;
    }
  auto moved = read(cif(cubic(4.611), "_space_group_IT_number 1", atoms));
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->total, 12);
  Quiet q4;
  found = velmora_symmetry_calculate_from_cell(moved.get(), -1, kSymcards.c_str());
  q4.finish();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->sg_id, 225);
  EXPECT_NE(q4.out.find("with the origin at"), std::string::npos);
  EXPECT_TRUE(velmora_cell_validate_by_symmetry(moved.get(), found.get(), -1));
  // A single atom in a triclinic cell is P -1, not a cubic group whose
  // rotations the lattice does not allow.
  auto lone = read(cif("_cell_length_a 3\n_cell_length_b 4\n_cell_length_c 5\n_cell_angle_alpha "
                       "80\n_cell_angle_beta 85\n_cell_angle_gamma 95",
                       "_space_group_IT_number 1", "Na1 Na1+ 0 0 0 1\n"));
  ASSERT_TRUE(lone);
  Quiet q3;
  found = velmora_symmetry_calculate_from_cell(lone.get(), -1, kSymcards.c_str());
  q3.finish();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->sg_id, 2);
}

TEST(SymmetryGrid, DiscreteCardsMapGridPoints) {
  REQUIRE_DATA();
  Quiet q;
  auto group = velmora_symmetry_import_by_keyword_HM("P 63/m m c", kSymcards.c_str());
  q.finish();
  ASSERT_TRUE(group);
  const long n[3] = {12, 12, 20};
  ASSERT_EQ(velmora_symmetry_fill_card_discrete(group.get(), n), 0);
  // Every card maps the grid onto itself one to one.
  for (const VELMORA_CARD& card : group->card) {
    std::set<long> seen;
    for (long i = 0; i < n[0]; ++i)
      for (long j = 0; j < n[1]; ++j)
        for (long k = 0; k < n[2]; ++k) {
          const long p[3] = {i, j, k};
          long o[3];
          velmora_card_transform_vector3_long(o, p, n, &card);
          for (int d = 0; d < 3; ++d) ASSERT_TRUE(o[d] >= 0 && o[d] < n[d]);
          seen.insert((o[0] * n[1] + o[1]) * n[2] + o[2]);
        }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(n[0] * n[1] * n[2])) << card.text;
  }
  auto empty = velmora_symmetry_new(0);
  Quiet q2;
  EXPECT_EQ(velmora_symmetry_fill_card_discrete(empty.get(), n), 1);
}

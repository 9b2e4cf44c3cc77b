// CIF reader of velmora on small CIF texts with known answers: the same
// structure given in the many ways real files write it, the faults of a
// line-based reader that this one avoids, and clear refusals of bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "shipped_data.h"
#include "velmora-import.h"

namespace {

using shipped_data::kSymcards;
using shipped_data::kUnitary;

struct Read {
  int status = 1;
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  std::string out, err;
};

Read read_cif(const std::string& cif, const std::string& unitary = kUnitary) {
  Read r;
  auto text = velmora_text_new(cif.c_str());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  r.status = velmora_cell_import_cif_from_text(r.cell, r.symmetry, text.get(), kSymcards.c_str(),
                                               unitary.c_str());
  r.err = ::testing::internal::GetCapturedStderr();
  r.out = ::testing::internal::GetCapturedStdout();
  return r;
}

// Li2O, antifluorite (Fm-3m, a = 4.611 A): Li on 8c, O on 4a.
std::string li2o(const std::string& symmetry, const std::string& atoms = "") {
  return "data_Li2O\n_cell_length_a 4.611(2)\n_cell_length_b 4.611\n_cell_length_c 4.611\n"
         "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
         "_cell_formula_units_Z 4\n" +
         symmetry +
         "\nloop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
         "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n" +
         (atoms.empty() ? "Li1 Li1+ 0.25 0.25 0.25 1.0\nO1 O2- 0 0 0 1.0\n" : atoms);
}

int count_species(const VELMORA_CELL& cell, const char* type, int os) {
  int n = 0;
  for (const VELMORA_ATOM& a : cell.atom)
    if (std::string(a.type) == type && a.os == os) ++n;
  return n;
}

}  // namespace

TEST(CifReader, Li2OFromEveryFormOfItsSpaceGroup) {
  REQUIRE_DATA();
  const char* forms[] = {
      "_symmetry_space_group_name_H-M 'F m -3 m'",
      "_symmetry_space_group_name_H-M 'Fm-3m'",
      "_symmetry_space_group_name_H-M \"F m -3 m\"",
      "_symmetry_space_group_name_H-M 'F m 3 m'",
      "_space_group_name_H-M_alt 'F 4/m -3 2/m'",
      "_symmetry_space_group_name_H-M F m -3 m",
      "_space_group_IT_number 225",
      "_symmetry_Int_Tables_number 225",
      "_space_group_name_Hall '-F 4 2 3'",
      "_symmetry_space_group_name_H-M ?\n_space_group_IT_number 225",
      "_space_group.IT_number 225",
      "_symmetry_space_group_name_H-M\n;\nF m -3 m\n;",
  };
  for (const char* form : forms) {
    Read r = read_cif(li2o(form));
    ASSERT_EQ(r.status, 0) << form << "\n" << r.err;
    EXPECT_EQ(r.cell->total, 12) << form;
    EXPECT_EQ(count_species(*r.cell, "Li", 1), 8) << form;
    EXPECT_EQ(count_species(*r.cell, "O", -2), 4) << form;
    EXPECT_EQ(r.symmetry->total, 192) << form;
    EXPECT_EQ(r.symmetry->sg_id, 225) << form;
    EXPECT_STREQ(r.cell->name, "Li1+:8.000 O2-:4.000 ") << form;
    EXPECT_NEAR(r.cell->a[0][0], 4.611, 1e-12);
    EXPECT_NEAR(velmora_cell_calculate_volume(r.cell.get()), 4.611 * 4.611 * 4.611, 1e-9);
    EXPECT_EQ(r.cell->Z, 4);
  }
}

TEST(CifReader, OperationLoopWinsAndIsReadInAnyForm) {
  REQUIRE_DATA();
  // Inversion only: an atom at a general position gives two.
  const char* loops[] = {
      "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n-x,-y,-z\n",
      "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n1 'x, y, z'\n2 '-x, "
      "-y, -z'\n",
      "loop_\n_space_group_symop.id\n_space_group_symop.operation_xyz\n1 x,y,z\n2 -x,-y,-z\n",
      // Unquoted operations with spaces, one per line.
      "loop_\n_symmetry_equiv_pos_site_id\n_symmetry_equiv_pos_as_xyz\n1 x, y, z\n2 -x, -y, "
      "-z\n",
  };
  for (const char* loop : loops) {
    Read r = read_cif(li2o(std::string("_symmetry_space_group_name_H-M 'F m -3 m'\n") + loop,
                           "Li1 Li 0.1 0.2 0.3 1\n"));
    ASSERT_EQ(r.status, 0) << loop << r.err;
    EXPECT_EQ(r.symmetry->total, 2) << loop;
    EXPECT_STREQ(r.symmetry->sg_HM, "");
    EXPECT_EQ(r.symmetry->sg_id, 0);
    ASSERT_EQ(r.cell->total, 2) << loop;
    EXPECT_NEAR(r.cell->atom[1].x_f[0] + r.cell->atom[0].x_f[0], 1.0, 1e-12);
  }
}

TEST(CifReader, CommentsAndBlankLinesInsideTheAtomLoopKeepEveryAtom) {
  REQUIRE_DATA();
  Read r = read_cif(li2o("_space_group_IT_number 225",
                         "Li1 Li1+ 0.25 0.25 0.25 1.0\n# a comment\n\n  \nO1 O2- 0 0 0 1.0 # end\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.cell->total, 12);
  // A record may also wrap over two lines.
  r = read_cif(li2o("_space_group_IT_number 225", "Li1 Li1+ 0.25\n 0.25 0.25 1.0\nO1 O2- 0 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.cell->total, 12);
}

TEST(CifReader, ValuesWithUncertaintiesFractionsAndDefaults) {
  REQUIRE_DATA();
  // No occupancy column: the CIF default 1.  No Z: a warning.  Standard
  // uncertainties and fractions in coordinates.
  std::string cif =
      "data_x\n_cell_length_a 5.0(1)\n_cell_length_b 5\n_cell_length_c 5\n_cell_angle_alpha "
      "90\n_cell_angle_beta 90.0(3)\n_cell_angle_gamma 90\n_space_group_IT_number 1\nloop_\n"
      "_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
      "Li1 0.1234(5) 1/3 -0.25\nCl2 .5 0.5 0.5";  // no final line feed
  Read r = read_cif(cif);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.cell->total, 2);
  EXPECT_NE(r.out.find("Warning: _atom_site_occupancy not found; occupancies set to 1.\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("Warning: _cell_formula_units_Z is not available. \n"), std::string::npos);
  EXPECT_NE(r.out.find("Message: unable to find keyword '_atom_site_type_symbol'.\n"),
            std::string::npos);
  const VELMORA_ATOM& cl = r.cell->atom[0];
  const VELMORA_ATOM& li = r.cell->atom[1];
  EXPECT_STREQ(cl.type, "Cl");
  EXPECT_EQ(cl.os, -1);  // default from the per-ion file
  EXPECT_STREQ(li.type, "Li");
  EXPECT_EQ(li.os, 1);
  EXPECT_DOUBLE_EQ(li.x_f[0], 0.1234);
  EXPECT_DOUBLE_EQ(li.x_f[1], 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(li.x_f[2], 0.75);  // brought into the cell
  EXPECT_DOUBLE_EQ(li.occ, 1.0);
}

TEST(CifReader, TypeSymbolsAndOxidationStates) {
  REQUIRE_DATA();
  Read r = read_cif(li2o("_space_group_IT_number 1",
                         "A Li1+ 0.1 0.1 0 1\nB Li+ 0.2 0.2 0 1\nC O2- 0.3 0.3 0 1\nD S-2 0.4 0.4 0 1\n"
                         "E Cu+ 0.5 0.5 0 1\nF Cl- 0.6 0.6 0 1\nG OH- 0.7 0.7 0 1\nH CL1- 0.8 0.8 0 1\n"
                         "I ? 0.9 0.9 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::pair<std::string, int>> got;
  for (const VELMORA_ATOM& a : r.cell->atom) got.emplace_back(std::string(a.name) + a.type, a.os);
  const std::vector<std::pair<std::string, int>> want = {
      {"ECu", 1}, {"FCl", -1}, {"HCl", -1}, {"ILi", 1}, {"ALi", 1},
      {"BLi", 1}, {"CO", -2},  {"GO", -1},  {"DS", -2}};
  // Sorted by type, then os, then name: Cu, Cl, Cl, I (type from its label
  // "I", iodine, default -1)...
  std::map<std::string, int> by_name;
  for (const auto& g : got) by_name[g.first] = g.second;
  EXPECT_EQ(by_name["ALi"], 1);
  EXPECT_EQ(by_name["BLi"], 1);
  EXPECT_EQ(by_name["CO"], -2);
  EXPECT_EQ(by_name["DS"], -2);
  EXPECT_EQ(by_name["ECu"], 1);  // a lone sign means one
  EXPECT_EQ(by_name["FCl"], -1);
  EXPECT_EQ(by_name["GO"], -1);   // hydroxide: oxygen, not "OH"
  EXPECT_EQ(by_name["HCl"], -1);  // upper-case symbols
  EXPECT_EQ(by_name["II"], -1);   // unknown symbol: type from the label I
  (void)want;
}

TEST(CifReader, MixedValenceSplitsTheSite) {
  REQUIRE_DATA();
  Read r = read_cif(li2o("_space_group_IT_number 1", "Mn1 Mn3.5+ 0.1 0.2 0.3 1.0\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.cell->total, 2);
  EXPECT_EQ(r.cell->atom[0].os, 3);
  EXPECT_EQ(r.cell->atom[1].os, 4);
  EXPECT_DOUBLE_EQ(r.cell->atom[0].occ, 0.5);
  EXPECT_DOUBLE_EQ(r.cell->atom[1].occ, 0.5);
  EXPECT_STREQ(r.cell->atom[0].name, "Mn1");
  EXPECT_STREQ(r.cell->name, "Mn3+:0.500 Mn4+:0.500 ");
  // 2.89 with occupancy 0.9: Fe3+ 0.801, Fe2+ 0.099, mean valence kept.
  r = read_cif(li2o("_space_group_IT_number 1",
                    "Fe1 Fe3+ 0 0 0 0.9\nloop_\n_atom_type_symbol\n_atom_type_oxidation_number\n"
                    "Fe3+ 2.89\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.cell->total, 2);
  const double q = r.cell->atom[0].os * r.cell->atom[0].occ + r.cell->atom[1].os * r.cell->atom[1].occ;
  EXPECT_NEAR(q, 2.89 * 0.9, 1e-12);
}

TEST(CifReader, AtomTypeTable) {
  REQUIRE_DATA();
  const std::string table =
      "loop_\n_atom_type_symbol\n_atom_type_oxidation_number\n_atom_type_radius_bond\n"
      "Li1+ 1.000 0.68\nO2- -2.000 1.2\n";
  Read r = read_cif(li2o("_space_group_IT_number 225\n" + table));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_STREQ(r.cell->name, "Li1+:8.000 O2-:4.000 ");
  // A type symbol missing from the table: charge from the symbol, with a warning.
  r = read_cif(li2o("_space_group_IT_number 225\n" + table,
                    "Li1 Li 0.25 0.25 0.25 1\nO1 O2- 0 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Warning: type symbol Li is not in the _atom_type loop"), std::string::npos);
  EXPECT_EQ(count_species(*r.cell, "Li", 1), 8);
}

namespace {

// Occupancy of one species summed over the cell.
double occupancy_of(const VELMORA_CELL& cell, const char* type, int os) {
  double sum = 0.0;
  for (const VELMORA_ATOM& a : cell.atom)
    if (std::string(a.type) == type && a.os == os) sum += a.occ;
  return sum;
}

// Atom loop without type symbols (labels only), under Pm-3m.
std::string labels_only(const std::string& atoms) {
  return "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha 90\n"
         "_cell_angle_beta 90\n_cell_angle_gamma 90\n_space_group_IT_number 221\nloop_\n"
         "_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
         "_atom_site_occupancy\n" +
         atoms;
}

}  // namespace

TEST(CifReader, SitesSharingAPlaceAreOneOnlyWhenSameSpeciesAndOccupancy) {
  REQUIRE_DATA();
  // Fe2+ 0.004 and Fe3+ 0.021 on one place, charges written in the labels:
  // two species, both kept (0.025 Fe in all), the charges said as warnings.
  Read r = read_cif(labels_only("Fe2+M 0 0 0 0.004\nFe3+M 0 0 0 0.021\nO2- 0.5 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_DOUBLE_EQ(occupancy_of(*r.cell, "Fe", 2), 0.004);
  EXPECT_DOUBLE_EQ(occupancy_of(*r.cell, "Fe", 3), 0.021);
  EXPECT_EQ(count_species(*r.cell, "O", -2), 3);
  EXPECT_NE(r.out.find("Warning: oxidation state +2 of site Fe2+M taken from its label.\n"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Warning: oxidation state -2 of site O2- taken from its label.\n"),
            std::string::npos);
  // The same element and state with occupancies far apart relatively (the
  // absolute difference 0.017 is small): two sites as well.
  r = read_cif(labels_only("Fe1 0 0 0 0.004\nFe2 0 0 0 0.021\nO1 0.5 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.cell->total, 5);
  EXPECT_NEAR(occupancy_of(*r.cell, "Fe", 3), 0.025, 1e-12);
  // A position listed twice (Li2 is an image of Li1), also with the
  // occupancy written to another precision: one site, as in Li2O.
  r = read_cif(li2o("_space_group_IT_number 225", "Li1 Li1+ 0.25 0.25 0.25 0.333\n"
                                                   "Li2 Li1+ 0.75 0.75 0.75 0.3333\nO1 O2- 0 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_species(*r.cell, "Li", 1), 8);
  EXPECT_FALSE(velmora_atom_occupancy_equal(0.5, 0.45));
  EXPECT_TRUE(velmora_atom_occupancy_equal(0.67, 0.667));
}

TEST(CifReader, ChargesInLabelsAndLabelsThatNameNoElement) {
  REQUIRE_DATA();
  const struct {
    const char *name, *type;
    double charge;
  } labels[] = {{"Fe2+M", "Fe", 2},  {"O2-", "O", -2},   {"Mn4+1", "Mn", 4}, {"Cl-", "Cl", -1},
                {"Mn3.5+", "Mn", 3.5}, {"Fe-oct1", "Fe", 99}, {"O1-2", "O", 99}, {"Fe1", "Fe", 99},
                {"Li+a", "Li", 99},  {"O2+", "Na", 99}};
  for (const auto& l : labels)
    EXPECT_EQ(velmora_atom_charge_from_name(l.name, l.type), l.charge) << l.name;
  // A type symbol's charge wins over the label's.
  Read r = read_cif(li2o("_space_group_IT_number 225", "Li1+ Li1+ 0.25 0.25 0.25 1\nO1 O 0 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("taken from its label"), std::string::npos);
  // Letters after the element (site KA of potassium) read by the first
  // letter, saying so; an old symbol (Cb, niobium) refused by name, from a
  // label or a type symbol.
  r = read_cif(labels_only("KA 0 0 0 1\nF1 0.5 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_species(*r.cell, "K", 1), 1);
  EXPECT_NE(r.out.find("Warning: label KA: KA is no element; read as K.\n"), std::string::npos)
      << r.out;
  r = read_cif(labels_only("Cb1 0 0 0 1\nO1 0.5 0 0 1\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: label Cb1 begins with Cb, an old symbol of Nb (columbium)"),
            std::string::npos) << r.err;
  r = read_cif(li2o("_space_group_IT_number 225", "Nb1 Cb5+ 0.25 0.25 0.25 1\nO1 O2- 0 0 0 1\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: type symbol Cb5+ of site Nb1 begins with Cb"), std::string::npos)
      << r.err;
}

TEST(CifReader, LongLabelsAndImagesKeepTheLabel) {
  REQUIRE_DATA();
  Read r = read_cif(li2o("_space_group_IT_number 225",
                         "Li_very_long_label Li1+ 0.25 0.25 0.25 1\nO1 O2- 0 0 0 1\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const VELMORA_ATOM& a : r.cell->atom) {
    if (a.os == 1) {
      EXPECT_STREQ(a.name, "Li_very_lon");
    }
  }
}

TEST(CifReader, OnlyTheBlockWithAtomsIsRead) {
  REQUIRE_DATA();
  const std::string first = "data_global\n_journal_year 2001\n_cell_length_a 99\n";
  Read r = read_cif(first + li2o("_space_group_IT_number 225"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(r.cell->parameter[0], 4.611, 1e-12);
  EXPECT_EQ(r.cell->total, 12);
}

TEST(CifReader, LineEndingsAndTextFields) {
  REQUIRE_DATA();
  std::string cif = li2o("_space_group_IT_number 225\n_publ_section_title\n;\n_cell_length_a "
                         "1.0\nloop_\n_atom_site_label\n;");
  std::string crlf;
  for (char c : cif) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  Read r = read_cif(crlf);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.cell->total, 12);
  EXPECT_NEAR(r.cell->parameter[0], 4.611, 1e-12);
  std::string cr = cif;
  for (char& c : cr)
    if (c == '\n') c = '\r';
  r = read_cif(cr);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.cell->total, 12);
}

TEST(CifReader, RefusalsNameTheirReason) {
  REQUIRE_DATA();
  struct Case {
    std::string cif, reason;
  } cases[] = {
      {"", "Error: no symmetry operations, space-group symbol or number in the cif.\n"},
      {"garbage \x01\x02 \n\n random words", "Error: no symmetry operations"},
      {li2o("_space_group_IT_number 225", "Li1 Li1+ 0.25 0.25\n"), "holds 4 values"},
      {li2o("_space_group_IT_number 225", "Li1 Li1+ 0.25 0.25 'x 1\n"),
       "Error: open single quotation mark detected at row"},
      {li2o("_space_group_IT_number 225", "Li1 Li1+ 0.25 abc 0.25 1\n"),
       "Error: unable to read fractional y.\n"},
      {li2o("_space_group_IT_number 999"), "Error: unable to find keyword id 999"},
      {li2o("_symmetry_space_group_name_H-M 'X 9 q'"), "Error: unable to find keyword H-M X 9 q"},
      {li2o("_space_group_IT_number 225", " "), "Warning: _loop block"},
      {li2o("_symmetry_space_group_name_H-M 'C 1 2/c 1 (c,a+c,b)'\n_space_group_IT_number 15"),
       "is given in a transformed setting"},
      {li2o("loop_\n_symmetry_equiv_pos_as_xyz\nx,y\n"), "does not have three components"},
      {"data_x\n_space_group_IT_number 1\nloop_\n_atom_site_label\n_atom_site_fract_x\n"
       "_atom_site_fract_y\n_atom_site_fract_z\nLi 0 0 0\n",
       "Error: unable to find keyword _cell_length_a.\n"},
  };
  for (const Case& c : cases) {
    Read r = read_cif(c.cif);
    EXPECT_EQ(r.status, 1) << c.cif;
    EXPECT_NE((r.err + r.out).find(c.reason), std::string::npos)
        << "wanted: " << c.reason << "\nstderr:\n" << r.err;
  }
  std::string bad_cell = li2o("_space_group_IT_number 225");
  bad_cell.replace(bad_cell.find("4.611(2)"), 8, "abc");
  Read r = read_cif(bad_cell);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: invalid value 'abc' of _cell_length_a.\n"), std::string::npos);
  std::string flat = li2o("_space_group_IT_number 225");
  flat.replace(flat.find("_cell_angle_alpha 90"), 20, "_cell_angle_alpha 120");
  flat.replace(flat.find("_cell_angle_beta 90"), 19, "_cell_angle_beta 120");
  flat.replace(flat.find("_cell_angle_gamma 90"), 20, "_cell_angle_gamma 120");
  r = read_cif(flat);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("describe no cell"), std::string::npos) << r.err;
  // Without the per-ion file nothing is read.
  r = read_cif(li2o("_space_group_IT_number 225"), "/nonexistent/database_unitary.dat");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: unable to open /nonexistent/database_unitary.dat\n"
                       "Error: velmora_atom_update_default_os() returns non-zero.\n"),
            std::string::npos);
}

// Cells no crystal can have are refused before any pair sum sees them;
// alternative places of one atom stay allowed.
TEST(CifReader, PhysicallyImpossibleCellsAreRefused) {
  REQUIRE_DATA();
  auto with_edges = [](const std::string& cif, const char* b) {
    std::string out = cif;
    out.replace(out.find("_cell_length_b 4.611"), 20, std::string("_cell_length_b ") + b);
    return out;
  };
  const std::string p1 = "_space_group_IT_number 1";
  // Li at 0.25 and a fully occupied O 0.35 A away (0.0759 * 4.611 A).
  Read r = read_cif(li2o(p1, "Li1 Li1+ 0.25 0.25 0.25 1\nO1 O2- 0.3259 0.25 0.25 1\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Li1 and O1 lie 0.350 A apart"), std::string::npos) << r.err;
  // The same O half occupied, or a second Li (a split Li site), is allowed.
  r = read_cif(li2o(p1, "Li1 Li1+ 0.25 0.25 0.25 1\nO1 O2- 0.3259 0.25 0.25 0.5\n"));
  EXPECT_EQ(r.status, 0) << r.err;
  r = read_cif(li2o(p1, "Li1 Li1+ 0.25 0.25 0.25 1\nLi2 Li1+ 0.3259 0.25 0.25 1\n"
                        "O1 O2- 0 0 0 1\n"));
  EXPECT_EQ(r.status, 0) << r.err;
  // An atom and its own image along a 0.45 A axis: the edge rule refuses it
  // first; a 0.9 A edge is refused by the edge rule too.
  for (const char* b : {"0.05", "0.45", "0.9"}) {
    r = read_cif(with_edges(li2o(p1), b));
    EXPECT_EQ(r.status, 1) << b;
    EXPECT_NE(r.err.find("shorter than 1 A"), std::string::npos) << r.err;
  }
  // Five extra fully occupied O sites in general positions of Fm-3m put 972
  // atoms into 98 A^3: refused by the density bound, whatever their places.
  std::string crowded = "Li1 Li1+ 0.25 0.25 0.25 1\nO1 O2- 0 0 0 1\n";
  const char* extra[] = {"0.11 0.07 0.31", "0.42 0.13 0.02", "0.19 0.37 0.44",
                         "0.03 0.29 0.17", "0.36 0.21 0.09"};
  for (int k = 0; k < 5; ++k)
    crowded += "O" + std::to_string(k + 2) + " O2- " + extra[k] + " 1\n";
  r = read_cif(li2o("_space_group_IT_number 225", crowded));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("972.0 atoms in a cell of 98.036 A^3"), std::string::npos) << r.err;
  // Li2O itself (0.12 atoms per A^3) passes.
  EXPECT_EQ(read_cif(li2o("_space_group_IT_number 225")).status, 0);
}

TEST(CifReader, FileEntryAndRowScanners) {
  REQUIRE_DATA();
  const std::string path = std::string(BV_TEST_DATA_DIR) + "/cif/Li2O.cif";
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(velmora_cell_import_cif_from_file(cell, symmetry, path.c_str(), kSymcards.c_str(),
                                              kUnitary.c_str()),
            0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(cell->total, 12);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_cell_import_cif_from_file(cell, symmetry, "/nonexistent.cif",
                                              kSymcards.c_str(), kUnitary.c_str()),
            1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error: unable to open /nonexistent.cif\n"
            "Error: velmora_text_import_from_file() returns NULL.\n");
  EXPECT_FALSE(cell);

  const std::vector<std::string> rows = {"_a 'x y'", "_geom_bond_atom_site_label_1 Li",
                                         "loop_", "_atom_site_label", "_atom_site_fract_x",
                                         "Li1 0.5", "O1 0"};
  EXPECT_EQ(*velmora_cell_import_cif_grep_keyword("_a", rows, 7), "x y");
  EXPECT_FALSE(velmora_cell_import_cif_grep_keyword("_zz", rows, 7));
  EXPECT_EQ(velmora_cell_import_cif_exist_keyword("_atom_site_fract", rows, 7), 1);
  VELMORA_CIF_TABLE table;
  int nr = 0, nc = 0;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(velmora_cell_import_cif_grep_loop(table, nr, nc, "_atom_site_label", rows, 7), 0);
  EXPECT_EQ(velmora_cell_import_cif_grep_loop(table, nr, nc, "_nothing", rows, 7), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Warning: _loop block containing _nothing not found.\n");
  ASSERT_EQ(velmora_cell_import_cif_grep_loop(table, nr, nc, "_atom_site_label", rows, 7), 0);
  EXPECT_EQ(nr, 3);
  EXPECT_EQ(nc, 2);
  EXPECT_EQ(table[2][0], "O1");
}

TEST(CifGeometry, LatticeVectorsAndFractionalRoundTrip) {
  VELMORA_CELL cell;
  cell.parameter[0] = 5.1;
  cell.parameter[1] = 6.2;
  cell.parameter[2] = 7.3;
  cell.angle[0] = 80;
  cell.angle[1] = 95;
  cell.angle[2] = 105;
  cell.atom.resize(1);
  cell.total = 1;
  cell.atom[0].x_f[0] = 0.1;
  cell.atom[0].x_f[1] = 0.7;
  cell.atom[0].x_f[2] = -0.4;
  velmora_cell_update_cartesion(&cell);
  EXPECT_EQ(cell.a[0][1], 0.0);
  EXPECT_EQ(cell.a[1][2], 0.0);
  // Determinant of the lattice matrix is the volume.
  const double det = cell.a[0][0] * cell.a[1][1] * cell.a[2][2];
  EXPECT_NEAR(det, velmora_cell_calculate_volume(&cell), 1e-9);
  VELMORA_CELL back = cell;
  back.atom[0].x_f[0] = back.atom[0].x_f[1] = back.atom[0].x_f[2] = 0;
  velmora_cell_update_fractional(&back);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(back.parameter[k], cell.parameter[k], 1e-9);
    EXPECT_NEAR(back.angle[k], cell.angle[k], 1e-6);
    EXPECT_NEAR(back.atom[0].x_f[k], cell.atom[0].x_f[k], 1e-12);
  }
  velmora_cell_bound_fractional(&back);
  EXPECT_NEAR(back.atom[0].x_f[2], 0.6, 1e-12);
}

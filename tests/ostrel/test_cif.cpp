// The analyzer's CIF model: line normalisation, tags, the three kinds of
// loops, oxidation states, operations from the space-group data file, site
// multiplicities, symmetry copies, P1 expansion and the writer; COD files are
// cross-checked against gemmi's site multiplicities when both are present.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "OSTREL-cif.h"
#include "test_util.h"

using namespace ostrel_test;

namespace {

// Runs a block in the fixture directory, whose bin/ holds a small
// space-group data file.
struct InFixtureDir {
  char old[PATH_MAX];
  InFixtureDir() {
    EXPECT_NE(getcwd(old, sizeof old), nullptr);
    EXPECT_EQ(chdir((std::string(BV_TEST_DATA_DIR) + "/ostrel").c_str()), 0);
  }
  ~InFixtureDir() { EXPECT_EQ(chdir(old), 0); }
};

int load(const std::string& path, OSTREL_cif* cif, std::string* err = nullptr) {
  OSTREL_init_cif(cif);
  testing::internal::CaptureStderr();
  int rc = OSTREL_load_cif(path.c_str(), cif);
  std::string e = testing::internal::GetCapturedStderr();
  if (err) *err = e;
  return rc;
}

TEST(CifLines, Normalisation) {
  std::string s = "\t  1   'x, -y,  z+1/2'  \r\n";
  OSTREL_trim_cif_buffer(&s);
  EXPECT_EQ(s, "1 x,-y,z+1/2");
  s = "_symmetry_space_group_name_H-M   'P m -3 m'\r";
  OSTREL_trim_cif_buffer(&s);
  EXPECT_EQ(s, "_symmetry_space_group_name_H-M 'P m -3 m'");
  s = "   ";
  OSTREL_trim_cif_buffer(&s);
  EXPECT_EQ(s, "");
}

TEST(CifRead, TagsLoopsAndCopies) {
  OSTREL_cif cif;
  std::string err;
  ASSERT_EQ(load(data_path("quoted_ops.cif"), &cif, &err), 0) << err;
  EXPECT_EQ(cif.chem_form_struct, "Li2 O");
  EXPECT_EQ(cif.chem_form_sum, "Li2O1xy");  // eight content lines joined
  EXPECT_EQ(cif.spacegroup_HM, "P -1");
  EXPECT_EQ(cif.int_tab_cryst_no, 2);
  EXPECT_EQ(cif.ICSD, "123456789");
  EXPECT_DOUBLE_EQ(cif.a, 4.0);
  EXPECT_DOUBLE_EQ(cif.beta, 90.0);
  EXPECT_EQ(cif.z, 2);
  EXPECT_DOUBLE_EQ(cif.R_factor, 0.031);
  EXPECT_NEAR(cif.volume, 120.0, 1e-9);  // computed: none in the file
  EXPECT_NEAR(cif.d1, 16.0, 1e-12);
  EXPECT_NEAR(cif.d4, 0.0, 1e-9);
  ASSERT_EQ(cif.symop_no, 2);
  EXPECT_EQ(cif.symop[0], "x,y,z");
  EXPECT_EQ(cif.symop[1], "-x,-y,-z");
  ASSERT_EQ(cif.type_no, 2);
  EXPECT_EQ(cif.type[1].label, "O2-");
  EXPECT_EQ(cif.type[1].label_element, "O");
  EXPECT_DOUBLE_EQ(cif.type[1].ox, -2.0);
  EXPECT_EQ(cif.site_charge_provided, 1);
  ASSERT_EQ(cif.site_no, 4);  // the aniso loop adds nothing
  const OSTREL_site& li = cif.site[0];
  EXPECT_EQ(li.label, "Li1");
  EXPECT_EQ(li.Wyckoff, 'i');
  EXPECT_DOUBLE_EQ(li.z, 0.75);  // -0.25 stored one cell up
  EXPECT_EQ(li.mul, 2);          // the file's 9 is replaced
  EXPECT_DOUBLE_EQ(li.ox, 1.0);
  EXPECT_EQ(li.type_flag, cif.type[0].flag);
  EXPECT_EQ(cif.site[1].label, "O1");  // a row with tabs
  EXPECT_DOUBLE_EQ(cif.site[1].occ, 1.0);  // '?' keeps the default
  EXPECT_EQ(cif.site[1].mul, 1);
  // 0.9996 and its inverse 0.0004 are one image, as are 0.0003 and 0.9997.
  EXPECT_EQ(cif.site[2].mul, 1);
  EXPECT_EQ(cif.site[3].mul, 1);
  EXPECT_DOUBLE_EQ(cif.site[2].occ, 0.5);
  OSTREL_equiv_pos pos;
  ASSERT_EQ(OSTREL_symmetry_generate_equivalent_copies(&cif, &pos, 0.1, 0.2, 0.3), 0);
  ASSERT_EQ(pos.total_copies, 2);
  EXPECT_NEAR(pos.copy[1].a, 0.9, 1e-12);
  EXPECT_NEAR(pos.copy[1].c, 0.7, 1e-12);
  EXPECT_NEAR(OSTREL_distance_frac_cif(&cif, 0, 0, 0, 0.5, 0.5, 0), sqrt(4.0 + 6.25), 1e-12);
}

TEST(CifRead, RowsTypesAndStates) {
  OSTREL_cif cif;
  ASSERT_EQ(load(data_path("site_rows.cif"), &cif), 0);
  ASSERT_EQ(cif.site_no, 2);  // the short row ends the loop
  EXPECT_EQ(cif.site[1].label, "O1");
  EXPECT_EQ(cif.symop_no, 1);
  // Fe3+ without a type loop becomes a type of state 3; O has no state.
  ASSERT_EQ(cif.type_no, 1);
  EXPECT_EQ(cif.type[0].label, "Fe3+");
  EXPECT_EQ(cif.type[0].label_element, "Fe");
  EXPECT_DOUBLE_EQ(cif.site[0].ox, 3.0);
  EXPECT_DOUBLE_EQ(cif.site[1].ox, 0.0);
  EXPECT_EQ(cif.site_charge_provided, 0);
  int found = 0;
  EXPECT_DOUBLE_EQ(OSTREL_guess_site_ox_from_type_symbol("O2-", &found), -2.0);
  EXPECT_EQ(found, 1);
  EXPECT_DOUBLE_EQ(OSTREL_guess_site_ox_from_type_symbol("Li1+", &found), 1.0);
  EXPECT_DOUBLE_EQ(OSTREL_guess_site_ox_from_type_symbol("O", &found), 0.0);
  EXPECT_EQ(found, 0);
  // The spellings of most CIF files: sign before the number.
  EXPECT_DOUBLE_EQ(OSTREL_guess_site_ox_from_type_symbol("O-2", &found), -2.0);
  EXPECT_DOUBLE_EQ(OSTREL_guess_site_ox_from_type_symbol("Li+1", &found), 1.0);
  EXPECT_DOUBLE_EQ(OSTREL_guess_site_ox_from_type_symbol("Mn3.5+", &found), 3.5);
}

TEST(CifRead, Failures) {
  struct Case {
    std::string file;
    std::string message;
  } cases[] = {
      {data_path("formula9.cif"), "Error: OSTREL_CIF_MAX_MULTIPLE_LINES exceeded\n"},
      {data_path("type3col.cif"), "Error: Atom type is expected but not found!\n"},
      {data_path("no_such.cif"),
       "Error: Unable to open CIF file " + data_path("no_such.cif") + ": No such file or directory\n"},
  };
  for (const Case& c : cases) {
    OSTREL_cif cif;
    std::string err;
    EXPECT_EQ(load(c.file, &cif, &err), 1) << c.file;
    EXPECT_EQ(err, c.message) << c.file;
  }
  const std::string cell =
      "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha 90\n"
      "_cell_angle_beta 90\n_cell_angle_gamma 90\n";
  struct Text {
    std::string text;
    const char* message;
  } texts[] = {
      {cell + "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\nLi 0 0\n",
       "Error: Missing _atom_site_fract entries\n"},
      {cell + "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
              "_atom_site_fract_z\nLi 0 0\n",
       "Error: No site is found!\n"},
      {"_cell_length_a 4\n_cell_length_b 4\n_cell_angle_alpha 90\n_cell_angle_beta 90\n"
       "_cell_angle_gamma 90\n",
       "Error: Invalid lattice parameters\n"},
      {"_cell_length_a 4\n_cell_length_b 4\n_cell_length_c -4\n_cell_angle_alpha 90\n"
       "_cell_angle_beta 90\n_cell_angle_gamma 90\n",
       "Error: Invalid lattice parameters\n"},
      {"_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha 120\n"
       "_cell_angle_beta 120\n_cell_angle_gamma 120\n",
       "Error: Invalid lattice parameters\n"},  // the angles close no cell
      {cell + "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\nx+,y,z\n"
              "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
              "_atom_site_fract_z\nLi 0 0 0\n",
       nullptr},
  };
  // Loops of other per-site data are no site loops.
  std::string modulated = cell +
      "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
      "Li 0.1 0.2 0.3\n"
      "loop_\n_atom_site_displace_Fourier_atom_site_label\n_atom_site_displace_Fourier_axis\n"
      "Li x\n";
  write_text(scratch("modulated.cif"), modulated);
  OSTREL_cif mod;
  EXPECT_EQ(load(scratch("modulated.cif"), &mod), 0);
  EXPECT_EQ(mod.site_no, 1);
  int n = 0;
  for (const Text& t : texts) {
    std::string path = scratch("bad_cif_" + std::to_string(n++) + ".cif");
    write_text(path, t.text);
    OSTREL_cif cif;
    std::string err;
    EXPECT_EQ(load(path, &cif, &err), 1) << t.text;
    if (t.message)
      EXPECT_EQ(err, t.message) << t.text;
    else
      EXPECT_NE(err.find("Error: Unable to calculate site multiplicity\n"), std::string::npos)
          << err;
  }
}

TEST(CifSymmetry, OperationsFromTheDataFile) {
  InFixtureDir here;
  OSTREL_cif cif;
  // Named group, no operation loop: completed from the data file.
  ASSERT_EQ(load("hm_only.cif", &cif), 0);
  EXPECT_EQ(cif.spacegroup_HM, "P m -3 m");
  EXPECT_EQ(cif.symop_no, 48);
  EXPECT_EQ(cif.symop[0], "x, y, z");
  EXPECT_EQ(cif.site[0].mul, 1);
  EXPECT_EQ(cif.site[2].mul, 6);
  EXPECT_EQ(cif.type_no, 3);
  // An operation loop whose rows all fail the three-part test.
  ASSERT_EQ(load("broken_ops.cif", &cif), 0);
  EXPECT_EQ(cif.symop_no, 48);
  EXPECT_EQ(cif.site[0].mul, 6);
  // Names that match no setting leave x,y,z.
  cif.spacegroup_HM = "Q 9";
  cif.symop.clear();
  cif.symop_no = 0;
  ASSERT_EQ(OSTREL_fill_symops(&cif), 0);
  ASSERT_EQ(cif.symop_no, 1);
  EXPECT_EQ(cif.symop[0], "x,y,z");
  // A setting word after the name ('P 1 21/c 1' is stored as is).
  cif.spacegroup_HM = "P 1 21/c 1";
  cif.symop_no = 0;
  ASSERT_EQ(OSTREL_get_symops_from_dat_file("bin/database_symcards.dat", &cif), 0);
  EXPECT_EQ(cif.symop_no, 4);
}

TEST(CifSymmetry, ParseComponent) {
  double v;
  ASSERT_EQ(OSTREL_symmetry_parse_symop("-x+1/2", &v, 0.25, 0, 0), 0);
  EXPECT_DOUBLE_EQ(v, 0.25);
  ASSERT_EQ(OSTREL_symmetry_parse_symop("X-Y", &v, 0.5, 0.25, 0), 0);
  EXPECT_DOUBLE_EQ(v, 0.25);
  ASSERT_EQ(OSTREL_symmetry_parse_symop(" z + 2/3 ", &v, 0, 0, 0.1), 0);
  EXPECT_NEAR(v, 0.1 + 2.0 / 3, 1e-15);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_symmetry_parse_symop("x$", &v, 0, 0, 0), 1);
  testing::internal::GetCapturedStderr();
}

TEST(CifModel, ExpansionReductionAndLists) {
  InFixtureDir here;
  OSTREL_cif cif;
  ASSERT_EQ(load("hm_only.cif", &cif), 0);
  ASSERT_EQ(OSTREL_add_P1_to_cif(&cif), 0);
  EXPECT_EQ(cif.site_all_no, 1 + 1 + 6);
  for (const OSTREL_site& s : cif.site_all) {
    EXPECT_EQ(s.mul, 1);
    EXPECT_EQ(s.Wyckoff, 'a');
  }
  OSTREL_cif copy;
  ASSERT_EQ(OSTREL_copy_cif(&cif, &copy), 0);
  EXPECT_EQ(copy.site_all_no, 0);
  EXPECT_EQ(copy.site_no, 3);
  ASSERT_EQ(OSTREL_remove_cif_symmetry(&copy), 0);
  EXPECT_EQ(copy.site_no, 8);
  EXPECT_EQ(copy.symop_no, 1);
  EXPECT_EQ(copy.spacegroup_HM, "P 1");
  EXPECT_EQ(copy.int_tab_cryst_no, 1);
  EXPECT_EQ(cif.site_no, 3);  // the source keeps its own lists
  ASSERT_EQ(OSTREL_remove_all_cif_site_by_type(&copy, "Li1+"), 0);
  EXPECT_EQ(copy.site_no, 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_remove_cif_site(&copy, 2), 1);
  EXPECT_EQ(OSTREL_remove_cif_type(&copy, 7), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_remove_cif_site()\n"
            "Error: Invalid input to OSTREL_remove_cif_type()\n");
  OSTREL_type t;
  t.label = "K1+";
  ASSERT_EQ(OSTREL_ins_cif_type(&copy, 0, t), 0);
  EXPECT_EQ(copy.type[0].label, "K1+");
  ASSERT_EQ(OSTREL_remove_cif_type(&copy, 0), 0);
  EXPECT_EQ(copy.type[0].label, cif.type[0].label);
}

TEST(CifWrite, ExactTextAndRoundTrip) {
  OSTREL_cif cif;
  ASSERT_EQ(OSTREL_init_cif(&cif), 0);
  cif.a = 4.2;
  cif.b = 4.2;
  cif.c = 4.2;
  cif.alpha = cif.beta = cif.gamma = 90;
  cif.volume = 74.088;
  cif.spacegroup_HM = "P -1";
  cif.int_tab_cryst_no = 2;
  cif.z = 1;
  cif.symop.push_back("-x,-y,-z");
  cif.symop_no = 2;
  int counter = 0;
  OSTREL_add_cif_type(&cif, "Li1+", &counter, 1);
  OSTREL_add_cif_site(&cif, "Li1", "Li1+", 2, 'i', 0.1, 0.2, -0.3, 0.5, 1);
  std::string path = scratch("written.cif");
  FILE* f = fopen(path.c_str(), "wb");
  OSTREL_write_cif(&cif, f);
  fclose(f);
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(),
            "data_OSTREL\n"
            "_cell_length_a                    4.200000\n"
            "_cell_length_b                    4.200000\n"
            "_cell_length_c                    4.200000\n"
            "_cell_angle_alpha                 90.000000\n"
            "_cell_angle_beta                  90.000000\n"
            "_cell_angle_gamma                 90.000000\n"
            "_cell_volume                      74.088000\n"
            "_symmetry_space_group_name_H-M    'P -1'\n"
            "_symmetry_Int_Tables_number       2\n"
            "_cell_formula_units_Z             1\n"
            "loop_\n_symmetry_equiv_pos_site_id\n_symmetry_equiv_pos_as_xyz\n"
            "  1   'x,y,z'\n  2   '-x,-y,-z'\n"
            "loop_\n_atom_type_symbol\n_atom_type_oxidation_number\n"
            "Li1+     1.000\n"
            "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_symmetry_multiplicity\n"
            "_atom_site_Wyckoff_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
            "_atom_site_fract_z\n_atom_site_occupancy\n"
            "Li1          Li1+       2 i 0.10000 0.20000 0.70000 0.500\n"
            "#End of data_OSTREL\n");
  OSTREL_cif back;
  std::string err;
  ASSERT_EQ(load(path, &back, &err), 0) << err;
  EXPECT_EQ(back.symop, cif.symop);
  EXPECT_EQ(back.spacegroup_HM, "P -1");
  ASSERT_EQ(back.site_no, 1);
  EXPECT_DOUBLE_EQ(back.site[0].z, 0.7);
  EXPECT_EQ(back.site[0].mul, 2);
  EXPECT_DOUBLE_EQ(back.site[0].occ, 0.5);
  EXPECT_DOUBLE_EQ(back.volume, 74.088);
  testing::internal::CaptureStdout();
  OSTREL_print_cif_ICSD(&back, stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ICSD:   \n");
}

// Site multiplicities of real structures against those from gemmi's reading
// of the same files (distinct images in the cell, 0.001 in fractional
// coordinates).
TEST(CifCod, MultiplicitiesAgreeWithGemmi) {
  std::string cod = BV_COD_DIR;
  struct stat st;
  if (stat(cod.c_str(), &st) != 0 || access("/usr/bin/python3", X_OK) != 0)
    GTEST_SKIP() << "no COD directory or Debian python";
  std::string cmd = std::string("/usr/bin/python3 ") + BV_SOURCE_DIR +
                    "/tests/scripts/ostrel_gemmi_sites.py " + cod + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::map<std::string, std::map<std::string, int>> ref;
  char file[256], label[256];
  int mul;
  while (fscanf(p, "%255s %255s %d", file, label, &mul) == 3)
    ref[file].emplace(label, mul);
  int status = pclose(p);
  if (ref.empty() || status != 0)
    GTEST_SKIP() << "gemmi not available";
  // Operations for names without a loop come from the real settings file.
  char old[PATH_MAX];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(BV_SOURCE_DIR), 0);
  int files = 0, sites = 0, loaded = 0;
  std::vector<std::string> mismatches;
  for (auto& [name, labels] : ref) {
    files++;
    OSTREL_cif cif;
    std::string err;
    if (load(cod + "/" + name, &cif, &err) != 0)
      continue;
    loaded++;
    for (int s = 0; s < cif.site_no; s++) {
      auto it = labels.find(cif.site[s].label);
      if (it == labels.end())
        continue;
      sites++;
      if (it->second != cif.site[s].mul)
        mismatches.push_back(name + " " + cif.site[s].label + " ostrel " +
                             std::to_string(cif.site[s].mul) + " gemmi " +
                             std::to_string(it->second));
    }
  }
  EXPECT_EQ(chdir(old), 0);
  EXPECT_GT(loaded, files * 9 / 10);
  EXPECT_GT(sites, 1000);
  for (const std::string& m : mismatches) ADD_FAILURE() << m;
}

}  // namespace

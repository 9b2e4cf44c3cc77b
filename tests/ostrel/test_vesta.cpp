// The VESTA file's variable sections: operations in every form the structure
// model accepts parsed into rotation rows and translations, isosurface levels
// from the activation energies converted back to raw cube energies for any
// energy scale, and bond rows only for cation-anion pairs with parameters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <string>

#include "OSTREL-cif.h"
#include "OSTREL-cube.h"
#include "OSTREL-path.h"
#include "OSTREL-vesta.h"
#include "test_util.h"

namespace {

struct Expected {
  const char* text;
  int r[3][3];
  double t[3];
};

TEST(VestaSymop, EveryFormTheStructureModelAccepts) {
  const Expected cases[] = {
      {"x,y,z", {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}},
      {"-x+1/2,y+0.5,1/2-z", {{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}, {0.5, 0.5, 0.5}},
      {"-y,x-y,z+1/3", {{0, -1, 0}, {1, -1, 0}, {0, 0, 1}}, {0, 0, 1.0 / 3}},
      {"X+0.25,Y,Z-0.75", {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0.25, 0, -0.75}},
      {"y+3/4,x+1/4,-z+0.125", {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}, {0.75, 0.25, 0.125}},
  };
  for (const Expected& e : cases) {
    OSTREL_vesta_symop op;
    ASSERT_EQ(OSTREL_parse_vesta_symop(e.text, &op), 0) << e.text;
    for (int i = 0; i < 3; i++) {
      EXPECT_NEAR(op.t[i], e.t[i], 1e-12) << e.text;
      for (int j = 0; j < 3; j++) EXPECT_EQ(op.r[i][j], e.r[i][j]) << e.text;
    }
  }
  OSTREL_vesta_symop op;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_parse_vesta_symop("x*y,y,z", &op), 1);   // not affine
  EXPECT_EQ(OSTREL_parse_vesta_symop("x/2,y,z", &op), 1);   // not integral
  EXPECT_EQ(OSTREL_parse_vesta_symop("x,y", &op), 1);
  EXPECT_EQ(OSTREL_parse_vesta_symop("x,y,z$", &op), 1);
  testing::internal::GetCapturedStderr();
}

// Raw cube energies: the levels are shifted by the raw global minimum
// (-energy_shift) and raised by 0.01 eV.
TEST(VestaLevels, NoPercolationAndEveryScale) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  cube.energy_shift = 2.0;  // the raw global minimum was -2 eV
  OSTREL_pathlib lib;
  OSTREL_init_pathlib(&lib);
  double level[3];
  OSTREL_vesta_isosurface_levels(&cube, &lib, level);
  EXPECT_NEAR(level[0], 0.02 + 0.01 - 2, 1e-12);
  EXPECT_NEAR(level[1], 0.65 + 0.01 - 2, 1e-12);
  EXPECT_NEAR(level[2], 1.3 + 0.01 - 2, 1e-12);
  lib.oneD = 0.4;
  lib.twoD = 0.5;
  lib.threeD = 0.6;
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "2*E"), 0);
  OSTREL_vesta_isosurface_levels(&cube, &lib, level);
  EXPECT_NEAR(level[0], 0.2 + 0.01 - 2, 1e-9);
  EXPECT_NEAR(level[1], 0.25 + 0.01 - 2, 1e-9);
  EXPECT_NEAR(level[2], 0.3 + 0.01 - 2, 1e-9);
  // The sodium scale, whatever the ion.
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "0.5695*E^(0.6946)"), 0);
  OSTREL_vesta_isosurface_levels(&cube, &lib, level);
  const double E[3] = {0.4, 0.5, 0.6};
  for (int k = 0; k < 3; k++)
    EXPECT_NEAR(level[k], pow(E[k] / 0.5695, 1 / 0.6946) + 0.01 - 2, 1e-9);
  // Levels close together: iso2 = iso3 / 2, iso1 = the smallest step d.
  cube.ion_charge = 2.0;
  lib.oneD = lib.twoD = lib.threeD = 1.0;
  ASSERT_EQ(OSTREL_parse_energy_scaling(&cube, "E"), 0);
  OSTREL_vesta_isosurface_levels(&cube, &lib, level);
  EXPECT_NEAR(level[2], 1.0 + 0.01 - 2, 1e-9);
  EXPECT_NEAR(level[1], 0.5 + 0.01 - 2, 1e-9);
  EXPECT_NEAR(level[0], 0.04 + 0.01 - 2, 1e-9);
}

TEST(VestaBonds, OnlyPairsWithParametersAndStates) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(BV_SOURCE_DIR), 0);  // bin/database_binary.dat
  OSTREL_cif cif;
  OSTREL_init_cif(&cif);
  cif.probe_type = "Li1+";
  OSTREL_add_cif_type(&cif, "Li1+", &cif.type_flag_counter, 1);
  OSTREL_add_cif_type(&cif, "Co3+", &cif.type_flag_counter, 3);
  OSTREL_add_cif_type(&cif, "O2-", &cif.type_flag_counter, -2);
  OSTREL_add_cif_type(&cif, "Og1+", &cif.type_flag_counter, 1);  // no parameters
  OSTREL_add_cif_type(&cif, "IS", &cif.type_flag_counter, 0);    // an interstitial marker
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  OSTREL_print_vesta_bond(&cif, f);
  fclose(f);
  const std::string text(buf, len);
  free(buf);
  const double d = 1.655 - 0.364 * log(3 / (4.25 * 5.556));
  char want[200];
  snprintf(want, sizeof want,
           "SBOND\n1 Co O 0.60000    %.6f 0 1 1 0 1 0.250 1.000 180 180 180\n  0 0 0 0\n", d);
  EXPECT_EQ(text, want);
  EXPECT_NEAR(OSTREL_maximum_pair_distance("Co", "O", 3, -2), d, 1e-12);
  EXPECT_EQ(OSTREL_maximum_pair_distance("Og", "O", 1, -2), -1);
  EXPECT_EQ(chdir(old), 0);
}

}  // namespace

// GULP library and input texts: the Morse depth and cut-off of the cell
// energy, a pair without a bonded term refused by name, no like-charge term
// for neutral species, base names, and the refusal of partial occupancies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "ff_fixture.h"
#include "velmora-gin.h"
#include "velmora-import.h"

using ff_fixture::capture;
using ff_fixture::DataFiles;

namespace {

std::unique_ptr<VELMORA_PROPERTY> property_of(VELMORA_CELL* cell, const DataFiles& files) {
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  capture(
      [&] {
        ppt = velmora_property_import_from_cell(cell, nullptr, 0, 0.75, files.unitary.c_str(),
                                                files.binary.c_str());
      },
      nullptr, nullptr);
  return ppt;
}

}  // namespace

TEST(GinLibrary, MorseLineCarriesTheCellEnergysWellAndCutoff) {
  DataFiles files;
  auto cell = ff_fixture::li2o();
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  auto lib = velmora_gin_lib_import_from_property(ppt.get());
  ASSERT_TRUE(lib);
  const int li = velmora_property_find_index(ppt.get(), "Li", 1);
  const int o = velmora_property_find_index(ppt.get(), "O", -2);
  const VELMORA_PROPERTY_BINARY& p = ppt->bin[li][o];
  // Each Li-O pair's well in the cell energy is 2 x 7.19982 x d0/2: GULP
  // counts the pair once, so its depth is 7.19982 d0.
  char line[256];
  std::snprintf(line, sizeof line, "Li1+ core  O2- core %9.6f %9.6f %9.6f %9.6f %9.6f %9.6f\r\n",
                7.19982 * p.d0, 1.0 / p.b, p.rmin, 0.0, 0.0, 6.0);
  EXPECT_NE(lib->content.find(line), std::string::npos) << lib->content;
  EXPECT_EQ(lib->content.find("O2- core Li1+ core"), std::string::npos);
  EXPECT_NE(lib->content.find("Li1+ core Li1+ core  1.140000 10.000000\r\n"), std::string::npos)
      << lib->content;
  EXPECT_NE(lib->content.find(" O2- core  O2- core  2.100000 10.000000\r\n"), std::string::npos);
}

TEST(GinLibrary, PairWithoutBondedTermIsRefusedByName) {
  DataFiles files;
  auto cell = ff_fixture::ba_f2();  // Ba has softness 0: no Morse term
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  std::unique_ptr<VELMORA_TEXT> lib;
  std::string err;
  capture([&] { lib = velmora_gin_lib_import_from_property(ppt.get()); }, nullptr, &err);
  EXPECT_FALSE(lib);
  EXPECT_NE(err.find("Error: pair Ba2+-F1- has no bonded term"), std::string::npos) << err;
}

TEST(GinLibrary, NoLikeChargeTermForNeutralSpecies) {
  auto ppt = velmora_property_new(3);
  const char* types[3] = {"Li", "O", "Xe"};
  const int os[3] = {1, -2, 0};
  const double q[3] = {0.5, -1.0, 0.0};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(ppt->uni[i].type, 3, "%s", types[i]);
    ppt->uni[i].os = ppt->os[i] = os[i];
    ppt->uni[i].q = q[i];
    ppt->uni[i].rc = 1.0;
  }
  ppt->sf = 0.75;
  auto lib = velmora_gin_lib_import_from_property(ppt.get());
  ASSERT_TRUE(lib);
  EXPECT_NE(lib->content.find("Xe0+ core  0.00000000\r\n"), std::string::npos) << lib->content;
  EXPECT_NE(lib->content.find("Li1+ core Li1+ core  1.500000 10.000000\r\n"), std::string::npos);
  EXPECT_EQ(lib->content.find("Xe0+ core Xe0+"), std::string::npos);
  EXPECT_EQ(lib->content.find("Li1+ core Xe0+"), std::string::npos);
}

TEST(GinInput, BaseNamesAndPartialOccupancy) {
  EXPECT_EQ(velmora_gin_conf_new("Li2O.cif")->filename, "Li2O");
  EXPECT_EQ(velmora_gin_conf_new("./dir.x/Li2O")->filename, "./dir.x/Li2O");
  EXPECT_EQ(velmora_gin_conf_new("a.b/c")->filename, "a.b/c");
  EXPECT_EQ(velmora_gin_conf_new(nullptr)->filename, "velmora-default");
  DataFiles files;
  auto cell = ff_fixture::li2o();
  auto ppt = property_of(cell.get(), files);
  auto conf = velmora_gin_conf_new("x.cif");
  auto text = velmora_gin_import_from_cell(cell.get(), ppt.get(), conf.get());
  ASSERT_TRUE(text);
  EXPECT_EQ(text->content.rfind("conv md\r\ntitle\r\nx\r\nend\r\ncell\r\n", 0), 0u);
  EXPECT_NE(text->content.find("fractional   12\r\nLi1+ core 0.250000 0.250000 0.250000\r\n"),
            std::string::npos);
  cell->atom[5].occ = 0.5;
  std::string err;
  capture([&] { EXPECT_FALSE(velmora_gin_import_from_cell(cell.get(), ppt.get(), conf.get())); },
          nullptr, &err);
  EXPECT_NE(err.find("Error: partial occupancy detected at atom[5]"), std::string::npos) << err;
}

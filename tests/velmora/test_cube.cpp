// Tests of the landscape: grid rule and limit, which symmetry operations may
// copy voxels, energies against an independent evaluation of the pair
// formulas and against the plain loop over all atoms and translations (bit
// for bit), symmetry copies against direct evaluation, independence of the
// thread count, Li minima at the Li sites of real structures, the cube file
// text and the refusal of malformed cube files.
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ff_fixture.h"
#include "shipped_data.h"
#include "velmora-alloc.h"
#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora-la.h"

namespace {

using shipped_data::kBinary;
using shipped_data::kSymcards;
using shipped_data::kUnitary;
const std::string kValidation = std::string(BV_TEST_DATA_DIR) + "/validation/";

struct Structure {
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
};

// A validation structure with Li+ as the conducting ion and a fixed
// screening factor (the search is tested elsewhere).
Structure load(const std::string& name, double sf = 0.7, const char* type = "Li", int os = 1) {
  Structure s;
  std::string out;
  ff_fixture::capture(
      [&] {
        velmora_cell_import_cif_from_file(s.cell, s.symmetry, (kValidation + name).c_str(),
                                          kSymcards.c_str(), kUnitary.c_str());
        if (s.cell)
          s.ppt = velmora_property_import_from_cell(s.cell.get(), type, os, sf, kUnitary.c_str(),
                                                    kBinary.c_str());
      },
      &out, nullptr);
  return s;
}

std::unique_ptr<VELMORA_CUBE> calculate(Structure& s, double resolution, bool ignore = true,
                                        const VELMORA_SYMMETRY* symmetry = nullptr) {
  std::unique_ptr<VELMORA_CUBE> cube;
  ff_fixture::capture(
      [&] {
        cube = velmora_cube_calculate(s.cell.get(), symmetry ? symmetry : s.symmetry.get(),
                                      s.ppt.get(), resolution, ignore);
      },
      nullptr, nullptr);
  return cube;
}

// The landscape formulas written out anew: the shifted Morse term to
// counter-ions within the pair cut-off, the screened Coulomb term shifted
// to zero at 10 A to like ions within 10 A, quadratics below r_bc / r_cc,
// every term weighted by occupancy, 14.39964 eV A, capped at 999.9 eV.
double independent_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                          const double p[3], bool ignore) {
  const int c = ppt->conducting;
  double r = 10.0;
  for (const auto& row : ppt->bin)
    for (const auto& b : row) r = std::max(r, b.cutoff);
  long range[3];
  for (int k = 0; k < 3; ++k) range[k] = static_cast<long>(r / cell->parameter[k] + 2.0);
  double sum = 0.0;
  for (const VELMORA_ATOM& atom : cell->atom) {
    if (ignore && atom.os == ppt->os[c] && std::strcmp(atom.type, ppt->type[c].data()) == 0)
      continue;
    int s = 0;
    while (s < ppt->total &&
           !(ppt->os[s] == atom.os && std::strcmp(ppt->type[s].data(), atom.type) == 0))
      ++s;
    const bool anion = ppt->os[c] < 0;
    const VELMORA_PROPERTY_BINARY& b = anion ? ppt->bin[s][c] : ppt->bin[c][s];
    for (long l = -range[0]; l <= range[0]; ++l)
      for (long m = -range[1]; m <= range[1]; ++m)
        for (long n = -range[2]; n <= range[2]; ++n) {
          double d2 = 0.0;
          for (int k = 0; k < 3; ++k) {
            const double x = atom.x[k] + l * cell->a[0][k] + m * cell->a[1][k] +
                             n * cell->a[2][k] - p[k];
            d2 += x * x;
          }
          const double d = std::sqrt(d2);
          double term = 0.0;
          if (ppt->os[c] * atom.os < 0) {
            if (d > b.cutoff) continue;
            if (d > b.r_bc) {
              const double y = std::exp((b.rmin - d) / b.b);
              term = 0.5 * b.d0 * ((y - 1.0) * (y - 1.0) - 1.0) - b.en_s;
            } else {
              term = b.a0 + d * (b.a1 + d * b.a2);
            }
          } else {
            if (d > 10.0) continue;
            const double q = ppt->uni[c].q * ppt->uni[s].q;
            const double w = ppt->sf * (ppt->uni[c].rc + ppt->uni[s].rc);
            term = d > b.r_cc ? q * (std::erfc(d / w) / d - std::erfc(10.0 / w) / 10.0)
                              : b.a0 + d * (b.a1 + d * b.a2);
          }
          sum += term * atom.occ;
        }
  }
  const double e = 14.39964 * sum;
  return std::min(e, 999.9);
}

void voxel_point(double p[3], const VELMORA_CUBE& cube, long i, long j, long k) {
  for (int c = 0; c < 3; ++c) p[c] = i * cube.a_i[0][c] + j * cube.a_i[1][c] + k * cube.a_i[2][c];
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string scratch(const std::string& name) {
  return "/tmp/velmora_cube_test_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

// ------------------------------------------------------------------ grid ----

TEST(VelmoraCubeGrid, MultiplesOf24AndTheVoxelLimit) {
  long n[3];
  const double cubic[3] = {4.2, 4.2, 4.2};
  ASSERT_EQ(velmora_cube_grid_size(n, cubic, 0.1), 0);
  EXPECT_EQ(n[0], 48);
  EXPECT_EQ(n[2], 48);
  const double lfp[3] = {10.332, 6.01, 4.692};
  ASSERT_EQ(velmora_cube_grid_size(n, lfp, 0.1), 0);
  EXPECT_EQ(n[0], 120);
  EXPECT_EQ(n[1], 72);
  EXPECT_EQ(n[2], 48);
  // 600^3 at first; lowered by 24 on the largest axis, first axis first on
  // ties: 216^3 -> 192x216x216 -> 192x192x216 -> 192^3.
  const double big[3] = {60, 60, 60};
  ASSERT_EQ(velmora_cube_grid_size(n, big, 0.1), 0);
  EXPECT_EQ(n[0], 192);
  EXPECT_EQ(n[1], 192);
  EXPECT_EQ(n[2], 192);
  // Hexagonal axes of equal length can end with different counts:
  // 216x216x168 is above the limit, 192x216x168 below.
  const double hex[3] = {21.5, 21.5, 16.7};
  ASSERT_EQ(velmora_cube_grid_size(n, hex, 0.1), 0);
  EXPECT_LE(n[0] * n[1] * n[2], VELMORA_CUBE_MAX_VOXELS);
  EXPECT_EQ(n[0] % 24 + n[1] % 24 + n[2] % 24, 0);
  EXPECT_EQ(n[0], 192);
  EXPECT_EQ(n[1], 216);
  EXPECT_EQ(n[2], 168);
  // Counts that overflow 32 bits on the way down still end below the limit.
  const double huge[3] = {3000, 3000, 3000};
  ASSERT_EQ(velmora_cube_grid_size(n, huge, 0.1), 0);
  EXPECT_LE(n[0] * n[1] * n[2], VELMORA_CUBE_MAX_VOXELS);
  EXPECT_GT(n[0], 0);
  // Resolutions so fine that the full counts multiply beyond 64 bits (5 A
  // at 1e-6 A: 2.1e8 voxels per axis) end where the lowering rule, followed
  // in 128-bit arithmetic from the full counts, ends.
  for (const double res : {1e-3, 1e-5, 1e-6, 3e-7}) {
    const double cell[3] = {5.0, 4.0, 7.5};
    __int128 m[3];
    for (int k = 0; k < 3; ++k) m[k] = 24 * static_cast<__int128>(std::ceil(cell[k] / res / 24));
    while (m[0] * m[1] * m[2] > VELMORA_CUBE_MAX_VOXELS) {
      const int k = m[0] >= m[1] ? (m[0] >= m[2] ? 0 : 2) : (m[1] >= m[2] ? 1 : 2);
      m[k] -= 24;
    }
    ASSERT_EQ(velmora_cube_grid_size(n, cell, res), 0) << res;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(n[k], static_cast<long>(m[k])) << res << " axis " << k;
  }
  // A grid capped below what the resolution asks for says so in one line
  // naming the grid and the step used; an uncapped one says nothing.
  const double li2o[3] = {4.611, 4.611, 4.611};
  std::string said;
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_grid_size(n, li2o, 1e-6), 0); }, &said, nullptr);
  EXPECT_EQ(said,
            "Warning: a resolution of 1e-06 A needs 9.8e+19 voxels, beyond the limit of "
            "7529536; the grid is 192 x 192 x 192 voxels, a step of 0.0240 x 0.0240 x "
            "0.0240 A.\n");
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_grid_size(n, li2o, 0.1), 0); }, &said, nullptr);
  EXPECT_EQ(said, "");
  // No grid for senseless resolutions.
  std::string err;
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_grid_size(n, cubic, 0.0), 1); }, nullptr, &err);
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_grid_size(n, cubic, NAN), 1); }, nullptr, &err);
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_grid_size(n, cubic, 1e-300), 1); }, nullptr,
                      &err);
}

TEST(VelmoraCubeGrid, OperationsThatMapTheGridOntoItself) {
  VELMORA_CARD card;
  const long n48[3] = {48, 48, 48}, skew[3] = {72, 48, 48};
  ASSERT_EQ(velmora_card_set_by_text(&card, "-y, x-y, z+1/3"), 0);
  EXPECT_TRUE(velmora_cube_card_fits_grid(&card, n48));
  // The 3-fold axis exchanges axes 0 and 1: needs equal counts.
  EXPECT_FALSE(velmora_cube_card_fits_grid(&card, skew));
  ASSERT_EQ(velmora_card_set_by_text(&card, "x+1/2, -y, z"), 0);
  EXPECT_TRUE(velmora_cube_card_fits_grid(&card, skew));
  // A fifth of 72 voxels is no whole voxel.
  ASSERT_EQ(velmora_card_set_by_text(&card, "x+1/5, y, z"), 0);
  EXPECT_FALSE(velmora_cube_card_fits_grid(&card, skew));
  EXPECT_TRUE(velmora_cube_card_fits_grid(&card, n48) == false);
}

// ------------------------------------------------------------ energies ----

TEST(VelmoraCubeEnergy, RandomVoxelsMatchAnIndependentEvaluation) {
  // Li+ in four structures, Na+ absent from its host, and an anion (O2-,
  // whose pair records are taken with the cation first).
  const struct {
    const char* name;
    const char* type;
    int os;
  } cases[] = {{"Li2O.cif", "Li", 1},    {"LiFePO4.cif", "Li", 1}, {"LiCoO2.cif", "Li", 1},
               {"Li3PO4.cif", "Li", 1}, {"Li2O.cif", "Na", 1},    {"Li2O.cif", "O", -2}};
  for (const auto& test : cases) {
    const char* name = test.name;
    Structure s = load(name, 0.7, test.type, test.os);
    ASSERT_TRUE(s.ppt) << name;
    std::unique_ptr<VELMORA_CUBE> cube = calculate(s, 0.3);
    ASSERT_TRUE(cube) << name;
    EXPECT_EQ(cube->n[0] % 24 + cube->n[1] % 24 + cube->n[2] % 24, 0);
    std::mt19937 random(7);
    for (int t = 0; t < 40; ++t) {
      const long i = random() % cube->n[0], j = random() % cube->n[1], k = random() % cube->n[2];
      double p[3];
      voxel_point(p, *cube, i, j, k);
      const double e = independent_energy(s.cell.get(), s.ppt.get(), p, true);
      EXPECT_NEAR(velmora_cube_at(*cube, i, j, k), e, 1e-6) << name << " " << i << " " << j << " "
                                                            << k;
      EXPECT_TRUE(std::isfinite(velmora_cube_at(*cube, i, j, k)));
    }
    // The ignored flags are cleared again.
    for (const VELMORA_ATOM& atom : s.cell->atom) EXPECT_FALSE(atom.ignored);
  }
}

TEST(VelmoraCubeEnergy, SameBitsAsThePlainLoop) {
  Structure s = load("LiFePO4.cif");
  ASSERT_TRUE(s.ppt);
  for (VELMORA_ATOM& atom : s.cell->atom) atom.ignored = std::strcmp(atom.type, "Li") == 0;
  VELMORA_CUBE_FIELD field;
  ASSERT_EQ(velmora_cube_field_build(field, s.cell.get(), s.ppt.get()), 0);
  const long n[3] = {48, 24, 24};
  double a_i[3][3];
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 3; ++c) a_i[k][c] = s.cell->a[k][c] / n[k];
  std::vector<long> voxel;
  for (long v = 0; v < n[0] * n[1] * n[2]; v += 7) voxel.push_back(v);
  std::vector<double> energy;
  velmora_cube_field_energies(energy, field, voxel, n, a_i, false);
  const int c = s.ppt->conducting;
  for (std::size_t m = 0; m < voxel.size(); m += 5) {
    const long v = voxel[m];
    double p[3];
    velmora_cube_voxel_point(p, a_i, v / (n[1] * n[2]), (v / n[2]) % n[1], v % n[2]);
    // The plain loop: atoms, then l, m, n, the pair functions as they are.
    double e_b = 0.0, e_c = 0.0;
    for (const VELMORA_ATOM& atom : s.cell->atom) {
      if (atom.ignored) continue;
      const int sp = velmora_property_find_index(s.ppt.get(), atom.type, atom.os);
      const VELMORA_PROPERTY_BINARY& b = s.ppt->bin[c][sp];
      for (long l = -field.bond->range[0]; l <= field.bond->range[0]; ++l)
        for (long mm = -field.bond->range[1]; mm <= field.bond->range[1]; ++mm)
          for (long nn = -field.bond->range[2]; nn <= field.bond->range[2]; ++nn) {
            double dx[3];
            for (int k = 0; k < 3; ++k)
              dx[k] = (atom.x[k] +
                       (l * s.cell->a[0][k] + mm * s.cell->a[1][k] + nn * s.cell->a[2][k])) -
                      p[k];
            const double d = std::sqrt(dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2]);
            if (atom.os < 0 && d <= b.cutoff)
              e_b += (d > b.r_bc ? velmora_energy_bonding_with_energy_shift(d, b.d0, b.rmin, b.b,
                                                                            b.en_s)
                                 : velmora_pseudopotential_energy_bonding(d, b.a2, b.a1, b.a0)) *
                     atom.occ;
            else if (atom.os > 0 && d <= 10.0)
              e_c += (d > b.r_cc
                          ? velmora_energy_coulombic(
                                d, s.ppt->uni[c].q * s.ppt->uni[sp].q,
                                s.ppt->sf * (s.ppt->uni[c].rc + s.ppt->uni[sp].rc))
                          : velmora_pseudopotential_energy_coulombic(d, b.a2, b.a1, b.a0)) *
                     atom.occ;
          }
    }
    double e = 14.39964 * (e_b + e_c);
    if (e > 999.9) e = 999.9;
    EXPECT_EQ(std::memcmp(&e, &energy[m], sizeof e), 0) << v << ": " << e << " " << energy[m];
  }
}

TEST(VelmoraCubeEnergy, SymmetryCopiesEqualTheEnergyAtTheImagePoint) {
  // LiCoO2 (R -3 m, hexagonal axes): every voxel of the symmetric cube
  // against the P 1 cube, where each voxel is computed directly.
  Structure s = load("LiCoO2.cif");
  ASSERT_TRUE(s.ppt);
  std::unique_ptr<VELMORA_CUBE> sym = calculate(s, 0.3);
  std::unique_ptr<VELMORA_SYMMETRY> p1 = velmora_symmetry_new_p1();
  std::unique_ptr<VELMORA_CUBE> direct = calculate(s, 0.3, true, p1.get());
  ASSERT_TRUE(sym && direct);
  ASSERT_EQ(sym->en.size(), direct->en.size());
  double worst = 0.0;
  for (std::size_t v = 0; v < sym->en.size(); ++v)
    worst = std::max(worst, std::fabs(sym->en[v] - direct->en[v]));
  // The cell is hexagonal only to the precision of the program's degree
  // factor 0.0174532925 (gamma is off 120 degrees by ~1e-7 degrees), so
  // images differ from direct sums by up to a few 1e-7 eV on steep slopes.
  EXPECT_LT(worst, 1e-6);
  // Images of a voxel under each operation hold the same value.
  VELMORA_SYMMETRY group = *s.symmetry;
  ASSERT_EQ(velmora_symmetry_fill_card_discrete(&group, sym->n), 0);
  const long p[3] = {5, 3, 17};
  for (const VELMORA_CARD& card : group.card) {
    long q[3];
    velmora_card_transform_vector3_long(q, p, sym->n, &card);
    EXPECT_EQ(velmora_cube_at(*sym, q[0], q[1], q[2]), velmora_cube_at(*sym, p[0], p[1], p[2]));
  }
}

TEST(VelmoraCubeEnergy, OperationsOffTheGridAreNotUsedForCopies) {
  // Li2O stretched to five cells along a, described with the translations
  // x + k/5: on a grid of 72 voxels along a those land between voxels.
  Structure s = load("Li2O.cif");
  ASSERT_TRUE(s.ppt);
  const int five[3] = {5, 1, 1};
  std::unique_ptr<VELMORA_CELL> big = velmora_cell_supercell(s.cell.get(), five);
  ASSERT_TRUE(big);
  s.cell = std::move(big);
  std::unique_ptr<VELMORA_SYMMETRY> shifts = velmora_symmetry_new(5);
  const char* text[5] = {"x, y, z", "x+1/5, y, z", "x+2/5, y, z", "x+3/5, y, z", "x+4/5, y, z"};
  for (int k = 0; k < 5; ++k) ASSERT_EQ(velmora_card_set_by_text(&shifts->card[k], text[k]), 0);
  std::unique_ptr<VELMORA_CUBE> copied = calculate(s, 0.4, true, shifts.get());
  std::unique_ptr<VELMORA_SYMMETRY> p1 = velmora_symmetry_new_p1();
  std::unique_ptr<VELMORA_CUBE> direct = calculate(s, 0.4, true, p1.get());
  ASSERT_TRUE(copied && direct);
  ASSERT_EQ(copied->n[0], 72);
  for (std::size_t v = 0; v < copied->en.size(); ++v)
    ASSERT_NEAR(copied->en[v], direct->en[v], 1e-9) << v;
}

TEST(VelmoraCubeEnergy, SameValuesOnOneAndTwoThreads) {
  Structure s = load("LiFePO4.cif");
  ASSERT_TRUE(s.ppt);
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  std::unique_ptr<VELMORA_CUBE> one = calculate(s, 0.3);
  omp_set_num_threads(2);
  std::unique_ptr<VELMORA_CUBE> two = calculate(s, 0.3);
  omp_set_num_threads(threads);
  ASSERT_TRUE(one && two);
  ASSERT_EQ(one->en.size(), two->en.size());
  EXPECT_EQ(std::memcmp(one->en.data(), two->en.data(), one->en.size() * sizeof(double)), 0);
}

TEST(VelmoraCubeEnergy, LithiumSitesAreTheMinima) {
  for (const char* name : {"Li2O.cif", "LiCoO2.cif", "LiFePO4.cif"}) {
    Structure s = load(name, -1.0);  // screening factor searched
    ASSERT_TRUE(s.ppt) << name;
    std::unique_ptr<VELMORA_CUBE> cube = calculate(s, 0.1);
    ASSERT_TRUE(cube) << name;
    const long* n = cube->n;
    double lowest = 1e300;
    for (double e : cube->en) lowest = std::min(lowest, e);
    double lowest_at_site = 1e300;
    int sites = 0;
    for (const VELMORA_ATOM& atom : s.cell->atom) {
      if (std::strcmp(atom.type, "Li") != 0) continue;
      ++sites;
      long v[3];
      for (int k = 0; k < 3; ++k) {
        const double g = atom.x_f[k] * n[k];
        ASSERT_NEAR(g, std::round(g), 1e-3) << name << ": Li site off the grid";
        v[k] = velmora_mod_long(std::lround(g), n[k]);
      }
      const double e = velmora_cube_at(*cube, v[0], v[1], v[2]);
      lowest_at_site = std::min(lowest_at_site, e);
      // A local minimum: no lower value among the 26 neighbours.
      for (int di = -1; di <= 1; ++di)
        for (int dj = -1; dj <= 1; ++dj)
          for (int dk = -1; dk <= 1; ++dk)
            EXPECT_LE(e, velmora_cube_at(*cube, velmora_mod_long(v[0] + di, n[0]),
                                         velmora_mod_long(v[1] + dj, n[1]),
                                         velmora_mod_long(v[2] + dk, n[2])))
                << name << " site " << atom.name;
    }
    EXPECT_GT(sites, 0);
    // The Li sites hold the lowest energy of the landscape too (in Li2O
    // the empty octahedral hole follows only 0.014 eV higher).
    EXPECT_EQ(lowest_at_site, lowest) << name;
  }
}

TEST(VelmoraCubeEnergy, IgnoredConductingIonsAndTheCap) {
  Structure s = load("Li2O.cif");
  ASSERT_TRUE(s.ppt);
  std::unique_ptr<VELMORA_CUBE> ignored = calculate(s, 0.2);
  std::unique_ptr<VELMORA_CUBE> kept = calculate(s, 0.2, false);
  ASSERT_TRUE(ignored && kept);
  // Li at 1/4 1/4 1/4 = voxel (6, 6, 6) of 24: inside that ion's repulsion
  // when it is kept.
  const double at_site_kept = velmora_cube_at(*kept, 6, 6, 6);
  const double at_site_ignored = velmora_cube_at(*ignored, 6, 6, 6);
  EXPECT_GT(at_site_kept, at_site_ignored + 5.0);
  double highest = -1e300;
  for (double e : kept->en) highest = std::max(highest, e);
  EXPECT_LE(highest, 999.9);
  // The O site itself: far inside the bonded quadratic.
  std::string out;
  ff_fixture::capture([&] { kept = velmora_cube_calculate(s.cell.get(), s.symmetry.get(),
                                                          s.ppt.get(), 0.2, false); },
                      &out, nullptr);
  EXPECT_NE(out.find("Message: no ion is ignored during cube generation.\n"), std::string::npos);
  ff_fixture::capture([&] { kept = velmora_cube_calculate(s.cell.get(), s.symmetry.get(),
                                                          s.ppt.get(), 0.2, true); },
                      &out, nullptr);
  EXPECT_NE(out.find("Message: ignoring all Li1+ ions during cube generation.\n"),
            std::string::npos);
  EXPECT_NE(out.find("Message: cube has been generated successfully.\n"), std::string::npos);
}

TEST(VelmoraCubeEnergy, RefusedParameters) {
  Structure s = load("Li2O.cif");
  ASSERT_TRUE(s.ppt);
  std::string err;
  VELMORA_PROPERTY bad = *s.ppt;
  bad.conducting = -1;
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_validate_property(&bad), 1); }, nullptr, &err);
  EXPECT_EQ(err, "Error: conducting species not correctly specified.\n");
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_validate_property(nullptr), 1); }, nullptr,
                      &err);
  EXPECT_EQ(err, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
  bad = *s.ppt;
  const int li = bad.conducting;
  bad.uni[li].rc = 0.0;
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_validate_property(&bad), 1); }, nullptr, &err);
  EXPECT_EQ(err.rfind("Error: incorrect rc at[", 0), 0u) << err;
  bad = *s.ppt;
  const int o = velmora_property_find_index(&bad, "O", -2);
  bad.bin[li][o].d0 = 0.0;
  ff_fixture::capture([&] { EXPECT_EQ(velmora_cube_validate_property(&bad), 1); }, nullptr, &err);
  EXPECT_NE(err.find("Error: incorrect d0 at ["), std::string::npos) << err;
  EXPECT_NE(err.find("(Li1+)-(O2-) d0=0.000000"), std::string::npos) << err;
  // An atom without oxidation state stops the computation.
  s.cell->atom[0].os = 0;
  std::unique_ptr<VELMORA_CUBE> cube;
  ff_fixture::capture([&] { cube = velmora_cube_calculate(s.cell.get(), s.symmetry.get(),
                                                          s.ppt.get(), 0.3, true); },
                      nullptr, &err);
  EXPECT_FALSE(cube);
  EXPECT_NE(err.find("Error: oxidation state is zero where atom[0]: "), std::string::npos) << err;
}

// --------------------------------------------------------------- files ----

TEST(VelmoraCubeFile, TextRoundTripAndPeriodicLayers) {
  Structure s = load("Li2O.cif");
  ASSERT_TRUE(s.ppt);
  std::unique_ptr<VELMORA_CUBE> cube = calculate(s, 0.2);
  ASSERT_TRUE(cube);
  velmora_cube_at(*cube, 0, 0, 1) = 1.5;
  const std::string path = scratch("li2o.cube"), open_path = scratch("li2o_open.cube");
  std::string out;
  ff_fixture::capture(
      [&] {
        EXPECT_EQ(velmora_cube_export_to_file(cube.get(), s.cell.get(), s.ppt.get(), path.c_str(),
                                              true),
                  0);
        EXPECT_EQ(velmora_cube_export_to_file(cube.get(), s.cell.get(), s.ppt.get(),
                                              open_path.c_str(), false),
                  0);
      },
      &out, nullptr);
  EXPECT_NE(out.find("Message: cube file is generated with header.\n"), std::string::npos);
  EXPECT_NE(out.find("Message: cube file saved to " + path + ".\n"), std::string::npos);
  const std::string text = read_file(path);
  std::vector<std::string> lines;
  for (std::size_t at = 0, next; at < text.size(); at = next + 2) {
    next = text.find("\r\n", at);
    ASSERT_NE(next, std::string::npos) << "every line ends in CR LF";
    lines.push_back(text.substr(at, next - at));
  }
  ASSERT_EQ(lines.size(), 6u + 12u + 24u * 24u * 24u);
  EXPECT_EQ(lines[0], "Li1+:8.000 O2-:4.000 ");
  EXPECT_EQ(lines[1].rfind("Conducting = Li1+ ; sf = 0.700000;", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "  12    0.000000    0.000000    0.000000");
  char expected[128];
  std::snprintf(expected, sizeof expected, "  24 %11.6f %11.6f %11.6f",
                cube->a_i[0][0] * 1.889725989, 0.0, 0.0);
  EXPECT_EQ(lines[3], expected);
  EXPECT_EQ(lines[6 + 12 + 1], "     1.500000");
  EXPECT_EQ(read_file(open_path).size() > text.size(), true);

  // Back again: periodic as written; the closed file read as closed.
  for (int pass = 0; pass < 2; ++pass) {
    std::unique_ptr<VELMORA_CUBE> back;
    std::unique_ptr<VELMORA_CELL> cell;
    ff_fixture::capture(
        [&] {
          EXPECT_EQ(velmora_cube_import_from_file(back, &cell, (pass ? open_path : path).c_str(),
                                                  pass == 0, kUnitary.c_str()),
                    0);
        },
        &out, nullptr);
    ASSERT_TRUE(back && cell);
    EXPECT_EQ(back->n[0], 24);
    for (std::size_t v = 0; v < back->en.size(); ++v)
      ASSERT_NEAR(back->en[v], cube->en[v], 5e-7);
    EXPECT_NEAR(back->a[0][0], s.cell->a[0][0], 1e-5);
    ASSERT_EQ(cell->total, 12);
    EXPECT_STREQ(cell->atom[0].type, s.cell->atom[0].type);
    EXPECT_EQ(cell->atom[0].os, s.cell->atom[0].os);
    EXPECT_NEAR(cell->atom[11].x_f[0], s.cell->atom[11].x_f[0], 1e-5);
    EXPECT_NEAR(cell->parameter[0], s.cell->parameter[0], 1e-5);
  }
  // The closed file read as periodic keeps the repeated layers.
  std::unique_ptr<VELMORA_CUBE> kept;
  ff_fixture::capture(
      [&] {
        EXPECT_EQ(velmora_cube_import_from_file(kept, nullptr, open_path.c_str(), true,
                                                kUnitary.c_str()),
                  0);
      },
      &out, nullptr);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->n[2], 25);
  EXPECT_EQ(velmora_cube_at(*kept, 0, 0, 24), velmora_cube_at(*kept, 0, 0, 0));
  EXPECT_NE(out.find("Message: cell information not read.\n"), std::string::npos);

  // Without a header: no atoms, no cell.
  ff_fixture::capture(
      [&] { EXPECT_EQ(velmora_cube_export_to_file(cube.get(), nullptr, nullptr, path.c_str(), true), 0); },
      &out, nullptr);
  EXPECT_EQ(read_file(path).rfind("noname\r\n\r\n   0    0.000000", 0), 0u);
  std::unique_ptr<VELMORA_CUBE> bare;
  std::unique_ptr<VELMORA_CELL> none = velmora_cell_new(1);
  ff_fixture::capture(
      [&] {
        EXPECT_EQ(velmora_cube_import_from_file(bare, &none, path.c_str(), true, kUnitary.c_str()),
                  0);
      },
      &out, nullptr);
  EXPECT_TRUE(bare);
  EXPECT_FALSE(none);
  std::remove(path.c_str());
  std::remove(open_path.c_str());
}

TEST(VelmoraCubeFile, WritingReplacesWholeFilesOnly) {
  const std::string path = scratch("atomic.txt");
  ASSERT_EQ(velmora_file_write_atomically(path.c_str(), "old\n"), 0);
  ASSERT_EQ(velmora_file_write_atomically(path.c_str(), "new\n"), 0);
  EXPECT_EQ(read_file(path), "new\n");
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & 0044, 0u) << "readable like a plainly created file";
  std::remove(path.c_str());
  // A directory that does not exist: failure, nothing written.
  const std::string missing = scratch("no_such_dir") + "/x.cube";
  EXPECT_EQ(velmora_file_write_atomically(missing.c_str(), "x"), 1);
  std::unique_ptr<VELMORA_CUBE> cube;
  const long n[3] = {2, 2, 2};
  cube = velmora_cube_new(n);
  std::string err;
  ff_fixture::capture(
      [&] { EXPECT_EQ(velmora_cube_export_to_file(cube.get(), nullptr, nullptr, missing.c_str(), true), 1); },
      nullptr, &err);
  EXPECT_EQ(err, "Error: unable to open file " + missing + "\n");
}

TEST(VelmoraCubeFile, MalformedFilesAreRefused) {
  // 2 x 2 x 1 voxels of 2 bohr: a cell of 2.12 x 2.12 x 1.06 A.
  const std::string axes = "   2 2.0 0 0\r\n   2 0 2.0 0\r\n   1 0 0 2.0\r\n";
  const std::string good =
      "title\r\n\r\n   0 0 0 0\r\n" + axes + " 1.0\r\n 2.0\r\n 3.0\r\n 4.0\r\n";
  const std::string cut = good.substr(0, good.size() - 6);
  const std::string atom = "   3 0.84 1.0 1.0 1.0\r\n";
  const std::string values = " 1.0\r\n 2.0\r\n 3.0\r\n 4.0\r\n";
  auto with = [&](const char* line3, const std::string& ax, const std::string& rest) {
    return std::string("t\r\n\r\n") + line3 + "\r\n" + ax + rest;
  };
  struct {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"truncated values", cut, "holds 3 voxel values where its 2 x 2 x 1 grid needs 4"},
      {"not a number", cut + "abc\r\n", "voxel value 4 is not a number"},
      {"NaN", cut + "nan\r\n", "voxel value 4 is not a number"},
      {"infinity", cut + "inf\r\n", "voxel value 4 is not a number"},
      {"number glued to text", cut + "4.0x\r\n", "voxel value 4 is not a number"},
      {"beyond any site energy", cut + "1e308\r\n", "voxel value 4, 1e+308 eV, lies beyond"},
      {"values beyond the grid", good + " 5.0\r\n", "holds more values than its 2 x 2 x 1 grid"},
      // Counts that do not match the values: 1 x 1 x 1, or one layer short.
      {"1 x 1 x 1 grid",
       with(" 0 0 0 0", "   1 4.0 0 0\r\n   1 0 4.0 0\r\n   1 0 0 4.0\r\n", values),
       "holds more values than its 1 x 1 x 1 grid"},
      {"one layer short",
       with(" 0 0 0 0", "   1 4.0 0 0\r\n   2 0 2.0 0\r\n   1 0 0 2.0\r\n", values),
       "holds more values than its 1 x 2 x 1 grid"},
      // Atom lines read as energies, or energies as atom lines.
      {"atom count 0 with an atom line", with(" 0 0 0 0", axes, atom + values),
       "holds more values than"},
      {"atom count too small", with(" 1 0 0 0", axes, atom + atom + values),
       "holds more values than its 2 x 2 x 1 grid"},
      {"atom count too large", with(" 2 0 0 0", axes, atom + values),
       "atom line 2 (line 8) does not give an atomic number"},
      {"negative count", with(" 0 0 0 0", "   -2 2 0 0\r\n   2 0 2 0\r\n   1 0 0 2\r\n", values),
       "the voxel count -2 on line 4 leaves no voxel"},
      {"fractional count", with(" 0 0 0 0", "   2.5 2 0 0\r\n   2 0 2 0\r\n   1 0 0 2\r\n", values),
       "line 4 does not give a whole voxel count"},
      {"absurd count",
       with(" 0 0 0 0", " 2000000000 2 0 0\r\n 2000000000 0 2 0\r\n 1 0 0 2\r\n", " 1\r\n"),
       "holds far fewer values"},
      {"missing vector", "t\r\n\r\n 0 0 0 0\r\n 2 1 0\r\n", "line 4 does not give a whole voxel"},
      {"NaN vector", with(" 0 0 0 0", " 2 nan 0 0\r\n 2 0 2 0\r\n 1 0 0 2\r\n", values),
       "line 4 does not give a whole voxel count"},
      // Degenerate cells: a zero, a tiny, collinear and coplanar vectors.
      {"zero vector", with(" 0 0 0 0", " 2 0 0 0\r\n 2 0 2 0\r\n 1 0 0 2\r\n", values),
       "its cell edge 1 is 0 A long"},
      {"1e-30 vectors",
       with(" 0 0 0 0", " 2 1e-30 0 0\r\n 2 0 1e-30 0\r\n 1 0 0 1e-30\r\n", values),
       "its cell edge 1 is 1.06e-30 A long"},
      {"collinear vectors", with(" 0 0 0 0", " 2 2 0 0\r\n 2 2 0 0\r\n 1 0 0 2\r\n", values),
       "lie in one plane or on one line"},
      {"coplanar vectors", with(" 0 0 0 0", " 2 2 0 0\r\n 2 0 2 0\r\n 1 2 2 0\r\n", values),
       "lie in one plane or on one line"},
      {"no atom count", "t\r\n\r\nx\r\n", "line 3 does not give the number of atoms"},
      {"negative atoms", with(" -3 0 0 0", axes, values), "line 3 does not give the number"},
      {"unknown element", with(" 1 0 0 0", axes, "   110 1.0 0 0 0\r\n" + values),
       "velmora_property_type_from_atomic_number() returns non-zero"},
      {"impossible element", with(" 1 0 0 0", axes, "   999 1.0 0 0 0\r\n" + values),
       "atom line 1 (line 7) does not give an atomic number"},
      {"empty", "", "it ends before line 3"},
  };
  const std::string path = scratch("bad.cube");
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::binary) << c.text;
    std::unique_ptr<VELMORA_CUBE> cube;
    std::unique_ptr<VELMORA_CELL> cell;
    std::string err;
    ff_fixture::capture(
        [&] {
          EXPECT_EQ(velmora_cube_import_from_file(cube, &cell, path.c_str(), true,
                                                  kUnitary.c_str()),
                    1)
              << c.what;
        },
        nullptr, &err);
    EXPECT_FALSE(cube) << c.what;
    EXPECT_FALSE(cell) << c.what;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
    if (std::string(c.what) != "unknown element") {
      EXPECT_NE(err.find("Error: " + path + " is not a usable cube file: "), std::string::npos)
          << c.what << ": " << err;
    }
  }
  // The good one reads; one layer too few for a closed reading of 1 voxel.
  std::ofstream(path, std::ios::binary) << good;
  std::unique_ptr<VELMORA_CUBE> cube;
  std::string out, err;
  ff_fixture::capture(
      [&] { EXPECT_EQ(velmora_cube_import_from_file(cube, nullptr, path.c_str(), true, kUnitary.c_str()), 0); },
      &out, &err);
  ASSERT_TRUE(cube);
  EXPECT_EQ(cube->en[3], 4.0);
  EXPECT_NEAR(cube->a_i[0][0], 2.0 / 1.889725989, 1e-12);
  EXPECT_NEAR(cube->a[0][0], 4.0 / 1.889725989, 1e-12);
  EXPECT_EQ(cube->ion_type[0], '\0');  // the file names no mobile ion
  ff_fixture::capture(
      [&] { EXPECT_EQ(velmora_cube_import_from_file(cube, nullptr, path.c_str(), false, kUnitary.c_str()), 1); },
      &out, &err);
  // Several values per line are read as well.
  std::ofstream(path, std::ios::binary)
      << "t\n\n 0 0 0 0\n 2 2 0 0\n 2 0 2 0\n 1 0 0 2\n 1 2\n 3 4\n";
  ff_fixture::capture(
      [&] { EXPECT_EQ(velmora_cube_import_from_file(cube, nullptr, path.c_str(), true, kUnitary.c_str()), 0); },
      &out, &err);
  ASSERT_TRUE(cube);
  EXPECT_EQ(cube->en[2], 3.0);
  // A file that does not exist.
  std::remove(path.c_str());
  ff_fixture::capture(
      [&] { EXPECT_EQ(velmora_cube_import_from_file(cube, nullptr, path.c_str(), true, kUnitary.c_str()), 1); },
      &out, &err);
  EXPECT_EQ(out, "Error: unable to open " + path + ".\n");
}

TEST(VelmoraCubeFile, HeaderNamesTheMobileIonOfTheLandscape) {
  const std::string path = scratch("li.cube");
  std::ofstream(path, std::ios::binary)
      << "Li2O\r\nConducting = Li1+ ; sf = 0.700000;\r\n   0 0 0 0\r\n   2 2.0 0 0\r\n"
         "   2 0 2.0 0\r\n   1 0 0 2.0\r\n 1.0\r\n 2.0\r\n 3.0\r\n 4.0\r\n";
  std::unique_ptr<VELMORA_CUBE> cube;
  ff_fixture::capture(
      [&] {
        EXPECT_EQ(
            velmora_cube_import_from_file(cube, nullptr, path.c_str(), true, kUnitary.c_str()), 0);
      },
      nullptr, nullptr);
  ASSERT_TRUE(cube);
  EXPECT_STREQ(cube->ion_type, "Li");
  EXPECT_EQ(cube->ion_os, 1);
  std::string err;
  ff_fixture::capture(
      [&] {
        EXPECT_TRUE(velmora_cube_check_conducting(cube.get(), path.c_str(), "Li", 1));
        EXPECT_FALSE(velmora_cube_check_conducting(cube.get(), path.c_str(), "Na", 1));
        EXPECT_FALSE(velmora_cube_check_conducting(cube.get(), path.c_str(), "O", -2));
      },
      nullptr, &err);
  EXPECT_NE(err.find("Error: " + path +
                     " is the landscape of Li1+ (its header says so), not of "
                     "Na1+"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("not of O2-"), std::string::npos) << err;
  // Written and read back, the species survives.
  VELMORA_CUBE none;
  EXPECT_TRUE(velmora_cube_check_conducting(&none, path.c_str(), "Na", 1));
}

// Pair functions and cell sums: the energies against an independent plain
// loop over atoms and image translations, forces and stress against finite
// differences of the energy, and the rules for ignored atoms, the 0.3 A skip
// distance and the screening-factor search.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "ff_fixture.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-neighbor.h"
#include "velmora-rx.h"

using ff_fixture::capture;
using ff_fixture::DataFiles;

namespace {

// The energy written out directly from the model: every centre i (not
// ignored) against every atom j and translation, Morse bonds between
// cations and anions, screened repulsion between like charges.
double reference_energy(const VELMORA_CELL& cell, const VELMORA_PROPERTY& ppt,
                        bool unconstrained) {
  double r = 10.0;
  for (const auto& row : ppt.bin)
    for (const auto& p : row) r = std::max(r, p.cutoff);
  // A range one cell wider than the lattice lengths call for, so that no
  // pair within r of an oblique cell is missed.
  long n[3];
  for (int k = 0; k < 3; ++k)
    n[k] = static_cast<long>(r / std::sqrt(cell.a[k][0] * cell.a[k][0] +
                                           cell.a[k][1] * cell.a[k][1] +
                                           cell.a[k][2] * cell.a[k][2]) +
                             2.0);
  double total = 0.0;
  for (const VELMORA_ATOM& ai : cell.atom) {
    if (ai.ignored) continue;
    const int si = velmora_property_find_index(&ppt, ai.type, ai.os);
    for (const VELMORA_ATOM& aj : cell.atom) {
      if (unconstrained && aj.ignored) continue;
      const int sj = velmora_property_find_index(&ppt, aj.type, aj.os);
      for (long l = -n[0]; l <= n[0]; ++l)
        for (long m = -n[1]; m <= n[1]; ++m)
          for (long k = -n[2]; k <= n[2]; ++k) {
            double d2 = 0.0;
            for (int c = 0; c < 3; ++c) {
              const double p = aj.x[c] + l * cell.a[0][c] + m * cell.a[1][c] + k * cell.a[2][c];
              d2 += (p - ai.x[c]) * (p - ai.x[c]);
            }
            const double d = std::sqrt(d2);
            if (d <= 0.3) continue;
            double e = 0.0;
            if (ai.os * aj.os > 0 && d <= r) {
              const double q = ppt.uni[si].q * ppt.uni[sj].q;
              const double reff = ppt.sf * (ppt.uni[si].rc + ppt.uni[sj].rc);
              e = q * std::erfc(d / reff) / d - q * std::erfc(10.0 / reff) / 10.0;
            } else if (ai.os * aj.os < 0) {
              const auto& p = ai.os > 0 ? ppt.bin[si][sj] : ppt.bin[sj][si];
              if (d > p.cutoff) continue;
              const double y = std::exp((p.rmin - d) / p.b);
              e = 0.5 * p.d0 * ((y - 1.0) * (y - 1.0) - 1.0) - p.en_s;
            }
            total += e * (ai.occ * aj.occ);
          }
    }
  }
  return total * 7.19982;
}

std::unique_ptr<VELMORA_PROPERTY> li2o_property(const DataFiles& files, double sf = 0.75) {
  auto cell = ff_fixture::li2o();
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  capture(
      [&] {
        ppt = velmora_property_import_from_cell(cell.get(), nullptr, 0, sf,
                                                files.unitary.c_str(), files.binary.c_str());
      },
      nullptr, nullptr);
  return ppt;
}

// Li2O with every atom moved at random by up to 0.2 A, in a sheared cell,
// one Li half occupied.
std::unique_ptr<VELMORA_CELL> distorted_li2o(unsigned seed) {
  auto cell = ff_fixture::li2o();
  const double shear[3][3] = {{4.6114, 0.0, 0.0}, {0.3, 4.5, 0.0}, {-0.2, 0.4, 4.7}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) cell->a[i][j] = shear[i][j];
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-0.04, 0.04);
  for (VELMORA_ATOM& a : cell->atom)
    for (double& f : a.x_f) f += u(rng);
  cell->atom[3].occ = 0.5;
  velmora_cell_update_lattice_fractional(cell.get());
  velmora_cell_update_coordinate_cartesion(cell.get());
  return cell;
}

}  // namespace

TEST(PairFunctions, ValuesAndDerivatives) {
  const double d0 = 0.07, rmin = 1.9, b = 0.5;
  EXPECT_NEAR(velmora_energy_bonding(rmin, d0, rmin, b), -d0 / 2.0, 1e-15);
  const double en_s = velmora_energy_bonding(6.0, d0, rmin, b);
  EXPECT_EQ(velmora_energy_bonding_with_energy_shift(6.0, d0, rmin, b, en_s), 0.0);
  for (double q : {0.5, 1.0, 4.0})
    for (double reff : {0.8, 1.2, 3.0}) EXPECT_EQ(velmora_energy_coulombic(10.0, q, reff), 0.0);
  // Derivatives against central differences.
  for (double x : {1.2, 1.9, 2.7, 4.0}) {
    const double h = 1e-6;
    const double num_b =
        (velmora_energy_bonding(x + h, d0, rmin, b) - velmora_energy_bonding(x - h, d0, rmin, b)) /
        (2 * h);
    EXPECT_NEAR(velmora_force_bonding(x, d0, rmin, b), num_b, 1e-8);
    const double num_c =
        (velmora_energy_coulombic(x + h, 0.7, 1.1) - velmora_energy_coulombic(x - h, 0.7, 1.1)) /
        (2 * h);
    EXPECT_NEAR(velmora_force_coulombic(x, 0.7, 1.1), num_c, 1e-8);
  }
  EXPECT_EQ(velmora_pseudopotential_energy_bonding(2.0, 0.5, 0.0, -1.0), 1.0);
  EXPECT_EQ(velmora_pseudopotential_energy_coulombic(2.0, 0.5, 0.0, -1.0), 1.0);
}

TEST(CellEnergy, MatchesThePlainLoop) {
  DataFiles files;
  auto ppt = li2o_property(files);
  ASSERT_TRUE(ppt);
  for (unsigned seed : {1u, 2u}) {
    auto cell = distorted_li2o(seed);
    cell->atom[5].ignored = true;
    bool ok = false;
    const double e = velmora_cell_calculate_total_energy(cell.get(), ppt.get(), &ok);
    ASSERT_TRUE(ok);
    const double ref = reference_energy(*cell, *ppt, false);
    EXPECT_NEAR(e, ref, 1e-11 * std::fabs(ref));
    const double eu =
        velmora_cell_calculate_total_energy_unconstrained_part(cell.get(), ppt.get(), &ok);
    ASSERT_TRUE(ok);
    EXPECT_NEAR(eu, reference_energy(*cell, *ppt, true), 1e-11 * std::fabs(ref));
  }
}

TEST(CellEnergy, IgnoredAtomsCountHalfOrNot) {
  DataFiles files;
  auto ppt = li2o_property(files);
  ASSERT_TRUE(ppt);
  auto cell = ff_fixture::cubic_cell(4.0, {{"Li", 1, 0, 0, 0, 1.0}, {"O", -2, 0.5, 0.5, 0.5, 1.0}});
  bool ok = false;
  const double full = velmora_cell_calculate_total_energy(cell.get(), ppt.get(), &ok);
  EXPECT_DOUBLE_EQ(full, velmora_cell_calculate_total_energy_unconstrained_part(cell.get(),
                                                                                 ppt.get(), &ok));
  // Parts of the energy: Li-Li images (A), O-O images (B), Li-O bonds (C).
  auto li_only = ff_fixture::cubic_cell(4.0, {{"Li", 1, 0, 0, 0, 1.0}});
  auto o_only = ff_fixture::cubic_cell(4.0, {{"O", -2, 0.5, 0.5, 0.5, 1.0}});
  const double a = velmora_cell_calculate_total_energy(li_only.get(), ppt.get(), &ok);
  const double b = velmora_cell_calculate_total_energy(o_only.get(), ppt.get(), &ok);
  const double c = full - a - b;
  EXPECT_LT(c, 0.0);
  cell->atom[1].ignored = true;
  EXPECT_NEAR(velmora_cell_calculate_total_energy(cell.get(), ppt.get(), &ok), a + 0.5 * c,
              1e-10 * std::fabs(full));
  EXPECT_NEAR(velmora_cell_calculate_total_energy_unconstrained_part(cell.get(), ppt.get(), &ok),
              a, 1e-10 * std::fabs(full));
}

TEST(CellEnergy, SkipDistanceAndValidZero) {
  DataFiles files;
  auto ppt = li2o_property(files);
  ASSERT_TRUE(ppt);
  // Two Li ions alone in a 30 A cube: no image within reach.
  const double a = 30.0;
  auto close = ff_fixture::cubic_cell(a, {{"Li", 1, 0.5, 0.5, 0.5, 1.0},
                                          {"Li", 1, 0.5 + 0.29 / a, 0.5, 0.5, 1.0}});
  bool ok = false;
  EXPECT_EQ(velmora_cell_calculate_total_energy(close.get(), ppt.get(), &ok), 0.0);
  EXPECT_TRUE(ok);
  std::string err;
  capture([&] { EXPECT_EQ(velmora_cell_total_energy(close.get(), ppt.get(), &ok), 0.0); },
          nullptr, &err);
  EXPECT_TRUE(ok) << "an energy of exactly zero is a result, not a failure";
  EXPECT_EQ(err, "");
  auto apart = ff_fixture::cubic_cell(a, {{"Li", 1, 0.5, 0.5, 0.5, 1.0},
                                          {"Li", 1, 0.5 + 0.31 / a, 0.5, 0.5, 1.0}});
  const double q = ppt->uni[0].q * ppt->uni[0].q, reff = 0.75 * 1.52;
  const double d = velmora_vector3_double_distance(apart->atom[0].x, apart->atom[1].x);
  EXPECT_NEAR(velmora_cell_calculate_total_energy(apart.get(), ppt.get(), &ok),
              2.0 * 7.19982 * velmora_energy_coulombic(d, q, reff), 1e-9);
}

TEST(CellEnergy, UnknownSpeciesFails) {
  DataFiles files;
  auto ppt = li2o_property(files);
  auto cell = ff_fixture::rock_salt("Na", 1, "O", -2, 4.8);
  bool ok = true;
  std::string err;
  capture([&] { velmora_cell_calculate_total_energy(cell.get(), ppt.get(), &ok); }, nullptr,
          &err);
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Error: velmora_property_find_index() returns negative value.\n");
  capture([&] { velmora_cell_total_energy(nullptr, ppt.get(), &ok); }, nullptr, &err);
  EXPECT_EQ(err, "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
}

TEST(CellForce, IsMinusTheEnergyGradient) {
  DataFiles files;
  auto ppt = li2o_property(files);
  auto cell = distorted_li2o(3);
  VELMORA_VECTOR3_ARRAY force;
  ASSERT_EQ(velmora_cell_calculate_force(force, cell.get(), ppt.get()), 0);
  ASSERT_EQ(force.size(), cell->atom.size());
  // force = -dE/dx / (2 * 14.39964)
  const double h = 1e-5;
  for (int i : {0, 3, 9})
    for (int c = 0; c < 3; ++c) {
      auto moved = velmora_cell_copy(cell.get());
      moved->atom[i].x[c] += h;
      const double ep = velmora_cell_calculate_total_energy(moved.get(), ppt.get());
      moved->atom[i].x[c] -= 2 * h;
      const double em = velmora_cell_calculate_total_energy(moved.get(), ppt.get());
      EXPECT_NEAR(force[i][c], -(ep - em) / (2 * h) / 28.79928, 2e-7) << i << " " << c;
    }
  // Ignored atoms feel nothing.
  cell->atom[2].ignored = true;
  ASSERT_EQ(velmora_cell_calculate_force(force, cell.get(), ppt.get()), 0);
  EXPECT_EQ(force[2][0], 0.0);
  EXPECT_EQ(force[2][1], 0.0);
}

TEST(CellStress, CubicAndConsistentWithIsotropicStrain) {
  DataFiles files;
  auto ppt = li2o_property(files);
  auto cell = ff_fixture::li2o();
  double stress[3];
  ASSERT_EQ(velmora_cell_calculate_stress_diagonal(stress, cell.get(), ppt.get()), 0);
  EXPECT_NEAR(stress[0], stress[1], 1e-9);
  EXPECT_NEAR(stress[0], stress[2], 1e-9);
  // The trace equals the energy derivative under a uniform strain per volume.
  const double h = 1e-4, volume = velmora_cell_calculate_volume(cell.get());
  double e[2];
  for (int s = 0; s < 2; ++s) {
    auto strained = velmora_cell_copy(cell.get());
    double strain[3][3] = {};
    for (int k = 0; k < 3; ++k) strain[k][k] = s == 0 ? -h : h;
    ASSERT_EQ(velmora_cell_deform(strained.get(), strain), 0);
    e[s] = velmora_cell_calculate_total_energy(strained.get(), ppt.get());
  }
  EXPECT_NEAR(stress[0] + stress[1] + stress[2], (e[1] - e[0]) / (2 * h) / volume, 1e-6);
  // A squeezed cell pushes outwards: the energy falls when it is stretched.
  auto squeezed = ff_fixture::li2o(4.0);
  ASSERT_EQ(velmora_cell_calculate_stress_diagonal(stress, squeezed.get(), ppt.get()), 0);
  EXPECT_LT(stress[0], 0.0);
}

TEST(CellStrain, DeformAndUpdates) {
  auto cell = ff_fixture::li2o();
  const double strain[3][3] = {{0.01, 0, 0}, {0, 0, 0}, {0, 0, -0.02}};
  ASSERT_EQ(velmora_cell_deform(cell.get(), strain), 0);
  EXPECT_NEAR(cell->parameter[0], 4.6114 * 1.01, 1e-12);
  EXPECT_NEAR(cell->parameter[2], 4.6114 * 0.98, 1e-12);
  EXPECT_NEAR(cell->atom[1].x_f[0], ff_fixture::li2o()->atom[1].x_f[0], 1e-12);

  // Displacements wrap atoms back into the cell.
  VELMORA_VECTOR3_ARRAY shift(cell->atom.size(), {0.0, 0.0, 0.0});
  shift[0] = {-0.5, 0.0, 0.0};
  ASSERT_EQ(velmora_cell_update_coordinate(cell.get(), shift), 0);
  EXPECT_GE(cell->atom[0].x_f[0], 0.0);
  EXPECT_LT(cell->atom[0].x_f[0], 1.0);
}

TEST(CellStrain, StepSizeLimitsTheFastestAtom) {
  DataFiles files;
  auto ppt = li2o_property(files);
  auto cell = ff_fixture::li2o();
  VELMORA_VECTOR3_ARRAY force(cell->atom.size(), {0.0, 0.0, 0.0});
  // atom order: Li first after the build's sort.
  auto sorted = ff_fixture::li2o();
  velmora_atom_sort(sorted->atom);
  force[0] = {6.94 * 0.5, 0.0, 0.0};         // Li: 0.5 A
  force[11] = {0.0, 15.999 * 0.1, 0.0};      // O: 0.1 A
  VELMORA_VECTOR3_ARRAY step;
  ASSERT_EQ(velmora_cell_calculate_coordinate_step_size_simple(step, sorted.get(), ppt.get(),
                                                               force),
            0);
  EXPECT_NEAR(step[0][0], 0.1, 1e-12);
  EXPECT_NEAR(step[11][1], 0.02, 1e-12);
}

TEST(ScreeningFactor, FallsBackOnBadParameters) {
  DataFiles files;
  // Ba has softness 0 in the test data: no search, the default factor.
  auto cell = ff_fixture::ba_f2();
  std::string out;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  capture(
      [&] {
        ppt = velmora_property_import_from_cell(cell.get(), nullptr, 0, -1.0,
                                                files.unitary.c_str(), files.binary.c_str());
      },
      &out, nullptr);
  ASSERT_TRUE(ppt);
  EXPECT_DOUBLE_EQ(ppt->sf, 0.75);
  EXPECT_NE(out.find("Warning: velmora_property_validate_generic() returns non-zero.\n"
                     "Message: default screening factor used 0.750000.\n"),
            std::string::npos);
}

TEST(NeighborBins, GatherEqualsTheFullScan) {
  // A long image list (bins on) against the same list without bins.
  auto cell = distorted_li2o(5);
  const long range[3] = {3, 3, 3};
  VELMORA_NEIGHBOR nb = velmora_neighbor_build(*cell, range, 10.0);
  ASSERT_GT(nb.bin_edge, 0.0);
  VELMORA_NEIGHBOR plain = nb;
  plain.bin_edge = 0.0;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-20.0, 25.0), radius(0.0, 16.0);
  std::vector<int> a, b;
  for (int k = 0; k < 200; ++k) {
    const double c[3] = {u(rng), u(rng), u(rng)};
    const double r = radius(rng);
    velmora_neighbor_gather(a, nb, c, r);
    velmora_neighbor_gather(b, plain, c, r);
    ASSERT_EQ(a, b) << k;
  }
  // Centres on image positions, radius exactly an image distance.
  for (int img : {0, 17, 400}) {
    velmora_neighbor_gather(a, nb, &nb.x[3 * img], 4.6114);
    velmora_neighbor_gather(b, plain, &nb.x[3 * img], 4.6114);
    EXPECT_EQ(a, b);
  }
}

// Pair terms beyond the memory budget are found again at each evaluation
// instead of stored: the energy is the same to the last bit, for any
// screening factor, and no term is kept.
TEST(PairSum, OverTheBudgetTheTermsAreRecomputedToTheSameBits) {
  DataFiles files;
  auto ppt = li2o_property(files);
  ASSERT_TRUE(ppt);
  for (unsigned seed : {3u, 4u}) {
    auto cell = distorted_li2o(seed);
    cell->atom[2].ignored = true;
    for (bool unconstrained : {false, true}) {
      VELMORA_PAIR_SUM kept, again;
      ASSERT_EQ(velmora_pair_sum_build(kept, cell.get(), ppt.get(), unconstrained), 0);
      ASSERT_EQ(velmora_pair_sum_build(again, cell.get(), ppt.get(), unconstrained, 64.0), 0);
      EXPECT_TRUE(kept.stored);
      EXPECT_FALSE(again.stored);
      EXPECT_TRUE(again.term.empty());
      for (double sf : {0.6, 0.75, 0.9}) {
        ppt->sf = sf;
        const double a = velmora_pair_sum_energy(kept, ppt.get());
        const double b = velmora_pair_sum_energy(again, ppt.get());
        EXPECT_EQ(a, b) << "sf " << sf;
        EXPECT_NEAR(a, reference_energy(*cell, *ppt, unconstrained), 1e-10 * std::fabs(a));
      }
    }
  }
}

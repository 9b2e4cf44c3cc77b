// Molecular dynamics against independent results: forces against central
// differences of the physical energy, the plain image loop and any thread
// count; energy conservation with the thermostat off, its fluctuation
// scaling with dt^2; the discrete Langevin thermostat's stationary
// temperature T / (1 - zeta dt / 4) and the free-particle D(t) of Langevin
// dynamics; sampling interval and results of a short run.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ff_fixture.h"
#include "velmora-import.h"
#include "velmora-md.h"

using ff_fixture::capture;
using ff_fixture::DataFiles;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Li2O in a sheared cell with the atoms moved at random; Li mobile, O fixed.
std::unique_ptr<VELMORA_MD> li2o_md(const DataFiles& files, int super = 1, unsigned seed = 3) {
  auto cell = ff_fixture::li2o();
  const double shear[3][3] = {{4.6114, 0.0, 0.0}, {0.3, 4.5, 0.0}, {-0.2, 0.4, 4.7}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) cell->a[i][j] = shear[i][j];
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-0.03, 0.03);
  for (VELMORA_ATOM& a : cell->atom)
    for (double& f : a.x_f) f += u(rng);
  velmora_cell_update_lattice_fractional(cell.get());
  velmora_cell_update_coordinate_cartesion(cell.get());
  if (super > 1) {
    const int n[3] = {super, super, super};
    cell = velmora_cell_supercell(cell.get(), n);
  }
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  capture(
      [&] {
        ppt = velmora_property_import_from_cell(cell.get(), "Li", 1, 0.75, files.unitary.c_str(),
                                                files.binary.c_str());
      },
      nullptr, nullptr);
  if (!ppt || velmora_property_set_conducting(ppt.get(), "Li", 1) != 0) return nullptr;
  for (VELMORA_ATOM& a : cell->atom) a.ignored = a.os < 0;
  return velmora_md_new(cell.get(), ppt.get());
}

// n Li ions that exert no force (charge parameter 0) in a cube of edge a.
std::unique_ptr<VELMORA_MD> free_md(int n, double a, unsigned seed) {
  auto cell = std::make_unique<VELMORA_CELL>();
  cell->atom.resize(n);
  cell->total = n;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int d = 0; d < 3; ++d) cell->a[d][d] = a;
  for (int i = 0; i < n; ++i) {
    VELMORA_ATOM& at = cell->atom[i];
    std::snprintf(at.name, sizeof at.name, "Li%d", i + 1);
    std::snprintf(at.type, sizeof at.type, "Li");
    at.os = 1;
    at.occ = 1.0;
    for (int c = 0; c < 3; ++c) at.x_f[c] = u(rng);
  }
  velmora_cell_update_lattice_fractional(cell.get());
  velmora_cell_update_coordinate_cartesion(cell.get());
  VELMORA_PROPERTY p;
  p.total = 1;
  p.type = {{'L', 'i', 0}};
  p.os = {1};
  p.uni.resize(1);
  p.uni[0].q = 0.0;
  p.uni[0].rc = 0.76;
  p.uni[0].m = 6.94;
  p.bin.assign(1, std::vector<VELMORA_PROPERTY_BINARY>(1));
  p.sf = 1.0;
  p.conducting = 0;
  return velmora_md_new(cell.get(), &p);
}

double temperature_now(VELMORA_MD* md) {
  velmora_md_calculate_energy_kinetic(md);
  velmora_md_calculate_temperature(md);
  return md->temperature;
}

}  // namespace

TEST(VelmoraMd, ForcesAreMinusTheGradientOfThePhysicalEnergy) {
  DataFiles files;
  auto md = li2o_md(files);
  ASSERT_TRUE(md);
  std::srand(1);
  ASSERT_EQ(velmora_md_init_vv(md.get()), 0);
  EXPECT_NE(md->en_p, md->en_p_phys);  // mobile-fixed pairs: half against full
  const double h = 1e-5;
  double largest = 0.0;
  for (int i : md->mobile) {
    ASSERT_EQ(velmora_md_calculate_force(md.get()), 0);
    const auto f = md->f[i];
    const auto p = md->x[i];
    for (int c = 0; c < 3; ++c) {
      double q[3] = {p[0], p[1], p[2]};
      q[c] = p[c] + h;
      velmora_md_set_position(md.get(), i, q);
      ASSERT_EQ(velmora_md_calculate_energy_potential(md.get()), 0);
      const double up = md->en_p_phys;
      q[c] = p[c] - h;
      velmora_md_set_position(md.get(), i, q);
      ASSERT_EQ(velmora_md_calculate_energy_potential(md.get()), 0);
      const double down = md->en_p_phys;
      velmora_md_set_position(md.get(), i, p.data());
      EXPECT_NEAR(f[c], -(up - down) / (2 * h), 1e-5 * std::fmax(1.0, std::fabs(f[c])))
          << "atom " << i << " axis " << c;
      largest = std::fmax(largest, std::fabs(f[c]));
    }
  }
  EXPECT_GT(largest, 0.5);  // the distortion leaves real forces to check
}

TEST(VelmoraMd, ListsMatchThePlainLoopOnAnyThreadCount) {
  DataFiles files;
  VELMORA_VECTOR3_ARRAY x[3];
  for (int run = 0; run < 3; ++run) {
    auto md = li2o_md(files, 2);
    ASSERT_TRUE(md);
    md->progress = false;
    md->direct = run == 2;
    md->thread_threshold = 0;  // threads on every step
    md->temperature_target = 800.0;
    omp_set_num_threads(run == 0 ? 1 : 2);
    std::srand(5);
    ASSERT_EQ(velmora_md_init_vv(md.get()), 0);
    for (int k = 0; k < (kSanitized ? 10 : 60); ++k)
      ASSERT_EQ(velmora_md_update_vv_langevin(md.get()), 0);
    x[run] = md->x;
  }
  omp_set_num_threads(omp_get_num_procs());
  for (std::size_t i = 0; i < x[0].size(); ++i)
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(x[0][i][c], x[1][i][c]) << "atom " << i;  // bit for bit
      EXPECT_NEAR(x[0][i][c], x[2][i][c], 1e-9) << "atom " << i;
    }
}

// Velocity Verlet with negligible friction: no drift, and fluctuations that
// shrink fourfold when the step is halved.
TEST(VelmoraMd, EnergyIsConservedWithFluctuationsScalingAsDtSquared) {
  DataFiles files;
  double spread[2] = {};
  for (int k = 0; k < 2; ++k) {
    auto md = li2o_md(files);
    ASSERT_TRUE(md);
    md->dt = k == 0 ? 0.001 : 0.0005;
    md->zeta = 1e-12;
    std::srand(9);
    ASSERT_EQ(velmora_md_init_vv(md.get()), 0);
    // Velocities of 300 K, zero total momentum.
    std::mt19937 rng(4);
    double p[3] = {};
    for (int i : md->mobile)
      for (int c = 0; c < 3; ++c) {
        std::normal_distribution<double> g(0.0, std::sqrt(VELMORA_KB * 300.0 / md->m[i]));
        md->v[i][c] = g(rng);
        p[c] += md->m[i] * md->v[i][c];
      }
    for (int i : md->mobile)
      for (int c = 0; c < 3; ++c) md->v[i][c] -= p[c] / md->m[i] / md->mobile.size();
    const int steps = static_cast<int>(std::lround(0.2 / md->dt));
    std::vector<double> en;
    for (int s = 0; s <= steps; ++s) {
      ASSERT_EQ(velmora_md_calculate_energy(md.get()), 0);
      en.push_back(md->en_phys);
      if (s < steps) {
        ASSERT_EQ(velmora_md_update_vv_langevin(md.get()), 0);
      }
    }
    double mean = 0.0, var = 0.0;
    for (double e : en) mean += e / en.size();
    for (double e : en) var += (e - mean) * (e - mean) / en.size();
    spread[k] = std::sqrt(var);
    // No drift: the first and last fifths agree within the fluctuation.
    const std::size_t fifth = en.size() / 5;
    double head = 0.0, tail = 0.0;
    for (std::size_t s = 0; s < fifth; ++s) {
      head += en[s] / fifth;
      tail += en[en.size() - 1 - s] / fifth;
    }
    EXPECT_LT(std::fabs(tail - head), 2.0 * spread[k]);
  }
  const double ratio = spread[0] / spread[1];
  EXPECT_GT(ratio, 3.2);
  EXPECT_LT(ratio, 4.8);
  std::printf("energy spread %.3e eV at 1 fs, %.3e eV at 0.5 fs: ratio %.2f\n", spread[0],
              spread[1], ratio);
}

// Without forces the half kicks give <v^2> = (kT/m) / (1 - zeta dt / 4).
TEST(VelmoraMd, ThermostatStationaryTemperature) {
  const double cases[2][2] = {{20.0, 0.05}, {10.0, 0.04}};  // zeta, dt
  for (const auto& z : cases) {
    auto md = free_md(64, 20.0, 2);
    ASSERT_TRUE(md);
    md->temperature_target = 300.0;
    md->zeta = z[0];
    md->dt = z[1];
    std::srand(17);
    ASSERT_EQ(velmora_md_init_vv(md.get()), 0);
    const int steps = kSanitized ? 400 : 1500;
    double sum = 0.0;
    for (int s = 0; s < steps + 50; ++s) {
      ASSERT_EQ(velmora_md_update_vv_langevin(md.get()), 0);
      if (s >= 50) sum += temperature_now(md.get()) / steps;
    }
    const double expect = 300.0 / (1.0 - z[0] * z[1] / 4.0);
    EXPECT_NEAR(sum, expect, (kSanitized ? 0.04 : 0.02) * expect) << "zeta " << z[0];
  }
}

// Free Langevin particles: D(t) = MSD / 6t = kT/(m zeta) [1 - (1 - exp(-zeta t)) / (zeta t)].
TEST(VelmoraMd, FreeLangevinDiffusionFollowsItsCurve) {
  const int n = kSanitized ? 128 : 384;
  auto md = free_md(n, 40.0, 8);
  ASSERT_TRUE(md);
  md->progress = false;
  md->temperature_target = 300.0;
  md->zeta = 2.0;
  md->dt = 0.002;
  md->t_equil = 2.5;
  md->t_log = 0.05;
  std::srand(23);
  ASSERT_EQ(velmora_md_init_vv(md.get()), 0);
  ASSERT_EQ(velmora_md_equilibrate(md.get()), 0);
  const double m = 6.94 * VELMORA_AMU_TO_EV_PS2_A2;
  const double limit = VELMORA_KB * 300.0 / (m * 2.0);
  const double error = 4.0 * 0.82 / std::sqrt(static_cast<double>(n));  // relative, 4 sigma
  for (double t : {0.25, 1.0}) {
    md->t_end = t;
    ASSERT_EQ(velmora_md_run(md.get()), 0);
    EXPECT_NEAR(md->t, t, 1e-9);
    const double expect = limit * (1.0 - (1.0 - std::exp(-2.0 * t)) / (2.0 * t));
    EXPECT_NEAR(md->diffusivity, expect, error * expect) << "t = " << t;
  }
}

TEST(VelmoraMd, SamplingIntervalIsRoundedAndShortRunsGiveResults) {
  auto md = free_md(8, 20.0, 1);
  ASSERT_TRUE(md);
  md->progress = false;
  md->t_log = 0.7;
  md->dt = 0.001;
  md->t_equil = 0.01;
  md->t_end = 0.05;  // shorter than one sampling interval
  std::srand(2);
  ASSERT_EQ(velmora_md_init_vv(md.get()), 0);
  EXPECT_EQ(md->step_log, 700);
  EXPECT_DOUBLE_EQ(md->t_log, 0.7);
  ASSERT_EQ(velmora_md_equilibrate(md.get()), 0);
  ASSERT_EQ(velmora_md_run(md.get()), 0);
  EXPECT_GT(md->diffusivity, 0.0);
  EXPECT_GT(md->temperature_ave, 0.0);
  EXPECT_TRUE(std::isfinite(md->mobility) && md->mobility > 0.0);
}

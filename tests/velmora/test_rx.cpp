// Relaxations: the persistent pair list against the plain cell sums and
// against finite differences of the energy, steepest descent (a displaced
// atom returns with the energy never rising, fixed atoms stay, the pressure
// test of every stress component, the step limit, lattice-only steps, the
// fixed-atom column of a CIF), and the nudged elastic band (interpolation,
// validation, a band through a frozen host against the landscape, final
// files at the step limit, independence of the thread count).
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "ff_fixture.h"
#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-rx.h"

using ff_fixture::capture;
using ff_fixture::DataFiles;

namespace {

std::unique_ptr<VELMORA_PROPERTY> property_of(VELMORA_CELL* cell, const DataFiles& files,
                                              double sf = 0.75) {
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  capture(
      [&] {
        ppt = velmora_property_import_from_cell(cell, nullptr, 0, sf, files.unitary.c_str(),
                                                files.binary.c_str());
      },
      nullptr, nullptr);
  return ppt;
}

// Li2O in a sheared cell with every atom moved at random.
std::unique_ptr<VELMORA_CELL> distorted_li2o(unsigned seed, double move = 0.04) {
  auto cell = ff_fixture::li2o();
  const double shear[3][3] = {{4.6114, 0.0, 0.0}, {0.3, 4.5, 0.0}, {-0.2, 0.4, 4.7}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) cell->a[i][j] = shear[i][j];
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-move, move);
  for (VELMORA_ATOM& a : cell->atom)
    for (double& f : a.x_f) f += u(rng);
  velmora_cell_update_lattice_fractional(cell.get());
  velmora_cell_update_coordinate_cartesion(cell.get());
  return cell;
}

// The physical energy whose gradient the forces are: the total energy
// counts a pair of a free and a fixed atom half, the forces count it fully.
double physical_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt) {
  return 2.0 * velmora_cell_calculate_total_energy(cell, ppt) -
         velmora_cell_calculate_total_energy_unconstrained_part(cell, ppt);
}

// Shortest difference of two points of a cell under lattice translations.
void min_image(double out[3], const VELMORA_CELL* cell, const double a[3], const double b[3]) {
  VELMORA_ATOM p, q;
  for (int c = 0; c < 3; ++c) {
    p.x[c] = a[c];
    q.x[c] = b[c];
  }
  velmora_cell_min_vector_btw_atoms(out, cell, &p, &q);
}

std::vector<double> step_energies(const std::string& out) {
  std::vector<double> en;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t k = line.find("; en=");
    if (line.rfind("RX_SD: step=", 0) == 0 && k != std::string::npos)
      en.push_back(std::stod(line.substr(k + 5)));
  }
  return en;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

// ------------------------------------------------------------ pair list ----

TEST(PairList, OnePassEqualsThePlainSums) {
  DataFiles files;
  auto cell = distorted_li2o(5);
  cell->atom[3].occ = 0.5;
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  cell->atom[1].ignored = cell->atom[7].ignored = true;
  VELMORA_PAIR_LIST list;
  VELMORA_PAIR_EVAL ev;
  ASSERT_EQ(velmora_pair_list_evaluate(ev, list, cell.get(), ppt.get(), true, true), 0);
  const double en = velmora_cell_calculate_total_energy(cell.get(), ppt.get());
  const double eu = velmora_cell_calculate_total_energy_unconstrained_part(cell.get(), ppt.get());
  EXPECT_NEAR(ev.en, en, 1e-11 * std::fabs(en));
  EXPECT_NEAR(ev.en_unconstrained, eu, 1e-11 * std::fabs(eu));
  VELMORA_VECTOR3_ARRAY force;
  ASSERT_EQ(velmora_cell_calculate_force(force, cell.get(), ppt.get()), 0);
  for (std::size_t i = 0; i < force.size(); ++i)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(ev.force[i][c], force[i][c], 1e-12) << i;
  double stress[3];
  ASSERT_EQ(velmora_cell_calculate_stress_diagonal(stress, cell.get(), ppt.get()), 0);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(ev.stress[k], stress[k], 1e-9) << k;
}

TEST(PairList, ForcesAndStressAreEnergyDerivatives) {
  DataFiles files;
  auto cell = distorted_li2o(9);
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  // Without fixed atoms the forces are -dE/dx of the total energy, with
  // fixed atoms of the physical energy 2 E - E_unconstrained; in the unit
  // of the program, eV/A over 2 * 14.39964.
  for (bool with_fixed : {false, true}) {
    cell->atom[2].ignored = cell->atom[10].ignored = with_fixed;
    VELMORA_PAIR_LIST list;
    VELMORA_PAIR_EVAL ev;
    ASSERT_EQ(velmora_pair_list_evaluate(ev, list, cell.get(), ppt.get(), false, false), 0);
    const double h = 1e-5;
    for (int i : {0, 4, 9, 11})
      for (int c = 0; c < 3; ++c) {
        auto moved = velmora_cell_copy(cell.get());
        moved->atom[i].x[c] += h;
        const double ep = physical_energy(moved.get(), ppt.get());
        moved->atom[i].x[c] -= 2 * h;
        const double em = physical_energy(moved.get(), ppt.get());
        EXPECT_NEAR(ev.force[i][c] * 2.0 * VELMORA_COULOMB, -(ep - em) / (2 * h), 2e-6)
            << i << " " << c << " fixed " << with_fixed;
      }
    EXPECT_EQ(ev.force[2][0], with_fixed ? 0.0 : ev.force[2][0]);
  }
  // Stress: the energy derivative per volume under a strain along each
  // axis, by central differences with a step ten times smaller than the
  // program's own.
  for (VELMORA_ATOM& a : cell->atom) a.ignored = false;
  VELMORA_PAIR_LIST list;
  VELMORA_PAIR_EVAL ev;
  ASSERT_EQ(velmora_pair_list_evaluate(ev, list, cell.get(), ppt.get(), true, false), 0);
  const double volume = velmora_cell_calculate_volume(cell.get());
  for (int k = 0; k < 3; ++k) {
    double e[2];
    for (int s = 0; s < 2; ++s) {
      auto strained = velmora_cell_copy(cell.get());
      double strain[3][3] = {};
      strain[k][k] = s == 0 ? -1e-5 : 1e-5;
      ASSERT_EQ(velmora_cell_deform(strained.get(), strain), 0);
      e[s] = velmora_cell_calculate_total_energy(strained.get(), ppt.get());
    }
    EXPECT_NEAR(ev.stress[k], (e[1] - e[0]) / 2e-5 / volume, 1e-6) << k;
  }
}

TEST(PairList, FollowsWrappedAtomsAndRebuildsBeyondHalfTheSkin) {
  DataFiles files;
  auto cell = distorted_li2o(2);
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  VELMORA_PAIR_LIST list;
  VELMORA_PAIR_EVAL ev;
  ASSERT_EQ(velmora_pair_list_evaluate(ev, list, cell.get(), ppt.get(), false, false), 0);
  EXPECT_EQ(list.builds, 1);
  // Move atom 0 by 0.3 A across the cell face (wrapped back in) and the
  // others a little: the list still covers every pair and is kept.
  auto check = [&](long builds) {
    ASSERT_EQ(velmora_pair_list_evaluate(ev, list, cell.get(), ppt.get(), false, false), 0);
    EXPECT_EQ(list.builds, builds);
    const double en = velmora_cell_calculate_total_energy(cell.get(), ppt.get());
    EXPECT_NEAR(ev.en, en, 1e-11 * std::fabs(en));
    VELMORA_VECTOR3_ARRAY force;
    ASSERT_EQ(velmora_cell_calculate_force(force, cell.get(), ppt.get()), 0);
    for (std::size_t i = 0; i < force.size(); ++i)
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(ev.force[i][c], force[i][c], 1e-12);
  };
  VELMORA_VECTOR3_ARRAY dx(cell->atom.size(), {0.01, -0.02, 0.015});
  std::size_t edge = 0;  // an atom near the face x = 0 (an O of the origin)
  for (std::size_t i = 0; i < cell->atom.size(); ++i)
    if (std::fabs(cell->atom[i].x_f[0]) < std::fabs(cell->atom[edge].x_f[0])) edge = i;
  ASSERT_LT(std::fabs(cell->atom[edge].x_f[0]), 0.05);
  // Along x only the first fractional coordinate changes (a0 lies on x).
  dx[edge] = {(-0.03 - cell->atom[edge].x_f[0]) * cell->a[0][0], 0.0, 0.0};
  ASSERT_EQ(velmora_cell_update_coordinate(cell.get(), dx), 0);
  EXPECT_NEAR(cell->atom[edge].x_f[0], 0.97, 1e-9);  // wrapped to the other face
  check(1);
  // A move beyond half the skin makes the list anew.
  VELMORA_VECTOR3_ARRAY far(cell->atom.size(), {0.0, 0.0, 0.0});
  far[5] = {0.6, 0.0, 0.0};
  ASSERT_EQ(velmora_cell_update_coordinate(cell.get(), far), 0);
  check(2);
}

TEST(PairList, ResultDoesNotDependOnTheThreadCount) {
  DataFiles files;
  auto base = distorted_li2o(4);
  const int n[3] = {4, 4, 4};
  auto cell = velmora_cell_supercell(base.get(), n);
  ASSERT_TRUE(cell);
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  VELMORA_PAIR_LIST a, b;
  VELMORA_PAIR_EVAL ea, eb;
  ASSERT_EQ(velmora_pair_list_evaluate(ea, a, cell.get(), ppt.get(), true, false), 0);
  ASSERT_EQ(velmora_pair_list_evaluate(eb, b, cell.get(), ppt.get(), true, true), 0);
  ASSERT_GT(a.entry.size(), 200000u);  // long enough to run on threads
  EXPECT_EQ(ea.en, eb.en);
  EXPECT_EQ(ea.force, eb.force);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(ea.stress[k], eb.stress[k]);
}

// ----------------------------------------------------- steepest descent ----

TEST(RelaxSd, DisplacedAtomReturnsWithTheEnergyNeverRising) {
  DataFiles files;
  auto ideal = ff_fixture::li2o();
  auto ppt = property_of(ideal.get(), files, 0.75);
  ASSERT_TRUE(ppt);
  auto cell = velmora_cell_copy(ideal.get());
  cell->atom[6].x[0] += 0.2;  // a Li, 0.2 A off its site
  velmora_cell_update_coordinate_fractional(cell.get());
  std::string out, trajectory;
  std::unique_ptr<VELMORA_CELL> relaxed;
  capture(
      [&] {
        relaxed = velmora_cell_relax_sd(cell.get(), ppt.get(), 20000, 0, 1e-7, 0.0, &trajectory);
      },
      &out, nullptr);
  ASSERT_TRUE(relaxed) << out;
  EXPECT_NE(out.find("RX_SD: convergence reached."), std::string::npos);
  const std::vector<double> en = step_energies(out);
  ASSERT_GT(en.size(), 10u);
  for (std::size_t k = 1; k < en.size(); ++k) EXPECT_LE(en[k], en[k - 1] + 1e-9) << k;
  // Mass-weighted steps keep the mass-weighted centre, which the
  // displacement moved: the result is the ideal crystal shifted as a
  // whole.
  double shift[3] = {0, 0, 0};
  const double total = static_cast<double>(ideal->atom.size());
  for (std::size_t i = 0; i < ideal->atom.size(); ++i) {
    double d[3];
    min_image(d, ideal.get(), ideal->atom[i].x, relaxed->atom[i].x);
    for (int c = 0; c < 3; ++c) shift[c] += d[c] / total;
  }
  for (std::size_t i = 0; i < ideal->atom.size(); ++i) {
    double d[3];
    min_image(d, ideal.get(), ideal->atom[i].x, relaxed->atom[i].x);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(d[c] - shift[c], 0.0, 1e-3) << i << " " << c;
  }
  // The trajectory holds the first and the last frame with their energies.
  EXPECT_EQ(trajectory.rfind("12\nLattice=", 0), 0u);
  EXPECT_NE(trajectory.find(" step=0\n"), std::string::npos) << trajectory.substr(0, 400);
  // Thinned to at most 1000 frames plus the last.
  std::size_t frames = 0;
  for (std::size_t at = trajectory.find("Lattice="); at != std::string::npos;
       at = trajectory.find("Lattice=", at + 1))
    ++frames;
  EXPECT_LE(frames, 1001u);
  EXPECT_GE(frames, 2u);
}

// The force criterion is in eV/A: at convergence no atom feels more than
// f_conv, measured as the central difference of the energy in eV (free of
// the program's force unit), and the run needs more steps than a looser
// criterion.
TEST(RelaxSd, ConvergesWhenTheLargestForceInEvPerAIsBelowTheCriterion) {
  DataFiles files;
  auto ideal = ff_fixture::li2o();
  auto ppt = property_of(ideal.get(), files, 0.75);
  ASSERT_TRUE(ppt);
  auto cell = velmora_cell_copy(ideal.get());
  cell->atom[6].x[0] += 0.2;
  velmora_cell_update_coordinate_fractional(cell.get());
  std::size_t steps[2];
  const double f_conv[2] = {0.2, 0.02};
  for (int run = 0; run < 2; ++run) {
    std::string out, trajectory;
    std::unique_ptr<VELMORA_CELL> relaxed;
    capture([&] {
      relaxed = velmora_cell_relax_sd(cell.get(), ppt.get(), 20000, 0, f_conv[run], 0.0,
                                      &trajectory);
    }, &out, nullptr);
    ASSERT_TRUE(relaxed);
    ASSERT_NE(out.find("RX_SD: convergence reached."), std::string::npos);
    steps[run] = step_energies(out).size();
    double largest = 0.0;
    const double h = 1e-5;
    for (std::size_t i = 0; i < relaxed->atom.size(); ++i) {
      double f2 = 0.0;
      for (int c = 0; c < 3; ++c) {
        auto moved = velmora_cell_copy(relaxed.get());
        moved->atom[i].x[c] += h;
        const double ep = velmora_cell_calculate_total_energy(moved.get(), ppt.get());
        moved->atom[i].x[c] -= 2 * h;
        const double em = velmora_cell_calculate_total_energy(moved.get(), ppt.get());
        f2 += std::pow((ep - em) / (2 * h), 2);
      }
      largest = std::max(largest, std::sqrt(f2));
    }
    EXPECT_LE(largest, f_conv[run] + 1e-5) << f_conv[run];
    // The relaxation stops as soon as it may: the last force is close to
    // the criterion, not far below it.
    EXPECT_GT(largest, 0.3 * f_conv[run]) << f_conv[run];
    // The trajectory's last frame carries the same forces in eV/A.
    const std::string last = trajectory.substr(trajectory.rfind("Lattice="));
    std::istringstream in(last);
    std::string line;
    std::getline(in, line);
    double written = 0.0;
    while (std::getline(in, line)) {
      std::istringstream row(line);
      std::string type;
      double x[3], f[3];
      if (!(row >> type >> x[0] >> x[1] >> x[2] >> f[0] >> f[1] >> f[2])) break;
      written = std::max(written, std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]));
    }
    EXPECT_NEAR(written, largest, 1e-4);
  }
  EXPECT_GT(steps[1], steps[0]);
}

TEST(RelaxSd, FixedAtomsStayWhereTheyAre) {
  DataFiles files;
  auto cell = distorted_li2o(7, 0.03);
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  for (int i : {0, 1, 2, 3, 4, 5}) cell->atom[i].ignored = true;
  std::unique_ptr<VELMORA_CELL> relaxed;
  std::string out;
  capture([&] { relaxed = velmora_cell_relax_sd(cell.get(), ppt.get(), 20000, 0, 1e-6, 0.0); },
          &out, nullptr);
  ASSERT_TRUE(relaxed);
  double moved_free = 0.0;
  for (std::size_t i = 0; i < cell->atom.size(); ++i) {
    double d[3];
    min_image(d, cell.get(), cell->atom[i].x, relaxed->atom[i].x);
    const double length = velmora_vector3_double_length(d);
    if (cell->atom[i].ignored)
      EXPECT_LT(length, 1e-12) << i;
    else
      moved_free = std::max(moved_free, length);
  }
  EXPECT_GT(moved_free, 1e-3);
  // The free atoms end where the physical forces on them vanish.
  VELMORA_VECTOR3_ARRAY force;
  ASSERT_EQ(velmora_cell_calculate_force(force, relaxed.get(), ppt.get()), 0);
  for (const auto& f : force) EXPECT_LE(velmora_vector3_double_length(f.data()), 1e-5);
}

TEST(RelaxSd, PressureTestNeedsEveryStressComponent) {
  DataFiles files;
  // Rock salt stretched along x and squeezed along y: stresses of
  // opposite sign whose sum is far smaller than either.
  auto start = ff_fixture::rock_salt("Li", 1, "F", -1, 4.03);
  auto ppt = property_of(start.get(), files, 0.75);
  ASSERT_TRUE(ppt);
  // First the stress-free cube (lattice steps only).
  std::unique_ptr<VELMORA_CELL> cell;
  capture([&] { cell = velmora_cell_relax_sd(start.get(), ppt.get(), -400, 0, 0.0, 1e-9); },
          nullptr, nullptr);
  ASSERT_TRUE(cell);
  const double strain[3][3] = {{0.01, 0, 0}, {0, -0.0098, 0}, {0, 0, 0}};
  ASSERT_EQ(velmora_cell_deform(cell.get(), strain), 0);
  double stress[3];
  ASSERT_EQ(velmora_cell_calculate_stress_diagonal(stress, cell.get(), ppt.get()), 0);
  const double sum = std::fabs(stress[0] + stress[1] + stress[2]);
  const double largest = std::max(std::fabs(stress[0]), std::fabs(stress[1]));
  ASSERT_LT(4.0 * sum, largest);
  auto rx = velmora_rx_sd_new(cell.get(), ppt.get());
  rx->step_limit = 1;
  rx->step_p = 1;
  rx->p_conv = 0.5 * (sum + largest);
  std::string out;
  capture([&] { ASSERT_EQ(velmora_rx_sd_run(rx.get()), 0); }, &out, nullptr);
  EXPECT_FALSE(rx->converged);
  EXPECT_NEAR(rx->p, stress[0] + stress[1] + stress[2], 1e-9);  // the printed p is the sum
  EXPECT_NE(out.find("Warning: step limit reached without achieving convergence."),
            std::string::npos);
  // A step limit is no convergence, and the run does not say so.
  EXPECT_EQ(out.find("RX_SD: convergence reached."), std::string::npos);
  EXPECT_NE(out.find("RX_SD: total energy = "), std::string::npos);
}

TEST(RelaxSd, LatticeOnlyStepsKeepTheFractionalCoordinates) {
  DataFiles files;
  auto cell = distorted_li2o(11, 0.02);
  auto ppt = property_of(cell.get(), files);
  ASSERT_TRUE(ppt);
  std::unique_ptr<VELMORA_CELL> relaxed;
  std::string out;
  capture([&] { relaxed = velmora_cell_relax_sd(cell.get(), ppt.get(), -5, 0, 0.0, 1e-12); }, &out,
          nullptr);
  ASSERT_TRUE(relaxed);
  EXPECT_NE(out.find("RX_SD: step_limit=-5; step_p=1;"), std::string::npos);
  EXPECT_EQ(step_energies(out).size(), 5u);
  EXPECT_NE(out.find("Warning: step limit reached"), std::string::npos);
  for (std::size_t i = 0; i < cell->atom.size(); ++i)
    for (int c = 0; c < 3; ++c) {
      const double d = relaxed->atom[i].x_f[c] - cell->atom[i].x_f[c];
      EXPECT_NEAR(d - std::round(d), 0.0, 1e-12);
    }
  EXPECT_NE(relaxed->a[0][0], cell->a[0][0]);
}

TEST(RelaxSd, FixedColumnOfTheCif) {
  DataFiles files;
  char dir[] = "/tmp/velmora_rx_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string path = std::string(dir) + "/fixed.cif";
  std::ofstream(path) << "data_x\n_cell_length_a 4.6114\n_cell_length_b 4.6114\n"
                         "_cell_length_c 4.6114\n_cell_angle_alpha 90\n_cell_angle_beta 90\n"
                         "_cell_angle_gamma 90\n_symmetry_space_group_name_H-M 'F m -3 m'\n"
                         "loop_\n_symmetry_equiv_pos_as_xyz\n'x,y,z'\n'x,y+1/2,z+1/2'\n"
                         "'x+1/2,y,z+1/2'\n'x+1/2,y+1/2,z'\n"
                         "loop_\n_atom_site_label\n_atom_site_type_symbol\n"
                         "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
                         "_atom_site_occupancy\n_atom_site_velmora_fixed\n"
                         "O1 O2- 0 0 0 1 t\nLi1 Li1+ 0.25 0.25 0.25 1 f\n"
                         "Li2 Li1+ 0.75 0.75 0.75 1 True\n";
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  capture(
      [&] {
        ASSERT_EQ(velmora_cell_import_cif_from_file(cell, symmetry, path.c_str(),
                                                    files.unitary.c_str(), files.unitary.c_str()),
                  0);
      },
      nullptr, nullptr);
  ASSERT_TRUE(cell);
  // The listed sites are fixed; their copies by the centring, elsewhere,
  // stay free.
  ASSERT_EQ(velmora_cell_import_cif_read_constraint(cell.get(), path.c_str()), 0);
  int fixed = 0;
  for (const VELMORA_ATOM& a : cell->atom) {
    const bool listed_place = std::fabs(a.x_f[0] - (a.name[0] == 'O' ? 0.0
                                                    : a.name[2] == '1' ? 0.25 : 0.75)) < 1e-9 &&
                              std::fabs(a.x_f[1] - a.x_f[0]) < 1e-9 &&
                              std::fabs(a.x_f[2] - a.x_f[0]) < 1e-9;
    const bool want = listed_place && std::string(a.name) != "Li1";
    EXPECT_EQ(a.ignored, want) << a.name << " " << a.x_f[0];
    fixed += a.ignored;
  }
  EXPECT_EQ(fixed, 2);
  // A file without the column says so and fixes nothing.
  const std::string plain = std::string(dir) + "/plain.cif";
  std::ofstream(plain) << "data_x\n_cell_length_a 4\n";
  std::string out;
  capture([&] { EXPECT_EQ(velmora_cell_import_cif_read_constraint(cell.get(), plain.c_str()), 1); },
          &out, nullptr);
  EXPECT_EQ(out, "Message: keyword '_velmora_fixed' not found in cif file.\n");
  std::remove(path.c_str());
  std::remove(plain.c_str());
  rmdir(dir);
}

// ---------------------------------------------------------------- band ----

TEST(Neb, InterpolationTakesTheShortWayAcrossTheCell) {
  auto first = ff_fixture::li2o();
  auto last = velmora_cell_copy(first.get());
  // O at the origin hops to -0.5 A along x, across the cell face.
  last->atom[0].x_f[0] = 1.0 - 0.5 / 4.6114;
  velmora_cell_update_coordinate_cartesion(last.get());
  auto images = velmora_cell_interpolate(first.get(), last.get(), 3);
  ASSERT_EQ(images.size(), 3u);
  EXPECT_NEAR(images[1]->atom[0].x_f[0], 1.0 - 0.25 / 4.6114, 1e-12);
  EXPECT_NEAR(images[1]->atom[0].x[0], 4.6114 - 0.25, 1e-9);
}

TEST(Neb, ValidationMatchesNamesAndSpecies) {
  auto a = ff_fixture::li2o();
  auto b = velmora_cell_copy(a.get());
  std::swap(b->atom[0], b->atom[11]);  // another order: matched by name
  std::string err;
  capture([&] { EXPECT_EQ(velmora_rx_neb_validate(a.get(), b.get()), 0); }, nullptr, &err);
  for (std::size_t i = 0; i < a->atom.size(); ++i)
    EXPECT_STREQ(a->atom[i].name, b->atom[i].name);
  // One atom a different species in one image: refused by name.
  b->atom[4].os = 2;
  capture([&] { EXPECT_EQ(velmora_rx_neb_validate(a.get(), b.get()), 1); }, nullptr, &err);
  EXPECT_NE(err.find("is Li1+ in one image and Li2+ in another"), std::string::npos) << err;
  b->atom[4].os = 1;
  std::snprintf(b->atom[5].name, sizeof b->atom[5].name, "%s", b->atom[4].name);
  capture([&] { EXPECT_EQ(velmora_rx_neb_validate(a.get(), b.get()), 1); }, nullptr, &err);
  EXPECT_NE(err.find("Error: duplicate atom names detected in 2nd cell"), std::string::npos);
  auto c = velmora_cell_copy(a.get());
  c->a[1][1] += 0.002;
  capture([&] { EXPECT_EQ(velmora_rx_neb_validate(a.get(), c.get()), 1); }, nullptr, &err);
  EXPECT_EQ(err, "Error: lattice parameters mismatch.\n");
}

TEST(Neb, ImageCountIsBounded) {
  DataFiles files;
  auto a = ff_fixture::li2o();
  auto ppt = property_of(a.get(), files);
  auto b = velmora_cell_copy(a.get());
  std::string err;
  capture([&] { EXPECT_FALSE(velmora_rx_neb_new(a.get(), b.get(), ppt.get(), 2)); }, nullptr,
          &err);
  EXPECT_EQ(err, "Error: number of images must be larger than 2.\n");
  capture([&] {
    EXPECT_FALSE(velmora_rx_neb_new(a.get(), b.get(), ppt.get(), VELMORA_RX_NEB_MAX_IMAGES + 1));
  }, nullptr, &err);
  EXPECT_NE(err.find("must not exceed"), std::string::npos);
}

namespace {

// Li2O with the Li at 1/4 1/4 1/4 moved into the empty octahedral site at
// 1/2 1/2 1/2 and back out the other side (3/4 3/4 1/4 is occupied, so the
// hop runs through the octahedral hole): every other atom fixed.
struct FrozenHost {
  std::unique_ptr<VELMORA_CELL> first, last;
  int mobile = -1;
};

FrozenHost frozen_host() {
  FrozenHost h;
  h.first = ff_fixture::li2o();
  // Remove one Li to make a vacancy at 3/4 3/4 3/4 (the 8th site).
  auto& atom = h.first->atom;
  for (std::size_t i = 0; i < atom.size(); ++i)
    if (atom[i].type[0] == 'L' && std::fabs(atom[i].x_f[0] - 0.75) < 1e-9 &&
        std::fabs(atom[i].x_f[1] - 0.75) < 1e-9 && std::fabs(atom[i].x_f[2] - 0.75) < 1e-9) {
      atom.erase(atom.begin() + static_cast<long>(i));
      break;
    }
  h.first->total = static_cast<long>(atom.size());
  for (std::size_t i = 0; i < atom.size(); ++i) {
    const bool mobile = atom[i].type[0] == 'L' && std::fabs(atom[i].x_f[0] - 0.25) < 1e-9 &&
                        std::fabs(atom[i].x_f[1] - 0.25) < 1e-9 &&
                        std::fabs(atom[i].x_f[2] - 0.25) < 1e-9;
    atom[i].ignored = !mobile;
    if (mobile) h.mobile = static_cast<int>(i);
  }
  h.last = velmora_cell_copy(h.first.get());
  for (double& f : h.last->atom[h.mobile].x_f) f = 0.75;
  velmora_cell_update_coordinate_cartesion(h.last.get());
  return h;
}

// A band of n images through the frozen host, with the parameters of the
// host with every atom free.
struct FrozenBand {
  FrozenHost h;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  std::unique_ptr<VELMORA_RX_NEB> neb;
};
FrozenBand frozen_band(const DataFiles& files, int n) {
  FrozenBand b;
  b.h = frozen_host();
  auto free_cell = velmora_cell_copy(b.h.first.get());
  b.ppt = property_of(free_cell.get(), files, 0.75);
  if (b.h.mobile >= 0 && b.ppt)
    b.neb = velmora_rx_neb_new(b.h.first.get(), b.h.last.get(), b.ppt.get(), n);
  return b;
}

}  // namespace

TEST(Neb, FrozenHostBandFollowsTheLandscape) {
  DataFiles files;
  FrozenBand band = frozen_band(files, 7);
  ASSERT_TRUE(band.neb);
  auto& neb = band.neb;
  auto& ppt = band.ppt;
  char dir[] = "/tmp/velmora_neb_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string prefix = std::string(dir) + "/band";

  neb->relax = false;
  neb->step_limit = 30;
  neb->step_log = 10;  // image files written on the way must not free the host
  neb->log_filename = prefix;
  std::string out;
  capture([&] { ASSERT_EQ(velmora_rx_neb_run(neb.get()), 0); }, &out, nullptr);
  // The site energy of a Li at the mobile ion's places, from every other
  // atom (the landscape's field with the mobile ion left out).
  auto host = velmora_cell_copy(neb->cell[0].get());
  int mobile = -1;
  for (std::size_t i = 0; i < host->atom.size(); ++i) {
    if (!host->atom[i].ignored) mobile = static_cast<int>(i);
    host->atom[i].ignored = !host->atom[i].ignored;
  }
  ASSERT_GE(mobile, 0);
  ppt->conducting = velmora_property_find_index(ppt.get(), "Li", 1);
  VELMORA_CUBE_FIELD field;
  ASSERT_EQ(velmora_cube_field_build(field, host.get(), ppt.get()), 0);
  const double v0 = velmora_cube_field_energy(field, nullptr, nullptr, neb->cell[0]->atom[mobile].x);
  double spread = 0.0;
  for (int k = 0; k < neb->total; ++k) {
    const double vk =
        velmora_cube_field_energy(field, nullptr, nullptr, neb->cell[k]->atom[mobile].x);
    // A pair of the free ion and a fixed atom counts half in the band's
    // energy, fully in the landscape.
    EXPECT_NEAR(2.0 * (neb->en[k] - neb->en[0]), vk - v0, 1e-6) << k;
    spread = std::max(spread, std::fabs(vk - v0));
  }
  EXPECT_GT(spread, 0.1);  // the ion climbs through the band
  // Only the mobile ion moved.
  for (int k = 1; k < neb->total; ++k)
    for (std::size_t i = 0; i < host->atom.size(); ++i) {
      if (static_cast<int>(i) == mobile) continue;
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(neb->cell[k]->atom[i].x[c], neb->cell[0]->atom[i].x[c], 1e-12);
    }
  // The final images, the band and the logs.
  for (int k = 0; k < neb->total; ++k) {
    const std::string name = prefix + ".neb." + std::to_string(k) + ".cif";
    EXPECT_FALSE(slurp(name).empty()) << name;
    std::remove(name.c_str());
  }
  EXPECT_FALSE(slurp(prefix + ".neb.xyz").empty());
  std::remove((prefix + ".neb.xyz").c_str());
  for (int k = -1; k < neb->total; ++k) {
    const std::string name =
        prefix + (k < 0 ? std::string(".neb-log.txt") : ".neb-log." + std::to_string(k) + ".txt");
    EXPECT_FALSE(slurp(name).empty()) << name;
    std::remove(name.c_str());
  }
  EXPECT_NE(out.find("RX_NEB: barrier forward = "), std::string::npos);
  rmdir(dir);
}

// A band converges when the band force on every atom of every image is
// below f_conv in eV/A.
TEST(Neb, ConvergesWhenTheBandForceInEvPerAIsBelowTheCriterion) {
  DataFiles files;
  FrozenBand band = frozen_band(files, 5);
  ASSERT_TRUE(band.neb);
  auto& neb = band.neb;
  const FrozenHost& h = band.h;
  // The straight band is symmetric and at rest: bend it off the line.
  for (int k = 1; k + 1 < neb->total; ++k) {
    neb->cell[k]->atom[h.mobile].x[0] += 0.15;
    neb->cell[k]->atom[h.mobile].x[1] -= 0.15;
    velmora_cell_update_coordinate_fractional(neb->cell[k].get());
  }
  neb->relax = false;
  neb->step_limit = 20000;
  neb->step_log = -1;
  neb->f_conv = 0.05;
  char dir[] = "/tmp/velmora_neb_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  neb->log_filename = std::string(dir) + "/band";
  std::string out;
  capture([&] { ASSERT_EQ(velmora_rx_neb_run(neb.get()), 0); }, &out, nullptr);
  for (int k = 0; k < neb->total; ++k)
    std::remove((neb->log_filename + ".neb." + std::to_string(k) + ".cif").c_str());
  std::remove((neb->log_filename + ".neb.xyz").c_str());
  EXPECT_EQ(rmdir(dir), 0);
  ASSERT_NE(out.find("RX_NEB: convergence reached."), std::string::npos);
  double largest = 0.0;
  for (int k = 1; k + 1 < neb->total; ++k) {
    double image = 0.0;
    for (const auto& f : neb->f[k])
      image = std::max(image, velmora_vector3_double_length(f.data()) * 2.0 * VELMORA_COULOMB);
    EXPECT_LE(image, 0.05) << k;
    largest = std::max(largest, image);
  }
  EXPECT_GT(largest, 0.005);
}

TEST(Neb, StepLimitKeepsTheLastLinesAndImagesAndThreadsDoNotMatter) {
  DataFiles files;
  char dir[] = "/tmp/velmora_neb_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::vector<std::vector<std::array<double, 3>>> ends;
  std::vector<std::string> logs;
  for (int threads : {1, 2}) {
    FrozenHost h = frozen_host();
    for (VELMORA_ATOM& a : h.first->atom) a.ignored = false;  // every atom free
    for (VELMORA_ATOM& a : h.last->atom) a.ignored = false;
    auto ppt = property_of(h.first.get(), files, 0.75);
    ASSERT_TRUE(ppt);
    const std::string prefix = std::string(dir) + "/t" + std::to_string(threads);
    omp_set_num_threads(threads);
    int status = -1;
    std::string out;
    capture(
        [&] {
          status = velmora_cell_relax_neb(h.first.get(), h.last.get(), ppt.get(), 5, 7, 5, false,
                                          false, 0.0, 0.0, prefix.c_str());
        },
        &out, nullptr);
    ASSERT_EQ(status, 0);
    EXPECT_NE(out.find("Warning: step limit reached without achieving convergence."),
              std::string::npos);
    // Steps 1 to 7 logged although the last multiple of step_log is 5.
    const std::string log = slurp(prefix + ".neb-log.txt");
    EXPECT_NE(log.find("\n     7,"), std::string::npos) << log;
    EXPECT_EQ(log.find("\n     8,"), std::string::npos);
    logs.push_back(log + slurp(prefix + ".neb-log.2.txt"));
    // The image files hold the band as it ended.
    std::unique_ptr<VELMORA_CELL> back;
    std::unique_ptr<VELMORA_SYMMETRY> symmetry;
    capture(
        [&] {
          velmora_cell_import_cif_from_file(back, symmetry, (prefix + ".neb.2.cif").c_str(),
                                            files.unitary.c_str(), files.unitary.c_str());
        },
        nullptr, nullptr);
    ASSERT_TRUE(back);
    std::vector<std::array<double, 3>> pos;
    for (const VELMORA_ATOM& a : back->atom) pos.push_back({a.x_f[0], a.x_f[1], a.x_f[2]});
    ends.push_back(pos);
    for (const char* suffix : {".neb-log.txt", ".neb.xyz"})
      std::remove((prefix + suffix).c_str());
    for (int k = 0; k < 5; ++k) {
      std::remove((prefix + ".neb." + std::to_string(k) + ".cif").c_str());
      std::remove((prefix + ".neb-log." + std::to_string(k) + ".txt").c_str());
    }
  }
  omp_set_num_threads(omp_get_num_procs());
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_EQ(ends[0], ends[1]);
  rmdir(dir);
}

// LAMMPS export: the restricted triclinic box (another basis of the same
// lattice, rotated so that a lies along x), the data file of a rotated cell,
// and the structures the writer refuses (partly occupied or overlapping
// atoms, a pair without a bond, no mobile ion) without writing any file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "ff_fixture.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-lammps.h"

using ff_fixture::capture;
using ff_fixture::DataFiles;

namespace {

// The box's vectors a, b, c (rows) in box coordinates.
void box_vectors(double v[3][3], const VELMORA_LAMMPS_BOX& box) {
  const double rows[3][3] = {{box.lx, 0, 0}, {box.xy, box.ly, 0}, {box.xz, box.yz, box.lz}};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) v[i][k] = rows[i][k];
}

// The lattice `a` in box coordinates.
void rotated(double out[3][3], const VELMORA_LAMMPS_BOX& box, const double a[3][3]) {
  for (int i = 0; i < 3; ++i) velmora_matrix33_double_multiply_vector3(out[i], box.rotation, a[i]);
}

// Coefficients of vector v in the basis `rows` (v = sum c_k rows_k).
void coefficients(double c[3], const double rows[3][3], const double v[3]) {
  double m[3][3];
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) m[i][k] = rows[k][i];
  velmora_matrix33_double_linearsolver(c, m, v);
}

std::unique_ptr<VELMORA_PROPERTY> property_of(VELMORA_CELL* cell, const DataFiles& files,
                                              const char* type, int os) {
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  capture(
      [&] {
        ppt = velmora_property_import_from_cell(cell, type, os, 0.75, files.unitary.c_str(),
                                                files.binary.c_str());
      },
      nullptr, nullptr);
  return ppt;
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// Runs the writer into a fresh base name; the error text and whether any
// of the three files appeared.
int write(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt, const DataFiles& files,
          std::string& err, bool& written) {
  VELMORA_LAMMPS_CONF conf;
  conf.base = files.dir + "/export";
  conf.source = "test";
  conf.table_points = 50;
  int status = 1;
  capture([&] { status = velmora_lammps_write(cell, ppt, &conf); }, nullptr, &err);
  written = false;
  for (const char* suffix : {".data", ".table", ".in"}) {
    written = written || exists(conf.base + suffix);
    std::remove((conf.base + suffix).c_str());
  }
  return status;
}

}  // namespace

TEST(LammpsBox, SkewedLatticeBecomesAReducedBasisOfTheSameLattice) {
  // Lattice rotated about (1, 2, 3) so that a is not along x, and with
  // tilts beyond half the box lengths.
  const double plain[3][3] = {{4.0, 0, 0}, {3.5, 3.0, 0}, {-2.9, 2.8, 5.0}};
  // Rotation by 0.7 rad about n: R = cos I + (1 - cos) n n^T + sin [n]x.
  const double n[3] = {1 / std::sqrt(14.0), 2 / std::sqrt(14.0), 3 / std::sqrt(14.0)};
  const double c = std::cos(0.7), s = std::sin(0.7);
  const double cross[3][3] = {{0, -n[2], n[1]}, {n[2], 0, -n[0]}, {-n[1], n[0], 0}};
  double r[3][3], a[3][3];
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) r[i][k] = (i == k ? c : 0.0) + (1 - c) * n[i] * n[k] + s * cross[i][k];
  for (int i = 0; i < 3; ++i) velmora_matrix33_double_multiply_vector3(a[i], r, plain[i]);

  VELMORA_LAMMPS_BOX box;
  ASSERT_TRUE(velmora_lammps_box(box, a));
  // Rotated, the lattice has a along x and b in the xy plane.
  double ra[3][3];
  rotated(ra, box, a);
  EXPECT_NEAR(ra[0][0], 4.0, 1e-12);
  EXPECT_NEAR(ra[0][1], 0.0, 1e-12);
  EXPECT_NEAR(ra[0][2], 0.0, 1e-12);
  EXPECT_NEAR(ra[1][2], 0.0, 1e-12);
  // Tilts within half a box length, as LAMMPS requires.
  EXPECT_LE(std::fabs(box.xy), 0.5 * box.lx);
  EXPECT_LE(std::fabs(box.xz), 0.5 * box.lx);
  EXPECT_LE(std::fabs(box.yz), 0.5 * box.ly);
  EXPECT_NEAR(box.xy, -0.5, 1e-12);  // b - a
  EXPECT_NEAR(box.yz, -0.2, 1e-12);  // c - b - a: yz 2.8 - 3, then xz -2.9 + 0.5 + 4
  EXPECT_NEAR(box.xz, 1.6, 1e-12);
  // Same lattice: each box vector is a whole combination of the rotated
  // ones and the volume is kept.
  double v[3][3], coef[3];
  box_vectors(v, box);
  for (int i = 0; i < 3; ++i) {
    coefficients(coef, ra, v[i]);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(coef[k], std::round(coef[k]), 1e-10) << i << k;
  }
  EXPECT_NEAR(box.lx * box.ly * box.lz, std::fabs(velmora_matrix33_double_determinant(a)), 1e-10);
}

TEST(LammpsBox, LeftHandedOrFlatLatticeIsRefused) {
  VELMORA_LAMMPS_BOX box;
  const double left[3][3] = {{4, 0, 0}, {0, 4, 0}, {0, 0, -4}};
  const double flat[3][3] = {{4, 0, 0}, {8, 0, 0}, {0, 0, 4}};
  EXPECT_FALSE(velmora_lammps_box(box, left));
  EXPECT_FALSE(velmora_lammps_box(box, flat));
}

TEST(LammpsData, RotatedCellIsWrittenInTheBoxFrame) {
  DataFiles files;
  // Li2O with its lattice turned by 90 degrees about z: a along y.
  const double a = 4.6114;
  const double turned[3][3] = {{0, a, 0}, {-a, 0, 0}, {0, 0, a}};
  std::vector<ff_fixture::Site> sites = ff_fixture::fcc({"O", -2, 0, 0, 0, 1.0});
  for (const auto& s : ff_fixture::fcc({"Li", 1, 0.25, 0.25, 0.25, 1.0})) sites.push_back(s);
  for (const auto& s : ff_fixture::fcc({"Li", 1, 0.75, 0.75, 0.75, 1.0})) sites.push_back(s);
  auto cell = ff_fixture::make_cell(turned, sites);
  auto ppt = property_of(cell.get(), files, "Li", 1);
  ASSERT_TRUE(ppt);
  VELMORA_LAMMPS_CONF conf;
  conf.source = "turned";
  std::istringstream data(velmora_lammps_data_text(cell.get(), ppt.get(), &conf));
  std::string line;
  int atoms = 0;
  bool in_atoms = false, tilted = false;
  while (std::getline(data, line)) {
    tilted = tilted || line.find("xy xz yz") != std::string::npos;
    if (line.find("Atoms") == 0) in_atoms = true;
    int id = 0, type = 0;
    double x[3];
    if (!in_atoms || std::sscanf(line.c_str(), "%d %d %lf %lf %lf", &id, &type, &x[0], &x[1],
                                 &x[2]) != 5)
      continue;
    // Atom id-1 at fractional f lies at f_a * (a, 0, 0) + f_b * (0, a, 0) + ...
    const VELMORA_ATOM& at = cell->atom[static_cast<std::size_t>(id - 1)];
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(x[k], at.x_f[k] * a, 1e-9) << line;
    EXPECT_EQ(type, velmora_property_find_index(ppt.get(), at.type, at.os) + 1);
    ++atoms;
  }
  EXPECT_EQ(atoms, 12);
  EXPECT_FALSE(tilted);  // a cubic cell is a plain box
}

TEST(LammpsWrite, StructuresTheFilesCannotReproduceAreRefusedWithoutFiles) {
  DataFiles files;
  std::string err;
  bool written = true;
  {
    auto cell = ff_fixture::li2o();
    auto ppt = property_of(cell.get(), files, "Li", 1);
    ASSERT_TRUE(ppt);
    EXPECT_EQ(write(cell.get(), ppt.get(), files, err, written), 0) << err;
    EXPECT_TRUE(written);
    // A partly occupied atom has no place among LAMMPS' whole atoms.
    cell->atom[5].occ = 0.5;
    EXPECT_EQ(write(cell.get(), ppt.get(), files, err, written), 1);
    EXPECT_NE(err.find("has occupancy 0.500000"), std::string::npos) << err;
    EXPECT_FALSE(written);
    // Two atoms 0.2 A apart: the cell energy leaves the pair out, LAMMPS
    // would not.
    cell->atom[5].occ = 1.0;
    cell->atom[5].x[0] = cell->atom[4].x[0] + 0.2;
    for (int k = 1; k < 3; ++k) cell->atom[5].x[k] = cell->atom[4].x[k];
    EXPECT_EQ(write(cell.get(), ppt.get(), files, err, written), 1);
    EXPECT_NE(err.find("lie 0.200 A apart"), std::string::npos) << err;
    EXPECT_FALSE(written);
  }
  {
    // Li is the mobile species but the cell holds none.
    auto cell = ff_fixture::li2o();
    auto ppt = property_of(cell.get(), files, "Li", 1);
    ASSERT_TRUE(ppt);
    // The parameter build sorted the atoms: the 8 Li first, then the 4 O.
    cell->atom.erase(cell->atom.begin(), cell->atom.begin() + 8);
    cell->total = 4;
    ASSERT_EQ(cell->atom[0].os, -2);
    EXPECT_EQ(write(cell.get(), ppt.get(), files, err, written), 1);
    EXPECT_NE(err.find("holds no Li1+ ion"), std::string::npos) << err;
    EXPECT_FALSE(written);
  }
  {
    // Ba has softness 0 in the test data: Ba-F has no Morse bond.
    auto cell = ff_fixture::ba_f2();
    auto ppt = property_of(cell.get(), files, "F", -1);
    ASSERT_TRUE(ppt);
    EXPECT_EQ(write(cell.get(), ppt.get(), files, err, written), 1);
    EXPECT_NE(err.find("Ba2+"), std::string::npos) << err;
    EXPECT_FALSE(written);
  }
}

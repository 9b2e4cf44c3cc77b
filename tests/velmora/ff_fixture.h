// Small force-field data files and hand-built cells shared by the force-
// field, energy, cell-operation and bond-valence tests, so that their
// expected numbers do not change when the shipped data files are tuned.
#ifndef VELMORA_TESTS_FF_FIXTURE_H_
#define VELMORA_TESTS_FF_FIXTURE_H_

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "velmora-alloc.h"
#include "velmora-import.h"

namespace ff_fixture {

// Per-ion lines: Z, symbol, os, default os, mass, n, g, block, rc, softness.
inline const char* kUnitary =
    "# test per-ion parameters\n"
    "DATA_START\n"
    "  1 H   -1  1   1.008  1  1 0 1.190 0.15600\n"
    "  3 Li   1  1   6.940  2  1 0 0.760 0.02847\n"
    "  8 O   -2 -2  15.999  2 16 1 1.400 0.16452\n"
    "  9 F   -1 -1  18.998  2 17 1 1.330 0.19000\n"
    " 11 Na   1  1  22.990  3  1 0 1.020 0.03000\n"
    " 17 Cl  -1 -1  35.450  3 17 1 1.810 0.14000\n"
    " 22 Ti   4  4  47.867  4  4 2 0.605 0.05000\n"
    " 55 Cs   1  1 132.905  6  1 0 1.670 0.03500\n"
    " 56 Ba   2  2 137.327  6  2 0 1.350 0.00000\n"
    "DATA_END\n"
    " 12 Mg   2  2  24.305  3  2 0 0.720 0.04000\n";

// Per-pair lines: cation, os, anion, os, R0, b, cn, cut-off.
inline const char* kBinary =
    "# test pair parameters\n"
    "DATA_START\n"
    "Li 1 O -2 1.1745 0.514 4.5 6.0\n"
    "Li 1 O -2 9.9999 0.999 9.9 9.9\n"
    "Li 1 F -1 1.1900 0.400 4.0 6.0\n"
    "Li 1 Cl -1 1.5000 0.440 0.0 5.0\n"
    "Li 1 H -1 1.1000 0.400 6.0 5.5\n"
    "Na 1 Cl -1 2.1500 0.370 6.0 3.0\n"
    "O -2 Na 1 1.8030 0.370 6.0 6.0\n"
    "Ti 4 O -2 1.8150 0.370 6.0 6.0\n"
    "Cs 1 F -1 2.3300 0.370 8.0 6.0\n"
    "Ba 2 F -1 2.1900 0.370 8.0 6.0\n"
    "DATA_END\n";

// The two files in a fresh directory, removed with the object.
struct DataFiles {
  std::string dir, unitary, binary;
  DataFiles() {
    char pattern[] = "/tmp/velmora_ff_XXXXXX";
    const char* made = mkdtemp(pattern);
    dir = made ? made : "/tmp";
    unitary = dir + "/database_unitary.dat";
    binary = dir + "/database_binary.dat";
    std::ofstream(unitary) << kUnitary;
    std::ofstream(binary) << kBinary;
  }
  ~DataFiles() {
    std::remove(unitary.c_str());
    std::remove(binary.c_str());
    rmdir(dir.c_str());
  }
};

struct Site {
  const char* type;
  int os;
  double x, y, z;  // fractional
  double occ;
};

// A cell from its lattice (rows) and fractional sites, named by symbol.
inline std::unique_ptr<VELMORA_CELL> make_cell(const double a[3][3],
                                               const std::vector<Site>& sites) {
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_new(static_cast<long>(sites.size()));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) cell->a[i][j] = a[i][j];
  for (std::size_t k = 0; k < sites.size(); ++k) {
    VELMORA_ATOM& atom = cell->atom[k];
    const std::string name = std::string(sites[k].type) + std::to_string(k % 1000 + 1);
    std::snprintf(atom.name, sizeof atom.name, "%.11s", name.c_str());
    std::snprintf(atom.type, sizeof atom.type, "%s", sites[k].type);
    atom.os = sites[k].os;
    atom.x_f[0] = sites[k].x;
    atom.x_f[1] = sites[k].y;
    atom.x_f[2] = sites[k].z;
    atom.occ = sites[k].occ;
  }
  velmora_cell_update_lattice_fractional(cell.get());
  velmora_cell_update_coordinate_cartesion(cell.get());
  return cell;
}

inline std::unique_ptr<VELMORA_CELL> cubic_cell(double a, const std::vector<Site>& sites) {
  const double lattice[3][3] = {{a, 0, 0}, {0, a, 0}, {0, 0, a}};
  return make_cell(lattice, sites);
}

// Face-centred cubic translations.
inline std::vector<Site> fcc(const Site& s) {
  const double t[4][3] = {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  std::vector<Site> out;
  for (const auto& v : t) {
    Site c = s;
    c.x = std::fmod(s.x + v[0], 1.0);
    c.y = std::fmod(s.y + v[1], 1.0);
    c.z = std::fmod(s.z + v[2], 1.0);
    out.push_back(c);
  }
  return out;
}

// Rock salt AB (A at 0 0 0, B at 1/2 0 0), 8 atoms.
inline std::unique_ptr<VELMORA_CELL> rock_salt(const char* a, int os_a, const char* b, int os_b,
                                               double length, double occ_a = 1.0) {
  std::vector<Site> sites = fcc({a, os_a, 0, 0, 0, occ_a});
  for (const Site& s : fcc({b, os_b, 0.5, 0, 0, 1.0})) sites.push_back(s);
  return cubic_cell(length, sites);
}

// Antifluorite Li2O (O on the fcc lattice, Li at 1/4 1/4 1/4 and images).
inline std::unique_ptr<VELMORA_CELL> li2o(double length = 4.6114) {
  std::vector<Site> sites = fcc({"O", -2, 0, 0, 0, 1.0});
  for (const Site& s : fcc({"Li", 1, 0.25, 0.25, 0.25, 1.0})) sites.push_back(s);
  for (const Site& s : fcc({"Li", 1, 0.75, 0.75, 0.75, 1.0})) sites.push_back(s);
  return cubic_cell(length, sites);
}

// BaF2 in a 6.2 A cube, Ba at the origin and F at 1/4 1/4 1/4 and 3/4 3/4
// 3/4; Ba has softness 0 in the test data, so it forms no Morse bond.
inline std::unique_ptr<VELMORA_CELL> ba_f2() {
  return cubic_cell(6.2, {{"Ba", 2, 0, 0, 0, 1.0},
                          {"F", -1, 0.25, 0.25, 0.25, 1.0},
                          {"F", -1, 0.75, 0.75, 0.75, 1.0}});
}

// Captures standard output and error of a call.
template <class F>
void capture(F f, std::string* out, std::string* err) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  f();
  std::fflush(stdout);
  const std::string o = testing::internal::GetCapturedStdout();
  const std::string e = testing::internal::GetCapturedStderr();
  if (out) *out = o;
  if (err) *err = e;
}

}  // namespace ff_fixture

#endif  // VELMORA_TESTS_FF_FIXTURE_H_

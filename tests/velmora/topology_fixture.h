// Landscapes for the topology tests: energy grids sampled from a function of
// the fractional position on any lattice, the cosine landscapes whose
// percolation energies are known, and a quiet call that swallows the
// progress lines.
#ifndef VELMORA_TESTS_TOPOLOGY_FIXTURE_H_
#define VELMORA_TESTS_TOPOLOGY_FIXTURE_H_

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora.h"

namespace topology_fixture {

constexpr double kPi = 3.14159265358979323846;

// Grid of n[0] x n[1] x n[2] points over the lattice rows `a` with
// E(i/n0, j/n1, k/n2).
inline std::unique_ptr<VELMORA_CUBE> sample(const long n[3], const double a[3][3],
                                            const std::function<double(double, double, double)>& f) {
  auto cube = std::make_unique<VELMORA_CUBE>();
  for (int d = 0; d < 3; ++d) {
    cube->n[d] = n[d];
    for (int c = 0; c < 3; ++c) {
      cube->a[d][c] = a[d][c];
      cube->a_i[d][c] = a[d][c] / n[d];
    }
  }
  cube->en.resize(static_cast<std::size_t>(n[0] * n[1] * n[2]));
  for (long i = 0; i < n[0]; ++i)
    for (long j = 0; j < n[1]; ++j)
      for (long k = 0; k < n[2]; ++k)
        velmora_cube_at(*cube, i, j, k) =
            f(static_cast<double>(i) / n[0], static_cast<double>(j) / n[1],
              static_cast<double>(k) / n[2]);
  return cube;
}

inline double c1(double t) { return 1.0 - std::cos(2.0 * kPi * t); }

// Barriers 2A, 2B, 2C along a, b, c on a 4 A cubic cell; one site per cell.
inline std::unique_ptr<VELMORA_CUBE> separable(double A, double B, double C, long n0 = 24,
                                               long n1 = 30, long n2 = 36) {
  const long n[3] = {n0, n1, n2};
  const double a[3][3] = {{4, 0, 0}, {0, 4, 0}, {0, 0, 4}};
  return sample(n, a, [=](double x, double y, double z) { return A * c1(x) + B * c1(y) + C * c1(z); });
}

// Parameters naming Li+ (6.94 amu, charge 1, radius 0.7 A, screening 0.75)
// as the conducting ion: enough for the site graph and the kinetic Monte
// Carlo.
inline VELMORA_PROPERTY lithium() {
  VELMORA_PROPERTY ppt;
  ppt.total = 1;
  ppt.type.push_back({'L', 'i', '\0'});
  ppt.os.push_back(1);
  ppt.uni.resize(1);
  ppt.uni[0].m = 6.94;
  ppt.uni[0].q = 1.0;
  ppt.uni[0].rc = 0.7;
  ppt.bin.assign(1, std::vector<VELMORA_PROPERTY_BINARY>(1));
  ppt.sf = 0.75;
  ppt.conducting = 0;
  return ppt;
}

// Runs f with standard output and error captured (returned in *out/*err).
template <class F>
void quiet(F f, std::string* out = nullptr, std::string* err = nullptr) {
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

}  // namespace topology_fixture

#endif  // VELMORA_TESTS_TOPOLOGY_FIXTURE_H_

// Shared by ostrel's benchmarks: a timer, grid indices folded by the cubic
// group m-3m, a synthetic landscape written as a cube file in velmora.x's
// layout (CR LF lines, voxel steps in Bohr) and the 48 operations of m-3m.
#ifndef OSTREL_BENCH_CUBE_H_
#define OSTREL_BENCH_CUBE_H_

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace ostrel_bench {

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The grid point (i, j, k) of an n^3 grid folded into the asymmetric wedge
// of m-3m: each index reflected to at most n/2, then sorted, so that all 48
// images of a point give the same triple and a function of it is exactly
// symmetric.
inline void fold_m3m(int i, int j, int k, int n, int f[3]) {
  f[0] = std::min(i, n - i);
  f[1] = std::min(j, n - j);
  f[2] = std::min(k, n - k);
  if (f[0] > f[1]) std::swap(f[0], f[1]);
  if (f[1] > f[2]) std::swap(f[1], f[2]);
  if (f[0] > f[1]) std::swap(f[0], f[1]);
}

// Writes the n^3 grid of a cubic cell of edge `a` (Angstrom) with the
// energy(i, j, k, n) of every point, as a landscape of Li1+.
inline bool write_cube(const std::string& path, int n, double a,
                       double (*energy)(int, int, int, int)) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const double step = a / n * 1.889725989;  // Angstrom to Bohr
  fprintf(f, "bench\r\nConducting = Li1+ ; sf = 0.700000;\r\n");
  fprintf(f, "%4d %11.6f %11.6f %11.6f\r\n", 0, 0.0, 0.0, 0.0);
  fprintf(f, "%4d %11.6f %11.6f %11.6f\r\n", n, step, 0.0, 0.0);
  fprintf(f, "%4d %11.6f %11.6f %11.6f\r\n", n, 0.0, step, 0.0);
  fprintf(f, "%4d %11.6f %11.6f %11.6f\r\n", n, 0.0, 0.0, step);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++)
      for (int k = 0; k < n; k++) fprintf(f, " %12.6f\r\n", energy(i, j, k, n));
  return fclose(f) == 0;
}

// The 48 operations of m-3m (6 axis permutations x 8 sign changes) as CIF
// symmetry strings.
inline std::vector<std::string> cubic_ops() {
  std::vector<std::string> ops;
  const int perm[6][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {1, 0, 2}, {0, 2, 1}, {2, 1, 0}};
  for (const auto& p : perm)
    for (int s = 0; s < 8; s++) {
      std::string op;
      for (int r = 0; r < 3; r++) {
        if (r) op += ",";
        if (s >> r & 1) op += "-";
        op += "xyz"[p[r]];
      }
      ops.push_back(op);
    }
  return ops;
}

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_CUBE_H_

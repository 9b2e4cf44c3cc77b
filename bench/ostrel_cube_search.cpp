// Time of loading a landscape cube and finding its minima and saddles, on
// the largest grid the landscape generator writes (196^3 = 7529536 points)
// and on one eighth of it (98^3), so that the ratio shows whether the work
// grows linearly with the grid (ideal ratio 8).  The landscape is synthetic:
// a sum of cosine harmonics with the full cubic symmetry m-3m, each value
// computed once per orbit so that the grid is exactly symmetric.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "OSTREL-symmetry.h"
#include "ostrel_bench_cube.h"

namespace {

using namespace ostrel_bench;

// Energy from the folded, sorted coordinates: the same for all 48 images.
// Harmonics up to the fifth give a few hundred minima and saddles; the span
// stays below the 5 eV cut-off so that every point is examined.
double landscape(int i, int j, int k, int n) {
  int f[3];
  fold_m3m(i, j, k, n, f);
  double c1[3], c2[3], c5[3];
  for (int a = 0; a < 3; a++) {
    double x = 2 * M_PI * f[a] / n;
    c1[a] = cos(x);
    c2[a] = cos(2 * x + 0.3 * sin(x));
    c5[a] = cos(5 * x);
  }
  double e = 0.5 * (c1[0] + c1[1] + c1[2]) + 0.3 * (c2[0] + c2[1] + c2[2]) +
             0.2 * (c5[0] + c5[1] + c5[2]) + 0.1 * (c1[0] * c1[1] + c1[1] * c1[2] + c1[0] * c1[2]);
  return 0.7 * e;
}

struct Timing {
  double load, asym, search_sym, search_full, group;
  int minima, saddles;
};

bool run(const std::string& path, Timing* t) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  auto t0 = std::chrono::steady_clock::now();
  if (OSTREL_load_cube(path.c_str(), &cube) || OSTREL_process_cube(&cube)) return false;
  t->load = seconds_since(t0);

  OSTREL_cif cif;
  OSTREL_init_cif(&cif);
  cif.symop = cubic_ops();
  cif.symop_no = (int)cif.symop.size();
  if (OSTREL_prepare_fastgen_symop(&cif, &cube)) return false;
  OSTREL_asymmetric_unit unit;
  t0 = std::chrono::steady_clock::now();
  if (OSTREL_find_asymmetric_unit(&cube, &cif, &unit)) return false;
  t->asym = seconds_since(t0);
  if (!unit.grid_symmetric) {
    fprintf(stderr, "bench grid is not symmetric\n");
    return false;
  }
  t0 = std::chrono::steady_clock::now();
  if (OSTREL_find_stationary_points(&cube, &cif, &unit)) return false;
  t->search_sym = seconds_since(t0);
  t->minima = cube.total_minima;
  t->saddles = cube.total_saddle;
  t0 = std::chrono::steady_clock::now();
  if (OSTREL_group_saddle_by_symmetry(&cube, &cif) || OSTREL_group_minima_by_symmetry(&cube, &cif))
    return false;
  t->group = seconds_since(t0);

  t0 = std::chrono::steady_clock::now();
  if (OSTREL_find_stationary_points2(&cube, &cif)) return false;
  t->search_full = seconds_since(t0);
  if (cube.total_minima != t->minima || cube.total_saddle != t->saddles) {
    fprintf(stderr, "searches disagree: %d/%d minima, %d/%d saddles\n", t->minima,
            cube.total_minima, t->saddles, cube.total_saddle);
    return false;
  }
  return true;
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/ostrel_bench_XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir) return 1;
  const int sizes[2] = {98, 196};
  Timing t[2];
  for (int s = 0; s < 2; s++) {
    int n = sizes[s];
    std::string path = std::string(dir) + "/bench_" + std::to_string(n) + ".cube";
    auto t0 = std::chrono::steady_clock::now();
    if (!write_cube(path, n, 0.1 * n, landscape)) return 1;
    double written = seconds_since(t0);
    bool ok = run(path, &t[s]);
    unlink(path.c_str());
    if (!ok) {
      fprintf(stderr, "bench failed on %d^3\n", n);
      return 1;
    }
    double points = (double)n * n * n;
    printf("grid %d^3 = %.0f points (file written in %.2f s)\n", n, points, written);
    printf("  load and shift             %7.3f s  %6.1f ns/point\n", t[s].load, 1e9 * t[s].load / points);
    printf("  asymmetric unit (48 ops)   %7.3f s  %6.1f ns/point\n", t[s].asym, 1e9 * t[s].asym / points);
    printf("  search over the unit       %7.3f s  %6.1f ns/point\n", t[s].search_sym,
           1e9 * t[s].search_sym / points);
    printf("  search over the full grid  %7.3f s  %6.1f ns/point\n", t[s].search_full,
           1e9 * t[s].search_full / points);
    printf("  grouping                   %7.3f s  (%d minima, %d saddles)\n", t[s].group,
           t[s].minima, t[s].saddles);
    printf("  load + unit + search       %7.3f s\n", t[s].load + t[s].asym + t[s].search_sym);
  }
  rmdir(dir);
  printf("ratio 196^3 / 98^3 (8 = linear): load %.2f, unit %.2f, unit search %.2f, "
         "full search %.2f\n",
         t[1].load / t[0].load, t[1].asym / t[0].asym, t[1].search_sym / t[0].search_sym,
         t[1].search_full / t[0].search_full);
  return 0;
}

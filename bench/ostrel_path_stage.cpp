// Time of ostrel's whole --path stage (path library, all copies, redundant
// types, the threshold summary, activation energies, reaction pathways and
// their table) on the largest grid the landscape generator writes (196^3) of
// a large cubic cell (19.6 Å), once with the cell's 48 operations (few path
// types, many copies) and once in P1 (every saddle its own type, as for the
// supercells built for partial occupancies), next to the time of loading
// and searching the same grid.  Every threshold re-analyses the network from
// scratch, so the stage grows with (thresholds x hops); the target is tens
// of seconds at most.  Given a cube, a CIF and the mobile ion on the command
// line (for example a landscape of velmora.x --gen-cube), it times that
// instead.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "OSTREL-path.h"
#include "OSTREL-symmetry.h"
#include "ostrel_bench_cube.h"

namespace {

using namespace ostrel_bench;

// Cosine harmonics of the folded, sorted coordinates (the same value for all
// 48 images), with wells a few Å apart so that neighbouring sites are joined
// by hops of 2-3 Å.
double landscape(int i, int j, int k, int n) {
  int f[3];
  fold_m3m(i, j, k, n, f);
  double e = 0;
  for (int a = 0; a < 3; a++) {
    double x = 2 * M_PI * f[a] / n;
    e += 0.35 * cos(4 * x) + 0.25 * cos(8 * x + 0.4 * sin(4 * x)) + 0.1 * cos(x);
  }
  double c[3];
  for (int a = 0; a < 3; a++) c[a] = cos(4 * 2 * M_PI * f[a] / n);
  e += 0.15 * (c[0] * c[1] + c[1] * c[2] + c[0] * c[2]);
  return e;
}

struct Timing {
  double search = 0, library = 0, events = 0, activation = 0, pathways = 0, table = 0;
  int minima = 0, saddles = 0, types = 0, hops = 0, thresholds = 0, rp = 0;
  double e1 = 0, e2 = 0, e3 = 0;
  double path_stage() const { return library + events + activation + pathways + table; }
};

// With a CIF file the structure's operations and ion sites are used, else
// the 48 cubic operations (symmetric) or none.
bool run(const std::string& path, bool symmetric, Timing* t, const char* cif_file = nullptr,
         const char* ion = nullptr) {
  OSTREL_cube cube;
  OSTREL_init_cube(&cube);
  OSTREL_cif cif;
  OSTREL_init_cif(&cif);
  if (ion) {
    cif.ion = 1;
    cif.probe_type = ion;
    if (OSTREL_parse_energy_scaling(&cube, std::string(ion) == "Na1+" ? "0.5695*E^(0.6946)" : "E"))
      return false;
  }
  auto t0 = std::chrono::steady_clock::now();
  if (OSTREL_load_cube(path.c_str(), &cube) || OSTREL_process_cube(&cube)) return false;
  if (cif_file) {
    if (OSTREL_load_cif(cif_file, &cif)) return false;
  } else if (symmetric) {
    cif.symop = cubic_ops();
    cif.symop_no = (int)cif.symop.size();
  }
  OSTREL_asymmetric_unit unit;
  if (OSTREL_prepare_fastgen_symop(&cif, &cube) || OSTREL_find_asymmetric_unit(&cube, &cif, &unit))
    return false;
  if (cif.diff_neigh || !unit.grid_symmetric ? OSTREL_find_stationary_points2(&cube, &cif)
                                             : OSTREL_find_stationary_points(&cube, &cif, &unit))
    return false;
  if (OSTREL_group_saddle_by_symmetry(&cube, &cif) || OSTREL_group_minima_by_symmetry(&cube, &cif))
    return false;
  if (ion && OSTREL_assign_ion_to_sites(&cube, &cif)) return false;
  OSTREL_assign_interstitial_labels(&cube);
  t->search = seconds_since(t0);
  t->minima = cube.total_minima;
  t->saddles = cube.total_saddle;

  OSTREL_pathlib lib;
  OSTREL_init_pathlib(&lib);
  lib.pathlib = 1;
  t0 = std::chrono::steady_clock::now();
  if (OSTREL_build_path(&cube, &cif, &lib) || OSTREL_build_allpaths(&cube, &cif, &lib) ||
      OSTREL_filter_redundant_path(&cube, &lib))
    return false;
  t->library = seconds_since(t0);
  t->types = lib.total_path;
  t->hops = lib.total_allpath;
  for (int q = 0; q < lib.total_allpath; q++)
    if (q == 0 || lib.allpath[q].saddle_energy > lib.allpath[q - 1].saddle_energy + 1e-7)
      t->thresholds++;

  FILE* null = fopen("/dev/null", "wb");
  if (!null) return false;
  t0 = std::chrono::steady_clock::now();
  bool ok = OSTREL_analyze_network_at_saddles(&cube, &lib, null, 999) == 0;
  t->events = seconds_since(t0);
  t0 = std::chrono::steady_clock::now();
  ok = ok && OSTREL_calc_activation_energy(&cube, &lib) == 0;
  t->activation = seconds_since(t0);
  OSTREL_reaction_pathway_overall rp;
  OSTREL_init_reaction_pathway(&rp);
  t0 = std::chrono::steady_clock::now();
  ok = ok && OSTREL_build_reaction_pathway(&cube, &lib, &rp) == 0;
  t->pathways = seconds_since(t0);
  t0 = std::chrono::steady_clock::now();
  if (ok) OSTREL_print_reaction_pathway(&cube, &lib, &rp, null);
  t->table = seconds_since(t0);
  fclose(null);
  t->rp = rp.total;
  t->e1 = lib.oneD;
  t->e2 = lib.twoD;
  t->e3 = lib.threeD;
  return ok;
}

void report(const char* name, const Timing& t) {
  printf("%s: %d minima, %d saddles -> %d path types, %d hops, %d thresholds, %d pathways\n", name,
         t.minima, t.saddles, t.types, t.hops, t.thresholds, t.rp);
  printf("  load + stationary points        %7.2f s\n", t.search);
  printf("  path library and copies         %7.2f s\n", t.library);
  printf("  threshold summary               %7.2f s\n", t.events);
  printf("  activation energies             %7.2f s  (1D %.3f, 2D %.3f, 3D %.3f eV)\n",
         t.activation, t.e1, t.e2, t.e3);
  printf("  reaction pathways               %7.2f s\n", t.pathways);
  printf("  pathway table                   %7.2f s\n", t.table);
  printf("  whole --path stage              %7.2f s  (%.2f x the load and search)\n",
         t.path_stage(), t.path_stage() / t.search);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4) {
    Timing t;
    if (!run(argv[1], true, &t, argv[2], argv[3])) {
      fprintf(stderr, "bench failed on %s\n", argv[1]);
      return 1;
    }
    report(argv[1], t);
    return 0;
  }
  char dir_template[] = "/tmp/ostrel_bench_XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir) return 1;
  const int n = 196;
  std::string path = std::string(dir) + "/bench_path.cube";
  auto t0 = std::chrono::steady_clock::now();
  if (!write_cube(path, n, 0.1 * n, landscape)) return 1;
  printf("grid %d^3 of a %.1f A cubic cell (file written in %.1f s)\n", n, 0.1 * n,
         seconds_since(t0));
  Timing sym, p1;
  bool ok = run(path, true, &sym) && run(path, false, &p1);
  unlink(path.c_str());
  rmdir(dir);
  if (!ok) {
    fprintf(stderr, "bench failed\n");
    return 1;
  }
  report("m-3m (48 operations)", sym);
  report("P1 (every saddle its own type)", p1);
  if (fabs(sym.e1 - p1.e1) > 1e-6 || fabs(sym.e2 - p1.e2) > 1e-6 || fabs(sym.e3 - p1.e3) > 1e-6)
    printf("note: the activation energies of the two runs differ\n");
  return 0;
}

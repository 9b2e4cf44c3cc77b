// Benchmark of the transport commands, timings measured side by side:
//  - kinetic Monte Carlo on the Na3PS4 landscape in its default supercell
//    (every edge at least 25 A): events per second with the sum tree over
//    the hop rates against linear scans for selection and total rate, from
//    the same placement and seed; then in a supercell twice as long on
//    every axis (eight times the hops);
//  - molecular dynamics of the Li ions of a 3x3x3 Li2O cell: steps per
//    second with the framework image list and neighbour lists against the
//    plain image loop every step, and the lists on one thread against all
//    threads, with the positions compared bit for bit.
//
// Usage: bench_velmora_transport [kmc_events] [md_steps]   (default 200000 200)
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora_bench_util.h"
#include "velmora-kmc.h"
#include "velmora-md.h"

namespace {

using velmora_bench::Clock;
using velmora_bench::seconds_since;

const std::string kBin = BV_BIN_DIR;
const std::string kUnitary = kBin + "/database_unitary.dat";
const std::string kBinary = kBin + "/database_binary.dat";
const std::string kSymcards = kBin + "/database_symcards.dat";

// Events per second of `events` events after placing the ions with `seed`.
double kmc_rate(VELMORA_KMC* kmc, bool linear, long events) {
  kmc->linear = linear;
  std::srand(12345);
  if (velmora_kmc_reset(kmc) != 0) return -1.0;
  const Clock::time_point t0 = Clock::now();
  for (long k = 0; k < events; ++k) {
    if (velmora_kmc_evolve(kmc) != 0) return -1.0;
  }
  return events / seconds_since(t0);
}

// `scale` multiplies the default supercell on every axis.
void bench_kmc(long events, int scale) {
  char dir[] = "/tmp/bench_velmora_transport_XXXXXX";
  if (!mkdtemp(dir)) return;
  const std::string cif = std::string(BV_SOURCE_DIR) + "/examples/Na3PS4.cif";
  const std::string cube = std::string(dir) + "/Na3PS4.cube";
  const std::string cmd = kBin + "/velmora.x --gen-cube " + cif + " Na 1 0 0.1 t t " + cube +
                          " > " + dir + "/gen.log 2>&1";
  if (std::system(cmd.c_str()) != 0) {
    std::printf("kmc: --gen-cube failed (see %s/gen.log)\n", dir);
    return;
  }
  int super[3] = {0, 0, 0};
  if (scale > 1) {
    std::unique_ptr<VELMORA_CELL> probe;
    std::unique_ptr<VELMORA_SYMMETRY> symmetry;
    if (velmora_cell_import_cif_from_file(probe, symmetry, cif.c_str(), kSymcards.c_str(),
                                          kUnitary.c_str()) != 0)
      return;
    for (int d = 0; d < 3; ++d) {
      const double* a = probe->a[d];
      super[d] = scale * static_cast<int>(std::ceil(25.0 / std::sqrt(a[0] * a[0] + a[1] * a[1] +
                                                                       a[2] * a[2])));
    }
  }
  std::unique_ptr<VELMORA_CELL> cell;
  std::fflush(stdout);
  const Clock::time_point t0 = Clock::now();
  std::unique_ptr<VELMORA_KMC> kmc =
      velmora_kmc_new_from_file(cell, cif.c_str(), cube.c_str(), "Na", 1, super, -1.0, -1.0,
                                kSymcards.c_str(), kUnitary.c_str(), kBinary.c_str());
  if (!kmc) return;
  const double build = seconds_since(t0);
  // The stoichiometric crystal hops only through high interstitials (no
  // event within reach at 600 K); a tenth of the Na taken out leaves
  // vacancies, as in the doped conductor.
  kmc->graph->total_occ *= 0.9;
  kmc->temperature = 600.0;
  kmc->t_limit = 0.0;
  kmc->step_limit = events;
  kmc->step_log = events;
  kmc->progress = false;
  if (velmora_kmc_init(kmc.get()) != 0) return;
  const double tree = kmc_rate(kmc.get(), false, events);
  const double t_tree = kmc->t;
  const double linear = kmc_rate(kmc.get(), true, events / 10);
  std::printf("kmc: Na3PS4 supercell [%d, %d, %d]: %ld sites, %ld hops, %ld ions; built in %.2f s\n",
              super[0], super[1], super[2], kmc->graph->total_v, kmc->graph->total_e, kmc->ions,
              build);
  std::printf("kmc: sum tree     %12.0f events/s (%ld events, %.3e ps)\n", tree, events, t_tree);
  std::printf("kmc: linear scans %12.0f events/s (%ld events)\n", linear, events / 10);
  std::printf("kmc: ratio tree / linear = %.1f\n", tree / linear);
}

std::unique_ptr<VELMORA_MD> li2o_md(bool direct) {
  const std::string cif = std::string(BV_SOURCE_DIR) + "/tests/data/cif/Li2O.cif";
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  if (velmora_cell_import_cif_from_file(cell, symmetry, cif.c_str(), kSymcards.c_str(),
                                        kUnitary.c_str()) != 0)
    return nullptr;
  const int n[3] = {3, 3, 3};
  cell = velmora_cell_supercell(cell.get(), n);
  if (!cell) return nullptr;
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_import_from_cell(
      cell.get(), "Li", 1, 0.75, kUnitary.c_str(), kBinary.c_str());
  if (!ppt || velmora_property_set_conducting(ppt.get(), "Li", 1) != 0) return nullptr;
  for (VELMORA_ATOM& a : cell->atom) a.ignored = a.os < 0;
  auto md = velmora_md_new(cell.get(), ppt.get());
  if (!md) return nullptr;
  md->direct = direct;
  md->progress = false;
  md->temperature_target = 900.0;
  std::srand(7);
  if (velmora_md_init_vv(md.get()) != 0) return nullptr;
  return md;
}

double md_rate(VELMORA_MD* md, long steps) {
  const Clock::time_point t0 = Clock::now();
  for (long s = 0; s < steps; ++s)
    if (velmora_md_update_vv_langevin(md) != 0) return -1.0;
  return steps / seconds_since(t0);
}

void bench_md(long steps) {
  const int threads = omp_get_max_threads();
  // Each run from its own seeding, so that all draw the same numbers.
  auto lists = li2o_md(false);
  if (!lists) {
    std::printf("md: set-up failed\n");
    return;
  }
  lists->thread_threshold = 0;
  const double r_lists = md_rate(lists.get(), steps);
  auto one = li2o_md(false);
  one->thread_threshold = 0;
  omp_set_num_threads(1);
  const double r_one = md_rate(one.get(), steps);
  omp_set_num_threads(threads);
  auto plain = li2o_md(true);
  const double r_plain = md_rate(plain.get(), steps / 10);
  bool same = true;
  for (std::size_t i = 0; i < lists->x.size(); ++i)
    for (int c = 0; c < 3; ++c) same = same && lists->x[i][c] == one->x[i][c];
  std::printf("md: Li2O 3x3x3, %ld mobile of %ld atoms, %ld list builds in %ld steps\n",
              lists->mobile_count, lists->cell->total, lists->builds, steps);
  std::printf("md: lists, %d threads %10.1f steps/s\n", threads, r_lists);
  std::printf("md: lists, 1 thread   %10.1f steps/s\n", r_one);
  std::printf("md: plain image loop  %10.1f steps/s (%ld steps)\n", r_plain, steps / 10);
  // The plain loop runs on one thread: the list ratio is taken on one too.
  std::printf("md: ratio lists / plain (one thread each) = %.1f; %d threads / one = %.2f; "
              "positions %s\n",
              r_one / r_plain, threads, r_lists / r_one,
              same ? "identical bit for bit" : "DIFFER between thread counts");
}

}  // namespace

int main(int argc, char** argv) {
  const long events = argc > 1 ? std::atol(argv[1]) : 200000;
  const long steps = argc > 2 ? std::atol(argv[2]) : 200;
  bench_kmc(events > 0 ? events : 200000, 1);
  bench_kmc(events > 0 ? events : 200000, 2);  // eight times the sites: the scan slows, the tree not
  bench_md(steps > 0 ? steps : 200);
  return 0;
}

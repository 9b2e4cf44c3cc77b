// Thread scaling of --gen-cube: the whole command (CIF reading, the
// screening-factor search, the landscape, the cube file) on one thread and
// on two, side by side in one run, on the 576-atom P 1 cell of Li2O (4 x 4 x
// 3 conventional cells) at 0.1 A, with the two files compared byte for byte.
//
// Usage: bench_velmora_threads [repeats] [resolution]   (default 3, 0.1)
//
// Other programs may share the cores, so two measures are printed: the best
// wall time of the repeats (1 and 2 threads alternate, so both meet the same
// load), and the CPU time of the busiest thread, which is the wall time the
// run would take on two idle cores (OpenMP threads wait passively, so
// waiting costs no CPU time).  Each stage is timed as well.
#include <omp.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>

#include "velmora-alloc.h"
#include "velmora-cmd.h"
#include "velmora-cube.h"
#include "velmora-import.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kBin = BV_BIN_DIR;
const std::string kSymcards = kBin + "/database_symcards.dat";
const std::string kUnitary = kBin + "/database_unitary.dat";

double thread_cpu() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + 1e-9 * t.tv_nsec;
}

// CPU time of every thread of the OpenMP team so far (index = thread).
std::vector<double> team_cpu(int threads) {
  std::vector<double> cpu(static_cast<std::size_t>(threads), 0.0);
#pragma omp parallel num_threads(threads)
  cpu[static_cast<std::size_t>(omp_get_thread_num())] = thread_cpu();
  return cpu;
}

struct Measure {
  double wall = 0.0;     // s
  double busiest = 0.0;  // CPU s of the busiest thread
  double total = 0.0;    // CPU s of all threads
};

// Standard output goes to /dev/null while one of these lives.
struct Quiet {
  int saved;
  Quiet() {
    std::fflush(stdout);
    saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~Quiet() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
};

// Runs velmora.x --gen-cube in this process with `threads` threads.
Measure run_gen_cube(int threads, const std::string& cif, const std::string& res,
                     const std::string& out) {
  omp_set_num_threads(threads);
  const std::vector<double> before = team_cpu(threads);
  std::string exe = kBin + "/velmora.x";
  std::vector<std::string> args = {exe, "--gen-cube", cif, "Li", "1", "-1", res, "t", "t", out};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  Measure m;
  int status;
  {
    Quiet quiet;
    const Clock::time_point t0 = Clock::now();
    status = velmora_cmd_start(static_cast<int>(argv.size()), argv.data());
    m.wall = std::chrono::duration<double>(Clock::now() - t0).count();
  }
  const std::vector<double> after = team_cpu(threads);
  for (int t = 0; t < threads; ++t) {
    const double used = after[t] - before[t];
    m.busiest = std::max(m.busiest, used);
    m.total += used;
  }
  if (status != 0) std::printf("velmora.x --gen-cube failed (%d)\n", status);
  return m;
}

bool same_file(const std::string& a, const std::string& b) {
  std::unique_ptr<VELMORA_TEXT> x = velmora_text_import_from_file(a.c_str());
  std::unique_ptr<VELMORA_TEXT> y = velmora_text_import_from_file(b.c_str());
  return x && y && x->content == y->content;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string res = argc > 2 ? argv[2] : "0.1";
  // Waiting threads sleep, so CPU time counts work only.
  setenv("OMP_WAIT_POLICY", "passive", 1);

  char dir_template[] = "/tmp/bench_velmora_threads.XXXXXX";
  if (!mkdtemp(dir_template)) return 1;
  const std::string dir = dir_template;
  const std::string cif = dir + "/Li2O_443.cif";
  {
    std::unique_ptr<VELMORA_CELL> cell;
    std::unique_ptr<VELMORA_SYMMETRY> symmetry;
    const std::string li2o = std::string(BV_SOURCE_DIR) + "/tests/data/validation/Li2O.cif";
    Quiet quiet;
    const int n[3] = {4, 4, 3};
    int status = velmora_cell_import_cif_from_file(cell, symmetry, li2o.c_str(), kSymcards.c_str(),
                                                   kUnitary.c_str());
    std::unique_ptr<VELMORA_CELL> super = status == 0 ? velmora_cell_supercell(cell.get(), n)
                                                      : nullptr;
    std::unique_ptr<VELMORA_TEXT> text =
        super ? velmora_cell_export_cif_to_text(super.get(), nullptr) : nullptr;
    status = text ? velmora_file_write_atomically(cif.c_str(), text->content) : 1;
    if (status != 0) {
      std::fprintf(stderr, "cannot build the 576-atom cell\n");
      return 1;
    }
  }
  const std::string out1 = dir + "/one.cube", out2 = dir + "/two.cube";
  Measure best1, best2;
  best1.wall = best2.wall = best1.busiest = best2.busiest = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const Measure one = run_gen_cube(1, cif, res, out1);
    const Measure two = run_gen_cube(2, cif, res, out2);
    std::printf("run %d: 1 thread %.2f s wall (%.2f s CPU); 2 threads %.2f s wall (busiest thread "
                "%.2f s CPU, all %.2f s)\n",
                r + 1, one.wall, one.busiest, two.wall, two.busiest, two.total);
    best1.wall = std::min(best1.wall, one.wall);
    best2.wall = std::min(best2.wall, two.wall);
    best1.busiest = std::min(best1.busiest, one.busiest);
    best2.busiest = std::min(best2.busiest, two.busiest);
  }
  std::printf("--gen-cube Li2O 4x4x3 (576 atoms) at %s A, best of %d:\n", res.c_str(), repeats);
  std::printf("  wall:               1 thread %6.2f s   2 threads %6.2f s   ratio %.2f\n",
              best1.wall, best2.wall, best1.wall / best2.wall);
  std::printf("  busiest thread CPU: 1 thread %6.2f s   2 threads %6.2f s   ratio %.2f\n",
              best1.busiest, best2.busiest, best1.busiest / best2.busiest);
  std::printf("  files byte-identical: %s\n", same_file(out1, out2) ? "yes" : "NO");
  std::remove(out1.c_str());
  std::remove(out2.c_str());
  std::remove(cif.c_str());
  rmdir(dir.c_str());
  return 0;
}

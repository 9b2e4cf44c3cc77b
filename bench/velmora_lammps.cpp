// Molecular dynamics of the mobile ions in a fixed framework at scale:
// velmora's engine (--md: Verlet lists, OpenMP threads) against LAMMPS
// running the files of --gen-lammps (the same force field and Langevin
// dynamics; MPI processes), measured side by side in one run on supercells
// of the fast Li conductor Li3N (hexagonal, 3 Li and 1 N a cell) of about
// 10,000 and 100,000 atoms, on one and two cores.  The supercells are built
// in memory: --md itself reads CIFs of at most 20,000 atoms.
//
// Per size, program and core count: wall seconds per step of the dynamics
// (set-up left out: --md's lists are built before the clock starts, LAMMPS
// reports the loop time of its production run), atoms x steps per second,
// processor seconds per step, and the ratios of --md's wall and processor
// times to LAMMPS'.
//
// Usage: bench_velmora_lammps [atoms ...]   (default 10000 100000)
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "velmora-import.h"
#include "velmora-lammps.h"
#include "velmora-md.h"
#include "velmora_bench_util.h"

namespace {

using velmora_bench::Clock;
using velmora_bench::cpu_seconds;
using velmora_bench::quiet;
using velmora_bench::seconds_since;

const std::string kBin = BV_BIN_DIR;
const std::string kUnitary = kBin + "/database_unitary.dat";
const std::string kBinary = kBin + "/database_binary.dat";
constexpr double kTemperature = 800.0, kDt = 0.001, kSf = 0.75;

struct Structure {
  std::unique_ptr<VELMORA_CELL> cell;     // the supercell
  std::unique_ptr<VELMORA_PROPERTY> ppt;  // Li+ mobile
  int n = 0;                              // cells along each axis
  long mobile = 0;
};

// The n x n x n supercell of Li3N with about `target` atoms, and its
// parameters (those of the cell, with the screening factor fixed).
bool li3n(Structure& s, long target) {
  std::unique_ptr<VELMORA_CELL> cell = velmora_bench::read_cell(
      std::string(BV_SOURCE_DIR) + "/tests/data/validation/Li3N.cif", kBin);
  if (!cell) return false;
  quiet([&] {
    s.ppt = velmora_property_import_from_cell(cell.get(), "Li", 1, kSf, kUnitary.c_str(),
                                              kBinary.c_str());
  });
  if (!s.ppt || velmora_property_set_conducting(s.ppt.get(), "Li", 1) != 0) return false;
  s.n = std::max(1, static_cast<int>(std::lround(std::cbrt(target / 4.0))));
  const int n[3] = {s.n, s.n, s.n};
  s.cell = velmora_cell_supercell(cell.get(), n);
  if (!s.cell) return false;
  s.mobile = 0;
  for (const VELMORA_ATOM& a : s.cell->atom) s.mobile += a.os > 0;
  return true;
}

// Wall and processor seconds per Langevin step of --md's engine on
// `threads` threads, after its set-up.
bool md_step(const Structure& s, int threads, long steps, double& wall, double& cpu) {
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_copy(s.cell.get());
  for (VELMORA_ATOM& a : cell->atom) a.ignored = a.os < 0;
  auto md = velmora_md_new(cell.get(), s.ppt.get());
  if (!md) return false;
  md->progress = false;
  md->temperature_target = kTemperature;
  md->dt = kDt;
  md->zeta = -0.1;  // the default friction of --md, 2 per ps
  omp_set_num_threads(threads);
  int status = 0;
  quiet([&] { status = velmora_md_init_vv(md.get()); });
  if (status != 0) return false;
  const double c0 = cpu_seconds();
  const Clock::time_point t0 = Clock::now();
  for (long k = 0; k < steps; ++k)
    if (velmora_md_update_vv_langevin(md.get()) != 0) return false;
  wall = seconds_since(t0) / steps;
  cpu = (cpu_seconds() - c0) / steps;
  return true;
}

// Wall and processor seconds per step of LAMMPS on `procs` MPI processes,
// from the loop time of the production run of the script in `dir` and the
// share of a core each process had meanwhile ("x% CPU use").
bool lammps_step(const std::string& dir, int procs, long steps, double& wall, double& cpu) {
  char cmd[2048];
  std::snprintf(cmd, sizeof cmd,
                "cd %s && mpirun -np %d lmp -log none -in li3n.in -var t_equil 0 -var t_log 1000 "
                "-var t_end %.6f > lmp%d.out 2>&1",
                dir.c_str(), procs, steps * kDt, procs);
  if (std::system(cmd) != 0) return false;
  std::ifstream out(dir + "/lmp" + std::to_string(procs) + ".out");
  std::string line;
  double loop = -1.0, use = 0.0;
  bool production = false;
  while (std::getline(out, line)) {
    double t = 0.0;
    long n = 0;
    int p = 0;
    if (std::sscanf(line.c_str(), "Loop time of %lf on %d procs for %ld steps", &t, &p, &n) == 3) {
      production = n == steps;
      if (production) loop = t;
    } else if (production && std::sscanf(line.c_str(), "%lf%% CPU use", &use) == 1) {
      production = false;
    }
  }
  wall = loop / steps;
  cpu = wall * use / 100.0 * procs;
  return loop > 0.0;
}

void row(long atoms, const char* program, int cores, double wall, double cpu) {
  std::printf("%8ld  %-7s %5d  %10.4f  %14.3e  %10.4f", atoms, program, cores, wall, atoms / wall,
              cpu);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> sizes;
  for (int k = 1; k < argc; ++k) sizes.push_back(std::atol(argv[k]));
  if (sizes.empty()) sizes = {10000, 100000};
  if (std::system("command -v lmp >/dev/null && command -v mpirun >/dev/null") != 0) {
    std::printf("lmp or mpirun not installed (Debian packages lammps, openmpi-bin)\n");
    return 1;
  }
  setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
  setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
  setenv("OMPI_MCA_rmaps_base_oversubscribe", "1", 1);
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("--md against LAMMPS: Li3N at %.0f K, dt %.3f ps, %d cores (load %.2f %.2f %.2f)\n",
              kTemperature, kDt, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)), load[0],
              load[1], load[2]);
  // The ratios: --md's wall and processor time per step over LAMMPS'.
  std::printf("\n%8s  %-7s %5s  %10s  %14s  %10s  %6s  %6s\n", "atoms", "program", "cores",
              "s/step", "atom-steps/s", "CPU s/step", "wall", "CPU");
  for (long target : sizes) {
    Structure s;
    if (!li3n(s, target)) {
      std::printf("set-up of %ld atoms failed\n", target);
      return 1;
    }
    // About 3e5 atom-steps a measurement: 30 steps at 10,000 atoms, 5 at 100,000.
    const long steps = std::max(5L, std::lround(3e5 / s.cell->total));
    char dir[] = "/tmp/bench_velmora_lammps_XXXXXX";
    if (!mkdtemp(dir)) return 1;
    VELMORA_LAMMPS_CONF conf;
    conf.base = std::string(dir) + "/li3n";
    conf.source = "Li3N.cif";
    conf.temperature = kTemperature;
    conf.dt = kDt;
    for (int k = 0; k < 3; ++k) conf.supercell[k] = s.n;
    int written = 1;
    quiet([&] { written = velmora_lammps_write(s.cell.get(), s.ppt.get(), &conf); });
    if (written != 0) return 1;
    std::printf("%8s  Li3N %d x %d x %d: %ld atoms, %ld mobile, %ld steps a measurement\n", "",
                s.n, s.n, s.n, s.cell->total, s.mobile, steps);
    for (int cores = 1; cores <= 2; ++cores) {
      double md = 0.0, md_cpu = 0.0, lmp = 0.0, lmp_cpu = 0.0;
      if (!md_step(s, cores, steps, md, md_cpu) ||
          !lammps_step(dir, cores, steps, lmp, lmp_cpu)) {
        std::printf("run on %d cores failed (see %s)\n", cores, dir);
        return 1;
      }
      row(s.cell->total, "--md", cores, md, md_cpu);
      std::printf("\n");
      row(s.cell->total, "LAMMPS", cores, lmp, lmp_cpu);
      std::printf("  %6.2f  %6.2f\n", md / lmp, md_cpu / lmp_cpu);
      std::fflush(stdout);
    }
    std::system((std::string("rm -rf ") + dir).c_str());
  }
  return 0;
}

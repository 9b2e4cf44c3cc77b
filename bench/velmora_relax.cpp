// Relaxation and band speed on a 224-atom cell (LiFePO4 2x2x2): steepest-
// descent steps and nudged-elastic-band steps per second on the persistent
// pair list with its skin (one pass gives energy and forces) against the
// straightforward loops (every step finds every image again, once for the
// forces and once for the energy, and once more for the stress of a lattice
// step).  The band runs its images on one thread and on all threads; the
// final images must be the same bit for bit.  Prints the rates, their ratios
// and the largest differences of energies and positions.  Relaxation times
// are the process's CPU time; the band prints wall-clock time (what threads
// shorten) beside CPU time, since other work on a shared machine lengthens
// wall-clock time.  Arguments: [bin dir] [relaxation steps] [band steps].
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-rx.h"
#include "velmora_bench_util.h"

namespace {

// Wall-clock seconds (the band's threads count once) and process CPU seconds.
double wall() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
using velmora_bench::quiet;
using velmora_bench::read_cell;
constexpr auto cpu = velmora_bench::cpu_seconds;


// Largest distance (A) between the same atom in two geometries of one
// lattice, nearest images (an atom may be wrapped on either face).
double largest_shift(const VELMORA_CELL& a, const VELMORA_CELL& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.atom.size(); ++i) {
    double f[3], x[3] = {0.0, 0.0, 0.0};
    for (int k = 0; k < 3; ++k) {
      f[k] = a.atom[i].x_f[k] - b.atom[i].x_f[k];
      f[k] -= std::round(f[k]);
    }
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) x[c] += f[k] * a.a[k][c];
    d = std::max(d, velmora_vector3_double_length(x));
  }
  return d;
}

// ------------------------------------------- straightforward relaxation ----

// The steps of --rx-sd with the library's separate sums: a lattice step
// every `step_p` steps from the stress, then the forces, the move and the
// energy, each sum finding its images anew.  Returns the last energy.
double plain_sd(VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt, long steps, long step_p) {
  VELMORA_VECTOR3_ARRAY force, dx;
  double en = velmora_cell_calculate_total_energy(cell, ppt);
  for (long step = 0; step < steps; ++step) {
    if (step % step_p == 0) {
      double stress[3];
      velmora_cell_calculate_stress_diagonal(stress, cell, ppt);
      double strain[3][3] = {};
      for (int i = 0; i < 3; ++i) strain[i][i] = -0.5 * stress[i];
      velmora_cell_deform(cell, strain);
    }
    velmora_cell_calculate_force(force, cell, ppt);
    velmora_cell_calculate_coordinate_step_size_simple(dx, cell, ppt, force);
    velmora_cell_update_coordinate(cell, dx);
    en = velmora_cell_calculate_total_energy(cell, ppt);
  }
  return en;
}

// ------------------------------------------------- straightforward band ----

// The steps of the band with each image's energy and forces from the
// separate sums, one image after another; the projections and moves are the
// band's own (with the energies in place, the band evaluates nothing).
void plain_neb(VELMORA_RX_NEB* neb, long steps) {
  const int n = neb->total;
  auto evaluate = [&](int k) {
    neb->en[k] = velmora_cell_calculate_total_energy(neb->cell[k].get(), neb->ppt.get());
    velmora_cell_calculate_force(neb->f0[k], neb->cell[k].get(), neb->ppt.get());
  };
  for (int k = 0; k < n; ++k) evaluate(k);
  neb->moved = false;
  neb->ends_done = true;
  for (long step = 0; step < steps; ++step) {
    velmora_rx_neb_calculate_forces(neb);
    for (int k = 1; k < n - 1; ++k) {
      velmora_cell_calculate_coordinate_step_size_simple(neb->dx[k], neb->cell[k].get(),
                                                         neb->ppt.get(), neb->f[k]);
      velmora_cell_update_coordinate(neb->cell[k].get(), neb->dx[k]);
      evaluate(k);
    }
  }
}

// A lithium hop in LiFePO4 2x2x2: one Li removed, its nearest Li moves into
// the vacancy along the b-axis channel.  Every atom is free.
struct Hop {
  std::unique_ptr<VELMORA_CELL> first, last;
};

Hop make_hop(const VELMORA_CELL* cell) {
  Hop h;
  h.first = velmora_cell_copy(cell);
  auto& atom = h.first->atom;
  int gone = -1;
  for (std::size_t i = 0; i < atom.size() && gone < 0; ++i)
    if (atom[i].type[0] == 'L' && atom[i].type[1] == 'i') gone = static_cast<int>(i);
  if (gone < 0) return Hop();
  const std::array<double, 3> site = {atom[gone].x[0], atom[gone].x[1], atom[gone].x[2]};
  atom.erase(atom.begin() + gone);
  h.first->total = static_cast<long>(atom.size());
  int mobile = -1;
  double best = 1e300;
  for (std::size_t i = 0; i < atom.size(); ++i) {
    if (!(atom[i].type[0] == 'L' && atom[i].type[1] == 'i')) continue;
    double v[3];
    VELMORA_ATOM probe = atom[i];
    for (int c = 0; c < 3; ++c) probe.x[c] = site[c];
    velmora_cell_min_vector_btw_atoms(v, h.first.get(), &atom[i], &probe);
    const double d = velmora_vector3_double_length(v);
    if (d < best) best = d, mobile = static_cast<int>(i);
  }
  // The band checks that names are unique; the supercell repeats them.
  for (std::size_t i = 0; i < atom.size(); ++i) {
    atom[i].ignored = false;
    const std::string name = std::string(atom[i].type).substr(0, 2) + std::to_string(i);
    std::snprintf(atom[i].name, sizeof atom[i].name, "%.11s", name.c_str());
  }
  h.last = velmora_cell_copy(h.first.get());
  for (int c = 0; c < 3; ++c) h.last->atom[mobile].x[c] = site[c];
  velmora_cell_update_coordinate_fractional(h.last.get());
  velmora_cell_bound_fractional(h.last.get());
  velmora_cell_update_coordinate_cartesion(h.last.get());
  std::printf("band: Li hop of %.3f A, %zu atoms\n", best, atom.size());
  return h;
}

struct BandRun {
  double seconds = 0.0, cpu_seconds = 0.0;
  std::unique_ptr<VELMORA_RX_NEB> neb;
};

BandRun run_band(const Hop& h, const VELMORA_PROPERTY* ppt, int images, long steps, int threads,
                 bool plain, const std::string& prefix) {
  BandRun r;
  auto first = velmora_cell_copy(h.first.get());
  auto last = velmora_cell_copy(h.last.get());
  quiet([&] { r.neb = velmora_rx_neb_new(first.get(), last.get(), ppt, images); });
  if (!r.neb) return r;
  r.neb->relax = false;
  r.neb->step_limit = steps;
  r.neb->step_log = -1;  // no logs; the final images go to `prefix`
  r.neb->log_filename = prefix;
  omp_set_num_threads(threads);
  const double t0 = wall(), c0 = cpu();
  if (plain)
    plain_neb(r.neb.get(), steps);
  else
    quiet([&] { velmora_rx_neb_run(r.neb.get()); });
  r.seconds = wall() - t0;
  r.cpu_seconds = cpu() - c0;
  for (int k = 0; k < images; ++k)
    std::remove((prefix + ".neb." + std::to_string(k) + ".cif").c_str());
  std::remove((prefix + ".neb.xyz").c_str());
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string bin = argc > 1 ? argv[1] : BV_BIN_DIR;
  const long sd_steps = argc > 2 ? std::atol(argv[2]) : 20;
  const long neb_steps = argc > 3 ? std::atol(argv[3]) : 10;
  const std::string data = std::string(BV_SOURCE_DIR) + "/tests/data/validation/";
  auto small = read_cell(data + "LiFePO4.cif", bin);
  if (!small) {
    std::fprintf(stderr, "cannot read %sLiFePO4.cif\n", data.c_str());
    return 1;
  }
  const int n[3] = {2, 2, 2};
  auto cell = velmora_cell_supercell(small.get(), n);
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  quiet([&] {
    ppt = velmora_property_import_from_cell(cell.get(), nullptr, 0, 0.75,
                                            (bin + "/database_unitary.dat").c_str(),
                                            (bin + "/database_binary.dat").c_str());
  });
  if (!ppt) {
    std::fprintf(stderr, "parameter build failed\n");
    return 1;
  }
  const int cores = omp_get_num_procs();
  std::printf("LiFePO4 2x2x2: %ld atoms, screening factor %.2f, %d core(s)\n", cell->total,
              ppt->sf, cores);

  // Steepest descent: the same steps both ways (a lattice step every tenth).
  omp_set_num_threads(1);
  auto plain_cell = velmora_cell_copy(cell.get());
  double t0 = cpu();
  const double en_plain = plain_sd(plain_cell.get(), ppt.get(), sd_steps, 10);
  const double t_plain = cpu() - t0;
  std::unique_ptr<VELMORA_RX_SD> rx = velmora_rx_sd_new(cell.get(), ppt.get());
  rx->step_limit = sd_steps;
  rx->step_p = 10;
  rx->parallel = false;
  t0 = cpu();
  quiet([&] { velmora_rx_sd_run(rx.get()); });
  const double t_list = cpu() - t0;
  std::printf("--rx-sd, %ld steps, one thread (CPU time):\n", sd_steps);
  std::printf("  pair list  %8.2f steps/s (%ld list builds)\n", sd_steps / t_list, rx->list.builds);
  std::printf("  plain      %8.2f steps/s\n", sd_steps / t_plain);
  std::printf("  ratio      %8.1f\n", t_plain / t_list);
  std::printf("  energy %.8f eV vs %.8f eV; largest position difference %.2e A\n", rx->en,
              en_plain, largest_shift(*rx->cell, *plain_cell));

  // The band: 7 images (5 moving), the same steps on the list with one and
  // with all threads, and the straightforward loops on one.
  Hop hop = make_hop(cell.get());
  if (!hop.first) {
    std::fprintf(stderr, "no Li to move\n");
    return 1;
  }
  char dir[] = "/tmp/bench_relax_XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string prefix = std::string(dir) + "/band";
  const int images = 7;
  BandRun one = run_band(hop, ppt.get(), images, neb_steps, 1, false, prefix);
  BandRun all = run_band(hop, ppt.get(), images, neb_steps, cores, false, prefix);
  BandRun plain = run_band(hop, ppt.get(), images, neb_steps, 1, true, prefix);
  rmdir(dir);
  if (!one.neb || !all.neb || !plain.neb) {
    std::fprintf(stderr, "band setup failed\n");
    return 1;
  }
  bool same = true;
  double shift = 0.0, den = 0.0;
  for (int k = 0; k < images; ++k) {
    same = same && one.neb->en[k] == all.neb->en[k];
    for (std::size_t i = 0; i < one.neb->cell[k]->atom.size(); ++i)
      for (int c = 0; c < 3; ++c)
        same = same && one.neb->cell[k]->atom[i].x[c] == all.neb->cell[k]->atom[i].x[c];
    shift = std::max(shift, largest_shift(*one.neb->cell[k], *plain.neb->cell[k]));
    den = std::max(den, std::fabs(one.neb->en[k] - plain.neb->en[k]));
  }
  std::printf("band, %d images, %ld steps (wall time; CPU time in brackets):\n", images,
              neb_steps);
  std::printf("  pair list, %d thread(s) %8.3f steps/s  (%.1f s, CPU %.1f s)\n", cores,
              neb_steps / all.seconds, all.seconds, all.cpu_seconds);
  std::printf("  pair list, 1 thread     %8.3f steps/s  (%.1f s, CPU %.1f s)\n",
              neb_steps / one.seconds, one.seconds, one.cpu_seconds);
  std::printf("  plain, 1 thread         %8.3f steps/s  (%.1f s, CPU %.1f s)\n",
              neb_steps / plain.seconds, plain.seconds, plain.cpu_seconds);
  std::printf("  ratio list/plain (1 thread) %6.1f wall, %6.1f CPU; %d threads / 1 thread %5.2f wall\n",
              plain.seconds / one.seconds, plain.cpu_seconds / one.cpu_seconds, cores,
              one.seconds / all.seconds);
  std::printf("  images on %d threads equal to 1 thread bit for bit: %s\n", cores,
              same ? "yes" : "NO");
  std::printf("  against the plain loops: largest energy difference %.2e eV, position %.2e A\n",
              den, shift);
  return same ? 0 : 1;
}

// Benchmark of the landscape sum: the straightforward loop (every atom under
// every lattice translation for every computed voxel) against the
// neighbour-list blocks of velmora_cube_field_energies, on the same voxels,
// with the largest difference, the pair evaluations per second and a tight
// loop of exp and erfc alone for comparison.
//
// Usage: bench_velmora_cube [seconds]   (budget of the straightforward loop
// per case, default 20 s; beyond it the loop runs on an even sample of the
// voxels and its time is scaled, which the output says).
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmora-alloc.h"
#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora_bench_util.h"

namespace {

using velmora_bench::Clock;
using velmora_bench::seconds_since;

const std::string kBin = BV_BIN_DIR;
const std::string kUnitary = kBin + "/database_unitary.dat";
const std::string kBinary = kBin + "/database_binary.dat";
const std::string kSymcards = kBin + "/database_symcards.dat";

// The straightforward landscape sum at point p: all atoms, all translations,
// species looked up per atom, pair functions called as they are.
// Arguments of the evaluated terms, for the tight loop: (d, rmin, b) of
// bonded terms, (d, r_eff) of Coulomb terms.
struct Arguments {
  std::vector<double> bonded, coulomb;
};

double plain_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt, const long range[3],
                    const double p[3], long& evaluations, Arguments* sample = nullptr) {
  const int c = ppt->conducting;
  double e_b = 0.0, e_c = 0.0;
  for (const VELMORA_ATOM& atom : cell->atom) {
    if (atom.ignored) continue;
    const int s = velmora_property_find_index(ppt, atom.type, atom.os);
    const int i1 = ppt->os[c] < 0 ? s : c;
    const int i2 = ppt->os[c] < 0 ? c : s;
    const VELMORA_PROPERTY_BINARY& bin = ppt->bin[i1][i2];
    const bool opposite = static_cast<long>(ppt->os[c]) * ppt->os[s] < 0;
    for (long l = -range[0]; l <= range[0]; ++l)
      for (long m = -range[1]; m <= range[1]; ++m)
        for (long n = -range[2]; n <= range[2]; ++n) {
          double dx[3];
          for (int k = 0; k < 3; ++k)
            dx[k] = (atom.x[k] + (l * cell->a[0][k] + m * cell->a[1][k] + n * cell->a[2][k])) -
                    p[k];
          const double d = std::sqrt(dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2]);
          if (opposite) {
            if (d > bin.cutoff) continue;
            const double term =
                d > bin.r_bc
                    ? velmora_energy_bonding_with_energy_shift(d, bin.d0, bin.rmin, bin.b, bin.en_s)
                    : velmora_pseudopotential_energy_bonding(d, bin.a2, bin.a1, bin.a0);
            e_b += term * atom.occ;
            ++evaluations;
            if (sample) sample->bonded.insert(sample->bonded.end(), {d, bin.rmin, bin.b});
          } else {
            if (d > 10.0) continue;
            const double term =
                d > bin.r_cc
                    ? velmora_energy_coulombic(d, ppt->uni[c].q * ppt->uni[s].q,
                                               ppt->sf * (ppt->uni[c].rc + ppt->uni[s].rc))
                    : velmora_pseudopotential_energy_coulombic(d, bin.a2, bin.a1, bin.a0);
            e_c += term * atom.occ;
            ++evaluations;
            if (sample)
              sample->coulomb.insert(sample->coulomb.end(),
                                     {d, ppt->sf * (ppt->uni[c].rc + ppt->uni[s].rc)});
          }
        }
  }
  const double e = 14.39964 * (e_b + e_c);
  return e > 999.9 ? 999.9 : e;
}

// Seconds per call of term(i), i < n, in a loop doing nothing else,
// repeated until it has run for a while.
template <class Term>
double seconds_per_term(std::size_t n, Term term) {
  if (n == 0) return 0.0;
  volatile double sink = 0.0;
  long count = 0;
  double time = 0.0;
  const Clock::time_point t0 = Clock::now();
  do {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += term(i);
    sink = sink + s;
    count += n;
  } while ((time = seconds_since(t0)) < 0.3);
  return time / count;
}

// Seconds per evaluation of exp((rmin - d)/b) and erfc(d/r_eff)/d on the
// arguments the landscape evaluates.
double tight_seconds_per_evaluation(const Arguments& args) {
  const std::size_t nb = args.bonded.size() / 3, nc = args.coulomb.size() / 2;
  const double per_b = seconds_per_term(nb, [&](std::size_t i) {
    const double* a = &args.bonded[3 * i];
    return std::exp((a[1] - a[0]) / a[2]);
  });
  const double per_c = seconds_per_term(nc, [&](std::size_t i) {
    const double* a = &args.coulomb[2 * i];
    return std::erfc(a[0] / a[1]) / a[0];
  });
  // The landscape's mix: nb bonded and nc Coulomb terms.
  return (nb * per_b + nc * per_c) / static_cast<double>(nb + nc);
}

struct Case {
  std::string name;
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
};

bool load(Case& out, const std::string& name, const std::string& path, const int super[3]) {
  out.name = name;
  if (velmora_cell_import_cif_from_file(out.cell, out.symmetry, path.c_str(), kSymcards.c_str(),
                                        kUnitary.c_str()) != 0)
    return false;
  if (super) {
    std::unique_ptr<VELMORA_CELL> big = velmora_cell_supercell(out.cell.get(), super);
    if (!big) return false;
    std::unique_ptr<VELMORA_CELL> li = velmora_cell_assign_partial_occ_at_conducting_site(big.get(), "Li", 1);
    if (!li) return false;
    // The other shared sites (Cu, Nb, Ti) resolved too: one atom per site.
    out.cell = velmora_cell_assign_partial_occ_all(li.get());
    if (!out.cell) return false;
    out.symmetry = velmora_symmetry_new_p1();
  }
  return true;
}

void run(Case& k, double resolution, double budget) {
  VELMORA_CELL* cell = k.cell.get();
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_import_from_cell(
      cell, "Li", 1, 0.7, kUnitary.c_str(), kBinary.c_str());
  if (!ppt) {
    std::printf("%s: no parameters\n", k.name.c_str());
    return;
  }
  long n[3];
  velmora_cube_grid_size(n, cell->parameter, resolution);
  VELMORA_SYMMETRY group = *k.symmetry;
  velmora_symmetry_fill_card_discrete(&group, n);
  // The computed voxels: the first of every set of grid-compatible images.
  const long total = n[0] * n[1] * n[2];
  std::vector<unsigned char> reached(total, 0);
  std::vector<long> rep;
  for (long v = 0; v < total; ++v) {
    if (reached[v]) continue;
    rep.push_back(v);
    const long p[3] = {v / (n[1] * n[2]), (v / n[2]) % n[1], v % n[2]};
    for (const VELMORA_CARD& card : group.card) {
      if (!velmora_cube_card_fits_grid(&card, n)) continue;
      long q[3];
      velmora_card_transform_vector3_long(q, p, n, &card);
      reached[(q[0] * n[1] + q[1]) * n[2] + q[2]] = 1;
    }
  }
  double a_i[3][3];
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c) a_i[i][c] = cell->a[i][c] / n[i];
  for (VELMORA_ATOM& atom : cell->atom)
    atom.ignored = std::strcmp(atom.type, "Li") == 0 && atom.os == 1;
  VELMORA_CUBE_FIELD field;
  if (velmora_cube_field_build(field, cell, ppt.get()) != 0) return;

  // Fast sum on one thread, then on all; short runs are repeated for a
  // measurable time.
  std::vector<double> fast, fast_all;
  const int threads = omp_get_max_threads();
  auto time_fast = [&](std::vector<double>& out) {
    int runs = 0;
    const Clock::time_point t0 = Clock::now();
    do {
      velmora_cube_field_energies(out, field, rep, n, a_i, false);
      ++runs;
    } while (seconds_since(t0) < 0.5);
    return seconds_since(t0) / runs;
  };
  omp_set_num_threads(1);
  const double t_fast = time_fast(fast);
  omp_set_num_threads(threads);
  const double t_fast_all = time_fast(fast_all);
  Clock::time_point t0;

  // Straightforward loop on all voxels, or on every stride-th one.
  long stride = 1;
  {
    long probe_evals = 0;
    const long probe = std::min<long>(rep.size(), 20);
    t0 = Clock::now();
    for (long r = 0; r < probe; ++r) {
      const long v = rep[r * (rep.size() / probe)];
      double p[3];
      velmora_cube_voxel_point(p, a_i, v / (n[1] * n[2]), (v / n[2]) % n[1], v % n[2]);
      plain_energy(cell, ppt.get(), field.bond->range, p, probe_evals);
    }
    const double per_voxel = seconds_since(t0) / probe;
    const double estimate = per_voxel * rep.size();
    if (estimate > budget) stride = static_cast<long>(std::ceil(estimate / budget));
  }
  long evaluations = 0, sampled = 0, equal = 0;
  Arguments args;
  double max_diff = 0.0;
  t0 = Clock::now();
  for (std::size_t r = 0; r < rep.size(); r += stride) {
    const long v = rep[r];
    double p[3];
    velmora_cube_voxel_point(p, a_i, v / (n[1] * n[2]), (v / n[2]) % n[1], v % n[2]);
    const double e = plain_energy(cell, ppt.get(), field.bond->range, p, evaluations,
                                  sampled < 400 ? &args : nullptr);
    max_diff = std::max(max_diff, std::fabs(e - fast[r]));
    if (std::memcmp(&e, &fast[r], sizeof e) == 0) ++equal;
    ++sampled;
  }
  const double t_sample = seconds_since(t0);
  const double scale = static_cast<double>(rep.size()) / sampled;
  const double t_plain = t_sample * scale;
  const double evals_total = evaluations * scale;
  double max_thread_diff = 0.0;
  for (std::size_t r = 0; r < rep.size(); ++r)
    max_thread_diff = std::max(max_thread_diff, std::fabs(fast[r] - fast_all[r]));

  const double tight = 1.0 / tight_seconds_per_evaluation(args);
  const double share_b = static_cast<double>(args.bonded.size() / 3) /
                         (args.bonded.size() / 3 + args.coulomb.size() / 2);
  const double rate_fast = evals_total / t_fast;

  long active = 0;
  for (const VELMORA_ATOM& atom : cell->atom) active += atom.ignored ? 0 : 1;
  std::printf(
      "%-9s res %.1f: %ld atoms (%ld summed), grid %ldx%ldx%ld, %zu computed voxels, "
      "images %zu+%zu\n",
      k.name.c_str(), resolution, cell->total, active, n[0], n[1], n[2], rep.size(),
      field.bond->atom.size(), field.like->atom.size());
  std::printf("  straightforward %10.3f s", t_plain);
  if (stride > 1)
    std::printf(" (measured on every %ldth voxel: %ld voxels in %.3f s, scaled by %.1f)", stride,
                sampled, t_sample, scale);
  std::printf("\n");
  std::printf("  fast, 1 thread  %10.3f s   ratio %7.1fx\n", t_fast, t_plain / t_fast);
  std::printf("  fast, %d threads %9.3f s   ratio %7.1fx\n", threads, t_fast_all,
              t_plain / t_fast_all);
  std::printf("  largest |difference| %.3g eV over %ld voxels (%ld bitwise equal); "
              "1 vs %d threads: %.3g eV\n",
              max_diff, sampled, equal, threads, max_thread_diff);
  std::printf("  pair evaluations %.3g: %.3g per s on 1 thread; tight exp/erfc loop on the "
              "same arguments (%.0f%% exp) %.3g per s, %.2fx of it\n",
              evals_total, rate_fast, 100.0 * share_b, tight, tight / rate_fast);
  std::fflush(stdout);
  for (VELMORA_ATOM& atom : cell->atom) atom.ignored = false;
}

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 20.0;
  std::srand(20240611);
  const std::string src = BV_SOURCE_DIR;
  std::vector<Case> cases(3);
  bool ok[3];
  ok[0] = load(cases[0], "Li2O", src + "/tests/data/validation/Li2O.cif", nullptr);
  ok[1] = load(cases[1], "LiFePO4", src + "/tests/data/validation/LiFePO4.cif", nullptr);
  // CaCu3Ti4O12-type Li conductor with Li, Cu, Nb and Ti sharing sites
  // (COD 1001354), 2x2x1 cells with the occupancies resolved: about 160
  // atoms in P 1.
  const int super[3] = {2, 2, 1};
  ok[2] = load(cases[2], "assigned", src + "/../shared/data/cod/1001354.cif", super);
  if (!ok[2]) std::printf("the P 1 case needs the COD file 1001354.cif; skipped\n");
  for (double resolution : {0.2, 0.1})
    for (int k = 0; k < 3; ++k)
      if (ok[k]) run(cases[k], resolution, budget);
  return 0;
}

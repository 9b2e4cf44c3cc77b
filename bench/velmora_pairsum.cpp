// Pair sums of the force field: time of the parameter build with the
// automatic screening-factor search (what --print-ppt does) and of the total
// energy (--cal-tot-en) on a small cell and on a ~200-atom cell, against the
// straightforward loop over all atoms and (2N+1)^3 image translations that
// re-finds every image in every energy.  Prints the times, their ratio and
// the largest differences of energies and screening factors.  Times are the
// process's CPU time, so that other work on a shared machine does not count.
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "velmora-import.h"
#include "velmora_bench_util.h"
#include "velmora-la.h"
#include "velmora-rx.h"

namespace {

using velmora_bench::quiet;
using velmora_bench::read_cell;

// ------------------------------------------------ straightforward loop ----

double plain_energy(const VELMORA_CELL& cell, const VELMORA_PROPERTY& ppt) {
  double r = 10.0;
  for (const auto& row : ppt.bin)
    for (const auto& p : row) r = std::max(r, p.cutoff);
  long n[3];
  for (int k = 0; k < 3; ++k)
    n[k] = static_cast<long>(r / velmora_vector3_double_length(cell.a[k]) + 1.0);
  double total = 0.0;
  for (const VELMORA_ATOM& ai : cell.atom) {
    if (ai.ignored) continue;
    const int si = velmora_property_find_index(&ppt, ai.type, ai.os);
    for (const VELMORA_ATOM& aj : cell.atom) {
      const int sj = velmora_property_find_index(&ppt, aj.type, aj.os);
      const long product = static_cast<long>(ai.os) * aj.os;
      for (long l = -n[0]; l <= n[0]; ++l)
        for (long m = -n[1]; m <= n[1]; ++m)
          for (long k = -n[2]; k <= n[2]; ++k) {
            double p[3];
            for (int c = 0; c < 3; ++c)
              p[c] = aj.x[c] + (l * cell.a[0][c] + m * cell.a[1][c] + k * cell.a[2][c]);
            const double d = velmora_vector3_double_distance(p, ai.x);
            if (d <= 0.3) continue;
            double e;
            if (product > 0) {
              if (d > r) continue;
              e = velmora_energy_coulombic(d, ppt.uni[si].q * ppt.uni[sj].q,
                                           ppt.sf * (ppt.uni[si].rc + ppt.uni[sj].rc));
            } else if (product < 0) {
              const auto& b = ai.os > 0 ? ppt.bin[si][sj] : ppt.bin[sj][si];
              if (d > b.cutoff) continue;
              e = velmora_energy_bonding_with_energy_shift(d, b.d0, b.rmin, b.b, b.en_s);
            } else {
              continue;
            }
            total += e * (ai.occ * aj.occ);
          }
    }
  }
  return total * 7.19982;
}

double plain_pressure(const VELMORA_CELL& cell, const VELMORA_PROPERTY& ppt) {
  const double step = 0.0001, volume = velmora_cell_calculate_volume(&cell);
  double sum = 0.0;
  for (int i = 0; i < 3; ++i) {
    double e[2];
    for (int s = 0; s < 2; ++s) {
      auto copy = velmora_cell_copy(&cell);
      double strain[3][3] = {};
      strain[i][i] = s == 0 ? -step : step;
      velmora_cell_deform(copy.get(), strain);
      e[s] = plain_energy(*copy, ppt);
    }
    sum += (e[1] - e[0]) / (2.0 * step) / volume;
  }
  return sum * 0.3333333333333333;
}

// The screening-factor search with the plain pressure.
double plain_search(VELMORA_PROPERTY& ppt, const VELMORA_CELL& cell) {
  ppt.sf = 0.75;
  double p = plain_pressure(cell, ppt);
  bool expand_prev = p <= 0.0, first = true;
  double p_prev = 0.0, p_step = 0.0, sf_step = 0.1;
  int round = 0;
  while (sf_step >= 0.0005 || (!first && p_step >= 0.0005)) {
    first = false;
    p = plain_pressure(cell, ppt);
    const bool expand = !(p > 0.0);
    ppt.sf += expand ? -sf_step : sf_step;
    if (expand != expand_prev) sf_step *= 0.5;
    expand_prev = expand;
    p_step = p - p_prev;
    p_prev = p;
    if (++round > 100 || ppt.sf < 0.55 || ppt.sf > 1.0) return ppt.sf = 0.75;
  }
  return ppt.sf;
}

// ---------------------------------------------------------------- timing ----


// Times one cell; returns the energy at the screening factor found.
double bench(const char* label, VELMORA_CELL* cell, const std::string& bin, int threads) {
  const std::string unitary = bin + "/database_unitary.dat", binary = bin + "/database_binary.dat";
  omp_set_num_threads(threads);
  // --print-ppt: the parameter build with the search.
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  double t0 = velmora_bench::cpu_seconds();
  quiet([&] {
    ppt = velmora_property_import_from_cell(cell, nullptr, 0, -1.0, unitary.c_str(),
                                            binary.c_str());
  });
  const double t_ppt = velmora_bench::cpu_seconds() - t0;
  if (!ppt) {
    std::printf("%s: parameter build failed\n", label);
    return 0.0;
  }
  // --cal-tot-en at that factor (the build, then the energy).
  t0 = velmora_bench::cpu_seconds();
  double energy = 0.0;
  quiet([&] { energy = velmora_cell_total_energy(cell, ppt.get()); });
  const double t_energy = velmora_bench::cpu_seconds() - t0;

  // The straightforward loop: the same build without the search, the plain
  // search and the plain energy.
  std::unique_ptr<VELMORA_PROPERTY> ref;
  t0 = velmora_bench::cpu_seconds();
  quiet([&] {
    ref = velmora_property_import_from_cell(cell, nullptr, 0, 0.75, unitary.c_str(),
                                            binary.c_str());
  });
  const double sf_ref = plain_search(*ref, *cell);
  const double t_ppt_ref = velmora_bench::cpu_seconds() - t0;
  t0 = velmora_bench::cpu_seconds();
  const double energy_ref = plain_energy(*cell, *ppt);
  const double t_energy_ref = velmora_bench::cpu_seconds() - t0;

  std::printf("%-28s %4ld atoms %d thread(s)\n", label, cell->total, threads);
  std::printf("  --print-ppt : %9.3f s  (plain loop %9.3f s, ratio %6.1f)  sf %.6f vs %.6f\n",
              t_ppt, t_ppt_ref, t_ppt_ref / t_ppt, ppt->sf, sf_ref);
  std::printf("  --cal-tot-en: %9.4f s  (plain loop %9.4f s, ratio %6.1f)  E %.10f eV\n",
              t_energy, t_energy_ref, t_energy_ref / t_energy, energy);
  std::printf("  largest relative difference of energies: %.2e\n",
              std::fabs(energy - energy_ref) / std::max(1e-300, std::fabs(energy_ref)));
  return energy;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string bin = argc > 1 ? argv[1] : BV_BIN_DIR;
  const std::string data = std::string(BV_SOURCE_DIR) + "/tests/data/validation/";
  auto small = read_cell(data + "LiFePO4.cif", bin);
  if (!small) {
    std::fprintf(stderr, "cannot read %sLiFePO4.cif\n", data.c_str());
    return 1;
  }
  const int n[3] = {2, 2, 2};
  auto large = velmora_cell_supercell(small.get(), n);
  bench("LiFePO4", small.get(), bin, 1);
  const double e1 = bench("LiFePO4 2x2x2", large.get(), bin, 1);
  // A cell with short lattice vectors needs many translations.
  auto li2o = read_cell(data + "Li2O.cif", bin);
  if (li2o) bench("Li2O", li2o.get(), bin, 1);
  // The sums never depend on the number of threads.
  const double e2 = bench("LiFePO4 2x2x2", large.get(), bin, 2);
  std::printf("energy with 1 and 2 threads: %s\n", e1 == e2 ? "identical" : "DIFFERENT");
  return e1 == e2 ? 0 : 1;
}

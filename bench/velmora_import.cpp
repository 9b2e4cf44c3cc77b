// Timing of the CIF reader and the space-group search of velmora.x against
// their budgets: a 500-atom P1 cell must read in well under a second, and
// --cal-sym on a cell of about a hundred atoms must take seconds at most.
// Prints the time and its ratio to the budget (below 1 is within budget).
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "velmora-import.h"

namespace {

const std::string kSymcards = std::string(BV_BIN_DIR) + "/database_symcards.dat";
const std::string kUnitary = std::string(BV_BIN_DIR) + "/database_unitary.dat";

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::unique_ptr<VELMORA_CELL> read(const std::string& cif) {
  auto text = velmora_text_new(cif.c_str());
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  std::FILE* saved = stdout;
  stdout = std::fopen("/dev/null", "w");
  const int status = velmora_cell_import_cif_from_text(cell, symmetry, text.get(),
                                                       kSymcards.c_str(), kUnitary.c_str());
  std::fclose(stdout);
  stdout = saved;
  if (status != 0) std::fprintf(stderr, "bench: reading failed\n");
  return cell;
}

std::string header(double a, double b, double c, const char* symmetry) {
  char s[512];
  std::snprintf(s, sizeof s,
                "data_bench\n_cell_length_a %g\n_cell_length_b %g\n_cell_length_c %g\n"
                "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n%s\nloop_\n"
                "_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
                "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n",
                a, b, c, symmetry);
  return s;
}

void report(const char* what, double t, double budget) {
  std::printf("%-52s %8.3f s   budget %5.1f s   ratio %6.3f\n", what, t, budget, t / budget);
}

}  // namespace

int main() {
  // 500 atoms at random positions in P1.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0, 1);
  std::string p1 = header(20, 20, 20, "_space_group_IT_number 1");
  for (int i = 0; i < 500; ++i) {
    char line[128];
    std::snprintf(line, sizeof line, "%s%d %s %.5f %.5f %.5f 1\n", i % 3 ? "O" : "Li", i,
                  i % 3 ? "O2-" : "Li1+", u(rng), u(rng), u(rng));
    p1 += line;
  }
  auto t0 = std::chrono::steady_clock::now();
  const int repeat = 5;
  for (int r = 0; r < repeat; ++r) read(p1);
  report("read a 500-atom P1 cell", seconds_since(t0) / repeat, 1.0);

  // Spinel MgAl2O4 (Fd-3m, 56 atoms) and its doubled cell (112 atoms): many
  // settings fit, the expensive case of the search.
  const std::string spinel_atoms =
      "Mg1 Mg2+ 0.125 0.125 0.125 1\nAl1 Al3+ 0.5 0.5 0.5 1\nO1 O2- 0.2624 0.2624 0.2624 1\n";
  auto spinel = read(header(8.08, 8.08, 8.08, "_symmetry_space_group_name_H-M 'F d -3 m'") +
                     spinel_atoms);
  if (!spinel) return 1;
  std::string doubled = header(8.08, 8.08, 16.16, "_space_group_IT_number 1");
  for (const VELMORA_ATOM& a : spinel->atom)
    for (int k = 0; k < 2; ++k) {
      char line[128];
      std::snprintf(line, sizeof line, "%s %s%d%c %.6f %.6f %.6f 1\n", a.name, a.type,
                    a.os < 0 ? -a.os : a.os, a.os < 0 ? '-' : '+', a.x_f[0], a.x_f[1],
                    (a.x_f[2] + k) / 2);
      doubled += line;
    }
  auto big = read(doubled);
  if (!big) return 1;
  for (VELMORA_CELL* cell : {spinel.get(), big.get()}) {
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    t0 = std::chrono::steady_clock::now();
    auto found = velmora_symmetry_calculate_from_cell(cell, -1, kSymcards.c_str());
    const double t = seconds_since(t0);
    std::fclose(stdout);
    stdout = saved;
    char what[96];
    std::snprintf(what, sizeof what, "--cal-sym, spinel cell of %ld atoms (found %d)",
                  cell->total, found ? found->sg_id : 0);
    report(what, t, 5.0);
  }
  return 0;
}

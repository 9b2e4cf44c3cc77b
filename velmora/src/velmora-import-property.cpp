// Force-field parameters of a cell: per-ion and per-pair base values read from
// database_unitary.dat / database_binary.dat, the derived softness-sensitive
// Morse parameters, fractional charges and short-range polynomials; and the
// pair functions (Morse-type bond, erfc-screened Coulomb repulsion).
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "velmora-import.h"
#include "velmora-rx.h"

namespace {

// Weight of the cation's mean softness over the anions of the cell in its
// effective softness parameter towards one anion.
constexpr double kSoftnessPull = 0.6666666666666666;

std::string g_command;  // command named in messages about missing data

char sign_of(int os) { return os < 0 ? '-' : '+'; }

// File name part of a path, for messages.
const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// Hands each data line of an open parameter file to `use` until it returns
// false: the lines (read in pieces of at most 1023 characters, as fgets
// does) after the first one containing DATA_START, up to the first
// containing DATA_END.
template <typename Use>
void for_each_data_line(std::FILE* file, Use use) {
  char buffer[1024];
  bool started = false;
  while (std::fgets(buffer, sizeof buffer, file)) {
    if (!started) {
      started = std::strstr(buffer, "DATA_START") != nullptr;
      continue;
    }
    if (std::strstr(buffer, "DATA_END") || !use(buffer)) break;
  }
}

// The data lines of a parameter file; 1 when the file cannot be opened.
int data_lines(std::vector<std::string>& lines, const char* path) {
  lines.clear();
  std::FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (!file) {
    std::fprintf(stderr, "Error: unable to open %s\n", path ? path : "(null)");
    return 1;
  }
  for_each_data_line(file, [&](const char* line) {
    lines.emplace_back(line);
    return true;
  });
  std::fclose(file);
  return 0;
}

// First line of the per-ion file for (type, os); nullptr when none.
const std::string* find_unitary_line(const std::vector<std::string>& lines, const char* type,
                                     int os) {
  for (const std::string& line : lines) {
    char symbol[1024];
    int state = 0;
    if (std::sscanf(line.c_str(), "%*d %1023s %d", symbol, &state) == 2 &&
        std::strcmp(symbol, type) == 0 && state == os)
      return &line;
  }
  return nullptr;
}

// First line of the per-pair file for (type1, os1, type2, os2), in that
// orientation only; nullptr when none.
const std::string* find_binary_line(const std::vector<std::string>& lines, const char* type1,
                                    int os1, const char* type2, int os2) {
  for (const std::string& line : lines) {
    char s1[1024], s2[1024];
    int o1 = 0, o2 = 0;
    if (std::sscanf(line.c_str(), "%1023s %d %1023s %d", s1, &o1, s2, &o2) == 4 &&
        std::strcmp(s1, type1) == 0 && o1 == os1 && std::strcmp(s2, type2) == 0 && o2 == os2)
      return &line;
  }
  return nullptr;
}

int read_unitary_line(VELMORA_PROPERTY_UNITARY* uni, const std::string& line) {
  if (std::sscanf(line.c_str(), "%d %*s %*d %*d %lf %d %d %d %lf %lf", &uni->an, &uni->m,
                  &uni->n, &uni->g, &uni->b, &uni->rc, &uni->soft) < 7) {
    std::fprintf(stderr, "Error: unable read VELMORA_PROPERTY_UNITARY.\n");
    return 1;
  }
  return 0;
}

int read_binary_line(VELMORA_PROPERTY_BINARY* bin, const std::string& line) {
  if (std::sscanf(line.c_str(), "%*s %*d %*s %*d %lf %lf %lf %lf", &bin->r0, &bin->b_old,
                  &bin->cn, &bin->cutoff) < 4) {
    std::fprintf(stderr, "Error: unable read VELMORA_PROPERTY_BINARY.\n");
    return 1;
  }
  bin->b = bin->b_old;
  return 0;
}

void set_unitary_key(VELMORA_PROPERTY_UNITARY* uni, const char* type, int os) {
  std::snprintf(uni->type, sizeof uni->type, "%s", type);
  uni->os = os;
}

void set_binary_key(VELMORA_PROPERTY_BINARY* bin, const char* type1, int os1, const char* type2,
                    int os2) {
  std::snprintf(bin->type1, sizeof bin->type1, "%s", type1);
  bin->os1 = os1;
  std::snprintf(bin->type2, sizeof bin->type2, "%s", type2);
  bin->os2 = os2;
}

// Species index of every atom of the cell; false (after the message) when
// one is not in the parameter set.
bool species_of_atoms(std::vector<int>& index, const VELMORA_PROPERTY* ppt,
                      const VELMORA_CELL* cell, const char* message) {
  index.resize(cell->atom.size());
  for (std::size_t k = 0; k < cell->atom.size(); ++k) {
    index[k] = velmora_property_find_index(ppt, cell->atom[k].type, cell->atom[k].os);
    if (index[k] < 0) {
      std::fprintf(stderr, "%s", message);
      return false;
    }
  }
  return true;
}

// Distance at which `energy` rises to 1 e^2/A, walking in from 10 A by
// whole angstroms and then refining by halving steps, with the polynomial
// a0 + a2 r^2 that meets the curve there with equal value and slope.
template <class Energy, class Force>
bool replacement_polynomial(double& r_c, double& a0, double& a1, double& a2, Energy energy,
                            Force force) {
  double r = 10.0, step = 1.0;
  // The energy grows without bound towards short distances; the guard only
  // keeps broken parameters from walking forever.
  for (int guard = 0; energy(r) < 1.0 && guard < 100; ++guard) r -= 1.0;
  while (step > 1e-6) {
    r += energy(r) > 1.0 ? step : -step;
    step *= 0.5;
  }
  if (!(r > 0.0) || !std::isfinite(energy(r)) || !std::isfinite(force(r))) return false;
  r_c = r;
  a1 = 0.0;
  a2 = force(r) / (2.0 * r);
  a0 = energy(r) - a2 * r * r;
  return true;
}

}  // namespace

// ------------------------------------------------------- pair functions ----

double velmora_energy_bonding(double x, double d0, double rmin, double b) {
  const double e = std::exp((rmin - x) / b);
  return (d0 * 0.5) * ((e - 1.0) * (e - 1.0) - 1.0);
}

double velmora_energy_bonding_with_energy_shift(double x, double d0, double rmin, double b,
                                                double en_s) {
  return velmora_energy_bonding(x, d0, rmin, b) - en_s;
}

double velmora_force_bonding(double x, double d0, double rmin, double b) {
  const double e = std::exp((rmin - x) / b);
  return -d0 * (e - 1.0) * e / b;
}

double velmora_energy_coulombic(double x, double q, double r_eff) {
  return q * std::erfc(x / r_eff) / x - q * std::erfc(10.0 / r_eff) / 10.0;
}

double velmora_force_coulombic(double x, double q, double r_eff) {
  // 1.7724538498928541 is sqrt(pi).
  return q * std::erfc(x / r_eff) / (-x * x) -
         2.0 * q * std::exp(-(x / r_eff) * (x / r_eff)) / (1.7724538498928541 * r_eff * x);
}

double velmora_pseudopotential_energy_bonding(double x, double a2, double a1, double a0) {
  return a2 * x * x + a1 * x + a0;
}

double velmora_pseudopotential_energy_coulombic(double x, double a2, double a1, double a0) {
  return a2 * x * x + a1 * x + a0;
}

// -------------------------------------------------------------- records ----

void velmora_property_set_command(const char* command) { g_command = command ? command : ""; }

const char* velmora_property_command() {
  return g_command.empty() ? "velmora.x" : g_command.c_str();
}

std::vector<VELMORA_PROPERTY_UNITARY> velmora_property_unitary_new(int total) {
  if (total <= 0) {
    std::fprintf(stderr, "Error: number of counts must be positive.\n");
    return {};
  }
  return std::vector<VELMORA_PROPERTY_UNITARY>(static_cast<std::size_t>(total));
}

int velmora_property_binary_new(std::vector<std::vector<VELMORA_PROPERTY_BINARY>>& bin,
                                int total) {
  bin.clear();
  if (total <= 0) {
    std::fprintf(stderr, "Error: number of counts must be positive.\n");
    return 1;
  }
  bin.assign(static_cast<std::size_t>(total),
             std::vector<VELMORA_PROPERTY_BINARY>(static_cast<std::size_t>(total)));
  return 0;
}

std::unique_ptr<VELMORA_PROPERTY> velmora_property_new(int total) {
  if (total < 0) {
    std::fprintf(stderr, "Error: number of counts must not be negative.\n");
    return nullptr;
  }
  auto ppt = std::make_unique<VELMORA_PROPERTY>();
  ppt->conducting = -1;
  ppt->sf = 0.0;
  if (total == 0) return ppt;
  ppt->total = total;
  ppt->type.assign(static_cast<std::size_t>(total), std::array<char, 3>{});
  ppt->os.assign(static_cast<std::size_t>(total), 0);
  ppt->uni = velmora_property_unitary_new(total);
  if (velmora_property_binary_new(ppt->bin, total) != 0) {
    std::fprintf(stderr, "Error: velmora_property_binary_new() returns non-zero.\n");
    return nullptr;
  }
  return ppt;
}

std::unique_ptr<VELMORA_PROPERTY> velmora_property_copy(const VELMORA_PROPERTY* ppt) {
  if (!ppt || (ppt->total > 0 && (ppt->uni.empty() || ppt->bin.empty()))) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return nullptr;
  }
  return std::make_unique<VELMORA_PROPERTY>(*ppt);
}

int velmora_property_find_index(const VELMORA_PROPERTY* ppt, const char* type, int os) {
  if (!ppt || !type) return -1;
  for (int i = 0; i < ppt->total; ++i)
    if (ppt->os[i] == os && std::strcmp(ppt->type[i].data(), type) == 0) return i;
  return -1;
}

int velmora_property_find_atom_indices(std::vector<int>& species, const VELMORA_CELL* cell,
                                       const VELMORA_PROPERTY* ppt) {
  species.resize(cell->atom.size());
  for (std::size_t k = 0; k < cell->atom.size(); ++k) {
    species[k] = velmora_property_find_index(ppt, cell->atom[k].type, cell->atom[k].os);
    if (species[k] < 0) {
      std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
      return 1;
    }
  }
  return 0;
}

double velmora_property_max_cutoff(const VELMORA_PROPERTY* ppt) {
  double r = 0.0;
  for (const auto& row : ppt->bin)
    for (const VELMORA_PROPERTY_BINARY& p : row)
      if (p.cutoff > r) r = p.cutoff;
  return r;
}

int velmora_property_set_conducting(VELMORA_PROPERTY* ppt, const char* type, int os) {
  const int index = velmora_property_find_index(ppt, type, os);
  if (index < 0) {
    std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
    return 1;
  }
  ppt->conducting = index;
  return 0;
}

// Fresh unitary and binary records for the species list, keyed by their
// types and oxidation states (the parameters are read into them later).
static int velmora_property_new_records(VELMORA_PROPERTY* ppt) {
  ppt->uni = velmora_property_unitary_new(ppt->total);
  if (velmora_property_binary_new(ppt->bin, ppt->total) != 0) {
    std::fprintf(stderr, "Error: velmora_property_binary_new() returns non-zero.\n");
    return 1;
  }
  for (int i = 0; i < ppt->total; ++i) {
    set_unitary_key(&ppt->uni[i], ppt->type[i].data(), ppt->os[i]);
    for (int j = 0; j < ppt->total; ++j)
      set_binary_key(&ppt->bin[i][j], ppt->type[i].data(), ppt->os[i], ppt->type[j].data(),
                     ppt->os[j]);
  }
  return 0;
}

int velmora_property_update_index_by_cell(VELMORA_PROPERTY* ppt, VELMORA_CELL* cell) {
  if (!ppt) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  if (!velmora_cell_ready(cell)) return 1;
  const int total = velmora_cell_count_type_os(cell);  // sorts the atoms
  if (total <= 0) return 1;
  ppt->total = total;
  ppt->type.assign(static_cast<std::size_t>(total), std::array<char, 3>{});
  ppt->os.assign(static_cast<std::size_t>(total), 0);
  int s = -1;
  for (std::size_t k = 0; k < cell->atom.size(); ++k) {
    const VELMORA_ATOM& a = cell->atom[k];
    if (k == 0 || std::strcmp(a.type, cell->atom[k - 1].type) != 0 ||
        a.os != cell->atom[k - 1].os) {
      ++s;
      std::snprintf(ppt->type[s].data(), 3, "%s", a.type);
      ppt->os[s] = a.os;
    }
  }
  return velmora_property_new_records(ppt);
}

int velmora_property_append_index(VELMORA_PROPERTY* ppt, const char* type, int os) {
  if (!ppt || !type) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  if (velmora_property_find_index(ppt, type, os) >= 0) return 0;
  const int total = ppt->total + 1;
  std::array<char, 3> symbol{};
  std::snprintf(symbol.data(), 3, "%s", type);
  ppt->type.push_back(symbol);
  ppt->os.push_back(os);
  ppt->total = total;
  // All parameters are read again after a species has been added.
  return velmora_property_new_records(ppt);
}

// ------------------------------------------------------------- reading ----

int velmora_property_unitary_read_from_file(VELMORA_PROPERTY_UNITARY* uni, const char* type,
                                            int os, const char* path, bool* found) {
  if (found) *found = false;
  std::vector<std::string> lines;
  if (!uni || !type || data_lines(lines, path) != 0) return 1;
  set_unitary_key(uni, type, os);
  const std::string* line = find_unitary_line(lines, type, os);
  if (!line) return 0;
  if (found) *found = true;
  return read_unitary_line(uni, *line);
}

int velmora_property_bin_read_from_file(VELMORA_PROPERTY_BINARY* bin, const char* type1, int os1,
                                        const char* type2, int os2, const char* path,
                                        bool* found) {
  if (found) *found = false;
  std::vector<std::string> lines;
  if (!bin || !type1 || !type2 || data_lines(lines, path) != 0) return 1;
  set_binary_key(bin, type1, os1, type2, os2);
  const std::string* line = find_binary_line(lines, type1, os1, type2, os2);
  if (!line) return 0;
  if (found) *found = true;
  return read_binary_line(bin, *line);
}

int velmora_property_update_read_from_file(VELMORA_PROPERTY* ppt, const char* dir_unitary,
                                           const char* dir_binary) {
  if (!ppt) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  // Each file is read once; the lookups then follow the line order of the
  // file, the first matching line winning.
  std::vector<std::string> unitary, binary;
  if (data_lines(unitary, dir_unitary) != 0) {
    std::fprintf(stderr, "Error: velmora_property_unitary_read_from_file() returns non-zero.\n");
    return 1;
  }
  if (data_lines(binary, dir_binary) != 0) {
    std::fprintf(stderr, "Error: velmora_property_bin_read_from_file() returns non-zero.\n");
    return 1;
  }
  int missing = 0;
  for (int i = 0; i < ppt->total; ++i) {
    const char* ti = ppt->type[i].data();
    const int oi = ppt->os[i];
    set_unitary_key(&ppt->uni[i], ti, oi);
    const std::string* line = find_unitary_line(unitary, ti, oi);
    if (line && read_unitary_line(&ppt->uni[i], *line) != 0) {
      std::fprintf(stderr,
                   "Error: velmora_property_unitary_read_from_file() returns non-zero.\n");
      return 1;
    }
    // Charged species need their row constant, radius, mass and softness.
    if (!line && oi != 0) {
      std::fprintf(stderr,
                   "Error: no per-ion parameters for the species %s%d%c in %s (needed by %s).\n",
                   ti, std::abs(oi), sign_of(oi), base_name(dir_unitary),
                   velmora_property_command());
      ++missing;
    }
    for (int j = 0; j < ppt->total; ++j) {
      const char* tj = ppt->type[j].data();
      const int oj = ppt->os[j];
      VELMORA_PROPERTY_BINARY* bin = &ppt->bin[i][j];
      set_binary_key(bin, ti, oi, tj, oj);
      const std::string* pair = find_binary_line(binary, ti, oi, tj, oj);
      if (pair && read_binary_line(bin, *pair) != 0) {
        std::fprintf(stderr, "Error: velmora_property_bin_read_from_file() returns non-zero.\n");
        return 1;
      }
      // Every cation-anion pair of the cell bonds; without its line the
      // bond-valence sums and energies would silently lose it.
      if (!pair && oi > 0 && oj < 0) {
        std::fprintf(stderr,
                     "Error: no bond-valence parameters for the pair %s%d%c-%s%d%c in %s "
                     "(needed by %s).\n",
                     ti, std::abs(oi), sign_of(oi), tj, std::abs(oj), sign_of(oj),
                     base_name(dir_binary), velmora_property_command());
        ++missing;
      }
    }
  }
  return missing > 0 ? 1 : 0;
}

// ----------------------------------------------------------- estimates ----

int velmora_property_binary_estimate_from_file(VELMORA_PROPERTY_BINARY* bin,
                                               const char* dir_binary) {
  if (!bin || bin->os1 < 1 || bin->os2 >= 0 || bin->cn > 0.01) return 0;
  // Linear relations between a cation's coordination by the heavier anion
  // and by F- or O2-, fitted on observed structures.
  struct Rule {
    const char* anion;
    int os;
    const char* reference;
    int reference_os;
    double slope, intercept;
  };
  static const Rule kRules[] = {{"Cl", -1, "F", -1, 0.3984, 3.4568},
                                {"Br", -1, "F", -1, 0.3457, 3.3798},
                                {"I", -1, "F", -1, 0.3806, 2.7873},
                                {"S", -2, "O", -2, 0.7414, 0.9597}};
  for (const Rule& rule : kRules) {
    if (std::strcmp(bin->type2, rule.anion) != 0 || bin->os2 != rule.os) continue;
    VELMORA_PROPERTY_BINARY reference;
    if (velmora_property_bin_read_from_file(&reference, bin->type1, bin->os1, rule.reference,
                                            rule.reference_os, dir_binary) != 0)
      return 0;
    if (reference.cn > 0.0) bin->cn = rule.slope * reference.cn + rule.intercept;
    if (reference.cutoff > 0.0) bin->cutoff = reference.cutoff;
    return 0;
  }
  return 0;
}

int velmora_property_estimate(VELMORA_PROPERTY* ppt, const char* dir_binary) {
  if (!ppt) return 0;
  for (int i = 0; i < ppt->total; ++i)
    for (int j = 0; j < ppt->total; ++j)
      velmora_property_binary_estimate_from_file(&ppt->bin[i][j], dir_binary);
  return 0;
}

// --------------------------------------------------------- derivations ----

int velmora_property_calculate_effective_b(VELMORA_PROPERTY* ppt, const VELMORA_CELL* cell) {
  if (!velmora_cell_ready(cell)) return 1;
  if (!ppt || ppt->total <= 0) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  for (int i = 0; i < ppt->total; ++i)
    for (int j = 0; j < ppt->total; ++j) ppt->bin[i][j].b_old = ppt->bin[i][j].b;
  std::vector<int> index(cell->atom.size(), -1);
  for (std::size_t k = 0; k < cell->atom.size(); ++k) {
    if (cell->atom[k].os >= 0) continue;
    index[k] = velmora_property_find_index(ppt, cell->atom[k].type, cell->atom[k].os);
    if (index[k] < 0) {
      std::fprintf(stderr, "Error: velmora_property_find_index() returns negative number.\n");
      return 1;
    }
  }
  for (int i = 0; i < ppt->total; ++i) {
    if (ppt->os[i] <= 0) continue;
    // Occupancy-weighted mean softness parameter of cation i over the
    // anions of the cell.
    double sum = 0.0, weight = 0.0;
    for (std::size_t k = 0; k < cell->atom.size(); ++k) {
      if (index[k] < 0) continue;
      sum += ppt->bin[i][index[k]].b_old * cell->atom[k].occ;
      weight += cell->atom[k].occ;
    }
    if (!(weight > 0.0)) continue;  // no anion in the cell: b stays as read
    const double mean = sum / weight;
    for (int j = 0; j < ppt->total; ++j) {
      if (ppt->os[j] >= 0) continue;
      VELMORA_PROPERTY_BINARY& bin = ppt->bin[i][j];
      bin.b = (1.0 - kSoftnessPull) * bin.b_old + kSoftnessPull * mean;
    }
  }
  return 0;
}

int velmora_property_unitary_derived(VELMORA_PROPERTY* ppt) {
  if (!ppt) return 1;
  for (VELMORA_PROPERTY_UNITARY& uni : ppt->uni) {
    if (uni.b == 0 || uni.b == 1) uni.c = 1;
    else if (uni.b == 2 || uni.b == 3) uni.c = 2;
  }
  return 0;
}

int velmora_property_binary_derived(VELMORA_PROPERTY* ppt) {
  if (!ppt) return 1;
  for (int i = 0; i < ppt->total; ++i) {
    const VELMORA_PROPERTY_UNITARY& ui = ppt->uni[i];
    for (int j = 0; j < ppt->total; ++j) {
      VELMORA_PROPERTY_BINARY& bin = ppt->bin[i][j];
      if (!(bin.cutoff > 0.0001 && bin.r0 > 0.0 && bin.b > 0.0 && bin.cn > 0.0)) continue;
      const VELMORA_PROPERTY_UNITARY& uj = ppt->uni[j];
      const bool hydrogen = (std::strcmp(ui.type, "H") == 0 || std::strcmp(ui.type, "Hx") == 0 ||
                             std::strcmp(ui.type, "D") == 0) &&
                            ui.os == 1;
      if ((ui.soft > 0.0 && uj.soft > 0.0) || hydrogen) {
        // Bond length of the Morse minimum: R0 corrected for the softness
        // mismatch of the pair, shifted by the bond valence os/cn.
        bin.rmin = bin.r0 * (0.9185 + 0.2285 * std::fabs(uj.soft - ui.soft)) -
                   bin.b * std::log(static_cast<double>(ppt->os[i]) / bin.cn);
      } else {
        std::fprintf(stderr, "Warning: r_min for (%s%d%c)-(%s%d%c) is set to 0 due to softness = 0.\n",
                     ppt->type[i].data(), std::abs(ppt->os[i]), sign_of(ppt->os[i]),
                     ppt->type[j].data(), std::abs(ppt->os[j]), sign_of(ppt->os[j]));
      }
      // The depth needs a positive rmin and row constants; otherwise the
      // pair stays without a bonded term (d0 = 0).
      if (bin.rmin > 0.0 && ui.n > 0 && uj.n > 0 && ui.c > 0) {
        const int c = ui.c;
        const int product = std::abs(ppt->os[i] * ppt->os[j]) * c;
        bin.d0 = c * std::pow(static_cast<double>(product), 1.0 / c) * bin.b * bin.b /
                 (2.0 * bin.rmin * std::sqrt(static_cast<double>(ui.n) * uj.n));
      }
    }
  }
  for (int i = 0; i < ppt->total; ++i)
    for (int j = 0; j < ppt->total; ++j) {
      VELMORA_PROPERTY_BINARY& bin = ppt->bin[i][j];
      if (!(bin.d0 > 0.0 && bin.rmin > 0.0 && bin.b > 0.0)) continue;
      bin.en_s = velmora_energy_bonding(bin.cutoff, bin.d0, bin.rmin, bin.b);
      bin.f_s = velmora_force_bonding(bin.cutoff, bin.d0, bin.rmin, bin.b);
    }
  return 0;
}

int velmora_property_calculate_fractional_charge(VELMORA_PROPERTY* ppt,
                                                 const VELMORA_CELL* cell) {
  if (!ppt || !cell || cell->atom.empty()) {
    std::fprintf(stderr, "Error: VELMORA_CELL or VELMORA_PROPERTY has not been initialized properly.\n");
    return 1;
  }
  // Effective row constant: rows beyond 4 count as 4; Li, Be and B as 1.
  std::vector<double> root(static_cast<std::size_t>(ppt->total), 0.0);
  for (int s = 0; s < ppt->total; ++s) {
    const char* t = ppt->type[s].data();
    int n = ppt->uni[s].n;
    if (n > 4) n = 4;
    else if (std::strcmp(t, "Li") == 0 || std::strcmp(t, "B") == 0 || std::strcmp(t, "Be") == 0)
      n = 1;
    if (n <= 0 && ppt->os[s] != 0) {
      std::fprintf(stderr, "Error: no row constant for the species %s%d%c.\n", t,
                   std::abs(ppt->os[s]), sign_of(ppt->os[s]));
      return 1;
    }
    root[s] = n > 0 ? std::sqrt(static_cast<double>(n)) : 0.0;
  }
  std::vector<int> index;
  if (!species_of_atoms(index, ppt, cell,
                        "Error: velmora_property_find_index() returns negative values.\n"))
    return 1;
  double positive = 0.0, negative = 0.0;
  for (std::size_t k = 0; k < cell->atom.size(); ++k) {
    const VELMORA_ATOM& a = cell->atom[k];
    if (a.os == 0) continue;
    const double v = a.occ * a.os / root[index[k]];
    if (a.os > 0) positive += v;
    else negative += v;
  }
  // Cation and anion charges scaled by the geometric mean of the two
  // totals, so that they balance exactly.  A cell without anions (or
  // cations) gives its cations (anions) no charge; a force field cannot
  // describe it (velmora_property_check_counter_ions).
  const double cation_scale = positive > 0.0 ? std::sqrt(-negative / positive) : 0.0;
  const double anion_scale = negative < 0.0 ? std::sqrt(-positive / negative) : 0.0;
  for (int s = 0; s < ppt->total; ++s) {
    const int os = ppt->os[s];
    if (os > 0) ppt->uni[s].q = os / root[s] * cation_scale;
    else if (os < 0) ppt->uni[s].q = os / root[s] * anion_scale;
    else ppt->uni[s].q = 0.0;
  }
  for (int s = 0; s < ppt->total; ++s) {
    const double q = ppt->uni[s].q;
    if (q != 0.0 && std::fabs(q) > std::fabs(static_cast<double>(ppt->os[s]))) {
      const double factor = ppt->os[s] / q;
      for (int t = 0; t < ppt->total; ++t) ppt->uni[t].q *= factor;
      std::printf("Message: charge of %s(%d) is capped to %4.2f.\n", ppt->type[s].data(),
                  ppt->os[s], ppt->uni[s].q);
    }
  }
  double total = 0.0;
  for (std::size_t k = 0; k < cell->atom.size(); ++k)
    total += ppt->uni[index[k]].q * cell->atom[k].occ;
  if (!(std::fabs(total) <= 1e-6)) {
    std::fprintf(stderr, "Error: total charge of the cell is not neutral: %f\n", total);
    return 1;
  }
  return 0;
}

int velmora_property_binary_pseudopotential(VELMORA_PROPERTY* ppt) {
  if (!ppt) return 0;
  for (int i = 0; i < ppt->total; ++i)
    for (int j = 0; j < ppt->total; ++j) {
      VELMORA_PROPERTY_BINARY& bin = ppt->bin[i][j];
      if (bin.d0 > 0.0 && bin.rmin > 0.0 && bin.b > 0.0) {
        const double d0 = bin.d0, rmin = bin.rmin, b = bin.b, en_s = bin.en_s;
        replacement_polynomial(
            bin.r_bc, bin.a0, bin.a1, bin.a2,
            [&](double r) { return velmora_energy_bonding_with_energy_shift(r, d0, rmin, b, en_s); },
            [&](double r) { return velmora_force_bonding(r, d0, rmin, b); });
      } else if (ppt->os[i] * ppt->os[j] > 0) {
        const double q = ppt->uni[i].q * ppt->uni[j].q;
        const double r_eff = ppt->sf * (ppt->uni[i].rc + ppt->uni[j].rc);
        if (!(q > 0.0 && r_eff > 0.0)) continue;  // no repulsion to replace
        replacement_polynomial(
            bin.r_cc, bin.a0, bin.a1, bin.a2,
            [&](double r) { return velmora_energy_coulombic(r, q, r_eff); },
            [&](double r) { return velmora_force_coulombic(r, q, r_eff); });
      }
    }
  return 0;
}

// -------------------------------------------------------------- builder ----

int velmora_property_update(VELMORA_PROPERTY* ppt, VELMORA_CELL* cell, const char* dir_unitary,
                            const char* dir_binary) {
  if (velmora_property_update_read_from_file(ppt, dir_unitary, dir_binary) != 0) {
    std::fprintf(stderr, "Error: velmora_property_update_read_from_file() returns non-zero.\n");
    return 1;
  }
  if (velmora_property_estimate(ppt, dir_binary) != 0) {
    std::fprintf(stderr, "Error: velmora_property_estimate() returns non-zero.\n");
    return 1;
  }
  if (velmora_property_calculate_effective_b(ppt, cell) != 0) {
    std::fprintf(stderr, "Error: velmora_property_calculate_effective_b() returns non-zero.\n");
    return 1;
  }
  if (velmora_property_unitary_derived(ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_property_unitary_derived() returns non-zero.\n");
    return 1;
  }
  if (velmora_property_binary_derived(ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_property_binary_derived() returns non-zero.\n");
    return 1;
  }
  if (velmora_property_calculate_fractional_charge(ppt, cell) != 0) {
    std::fprintf(stderr,
                 "Error: velmora_property_calculate_fractional_charge() returns non-zero.\n");
    return 1;
  }
  velmora_property_calculate_screening_factor(ppt, cell);
  std::printf("Message: sf=%.6f\n", ppt->sf);
  if (velmora_property_binary_pseudopotential(ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_property_binary_pseudopotential() returns non-zero.\n");
    return 1;
  }
  return 0;
}

std::unique_ptr<VELMORA_PROPERTY> velmora_property_import_from_cell(
    VELMORA_CELL* cell, const char* type, int os, double sf, const char* dir_unitary,
    const char* dir_binary) {
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_new(0);
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_new() returns NULL.\n");
    return nullptr;
  }
  if (velmora_property_update_index_by_cell(ppt.get(), cell) != 0) {
    std::fprintf(stderr, "Error: velmora_property_update_index_by_cell() returns non-zero.\n");
    return nullptr;
  }
  if (type) {
    if (velmora_property_append_index(ppt.get(), type, os) != 0) {
      std::fprintf(stderr, "Error: velmora_property_append_index() returns non-zero.\n");
      return nullptr;
    }
    ppt->conducting = velmora_property_find_index(ppt.get(), type, os);
  }
  ppt->sf = sf;
  if (velmora_property_update(ppt.get(), cell, dir_unitary, dir_binary) != 0) {
    std::fprintf(stderr, "Error: velmora_property_update() returns non-zero.\n");
    return nullptr;
  }
  return ppt;
}

// ---------------------------------------------------------- validation ----

int velmora_property_check_counter_ions(const VELMORA_CELL* cell) {
  bool cation = false, anion = false;
  for (const VELMORA_ATOM& a : cell->atom) {
    cation |= a.os > 0 && a.occ > 0.0;
    anion |= a.os < 0 && a.occ > 0.0;
  }
  if (cation && anion) return 0;
  std::fprintf(stderr,
               "Error: the cell holds no %s; the bond-valence force field binds cations "
               "to anions and needs both.\n",
               cation ? "anion" : "cation");
  return 1;
}

namespace {

// One validation fault: an error line, or (when the caller asked for the
// reason) the text of that line without its prefix.
int validation_fault(std::string* reason, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int validation_fault(std::string* reason, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (reason)
    *reason = text;
  else
    std::fprintf(stderr, "Error: %s\n", text);
  return 1;
}

}  // namespace

int velmora_property_validate_generic(const VELMORA_PROPERTY* ppt, std::string* reason) {
  if (!ppt || ppt->total <= 0)
    return validation_fault(reason, "VELMORA_PROPERTY has not been properly initialized.");
  for (int i = 0; i < ppt->total; ++i) {
    const VELMORA_PROPERTY_UNITARY& u = ppt->uni[i];
    const char* t = ppt->type[i].data();
    const int a = std::abs(ppt->os[i]);
    const char s = sign_of(ppt->os[i]);
    if (!(u.q * ppt->os[i] > 0.0))
      return validation_fault(reason, "incorrect q at [%d](%s%d%c) q=%f", i, t, a, s, u.q);
    if (!(u.rc > 0.0))
      return validation_fault(reason, "incorrect rc at[%d](%s%d%c) rc=%f", i, t, a, s, u.rc);
    if (!(u.m > 0.0))
      return validation_fault(reason, "incorrect m at[%d](%s%d%c) m=%f", i, t, a, s, u.m);
    if (!(u.soft > 0.0))
      return validation_fault(reason, "incorrect soft at[%d](%s%d%c) soft=%f", i, t, a, s, u.soft);
  }
  return velmora_property_validate_binary(ppt, true, reason);
}

int velmora_property_validate_binary(const VELMORA_PROPERTY* ppt, bool force_field,
                                     std::string* reason) {
  for (int i = 0; i < ppt->total; ++i)
    for (int j = 0; j < ppt->total; ++j) {
      if (!(ppt->os[i] > 0 && ppt->os[j] < 0)) continue;
      const VELMORA_PROPERTY_BINARY& p = ppt->bin[i][j];
      const struct {
        const char* name;
        double value;
        bool checked;
      } checks[] = {{"cutoff", p.cutoff, true}, {"b", p.b, true},
                    {"cn", p.cn, force_field},  {"r0", p.r0, true},
                    {"d0", p.d0, force_field},  {"rmin", p.rmin, force_field}};
      for (const auto& check : checks) {
        if (!check.checked || check.value > 0.0) continue;
        return validation_fault(reason, "incorrect %s at [%d](%s%d%c)-(%s%d%c) %s=%f", check.name,
                                i, p.type1, std::abs(p.os1), sign_of(p.os1), p.type2,
                                std::abs(p.os2), sign_of(p.os2), check.name, check.value);
      }
    }
  return 0;
}

int velmora_property_type_from_atomic_number(int an, VELMORA_ATOM* atom, const char* path) {
  if (!atom) {
    std::fprintf(stderr, "Error: VELMORA_ATOM has not been initialized properly.\n");
    return 1;
  }
  std::FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (!file) {
    std::fprintf(stderr, "Error: unable to open %s.\n", path ? path : "(null)");
    return 1;
  }
  int status = -1;  // -1: not found yet
  for_each_data_line(file, [&](const char* line) {
    int number = 0, os = 0;
    char symbol[1024] = {};
    const int got = std::sscanf(line, "%d %1023s %*d %d", &number, symbol, &os);
    // A line without the default oxidation state cannot name the atom.
    if (got < 2 || (number == an && got < 3)) {
      std::fprintf(stderr, "Error: unable to process line %s.\n", line);
      status = 1;
    } else if (number == an) {
      std::snprintf(atom->type, sizeof atom->type, "%.2s", symbol);
      atom->os = os;
      status = 0;
    }
    return status < 0;
  });
  std::fclose(file);
  if (status < 0) {
    std::fprintf(stderr, "Error: unable to find element with atomic number %d from %s.\n", an,
                 path);
    return 1;
  }
  return status;
}

// -------------------------------------------------------------- prints ----

void velmora_property_print(const VELMORA_PROPERTY* ppt) {
  if (!ppt || ppt->total <= 0) {
    std::printf("PPT: (not allocated)\n");
    return;
  }
  std::printf("PPT: total number of PROPERTY_UNITARY: %d\n", ppt->total);
  for (const VELMORA_PROPERTY_UNITARY& u : ppt->uni)
    std::printf("%s(%d):soft=%5.3f;rc=%5.3f;m=%6.2f;an=%d;n=%d;g=%d;b=%d;c=%d;q=%6.3f\n", u.type,
                u.os, u.soft, u.rc, u.m, u.an, u.n, u.g, u.b, u.c, u.q);
  std::printf("PPT: total number of PROPERTY_BINARY: %d\n", ppt->total * ppt->total);
  for (const auto& row : ppt->bin)
    for (const VELMORA_PROPERTY_BINARY& p : row)
      std::printf(
          "%s(%d)%s(%d):b=%5.3f;b_old=%5.3f;r0=%5.3f;cutoff=%3.1f;cn=%4.2f;d0=%6.3f,rmin=%5.3f;"
          "r_bc=%5.3f;r_cc=%5.3f;bv_s=%6.3f;en_s=%8.5f;f_s=%7.5f;a0=%6.3f;a1=%5.3f;a2=%5.3f\n",
          p.type1, p.os1, p.type2, p.os2, p.b, p.b_old, p.r0, p.cutoff, p.cn, p.d0, p.rmin,
          p.r_bc, p.r_cc, p.bv_s, p.en_s, p.f_s, p.a0, p.a1, p.a2);
  if (ppt->conducting < 0 || ppt->conducting >= ppt->total)
    std::printf("PPT: conducting species not specified.\n");
  else
    std::printf("PPT: conducting species = %s(%d)\n", ppt->type[ppt->conducting].data(),
                ppt->os[ppt->conducting]);
  std::printf("PPT: screening factor=%.6f\n", ppt->sf);
}

void velmora_property_print_format(const VELMORA_PROPERTY* ppt) {
  if (!ppt || ppt->total <= 0) {
    std::printf("PPT: (not allocated)\n");
    return;
  }
  std::printf("PPT: total number of PROPERTY_UNITARY: %d\n", ppt->total);
  std::printf("PPT:============================================\n");
  std::printf("PPT: | %s | %s | %s | %s | %s |\n", "type", "an", "softness", "  rc", "        q");
  std::printf("PPT:--------------------------------------------\n");
  for (int i = 0; i < ppt->total; ++i) {
    const VELMORA_PROPERTY_UNITARY& u = ppt->uni[i];
    std::printf("PPT: | %2s%d%c | %2d | %8.6f | %4.2f | %9.6f |\n", ppt->type[i].data(),
                std::abs(ppt->os[i]), ppt->os[i] < 1 ? '-' : '+', u.an, u.soft, u.rc, u.q);
  }
  std::printf("PPT:--------------------------------------------\n");
  std::printf("PPT: total number of PROPERTY_BINARY: %d\n", ppt->total * ppt->total);
  std::printf("PPT:========================================================================\n");
  std::printf("PPT: | %s | %s | %s | %s | %s | %s | %s |\n", "cation", " anion", "     D_0",
              "   R_min", "    b", "     R_0", "R_cutoff");
  std::printf("PPT:------------------------------------------------------------------------\n");
  for (const auto& row : ppt->bin)
    for (const VELMORA_PROPERTY_BINARY& p : row) {
      if (!(p.cutoff > 0.0)) continue;
      std::printf("PPT: | %4s%d%c | %4s%d%c | %8.6f | %8.6f | %5.3f | %8.6f | %8.6f |\n", p.type1,
                  std::abs(p.os1), sign_of(p.os1), p.type2, std::abs(p.os2), sign_of(p.os2),
                  VELMORA_COULOMB * p.d0 * 0.5, p.rmin, p.b, p.r0, p.cutoff);
    }
  std::printf("PPT:========================================================================\n");
  std::printf("PPT: screening factor = %.6f\n", ppt->sf);
}

// Coordination numbers: neighbour lists of one centre atom from the shared
// periodic-image search (10 A, the centre's own images excluded), sorted by
// an exchange sort, radial densities occ / (4 pi r^2 dr), shells closed at
// the density minima, site averages over symmetry-distinct sites, and the
// bond-valence ranking of bonds with its --cal-cn* commands.
#include "velmora-cn.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "velmora-alloc.h"
#include "velmora-cmd.h"
#include "velmora-import.h"
#include "velmora-neighbor.h"

namespace {

// 4 pi as the shell volumes use it.
constexpr double kFourPi = 12.5663706;
// Neighbours closer than this to the previous one belong to its shell
// (A), and two neighbours this close share a distance.
constexpr double kShellGap = 0.1;
constexpr double kSameDistance = 1e-6;
// Skip distance of the bond-valence ranking: closer images are the atom
// itself or a shared site.
constexpr double kBondSkip = 0.3;

char sign_of(int os) { return os < 1 ? '-' : '+'; }

// The images of the atoms accepted by `take` around atom `centre`, within
// `cutoff` and beyond `skip` (A), the centre's own images left out; act(j,
// d) in the plain loop's order (atom, then translations).  False, reported,
// when the lattice cannot be searched.
template <class Take, class Act>
bool cn_collect(const VELMORA_CELL* cell, long centre, double cutoff, double skip, Take&& take,
                Act&& act) {
  std::vector<bool> left_out(cell->atom.size(), true);
  for (std::size_t j = 0; j < cell->atom.size(); ++j)
    left_out[j] = static_cast<long>(j) == centre || !take(cell->atom[j]);
  VELMORA_NEIGHBOR_OPTIONS options;
  options.skip = &left_out;
  const std::unique_ptr<VELMORA_NEIGHBOR> nb = velmora_neighbor_new(*cell, cutoff, skip, options);
  if (!nb) return false;
  const std::vector<double> p(cell->atom[centre].x, cell->atom[centre].x + 3);
  velmora_neighbor_for_each(*nb, p, false,
                            [&](int, int j, double d, const double*, int) { act(j, d); });
  return true;
}

// Pairwise exchange sort of the neighbour arrays by `before` (for each i,
// each later j, exchange when j should come first), every array moved
// along.
template <class Before, class Swap>
void cn_exchange_sort(int total, Before&& before, Swap&& swap) {
  for (int i = 0; i < total; ++i)
    for (int j = i + 1; j < total; ++j)
      if (before(j, i)) swap(i, j);
}

// Running occupancy sums and radial densities of sorted neighbours.
void cn_density(int total, const std::vector<double>& r, const std::vector<double>& occ,
                std::vector<double>& n, std::vector<double>& g) {
  n.assign(total, 0.0);
  g.assign(total, 0.0);
  double sum = 0.0;
  for (int i = 0; i < total; ++i) {
    sum += occ[i];
    n[i] = sum;
  }
  if (total == 0) return;
  // A counter-ion on the centre itself has no shell volume.
  g[0] = r[0] > 0.0 ? occ[0] / (kFourPi * r[0] * r[0] * r[0]) : VELMORA_CN_RDS_CAP;
  for (int i = 1; i < total; ++i) {
    const double dr = r[i] - r[i - 1];
    if (dr > kSameDistance) {
      g[i] = occ[i] / dr / (kFourPi * r[i] * r[i]);
      if (g[i] > VELMORA_CN_RDS_CAP) g[i] = VELMORA_CN_RDS_CAP;
    } else {
      g[i] = VELMORA_CN_RDS_CAP;
    }
  }
}

// Shell detection on sorted neighbours (see velmora_cn_calculate_shell).
void cn_shells(VELMORA_CN_SHELLS& sh, int total, const std::vector<double>& r,
               const std::vector<double>& occ, const std::vector<double>& g, double rds_tiny) {
  sh = VELMORA_CN_SHELLS();
  if (rds_tiny <= 0.0) rds_tiny = 0.01;
  double rds_min = total > 0 ? g[total > 1 ? 1 : 0] : 0.0;
  for (int i = 2; i < total; ++i)
    if (g[i] < rds_min) rds_min = g[i];
  const double threshold = rds_min + rds_tiny;
  std::printf("Message: rds_min = %f   rds_tiny = %f  rds_threshold = %f\n", rds_min, rds_tiny,
              threshold);
  auto open_shell = [&sh](int i) {
    sh.r_shell.push_back(0.0);
    sh.n_shell.push_back(0.0);
    sh.index_shell.push_back(i);
    ++sh.total_shell;
  };
  // The farthest neighbour is never assigned: its density is not known to
  // be a minimum.
  for (int i = 0; i + 1 < total; ++i) {
    bool opens = i == 0;
    if (!opens) {
      const int s = sh.total_shell;
      opens = r[i] - r[i - 1] > kShellGap &&
              (s <= 1 || !(sh.n_shell[s - 1] < sh.n_shell[s - 2])) && g[i] < threshold &&
              g[i - 1] > g[i] && g[i + 1] > g[i];
    }
    if (opens) open_shell(i);
    sh.r_shell.back() = r[i];
    sh.n_shell.back() += occ[i];
  }
  // A lone neighbour within the search radius is the first shell by itself.
  if (total == 1) {
    open_shell(0);
    sh.r_shell[0] = r[0];
    sh.n_shell[0] = occ[0];
  }
}

// Index of the first atom named `name`, -1 when there is none.
long cn_find_atom(const VELMORA_CELL* cell, const char* name) {
  for (std::size_t i = 0; i < cell->atom.size(); ++i)
    if (std::strcmp(cell->atom[i].name, name) == 0) return static_cast<long>(i);
  return -1;
}

void cn_copy_name(char dst[12], const char* src) { std::snprintf(dst, 12, "%s", src); }

}  // namespace

// ------------------------------------------------------------- records ----

std::unique_ptr<VELMORA_CN> velmora_cn_new() { return std::make_unique<VELMORA_CN>(); }
std::unique_ptr<VELMORA_CN_MIX> velmora_cn_mix_new() { return std::make_unique<VELMORA_CN_MIX>(); }
std::unique_ptr<VELMORA_CN_BV> velmora_cn_bv_new() { return std::make_unique<VELMORA_CN_BV>(); }

// ------------------------------------------------------------- shells ----

int velmora_cn_calculate_shell(VELMORA_CN* cn, double rds_tiny) {
  if (!cn) {
    std::fprintf(stderr, "Error: VELMORA_CN has not been properly initialized.\n");
    return 1;
  }
  cn_shells(*cn, cn->total, cn->r, cn->occ, cn->g, rds_tiny);
  return 0;
}

int velmora_cn_mix_calculate_shell(VELMORA_CN_MIX* cn, double rds_tiny) {
  if (!cn) {
    std::fprintf(stderr, "Error: VELMORA_CN has not been properly initialized.\n");
    return 1;
  }
  cn_shells(*cn, cn->total, cn->r, cn->occ, cn->g, rds_tiny);
  return 0;
}

// ---------------------------------------------------------- neighbours ----

std::unique_ptr<VELMORA_CN> velmora_cn_new_from_cell(const VELMORA_CELL* cell, long centre,
                                                     const char* type_c, int os_c,
                                                     double rds_tiny) {
  if (!velmora_cell_ready(cell) || centre < 0 || centre >= static_cast<long>(cell->atom.size()) ||
      !type_c) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CN> cn = velmora_cn_new();
  const VELMORA_ATOM& c = cell->atom[centre];
  cn_copy_name(cn->name, c.name);
  std::snprintf(cn->type, sizeof cn->type, "%s", c.type);
  cn->os = c.os;
  std::snprintf(cn->type_c, sizeof cn->type_c, "%s", type_c);
  cn->os_c = os_c;
  const bool searched = cn_collect(
      cell, centre, VELMORA_CN_RANGE, VELMORA_NEIGHBOR_NO_SKIP,
      [&](const VELMORA_ATOM& b) { return b.os == os_c && std::strcmp(b.type, type_c) == 0; },
      [&](int j, double d) {
        cn->r.push_back(d);
        cn->occ.push_back(cell->atom[j].occ);
      });
  if (!searched) return nullptr;
  cn->total = static_cast<int>(cn->r.size());
  if (cn->total == 0) {
    std::fprintf(stderr, "Error: atom of type %s%d%c not found.\n", type_c, std::abs(os_c),
                 os_c < 0 ? '-' : '+');
    return nullptr;
  }
  cn_exchange_sort(
      cn->total, [&](int j, int i) { return cn->r[i] > cn->r[j]; },
      [&](int i, int j) {
        std::swap(cn->r[i], cn->r[j]);
        std::swap(cn->occ[i], cn->occ[j]);
      });
  cn_density(cn->total, cn->r, cn->occ, cn->n, cn->g);
  if (velmora_cn_calculate_shell(cn.get(), rds_tiny) != 0) {
    std::fprintf(stderr, "Error: velmora_cn_calculate_shell() returns non-zero.\n");
    return nullptr;
  }
  return cn;
}

std::unique_ptr<VELMORA_CN_MIX> velmora_cn_mix_new_from_cell(const VELMORA_CELL* cell,
                                                             long centre, double rds_tiny) {
  if (!velmora_cell_ready(cell) || centre < 0 || centre >= static_cast<long>(cell->atom.size())) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CN_MIX> cn = velmora_cn_mix_new();
  const VELMORA_ATOM& c = cell->atom[centre];
  cn_copy_name(cn->name, c.name);
  std::snprintf(cn->type, sizeof cn->type, "%s", c.type);
  cn->os = c.os;
  const bool searched = cn_collect(
      cell, centre, VELMORA_CN_RANGE, VELMORA_NEIGHBOR_NO_SKIP,
      [&](const VELMORA_ATOM& b) { return static_cast<long>(b.os) * c.os < 1; },
      [&](int j, double d) {
        const VELMORA_ATOM& b = cell->atom[j];
        std::array<char, 3> t = {b.type[0], b.type[1], '\0'};
        cn->type_c.push_back(t);
        cn->os_c.push_back(b.os);
        cn->r.push_back(d);
        cn->occ.push_back(b.occ);
      });
  if (!searched) return nullptr;
  cn->total = static_cast<int>(cn->r.size());
  if (cn->total == 0) {
    std::fprintf(stderr, "Error: coordinated atom of charge %c not found.\n",
                 c.os < 0 ? '+' : '-');
    return nullptr;
  }
  cn_exchange_sort(
      cn->total, [&](int j, int i) { return cn->r[i] > cn->r[j]; },
      [&](int i, int j) {
        std::swap(cn->type_c[i], cn->type_c[j]);
        std::swap(cn->os_c[i], cn->os_c[j]);
        std::swap(cn->r[i], cn->r[j]);
        std::swap(cn->occ[i], cn->occ[j]);
      });
  cn_density(cn->total, cn->r, cn->occ, cn->n, cn->g);
  if (velmora_cn_mix_calculate_shell(cn.get(), rds_tiny) != 0) {
    std::fprintf(stderr, "Error: velmora_cn_mix_calculation_shell() returns non-zero.\n");
    return nullptr;
  }
  return cn;
}

std::unique_ptr<VELMORA_CN_BV> velmora_cn_bv_new_from_cell(const VELMORA_CELL* cell, long centre,
                                                           const VELMORA_PROPERTY* ppt,
                                                           const VELMORA_BV* bv) {
  if (!velmora_cell_ready(cell) || centre < 0 || centre >= static_cast<long>(cell->atom.size()) ||
      !ppt || !bv) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CN_BV> cn = velmora_cn_bv_new();
  const VELMORA_ATOM& c = cell->atom[centre];
  cn_copy_name(cn->name, c.name);
  std::snprintf(cn->type, sizeof cn->type, "%s", c.type);
  cn->os = c.os;
  for (long s = 0; s < bv->total; ++s)
    if (std::strcmp(bv->atom[s].name, c.name) == 0) {
      cn->BVS = bv->sum[s];
      break;
    }
  std::vector<int> species;
  if (velmora_property_find_atom_indices(species, cell, ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
    return nullptr;
  }
  const bool cation = c.os > 0;
  const bool searched = cn_collect(
      cell, centre, velmora_property_max_cutoff(ppt), kBondSkip,
      [&](const VELMORA_ATOM& b) { return cation ? b.os < 0 : (c.os < 0 && b.os >= 1); },
      [&](int j, double d) {
        const VELMORA_ATOM& b = cell->atom[j];
        const VELMORA_PROPERTY_BINARY& p =
            cation ? ppt->bin[species[centre]][species[j]] : ppt->bin[species[j]][species[centre]];
        if (!(p.cutoff > kBondSkip) || !(d < p.cutoff)) return;
        std::array<char, 3> t = {b.type[0], b.type[1], '\0'};
        cn->type_c.push_back(t);
        cn->os_c.push_back(b.os);
        cn->r.push_back(d);
        cn->occ.push_back(b.occ);
        cn->s.push_back(std::exp((p.r0 - d) / p.b));
      });
  if (!searched) return nullptr;
  const int total = static_cast<int>(cn->r.size());
  cn->total = total;
  if (total == 0) {
    std::fprintf(stderr, "Error: coordinated atom of charge %c not found.\n",
                 c.os < 0 ? '+' : '-');
    return nullptr;
  }
  cn_exchange_sort(
      total, [&](int j, int i) { return cn->s[i] < cn->s[j]; },
      [&](int i, int j) {
        std::swap(cn->type_c[i], cn->type_c[j]);
        std::swap(cn->os_c[i], cn->os_c[j]);
        std::swap(cn->r[i], cn->r[j]);
        std::swap(cn->occ[i], cn->occ[j]);
        std::swap(cn->s[i], cn->s[j]);
      });
  cn->n.assign(total, 0.0);
  cn->s_sum.assign(total, 0.0);
  cn->s_ave.assign(total, 0.0);
  cn->s_det.assign(total, 0.0);
  cn->n[0] = cn->occ[0];
  cn->s_sum[0] = cn->occ[0] * cn->s[0];
  cn->s_ave[0] = cn->s_sum[0] / cn->n[0];
  for (int i = 1; i < total; ++i) {
    cn->n[i] = cn->n[i - 1] + cn->occ[i];
    cn->s_sum[i] = cn->s_sum[i - 1] + cn->occ[i] * cn->s[i];
    cn->s_ave[i] = cn->s_sum[i] / cn->n[i];
    cn->s_det[i] = cn->s_ave[i - 1] / cn->s[i];
  }
  // A bond far weaker than the average of the stronger ones (s_det > 4.5)
  // once three quarters of the sum are reached does not close the sphere;
  // bonds under 2.5 % of the sum never do, under 1 % are not printed.
  const double bvs = std::fabs(cn->BVS);
  for (int i = 1; i < total; ++i) {
    if (cn->s[i] > 0.01 * bvs) cn->cn_print = i;
    if (cn->s[i] >= 0.025 * bvs) {
      if (!(cn->s_det[i] > 4.5 && cn->s_sum[i - 1] > 0.75 * bvs)) cn->cn_index = i;
    }
  }
  return cn;
}

// ------------------------------------------------------------ printing ----

void velmora_cn_print_shell(const VELMORA_CN* cn) {
  if (!cn) {
    std::printf("CN: (not allocated)\n");
    return;
  }
  std::printf("CN: center atom: %6s (%s%d%c)\n", cn->name, cn->type, std::abs(cn->os),
              sign_of(cn->os));
  std::printf("CN: coordinated type: %s%d%c\n", cn->type_c, std::abs(cn->os_c), sign_of(cn->os_c));
  std::printf("CN: %5s %9s %6s\n", "shell", "r", "cn");
  for (int s = 0; s < cn->total_shell; ++s)
    std::printf("CN: %5d %9.6f %6.3f\n", s, cn->r_shell[s], cn->n_shell[s]);
}

void velmora_cn_mix_print(const VELMORA_CN_MIX* cn) {
  if (!cn) {
    std::printf("CN: (not allocated)\n");
    return;
  }
  std::printf("CN: Center atom: %13s (%s%d%c)\n", cn->name, cn->type, std::abs(cn->os),
              sign_of(cn->os));
  std::printf("CN: Coordination Number: %12.3f\n", cn->total_shell > 0 ? cn->n_shell[0] : 0.0);
  std::printf("CN: %5s %6s %16s %9s %6s %8s %9s\n", "Index", "Shell", "Coordinated type", "r",
              "occ", "n", "rds");
  // Rows up to twice the start of the second shell, never past the list;
  // with a single shell, every neighbour.
  int rows = cn->total;
  if (cn->total_shell > 1 && 2 * cn->index_shell[1] < rows) rows = 2 * cn->index_shell[1];
  int shell = 1;
  for (int i = 0; i < rows; ++i) {
    while (shell < cn->total_shell && i >= cn->index_shell[shell]) ++shell;
    std::printf("CN: %5d %6d %14s%d%c %9.6f %6.3f %8.3f %9.6f\n", i + 1, shell,
                cn->type_c[i].data(), std::abs(cn->os_c[i]), sign_of(cn->os_c[i]), cn->r[i],
                cn->occ[i], cn->n[i], cn->g[i]);
  }
}

void velmora_cn_bv_print(const VELMORA_CN_BV* cn) {
  if (!cn || cn->total < 1) {
    std::printf("CN: (not allocated)\n");
    return;
  }
  std::printf("CN: Center atom: %5s (%s%d%c)   BVS: %f\n", cn->name, cn->type, std::abs(cn->os),
              sign_of(cn->os), cn->BVS);
  std::printf("CN: Coordination Number: %12.3f\n", cn->n[cn->cn_index]);
  std::printf("CN: %5s %16s %9s %6s %7s %9s %9s %9s %9s\n", "Index", "Coordinated type", "r",
              "occ", "n", "s", "BVS", "s_ave", "s_det");
  for (int i = 0; i <= cn->cn_print && i < cn->total; ++i)
    std::printf("CN: %5d %14s%d%c %9.6f %6.3f %7.3f %9.6f %9.6f %9.6f %9.6f\n", i + 1,
                cn->type_c[i].data(), std::abs(cn->os_c[i]), sign_of(cn->os_c[i]), cn->r[i],
                cn->occ[i], cn->n[i], cn->s[i], cn->s_sum[i], cn->s_ave[i], cn->s_det[i]);
}

// -------------------------------------------------------- computations ----

int velmora_cn_calculate(const VELMORA_CELL* cell, const char* name, double rds_tiny) {
  if (!velmora_cell_ready(cell)) return 1;
  const long centre = cn_find_atom(cell, name);
  if (centre < 0) {
    std::fprintf(stderr, "Error: atom named %s not found.\n", name);
    return 1;
  }
  std::unique_ptr<VELMORA_CN_MIX> cn = velmora_cn_mix_new_from_cell(cell, centre, rds_tiny);
  if (!cn) {
    std::fprintf(stderr, "Error: velmora_cn_mix_new_from_cell() returns NULL.\n");
    velmora_cn_mix_print(nullptr);
    return 1;
  }
  velmora_cn_mix_print(cn.get());
  return 0;
}

int velmora_cn_calculate_by_name(const VELMORA_CELL* cell, const char* name, const char* type_c,
                                 int os_c, double rds_tiny) {
  if (!velmora_cell_ready(cell)) return 1;
  const long centre = cn_find_atom(cell, name);
  if (centre < 0) {
    std::fprintf(stderr, "Error: atom named %s not found.\n", name);
    return 1;
  }
  std::unique_ptr<VELMORA_CN> cn = velmora_cn_new_from_cell(cell, centre, type_c, os_c, rds_tiny);
  if (!cn) {
    std::fprintf(stderr, "Error: velmora_cn_new_from_cell() returns NULL.\n");
    return 1;
  }
  velmora_cn_print_shell(cn.get());
  return 0;
}

int velmora_cn_calculate_by_type(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                                 const char* type, int os, const char* type_c, int os_c,
                                 double rds_tiny) {
  if (velmora_cell_flag_site_by_symmetry(cell, symmetry) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_flag_site_by_symmetry() returns non-zero.\n");
    return 1;
  }
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  auto of_species = [&](const VELMORA_ATOM& a) {
    return a.os == os && std::strcmp(a.type, type) == 0;
  };
  bool any = false;
  for (const VELMORA_ATOM& a : atom) any = any || of_species(a);
  if (!any) {
    std::fprintf(stderr, "Error: unable to find any atom of %s%d%c.\n", type, std::abs(os),
                 sign_of(os));
    return 1;
  }
  std::printf("CN: %s%d%c coordinated by %s%d%c\n", type, std::abs(os), os > 0 ? '+' : '-',
              type_c, std::abs(os_c), os_c > 0 ? '+' : '-');
  std::printf("CN: %4s %12s %10s %9s\n", "site", "multiplicity", "cn", "r");
  long handled = 0, site = 0;
  double sum_cn = 0.0, sum_r = 0.0, sum_m = 0.0;
  for (std::size_t i = 0; i < atom.size(); ++i) {
    if (!of_species(atom[i]) || atom[i].flag <= handled) continue;
    handled = atom[i].flag;
    long m = 0;
    for (const VELMORA_ATOM& a : atom) m += a.flag == handled;
    std::unique_ptr<VELMORA_CN> cn =
        velmora_cn_new_from_cell(cell, static_cast<long>(i), type_c, os_c, rds_tiny);
    if (!cn) {
      std::fprintf(stderr, "Error: velmora_cn_new_from_cell() returns NULL.\n");
      return 1;
    }
    std::printf("CN: %4ld %12ld %10.6f %9.6f\n", site++, m, cn->n_shell[0], cn->r_shell[0]);
    sum_cn += m * cn->n_shell[0];
    sum_r += m * cn->r_shell[0];
    sum_m += m;
  }
  std::printf("CN: %4s %12d %10.6f %9.6f\n", "ave", 0, sum_cn / sum_m, sum_r / sum_m);
  return 0;
}

int velmora_cn_calculate_by_bv(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                               const char* name, const char* dir_unitary,
                               const char* dir_binary) {
  if (velmora_cell_flag_site_by_symmetry(cell, symmetry) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_flag_site_by_symmetry() returns non-zero.\n");
    return 1;
  }
  // Bond valences need no screening-factor search.
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_property_import_from_cell(cell, nullptr, 0, 0.75, dir_unitary, dir_binary);
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_BV> bv = velmora_bv_calculate_from_flagged_cell(cell, ppt.get());
  if (!bv) {
    std::fprintf(stderr, "Error: velmora_bv_calculate_from_flagged_cell() returns NULL.\n");
    return 1;
  }
  const long centre = cn_find_atom(cell, name);
  if (centre < 0) {
    std::fprintf(stderr, "Error: atom named %s not found.\n", name);
    return 1;
  }
  std::unique_ptr<VELMORA_CN_BV> cn = velmora_cn_bv_new_from_cell(cell, centre, ppt.get(), bv.get());
  if (!cn) {
    std::fprintf(stderr, "Error: velmora_cn_bv_new_from_cell() returns NULL.\n");
    velmora_cn_bv_print(nullptr);
    return 1;
  }
  velmora_cn_bv_print(cn.get());
  return 0;
}

// ------------------------------------------------------------ commands ----

namespace {

// Atom names hold up to 11 characters, as CIF labels are read.
bool cn_read_name(const char* text, char name[12]) {
  if (std::sscanf(text, "%11s", name) != 1) {
    std::fprintf(stderr, "Error: wrong parameter atom_name.\n");
    return false;
  }
  return true;
}

// The optional rds_cutoff at argv[index]; -0.1 (the default 0.01) when
// absent.  A depth beyond 1e6 (radial densities are of order 1 per A^3)
// already merges every shell.
bool cn_read_rds(const VELMORA_CMD_OPT* opt, int index, double& rds) {
  rds = -0.1;
  return velmora_cmd_arg_real(opt, index, "rds_tiny", -HUGE_VAL, 1e6, rds);
}

}  // namespace

int velmora_cmd_opt_do_cal_cn(VELMORA_CMD_OPT* opt) {
  char name[12] = {};
  double rds;
  if (!cn_read_name(opt->argv[3], name) || !cn_read_rds(opt, 4, rds)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cn_calculate(cif->cell.get(), name, rds) == 0 ? VELMORA_EXIT_OK
                                                                : VELMORA_EXIT_FAILURE;
}

int velmora_cmd_opt_do_cal_cn_atom(VELMORA_CMD_OPT* opt) {
  char name[12] = {}, type_c[3] = {};
  int os_c = 0;
  double rds;
  if (!cn_read_name(opt->argv[3], name) || !velmora_cmd_arg_type(opt, 4, "type_c", type_c) ||
      !velmora_cmd_arg_os(opt, 5, "os_c", os_c) || !cn_read_rds(opt, 6, rds))
    return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cn_calculate_by_name(cif->cell.get(), name, type_c, os_c, rds) == 0
             ? VELMORA_EXIT_OK
             : VELMORA_EXIT_FAILURE;
}

int velmora_cmd_opt_do_cal_cn_type(VELMORA_CMD_OPT* opt) {
  char type[3] = {}, type_c[3] = {};
  int os = 0, os_c = 0;
  double rds;
  if (!velmora_cmd_arg_type(opt, 3, "type", type) || !velmora_cmd_arg_os(opt, 4, "os", os) ||
      !velmora_cmd_arg_type(opt, 5, "type_c", type_c) ||
      !velmora_cmd_arg_os(opt, 6, "os_c", os_c) || !cn_read_rds(opt, 7, rds))
    return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cn_calculate_by_type(cif->cell.get(), cif->symmetry.get(), type, os, type_c,
                                      os_c, rds) == 0
             ? VELMORA_EXIT_OK
             : VELMORA_EXIT_FAILURE;
}

int velmora_cmd_opt_do_cal_cn_bv(VELMORA_CMD_OPT* opt) {
  char name[12] = {};
  if (!cn_read_name(opt->argv[3], name)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cn_calculate_by_bv(cif->cell.get(), cif->symmetry.get(), name,
                                    opt->dir_unitary.c_str(), opt->dir_binary.c_str()) == 0
             ? VELMORA_EXIT_OK
             : VELMORA_EXIT_FAILURE;
}

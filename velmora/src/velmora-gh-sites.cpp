// Site summary of a site graph: its minima as real sites with their near
// sites and lowest hop barriers, split sites where a hop path first rises
// more than de above its minimum (Boltzmann-weighted shares of the
// occupancy), and merged sites for groups of minima closer than dr (closed
// under the relation); the --sites command.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "velmora-gh.h"
#include "velmora-import.h"
#include "velmora-la.h"

namespace {

constexpr double kDefaultDe = 0.0257;  // eV, k_B T at room temperature
constexpr double kDefaultDr = 0.5;     // A

long group_root(std::vector<long>& parent, long x) {
  while (parent[x] != x) x = parent[x] = parent[parent[x]];
  return x;
}

void add_split_sites(VELMORA_GRAPH_SITES* sites, const VELMORA_GRAPH* graph,
                     const VELMORA_FPCUBE* map, const VELMORA_FPHALF_LIST* list) {
  for (long k = 0; k < sites->total_real; ++k) {
    const VELMORA_GRAPH_VERTEX& v = graph->v[k];
    for (long q : v.e) {
      const std::vector<long>& dot = list->half[graph->e[q].index_half].dot;
      // Upward from the point next to the minimum; the saddle is never taken.
      long found = -1;
      for (long s = static_cast<long>(dot.size()) - 2; s >= 1; --s)
        if (map->en[dot[s]] > v.en + sites->de) {
          found = dot[s];
          break;
        }
      if (found < 0) continue;
      double x[3];
      velmora_fpcube_position(x, map, found);
      bool known = false;
      for (long s : sites->site[k].index_split)
        known = known || velmora_vector3_double_distance(sites->site[s].x, x) < 1e-6;
      if (known) continue;
      VELMORA_GRAPH_SITE split;
      split.type = SITE_SPL;
      char name[64];
      std::snprintf(name, sizeof name, "%s_s%d", sites->site[k].name,
                    sites->site[k].total_split + 1);
      std::snprintf(split.name, sizeof split.name, "%.10s", name);
      velmora_vector3_double_copy(split.x, x);
      split.en = map->en[found];
      split.label = 0;
      split.index = static_cast<long>(sites->site.size());
      split.index_merge = k;
      sites->site[k].index_split.push_back(split.index);
      sites->site[k].total_split = static_cast<int>(sites->site[k].index_split.size());
      sites->site.push_back(split);
      ++sites->total_split;
    }
    VELMORA_GRAPH_SITE& real = sites->site[k];
    double weight = 0.0;
    for (long s : real.index_split) weight += std::exp(real.en - sites->site[s].en);
    double spread = 0.0;
    for (long s : real.index_split) {
      VELMORA_GRAPH_SITE& split = sites->site[s];
      split.occ = std::exp(real.en - split.en) * real.occ / weight;
      split.r = velmora_dot_distance(split.x, real.x, sites->a);
      spread = std::max(spread, split.r);
      for (long t : real.index_split)
        spread = std::max(spread, velmora_dot_distance(split.x, sites->site[t].x, sites->a));
    }
    real.r = spread;
  }
}

void add_merged_sites(VELMORA_GRAPH_SITES* sites) {
  const long nr = sites->total_real;
  std::vector<long> parent(static_cast<std::size_t>(nr));
  for (long k = 0; k < nr; ++k) parent[k] = k;
  for (long k = 0; k < nr; ++k)
    for (long j : sites->site[k].index_near) parent[group_root(parent, k)] = group_root(parent, j);
  // Groups in the order of their lowest-index member.
  std::vector<long> order;
  std::vector<std::vector<long>> members(static_cast<std::size_t>(nr));
  for (long k = 0; k < nr; ++k) {
    const long root = group_root(parent, k);
    if (members[root].empty()) order.push_back(root);
    members[root].push_back(k);
  }
  for (long root : order) {
    const std::vector<long>& group = members[root];
    if (group.size() < 2) continue;
    VELMORA_GRAPH_SITE merged;
    merged.type = SITE_MER;
    char name[64];
    std::snprintf(name, sizeof name, "m%ld", sites->total_merge + 1);
    std::snprintf(merged.name, sizeof merged.name, "%.11s", name);
    merged.index = static_cast<long>(sites->site.size());
    merged.total_split = static_cast<int>(group.size());
    merged.index_split = group;
    const VELMORA_GRAPH_SITE& first = sites->site[group[0]];
    for (long k : group) {
      VELMORA_GRAPH_SITE& member = sites->site[k];
      member.index_merge = merged.index;
      merged.en += member.en;
      merged.occ += member.occ;
      double image[3];
      velmora_dot_pivot(image, member.x, first.x, sites->a);
      for (int c = 0; c < 3; ++c) merged.x[c] += image[c];
    }
    const double count = static_cast<double>(group.size());
    merged.en /= count;
    merged.occ /= count;
    for (int c = 0; c < 3; ++c) merged.x[c] /= count;
    sites->site.push_back(merged);
    ++sites->total_merge;
  }
}

}  // namespace

std::unique_ptr<VELMORA_GRAPH_SITES> velmora_graph_sites_new(const VELMORA_GRAPH* graph,
                                                             const VELMORA_FPCUBE* map,
                                                             const VELMORA_FPHALF_LIST* list,
                                                             double de, double dr) {
  if (!graph || !list || !map) {
    std::fprintf(stderr,
                 "Error: VELMORA_GRAPH or VELMORA_FPHALF_LIST has not been properly "
                 "initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_GRAPH_SITES> sites(new (std::nothrow) VELMORA_GRAPH_SITES);
  if (!sites) {
    throw VELMORA_NO_MEMORY("the site summary", sizeof(VELMORA_GRAPH_SITES));
  }
  try {
    sites->de = de > 0.0 ? de : kDefaultDe;
    sites->dr = dr > 0.0 ? dr : kDefaultDr;
    velmora_matrix33_double_copy(sites->a, graph->a);
    velmora_matrix33_double_copy(sites->a_i, graph->a_i);
    for (const VELMORA_GRAPH_VERTEX& v : graph->v) {
      VELMORA_GRAPH_SITE real;
      std::memcpy(real.name, v.name, sizeof real.name);
      real.type = SITE_REA;
      velmora_vector3_double_copy(real.x, v.x);
      real.en = v.en;
      real.occ = v.occ;
      real.label = v.site;
      real.index = v.index;
      sites->site.push_back(real);
    }
    sites->total_real = graph->total_v;
    for (long k = 0; k < sites->total_real; ++k)
      for (long j = 0; j < sites->total_real; ++j)
        if (k != j &&
            velmora_dot_distance(sites->site[k].x, sites->site[j].x, sites->a) < sites->dr)
          sites->site[k].index_near.push_back(j);
    for (VELMORA_GRAPH_SITE& s : sites->site) s.total_near = static_cast<int>(s.index_near.size());
    for (const VELMORA_GRAPH_EDGE& e : graph->e) {
      VELMORA_GRAPH_SITE& s = sites->site[e.v_i];
      auto it = std::find(s.index_neigh.begin(), s.index_neigh.end(), e.v_f);
      if (it != s.index_neigh.end()) {
        double& b = s.barrier[it - s.index_neigh.begin()];
        b = std::min(b, e.barrier);
      } else {
        s.index_neigh.push_back(e.v_f);
        s.barrier.push_back(e.barrier);
      }
      s.total_neigh = static_cast<int>(s.index_neigh.size());
    }
    add_split_sites(sites.get(), graph, map, list);
    add_merged_sites(sites.get());
  } catch (const std::exception&) {
    std::fprintf(stderr, "Error: unable to reallocate sites->site.\n");
    return nullptr;
  }
  sites->total = static_cast<long>(sites->site.size());
  return sites;
}

void velmora_graph_sites_print(const VELMORA_GRAPH_SITES* sites) {
  if (!sites) {
    std::printf("GRAPH_SITES: (not allocated)\n");
    return;
  }
  const VELMORA_GRAPH_SITES& s = *sites;
  std::printf("GRAPH_SITES: de = %lf eV; dr = %lf; total = %ld\n", s.de, s.dr, s.total);
  std::printf("GRAPH_SITES: total_real = %ld\n", s.total_real);
  std::printf("GRAPH_SITES: %5s, %4s, %6s, %6s, %5s, %10s, %5s, %6s, %6s, %6s\n", "index", "site",
              "name", "en", "occ", "total_near", "ref_m", "x", "y", "z");
  for (long k = 0; k < s.total_real; ++k) {
    const VELMORA_GRAPH_SITE& r = s.site[k];
    std::printf("GRAPH_SITES: %5ld, %4ld, %6s, %6.3lf, %5.3lf, %10d, %5ld, %6.3lf, %6.3lf, %6.3lf\n",
                r.index, r.label, r.name, r.en, r.occ, r.total_near, r.index_merge, r.x[0], r.x[1],
                r.x[2]);
  }
  std::printf("GRAPH_SITES: real sites connectivity\n");
  std::printf("GRAPH_SITES:      #");
  for (long k = 0; k < s.total_real; ++k) std::printf(",%6ld", k);
  std::printf("\n");
  for (long k = 0; k < s.total_real; ++k) {
    const VELMORA_GRAPH_SITE& r = s.site[k];
    std::printf("GRAPH_SITES: %6ld", k);
    for (long j = 0; j < s.total_real; ++j) {
      auto it = std::find(r.index_neigh.begin(), r.index_neigh.end(), j);
      if (it == r.index_neigh.end())
        std::printf(",%6s", "NA");
      else
        std::printf(",%6.3lf", r.barrier[it - r.index_neigh.begin()]);
    }
    std::printf("\n");
  }
  std::printf("GRAPH_SITES: total_split = %ld\n", s.total_split);
  std::printf("GRAPH_SITES: %5s, %3s, %10s, %6s, %6s, %6s, %5s, %5s\n", "index", "ref", "name",
              "en", "de", "occ", "r", "r_max");
  for (const VELMORA_GRAPH_SITE& x : s.site) {
    if (x.type != SITE_SPL) continue;
    const VELMORA_GRAPH_SITE& parent = s.site[x.index_merge];
    std::printf("GRAPH_SITES: %5ld, %3ld, %10s, %6.3lf, %6.3lf, %6.3lf, %5.3lf, %5.3lf\n", x.index,
                x.index_merge, x.name, x.en, x.en - parent.en, x.occ, x.r, parent.r);
  }
  std::printf("GRAPH_SITES: total_merge = %ld\n", s.total_merge);
  std::printf("GRAPH_SITES: %5s, %10s, %6s, %6s, [%s]\n", "index", "name", "en", "occ", "ref");
  for (const VELMORA_GRAPH_SITE& x : s.site) {
    if (x.type != SITE_MER) continue;
    std::printf("GRAPH_SITES: %5ld, %10s, %6.3lf, %6.3lf, [", x.index, x.name, x.en, x.occ);
    for (long m : x.index_split) std::printf("%ld,", m);
    std::printf("]\n");
  }
}

void velmora_graph_sites_print_reduced(const VELMORA_GRAPH_SITES* sites) {
  if (!sites) {
    std::printf("GRAPH_SITES: (not allocated)\n");
    return;
  }
  const VELMORA_GRAPH_SITES& s = *sites;
  std::printf("GRAPH_SITES: de = %lf eV; dr = %lf; total = %ld\n", s.de, s.dr, s.total);
  std::printf("GRAPH_SITES: total_real = %ld\n", s.total_real);
  long labels = 0;
  for (long k = 0; k < s.total_real; ++k) labels = std::max(labels, s.site[k].label);
  std::vector<long> first(static_cast<std::size_t>(labels) + 1, -1), multi(first.size(), 0);
  for (long k = 0; k < s.total_real; ++k) {
    const long l = s.site[k].label;
    if (l < 1) continue;
    if (first[l] < 0) first[l] = k;
    ++multi[l];
  }
  std::printf("GRAPH_SITES: %4s, %5s, %6s, %6s, %5s, %4s, %5s, %5s, %5s\n", "site", "multi",
              "name", "en", "occ", "near", "split", "span", "flat?");
  for (long l = 1; l <= labels; ++l) {
    if (first[l] < 0) continue;
    const VELMORA_GRAPH_SITE& r = s.site[first[l]];
    std::printf("GRAPH_SITES: %4ld, %5ld, %6s, %6.3lf, %5.3lf, %4d, %5d, %5.3lf, %5s\n", l,
                multi[l], r.name, r.en, r.occ, r.total_near, r.total_split, r.r,
                r.r >= s.dr ? "t" : "f");
  }
  // A matrix over the labels, row to column; `entry` gives the value of a
  // pair of labels or false for "NA".
  auto print_matrix = [&](const char* title, auto entry) {
    std::printf("GRAPH_SITES: %s (from row to col)\n", title);
    std::printf("GRAPH_SITES:      #");
    for (long l = 1; l <= labels; ++l)
      if (first[l] >= 0) std::printf(",%6s", s.site[first[l]].name);
    std::printf("\n");
    for (long g = 1; g <= labels; ++g) {
      if (first[g] < 0) continue;
      std::printf("GRAPH_SITES: %6s", s.site[first[g]].name);
      for (long h = 1; h <= labels; ++h) {
        if (first[h] < 0) continue;
        double value = 0.0;
        if (entry(g, h, value))
          std::printf(",%6.3lf", value);
        else
          std::printf(",%6s", "NA");
      }
      std::printf("\n");
    }
  };
  print_matrix("barriers", [&](long g, long h, double& best) {
    bool found = false;
    for (long k = 0; k < s.total_real; ++k) {
      if (s.site[k].label != g) continue;
      const VELMORA_GRAPH_SITE& r = s.site[k];
      for (std::size_t m = 0; m < r.index_neigh.size(); ++m) {
        if (s.site[r.index_neigh[m]].label != h) continue;
        const double b = r.barrier[m];
        // A negative barrier counts only once a non-negative one is held.
        if (!found) {
          if (b >= 0.0) {
            best = b;
            found = true;
          }
        } else {
          best = std::min(best, b);
        }
      }
    }
    return found;
  });
  // The last neighbouring pair of the two labels gives the difference.
  print_matrix("site energy difference", [&](long g, long h, double& diff) {
    bool found = false;
    for (long k = 0; k < s.total_real; ++k) {
      if (s.site[k].label != g) continue;
      const std::vector<long>& nb = s.site[k].index_neigh;
      for (long t = 0; t < s.total_real; ++t) {
        if (s.site[t].label != h || std::find(nb.begin(), nb.end(), t) == nb.end()) continue;
        diff = s.site[t].en - s.site[k].en;
        found = true;
      }
    }
    return found;
  });
}

std::unique_ptr<VELMORA_CELL> velmora_graph_sites_export_to_cell(const VELMORA_GRAPH_SITES* sites) {
  if (!sites) {
    std::fprintf(stderr, "Error: VELMORA_SITES has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_new(sites->total);
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_cell_new() returns NULL.\n");
    return nullptr;
  }
  velmora_matrix33_double_copy(cell->a, sites->a);
  for (long k = 0; k < sites->total; ++k) {
    const VELMORA_GRAPH_SITE& s = sites->site[k];
    VELMORA_ATOM& atom = cell->atom[k];
    std::memcpy(atom.name, s.name, sizeof atom.name);
    const char* element = s.type == SITE_REA ? "Li" : s.type == SITE_SPL ? "Na"
                          : s.type == SITE_MER ? "K" : "Rb";
    std::snprintf(atom.type, sizeof atom.type, "%s", element);
    atom.os = 1;
    atom.occ = s.occ;
    velmora_vector3_double_copy(atom.x, s.x);
  }
  velmora_cell_update_fractional(cell.get());
  return cell;
}

int velmora_graph_sites_calculate_from_file(const char* cifname, const char* cubename,
                                            const char* type, int os, double de, double dr,
                                            double barrier_cutoff, bool output_long,
                                            bool periodic, const char* dir_unitary,
                                            const char* dir_binary, const char* dir_symcards) {
  std::string file;
  if (!velmora_topology_output_name(file, cifname, ".site.cif", 1000 + 9)) return 1;
  VELMORA_GRAPH_INPUT in;
  if (velmora_graph_build_from_file(in, cifname, cubename, type, os, barrier_cutoff, periodic,
                                    dir_unitary, dir_binary, dir_symcards) != 0)
    return 1;
  std::unique_ptr<VELMORA_GRAPH_SITES> sites =
      velmora_graph_sites_new(in.graph.get(), in.map.get(), in.list.get(), de, dr);
  if (!sites) {
    std::fprintf(stderr, "Error: velmora_graph_sites_new() returns NULL.\n");
    return 1;
  }
  in = VELMORA_GRAPH_INPUT();
  std::unique_ptr<VELMORA_CELL> cell = velmora_graph_sites_export_to_cell(sites.get());
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_graph_sites_export_to_cell() returns NULL.\n");
    return 1;
  }
  // A site file that cannot be written fails the command.
  if (velmora_topology_write_cif(file.c_str(), cell.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return 1;
  }
  if (output_long)
    velmora_graph_sites_print(sites.get());
  else
    velmora_graph_sites_print_reduced(sites.get());
  return 0;
}

int velmora_cmd_opt_do_sites(VELMORA_CMD_OPT* opt) {
  char type[3] = {};
  int os = 0;
  if (!velmora_cmd_read_species(opt, 4, type, os)) return VELMORA_EXIT_FAILURE;
  // Energies within the landscape's range; a merging radius beyond 100 A
  // exceeds any cell the grid can hold.
  double value[3] = {-0.1, -0.1, -0.1};
  const char* names[3] = {"de", "dr", "barrier_max"};
  const double highest[3] = {VELMORA_CMD_MAX_ENERGY, 100.0, VELMORA_CMD_MAX_ENERGY};
  for (int m = 0; m < 3; ++m)
    if (!velmora_cmd_arg_real(opt, 6 + m, names[m], -HUGE_VAL, highest[m], value[m]))
      return VELMORA_EXIT_FAILURE;
  bool flag[2] = {false, true};
  const char* flag_names[2] = {"print_long", "periodic"};
  for (int m = 0; m < 2; ++m) {
    if (opt->argc <= 9 + m) continue;
    const char c = opt->argv[9 + m][0];
    if (c == 't' || c == 'T')
      flag[m] = true;
    else if (c == 'f' || c == 'F')
      flag[m] = false;
    else {
      std::fprintf(stderr, "Error: wrong parameter %s.\n", flag_names[m]);
      return VELMORA_EXIT_FAILURE;
    }
  }
  if (velmora_graph_sites_calculate_from_file(opt->argv[2], opt->argv[3], type, os, value[0],
                                              value[1], value[2], flag[0], flag[1],
                                              opt->dir_unitary.c_str(), opt->dir_binary.c_str(),
                                              opt->dir_symcards.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_graph_sites_calculate_from_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

// Operations on whole cells: periodic minimum distances, supercells (with the
// size rule used for simulations), random resolution of partial occupancies
// weighted by occupancy, and the CIF writer (symmetry-distinct atoms plus the
// operations of the space group, CR LF line ends).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "velmora-import.h"
#include "velmora-la.h"

namespace {

bool same_species(const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
  return a.os == b.os && std::strcmp(a.type, b.type) == 0;
}

bool is_species(const VELMORA_ATOM& a, const char* type, int os) {
  return a.os == os && std::strcmp(a.type, type) == 0;
}

// Occupancies are often written rounded (1/3 as 0.333); a total that falls
// short of a whole number of atoms by less than half a unit of the third
// decimal per contributing atom counts as that whole number.
double rounding_allowance(long atoms) { return 5e-4 * static_cast<double>(atoms); }

// Draws an atom among the marked ones of `members`, each with probability
// occ / total: walks them in order with a running sum until it reaches a
// uniform deviate, drawing again when the walk ends first.  -1 when no
// marked atom with occupancy is left.
long draw_weighted(const std::vector<VELMORA_ATOM>& atom, const std::vector<long>& members,
                   double total) {
  double available = 0.0;
  for (long k : members)
    if (atom[k].ignored && atom[k].occ > 0.0) available += atom[k].occ;
  if (!(available > 0.0) || !(total > 0.0)) return -1;
  // When the marked atoms hold only a small part of `total`, the redraws
  // are cut short by walking over their own total (the same distribution).
  for (int attempt = 0;; ++attempt) {
    const double norm = attempt < 1000 ? total : available;
    const double u = velmora_random();
    double c = 0.0;
    long last = -1;
    for (long k : members) {
      if (!atom[k].ignored || !(atom[k].occ > 0.0)) continue;
      const double share = atom[k].occ / norm;
      if (c + share >= u) return k;
      c += share;
      last = k;
    }
    if (attempt >= 1000) return last;  // u rounded above the walk's total
  }
}

// The copy of `cell` holding its atoms that are not marked (ignored) and
// whose occupancy reaches `min_occ`.
std::unique_ptr<VELMORA_CELL> copy_unmarked(const VELMORA_CELL* cell, double min_occ) {
  std::unique_ptr<VELMORA_CELL> out = velmora_cell_copy(cell);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
    return nullptr;
  }
  out->atom.clear();
  for (const VELMORA_ATOM& a : cell->atom)
    if (!a.ignored && a.occ >= min_occ) out->atom.push_back(a);
  if (out->atom.empty()) {
    std::fprintf(stderr, "Error: number of atoms must be positive.\n");
    std::fprintf(stderr, "Error: velmora_atom_new() returns NULL.\n");
    return nullptr;
  }
  out->total = static_cast<long>(out->atom.size());
  for (VELMORA_ATOM& a : out->atom) a.ignored = false;
  return out;
}

void clear_marks(VELMORA_CELL* cell) {
  for (VELMORA_ATOM& a : cell->atom) a.ignored = false;
}

// An atom label that reads back as one CIF token: white space and quotes
// become underscores, and a label that a reader would take for a tag,
// comment, keyword or text field gets a leading "x".
std::string cif_label(const char* name) {
  std::string label = name;
  for (char& c : label)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\'' || c == '"') c = '_';
  if (label.empty()) return "x";
  const char first = label[0];
  std::string lower;
  for (char c : label) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (first == '_' || first == '#' || first == '$' || first == ';' || first == '[' ||
      first == ']' || lower.rfind("data_", 0) == 0 || lower.rfind("loop_", 0) == 0 ||
      lower.rfind("save_", 0) == 0 || lower == "global_" || lower == "stop_" || label == "?" ||
      label == ".")
    label = "x" + label;
  return label;
}

// Two operations are the same when their rotations agree and their
// translations differ by a lattice vector (1e-4 allows for decimals).
bool same_card(const VELMORA_CARD& a, const VELMORA_CARD& b) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      if (std::fabs(a.r_f[i][j] - b.r_f[i][j]) > 1e-6) return false;
    const double d = a.t_f[i] - b.t_f[i];
    if (std::fabs(d - std::round(d)) > 1e-4) return false;
  }
  return true;
}

bool same_operations(const VELMORA_SYMMETRY* g, const std::vector<VELMORA_CARD>& cards) {
  if (static_cast<std::size_t>(g->total) != cards.size() ||
      g->card.size() != cards.size())
    return false;
  for (const VELMORA_CARD& a : g->card) {
    bool found = false;
    for (const VELMORA_CARD& b : cards)
      if (same_card(a, b)) {
        found = true;
        break;
      }
    if (!found) return false;
  }
  return true;
}

// A settings-file symbol with its setting word (H, R: hexagonal or
// rhombohedral axes; S, Z: origin choice 1 or 2) written as the suffix of
// the International Tables (R -3 m H gives R -3 m:H, F d -3 m Z F d -3 m:2).
std::string cif_symbol_of_entry(const std::string& hm) {
  const std::size_t space = hm.find_last_of(' ');
  if (space == std::string::npos || space + 2 != hm.size()) return hm;
  const char word = hm[space + 1];
  const char* suffix = word == 'H' ? "H" : word == 'R' ? "R" : word == 'S' ? "1" : word == 'Z' ? "2" : nullptr;
  if (!suffix) return hm;
  return hm.substr(0, space) + ":" + suffix;
}

}  // namespace

bool velmora_symmetry_cif_symbol(std::string& symbol, int& number,
                                 const VELMORA_SYMMETRY* symmetry, const char* dir_symcards) {
  if (!symmetry || symmetry->card.empty() || !dir_symcards) return false;
  std::vector<VELMORA_SYMCARDS_ENTRY> entry;
  if (velmora_symcards_load(entry, dir_symcards) != 0) return false;
  std::vector<VELMORA_CARD> cards;
  for (const VELMORA_SYMCARDS_ENTRY& e : entry) {
    if (!e.valid || e.op.size() != symmetry->card.size()) continue;
    cards.assign(e.op.size(), VELMORA_CARD{});
    bool readable = true;
    for (std::size_t k = 0; k < e.op.size() && readable; ++k)
      readable = velmora_card_set_by_text(&cards[k], e.op[k].c_str()) == 0;
    if (!readable || !same_operations(symmetry, cards)) continue;
    symbol = cif_symbol_of_entry(e.hm);
    number = e.id;
    return true;
  }
  return false;
}

void velmora_cell_refresh(VELMORA_CELL* cell) {
  if (!cell) return;
  for (VELMORA_ATOM& a : cell->atom) {
    a.flag = 0;
    a.value = 0.0;
    a.ignored = false;
  }
}

double velmora_cell_min_distance_btw_atoms(const VELMORA_CELL* cell, const VELMORA_ATOM* a,
                                           const VELMORA_ATOM* b) {
  double best = -1.0;
  for (int i = -1; i <= 1; ++i)
    for (int j = -1; j <= 1; ++j)
      for (int k = -1; k <= 1; ++k) {
        double p[3];
        for (int c = 0; c < 3; ++c)
          p[c] = a->x[c] + i * cell->a[0][c] + j * cell->a[1][c] + k * cell->a[2][c];
        const double d = velmora_vector3_double_distance(p, b->x);
        if (best < 0.0 || d < best) best = d;
      }
  return best;
}

// ------------------------------------------------------------ supercells ----

std::unique_ptr<VELMORA_CELL> velmora_cell_supercell(const VELMORA_CELL* cell, const int n[3]) {
  if (!cell) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return nullptr;
  }
  if (n[0] < 1 || n[1] < 1 || n[2] < 1) {
    std::fprintf(stderr, "Error: supercell parameters must be positive.\n");
    return nullptr;
  }
  const long p = n[0], q = n[1], r = n[2];
  std::unique_ptr<VELMORA_CELL> out = velmora_cell_new(cell->total * p * q * r);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_cell_new() returns NULL.\n");
    return nullptr;
  }
  std::snprintf(out->name, sizeof out->name, "%s", cell->name);
  for (int c = 0; c < 3; ++c) {
    out->a[0][c] = p * cell->a[0][c];
    out->a[1][c] = q * cell->a[1][c];
    out->a[2][c] = r * cell->a[2][c];
  }
  for (long i = 0; i < cell->total; ++i)
    for (long t0 = 0; t0 < p; ++t0)
      for (long t1 = 0; t1 < q; ++t1)
        for (long t2 = 0; t2 < r; ++t2) {
          VELMORA_ATOM& a = out->atom[i * p * q * r + t0 * q * r + t1 * r + t2];
          a = cell->atom[i];
          for (int c = 0; c < 3; ++c)
            a.x[c] += t0 * cell->a[0][c] + t1 * cell->a[1][c] + t2 * cell->a[2][c];
        }
  velmora_cell_update_fractional(out.get());
  out->Z = 0;
  return out;
}

std::unique_ptr<VELMORA_CELL> velmora_cell_supercell_default(const VELMORA_CELL* cell) {
  if (!cell || cell->total < 1) {
    std::fprintf(stderr, "Error: wrong total atom number %ld\n in VELMORA_CELL.\n",
                 cell ? cell->total : 0L);
    return nullptr;
  }
  const long total = cell->total;
  int n[3];
  auto set = [&n](int x, int y, int z) {
    n[0] = x;
    n[1] = y;
    n[2] = z;
  };
  if (total >= 250) set(1, 1, 1);
  else if (total >= 125) {
    const double* len = cell->parameter;
    if (len[2] < len[0] && len[2] < len[1]) set(2, 1, 2);
    else set(2, 2, 1);
  } else if (total >= 37) set(2, 2, 2);
  else if (total >= 15) set(3, 3, 3);
  else if (total >= 8) set(4, 4, 4);
  else if (total >= 4) set(5, 5, 5);
  else if (total >= 2) set(6, 6, 6);
  else set(7, 7, 7);
  std::unique_ptr<VELMORA_CELL> out = velmora_cell_supercell(cell, n);
  if (!out) std::fprintf(stderr, "Error: velmora_cell_supercell() returns NULL.\n");
  return out;
}

// ------------------------------------------------------ partial occupancy ----

int velmora_cell_partial_occ_at_conducting_site(const VELMORA_CELL* cell, const char* type,
                                                int os) {
  if (!cell || !type) return 0;
  for (const VELMORA_ATOM& a : cell->atom) {
    if (!is_species(a, type, os)) continue;
    for (const VELMORA_ATOM& b : cell->atom)
      if (!is_species(b, type, os) &&
          velmora_cell_min_distance_btw_atoms(cell, &a, &b) < VELMORA_SITE_SHARING_RADIUS)
        return 1;
  }
  return 0;
}

std::unique_ptr<VELMORA_CELL> velmora_cell_assign_partial_occ_at_conducting_site(
    VELMORA_CELL* cell, const char* type, int os) {
  if (!cell || cell->atom.empty() || !type) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return nullptr;
  }
  clear_marks(cell);
  if (velmora_cell_count_type_os(cell) <= 0) return nullptr;  // sorts the atoms
  // The choices are made on a working copy; the caller's cell keeps its
  // occupancies.
  std::unique_ptr<VELMORA_CELL> work = velmora_cell_copy(cell);
  if (!work) {
    std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
    return nullptr;
  }
  std::vector<VELMORA_ATOM>& atom = work->atom;
  const long n = static_cast<long>(atom.size());

  // Species in run order, with their atoms.
  std::vector<std::vector<long>> members;
  std::vector<long> species_of(static_cast<std::size_t>(n));
  for (long k = 0; k < n; ++k) {
    if (k == 0 || !same_species(atom[k], atom[k - 1])) members.emplace_back();
    members.back().push_back(k);
    species_of[k] = static_cast<long>(members.size()) - 1;
  }
  // Mixed sites: both atoms of every close pair of the species and another.
  for (long i = 0; i < n; ++i) {
    if (!is_species(atom[i], type, os)) continue;
    for (long j = 0; j < n; ++j)
      if (!is_species(atom[j], type, os) &&
          velmora_cell_min_distance_btw_atoms(work.get(), &atom[i], &atom[j]) <
              VELMORA_SITE_SHARING_RADIUS) {
        atom[i].ignored = true;
        atom[j].ignored = true;
      }
  }
  const int ns = static_cast<int>(members.size());
  std::vector<double> sum(ns, 0.0);
  std::vector<long> marked(ns, 0);
  for (long k = 0; k < n; ++k)
    if (atom[k].ignored) {
      sum[species_of[k]] += atom[k].occ;
      ++marked[species_of[k]];
    }
  // Species with the smaller totals draw first (exchange sort, equal totals
  // swapped as well).
  std::vector<int> order(ns);
  for (int s = 0; s < ns; ++s) order[s] = s;
  for (int s = 0; s < ns; ++s)
    for (int t = s + 1; t < ns; ++t)
      if (sum[order[s]] >= sum[order[t]]) std::swap(order[s], order[t]);

  // Puts a whole atom on site k and empties every other mixed-site atom
  // that shares its position.  A site split over positions up to 0.5 A
  // apart is one site too: two whole atoms that close cannot both be there
  // (the reader refuses such a pair), so the wider radius empties them.
  auto occupy = [&](long k) {
    atom[k].occ = 1.0;
    atom[k].ignored = false;
    for (long j = 0; j < n; ++j)
      if (atom[j].ignored &&
          velmora_cell_min_distance_btw_atoms(work.get(), &atom[k], &atom[j]) <
              VELMORA_CELL_MIN_DISTANCE) {
        atom[j].ignored = false;
        atom[j].occ = 0.0;
      }
  };
  // Each species receives as many whole sites as its total occupancy on
  // the mixed sites holds; a chosen site is emptied of everything else.
  for (int s : order) {
    const double allowance = rounding_allowance(marked[s]);
    while (sum[s] + allowance >= 1.0) {
      const long k = draw_weighted(atom, members[s], sum[s]);
      if (k < 0) break;  // the sites are used up (over-occupied input)
      occupy(k);
      sum[s] -= 1.0;
    }
  }
  // What is left are fractions of an atom per species (a site shared half
  // by Li and half by Cu in a cell holding one such site leaves 0.5 each).
  // Together they still fill whole sites: each such site goes to one
  // species drawn by its remaining share, so that the shared sites keep
  // their atoms (the count of each species is then off by less than one).
  for (;;) {
    double left = 0.0;
    long open = 0;
    for (int s = 0; s < ns; ++s)
      if (sum[s] > 0.0) left += sum[s];
    for (long k = 0; k < n; ++k)
      if (atom[k].ignored && atom[k].occ > 0.0) ++open;
    if (open == 0 || left + rounding_allowance(open) < 1.0) break;
    const double u = velmora_random() * left;
    int pick = -1;
    double c = 0.0;
    for (int s : order) {
      if (!(sum[s] > 0.0)) continue;
      bool has_site = false;
      for (long k : members[s]) has_site |= atom[k].ignored && atom[k].occ > 0.0;
      if (!has_site) continue;
      pick = s;
      c += sum[s];
      if (c >= u) break;
    }
    if (pick < 0) break;
    const long k = draw_weighted(atom, members[pick], sum[pick]);
    if (k < 0) break;
    occupy(k);
    sum[pick] -= 1.0;
  }
  return copy_unmarked(work.get(), 0.01);
}

std::unique_ptr<VELMORA_CELL> velmora_cell_assign_partial_occ(VELMORA_CELL* cell,
                                                              const char* type, int os) {
  if (!cell || cell->atom.empty() || !type) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return nullptr;
  }
  clear_marks(cell);
  std::vector<VELMORA_ATOM>& atom = cell->atom;
  std::vector<long> members;
  double sum = 0.0;
  for (long k = 0; k < static_cast<long>(atom.size()); ++k)
    if (is_species(atom[k], type, os) && atom[k].occ < 1.0) {
      atom[k].ignored = true;
      members.push_back(k);
      sum += atom[k].occ;
    }
  // The integer part of the total becomes that many fully occupied atoms.
  const double allowance = rounding_allowance(static_cast<long>(members.size()));
  while (sum + allowance >= 1.0) {
    const long k = draw_weighted(atom, members, sum);
    if (k < 0) break;
    atom[k].ignored = false;
    sum -= 1.0;
  }
  std::unique_ptr<VELMORA_CELL> out = copy_unmarked(cell, -1.0);
  clear_marks(cell);
  if (!out) return nullptr;
  for (VELMORA_ATOM& a : out->atom)
    if (is_species(a, type, os) && a.occ < 1.0) a.occ = 1.0;
  return out;
}

std::unique_ptr<VELMORA_CELL> velmora_cell_assign_partial_occ_all(VELMORA_CELL* cell) {
  if (!velmora_cell_ready(cell)) return nullptr;
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_new(velmora_cell_count_type_os(cell));
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_new() returns NULL.\n");
    return nullptr;
  }
  if (velmora_property_update_index_by_cell(ppt.get(), cell) != 0) {
    std::fprintf(stderr, "Error: velmora_property_update_index_by_cell() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CELL> out = velmora_cell_copy(cell);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
    return nullptr;
  }
  for (int s = 0; s < ppt->total; ++s) {
    const char* type = ppt->type[s].data();
    if (!velmora_cell_partial_occ_at_conducting_site(out.get(), type, ppt->os[s])) continue;
    out = velmora_cell_assign_partial_occ_at_conducting_site(out.get(), type, ppt->os[s]);
    if (!out) {
      std::fprintf(stderr,
                   "Error: velmora_cell_assign_partial_occ_at_conducting_site() returns NULL.\n");
      return nullptr;
    }
  }
  for (int s = 0; s < ppt->total; ++s) {
    out = velmora_cell_assign_partial_occ(out.get(), ppt->type[s].data(), ppt->os[s]);
    if (!out) {
      std::fprintf(stderr, "Error: velmora_cell_assign_partial_occ() returns NULL.\n");
      return nullptr;
    }
  }
  return out;
}

// ------------------------------------------------------------ CIF writer ----

std::unique_ptr<VELMORA_TEXT> velmora_cell_export_cif_to_text(VELMORA_CELL* cell,
                                                              const VELMORA_SYMMETRY* symmetry,
                                                              const char* dir_symcards) {
  std::unique_ptr<VELMORA_SYMMETRY> p1;
  if (!symmetry) {
    std::printf("Message: symmetry info missing. Using P1.\n");
    p1 = velmora_symmetry_new_p1();
    if (!p1) {
      std::fprintf(stderr, "Error: velmora_symmetry_new_p1() returns NULL.\n");
      return nullptr;
    }
    symmetry = p1.get();
  }
  // A group that matches no setting of the settings file has no symbol
  // that readers going by the symbol understand; the whole cell is then
  // written in P 1 so that every reader rebuilds the same crystal.
  std::string symbol = symmetry->sg_HM;
  int number = symmetry->sg_id;
  if (dir_symcards && !velmora_symmetry_cif_symbol(symbol, number, symmetry, dir_symcards) &&
      symmetry->total > 1) {
    std::printf("Message: no standard setting has these symmetry operations; writing P1.\n");
    p1 = velmora_symmetry_new_p1();
    if (!p1) {
      std::fprintf(stderr, "Error: velmora_symmetry_new_p1() returns NULL.\n");
      return nullptr;
    }
    symmetry = p1.get();
    symbol = symmetry->sg_HM;
    number = symmetry->sg_id;
  }
  std::unique_ptr<VELMORA_CELL> reduced = velmora_cell_reduce_by_symmetry(cell, symmetry);
  if (!reduced) {
    std::fprintf(stderr, "Error: velmora_cell_reduce_by_symmetry() returns NULL.\n");
    return nullptr;
  }
  velmora_atom_sort(reduced->atom);
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_text_new() returns NULL.\n");
    return nullptr;
  }
  VELMORA_TEXT* t = text.get();
  int failed = 0;
  failed |= velmora_text_append(t, "data_generated-by-velmora\r\n\n");
  failed |= velmora_text_append_format(t, "_chemical_name_systematic         '%s'\r\n", cell->name);
  failed |= velmora_text_append_format(t, "_cell_length_a                    %.3f\r\n",
                                       cell->parameter[0]);
  failed |= velmora_text_append_format(t, "_cell_length_b                    %.3f\r\n",
                                       cell->parameter[1]);
  failed |= velmora_text_append_format(t, "_cell_length_c                    %.3f\r\n",
                                       cell->parameter[2]);
  failed |= velmora_text_append_format(t, "_cell_angle_alpha                 %.3f\r\n",
                                       cell->angle[0]);
  failed |= velmora_text_append_format(t, "_cell_angle_beta                  %.3f\r\n",
                                       cell->angle[1]);
  failed |= velmora_text_append_format(t, "_cell_angle_gamma                 %.3f\r\n",
                                       cell->angle[2]);
  failed |= velmora_text_append_format(t, "_cell_volume                      %.3f\r\n",
                                       velmora_cell_calculate_volume(cell));
  failed |= velmora_text_append_format(t, "_cell_formula_units_Z             %d\r\n", cell->Z);
  failed |= velmora_text_append_format(t, "_symmetry_space_group_name_H-M    '%s'\r\n",
                                       symbol.c_str());
  failed |= velmora_text_append_format(t, "_symmetry_Int_Tables_number       %d\r\n", number);
  failed |= velmora_text_append(t, "\r\nloop_\r\n");
  failed |= velmora_text_append(t, "  _symmetry_equiv_pos_site_id\r\n");
  failed |= velmora_text_append(t, "  _symmetry_equiv_pos_as_xyz\r\n");
  for (int k = 0; k < symmetry->total && k < static_cast<int>(symmetry->card.size()); ++k)
    failed |= velmora_text_append_format(t, "  %3d    '%s'\r\n", k + 1, symmetry->card[k].text);
  failed |= velmora_text_append(t, "\r\nloop_\r\n");
  failed |= velmora_text_append(t, "  _atom_type_symbol\r\n");
  failed |= velmora_text_append(t, "  _atom_type_oxidation_number\r\n");
  const std::vector<VELMORA_ATOM>& atom = reduced->atom;
  for (std::size_t k = 0; k < atom.size(); ++k)
    if (k == 0 || !same_species(atom[k], atom[k - 1]))
      failed |= velmora_text_append_format(t, "  %s%d%c     %d\r\n", atom[k].type,
                                           std::abs(atom[k].os), atom[k].os < 0 ? '-' : '+',
                                           atom[k].os);
  failed |= velmora_text_append(t, "\r\nloop_\r\n");
  failed |= velmora_text_append(t, "  _atom_site_label\r\n");
  failed |= velmora_text_append(t, "  _atom_site_type_symbol\r\n");
  failed |= velmora_text_append(t, "  _atom_site_fract_x\r\n");
  failed |= velmora_text_append(t, "  _atom_site_fract_y\n");
  failed |= velmora_text_append(t, "  _atom_site_fract_z\r\n");
  failed |= velmora_text_append(t, "  _atom_site_occupancy\r\n");
  for (const VELMORA_ATOM& a : atom)
    failed |= velmora_text_append_format(
        t, "  %s  %s%d%c  %.3f  %.3f  %.3f  %.3f\r\n", cif_label(a.name).c_str(), a.type,
        std::abs(a.os), a.os < 0 ? '-' : '+', a.x_f[0], a.x_f[1], a.x_f[2], a.occ);
  failed |= velmora_text_append(t, "\r\n#end of data\r\n");
  if (failed) {
    std::fprintf(stderr, "Error: velmora_text_append() returns non-zero.\n");
    return nullptr;
  }
  return text;
}

int velmora_cell_export_cif_to_file(const char* path, VELMORA_CELL* cell,
                                    const VELMORA_SYMMETRY* symmetry, const char* dir_symcards) {
  std::unique_ptr<VELMORA_TEXT> text = velmora_cell_export_cif_to_text(cell, symmetry, dir_symcards);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_text() returns NULL.\n");
    return 1;
  }
  if (velmora_text_export_to_file(text.get(), path) != 0) {
    std::fprintf(stderr, "Error: velmora_text_export_to_file() returns non-zero.\n");
    return 1;
  }
  std::printf("Message: cif file saved to %s\n", path);
  return 0;
}

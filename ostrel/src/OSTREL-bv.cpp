// Bond-valence checks and supercells of the analyzer's structure model.  A
// bond of length d between a cation and an anion carries the valence
// s = exp((r0 - d)/b) (Brown's bond-valence model; r0, b and the cut-off per
// pair from database_binary.dat); a site's sum runs over shells of periodic
// images until no later shell can reach the cut-off.  The supercell draws the
// atoms of partially occupied places with the Mersenne Twister.
#include "OSTREL-bv.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "OSTREL-file.h"
#include "OSTREL-list.h"
#include "OSTREL-math.h"

namespace {

// Whitespace-separated words of a line.
std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isspace((unsigned char)line[i])) i++;
    size_t j = i;
    while (j < line.size() && !isspace((unsigned char)line[j])) j++;
    if (j > i)
      out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

bool read_int(const std::string& s, long* v) {
  char* end = nullptr;
  *v = strtol(s.c_str(), &end, 10);
  return end != s.c_str() && *end == '\0';
}

bool read_double(const std::string& s, double* v) {
  char* end = nullptr;
  *v = strtod(s.c_str(), &end);
  return end != s.c_str() && *end == '\0' && std::isfinite(*v);
}

// An oxidation state that is a whole number (as the data file lists them).
bool integer_state(double ox, long* n) {
  *n = lround(ox);
  return fabs(ox - (double)*n) < 1e-7;
}

// Position of the type with this flag in the type list, or -1.
int type_position(const OSTREL_cif* cif, int flag) {
  for (int t = 0; t < cif->type_no; t++)
    if (cif->type[t].flag == flag)
      return t;
  return -1;
}

// Species as printed everywhere (Li1+, O2-).
std::string species_text(const OSTREL_type& t) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s%g%c", t.label_element.c_str(), fabs(t.ox), t.ox < 0 ? '-' : '+');
  return buf;
}

// Two fractional coordinates name the same place of the lattice (within
// the 0.001 tolerance of the symmetry copies, across the cell boundary).
bool same_frac(double u, double v) {
  double d = fabs(u - v);
  d -= floor(d + 0.5);
  return fabs(d) < 0.001;
}

}  // namespace

// ===========================================================================
// Cell charge
// ===========================================================================

double OSTREL_calc_unit_cell_charge(OSTREL_cif* cif) {
  double q = 0;
  for (int s = 0; s < cif->site_no; s++)
    q += cif->site[s].mul * cif->site[s].occ * cif->site[s].ox;
  cif->unit_cell_charge = q;
  return q;
}

int OSTREL_print_unit_cell_charge(OSTREL_cif* cif) {
  if (!cif->site_charge_provided) {
    printf("Error: Unable to calculate total charge\n");
    return 1;
  }
  printf("Total charge per unit cell: %.3f\n", OSTREL_calc_unit_cell_charge(cif));
  return 0;
}

// ===========================================================================
// Pair parameters
// ===========================================================================

int OSTREL_init_bv_bin(OSTREL_bv_bin* bin, int size) { return OSTREL_alloc_bv_bin(bin, size); }

int OSTREL_alloc_bv_bin(OSTREL_bv_bin* bin, int size) {
  if (size < 0)
    return OSTREL_invalid_input("OSTREL_alloc_bv_bin");
  return OSTREL_catch_memory("OSTREL_alloc_bv_bin", [&] {
    bin->total = size;
    bin->item.assign((size_t)size * size, OSTREL_bv_bin_item());
    return 0;
  });
}

void OSTREL_free_bv_bin(OSTREL_bv_bin* bin) { *bin = OSTREL_bv_bin(); }

// The data lines of database_binary.dat (between DATA_START and DATA_END
// when the file marks them, else all of it): cation, state, anion, state,
// r0, b, cn and cut-off, further words ignored; the first line of a pair wins.
int OSTREL_read_pair_table(const char* path, OSTREL_pair_table* table) {
  OSTREL_file f = OSTREL_open_file(path, "rb");
  if (!f) {
    fprintf(stderr, "Error: Cannot load database_binary.dat!\n");
    return 1;
  }
  return OSTREL_catch_memory("OSTREL_read_pair_table", [&] {
    std::vector<std::string> lines;
    std::string cur;
    int ch;
    bool marked = false;
    while ((ch = fgetc(f.get())) != EOF) {
      if (ch == '\n') {
        marked = marked || cur.find("DATA_START") != std::string::npos;
        lines.push_back(cur);
        cur.clear();
      } else {
        cur.push_back((char)ch);
      }
    }
    if (!cur.empty())
      lines.push_back(cur);
    bool in_data = !marked;
    for (const std::string& line : lines) {
      if (marked && !in_data) {
        in_data = line.find("DATA_START") != std::string::npos;
        continue;
      }
      if (marked && line.find("DATA_END") != std::string::npos)
        break;
      std::vector<std::string> w = words_of(line);
      if (w.size() <= 7)
        continue;  // not a parameter line
      long ox1, ox2;
      OSTREL_pair_parameters p;
      if (!read_int(w[1], &ox1) || !read_int(w[3], &ox2) || !read_double(w[4], &p.r0) ||
          !read_double(w[5], &p.b) || !read_double(w[6], &p.cn) || !read_double(w[7], &p.cutoff))
        continue;
      table->emplace(OSTREL_pair_key(w[0], ox1, w[2], ox2), p);  // the first line wins
    }
    return 0;
  });
}

// Types that some site of the structure uses.
static std::vector<char> used_types(const OSTREL_cif* cif) {
  std::vector<char> used(cif->type_no, 0);
  for (int s = 0; s < cif->site_no; s++) {
    int t = type_position(cif, cif->site[s].type_flag);
    if (t >= 0)
      used[t] = 1;
  }
  return used;
}

int OSTREL_build_bv_bin_from_file(const char* path, const OSTREL_cif* cif, OSTREL_bv_bin* bin) {
  return OSTREL_catch_memory("OSTREL_build_bv_bin", [&] {
    OSTREL_pair_table table;
    if (OSTREL_read_pair_table(path, &table)) {
      fprintf(stderr, "Error: OSTREL_read_pair_table() returns non-zero.\n");
      return 1;
    }
    if (OSTREL_alloc_bv_bin(bin, cif->type_no))
      return 1;
    const std::vector<char> used = used_types(cif);
    for (int i = 0; i < cif->type_no; i++)
      for (int j = i + 1; j < cif->type_no; j++) {
        const OSTREL_type& ti = cif->type[i];
        const OSTREL_type& tj = cif->type[j];
        // Only a cation (positive state) and an anion (negative) bond.
        if (!(ti.ox * tj.ox < 0))
          continue;
        const OSTREL_type& cat = ti.ox > 0 ? ti : tj;
        const OSTREL_type& an = ti.ox > 0 ? tj : ti;
        long ocat, oan;
        auto hit = table.end();
        if (integer_state(cat.ox, &ocat) && integer_state(an.ox, &oan))
          hit = table.find(OSTREL_pair_key(cat.label_element, ocat, an.label_element, oan));
        if (hit != table.end()) {
          const OSTREL_pair_parameters& p = hit->second;
          if (!(p.b > 0) || !(p.cutoff > 0)) {
            fprintf(stderr, "Error: Invalid bond-valence parameters for %s - %s in %s\n",
                    species_text(cat).c_str(), species_text(an).c_str(), path);
            return 1;
          }
          OSTREL_bv_bin_item& it = bin->at(i, j);
          it.status = 1;
          it.r0 = p.r0;
          it.b = p.b;
          it.cutoff = p.cutoff;
          bin->at(j, i) = it;
        } else if (used[i] && used[j]) {
          printf("Warning: %s does not list the pair %s - %s; its bonds are left out of the "
                 "bond-valence sums\n",
                 path, species_text(cat).c_str(), species_text(an).c_str());
        }
      }
    return 0;
  });
}

int OSTREL_build_bv_bin(const OSTREL_cif* cif, OSTREL_bv_bin* bin) {
  const std::string path = OSTREL_find_data_file("database_binary.dat");
  if (path.empty()) {
    fprintf(stderr, "Error: Cannot load database_binary.dat!\n");
    return 1;
  }
  return OSTREL_build_bv_bin_from_file(path.c_str(), cif, bin);
}

// ===========================================================================
// Bond-valence sums and GII
// ===========================================================================

// Smallest distance between lattice planes of the cell (Å): an image whose
// cell offset is n along some axis lies at least (|n| - 1) times it away.
static double smallest_plane_spacing(const OSTREL_cif* cif) {
  const double d = 3.141592653589793 / 180;
  const double sa = sin(cif->alpha * d), sb = sin(cif->beta * d), sg = sin(cif->gamma * d);
  const double v = cif->volume > 0 ? cif->volume : cif->a * cif->b * cif->c;
  double h = v / (cif->b * cif->c * sa);
  h = std::min(h, v / (cif->a * cif->c * sb));
  return std::min(h, v / (cif->a * cif->b * sg));
}

// Sum of one site over the cell offsets whose largest |component| m is at
// most `last_shell`.  Every image with such an m lies more than m - 1 plane
// spacings away, so offsets beyond `last_shell` hold no bond.  (A shell
// without a bond does not end the walk: the bonds of a site near a face of
// a large cell can all lie one shell out.)
static double site_bv_sum(const OSTREL_cif* cif, const OSTREL_bv_bin* bin, const OSTREL_site& S,
                          int last_shell) {
  const int ts = type_position(cif, S.type_flag);
  if (ts < 0 || S.ox == 0)
    return 0.0;
  const double sign = S.ox > 0 ? 1.0 : -1.0;
  double sum = 0;
  for (int q = 0; q < cif->site_all_no; q++) {
    const OSTREL_site& C = cif->site_all[q];
    if (!(C.ox * S.ox < 0))
      continue;  // same sign, or no state
    const int tc = type_position(cif, C.type_flag);
    if (tc < 0 || !bin->at(ts, tc).status)
      continue;
    const OSTREL_bv_bin_item& p = bin->at(ts, tc);
    for (int a = -last_shell; a <= last_shell; a++)
      for (int b = -last_shell; b <= last_shell; b++)
        for (int c = -last_shell; c <= last_shell; c++) {
          double d = OSTREL_distance_frac_cif(cif, S.x, S.y, S.z, C.x + a, C.y + b, C.z + c);
          if (d < 0.3 || d > p.cutoff)
            continue;
          sum += sign * exp((p.r0 - d) / p.b) * C.occ;
        }
  }
  return sum;
}

int OSTREL_calc_bv_sum(OSTREL_cif* cif, const OSTREL_bv_bin* bin) {
  if (bin->total != cif->type_no)
    return OSTREL_invalid_input("OSTREL_calc_bv_sum");
  if (OSTREL_add_P1_to_cif(cif)) {
    fprintf(stderr, "Error: OSTREL_add_P1_to_cif() returns non-zero.\n");
    return 1;
  }
  double cut = 0;
  for (const OSTREL_bv_bin_item& p : bin->item)
    if (p.status) cut = std::max(cut, p.cutoff);
  // Shell m lies beyond m - 1 plane spacings: the last shell that can bond.
  const double h = smallest_plane_spacing(cif);
  const double shells = h > 0 ? floor(cut / h) + 1 : 1e9;
  if (shells > 30) {
    fprintf(stderr, "Error: The cell is too thin (%.4f A between lattice planes) for a %.2f A "
            "bond-valence cut-off\n", h, cut);
    return 1;
  }
  for (int s = 0; s < cif->site_no; s++)
    cif->site[s].bv_sum = site_bv_sum(cif, bin, cif->site[s], (int)shells);
  return 0;
}

// Parameters and sums of the structure; 1 on failure.
static int compute_sums(OSTREL_cif* cif) {
  OSTREL_bv_bin bin;
  if (OSTREL_build_bv_bin(cif, &bin)) {
    fprintf(stderr, "Error: OSTREL_build_bv_bin() returns non-zero.\n");
    return 1;
  }
  if (OSTREL_calc_bv_sum(cif, &bin)) {
    fprintf(stderr, "Error: OSTREL_calc_bv_sum() returns non-zero.\n");
    return 1;
  }
  return 0;
}

// Sites without an oxidation state have no bonds: say which.
static void warn_missing_states(const OSTREL_cif* cif) {
  if (cif->site_charge_provided)
    return;
  for (int s = 0; s < cif->site_no; s++)
    if (cif->site[s].ox == 0)
      printf("Warning: Site %s has no oxidation state; its bond-valence sum is 0\n",
             cif->site[s].label.c_str());
}

int OSTREL_print_bv_sum(OSTREL_cif* cif, FILE* stream) {
  if (compute_sums(cif))
    return 1;
  warn_missing_states(cif);
  fprintf(stream, "Printing bond valence sum for each site...\n");
  fprintf(stream, "> Label [X Y Z] : BV_sum\n");
  for (int s = 0; s < cif->site_no; s++) {
    const OSTREL_site& t = cif->site[s];
    fprintf(stream, "> %s [%.3f %.3f %.3f] : %.6f\n", t.label.c_str(), t.x, t.y, t.z, t.bv_sum);
  }
  fprintf(stream, "End of BV sum calculation.\n");
  fflush(stream);
  return 0;
}

double OSTREL_calc_GII(OSTREL_cif* cif) {
  // Without the state of every site the deviations mean nothing (a file
  // without states would score a perfect 0).
  if (!cif->site_charge_provided) {
    fprintf(stderr, "Error: The GII needs the oxidation state of every site; the CIF does not "
            "give them all\n");
    return -1;
  }
  if (compute_sums(cif))
    return -1;
  double num = 0, den = 0;
  for (int s = 0; s < cif->site_no; s++) {
    const OSTREL_site& t = cif->site[s];
    printf("%s : %f Ox %f Mul %d Occ %f\n", t.label.c_str(), t.bv_sum, t.ox, t.mul, t.occ);
    num += t.mul * t.occ * (t.ox - t.bv_sum) * (t.ox - t.bv_sum);
    den += t.mul * t.occ;
  }
  if (!(den > 0)) {
    fprintf(stderr, "Error: The structure has no occupied site\n");
    return -1;
  }
  return sqrt(num / den);
}

int OSTREL_print_GII(OSTREL_cif* cif, FILE* stream) {
  const double gii = OSTREL_calc_GII(cif);
  if (fabs(gii + 1) < 1e-7) {
    fprintf(stream, "Error: Unable to calculate GII\n");
    fflush(stream);
    return 1;
  }
  fprintf(stream, "Global instability index: %.6f\n", gii);
  fflush(stream);
  return 0;
}

// ===========================================================================
// Substitution checks
// ===========================================================================

// Two sites on one place: same multiplicity and Wyckoff letter, and within
// 0.5 Å along each axis.
static bool substituted(const OSTREL_cif* cif, const OSTREL_site& p, const OSTREL_site& q) {
  return p.mul == q.mul && p.Wyckoff == q.Wyckoff && fabs(p.x - q.x) * cif->a < 0.5 &&
         fabs(p.y - q.y) * cif->b < 0.5 && fabs(p.z - q.z) * cif->c < 0.5;
}

static void print_substitution(const OSTREL_cif* cif, bool found, FILE* stream) {
  fprintf(stream, found ? "ICSD: %s Yes, substituted\n" : "ICSD: %s Not substituted\n",
          cif->ICSD.c_str());
  fflush(stream);
}

void OSTREL_check_ion_sub(const OSTREL_cif* cif, FILE* stream) {
  const std::string probe = cif->probe_type.substr(0, 10);
  bool found = false;
  for (int i = 0; i < cif->site_no && !found; i++) {
    if (cif->site[i].type.substr(0, 10) != probe)
      continue;
    for (int j = 0; j < cif->site_no && !found; j++)
      found = j != i && substituted(cif, cif->site[i], cif->site[j]);
  }
  print_substitution(cif, found, stream);
}

void OSTREL_check_ions_sub(const OSTREL_cif* cif, FILE* stream) {
  bool found = false;
  for (int i = 0; i < cif->site_no && !found; i++)
    for (int j = i + 1; j < cif->site_no && !found; j++)
      found = substituted(cif, cif->site[i], cif->site[j]);
  print_substitution(cif, found, stream);
}

// ===========================================================================
// Supercell
// ===========================================================================

std::string OSTREL_get_element_symbol(const std::string& text) {
  size_t n = 0;
  while (n < text.size() && isalpha((unsigned char)text[n])) n++;
  return text.substr(0, n);
}

// The type of an element in an integer state, added when the structure has
// none; returns its position or -1.
static int type_for_state(OSTREL_cif* cif, const std::string& element, long state, int at) {
  char label[64];
  snprintf(label, sizeof label, "%s%ld%c", element.c_str(), labs(state), state < 0 ? '-' : '+');
  for (int t = 0; t < cif->type_no; t++)
    if (cif->type[t].label == label)
      return t;
  OSTREL_type t;
  t.label = label;
  t.label_element = element;
  t.ox = (double)state;
  t.flag = cif->type_flag_counter++;
  if (OSTREL_ins_cif_type(cif, at, t))
    return -1;
  return at;
}

int OSTREL_convert_frac_ox(OSTREL_cif* cif) {
  for (int s = 0; s < cif->site_no; s++) {
    const OSTREL_site src = cif->site[s];
    long whole;
    if (integer_state(src.ox, &whole))
      continue;
    const long low = (long)floor(src.ox), high = low + 1;
    const int old_type = type_position(cif, src.type_flag);
    const std::string element = old_type >= 0 ? cif->type[old_type].label_element
                                              : OSTREL_get_element_symbol(src.type);
    const int at = old_type >= 0 ? old_type : cif->type_no;
    const int tl = type_for_state(cif, element, low, at);
    if (tl < 0)
      return 1;
    const int th = type_for_state(cif, element, high, tl + 1 <= cif->type_no ? tl + 1 : cif->type_no);
    if (th < 0)
      return 1;
    OSTREL_site lo = src, hi = src;
    lo.ox = (double)low;
    hi.ox = (double)high;
    lo.type = cif->type[tl].label;
    hi.type = cif->type[th].label;
    lo.type_flag = cif->type[tl].flag;
    hi.type_flag = cif->type[th].flag;
    lo.occ = src.occ * ((double)high - src.ox);  // high - low = 1
    hi.occ = src.occ - lo.occ;
    if (OSTREL_remove_cif_site(cif, s) || OSTREL_ins_cif_site(cif, s, lo) ||
        OSTREL_ins_cif_site(cif, s + 1, hi))
      return 1;
    s++;
    // The fractional type goes when no site uses it any more.
    const int ot = type_position(cif, src.type_flag);
    bool in_use = false;
    for (int q = 0; q < cif->site_no && !in_use; q++)
      in_use = cif->site[q].type_flag == src.type_flag;
    if (ot >= 0 && !in_use && OSTREL_remove_cif_type(cif, ot))
      return 1;
  }
  return 0;
}

namespace {

// Sites that share one place (the same position up to symmetry), with the
// number of copies that place has in the supercell.
struct Place {
  std::vector<int> sites;
  long long capacity = 0;
};

int group_places(const OSTREL_cif* cif, int cells, std::vector<Place>* places,
                 std::vector<int>* place_of) {
  place_of->assign(cif->site_no, -1);
  for (int s = 0; s < cif->site_no; s++) {
    if ((*place_of)[s] >= 0)
      continue;
    OSTREL_equiv_pos pos;
    const OSTREL_site& S = cif->site[s];
    if (OSTREL_symmetry_generate_equivalent_copies(cif, &pos, S.x, S.y, S.z))
      return 1;
    Place p;
    p.capacity = (long long)cells * pos.total_copies;
    for (int q = s; q < cif->site_no; q++) {
      if ((*place_of)[q] >= 0)
        continue;
      const OSTREL_site& Q = cif->site[q];
      for (const OSTREL_equiv_pos_frac_coor& c : pos.copy)
        if (same_frac(c.a, Q.x) && same_frac(c.b, Q.y) && same_frac(c.c, Q.z)) {
          (*place_of)[q] = (int)places->size();
          p.sites.push_back(q);
          break;
        }
    }
    places->push_back(p);
  }
  return 0;
}

// Change of the misfit |occ - count/copies| when a site's count moves.
double misfit_increase(const OSTREL_site& s, double copies, int from, int to) {
  return fabs(s.occ - to / copies) - fabs(s.occ - from / copies);
}

}  // namespace

int OSTREL_get_integer_occ(const OSTREL_cif* cif, std::vector<int>* counts, int cells) {
  std::vector<Place> places;
  std::vector<int> place_of;
  if (group_places(cif, cells, &places, &place_of))
    return 1;
  const int n = cif->site_no;
  std::vector<int>& cnt = *counts;
  cnt.assign(n, 0);
  std::vector<double> want(n);
  std::vector<long> ox(n);
  for (int s = 0; s < n; s++) {
    const OSTREL_site& S = cif->site[s];
    want[s] = (double)cells * S.occ * S.mul;
    // Nearest integer, an exact half down (2.5 -> 2, 2.51 -> 3).
    cnt[s] = (int)ceil(want[s] - 0.5 - 1e-9);
    if (cnt[s] < 0) cnt[s] = 0;
    integer_state(S.ox, &ox[s]);
  }
  // A place holds at most its copies: rounding three sites of 0.334, 0.333
  // and 0.334 up can ask for one atom more than there are copies.  Take it
  // from the site rounded up the most.
  std::vector<long long> filled(places.size(), 0);
  for (size_t p = 0; p < places.size(); p++) {
    for (int s : places[p].sites) filled[p] += cnt[s];
    while (filled[p] > places[p].capacity) {
      int worst = -1;
      for (int s : places[p].sites)
        if (cnt[s] > 0 && (worst < 0 || cnt[s] - want[s] > cnt[worst] - want[worst])) worst = s;
      cnt[worst]--;
      filled[p]--;
    }
  }
  long long excess = 0;
  for (int s = 0; s < n; s++) excess += (long long)cnt[s] * ox[s];
  if (excess == 0)
    return 0;
  // Neutralise by moving one partially occupied site by j, or two by k and
  // m (|j|, |k|, |m| <= 2), within the copies of their places; the change
  // that moves the counts least away from the occupancies wins.
  const int steps[4] = {-2, -1, 1, 2};
  auto copies = [&](int s) { return (double)cells * cif->site[s].mul; };
  auto fits = [&](int s, int ds, int t, int dt) {
    if (cnt[s] + ds < 0 || (t >= 0 && cnt[t] + dt < 0))
      return false;
    const int ps = place_of[s];
    long long fs = filled[ps] + ds + (t >= 0 && place_of[t] == ps ? dt : 0);
    if (fs > places[ps].capacity)
      return false;
    if (t >= 0 && place_of[t] != ps && filled[place_of[t]] + dt > places[place_of[t]].capacity)
      return false;
    return true;
  };
  double best = 1e300;
  int bs = -1, bt = -1, bds = 0, bdt = 0;
  for (int s = 0; s < n; s++) {
    if (!(cif->site[s].occ < 1.0 - 1e-7))
      continue;
    for (int ds : steps) {
      if ((long long)ox[s] * ds != -excess || !fits(s, ds, -1, 0))
        continue;
      double pen = misfit_increase(cif->site[s], copies(s), cnt[s], cnt[s] + ds);
      if (pen < best - 1e-12) {
        best = pen;
        bs = s, bt = -1, bds = ds, bdt = 0;
      }
    }
  }
  for (int s = 0; s < n; s++) {
    if (!(cif->site[s].occ < 1.0 - 1e-7))
      continue;
    for (int t = s + 1; t < n; t++) {
      if (!(cif->site[t].occ < 1.0 - 1e-7))
        continue;
      for (int ds : steps)
        for (int dt : steps) {
          if ((long long)ox[s] * ds + (long long)ox[t] * dt != -excess || !fits(s, ds, t, dt))
            continue;
          double pen = misfit_increase(cif->site[s], copies(s), cnt[s], cnt[s] + ds) +
                       misfit_increase(cif->site[t], copies(t), cnt[t], cnt[t] + dt);
          if (pen < best - 1e-12) {
            best = pen;
            bs = s, bt = t, bds = ds, bdt = dt;
          }
        }
    }
  }
  if (bs < 0) {
    fprintf(stderr, "Error: Unable to make supercell total charge zero\n");
    return 1;
  }
  cnt[bs] += bds;
  if (bt >= 0) cnt[bt] += bdt;
  return 0;
}

int OSTREL_symmetry_generate_equivalent_copies_in_supercell(const OSTREL_cif* cif,
                                                            OSTREL_equiv_pos* out, int na,
                                                            int nb, int nc, double x, double y,
                                                            double z) {
  OSTREL_equiv_pos pos;
  if (OSTREL_symmetry_generate_equivalent_copies(cif, &pos, x, y, z))
    return 1;
  return OSTREL_catch_memory("OSTREL_symmetry_generate_equivalent_copies_in_supercell", [&] {
    OSTREL_free_equiv_pos(out);
    out->copy.reserve((size_t)pos.total_copies * na * nb * nc);
    for (const OSTREL_equiv_pos_frac_coor& c : pos.copy)
      for (int l = 0; l < na; l++)
        for (int m = 0; m < nb; m++)
          for (int n = 0; n < nc; n++)
            out->copy.push_back(
                OSTREL_equiv_pos_frac_coor{(c.a + l) / na, (c.b + m) / nb, (c.c + n) / nc});
    out->total_copies = (int)out->copy.size();
    return 0;
  });
}

// A uniform integer in [0, n): rejection keeps every value equally likely
// (a scaled real in [0, 1] would reach n itself).
static int uniform_index(int n) {
  const unsigned long range = 4294967296UL / (unsigned long)n * (unsigned long)n;
  unsigned long r;
  do r = genrand_int32();
  while (r >= range);
  return (int)(r % (unsigned long)n);
}

// Picks `count` of the free copies of a place, each free copy equally
// likely, and marks them taken.
static std::vector<int> draw_copies(std::vector<char>* taken, int count) {
  std::vector<int> free_copies;
  for (int q = 0; q < (int)taken->size(); q++)
    if (!(*taken)[q]) free_copies.push_back(q);
  std::vector<int> picked;
  for (int k = 0; k < count; k++) {
    const int r = uniform_index((int)free_copies.size() - k);
    picked.push_back(free_copies[r]);
    (*taken)[free_copies[r]] = 1;
    std::swap(free_copies[r], free_copies[free_copies.size() - 1 - k]);
  }
  return picked;
}

int OSTREL_build_supercell(const OSTREL_cif* cif, OSTREL_cif* out, int na, int nb, int nc) {
  if (na < 1 || nb < 1 || nc < 1) {
    fprintf(stderr, "Error: Invalid supercell dimension\n");
    return 1;
  }
  long long positions = 0;
  for (int s = 0; s < cif->site_no; s++) positions += cif->site[s].mul;
  const int most = OSTREL_MAX_SUPERCELL_DIMENSION;
  if (na > most || nb > most || nc > most ||
      positions * na * nb * nc > OSTREL_MAX_SUPERCELL_POSITIONS) {
    fprintf(stderr, "Error: Supercell %d x %d x %d is too large (at most %d along each axis and "
            "%lld positions)\n", na, nb, nc, most, OSTREL_MAX_SUPERCELL_POSITIONS);
    return 1;
  }
  OSTREL_cif work;
  if (OSTREL_copy_cif(cif, &work))
    return 1;
  if (fabs(OSTREL_calc_unit_cell_charge(&work)) > 0.01) {
    fprintf(stderr, "Error: Cannot build supercell when unit cell has non-zero charge\n");
    return 1;
  }
  if (OSTREL_convert_frac_ox(&work)) {
    fprintf(stderr, "Error: OSTREL_convert_frac_ox() returns non-zero.\n");
    return 1;
  }
  init_genrand((unsigned long)time(nullptr));
  const int cells = na * nb * nc;
  std::vector<int> counts;
  if (OSTREL_get_integer_occ(&work, &counts, cells)) {
    fprintf(stderr, "Error: OSTREL_get_integer_occ() returns non-zero.\n");
    return 1;
  }
  std::vector<Place> places;
  std::vector<int> place_of;
  if (group_places(&work, cells, &places, &place_of))
    return 1;
  return OSTREL_catch_memory("OSTREL_build_supercell", [&] {
    OSTREL_cif& o = *out;
    if (OSTREL_copy_cif(&work, &o))
      return 1;
    o.site.clear();
    o.site_no = o.site_no_cap = 0;
    for (const Place& p : places) {
      // Every site of a place draws from the copies of its first site.
      const OSTREL_site& first = work.site[p.sites[0]];
      OSTREL_equiv_pos copies;
      if (OSTREL_symmetry_generate_equivalent_copies_in_supercell(&work, &copies, na, nb, nc,
                                                                  first.x, first.y, first.z))
        return 1;
      std::vector<char> taken(copies.total_copies, 0);
      int free_left = copies.total_copies;
      for (int s : p.sites) {
        if (counts[s] > free_left) {
          fprintf(stderr, "Error: Fatal error in OSTREL_build_supercell()\n");
          return 1;
        }
        const OSTREL_site& S = work.site[s];
        for (int q : draw_copies(&taken, counts[s])) {
          OSTREL_site t = S;
          t.x = copies.copy[q].a;
          t.y = copies.copy[q].b;
          t.z = copies.copy[q].c;
          t.mul = 1;
          t.Wyckoff = 'a';
          t.occ = 1.0;
          if (OSTREL_ins_cif_site(&o, o.site_no, t))
            return 1;
        }
        free_left -= counts[s];
      }
    }
    o.symop.assign(1, "x,y,z");
    o.symop_no = 1;
    o.int_tab_cryst_no = 1;
    o.spacegroup_HM = "P 1";
    o.a *= na;
    o.b *= nb;
    o.c *= nc;
    o.volume *= cells;
    o.z *= cells;
    OSTREL_calc_cif_metric(&o);
    return 0;
  });
}

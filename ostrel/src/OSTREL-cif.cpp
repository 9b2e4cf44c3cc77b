// The analyzer's structure model: CIF reading (each line normalised, then
// tags and loops recognised by prefix), completion from the space-group data
// file, symmetry copies by evaluating operation components as expressions,
// P1 expansion and the CIF writer.
#include "OSTREL-cif.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "OSTREL-file.h"

namespace {

constexpr double PI = 3.141592653589793;

// Splits a file's text the way fgets with a 200-byte buffer reads it:
// pieces of at most 199 characters, each ending after a line feed or at the
// piece limit.  A NUL byte ends the text of its piece.
void split_pieces(const std::string& text, std::vector<std::string>* lines) {
  lines->clear();
  std::string cur;
  bool nul = false;
  size_t taken = 0;
  for (char ch : text) {
    taken++;
    if (ch == 0)
      nul = true;
    else if (!nul)
      cur.push_back(ch);
    if (ch == '\n' || taken == 199) {
      lines->push_back(cur);
      cur.clear();
      taken = 0;
      nul = false;
    }
  }
  if (taken > 0)
    lines->push_back(cur);
}

// Reads a file (a regular file of at most OSTREL_MAX_CIF_BYTES) in one pass
// and splits it into pieces; false with the message printed when refused.
bool read_pieces(const char* filename, std::vector<std::string>* lines) {
  std::string text;
  if (OSTREL_read_input(filename, "CIF", OSTREL_MAX_CIF_BYTES, &text))
    return false;
  split_pieces(text, lines);
  return true;
}

// The same for a data file, whose absence is no error: false, silently.
bool read_data_pieces(const char* filename, std::vector<std::string>* lines) {
  OSTREL_file f = OSTREL_open_file(filename, "rb");
  if (!f)
    return false;
  std::string text;
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0 &&
         (long long)text.size() <= OSTREL_MAX_CIF_BYTES)
    text.append(buf, n);
  split_pieces(text, lines);
  return true;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// Tokens of a normalised line (single spaces between them).
std::vector<std::string> split_tokens(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') i++;
    size_t j = i;
    while (j < s.size() && s[j] != ' ') j++;
    if (j > i)
      out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

std::vector<std::string> split_char(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t p = s.find(sep, start);
    if (p == std::string::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, p - start));
    start = p + 1;
  }
}

std::string second_token(const std::string& line) {
  std::vector<std::string> t = split_tokens(line);
  return t.size() > 1 ? t[1] : std::string();
}

// The rest of a line after a tag and one space.
std::string rest_after(const std::string& line, const char* tag) {
  size_t n = strlen(tag) + 1;
  return line.size() > n ? line.substr(n) : std::string();
}

// CIF marks unknown and inapplicable values with ? and .; such a token keeps
// the default of its column.
bool is_cif_null(const std::string& tok) { return tok == "?" || tok == "."; }

}  // namespace

// ===========================================================================
// Data files
// ===========================================================================

std::string OSTREL_find_data_file(const char* name) {
  std::string local = std::string("bin/") + name;
  if (access(local.c_str(), R_OK) == 0)
    return local;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n > 0) {
    exe[n] = 0;
    std::string dir(exe);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos) {
      std::string beside = dir.substr(0, slash + 1) + name;
      if (access(beside.c_str(), R_OK) == 0)
        return beside;
    }
  }
#ifdef OSTREL_INSTALL_DATA_DIR
  std::string installed = std::string(OSTREL_INSTALL_DATA_DIR) + name;
  if (access(installed.c_str(), R_OK) == 0)
    return installed;
#endif
  return std::string();
}

// ===========================================================================
// Model records
// ===========================================================================

int OSTREL_init_cif(OSTREL_cif* cif) {
  return OSTREL_catch_memory(nullptr, [&] {
    *cif = OSTREL_cif();
    cif->symop.assign(1, "x,y,z");
    cif->symop_no = 1;
    return 0;
  });
}

void OSTREL_free_cif(OSTREL_cif* cif) { *cif = OSTREL_cif(); }

int OSTREL_copy_cif(const OSTREL_cif* src, OSTREL_cif* dst) {
  if (src == dst)
    return 0;
  return OSTREL_catch_memory(nullptr, [&] {
    *dst = *src;
    dst->site_all.clear();
    dst->site_all_no = 0;
    return 0;
  });
}

static OSTREL_list<OSTREL_type> type_list(OSTREL_cif* cif) {
  return OSTREL_list_of(cif->type, cif->type_no, &cif->type_no_cap);
}

static OSTREL_list<OSTREL_site> site_list(OSTREL_cif* cif) {
  return OSTREL_list_of(cif->site, cif->site_no, &cif->site_no_cap);
}

int OSTREL_add_cif_type(OSTREL_cif* cif, const char* label, int* counter, double ox) {
  OSTREL_type t;
  t.label = label;
  t.ox = ox;
  t.flag = *counter;
  size_t n = 0;
  while (n < t.label.size() && isalpha((unsigned char)t.label[n])) n++;
  t.label_element = t.label.substr(0, n);
  if (OSTREL_list_report(OSTREL_list_append(type_list(cif), std::move(t)), nullptr, nullptr))
    return 1;
  (*counter)++;
  return 0;
}

int OSTREL_ins_cif_type(OSTREL_cif* cif, int index, const OSTREL_type& t) {
  return OSTREL_list_report(OSTREL_list_insert(type_list(cif), index, t), "OSTREL_ins_cif_type",
                            nullptr);
}

int OSTREL_remove_cif_type(OSTREL_cif* cif, int index) {
  return OSTREL_list_report(OSTREL_list_erase(type_list(cif), index), "OSTREL_remove_cif_type");
}

int OSTREL_add_cif_site(OSTREL_cif* cif, const char* label, const char* type, int mul,
                        char Wyckoff, double x, double y, double z, double occ, double ox) {
  OSTREL_site s;
  s.label = label;
  s.type = type;
  s.mul = mul;
  s.Wyckoff = Wyckoff;
  s.x = x;
  s.y = y;
  s.z = z;
  s.occ = occ;
  s.ox = ox;
  return OSTREL_ins_cif_site(cif, cif->site_no, s);
}

int OSTREL_ins_cif_site(OSTREL_cif* cif, int index, const OSTREL_site& s) {
  OSTREL_site t = s;
  // Negative fractional coordinates are stored one cell up.
  if (t.x < 0) t.x += 1.0;
  if (t.y < 0) t.y += 1.0;
  if (t.z < 0) t.z += 1.0;
  return OSTREL_list_report(OSTREL_list_insert(site_list(cif), index, std::move(t)),
                            "OSTREL_ins_cif_site", nullptr);
}

int OSTREL_remove_cif_site(OSTREL_cif* cif, int index) {
  return OSTREL_list_report(OSTREL_list_erase(site_list(cif), index), "OSTREL_remove_cif_site");
}

int OSTREL_remove_all_cif_site_by_type(OSTREL_cif* cif, const char* type) {
  OSTREL_list_remove_if(site_list(cif), [&](const OSTREL_site& s, int) { return s.type == type; });
  return 0;
}

int OSTREL_add_cif_symop(OSTREL_cif* cif, const char* op) {
  return OSTREL_list_report(
      OSTREL_list_append(OSTREL_list_of(cif->symop, cif->symop_no), std::string(op)), nullptr,
      nullptr);
}

// ===========================================================================
// Reading
// ===========================================================================

void OSTREL_trim_cif_buffer(std::string* line) {
  std::string& s = *line;
  size_t cut = s.find_first_of("\r\n");
  if (cut != std::string::npos)
    s.erase(cut);
  for (char& c : s)
    if (c == '\t') c = ' ';
  size_t lead = 0;
  while (lead < s.size() && s[lead] == ' ') lead++;
  s.erase(0, lead);
  std::string collapsed;
  collapsed.reserve(s.size());
  for (char c : s)
    if (!(c == ' ' && !collapsed.empty() && collapsed.back() == ' '))
      collapsed.push_back(c);
  s.swap(collapsed);
  if (!s.empty() && s.back() == ' ')
    s.pop_back();
  if (starts_with(s, "_symmetry_space_group_name_H-M") || starts_with(s, "_space_group_name_H-M_alt"))
    return;
  size_t q1 = s.find('\''), q2 = s.rfind('\'');
  if (q1 != std::string::npos && q2 > q1) {
    std::string out = s.substr(0, q1);
    for (size_t i = q1; i <= q2; i++)
      if (s[i] != ' ') out.push_back(s[i]);
    out += s.substr(q2 + 1);
    s.swap(out);
  }
  std::string noquote;
  for (char c : s)
    if (c != '\'') noquote.push_back(c);
  s.swap(noquote);
}

// A formula tag: its value on the same line or in a ";" text block of at most
// eight content lines.  Returns 1 on an unterminated block.
static int read_formula(const std::vector<std::string>& lines, size_t i, const char* tag,
                        std::string* field) {
  if (i + 1 < lines.size() && starts_with(lines[i + 1], ";")) {
    size_t open = i + 1, close = 0;
    for (size_t k = open + 2; k <= open + OSTREL_CIF_MAX_MULTIPLE_LINES - 1 && k < lines.size();
         k++)
      if (starts_with(lines[k], ";")) {
        close = k;
        break;
      }
    if (close == 0) {
      fprintf(stderr, "Error: OSTREL_CIF_MAX_MULTIPLE_LINES exceeded\n");
      return 1;
    }
    std::string joined;
    for (size_t k = open + 1; k < close; k++)
      joined += lines[k];
    *field = joined.substr(0, 199);
  } else {
    *field = rest_after(lines[i], tag).substr(0, 199);
  }
  return 0;
}

// The operation loop starting after "loop_" at line i; returns the index of
// the first line after the loop.
static size_t read_symop_loop(const std::vector<std::string>& lines, size_t i, OSTREL_cif* cif) {
  const std::string& name = lines[i + 1];
  bool id_column =
      starts_with(name, "_symmetry_equiv_pos_site_id") || starts_with(name, "_space_group_symop_id");
  size_t k = i + 2;
  if (k < lines.size() && (starts_with(lines[k], "_symmetry_equiv_pos") ||
                           starts_with(lines[k], "_space_group_symop_operation_xyz")))
    k++;
  std::vector<std::string> ops;
  for (; k < lines.size(); k++) {
    std::string op;
    if (id_column) {
      std::vector<std::string> t = split_tokens(lines[k]);
      if (t.size() < 2)
        break;
      op = t[1];
    } else {
      op = lines[k];
    }
    if (split_char(op, ',').size() != 3)
      break;
    ops.push_back(op);
  }
  cif->symop = ops;
  cif->symop_no = (int)ops.size();
  return k;
}

static int read_type_loop(const std::vector<std::string>& lines, size_t i, OSTREL_cif* cif,
                          size_t* next) {
  *next = i + 1;
  if (lines[i + 1] != "_atom_type_symbol")
    return 0;
  size_t k = i + 3;
  int found = 0;
  for (; k < lines.size(); k++) {
    std::vector<std::string> t = split_tokens(lines[k]);
    if (t.size() != 2)
      break;
    if (OSTREL_add_cif_type(cif, t[0].c_str(), &cif->type_flag_counter, atof(t[1].c_str())))
      return 1;
    found++;
  }
  if (found == 0) {
    fprintf(stderr, "Error: Atom type is expected but not found!\n");
    return 1;
  }
  *next = k;
  return 0;
}

static int read_site_loop(const std::vector<std::string>& lines, size_t i, OSTREL_cif* cif,
                          size_t* next) {
  int col_label = -1, col_type = -1, col_mul = -1, col_wyck = -1, col_x = -1, col_y = -1,
      col_z = -1, col_occ = -1;
  size_t k = i + 1;
  int names = 0;
  for (; k < lines.size() && starts_with(lines[k], "_atom_site_"); k++, names++) {
    const std::string& n = lines[k];
    if (n == "_atom_site_label") col_label = names;
    else if (n == "_atom_site_type_symbol") col_type = names;
    else if (n == "_atom_site_symmetry_multiplicity" || n == "_atom_site_site_symmetry_multiplicity")
      col_mul = names;
    else if (n == "_atom_site_Wyckoff_symbol") col_wyck = names;
    else if (n == "_atom_site_fract_x") col_x = names;
    else if (n == "_atom_site_fract_y") col_y = names;
    else if (n == "_atom_site_fract_z") col_z = names;
    else if (n == "_atom_site_occupancy") col_occ = names;
  }
  // A loop of other per-site data (such as _atom_site_displace_Fourier_* of
  // a modulated structure) names none of the site columns: not a site loop.
  if (col_label < 0 && col_type < 0 && col_mul < 0 && col_wyck < 0 && col_x < 0 && col_y < 0 &&
      col_z < 0 && col_occ < 0) {
    *next = k;
    return 0;
  }
  if (col_x < 0 || col_y < 0 || col_z < 0) {
    fprintf(stderr, "Error: Missing _atom_site_fract entries\n");
    return 1;
  }
  int found = 0;
  for (; k < lines.size(); k++) {
    std::vector<std::string> t = split_tokens(lines[k]);
    if ((int)t.size() != names)
      break;
    std::string label = ".", type = ".";
    int mul = 0;
    char wyck = '.';
    double x = 0, y = 0, z = 0, occ = 1.0;
    if (col_label >= 0) label = t[col_label];
    if (col_type >= 0) type = t[col_type];
    if (col_mul >= 0 && !is_cif_null(t[col_mul])) mul = atoi(t[col_mul].c_str());
    if (col_wyck >= 0) wyck = t[col_wyck][0];
    if (!is_cif_null(t[col_x])) x = atof(t[col_x].c_str());
    if (!is_cif_null(t[col_y])) y = atof(t[col_y].c_str());
    if (!is_cif_null(t[col_z])) z = atof(t[col_z].c_str());
    if (col_occ >= 0 && !is_cif_null(t[col_occ])) occ = atof(t[col_occ].c_str());
    // Every listed site gives at least one atom of the full cell.
    if (cif->site_no >= OSTREL_MAX_CIF_ATOMS) {
      fprintf(stderr, "Error: The CIF lists more than the %d sites supported\n",
              OSTREL_MAX_CIF_ATOMS);
      return 1;
    }
    if (OSTREL_add_cif_site(cif, label.c_str(), type.c_str(), mul, wyck, x, y, z, occ, 0.0))
      return 1;
    found++;
  }
  if (found == 0) {
    fprintf(stderr, "Error: No site is found!\n");
    return 1;
  }
  *next = k;
  return 0;
}

int OSTREL_is_valid_lattice_parameters(OSTREL_cif* cif) {
  const double v[6] = {cif->a, cif->b, cif->c, cif->alpha, cif->beta, cif->gamma};
  for (double p : v)
    if (!std::isfinite(p) || p < 0 || fabs(p) < 1e-7) {
      fprintf(stderr, "Error: Invalid lattice parameters\n");
      return 1;
    }
  double ca = cos(cif->alpha * PI / 180), cb = cos(cif->beta * PI / 180),
         cg = cos(cif->gamma * PI / 180);
  double g = 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg;
  // Angles that close no cell (one at least the sum of the others, or 180).
  if (!(g > 1e-12) || cif->alpha >= 180 || cif->beta >= 180 || cif->gamma >= 180) {
    fprintf(stderr, "Error: Invalid lattice parameters\n");
    return 1;
  }
  if (fabs(cif->volume) < 1e-7 || !std::isfinite(cif->volume))
    cif->volume = cif->a * cif->b * cif->c * sqrt(g);
  return 0;
}

// The oxidation state written in a type symbol: Li1+, Fe3+, O2- and the
// spellings Li+1, O-2 common in CIF files.  The sign is that of a '-'
// anywhere after the element letters.
double OSTREL_guess_site_ox_from_type_symbol(const char* symbol, int* found) {
  const char* d = symbol;
  while (*d && !isdigit((unsigned char)*d)) d++;
  if (!*d) {
    *found = 0;
    return 0.0;
  }
  *found = 1;
  double v = atof(d);
  const char* after = symbol;
  while (*after && isalpha((unsigned char)*after)) after++;
  if (strchr(after, '-'))
    v = -v;
  return v;
}

int OSTREL_fill_ox_states_to_sites(OSTREL_cif* cif) {
  int all = 1;
  for (int s = 0; s < cif->site_no; s++) {
    OSTREL_site& site = cif->site[s];
    int t = 0;
    while (t < cif->type_no && cif->type[t].label != site.type) t++;
    if (t < cif->type_no) {
      site.ox = cif->type[t].ox;
      site.type_flag = cif->type[t].flag;
      continue;
    }
    int found = 0;
    double ox = OSTREL_guess_site_ox_from_type_symbol(site.type.c_str(), &found);
    if (!found) {
      all = 0;
      continue;
    }
    site.ox = ox;
    site.type_flag = cif->type_flag_counter;
    if (OSTREL_add_cif_type(cif, site.type.c_str(), &cif->type_flag_counter, ox))
      return 1;
  }
  cif->site_charge_provided = all;
  for (int t = 0; t < cif->type_no; t++) {
    OSTREL_type& ty = cif->type[t];
    size_t n = 0;
    while (n < ty.label.size() && isalpha((unsigned char)ty.label[n])) n++;
    ty.label_element = ty.label.substr(0, n);
  }
  return 0;
}

void OSTREL_calc_cif_metric(OSTREL_cif* cif) {
  double al = cif->alpha * PI / 180, be = cif->beta * PI / 180, ga = cif->gamma * PI / 180;
  cif->d1 = cif->a * cif->a;
  cif->d2 = cif->b * cif->b;
  cif->d3 = cif->c * cif->c;
  cif->d4 = 2 * cif->a * cif->b * cos(ga);
  cif->d5 = 2 * cif->b * cif->c * cos(al);
  cif->d6 = 2 * cif->a * cif->c * cos(be);
}

// Looks the space-group name up in the settings file.  An exact name wins;
// otherwise the first setting named by it plus a setting word (as 'F d -3 m'
// for 'F d -3 m Z', the standard origin choice, listed first).
int OSTREL_get_symops_from_dat_file(const char* path, OSTREL_cif* cif) {
  std::vector<std::string> lines;
  if (!path || !*path || cif->spacegroup_HM.empty() || !read_data_pieces(path, &lines))
    return 0;  // no data file: the caller falls back to x,y,z
  size_t start = 0;
  while (start < lines.size() && !starts_with(lines[start], "DATA_START")) start++;
  for (int pass = 0; pass < 2; pass++) {
    for (size_t i = start + 1; i < lines.size(); i++) {
      if (!starts_with(lines[i], "#"))
        continue;
      if (i + 3 >= lines.size())
        break;
      std::string names = lines[i + 3];
      size_t cut = names.find_first_of("\r\n");
      if (cut != std::string::npos) names.erase(cut);
      bool match = false;
      for (const std::string& piece : split_char(names, '\'')) {
        if (pass == 0)
          match = match || piece == cif->spacegroup_HM;
        else
          match = match || (piece.size() == cif->spacegroup_HM.size() + 2 &&
                            piece.compare(0, cif->spacegroup_HM.size(), cif->spacegroup_HM) == 0 &&
                            piece[cif->spacegroup_HM.size()] == ' ' && isalpha((unsigned char)piece.back()));
      }
      if (!match)
        continue;
      if (i + 4 >= lines.size())
        return 0;
      int n = atoi(lines[i + 4].c_str());
      if (n < 1 || n > OSTREL_MAX_SYMOP || i + 4 + (size_t)n >= lines.size())
        return 0;
      std::vector<std::string> ops;
      for (int k = 0; k < n; k++) {
        std::string op = lines[i + 5 + k];
        size_t e = op.find_first_of("\r\n");
        if (e != std::string::npos) op.erase(e);
        ops.push_back(op);
      }
      cif->symop = ops;
      cif->symop_no = n;
      return 0;
    }
  }
  return 0;
}

int OSTREL_get_symops_from_dat(OSTREL_cif* cif) {
  std::string path = OSTREL_find_data_file("database_symcards.dat");
  return OSTREL_get_symops_from_dat_file(path.c_str(), cif);
}

int OSTREL_fill_symops(OSTREL_cif* cif) {
  if (!cif->spacegroup_HM.empty())
    OSTREL_get_symops_from_dat(cif);
  if (cif->symop_no == 0 && OSTREL_add_cif_symop(cif, "x,y,z"))
    return 1;
  return 0;
}

int OSTREL_refresh_site_mul(OSTREL_cif* cif) {
  if ((long long)cif->site_no * cif->symop_no > OSTREL_MAX_CIF_IMAGES) {
    fprintf(stderr, "Error: %d sites under %d operations are more than the %lld images supported\n",
            cif->site_no, cif->symop_no, OSTREL_MAX_CIF_IMAGES);
    return 1;
  }
  long long atoms = 0;
  for (int s = 0; s < cif->site_no; s++) {
    OSTREL_equiv_pos pos;
    OSTREL_site& site = cif->site[s];
    if (OSTREL_symmetry_generate_equivalent_copies(cif, &pos, site.x, site.y, site.z) ||
        pos.total_copies == 0) {
      fprintf(stderr, "Error: Unable to calculate site multiplicity\n");
      return 1;
    }
    site.mul = pos.total_copies;
    atoms += site.mul;
    if (atoms > OSTREL_MAX_CIF_ATOMS) {
      fprintf(stderr, "Error: The full cell holds more than the %d atoms supported\n",
              OSTREL_MAX_CIF_ATOMS);
      return 1;
    }
  }
  return 0;
}

int OSTREL_load_cif(const char* filename, OSTREL_cif* cif) {
  std::vector<std::string> lines;
  bool symop_loop = false;
  return OSTREL_catch_memory(nullptr, [&] {
    if (!read_pieces(filename, &lines))
      return 1;  // refused or unreadable, with its message
    for (std::string& l : lines)
      OSTREL_trim_cif_buffer(&l);
    for (size_t i = 0; i < lines.size(); i++) {
      const std::string& l = lines[i];
      if (starts_with(l, "_chemical_formula_structural") &&
          read_formula(lines, i, "_chemical_formula_structural", &cif->chem_form_struct))
        return 1;
      if (starts_with(l, "_chemical_formula_sum") &&
          read_formula(lines, i, "_chemical_formula_sum", &cif->chem_form_sum))
        return 1;
      const char* hm_tag = starts_with(l, "_symmetry_space_group_name_H-M ")
                               ? "_symmetry_space_group_name_H-M"
                               : (starts_with(l, "_space_group_name_H-M_alt ")
                                      ? "_space_group_name_H-M_alt"
                                      : nullptr);
      if (hm_tag) {
        std::string v;
        for (char c : rest_after(l, hm_tag))
          if (c != '\'' && c != '"') v.push_back(c);
        cif->spacegroup_HM = v.substr(0, 19);
      }
      if (starts_with(l, "_database_code_ICSD "))
        cif->ICSD = rest_after(l, "_database_code_ICSD").substr(0, 9);
      if (starts_with(l, "_cell_length_a ")) cif->a = atof(second_token(l).c_str());
      if (starts_with(l, "_cell_length_b ")) cif->b = atof(second_token(l).c_str());
      if (starts_with(l, "_cell_length_c ")) cif->c = atof(second_token(l).c_str());
      if (starts_with(l, "_cell_angle_alpha ")) cif->alpha = atof(second_token(l).c_str());
      if (starts_with(l, "_cell_angle_beta ")) cif->beta = atof(second_token(l).c_str());
      if (starts_with(l, "_cell_angle_gamma ")) cif->gamma = atof(second_token(l).c_str());
      if (starts_with(l, "_cell_volume ")) cif->volume = atof(second_token(l).c_str());
      if (starts_with(l, "_cell_formula_units_Z ")) cif->z = atoi(second_token(l).c_str());
      if (starts_with(l, "_refine_ls_R_factor_all "))
        cif->R_factor = atof(second_token(l).c_str());
      if (starts_with(l, "_symmetry_Int_Tables_number ") || starts_with(l, "_space_group_IT_number "))
        cif->int_tab_cryst_no = atoi(second_token(l).c_str());
      if (!starts_with(l, "loop_") || i + 1 >= lines.size())
        continue;
      const std::string& n1 = lines[i + 1];
      const std::string n2 = i + 2 < lines.size() ? lines[i + 2] : std::string();
      size_t next = i + 1;
      if (starts_with(n1, "_symmetry_equiv_pos_site_id") || starts_with(n1, "_space_group_symop_id") ||
          starts_with(n1, "_symmetry_equiv_pos_as_xyz") ||
          starts_with(n1, "_space_group_symop_operation_xyz")) {
        next = read_symop_loop(lines, i, cif);
        symop_loop = true;
      } else if (starts_with(n2, "_atom_type_oxidation_number")) {
        if (read_type_loop(lines, i, cif, &next))
          return 1;
      } else if (starts_with(n1, "_atom_site_") && !starts_with(n1, "_atom_site_aniso")) {
        if (read_site_loop(lines, i, cif, &next))
          return 1;
      }
      i = next - 1;  // the loop's lines are consumed
    }
    if (OSTREL_is_valid_lattice_parameters(cif))
      return 1;
    if (OSTREL_fill_ox_states_to_sites(cif))
      return 1;
    OSTREL_calc_cif_metric(cif);
    // Operations from the space-group name when the file lists none; a file
    // that names its group without an operation loop is completed the same
    // way (with x,y,z alone only its asymmetric unit would be kept).
    if ((cif->symop_no == 0 || !symop_loop) && OSTREL_fill_symops(cif))
      return 1;
    if (OSTREL_refresh_site_mul(cif))
      return 1;
    return 0;
  });
}

// ===========================================================================
// Symmetry copies
// ===========================================================================

int OSTREL_symmetry_parse_symop(const char* component, double* result, double x, double y,
                                double z) {
  // The same few component texts recur for every site; keep them compiled.
  static std::unordered_map<std::string, OSTREL_RPN_token> compiled;
  auto it = compiled.find(component);
  if (it == compiled.end()) {
    OSTREL_RPN_token rpn;
    if (OSTREL_RPN_build(component, &rpn)) {
      fprintf(stderr, "Error: OSTREL_RPN_build() returns non-zero.\n");
      return 1;
    }
    if (compiled.size() > 4096)
      compiled.clear();
    it = compiled.emplace(component, rpn).first;
  }
  OSTREL_variable_list vars;
  OSTREL_store_variable_value(&vars, 'x', x);
  OSTREL_store_variable_value(&vars, 'y', y);
  OSTREL_store_variable_value(&vars, 'z', z);
  OSTREL_store_variable_value(&vars, 'X', x);
  OSTREL_store_variable_value(&vars, 'Y', y);
  OSTREL_store_variable_value(&vars, 'Z', z);
  if (OSTREL_RPN_read(&it->second, &vars, result)) {
    fprintf(stderr, "Error: OSTREL_RPN_read() returns non-zero.\n");
    return 1;
  }
  return 0;
}

static bool same_frac(double u, double v) {
  double d = fabs(u - v);
  return d < 0.001 || fabs(d - 1.0) < 0.001;
}

int OSTREL_symmetry_generate_equivalent_copies(const OSTREL_cif* cif, OSTREL_equiv_pos* result,
                                               double x, double y, double z) {
  OSTREL_free_equiv_pos(result);
  if (cif->symop_no <= 0) {
    fprintf(stderr, "Error: Invalid symmetry operation\n");
    return 1;
  }
  return OSTREL_catch_memory(nullptr, [&] {
    for (int o = 0; o < cif->symop_no; o++) {
      std::vector<std::string> parts = split_char(cif->symop[o], ',');
      if (parts.size() != 3) {
        fprintf(stderr, "Error: Invalid symmetry operation\n");
        return 1;
      }
      double v[3];
      for (int k = 0; k < 3; k++) {
        if (OSTREL_symmetry_parse_symop(parts[k].c_str(), &v[k], x, y, z)) {
          fprintf(stderr, "Error: Invalid symmetry operation\n");
          return 1;
        }
        if (v[k] < 0) v[k] += 1.0;
        if (v[k] >= 1) v[k] -= 1.0;
      }
      bool fresh = true;
      for (const OSTREL_equiv_pos_frac_coor& c : result->copy)
        if (same_frac(c.a, v[0]) && same_frac(c.b, v[1]) && same_frac(c.c, v[2])) {
          fresh = false;
          break;
        }
      if (fresh) {
        result->copy.push_back(OSTREL_equiv_pos_frac_coor{v[0], v[1], v[2]});
        result->total_copies++;
      }
    }
    return 0;
  });
}

void OSTREL_free_equiv_pos(OSTREL_equiv_pos* pos) {
  pos->copy.clear();
  pos->total_copies = 0;
}

// Every distinct copy of every site, as sites of multiplicity 1.
static int expand_sites(const OSTREL_cif* cif, std::vector<OSTREL_site>* out) {
  out->clear();
  for (int s = 0; s < cif->site_no; s++) {
    OSTREL_equiv_pos pos;
    const OSTREL_site& src = cif->site[s];
    if (OSTREL_symmetry_generate_equivalent_copies(cif, &pos, src.x, src.y, src.z)) {
      fprintf(stderr, "Error: OSTREL_symmetry_generate_equivalent_copies() returns non-zero.\n");
      return 1;
    }
    for (const OSTREL_equiv_pos_frac_coor& c : pos.copy) {
      OSTREL_site t = src;
      t.x = c.a;
      t.y = c.b;
      t.z = c.c;
      t.mul = 1;
      t.Wyckoff = 'a';
      out->push_back(t);
    }
  }
  return 0;
}

int OSTREL_remove_cif_symmetry(OSTREL_cif* cif) {
  if (cif->symop_no == 1)
    return 0;
  return OSTREL_catch_memory(nullptr, [&] {
    std::vector<OSTREL_site> all;
    if (expand_sites(cif, &all))
      return 1;
    cif->site = all;
    cif->site_no = cif->site_no_cap = (int)all.size();
    cif->symop.assign(1, "x,y,z");
    cif->symop_no = 1;
    cif->int_tab_cryst_no = 1;
    cif->spacegroup_HM = "P 1";
    return 0;
  });
}

int OSTREL_add_P1_to_cif(OSTREL_cif* cif) {
  return OSTREL_catch_memory(nullptr, [&] {
    std::vector<OSTREL_site> all;
    if (expand_sites(cif, &all))
      return 1;
    cif->site_all = all;
    cif->site_all_no = (int)all.size();
    return 0;
  });
}

double OSTREL_distance_frac_cif(const OSTREL_cif* cif, double x1, double y1, double z1,
                                double x2, double y2, double z2) {
  double da = x1 - x2, db = y1 - y2, dc = z1 - z2;
  double d2 = da * da * cif->d1 + db * db * cif->d2 + dc * dc * cif->d3 + da * db * cif->d4 +
              db * dc * cif->d5 + da * dc * cif->d6;
  return sqrt(d2 > 0 ? d2 : 0);
}

int OSTREL_cif_equal_dbl(double a, double b) { return fabs(a - b) < 1e-7; }

// ===========================================================================
// Writing
// ===========================================================================

void OSTREL_print_cif_latt_param(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "_cell_length_a                    %.6f\n", cif->a);
  fprintf(stream, "_cell_length_b                    %.6f\n", cif->b);
  fprintf(stream, "_cell_length_c                    %.6f\n", cif->c);
  fprintf(stream, "_cell_angle_alpha                 %.6f\n", cif->alpha);
  fprintf(stream, "_cell_angle_beta                  %.6f\n", cif->beta);
  fprintf(stream, "_cell_angle_gamma                 %.6f\n", cif->gamma);
  fprintf(stream, "_cell_volume                      %.6f\n", cif->volume);
  if (!cif->spacegroup_HM.empty())
    fprintf(stream, "_symmetry_space_group_name_H-M    '%s'\n", cif->spacegroup_HM.c_str());
  if (cif->int_tab_cryst_no > 0)
    fprintf(stream, "_symmetry_Int_Tables_number       %d\n", cif->int_tab_cryst_no);
  if (cif->z > 0)
    fprintf(stream, "_cell_formula_units_Z             %d\n", cif->z);
}

void OSTREL_print_cif_symops(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "loop_\n_symmetry_equiv_pos_site_id\n_symmetry_equiv_pos_as_xyz\n");
  for (int o = 0; o < cif->symop_no; o++)
    fprintf(stream, "%3d   '%s'\n", o + 1, cif->symop[o].c_str());
}

void OSTREL_print_cif_types(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "loop_\n_atom_type_symbol\n_atom_type_oxidation_number\n");
  for (int t = 0; t < cif->type_no; t++)
    fprintf(stream, "%-8s %.3f\n", cif->type[t].label.c_str(), cif->type[t].ox);
}

void OSTREL_print_cif_sites(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream,
          "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_symmetry_multiplicity\n"
          "_atom_site_Wyckoff_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
          "_atom_site_fract_z\n_atom_site_occupancy\n");
  for (int s = 0; s < cif->site_no; s++) {
    const OSTREL_site& t = cif->site[s];
    fprintf(stream, "%-12s %-8s %3d %c %7.5f %7.5f %7.5f %4.3f\n", t.label.c_str(),
            t.type.c_str(), t.mul, t.Wyckoff, t.x, t.y, t.z, t.occ);
  }
}

void OSTREL_print_cif_ICSD(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "ICSD: %s  \n", cif->ICSD.c_str());
}

void OSTREL_write_cif(const OSTREL_cif* cif, FILE* stream) {
  fprintf(stream, "data_OSTREL\n");
  OSTREL_print_cif_latt_param(cif, stream);
  OSTREL_print_cif_symops(cif, stream);
  OSTREL_print_cif_types(cif, stream);
  OSTREL_print_cif_sites(cif, stream);
  fprintf(stream, "#End of data_OSTREL\n");
}

// CIF reader of velmora and the cell geometry.  The text is tokenised by the
// CIF 1.1 rules into single items and loops; the atom-site loop gives the
// asymmetric unit, which the space group (velmora-import-symmetry.cpp)
// expands to the full cell.  Lattice vectors follow the convention a along
// x, b in the xy plane.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-neighbor.h"

namespace {

bool velmora_cif_is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string velmora_cif_lower(const std::string& s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool velmora_cif_starts_with_ci(const std::string& word, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return word.size() >= n && velmora_cif_lower(word.substr(0, n)) == prefix;
}

// Parser state shared by the row loop.
struct CifParser {
  VELMORA_CIF_DOC& doc;
  int block = 0;
  bool in_loop = false;        // a loop is open
  bool loop_values = false;    // its values have started
  bool pending = false;        // an item tag waits for its value
  std::string pending_tag;
  long pending_row = 0;
  long bare_item_row = -1;     // row of the last item value read as a bare word

  explicit CifParser(VELMORA_CIF_DOC& d) : doc(d) {}

  void close_loop() {
    if (in_loop && doc.loop.back().tag.empty()) doc.loop.pop_back();
    in_loop = false;
    loop_values = false;
  }
  void flush_pending() {
    // A tag without a value: recorded as unknown.
    if (pending) doc.item.push_back({pending_tag, "?", pending_row, block});
    pending = false;
  }
  void tag(const std::string& t, long row) {
    if (in_loop && !loop_values) {
      doc.loop.back().tag.push_back(t);
      return;
    }
    close_loop();
    flush_pending();
    pending = true;
    pending_tag = t;
    pending_row = row;
  }
  // `bare`: an unquoted word.  Further bare words on the row of an item's
  // bare value belong to it: an unquoted symbol such as P 21/c is one value.
  void value(const std::string& v, long row, const char* problem, bool bare = false) {
    if (pending) {
      doc.item.push_back({pending_tag, v, pending_row, block});
      pending = false;
      bare_item_row = bare ? row : -1;
      return;
    }
    if (!in_loop && bare && row == bare_item_row && !doc.item.empty()) {
      doc.item.back().value += " " + v;
      return;
    }
    if (in_loop) {
      VELMORA_CIF_LOOP& loop = doc.loop.back();
      loop_values = true;
      loop.value.push_back(v);
      loop.value_row.push_back(row);
      if (problem && loop.error.empty()) loop.error = problem;
    }
    // A value outside any item or loop is ignored.
  }
  void start_loop(long row) {
    close_loop();
    flush_pending();
    VELMORA_CIF_LOOP loop;
    loop.row = row;
    loop.block = block;
    doc.loop.push_back(loop);
    in_loop = true;
    loop_values = false;
  }
  void start_block(const std::string& name) {
    close_loop();
    flush_pending();
    if (!doc.block_name.empty() || !doc.item.empty() || !doc.loop.empty()) ++block;
    while (static_cast<int>(doc.block_name.size()) < block) doc.block_name.push_back("");
    doc.block_name.push_back(name);
  }
};

// The tag of `loop` that best matches the keyword (exact before contained),
// the first such tag, or -1.
int velmora_cif_loop_column(const std::vector<std::string>& tags, const std::string& keyword,
                            bool last) {
  int best = -1, best_level = 0;
  for (int k = 0; k < static_cast<int>(tags.size()); ++k) {
    const int level = velmora_cif_tag_match(tags[k], keyword);
    if (level > best_level || (level == best_level && level > 0 && last)) {
      best = k;
      best_level = level;
    }
  }
  return best;
}

}  // namespace

// ------------------------------------------------------------- document ----

std::string velmora_cif_tag_normalize(const std::string& tag) {
  std::string r = velmora_cif_lower(tag);
  for (char& c : r)
    if (c == '.') c = '_';
  return r;
}

int velmora_cif_tag_match(const std::string& tag, const std::string& keyword) {
  const std::string t = velmora_cif_tag_normalize(tag);
  const std::string k = velmora_cif_tag_normalize(keyword);
  if (t == k) return 2;
  return t.find(k) != std::string::npos ? 1 : 0;
}

bool velmora_cif_value_is_null(const std::string& value) {
  return value.empty() || value == "?" || value == ".";
}

bool velmora_cif_read_number(const std::string& text, double& value) {
  const char* s = text.c_str();
  while (velmora_cif_is_space(*s)) ++s;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (end == s || !std::isfinite(v)) return false;
  // strtod also reads hexadecimal and "inf"; a CIF number starts plainly.
  if (!(std::isdigit(static_cast<unsigned char>(*s)) || *s == '.' || *s == '-' || *s == '+'))
    return false;
  double result = v;
  if (*end == '/') {
    char* end2 = nullptr;
    const double d = std::strtod(end + 1, &end2);
    if (end2 != end + 1 && d != 0.0 && std::isfinite(d)) result = v / d;
  }
  value = result;
  return true;
}

void velmora_cif_doc_parse(VELMORA_CIF_DOC& doc, const std::vector<std::string>& rows) {
  doc = VELMORA_CIF_DOC();
  CifParser p(doc);
  const long n = static_cast<long>(rows.size());
  for (long r = 0; r < n; ++r) {
    const std::string& row = rows[r];
    if (!row.empty() && row[0] == ';') {
      // Text field: up to the next row that begins with ';'.
      std::string text = row.substr(1);
      while (!text.empty() && velmora_cif_is_space(text.back())) text.pop_back();
      long end = r + 1;
      for (; end < n; ++end) {
        if (!rows[end].empty() && rows[end][0] == ';') break;
        std::string line = rows[end];
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!text.empty()) text += "\n";
        text += line;
      }
      if (end >= n) {
        p.value(text, r, "Error: unterminated text field.\n");
        break;
      }
      p.value(text, r, nullptr);
      r = end;  // the closing row may hold more tokens, as in ";  value"
      continue;
    }
    std::size_t i = 0;
    const std::size_t len = row.size();
    while (i < len) {
      while (i < len && velmora_cif_is_space(row[i])) ++i;
      if (i >= len || row[i] == '#') break;
      if (row[i] == '\'' || row[i] == '"') {
        const char q = row[i];
        std::size_t j = i + 1;
        while (j < len && !(row[j] == q && (j + 1 >= len || velmora_cif_is_space(row[j + 1]))))
          ++j;
        if (j >= len) {
          char message[96];
          std::snprintf(message, sizeof message,
                        "Error: open %s quotation mark detected at row %ld.\n",
                        q == '\'' ? "single" : "double", r + 1);
          p.value(row.substr(i + 1), r, message);
          break;
        }
        p.value(row.substr(i + 1, j - i - 1), r, nullptr);
        i = j + 1;
        continue;
      }
      std::size_t j = i;
      while (j < len && !velmora_cif_is_space(row[j])) ++j;
      const std::string word = row.substr(i, j - i);
      i = j;
      if (word[0] == '_') {
        p.tag(word, r);
      } else if (velmora_cif_lower(word) == "loop_") {
        p.start_loop(r);
      } else if (velmora_cif_starts_with_ci(word, "data_")) {
        p.start_block(word.substr(5));
      } else if (velmora_cif_starts_with_ci(word, "save_") ||
                 velmora_cif_lower(word) == "global_" || velmora_cif_lower(word) == "stop_") {
        p.close_loop();
        p.flush_pending();
      } else {
        p.value(word, r, nullptr, true);
      }
    }
  }
  p.close_loop();
  p.flush_pending();
  for (VELMORA_CIF_LOOP& loop : doc.loop) {
    if (!loop.error.empty() || loop.tag.empty()) continue;
    if (loop.value.size() % loop.tag.size() != 0) {
      char message[256];
      std::snprintf(message, sizeof message,
                    "Error: loop of %s at row %ld holds %zu values, not whole rows of %zu.\n",
                    loop.tag[0].c_str(), loop.row + 1, loop.value.size(), loop.tag.size());
      loop.error = message;
    }
  }
}

void velmora_cif_doc_select_block(VELMORA_CIF_DOC& doc) {
  if (doc.block_name.size() < 2) return;
  int chosen = -1;
  for (const VELMORA_CIF_LOOP& loop : doc.loop) {
    if (velmora_cif_loop_column(loop.tag, "_atom_site_fract_x", false) >= 0 &&
        !loop.value.empty()) {
      chosen = loop.block;
      break;
    }
  }
  if (chosen < 0) chosen = doc.item.empty() ? 0 : doc.item[0].block;
  std::printf("Message: %zu data blocks found; reading data_%s.\n", doc.block_name.size(),
              chosen < static_cast<int>(doc.block_name.size())
                  ? doc.block_name[chosen].c_str()
                  : "");
  VELMORA_CIF_DOC kept;
  kept.block_name = doc.block_name;
  for (const VELMORA_CIF_ITEM& item : doc.item)
    if (item.block == chosen) kept.item.push_back(item);
  for (const VELMORA_CIF_LOOP& loop : doc.loop)
    if (loop.block == chosen) kept.loop.push_back(loop);
  doc = kept;
}

std::optional<std::string> velmora_cif_doc_grep_keyword(const VELMORA_CIF_DOC& doc,
                                                        const char* keyword) {
  for (int level = 2; level >= 1; --level) {
    for (const VELMORA_CIF_ITEM& item : doc.item)
      if (velmora_cif_tag_match(item.tag, keyword) == level) return item.value;
    // An item written as a loop of one record counts as well.
    for (const VELMORA_CIF_LOOP& loop : doc.loop) {
      if (loop.tag.empty() || loop.value.size() != loop.tag.size()) continue;
      for (std::size_t k = 0; k < loop.tag.size(); ++k)
        if (velmora_cif_tag_match(loop.tag[k], keyword) == level) return loop.value[k];
    }
  }
  return std::nullopt;
}

bool velmora_cif_doc_exist_keyword(const VELMORA_CIF_DOC& doc, const char* keyword) {
  for (const VELMORA_CIF_ITEM& item : doc.item)
    if (velmora_cif_tag_match(item.tag, keyword)) return true;
  for (const VELMORA_CIF_LOOP& loop : doc.loop)
    for (const std::string& tag : loop.tag)
      if (velmora_cif_tag_match(tag, keyword)) return true;
  return false;
}

const VELMORA_CIF_LOOP* velmora_cif_doc_find_loop(const VELMORA_CIF_DOC& doc,
                                                  const char* keyword) {
  for (int level = 2; level >= 1; --level)
    for (const VELMORA_CIF_LOOP& loop : doc.loop)
      for (const std::string& tag : loop.tag)
        if (velmora_cif_tag_match(tag, keyword) == level) return &loop;
  return nullptr;
}

int velmora_cif_doc_grep_loop(VELMORA_CIF_TABLE& table, int& rows, int& columns,
                              const char* keyword, const VELMORA_CIF_DOC& doc) {
  table.clear();
  rows = columns = 0;
  const VELMORA_CIF_LOOP* loop = velmora_cif_doc_find_loop(doc, keyword);
  if (!loop || loop->value.empty()) {
    std::printf("Warning: _loop block containing %s not found.\n", keyword);
    return 1;
  }
  if (!loop->error.empty()) {
    std::fputs(loop->error.c_str(), stderr);
    return 1;
  }
  const std::size_t ncol = loop->tag.size();
  table.push_back(loop->tag);
  for (std::size_t v = 0; v < loop->value.size(); v += ncol)
    table.emplace_back(loop->value.begin() + static_cast<long>(v),
                       loop->value.begin() + static_cast<long>(v + ncol));
  rows = static_cast<int>(table.size());
  columns = static_cast<int>(ncol);
  return 0;
}

// ------------------------------------------------------- row scanners ----

int velmora_cell_import_cif_exist_keyword(const char* keyword,
                                          const std::vector<std::string>& rows, long count) {
  VELMORA_CIF_DOC doc;
  velmora_cif_doc_parse(doc, std::vector<std::string>(rows.begin(), rows.begin() + count));
  return velmora_cif_doc_exist_keyword(doc, keyword) ? 1 : 0;
}

std::optional<std::string> velmora_cell_import_cif_grep_keyword(
    const char* keyword, const std::vector<std::string>& rows, long count) {
  VELMORA_CIF_DOC doc;
  velmora_cif_doc_parse(doc, std::vector<std::string>(rows.begin(), rows.begin() + count));
  return velmora_cif_doc_grep_keyword(doc, keyword);
}

int velmora_cell_import_cif_grep_loop(VELMORA_CIF_TABLE& table, int& table_rows,
                                      int& table_columns, const char* keyword,
                                      const std::vector<std::string>& rows, long count) {
  VELMORA_CIF_DOC doc;
  velmora_cif_doc_parse(doc, std::vector<std::string>(rows.begin(), rows.begin() + count));
  return velmora_cif_doc_grep_loop(table, table_rows, table_columns, keyword, doc);
}

int velmora_array_char_1D_is_blank_line(const char* row) {
  if (!row) return 1;
  for (; *row; ++row)
    if (!velmora_cif_is_space(*row)) return 0;
  return 1;
}

char velmora_array_char_1D_first_nonspace_char(const char* row) {
  if (!row) return 0;
  for (; *row; ++row)
    if (!velmora_cif_is_space(*row)) return *row;
  return 0;
}

// ------------------------------------------------------- atom columns ----

namespace {

// Elements H to Lr: a two-letter prefix of a label or type symbol is taken
// as the element only when it is one of these.
const char* const kElements[] = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",
    "S",  "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn",
    "Ga", "Ge", "As", "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh",
    "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd",
    "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf", "Ta", "W",  "Re",
    "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac", "Th",
    "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf", "Es", "Fm", "Md", "No", "Lr"};

bool velmora_is_element(const std::string& symbol) {
  for (const char* e : kElements)
    if (symbol == e) return true;
  return false;
}

// Symbols that once named elements and whose first letter is an element of
// its own: read by the first letter they would become another element.
const char* velmora_obsolete_element(const std::string& symbol) {
  static const char* const kOld[][2] = {{"Cb", "Nb (columbium)"}, {"Ct", "Hf (celtium)"},
                                        {"Cp", "Lu (cassiopeium)"}, {"Il", "Pm (illinium)"},
                                        {"Nt", "Rn (niton)"},       {"Vi", "Fr (virginium)"}};
  for (const auto& old : kOld)
    if (symbol.size() == 2 && std::toupper(static_cast<unsigned char>(symbol[0])) == old[0][0] &&
        std::tolower(static_cast<unsigned char>(symbol[1])) == old[0][1])
      return old[1];
  return nullptr;
}

// Oxidation state written in a type symbol: the number from the first digit
// (Fe2.5+ gives 2.5), negative when a '-' follows the element letters; a
// lone sign means 1 (Cu+, Cl-).  99 when no charge is written.
double velmora_atom_charge_from_symbol(const std::string& text) {
  std::size_t first_letter = 0;
  while (first_letter < text.size() && !std::isalpha(static_cast<unsigned char>(text[first_letter])))
    ++first_letter;
  const bool negative = text.find('-', first_letter) != std::string::npos;
  const bool positive = text.find('+', first_letter) != std::string::npos;
  const std::size_t digit = text.find_first_of("0123456789");
  if (digit != std::string::npos) {
    const double v = std::strtod(text.c_str() + digit, nullptr);
    return negative ? -v : v;
  }
  if (negative) return -1.0;
  if (positive) return 1.0;
  return 99.0;
}

bool velmora_cif_cell(const VELMORA_CIF_TABLE& table, std::size_t row, int column,
                      const std::string*& cell) {
  if (row >= table.size() || column < 0 ||
      column >= static_cast<int>(table[row].size()))
    return false;
  cell = &table[row][static_cast<std::size_t>(column)];
  return true;
}

}  // namespace

VELMORA_TYPE_READ velmora_atom_type_from_text(const char* text, char type[3]) {
  const char* s = text;
  while (*s && !std::isalpha(static_cast<unsigned char>(*s))) ++s;
  if (!*s) return VELMORA_TYPE_READ::none;
  const char first = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
  std::string one(1, first);
  VELMORA_TYPE_READ how = VELMORA_TYPE_READ::element;
  if (std::isalpha(static_cast<unsigned char>(s[1]))) {
    std::string two = one;
    two += static_cast<char>(std::tolower(static_cast<unsigned char>(s[1])));
    // Two letters when they name an element, or when the first alone does
    // not (keeps unknown symbols such as "Xx" as written, for the data files
    // to refuse by name).
    if (velmora_is_element(two) || !velmora_is_element(one)) {
      type[0] = two[0];
      type[1] = two[1];
      type[2] = '\0';
      return velmora_is_element(two) ? VELMORA_TYPE_READ::element : VELMORA_TYPE_READ::unknown;
    }
    how = velmora_obsolete_element(two) ? VELMORA_TYPE_READ::obsolete
                                        : VELMORA_TYPE_READ::first_letter;
  } else if (!velmora_is_element(one) && one != "D") {
    how = VELMORA_TYPE_READ::unknown;
  }
  type[0] = first;
  type[1] = '\0';
  type[2] = '\0';
  return how;
}

int velmora_atom_type_read(const char* text, const char* what, const char* site, char type[3]) {
  const VELMORA_TYPE_READ how = velmora_atom_type_from_text(text, type);
  if (how == VELMORA_TYPE_READ::none) return 1;
  // Letters after the element symbol are common in labels and type codes
  // (KA, Ob, OW1, OH-) and name no other element, so the first letter is
  // taken, saying so.  A symbol that once named an element (Cb for niobium)
  // makes that reading wrong in the very case it occurs: refused.
  std::string two;
  for (const char* s = text; *s && two.size() < 2; ++s)
    if (std::isalpha(static_cast<unsigned char>(*s)) || !two.empty())
      two += *s;
  const std::string of_site = std::strcmp(text, site) == 0 ? "" : std::string(" of site ") + site;
  if (how == VELMORA_TYPE_READ::obsolete) {
    std::fprintf(stderr,
                 "Error: %s %s%s begins with %s, an old symbol of %s; give the element in "
                 "_atom_site_type_symbol.\n",
                 what, text, of_site.c_str(), two.c_str(), velmora_obsolete_element(two));
    return 2;
  }
  if (how == VELMORA_TYPE_READ::first_letter)
    std::printf("Warning: %s %s%s: %s is no element; read as %s.\n", what, text, of_site.c_str(),
                two.c_str(), type);
  return 0;
}

int velmora_cell_import_cif_read_atom_name(std::vector<VELMORA_ATOM>& atom,
                                           const VELMORA_CIF_TABLE& table) {
  const int col = table.empty() ? -1 : velmora_cif_loop_column(table[0], "_atom_site_label", false);
  if (col < 0) {
    std::fprintf(stderr, "Error: unable to find keyword '_atom_site_label'.\n");
    return 1;
  }
  for (std::size_t i = 0; i < atom.size(); ++i) {
    const std::string* cell = nullptr;
    if (!velmora_cif_cell(table, i + 1, col, cell)) {
      std::fprintf(stderr, "Error: missing label of atom %zu.\n", i + 1);
      return 1;
    }
    std::snprintf(atom[i].name, sizeof atom[i].name, "%s", cell->c_str());
    atom[i].value = 99.0;
  }
  return 0;
}

int velmora_cell_import_cif_read_atom_type(std::vector<VELMORA_ATOM>& atom,
                                           const VELMORA_CIF_TABLE& table) {
  const int col =
      table.empty() ? -1 : velmora_cif_loop_column(table[0], "_atom_site_type_symbol", false);
  if (col < 0) {
    std::fprintf(stderr, "Error: unable to find keyword '_atom_site_type_symbol'.\n");
    return 1;
  }
  for (std::size_t i = 0; i < atom.size(); ++i) {
    const std::string* cell = nullptr;
    if (!velmora_cif_cell(table, i + 1, col, cell)) return 1;
    // An unknown type symbol leaves the type to be taken from the label.
    if (velmora_cif_value_is_null(*cell)) continue;
    const std::string text = cell->substr(0, 127);
    const int read = velmora_atom_type_read(text.c_str(), "type symbol", atom[i].name, atom[i].type);
    if (read == 1) std::fprintf(stderr, "Error: invalid field content %s.\n", text.c_str());
    if (read != 0) return 1;
    atom[i].value = velmora_atom_charge_from_symbol(text);
  }
  return 0;
}

int velmora_cell_import_cif_read_atom_typeos(std::vector<VELMORA_ATOM>& atom,
                                             const VELMORA_CIF_TABLE& table,
                                             const VELMORA_CIF_TABLE& type_table) {
  if (velmora_cell_import_cif_read_atom_type(atom, table) != 0) return 1;
  const int col = velmora_cif_loop_column(table[0], "_atom_site_type_symbol", false);
  const int sym = type_table.empty()
                      ? -1
                      : velmora_cif_loop_column(type_table[0], "_atom_type_symbol", false);
  const int oxn = type_table.empty() ? -1
                                     : velmora_cif_loop_column(type_table[0],
                                                               "_atom_type_oxidation_number", false);
  if (sym < 0 || oxn < 0 || sym == oxn) {
    std::fprintf(stderr, "Error: invalid keywords.\n");
    return 1;
  }
  for (std::size_t i = 0; i < atom.size(); ++i) {
    const std::string* symbol = nullptr;
    if (!velmora_cif_cell(table, i + 1, col, symbol) || velmora_cif_value_is_null(*symbol))
      continue;
    bool found = false;
    for (int pass = 0; pass < 2 && !found; ++pass) {
      for (std::size_t r = 1; r < type_table.size(); ++r) {
        const std::string* s = nullptr;
        const std::string* o = nullptr;
        if (!velmora_cif_cell(type_table, r, sym, s) || !velmora_cif_cell(type_table, r, oxn, o))
          continue;
        // Exact text first, then ignoring case (LI1+ against Li1+).
        const bool same = pass == 0 ? *s == *symbol
                                    : velmora_cif_lower(*s) == velmora_cif_lower(*symbol);
        if (!same) continue;
        double v;
        atom[i].value = velmora_cif_read_number(*o, v) ? v : 99.0;
        found = true;
        break;
      }
    }
    if (!found)
      std::printf("Warning: type symbol %s is not in the _atom_type loop; its charge is taken "
                  "from the symbol.\n",
                  symbol->c_str());
  }
  return 0;
}

int velmora_cell_import_cif_read_atom(std::vector<VELMORA_ATOM>& atom,
                                      const VELMORA_CIF_TABLE& table) {
  if (table.empty()) {
    std::fprintf(stderr, "Error: invalid keywords.\n");
    return 1;
  }
  const int occ = velmora_cif_loop_column(table[0], "_atom_site_occupancy", true);
  const int fx = velmora_cif_loop_column(table[0], "_atom_site_fract_x", true);
  const int fy = velmora_cif_loop_column(table[0], "_atom_site_fract_y", true);
  const int fz = velmora_cif_loop_column(table[0], "_atom_site_fract_z", true);
  if (fx < 0 || fy < 0 || fz < 0) {
    std::fprintf(stderr, "Error: invalid keywords.\n");
    return 1;
  }
  // The CIF default occupancy is 1.
  if (occ < 0) std::printf("Warning: _atom_site_occupancy not found; occupancies set to 1.\n");
  static const char* const kWhat[3] = {"x", "y", "z"};
  const int column[3] = {fx, fy, fz};
  for (std::size_t i = 0; i < atom.size(); ++i) {
    const std::string* cell = nullptr;
    atom[i].occ = 1.0;
    if (occ >= 0 && velmora_cif_cell(table, i + 1, occ, cell) &&
        !velmora_cif_value_is_null(*cell) && !velmora_cif_read_number(*cell, atom[i].occ)) {
      std::fprintf(stderr, "Error: unable to read occupancy.\n");
      return 1;
    }
    for (int k = 0; k < 3; ++k) {
      if (!velmora_cif_cell(table, i + 1, column[k], cell) ||
          !velmora_cif_read_number(*cell, atom[i].x_f[k])) {
        std::fprintf(stderr, "Error: unable to read fractional %s.\n", kWhat[k]);
        return 1;
      }
    }
  }
  return 0;
}

int velmora_cell_import_cif_read_atom_constraint(std::vector<VELMORA_ATOM>& atom,
                                                 const VELMORA_CIF_TABLE& table) {
  const int col =
      table.empty() ? -1 : velmora_cif_loop_column(table[0], "_atom_site_velmora_fixed", false);
  if (col < 0) {
    std::fprintf(stderr, "Error: unable to find keyword '_atom_site_velmora_fixed'.\n");
    return 1;
  }
  for (std::size_t i = 0; i < atom.size(); ++i) {
    const std::string* cell = nullptr;
    atom[i].ignored = velmora_cif_cell(table, i + 1, col, cell) && !cell->empty() &&
                      ((*cell)[0] == 't' || (*cell)[0] == 'T');
  }
  return 0;
}

int velmora_atom_name_to_type(std::vector<VELMORA_ATOM>& atom) {
  for (VELMORA_ATOM& a : atom) {
    if (a.type[0] != '\0') continue;
    const int read = velmora_atom_type_read(a.name, "label", a.name, a.type);
    if (read == 1) std::fprintf(stderr, "Error: unable to read atom.type from atom.name.\n");
    if (read != 0) return 1;
  }
  return 0;
}

double velmora_atom_charge_from_name(const char* name, const char* type) {
  // The label must begin with the element: Fe2+M, O2-, Mn4+1, Cl-.
  const std::size_t n = std::strlen(type);
  if (n == 0 || std::strlen(name) < n) return 99.0;
  for (std::size_t k = 0; k < n; ++k)
    if (std::tolower(static_cast<unsigned char>(name[k])) !=
        std::tolower(static_cast<unsigned char>(type[k])))
      return 99.0;
  const char* s = name + n;
  char* end = nullptr;
  double v = 1.0;
  if (std::isdigit(static_cast<unsigned char>(*s))) {
    v = std::strtod(s, &end);
    s = end;
  }
  if (*s != '+' && *s != '-') return 99.0;
  // A hyphen also separates parts of labels (Fe-oct1, O1-2): it is a minus
  // sign only at the end or before a letter; a lone sign needs the end
  // (Cl-), and the state must be one that ions have.
  const char next = s[1];
  if (*s == '-' && next != '\0' && !std::isalpha(static_cast<unsigned char>(next))) return 99.0;
  if (s == name + n && next != '\0') return 99.0;
  if (!(v > 0.0 && v <= 8.0)) return 99.0;
  return *s == '-' ? -v : v;
}

int velmora_atom_name_to_os(std::vector<VELMORA_ATOM>& atom) {
  for (VELMORA_ATOM& a : atom) {
    if (std::fabs(a.value - 99.0) >= 0.0001) continue;
    const double v = velmora_atom_charge_from_name(a.name, a.type);
    if (v == 99.0) continue;
    a.value = v;
    std::printf("Warning: oxidation state %+g of site %s taken from its label.\n", v, a.name);
  }
  return 0;
}

int velmora_atom_fork_os(std::vector<VELMORA_ATOM>& atom) {
  const std::size_t n = atom.size();
  for (std::size_t i = 0; i < n; ++i) {
    const double x = atom[i].value;
    if (std::fabs(x - 99.0) < 0.0001) {
      atom[i].os = 99;
    } else if (std::fabs(x - std::round(x)) < 0.1) {
      atom[i].os = static_cast<int>(std::lround(x));
    } else {
      // Mixed valence: two atoms on the site keep the mean valence.
      const double lo = std::floor(x), hi = std::ceil(x), occ = atom[i].occ;
      VELMORA_ATOM copy = atom[i];
      copy.os = static_cast<int>(lo);
      copy.occ = (hi - x) * occ / (hi - lo);
      atom[i].os = static_cast<int>(hi);
      atom[i].occ = (x - lo) * occ / (hi - lo);
      atom.push_back(copy);
    }
  }
  for (VELMORA_ATOM& a : atom) a.value = 0.0;
  return 0;
}

int velmora_atom_update_default_os(std::vector<VELMORA_ATOM>& atom, const char* dir_unitary) {
  std::ifstream file(dir_unitary ? dir_unitary : "", std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "Error: unable to open %s\n", dir_unitary ? dir_unitary : "(null)");
    return 1;
  }
  // Element and default state of every data line, in file order; the first
  // line of an element gives its default.
  std::vector<std::pair<std::string, int>> table;
  std::string line;
  bool started = false;
  while (std::getline(file, line)) {
    if (!started) {
      started = line.find("DATA_START") != std::string::npos;
      continue;
    }
    if (line.find("DATA_END") != std::string::npos) break;
    char symbol[1024];
    int os;
    if (line.size() < 1000 && std::sscanf(line.c_str(), "%*d %1023s %*d %d", symbol, &os) == 2)
      table.emplace_back(symbol, os);
  }
  for (VELMORA_ATOM& a : atom) {
    if (a.os != 99) continue;
    for (const auto& entry : table)
      if (entry.first == a.type) {
        a.os = entry.second;
        break;
      }
  }
  return 0;
}

void velmora_cell_update_name(VELMORA_CELL* cell) {
  if (!cell || cell->atom.empty()) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been initialized.\n");
    return;
  }
  std::string name;
  double sum = 0.0;
  const std::size_t n = cell->atom.size();
  for (std::size_t i = 0; i < n; ++i) {
    const VELMORA_ATOM& a = cell->atom[i];
    sum += a.occ;
    const bool last = i + 1 == n;
    if (last || std::strcmp(a.type, cell->atom[i + 1].type) != 0 || a.os != cell->atom[i + 1].os) {
      char piece[64];
      std::snprintf(piece, sizeof piece, "%s%d%c:%.3f ", a.type, std::abs(a.os),
                    a.os < 0 ? '-' : '+', sum);
      name += piece;
      sum = 0.0;
    }
  }
  std::snprintf(cell->name, sizeof cell->name, "%s", name.c_str());
}

// ---------------------------------------------------------- lattice ----

int velmora_cell_import_cif_read_lattice_doc(VELMORA_CELL* cell, const VELMORA_CIF_DOC& doc) {
  static const char* const kTags[6] = {"_cell_length_a",    "_cell_length_b",
                                       "_cell_length_c",    "_cell_angle_alpha",
                                       "_cell_angle_beta",  "_cell_angle_gamma"};
  double v[6];
  for (int k = 0; k < 6; ++k) {
    const std::optional<std::string> value = velmora_cif_doc_grep_keyword(doc, kTags[k]);
    if (!value) {
      std::fprintf(stderr, "Error: unable to find keyword %s.\n", kTags[k]);
      std::fprintf(stderr, "Error: velmora_cell_import_cif_grep_keyword() returns NULL.\n");
      return 1;
    }
    // Lengths must be positive and angles between 0 and 180 degrees.
    if (!velmora_cif_read_number(*value, v[k]) || v[k] <= 0.0 || (k >= 3 && v[k] >= 180.0)) {
      std::fprintf(stderr, "Error: invalid value '%s' of %s.\n", value->c_str(), kTags[k]);
      return 1;
    }
  }
  for (int k = 0; k < 3; ++k)
    if (v[k] < VELMORA_CELL_MIN_EDGE) {
      std::fprintf(stderr,
                   "Error: the cell edge %s = %g A is shorter than %g A; no crystal repeats "
                   "that closely.\n",
                   kTags[k], v[k], VELMORA_CELL_MIN_EDGE);
      return 1;
    }
  for (int k = 0; k < 3; ++k) {
    cell->parameter[k] = v[k];
    cell->angle[k] = v[k + 3];
  }
  // The squared volume over (abc)^2 must be clearly positive: angles such as
  // 120, 120, 120 describe a flat cell.
  const double volume = velmora_cell_calculate_volume(cell);
  if (!(volume > 1e-3 * v[0] * v[1] * v[2])) {
    std::fprintf(stderr, "Error: the cell angles %g %g %g describe no cell.\n", v[3], v[4], v[5]);
    return 1;
  }
  const std::optional<std::string> z = velmora_cif_doc_grep_keyword(doc, "_cell_formula_units_Z");
  if (!z) {
    std::printf("Warning: _cell_formula_units_Z is not available. \n");
  } else {
    int value = 0;
    if (std::sscanf(z->c_str(), "%d", &value) == 1) cell->Z = value;
  }
  return 0;
}

int velmora_cell_import_cif_read_lattice(VELMORA_CELL* cell,
                                         const std::vector<std::string>& rows, long count) {
  VELMORA_CIF_DOC doc;
  velmora_cif_doc_parse(doc, std::vector<std::string>(rows.begin(), rows.begin() + count));
  return velmora_cell_import_cif_read_lattice_doc(cell, doc);
}

// ----------------------------------------------------------- crowding ----

int velmora_cell_check_crowding(const VELMORA_CELL* cell) {
  if (!cell || cell->atom.empty()) return 0;
  const double(*a)[3] = cell->a;
  const double volume = std::fabs(a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                                  a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                                  a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]));
  double atoms = 0.0;
  for (const VELMORA_ATOM& atom : cell->atom) atoms += atom.occ;
  if (!(volume > 0.0) || atoms > VELMORA_CELL_MAX_DENSITY * volume) {
    std::fprintf(stderr,
                 "Error: %.1f atoms in a cell of %.3f A^3 (%.2f per A^3); no solid holds more "
                 "than %g atoms per A^3.\n",
                 atoms, volume, volume > 0.0 ? atoms / volume : 0.0, VELMORA_CELL_MAX_DENSITY);
    return 1;
  }
  // Only fully occupied atoms take part, as centres and as partners.
  const std::size_t count = cell->atom.size();
  std::vector<bool> partial(count);
  std::vector<int> centre_atom;
  std::vector<double> centres;
  for (std::size_t k = 0; k < count; ++k) {
    partial[k] = !(cell->atom[k].occ >= VELMORA_CELL_FULL_OCCUPANCY);
    if (partial[k]) continue;
    centre_atom.push_back(static_cast<int>(k));
    centres.insert(centres.end(), cell->atom[k].x, cell->atom[k].x + 3);
  }
  if (centre_atom.empty()) return 0;
  const std::unique_ptr<VELMORA_NEIGHBOR> nb = velmora_neighbor_new(
      *cell, VELMORA_CELL_MIN_DISTANCE, VELMORA_NEIGHBOR_NO_SKIP, {1.0, &partial});
  if (!nb) return 1;
  // The closest partner of each centre (the atom itself unshifted aside).
  std::vector<double> closest(centre_atom.size(), VELMORA_CELL_MIN_DISTANCE);
  std::vector<int> partner(centre_atom.size(), -1);
  velmora_neighbor_for_each(*nb, centres, [&](int c, int j, double d, const double*, int img) {
    const int* t = &nb->shift[3 * static_cast<std::size_t>(img)];
    if (j == centre_atom[c] && t[0] == 0 && t[1] == 0 && t[2] == 0) return;
    // Two atoms of one element this close are the alternatives of a split
    // site, written (or assigned in a supercell) as full atoms: allowed.
    if (std::strcmp(cell->atom[j].type, cell->atom[centre_atom[c]].type) == 0) return;
    if (d < closest[c]) {
      closest[c] = d;
      partner[c] = j;
    }
  });
  std::size_t worst = centre_atom.size();
  for (std::size_t c = 0; c < centre_atom.size(); ++c)
    if (partner[c] >= 0 && (worst == centre_atom.size() || closest[c] < closest[worst])) worst = c;
  if (worst == centre_atom.size()) return 0;
  std::fprintf(stderr,
               "Error: the fully occupied atoms %s and %s lie %.3f A apart; no solid packs atoms "
               "closer than %g A (split or shared sites need occupancies below 1).\n",
               cell->atom[centre_atom[worst]].name, cell->atom[partner[worst]].name, closest[worst],
               VELMORA_CELL_MIN_DISTANCE);
  return 1;
}

// -------------------------------------------------------- the reader ----

namespace {

// Reads the atom-site loop into the asymmetric unit (names, types, CIF
// oxidation states, occupancies, positions).
int velmora_cif_read_asymmetric_unit(std::vector<VELMORA_ATOM>& atom,
                                     const VELMORA_CIF_DOC& doc) {
  if (!velmora_cif_doc_find_loop(doc, "_atom_site_label")) {
    std::fprintf(stderr,
                 "Error: unable to find compulsory keyword '_atom_site_label' in cif file.\n");
    return 1;
  }
  VELMORA_CIF_TABLE table;
  int rows = 0, columns = 0;
  if (velmora_cif_doc_grep_loop(table, rows, columns, "_atom_site_label", doc) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_grep_loop() returns non-zero.\n");
    return 1;
  }
  atom = velmora_atom_new(rows - 1);
  if (atom.empty()) {
    std::fprintf(stderr, "Error: unable to allocate VELMORA_ATOM.\n");
    return 1;
  }
  if (velmora_cell_import_cif_read_atom_name(atom, table) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_read_atom_name() returns non-zero.\n");
    return 1;
  }
  if (velmora_cif_loop_column(table[0], "_atom_site_type_symbol", false) < 0) {
    std::printf("Message: unable to find keyword '_atom_site_type_symbol'.\n");
  } else if (velmora_cif_doc_exist_keyword(doc, "_atom_type_oxidation_number")) {
    VELMORA_CIF_TABLE type_table;
    int type_rows = 0, type_columns = 0;
    if (!velmora_cif_doc_find_loop(doc, "_atom_type_symbol")) {
      std::fprintf(stderr, "Error: unable to find keyword '_atom_type_symbol' in cif file.\n");
      return 1;
    }
    if (velmora_cif_doc_grep_loop(type_table, type_rows, type_columns, "_atom_type_symbol",
                                  doc) != 0 ||
        velmora_cell_import_cif_read_atom_typeos(atom, table, type_table) != 0) {
      std::fprintf(stderr, "Error: velmora_cell_import_cif_read_atom_typeos() returns non-zero.\n");
      return 1;
    }
  } else if (velmora_cell_import_cif_read_atom_type(atom, table) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_read_atom_type() returns non-zero.\n");
    return 1;
  }
  if (velmora_cell_import_cif_read_atom(atom, table) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_read_atom() returns non-zero.\n");
    return 1;
  }
  if (velmora_atom_name_to_type(atom) != 0) {
    std::fprintf(stderr, "Error: velmora_atom_name_to_typeos() returns non-zero.\n");
    return 1;
  }
  if (velmora_atom_name_to_os(atom) != 0) {
    std::fprintf(stderr, "Error: velmora_atom_name_to_os() returns non-zero.\n");
    return 1;
  }
  if (velmora_atom_fork_os(atom) != 0) {
    std::fprintf(stderr, "Error: velmora_atom_fork_os() returns non-zero.\n");
    return 1;
  }
  return 0;
}

}  // namespace

int velmora_cell_import_cif_from_text(std::unique_ptr<VELMORA_CELL>& cell,
                                      std::unique_ptr<VELMORA_SYMMETRY>& symmetry,
                                      const VELMORA_TEXT* text, const char* dir_symcards,
                                      const char* dir_unitary) {
  cell.reset();
  symmetry.reset();
  std::printf("Message: reading cif file...\n");
  std::vector<std::string> rows;
  long count = 0;
  // Files with carriage returns alone as line ends (old Mac style) are split
  // at those.
  std::unique_ptr<VELMORA_TEXT> unix_text;
  if (text && text->content.find('\n') == std::string::npos &&
      text->content.find('\r') != std::string::npos) {
    unix_text = velmora_text_new(nullptr);
    unix_text->content = text->content;
    for (char& c : unix_text->content)
      if (c == '\r') c = '\n';
    unix_text->length = text->length;
    unix_text->allocated = text->allocated;
    text = unix_text.get();
  }
  if (velmora_text_segregate_into_rows(rows, count, text, '\n') != 0) {
    std::fprintf(stderr, "Error: velmora_text_segregate_rows() returns non-zero.\n");
    return 1;
  }
  VELMORA_CIF_DOC doc;
  velmora_cif_doc_parse(doc, rows);
  velmora_cif_doc_select_block(doc);

  std::unique_ptr<VELMORA_SYMMETRY> group = velmora_symmetry_import_from_cif_doc(doc, dir_symcards);
  if (!group) {
    std::fprintf(stderr, "Error: velmora_symmetry_import_from_array_char_2D() returns NULL.\n");
    return 1;
  }
  std::vector<VELMORA_ATOM> atom;
  if (velmora_cif_read_asymmetric_unit(atom, doc) != 0) return 1;
  if (velmora_atom_spawn_by_symmetry(atom, group.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_atom_spawn_by_symmetry() returns non-zero.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_CELL> made = velmora_cell_new(0);
  made->atom = std::move(atom);
  made->total = static_cast<long>(made->atom.size());
  if (velmora_cell_import_cif_read_lattice_doc(made.get(), doc) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_read_lattice() returns non-zero.\n");
    return 1;
  }
  velmora_cell_update_cartesion(made.get());
  if (velmora_cell_check_crowding(made.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_check_crowding() returns non-zero.\n");
    return 1;
  }
  if (velmora_atom_update_default_os(made->atom, dir_unitary) != 0) {
    std::fprintf(stderr, "Error: velmora_atom_update_default_os() returns non-zero.\n");
    return 1;
  }
  velmora_cell_update_name(made.get());
  std::printf("Message: calculated cell volume = %f\n", velmora_cell_calculate_volume(made.get()));
  cell = std::move(made);
  symmetry = std::move(group);
  return 0;
}

int velmora_cell_import_cif_from_file(std::unique_ptr<VELMORA_CELL>& cell,
                                      std::unique_ptr<VELMORA_SYMMETRY>& symmetry,
                                      const char* path, const char* dir_symcards,
                                      const char* dir_unitary) {
  cell.reset();
  symmetry.reset();
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_import_from_file(path);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_text_import_from_file() returns NULL.\n");
    return 1;
  }
  if (velmora_cell_import_cif_from_text(cell, symmetry, text.get(), dir_symcards, dir_unitary) !=
      0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_text() returns NULL.\n");
    return 1;
  }
  return 0;
}

std::vector<std::unique_ptr<VELMORA_CELL>> velmora_cells_import_cif_from_file(
    const char* base, int count, const char* dir_symcards, const char* dir_unitary) {
  std::vector<std::unique_ptr<VELMORA_CELL>> cells;
  if (count <= 0) {
    std::fprintf(stderr, "Error: number of cells must be larger than zero.\n");
    return cells;
  }
  for (int i = 0; i < count; ++i) {
    char name[1024];
    std::snprintf(name, sizeof name, "%s.%d.cif", base, i);
    std::unique_ptr<VELMORA_CELL> cell;
    std::unique_ptr<VELMORA_SYMMETRY> symmetry;
    if (velmora_cell_import_cif_from_file(cell, symmetry, name, dir_symcards, dir_unitary) != 0) {
      std::fprintf(stderr, "Error: velmora_cell_import_cif_from_file() returns non-zero.\n");
      cells.clear();
      return cells;
    }
    cells.push_back(std::move(cell));
  }
  return cells;
}

// ----------------------------------------------------------- geometry ----

double velmora_cell_calculate_volume(const VELMORA_CELL* cell) {
  const double ca = std::cos(cell->angle[0] * VELMORA_DEG_TO_RAD);
  const double cb = std::cos(cell->angle[1] * VELMORA_DEG_TO_RAD);
  const double cg = std::cos(cell->angle[2] * VELMORA_DEG_TO_RAD);
  const double s = 1.0 - ca * ca - cb * cb - cg * cg + 2.0 * ca * cb * cg;
  return cell->parameter[0] * cell->parameter[1] * cell->parameter[2] * std::sqrt(s);
}

void velmora_cell_update_lattice_cartesion(VELMORA_CELL* cell) {
  const double a = cell->parameter[0], b = cell->parameter[1], c = cell->parameter[2];
  const double alpha = cell->angle[0] * VELMORA_DEG_TO_RAD;
  const double beta = cell->angle[1] * VELMORA_DEG_TO_RAD;
  const double gamma = cell->angle[2] * VELMORA_DEG_TO_RAD;
  cell->a[0][0] = a;
  cell->a[0][1] = 0.0;
  cell->a[0][2] = 0.0;
  cell->a[1][0] = b * std::cos(gamma);
  cell->a[1][1] = b * std::sin(gamma);
  cell->a[1][2] = 0.0;
  const double cx = c * std::cos(beta);
  const double cy = (b * c * std::cos(alpha) - cell->a[1][0] * cx) / cell->a[1][1];
  cell->a[2][0] = cx;
  cell->a[2][1] = cy;
  cell->a[2][2] = std::sqrt(c * c - cx * cx - cy * cy);
}

void velmora_cell_update_coordinate_cartesion(VELMORA_CELL* cell) {
  for (VELMORA_ATOM& atom : cell->atom)
    for (int i = 0; i < 3; ++i)
      atom.x[i] = atom.x_f[0] * cell->a[0][i] + atom.x_f[1] * cell->a[1][i] +
                  atom.x_f[2] * cell->a[2][i];
}

void velmora_cell_update_cartesion(VELMORA_CELL* cell) {
  velmora_cell_update_lattice_cartesion(cell);
  velmora_cell_update_coordinate_cartesion(cell);
}

void velmora_cell_update_lattice_fractional(VELMORA_CELL* cell) {
  for (int k = 0; k < 3; ++k) cell->parameter[k] = velmora_vector3_double_length(cell->a[k]);
  // alpha between b and c, beta between c and a, gamma between a and b.
  const int pair[3][2] = {{1, 2}, {2, 0}, {0, 1}};
  for (int k = 0; k < 3; ++k) {
    const double* u = cell->a[pair[k][0]];
    const double* v = cell->a[pair[k][1]];
    double c = velmora_vector3_double_dot(u, v) /
               (velmora_vector3_double_length(u) * velmora_vector3_double_length(v));
    c = c > 1.0 ? 1.0 : (c < -1.0 ? -1.0 : c);
    cell->angle[k] = std::acos(c) * VELMORA_RAD_TO_DEG;
  }
}

void velmora_cell_update_coordinate_fractional(VELMORA_CELL* cell) {
  double t[3][3];
  velmora_matrix33_double_copy(t, cell->a);
  velmora_matrix33_double_transpose(t);
  for (VELMORA_ATOM& atom : cell->atom) velmora_matrix33_double_linearsolver(atom.x_f, t, atom.x);
}

void velmora_cell_update_fractional(VELMORA_CELL* cell) {
  velmora_cell_update_lattice_fractional(cell);
  velmora_cell_update_coordinate_fractional(cell);
}

void velmora_cell_bound_fractional(VELMORA_CELL* cell) {
  for (VELMORA_ATOM& atom : cell->atom)
    for (int k = 0; k < 3; ++k) atom.x_f[k] -= std::floor(atom.x_f[k]);
}

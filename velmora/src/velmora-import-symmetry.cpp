// Space-group symmetry of velmora: operations parsed from their text form,
// settings looked up in database_symcards.dat (by Hermann-Mauguin symbol,
// Hall symbol, number or position), expansion of an asymmetric unit with
// duplicate removal, the canonical atom order, reduction, site labels, the
// invariance test and the search for the group of a structure.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_map>

#include "velmora-import.h"
#include "velmora-la.h"

namespace {

std::string velmora_sym_trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string velmora_sym_lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// ------------------------------------------------- operation parsing ----

// One component of an operation, e.g. "-x+y+1/2" or "x-0.25": rotation row
// and translation.  Terms are [sign][number][*](x|y|z) or [sign]number[/number].
bool velmora_card_parse_component(const std::string& comp, double row[3], double& t) {
  row[0] = row[1] = row[2] = 0.0;
  t = 0.0;
  std::size_t i = 0;
  const std::size_t n = comp.size();
  if (n == 0) return false;
  while (i < n) {
    double sign = 1.0;
    if (comp[i] == '+' || comp[i] == '-') {
      sign = comp[i] == '-' ? -1.0 : 1.0;
      ++i;
    } else if (i != 0) {
      return false;  // terms after the first need a sign
    }
    if (i >= n) return false;
    double number = 1.0;
    bool has_number = false;
    if (std::isdigit(static_cast<unsigned char>(comp[i])) || comp[i] == '.') {
      const char* start = comp.c_str() + i;
      char* end = nullptr;
      number = std::strtod(start, &end);
      if (end == start) return false;
      i += static_cast<std::size_t>(end - start);
      has_number = true;
      if (i < n && comp[i] == '/') {
        const char* s2 = comp.c_str() + i + 1;
        char* e2 = nullptr;
        const double d = std::strtod(s2, &e2);
        if (e2 == s2 || d == 0.0) return false;
        number /= d;
        i = static_cast<std::size_t>(e2 - comp.c_str());
      }
      if (i < n && comp[i] == '*') ++i;
    }
    if (i < n) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(comp[i])));
      if (c == 'x' || c == 'y' || c == 'z') {
        row[c - 'x'] += sign * number;
        ++i;
        continue;
      }
    }
    if (!has_number) return false;
    t += sign * number;
  }
  for (int k = 0; k < 3; ++k)
    if (!std::isfinite(row[k]) || std::fabs(row[k]) > 1000.0) return false;
  return std::isfinite(t);
}

// ----------------------------------------------- settings file lookup ----

// The text between the first quote of a line and the next quote.
std::string velmora_symcards_quoted(const std::string& line) {
  const std::size_t a = line.find('\'');
  if (a == std::string::npos) return velmora_sym_trim(line);
  const std::size_t b = line.find('\'', a + 1);
  return line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

void velmora_symcards_strip_eol(std::string& line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
}

// Keys under which a Hermann-Mauguin symbol is compared.
struct HmKey {
  std::string full;     // lower case, without spaces, e.g. "p121/c1"
  std::string short_;   // short symbol in the same form, e.g. "p21/c"
  std::string alt;      // cubic symbol in the old notation (Fm3m for Fm-3m)
  std::string suffix;   // setting: "1", "2", "H", "R" or a cell code
  std::vector<std::string> token;  // lattice letter and symbol parts
};

// "21/c" -> "c"; parts without a slash are kept.
std::string velmora_hm_strip_rotation(const std::string& part) {
  const std::size_t slash = part.find('/');
  return slash == std::string::npos ? part : part.substr(slash + 1);
}

// New symbols with the e glide written in the old notation of the file.
const char* const kEGlide[][2] = {
    {"aem2", "abm2"}, {"bme2", "bma2"}, {"b2em", "b2cm"}, {"c2me", "c2mb"}, {"cm2e", "cm2a"},
    {"ae2m", "ac2m"}, {"aea2", "aba2"}, {"bbe2", "bba2"}, {"b2eb", "b2cb"}, {"c2ce", "c2cb"},
    {"cc2e", "cc2a"}, {"ae2a", "ac2a"}, {"cmce", "cmca"}, {"ccme", "ccmb"}, {"aema", "abma"},
    {"aeam", "acam"}, {"bbem", "bbcm"}, {"bmeb", "bmab"}, {"cmme", "cmma"}, {"aemm", "abmm"},
    {"bmem", "bmcm"}, {"ccce", "ccca"}, {"aeaa", "abaa"}, {"bbeb", "bbcb"}};

std::string velmora_hm_e_glide(const std::string& key) {
  for (const auto& pair : kEGlide)
    if (key == pair[0]) return pair[1];
  return key;
}

std::string velmora_hm_normalize_suffix(std::string s) {
  s = velmora_sym_trim(s);
  if (s == "Z" || s == "z") return "2";
  if (s == "S" || s == "s") return "1";
  if (s == "h" || s == "H") return "H";
  if (s == "r" || s == "R") return "R";
  return velmora_sym_lower(s);
}

HmKey velmora_hm_key(const std::string& symbol) {
  HmKey key;
  std::string s = velmora_sym_trim(symbol);
  if (s.size() >= 2 && (s[0] == '\'' || s[0] == '"') && s.back() == s[0])
    s = s.substr(1, s.size() - 2);
  // "F d -3 m (origin choice 1)" and similar texts.
  const std::string lower = velmora_sym_lower(s);
  const std::size_t origin = lower.find("origin");
  if (origin != std::string::npos) {
    const std::size_t digit = lower.find_first_of("12", origin);
    if (digit != std::string::npos) key.suffix = lower.substr(digit, 1);
    s = s.substr(0, origin);
    while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == '(' ||
                          s.back() == ',' || s.back() == ';'))
      s.pop_back();
  }
  const std::size_t colon = s.find(':');
  if (colon != std::string::npos) {
    key.suffix = velmora_hm_normalize_suffix(s.substr(colon + 1));
    s = s.substr(0, colon);
  }
  std::string cleaned;
  for (char c : s)
    if (c != '_' && c != '(' && c != ')' && c != '{' && c != '}') cleaned += c;
  std::size_t i = 0;
  while (i < cleaned.size()) {
    while (i < cleaned.size() && std::isspace(static_cast<unsigned char>(cleaned[i]))) ++i;
    std::size_t j = i;
    while (j < cleaned.size() && !std::isspace(static_cast<unsigned char>(cleaned[j]))) ++j;
    if (j > i) key.token.push_back(cleaned.substr(i, j - i));
    i = j;
  }
  // A trailing single capital Z, S, H or R names the setting.
  if (key.token.size() >= 2) {
    const std::string& last = key.token.back();
    if (last == "Z" || last == "S" || last == "H" || last == "R") {
      if (key.suffix.empty()) key.suffix = velmora_hm_normalize_suffix(last);
      key.token.pop_back();
    }
  }
  for (const std::string& t : key.token) key.full += velmora_sym_lower(t);
  // The short symbol, from the spaced form.
  std::vector<std::string> part(key.token.begin() + (key.token.empty() ? 0 : 1), key.token.end());
  std::vector<std::string> shortened = part;
  const long ones = std::count(part.begin(), part.end(), std::string("1"));
  bool cubic = false;
  if (part.size() == 3 && ones == 2) {
    shortened.clear();
    for (const std::string& p : part)
      if (p != "1") shortened.push_back(p);
  } else if (part.size() >= 2 && (part[1] == "3" || part[1] == "-3")) {
    cubic = true;
    for (std::string& p : shortened) p = velmora_hm_strip_rotation(p);
  } else if (!part.empty() && (part[0][0] == '3' || part[0][0] == '4' || part[0][0] == '6' ||
                               (part[0][0] == '-' && part[0].size() > 1))) {
    for (std::size_t k = 1; k < shortened.size(); ++k)
      shortened[k] = velmora_hm_strip_rotation(shortened[k]);
  } else if (part.size() == 3) {
    for (std::string& p : shortened) p = velmora_hm_strip_rotation(p);
  }
  key.short_ = key.token.empty() ? std::string() : velmora_sym_lower(key.token[0]);
  for (const std::string& p : shortened) key.short_ += velmora_sym_lower(p);
  key.full = velmora_hm_e_glide(key.full);
  key.short_ = velmora_hm_e_glide(key.short_);
  // Old cubic notation (Fm3m, Ia3d) writes 3 for -3 after a mirror or glide.
  if (cubic && shortened.size() >= 2 && shortened[1] == "-3" &&
      std::isalpha(static_cast<unsigned char>(shortened[0][0]))) {
    key.alt = velmora_sym_lower(key.token[0]);
    for (std::size_t k = 0; k < shortened.size(); ++k)
      key.alt += k == 1 ? std::string("3") : velmora_sym_lower(shortened[k]);
  }
  return key;
}

// The setting words of the file against the wanted setting.
bool velmora_hm_suffix_fits(const std::string& wanted, const std::string& entry) {
  if (wanted.empty()) return true;
  if (wanted == "1" || wanted == "2" || wanted == "H" || wanted == "R") return entry == wanted;
  return true;  // cell and axis codes are told by the symbol itself
}

// Monoclinic short symbol with a unique-axis code ("P 21/c :b1", "P 2 :c"):
// the full symbol of that axis, else empty.
std::string velmora_hm_axis_full(const HmKey& key) {
  if (key.token.size() != 2 || key.suffix.empty()) return "";
  std::string code = key.suffix;
  if (code[0] == '-') code = code.substr(1);
  if (code.empty() || (code[0] != 'a' && code[0] != 'b' && code[0] != 'c')) return "";
  const std::string lattice = velmora_sym_lower(key.token[0]);
  const std::string part = velmora_sym_lower(key.token[1]);
  if (code[0] == 'a') return lattice + part + "11";
  if (code[0] == 'b') return lattice + "1" + part + "1";
  return lattice + "11" + part;
}

std::string velmora_hall_normalize(const std::string& symbol) {
  std::string s = velmora_sym_trim(symbol);
  if (s.size() >= 2 && (s[0] == '\'' || s[0] == '"') && s.back() == s[0])
    s = velmora_sym_trim(s.substr(1, s.size() - 2));
  std::string r;
  bool space = false;
  for (char c : s) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '_') {
      space = true;
      continue;
    }
    if (space && !r.empty()) r += ' ';
    space = false;
    r += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return r;
}

// Among candidate entries, the one whose Hall symbol is the hint, else the
// first.
int velmora_symcards_pick(const std::vector<VELMORA_SYMCARDS_ENTRY>& entry,
                          const std::vector<int>& candidate, const char* hall) {
  if (candidate.empty()) return -1;
  if (hall && *hall) {
    const std::string h = velmora_hall_normalize(hall);
    for (int k : candidate)
      if (velmora_hall_normalize(entry[k].hall) == h) return k;
  }
  return candidate.front();
}

}  // namespace

int velmora_symcards_find_HM(const std::vector<VELMORA_SYMCARDS_ENTRY>& entry,
                             const char* symbol_text, const char* setting, const char* hall) {
  const std::string symbol = symbol_text ? symbol_text : "";
  const std::string raw = velmora_sym_trim(symbol);
  for (std::size_t k = 0; k < entry.size(); ++k)
    if (entry[k].valid && entry[k].hm == raw) return static_cast<int>(k);
  HmKey q = velmora_hm_key(symbol);
  if (q.full.empty()) return -1;
  if (q.suffix.empty() && setting && *setting) q.suffix = velmora_hm_normalize_suffix(setting);
  const std::string axis_full = velmora_hm_axis_full(q);
  // Stages from the strictest comparison to the loosest; within a stage the
  // setting word must fit (an entry without one fits any setting only when
  // no entry carries the wanted word).
  for (int stage = 0; stage < 3; ++stage) {
    std::vector<int> exact, plain;
    for (std::size_t k = 0; k < entry.size(); ++k) {
      const VELMORA_SYMCARDS_ENTRY& e = entry[k];
      if (!e.valid) continue;
      bool hit = false;
      if (stage == 0) hit = q.full == e.key_full;
      if (stage == 1) hit = !axis_full.empty() && axis_full == e.key_full;
      if (stage == 2)
        hit = q.full == e.key_short || q.short_ == e.key_short ||
              (!e.key_alt.empty() && (q.full == e.key_alt || q.short_ == e.key_alt));
      if (!hit) continue;
      if (velmora_hm_suffix_fits(q.suffix, e.key_setting))
        exact.push_back(static_cast<int>(k));
      else if (e.key_setting.empty())
        plain.push_back(static_cast<int>(k));
    }
    if (!exact.empty()) return velmora_symcards_pick(entry, exact, hall);
    if (!plain.empty()) return velmora_symcards_pick(entry, plain, hall);
  }
  return -1;
}

int velmora_symcards_find_id(const std::vector<VELMORA_SYMCARDS_ENTRY>& entry,
                             const char* number, const char* setting, const char* hall) {
  const std::string text = velmora_sym_trim(number ? number : "");
  char* end = nullptr;
  const long id = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str()) return -1;
  std::vector<int> candidate, fitting;
  const std::string wanted = setting ? velmora_hm_normalize_suffix(setting) : "";
  for (std::size_t k = 0; k < entry.size(); ++k) {
    if (!entry[k].valid || entry[k].id != id) continue;
    candidate.push_back(static_cast<int>(k));
    if (!wanted.empty() && entry[k].key_setting == wanted)
      fitting.push_back(static_cast<int>(k));
  }
  return velmora_symcards_pick(entry, fitting.empty() ? candidate : fitting, hall);
}

int velmora_symcards_find_Hall(const std::vector<VELMORA_SYMCARDS_ENTRY>& entry,
                               const char* symbol) {
  const std::string h = velmora_hall_normalize(symbol ? symbol : "");
  if (h.empty()) return -1;
  for (std::size_t k = 0; k < entry.size(); ++k)
    if (entry[k].valid && velmora_hall_normalize(entry[k].hall) == h) return static_cast<int>(k);
  return -1;
}

namespace {

void velmora_symmetry_copy_symbol(char out[16], const std::string& s) {
  std::snprintf(out, 16, "%s", s.c_str());
}

}  // namespace

// ------------------------------------------------------- operations ----

int velmora_card_set_by_text(VELMORA_CARD* card, const char* text) {
  if (!card || !text) {
    std::fprintf(stderr, "Error: unable to set VELMORA_CARD->text.\n");
    return 1;
  }
  std::snprintf(card->text, sizeof card->text, "%s", text);
  // The whole text is parsed (the record keeps its first 35 characters).
  std::string comp[3];
  int n = 0;
  for (const char* c = text; *c; ++c) {
    if (*c == ',') {
      if (++n > 2) break;
      continue;
    }
    if (*c == ' ' || *c == '\t' || *c == '\r' || *c == '\n' || *c == '\'' || *c == '"') continue;
    comp[n] += *c;
  }
  if (n != 2) {
    std::fprintf(stderr, "Error: symmetry operation '%s' does not have three components.\n", text);
    return 1;
  }
  for (int i = 0; i < 3; ++i) {
    if (comp[i].size() > 32) {
      std::fprintf(stderr, "Error: symmetry operation component '%s' is too long.\n",
                   comp[i].c_str());
      return 1;
    }
    double t = 0.0;
    if (!velmora_card_parse_component(comp[i], card->r_f[i], t)) {
      std::fprintf(stderr, "Error: unable to read symmetry operation '%s'.\n", text);
      return 1;
    }
    // Translations beyond a few cells are not operations of a crystal (and a
    // stepwise reduction of a huge value would never end).
    if (std::fabs(t) > 1000.0) {
      std::fprintf(stderr, "Error: translation out of range in symmetry operation '%s'.\n", text);
      return 1;
    }
    // Into [-1, 1]: subtract (add) whole cells while above 1 (below -1).
    if (t > 1.0) t -= std::ceil(t - 1.0);
    if (t < -1.0) t += std::ceil(-1.0 - t);
    card->t_f[i] = t;
  }
  // A rotation part must be invertible (it maps the lattice onto itself).
  if (std::fabs(velmora_matrix33_double_determinant(card->r_f)) < 0.5) {
    std::fprintf(stderr, "Error: symmetry operation '%s' is singular.\n", text);
    return 1;
  }
  return 0;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_new_p1() {
  std::unique_ptr<VELMORA_SYMMETRY> symmetry = velmora_symmetry_new(1);
  std::snprintf(symmetry->sg_HM, sizeof symmetry->sg_HM, "P 1");
  std::snprintf(symmetry->sg_Hall, sizeof symmetry->sg_Hall, "P 1");
  symmetry->sg_id = 1;
  velmora_card_set_by_text(&symmetry->card[0], "x, y, z");
  return symmetry;
}

// ------------------------------------------------------ settings file ----

int velmora_symcards_load(std::vector<VELMORA_SYMCARDS_ENTRY>& entry, const char* path) {
  entry.clear();
  std::ifstream file(path ? path : "", std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "Error: unable to open %s\n", path ? path : "(null)");
    return 1;
  }
  std::string line;
  bool started = false;
  while (std::getline(file, line)) {
    if (line.find("DATA_START") != std::string::npos) {
      started = true;
      break;
    }
  }
  if (!started) return 0;
  bool pending_line = false;  // `line` already holds the next "#" line
  while (pending_line || std::getline(file, line)) {
    pending_line = false;
    if (line.find("DATA_END") != std::string::npos) break;
    if (line.find('#') == std::string::npos) continue;
    VELMORA_SYMCARDS_ENTRY e;
    std::string l1, l2, l3, l4;
    if (std::getline(file, l1) && std::getline(file, l2) && std::getline(file, l3) &&
        std::getline(file, l4)) {
      int id = 0, n = 0;
      velmora_symcards_strip_eol(l2);
      velmora_symcards_strip_eol(l3);
      e.hall = velmora_symcards_quoted(l2);
      e.hm = velmora_symcards_quoted(l3);
      if (std::sscanf(l1.c_str(), "%d", &id) == 1 && std::sscanf(l4.c_str(), "%d", &n) == 1 &&
          n > 0 && n <= 1000) {
        e.id = id;
        e.valid = true;
        for (int k = 0; k < n; ++k) {
          std::string op;
          if (!std::getline(file, op) || op.find('#') != std::string::npos ||
              op.find("DATA_END") != std::string::npos) {
            e.valid = false;
            if (!file.eof()) {
              line = op;
              pending_line = true;
            }
            break;
          }
          velmora_symcards_strip_eol(op);
          e.op.push_back(op);
        }
      }
    }
    const HmKey key = velmora_hm_key(e.hm);
    e.key_full = key.full;
    e.key_short = key.short_;
    e.key_alt = key.alt;
    e.key_setting = key.suffix;
    entry.push_back(e);
  }
  return 0;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_from_symcards_entry(
    const VELMORA_SYMCARDS_ENTRY& entry) {
  if (!entry.valid || entry.op.empty()) {
    std::fprintf(stderr, "Error: incomplete space group setting '%s' in the settings file.\n",
                 entry.hm.c_str());
    return nullptr;
  }
  std::unique_ptr<VELMORA_SYMMETRY> symmetry =
      velmora_symmetry_new(static_cast<int>(entry.op.size()));
  symmetry->sg_id = entry.id;
  velmora_symmetry_copy_symbol(symmetry->sg_Hall, entry.hall);
  velmora_symmetry_copy_symbol(symmetry->sg_HM, entry.hm);
  for (std::size_t k = 0; k < entry.op.size(); ++k) {
    if (velmora_card_set_by_text(&symmetry->card[k], entry.op[k].c_str()) != 0) {
      std::fprintf(stderr, "velmora_card_set_by_text() returns non-zero.\n");
      return nullptr;
    }
  }
  return symmetry;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_HM_hinted(
    const char* symbol, const char* setting, const char* hall, const char* path) {
  std::vector<VELMORA_SYMCARDS_ENTRY> entry;
  if (velmora_symcards_load(entry, path) != 0) return nullptr;
  const int k = velmora_symcards_find_HM(entry, symbol, setting, hall);
  if (k < 0) {
    std::fprintf(stderr, "Error: unable to find keyword H-M %s in %s.\n", symbol ? symbol : "",
                 path);
    return nullptr;
  }
  std::unique_ptr<VELMORA_SYMMETRY> symmetry = velmora_symmetry_from_symcards_entry(entry[k]);
  if (symmetry) velmora_symmetry_copy_symbol(symmetry->sg_HM, velmora_sym_trim(symbol));
  return symmetry;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_HM(const char* symbol,
                                                                        const char* path) {
  return velmora_symmetry_import_by_keyword_HM_hinted(symbol, nullptr, nullptr, path);
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_id_hinted(
    const char* number, const char* setting, const char* hall, const char* path) {
  std::vector<VELMORA_SYMCARDS_ENTRY> entry;
  if (velmora_symcards_load(entry, path) != 0) return nullptr;
  const int k = velmora_symcards_find_id(entry, number, setting, hall);
  if (k < 0) {
    std::fprintf(stderr, "Error: unable to find keyword id %s in %s.\n", number ? number : "",
                 path);
    return nullptr;
  }
  std::unique_ptr<VELMORA_SYMMETRY> symmetry = velmora_symmetry_from_symcards_entry(entry[k]);
  if (symmetry) std::sscanf(number, "%d", &symmetry->sg_id);
  return symmetry;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_id(const char* number,
                                                                        const char* path) {
  return velmora_symmetry_import_by_keyword_id_hinted(number, nullptr, nullptr, path);
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_Hall(const char* symbol,
                                                                          const char* path) {
  std::vector<VELMORA_SYMCARDS_ENTRY> entry;
  if (velmora_symcards_load(entry, path) != 0) return nullptr;
  const int k = velmora_symcards_find_Hall(entry, symbol);
  if (k < 0) {
    std::fprintf(stderr, "Error: unable to find keyword Hall %s in %s.\n", symbol ? symbol : "",
                 path);
    return nullptr;
  }
  std::unique_ptr<VELMORA_SYMMETRY> symmetry = velmora_symmetry_from_symcards_entry(entry[k]);
  if (symmetry) velmora_symmetry_copy_symbol(symmetry->sg_Hall, velmora_sym_trim(symbol));
  return symmetry;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_internal_no(int number,
                                                                         const char* path) {
  std::vector<VELMORA_SYMCARDS_ENTRY> entry;
  if (velmora_symcards_load(entry, path) != 0) return nullptr;
  if (number < 1 || number > static_cast<int>(entry.size())) {
    std::fprintf(stderr, "Error: unable to find required space group No.%d in %s.\n", number,
                 path);
    return nullptr;
  }
  return velmora_symmetry_from_symcards_entry(entry[static_cast<std::size_t>(number - 1)]);
}

// ------------------------------------------------- the group of a CIF ----

namespace {

// Cards from the operation column of a loop.  Values are taken record by
// record; if that fails and the operations are the last column, each line is
// read as one record, which accepts unquoted operations with spaces
// (x, y, z) as written by some programs.
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_from_op_loop(const VELMORA_CIF_LOOP& loop) {
  int column = -1;
  for (int k = 0; k < static_cast<int>(loop.tag.size()); ++k) {
    const std::string t = velmora_cif_tag_normalize(loop.tag[k]);
    if (t == "_symmetry_equiv_pos_as_xyz" || t == "_space_group_symop_operation_xyz") column = k;
  }
  if (column < 0 || loop.tag.empty()) {
    std::fprintf(stderr, "Error: no column of symmetry operations in the loop.\n");
    return nullptr;
  }
  const std::size_t ncol = loop.tag.size();
  std::vector<std::string> text;
  if (loop.error.empty()) {
    for (std::size_t v = static_cast<std::size_t>(column); v < loop.value.size(); v += ncol)
      text.push_back(loop.value[v]);
  }
  auto build = [](const std::vector<std::string>& ops) {
    std::unique_ptr<VELMORA_SYMMETRY> s;
    if (ops.empty()) return s;
    s = velmora_symmetry_new(static_cast<int>(ops.size()));
    for (std::size_t k = 0; k < ops.size(); ++k)
      if (velmora_card_set_by_text(&s->card[k], ops[k].c_str()) != 0) {
        s.reset();
        break;
      }
    return s;
  };
  bool record_ok = !text.empty();
  for (const std::string& t : text)
    if (std::count(t.begin(), t.end(), ',') != 2) record_ok = false;
  if (record_ok) return build(text);
  if (column == static_cast<int>(ncol) - 1) {
    // One record per line: the first ncol-1 values, then the rest joined.
    std::vector<std::string> lines;
    std::size_t v = 0;
    while (v < loop.value.size()) {
      const long row = loop.value_row[v];
      std::vector<std::string> words;
      while (v < loop.value.size() && loop.value_row[v] == row) words.push_back(loop.value[v++]);
      if (words.size() < ncol) {
        lines.clear();
        break;
      }
      std::string op;
      for (std::size_t w = ncol - 1; w < words.size(); ++w) op += words[w];
      lines.push_back(op);
    }
    if (!lines.empty()) return build(lines);
  }
  if (!loop.error.empty()) std::fputs(loop.error.c_str(), stderr);
  return build(text);
}

// A parenthesised change of basis such as (c,a+c,b) or (-x+z,x,y); an origin
// shift such as (0 0 -1) in a Hall symbol is not one.
bool velmora_symmetry_is_transformed(const std::optional<std::string>& symbol) {
  if (!symbol) return false;
  const std::size_t open = symbol->find('(');
  if (open == std::string::npos) return false;
  const std::string inside = velmora_sym_lower(symbol->substr(open));
  return inside.find(',') != std::string::npos &&
         inside.find_first_of("abcxyz") != std::string::npos;
}

std::optional<std::string> velmora_symmetry_cif_item(const VELMORA_CIF_DOC& doc,
                                                     const char* tag) {
  std::optional<std::string> value = velmora_cif_doc_grep_keyword(doc, tag);
  if (value && velmora_cif_value_is_null(velmora_sym_trim(*value))) return std::nullopt;
  if (value) *value = velmora_sym_trim(*value);
  return value;
}

}  // namespace

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_from_cif_doc(const VELMORA_CIF_DOC& doc,
                                                                       const char* path) {
  static const char* const kOpTags[2] = {"_symmetry_equiv_pos_as_xyz",
                                         "_space_group_symop_operation_xyz"};
  for (const char* tag : kOpTags) {
    const VELMORA_CIF_LOOP* loop = nullptr;
    for (const VELMORA_CIF_LOOP& l : doc.loop)
      for (const std::string& t : l.tag)
        if (!loop && velmora_cif_tag_match(t, tag) == 2) loop = &l;
    if (!loop || loop->value.empty()) {
      std::printf("Warning: _loop block containing %s not found.\n", tag);
      continue;
    }
    std::printf(
        "Message: determining symmetry from "
        "_symmetry_equiv_pos_as_xyz/_space_group_symop_operation_xyz ...\n");
    std::unique_ptr<VELMORA_SYMMETRY> symmetry = velmora_symmetry_from_op_loop(*loop);
    if (symmetry) return symmetry;
    std::printf("Warning: the symmetry operations cannot be read; trying the space-group "
                "symbol.\n");
    break;
  }
  std::printf("Warning: velmora_cell_import_cif_grep_loop() returns non-zero.\n");

  std::optional<std::string> hm = velmora_symmetry_cif_item(doc, "_symmetry_space_group_name_H-M");
  if (!hm) hm = velmora_symmetry_cif_item(doc, "_space_group_name_H-M_alt");
  std::optional<std::string> hall =
      velmora_symmetry_cif_item(doc, "_symmetry_space_group_name_Hall");
  if (!hall) hall = velmora_symmetry_cif_item(doc, "_space_group_name_Hall");
  std::optional<std::string> number = velmora_symmetry_cif_item(doc, "_symmetry_Int_Tables_number");
  if (!number) number = velmora_symmetry_cif_item(doc, "_space_group_IT_number");
  if (!number) number = velmora_symmetry_cif_item(doc, "_space_group_id");
  std::optional<std::string> setting =
      velmora_symmetry_cif_item(doc, "_space_group_IT_coordinate_system_code");
  const char* setting_hint = setting ? setting->c_str() : nullptr;
  const char* hall_hint = hall ? hall->c_str() : nullptr;

  // A symbol with a change of basis, such as 'C 1 2/c 1 (c,a+c,b)', names a
  // cell that no listed setting describes: the bare number would give the
  // standard setting and a wrong structure.
  const bool transformed = velmora_symmetry_is_transformed(hm) || velmora_symmetry_is_transformed(hall);

  // The symbol first; the Hall symbol, which fixes the setting, before the
  // bare number; each is tried when the one before is absent or not found.
  if (hm) {
    std::printf("Message: determining symmetry from H-M symbol ...\n");
    std::unique_ptr<VELMORA_SYMMETRY> symmetry =
        velmora_symmetry_import_by_keyword_HM_hinted(hm->c_str(), setting_hint, hall_hint, path);
    if (symmetry) return symmetry;
    std::fprintf(stderr, "velmora_symmetry_import_by_keyword_HM() returns NULL.\n");
  }
  if (hall) {
    std::printf("Message: determining symmetry from Hall symbol ...\n");
    std::unique_ptr<VELMORA_SYMMETRY> symmetry =
        velmora_symmetry_import_by_keyword_Hall(hall->c_str(), path);
    if (symmetry) return symmetry;
    std::fprintf(stderr, "velmora_symmetry_import_by_keyword_Hall() returns NULL.\n");
  }
  if (number && transformed) {
    std::fprintf(stderr,
                 "Error: the space group is given in a transformed setting (%s) that is not "
                 "listed; the cif needs its symmetry operations.\n",
                 hm ? hm->c_str() : hall->c_str());
    return nullptr;
  }
  if (number) {
    std::printf("Message: determining symmetry from IT id ...\n");
    std::unique_ptr<VELMORA_SYMMETRY> symmetry = velmora_symmetry_import_by_keyword_id_hinted(
        number->c_str(), setting_hint, hall_hint, path);
    if (symmetry) return symmetry;
    std::fprintf(stderr, "velmora_symmetry_import_by_keyword_id() returns NULL.\n");
  }
  if (!hm && !hall && !number)
    std::fprintf(stderr,
                 "Error: no symmetry operations, space-group symbol or number in the cif.\n");
  return nullptr;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_from_array_char_2D(
    const std::vector<std::string>& rows, long count, const char* path) {
  VELMORA_CIF_DOC doc;
  velmora_cif_doc_parse(doc, std::vector<std::string>(rows.begin(), rows.begin() + count));
  velmora_cif_doc_select_block(doc);
  return velmora_symmetry_import_from_cif_doc(doc, path);
}

// ---------------------------------------------------------- expansion ----

VELMORA_ATOM velmora_atom_spawn_by_card(const VELMORA_CARD* card, const VELMORA_ATOM* atom) {
  VELMORA_ATOM image = *atom;
  for (int i = 0; i < 3; ++i) {
    double v = card->r_f[i][0] * atom->x_f[0] + card->r_f[i][1] * atom->x_f[1] +
               card->r_f[i][2] * atom->x_f[2] + card->t_f[i];
    v -= std::floor(v);
    if (v >= 1.0) v -= 1.0;
    if (v < 0.0) v += 1.0;
    image.x_f[i] = v;
  }
  return image;
}

bool velmora_atom_occupancy_equal(double a, double b) {
  // Equal up to the rounding of the written numbers, compared relatively:
  // one fraction written to different precision (0.333 and 0.3333, 0.67
  // and 0.667) agrees within 1 %, while two refined fractions on one place
  // (0.004 and 0.021, 0.50 and 0.45) are two sites.  An absolute tolerance
  // would merge every pair of small occupancies.
  return std::fabs(a - b) <= 0.01 * std::max(std::fabs(a), std::fabs(b));
}

bool velmora_atom_equal(const VELMORA_ATOM* a, const VELMORA_ATOM* b) {
  if (std::strcmp(a->type, b->type) != 0 || a->os != b->os) return false;
  for (int i = 0; i < 3; ++i) {
    const double d = std::fabs(a->x_f[i] - b->x_f[i]);
    if (!(d < 0.005 || std::fabs(d - 1.0) < 0.005)) return false;
  }
  return velmora_atom_occupancy_equal(a->occ, b->occ);
}

int velmora_atom_remove_duplicate(std::vector<VELMORA_ATOM>& atom) {
  // An atom is dropped when it equals an earlier atom that was kept.  Kept
  // atoms are filed in a periodic grid of 100 bins per axis (bin 0.01, wider
  // than the 0.005 tolerance), so only neighbouring bins are compared.
  constexpr long kBins = 100;
  auto bin = [](double x) {
    const double f = x - std::floor(x);
    long b = static_cast<long>(f * kBins);
    return b >= kBins ? kBins - 1 : (b < 0 ? 0 : b);
  };
  std::unordered_map<long, std::vector<std::size_t>> grid;
  for (VELMORA_ATOM& a : atom) a.ignored = false;
  for (std::size_t j = 0; j < atom.size(); ++j) {
    const long b[3] = {bin(atom[j].x_f[0]), bin(atom[j].x_f[1]), bin(atom[j].x_f[2])};
    bool duplicate = false;
    for (long dx = -1; dx <= 1 && !duplicate; ++dx)
      for (long dy = -1; dy <= 1 && !duplicate; ++dy)
        for (long dz = -1; dz <= 1 && !duplicate; ++dz) {
          const long key = (velmora_mod_long(b[0] + dx, kBins) * kBins +
                            velmora_mod_long(b[1] + dy, kBins)) * kBins +
                           velmora_mod_long(b[2] + dz, kBins);
          const auto it = grid.find(key);
          if (it == grid.end()) continue;
          for (std::size_t i : it->second)
            if (i < j && velmora_atom_equal(&atom[i], &atom[j])) {
              duplicate = true;
              break;
            }
        }
    if (duplicate) {
      atom[j].ignored = true;
      continue;
    }
    grid[(b[0] * kBins + b[1]) * kBins + b[2]].push_back(j);
  }
  std::vector<VELMORA_ATOM> kept;
  kept.reserve(atom.size());
  for (const VELMORA_ATOM& a : atom)
    if (!a.ignored) kept.push_back(a);
  atom.swap(kept);
  return 0;
}

int velmora_atom_spawn_by_symmetry(std::vector<VELMORA_ATOM>& atom,
                                   const VELMORA_SYMMETRY* symmetry) {
  if (!symmetry || symmetry->card.empty() || atom.empty()) {
    std::fprintf(stderr, "Error: velmora_atom_new() returns NULL.\n");
    return 1;
  }
  // Bounds of what the program handles: the images are held at once, and the
  // canonical order is a quadratic exchange sort.
  constexpr std::size_t kMaxImages = 1000000, kMaxAtoms = 20000;
  if (atom.size() * symmetry->card.size() > kMaxImages) {
    std::fprintf(stderr, "Error: %zu sites under %zu operations are more than %zu images.\n",
                 atom.size(), symmetry->card.size(), kMaxImages);
    return 1;
  }
  std::vector<VELMORA_ATOM> image;
  image.reserve(atom.size() * symmetry->card.size());
  for (const VELMORA_ATOM& a : atom)
    for (const VELMORA_CARD& card : symmetry->card)
      image.push_back(velmora_atom_spawn_by_card(&card, &a));
  if (velmora_atom_remove_duplicate(image) != 0) {
    std::fprintf(stderr, "Error: velmora_atom_remove_duplicate() returns non-zero.\n");
    return 1;
  }
  for (VELMORA_ATOM& a : image) a.ignored = false;
  if (image.size() > kMaxAtoms) {
    std::fprintf(stderr, "Error: the full cell holds %zu atoms, more than the %zu supported.\n",
                 image.size(), kMaxAtoms);
    return 1;
  }
  velmora_atom_sort(image);
  atom.swap(image);
  return 0;
}

// ----------------------------------------------------- canonical order ----

int velmora_atom_name_compare(const char* a, const char* b) {
  for (int i = 0; i < 12; ++i) {
    const char ca = a[i], cb = b[i];
    if (ca == '\0' && cb == '\0') return 0;
    if (cb == '\0') return 1;
    if (ca == '\0') return -1;
    const bool da = std::isdigit(static_cast<unsigned char>(ca)) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(cb)) != 0;
    if (!da && db) return 1;
    if (da && !db) return -1;
    if (da && db) {
      // The integers starting here (as "%d" reads them, saturated).
      long na = 0, nb = 0;
      for (const char* p = a + i; std::isdigit(static_cast<unsigned char>(*p)) && na < 100000000000L; ++p)
        na = na * 10 + (*p - '0');
      for (const char* p = b + i; std::isdigit(static_cast<unsigned char>(*p)) && nb < 100000000000L; ++p)
        nb = nb * 10 + (*p - '0');
      if (na != nb) return na > nb ? 1 : -1;
      const int c = std::strcmp(a, b);
      return c > 0 ? 1 : (c < 0 ? -1 : 0);
    }
    const signed char sa = static_cast<signed char>(ca), sb = static_cast<signed char>(cb);
    if (sa != sb) return sa > sb ? 1 : -1;
  }
  const int c = std::strcmp(a, b);
  return c > 0 ? 1 : (c < 0 ? -1 : 0);
}

namespace {

// One pass of the exchange sort over [first, last): swap i and j (i < j)
// whenever atom i's key is greater.
template <typename Greater>
void velmora_atom_exchange_pass(std::vector<VELMORA_ATOM>& atom, std::size_t first,
                                std::size_t last, Greater greater) {
  for (std::size_t i = first; i < last; ++i)
    for (std::size_t j = i + 1; j < last; ++j)
      if (greater(atom[i], atom[j])) std::swap(atom[i], atom[j]);
}

// Runs of atoms equal under `same`, each sorted by the next key.
template <typename Same, typename Greater>
void velmora_atom_sort_runs(std::vector<VELMORA_ATOM>& atom, Same same, Greater greater) {
  std::size_t first = 0;
  while (first < atom.size()) {
    std::size_t last = first + 1;
    while (last < atom.size() && same(atom[first], atom[last])) ++last;
    velmora_atom_exchange_pass(atom, first, last, greater);
    first = last;
  }
}

}  // namespace

void velmora_atom_sort(std::vector<VELMORA_ATOM>& atom) {
  // Each exchange pass leaves the array ordered by its key, so the pairs equal
  // in the earlier keys form consecutive runs and later passes work on them.
  velmora_atom_exchange_pass(atom, 0, atom.size(), [](const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
    return std::strcmp(a.type, b.type) > 0;
  });
  auto same_type = [](const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
    return std::strcmp(a.type, b.type) == 0;
  };
  velmora_atom_sort_runs(atom, same_type,
                         [](const VELMORA_ATOM& a, const VELMORA_ATOM& b) { return a.os > b.os; });
  auto same_species = [&](const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
    return same_type(a, b) && a.os == b.os;
  };
  velmora_atom_sort_runs(atom, same_species,
                         [](const VELMORA_ATOM& a, const VELMORA_ATOM& b) { return a.occ > b.occ; });
  velmora_atom_sort_runs(
      atom, [&](const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
        return same_species(a, b) && a.occ == b.occ;
      },
      [](const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
        return velmora_atom_name_compare(a.name, b.name) > 0;
      });
}

int velmora_cell_count_type_os(VELMORA_CELL* cell) {
  if (!velmora_cell_ready(cell)) return -1;
  velmora_atom_sort(cell->atom);
  int runs = 1;
  for (std::size_t i = 1; i < cell->atom.size(); ++i)
    if (std::strcmp(cell->atom[i].type, cell->atom[i - 1].type) != 0 ||
        cell->atom[i].os != cell->atom[i - 1].os)
      ++runs;
  return runs;
}

// ------------------------------------------ reduction and site labels ----

std::unique_ptr<VELMORA_CELL> velmora_cell_reduce_by_symmetry(VELMORA_CELL* cell,
                                                              const VELMORA_SYMMETRY* symmetry) {
  if (!velmora_cell_ready(cell)) return nullptr;
  if (!velmora_symmetry_ready(symmetry)) return nullptr;
  std::vector<VELMORA_ATOM>& atom = cell->atom;
  for (VELMORA_ATOM& a : atom) a.ignored = false;
  for (std::size_t i = 0; i < atom.size(); ++i) {
    if (atom[i].ignored) continue;
    for (const VELMORA_CARD& card : symmetry->card) {
      const VELMORA_ATOM image = velmora_atom_spawn_by_card(&card, &atom[i]);
      for (std::size_t j = i + 1; j < atom.size(); ++j)
        if (!atom[j].ignored && velmora_atom_equal(&image, &atom[j])) atom[j].ignored = true;
    }
  }
  std::unique_ptr<VELMORA_CELL> reduced = velmora_cell_copy(cell);
  reduced->atom.clear();
  for (const VELMORA_ATOM& a : atom)
    if (!a.ignored) reduced->atom.push_back(a);
  reduced->total = static_cast<long>(reduced->atom.size());
  for (VELMORA_ATOM& a : atom) a.ignored = false;
  for (VELMORA_ATOM& a : reduced->atom) a.ignored = false;
  return reduced;
}

int velmora_cell_flag_site_by_symmetry(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry) {
  if (!velmora_cell_ready(cell)) return 1;
  if (!velmora_symmetry_ready(symmetry)) return 1;
  std::vector<VELMORA_ATOM>& atom = cell->atom;
  for (VELMORA_ATOM& a : atom) a.flag = 0;
  long site = 1;
  for (std::size_t i = 0; i < atom.size(); ++i) {
    if (atom[i].flag != 0) continue;
    for (const VELMORA_CARD& card : symmetry->card) {
      atom[i].flag = site;
      const VELMORA_ATOM image = velmora_atom_spawn_by_card(&card, &atom[i]);
      for (std::size_t j = i + 1; j < atom.size(); ++j)
        if (atom[j].flag == 0 && velmora_atom_equal(&image, &atom[j])) atom[j].flag = site;
    }
    ++site;
  }
  return 0;
}

// ------------------------------------------------- invariance and search ----

namespace {

// Shortest Cartesian length of the fractional difference d modulo lattice
// translations (nearest image per component, exact for small distances).
double velmora_cell_periodic_distance(const VELMORA_CELL* cell, const double xa[3],
                                      const double xb[3]) {
  double d[3];
  for (int k = 0; k < 3; ++k) {
    d[k] = xa[k] - xb[k];
    d[k] -= std::round(d[k]);
  }
  double c[3];
  for (int i = 0; i < 3; ++i) c[i] = d[0] * cell->a[0][i] + d[1] * cell->a[1][i] + d[2] * cell->a[2][i];
  return velmora_vector3_double_length(c);
}

// Atom indices grouped by species, so images are compared with atoms of
// their own species only.
std::vector<std::vector<std::size_t>> velmora_cell_species_groups(const VELMORA_CELL* cell,
                                                                  std::vector<std::size_t>& group_of) {
  std::vector<std::vector<std::size_t>> groups;
  group_of.assign(cell->atom.size(), 0);
  for (std::size_t i = 0; i < cell->atom.size(); ++i) {
    std::size_t g = 0;
    for (; g < groups.size(); ++g) {
      const VELMORA_ATOM& r = cell->atom[groups[g][0]];
      if (std::strcmp(r.type, cell->atom[i].type) == 0 && r.os == cell->atom[i].os) break;
    }
    if (g == groups.size()) groups.emplace_back();
    groups[g].push_back(i);
    group_of[i] = g;
  }
  return groups;
}

// Atoms filed by species in a periodic grid of fractional bins at least as
// wide as the tolerance along each axis, so an image is compared only with
// the atoms of its own and the neighbouring bins.
struct VELMORA_ATOM_GRID {
  long n[3] = {1, 1, 1};
  std::unordered_map<long, std::vector<std::size_t>> bin;  // key: species and bin

  long axis_bin(double x, int k) const {
    const double f = x - std::floor(x);
    const long b = static_cast<long>(f * static_cast<double>(n[k]));
    return b >= n[k] ? n[k] - 1 : (b < 0 ? 0 : b);
  }
  long key(std::size_t species, long b0, long b1, long b2) const {
    return ((static_cast<long>(species) * n[0] + velmora_mod_long(b0, n[0])) * n[1] +
            velmora_mod_long(b1, n[1])) * n[2] + velmora_mod_long(b2, n[2]);
  }
};

VELMORA_ATOM_GRID velmora_cell_atom_grid(const VELMORA_CELL* cell, double tolerance,
                                         const std::vector<std::size_t>& group_of) {
  VELMORA_ATOM_GRID grid;
  // Width of the tolerance sphere in fractional units along axis k is
  // tolerance * |b_k|, b_k the reciprocal vector (a_l x a_m / volume).
  double v[3];
  velmora_vector3_double_cross(v, cell->a[1], cell->a[2]);
  const double volume = std::fabs(velmora_vector3_double_dot(cell->a[0], v));
  for (int k = 0; k < 3 && volume > 0.0; ++k) {
    double r[3];
    velmora_vector3_double_cross(r, cell->a[(k + 1) % 3], cell->a[(k + 2) % 3]);
    const double width = tolerance * velmora_vector3_double_length(r) / volume;
    long count = width > 0.0 ? static_cast<long>(1.0 / width) : 1;
    // Fewer than three bins on an axis: one bin, so that the neighbour
    // search below never misses a bin.
    grid.n[k] = count < 3 ? 1 : (count > 40 ? 40 : count);
  }
  for (std::size_t i = 0; i < cell->atom.size(); ++i) {
    const double* x = cell->atom[i].x_f;
    grid.bin[grid.key(group_of[i], grid.axis_bin(x[0], 0), grid.axis_bin(x[1], 1),
                      grid.axis_bin(x[2], 2))]
        .push_back(i);
  }
  return grid;
}

bool velmora_card_is_identity(const VELMORA_CARD& card) {
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(card.t_f[i] - std::round(card.t_f[i])) > 1e-12) return false;
    for (int j = 0; j < 3; ++j)
      if (card.r_f[i][j] != (i == j ? 1.0 : 0.0)) return false;
  }
  return true;
}

bool velmora_cell_validate_card(VELMORA_CELL* cell, const VELMORA_CARD& card, double tolerance,
                                const VELMORA_ATOM_GRID& grid,
                                const std::vector<std::size_t>& group_of) {
  std::vector<VELMORA_ATOM>& atom = cell->atom;
  // The identity maps every atom onto itself.
  if (velmora_card_is_identity(card)) {
    for (VELMORA_ATOM& a : atom) a.ignored = true;
    return true;
  }
  for (VELMORA_ATOM& a : atom) a.ignored = false;
  // Every atom's image must meet an atom of the same species and occupancy
  // (a mapping of the finite set into itself that is one-to-one).
  for (std::size_t i = 0; i < atom.size(); ++i) {
    const VELMORA_ATOM image = velmora_atom_spawn_by_card(&card, &atom[i]);
    bool found = false;
    const long b[3] = {grid.axis_bin(image.x_f[0], 0), grid.axis_bin(image.x_f[1], 1),
                       grid.axis_bin(image.x_f[2], 2)};
    // Neighbouring bins, each visited once even when an axis has few bins.
    long span[3];
    for (int k = 0; k < 3; ++k) span[k] = grid.n[k] >= 3 ? 1 : 0;
    for (long d0 = -span[0]; d0 <= span[0] && !found; ++d0)
      for (long d1 = -span[1]; d1 <= span[1] && !found; ++d1)
        for (long d2 = -span[2]; d2 <= span[2] && !found; ++d2) {
          const auto it = grid.bin.find(grid.key(group_of[i], b[0] + d0, b[1] + d1, b[2] + d2));
          if (it == grid.bin.end()) continue;
          for (std::size_t k : it->second) {
            if (std::fabs(image.occ - atom[k].occ) >= 0.0005) continue;
            if (velmora_cell_periodic_distance(cell, image.x_f, atom[k].x_f) < tolerance) {
              atom[k].ignored = true;
              found = true;
              break;
            }
          }
        }
    if (!found) {
      for (VELMORA_ATOM& a : atom) a.ignored = false;
      return false;
    }
    atom[i].ignored = true;
  }
  return true;
}

// Whether the rotation of every card keeps the lattice metric: R^T G R = G
// within 1 % of the lengths involved.  A setting failing this cannot be a
// symmetry of the lattice.
bool velmora_cell_metric_fits(const VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry) {
  double g[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) g[i][j] = velmora_vector3_double_dot(cell->a[i], cell->a[j]);
  for (const VELMORA_CARD& card : symmetry->card) {
    const double (*r)[3] = card.r_f;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double s = 0.0;
        for (int k = 0; k < 3; ++k)
          for (int l = 0; l < 3; ++l) s += r[k][i] * g[k][l] * r[l][j];
        if (std::fabs(s - g[i][j]) > 0.01 * std::sqrt(g[i][i] * g[j][j])) return false;
      }
  }
  return true;
}

// Whether an atom of `species` with occupancy `occ` lies within `tolerance`
// of the fractional position x.
bool velmora_cell_grid_has(const VELMORA_CELL* cell, const VELMORA_ATOM_GRID& grid,
                           std::size_t species, const double x[3], double occ,
                           double tolerance) {
  const long b[3] = {grid.axis_bin(x[0], 0), grid.axis_bin(x[1], 1), grid.axis_bin(x[2], 2)};
  long span[3];
  for (int k = 0; k < 3; ++k) span[k] = grid.n[k] >= 3 ? 1 : 0;
  for (long d0 = -span[0]; d0 <= span[0]; ++d0)
    for (long d1 = -span[1]; d1 <= span[1]; ++d1)
      for (long d2 = -span[2]; d2 <= span[2]; ++d2) {
        const auto it = grid.bin.find(grid.key(species, b[0] + d0, b[1] + d1, b[2] + d2));
        if (it == grid.bin.end()) continue;
        for (std::size_t k : it->second)
          if (std::fabs(occ - cell->atom[k].occ) < 0.0005 &&
              velmora_cell_periodic_distance(cell, x, cell->atom[k].x_f) < tolerance)
            return true;
      }
  return false;
}

// The operations of a setting whose origin lies at `shift` (fractional) in
// the structure's frame: x' = R x + t + (I - R) shift.
void velmora_symmetry_shift_origin(VELMORA_SYMMETRY* symmetry, const double shift[3]) {
  for (VELMORA_CARD& card : symmetry->card)
    for (int i = 0; i < 3; ++i) {
      double t = card.t_f[i] + shift[i];
      for (int j = 0; j < 3; ++j) t -= card.r_f[i][j] * shift[j];
      card.t_f[i] = t - std::floor(t);
    }
}

// Origin shifts, on a grid of 1/24 of the axes (which holds the alternative
// origins of tabulated settings: halves, thirds, quarters, sixths, eighths,
// twelfths), under which every operation of the setting maps the pivot atom
// onto an atom of its species.  The operations are integer matrices, so the
// effect (I - R) s of a shift is a vector of 24ths, tested once per value.
std::vector<std::array<int, 3>> velmora_symmetry_origin_candidates(
    const VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry, const VELMORA_ATOM_GRID& grid,
    std::size_t pivot, std::size_t species, double tolerance) {
  constexpr int kSteps = 24;
  std::vector<std::array<int, 3>> shift;
  shift.reserve(kSteps * kSteps * kSteps);
  for (int a = 0; a < kSteps; ++a)
    for (int b = 0; b < kSteps; ++b)
      for (int c = 0; c < kSteps; ++c) shift.push_back({a, b, c});
  const VELMORA_ATOM& p = cell->atom[pivot];
  for (const VELMORA_CARD& card : symmetry->card) {
    if (shift.empty()) break;
    if (velmora_card_is_identity(card)) continue;
    int m[3][3];  // I - R
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        m[i][j] = (i == j ? 1 : 0) - static_cast<int>(std::lround(card.r_f[i][j]));
    double base[3];
    for (int i = 0; i < 3; ++i)
      base[i] = card.r_f[i][0] * p.x_f[0] + card.r_f[i][1] * p.x_f[1] +
                card.r_f[i][2] * p.x_f[2] + card.t_f[i];
    std::unordered_map<int, bool> seen;
    std::vector<std::array<int, 3>> kept;
    for (const std::array<int, 3>& s : shift) {
      int v[3];
      for (int i = 0; i < 3; ++i)
        v[i] = static_cast<int>(velmora_mod_long(m[i][0] * s[0] + m[i][1] * s[1] + m[i][2] * s[2],
                                                 kSteps));
      const int key = (v[0] * kSteps + v[1]) * kSteps + v[2];
      auto it = seen.find(key);
      if (it == seen.end()) {
        double x[3];
        for (int i = 0; i < 3; ++i) x[i] = base[i] + static_cast<double>(v[i]) / kSteps;
        it = seen.emplace(key, velmora_cell_grid_has(cell, grid, species, x, p.occ, tolerance)).first;
      }
      if (it->second) kept.push_back(s);
    }
    shift.swap(kept);
  }
  return shift;
}

}  // namespace

bool velmora_cell_validate_by_symmetry(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                                       double tolerance) {
  if (!cell || !symmetry || symmetry->card.empty()) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_SYMMETRY has not been properly initialized.\n");
    return false;
  }
  if (tolerance <= 0.0) tolerance = 0.01;
  std::vector<std::size_t> group_of;
  velmora_cell_species_groups(cell, group_of);
  const VELMORA_ATOM_GRID grid = velmora_cell_atom_grid(cell, tolerance, group_of);
  for (const VELMORA_CARD& card : symmetry->card)
    if (!velmora_cell_validate_card(cell, card, tolerance, grid, group_of)) return false;
  return true;
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_calculate_from_cell(VELMORA_CELL* cell,
                                                                       double tolerance,
                                                                       const char* path) {
  if (tolerance <= 0.0) tolerance = 0.01;
  if (!velmora_cell_ready(cell)) return nullptr;
  std::ifstream probe(path ? path : "", std::ios::binary);
  if (!probe) {
    std::printf("Error: unable to open %s.\n", path ? path : "(null)");
    return nullptr;
  }
  probe.close();
  std::vector<VELMORA_SYMCARDS_ENTRY> entry;
  if (velmora_symcards_load(entry, path) != 0) return nullptr;
  const int total = static_cast<int>(entry.size());
  std::printf("Message: total %d space group settings found in %s.\n", total, path);
  // Among the fitting settings the group with the most operations is the
  // symmetry of the structure (every other fitting setting is one of its
  // subgroups); among equals the one latest in the file.
  int best = 0;
  std::size_t best_ops = 0;
  std::vector<std::size_t> group_of;
  velmora_cell_species_groups(cell, group_of);
  const VELMORA_ATOM_GRID grid = velmora_cell_atom_grid(cell, tolerance, group_of);
  for (int k = 1; k <= total; ++k) {
    std::unique_ptr<VELMORA_SYMMETRY> symmetry =
        velmora_symmetry_from_symcards_entry(entry[static_cast<std::size_t>(k - 1)]);
    if (!symmetry) {
      std::fprintf(stderr, "Error: velmora_symmetry_import_by_internal_no() returns NULL at %d.\n",
                   k);
      return nullptr;
    }
    if (!velmora_cell_metric_fits(cell, symmetry.get())) continue;
    bool fits = true;
    for (const VELMORA_CARD& card : symmetry->card)
      if (!velmora_cell_validate_card(cell, card, tolerance, grid, group_of)) {
        fits = false;
        break;
      }
    if (!fits) continue;
    std::printf("Message: structure fits to symmetry %s.\n", symmetry->sg_HM);
    if (symmetry->card.size() >= best_ops) {
      best = k;
      best_ops = symmetry->card.size();
    }
  }
  // Settings of larger groups whose origin lies elsewhere in this frame (an
  // alternative origin of the tables, or a polar axis placed differently).
  std::vector<std::size_t> members(cell->atom.size(), 0);
  for (std::size_t i = 0; i < cell->atom.size(); ++i) ++members[group_of[i]];
  std::size_t pivot = 0;
  for (std::size_t i = 0; i < cell->atom.size(); ++i)
    if (members[group_of[i]] < members[group_of[pivot]]) pivot = i;
  double best_shift[3] = {0.0, 0.0, 0.0};
  bool shifted = false;
  for (int k = 1; k <= total; ++k) {
    const VELMORA_SYMCARDS_ENTRY& e = entry[static_cast<std::size_t>(k - 1)];
    if (e.op.size() <= best_ops) continue;
    std::unique_ptr<VELMORA_SYMMETRY> symmetry = velmora_symmetry_from_symcards_entry(e);
    if (!symmetry || !velmora_cell_metric_fits(cell, symmetry.get())) continue;
    const auto candidates = velmora_symmetry_origin_candidates(cell, symmetry.get(), grid, pivot,
                                                               group_of[pivot], tolerance);
    int tried = 0;
    for (const std::array<int, 3>& c : candidates) {
      if (++tried > 64) break;
      const double shift[3] = {c[0] / 24.0, c[1] / 24.0, c[2] / 24.0};
      VELMORA_SYMMETRY moved = *symmetry;
      velmora_symmetry_shift_origin(&moved, shift);
      bool fits = true;
      for (const VELMORA_CARD& card : moved.card)
        if (!velmora_cell_validate_card(cell, card, tolerance, grid, group_of)) {
          fits = false;
          break;
        }
      if (!fits) continue;
      std::printf("Message: structure fits to symmetry %s with the origin at (%.4f, %.4f, %.4f).\n",
                  symmetry->sg_HM, shift[0], shift[1], shift[2]);
      best = k;
      best_ops = symmetry->card.size();
      for (int i = 0; i < 3; ++i) best_shift[i] = shift[i];
      shifted = true;
      break;
    }
  }
  for (VELMORA_ATOM& a : cell->atom) a.ignored = false;
  if (best == 0) {
    std::fprintf(stderr, "Error: unable to find required space group No.%d in %s.\n", best, path);
    std::fprintf(stderr, "Error: velmora_symmetry_import_by_internal_no() returns NULL at %d.\n",
                 best);
    return nullptr;
  }
  std::unique_ptr<VELMORA_SYMMETRY> symmetry =
      velmora_symmetry_from_symcards_entry(entry[static_cast<std::size_t>(best - 1)]);
  if (!symmetry) return nullptr;
  if (shifted) velmora_symmetry_shift_origin(symmetry.get(), best_shift);
  std::printf("Message: determined space group: %s\n", symmetry->sg_HM);
  if (shifted)
    std::printf("Message: origin of the setting at (%.4f, %.4f, %.4f) in the structure.\n",
                best_shift[0], best_shift[1], best_shift[2]);
  std::printf("Message: determined International Table ID: %d\n", symmetry->sg_id);
  return symmetry;
}

// ------------------------------------------------------ grid forms ----

int velmora_symmetry_fill_card_discrete(VELMORA_SYMMETRY* symmetry, const long n[3]) {
  if (!velmora_symmetry_ready(symmetry)) return 1;
  for (VELMORA_CARD& card : symmetry->card) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) card.r_i[i][j] = static_cast<int>(std::round(card.r_f[i][j]));
    for (int k = 0; k < 3; ++k) card.t_i[k] = std::lround(static_cast<double>(n[k]) * card.t_f[k]);
  }
  return 0;
}

void velmora_card_transform_vector3_long(long out[3], const long p[3], const long n[3],
                                         const VELMORA_CARD* card) {
  for (int i = 0; i < 3; ++i) {
    long v = card->r_i[i][0] * p[0] + card->r_i[i][1] * p[1] + card->r_i[i][2] * p[2] +
             card->t_i[i];
    // The wrap into 0..n-1 by a remainder gives the same as repeated steps.
    out[i] = n[i] > 0 ? velmora_mod_long(v, n[i]) : v;
  }
}

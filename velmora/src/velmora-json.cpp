// JSON summaries of --cal-bv and --gen-cube, composed in a string by a small
// writer (strings escaped per RFC 8259, bytes beyond ASCII written as \u00XX
// so that a Latin-1 label stays valid UTF-8, non-finite numbers as null)
// and written through the atomic file writer.
#include "velmora-json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "bv_revision.h"
#include "velmora-alloc.h"
#include "velmora-la.h"

namespace {

// The document being composed: members of the innermost object or array
// are separated by commas, each object member on a line of its own.
struct Json {
  std::string out;
  std::vector<bool> has_member;

  void separator() {
    if (has_member.empty()) return;
    if (has_member.back()) out += ",";
    has_member.back() = true;
  }
  void open(char bracket) {
    out += bracket;
    has_member.push_back(false);
  }
  // Closes an object or array, on a line of its own when it holds members.
  void close(char bracket) {
    const bool had = has_member.back();
    has_member.pop_back();
    if (had) {
      out += "\n";
      out.append(2 * has_member.size(), ' ');
    }
    out += bracket;
  }
  void key(const char* name) {
    separator();
    out += "\n";
    out.append(2 * has_member.size(), ' ');
    string_body(name);
    out += ": ";
  }
  void string_body(const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c >= 0x80) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
    }
    out += '"';
  }
  void number(double v) {
    if (!std::isfinite(v)) {
      out += "null";
      return;
    }
    char buf[32];
    // 12 significant digits: beyond the 6 decimals of every printed value.
    std::snprintf(buf, sizeof buf, "%.12g", v == 0 ? 0.0 : v);
    out += buf;
  }
  // An object as the next element of an array of objects, on a line of
  // its own.
  void open_element() {
    separator();
    out += "\n";
    out.append(2 * has_member.size(), ' ');
    open('{');
  }
  // An array of objects as a member.
  void open_array(const char* name) {
    key(name);
    open('[');
  }

  void member(const char* name, const std::string& s) {
    key(name);
    string_body(s);
  }
  void member(const char* name, const char* s) { member(name, std::string(s)); }
  void member(const char* name, double v) {
    key(name);
    number(v);
  }
  void member(const char* name, long v) {
    key(name);
    out += std::to_string(v);
  }
  void member(const char* name, int v) { member(name, static_cast<long>(v)); }
  void member(const char* name, bool v) {
    key(name);
    out += v ? "true" : "false";
  }
  void null_member(const char* name) {
    key(name);
    out += "null";
  }
  void numbers(const char* name, const double* v, int n) {
    key(name);
    out += '[';
    for (int q = 0; q < n; ++q) {
      if (q) out += ", ";
      number(v[q]);
    }
    out += ']';
  }
  void integers(const char* name, const long* v, int n) {
    key(name);
    out += '[';
    for (int q = 0; q < n; ++q) out += (q ? ", " : "") + std::to_string(v[q]);
    out += ']';
  }
};

std::string species(const char* type, int os) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%d%c", type, std::abs(os), os < 0 ? '-' : '+');
  return buf;
}

// Program, version, revision, the command and the seed of the random stream
// (and whether any number was drawn from it: a run that drew none does not
// depend on the seed).
void write_header(Json& w, const char* command, const char* input) {
  w.member("schema_version", VELMORA_JSON_SCHEMA_VERSION);
  w.member("program", "velmora.x");
  w.member("version", BV_VERSION);
  if (*BV_REVISION)
    w.member("revision", BV_REVISION);
  else
    w.null_member("revision");
  w.member("command", command);
  w.member("input", input);
  bool drawn = false;
  const unsigned seed = velmora_random_current_seed(&drawn);
  w.member("seed", static_cast<long>(seed));
  w.member("random_numbers_drawn", drawn);
}

// Atoms per species in the cell, weighted by occupancy, in the cell's order.
void write_composition(Json& w, const VELMORA_CELL* cell) {
  std::vector<std::pair<std::string, double>> count;
  for (const VELMORA_ATOM& a : cell->atom) {
    const std::string name = species(a.type, a.os);
    auto it = count.begin();
    while (it != count.end() && it->first != name) ++it;
    if (it == count.end())
      count.emplace_back(name, a.occ);
    else
      it->second += a.occ;
  }
  w.key("composition");
  w.open('{');
  for (const auto& c : count) w.member(c.first.c_str(), c.second);
  w.close('}');
  w.member("atoms", static_cast<long>(cell->atom.size()));
}

int write_document(const char* path, Json& w) {
  w.close('}');
  w.out += "\n";
  const int status = velmora_file_write_atomically(path, w.out);
  if (status == 3) return 1;  // refused, and said why
  if (status != 0) {
    std::fprintf(stderr, "Error: unable to %s %s.\n", status == 1 ? "open" : "write", path);
    return 1;
  }
  return 0;
}

const char* const kOffered[] = {"--cal-bv", "--text-cal-bv", "--gen-cube"};

}  // namespace

int velmora_json_take_option(std::vector<char*>& args, std::string* file) {
  file->clear();
  bool seen = false;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (std::strcmp(args[i], "--json") != 0) continue;
    if (seen) {
      std::fprintf(stderr, "Error: --json is given twice.\n");
      return 2;  // a usage error, as velmora.x reports those
    }
    if (i + 1 >= args.size() || !*args[i + 1]) {
      std::fprintf(stderr, "Error: --json needs a file name.\n");
      return 2;  // a usage error, as velmora.x reports those
    }
    seen = true;
    *file = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    --i;
  }
  return 0;
}

bool velmora_json_offered(const char* command) {
  for (const char* c : kOffered)
    if (command && std::strcmp(c, command) == 0) return true;
  return false;
}

int velmora_json_write_bv(const char* path, const char* command, const char* input,
                          const VELMORA_CELL* cell, const VELMORA_BV* bv, double gii) {
  Json w;
  w.open('{');
  write_header(w, command, input);
  w.key("units");
  w.open('{');
  w.member("bv_sum", "valence units (negative for anions)");
  w.member("gii", "valence units");
  w.close('}');
  write_composition(w, cell);
  w.open_array("sites");
  for (long s = 0; s < bv->total; ++s) {
    const VELMORA_ATOM& a = bv->atom[static_cast<std::size_t>(s)];
    w.open_element();
    w.member("label", a.name);
    w.member("species", species(a.type, a.os));
    w.member("oxidation_state", a.os);
    w.member("occupancy", a.occ);
    w.member("multiplicity", bv->multi[static_cast<std::size_t>(s)]);
    w.member("bv_sum", bv->sum[static_cast<std::size_t>(s)]);
    w.close('}');
  }
  w.close(']');
  w.member("gii", gii);
  w.member("gii_verdict", velmora_gii_verdict(gii));
  return write_document(path, w);
}

int velmora_json_write_cube(const char* path, const VELMORA_JSON_CUBE_RUN& run,
                            const VELMORA_CUBE_SUMMARY& made) {
  Json w;
  w.open('{');
  write_header(w, "--gen-cube", run.input);
  w.key("units");
  w.open('{');
  w.member("energy", "eV");
  w.member("length", "A");
  w.close('}');
  w.member("conducting", species(run.type, run.os));
  bool present = false;
  for (const VELMORA_ATOM& a : run.cell->atom)
    present = present || (a.occ > 0 && a.os == run.os && std::strcmp(a.type, run.type) == 0);
  w.member("conducting_in_structure", present);
  write_composition(w, run.cell);
  w.member("resolution", run.resolution);
  w.member("screening_factor", made.sf);
  w.member("screening_factor_searched", !(run.sf_given > 0));
  w.member("cube", run.cube);
  w.integers("grid", made.n, 3);
  w.key("voxel_steps");
  w.out += '[';
  for (int k = 0; k < 3; ++k) {
    w.out += k ? ", [" : "[";
    for (int l = 0; l < 3; ++l) {
      if (l) w.out += ", ";
      w.number(made.step[k][l]);
    }
    w.out += ']';
  }
  w.out += ']';
  w.member("energy_min", made.energy_min);
  w.member("energy_max", made.energy_max);
  w.member("atoms_in_landscape_cell", made.atoms);
  if (made.resolved) {
    w.key("resolved_supercell");
    w.open('{');
    w.integers("cells", made.supercell, 3);
    w.member("cif", run.assigned_cif);
    w.close('}');
  } else {
    w.null_member("resolved_supercell");
  }
  return write_document(path, w);
}

// Machine-readable results: the JSON summary of a run, composed in memory by
// a small writer (strings escaped per RFC 8259, non-finite numbers and the
// 999 eV "none" marker written as null), and the tidy pathway table, whose
// hops are cut from the same concatenated grid paths as OSTREL_rp.csv.
#include "OSTREL-report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "OSTREL-file.h"
#include "OSTREL-list.h"
#include "OSTREL.h"
#include "bv_revision.h"

const char* const OSTREL_TIDY_PATHWAY_FILE = "OSTREL_rp_tidy.csv";

// Version of the JSON summary's layout: raised when a key changes meaning or
// goes away (2: schema_version, revision, units, window and
// percolation_status added).
const int OSTREL_JSON_SCHEMA_VERSION = 2;

namespace {

// Activation energies and thresholds of a dimension without percolation
// hold this marker.
constexpr double NO_PERCOLATION = 999.0;

double scaled(const OSTREL_cube* cube, double e) { return OSTREL_scale_cube_energy(cube, e); }

std::string site_label(const OSTREL_cube* cube, int type) {
  std::string s;
  OSTREL_label_minima_site(cube, &s, type);
  return s;
}

// Cartesian position (Å) of a point given in grid units (unwrapped or not):
// the sum of the voxel step vectors, the first grid point at the origin.
void grid_to_cartesian(const OSTREL_cube* cube, double i, double j, double k, double out[3]) {
  out[0] = i * cube->a_x + j * cube->b_x + k * cube->c_x;
  out[1] = i * cube->a_y + j * cube->b_y + k * cube->c_y;
  out[2] = i * cube->a_z + j * cube->b_z + k * cube->c_z;
}

// ===========================================================================
// JSON writer
// ===========================================================================

// The document being composed: text, whether a key has just been written
// (its value needs no separator), and per open object or array whether it
// holds an element yet (for the commas) and whether its elements go on
// lines of their own.
struct Json {
  std::string out;
  bool after_key = false;
  std::vector<bool> has_element;
  std::vector<bool> multiline;
};

void json_newline(Json& w) {
  w.out += '\n';
  w.out.append(2 * w.has_element.size(), ' ');
}

// Separator before a new element of the innermost container (a key or a
// value of an array); none for the value after a key.
void json_element(Json& w) {
  if (w.after_key) {
    w.after_key = false;
    return;
  }
  if (w.has_element.empty())
    return;
  if (w.has_element.back())
    w.out += ',';
  w.has_element.back() = true;
  if (w.multiline.back())
    json_newline(w);
  else if (w.out.back() == ',')
    w.out += ' ';
}

void json_string_body(Json& w, const std::string& s) {
  w.out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': w.out += "\\\""; break;
      case '\\': w.out += "\\\\"; break;
      case '\n': w.out += "\\n"; break;
      case '\r': w.out += "\\r"; break;
      case '\t': w.out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x80) {
          // Control characters escaped; bytes beyond ASCII (a Latin-1 file
          // name or CIF field) would make the document invalid UTF-8, so
          // each is written as the code point of the same number.
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          w.out += buf;
        } else {
          w.out += (char)c;
        }
    }
  }
  w.out += '"';
}

void json_key(Json& w, const char* key) {
  json_element(w);
  json_string_body(w, key);
  w.out += ": ";
  w.after_key = true;
}

void json_raw(Json& w, const std::string& text) {
  json_element(w);
  w.out += text;
}

void json_string(Json& w, const std::string& s) {
  json_element(w);
  json_string_body(w, s);
}

void json_number(Json& w, double v) {
  if (!std::isfinite(v)) {
    json_raw(w, "null");
    return;
  }
  char buf[32];
  // 12 significant digits: below a micro-eV for any energy printed, and
  // every value the text outputs print at 6 decimals rounds to them.
  snprintf(buf, sizeof buf, "%.12g", v == 0 ? 0.0 : v);
  json_raw(w, buf);
}

void json_int(Json& w, long long v) { json_raw(w, std::to_string(v)); }

void json_bool(Json& w, bool v) { json_raw(w, v ? "true" : "false"); }

// An energy of percolation: null for a dimension without it.
void json_energy_or_null(Json& w, double v) {
  if (!(v < NO_PERCOLATION))
    json_raw(w, "null");
  else
    json_number(w, v);
}

// Objects and arrays, `multiline` putting each element on a line of its own.
void json_open(Json& w, char bracket, bool multiline) {
  json_element(w);
  w.out += bracket;
  w.has_element.push_back(false);
  w.multiline.push_back(multiline);
}

void json_close(Json& w, char bracket) {
  const bool had = w.has_element.back(), multi = w.multiline.back();
  w.has_element.pop_back();
  w.multiline.pop_back();
  if (had && multi)
    json_newline(w);
  w.out += bracket;
}

void json_numbers(Json& w, const double* v, int n) {
  json_open(w, '[', false);
  for (int q = 0; q < n; q++)
    json_number(w, v[q]);
  json_close(w, ']');
}

void json_ints(Json& w, const int* v, int n) {
  json_open(w, '[', false);
  for (int q = 0; q < n; q++)
    json_int(w, v[q]);
  json_close(w, ']');
}

// A member of an object: its key, then its value.
void json_int(Json& w, const char* key, long long v) {
  json_key(w, key);
  json_int(w, v);
}

void json_number(Json& w, const char* key, double v) {
  json_key(w, key);
  json_number(w, v);
}

void json_string(Json& w, const char* key, const std::string& s) {
  json_key(w, key);
  json_string(w, s);
}

void json_bool(Json& w, const char* key, bool v) {
  json_key(w, key);
  json_bool(w, v);
}

void json_energy_or_null(Json& w, const char* key, double v) {
  json_key(w, key);
  json_energy_or_null(w, v);
}

// ===========================================================================
// Percolating directions
// ===========================================================================

bool is_zero(const OSTREL_path_triple_index& v) { return !v.x && !v.y && !v.z; }

// The cluster's directions as the threshold summary prints them: a 1D
// cluster by its axis [u,v,w], a 2D cluster by the Miller indices of its
// plane (the cross product of its two spanning translations in fractional
// terms, signed so that positive entries prevail).
OSTREL_percolation_direction describe(const OSTREL_cube* cube, const OSTREL_cluster& C,
                                      int dimension) {
  OSTREL_percolation_direction d;
  d.dimension = dimension;
  d.cluster_dimension = C.dimension;
  d.ribbon = C.ribbon;
  d.text = std::to_string(C.dimension) + "D";
  if (C.ribbon)
    d.text += " ribbon";
  for (const OSTREL_path_triple_index& v : C.vector) {
    if (is_zero(v))
      continue;
    d.vectors.push_back({(int)lround((double)v.x / cube->a_grid),
                         (int)lround((double)v.y / cube->b_grid),
                         (int)lround((double)v.z / cube->c_grid)});
  }
  if (C.dimension == 1) {
    for (const std::vector<int>& v : d.vectors)
      d.text += " [" + std::to_string(v[0]) + "," + std::to_string(v[1]) + "," +
                std::to_string(v[2]) + "]";
  } else if (C.dimension == 2) {
    double u[3] = {(double)C.vector[0].x / cube->a_grid, (double)C.vector[0].y / cube->b_grid,
                   (double)C.vector[0].z / cube->c_grid};
    double v[3] = {(double)C.vector[1].x / cube->a_grid, (double)C.vector[1].y / cube->b_grid,
                   (double)C.vector[1].z / cube->c_grid};
    double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                   u[0] * v[1] - u[1] * v[0]};
    int pos = 0, neg = 0;
    for (double& c : n) {
      if (fabs(c) < 1e-7) c = 0;
      pos += c > 0;
      neg += c < 0;
    }
    for (int q = 0; q < 3; q++)
      d.plane[q] = (int)lround(pos < neg ? -n[q] : n[q]);
    d.text += " (" + std::to_string(d.plane[0]) + "," + std::to_string(d.plane[1]) + "," +
              std::to_string(d.plane[2]) + ")";
  }
  return d;
}

}  // namespace

int OSTREL_find_percolation_directions(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                       std::vector<OSTREL_percolation_direction>* out) {
  return OSTREL_catch_memory("OSTREL_find_percolation_directions", [&] {
    out->clear();
    const double ea[4] = {0, lib->oneD, lib->twoD, lib->threeD};
    // The distinct saddle energies of the hops, ascending: the thresholds
    // at which the network changes.
    std::vector<double> saddles;
    for (int q = 0; q < lib->total_allpath; q++)
      if (lib->allpath[q].saddle_energy <= NO_PERCOLATION)
        saddles.push_back(lib->allpath[q].saddle_energy);
    std::sort(saddles.begin(), saddles.end());
    std::vector<double> thresholds;
    for (double e : saddles)
      if (thresholds.empty() || e > thresholds.back() + 1e-7)
        thresholds.push_back(e);
    OSTREL_percolation_direction found[4];
    bool have[4] = {false, false, false, false};
    int wanted = 0;
    for (int d = 1; d <= 3; d++)
      wanted += ea[d] < NO_PERCOLATION;
    OSTREL_cluster_list list;
    OSTREL_network_scratch scratch;
    for (size_t t = 0; t < thresholds.size() && wanted > 0; t++) {
      if (OSTREL_analyze_network_at_energy(cube, lib, &list, thresholds[t], &scratch)) {
        fprintf(stderr, "Error: OSTREL_analyze_network_at_energy() returns non-zero.\n");
        return 1;
      }
      for (int c = 0; c < list.total; c++) {
        const OSTREL_cluster& C = list.clust[c];
        const double span = scaled(cube, C.maximum) - scaled(cube, C.minimum);
        for (int d = 1; d <= std::min(C.dimension, 3); d++)
          if (!have[d] && ea[d] < NO_PERCOLATION && fabs(span - ea[d]) < 1e-9) {
            found[d] = describe(cube, C, d);
            have[d] = true;
            wanted--;
          }
      }
    }
    for (int d = 1; d <= 3; d++)
      if (have[d])
        out->push_back(found[d]);
    return 0;
  });
}

std::string OSTREL_join_directions(const std::vector<OSTREL_percolation_direction>& dirs) {
  std::vector<std::string> seen;
  std::string text;
  for (const OSTREL_percolation_direction& d : dirs) {
    if (std::find(seen.begin(), seen.end(), d.text) != seen.end())
      continue;
    seen.push_back(d.text);
    text += (text.empty() ? "" : "; ") + d.text;
  }
  return text;
}

// ===========================================================================
// JSON summary
// ===========================================================================

namespace {

// Fractional position of a stationary point as the summaries print it: the
// mean of the plateau of equal energy around its grid point (the grid point
// alone when the plateau is too large to list).
void plateau_fraction(const OSTREL_cube* cube, int x, int y, int z, double f[3]) {
  OSTREL_same_energy_grid_list plateau;
  if (OSTREL_find_same_energy_neighbours(cube, &plateau, x, y, z) < 0 || plateau.total < 1) {
    plateau.total = 1;
    plateau.item.assign(1, OSTREL_cube_triple_index{x, y, z});
  }
  f[0] = f[1] = f[2] = 0;
  for (int p = 0; p < plateau.total; p++) {
    f[0] += (double)plateau.item[p].x / cube->a_grid;
    f[1] += (double)plateau.item[p].y / cube->b_grid;
    f[2] += (double)plateau.item[p].z / cube->c_grid;
  }
  for (int q = 0; q < 3; q++)
    f[q] /= plateau.total;
}

void write_position(Json& w, const OSTREL_cube* cube, int x, int y, int z) {
  double f[3], r[3];
  plateau_fraction(cube, x, y, z, f);
  grid_to_cartesian(cube, f[0] * cube->a_grid, f[1] * cube->b_grid, f[2] * cube->c_grid, r);
  const int g[3] = {x, y, z};
  json_key(w, "grid");
  json_ints(w, g, 3);
  json_key(w, "fractional");
  json_numbers(w, f, 3);
  json_key(w, "cartesian");
  json_numbers(w, r, 3);
}

template <class P>
std::vector<int> count_by_type(const std::vector<P>& points, int total, int types) {
  std::vector<int> n(types + 1, 0);
  for (int q = 0; q < total; q++)
    if (points[q].type >= 1 && points[q].type <= types)
      n[points[q].type]++;
  return n;
}

void write_program(Json& w, const OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  json_int(w, "schema_version", OSTREL_JSON_SCHEMA_VERSION);
  json_string(w, "program", "ostrel");
  json_string(w, "version", OSTREL_VERSION);
  json_key(w, "revision");
  if (*BV_REVISION) json_string(w, BV_REVISION); else json_raw(w, "null");
  json_key(w, "units");
  json_open(w, '{', true);
  json_string(w, "energy", "eV, on the energy scale, above the landscape's global minimum");
  json_string(w, "length", "A");
  json_string(w, "fractional", "fractions of the cube's cell vectors");
  json_string(w, "grid", "grid points of the cube, from 0");
  json_close(w, '}');
  json_key(w, "input");
  json_open(w, '{', true);
  json_string(w, "cube", input->cube_file);
  json_key(w, "cif");
  if (input->cif) json_string(w, input->cif_file); else json_raw(w, "null");
  json_key(w, "mobile_ion");
  if (input->ion) json_string(w, run->cif.probe_type); else json_raw(w, "null");
  json_string(w, "energy_scale", OSTREL_energy_scale_expression(input, run->cif.probe_type));
  json_key(w, "max_energy");
  if (input->max > 0) json_number(w, input->max); else json_raw(w, "null");
  json_close(w, '}');
}

void write_cell(Json& w, const OSTREL_run* run) {
  const OSTREL_cube* cube = &run->cube;
  json_key(w, "grid");
  json_open(w, '{', true);
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  json_key(w, "counts");
  json_ints(w, n, 3);
  json_key(w, "cell_vectors");
  json_open(w, '[', false);
  const double step[3][3] = {{cube->a_x, cube->a_y, cube->a_z},
                             {cube->b_x, cube->b_y, cube->b_z},
                             {cube->c_x, cube->c_y, cube->c_z}};
  for (int ax = 0; ax < 3; ax++) {
    const double v[3] = {step[ax][0] * n[ax], step[ax][1] * n[ax], step[ax][2] * n[ax]};
    json_numbers(w, v, 3);
  }
  json_close(w, ']');
  json_close(w, '}');
  if (!run->input->cif)
    return;
  const OSTREL_cif& cif = run->cif;
  json_key(w, "structure");
  json_open(w, '{', true);
  json_string(w, "icsd", cif.ICSD);
  json_string(w, "formula", cif.chem_form_sum);
  json_string(w, "space_group", cif.spacegroup_HM);
  json_key(w, "cell");
  const double cell[6] = {cif.a, cif.b, cif.c, cif.alpha, cif.beta, cif.gamma};
  json_numbers(w, cell, 6);
  json_close(w, '}');
}

void write_energies(Json& w, const OSTREL_run* run,
                    const std::vector<OSTREL_percolation_direction>& dirs) {
  const OSTREL_pathlib& lib = run->lib;
  const char* name[3] = {"1D", "2D", "3D"};
  const double ea[3] = {lib.oneD, lib.twoD, lib.threeD};
  const double th[3] = {lib.oneD_threshold, lib.twoD_threshold, lib.threeD_threshold};
  json_key(w, "activation_energies");
  json_open(w, '{', false);
  for (int d = 0; d < 3; d++)
    json_energy_or_null(w, name[d], ea[d]);
  json_close(w, '}');
  json_key(w, "thresholds_from_global_minimum");
  json_open(w, '{', false);
  for (int d = 0; d < 3; d++)
    json_energy_or_null(w, name[d], th[d]);
  json_close(w, '}');
  json_string(w, "directions", OSTREL_join_directions(dirs));
  json_key(w, "percolation");
  json_open(w, '[', true);
  for (const OSTREL_percolation_direction& d : dirs) {
    json_open(w, '{', false);
    json_int(w, "dimension", d.dimension);
    json_int(w, "cluster_dimension", d.cluster_dimension);
    json_bool(w, "ribbon", d.ribbon);
    json_key(w, "vectors");
    json_open(w, '[', false);
    for (const std::vector<int>& v : d.vectors)
      json_ints(w, v.data(), 3);
    json_close(w, ']');
    json_key(w, "plane");
    if (d.cluster_dimension == 2) json_ints(w, d.plane, 3); else json_raw(w, "null");
    json_string(w, "text", d.text);
    json_close(w, '}');
  }
  json_close(w, ']');
}

// The energy window searched for sites and saddles, and what a dimension
// without an activation energy means under it: "above the window" when the
// landscape rises above the window (the hops that would open it were never
// looked for), "none" when the window held the whole landscape and still no
// network percolated in that dimension.
void write_window(Json& w, const OSTREL_run* run) {
  const OSTREL_cube* cube = &run->cube;
  const OSTREL_pathlib& lib = run->lib;
  double top = 0;
  for (double v : cube->energy.data)
    top = std::max(top, v);
  const bool covers = top <= cube->max_energy + 1e-7;
  json_key(w, "window");
  json_open(w, '{', false);
  json_number(w, "max_energy", scaled(cube, cube->max_energy));
  json_number(w, "landscape_max_energy", scaled(cube, top));
  json_bool(w, "covers_landscape", covers);
  json_close(w, '}');
  const char* name[3] = {"1D", "2D", "3D"};
  const double ea[3] = {lib.oneD, lib.twoD, lib.threeD};
  json_key(w, "percolation_status");
  json_open(w, '{', false);
  for (int d = 0; d < 3; d++)
    json_string(w, name[d],
                ea[d] < NO_PERCOLATION ? "percolates" : covers ? "none" : "above the window");
  json_close(w, '}');
}

void write_sites(Json& w, const OSTREL_cube* cube) {
  const std::vector<int> mul =
      count_by_type(cube->minima, cube->total_minima, cube->total_minima_type);
  json_key(w, "site_types");
  json_open(w, '[', true);
  for (int t = 1; t <= cube->total_minima_type; t++) {
    const OSTREL_minima& rep = cube->minima[cube->minima_type_index[t]];
    json_open(w, '{', false);
    json_int(w, "type", t);
    json_string(w, "label", site_label(cube, t));
    json_number(w, "energy", scaled(cube, rep.e));
    json_int(w, "multiplicity", mul[t]);
    json_bool(w, "interstitial", rep.ins_label > 0);
    json_close(w, '}');
  }
  json_close(w, ']');
  json_key(w, "sites");
  json_open(w, '[', true);
  for (int q = 0; q < cube->total_minima; q++) {
    const OSTREL_minima& m = cube->minima[q];
    json_open(w, '{', false);
    json_int(w, "index", q);
    json_int(w, "type", m.type);
    json_string(w, "label", site_label(cube, m.type));
    json_number(w, "energy", scaled(cube, m.e));
    write_position(w, cube, m.x, m.y, m.z);
    json_key(w, "multiplicity");
    if (m.type >= 1 && m.type <= cube->total_minima_type) json_int(w, mul[m.type]);
    else json_raw(w, "null");
    json_key(w, "ions");
    json_open(w, '[', false);
    for (int n = 0; n < m.total_ions; n++) {
      if (!(m.ion[n].occ > 0))
        continue;
      json_open(w, '{', false);
      json_string(w, "label", m.ion[n].label);
      json_number(w, "occupancy", m.ion[n].occ);
      json_close(w, '}');
    }
    json_close(w, ']');
    json_close(w, '}');
  }
  json_close(w, ']');
}

void write_saddles(Json& w, const OSTREL_cube* cube) {
  const std::vector<int> mul =
      count_by_type(cube->saddle, cube->total_saddle, cube->total_saddle_type);
  json_key(w, "saddles");
  json_open(w, '[', true);
  for (int q = 0; q < cube->total_saddle; q++) {
    const OSTREL_saddle& s = cube->saddle[q];
    json_open(w, '{', false);
    json_int(w, "index", q);
    json_int(w, "type", s.type);
    json_string(w, "label", "s" + std::to_string(s.type));
    json_number(w, "energy", scaled(cube, s.e));
    write_position(w, cube, s.x, s.y, s.z);
    json_key(w, "multiplicity");
    if (s.type >= 1 && s.type <= cube->total_saddle_type) json_int(w, mul[s.type]);
    else json_raw(w, "null");
    json_close(w, '}');
  }
  json_close(w, ']');
}

// The symmetry-distinct hops of the library with their number of copies in
// the cell; the periodic image is the cell of the end site relative to the
// cell of the start site (both placed around the saddle's cell).
void write_hops(Json& w, const OSTREL_cube* cube, const OSTREL_pathlib& lib) {
  std::vector<int> copies(lib.total_path, 0);
  for (int q = 0; q < lib.total_allpath; q++) {
    const OSTREL_allpath& a = lib.allpath[q];
    const int p = OSTREL_isin_pathlib(&lib, a.start_type, a.end_type, a.saddle_type);
    if (p >= 0 && p < lib.total_path)
      copies[p]++;
  }
  json_key(w, "hops");
  json_open(w, '[', true);
  for (int p = 0; p < lib.total_path; p++) {
    const OSTREL_path& P = lib.path[p];
    const double from = scaled(cube, P.start_energy), to = scaled(cube, P.end_energy),
                 top = scaled(cube, P.saddle_energy);
    json_open(w, '{', false);
    json_int(w, "hop", p + 1);
    json_int(w, "from_site", P.start);
    json_string(w, "from_label", site_label(cube, P.start_type));
    json_int(w, "to_site", P.end);
    json_string(w, "to_label", site_label(cube, P.end_type));
    json_int(w, "saddle", P.saddle);
    json_string(w, "saddle_label", "s" + std::to_string(P.saddle_type));
    json_number(w, "from_energy", from);
    json_number(w, "to_energy", to);
    json_number(w, "saddle_energy", top);
    json_number(w, "barrier", top - std::min(from, to));
    json_number(w, "barrier_forward", top - from);
    json_number(w, "barrier_backward", top - to);
    json_number(w, "length", P.length);
    json_number(w, "straight_length", P.straightline_length);
    const int from_cell[3] = {P.start_p, P.start_q, P.start_r};
    const int to_cell[3] = {P.end_p, P.end_q, P.end_r};
    const int image[3] = {P.end_p - P.start_p, P.end_q - P.start_q, P.end_r - P.start_r};
    json_key(w, "from_cell");
    json_ints(w, from_cell, 3);
    json_key(w, "to_cell");
    json_ints(w, to_cell, 3);
    json_key(w, "image");
    json_ints(w, image, 3);
    json_int(w, "dimension", P.color);
    json_int(w, "copies", copies[p]);
    json_close(w, '}');
  }
  json_close(w, ']');
}

int compose_json(const OSTREL_run* run, std::string* text) {
  const OSTREL_cube* cube = &run->cube;
  std::vector<OSTREL_percolation_direction> dirs;
  if (OSTREL_find_percolation_directions(cube, &run->lib, &dirs)) {
    fprintf(stderr, "Error: OSTREL_find_percolation_directions() returns non-zero.\n");
    return 1;
  }
  Json w;
  json_open(w, '{', true);
  write_program(w, run);
  write_cell(w, run);
  write_energies(w, run, dirs);
  write_window(w, run);
  json_key(w, "counts");
  json_open(w, '{', false);
  json_int(w, "sites", cube->total_minima);
  json_int(w, "site_types", cube->total_minima_type);
  json_int(w, "saddles", cube->total_saddle);
  json_int(w, "saddle_types", cube->total_saddle_type);
  json_int(w, "hops", run->lib.total_path);
  json_int(w, "hop_copies", run->lib.total_allpath);
  json_close(w, '}');
  write_sites(w, cube);
  write_saddles(w, cube);
  write_hops(w, cube, run->lib);
  json_close(w, '}');
  w.out += '\n';
  *text = std::move(w.out);
  return 0;
}

}  // namespace

int OSTREL_write_json_summary(const OSTREL_run* run, const char* filename) {
  std::string text;
  if (OSTREL_catch_memory("OSTREL_write_json_summary", [&] { return compose_json(run, &text); }))
    return 1;
  const OSTREL_write_status st = OSTREL_write_file(filename, [&](FILE* f) {
    return fwrite(text.data(), 1, text.size(), f) == text.size() ? 0 : 1;
  });
  if (st != OSTREL_WRITE_DONE) {
    fprintf(stderr, "Error: Unable to write to %s\n", filename);
    return 1;
  }
  return 0;
}

// ===========================================================================
// Tidy pathway table
// ===========================================================================

namespace {

// Minima and saddles by wrapped grid point.
struct PointLookup {
  std::unordered_map<long long, int> minimum, saddle;
};

long long wrapped_key(const OSTREL_cube* cube, int x, int y, int z) {
  OSTREL_shift_index_xyz(cube, &x, &y, &z);
  return (long long)cube->energy.index(x, y, z);
}

PointLookup make_lookup(const OSTREL_cube* cube) {
  PointLookup at;
  for (int q = 0; q < cube->total_minima; q++) {
    const OSTREL_minima& m = cube->minima[q];
    at.minimum.emplace(wrapped_key(cube, m.x, m.y, m.z), q);
  }
  for (int q = 0; q < cube->total_saddle; q++) {
    const OSTREL_saddle& s = cube->saddle[q];
    at.saddle.emplace(wrapped_key(cube, s.x, s.y, s.z), q);
  }
  return at;
}

// Standard output and error silenced for the length of one call (restored
// by the destructor); a stream that cannot be redirected stays as it is.
struct Quiet {
  int saved[2] = {-1, -1};
  Quiet() {
    fflush(stdout);
    fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
      return;
    for (int fd = 1; fd <= 2; fd++) {
      saved[fd - 1] = dup(fd);
      if (saved[fd - 1] >= 0 && dup2(null, fd) < 0) {
        close(saved[fd - 1]);
        saved[fd - 1] = -1;
      }
    }
    close(null);
  }
  ~Quiet() {
    fflush(stdout);
    fflush(stderr);
    for (int fd = 1; fd <= 2; fd++)
      if (saved[fd - 1] >= 0) {
        dup2(saved[fd - 1], fd);
        close(saved[fd - 1]);
      }
  }
};

// The grid path of a pathway, walked again as OSTREL_rp.csv was walked just
// before: whatever the walk has to say (a hop that cannot be concatenated)
// has been said there, and is not repeated.
int walk_again(const OSTREL_cube* cube, const OSTREL_pathlib* lib, OSTREL_grid_path* out,
               const OSTREL_connect_list* hops) {
  Quiet quiet;
  return OSTREL_concatenate_path(cube, lib, out, hops);
}

void print_point(const OSTREL_cube* cube, const PointLookup& at, FILE* stream, int pathway,
                 int hop, int point, const OSTREL_path_triple_index& g, double distance) {
  double r[3];
  grid_to_cartesian(cube, g.x, g.y, g.z, r);
  const long long key = wrapped_key(cube, g.x, g.y, g.z);
  std::string label;
  auto m = at.minimum.find(key);
  if (m != at.minimum.end()) {
    label = site_label(cube, cube->minima[m->second].type);
  } else {
    auto s = at.saddle.find(key);
    if (s != at.saddle.end())
      label = "s" + std::to_string(cube->saddle[s->second].type);
  }
  fprintf(stream, "%d,%d,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%s\n", pathway, hop, point, r[0], r[1],
          r[2], scaled(cube, OSTREL_cube_energy(cube, g.x, g.y, g.z)), distance, label.c_str());
}

}  // namespace

int OSTREL_print_tidy_pathway(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                              const OSTREL_reaction_pathway_overall* rp, FILE* stream) {
  return OSTREL_catch_memory("OSTREL_print_tidy_pathway", [&] {
    fprintf(stream, "pathway,hop,point,x_A,y_A,z_A,energy_eV,distance_A,label\n");
    const PointLookup at = make_lookup(cube);
    // The pathways are walked as for OSTREL_rp.csv, on a copy of the library
    // whose path types carry their own index as plotting colour: the
    // concatenation marks the first point of every hop with it (a joint
    // shared by two hops carries the later one's), which is where the hops
    // are cut.
    OSTREL_pathlib marked = *lib;
    for (int p = 0; p < marked.total_path; p++)
      marked.path[p].color = p;
    for (int i = 0; i < rp->total; i++) {
      const OSTREL_reaction_pathway& r = rp->rp[i];
      OSTREL_connect_list hops;
      hops.item = r.path;
      hops.total = r.total_path;
      OSTREL_grid_path gp;
      // A pathway that cannot be walked ends the table there, as it ends
      // OSTREL_rp.csv (whose walk has said why).
      if (walk_again(cube, &marked, &gp, &hops))
        break;
      std::vector<int> starts;
      for (int q = 0; q < gp.length; q++)
        if (gp.color[q] >= 0)
          starts.push_back(q);
      int next_ref = 0;
      for (size_t h = 0; h < starts.size(); h++) {
        const int first = starts[h];
        // The hop's number in the pathway: hops that could not be walked
        // left no points and are passed over.
        while (next_ref < r.total_path && abs(r.path[next_ref]) - 1 != gp.color[first])
          next_ref++;
        const int number = ++next_ref;
        // Up to the joint with the next hop, or, where the next hop starts
        // at a site of its own (a jump), up to the site before it.
        int last = gp.length - 1;
        if (h + 1 < starts.size()) {
          last = starts[h + 1];
          const OSTREL_path_triple_index& p = gp.grid[last - 1];
          if (last - 1 > first && at.minimum.count(wrapped_key(cube, p.x, p.y, p.z)))
            last--;
        }
        double distance = 0;
        for (int q = first; q <= last; q++) {
          if (q > first) {
            double a[3], b[3];
            grid_to_cartesian(cube, gp.grid[q - 1].x, gp.grid[q - 1].y, gp.grid[q - 1].z, a);
            grid_to_cartesian(cube, gp.grid[q].x, gp.grid[q].y, gp.grid[q].z, b);
            distance += sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                             (a[2] - b[2]) * (a[2] - b[2]));
          }
          print_point(cube, at, stream, i + 1, number, q - first + 1, gp.grid[q], distance);
        }
      }
    }
    fflush(stream);
    return 0;
  });
}

int OSTREL_write_tidy_pathway(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                              const OSTREL_reaction_pathway_overall* rp) {
  const std::string name = OSTREL_output_path(OSTREL_TIDY_PATHWAY_FILE);
  const OSTREL_write_status st = OSTREL_write_file(
      name.c_str(), [&](FILE* f) { return OSTREL_print_tidy_pathway(cube, lib, rp, f); });
  if (st != OSTREL_WRITE_DONE) {
    if (st == OSTREL_WRITE_UNWRITABLE)
      fprintf(stderr, "Error: Unable to write to %s\n", OSTREL_TIDY_PATHWAY_FILE);
    return 1;
  }
  return 0;
}

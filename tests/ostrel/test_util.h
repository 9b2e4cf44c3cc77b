// Helpers of the ostrel tests: scratch files, cube files written in the format
// velmora writes (one value per line, CR LF), symmetry operations of a few
// space groups built from their generators, and landscapes with exactly
// symmetric values (each value computed once per orbit and copied, as the
// landscape generator does).
#pragma once

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace ostrel_test {

constexpr double ANGSTROM_TO_BOHR = 1.889725989;

// A scratch directory per test process, removed when the process ends.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char tmpl[] = "/tmp/ostrel_test_XXXXXX";
    const char* d = mkdtemp(tmpl);
    path = d ? d : "";
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

inline std::string scratch_dir() {
  static ScratchDir dir;
  return dir.path.empty() ? std::string("/tmp") : dir.path;
}

inline std::string scratch(const std::string& name) { return scratch_dir() + "/" + name; }

inline void write_text(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

inline std::string read_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  std::string s;
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

inline std::string data_path(const std::string& name) {
  return std::string(BV_TEST_DATA_DIR) + "/ostrel/" + name;
}

// A symmetry operation on fractional coordinates: x' = R x + t.
struct Op {
  int r[3][3];
  double t[3];
};

inline Op identity_op() {
  Op o{};
  for (int i = 0; i < 3; i++) o.r[i][i] = 1;
  return o;
}

inline Op compose(const Op& a, const Op& b) {  // a after b
  Op o{};
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 3; j++)
      for (int k = 0; k < 3; k++) o.r[i][j] += a.r[i][k] * b.r[k][j];
    o.t[i] = a.t[i];
    for (int k = 0; k < 3; k++) o.t[i] += a.r[i][k] * b.t[k];
    o.t[i] -= floor(o.t[i] + 1e-9);
  }
  return o;
}

inline bool same_op(const Op& a, const Op& b) {
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 3; j++)
      if (a.r[i][j] != b.r[i][j]) return false;
    double d = a.t[i] - b.t[i];
    if (fabs(d - std::round(d)) > 1e-9) return false;
  }
  return true;
}

// Closes a set of generators into the group.
inline std::vector<Op> close_group(const std::vector<Op>& gens) {
  std::vector<Op> g{identity_op()};
  for (size_t i = 0; i < g.size(); i++)
    for (const Op& h : gens) {
      Op n = compose(h, g[i]);
      bool known = false;
      for (const Op& k : g) known = known || same_op(k, n);
      if (!known) g.push_back(n);
    }
  return g;
}

inline Op make_op(std::initializer_list<int> r, double t0 = 0, double t1 = 0, double t2 = 0) {
  Op o{};
  auto it = r.begin();
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) o.r[i][j] = *it++;
  o.t[0] = t0;
  o.t[1] = t1;
  o.t[2] = t2;
  return o;
}

// P m -3 m: the 48 signed permutation matrices.
inline std::vector<Op> group_Pm3m() {
  return close_group({make_op({0, 0, 1, 1, 0, 0, 0, 1, 0}),     // 3-fold along [111]
                      make_op({0, -1, 0, 1, 0, 0, 0, 0, 1}),    // 4-fold along c
                      make_op({-1, 0, 0, 0, -1, 0, 0, 0, -1})}); // inversion
}

inline std::vector<Op> group_Fm3m() {
  std::vector<Op> g = group_Pm3m();
  g.push_back(make_op({1, 0, 0, 0, 1, 0, 0, 0, 1}, 0, 0.5, 0.5));
  g.push_back(make_op({1, 0, 0, 0, 1, 0, 0, 0, 1}, 0.5, 0, 0.5));
  return close_group(g);
}

// R -3 m in hexagonal axes (LiCoO2): 3-fold, 2-fold, inversion and the
// rhombohedral centring (2/3, 1/3, 1/3).
inline std::vector<Op> group_R3m_hex() {
  return close_group({make_op({0, -1, 0, 1, -1, 0, 0, 0, 1}),
                      make_op({0, 1, 0, 1, 0, 0, 0, 0, -1}),
                      make_op({-1, 0, 0, 0, -1, 0, 0, 0, -1}),
                      make_op({1, 0, 0, 0, 1, 0, 0, 0, 1}, 2.0 / 3, 1.0 / 3, 1.0 / 3)});
}

inline std::string fraction_text(double t) {
  const char* names[] = {"", "1/6", "1/4", "1/3", "1/2", "2/3", "3/4", "5/6"};
  const double vals[] = {0, 1.0 / 6, 0.25, 1.0 / 3, 0.5, 2.0 / 3, 0.75, 5.0 / 6};
  for (int i = 0; i < 8; i++)
    if (fabs(t - vals[i]) < 1e-9) return names[i];
  return "?";
}

// The operation as text, e.g. -y,x-y,z+1/3.
inline std::string op_text(const Op& o) {
  std::string out;
  const char* var = "xyz";
  for (int i = 0; i < 3; i++) {
    std::string comp;
    for (int j = 0; j < 3; j++) {
      if (o.r[i][j] == 0) continue;
      if (o.r[i][j] < 0) comp += "-";
      else if (!comp.empty()) comp += "+";
      comp += var[j];
    }
    std::string t = fraction_text(o.t[i]);
    if (!t.empty()) comp += "+" + t;
    out += (i ? "," : "") + comp;
  }
  return out;
}

struct Atom {
  std::string label, type;
  double x, y, z, occ;
};

// A CIF with an operation loop (quoted, with spaces after the commas as many
// files have them) and a type loop.
inline std::string make_cif(double a, double b, double c, double al, double be, double ga,
                            const std::vector<Op>& ops, const std::vector<Atom>& atoms,
                            const std::vector<std::pair<std::string, double>>& types) {
  std::string s = "data_test\n";
  char buf[256];
  snprintf(buf, sizeof buf,
           "_cell_length_a %.5f\n_cell_length_b %.5f\n_cell_length_c %.5f\n"
           "_cell_angle_alpha %.3f\n_cell_angle_beta %.3f\n_cell_angle_gamma %.3f\n",
           a, b, c, al, be, ga);
  s += buf;
  s += "loop_\n_symmetry_equiv_pos_site_id\n_symmetry_equiv_pos_as_xyz\n";
  int n = 1;
  for (const Op& o : ops) {
    std::string t = op_text(o), spaced;
    for (char ch : t) {
      spaced += ch;
      if (ch == ',') spaced += ' ';
    }
    snprintf(buf, sizeof buf, "%d '%s'\n", n++, spaced.c_str());
    s += buf;
  }
  s += "loop_\n_atom_type_symbol\n_atom_type_oxidation_number\n";
  for (auto& t : types) {
    snprintf(buf, sizeof buf, "%s %g\n", t.first.c_str(), t.second);
    s += buf;
  }
  s += "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
       "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n";
  for (const Atom& at : atoms) {
    snprintf(buf, sizeof buf, "%s %s %.5f %.5f %.5f %.3f\n", at.label.c_str(), at.type.c_str(),
             at.x, at.y, at.z, at.occ);
    s += buf;
  }
  return s;
}

struct Grid {
  int n[3];
  double step[3][3];  // Å, rows = step vectors
  std::vector<double> v;
  double& at(int i, int j, int k) { return v[((size_t)i * n[1] + j) * n[2] + k]; }
};

// Cell vectors (rows, Å) from lengths and angles in degrees.
inline void cell_vectors(double a, double b, double c, double al, double be, double ga,
                         double out[3][3]) {
  const double d = M_PI / 180;
  double ca = cos(al * d), cb = cos(be * d), cg = cos(ga * d), sg = sin(ga * d);
  out[0][0] = a; out[0][1] = 0; out[0][2] = 0;
  out[1][0] = b * cg; out[1][1] = b * sg; out[1][2] = 0;
  out[2][0] = c * cb;
  out[2][1] = c * (ca - cb * cg) / sg;
  out[2][2] = sqrt(c * c - out[2][0] * out[2][0] - out[2][1] * out[2][1]);
}

// Grid of f(fractional position) with every orbit of `ops` given the value of
// its first point.
inline Grid symmetric_grid(int na, int nb, int nc, const double cell[3][3],
                           const std::vector<Op>& ops,
                           const std::function<double(double, double, double)>& f) {
  Grid g;
  g.n[0] = na; g.n[1] = nb; g.n[2] = nc;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) g.step[i][j] = cell[i][j] / g.n[i];
  g.v.assign((size_t)na * nb * nc, NAN);
  for (int i = 0; i < na; i++)
    for (int j = 0; j < nb; j++)
      for (int k = 0; k < nc; k++) {
        if (!std::isnan(g.at(i, j, k))) continue;
        double e = f((double)i / na, (double)j / nb, (double)k / nc);
        for (const Op& o : ops) {
          int p[3] = {i, j, k};
          int q[3];
          for (int r = 0; r < 3; r++) {
            long long s = 0;
            for (int c = 0; c < 3; c++) s += (long long)o.r[r][c] * p[c] * g.n[r] / g.n[c];
            s += std::lround(o.t[r] * g.n[r]);
            q[r] = (int)(((s % g.n[r]) + g.n[r]) % g.n[r]);
          }
          double& t = g.at(q[0], q[1], q[2]);
          if (std::isnan(t)) t = e;
        }
      }
  return g;
}

// Writes the grid as a cube file: periodic (counts n) or with the boundary
// planes repeated (counts n + 1).
inline void write_cube(const std::string& path, Grid& g, bool periodic = true,
                       int natoms = 0, const char* value_format = " %12.6f\r\n") {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fprintf(f, "test\r\nConducting = Li1+ ; sf = 0.700000;\r\n");
  fprintf(f, "%4d %11.6f %11.6f %11.6f\r\n", natoms, 0.0, 0.0, 0.0);
  int extra = periodic ? 0 : 1;
  for (int ax = 0; ax < 3; ax++)
    fprintf(f, "%4d %11.6f %11.6f %11.6f\r\n", g.n[ax] + extra,
            g.step[ax][0] * ANGSTROM_TO_BOHR, g.step[ax][1] * ANGSTROM_TO_BOHR,
            g.step[ax][2] * ANGSTROM_TO_BOHR);
  for (int a = 0; a < natoms; a++)
    fprintf(f, "%4d %11.6f %11.6f %11.6f %11.6f\r\n", 3, 0.5, 0.0, 0.0, 0.0);
  for (int i = 0; i < g.n[0] + extra; i++)
    for (int j = 0; j < g.n[1] + extra; j++)
      for (int k = 0; k < g.n[2] + extra; k++)
        fprintf(f, value_format, g.at(i % g.n[0], j % g.n[1], k % g.n[2]));
  fclose(f);
}

// Sum of Gaussian wells (depth > 0 attracts, < 0 repels) at the images of
// given fractional positions, with Cartesian distances in the cell.
struct Well {
  double x, y, z, depth, width;
};

inline std::function<double(double, double, double)> wells(const double cell[3][3],
                                                            std::vector<Well> list) {
  double m[3][3];
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) m[i][j] = cell[i][j];
  return [m, list](double x, double y, double z) {
    double e = 0;
    for (const Well& w : list)
      for (int a = -1; a <= 1; a++)
        for (int b = -1; b <= 1; b++)
          for (int c = -1; c <= 1; c++) {
            double f[3] = {x - w.x + a, y - w.y + b, z - w.z + c};
            double r[3] = {0, 0, 0};
            for (int i = 0; i < 3; i++)
              for (int j = 0; j < 3; j++) r[j] += f[i] * m[i][j];
            double d2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
            e -= w.depth * exp(-d2 / (2 * w.width * w.width));
          }
    return e;
  };
}

// Images of a fractional position under `ops`, distinct within 1e-6.
inline std::vector<std::array<double, 3>> orbit(const std::vector<Op>& ops, double x, double y,
                                                double z) {
  std::vector<std::array<double, 3>> out;
  for (const Op& o : ops) {
    std::array<double, 3> p;
    double v[3] = {x, y, z};
    for (int i = 0; i < 3; i++) {
      p[i] = o.t[i];
      for (int j = 0; j < 3; j++) p[i] += o.r[i][j] * v[j];
      p[i] -= floor(p[i] + 1e-9);
    }
    bool known = false;
    for (auto& q : out) {
      bool same = true;
      for (int i = 0; i < 3; i++) {
        double d = fabs(q[i] - p[i]);
        same = same && (d < 1e-6 || fabs(d - 1) < 1e-6);
      }
      known = known || same;
    }
    if (!known) out.push_back(p);
  }
  return out;
}

// A model of LiCoO2 (R-3m, hexagonal axes) on an na x nb x nc grid: Li
// wells at 3b, Co and O repelling; written as scratch NAME.cube and
// NAME.cif.  Returns the 36 operations.
inline std::vector<Op> write_licoo2_landscape(const std::string& name, int na, int nb, int nc) {
  const std::vector<Op> ops = group_R3m_hex();
  double cell[3][3];
  cell_vectors(2.82, 2.82, 14.05, 90, 90, 120, cell);
  std::vector<Well> list;
  auto add = [&](double x, double y, double z, double depth, double width) {
    for (const auto& p : orbit(ops, x, y, z)) list.push_back({p[0], p[1], p[2], depth, width});
  };
  add(0, 0, 0.5, 1.0, 0.6);
  add(0, 0, 0, -2.0, 0.6);
  add(0, 0, 0.26, -1.0, 0.7);
  Grid g = symmetric_grid(na, nb, nc, cell, ops, wells(cell, list));
  write_cube(scratch(name + ".cube"), g);
  write_text(scratch(name + ".cif"),
             make_cif(2.82, 2.82, 14.05, 90, 90, 120, ops,
                      {{"Li1", "Li1+", 0, 0, 0.5, 1.0}, {"Co1", "Co3+", 0, 0, 0, 1.0},
                       {"O1", "O2-", 0, 0, 0.26, 1.0}},
                      {{"Li1+", 1}, {"Co3+", 3}, {"O2-", -2}}));
  return ops;
}

}  // namespace ostrel_test

// Symmetry of the landscape grid: the structure's space-group operations
// turned into integer maps of grid indices, which give the asymmetric unit
// of the grid, the symmetrised (smoothed) grid, the symmetry types of minima
// and saddles, the structure's ion sites on the minima and interstitial labels.
#include "OSTREL-symmetry.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

int OSTREL_round_copies(int reference, double value) {
  if (fabs(value - reference) < 1 && fabs(fmod(value, 1.0) - 0.5) < 0.001)
    return reference;
  return (int)lround(value);
}

// ===========================================================================
// Integer grid operations
// ===========================================================================

void OSTREL_init_fastgen(OSTREL_cif* cif) {
  cif->fg.total = 0;
  cif->diff_neigh = 0;
}

// One component of an operation such as -x+y+1/3 or x+0.5: the coefficients
// of x, y, z and the translation as a fraction of the cell.
static bool parse_grid_component(const std::string& text, int coef[3], double* trans) {
  coef[0] = coef[1] = coef[2] = 0;
  *trans = 0.0;
  int sign = 1;
  size_t p = 0;
  bool any = false;
  while (p < text.size()) {
    char c = text[p];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\'') {
      p++;
    } else if (c == '+') {
      sign = 1;
      p++;
    } else if (c == '-') {
      sign = -1;
      p++;
    } else if (strchr("xyzXYZ", c)) {
      int v = tolower((unsigned char)c) - 'x';
      if (coef[v] != 0)
        return false;
      coef[v] = sign;
      sign = 1;
      any = true;
      p++;
    } else if (isdigit((unsigned char)c) || c == '.') {
      size_t q = p;
      while (q < text.size() && (isdigit((unsigned char)text[q]) || text[q] == '.')) q++;
      double num = atof(text.substr(p, q - p).c_str());
      if (q < text.size() && text[q] == '/') {
        size_t r = q + 1;
        while (r < text.size() && isdigit((unsigned char)text[r])) r++;
        if (r == q + 1)
          return false;
        double den = atof(text.substr(q + 1, r - q - 1).c_str());
        if (den == 0)
          return false;
        num /= den;
        q = r;
      }
      // A number directly followed by a variable (2x) is no operation term.
      if (q < text.size() && isalpha((unsigned char)text[q]))
        return false;
      *trans += sign * num;
      sign = 1;
      any = true;
      p = q;
    } else {
      return false;
    }
  }
  return any;
}

int OSTREL_prepare_fastgen_symop(OSTREL_cif* cif, const OSTREL_cube* cube) {
  OSTREL_init_fastgen(cif);
  if (cif->symop_no > OSTREL_MAX_SYMOP) {
    fprintf(stderr, "Error: %d symmetry operations; at most %d are supported\n", cif->symop_no,
            OSTREL_MAX_SYMOP);
    return 1;
  }
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  for (int o = 0; o < cif->symop_no; o++) {
    const std::string& text = cif->symop[o];
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
      size_t comma = text.find(',', start);
      parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos
                                                                    : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    int row[3][3];
    int t[3];
    bool ok = parts.size() == 3;
    for (int c = 0; c < 3 && ok; c++) {
      double frac;
      ok = parse_grid_component(parts[c], row[c], &frac);
      // Translation in grid steps; exact when the count is a multiple of the
      // denominator, as for the grids written by velmora.
      if (ok) t[c] = (int)lround(frac * n[c]);
    }
    if (!ok) {
      fprintf(stderr, "Error: Invalid symmetry operation %s\n", text.c_str());
      return 1;
    }
    OSTREL_fastgen_symop& op = cif->fg.op[o];
    op.x_x = row[0][0]; op.x_y = row[0][1]; op.x_z = row[0][2]; op.x_a = t[0];
    op.y_x = row[1][0]; op.y_y = row[1][1]; op.y_z = row[1][2]; op.y_a = t[1];
    op.z_x = row[2][0]; op.z_y = row[2][1]; op.z_z = row[2][2]; op.z_a = t[2];
    for (int c = 0; c < 3; c++)
      if ((row[c][0] != 0) + (row[c][1] != 0) + (row[c][2] != 0) >= 2)
        cif->diff_neigh = 1;
  }
  cif->fg.total = cif->symop_no;
  return 0;
}

static inline int wrap_index(int v, int n) {
  int r = v % n;
  return r < 0 ? r + n : r;
}

static inline void apply_op(const OSTREL_fastgen_symop& op, int na, int nb, int nc, int i, int j,
                            int k, int* x, int* y, int* z) {
  *x = wrap_index(op.x_x * i + op.x_y * j + op.x_z * k + op.x_a, na);
  *y = wrap_index(op.y_x * i + op.y_y * j + op.y_z * k + op.y_a, nb);
  *z = wrap_index(op.z_x * i + op.z_y * j + op.z_z * k + op.z_a, nc);
}

void OSTREL_fastgen_sym_copies(const OSTREL_cif* cif, const OSTREL_cube* cube,
                               OSTREL_symcopies* copies, int i, int j, int k) {
  copies->total = 0;
  for (int o = 0; o < cif->fg.total; o++) {
    int x, y, z;
    apply_op(cif->fg.op[o], cube->a_grid, cube->b_grid, cube->c_grid, i, j, k, &x, &y, &z);
    bool listed = false;
    for (int c = 0; c < copies->total && !listed; c++)
      listed = copies->copy[c].x == x && copies->copy[c].y == y && copies->copy[c].z == z;
    if (listed)
      continue;
    OSTREL_fastgen_xyz& im = copies->copy[copies->total++];
    im.x = x;
    im.y = y;
    im.z = z;
    im.p = x;
    im.q = y;
    im.r = z;
  }
}

void OSTREL_condense_copies(const OSTREL_cif* cif, const OSTREL_cube* cube,
                            OSTREL_symcopies* copies, int radius) {
  (void)cif;
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  const int total = copies->total;
  std::vector<char> merged(total, 0);
  std::vector<OSTREL_fastgen_xyz> out;
  for (int s = 0; s < total; s++) {
    if (merged[s])
      continue;
    merged[s] = 1;
    const OSTREL_fastgen_xyz seed = copies->copy[s];
    // Members with the periodic shift that brings them next to the seed.
    std::vector<OSTREL_cube_triple_index> members{OSTREL_cube_triple_index{seed.x, seed.y, seed.z}};
    for (int m = s + 1; m < total; m++) {
      if (merged[m])
        continue;
      const OSTREL_fastgen_xyz& c = copies->copy[m];
      bool fit = false;
      for (int oa = -1; oa <= 1 && !fit; oa++)
        for (int ob = -1; ob <= 1 && !fit; ob++)
          for (int oc = -1; oc <= 1 && !fit; oc++) {
            int px = c.x + oa * n[0], py = c.y + ob * n[1], pz = c.z + oc * n[2];
            if (abs(px - seed.x) <= radius && abs(py - seed.y) <= radius &&
                abs(pz - seed.z) <= radius) {
              fit = true;
              members.push_back(OSTREL_cube_triple_index{px, py, pz});
            }
          }
      if (fit)
        merged[m] = 1;
    }
    double mx = 0, my = 0, mz = 0;
    for (const OSTREL_cube_triple_index& m : members) {
      mx += m.x;
      my += m.y;
      mz += m.z;
    }
    mx /= members.size();
    my /= members.size();
    mz /= members.size();
    OSTREL_fastgen_xyz g;
    g.x = wrap_index(OSTREL_round_copies(seed.x, mx), n[0]);
    g.y = wrap_index(OSTREL_round_copies(seed.y, my), n[1]);
    g.z = wrap_index(OSTREL_round_copies(seed.z, mz), n[2]);
    OSTREL_snap_to_member(cube, members, mx, my, mz, &g.x, &g.y, &g.z);
    g.p = mx;
    g.q = my;
    g.r = mz;
    OSTREL_shift_index_xyz_dbl(cube, &g.p, &g.q, &g.r);
    out.push_back(g);
  }
  copies->total = (int)out.size();
  for (int c = 0; c < copies->total; c++)
    copies->copy[c] = out[c];
}

int OSTREL_is_symmetrically_related(const OSTREL_cif* cif, const OSTREL_cube* cube, int x1,
                                    int y1, int z1, int x2, int y2, int z2) {
  OSTREL_shift_index_xyz(cube, &x1, &y1, &z1);
  OSTREL_shift_index_xyz(cube, &x2, &y2, &z2);
  for (int o = 0; o < cif->fg.total; o++) {
    int x, y, z;
    apply_op(cif->fg.op[o], cube->a_grid, cube->b_grid, cube->c_grid, x2, y2, z2, &x, &y, &z);
    if (x == x1 && y == y1 && z == z1)
      return 1;
  }
  return 0;
}

// ===========================================================================
// Asymmetric unit of the grid
// ===========================================================================

void OSTREL_init_asymmetric_unit(OSTREL_asymmetric_unit* unit) { *unit = OSTREL_asymmetric_unit(); }

void OSTREL_free_asymmetric_unit(OSTREL_asymmetric_unit* unit) {
  int sym = unit->grid_symmetric;
  double asym = unit->max_asymmetry;
  *unit = OSTREL_asymmetric_unit();
  unit->grid_symmetric = sym;
  unit->max_asymmetry = asym;
}

static OSTREL_list<OSTREL_xyz_int> grid_list(OSTREL_asymmetric_unit* unit) {
  return OSTREL_list_of(unit->grid, unit->total, &unit->cap);
}

static OSTREL_list<OSTREL_xyz_int> sgrid_list(OSTREL_asymmetric_unit* unit) {
  return OSTREL_list_of(unit->sgrid, unit->stotal, &unit->scap);
}

int OSTREL_alloc_asymmetric_unit_grid(OSTREL_asymmetric_unit* unit, int total) {
  return OSTREL_list_report(OSTREL_list_reserve(grid_list(unit), total),
                            "OSTREL_alloc_asymmetric_unit_grid");
}

int OSTREL_alloc_asymmetric_unit_sgrid(OSTREL_asymmetric_unit* unit, int total) {
  return OSTREL_list_report(OSTREL_list_reserve(sgrid_list(unit), total),
                            "OSTREL_alloc_asymmetric_unit_sgrid");
}

int OSTREL_add_asymmetric_unit_grid(OSTREL_asymmetric_unit* unit, int x, int y, int z) {
  return OSTREL_list_report(OSTREL_list_append(grid_list(unit), OSTREL_xyz_int{x, y, z}),
                            "OSTREL_alloc_asymmetric_unit_grid");
}

int OSTREL_add_asymmetric_unit_sgrid(OSTREL_asymmetric_unit* unit, int x, int y, int z) {
  return OSTREL_list_report(OSTREL_list_append(sgrid_list(unit), OSTREL_xyz_int{x, y, z}),
                            "OSTREL_alloc_asymmetric_unit_sgrid");
}

int OSTREL_eval_grid_for_asymmetric_unit(const OSTREL_cube* cube, const OSTREL_cif* cif,
                                         OSTREL_asymmetric_unit* unit, OSTREL_3D_char_array* mark,
                                         int i, int j, int k) {
  if (mark->at(i, j, k))
    return 0;
  double e = cube->energy.at(i, j, k);
  if (OSTREL_add_asymmetric_unit_grid(unit, i, j, k))
    return 1;
  if (e < cube->global_minimum + 5.0 && OSTREL_add_asymmetric_unit_sgrid(unit, i, j, k))
    return 1;
  mark->at(i, j, k) = 1;
  for (int o = 0; o < cif->fg.total; o++) {
    int x, y, z;
    apply_op(cif->fg.op[o], cube->a_grid, cube->b_grid, cube->c_grid, i, j, k, &x, &y, &z);
    mark->at(x, y, z) = 1;
    double d = fabs(cube->energy.at(x, y, z) - e);
    if (d >= 1e-7) {
      unit->grid_symmetric = 0;
      if (d > unit->max_asymmetry) unit->max_asymmetry = d;
    }
  }
  return 0;
}

int OSTREL_find_asymmetric_unit(const OSTREL_cube* cube, const OSTREL_cif* cif,
                                OSTREL_asymmetric_unit* unit) {
  OSTREL_init_asymmetric_unit(unit);
  const int na = cube->a_grid, nb = cube->b_grid, nc = cube->c_grid;
  OSTREL_3D_char_array mark;
  if (OSTREL_alloc_3D_char_array(&mark, na, nb, nc)) {
    fprintf(stderr, "Error: OSTREL_alloc_3D_char_array() returns non-zero.\n");
    return 1;
  }
  // Shells s = max(i, j, k), face by face, so that each orbit is listed by
  // its member nearest the origin in this order.
  const int smax = std::max(na, std::max(nb, nc));
  for (int s = 0; s < smax; s++) {
    if (s < na)
      for (int j = 0; j <= std::min(s, nb - 1); j++)
        for (int k = 0; k <= std::min(s, nc - 1); k++)
          if (OSTREL_eval_grid_for_asymmetric_unit(cube, cif, unit, &mark, s, j, k))
            return 1;
    if (s < nb)
      for (int i = 0; i <= std::min(s, na - 1); i++)
        for (int k = 0; k <= std::min(s, nc - 1); k++)
          if (OSTREL_eval_grid_for_asymmetric_unit(cube, cif, unit, &mark, i, s, k))
            return 1;
    if (s < nc)
      for (int i = 0; i <= std::min(s, na - 1); i++)
        for (int j = 0; j <= std::min(s, nb - 1); j++)
          if (OSTREL_eval_grid_for_asymmetric_unit(cube, cif, unit, &mark, i, j, s))
            return 1;
  }
  return 0;
}

// ===========================================================================
// Symmetrised grid
// ===========================================================================

void OSTREL_fast_refresh_global_min(OSTREL_cube* cube, const OSTREL_asymmetric_unit* unit) {
  double gmin = HUGE_VAL;
  for (int p = 0; p < unit->total; p++) {
    double e = cube->energy.at(unit->grid[p].x, unit->grid[p].y, unit->grid[p].z);
    if (e < gmin) gmin = e;
  }
  if (unit->total > 0)
    cube->global_minimum = gmin;
}

int OSTREL_smooth_cube_with_symmetry(OSTREL_cube* cube, const OSTREL_cif* cif,
                                     const OSTREL_asymmetric_unit* unit) {
  const int R = 5, W = 2 * R + 1;
  const double sigma = 0.15;  // Å
  const double norm = pow(2.5066282746310002 * sigma, 3);  // (sqrt(2 pi) sigma)^3
  std::vector<double> w(W * W * W);
  double total = 0;
  for (int p = -R; p <= R; p++)
    for (int q = -R; q <= R; q++)
      for (int r = -R; r <= R; r++) {
        double d = OSTREL_distance_grid(cube, 0, 0, 0, p, q, r);
        double v = exp(-d / (2 * sigma * sigma)) / norm;
        w[((p + R) * W + (q + R)) * W + (r + R)] = v;
        total += v;
      }
  printf("Center weight: %f\n", w[(R * W + R) * W + R] / total);
  const int na = cube->a_grid, nb = cube->b_grid, nc = cube->c_grid;
  OSTREL_3D_dbl_array smooth;
  if (OSTREL_alloc_3D_dbl_array(&smooth, na, nb, nc)) {
    fprintf(stderr, "Error: OSTREL_alloc_3D_dbl_array() returns non-zero.\n");
    return 1;
  }
  OSTREL_symcopies copies;
  int xa[W], yb[W], zc[W];
  for (int p = 0; p < unit->total; p++) {
    OSTREL_fastgen_sym_copies(cif, cube, &copies, unit->grid[p].x, unit->grid[p].y,
                              unit->grid[p].z);
    double sum = 0;
    for (int c = 0; c < copies.total; c++) {
      for (int o = 0; o < W; o++) {
        xa[o] = wrap_index(copies.copy[c].x + o - R, na);
        yb[o] = wrap_index(copies.copy[c].y + o - R, nb);
        zc[o] = wrap_index(copies.copy[c].z + o - R, nc);
      }
      const double* wp = w.data();
      for (int a = 0; a < W; a++)
        for (int b = 0; b < W; b++) {
          const double* row = &cube->energy.at(xa[a], yb[b], 0);
          for (int r = 0; r < W; r++)
            sum += *wp++ * row[zc[r]];
        }
    }
    double v = sum / (copies.total * total);
    for (int c = 0; c < copies.total; c++)
      smooth.at(copies.copy[c].x, copies.copy[c].y, copies.copy[c].z) = v;
  }
  cube->energy.data.swap(smooth.data);
  OSTREL_fast_refresh_global_min(cube, unit);
  OSTREL_shift_cube_energy(cube, cube->global_minimum);
  return 0;
}

// ===========================================================================
// Symmetry types
// ===========================================================================

// Grid point -> list indices of the stationary points on it, in list order.
template <class P>
static std::unordered_map<long long, std::vector<int>> points_by_location(const OSTREL_cube* cube,
                                                                          const std::vector<P>& v,
                                                                          int total) {
  std::unordered_map<long long, std::vector<int>> at;
  at.reserve((size_t)total * 2 + 1);
  for (int q = 0; q < total; q++)
    at[(long long)cube->energy.index(v[q].x, v[q].y, v[q].z)].push_back(q);
  return at;
}

// Steps 1-3 of grouping for a list of minima or saddles: open a type at each
// untyped point and give it to the untyped later points on its images (of
// equal energy); renumber types by ascending energy; sort the list by type.
template <class P>
static int group_by_symmetry(const OSTREL_cube* cube, const OSTREL_cif* cif, std::vector<P>& v,
                             int total, int* total_type) {
  for (int q = 0; q < total; q++) {
    v[q].type = 0;
    v[q].mul = 0;
  }
  *total_type = 0;
  if (total == 0)
    return 0;
  auto at = points_by_location(cube, v, total);
  OSTREL_symcopies copies;
  int types = 0;
  for (int q = 0; q < total; q++) {
    if (v[q].type != 0)
      continue;
    int t = ++types;
    OSTREL_fastgen_sym_copies(cif, cube, &copies, v[q].x, v[q].y, v[q].z);
    v[q].type = t;
    v[q].mul = copies.total;
    for (int c = 0; c < copies.total; c++) {
      const OSTREL_fastgen_xyz& im = copies.copy[c];
      if (im.x == v[q].x && im.y == v[q].y && im.z == v[q].z)
        continue;
      auto hit = at.find((long long)cube->energy.index(im.x, im.y, im.z));
      if (hit == at.end())
        continue;
      for (int r : hit->second)
        if (r > q && v[r].type == 0 && OSTREL_cube_equal_dbl(v[r].e, v[q].e)) {
          v[r].type = t;
          v[r].mul = copies.total;
          break;
        }
    }
  }
  // Energy of each type: that of its last member in list order.
  std::vector<double> energy(types + 1, 0.0);
  for (int q = 0; q < total; q++)
    energy[v[q].type] = v[q].e;
  std::vector<int> order(types);
  for (int t = 0; t < types; t++) order[t] = t + 1;
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return energy[a] < energy[b]; });
  std::vector<int> renumber(types + 1, 0);
  for (int t = 0; t < types; t++) renumber[order[t]] = t + 1;
  for (int q = 0; q < total; q++)
    v[q].type = renumber[v[q].type];
  std::stable_sort(v.begin(), v.begin() + total,
                   [](const P& a, const P& b) { return a.type < b.type; });
  *total_type = types;
  return 0;
}

// Step 4 for saddles: every image of a type's representative under the
// structure's operations is a saddle of the type.  On a grid whose axes the operations
// mix (hexagonal cells), the 26-neighbour test that finds stationary points
// is not carried into itself by a 3-fold axis, so it can find a saddle at
// some of its images only (6 of the 18 images of a saddle in R-3m), and a
// hop over a missing image is lost (the search finds instead a point of
// another energy next to it).  An image joins the list when no point of the
// type lies within one grid step of it and its grid energy equals the
// representative's (the landscape has the structure's symmetry; energies
// are written to 1e-6 eV).  `add` appends one point of type t with the
// multiplicity of the representative at a grid point and a true position.
// Minima need no such step: a site
// split by the tie-break leaves a minimum on each image's floor, which the
// plateau merge joins, and an added image beside one would be a second site
// on the same floor.  The list is then sorted by type
// again.
template <class P, class Add>
static void complete_orbits(const OSTREL_cube* cube, const OSTREL_cif* cif, std::vector<P>& v,
                            const int* total, int types, Add add) {
  // Grid point and type of every listed point.
  auto key = [&](int x, int y, int z, int t) {
    return (long long)cube->energy.index(x, y, z) * (types + 1) + t;
  };
  std::unordered_set<long long> listed;
  for (int q = 0; q < *total; q++) listed.insert(key(v[q].x, v[q].y, v[q].z, v[q].type));
  auto near_listed = [&](int x, int y, int z, int t) {
    for (int a = -1; a <= 1; a++)
      for (int b = -1; b <= 1; b++)
        for (int c = -1; c <= 1; c++) {
          int px = x + a, py = y + b, pz = z + c;
          OSTREL_shift_index_xyz(cube, &px, &py, &pz);
          if (listed.count(key(px, py, pz, t)))
            return true;
        }
    return false;
  };
  std::vector<int> first(types + 1, -1);
  for (int q = 0; q < *total; q++)
    if (v[q].type >= 1 && v[q].type <= types && first[v[q].type] < 0)
      first[v[q].type] = q;
  const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
  for (int t = 1; t <= types; t++) {
    if (first[t] < 0)
      continue;
    const P rep = v[first[t]];
    // The images of the representative's true position, each on the first
    // of the grid points round it, in a fixed order, that holds the type's
    // energy; added in grid order, so that of two images one step apart
    // (a point half a step off a mirror) the same one is kept whatever the
    // order of the operations.
    std::vector<std::pair<long long, std::array<double, 6>>> found;
    for (int o = 0; o < cif->fg.total; o++) {
      const OSTREL_fastgen_symop& op = cif->fg.op[o];
      double f[3] = {op.x_x * rep.tx + op.x_y * rep.ty + op.x_z * rep.tz + op.x_a,
                     op.y_x * rep.tx + op.y_y * rep.ty + op.y_z * rep.tz + op.y_a,
                     op.z_x * rep.tx + op.z_y * rep.ty + op.z_z * rep.tz + op.z_a};
      int lo[3], hi[3];
      for (int ax = 0; ax < 3; ax++) {
        f[ax] -= n[ax] * std::floor(f[ax] / n[ax]);
        const double r = std::floor(f[ax] + 0.5);
        lo[ax] = fabs(f[ax] - r) < 1e-6 ? (int)r : (int)std::floor(f[ax]);
        hi[ax] = fabs(f[ax] - r) < 1e-6 ? (int)r : lo[ax] + 1;
      }
      bool placed = false;
      for (int a = lo[0]; a <= hi[0] && !placed; a++)
        for (int b = lo[1]; b <= hi[1] && !placed; b++)
          for (int c = lo[2]; c <= hi[2] && !placed; c++) {
            int x = a, y = b, z = c;
            OSTREL_shift_index_xyz(cube, &x, &y, &z);
            if (fabs(cube->energy.at(x, y, z) - rep.e) > 1e-6)
              continue;
            placed = true;
            found.push_back({(long long)cube->energy.index(x, y, z),
                             {(double)x, (double)y, (double)z, f[0], f[1], f[2]}});
          }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& u, const auto& w) { return u.first < w.first; });
    for (const auto& im : found) {
      const int x = (int)im.second[0], y = (int)im.second[1], z = (int)im.second[2];
      if (near_listed(x, y, z, t))
        continue;
      add(x, y, z, t, rep.mul, rep.e, im.second[3], im.second[4], im.second[5]);
      listed.insert(key(x, y, z, t));
    }
  }
  std::stable_sort(v.begin(), v.begin() + *total,
                   [](const P& a, const P& b) { return a.type < b.type; });
}

int OSTREL_refresh_minima_type_index(OSTREL_cube* cube) {
  return OSTREL_catch_memory(nullptr, [&] {
    cube->minima_type_index.assign(cube->total_minima_type + 1, -1);
    for (int q = cube->total_minima - 1; q >= 0; q--) {
      int t = cube->minima[q].type;
      if (t >= 1 && t <= cube->total_minima_type)
        cube->minima_type_index[t] = q;
    }
    return 0;
  });
}

int OSTREL_refresh_saddle_type_index(OSTREL_cube* cube) {
  return OSTREL_catch_memory(nullptr, [&] {
    cube->saddle_type_index.assign(cube->total_saddle_type + 1, -1);
    for (int q = cube->total_saddle - 1; q >= 0; q--) {
      int t = cube->saddle[q].type;
      if (t >= 1 && t <= cube->total_saddle_type)
        cube->saddle_type_index[t] = q;
    }
    return 0;
  });
}

int OSTREL_group_minima_by_symmetry(OSTREL_cube* cube, const OSTREL_cif* cif) {
  try {
    group_by_symmetry(cube, cif, cube->minima, cube->total_minima, &cube->total_minima_type);
  } catch (const std::exception&) {
    fprintf(stderr, "Error: Memory allocation problem in OSTREL_group_minima_by_symmetry()\n");
    return 1;
  }
  if (OSTREL_refresh_minima_type_index(cube)) {
    fprintf(stderr, "Error: Memory allocation problem in OSTREL_group_minima_by_symmetry()\n");
    return 1;
  }
  return 0;
}

// True when a periodic copy of grid point q lies within one grid step of
// grid point p on every axis.
static bool near_periodic(const OSTREL_cube* cube, int px, int py, int pz, int qx, int qy,
                          int qz) {
  for (int oa = -1; oa <= 1; oa++)
    for (int ob = -1; ob <= 1; ob++)
      for (int oc = -1; oc <= 1; oc++)
        if (abs(qx + oa * cube->a_grid - px) <= 1 && abs(qy + ob * cube->b_grid - py) <= 1 &&
            abs(qz + oc * cube->c_grid - pz) <= 1)
          return true;
  return false;
}

int OSTREL_group_saddle_by_symmetry(OSTREL_cube* cube, const OSTREL_cif* cif) {
  return OSTREL_catch_memory("OSTREL_group_saddle_by_symmetry", [&] {
    group_by_symmetry(cube, cif, cube->saddle, cube->total_saddle, &cube->total_saddle_type);
    complete_orbits(cube, cif, cube->saddle, &cube->total_saddle, cube->total_saddle_type,
                    [&](int x, int y, int z, int t, int mul, double e, double tx, double ty,
                        double tz) {
                      if (OSTREL_add_cube_saddle_point(cube, x, y, z, t, e))
                        throw std::bad_alloc();
                      OSTREL_saddle& s = cube->saddle[cube->total_saddle - 1];
                      s.mul = mul;
                      s.tx = tx;
                      s.ty = ty;
                      s.tz = tz;
                    });
    if (OSTREL_refresh_saddle_type_index(cube))
      throw std::bad_alloc();
    // Types whose representatives touch with equal energies are one saddle
    // split by the grid: in ascending order, each remaining type removes the
    // later types whose representatives lie within one grid step of its own
    // (found through the grid points around it rather than by comparing
    // every pair).  Two saddles of different energies one step apart are two
    // saddles: round a shallow spinel 16c site, its saddle to the next 16c
    // site (0.1065 eV) and its saddle to the 8a site (0.1089 eV) touch, and
    // removing the second cut every 8a site off its neighbours.  So
    // does a later type with any member within one grid step of any member
    // of the type and an energy within the grid's tolerance of it (0.1 meV:
    // the last digits written for grid energies; distinct saddles of a
    // shallow landscape lie 1 meV apart and must stay apart): one saddle
    // whose grid points the symmetry search took for two types, of which
    // only one would be joined to its minima.
    {
      const int types = cube->total_saddle_type;
      std::unordered_map<long long, std::vector<int>> rep_at, member_at;
      for (int t = 1; t <= types; t++) {
        const OSTREL_saddle& r = cube->saddle[cube->saddle_type_index[t]];
        rep_at[(long long)cube->energy.index(r.x, r.y, r.z)].push_back(t);
      }
      for (int q = 0; q < cube->total_saddle; q++) {
        const OSTREL_saddle& m = cube->saddle[q];
        member_at[(long long)cube->energy.index(m.x, m.y, m.z)].push_back(m.type);
      }
      std::vector<char> gone(types + 1, 0);
      for (int t = 1; t <= types; t++) {
        if (gone[t])
          continue;
        const OSTREL_saddle& r = cube->saddle[cube->saddle_type_index[t]];
        for (int da = -1; da <= 1; da++)
          for (int db = -1; db <= 1; db++)
            for (int dc = -1; dc <= 1; dc++) {
              int x = r.x + da, y = r.y + db, z = r.z + dc;
              OSTREL_shift_index_xyz(cube, &x, &y, &z);
              auto hit = rep_at.find((long long)cube->energy.index(x, y, z));
              if (hit == rep_at.end())
                continue;
              for (int u : hit->second)
                if (u > t && fabs(cube->saddle[cube->saddle_type_index[u]].e - r.e) < 1e-4)
                  gone[u] = 1;
            }
        for (int q = cube->saddle_type_index[t]; q < cube->total_saddle && cube->saddle[q].type == t;
             q++) {
          const OSTREL_saddle& m = cube->saddle[q];
          for (int da = -1; da <= 1; da++)
            for (int db = -1; db <= 1; db++)
              for (int dc = -1; dc <= 1; dc++) {
                int x = m.x + da, y = m.y + db, z = m.z + dc;
                OSTREL_shift_index_xyz(cube, &x, &y, &z);
                auto hit = member_at.find((long long)cube->energy.index(x, y, z));
                if (hit == member_at.end())
                  continue;
                for (int u : hit->second)
                  if (u > t && !gone[u] &&
                      fabs(cube->saddle[cube->saddle_type_index[u]].e - r.e) < 1e-4)
                    gone[u] = 1;
              }
        }
      }
      for (int t = types; t >= 1; t--)  // from the last, so numbers stay valid
        if (gone[t] && OSTREL_delete_saddle_type(cube, t))
          return 1;
    }
    // Flat saddles: the saddle moves to the centre of its plateau, and other
    // saddles of the type on the same plateau go.  A plateau too large to
    // list (a flat ridge that runs on through the cell, as on a hexagonal
    // cosine landscape, where the whole line x = 1/2 lies at the saddle's
    // energy) leaves the saddle at its grid point: it still separates two
    // basins, and dropping its type would lose every hop over that ridge.
    OSTREL_same_energy_grid_list plateau;
    int t = 1;
    while (t <= cube->total_saddle_type) {
      for (int q = cube->saddle_type_index[t]; q < cube->total_saddle && cube->saddle[q].type == t;
           q++) {
        OSTREL_saddle& s = cube->saddle[q];
        if (OSTREL_find_same_energy_neighbours(cube, &plateau, s.x, s.y, s.z) < 0) {
          s.tx = s.x;
          s.ty = s.y;
          s.tz = s.z;
          continue;
        }
        double mx = 0, my = 0, mz = 0;
        for (int p = 0; p < plateau.total; p++) {
          mx += plateau.item[p].x;
          my += plateau.item[p].y;
          mz += plateau.item[p].z;
        }
        s.tx = mx / plateau.total;
        s.ty = my / plateau.total;
        s.tz = mz / plateau.total;
        OSTREL_shift_index_xyz_dbl(cube, &s.tx, &s.ty, &s.tz);
        if (plateau.total <= 1)
          continue;
        int r = q + 1;
        while (r < cube->total_saddle && cube->saddle[r].type == t) {
          const OSTREL_saddle& o = cube->saddle[r];
          bool on_plateau = false;
          for (int p = 1; p < plateau.total && !on_plateau; p++)
            on_plateau = near_periodic(cube, plateau.item[p].x, plateau.item[p].y,
                                       plateau.item[p].z, o.x, o.y, o.z);
          if (on_plateau) {
            if (OSTREL_delete_saddle(cube, r))
              return 1;
          } else {
            r++;
          }
        }
      }
      t++;
    }
    if (OSTREL_refresh_saddle_type_index(cube))
      throw std::bad_alloc();
    return 0;
  });
}

// ===========================================================================
// Deleting minima and saddles
// ===========================================================================

// Removes the members of a type and numbers the later types one lower;
// the storage halves when the list has shrunk to half its capacity.
template <class P>
static void remove_type_block(std::vector<P>& v, int* total, int* cap, int type) {
  OSTREL_list_remove_if(OSTREL_list_of(v, *total, cap), [&](P& p, int) {
    if (p.type == type)
      return true;
    if (p.type > type)
      p.type--;
    return false;
  });
  if (*cap >= 2 * *total && *cap > 0) {
    *cap /= 2;
    v.resize(*cap);
    v.shrink_to_fit();
  }
}

// Deletes symmetry type `type` of a list (minima or saddles) with all its
// members; later types are numbered one lower.
template <class P>
static int delete_type(OSTREL_cube* cube, std::vector<P>& v, int* total, int* cap, int* types,
                       int (*refresh)(OSTREL_cube*), int type, const char* name) {
  if (type < 1 || type > *types)
    return OSTREL_invalid_input(name);
  return OSTREL_catch_memory(name, [&] {
    remove_type_block(v, total, cap, type);
    (*types)--;
    if (refresh(cube))
      throw std::bad_alloc();
    return 0;
  });
}

// Deletes one member of a list; the last member of a type takes its type
// with it.
template <class P>
static int delete_member(OSTREL_cube* cube, const std::vector<P>& v, int total, int types,
                         int index, int (*delete_type_of)(OSTREL_cube*, int),
                         void (*erase)(OSTREL_cube*, int), int (*refresh)(OSTREL_cube*),
                         const char* name) {
  if (index < 0 || index >= total)
    return OSTREL_invalid_input(name);
  const int t = v[index].type;
  int members = 0;
  for (int q = 0; q < total; q++)
    if (v[q].type == t) members++;
  if (members == 1 && t >= 1 && t <= types)
    return delete_type_of(cube, t);
  erase(cube, index);
  return refresh(cube) ? OSTREL_memory_error(name) : 0;
}

int OSTREL_delete_saddle_type(OSTREL_cube* cube, int type) {
  return delete_type(cube, cube->saddle, &cube->total_saddle, &cube->total_saddle_cap,
                     &cube->total_saddle_type, OSTREL_refresh_saddle_type_index, type,
                     "OSTREL_delete_saddle_type");
}

int OSTREL_delete_minima_type(OSTREL_cube* cube, int type) {
  return delete_type(cube, cube->minima, &cube->total_minima, &cube->total_minima_cap,
                     &cube->total_minima_type, OSTREL_refresh_minima_type_index, type,
                     "OSTREL_delete_minima_type");
}

int OSTREL_delete_saddle(OSTREL_cube* cube, int index) {
  return delete_member(cube, cube->saddle, cube->total_saddle, cube->total_saddle_type, index,
                       OSTREL_delete_saddle_type, OSTREL_del_cube_saddle_point,
                       OSTREL_refresh_saddle_type_index, "OSTREL_delete_saddle");
}

int OSTREL_delete_minima(OSTREL_cube* cube, int index) {
  return delete_member(cube, cube->minima, cube->total_minima, cube->total_minima_type, index,
                       OSTREL_delete_minima_type, OSTREL_del_cube_minima_point,
                       OSTREL_refresh_minima_type_index, "OSTREL_delete_minima");
}

// ===========================================================================
// Ions and interstitials
// ===========================================================================

// Element symbol at the start of a type symbol or label: a capital letter
// and an optional small one (Li in Li1+, Li+1, Li2, Li(1)).
static std::string element_of(const std::string& text) {
  std::string e;
  if (!text.empty() && isupper((unsigned char)text[0])) {
    e += text[0];
    if (text.size() > 1 && islower((unsigned char)text[1])) e += text[1];
  }
  return e;
}

// Whether a structure site holds the mobile ion: its type symbol is the ion
// type, or names the same element with the same oxidation state in another
// spelling (Li+1 for Li1+) or with none (Li; a site without a type symbol is
// taken by the element of its label).
int OSTREL_site_is_probe(const OSTREL_cif* cif, const OSTREL_site& site) {
  if (site.type == cif->probe_type)
    return 1;
  std::string element = element_of(cif->probe_type);
  bool typed = site.type != "." && !site.type.empty();
  if (element.empty() || element_of(typed ? site.type : site.label) != element)
    return 0;
  if (!typed)
    return 1;
  size_t n = element.size();
  if (site.type.size() > n && isalpha((unsigned char)site.type[n]))
    return 0;  // a longer element symbol or a word
  int probe_found = 0, site_found = 0;
  double probe_ox = OSTREL_guess_site_ox_from_type_symbol(cif->probe_type.c_str(), &probe_found);
  double site_ox = OSTREL_guess_site_ox_from_type_symbol(site.type.c_str(), &site_found);
  return !site_found || !probe_found || fabs(site_ox - probe_ox) < 1e-7;
}

int OSTREL_assign_ion_to_sites(OSTREL_cube* cube, const OSTREL_cif* cif) {
  return OSTREL_catch_memory("OSTREL_assign_ion_to_sites", [&] {
    for (int q = 0; q < cube->total_minima; q++) {
      cube->minima[q].ion.clear();
      cube->minima[q].total_ions = cube->minima[q].total_ions_cap = 0;
    }
    std::vector<OSTREL_ion_position> ions;
    for (int s = 0; s < cif->site_no; s++) {
      const OSTREL_site& site = cif->site[s];
      if (!OSTREL_site_is_probe(cif, site))
        continue;
      OSTREL_equiv_pos pos;
      if (OSTREL_symmetry_generate_equivalent_copies(cif, &pos, site.x, site.y, site.z)) {
        fprintf(stderr, "Error: OSTREL_symmetry_generate_equivalent_copies() returns non-zero.\n");
        return 1;
      }
      for (const OSTREL_equiv_pos_frac_coor& c : pos.copy) {
        OSTREL_ion_position ip;
        ip.x = c.a;
        ip.y = c.b;
        ip.z = c.c;
        ip.label = site.label;
        ip.occ = site.occ;
        for (int& m : ip.minima) m = -1;
        ions.push_back(ip);
      }
    }
    const int n[3] = {cube->a_grid, cube->b_grid, cube->c_grid};
    for (OSTREL_ion_position& ip : ions) {
      const double f[3] = {ip.x, ip.y, ip.z};
      int g[3];
      for (int ax = 0; ax < 3; ax++) {
        g[ax] = (int)(n[ax] * f[ax] + 0.5);
        if (g[ax] >= n[ax]) g[ax] = 0;
        if (g[ax] < 0) g[ax] = 0;
      }
      OSTREL_nearest_neighbour list;
      if (OSTREL_init_nearest_neighbour(&list, OSTREL_MAX_ION_DELOCALISED_SITES, 1, g[0], g[1],
                                        g[2]))
        return 1;
      OSTREL_get_nearest_minima(cube, &list);
      if (list.index[0] < 0)
        continue;  // no minimum to hold the ion
      int k = 0;
      while (k < list.total && list.index[k] >= 0 &&
             OSTREL_cube_equal_dbl(list.distance[k], list.distance[0]))
        k++;
      if (k >= OSTREL_MAX_ION_DELOCALISED_SITES)
        printf("Warning: OSTREL_MAX_ION_DELOCALISED_SITES exceeded\n");
      for (int q = 0; q < k; q++) {
        ip.minima[q] = list.index[q];
        OSTREL_minima& m = cube->minima[list.index[q]];
        bool added = false;
        for (int a = 0; a < m.total_ions && !added; a++)
          if (m.ion[a].label == ip.label) {
            m.ion[a].occ += ip.occ / k;
            added = true;
          }
        if (added)
          continue;
        if (m.total_ions >= OSTREL_MAX_SITE_ION_TYPE) {
          printf("Warning: OSTREL_MAX_SITE_ION_TYPE exceeded\n");
          continue;
        }
        if (OSTREL_add_cube_minima_ion(&m, ip.label.c_str(), ip.occ / k))
          throw std::bad_alloc();
      }
    }
    return 0;
  });
}

void OSTREL_assign_interstitial_labels(OSTREL_cube* cube) {
  std::vector<int> label(cube->total_minima_type + 1, 0);
  int next = 0;
  for (int t = 1; t <= cube->total_minima_type; t++) {
    int first = cube->minima_type_index[t];
    if (first >= 0 && cube->minima[first].total_ions == 0)
      label[t] = ++next;
  }
  for (int q = 0; q < cube->total_minima; q++) {
    int t = cube->minima[q].type;
    cube->minima[q].ins_label = (t >= 1 && t <= cube->total_minima_type) ? label[t] : 0;
  }
}

int OSTREL_add_interstitial_to_cif(const OSTREL_cube* cube, OSTREL_cif* cif, int mode) {
  if (OSTREL_add_cif_type(cif, "IS", &cif->type_flag_counter, 0.0))
    return 1;
  double probe_ox = 0.0;
  std::string element;
  int t = 0;
  while (t < cif->type_no && cif->type[t].label != cif->probe_type) t++;
  if (t < cif->type_no) {
    probe_ox = cif->type[t].ox;
    element = cif->type[t].label_element;
  } else {
    int found = 0;
    probe_ox = OSTREL_guess_site_ox_from_type_symbol(cif->probe_type.c_str(), &found);
    size_t n = 0;
    while (n < cif->probe_type.size() && isalpha((unsigned char)cif->probe_type[n])) n++;
    element = cif->probe_type.substr(0, n);
  }
  int running = 0;
  for (int ty = 1; ty <= cube->total_minima_type; ty++) {
    const OSTREL_minima& m = cube->minima[cube->minima_type_index[ty]];
    double x = m.tx / cube->a_grid, y = m.ty / cube->b_grid, z = m.tz / cube->c_grid;
    std::string label;
    if (OSTREL_label_minima_site(cube, &label, ty))
      return 1;
    if (mode == 1) {
      if (m.total_ions == 0 &&
          OSTREL_add_cif_site(cif, label.c_str(), "IS", m.mul, '.', x, y, z, 1.0, 0.0))
        return 1;
    } else if (mode == 2 || mode == 3) {
      if (m.total_ions == 0)
        continue;
      double occ = 0;
      for (int a = 0; a < m.total_ions; a++) occ += m.ion[a].occ;
      if (mode == 3) {
        char buf[32];
        snprintf(buf, sizeof buf, "%s%d", element.c_str(), ++running);
        label = std::string(buf).substr(0, 20);
      }
      if (OSTREL_add_cif_site(cif, label.c_str(), cif->probe_type.c_str(), m.mul, '.', x, y, z,
                              occ, probe_ox))
        return 1;
    }
  }
  return 0;
}

int OSTREL_add_saddle_to_cif(const OSTREL_cube* cube, OSTREL_cif* cif) {
  if (OSTREL_add_cif_type(cif, "SD", &cif->type_flag_counter, 0.0))
    return 1;
  for (int ty = 1; ty <= cube->total_saddle_type; ty++) {
    const OSTREL_saddle& s = cube->saddle[cube->saddle_type_index[ty]];
    std::string label = "s" + std::to_string(ty);
    if (OSTREL_add_cif_site(cif, label.c_str(), "SD", s.mul, '.', s.tx / cube->a_grid,
                            s.ty / cube->b_grid, s.tz / cube->c_grid, 1.0, 0.0))
      return 1;
  }
  return 0;
}

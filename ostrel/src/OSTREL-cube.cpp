// Cube loading and stationary points: the cube file is streamed line by line
// with strict number checks; a grid point is a minimum when no neighbour is
// lower, a saddle when its lower neighbours form two or more separate
// clusters in its 3x3x3 block (counted with bit masks).
#include "OSTREL-cube.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "OSTREL-cif.h"
#include "OSTREL-file.h"
#include "OSTREL-symmetry.h"

namespace {

constexpr double BOHR_TO_ANGSTROM = 0.529177249;

// ---------------------------------------------------------------------------
// Buffered line reader: returns each line (without its line feed) as a view
// into a 1 MB buffer.  Longer lines are cut at the buffer size.
struct LineReader {
  FILE* f = nullptr;
  std::vector<char> buf;
  size_t pos = 0, len = 0;
  bool eof = false;
  bool skip_rest = false;  // inside the tail of a line that was cut
  long long line_no = 0;
  long long budget;  // bytes still to be read: a file that grows is cut here

  LineReader(FILE* file, long long max_bytes) : f(file), buf(1 << 20), budget(max_bytes) {}

  // Moves the unread bytes to the front and reads more; false at the end.
  bool refill() {
    if (eof)
      return false;
    if (pos > 0) {
      memmove(buf.data(), buf.data() + pos, len - pos);
      len -= pos;
      pos = 0;
    }
    size_t want = buf.size() - len;
    if ((long long)want > budget)
      want = (size_t)budget;
    size_t got = want > 0 ? fread(buf.data() + len, 1, want, f) : 0;
    budget -= (long long)got;
    len += got;
    if (got == 0)
      eof = true;
    return got > 0;
  }

  bool next(const char** begin, const char** end) {
    for (;;) {
      if (skip_rest) {
        const char* nl = (const char*)memchr(buf.data() + pos, '\n', len - pos);
        if (nl) {
          pos = (size_t)(nl - buf.data()) + 1;
          skip_rest = false;
        } else {
          pos = len;
          if (!refill()) {
            skip_rest = false;
            return false;
          }
          continue;
        }
      }
      const char* nl = (const char*)memchr(buf.data() + pos, '\n', len - pos);
      if (nl) {
        *begin = buf.data() + pos;
        *end = nl;
        pos = (size_t)(nl - buf.data()) + 1;
        line_no++;
        return true;
      }
      if (pos == 0 && len == buf.size()) {  // longer than the buffer: cut it
        *begin = buf.data();
        *end = buf.data() + len;
        pos = len;
        skip_rest = true;
        line_no++;
        return true;
      }
      if (!refill()) {
        if (pos < len) {  // last line without a line feed
          *begin = buf.data() + pos;
          *end = buf.data() + len;
          pos = len;
          line_no++;
          return true;
        }
        return false;
      }
    }
  }

  bool next(std::string* line) {
    const char *b, *e;
    if (!next(&b, &e))
      return false;
    line->assign(b, e);
    return true;
  }
};

bool blank(const char* b, const char* e) {
  for (; b < e; b++)
    if (*b != ' ' && *b != '\t' && *b != '\r')
      return false;
  return true;
}

// One energy value on a line of its own: optional leading blanks and sign, a
// finite decimal number, then only blanks.
bool parse_value_line(const char* b, const char* e, double* v) {
  while (b < e && (*b == ' ' || *b == '\t')) b++;
  if (b < e && *b == '+') b++;
  auto res = std::from_chars(b, e, *v);
  if (res.ec != std::errc() || res.ptr == b)
    return false;
  if (!std::isfinite(*v))
    return false;
  return blank(res.ptr, e);
}

std::vector<std::string> split_ws(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) i++;
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != '\r') j++;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

bool parse_long(const std::string& s, long long* v) {
  const char* b = s.c_str();
  const char* e = b + s.size();
  if (b < e && *b == '+') b++;
  auto res = std::from_chars(b, e, *v);
  return res.ec == std::errc() && res.ptr == e;
}

bool parse_double(const std::string& s, double* v) {
  const char* b = s.c_str();
  const char* e = b + s.size();
  if (b < e && *b == '+') b++;
  auto res = std::from_chars(b, e, *v);
  return res.ec == std::errc() && res.ptr == e && std::isfinite(*v);
}

int wrap(int v, int n) {
  int r = v % n;
  return r < 0 ? r + n : r;
}

// Neighbour masks of the 3x3x3 block (cell b = 9*da + 3*db + dc for offsets
// da, db, dc in 0..2; the centre, 13, never belongs to a cluster).
struct BlockMasks {
  uint32_t nb[27];
  BlockMasks() {
    for (int b = 0; b < 27; b++) {
      nb[b] = 0;
      int ba = b / 9, bb = (b / 3) % 3, bc = b % 3;
      for (int o = 0; o < 27; o++) {
        if (o == b || o == 13)
          continue;
        int oa = o / 9, ob = (o / 3) % 3, oc = o % 3;
        if (abs(oa - ba) <= 1 && abs(ob - bb) <= 1 && abs(oc - bc) <= 1)
          nb[b] |= 1u << o;
      }
    }
  }
};
const BlockMasks block_masks;

int count_clusters(uint32_t mask) {
  int count = 0;
  while (mask) {
    int b = __builtin_ctz(mask);
    uint32_t frontier = 1u << b;
    mask &= ~frontier;
    while (frontier) {
      int f = __builtin_ctz(frontier);
      frontier &= frontier - 1;
      uint32_t add = block_masks.nb[f] & mask;
      mask &= ~add;
      frontier |= add;
    }
    count++;
  }
  return count;
}

// Cluster count of lower neighbours and the minimum test of grid point
// (i, j, k).  "Lower" is the order of OSTREL_grid_lower: energy, and on an
// exact tie the grid index, so that a plateau or two neighbouring points of
// one energy (a ridge or saddle between grid points of a symmetric
// landscape) are read as if the landscape rose by a vanishing amount per
// grid index.  Without the tie-break the two halves of such a saddle each
// see their partner as a lower neighbour joining both sides, and neither is
// found.
struct PointClass {
  int clusters;
  int minimum;
  bool tied;  // some neighbour has exactly the same energy
};

PointClass classify_point(const OSTREL_cube* cube, int i, int j, int k) {
  const int na = cube->a_grid, nb = cube->b_grid, nc = cube->c_grid;
  const int ia[3] = {wrap(i - 1, na), i, wrap(i + 1, na)};
  const int jb[3] = {wrap(j - 1, nb), j, wrap(j + 1, nb)};
  const int kc[3] = {wrap(k - 1, nc), k, wrap(k + 1, nc)};
  const double* d = cube->energy.data.data();
  const size_t centre = ((size_t)i * nb + j) * nc + k;
  const double e = d[centre];
  uint32_t lower = 0;
  bool tied = false;
  int b = 0;
  for (int x = 0; x < 3; x++)
    for (int y = 0; y < 3; y++) {
      const size_t row = ((size_t)ia[x] * nb + jb[y]) * nc;
      for (int z = 0; z < 3; z++, b++) {
        if (b == 13)
          continue;
        const double v = d[row + kc[z]];
        tied = tied || v == e;
        if (OSTREL_grid_lower(v, row + kc[z], e, centre))
          lower |= 1u << b;
      }
    }
  PointClass pc;
  pc.clusters = count_clusters(lower);
  pc.minimum = lower == 0;
  pc.tied = tied;
  return pc;
}

}  // namespace

// The minima and saddle lists of the record.
static OSTREL_list<OSTREL_minima> minima_list(OSTREL_cube* cube) {
  return OSTREL_list_of(cube->minima, cube->total_minima, &cube->total_minima_cap);
}

static OSTREL_list<OSTREL_saddle> saddle_list(OSTREL_cube* cube) {
  return OSTREL_list_of(cube->saddle, cube->total_saddle, &cube->total_saddle_cap);
}

// ===========================================================================
// 3-D arrays
// ===========================================================================

template <class T>
static int alloc_3D(OSTREL_3D_array<T>* a, int na, int nb, int nc, const char* name) {
  if (na <= 0 || nb <= 0 || nc <= 0 ||
      (long long)na * nb * nc > OSTREL_MAX_GRID_POINTS)
    return OSTREL_memory_error(name);
  if (OSTREL_catch_memory(name, [&] {
        a->data.assign((size_t)na * nb * nc, T());
        return 0;
      })) {
    a->data.clear();
    return 1;
  }
  a->na = na;
  a->nb = nb;
  a->nc = nc;
  return 0;
}

int OSTREL_alloc_3D_dbl_array(OSTREL_3D_dbl_array* a, int na, int nb, int nc) {
  return alloc_3D(a, na, nb, nc, "OSTREL_alloc_3D_dbl_array");
}
int OSTREL_alloc_3D_int_array(OSTREL_3D_int_array* a, int na, int nb, int nc) {
  return alloc_3D(a, na, nb, nc, "OSTREL_alloc_3D_int_array");
}
int OSTREL_alloc_3D_char_array(OSTREL_3D_char_array* a, int na, int nb, int nc) {
  return alloc_3D(a, na, nb, nc, "OSTREL_alloc_3D_char_array");
}
void OSTREL_free_3D_dbl_array(OSTREL_3D_dbl_array* a) { *a = OSTREL_3D_dbl_array(); }
void OSTREL_free_3D_int_array(OSTREL_3D_int_array* a) { *a = OSTREL_3D_int_array(); }
void OSTREL_free_3D_char_array(OSTREL_3D_char_array* a) { *a = OSTREL_3D_char_array(); }

// ===========================================================================
// Record
// ===========================================================================

void OSTREL_init_cube(OSTREL_cube* cube) { *cube = OSTREL_cube(); }

void OSTREL_free_cube(OSTREL_cube* cube) { *cube = OSTREL_cube(); }

int OSTREL_alloc_cube_energy(OSTREL_cube* cube, int na, int nb, int nc) {
  if (na <= 0 || nb <= 0 || nc <= 0) {
    fprintf(stderr, "Error: Invalid input to OSTREL_alloc_cube_energy()\n");
    return 1;
  }
  if (OSTREL_alloc_3D_dbl_array(&cube->energy, na, nb, nc))
    return 1;
  cube->a_grid = na;
  cube->b_grid = nb;
  cube->c_grid = nc;
  return 0;
}

// ===========================================================================
// Loading
// ===========================================================================

namespace {

// What the six header lines and the atom lines of a cube file give.
struct CubeHeader {
  long long atoms = 0;       // atom lines to skip
  long long count[3] = {};   // grid counts as written
  double step[3][3] = {};    // step vectors, Å
  bool repeated = false;     // the boundary planes are written twice
  int n[3] = {};             // distinct grid points per axis
};

// Lines 1-6: title, ion line, atom count, then count and step vector (bohr)
// of each axis.  Returns 1 with the message printed.
int read_header_lines(LineReader& in, OSTREL_cube* cube, CubeHeader* h) {
  std::string header[6];
  for (int l = 0; l < 6; l++)
    if (!in.next(&header[l])) {
      fprintf(stderr, "Error: Invalid CUBE file - missing header lines\n");
      return 1;
    }
  // Line 2: the charge of the mobile ion is the first digit (Li1+ gives 1).
  for (char ch : header[1])
    if (ch >= '0' && ch <= '9') {
      cube->ion_charge = ch - '0';
      break;
    }
  // Line 3: the number of atom lines; the origin is ignored.
  std::vector<std::string> t3 = split_ws(header[2]);
  if (t3.empty() || !parse_long(t3[0], &h->atoms) || h->atoms < 0 || h->atoms > 100000000LL) {
    fprintf(stderr, "Error: Invalid CUBE file - invalid number of atoms\n");
    return 1;
  }
  cube->lines_to_ignore = (int)h->atoms;
  // Lines 4-6: grid count and step vector (bohr) of each axis.
  for (int ax = 0; ax < 3; ax++) {
    std::vector<std::string> t = split_ws(header[3 + ax]);
    if (t.empty() || !parse_long(t[0], &h->count[ax]) || h->count[ax] < 1) {
      fprintf(stderr, "Error: Invalid CUBE file - invalid grid resolution\n");
      return 1;
    }
    for (int c = 0; c < 3; c++) {
      double v = 0.0;
      if ((size_t)c + 1 < t.size() && !parse_double(t[c + 1], &v)) {
        fprintf(stderr, "Error: Invalid CUBE file - invalid cell parameters\n");
        return 1;
      }
      h->step[ax][c] = v * BOHR_TO_ANGSTROM;
    }
  }
  return 0;
}

// Grid size: within the limit, and with repeated boundary planes (an odd
// count along a) at least two planes per axis.
int check_grid_counts(CubeHeader* h) {
  const long long* count = h->count;
  if (count[0] > OSTREL_MAX_GRID_POINTS || count[1] > OSTREL_MAX_GRID_POINTS ||
      count[2] > OSTREL_MAX_GRID_POINTS || count[0] * count[1] > OSTREL_MAX_GRID_POINTS ||
      count[0] * count[1] * count[2] > OSTREL_MAX_GRID_POINTS) {
    fprintf(stderr,
            "Error: Invalid CUBE file - grid of %lld x %lld x %lld points exceeds the limit "
            "of %lld points\n",
            count[0], count[1], count[2], OSTREL_MAX_GRID_POINTS);
    return 1;
  }
  h->repeated = count[0] % 2 == 1;
  if (h->repeated && (count[0] < 2 || count[1] < 2 || count[2] < 2)) {
    fprintf(stderr, "Error: Invalid CUBE file - invalid grid resolution\n");
    return 1;
  }
  for (int ax = 0; ax < 3; ax++)
    h->n[ax] = (int)(h->repeated ? count[ax] - 1 : count[ax]);
  return 0;
}

// Step vectors, cell lengths and angles and the cell metric of the record.
int set_cube_cell(const CubeHeader& h, OSTREL_cube* cube) {
  const double(&step)[3][3] = h.step;
  cube->a_x = step[0][0]; cube->a_y = step[0][1]; cube->a_z = step[0][2];
  cube->b_x = step[1][0]; cube->b_y = step[1][1]; cube->b_z = step[1][2];
  cube->c_x = step[2][0]; cube->c_y = step[2][1]; cube->c_z = step[2][2];
  double len[3];
  for (int ax = 0; ax < 3; ax++)
    len[ax] = sqrt(step[ax][0] * step[ax][0] + step[ax][1] * step[ax][1] +
                   step[ax][2] * step[ax][2]);
  cube->a_unit = len[0];
  cube->b_unit = len[1];
  cube->c_unit = len[2];
  // The cell spans the distinct points only: with repeated boundary planes
  // the last plane is the first one of the next cell.
  cube->a = h.n[0] * len[0];
  cube->b = h.n[1] * len[1];
  cube->c = h.n[2] * len[2];
  if (cube->a < 1e-7 || cube->b < 1e-7 || cube->c < 1e-7) {
    fprintf(stderr, "Error: Invalid CUBE file - invalid cell parameters\n");
    return 1;
  }
  auto cosine = [&](int u, int v) {
    double d = (step[u][0] * step[v][0] + step[u][1] * step[v][1] + step[u][2] * step[v][2]) /
               (len[u] * len[v]);
    return std::max(-1.0, std::min(1.0, d));
  };
  cube->alpha = acos(cosine(1, 2));
  cube->beta = acos(cosine(0, 2));
  cube->gamma = acos(cosine(0, 1));
  // Steps in one plane span no cell: the metric would be singular.
  double triple = step[0][0] * (step[1][1] * step[2][2] - step[1][2] * step[2][1]) -
                  step[0][1] * (step[1][0] * step[2][2] - step[1][2] * step[2][0]) +
                  step[0][2] * (step[1][0] * step[2][1] - step[1][1] * step[2][0]);
  if (cube->alpha < 1e-7 || cube->beta < 1e-7 || cube->gamma < 1e-7 ||
      fabs(triple) < 1e-7 * len[0] * len[1] * len[2]) {
    fprintf(stderr, "Invalid CUBE file - invalid cell angles\n");
    return 1;
  }
  cube->d1 = cube->a * cube->a;
  cube->d2 = cube->b * cube->b;
  cube->d3 = cube->c * cube->c;
  cube->d4 = 2 * cube->a * cube->b * cos(cube->gamma);
  cube->d5 = 2 * cube->b * cube->c * cos(cube->alpha);
  cube->d6 = 2 * cube->a * cube->c * cos(cube->beta);
  return 0;
}

// The header: its six lines, the grid and cell they give, and the atom
// lines after them.
int read_cube_header(LineReader& in, OSTREL_cube* cube, CubeHeader* h) {
  if (read_header_lines(in, cube, h) || check_grid_counts(h) || set_cube_cell(*h, cube))
    return 1;
  std::string skip;
  for (long long s = 0; s < h->atoms; s++)
    if (!in.next(&skip)) {
      fprintf(stderr, "Error: Invalid CUBE file - missing header lines\n");
      return 1;
    }
  return 0;
}

// The energies, one a line with a as the slowest and c as the fastest axis
// (the repeated boundary planes dropped), the global minimum and the
// cut-off of the search.  `file_size` is -1 when unknown.
int read_cube_values(LineReader& in, long long file_size, const CubeHeader& h,
                     OSTREL_cube* cube) {
  const long long* count = h.count;
  long long total = count[0] * count[1] * count[2];
  // Each value needs at least a digit and a line feed: a file too short to
  // hold them is refused before the grid is allocated.
  if (file_size >= 0 && 2 * total > file_size) {
    fprintf(stderr, "Error: Invalid CUBE file - missing energy values\n");
    return 1;
  }
  if (OSTREL_alloc_cube_energy(cube, h.n[0], h.n[1], h.n[2])) {
    fprintf(stderr, "Error: OSTREL_alloc_cube_energy() returns non-zero.\n");
    return 1;
  }
  double gmin = HUGE_VAL;
  double* out = cube->energy.data.data();
  size_t o = 0;
  const char *b, *e;
  for (long long i = 0; i < count[0]; i++)
    for (long long j = 0; j < count[1]; j++)
      for (long long k = 0; k < count[2]; k++) {
        if (!in.next(&b, &e)) {
          fprintf(stderr, "Error: Invalid CUBE file - missing energy values\n");
          return 1;
        }
        double v;
        if (!parse_value_line(b, e, &v)) {
          fprintf(stderr, "Error: Invalid CUBE file - invalid energy value on line %lld\n",
                  in.line_no);
          return 1;
        }
        if (fabs(v) > OSTREL_MAX_ABS_ENERGY) {
          fprintf(stderr,
                  "Error: Invalid CUBE file - energy %g eV on line %lld lies beyond the "
                  "physical range of +-%g eV\n",
                  v, in.line_no, OSTREL_MAX_ABS_ENERGY);
          return 1;
        }
        if (h.repeated && (i == count[0] - 1 || j == count[1] - 1 || k == count[2] - 1))
          continue;
        out[o++] = v;
        if (v < gmin) gmin = v;
      }
  while (in.next(&b, &e))
    if (!blank(b, e)) {
      fprintf(stderr,
              "Error: Invalid CUBE file - more energy values than the grid counts on line "
              "%lld\n",
              in.line_no);
      return 1;
    }
  cube->global_minimum = gmin;
  if (fabs(cube->max_energy_above_gmin) > 1e-7)
    cube->max_energy = gmin + OSTREL_get_unscaled_from_scaled(cube, cube->max_energy_above_gmin);
  else
    cube->max_energy = gmin + 5.0;
  return 0;
}


}  // namespace

int OSTREL_load_cube(const char* filename, OSTREL_cube* cube) {
  cube->a_x = cube->a_y = cube->a_z = cube->b_x = cube->b_y = cube->b_z = 0;
  cube->c_x = cube->c_y = cube->c_z = 0;
  cube->a = cube->b = cube->c = 0;
  cube->a_unit = cube->b_unit = cube->c_unit = 0;
  cube->alpha = cube->beta = cube->gamma = 0;
  long long file_size = 0;
  OSTREL_file f = OSTREL_open_input(filename, "CUBE", OSTREL_MAX_CUBE_BYTES, &file_size);
  if (!f)
    return 1;  // refused, with its message
  return OSTREL_catch_memory(nullptr, [&] {
    LineReader in(f.get(), OSTREL_MAX_CUBE_BYTES);
    CubeHeader h;
    return read_cube_header(in, cube, &h) || read_cube_values(in, file_size, h, cube);
  });
}

void OSTREL_shift_cube_energy(OSTREL_cube* cube, double shift) {
  for (double& v : cube->energy.data)
    v -= shift;
  cube->max_energy -= shift;
  cube->energy_shift -= shift;
  cube->global_minimum = 0.0;
}

int OSTREL_process_cube(OSTREL_cube* cube) {
  OSTREL_shift_cube_energy(cube, cube->global_minimum);
  return 0;
}

// ===========================================================================
// Energy scaling
// ===========================================================================

int OSTREL_parse_energy_scaling(OSTREL_cube* cube, const char* expression) {
  std::string expr = std::string(expression).substr(0, 99);
  if (expr.find('E') == std::string::npos) {
    fprintf(stderr, "Error: Invalid scaling expression - variable E missing\n");
    return 1;
  }
  OSTREL_free_RPN(&cube->RPN);
  if (OSTREL_RPN_build(expr.c_str(), &cube->RPN)) {
    fprintf(stderr, "Error: OSTREL_RPN_build() returns non-zero.\n");
    return 1;
  }
  // Every printed energy goes through this expression: it must evaluate.
  OSTREL_variable_list vars;
  OSTREL_store_variable_value(&vars, 'E', 1.0);
  double probe;
  if (OSTREL_RPN_read(&cube->RPN, &vars, &probe)) {
    fprintf(stderr, "Error: Invalid scaling expression - cannot be evaluated: %s\n", expr.c_str());
    OSTREL_free_RPN(&cube->RPN);
    return 1;
  }
  cube->scaling = 1;
  return 0;
}

double OSTREL_scale_cube_energy(const OSTREL_cube* cube, double e) {
  if (!cube->scaling)
    return e;
  OSTREL_variable_list vars;
  OSTREL_store_variable_value(&vars, 'E', e);
  double v = e;
  if (OSTREL_RPN_read(&cube->RPN, &vars, &v))
    return e;
  return v;
}

double OSTREL_get_unscaled_from_scaled(const OSTREL_cube* cube, double target) {
  const char* warning = "Warning: Program could not find the correct energy threshold to be applied\n";
  double hi = 10.0;
  // A scale that never reaches the target (bounded or decreasing) would
  // otherwise raise the bound for ever.
  for (int guard = 0; target > OSTREL_scale_cube_energy(cube, hi); guard++) {
    if (guard >= 100000) {
      fprintf(stderr, "%s", warning);
      return 1.0;
    }
    hi += 1.0;
  }
  // A target met exactly by the bound (an integer target on the plain
  // scale) lies on the bracket's edge, where the bisection below would
  // find neither side holding it.
  if (OSTREL_scale_cube_energy(cube, hi) == target)
    return hi;
  const double first_hi = hi;
  double lo = 0.0;
  double lo_s = OSTREL_scale_cube_energy(cube, 0.0), hi_s = OSTREL_scale_cube_energy(cube, hi);
  for (int it = 0; it < 100; it++) {
    double mid = 0.5 * (lo + hi);
    double m = OSTREL_scale_cube_energy(cube, mid);
    if (m == target)
      return mid;
    if (m > target && target > lo_s) {
      hi = mid;
      hi_s = m;
      if (fabs(m - target) < 0.001) return mid;
      if (fabs(lo_s - target) < 0.001) return lo;
    } else if (target > m && hi_s > target) {
      lo = mid;
      lo_s = m;
      if (fabs(m - target) < 0.001) return mid;
      if (fabs(hi_s - target) < 0.001) return hi;
    } else {
      fprintf(stderr, "%s", warning);
      return 1.0;
    }
  }
  return first_hi;
}

// ===========================================================================
// Stationary points
// ===========================================================================

int OSTREL_find_lower_energy_neighbour_cluster(const OSTREL_cube* cube, int i, int j, int k) {
  OSTREL_shift_index_xyz(cube, &i, &j, &k);
  return classify_point(cube, i, j, k).clusters;
}

int OSTREL_is_minimum(const OSTREL_cube* cube, int i, int j, int k) {
  OSTREL_shift_index_xyz(cube, &i, &j, &k);
  return classify_point(cube, i, j, k).minimum;
}

// Removes the entries marked in `gone`, keeping the order of the others.
template <class P>
static void drop_marked(OSTREL_list<P> list, const std::vector<char>& gone) {
  OSTREL_list_remove_if(list, [&](const P&, int q) { return gone[q] != 0; });
}

// Minima on one flat floor are one site: each minimum in list order absorbs
// the later minima of its energy that its plateau (the grid points of that
// energy joined to it over 26-neighbour steps) reaches.  The tie-break by
// grid index finds one minimum per piece of such a floor, and pieces that
// are symmetry images of each other, or that meet only through points that
// are neither (a ring of equal points round a 3-fold axis), would otherwise
// stay separate sites with no hop between them.  A plateau of more than
// 4096 points is a flat region, not a site floor, and is followed no
// further.
static void merge_plateau_minima(OSTREL_cube* cube) {
  const int n = cube->total_minima;
  std::unordered_map<long long, int> at;
  at.reserve((size_t)n * 2);
  for (int q = 0; q < n; q++) {
    const OSTREL_minima& m = cube->minima[q];
    at.emplace((long long)cube->energy.index(m.x, m.y, m.z), q);
  }
  std::vector<char> gone(n, 0);
  std::unordered_set<long long> seen;
  std::vector<std::array<int, 3>> todo;
  for (int q = 0; q < n; q++) {
    if (gone[q])
      continue;
    const double e = cube->minima[q].e;
    seen.clear();
    todo.assign(1, {cube->minima[q].x, cube->minima[q].y, cube->minima[q].z});
    seen.insert((long long)cube->energy.index(todo[0][0], todo[0][1], todo[0][2]));
    while (!todo.empty() && seen.size() <= 4096) {
      const std::array<int, 3> p = todo.back();
      todo.pop_back();
      for (int a = -1; a <= 1; a++)
        for (int b = -1; b <= 1; b++)
          for (int c = -1; c <= 1; c++) {
            int x = p[0] + a, y = p[1] + b, z = p[2] + c;
            OSTREL_shift_index_xyz(cube, &x, &y, &z);
            const long long key = (long long)cube->energy.index(x, y, z);
            if (seen.count(key) || fabs(cube->energy.at(x, y, z) - e) >= 1e-7)
              continue;
            seen.insert(key);
            todo.push_back({x, y, z});
            auto hit = at.find(key);
            if (hit != at.end() && hit->second > q)
              gone[hit->second] = 1;
          }
    }
  }
  drop_marked(minima_list(cube), gone);
}

// When grid point `im` is not the kind of stationary point its orbit is (a
// saddle when `saddle`, else a minimum), the neighbour of equal energy that
// is takes its place.
static void move_to_tied_stationary_point(const OSTREL_cube* cube, bool saddle,
                                          OSTREL_fastgen_xyz* im) {
  auto is_kind = [&](int x, int y, int z) {
    const PointClass pc = classify_point(cube, x, y, z);
    return saddle ? pc.clusters >= 2 : (pc.clusters < 2 && pc.minimum);
  };
  if (is_kind(im->x, im->y, im->z))
    return;
  const double e = cube->energy.at(im->x, im->y, im->z);
  for (int a = -1; a <= 1; a++)
    for (int b = -1; b <= 1; b++)
      for (int c = -1; c <= 1; c++) {
        int x = im->x + a, y = im->y + b, z = im->z + c;
        OSTREL_shift_index_xyz(cube, &x, &y, &z);
        if (cube->energy.at(x, y, z) == e && is_kind(x, y, z)) {
          im->x = x;
          im->y = y;
          im->z = z;
          return;
        }
      }
}

int OSTREL_find_stationary_points(OSTREL_cube* cube, OSTREL_cif* cif,
                                  OSTREL_asymmetric_unit* unit) {
  OSTREL_free_cube_stationary_points(cube);
  // Marks grid points that hold a recorded minimum, so that a saddle image
  // landing there finds it without a scan of the list.
  OSTREL_3D_char_array has_min;
  if (OSTREL_alloc_3D_char_array(&has_min, cube->a_grid, cube->b_grid, cube->c_grid)) {
    fprintf(stderr, "Error: OSTREL_alloc_3D_char_array() returns non-zero.\n");
    return 1;
  }
  OSTREL_symcopies copies;
  for (int p = 0; p < unit->total; p++) {
    const OSTREL_xyz_int& g = unit->grid[p];
    if (cube->energy.at(g.x, g.y, g.z) > cube->max_energy)
      continue;
    PointClass pc = classify_point(cube, g.x, g.y, g.z);
    if (pc.clusters < 2 && !pc.minimum) {
      // The tie-break by grid index is not symmetric: of a saddle or
      // minimum split over equal images (three points round a 3-fold axis,
      // say), the representative may be the image that loses the tie while
      // another image is the stationary point.  The orbit then takes the
      // class of its first image that is one, a minimum before a saddle: an
      // image that wins every tie has no lower neighbour at all, so the
      // orbit is the floor of a flat basin (a ring of equal points round a
      // 3-fold axis, 18 per Ag site in a cubic nitride), and a saddle
      // found by the tie-break on the same ring only joins that basin to
      // itself.  Taking the saddle would lose the deepest site.
      if (!pc.tied)
        continue;
      OSTREL_fastgen_sym_copies(cif, cube, &copies, g.x, g.y, g.z);
      bool found = false;
      for (int pass = 0; pass < 2 && !found; pass++)
        for (int c = 0; c < copies.total && !found; c++) {
          pc = classify_point(cube, copies.copy[c].x, copies.copy[c].y, copies.copy[c].z);
          found = pass == 0 ? pc.clusters < 2 && pc.minimum : pc.clusters >= 2;
        }
      if (!found)
        continue;
    }
    OSTREL_fastgen_sym_copies(cif, cube, &copies, g.x, g.y, g.z);
    OSTREL_condense_copies(cif, cube, &copies, 1);
    for (int c = 0; c < copies.total; c++) {
      OSTREL_fastgen_xyz& im = copies.copy[c];
      // The grid point of a merged image must be the stationary point
      // itself: of equal images only those that win the tie are.
      if (pc.tied)
        move_to_tied_stationary_point(cube, pc.clusters >= 2, &im);
      double e = cube->energy.at(im.x, im.y, im.z);
      if (pc.clusters >= 2) {
        if (OSTREL_add_cube_saddle_point(cube, im.x, im.y, im.z, 0, e)) {
          fprintf(stderr, "Error: OSTREL_add_cube_saddle_point() returns non-zero.\n");
          return 1;
        }
        OSTREL_saddle& s = cube->saddle[cube->total_saddle - 1];
        s.tx = im.p;
        s.ty = im.q;
        s.tz = im.r;
        if (has_min.at(im.x, im.y, im.z)) {
          OSTREL_del_cube_minima_point_by_loc(cube, im.x, im.y, im.z);
          has_min.at(im.x, im.y, im.z) = (char)OSTREL_isin_minima_list(cube, im.x, im.y, im.z);
        }
      } else {
        if (OSTREL_add_cube_minima_point(cube, im.x, im.y, im.z, 0, im.p, im.q, im.r, e)) {
          fprintf(stderr, "Error: OSTREL_add_cube_minima_point() returns non-zero.\n");
          return 1;
        }
        has_min.at(im.x, im.y, im.z) = 1;
      }
    }
  }
  return OSTREL_catch_memory(nullptr, [&] {
    merge_plateau_minima(cube);
    return 0;
  });
}

// Merges points of a list that are symmetry images of each other within one
// grid step (one stationary point split over neighbouring grid points): each
// point in list order absorbs the later points on its images that have a
// periodic copy less than 2 steps away on every axis; its true position
// becomes the mean, its grid point the rounded mean (half steps rounded
// towards the absorbing point when `towards_first`; should the point fall
// outside the group, the member nearest to the mean).  Whether a later point joins
// depends only on the absorbing point's grid point, so the points on each
// image are looked up directly.
template <class P>
static void merge_split_points(OSTREL_cube* cube, OSTREL_cif* cif, std::vector<P>& list,
                               int* total, int* cap, bool towards_first) {
  const int na = cube->a_grid, nb = cube->b_grid, nc = cube->c_grid;
  const int ns = *total;
  std::unordered_map<long long, std::vector<int>> at;
  at.reserve((size_t)ns * 2);
  for (int s = 0; s < ns; s++)
    at[(long long)cube->energy.index(list[s].x, list[s].y, list[s].z)].push_back(s);
  std::vector<char> gone(ns, 0);
  OSTREL_symcopies copies;
  for (int s = 0; s < ns; s++) {
    if (gone[s])
      continue;
    P& S = list[s];
    OSTREL_fastgen_sym_copies(cif, cube, &copies, S.x, S.y, S.z);
    double sx = S.tx, sy = S.ty, sz = S.tz;
    int count = 1;
    std::vector<OSTREL_cube_triple_index> members;
    members.push_back(OSTREL_cube_triple_index{S.x, S.y, S.z});
    std::vector<int> joined;
    // Minima: images next to S that are not listed themselves count too.
    // With exact ties broken by grid index only one of two equal twins is a
    // minimum, yet the site lies between them (the asymmetric-unit search
    // merges the images of its point the same way).  A saddle keeps the
    // grid point that was found to separate two basins.
    auto next_to_S = [&](int x, int y, int z, int* fx, int* fy, int* fz) {
      for (int oa = -1; oa <= 1; oa++)
        for (int ob = -1; ob <= 1; ob++)
          for (int oc = -1; oc <= 1; oc++) {
            int px = x + oa * na, py = y + ob * nb, pz = z + oc * nc;
            if (abs(px - S.x) < 2 && abs(py - S.y) < 2 && abs(pz - S.z) < 2) {
              *fx = px;
              *fy = py;
              *fz = pz;
              return true;
            }
          }
      return false;
    };
    for (int c = 0; c < copies.total; c++) {
      const OSTREL_fastgen_xyz& im = copies.copy[c];
      auto hit = at.find((long long)cube->energy.index(im.x, im.y, im.z));
      if (hit == at.end()) {
        if (!towards_first)
          continue;
        int fx, fy, fz;
        const bool self = im.x == S.x && im.y == S.y && im.z == S.z;
        if (!self && next_to_S(im.x, im.y, im.z, &fx, &fy, &fz) &&
            std::find_if(members.begin(), members.end(), [&](const OSTREL_cube_triple_index& m) {
              return m.x == fx && m.y == fy && m.z == fz;
            }) == members.end()) {
          sx += fx;
          sy += fy;
          sz += fz;
          count++;
          members.push_back(OSTREL_cube_triple_index{fx, fy, fz});
        }
        continue;
      }
      for (int t : hit->second)
        if (t > s && !gone[t])
          joined.push_back(t);
    }
    std::sort(joined.begin(), joined.end());
    joined.erase(std::unique(joined.begin(), joined.end()), joined.end());
    for (int t : joined) {
      const P& T = list[t];
      bool found = false;
      int fx = 0, fy = 0, fz = 0;
      for (int oa = -1; oa <= 1 && !found; oa++)
        for (int ob = -1; ob <= 1 && !found; ob++)
          for (int oc = -1; oc <= 1 && !found; oc++) {
            int px = T.x + oa * na, py = T.y + ob * nb, pz = T.z + oc * nc;
            if (abs(px - S.x) < 2 && abs(py - S.y) < 2 && abs(pz - S.z) < 2) {
              found = true;
              fx = px;
              fy = py;
              fz = pz;
            }
          }
      if (!found)
        continue;
      sx += fx;
      sy += fy;
      sz += fz;
      count++;
      members.push_back(OSTREL_cube_triple_index{fx, fy, fz});
      gone[t] = 1;
    }
    if (count > 1) {
      double mx = sx / count, my = sy / count, mz = sz / count;
      S.tx = mx;
      S.ty = my;
      S.tz = mz;
      OSTREL_shift_index_xyz_dbl(cube, &S.tx, &S.ty, &S.tz);
      int gx, gy, gz;
      if (towards_first) {  // half steps go to the absorbing point
        gx = OSTREL_round_copies(S.x, mx);
        gy = OSTREL_round_copies(S.y, my);
        gz = OSTREL_round_copies(S.z, mz);
      } else {
        gx = (int)lround(S.tx);
        gy = (int)lround(S.ty);
        gz = (int)lround(S.tz);
      }
      OSTREL_shift_index_xyz(cube, &gx, &gy, &gz);
      OSTREL_snap_to_member(cube, members, mx, my, mz, &gx, &gy, &gz);
      S.x = gx;
      S.y = gy;
      S.z = gz;
      S.e = cube->energy.at(gx, gy, gz);
    }
  }
  drop_marked(OSTREL_list_of(list, *total, cap), gone);
}

int OSTREL_find_stationary_points2(OSTREL_cube* cube, OSTREL_cif* cif) {
  OSTREL_free_cube_stationary_points(cube);
  const int na = cube->a_grid, nb = cube->b_grid, nc = cube->c_grid;
  for (int i = 0; i < na; i++)
    for (int j = 0; j < nb; j++)
      for (int k = 0; k < nc; k++) {
        double e = cube->energy.at(i, j, k);
        if (e > cube->max_energy)
          continue;
        PointClass pc = classify_point(cube, i, j, k);
        if (pc.clusters < 2 && pc.minimum) {
          if (OSTREL_add_cube_minima_point(cube, i, j, k, 0, i, j, k, e)) {
            fprintf(stderr, "Error: OSTREL_add_cube_minima_point() returns non-zero.\n");
            return 1;
          }
        } else if (pc.clusters >= 2) {
          if (OSTREL_add_cube_saddle_point(cube, i, j, k, 0, e)) {
            fprintf(stderr, "Error: OSTREL_add_cube_saddle_point() returns non-zero.\n");
            return 1;
          }
          OSTREL_saddle& s = cube->saddle[cube->total_saddle - 1];
          s.tx = i;
          s.ty = j;
          s.tz = k;
        }
      }
  return OSTREL_catch_memory(nullptr, [&] {
    merge_split_points(cube, cif, cube->saddle, &cube->total_saddle, &cube->total_saddle_cap,
                       false);
    // Minima split the same way are one site too, as the search over the
    // asymmetric unit finds them (its images within one step are merged).
    merge_split_points(cube, cif, cube->minima, &cube->total_minima, &cube->total_minima_cap,
                       true);
    // A grid point cannot be both: minima on saddle points are dropped.
    std::unordered_map<long long, char> saddle_at;
    for (int s = 0; s < cube->total_saddle; s++) {
      const OSTREL_saddle& sd = cube->saddle[s];
      saddle_at[(long long)cube->energy.index(sd.x, sd.y, sd.z)] = 1;
    }
    std::vector<char> on_saddle(cube->total_minima, 0);
    for (int q = 0; q < cube->total_minima; q++) {
      const OSTREL_minima& mn = cube->minima[q];
      on_saddle[q] = saddle_at.count((long long)cube->energy.index(mn.x, mn.y, mn.z)) > 0;
    }
    drop_marked(minima_list(cube), on_saddle);
    merge_plateau_minima(cube);
    return 0;
  });
}

// ===========================================================================
// Lists
// ===========================================================================

void OSTREL_init_cube_stationary_points(OSTREL_cube* cube) {
  cube->total_minima = cube->total_saddle = 0;
  cube->total_minima_cap = cube->total_saddle_cap = 0;
  cube->total_minima_type = cube->total_saddle_type = 0;
  cube->minima.clear();
  cube->saddle.clear();
  cube->minima_type_index.clear();
  cube->saddle_type_index.clear();
}

void OSTREL_free_cube_stationary_points(OSTREL_cube* cube) {
  OSTREL_init_cube_stationary_points(cube);
  cube->minima.shrink_to_fit();
  cube->saddle.shrink_to_fit();
}

int OSTREL_alloc_cube_minima_point(OSTREL_cube* cube, int total) {
  return OSTREL_list_report(OSTREL_list_reserve(minima_list(cube), total),
                            "OSTREL_alloc_cube_minima_point");
}

int OSTREL_alloc_cube_saddle_point(OSTREL_cube* cube, int total) {
  return OSTREL_list_report(OSTREL_list_reserve(saddle_list(cube), total),
                            "OSTREL_alloc_cube_saddle_point");
}

int OSTREL_alloc_cube_minima_ions(OSTREL_minima* m, int total) {
  return OSTREL_list_report(
      OSTREL_list_reserve(OSTREL_list_of(m->ion, m->total_ions, &m->total_ions_cap), total),
      "OSTREL_alloc_cube_minima_ions");
}

int OSTREL_add_cube_minima_point(OSTREL_cube* cube, int x, int y, int z, int type, double tx,
                                 double ty, double tz, double e) {
  OSTREL_minima m;
  m.x = x;
  m.y = y;
  m.z = z;
  m.type = type;
  m.tx = tx;
  m.ty = ty;
  m.tz = tz;
  m.e = e;
  return OSTREL_list_report(OSTREL_list_append(minima_list(cube), std::move(m)),
                            "OSTREL_alloc_cube_minima_point");
}

int OSTREL_add_cube_minima_ion(OSTREL_minima* m, const char* label, double occ) {
  OSTREL_site_occupied_ion ion;
  ion.label = label;
  ion.occ = occ;
  return OSTREL_list_report(
      OSTREL_list_append(OSTREL_list_of(m->ion, m->total_ions, &m->total_ions_cap), ion),
      "OSTREL_alloc_cube_minima_ions");
}

int OSTREL_add_cube_saddle_point(OSTREL_cube* cube, int x, int y, int z, int type, double e) {
  OSTREL_saddle s;
  s.x = x;
  s.y = y;
  s.z = z;
  s.type = type;
  s.e = e;
  return OSTREL_list_report(OSTREL_list_append(saddle_list(cube), s),
                            "OSTREL_alloc_cube_saddle_point");
}

// Out-of-range indices are ignored.
void OSTREL_del_cube_minima_point(OSTREL_cube* cube, int index) {
  OSTREL_list_erase(minima_list(cube), index);
}

void OSTREL_del_cube_saddle_point(OSTREL_cube* cube, int index) {
  OSTREL_list_erase(saddle_list(cube), index);
}

// Position of the first minimum on the wrapped grid point, or -1.
static int minimum_at(const OSTREL_cube* cube, int i, int j, int k) {
  OSTREL_shift_index_xyz(cube, &i, &j, &k);
  return OSTREL_list_find(cube->minima, cube->total_minima, [&](const OSTREL_minima& m) {
    return m.x == i && m.y == j && m.z == k;
  });
}

void OSTREL_del_cube_minima_point_by_loc(OSTREL_cube* cube, int i, int j, int k) {
  OSTREL_del_cube_minima_point(cube, minimum_at(cube, i, j, k));
}

int OSTREL_isin_minima_list(const OSTREL_cube* cube, int i, int j, int k) {
  return minimum_at(cube, i, j, k) >= 0;
}

// ===========================================================================
// Summaries
// ===========================================================================

static int plateau_visit(const OSTREL_cube* cube, OSTREL_same_energy_grid_list* list, double e0,
                         int i, int j, int k) {
  if (list->total > 27)
    return -1;
  if (OSTREL_grow_list(list->item, list->cap, list->total + 1))
    return -1;
  list->item[list->total++] = OSTREL_cube_triple_index{i, j, k};
  for (int da = 1; da >= -1; da--)
    for (int db = 1; db >= -1; db--)
      for (int dc = 1; dc >= -1; dc--) {
        if (!da && !db && !dc)
          continue;
        int x = i + da, y = j + db, z = k + dc;
        if (!OSTREL_cube_equal_dbl(OSTREL_cube_energy(cube, x, y, z), e0))
          continue;
        bool listed = false;
        for (int q = 0; q < list->total && !listed; q++)
          listed = list->item[q].x == x && list->item[q].y == y && list->item[q].z == z;
        if (listed)
          continue;
        if (plateau_visit(cube, list, e0, x, y, z) < 0)
          return -1;
      }
  return 0;
}

int OSTREL_find_same_energy_neighbours(const OSTREL_cube* cube,
                                       OSTREL_same_energy_grid_list* list, int i, int j, int k) {
  list->total = 0;
  return plateau_visit(cube, list, OSTREL_cube_energy(cube, i, j, k), i, j, k);
}

int OSTREL_label_minima_site(const OSTREL_cube* cube, std::string* out, int type) {
  out->clear();
  if (type < 1 || type > cube->total_minima_type)
    return 0;
  return OSTREL_catch_memory(nullptr, [&] {
    const OSTREL_minima& rep = cube->minima[cube->minima_type_index[type]];
    if (rep.ins_label > 0) {
      *out = "i" + std::to_string(rep.ins_label);
      return 0;
    }
    // The type index holds the first member in list order.
    const OSTREL_minima& m = rep;
    for (int n = 0; n < m.total_ions; n++)
      if (m.ion[n].occ > 1e-7) {
        if (!out->empty()) *out += "/";
        *out += m.ion[n].label;
      }
    return 0;
  });
}

// List indices of the members of each type (1-based), in list order.
template <class P>
static std::vector<std::vector<int>> members_by_type(const std::vector<P>& v, int total,
                                                    int types) {
  std::vector<std::vector<int>> out(types + 1);
  for (int q = 0; q < total; q++)
    if (v[q].type >= 1 && v[q].type <= types)
      out[v[q].type].push_back(q);
  return out;
}

static const char* DASH65 = "-----------------------------------------------------------------\r\n";

// The opening of a summary: title between dash lines and the two totals.
static void print_summary_head(FILE* stream, const char* title, const char* what, int total,
                               int types) {
  fprintf(stream, "%s", DASH65);
  fprintf(stream, "                  Summary of energy %s                  \r\n", title);
  fprintf(stream, "%s\r\n", DASH65);
  fprintf(stream, "Total local %s in unit cell: %d\r\n", what, total);
  fprintf(stream, "Total symmetrically inequivalent: %d\r\n\r\n", types);
}

// The plateau of equal energies around member q of a summary.  A plateau
// too large to list (a flat ridge or floor running on through the cell)
// stands for the grid point alone, whose position is then printed.
static int summary_plateau(const OSTREL_cube* cube, OSTREL_same_energy_grid_list* plateau,
                           int x, int y, int z) {
  if (OSTREL_find_same_energy_neighbours(cube, plateau, x, y, z) < 0) {
    plateau->total = 1;
    plateau->item.assign(1, OSTREL_cube_triple_index{x, y, z});
  }
  return 0;
}

int OSTREL_printminima(const OSTREL_cube* cube, FILE* stream) {
  print_summary_head(stream, "local minima", "minima", cube->total_minima, cube->total_minima_type);
  OSTREL_same_energy_grid_list plateau;
  const std::vector<std::vector<int>> members =
      members_by_type(cube->minima, cube->total_minima, cube->total_minima_type);
  for (int t = 1; t <= cube->total_minima_type; t++) {
    std::string label;
    if (OSTREL_label_minima_site(cube, &label, t)) {
      fprintf(stderr, "Error: OSTREL_label_minima_site() returns non-zero.\n");
      fflush(stream);
      return 1;
    }
    fprintf(stream, "Minima type: %s (Energy: %.6f eV)\r\n", label.c_str(),
            OSTREL_scale_cube_energy(cube, cube->minima[cube->minima_type_index[t]].e));
    fprintf(stream,
            "    Index   Grid coor.    True grid coor.     Frac. coor.         Occ.    Ion type\r\n");
    int printed = 0;
    for (int q : members[t]) {
      const OSTREL_minima& m = cube->minima[q];
      if (summary_plateau(cube, &plateau, m.x, m.y, m.z))
        return 1;
      double fx = 0, fy = 0, fz = 0;
      for (int p = 0; p < plateau.total; p++) {
        fx += (double)plateau.item[p].x / cube->a_grid;
        fy += (double)plateau.item[p].y / cube->b_grid;
        fz += (double)plateau.item[p].z / cube->c_grid;
      }
      fx /= plateau.total;
      fy /= plateau.total;
      fz /= plateau.total;
      fprintf(stream, "    %5d   %3d %3d %3d   %5.1f %5.1f %5.1f   %5.3f %5.3f %5.3f   ", q, m.x,
              m.y, m.z, fx * cube->a_grid, fy * cube->b_grid, fz * cube->c_grid, fx, fy, fz);
      int shown = 0;
      for (int n = 0; n < m.total_ions; n++) {
        if (!(m.ion[n].occ > 0))
          continue;
        if (shown > 0)
          fprintf(stream, "%66s", "");
        fprintf(stream, "%4.3f   %s\r\n", m.ion[n].occ, m.ion[n].label.c_str());
        shown++;
      }
      if (shown == 0)
        fprintf(stream, "\r\n");
      printed++;
    }
    fprintf(stream, "Multiplicity: %d\r\n\r\n", printed);
  }
  fflush(stream);
  return 0;
}

int OSTREL_printsaddle(const OSTREL_cube* cube, FILE* stream) {
  print_summary_head(stream, "saddle point", "saddle", cube->total_saddle, cube->total_saddle_type);
  OSTREL_same_energy_grid_list plateau;
  const std::vector<std::vector<int>> members =
      members_by_type(cube->saddle, cube->total_saddle, cube->total_saddle_type);
  for (int t = 1; t <= cube->total_saddle_type; t++) {
    fprintf(stream, "Saddle type: s%d (Energy: %.6f eV)\r\n", t,
            OSTREL_scale_cube_energy(cube, cube->saddle[cube->saddle_type_index[t]].e));
    fprintf(stream,
            "    Index   Grid coor.    True grid coor.     Frac. coor.         True frac. coor.\r\n");
    int printed = 0;
    for (int q : members[t]) {
      const OSTREL_saddle& s = cube->saddle[q];
      if (summary_plateau(cube, &plateau, s.x, s.y, s.z))
        return 1;
      double px = 0, py = 0, pz = 0;
      for (int p = 0; p < plateau.total; p++) {
        px += plateau.item[p].x;
        py += plateau.item[p].y;
        pz += plateau.item[p].z;
      }
      px /= plateau.total;
      py /= plateau.total;
      pz /= plateau.total;
      fprintf(stream,
              "    %5d   %3d %3d %3d   %5.1f %5.1f %5.1f   %5.3f %5.3f %5.3f   %5.3f %5.3f "
              "%5.3f\r\n",
              q, s.x, s.y, s.z, px, py, pz, (double)s.x / cube->a_grid,
              (double)s.y / cube->b_grid, (double)s.z / cube->c_grid, px / cube->a_grid,
              py / cube->b_grid, pz / cube->c_grid);
      printed++;
    }
    fprintf(stream, "Multiplicity: %d\r\n\r\n", printed);
  }
  fflush(stream);
  return 0;
}

// ===========================================================================
// Nearest minima and saddles
// ===========================================================================

int OSTREL_init_nearest_neighbour(OSTREL_nearest_neighbour* list, int total, int include_target,
                                  double x, double y, double z) {
  if (total <= 0) {
    fprintf(stderr, "Error: Non-positive input size to OSTREL_alloc_nearest_neighbour()\n");
    return 1;
  }
  return OSTREL_catch_memory("OSTREL_alloc_nearest_neighbour", [&] {
    list->target_x = x;
    list->target_y = y;
    list->target_z = z;
    list->total = total;
    list->include_target = include_target;
    list->index.assign(total, -1);
    list->i.assign(total, 0);
    list->j.assign(total, 0);
    list->k.assign(total, 0);
    list->distance.assign(total, 999999.0);
    return 0;
  });
}

// Inserts after every kept entry with a smaller or equal distance; the last
// entry drops out.  Returns 1 when inserted.
int OSTREL_add_nearest_neighbour(OSTREL_nearest_neighbour* list, int index, int i, int j, int k,
                                 double distance) {
  int n = list->total;
  if (n <= 0 || !(distance < list->distance[n - 1]))
    return 0;
  int pos = 0;
  while (pos < n && list->distance[pos] <= distance) pos++;
  for (int q = n - 1; q > pos; q--) {
    list->index[q] = list->index[q - 1];
    list->i[q] = list->i[q - 1];
    list->j[q] = list->j[q - 1];
    list->k[q] = list->k[q - 1];
    list->distance[q] = list->distance[q - 1];
  }
  list->index[pos] = index;
  list->i[pos] = i;
  list->j[pos] = j;
  list->k[pos] = k;
  list->distance[pos] = distance;
  return 1;
}

void OSTREL_free_nearest_neighbour(OSTREL_nearest_neighbour* list) {
  *list = OSTREL_nearest_neighbour();
}

// Shell search over periodic images of points given by their true positions.
template <class P>
static int nearest_images(const OSTREL_cube* cube, const std::vector<P>& pts, int count,
                          OSTREL_nearest_neighbour* list) {
  const int na = cube->a_grid, nb = cube->b_grid, nc = cube->c_grid;
  for (int s = 0; s <= 1000; s++) {
    bool inserted = false;
    for (int q = 0; q < count; q++) {
      const P& p = pts[q];
      for (int a = -s; a <= s; a++)
        for (int b = -s; b <= s; b++)
          for (int c = -s; c <= s; c++) {
            if (std::max(abs(a), std::max(abs(b), abs(c))) != s)
              continue;
            double x = p.tx + (double)a * na, y = p.ty + (double)b * nb, z = p.tz + (double)c * nc;
            if (!list->include_target && OSTREL_cube_equal_dbl(x, list->target_x) &&
                OSTREL_cube_equal_dbl(y, list->target_y) && OSTREL_cube_equal_dbl(z, list->target_z))
              continue;
            double d = OSTREL_distance_grid(cube, list->target_x, list->target_y, list->target_z,
                                            x, y, z);
            if (OSTREL_add_nearest_neighbour(list, q, a, b, c, d))
              inserted = true;
          }
    }
    if (!inserted)
      break;
  }
  return 0;
}

int OSTREL_get_nearest_minima(const OSTREL_cube* cube, OSTREL_nearest_neighbour* list) {
  return nearest_images(cube, cube->minima, cube->total_minima, list);
}

int OSTREL_get_nearest_saddle(const OSTREL_cube* cube, OSTREL_nearest_neighbour* list) {
  return nearest_images(cube, cube->saddle, cube->total_saddle, list);
}

// ===========================================================================
// Geometry and wrapping
// ===========================================================================

double OSTREL_distance_grid(const OSTREL_cube* cube, double x1, double y1, double z1, double x2,
                            double y2, double z2) {
  double da = (x1 - x2) / cube->a_grid, db = (y1 - y2) / cube->b_grid,
         dc = (z1 - z2) / cube->c_grid;
  double d2 = da * da * cube->d1 + db * db * cube->d2 + dc * dc * cube->d3 + da * db * cube->d4 +
              db * dc * cube->d5 + da * dc * cube->d6;
  return sqrt(d2 > 0 ? d2 : 0);
}

double OSTREL_angle(const OSTREL_cube* cube, int ax, int ay, int az, int bx, int by, int bz,
                    int cx, int cy, int cz) {
  auto cart = [&](int di, int dj, int dk, double out[3]) {
    out[0] = di * cube->a_x + dj * cube->b_x + dk * cube->c_x;
    out[1] = di * cube->a_y + dj * cube->b_y + dk * cube->c_y;
    out[2] = di * cube->a_z + dj * cube->b_z + dk * cube->c_z;
  };
  double u[3], v[3];
  cart(ax - bx, ay - by, az - bz, u);
  cart(cx - bx, cy - by, cz - bz, v);
  double lu = sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
  double lv = sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (lu < 1e-7 || lv < 1e-7)
    return 0.0;
  double c = (u[0] * v[0] + u[1] * v[1] + u[2] * v[2]) / (lu * lv);
  return acos(std::max(-1.0, std::min(1.0, c)));
}

double OSTREL_cube_energy(const OSTREL_cube* cube, int i, int j, int k) {
  OSTREL_shift_index_xyz(cube, &i, &j, &k);
  return cube->energy.at(i, j, k);
}

int OSTREL_cube_equal_dbl(double a, double b) { return fabs(a - b) < 1e-7; }

static int axis_count(const OSTREL_cube* cube, int axis) {
  return axis == 1 ? cube->a_grid : axis == 2 ? cube->b_grid : axis == 3 ? cube->c_grid : 0;
}

int OSTREL_shift_index(const OSTREL_cube* cube, int index, int axis) {
  int n = axis_count(cube, axis);
  if (n <= 0)
    return -1;
  return wrap(index, n);
}

double OSTREL_shift_index_dbl(const OSTREL_cube* cube, double index, int axis) {
  int n = axis_count(cube, axis);
  if (n <= 0)
    return -1;
  double v = index - n * floor(index / n);
  if (v >= n) v -= n;  // rounding of values just below a multiple of n
  if (v < 0) v = 0;
  return v;
}

void OSTREL_shift_index_xyz(const OSTREL_cube* cube, int* x, int* y, int* z) {
  *x = wrap(*x, cube->a_grid);
  *y = wrap(*y, cube->b_grid);
  *z = wrap(*z, cube->c_grid);
}

void OSTREL_snap_to_member(const OSTREL_cube* cube,
                           const std::vector<OSTREL_cube_triple_index>& members, double mx,
                           double my, double mz, int* gx, int* gy, int* gz) {
  const int na = cube->a_grid, nb = cube->b_grid, nc = cube->c_grid;
  for (const OSTREL_cube_triple_index& m : members)
    if (wrap(m.x, na) == *gx && wrap(m.y, nb) == *gy && wrap(m.z, nc) == *gz) return;
  // The member nearest the mean (the first on ties).
  int best = 0;
  double bd = -1;
  for (size_t m = 0; m < members.size(); m++) {
    double dx = members[m].x - mx, dy = members[m].y - my, dz = members[m].z - mz;
    double d = dx * dx + dy * dy + dz * dz;
    if (bd < 0 || d < bd - 1e-12) {
      bd = d;
      best = (int)m;
    }
  }
  *gx = wrap(members[best].x, na);
  *gy = wrap(members[best].y, nb);
  *gz = wrap(members[best].z, nc);
}

void OSTREL_shift_index_xyz_dbl(const OSTREL_cube* cube, double* x, double* y, double* z) {
  *x = OSTREL_shift_index_dbl(cube, *x, 1);
  *y = OSTREL_shift_index_dbl(cube, *y, 2);
  *z = OSTREL_shift_index_dbl(cube, *z, 3);
}

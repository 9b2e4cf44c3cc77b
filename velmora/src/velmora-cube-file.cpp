// Gaussian cube files of velmora: the writer (CR LF lines, one value per
// line, formatted in parallel blocks and streamed to a temporary file) and
// the one strict reader every landscape command uses, which refuses a file
// whose counts, atom lines or values do not match, whose values are not
// finite site energies, or whose cell is degenerate.
#include "velmora-cube.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "velmora-alloc.h"
#include "velmora-import.h"

namespace {

char sign_of(int os) { return os < 0 ? '-' : '+'; }

}  // namespace

// ------------------------------------------------------------- writing ----

namespace {

void append_format(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append_format(std::string& out, const char* format, ...) {
  char piece[256];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(piece, sizeof piece, format, args);
  va_end(args);
  if (length > 0) out.append(piece, std::min<std::size_t>(length, sizeof piece - 1));
}

}  // namespace

namespace {

// The header lines: title, conducting species, atom count, the three axes
// and (with cell and parameters) one line per atom.  1 when a species
// lookup fails.
int cube_header(std::string& out, const VELMORA_CUBE* cube, const VELMORA_CELL* cell,
                const VELMORA_PROPERTY* ppt, bool periodic) {
  out.clear();
  const bool header = cell && !cell->atom.empty() && ppt;
  const double bohr = VELMORA_BOHR_PER_ANGSTROM;
  if (header) {
    append_format(out, "%s\r\n", cell->name);
    const int c = ppt->conducting;
    if (c >= 0 && c < ppt->total)
      append_format(out, "Conducting = %s%d%c ; sf = %lf;\r\n", ppt->type[c].data(),
                    std::abs(ppt->os[c]), sign_of(ppt->os[c]), ppt->sf);
    else
      out += "\r\n";
    append_format(out, "%4ld %11.6f %11.6f %11.6f\r\n", static_cast<long>(cell->atom.size()), 0.0,
                  0.0, 0.0);
  } else {
    out += "noname\r\n\r\n";
    append_format(out, "%4d %11.6f %11.6f %11.6f\r\n", 0, 0.0, 0.0, 0.0);
  }
  const long extra = periodic ? 0 : 1;
  for (int k = 0; k < 3; ++k)
    append_format(out, "%4ld %11.6f %11.6f %11.6f\r\n", cube->n[k] + extra, cube->a_i[k][0] * bohr,
                  cube->a_i[k][1] * bohr, cube->a_i[k][2] * bohr);
  if (header) {
    for (const VELMORA_ATOM& atom : cell->atom) {
      const int s = velmora_property_find_index(ppt, atom.type, atom.os);
      if (s < 0) {
        std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
        return 1;
      }
      append_format(out, "%4d %11.6f %11.6f %11.6f %11.6f\r\n", ppt->uni[s].an, ppt->uni[s].q,
                    atom.x[0] * bohr, atom.x[1] * bohr, atom.x[2] * bohr);
    }
  }
  return 0;
}

// Values [first, last) of the file's voxel lines (the first axis
// outermost over the counts m; in a closed file index n_k wraps to 0),
// appended to `out`.
void cube_value_lines(std::string& out, const VELMORA_CUBE& cube, const long m[3], long first,
                      long last) {
  out.reserve(out.size() + static_cast<std::size_t>(last - first) * 15);
  char line[VELMORA_CUBE_VALUE_LINE_MAX];
  long i = first / (m[1] * m[2]), j = (first / m[2]) % m[1], k = first % m[2];
  long row = ((i % cube.n[0]) * cube.n[1] + j % cube.n[1]) * cube.n[2];
  for (long v = first; v < last; ++v) {
    const double e = cube.en[static_cast<std::size_t>(row + k % cube.n[2])];
    out.append(line, velmora_cube_format_value(line, e));
    if (++k == m[2]) {
      k = 0;
      if (++j == m[1]) {
        j = 0;
        ++i;
      }
      row = ((i % cube.n[0]) * cube.n[1] + j % cube.n[1]) * cube.n[2];
    }
  }
}

// Voxel lines per block written by velmora_cube_export_to_file: about 1 MB
// of text, large enough to keep threads busy between writes, small enough
// that the file never has to be held in memory.
constexpr long kLinesPerBlock = 1L << 16;

}  // namespace

std::size_t velmora_cube_format_value(char* out, double e) {
  // std::to_chars in fixed notation with a precision gives the digits printf
  // gives for "%.6f" (both round the exact binary value correctly, ties to
  // even); only the padding to 12 characters is done here.
  char digits[VELMORA_CUBE_VALUE_LINE_MAX];
  int length = -1;
  if (std::isfinite(e)) {
    const std::to_chars_result r =
        std::to_chars(digits, digits + sizeof digits, e, std::chars_format::fixed, 6);
    if (r.ec == std::errc()) length = static_cast<int>(r.ptr - digits);
  }
  if (length < 0) {  // NaN and infinities: printf itself
    const int n = std::snprintf(out, VELMORA_CUBE_VALUE_LINE_MAX, " %12.6f\r\n", e);
    return static_cast<std::size_t>(std::min(n, static_cast<int>(VELMORA_CUBE_VALUE_LINE_MAX) - 1));
  }
  char* p = out;
  *p++ = ' ';
  for (int pad = 12 - length; pad > 0; --pad) *p++ = ' ';
  std::memcpy(p, digits, static_cast<std::size_t>(length));
  p += length;
  *p++ = '\r';
  *p++ = '\n';
  return static_cast<std::size_t>(p - out);
}

int velmora_cube_export_to_string(std::string& out, const VELMORA_CUBE* cube,
                                  const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                  bool periodic) {
  if (cube_header(out, cube, cell, ppt, periodic) != 0) return 1;
  const long extra = periodic ? 0 : 1;
  const long m[3] = {cube->n[0] + extra, cube->n[1] + extra, cube->n[2] + extra};
  cube_value_lines(out, *cube, m, 0, m[0] * m[1] * m[2]);
  return 0;
}

int velmora_cube_export_to_file(const VELMORA_CUBE* cube, const VELMORA_CELL* cell,
                                const VELMORA_PROPERTY* ppt, const char* path, bool periodic) {
  const bool header = cell && !cell->atom.empty() && ppt;
  std::printf(header ? "Message: cube file is generated with header.\n"
                     : "Message: cube file is generated without header.\n");
  if (!cube || cube->en.empty() ||
      cube->en.size() != static_cast<std::size_t>(cube->n[0] * cube->n[1] * cube->n[2])) {
    std::fprintf(stderr, "Error: VELMORA_CUBE has not been properly initialized.\n");
    return 1;
  }
  std::string head;
  if (cube_header(head, cube, cell, ppt, periodic) != 0) return 1;
  VELMORA_OUTPUT out;
  const int opened = velmora_output_open(out, path);
  if (opened != 0) {
    if (opened != 3)
      std::fprintf(stderr, "Error: unable to open file %s\n", path ? path : "(null)");
    return 1;
  }
  velmora_output_write(out, head.data(), head.size());
  // The voxel lines in blocks: every thread formats its blocks, and the
  // blocks are written in file order (the ordered section), one thread
  // writing while the others format the next ones.
  const long extra = periodic ? 0 : 1;
  const long m[3] = {cube->n[0] + extra, cube->n[1] + extra, cube->n[2] + extra};
  const long lines = m[0] * m[1] * m[2];
  const long blocks = (lines + kLinesPerBlock - 1) / kLinesPerBlock;
  std::atomic<bool> no_memory{false};
#pragma omp parallel if (blocks > 1)
  {
    std::string text;
#pragma omp for ordered schedule(static, 1)
    for (long b = 0; b < blocks; ++b) {
      bool formatted = !no_memory;
      if (formatted) {
        try {
          text.clear();
          cube_value_lines(text, *cube, m, b * kLinesPerBlock,
                           std::min(lines, (b + 1) * kLinesPerBlock));
        } catch (const std::bad_alloc&) {
          no_memory = true;
          formatted = false;
        }
      }
#pragma omp ordered
      if (formatted) velmora_output_write(out, text.data(), text.size());
    }
  }
  if (no_memory) throw VELMORA_NO_MEMORY("the text of the cube file", kLinesPerBlock * 16.0);
  const int status = velmora_output_commit(out);
  if (status != 0) {
    if (status != 3) std::fprintf(stderr, "Error: unable to write %s\n", path ? path : "(null)");
    return 1;
  }
  std::printf("Message: cube file saved to %s.\n", path);
  return 0;
}

// ------------------------------------------------------------- reading ----

namespace {

// A cube file held in memory, read line by line and then value by value.
struct CubeReader {
  const char* path;
  std::string text;
  std::size_t pos = 0;
  long line = 0;

  bool next_line(std::string& out) {
    if (pos >= text.size()) return false;
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    out.assign(text, pos, end - pos);
    if (!out.empty() && out.back() == '\r') out.pop_back();
    pos = end + 1;
    ++line;
    return true;
  }
  // One error line naming the file and, when given, the line.
  int fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

int CubeReader::fail(const char* format, ...) {
  char what[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  std::fprintf(stderr, "Error: %s is not a usable cube file: %s.\n", path, what);
  return 1;
}

// The whole file; false when it cannot be opened or read.  Exhausted
// memory is reported as such, not as an unreadable file.
bool read_whole_file(std::string& out, const char* path) {
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  char chunk[1 << 16];
  std::size_t got;
  try {
    out.reserve(static_cast<std::size_t>(info.st_size));
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) out.append(chunk, got);
  } catch (const std::bad_alloc&) {
    std::fclose(file);
    char what[1100];
    std::snprintf(what, sizeof what, "the text of the cube file %.1000s", path);
    throw VELMORA_NO_MEMORY(what, static_cast<double>(info.st_size));
  }
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

// The numbers of a header line: `ints` whole numbers, then `reals` finite
// reals, then nothing else (trailing blanks allowed).
bool parse_numbers(const std::string& row, int ints, long* whole, int reals, double* real) {
  const char* p = row.c_str();
  char* end = nullptr;
  for (int k = 0; k < ints; ++k) {
    errno = 0;
    whole[k] = std::strtol(p, &end, 10);
    if (end == p || errno != 0 || (*end && !std::isspace(static_cast<unsigned char>(*end))))
      return false;
    p = end;
  }
  for (int k = 0; k < reals; ++k) {
    real[k] = std::strtod(p, &end);
    if (end == p || !std::isfinite(real[k]) ||
        (*end && !std::isspace(static_cast<unsigned char>(*end))))
      return false;
    p = end;
  }
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  return *p == '\0';
}

// The mobile species of line 2, "Conducting = Li1+ ; sf = 0.700000;".
void parse_conducting(const std::string& row, VELMORA_CUBE& cube) {
  char type[3] = {};
  unsigned charge = 0;
  char sign = 0;
  if (std::sscanf(row.c_str(), " Conducting = %2[A-Za-z]%u%c", type, &charge, &sign) != 3 ||
      (sign != '+' && sign != '-') || charge == 0 || charge > 9)
    return;
  std::snprintf(cube.ion_type, sizeof cube.ion_type, "%s", type);
  cube.ion_os = sign == '-' ? -static_cast<int>(charge) : static_cast<int>(charge);
}

// The three step lines (4 to 6): a voxel count and a step vector in bohr.
int read_axes(CubeReader& in, bool periodic, long n[3], double step[3][3]) {
  std::string row;
  for (int k = 0; k < 3; ++k) {
    if (!in.next_line(row)) return in.fail("it ends before line %d", k + 4);
    if (!parse_numbers(row, 1, &n[k], 3, step[k]))
      return in.fail("line %d does not give a whole voxel count and three step components", k + 4);
    if (n[k] <= (periodic ? 0 : 1))
      return in.fail("the voxel count %ld on line %d leaves no voxel", n[k], k + 4);
  }
  return 0;
}

// The cell spanned by the grid: every edge at least as long as any
// crystal's shortest repeat, and a volume that is not flat.
int check_cell(CubeReader& in, const double a[3][3]) {
  double length[3];
  for (int k = 0; k < 3; ++k) {
    length[k] = std::sqrt(a[k][0] * a[k][0] + a[k][1] * a[k][1] + a[k][2] * a[k][2]);
    if (!(length[k] >= VELMORA_CELL_MIN_EDGE))
      return in.fail(
          "its cell edge %d is %.3g A long (voxel count times step), shorter than "
          "%g A",
          k + 1, length[k], VELMORA_CELL_MIN_EDGE);
  }
  const double volume = std::fabs(a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                                  a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                                  a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]));
  if (!(volume > 1e-3 * length[0] * length[1] * length[2]))
    return in.fail(
        "its three step vectors lie in one plane or on one line (cell volume %.3g "
        "A^3)",
        volume);
  return 0;
}

// The atom lines: atomic number, charge and Cartesian position (bohr).
// `structure` (when wanted) receives the atoms.
int read_atoms(CubeReader& in, long atoms, VELMORA_CELL* structure, const char* dir_unitary) {
  std::string row;
  for (long a = 0; a < atoms; ++a) {
    long an = 0;
    double value[4];
    if (!in.next_line(row)) return in.fail("it ends within its %ld atom lines", atoms);
    if (!parse_numbers(row, 1, &an, 4, value) || an < 0 || an > 118)
      return in.fail("atom line %ld (line %ld) does not give an atomic number and four numbers",
                     a + 1, in.line);
    if (!structure) continue;
    VELMORA_ATOM& atom = structure->atom[static_cast<std::size_t>(a)];
    atom.value = value[0];
    for (int c = 0; c < 3; ++c) atom.x[c] = value[1 + c] / VELMORA_BOHR_PER_ANGSTROM;
    atom.occ = 1.0;
    if (velmora_property_type_from_atomic_number(static_cast<int>(an), &atom, dir_unitary) != 0) {
      std::fprintf(stderr, "Error: velmora_property_type_from_atomic_number() returns non-zero.\n");
      return 1;
    }
  }
  return 0;
}

// The voxel values, free format (any white space between them), exactly
// as many as the grid has, each a finite site energy.
int read_values(CubeReader& in, VELMORA_CUBE& grid) {
  const char* text = in.text.c_str();
  const char* end = text + in.text.size();
  const char* p = text + std::min(in.pos, in.text.size());
  const std::size_t total = grid.en.size();
  for (std::size_t v = 0; v < total; ++v) {
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p >= end)
      return in.fail("it holds %zu voxel values where its %ld x %ld x %ld grid needs %zu", v,
                     grid.n[0], grid.n[1], grid.n[2], total);
    char* stop = nullptr;
    const double e = std::strtod(p, &stop);
    if (stop == p || !std::isfinite(e) ||
        (stop < end && !std::isspace(static_cast<unsigned char>(*stop))))
      return in.fail("voxel value %zu is not a number", v + 1);
    if (std::fabs(e) > VELMORA_CUBE_MAX_ABS_ENERGY)
      return in.fail("voxel value %zu, %g eV, lies beyond the +-%g eV of any site energy", v + 1, e,
                     VELMORA_CUBE_MAX_ABS_ENERGY);
    grid.en[v] = e;
    p = stop;
  }
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (p < end)
    return in.fail(
        "it holds more values than its %ld x %ld x %ld grid (are the atom count or "
        "the voxel counts wrong?)",
        grid.n[0], grid.n[1], grid.n[2]);
  return 0;
}

// The grid without the repeated last layer along each axis.
std::unique_ptr<VELMORA_CUBE> drop_repeated_layers(const VELMORA_CUBE& grid) {
  const long m[3] = {grid.n[0] - 1, grid.n[1] - 1, grid.n[2] - 1};
  std::unique_ptr<VELMORA_CUBE> reduced = velmora_cube_new(m);
  if (!reduced) {
    std::fprintf(stderr, "velmora_cube_new() returns NULL.\n");
    return nullptr;
  }
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 3; ++c) {
      reduced->a_i[k][c] = grid.a_i[k][c];
      reduced->a[k][c] = m[k] * grid.a_i[k][c];
    }
  for (long i = 0; i < m[0]; ++i)
    for (long j = 0; j < m[1]; ++j)
      for (long k = 0; k < m[2]; ++k)
        velmora_cube_at(*reduced, i, j, k) = velmora_cube_at(grid, i, j, k);
  std::memcpy(reduced->ion_type, grid.ion_type, sizeof grid.ion_type);
  reduced->ion_os = grid.ion_os;
  return reduced;
}

}  // namespace

int velmora_cube_import_from_file(std::unique_ptr<VELMORA_CUBE>& cube,
                                  std::unique_ptr<VELMORA_CELL>* cell, const char* path,
                                  bool periodic, const char* dir_unitary) {
  cube.reset();
  if (cell) cell->reset();
  CubeReader in;
  in.path = path ? path : "(null)";
  if (!path || !read_whole_file(in.text, path)) {
    std::printf("Error: unable to open %s.\n", in.path);
    return 1;
  }
  std::string title, ion, row;
  if (!in.next_line(title) || !in.next_line(ion)) return in.fail("it ends before line 3");
  long atoms = 0;
  double origin[3];
  if (!in.next_line(row) || !parse_numbers(row, 1, &atoms, 3, origin) || atoms < 0)
    return in.fail("line 3 does not give the number of atoms and the origin");
  long n[3];
  double step[3][3];
  if (read_axes(in, periodic, n, step) != 0) return 1;
  double a[3][3];
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 3; ++c)
      a[k][c] = (periodic ? n[k] : n[k] - 1) * step[k][c] / VELMORA_BOHR_PER_ANGSTROM;
  if (check_cell(in, a) != 0) return 1;
  // Every value takes at least two characters (a digit and a separator),
  // every atom line ten, so counts beyond that cannot be backed by the file.
  const double declared = static_cast<double>(n[0]) * n[1] * n[2];
  const double room = static_cast<double>(in.text.size() - std::min(in.pos, in.text.size()));
  if (declared > room / 2.0 + 1.0 || static_cast<double>(atoms) > room / 10.0)
    return in.fail("it declares %ld x %ld x %ld voxels and %ld atoms but holds far fewer values",
                   n[0], n[1], n[2], atoms);
  std::unique_ptr<VELMORA_CUBE> grid = velmora_cube_new(n);
  if (!grid) {
    std::fprintf(stderr, "velmora_cube_new() returns NULL.\n");
    return 1;
  }
  parse_conducting(ion, *grid);
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 3; ++c) {
      grid->a_i[k][c] = step[k][c] / VELMORA_BOHR_PER_ANGSTROM;
      grid->a[k][c] = n[k] * grid->a_i[k][c];
    }

  std::unique_ptr<VELMORA_CELL> structure;
  if (cell && atoms != 0) {
    std::printf("Message: cell information found, attempting to load cell.\n");
    structure = velmora_cell_new(atoms);
    if (!structure) {
      std::fprintf(stderr, "Error: velmora_cell_new() returns NULL.\n");
      return 1;
    }
  } else {
    std::printf("Message: cell information not read.\n");
  }
  if (read_atoms(in, atoms, structure.get(), dir_unitary) != 0) return 1;
  if (read_values(in, *grid) != 0) return 1;
  if (!periodic) {
    grid = drop_repeated_layers(*grid);
    if (!grid) return 1;
  }
  if (structure) {
    std::snprintf(structure->name, sizeof structure->name, "%.127s", path);
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) structure->a[k][c] = grid->a[k][c];
    velmora_cell_update_fractional(structure.get());
  }
  std::printf("Message: cube loaded from %s successfully.\n", path);
  cube = std::move(grid);
  if (cell) *cell = std::move(structure);
  return 0;
}

bool velmora_cube_check_conducting(const VELMORA_CUBE* cube, const char* path, const char* type,
                                   int os) {
  if (!cube || !cube->ion_type[0]) return true;  // the file names no species
  if (std::strcmp(cube->ion_type, type) == 0 && cube->ion_os == os) return true;
  std::fprintf(stderr,
               "Error: %s is the landscape of %s%d%c (its header says so), not of %s%d%c; give "
               "the ion it was computed for, or compute a landscape for %s%d%c.\n",
               path, cube->ion_type, std::abs(cube->ion_os), sign_of(cube->ion_os), type,
               std::abs(os), sign_of(os), type, std::abs(os), sign_of(os));
  return false;
}

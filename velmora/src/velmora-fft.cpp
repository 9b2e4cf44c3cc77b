// Fourier differentiation of a periodic landscape (FFTW): one real-to-complex
// transform of the energies, then per derivative grid one complex-to-real
// transform of the spectrum times (i 2 pi kappa / L)^order, nine of them run
// side by side on the threads with plans made once; derivatives along the
// lattice vectors are turned into Cartesian ones point by point.  Critical
// points are grid points of locally smallest gradient whose Newton step
// stays within one grid step, classified by the curvature eigenvalues.
#include "velmora-fft.h"

#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>

#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora-la.h"

namespace {

// The program's value of 2 pi in the derivative factors.
constexpr double kTwoPi = 6.2831853;

long flat(const long n[3], long i, long j, long k) { return (i * n[1] + j) * n[2] + k; }

std::size_t grid_points(const long n[3]) {
  return static_cast<std::size_t>(n[0]) * static_cast<std::size_t>(n[1]) *
         static_cast<std::size_t>(n[2]);
}

double gradient_length(const VELMORA_FFT* fft, std::size_t p) {
  const double g[3] = {fft->f[0][p], fft->f[1][p], fft->f[2][p]};
  return velmora_vector3_double_length(g);
}

bool fft_ready(const VELMORA_FFT* fft) {
  if (!fft) return false;
  const std::size_t total = grid_points(fft->n);
  if (total == 0 || fft->en.size() != total) return false;
  for (const VELMORA_FFT_GRID& g : fft->f)
    if (g.size() != total) return false;
  for (const VELMORA_FFT_GRID& g : fft->k)
    if (g.size() != total) return false;
  return true;
}

// Inverse of a 3x3 matrix by cofactors; false when it is singular.
bool invert(double out[3][3], const double m[3][3]) {
  const double det = velmora_matrix33_double_determinant(m);
  if (!(std::fabs(det) > 1e-300) || !std::isfinite(det)) return false;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
      out[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
    }
  return true;
}

// One derivative grid of the record: order 1 along `d`, or order 2 along
// `d` and `e`; `slot` is its place among f (order 1) or k.
struct DerivativeTask {
  int order, d, e, slot;
};
const DerivativeTask kTasks[9] = {{1, 0, 0, 0}, {1, 1, 1, 1}, {1, 2, 2, 2},
                                  {2, 0, 0, 0}, {2, 1, 1, 1}, {2, 2, 2, 2},
                                  {2, 0, 1, 3}, {2, 0, 2, 4}, {2, 1, 2, 5}};

// On an oblique grid a Fourier coefficient stands for every wave vector
// kappa + s n (s integer) alike; the derivative takes the shortest of them
// in Cartesian length (|k|^2 = kappa^T G* kappa, G* the reciprocal metric
// of the lattice), so that the derivative operators have the symmetry of
// the lattice (on a hexagonal grid the coefficients of the box
// -n/2 < kappa <= n/2 on each axis are no hexagon, and the curvature at a
// site on a 3-fold axis would not be isotropic in the plane).  Where
// several are equally short (the zone boundary, the Nyquist plane of a
// rectangular grid) their mean is taken: kappa_d and kappa_d kappa_e of
// those aliases averaged.  On a rectangular grid this is the usual
// -n/2 < kappa <= n/2 with the Nyquist terms of odd order dropped.
struct AliasMean {
  double k[3];      // mean kappa per axis
  double kk[3][3];  // mean kappa_d kappa_e
};
AliasMean alias_mean(const long kappa[3], const long n[3], const double gstar[3][3]) {
  double q[27][3], l2[27], best = 0.0;
  int count = 0;
  for (int s0 = -1; s0 <= 1; ++s0)
    for (int s1 = -1; s1 <= 1; ++s1)
      for (int s2 = -1; s2 <= 1; ++s2) {
        const int s[3] = {s0, s1, s2};
        double* v = q[count];
        for (int d = 0; d < 3; ++d) v[d] = static_cast<double>(kappa[d] + s[d] * n[d]);
        double sum = 0.0;
        for (int d = 0; d < 3; ++d)
          for (int e = 0; e < 3; ++e) sum += v[d] * gstar[d][e] * v[e];
        l2[count] = sum;
        if (count == 0 || sum < best) best = sum;
        ++count;
      }
  AliasMean m{};
  int ties = 0;
  // Lattices come from cube headers with six decimals: equal lengths of a
  // hexagonal zone's boundary differ there by a few 1e-6; distinct ones by
  // at least 1/|kappa|^2, above 1e-5 on grids of up to 300 points an axis.
  const double tol = 1e-5 * best + 1e-12;
  for (int t = 0; t < count; ++t) {
    if (l2[t] > best + tol) continue;
    ++ties;
    for (int d = 0; d < 3; ++d) {
      m.k[d] += q[t][d];
      for (int e = 0; e < 3; ++e) m.kk[d][e] += q[t][d] * q[t][e];
    }
  }
  for (int d = 0; d < 3; ++d) {
    m.k[d] /= ties;
    for (int e = 0; e < 3; ++e) m.kk[d][e] /= ties;
  }
  return m;
}

}  // namespace

// ------------------------------------------------ topology helpers ----

void* velmora_fft_allocate(std::size_t bytes) {
  constexpr std::size_t kHuge = std::size_t(2) << 20;
  const bool large = bytes >= 2 * kHuge;
  void* p = nullptr;
  if (posix_memalign(&p, large ? kHuge : 64, bytes > 0 ? bytes : 1) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  if (large) madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

double VELMORA_PROGRESS::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void VELMORA_PROGRESS::report(const char* stage) const {
  const double t = elapsed();
  if (t < kSeconds) return;
  std::printf("Message: %s (%.1f s).\n", stage, t);
  std::fflush(stdout);
}

bool velmora_topology_output_name(std::string& out, const char* base, const char* suffix,
                                  std::size_t limit) {
  const std::size_t length = std::strlen(base) + std::strlen(suffix);
  if (length > limit) {
    std::fprintf(stderr,
                 "Error: output name of %zu characters is too long (at most %zu): %.40s...%s\n",
                 length, limit, base, suffix);
    return false;
  }
  // The outputs are named after `base`: a device or directory there
  // (/dev/null) would place them beside it.
  if (velmora_file_check_prefix(base) != 0) return false;
  out = std::string(base) + suffix;
  return true;
}

int velmora_topology_write_cif(const char* path, VELMORA_CELL* cell) {
  // The markers of a topology file are many (one per path point), so the
  // P 1 text is composed here in one pass instead of through the general
  // writer's symmetry reduction, which compares every pair of atoms.  The
  // text and the atom order (element, oxidation state, occupancy, label)
  // are those of the general writer.
  if (!cell) return 1;
  std::printf("Message: symmetry info missing. Using P1.\n");
  std::vector<VELMORA_ATOM> atom = cell->atom;
  std::stable_sort(atom.begin(), atom.end(), [](const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
    const int t = std::strcmp(a.type, b.type);
    if (t != 0) return t < 0;
    if (a.os != b.os) return a.os < b.os;
    if (a.occ != b.occ) return a.occ < b.occ;
    return velmora_atom_name_compare(a.name, b.name) < 0;
  });
  std::string text;
  char line[512];
  auto add = [&](const char* format, auto... value) {
    const int n = std::snprintf(line, sizeof line, format, value...);
    if (n > 0) text.append(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1));
  };
  text += "data_generated-by-velmora\r\n\n";
  add("_chemical_name_systematic         '%s'\r\n", cell->name);
  add("_cell_length_a                    %.3f\r\n", cell->parameter[0]);
  add("_cell_length_b                    %.3f\r\n", cell->parameter[1]);
  add("_cell_length_c                    %.3f\r\n", cell->parameter[2]);
  add("_cell_angle_alpha                 %.3f\r\n", cell->angle[0]);
  add("_cell_angle_beta                  %.3f\r\n", cell->angle[1]);
  add("_cell_angle_gamma                 %.3f\r\n", cell->angle[2]);
  add("_cell_volume                      %.3f\r\n", velmora_cell_calculate_volume(cell));
  add("_cell_formula_units_Z             %d\r\n", cell->Z);
  text += "_symmetry_space_group_name_H-M    'P 1'\r\n";
  text += "_symmetry_Int_Tables_number       1\r\n";
  text += "\r\nloop_\r\n  _symmetry_equiv_pos_site_id\r\n  _symmetry_equiv_pos_as_xyz\r\n";
  text += "    1    'x, y, z'\r\n";
  text += "\r\nloop_\r\n  _atom_type_symbol\r\n  _atom_type_oxidation_number\r\n";
  for (std::size_t k = 0; k < atom.size(); ++k)
    if (k == 0 || atom[k].os != atom[k - 1].os || std::strcmp(atom[k].type, atom[k - 1].type))
      add("  %s%d%c     %d\r\n", atom[k].type, std::abs(atom[k].os), atom[k].os < 0 ? '-' : '+',
          atom[k].os);
  text += "\r\nloop_\r\n  _atom_site_label\r\n  _atom_site_type_symbol\r\n";
  text += "  _atom_site_fract_x\r\n  _atom_site_fract_y\n  _atom_site_fract_z\r\n";
  text += "  _atom_site_occupancy\r\n";
  for (const VELMORA_ATOM& a : atom) {
    // Labels are fixed marker names or site names; blanks and quotes would
    // split a CIF value, so they become underscores.
    std::string label = a.name[0] ? a.name : "x";
    for (char& c : label)
      if (c == ' ' || c == '\t' || c == '\'' || c == '"') c = '_';
    if (label[0] == '_' || label[0] == '#' || label[0] == '$' || label[0] == ';' ||
        label[0] == '[' || label[0] == ']')
      label = "x" + label;
    add("  %s  %s%d%c  %.3f  %.3f  %.3f  %.3f\r\n", label.c_str(), a.type, std::abs(a.os),
        a.os < 0 ? '-' : '+', a.x_f[0], a.x_f[1], a.x_f[2], a.occ);
  }
  text += "\r\n#end of data\r\n";
  if (velmora_file_write_atomically(path, text) != 0) {
    std::fprintf(stderr, "Error: unable to write %s.\n", path);
    return 1;
  }
  std::printf("Message: cif file saved to %s\n", path);
  return 0;
}

int velmora_topology_remove_stale(const char* path) { return velmora_output_remove_stale(path); }

bool velmora_topology_lattice_match(const double cube_a[3][3], const VELMORA_CELL* cell,
                                    const char* cube_name, const char* cif_name) {
  // The cube stores its step vectors in bohr with six decimals, so its
  // lattice carries an error of about 1e-6 A per voxel: 0.01 A leaves
  // room for thousands of voxels and still tells two cells apart.
  double worst = 0.0;
  for (int d = 0; d < 3; ++d)
    for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(cube_a[d][c] - cell->a[d][c]));
  if (worst <= 0.01) return true;
  std::fprintf(stderr,
               "Error: the lattice of %s differs from that of %s by up to %.4f A; the cube "
               "was not computed for this structure.\n",
               cube_name, cif_name, worst);
  return false;
}

// ------------------------------------------------------ complex grids ----

std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_new(const long n[3]) {
  if (!n || n[0] <= 0 || n[1] <= 0 || n[2] <= 0) {
    std::fprintf(stderr, "Error: argument must be positive.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFTCUBE> cube(new (std::nothrow) VELMORA_FFTCUBE);
  if (!cube) {
    throw VELMORA_NO_MEMORY("a complex Fourier grid", sizeof(VELMORA_FFTCUBE));
  }
  try {
    cube->value.assign(grid_points(n), std::complex<double>(0.0, 0.0));
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("a complex Fourier grid", 16.0 * static_cast<double>(grid_points(n)));
  }
  for (int d = 0; d < 3; ++d) cube->n[d] = n[d];
  return cube;
}

std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_copy(const VELMORA_FFTCUBE* cube) {
  if (!cube) return nullptr;
  std::unique_ptr<VELMORA_FFTCUBE> copy = velmora_fftcube_new(cube->n);
  if (!copy) {
    std::fprintf(stderr, "Error: velmora_fftcube_new() returns NULL.\n");
    return nullptr;
  }
  copy->value = cube->value;
  velmora_matrix33_double_copy(copy->a, cube->a);
  velmora_matrix33_double_copy(copy->a_i, cube->a_i);
  return copy;
}

std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_new_from_cube(const VELMORA_CUBE* cube) {
  if (!cube || cube->en.empty() || cube->en.size() != grid_points(cube->n)) {
    std::fprintf(stderr, "Error: VELMORA_CUBE has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFTCUBE> out = velmora_fftcube_new(cube->n);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_fftcube_new() returns NULL.\n");
    return nullptr;
  }
  for (std::size_t p = 0; p < cube->en.size(); ++p) out->value[p] = {cube->en[p], 0.0};
  velmora_matrix33_double_copy(out->a, cube->a);
  velmora_matrix33_double_copy(out->a_i, cube->a_i);
  return out;
}

std::unique_ptr<VELMORA_CUBE> velmora_cube_new_from_fftcube(const VELMORA_FFTCUBE* cube,
                                                            int option) {
  if (!cube || cube->value.size() != grid_points(cube->n) || cube->value.empty()) {
    std::fprintf(stderr, "Error: VELMORA_FFTCUBE has not been properly initialized.\n");
    return nullptr;
  }
  if (option != FFTCUBE_REAL && option != FFTCUBE_IMAG && option != FFTCUBE_MODU) {
    std::fprintf(stderr, "Error: invalid fftcube_option %d.\n", option);
    return nullptr;
  }
  std::unique_ptr<VELMORA_CUBE> out = velmora_cube_new(cube->n);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_cube_new() returns NULL.\n");
    return nullptr;
  }
  for (std::size_t p = 0; p < cube->value.size(); ++p) {
    const std::complex<double> v = cube->value[p];
    out->en[p] = option == FFTCUBE_REAL ? v.real() : option == FFTCUBE_IMAG ? v.imag() : std::abs(v);
  }
  velmora_matrix33_double_copy(out->a, cube->a);
  velmora_matrix33_double_copy(out->a_i, cube->a_i);
  return out;
}

std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_dft(const VELMORA_FFTCUBE* cube, bool forward) {
  if (!cube || cube->value.empty() || cube->value.size() != grid_points(cube->n)) {
    std::fprintf(stderr, "Error: VELMORA_FFTCUBE has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFTCUBE> out = velmora_fftcube_copy(cube);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_fftcube_copy() returns NULL.\n");
    return nullptr;
  }
  // Planning may write into the arrays, so the input is planned on a copy.
  auto* in = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * cube->value.size()));
  if (!in) {
    throw VELMORA_NO_MEMORY("the input of a Fourier transform",
                            16.0 * static_cast<double>(cube->value.size()));
  }
  auto* result = reinterpret_cast<fftw_complex*>(out->value.data());
  fftw_plan plan = fftw_plan_dft_3d(static_cast<int>(cube->n[0]), static_cast<int>(cube->n[1]),
                                    static_cast<int>(cube->n[2]), in, result,
                                    forward ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE);
  std::memcpy(in, cube->value.data(), sizeof(fftw_complex) * cube->value.size());
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  fftw_free(in);
  if (forward) {
    const double total = static_cast<double>(cube->value.size());
    for (std::complex<double>& v : out->value) v /= total;
  }
  return out;
}

std::complex<double> velmora_fft_factor(const long m[3], const long n[3], const double length[3],
                                        int order, const int* direction) {
  std::complex<double> factor(1.0, 0.0);
  const bool twice = order == 2 && direction[0] == direction[1];
  for (int o = 0; o < order; ++o) {
    const int d = direction[o];
    // The coefficient at N/2 of an even axis stands for both +N/2 and -N/2:
    // an odd power of kappa has no real value there and is dropped; kappa^2
    // is the same for both and is kept.
    if (n[d] % 2 == 0 && m[d] == n[d] / 2 && !twice) return {0.0, 0.0};
    const long kappa = m[d] <= n[d] / 2 ? m[d] : m[d] - n[d];
    factor *= std::complex<double>(0.0, kTwoPi * static_cast<double>(kappa) / length[d]);
  }
  return factor;
}

std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_differentiate_dft(const VELMORA_FFTCUBE* cube,
                                                                   int order,
                                                                   const int* direction) {
  if (!cube || cube->value.empty() || cube->value.size() != grid_points(cube->n)) {
    std::fprintf(stderr, "Error: VELMORA_FFTCUBE has not been properly initialized.\n");
    return nullptr;
  }
  if (order < 0 || order > 2 || (order > 0 && !direction)) {
    std::fprintf(stderr, "Error: order must be 1 or 2.\n");
    return nullptr;
  }
  for (int o = 0; o < order; ++o)
    if (direction[o] < 0 || direction[o] > 2) {
      std::fprintf(stderr, "Error: direction must be 0, 1 or 2.\n");
      return nullptr;
    }
  std::unique_ptr<VELMORA_FFTCUBE> out = velmora_fftcube_copy(cube);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_fftcube_copy() returns NULL.\n");
    return nullptr;
  }
  if (order == 0) return out;
  const double length[3] = {velmora_vector3_double_length(cube->a[0]),
                            velmora_vector3_double_length(cube->a[1]),
                            velmora_vector3_double_length(cube->a[2])};
  long m[3];
  for (m[0] = 0; m[0] < cube->n[0]; ++m[0])
    for (m[1] = 0; m[1] < cube->n[1]; ++m[1])
      for (m[2] = 0; m[2] < cube->n[2]; ++m[2])
        out->value[flat(cube->n, m[0], m[1], m[2])] *=
            velmora_fft_factor(m, cube->n, length, order, direction);
  return out;
}

std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_differentiate(const VELMORA_FFTCUBE* cube,
                                                               int order, const int* direction) {
  if (order < 0) {
    std::fprintf(stderr, "Error: order must not be negative.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFTCUBE> spectrum = velmora_fftcube_dft(cube, true);
  if (!spectrum) {
    std::fprintf(stderr, "Error: velmora_fftcube_dft() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFTCUBE> derived =
      velmora_fftcube_differentiate_dft(spectrum.get(), order, direction);
  if (!derived) {
    std::fprintf(stderr, "Error: velmora_fftcube_differentiate_dft() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFTCUBE> out = velmora_fftcube_dft(derived.get(), false);
  if (!out) std::fprintf(stderr, "Error: velmora_fftcube_dft() returns NULL.\n");
  return out;
}

// -------------------------------------------------------------- record ----

void velmora_fft_lattice_to_cartesian(double g[3], double k[3][3], const double a[3][3]) {
  double u[3][3], w[3][3];
  for (int d = 0; d < 3; ++d) velmora_vector3_double_normalize(u[d], a[d]);
  if (!invert(w, u)) return;
  double gc[3], t[3][3], kc[3][3];
  for (int c = 0; c < 3; ++c) gc[c] = w[c][0] * g[0] + w[c][1] * g[1] + w[c][2] * g[2];
  for (int c = 0; c < 3; ++c)
    for (int e = 0; e < 3; ++e) t[c][e] = w[c][0] * k[0][e] + w[c][1] * k[1][e] + w[c][2] * k[2][e];
  for (int c = 0; c < 3; ++c)
    for (int e = 0; e < 3; ++e) kc[c][e] = t[c][0] * w[e][0] + t[c][1] * w[e][1] + t[c][2] * w[e][2];
  velmora_vector3_double_copy(g, gc);
  velmora_matrix33_double_copy(k, kc);
}

std::unique_ptr<VELMORA_FFT> velmora_fft_new_from_cube(const VELMORA_CUBE* cube) {
  if (!cube || cube->en.empty() || cube->en.size() != grid_points(cube->n)) {
    std::fprintf(stderr, "Error: VELMORA_CUBE has not been properly initialized.\n");
    return nullptr;
  }
  for (int d = 0; d < 3; ++d)
    if (cube->n[d] > 2147483647L) {
      std::fprintf(stderr, "Error: velmora_fftcube_new_from_cube() returns NULL.\n");
      return nullptr;
    }
  VELMORA_PROGRESS progress;
  const long* n = cube->n;
  const std::size_t total = grid_points(n);
  const long half = n[2] / 2 + 1;  // stored coefficients along the last axis
  const std::size_t spectral = static_cast<std::size_t>(n[0]) * n[1] * half;
  std::unique_ptr<VELMORA_FFT> fft(new (std::nothrow) VELMORA_FFT);
  // Coefficients as plain pairs, so that allocating them writes nothing.
  struct Pair {
    double re, im;
  };
  using SPECTRUM = std::vector<Pair, VELMORA_FFTW_ALLOCATOR<Pair>>;
  SPECTRUM spectrum;
  // Each derivative grid is first the padded complex input of an in-place
  // complex-to-real transform (2 * half doubles per row), then compacted to
  // n[2] values per row: no complex grid besides the spectrum.
  const std::size_t padded = static_cast<std::size_t>(n[0]) * n[1] * 2 * half;
  try {
    if (!fft) throw std::bad_alloc();
    fft->en.resize(total);
    std::copy(cube->en.begin(), cube->en.end(), fft->en.begin());
    spectrum.resize(spectral);
    for (VELMORA_FFT_GRID& g : fft->f) g.reserve(padded);
    for (VELMORA_FFT_GRID& g : fft->k) g.reserve(padded);
  } catch (const std::exception&) {
    char what[160];
    std::snprintf(what, sizeof what, "the Fourier derivative grids of %ld x %ld x %ld voxels", n[0],
                  n[1], n[2]);
    throw VELMORA_NO_MEMORY(what, 8.0 * (13.0 * padded + total + 2.0 * spectral));
  }
  for (int d = 0; d < 3; ++d) fft->n[d] = n[d];
  velmora_matrix33_double_copy(fft->a, cube->a);
  velmora_matrix33_double_copy(fft->a_i, cube->a_i);

  const int threads = std::max(1, std::min(9, omp_get_max_threads()));
  // Plans are made once, here, and then executed on other arrays of the
  // same shape, placement and (FFTW) alignment; execution is thread-safe,
  // planning not.
  const int ni[3] = {static_cast<int>(n[0]), static_cast<int>(n[1]), static_cast<int>(n[2])};
  auto* spec = reinterpret_cast<fftw_complex*>(spectrum.data());
  fft->f[0].resize(padded);
  fftw_plan forward =
      fftw_plan_dft_r2c_3d(ni[0], ni[1], ni[2], fft->en.data(), spec, FFTW_ESTIMATE);
  fftw_plan backward =
      fftw_plan_dft_c2r_3d(ni[0], ni[1], ni[2], reinterpret_cast<fftw_complex*>(fft->f[0].data()),
                           fft->f[0].data(), FFTW_ESTIMATE);
  if (!forward || !backward) {
    if (forward) fftw_destroy_plan(forward);
    if (backward) fftw_destroy_plan(backward);
    std::fprintf(stderr, "Error: velmora_fftcube_dft() returns NULL.\n");
    std::fprintf(stderr, "Error: velmora_fftcube_differentiate() returns NULL.\n");
    return nullptr;
  }
  fftw_execute(forward);
  fftw_destroy_plan(forward);
  // The forward transform is divided by the number of points; the division
  // is folded into the factors below.
  const double scale = 1.0 / static_cast<double>(total);

  // Wave factors 2 pi kappa / L of each index and the Nyquist marks.
  std::vector<double> wave[3];
  std::vector<char> nyquist[3];
  double length[3], gstar[3][3], metric[3][3];
  bool rectangular = true;
  for (int d = 0; d < 3; ++d)
    for (int e = 0; e < 3; ++e) metric[d][e] = velmora_vector3_double_dot(cube->a[d], cube->a[e]);
  for (int d = 0; d < 3; ++d)
    for (int e = 0; e < 3; ++e)
      if (d != e && std::fabs(metric[d][e]) > 1e-9 * std::sqrt(metric[d][d] * metric[e][e]))
        rectangular = false;
  if (!rectangular && !invert(gstar, metric)) rectangular = true;
  for (int d = 0; d < 3; ++d) {
    length[d] = velmora_vector3_double_length(cube->a[d]);
    const long count = d == 2 ? half : n[d];
    wave[d].resize(static_cast<std::size_t>(count));
    nyquist[d].resize(static_cast<std::size_t>(count));
    for (long m = 0; m < count; ++m) {
      const long kappa = m <= n[d] / 2 ? m : m - n[d];
      wave[d][m] = kTwoPi * static_cast<double>(kappa) / length[d];
      nyquist[d][m] = n[d] % 2 == 0 && m == n[d] / 2;
    }
  }
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
  for (int t = 0; t < 9; ++t) {
    const DerivativeTask& task = kTasks[t];
    VELMORA_FFT_GRID& out = task.order == 1 ? fft->f[task.slot] : fft->k[task.slot];
    out.resize(padded);  // within the reserved room: no reallocation, no writes
    Pair* s = reinterpret_cast<Pair*>(out.data());
    const bool twice = task.order == 2 && task.d == task.e;
    long m[3];
    for (m[0] = 0; m[0] < n[0]; ++m[0])
      for (m[1] = 0; m[1] < n[1]; ++m[1])
        for (m[2] = 0; m[2] < half; ++m[2]) {
          const std::size_t p = (static_cast<std::size_t>(m[0]) * n[1] + m[1]) * half + m[2];
          const double wd = wave[task.d][m[task.d]] * scale;
          const bool drop = !twice && (nyquist[task.d][m[task.d]] || nyquist[task.e][m[task.e]]);
          const Pair c = spectrum[p];
          if (!rectangular) {
            const long kappa[3] = {m[0] <= n[0] / 2 ? m[0] : m[0] - n[0],
                                   m[1] <= n[1] / 2 ? m[1] : m[1] - n[1], m[2]};
            const AliasMean am = alias_mean(kappa, n, gstar);
            const double ud = kTwoPi / length[task.d], ue = kTwoPi / length[task.e];
            if (task.order == 1) {  // times i w
              const double w = ud * am.k[task.d] * scale;
              s[p] = {-w * c.im, w * c.re};
            } else {  // times (i wd)(i we)
              const double f = -ud * ue * am.kk[task.d][task.e] * scale;
              s[p] = {f * c.re, f * c.im};
            }
          } else if (drop) {
            s[p] = {0.0, 0.0};
          } else if (task.order == 1) {  // times i w
            s[p] = {-wd * c.im, wd * c.re};
          } else {  // times (i wd)(i we)
            const double f = -wd * wave[task.e][m[task.e]];
            s[p] = {f * c.re, f * c.im};
          }
        }
    fftw_execute_dft_c2r(backward, reinterpret_cast<fftw_complex*>(s), out.data());
    // Rows of 2 * half values become rows of n[2]: each row moves down, so
    // no row is overwritten before it has moved.
    const std::size_t rows = static_cast<std::size_t>(n[0]) * n[1];
    for (std::size_t r = 1; r < rows; ++r)
      std::memmove(out.data() + r * n[2], out.data() + r * 2 * half, n[2] * sizeof(double));
    out.resize(total);
  }
  fftw_destroy_plan(backward);
  SPECTRUM().swap(spectrum);

  // Derivatives along the lattice vectors' unit vectors become Cartesian
  // ones; an orthogonal cell along x, y, z needs nothing.
  bool aligned = true;
  for (int d = 0; d < 3; ++d)
    for (int c = 0; c < 3; ++c)
      if (c != d && cube->a[d][c] != 0.0) aligned = false;
  if (!aligned) {
#pragma omp parallel for schedule(static)
    for (long p = 0; p < static_cast<long>(total); ++p) {
      double g[3], kk[3][3];
      for (int d = 0; d < 3; ++d) g[d] = fft->f[d][p];
      for (int d = 0; d < 3; ++d)
        for (int e = 0; e < 3; ++e) kk[d][e] = fft->k[velmora_fft_k(d, e)][p];
      velmora_fft_lattice_to_cartesian(g, kk, cube->a);
      for (int d = 0; d < 3; ++d) fft->f[d][p] = g[d];
      for (int d = 0; d < 3; ++d)
        for (int e = d; e < 3; ++e) fft->k[velmora_fft_k(d, e)][p] = kk[d][e];
    }
  }
  progress.report("Fourier derivatives of the landscape computed");
  return fft;
}

std::unique_ptr<VELMORA_CUBE> velmora_cube_new_from_fft_grid(const VELMORA_FFT* fft,
                                                             const VELMORA_FFT_GRID& grid) {
  if (!fft || grid.size() != grid_points(fft->n)) {
    std::fprintf(stderr, "Error: VELMORA_FFT has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CUBE> out = velmora_cube_new(fft->n);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_cube_new() returns NULL.\n");
    return nullptr;
  }
  std::copy(grid.begin(), grid.end(), out->en.begin());
  velmora_matrix33_double_copy(out->a, fft->a);
  velmora_matrix33_double_copy(out->a_i, fft->a_i);
  return out;
}

std::unique_ptr<VELMORA_CUBE> velmora_fft_laplacian(const VELMORA_FFT* fft) {
  if (!fft_ready(fft)) {
    std::fprintf(stderr, "Error: VELMORA_FFT has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CUBE> out = velmora_cube_new_from_fft_grid(fft, fft->k[0]);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_fftcube_copy() returns NULL.\n");
    return nullptr;
  }
  for (std::size_t p = 0; p < out->en.size(); ++p) out->en[p] += fft->k[1][p] + fft->k[2][p];
  return out;
}

std::unique_ptr<VELMORA_CUBE> velmora_fft_slope(const VELMORA_FFT* fft) {
  if (!fft_ready(fft)) {
    std::fprintf(stderr, "Error: VELMORA_FFT has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CUBE> out = velmora_cube_new_from_fft_grid(fft, fft->en);
  if (!out) {
    std::fprintf(stderr, "Error: velmora_fftcube_copy() returns NULL.\n");
    return nullptr;
  }
  for (std::size_t p = 0; p < out->en.size(); ++p) out->en[p] = gradient_length(fft, p);
  return out;
}

// ---------------------------------------------------- critical points ----

std::vector<VELMORA_FFTDOT> velmora_fftdot_new(long total) {
  if (total <= 0) {
    std::fprintf(stderr, "Error: total number should be positive.\n");
    return {};
  }
  return std::vector<VELMORA_FFTDOT>(static_cast<std::size_t>(total));
}

int velmora_fftdot_read_from_fft(VELMORA_FFTDOT* dot, const VELMORA_FFT* fft, long x_i[3]) {
  if (!dot || !fft_ready(fft)) {
    std::fprintf(stderr, "Error: VELMORA_FFTDOT has not been properly initialized.\n");
    return 1;
  }
  for (int d = 0; d < 3; ++d) x_i[d] = velmora_mod_long(x_i[d], fft->n[d]);
  *dot = VELMORA_FFTDOT();
  dot->type = FFT_UND;
  const std::size_t p = static_cast<std::size_t>(flat(fft->n, x_i[0], x_i[1], x_i[2]));
  for (int d = 0; d < 3; ++d) dot->x_i[d] = x_i[d];
  for (int c = 0; c < 3; ++c)
    dot->x[c] = x_i[0] * fft->a_i[0][c] + x_i[1] * fft->a_i[1][c] + x_i[2] * fft->a_i[2][c];
  dot->en = fft->en[p];
  for (int d = 0; d < 3; ++d) dot->f[d] = fft->f[d][p];
  for (int d = 0; d < 3; ++d)
    for (int e = 0; e < 3; ++e) dot->k[d][e] = fft->k[velmora_fft_k(d, e)][p];
  double k[3][3];
  velmora_matrix33_double_copy(k, dot->k);
  if (velmora_matrix33_double_eigensolver_symmetric(dot->eig, dot->eiv, k) != 0) {
    std::fprintf(stderr,
                 "Error: velmora_matrix33_double_eigensolver_symmetric() returns non-zero.\n");
    return 1;
  }
  velmora_fftdot_determine_type(dot, fft);
  return 0;
}

namespace {

// What the Newton step needs besides the point: the map from a Cartesian
// displacement to grid steps, n[d] * (b_d . delta) with b_d the rows of
// (a^T)^-1.
struct NewtonFrame {
  double to_grid[3][3] = {};
  explicit NewtonFrame(const VELMORA_FFT* fft) {
    double t[3][3], r[3][3];
    velmora_matrix33_double_copy(t, fft->a);
    velmora_matrix33_double_transpose(t);
    if (!invert(r, t)) return;
    for (int d = 0; d < 3; ++d)
      for (int c = 0; c < 3; ++c) to_grid[d][c] = r[d][c] * static_cast<double>(fft->n[d]);
  }
};

// Newton step delta = K^-1 g in grid steps (the critical point of the
// quadratic model lies at x - delta); false when K is singular.
bool newton_step(double step[3], const NewtonFrame& frame, const double k[3][3],
                 const double g[3]) {
  double inverse[3][3];
  if (!invert(inverse, k)) return false;
  double delta[3];
  for (int c = 0; c < 3; ++c)
    delta[c] = inverse[c][0] * g[0] + inverse[c][1] * g[1] + inverse[c][2] * g[2];
  for (int d = 0; d < 3; ++d)
    step[d] = frame.to_grid[d][0] * delta[0] + frame.to_grid[d][1] * delta[1] +
              frame.to_grid[d][2] * delta[2];
  return true;
}

void read_point(double k[3][3], double g[3], const VELMORA_FFT* fft, std::size_t p) {
  for (int d = 0; d < 3; ++d) {
    g[d] = fft->f[d][p];
    for (int e = 0; e < 3; ++e) k[d][e] = fft->k[velmora_fft_k(d, e)][p];
  }
}

// Whether the quadratic model at grid point x_i (flat index p) puts a
// critical point within one grid step on every axis, and agrees with
// itself: seen from the grid point nearest to that predicted point, the
// critical point lies within one grid step of it too.  In a shallow,
// anharmonic basin the model of a point on the rim can point into the
// basin while the points nearer the bottom point elsewhere.
bool newton_consistent(const NewtonFrame& frame, const VELMORA_FFT* fft, const long x_i[3]) {
  const long* n = fft->n;
  double k[3][3], g[3], step[3];
  read_point(k, g, fft, static_cast<std::size_t>(flat(n, x_i[0], x_i[1], x_i[2])));
  if (!newton_step(step, frame, k, g)) return false;
  long shift[3];
  for (int d = 0; d < 3; ++d) {
    if (!(std::fabs(step[d]) <= 1.0)) return false;
    shift[d] = std::lround(-step[d]);
  }
  if (shift[0] == 0 && shift[1] == 0 && shift[2] == 0) return true;
  double other[3];
  read_point(k, g, fft,
             static_cast<std::size_t>(flat(n, velmora_mod_long(x_i[0] + shift[0], n[0]),
                                           velmora_mod_long(x_i[1] + shift[1], n[1]),
                                           velmora_mod_long(x_i[2] + shift[2], n[2]))));
  if (!newton_step(other, frame, k, g)) return false;
  // Predicted critical points: x_i - step, and x_i + shift - other.
  for (int d = 0; d < 3; ++d)
    if (!(std::fabs(static_cast<double>(shift[d]) - other[d] + step[d]) <= 1.0)) return false;
  return true;
}

}  // namespace

void velmora_fftdot_newton_step(double step[3], const VELMORA_FFTDOT* dot,
                                const VELMORA_FFT* fft) {
  const NewtonFrame frame(fft);
  if (!newton_step(step, frame, dot->k, dot->f)) step[0] = step[1] = step[2] = HUGE_VAL;
}

void velmora_fftdot_determine_type(VELMORA_FFTDOT* dot, const VELMORA_FFT* fft) {
  int negative = 0, positive = 0;
  for (double e : dot->eig) {
    if (e < 0.0) ++negative;
    if (e > 0.0) ++positive;
  }
  if (negative + positive < 3) {
    dot->type = FFT_ERR;
    return;
  }
  // A critical point of the landscape lies within one grid step of the
  // point only when the quadratic model puts it there: a dip of the
  // gradient on a slope (or a Fourier ripple beside a steep wall) has its
  // stationary point far away.  Of the points that pass, the one with the
  // smallest gradient stands for the critical point; a dip beside it that
  // does not pass does not hide it.
  const NewtonFrame frame(fft);
  if (!newton_consistent(frame, fft, dot->x_i)) {
    dot->type = FFT_NOR;
    return;
  }
  const double g = velmora_vector3_double_length(dot->f);
  for (long a = -1; a <= 1; ++a)
    for (long b = -1; b <= 1; ++b)
      for (long c = -1; c <= 1; ++c) {
        if (a == 0 && b == 0 && c == 0) continue;
        const long i = velmora_mod_long(dot->x_i[0] + a, fft->n[0]);
        const long j = velmora_mod_long(dot->x_i[1] + b, fft->n[1]);
        const long k = velmora_mod_long(dot->x_i[2] + c, fft->n[2]);
        const long y[3] = {i, j, k};
        const std::size_t q = static_cast<std::size_t>(flat(fft->n, i, j, k));
        if (gradient_length(fft, q) < g && newton_consistent(frame, fft, y)) {
          dot->type = FFT_NOR;
          return;
        }
      }
  dot->type = negative == 0   ? FFT_MIN
              : negative == 3 ? FFT_MAX
              : negative == 1 ? FFT_SD1
                              : FFT_SD2;
}

std::unique_ptr<VELMORA_FFTDOT_LIST> velmora_fftdot_list_new(long total) {
  std::unique_ptr<VELMORA_FFTDOT_LIST> list(new (std::nothrow) VELMORA_FFTDOT_LIST);
  if (!list) {
    throw VELMORA_NO_MEMORY("the list of critical points", sizeof(VELMORA_FFTDOT_LIST));
  }
  if (total > 0) {
    list->dot = velmora_fftdot_new(total);
    if (list->dot.empty()) {
      std::fprintf(stderr, "Error: velmora_fftdot_new() returns NULL.\n");
      return nullptr;
    }
    list->total = total;
  }
  return list;
}

std::unique_ptr<VELMORA_FFTDOT_LIST> velmora_fftdot_list_new_from_fft(const VELMORA_FFT* fft) {
  if (!fft_ready(fft)) {
    std::fprintf(stderr, "Error: VELMORA_FFT has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFTDOT_LIST> list = velmora_fftdot_list_new(0);
  if (!list) return nullptr;
  for (int d = 0; d < 3; ++d) list->n[d] = fft->n[d];
  velmora_matrix33_double_copy(list->a, fft->a);
  velmora_matrix33_double_copy(list->a_i, fft->a_i);
  // The Newton test and the neighbour test of the gradient length reject
  // almost every point; they run on all threads, and only the survivors
  // (in grid order) are read and classified in full.
  const long* n = fft->n;
  const long total = static_cast<long>(grid_points(n));
  const NewtonFrame frame(fft);
  std::vector<double> slope(static_cast<std::size_t>(total));
  std::vector<char> passes(static_cast<std::size_t>(total));
#pragma omp parallel for schedule(static)
  for (long p = 0; p < total; ++p) {
    slope[p] = gradient_length(fft, static_cast<std::size_t>(p));
    const long x_i[3] = {p / (n[1] * n[2]), (p / n[2]) % n[1], p % n[2]};
    passes[p] = newton_consistent(frame, fft, x_i);
  }
  std::vector<char> candidate(static_cast<std::size_t>(total), 0);
#pragma omp parallel for schedule(static)
  for (long p = 0; p < total; ++p) {
    if (!passes[p]) continue;
    const long i = p / (n[1] * n[2]), j = (p / n[2]) % n[1], k = p % n[2];
    bool lowest = true;
    for (long a = -1; a <= 1 && lowest; ++a)
      for (long b = -1; b <= 1 && lowest; ++b)
        for (long c = -1; c <= 1; ++c) {
          const long q = flat(n, velmora_mod_long(i + a, n[0]), velmora_mod_long(j + b, n[1]),
                              velmora_mod_long(k + c, n[2]));
          if (passes[q] && slope[q] < slope[p]) {
            lowest = false;
            break;
          }
        }
    candidate[p] = lowest;
  }
  std::vector<double>().swap(slope);
  for (long p = 0; p < total; ++p) {
    if (!candidate[p]) continue;
    long x_i[3] = {p / (n[1] * n[2]), (p / n[2]) % n[1], p % n[2]};
    VELMORA_FFTDOT dot;
    if (velmora_fftdot_read_from_fft(&dot, fft, x_i) != 0) {
      std::fprintf(stderr, "Error: velmora_fftdot_read_from_fft() returns non-zero.\n");
      return nullptr;
    }
    if (dot.type == FFT_MIN || dot.type == FFT_SD1 || dot.type == FFT_SD2 || dot.type == FFT_MAX) {
      try {
        list->dot.push_back(dot);
      } catch (const std::exception&) {
        std::fprintf(stderr, "Error: unable to reallocate VELMORA_FFTDOT.\n");
        return nullptr;
      }
    }
  }
  list->total = static_cast<long>(list->dot.size());
  velmora_fftdot_list_sort(list.get());
  if (velmora_fftdot_list_merge_near(list.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_fftdot_list_merge_near() returns non-zero.\n");
    return nullptr;
  }
  std::printf("Message: found %ld critical points via fft method.\n", list->total);
  return list;
}

void velmora_fftdot_list_sort(VELMORA_FFTDOT_LIST* list) {
  if (!list) return;
  // Pairwise exchange: the order of points of equal type and energy (the
  // symmetry copies of one point) is that of this exchange.
  std::vector<VELMORA_FFTDOT>& dot = list->dot;
  for (std::size_t i = 0; i < dot.size(); ++i)
    for (std::size_t j = i + 1; j < dot.size(); ++j)
      if (dot[i].type > dot[j].type || (dot[i].type == dot[j].type && dot[i].en > dot[j].en))
        std::swap(dot[i], dot[j]);
}

int velmora_fftdot_list_merge_near(VELMORA_FFTDOT_LIST* list) {
  if (!list) {
    std::fprintf(stderr, "Error: VELMORA_FFTDOT_LIST has not been properly initialized.\n");
    return 1;
  }
  velmora_fftdot_list_sort(list);
  std::vector<VELMORA_FFTDOT>& dot = list->dot;
  const long* n = list->n;
  auto near = [&](const VELMORA_FFTDOT& p, const VELMORA_FFTDOT& q) {
    for (int d = 0; d < 3; ++d) {
      const long diff = std::labs(p.x_i[d] - q.x_i[d]);
      if (diff != 1 && diff != n[d] - 1) return false;
    }
    return true;
  };
  // Of a diagonal pair the point nearer the cell boundary goes.
  auto i_goes = [&](const VELMORA_FFTDOT& p, const VELMORA_FFTDOT& q) {
    for (int d = 0; d < 3; ++d) {
      const long bp = std::min(n[d] - p.x_i[d], p.x_i[d]);
      const long bq = std::min(n[d] - q.x_i[d], q.x_i[d]);
      if (bp != bq) return bp < bq;
    }
    return false;
  };
  bool removed = false;
  for (std::size_t i = 0; i < dot.size(); ++i) {
    if (dot[i].type == FFT_ERR) continue;
    const fftdot_type type = dot[i].type;
    for (std::size_t j = i + 1; j < dot.size(); ++j) {
      if (dot[j].type != type) {
        if (dot[j].type == FFT_ERR) continue;
        break;
      }
      if (!near(dot[i], dot[j])) continue;
      removed = true;
      if (i_goes(dot[i], dot[j])) {
        dot[i].type = FFT_ERR;
        break;
      }
      dot[j].type = FFT_ERR;
    }
  }
  if (removed) {
    std::vector<VELMORA_FFTDOT> kept;
    for (const VELMORA_FFTDOT& d : dot)
      if (d.type != FFT_ERR) kept.push_back(d);
    dot.swap(kept);
    list->total = static_cast<long>(dot.size());
  }
  return 0;
}

int velmora_fftdot_list_filter(VELMORA_FFTDOT_LIST* list, double cap) {
  if (!list) {
    std::fprintf(stderr, "Error: VELMORA_FFTDOT_LIST has not been properly initialized.\n");
    return 1;
  }
  if (list->dot.empty()) return 0;
  double e_min = list->dot[0].en;
  for (const VELMORA_FFTDOT& d : list->dot) e_min = std::min(e_min, d.en);
  std::vector<VELMORA_FFTDOT> kept;
  for (const VELMORA_FFTDOT& d : list->dot)
    if (!(d.en > e_min + cap)) kept.push_back(d);
  list->dot.swap(kept);
  list->total = static_cast<long>(list->dot.size());
  return 0;
}

std::unique_ptr<VELMORA_CELL> velmora_fftdot_list_export_to_cell(const VELMORA_FFTDOT_LIST* list) {
  if (!list) {
    std::fprintf(stderr, "Error: VELMORA_FFTDOT_LIST has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_new(list->total);
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_cell_new() returns NULL.\n");
    return nullptr;
  }
  velmora_matrix33_double_copy(cell->a, list->a);
  for (long m = 0; m < list->total; ++m) {
    const VELMORA_FFTDOT& d = list->dot[m];
    VELMORA_ATOM& atom = cell->atom[m];
    const char* name = "ERR";
    const char* type = "Cs";
    switch (d.type) {
      case FFT_MIN: name = "MIN"; type = "Li"; break;
      case FFT_SD1: name = "SD1"; type = "Na"; break;
      case FFT_SD2: name = "SD2"; type = "K"; break;
      case FFT_MAX: name = "MAX"; type = "Rb"; break;
      default: break;
    }
    std::snprintf(atom.name, sizeof atom.name, "%s", name);
    std::snprintf(atom.type, sizeof atom.type, "%s", type);
    atom.os = 1;
    atom.occ = 1.0;
    velmora_vector3_double_copy(atom.x, d.x);
  }
  velmora_cell_update_fractional(cell.get());
  return cell;
}

std::unique_ptr<VELMORA_TEXT> velmora_fftdot_list_export_to_text(const VELMORA_FFTDOT_LIST* list) {
  if (!list) {
    std::fprintf(stderr, "Error: VELMORA_FFTDOT_LIST has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_text_new() returns NULL.\n");
    return nullptr;
  }
  int failed = velmora_text_append(text.get(), "# energy unit: eV; length unit: A\r\n");
  failed |= velmora_text_append_format(
      text.get(),
      "%5s,%6s,%6s,%6s,%6s,%6s,%6s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,"
      "%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s,%9s\r\n",
      "no", "x", "y", "z", "xi", "yi", "zi", "en", "eig_1", "eig_2", "eig_3", "eiv_11", "eiv_12",
      "eiv_13", "eiv_21", "eiv_22", "eiv_23", "eiv_31", "eiv_32", "eiv_33", "|f|", "f_x", "f_y",
      "f_z", "k_xx", "k_xy", "k_xz", "k_yx", "k_yy", "k_yz", "k_zx", "k_zy", "k_zz");
  for (long m = 0; m < list->total; ++m) {
    const VELMORA_FFTDOT& d = list->dot[m];
    failed |= velmora_text_append_format(
        text.get(),
        "%5ld,%6.3f,%6.3f,%6.3f,%6ld,%6ld,%6ld,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,"
        "%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,%9.5f,"
        "%9.5f,%9.5f,%9.5f,%9.5f\r\n",
        m + 1, d.x[0], d.x[1], d.x[2], d.x_i[0], d.x_i[1], d.x_i[2], d.en, d.eig[0], d.eig[1],
        d.eig[2], d.eiv[0][0], d.eiv[0][1], d.eiv[0][2], d.eiv[1][0], d.eiv[1][1], d.eiv[1][2],
        d.eiv[2][0], d.eiv[2][1], d.eiv[2][2], velmora_vector3_double_length(d.f), d.f[0],
        d.f[1], d.f[2], d.k[0][0], d.k[0][1], d.k[0][2], d.k[1][0], d.k[1][1], d.k[1][2],
        d.k[2][0], d.k[2][1], d.k[2][2]);
  }
  if (failed) {
    std::fprintf(stderr, "Error: velmora_text_append() returns non-zero.\n");
    return nullptr;
  }
  return text;
}

// ------------------------------------------------------------- drivers ----

int velmora_fft_analyze_export_to_file(const VELMORA_CUBE* cube, double cap, const char* name) {
  if (!cube || cube->en.empty()) {
    std::fprintf(stderr, "Error: VELMORA_CUBE has not been initialized properly.\n");
    return 1;
  }
  std::string cif_name, txt_name;
  if (!velmora_topology_output_name(cif_name, name, ".fft.cif", 1023) ||
      !velmora_topology_output_name(txt_name, name, ".fft.txt", 1023))
    return 1;
  std::unique_ptr<VELMORA_FFT> fft = velmora_fft_new_from_cube(cube);
  if (!fft) {
    std::fprintf(stderr, "Error: velmora_fft_new_from_cube() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_FFTDOT_LIST> list = velmora_fftdot_list_new_from_fft(fft.get());
  if (!list) {
    std::fprintf(stderr, "Error: velmora_fftdot_list_new_from_fft() returns NULL.\n");
    return 1;
  }
  fft.reset();
  if (cap > 0.0 && velmora_fftdot_list_filter(list.get(), cap) != 0) {
    std::fprintf(stderr, "Error: velmora_fftdot_list_filter() returns non-zero.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_CELL> cell = velmora_fftdot_list_export_to_cell(list.get());
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_fftdot_list_export_to_cell() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_fftdot_list_export_to_text(list.get());
  if (!text) {
    std::fprintf(stderr, "Error: velmora_fftdot_list_export_to_text() returns NULL.\n");
    return 1;
  }
  if (velmora_topology_write_cif(cif_name.c_str(), cell.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return 1;
  }
  if (velmora_file_write_atomically(txt_name.c_str(), text->content) != 0) {
    std::fprintf(stderr, "Error: unable to write %s.\n", txt_name.c_str());
    std::fprintf(stderr, "Error: velmora_text_export_to_file() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_fft_analyze_export_cubes_to_file(const VELMORA_CUBE* cube, const char* name) {
  if (!cube || cube->en.empty()) {
    std::fprintf(stderr, "Error: VELMORA_CUBE has not been initialized properly.\n");
    return 1;
  }
  // Every name is checked before anything is computed or written.
  const char* suffix[14] = {".fft.f0.cube",  ".fft.f1.cube",  ".fft.f2.cube",
                            ".fft.k00.cube", ".fft.k01.cube", ".fft.k02.cube",
                            ".fft.k10.cube", ".fft.k11.cube", ".fft.k12.cube",
                            ".fft.k20.cube", ".fft.k21.cube", ".fft.k22.cube",
                            ".fft.laplacian.cube", ".fft.slope.cube"};
  std::string file[14];
  for (int s = 0; s < 14; ++s)
    if (!velmora_topology_output_name(file[s], name, suffix[s], 1023)) return 1;
  std::unique_ptr<VELMORA_FFT> fft = velmora_fft_new_from_cube(cube);
  if (!fft) {
    std::fprintf(stderr, "Error: velmora_fft_new_from_cube() returns NULL.\n");
    return 1;
  }
  auto write = [&](std::unique_ptr<VELMORA_CUBE> out, const std::string& path,
                   const char* made_by) {
    if (!out) {
      std::fprintf(stderr, "Error: %s() returns NULL.\n", made_by);
      return 1;
    }
    if (velmora_cube_export_to_file(out.get(), nullptr, nullptr, path.c_str(), true) != 0) {
      std::fprintf(stderr, "Error: velmora_cube_export_to_file() returns NULL.\n");
      return 1;
    }
    return 0;
  };
  for (int d = 0; d < 3; ++d)
    if (write(velmora_cube_new_from_fft_grid(fft.get(), fft->f[d]), file[d],
              "velmora_cube_new_from_fftcube"))
      return 1;
  for (int d = 0; d < 3; ++d)
    for (int e = 0; e < 3; ++e)
      if (write(velmora_cube_new_from_fft_grid(fft.get(), fft->k[velmora_fft_k(d, e)]),
                file[3 + 3 * d + e], "velmora_cube_new_from_fftcube"))
        return 1;
  if (write(velmora_fft_laplacian(fft.get()), file[12], "velmora_fft_laplacian")) return 1;
  if (write(velmora_fft_slope(fft.get()), file[13], "velmora_fft_slope")) return 1;
  return 0;
}

// ------------------------------------------------------------ commands ----

int velmora_cmd_opt_do_fft(VELMORA_CMD_OPT* opt) {
  double cap = -0.1;
  if (!velmora_cmd_arg_real(opt, 3, "cap", -HUGE_VAL, VELMORA_CMD_MAX_ENERGY, cap))
    return VELMORA_EXIT_FAILURE;
  const bool periodic = velmora_cmd_read_flag(opt, 4);
  const char* name = opt->argc > 5 ? opt->argv[5] : opt->argv[2];
  std::string check;
  if (!velmora_topology_output_name(check, name, ".fft.cif", 1023)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CUBE> cube;
  if (velmora_cube_import_from_file(cube, nullptr, opt->argv[2], periodic,
                                    opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_import_from_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (velmora_fft_analyze_export_to_file(cube.get(), cap, name) != 0) {
    std::fprintf(stderr, "Error: velmora_fft_analyze_export_to_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_fft_cubes(VELMORA_CMD_OPT* opt) {
  const bool periodic = velmora_cmd_read_flag(opt, 3);
  const char* name = opt->argc > 4 ? opt->argv[4] : opt->argv[2];
  std::string check;
  if (!velmora_topology_output_name(check, name, ".fft.laplacian.cube", 1023))
    return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CUBE> cube;
  if (velmora_cube_import_from_file(cube, nullptr, opt->argv[2], periodic,
                                    opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_import_from_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (velmora_fft_analyze_export_cubes_to_file(cube.get(), name) != 0) {
    std::fprintf(stderr, "Error: velmora_fft_analyze_export_cubes_to_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

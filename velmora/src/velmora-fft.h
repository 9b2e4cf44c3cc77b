// Fourier analysis of a landscape: gradient and second-derivative grids of a
// periodic energy grid taken exactly in reciprocal space (FFTW), Cartesian
// curvature at a grid point, and the critical points (minima, saddles,
// maxima) with the --fft and --fft-cubes commands.  Also the small helpers
// shared by the landscape-topology commands (progress lines, output names).
#ifndef VELMORA_FFT_H_
#define VELMORA_FFT_H_

#include <fftw3.h>

#include <chrono>
#include <complex>
#include <cstdlib>
#include <utility>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "velmora-alloc.h"
#include "velmora-cmd.h"
#include "velmora.h"

// ------------------------------------------------ topology helpers ----

// "Message:" progress lines for the long stages of the topology commands:
// a stage that ends more than kSeconds after the run began reports itself,
// short runs stay silent.
struct VELMORA_PROGRESS {
  static constexpr double kSeconds = 3.0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  double elapsed() const;
  void report(const char* stage) const;
};

// `base` + `suffix` into `out` when the whole name fits in `limit`
// characters; otherwise a message and false.  The fixed name buffers of the
// commands would cut a longer name short (and the cut name can be the input
// file itself), so such names are refused instead.
bool velmora_topology_output_name(std::string& out, const char* base, const char* suffix,
                                  std::size_t limit);
// Writes `cell` as a P 1 CIF through a temporary file renamed over `path`
// (the layout of the general CIF writer, in one pass).  0 on success, 1
// after naming the file that could not be written.
int velmora_topology_write_cif(const char* path, VELMORA_CELL* cell);
// Removes `path` if it exists (results of an older run that this run did not
// produce), with the other files of the run (velmora_output_remove_stale);
// 0 unless it cannot be removed.
int velmora_topology_remove_stale(const char* path);
// Whether the lattice of `cube` (rows a) matches `cell` within 0.01 A per
// component; prints an error naming both files and the largest difference
// when it does not.
bool velmora_topology_lattice_match(const double cube_a[3][3], const VELMORA_CELL* cell,
                                    const char* cube_name, const char* cif_name);

// ------------------------------------------------------------ records ----

enum fftcube_option_output { FFTCUBE_REAL = 0, FFTCUBE_IMAG = 1, FFTCUBE_MODU = 2 };

enum fftdot_type {
  FFT_UND = 0,
  FFT_NOR = 1,  // not critical
  FFT_MIN = 2,
  FFT_SD1 = 3,  // one negative eigenvalue
  FFT_SD2 = 4,  // two negative eigenvalues
  FFT_MAX = 5,
  FFT_ERR = 6   // a zero eigenvalue; also the "removed" mark in lists
};

// Allocator for the grids of the Fourier stage: 64-byte aligned memory
// (enough for every SIMD width FFTW uses, so a plan made on one grid runs on
// any other), large blocks on 2 MB boundaries and marked for huge pages
// (the grids are touched once each, and page faults would otherwise cost
// as much as the transforms), and elements left uninitialised by resize
// (every grid is written whole before it is read).
void* velmora_fft_allocate(std::size_t bytes);
template <class T>
struct VELMORA_FFTW_ALLOCATOR {
  using value_type = T;
  VELMORA_FFTW_ALLOCATOR() = default;
  template <class U>
  VELMORA_FFTW_ALLOCATOR(const VELMORA_FFTW_ALLOCATOR<U>&) {}
  T* allocate(std::size_t count) {
    void* p = velmora_fft_allocate(count * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) { std::free(p); }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0)
      ::new (static_cast<void*>(p)) U;
    else
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const VELMORA_FFTW_ALLOCATOR<U>&) const { return true; }
  template <class U>
  bool operator!=(const VELMORA_FFTW_ALLOCATOR<U>&) const { return false; }
};
using VELMORA_FFT_GRID = std::vector<double, VELMORA_FFTW_ALLOCATOR<double>>;

// A complex grid: point (i, j, k) at k + (i*n[1] + j)*n[2].  The general
// (complex-to-complex) transform and derivative of one grid; the record
// below does not keep grids of this kind.
struct VELMORA_FFTCUBE {
  std::vector<std::complex<double>, VELMORA_FFTW_ALLOCATOR<std::complex<double>>> value;
  double a[3][3] = {};    // lattice vectors (rows), A
  double a_i[3][3] = {};  // grid step vectors (rows), A
  long n[3] = {};
};

// The landscape with its Cartesian gradient and second derivatives on the
// grid (eV, eV/A, eV/A^2).  Derivatives are taken along the lattice vectors
// in reciprocal space and turned into Cartesian components point by point.
// `k` holds the six distinct second derivatives; velmora_fft_k(d, e) names
// the one of Cartesian axes d and e.
struct VELMORA_FFT {
  VELMORA_FFT_GRID en;
  VELMORA_FFT_GRID f[3];
  VELMORA_FFT_GRID k[6];
  double a[3][3] = {};
  double a_i[3][3] = {};
  long n[3] = {};
};
// Index into VELMORA_FFT::k of the second derivative along axes d and e:
// xx, yy, zz, xy, xz, yz.
inline int velmora_fft_k(int d, int e) {
  static const int index[3][3] = {{0, 3, 4}, {3, 1, 5}, {4, 5, 2}};
  return index[d][e];
}

// One grid point's local data.
struct VELMORA_FFTDOT {
  double en = 0.0;
  double f[3] = {};       // gradient, Cartesian, eV/A
  double k[3][3] = {};    // second derivatives, Cartesian, eV/A^2
  double eig[3] = {};     // eigenvalues of k, ascending
  double eiv[3][3] = {};  // eigenvectors (rows) of k
  long x_i[3] = {};
  double x[3] = {};       // Cartesian position, A
  fftdot_type type = FFT_UND;
};

struct VELMORA_FFTDOT_LIST {
  long total = 0;
  std::vector<VELMORA_FFTDOT> dot;
  double a[3][3] = {};
  double a_i[3][3] = {};
  long n[3] = {};
};

// ------------------------------------------------------ complex grids ----

std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_new(const long n[3]);
std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_copy(const VELMORA_FFTCUBE* cube);
std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_new_from_cube(const VELMORA_CUBE* cube);
std::unique_ptr<VELMORA_CUBE> velmora_cube_new_from_fftcube(const VELMORA_FFTCUBE* cube,
                                                            int option);
// Forward (sign -1, divided by the point count) or backward (sign +1,
// unscaled) transform into a new grid.
std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_dft(const VELMORA_FFTCUBE* cube, bool forward);
// Multiplies the coefficients of a transformed grid by i*2*pi*kappa/L per
// differentiated direction (order 0, 1 or 2).
std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_differentiate_dft(const VELMORA_FFTCUBE* cube,
                                                                   int order,
                                                                   const int* direction);
// Derivative along lattice directions of a real-space grid (forward,
// multiply, backward).
std::unique_ptr<VELMORA_FFTCUBE> velmora_fftcube_differentiate(const VELMORA_FFTCUBE* cube,
                                                               int order, const int* direction);

// The reciprocal-space factor of one coefficient: wave numbers kappa of the
// index m on an axis of N points (m <= N/2: m, above: m - N), the Nyquist
// rule (a first or mixed derivative drops the coefficient at N/2 of an even
// axis; a second derivative twice along one axis keeps it).  `length` are
// the lattice vector lengths.
std::complex<double> velmora_fft_factor(const long m[3], const long n[3], const double length[3],
                                        int order, const int* direction);

// -------------------------------------------------------------- record ----

// The record of a landscape: one real-to-complex transform, then one
// complex-to-real transform per derivative grid (3 first, 6 second), the
// nine run side by side on all threads with plans made once.  The result
// does not depend on the thread count.
std::unique_ptr<VELMORA_FFT> velmora_fft_new_from_cube(const VELMORA_CUBE* cube);
// Cartesian components from derivatives along the unit vectors of the
// lattice rows `a`: g = U^-1 g_lat, K = U^-1 K_lat U^-T (U: unit rows).
void velmora_fft_lattice_to_cartesian(double g[3], double k[3][3], const double a[3][3]);
// Laplacian (trace of the second derivatives) and slope (gradient length).
std::unique_ptr<VELMORA_CUBE> velmora_fft_laplacian(const VELMORA_FFT* fft);
std::unique_ptr<VELMORA_CUBE> velmora_fft_slope(const VELMORA_FFT* fft);
// One grid of the record as an energy cube with the record's lattice.
std::unique_ptr<VELMORA_CUBE> velmora_cube_new_from_fft_grid(const VELMORA_FFT* fft,
                                                             const VELMORA_FFT_GRID& grid);

// ---------------------------------------------------- critical points ----

std::vector<VELMORA_FFTDOT> velmora_fftdot_new(long total);
// Point data at x_i (wrapped in place): energy, Cartesian gradient and
// curvature, eigen-decomposition, position and type.  0 on success.
int velmora_fftdot_read_from_fft(VELMORA_FFTDOT* dot, const VELMORA_FFT* fft, long x_i[3]);
// Type of a read point: FFT_ERR for a zero eigenvalue; FFT_NOR when its
// Newton step K^-1 g leaves one grid step on some axis, or when a
// neighbour whose Newton step stays within one grid step has a smaller
// gradient; else by the signs of the eigenvalues.
void velmora_fftdot_determine_type(VELMORA_FFTDOT* dot, const VELMORA_FFT* fft);
// Newton step K^-1 g to the critical point (at x minus the step) in grid
// steps along each axis; infinite when K is singular.
void velmora_fftdot_newton_step(double step[3], const VELMORA_FFTDOT* dot, const VELMORA_FFT* fft);

std::unique_ptr<VELMORA_FFTDOT_LIST> velmora_fftdot_list_new(long total);
std::unique_ptr<VELMORA_FFTDOT_LIST> velmora_fftdot_list_new_from_fft(const VELMORA_FFT* fft);
void velmora_fftdot_list_sort(VELMORA_FFTDOT_LIST* list);
int velmora_fftdot_list_merge_near(VELMORA_FFTDOT_LIST* list);
int velmora_fftdot_list_filter(VELMORA_FFTDOT_LIST* list, double cap);
std::unique_ptr<VELMORA_CELL> velmora_fftdot_list_export_to_cell(const VELMORA_FFTDOT_LIST* list);
std::unique_ptr<VELMORA_TEXT> velmora_fftdot_list_export_to_text(const VELMORA_FFTDOT_LIST* list);

// ------------------------------------------------------------- drivers ----

int velmora_fft_analyze_export_to_file(const VELMORA_CUBE* cube, double cap, const char* name);
int velmora_fft_analyze_export_cubes_to_file(const VELMORA_CUBE* cube, const char* name);

int velmora_cmd_opt_do_fft(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_fft_cubes(VELMORA_CMD_OPT* opt);

#endif  // VELMORA_FFT_H_

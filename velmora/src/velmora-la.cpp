// Fixed-size linear algebra of velmora (see velmora-la.h).  Eigenvalues of
// symmetric 3x3 matrices by the closed trigonometric formula, eigenvectors
// from the rank of M - lambda I, linear systems by Doolittle LU.
#include "velmora-la.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Absolute tolerance of the rank and pivot tests.
constexpr double kZero = 1e-6;

void velmora_matrix33_double_sub_identity(double out[3][3], const double m[3][3],
                                          double lambda) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = m[i][j] - (i == j ? lambda : 0.0);
}

// Location of the element of largest magnitude in rows first..2 (row-major
// scan; a later element wins only when strictly larger).
double velmora_matrix33_double_max_element(const double m[3][3], int first, int& row,
                                           int& col) {
  double best = -1.0;
  row = first;
  col = 0;
  for (int i = first; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (std::fabs(m[i][j]) > best) {
        best = std::fabs(m[i][j]);
        row = i;
        col = j;
      }
  return best;
}

void velmora_vector3_double_swap(double& a, double& b) {
  const double t = a;
  a = b;
  b = t;
}

}  // namespace

void velmora_vector3_double_copy(double out[3], const double v[3]) {
  out[0] = v[0];
  out[1] = v[1];
  out[2] = v[2];
}

void velmora_vector3_double_sum2(double out[3], double s1, const double a1[3], double s2,
                                 const double a2[3]) {
  for (int i = 0; i < 3; ++i) out[i] = s1 * a1[i] + s2 * a2[i];
}

void velmora_vector3_double_sum3(double out[3], double s1, const double a1[3], double s2,
                                 const double a2[3], double s3, const double a3[3]) {
  double r[3];
  for (int i = 0; i < 3; ++i) r[i] = s1 * a1[i] + s2 * a2[i] + s3 * a3[i];
  velmora_vector3_double_copy(out, r);
}

double velmora_vector3_double_dot(const double u[3], const double v[3]) {
  return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

void velmora_vector3_double_cross(double out[3], const double u[3], const double v[3]) {
  out[0] = u[1] * v[2] - u[2] * v[1];
  out[1] = u[2] * v[0] - u[0] * v[2];
  out[2] = u[0] * v[1] - u[1] * v[0];
}

double velmora_vector3_double_distance(const double u[3], const double v[3]) {
  const double d[3] = {u[0] - v[0], u[1] - v[1], u[2] - v[2]};
  return velmora_vector3_double_length(d);
}

double velmora_vector3_double_length(const double v[3]) {
  return std::sqrt(velmora_vector3_double_dot(v, v));
}

void velmora_vector3_double_normalize(double out[3], const double v[3]) {
  const double len = velmora_vector3_double_length(v);
  if (len < kZero) {
    out[0] = out[1] = out[2] = 0.0;
    return;
  }
  for (int i = 0; i < 3; ++i) out[i] = v[i] / len;
}

void velmora_vector3_double_project_parallel(double out[3], const double v[3],
                                             const double d[3]) {
  double n[3];
  velmora_vector3_double_normalize(n, d);
  const double s = velmora_vector3_double_dot(v, n);
  for (int i = 0; i < 3; ++i) out[i] = s * n[i];
}

void velmora_vector3_double_project_perpendicular(double out[3], const double v[3],
                                                  const double d[3]) {
  double p[3];
  velmora_vector3_double_project_parallel(p, v, d);
  for (int i = 0; i < 3; ++i) out[i] = v[i] - p[i];
}

void velmora_vector3_double_complement1(double out[3], const double u[3], const double v[3]) {
  double c[3];
  velmora_vector3_double_cross(c, u, v);
  velmora_vector3_double_normalize(out, c);
}

void velmora_vector3_double_complement2(double u[3], double v[3], double w[3]) {
  velmora_vector3_double_normalize(w, w);
  if (std::fabs(w[0]) >= std::fabs(w[1])) {
    const double s = 1.0 / std::sqrt(w[0] * w[0] + w[2] * w[2]);
    u[0] = -w[2] * s;
    u[1] = 0.0;
    u[2] = w[0] * s;
  } else {
    const double s = 1.0 / std::sqrt(w[1] * w[1] + w[2] * w[2]);
    u[0] = 0.0;
    u[1] = w[2] * s;
    u[2] = -w[1] * s;
  }
  velmora_vector3_double_cross(v, w, u);
}

void velmora_matrix33_double_copy(double out[3][3], const double m[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = m[i][j];
}

void velmora_matrix33_double_transpose(double m[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j) velmora_vector3_double_swap(m[i][j], m[j][i]);
}

void velmora_matrix33_double_multiply_vector3(double out[3], const double m[3][3],
                                              const double v[3]) {
  for (int i = 0; i < 3; ++i) out[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
}

double velmora_matrix33_double_determinant(const double m[3][3]) {
  return m[0][0] * m[1][1] * m[2][2] + m[0][1] * m[1][2] * m[2][0] +
         m[0][2] * m[1][0] * m[2][1] - m[0][2] * m[1][1] * m[2][0] -
         m[0][0] * m[1][2] * m[2][1] - m[0][1] * m[1][0] * m[2][2];
}

void velmora_matrix33_double_swap_row(double m[3][3], int i, int j) {
  if (i == j || i < 0 || i > 2 || j < 0 || j > 2) return;
  for (int k = 0; k < 3; ++k) velmora_vector3_double_swap(m[i][k], m[j][k]);
}

void velmora_matrix33_double_symmetrize(double m[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < i; ++j) m[j][i] = m[i][j] = (m[j][i] + m[i][j]) / 2.0;
}

int velmora_matrix33_double_compute_rank(double m[3][3]) {
  int row, col;
  double pivot_size = velmora_matrix33_double_max_element(m, 0, row, col);
  if (pivot_size < kZero) return 0;
  velmora_matrix33_double_swap_row(m, 0, row);
  double pivot = m[0][col];
  for (int j = 0; j < 3; ++j) m[0][j] /= pivot;
  for (int i = 1; i < 3; ++i) {
    const double f = m[i][col];
    for (int j = 0; j < 3; ++j) m[i][j] -= f * m[0][j];
    m[i][col] = 0.0;
  }
  pivot_size = velmora_matrix33_double_max_element(m, 1, row, col);
  if (pivot_size < kZero) return 1;
  if (row == 2) velmora_matrix33_double_swap_row(m, 1, 2);
  pivot = m[1][col];
  for (int j = 0; j < 3; ++j) m[1][j] /= pivot;
  const double f = m[2][col];
  for (int j = 0; j < 3; ++j) m[2][j] -= f * m[1][j];
  m[2][col] = 0.0;
  pivot_size = velmora_matrix33_double_max_element(m, 2, row, col);
  return pivot_size < kZero ? 2 : 3;
}

int velmora_matrix33_double_rank(const double m[3][3]) {
  double c[3][3];
  velmora_matrix33_double_copy(c, m);
  return velmora_matrix33_double_compute_rank(c);
}

int velmora_matrix33_double_eigenvalue_symmetric(double eig[3], const double m[3][3]) {
  const double p1 = m[0][1] * m[0][1] + m[0][2] * m[0][2] + m[1][2] * m[1][2];
  if (p1 < 1e-11) {
    eig[0] = m[0][0];
    eig[1] = m[1][1];
    eig[2] = m[2][2];
    if (eig[0] > eig[1]) velmora_vector3_double_swap(eig[0], eig[1]);
    if (eig[1] > eig[2]) {
      velmora_vector3_double_swap(eig[1], eig[2]);
      if (eig[0] > eig[1]) velmora_vector3_double_swap(eig[0], eig[1]);
    }
    return 0;
  }
  const double q = (m[0][0] + m[1][1] + m[2][2]) / 3.0;
  const double p2 = (m[0][0] - q) * (m[0][0] - q) + (m[1][1] - q) * (m[1][1] - q) +
                    (m[2][2] - q) * (m[2][2] - q) + 2.0 * p1;
  const double p = std::sqrt(p2 / 6.0);
  double b[3][3];
  velmora_matrix33_double_sub_identity(b, m, q);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) b[i][j] /= p;
  const double r = velmora_matrix33_double_determinant(b) / 2.0;
  double phi;
  if (r <= -1.0)
    phi = 1.04719755;  // pi/3
  else if (r >= 1.0)
    phi = 0.0;
  else
    phi = std::acos(r) / 3.0;
  eig[2] = q + 2.0 * p * std::cos(phi);
  eig[0] = q + 2.0 * p * std::cos(phi + 2.0943951);  // + 2 pi/3
  eig[1] = 3.0 * q - eig[0] - eig[2];
  return 0;
}

int velmora_matrix33_double_eigensolver_symmetric(double eig[3], double v[3][3],
                                                  double m[3][3]) {
  velmora_matrix33_double_symmetrize(m);
  velmora_matrix33_double_eigenvalue_symmetric(eig, m);
  double a0[3][3];
  velmora_matrix33_double_sub_identity(a0, m, eig[0]);
  const int r0 = velmora_matrix33_double_compute_rank(a0);
  if (r0 == 0) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) v[i][j] = i == j ? 1.0 : 0.0;
    return 0;
  }
  if (r0 == 1) {
    double n[3];
    velmora_vector3_double_normalize(n, a0[0]);
    velmora_vector3_double_complement2(v[0], v[1], n);
    velmora_vector3_double_cross(v[2], v[0], v[1]);
    return 0;
  }
  double row0[3], row1[3], c[3];
  velmora_vector3_double_normalize(row0, a0[0]);
  velmora_vector3_double_normalize(row1, a0[1]);
  velmora_vector3_double_cross(c, row0, row1);
  velmora_vector3_double_normalize(v[0], c);
  double a1[3][3];
  velmora_matrix33_double_sub_identity(a1, m, eig[1]);
  const int r1 = velmora_matrix33_double_compute_rank(a1);
  if (r1 == 1) {
    double w[3];
    velmora_vector3_double_copy(w, v[0]);
    velmora_vector3_double_complement2(v[1], v[2], w);
    return 0;
  }
  velmora_vector3_double_normalize(row0, a1[0]);
  velmora_vector3_double_normalize(row1, a1[1]);
  velmora_vector3_double_cross(c, row0, row1);
  velmora_vector3_double_normalize(v[1], c);
  velmora_vector3_double_cross(v[2], v[0], v[1]);
  return 0;
}

void velmora_matrix33_double_lusolver(double p[3][3], double l[3][3], double u[3][3],
                                      const double a[3][3]) {
  velmora_matrix33_double_copy(u, a);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) l[i][j] = p[i][j] = i == j ? 1.0 : 0.0;
  for (int k = 0; k < 2; ++k) {
    int pivot = k;
    for (int i = k + 1; i < 3; ++i)
      if (std::fabs(u[i][k]) > std::fabs(u[pivot][k])) pivot = i;
    velmora_matrix33_double_swap_row(u, k, pivot);
    velmora_matrix33_double_swap_row(p, k, pivot);
    for (int j = 0; j < k; ++j) velmora_vector3_double_swap(l[k][j], l[pivot][j]);
    if (std::fabs(u[k][k]) < kZero) {
      for (int i = k + 1; i < 3; ++i) l[i][k] = 0.0;
      continue;
    }
    for (int i = k + 1; i < 3; ++i) {
      l[i][k] = u[i][k] / u[k][k];
      for (int j = k; j < 3; ++j) u[i][j] -= u[k][j] * l[i][k];
    }
  }
}

int velmora_matrix33_double_linearsolver(double x[3], const double a[3][3], const double b[3]) {
  double p[3][3], l[3][3], u[3][3];
  velmora_matrix33_double_lusolver(p, l, u, a);
  int rank = 3;
  for (int i = 0; i < 3; ++i)
    if (std::fabs(u[i][i]) < kZero) --rank;
  if (rank < 3) {
    x[0] = x[1] = x[2] = 0.0;
    return rank;
  }
  double y[3], z[3];
  velmora_matrix33_double_multiply_vector3(y, p, b);
  for (int i = 0; i < 3; ++i) {
    z[i] = y[i];
    for (int j = 0; j < i; ++j) z[i] -= l[i][j] * z[j];
  }
  for (int i = 2; i >= 0; --i) {
    double s = z[i];
    for (int j = i + 1; j < 3; ++j) s -= u[i][j] * x[j];
    x[i] = s / u[i][i];
  }
  return 3;
}

namespace {
unsigned random_seed = 1;
bool random_seed_printed = false;
}  // namespace

void velmora_random_seed(unsigned seed) {
  random_seed = seed;
  random_seed_printed = false;
  std::srand(seed);
}

unsigned velmora_random_current_seed(bool* drawn) {
  if (drawn) *drawn = random_seed_printed;
  return random_seed;
}

double velmora_random() {
  // The seed is printed at the first draw, so that a run that used random
  // numbers can be repeated exactly and one that did not says nothing.
  if (!random_seed_printed) {
    random_seed_printed = true;
    std::printf("Message: random seed = %u (give --seed %u to repeat this run).\n", random_seed,
                random_seed);
  }
  return std::rand() / 2147483647.0;
}

long velmora_mod_long(long a, long n) { return ((a % n) + n) % n; }

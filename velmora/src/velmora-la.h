// Fixed-size linear algebra of velmora on double[3] vectors and double[3][3]
// row-major matrices (closed-form symmetric eigensolver, LU with partial
// pivoting), plus the program's random numbers and integer remainder.
// Nothing here allocates; unless stated, outputs must not alias inputs.
#ifndef VELMORA_LA_H_
#define VELMORA_LA_H_

void velmora_vector3_double_copy(double out[3], const double v[3]);
void velmora_vector3_double_sum2(double out[3], double s1, const double a1[3], double s2,
                                 const double a2[3]);
// out may alias an input.
void velmora_vector3_double_sum3(double out[3], double s1, const double a1[3], double s2,
                                 const double a2[3], double s3, const double a3[3]);
double velmora_vector3_double_dot(const double u[3], const double v[3]);
void velmora_vector3_double_cross(double out[3], const double u[3], const double v[3]);
double velmora_vector3_double_distance(const double u[3], const double v[3]);
double velmora_vector3_double_length(const double v[3]);
// out = v/|v|, or the zero vector when |v| < 1e-6; out may be v.
void velmora_vector3_double_normalize(double out[3], const double v[3]);
void velmora_vector3_double_project_parallel(double out[3], const double v[3],
                                             const double d[3]);
void velmora_vector3_double_project_perpendicular(double out[3], const double v[3],
                                                  const double d[3]);
// out = normalize(u x v).
void velmora_vector3_double_complement1(double out[3], const double u[3], const double v[3]);
// Two unit vectors u, v making (u, v, w) right-handed orthonormal; w is
// normalised in place.
void velmora_vector3_double_complement2(double u[3], double v[3], double w[3]);

void velmora_matrix33_double_copy(double out[3][3], const double m[3][3]);
void velmora_matrix33_double_transpose(double m[3][3]);
void velmora_matrix33_double_multiply_vector3(double out[3], const double m[3][3],
                                              const double v[3]);
double velmora_matrix33_double_determinant(const double m[3][3]);
void velmora_matrix33_double_swap_row(double m[3][3], int i, int j);
void velmora_matrix33_double_symmetrize(double m[3][3]);
// Rank by Gaussian elimination with full pivoting (tolerance 1e-6); m is
// overwritten with its reduced form.
int velmora_matrix33_double_compute_rank(double m[3][3]);
// Rank of m, computed on a copy.
int velmora_matrix33_double_rank(const double m[3][3]);
// Eigenvalues of a symmetric matrix in ascending order; returns 0.
int velmora_matrix33_double_eigenvalue_symmetric(double eig[3], const double m[3][3]);
// Eigenvalues and eigenvectors (rows of v, right-handed orthonormal); m is
// symmetrised in place first.  Returns 0.
int velmora_matrix33_double_eigensolver_symmetric(double eig[3], double v[3][3],
                                                  double m[3][3]);
// P a = L u, L unit lower triangular, partial pivoting.
void velmora_matrix33_double_lusolver(double p[3][3], double l[3][3], double u[3][3],
                                      const double a[3][3]);
// Solves a x = b; returns the rank estimate (x = 0 when below 3).
int velmora_matrix33_double_linearsolver(double x[3], const double a[3][3], const double b[3]);

// rand() / 2147483647.0: a double in [0, 1], both ends included.  The
// first draw after velmora_random_seed prints the seed on standard output.
double velmora_random();
// Seeds the rand() stream of velmora_random.
void velmora_random_seed(unsigned seed);
// The seed of the stream; `drawn` (when given) tells whether any number has
// been drawn since it was seeded.
unsigned velmora_random_current_seed(bool* drawn);
// ((a rem n) + n) rem n: 0 to n-1 for n > 0; n must not be 0.
long velmora_mod_long(long a, long n);

#endif  // VELMORA_LA_H_

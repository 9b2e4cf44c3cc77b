// Core records, text buffer, list and the 3x3 linear algebra of velmora:
// values worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "velmora-alloc.h"
#include "velmora-ds.h"
#include "velmora-la.h"

namespace {

std::string scratch_file(const char* name, const std::string& content) {
  const std::string path = std::string(::testing::TempDir()) + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  return path;
}

}  // namespace

TEST(VelmoraText, GrowsInWholeKilobytes) {
  auto text = velmora_text_new(nullptr);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->allocated, 1024);
  const std::string a(1023, 'a');
  ASSERT_EQ(velmora_text_append(text.get(), a.c_str()), 0);
  EXPECT_EQ(text->allocated, 1024);  // 1023 characters and the terminator fit
  ASSERT_EQ(velmora_text_append(text.get(), "b"), 0);
  EXPECT_EQ(text->allocated, 2048);
  EXPECT_EQ(text->length, 1024);
  EXPECT_EQ(std::string(text->c_str()), a + "b");
  // Appending nothing, or to nothing, is a successful no-op.
  EXPECT_EQ(velmora_text_append(text.get(), nullptr), 0);
  EXPECT_EQ(velmora_text_append(nullptr, "x"), 0);
  ASSERT_EQ(velmora_text_cat(text.get(), text.get()), 0);
  EXPECT_EQ(text->length, 2048);
  ASSERT_EQ(velmora_text_dump(text.get()), 0);
  EXPECT_EQ(text->length, 0);
  EXPECT_EQ(text->allocated, 1024);
}

TEST(VelmoraText, SplitsRowsAtTheDelimiter) {
  auto text = velmora_text_new("a\nb\n");
  std::vector<std::string> rows;
  long count = 0;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(velmora_text_segregate_into_rows(rows, count, text.get(), '\n'), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Message: total lines in the cif: 3\n");
  ASSERT_EQ(count, 3);
  EXPECT_EQ(rows[0], "a");
  EXPECT_EQ(rows[1], "b");
  EXPECT_EQ(rows[2], "");
  // Carriage returns stay in the rows.
  auto crlf = velmora_text_new("a\r\nb");
  ::testing::internal::CaptureStdout();
  velmora_text_segregate_into_rows(rows, count, crlf.get(), '\n');
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(count, 2);
  EXPECT_EQ(rows[0], "a\r");
  EXPECT_EQ(rows[1], "b");
}

TEST(VelmoraText, FileRoundTripAndFailures) {
  auto text = velmora_text_new("line 1\r\nline 2\r\n");
  const std::string path = std::string(::testing::TempDir()) + "velmora_text_roundtrip.txt";
  ASSERT_EQ(velmora_text_export_to_file(text.get(), path.c_str()), 0);
  ASSERT_EQ(velmora_text_append_to_file(text.get(), path.c_str()), 0);
  auto back = velmora_text_import_from_file(path.c_str());
  ASSERT_TRUE(back);
  EXPECT_EQ(std::string(back->c_str()), "line 1\r\nline 2\r\nline 1\r\nline 2\r\n");
  EXPECT_EQ(back->length, 32);
  EXPECT_EQ(back->allocated, 1024);

  const std::string empty = scratch_file("velmora_empty.cif", "");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(velmora_text_import_from_file(empty.c_str()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error: failed to read content of " + empty + "\n");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(velmora_text_import_from_file("/nonexistent/x.cif"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: unable to open /nonexistent/x.cif\n");
  // A directory is not a file to read.
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(velmora_text_import_from_file(::testing::TempDir().c_str()));
  ::testing::internal::GetCapturedStderr();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_text_export_to_file(text.get(), "/nonexistent/y.txt"), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: unable to open /nonexistent/y.txt.\n");
}

TEST(VelmoraRecords, ConstructorsAndPrints) {
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(velmora_atom_new(0).empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: number of atoms must be positive.\n");
  auto cell = velmora_cell_new(0);
  ASSERT_TRUE(cell);
  EXPECT_EQ(cell->total, 0);
  EXPECT_TRUE(cell->atom.empty());

  auto two = velmora_cell_new(2);
  std::snprintf(two->atom[0].name, 12, "Li1");
  std::snprintf(two->atom[0].type, 3, "Li");
  two->atom[0].os = 1;
  two->atom[0].x_f[0] = 0.25;
  two->atom[0].occ = 1.0;
  auto copy = velmora_cell_copy(two.get());
  two->atom[0].os = 7;  // the copy is deep
  EXPECT_EQ(copy->atom[0].os, 1);
  EXPECT_EQ(copy->total, 2);

  ::testing::internal::CaptureStdout();
  velmora_atom_print(&copy->atom[0]);
  velmora_atom_print(nullptr);
  velmora_cell_print(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ATOM: name=   Li1;type=Li;os= 1;x_f=(0.250,0.000,0.000);occ=1.000\n"
            "ATOM: (not allocated)\n"
            "CELL: (not allocated)\n");

  auto group = velmora_symmetry_new(1);
  group->sg_id = 1;
  group->card[0].r_f[0][0] = group->card[0].r_f[1][1] = group->card[0].r_f[2][2] = 1.0;
  std::snprintf(group->card[0].text, 36, "x, y, z");
  ::testing::internal::CaptureStdout();
  velmora_symmetry_print(group.get());
  velmora_symmetry_print(velmora_symmetry_new(0).get());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "SYMMETRY: Hermann-Maugui group symbol: \n"
            "SYMMETRY: Hall group symbol: \n"
            "SYMMETRY: International Table ID: 1\n"
            "SYMMETRY: Total number of cards: 1\n"
            "CARD: text:x, y, z\n"
            "CARD:   1.000  0.000  0.000       0.000\n"
            "CARD:   0.000  1.000  0.000       0.000\n"
            "CARD:   0.000  0.000  1.000       0.000\n"
            "SYMMETRY: (not allocated)\n");
}

TEST(VelmoraRecords, ArraysAreZeroFilled) {
  auto a = velmora_array_double_3D_new(2, 3, 4);
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(a[1].size(), 3u);
  ASSERT_EQ(a[1][2].size(), 4u);
  EXPECT_EQ(a[1][2][3], 0.0);
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(velmora_array_int_2D_new(0, 3).empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: unable to allocate VELMORA_ARRAY_2D.\n");
}

namespace {
int g_freed = 0;
void count_free(void* p) {
  g_freed += *static_cast<int*>(p);
}
}  // namespace

TEST(VelmoraList, KeepsOrderAndFreesElements) {
  int values[3] = {1, 2, 3};
  auto list = velmora_list_new(count_free);
  for (int& v : values) EXPECT_EQ(velmora_list_append(list.get(), &v), &v);
  EXPECT_EQ(velmora_list_count(list.get()), 3);
  EXPECT_EQ(*list->curr, &values[2]);
  int k = 0;
  for (void* p : list->items) EXPECT_EQ(p, &values[k++]);
  g_freed = 0;
  velmora_list_free(list);
  EXPECT_EQ(g_freed, 6);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_list_insert_last(nullptr, &values[0]), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error: VELMORA_LIST has not been properly initialized.\n");
}

TEST(VelmoraLinearAlgebra, VectorsAndDeterminant) {
  double v[3] = {1e-7, 0, 0}, out[3];
  velmora_vector3_double_normalize(out, v);
  EXPECT_EQ(out[0], 0.0);
  const double a[3] = {1, 0, 0}, b[3] = {0, 1, 0};
  velmora_vector3_double_cross(out, a, b);
  EXPECT_DOUBLE_EQ(out[2], 1.0);
  double u[3], w[3], z[3] = {0, 0, 2};
  velmora_vector3_double_complement2(u, w, z);
  double c[3];
  velmora_vector3_double_cross(c, u, w);  // (u, w, z) right-handed
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], z[i], 1e-12);
  const double m[3][3] = {{2, 0, 1}, {1, 3, 2}, {1, 1, 2}};
  EXPECT_DOUBLE_EQ(velmora_matrix33_double_determinant(m), 6.0);
  EXPECT_EQ(velmora_mod_long(-1, 5), 4);
  EXPECT_EQ(velmora_mod_long(7, 5), 2);
}

TEST(VelmoraLinearAlgebra, RankAndEigenvalues) {
  const double zero[3][3] = {};
  const double one_row[3][3] = {{1, 2, 3}, {0, 0, 0}, {0, 0, 0}};
  const double identity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  EXPECT_EQ(velmora_matrix33_double_rank(zero), 0);
  EXPECT_EQ(velmora_matrix33_double_rank(one_row), 1);
  EXPECT_EQ(velmora_matrix33_double_rank(identity), 3);
  double eig[3];
  const double diag[3][3] = {{3, 0, 0}, {0, 1, 0}, {0, 0, 2}};
  velmora_matrix33_double_eigenvalue_symmetric(eig, diag);
  EXPECT_DOUBLE_EQ(eig[0], 1);
  EXPECT_DOUBLE_EQ(eig[1], 2);
  EXPECT_DOUBLE_EQ(eig[2], 3);
  double ones[3][3] = {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
  double vec[3][3];
  velmora_matrix33_double_eigensolver_symmetric(eig, vec, ones);
  EXPECT_NEAR(eig[0], 0, 1e-6);
  EXPECT_NEAR(eig[1], 0, 1e-6);
  EXPECT_NEAR(eig[2], 3, 1e-6);
  // Eigenvector of 3 is (1,1,1)/sqrt 3; the set is orthonormal.
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(std::fabs(vec[2][i]), 1 / std::sqrt(3.0), 1e-6);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(velmora_vector3_double_dot(vec[i], vec[j]), i == j ? 1 : 0, 1e-9);
  // A general symmetric matrix: M v = lambda v for each row of V.
  double s[3][3] = {{4, 1, 0.5}, {1, 3, 0.2}, {0.5, 0.2, 1}};
  const double s0[3][3] = {{4, 1, 0.5}, {1, 3, 0.2}, {0.5, 0.2, 1}};
  velmora_matrix33_double_eigensolver_symmetric(eig, vec, s);
  for (int k = 0; k < 3; ++k) {
    double mv[3];
    velmora_matrix33_double_multiply_vector3(mv, s0, vec[k]);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(mv[i], eig[k] * vec[k][i], 1e-7);
  }
}

TEST(VelmoraLinearAlgebra, LinearSolverPivots) {
  const double a[3][3] = {{1, 2, 0}, {3, 1, 1}, {0, 5, 1}};
  const double b[3] = {1, 2, 3};
  double x[3];
  EXPECT_EQ(velmora_matrix33_double_linearsolver(x, a, b), 3);
  EXPECT_NEAR(x[0], 0.2, 1e-12);
  EXPECT_NEAR(x[1], 0.4, 1e-12);
  EXPECT_NEAR(x[2], 1.0, 1e-12);
  const double singular[3][3] = {{1, 2, 3}, {2, 4, 6}, {0, 0, 1}};
  EXPECT_LT(velmora_matrix33_double_linearsolver(x, singular, b), 3);
  EXPECT_EQ(x[0], 0.0);
}

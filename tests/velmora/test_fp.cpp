// Flow-path map: classification of grid points (minimum, maximum, plateau,
// saddle, irregular, a saddle spread over two equal points), neighbour
// clusters counted exactly against a
// breadth-first search (and the pattern in which merging labels by the
// smaller value loses a lower cluster), one warning per crowded point, half
// paths of a cosine landscape with their barriers, half paths from a pass
// where four basins meet, the filter and the
// marker cell.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "topology_fixture.h"
#include "velmora-fp.h"

namespace {

using topology_fixture::quiet;
using topology_fixture::sample;

// A 3x3x3 grid holding one neighbourhood: the point at (1, 1, 1), its
// neighbours at the other points (offset code 9a + 3b + c).
std::unique_ptr<VELMORA_FPCUBE> block(const double e[27]) {
  const long n[3] = {3, 3, 3};
  const double a[3][3] = {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}};
  auto cube = sample(n, a, [](double, double, double) { return 0.0; });
  for (int q = 0; q < 27; ++q) cube->en[q] = e[q];
  std::unique_ptr<VELMORA_FPCUBE> map;
  quiet([&] { map = velmora_fpcube_new_from_cube(cube.get()); });
  return map;
}

// Clusters of the lower (sign -1) and other (+1) neighbours by
// breadth-first search over 26-adjacency within the block.
void bfs_count(const double e[27], int& up, int& dn) {
  int seen[27] = {};
  up = dn = 0;
  for (int q = 0; q < 27; ++q) {
    if (q == 13 || seen[q]) continue;
    const bool lower = e[q] < e[13];
    lower ? ++dn : ++up;
    std::vector<int> queue{q};
    seen[q] = 1;
    while (!queue.empty()) {
      const int p = queue.back();
      queue.pop_back();
      for (int r = 0; r < 27; ++r) {
        if (r == 13 || seen[r] || (e[r] < e[13]) != lower) continue;
        if (std::abs(p / 9 - r / 9) > 1 || std::abs(p / 3 % 3 - r / 3 % 3) > 1 ||
            std::abs(p % 3 - r % 3) > 1)
          continue;
        seen[r] = 1;
        queue.push_back(r);
      }
    }
  }
}

// The labelling that joins two touching labels by keeping the smaller
// value and counts a cluster when its label beats every earlier one.
void merge_smaller_count(const double e[27], int& up, int& dn) {
  int sign[5][5][5] = {}, label[5][5][5] = {};
  for (int q = 0; q < 27; ++q)
    if (q != 13) sign[q / 9 + 1][q / 3 % 3 + 1][q % 3 + 1] = e[q] >= e[13] ? 1 : -1;
  int counter = 1;
  for (int a = 1; a <= 3; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int c = 1; c <= 3; ++c) {
        if (!sign[a][b][c]) continue;
        for (int x = -1; x <= 1; ++x)
          for (int y = -1; y <= 1; ++y)
            for (int z = -1; z <= 1; ++z) {
              const int l = label[a + x][b + y][c + z];
              if (!l || sign[a + x][b + y][c + z] != sign[a][b][c]) continue;
              if (!label[a][b][c]) {
                label[a][b][c] = l;
              } else if (l != label[a][b][c]) {
                const int keep = std::min(l, label[a][b][c]), drop = std::max(l, label[a][b][c]);
                for (int i = 1; i <= 3; ++i)
                  for (int j = 1; j <= 3; ++j)
                    for (int k = 1; k <= 3; ++k)
                      if (label[i][j][k] == drop) label[i][j][k] = keep;
              }
            }
        if (!label[a][b][c]) label[a][b][c] = sign[a][b][c] > 0 ? counter : -counter;
        ++counter;
      }
  up = dn = 0;
  int top = 0, bottom = 0;
  for (int a = 1; a <= 3; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int c = 1; c <= 3; ++c) {
        const int l = label[a][b][c];
        if (l > top) {
          top = l;
          ++up;
        }
        if (l < bottom) {
          bottom = l;
          ++dn;
        }
      }
}

}  // namespace

TEST(VelmoraFp, ClassifiesMinimaMaximaPlateausSaddles) {
  double e[27];
  for (int q = 0; q < 27; ++q) e[q] = 1.0 + 0.01 * q;
  e[13] = 0.0;
  EXPECT_EQ(block(e)->dot[13].type, FP_MIN);
  for (int q = 0; q < 27; ++q) e[q] = -1.0;
  e[13] = 0.0;
  EXPECT_EQ(block(e)->dot[13].type, FP_MAX);
  // A plateau: equal neighbours count as lower when they come earlier in
  // grid order, so exactly one point (the first) is its minimum.
  for (int q = 0; q < 27; ++q) e[q] = 0.5;
  auto flat = block(e);
  EXPECT_EQ(flat->dot[0].type, FP_MIN);
  for (int q = 1; q < 27; ++q) EXPECT_NE(flat->dot[q].type, FP_MIN) << q;
  // Lower on the two faces across a only: two lower clusters, a saddle.
  for (int q = 0; q < 27; ++q) e[q] = q / 9 == 1 ? 1.0 : -1.0;
  e[13] = 0.0;
  auto map = block(e);
  EXPECT_EQ(map->dot[13].type, FP_SAD);
  EXPECT_EQ(map->dot[13].total_dn, 2);
  EXPECT_EQ(map->dot[13].total_up, 1);
  // One lower cluster (the a = 0 face) and two higher ones (the a = 2 face
  // split by a lower... no: the b = 0 and b = 2 rows of the middle layer).
  for (int q = 0; q < 27; ++q) e[q] = -1.0;
  for (int q = 0; q < 27; ++q)
    if (q / 9 >= 1 && q / 3 % 3 != 1) e[q] = 1.0;  // two slabs, b = 0 and b = 2, a >= 1
  e[13] = 0.0;
  map = block(e);
  EXPECT_EQ(map->dot[13].total_dn, 1);
  EXPECT_EQ(map->dot[13].total_up, 2);
  EXPECT_EQ(map->dot[13].type, FP_ERR);
}

// Cluster counts equal a breadth-first search on random neighbourhoods; the
// labelling that merges towards the smaller label misses lower clusters in
// some of them (about 1 %), which would turn saddles into slope points.
TEST(VelmoraFp, ClusterCountsAreExact) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  long lost = 0, patterns = 20000;
  for (long t = 0; t < patterns; ++t) {
    double e[27];
    for (double& x : e) x = u(rng);
    e[13] = 0.0;
    const long n[3] = {3, 3, 3};
    const double a[3][3] = {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}};
    auto cube = sample(n, a, [](double, double, double) { return 0.0; });
    for (int q = 0; q < 27; ++q) cube->en[q] = e[q];
    VELMORA_FPCUBE map;
    map.en = cube->en;
    map.dot.assign(27, VELMORA_FPCODE());
    for (int d = 0; d < 3; ++d) map.n[d] = 3;
    int label[27], up = 0, dn = 0, up_ref = 0, dn_ref = 0, up_old = 0, dn_old = 0;
    const long centre[3] = {1, 1, 1};
    velmora_fpdot_cluster(label, up, dn, &map, centre);
    bfs_count(e, up_ref, dn_ref);
    merge_smaller_count(e, up_old, dn_old);
    ASSERT_EQ(up, up_ref) << "pattern " << t;
    ASSERT_EQ(dn, dn_ref) << "pattern " << t;
    if (dn_old < dn_ref) ++lost;
  }
  EXPECT_GT(lost, patterns / 1000);
}

// A point with its eight corners higher and everything else lower has eight
// higher clusters: one warning for the point.
TEST(VelmoraFp, OneWarningPerCrowdedPoint) {
  const long n[3] = {6, 6, 6};
  const double a[3][3] = {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}};
  auto cube = sample(n, a, [](double, double, double) { return -1.0; });
  velmora_cube_at(*cube, 2, 2, 2) = 0.0;
  for (int x : {1, 3})
    for (int y : {1, 3})
      for (int z : {1, 3}) velmora_cube_at(*cube, x, y, z) = 1.0;
  std::string out;
  std::unique_ptr<VELMORA_FPCUBE> map;
  quiet([&] { map = velmora_fpcube_new_from_cube(cube.get()); }, &out);
  ASSERT_TRUE(map);
  const std::string line =
      "Warning: no. of branches exceeds 4 at (2,2,2); there might be a discontinuity\n";
  const std::size_t first = out.find(line);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(out.find(line, first + 1), std::string::npos);
  EXPECT_EQ(map->dot[(2 * 6 + 2) * 6 + 2].total_up, 8);
}

// Separable cosines: saddles half-way along each axis, each with two half
// paths down to the one minimum (from either side, across the boundary);
// barriers 2A, 2B, 2C.
TEST(VelmoraFp, HalfPathsOfACosineLandscape) {
  auto cube = topology_fixture::separable(0.1, 0.25, 0.4);
  std::unique_ptr<VELMORA_FPCUBE> map;
  std::unique_ptr<VELMORA_FPHALF_LIST> list;
  std::string out;
  quiet([&] {
    map = velmora_fpcube_new_from_cube(cube.get());
    list = velmora_fphalf_list_new_from_fpcube(map.get());
  }, &out);
  ASSERT_TRUE(list);
  EXPECT_NE(out.find("Message: VELMORA_FPCUBE successfully generated containing 6 paths.\n"),
            std::string::npos);
  ASSERT_EQ(list->total, 6);
  const double barrier[3] = {0.2, 0.5, 0.8};
  // Saddles in grid order: (0,0,18), (0,15,0), (12,0,0).
  const long saddle[3] = {18, 15 * 36, 12 * 30 * 36};
  for (int s = 0; s < 3; ++s)
    for (int b = 0; b < 2; ++b) {
      const VELMORA_FPHALF& h = list->half[2 * s + b];
      EXPECT_EQ(h.dot.front(), saddle[s]);
      EXPECT_EQ(h.dot.back(), 0);
      EXPECT_NEAR(h.barrier, barrier[2 - s], 1e-6);
      EXPECT_EQ(map->dot[h.dot.back()].type, FP_MIN);
      EXPECT_EQ(h.total, static_cast<long>(h.dot.size()));
    }
  EXPECT_EQ(velmora_fphalf_list_filter(list.get(), 0.3), 0);
  EXPECT_EQ(list->total, 2);
  velmora_fphalf_list_label_path(map.get(), list.get());
  std::unique_ptr<VELMORA_CELL> cell = velmora_fpcube_export_to_cell(map.get());
  ASSERT_TRUE(cell);
  int minima = 0, saddles = 0, path = 0;
  for (const VELMORA_ATOM& atom : cell->atom) {
    const std::string name = atom.name, type = atom.type;
    if (name == "MIN" && type == "Li") ++minima;
    if (name == "SAD1" && type == "Na") ++saddles;
    if (name == "PAT" && type == "H") ++path;
  }
  EXPECT_EQ(minima, 1);
  EXPECT_EQ(saddles, 3);
  EXPECT_EQ(path, 22);  // 11 points between saddle and minimum on each side
  // A filter with 0 keeps only flat paths; an empty list is refused.
  EXPECT_EQ(velmora_fphalf_list_filter(list.get(), 0.0), 0);
  EXPECT_EQ(list->total, 0);
  quiet([&] { EXPECT_EQ(velmora_fphalf_list_filter(list.get(), 1.0), 1); });
}

// Two lower regions meeting at two adjacent grid points of equal energy (as
// symmetry copies are written): the later of the two is the saddle.
TEST(VelmoraFp, SaddleSpreadOverTwoEqualPoints) {
  const long n[3] = {12, 12, 12};
  const double a[3][3] = {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}};
  // A ridge at i = 5.5 between valleys at i = 0 and i = ... , symmetric
  // about 5.5, so points 5 and 6 carry the same energy.
  auto cube = sample(n, a, [](double x, double y, double z) {
    const double u = std::fabs(x * 12 - 5.5);
    return -u + 0.5 * (topology_fixture::c1(y) + topology_fixture::c1(z));
  });
  std::unique_ptr<VELMORA_FPCUBE> map;
  quiet([&] { map = velmora_fpcube_new_from_cube(cube.get()); });
  ASSERT_TRUE(map);
  EXPECT_EQ(map->dot[(5 * 12 + 0) * 12 + 0].type, FP_NOR);
  EXPECT_EQ(map->dot[(6 * 12 + 0) * 12 + 0].type, FP_SAD);
}

TEST(VelmoraFp, RefusesGridsTooSmall) {
  const long n[3] = {2, 5, 5};
  const double a[3][3] = {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}};
  auto cube = sample(n, a, [](double x, double, double) { return x; });
  std::string err;
  quiet([&] { EXPECT_EQ(velmora_fpcube_new_from_cube(cube.get()), nullptr); }, nullptr, &err);
  EXPECT_NE(err.find("at least 3 grid points"), std::string::npos);
}

// Four images of one site meeting at the centre of a cell face (a pass with
// four lower clusters, irregular by its count): the map keeps it irregular,
// but half paths start there, one per lower cluster, each down to the site
// 0.4 eV lower, and descents from higher points stop there instead of
// failing on it.
TEST(VelmoraFp, HalfPathsFromAPassOfFourBasins) {
  const long n[3] = {24, 24, 12};
  const double a[3][3] = {{4, 0, 0}, {0, 4, 0}, {0, 0, 4}};
  auto cube = sample(n, a, [](double x, double y, double z) {
    const double cx = std::cos(2 * topology_fixture::kPi * x);
    const double cy = std::cos(2 * topology_fixture::kPi * y);
    return 0.1 * (3.01 - cx - cy - 1.01 * cx * cy) + 0.25 * topology_fixture::c1(z);
  });
  std::unique_ptr<VELMORA_FPCUBE> map;
  std::unique_ptr<VELMORA_FPHALF_LIST> list;
  quiet([&] {
    map = velmora_fpcube_new_from_cube(cube.get());
    if (map) list = velmora_fphalf_list_new_from_fpcube(map.get());
  });
  ASSERT_TRUE(list);
  const long centre = (12 * 24 + 12) * 12;
  EXPECT_EQ(map->dot[centre].type, FP_ERR);
  EXPECT_EQ(map->dot[centre].total_dn, 4);
  EXPECT_TRUE(velmora_fpcode_is_pass(map->dot[centre]));
  int from_centre = 0;
  for (const VELMORA_FPHALF& h : list->half) {
    EXPECT_TRUE(velmora_fpcode_is_pass(map->dot[h.dot.front()]));
    if (h.dot.front() != centre) continue;
    ++from_centre;
    EXPECT_EQ(h.dot.back(), 0);
    EXPECT_NEAR(h.barrier, 0.4, 1e-9);
  }
  EXPECT_EQ(from_centre, 4);
}

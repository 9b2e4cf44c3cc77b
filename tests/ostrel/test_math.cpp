// Expression engine, heap, graph routines and the MT19937 generator of ostrel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "OSTREL-math.h"

namespace {

double eval(const char* text, char var = 'E', double value = 0.0) {
  OSTREL_RPN_token rpn;
  EXPECT_EQ(OSTREL_RPN_build(text, &rpn), 0) << text;
  OSTREL_variable_list vars;
  OSTREL_store_variable_value(&vars, var, value);
  double out = NAN;
  EXPECT_EQ(OSTREL_RPN_read(&rpn, &vars, &out), 0) << text;
  return out;
}

TEST(Expression, ValuesWorkedOutByHand) {
  EXPECT_NEAR(eval("0.5695*E^(0.6946)", 'E', 1.0), 0.5695, 1e-12);
  EXPECT_NEAR(eval("0.5695*E^(0.6946)", 'E', 2.0), 0.5695 * pow(2.0, 0.6946), 1e-12);
  EXPECT_NEAR(eval("-x+1/2", 'x', 0.25), 0.25, 1e-12);
  EXPECT_NEAR(eval("1/2-x", 'x', 0.25), 0.25, 1e-12);
  EXPECT_NEAR(eval("8/4/2"), 4.0, 1e-12);  // division groups to the right
  EXPECT_NEAR(eval("8/4*2"), 4.0, 1e-12);
  EXPECT_NEAR(eval("2^3^2"), 512.0, 1e-12);
  EXPECT_NEAR(eval("2*(3+4)"), 14.0, 1e-12);
  EXPECT_NEAR(eval("  E  "), 0.0, 1e-12);
  EXPECT_NEAR(eval("x+2/3", 'x', 0.5), 0.5 + 2.0 / 3.0, 1e-12);
  EXPECT_NEAR(eval("(-y)", 'y', 0.3), -0.3, 1e-12);
  EXPECT_NEAR(eval("1-2-3"), -4.0, 1e-12);
  EXPECT_NEAR(eval("x-y", 'x', 0.7), 0.7, 1e-12);  // y unset reads 0
  EXPECT_NEAR(eval("+x", 'x', 0.3), 0.3, 1e-12);    // a leading sign, as in +x,+y,+z
  EXPECT_NEAR(eval("+x+1/2", 'x', 0.3), 0.8, 1e-12);
  EXPECT_NEAR(eval("(+x)", 'x', 0.3), 0.3, 1e-12);
}

TEST(Expression, VariablesAreCaseSensitiveLetters) {
  OSTREL_variable_list vars;
  EXPECT_EQ(OSTREL_store_variable_value(&vars, 'x', 1.5), 0);
  EXPECT_EQ(OSTREL_store_variable_value(&vars, 'X', -2.0), 0);
  double v = 0;
  EXPECT_EQ(OSTREL_get_variable_value(&vars, 'x', &v), 0);
  EXPECT_EQ(v, 1.5);
  EXPECT_EQ(OSTREL_get_variable_value(&vars, 'X', &v), 0);
  EXPECT_EQ(v, -2.0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_store_variable_value(&vars, '1', 0), 1);
  EXPECT_EQ(OSTREL_get_variable_value(&vars, '$', &v), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: Invalid variable name for OSTREL_store_variable_value\n"),
            std::string::npos);
  EXPECT_NE(err.find("Error: Invalid variable name for OSTREL_get_variable_value\n"),
            std::string::npos);
}

TEST(Expression, MalformedTextIsRefused) {
  OSTREL_RPN_token rpn;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_RPN_build("E$", &rpn), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: Expression cannot be fully parsed in OSTREL_RPN_tokenize()\n"),
            std::string::npos);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_RPN_build("(E+1", &rpn), 1);
  EXPECT_EQ(OSTREL_RPN_build("E+1)", &rpn), 1);
  std::string long_number(120, '1');
  EXPECT_EQ(OSTREL_RPN_build(long_number.c_str(), &rpn), 1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("MAX_TOKEN_SIZE exceeded"), std::string::npos);
  // Too few operands for an operator is caught by the evaluator.
  ASSERT_EQ(OSTREL_RPN_build("E*", &rpn), 0);
  OSTREL_variable_list vars;
  double v;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_RPN_read(&rpn, &vars, &v), 1);
  testing::internal::GetCapturedStderr();
}

TEST(CharStack, PopBelowBottomFails) {
  OSTREL_char_stack s;
  OSTREL_init_char_stack(&s);
  ASSERT_EQ(OSTREL_push_char_stack(&s, '+'), 0);
  ASSERT_EQ(OSTREL_push_char_stack(&s, '*'), 0);
  char c;
  ASSERT_EQ(OSTREL_pop_char_stack(&s, &c), 0);
  EXPECT_EQ(c, '*');
  ASSERT_EQ(OSTREL_pop_char_stack(&s, &c), 0);
  EXPECT_EQ(c, '+');
  EXPECT_EQ(s.cap, 0);  // emptied stacks release their storage
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_pop_char_stack(&s, &c), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Reached bottom of char stack\n");
}

TEST(MersenneTwister, MatchesStandardLibrary) {
  for (unsigned long seed : {5489UL, 0UL, 1UL, 19650218UL, 4294967295UL}) {
    init_genrand(seed);
    std::mt19937 ref((std::mt19937::result_type)seed);
    for (int n = 0; n < 5000; n++)
      ASSERT_EQ(genrand_int32(), (unsigned long)ref()) << "seed " << seed << " draw " << n;
  }
  init_genrand(42);
  std::mt19937 ref(42);
  for (int n = 0; n < 1000; n++) {
    double u = genrand_real1();
    EXPECT_DOUBLE_EQ(u, ref() / 4294967295.0);
    EXPECT_GE(u, 0.0);
    EXPECT_LE(u, 1.0);
  }
}

TEST(Heap, RepeatedExtractionSorts) {
  std::mt19937 rng(7);
  for (int mode : {1, 0}) {
    std::vector<double> v(200);
    std::vector<int> id(200);
    for (int i = 0; i < 200; i++) {
      v[i] = (double)(rng() % 50);  // many ties
      id[i] = i;
    }
    std::vector<double> orig = v;
    int n = 200;
    heap_heapify(v.data(), id.data(), n, mode);
    std::vector<double> out;
    while (n > 0) {
      int got = heap_extract(v.data(), id.data(), &n, mode);
      out.push_back(orig[got]);
    }
    std::vector<double> sorted = orig;
    if (mode)
      std::sort(sorted.rbegin(), sorted.rend());
    else
      std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(out, sorted);
  }
  EXPECT_EQ(heap_parent(5), 2);
  EXPECT_EQ(heap_leftchild(2), 5);
  EXPECT_EQ(heap_rightchild(2), 6);
}

OSTREL_graph make_graph(std::initializer_list<OSTREL_graph_edge> edges) {
  OSTREL_graph g;
  for (const OSTREL_graph_edge& e : edges)
    EXPECT_EQ(OSTREL_add_edge(&g, e.a, e.b, e.w), 0);
  EXPECT_EQ(OSTREL_build_vert_from_edge(&g), 0);
  return g;
}

int degree(const OSTREL_graph& g, int label) {
  return g.vert[OSTREL_find_vertice(&g, label)].d;
}

TEST(Graph, VerticesAndDegreesFromEdges) {
  OSTREL_graph g = make_graph({{3, 1, 1.0}, {1, 2, 1.0}, {2, 2, 0.5}});
  ASSERT_EQ(g.total_vertice, 3);
  EXPECT_EQ(g.vert[0].a, 3);  // order of first appearance
  EXPECT_EQ(g.vert[1].a, 1);
  EXPECT_EQ(g.vert[2].a, 2);
  EXPECT_EQ(degree(g, 1), 2);
  EXPECT_EQ(degree(g, 2), 3);  // the loop counts twice
  EXPECT_DOUBLE_EQ(OSTREL_graph_total_distance(&g), 2.5);
  ASSERT_EQ(OSTREL_delete_vertice(&g, 1), 0);
  EXPECT_EQ(g.total_vertice, 2);
  EXPECT_EQ(g.total_edge, 1);
  EXPECT_EQ(degree(g, 3), 0);
  EXPECT_EQ(degree(g, 2), 2);
}

TEST(Graph, ShortestRoutes) {
  // Parallel edges 2 and 1: the route takes the lighter one.
  OSTREL_graph g = make_graph({{0, 1, 2.0}, {0, 1, 1.0}, {1, 2, 5.0}, {0, 2, 7.0}, {4, 5, 1.0}});
  double d;
  std::vector<int> route;
  int len = 0;
  ASSERT_EQ(OSTREL_find_shortest_path(&g, 0, 1, &d, &route, &len), 0);
  EXPECT_DOUBLE_EQ(d, 1.0);
  ASSERT_EQ(OSTREL_find_shortest_path(&g, 0, 2, &d, &route, &len), 0);
  EXPECT_DOUBLE_EQ(d, 6.0);
  EXPECT_EQ(route, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(len, 3);
  ASSERT_EQ(OSTREL_find_shortest_path(&g, 2, 2, &d, &route, &len), 0);
  EXPECT_DOUBLE_EQ(d, 0.0);
  EXPECT_EQ(route, (std::vector<int>{2}));
  // Unreachable target: distance -1, route [target].
  ASSERT_EQ(OSTREL_find_shortest_path(&g, 0, 5, &d, &route, &len), 0);
  EXPECT_DOUBLE_EQ(d, -1.0);
  EXPECT_EQ(route, (std::vector<int>{5}));
  // Distance only.
  len = -1;
  route.clear();
  ASSERT_EQ(OSTREL_find_shortest_path(&g, 0, 2, &d, &route, &len), 0);
  EXPECT_DOUBLE_EQ(d, 6.0);
  EXPECT_TRUE(route.empty());
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_find_shortest_path(&g, 9, 2, &d, &route, &len), 1);
  EXPECT_EQ(OSTREL_find_shortest_path(&g, 0, 9, &d, &route, &len), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Cannot find source in graph\nError: Cannot find target in graph\n");
}

// Every edge of `g` is used once by consecutive pairs of the walk, plus the
// duplicated edges of the repair.
void expect_walk_uses_edges(const OSTREL_graph& g, const std::vector<int>& walk,
                            const std::vector<double>& w) {
  ASSERT_EQ(walk.size(), w.size() + 1);
  std::vector<char> used(g.total_edge, 0);
  for (size_t s = 0; s + 1 < walk.size(); s++) {
    bool found = false;
    for (int e = 0; e < g.total_edge && !found; e++) {
      const OSTREL_graph_edge& ed = g.edge[e];
      if (used[e] || ed.w != w[s])
        continue;
      if ((ed.a == walk[s] && ed.b == walk[s + 1]) || (ed.b == walk[s] && ed.a == walk[s + 1])) {
        used[e] = 1;
        found = true;
      }
    }
    (void)found;  // duplicated steps may have no original edge left
  }
  for (int e = 0; e < g.total_edge; e++)
    EXPECT_TRUE(used[e]) << "edge " << g.edge[e].a << "-" << g.edge[e].b << " unused";
}

TEST(Graph, EulerWalkOfTriangleIsClosed) {
  OSTREL_graph g = make_graph({{1, 2, 1.0}, {2, 3, 1.0}, {3, 1, 1.0}});
  std::vector<int> walk;
  std::vector<double> w;
  int len = 0;
  ASSERT_EQ(OSTREL_build_Euler_path(&g, &walk, &len, &w), 0);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(walk.front(), 1);
  EXPECT_EQ(walk.back(), 1);
  expect_walk_uses_edges(g, walk, w);
}

TEST(Graph, EulerWalkOfPathEndsAtOddVertices) {
  OSTREL_graph g = make_graph({{1, 2, 1.0}, {2, 3, 2.0}});
  std::vector<int> walk;
  std::vector<double> w;
  int len = 0;
  ASSERT_EQ(OSTREL_build_Euler_path(&g, &walk, &len, &w), 0);
  EXPECT_EQ(walk, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(w, (std::vector<double>{1.0, 2.0}));
}

TEST(Graph, EulerWalkOfStarDuplicatesOneConnection) {
  // Centre 0 with leaves 1-4: two leaves become the ends, the route between
  // the other two is walked twice.
  OSTREL_graph g = make_graph({{0, 1, 1.0}, {0, 2, 1.0}, {0, 3, 1.0}, {0, 4, 1.0}});
  std::vector<int> walk;
  std::vector<double> w;
  int len = 0;
  ASSERT_EQ(OSTREL_build_Euler_path(&g, &walk, &len, &w), 0);
  EXPECT_EQ(len, 7);  // 4 edges + 2 duplicated, + 1
  EXPECT_NE(walk.front(), 0);
  EXPECT_NE(walk.back(), 0);
  EXPECT_NE(walk.front(), walk.back());
  int leaf_visits[5] = {0, 0, 0, 0, 0};
  for (int v : walk) leaf_visits[v]++;
  for (int leaf = 1; leaf <= 4; leaf++) EXPECT_EQ(leaf_visits[leaf], 1);
  expect_walk_uses_edges(g, walk, w);
}

TEST(Graph, PairingsOfOddVertices) {
  // Six leaves of a star: 1*3*5 = 15 pairings of 3 pairs.
  OSTREL_graph g = make_graph(
      {{0, 1, 1.0}, {0, 2, 1.0}, {0, 3, 1.0}, {0, 4, 1.0}, {0, 5, 1.0}, {0, 6, 1.0}});
  std::vector<std::vector<int>> pairings;
  int total = 0, pairs = 0;
  ASSERT_EQ(OSTREL_handshake_odd_vertices_combinations(&g, &pairings, &total, &pairs, nullptr, 0),
            0);
  EXPECT_EQ(total, 15);
  EXPECT_EQ(pairs, 3);
  std::vector<std::vector<int>> canon;
  for (auto p : pairings) {
    ASSERT_EQ(p.size(), 6u);
    std::vector<int> sorted = p;
    std::sort(sorted.begin(), sorted.end());
    for (int k = 0; k < 6; k++) EXPECT_EQ(sorted[k], k + 1);  // vertex positions 1..6
    std::vector<std::pair<int, int>> pr;
    for (int q = 0; q < 3; q++) pr.push_back({std::min(p[2 * q], p[2 * q + 1]), std::max(p[2 * q], p[2 * q + 1])});
    std::sort(pr.begin(), pr.end());
    std::vector<int> flat;
    for (auto& x : pr) { flat.push_back(x.first); flat.push_back(x.second); }
    canon.push_back(flat);
  }
  std::sort(canon.begin(), canon.end());
  EXPECT_EQ(std::unique(canon.begin(), canon.end()), canon.end());  // all distinct
  // With one leaf excluded the count of odd vertices is odd.
  int ex[1] = {6};
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_handshake_odd_vertices(&g, ex, 1), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid graph input to OSTREL_handshake_odd_vertices()\n");
}

TEST(Graph, RepairMakesEveryDegreeEven) {
  // A chain with a heavy shortcut: the cheap pairing duplicates the chain.
  OSTREL_graph g = make_graph({{1, 2, 1.0}, {2, 3, 1.0}, {3, 4, 1.0}, {1, 4, 10.0}, {2, 5, 1.0}});
  // Odd: 2 (deg 3), 5 (deg 1).
  ASSERT_EQ(OSTREL_handshake_odd_vertices(&g, nullptr, 0), 0);
  for (const OSTREL_graph_vertice& v : g.vert) EXPECT_EQ(v.d % 2, 0) << v.a;
  EXPECT_EQ(g.total_edge, 6);
  EXPECT_EQ(g.edge[5].w, 1.0);  // copy of the 2-5 edge
}

}  // namespace

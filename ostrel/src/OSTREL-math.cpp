// Graph and expression utilities: array heap, weighted multigraph with
// Dijkstra routes and Euler walks (odd vertices paired by the cheapest
// perfect matching found by enumeration), blocks and cut vertices by an
// iterative depth-first search, and the arithmetic engine that tokenizes
// with a POSIX extended regex and evaluates reverse Polish notation.
#include "OSTREL-math.h"

#include <regex.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

// ===========================================================================
// Heap
// ===========================================================================

int heap_parent(int i) { return (i - 1) / 2; }
int heap_leftchild(int i) { return 2 * i + 1; }
int heap_rightchild(int i) { return 2 * i + 2; }

static void heap_swap(double* values, int* ids, int i, int j) {
  double v = values[i];
  values[i] = values[j];
  values[j] = v;
  int t = ids[i];
  ids[i] = ids[j];
  ids[j] = t;
}

// Moves element i down until both children are on the right side of it.
void heap_siftDown(double* values, int* ids, int n, int i, int mode) {
  for (;;) {
    int l = heap_leftchild(i), r = heap_rightchild(i), pick = i;
    if (mode) {
      if (l < n && values[l] > values[pick]) pick = l;
      if (r < n && values[r] > values[pick]) pick = r;
    } else {
      if (l < n && values[l] < values[pick]) pick = l;
      if (r < n && values[r] < values[pick]) pick = r;
    }
    if (pick == i)
      return;
    heap_swap(values, ids, i, pick);
    i = pick;
  }
}

void heap_heapify(double* values, int* ids, int n, int mode) {
  if (n < 2)
    return;
  for (int i = heap_parent(n - 1); i >= 0; i--)
    heap_siftDown(values, ids, n, i, mode);
}

int heap_extract(double* values, int* ids, int* n, int mode) {
  if (*n <= 0)
    return -1;
  int id = ids[0];
  values[0] = values[*n - 1];
  ids[0] = ids[*n - 1];
  (*n)--;
  heap_siftDown(values, ids, *n, 0, mode);
  return id;
}

// ===========================================================================
// Graph
// ===========================================================================

int OSTREL_add_edge(OSTREL_graph* g, int a, int b, double w) {
  return OSTREL_list_report(
      OSTREL_list_append(OSTREL_list_of(g->edge, g->total_edge), OSTREL_graph_edge{a, b, w}),
      "OSTREL_add_edge");
}

int OSTREL_find_vertice(const OSTREL_graph* g, int label) {
  for (int i = 0; i < g->total_vertice; i++)
    if (g->vert[i].a == label)
      return i;
  return -1;
}

int OSTREL_build_vert_from_edge(OSTREL_graph* g) {
  return OSTREL_catch_memory("OSTREL_build_vert_from_edge", [&] {
    g->vert.clear();
    g->total_vertice = 0;
    for (int e = 0; e < g->total_edge; e++) {
      for (int end = 0; end < 2; end++) {
        int label = end == 0 ? g->edge[e].a : g->edge[e].b;
        int v = OSTREL_find_vertice(g, label);
        if (v < 0) {
          OSTREL_graph_vertice nv;
          nv.a = label;
          g->vert.push_back(nv);
          v = g->total_vertice++;
        }
        g->vert[v].d++;  // a loop reaches here twice for the same vertex
      }
    }
    return 0;
  });
}

int OSTREL_copy_graph(const OSTREL_graph* src, OSTREL_graph* dst) {
  if (src == dst)
    return 0;
  return OSTREL_catch_memory("OSTREL_copy_graph", [&] {
    *dst = *src;
    return 0;
  });
}

void OSTREL_free_graph_vert(OSTREL_graph* g) {
  g->vert.clear();
  g->vert.shrink_to_fit();
  g->total_vertice = 0;
}

void OSTREL_free_graph_edge(OSTREL_graph* g) {
  g->edge.clear();
  g->edge.shrink_to_fit();
  g->total_edge = 0;
}

void OSTREL_free_graph(OSTREL_graph* g) {
  OSTREL_free_graph_vert(g);
  OSTREL_free_graph_edge(g);
}

double OSTREL_graph_total_distance(const OSTREL_graph* g) {
  double sum = 0.0;
  for (int e = 0; e < g->total_edge; e++)
    sum += g->edge[e].w;
  return sum;
}

void OSTREL_decrease_vertice_degree(OSTREL_graph* g, int label) {
  int v = OSTREL_find_vertice(g, label);
  if (v >= 0 && g->vert[v].d > 0)
    g->vert[v].d--;
}

int OSTREL_delete_vertice(OSTREL_graph* g, int label) {
  return OSTREL_catch_memory("OSTREL_delete_vertice", [&] {
    std::vector<OSTREL_graph_edge> kept;
    kept.reserve(g->total_edge);
    for (int e = 0; e < g->total_edge; e++) {
      const OSTREL_graph_edge& ed = g->edge[e];
      if (ed.a != label && ed.b != label) {
        kept.push_back(ed);
        continue;
      }
      if (ed.a != label)
        OSTREL_decrease_vertice_degree(g, ed.a);
      else if (ed.b != label)
        OSTREL_decrease_vertice_degree(g, ed.b);
    }
    g->edge.swap(kept);
    g->total_edge = (int)g->edge.size();
    int v = OSTREL_find_vertice(g, label);
    if (v >= 0) {
      g->vert.erase(g->vert.begin() + v);
      g->total_vertice--;
    }
    return 0;
  });
}

int OSTREL_find_shortest_path(OSTREL_graph* g, int source, int target, double* distance,
                              std::vector<int>* route, int* route_length) {
  int s = OSTREL_find_vertice(g, source);
  if (s < 0) {
    fprintf(stderr, "Error: Cannot find source in graph\n");
    return 1;
  }
  int t = OSTREL_find_vertice(g, target);
  if (t < 0) {
    fprintf(stderr, "Error: Cannot find target in graph\n");
    return 1;
  }
  bool want_route = !(route_length && *route_length == -1);
  try {
    if (s == t) {
      *distance = 0.0;
      if (want_route && route) {
        route->assign(1, target);
        if (route_length) *route_length = 1;
      }
      return 0;
    }
    for (int v = 0; v < g->total_vertice; v++) {
      g->vert[v].visited = 0;
      g->vert[v].path.clear();
      g->vert[v].total_path = 0;
      g->vert[v].dist = -1.0;
    }
    g->vert[s].dist = 0.0;
    for (int round = 0; round < g->total_vertice - 1; round++) {
      // Unvisited vertex with the smallest known distance; first on ties.
      int pick = -1;
      for (int v = 0; v < g->total_vertice; v++) {
        const OSTREL_graph_vertice& vv = g->vert[v];
        if (vv.visited || vv.dist < 0.0 || vv.dist >= 999999.0)
          continue;
        if (pick < 0 || vv.dist < g->vert[pick].dist)
          pick = v;
      }
      if (pick < 0)
        break;
      for (int e = 0; e < g->total_edge; e++) {
        const OSTREL_graph_edge& ed = g->edge[e];
        if (ed.a == ed.b)
          continue;
        int other;
        if (ed.a == g->vert[pick].a)
          other = ed.b;
        else if (ed.b == g->vert[pick].a)
          other = ed.a;
        else
          continue;
        int o = OSTREL_find_vertice(g, other);
        if (o < 0 || g->vert[o].visited)
          continue;
        double nd = g->vert[pick].dist + ed.w;
        if (g->vert[o].dist < 0.0 || g->vert[o].dist > nd) {
          g->vert[o].dist = nd;
          g->vert[o].path = g->vert[pick].path;
          g->vert[o].path.push_back(g->vert[pick].a);
          g->vert[o].total_path = (int)g->vert[o].path.size();
        }
      }
      g->vert[pick].visited = 1;
    }
    *distance = g->vert[t].dist;
    if (want_route && route) {
      *route = g->vert[t].path;
      route->push_back(target);
      if (route_length) *route_length = (int)route->size();
    }
  } catch (const std::exception&) {
    fprintf(stderr, "Error: Memory allocation problem in OSTREL_find_shortest_path()\n");
    return 1;
  }
  for (int v = 0; v < g->total_vertice; v++) {
    g->vert[v].path.clear();
    g->vert[v].path.shrink_to_fit();
    g->vert[v].total_path = 0;
  }
  return 0;
}

// Positions (in g->vert) of the odd vertices whose labels are not excluded.
static std::vector<int> odd_vertices(const OSTREL_graph* g, const int* excluded,
                                     int n_excluded) {
  std::vector<int> odd;
  for (int v = 0; v < g->total_vertice; v++) {
    if (g->vert[v].d % 2 == 0)
      continue;
    bool skip = false;
    for (int x = 0; x < n_excluded; x++)
      if (excluded[x] == g->vert[v].a)
        skip = true;
    if (!skip)
      odd.push_back(v);
  }
  return odd;
}

// Above this many odd vertices the number of pairings ((n-1)!!, 2027025 for
// 16) is too large to list; the repair then pairs greedily.
static constexpr int MAX_ENUMERATED_ODD_VERTICES = 14;

int OSTREL_handshake_odd_vertices_combinations(OSTREL_graph* g,
                                               std::vector<std::vector<int>>* pairings,
                                               int* total, int* pairs, const int* excluded,
                                               int n_excluded) {
  std::vector<int> odd = odd_vertices(g, excluded, n_excluded);
  if (odd.size() % 2 != 0) {
    fprintf(stderr, "Error: Invalid graph input to OSTREL_handshake_odd_vertices()\n");
    return 1;
  }
  if ((int)odd.size() > MAX_ENUMERATED_ODD_VERTICES) {
    fprintf(stderr,
            "Error: Too many odd vertices (%d) in "
            "OSTREL_handshake_odd_vertices_combinations()\n",
            (int)odd.size());
    return 1;
  }
  try {
    // Built round by round: in each round every pairing pairs its first
    // unpaired odd vertex with each later unpaired one; the first choice
    // extends the pairing itself, every further choice appends a copy.
    pairings->assign(1, std::vector<int>());
    int p = (int)odd.size() / 2;
    for (int round = 0; round < p; round++) {
      size_t n = pairings->size();
      for (size_t idx = 0; idx < n; idx++) {
        std::vector<char> used(odd.size(), 0);
        for (int pos : (*pairings)[idx])
          for (size_t o = 0; o < odd.size(); o++)
            if (odd[o] == pos)
              used[o] = 1;
        size_t first = 0;
        while (first < odd.size() && used[first]) first++;
        std::vector<int> base = (*pairings)[idx];
        bool extended = false;
        for (size_t o = first + 1; o < odd.size(); o++) {
          if (used[o])
            continue;
          if (!extended) {
            (*pairings)[idx].push_back(odd[first]);
            (*pairings)[idx].push_back(odd[o]);
            extended = true;
          } else {
            std::vector<int> copy = base;
            copy.push_back(odd[first]);
            copy.push_back(odd[o]);
            pairings->push_back(copy);
          }
        }
      }
    }
    *total = (int)pairings->size();
    *pairs = p;
  } catch (const std::exception&) {
    fprintf(stderr,
            "Error: Memory allocation problem in "
            "OSTREL_handshake_odd_vertices_combinations()\n");
    return 1;
  }
  return 0;
}

// Adds the steps of the shortest route between vertices (labels) u and v as
// new edges, each with the smallest weight among the edges joining its ends.
static int duplicate_route(OSTREL_graph* g, int u, int v) {
  double dist = 0.0;
  std::vector<int> route;
  int len = 0;
  if (OSTREL_find_shortest_path(g, u, v, &dist, &route, &len)) {
    fprintf(stderr, "Error: OSTREL_find_shortest_path() returns non-zero.\n");
    return 1;
  }
  for (int s = 0; s + 1 < len; s++) {
    int x = route[s], y = route[s + 1];
    double w = 999999.0;
    for (int e = 0; e < g->total_edge; e++) {
      const OSTREL_graph_edge& ed = g->edge[e];
      if (((ed.a == x && ed.b == y) || (ed.a == y && ed.b == x)) && ed.w < w)
        w = ed.w;
    }
    if (OSTREL_add_edge(g, x, y, w)) {
      fprintf(stderr, "Error: OSTREL_add_edge() returns non-zero.\n");
      return 1;
    }
    int vx = OSTREL_find_vertice(g, x), vy = OSTREL_find_vertice(g, y);
    if (vx >= 0) g->vert[vx].d++;
    if (vy >= 0) g->vert[vy].d++;
  }
  return 0;
}

int OSTREL_handshake_odd_vertices(OSTREL_graph* g, const int* excluded, int n_excluded) {
  std::vector<int> odd = odd_vertices(g, excluded, n_excluded);
  if (odd.size() % 2 != 0) {
    fprintf(stderr, "Error: Invalid graph input to OSTREL_handshake_odd_vertices()\n");
    return 1;
  }
  if (odd.empty())
    return 0;
  size_t n = odd.size();
  // Route weights between odd vertices, computed once; an unreachable pair
  // costs 999999 so that it is never preferred.
  std::vector<double> dist(n * n, 0.0);
  for (size_t i = 0; i < n; i++)
    for (size_t j = i + 1; j < n; j++) {
      double d = 0.0;
      int len = -1;
      if (OSTREL_find_shortest_path(g, g->vert[odd[i]].a, g->vert[odd[j]].a, &d, nullptr,
                                    &len)) {
        fprintf(stderr, "Error: OSTREL_find_shortest_path() returns non-zero.\n");
        return 1;
      }
      if (d < 0.0)
        d = 999999.0;
      dist[i * n + j] = dist[j * n + i] = d;
    }
  auto slot = [&](int pos) {
    for (size_t o = 0; o < n; o++)
      if (odd[o] == pos)
        return o;
    return (size_t)0;
  };
  std::vector<int> best;  // vertex positions, pairs in order
  if ((int)n <= MAX_ENUMERATED_ODD_VERTICES) {
    std::vector<std::vector<int>> pairings;
    int total = 0, pairs = 0;
    if (OSTREL_handshake_odd_vertices_combinations(g, &pairings, &total, &pairs, excluded,
                                                   n_excluded)) {
      fprintf(stderr,
              "Error: OSTREL_handshake_odd_vertices_combinations() returns non-zero.\n");
      return 1;
    }
    double best_penalty = 999999.0;
    int best_index = -1;
    for (int p = 0; p < total; p++) {
      double penalty = 0.0;
      for (int q = 0; q < pairs; q++)
        penalty += dist[slot(pairings[p][2 * q]) * n + slot(pairings[p][2 * q + 1])];
      if (best_index < 0 || penalty < best_penalty) {
        best_penalty = penalty;
        best_index = p;
      }
    }
    best = pairings[best_index];
  } else {
    // Greedy: the first unpaired odd vertex takes its nearest unpaired one.
    fprintf(stderr, "Warning: %d odd vertices, pairing them greedily\n", (int)n);
    std::vector<char> used(n, 0);
    for (size_t i = 0; i < n; i++) {
      if (used[i])
        continue;
      size_t pick = n;
      for (size_t j = i + 1; j < n; j++)
        if (!used[j] && (pick == n || dist[i * n + j] < dist[i * n + pick]))
          pick = j;
      used[i] = used[pick] = 1;
      best.push_back(odd[i]);
      best.push_back(odd[pick]);
    }
  }
  std::vector<int> labels;
  for (int pos : best)
    labels.push_back(g->vert[pos].a);
  for (size_t q = 0; q + 1 < labels.size(); q += 2)
    if (duplicate_route(g, labels[q], labels[q + 1]))
      return 1;
  return 0;
}

// Walks from `from` along unused edges (first unused edge in edge order at
// each vertex) until reaching `stop` after at least one step, or getting
// stuck.  Appends the visited vertices and step weights.
static void walk_unused(const OSTREL_graph& g, std::vector<char>& used, int from, int stop,
                        std::vector<int>* verts, std::vector<double>* weights) {
  int cur = from;
  for (;;) {
    int pick = -1;
    for (int e = 0; e < g.total_edge; e++)
      if (!used[e] && (g.edge[e].a == cur || g.edge[e].b == cur)) {
        pick = e;
        break;
      }
    if (pick < 0)
      return;
    used[pick] = 1;
    cur = g.edge[pick].a == cur ? g.edge[pick].b : g.edge[pick].a;
    verts->push_back(cur);
    weights->push_back(g.edge[pick].w);
    if (cur == stop)
      return;
  }
}

int OSTREL_build_Euler_path(const OSTREL_graph* g, std::vector<int>* sequence, int* length,
                            std::vector<double>* weights) {
  return OSTREL_catch_memory("OSTREL_build_Euler_path", [&] {
    sequence->clear();
    weights->clear();
    *length = 0;
    if (g->total_vertice == 0)
      return 0;
    std::vector<int> odd = odd_vertices(g, nullptr, 0);
    int start = g->vert[0].a, end = g->vert[0].a;
    if (!odd.empty()) {
      // The pair of ends that leaves the cheapest repaired graph.
      double best = 0.0;
      bool found = false;
      for (size_t i = 0; i < odd.size(); i++)
        for (size_t j = i + 1; j < odd.size(); j++) {
          OSTREL_graph trial = *g;
          int ex[2] = {g->vert[odd[i]].a, g->vert[odd[j]].a};
          if (OSTREL_handshake_odd_vertices(&trial, ex, 2))
            continue;
          double w = OSTREL_graph_total_distance(&trial);
          if (!found || w < best) {
            best = w;
            found = true;
            start = ex[0];
            end = ex[1];
          }
        }
      if (!found) {
        fprintf(stderr, "Error: OSTREL_handshake_odd_vertices() returns non-zero.\n");
        return 1;
      }
    }
    OSTREL_graph work = *g;
    int ex[2] = {start, end};
    if (!odd.empty() && OSTREL_handshake_odd_vertices(&work, ex, 2)) {
      fprintf(stderr, "Error: OSTREL_handshake_odd_vertices() returns non-zero.\n");
      return 1;
    }
    std::vector<char> used(work.total_edge, 0);
    std::vector<int> walk{start};
    std::vector<double> wts;
    walk_unused(work, used, start, end, &walk, &wts);
    // Splice closed sub-walks into the walk until every edge is used.
    for (;;) {
      int pick = -1, branch_pos = -1;
      for (int e = 0; e < work.total_edge && pick < 0; e++) {
        if (used[e])
          continue;
        int pa = -1, pb = -1;
        for (size_t p = 0; p < walk.size(); p++) {
          if (pa < 0 && walk[p] == work.edge[e].a) pa = (int)p;
          if (pb < 0 && walk[p] == work.edge[e].b) pb = (int)p;
        }
        if (pa < 0 && pb < 0)
          continue;
        pick = e;
        branch_pos = (pa >= 0 && (pb < 0 || pa <= pb)) ? pa : pb;
      }
      if (pick < 0)
        break;  // no unused edge touches the walk (a disconnected remainder)
      int branch = walk[branch_pos];
      int other = work.edge[pick].a == branch ? work.edge[pick].b : work.edge[pick].a;
      used[pick] = 1;
      std::vector<int> sub{other};
      std::vector<double> subw{work.edge[pick].w};
      if (other != branch)
        walk_unused(work, used, other, branch, &sub, &subw);
      walk.insert(walk.begin() + branch_pos + 1, sub.begin(), sub.end());
      wts.insert(wts.begin() + branch_pos, subw.begin(), subw.end());
    }
    *sequence = walk;
    *weights = wts;
    *length = (int)walk.size();
    return 0;
  });
}

// ===========================================================================
// Biconnected components
// ===========================================================================

// Adjacency lists with edge ids (loops left out), as offsets into one array.
static void build_adjacency(int n, const std::vector<std::pair<int, int>>& edges,
                            OSTREL_blocks* b) {
  b->start.assign(n + 1, 0);
  for (const auto& e : edges)
    if (e.first != e.second) {
      b->start[e.first + 1]++;
      b->start[e.second + 1]++;
    }
  for (int v = 0; v < n; v++) b->start[v + 1] += b->start[v];
  b->to.resize(b->start[n]);
  b->eid.resize(b->start[n]);
  b->fill.assign(b->start.begin(), b->start.end() - 1);
  for (size_t k = 0; k < edges.size(); k++) {
    const auto& e = edges[k];
    if (e.first == e.second) continue;
    b->to[b->fill[e.first]] = e.second;
    b->eid[b->fill[e.first]++] = (int)k;
    b->to[b->fill[e.second]] = e.first;
    b->eid[b->fill[e.second]++] = (int)k;
  }
}

// Closes the block whose tree edge into v is on top of the edge stack: its
// edges are popped down to that edge and their ends listed once.
static void close_block(const std::vector<std::pair<int, int>>& edges, int v, OSTREL_blocks* b) {
  const int block = (int)b->block_start.size() - 1;
  for (;;) {
    const int k = b->estack.back();
    b->estack.pop_back();
    for (int x : {edges[k].first, edges[k].second})
      if (b->mark[x] != block) {
        b->mark[x] = block;
        b->block_vertex.push_back(x);
      }
    if (k == b->parent_edge[v]) break;
  }
  b->block_start.push_back((int)b->block_vertex.size());
}

void OSTREL_find_biconnected_components(int n, const std::vector<std::pair<int, int>>& edges,
                                        OSTREL_blocks* b) {
  build_adjacency(n, edges, b);
  b->disc.assign(n, -1);
  b->low.assign(n, 0);
  b->parent_edge.assign(n, -1);
  b->next.assign(n, 0);
  b->mark.assign(n, -1);
  b->is_cut.assign(n, 0);
  b->block_start.assign(1, 0);
  b->block_vertex.clear();
  b->estack.clear();
  int timer = 0;
  for (int r = 0; r < n; r++) {
    if (b->disc[r] >= 0) continue;
    b->disc[r] = b->low[r] = timer++;
    b->next[r] = b->start[r];
    b->vstack.assign(1, r);
    int root_children = 0;
    while (!b->vstack.empty()) {
      const int v = b->vstack.back();
      if (b->next[v] < b->start[v + 1]) {
        const int k = b->next[v]++;
        const int w = b->to[k];
        if (b->eid[k] == b->parent_edge[v]) continue;
        if (b->disc[w] < 0) {
          b->estack.push_back(b->eid[k]);
          b->disc[w] = b->low[w] = timer++;
          b->parent_edge[w] = b->eid[k];
          b->next[w] = b->start[w];
          b->vstack.push_back(w);
          if (v == r) root_children++;
        } else if (b->disc[w] < b->disc[v]) {
          b->estack.push_back(b->eid[k]);
          b->low[v] = std::min(b->low[v], b->disc[w]);
        }
        continue;
      }
      b->vstack.pop_back();
      if (b->vstack.empty()) break;
      const int u = b->vstack.back();
      b->low[u] = std::min(b->low[u], b->low[v]);
      if (b->low[v] >= b->disc[u]) {
        if (u != r) b->is_cut[u] = 1;
        close_block(edges, v, b);
      }
    }
    if (root_children >= 2) b->is_cut[r] = 1;
  }
  b->total = (int)b->block_start.size() - 1;
}

// ===========================================================================
// Expressions
// ===========================================================================

static OSTREL_list<OSTREL_RPN_token_item> token_list(OSTREL_RPN_token* t) {
  return OSTREL_list_of(t->item, t->size, &t->cap);
}

static OSTREL_list<char> char_list(OSTREL_char_stack* s) {
  return OSTREL_list_of(s->item, s->size, &s->cap);
}

void OSTREL_init_RPN_token(OSTREL_RPN_token* t) { *t = OSTREL_RPN_token(); }

int OSTREL_alloc_RPN_token(OSTREL_RPN_token* t, int size) {
  return OSTREL_list_reserve(token_list(t), size) ? OSTREL_memory_error("OSTREL_alloc_RPN_token")
                                                  : 0;
}

int OSTREL_add_RPN_token(OSTREL_RPN_token* t, const OSTREL_RPN_token_item& item) {
  return OSTREL_list_append(token_list(t), item) ? OSTREL_memory_error("OSTREL_alloc_RPN_token")
                                                 : 0;
}

void OSTREL_free_RPN_token(OSTREL_RPN_token* t) { OSTREL_list_free(token_list(t)); }

void OSTREL_free_RPN(OSTREL_RPN_token* t) { OSTREL_free_RPN_token(t); }

void OSTREL_init_char_stack(OSTREL_char_stack* s) { *s = OSTREL_char_stack(); }

int OSTREL_alloc_char_stack(OSTREL_char_stack* s, int size) {
  return OSTREL_list_reserve(char_list(s), size) ? OSTREL_memory_error("OSTREL_alloc_char_stack")
                                                 : 0;
}

int OSTREL_push_char_stack(OSTREL_char_stack* s, char c) {
  return OSTREL_list_append(char_list(s), c) ? OSTREL_memory_error("OSTREL_alloc_char_stack") : 0;
}

int OSTREL_pop_char_stack(OSTREL_char_stack* s, char* c) {
  if (s->size <= 0) {
    fprintf(stderr, "Error: Reached bottom of char stack\n");
    return 1;
  }
  *c = s->item[--s->size];
  if (s->size == 0)
    OSTREL_free_char_stack(s);
  return 0;
}

void OSTREL_free_char_stack(OSTREL_char_stack* s) { OSTREL_list_free(char_list(s)); }

int OSTREL_RPN_push_number_stack(OSTREL_RPN_number_stack* s, double v) {
  return OSTREL_list_append(OSTREL_list_of(s->item, s->size, &s->cap), v)
             ? OSTREL_memory_error("OSTREL_RPN_push_number_stack")
             : 0;
}

int OSTREL_RPN_pop_number_stack(OSTREL_RPN_number_stack* s, double* v) {
  if (s->size <= 0) {
    fprintf(stderr, "Error: Malformed expression: an operator lacks an operand\n");
    return 1;
  }
  *v = s->item[--s->size];
  return 0;
}

static int variable_slot(char letter) {
  if (letter >= 'A' && letter <= 'Z') return letter - 'A';
  if (letter >= 'a' && letter <= 'z') return 26 + (letter - 'a');
  return -1;
}

int OSTREL_store_variable_value(OSTREL_variable_list* vars, char letter, double value) {
  int s = variable_slot(letter);
  if (s < 0) {
    fprintf(stderr, "Error: Invalid variable name for OSTREL_store_variable_value\n");
    return 1;
  }
  vars->value[s] = value;
  return 0;
}

int OSTREL_get_variable_value(const OSTREL_variable_list* vars, char letter, double* value) {
  int s = variable_slot(letter);
  if (s < 0) {
    fprintf(stderr, "Error: Invalid variable name for OSTREL_get_variable_value\n");
    return 1;
  }
  *value = vars->value[s];
  return 0;
}

// The token pattern: a number (digits with an optional point), an operator
// character (the bracket is the range '+' to '/' plus '*' and '^', so ',' and
// '.' match too), a letter, or a bracket.  Compiled once per run.
static const regex_t* token_regex() {
  static regex_t re;
  static int state = 0;  // 0 not tried, 1 ready, -1 failed
  if (state == 0)
    state = regcomp(&re, "^([0-9]*\\.?[0-9]*)|[+-/*^]|[a-zA-Z]|\\(|\\)", REG_EXTENDED) == 0
                ? 1
                : -1;
  return state == 1 ? &re : nullptr;
}

// Length of the token at the start of `p`, or 0 when no token starts there.
static int match_token(const regex_t* re, const char* p) {
  regmatch_t m;
  if (regexec(re, p, 1, &m, 0) != 0)
    return 0;
  if (m.rm_so != 0)
    return 0;
  return (int)(m.rm_eo - m.rm_so);
}

int OSTREL_RPN_tokenize(const char* text, OSTREL_RPN_token* tokens) {
  const regex_t* re = token_regex();
  if (!re) {
    fprintf(stderr, "Error: Regex compilation failed in OSTREL_RPN_tokenize()\n");
    return 1;
  }
  // Pass 1: the tokens must consume the whole text.
  std::vector<std::string> words;
  const char* p = text;
  while (*p == ' ') p++;
  while (*p) {
    int len = match_token(re, p);
    if (len <= 0) {
      fprintf(stderr, "Error: Expression cannot be fully parsed in OSTREL_RPN_tokenize()\n");
      return 1;
    }
    words.emplace_back(p, (size_t)len);
    p += len;
    while (*p == ' ') p++;
  }
  // Pass 2: classify; a sign ('-', or '+' as in +x,+y,+z) that follows
  // neither an operand nor ')' is unary and gets a 0 in front of it.
  OSTREL_init_RPN_token(tokens);
  for (const std::string& w : words) {
    if ((int)w.size() >= MAX_TOKEN_SIZE) {
      fprintf(stderr, "Error: MAX_TOKEN_SIZE exceeded in OSTREL_RPN_tokenize()\n");
      return 1;
    }
    OSTREL_RPN_token_item it;
    char c = w[0];
    if (isalpha((unsigned char)c)) {
      it.token_type = type_var;
      it.c = c;
    } else if (strchr("+-/*^()", c)) {
      it.token_type = type_op;
      it.c = c;
      if (c == '-' || c == '+') {
        bool binary = false;
        if (tokens->size > 0) {
          const OSTREL_RPN_token_item& prev = tokens->item[tokens->size - 1];
          binary = prev.token_type != type_op || prev.c == ')';
        }
        if (!binary) {
          OSTREL_RPN_token_item zero;
          zero.token_type = type_number;
          zero.d = 0.0;
          if (OSTREL_add_RPN_token(tokens, zero))
            return 1;
        }
      }
    } else {
      it.token_type = type_number;
      it.d = atof(w.c_str());
    }
    if (OSTREL_add_RPN_token(tokens, it))
      return 1;
  }
  return 0;
}

int OSTREL_RPN_build_push(OSTREL_RPN_token* out, const OSTREL_RPN_token_item& item) {
  return OSTREL_add_RPN_token(out, item);
}

// Moves the top operator of the stack to the output.
int OSTREL_RPN_build_pop(OSTREL_char_stack* ops, OSTREL_RPN_token* out) {
  char c;
  if (OSTREL_pop_char_stack(ops, &c))
    return 1;
  OSTREL_RPN_token_item it;
  it.token_type = type_op;
  it.c = c;
  return OSTREL_RPN_build_push(out, it);
}

static char stack_top(const OSTREL_char_stack& s) { return s.size > 0 ? s.item[s.size - 1] : 0; }

int OSTREL_RPN_build(const char* text, OSTREL_RPN_token* rpn) {
  OSTREL_RPN_token tokens;
  if (OSTREL_RPN_tokenize(text, &tokens)) {
    fprintf(stderr, "Error: OSTREL_RPN_tokenize() returns non-zero.\n");
    return 1;
  }
  OSTREL_init_RPN_token(rpn);
  OSTREL_char_stack ops;
  OSTREL_init_char_stack(&ops);
  auto fail_alloc = [&]() {
    fprintf(stderr, "Error: Memory allocation problem in OSTREL_RPN_build()\n");
    OSTREL_free_RPN_token(rpn);
    return 1;
  };
  for (int t = 0; t < tokens.size; t++) {
    const OSTREL_RPN_token_item& it = tokens.item[t];
    if (it.token_type != type_op) {
      if (OSTREL_RPN_build_push(rpn, it)) return fail_alloc();
      continue;
    }
    switch (it.c) {
      case '(':
      case '^':
        if (OSTREL_push_char_stack(&ops, it.c)) return fail_alloc();
        break;
      case ')':
        while (ops.size > 0 && stack_top(ops) != '(')
          if (OSTREL_RPN_build_pop(&ops, rpn)) return fail_alloc();
        if (ops.size == 0) {
          fprintf(stderr, "Error: Unbalanced parentheses in expression %s\n", text);
          OSTREL_free_RPN_token(rpn);
          return 1;
        }
        {
          char open;
          OSTREL_pop_char_stack(&ops, &open);
        }
        break;
      case '*':
        while (stack_top(ops) == '^' || stack_top(ops) == '/')
          if (OSTREL_RPN_build_pop(&ops, rpn)) return fail_alloc();
        if (OSTREL_push_char_stack(&ops, it.c)) return fail_alloc();
        break;
      case '/':
        while (stack_top(ops) == '^' || stack_top(ops) == '*')
          if (OSTREL_RPN_build_pop(&ops, rpn)) return fail_alloc();
        if (OSTREL_push_char_stack(&ops, it.c)) return fail_alloc();
        break;
      case '+':
      case '-':
        while (ops.size > 0 && stack_top(ops) != '(')
          if (OSTREL_RPN_build_pop(&ops, rpn)) return fail_alloc();
        if (OSTREL_push_char_stack(&ops, it.c)) return fail_alloc();
        break;
      default:
        break;  // other operator characters (',' '.') are ignored
    }
  }
  while (ops.size > 0) {
    if (stack_top(ops) == '(') {
      fprintf(stderr, "Error: Unbalanced parentheses in expression %s\n", text);
      OSTREL_free_RPN_token(rpn);
      return 1;
    }
    if (OSTREL_RPN_build_pop(&ops, rpn)) return fail_alloc();
  }
  return 0;
}

int OSTREL_RPN_read(const OSTREL_RPN_token* rpn, const OSTREL_variable_list* vars,
                    double* value) {
  OSTREL_RPN_number_stack st;
  for (int t = 0; t < rpn->size; t++) {
    const OSTREL_RPN_token_item& it = rpn->item[t];
    double v = 0.0;
    if (it.token_type == type_number) {
      v = it.d;
    } else if (it.token_type == type_var) {
      if (OSTREL_get_variable_value(vars, it.c, &v))
        return 1;
    } else {
      double right, left;
      if (OSTREL_RPN_pop_number_stack(&st, &right) || OSTREL_RPN_pop_number_stack(&st, &left))
        return 1;
      switch (it.c) {
        case '+': v = left + right; break;
        case '-': v = left - right; break;
        case '*': v = left * right; break;
        case '/': v = left / right; break;
        case '^': v = pow(left, right); break;
        default:
          fprintf(stderr, "Error: Unknown operator %c in expression\n", it.c);
          return 1;
      }
    }
    if (OSTREL_RPN_push_number_stack(&st, v))
      return 1;
  }
  if (st.size == 0) {
    fprintf(stderr, "Error: Empty expression\n");
    return 1;
  }
  *value = st.item[0];
  return 0;
}

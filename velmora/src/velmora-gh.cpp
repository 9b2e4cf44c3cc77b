// Site graph and conduction network: periodic geometry, the supergraph,
// cycles and thresholds, the --gh command (the graph itself is built from
// the half paths in velmora-gh-build.cpp).  The thresholds come from
// opening the hops in the order of their saddle energy (union-find carrying
// each site's cell offset): a cluster whose closed hop sequences translate
// in d independent directions conducts in d dimensions, from its lowest
// site over the last saddle opened.  The cycles that show each network are
// fundamental cycles of a minimum spanning forest by saddle energy.
#include "velmora-gh.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>

#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora-la.h"

namespace {

// Energies closer than this (eV) count as equal when cycles are ordered and
// thresholds compared.
constexpr double kEnergyTolerance = 0.0001;

bool is_zero(const int v[3]) { return v[0] == 0 && v[1] == 0 && v[2] == 0; }

// The image of a cell vector: v + sum_d t[d] a[d].
void translate(double out[3], const double v[3], const int t[3], const double a[3][3]) {
  for (int c = 0; c < 3; ++c) out[c] = v[c] + t[0] * a[0][c] + t[1] * a[1][c] + t[2] * a[2][c];
}

}  // namespace

// ---------------------------------------------------- periodic geometry ----

bool velmora_dot_adjacent(const long x1[3], const long x2[3], const long n[3]) {
  for (int d = 0; d < 3; ++d) {
    const long diff = std::labs(x1[d] - x2[d]);
    if (std::min(diff, n[d] - diff) > 1) return false;
  }
  return true;
}

void velmora_dot_pivot(double out[3], const double x1[3], const double x2[3],
                       const double a[3][3]) {
  velmora_vector3_double_copy(out, x1);
  double best = velmora_vector3_double_distance(x1, x2);
  for (int i = -1; i <= 1; ++i)
    for (int j = -1; j <= 1; ++j)
      for (int k = -1; k <= 1; ++k) {
        const int t[3] = {i, j, k};
        double image[3];
        translate(image, x1, t, a);
        const double d = velmora_vector3_double_distance(image, x2);
        if (d < best) {
          best = d;
          velmora_vector3_double_copy(out, image);
        }
      }
}

double velmora_dot_distance(const double x1[3], const double x2[3], const double a[3][3]) {
  double image[3];
  velmora_dot_pivot(image, x1, x2, a);
  return velmora_vector3_double_distance(image, x2);
}

void velmora_dot_direction(double dir[3], const double x1[3], const double x2[3],
                           const double a[3][3]) {
  double image[3], d[3];
  velmora_dot_pivot(image, x1, x2, a);
  for (int c = 0; c < 3; ++c) d[c] = x2[c] - image[c];
  velmora_vector3_double_normalize(dir, d);
}

double velmora_vector3_double_min(const double x[3]) { return std::min({x[0], x[1], x[2]}); }
double velmora_vector3_double_max(const double x[3]) { return std::max({x[0], x[1], x[2]}); }

// ------------------------------------------------------------ the graph ----

std::unique_ptr<VELMORA_GRAPH> velmora_graph_new(long total_v, long total_e) {
  std::unique_ptr<VELMORA_GRAPH> graph(new (std::nothrow) VELMORA_GRAPH);
  if (!graph) {
    throw VELMORA_NO_MEMORY("the site graph", sizeof(VELMORA_GRAPH));
  }
  try {
    if (total_v > 0) graph->v.resize(static_cast<std::size_t>(total_v));
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("the sites of the graph",
                            static_cast<double>(total_v) * sizeof(VELMORA_GRAPH_VERTEX));
  }
  try {
    if (total_e > 0) graph->e.resize(static_cast<std::size_t>(total_e));
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("the hops of the graph",
                            static_cast<double>(total_e) * sizeof(VELMORA_GRAPH_EDGE));
  }
  graph->total_v = std::max(0L, total_v);
  graph->total_e = std::max(0L, total_e);
  return graph;
}

std::unique_ptr<VELMORA_CELL> velmora_graph_export_to_cell(const VELMORA_GRAPH* graph) {
  if (!graph) {
    std::fprintf(stderr, "Error: VELMORA_GRAPH has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_new(graph->total_v + graph->total_e / 2);
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_cell_new() returns NULL.\n");
    return nullptr;
  }
  velmora_matrix33_double_copy(cell->a, graph->a);
  for (long k = 0; k < graph->total_v; ++k) {
    const VELMORA_GRAPH_VERTEX& v = graph->v[k];
    VELMORA_ATOM& atom = cell->atom[k];
    std::snprintf(atom.name, sizeof atom.name, "%.11s", v.name);
    std::snprintf(atom.type, sizeof atom.type, "Li");
    atom.os = 1;
    velmora_vector3_double_copy(atom.x, v.x);
    atom.occ = v.occ > 0.0 ? v.occ : 0.001;
  }
  for (long j = 0; j < graph->total_e / 2; ++j) {
    VELMORA_ATOM& atom = cell->atom[graph->total_v + j];
    std::snprintf(atom.name, sizeof atom.name, "SAD");
    std::snprintf(atom.type, sizeof atom.type, "Na");
    atom.os = 1;
    velmora_vector3_double_copy(atom.x, graph->e[2 * j].x);
    atom.occ = 1.0;
  }
  velmora_cell_update_fractional(cell.get());
  return cell;
}

std::unique_ptr<VELMORA_GRAPH> velmora_graph_new_supergraph(const VELMORA_GRAPH* graph,
                                                            const int s[3]) {
  if (!graph) {
    std::fprintf(stderr, "Error: VELMORA_GRAPH has not been properly initialized.\n");
    return nullptr;
  }
  if (!s || s[0] < 1 || s[1] < 1 || s[2] < 1) {
    std::fprintf(stderr, "Error: supercell vector must be positive.\n");
    return nullptr;
  }
  const long cells = static_cast<long>(s[0]) * s[1] * s[2];
  const long nv = graph->total_v, ne = graph->total_e;
  std::unique_ptr<VELMORA_GRAPH> super = velmora_graph_new(cells * nv, cells * ne);
  if (!super) {
    std::fprintf(stderr, "Error: velmora_graph_new() returns NULL.\n");
    return nullptr;
  }
  super->total_occ = graph->total_occ * cells;
  super->volume = graph->volume * cells;
  for (int d = 0; d < 3; ++d) {
    super->n[d] = graph->n[d] * s[d];
    for (int c = 0; c < 3; ++c) super->a[d][c] = s[d] * graph->a[d][c];
  }
  velmora_matrix33_double_copy(super->a_i, graph->a_i);
  std::memcpy(super->type, graph->type, sizeof super->type);
  super->os = graph->os;
  super->m = graph->m;
  super->c = graph->c;
  auto cell_number = [&](const long offset[3]) {
    return offset[2] + (offset[0] * s[1] + offset[1]) * s[2];
  };
  for (long i = 0; i < s[0]; ++i)
    for (long j = 0; j < s[1]; ++j)
      for (long k = 0; k < s[2]; ++k) {
        const long offset[3] = {i, j, k};
        const long t = cell_number(offset);
        const int shift[3] = {static_cast<int>(i), static_cast<int>(j), static_cast<int>(k)};
        for (long p = 0; p < nv; ++p) {
          const VELMORA_GRAPH_VERTEX& src = graph->v[p];
          VELMORA_GRAPH_VERTEX& dst = super->v[p + nv * t];
          std::memcpy(dst.name, src.name, sizeof dst.name);
          velmora_vector3_double_copy(dst.eig, src.eig);
          velmora_matrix33_double_copy(dst.eiv, src.eiv);
          dst.occ = src.occ;
          dst.en = src.en;
          dst.site = src.site;
          dst.total_e = src.total_e;
          for (int d = 0; d < 3; ++d) dst.x_i[d] = src.x_i[d] + offset[d] * graph->n[d];
          translate(dst.x, src.x, shift, graph->a);
          dst.member = src.member;
          for (auto& m : dst.member) translate(m.data(), m.data(), shift, graph->a);
          dst.index = p + nv * t;
          try {
            dst.e.assign(static_cast<std::size_t>(src.total_e), -1);
          } catch (const std::exception&) {
            throw VELMORA_NO_MEMORY("the hops of the supercell graph", 0.0);
          }
        }
        for (long p = 0; p < ne; ++p) {
          const VELMORA_GRAPH_EDGE& src = graph->e[p];
          VELMORA_GRAPH_EDGE& dst = super->e[p + ne * t];
          for (int d = 0; d < 3; ++d) dst.x_i[d] = src.x_i[d] + offset[d] * graph->n[d];
          translate(dst.x, src.x, shift, graph->a);
          velmora_vector3_double_copy(dst.dir, src.dir);
          dst.en = src.en;
          dst.l = src.l;
          dst.barrier = src.barrier;
          dst.index_half = src.index_half;
          dst.index = p + ne * t;
          dst.e_r = -1;
          long start[3], end[3];
          for (int d = 0; d < 3; ++d) {
            const long u = offset[d] - src.bound_i[d];
            const long w = src.bound_f[d] + offset[d];
            start[d] = velmora_mod_long(u, s[d]);
            end[d] = velmora_mod_long(w, s[d]);
            // floor division of u and w by s[d]
            const long fu = (u - start[d]) / s[d], fw = (w - end[d]) / s[d];
            dst.bound_i[d] = static_cast<int>(-fu);
            dst.bound_f[d] = static_cast<int>(fw);
            dst.bound[d] = dst.bound_i[d] + dst.bound_f[d];
          }
          dst.v_i = src.v_i + nv * cell_number(start);
          dst.v_f = src.v_f + nv * cell_number(end);
        }
      }
  for (long q = 0; q < super->total_e; ++q) {
    VELMORA_GRAPH_VERTEX& v = super->v[super->e[q].v_i];
    auto slot = std::find(v.e.begin(), v.e.end(), -1L);
    if (slot == v.e.end()) {
      std::fprintf(stderr, "Error: mismatch when assigning e[%ld] to v_i[%ld].e[%d]\n", q,
                   v.index, v.total_e);
      return nullptr;
    }
    *slot = q;
  }
  for (long q = 0; q < super->total_e; ++q) {
    VELMORA_GRAPH_EDGE& e = super->e[q];
    for (long r : super->v[e.v_f].e) {
      const VELMORA_GRAPH_EDGE& back = super->e[r];
      if (back.v_f != e.v_i || std::fabs(back.en - e.en) > 0.001) continue;
      if (back.bound[0] != -e.bound[0] || back.bound[1] != -e.bound[1] ||
          back.bound[2] != -e.bound[2])
        continue;
      if (velmora_dot_distance(back.x, e.x, super->a) > 0.001) continue;
      e.e_r = r;
      break;
    }
    if (e.e_r < 0) {
      std::fprintf(stderr, "Error: failed to link e_r.\n");
      return nullptr;
    }
  }
  for (long q = 0; q < super->total_e; ++q) {
    const VELMORA_GRAPH_EDGE& e = super->e[q];
    const VELMORA_GRAPH_EDGE& r = super->e[e.e_r];
    for (int d = 0; d < 3; ++d)
      if (e.bound[d] != -r.bound[d] || e.bound_i[d] != -r.bound_f[d] ||
          e.bound_f[d] != -r.bound_i[d]) {
        std::fprintf(stderr, "Error: mismatch in e[].bound %ld <-> %ld.\n", q, e.e_r);
        return nullptr;
      }
  }
  return super;
}

// ------------------------------------------------------- graph lists ----

std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_new(long total_v, long total_e) {
  std::unique_ptr<VELMORA_GRAPH_LIST> list(new (std::nothrow) VELMORA_GRAPH_LIST);
  if (!list) {
    throw VELMORA_NO_MEMORY("a list of graph elements", sizeof(VELMORA_GRAPH_LIST));
  }
  try {
    if (total_v > 0) list->v.assign(static_cast<std::size_t>(total_v), -1);
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("a list of graph elements", 8.0 * total_v);
  }
  try {
    if (total_e > 0) list->e.assign(static_cast<std::size_t>(total_e), -1);
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("a list of graph elements", 8.0 * total_e);
  }
  list->total_v = static_cast<long>(list->v.size());
  list->total_e = static_cast<long>(list->e.size());
  return list;
}

int velmora_graph_list_add_vertex(VELMORA_GRAPH_LIST* list, long vertex) {
  if (!list) {
    std::fprintf(stderr, "Error: VELMORA_GRAPH_LIST has not been properly initialized.\n");
    return 1;
  }
  try {
    list->v.push_back(vertex);
  } catch (const std::exception&) {
    std::fprintf(stderr, "Error: unable to reallocate list->v.\n");
    return 1;
  }
  list->total_v = static_cast<long>(list->v.size());
  return 0;
}

int velmora_graph_list_add_edge(VELMORA_GRAPH_LIST* list, long edge) {
  if (!list) {
    std::fprintf(stderr, "Error: VELMORA_GRAPH_LIST has not been properly initialized.\n");
    return 1;
  }
  try {
    list->e.push_back(edge);
  } catch (const std::exception&) {
    std::fprintf(stderr, "Error: unable to reallocate list->e.\n");
    return 1;
  }
  list->total_e = static_cast<long>(list->e.size());
  return 0;
}

// ------------------------------------------------------ spanning forest ----

std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_prim_forest(VELMORA_GRAPH* graph) {
  if (!graph || graph->total_v < 1) {
    std::fprintf(stderr, "Error: VELMORA_GRAPH has not been properly initialized.\n");
    return nullptr;
  }
  const long nv = graph->total_v;
  double largest = 0.0;
  for (const VELMORA_GRAPH_EDGE& e : graph->e) largest = std::max(largest, e.en);
  std::vector<double> key;
  std::vector<long> parent;
  std::vector<char> done;
  try {
    key.assign(static_cast<std::size_t>(nv), largest + 1.0);
    parent.assign(static_cast<std::size_t>(nv), -1);
    done.assign(static_cast<std::size_t>(nv), 0);
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("the spanning-forest search", 24.0 * nv);
  }
  for (long round = 0; round < nv; ++round) {
    long pick = -1;
    for (long k = 0; k < nv; ++k)
      if (!done[k] && (pick < 0 || key[k] < key[pick])) pick = k;
    if (pick < 0) {
      std::fprintf(stderr, "Error: index_min out of bound.\n");
      return nullptr;
    }
    done[pick] = 1;
    for (long q : graph->v[pick].e) {
      const VELMORA_GRAPH_EDGE& e = graph->e[q];
      if (done[e.v_f]) continue;
      // The hop's saddle energy: the forest then joins every two sites by
      // the path of the lowest highest saddle, so the hops of a forest path
      // lie no higher than any hop that closes a cycle with it, and the
      // fundamental cycles of the hops up to an energy span every cycle of
      // the network below it.
      const double weight = e.en;
      if (key[e.v_f] > weight) {
        key[e.v_f] = weight;
        parent[e.v_f] = q;
      }
    }
  }
  std::unique_ptr<VELMORA_GRAPH_LIST> list = velmora_graph_list_new(0, 0);
  if (!list) {
    std::fprintf(stderr, "Error: velmora_graph_list_new() returns NULL.\n");
    return nullptr;
  }
  for (int pass = 0; pass < 2; ++pass)
    for (long k = 0; k < nv; ++k) {
      if ((pass == 0) != (parent[k] < 0)) continue;
      if (velmora_graph_list_add_vertex(list.get(), k) != 0) {
        std::fprintf(stderr, "Error: velmora_graph_list_add_vertex() returns non-zero.\n");
        return nullptr;
      }
      if (velmora_graph_list_add_edge(list.get(), parent[k]) != 0) {
        std::fprintf(stderr, "Error: velmora_graph_list_add_edge() returns non-zero.\n");
        return nullptr;
      }
    }
  return list;
}

std::unique_ptr<VELMORA_GRAPH> velmora_graph_new_subgraph_minimum_spanning_forest(
    VELMORA_GRAPH* graph) {
  std::unique_ptr<VELMORA_GRAPH_LIST> list = velmora_graph_list_prim_forest(graph);
  if (!list) {
    std::fprintf(stderr, "Error: velmora_graph_list_prim_forest() returns NULL.\n");
    return nullptr;
  }
  long edges = 0;
  for (long q : list->e)
    if (q >= 0) ++edges;
  std::unique_ptr<VELMORA_GRAPH> forest = velmora_graph_new(graph->total_v, edges);
  if (!forest) {
    std::fprintf(stderr, "Error: velmora_graph_new() returns NULL.\n");
    return nullptr;
  }
  for (int d = 0; d < 3; ++d) forest->n[d] = graph->n[d];
  velmora_matrix33_double_copy(forest->a, graph->a);
  velmora_matrix33_double_copy(forest->a_i, graph->a_i);
  for (long k = 0; k < graph->total_v; ++k) {
    forest->v[k].index = k;
    forest->v[k].sub = k;
    forest->v[k].v_b = -1;
  }
  long p = 0;
  for (long m = 0; m < list->total_e; ++m) {
    const long q = list->e[m];
    if (q < 0) continue;
    const VELMORA_GRAPH_EDGE& P = graph->e[q];
    VELMORA_GRAPH_EDGE& f = forest->e[p];
    f.sub = q;
    f.index = p;
    f.v_i = P.v_i;
    f.v_f = P.v_f;
    f.barrier = std::max(P.barrier, graph->e[P.e_r].barrier);
    VELMORA_GRAPH_VERTEX& from = forest->v[P.v_i];
    try {
      from.e.push_back(p);
    } catch (const std::exception&) {
      throw VELMORA_NO_MEMORY("the spanning forest", 0.0);
    }
    from.total_e = static_cast<int>(from.e.size());
    forest->v[P.v_f].v_b = P.v_i;
    ++p;
  }
  return forest;
}

std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_edge_complementary(
    const VELMORA_GRAPH* graph, const VELMORA_GRAPH* forest) {
  std::vector<char> in_forest(static_cast<std::size_t>(graph->total_e), 0);
  for (long p = 0; p < forest->total_e; ++p) {
    const long q = forest->e[p].sub;
    if (q < 0 || q >= graph->total_e) {
      std::fprintf(stderr, "Error: subgraph->e[%ld] cannot link to original graph.\n", p);
      return nullptr;
    }
    in_forest[q] = 1;
  }
  std::unique_ptr<VELMORA_GRAPH_LIST> list = velmora_graph_list_new(0, 0);
  if (!list) return nullptr;
  for (long q = 0; q < graph->total_e; q += 2)
    if (!in_forest[q] && !in_forest[graph->e[q].e_r] &&
        velmora_graph_list_add_edge(list.get(), q) != 0) {
      std::fprintf(stderr, "Error: velmora_graph_list_add_edge() returns NULL.\n");
      return nullptr;
    }
  return list;
}

std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_cycle_from_spanning_forest(
    const VELMORA_GRAPH* forest, const VELMORA_GRAPH* graph, long edge) {
  if (!forest || forest->total_v < 1 || !graph || edge < 0 || edge >= graph->total_e) {
    std::fprintf(stderr, "Error: VELMORA_GRAPH has not been properly initialized.\n");
    return nullptr;
  }
  // The forest edge leading into each vertex (the site-graph edge from its
  // parent), and the path of each end up to its root.
  std::vector<long> into(static_cast<std::size_t>(forest->total_v), -1);
  for (const VELMORA_GRAPH_EDGE& f : forest->e) into[f.v_f] = f.sub;
  auto to_root = [&](long v) {
    std::vector<long> path{v};
    while (forest->v[path.back()].v_b >= 0) path.push_back(forest->v[path.back()].v_b);
    return path;
  };
  const VELMORA_GRAPH_EDGE& E = graph->e[edge];
  const std::vector<long> up_i = to_root(E.v_i), up_f = to_root(E.v_f);
  if (up_i.back() != up_f.back()) return nullptr;  // different trees: no cycle
  // The branching point: the deepest vertex on both root paths.
  std::size_t a = up_i.size(), b = up_f.size();
  while (a > 0 && b > 0 && up_i[a - 1] == up_f[b - 1]) {
    --a;
    --b;
  }
  std::unique_ptr<VELMORA_GRAPH_LIST> list = velmora_graph_list_new(0, 0);
  if (!list) return nullptr;
  int failed = velmora_graph_list_add_edge(list.get(), edge);
  // Up from E's end vertex to the branching point (reverse hops) ...
  for (std::size_t m = 0; m < b; ++m) failed |= velmora_graph_list_add_edge(list.get(), graph->e[into[up_f[m]]].e_r);
  // ... then down to E's start vertex.
  for (std::size_t m = a; m-- > 0;) failed |= velmora_graph_list_add_edge(list.get(), into[up_i[m]]);
  if (failed) return nullptr;
  return list;
}

// -------------------------------------------------------------- cycles ----

std::unique_ptr<VELMORA_GRAPH_CYCLE> velmora_graph_cycle_new(long total) {
  std::unique_ptr<VELMORA_GRAPH_CYCLE> cycle(new (std::nothrow) VELMORA_GRAPH_CYCLE);
  if (!cycle) {
    throw VELMORA_NO_MEMORY("a cycle of the graph", sizeof(VELMORA_GRAPH_CYCLE));
  }
  try {
    if (total > 0) cycle->e.assign(static_cast<std::size_t>(total), -1);
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("a cycle of the graph", 8.0 * total);
  }
  cycle->total = std::max(0L, total);
  return cycle;
}

std::unique_ptr<VELMORA_GRAPH_CYCLE> velmora_graph_cycle_new_from_list(
    const VELMORA_GRAPH_LIST* list, const VELMORA_GRAPH* graph) {
  if (!list || list->total_e < 1 || !graph) {
    std::fprintf(stderr, "Error: VELMORA_GRAPH_LIST has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_GRAPH_CYCLE> cycle = velmora_graph_cycle_new(list->total_e);
  if (!cycle) return nullptr;
  cycle->e = list->e;
  bool first = true;
  for (long q : cycle->e) {
    const VELMORA_GRAPH_EDGE& e = graph->e[q];
    const double start = graph->v[e.v_i].en;
    cycle->e_min = first ? start : std::min(cycle->e_min, start);
    cycle->e_max = first ? e.en : std::max(cycle->e_max, e.en);
    first = false;
    cycle->l += e.l;
    for (int d = 0; d < 3; ++d) cycle->bound[d] += e.bound[d];
  }
  cycle->barrier = cycle->e_max - cycle->e_min;
  return cycle;
}

int velmora_graph_cycle_compare(const VELMORA_GRAPH_CYCLE* a, const VELMORA_GRAPH_CYCLE* b) {
  if (std::fabs(a->barrier - b->barrier) > kEnergyTolerance) return a->barrier < b->barrier ? -1 : 1;
  if (std::fabs(a->l - b->l) > kEnergyTolerance) return a->l < b->l ? -1 : 1;
  const bool za = is_zero(a->bound), zb = is_zero(b->bound);
  if (za && !zb) return -1;
  if (!za && zb) return 1;
  return 0;
}

int velmora_graph_cycle_list_sort(VELMORA_GRAPH_CYCLE_LIST* list) {
  if (!list) return 1;
  // A merge sort: the comparison's tolerances do not make it a strict
  // order, and merging never relies on one (it only ever picks the head of
  // one of two runs).
  std::vector<VELMORA_GRAPH_CYCLE>& c = list->cycle;
  std::vector<VELMORA_GRAPH_CYCLE> buffer;
  try {
    buffer.resize(c.size());
  } catch (const std::exception&) {
    throw VELMORA_NO_MEMORY("the sorting of the cycles",
                            static_cast<double>(c.size()) * sizeof(VELMORA_GRAPH_CYCLE));
  }
  for (std::size_t width = 1; width < c.size(); width *= 2) {
    for (std::size_t lo = 0; lo < c.size(); lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, c.size()), hi = std::min(lo + 2 * width, c.size());
      std::size_t x = lo, y = mid, out = lo;
      while (x < mid && y < hi)
        buffer[out++] = std::move(velmora_graph_cycle_compare(&c[y], &c[x]) < 0 ? c[y++] : c[x++]);
      while (x < mid) buffer[out++] = std::move(c[x++]);
      while (y < hi) buffer[out++] = std::move(c[y++]);
    }
    c.swap(buffer);
  }
  return 0;
}

std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> velmora_graph_cycle_list_new_from_graph(
    VELMORA_GRAPH* graph) {
  std::unique_ptr<VELMORA_GRAPH> forest = velmora_graph_new_subgraph_minimum_spanning_forest(graph);
  if (!forest) {
    std::fprintf(stderr,
                 "Error: velmora_graph_new_subgraph_minimum_spanning_forest() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_GRAPH_LIST> outside =
      velmora_graph_list_edge_complementary(graph, forest.get());
  if (!outside) {
    std::fprintf(stderr, "Error: velmora_graph_list_edge_complementary() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> list(new (std::nothrow) VELMORA_GRAPH_CYCLE_LIST);
  if (!list) {
    std::fprintf(stderr, "Error: velmora_list_new() returns NULL.\n");
    return nullptr;
  }
  for (long q : outside->e) {
    std::unique_ptr<VELMORA_GRAPH_LIST> path =
        velmora_graph_list_cycle_from_spanning_forest(forest.get(), graph, q);
    if (!path) continue;
    std::unique_ptr<VELMORA_GRAPH_CYCLE> cycle = velmora_graph_cycle_new_from_list(path.get(), graph);
    if (!cycle) {
      std::fprintf(stderr, "Error: velmora_graph_cycle_new_from_list() returns NULL.\n");
      return nullptr;
    }
    list->cycle.push_back(std::move(*cycle));
  }
  if (velmora_graph_cycle_list_sort(list.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_graph_cycle_list_sort() returns non-zero.\n");
    return nullptr;
  }
  return list;
}

namespace {

// Vertex sets of cycles, sorted, for the shared-vertex tests.
std::vector<long> cycle_vertices(const VELMORA_GRAPH_CYCLE& cycle, const VELMORA_GRAPH* graph) {
  std::vector<long> v;
  for (long q : cycle.e) v.push_back(graph->e[q].v_i);
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

bool share_vertex(const std::vector<long>& a, const std::vector<long>& b) {
  std::size_t x = 0, y = 0;
  while (x < a.size() && y < b.size()) {
    if (a[x] == b[y]) return true;
    if (a[x] < b[y])
      ++x;
    else
      ++y;
  }
  return false;
}

long find_root(std::vector<long>& parent, long x) {
  while (parent[x] != x) x = parent[x] = parent[parent[x]];
  return x;
}

}  // namespace

bool velmora_graph_cycles_is_connected(const VELMORA_GRAPH_CYCLE* const* cycle, int count,
                                       const VELMORA_GRAPH* graph) {
  if (count < 2) return true;
  // Union-find over "shares a vertex": the answer does not depend on the
  // order in which the cycles are given.
  std::vector<std::vector<long>> vertices;
  for (int m = 0; m < count; ++m) vertices.push_back(cycle_vertices(*cycle[m], graph));
  std::vector<long> parent(static_cast<std::size_t>(count));
  for (int m = 0; m < count; ++m) parent[m] = m;
  for (int m = 0; m < count; ++m)
    for (int k = m + 1; k < count; ++k)
      if (share_vertex(vertices[m], vertices[k]))
        parent[find_root(parent, m)] = find_root(parent, k);
  const long root = find_root(parent, 0);
  for (int m = 1; m < count; ++m)
    if (find_root(parent, m) != root) return false;
  return true;
}

// ------------------------------------------------------------- network ----

namespace {

// Sites joined by the hops up to some saddle energy, each with its cell
// offset from its root (the image of the site that the root's cluster
// holds), the lowest site energy of the cluster and the independent
// translations of its closed hop sequences.
struct HopClusters {
  std::vector<long> parent;
  std::vector<std::array<int, 3>> offset;
  std::vector<double> low;
  std::vector<std::vector<std::array<int, 3>>> basis;
  explicit HopClusters(const VELMORA_GRAPH* graph)
      : parent(graph->total_v), offset(graph->total_v, {0, 0, 0}), low(graph->total_v),
        basis(graph->total_v) {
    for (long v = 0; v < graph->total_v; ++v) {
      parent[v] = v;
      low[v] = graph->v[v].en;
    }
  }
  // Root of v and the cell of v in the root's frame.
  long find(long v, std::array<int, 3>& cell) {
    cell = {0, 0, 0};
    long x = v;
    while (parent[x] != x) {
      for (int d = 0; d < 3; ++d) cell[d] += offset[x][d];
      x = parent[x];
    }
    // Point the visited sites at the root directly.
    std::array<int, 3> rest = cell;
    for (long y = v; parent[y] != y;) {
      const long next = parent[y];
      const std::array<int, 3> own = offset[y];
      offset[y] = rest;
      parent[y] = x;
      for (int d = 0; d < 3; ++d) rest[d] -= own[d];
      y = next;
    }
    return x;
  }
  static bool independent(const std::vector<std::array<int, 3>>& basis, const int t[3]) {
    if (t[0] == 0 && t[1] == 0 && t[2] == 0) return false;
    if (basis.empty()) return true;
    const auto& u = basis[0];
    const long c[3] = {static_cast<long>(u[1]) * t[2] - static_cast<long>(u[2]) * t[1],
                       static_cast<long>(u[2]) * t[0] - static_cast<long>(u[0]) * t[2],
                       static_cast<long>(u[0]) * t[1] - static_cast<long>(u[1]) * t[0]};
    if (basis.size() == 1) return c[0] || c[1] || c[2];
    if (basis.size() == 2) {
      const auto& w = basis[1];
      const long n[3] = {static_cast<long>(u[1]) * w[2] - static_cast<long>(u[2]) * w[1],
                         static_cast<long>(u[2]) * w[0] - static_cast<long>(u[0]) * w[2],
                         static_cast<long>(u[0]) * w[1] - static_cast<long>(u[1]) * w[0]};
      return n[0] * t[0] + n[1] * t[1] + n[2] * t[2] != 0;
    }
    return false;
  }
  // Adds the hop A -> image of B in cell `bound`; returns the root.
  long join(long A, long B, const int bound[3]) {
    std::array<int, 3> pa, pb;
    long ra = find(A, pa), rb = find(B, pb);
    int t[3];
    for (int d = 0; d < 3; ++d) t[d] = pa[d] + bound[d] - pb[d];
    if (ra == rb) {
      if (independent(basis[ra], t)) basis[ra].push_back({t[0], t[1], t[2]});
      return ra;
    }
    parent[rb] = ra;
    offset[rb] = {t[0], t[1], t[2]};
    low[ra] = std::min(low[ra], low[rb]);
    for (const auto& v : basis[rb]) {
      const int w[3] = {v[0], v[1], v[2]};
      if (independent(basis[ra], w)) basis[ra].push_back(v);
    }
    basis[rb].clear();
    return ra;
  }
};

}  // namespace

std::unique_ptr<VELMORA_GRAPH_NETWORK> velmora_graph_network_new_from_cycle_list(
    const VELMORA_GRAPH_CYCLE_LIST* list, const VELMORA_GRAPH* graph) {
  if (!list || !graph) {
    std::fprintf(stderr, "Error: VELMORA_LIST has not been properly initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_GRAPH_NETWORK> net(new (std::nothrow) VELMORA_GRAPH_NETWORK);
  if (!net) {
    throw VELMORA_NO_MEMORY("the network record", sizeof(VELMORA_GRAPH_NETWORK));
  }
  const std::vector<VELMORA_GRAPH_CYCLE>& c = list->cycle;
  net->e1 = net->e2 = net->e3 = net->el = -1.0;
  if (c.empty()) return net;  // no cycle: nothing percolates and there is no loop
  net->e_min = c[0].e_min;
  net->e_max = c[0].e_max;
  for (const VELMORA_GRAPH_CYCLE& x : c) {
    net->e_min = std::min(net->e_min, x.e_min);
    net->e_max = std::max(net->e_max, x.e_max);
  }
  const double tol = kEnergyTolerance;
  // Local loop: the non-percolating cycle of the lowest barrier, the
  // shorter among equal ones.
  double el = net->e_max - net->e_min + 1.0;
  for (long m = 0; m < static_cast<long>(c.size()); ++m) {
    const VELMORA_GRAPH_CYCLE& x = c[m];
    if (!is_zero(x.bound)) continue;
    if (x.barrier <= el - tol || (std::fabs(x.barrier - el) <= tol && net->cl >= 0 && c[net->cl].l > x.l)) {
      el = x.barrier;
      net->el = x.barrier;
      net->el_min = x.e_min;
      net->el_max = x.e_max;
      net->cl = m;
    }
  }
  // 1-, 2- and 3-D: the hops are opened in the order of their saddle
  // energy; a cluster of sites whose closed hop sequences translate the ion
  // along d independent lattice directions conducts in d dimensions, from
  // its lowest site over the saddle just opened.  The threshold is the
  // smallest such energy difference met on the way (as a periodic flood of
  // the grid finds it), and its window runs from that lowest site to that
  // saddle.
  std::vector<long> order;
  for (long q = 0; q < graph->total_e; q += 2) order.push_back(q);
  std::stable_sort(order.begin(), order.end(),
                   [&](long x, long y) { return graph->e[x].en < graph->e[y].en; });
  // Hops of one saddle energy (symmetry copies) open together: a cluster is
  // judged only once all of them are in, as the landscape below that energy
  // holds them all, whatever order the sort left them in.
  HopClusters clusters(graph);
  double best[4] = {0, 1e300, 1e300, 1e300};
  long event[4] = {-1, -1, -1, -1};  // the last hop of the group that set each threshold
  long where[4] = {-1, -1, -1, -1};  // a hop of the cluster judged
  for (std::size_t first = 0; first < order.size();) {
    const double en = graph->e[order[first]].en;
    std::size_t end = first;
    while (end < order.size() && graph->e[order[end]].en == en) {
      const VELMORA_GRAPH_EDGE& e = graph->e[order[end]];
      clusters.join(e.v_i, e.v_f, e.bound);
      ++end;
    }
    for (std::size_t m = first; m < end; ++m) {
      std::array<int, 3> cell;
      const long root = clusters.find(graph->e[order[m]].v_i, cell);
      const int rank = static_cast<int>(clusters.basis[root].size());
      for (int d = 1; d <= rank; ++d) {
        const double width = en - clusters.low[root];
        if (width < best[d] - 1e-12) {
          best[d] = width;
          event[d] = static_cast<long>(end) - 1;
          where[d] = static_cast<long>(m);
        }
      }
    }
    first = end;
  }
  // The cycles that show each network: percolating cycles of the cycle list
  // (in its order) that lie no higher than the threshold's saddle, within
  // the cluster of the hop that opened it, adding independent translations
  // until there are d of them.
  double* e_d[4] = {nullptr, &net->e1, &net->e2, &net->e3};
  double* lo_d[4] = {nullptr, &net->e1_min, &net->e2_min, &net->e3_min};
  double* hi_d[4] = {nullptr, &net->e1_max, &net->e2_max, &net->e3_max};
  long* members[4] = {nullptr, &net->c1, net->c2, net->c3};
  for (int d = 1; d <= 3; ++d) {
    if (event[d] < 0) continue;
    HopClusters upto(graph);
    for (long m = 0; m <= event[d]; ++m) {
      const VELMORA_GRAPH_EDGE& e = graph->e[order[m]];
      upto.join(e.v_i, e.v_f, e.bound);
    }
    const VELMORA_GRAPH_EDGE& opened = graph->e[order[where[d]]];
    std::array<int, 3> cell;
    const long root = upto.find(opened.v_i, cell);
    std::vector<std::array<int, 3>> chosen;
    std::vector<long> picked;
    for (long m = 0; m < static_cast<long>(c.size()) && static_cast<int>(picked.size()) < d; ++m) {
      const VELMORA_GRAPH_CYCLE& x = c[m];
      if (is_zero(x.bound) || x.e_max > opened.en + 1e-12) continue;
      if (upto.find(graph->e[x.e[0]].v_i, cell) != root) continue;
      if (!HopClusters::independent(chosen, x.bound)) continue;
      chosen.push_back({x.bound[0], x.bound[1], x.bound[2]});
      picked.push_back(m);
    }
    if (static_cast<int>(picked.size()) < d) continue;  // not shown by the cycle basis
    for (int k = 0; k < d; ++k) members[d][k] = picked[k];
    *e_d[d] = best[d];
    *lo_d[d] = opened.en - best[d];
    *hi_d[d] = opened.en;
  }
  return net;
}

void velmora_graph_network_print(const VELMORA_GRAPH_NETWORK* network) {
  if (!network) {
    std::printf("VELMORA_GRAPH_NETWORK: (not allocated)\n");
    return;
  }
  const VELMORA_GRAPH_NETWORK& n = *network;
  std::printf("VELMORA_GRAPH_NETWORK: e = %.3lf (%.3lf ~ %.3lf)\n", n.e_max - n.e_min, n.e_min,
              n.e_max);
  std::printf("VELMORA_GRAPH_NETWORK: e_1D = %.3lf (%.3lf ~ %.3lf)\n", n.e1, n.e1_min, n.e1_max);
  std::printf("VELMORA_GRAPH_NETWORK: e_2D = %.3lf (%.3lf ~ %.3lf)\n", n.e2, n.e2_min, n.e2_max);
  std::printf("VELMORA_GRAPH_NETWORK: e_3D = %.3lf (%.3lf ~ %.3lf)\n", n.e3, n.e3_min, n.e3_max);
  std::printf("VELMORA_GRAPH_NETWORK: e_loop = %.3lf (%.3lf ~ %.3lf)\n", n.el, n.el_min,
              n.el_max);
}

std::unique_ptr<VELMORA_TEXT> velmora_graph_network_export_to_text(
    const VELMORA_GRAPH_NETWORK* network, const VELMORA_GRAPH_CYCLE_LIST* cycles,
    const VELMORA_GRAPH* graph, const VELMORA_FPCUBE* map, const VELMORA_FPHALF_LIST* list,
    const double a[3][3]) {
  if (!network || !list || !cycles || !graph || !map) {
    std::fprintf(stderr,
                 "Error: VELMORA_GRAPH_NETWORK or VELMORA_FPHALF_LIST has not been properly "
                 "initialized.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_text_new() returns NULL.\n");
    return nullptr;
  }
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line, "%6s, %6s, %6s, %2s, %6s, %6s, %6s, %5s\r\n", "r_coor",
                "energy", "site", "dn", "x", "y", "z", "index");
  out += line;
  double r = 0.0, previous[3] = {0.0, 0.0, 0.0};
  const VELMORA_GRAPH_NETWORK& n = *network;
  auto section = [&](const char* label, const long* members, int count, bool filtered,
                     double lo, double hi) {
    for (int m = 0; m < count; ++m) {
      const VELMORA_GRAPH_CYCLE& cycle = cycles->cycle[members[m]];
      for (long q : cycle.e) {
        const VELMORA_GRAPH_EDGE& e = graph->e[q];
        if (filtered && e.en <= hi + kEnergyTolerance &&
            graph->v[e.v_i].en >= lo - kEnergyTolerance &&
            graph->v[e.v_f].en >= lo - kEnergyTolerance)
          continue;
        // Own half path from the start vertex up to the saddle, then the
        // reverse hop's half path down, without its first and last points.
        std::vector<std::pair<long, int>> points;  // point, 0 none / 1 start / 2 saddle
        const std::vector<long>& own = list->half[e.index_half].dot;
        const std::vector<long>& other = list->half[graph->e[e.e_r].index_half].dot;
        for (std::size_t s = own.size(); s-- > 0;)
          points.emplace_back(own[s], s + 1 == own.size() ? 1 : s == 0 ? 2 : 0);
        for (std::size_t s = 1; s + 1 < other.size(); ++s) points.emplace_back(other[s], 0);
        for (const auto& [p, role] : points) {
          double x[3];
          velmora_fpcube_position(x, map, p);
          r += velmora_dot_distance(x, previous, a);
          velmora_vector3_double_copy(previous, x);
          char site[12];
          std::snprintf(site, sizeof site, "%.11s",
                        role == 1 ? graph->v[e.v_i].name : role == 2 ? "saddle" : "none");
          std::snprintf(line, sizeof line, "%6.3lf, %6.3lf, %6s, %2s, %6.3lf, %6.3lf, %6.3f, %5ld\r\n",
                        r, map->en[p], site, label, x[0], x[1], x[2], e.index);
          out += line;
        }
      }
    }
  };
  if (n.e1 >= 0.0) section("1D", &n.c1, 1, false, 0.0, 0.0);
  if (n.e2 >= 0.0) section("2D", n.c2, 2, true, n.e1_min, n.e1_max);
  if (n.e3 >= 0.0)
    section("3D", n.c3, 3, true, std::min(n.e1_min, n.e2_min), std::max(n.e1_max, n.e2_max));
  if (n.el >= 0.0) section("0D", &n.cl, 1, false, 0.0, 0.0);
  if (velmora_text_append(text.get(), out.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_text_append() returns non-zero.\n");
    return nullptr;
  }
  return text;
}

void velmora_graph_cycle_label_path(const VELMORA_GRAPH_CYCLE* cycle, const VELMORA_GRAPH* graph,
                                    VELMORA_FPCUBE* map, const VELMORA_FPHALF_LIST* list) {
  if (!cycle || !graph || !map || !list) return;
  for (long q : cycle->e) {
    const VELMORA_GRAPH_EDGE& e = graph->e[q];
    for (long h : {e.index_half, graph->e[e.e_r].index_half}) {
      const std::vector<long>& dot = list->half[h].dot;
      for (std::size_t s = 0; s < dot.size(); ++s)
        map->dot[dot[s]].type = s == 0 ? FP_SAD : s + 1 == dot.size() ? FP_MIN : FP_PAT;
    }
  }
}

// --------------------------------------------------------------- --gh ----

int velmora_graph_build_from_file(VELMORA_GRAPH_INPUT& in, const char* cifname, const char* cubename,
                     const char* type, int os, double barrier_cutoff, bool periodic,
                     const char* dir_unitary, const char* dir_binary, const char* dir_symcards) {
  std::unique_ptr<VELMORA_CUBE> cube;
  if (velmora_cube_import_from_file(cube, nullptr, cubename, periodic, dir_unitary) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_import_from_file() returns non-zero.\n");
    return 1;
  }
  if (!velmora_cube_check_conducting(cube.get(), cubename, type, os)) return 1;
  // The structure first: a cube of another cell is refused before the
  // long stages run.
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  if (velmora_cell_import_cif_from_file(cell, symmetry, cifname, dir_symcards, dir_unitary) !=
      0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_file() returns non-zero.\n");
    return 1;
  }
  symmetry.reset();
  if (!velmora_topology_lattice_match(cube->a, cell.get(), cubename, cifname)) return 1;
  in.map = velmora_fpcube_new_from_cube(cube.get());
  if (!in.map) {
    std::fprintf(stderr, "Error: velmora_fpcube_new_from_cube() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_FFT> fft = velmora_fft_new_from_cube(cube.get());
  if (!fft) {
    std::fprintf(stderr, "Error: velmora_fft_new_from_cube() returns NULL.\n");
    return 1;
  }
  cube.reset();
  in.list = velmora_fphalf_list_new_from_fpcube(in.map.get());
  if (!in.list) {
    std::fprintf(stderr, "Error: velmora_fphalf_list_new_from_fpcube() returns NULL.\n");
    return 1;
  }
  // Paths that stop on a lower saddle go on to a minimum first, so that
  // the barrier filter sees their whole drop.
  velmora_fphalf_list_descend_to_minima(in.list.get(), in.map.get());
  // A landscape without saddles has no half paths; nothing is filtered.
  if (!in.list->half.empty() && velmora_fphalf_list_filter(in.list.get(), barrier_cutoff) != 0) {
    std::fprintf(stderr, "Error: velmora_fphalf_list_filter() returns non-zero.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_property_import_from_cell(cell.get(), type, os, 0.75, dir_unitary, dir_binary);
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    return 1;
  }
  in.graph = velmora_graph_new_filled(in.map.get(), in.list.get(), fft.get(), cell.get(),
                                      ppt.get());
  if (!in.graph) {
    std::fprintf(stderr, "Error: velmora_graph_new_filled() returns NULL.\n");
    return 1;
  }
  return 0;
}

int velmora_graph_network_calculate_from_file_export_full(
    const char* outname, const char* cifname, const char* cubename, const char* type, int os,
    double barrier_cutoff, bool periodic, const char* dir_unitary, const char* dir_binary,
    const char* dir_symcards) {
  const char* suffix[6] = {".gh.cif", ".gh.txt", ".gh.1d.cif", ".gh.2d.cif", ".gh.3d.cif",
                           ".gh.0d.cif"};
  std::string file[6];
  for (int s = 0; s < 6; ++s)
    if (!velmora_topology_output_name(file[s], outname, suffix[s], 1000 + std::strlen(suffix[s])))
      return 1;
  VELMORA_GRAPH_INPUT in;
  if (velmora_graph_build_from_file(in, cifname, cubename, type, os, barrier_cutoff, periodic, dir_unitary,
                       dir_binary, dir_symcards) != 0)
    return 1;
  VELMORA_GRAPH* graph = in.graph.get();
  std::unique_ptr<VELMORA_CELL> cell = velmora_graph_export_to_cell(graph);
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_graph_export_to_cell() returns NULL.\n");
    return 1;
  }
  if (velmora_topology_write_cif(file[0].c_str(), cell.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> cycles;
  if (graph->total_v > 0) {
    cycles = velmora_graph_cycle_list_new_from_graph(graph);
  } else {
    cycles.reset(new (std::nothrow) VELMORA_GRAPH_CYCLE_LIST);  // no site, no cycle
  }
  if (!cycles) {
    std::fprintf(stderr, "Error: velmora_graph_cycle_list_new_from_graph() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_GRAPH_NETWORK> network =
      velmora_graph_network_new_from_cycle_list(cycles.get(), graph);
  if (!network) {
    std::fprintf(stderr, "Error: velmora_graph_network_new_from_cycle_list() returns NULL.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_graph_network_export_to_text(
      network.get(), cycles.get(), graph, in.map.get(), in.list.get(), in.map->a);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_graph_network_export_to_text() returns NULL.\n");
    return 1;
  }
  if (velmora_file_write_atomically(file[1].c_str(), text->content) != 0) {
    std::fprintf(stderr, "Error: unable to write %s.\n", file[1].c_str());
    std::fprintf(stderr, "Error: velmora_text_export_to_file() returns non-zero.\n");
    return 1;
  }
  const VELMORA_GRAPH_NETWORK& n = *network;
  const double threshold[4] = {n.e1, n.e2, n.e3, n.el};
  const long* members[4] = {&n.c1, n.c2, n.c3, &n.cl};
  const int count[4] = {1, 2, 3, 1};
  for (int kind = 0; kind < 4; ++kind) {
    const std::string& path = file[2 + kind];
    if (threshold[kind] < 0.0) {
      // A file of this kind from an earlier run would describe another
      // landscape.
      if (velmora_topology_remove_stale(path.c_str()) != 0) {
        std::fprintf(stderr, "Error: unable to remove %s of an earlier run.\n", path.c_str());
        return 1;
      }
      continue;
    }
    velmora_fpcube_clear_type(in.map.get());
    for (int m = 0; m < count[kind]; ++m)
      velmora_graph_cycle_label_path(&cycles->cycle[members[kind][m]], graph, in.map.get(),
                                     in.list.get());
    std::unique_ptr<VELMORA_CELL> marked = velmora_fpcube_export_to_cell(in.map.get());
    if (!marked) {
      std::fprintf(stderr, "Error: velmora_fpcube_export_to_cell() returns NULL.\n");
      return 1;
    }
    if (velmora_topology_write_cif(path.c_str(), marked.get()) != 0) {
      std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
      return 1;
    }
  }
  velmora_graph_network_print(network.get());
  return 0;
}

int velmora_cmd_opt_do_gh(VELMORA_CMD_OPT* opt) {
  char type[3] = {};
  int os = 0;
  if (!velmora_cmd_read_species(opt, 4, type, os)) return VELMORA_EXIT_FAILURE;
  double barrier_max = -0.1;
  if (!velmora_cmd_arg_real(opt, 6, "barrier_max", -HUGE_VAL, VELMORA_CMD_MAX_ENERGY, barrier_max))
    return VELMORA_EXIT_FAILURE;
  const bool periodic = velmora_cmd_read_flag(opt, 7);
  if (velmora_graph_network_calculate_from_file_export_full(
          opt->argv[2], opt->argv[2], opt->argv[3], type, os, barrier_max, periodic,
          opt->dir_unitary.c_str(), opt->dir_binary.c_str(), opt->dir_symcards.c_str()) != 0) {
    std::fprintf(stderr,
                 "Error: velmora_graph_network_calculate_from_file_export_full() returns "
                 "non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

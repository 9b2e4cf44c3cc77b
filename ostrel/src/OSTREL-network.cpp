// Network analysis and reaction pathways of ostrel.  Clusters of sites are
// grown over the hops open below a threshold and classified by the lattice
// translations they span (1D/2D/3D percolation; a 1-D cluster is a ribbon
// when no single site is a cut vertex of every translation, found on the
// block-cut tree); activation energies follow from the thresholds, and
// reaction pathways are Euler walks over the percolation backbones.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>

#include "OSTREL-path-points.h"
#include "OSTREL-path.h"

using namespace ostrel_paths;

// ===========================================================================
// Network analysis
// ===========================================================================

void OSTREL_init_cluster_list(OSTREL_cluster_list* list) { *list = OSTREL_cluster_list(); }

void OSTREL_free_cluster_list(OSTREL_cluster_list* list) { *list = OSTREL_cluster_list(); }

static OSTREL_list<OSTREL_cluster> cluster_list(OSTREL_cluster_list* list) {
  return OSTREL_list_of(list->clust, list->total);
}

static OSTREL_list<OSTREL_reaction_pathway> pathway_list(OSTREL_reaction_pathway_overall* rp) {
  return OSTREL_list_of(rp->rp, rp->total);
}

// Sets the number of clusters (new ones empty, surplus ones dropped).
int OSTREL_alloc_path_clust(OSTREL_cluster_list* list, int total) {
  if (total < 0)
    return OSTREL_invalid_input("OSTREL_alloc_path_clust");
  return OSTREL_catch_memory("OSTREL_alloc_path_clust", [&] {
    list->clust.resize(total);
    list->total = total;
    return 0;
  });
}

int OSTREL_generate_path_vectors(const OSTREL_cube* cube, const OSTREL_cellcross_list* sites,
                                 std::vector<OSTREL_path_triple_index>* vectors) {
  vectors->clear();
  return OSTREL_catch_memory("OSTREL_generate_path_vectors", [&] {
    // Later sites of each minimum, so that only pairs of one minimum are
    // visited, in the order of the plain double loop over sites.
    std::unordered_map<int, std::vector<int>> occurrences;
    for (int s = 0; s < sites->len; s++)
      occurrences[sites->points[s]].push_back(s);
    for (int i = 0; i < sites->len; i++)
      for (int j : occurrences[sites->points[i]]) {
        if (j <= i)
          continue;
        const OSTREL_cellcross &a = sites->list[i], &b = sites->list[j];
        OSTREL_path_triple_index v{(b.x - a.x) * cube->a_grid, (b.y - a.y) * cube->b_grid,
                                   (b.z - a.z) * cube->c_grid};
        if (!v.x && !v.y && !v.z)
          continue;
        bool known = false;
        for (const OSTREL_path_triple_index& u : *vectors)
          known = known || (u.x == v.x && u.y == v.y && u.z == v.z) ||
                  (u.x == -v.x && u.y == -v.y && u.z == -v.z);
        if (!known)
          vectors->push_back(v);
      }
    return 0;
  });
}

namespace {

void fractional(const OSTREL_cube* cube, const OSTREL_path_triple_index& v, double f[3]) {
  f[0] = (double)v.x / cube->a_grid;
  f[1] = (double)v.y / cube->b_grid;
  f[2] = (double)v.z / cube->c_grid;
}

void cross(const double u[3], const double v[3], double w[3]) {
  w[0] = u[1] * v[2] - u[2] * v[1];
  w[1] = u[2] * v[0] - u[0] * v[2];
  w[2] = u[0] * v[1] - u[1] * v[0];
}

bool parallel(const OSTREL_cube* cube, const OSTREL_path_triple_index& a,
              const OSTREL_path_triple_index& b) {
  double fa[3], fb[3], w[3];
  fractional(cube, a, fa);
  fractional(cube, b, fb);
  cross(fa, fb, w);
  return fabs(w[0]) < 1e-7 && fabs(w[1]) < 1e-7 && fabs(w[2]) < 1e-7;
}

bool is_zero(const OSTREL_path_triple_index& v) { return !v.x && !v.y && !v.z; }

}  // namespace

int OSTREL_generate_path_dimension(const OSTREL_cube* cube,
                                   const std::vector<OSTREL_path_triple_index>& vectors,
                                   OSTREL_path_triple_index spanning[3]) {
  for (int q = 0; q < 3; q++) spanning[q] = OSTREL_path_triple_index();
  const int n = (int)vectors.size();
  std::vector<std::array<double, 3>> f(n);
  for (int q = 0; q < n; q++) fractional(cube, vectors[q], f[q].data());
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++) {
      double w[3];
      cross(f[i].data(), f[j].data(), w);
      for (int k = j + 1; k < n; k++)
        if (fabs(w[0] * f[k][0] + w[1] * f[k][1] + w[2] * f[k][2]) >= 1e-7) {
          spanning[0] = vectors[i];
          spanning[1] = vectors[j];
          spanning[2] = vectors[k];
          return 3;
        }
    }
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++) {
      double w[3];
      cross(f[i].data(), f[j].data(), w);
      if (fabs(w[0]) >= 1e-7 || fabs(w[1]) >= 1e-7 || fabs(w[2]) >= 1e-7) {
        spanning[0] = vectors[i];
        spanning[1] = vectors[j];
        return 2;
      }
    }
  for (int i = n - 1; i >= 0; i--)
    if (!is_zero(vectors[i])) {
      spanning[0] = vectors[i];
      return 1;
    }
  return 0;
}

namespace {

// Path-type index of each hop: the path type with its saddle type (one per
// saddle type), checked against the pair of minimum types.
int path_indices(const OSTREL_pathlib* lib, const std::vector<int>& ids, std::vector<int>* out) {
  int top = 0;
  for (int p = 0; p < lib->total_path; p++) top = std::max(top, lib->path[p].saddle_type);
  std::vector<int> by_saddle(top + 1, -1);
  for (int p = lib->total_path - 1; p >= 0; p--)
    if (lib->path[p].saddle_type >= 0) by_saddle[lib->path[p].saddle_type] = p;
  out->resize(ids.size());
  for (size_t q = 0; q < ids.size(); q++) {
    const OSTREL_allpath& a = lib->allpath[ids[q]];
    int p = a.saddle_type >= 0 && a.saddle_type <= top ? by_saddle[a.saddle_type] : -1;
    if (p >= 0) {
      const OSTREL_path& P = lib->path[p];
      if (!((P.start_type == a.start_type && P.end_type == a.end_type) ||
            (P.start_type == a.end_type && P.end_type == a.start_type)))
        p = OSTREL_isin_pathlib(lib, a.start_type, a.end_type, a.saddle_type);
    }
    if (p < 0) {
      fprintf(stderr, "Error: Invalid output from OSTREL_get_allpath_to_path_index()\n");
      return 1;
    }
    (*out)[q] = p;
  }
  return 0;
}

// Arrays indexed by minimum and path type, grown to the landscape and the
// library (entries of unused minima stay -1 or 0 between analyses).
void size_scratch(OSTREL_network_scratch& ws, int minima, int paths) {
  if ((int)ws.first_site.size() < minima) {
    ws.first_site.resize(minima, -1);
    ws.last_site.resize(minima, -1);
    ws.inc_count.resize(minima, 0);
    ws.inc_begin.resize(minima, 0);
    ws.inc_end.resize(minima, 0);
  }
  if ((int)ws.path_stamp.size() < paths) ws.path_stamp.resize(paths, 0);
}

// The block-cut tree of the placed sites: nodes 0..n-1 stand for cut
// vertices, n+b for block b; node_of gives each site's node.  Returns the
// number of nodes, or 0 when some site has no hop.
int build_block_cut_tree(OSTREL_network_scratch& s, int n) {
  const OSTREL_blocks& bl = s.blocks;
  const int nodes = n + bl.total;
  s.node_of.assign(n, -1);
  s.tree_start.assign(nodes + 1, 0);
  for (int b = 0; b < bl.total; b++)
    for (int q = bl.block_start[b]; q < bl.block_start[b + 1]; q++) {
      const int x = bl.block_vertex[q];
      if (bl.is_cut[x]) {
        s.tree_start[n + b + 1]++;
        s.tree_start[x + 1]++;
        s.node_of[x] = x;
      } else {
        s.node_of[x] = n + b;
      }
    }
  for (int v = 0; v < n; v++)
    if (s.node_of[v] < 0) return 0;  // a site without hops: the graph is not one piece
  for (int x = 0; x < nodes; x++) s.tree_start[x + 1] += s.tree_start[x];
  s.tree_to.resize(s.tree_start[nodes]);
  s.tree_fill.assign(s.tree_start.begin(), s.tree_start.end() - 1);
  for (int b = 0; b < bl.total; b++)
    for (int q = bl.block_start[b]; q < bl.block_start[b + 1]; q++) {
      const int x = bl.block_vertex[q];
      if (!bl.is_cut[x]) continue;
      s.tree_to[s.tree_fill[n + b]++] = x;
      s.tree_to[s.tree_fill[x]++] = n + b;
    }
  return nodes;
}

// The tree rooted at the node of site 0, breadth first (`order`), with
// binary lifting (`up`, `levels` rows) for lowest common ancestors.  False
// when the tree is not connected.
bool root_block_cut_tree(OSTREL_network_scratch& s, int nodes, int* levels) {
  *levels = 1;
  while ((1 << *levels) < nodes) (*levels)++;
  s.up.assign((size_t)*levels * nodes, -1);
  s.depth.assign(nodes, -1);
  s.order.clear();
  const int root = s.node_of[0];
  s.depth[root] = 0;
  s.order.push_back(root);
  for (size_t q = 0; q < s.order.size(); q++) {
    const int x = s.order[q];
    for (int k = s.tree_start[x]; k < s.tree_start[x + 1]; k++)
      if (s.depth[s.tree_to[k]] < 0) {
        s.depth[s.tree_to[k]] = s.depth[x] + 1;
        s.up[s.tree_to[k]] = x;
        s.order.push_back(s.tree_to[k]);
      }
  }
  const OSTREL_blocks& bl = s.blocks;
  const int cuts = (int)std::count(bl.is_cut.begin(), bl.is_cut.end(), 1);
  if ((int)s.order.size() != bl.total + cuts) return false;
  for (int l = 1; l < *levels; l++)
    for (int x = 0; x < nodes; x++) {
      const int m = s.up[(size_t)(l - 1) * nodes + x];
      s.up[(size_t)l * nodes + x] = m < 0 ? -1 : s.up[(size_t)(l - 1) * nodes + m];
    }
  return true;
}

// A 1-D cluster is a ribbon when it keeps percolating after the loss of any
// one of its sites, that is when for every site v some connected group of
// the other sites still holds one minimum twice (in two cells).  Checked in
// linear time on the block-cut tree of the site graph: v separates sites i
// and j exactly when v is a cut vertex on the tree path between them, so v
// breaks the percolation when it lies on the path of every pair of sites of
// one minimum (a site that is no cut vertex only when it belongs to every
// such pair).
int ribbon_test(OSTREL_network_scratch& s) {
  const int n = s.sites.len;
  if (n < 2) return 0;
  OSTREL_find_biconnected_components(n, s.edges, &s.blocks);
  const int nodes = build_block_cut_tree(s, n);
  int levels = 0;
  if (nodes == 0 || !root_block_cut_tree(s, nodes, &levels)) return 0;
  auto anc = [&](int l, int x) { return s.up[(size_t)l * nodes + x]; };
  auto lca = [&](int a, int b) {
    if (s.depth[a] < s.depth[b]) std::swap(a, b);
    for (int l = levels - 1; l >= 0; l--)
      if (anc(l, a) >= 0 && s.depth[anc(l, a)] >= s.depth[b]) a = anc(l, a);
    if (a == b) return a;
    for (int l = levels - 1; l >= 0; l--)
      if (anc(l, a) != anc(l, b)) {
        a = anc(l, a);
        b = anc(l, b);
      }
    return anc(0, a);
  };
  // Paths of all pairs of sites of one minimum, counted per tree node by
  // differences along the tree.
  s.count.assign(nodes, 0);
  s.with_site.assign(n, 0);
  long long pairs = 0;
  for (int i = 0; i < n; i++)
    for (int j = s.next_same[i]; j >= 0; j = s.next_same[j]) {
      pairs++;
      s.with_site[i]++;
      s.with_site[j]++;
      const int a = s.node_of[i], b = s.node_of[j], c = lca(a, b);
      s.count[a]++;
      s.count[b]++;
      s.count[c]--;
      if (anc(0, c) >= 0) s.count[anc(0, c)]--;
    }
  if (pairs == 0) return 0;
  for (int q = (int)s.order.size() - 1; q > 0; q--)
    s.count[anc(0, s.order[q])] += s.count[s.order[q]];
  for (int v = 0; v < n; v++)
    if (s.blocks.is_cut[v] ? s.count[v] == pairs : s.with_site[v] == pairs) return 0;
  return 1;
}

// Translations between the sites of each minimum, in the order of the
// plain double loop over sites.
void placement_vectors(const OSTREL_cube* cube, const OSTREL_network_scratch& s,
                       std::vector<OSTREL_path_triple_index>* vectors) {
  vectors->clear();
  for (int i = 0; i < s.sites.len; i++)
    for (int j = s.next_same[i]; j >= 0; j = s.next_same[j]) {
      const OSTREL_cellcross &a = s.sites.list[i], &b = s.sites.list[j];
      OSTREL_path_triple_index v{(b.x - a.x) * cube->a_grid, (b.y - a.y) * cube->b_grid,
                                 (b.z - a.z) * cube->c_grid};
      if (is_zero(v)) continue;
      bool known = false;
      for (const OSTREL_path_triple_index& u : *vectors)
        if ((u.x == v.x && u.y == v.y && u.z == v.z) ||
            (u.x == -v.x && u.y == -v.y && u.z == -v.z)) {
          known = true;
          break;
        }
      if (!known) vectors->push_back(v);
    }
}

// The hops of `ids` grouped by minimum, positions ascending (a counting
// sort over the minima that occur).  1 for a hop whose minima are not in
// the landscape.
int index_hops_by_minimum(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                          const std::vector<int>& ids, OSTREL_network_scratch& ws) {
  const int n = (int)ids.size();
  for (int q = 0; q < n; q++) {
    const OSTREL_allpath& a = lib->allpath[ids[q]];
    if (a.start < 0 || a.end < 0 || a.start >= cube->total_minima ||
        a.end >= cube->total_minima) {
      fprintf(stderr, "Error: Invalid input to OSTREL_analyze_network()\n");
      return 1;
    }
  }
  ws.touched.clear();
  for (int q = 0; q < n; q++) {
    const OSTREL_allpath& a = lib->allpath[ids[q]];
    for (int m : {a.start, a.end}) {
      if (ws.inc_count[m]++ == 0) ws.touched.push_back(m);
      if (a.start == a.end) break;
    }
  }
  int total_inc = 0;
  for (int m : ws.touched) {
    ws.inc_begin[m] = ws.inc_end[m] = total_inc;
    total_inc += ws.inc_count[m];
  }
  ws.inc.resize(total_inc);
  for (int q = 0; q < n; q++) {
    const OSTREL_allpath& a = lib->allpath[ids[q]];
    for (int m : {a.start, a.end}) {
      ws.inc[ws.inc_end[m]++] = q;
      if (a.start == a.end) break;
    }
  }
  return 0;
}

// The site of minimum m in cell c: the one placed already, else a new one
// (whose minimum's unvisited hops then wait to be placed).
int add_site(OSTREL_network_scratch& ws, const std::vector<char>& visited, int m,
             OSTREL_cellcross c) {
  for (int s = ws.first_site[m]; s >= 0; s = ws.next_same[s])
    if (OSTREL_is_cellcross_equal(ws.sites.list[s], c)) return s;
  const int s = ws.sites.len++;
  ws.sites.points.push_back(m);
  ws.sites.list.push_back(c);
  ws.next_same.push_back(-1);
  if (ws.first_site[m] < 0) {
    ws.first_site[m] = s;
    ws.placed_minima.push_back(m);
    for (int e = ws.inc_begin[m]; e < ws.inc_end[m]; e++)
      if (!visited[ws.inc[e]]) {
        ws.heap.push_back(ws.inc[e]);
        std::push_heap(ws.heap.begin(), ws.heap.end(), std::greater<int>());
      }
  } else {
    ws.next_same[ws.last_site[m]] = s;
  }
  ws.last_site[m] = s;
  return s;
}

// Places hop q (its matching end on the first site of a placed minimum,
// the other end shifted by the hop's cell difference) and records its path
// type in the cluster.
void place_hop(const OSTREL_pathlib* lib, const std::vector<int>& ids, const std::vector<int>& pidx,
               int q, int cstamp, OSTREL_network_scratch& ws, const std::vector<char>& visited,
               OSTREL_cluster* C) {
  const OSTREL_allpath& a = lib->allpath[ids[q]];
  const OSTREL_cellcross d = OSTREL_get_cellcrossdiff_from_allpath(&a);
  int matched, other_min;
  OSTREL_cellcross other;
  if (ws.first_site[a.start] >= 0) {
    matched = ws.first_site[a.start];
    const OSTREL_cellcross base = ws.sites.list[matched];
    other_min = a.end;
    other = OSTREL_cellcross{base.x + d.x, base.y + d.y, base.z + d.z};
  } else {
    matched = ws.first_site[a.end];
    const OSTREL_cellcross base = ws.sites.list[matched];
    other_min = a.start;
    other = OSTREL_cellcross{base.x - d.x, base.y - d.y, base.z - d.z};
  }
  if (ws.path_stamp[pidx[q]] != cstamp) {
    ws.path_stamp[pidx[q]] = cstamp;
    C->path.push_back(pidx[q]);
  }
  const int s = add_site(ws, visited, other_min, other);
  ws.edges.emplace_back(matched, s);
}

// The cluster grown from hop p0: its two ends placed, then repeatedly the
// lowest unvisited hop that touches a placed minimum, its matching end on
// that minimum's first site.  `members` (when given) marks the hops taken.
void grow_cluster(const OSTREL_pathlib* lib, const std::vector<int>& ids,
                  const std::vector<int>& pidx, int p0, OSTREL_network_scratch& ws,
                  std::vector<char>& visited, std::vector<char>* members, OSTREL_cluster* C) {
  const int cstamp = ++ws.stamp;
  C->path.push_back(pidx[p0]);
  ws.path_stamp[pidx[p0]] = cstamp;
  ws.sites.len = 0;
  ws.sites.points.clear();
  ws.sites.list.clear();
  ws.next_same.clear();
  ws.edges.clear();
  ws.placed_minima.clear();
  ws.heap.clear();
  visited[p0] = 1;
  if (members) (*members)[p0] = 1;
  {
    const OSTREL_allpath& a = lib->allpath[ids[p0]];
    int s0 = add_site(ws, visited, a.start, OSTREL_cellcross{0, 0, 0});
    int s1 = add_site(ws, visited, a.end, OSTREL_get_cellcrossdiff_from_allpath(&a));
    ws.edges.emplace_back(s0, s1);
  }
  while (!ws.heap.empty()) {
    std::pop_heap(ws.heap.begin(), ws.heap.end(), std::greater<int>());
    const int q = ws.heap.back();
    ws.heap.pop_back();
    if (visited[q]) continue;
    visited[q] = 1;
    if (members) (*members)[q] = 1;
    place_hop(lib, ids, pidx, q, cstamp, ws, visited, C);
  }
  for (int m : ws.placed_minima) ws.first_site[m] = ws.last_site[m] = -1;
  C->total_path = (int)C->path.size();
  ws.sites.alloc = ws.sites.len;
}

// Spanning vectors point mostly along positive axes.
void orient_vectors(OSTREL_cluster_list* out) {
  for (OSTREL_cluster& C : out->clust)
    for (OSTREL_path_triple_index& v : C.vector) {
      int neg = (v.x < 0) + (v.y < 0) + (v.z < 0), pos = (v.x > 0) + (v.y > 0) + (v.z > 0);
      if (neg > pos) v = OSTREL_path_triple_index{-v.x, -v.y, -v.z};
    }
}

// Symmetry merge: a later cluster made of (at least) the same path types is
// a copy of an earlier one.
void merge_symmetric_clusters(const OSTREL_cube* cube, OSTREL_network_scratch& ws,
                              OSTREL_cluster_list* out) {
  for (int i = 0; i < out->total; i++) {
    for (int j = i + 1; j < out->total;) {
      OSTREL_cluster &ci = out->clust[i], &cj = out->clust[j];
      bool subset = ci.total_path <= cj.total_path;
      if (subset) {
        const int st = ++ws.stamp;
        for (int p : cj.path) ws.path_stamp[p] = st;
        for (int p : ci.path)
          if (ws.path_stamp[p] != st) {
            subset = false;
            break;
          }
      }
      if (!subset) {
        j++;
        continue;
      }
      ci.mul += 1;
      if (ci.dimension == 1 && !is_zero(cj.vector[0]) &&
          !parallel(cube, cj.vector[0], ci.vector[0])) {
        // Copies along other directions are listed once each.
        int slot = is_zero(ci.vector[1]) ? 1 : is_zero(ci.vector[2]) ? 2 : -1;
        if (slot == 2 && parallel(cube, cj.vector[0], ci.vector[1])) slot = -1;
        if (slot > 0) ci.vector[slot] = cj.vector[0];
      }
      OSTREL_list_erase(cluster_list(out), j);
    }
  }
}

// Lowest site energy and highest saddle energy of each cluster, and the
// path type holding that saddle (the first of equals).
void set_cluster_energies(const OSTREL_pathlib* lib, OSTREL_cluster_list* out) {
  for (OSTREL_cluster& C : out->clust) {
    C.minimum = 9999;
    C.maximum = -9999;
    C.ID = -1;
    for (int p : C.path) {
      const OSTREL_path& P = lib->path[p];
      C.minimum = std::min(C.minimum, std::min(P.start_energy, P.end_energy));
      if (P.saddle_energy > C.maximum) {
        C.maximum = P.saddle_energy;
        C.ID = p;
      }
    }
  }
}

// Clusters of the hops `ids` (allpath indices, in list order).  With
// `first_only` only the cluster grown from the first hop is made, without
// the symmetry merge: enough for the dimension and ribbon tests of the
// backbone search; `members` then receives, per position of `ids`, 1 for
// the hops of that cluster.
int analyze_ids(const OSTREL_cube* cube, const OSTREL_pathlib* lib, const std::vector<int>& ids,
                OSTREL_cluster_list* out, bool first_only, OSTREL_network_scratch& ws,
                std::vector<char>* members = nullptr) {
  OSTREL_free_cluster_list(out);
  const int n = (int)ids.size();
  if (members) members->assign(n, 0);
  if (n == 0) return 0;
  return OSTREL_catch_memory("OSTREL_alloc_path_clust", [&] {
    std::vector<int> pidx;
    if (path_indices(lib, ids, &pidx)) return 1;
    size_scratch(ws, cube->total_minima, lib->total_path);
    if (index_hops_by_minimum(cube, lib, ids, ws)) return 1;
    std::vector<char> visited(n, 0);
    std::vector<OSTREL_path_triple_index> vectors;
    for (int p0 = 0; p0 < n; p0++) {
      if (visited[p0]) continue;
      OSTREL_cluster C;
      grow_cluster(lib, ids, pidx, p0, ws, visited, out->total == 0 ? members : nullptr, &C);
      placement_vectors(cube, ws, &vectors);
      C.dimension = OSTREL_generate_path_dimension(cube, vectors, C.vector);
      if (C.dimension == 1) C.ribbon = ribbon_test(ws);
      if (OSTREL_list_append(cluster_list(out), std::move(C)))
        throw std::bad_alloc();
      if (first_only) break;
    }
    for (int m : ws.touched) ws.inc_count[m] = 0;
    orient_vectors(out);
    if (!first_only) merge_symmetric_clusters(cube, ws, out);
    set_cluster_energies(lib, out);
    return 0;
  });
}

std::vector<int> all_ids(const OSTREL_pathlib* lib) {
  std::vector<int> ids(lib->total_allpath);
  for (int q = 0; q < lib->total_allpath; q++) ids[q] = q;
  return ids;
}

std::vector<int> ids_below(const OSTREL_pathlib* lib, double energy) {
  std::vector<int> ids;
  for (int q = 0; q < lib->total_allpath; q++)
    if (lib->allpath[q].saddle_energy <= energy + 1e-7) ids.push_back(q);
  return ids;
}

// The distinct saddle energies of the hops, ascending, up to `threshold`.
std::vector<double> threshold_energies(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                       double threshold) {
  std::vector<double> out;
  double last = cube->global_minimum - 1;
  for (int q = 0; q < lib->total_allpath; q++) {
    double e = lib->allpath[q].saddle_energy;
    if (e > threshold)
      break;
    if (e > last + 1e-7) {
      last = e;
      out.push_back(e);
    }
  }
  return out;
}

}  // namespace

int OSTREL_analyze_network(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                           OSTREL_cluster_list* out, OSTREL_network_scratch* scratch) {
  OSTREL_network_scratch own;
  return analyze_ids(cube, lib, all_ids(lib), out, false, scratch ? *scratch : own);
}

int OSTREL_analyze_network_at_energy(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                     OSTREL_cluster_list* out, double energy,
                                     OSTREL_network_scratch* scratch) {
  OSTREL_network_scratch own;
  return analyze_ids(cube, lib, ids_below(lib, energy), out, false, scratch ? *scratch : own);
}

void OSTREL_print_clustlist(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                            const OSTREL_cluster_list* list, FILE* stream) {
  fprintf(stream, "\r\nTotal symmetrically distinct clusters: %d\r\n", list->total);
  for (int n = 0; n < list->total; n++) {
    const OSTREL_cluster& C = list->clust[n];
    fprintf(stream, "\r\nCluster %d:\r\n", n + 1);
    if (C.dimension > 0) {
      fprintf(stream, "> Percolating (%dD)", C.dimension);
      if (C.ribbon) fprintf(stream, "(ribbon)");
      if (C.dimension == 1) {
        fprintf(stream, " : Vector");
        for (const OSTREL_path_triple_index& v : C.vector)
          if (!is_zero(v))
            fprintf(stream, " [%.0f,%.0f,%.0f]", (double)v.x / cube->a_grid,
                    (double)v.y / cube->b_grid, (double)v.z / cube->c_grid);
        fprintf(stream, "\r\n");
      } else if (C.dimension == 2) {
        double u[3], v[3], w[3];
        fractional(cube, C.vector[0], u);
        fractional(cube, C.vector[1], v);
        cross(u, v, w);
        int pos = 0, neg = 0;
        for (double& c : w) {
          if (fabs(c) < 1e-7) c = 0;
          pos += c > 0;
          neg += c < 0;
        }
        if (pos < neg)
          for (double& c : w) c = c == 0 ? 0 : -c;
        fprintf(stream, " : Plane (%.0f,%.0f,%.0f)\r\n", w[0], w[1], w[2]);
      } else {
        fprintf(stream, "\r\n");
      }
    }
    fprintf(stream, "> Multiplicity : %d\r\n", C.mul);
    fprintf(stream, "> Cluster energy minimum : %.3f", scaled(cube, C.minimum));
    if (OSTREL_cube_equal_dbl(C.minimum, cube->global_minimum))
      fprintf(stream, " (global energy minimum)");
    fprintf(stream, "\r\n");
    fprintf(stream, "> Cluster energy maximum : %.3f\r\n", scaled(cube, C.maximum));
    fprintf(stream, "> Site hops :\r\n");
    for (int j = 0; j < C.total_path; j++) {
      const OSTREL_path& P = lib->path[C.path[j]];
      fprintf(stream, "  (%d) %s (%.3f eV) to ", j + 1, site_label(cube, P.start_type).c_str(),
              scaled(cube, P.start_energy));
      fprintf(stream, "%s (%.3f eV) via s%d (%.3f eV)\r\n", site_label(cube, P.end_type).c_str(),
              scaled(cube, P.end_energy), P.saddle_type, scaled(cube, P.saddle_energy));
    }
    fprintf(stream, "\r\n");
  }
}

int OSTREL_analyze_network_at_saddles(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                      FILE* stream, double threshold) {
  const char* dash = "---------------------------------------------------------------------\r\n";
  const char* eq = "===============================\r\n";
  fprintf(stream, "%s", dash);
  fprintf(stream, "  Summary of pathway characteristics at different energy thresholds  \r\n");
  fprintf(stream, "%s\r\n", dash);
  OSTREL_cluster_list list;
  OSTREL_network_scratch scratch;
  for (double e : threshold_energies(cube, lib, threshold)) {
    if (OSTREL_analyze_network_at_energy(cube, lib, &list, e, &scratch)) {
      fprintf(stderr, "Error: OSTREL_analyze_network_at_energy() returns non-zero.\n");
      fflush(stream);
      return 1;
    }
    fprintf(stream, "%s", eq);
    fprintf(stream, " Threshold energy: %.6f eV\r\n", scaled(cube, e));
    fprintf(stream, "%s", eq);
    OSTREL_print_clustlist(cube, lib, &list, stream);
  }
  fflush(stream);
  return 0;
}

int OSTREL_calc_activation_energy(const OSTREL_cube* cube, OSTREL_pathlib* lib) {
  lib->oneD = lib->twoD = lib->threeD = 999;
  lib->oneD_threshold = lib->twoD_threshold = lib->threeD_threshold = 999;
  double* threshold[4] = {nullptr, &lib->oneD_threshold, &lib->twoD_threshold,
                          &lib->threeD_threshold};
  OSTREL_cluster_list list;
  OSTREL_network_scratch scratch;
  for (double e : threshold_energies(cube, lib, 999)) {
    if (OSTREL_analyze_network_at_energy(cube, lib, &list, e, &scratch)) {
      fprintf(stderr, "Error: OSTREL_analyze_network_at_energy() returns non-zero.\n");
      return 1;
    }
    for (const OSTREL_cluster& C : list.clust) {
      if (C.dimension < 1)
        continue;
      double ea = scaled(cube, C.maximum) - scaled(cube, C.minimum);
      // The thresholds come in ascending order: the first one at which a
      // dimension percolates is its threshold from the global minimum.
      for (int d = 1; d <= C.dimension && d <= 3; d++)
        if (*threshold[d] >= 999)
          *threshold[d] = scaled(cube, C.maximum) - scaled(cube, cube->global_minimum);
      lib->oneD = std::min(lib->oneD, ea);
      if (C.dimension >= 2) lib->twoD = std::min(lib->twoD, ea);
      if (C.dimension >= 3) lib->threeD = std::min(lib->threeD, ea);
    }
  }
  return 0;
}

void OSTREL_print_activation_energy(const OSTREL_pathlib* lib, FILE* stream) {
  fprintf(stream, "1D activation energy: %.6f eV\n", lib->oneD);
  fprintf(stream, "2D activation energy: %.6f eV\n", lib->twoD);
  fprintf(stream, "3D activation energy: %.6f eV\n", lib->threeD);
  fprintf(stream, "1D threshold from the global minimum: %.6f eV\n", lib->oneD_threshold);
  fprintf(stream, "2D threshold from the global minimum: %.6f eV\n", lib->twoD_threshold);
  fprintf(stream, "3D threshold from the global minimum: %.6f eV\n", lib->threeD_threshold);
}

// ===========================================================================
// Percolation backbone
// ===========================================================================

namespace {

// The backbone search makes many trial removals.  Two facts keep it fast
// without changing its outcome: the first cluster of a library is grown from
// its first hop and absorbs exactly the hops connected to it, so removing a
// hop (or a path type) outside that cluster leaves the cluster as it was;
// and greedy passes that start by removing different elements outside the
// cluster go through the same trials and end alike.  A budget on the work
// of full analyses stops the search from trying further starting points
// once one backbone is known (libraries of hundreds of path types, as in
// P1 supercells, would otherwise cost the cube of their size).
constexpr long long BACKBONE_WORK_BUDGET = 4000000;  // hops analysed, under a second

struct Trial {
  int dimension = -1, ribbon = 0;
  std::vector<int> types;     // path types (library indices) of the first cluster
  std::vector<char> members;  // per hop position: in the first cluster
};

struct BackboneTest {
  const OSTREL_cube* cube;
  int dimension, ribbon;
  OSTREL_network_scratch& ws;
  long long work = 0;
  int analyse(const OSTREL_pathlib& lib, Trial* t) {
    OSTREL_cluster_list list;
    // A 1-D cluster also costs its ribbon test, about as much again.
    work += (dimension == 1 ? 2 : 1) * (long long)lib.total_allpath;
    if (analyze_ids(cube, &lib, all_ids(&lib), &list, true, ws, &t->members)) return 1;
    t->dimension = list.total > 0 ? list.clust[0].dimension : -1;
    t->ribbon = list.total > 0 ? list.clust[0].ribbon : 0;
    t->types = list.total > 0 ? list.clust[0].path : std::vector<int>();
    return 0;
  }
  bool kept(const Trial& t) const { return t.dimension >= dimension && t.ribbon == ribbon; }
  bool exact(const Trial& t) const { return t.dimension == dimension && t.ribbon == ribbon; }
  bool exhausted() const { return work > BACKBONE_WORK_BUDGET; }
};

bool type_in(const Trial& t, int type) {
  return std::find(t.types.begin(), t.types.end(), type) != t.types.end();
}

// The first cluster of a library after removing an element outside it.
Trial without_element(const OSTREL_pathlib& lib, const Trial& t, bool by_type, int e) {
  Trial r = t;
  if (by_type) {
    const OSTREL_path& gone = lib.path[e];
    std::vector<char> kept_members;
    for (int q = 0; q < lib.total_allpath; q++) {
      const OSTREL_allpath& a = lib.allpath[q];
      if (a.start_type == gone.start_type && a.end_type == gone.end_type &&
          a.saddle_type == gone.saddle_type)
        continue;
      kept_members.push_back(t.members[q]);
    }
    r.members = kept_members;
    for (int& p : r.types)
      if (p > e) p--;
  } else {
    r.members.erase(r.members.begin() + e);
  }
  return r;
}

bool in_first_cluster(const OSTREL_pathlib& lib, const Trial& t, bool by_type, int e) {
  (void)lib;
  return by_type ? type_in(t, e) : t.members[e] != 0;
}

// Greedy reduction of a library by whole path types (by_type) or by single
// hops: from each start obtained by dropping one element, elements are
// dropped one by one as long as the percolation is kept; the smallest result
// wins.  Returns 1 on error.
int symmetric_reduction(BackboneTest& test, const OSTREL_pathlib& base, bool by_type,
                        OSTREL_pathlib* best) {
  auto count = [&](const OSTREL_pathlib& L) { return by_type ? L.total_path : L.total_allpath; };
  auto remove = [&](OSTREL_pathlib& L, int e) {
    return by_type ? OSTREL_delete_pathlib_path(&L, e) : OSTREL_delete_pathlib_allpath(&L, e);
  };
  // Removal of element e from L (analysed as R): the trial library and its
  // first cluster.
  auto trial_without = [&](const OSTREL_pathlib& L, const Trial& R, int e, OSTREL_pathlib* out,
                           Trial* tr) {
    *out = L;
    const bool member = in_first_cluster(L, R, by_type, e);
    if (remove(*out, e)) return 1;
    if (!member) {
      *tr = without_element(L, R, by_type, e);
      return 0;
    }
    return test.analyse(*out, tr);
  };
  *best = base;
  int best_size = 999999;
  Trial rb;
  if (test.analyse(base, &rb)) return 1;
  bool outside_start_done = false;
  const int n = count(base);
  for (int e = 0; e < n; e++) {
    if (best_size < 999999 && test.exhausted()) break;
    OSTREL_pathlib W = base;
    Trial RW = rb;
    if (count(base) > 1) {
      if (!in_first_cluster(base, rb, by_type, e)) {
        if (outside_start_done) continue;  // same trials as the earlier such start
        outside_start_done = true;
      }
      if (trial_without(base, rb, e, &W, &RW)) return 1;
    }
    if (!test.exact(RW)) continue;
    for (int j = 0; j < count(W) && count(W) != 1;) {
      OSTREL_pathlib trial;
      Trial RT;
      if (trial_without(W, RW, j, &trial, &RT)) return 1;
      if (test.kept(RT)) {
        W = std::move(trial);
        RW = std::move(RT);
      } else {
        j++;
      }
    }
    if (count(W) < best_size) {
      *best = W;
      best_size = count(W);
    }
  }
  return 0;
}

}  // namespace

int OSTREL_get_percolating_cluster_backbone(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                            const OSTREL_cluster* cluster,
                                            OSTREL_pathlib* sym_lib, OSTREL_cluster* sym_cluster,
                                            OSTREL_pathlib* red_lib, OSTREL_cluster* red_cluster,
                                            int reduce, OSTREL_network_scratch* scratch) {
  return OSTREL_catch_memory("OSTREL_get_percolating_cluster_backbone", [&] {
    // The cluster's own path types and all their copies.
    OSTREL_pathlib L0;
    L0.pathlib = 1;
    std::vector<char> member(lib->total_path, 0);
    for (int p : cluster->path)
      if (p >= 0 && p < lib->total_path) member[p] = 1;
    for (int p = 0; p < lib->total_path; p++)
      if (member[p]) L0.path.push_back(lib->path[p]);
    L0.total_path = (int)L0.path.size();
    std::vector<int> pidx;
    if (path_indices(lib, all_ids(lib), &pidx)) return 1;
    for (int q = 0; q < lib->total_allpath; q++)
      if (member[pidx[q]]) L0.allpath.push_back(lib->allpath[q]);
    L0.total_allpath = (int)L0.allpath.size();

    OSTREL_network_scratch own;
    BackboneTest test{cube, cluster->dimension, cluster->ribbon, scratch ? *scratch : own};
    if (symmetric_reduction(test, L0, true, sym_lib)) return 1;
    OSTREL_cluster_list list;
    if (OSTREL_analyze_network(cube, sym_lib, &list, &test.ws)) return 1;
    *sym_cluster = list.total > 0 ? list.clust[0] : OSTREL_cluster();
    if (!reduce) return 0;

    // Hop-level reduction of the symmetric backbone: greedy passes that each
    // start without one hop of the best list found so far.
    const OSTREL_pathlib& B = *sym_lib;
    Trial rB;
    if (test.analyse(B, &rB)) return 1;
    OSTREL_pathlib best;
    int best_size = 999999;
    std::vector<OSTREL_allpath> tested;
    for (size_t t = 0;;) {
      if (best_size < 999999 && test.exhausted()) break;
      OSTREL_pathlib T = B;
      Trial RT = rB;
      if (tested.empty() && (size_t)T.total_allpath < t) break;
      // A shorter best list replaces the tested list, so t may pass its end.
      if (!tested.empty() && t >= tested.size()) break;
      if (!tested.empty())
        for (int q = 0; q < T.total_allpath; q++)
          if (OSTREL_is_allpath_equal(&T.allpath[q], &tested[t], 135)) {
            const bool inside = RT.members[q] != 0;
            if (OSTREL_delete_pathlib_allpath(&T, q)) return 1;
            if (inside) {
              if (test.analyse(T, &RT)) return 1;
            } else {
              RT.members.erase(RT.members.begin() + q);
            }
            break;
          }
      if (!test.kept(RT)) {
        t++;
        continue;
      }
      for (int j = 0; j < T.total_allpath && T.total_allpath != 1;) {
        const bool inside = RT.members[j] != 0;
        OSTREL_allpath out;
        if (OSTREL_pop_pathlib_allpath(&T, j, &out)) return 1;
        Trial trial;
        if (inside) {
          if (test.analyse(T, &trial)) return 1;
        } else {
          trial = RT;  // the first cluster is untouched
          trial.members.erase(trial.members.begin() + j);
        }
        if (test.kept(trial)) {
          RT = std::move(trial);
          continue;
        }
        // Put back at the front: the first cluster now grows from it.
        if (OSTREL_insert_pathlib_allpath(&T, out)) return 1;
        if (test.analyse(T, &RT)) return 1;
        j++;
      }
      OSTREL_reverse_pathlib_allpath(&T);
      if (T.total_allpath < best_size) {
        best = T;
        best_size = T.total_allpath;
        tested.assign(T.allpath.begin(), T.allpath.begin() + T.total_allpath);
      }
      t++;
    }
    if (best_size == 999999 && symmetric_reduction(test, B, false, &best)) return 1;
    *red_lib = best;
    if (OSTREL_analyze_network(cube, red_lib, &list, &test.ws)) return 1;
    *red_cluster = list.total > 0 ? list.clust[0] : OSTREL_cluster();
    return 0;
  });
}

// ===========================================================================
// Reaction pathways
// ===========================================================================

void OSTREL_init_reaction_pathway(OSTREL_reaction_pathway_overall* rp) {
  *rp = OSTREL_reaction_pathway_overall();
}

void OSTREL_free_reaction_pathway(OSTREL_reaction_pathway_overall* rp) {
  *rp = OSTREL_reaction_pathway_overall();
}

int OSTREL_copy_cluster_append_rp_all(const OSTREL_cluster* cluster,
                                      OSTREL_reaction_pathway_overall* rp) {
  OSTREL_reaction_pathway p;
  p.ID = cluster->ID;
  p.initial_dimension = p.dimension = cluster->dimension;
  p.ribbon = cluster->ribbon;
  return OSTREL_list_report(OSTREL_list_append(pathway_list(rp), std::move(p)),
                            "OSTREL_copy_cluster_append_rp_all");
}

int OSTREL_append_path_to_reaction_pathway(OSTREL_reaction_pathway* p, int hop) {
  return OSTREL_list_report(OSTREL_list_append(OSTREL_list_of(p->path, p->total_path), hop),
                            "OSTREL_append_path_to_reaction_pathway");
}

int OSTREL_del_reaction_pathway(OSTREL_reaction_pathway_overall* rp, int index) {
  return OSTREL_list_report(OSTREL_list_erase(pathway_list(rp), index),
                            "OSTREL_del_reaction_pathway");
}

int OSTREL_cleanup_redundant_pathways(const OSTREL_pathlib* lib,
                                      OSTREL_reaction_pathway_overall* rp) {
  auto share = [](const OSTREL_reaction_pathway& a, const OSTREL_reaction_pathway& b) {
    for (int x : a.path)
      for (int y : b.path)
        if (abs(x) == abs(y)) return true;
    return false;
  };
  auto id_energy = [&](const OSTREL_reaction_pathway& a) {
    return a.ID >= 0 && a.ID < lib->total_path ? lib->path[a.ID].saddle_energy : 999.0;
  };
  for (int i = 0; i < rp->total;) {
    bool replaced = false;
    for (int k = i + 1; k < rp->total;) {
      if (!share(rp->rp[i], rp->rp[k])) {
        k++;
        continue;
      }
      const OSTREL_reaction_pathway &a = rp->rp[i], &b = rp->rp[k];
      if (a.initial_dimension < b.initial_dimension ||
          (a.initial_dimension == b.initial_dimension && id_energy(a) < id_energy(b))) {
        OSTREL_del_reaction_pathway(rp, k);
      } else {
        OSTREL_del_reaction_pathway(rp, i);
        replaced = true;
        break;
      }
    }
    if (!replaced) i++;
  }
  return 0;
}

namespace {

int hop_ref(int index, bool forward) { return forward ? index + 1 : -(index + 1); }

// Walking start and end minimum types of a signed hop.
int hop_from(const OSTREL_pathlib* lib, int ref) {
  const OSTREL_path& P = lib->path[abs(ref) - 1];
  return ref > 0 ? P.start_type : P.end_type;
}
int hop_to(const OSTREL_pathlib* lib, int ref) {
  const OSTREL_path& P = lib->path[abs(ref) - 1];
  return ref > 0 ? P.end_type : P.start_type;
}

int colour_of(int dimension, int ribbon) { return ribbon ? 4 : dimension; }

void mark_dimension(OSTREL_path& P, int dimension) {
  if (dimension == 1) P.oneD = 1;
  if (dimension == 2) P.twoD = 1;
  if (dimension == 3) P.threeD = 1;
}

// Every path type of a cluster: marked with the cluster's dimension and,
// when not coloured yet, given `colour` as a plain member (style 0).
void colour_cluster(OSTREL_pathlib* lib, const OSTREL_cluster& C, int colour) {
  for (int q : C.path) {
    mark_dimension(lib->path[q], C.dimension);
    if (lib->path[q].color < 0) {
      lib->path[q].color = colour;
      lib->path[q].style = 0;
    }
  }
}

// The path type of a backbone hop, given `colour` as backbone (style 1);
// `in_rp` marks it as walked by a pathway.
void colour_backbone(OSTREL_pathlib* lib, int start_type, int end_type, int saddle_type,
                     int colour, bool in_rp) {
  const int q = OSTREL_isin_pathlib(lib, start_type, end_type, saddle_type);
  if (q < 0) return;
  lib->path[q].color = colour;
  lib->path[q].style = 1;
  if (in_rp) lib->path[q].in_rp = 1;
}

// The backbone of a percolating cluster: `sym` its path types, `red` (with
// `reduce`, for a 1-D chain) its hops.
int cluster_backbone(const OSTREL_cube* cube, const OSTREL_pathlib* lib, const OSTREL_cluster& C,
                     int reduce, OSTREL_pathlib* sym, OSTREL_pathlib* red,
                     OSTREL_network_scratch* scratch) {
  OSTREL_cluster sym_c, red_c;
  if (OSTREL_get_percolating_cluster_backbone(cube, lib, &C, sym, &sym_c, red, &red_c, reduce,
                                              scratch)) {
    fprintf(stderr, "Error: OSTREL_get_percolating_cluster_backbone() returns non-zero.\n");
    return 1;
  }
  return 0;
}

// One edge of an Euler walk: its two vertices (minima or minimum types),
// its weight (the saddle energy) and the path type it stands for.
struct WalkEdge {
  int from, to;
  double energy;
  int start_type, end_type, saddle_type;
};

// Euler walk over `edges`; each step becomes the signed hop of the path
// type of the last edge that joins the two vertices at that energy.
int euler_walk(const OSTREL_pathlib* lib, const std::vector<WalkEdge>& edges,
               OSTREL_reaction_pathway* p) {
  OSTREL_graph g;
  for (const WalkEdge& e : edges)
    if (OSTREL_add_edge(&g, e.from, e.to, e.energy)) return 1;
  if (OSTREL_build_vert_from_edge(&g)) return 1;
  std::vector<int> seq;
  std::vector<double> w;
  int len = 0;
  if (OSTREL_build_Euler_path(&g, &seq, &len, &w)) {
    fprintf(stderr, "Error: OSTREL_build_Euler_path() returns non-zero.\n");
    return 1;
  }
  for (int s = 0; s + 1 < len; s++) {
    const int u = seq[s], v = seq[s + 1];
    const WalkEdge* found = nullptr;
    for (const WalkEdge& e : edges) {
      if (!((e.from == u && e.to == v) || (e.from == v && e.to == u))) continue;
      if (fabs(e.energy - w[s]) >= 1e-7) continue;
      found = &e;
    }
    if (!found) continue;
    const int index =
        OSTREL_isin_pathlib(lib, found->start_type, found->end_type, found->saddle_type);
    if (index >= 0 &&
        OSTREL_append_path_to_reaction_pathway(p, hop_ref(index, found->from == u)))
      return 1;
  }
  return 0;
}

// Euler walk over the path types of a (sub-)library, vertices = minimum
// types.
int euler_over_types(const OSTREL_pathlib* lib, const OSTREL_pathlib* sub,
                     OSTREL_reaction_pathway* p) {
  std::vector<WalkEdge> edges;
  for (int q = 0; q < sub->total_path; q++) {
    const OSTREL_path& P = sub->path[q];
    edges.push_back({P.start_type, P.end_type, P.saddle_energy, P.start_type, P.end_type,
                     P.saddle_type});
  }
  return euler_walk(lib, edges, p);
}

// Euler walk over the hops of a library, vertices = minima.
int euler_over_allpaths(const OSTREL_pathlib* lib, const OSTREL_pathlib* sub,
                        OSTREL_reaction_pathway* p) {
  std::vector<WalkEdge> edges;
  for (int q = 0; q < sub->total_allpath; q++) {
    const OSTREL_allpath& a = sub->allpath[q];
    edges.push_back({a.start, a.end, a.saddle_energy, a.start_type, a.end_type, a.saddle_type});
  }
  return euler_walk(lib, edges, p);
}

// An existing pathway whose cluster has grown: the shortest route (by path
// length, over the hops open up to the cluster's highest saddle) from the
// pathway to the cluster's highest hop, then that hop.
int extend_pathway(const OSTREL_pathlib* lib, const OSTREL_cluster& C,
                   OSTREL_reaction_pathway* p) {
  OSTREL_graph g;
  for (int q = 0; q < lib->total_path; q++)
    if (lib->path[q].saddle_energy <= C.maximum + 1e-7 &&
        OSTREL_add_edge(&g, lib->path[q].start_type, lib->path[q].end_type, lib->path[q].length))
      return 1;
  if (OSTREL_build_vert_from_edge(&g)) return 1;
  const OSTREL_path& id = lib->path[C.ID];
  const int targets[2] = {id.start_type, id.end_type};

  // Sources: the end of the pathway, or for a 1-D chain (a closed loop) the
  // start of every hop, the pathway being rotated to start there.
  std::vector<std::pair<int, int>> sources;  // (hop position, type)
  const bool chain = p->dimension == 1 && !p->ribbon && p->total_path > 0;
  if (chain)
    for (int h = 0; h < p->total_path; h++) sources.emplace_back(h, hop_from(lib, p->path[h]));
  else
    sources.emplace_back(-1, p->total_path > 0 ? hop_to(lib, p->path[p->total_path - 1])
                                               : id.start_type);
  double best = -1;
  int best_source = -1, best_target = -1, best_hop = -1;
  for (const auto& s : sources)
    for (int t : targets) {
      if (OSTREL_find_vertice(&g, s.second) < 0 || OSTREL_find_vertice(&g, t) < 0) continue;
      double d = -1;
      int len = -1;
      if (OSTREL_find_shortest_path(&g, s.second, t, &d, nullptr, &len)) return 1;
      if (d < 0) continue;
      if (best < 0 || d < best) {
        best = d;
        best_source = s.second;
        best_target = t;
        best_hop = s.first;
      }
    }
  if (chain && best_hop > 0)
    std::rotate(p->path.begin(), p->path.begin() + best_hop, p->path.begin() + p->total_path);
  bool forward = true;
  if (best >= 0) {
    std::vector<int> route;
    int len = 0;
    if (OSTREL_find_shortest_path(&g, best_source, best_target, &best, &route, &len)) return 1;
    for (int s = 0; s + 1 < len; s++) {
      const int u = route[s], v = route[s + 1];
      int pick = -1;
      for (int q = 0; q < lib->total_path; q++) {
        const OSTREL_path& P = lib->path[q];
        if (P.saddle_energy > C.maximum + 1e-7) continue;
        if (!((P.start_type == u && P.end_type == v) || (P.start_type == v && P.end_type == u)))
          continue;
        if (pick < 0 || P.length < lib->path[pick].length) pick = q;
      }
      if (pick < 0) continue;
      const OSTREL_path& P = lib->path[pick];
      if (OSTREL_append_path_to_reaction_pathway(
              p, hop_ref(pick, P.start_type == u && P.end_type == v)))
        return 1;
    }
    forward = best_target == id.start_type;
  }
  return OSTREL_append_path_to_reaction_pathway(p, hop_ref(C.ID, forward));
}

}  // namespace

int OSTREL_build_reaction_pathway(const OSTREL_cube* cube, OSTREL_pathlib* lib,
                                  OSTREL_reaction_pathway_overall* rp) {
  OSTREL_free_reaction_pathway(rp);
  for (OSTREL_path& P : lib->path) {
    P.color = P.style = -1;
    P.oneD = P.twoD = P.threeD = P.in_rp = 0;
  }
  return OSTREL_catch_memory("OSTREL_build_reaction_pathway", [&] {
    // Thresholds: the first hop and every change of saddle type.
    std::vector<double> steps;
    for (int q = 0; q < lib->total_allpath; q++)
      if (q == 0 || lib->allpath[q].saddle_type != lib->allpath[q - 1].saddle_type)
        steps.push_back(lib->allpath[q].saddle_energy);
    OSTREL_cluster_list list;
    OSTREL_network_scratch scratch;
    for (size_t step = 0; step < steps.size(); step++) {
      const bool final_step = step + 1 == steps.size();
      if (OSTREL_analyze_network_at_energy(cube, lib, &list, steps[step], &scratch)) {
        fprintf(stderr, "Error: OSTREL_analyze_network_at_energy() returns non-zero.\n");
        return 1;
      }
      std::vector<char> handled(list.total, 0);
      // Pathways found at lower thresholds follow their clusters.
      for (int r = 0; r < rp->total; r++)
        for (int c = 0; c < list.total; c++) {
          const OSTREL_cluster& C = list.clust[c];
          if (std::find(C.path.begin(), C.path.end(), rp->rp[r].ID) == C.path.end()) continue;
          handled[c] = 1;
          OSTREL_reaction_pathway& p = rp->rp[r];
          const int colour = colour_of(C.dimension, C.ribbon);
          if (C.dimension == p.dimension && C.ribbon == p.ribbon) {
            colour_cluster(lib, C, colour);
            continue;
          }
          OSTREL_pathlib sym, red;
          if (cluster_backbone(cube, lib, C, 0, &sym, &red, &scratch)) return 1;
          for (const OSTREL_path& B : sym.path)
            colour_backbone(lib, B.start_type, B.end_type, B.saddle_type, colour, false);
          colour_cluster(lib, C, colour);
          const int before = p.total_path;
          if (extend_pathway(lib, C, &p)) return 1;
          for (int h = before; h < p.total_path; h++) lib->path[abs(p.path[h]) - 1].in_rp = 1;
          p.dimension = C.dimension;
          p.ribbon = C.ribbon;
        }
      // New percolating clusters start pathways of their own.
      for (int c = 0; c < list.total; c++) {
        const OSTREL_cluster& C = list.clust[c];
        if (handled[c] || C.dimension < 1) continue;
        handled[c] = 1;
        if (OSTREL_copy_cluster_append_rp_all(&C, rp)) return 1;
        OSTREL_reaction_pathway& p = rp->rp[rp->total - 1];
        const bool chain = C.dimension == 1 && !C.ribbon;
        OSTREL_pathlib sym, red;
        if (cluster_backbone(cube, lib, C, chain ? 1 : 0, &sym, &red, &scratch)) return 1;
        const int colour = colour_of(C.dimension, C.ribbon);
        if (chain)
          for (int q = 0; q < red.total_allpath; q++)
            colour_backbone(lib, red.allpath[q].start_type, red.allpath[q].end_type,
                            red.allpath[q].saddle_type, colour, true);
        else
          for (const OSTREL_path& B : sym.path)
            colour_backbone(lib, B.start_type, B.end_type, B.saddle_type, colour, true);
        colour_cluster(lib, C, colour);
        if (chain ? euler_over_allpaths(lib, &red, &p) : euler_over_types(lib, &sym, &p))
          return 1;
        if (p.total_path == 0 && OSTREL_append_path_to_reaction_pathway(&p, hop_ref(C.ID, true)))
          return 1;
      }
      if (!final_step) continue;
      // At the last threshold the closed (non-percolating) clusters become
      // pathways too.
      for (int c = 0; c < list.total; c++) {
        const OSTREL_cluster& C = list.clust[c];
        if (handled[c]) continue;
        if (OSTREL_copy_cluster_append_rp_all(&C, rp)) return 1;
        OSTREL_reaction_pathway& p = rp->rp[rp->total - 1];
        OSTREL_pathlib sub;
        for (int q : C.path) {
          if (lib->path[q].color < 0) {
            lib->path[q].color = 0;
            lib->path[q].style = 1;
          }
          sub.path.push_back(lib->path[q]);
        }
        sub.total_path = (int)sub.path.size();
        if (euler_over_types(lib, &sub, &p)) return 1;
        if (p.total_path == 0 && OSTREL_append_path_to_reaction_pathway(&p, hop_ref(C.ID, true)))
          return 1;
      }
    }
    OSTREL_cleanup_redundant_pathways(lib, rp);
    return 0;
  });
}

// ===========================================================================
// Pathways as grid paths
// ===========================================================================

int OSTREL_get_path_stationary_points(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                      int hop, OSTREL_cubeloc point, OSTREL_cubeloc* start,
                                      OSTREL_cubeloc* saddle, OSTREL_cubeloc* end) {
  const OSTREL_path& P = lib->path[abs(hop) - 1];
  const bool forward = hop > 0;
  const long long key = grid_key(cube, point.x, point.y, point.z);
  for (int q = 0; q < lib->total_allpath; q++) {
    const OSTREL_allpath& a = lib->allpath[q];
    if (cube->saddle[a.saddle].type != P.saddle_type) continue;
    const int m = forward ? a.start : a.end;
    const OSTREL_minima& mm = cube->minima[m];
    if (grid_key(cube, mm.x, mm.y, mm.z) != key) continue;
    const OSTREL_cubeloc first = allpath_start_image(cube, a), last = allpath_end_image(cube, a);
    const OSTREL_cubeloc matched = forward ? first : last;
    const OSTREL_cubeloc other = forward ? last : first;
    const int sx = point.x - matched.x, sy = point.y - matched.y, sz = point.z - matched.z;
    const OSTREL_cubeloc s = saddle_point(cube, a.saddle);
    *start = point;
    *saddle = OSTREL_cubeloc{s.x + sx, s.y + sy, s.z + sz};
    *end = OSTREL_cubeloc{other.x + sx, other.y + sy, other.z + sz};
    return 0;
  }
  printf("Warning: Possible error in OSTREL_get_path_stationary_points()\n");
  return 1;
}

int OSTREL_concatenate_path(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                            OSTREL_grid_path* out, const OSTREL_connect_list* hops) {
  OSTREL_free_grid_path(out);
  auto invalid = [] {
    printf("Invalid input to OSTREL_concatenate_path()");
    fprintf(stderr, "Error: Invalid input to OSTREL_concatenate_path()\n");
    return 1;
  };
  if (hops->total <= 0) return invalid();
  int previous_end_type = -1;
  for (int h = 0; h < hops->total; h++) {
    const int ref = hops->item[h];
    if (ref == 0 || abs(ref) > lib->total_path) return invalid();
    const OSTREL_path& P = lib->path[abs(ref) - 1];
    const bool forward = ref > 0;
    const OSTREL_cubeloc A = minimum_image(cube, P.start, P.start_p, P.start_q, P.start_r);
    const OSTREL_cubeloc B = minimum_image(cube, P.end, P.end_p, P.end_q, P.end_r);
    OSTREL_cubeloc start = forward ? A : B, end = forward ? B : A;
    OSTREL_cubeloc saddle = saddle_point(cube, P.saddle);
    const int from_type = forward ? P.start_type : P.end_type;
    const int to_type = forward ? P.end_type : P.start_type;
    if (out->length > 0) {
      const OSTREL_cubeloc last = point_of(out, out->length - 1);
      if (!OSTREL_is_loc_equal(start, last) && previous_end_type == from_type)
        OSTREL_get_path_stationary_points(cube, lib, ref, last, &start, &saddle, &end);
    }
    OSTREL_grid_path piece;
    const int r = OSTREL_build_grid_path(cube, &piece, start, saddle, end);
    if (r == 1) {
      printf("Warning: Path cannot be concatenated in OSTREL_concatenate_path()\n");
      printf("         Input minimum 1 (%d %d %d) Input saddle(%d %d %d) Input minimum 2 (%d %d "
             "%d)\n",
             start.x, start.y, start.z, saddle.x, saddle.y, saddle.z, end.x, end.y, end.z);
      return 1;
    }
    if (r == -1) {
      printf(" Concatenation issue");
      continue;
    }
    piece.color[0] = P.color;
    piece.style[0] = P.style;
    // The limit holds for the grid path of each hop; a pathway of many hops
    // grows as long as it needs.
    if (out->length == 0) {
      *out = piece;
    } else if (join_grid_paths(cube, out, &piece, 0)) {
      fprintf(stderr, "Error: OSTREL_concatenate_grid_path() returns non-zero.\n");
      return 1;
    }
    previous_end_type = to_type;
  }
  OSTREL_refresh_path_saddle(cube, out);
  return 0;
}

void OSTREL_print_reaction_pathway(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                   const OSTREL_reaction_pathway_overall* rp, FILE* stream) {
  double total = 0;
  for (int i = 0; i < rp->total; i++) {
    OSTREL_connect_list hops;
    hops.item = rp->rp[i].path;
    hops.total = rp->rp[i].total_path;
    OSTREL_grid_path gp;
    if (OSTREL_concatenate_path(cube, lib, &gp, &hops)) {
      fflush(stream);
      return;
    }
    for (int q = 0; q < gp.length; q++)
      if (gp.color[q] >= 0) gp.marker[q] = i;
    const double start = i == 0 ? 0 : total + 0.5;
    OSTREL_print_path(cube, &gp, lib, stream, 1, start);
    if (i + 1 < rp->total) fprintf(stream, "NEXT\n");
    total += OSTREL_path_length_in_Angstrom(cube, &gp) + (i > 0 ? 0.5 : 0);
  }
  fprintf(stream, "END\n");
  fflush(stream);
}


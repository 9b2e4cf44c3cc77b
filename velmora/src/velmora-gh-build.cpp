// Site graph built from the half paths of a flow-path map: vertices are the
// minima the half paths end in (a path that stops on a lower saddle is
// carried on down to a minimum; minima within one neighbour step, or joined
// through points of exactly their energy, are one site); a hop joins the
// basins that the two half paths of one saddle region run into, its lattice
// translation counted from the boundary jumps along the route.  Occupancies
// and names of the sites from the structure.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>

#include "velmora-fft.h"
#include "velmora-fp.h"
#include "velmora-gh.h"
#include "velmora-import.h"
#include "velmora-la.h"

namespace {

// Occupancy and label matching stop once the cutoff passes this (A).
constexpr double kSiteCutoffMax = 0.6;
// A flat basin larger than this many points is no site (a plateau of a
// capped or constant region); its minimum stands alone.
constexpr std::size_t kMaxFlatBasin = 4096;

bool is_zero(const int v[3]) { return v[0] == 0 && v[1] == 0 && v[2] == 0; }

bool matches_ion(const VELMORA_ATOM& atom, const char* type, int os) {
  return atom.os == os && std::strcmp(atom.type, type) == 0;
}

// Each grid point of a site: its vertex and the lattice cells crossed from
// the vertex's own grid point to it.
struct VertexPoint {
  long v;
  std::array<int, 3> cell;
};
using VertexMap = std::unordered_map<long, VertexPoint>;

// A vertex touching grid point p, with the cells crossed from the vertex's
// grid point to p.
struct VertexContact {
  long v;
  int cell[3];
};

// The vertices (in index order) whose points include p or a neighbour of
// p; for each the cells to p through the first such point.
std::vector<VertexContact> vertices_near(const VELMORA_FPCUBE* map, const VertexMap& vertex_at,
                                         long p) {
  std::vector<VertexContact> out;
  std::vector<long> near;
  velmora_fpcube_near(near, map, p);
  long x[3], y[3];
  velmora_fpcube_unflatten(x, map, p);
  for (long q : near) {
    auto it = vertex_at.find(q);
    if (it == vertex_at.end()) continue;
    bool known = false;
    for (const VertexContact& c : out) known = known || c.v == it->second.v;
    if (known) continue;
    VertexContact c{it->second.v, {it->second.cell[0], it->second.cell[1], it->second.cell[2]}};
    velmora_fpcube_unflatten(y, map, q);
    velmora_fpcube_add_wrap(c.cell, map, y, x);
    out.push_back(c);
  }
  std::sort(out.begin(), out.end(),
            [](const VertexContact& a, const VertexContact& b) { return a.v < b.v; });
  return out;
}

// The points of exactly the energy of minimum `start` joined to it through
// neighbours (a flat basin: symmetry copies in a landscape written with six
// decimals are equal, and a ring of them around a special position is one
// site), each with the cells crossed from start; only start when the
// basin would exceed kMaxFlatBasin points.
std::vector<std::pair<long, std::array<int, 3>>> flat_basin(const VELMORA_FPCUBE* map,
                                                            long start) {
  std::vector<std::pair<long, std::array<int, 3>>> basin{{start, {0, 0, 0}}};
  std::unordered_map<long, std::size_t> seen{{start, 0}};
  std::vector<long> near;
  const double en = map->en[start];
  for (std::size_t k = 0; k < basin.size(); ++k) {
    const long p = basin[k].first;
    long x[3], y[3];
    velmora_fpcube_unflatten(x, map, p);
    velmora_fpcube_near(near, map, p);
    for (long q : near) {
      if (map->en[q] != en || seen.count(q)) continue;
      std::array<int, 3> cell = basin[k].second;
      velmora_fpcube_unflatten(y, map, q);
      int step[3] = {0, 0, 0};
      velmora_fpcube_add_wrap(step, map, x, y);
      for (int d = 0; d < 3; ++d) cell[d] += step[d];
      seen.emplace(q, basin.size());
      basin.push_back({q, cell});
      if (basin.size() > kMaxFlatBasin) return {{start, {0, 0, 0}}};
    }
  }
  return basin;
}

// The image of a cell vector: v + sum_d t[d] a[d].
void translate(double out[3], const double v[3], const int t[3], const double a[3][3]) {
  for (int c = 0; c < 3; ++c) out[c] = v[c] + t[0] * a[0][c] + t[1] * a[1][c] + t[2] * a[2][c];
}

// Vertices: the minima the half paths end in, in list order; a minimum
// within one neighbour step of a vertex already made, or in its flat basin,
// belongs to it.  A vertex of a flat basin sits at the basin's centre
// (positions unwrapped from its first point, whose grid point it keeps)
// with the basin's mean second derivatives, so that a ring of equal points
// around a special position is a site on that position with the
// position's symmetry.
int graph_add_vertices(VELMORA_GRAPH* graph, const VELMORA_FPCUBE* map,
                       const VELMORA_FPHALF_LIST* list, const VELMORA_FFT* fft,
                       VertexMap& vertex_at) {
  for (const VELMORA_FPHALF& half : list->half) {
    const long end = half.dot.back();
    if (map->dot[end].type != FP_MIN) continue;
    if (!vertices_near(map, vertex_at, end).empty()) continue;
    VELMORA_GRAPH_VERTEX v;
    v.index = static_cast<long>(graph->v.size());
    velmora_fpcube_unflatten(v.x_i, map, end);
    const auto basin = flat_basin(map, end);
    double centre[3] = {0, 0, 0}, k[3][3] = {};
    for (const auto& [p, cell] : basin) {
      double x[3];
      velmora_fpcube_position(x, map, p);
      translate(x, x, cell.data(), map->a);
      VELMORA_FFTDOT dot;
      long x_i[3];
      velmora_fpcube_unflatten(x_i, map, p);
      if (velmora_fftdot_read_from_fft(&dot, fft, x_i) != 0) {
        std::fprintf(stderr, "Error: velmora_fftdot_read_from_fft() returns non-zero.\n");
        return 1;
      }
      for (int c = 0; c < 3; ++c) {
        centre[c] += x[c] / basin.size();
        for (int e = 0; e < 3; ++e) k[c][e] += dot.k[c][e] / basin.size();
      }
      if (basin.size() == 1) {
        velmora_vector3_double_copy(v.eig, dot.eig);
        velmora_matrix33_double_copy(v.eiv, dot.eiv);
      }
    }
    velmora_vector3_double_copy(v.x, centre);
    if (basin.size() > 1) velmora_matrix33_double_eigensolver_symmetric(v.eig, v.eiv, k);
    v.occ = 0.0;
    v.en = map->en[end];
    try {
      graph->v.push_back(v);
    } catch (const std::exception&) {
      std::fprintf(stderr, "Error: unable to reallocate VELMORA_GRAPH_VERTEX.\n");
      return 1;
    }
    for (const auto& [p, cell] : basin) vertex_at.emplace(p, VertexPoint{v.index, cell});
  }
  graph->total_v = static_cast<long>(graph->v.size());
  return 0;
}

// Edges: every two qualifying half paths whose saddles are the same point
// or adjacent ones (one saddle region) join the basins they run into; the
// route basin -> saddle -> saddle -> basin stays below the higher of the two
// saddles, so that is the hop's saddle and energy (two half paths of one
// saddle point hop at that point's own energy, whatever saddle of the
// region comes first in grid order).  Within a region one hop per (start
// vertex, end vertex, translation) is kept, the lowest; a hop and its
// reverse are the same hop.  Two half paths that end in the same basin make
// a hop only when the route between them crosses the cell: the hop of a
// site to its own periodic image.  A saddle with three downhill branches
// (or a point with four or more) is where as many basins meet (on a grid a
// pass shared by three or four valleys looks so): its branches are paired
// like any others, so all its basins connect at its energy, as they do when
// the landscape is flooded.
struct HopCandidate {
  long A, B, i, j, saddle;
  int bound_i[3], bound_f[3];
};

long region_root(std::unordered_map<long, long>& parent, long x) {
  while (parent[x] != x) x = parent[x] = parent[parent[x]];
  return x;
}

int graph_add_edges(VELMORA_GRAPH* graph, const VELMORA_FPCUBE* map,
                    const VELMORA_FPHALF_LIST* list,
                    const VertexMap& vertex_at) {
  const long total = list->total;
  auto qualifies = [&](long h) {
    const VELMORA_FPHALF& half = list->half[h];
    const VELMORA_FPCODE& saddle = map->dot[half.dot.front()];
    return velmora_fpcode_is_pass(saddle) && map->dot[half.dot.back()].type == FP_MIN;
  };
  // Boundary jumps of each half path from its saddle to its end, and the
  // qualifying half paths by saddle point.
  std::vector<std::array<int, 3>> wrap(static_cast<std::size_t>(total));
  std::unordered_map<long, std::vector<long>> at_saddle;
  for (long h = 0; h < total; ++h) {
    const VELMORA_FPHALF& half = list->half[h];
    int w[3] = {0, 0, 0};
    long p[3], q[3];
    for (std::size_t s = 1; s < half.dot.size(); ++s) {
      velmora_fpcube_unflatten(p, map, half.dot[s - 1]);
      velmora_fpcube_unflatten(q, map, half.dot[s]);
      velmora_fpcube_add_wrap(w, map, p, q);
    }
    wrap[h] = {w[0], w[1], w[2]};
    if (qualifies(h)) at_saddle[half.dot.front()].push_back(h);
  }
  // Saddle regions: saddle points joined through adjacent saddle points.
  std::unordered_map<long, long> region;
  for (const auto& entry : at_saddle) region[entry.first] = entry.first;
  std::vector<long> near;
  for (const auto& entry : at_saddle) {
    velmora_fpcube_near(near, map, entry.first);
    for (long other : near) {
      if (at_saddle.count(other))
        region[region_root(region, entry.first)] = region_root(region, other);
    }
  }
  // The lowest hop per (region, vertex, vertex, translation), in the order
  // in which the hops are first met.
  std::vector<HopCandidate> hops;
  std::map<std::tuple<long, long, long, int, int, int>, std::size_t> best;
  for (long i = 0; i < total; ++i) {
    if (!qualifies(i)) continue;
    const VELMORA_FPHALF& hi = list->half[i];
    const long si = hi.dot.front(), ei = hi.dot.back();
    std::vector<long> partner;
    velmora_fpcube_near(near, map, si);
    for (long q : near) {
      auto it = at_saddle.find(q);
      if (it == at_saddle.end()) continue;
      for (long j : it->second)
        if (j > i) partner.push_back(j);
    }
    std::sort(partner.begin(), partner.end());
    partner.erase(std::unique(partner.begin(), partner.end()), partner.end());
    const std::vector<VertexContact> from = vertices_near(map, vertex_at, ei);
    const long reg = region_root(region, si);
    long xsi[3];
    velmora_fpcube_unflatten(xsi, map, si);
    for (long j : partner) {
      const VELMORA_FPHALF& hj = list->half[j];
      const long sj = hj.dot.front(), ej = hj.dot.back();
      long xsj[3];
      velmora_fpcube_unflatten(xsj, map, sj);
      const long saddle = map->en[sj] > map->en[si] ? sj : si;
      const std::vector<VertexContact> to = vertices_near(map, vertex_at, ej);
      for (const VertexContact& ca : from)
        for (const VertexContact& cb : to) {
          const long A = ca.v, B = cb.v;
          HopCandidate hop{A, B, i, j, saddle, {0, 0, 0}, {0, 0, 0}};
          velmora_fpcube_add_wrap(hop.bound_f, map, xsi, xsj);
          int bound[3];
          for (int d = 0; d < 3; ++d) {
            // From A's grid point to the end of half path i, up that path
            // to its saddle; across to saddle j, down its path and on to
            // B's grid point.
            hop.bound_i[d] = ca.cell[d] - wrap[i][d];
            hop.bound_f[d] += wrap[j][d] - cb.cell[d];
            bound[d] = hop.bound_i[d] + hop.bound_f[d];
          }
          // Both halves in one site without leaving the cell: no hop.
          if (A == B && is_zero(bound)) continue;
          // A hop B -> A over -bound is this hop walked backwards.
          const bool flip = A > B || (A == B && std::make_tuple(bound[0], bound[1], bound[2]) <
                                                    std::make_tuple(-bound[0], -bound[1], -bound[2]));
          const int sign = flip ? -1 : 1;
          auto key = std::make_tuple(reg, flip ? B : A, flip ? A : B, sign * bound[0],
                                     sign * bound[1], sign * bound[2]);
          auto found = best.find(key);
          if (found == best.end()) {
            best.emplace(key, hops.size());
            hops.push_back(hop);
          } else if (map->en[saddle] < map->en[hops[found->second].saddle]) {
            hops[found->second] = hop;
          }
        }
    }
  }
  for (const HopCandidate& hop : hops) {
    const VELMORA_GRAPH_VERTEX& va = graph->v[hop.A];
    const VELMORA_GRAPH_VERTEX& vb = graph->v[hop.B];
    int bound[3];
    for (int d = 0; d < 3; ++d) bound[d] = hop.bound_i[d] + hop.bound_f[d];
    VELMORA_GRAPH_EDGE e1, e2;
    for (VELMORA_GRAPH_EDGE* e : {&e1, &e2}) {
      velmora_fpcube_unflatten(e->x_i, map, hop.saddle);
      velmora_fpcube_position(e->x, map, hop.saddle);
      e->en = map->en[hop.saddle];
    }
    // The length of the hop to the image of B that it reaches.
    double image[3];
    translate(image, vb.x, bound, graph->a);
    e1.l = e2.l = velmora_vector3_double_distance(image, va.x);
    e1.v_i = hop.A;
    e1.v_f = hop.B;
    e1.index_half = hop.i;
    e1.barrier = e1.en - va.en;
    e2.v_i = hop.B;
    e2.v_f = hop.A;
    e2.index_half = hop.j;
    e2.barrier = e2.en - vb.en;
    for (int d = 0; d < 3; ++d) {
      e1.bound_i[d] = hop.bound_i[d];
      e1.bound_f[d] = hop.bound_f[d];
      e1.bound[d] = bound[d];
      e2.bound_i[d] = -hop.bound_f[d];
      e2.bound_f[d] = -hop.bound_i[d];
      e2.bound[d] = -bound[d];
    }
    velmora_dot_direction(e1.dir, va.x, e1.x, graph->a);
    velmora_dot_direction(e2.dir, vb.x, e2.x, graph->a);
    try {
      graph->e.push_back(e1);
      graph->e.push_back(e2);
    } catch (const std::exception&) {
      std::fprintf(stderr, "Error: unable to reallocate VELMORA_GRAPH_EDGE.\n");
      return 1;
    }
  }
  graph->total_e = static_cast<long>(graph->e.size());
  for (long k = 0; k < graph->total_e; ++k) {
    VELMORA_GRAPH_EDGE& e = graph->e[k];
    e.index = k;
    e.e_r = k % 2 == 0 ? k + 1 : k - 1;
    VELMORA_GRAPH_VERTEX& v = graph->v[e.v_i];
    try {
      v.e.push_back(k);
    } catch (const std::exception&) {
      std::fprintf(stderr, "Error: unable to reallocate graph->v[%ld].e.\n", e.v_i);
      return 1;
    }
    v.total_e = static_cast<int>(v.e.size());
  }
  return 0;
}

double sum_ion_occupancy(const VELMORA_CELL* cell, const char* type, int os) {
  double total = 0.0;
  for (const VELMORA_ATOM& atom : cell->atom)
    if (matches_ion(atom, type, os)) total += atom.occ;
  return total;
}

double first_site_cutoff(const VELMORA_GRAPH* graph) {
  return (velmora_vector3_double_length(graph->a_i[0]) +
          velmora_vector3_double_length(graph->a_i[1]) +
          velmora_vector3_double_length(graph->a_i[2])) /
         3.0 / 4.0;
}

}  // namespace

long velmora_fphalf_list_descend_to_minima(VELMORA_FPHALF_LIST* list, const VELMORA_FPCUBE* map) {
  if (!list || !map) return 0;
  // Every step goes to a strictly lower point (equal energies ordered by
  // grid index), so a descent ends; the bound only guards a broken map.
  const long limit = static_cast<long>(map->dot.size());
  long extended = 0;
  for (VELMORA_FPHALF& half : list->half) {
    if (half.dot.size() < 2 || !velmora_fpcode_is_pass(map->dot[half.dot.back()])) continue;
    std::vector<long> tail;
    long p = half.dot.back();
    bool reached = false;
    while (static_cast<long>(tail.size()) < limit) {
      const VELMORA_FPCODE& code = map->dot[p];
      if (code.type == FP_MIN) {
        reached = true;
        break;
      }
      if (code.total_dn == 0 || code.dn == VELMORA_NB_SELF) break;
      p = velmora_fpcube_step(map, p, code.dn);
      tail.push_back(p);
    }
    if (!reached || tail.empty()) continue;
    half.dot.insert(half.dot.end(), tail.begin(), tail.end());
    half.total = static_cast<long>(half.dot.size());
    half.barrier = map->en[half.dot.front()] - map->en[half.dot.back()];
    ++extended;
  }
  return extended;
}

std::unique_ptr<VELMORA_GRAPH> velmora_graph_new_filled(const VELMORA_FPCUBE* map,
                                                        VELMORA_FPHALF_LIST* list,
                                                        const VELMORA_FFT* fft,
                                                        const VELMORA_CELL* cell,
                                                        const VELMORA_PROPERTY* ppt) {
  if (!map || !list || !fft || !cell || !ppt || ppt->conducting < 0 ||
      ppt->conducting >= ppt->total || map->dot.empty()) {
    std::fprintf(stderr, "Error: uninitialized input to generate VELMORA_GRAPH.\n");
    return nullptr;
  }
  velmora_fphalf_list_descend_to_minima(list, map);
  std::unique_ptr<VELMORA_GRAPH> graph = velmora_graph_new(0, 0);
  if (!graph) {
    std::fprintf(stderr, "Error: velmora_graph_new() returns NULL.\n");
    return nullptr;
  }
  for (int d = 0; d < 3; ++d) graph->n[d] = fft->n[d];
  velmora_matrix33_double_copy(graph->a, fft->a);
  velmora_matrix33_double_copy(graph->a_i, fft->a_i);
  VertexMap vertex_at;
  if (graph_add_vertices(graph.get(), map, list, fft, vertex_at) != 0) return nullptr;
  if (graph_add_edges(graph.get(), map, list, vertex_at) != 0) return nullptr;
  const int c = ppt->conducting;
  std::snprintf(graph->type, sizeof graph->type, "%s", ppt->type[c].data());
  graph->os = ppt->os[c];
  graph->total_occ = sum_ion_occupancy(cell, graph->type, graph->os);
  if (velmora_graph_assign_occ(graph.get(), cell) != 0) {
    std::fprintf(stderr, "Error: velmora_graph_assign_occ() returns non-zero.\n");
    return nullptr;
  }
  if (velmora_graph_assign_label(graph.get(), cell) != 0) {
    std::fprintf(stderr, "Error: velmora_graph_assign_label() returns non-zero.\n");
    return nullptr;
  }
  graph->volume = velmora_cell_calculate_volume(cell);
  graph->m = ppt->uni[c].m;
  graph->c = graph->volume > 0.0 ? graph->total_occ / graph->volume : 0.0;
  return graph;
}

int velmora_graph_assign_occ(VELMORA_GRAPH* graph, const VELMORA_CELL* cell) {
  if (!graph || !cell) {
    std::fprintf(stderr,
                 "Error: VELMORA_GRAPH or VELMORA_CELL has not been properly initialized.\n");
    return 1;
  }
  graph->total_occ = sum_ion_occupancy(cell, graph->type, graph->os);
  double cutoff = first_site_cutoff(graph), residual = graph->total_occ;
  std::vector<long> near;
  do {
    cutoff *= 2.0;
    for (VELMORA_GRAPH_VERTEX& v : graph->v) v.occ = 0.0;
    for (const VELMORA_ATOM& atom : cell->atom) {
      if (!matches_ion(atom, graph->type, graph->os)) continue;
      near.clear();
      for (const VELMORA_GRAPH_VERTEX& v : graph->v)
        if (velmora_dot_distance(v.x, atom.x, graph->a) < cutoff) near.push_back(v.index);
      for (long k : near) {
        VELMORA_GRAPH_VERTEX& v = graph->v[k];
        v.occ += atom.occ / static_cast<double>(near.size());
        if (v.occ > 1.0) v.occ = 1.0;
      }
    }
    double sum = 0.0;
    for (const VELMORA_GRAPH_VERTEX& v : graph->v) sum += v.occ;
    residual = graph->total_occ - sum;
  } while (!(residual < 0.5) && cutoff <= kSiteCutoffMax);
  // The sites of the last pass are the vertices' members.
  for (VELMORA_GRAPH_VERTEX& v : graph->v) v.member.clear();
  for (const VELMORA_ATOM& atom : cell->atom) {
    if (!matches_ion(atom, graph->type, graph->os)) continue;
    for (VELMORA_GRAPH_VERTEX& v : graph->v)
      if (velmora_dot_distance(v.x, atom.x, graph->a) < cutoff) {
        std::array<double, 3> m;
        velmora_dot_pivot(m.data(), atom.x, v.x, graph->a);
        v.member.push_back(m);
      }
  }
  std::printf("Message: graph occ assignment, residual occ = %.3lf, cutoff = %.3lf A.\n",
              residual, cutoff);
  return 0;
}

int velmora_graph_assign_label(VELMORA_GRAPH* graph, const VELMORA_CELL* cell) {
  if (!graph || !cell) {
    std::fprintf(stderr,
                 "Error: VELMORA_GRAPH or VELMORA_CELL has not been properly initialized.\n");
    return 1;
  }
  for (VELMORA_GRAPH_VERTEX& v : graph->v) {
    v.name[0] = '\0';
    v.site = 0;
  }
  long matching = 0;
  for (const VELMORA_ATOM& atom : cell->atom)
    if (matches_ion(atom, graph->type, graph->os)) ++matching;
  double cutoff = first_site_cutoff(graph);
  long named = 0;
  do {
    cutoff *= 2.0;
    for (VELMORA_GRAPH_VERTEX& v : graph->v) v.name[0] = '\0';
    for (const VELMORA_ATOM& atom : cell->atom) {
      if (!matches_ion(atom, graph->type, graph->os)) continue;
      for (VELMORA_GRAPH_VERTEX& v : graph->v)
        if (velmora_dot_distance(v.x, atom.x, graph->a) < cutoff)
          std::snprintf(v.name, sizeof v.name, "%.11s", atom.name);
    }
    named = 0;
    for (const VELMORA_GRAPH_VERTEX& v : graph->v)
      if (v.name[0]) ++named;
  } while (named < matching && cutoff <= kSiteCutoffMax);
  std::printf("Message: graph occ label = %ld/%ld, cutoff = %.3lf A.\n", named, matching, cutoff);
  // Unnamed minima of one energy (within 0.3 meV) share an interstitial name.
  const double same = 0.0003;
  long counter = 1;
  for (std::size_t k = 0; k < graph->v.size(); ++k) {
    if (graph->v[k].name[0]) continue;
    char made[64], name[12];
    std::snprintf(made, sizeof made, "%.2s_i%ld", graph->type, counter);
    std::snprintf(name, sizeof name, "%.10s", made);
    const double en = graph->v[k].en;
    for (std::size_t j = k; j < graph->v.size(); ++j)
      if (!graph->v[j].name[0] && std::fabs(graph->v[j].en - en) < same)
        std::snprintf(graph->v[j].name, sizeof graph->v[j].name, "%s", name);
    ++counter;
  }
  counter = 1;
  for (std::size_t k = 0; k < graph->v.size(); ++k) {
    if (graph->v[k].site != 0) continue;
    const double en = graph->v[k].en;
    for (std::size_t j = k; j < graph->v.size(); ++j)
      if (graph->v[j].site == 0 && std::fabs(graph->v[j].en - en) < same)
        graph->v[j].site = counter;
    ++counter;
  }
  return 0;
}


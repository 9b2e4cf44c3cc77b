// Kinetic Monte Carlo of the conducting ions on the supergraph of their site
// graph (--kmc): residence-time algorithm with the hop rates kept in a sum
// tree (event selection and rate updates in logarithmic time), occupancy
// times accounted lazily, diffusivity from the mean squared displacement.
#include "velmora-kmc.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "velmora-alloc.h"
#include "velmora-cube.h"
#include "velmora-fft.h"
#include "velmora-fp.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-neighbor.h"

namespace {

// Nernst-Einstein factors: 1/k_B in K/eV, e in 1e-19 C, and the factor 10
// that turns e * A^-3 * 1e-8 m^2/(V s) into S/cm.
constexpr double kInverseKb = 11604.52;
constexpr double kElementaryCharge = 1.60217662;

// Einstein relation per component: along one axis <dx^2> = 2 D t, in space
// <|d|^2> = 6 D t (c = 0, 1, 2 the axes, 3 the total), so that the total is
// the mean of the three axes.
double einstein_diffusivity(double msd, int c, double t) {
  return msd / ((c == 3 ? 6.0 : 2.0) * t);
}

bool kmc_ready(const VELMORA_KMC* kmc) {
  if (!kmc || !kmc->graph) {
    std::fprintf(stderr, "Error: VELMORA_KMC has not been properly initialized.\n");
    return false;
  }
  return true;
}

void mark_vertex(VELMORA_KMC* kmc, long v) {
  if (kmc->kv[v].update) return;
  kmc->kv[v].update = true;
  kmc->v_mark.push_back(v);
}

void mark_edge(VELMORA_KMC* kmc, long e) {
  if (kmc->ke[e].update) return;
  kmc->ke[e].update = true;
  kmc->e_mark.push_back(e);
}

// Leaf k of the sum tree holds edge k's rate when positive; each inner node
// is recomputed from its two children (never updated by differences), so
// the sums carry no rounding drift however many events pass.
void tree_rebuild(VELMORA_KMC* kmc) {
  const long total = static_cast<long>(kmc->ke.size());
  kmc->leaf = 1;
  while (kmc->leaf < total) kmc->leaf *= 2;
  kmc->tree.assign(2 * static_cast<std::size_t>(kmc->leaf), 0.0);
  for (long k = 0; k < total; ++k) kmc->tree[kmc->leaf + k] = kmc->ke[k].r > 0.0 ? kmc->ke[k].r : 0.0;
  for (long i = kmc->leaf - 1; i >= 1; --i) kmc->tree[i] = kmc->tree[2 * i] + kmc->tree[2 * i + 1];
}

// Energy of an ion on vertex v with the other ions as they are, leaving out
// the one on vertex `skip` (the hop partner).
double vertex_energy(const VELMORA_KMC* kmc, long v, long skip) {
  const VELMORA_KMC_VERTEX& kv = kmc->kv[v];
  double en = kv.en;
  for (int n = 0; n < kv.total_v; ++n) {
    const long w = kv.v_n[n];
    if (w != skip && kmc->kv[w].occupied) en += kv.v_de[n];
  }
  return en;
}

// Rate of hop k from A to B.  The barrier is measured from A to the highest
// of saddle and both ends: when repulsion pushes an end above the saddle,
// the hop climbs to that end, and the same top seen from B keeps the rates
// in detailed balance, r(A->B)/r(B->A) = (f_A/f_B) exp(-(E_B - E_A)/kT).
double edge_rate(const VELMORA_KMC* kmc, long k) {
  const VELMORA_GRAPH_EDGE& ge = kmc->graph->e[k];
  const long a = ge.v_i, b = ge.v_f;
  if (!kmc->kv[a].occupied || kmc->kv[b].occupied) return 0.0;
  const double en_a = vertex_energy(kmc, a, b);
  const double en_b = vertex_energy(kmc, b, a);
  const VELMORA_KMC_EDGE& ke = kmc->ke[k];
  double en_s = ke.en;
  for (int n = 0; n < ke.total_v; ++n)
    if (kmc->kv[ke.v_n[n]].occupied) en_s += ke.v_de[n];
  const double top = std::fmax(en_s, std::fmax(en_a, en_b));
  return ke.f * std::exp(-(top - en_a) / (VELMORA_KB * kmc->temperature));
}

// An ion leaves vertex v at the current clock: its spell there is closed.
void vertex_leave(VELMORA_KMC* kmc, long v) {
  VELMORA_KMC_VERTEX& kv = kmc->kv[v];
  if (kv.occupied) kv.t += kmc->t_total - kv.t_in;
  kv.occupied = false;
}

void vertex_enter(VELMORA_KMC* kmc, long v) {
  VELMORA_KMC_VERTEX& kv = kmc->kv[v];
  kv.occupied = true;
  kv.t_in = kmc->t_total;
}

// Current displacement of the ion that started at origin vertex o.
void ion_displacement(double d[3], const VELMORA_KMC* kmc, long o) {
  const VELMORA_GRAPH& g = *kmc->graph;
  const VELMORA_KMC_VERTEX& kv = kmc->kv[o];
  const double* p = g.v[kv.at].x;
  const double* x = g.v[o].x;
  for (int c = 0; c < 3; ++c)
    d[c] = kv.y_i[0] * g.a[0][c] + kv.y_i[1] * g.a[1][c] + kv.y_i[2] * g.a[2][c] + p[c] - x[c];
}

void update_displacements(VELMORA_KMC* kmc) {
  for (std::size_t o = 0; o < kmc->kv.size(); ++o)
    if (kmc->kv[o].init && kmc->kv[o].at >= 0) ion_displacement(kmc->kv[o].d, kmc, static_cast<long>(o));
}

// Moves occupancy (and, when `track`, the ion's identity and cell count)
// along edge k.
void hop(VELMORA_KMC* kmc, long k, bool track) {
  const VELMORA_GRAPH_EDGE& ge = kmc->graph->e[k];
  const long a = ge.v_i, b = ge.v_f;
  vertex_leave(kmc, a);
  vertex_enter(kmc, b);
  if (track) {
    const long o = kmc->kv[a].origin;
    kmc->kv[b].origin = o;
    kmc->kv[a].origin = -1;
    if (o >= 0) {
      kmc->kv[o].at = b;
      for (int c = 0; c < 3; ++c) kmc->kv[o].y_i[c] += ge.bound[c];
    }
  }
  mark_vertex(kmc, a);
  mark_vertex(kmc, b);
}

// --------------------------------------------- uncertainty by blocks ----

void block_begin(VELMORA_KMC* kmc) {
  kmc->block_done = 0;
  kmc->block_d.clear();
  kmc->block_t0 = kmc->t;
  kmc->block_start.assign(3 * kmc->kv.size(), 0.0);
}

void block_close(VELMORA_KMC* kmc) {
  const double tau = kmc->t - kmc->block_t0;
  // Blocks exist only within a production run (events evolved outside one
  // have none).
  if (!(tau > 0.0) || kmc->ions < 1 || kmc->block_start.size() != 3 * kmc->kv.size()) return;
  double s[4] = {};
  for (std::size_t o = 0; o < kmc->kv.size(); ++o) {
    if (!kmc->kv[o].init) continue;
    double d[3];
    ion_displacement(d, kmc, static_cast<long>(o));
    for (int c = 0; c < 3; ++c) {
      const double dd = d[c] - kmc->block_start[3 * o + c];
      s[c] += dd * dd;
      s[3] += dd * dd;
      kmc->block_start[3 * o + c] = d[c];
    }
  }
  std::vector<double> dv(4);
  for (int c = 0; c < 4; ++c)
    dv[c] = einstein_diffusivity(s[c] / static_cast<double>(kmc->ions), c, tau);
  kmc->block_d.push_back(dv);
  kmc->block_t0 = kmc->t;
  ++kmc->block_done;
}

void block_check(VELMORA_KMC* kmc) {
  if (kmc->block_done >= kmc->blocks) return;
  const double part = static_cast<double>(kmc->block_done + 1) / kmc->blocks;
  const bool by_time = kmc->t_limit > 0.0;
  if (by_time ? kmc->t >= part * kmc->t_limit
              : static_cast<double>(kmc->step) >= part * static_cast<double>(kmc->step_limit))
    block_close(kmc);
}

// The relative scatter of the block estimates is the relative error of one
// estimate from a single time origin with all ions, which the whole-run D is.
void block_error(VELMORA_KMC* kmc, const double diffusivity[4]) {
  for (int c = 0; c < 4; ++c) kmc->diffusivity_error[c] = 0.0;
  const std::size_t n = kmc->block_d.size();
  if (n < 2) return;
  for (int c = 0; c < 4; ++c) {
    double mean = 0.0, var = 0.0;
    for (const auto& b : kmc->block_d) mean += b[c];
    mean /= n;
    for (const auto& b : kmc->block_d) var += (b[c] - mean) * (b[c] - mean);
    var /= (n - 1);
    if (mean > 0.0) kmc->diffusivity_error[c] = std::sqrt(var) / mean * diffusivity[c];
  }
}

void progress_line(VELMORA_KMC* kmc, int& reported) {
  if (!kmc->progress) return;
  const double part = kmc->t_limit > 0.0 ? kmc->t / kmc->t_limit
                                         : static_cast<double>(kmc->step) / kmc->step_limit;
  const int tenth = static_cast<int>(std::floor(part * 10.0));
  if (tenth > reported && tenth <= 10) {
    reported = tenth;
    std::printf("Message: kmc progress %3d%%: step %ld, t = %.3e ps\n", 10 * tenth, kmc->step,
                kmc->t);
    std::fflush(stdout);
  }
}

}  // namespace

double velmora_kmc_random() { return velmora_random(); }

// ------------------------------------------------------------- building ----

std::unique_ptr<VELMORA_KMC> velmora_kmc_new(std::unique_ptr<VELMORA_GRAPH> graph,
                                             const VELMORA_PROPERTY* ppt, double cutoff) {
  if (!graph || graph->total_v < 1 || graph->total_e < 1 || !ppt || ppt->conducting < 0 ||
      ppt->conducting >= ppt->total || static_cast<int>(ppt->uni.size()) != ppt->total) {
    std::fprintf(stderr,
                 "Error: VELMORA_GRAPH or VELMORA_PROPERTY has not been properly initialized.\n");
    return nullptr;
  }
  if (cutoff < 0.0) cutoff = 5.0;
  auto kmc = std::make_unique<VELMORA_KMC>();
  const VELMORA_GRAPH& g = *graph;
  kmc->kv.resize(g.total_v);
  kmc->ke.resize(g.total_e);
  const VELMORA_PROPERTY_UNITARY& ion = ppt->uni[ppt->conducting];
  const double q2 = ion.q * ion.q;
  const double r_eff = ppt->sf * (ion.rc + ion.rc);
  auto repulsion = [&](double x) {
    return VELMORA_COULOMB * velmora_energy_coulombic(x, q2, r_eff);
  };
  // Vertices near a point: the shared image search over the vertices as the
  // atoms of a cell of the supergraph's lattice gives the candidates (in
  // index order, the images of one vertex side by side); each candidate's
  // distance is then the 27-image distance of the graph, so the lists are
  // those of the plain double loop without its V^2 cost.
  VELMORA_CELL sites;
  sites.atom.resize(g.total_v);
  sites.total = g.total_v;
  velmora_matrix33_double_copy(sites.a, g.a);
  for (long i = 0; i < g.total_v; ++i) velmora_vector3_double_copy(sites.atom[i].x, g.v[i].x);
  std::unique_ptr<VELMORA_NEIGHBOR> nb;
  double spacing[3];
  if (cutoff > 0.0 && velmora_neighbor_plane_spacing(spacing, g.a)) {
    long range[3];
    velmora_neighbor_range(range, spacing, cutoff, 1.0);
    const double images = static_cast<double>(g.total_v) * (2 * range[0] + 1) *
                          (2 * range[1] + 1) * (2 * range[2] + 1);
    // A lattice short against the cut-off would list too many images: the
    // plain loop then.
    if (images < 0.5 * VELMORA_NEIGHBOR_MAX_IMAGES)
      nb = velmora_neighbor_new(sites, cutoff, VELMORA_NEIGHBOR_NO_SKIP);
  }
  auto near = [&](const double* x, std::vector<long>& out, std::vector<double>& dist) {
    out.clear();
    dist.clear();
    if (!(cutoff > 0.0)) return;
    if (nb) {
      std::vector<int> cand;
      velmora_neighbor_gather(cand, *nb, x, cutoff + 1e-9);
      long last = -1;
      for (int img : cand) {
        const long j = nb->atom[img];
        if (j == last) continue;
        last = j;
        const double d = velmora_dot_distance(x, g.v[j].x, g.a);
        if (d < cutoff) {
          out.push_back(j);
          dist.push_back(d);
        }
      }
      return;
    }
    for (long j = 0; j < g.total_v; ++j) {
      const double d = velmora_dot_distance(x, g.v[j].x, g.a);
      if (d < cutoff) {
        out.push_back(j);
        dist.push_back(d);
      }
    }
  };
  // The repulsion of an ion at point x and one on vertex j: a vertex that
  // stands for two or more split sites of the structure (members) holds its
  // ion on the one farthest from x, as the ions of a garnet's 48g cage sit
  // on the 96h site away from an occupied 24d neighbour; the same for two
  // such vertices, which keeps the energy a sum of pair terms (and the
  // rates in detailed balance).
  auto positions = [&](long v, const double* towards) {
    std::vector<std::array<double, 3>> out;
    double image[3];
    velmora_dot_pivot(image, g.v[v].x, towards, g.a);
    double shift[3];
    for (int c = 0; c < 3; ++c) shift[c] = image[c] - g.v[v].x[c];
    // A vertex of one site (or none) holds its ion at the landscape's
    // minimum.
    if (g.v[v].member.size() < 2) {
      out.push_back({image[0], image[1], image[2]});
      return out;
    }
    for (const auto& m : g.v[v].member)
      out.push_back({m[0] + shift[0], m[1] + shift[1], m[2] + shift[2]});
    return out;
  };
  auto farthest = [&](const std::vector<std::array<double, 3>>& from, long j,
                      const double* towards) {
    double best = 0.0;
    for (const auto& q : positions(j, towards))
      for (const auto& p : from) best = std::max(best, velmora_vector3_double_distance(p.data(), q.data()));
    return best;
  };
  std::vector<long> found;
  std::vector<double> dist;
  for (long i = 0; i < g.total_v; ++i) {
    VELMORA_KMC_VERTEX& kv = kmc->kv[i];
    kv.v = i;
    kv.en = g.v[i].en;
    near(g.v[i].x, found, dist);
    const std::vector<std::array<double, 3>> own = positions(i, g.v[i].x);
    for (std::size_t n = 0; n < found.size(); ++n) {
      if (found[n] == i) continue;
      kv.v_n.push_back(found[n]);
      kv.v_de.push_back(repulsion(farthest(own, found[n], g.v[i].x)));
    }
    kv.total_v = static_cast<int>(kv.v_n.size());
  }
  // Edges whose saddle lies near a vertex: the vertices near each saddle,
  // turned round, in edge order per vertex.
  for (long k = 0; k < g.total_e; ++k) {
    near(g.e[k].x, found, dist);
    for (long j : found) kmc->kv[j].e_n.push_back(k);
    VELMORA_KMC_EDGE& ke = kmc->ke[k];
    const std::vector<std::array<double, 3>> saddle{{g.e[k].x[0], g.e[k].x[1], g.e[k].x[2]}};
    for (std::size_t n = 0; n < found.size(); ++n) {
      if (found[n] == g.e[k].v_i || found[n] == g.e[k].v_f) continue;
      ke.v_n.push_back(found[n]);
      ke.v_de.push_back(repulsion(farthest(saddle, found[n], g.e[k].x)));
    }
    ke.total_v = static_cast<int>(ke.v_n.size());
  }
  for (auto& kv : kmc->kv) kv.total_e = static_cast<int>(kv.e_n.size());
  for (long k = 0; k < g.total_e; ++k) {
    const VELMORA_GRAPH_EDGE& ge = g.e[k];
    VELMORA_KMC_EDGE& ke = kmc->ke[k];
    ke.e = k;
    ke.en = ge.en;
    ke.l = ge.l;
    ke.r2.assign(static_cast<std::size_t>(std::max(g.v[ge.v_f].total_e, 0)), 0.0);
    // Curvature along the hop at the start site, d^T H d = sum_c eig_c
    // (d . e_c)^2 from the eigen-decomposition: the squared projections make
    // it independent of the basis chosen within degenerate eigenvalues (an
    // in-plane pair under a 3-, 4- or 6-fold axis), so that symmetric hops
    // get equal attempt frequencies and no drift arises from rates that
    // favour one direction of a ring of hops.
    const VELMORA_GRAPH_VERTEX& a = g.v[ge.v_i];
    double curvature = 0.0;
    for (int c = 0; c < 3; ++c) {
      const double norm = std::sqrt(a.eiv[c][0] * a.eiv[c][0] + a.eiv[c][1] * a.eiv[c][1] +
                                    a.eiv[c][2] * a.eiv[c][2]);
      if (!(norm > 0.0)) continue;
      const double proj =
          (ge.dir[0] * a.eiv[c][0] + ge.dir[1] * a.eiv[c][1] + ge.dir[2] * a.eiv[c][2]) / norm;
      curvature += a.eig[c] * proj * proj;
    }
    if (!(curvature > 0.001)) curvature = 0.001;
    // 15.6 ~ sqrt(1 eV / (A^2 amu)) / (2 pi) in THz: f = (1/2pi) sqrt(K/m).
    ke.f = 15.6 * std::sqrt(curvature / g.m);
  }
  kmc->graph = std::move(graph);
  tree_rebuild(kmc.get());
  return kmc;
}

// ---------------------------------------------------------------- rates ----

int velmora_kmc_update_rate(VELMORA_KMC* kmc) {
  if (!kmc || !kmc->graph || !(kmc->temperature > 0.0)) {
    std::fprintf(stderr, "Error: wrong inputs for generating rates.\n");
    return 1;
  }
  const VELMORA_GRAPH& g = *kmc->graph;
  for (std::size_t m = 0; m < kmc->v_mark.size(); ++m) {
    const long v = kmc->v_mark[m];
    VELMORA_KMC_VERTEX& kv = kmc->kv[v];
    if (!kv.update) continue;
    for (long w : kv.v_n)
      for (long e : g.v[w].e) {
        mark_edge(kmc, e);
        mark_edge(kmc, g.e[e].e_r);
      }
    for (long e : kv.e_n) mark_edge(kmc, e);
    for (long e : g.v[v].e) {
      mark_edge(kmc, e);
      mark_edge(kmc, g.e[e].e_r);
    }
    kv.update = false;
  }
  kmc->v_mark.clear();
  // Changed leaves first, then their ancestors level by level, each inner
  // node once (the edges of one site lie side by side in the tree).
  std::vector<long>& nodes = kmc->tree_nodes;
  nodes.clear();
  for (long k : kmc->e_mark) {
    VELMORA_KMC_EDGE& ke = kmc->ke[k];
    if (!ke.update) continue;
    ke.r = edge_rate(kmc, k);
    ke.update = false;
    const double leaf = ke.r > 0.0 ? ke.r : 0.0;
    double& slot = kmc->tree[kmc->leaf + k];
    if (slot == leaf) continue;
    slot = leaf;
    nodes.push_back((kmc->leaf + k) / 2);
  }
  kmc->e_mark.clear();
  while (!nodes.empty()) {
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    for (long i : nodes) kmc->tree[i] = kmc->tree[2 * i] + kmc->tree[2 * i + 1];
    if (nodes.front() == 1) break;
    for (long& i : nodes) i /= 2;
  }
  return 0;
}

int velmora_kmc_update_rate_full(VELMORA_KMC* kmc) {
  if (!kmc || !kmc->graph || !(kmc->temperature > 0.0)) {
    std::fprintf(stderr, "Error: wrong inputs for generating rates.\n");
    return 1;
  }
  for (auto& kv : kmc->kv) kv.update = false;
  for (auto& ke : kmc->ke) ke.update = false;
  kmc->v_mark.clear();
  kmc->e_mark.clear();
  for (std::size_t k = 0; k < kmc->ke.size(); ++k) kmc->ke[k].r = edge_rate(kmc, static_cast<long>(k));
  tree_rebuild(kmc);
  return 0;
}

double velmora_kmc_total_rate(const VELMORA_KMC* kmc) {
  if (!kmc->linear) return kmc->tree[1];
  double sum = 0.0;
  for (const auto& ke : kmc->ke)
    if (ke.r > 0.0) sum += ke.r;
  return sum;
}

long velmora_kmc_select(const VELMORA_KMC* kmc, double u) {
  const long total = static_cast<long>(kmc->ke.size());
  long chosen = -1;
  if (kmc->linear) {
    double sum = 0.0, target = u * velmora_kmc_total_rate(kmc);
    for (long k = 0; k < total; ++k) {
      if (!(kmc->ke[k].r > 0.0)) continue;
      sum += kmc->ke[k].r;
      chosen = k;
      if (sum > target) break;
    }
    return chosen;
  }
  double target = u * kmc->tree[1];
  long i = 1;
  while (i < kmc->leaf) {
    if (target < kmc->tree[2 * i] || !(kmc->tree[2 * i + 1] > 0.0)) {
      i = 2 * i;
    } else {
      target -= kmc->tree[2 * i];
      i = 2 * i + 1;
    }
  }
  chosen = i - kmc->leaf;
  // Only an edge of positive rate may hop; rounding at u = 1 could end on an
  // empty leaf, then the nearest positive one is taken.
  if (chosen < total && kmc->ke[chosen].r > 0.0) return chosen;
  for (long k = std::min(chosen, total - 1); k >= 0; --k)
    if (kmc->ke[k].r > 0.0) return k;
  for (long k = chosen + 1; k < total; ++k)
    if (kmc->ke[k].r > 0.0) return k;
  return -1;
}

// ------------------------------------------------- placing and running ----

int velmora_kmc_init(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  kmc->t_total = 0.0;
  if (kmc->temperature <= 0.0) kmc->temperature = 300.0;
  if (kmc->t_limit == 0.0 && kmc->step_limit == 0) {
    kmc->t_limit = -0.1;
    kmc->step_limit = -1;
  }
  if (kmc->t_limit < 0.0) kmc->t_limit = 0.0;
  if (kmc->step_limit < 0) kmc->step_limit = 10000000;
  for (auto& kv : kmc->kv) {
    kv.t = 0.0;
    kv.occupied = false;
  }
  if (kmc->step_log < 1 || kmc->step_log > kmc->step_limit) kmc->step_log = 10000;
  kmc->log.clear();
  kmc->xyz.clear();
  kmc->log_open = kmc->xyz_open = false;
  // A name that cannot be written is refused before the run; the files
  // themselves are written at its end, so an earlier run's stay until then.
  if (!kmc->logname.empty()) {
    if (velmora_file_check_writable(kmc->logname.c_str()) != 0) return 1;
    kmc->log_open = true;
  }
  if (!kmc->xyzname.empty()) {
    if (velmora_file_check_writable(kmc->xyzname.c_str()) != 0) return 1;
    kmc->xyz_open = true;
  }
  if (velmora_kmc_reset(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_reset() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_kmc_reset(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  const VELMORA_GRAPH& g = *kmc->graph;
  kmc->step = 0;
  kmc->t = 0.0;
  for (std::size_t v = 0; v < kmc->kv.size(); ++v) {
    VELMORA_KMC_VERTEX& kv = kmc->kv[v];
    vertex_leave(kmc, static_cast<long>(v));
    kv.origin = -1;
    kv.at = -1;
    kv.init = false;
    for (int c = 0; c < 3; ++c) {
      kv.y_i[c] = 0;
      kv.d[c] = 0.0;
    }
  }
  auto place = [&](long v) {
    vertex_enter(kmc, v);
    kmc->kv[v].init = true;
    kmc->kv[v].origin = v;
    kmc->kv[v].at = v;
  };
  double ions_left = g.total_occ;
  kmc->ions = 0;
  // By occupancy weight.  The weight left is summed afresh for every ion
  // (not kept by subtraction, which rounding can leave above the true sum
  // so that the walk never reaches the draw).
  while (ions_left >= 1.0) {
    double weight = 0.0;
    long last = -1;
    for (long v = 0; v < g.total_v; ++v)
      if (!kmc->kv[v].occupied && g.v[v].occ > 0.0) {
        weight += g.v[v].occ;
        last = v;
      }
    if (!(weight > 1e-6)) break;
    const double u = velmora_kmc_random() * weight;
    double sum = 0.0;
    long chosen = -1;
    for (long v = 0; v < g.total_v && chosen < 0; ++v)
      if (!kmc->kv[v].occupied && g.v[v].occ > 0.0) {
        sum += g.v[v].occ;
        if (sum >= u) chosen = v;
      }
    if (chosen < 0) chosen = last;  // u within rounding of the whole weight
    if (chosen < 0) {
      std::fprintf(stderr, "Error: unable to assign occ.\n");
      return 1;
    }
    place(chosen);
    ions_left -= 1.0;
    ++kmc->ions;
  }
  // Ions left without occupancy weight go to the lowest free energies.
  while (ions_left >= 0.999999) {
    long best = -1;
    double best_en = 0.0;
    for (long v = 0; v < g.total_v; ++v) {
      if (kmc->kv[v].occupied) continue;
      const double en = vertex_energy(kmc, v, -1);
      if (best < 0 || en < best_en) {
        best = v;
        best_en = en;
      }
    }
    if (best < 0) {
      std::fprintf(stderr, "Error: index_min = %ld out of bound.\n", best);
      return 1;
    }
    place(best);
    ions_left -= 1.0;
    ++kmc->ions;
  }
  if (velmora_kmc_update_rate_full(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_update_rate() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_kmc_equilibrate(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  long n = static_cast<long>(static_cast<double>(kmc->step_limit) * 0.01);
  if (n < 10000) n = 10000;
  for (long s = 0; s < n; ++s) {
    const double rate = velmora_kmc_total_rate(kmc);
    if (rate < 1e-20) {
      std::fprintf(stderr, "Error: overall rate is too small: %.3e (step %ld)\n", rate, s);
      return 1;
    }
    const long k = velmora_kmc_select(kmc, velmora_kmc_random());
    if (k < 0) {
      std::fprintf(stderr, "Error: transition failed.\n");
      return 1;
    }
    hop(kmc, k, false);
    if (velmora_kmc_update_rate(kmc) != 0) {
      std::fprintf(stderr, "Error: velmora_kmc_update_rate() returns non-zero.\n");
      return 1;
    }
  }
  for (std::size_t v = 0; v < kmc->kv.size(); ++v) {
    VELMORA_KMC_VERTEX& kv = kmc->kv[v];
    kv.init = kv.occupied;
    kv.origin = kv.occupied ? static_cast<long>(v) : -1;
    kv.at = kv.origin;
    for (int c = 0; c < 3; ++c) {
      kv.y_i[c] = 0;
      kv.d[c] = 0.0;
    }
  }
  return 0;
}

int velmora_kmc_evolve(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  const double rate = velmora_kmc_total_rate(kmc);
  if (rate < 1e-20) {
    std::fprintf(stderr, "Error: overall rate is too small.\n");
    return 1;
  }
  const long k = velmora_kmc_select(kmc, velmora_kmc_random());
  if (k < 0) {
    std::fprintf(stderr, "Error: transition failed.\n");
    return 1;
  }
  double u = velmora_kmc_random();
  while (u < 1e-5 || u > 0.99999) u = velmora_kmc_random();
  const double dt = -std::log(u) / rate;
  // The waiting time belongs to the configuration before the hop: the clock
  // advances first, so that every spell, the start vertex's included, runs
  // to the moment of the hop.
  kmc->t += dt;
  kmc->t_total += dt;
  hop(kmc, k, true);
  ++kmc->step;
  if (velmora_kmc_update_rate(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_update_rate() returns non-zero.\n");
    return 1;
  }
  block_check(kmc);
  if (velmora_kmc_log(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_log() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_kmc_run(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  if (velmora_kmc_equilibrate(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_equilibrate() returns non-zero.\n");
    return 1;
  }
  block_begin(kmc);
  if (velmora_kmc_log(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_log() returns non-zero.\n");
    return 1;
  }
  // Progress lines only on runs long enough to be waited for.
  const bool saved = kmc->progress;
  kmc->progress = saved && kmc->step_limit >= 1000000;
  int reported = 0;
  auto evolve_while = [&](auto more) {
    while (more()) {
      if (velmora_kmc_evolve(kmc) != 0) {
        std::fprintf(stderr, "Error: velmora_kmc_evolve() returns non-zero.\n");
        return false;
      }
      if ((kmc->step & 1023) == 0) progress_line(kmc, reported);
    }
    return true;
  };
  bool ok = true;
  if (kmc->t_limit <= 0.0) {
    if (kmc->step_limit < 1) {
      std::fprintf(stderr, "Error: t_limit and step_limit cannot both be zero.\n");
      kmc->progress = saved;
      return 1;
    }
    ok = evolve_while([&] { return kmc->step < kmc->step_limit; });
  } else if (kmc->step_limit < 1) {
    ok = evolve_while([&] { return kmc->t < kmc->t_limit; });
  } else {
    ok = evolve_while([&] { return kmc->t < kmc->t_limit && kmc->step < kmc->step_limit; });
  }
  if (ok && kmc->t_limit <= 1e-5)
    ok = evolve_while([&] { return kmc->step < kmc->step_limit; });
  kmc->progress = saved;
  if (!ok) return 1;
  // A run cut short by the other limit closes its last, shorter block.
  if (kmc->block_done < kmc->blocks) block_close(kmc);
  return 0;
}

int velmora_kmc_calculate_conductivity(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  const VELMORA_GRAPH& g = *kmc->graph;
  std::printf("KMC: temperature = %.2lf K.\n", kmc->temperature);
  std::printf("KMC: t_limit = %.1e ps; step_limit = %ld.\n", kmc->t_limit, kmc->step_limit);
  std::printf("KMC: c = %.1e A^-3; os = %d.\n", g.c, g.os);
  std::printf("KMC: start calculating conductivity...\n");
  std::fflush(stdout);
  if (velmora_kmc_reset(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_reset() returns non-zero.\n");
    return 1;
  }
  if (velmora_kmc_run(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_run() returns non-zero.\n");
    return 1;
  }
  if (kmc->ions < 1 || !(kmc->t > 0.0)) {
    std::fprintf(stderr, "Error: no ion moved, the diffusivity is undefined.\n");
    return 1;
  }
  update_displacements(kmc);
  double s[4] = {};
  for (const auto& kv : kmc->kv) {
    if (!kv.init) continue;
    for (int c = 0; c < 3; ++c) {
      s[c] += kv.d[c] * kv.d[c];
      s[3] += kv.d[c] * kv.d[c];
    }
  }
  // The mean over the ions actually placed (a fractional total occupancy
  // places only its whole part).
  double d[4];
  for (int c = 0; c < 4; ++c) {
    s[c] /= static_cast<double>(kmc->ions);
    d[c] = einstein_diffusivity(s[c], c, kmc->t);
    const double mu = (g.os / kmc->temperature) * kInverseKb * d[c];
    const double sigma = g.os * g.c * kElementaryCharge * mu * 10.0;
    kmc->displacement[c] += std::sqrt(s[c]);
    kmc->diffusivity[c] += d[c];
    kmc->mobility[c] += mu;
    kmc->conductivity[c] += sigma;
  }
  block_error(kmc, d);
  velmora_kmc_print_result(kmc);
  return 0;
}

// --------------------------------------------------------------- logging ----

int velmora_kmc_log(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  if (kmc->step_log < 1 || kmc->step % kmc->step_log != 0) return 0;
  if (kmc->log_open && velmora_kmc_log_trj(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_log_trj() returns non-zero.\n");
    return 1;
  }
  if (kmc->xyz_open && velmora_kmc_log_xyz(kmc) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_log_xyz() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_kmc_log_trj(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  char buf[128];
  if (kmc->step == 0) {
    kmc->log += "step,t";
    for (std::size_t o = 0; o < kmc->kv.size(); ++o)
      if (kmc->kv[o].init) {
        std::snprintf(buf, sizeof buf, ",site%ld_dx,site%ld_dy,site%ld_dz", static_cast<long>(o),
                      static_cast<long>(o), static_cast<long>(o));
        kmc->log += buf;
      }
    kmc->log += "\n";
  }
  std::snprintf(buf, sizeof buf, "%ld,%lf", kmc->step, kmc->t);
  kmc->log += buf;
  update_displacements(kmc);
  for (const auto& kv : kmc->kv)
    if (kv.init) {
      std::snprintf(buf, sizeof buf, ",%lf,%lf,%lf", kv.d[0], kv.d[1], kv.d[2]);
      kmc->log += buf;
    }
  kmc->log += "\n";
  return 0;
}

int velmora_kmc_log_xyz(VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return 1;
  char buf[160];
  long count = 0;
  for (const auto& kv : kmc->kv) count += kv.init;
  std::snprintf(buf, sizeof buf, "%ld\n%ld %12.6lf\n", count, kmc->step, kmc->t);
  kmc->xyz += buf;
  update_displacements(kmc);
  for (const auto& kv : kmc->kv)
    if (kv.init) {
      std::snprintf(buf, sizeof buf, "%s %lf %lf %lf\n", kmc->graph->type, kv.d[0], kv.d[1],
                    kv.d[2]);
      kmc->xyz += buf;
    }
  return 0;
}

int velmora_kmc_write_files(VELMORA_KMC* kmc) {
  if (!kmc) return 1;
  int status = 0;
  if (kmc->log_open && velmora_file_write_atomically(kmc->logname.c_str(), kmc->log) != 0) {
    std::fprintf(stderr, "Error: unable to create log file %s.\n", kmc->logname.c_str());
    status = 1;
  }
  if (kmc->xyz_open && velmora_file_write_atomically(kmc->xyzname.c_str(), kmc->xyz) != 0) {
    std::fprintf(stderr, "Error: unable to create log file %s.\n", kmc->xyzname.c_str());
    status = 1;
  }
  return status;
}

void velmora_kmc_flush_time(VELMORA_KMC* kmc) {
  for (auto& kv : kmc->kv)
    if (kv.occupied) {
      kv.t += kmc->t_total - kv.t_in;
      kv.t_in = kmc->t_total;
    }
}

// ----------------------------------------------------------- print-outs ----

void velmora_kmc_print_result(VELMORA_KMC* kmc) {
  if (!kmc || !kmc->graph) {
    std::printf("KMC: (not allocated)\n");
    return;
  }
  const VELMORA_GRAPH& g = *kmc->graph;
  velmora_kmc_flush_time(kmc);
  std::printf("KMC: temperature = %.3lf\n", kmc->temperature);
  std::printf("KMC: conducting species: %s%d%c\n", g.type, std::abs(g.os), g.os > 0 ? '+' : '-');
  std::printf("KMC: time = %.1e / %.1e (time_total = %.1e) ps\n", kmc->t, kmc->t_limit,
              kmc->t_total);
  std::printf("KMC: step = %ld / %ld; step_log = %ld\n", kmc->step, kmc->step_limit, kmc->step_log);
  const double* x = kmc->displacement;
  std::printf("KMC: displacement = %lf, (%lf, %lf, %lf) A\n", x[3], x[0], x[1], x[2]);
  x = kmc->diffusivity;
  std::printf("KMC: diffusivity = %.2e, (%.2e, %.2e, %.2e) E-8 m^2/s\n", x[3], x[0], x[1], x[2]);
  x = kmc->diffusivity_error;
  if (kmc->block_d.size() >= 2)
    std::printf("KMC: diffusivity error = %.2e, (%.2e, %.2e, %.2e) E-8 m^2/s (scatter of %zu "
                "blocks)\n",
                x[3], x[0], x[1], x[2], kmc->block_d.size());
  x = kmc->mobility;
  std::printf("KMC: mobility = %.2e, (%.2e, %.2e, %.2e) E-8 m^2/(V*s)\n", x[3], x[0], x[1], x[2]);
  x = kmc->conductivity;
  std::printf("KMC: conductivity = %.2e, (%.2e, %.2e, %.2e) S/cm\n", x[3], x[0], x[1], x[2]);
  std::printf("KMC: total site = %ld\n", g.total_v);
  std::printf("KMC: summary of site-averaged occupancy:\n");
  // Groups of equal name in order of first appearance.
  std::vector<long> first;
  std::vector<double> sum;
  std::vector<long> count;
  std::vector<long> group(g.total_v, -1);
  for (long v = 0; v < g.total_v; ++v) {
    long k = 0;
    for (; k < static_cast<long>(first.size()); ++k)
      if (std::strcmp(g.v[first[k]].name, g.v[v].name) == 0) break;
    if (k == static_cast<long>(first.size())) {
      first.push_back(v);
      sum.push_back(0.0);
      count.push_back(0);
    }
    group[v] = k;
    sum[k] += kmc->t_total > 0.0 ? kmc->kv[v].t / kmc->t_total : 0.0;
    ++count[k];
  }
  double total = 0.0;
  for (std::size_t k = 0; k < first.size(); ++k) {
    std::printf("KMC: [%8s] %.3lf (multiplicity = %4ld)\n", g.v[first[k]].name,
                sum[k] / count[k], count[k]);
    total += sum[k];
  }
  std::printf("KMC: [%8s] %.3lf / %.3lf\n", "total", total, g.total_occ);
  if (!kmc->logname.empty())
    std::printf("KMC: displacement information saved to %s\n", kmc->logname.c_str());
  if (!kmc->xyzname.empty())
    std::printf("KMC: trajectory information saved to %s\n", kmc->xyzname.c_str());
}

// ---------------------------------------------------------------- exports ----

std::unique_ptr<VELMORA_CELL> velmora_kmc_export_to_cell(const VELMORA_KMC* kmc) {
  if (!kmc_ready(kmc)) return nullptr;
  const VELMORA_GRAPH& g = *kmc->graph;
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_new(g.total_v);
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_cell_new() returns NULL.\n");
    return nullptr;
  }
  velmora_matrix33_double_copy(cell->a, g.a);
  for (long v = 0; v < g.total_v; ++v) {
    VELMORA_ATOM& atom = cell->atom[v];
    std::snprintf(atom.name, sizeof atom.name, "%.11s", g.v[v].name);
    std::snprintf(atom.type, sizeof atom.type, "%.2s", g.type);
    atom.os = g.os;  // the ion's own oxidation state
    velmora_vector3_double_copy(atom.x, g.v[v].x);
    atom.occ = kmc->kv[v].occupied ? 1.0 : 0.001;
  }
  velmora_cell_update_fractional(cell.get());
  return cell;
}

std::unique_ptr<VELMORA_CELL> velmora_kmc_export_occ_to_cell(VELMORA_KMC* kmc,
                                                              const VELMORA_CELL* supercell) {
  if (!kmc_ready(kmc)) return nullptr;
  std::unique_ptr<VELMORA_CELL> cell = velmora_cell_copy(supercell);
  if (!cell) {
    std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
    return nullptr;
  }
  const VELMORA_GRAPH& g = *kmc->graph;
  velmora_kmc_flush_time(kmc);
  std::vector<VELMORA_ATOM> kept;
  for (const VELMORA_ATOM& a : cell->atom)
    if (!(std::strcmp(a.type, g.type) == 0 && a.os == g.os)) kept.push_back(a);
  for (long v = 0; v < g.total_v; ++v) {
    VELMORA_ATOM atom;
    char name[48];
    std::snprintf(name, sizeof name, "%s%ld", g.type, v + 1);
    std::snprintf(atom.name, 11, "%.10s", name);  // at most 10 characters
    std::snprintf(atom.type, sizeof atom.type, "%.2s", g.type);
    atom.os = g.os;
    atom.occ = kmc->t_total > 0.0 ? kmc->kv[v].t / kmc->t_total : 0.0;
    velmora_vector3_double_copy(atom.x, g.v[v].x);
    kept.push_back(atom);
  }
  cell->atom = std::move(kept);
  cell->total = static_cast<long>(cell->atom.size());
  velmora_cell_update_fractional(cell.get());
  return cell;
}

// ----------------------------------------------------------------- driver ----

std::unique_ptr<VELMORA_KMC> velmora_kmc_new_from_file(
    std::unique_ptr<VELMORA_CELL>& cell, const char* cifname, const char* cubename,
    const char* type, int os, int super[3], double sf, double cutoff, const char* dir_symcards,
    const char* dir_unitary, const char* dir_binary) {
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  if (velmora_cell_import_cif_from_file(cell, symmetry, cifname, dir_symcards, dir_unitary) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_file() returns non-zero.\n");
    return nullptr;
  }
  symmetry.reset();
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_property_import_from_cell(cell.get(), type, os, sf, dir_unitary, dir_binary);
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CUBE> cube;
  if (velmora_cube_import_from_file(cube, nullptr, cubename, true, dir_unitary) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_import_from_file() returns non-zero.\n");
    return nullptr;
  }
  if (!velmora_cube_check_conducting(cube.get(), cubename, type, os)) return nullptr;
  if (!velmora_topology_lattice_match(cube->a, cell.get(), cubename, cifname)) return nullptr;
  std::unique_ptr<VELMORA_FPCUBE> map = velmora_fpcube_new_from_cube(cube.get());
  if (!map) {
    std::fprintf(stderr, "Error: velmora_fpcube_new_from_cube() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FPHALF_LIST> list = velmora_fphalf_list_new_from_fpcube(map.get());
  if (!list) {
    std::fprintf(stderr, "Error: velmora_fphalf_list_new_from_fpcube() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_FFT> fft = velmora_fft_new_from_cube(cube.get());
  if (!fft) {
    std::fprintf(stderr, "Error: velmora_fft_new_from_cube() returns NULL.\n");
    return nullptr;
  }
  cube.reset();
  for (int d = 0; d < 3; ++d)
    if (super[d] < 1) {
      const double length = std::sqrt(cell->a[d][0] * cell->a[d][0] +
                                      cell->a[d][1] * cell->a[d][1] + cell->a[d][2] * cell->a[d][2]);
      super[d] = static_cast<int>(std::ceil(25.0 / length));
      if (super[d] < 1) super[d] = 1;
    }
  // A supercell far beyond what any run could fill is a typing error.
  if (static_cast<double>(super[0]) * super[1] * super[2] > 1e5) {
    std::fprintf(stderr, "Error: supercell [%d, %d, %d] is too large.\n", super[0], super[1],
                 super[2]);
    return nullptr;
  }
  std::printf("Message: supercell [%d, %d, %d]\n", super[0], super[1], super[2]);
  std::unique_ptr<VELMORA_GRAPH> small =
      velmora_graph_new_filled(map.get(), list.get(), fft.get(), cell.get(), ppt.get());
  if (!small) {
    std::fprintf(stderr, "Error: velmora_graph_new_filled() returns NULL.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_GRAPH> graph = velmora_graph_new_supergraph(small.get(), super);
  if (!graph) {
    std::fprintf(stderr, "Error: velmora_graph_new_supergraph() returns NULL.\n");
    return nullptr;
  }
  small.reset();
  std::unique_ptr<VELMORA_KMC> kmc = velmora_kmc_new(std::move(graph), ppt.get(), cutoff);
  if (!kmc) {
    std::fprintf(stderr, "Error: velmora_kmc_new() returns NULL.\n");
    return nullptr;
  }
  return kmc;
}

double velmora_kmc_calculate_conductivity_from_file(
    const char* cifname, const char* cubename, const char* type, int os, int super[3], double sf,
    double temperature, double t_limit, long step_limit, long step_log, double cutoff,
    const char* dir_symcards, const char* dir_unitary, const char* dir_binary) {
  const double failed = -0.1;
  const std::string base(cifname);
  if (base.size() > 1000) {
    std::fprintf(stderr, "Error: the file name %s is too long.\n", cifname);
    return failed;
  }
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_KMC> kmc =
      velmora_kmc_new_from_file(cell, cifname, cubename, type, os, super, sf, cutoff,
                                dir_symcards, dir_unitary, dir_binary);
  if (!kmc) return failed;
  kmc->temperature = temperature;
  kmc->t_limit = t_limit;
  kmc->step_limit = step_limit;
  kmc->step_log = step_log;
  kmc->logname = base + ".kmc.log.txt";
  kmc->xyzname = base + ".kmc.xyz.txt";
  if (velmora_kmc_init(kmc.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_init() returns non-zero.\n");
    return failed;
  }
  std::unique_ptr<VELMORA_CELL> start = velmora_kmc_export_to_cell(kmc.get());
  if (!start || velmora_cell_export_cif_to_file((base + ".kmc.init.cif").c_str(), start.get(),
                                                nullptr) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return failed;
  }
  if (velmora_kmc_calculate_conductivity(kmc.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_kmc_calculate_conductivity() returns non-zero.\n");
    return failed;
  }
  if (velmora_kmc_write_files(kmc.get()) != 0) return failed;
  const double sigma = kmc->conductivity[3];
  std::unique_ptr<VELMORA_CELL> supercell = velmora_cell_supercell(cell.get(), super);
  if (!supercell) {
    std::fprintf(stderr, "Error: velmora_cell_supercell() returns NULL.\n");
    return failed;
  }
  std::unique_ptr<VELMORA_CELL> occ = velmora_kmc_export_occ_to_cell(kmc.get(), supercell.get());
  if (!occ) {
    std::fprintf(stderr, "Error: velmora_kmc_export_occ_to_cell() returns NULL.\n");
    return failed;
  }
  if (velmora_cell_export_cif_to_file((base + ".kmc.cif").c_str(), occ.get(), nullptr) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return failed;
  }
  return sigma;
}

// ---------------------------------------------------------------- command ----

bool velmora_cmd_seed(const VELMORA_CMD_OPT* opt, int index) {
  // A seed given in the command's own position replaces the one the front
  // end set (from --seed S or the clock); the first draw prints the seed.
  if (opt->argc > index) {
    const char* text = opt->argv[index];
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value > 4294967295UL || text[0] == '-') {
      std::fprintf(stderr, "Error: wrong parameter seed.\n");
      return false;
    }
    velmora_random_seed(static_cast<unsigned>(value));
  }
  return true;
}

int velmora_cmd_opt_do_kmc(VELMORA_CMD_OPT* opt) {
  char type[3] = {};
  int os = 0;
  if (!velmora_cmd_read_species(opt, 4, type, os)) return VELMORA_EXIT_FAILURE;
  // A supercell axis beyond 1000 cells, temperatures, times and step
  // counts beyond any physical run, and a repulsion cut-off past 50 A
  // would only make overflowing exponentials or endless runs.
  int s[3] = {0, 0, 0};
  const char* axis[3] = {"s0", "s1", "s2"};
  for (int d = 0; d < 3; ++d)
    if (!velmora_cmd_arg_int(opt, 6 + d, axis[d], INT_MIN, 1000, s[d])) return VELMORA_EXIT_FAILURE;
  double sf = -0.1, temperature = -0.1, t_limit = -0.1, cutoff = -0.1;
  long step_limit = -1, step_log = -1;
  const long max_steps = static_cast<long>(VELMORA_CMD_MAX_STEPS);
  if (!velmora_cmd_arg_sf(opt, 9, "sf", sf) ||
      !velmora_cmd_arg_real(opt, 10, "temperature", -HUGE_VAL, VELMORA_CMD_MAX_TEMPERATURE,
                            temperature) ||
      !velmora_cmd_arg_real(opt, 11, "t_limit", -HUGE_VAL, VELMORA_CMD_MAX_STEPS, t_limit) ||
      !velmora_cmd_arg_long(opt, 12, "step_limit", LONG_MIN, max_steps, step_limit) ||
      !velmora_cmd_arg_long(opt, 13, "step_log", LONG_MIN, max_steps, step_log) ||
      !velmora_cmd_arg_real(opt, 14, "cutoff", -HUGE_VAL, 50.0, cutoff))
    return VELMORA_EXIT_FAILURE;
  if (!velmora_cmd_seed(opt, 15)) return VELMORA_EXIT_FAILURE;
  const double sigma = velmora_kmc_calculate_conductivity_from_file(
      opt->argv[2], opt->argv[3], type, os, s, sf, temperature, t_limit, step_limit, step_log,
      cutoff, opt->dir_symcards.c_str(), opt->dir_unitary.c_str(), opt->dir_binary.c_str());
  if (sigma < 0.0) {
    std::fprintf(stderr,
                 "Error: velmora_kmc_calculate_conductivity_from_file() returns negative value.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

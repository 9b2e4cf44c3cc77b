// Site-energy landscape of a mobile ion and its Gaussian cube file.
// The energy at a grid point sums the shifted Morse term to every counter-ion
// image within the pair cut-off and the erfc-screened Coulomb term to every
// like-ion image within 10 A, both replaced by quadratics at short range.
// Images come from the shared neighbour list in the order atom, l, m, n, so
// every voxel's sum is, bit for bit, that of the loop over all atoms and all
// translations; voxels are computed in blocks on all threads, once per set
// of symmetry-equivalent voxels, and copied to the others.
#include "velmora-cube.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>

#include "velmora-alloc.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-rx.h"

namespace {

// Blocks of voxels about this wide (A) share one candidate list: wide
// enough to spread the list search over many voxels, narrow enough that the
// candidates beyond the cut-off stay a few per cent.
constexpr double kBlockEdge = 0.6;
// Progress lines on standard output at most this often (s).
constexpr double kProgressInterval = 3.0;

char sign_of(int os) { return os < 0 ? '-' : '+'; }

// Whole-number test for the rotation and translation entries of a card;
// 1e-6 absorbs the rounding of translations read as decimals (0.3333333).
bool near_integer(double x) { return std::fabs(x - std::round(x)) <= 1e-6; }

long flat_index(const long n[3], long i, long j, long k) { return (i * n[1] + j) * n[2] + k; }

void unflatten(long ijk[3], const long n[3], long v) {
  ijk[2] = v % n[2];
  ijk[1] = (v / n[2]) % n[1];
  ijk[0] = v / (n[2] * n[1]);
}

}  // namespace

// ------------------------------------------------------------- record ----

std::unique_ptr<VELMORA_CUBE> velmora_cube_new(const long n[3]) {
  if (!n || n[0] <= 0 || n[1] <= 0 || n[2] <= 0) {
    std::fprintf(stderr, "Error: argument must be positive.\n");
    return nullptr;
  }
  // Counts beyond 2^20 per axis or 2^33 voxels cannot be stored here.
  const double total = static_cast<double>(n[0]) * n[1] * n[2];
  if (n[0] > (1L << 20) || n[1] > (1L << 20) || n[2] > (1L << 20) || total > 8589934592.0) {
    throw VELMORA_NO_MEMORY("the landscape grid", total * 8.0);
  }
  std::unique_ptr<VELMORA_CUBE> cube(new (std::nothrow) VELMORA_CUBE);
  if (!cube) {
    throw VELMORA_NO_MEMORY("the landscape record", sizeof(VELMORA_CUBE));
  }
  char what[160];
  std::snprintf(what, sizeof what, "the landscape grid of %ld x %ld x %ld voxels", n[0], n[1],
                n[2]);
  velmora_memory_stage(what, 8.0 * total,
                       [&] { cube->en.assign(static_cast<std::size_t>(total), 0.0); });
  for (int k = 0; k < 3; ++k) cube->n[k] = n[k];
  return cube;
}

void velmora_cube_print_info(const VELMORA_CUBE* cube) {
  if (!cube) {
    std::printf("(not allocated)\n");
    return;
  }
  std::printf("CUBE: cube size = %ld * %ld * %ld\n", cube->n[0], cube->n[1], cube->n[2]);
  std::printf("CUBE: cell vector (A):\n");
  for (int k = 0; k < 3; ++k)
    std::printf("CUBE:  %11.6f %11.6f %11.6f\n", cube->a[k][0], cube->a[k][1], cube->a[k][2]);
  std::printf("CUBE: votex vector (A):\n");
  for (int k = 0; k < 3; ++k)
    std::printf("CUBE:  %11.6f %11.6f %11.6f\n", cube->a_i[k][0], cube->a_i[k][1],
                cube->a_i[k][2]);
}

// --------------------------------------------------------------- grid ----

int velmora_cube_grid_size(long n[3], const double length[3], double resolution) {
  if (!(resolution > 0.0) || !std::isfinite(resolution)) {
    std::fprintf(stderr, "Error: resolution must be a positive number.\n");
    return 1;
  }
  // The reduction below only ever shrinks the longest axis, and an axis
  // longer than VELMORA_CUBE_AXIS_CAP makes the grid exceed the voxel cap
  // even when the other two axes have their least count (24 x 24): such an
  // axis is shrunk down to the cap before any other changes.  Starting from
  // counts clamped to the cap therefore gives the same grid as starting from
  // the full counts, and keeps every product below 2^41, far inside the
  // 64-bit range, however fine the resolution asked for.
  double asked = 1.0;  // voxels the resolution asks for
  for (int k = 0; k < 3; ++k) {
    const double steps = length[k] / resolution / VELMORA_CUBE_GRID_STEP;
    // Beyond 1e8 steps of 24 no count is meaningful any more.
    if (!(length[k] > 0.0) || !std::isfinite(steps) || steps > 1e8) {
      std::fprintf(stderr,
                   "Error: no grid of resolution %g A fits a cell edge of %g A.\n", resolution,
                   length[k]);
      return 1;
    }
    const double cap_steps = static_cast<double>(VELMORA_CUBE_AXIS_CAP / VELMORA_CUBE_GRID_STEP);
    const double whole = std::ceil(steps);
    asked *= VELMORA_CUBE_GRID_STEP * whole;
    n[k] = VELMORA_CUBE_GRID_STEP * static_cast<long>(whole < cap_steps ? whole : cap_steps);
  }
  while (n[0] * n[1] * n[2] > VELMORA_CUBE_MAX_VOXELS) {
    int k;
    if (n[0] >= n[1])
      k = n[0] >= n[2] ? 0 : 2;
    else
      k = n[1] >= n[2] ? 1 : 2;
    n[k] -= VELMORA_CUBE_GRID_STEP;
  }
  // The cap changes what was asked for: say so, with the step used.
  if (asked > static_cast<double>(VELMORA_CUBE_MAX_VOXELS))
    std::printf(
        "Warning: a resolution of %g A needs %.3g voxels, beyond the limit of %ld; the "
        "grid is %ld x %ld x %ld voxels, a step of %.4f x %.4f x %.4f A.\n",
        resolution, asked, VELMORA_CUBE_MAX_VOXELS, n[0], n[1], n[2], length[0] / n[0],
        length[1] / n[1], length[2] / n[2]);
  return 0;
}

bool velmora_cube_card_fits_grid(const VELMORA_CARD* card, const long n[3]) {
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      const double r = card->r_f[a][b];
      if (!near_integer(r)) return false;
      // The integer form moves index b to axis a unscaled, right only when
      // both axes have the same count.
      if (a != b && std::lround(r) != 0 && n[a] != n[b]) return false;
    }
    if (!near_integer(static_cast<double>(n[a]) * card->t_f[a])) return false;
  }
  return true;
}

void velmora_cube_voxel_point(double p[3], const double a_i[3][3], long i, long j, long k) {
  for (int c = 0; c < 3; ++c) p[c] = i * a_i[0][c] + j * a_i[1][c] + k * a_i[2][c];
}

// -------------------------------------------------------- pair lists ----

namespace {

// Fills the landscape's record of atom j (species s) against the conducting
// species: 1 when it bonds to the mobile ion (a counter-ion), 2 when it
// repels it (a like ion), 0 when it takes no part.
int velmora_cube_field_add_atom(VELMORA_CUBE_FIELD& field, const VELMORA_PROPERTY* ppt,
                                const VELMORA_ATOM& atom, std::size_t j, int s) {
  const int c = ppt->conducting;
  const int os_c = ppt->os[c];
  // The pair record is taken with the cation first.
  const int i1 = os_c < 0 ? s : c;
  const int i2 = os_c < 0 ? c : s;
  const VELMORA_PROPERTY_BINARY& bin = ppt->bin[i1][i2];
  const long product = static_cast<long>(os_c) * ppt->os[s];
  if (product < 0) {
    VELMORA_CUBE_BOND& b = field.bond_atom[j];
    b.cutoff = bin.cutoff;
    b.r_bc = bin.r_bc;
    b.d0 = bin.d0;
    b.rmin = bin.rmin;
    b.b = bin.b;
    b.en_s = bin.en_s;
    b.a0 = bin.a0;
    b.a1 = bin.a1;
    b.a2 = bin.a2;
    b.occ = atom.occ;
    field.bond_reach = std::max(field.bond_reach, bin.cutoff);
    return 1;
  }
  if (product > 0) {
    VELMORA_CUBE_LIKE& l = field.like_atom[j];
    l.r_cc = bin.r_cc;
    l.q = ppt->uni[c].q * ppt->uni[s].q;
    l.r_eff = ppt->sf * (ppt->uni[c].rc + ppt->uni[s].rc);
    // The constant shift of velmora_energy_coulombic, formed the same way.
    l.shift = l.q * std::erfc(10.0 / l.r_eff) / 10.0;
    l.a0 = bin.a0;
    l.a1 = bin.a1;
    l.a2 = bin.a2;
    l.occ = atom.occ;
    return 2;
  }
  return 0;
}

}  // namespace

int velmora_cube_field_build(VELMORA_CUBE_FIELD& field, const VELMORA_CELL* cell,
                             const VELMORA_PROPERTY* ppt) {
  field = VELMORA_CUBE_FIELD();
  if (!cell || !ppt || ppt->conducting < 0 || ppt->conducting >= ppt->total) {
    std::fprintf(stderr, "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  field.cutoff = std::max(velmora_property_max_cutoff(ppt), VELMORA_CUBE_COULOMB_CUTOFF);
  const std::size_t count = cell->atom.size();
  std::vector<bool> skip_bond(count, true), skip_like(count, true);
  field.bond_atom.assign(count, VELMORA_CUBE_BOND());
  field.like_atom.assign(count, VELMORA_CUBE_LIKE());
  for (std::size_t j = 0; j < count; ++j) {
    const VELMORA_ATOM& atom = cell->atom[j];
    if (atom.ignored) continue;
    const int s = velmora_property_find_index(ppt, atom.type, atom.os);
    if (s < 0) {
      std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
      return 1;
    }
    const int list = velmora_cube_field_add_atom(field, ppt, atom, j, s);
    if (list == 1) skip_bond[j] = false;
    if (list == 2) skip_like[j] = false;
  }
  // Both lists span N_k = (int)(R / h_k + 2) cells (h_k the spacing of the
  // lattice planes along a_k), two beyond the reach of the largest cut-off
  // R; each reaches a hair beyond its own cut-off so that
  // the exact tests (d <= cutoff, d <= 10 A) decide every image.
  field.bond =
      velmora_neighbor_new(*cell, field.bond_reach, VELMORA_NEIGHBOR_NO_SKIP,
                           {2.0, &skip_bond, field.cutoff});
  if (!field.bond) return 1;
  field.like =
      velmora_neighbor_new(*cell, VELMORA_CUBE_COULOMB_CUTOFF, VELMORA_NEIGHBOR_NO_SKIP,
                           {2.0, &skip_like, field.cutoff});
  if (!field.like) return 1;
  return 0;
}

double velmora_cube_field_energy(const VELMORA_CUBE_FIELD& field, const std::vector<int>* bond,
                                 const std::vector<int>* like, const double p[3]) {
  std::vector<int> all_bond, all_like;
  if (!bond) {
    all_bond.resize(field.bond->atom.size());
    std::iota(all_bond.begin(), all_bond.end(), 0);
    bond = &all_bond;
  }
  if (!like) {
    all_like.resize(field.like->atom.size());
    std::iota(all_like.begin(), all_like.end(), 0);
    like = &all_like;
  }
  double e_b = 0.0, e_c = 0.0;
  const VELMORA_CUBE_BOND* bond_atom = field.bond_atom.data();
  velmora_neighbor_visit(*field.bond, *bond, p, [&](int atom, double d, const double*, int) {
    const VELMORA_CUBE_BOND& q = bond_atom[atom];
    if (d > q.cutoff) return;
    const double term = d > q.r_bc
                            ? velmora_energy_bonding_with_energy_shift(d, q.d0, q.rmin, q.b, q.en_s)
                            : velmora_pseudopotential_energy_bonding(d, q.a2, q.a1, q.a0);
    e_b += term * q.occ;
  });
  const VELMORA_CUBE_LIKE* like_atom = field.like_atom.data();
  velmora_neighbor_visit(*field.like, *like, p, [&](int atom, double d, const double*, int) {
    if (d > VELMORA_CUBE_COULOMB_CUTOFF) return;
    const VELMORA_CUBE_LIKE& q = like_atom[atom];
    // q erfc(d/r_eff)/d - shift is velmora_energy_coulombic with its
    // constant shift computed once.
    const double term = d > q.r_cc ? q.q * std::erfc(d / q.r_eff) / d - q.shift
                                   : velmora_pseudopotential_energy_coulombic(d, q.a2, q.a1, q.a0);
    e_c += term * q.occ;
  });
  return VELMORA_COULOMB * (e_b + e_c);
}

namespace {

double capped(double e) { return e > VELMORA_CUBE_ENERGY_CAP ? VELMORA_CUBE_ENERGY_CAP : e; }

// Voxels grouped into blocks of the grid: block_start[b] .. block_start[b+1]
// index into `member` (positions in the voxel list), in increasing order.
struct Blocks {
  std::vector<long> member;
  std::vector<long> block_start;
};

Blocks group_into_blocks(const std::vector<long>& voxel, const long n[3], const long size[3]) {
  long count[3];
  for (int k = 0; k < 3; ++k) count[k] = (n[k] + size[k] - 1) / size[k];
  auto block_of = [&](long v) {
    long ijk[3];
    unflatten(ijk, n, v);
    return (ijk[0] / size[0] * count[1] + ijk[1] / size[1]) * count[2] + ijk[2] / size[2];
  };
  const std::size_t nblocks = static_cast<std::size_t>(count[0] * count[1] * count[2]);
  std::vector<long> fill(nblocks + 1, 0);
  for (long v : voxel) ++fill[block_of(v) + 1];
  for (std::size_t b = 0; b < nblocks; ++b) fill[b + 1] += fill[b];
  Blocks blocks;
  blocks.member.resize(voxel.size());
  std::vector<long> next(fill.begin(), fill.end() - 1);
  for (std::size_t m = 0; m < voxel.size(); ++m) blocks.member[next[block_of(voxel[m])]++] = m;
  blocks.block_start.push_back(0);
  for (std::size_t b = 0; b < nblocks; ++b)
    if (fill[b + 1] > fill[b]) blocks.block_start.push_back(fill[b + 1]);
  return blocks;
}

// Prints "Message: ... %" lines while a long computation runs.
struct Progress {
  bool enabled = false;
  long total = 0;
  std::atomic<long> done{0};
  std::atomic<long long> next_ms{0};
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  long long elapsed_ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
  }
  void add(long count) {
    const long now_done = done.fetch_add(count) + count;
    if (!enabled) return;
    const long long now = elapsed_ms();
    long long due = next_ms.load();
    if (now < due || !next_ms.compare_exchange_strong(due, now + kProgressInterval * 1000)) return;
    std::printf("Message: cube generation %.0f%% done (%ld of %ld voxels computed).\n",
                100.0 * now_done / total, now_done, total);
    std::fflush(stdout);
  }
};

}  // namespace

namespace {

// Voxels per block along each axis: blocks about kBlockEdge A wide.
void block_size(long size[3], const long n[3], const double a_i[3][3]) {
  for (int k = 0; k < 3; ++k) {
    const double step = velmora_vector3_double_length(a_i[k]);
    size[k] = step > 0.0 ? std::max(1L, std::lround(kBlockEdge / step)) : 1;
    size[k] = std::min(size[k], n[k]);
  }
}

// Capped energies of `count` points (3 doubles each) that lie close
// together: one candidate list per pair list serves them all, gathered
// around their centre out to the cut-off plus their spread.
void block_energies(double* out, const VELMORA_CUBE_FIELD& field, const double* point, long count,
                    std::vector<int>& bond, std::vector<int>& like) {
  double centre[3] = {0.0, 0.0, 0.0};
  for (long m = 0; m < count; ++m)
    for (int c = 0; c < 3; ++c) centre[c] += point[3 * m + c];
  for (int c = 0; c < 3; ++c) centre[c] /= static_cast<double>(count);
  double radius2 = 0.0;
  for (long m = 0; m < count; ++m) {
    const double* p = point + 3 * m;
    const double d[3] = {p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]};
    radius2 = std::max(radius2, d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  }
  // 1e-9 A keeps images on the boundary in spite of rounding.
  const double radius = std::sqrt(radius2) + 1e-9;
  velmora_neighbor_gather(bond, *field.bond, centre, field.bond->cutoff + radius);
  velmora_neighbor_gather(like, *field.like, centre, field.like->cutoff + radius);
  for (long m = 0; m < count; ++m)
    out[m] = capped(velmora_cube_field_energy(field, &bond, &like, point + 3 * m));
}

// Runs block(b) for every b < count on all threads (dynamic schedule).
// Exhausted memory inside the parallel region is kept and thrown after it.
template <class Block>
void for_each_block(long count, Block&& block) {
  std::atomic<bool> no_memory{false};
#pragma omp parallel
  {
    std::vector<int> bond, like;
    std::vector<double> point, out;
    std::vector<long> member;
#pragma omp for schedule(dynamic, 1)
    for (long b = 0; b < count; ++b) {
      if (no_memory) continue;
      try {
        block(b, bond, like, point, out, member);
      } catch (const std::bad_alloc&) {
        no_memory = true;
      }
    }
  }
  if (no_memory) throw VELMORA_NO_MEMORY("the candidate lists of the landscape", 0.0);
}

}  // namespace

void velmora_cube_field_energies(std::vector<double>& energy, const VELMORA_CUBE_FIELD& field,
                                 const std::vector<long>& voxel, const long n[3],
                                 const double a_i[3][3], bool progress) {
  energy.assign(voxel.size(), 0.0);
  long size[3];
  block_size(size, n, a_i);
  const Blocks blocks = group_into_blocks(voxel, n, size);
  const long nblocks = static_cast<long>(blocks.block_start.size()) - 1;
  Progress meter;
  meter.enabled = progress;
  meter.total = static_cast<long>(voxel.size());
  meter.next_ms = static_cast<long long>(kProgressInterval * 1000);
  for_each_block(nblocks, [&](long b, std::vector<int>& bond, std::vector<int>& like,
                              std::vector<double>& point, std::vector<double>& out,
                              std::vector<long>&) {
    const long first = blocks.block_start[b], last = blocks.block_start[b + 1];
    point.resize(3 * static_cast<std::size_t>(last - first));
    out.resize(static_cast<std::size_t>(last - first));
    for (long m = first; m < last; ++m) {
      long ijk[3];
      unflatten(ijk, n, voxel[blocks.member[m]]);
      velmora_cube_voxel_point(&point[3 * static_cast<std::size_t>(m - first)], a_i, ijk[0],
                               ijk[1], ijk[2]);
    }
    block_energies(out.data(), field, point.data(), last - first, bond, like);
    for (long m = first; m < last; ++m) energy[blocks.member[m]] = out[m - first];
    meter.add(last - first);
  });
}

namespace {

// Marks of the grid voxels while the landscape is computed.
constexpr unsigned char kReached = 1;   // an image of a voxel computed earlier
constexpr unsigned char kComputed = 2;  // the first voxel of its set of images

// Energies of the voxels marked kComputed, into value[v]: the grid cut into
// blocks about kBlockEdge wide, each block's marked voxels (in the order i,
// j, k) computed together, blocks on all threads.  The same grouping as
// velmora_cube_field_energies gives for the list of marked voxels, without
// the list.
void grid_energies(double* value, const VELMORA_CUBE_FIELD& field,
                   const std::vector<unsigned char>& mark, long computed, const long n[3],
                   const double a_i[3][3]) {
  long size[3], count[3];
  block_size(size, n, a_i);
  for (int k = 0; k < 3; ++k) count[k] = (n[k] + size[k] - 1) / size[k];
  Progress meter;
  meter.enabled = true;
  meter.total = computed;
  meter.next_ms = static_cast<long long>(kProgressInterval * 1000);
  for_each_block(count[0] * count[1] * count[2],
                 [&](long b, std::vector<int>& bond, std::vector<int>& like,
                     std::vector<double>& point, std::vector<double>& out,
                     std::vector<long>& member) {
                   const long from[3] = {b / (count[1] * count[2]) * size[0],
                                         (b / count[2]) % count[1] * size[1], b % count[2] * size[2]};
                   const long to[3] = {std::min(n[0], from[0] + size[0]),
                                       std::min(n[1], from[1] + size[1]),
                                       std::min(n[2], from[2] + size[2])};
                   member.clear();
                   point.clear();
                   for (long i = from[0]; i < to[0]; ++i)
                     for (long j = from[1]; j < to[1]; ++j)
                       for (long k = from[2]; k < to[2]; ++k) {
                         const long v = flat_index(n, i, j, k);
                         if (mark[v] != kComputed) continue;
                         member.push_back(v);
                         double p[3];
                         velmora_cube_voxel_point(p, a_i, i, j, k);
                         point.insert(point.end(), p, p + 3);
                       }
                   if (member.empty()) return;
                   const long m = static_cast<long>(member.size());
                   out.resize(member.size());
                   block_energies(out.data(), field, point.data(), m, bond, like);
                   for (long q = 0; q < m; ++q) value[member[q]] = out[q];
                   meter.add(m);
                 });
}

// True when the card maps every voxel onto itself.
bool card_is_identity(const VELMORA_CARD& card, const long n[3]) {
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b)
      if (card.r_i[a][b] != (a == b ? 1 : 0)) return false;
    if (n[a] > 0 && card.t_i[a] % n[a] != 0) return false;
  }
  return true;
}

}  // namespace

// -------------------------------------------------------- computation ----

int velmora_cube_validate_property(const VELMORA_PROPERTY* ppt) {
  if (!ppt) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  const int c = ppt->conducting;
  if (c < 0 || c >= ppt->total || static_cast<int>(ppt->uni.size()) < ppt->total ||
      static_cast<int>(ppt->bin.size()) < ppt->total) {
    std::fprintf(stderr, "Error: conducting species not correctly specified.\n");
    return 1;
  }
  const int os_c = ppt->os[c];
  for (int s = 0; s < ppt->total; ++s) {
    if (static_cast<long>(ppt->os[s]) * os_c <= 0) continue;
    const VELMORA_PROPERTY_UNITARY& u = ppt->uni[s];
    if (!(u.q * ppt->os[s] > 0.0)) {
      std::fprintf(stderr, "Error: incorrect q at [%d](%s%d%c) q=%f\n", s, ppt->type[s].data(),
                   std::abs(ppt->os[s]), sign_of(ppt->os[s]), u.q);
      return 1;
    }
    if (!(u.rc > 0.0)) {
      std::fprintf(stderr, "Error: incorrect rc at[%d](%s%d%c) rc=%f\n", s, ppt->type[s].data(),
                   std::abs(ppt->os[s]), sign_of(ppt->os[s]), u.rc);
      return 1;
    }
  }
  for (int i = 0; i < ppt->total; ++i) {
    for (int j = 0; j < ppt->total; ++j) {
      if (i != c && j != c) continue;
      if (!(ppt->os[i] > 0 && ppt->os[j] < 0)) continue;
      const VELMORA_PROPERTY_BINARY& p = ppt->bin[i][j];
      const struct {
        const char* name;
        double value;
      } field[4] = {{"cutoff", p.cutoff}, {"b", p.b}, {"d0", p.d0}, {"rmin", p.rmin}};
      for (const auto& f : field) {
        if (f.value > 0.0) continue;
        std::fprintf(stderr, "Error: incorrect %s at [%d](%s%d%c)-(%s%d%c) %s=%f\n", f.name, i,
                     ppt->type[i].data(), std::abs(ppt->os[i]), sign_of(ppt->os[i]),
                     ppt->type[j].data(), std::abs(ppt->os[j]), sign_of(ppt->os[j]), f.name,
                     f.value);
        return 1;
      }
    }
  }
  return 0;
}

namespace {

void clear_ignored(VELMORA_CELL* cell) {
  for (VELMORA_ATOM& atom : cell->atom) atom.ignored = false;
}

}  // namespace

std::unique_ptr<VELMORA_CUBE> velmora_cube_calculate(VELMORA_CELL* cell,
                                                     const VELMORA_SYMMETRY* symmetry,
                                                     const VELMORA_PROPERTY* ppt,
                                                     double resolution, bool ignore_conducting) {
  if (velmora_cube_validate_property(ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_validate_property() returns non-zero.\n");
    return nullptr;
  }
  if (!velmora_cell_ready(cell)) return nullptr;
  if (!velmora_symmetry_ready(symmetry)) return nullptr;
  for (std::size_t k = 0; k < cell->atom.size(); ++k)
    if (cell->atom[k].os == 0) {
      std::fprintf(stderr, "Error: oxidation state is zero where atom[%ld]: %s0+.\n",
                   static_cast<long>(k), cell->atom[k].type);
      return nullptr;
    }
  long n[3];
  if (velmora_cube_grid_size(n, cell->parameter, resolution) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_grid_size() returns non-zero.\n");
    return nullptr;
  }
  VELMORA_SYMMETRY group = *symmetry;
  if (velmora_symmetry_fill_card_discrete(&group, n) != 0) {
    std::printf("Error: velmora_symmetry_fill_card_discrete() returns non-zero.\n");
    return nullptr;
  }
  // Operations whose integer form does not map this grid onto itself (a
  // translation off the grid, or a rotation exchanging axes of different
  // counts once the grid limit has shortened one of them) would copy values
  // to the wrong voxels; they are left out, which costs only time.
  std::vector<VELMORA_CARD> cards;
  for (const VELMORA_CARD& card : group.card)
    if (velmora_cube_card_fits_grid(&card, n)) cards.push_back(card);
  if (cards.size() < group.card.size())
    std::printf("Message: %ld of %ld symmetry operations do not map the %ld x %ld x %ld grid onto "
                "itself and are not used.\n",
                static_cast<long>(group.card.size() - cards.size()),
                static_cast<long>(group.card.size()), n[0], n[1], n[2]);
  std::unique_ptr<VELMORA_CUBE> cube = velmora_cube_new(n);
  if (!cube) {
    std::fprintf(stderr, "Error: velmora_cube_new() returns NULL.\n");
    return nullptr;
  }
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 3; ++c) {
      cube->a[k][c] = cell->a[k][c];
      cube->a_i[k][c] = cell->a[k][c] / n[k];
    }

  clear_ignored(cell);
  // The flags set below are cleared whatever way this function is left.
  struct IgnoredFlags {
    VELMORA_CELL* cell;
    ~IgnoredFlags() { clear_ignored(cell); }
  } ignored_flags{cell};
  const int cs = ppt->conducting;
  if (ignore_conducting) {
    std::printf("Message: ignoring all %s%d%c ions during cube generation.\n",
                ppt->type[cs].data(), std::abs(ppt->os[cs]), sign_of(ppt->os[cs]));
    for (VELMORA_ATOM& atom : cell->atom)
      if (atom.os == ppt->os[cs] && std::strcmp(atom.type, ppt->type[cs].data()) == 0)
        atom.ignored = true;
  } else {
    std::printf("Message: no ion is ignored during cube generation.\n");
  }
  VELMORA_CUBE_FIELD field;
  if (velmora_cube_field_build(field, cell, ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_field_build() returns non-zero.\n");
    return nullptr;
  }

  const long total = n[0] * n[1] * n[2];
  char what[160];
  std::snprintf(what, sizeof what, "the landscape of %ld x %ld x %ld voxels", n[0], n[1], n[2]);
  velmora_memory_stage(what, 9.0 * total, [&] {
    // The identity moves no voxel: it is left out of the copies below,
    // which write only the one value to a voxel anyway.
    std::vector<const VELMORA_CARD*> moving;
    for (const VELMORA_CARD& card : cards)
      if (!card_is_identity(card, n)) moving.push_back(&card);
    // The voxels to compute: in the order i, j, k, each voxel not yet
    // reached as the image of an earlier one.
    std::vector<unsigned char> mark(static_cast<std::size_t>(total), 0);
    long computed = 0;
    for (long v = 0; v < total; ++v) {
      if (mark[v]) continue;
      mark[v] = kComputed;
      ++computed;
      if (moving.empty()) continue;
      long p[3], q[3];
      unflatten(p, n, v);
      for (const VELMORA_CARD* card : moving) {
        velmora_card_transform_vector3_long(q, p, n, card);
        unsigned char& m = mark[flat_index(n, q[0], q[1], q[2])];
        if (!m) m = kReached;
      }
    }
    // Written only where marked (and read only there): left uninitialised,
    // so its pages are first touched by the threads that compute.
    std::unique_ptr<double[]> value(new double[static_cast<std::size_t>(total)]);
    grid_energies(value.get(), field, mark, computed, n, cube->a_i);

    // Copies in the same order: a voxel holding a value (|E| > 1e-7) is
    // passed over, the others take their own value and hand it to every
    // image that holds none.  A voxel whose own energy is within 1e-7 of
    // zero leaves its images empty; they are computed when reached.
    for (long v = 0; v < total; ++v) {
      if (std::fabs(cube->en[v]) > VELMORA_CUBE_FILLED) continue;
      long p[3], q[3];
      unflatten(p, n, v);
      double e;
      if (mark[v] == kComputed) {
        e = value[v];
      } else {
        double x[3];
        velmora_cube_voxel_point(x, cube->a_i, p[0], p[1], p[2]);
        e = capped(velmora_cube_field_energy(field, nullptr, nullptr, x));
      }
      for (const VELMORA_CARD* card : moving) {
        velmora_card_transform_vector3_long(q, p, n, card);
        double& slot = cube->en[flat_index(n, q[0], q[1], q[2])];
        if (std::fabs(slot) <= VELMORA_CUBE_FILLED) slot = e;
      }
      if (std::fabs(cube->en[v]) <= VELMORA_CUBE_FILLED) cube->en[v] = e;
    }
  });
  std::printf("Message: cube has been generated successfully.\n");
  return cube;
}

std::unique_ptr<VELMORA_CUBE> velmora_cube_calculate_from_cell(
    VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry, VELMORA_PROPERTY* ppt, const char* type,
    int os, double resolution, bool ignore_conducting) {
  if (!cell) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return nullptr;
  }
  if (type && ppt && velmora_property_set_conducting(ppt, type, os) != 0) {
    std::fprintf(stderr, "Error: velmora_property_set_conducting() returns non-zero.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_SYMMETRY> p1;
  if (!symmetry) {
    p1 = velmora_symmetry_new_p1();
    if (!p1) {
      std::fprintf(stderr, "Error: velmora_symmetry_new_p1() returns NULL.\n");
      return nullptr;
    }
    symmetry = p1.get();
  }
  std::unique_ptr<VELMORA_CUBE> cube =
      velmora_cube_calculate(cell, symmetry, ppt, resolution, ignore_conducting);
  if (!cube) std::fprintf(stderr, "Error: velmora_cube_calculate() returns NULL.\n");
  return cube;
}

namespace {

// The parameters and the landscape of a cell, with the error lines of the
// compute-and-write entry on failure.
struct Landscape {
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  std::unique_ptr<VELMORA_CUBE> cube;
};

int landscape_of(Landscape& out, VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                 const char* type, int os, double sf, double resolution, bool ignore_conducting,
                 const char* dir_unitary, const char* dir_binary) {
  out.ppt = velmora_property_import_from_cell(cell, type, os, sf, dir_unitary, dir_binary);
  if (!out.ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    return 1;
  }
  out.cube = velmora_cube_calculate_from_cell(cell, symmetry, out.ppt.get(), type, os, resolution,
                                              ignore_conducting);
  if (!out.cube) {
    std::fprintf(stderr, "Error: velmora_cube_calculate_from_cell() returns NULL.\n");
    return 1;
  }
  return 0;
}

int write_landscape(const Landscape& landscape, const VELMORA_CELL* cell, const char* cube_name,
                    bool periodic, VELMORA_CUBE_SUMMARY* summary = nullptr) {
  if (velmora_cube_export_to_file(landscape.cube.get(), cell, landscape.ppt.get(), cube_name,
                                  periodic) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_export_to_file() returns non-zero.\n");
    return 1;
  }
  if (summary) {
    const VELMORA_CUBE& cube = *landscape.cube;
    summary->sf = landscape.ppt->sf;
    for (int k = 0; k < 3; ++k) {
      summary->n[k] = cube.n[k];
      for (int l = 0; l < 3; ++l) summary->step[k][l] = cube.a_i[k][l];
    }
    if (!cube.en.empty()) {
      const auto range = std::minmax_element(cube.en.begin(), cube.en.end());
      summary->energy_min = *range.first;
      summary->energy_max = *range.second;
    }
    summary->atoms = cell->total;
  }
  return 0;
}

}  // namespace

namespace {

int landscape_to_file(const char* cube_name, VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                      const char* type, int os, double sf, double resolution,
                      bool ignore_conducting, bool periodic, const char* dir_unitary,
                      const char* dir_binary, VELMORA_CUBE_SUMMARY* summary) {
  Landscape landscape;
  if (landscape_of(landscape, cell, symmetry, type, os, sf, resolution, ignore_conducting,
                   dir_unitary, dir_binary) != 0)
    return 1;
  return write_landscape(landscape, cell, cube_name, periodic, summary);
}

}  // namespace

int velmora_cube_calculate_from_cell_and_write_to_file(
    const char* cube_name, VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry, const char* type,
    int os, double sf, double resolution, bool ignore_conducting, bool periodic,
    const char* dir_unitary, const char* dir_binary) {
  return landscape_to_file(cube_name, cell, symmetry, type, os, sf, resolution, ignore_conducting,
                           periodic, dir_unitary, dir_binary, nullptr);
}

int velmora_cube_calculate_from_cell_and_write_to_file_assign_partial_occ(
    const char* cube_name, const char* cif_name, VELMORA_CELL* cell,
    const VELMORA_SYMMETRY* symmetry, const char* type, int os, double sf, double resolution,
    bool ignore_conducting, bool periodic, const char* dir_unitary, const char* dir_binary,
    VELMORA_CUBE_SUMMARY* summary) {
  if (!velmora_cell_ready(cell)) return 1;
  // An output name that cannot receive the result is refused before the
  // computation, not after it.
  if (velmora_file_check_output(cube_name) != 0) return 1;
  int status;
  if (velmora_cell_partial_occ_at_conducting_site(cell, type, os)) {
    std::printf(
        "Message: partial occupancy at conducting sites detected. Cube will be generated based "
        "on an assigned supercell.\n");
    if (velmora_file_check_output(cif_name) != 0) return 1;
    std::unique_ptr<VELMORA_CELL> super = velmora_cell_supercell_default(cell);
    if (super) {
      // The size first: the landscape of a large supercell takes a while.
      long n[3];
      for (int k = 0; k < 3; ++k)
        n[k] = std::lround(super->parameter[k] / cell->parameter[k]);
      std::printf("Message: supercell of %ld x %ld x %ld cells, %ld atoms.\n", n[0], n[1], n[2],
                  super->total);
      if (summary) {
        summary->resolved = true;
        for (int k = 0; k < 3; ++k) summary->supercell[k] = n[k];
      }
      std::fflush(stdout);
    } else {
      std::printf("Message: velmora_cell_supercell_default() returns NULL.\n");
      return 1;
    }
    std::unique_ptr<VELMORA_CELL> assigned =
        velmora_cell_assign_partial_occ_at_conducting_site(super.get(), type, os);
    if (!assigned) {
      std::fprintf(stderr,
                   "Error: velmora_cell_assign_partial_occ_at_conducting_site() returns NULL.\n");
      return 1;
    }
    super.reset();
    // The assigned structure and its landscape belong together: the
    // structure is written only once the landscape has been computed, so a
    // failed run (or one stopped while computing) leaves no structure whose
    // landscape is missing, and an earlier pair of files stays matched.
    Landscape landscape;
    status = landscape_of(landscape, assigned.get(), nullptr, type, os, sf, resolution,
                          ignore_conducting, dir_unitary, dir_binary);
    if (status == 0) {
      std::unique_ptr<VELMORA_TEXT> text =
          velmora_cell_export_cif_to_text(assigned.get(), nullptr, nullptr);
      const int written = text ? velmora_file_write_atomically(cif_name, text->content) : 1;
      if (written != 0) {
        if (text && written != 3) std::fprintf(stderr, "Error: unable to write %s.\n", cif_name);
        std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
        return 1;
      }
      std::printf("Message: cif file saved to %s\n", cif_name);
      status = write_landscape(landscape, assigned.get(), cube_name, periodic, summary);
    }
  } else {
    status = landscape_to_file(cube_name, cell, symmetry, type, os, sf, resolution,
                               ignore_conducting, periodic, dir_unitary, dir_binary, summary);
  }
  if (status != 0) {
    std::fprintf(stderr,
                 "Error: velmora_cube_calculate_from_cell_and_write_to_file() returns non-zero.\n");
    return 1;
  }
  return 0;
}

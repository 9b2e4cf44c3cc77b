// Persistent pair list of the relaxations: the images of every free atom's
// partners within the pair cut-off plus a skin, found once with the shared
// neighbour search and kept while no atom has moved more than half the skin;
// one pass over it gives the energy, the unconstrained energy, the forces
// and, on lattice steps, the energies of the six strained cells.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "velmora-import.h"
#include "velmora-neighbor.h"
#include "velmora-rx.h"

namespace {

// Strain of the finite-difference stress.
constexpr double kStrainStep = 0.0001;

bool list_property_ready(const VELMORA_PROPERTY* ppt) {
  return ppt && ppt->total > 0 && static_cast<int>(ppt->uni.size()) == ppt->total &&
         static_cast<int>(ppt->bin.size()) == ppt->total;
}

// Parameters of every ordered species pair as the pair sum uses them: like
// charges repel up to the sum cut-off R, a cation and an anion bond up to
// their pair's cut-off, a neutral species takes no part.
std::vector<VELMORA_PAIR_KIND> list_kinds(const VELMORA_PROPERTY* ppt, double r) {
  const int total = ppt->total;
  std::vector<VELMORA_PAIR_KIND> kinds(static_cast<std::size_t>(total) * total);
  for (int i = 0; i < total; ++i)
    for (int j = 0; j < total; ++j) {
      VELMORA_PAIR_KIND& k = kinds[static_cast<std::size_t>(i) * total + j];
      const long product = static_cast<long>(ppt->os[i]) * ppt->os[j];
      if (product > 0) {
        k.bonded = 2;
        k.cutoff = r;
        k.q = ppt->uni[i].q * ppt->uni[j].q;
        k.r_eff = ppt->sf * (ppt->uni[i].rc + ppt->uni[j].rc);
        k.shift = k.q * std::erfc(10.0 / k.r_eff) / 10.0;
      } else if (product < 0) {
        const VELMORA_PROPERTY_BINARY& p = ppt->os[i] > 0 ? ppt->bin[i][j] : ppt->bin[j][i];
        if (!(p.cutoff > 0.0)) continue;
        k.bonded = 1;
        k.cutoff = p.cutoff;
        k.d0 = p.d0;
        k.rmin = p.rmin;
        k.b = p.b;
        k.en_s = p.en_s;
      }
    }
  return kinds;
}

// Energy term (e^2/A) and its derivative along d of one pair.
inline void list_term(const VELMORA_PAIR_KIND& k, double d, double& e, double& de) {
  if (k.bonded == 1) {
    e = velmora_energy_bonding_with_energy_shift(d, k.d0, k.rmin, k.b, k.en_s);
    de = velmora_force_bonding(d, k.d0, k.rmin, k.b);
  } else {
    e = k.q * std::erfc(d / k.r_eff) / d - k.shift;
    de = velmora_force_coulombic(d, k.q, k.r_eff);
  }
}

inline double list_energy(const VELMORA_PAIR_KIND& k, double d) {
  if (k.bonded == 1) return velmora_energy_bonding_with_energy_shift(d, k.d0, k.rmin, k.b, k.en_s);
  return k.q * std::erfc(d / k.r_eff) / d - k.shift;
}

bool same_lattice(const double a[3][3], const double b[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c)
      if (a[i][c] != b[i][c]) return false;
  return true;
}

// Per-centre results, added in centre order afterwards.
struct CentreSums {
  double en = 0.0, en_u = 0.0;
  double strained[3][2] = {};
};

}  // namespace

int velmora_pair_list_build(VELMORA_PAIR_LIST& list, const VELMORA_CELL* cell,
                            const VELMORA_PROPERTY* ppt, double skin) {
  const long builds = list.builds;
  list = VELMORA_PAIR_LIST();
  list.builds = builds + 1;
  list.skin = skin;
  if (!cell || cell->atom.empty() || !list_property_ready(ppt)) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  std::vector<int> species;
  if (velmora_property_find_atom_indices(species, cell, ppt) != 0) return 1;
  const double r = std::fmax(velmora_property_max_cutoff(ppt), VELMORA_PAIR_MIN_CUTOFF);
  list.species_total = ppt->total;
  list.kind = list_kinds(ppt, r);
  list.sf = ppt->sf;
  const std::unique_ptr<VELMORA_NEIGHBOR> nb =
      velmora_neighbor_new(*cell, r + skin, VELMORA_NEIGHBOR_NO_SKIP);
  if (!nb) return 1;
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  std::vector<double> centres;
  for (std::size_t i = 0; i < atom.size(); ++i) {
    if (atom[i].ignored) continue;
    list.centre_atom.push_back(static_cast<int>(i));
    centres.insert(centres.end(), atom[i].x, atom[i].x + 3);
  }
  std::vector<std::vector<VELMORA_PAIR_LIST_ENTRY>> per_centre(list.centre_atom.size());
  velmora_neighbor_for_each(*nb, centres, [&](int c, int j, double d, const double*, int img) {
    const int i = list.centre_atom[c];
    const int* shift = &nb->shift[3 * static_cast<std::size_t>(img)];
    if (j == i && shift[0] == 0 && shift[1] == 0 && shift[2] == 0) return;  // the atom itself
    const int k = species[i] * list.species_total + species[j];
    const VELMORA_PAIR_KIND& kind = list.kind[k];
    if (!kind.bonded || d > kind.cutoff + skin) return;
    VELMORA_PAIR_LIST_ENTRY e;
    e.j = j;
    e.kind = k;
    for (int c3 = 0; c3 < 3; ++c3)
      e.t[c3] = shift[0] * cell->a[0][c3] + shift[1] * cell->a[1][c3] + shift[2] * cell->a[2][c3];
    e.w = atom[i].occ * atom[j].occ;
    e.free_partner = !atom[j].ignored;
    per_centre[c].push_back(e);
  });
  list.start.reserve(per_centre.size() + 1);
  std::size_t count = 0;
  for (const auto& p : per_centre) count += p.size();
  list.entry.reserve(count);
  for (const auto& p : per_centre) {
    list.start.push_back(static_cast<int>(list.entry.size()));
    list.entry.insert(list.entry.end(), p.begin(), p.end());
  }
  list.start.push_back(static_cast<int>(list.entry.size()));
  list.f0.resize(atom.size());
  list.x0.resize(atom.size());
  for (std::size_t i = 0; i < atom.size(); ++i)
    for (int c = 0; c < 3; ++c) {
      list.f0[i][c] = atom[i].x_f[c];
      list.x0[i][c] = atom[i].x[c];
    }
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c) list.a[i][c] = cell->a[i][c];
  return 0;
}

int velmora_pair_list_evaluate(VELMORA_PAIR_EVAL& out, VELMORA_PAIR_LIST& list,
                               const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                               bool stress, bool parallel) {
  if (!cell || cell->atom.empty() || !list_property_ready(ppt)) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  const std::size_t natom = atom.size();
  // Positions followed from the list's making: an atom wrapped back into
  // the cell has jumped by whole lattice vectors, which are taken off again.
  std::vector<std::array<double, 3>> u(natom);
  auto follow = [&]() {
    double worst = 0.0;
    for (std::size_t i = 0; i < natom; ++i) {
      double w[3];
      for (int k = 0; k < 3; ++k) w[k] = std::round(atom[i].x_f[k] - list.f0[i][k]);
      double d2 = 0.0;
      for (int c = 0; c < 3; ++c) {
        u[i][c] = atom[i].x[c] - (w[0] * cell->a[0][c] + w[1] * cell->a[1][c] + w[2] * cell->a[2][c]);
        d2 += (u[i][c] - list.x0[i][c]) * (u[i][c] - list.x0[i][c]);
      }
      worst = std::fmax(worst, d2);
    }
    return std::sqrt(worst);
  };
  bool fresh = list.builds > 0 && list.f0.size() == natom && same_lattice(list.a, cell->a) &&
               list.sf == ppt->sf && list.species_total == ppt->total;
  if (fresh) {
    int free_atoms = 0;
    for (const VELMORA_ATOM& a : atom) free_atoms += !a.ignored;
    fresh = free_atoms == static_cast<int>(list.centre_atom.size());
  }
  if (!fresh || !(follow() <= 0.5 * list.skin)) {
    if (velmora_pair_list_build(list, cell, ppt, list.skin) != 0) return 1;
    follow();
  }
  const long centres = static_cast<long>(list.centre_atom.size());
  out.force.assign(natom, {0.0, 0.0, 0.0});
  std::vector<CentreSums> sums(static_cast<std::size_t>(centres));
  const VELMORA_PAIR_LIST_ENTRY* entry = list.entry.data();
  const VELMORA_PAIR_KIND* kind = list.kind.data();
  const bool threads = parallel && list.entry.size() > 200000;
#pragma omp parallel for schedule(dynamic, 4) if (threads)
  for (long c = 0; c < centres; ++c) {
    const int i = list.centre_atom[c];
    CentreSums s;
    double f[3] = {0.0, 0.0, 0.0};
    for (int p = list.start[c]; p < list.start[c + 1]; ++p) {
      const VELMORA_PAIR_LIST_ENTRY& e = entry[p];
      const VELMORA_PAIR_KIND& k = kind[e.kind];
      double v[3];
      for (int q = 0; q < 3; ++q) v[q] = u[e.j][q] + e.t[q] - u[i][q];
      const double d2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
      const double d = std::sqrt(d2);
      if (d > VELMORA_PAIR_SKIP_DISTANCE && d <= k.cutoff) {
        double term, de;
        list_term(k, d, term, de);
        s.en += term * e.w;
        if (e.free_partner) s.en_u += term * e.w;
        const double scale = 0.5 * (de * e.w) / d;
        for (int q = 0; q < 3; ++q) f[q] += v[q] * scale;
      }
      if (!stress) continue;
      // The cell strained by -+0.0001 along axis x stretches every pair
      // vector's x component alike.
      for (int x = 0; x < 3; ++x)
        for (int sgn = 0; sgn < 2; ++sgn) {
          const double grow = sgn == 0 ? 1.0 - kStrainStep : 1.0 + kStrainStep;
          const double vx = v[x] * grow;
          const double ds = std::sqrt(d2 - v[x] * v[x] + vx * vx);
          if (ds > VELMORA_PAIR_SKIP_DISTANCE && ds <= k.cutoff)
            s.strained[x][sgn] += list_energy(k, ds) * e.w;
        }
    }
    for (int q = 0; q < 3; ++q) out.force[i][q] = f[q];
    sums[c] = s;
  }
  double en = 0.0, en_u = 0.0, strained[3][2] = {};
  for (const CentreSums& s : sums) {
    en += s.en;
    en_u += s.en_u;
    for (int x = 0; x < 3; ++x)
      for (int sgn = 0; sgn < 2; ++sgn) strained[x][sgn] += s.strained[x][sgn];
  }
  out.en = en * VELMORA_PAIR_SUM_FACTOR;
  out.en_unconstrained = en_u * VELMORA_PAIR_SUM_FACTOR;
  if (!std::isfinite(out.en)) {
    std::fprintf(stderr, "Error: velmora_cell_calculate_total_energy() returns %f.\n", out.en);
    return 1;
  }
  if (stress) {
    const double volume = velmora_cell_calculate_volume(cell);
    if (!(volume > 0.0) || !std::isfinite(volume)) {
      std::fprintf(stderr, "Error: the cell volume %f is not positive.\n", volume);
      return 1;
    }
    for (int x = 0; x < 3; ++x) {
      out.stress[x] = (strained[x][1] - strained[x][0]) * VELMORA_PAIR_SUM_FACTOR /
                      (2.0 * kStrainStep) / volume;
      if (!std::isfinite(out.stress[x])) {
        std::fprintf(stderr, "Error: stress along %d is not finite.\n", x + 1);
        return 1;
      }
    }
  }
  return 0;
}

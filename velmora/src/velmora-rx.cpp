// Cell energy, forces and diagonal stress of the bond-valence force field,
// the strain/displacement updates of the relaxations and the screening-factor
// search.  Pair sums run over the shared periodic-image neighbour search;
// the terms of a geometry are kept so that the screening-factor search,
// which changes only the Coulomb screening length, re-evaluates terms only.
#include "velmora-rx.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "velmora-alloc.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-neighbor.h"

namespace {

void report_uninitialized() {
  std::fprintf(stderr,
               "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
}

bool valid_property(const VELMORA_PROPERTY* ppt) {
  return ppt && ppt->total > 0 && static_cast<int>(ppt->uni.size()) == ppt->total &&
         static_cast<int>(ppt->bin.size()) == ppt->total;
}

// Sum cut-off of the energies: the largest pair cut-off, at least 10 A.
double energy_cutoff(const VELMORA_PROPERTY* ppt) {
  const double r = velmora_property_max_cutoff(ppt);
  return r > VELMORA_PAIR_MIN_CUTOFF ? r : VELMORA_PAIR_MIN_CUTOFF;
}

// The sum centres: the atoms not ignored, `centres` their positions (3 per
// centre) and `centre_atom` their indices in the cell.
void sum_centres(const VELMORA_CELL* cell, std::vector<int>& centre_atom,
                 std::vector<double>& centres) {
  for (std::size_t i = 0; i < cell->atom.size(); ++i) {
    if (cell->atom[i].ignored) continue;
    centre_atom.push_back(static_cast<int>(i));
    centres.insert(centres.end(), cell->atom[i].x, cell->atom[i].x + 3);
  }
}

// Like-charge shift q erfc(10/r_eff)/10 of each species pair, computed once
// per evaluation exactly as velmora_energy_coulombic computes it.
struct CoulombTable {
  std::vector<double> q, r_eff, shift;
  int total = 0;
  explicit CoulombTable(const VELMORA_PROPERTY* ppt) : total(ppt->total) {
    const std::size_t n = static_cast<std::size_t>(total) * total;
    q.resize(n);
    r_eff.resize(n);
    shift.resize(n);
    for (int i = 0; i < total; ++i)
      for (int j = 0; j < total; ++j) {
        const std::size_t k = static_cast<std::size_t>(i) * total + j;
        q[k] = ppt->uni[i].q * ppt->uni[j].q;
        r_eff[k] = ppt->sf * (ppt->uni[i].rc + ppt->uni[j].rc);
        shift[k] = q[k] * std::erfc(10.0 / r_eff[k]) / 10.0;
      }
  }
};

}  // namespace

// ------------------------------------------------------------ pair sums ----

int velmora_pair_sum_build(VELMORA_PAIR_SUM& sum, const VELMORA_CELL* cell,
                           const VELMORA_PROPERTY* ppt, bool unconstrained) {
  sum.start.clear();
  sum.term.clear();
  if (!cell || cell->atom.empty() || !valid_property(ppt)) {
    report_uninitialized();
    return 1;
  }
  std::vector<int> species;
  if (velmora_property_find_atom_indices(species, cell, ppt) != 0) return 1;
  const double r = energy_cutoff(ppt);
  std::vector<bool> skip(cell->atom.size(), false);
  for (std::size_t k = 0; k < cell->atom.size(); ++k) skip[k] = cell->atom[k].ignored;
  const std::unique_ptr<VELMORA_NEIGHBOR> nb = velmora_neighbor_new(
      *cell, r, VELMORA_PAIR_SKIP_DISTANCE, {1.0, unconstrained ? &skip : nullptr});
  if (!nb) return 1;

  std::vector<int> centre_atom;
  std::vector<double> centres;
  sum_centres(cell, centre_atom, centres);
  std::vector<std::vector<VELMORA_PAIR_TERM>> terms(centre_atom.size());
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  velmora_neighbor_for_each(*nb, centres, [&](int c, int j, double d, const double*, int) {
    const int i = centre_atom[c];
    const long product = static_cast<long>(atom[i].os) * atom[j].os;
    VELMORA_PAIR_TERM t;
    t.d = d;
    t.w = atom[i].occ * atom[j].occ;
    if (product > 0) {
      if (d > r) return;
      t.i = species[i];
      t.j = species[j];
    } else if (product < 0) {
      // Bonded pairs use the cation-anion record.
      t.i = atom[i].os > 0 ? species[i] : species[j];
      t.j = atom[i].os > 0 ? species[j] : species[i];
      if (d > ppt->bin[t.i][t.j].cutoff) return;
      t.bonded = true;
    } else {
      return;  // neutral atoms take no part
    }
    terms[c].push_back(t);
  });
  sum.start.reserve(terms.size() + 1);
  std::size_t count = 0;
  for (const auto& t : terms) count += t.size();
  sum.term.reserve(count);
  for (const auto& t : terms) {
    sum.start.push_back(static_cast<int>(sum.term.size()));
    sum.term.insert(sum.term.end(), t.begin(), t.end());
  }
  sum.start.push_back(static_cast<int>(sum.term.size()));
  return 0;
}

double velmora_pair_sum_energy(const VELMORA_PAIR_SUM& sum, const VELMORA_PROPERTY* ppt) {
  if (sum.start.empty()) return 0.0;
  const CoulombTable coulomb(ppt);
  const long centres = static_cast<long>(sum.start.size()) - 1;
  std::vector<double> partial(static_cast<std::size_t>(centres), 0.0);
  // Each centre's terms are summed in the plain loop's order; the centres'
  // sums are then added in atom order, whatever the thread count.
#pragma omp parallel for schedule(static) if (sum.term.size() > 2000000)
  for (long c = 0; c < centres; ++c) {
    double e = 0.0;
    for (int k = sum.start[c]; k < sum.start[c + 1]; ++k) {
      const VELMORA_PAIR_TERM& t = sum.term[k];
      double term;
      if (t.bonded) {
        const VELMORA_PROPERTY_BINARY& p = ppt->bin[t.i][t.j];
        term = velmora_energy_bonding_with_energy_shift(t.d, p.d0, p.rmin, p.b, p.en_s);
      } else {
        const std::size_t s = static_cast<std::size_t>(t.i) * coulomb.total + t.j;
        term = coulomb.q[s] * std::erfc(t.d / coulomb.r_eff[s]) / t.d - coulomb.shift[s];
      }
      e += term * t.w;
    }
    partial[c] = e;
  }
  double total = 0.0;
  for (double e : partial) total += e;
  return total * VELMORA_PAIR_SUM_FACTOR;
}

// -------------------------------------------------------------- energies ----

static double velmora_cell_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                  bool unconstrained, bool* ok) {
  if (ok) *ok = false;
  VELMORA_PAIR_SUM sum;
  if (velmora_pair_sum_build(sum, cell, ppt, unconstrained) != 0) return 0.0;
  if (ok) *ok = true;
  return velmora_pair_sum_energy(sum, ppt);
}

double velmora_cell_calculate_total_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                           bool* ok) {
  return velmora_cell_energy(cell, ppt, false, ok);
}

double velmora_cell_calculate_total_energy_unconstrained_part(const VELMORA_CELL* cell,
                                                              const VELMORA_PROPERTY* ppt,
                                                              bool* ok) {
  return velmora_cell_energy(cell, ppt, true, ok);
}

double velmora_cell_total_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt, bool* ok) {
  if (ok) *ok = false;
  if (!cell || !valid_property(ppt)) {
    report_uninitialized();
    return 0.0;
  }
  bool done = false;
  const double e = velmora_cell_calculate_total_energy(cell, ppt, &done);
  if (!done) {
    std::fprintf(stderr, "Error: velmora_cell_calculate_total_energy() returns zero.\n");
    return 0.0;
  }
  if (!std::isfinite(e)) {
    std::fprintf(stderr, "Error: velmora_cell_calculate_total_energy() returns %f.\n", e);
    return 0.0;
  }
  if (ok) *ok = true;
  return e;
}

// ---------------------------------------------------------------- forces ----

int velmora_cell_calculate_force(VELMORA_VECTOR3_ARRAY& force, const VELMORA_CELL* cell,
                                 const VELMORA_PROPERTY* ppt) {
  if (!cell || !valid_property(ppt)) {
    report_uninitialized();
    return 1;
  }
  force.assign(cell->atom.size(), {0.0, 0.0, 0.0});
  if (cell->atom.empty()) return 0;
  std::vector<int> species;
  if (velmora_property_find_atom_indices(species, cell, ppt) != 0) return 1;
  const double r = energy_cutoff(ppt);
  const std::unique_ptr<VELMORA_NEIGHBOR> nb =
      velmora_neighbor_new(*cell, r, VELMORA_PAIR_SKIP_DISTANCE);
  if (!nb) return 1;
  const CoulombTable coulomb(ppt);
  std::vector<int> centre_atom;
  std::vector<double> centres;
  sum_centres(cell, centre_atom, centres);
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  velmora_neighbor_for_each(*nb, centres, [&](int c, int j, double d, const double* dx, int) {
    const int i = centre_atom[c];
    const long product = static_cast<long>(atom[i].os) * atom[j].os;
    double derivative;
    if (product > 0) {
      if (d > r) return;
      const std::size_t s = static_cast<std::size_t>(species[i]) * coulomb.total + species[j];
      derivative = velmora_force_coulombic(d, coulomb.q[s], coulomb.r_eff[s]);
    } else if (product < 0) {
      const int ci = atom[i].os > 0 ? species[i] : species[j];
      const int ai = atom[i].os > 0 ? species[j] : species[i];
      const VELMORA_PROPERTY_BINARY& p = ppt->bin[ci][ai];
      if (d > p.cutoff) return;
      derivative = velmora_force_bonding(d, p.d0, p.rmin, p.b);
    } else {
      return;
    }
    // dE/dr > 0 pulls atom i towards the image (dx points at it).
    const double scale = 0.5 * (derivative * (atom[i].occ * atom[j].occ)) / d;
    for (int k = 0; k < 3; ++k) force[i][k] += dx[k] * scale;
  });
  return 0;
}

// ---------------------------------------------------------------- strain ----

int velmora_cell_deform(VELMORA_CELL* cell, const double strain[3][3]) {
  if (!cell) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return 1;
  }
  double v[3];
  for (int k = 0; k < 3; ++k) {
    velmora_matrix33_double_multiply_vector3(v, strain, cell->a[k]);
    for (int c = 0; c < 3; ++c) cell->a[k][c] += v[c];
  }
  for (VELMORA_ATOM& atom : cell->atom) {
    velmora_matrix33_double_multiply_vector3(v, strain, atom.x);
    for (int c = 0; c < 3; ++c) atom.x[c] += v[c];
  }
  velmora_cell_update_fractional(cell);
  return 0;
}

// Energies of the six strained copies (-d, +d along x, y, z) share their
// pair terms across screening factors.
struct VELMORA_STRESS_TERMS {
  VELMORA_PAIR_SUM sum[3][2];
  double volume = 0.0;
};

static int velmora_stress_terms_build(VELMORA_STRESS_TERMS& st, const VELMORA_CELL* cell,
                                      const VELMORA_PROPERTY* ppt, double step) {
  st.volume = velmora_cell_calculate_volume(cell);
  if (!(st.volume > 0.0) || !std::isfinite(st.volume)) {
    std::fprintf(stderr, "Error: the cell volume %f is not positive.\n", st.volume);
    return 1;
  }
  for (int i = 0; i < 3; ++i)
    for (int s = 0; s < 2; ++s) {
      std::unique_ptr<VELMORA_CELL> copy = velmora_cell_copy(cell);
      if (!copy) {
        std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
        return 1;
      }
      double strain[3][3] = {};
      strain[i][i] = s == 0 ? -step : step;
      if (velmora_cell_deform(copy.get(), strain) != 0) {
        std::fprintf(stderr, "Error: velmora_cell_deform() returns non-zero.\n");
        return 1;
      }
      if (velmora_pair_sum_build(st.sum[i][s], copy.get(), ppt, false) != 0) {
        std::fprintf(stderr, "Error: velmora_cell_calculate_total_energy() returns 0.00.\n");
        return 1;
      }
    }
  return 0;
}

static int velmora_stress_terms_evaluate(double stress[3], const VELMORA_STRESS_TERMS& st,
                                         const VELMORA_PROPERTY* ppt, double step) {
  for (int i = 0; i < 3; ++i) {
    const double minus = velmora_pair_sum_energy(st.sum[i][0], ppt);
    const double plus = velmora_pair_sum_energy(st.sum[i][1], ppt);
    stress[i] = (plus - minus) / (2.0 * step) / st.volume;
    if (!std::isfinite(stress[i])) {
      std::fprintf(stderr, "Error: stress along %d is not finite.\n", i + 1);
      return 1;
    }
  }
  return 0;
}

// Strain step of the finite differences.
static constexpr double kStrainStep = 0.0001;

int velmora_cell_calculate_stress_diagonal(double stress[3], const VELMORA_CELL* cell,
                                           const VELMORA_PROPERTY* ppt) {
  if (!stress || !cell || !valid_property(ppt)) {
    report_uninitialized();
    return 1;
  }
  VELMORA_STRESS_TERMS st;
  if (velmora_stress_terms_build(st, cell, ppt, kStrainStep) != 0) return 1;
  return velmora_stress_terms_evaluate(stress, st, ppt, kStrainStep);
}

int velmora_cell_update_by_stress(VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt) {
  double stress[3];
  if (velmora_cell_calculate_stress_diagonal(stress, cell, ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_calculate_stress_diagonal() returns NULL.\n");
    return 1;
  }
  double strain[3][3] = {};
  for (int i = 0; i < 3; ++i) strain[i][i] = -0.5 * stress[i];
  if (velmora_cell_deform(cell, strain) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_deform() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_cell_update_coordinate(VELMORA_CELL* cell, const VELMORA_VECTOR3_ARRAY& displacement) {
  if (!cell || displacement.size() != cell->atom.size()) {
    std::fprintf(stderr, "Error: invalid arguments found.\n");
    return 1;
  }
  for (std::size_t k = 0; k < cell->atom.size(); ++k)
    for (int c = 0; c < 3; ++c) cell->atom[k].x[c] += displacement[k][c];
  velmora_cell_update_coordinate_fractional(cell);
  velmora_cell_bound_fractional(cell);
  velmora_cell_update_coordinate_cartesion(cell);
  return 0;
}

int velmora_cell_calculate_coordinate_step_size_simple(VELMORA_VECTOR3_ARRAY& displacement,
                                                       const VELMORA_CELL* cell,
                                                       const VELMORA_PROPERTY* ppt,
                                                       const VELMORA_VECTOR3_ARRAY& force) {
  if (!cell || !valid_property(ppt) || force.size() != cell->atom.size()) {
    std::fprintf(stderr, "Error: null arguments found.\n");
    return 1;
  }
  constexpr double kMaxStep = 0.1;  // A, largest move of any atom
  displacement.assign(cell->atom.size(), {0.0, 0.0, 0.0});
  double largest = 0.0;
  for (std::size_t k = 0; k < cell->atom.size(); ++k) {
    const int s = velmora_property_find_index(ppt, cell->atom[k].type, cell->atom[k].os);
    if (s < 0) {
      std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
      return 1;
    }
    const double m = ppt->uni[s].m;
    if (!(m > 0.0)) {
      std::fprintf(stderr, "Error: wrong mass value.\n");
      return 1;
    }
    for (int c = 0; c < 3; ++c) displacement[k][c] = force[k][c] / m;
    const double length = velmora_vector3_double_length(displacement[k].data());
    if (length > largest) largest = length;
  }
  if (largest > kMaxStep) {
    const double scale = kMaxStep / largest;
    for (auto& v : displacement)
      for (double& c : v) c *= scale;
  }
  return 0;
}

// ------------------------------------------------------ screening factor ----

int velmora_property_calculate_screening_factor(VELMORA_PROPERTY* ppt, const VELMORA_CELL* cell) {
  if (!ppt || !cell) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_PROPERTY has not been initialized properly.\n");
    return 1;
  }
  if (ppt->sf > 0.0) return 0;
  constexpr double kDefault = 0.75, kLow = 0.55, kHigh = 1.0;
  constexpr double kSfConv = 0.001, kPConv = 0.001;
  constexpr int kRounds = 100;
  ppt->sf = kDefault;
  if (velmora_property_validate_generic(ppt) != 0) {
    std::printf("Warning: velmora_property_validate_generic() returns non-zero.\n");
    std::printf("Message: default screening factor used %f.\n", kDefault);
    return 0;
  }
  // The strained geometries do not depend on the screening factor: their
  // pair terms are found once and re-evaluated in every round.
  VELMORA_STRESS_TERMS st;
  double stress[3];
  if (velmora_stress_terms_build(st, cell, ppt, kStrainStep) != 0 ||
      velmora_stress_terms_evaluate(stress, st, ppt, kStrainStep) != 0) {
    std::printf("Warning: velmora_cell_calculate_stress_diagonal() returns non-zero.\n");
    std::printf("Message: default screening factor used %f.\n", kDefault);
    ppt->sf = kDefault;
    return 0;
  }
  double p = (stress[0] + stress[1] + stress[2]) * 0.3333333333333333;
  bool expand_prev = p <= 0.0;
  double p_prev = 0.0, p_step = 0.0, sf_step = 0.1;
  int round = 0;
  bool first = true;
  while (sf_step >= 0.5 * kSfConv || (!first && p_step >= 0.5 * kPConv)) {
    first = false;
    if (velmora_stress_terms_evaluate(stress, st, ppt, kStrainStep) != 0) {
      std::printf("Warning: failed to converge the screening factor. Default value used.\n");
      ppt->sf = kDefault;
      break;
    }
    p = (stress[0] + stress[1] + stress[2]) * 0.3333333333333333;
    // Compressive stress (p > 0): a longer screening length pushes the like
    // charges apart and expands the cell, and vice versa.
    bool expand;
    if (p > 0.0) {
      ppt->sf += sf_step;
      expand = false;
    } else {
      ppt->sf -= sf_step;
      expand = true;
    }
    if (expand != expand_prev) sf_step *= 0.5;
    expand_prev = expand;
    p_step = p - p_prev;
    p_prev = p;
    if (++round > kRounds) {
      std::printf("Warning: failed to converge the screening factor. Default value used.\n");
      ppt->sf = kDefault;
      break;
    }
    // The factor moves in binary fractions of 0.1 from 0.75, so 0.75 - 0.1 - 0.1
    // lands on 0.5499999999999999: allow for that rounding at the bounds.
    constexpr double kBoundSlack = 1e-9;
    if (ppt->sf < kLow - kBoundSlack || ppt->sf > kHigh + kBoundSlack) {
      std::printf("Warning: screening factor out of bound (0.55~1.0). Default value used.\n");
      ppt->sf = kDefault;
      break;
    }
    std::printf("Message: calculating sf=%8.5f; p=%8.5f (conv: sf=%8.5f; p=%8.5f)\n", ppt->sf, p,
                sf_step, p_step);
  }
  std::printf("Message: final screening factor = %f\n", ppt->sf);
  return 0;
}

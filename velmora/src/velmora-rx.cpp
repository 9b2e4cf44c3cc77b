// Cell energy, forces and diagonal stress of the bond-valence force field,
// the strain/displacement updates of the relaxations and the screening-factor
// search.  Pair sums run over the shared periodic-image neighbour search;
// the terms of a geometry are kept so that the screening-factor search,
// which changes only the Coulomb screening length, re-evaluates terms only.
#include "velmora-rx.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
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

namespace {

// Everything a pair sum over one geometry needs besides the parameters'
// values: the species of every atom, the sum cut-off, the neighbour list and
// the centres.
struct PairGeometry {
  std::vector<int> species;
  double r = 0.0;
  std::unique_ptr<VELMORA_NEIGHBOR> nb;
  std::vector<int> centre_atom;
  std::vector<double> centres;
};

int pair_geometry(PairGeometry& g, const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                  bool unconstrained) {
  if (!cell || cell->atom.empty() || !valid_property(ppt)) {
    report_uninitialized();
    return 1;
  }
  if (velmora_property_find_atom_indices(g.species, cell, ppt) != 0) return 1;
  g.r = energy_cutoff(ppt);
  std::vector<bool> skip(cell->atom.size(), false);
  for (std::size_t k = 0; k < cell->atom.size(); ++k) skip[k] = cell->atom[k].ignored;
  g.nb = velmora_neighbor_new(*cell, g.r, VELMORA_PAIR_SKIP_DISTANCE,
                              {1.0, unconstrained ? &skip : nullptr});
  if (!g.nb) return 1;
  sum_centres(cell, g.centre_atom, g.centres);
  return 0;
}

// The term of centre atom i and image atom j at distance d: false when the
// pair takes no part (beyond its cut-off, or a neutral atom).
inline bool pair_term(VELMORA_PAIR_TERM& t, const std::vector<VELMORA_ATOM>& atom,
                      const PairGeometry& g, const VELMORA_PROPERTY* ppt, int i, int j, double d) {
  const long product = static_cast<long>(atom[i].os) * atom[j].os;
  t.d = d;
  t.w = atom[i].occ * atom[j].occ;
  if (product > 0) {
    if (d > g.r) return false;
    t.i = g.species[i];
    t.j = g.species[j];
    t.bonded = false;
    return true;
  }
  if (product < 0) {
    // Bonded pairs use the cation-anion record.
    t.i = atom[i].os > 0 ? g.species[i] : g.species[j];
    t.j = atom[i].os > 0 ? g.species[j] : g.species[i];
    if (d > ppt->bin[t.i][t.j].cutoff) return false;
    t.bonded = true;
    return true;
  }
  return false;  // neutral atoms take no part
}

// Energy of one term (e^2/A, before its weight).
inline double pair_term_energy(const VELMORA_PAIR_TERM& t, const VELMORA_PROPERTY* ppt,
                               const CoulombTable& coulomb) {
  if (t.bonded) {
    const VELMORA_PROPERTY_BINARY& p = ppt->bin[t.i][t.j];
    return velmora_energy_bonding_with_energy_shift(t.d, p.d0, p.rmin, p.b, p.en_s);
  }
  const std::size_t s = static_cast<std::size_t>(t.i) * coulomb.total + t.j;
  return coulomb.q[s] * std::erfc(t.d / coulomb.r_eff[s]) / t.d - coulomb.shift[s];
}

// The centres' sums added in atom order, whatever the thread count.
double pair_total(const std::vector<double>& partial) {
  double total = 0.0;
  for (double e : partial) total += e;
  return total * VELMORA_PAIR_SUM_FACTOR;
}

// The energy of a geometry with its terms found on the way, each centre's
// terms summed in the plain loop's order: the same bits as the stored terms
// give.  `parallel`: the centres may be spread over threads.
double pair_energy_direct(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                          bool unconstrained, bool parallel, bool* ok) {
  if (ok) *ok = false;
  PairGeometry g;
  if (pair_geometry(g, cell, ppt, unconstrained) != 0) return 0.0;
  const CoulombTable coulomb(ppt);
  std::vector<double> partial(g.centre_atom.size(), 0.0);
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  velmora_neighbor_for_each(
      *g.nb, g.centres,
      parallel && velmora_neighbor_worth_threads(g.centre_atom.size(), g.nb->atom.size()),
      [&](int c, int j, double d, const double*, int) {
        VELMORA_PAIR_TERM t;
        if (pair_term(t, atom, g, ppt, g.centre_atom[c], j, d))
          partial[c] += pair_term_energy(t, ppt, coulomb) * t.w;
      });
  if (ok) *ok = true;
  return pair_total(partial);
}

}  // namespace

int velmora_pair_sum_build(VELMORA_PAIR_SUM& sum, const VELMORA_CELL* cell,
                           const VELMORA_PROPERTY* ppt, bool unconstrained, double budget) {
  sum.start.clear();
  sum.term.clear();
  sum.term.shrink_to_fit();
  sum.geometry.reset();
  sum.stored = false;
  sum.unconstrained = unconstrained;
  if (!(budget > 0.0)) {
    // Nothing may be stored: the sum keeps the geometry (checked here, so
    // that a sum that cannot be formed fails now, not at its evaluation).
    if (!cell || cell->atom.empty() || !valid_property(ppt)) {
      report_uninitialized();
      return 1;
    }
    std::vector<int> species;
    if (velmora_property_find_atom_indices(species, cell, ppt) != 0) return 1;
    sum.geometry = velmora_cell_copy(cell);
    return 0;
  }
  PairGeometry g;
  if (pair_geometry(g, cell, ppt, unconstrained) != 0) return 1;
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  // First the terms are only counted, centre by centre: the list is built
  // only when it fits the budget, and then in one block of exactly its size.
  const std::size_t centres = g.centre_atom.size();
  std::vector<int> count(centres, 0);
  velmora_neighbor_for_each(*g.nb, g.centres, [&](int c, int j, double d, const double*, int) {
    VELMORA_PAIR_TERM t;
    if (pair_term(t, atom, g, ppt, g.centre_atom[c], j, d)) ++count[c];
  });
  double terms = 0.0;
  for (int n : count) terms += n;
  const double bytes = terms * sizeof(VELMORA_PAIR_TERM);
  bool stored = bytes <= budget && terms < 2147483647.0;
  if (stored) {
    try {
      sum.start.resize(centres + 1);
      sum.start[0] = 0;
      for (std::size_t c = 0; c < centres; ++c) sum.start[c + 1] = sum.start[c] + count[c];
      sum.term.resize(static_cast<std::size_t>(terms));
    } catch (const std::bad_alloc&) {
      stored = false;  // not enough memory now: the terms are found each time
    }
  }
  if (!stored) {
    sum.start.clear();
    sum.start.shrink_to_fit();
    sum.term.clear();
    sum.term.shrink_to_fit();
    sum.geometry = velmora_cell_copy(cell);
    return 0;
  }
  std::vector<int> next(sum.start.begin(), sum.start.end() - 1);
  velmora_neighbor_for_each(*g.nb, g.centres, [&](int c, int j, double d, const double*, int) {
    VELMORA_PAIR_TERM t;
    if (pair_term(t, atom, g, ppt, g.centre_atom[c], j, d)) sum.term[next[c]++] = t;
  });
  sum.stored = true;
  return 0;
}

double velmora_pair_sum_energy(const VELMORA_PAIR_SUM& sum, const VELMORA_PROPERTY* ppt) {
  if (!sum.stored) {
    // Over the budget: the same terms again from the geometry, on one
    // thread (the callers run several such sums side by side).
    // A sum that cannot be formed gives NaN, which no caller takes for an
    // energy.
    bool ok = false;
    const double e = sum.geometry ? pair_energy_direct(sum.geometry.get(), ppt,
                                                       sum.unconstrained, false, &ok)
                                  : 0.0;
    return ok ? e : std::nan("");
  }
  if (sum.start.empty()) return 0.0;
  const CoulombTable coulomb(ppt);
  const long centres = static_cast<long>(sum.start.size()) - 1;
  std::vector<double> partial(static_cast<std::size_t>(centres), 0.0);
  // Each centre's terms are summed in the plain loop's order; the centres'
  // sums are then added in atom order, whatever the thread count.
#pragma omp parallel for schedule(static) if (sum.term.size() > 2000000)
  for (long c = 0; c < centres; ++c) {
    double e = 0.0;
    for (int k = sum.start[c]; k < sum.start[c + 1]; ++k)
      e += pair_term_energy(sum.term[k], ppt, coulomb) * sum.term[k].w;
    partial[c] = e;
  }
  return pair_total(partial);
}

// -------------------------------------------------------------- energies ----

static double velmora_cell_energy(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                  bool unconstrained, bool* ok) {
  // One energy needs no stored terms: they are summed as they are found.
  return pair_energy_direct(cell, ppt, unconstrained, true, ok);
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
// pair terms across screening factors.  The six are independent: they are
// built and evaluated side by side on the threads, each one whole on one
// thread, so the results do not depend on the thread count.
struct VELMORA_STRESS_TERMS {
  VELMORA_PAIR_SUM sum[3][2];
  double volume = 0.0;
};

namespace {

// Runs job(k) for k = 0..5 on the threads when `parallel`; an exception
// (exhausted memory) is kept and thrown again after the parallel region.
template <class Job>
void six_jobs(bool parallel, Job&& job) {
  std::exception_ptr error;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
  for (int k = 0; k < 6; ++k) {
    try {
      job(k);
    } catch (...) {
#pragma omp critical(velmora_six_jobs_error)
      if (!error) error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace

// `budget`: bytes of stored terms for the six copies together; 0 when the
// energies are wanted once only, so nothing is worth storing.
static int velmora_stress_terms_build(VELMORA_STRESS_TERMS& st, const VELMORA_CELL* cell,
                                      const VELMORA_PROPERTY* ppt, double step, double budget) {
  st.volume = velmora_cell_calculate_volume(cell);
  if (!(st.volume > 0.0) || !std::isfinite(st.volume)) {
    std::fprintf(stderr, "Error: the cell volume %f is not positive.\n", st.volume);
    return 1;
  }
  int failed[6] = {0, 0, 0, 0, 0, 0};
  six_jobs(cell->atom.size() > 16, [&](int k) {
    const int i = k / 2, s = k % 2;
    std::unique_ptr<VELMORA_CELL> copy = velmora_cell_copy(cell);
    double strain[3][3] = {};
    strain[i][i] = s == 0 ? -step : step;
    if (velmora_cell_deform(copy.get(), strain) != 0) {
      failed[k] = 1;
      return;
    }
    // Every copy holds at most its share of the budget.
    if (velmora_pair_sum_build(st.sum[i][s], copy.get(), ppt, false, budget / 6.0) != 0)
      failed[k] = 2;
  });
  for (int k = 0; k < 6; ++k) {
    if (failed[k] == 1) std::fprintf(stderr, "Error: velmora_cell_deform() returns non-zero.\n");
    if (failed[k] == 2)
      std::fprintf(stderr, "Error: velmora_cell_calculate_total_energy() returns 0.00.\n");
    if (failed[k]) return 1;
  }
  return 0;
}

static int velmora_stress_terms_evaluate(double stress[3], const VELMORA_STRESS_TERMS& st,
                                         const VELMORA_PROPERTY* ppt, double step) {
  double energy[3][2];
  std::size_t terms = 0;
  bool stored = true;
  for (const auto& pair : st.sum)
    for (const VELMORA_PAIR_SUM& sum : pair) {
      terms += sum.term.size();
      stored = stored && sum.stored;
    }
  // Side by side once the six sums are long enough to pay for waking a
  // thread (sums not stored are always long).
  six_jobs(!stored || terms > 20000,
           [&](int k) { energy[k / 2][k % 2] = velmora_pair_sum_energy(st.sum[k / 2][k % 2], ppt); });
  for (int i = 0; i < 3; ++i) {
    stress[i] = (energy[i][1] - energy[i][0]) / (2.0 * step) / st.volume;
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
  if (velmora_stress_terms_build(st, cell, ppt, kStrainStep, 0.0) != 0) return 1;
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
  // Parameters the stress cannot be computed with leave the default: a
  // recoverable problem of the search, reported as such.
  std::string reason;
  if (velmora_property_validate_generic(ppt, &reason) != 0) {
    std::printf("Warning: %s\n", reason.c_str());
    std::printf("Warning: velmora_property_validate_generic() returns non-zero.\n");
    std::printf("Message: default screening factor used %f.\n", kDefault);
    return 0;
  }
  // The strained geometries do not depend on the screening factor: their
  // pair terms are found once and re-evaluated in every round.
  VELMORA_STRESS_TERMS st;
  double stress[3];
  if (velmora_stress_terms_build(st, cell, ppt, kStrainStep, VELMORA_PAIR_TERM_BUDGET) != 0 ||
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

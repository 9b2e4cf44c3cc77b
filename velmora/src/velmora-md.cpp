// Molecular dynamics of the conducting ions in a fixed framework (--md):
// velocity Verlet with a Langevin thermostat; forces, energies and virial
// from Verlet neighbour lists over the shared image search (framework
// images listed once), evaluated per mobile ion on all cores.
#include "velmora-md.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "velmora-alloc.h"
#include "velmora-cmd.h"
#include "velmora-import.h"
#include "velmora-kmc.h"
#include "velmora-la.h"

namespace {

constexpr double kInverseKb = 11604.52;       // K/eV
constexpr double kElementaryCharge = 1.60217662;
constexpr double kGpaPerEvA3 = 160.217657;
constexpr double kTwoPi = 6.283185307179586;

bool md_ready(const VELMORA_MD* md) {
  if (!md || !md->cell || !md->ppt) {
    std::fprintf(stderr, "Error: VELMORA_MD has not been properly initialized.\n");
    return false;
  }
  return true;
}

// Per mobile ion: its force, its pair sums and the close contacts seen.
struct CentreSums {
  double f[3] = {};
  double s_mobile = 0.0;  // pair energies with mobile partners, e^2/A
  double s_fixed = 0.0;   // with fixed partners
  double virial = 0.0;    // -0.5 * D * w * r, e^2/A
  std::vector<double> close;
};

// One pair term seen from mobile atom i: partner j at offset dx, distance r.
inline void pair_term(const VELMORA_MD* md, int i, int j, const double dx[3], double r,
                      bool energy, CentreSums& s) {
  if (r <= VELMORA_MD_CLOSE) {
    if (j != i) s.close.push_back(r);
    return;
  }
  const VELMORA_PROPERTY* p = md->ppt.get();
  const int si = md->species[i], sj = md->species[j];
  const long product = static_cast<long>(p->os[si]) * p->os[sj];
  double e = 0.0, d = 0.0;
  if (product > 0) {
    if (r > VELMORA_MD_CUTOFF) return;
    const double q = p->uni[si].q * p->uni[sj].q;
    if (q == 0.0) return;  // an uncharged partner: no term
    const double r_eff = p->sf * (p->uni[si].rc + p->uni[sj].rc);
    if (energy) e = velmora_energy_coulombic(r, q, r_eff);
    d = velmora_force_coulombic(r, q, r_eff);
  } else if (product < 0) {
    // The pair table is read as [cation][anion].
    const VELMORA_PROPERTY_BINARY& b = p->os[si] > 0 ? p->bin[si][sj] : p->bin[sj][si];
    if (!(r <= b.cutoff)) return;
    if (energy) e = velmora_energy_bonding_with_energy_shift(r, b.d0, b.rmin, b.b, b.en_s);
    d = velmora_force_bonding(r, b.d0, b.rmin, b.b);
  } else {
    return;
  }
  const VELMORA_ATOM* atom = md->cell->atom.data();
  const double w = atom[i].occ * atom[j].occ;
  const double scale = VELMORA_COULOMB * d * w / r;
  for (int c = 0; c < 3; ++c) s.f[c] += scale * dx[c];
  if (!energy) return;
  if (atom[j].ignored)
    s.s_fixed += e * w;
  else
    s.s_mobile += e * w;
  s.virial += -0.5 * VELMORA_COULOMB * d * w * r;
}

// Makes the mobile images and every mobile ion's neighbour list from the
// current (wrapped) cell; the framework images only the first time.
int build_lists(VELMORA_MD* md) {
  const VELMORA_CELL& cell = *md->cell;
  const double reach = md->reach + VELMORA_MD_SKIN;
  std::vector<bool> is_mobile(cell.atom.size()), is_fixed(cell.atom.size());
  for (std::size_t k = 0; k < cell.atom.size(); ++k) {
    is_mobile[k] = !cell.atom[k].ignored;
    is_fixed[k] = cell.atom[k].ignored;
  }
  if (!md->frame) {
    VELMORA_NEIGHBOR_OPTIONS options;
    options.skip = &is_mobile;
    md->frame = velmora_neighbor_new(cell, reach, VELMORA_NEIGHBOR_NO_SKIP, options);
    if (!md->frame) return 1;
  }
  VELMORA_NEIGHBOR_OPTIONS options;
  options.skip = &is_fixed;
  md->moving = velmora_neighbor_new(cell, reach, VELMORA_NEIGHBOR_NO_SKIP, options);
  if (!md->moving) return 1;
  const long n = md->mobile_count;
  md->pairs.assign(n, {});
  const bool threads = md->parallel && velmora_neighbor_worth_threads(
                                          static_cast<std::size_t>(n),
                                          md->frame->atom.size() + md->moving->atom.size());
#pragma omp parallel for schedule(dynamic, 4) if (threads)
  for (long c = 0; c < n; ++c) {
    const int i = md->mobile[c];
    std::vector<int> cand;
    std::vector<VELMORA_MD_PAIR>& list = md->pairs[c];
    velmora_neighbor_gather(cand, *md->frame, cell.atom[i].x, reach);
    for (int img : cand) list.push_back({img, false});
    velmora_neighbor_gather(cand, *md->moving, cell.atom[i].x, reach);
    for (int img : cand) list.push_back({img, true});
  }
  for (std::size_t k = 0; k < cell.atom.size(); ++k)
    for (int c = 0; c < 3; ++c) {
      md->x_build[k][c] = md->x[k][c];
      md->xw_build[k][c] = cell.atom[k].x[c];
    }
  ++md->builds;
  return 0;
}

bool lists_stale(const VELMORA_MD* md) {
  if (md->builds == 0) return true;
  const double limit = 0.25 * VELMORA_MD_SKIN * VELMORA_MD_SKIN;  // (skin/2)^2
  for (int i : md->mobile) {
    double d2 = 0.0;
    for (int c = 0; c < 3; ++c) {
      const double d = md->x[i][c] - md->x_build[i][c];
      d2 += d * d;
    }
    if (d2 > limit) return true;
  }
  return false;
}

// Forces of the current positions; with `energy`, also both potential
// energies and the virial (the energy terms cost as much as the forces and
// are needed only at the samples).
int evaluate(VELMORA_MD* md, bool energy) {
  const long n = md->mobile_count;
  std::vector<CentreSums> sums(n);
  const VELMORA_CELL& cell = *md->cell;
  if (md->direct) {
    // The plain loop: every image of every atom within the reach, listed
    // anew from the current cell.
    const std::unique_ptr<VELMORA_NEIGHBOR> nb =
        velmora_neighbor_new(cell, md->reach, VELMORA_NEIGHBOR_NO_SKIP);
    if (!nb) return 1;
    std::vector<int> all(nb->atom.size());
    for (std::size_t k = 0; k < all.size(); ++k) all[k] = static_cast<int>(k);
    for (long c = 0; c < n; ++c) {
      const int i = md->mobile[c];
      velmora_neighbor_visit(*nb, all, cell.atom[i].x,
                             [&](int j, double d, const double* dx, int) {
                               pair_term(md, i, j, dx, d, energy, sums[c]);
                             });
      // The atom itself (distance 0) is visited too; pair_term leaves it out.
    }
  } else {
    if (lists_stale(md) && build_lists(md) != 0) return 1;
    const VELMORA_NEIGHBOR& frame = *md->frame;
    const VELMORA_NEIGHBOR& moving = *md->moving;
    std::size_t total = 0;
    for (const auto& p : md->pairs) total += p.size();
    const bool threads = md->parallel && total > md->thread_threshold;
#pragma omp parallel for schedule(dynamic, 2) if (threads)
    for (long c = 0; c < n; ++c) {
      const int i = md->mobile[c];
      // Positions in the frame of the last listing: wrapped then, moved since.
      double p[3];
      for (int k = 0; k < 3; ++k) p[k] = md->xw_build[i][k] + (md->x[i][k] - md->x_build[i][k]);
      CentreSums& s = sums[c];
      for (const VELMORA_MD_PAIR& e : md->pairs[c]) {
        double dx[3];
        int j;
        if (e.mobile) {
          j = moving.atom[e.img];
          const double* q = &moving.x[3 * static_cast<std::size_t>(e.img)];
          for (int k = 0; k < 3; ++k) dx[k] = q[k] + (md->x[j][k] - md->x_build[j][k]) - p[k];
        } else {
          j = frame.atom[e.img];
          const double* q = &frame.x[3 * static_cast<std::size_t>(e.img)];
          for (int k = 0; k < 3; ++k) dx[k] = q[k] - p[k];
        }
        const double d = std::sqrt(dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2]);
        pair_term(md, i, j, dx, d, energy, s);
      }
    }
  }
  // Sums added in ion order: the result does not depend on the threads.
  double s_mobile = 0.0, s_fixed = 0.0, virial = 0.0;
  for (auto& f : md->f) f = {0.0, 0.0, 0.0};
  for (long c = 0; c < n; ++c) {
    const int i = md->mobile[c];
    for (int k = 0; k < 3; ++k) md->f[i][k] = sums[c].f[k];
    s_mobile += sums[c].s_mobile;
    s_fixed += sums[c].s_fixed;
    virial += sums[c].virial;
    for (double r : sums[c].close)
      std::fprintf(stderr, "Warning: unphysically low distance %lf detected at step %ld.\n", r,
                   md->step);
  }
  if (energy) {
    md->en_p = VELMORA_COULOMB_HALF * (s_mobile + s_fixed);
    md->en_p_phys = VELMORA_COULOMB_HALF * s_mobile + VELMORA_COULOMB * s_fixed;
    md->virial = virial;
  }
  for (int i : md->mobile)
    for (int k = 0; k < 3; ++k)
      if (!std::isfinite(md->f[i][k])) {
        std::fprintf(stderr, "Error: force on atom %d is not finite at step %ld.\n", i, md->step);
        return 1;
      }
  return 0;
}

// Fractional coordinates of x in the lattice rows a (inverse by cross
// products).
void to_fractional(double f[3], const double x[3], const double a[3][3]) {
  const double volume = velmora_matrix33_double_determinant(a);
  for (int k = 0; k < 3; ++k) {
    double n[3];
    velmora_vector3_double_cross(n, a[(k + 1) % 3], a[(k + 2) % 3]);
    f[k] = (x[0] * n[0] + x[1] * n[1] + x[2] * n[2]) / volume;
  }
}

}  // namespace

// ------------------------------------------------------ random numbers ----

double velmora_random_normal(double ave, double sd) {
  double u1 = velmora_random();
  while (!(u1 > 0.0)) u1 = velmora_random();
  double u2 = velmora_random();
  while (!(u2 > 0.0)) u2 = velmora_random();
  return sd * std::cos(kTwoPi * u2) * std::sqrt(-2.0 * std::log(u1)) + ave;
}

int velmora_matrixn3_double_random_normal(VELMORA_VECTOR3_ARRAY& a, long n, double ave,
                                          double sd) {
  a.resize(static_cast<std::size_t>(n));
  for (long i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) a[i][c] = velmora_random_normal(ave, sd);
  return 0;
}

// ------------------------------------------------------------- records ----

std::unique_ptr<VELMORA_MD> velmora_md_new(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt) {
  if (!cell || cell->atom.empty() || !ppt) {
    std::fprintf(stderr, "Error: VELMORA_MD has not been properly initialized.\n");
    return nullptr;
  }
  auto md = std::make_unique<VELMORA_MD>();
  md->cell = velmora_cell_copy(cell);
  md->ppt = velmora_property_copy(ppt);
  md->frame_cell = velmora_cell_copy(cell);
  if (!md->cell || !md->ppt || !md->frame_cell) {
    std::fprintf(stderr, "Error: unable to allocate VELMORA_MD.\n");
    return nullptr;
  }
  const std::size_t n = cell->atom.size();
  md->m.assign(n, 0.0);
  for (VELMORA_VECTOR3_ARRAY* a : {&md->x, &md->x0, &md->x_p1, &md->v, &md->v_nh, &md->f, &md->r,
                                   &md->x_build, &md->xw_build})
    a->assign(n, {0.0, 0.0, 0.0});
  if (velmora_property_find_atom_indices(md->species, md->cell.get(), md->ppt.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
    return nullptr;
  }
  for (std::size_t i = 0; i < n; ++i)
    if (!cell->atom[i].ignored) md->mobile.push_back(static_cast<int>(i));
  md->mobile_count = static_cast<long>(md->mobile.size());
  md->reach = std::fmax(velmora_property_max_cutoff(ppt), VELMORA_MD_CUTOFF);
  return md;
}

void velmora_md_set_position(VELMORA_MD* md, int i, const double p[3]) {
  VELMORA_ATOM& atom = md->cell->atom[i];
  for (int c = 0; c < 3; ++c) {
    md->x_p1[i][c] = md->x[i][c];
    md->x[i][c] = p[c];
  }
  double f[3];
  to_fractional(f, p, md->cell->a);
  for (int k = 0; k < 3; ++k) {
    f[k] -= std::floor(f[k]);
    if (f[k] >= 1.0) f[k] = 0.0;
    atom.x_f[k] = f[k];
  }
  for (int c = 0; c < 3; ++c)
    atom.x[c] = f[0] * md->cell->a[0][c] + f[1] * md->cell->a[1][c] + f[2] * md->cell->a[2][c];
}

// ---------------------------------------------------------- integration ----

int velmora_md_calculate_x_vv(VELMORA_VECTOR3_ARRAY& out, const VELMORA_VECTOR3_ARRAY& x,
                              const VELMORA_VECTOR3_ARRAY& v, const VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  out = x;
  for (int i : md->mobile)
    for (int c = 0; c < 3; ++c) out[i][c] = x[i][c] + md->dt * v[i][c];
  return 0;
}

int velmora_md_calculate_v_vv(VELMORA_VECTOR3_ARRAY& out, const VELMORA_VECTOR3_ARRAY& v,
                              const VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  out = v;
  for (int i : md->mobile)
    for (int c = 0; c < 3; ++c) out[i][c] = v[i][c] + 0.5 * md->dt * md->f[i][c] / md->m[i];
  return 0;
}

// Half a Langevin kick: u + (dt/2)(f/m - zeta u) + sqrt(kB dt T zeta / m) r.
int velmora_md_calculate_v_vv_langevin(VELMORA_VECTOR3_ARRAY& out, const VELMORA_VECTOR3_ARRAY& v,
                                       const VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  out = v;
  for (int i : md->mobile) {
    const double noise =
        std::sqrt(VELMORA_KB * md->dt * md->temperature_target * md->zeta / md->m[i]);
    for (int c = 0; c < 3; ++c)
      out[i][c] = v[i][c] + 0.5 * md->dt * (md->f[i][c] / md->m[i] - md->zeta * v[i][c]) +
                  noise * md->r[i][c];
  }
  return 0;
}

int velmora_md_calculate_vi_vv(VELMORA_VECTOR3_ARRAY& v, VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  if (md->mobile.empty()) return 0;
  double p[3] = {};
  for (int i : md->mobile)
    for (int c = 0; c < 3; ++c) {
      // The spread passed is kB T / m itself; the thermostat of the
      // equilibration brings the ions to the target temperature.
      v[i][c] = velmora_random_normal(0.0, VELMORA_KB * md->temperature_init / md->m[i]);
      p[c] += md->m[i] * v[i][c];
    }
  for (int c = 0; c < 3; ++c) p[c] /= static_cast<double>(md->mobile.size());
  for (int i : md->mobile)
    for (int c = 0; c < 3; ++c) v[i][c] -= p[c] / md->m[i];
  return 0;
}

int velmora_md_calculate_force(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  return evaluate(md, false);
}

// Also refreshes the forces and the virial of the pressure.
int velmora_md_calculate_energy_potential(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  return evaluate(md, true);
}

int velmora_md_calculate_energy_kinetic(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  double en = 0.0;
  for (int i : md->mobile)
    for (int c = 0; c < 3; ++c) en += md->m[i] * md->v[i][c] * md->v[i][c] * md->cell->atom[i].occ;
  md->en_k = 0.5 * en;
  return 0;
}

int velmora_md_calculate_energy(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  if (velmora_md_calculate_energy_potential(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_energy_potential() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_calculate_energy_kinetic(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_energy_kinetic() returns non-zero.\n");
    return 1;
  }
  md->en = md->en_p + md->en_k;
  md->en_phys = md->en_p_phys + md->en_k;
  return 0;
}

int velmora_md_calculate_temperature(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  md->temperature =
      md->mobile_count > 0 ? 2.0 * md->en_k / (3.0 * md->mobile_count * VELMORA_KB) : 0.0;
  return 0;
}

int velmora_md_calculate_pressure(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  double kinetic = 0.0;
  for (int i : md->mobile)
    for (int c = 0; c < 3; ++c) kinetic += md->m[i] * md->v[i][c] * md->v[i][c];
  md->pressure = (md->virial + kinetic) / (3.0 * md->volume);
  return 0;
}

// Running averages over the samples, each weighted by the time since the
// sample before (the sampling interval, or less for the sample after the
// last step).
int velmora_md_calculate_average(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  const double tiny = 1e-9 * md->dt;
  if ((md->t + tiny < md->t_log && !md->last_sample) || !(md->t > md->t_sample + tiny)) return 0;
  const double w = md->t - md->t_sample;
  const double t = md->t;
  md->en_k_ave = (w * md->en_k + md->en_k_ave * (t - w)) / t;
  md->en_p_ave = (w * md->en_p + md->en_p_ave * (t - w)) / t;
  md->pressure_ave = (w * md->pressure + md->pressure_ave * (t - w)) / t;
  md->en_ave = md->en_p_ave + md->en_k_ave;
  md->temperature_ave =
      md->mobile_count > 0 ? 2.0 * md->en_k_ave / (3.0 * md->mobile_count * VELMORA_KB) : 0.0;
  md->t_sample = t;
  return 0;
}

int velmora_md_calculate_conduction_property(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  md->displacement = md->diffusivity = md->mobility = md->conductivity = 0.0;
  if (!(md->t > 0.0)) return 0;
  const VELMORA_PROPERTY* p = md->ppt.get();
  const int k = p->conducting;
  long n = 0;
  double sum_d = 0.0, sum_d2 = 0.0;
  for (int i : md->mobile) {
    const VELMORA_ATOM& a = md->cell->atom[i];
    if (k < 0 || std::strcmp(a.type, p->type[k].data()) != 0 || a.os != p->os[k]) continue;
    double d2 = 0.0;
    for (int c = 0; c < 3; ++c) d2 += (md->x[i][c] - md->x0[i][c]) * (md->x[i][c] - md->x0[i][c]);
    sum_d += std::sqrt(d2);
    sum_d2 += d2;
    ++n;
  }
  if (n == 0) {
    std::fprintf(stderr, "Error: no mobile ion of the conducting species.\n");
    return 1;
  }
  const int os = p->os[k];
  md->displacement = sum_d / n;
  md->diffusivity = sum_d2 / n / (6.0 * md->t);
  // Before the first averaged sample the instantaneous temperature stands in.
  const double temperature = md->temperature_ave > 0.0 ? md->temperature_ave : md->temperature;
  md->mobility = temperature > 0.0 ? os / temperature * kInverseKb * md->diffusivity : 0.0;
  md->conductivity = (n / md->volume) * os * kElementaryCharge * md->mobility * 10.0;
  return 0;
}

// ----------------------------------------------------------------- steps ----

int velmora_md_update_vv_langevin(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  ++md->step;
  md->t = md->step * md->dt;  // not summed, so that t reaches t_log exactly
  const long n = static_cast<long>(md->cell->atom.size());
  if (velmora_matrixn3_double_random_normal(md->r, n, 0.0, 1.0) != 0) {
    std::fprintf(stderr, "Error: velmora_matrixn3_double_random_normal() returns NULL.\n");
    return 1;
  }
  if (velmora_md_calculate_v_vv_langevin(md->v_nh, md->v, md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_v_vv_langevin() returns NULL.\n");
    return 1;
  }
  VELMORA_VECTOR3_ARRAY next;
  velmora_md_calculate_x_vv(next, md->x, md->v_nh, md);
  for (int i : md->mobile) velmora_md_set_position(md, i, next[i].data());
  if (velmora_md_calculate_force(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_force() returns NULL.\n");
    return 1;
  }
  if (velmora_matrixn3_double_random_normal(md->r, n, 0.0, 1.0) != 0) {
    std::fprintf(stderr, "Error: velmora_matrixn3_double_random_normal() returns NULL.\n");
    return 1;
  }
  if (velmora_md_calculate_v_vv_langevin(md->v, md->v_nh, md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_v_vv_langevin() returns NULL.\n");
    return 1;
  }
  return 0;
}

namespace {

// Energy, temperature and pressure of the present step, each with its own
// error line, as the start and every sample need them.
int measure_state(VELMORA_MD* md) {
  if (velmora_md_calculate_energy(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_energy() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_calculate_temperature(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_temperature() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_calculate_pressure(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_pressure() returns non-zero.\n");
    return 1;
  }
  return 0;
}

}  // namespace

int velmora_md_init_vv(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  if (md->temperature_init <= 0.0) md->temperature_init = 10.0;
  if (md->temperature_target <= 0.0) md->temperature_target = 300.0;
  if (md->dt <= 0.0) md->dt = 0.001;
  if (md->zeta <= 0.0) md->zeta = 2.0;
  if (md->t_end <= 0.0) md->t_end = 10.0;
  if (md->t_equil <= 0.0) md->t_equil = 2.0;
  // Rounded, not truncated: 0.7 / 0.001 is 699.9999... in floating point.
  const double ratio = md->t_log / md->dt;
  md->step_log = ratio > 0.0 ? (ratio < 1e12 ? std::lround(ratio) : 1000000000000L) : 0;
  if (md->step_log < 1) md->step_log = 100;
  md->t_log = md->step_log * md->dt;
  md->log.clear();
  md->xyz.clear();
  md->trj.clear();
  const std::string* names[3] = {&md->logname, &md->xyzname, &md->trjname};
  bool* open[3] = {&md->log_open, &md->xyz_open, &md->trj_open};
  for (int k = 0; k < 3; ++k) {
    *open[k] = false;
    if (names[k]->empty()) continue;
    // Refused now if it cannot be written; written at the end of the run.
    if (velmora_file_check_writable(names[k]->c_str()) != 0) return 1;
    *open[k] = true;
  }
  for (std::size_t i = 0; i < md->cell->atom.size(); ++i) {
    const int s = md->species[i];
    if (s < 0) {
      std::fprintf(stderr, "Error: velmora_property_find_index() returns negative value.\n");
      return 1;
    }
    md->m[i] = VELMORA_AMU_TO_EV_PS2_A2 * md->ppt->uni[s].m;
    for (int c = 0; c < 3; ++c) md->x[i][c] = md->x0[i][c] = md->cell->atom[i].x[c];
    if (!md->cell->atom[i].ignored && !(md->m[i] > 0.0)) {
      std::fprintf(stderr, "Error: the mass of %s%d is not positive.\n", md->cell->atom[i].type,
                   md->cell->atom[i].os);
      return 1;
    }
  }
  md->volume = velmora_cell_calculate_volume(md->cell.get());
  if (!(md->volume > 0.0)) {
    std::fprintf(stderr, "Error: the cell volume %f is not positive.\n", md->volume);
    return 1;
  }
  md->builds = 0;
  if (velmora_md_calculate_force(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_force() returns NULL.\n");
    return 1;
  }
  if (velmora_md_calculate_vi_vv(md->v, md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_vi_vv() returns non-zero.\n");
    return 1;
  }
  if (measure_state(md) != 0) return 1;
  double mass = 0.0;
  for (int c = 0; c < 3; ++c) md->x_com[c] = 0.0;
  for (int i : md->mobile) {
    mass += md->m[i];
    for (int c = 0; c < 3; ++c) md->x_com[c] += md->m[i] * md->x0[i][c];
  }
  if (mass > 0.0)
    for (int c = 0; c < 3; ++c) md->x_com[c] /= mass;
  return 0;
}

int velmora_md_equilibrate(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  double next = 0.05;
  while (md->t < md->t_equil) {
    if (md->step == 0 && md->progress) {
      std::printf("MD: equilibration phase\n");
      std::printf("MD: target  : --------------------\n");
      std::printf("MD: progress: ");
      std::fflush(stdout);
    } else if (md->t / md->t_equil >= next) {
      while (md->t / md->t_equil >= next) next += 0.05;
      if (md->progress) {
        std::printf("+");
        std::fflush(stdout);
      }
    }
    if (velmora_md_update_vv_langevin(md) != 0) {
      std::fprintf(stderr, "Error: velmora_md_update_vv_langevin() returns non-zero.\n");
      return 1;
    }
  }
  if (md->progress) std::printf("+\n");
  md->step = 0;
  md->t = 0.0;
  md->t_sample = 0.0;
  md->displacement = md->diffusivity = md->mobility = md->conductivity = 0.0;
  md->x0 = md->x;
  return 0;
}

namespace {

int sample(VELMORA_MD* md, bool log) {
  if (measure_state(md) != 0) return 1;
  if (velmora_md_calculate_average(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_average() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_calculate_conduction_property(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_calculate_conduction_property() returns non-zero.\n");
    return 1;
  }
  if (!log) return 0;
  if (velmora_md_log_sample(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_log_sample() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_log_xyz(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_log_xyz() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_log_trj(md) != 0) {
    std::fprintf(stderr, "Error: velmora_md_log_trj() returns non-zero.\n");
    return 1;
  }
  return 0;
}

// D of the conducting ions over the span since the last block start.
void block_close(VELMORA_MD* md) {
  const double tau = md->t - md->block_t0;
  const VELMORA_PROPERTY* p = md->ppt.get();
  const int k = p->conducting;
  if (!(tau > 0.0) || k < 0) return;
  double sum = 0.0;
  long n = 0;
  for (int i : md->mobile) {
    const VELMORA_ATOM& a = md->cell->atom[i];
    if (std::strcmp(a.type, p->type[k].data()) != 0 || a.os != p->os[k]) continue;
    for (int c = 0; c < 3; ++c) {
      const double d = md->x[i][c] - md->block_x[i][c];
      sum += d * d;
    }
    ++n;
  }
  if (n > 0) md->block_d.push_back(sum / n / (6.0 * tau));
  md->block_x = md->x;
  md->block_t0 = md->t;
}

void block_error(VELMORA_MD* md) {
  md->diffusivity_error = 0.0;
  const std::size_t n = md->block_d.size();
  if (n < 2) return;
  double mean = 0.0, var = 0.0;
  for (double d : md->block_d) mean += d / n;
  for (double d : md->block_d) var += (d - mean) * (d - mean) / (n - 1);
  if (mean > 0.0) md->diffusivity_error = std::sqrt(var) / mean * md->diffusivity;
}

}  // namespace

int velmora_md_run(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  double next = 0.05;
  if (md->step == 0) {
    md->block_d.clear();
    md->block_x = md->x;
    md->block_t0 = md->t;
  }
  while (md->t < md->t_end - 1e-9 * md->dt) {
    if (md->step == 0 && md->progress) {
      std::printf("MD: production phase\n");
      std::printf("MD: target  : --------------------\n");
      std::printf("MD: progress: ");
      std::fflush(stdout);
    } else if (md->t / md->t_end >= next) {
      while (md->t / md->t_end >= next) next += 0.05;
      if (md->progress) {
        std::printf("*");
        std::fflush(stdout);
      }
    }
    if (md->step % md->step_log == 0 && sample(md, true) != 0) return 1;
    if (velmora_md_update_vv_langevin(md) != 0) {
      std::fprintf(stderr, "Error: velmora_md_update_vv_langevin() returns non-zero.\n");
      return 1;
    }
    const double span = md->t_end / md->blocks;
    if (md->t >= md->block_t0 + span - 1e-9 * md->dt) block_close(md);
  }
  if (md->progress) std::printf("*\n");
  // The results belong to the end of production, also when it is shorter
  // than one sampling interval.
  md->last_sample = true;
  const int status = sample(md, false);
  md->last_sample = false;
  if (md->t > md->block_t0 + 1e-9 * md->dt && md->block_d.size() < 2) block_close(md);
  block_error(md);
  return status;
}

// --------------------------------------------------------------- files ----

int velmora_md_log_sample(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  if (!md->log_open) return 0;
  char line[512];
  if (md->step == 0) {
    md->log +=
        "# en = en_k + en_p, en_p counting pairs of a mobile and a fixed ion at half weight "
        "(the cell-energy convention); en_phys = en_k + the potential energy that the forces "
        "conserve (those pairs in full); energies in eV, T in K, P in GPa\n";
    std::snprintf(line, sizeof line,
                  "%10s, %15s, %12s, %12s, %12s, %7s, %7s, %12s, %12s, %12s, %7s, %7s, %12s\n",
                  "step", "t", "en", "en_k", "en_p", "T", "P", "en_ave", "en_k_ave", "en_p_ave",
                  "T_ave", "P_ave", "en_phys");
    md->log += line;
  }
  std::snprintf(line, sizeof line,
                "%10ld, %15.6lf, %12.6lf, %12.6lf, %12.6lf, %7.3lf, %7.3lf, %12.6lf, %12.6lf, "
                "%12.6lf, %7.3lf, %7.3lf, %12.6lf\n",
                md->step, md->t, md->en, md->en_k, md->en_p, md->temperature,
                kGpaPerEvA3 * md->pressure, md->en_ave, md->en_k_ave, md->en_p_ave,
                md->temperature_ave, kGpaPerEvA3 * md->pressure_ave, md->en_phys);
  md->log += line;
  return 0;
}

int velmora_md_log_xyz(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  if (!md->xyz_open) return 0;
  // Extended XYZ: the cell and periodicity on every comment line, the
  // unwrapped positions (continuous paths through the boundaries).
  VELMORA_CELL& frame = *md->frame_cell;
  for (std::size_t i = 0; i < frame.atom.size(); ++i)
    for (int c = 0; c < 3; ++c) frame.atom[i].x[c] = md->x[i][c];
  char extra[128];
  std::snprintf(extra, sizeof extra, "step=%ld time=%.6f", md->step, md->t);
  velmora_xyz_append_frame(md->xyz, &frame, md->en_phys, nullptr, extra);
  return 0;
}

int velmora_md_log_trj(VELMORA_MD* md) {
  if (!md_ready(md)) return 1;
  if (!md->trj_open) return 0;
  char buf[160];
  const std::vector<VELMORA_ATOM>& atom = md->cell->atom;
  if (md->step == 0) {
    md->trj += "t, d_ave, ";
    for (std::size_t i = 0; i < atom.size(); ++i) {
      std::snprintf(buf, sizeof buf, "d_%ld_%s%s", static_cast<long>(i), atom[i].name,
                    i + 1 < atom.size() ? ", " : "");
      md->trj += buf;
    }
    md->trj += "\n";
  }
  std::snprintf(buf, sizeof buf, "%lf, %lf, ", md->t, md->displacement);
  md->trj += buf;
  for (std::size_t i = 0; i < atom.size(); ++i) {
    double d2 = 0.0;
    for (int c = 0; c < 3; ++c) d2 += (md->x[i][c] - md->x0[i][c]) * (md->x[i][c] - md->x0[i][c]);
    std::snprintf(buf, sizeof buf, "%lf%s", std::sqrt(d2), i + 1 < atom.size() ? ", " : "");
    md->trj += buf;
  }
  md->trj += "\n";
  return 0;
}

int velmora_md_write_files(VELMORA_MD* md) {
  if (!md) return 1;
  int status = 0;
  const std::string* names[3] = {&md->logname, &md->xyzname, &md->trjname};
  const std::string* data[3] = {&md->log, &md->xyz, &md->trj};
  const bool open[3] = {md->log_open, md->xyz_open, md->trj_open};
  for (int k = 0; k < 3; ++k)
    if (open[k] && velmora_file_write_atomically(names[k]->c_str(), *data[k]) != 0) {
      std::fprintf(stderr, "Error: unable to write to %s.\n", names[k]->c_str());
      status = 1;
    }
  return status;
}

void velmora_md_print_short(const VELMORA_MD* md) {
  if (!md || !md->cell) {
    std::printf("MD: (null)\n");
    return;
  }
  std::printf("MD: total atoms = %ld, free atoms = %ld\n", md->cell->total, md->mobile_count);
  std::printf("MD: t_end = %lf, t_equil = %lf, dt = %lf, t_log = %lf\n", md->t_end, md->t_equil,
              md->dt, md->t_log);
  std::printf("MD: en = %lf, en_k = %lf, en_p = %lf\n", md->en, md->en_k, md->en_p);
  std::printf("MD: T = %.3lf, T_int = %.3lf, T_target = %.3lf\n", md->temperature,
              md->temperature_init, md->temperature_target);
  std::printf("MD: P = %lf\n", md->pressure);
  std::printf("MD: V = %.2lf\n", md->volume);
  std::printf("MD: zeta = %.3lf\n", md->zeta);
  std::printf("MD: center of mass at (%.3lf, %.3lf, %.3lf).\n", md->x_com[0], md->x_com[1],
              md->x_com[2]);
}

// ---------------------------------------------------------------- driver ----

int velmora_md_conduction_from_file(const char* cifname, const char* type, int os, double sf,
                                    double temperature, double t_end, double t_equil, double dt,
                                    double t_log, const char* dir_binary, const char* dir_unitary,
                                    const char* dir_symcards) {
  const std::string base(cifname);
  if (base.size() > 1014) {
    std::fprintf(stderr, "Error: the file name %s is too long.\n", cifname);
    return 1;
  }
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  if (velmora_cell_import_cif_from_file(cell, symmetry, cifname, dir_symcards, dir_unitary) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_file() returns non-zero.\n");
    return 1;
  }
  symmetry.reset();
  // A conducting ion on a partly occupied site has no one position to move.
  for (const VELMORA_ATOM& a : cell->atom)
    if (std::strcmp(a.type, type) == 0 && a.os == os && a.occ < 1.0 - 1e-6) {
      std::fprintf(stderr,
                   "Error: %s holds %s%d%c on partially occupied sites (%s, occupancy %.3f); "
                   "resolve them first (--gen-cif-assign).\n",
                   cifname, type, std::abs(os), os > 0 ? '+' : '-', a.name, a.occ);
      return 1;
    }
  // The parameters (and the searched screening factor) of the whole, free
  // structure; the fixed atoms are read afterwards.
  if (velmora_property_check_counter_ions(cell.get()) != 0) return 1;
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_property_import_from_cell(cell.get(), type, os, sf, dir_unitary, dir_binary);
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    return 1;
  }
  velmora_cell_import_cif_read_constraint(cell.get(), cifname);
  long mobile = 0;
  for (VELMORA_ATOM& a : cell->atom) {
    if (std::strcmp(a.type, type) != 0 || a.os != os) a.ignored = true;
    mobile += !a.ignored;
  }
  if (mobile == 0) {
    std::fprintf(stderr, "Error: %s holds no mobile %s%d%c ion.\n", cifname, type, std::abs(os),
                 os > 0 ? '+' : '-');
    return 1;
  }
  if (velmora_property_set_conducting(ppt.get(), type, os) != 0) {
    std::fprintf(stderr, "Error: velmora_property_set_conducting() returns non-zero.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_MD> md = velmora_md_new(cell.get(), ppt.get());
  if (!md) {
    std::fprintf(stderr, "Error: velmora_md_new() returns non-zero.\n");
    return 1;
  }
  cell.reset();
  ppt.reset();
  md->temperature_target = temperature;
  md->t_end = t_end;
  md->t_equil = t_equil;
  md->dt = dt;
  md->t_log = t_log;
  md->zeta = -0.1;
  md->logname = base + ".md.txt";
  md->xyzname = base + ".md.xyz";
  md->trjname = base + ".md.trj";
  if (velmora_md_init_vv(md.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_md_init_vv() returns non-zero.\n");
    return 1;
  }
  velmora_md_print_short(md.get());
  if (velmora_md_equilibrate(md.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_md_equilibrate() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_run(md.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_md_run() returns non-zero.\n");
    return 1;
  }
  if (velmora_md_write_files(md.get()) != 0) return 1;
  std::printf("MD: displacement = %lf\n", md->displacement);
  std::printf("MD: diffusivity = %e\n", md->diffusivity);
  if (md->block_d.size() >= 2)
    std::printf("MD: diffusivity error = %e (scatter of %zu blocks)\n", md->diffusivity_error,
                md->block_d.size());
  std::printf("MD: mobility = %e\n", md->mobility);
  std::printf("MD: conductivity = %e\n", md->conductivity);
  std::printf("Message: observables saved to %s\n", md->logname.c_str());
  std::printf("Message: displacements saved to %s\n", md->trjname.c_str());
  std::printf("Message: structures saved to %s\n", md->xyzname.c_str());
  if (velmora_cell_export_cif_to_file((base + ".md.cif").c_str(), md->cell.get(), nullptr) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return 1;
  }
  return 0;
}

int velmora_cmd_opt_do_md(VELMORA_CMD_OPT* opt) {
  char type[3] = {};
  int os = 0;
  if (!velmora_cmd_read_species(opt, 3, type, os)) return VELMORA_EXIT_FAILURE;
  // sf, temperature (K), t_end, t_equil, dt, t_log (ps); non-positive
  // values select the defaults.  A temperature or time beyond any physical
  // run would overflow the thermostat or never end.
  double value[6] = {-0.1, -0.1, -0.1, -0.1, -0.1, -0.1};
  const char* names[6] = {"sf", "temperature", "t_end", "t_equil", "dt", "t_log"};
  const double highest[6] = {VELMORA_CMD_MAX_SF, VELMORA_CMD_MAX_TEMPERATURE, 1e9, 1e9, 0.1, 1e9};
  for (int k = 0; k < 6; ++k)
    if (!velmora_cmd_arg_real(opt, 5 + k, names[k], -HUGE_VAL, highest[k], value[k]))
      return VELMORA_EXIT_FAILURE;
  if (!velmora_cmd_seed(opt, 11)) return VELMORA_EXIT_FAILURE;
  const double dt = value[4] > 0.0 ? value[4] : 0.001;
  const double steps = (std::fmax(value[2], 10.0) + std::fmax(value[3], 2.0)) / dt;
  if (steps > 1e9) {
    std::fprintf(stderr,
                 "Error: wrong parameter t_end: %.3g steps of %g ps would be needed (at "
                 "most 1e9).\n",
                 steps, dt);
    return VELMORA_EXIT_FAILURE;
  }
  if (velmora_md_conduction_from_file(opt->argv[2], type, os, value[0], value[1], value[2],
                                      value[3], value[4], value[5], opt->dir_binary.c_str(),
                                      opt->dir_unitary.c_str(), opt->dir_symcards.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_md_conduction_from_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

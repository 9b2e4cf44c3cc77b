// Bond-valence sums per symmetry-distinct site and the global instability
// index.  Each site's representative atom sums occ_B exp((R0 - d)/b) over the
// counter-ions B and their periodic images (0.3 A < d < pair cut-off), the
// images coming from the shared neighbour search in the plain loop's order.
#include "velmora-bv.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velmora-alloc.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-neighbor.h"

namespace {

// Images closer than this (A) are the atom itself or a shared site.
constexpr double kSkipDistance = 0.3;

bool same_species(const VELMORA_ATOM& a, const char* type, int os) {
  return a.os == os && std::strcmp(a.type, type) == 0;
}

}  // namespace

std::unique_ptr<VELMORA_BV> velmora_bv_new(long total) {
  auto bv = std::make_unique<VELMORA_BV>();
  if (total < 1) return bv;
  const std::size_t n = static_cast<std::size_t>(total);
  bv->total = total;
  bv->atom.assign(n, VELMORA_ATOM{});
  bv->multi.assign(n, 0);
  bv->sum.assign(n, 0.0);
  bv->value.assign(n, std::vector<double>(n, 0.0));
  return bv;
}

int velmora_bv_validate_property(const VELMORA_PROPERTY* ppt) {
  if (!ppt || ppt->total <= 0 || static_cast<int>(ppt->bin.size()) != ppt->total) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return 1;
  }
  return velmora_property_validate_binary(ppt, false);
}

std::unique_ptr<VELMORA_BV> velmora_bv_calculate_from_flagged_cell(const VELMORA_CELL* cell,
                                                                   const VELMORA_PROPERTY* ppt) {
  if (velmora_bv_validate_property(ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_bv_validate_property() returns non-zero.\n");
    return nullptr;
  }
  if (!velmora_cell_ready(cell)) return nullptr;
  long total = 0;
  for (const VELMORA_ATOM& a : cell->atom) {
    if (a.flag < 1) {
      std::fprintf(stderr, "Error: atom %s carries no site number.\n", a.name);
      return nullptr;
    }
    if (a.flag > total) total = a.flag;
  }
  std::printf("Message: total inequivalent sites: %ld\n", total);
  std::unique_ptr<VELMORA_BV> bv = velmora_bv_new(total);
  if (!bv) {
    std::fprintf(stderr, "Error: velmora_bv_new() returns NULL.\n");
    return nullptr;
  }
  std::vector<long> representative(static_cast<std::size_t>(total), -1);
  for (long k = 0; k < static_cast<long>(cell->atom.size()); ++k) {
    const long s = cell->atom[k].flag - 1;
    if (representative[s] < 0) {
      representative[s] = k;
      bv->atom[s] = cell->atom[k];
    }
    ++bv->multi[s];
  }
  // Species of every atom, for the pair records.
  std::vector<int> species;
  if (velmora_property_find_atom_indices(species, cell, ppt) != 0) return nullptr;
  // Images closer than 0.3 A are not visited; the test d < cutoff below
  // decides every other one.
  const std::unique_ptr<VELMORA_NEIGHBOR> nb =
      velmora_neighbor_new(*cell, velmora_property_max_cutoff(ppt), kSkipDistance, {2.0});
  if (!nb) return nullptr;
  std::vector<double> centres;
  for (long s = 0; s < total; ++s)
    centres.insert(centres.end(), bv->atom[s].x, bv->atom[s].x + 3);
  const std::vector<VELMORA_ATOM>& atom = cell->atom;
  VELMORA_BV* out = bv.get();
  velmora_neighbor_for_each(*nb, centres, [&](int s, int j, double d, const double*, int) {
    const long a = representative[s];
    const VELMORA_ATOM& A = atom[a];
    const VELMORA_ATOM& B = atom[j];
    const VELMORA_PROPERTY_BINARY* p;
    double sign;
    if (A.os > 0 && B.os < 0) {
      p = &ppt->bin[species[a]][species[j]];
      sign = 1.0;
    } else if (A.os < 0 && B.os >= 1) {
      p = &ppt->bin[species[j]][species[a]];
      sign = -1.0;
    } else {
      return;
    }
    if (!(d < p->cutoff)) return;
    const double v = sign * (B.occ * std::exp((p->r0 - d) / p->b));
    out->sum[s] += v;
    out->value[s][B.flag - 1] += v;
  });
  return bv;
}

std::unique_ptr<VELMORA_BV> velmora_bv_calculate_from_cell(VELMORA_CELL* cell,
                                                           const VELMORA_SYMMETRY* symmetry,
                                                           const char* dir_unitary,
                                                           const char* dir_binary) {
  if (velmora_cell_flag_site_by_symmetry(cell, symmetry) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_flag_site_by_symmetry() returns non-zero.\n");
    return nullptr;
  }
  // A fixed screening factor: the sums need no screening-factor search.
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_property_import_from_cell(cell, nullptr, 0, 0.75, dir_unitary, dir_binary);
  if (!ppt) {
    std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
    velmora_cell_refresh(cell);
    return nullptr;
  }
  std::unique_ptr<VELMORA_BV> bv = velmora_bv_calculate_from_flagged_cell(cell, ppt.get());
  if (!bv)
    std::fprintf(stderr, "Error: velmora_bv_calculate_from_flagged_cell() returns NULL.\n");
  velmora_cell_refresh(cell);
  return bv;
}

std::unique_ptr<VELMORA_BV> velmora_bv_calculate_from_cell_with_type(
    const VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry, const char* type1, int os1,
    const char* type2, int os2, const char* dir_unitary, const char* dir_binary) {
  std::unique_ptr<VELMORA_CELL> part = velmora_cell_copy(cell);
  if (!part) {
    std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
    return nullptr;
  }
  std::vector<VELMORA_ATOM> kept;
  for (const VELMORA_ATOM& a : part->atom)
    if (same_species(a, type1, os1) || same_species(a, type2, os2)) kept.push_back(a);
  if (kept.empty()) {
    std::fprintf(stderr, "Error: number of atoms must be positive.\n");
    std::fprintf(stderr, "Error: velmora_atom_new() returns NULL.\n");
    return nullptr;
  }
  part->atom = std::move(kept);
  part->total = static_cast<long>(part->atom.size());
  return velmora_bv_calculate_from_cell(part.get(), symmetry, dir_unitary, dir_binary);
}

double velmora_gii_calculate_from_bv(const VELMORA_BV* bv) {
  double num = 0.0, den = 0.0;
  if (bv)
    for (long s = 0; s < bv->total; ++s) {
      const double w = bv->multi[s] * bv->atom[s].occ;
      const double dev = bv->sum[s] - bv->atom[s].os;
      num += w * dev * dev;
      den += w;
    }
  const double gii = std::sqrt(num / den);
  // Results that are printed but describe no real structure are flagged on
  // standard error as well, where scripts that screen many files look.
  bool all_zero = bv && bv->total > 0;
  if (bv)
    for (long s = 0; s < bv->total; ++s) all_zero = all_zero && std::fabs(bv->sum[s]) < 1e-9;
  if (all_zero)
    std::fprintf(stderr,
                 "Warning: every bond-valence sum is zero: no cation-anion pair lies within the "
                 "bond cut-offs, so the result is suspect.\n");
  if (!(gii < 1.0))
    std::fprintf(stderr,
                 "Warning: the global instability index %f is unreasonable (1 or more): the "
                 "structure or its oxidation states are suspect.\n",
                 gii);
  std::printf("GII: Global instability index = %f\n", gii);
  const char* verdict = velmora_gii_verdict(gii);
  if (std::strcmp(verdict, "unreasonable") != 0) {
    std::printf("GII: suggested stability: %s.\n", verdict);
  } else {
    std::printf("GII: unreasonable value.\n");
    std::printf("GII: there might be an error in input structure or calculation.\n");
  }
  return gii;
}

const char* velmora_gii_verdict(double gii) {
  if (gii > 0.0 && gii < 0.15) return "stable";
  if (gii < 0.3) return "average";
  if (gii < 1.0) return "unstable";
  return "unreasonable";  // 1 or more, or not a number
}

double velmora_gii_calculate_from_cell(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                                       const char* dir_unitary, const char* dir_binary) {
  std::unique_ptr<VELMORA_BV> bv =
      velmora_bv_calculate_from_cell(cell, symmetry, dir_unitary, dir_binary);
  if (!bv) {
    std::fprintf(stderr, "Error: velmora_bv_calculate_from_cell() returns NULL.\n");
    return -1.0;
  }
  return velmora_gii_calculate_from_bv(bv.get());
}

void velmora_bv_print(const VELMORA_BV* bv) {
  if (!bv) {
    std::fprintf(stderr, "BV: (not allocated)\n");
    return;
  }
  std::printf("BV: %6s %4s %6s %9s\n", "name", "type", "occ", "bv_sum");
  for (long s = 0; s < bv->total; ++s) {
    const VELMORA_ATOM& a = bv->atom[s];
    std::printf("BV: %6s %2s%d%c %6.3f %9.6f\n", a.name, a.type, std::abs(a.os),
                a.os < 1 ? '-' : '+', a.occ, bv->sum[s]);
  }
  std::printf("BV:=============================================\n");
  std::printf("BV: %4s %4s %6s %4s %4s %6s %9s\n", "nam1", "typ1", "occ1", "nam2", "typ2", "occ1",
              "bv");
  const bool every_pair = bv->total <= VELMORA_BV_FULL_TABLE_SITES;
  long omitted = 0;
  for (long s = 0; s < bv->total; ++s)
    for (long t = 0; t < bv->total; ++t) {
      if (!every_pair && bv->value[s][t] == 0.0) {
        ++omitted;
        continue;
      }
      const VELMORA_ATOM& a = bv->atom[s];
      const VELMORA_ATOM& b = bv->atom[t];
      std::printf("BV: %4s %2s%d%c %6.3f %4s %2s%d%c %6.3f %9.6f\n", a.name, a.type,
                  std::abs(a.os), a.os < 1 ? '-' : '+', a.occ, b.name, b.type, std::abs(b.os),
                  b.os < 1 ? '-' : '+', b.occ, bv->value[s][t]);
    }
  if (!every_pair)
    std::printf(
        "BV: %ld of the %ld pairs of these %ld sites share no bond and are not listed "
        "(every pair is listed up to %ld sites).\n",
        omitted, bv->total * bv->total, bv->total, VELMORA_BV_FULL_TABLE_SITES);
}

void velmora_bv_print_gui(const VELMORA_BV* bv) {
  if (!bv) {
    std::fprintf(stderr, "BV: (not allocated)\n");
    return;
  }
  std::printf("Printing bond valence sum of each site for Velmora-GUI\n");
  std::printf("> Label [  X     Y     Z  ] : BV_sum\n");
  for (long s = 0; s < bv->total; ++s) {
    const VELMORA_ATOM& a = bv->atom[s];
    std::printf("> %5s [%.3f %.3f %.3f] : %.6f\n", a.name, a.x_f[0], a.x_f[1], a.x_f[2],
                bv->sum[s]);
  }
  std::printf("End of BV sum calculation for Velmora-GUI\n");
}

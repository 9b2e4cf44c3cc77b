// Nudged elastic band: a chain of images between two structures of the same
// atoms (matched by name), relaxed under the true force perpendicular to
// each atom's tangent plus a spring force along it; per-atom tangents from
// the minimum-image vectors to the neighbouring images.  The images are
// evaluated in parallel, each on its own persistent pair list (so the band
// does not depend on the thread count); logs, image CIFs, an extended-XYZ
// file of the band and the barrier summary.  The --rx-neb commands.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "velmora-cmd.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-rx.h"

namespace {

char sign_of(int os) { return os < 0 ? '-' : '+'; }

bool same_species(const VELMORA_ATOM& a, const VELMORA_ATOM& b) {
  return a.os == b.os && std::strcmp(a.type, b.type) == 0;
}

// Pairwise exchange sort of the atoms by name (byte order).
void sort_by_name(VELMORA_CELL* cell) {
  std::vector<VELMORA_ATOM>& atom = cell->atom;
  for (std::size_t i = 0; i < atom.size(); ++i)
    for (std::size_t j = i + 1; j < atom.size(); ++j)
      if (std::strcmp(atom[i].name, atom[j].name) > 0) std::swap(atom[i], atom[j]);
}

// The interior images and the two ends of a band.
bool interior(const VELMORA_RX_NEB* neb, int k) { return k > 0 && k < neb->total - 1; }

}  // namespace

// ------------------------------------------------------------ geometry ----

void velmora_cell_min_vector_btw_atoms(double out[3], const VELMORA_CELL* cell,
                                       const VELMORA_ATOM* a, const VELMORA_ATOM* b) {
  for (int c = 0; c < 3; ++c) out[c] = b->x[c] - a->x[c];
  double best = velmora_vector3_double_length(out);
  for (int i = -1; i <= 1; ++i)
    for (int j = -1; j <= 1; ++j)
      for (int k = -1; k <= 1; ++k) {
        double v[3];
        for (int c = 0; c < 3; ++c)
          v[c] = b->x[c] + i * cell->a[0][c] + j * cell->a[1][c] + k * cell->a[2][c] - a->x[c];
        const double d = velmora_vector3_double_length(v);
        if (d < best) {
          best = d;
          velmora_vector3_double_copy(out, v);
        }
      }
}

int velmora_rx_neb_validate(VELMORA_CELL* a, VELMORA_CELL* b) {
  if (!a || !b) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return 1;
  }
  if (a->atom.size() != b->atom.size()) {
    std::fprintf(stderr, "Error: total numbers of atoms mismatch.\n");
    return 1;
  }
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c)
      if (std::fabs(a->a[i][c] - b->a[i][c]) > 0.001) {
        std::fprintf(stderr, "Error: lattice parameters mismatch.\n");
        return 1;
      }
  sort_by_name(a);
  sort_by_name(b);
  const VELMORA_CELL* cells[2] = {a, b};
  const char* which[2] = {"1st", "2nd"};
  for (int w = 0; w < 2; ++w)
    for (std::size_t i = 1; i < cells[w]->atom.size(); ++i)
      if (std::strcmp(cells[w]->atom[i].name, cells[w]->atom[i - 1].name) == 0) {
        std::fprintf(stderr, "Error: duplicate atom names detected in %s cell, %s.\n", which[w],
                     cells[w]->atom[i].name);
        return 1;
      }
  for (std::size_t i = 0; i < a->atom.size(); ++i) {
    const VELMORA_ATOM& p = a->atom[i];
    const VELMORA_ATOM& q = b->atom[i];
    if (std::strcmp(p.name, q.name) != 0) {
      std::fprintf(stderr, "Error: atom name mismatch %s and %s.\n", p.name, q.name);
      return 1;
    }
    // One atom is one species all along the band.
    if (!same_species(p, q)) {
      std::fprintf(stderr, "Error: atom %s is %s%d%c in one image and %s%d%c in another.\n",
                   p.name, p.type, std::abs(p.os), sign_of(p.os), q.type, std::abs(q.os),
                   sign_of(q.os));
      return 1;
    }
  }
  return 0;
}

int velmora_rx_neb_validate_images(std::vector<std::unique_ptr<VELMORA_CELL>>& cells, int n) {
  if (n < 1 || static_cast<int>(cells.size()) < n) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return 1;
  }
  for (int k = 1; k < n; ++k)
    if (velmora_rx_neb_validate(cells[0].get(), cells[k].get()) != 0) {
      std::fprintf(stderr, "Error: cell [%d] fails the validation.\n", k);
      return 1;
    }
  return 0;
}

std::vector<std::unique_ptr<VELMORA_CELL>> velmora_cell_interpolate(const VELMORA_CELL* first,
                                                                    const VELMORA_CELL* last,
                                                                    int n) {
  std::vector<std::unique_ptr<VELMORA_CELL>> images;
  if (n < 3 || !first || !last || first->atom.size() != last->atom.size()) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return images;
  }
  for (std::size_t i = 0; i < first->atom.size(); ++i)
    if (!same_species(first->atom[i], last->atom[i])) {
      std::fprintf(stderr, "Error: mismatched element type or os in end images at atom[%ld].\n",
                   static_cast<long>(i));
      return images;
    }
  for (int m = 0; m < n; ++m) {
    std::unique_ptr<VELMORA_CELL> copy = velmora_cell_copy(m < n - 1 ? first : last);
    if (!copy) {
      std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL at cell[%d].\n", m);
      images.clear();
      return images;
    }
    images.push_back(std::move(copy));
  }
  for (std::size_t i = 0; i < first->atom.size(); ++i) {
    double d[3];
    velmora_cell_min_vector_btw_atoms(d, first, &first->atom[i], &last->atom[i]);
    for (int m = 1; m < n - 1; ++m)
      for (int c = 0; c < 3; ++c)
        images[m]->atom[i].x[c] = first->atom[i].x[c] + m * d[c] / (n - 1);
  }
  for (int m = 1; m < n - 1; ++m) {
    velmora_cell_update_coordinate_fractional(images[m].get());
    velmora_cell_bound_fractional(images[m].get());
    velmora_cell_update_coordinate_cartesion(images[m].get());
  }
  return images;
}

// -------------------------------------------------------------- record ----

std::unique_ptr<VELMORA_RX_NEB> velmora_rx_neb_new(VELMORA_CELL* first, VELMORA_CELL* last,
                                                   const VELMORA_PROPERTY* ppt, int n) {
  if (n <= 2) {
    std::fprintf(stderr, "Error: number of images must be larger than 2.\n");
    return nullptr;
  }
  if (n > VELMORA_RX_NEB_MAX_IMAGES) {
    std::fprintf(stderr, "Error: number of images must not exceed %d.\n",
                 VELMORA_RX_NEB_MAX_IMAGES);
    return nullptr;
  }
  if (!first || !last || !ppt) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
    return nullptr;
  }
  if (velmora_rx_neb_validate(first, last) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_neb_validate() returns non-zero.\n");
    return nullptr;
  }
  auto neb = std::make_unique<VELMORA_RX_NEB>();
  neb->total = n;
  neb->cell = velmora_cell_interpolate(first, last, n);
  if (neb->cell.empty()) {
    std::fprintf(stderr, "Error: velmora_cell_interpolate() returns NULL.\n");
    return nullptr;
  }
  // Atoms fixed in the first image are fixed all along the band.
  for (int m = 1; m < n; ++m)
    for (std::size_t i = 0; i < first->atom.size(); ++i)
      neb->cell[m]->atom[i].ignored = first->atom[i].ignored;
  neb->ppt = velmora_property_copy(ppt);
  if (!neb->ppt) {
    std::fprintf(stderr, "Error: velmora_property_copy() returns NULL.\n");
    return nullptr;
  }
  const std::size_t atoms = first->atom.size();
  const VELMORA_VECTOR3_ARRAY zero(atoms, {0.0, 0.0, 0.0});
  neb->conv.assign(n, 0);
  neb->conv[0] = neb->conv[n - 1] = 1;
  neb->en.assign(n, 0.0);
  neb->en_unconstrained.assign(n, 0.0);
  for (auto* v : {&neb->t, &neb->f, &neb->f0, &neb->f1, &neb->f2, &neb->f3, &neb->dx})
    v->assign(n, zero);
  neb->ci_image.assign(n, 0);
  neb->list.assign(n, VELMORA_PAIR_LIST());
  neb->log_global = velmora_text_new(nullptr);
  for (int m = 0; m < n; ++m) neb->log.push_back(velmora_text_new(nullptr));
  return neb;
}

std::unique_ptr<VELMORA_RX_NEB> velmora_rx_neb_new_from_images(
    std::vector<std::unique_ptr<VELMORA_CELL>>& cells, int n, const VELMORA_PROPERTY* ppt) {
  if (n <= 2 || static_cast<int>(cells.size()) < n) {
    std::fprintf(stderr, "Error: number of images must be larger than 2.\n");
    return nullptr;
  }
  if (velmora_rx_neb_validate_images(cells, n) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_neb_validate_images() returns non-zero.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_RX_NEB> neb =
      velmora_rx_neb_new(cells[0].get(), cells[n - 1].get(), ppt, n);
  if (!neb) return nullptr;
  for (int m = 1; m < n - 1; ++m) {
    neb->cell[m] = velmora_cell_copy(cells[m].get());
    if (!neb->cell[m]) {
      std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL at cell[%d].\n", m);
      return nullptr;
    }
    for (std::size_t i = 0; i < cells[0]->atom.size(); ++i)
      neb->cell[m]->atom[i].ignored = cells[0]->atom[i].ignored;
  }
  return neb;
}

// -------------------------------------------------------------- forces ----

namespace {

// Energies and true forces of the images that moved (the ends once): each
// image on its own pair list, the images on all cores.
int neb_evaluate(VELMORA_RX_NEB* neb) {
  std::vector<int> todo;
  for (int k = 0; k < neb->total; ++k)
    if (interior(neb, k) ? neb->moved : !neb->ends_done) todo.push_back(k);
  std::vector<int> failed(todo.size(), 0);
  const long count = static_cast<long>(todo.size());
#pragma omp parallel for schedule(dynamic, 1) if (count > 1)
  for (long p = 0; p < count; ++p) {
    const int k = todo[p];
    VELMORA_PAIR_EVAL ev;
    if (velmora_pair_list_evaluate(ev, neb->list[k], neb->cell[k].get(), neb->ppt.get(), false,
                                   false) != 0) {
      failed[p] = 1;
      continue;
    }
    neb->en[k] = ev.en;
    neb->en_unconstrained[k] = ev.en_unconstrained;
    neb->f0[k] = std::move(ev.force);
  }
  for (long p = 0; p < count; ++p)
    if (failed[p]) {
      std::fprintf(stderr, "Error: velmora_cell_calculate_total_energy() returns 0.0 at cell[%d].\n",
                   todo[p]);
      return 1;
    }
  neb->moved = false;
  neb->ends_done = true;
  return 0;
}

}  // namespace

int velmora_rx_neb_calculate_forces(VELMORA_RX_NEB* neb) {
  if (neb_evaluate(neb) != 0) return 1;
  const int n = neb->total;
  const std::size_t atoms = neb->cell[0]->atom.size();
  for (int k = 1; k < n - 1; ++k) {
    const VELMORA_CELL* prev = neb->cell[k - 1].get();
    const VELMORA_CELL* here = neb->cell[k].get();
    const VELMORA_CELL* next = neb->cell[k + 1].get();
    for (std::size_t i = 0; i < atoms; ++i) {
      // Each atom's own tangent: the mean of the unit steps to and from
      // its neighbours in the band; the energies do not enter.
      double ahead[3], behind[3], back[3], t[3];
      velmora_cell_min_vector_btw_atoms(ahead, here, &here->atom[i], &next->atom[i]);
      velmora_cell_min_vector_btw_atoms(behind, here, &prev->atom[i], &here->atom[i]);
      velmora_cell_min_vector_btw_atoms(back, here, &here->atom[i], &prev->atom[i]);
      double ua[3], ub[3], sum[3];
      velmora_vector3_double_normalize(ua, ahead);
      velmora_vector3_double_normalize(ub, behind);
      for (int c = 0; c < 3; ++c) sum[c] = ua[c] + ub[c];
      velmora_vector3_double_normalize(t, sum);
      for (int c = 0; c < 3; ++c) neb->t[k][i][c] = t[c];
      const double* f0 = neb->f0[k][i].data();
      const double along = velmora_vector3_double_dot(f0, t);
      double pq[3];
      for (int c = 0; c < 3; ++c) pq[c] = ahead[c] + back[c];
      const double spring = neb->k * velmora_vector3_double_dot(pq, t);
      for (int c = 0; c < 3; ++c) {
        neb->f1[k][i][c] = f0[c] - along * t[c];
        neb->f2[k][i][c] = spring * t[c];
        neb->f3[k][i][c] = along * t[c];
      }
      const bool climbing = neb->ci_active && neb->ci_image[k];
      for (int c = 0; c < 3; ++c)
        neb->f[k][i][c] = climbing ? neb->f1[k][i][c] - neb->f3[k][i][c]
                                   : neb->f1[k][i][c] + neb->f2[k][i][c];
      // A fixed atom stays where it is, whatever the springs say.
      if (here->atom[i].ignored) neb->f[k][i] = {0.0, 0.0, 0.0};
    }
  }
  return 0;
}

namespace {

int neb_update_coordinate(VELMORA_RX_NEB* neb) {
  for (int k = 1; k < neb->total - 1; ++k) {
    if (velmora_cell_calculate_coordinate_step_size_simple(neb->dx[k], neb->cell[k].get(),
                                                           neb->ppt.get(), neb->f[k]) != 0) {
      std::fprintf(stderr,
                   "Error: velmora_cell_calculate_coordinate_step_size_simple() returns non-zero "
                   "at cell[%d]\n",
                   k);
      return 1;
    }
    if (velmora_cell_update_coordinate(neb->cell[k].get(), neb->dx[k]) != 0) {
      std::fprintf(stderr, "Error: velmora_cell_update_coordinate() returns non-zero at cell[%d]\n",
                   k);
      return 1;
    }
  }
  neb->moved = true;
  return 0;
}

void neb_determine_saddle_images(VELMORA_RX_NEB* neb) {
  for (int k = 0; k < neb->total; ++k)
    neb->ci_image[k] =
        interior(neb, k) && neb->en[k] > neb->en[k - 1] && neb->en[k] > neb->en[k + 1];
}

// ---------------------------------------------------------------- logs ----

std::string neb_log_name(const VELMORA_RX_NEB* neb, int image) {
  char name[1200];
  if (image < 0)
    std::snprintf(name, sizeof name, "%s.neb-log.txt", neb->log_filename.c_str());
  else
    std::snprintf(name, sizeof name, "%s.neb-log.%d.txt", neb->log_filename.c_str(), image);
  return name;
}

double length3(const std::array<double, 3>& v) { return velmora_vector3_double_length(v.data()); }

int neb_log_header(VELMORA_RX_NEB* neb) {
  VELMORA_TEXT* g = neb->log_global.get();
  int bad = velmora_text_append_format(g, "total_images = %d, step_limit = %ld, f_conv = %.6f\n",
                                       neb->total, neb->step_limit, neb->f_conv);
  bad |= velmora_text_append_format(g, "%6s", "step");
  for (int k = 0; k < neb->total; ++k) bad |= velmora_text_append_format(g, ", en[%4d]", k);
  bad |= velmora_text_append(g, "\n");
  const long atoms = static_cast<long>(neb->cell[0]->atom.size());
  for (int k = 0; k < neb->total; ++k) {
    VELMORA_TEXT* t = neb->log[k].get();
    bad |= velmora_text_append_format(t, "image_index = %d, total_atom = %ld\n", k, atoms);
    bad |= velmora_text_append_format(t, "%6s,%9s", "step", "en");
    for (long i = 0; i < atoms; ++i) bad |= velmora_text_append_format(t, ",  f[%4ld]", i);
    for (long i = 0; i < atoms; ++i) bad |= velmora_text_append_format(t, ",f_t[%4ld]", i);
    for (long i = 0; i < atoms; ++i) bad |= velmora_text_append_format(t, ",f_s[%4ld]", i);
    bad |= velmora_text_append(t, "\n");
  }
  return bad ? 1 : 0;
}

int neb_log_append(VELMORA_RX_NEB* neb) {
  VELMORA_TEXT* g = neb->log_global.get();
  int bad = velmora_text_append_format(g, "%6ld", neb->step);
  for (int k = 0; k < neb->total; ++k) bad |= velmora_text_append_format(g, ",%9.4f", neb->en[k]);
  bad |= velmora_text_append(g, "\n");
  for (int k = 0; k < neb->total; ++k) {
    VELMORA_TEXT* t = neb->log[k].get();
    bad |= velmora_text_append_format(t, "%6ld,%9.4f", neb->step, neb->en[k]);
    for (const auto* v : {&neb->f[k], &neb->f0[k], &neb->f2[k]})
      for (const auto& x : *v)
        bad |= velmora_text_append_format(t, ",%9.4f", length3(x) * VELMORA_FORCE_EV_PER_A);
    bad |= velmora_text_append(t, "\n");
  }
  return bad ? 1 : 0;
}

// Writes the pending lines (creating the files at step 0, adding to them
// later) and empties the buffers.
int neb_log_dump(VELMORA_RX_NEB* neb) {
  const bool create = neb->step == 0;
  auto write = [&](const std::string& path, VELMORA_TEXT* text) {
    const int bad = create ? velmora_text_export_to_file(text, path.c_str())
                           : velmora_text_append_to_file(text, path.c_str());
    if (bad) {
      std::fprintf(stderr, create ? "Error: velmora_text_export_to_file() returns non-zero.\n"
                                  : "Error: velmora_text_append_to_file() returns non-zero.\n");
      return 1;
    }
    text->content.clear();
    text->length = 0;
    return 0;
  };
  if (write(neb_log_name(neb, -1), neb->log_global.get()) != 0) return 1;
  for (int k = 0; k < neb->total; ++k)
    if (write(neb_log_name(neb, k), neb->log[k].get()) != 0) return 1;
  return 0;
}

// The band as extended XYZ: one frame per image with its energy and true
// forces.
int neb_export_xyz(const VELMORA_RX_NEB* neb) {
  std::string out;
  for (int k = 0; k < neb->total; ++k) {
    char extra[64];
    std::snprintf(extra, sizeof extra, "image=%d step=%ld", k, neb->step);
    velmora_xyz_append_frame(out, neb->cell[k].get(), neb->en[k], &neb->f0[k], extra);
  }
  const std::string name = neb->log_filename + ".neb.xyz";
  if (velmora_file_write_atomically(name.c_str(), out) != 0) {
    std::fprintf(stderr, "Error: unable to write %s.\n", name.c_str());
    return 1;
  }
  return 0;
}

// Pending log lines and the images, whatever the step.
int neb_write_all(VELMORA_RX_NEB* neb, bool logs) {
  if (logs && neb_log_dump(neb) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_neb_log_dump() returns non-zero.\n");
    return 1;
  }
  if (velmora_rx_neb_cells_export_to_file(neb) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_neb_cells_export_to_file() returns non-zero.\n");
    return 1;
  }
  return neb_export_xyz(neb);
}

}  // namespace

int velmora_rx_neb_cells_export_to_file(const VELMORA_RX_NEB* neb) {
  for (int k = 0; k < neb->total; ++k) {
    char name[1200];
    std::snprintf(name, sizeof name, "%s.neb.%d.cif", neb->log_filename.c_str(), k);
    // The writer uses the atoms' flags as scratch: it gets a copy, so that
    // the fixed atoms of the band stay fixed.
    std::unique_ptr<VELMORA_CELL> copy = velmora_cell_copy(neb->cell[k].get());
    if (!copy || velmora_cell_export_cif_to_file(name, copy.get(), nullptr) != 0) {
      std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
      return 1;
    }
  }
  return 0;
}

int velmora_rx_neb_log(VELMORA_RX_NEB* neb) {
  if (neb->step_log < 0) return 0;
  if (neb->step_log == 0) neb->step_log = 50;
  if (neb->step == 0) {
    if (neb_log_header(neb) != 0) {
      std::fprintf(stderr, "Error: velmora_rx_neb_log_header() returns non-zero.\n");
      return 1;
    }
  } else if (neb_log_append(neb) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_neb_log_append() returns non-zero.\n");
    return 1;
  }
  if (neb->step % neb->step_log == 0 || neb->converged) return neb_write_all(neb, true);
  return 0;
}

void velmora_rx_neb_barrier(const VELMORA_RX_NEB* neb, double& forward, double& backward,
                            int& highest) {
  highest = 0;
  for (int k = 1; k < neb->total; ++k)
    if (neb->en[k] > neb->en[highest]) highest = k;
  forward = neb->en[highest] - neb->en[0];
  backward = neb->en[highest] - neb->en[neb->total - 1];
}

// ----------------------------------------------------------------- run ----

int velmora_rx_neb_run(VELMORA_RX_NEB* neb) {
  if (!neb || neb->total < 3 || !neb->ppt) {
    std::fprintf(stderr, "Error: VELMORA_RX_NEB has not been properly initialized.\n");
    return 1;
  }
  const int n = neb->total;
  if (neb->relax) {
    for (int k : {0, n - 1}) {
      std::printf("Message: relaxing image [%3d]...\n", k);
      std::unique_ptr<VELMORA_CELL> relaxed =
          velmora_cell_relax_sd(neb->cell[k].get(), neb->ppt.get(), 0, 0, neb->f_conv, 0.0);
      if (!relaxed) {
        std::fprintf(stderr, "Error: velmora_cell_relax_sd() returns non-zero.\n");
        return 1;
      }
      neb->cell[k] = std::move(relaxed);
    }
  }
  neb->ends_done = false;
  neb->moved = true;
  if (neb_evaluate(neb) != 0) return 1;
  if (velmora_rx_neb_log(neb) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_neb_log() returns non-zero.\n");
    return 1;
  }
  std::printf("Message: starting NEB calculation...\n");
  bool limited = false;
  while (!neb->converged) {
    neb->step += 1;
    if (neb->step_limit > 0 && neb->step > neb->step_limit) {
      neb->step -= 1;
      limited = true;
      break;
    }
    if (velmora_rx_neb_calculate_forces(neb) != 0) {
      std::fprintf(stderr, "Error: velmora_rx_neb_calculate_force() returns non-zero.\n");
      return 1;
    }
    bool all = true;
    for (int k = 1; k < n - 1; ++k) {
      if (!neb->conv[k]) {
        neb->conv[k] = !(velmora_rx_largest_force(neb->f[k]) > neb->f_conv);  // eV/A
      }
      all = all && neb->conv[k];
    }
    neb->converged = all;
    if (neb->ci && !neb->ci_active && neb->converged) {
      std::printf("RX_NEB: climbing image mode triggered at step %ld.\n", neb->step);
      neb->ci_active = true;
      neb->converged = false;
      neb->step_ci_start = neb->step;
      neb->f_conv = neb->f_conv_ci;
      neb_determine_saddle_images(neb);
    }
    // The log of this step describes the band as its forces were found.
    if (neb->converged) {
      std::printf("RX_NEB: convergence reached.\n");
    } else if (neb_update_coordinate(neb) != 0) {
      std::fprintf(stderr, "Error: velmora_rx_neb_update_coordinate() returns non-zero.\n");
      return 1;
    } else {
      for (int k = 1; k < n - 1; ++k) neb->conv[k] = 0;
    }
    std::printf("RX_NEB: [%3ld] en:", neb->step);
    for (int k = 0; k < n; ++k) std::printf(" %7.3f", neb->en[k]);
    std::printf("\n");
    if (velmora_rx_neb_log(neb) != 0) {
      std::fprintf(stderr, "Error: velmora_rx_neb_log() returns non-zero.\n");
      return 1;
    }
  }
  if (limited) std::printf("Warning: step limit reached without achieving convergence.\n");
  // The band as it ends: energies of the last move, the pending log lines
  // and the final images, also when the step limit ended the run.
  if (neb_evaluate(neb) != 0) return 1;
  double forward, backward;
  int highest;
  velmora_rx_neb_barrier(neb, forward, backward, highest);
  std::printf("RX_NEB: barrier forward = %.6f eV; backward = %.6f eV; highest image = %d\n",
              forward, backward, highest);
  const bool pending = neb->step_log >= 0 && neb->log_global->length > 0;
  if (neb_write_all(neb, pending) != 0) return 1;
  return 0;
}

namespace {

int neb_setup_and_run(std::unique_ptr<VELMORA_RX_NEB> neb, long step_limit, long step_log,
                      bool relax, bool ci, double f_conv, double k, const char* prefix) {
  neb->step_limit = step_limit;
  neb->step_log = step_log;
  neb->relax = relax;
  neb->ci = ci;
  neb->f_conv = f_conv > 0.0 ? f_conv : VELMORA_RX_F_CONV;
  neb->f_conv_ci = 0.5 * neb->f_conv;
  neb->k = k > 0.0 ? k : 0.5;
  neb->log_filename = prefix ? prefix : "neb_default";
  if (velmora_rx_neb_run(neb.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_neb_run() returns non-zero.\n");
    return 1;
  }
  return 0;
}

}  // namespace

int velmora_cell_relax_neb(VELMORA_CELL* first, VELMORA_CELL* last, const VELMORA_PROPERTY* ppt,
                           int n, long step_limit, long step_log, bool relax, bool ci,
                           double f_conv, double k, const char* prefix) {
  std::unique_ptr<VELMORA_RX_NEB> neb = velmora_rx_neb_new(first, last, ppt, n);
  if (!neb) {
    std::fprintf(stderr, "Error: velmora_rx_neb_new() returns NULL.\n");
    return 1;
  }
  return neb_setup_and_run(std::move(neb), step_limit, step_log, relax, ci, f_conv, k, prefix);
}

int velmora_cell_relax_neb_images(std::vector<std::unique_ptr<VELMORA_CELL>>& cells, int n,
                                  const VELMORA_PROPERTY* ppt, long step_limit, long step_log,
                                  bool relax, bool ci, double f_conv, double k,
                                  const char* prefix) {
  std::unique_ptr<VELMORA_RX_NEB> neb = velmora_rx_neb_new_from_images(cells, n, ppt);
  if (!neb) {
    std::fprintf(stderr, "Error: velmora_rx_neb_new_from_images() returns NULL.\n");
    return 1;
  }
  return neb_setup_and_run(std::move(neb), step_limit, step_log, relax, ci, f_conv, k, prefix);
}

// ------------------------------------------------------------ commands ----

namespace {

// The band's settings after its positional arguments, from argv[first]
// on: step_limit, step_log, relax, f_conv, sf, k, output prefix.
struct NebArgs {
  int n = 0;
  long step_limit = 0, step_log = 0;
  bool relax = true;
  double f_conv = -0.1, sf = -0.1, k = -0.1;
  std::string prefix;
};

bool neb_read_args(const VELMORA_CMD_OPT* opt, int n_index, bool relax_default, NebArgs& a) {
  if (!velmora_cmd_read_int(opt->argv[n_index], a.n) || a.n <= 2) {
    std::fprintf(stderr, "Error: wrong parameter total number of images.\n");
    return false;
  }
  if (!velmora_cmd_arg_int(opt, n_index, "total number of images", INT_MIN,
                           VELMORA_RX_NEB_MAX_IMAGES, a.n))
    return false;
  int i = n_index + 1;
  const long max_steps = static_cast<long>(VELMORA_CMD_MAX_STEPS);
  auto read_long = [&](long& v, const char* what) {
    return velmora_cmd_arg_long(opt, i++, what, LONG_MIN, max_steps, v);
  };
  // A force criterion beyond 100 eV/A stops at once, a spring beyond
  // 100 eV/A^2 makes the band stiffer than any bond.
  auto read_real = [&](double& v, const char* what, double highest) {
    return velmora_cmd_arg_real(opt, i++, what, -HUGE_VAL, highest, v);
  };
  if (!read_long(a.step_limit, "step_limit") || !read_long(a.step_log, "step_log")) return false;
  a.relax = relax_default;
  if (opt->argc > i) {
    const char c = opt->argv[i][0];
    a.relax = relax_default ? !(c == 'f' || c == 'F') : (c == 't' || c == 'T');
  }
  ++i;
  if (!read_real(a.f_conv, "f_conv", 100.0) || !read_real(a.sf, "sf", VELMORA_CMD_MAX_SF) ||
      !read_real(a.k, "k", 100.0))
    return false;
  char prefix[1024];
  std::snprintf(prefix, sizeof prefix, "%.1023s", opt->argc > i ? opt->argv[i] : opt->argv[2]);
  a.prefix = prefix;
  return velmora_file_check_prefix(prefix) == 0;
}

}  // namespace

int velmora_cmd_opt_do_rx_neb(VELMORA_CMD_OPT* opt) {
  NebArgs args;
  if (!neb_read_args(opt, 4, true, args)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CELL> cells[2];
  for (int w = 0; w < 2; ++w) {
    std::unique_ptr<VELMORA_SYMMETRY> symmetry;
    if (velmora_cell_import_cif_from_file(cells[w], symmetry, opt->argv[2 + w],
                                          opt->dir_symcards.c_str(),
                                          opt->dir_unitary.c_str()) != 0) {
      std::fprintf(stderr, "Error: velmora_cell_import_cif_from_file() returns non-zero.\n");
      return VELMORA_EXIT_FAILURE;
    }
    velmora_cmd_rx_constraint(cells[w].get(), opt->argv[2 + w]);
  }
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_cmd_rx_property(opt, cells[0].get(), args.sf);
  if (!ppt) return VELMORA_EXIT_FAILURE;
  if (velmora_cell_relax_neb(cells[0].get(), cells[1].get(), ppt.get(), args.n, args.step_limit,
                             args.step_log, args.relax, false, args.f_conv, args.k,
                             args.prefix.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_relax_neb() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_rx_neb_images(VELMORA_CMD_OPT* opt) {
  NebArgs args;
  if (!neb_read_args(opt, 3, false, args)) return VELMORA_EXIT_FAILURE;
  std::vector<std::unique_ptr<VELMORA_CELL>> cells = velmora_cells_import_cif_from_file(
      opt->argv[2], args.n, opt->dir_symcards.c_str(), opt->dir_unitary.c_str());
  if (cells.empty()) {
    std::fprintf(stderr, "Error: velmora_cells_import_cif_from_file() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  for (int k = 0; k < args.n; ++k) {
    char name[1100];
    std::snprintf(name, sizeof name, "%s.%d.cif", opt->argv[2], k);
    velmora_cmd_rx_constraint(cells[k].get(), name);
  }
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_cmd_rx_property(opt, cells[0].get(), args.sf);
  if (!ppt) return VELMORA_EXIT_FAILURE;
  if (velmora_cell_relax_neb_images(cells, args.n, ppt.get(), args.step_limit, args.step_log,
                                    args.relax, false, args.f_conv, args.k,
                                    args.prefix.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_relax_neb() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

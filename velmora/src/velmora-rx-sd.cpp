// Steepest-descent relaxation: atoms move along their forces by force/mass,
// the fastest by at most 0.1 A, and every step_p steps the lattice is
// strained against the diagonal stress; fixed atoms come from the CIF
// column _atom_site_velmora_fixed.  Each step is one pass over a persistent
// pair list (energy and forces together); frames go to an extended-XYZ
// trajectory.  The --rx-sd command.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "velmora-cmd.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-rx.h"

// --------------------------------------------------------- XYZ frames ----

void velmora_xyz_append_frame(std::string& out, const VELMORA_CELL* cell, double energy,
                              const VELMORA_VECTOR3_ARRAY* force, const char* extra) {
  if (!cell) return;
  const bool forces = force && force->size() == cell->atom.size();
  char line[512];
  std::snprintf(line, sizeof line, "%zu\n", cell->atom.size());
  out += line;
  std::snprintf(line, sizeof line,
                "Lattice=\"%.10f %.10f %.10f %.10f %.10f %.10f %.10f %.10f %.10f\" "
                "Properties=species:S:1:pos:R:3%s energy=%.10f pbc=\"T T T\"%s%s\n",
                cell->a[0][0], cell->a[0][1], cell->a[0][2], cell->a[1][0], cell->a[1][1],
                cell->a[1][2], cell->a[2][0], cell->a[2][1], cell->a[2][2],
                forces ? ":forces:R:3" : "", energy, extra ? " " : "", extra ? extra : "");
  out += line;
  constexpr double kToEvPerA = VELMORA_FORCE_EV_PER_A;
  for (std::size_t i = 0; i < cell->atom.size(); ++i) {
    const VELMORA_ATOM& a = cell->atom[i];
    int n = std::snprintf(line, sizeof line, "%-2s %16.10f %16.10f %16.10f", a.type, a.x[0],
                          a.x[1], a.x[2]);
    if (forces)
      std::snprintf(line + n, sizeof line - n, " %16.10f %16.10f %16.10f",
                    (*force)[i][0] * kToEvPerA, (*force)[i][1] * kToEvPerA,
                    (*force)[i][2] * kToEvPerA);
    out += line;
    out += '\n';
  }
}

double velmora_rx_largest_force(const VELMORA_VECTOR3_ARRAY& force) {
  double largest = 0.0;
  for (const auto& f : force) largest = std::fmax(largest, velmora_vector3_double_length(f.data()));
  return largest * VELMORA_FORCE_EV_PER_A;
}

std::string velmora_xyz_name(const std::string& name) {
  const std::size_t n = name.size();
  if (n > 4 && name.compare(n - 4, 4, ".cif") == 0) return name.substr(0, n - 4) + ".xyz";
  return name + ".xyz";
}

// ----------------------------------------------------------- constraints ----

int velmora_cell_import_cif_read_constraint(VELMORA_CELL* cell, const char* path) {
  if (!cell) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return 1;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_import_from_file(path);
  if (!text) return 1;
  if (text->content.find("_velmora_fixed") == std::string::npos) {
    std::printf("Message: keyword '_velmora_fixed' not found in cif file.\n");
    return 1;
  }
  std::vector<std::string> rows;
  long count = 0;
  if (velmora_text_segregate_into_rows(rows, count, text.get(), '\n') != 0) return 1;
  VELMORA_CIF_DOC doc;
  velmora_cif_doc_parse(doc, rows);
  velmora_cif_doc_select_block(doc);
  VELMORA_CIF_TABLE table;
  int table_rows = 0, table_columns = 0;
  if (!velmora_cif_doc_find_loop(doc, "_atom_site_label") ||
      velmora_cif_doc_grep_loop(table, table_rows, table_columns, "_atom_site_label", doc) != 0) {
    std::printf("Message: keyword '_atom_site_label' not found in cif file.\n");
    return 1;
  }
  std::vector<VELMORA_ATOM> listed(static_cast<std::size_t>(table_rows - 1));
  if (velmora_cell_import_cif_read_atom_name(listed, table) != 0 ||
      velmora_cell_import_cif_read_atom(listed, table) != 0)
    return 1;
  if (velmora_cell_import_cif_read_atom_constraint(listed, table) != 0) {
    std::fprintf(stderr,
                 "Error: velmora_cell_import_cif_read_atom_constraint() returns non-zero.\n");
    return 1;
  }
  // Each atom of the expanded cell takes the flag of the first listed site
  // of its name on its own place (periodic distance below 0.001 A); the
  // symmetry copies elsewhere stay free.
  for (VELMORA_ATOM& atom : cell->atom) {
    atom.ignored = false;
    for (const VELMORA_ATOM& site : listed) {
      if (std::strcmp(site.name, atom.name) != 0) continue;
      double d[3], c[3];
      for (int k = 0; k < 3; ++k) d[k] = site.x_f[k] - atom.x_f[k] - std::round(site.x_f[k] - atom.x_f[k]);
      for (int k = 0; k < 3; ++k)
        c[k] = d[0] * cell->a[0][k] + d[1] * cell->a[1][k] + d[2] * cell->a[2][k];
      if (velmora_vector3_double_length(c) < 0.001) {
        atom.ignored = site.ignored;
        break;
      }
    }
  }
  return 0;
}

// ---------------------------------------------------------------- record ----

std::unique_ptr<VELMORA_RX_SD> velmora_rx_sd_new(const VELMORA_CELL* cell,
                                                 const VELMORA_PROPERTY* ppt) {
  if (!cell || cell->atom.empty()) {
    std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
    return nullptr;
  }
  if (!ppt) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return nullptr;
  }
  auto rx = std::make_unique<VELMORA_RX_SD>();
  rx->cell = velmora_cell_copy(cell);
  rx->ppt = velmora_property_copy(ppt);
  if (!rx->cell || !rx->ppt) {
    std::fprintf(stderr, "Error: unable to allocate VELMORA_RX_SD->%s.\n",
                 rx->cell ? "ppt" : "cell");
    return nullptr;
  }
  const std::size_t n = cell->atom.size();
  rx->f.assign(n, {0.0, 0.0, 0.0});
  rx->dx.assign(n, {0.0, 0.0, 0.0});
  rx->fixed.assign(n, {false, false, false});
  for (std::size_t i = 0; i < n; ++i)
    if (cell->atom[i].ignored) rx->fixed[i] = {true, true, true};
  return rx;
}

void velmora_rx_sd_print(const VELMORA_RX_SD* rx) {
  if (!rx) {
    std::printf("RX_SD: (not allocated)\n");
    return;
  }
  std::printf("RX_SD: step=%3ld; en=%11.6f; p=%9.6f; converged=%s\n", rx->step, rx->en, rx->p,
              rx->converged ? "true" : "false");
}

namespace {

// Keeps the frame of the current step; when the trajectory is full, every
// other frame is dropped and only every (2 * stride)-th step is kept from
// then on.
void rx_sd_record_frame(VELMORA_RX_SD* rx, const VELMORA_VECTOR3_ARRAY& force, bool last) {
  if (!rx->trajectory) return;
  if (!last && rx->step % rx->frame_stride != 0) return;
  if (!rx->frame_step.empty() && rx->frame_step.back() == rx->step) return;
  char extra[64];
  std::snprintf(extra, sizeof extra, "step=%ld", rx->step);
  std::string frame;
  velmora_xyz_append_frame(frame, rx->cell.get(), rx->en, &force, extra);
  rx->frame.push_back(std::move(frame));
  rx->frame_step.push_back(rx->step);
  if (static_cast<long>(rx->frame.size()) > VELMORA_RX_SD_MAX_FRAMES) {
    rx->frame_stride *= 2;
    std::size_t kept = 0;
    for (std::size_t k = 0; k < rx->frame.size(); ++k)
      if (rx->frame_step[k] % rx->frame_stride == 0 || k + 1 == rx->frame.size()) {
        if (k != kept) rx->frame[kept] = std::move(rx->frame[k]);
        rx->frame_step[kept++] = rx->frame_step[k];
      }
    rx->frame.resize(kept);
    rx->frame_step.resize(kept);
  }
}

// Strains the cell by -0.5 * stress along each axis.
int rx_sd_strain(VELMORA_CELL* cell, const double stress[3]) {
  double strain[3][3] = {};
  for (int i = 0; i < 3; ++i) strain[i][i] = -0.5 * stress[i];
  if (velmora_cell_deform(cell, strain) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_deform() returns non-zero.\n");
    std::fprintf(stderr, "Error: velmora_cell_update_by_stress() returns non-zero.\n");
    return 1;
  }
  return 0;
}

}  // namespace

int velmora_rx_sd_run(VELMORA_RX_SD* rx) {
  if (!rx || !rx->cell || !rx->ppt) {
    std::fprintf(stderr, "Error: VELMORA_RX_SD has not been properly initialized.\n");
    return 1;
  }
  if (rx->f_conv <= 0.0) rx->f_conv = VELMORA_RX_F_CONV;
  if (rx->p_conv <= 0.0) rx->p_conv = 0.001;
  if (rx->step_limit < 0) rx->step_p = 1;
  std::printf("RX_SD: step_limit=%ld; step_p=%ld; f_conv=%f; p_conv=%f\n", rx->step_limit,
              rx->step_p, rx->f_conv, rx->p_conv);
  VELMORA_CELL* cell = rx->cell.get();
  const std::size_t n = cell->atom.size();
  bool pressure_ok = true, force_ok = true;
  // `ev` always describes the current geometry: one pass per step gives
  // the energy printed after a move and the forces of the next step.
  VELMORA_PAIR_EVAL ev;
  if (velmora_pair_list_evaluate(ev, rx->list, cell, rx->ppt.get(), false, rx->parallel) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_calculate_force() returns non-zero.\n");
    return 1;
  }
  rx->en = ev.en;
  rx_sd_record_frame(rx, ev.force, false);
  const long limit = rx->step_limit < 0 ? -rx->step_limit : rx->step_limit;
  bool limited = false;
  while (!rx->converged) {
    if (rx->step_limit != 0 && rx->step >= limit) {
      std::printf("Warning: step limit reached without achieving convergence.\n");
      limited = true;
      break;
    }
    bool changed = false;
    if (rx->step_p > 0) {
      if (rx->step % rx->step_p == 0) {
        VELMORA_PAIR_EVAL st;
        if (velmora_pair_list_evaluate(st, rx->list, cell, rx->ppt.get(), true, rx->parallel) !=
            0) {
          std::fprintf(stderr, "Error: velmora_cell_calculate_stress_diagonal() returns non-zero.\n");
          return 1;
        }
        rx->p = st.stress[0] + st.stress[1] + st.stress[2];
        // Every component must vanish: a sum of (+s, -s, 0) is no
        // stress-free cell.
        pressure_ok = true;
        for (double s : st.stress) pressure_ok = pressure_ok && std::fabs(s) <= rx->p_conv;
        if (rx_sd_strain(cell, st.stress) != 0) return 1;
        changed = true;
      }
    }
    if (rx->step_limit >= 0) {
      if (changed &&
          velmora_pair_list_evaluate(ev, rx->list, cell, rx->ppt.get(), false, rx->parallel) != 0) {
        std::fprintf(stderr, "Error: velmora_cell_calculate_force() returns non-zero.\n");
        return 1;
      }
      rx->f = ev.force;
      for (std::size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c)
          if (rx->fixed[i][c]) rx->f[i][c] = 0.0;
      if (velmora_cell_calculate_coordinate_step_size_simple(rx->dx, cell, rx->ppt.get(), rx->f) !=
          0) {
        std::fprintf(stderr,
                     "Error: velmora_cell_calculate_coordinate_step_size_simple() returns "
                     "non-zero.\n");
        return 1;
      }
      // f_conv is in eV/A, the unit of the trajectory's forces.
      force_ok = !(velmora_rx_largest_force(rx->f) > rx->f_conv);
      if (!force_ok) {
        for (std::size_t i = 0; i < n; ++i)
          for (int c = 0; c < 3; ++c)
            if (rx->fixed[i][c]) rx->dx[i][c] = 0.0;
        if (velmora_cell_update_coordinate(cell, rx->dx) != 0) {
          std::fprintf(stderr, "Error: velmora_cell_update_coordinate() returns non-zero.\n");
          return 1;
        }
        changed = true;
      }
    }
    rx->converged = pressure_ok && force_ok;
    if (changed &&
        velmora_pair_list_evaluate(ev, rx->list, cell, rx->ppt.get(), false, rx->parallel) != 0) {
      std::fprintf(stderr, "Error: velmora_cell_calculate_total_energy() returns non-zero.\n");
      return 1;
    }
    rx->en = ev.en;
    velmora_rx_sd_print(rx);
    rx->step += 1;
    rx_sd_record_frame(rx, ev.force, false);
  }
  // A run stopped by its step limit has not converged and does not say so.
  if (!limited) std::printf("RX_SD: convergence reached.\n");
  std::printf("RX_SD: unconstrained energy = %f eV\n", ev.en_unconstrained);
  std::printf("RX_SD: total energy = %f eV\n", rx->en);
  rx_sd_record_frame(rx, ev.force, true);
  if (rx->trajectory) {
    rx->trajectory->clear();
    for (const std::string& frame : rx->frame) *rx->trajectory += frame;
  }
  return 0;
}

std::unique_ptr<VELMORA_CELL> velmora_cell_relax_sd(const VELMORA_CELL* cell,
                                                    const VELMORA_PROPERTY* ppt, long step_limit,
                                                    long step_p, double f_conv, double p_conv,
                                                    std::string* trajectory, bool parallel) {
  if (!cell || !ppt) {
    std::fprintf(stderr,
                 "Error: VELMORA_CELL or VELMORA_PROPERTY has not been properly initialized.\n");
    return nullptr;
  }
  if (velmora_property_validate_generic(ppt) != 0) {
    std::fprintf(stderr, "Error: velmora_property_validate_generic() returns non-zero.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_RX_SD> rx = velmora_rx_sd_new(cell, ppt);
  if (!rx) {
    std::fprintf(stderr, "Error: velmora_rx_sd_new() returns NULL.\n");
    return nullptr;
  }
  rx->step_limit = step_limit;
  rx->step_p = step_p;
  rx->f_conv = f_conv > 0.0 ? f_conv : VELMORA_RX_F_CONV;
  rx->p_conv = p_conv > 0.0 ? p_conv : 0.001;
  rx->trajectory = trajectory;
  rx->parallel = parallel;
  if (velmora_rx_sd_run(rx.get()) != 0) {
    std::fprintf(stderr, "Error: velmora_rx_sd_run() returns non-zero.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_CELL> out = velmora_cell_copy(rx->cell.get());
  if (!out) std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
  return out;
}

// ---------------------------------------------------------------- command ----

namespace {

bool rx_read_long(const VELMORA_CMD_OPT* opt, int index, long& value, const char* what) {
  return velmora_cmd_arg_long(opt, index, what, LONG_MIN, static_cast<long>(VELMORA_CMD_MAX_STEPS),
                              value);
}

// A convergence criterion beyond 100 (eV/A for forces, GPa for pressures)
// stops at once.
bool rx_read_criterion(const VELMORA_CMD_OPT* opt, int index, double& value, const char* what) {
  return velmora_cmd_arg_real(opt, index, what, -HUGE_VAL, 100.0, value);
}

}  // namespace

// Reads the fixed-atom column of `path` into the cell, saying whether any
// constraint was found.
void velmora_cmd_rx_constraint(VELMORA_CELL* cell, const char* path) {
  if (velmora_cell_import_cif_read_constraint(cell, path) != 0)
    std::printf("Message: relaxation without constraint.\n");
  else
    std::printf("Message: relaxation constraint found.\n");
}

// Parameters of a cell whose fixed atoms are set, built on a copy with
// every atom free, so that the automatic screening factor (the factor of
// the stress-free cell) does not depend on which atoms are held.
std::unique_ptr<VELMORA_PROPERTY> velmora_cmd_rx_property(const VELMORA_CMD_OPT* opt,
                                                          const VELMORA_CELL* cell, double sf) {
  std::unique_ptr<VELMORA_CELL> free_cell = velmora_cell_copy(cell);
  if (!free_cell) {
    std::fprintf(stderr, "Error: velmora_cell_copy() returns NULL.\n");
    return nullptr;
  }
  for (VELMORA_ATOM& a : free_cell->atom) a.ignored = false;
  if (velmora_property_check_counter_ions(free_cell.get()) != 0) return nullptr;
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_property_import_from_cell(free_cell.get(), nullptr, 0, sf < 0.0 ? -1.0 : sf,
                                        opt->dir_unitary.c_str(), opt->dir_binary.c_str());
  if (!ppt) std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
  return ppt;
}

int velmora_cmd_opt_do_rx_sd(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  VELMORA_CELL* cell = cif->cell.get();
  velmora_cmd_rx_constraint(cell, opt->argv[2]);
  long step_limit = 0, step_p = 0;
  double f_conv = 0.0, p_conv = 0.0, sf = -1.0;
  if (!rx_read_long(opt, 3, step_limit, "step_limit") || !rx_read_long(opt, 4, step_p, "step_p") ||
      !rx_read_criterion(opt, 5, f_conv, "f_conv") ||
      !rx_read_criterion(opt, 6, p_conv, "p_conv") || !velmora_cmd_arg_sf(opt, 7, "sf", sf))
    return VELMORA_EXIT_FAILURE;
  const std::string name = velmora_cmd_output_name(opt, 8, ".rx.cif");
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_cmd_rx_property(opt, cell, sf);
  if (!ppt) return VELMORA_EXIT_FAILURE;
  std::string trajectory;
  std::unique_ptr<VELMORA_CELL> relaxed =
      velmora_cell_relax_sd(cell, ppt.get(), step_limit, step_p, f_conv, p_conv, &trajectory);
  if (!relaxed) {
    std::fprintf(stderr, "Error: velmora_cell_relax_sd() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (velmora_cell_export_cif_to_file(name.c_str(), relaxed.get(), nullptr,
                                      opt->dir_symcards.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  const std::string xyz = velmora_xyz_name(name);
  if (velmora_file_write_atomically(xyz.c_str(), trajectory) != 0) {
    std::fprintf(stderr, "Error: unable to write %s.\n", xyz.c_str());
    return VELMORA_EXIT_FAILURE;
  }
  std::printf("Message: relaxed structure saved to %s, trajectory to %s\n", name.c_str(),
              xyz.c_str());
  return VELMORA_EXIT_OK;
}

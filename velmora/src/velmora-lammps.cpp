// LAMMPS input writer: the data file of a cell (restricted triclinic box,
// one atom type per species), the like-charge tables evaluated with
// velmora's own pair functions, and the input script (hybrid pair style of
// morse and table, the cell energy at the start, then Langevin dynamics of
// the conducting ions with the framework fixed); the --gen-lammps command,
// which resolves partial occupancies in a supercell as --gen-gin does.
#include "velmora-lammps.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "velmora-alloc.h"
#include "velmora-cmd.h"
#include "velmora-import.h"
#include "velmora-la.h"
#include "velmora-neighbor.h"
#include "velmora-rx.h"

namespace {

char sign_of(int os) { return os < 0 ? '-' : '+'; }

// "Li1+", "O2-": the species as the other outputs of velmora write it.
std::string species_label(const VELMORA_PROPERTY* ppt, int i) {
  char label[16];
  std::snprintf(label, sizeof label, "%s%d%c", ppt->uni[i].type, std::abs(ppt->uni[i].os),
                sign_of(ppt->uni[i].os));
  return label;
}

// Like charges repel up to the cut-off of the cell energy's sum.
double like_cutoff(const VELMORA_PROPERTY* ppt) {
  const double r = velmora_property_max_cutoff(ppt);
  return r > VELMORA_PAIR_MIN_CUTOFF ? r : VELMORA_PAIR_MIN_CUTOFF;
}

bool like_pair(const VELMORA_PROPERTY* ppt, int i, int j) {
  return static_cast<long>(ppt->os[i]) * ppt->os[j] > 0;
}

// The cation-anion record of species i and j (in either order), or null
// when they do not bond: like or neutral ions, or no cut-off.
const VELMORA_PROPERTY_BINARY* bonded_pair(const VELMORA_PROPERTY* ppt, int i, int j) {
  if (static_cast<long>(ppt->os[i]) * ppt->os[j] >= 0) return nullptr;
  const VELMORA_PROPERTY_BINARY& p = ppt->os[i] > 0 ? ppt->bin[i][j] : ppt->bin[j][i];
  return p.cutoff > 0.0 ? &p : nullptr;
}

// The table section of species i and j.
std::string table_keyword(const VELMORA_PROPERTY* ppt, int i, int j) {
  return species_label(ppt, i) + "_" + species_label(ppt, j);
}

// Screening length of the like-charge term of species i and j, A.
double screening_length(const VELMORA_PROPERTY* ppt, int i, int j) {
  return ppt->sf * (ppt->uni[i].rc + ppt->uni[j].rc);
}

// The base name without its directory, as the script refers to the files
// lying beside it.
std::string file_part(const std::string& path) {
  std::string file;
  velmora_cmd_opt_split_path(nullptr, &file, path.c_str());
  return file;
}

// Mobile atoms of the cell: those of the conducting species.
long count_mobile(const std::vector<int>& species, const VELMORA_PROPERTY* ppt) {
  long n = 0;
  for (int s : species) n += s == ppt->conducting;
  return n;
}

}  // namespace

// ------------------------------------------------------------------ box ----

bool velmora_lammps_box(VELMORA_LAMMPS_BOX& box, const double a[3][3]) {
  double e1[3], e2[3], e3[3], b_perp[3];
  box.lx = velmora_vector3_double_length(a[0]);
  if (!(box.lx > 0.0)) return false;
  for (int k = 0; k < 3; ++k) e1[k] = a[0][k] / box.lx;
  box.xy = velmora_vector3_double_dot(a[1], e1);
  for (int k = 0; k < 3; ++k) b_perp[k] = a[1][k] - box.xy * e1[k];
  box.ly = velmora_vector3_double_length(b_perp);
  if (!(box.ly > 0.0)) return false;
  for (int k = 0; k < 3; ++k) e2[k] = b_perp[k] / box.ly;
  velmora_vector3_double_cross(e3, e1, e2);
  box.xz = velmora_vector3_double_dot(a[2], e1);
  box.yz = velmora_vector3_double_dot(a[2], e2);
  box.lz = velmora_vector3_double_dot(a[2], e3);
  if (!(box.lz > 0.0)) return false;  // flat or left-handed
  for (int k = 0; k < 3; ++k) {
    box.rotation[0][k] = e1[k];
    box.rotation[1][k] = e2[k];
    box.rotation[2][k] = e3[k];
  }
  // LAMMPS takes tilts of at most half the box length: b - n a and
  // c - m b - k a span the same lattice.
  if (std::fabs(box.xy) > 0.5 * box.lx) box.xy -= std::round(box.xy / box.lx) * box.lx;
  if (std::fabs(box.yz) > 0.5 * box.ly) {
    const double m = std::round(box.yz / box.ly);
    box.yz -= m * box.ly;
    box.xz -= m * box.xy;
  }
  if (std::fabs(box.xz) > 0.5 * box.lx) box.xz -= std::round(box.xz / box.lx) * box.lx;
  return true;
}

// ---------------------------------------------------------------- texts ----

namespace {

// Tilts below this fraction of the box are the rounding of right angles
// (the program's degree factor makes cos 90 about 1e-9), not a lattice.
constexpr double kTiltNoise = 1e-8;

}  // namespace

std::string velmora_lammps_data_text(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                     const VELMORA_LAMMPS_CONF* conf) {
  VELMORA_LAMMPS_BOX box;
  std::vector<int> species;
  if (!velmora_lammps_box(box, cell->a) ||
      velmora_property_find_atom_indices(species, cell, ppt) != 0)
    return "";
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  VELMORA_TEXT* t = text.get();
  velmora_text_append_format(t,
                             "LAMMPS data file of %s by velmora.x --gen-lammps (%d x %d x %d "
                             "cells; Cartesian positions in A)\n\n",
                             conf->source.c_str(), conf->supercell[0], conf->supercell[1],
                             conf->supercell[2]);
  velmora_text_append_format(t, "%zu atoms\n%d atom types\n\n", cell->atom.size(), ppt->total);
  velmora_text_append_format(t, "0.0 %.12f xlo xhi\n", box.lx);
  velmora_text_append_format(t, "0.0 %.12f ylo yhi\n", box.ly);
  velmora_text_append_format(t, "0.0 %.12f zlo zhi\n", box.lz);
  const double scale = std::fmax(box.lx, std::fmax(box.ly, box.lz));
  if (std::fabs(box.xy) > kTiltNoise * scale || std::fabs(box.xz) > kTiltNoise * scale ||
      std::fabs(box.yz) > kTiltNoise * scale)
    velmora_text_append_format(t, "%.12f %.12f %.12f xy xz yz\n", box.xy, box.xz, box.yz);
  velmora_text_append(t, "\nMasses\n\n");
  for (int i = 0; i < ppt->total; ++i)
    velmora_text_append_format(t, "%d %.10g # %s\n", i + 1, ppt->uni[i].m,
                               species_label(ppt, i).c_str());
  velmora_text_append(t, "\nAtoms # atomic\n\n");
  for (std::size_t n = 0; n < cell->atom.size(); ++n) {
    double x[3];
    velmora_matrix33_double_multiply_vector3(x, box.rotation, cell->atom[n].x);
    velmora_text_append_format(t, "%zu %d %.12f %.12f %.12f\n", n + 1, species[n] + 1, x[0], x[1],
                               x[2]);
  }
  return text->content;
}

std::string velmora_lammps_table_text(const VELMORA_PROPERTY* ppt, int points) {
  const double rlo = VELMORA_LAMMPS_TABLE_INNER, rhi = like_cutoff(ppt);
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(
      "# Repulsion of like charges in the velmora.x bond-valence force field:\n"
      "# E = 14.39964 q_i q_j [erfc(r/rho)/r - erfc(10/rho)/10] eV (r and rho in A),\n"
      "# rho = sf (rc_i + rc_j).  Columns: index, r (A), E (eV), -dE/dr (eV/A); the\n"
      "# points are evenly spaced in r^2, as pair_style table linear reads them.\n");
  VELMORA_TEXT* t = text.get();
  for (int i = 0; i < ppt->total; ++i)
    for (int j = i; j < ppt->total; ++j) {
      if (!like_pair(ppt, i, j)) continue;
      const double q = ppt->uni[i].q * ppt->uni[j].q, rho = screening_length(ppt, i, j);
      velmora_text_append_format(t, "\n# q_i q_j = %.10g, rho = %.10g A\n%s\nN %d RSQ %.15g %.15g\n\n",
                                 q, rho, table_keyword(ppt, i, j).c_str(), points, rlo, rhi);
      for (int k = 0; k < points; ++k) {
        // The distances exactly as LAMMPS recomputes them from rlo, rhi and N.
        const double r = std::sqrt(rlo * rlo + (rhi * rhi - rlo * rlo) * k / (points - 1));
        const double e = VELMORA_COULOMB * velmora_energy_coulombic(r, q, rho);
        const double f = -VELMORA_COULOMB * velmora_force_coulombic(r, q, rho);
        velmora_text_append_format(t, "%d %.15g %.12e %.12e\n", k + 1, r, e, f);
      }
    }
  return text->content;
}

std::string velmora_lammps_input_text(const VELMORA_PROPERTY* ppt, const VELMORA_LAMMPS_CONF* conf,
                                      long atoms, long mobile_atoms, double energy) {
  const std::string base = file_part(conf->base);
  const int mobile = ppt->conducting + 1;
  const std::string ion = species_label(ppt, ppt->conducting);
  double bond_cutoff = 0.0;
  bool tables = false;
  for (int i = 0; i < ppt->total; ++i)
    for (int j = i; j < ppt->total; ++j) {
      if (const VELMORA_PROPERTY_BINARY* p = bonded_pair(ppt, i, j))
        bond_cutoff = std::fmax(bond_cutoff, p->cutoff);
      tables = tables || like_pair(ppt, i, j);
    }
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  VELMORA_TEXT* t = text.get();
  auto line = [t](const std::string& s) { velmora_text_append(t, (s + "\n").c_str()); };
  velmora_text_append_format(
      t,
      "# LAMMPS input of velmora.x --gen-lammps: molecular dynamics of the %s ions of %s\n"
      "# (%d x %d x %d cells, %ld atoms) in their fixed framework, with the bond-valence\n"
      "# force field of velmora.x:\n",
      ion.c_str(), conf->source.c_str(), conf->supercell[0], conf->supercell[1],
      conf->supercell[2], atoms);
  line("#   cation-anion bonds: morse, E = D0 [exp(-2 a (r - r0)) - 2 exp(-a (r - r0))], shifted to\n"
       "#     zero at the pair's cut-off (D0 = 7.19982 d0 eV, a = 1/b, r0 = rmin);\n"
       "#   ions of like charge: 14.39964 q_i q_j erfc(r/rho)/r shifted to zero at 10 A, tabulated\n"
       "#     in " + base + ".table (rho = sf (rc_i + rc_j)).");
  velmora_text_append_format(
      t,
      "# Screening factor sf = %.10g.  The potential energy of the whole cell (framework pairs\n"
      "# included) is the cell energy of velmora.x (--cal-tot-en): %.10f eV.\n",
      ppt->sf, energy);
  line("# Units metal: eV, A, ps, K, g/mol.  Run in the directory of the files:\n"
       "#   lmp -in " + base + ".in            (one core)\n"
       "#   mpirun -np 8 lmp -in " + base + ".in  (or srun lmp -in " + base + ".in in a Slurm job)\n"
       "# and change a setting with -var, e.g. lmp -var T 800 -var t_end 100 -in " + base + ".in.\n"
       "# Results: " + base + ".msd.txt (mean squared displacement of the " + ion + " ions, A^2),\n"
       "# " + base + ".lammpstrj (their unwrapped positions; ase.io.read reads it), thermo lines\n"
       "# in log.lammps.\n");
  line("variable data       index " + base + ".data   # atoms");
  line("variable table      index " + base + ".table  # like-charge repulsion");
  line("variable out        index " + base + "        # prefix of the results");
  velmora_text_append_format(t, "variable T          index %g  # thermostat, K\n", conf->temperature);
  velmora_text_append_format(t, "variable T_init     index %g  # initial velocities, K\n", conf->temperature_init);
  velmora_text_append_format(t, "variable t_equil    index %g  # equilibration, ps\n", conf->t_equil);
  velmora_text_append_format(t, "variable t_end      index %g  # production, ps\n", conf->t_end);
  velmora_text_append_format(t, "variable dt         index %g  # time step, ps\n", conf->dt);
  velmora_text_append_format(t, "variable t_log      index %g  # sampling interval, ps\n", conf->t_log);
  velmora_text_append_format(t, "variable zeta       index %g  # Langevin friction, 1/ps\n", conf->zeta);
  velmora_text_append_format(t, "variable seed       index %ld  # random numbers\n", conf->seed);
  line("variable langevin   index 1  # 0: plain velocity Verlet, no thermostat\n"
       "variable forces     index 0  # 1: forces of the start in ${out}.forces (eV/A)\n");
  line("units           metal\natom_style      atomic\nboundary        p p p\n"
       "read_data       ${data}\n");
  // One sub-style per pair of types: bonds, tables or nothing.
  std::string style = "pair_style      hybrid";
  char piece[256];
  if (bond_cutoff > 0.0) {
    std::snprintf(piece, sizeof piece, " morse %.10g", bond_cutoff);
    style += piece;
  }
  if (tables) {
    std::snprintf(piece, sizeof piece, " table linear %d", conf->table_points);
    style += piece;
  }
  line(style);
  for (int i = 0; i < ppt->total; ++i)
    for (int j = i; j < ppt->total; ++j) {
      const VELMORA_PROPERTY_BINARY* p = bonded_pair(ppt, i, j);
      if (p)
        std::snprintf(piece, sizeof piece, "pair_coeff      %d %d morse %.15g %.15g %.15g %.15g",
                      i + 1, j + 1, VELMORA_COULOMB_HALF * p->d0, 1.0 / p->b, p->rmin, p->cutoff);
      else if (like_pair(ppt, i, j))
        std::snprintf(piece, sizeof piece, "pair_coeff      %d %d table ${table} %s", i + 1, j + 1,
                      table_keyword(ppt, i, j).c_str());
      else
        std::snprintf(piece, sizeof piece, "pair_coeff      %d %d none", i + 1, j + 1);
      line(piece);
    }
  if (bond_cutoff > 0.0) line("pair_modify     pair morse shift yes");
  // The skin of --md's neighbour lists.
  line("neighbor        1.0 bin\nneigh_modify    every 1 delay 0 check yes\n");
  std::string elements;
  for (int i = 0; i < ppt->total; ++i) elements += std::string(" ") + ppt->uni[i].type;
  velmora_text_append_format(t, "group           mobile type %d\n", mobile);
  line("group           frame subtract all mobile\n"
       "fix             verlet mobile nve  # velocity Verlet; a run of 0 steps moves nothing\n");
  line("# The potential energy of the whole cell.\n"
       "if \"${forces} == 1\" then &\n"
       "  \"dump forces all custom 1 ${out}.forces id type element x y z fx fy fz\" &\n"
       "  \"dump_modify forces sort id format float %.12f element" + elements + "\"\n"
       "run             0\n"
       "if \"${forces} == 1\" then \"undump forces\"\n"
       "variable        e_cell equal $(pe:%.10f)");
  velmora_text_append_format(
      t, "print           \"LAMMPS: potential energy of the cell = ${e_cell} eV (velmora.x: %.10f eV)\"\n\n",
      energy);
  line("# The framework stays where it is: the pairs within it add a constant, left out\n"
       "# of the dynamics and added to the energies printed.\n"
       "neigh_modify    exclude group frame frame\nrun             0\n"
       "variable        e_frame equal $(v_e_cell-pe:%.10f)\n"
       "variable        e_pot equal c_thermo_pe+v_e_frame\nvariable        e_total equal v_e_pot+ke\n");
  line("# Only the mobile ions move, with a Langevin thermostat.\n"
       "compute         T_mobile mobile temp\n"
       "compute_modify  T_mobile extra/dof 0\n"
       "velocity        mobile create ${T_init} ${seed} temp T_mobile dist gaussian mom " +
       std::string(mobile_atoms > 1 ? "yes" : "no") + " rot no loop geom\n"
       "timestep        ${dt}\n"
       "if \"${langevin} == 1\" then \"fix thermostat mobile langevin ${T} ${T} $(1/v_zeta) "
       "${seed}\"\n"
       "variable        n_log equal round(v_t_log/v_dt)+(round(v_t_log/v_dt)<1)\n"
       "variable        n_equil equal round(v_t_equil/v_dt)\n"
       "variable        n_end equal round(v_t_end/v_dt)\n"
       "thermo_style    custom step time c_T_mobile v_e_pot ke v_e_total\n"
       "thermo          ${n_log}\n"
       "run             ${n_equil}\n");
  line("# Production: displacements from here on.\n"
       "reset_timestep  0\n"
       "variable        t equal step*dt\n"
       "compute         msd mobile msd\n"
       "fix             msd mobile ave/time ${n_log} 1 ${n_log} v_t c_msd[1] c_msd[2] c_msd[3] "
       "c_msd[4] &\n"
       "                file ${out}.msd.txt title1 \"# mean squared displacement of the " + ion +
       " ions (A^2)\" &\n"
       "                title2 \"# step t/ps msd_x msd_y msd_z msd\"\n"
       "dump            positions mobile custom ${n_log} ${out}.lammpstrj id element xu yu zu\n"
       "dump_modify     positions element" + elements + " sort id format float %.6f\n"
       "thermo_style    custom step v_t c_T_mobile v_e_pot ke v_e_total c_msd[4]\n"
       "thermo_modify   format float %.8f\n"
       "run             ${n_end}\n"
       "variable        D equal c_msd[4]/(6*v_t)\n"
       "if \"${n_end} > 0\" then &\n"
       "  \"print 'LAMMPS: mean squared displacement = $(c_msd[4]:%.6f) A^2 after $(v_t:%.4f) ps'\" &\n"
       "  \"print 'LAMMPS: diffusivity = $(v_D:%.6e) A^2/ps (1e-8 m^2/s)'\"");
  return text->content;
}

// ---------------------------------------------------------------- files ----

namespace {

// False, after an error line, when two atoms lie within the tables' inner
// end: LAMMPS would stop there, and the cell energy leaves such pairs out.
bool atoms_apart(const VELMORA_CELL* cell) {
  std::unique_ptr<VELMORA_NEIGHBOR> nb =
      velmora_neighbor_new(*cell, VELMORA_LAMMPS_TABLE_INNER, VELMORA_NEIGHBOR_NO_SKIP);
  if (!nb) return false;
  const std::size_t n = cell->atom.size();
  std::vector<double> centres(3 * n);
  for (std::size_t i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) centres[3 * i + k] = cell->atom[i].x[k];
  std::vector<double> nearest(n, std::numeric_limits<double>::infinity());
  std::vector<int> partner(n, -1);
  velmora_neighbor_for_each(*nb, centres, [&](int c, int j, double d, const double*, int img) {
    const int* s = &nb->shift[3 * static_cast<std::size_t>(img)];
    if (j == c && s[0] == 0 && s[1] == 0 && s[2] == 0) return;  // the atom itself
    if (d < nearest[c]) {
      nearest[c] = d;
      partner[c] = j;
    }
  });
  for (std::size_t i = 0; i < n; ++i)
    if (partner[i] >= 0) {
      const VELMORA_ATOM& a = cell->atom[i];
      const VELMORA_ATOM& b = cell->atom[static_cast<std::size_t>(partner[i])];
      std::fprintf(stderr,
                   "Error: atoms %s (%s%d%c) and %s (%s%d%c) lie %.3f A apart; the cell energy "
                   "leaves pairs within %.1f A out, LAMMPS would not.\n",
                   a.name, a.type, std::abs(a.os), sign_of(a.os), b.name, b.type, std::abs(b.os),
                   sign_of(b.os), nearest[i], VELMORA_LAMMPS_TABLE_INNER);
      return false;
    }
  return true;
}

// False, after an error line, for a cell or parameter set the files cannot
// reproduce: a partly occupied atom, a species without mass, a cation-anion
// pair without a bond, no mobile ion.
bool exportable(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                std::vector<int>& species) {
  if (!velmora_cell_ready(cell)) return false;
  if (!ppt || ppt->total <= 0 || ppt->conducting < 0 || ppt->conducting >= ppt->total) {
    std::fprintf(stderr, "Error: VELMORA_PROPERTY has not been properly initialized.\n");
    return false;
  }
  if (velmora_property_find_atom_indices(species, cell, ppt) != 0) return false;
  for (const VELMORA_ATOM& a : cell->atom)
    if (std::fabs(a.occ - 1.0) > 1e-6) {
      std::fprintf(stderr,
                   "Error: atom %s (%s%d%c) has occupancy %f; LAMMPS atoms are whole, resolve "
                   "partial occupancies first.\n",
                   a.name, a.type, std::abs(a.os), sign_of(a.os), a.occ);
      return false;
    }
  for (int i = 0; i < ppt->total; ++i)
    if (!(ppt->uni[i].m > 0.0)) {
      std::fprintf(stderr, "Error: species %s has no mass in the data file.\n",
                   species_label(ppt, i).c_str());
      return false;
    }
  if (velmora_property_validate_binary(ppt, true) != 0) return false;
  if (count_mobile(species, ppt) == 0) {
    std::fprintf(stderr, "Error: the cell holds no %s ion to move.\n",
                 species_label(ppt, ppt->conducting).c_str());
    return false;
  }
  return atoms_apart(cell);
}

}  // namespace

int velmora_lammps_write(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                         const VELMORA_LAMMPS_CONF* conf) {
  std::vector<int> species;
  if (!conf || !exportable(cell, ppt, species)) return 1;
  VELMORA_LAMMPS_BOX box;
  if (!velmora_lammps_box(box, cell->a)) {
    std::fprintf(stderr, "Error: the lattice vectors of the cell are left-handed or flat.\n");
    return 1;
  }
  if (conf->table_points < 2) {
    std::fprintf(stderr, "Error: a table needs at least two points.\n");
    return 1;
  }
  // The energy the script quotes: every atom free, every pair counted.
  std::unique_ptr<VELMORA_CELL> whole = velmora_cell_copy(cell);
  for (VELMORA_ATOM& a : whole->atom) a.ignored = false;
  bool ok = false;
  const double energy = velmora_cell_total_energy(whole.get(), ppt, &ok);
  if (!ok) return 1;
  const std::string name[3] = {conf->base + ".data", conf->base + ".table", conf->base + ".in"};
  const std::string text[3] = {velmora_lammps_data_text(cell, ppt, conf),
                               velmora_lammps_table_text(ppt, conf->table_points),
                               velmora_lammps_input_text(ppt, conf, whole->total,
                                                         count_mobile(species, ppt), energy)};
  // All three under temporary names first, renamed once all are complete.
  VELMORA_OUTPUT out[3];
  for (int k = 0; k < 3; ++k) {
    const int status = velmora_output_open(out[k], name[k].c_str());
    if (status == 0) velmora_output_write(out[k], text[k].data(), text[k].size());
    if (status == 1) std::fprintf(stderr, "Error: unable to open %s.\n", name[k].c_str());
    if (status != 0) return 1;
  }
  for (int k = 0; k < 3; ++k)
    if (velmora_output_commit(out[k]) != 0) {
      std::fprintf(stderr, "Error: unable to write %s.\n", name[k].c_str());
      return 1;
    }
  std::printf("Message: total energy = %.6f eV (%ld atoms)\n", energy, whole->total);
  std::printf("Message: LAMMPS data file saved to %s\n", name[0].c_str());
  std::printf("Message: LAMMPS table file saved to %s\n", name[1].c_str());
  std::printf("Message: LAMMPS input script saved to %s (run lmp -in %s in its directory)\n",
              name[2].c_str(), file_part(name[2]).c_str());
  return 0;
}

// -------------------------------------------------------------- command ----

namespace {

// Multiplicities "AxBxC" or one number N for all three; any that is not
// positive asks for the default.
bool read_supercell(const char* text, int n[3]) {
  int consumed = 0;
  if (std::sscanf(text, "%dx%dx%d%n", &n[0], &n[1], &n[2], &consumed) == 3 &&
      text[consumed] == '\0')
    return true;
  if (!velmora_cmd_read_int(text, n[0])) return false;
  n[1] = n[2] = n[0];
  return true;
}

// The base of the output files: the given name, else the input's file name,
// in the working directory; either cut before its last '.' when that dot
// follows the last '/' (Li2O.cif gives Li2O).
std::string base_name(const VELMORA_CMD_OPT* opt) {
  std::string base = opt->argc > 8 ? opt->argv[8] : file_part(opt->argv[2]);
  const std::size_t dot = base.rfind('.'), slash = base.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash) && dot > 0)
    base.resize(dot);
  return base;
}

bool partly_occupied(const VELMORA_CELL* cell) {
  for (const VELMORA_ATOM& a : cell->atom)
    if (a.occ < 1.0 - 1e-6) return true;
  return false;
}

// The cell to export and its parameters: the supercell n of the read cell
// (the default: the cell itself, or when any site is partly occupied the
// supercell of --gen-gin in which they are resolved); n receives the
// multiplicities used.
// A fully occupied cell takes the parameters of the read cell, whose
// screening-factor search gives the supercell's; a resolved one its own.
bool export_cell(const VELMORA_CMD_OPT* opt, VELMORA_CELL* cell, const char* type, int os,
                 double sf, int n[3], std::unique_ptr<VELMORA_CELL>& out,
                 std::unique_ptr<VELMORA_PROPERTY>& ppt) {
  const bool partial = partly_occupied(cell);
  const bool given = n[0] > 0 && n[1] > 0 && n[2] > 0;
  if (!partial) {
    ppt = velmora_property_import_from_cell(cell, type, os, sf, opt->dir_unitary.c_str(),
                                            opt->dir_binary.c_str());
    if (!ppt) {
      std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
      return false;
    }
    if (!given) n[0] = n[1] = n[2] = 1;
    out = velmora_cell_supercell(cell, n);
    return out != nullptr;
  }
  std::unique_ptr<VELMORA_CELL> super =
      given ? velmora_cell_supercell(cell, n) : velmora_cell_supercell_default(cell);
  if (!super) return false;
  for (int k = 0; k < 3; ++k)
    n[k] = static_cast<int>(std::lround(super->parameter[k] / cell->parameter[k]));
  out = velmora_cell_assign_partial_occ_all(super.get());
  if (!out) {
    std::fprintf(stderr, "Error: velmora_cell_assign_partial_occ_all() returns NULL.\n");
    return false;
  }
  ppt = velmora_property_import_from_cell(out.get(), type, os, sf, opt->dir_unitary.c_str(),
                                          opt->dir_binary.c_str());
  if (!ppt) std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
  return ppt != nullptr;
}

}  // namespace

int velmora_cmd_opt_do_gen_lammps(VELMORA_CMD_OPT* opt) {
  char type[3] = {};
  int os = 0;
  if (!velmora_cmd_read_species(opt, 3, type, os)) return VELMORA_EXIT_FAILURE;
  double sf = -0.1, temperature = -0.1;
  int n[3] = {0, 0, 0};
  if (opt->argc > 5 && !velmora_cmd_read_real(opt->argv[5], sf)) {
    std::fprintf(stderr, "Error: wrong parameter sf.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (opt->argc > 6 && !read_supercell(opt->argv[6], n)) {
    std::fprintf(stderr, "Error: wrong parameter supercell.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (opt->argc > 7 && !velmora_cmd_read_real(opt->argv[7], temperature)) {
    std::fprintf(stderr, "Error: wrong parameter temperature.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (n[0] > 1000 || n[1] > 1000 || n[2] > 1000 || temperature > 1e5) {
    std::fprintf(stderr,
                 "Error: argument out of range (supercell <= 1000 cells a side, temperature <= "
                 "1e5 K).\n");
    return VELMORA_EXIT_FAILURE;
  }
  VELMORA_LAMMPS_CONF conf;
  conf.base = base_name(opt);
  conf.source = opt->argv[2];
  if (temperature > 0.0) conf.temperature = temperature;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  cif->symmetry.reset();
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  if (!export_cell(opt, cif->cell.get(), type, os, sf, n, cell, ppt)) return VELMORA_EXIT_FAILURE;
  for (int k = 0; k < 3; ++k) conf.supercell[k] = n[k];
  // The seeds of LAMMPS' velocities and thermostat follow the run's own
  // random numbers (--seed S), within the range LAMMPS accepts.
  conf.seed = 1 + static_cast<long>(velmora_random() * 899999998.0);
  if (velmora_lammps_write(cell.get(), ppt.get(), &conf) != 0) {
    std::fprintf(stderr, "Error: velmora_lammps_write() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

// The GUI table: one block per record kind, each closed by "END".  Positions
// of minima are the mean of the plateau of equal energy around the grid
// point (fractional), of saddles the grid point; energies are scaled.
#include "OSTREL-gui.h"

#include <algorithm>
#include <string>

#include "OSTREL-file.h"

namespace {

// Mean fractional position of the equal-energy plateau around a minimum.
int plateau_mean(const OSTREL_cube* cube, const OSTREL_minima& m, double f[3]) {
  OSTREL_same_energy_grid_list plateau;
  // A plateau too large to list stands for the grid point alone.
  if (OSTREL_find_same_energy_neighbours(cube, &plateau, m.x, m.y, m.z) < 0) {
    plateau.total = 1;
    plateau.item.assign(1, OSTREL_cube_triple_index{m.x, m.y, m.z});
  }
  f[0] = f[1] = f[2] = 0;
  for (int p = 0; p < plateau.total; p++) {
    f[0] += (double)plateau.item[p].x / cube->a_grid;
    f[1] += (double)plateau.item[p].y / cube->b_grid;
    f[2] += (double)plateau.item[p].z / cube->c_grid;
  }
  for (int k = 0; k < 3; k++) f[k] /= plateau.total;
  return 0;
}

// Occupancy, multiplicity, position and energy of a minimum.
int minimum_row(const OSTREL_cube* cube, const OSTREL_minima& m, FILE* stream) {
  double occ = 0, f[3];
  for (int n = 0; n < m.total_ions; n++) occ += m.ion[n].occ;
  if (plateau_mean(cube, m, f))
    return 1;
  fprintf(stream, "%.3f,%d,%.3f,%.3f,%.3f,%.3f\n", occ, m.mul, f[0], f[1], f[2],
          OSTREL_scale_cube_energy(cube, m.e));
  return 0;
}

void saddle_row(const OSTREL_cube* cube, const OSTREL_saddle& s, FILE* stream) {
  fprintf(stream, "0,%d,%.3f,%.3f,%.3f,%.3f\n", s.mul, (double)s.x / cube->a_grid,
          (double)s.y / cube->b_grid, (double)s.z / cube->c_grid,
          OSTREL_scale_cube_energy(cube, s.e));
}

std::string site_label(const OSTREL_cube* cube, int type) {
  std::string label;
  OSTREL_label_minima_site(cube, &label, type);
  return label;
}

}  // namespace

int OSTREL_write_GUI_table(const OSTREL_cube* cube, const OSTREL_cif* cif,
                           const OSTREL_pathlib* lib, FILE* stream) {
  (void)cif;
  const int nt = cube->total_minima_type, st = cube->total_saddle_type;
  for (int t = 1; t <= nt; t++) {
    fprintf(stream, "%s,", site_label(cube, t).c_str());
    if (minimum_row(cube, cube->minima[cube->minima_type_index[t]], stream))
      return 1;
  }
  fprintf(stream, "END\n");
  for (int t = 1; t <= nt; t++)
    for (int q = 0; q < cube->total_minima; q++) {
      if (cube->minima[q].type != t)
        continue;
      fprintf(stream, "%s,", site_label(cube, t).c_str());
      if (minimum_row(cube, cube->minima[q], stream))
        return 1;
    }
  fprintf(stream, "END\n");
  for (int t = 1; t <= st; t++) {
    fprintf(stream, "s%d,", t);
    saddle_row(cube, cube->saddle[cube->saddle_type_index[t]], stream);
  }
  fprintf(stream, "END\n");
  for (int t = 1; t <= st; t++)
    for (int q = 0; q < cube->total_saddle; q++)
      if (cube->saddle[q].type == t) {
        fprintf(stream, "s%d,", t);
        saddle_row(cube, cube->saddle[q], stream);
      }
  fprintf(stream, "END\n");
  for (int p = 0; p < lib->total_path; p++) {
    const OSTREL_path& P = lib->path[p];
    const double top = OSTREL_scale_cube_energy(cube, P.saddle_energy);
    const double barrier = std::max(top - OSTREL_scale_cube_energy(cube, P.start_energy),
                                    top - OSTREL_scale_cube_energy(cube, P.end_energy));
    fprintf(stream, "%s,s%d,%s,%.3f,%.3f,%.3f,%d,%d,%d\n", site_label(cube, P.start_type).c_str(),
            P.saddle_type, site_label(cube, P.end_type).c_str(), barrier, P.straightline_length,
            P.tortuosity, P.oneD, P.twoD, P.threeD);
  }
  fprintf(stream, "END\n");
  fprintf(stream, "1D,%.3f eV\n2D,%.3f eV\n3D,%.3f eV\nEND\n", lib->oneD, lib->twoD, lib->threeD);
  return 0;
}

int OSTREL_print_GUI_output(const OSTREL_cube* cube, const OSTREL_cif* cif,
                            const OSTREL_pathlib* lib) {
  const OSTREL_write_status w = OSTREL_write_file(
      OSTREL_output_path("OSTREL_gui.csv").c_str(), [&](FILE* f) { return OSTREL_write_GUI_table(cube, cif, lib, f); });
  if (w == OSTREL_WRITE_UNWRITABLE)
    fprintf(stderr, "Error: Unable to write to OSTREL_gui.csv\n");
  if (w != OSTREL_WRITE_DONE)
    return 1;
  printf("GUI output done.\n");
  return 0;
}

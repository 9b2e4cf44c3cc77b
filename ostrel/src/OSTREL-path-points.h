// Grid points of the path records, shared by the two sources of the
// migration paths (path library and grid paths; network analysis and
// reaction pathways): minimum and saddle images as unwrapped grid points,
// their energies, and the join of two grid paths.
#pragma once

#include <cstdlib>
#include <string>

#include "OSTREL-path.h"

namespace ostrel_paths {

constexpr double PI = 3.141592653589793;

// Unwrapped grid point of a minimum placed in cell (p, q, r).
inline OSTREL_cubeloc minimum_image(const OSTREL_cube* cube, int index, int p, int q, int r) {
  const OSTREL_minima& m = cube->minima[index];
  return OSTREL_cubeloc{m.x + p * cube->a_grid, m.y + q * cube->b_grid, m.z + r * cube->c_grid};
}

inline OSTREL_cubeloc saddle_point(const OSTREL_cube* cube, int index) {
  const OSTREL_saddle& s = cube->saddle[index];
  return OSTREL_cubeloc{s.x, s.y, s.z};
}

inline OSTREL_cubeloc allpath_start_image(const OSTREL_cube* cube, const OSTREL_allpath& a) {
  return minimum_image(cube, a.start, a.start_crossx, a.start_crossy, a.start_crossz);
}

inline OSTREL_cubeloc allpath_end_image(const OSTREL_cube* cube, const OSTREL_allpath& a) {
  return minimum_image(cube, a.end, a.end_crossx, a.end_crossy, a.end_crossz);
}

inline double loc_energy(const OSTREL_cube* cube, OSTREL_cubeloc p) {
  return OSTREL_cube_energy(cube, p.x, p.y, p.z);
}

inline bool adjacent(OSTREL_cubeloc a, OSTREL_cubeloc b) {
  return abs(a.x - b.x) <= 1 && abs(a.y - b.y) <= 1 && abs(a.z - b.z) <= 1;
}

inline double scaled(const OSTREL_cube* cube, double e) { return OSTREL_scale_cube_energy(cube, e); }

// Index of a wrapped grid point in the flat energy array.
inline long long grid_key(const OSTREL_cube* cube, int x, int y, int z) {
  OSTREL_shift_index_xyz(cube, &x, &y, &z);
  return (long long)cube->energy.index(x, y, z);
}

inline std::string site_label(const OSTREL_cube* cube, int type) {
  std::string s;
  OSTREL_label_minima_site(cube, &s, type);
  return s;
}

inline OSTREL_cubeloc point_of(const OSTREL_grid_path* p, int q) {
  return OSTREL_cubeloc{p->grid[q].x, p->grid[q].y, p->grid[q].z};
}

// The path types and the hops of a library as lists.
inline OSTREL_list<OSTREL_path> path_list(OSTREL_pathlib* lib) {
  return OSTREL_list_of(lib->path, lib->total_path);
}

inline OSTREL_list<OSTREL_allpath> allpath_list(OSTREL_pathlib* lib) {
  return OSTREL_list_of(lib->allpath, lib->total_allpath);
}

// Appends `second` to `first` (a shared joining point kept once, with the
// plotting values of `second`); `limit` caps the number of points, 0 for
// none.
int join_grid_paths(const OSTREL_cube* cube, OSTREL_grid_path* first,
                    const OSTREL_grid_path* second, int limit);

}  // namespace ostrel_paths

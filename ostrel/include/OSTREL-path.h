// Migration paths of ostrel.  Path library and grid paths (OSTREL-path.cpp):
// the symmetry-distinct hops (minimum, saddle, minimum) with all their copies
// in the periodic cell, grid paths walked greedily downhill from a saddle to
// its minima.  Network analysis and reaction pathways (OSTREL-network.cpp):
// clusters of sites connected by the hops open below an energy threshold and
// the lattice directions they span (1D/2D/3D percolation, activation
// energies), percolation backbones and reaction pathways as Euler walks.
#pragma once

#include <cstdio>
#include <utility>
#include <vector>

#include "OSTREL-cube.h"
#include "OSTREL-math.h"

struct OSTREL_cif;

// Grid paths longer than this are refused (a hop of a few Å on a 0.05 Å
// grid takes well under 200 points).
constexpr int OSTREL_MAX_PATH_LENGTH = 1000;

struct OSTREL_path_triple_index {
  int x = 0, y = 0, z = 0;
};

// One symmetry-distinct hop: the representative minima and saddle, with the
// cell offsets of the two minimum images relative to the saddle's cell.
struct OSTREL_path {
  int start = 0, end = 0;                // indices into the minima list
  int saddle = 0;                        // index into the saddle list
  int start_type = 0, end_type = 0, saddle_type = 0;  // 1-based types
  double start_energy = 0, end_energy = 0, saddle_energy = 0;  // raw
  double tortuosity = 0;                 // length / straightline_length
  double straightline_length = 0;        // Å
  double length = 0;                     // Å, along the grid path
  int oneD = 0, twoD = 0, threeD = 0;    // member of a percolating cluster
  int color = -1;                        // printed as the dimension
  int style = -1;                        // printed as the redundancy
  int in_rp = 0;                         // used by a reaction pathway
  int start_p = 0, start_q = 0, start_r = 0;
  int end_p = 0, end_q = 0, end_r = 0;
};

// One concrete hop of the cell (a copy of a path type).
struct OSTREL_allpath {
  int start = 0, end = 0, saddle = 0;
  int start_type = 0, end_type = 0, saddle_type = 0;
  double length = 0;  // Å, of the path type
  int start_crossx = 0, start_crossy = 0, start_crossz = 0;
  int end_crossx = 0, end_crossy = 0, end_crossz = 0;
  double start_energy = 0, end_energy = 0, saddle_energy = 0;
};

struct OSTREL_pathlib {
  int pathlib = 0;       // 1 when in use
  int total_path = 0;
  std::vector<OSTREL_path> path;
  int total_allpath = 0;
  std::vector<OSTREL_allpath> allpath;
  double oneD = 999, twoD = 999, threeD = 999;  // activation energies, eV
  // The lowest threshold at which some cluster percolates in at least 1, 2,
  // 3 dimensions, above the global minimum (scaled, eV; 999 none): what
  // tools that flood a landscape from its lowest point report.
  double oneD_threshold = 999, twoD_threshold = 999, threeD_threshold = 999;
};

// A chain of adjacent grid points (unwrapped coordinates).
struct OSTREL_grid_path {
  int length = 0;
  int saddle = -1;  // index of the highest-energy point
  std::vector<int> color, style, marker;
  std::vector<OSTREL_path_triple_index> grid;
};

struct OSTREL_cubeloc {
  int x = 0, y = 0, z = 0;
};

struct OSTREL_cellcross {
  int x = 0, y = 0, z = 0;
};

// Sites of a cluster: a minimum index and the cell it is placed in.
struct OSTREL_cellcross_list {
  int len = 0, alloc = 0;
  std::vector<int> points;
  std::vector<OSTREL_cellcross> list;
};

struct OSTREL_cluster {
  int mul = 1;
  int dimension = 0;           // 0 = not percolating, 1, 2, 3
  int ribbon = 0;              // 1-D only: survives the loss of any one site
  int ID = -1;                 // path type with the highest saddle energy
  int total_path = 0;
  std::vector<int> path;       // path-type indices in order of discovery
  double minimum = 9999;       // raw
  double maximum = -9999;      // raw
  OSTREL_path_triple_index vector[3];  // spanning translations, grid units
};

struct OSTREL_cluster_list {
  int total = 0;
  std::vector<OSTREL_cluster> clust;
};

struct OSTREL_reaction_pathway {
  int ID = -1;
  int initial_dimension = 0;
  int dimension = 0;
  int ribbon = 0;
  int total_path = 0;
  std::vector<int> path;  // +k: type k-1 forward, -k: backward
};

struct OSTREL_reaction_pathway_overall {
  int total = 0;
  std::vector<OSTREL_reaction_pathway> rp;
};

struct OSTREL_connect_list {
  int total = 0;
  std::vector<int> item;
};

// Scratch arrays of the network analysis.  Whoever analyses many networks
// of one landscape (every threshold, every trial removal of the backbone
// search) owns one and hands it to each analysis, so that the arrays keep
// their storage; nothing in it outlives an analysis as a result.
struct OSTREL_network_scratch {
  // Indexed by minimum (grown to the landscape) and by path type; entries of
  // minima not in the current analysis are -1 (sites) or 0 (counts).
  std::vector<int> first_site;          // per minimum: its first site in the cluster
  std::vector<int> last_site;           // per minimum: its latest site
  std::vector<int> inc_count;           // per minimum: number of its hops
  std::vector<int> inc_begin, inc_end;  // per minimum: its hops in `inc`
  std::vector<int> inc;                 // hop positions grouped by minimum
  std::vector<int> path_stamp;          // per path type: cluster stamp
  std::vector<int> touched;             // minima whose entries are set
  int stamp = 0;
  // The cluster being placed: sites (minimum, cell), the next site of the
  // same minimum (-1), the hops as edges between sites, the minima placed
  // and the hops waiting to be placed (a min-heap of positions).
  OSTREL_cellcross_list sites;
  std::vector<int> next_same;
  std::vector<std::pair<int, int>> edges;
  std::vector<int> placed_minima;
  std::vector<int> heap;
  // Ribbon test: blocks of the site graph and its block-cut tree (node of
  // each site, adjacency, breadth-first order, depths, ancestor table, path
  // counts per node and per site).
  OSTREL_blocks blocks;
  std::vector<int> node_of, tree_start, tree_to, tree_fill, depth, order, up;
  std::vector<long long> count, with_site;
};

// ---------------------------------------------------------------------------
// Library.
void OSTREL_init_pathlib(OSTREL_pathlib* lib);
void OSTREL_free_pathlib(OSTREL_pathlib* lib);
int OSTREL_copy_pathlib(const OSTREL_pathlib* src, OSTREL_pathlib* dst);
int OSTREL_build_path(OSTREL_cube* cube, const OSTREL_cif* cif, OSTREL_pathlib* lib);
int OSTREL_build_allpaths(OSTREL_cube* cube, const OSTREL_cif* cif, OSTREL_pathlib* lib);
int OSTREL_filter_redundant_path(OSTREL_cube* cube, OSTREL_pathlib* lib);

// Grid paths: 0 built, -1 rejected, 1 error.
int OSTREL_build_half_grid_path(const OSTREL_cube* cube, OSTREL_grid_path* out,
                                OSTREL_cubeloc from, OSTREL_cubeloc to);
int OSTREL_build_grid_path(const OSTREL_cube* cube, OSTREL_grid_path* out, OSTREL_cubeloc start,
                           OSTREL_cubeloc saddle, OSTREL_cubeloc end);
int OSTREL_concatenate_grid_path(const OSTREL_cube* cube, OSTREL_grid_path* first,
                                 const OSTREL_grid_path* second);
void OSTREL_refresh_path_saddle(const OSTREL_cube* cube, OSTREL_grid_path* path);
int OSTREL_halfpath_is_irreducible(const OSTREL_cube* cube, const OSTREL_grid_path* path);
double OSTREL_path_length_in_Angstrom(const OSTREL_cube* cube, const OSTREL_grid_path* path);
void OSTREL_free_grid_path(OSTREL_grid_path* path);

double OSTREL_find_loc_distance(const OSTREL_cube* cube, OSTREL_cubeloc a, OSTREL_cubeloc b);
int OSTREL_is_loc_equal(OSTREL_cubeloc a, OSTREL_cubeloc b);
double OSTREL_allpath_angle(const OSTREL_cube* cube, const OSTREL_cellcross_list* start_list,
                            int start_index, const OSTREL_cellcross_list* end_list, int end_index,
                            int saddle);

// Equality of hops.
int OSTREL_is_allpath_equal(const OSTREL_allpath* a, const OSTREL_allpath* b, int mode);
int OSTREL_is_path_start_end_equal(const OSTREL_path* a, const OSTREL_path* b);
int OSTREL_is_allpath_start_end_equal(const OSTREL_allpath* a, const OSTREL_allpath* b);
int OSTREL_is_cellcross_equal(OSTREL_cellcross a, OSTREL_cellcross b);
int OSTREL_is_cellcrossdiff_equal(const OSTREL_allpath* a, const OSTREL_allpath* b);
OSTREL_cellcross OSTREL_get_cellcrossdiff_from_allpath(const OSTREL_allpath* a);

// 1 when one hop of the library joins the two minimum images (unwrapped grid
// points), 0 when none does, -1 when a point is not a minimum.
int OSTREL_is_direct_path_between_minima(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                         OSTREL_cubeloc m1, OSTREL_cubeloc m2);

// List operations.
int OSTREL_isin_pathlib(const OSTREL_pathlib* lib, int start_type, int end_type,
                        int saddle_type);
int OSTREL_get_allpath_to_path_index(const OSTREL_pathlib* lib, int allpath_index);
int OSTREL_delete_pathlib_path(OSTREL_pathlib* lib, int index);
int OSTREL_delete_pathlib_allpath(OSTREL_pathlib* lib, int index);
int OSTREL_insert_pathlib_allpath(OSTREL_pathlib* lib, const OSTREL_allpath& a);
int OSTREL_pop_pathlib_allpath(OSTREL_pathlib* lib, int index, OSTREL_allpath* out);
void OSTREL_reverse_pathlib_allpath(OSTREL_pathlib* lib);
void OSTREL_bubblesort_pathlib(OSTREL_pathlib* lib);

// Output.
void OSTREL_print_pathlib(const OSTREL_cube* cube, const OSTREL_pathlib* lib, FILE* stream);
void OSTREL_print_path(const OSTREL_cube* cube, const OSTREL_grid_path* path,
                       const OSTREL_pathlib* lib, FILE* stream, int plot, double start);

// ---------------------------------------------------------------------------
// Network analysis.
void OSTREL_init_cluster_list(OSTREL_cluster_list* list);
int OSTREL_alloc_path_clust(OSTREL_cluster_list* list, int total);
void OSTREL_free_cluster_list(OSTREL_cluster_list* list);
// Without a scratch record the analysis uses one of its own.
int OSTREL_analyze_network(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                           OSTREL_cluster_list* out, OSTREL_network_scratch* scratch = nullptr);
int OSTREL_analyze_network_at_energy(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                     OSTREL_cluster_list* out, double energy,
                                     OSTREL_network_scratch* scratch = nullptr);
int OSTREL_analyze_network_at_saddles(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                      FILE* stream, double threshold);
// Lattice translations between sites that are the same minimum in different
// cells (grid units), and the dimension they span with its spanning vectors.
int OSTREL_generate_path_vectors(const OSTREL_cube* cube, const OSTREL_cellcross_list* sites,
                                 std::vector<OSTREL_path_triple_index>* vectors);
int OSTREL_generate_path_dimension(const OSTREL_cube* cube,
                                   const std::vector<OSTREL_path_triple_index>& vectors,
                                   OSTREL_path_triple_index spanning[3]);
int OSTREL_calc_activation_energy(const OSTREL_cube* cube, OSTREL_pathlib* lib);
// The three activation energies, then the three thresholds above the global
// minimum ("1D threshold from the global minimum: %.6f eV").
void OSTREL_print_activation_energy(const OSTREL_pathlib* lib, FILE* stream);
void OSTREL_print_clustlist(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                            const OSTREL_cluster_list* list, FILE* stream);

int OSTREL_get_percolating_cluster_backbone(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                            const OSTREL_cluster* cluster,
                                            OSTREL_pathlib* sym_lib, OSTREL_cluster* sym_cluster,
                                            OSTREL_pathlib* red_lib, OSTREL_cluster* red_cluster,
                                            int reduce, OSTREL_network_scratch* scratch = nullptr);

// Reaction pathways.
void OSTREL_init_reaction_pathway(OSTREL_reaction_pathway_overall* rp);
void OSTREL_free_reaction_pathway(OSTREL_reaction_pathway_overall* rp);
int OSTREL_build_reaction_pathway(const OSTREL_cube* cube, OSTREL_pathlib* lib,
                                  OSTREL_reaction_pathway_overall* rp);
int OSTREL_cleanup_redundant_pathways(const OSTREL_pathlib* lib,
                                      OSTREL_reaction_pathway_overall* rp);
// Appends a pathway made from a cluster (ID, dimensions, no hops).
int OSTREL_copy_cluster_append_rp_all(const OSTREL_cluster* cluster,
                                      OSTREL_reaction_pathway_overall* rp);
int OSTREL_append_path_to_reaction_pathway(OSTREL_reaction_pathway* p, int hop);
int OSTREL_del_reaction_pathway(OSTREL_reaction_pathway_overall* rp, int index);

int OSTREL_concatenate_path(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                            OSTREL_grid_path* out, const OSTREL_connect_list* hops);
// Moves a hop (start, saddle, end images) to the symmetry copy that starts at
// `point`; 0 when moved, 1 when no copy fits.
int OSTREL_get_path_stationary_points(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                      int hop, OSTREL_cubeloc point, OSTREL_cubeloc* start,
                                      OSTREL_cubeloc* saddle, OSTREL_cubeloc* end);
void OSTREL_print_reaction_pathway(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                   const OSTREL_reaction_pathway_overall* rp, FILE* stream);

// Machine-readable results of one analysis: a JSON summary (activation
// energies, percolating directions, sites, saddles and hops) and a tidy
// table of the reaction pathways (one header line, one row per grid point,
// Cartesian positions in Å and the distance along each hop).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "OSTREL-path.h"

struct OSTREL_run;

// The cluster that sets the activation energy of one dimension: the first
// cluster (thresholds ascending, clusters in the order the analysis lists
// them) that percolates in at least `dimension` directions and whose energy
// span (highest saddle - lowest site, scaled) equals that activation energy.
struct OSTREL_percolation_direction {
  int dimension = 0;           // 1, 2 or 3: the activation energy it sets
  int cluster_dimension = 0;   // the cluster's own dimension (>= dimension)
  int ribbon = 0;
  // Lattice translations spanning the cluster, in cells (1D: its axis).
  std::vector<std::vector<int>> vectors;
  int plane[3] = {0, 0, 0};    // 2D: the Miller indices of its plane
  std::string text;            // "1D [0,0,1]", "1D ribbon [1,0,0]", "2D (0,0,1)", "3D"
};

// One direction per dimension with an activation energy, in dimension order.
int OSTREL_find_percolation_directions(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                                       std::vector<OSTREL_percolation_direction>* out);
// The distinct texts of the directions joined by "; ".
std::string OSTREL_join_directions(const std::vector<OSTREL_percolation_direction>& dirs);

// Writes the JSON summary of the run to `filename` (temporary name, then
// renamed); 1 with the message printed when it cannot be made or written.
int OSTREL_write_json_summary(const OSTREL_run* run, const char* filename);

// The tidy pathway table: "pathway,hop,point,x_A,y_A,z_A,energy_eV,distance_A,label",
// one row per grid point of every hop of every reaction pathway (hops and
// points numbered from 1, the end site of a hop repeated as the start of
// the next, the distance restarting at 0 with each hop).  Returns 1 when a
// pathway cannot be walked (the message printed).
int OSTREL_print_tidy_pathway(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                              const OSTREL_reaction_pathway_overall* rp, FILE* stream);
// Writes the table as OSTREL_rp_tidy.csv in the output directory; 1 when it
// cannot be written (the message printed).
int OSTREL_write_tidy_pathway(const OSTREL_cube* cube, const OSTREL_pathlib* lib,
                              const OSTREL_reaction_pathway_overall* rp);

// The file name of the tidy table.
extern const char* const OSTREL_TIDY_PATHWAY_FILE;

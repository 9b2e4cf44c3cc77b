// Site graph of a landscape and its conduction network: minima as vertices,
// hops over saddles as pairs of directed edges carrying the lattice
// translation they cross (built from the flow-path half paths, curvatures
// from the Fourier record); the supergraph of a supercell for the kinetic
// Monte Carlo; fundamental cycles of a minimum spanning forest and the
// energies at which hops percolate in 1, 2 and 3 dimensions (--gh); the
// site summary with split and merged sites (--sites).
#ifndef VELMORA_GH_H_
#define VELMORA_GH_H_

#include <array>
#include <memory>
#include <vector>

#include "velmora-alloc.h"
#include "velmora-cmd.h"
#include "velmora-fft.h"
#include "velmora-fp.h"
#include "velmora.h"

// References between graph records are indices into the arrays of the graph
// named (-1: none), so that graphs can be copied and grown freely.

// One minimum of the landscape.
struct VELMORA_GRAPH_VERTEX {
  char name[12] = {};     // site label; empty when unlabelled
  long x_i[3] = {};       // grid indices of the minimum
  double x[3] = {};       // Cartesian position, A
  double occ = 0.0;       // occupancy of the conducting ion, 0 to 1
  double eig[3] = {};     // Cartesian curvature eigenvalues at the minimum, eV/A^2
  double eiv[3][3] = {};  // the matching eigenvectors (rows)
  double en = 0.0;        // landscape energy, eV
  long index = 0;         // position in the graph's vertex array
  int total_e = 0;        // number of outgoing edges
  std::vector<long> e;    // outgoing edges, in creation order
  long site = 0;          // 1-based class of equal-energy vertices; 0 unassigned
  long sub = -1;          // in a derived graph: the vertex it stands for in the parent
  bool visited = false;   // scratch mark of graph searches
  long v_b = -1;          // in a spanning forest: the parent vertex
  // Positions (Cartesian, A, the images nearest x) of the structure's sites
  // of the conducting ion that gave the vertex its occupancy: the split
  // sites one ion chooses among (two 96h sites of a garnet's 48g cage);
  // empty when none did.
  std::vector<std::array<double, 3>> member;
};

// One directed hop.
struct VELMORA_GRAPH_EDGE {
  long x_i[3] = {};      // grid indices of the saddle
  double x[3] = {};      // Cartesian position of the saddle, A
  double en = 0.0;       // saddle energy, eV
  double l = 0.0;        // hop length, A
  long index = 0;        // position in the graph's edge array
  long v_i = -1;         // start vertex
  long v_f = -1;         // end vertex
  long e_r = -1;         // the reverse edge
  double barrier = 0.0;  // en minus the start vertex's en (forest: the larger direction)
  int bound[3] = {};     // cells from the start vertex to the image of the end vertex reached
  int bound_i[3] = {};   // cell boundaries crossed from the start vertex to the saddle
  int bound_f[3] = {};   // cell boundaries crossed from the saddle to the end vertex
  double dir[3] = {};    // unit vector from the nearest image of the start vertex to the saddle
  long index_half = -1;  // half path from this edge's saddle down to its start vertex
  long sub = -1;         // in a derived graph: the edge it stands for in the parent
};

struct VELMORA_GRAPH {
  long total_v = 0;
  long total_e = 0;
  std::vector<VELMORA_GRAPH_VERTEX> v;
  std::vector<VELMORA_GRAPH_EDGE> e;
  long n[3] = {};          // grid points along each lattice vector
  double a_i[3][3] = {};   // grid step vectors (rows), A
  double a[3][3] = {};     // lattice vectors (rows), A
  double volume = 0.0;     // A^3
  char type[3] = {};       // conducting ion
  int os = 0;
  double m = 0.0;          // its mass, amu
  double c = 0.0;          // its concentration, per A^3
  double total_occ = 0.0;  // summed occupancy of the conducting ion in the structure
};

// ---------------------------------------------------- periodic geometry ----

// Within one grid step on every axis, across the periodic boundary.
bool velmora_dot_adjacent(const long x1[3], const long x2[3], const long n[3]);
// The image of x1 (shifts of -1, 0, 1 lattice vectors per axis) nearest to
// x2; the unshifted x1 wins ties, then the first in the order i, j, k.
void velmora_dot_pivot(double out[3], const double x1[3], const double x2[3],
                       const double a[3][3]);
double velmora_dot_distance(const double x1[3], const double x2[3], const double a[3][3]);
void velmora_dot_direction(double dir[3], const double x1[3], const double x2[3],
                           const double a[3][3]);
double velmora_vector3_double_min(const double x[3]);
double velmora_vector3_double_max(const double x[3]);

// ------------------------------------------------------------ the graph ----

std::unique_ptr<VELMORA_GRAPH> velmora_graph_new(long total_v, long total_e);
// Half paths that stop on a lower saddle (the flow-path map ends a descent
// at any critical point) are carried on down that saddle's steepest branch
// to a minimum, and their barriers follow.  Without this the hop they
// belong to gives no edge: a hop that runs down into the centre of a split
// site (a saddle between its two minima) would be lost, and with it every
// network it is part of.  Returns the number of half paths extended.
long velmora_fphalf_list_descend_to_minima(VELMORA_FPHALF_LIST* list, const VELMORA_FPCUBE* map);
// The site graph from the half paths of a flow-path map (first carried
// down to minima, as above), the curvatures of the Fourier record of the
// same landscape, the structure (site names and occupancies) and its
// parameters (the conducting ion).
std::unique_ptr<VELMORA_GRAPH> velmora_graph_new_filled(const VELMORA_FPCUBE* map,
                                                        VELMORA_FPHALF_LIST* list,
                                                        const VELMORA_FFT* fft,
                                                        const VELMORA_CELL* cell,
                                                        const VELMORA_PROPERTY* ppt);
// The graph repeated s[0] x s[1] x s[2] times (vertices and edges of cell
// offset (i, j, k) at t = k + (i*s[1] + j)*s[2] times the counts).
std::unique_ptr<VELMORA_GRAPH> velmora_graph_new_supergraph(const VELMORA_GRAPH* graph,
                                                            const int s[3]);
int velmora_graph_assign_occ(VELMORA_GRAPH* graph, const VELMORA_CELL* cell);
int velmora_graph_assign_label(VELMORA_GRAPH* graph, const VELMORA_CELL* cell);
// Vertices as "Li" atoms, one "Na" atom per hop pair at its saddle.
std::unique_ptr<VELMORA_CELL> velmora_graph_export_to_cell(const VELMORA_GRAPH* graph);

// ---------------------------------------------------- cycles and network ----

// An ordered selection of vertices and edges of one graph (indices; an
// edge entry of -1 stands for none).
struct VELMORA_GRAPH_LIST {
  long total_v = 0;
  long total_e = 0;
  std::vector<long> v;
  std::vector<long> e;
};

// A closed hop sequence (edges of the site graph in walking order).
struct VELMORA_GRAPH_CYCLE {
  long total = 0;
  std::vector<long> e;
  double barrier = 0.0;  // e_max - e_min
  double e_min = 0.0;    // lowest start-vertex energy
  double e_max = 0.0;    // highest saddle energy
  double l = 0.0;        // summed hop length, A
  int bound[3] = {};     // net lattice translation of one turn
};

// The cycles of a graph in their sorted order (the list owns them).
struct VELMORA_GRAPH_CYCLE_LIST {
  std::vector<VELMORA_GRAPH_CYCLE> cycle;
};

// Thresholds (eV; -1 when not found) and the cycles showing them (indices
// into the cycle list).  e1, e2, e3: the smallest difference between a
// saddle and the lowest site of the cluster of sites that the hops up to it
// join, once that cluster's closed hop sequences translate in 1, 2, 3
// independent directions; the window runs from that site to that saddle.
// el: the non-percolating cycle of the lowest barrier.
struct VELMORA_GRAPH_NETWORK {
  long c1 = -1;
  long c2[2] = {-1, -1};
  long c3[3] = {-1, -1, -1};
  long cl = -1;
  double e_min = 0.0, e_max = 0.0;
  double e1 = 0.0, e1_min = 0.0, e1_max = 0.0;
  double e2 = 0.0, e2_min = 0.0, e2_max = 0.0;
  double e3 = 0.0, e3_min = 0.0, e3_max = 0.0;
  double el = 0.0, el_min = 0.0, el_max = 0.0;
};

std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_new(long total_v, long total_e);
int velmora_graph_list_add_vertex(VELMORA_GRAPH_LIST* list, long vertex);
int velmora_graph_list_add_edge(VELMORA_GRAPH_LIST* list, long edge);

// Prim's algorithm on the hop saddle energies.
std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_prim_forest(VELMORA_GRAPH* graph);
std::unique_ptr<VELMORA_GRAPH> velmora_graph_new_subgraph_minimum_spanning_forest(
    VELMORA_GRAPH* graph);
// First edges of the hop pairs that the forest does not use.
std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_edge_complementary(
    const VELMORA_GRAPH* graph, const VELMORA_GRAPH* forest);
// The fundamental cycle of site-graph edge `edge` in the forest: the edge,
// then up the tree from its end vertex and down to its start vertex; none
// when its ends lie in different trees.
std::unique_ptr<VELMORA_GRAPH_LIST> velmora_graph_list_cycle_from_spanning_forest(
    const VELMORA_GRAPH* forest, const VELMORA_GRAPH* graph, long edge);

std::unique_ptr<VELMORA_GRAPH_CYCLE> velmora_graph_cycle_new(long total);
std::unique_ptr<VELMORA_GRAPH_CYCLE> velmora_graph_cycle_new_from_list(
    const VELMORA_GRAPH_LIST* list, const VELMORA_GRAPH* graph);
std::unique_ptr<VELMORA_GRAPH_CYCLE_LIST> velmora_graph_cycle_list_new_from_graph(
    VELMORA_GRAPH* graph);
int velmora_graph_cycle_list_sort(VELMORA_GRAPH_CYCLE_LIST* list);
// -1, 0, 1: barrier, then length (both within 0.0001), then a cycle without
// translation first.
int velmora_graph_cycle_compare(const VELMORA_GRAPH_CYCLE* a, const VELMORA_GRAPH_CYCLE* b);
// Whether the cycles form one connected whole through shared vertices.
bool velmora_graph_cycles_is_connected(const VELMORA_GRAPH_CYCLE* const* cycle, int count,
                                       const VELMORA_GRAPH* graph);

std::unique_ptr<VELMORA_GRAPH_NETWORK> velmora_graph_network_new_from_cycle_list(
    const VELMORA_GRAPH_CYCLE_LIST* list, const VELMORA_GRAPH* graph);
void velmora_graph_network_print(const VELMORA_GRAPH_NETWORK* network);
std::unique_ptr<VELMORA_TEXT> velmora_graph_network_export_to_text(
    const VELMORA_GRAPH_NETWORK* network, const VELMORA_GRAPH_CYCLE_LIST* cycles,
    const VELMORA_GRAPH* graph, const VELMORA_FPCUBE* map, const VELMORA_FPHALF_LIST* list,
    const double a[3][3]);
// Marks the half paths of every hop of the cycle in the map: saddle, path,
// minimum.
void velmora_graph_cycle_label_path(const VELMORA_GRAPH_CYCLE* cycle, const VELMORA_GRAPH* graph,
                                    VELMORA_FPCUBE* map, const VELMORA_FPHALF_LIST* list);

// The common start of --gh and --sites: the cube (periodic or not), the
// structure (its lattice must be the cube's), the flow-path map and its half
// paths (those of barrier above barrier_cutoff dropped when it is not
// negative), the Fourier record and parameters with screening factor 0.75,
// and the site graph.  The Fourier record, structure and parameters are
// released on return.
struct VELMORA_GRAPH_INPUT {
  std::unique_ptr<VELMORA_FPCUBE> map;
  std::unique_ptr<VELMORA_FPHALF_LIST> list;
  std::unique_ptr<VELMORA_GRAPH> graph;
};
int velmora_graph_build_from_file(VELMORA_GRAPH_INPUT& in, const char* cifname,
                                  const char* cubename, const char* type, int os,
                                  double barrier_cutoff, bool periodic, const char* dir_unitary,
                                  const char* dir_binary, const char* dir_symcards);

int velmora_graph_network_calculate_from_file_export_full(
    const char* outname, const char* cifname, const char* cubename, const char* type, int os,
    double barrier_cutoff, bool periodic, const char* dir_unitary, const char* dir_binary,
    const char* dir_symcards);

// ---------------------------------------------------------- site summary ----

enum site_type { SITE_REA = 0, SITE_SPL = 1, SITE_MER = 2 };

struct VELMORA_GRAPH_SITE {
  char name[12] = {};
  site_type type = SITE_REA;
  double x[3] = {};
  double en = 0.0;
  double occ = 0.0;
  double r = 0.0;    // real: spread of its split sites; split: distance from its parent
  long label = 0;    // real: equal-energy class of the vertex
  long index = 0;
  int total_near = 0;
  std::vector<long> index_near;
  int total_neigh = 0;
  std::vector<long> index_neigh;
  std::vector<double> barrier;   // lowest hop barrier to each neighbour, eV
  int total_split = 0;
  std::vector<long> index_split; // real: its split sites; merged: its members
  long index_merge = 0;          // real: its merged site (0 none); split: its parent
};

struct VELMORA_GRAPH_SITES {
  double a[3][3] = {};
  double a_i[3][3] = {};
  double de = 0.0;
  double dr = 0.0;
  long total = 0;
  long total_real = 0;
  long total_split = 0;
  long total_merge = 0;
  std::vector<VELMORA_GRAPH_SITE> site;
};

std::unique_ptr<VELMORA_GRAPH_SITES> velmora_graph_sites_new(const VELMORA_GRAPH* graph,
                                                             const VELMORA_FPCUBE* map,
                                                             const VELMORA_FPHALF_LIST* list,
                                                             double de, double dr);
void velmora_graph_sites_print(const VELMORA_GRAPH_SITES* sites);
void velmora_graph_sites_print_reduced(const VELMORA_GRAPH_SITES* sites);
std::unique_ptr<VELMORA_CELL> velmora_graph_sites_export_to_cell(const VELMORA_GRAPH_SITES* sites);
int velmora_graph_sites_calculate_from_file(const char* cifname, const char* cubename,
                                            const char* type, int os, double de, double dr,
                                            double barrier_cutoff, bool output_long,
                                            bool periodic, const char* dir_unitary,
                                            const char* dir_binary, const char* dir_symcards);

int velmora_cmd_opt_do_gh(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_sites(VELMORA_CMD_OPT* opt);

#endif  // VELMORA_GH_H_

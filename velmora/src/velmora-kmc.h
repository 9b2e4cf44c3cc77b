// Kinetic Monte Carlo of the conducting ions on the site graph of their
// landscape (--kmc): the graph repeated into a supercell, Arrhenius hop rates
// with attempt frequencies from the curvature at the start site and barriers
// raised by the screened repulsion of nearby ions, events drawn by the
// residence-time (n-fold way) algorithm from a sum tree over the edge rates,
// and diffusivity, mobility and conductivity from the mean squared
// displacement (Einstein and Nernst-Einstein relations).
#ifndef VELMORA_KMC_H_
#define VELMORA_KMC_H_

#include <memory>
#include <string>
#include <vector>

#include "velmora-cmd.h"
#include "velmora-gh.h"
#include "velmora.h"

// One vertex of the supergraph (same index).
struct VELMORA_KMC_VERTEX {
  long v = -1;              // the graph vertex
  int total_v = 0;          // other vertices within the repulsion cut-off
  int total_e = 0;          // edges whose saddle lies within the cut-off
  std::vector<long> v_n;    // those vertices
  std::vector<long> e_n;    // those edges
  std::vector<double> v_de; // repulsion of an ion here with one at each v_n vertex, eV
  bool occupied = false;
  bool init = false;        // an ion started the production run here
  long origin = -1;         // start vertex of the ion now here; -1 when empty
  long y_i[3] = {};         // at an origin vertex: lattice cells crossed by its ion
  double d[3] = {};         // at an origin vertex: displacement of its ion, A
  double t = 0.0;           // time this vertex was occupied, ps (see t_in)
  double en = 0.0;          // vertex energy, eV
  bool update = false;      // rates of the hops near this vertex are stale
  // Occupancy time is accounted lazily: an occupied vertex has been occupied
  // since the clock t_total read t_in, and `t` holds only the closed spells.
  double t_in = 0.0;
  long at = -1;             // at an origin vertex: where its ion is now
};

// One directed hop of the supergraph (same index).
struct VELMORA_KMC_EDGE {
  long e = -1;               // the graph edge
  int total_v = 0;           // vertices near the saddle, the two ends excluded
  std::vector<long> v_n;
  std::vector<double> v_de;  // repulsion of an ion at the saddle with one at each, eV
  double f = 0.0;            // attempt frequency, per ps
  double r = 0.0;            // current hop rate, per ps; 0 when impossible
  std::vector<double> r2;    // one zero per outgoing edge of the end vertex (unused)
  double en = 0.0;           // saddle energy, eV
  double l = 0.0;            // hop length, A
  bool update = false;
};

struct VELMORA_KMC {
  std::unique_ptr<VELMORA_GRAPH> graph;
  std::vector<VELMORA_KMC_VERTEX> kv;
  std::vector<VELMORA_KMC_EDGE> ke;
  long step = 0;              // events of the production run
  double t = 0.0;             // time of the production run, ps
  double t_total = 0.0;       // time since initialisation, ps
  long step_limit = 0;
  double t_limit = 0.0;       // ps; 0: no time limit
  double temperature = 0.0;   // K
  double displacement[4] = {};  // root mean squared displacement x, y, z, total, A
  double diffusivity[4] = {};   // A^2/ps = 1e-8 m^2/s; per axis <dx^2>/2t, total <d^2>/6t
  double mobility[4] = {};      // 1e-8 m^2/(V s)
  double conductivity[4] = {};  // S/cm
  long step_log = 0;
  std::string logname;        // displacement log; empty: none
  std::string xyzname;        // trajectory; empty: none
  std::string log;            // their contents, written whole at the end
  std::string xyz;
  bool log_open = false, xyz_open = false;

  // Beyond the plain algorithm.
  long ions = 0;               // ions placed by the last reset
  std::vector<double> tree;    // sum tree over the positive rates (leaves from `leaf`)
  long leaf = 1;               // first leaf index (a power of two)
  std::vector<long> tree_nodes;  // scratch of the tree updates
  bool linear = false;         // select and sum by linear scans instead (benchmarks)
  std::vector<long> v_mark;    // vertices whose `update` was set
  std::vector<long> e_mark;    // edges whose `update` was set
  // Uncertainty of D: the production run cut into `blocks` equal parts (by
  // time under a time limit, else by events); the displacement of every ion
  // within each part gives one estimate of D per part, and their scatter the
  // relative error of an estimate from one time origin.
  int blocks = 10;
  int block_done = 0;
  std::vector<double> block_start;  // 3 per origin vertex: displacement at the block start
  double block_t0 = 0.0;
  std::vector<std::vector<double>> block_d;  // per block: D x, y, z, total
  double diffusivity_error[4] = {};
  bool progress = true;        // "Message: ..." progress lines on long runs
};

std::unique_ptr<VELMORA_KMC> velmora_kmc_new(std::unique_ptr<VELMORA_GRAPH> graph,
                                             const VELMORA_PROPERTY* ppt, double cutoff);
int velmora_kmc_init(VELMORA_KMC* kmc);
int velmora_kmc_reset(VELMORA_KMC* kmc);
int velmora_kmc_update_rate(VELMORA_KMC* kmc);
// Marks every edge and recomputes every rate (the check of the incremental
// updates).
int velmora_kmc_update_rate_full(VELMORA_KMC* kmc);
int velmora_kmc_equilibrate(VELMORA_KMC* kmc);
int velmora_kmc_evolve(VELMORA_KMC* kmc);
int velmora_kmc_run(VELMORA_KMC* kmc);
int velmora_kmc_calculate_conductivity(VELMORA_KMC* kmc);
int velmora_kmc_log(VELMORA_KMC* kmc);
int velmora_kmc_log_trj(VELMORA_KMC* kmc);
int velmora_kmc_log_xyz(VELMORA_KMC* kmc);
// Closes the spells of the occupied vertices so that every `t` is current.
void velmora_kmc_flush_time(VELMORA_KMC* kmc);
// Writes the log and trajectory collected so far (temporary name, then
// rename); 0 on success.
int velmora_kmc_write_files(VELMORA_KMC* kmc);
std::unique_ptr<VELMORA_CELL> velmora_kmc_export_to_cell(const VELMORA_KMC* kmc);
std::unique_ptr<VELMORA_CELL> velmora_kmc_export_occ_to_cell(VELMORA_KMC* kmc,
                                                              const VELMORA_CELL* supercell);
void velmora_kmc_print_result(VELMORA_KMC* kmc);
double velmora_kmc_random();
// The edge of one event: u * R within the positive rates (R their sum, u in
// [0, 1]); -1 when no rate is positive.
long velmora_kmc_select(const VELMORA_KMC* kmc, double u);
// Sum of the positive rates.
double velmora_kmc_total_rate(const VELMORA_KMC* kmc);

// The record of a structure and its landscape: the cube read as periodic,
// its flow-path half paths and Fourier record, the site graph (ions of
// type/os, parameters with screening factor sf) repeated by `super` (a
// factor below 1 becomes ceil(25 A / lattice length)); `cell` receives the
// structure.  Null, after the failed step's line, on failure.
std::unique_ptr<VELMORA_KMC> velmora_kmc_new_from_file(
    std::unique_ptr<VELMORA_CELL>& cell, const char* cifname, const char* cubename,
    const char* type, int os, int super[3], double sf, double cutoff, const char* dir_symcards,
    const char* dir_unitary, const char* dir_binary);
double velmora_kmc_calculate_conductivity_from_file(
    const char* cifname, const char* cubename, const char* type, int os, int super[3], double sf,
    double temperature, double t_limit, long step_limit, long step_log, double cutoff,
    const char* dir_symcards, const char* dir_unitary, const char* dir_binary);

// The seed argument shared by --kmc and --md: the value given, else the
// clock; the generator is seeded with it and the seed printed.
bool velmora_cmd_seed(const VELMORA_CMD_OPT* opt, int index);

#endif  // VELMORA_KMC_H_

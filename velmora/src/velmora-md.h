// Molecular dynamics of the conducting ions in a fixed framework (--md):
// bond-valence forces (Morse-type bonds to counter-ions, screened Coulomb
// repulsion between like charges), velocity Verlet with a Langevin
// thermostat, and diffusivity, mobility and conductivity from the mean
// squared displacement.  The framework's images are listed once; the mobile
// ions keep Verlet neighbour lists with a skin; forces run on all cores with
// results independent of the thread count.
#ifndef VELMORA_MD_H_
#define VELMORA_MD_H_

#include <memory>
#include <string>
#include <vector>

#include "velmora-neighbor.h"
#include "velmora-rx.h"
#include "velmora.h"

// Skin of the MD neighbour lists (A): a Li ion at 1000 K moves about
// 0.02 A per femtosecond step, so lists last some tens of steps.
constexpr double VELMORA_MD_SKIN = 1.0;
// Like charges repel up to this distance (A); closer images than
// VELMORA_MD_CLOSE are skipped with a warning.
constexpr double VELMORA_MD_CUTOFF = 10.0;
constexpr double VELMORA_MD_CLOSE = 0.1;

// One entry of a mobile ion's neighbour list: an image of the framework
// (fixed atom) or of a mobile atom.
struct VELMORA_MD_PAIR {
  int img = 0;          // index into the framework or the mobile image list
  bool mobile = false;  // which list
};

struct VELMORA_MD {
  std::unique_ptr<VELMORA_CELL> cell;     // atoms wrapped into the cell
  std::unique_ptr<VELMORA_PROPERTY> ppt;  // conducting ion set
  std::vector<double> m;                  // eV ps^2 / A^2
  VELMORA_VECTOR3_ARRAY x, x0, x_p1, v, v_nh, f, r;
  double x_com[3] = {};
  double en_k = 0.0, en_p = 0.0, en = 0.0;
  double volume = 0.0, pressure = 0.0;
  long step = 0;
  double t = 0.0;
  double temperature = 0.0;
  double en_ave = 0.0, en_k_ave = 0.0, en_p_ave = 0.0, temperature_ave = 0.0,
         pressure_ave = 0.0;
  double t_equil = 0.0, t_end = 0.0, dt = 0.0, zeta = 0.0;
  double temperature_target = 0.0, temperature_init = 0.0;
  double displacement = 0.0, diffusivity = 0.0, mobility = 0.0, conductivity = 0.0;
  double t_log = 0.0;
  long step_log = 0;
  std::string logname, xyzname, trjname;
  std::string log, xyz, trj;  // contents, written whole (temporary name, rename)
  bool log_open = false, xyz_open = false, trj_open = false;

  // Beyond the plain loop.
  // Potential energy that the forces conserve: mobile-fixed pairs in full
  // (en_p counts them at half weight, the convention of the cell energy).
  double en_p_phys = 0.0;
  double en_phys = 0.0;
  double t_sample = 0.0;       // time of the last averaged sample
  bool last_sample = false;    // the sample after the last step is averaged in any case
  long mobile_count = 0;       // atoms that move
  std::vector<int> mobile;     // their indices
  std::vector<int> species;    // parameter index of every atom
  bool direct = false;         // plain image loop every step (reference, benchmarks)
  bool parallel = true;
  // Threads pay off only for long sums (waking them costs about as much as
  // 1e5 pair terms on a busy machine): pair terms per step above which the
  // ions are shared out.
  std::size_t thread_threshold = 200000;
  bool progress = true;
  // Framework images (fixed atoms), listed once; mobile images, relisted
  // with the neighbour lists.
  std::unique_ptr<VELMORA_NEIGHBOR> frame;
  std::unique_ptr<VELMORA_NEIGHBOR> moving;
  std::vector<std::vector<VELMORA_MD_PAIR>> pairs;  // per mobile atom
  VELMORA_VECTOR3_ARRAY x_build;   // unwrapped positions when listed
  VELMORA_VECTOR3_ARRAY xw_build;  // wrapped positions when listed
  long builds = 0;
  double reach = 0.0;              // largest pair cut-off (>= 10 A)
  double virial = 0.0;             // sum of -0.5 * 14.39964 * D * w * r
  std::unique_ptr<VELMORA_CELL> frame_cell;  // scratch of the trajectory frames
  // Uncertainty of D: production cut into `blocks` equal spans of time; the
  // displacements within each span give one estimate of D each, and their
  // relative scatter is the relative error of the one-origin estimate.
  int blocks = 10;
  std::vector<double> block_d;
  VELMORA_VECTOR3_ARRAY block_x;
  double block_t0 = 0.0;
  double diffusivity_error = 0.0;
};

std::unique_ptr<VELMORA_MD> velmora_md_new(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt);
int velmora_md_init_vv(VELMORA_MD* md);
int velmora_md_equilibrate(VELMORA_MD* md);
int velmora_md_run(VELMORA_MD* md);
int velmora_md_update_vv_langevin(VELMORA_MD* md);
int velmora_md_calculate_x_vv(VELMORA_VECTOR3_ARRAY& out, const VELMORA_VECTOR3_ARRAY& x,
                              const VELMORA_VECTOR3_ARRAY& v, const VELMORA_MD* md);
int velmora_md_calculate_v_vv(VELMORA_VECTOR3_ARRAY& out, const VELMORA_VECTOR3_ARRAY& v,
                              const VELMORA_MD* md);
int velmora_md_calculate_v_vv_langevin(VELMORA_VECTOR3_ARRAY& out, const VELMORA_VECTOR3_ARRAY& v,
                                       const VELMORA_MD* md);
int velmora_md_calculate_vi_vv(VELMORA_VECTOR3_ARRAY& v, VELMORA_MD* md);
// Forces only; the potential energy pass also gives the forces, both
// potential energies and the virial.
int velmora_md_calculate_force(VELMORA_MD* md);
int velmora_md_calculate_energy(VELMORA_MD* md);
int velmora_md_calculate_energy_potential(VELMORA_MD* md);
int velmora_md_calculate_energy_kinetic(VELMORA_MD* md);
int velmora_md_calculate_temperature(VELMORA_MD* md);
int velmora_md_calculate_pressure(VELMORA_MD* md);
int velmora_md_calculate_average(VELMORA_MD* md);
int velmora_md_calculate_conduction_property(VELMORA_MD* md);
int velmora_md_log_sample(VELMORA_MD* md);
int velmora_md_log_xyz(VELMORA_MD* md);
int velmora_md_log_trj(VELMORA_MD* md);
int velmora_md_write_files(VELMORA_MD* md);
void velmora_md_print_short(const VELMORA_MD* md);
// Moves the mobile atom i to the unwrapped position p (cell position
// wrapped), as a step does.
void velmora_md_set_position(VELMORA_MD* md, int i, const double p[3]);

double velmora_random_normal(double ave, double sd);
int velmora_matrixn3_double_random_normal(VELMORA_VECTOR3_ARRAY& a, long n, double ave, double sd);

int velmora_md_conduction_from_file(const char* cifname, const char* type, int os, double sf,
                                    double temperature, double t_end, double t_equil, double dt,
                                    double t_log, const char* dir_binary, const char* dir_unitary,
                                    const char* dir_symcards);

#endif  // VELMORA_MD_H_

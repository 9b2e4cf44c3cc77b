// LAMMPS input of velmora: the bond-valence force field and a structure as a
// LAMMPS data file, a table file and an input script that reproduce the cell
// energy of velmora.x (Morse bonds between cations and anions as LAMMPS'
// own morse style, the erfc-screened repulsion of like charges tabulated
// from velmora's pair functions) and run the molecular dynamics of --md:
// the framework fixed, the conducting ions integrated by velocity Verlet
// with a Langevin thermostat, their mean squared displacement recorded.
#ifndef VELMORA_LAMMPS_H_
#define VELMORA_LAMMPS_H_

#include <string>

#include "velmora.h"

// Points of each like-charge table, evenly spaced in r^2 from
// VELMORA_LAMMPS_TABLE_INNER to the sum cut-off; LAMMPS takes the values at
// the points as they are and interpolates linearly in r^2 between them.
// Over 0.3 to 10 A the spacing is 0.005 A^2 (0.001 A at 2.5 A): the error
// falls with its square, and LAMMPS' cell energies then agree with
// velmora's within 5e-7 eV per atom (at 6000 points, 3e-6), forces within
// 2e-6 eV/A.
constexpr int VELMORA_LAMMPS_TABLE_POINTS = 20000;
// Inner end of the tables (A): the cell energy leaves out pairs this close
// (the atom itself, or one site shared by several species), and an exported
// structure holds none.
constexpr double VELMORA_LAMMPS_TABLE_INNER = 0.3;

// Settings of one export: the files, and the molecular dynamics the script
// runs (the defaults of --md).  Every setting of the dynamics is an index
// variable of the script, so that `lmp -var T 800 -in name.in` changes it.
struct VELMORA_LAMMPS_CONF {
  std::string base;             // files base.data, base.in, base.table
  std::string source;           // the structure's file, named in the headers
  double temperature = 300.0;   // thermostat, K
  double temperature_init = 10.0;  // initial velocities, K
  double t_equil = 2.0;         // equilibration, ps
  double t_end = 10.0;          // production, ps
  double dt = 0.001;            // time step, ps
  double t_log = 0.1;           // sampling interval, ps
  double zeta = 2.0;            // Langevin friction, 1/ps (damping time 1/zeta)
  long seed = 1;                // LAMMPS random seed, 1 to 900000000
  int supercell[3] = {1, 1, 1}; // cells along a, b, c (named in the headers)
  int table_points = VELMORA_LAMMPS_TABLE_POINTS;
};

// The restricted triclinic box of LAMMPS for a lattice (rows a, b, c):
// a along x, b in the xy plane, tilts reduced into [-l/2, l/2] (another
// basis of the same lattice); `rotation` rows are the box axes, so that a
// Cartesian position x becomes rotation x.  False for a left-handed or flat
// lattice.
struct VELMORA_LAMMPS_BOX {
  double lx = 0.0, ly = 0.0, lz = 0.0, xy = 0.0, xz = 0.0, yz = 0.0;
  double rotation[3][3] = {};
};
bool velmora_lammps_box(VELMORA_LAMMPS_BOX& box, const double a[3][3]);

// The three texts.  The cell must hold whole atoms only (occupancy 1) of the
// parameter set's species; `ppt->conducting` names the mobile species.
// `energy` is velmora's cell energy (eV), quoted in the script; a single
// mobile ion keeps its momentum (there is nothing to balance it).
std::string velmora_lammps_data_text(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                                     const VELMORA_LAMMPS_CONF* conf);
std::string velmora_lammps_table_text(const VELMORA_PROPERTY* ppt, int points);
std::string velmora_lammps_input_text(const VELMORA_PROPERTY* ppt, const VELMORA_LAMMPS_CONF* conf,
                                      long atoms, long mobile_atoms, double energy);

// Checks that the cell and its parameters can be exported, computes the
// cell energy and writes base.data, base.in and base.table, each whole
// (temporary names, renamed together at the end).  0 on success; 1 after
// an error line naming the problem, with no file written.
int velmora_lammps_write(const VELMORA_CELL* cell, const VELMORA_PROPERTY* ppt,
                         const VELMORA_LAMMPS_CONF* conf);

#endif  // VELMORA_LAMMPS_H_

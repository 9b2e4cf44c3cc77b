// GULP input of velmora: the bond-valence force field as a GULP potential
// library (species charges, Morse bonds between cations and anions,
// erfc-screened Coulomb repulsion between like charges, both shifted to zero
// at their cut-offs) and a molecular-dynamics input file with the cell, the
// fractional coordinates, the ensemble settings and that library.
#ifndef VELMORA_GIN_H_
#define VELMORA_GIN_H_

#include <memory>
#include <string>

#include "velmora-alloc.h"
#include "velmora.h"

// Settings of one .gin file.
struct VELMORA_GIN_CONF {
  std::string filename;     // base name of every output file
  char ensemble[8] = "nvt";
  double temperature = 298.0;  // K
  double t_eql = 5.0;          // equilibration, ps
  double t_pro = 25.0;         // production, ps
  double dt = 0.001;           // time step, ps
  double t_sample = 0.5;       // ps
  double t_write = 0.5;        // ps
  double sf = -1.0;            // screening factor; not positive: searched
};

// Settings with the base name `name` cut before its last '.' when that dot
// follows the last '/' (Li2O.cif gives Li2O); "velmora-default" without a
// name.
std::unique_ptr<VELMORA_GIN_CONF> velmora_gin_conf_new(const char* name);

// The library text (CR LF line ends).  The Morse depth D = 7.19982 d0 eV and
// the cut-off of each pair are those of the cell energy, so that GULP,
// which counts every pair once, sums the energy that velmora.x prints.
// Null, reported, for a cation-anion pair without a bonded term.
std::unique_ptr<VELMORA_TEXT> velmora_gin_lib_import_from_property(const VELMORA_PROPERTY* ppt);
// The whole .gin text of a fully occupied cell.
std::unique_ptr<VELMORA_TEXT> velmora_gin_import_from_cell(const VELMORA_CELL* cell,
                                                           const VELMORA_PROPERTY* ppt,
                                                           const VELMORA_GIN_CONF* conf);
// The library written to `name`, with the screening factor `sf` when
// positive; 0 on success.
int velmora_gin_lib_write_to_file(VELMORA_PROPERTY* ppt, double sf, const char* name);
// The .gin file of `cell` resolved into a supercell with every partial
// occupancy assigned; 0 on success.
int velmora_gin_write_to_file(const VELMORA_CELL* cell, const char* dir_unitary,
                              const char* dir_binary, const VELMORA_GIN_CONF* conf);

#endif  // VELMORA_GIN_H_

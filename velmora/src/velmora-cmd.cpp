// Command frame of velmora.x: the command table, the command context with
// the three data files (found beside argv[0], else beside the real
// executable, else in the installed data directory), the dispatch by exact
// name that checks the argument count and prints the usage in one place,
// and the handlers of the structure, force-field, bond-valence and
// landscape commands.  The help texts made from the table are in
// velmora-cmd-help.cpp.
#include "velmora-cmd.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>
#include <vector>

#include "velmora-bv.h"
#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora-json.h"
#include "velmora-la.h"
#include "velmora-rx.h"

#ifndef VELMORA_INSTALL_DATA_DIR
#define VELMORA_INSTALL_DATA_DIR "/usr/local/share/velmora/"
#endif

namespace {

// Adapters of the frame's print-outs to the handler form.
int velmora_cmd_print_sys(VELMORA_CMD_OPT* opt) {
  velmora_cmd_opt_print(opt);
  return VELMORA_EXIT_OK;
}

// Usage lines shared by several commands.
#define VELMORA_CMD_LINE_SF                                                               \
  "Command: {sf}: customized screening factor to use. If set to non-positive, automatic " \
  "calculation is triggered. Default 0.0.\n"
#define VELMORA_CMD_LINE_ATOM_NAME                                                        \
  "Command: {atom_name}: name of the center atom. if multiple atoms have the same name, " \
  "only the first atom is considered.\n"
#define VELMORA_CMD_LINE_TYPE_OS_C                     \
  "Command: {type_c}: type of the coordinated atom.\n" \
  "Command: {os_c}: oxidation state of the coordinated atom.\n"
#define VELMORA_CMD_LINE_RDS_CUTOFF                                                            \
  "Command: {rds_cutoff}: controlling the sensitivity of detecting coordination shells. The "  \
  "larger this parameter is, the smaller each shell tends to be. Only change when necessary. " \
  "If omitted, set to zero or negative, default value is used. Default value 0.01.\n"
// The band's optional arguments; the default of {flag:relax} differs
// between the two band commands and follows them.
#define VELMORA_CMD_LINE_NEB_STEPS                                                           \
  "Command: {step_limit}: the number of steps before a relaxation stops if convergence has " \
  "not been reached. A non-negative integer allows the relaxation to run until convergence " \
  "(or forever). Default 0.\n"                                                               \
  "Command: {step_log}: the number of steps between which log files are updated. A negative " \
  "integer turns off logging. Set to 0 to use the default value. Default 50.\n"
#define VELMORA_CMD_LINE_NEB_RELAX \
  "Command: {flag:relax}: if set to true, two end images are relaxed to achieve local minima. "
#define VELMORA_CMD_LINE_NEB_REST                                                              \
  "Command: {f_conv}: force convergence criterion: the largest force on any atom, in eV/A. " \
  "If set to non-positive, default value is used. Default 0.010000.\n" VELMORA_CMD_LINE_SF    \
  "Command: {k} the spring constant. Set to non-positive to use the default. Default "        \
  "0.500000.\n"
#define VELMORA_CMD_LINE_CONDUCTING             \
  "Command: {type}: type of conducting ions.\n" \
  "Command: {os}: oxidation state of conducting ions.\n"
#define VELMORA_CMD_LINE_PERIODIC \
  "Command: {flag:periodic}: if set to true, cube file is treated as periodic. Default true."

// Every command of velmora.x, in the order of the help text.  Rows without
// a name are the help text's group separators (an empty line, or the line
// "Message:"); rows without help text are not listed.  A command not built
// yet has a null handler: it says so whatever its arguments.
const VELMORA_CMD kCommands[] = {
    {"--version", velmora_cmd_opt_do_print_version, 0, nullptr, nullptr},
    {"-v", velmora_cmd_opt_do_print_version, 0, nullptr, nullptr},
    {"-V", velmora_cmd_opt_do_print_version, 0, nullptr, nullptr},
    {"--help", velmora_cmd_opt_do_print_help, 0, nullptr, "display this help."},
    {"-h", velmora_cmd_opt_do_print_help, 0, nullptr, nullptr},
    {"--help-all", velmora_cmd_opt_do_print_help_all, 0, nullptr, nullptr},
    {"--print-sys", velmora_cmd_print_sys, 0, nullptr, nullptr},
    {"--print-cell", velmora_cmd_opt_do_print_cell, 1,
     "Command: --print-cell [input.cif].\n\n"
     "Example: ./velmora.x --print-cell Li2O.cif\n",
     "print the loaded cell."},
    {"--print-ppt", velmora_cmd_opt_do_print_ppt, 1,
     "Command: --print-ppt [input.cif] | {screening factor}.\n\n"
     "Command: {screening factor}: a double in (0, 1)\n"
     "Example: ./velmora.x --print-ppt Li2O.cif\n"
     "         will trigger automatic calculation of screening factor.\n"
     "Example: ./velmora.x --print-ppt Li2O.cif 0.72.\n"
     "         will use provided screening factor 0.72.\n",
     "print the property corresponding to the loaded cell."},
    {"--print-ppt-full", velmora_cmd_opt_do_print_ppt_full, 1,
     "Command: --print-ppt-full: [input.cif] | {screening factor} {conducting ion type} "
     "{conducting ion os}.\n\n"
     "Command: reserved for debugging purpose\n",
     nullptr},
    {"--print-sym", velmora_cmd_opt_do_print_sym, 1,
     "Command: --print-sym [input.cif]\n\n"
     "Example: --print-sym Li2O.cif\n",
     "print the symmetry corresponding to the loaded cell."},
    {"--print-cube", velmora_cmd_opt_do_print_cube, 1,
     "Command: --print-cube [input.cube] | {flag:periodic}\n\n"
     "Command: [input.cube]: in Gaussian cube format. Headers are optional.\n"
     "Command: {flag:periodic}: t or f. If true, the cube is treated as periodic, namely "
     "boundaries are not repeatedly recorded in the file. Default value true.\n"
     "Example: ./velmora.x --print-cube Li2O.cube\n",
     "print a summary of the loaded cube."},
    {nullptr, nullptr, 0, nullptr, ""},
    {"--gen-cif", velmora_cmd_opt_do_gen_cif, 1,
     "Command: --gen-cif [input.cif] | {output_name}.\n\n"
     "Command: {output_name}: the name of the output file. If omitted, the input name "
     "appended by \".cif\" will be used.\n"
     "Example: ./velmora.x --gen-cif Li2O.cif\n",
     "write the loaded cell to file in cif format."},
    {"--gen-cif-reduced", velmora_cmd_opt_do_gen_cif_reduced, 1,
     "Command: --gen-cif-reduced [input.cif] | {output_name}\n\n"
     "Example: ./velmora.x --gen-cif-reduced Li2O.cif\n",
     "write the loaded cell reduced by symmetry to file in cif format."},
    {"--gen-cif-p1", velmora_cmd_opt_do_gen_cif_p1, 1,
     "Command: --gen-cif-p1 [input.cif] | {output_name}\n\n"
     "Example: velmora.x --gen-cif-p1 Li2O.cif\n",
     "write the loaded cell to file in cif format without symmetry."},
    {"--gen-cif-assign", velmora_cmd_opt_do_gen_cif_assign, 3,
     "Command: --gen-cif-assign [input.cif] [type] [os] | {output_name}\n\n"
     "Command: [type] the element type of partially occupied site, two characters.\n"
     "Command: [os] the oxidation state of partially occupied site, integer.\n"
     "Example: ./velmora.x --gen-cif-assign Li6PS5Cl.cif Li 1\n",
     "write the loaded cell to file in cif format with partially occupied sites of conducting "
     "species assigned occupancy = 1.0 randomly."},
    {"--gen-cif-assign-all", velmora_cmd_opt_do_gen_cif_assign_all, 1,
     "Command: --gen-cif-assign-all [input.cif] | {output_name}\n\n"
     "Example: ./velmora.x --gen-cif-assign-all Li6PS5Cl.cif\n",
     "write the loaded cell to file in cif format with all partially occupied sites assigned "
     "occupancy = 1.0 randomly."},
    {"--gen-gin-lib", velmora_cmd_opt_do_gen_gin_lib, 1,
     "Command: --gen-gin-lib [input.cif] | {sf} {output_name}\n\n" VELMORA_CMD_LINE_SF
     "Example: ./velmora.x --gen-gin-lib Li2O.cif\n",
     "generate a forcefield file in .lib format for calculation with software GULP."},
    {"--gen-gin", velmora_cmd_opt_do_gen_gin, 1,
     "Command: --gen-gin [input.cif] | {sf} {output_name}\n\n" VELMORA_CMD_LINE_SF
     "Example: ./velmora.x --gen-gin Li2O.cif\n",
     "generate an overall input file in .gin format for performing molecular dynamics "
     "calculaiton with software GULP."},
    {"--gen-lammps", velmora_cmd_opt_do_gen_lammps, 3,
     "Command: --gen-lammps [input.cif] [type] [os] | {sf} {supercell} {temperature} "
     "{output_name}\n\n" VELMORA_CMD_LINE_CONDUCTING VELMORA_CMD_LINE_SF
     "Command: {supercell}: cells along a, b and c as AxBxC (4x4x4), or one number for all "
     "three. Set to 0 for the default: the cell itself, or when sites are partly occupied the "
     "supercell in which they are resolved as for --gen-gin.\n"
     "Command: {temperature}: temperature in K. Set to non-positive to use the default value. "
     "Default 300.\n"
     "Command: {output_name}: base of the files written: name.data (atoms), name.table (like-"
     "charge repulsion) and name.in (LAMMPS input). Default: the input name without its "
     "extension, in the working directory.\n"
     "Command: run in the directory of the files with lmp -in name.in (mpirun -np N lmp -in "
     "name.in on N cores).\n"
     "Example: ./velmora.x --gen-lammps Li2O.cif Li 1\n"
     "Example: ./velmora.x --gen-lammps Li3N.cif Li 1 0.75 10x10x10 800 Li3N_800K\n",
     "write LAMMPS input for a molecular dynamics of the conducting ions with the same force "
     "field."},
    {"--gen-cube", velmora_cmd_opt_do_gen_cube, 3,
     "Command: --gen-cube [input.cif] [type] [os] | {sf} {resolution} "
     "{flag:ignore_conducting_ion} {flag:periodic} {output_name}\n\n"
     "Command: [type] the element type of conducting ion, two characters.\n"
     "Command: [os] the oxidation state of conducting ion, integer.\n"
     "Command: {sf}: customized screening factor to use. If set to non-positive, automatic "
     "calculation is triggered. Default 0.0.\n"
     "Command: {resolution}: preferred separation between voxels. Actual resolution will be "
     "slightly different guarantee the number of voxels along each lattice parameter is a "
     "multiple of 12. Default 0.1.\n"
     "Command: {flag:ignore_conducting_ion}: if set to true, all ions with the same type and "
     "os as the conducting ion are ignored during calculation. Default true.\n"
     "Command: {flag:periodic}: if set to true, generated cube file contains voxels along "
     "boundaries only once. Default true.\n"
     "Command: we advice staying with the default setting. If the screening factor cannot be "
     "calculated automatically, a suitable estimate of about 0.74 can be used.\n"
     "Example: ./velmora.x --gen-cube Li2O.cif Li 1\n"
     "Example: ./velmora.x --gen-cube Li2O.cif Li 1 0.71 0.05 f t\n",
     "calculate the static energy landscape for ionic conduction and write the result to file "
     "in Gaussian cube format."},
    {nullptr, nullptr, 0, nullptr, "Message:"},
    {"--cal-charge", velmora_cmd_opt_do_cal_charge, 1, nullptr, nullptr},
    {"--cal-bv", velmora_cmd_opt_do_cal_bv, 1,
     "Command: --cal-bv [input.cif]\n\n"
     "Command: calculates and prints all bond valence sums for each ion.\n"
     "Example: ./velmora.x --cal-bv Li2O.cif\n",
     "calculate bond valences of the loaded cell."},
    {"--cal-bv-gui", velmora_cmd_opt_do_cal_bv_gui, 1, nullptr, nullptr},
    {"--cal-bv-type", velmora_cmd_opt_do_cal_bv_type, 5,
     "Command: --cal-bv-type [input.cif] [type1] [os1] [type2] [os2]\n\n"
     "Command: {type1}: type of the cation.\n"
     "Command: {os1}: oxidation state of the cation.\n"
     "Command: {type2}: type of the anion.\n"
     "Command: {os2}: oxidation state of the anion.\n"
     "Command: calculates and prints bond valence sums for the specified ion type pair.\n"
     "Example: ./velmora.x --cal-bv LiFePO4.cif Fe 2 O -2\n",
     nullptr},
    {"--cal-gii", velmora_cmd_opt_do_cal_gii, 1,
     "Command: --cal-gii [input.cif]\n\n"
     "Command: calculates global instability index. The larger it is, the less stable this "
     "structure is ESTIMATED to be.\n"
     "Example: ./velmora.x --cal-gii Li2O.cif\n",
     "calculate the global instability index of the loaded cell."},
    {"--cal-cn", velmora_cmd_opt_do_cal_cn, 2,
     "Command: --cal-cn [input.cif] {atom_name} | {rds_cutoff}\n\n"
     "Command: calculates coordination number of the specified atom.\n" VELMORA_CMD_LINE_ATOM_NAME
         VELMORA_CMD_LINE_RDS_CUTOFF "Example: ./velmora.x --cal-cn Li2O.cif Li1 \n",
     "calculate the coordination number of the specified atom regarding to all counterions."},
    {"--cal-cn-atom", velmora_cmd_opt_do_cal_cn_atom, 4,
     "Command: --cal-cn-atom [input.cif] {atom_name} {type_c} {os_c} | {rds_cutoff}\n\n"
     "Command: calculates coordination shell of the specified atom.\n" VELMORA_CMD_LINE_ATOM_NAME
         VELMORA_CMD_LINE_TYPE_OS_C VELMORA_CMD_LINE_RDS_CUTOFF
     "Example: ./velmora.x --cal-cn-atom Li2O.cif Li1 O -2\n",
     "calculate coordination shell of the specified atom."},
    {"--cal-cn-type", velmora_cmd_opt_do_cal_cn_type, 5,
     "Command: --cal-cn-type [input.cif] {type} {os} {type_c} {os_c} | {rds_cutoff}\n\n"
     "Command: calculates averaged coordination number of the specified pair of ions.\n"
     "Command: {type}: type of the center atom.\n"
     "Command: {os}: oxidation state of the center atom.\n" VELMORA_CMD_LINE_TYPE_OS_C
         VELMORA_CMD_LINE_RDS_CUTOFF "Example: ./velmora.x --cal-cn-type Li2O.cif Li +1 O -2\n",
     "calculates averaged coordination number of the specified pair of ions."},
    {"--cal-cn-bv", velmora_cmd_opt_do_cal_cn_bv, 2,
     "Command: --cal-cn-bv [input.cif] {atom_name}\n\n"
     "Command: calculates coordination number of the specified atom by bond "
     "valence.\n" VELMORA_CMD_LINE_ATOM_NAME "Example: ./velmora.x --cal-cn-bv Li2O.cif Li1 \n",
     nullptr},
    {"--cal-sym", velmora_cmd_opt_do_cal_sym, 1,
     "Command: --cal-sym [input.cif] | {tolerance}\n\n"
     "Command: attempts to find out the symmetry group of a structure. Only works if the "
     "structure is in standard setting.\n"
     "Example: ./velmora.x --cal-sym Li2O.cif\n",
     "calculate symmetry of the loaded cell."},
    {"--cal-tot-en", velmora_cmd_opt_do_cal_tot_en, 1,
     "Command: --cal-tot-en [input.cif] | {sf}\n\n"
     "Example: ./velmora.x --cal-tot-en Li2O.cif\n",
     "calculate the total energy of the loaded cell."},
    {nullptr, nullptr, 0, nullptr, ""},
    {"--rx-sd", velmora_cmd_opt_do_rx_sd, 1,
     "Command: --rx-sd [input.cif] | {step_limit} {step_p} {f_conv} {p_conv} {sf} "
     "{output_name}\n\n"
     "Command: {step_limit}: the number of steps before a relaxation stops if convergence has "
     "not been reached. A non-negative integer allows the relaxation to run until convergence "
     "(or forever). Default 0.\n"
     "Command: {step_p}: the number of atomic steps in between which a relaxation of lattice "
     "parameters is performed. If set to non-positive integer, lattice relaxation will not be "
     "performed. Default 0.\n"
     "Command: {f_conv}: force convergence criterion: the largest force on any atom, in eV/A. "
     "If set to non-positive, default value is used. Default 0.010000.\n"
     "Command: {p_conv}: pressure convergence criterion. If set to non-positive, default value "
     "is used. Default 0.001000.\n" VELMORA_CMD_LINE_SF "Example: ./velmora.x --rx-sd Li2O.cif\n"
     "Example: ./velmora.x --rx-sd Li2O.cif 0 10 0.0001 0.0001\n",
     "perform a relaxation of loaded cell with steepest descend algorithm and write the result "
     "to file in cif format."},
    {"--rx-neb", velmora_cmd_opt_do_rx_neb, 3,
     "Command: --rx-neb [input1.cif] [input2.cif] [n] | {step_limit} {step_log} {flag:relax} "
     "{f_conv} {sf} {k} {output_name}\n\n"
     "Command: [input1.cif]: the first image in cif file. Every ion must carry a proper name "
     "that corresponds to the name in [input2.cif]\n"
     "Command: [input2.cif]: the last image in cif file. Every ion must carry a proper name "
     "that corresponds to the name in [input1.cif]\n"
     "Command: [n]: total number of images, inclusive of the two given images. The initial "
     "guess of these images is interpolated from the first and last images.\n"
     VELMORA_CMD_LINE_NEB_STEPS VELMORA_CMD_LINE_NEB_RELAX "Default true.\n"
     VELMORA_CMD_LINE_NEB_REST
     "Example: ./velmora.x --rx-neb Li2O_i.cif Li2O_f.cif 11\n",
     "perform a simple nudged elastic bend calculation with input of two end images."},
    {"--rx-neb-images", velmora_cmd_opt_do_rx_neb_images, 2,
     "Command: --rx-neb-images [input_name] [n] | {step_limit} {step_log} {flag:relax} "
     "{f_conv} {sf} {k} {output_name}\n\n"
     "Command: [input_name]: this string is appended by .0.cif, .1.cif... etc, and then used as "
     "input structure file name.\n"
     "Command: [n]: total number of images, inclusive of the first and the last, read from "
     "[input_name].0.cif to [input_name].(n-1).cif.\n"
     VELMORA_CMD_LINE_NEB_STEPS VELMORA_CMD_LINE_NEB_RELAX "Default false.\n"
     VELMORA_CMD_LINE_NEB_REST
     "Example: ./velmora.x --rx-neb-images Li2O 5\n"
     "Example: this will run neb with images input from Li2O.0.cif, Li2O.1.cif, Li2O.2.cif, "
     "Li2O.3.cif, Li2O.4.cif.\n",
     "perform a simple nudged elastic bend calculation with input of a series of images."},
    {"--fft", velmora_cmd_opt_do_fft, 1,
     "Command: --fft [input.cube] | {cap} {flag:periodic} {output_name}\n\n"
     "Command: {cap}: critical points with an energy above {global energy minimum} + {cap} "
     "will not be shown in the result. A non-positive value means no cap. Default: "
     "-0.1.\n" VELMORA_CMD_LINE_PERIODIC "\n"
     "Command: generates a cif file representing critical points in the landscape, with Li+ "
     "ions representing minima, Na+ ions representing 1-saddle point, K+ ions representing "
     "2-saddle point, Rb+ ions representing maxima; generates a txt file in csv format "
     "summarizing all eigenvalues and eigenvectors.\n"
     "Example: ./velmora.x --fft Li2O.cube\n",
     "perform a fourier transform analysis to determine critical points and eigenvalues/vectors "
     "at these points."},
    {"--fft-cubes", velmora_cmd_opt_do_fft_cubes, 1,
     "Command: --fft-cubes [input.cube] | {flag:periodic} "
     "{output_name}\n\n" VELMORA_CMD_LINE_PERIODIC "\n"
     "Command: generates 3 cubes of 3 force components; 9 cubes of 9 force constant "
     "components; a laplacian cube and a slope cube.\n"
     "Example: ./velmora.x --fft-cube Li2O.cube\n",
     "perform a fourier transform analysis and generate cubes corresponding to force, force "
     "constant, laplacian and slope."},
    {"--fp-map", velmora_cmd_opt_do_fp_map, 1,
     "Command: --fp-map [input.cube] | {barrier_max} {flag:periodic} {output_name}\n\n"
     "Command: {barrier_max}: Only paths with barrier below this value are shown. If set to "
     "non-positive value, all paths are shown. Default -0.1.\n" VELMORA_CMD_LINE_PERIODIC "\n"
     "Command: generates a cif file representing paths in the provided cube.\n"
     "         H : path dots.\n"
     "         Li: local minimum.\n"
     "         Na: saddle point of 1st type.\n"
     "         K: saddle point of 2st type.\n"
     "         Rb: local maximum.\n"
     "Example: ./velmora.x --fp-map Li2O.cube\n",
     "generates a cif file representing conduction path in the given cube file."},
    {"--gh", velmora_cmd_opt_do_gh, 4,
     "Command: --gh [input.cif] [input.cube] [type] [os] | {barrier_max} {flag:periodic}\n\n"
     "Command: [type]: type of conducting ions.\n"
     "Command: [os]: oxidation state of conducting ions.\n"
     "Command: {barrier_max}: Only paths with barrier below this value are shown. If set to "
     "non-positive value, all paths are considered. Default -0.1.\n" VELMORA_CMD_LINE_PERIODIC "\n"
     "Command: analyze the conduction pathway of the given cube file and attempt to label sites "
     "according to the given cif file. Percolation thresholds are printed to screen, while "
     "corresponding pathway files are generated in cif format. Additionally, a summary of the "
     "pathway if generated in csv txt format.\n"
     "Example: ./velmora.x --gh Li2O.cif Li2O.cube Li 1\n",
     "generates cif files and csv file representing the characteristic conduction pathway in "
     "the given cube file."},
    {"--sites", velmora_cmd_opt_do_sites, 4,
     "Command: --sites [input.cif] [input.cube] {type} {os} | {de} {dr} {barrier_max} "
     "{flag:print_long} {flag:periodic}\n\n" VELMORA_CMD_LINE_CONDUCTING
     "Command: {de}: energy cutoff for splitting sites. Set to negative to use the default "
     "value. Default 0.025700.\n"
     "Command: {dr}: radius cutoff for splitting sites. Set to negative to use the default "
     "value. Default 0.500000.\n"
     "Command: {barrier_max}: Only paths with barrier below this value are shown. If set to "
     "non-positive value, all paths are considered. Default -0.1.\n"
     "Command: {flag:print_long}: print the long version of summary. Default false.\n"
     // The periodic line ends without a line feed: the next line continues it.
     VELMORA_CMD_LINE_PERIODIC "Command: output a summary of all calculated sites.\n"
     "Example: ./velmora.x --sites Li2O.cif Li2O.cube Li 1\n"
     "Example: ./velmora.x --sites Li2O.cif Li2O.cube Li 1 0.05 1.0 true 2.0\n",
     "output a summary of sites based on graph analysis."},
    {"--md", velmora_cmd_opt_do_md, 3,
     "Command: --md [input.cif] {type} {os} | {sf} {temperature} {t_end} {t_equil} {dt} "
     "{t_log}\n\n"
     "Command: [input.cif]: must not contain any partial occupancy of conducting "
     "ions.\n" VELMORA_CMD_LINE_CONDUCTING
     "Command: {sf}: screening factor. If set to non-positive value, automatic calculation is "
     "triggered. Default: -0.1.\n"
     "Command: {temperature}: temperature in K. Set to non-positive to use the default value. "
     "Default 300.\n"
     "Command: {t_end}: time of production in ps. Set to non-positive to use the default "
     "value. Default 10.000.\n"
     "Command: {t_equil}: time of equilibration in ps. Set to non-positive to use the default "
     "value. Default 2.000.\n"
     "Command: {dt}: time step in ps. Set to non-positive to use the default value. Default "
     "0.001.\n"
     "Command: {t_log}: time interval of sampling in ps. Set to non-positive to sample every "
     "100 steps.\n"
     "Command: {seed}: seed of the random numbers, a non-negative integer. Default: taken "
     "from the clock and printed.\n"
     "Command: perform a molecular dynamics fixing all ions except those specified as "
     "conducting.\n"
     "Example: ./velmora.x --md Li2O.cif Li 1\n"
     "Example: ./velmora.x --md Li2O.cif Li 1 600 100.0 10.0 0.005 1.0\n",
     "perform a molecular dynamics allowing only conducting ions to move."},
    {"--kmc", velmora_cmd_opt_do_kmc, 4,
     "Command: --kmc [input.cif] [input.cube] {type} {os} | {s0 s1 s2} {sf} {temperature} "
     "{t_limit} {step_limit} {step_log} {cutoff}\n\n" VELMORA_CMD_LINE_CONDUCTING
     "Command: {s1 s2 s3}: three positive integers defining the supercell. If missing or any "
     "of the three integers is non-positive, a default algorithm is triggered to generate the "
     "supercell.\n"
     "Command: {sf}: screening factor. If set to non-positive value, automatic calculation is "
     "triggered. Default: -0.1.\n"
     "Command: {temperature}: in K. If set to non-positive value, default value is used. "
     "Default: -0.1.\n"
     "Command: {t_limit}: in picosecond. Negative number to use default value; set to 0.0 to "
     "turn off limiting by time. Default: 0 ps.\n"
     "Command: {step_limit}: limiting number of steps. Negative or larger than {step_limit} "
     "means using the default. Default: 10000000.\n"
     "Command: {step_log}: the number of steps result is logged. Negative number to use "
     "default value; set to 0 to turn off limiting by step. If both step_limit and t_limit are "
     "set to zero, default values are used for both. Default: 10000.\n"
     "Command: {cutoff}: the cutoff radius within which the coulomb repulsion is considered. "
     "If set to non-positive value, default value is used. Default: 5.000\n"
     "Command: {seed}: seed of the random numbers, a non-negative integer. Default: taken "
     "from the clock and printed.\n"
     "Command: calculates conductivity by kinetic monte carlo method, importing cube file to "
     "skip the generation of cube.\n"
     "Example: ./velmora.x --kmc Li2O.cif Li2O.cube Li 1\n"
     "Example: ./velmora.x --kmc AgI-a.cif AgI-a.cube Ag 1 2 2 2 -1 600 1000000 -1 -1 -0.1\n",
     "conducts a kinetic monte carlo simulation to estimate the ionic conductivity given the "
     "cif and cube files."},
    // Text mode: the CIF itself follows "-:text" on the command line.
    {"--text-cal-bv", velmora_cmd_opt_do_text_cal_bv, 1, nullptr, nullptr},
    {"--text-gen-gin-lib", velmora_cmd_opt_do_text_gen_gin_lib, 1, nullptr, nullptr},
    {"--text-gen-gin-lib-set-sf", velmora_cmd_opt_do_text_gen_gin_lib_set_sf, 2, nullptr, nullptr},
};

#undef VELMORA_CMD_LINE_SF
#undef VELMORA_CMD_LINE_ATOM_NAME
#undef VELMORA_CMD_LINE_TYPE_OS_C
#undef VELMORA_CMD_LINE_RDS_CUTOFF
#undef VELMORA_CMD_LINE_NEB_STEPS
#undef VELMORA_CMD_LINE_NEB_RELAX
#undef VELMORA_CMD_LINE_NEB_REST
#undef VELMORA_CMD_LINE_CONDUCTING
#undef VELMORA_CMD_LINE_PERIODIC

bool velmora_cmd_file_readable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  std::fclose(file);
  return true;
}

// Directory of the running executable, from /proc/self/exe ("" if unknown).
std::string velmora_cmd_real_executable_dir() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  buffer[n] = '\0';
  std::string directory;
  velmora_cmd_opt_split_path(&directory, nullptr, buffer);
  return directory;
}

// Where a data file is: beside argv[0], else beside the real executable
// (started through PATH or a symbolic link), else in the installed data
// directory (share/velmora next to the installed bin/, then the configured
// one).  A file found nowhere keeps the argv[0] path and is reported.
std::string velmora_cmd_locate(const std::string& path_executable, const std::string& real_dir,
                               const char* name) {
  char first[1024];
  std::snprintf(first, sizeof first, "%.1023s", path_executable.c_str());
  std::string primary = std::string(first) + name;
  if (primary.size() > 1023) primary.resize(1023);
  const std::string candidates[4] = {
      primary, real_dir.empty() ? "" : real_dir + name,
      real_dir.empty() ? "" : real_dir + "../share/velmora/" + name,
      std::string(VELMORA_INSTALL_DATA_DIR) + name};
  for (const std::string& candidate : candidates)
    if (!candidate.empty() && velmora_cmd_file_readable(candidate)) return candidate;
  std::printf("Warning: unable to find %s\n", primary.c_str());
  return primary;
}

// Prints the not-yet-built message for a command whose feature is missing.
int velmora_cmd_unavailable(const VELMORA_CMD_OPT* opt) {
  std::fprintf(stderr, "Error: command %s is not available in this build yet.\n",
               opt->argc > 1 ? opt->argv[1] : "");
  return VELMORA_EXIT_FAILURE;
}

// The optional screening factor at argv[index]: `sf` keeps its value when
// the argument is absent; false (reported) when it is not a number.
bool velmora_cmd_read_sf(const VELMORA_CMD_OPT* opt, int index, double& sf) {
  return velmora_cmd_arg_sf(opt, index, "sf", sf);
}

// Writes `cell` as a CIF under the output name (argv[name_index], else the
// input name followed by `suffix`), with `symmetry` or, when null, P 1.
int velmora_cmd_export_cif(const VELMORA_CMD_OPT* opt, int name_index, const char* suffix,
                           VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry) {
  const std::string name = velmora_cmd_output_name(opt, name_index, suffix);
  if (velmora_cell_export_cif_to_file(name.c_str(), cell, symmetry,
                                      opt->dir_symcards.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_export_cif_to_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

// Force-field parameters of a read cell: `type`/`os` the conducting ion
// (none when `type` is null), `sf` the screening factor (not positive:
// computed).  Null, reported, on failure.
std::unique_ptr<VELMORA_PROPERTY> velmora_cmd_property(const VELMORA_CMD_OPT* opt,
                                                       VELMORA_CELL* cell, const char* type,
                                                       int os, double sf) {
  std::unique_ptr<VELMORA_PROPERTY> ppt = velmora_property_import_from_cell(
      cell, type, os, sf, opt->dir_unitary.c_str(), opt->dir_binary.c_str());
  if (!ppt) std::fprintf(stderr, "Error: velmora_property_import_from_cell() returns NULL.\n");
  return ppt;
}

// The structure of argv[2] and its force field without a conducting ion,
// with the screening factor argv[3] when given (else searched).  False,
// reported, on failure.
bool velmora_cmd_read_cif_and_property(const VELMORA_CMD_OPT* opt,
                                       std::unique_ptr<VELMORA_CMD_CIF>& cif,
                                       std::unique_ptr<VELMORA_PROPERTY>& ppt) {
  double sf = -1.0;
  if (!velmora_cmd_read_sf(opt, 3, sf)) return false;
  cif = velmora_cmd_read_cif(opt);
  if (!cif) return false;
  ppt = velmora_cmd_property(opt, cif->cell.get(), nullptr, 0, sf);
  return ppt != nullptr;
}

// Bond-valence sums and GII of a read cell, printed as --cal-bv does (only
// the sums, in the GUI layout, when `gui`).
int velmora_cmd_bv_and_gii(const VELMORA_CMD_OPT* opt, VELMORA_CELL* cell,
                           const VELMORA_SYMMETRY* symmetry, bool gui) {
  std::unique_ptr<VELMORA_BV> bv = velmora_bv_calculate_from_cell(
      cell, symmetry, opt->dir_unitary.c_str(), opt->dir_binary.c_str());
  if (!bv) {
    std::fprintf(stderr, "Error: velmora_bv_calculate_from_cell() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (gui) {
    velmora_bv_print_gui(bv.get());
    return VELMORA_EXIT_OK;
  }
  velmora_bv_print(bv.get());
  const double gii = velmora_gii_calculate_from_bv(bv.get());
  if (!std::isfinite(gii)) return VELMORA_EXIT_FAILURE;
  if (!opt->json_file.empty() &&
      velmora_json_write_bv(opt->json_file.c_str(), opt->argv[1],
                            opt->mode_text == opt->argv[2] ? "(text)" : opt->argv[2], cell,
                            bv.get(), gii) != 0)
    return VELMORA_EXIT_FAILURE;
  return VELMORA_EXIT_OK;
}

}  // namespace

// ------------------------------------------------------ argument helpers ----

std::unique_ptr<VELMORA_CMD_CIF> velmora_cmd_read_cif(const VELMORA_CMD_OPT* opt) {
  auto cif = std::make_unique<VELMORA_CMD_CIF>();
  if (velmora_cell_import_cif_from_file(cif->cell, cif->symmetry, opt->argv[2],
                                        opt->dir_symcards.c_str(), opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_file() returns non-zero.\n");
    return nullptr;
  }
  return cif;
}

namespace {

// True when only blanks follow the first `consumed` characters of `text`.
bool velmora_cmd_only_blanks_after(const char* text, int consumed) {
  while (text[consumed] == ' ' || text[consumed] == '\t') ++consumed;
  return text[consumed] == '\0';
}

}  // namespace

bool velmora_cmd_read_int(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long wide = std::strtol(text, &end, 10);
  if (end == text || errno != 0 || wide < INT_MIN || wide > INT_MAX ||
      !velmora_cmd_only_blanks_after(text, static_cast<int>(end - text)))
    return false;
  value = static_cast<int>(wide);
  return true;
}

bool velmora_cmd_read_species(const VELMORA_CMD_OPT* opt, int index, char type[3], int& os) {
  return velmora_cmd_arg_type(opt, index, "type", type) &&
         velmora_cmd_arg_os(opt, index + 1, "os", os);
}

bool velmora_cmd_read_real(const char* text, double& value) {
  int consumed = 0;
  if (std::sscanf(text, "%lf%n", &value, &consumed) != 1 || !std::isfinite(value)) return false;
  return velmora_cmd_only_blanks_after(text, consumed);
}

namespace {

// "at most 10", "at least 3", "from 3 to 100": the accepted range in words.
std::string velmora_cmd_range_text(double lo, double hi) {
  char text[96];
  if (lo <= -HUGE_VAL || lo <= static_cast<double>(LONG_MIN))
    std::snprintf(text, sizeof text, "at most %g", hi);
  else if (hi >= HUGE_VAL || hi >= static_cast<double>(LONG_MAX))
    std::snprintf(text, sizeof text, "at least %g", lo);
  else
    std::snprintf(text, sizeof text, "from %g to %g", lo, hi);
  return text;
}

bool velmora_cmd_out_of_range(const VELMORA_CMD_OPT* opt, int index, const char* name, double lo,
                              double hi) {
  std::fprintf(stderr, "Error: wrong parameter %s: %s is out of range (%s).\n", name,
               opt->argv[index], velmora_cmd_range_text(lo, hi).c_str());
  return false;
}

bool velmora_cmd_malformed(const char* name) {
  std::fprintf(stderr, "Error: wrong parameter %s.\n", name);
  return false;
}

}  // namespace

bool velmora_cmd_arg_real(const VELMORA_CMD_OPT* opt, int index, const char* name, double lo,
                          double hi, double& value) {
  if (opt->argc <= index) return true;
  double read = 0.0;
  if (!velmora_cmd_read_real(opt->argv[index], read)) {
    // A number too large for a double (1e999) is out of range, not text.
    char* end = nullptr;
    const double wide = std::strtod(opt->argv[index], &end);
    if (end != opt->argv[index] && std::isinf(wide) &&
        velmora_cmd_only_blanks_after(opt->argv[index], static_cast<int>(end - opt->argv[index])))
      return velmora_cmd_out_of_range(opt, index, name, lo, hi);
    return velmora_cmd_malformed(name);
  }
  if (read < lo || read > hi) return velmora_cmd_out_of_range(opt, index, name, lo, hi);
  value = read;
  return true;
}

bool velmora_cmd_arg_long(const VELMORA_CMD_OPT* opt, int index, const char* name, long lo, long hi,
                          long& value) {
  if (opt->argc <= index) return true;
  const char* text = opt->argv[index];
  char* end = nullptr;
  errno = 0;
  const long read = std::strtol(text, &end, 10);
  if (end == text || !velmora_cmd_only_blanks_after(text, static_cast<int>(end - text)))
    return velmora_cmd_malformed(name);
  if (errno == ERANGE || read < lo || read > hi)
    return velmora_cmd_out_of_range(opt, index, name, static_cast<double>(lo),
                                    static_cast<double>(hi));
  value = read;
  return true;
}

bool velmora_cmd_arg_int(const VELMORA_CMD_OPT* opt, int index, const char* name, int lo, int hi,
                         int& value) {
  // INT_MIN and INT_MAX stand for an open side, as LONG_MIN and LONG_MAX.
  long wide = value;
  const long low = lo == INT_MIN ? LONG_MIN : lo, high = hi == INT_MAX ? LONG_MAX : hi;
  if (!velmora_cmd_arg_long(opt, index, name, low, high, wide)) return false;
  if (wide < INT_MIN || wide > INT_MAX) return velmora_cmd_out_of_range(opt, index, name, lo, hi);
  value = static_cast<int>(wide);
  return true;
}

bool velmora_cmd_arg_type(const VELMORA_CMD_OPT* opt, int index, const char* name, char type[3]) {
  velmora_cmd_opt_get_type(type, opt->argc > index ? opt->argv[index] : "");
  return type[0] ? true : velmora_cmd_malformed(name);
}

bool velmora_cmd_arg_os(const VELMORA_CMD_OPT* opt, int index, const char* name, int& os) {
  if (opt->argc <= index) return velmora_cmd_malformed(name);
  int read = 0;
  if (!velmora_cmd_arg_int(opt, index, name, -VELMORA_CMD_MAX_OS, VELMORA_CMD_MAX_OS, read))
    return false;
  if (read == 0) {
    std::fprintf(stderr,
                 "Error: wrong parameter %s: an ion of oxidation state 0 carries no "
                 "bond valence.\n",
                 name);
    return false;
  }
  os = read;
  return true;
}

bool velmora_cmd_arg_sf(const VELMORA_CMD_OPT* opt, int index, const char* name, double& sf) {
  return velmora_cmd_arg_real(opt, index, name, -HUGE_VAL, VELMORA_CMD_MAX_SF, sf);
}

bool velmora_cmd_read_flag(const VELMORA_CMD_OPT* opt, int index) {
  return !(opt->argc > index && (opt->argv[index][0] == 'f' || opt->argv[index][0] == 'F'));
}

std::string velmora_cmd_output_name(const VELMORA_CMD_OPT* opt, int index, const char* suffix) {
  char name[1024];
  if (opt->argc > index)
    std::snprintf(name, sizeof name, "%.1000s", opt->argv[index]);
  else
    std::snprintf(name, sizeof name, "%s%s", opt->argv[2], suffix);
  return name;
}

// ------------------------------------------------------------ context ----

void velmora_cmd_opt_split_path(std::string* directory, std::string* file, const char* path) {
  const std::string p = path ? path : "";
  const std::size_t slash = p.rfind('/');
  if (directory) *directory = slash == std::string::npos ? "./" : p.substr(0, slash + 1);
  if (file) *file = slash == std::string::npos ? p : p.substr(slash + 1);
}

void velmora_cmd_opt_get_type(char destination[3], const char* source) {
  destination[0] = destination[1] = destination[2] = '\0';
  if (!source) return;
  for (int k = 0; k < 2 && std::isalpha(static_cast<unsigned char>(source[k])); ++k)
    destination[k] =
        static_cast<char>(k == 0 ? std::toupper(static_cast<unsigned char>(source[k]))
                                 : std::tolower(static_cast<unsigned char>(source[k])));
}

std::unique_ptr<VELMORA_CMD_OPT> velmora_cmd_opt_init(int argc, char** argv) {
  const char* argv0 = argc > 0 && argv && argv[0] ? argv[0] : "";
  if (std::strlen(argv0) > 999) {
    std::fprintf(stderr, "Error: executable path too long.\n");
    return nullptr;
  }
  auto opt = std::make_unique<VELMORA_CMD_OPT>();
  opt->argc = argc;
  opt->argv = argv;
  velmora_cmd_opt_split_path(&opt->path_executable, nullptr, argv0);
  const std::string real_dir = velmora_cmd_real_executable_dir();
  opt->dir_unitary = velmora_cmd_locate(opt->path_executable, real_dir, "database_unitary.dat");
  opt->dir_binary = velmora_cmd_locate(opt->path_executable, real_dir, "database_binary.dat");
  opt->dir_symcards = velmora_cmd_locate(opt->path_executable, real_dir, "database_symcards.dat");
  opt->mode_text = "-:text";
  opt->mode_newline = "-:nl";
  return opt;
}

void velmora_cmd_opt_print(const VELMORA_CMD_OPT* opt) {
  if (!opt) {
    std::printf("CMD_OPT: (not allocated)\n");
    return;
  }
  std::printf("CMD_OPT: dir_unitary=     %s\n", opt->dir_unitary.c_str());
  std::printf("CMD_OPT: dir_binary=      %s\n", opt->dir_binary.c_str());
  std::printf("CMD_OPT: dir_symcards=    %s\n", opt->dir_symcards.c_str());
  std::printf("CMD_OPT: path_executable= %s\n", opt->path_executable.c_str());
  std::printf("CMD_OPT: mode_text=   \"%s\"\n", opt->mode_text.c_str());
  std::printf("CMD_OPT: mode_newline=\"%s\"\n", opt->mode_newline.c_str());
}

std::unique_ptr<VELMORA_TEXT> velmora_cmd_opt_cat_tail(const VELMORA_CMD_OPT* opt) {
  int start = -1;
  for (int i = 0; opt && i < opt->argc - 1; ++i)
    if (opt->argv[i] && opt->mode_text == opt->argv[i]) start = i + 1;
  if (start < 0) {
    std::fprintf(stderr, "Error: text-mode key phrase not found.\n");
    return nullptr;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_text_new(nullptr);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_text_new() returns NULL.\n");
    return nullptr;
  }
  for (int i = start; i < opt->argc; ++i) {
    const bool newline = opt->mode_newline == opt->argv[i];
    const int failed = newline ? velmora_text_append(text.get(), "\n")
                               : velmora_text_append(text.get(), " ") ||
                                     velmora_text_append(text.get(), opt->argv[i]);
    if (failed) {
      std::fprintf(stderr, "Error: velmora_text_append() returns non-zero.\n");
      return nullptr;
    }
  }
  return text;
}

// ----------------------------------------------------------- dispatch ----

const VELMORA_CMD* velmora_cmd_table(std::size_t* count) {
  if (count) *count = sizeof kCommands / sizeof kCommands[0];
  return kCommands;
}

namespace {

// Edits (insertions, deletions, substitutions, swaps of neighbours) that
// turn `a` into `b`, letters compared without case.
std::size_t velmora_cmd_edit_distance(const std::string& a, const std::string& b) {
  const std::size_t n = a.size(), m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
  auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  };
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i)
    for (std::size_t j = 1; j <= m; ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[n][m];
}

}  // namespace

const VELMORA_CMD* velmora_cmd_nearest(const char* name) {
  if (!name || !*name || std::strlen(name) > 64) return nullptr;
  // Within a third of the name's length (at least 2 edits): close enough to
  // be a slip of the keyboard, not another word.
  const std::string given = name;
  const VELMORA_CMD* best = nullptr;
  std::size_t best_distance = std::max<std::size_t>(2, given.size() / 3) + 1;
  for (const VELMORA_CMD& command : kCommands) {
    if (!command.name || !command.handler || std::strlen(command.name) < 3) continue;
    const std::size_t distance = velmora_cmd_edit_distance(given, command.name);
    if (distance < best_distance) {
      best = &command;
      best_distance = distance;
    }
  }
  return best;
}

const VELMORA_CMD* velmora_cmd_find(const char* name) {
  if (!name) return nullptr;
  for (const VELMORA_CMD& command : kCommands)
    if (command.name && std::strcmp(name, command.name) == 0) return &command;
  return nullptr;
}

namespace {

// ------------------------------------------------------ error watch ----

// Standard output and error pass through a watch that counts the lines
// beginning "Error: ": a command that printed one has failed, whatever its
// handler returned, so that an error line always comes with status 1 and
// no result files.  The watch forwards every byte at once to the same file
// descriptor (the streams keep their usual buffering).
struct ErrorWatch {
  int fd;
  long errors = 0;
  int matched = 0;  // characters of "Error: " matched at the line start; -1: none
};
constexpr char kErrorPrefix[] = "Error: ";
ErrorWatch g_watch_out{1}, g_watch_err{2};

ssize_t velmora_cmd_watch_write(void* cookie, const char* data, std::size_t size) {
  ErrorWatch& w = *static_cast<ErrorWatch*>(cookie);
  for (std::size_t k = 0; k < size; ++k) {
    if (data[k] == '\n') {
      w.matched = 0;
    } else if (w.matched >= 0) {
      w.matched = data[k] == kErrorPrefix[w.matched] ? w.matched + 1 : -1;
      if (w.matched == static_cast<int>(sizeof kErrorPrefix) - 1) {
        ++w.errors;
        w.matched = -1;
      }
    }
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(w.fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(size);
}

// Puts the watch on stdout and stderr for the life of the record (stdout
// line-buffered on a terminal, fully buffered otherwise, stderr unbuffered,
// as before), and puts the streams back when it ends.
struct VELMORA_CMD_WATCH {
  std::FILE* out = nullptr;
  std::FILE* err = nullptr;
  std::FILE* old_out = nullptr;
  std::FILE* old_err = nullptr;
  VELMORA_CMD_WATCH() {
    const cookie_io_functions_t io = {nullptr, velmora_cmd_watch_write, nullptr, nullptr};
    g_watch_out = ErrorWatch{1};
    g_watch_err = ErrorWatch{2};
    std::fflush(stdout);
    std::fflush(stderr);
    out = fopencookie(&g_watch_out, "w", io);
    err = fopencookie(&g_watch_err, "w", io);
    if (!out || !err) return;  // unwatched: the handlers' statuses alone count
    setvbuf(out, nullptr, isatty(1) ? _IOLBF : _IOFBF, BUFSIZ);
    setvbuf(err, nullptr, _IONBF, 0);
    old_out = stdout;
    old_err = stderr;
    stdout = out;
    stderr = err;
  }
  ~VELMORA_CMD_WATCH() {
    std::fflush(stdout);
    if (old_out) {
      stdout = old_out;
      stderr = old_err;
    }
    if (out) std::fclose(out);
    if (err) std::fclose(err);
  }
  long errors() {
    std::fflush(stdout);
    return g_watch_out.errors + g_watch_err.errors;
  }
  VELMORA_CMD_WATCH(const VELMORA_CMD_WATCH&) = delete;
  VELMORA_CMD_WATCH& operator=(const VELMORA_CMD_WATCH&) = delete;
};

// Runs the command of one row: "not available" for a feature not built yet,
// the usage (or "not enough arguments") when arguments are missing, else
// the handler.
int velmora_cmd_run(const VELMORA_CMD& command, VELMORA_CMD_OPT* opt, VELMORA_CMD_WATCH* watch) {
  if (!command.handler) return velmora_cmd_unavailable(opt);
  const int given = opt->argc > 2 ? opt->argc - 2 : 0;
  if (given < command.min_args) {
    if (command.usage)
      std::fputs(command.usage, stdout);
    else
      std::fprintf(stderr, "Error: not enough arguments.\n");
    return VELMORA_EXIT_USAGE;
  }
  // Messages about missing force-field data name the command.
  velmora_property_set_command(command.name);
  // The files of the command form one set: renamed together when it
  // succeeds, removed (the earlier run's left in place) when it fails.
  // Exhausted memory ends the command with one line, wherever it happens:
  // the stages that allocate large blocks name them; result files being
  // written are removed as the exception unwinds.
  try {
    VELMORA_OUTPUT_SET outputs;
    const long errors_before = watch ? watch->errors() : 0;
    const int status = command.handler(opt);
    if (status != VELMORA_EXIT_OK) return status;
    if (watch && watch->errors() > errors_before) {
      std::fprintf(stderr,
                   "Error: %s reported an error; it ends with status 1 and writes no "
                   "file.\n",
                   command.name);
      return VELMORA_EXIT_FAILURE;
    }
    return outputs.commit() == 0 ? VELMORA_EXIT_OK : VELMORA_EXIT_FAILURE;
  } catch (const VELMORA_NO_MEMORY& e) {
    std::fprintf(stderr, "Error: not enough memory for %s.\n", e.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "Error: not enough memory to run %s.\n", command.name);
  } catch (const std::length_error&) {
    std::fprintf(stderr, "Error: not enough memory to run %s.\n", command.name);
  }
  return VELMORA_EXIT_FAILURE;
}

}  // namespace

int velmora_cmd_start(int argc, char** argv) {
  VELMORA_CMD_WATCH watch;
  std::unique_ptr<VELMORA_CMD_OPT> opt;
  try {
    opt = velmora_cmd_opt_init(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "Error: not enough memory to start velmora.x.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (!opt) {
    std::fprintf(stderr, "Error: velmora_cmd_opt_init() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  // "--seed S" after the command seeds every random step (the resolution
  // of partial occupancies, kMC, MD); it is taken out before the
  // command reads its positional arguments.  Without it the seed comes
  // from the clock.  Either way the first random draw prints the seed.
  std::vector<char*> args(argv, argv + argc);
  unsigned seed = static_cast<unsigned>(std::time(nullptr));
  for (int i = 2; i < static_cast<int>(args.size()); ++i) {
    if (std::strcmp(args[static_cast<std::size_t>(i)], "--seed") != 0) continue;
    char* end = nullptr;
    const char* text = i + 1 < static_cast<int>(args.size()) ? args[i + 1] : "";
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (!*text || *end || text[0] == '-' || errno != 0 || value > 4294967295ULL) {
      std::fprintf(stderr, "Error: --seed needs a whole number from 0 to 4294967295.\n");
      return VELMORA_EXIT_USAGE;
    }
    seed = static_cast<unsigned>(value);
    args.erase(args.begin() + i, args.begin() + i + 2);
    opt->argc = static_cast<int>(args.size());
    opt->argv = args.data();
    --i;
  }
  velmora_random_seed(seed);
  // "--json FILE" likewise: the machine-readable summary of the commands
  // that offer one.
  if (velmora_json_take_option(args, &opt->json_file) != 0) return VELMORA_EXIT_USAGE;
  opt->argc = static_cast<int>(args.size());
  opt->argv = args.data();
  argc = opt->argc;
  argv = opt->argv;
  // Without a command the program prints its version.
  const VELMORA_CMD* command = velmora_cmd_find(argc > 1 ? argv[1] : "--version");
  int status;
  if (command && !opt->json_file.empty() && !velmora_json_offered(command->name)) {
    std::fprintf(stderr, "Error: %s writes no JSON summary (--json is offered by --cal-bv, "
                 "--text-cal-bv and --gen-cube).\n", command->name);
    status = VELMORA_EXIT_USAGE;
  } else if (command && !opt->json_file.empty() &&
             velmora_file_check_output(opt->json_file.c_str()) != 0) {
    status = VELMORA_EXIT_FAILURE;  // refused before anything is computed
  } else if (command) {
    status = velmora_cmd_run(*command, opt.get(), &watch);
  } else {
    std::printf("Error: arguments not recognized. '-h' for help.\n");
    const VELMORA_CMD* near = velmora_cmd_nearest(argv[1]);
    if (near)
      std::fprintf(stderr, "Error: unknown command %s; did you mean %s?\n", argv[1], near->name);
    status = VELMORA_EXIT_USAGE;
  }
  std::fflush(stdout);
  return status;
}

// ------------------------------------------------ structure commands ----

int velmora_cmd_opt_do_print_cell(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  velmora_cell_print(cif->cell.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_sym(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  velmora_symmetry_print(cif->symmetry.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_cal_sym(VELMORA_CMD_OPT* opt) {
  // Atoms closer than the tolerance (A) count as one site; beyond 1 A
  // distinct sites would merge.
  double tolerance = -1.0;
  if (!velmora_cmd_arg_real(opt, 3, "accuracy", -HUGE_VAL, 1.0, tolerance))
    return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  if (!velmora_symmetry_calculate_from_cell(cif->cell.get(), tolerance,
                                            opt->dir_symcards.c_str())) {
    std::fprintf(stderr, "Error: velmora_symmetry_calculate_from_cell() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

// ---------------------------------- force-field and bond-valence commands ----

int velmora_cmd_opt_do_print_ppt(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  if (!velmora_cmd_read_cif_and_property(opt, cif, ppt)) return VELMORA_EXIT_FAILURE;
  velmora_property_print_format(ppt.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_ppt_full(VELMORA_CMD_OPT* opt) {
  double sf = -1.0;
  char type[3] = {};
  int os = 0;
  const bool conducting = opt->argc >= 6;
  if (conducting) {
    if (!velmora_cmd_read_int(opt->argv[5], os)) {
      std::fprintf(stderr, "Error: wrong oxidation state.\n");
      return VELMORA_EXIT_FAILURE;
    }
    if (!velmora_cmd_arg_type(opt, 4, "conducting ion type", type) ||
        !velmora_cmd_arg_os(opt, 5, "conducting ion os", os))
      return VELMORA_EXIT_FAILURE;
  } else if (!velmora_cmd_read_sf(opt, 3, sf)) {
    return VELMORA_EXIT_FAILURE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_cmd_property(opt, cif->cell.get(), conducting ? type : nullptr, os, sf);
  if (!ppt) return VELMORA_EXIT_FAILURE;
  velmora_property_print(ppt.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_cal_charge(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  double charge = 0.0;
  for (const VELMORA_ATOM& atom : cif->cell->atom) charge += atom.os * atom.occ;
  std::printf("Total charge per unit cell: %.3f\n", charge);
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_cal_tot_en(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif;
  std::unique_ptr<VELMORA_PROPERTY> ppt;
  if (!velmora_cmd_read_cif_and_property(opt, cif, ppt)) return VELMORA_EXIT_FAILURE;
  if (velmora_property_check_counter_ions(cif->cell.get()) != 0) return VELMORA_EXIT_FAILURE;
  bool ok = false;
  const double energy = velmora_cell_total_energy(cif->cell.get(), ppt.get(), &ok);
  if (!ok) return VELMORA_EXIT_FAILURE;
  std::printf("Message: total energy = %lf eV\n", energy);
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_gen_cif(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cmd_export_cif(opt, 3, ".cif", cif->cell.get(), cif->symmetry.get());
}

int velmora_cmd_opt_do_gen_cif_reduced(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  if (!velmora_cell_reduce_by_symmetry(cif->cell.get(), cif->symmetry.get())) {
    std::fprintf(stderr, "Error: velmora_cell_reduce_by_symmetry() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  // The symmetry-distinct atoms alone would describe another crystal if
  // labelled P 1; they are written with the operations that generate the
  // rest (the writer reduces the cell itself), so the file reads back to
  // the same structure.
  return velmora_cmd_export_cif(opt, 3, ".reduced.cif", cif->cell.get(), cif->symmetry.get());
}

int velmora_cmd_opt_do_gen_cif_p1(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_SYMMETRY> p1 = velmora_symmetry_new_p1();
  if (!p1) {
    std::fprintf(stderr, "Error: velmora_symmetry_new_p1() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return velmora_cmd_export_cif(opt, 3, ".p1.cif", cif->cell.get(), p1.get());
}

int velmora_cmd_opt_do_gen_cif_assign(VELMORA_CMD_OPT* opt) {
  // A species of any charge, 0 included (metals on shared sites).
  char type[3] = {};
  int os = 0;
  if (!velmora_cmd_arg_type(opt, 3, "type", type) ||
      !velmora_cmd_arg_int(opt, 4, "os", -VELMORA_CMD_MAX_OS, VELMORA_CMD_MAX_OS, os))
    return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CELL> assigned =
      velmora_cell_assign_partial_occ_at_conducting_site(cif->cell.get(), type, os);
  if (!assigned) {
    std::fprintf(stderr,
                 "Error: velmora_cell_assign_partial_occ_at_conducting_site() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  // Sites of the species alone that are partly occupied are resolved too,
  // so that every atom of the species is written with occupancy 1, as the
  // help says.
  assigned = velmora_cell_assign_partial_occ(assigned.get(), type, os);
  if (!assigned) {
    std::fprintf(stderr, "Error: velmora_cell_assign_partial_occ() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return velmora_cmd_export_cif(opt, 5, ".assign.cif", assigned.get(), nullptr);
}

int velmora_cmd_opt_do_gen_cif_assign_all(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CELL> assigned = velmora_cell_assign_partial_occ_all(cif->cell.get());
  if (!assigned) {
    std::fprintf(stderr, "Error: velmora_cell_assign_partial_occ_all() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return velmora_cmd_export_cif(opt, 3, ".assign.cif", assigned.get(), nullptr);
}

int velmora_cmd_opt_do_cal_bv(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cmd_bv_and_gii(opt, cif->cell.get(), cif->symmetry.get(), false);
}

int velmora_cmd_opt_do_cal_bv_gui(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cmd_bv_and_gii(opt, cif->cell.get(), cif->symmetry.get(), true);
}

int velmora_cmd_opt_do_cal_bv_type(VELMORA_CMD_OPT* opt) {
  char type1[3] = {}, type2[3] = {};
  int os1 = 0, os2 = 0;
  if (!velmora_cmd_arg_type(opt, 3, "type1", type1) || !velmora_cmd_arg_os(opt, 4, "os1", os1) ||
      !velmora_cmd_arg_type(opt, 5, "type2", type2) || !velmora_cmd_arg_os(opt, 6, "os2", os2))
    return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_BV> bv = velmora_bv_calculate_from_cell_with_type(
      cif->cell.get(), cif->symmetry.get(), type1, os1, type2, os2, opt->dir_unitary.c_str(),
      opt->dir_binary.c_str());
  if (!bv) {
    std::fprintf(stderr, "Error: velmora_bv_calculate_from_cell_with_type() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  velmora_bv_print(bv.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_cal_gii(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  const double gii = velmora_gii_calculate_from_cell(
      cif->cell.get(), cif->symmetry.get(), opt->dir_unitary.c_str(), opt->dir_binary.c_str());
  if (gii < 0.0) {
    std::fprintf(stderr, "Error: velmora_gii_calculate_from_cell() returns negative value.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return std::isfinite(gii) ? VELMORA_EXIT_OK : VELMORA_EXIT_FAILURE;
}

std::unique_ptr<VELMORA_CMD_CIF> velmora_cmd_read_cif_text(const VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_TEXT> text = velmora_cmd_opt_cat_tail(opt);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_cmd_opt_cat_tail() returns NULL.\n");
    return nullptr;
  }
  auto cif = std::make_unique<VELMORA_CMD_CIF>();
  if (velmora_cell_import_cif_from_text(cif->cell, cif->symmetry, text.get(),
                                        opt->dir_symcards.c_str(),
                                        opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_text() returns non-zero.\n");
    return nullptr;
  }
  return cif;
}

int velmora_cmd_opt_do_text_cal_bv(VELMORA_CMD_OPT* opt) {
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif_text(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cmd_bv_and_gii(opt, cif->cell.get(), cif->symmetry.get(), false);
}

// ------------------------------------------------------ landscape cubes ----

int velmora_cmd_opt_do_gen_cube(VELMORA_CMD_OPT* opt) {
  char type[3] = {};
  int os = 0;
  if (!velmora_cmd_arg_type(opt, 3, "conducting type", type) ||
      !velmora_cmd_arg_os(opt, 4, "conducting os", os))
    return VELMORA_EXIT_FAILURE;
  double sf = -0.1;
  if (!velmora_cmd_arg_sf(opt, 5, "screening factor", sf)) return VELMORA_EXIT_FAILURE;
  // A step wider than any cell edge describes no landscape; a fine one is
  // coarsened to the voxel limit, with a warning.
  double resolution = 0.1;
  if (!velmora_cmd_arg_real(opt, 6, "resolution", -HUGE_VAL, 10.0, resolution))
    return VELMORA_EXIT_FAILURE;
  if (resolution <= 0.0) resolution = 0.1;
  const bool ignore_conducting = velmora_cmd_read_flag(opt, 7);
  const bool periodic = velmora_cmd_read_flag(opt, 8);
  const std::string cube_name = velmora_cmd_output_name(opt, 9, ".cube");
  // The assigned structure: the input name without its last four
  // characters (the extension), followed by "_assigned.cif", in the
  // directory of the cube it belongs to.
  char base[1024];
  std::snprintf(base, sizeof base, "%.1000s", opt->argv[2]);
  const std::size_t length = std::strlen(base);
  if (length > 3) base[length - 4] = '\0';
  std::string stem = base;
  if (const std::size_t slash = stem.rfind('/'); slash != std::string::npos)
    stem.erase(0, slash + 1);
  const std::size_t cube_slash = cube_name.rfind('/');
  const std::string cif_name =
      (cube_slash == std::string::npos ? std::string() : cube_name.substr(0, cube_slash + 1)) +
      stem + "_assigned.cif";

  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  // The structure as read, for the JSON summary (the computation may
  // reorder and flag its atoms).
  const VELMORA_CELL as_read = *cif->cell;
  VELMORA_CUBE_SUMMARY made;
  if (velmora_cube_calculate_from_cell_and_write_to_file_assign_partial_occ(
          cube_name.c_str(), cif_name.c_str(), cif->cell.get(), cif->symmetry.get(), type, os, sf,
          resolution, ignore_conducting, periodic, opt->dir_unitary.c_str(),
          opt->dir_binary.c_str(), &made) != 0) {
    std::fprintf(stderr,
                 "Error: velmora_cube_calculate_from_cell_and_write_to_file_assign_partial_occ() "
                 "returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (!opt->json_file.empty()) {
    VELMORA_JSON_CUBE_RUN run;
    run.input = opt->argv[2];
    run.cube = cube_name.c_str();
    run.assigned_cif = cif_name.c_str();
    run.type = type;
    run.os = os;
    run.resolution = resolution;
    run.sf_given = sf;
    run.cell = &as_read;
    if (velmora_json_write_cube(opt->json_file.c_str(), run, made) != 0)
      return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_cube(VELMORA_CMD_OPT* opt) {
  const bool periodic = velmora_cmd_read_flag(opt, 3);
  std::unique_ptr<VELMORA_CUBE> cube;
  std::unique_ptr<VELMORA_CELL> cell;
  if (velmora_cube_import_from_file(cube, &cell, opt->argv[2], periodic,
                                    opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cube_import_from_file() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  velmora_cell_print(cell.get());
  velmora_cube_print_info(cube.get());
  return VELMORA_EXIT_OK;
}

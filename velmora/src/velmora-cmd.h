// Command frame of velmora.x: the command context (arguments, data-file
// paths, text-mode tokens), the command table (one row per command: name,
// handler, minimum argument count, usage and help text), version/help/system
// print-outs, the text-mode rebuilding of a CIF from the command line, the
// argument helpers of the handlers, and one handler per command.
#ifndef VELMORA_CMD_H_
#define VELMORA_CMD_H_

#include <cstddef>
#include <memory>
#include <string>

#include "velmora-alloc.h"

struct VELMORA_CMD_OPT {
  int argc = 0;
  char** argv = nullptr;        // not owned
  std::string dir_unitary;      // full path of database_unitary.dat
  std::string dir_binary;       // full path of database_binary.dat
  std::string dir_symcards;     // full path of database_symcards.dat
  std::string path_executable;  // directory part of argv[0], with its "/" (or "./")
  std::string mode_text;        // "-:text"
  std::string mode_newline;     // "-:nl"
  std::string json_file;        // "--json FILE" after the arguments: the JSON summary
};

// Exit statuses of velmora.x.
constexpr int VELMORA_EXIT_OK = 0;
constexpr int VELMORA_EXIT_FAILURE = 1;
constexpr int VELMORA_EXIT_USAGE = 2;

// A command handler: parses the arguments after the command name (at least
// the row's min_args of them are present), computes, prints and writes, and
// returns the exit status.
using VELMORA_CMD_HANDLER = int (*)(VELMORA_CMD_OPT* opt);

// One row of the command table.  The dispatcher matches `name` exactly,
// prints the usage itself when fewer than `min_args` arguments follow the
// name (exit status 2), and only then calls the handler.
struct VELMORA_CMD {
  const char* name;             // "--gen-cif"; null: a separator of the help text
  VELMORA_CMD_HANDLER handler;  // null: the feature is not built yet (status 1)
  int min_args;                 // arguments the command needs after its name
  const char* usage;            // the usage lines; null: "Error: not enough arguments."
  const char* help;             // the help description; null: not listed
};

// The row of a command name, null for an unknown name.
const VELMORA_CMD* velmora_cmd_find(const char* name);
// The command an unknown name was probably meant to be (a few letters
// mistyped, swapped or in other case: --gen-cub, --GEN-CIF), null when
// none is close.
const VELMORA_CMD* velmora_cmd_nearest(const char* name);
// Every row, in the order of the help text; `count` receives their number.
const VELMORA_CMD* velmora_cmd_table(std::size_t* count);

// What a command without usage lines takes and does, for the reference of
// the manual (velmora-cmd-help.cpp); null for a command that has usage lines.
struct VELMORA_CMD_NOTE {
  const char* name;
  const char* arguments;  // as a usage line shows them: "[input.cif]"
  const char* text;       // one sentence, lower case first, as the help text
};
const VELMORA_CMD_NOTE* velmora_cmd_note(const char* name);

// The whole program: builds the context, dispatches one command, returns
// the exit status.
int velmora_cmd_start(int argc, char** argv);
std::unique_ptr<VELMORA_CMD_OPT> velmora_cmd_opt_init(int argc, char** argv);
// Directory (with trailing "/", or "./") and file name of a path; either
// output may be omitted.
void velmora_cmd_opt_split_path(std::string* directory, std::string* file, const char* path);
// The element type of an argument: its first one or two letters, the first
// in capitals and the second in lower case (Li, li, LI, Li+, Lithium give
// Li; O2- gives O); empty when it does not start with a letter.
void velmora_cmd_opt_get_type(char destination[3], const char* source);
void velmora_cmd_opt_print(const VELMORA_CMD_OPT* opt);
// The CIF text given after "-:text" on the command line, "-:nl" breaking lines.
std::unique_ptr<VELMORA_TEXT> velmora_cmd_opt_cat_tail(const VELMORA_CMD_OPT* opt);

// ------------------------------------- argument helpers of handlers ----

// The structure of a CIF: the cell and the space group read with it.
struct VELMORA_CMD_CIF {
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
};
// Reads argv[2] as a CIF with the context's data files (null, reported,
// on failure).
std::unique_ptr<VELMORA_CMD_CIF> velmora_cmd_read_cif(const VELMORA_CMD_OPT* opt);
// Reads the CIF text given after "-:text" on the command line (null,
// reported, on failure).
std::unique_ptr<VELMORA_CMD_CIF> velmora_cmd_read_cif_text(const VELMORA_CMD_OPT* opt);
// An integer argument (oxidation state): the whole text must be one number
// within the range of int.
bool velmora_cmd_read_int(const char* text, int& value);
// The conducting species given as element argv[index] and oxidation state
// argv[index + 1]; false, with the error line, when either is malformed
// (velmora_cmd_arg_type, velmora_cmd_arg_os).
bool velmora_cmd_read_species(const VELMORA_CMD_OPT* opt, int index, char type[3], int& os);
// A real argument: one finite number and nothing else.
bool velmora_cmd_read_real(const char* text, double& value);

// Range-checked arguments.  Each reads argv[index] when it is given (and
// keeps `value` otherwise), and returns false after one error line naming
// the parameter: "Error: wrong parameter NAME." for a text that is not a
// number of the kind asked for, "Error: wrong parameter NAME: TEXT is out
// of range (at most HI)." for one outside [lo, hi].  Use -HUGE_VAL / HUGE_VAL
// (LONG_MIN / LONG_MAX) for a side without a bound; a command whose
// non-positive values select a default keeps lo open.
bool velmora_cmd_arg_real(const VELMORA_CMD_OPT* opt, int index, const char* name, double lo,
                          double hi, double& value);
bool velmora_cmd_arg_long(const VELMORA_CMD_OPT* opt, int index, const char* name, long lo, long hi,
                          long& value);
bool velmora_cmd_arg_int(const VELMORA_CMD_OPT* opt, int index, const char* name, int lo, int hi,
                         int& value);
// An element type (velmora_cmd_opt_get_type) at argv[index], which must be
// given; false after "Error: wrong parameter NAME." when it has no letter.
bool velmora_cmd_arg_type(const VELMORA_CMD_OPT* opt, int index, const char* name, char type[3]);
// An ion's oxidation state at argv[index], which must be given: a whole
// number from -VELMORA_CMD_MAX_OS to VELMORA_CMD_MAX_OS other than 0 (an
// ion without charge has no bond valence).
bool velmora_cmd_arg_os(const VELMORA_CMD_OPT* opt, int index, const char* name, int& os);
// A screening factor at argv[index] (non-positive: searched): at most
// VELMORA_CMD_MAX_SF.
bool velmora_cmd_arg_sf(const VELMORA_CMD_OPT* opt, int index, const char* name, double& sf);

// Bounds shared by several commands.  Oxidation states reach +8 (OsO4)
// and -4 (carbides); the screening factor that makes a cell stress-free
// lies between 0.55 and 1, and beyond 10 the like-ion repulsion is no
// longer screened at any bond length; no run is meant above 1e5 K, nor for
// more than 1e12 steps or ps; energies of a landscape stay within 1e6 eV.
constexpr int VELMORA_CMD_MAX_OS = 8;
constexpr double VELMORA_CMD_MAX_SF = 10.0;
constexpr double VELMORA_CMD_MAX_TEMPERATURE = 1e5;
constexpr double VELMORA_CMD_MAX_STEPS = 1e12;
constexpr double VELMORA_CMD_MAX_ENERGY = 1e6;
// An optional t/f flag at argv[index]: true unless given and starting with
// f or F.
bool velmora_cmd_read_flag(const VELMORA_CMD_OPT* opt, int index);
// The output name: argv[index] when given (at most 1000 characters), else
// the whole input name argv[2] followed by `suffix`.
std::string velmora_cmd_output_name(const VELMORA_CMD_OPT* opt, int index, const char* suffix);

// ------------------------------------------------------------ handlers ----

int velmora_cmd_opt_do_print_version(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_print_help(VELMORA_CMD_OPT* opt);
// Every command's usage; with the argument --markdown the command reference
// of the manual (docs/reference/velmora.md).
int velmora_cmd_opt_do_print_help_all(VELMORA_CMD_OPT* opt);

// One handler per command (name: the command without leading dashes, dashes
// turned into underscores).  A handler may live in its area's source file
// (velmora-fft.cpp, velmora-gh.cpp, ...): it is declared here and named in
// its row of the table in velmora-cmd.cpp.  Commands whose features are not
// built yet have a null handler in the table; their names are declared
// below so that a new area file only defines the function.
int velmora_cmd_opt_do_print_cell(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_print_ppt(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_print_ppt_full(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_print_sym(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_print_cube(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_cif(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_cif_reduced(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_cif_p1(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_cif_assign(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_cif_assign_all(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_gin_lib(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_gin(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_lammps(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gen_cube(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_charge(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_bv(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_bv_gui(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_bv_type(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_gii(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_cn(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_cn_atom(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_cn_type(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_cn_bv(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_sym(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_cal_tot_en(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_rx_sd(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_rx_neb(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_rx_neb_images(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_fft(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_fft_cubes(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_fp_map(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_gh(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_kmc(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_sites(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_md(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_text_cal_bv(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_text_gen_gin_lib(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_text_gen_gin_lib_set_sf(VELMORA_CMD_OPT* opt);

#endif  // VELMORA_CMD_H_

// Command frame of velmora.x: the command context (arguments, data-file
// paths, text-mode tokens), version/help/system print-outs, the text-mode
// rebuilding of a CIF from the command line, and one handler per command.
// Handlers return the exit status: 0 success, 1 failure, 2 usage shown.
#ifndef VELMORA_CMD_H_
#define VELMORA_CMD_H_

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
};

// Exit statuses of velmora.x.
constexpr int VELMORA_EXIT_OK = 0;
constexpr int VELMORA_EXIT_FAILURE = 1;
constexpr int VELMORA_EXIT_USAGE = 2;

// The whole program: builds the context, dispatches one command, returns
// the exit status.
int velmora_cmd_start(int argc, char** argv);
std::unique_ptr<VELMORA_CMD_OPT> velmora_cmd_opt_init(int argc, char** argv);
// Directory (with trailing "/", or "./") and file name of a path; either
// output may be omitted.
void velmora_cmd_opt_split_path(std::string* directory, std::string* file, const char* path);
// At most the first 2 characters of `source` (Li, Li+ and Lithium give Li).
void velmora_cmd_opt_get_type(char destination[3], const char* source);
void velmora_cmd_opt_print(const VELMORA_CMD_OPT* opt);
// The CIF text given after "-:text" on the command line, "-:nl" breaking lines.
std::unique_ptr<VELMORA_TEXT> velmora_cmd_opt_cat_tail(const VELMORA_CMD_OPT* opt);

int velmora_cmd_opt_do_print_version(VELMORA_CMD_OPT* opt);
int velmora_cmd_opt_do_print_help(VELMORA_CMD_OPT* opt);

// One handler per command (name: the command without leading dashes, dashes
// turned into underscores).
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

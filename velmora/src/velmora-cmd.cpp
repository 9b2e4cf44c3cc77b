// Command frame of velmora.x: builds the command context, finds the three
// data files (beside argv[0], else beside the real executable, else in the
// installed data directory), dispatches one command by exact name and turns
// the handler's status into the exit status.
#include "velmora-cmd.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "velmora-bv.h"
#include "velmora-cube.h"
#include "velmora-import.h"
#include "velmora-rx.h"

#ifndef VELMORA_INSTALL_DATA_DIR
#define VELMORA_INSTALL_DATA_DIR "/usr/local/share/velmora/"
#endif

namespace {

using VELMORA_CMD_HANDLER = int (*)(VELMORA_CMD_OPT*);

struct VELMORA_CMD_ENTRY {
  const char* name;
  VELMORA_CMD_HANDLER handler;
};

// Every command of velmora.x.
const VELMORA_CMD_ENTRY kCommands[] = {
    {"--print-cell", velmora_cmd_opt_do_print_cell},
    {"--print-ppt", velmora_cmd_opt_do_print_ppt},
    {"--print-ppt-full", velmora_cmd_opt_do_print_ppt_full},
    {"--print-sym", velmora_cmd_opt_do_print_sym},
    {"--print-cube", velmora_cmd_opt_do_print_cube},
    {"--gen-cif", velmora_cmd_opt_do_gen_cif},
    {"--gen-cif-reduced", velmora_cmd_opt_do_gen_cif_reduced},
    {"--gen-cif-p1", velmora_cmd_opt_do_gen_cif_p1},
    {"--gen-cif-assign", velmora_cmd_opt_do_gen_cif_assign},
    {"--gen-cif-assign-all", velmora_cmd_opt_do_gen_cif_assign_all},
    {"--gen-gin-lib", velmora_cmd_opt_do_gen_gin_lib},
    {"--gen-gin", velmora_cmd_opt_do_gen_gin},
    {"--gen-cube", velmora_cmd_opt_do_gen_cube},
    {"--cal-charge", velmora_cmd_opt_do_cal_charge},
    {"--cal-bv", velmora_cmd_opt_do_cal_bv},
    {"--cal-bv-gui", velmora_cmd_opt_do_cal_bv_gui},
    {"--cal-bv-type", velmora_cmd_opt_do_cal_bv_type},
    {"--cal-gii", velmora_cmd_opt_do_cal_gii},
    {"--cal-cn", velmora_cmd_opt_do_cal_cn},
    {"--cal-cn-atom", velmora_cmd_opt_do_cal_cn_atom},
    {"--cal-cn-type", velmora_cmd_opt_do_cal_cn_type},
    {"--cal-cn-bv", velmora_cmd_opt_do_cal_cn_bv},
    {"--cal-sym", velmora_cmd_opt_do_cal_sym},
    {"--cal-tot-en", velmora_cmd_opt_do_cal_tot_en},
    {"--rx-sd", velmora_cmd_opt_do_rx_sd},
    {"--rx-neb", velmora_cmd_opt_do_rx_neb},
    {"--rx-neb-images", velmora_cmd_opt_do_rx_neb_images},
    {"--fft", velmora_cmd_opt_do_fft},
    {"--fft-cubes", velmora_cmd_opt_do_fft_cubes},
    {"--fp-map", velmora_cmd_opt_do_fp_map},
    {"--gh", velmora_cmd_opt_do_gh},
    {"--kmc", velmora_cmd_opt_do_kmc},
    {"--sites", velmora_cmd_opt_do_sites},
    {"--md", velmora_cmd_opt_do_md},
    {"--text-cal-bv", velmora_cmd_opt_do_text_cal_bv},
    {"--text-gen-gin-lib", velmora_cmd_opt_do_text_gen_gin_lib},
    {"--text-gen-gin-lib-set-sf", velmora_cmd_opt_do_text_gen_gin_lib_set_sf},
};

// Help lines in order; a null name is a group separator (empty line), the
// name "Message:" the separator printed as that word.
struct VELMORA_CMD_HELP {
  const char* name;
  const char* description;
};

const VELMORA_CMD_HELP kHelp[] = {
    {"--help", "display this help."},
    {"--print-cell", "print the loaded cell."},
    {"--print-ppt", "print the property corresponding to the loaded cell."},
    {"--print-sym", "print the symmetry corresponding to the loaded cell."},
    {"--print-cube", "print a summary of the loaded cube."},
    {nullptr, nullptr},
    {"--gen-cif", "write the loaded cell to file in cif format."},
    {"--gen-cif-reduced", "write the loaded cell reduced by symmetry to file in cif format."},
    {"--gen-cif-p1", "write the loaded cell to file in cif format without symmetry."},
    {"--gen-cif-assign",
     "write the loaded cell to file in cif format with partially occupied sites of conducting "
     "species assigned occupancy = 1.0 randomly."},
    {"--gen-cif-assign-all",
     "write the loaded cell to file in cif format with all partially occupied sites assigned "
     "occupancy = 1.0 randomly."},
    {"--gen-gin-lib",
     "generate a forcefield file in .lib format for calculation with software GULP."},
    {"--gen-gin",
     "generate an overall input file in .gin format for performing molecular dynamics "
     "calculaiton with software GULP."},
    {"--gen-cube",
     "calculate the static energy landscape for ionic conduction and write the result to file "
     "in Gaussian cube format."},
    {"Message:", nullptr},
    {"--cal-bv", "calculate bond valences of the loaded cell."},
    {"--cal-gii", "calculate the global instability index of the loaded cell."},
    {"--cal-cn",
     "calculate the coordination number of the specified atom regarding to all counterions."},
    {"--cal-cn-atom", "calculate coordination shell of the specified atom."},
    {"--cal-cn-type", "calculates averaged coordination number of the specified pair of ions."},
    {"--cal-sym", "calculate symmetry of the loaded cell."},
    {"--cal-tot-en", "calculate the total energy of the loaded cell."},
    {nullptr, nullptr},
    {"--rx-sd",
     "perform a relaxation of loaded cell with steepest descend algorithm and write the result "
     "to file in cif format."},
    {"--rx-neb", "perform a simple nudged elastic bend calculation with input of two end images."},
    {"--rx-neb-images",
     "perform a simple nudged elastic bend calculation with input of a series of images."},
    {"--fft",
     "perform a fourier transform analysis to determine critical points and eigenvalues/vectors "
     "at these points."},
    {"--fft-cubes",
     "perform a fourier transform analysis and generate cubes corresponding to force, force "
     "constant, laplacian and slope."},
    {"--fp-map", "generates a cif file representing conduction path in the given cube file."},
    {"--gh",
     "generates cif files and csv file representing the characteristic conduction pathway in "
     "the given cube file."},
    {"--sites", "output a summary of sites based on graph analysis."},
    {"--md", "perform a molecular dynamics allowing only conducting ions to move."},
    {"--kmc",
     "conducts a kinetic monte carlo simulation to estimate the ionic conductivity given the "
     "cif and cube files."},
};

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

// The structure of a CIF: the cell and the space group read with it.
struct VELMORA_CMD_CIF {
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
};

// Reads argv[2] as a CIF with the context's data files (null, reported,
// on failure).
std::unique_ptr<VELMORA_CMD_CIF> velmora_cmd_read_cif(const VELMORA_CMD_OPT* opt) {
  auto cif = std::make_unique<VELMORA_CMD_CIF>();
  if (velmora_cell_import_cif_from_file(cif->cell, cif->symmetry, opt->argv[2],
                                        opt->dir_symcards.c_str(),
                                        opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_file() returns non-zero.\n");
    return nullptr;
  }
  return cif;
}

// An integer argument (oxidation state): the whole text must be one number.
bool velmora_cmd_read_int(const char* text, int& value) {
  int consumed = 0;
  if (std::sscanf(text, "%d%n", &value, &consumed) != 1) return false;
  while (text[consumed] == ' ' || text[consumed] == '\t') ++consumed;
  return text[consumed] == '\0';
}

// A real argument (screening factor): one finite number and nothing else.
bool velmora_cmd_read_real(const char* text, double& value) {
  int consumed = 0;
  if (std::sscanf(text, "%lf%n", &value, &consumed) != 1 || !std::isfinite(value)) return false;
  while (text[consumed] == ' ' || text[consumed] == '\t') ++consumed;
  return text[consumed] == '\0';
}

// The optional screening factor at argv[index]: `sf` keeps its value when
// the argument is absent; false (reported) when it is not a number.
bool velmora_cmd_read_sf(const VELMORA_CMD_OPT* opt, int index, double& sf) {
  if (opt->argc > index && !velmora_cmd_read_real(opt->argv[index], sf)) {
    std::fprintf(stderr, "Error: wrong parameter sf.\n");
    return false;
  }
  return true;
}

// An optional t/f flag at argv[index]: true unless given and starting with
// f or F.
bool velmora_cmd_read_flag(const VELMORA_CMD_OPT* opt, int index) {
  return !(opt->argc > index && (opt->argv[index][0] == 'f' || opt->argv[index][0] == 'F'));
}

// The output name: argv[index] when given (at most 1000 characters), else
// the whole input name followed by `suffix`.
std::string velmora_cmd_output_name(const VELMORA_CMD_OPT* opt, int index, const char* suffix) {
  char name[1024];
  if (opt->argc > index)
    std::snprintf(name, sizeof name, "%.1000s", opt->argv[index]);
  else
    std::snprintf(name, sizeof name, "%s%s", opt->argv[2], suffix);
  return name;
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
  return std::isfinite(gii) ? VELMORA_EXIT_OK : VELMORA_EXIT_FAILURE;
}

}  // namespace

// ------------------------------------------------------------ context ----

void velmora_cmd_opt_split_path(std::string* directory, std::string* file, const char* path) {
  const std::string p = path ? path : "";
  const std::size_t slash = p.rfind('/');
  if (directory) *directory = slash == std::string::npos ? "./" : p.substr(0, slash + 1);
  if (file) *file = slash == std::string::npos ? p : p.substr(slash + 1);
}

void velmora_cmd_opt_get_type(char destination[3], const char* source) {
  std::snprintf(destination, 3, "%s", source ? source : "");
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

int velmora_cmd_start(int argc, char** argv) {
  std::unique_ptr<VELMORA_CMD_OPT> opt = velmora_cmd_opt_init(argc, argv);
  if (!opt) {
    std::fprintf(stderr, "Error: velmora_cmd_opt_init() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  int status = VELMORA_EXIT_OK;
  const char* command = argc > 1 ? argv[1] : nullptr;
  if (!command || std::strcmp(command, "--version") == 0 || std::strcmp(command, "-v") == 0) {
    status = velmora_cmd_opt_do_print_version(opt.get());
  } else if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
    status = velmora_cmd_opt_do_print_help(opt.get());
  } else if (std::strcmp(command, "--print-sys") == 0) {
    velmora_cmd_opt_print(opt.get());
  } else {
    status = -1;
    for (const VELMORA_CMD_ENTRY& entry : kCommands)
      if (std::strcmp(command, entry.name) == 0) {
        // Messages about missing force-field data name the command.
        velmora_property_set_command(entry.name);
        status = entry.handler(opt.get());
        break;
      }
    if (status < 0) {
      std::printf("Error: arguments not recognized. '-h' for help.\n");
      status = VELMORA_EXIT_USAGE;
    }
  }
  std::fflush(stdout);
  return status;
}

int velmora_cmd_opt_do_print_version(VELMORA_CMD_OPT*) {
  std::printf("  Velmora-ver?-cmd\n");
  std::printf("    --help to list commands available.\n");
  std::printf("    Developed and maintained by ~~\n");
  std::printf("    Contact ~~ if you find any bug or have suggestions to this software.\n");
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_help(VELMORA_CMD_OPT*) {
  std::printf("Message: avalable commands are listed.\n");
  std::printf(
      "Message: detailed help with each command can be found by typing each command without "
      "argument,\n");
  std::printf(
      "Message: basic format is: --command-name [compulsory arguments] | {optional "
      "arguments}\n");
  std::printf("\n");
  for (const VELMORA_CMD_HELP& line : kHelp) {
    if (!line.name)
      std::printf("\n");
    else if (!line.description)
      std::printf("%s\n", line.name);
    else
      std::printf("Message:   %-20s: %s\n", line.name, line.description);
  }
  return VELMORA_EXIT_OK;
}

// ------------------------------------------------ structure commands ----

int velmora_cmd_opt_do_print_cell(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --print-cell [input.cif].\n\n");
    std::printf("Example: ./velmora.x --print-cell Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  velmora_cell_print(cif->cell.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_sym(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --print-sym [input.cif]\n\n");
    std::printf("Example: --print-sym Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  velmora_symmetry_print(cif->symmetry.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_cal_sym(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --cal-sym [input.cif] | {tolerance}\n\n");
    std::printf(
        "Command: attempts to find out the symmetry group of a structure. Only works if the "
        "structure is in standard setting.\n");
    std::printf("Example: ./velmora.x --cal-sym Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
  double tolerance = -1.0;
  if (opt->argc > 3 && std::sscanf(opt->argv[3], "%lf", &tolerance) != 1) {
    std::fprintf(stderr, "Error: wrong parameter accuracy.\n");
    return VELMORA_EXIT_FAILURE;
  }
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
  if (opt->argc < 3) {
    std::printf("Command: --print-ppt [input.cif] | {screening factor}.\n\n");
    std::printf("Command: {screening factor}: a double in (0, 1)\n");
    std::printf("Example: ./velmora.x --print-ppt Li2O.cif\n");
    std::printf("         will trigger automatic calculation of screening factor.\n");
    std::printf("Example: ./velmora.x --print-ppt Li2O.cif 0.72.\n");
    std::printf("         will use provided screening factor 0.72.\n");
    return VELMORA_EXIT_USAGE;
  }
  double sf = -1.0;
  if (!velmora_cmd_read_sf(opt, 3, sf)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_cmd_property(opt, cif->cell.get(), nullptr, 0, sf);
  if (!ppt) return VELMORA_EXIT_FAILURE;
  velmora_property_print_format(ppt.get());
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_ppt_full(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf(
        "Command: --print-ppt-full: [input.cif] | {screening factor} {conducting ion type} "
        "{conducting ion os}.\n\n");
    std::printf("Command: reserved for debugging purpose\n");
    return VELMORA_EXIT_USAGE;
  }
  double sf = -1.0;
  char type[3] = {};
  int os = 0;
  const bool conducting = opt->argc >= 6;
  if (conducting) {
    velmora_cmd_opt_get_type(type, opt->argv[4]);
    if (!velmora_cmd_read_int(opt->argv[5], os)) {
      std::fprintf(stderr, "Error: wrong oxidation state.\n");
      return VELMORA_EXIT_FAILURE;
    }
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
  if (opt->argc < 3) {
    std::fprintf(stderr, "Error: not enough arguments.\n");
    return VELMORA_EXIT_USAGE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  double charge = 0.0;
  for (const VELMORA_ATOM& atom : cif->cell->atom) charge += atom.os * atom.occ;
  std::printf("Total charge per unit cell: %.3f\n", charge);
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_cal_tot_en(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --cal-tot-en [input.cif] | {sf}\n\n");
    std::printf("Example: ./velmora.x --cal-tot-en Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
  double sf = -1.0;
  if (!velmora_cmd_read_sf(opt, 3, sf)) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_PROPERTY> ppt =
      velmora_cmd_property(opt, cif->cell.get(), nullptr, 0, sf);
  if (!ppt) return VELMORA_EXIT_FAILURE;
  bool ok = false;
  const double energy = velmora_cell_total_energy(cif->cell.get(), ppt.get(), &ok);
  if (!ok) return VELMORA_EXIT_FAILURE;
  std::printf("Message: total energy = %lf eV\n", energy);
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_gen_cif(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --gen-cif [input.cif] | {output_name}.\n\n");
    std::printf(
        "Command: {output_name}: the name of the output file. If omitted, the input name "
        "appended by \".cif\" will be used.\n");
    std::printf("Example: ./velmora.x --gen-cif Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cmd_export_cif(opt, 3, ".cif", cif->cell.get(), cif->symmetry.get());
}

int velmora_cmd_opt_do_gen_cif_reduced(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --gen-cif-reduced [input.cif] | {output_name}\n\n");
    std::printf("Example: ./velmora.x --gen-cif-reduced Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
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
  if (opt->argc < 3) {
    std::printf("Command: --gen-cif-p1 [input.cif] | {output_name}\n\n");
    std::printf("Example: velmora.x --gen-cif-p1 Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
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
  if (opt->argc < 5) {
    std::printf("Command: --gen-cif-assign [input.cif] [type] [os] | {output_name}\n\n");
    std::printf("Command: [type] the element type of partially occupied site, two characters.\n");
    std::printf("Command: [os] the oxidation state of partially occupied site, integer.\n");
    std::printf("Example: ./velmora.x --gen-cif-assign Li6PS5Cl.cif Li 1\n");
    return VELMORA_EXIT_USAGE;
  }
  char type[3] = {};
  velmora_cmd_opt_get_type(type, opt->argv[3]);
  int os = 0;
  if (!velmora_cmd_read_int(opt->argv[4], os)) {
    std::fprintf(stderr, "Error: wrong parameter os.\n");
    return VELMORA_EXIT_FAILURE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  std::unique_ptr<VELMORA_CELL> assigned =
      velmora_cell_assign_partial_occ_at_conducting_site(cif->cell.get(), type, os);
  if (!assigned) {
    std::fprintf(stderr,
                 "Error: velmora_cell_assign_partial_occ_at_conducting_site() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return velmora_cmd_export_cif(opt, 5, ".assign.cif", assigned.get(), nullptr);
}

int velmora_cmd_opt_do_gen_cif_assign_all(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --gen-cif-assign-all [input.cif] | {output_name}\n\n");
    std::printf("Example: ./velmora.x --gen-cif-assign-all Li6PS5Cl.cif\n");
    return VELMORA_EXIT_USAGE;
  }
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
  if (opt->argc < 3) {
    std::printf("Command: --cal-bv [intput.cif]\n\n");
    std::printf("Command: calculates and prints all bond valence sums for each ion.\n");
    std::printf("Example: ./velmora.x --cal-bv Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cmd_bv_and_gii(opt, cif->cell.get(), cif->symmetry.get(), false);
}

int velmora_cmd_opt_do_cal_bv_gui(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::fprintf(stderr, "Error: not enough arguments.\n");
    return VELMORA_EXIT_USAGE;
  }
  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  return velmora_cmd_bv_and_gii(opt, cif->cell.get(), cif->symmetry.get(), true);
}

int velmora_cmd_opt_do_cal_bv_type(VELMORA_CMD_OPT* opt) {
  if (opt->argc <= 6) {
    std::printf("Command: --cal-bv-type [intput.cif] [type1] [os1] [type2] [os2]\n\n");
    std::printf("Command: {type1}: type of the cation.\n");
    std::printf("Command: {os1}: oxidation state of the cation.\n");
    std::printf("Command: {type2}: type of the anion.\n");
    std::printf("Command: {os2}: oxidation state of the anion.\n");
    std::printf("Command: calculates and prints bond valence sums for the specified ion type pair.\n");
    std::printf("Example: ./velmora.x --cal-bv LiFePO4.cif Fe 2 O -2\n");
    return VELMORA_EXIT_USAGE;
  }
  char type1[3] = {}, type2[3] = {};
  int os1 = 0, os2 = 0;
  if (std::sscanf(opt->argv[3], "%2s", type1) != 1) {
    std::fprintf(stderr, "Error: wrong parameter type1.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (!velmora_cmd_read_int(opt->argv[4], os1)) {
    std::fprintf(stderr, "Error: wrong parameter os1.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (std::sscanf(opt->argv[5], "%2s", type2) != 1) {
    std::fprintf(stderr, "Error: wrong parameter type2.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (!velmora_cmd_read_int(opt->argv[6], os2)) {
    std::fprintf(stderr, "Error: wrong parameter os2.\n");
    return VELMORA_EXIT_FAILURE;
  }
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
  if (opt->argc < 3) {
    std::printf("Command: --cal-gii [input.cif]\n\n");
    std::printf(
        "Command: calculates global instability index. The larger it is, the less stable this "
        "structure is ESTIMATED to be.\n");
    std::printf("Example: ./velmora.x --cal-gii Li2O.cif\n");
    return VELMORA_EXIT_USAGE;
  }
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

int velmora_cmd_opt_do_text_cal_bv(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::fprintf(stderr, "Error: not enough arguments.\n");
    return VELMORA_EXIT_USAGE;
  }
  std::unique_ptr<VELMORA_TEXT> text = velmora_cmd_opt_cat_tail(opt);
  if (!text) {
    std::fprintf(stderr, "Error: velmora_cmd_opt_cat_tail() returns NULL.\n");
    return VELMORA_EXIT_FAILURE;
  }
  VELMORA_CMD_CIF cif;
  if (velmora_cell_import_cif_from_text(cif.cell, cif.symmetry, text.get(),
                                        opt->dir_symcards.c_str(),
                                        opt->dir_unitary.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_cell_import_cif_from_text() returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return velmora_cmd_bv_and_gii(opt, cif.cell.get(), cif.symmetry.get(), false);
}

// ------------------------------------------------------ landscape cubes ----

int velmora_cmd_opt_do_gen_cube(VELMORA_CMD_OPT* opt) {
  if (opt->argc <= 4) {
    std::printf(
        "Command: --gen-cube [input.cif] [type] [os] | {sf} {resolution} "
        "{flag:ignore_conducting_ion} {flag:periodic} {output_name}\n\n");
    std::printf("Command: [type] the element type of conducting ion, two characters.\n");
    std::printf("Command: [os] the oxidation state of conducting ion, integer.\n");
    std::printf(
        "Command: {sf}: customized screening factor to use. If set to non-positive, automatic "
        "calculation is triggered. Default 0.0.\n");
    std::printf(
        "Command: {resolution}: preferred seperation between voxels. Actual resolution will be "
        "slightly different guarantee the number of voxels along each lattice parameter is a "
        "multiple of 12. Default 0.1.\n");
    std::printf(
        "Command: {flag:ignore_conducting_ion}: if set to true, all ions with the same type and "
        "os as the conducting ion are ignored during calculation. Default true.\n");
    std::printf(
        "Command: {flag:periodic}: if set to true, generated cube file contains voxels along "
        "boundaries only once. Default true.\n");
    std::printf(
        "Command: we advice staying with the default setting. If the screening factor cannot be "
        "calculated automatically, a suitable estimate of about 0.74 can be used.\n");
    std::printf("Example: ./velmora.x --gen-cube Li2O.cif Li 1\n");
    std::printf("Example: ./velmora.x --gen-cube Li2O.cif Li 1 0.71 0.05 f t\n");
    return VELMORA_EXIT_USAGE;
  }
  char type[3] = {};
  velmora_cmd_opt_get_type(type, opt->argv[3]);
  int os = 0;
  if (!velmora_cmd_read_int(opt->argv[4], os)) {
    std::fprintf(stderr, "Error: wrong parameter conducting os.\n");
    return VELMORA_EXIT_FAILURE;
  }
  double sf = -0.1;
  if (opt->argc > 5 && !velmora_cmd_read_real(opt->argv[5], sf)) {
    std::fprintf(stderr, "Error: wrong parameter screening factor.\n");
    return VELMORA_EXIT_FAILURE;
  }
  double resolution = 0.1;
  if (opt->argc > 6 && !velmora_cmd_read_real(opt->argv[6], resolution)) {
    std::fprintf(stderr, "Error: wrong parameter resolution.\n");
    return VELMORA_EXIT_FAILURE;
  }
  if (resolution <= 0.0) resolution = 0.1;
  const bool ignore_conducting = velmora_cmd_read_flag(opt, 7);
  const bool periodic = velmora_cmd_read_flag(opt, 8);
  const std::string cube_name = velmora_cmd_output_name(opt, 9, ".cube");
  // The assigned structure: the input name without its last four
  // characters (the extension), followed by "_assigned.cif".
  char base[1024];
  std::snprintf(base, sizeof base, "%.1000s", opt->argv[2]);
  const std::size_t length = std::strlen(base);
  if (length > 3) base[length - 4] = '\0';
  const std::string cif_name = std::string(base) + "_assigned.cif";

  std::unique_ptr<VELMORA_CMD_CIF> cif = velmora_cmd_read_cif(opt);
  if (!cif) return VELMORA_EXIT_FAILURE;
  if (velmora_cube_calculate_from_cell_and_write_to_file_assign_partial_occ(
          cube_name.c_str(), cif_name.c_str(), cif->cell.get(), cif->symmetry.get(), type, os, sf,
          resolution, ignore_conducting, periodic, opt->dir_unitary.c_str(),
          opt->dir_binary.c_str()) != 0) {
    std::fprintf(stderr,
                 "Error: velmora_cube_calculate_from_cell_and_write_to_file_assign_partial_occ() "
                 "returns non-zero.\n");
    return VELMORA_EXIT_FAILURE;
  }
  return VELMORA_EXIT_OK;
}

int velmora_cmd_opt_do_print_cube(VELMORA_CMD_OPT* opt) {
  if (opt->argc < 3) {
    std::printf("Command: --print-cube [input.cube] | {flag:periodic}\n\n");
    std::printf("Command: [input.cube]: in Guassian cube format. Headers are optional.\n");
    std::printf(
        "Command: {flag:periodic}: t or f. If true, the cube is treated as periodic, namely "
        "boundaries are not repeatedly recorded in the file. Default value true.\n");
    std::printf("Example: ./velmora.x --print-cube Li2O.cube\n");
    return VELMORA_EXIT_USAGE;
  }
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

// ------------------------------- commands of features not built yet ----

int velmora_cmd_opt_do_gen_gin_lib(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_gen_gin(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_cal_cn(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_cal_cn_atom(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_cal_cn_type(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_cal_cn_bv(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_rx_sd(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_rx_neb(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_rx_neb_images(VELMORA_CMD_OPT* opt) {
  return velmora_cmd_unavailable(opt);
}
int velmora_cmd_opt_do_fft(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_fft_cubes(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_fp_map(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_gh(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_kmc(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_sites(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_md(VELMORA_CMD_OPT* opt) { return velmora_cmd_unavailable(opt); }
int velmora_cmd_opt_do_text_gen_gin_lib(VELMORA_CMD_OPT* opt) {
  return velmora_cmd_unavailable(opt);
}
int velmora_cmd_opt_do_text_gen_gin_lib_set_sf(VELMORA_CMD_OPT* opt) {
  return velmora_cmd_unavailable(opt);
}

// ostrel's batch driver: the input record filled from the command line by
// one table of flags, the records one run works on, and the analysis stages
// in their fixed order (load, stationary points, structure checks, paths,
// outputs), each a function that the command mode can call again.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "OSTREL-cif.h"
#include "OSTREL-cube.h"
#include "OSTREL-math.h"
#include "OSTREL-path.h"
#include "OSTREL-symmetry.h"

struct OSTREL_input {
  int scaling = 0;
  std::string scaling_expression;  // at most 99 characters
  int cube = 0;
  std::string cube_file;           // at most 999 characters
  double max = 0.0;
  int cif = 0;
  std::string cif_file;            // at most 999 characters
  int ion = 0;
  std::string ion_type;            // at most 9 characters, e.g. Na1+
  int path = 0;
  int vesta = 0;
  int summary = 0;
  int cmd = 0;
  int HK = 0;
  int gui = 0;
  int calc_charge = 0;
  int calc_bvsum = 0;
  int calc_gii = 0;
  int print_minima = 0;
  int print_saddle = 0;
  int print_path = 0;
  int print_perc = 0;
  int print_act = 0;
  int smooth_cube = 0;
  int check_sub = 0;
  int check_subs = 0;
  int json = 0;
  std::string json_file;           // --json: the machine-readable summary
  int output_dir = 0;
  std::string output_dir_name;     // --output-dir: where the fixed-name files go
  int stop = 0;  // --help or --version answered: nothing else runs
};

// An ion word in the spelling the structure's type symbols use: element with
// a capital (na -> Na) and the charge as number then sign (Na+ and Na+1 ->
// Na1+); a word without a charge stays without one, and digits without a
// sign (Na1, as a site label) are no charge (Na1 -> Na).
std::string OSTREL_canonical_ion(const std::string& word);

// The flag (or help or version word) nearest to a word that is none, for a
// "did you mean" hint; empty when none is close or the word has no leading
// dash.
std::string OSTREL_nearest_flag(const char* word);

// "ostrel VERSION (revision REV)" and a newline; the revision only when the
// program was built from a git checkout.
void OSTREL_print_version(FILE* stream);

// Whether a cube's cell (a, b, c in Å, angles in degrees) is the CIF's cell
// repeated n[0] x n[1] x n[2] times (1 x 1 x 1: the same cell); 0 when the
// two cells differ otherwise.
int OSTREL_supercell_of(const double cube_cell[6], const double cif_cell[6], int n[3]);

// The energy scale of printed energies: the --scale expression, else the
// default of the mobile ion (written in the canonical spelling `ion`).
const char* OSTREL_energy_scale_expression(const OSTREL_input* input, const std::string& ion);

// One command-line flag: its word, the mark it sets, and, for a flag that
// takes a value, where the value goes (a text of at most `limit` characters
// or a number) and how a missing value is named in the error.  `--cif` also
// takes an optional second word (the ion type) when that word is no flag.
struct OSTREL_flag {
  const char* word;
  int OSTREL_input::*mark;             // set to 1 when given; nullptr for none
  int takes_value;                     // 1: the next word is its value
  std::string OSTREL_input::*text;     // the value as text, or nullptr
  double OSTREL_input::*number;        // the value as a number, or nullptr
  std::size_t limit;                   // longest value kept, characters
  const char* what;                    // the value, as error messages name it
  // Optional word after the value: its mark, field, length limit and name.
  int OSTREL_input::*extra_mark;
  std::string OSTREL_input::*extra;
  std::size_t extra_limit;
  const char* extra_what;
  // For the help and the reference of the manual: the value words as a
  // usage shows them ("FILE [ION]", "" for a switch), the stages the flag
  // needs given (OSTREL_NEEDS_*, checked before anything runs) and what it
  // does.
  const char* value_words;
  unsigned needs;
  const char* help;
};
enum : unsigned { OSTREL_NEEDS_PATH = 1, OSTREL_NEEDS_CUBE = 2, OSTREL_NEEDS_CIF = 4 };

// Every flag of the command line, in the order they are compared.
extern const OSTREL_flag OSTREL_FLAGS[];
extern const int OSTREL_TOTAL_FLAGS;

void OSTREL_init_input(OSTREL_input* input);
// Returns 0, or 1 for a value flag without its value or an over-long value.
int OSTREL_process_command(OSTREL_input* input, int argc, char** argv);
// 1 when the word is one of the flags of OSTREL_FLAGS.
int OSTREL_isflag(const char* word);
// The list of flags (--help, --help-all) or, with `markdown`, the flag
// reference of the manual (--help-all --markdown, docs/reference/ostrel.md),
// both made from OSTREL_FLAGS.
void OSTREL_print_help(FILE* stream, bool markdown);

// The records one run works on, owned by the driver from the first stage to
// the end of the run; the command mode works on the same records.
struct OSTREL_run {
  const OSTREL_input* input = nullptr;
  OSTREL_asymmetric_unit unit;
  OSTREL_cube cube;
  OSTREL_cif cif;
  OSTREL_pathlib lib;
  OSTREL_reaction_pathway_overall rp;
  // `events` holds the threshold summary of the current path library (made
  // once, written from memory to the events file, standard output and the
  // summary); a stage that rebuilds the library clears `events_made`.
  bool events_made = false;
  std::string events;
  // An output file could not be written: later stages still run, but the
  // run fails.
  bool unwritten_output = false;
  // A structure check asked for (charge, bond-valence sums, GII) could not
  // be computed: the run goes on but fails.
  bool failed_check = false;
  // The grid has been smoothed (once per run, however often the stationary
  // points are searched again).
  bool smoothed = false;
};

// The stages, in the driver's order.  Each returns 0, or 1 when it failed
// (the stage has printed its message).
int OSTREL_init_run(OSTREL_run* run, const OSTREL_input* input);
// Energy scale, cube and structure.
int OSTREL_stage_load(OSTREL_run* run);
// Minima and saddles found, grouped into symmetry types, ions assigned and
// interstitials labelled (a cube without structure keeps empty lists).
int OSTREL_stage_stationary_points(OSTREL_run* run);
// Bond-valence sums, charges and substitution checks of the structure.
int OSTREL_stage_structure_checks(OSTREL_run* run);
// The minima and saddle summaries asked for on standard output.
int OSTREL_stage_print_stationary_points(OSTREL_run* run);
// With --path and --cube: the path library, the threshold summary into
// OSTREL_events.txt, activation energies and reaction pathways.
int OSTREL_stage_paths(OSTREL_run* run);
int OSTREL_stage_path_library(OSTREL_run* run);
int OSTREL_stage_network(OSTREL_run* run);
int OSTREL_stage_reaction_pathways(OSTREL_run* run);
// VESTA file, summary file, GUI table and command mode.
int OSTREL_stage_outputs(OSTREL_run* run);
int OSTREL_write_summary(OSTREL_run* run);

int OSTREL(OSTREL_input* input);

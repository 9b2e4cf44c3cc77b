// ostrel's batch driver: the command line read through one table of flags
// into the input record, then the stages in a fixed order on the records of
// one run (load, stationary points, structure checks, paths, outputs).  A
// stage that fails has printed its message and ends the run.
#include "OSTREL.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "OSTREL-bv.h"
#include "OSTREL-cmd.h"
#include "OSTREL-file.h"
#include "OSTREL-gui.h"
#include "OSTREL-vesta.h"

// ===========================================================================
// Command line
// ===========================================================================

void OSTREL_init_input(OSTREL_input* input) {
  input->scaling = input->cube = input->cif = input->ion = 0;
  input->max = 0.0;
  input->path = input->vesta = input->summary = input->cmd = input->HK = input->gui = 0;
  input->calc_charge = input->calc_bvsum = input->calc_gii = 0;
  input->print_minima = input->print_saddle = input->print_path = 0;
  input->print_perc = input->print_act = 0;
  input->smooth_cube = input->check_sub = input->check_subs = 0;
}

// A flag without a value only sets its mark.
#define OSTREL_SWITCH(word, field) \
  { word, &OSTREL_input::field, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr }

const OSTREL_flag OSTREL_FLAGS[] = {
    {"--cube", &OSTREL_input::cube, 1, &OSTREL_input::cube_file, nullptr, 999, "a cube file name",
     nullptr, nullptr, 0, nullptr},
    {"--cif", &OSTREL_input::cif, 1, &OSTREL_input::cif_file, nullptr, 999, "a CIF file name",
     &OSTREL_input::ion, &OSTREL_input::ion_type, 9, "Ion type"},
    {"--scale", &OSTREL_input::scaling, 1, &OSTREL_input::scaling_expression, nullptr, 99,
     "a scaling expression", nullptr, nullptr, 0, nullptr},
    {"--max", nullptr, 1, nullptr, &OSTREL_input::max, 999, "an energy in eV", nullptr, nullptr, 0,
     nullptr},
    OSTREL_SWITCH("--path", path),
    OSTREL_SWITCH("--vesta", vesta),
    OSTREL_SWITCH("--summary", summary),
    OSTREL_SWITCH("--cmd", cmd),
    OSTREL_SWITCH("--hk", HK),
    OSTREL_SWITCH("--gui", gui),
    OSTREL_SWITCH("--calc-charge", calc_charge),
    OSTREL_SWITCH("--calc-bvsum", calc_bvsum),
    OSTREL_SWITCH("--calc-gii", calc_gii),
    OSTREL_SWITCH("--print-minima", print_minima),
    OSTREL_SWITCH("--print-saddle", print_saddle),
    OSTREL_SWITCH("--print-path", print_path),
    OSTREL_SWITCH("--print-perc", print_perc),
    OSTREL_SWITCH("--print-act", print_act),
    OSTREL_SWITCH("--smooth-cube", smooth_cube),
    OSTREL_SWITCH("--check-sub", check_sub),
    OSTREL_SWITCH("--check-subs", check_subs),
};
const int OSTREL_TOTAL_FLAGS = sizeof OSTREL_FLAGS / sizeof OSTREL_FLAGS[0];

#undef OSTREL_SWITCH

static const OSTREL_flag* find_flag(const char* word) {
  for (const OSTREL_flag& f : OSTREL_FLAGS)
    if (strcmp(word, f.word) == 0)
      return &f;
  return nullptr;
}

int OSTREL_isflag(const char* word) { return find_flag(word) != nullptr; }

// The value word after a value flag: present, not itself a flag, and within
// the record's length limit.
static int take_value(int argc, char** argv, int i, const OSTREL_flag& flag) {
  if (i + 1 >= argc || OSTREL_isflag(argv[i + 1])) {
    fprintf(stderr, "Error: %s requires %s\n", flag.word, flag.what);
    return 1;
  }
  if (strlen(argv[i + 1]) > flag.limit) {
    fprintf(stderr, "Error: %s after %s is longer than %zu characters\n", flag.what, flag.word,
            flag.limit);
    return 1;
  }
  return 0;
}

// Stores the value word of a flag; 1 when a number does not read as one.
static int store_value(OSTREL_input* input, const OSTREL_flag& flag, const char* value) {
  if (flag.text)
    input->*flag.text = value;
  if (flag.number) {
    char* end = nullptr;
    double e = strtod(value, &end);
    if (end == value || *end != '\0' || !std::isfinite(e)) {
      fprintf(stderr, "Error: %s requires %s, not %s\n", flag.word, flag.what, value);
      return 1;
    }
    input->*flag.number = e;
  }
  return 0;
}

// The optional word after a flag's value, taken when it is no flag.
static int take_extra(OSTREL_input* input, const OSTREL_flag& flag, int argc, char** argv,
                      int* i) {
  if (!flag.extra || *i + 1 >= argc || OSTREL_isflag(argv[*i + 1]))
    return 0;
  const char* word = argv[*i + 1];
  if (strlen(word) > flag.extra_limit) {
    fprintf(stderr, "Error: %s %s after %s is longer than %zu characters\n", flag.extra_what,
            word, flag.word, flag.extra_limit);
    return 1;
  }
  input->*flag.extra = word;
  input->*flag.extra_mark = 1;
  (*i)++;
  return 0;
}

int OSTREL_process_command(OSTREL_input* input, int argc, char** argv) {
  if (argc <= 1) {
    printf(" Ionic Conduction Landscape Analyser (OSTREL) version 3.0\n");
    printf(" > Please consult OSTREL_readme.txt for more details on available commands.\n");
    printf(" > Contact the velmora/ostrel maintainers (bv-toolkit@lists.invalid) to report "
           "problems and suggestions.\n");
    return 0;
  }
  for (int i = 1; i < argc; i++) {
    const OSTREL_flag* flag = find_flag(argv[i]);
    if (!flag)
      continue;  // any other word is ignored
    if (flag->takes_value) {
      if (take_value(argc, argv, i, *flag) || store_value(input, *flag, argv[i + 1]))
        return 1;
      i++;
    }
    if (flag->mark)
      input->*flag->mark = 1;
    if (take_extra(input, *flag, argc, argv, &i))
      return 1;
  }
  return 0;
}

// ===========================================================================
// Stages
// ===========================================================================

// A failing stage has printed its own message; the run ends there.
#define STAGE(call) \
  if (call)         \
    return 1;

int OSTREL_init_run(OSTREL_run* run, const OSTREL_input* input) {
  run->input = input;
  OSTREL_init_asymmetric_unit(&run->unit);
  OSTREL_init_cube(&run->cube);
  STAGE(OSTREL_init_cif(&run->cif));
  OSTREL_init_pathlib(&run->lib);
  OSTREL_init_reaction_pathway(&run->rp);
  run->events_made = run->unwritten_output = run->failed_check = run->smoothed = false;
  return 0;
}

// The energy scale: the default for the mobile ion, replaced by --scale.
static int load_energy_scale(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  if (input->ion) {
    run->cif.ion = 1;
    run->cif.probe_type = input->ion_type;
    STAGE(OSTREL_parse_energy_scaling(&run->cube,
                                      input->ion_type == "Na1+" ? "0.5695*E^(0.6946)" : "E"));
  }
  if (input->scaling) {
    OSTREL_free_RPN(&run->cube.RPN);
    run->cube.scaling = 0;
    STAGE(OSTREL_parse_energy_scaling(&run->cube, input->scaling_expression.c_str()));
  }
  run->cube.max_energy_above_gmin = input->max;
  return 0;
}

int OSTREL_stage_load(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  STAGE(load_energy_scale(run));
  if (input->cube) {
    run->cube.cube = 1;
    run->cube.smooth_cube = input->smooth_cube;
    STAGE(OSTREL_load_cube(input->cube_file.c_str(), &run->cube));
    STAGE(OSTREL_process_cube(&run->cube));
  }
  if (input->cif) {
    run->cif.cif = 1;
    STAGE(OSTREL_load_cif(input->cif_file.c_str(), &run->cif));
  }
  return 0;
}

// Symmetry acts on the grid in fractional terms: a structure whose cell is
// not the landscape's (a supercell landscape, say) maps sites and
// operations wrongly.
static void warn_cell_mismatch(const OSTREL_cube& cube, const OSTREL_cif& cif) {
  const double rad = 57.29577957855229;
  if (fabs(cube.a - cif.a) > 0.01 * cif.a || fabs(cube.b - cif.b) > 0.01 * cif.b ||
      fabs(cube.c - cif.c) > 0.01 * cif.c || fabs(cube.alpha * rad - cif.alpha) > 1.0 ||
      fabs(cube.beta * rad - cif.beta) > 1.0 || fabs(cube.gamma * rad - cif.gamma) > 1.0)
    printf("Warning: The cell of the CIF (%.4f %.4f %.4f %.2f %.2f %.2f) differs from the "
           "cell of the cube (%.4f %.4f %.4f %.2f %.2f %.2f)\n",
           cif.a, cif.b, cif.c, cif.alpha, cif.beta, cif.gamma, cube.a, cube.b, cube.c,
           cube.alpha * rad, cube.beta * rad, cube.gamma * rad);
}

// Grid operations and the asymmetric unit of the grid; the grid is smoothed
// once per run when asked for.
static int prepare_grid_symmetry(OSTREL_run* run) {
  OSTREL_cube& cube = run->cube;
  OSTREL_asymmetric_unit& unit = run->unit;
  STAGE(OSTREL_prepare_fastgen_symop(&run->cif, &cube));
  STAGE(OSTREL_find_asymmetric_unit(&cube, &run->cif, &unit));
  if (run->input->smooth_cube && !run->smoothed) {
    STAGE(OSTREL_smooth_cube_with_symmetry(&cube, &run->cif, &unit));
    run->smoothed = true;
  }
  if (run->smoothed) {
    unit.grid_symmetric = 1;  // every orbit now holds one value
    unit.max_asymmetry = 0.0;
  }
  if (!unit.grid_symmetric)
    printf("Warning: The landscape grid lacks the symmetry of the structure (energies of "
           "symmetry images differ by up to %.6f eV); searching the full grid\n",
           unit.max_asymmetry);
  return 0;
}

// Types, ion sites and interstitial labels of the minima and saddles found.
static int group_stationary_points(OSTREL_run* run) {
  STAGE(OSTREL_group_saddle_by_symmetry(&run->cube, &run->cif));
  STAGE(OSTREL_group_minima_by_symmetry(&run->cube, &run->cif));
  if (run->input->ion && run->input->cif)
    STAGE(OSTREL_assign_ion_to_sites(&run->cube, &run->cif));
  OSTREL_assign_interstitial_labels(&run->cube);
  return 0;
}

int OSTREL_stage_stationary_points(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  if (!input->cube)
    return 0;
  // Without a structure there is no search; the empty lists are grouped and
  // labelled all the same.
  if (!input->cif)
    return group_stationary_points(run);
  OSTREL_cube& cube = run->cube;
  warn_cell_mismatch(cube, run->cif);
  STAGE(prepare_grid_symmetry(run));
  if (run->cif.diff_neigh || !run->unit.grid_symmetric) {
    STAGE(OSTREL_find_stationary_points2(&cube, &run->cif));
  } else {
    STAGE(OSTREL_find_stationary_points(&cube, &run->cif, &run->unit));
  }
  OSTREL_free_asymmetric_unit(&run->unit);
  return group_stationary_points(run);
}

// Each check prints its result; one that cannot be computed has said why,
// and the run goes on but fails.
int OSTREL_stage_structure_checks(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  if (!input->cif)
    return 0;
  OSTREL_cif* cif = &run->cif;
  if (input->calc_charge && OSTREL_print_unit_cell_charge(cif))
    run->failed_check = true;
  if (input->calc_bvsum && OSTREL_print_bv_sum(cif, stdout))
    run->failed_check = true;
  if (input->calc_gii && OSTREL_print_GII(cif, stdout))
    run->failed_check = true;
  if (input->check_sub)
    OSTREL_check_ion_sub(cif, stdout);
  if (input->check_subs)
    OSTREL_check_ions_sub(cif, stdout);
  return 0;
}

int OSTREL_stage_print_stationary_points(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  if (!input->cube)
    return 0;
  if (input->print_minima)
    STAGE(OSTREL_printminima(&run->cube, stdout));
  if (input->print_saddle)
    STAGE(OSTREL_printsaddle(&run->cube, stdout));
  return 0;
}

int OSTREL_stage_path_library(OSTREL_run* run) {
  OSTREL_pathlib& lib = run->lib;
  lib.pathlib = 1;
  STAGE(OSTREL_build_path(&run->cube, &run->cif, &lib));
  STAGE(OSTREL_build_allpaths(&run->cube, &run->cif, &lib));
  STAGE(OSTREL_filter_redundant_path(&run->cube, &lib));
  if (run->input->print_path)
    OSTREL_print_pathlib(&run->cube, &lib, stdout);
  return 0;
}

// The threshold summary, made once: from OSTREL_events.txt when that holds
// it, else computed again onto the stream.
static int write_threshold_summary(OSTREL_run* run, FILE* stream) {
  if (run->events_made && !OSTREL_copy_file_to_stream("OSTREL_events.txt", stream))
    return 0;
  return OSTREL_analyze_network_at_saddles(&run->cube, &run->lib, stream, 999);
}

int OSTREL_stage_network(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  // The threshold summary re-analyses the network at every saddle energy
  // (and in large cells runs to hundreds of megabytes): it is made once,
  // into OSTREL_events.txt, and copied from there wherever else it is
  // asked for.
  const OSTREL_write_status events = OSTREL_write_file("OSTREL_events.txt", [&](FILE* f) {
    return OSTREL_analyze_network_at_saddles(&run->cube, &run->lib, f, 999);
  });
  STAGE(events == OSTREL_WRITE_FAILED);
  run->events_made = events == OSTREL_WRITE_DONE;
  if (input->print_perc)
    STAGE(write_threshold_summary(run, stdout));
  STAGE(OSTREL_calc_activation_energy(&run->cube, &run->lib));
  if (input->print_act) {
    OSTREL_print_cif_ICSD(&run->cif, stdout);
    OSTREL_print_activation_energy(&run->lib, stdout);
  }
  if (!run->events_made) {
    fprintf(stderr, "Error: Unable to write to OSTREL_events.txt\n");
    run->unwritten_output = true;
  }
  return 0;
}

int OSTREL_stage_reaction_pathways(OSTREL_run* run) {
  STAGE(OSTREL_build_reaction_pathway(&run->cube, &run->lib, &run->rp));
  const OSTREL_write_status table = OSTREL_write_file("OSTREL_rp.csv", [&](FILE* f) {
    OSTREL_print_reaction_pathway(&run->cube, &run->lib, &run->rp, f);
    return 0;
  });
  if (table == OSTREL_WRITE_DONE) {
    printf("Auto-generated reaction pathway done.\n");
  } else {
    fprintf(stderr, "Error: Unable to write to OSTREL_rp.csv\n");
    run->unwritten_output = true;
  }
  return 0;
}

int OSTREL_stage_paths(OSTREL_run* run) {
  if (!run->input->path || !run->input->cube)
    return 0;
  STAGE(OSTREL_stage_path_library(run));
  STAGE(OSTREL_stage_network(run));
  STAGE(OSTREL_stage_reaction_pathways(run));
  return 0;
}

int OSTREL_write_summary(OSTREL_run* run) {
  const OSTREL_write_status summary = OSTREL_write_file("OSTREL_summary.txt", [&](FILE* f) {
    if (OSTREL_printminima(&run->cube, f) || OSTREL_printsaddle(&run->cube, f))
      return 1;
    OSTREL_print_pathlib(&run->cube, &run->lib, f);
    return write_threshold_summary(run, f);
  });
  if (summary == OSTREL_WRITE_UNWRITABLE)
    fprintf(stderr, "Error: Unable to write to OSTREL_summary.txt\n");
  return summary != OSTREL_WRITE_DONE;
}

int OSTREL_stage_outputs(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  if (input->vesta)
    STAGE(OSTREL_print_vesta_output(&run->cube, &run->cif, &run->lib, input));
  if (input->summary)
    STAGE(OSTREL_write_summary(run));
  if (input->gui && input->path && input->cube && input->cif)
    STAGE(OSTREL_print_GUI_output(&run->cube, &run->cif, &run->lib));
  if (input->cmd)
    STAGE(OSTREL_parse_command_mode_input(run));
  return 0;
}

static void free_run(OSTREL_run* run) {
  OSTREL_free_cube(&run->cube);
  OSTREL_free_cif(&run->cif);
  OSTREL_free_pathlib(&run->lib);
  OSTREL_free_reaction_pathway(&run->rp);
}

int OSTREL(OSTREL_input* input) {
  OSTREL_run run;
  STAGE(OSTREL_init_run(&run, input));
  STAGE(OSTREL_stage_load(&run));
  STAGE(OSTREL_stage_stationary_points(&run));
  STAGE(OSTREL_stage_structure_checks(&run));
  STAGE(OSTREL_stage_print_stationary_points(&run));
  STAGE(OSTREL_stage_paths(&run));
  STAGE(OSTREL_stage_outputs(&run));
  free_run(&run);
  return run.unwritten_output || run.failed_check ? 1 : 0;
}

#undef STAGE

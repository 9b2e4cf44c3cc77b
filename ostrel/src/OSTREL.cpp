// ostrel's batch driver: the command line read through one table of flags
// into the input record, then the stages in a fixed order on the records of
// one run (load, stationary points, structure checks, paths, outputs).  A
// stage that fails has printed its message and ends the run.
#include "OSTREL.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bv_revision.h"

#include "OSTREL-bv.h"
#include "OSTREL-cmd.h"
#include "OSTREL-file.h"
#include "OSTREL-gui.h"
#include "OSTREL-report.h"
#include "OSTREL-symmetry.h"
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
  input->json = input->output_dir = 0;
}

// A flag that takes a value: the mark it sets, where the text or number
// goes, its length limit and how errors name it.
#define OSTREL_VALUE(word, mark, text, number, limit, what, value_words, needs, help) \
  { word, mark, 1, text, number, limit, what, nullptr, nullptr, 0, nullptr, value_words, needs, help }
// A flag without a value only sets its mark.
#define OSTREL_SWITCH(word, field, needs, help) \
  { word, &OSTREL_input::field, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr, \
    "", needs, help }

const OSTREL_flag OSTREL_FLAGS[] = {
    OSTREL_VALUE("--cube", &OSTREL_input::cube, &OSTREL_input::cube_file, nullptr, 999,
                 "a cube file name", "FILE", 0,
                 "read the energy landscape from the Gaussian cube FILE (as velmora.x --gen-cube "
                 "writes it); its energies are shifted so that the global minimum is 0"),
    {"--cif", &OSTREL_input::cif, 1, &OSTREL_input::cif_file, nullptr, 999, "a CIF file name",
     &OSTREL_input::ion, &OSTREL_input::ion_type, 9, "Ion type", "FILE [ION]", 0,
     "read the structure from FILE; a next word that is no flag names the mobile ion (Li1+, "
     "Na, Na+, in any case), whose sites are attached to the minima"},
    OSTREL_VALUE("--scale", &OSTREL_input::scaling, &OSTREL_input::scaling_expression, nullptr,
                 99, "a scaling expression", "EXPR", 0,
                 "print every energy as EXPR of E, the grid energy above the global minimum "
                 "(numbers, E, + - * / ^ and brackets); default E, and 0.5695*E^(0.6946) for "
                 "Na1+"),
    OSTREL_VALUE("--max", nullptr, nullptr, &OSTREL_input::max, 999, "an energy in eV", "E", 0,
                 "search minima and saddles only up to E eV (scaled) above the global minimum; "
                 "default 5 eV (unscaled)"),
    OSTREL_VALUE("--json", &OSTREL_input::json, &OSTREL_input::json_file, nullptr, 999,
                 "a file name", "FILE", OSTREL_NEEDS_PATH | OSTREL_NEEDS_CUBE,
                 "write a JSON summary to FILE: activation energies, thresholds, directions, "
                 "sites, saddles and hops"),
    OSTREL_VALUE("--output-dir", &OSTREL_input::output_dir, &OSTREL_input::output_dir_name,
                 nullptr, 999, "a directory name", "DIR", 0,
                 "write every OSTREL_* file (and plane.csv) into DIR, made when missing; the "
                 "input names and the --json FILE stay relative to the working directory"),
    OSTREL_SWITCH("--path", path, OSTREL_NEEDS_CUBE,
                  "build the path library, the clusters at each saddle energy, the 1D, 2D and "
                  "3D activation energies and the reaction pathways; writes OSTREL_events.txt, "
                  "OSTREL_rp.csv and OSTREL_rp_tidy.csv; without --cif no minima and saddles "
                  "are found"),
    OSTREL_SWITCH("--vesta", vesta, 0,
                  "write OSTREL.vesta: the structure, its bonds and the cube with isosurfaces "
                  "at the activation energies"),
    OSTREL_SWITCH("--summary", summary, 0,
                  "write OSTREL_summary.txt: the minima, saddle, path and threshold summaries "
                  "and the activation energies"),
    OSTREL_SWITCH("--cmd", cmd, 0,
                  "after the batch stages, read commands from standard input (help lists them)"),
    OSTREL_SWITCH("--hk", HK, 0, "accepted; no effect"),
    OSTREL_SWITCH("--gui", gui, OSTREL_NEEDS_PATH | OSTREL_NEEDS_CUBE | OSTREL_NEEDS_CIF,
                  "write OSTREL_gui.csv: the sites, saddles, paths and activation energies for "
                  "a graphical front end"),
    OSTREL_SWITCH("--calc-charge", calc_charge, OSTREL_NEEDS_CIF,
                  "print the charge of the unit cell, multiplicity x occupancy x oxidation "
                  "state summed over the sites"),
    OSTREL_SWITCH("--calc-bvsum", calc_bvsum, OSTREL_NEEDS_CIF,
                  "print the bond-valence sum of every site, with R0, b and the cut-off of "
                  "bin/database_binary.dat as tabulated"),
    OSTREL_SWITCH("--calc-gii", calc_gii, OSTREL_NEEDS_CIF,
                  "print the global instability index, from the oxidation states of the CIF"),
    OSTREL_SWITCH("--print-minima", print_minima, OSTREL_NEEDS_CUBE,
                  "print the minima summary: sites grouped into symmetry types"),
    OSTREL_SWITCH("--print-saddle", print_saddle, OSTREL_NEEDS_CUBE,
                  "print the saddle summary: saddle points grouped into symmetry types"),
    OSTREL_SWITCH("--print-path", print_path, OSTREL_NEEDS_PATH | OSTREL_NEEDS_CUBE,
                  "print the path summary: every distinct hop and its copies in the cell"),
    OSTREL_SWITCH("--print-perc", print_perc, OSTREL_NEEDS_PATH | OSTREL_NEEDS_CUBE,
                  "print the threshold summary: the clusters of sites at each saddle energy"),
    OSTREL_SWITCH("--print-act", print_act, OSTREL_NEEDS_PATH | OSTREL_NEEDS_CUBE,
                  "print the ICSD code, the 1D, 2D and 3D activation energies and the "
                  "thresholds from the global minimum"),
    OSTREL_SWITCH("--smooth-cube", smooth_cube, 0,
                  "symmetrise the grid with the structure's symmetry and a Gaussian kernel "
                  "(sigma 0.15 A) before the search; acts only with --cif"),
    OSTREL_SWITCH("--check-sub", check_sub, OSTREL_NEEDS_CIF,
                  "say whether a site of the mobile ion shares its place with another site"),
    OSTREL_SWITCH("--check-subs", check_subs, OSTREL_NEEDS_CIF,
                  "say whether any two sites share a place"),
};
const int OSTREL_TOTAL_FLAGS = sizeof OSTREL_FLAGS / sizeof OSTREL_FLAGS[0];

#undef OSTREL_VALUE
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

#ifndef OSTREL_VERSION
#define OSTREL_VERSION "unknown"
#endif

// The words that answer with the help or the version and end the run; the
// same version words as velmora.x takes.
static const char* const HELP_WORDS[] = {"--help", "-h", "--help-all"};
static const char* const VERSION_WORDS[] = {"--version", "-v", "-V"};

static bool is_one_of(const char* word, const char* const* words, size_t n) {
  for (size_t q = 0; q < n; q++)
    if (strcmp(word, words[q]) == 0)
      return true;
  return false;
}

void OSTREL_print_version(FILE* stream) {
  const char* revision = BV_REVISION;
  if (*revision)
    fprintf(stream, "ostrel %s (revision %s)\n", OSTREL_VERSION, revision);
  else
    fprintf(stream, "ostrel %s\n", OSTREL_VERSION);
}

// Edit distance (insertions, deletions, substitutions and swaps of two
// neighbouring characters, each 1) between two words.
static size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); i++)
    d[i][0] = i;
  for (size_t j = 0; j <= b.size(); j++)
    d[0][j] = j;
  for (size_t i = 1; i <= a.size(); i++)
    for (size_t j = 1; j <= b.size(); j++) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

std::string OSTREL_nearest_flag(const char* word) {
  std::vector<const char*> words;
  for (const OSTREL_flag& f : OSTREL_FLAGS)
    words.push_back(f.word);
  words.insert(words.end(), std::begin(HELP_WORDS), std::end(HELP_WORDS));
  words.insert(words.end(), std::begin(VERSION_WORDS), std::end(VERSION_WORDS));
  const std::string w = word;
  // Close enough to be a slip of the keyboard: a third of the word's
  // letters wrong at most (two for short words), and not a plain word such
  // as a file name, which has no leading dash.
  const size_t limit = std::max<size_t>(2, w.size() / 3);
  std::string best;
  size_t best_distance = limit + 1;
  if (w.empty() || w[0] != '-')
    return best;
  for (const char* candidate : words) {
    const size_t d = edit_distance(w, candidate);
    if (d < best_distance) {
      best_distance = d;
      best = candidate;
    }
  }
  return best;
}

// "--path, --cube and --cif": the stages a flag needs, as the help and the
// error of a missing one name them.
static std::string needs_text(unsigned needs) {
  std::vector<const char*> words;
  const std::pair<unsigned, const char*> stages[] = {
      {OSTREL_NEEDS_PATH, "--path"}, {OSTREL_NEEDS_CUBE, "--cube"}, {OSTREL_NEEDS_CIF, "--cif"}};
  for (const auto& stage : stages)
    if (needs & stage.first)
      words.push_back(stage.second);
  std::string text;
  for (size_t k = 0; k < words.size(); k++)
    text += std::string(k == 0 ? "" : k + 1 == words.size() ? " and " : ", ") + words[k];
  return text;
}

// `text` with `first` before it, broken into lines of at most 79
// characters whose continuations start at column `indent`.
static void print_wrapped(FILE* stream, const std::string& first, const std::string& text,
                          size_t indent) {
  std::string line = first;
  if (line.size() < indent)
    line.resize(indent, ' ');
  else
    line += ' ';
  size_t start = 0;
  bool empty = true;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos)
      end = text.size();
    const std::string word = text.substr(start, end - start);
    if (!empty && line.size() + 1 + word.size() > 79) {
      fprintf(stream, "%s\n", line.c_str());
      line.assign(indent, ' ');
      empty = true;
    }
    line += (empty ? "" : " ") + word;
    empty = false;
    start = end + 1;
  }
  fprintf(stream, "%s\n", line.c_str());
}

static std::string flag_help(const OSTREL_flag& flag) {
  std::string help = flag.help;
  if (flag.needs)
    help += " (needs " + needs_text(flag.needs) + ")";
  return help;
}

static void print_markdown(FILE* stream) {
  fprintf(stream,
          "# ostrel flag reference\n\n"
          "This file is made by the program from its flag table:\n\n"
          "    bin/ostrel --help-all --markdown > docs/reference/ostrel.md\n\n"
          "and the test `script.docs_reference` fails when it differs from what the built "
          "program prints.  Edit the table `OSTREL_FLAGS` in `ostrel/src/OSTREL.cpp`, never "
          "this file.  Every output file and column is described in `bin/OSTREL_readme.txt`, "
          "which is installed beside the program.\n\n"
          "    ostrel --cube FILE --cif FILE [ION] [flags]\n\n"
          "Flags may come in any order and a flag given twice takes its last value; the "
          "stages always run in one order: energy scale and window, the cube, the structure "
          "with the minima and saddle points, the structure checks, the printed summaries, "
          "the paths (`--path`), then the files of `--vesta`, `--summary`, `--gui` and "
          "`--json`, and last the command mode (`--cmd`).  A word that is no flag is ignored "
          "with a warning that names the flag meant for a near miss (\"did you mean "
          "--path?\").  A flag whose stage is not asked for is an error before anything "
          "runs.  Without arguments ostrel prints its banner.\n\n"
          "Exit status: 0 success, 1 for any failed stage (an unreadable or malformed cube "
          "or CIF, a value flag without its value, an output file that cannot be written, "
          "a structure check that cannot be computed).\n\n"
          "| flag | value | needs | what it does |\n|---|---|---|---|\n");
  for (const OSTREL_flag& flag : OSTREL_FLAGS) {
    const std::string needs = needs_text(flag.needs);
    fprintf(stream, "| `%s` | %s%s%s | %s | %s |\n", flag.word, *flag.value_words ? "`" : "",
            flag.value_words, *flag.value_words ? "`" : "", needs.c_str(), flag.help);
  }
  fprintf(stream,
          "| `--help`, `-h` |  |  | list the flags and end |\n"
          "| `--help-all` | `[--markdown]` |  | the same list; with `--markdown` this "
          "reference |\n"
          "| `--version`, `-v`, `-V` |  |  | print \"ostrel VERSION (revision REV)\" and "
          "end |\n");
}

void OSTREL_print_help(FILE* stream, bool markdown) {
  if (markdown) {
    print_markdown(stream);
    return;
  }
  fprintf(stream, "Usage: ostrel --cube FILE --cif FILE [ION] [flags]\n");
  const size_t indent = 21;
  for (const OSTREL_flag& flag : OSTREL_FLAGS)
    print_wrapped(stream, std::string("  ") + flag.word + (*flag.value_words ? " " : "") +
                              flag.value_words, flag_help(flag), indent);
  print_wrapped(stream, "  --help, -h", "this list; --help-all --markdown: the flag reference "
                "of the manual", indent);
  print_wrapped(stream, "  --version, -v, -V", "the version and the source revision", indent);
  fprintf(stream, "Flags may come in any order; the stages run in one fixed order.\n"
                  "Every flag, file and column: OSTREL_readme.txt beside the program.\n");
}

// Output flags need the stage that makes what they print: a flag without it
// would print nothing and succeed.
static int check_needs(const OSTREL_input* input) {
  for (const OSTREL_flag& flag : OSTREL_FLAGS) {
    if (!flag.needs || !(input->*flag.mark))
      continue;
    const unsigned given = (input->path ? unsigned(OSTREL_NEEDS_PATH) : 0u) |
                           (input->cube ? unsigned(OSTREL_NEEDS_CUBE) : 0u) |
                           (input->cif ? unsigned(OSTREL_NEEDS_CIF) : 0u);
    const unsigned missing = flag.needs & ~given;
    if (missing) {
      fprintf(stderr, "Error: %s needs %s\n", flag.word, needs_text(missing).c_str());
      return 1;
    }
  }
  return 0;
}

int OSTREL_process_command(OSTREL_input* input, int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (is_one_of(argv[i], HELP_WORDS, std::size(HELP_WORDS))) {
      bool markdown = false;
      for (int j = 1; j < argc; j++)
        markdown = markdown || strcmp(argv[j], "--markdown") == 0;
      OSTREL_print_help(stdout, markdown && strcmp(argv[i], "--help-all") == 0);
      input->stop = 1;
      return 0;
    }
    if (is_one_of(argv[i], VERSION_WORDS, std::size(VERSION_WORDS))) {
      OSTREL_print_version(stdout);
      input->stop = 1;
      return 0;
    }
  }
  if (argc <= 1) {
    printf(" Ionic Conduction Landscape Analyser (OSTREL) version 3.0\n");
    printf(" > Please consult OSTREL_readme.txt for more details on available commands.\n");
    printf(" > Contact the velmora/ostrel maintainers (bv-toolkit@lists.invalid) to report "
           "problems and suggestions.\n");
    return 0;
  }
  for (int i = 1; i < argc; i++) {
    const OSTREL_flag* flag = find_flag(argv[i]);
    if (!flag) {
      // A typo such as --pth would otherwise vanish without a word.
      const std::string near = OSTREL_nearest_flag(argv[i]);
      if (near.empty())
        fprintf(stderr, "Warning: Unknown word %s on the command line is ignored\n", argv[i]);
      else
        fprintf(stderr,
                "Warning: Unknown word %s on the command line is ignored (did you mean %s?)\n",
                argv[i], near.c_str());
      continue;
    }
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
  return check_needs(input);
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

std::string OSTREL_canonical_ion(const std::string& word) {
  // Element: a capital and an optional small letter, whatever the case
  // written (na, NA -> Na).
  size_t n = 0;
  std::string element;
  while (n < word.size() && n < 2 && isalpha((unsigned char)word[n])) {
    element += (char)(n == 0 ? toupper((unsigned char)word[n]) : tolower((unsigned char)word[n]));
    n++;
  }
  if (element.empty())
    return word;
  const std::string charge = word.substr(n);
  // Digits without a sign number a site (Na1, Li2 in a CIF's labels), they
  // give no charge: the word names the element, as Na does.
  if (charge.empty() || charge.find_first_not_of("0123456789") == std::string::npos)
    return element;
  // +, 1+, +1 -> 1+ (and likewise for - and other digits).
  if (charge == "+" || charge == "-")
    return element + "1" + charge;
  if (charge.size() == 2 && (charge[0] == '+' || charge[0] == '-') &&
      isdigit((unsigned char)charge[1]))
    return element + charge[1] + charge[0];
  return element + charge;
}

// The default energy scale of a mobile ion: Na+ (written Na, Na+, Na1+ or
// na) takes the scale fitted to its landscapes, every other ion none.
static const char* default_scale(const std::string& ion) {
  return ion == "Na" || ion == "Na1+" ? "0.5695*E^(0.6946)" : "E";
}

const char* OSTREL_energy_scale_expression(const OSTREL_input* input, const std::string& ion) {
  if (input->scaling)
    return input->scaling_expression.c_str();
  return input->ion ? default_scale(ion) : "E";
}

// The energy scale: the default for the mobile ion, replaced by --scale.
static int load_energy_scale(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  if (input->ion) {
    run->cif.ion = 1;
    run->cif.probe_type = OSTREL_canonical_ion(input->ion_type);
    STAGE(OSTREL_parse_energy_scaling(&run->cube, default_scale(run->cif.probe_type)));
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
    if (input->ion) {
      bool labels = false;
      for (int s = 0; s < run->cif.site_no && !labels; s++)
        labels = OSTREL_site_is_probe(&run->cif, run->cif.site[s]) != 0;
      if (!labels)
        fprintf(stderr, "Warning: The ion %s labels no site of the structure\n",
                run->cif.probe_type.c_str());
    }
  }
  return 0;
}

int OSTREL_supercell_of(const double cube_cell[6], const double cif_cell[6], int n[3]) {
  // Lengths within 1 % (the cube's are rounded to its voxel steps), angles
  // within a degree.
  for (int q = 3; q < 6; q++)
    if (!(fabs(cube_cell[q] - cif_cell[q]) <= 1.0))
      return 0;
  for (int q = 0; q < 3; q++) {
    if (!(cif_cell[q] > 0))
      return 0;
    const double ratio = cube_cell[q] / cif_cell[q];
    n[q] = (int)lround(ratio);
    if (n[q] < 1 || !(fabs(ratio - n[q]) <= 0.01 * n[q]))
      return 0;
  }
  return 1;
}

// Symmetry acts on the grid in fractional terms: a structure whose cell is
// not the landscape's maps sites and operations wrongly, and the energies
// found would belong to no structure.  A supercell landscape (a cube of a
// resolved supercell analysed with the CIF of its parent, say) is named as
// such, with the file that belongs to it.
static int check_cells_agree(const OSTREL_cube& cube, const OSTREL_cif& cif) {
  const double rad = 57.29577957855229;
  const double cube_cell[6] = {cube.a, cube.b, cube.c,
                               cube.alpha * rad, cube.beta * rad, cube.gamma * rad};
  const double cif_cell[6] = {cif.a, cif.b, cif.c, cif.alpha, cif.beta, cif.gamma};
  int n[3];
  if (!OSTREL_supercell_of(cube_cell, cif_cell, n)) {
    fprintf(stderr,
            "Error: The cell of the CIF (%.4f %.4f %.4f %.2f %.2f %.2f) differs from the cell "
            "of the cube (%.4f %.4f %.4f %.2f %.2f %.2f)\n",
            cif_cell[0], cif_cell[1], cif_cell[2], cif_cell[3], cif_cell[4], cif_cell[5],
            cube_cell[0], cube_cell[1], cube_cell[2], cube_cell[3], cube_cell[4], cube_cell[5]);
    return 1;
  }
  if (n[0] * n[1] * n[2] > 1) {
    fprintf(stderr,
            "Error: The cube is a landscape of a %d x %d x %d supercell of the CIF's cell "
            "(%.4f %.4f %.4f): give the CIF of that supercell (velmora.x --gen-cube writes "
            "it as NAME_assigned.cif beside the cube)\n",
            n[0], n[1], n[2], cif_cell[0], cif_cell[1], cif_cell[2]);
    return 1;
  }
  return 0;
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
  STAGE(check_cells_agree(cube, run->cif));
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
  run->events_made = false;  // a new library: its threshold summary is still to be made
  STAGE(OSTREL_build_path(&run->cube, &run->cif, &lib));
  STAGE(OSTREL_build_allpaths(&run->cube, &run->cif, &lib));
  STAGE(OSTREL_filter_redundant_path(&run->cube, &lib));
  if (run->input->print_path)
    OSTREL_print_pathlib(&run->cube, &lib, stdout);
  return 0;
}

// The threshold summary of the current library, made once into memory
// (it re-analyses the network at every saddle energy) and written from
// there to every destination, so that the events file, standard output and
// the summary file all hold this run's analysis.
static int make_threshold_summary(OSTREL_run* run) {
  if (run->events_made)
    return 0;
  struct free_buffer {
    void operator()(char* p) const { free(p); }
  };
  char* buf = nullptr;
  size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  if (!mem)
    return OSTREL_memory_error("OSTREL_analyze_network_at_saddles");
  int failed = OSTREL_catch_memory("OSTREL_analyze_network_at_saddles", [&] {
    return OSTREL_analyze_network_at_saddles(&run->cube, &run->lib, mem, 999);
  });
  // A stream in memory fails to grow only for want of memory.
  const bool lost = ferror(mem) | fclose(mem);
  std::unique_ptr<char, free_buffer> text(buf);
  if (failed)
    return 1;
  if (lost || !buf)
    return OSTREL_memory_error("OSTREL_analyze_network_at_saddles");
  STAGE(OSTREL_catch_memory("OSTREL_analyze_network_at_saddles", [&] {
    run->events.assign(buf, len);
    return 0;
  }));
  run->events_made = true;
  return 0;
}

// Writes the threshold summary made before onto a stream; 1 on a write error.
static int write_threshold_summary(const OSTREL_run* run, FILE* stream) {
  const bool written = fwrite(run->events.data(), 1, run->events.size(), stream) ==
                       run->events.size();
  fflush(stream);
  return written ? 0 : 1;
}

int OSTREL_stage_network(OSTREL_run* run) {
  const OSTREL_input* input = run->input;
  STAGE(make_threshold_summary(run));
  const OSTREL_write_status events =
      OSTREL_write_file(OSTREL_output_path("OSTREL_events.txt").c_str(),
                        [&](FILE* f) { return write_threshold_summary(run, f); });
  if (input->print_perc)
    write_threshold_summary(run, stdout);
  STAGE(OSTREL_calc_activation_energy(&run->cube, &run->lib));
  if (input->print_act) {
    OSTREL_print_cif_ICSD(&run->cif, stdout);
    if (input->ion)
      printf("Mobile ion: %s, energy scale: %s\n", run->cif.probe_type.c_str(),
             OSTREL_energy_scale_expression(input, run->cif.probe_type));
    OSTREL_print_activation_energy(&run->lib, stdout);
  }
  if (events != OSTREL_WRITE_DONE) {
    fprintf(stderr, "Error: Unable to write to OSTREL_events.txt\n");
    run->unwritten_output = true;
  }
  return 0;
}

int OSTREL_stage_reaction_pathways(OSTREL_run* run) {
  STAGE(OSTREL_build_reaction_pathway(&run->cube, &run->lib, &run->rp));
  const OSTREL_write_status table =
      OSTREL_write_file(OSTREL_output_path("OSTREL_rp.csv").c_str(), [&](FILE* f) {
        OSTREL_print_reaction_pathway(&run->cube, &run->lib, &run->rp, f);
        return 0;
      });
  // Beside it the same pathways as a tidy table.
  if (OSTREL_write_tidy_pathway(&run->cube, &run->lib, &run->rp))
    run->unwritten_output = true;
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
  STAGE(make_threshold_summary(run));
  const std::string name = OSTREL_output_path("OSTREL_summary.txt");
  const OSTREL_write_status summary = OSTREL_write_file(name.c_str(), [&](FILE* f) {
    if (OSTREL_printminima(&run->cube, f) || OSTREL_printsaddle(&run->cube, f))
      return 1;
    OSTREL_print_pathlib(&run->cube, &run->lib, f);
    if (write_threshold_summary(run, f))
      return 1;
    // With the path stage: the activation energies and, beside them, the
    // thresholds measured from the global minimum.
    if (run->input->path && run->input->cube) {
      fprintf(f, "Activation energies\r\n");
      OSTREL_print_activation_energy(&run->lib, f);
    }
    return 0;
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
  if (input->json && input->path && input->cube)
    STAGE(OSTREL_write_json_summary(run, input->json_file.c_str()));
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
  // The output directory is made before any stage runs, so that a name
  // that cannot hold the files fails the run before its long part.
  if (input->output_dir)
    STAGE(OSTREL_set_output_directory(input->output_dir_name));
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

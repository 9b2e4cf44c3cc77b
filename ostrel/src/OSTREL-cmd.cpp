// The command mode: one command per line, recognised by its leading words in
// the order of one table, with its arguments checked before anything is
// read (numbers must be whole words, grid coordinates within +-10^6).  The
// records of the run are shared with the batch stages; deleting minima,
// saddles or path types marks the records built from them as out of date,
// and restart rebuilds every out-of-date stage after the ones asked for.
#include "OSTREL-cmd.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "OSTREL-bv.h"
#include "OSTREL-file.h"
#include "OSTREL-gui.h"
#include "OSTREL-report.h"
#include "OSTREL-vesta.h"
#include "OSTREL.h"

namespace {

constexpr int MAX_LINE = 999;           // longest command line, characters
constexpr int MAX_GRID_INDEX = 1000000;  // grid coordinates typed by hand
constexpr double MAX_FRACTION = 10000;   // fractional coordinates typed by hand
constexpr int MAX_NEIGHBOURS = 1000;     // entries of a nearest-neighbour query
constexpr int MAX_EXPORT_WORDS = 16;

// What a command needs before it runs.
enum Need { NONE = 0, CUBE = 1, CIF = 2, LIB = 4 };
// What the loop does after a command.
enum Outcome { GO_ON = 0, FAILED = 1, LEAVE = 2 };

using Words = std::vector<std::string>;

struct Session {
  OSTREL_run* run;
  // The path library refers to minima or saddles by list index and type:
  // after a deletion or a new search it is out of date.
  bool lib_stale = false;
  // The reaction pathways, the threshold summary and the activation
  // energies refer to path types: out of date after the library changed.
  bool rp_stale = false;
};

struct Command {
  const char* name;  // the leading words
  int needs;
  Outcome (*act)(Session& s, const Words& args, const std::string& line);
};

Outcome format_error(const char* usage) {
  fprintf(stderr, "Error: Format %s\n", usage);
  return GO_ON;
}

bool whole_int(const std::string& w, long lo, long hi, int* v) {
  char* end = nullptr;
  errno = 0;
  long x = strtol(w.c_str(), &end, 10);
  if (end == w.c_str() || *end != '\0' || errno || x < lo || x > hi)
    return false;
  *v = (int)x;
  return true;
}

bool real(const std::string& w, double* v) {
  char* end = nullptr;
  *v = strtod(w.c_str(), &end);
  return end != w.c_str() && *end == '\0' && std::isfinite(*v);
}

// Exactly n grid coordinates from args[from].
bool grid_ints(const Words& a, size_t from, int n, int* out) {
  if (a.size() != from + (size_t)n)
    return false;
  for (int k = 0; k < n; k++)
    if (!whole_int(a[from + k], -MAX_GRID_INDEX, MAX_GRID_INDEX, &out[k]))
      return false;
  return true;
}

bool fractions(const Words& a, size_t from, double* out) {
  if (a.size() != from + 3)
    return false;
  for (int k = 0; k < 3; k++)
    if (!real(a[from + k], &out[k]) || fabs(out[k]) > MAX_FRACTION)
      return false;
  return true;
}

int grid_count(const OSTREL_cube& c, int axis) {
  return axis == 0 ? c.a_grid : axis == 1 ? c.b_grid : c.c_grid;
}

int wrap(int v, int n) {
  int r = v % n;
  return r < 0 ? r + n : r;
}

double scaled(const OSTREL_cube& c, double e) { return OSTREL_scale_cube_energy(&c, e); }

std::string site_label(const OSTREL_cube& c, int type) {
  std::string label;
  OSTREL_label_minima_site(&c, &label, type);
  return label;
}

// The run's input with the printing flags of the stages off, while a
// restart calls the stages again (their summaries are printed on request).
struct QuietStages {
  OSTREL_run* run;
  const OSTREL_input* saved;
  OSTREL_input quiet;
  explicit QuietStages(OSTREL_run* r) : run(r), saved(r->input), quiet(*r->input) {
    quiet.print_path = quiet.print_perc = quiet.print_act = 0;
    run->input = &quiet;
  }
  ~QuietStages() { run->input = saved; }
};

// ===========================================================================
// Help
// ===========================================================================

struct HelpTopic {
  const char* topic;
  std::vector<const char*> lines;
};

const char* const HELP_LIST[] = {
    "\nList of commands:",
    "\tgrid          - converts fractional coordinates to grid coordinates",
    "\tfrac          - converts grid coordinates to fractional coordinates",
    "\tangle         - finds angles between two vectors formed by three grid coordinates",
    "\tneighbour     - finds the N nearest minima/saddle from a specified coordinate",
    "\tenergy        - prints energy at specified grid coordinates",
    "\tenergy max    - sets the maximum energy threshold for pathway analysis",
    "\tdistance      - calculates distance between two coordinates",
    "\tprint minima  - prints summary of local minima",
    "\tprint saddle  - prints summary of saddle points",
    "\tprint pathlib - prints summary of paths",
    "\tconnect       - joins several paths together to form a long reaction path",
    "\tisdirectpath  - checks if there is a direct path between two minima sites",
    "\tisminimum     - checks if the specified location corresponds to a minimum",
    "\tdel           - deletes certain entries from the libraries (pathway, site, etc.)",
    "\tgensym        - generates symmetrical copies of specified grid coordinates",
    "\tgensymf       - generates symmetrical copies of specified fractional coordinates",
    "\tfastgensym    - generates symmetrical copies of grid coordinates on the grid",
    "\tindex         - counts the clusters of lower-energy neighbours of a grid point",
    "\ttotalgrid     - prints the number of grid points along a, b and c",
    "\tslice plane   - writes the energies of one grid plane into plane.csv",
    "\tnetwork       - prints the clusters of sites at every threshold up to an energy",
    "\tprint ion types - prints the atom types of the structure",
    "\tprint symops  - prints the symmetry operations of the structure",
    "\tbv            - prints the bond valence sum of each site",
    "\tgii           - prints the global instability index",
    "\tcharge        - prints the total charge of the unit cell",
    "\tvesta         - writes OSTREL.vesta for viewing the landscape in VESTA",
    "\tdiff_neigh    - tells whether symmetry images of a grid point have the same neighbours",
    "\thk            - accepted; does nothing",
    "  export cif    - exports the CIF content",
    "\trestart       - renalyzes the pathway",
    "\tend           - exit command mode\n",
    "For more info on each command type help <command>, e.g. help connect",
};

const HelpTopic HELP_TOPICS[] = {
    {"bv", {"\nCommand:     bv", "--------------------------------------", "Description:",
            "- Prints out BV sum for each site"}},
    {"grid", {"\nCommand:     grid <x> <y> <z>", "--------------------------------------",
              "Description:", "- Converts fractional coordinate (x,y,z) into grid coordinates",
              "- e.g. grid 0.1 0.3333 0.5"}},
    {"frac", {"\nCommand:     frac <i> <j> <k>", "--------------------------------------",
              "Description:", "- Converts grid coordinates (i,j,k) into fractional coordinates",
              "- e.g. frac 11 51 23"}},
    {"index",
     {"\nCommand:     index <i> <j> <k>", "--------------------------------------", "Description:",
      "- This command is for internal use.",
      "- It shows the number of clusters of lower energies relative to the input grid coordinate.",
      "- e.g. index 3 52 7"}},
    {"angle", {"\nCommand:     angle <x1> <y1> <z1> <x2> <y2> <z2> <x3> <y3> <z3>",
               "--------------------------------------", "Description:",
               "- Calculates the angle between three input (grid) coordinates.",
               "- e.g. angle 1 3 13 34 24 23 43 52 16"}},
    {"neighbour",
     {"\nCommand:     neighbour <minima/saddle> <i> <j> <k> <N>",
      "--------------------------------------", "Description:",
      "- Searches for the N nearest energy minima (or saddle) from (i,j,k), specified in grid "
      "coordinates.",
      "- e.g. neighbour minima 43 11 102 5",
      "- The above command searches for the 5 nearest energy minima from (43,11,102)"}},
    {"distance",
     {"\nCommand:     distance <i1> <j1> <k1> <i2> <j2> <k2>",
      "------------------------------------------------------", "Description:",
      "- Calculates the distance between two specified coordinates in Angstrom.",
      "- Both coordinates are specified in grid format.",
      "- Specified coordinates can be out of unit cell, and can be negative or positive.",
      "- e.g. distance 24 12 55 12 94 22"}},
    {"slice plane",
     {"\nCommand:     slice plane <x/y/z> <i>",
      "------------------------------------------------------", "Description:",
      "- Outputs the energy values of a specified 2D plane (x,y or z) into plane.csv",
      "- Integer i specifies the location of the 2D plane.", "- e.g. slice plane y 55",
      "- The command above exports energy values of the y=55 plane."}},
    {"print minima",
     {"\nCommand:     print minima", "--------------------------------------", "Description:",
      "- Prints all local minima in terms of their positions in the unit cell.",
      "- Symmetrically equivalent local minima are categorized as same type.",
      "- All types are subsequently arranged in energetically ascending order.",
      "- e.g. type 3 local minima are at lower energy than type 5 local minima",
      "- If occupied by mobile cation, the corresponding occupancies are also printed."}},
    {"print saddle",
     {"\nCommand:     print saddle", "--------------------------------------", "Description:",
      "- Prints all saddle points in terms of their positions in the unit cell.",
      "- Symmetrically equivalent saddle points are categorized as same type.",
      "- All types are subsequently arranged in energetically ascending order.",
      "- e.g. type 3 saddle points are at lower energy than type 5 saddle points"}},
    {"print pathlib",
     {"\nCommand:     print pathlib", "--------------------------------------", "Description:",
      "- Prints a summary of all symmetrically distinct paths.",
      "- Each path is identified by their ID, and is charactized by one saddle point and two "
      "minima sites.",
      "- The path IDs can be used in the command 'connect' to construct a reaction pathway."}},
    {"print ion types",
     {"\nCommand:     print ion types", "--------------------------------------", "Description:",
      "- Prints the atom types of the structure with their oxidation states (a CIF type loop)."}},
    {"print symops",
     {"\nCommand:     print symops", "--------------------------------------", "Description:",
      "- Prints the symmetry operations of the structure (a CIF symmetry loop)."}},
    {"energy",
     {"\nCommand:     energy [neighbour] <i> <j> <k>",
      "----------------------------------------------", "Description:",
      "- Prints the energy (eV) at position (i,j,k)", "- Positions are specified in grid coordinates",
      "- e.g. energy 12 45 23",
      "- If the parameter 'neighbour' is specified, energies of all neighbours of the specified "
      "position are printed instead",
      "- e.g. energy neighbour 12 45 23"}},
    {"energy max",
     {"\nCommand:     energy max <energy threshold>", "--------------------------------------------",
      "Description:", "- Sets the maximum energy threshold (in eV, scaled) above global minimum",
      "- e.g. energy max 3.5"}},
    {"connect",
     {"\nCommand:     connect [path 1 ID] [path 2 ID] [path 3 ID] ...",
      "---------------------------------------------------------------", "Description:",
      "- Join several paths together to form a longer reaction path",
      "- Negative ID can be used to reverse that path", "- e.g. connect 5 3 -4",
      "- The above example joins together paths with ID 5,3 and 4. Path 4 is reversed."}},
    {"isdirectpath",
     {"\nCommand:     isdirectpath <x1> <y1> <z1> <x2> <y2> <z2>",
      "----------------------------------------------------------", "Description:",
      "- Checks if there is a direct path between two minima sites.",
      "- A direct path here is defined as passing through exactly one saddle point only."}},
    {"isminimum",
     {"--------------------------------------------------------", "Description:",
      "- Checks if the specified grid coordinates correspond to an energy minimum site.",
      "- The energy minimum site here can be either occupied or unoccupied."}},
    {"del",
     {"\nCommand:     del <pathlib/minimum> <ID>", "---------------------------------",
      "Description (del pathlib):",
      "- Deletes a certain pathway type (identified by the path ID) from the pathway library.",
      "- To get the path IDs of all paths, use the command 'print pathlib'",
      "- e.g. del pathlib 2",
      "- After the changes are made, the command 'restart' can be executed to refresh the output.",
      "Description (del minimum):", "- Deletes a certain minimum type from the cube library.",
      "- To get the types of all minima, use the command 'print minima'", "- e.g. del minimum 5",
      "- After the changes are made, the command 'restart' can be executed to refresh the output.",
      "Description (del saddletype):", "- Deletes a certain saddle point type from the cube library.",
      "- To get the types of all saddle points, use the command 'print saddle'",
      "- e.g. del saddletype 3",
      "- Paths and reaction pathways are refused until 'restart' has rebuilt them."}},
    {"gensym",
     {"\nCommand:     gensym <i> <j> <k>", "-----------------------------------", "Description:",
      "- Generates symmetrical copies of specified coordinates (i,j,k).",
      "- Specified coordinates are in grid format.", "- e.g. gensym 33 12 34",
      "- Fractional coordinates are supported by gensymf instead.",
      "- e.g. gensymf 0.12 0.5 0.3333"}},
    {"gensymf",
     {"\nCommand:     gensymf <x> <y> <z>", "------------------------------------", "Description:",
      "- Generates symmetrical copies of specified coordinates (x,y,z).",
      "- Specified coordinates are in fractional format.", "- e.g. gensymf 0.12 0.5 0.3333"}},
    {"fastgensym",
     {"\nCommand:     fastgensym <i> <j> <k>", "------------------------------------",
      "Description:",
      "- Generates the symmetrical copies of grid point (i,j,k) with the operations acting on "
      "the grid.",
      "- e.g. fastgensym 33 12 34"}},
    {"totalgrid", {"\nCommand:     totalgrid", "--------------------------------------",
                   "Description:", "- Prints the number of grid points along a, b and c."}},
    {"network",
     {"\nCommand:     network <energy/all>", "--------------------------------------",
      "Description:",
      "- Prints the clusters of sites joined by the paths open at every threshold energy up to",
      "  the given energy (eV, scaled), or at every threshold with 'all'.",
      "- e.g. network 0.5"}},
    {"gii", {"\nCommand:     gii", "--------------------------------------", "Description:",
             "- Prints the global instability index of the structure."}},
    {"charge", {"\nCommand:     charge", "--------------------------------------", "Description:",
                "- Prints the total charge of the unit cell."}},
    {"vesta", {"\nCommand:     vesta", "--------------------------------------", "Description:",
               "- Writes OSTREL.vesta, which shows the landscape cube in VESTA."}},
    {"diff_neigh",
     {"\nCommand:     diff_neigh", "--------------------------------------", "Description:",
      "- Tells whether the symmetry operations mix the grid axes, so that two symmetrically",
      "  equivalent grid points can have different sets of 26 neighbours."}},
    {"hk", {"\nCommand:     hk", "--------------------------------------", "Description:",
            "- Accepted; does nothing."}},
    {"export cif",
     {"\nCommand:     export cif [P1] [ins] [-o <file name>]", "-----------------------",
      "Description:", "- Exports the CIF content into a CIF file.",
      "- The following flags can be used:",
      "-   P1: Remove symmetry (output will be in P1 space group)",
      "-   ins: Includes interstitial sites", "-   -o <file name>: Exporst to specified file name",
      "- e.g. export cif ins -o NaFePO4.cif P1", "- Further flags:",
      "-   sad: Includes saddle points",
      "-   updatecoor: Places the mobile ions on the occupied minima",
      "-   updatelabel: The same, with the mobile ion sites numbered by element",
      "-   supercell <na> <nb> <nc>: A P1 supercell with the partial occupancies drawn at random"}},
    {"restart",
     {"\nCommand:     restart", "-----------------------", "Description:",
      "- Restarts the pathway analysis.",
      "- This can be useful if any changes has been made, such as energy threshold.",
      "- restart cube: finds the minima and saddle points again (with the current energy max)",
      "- restart pathlib: builds the pathway library again",
      "- restart reacpath: builds the reaction pathways again (OSTREL_rp.csv)",
      "- Stages that depend on a rebuilt or changed stage are rebuilt as well."}},
    {"end", {"\nCommand:     end", "--------------------", "Description:", "- Exit the command mode"}},
};

// Lines with their words joined by single spaces.
std::string joined(const Words& w, size_t from = 0) {
  std::string out;
  for (size_t k = from; k < w.size(); k++) out += (k > from ? " " : "") + w[k];
  return out;
}

}  // namespace

int OSTREL_tokenize_string(const char* text, std::vector<std::string>* words, int max) {
  words->clear();
  int n = 0;
  const char* p = text;
  for (;;) {
    while (*p && isspace((unsigned char)*p)) p++;
    if (!*p)
      break;
    std::string w;
    while (*p && !isspace((unsigned char)*p)) {
      if (*p == '"') {
        p++;
        while (*p && *p != '"') w.push_back(*p++);
        if (*p == '"') p++;
      } else {
        w.push_back(*p++);
      }
    }
    if (n < max)
      words->push_back(w);
    n++;
    if (n > max)
      return max + 1;
  }
  return n;
}

int OSTREL_cmd_help(const char* line) {
  Words w;
  OSTREL_tokenize_string(line, &w, 64);
  if (w.empty() || w[0] != "help")
    return 0;
  if (w.size() == 1) {
    for (const char* l : HELP_LIST) printf("%s\n", l);
    return 1;
  }
  const std::string topic = joined(w, 1);
  for (const HelpTopic& h : HELP_TOPICS)
    if (topic == h.topic) {
      for (const char* l : h.lines) printf("%s\n", l);
      return 1;
    }
  return 0;
}

namespace {

// ===========================================================================
// Landscape commands
// ===========================================================================

Outcome cmd_vesta(Session& s, const Words&, const std::string&) {
  const OSTREL_input* in = s.run->input;
  OSTREL_print_vesta_cmd_output(&s.run->cif, in->cube ? in->cube_file : std::string());
  return GO_ON;
}

Outcome cmd_print_minima(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("print minima");
  OSTREL_printminima(&s.run->cube, stdout);
  return GO_ON;
}

Outcome cmd_print_saddle(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("print saddle");
  OSTREL_printsaddle(&s.run->cube, stdout);
  return GO_ON;
}

Outcome cmd_print_pathlib(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("print pathlib");
  OSTREL_print_pathlib(&s.run->cube, &s.run->lib, stdout);
  return GO_ON;
}

Outcome cmd_print_types(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("print ion types");
  OSTREL_print_cif_types(&s.run->cif, stdout);
  return GO_ON;
}

Outcome cmd_print_symops(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("print symops");
  OSTREL_print_cif_symops(&s.run->cif, stdout);
  return GO_ON;
}

Outcome cmd_totalgrid(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("totalgrid");
  const OSTREL_cube& c = s.run->cube;
  printf("Number of grid elements [a,b,c] = [%d,%d,%d]\n", c.a_grid, c.b_grid, c.c_grid);
  return GO_ON;
}

Outcome cmd_hk(Session&, const Words&, const std::string&) { return GO_ON; }

Outcome cmd_diff_neigh(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("diff_neigh");
  if (s.run->cif.diff_neigh)
    printf("Environment of two symmetrically equivalent grid points (in terms of their 26 "
           "neighbours) can be different.\n");
  else
    printf("Environment of two symmetrically equivalent grid points (in terms of their 26 "
           "neighbours) is identical.\n");
  return GO_ON;
}

Outcome cmd_angle(Session& s, const Words& a, const std::string&) {
  int p[9];
  if (!grid_ints(a, 0, 9, p))
    return format_error("angle <x1> <y1> <z1> <x2> <y2> <z2> <x3> <y3> <z3> (grid coordinates)");
  const double rad = OSTREL_angle(&s.run->cube, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8]);
  printf("Angle: %0.3f rad (%.3f deg)\n", rad, rad * 180.0 / 3.1415926);
  return GO_ON;
}

Outcome cmd_neighbour(Session& s, const Words& a, const std::string&) {
  int p[3], n;
  const bool minima = !a.empty() && a[0] == "minima";
  if (a.size() != 5 || (!minima && a[0] != "saddle") ||
      !whole_int(a[1], -MAX_GRID_INDEX, MAX_GRID_INDEX, &p[0]) ||
      !whole_int(a[2], -MAX_GRID_INDEX, MAX_GRID_INDEX, &p[1]) ||
      !whole_int(a[3], -MAX_GRID_INDEX, MAX_GRID_INDEX, &p[2]) ||
      !whole_int(a[4], INT_MIN, INT_MAX, &n))
    return format_error("neighbour <minima/saddle> <i> <j> <k> <N>");
  if (n <= 0) {
    fprintf(stderr, "Error: Number of neighbours must be greater than zero.\n");
    return GO_ON;
  }
  if (n > MAX_NEIGHBOURS) {
    fprintf(stderr, "Error: Number of neighbours must be at most %d.\n", MAX_NEIGHBOURS);
    return GO_ON;
  }
  const OSTREL_cube& c = s.run->cube;
  // The search runs from the point's image in the cell (shells of images
  // grow from there) and its answers move back by the same whole cells.
  const int n3[3] = {c.a_grid, c.b_grid, c.c_grid};
  int in_cell[3], shift[3];
  for (int k = 0; k < 3; k++) {
    in_cell[k] = wrap(p[k], n3[k]);
    shift[k] = p[k] - in_cell[k];
  }
  OSTREL_nearest_neighbour list;
  if (OSTREL_init_nearest_neighbour(&list, n, 0, in_cell[0], in_cell[1], in_cell[2]))
    return GO_ON;
  printf(minima ? "Searching for the nearest %d energy minima from (%d,%d,%d) (%.3f,%.3f,%.3f)\n"
                : "Searching for the nearest %d saddle points from (%d,%d,%d) (%.3f,%.3f,%.3f)\n",
         n, p[0], p[1], p[2], (double)p[0] / c.a_grid, (double)p[1] / c.b_grid,
         (double)p[2] / c.c_grid);
  if (minima)
    OSTREL_get_nearest_minima(&c, &list);
  else
    OSTREL_get_nearest_saddle(&c, &list);
  for (int q = 0; q < list.total && list.index[q] >= 0; q++) {
    const int m = list.index[q];
    const int gx = (minima ? c.minima[m].x : c.saddle[m].x) + list.i[q] * c.a_grid + shift[0];
    const int gy = (minima ? c.minima[m].y : c.saddle[m].y) + list.j[q] * c.b_grid + shift[1];
    const int gz = (minima ? c.minima[m].z : c.saddle[m].z) + list.k[q] * c.c_grid + shift[2];
    const double fx = (double)gx / c.a_grid, fy = (double)gy / c.b_grid, fz = (double)gz / c.c_grid;
    if (minima)
      printf("> %d (%s) : (%d,%d,%d) (%.3f,%.3f,%.3f), %.3f Angstrom\n", m,
             site_label(c, c.minima[m].type).c_str(), gx, gy, gz, fx, fy, fz, list.distance[q]);
    else
      printf("> %d : (%d,%d,%d) (%.3f,%.3f,%.3f), %.3f Angstrom\n", m, gx, gy, gz, fx, fy, fz,
             list.distance[q]);
  }
  printf("End of search\n");
  return GO_ON;
}

Outcome cmd_energy_neighbour(Session& s, const Words& a, const std::string&) {
  int p[3];
  if (!grid_ints(a, 0, 3, p))
    return format_error("energy neighbour <i> <j> <k>");
  const OSTREL_cube& c = s.run->cube;
  for (int da = -1; da <= 1; da++)
    for (int db = -1; db <= 1; db++)
      for (int dc = -1; dc <= 1; dc++) {
        if (!da && !db && !dc)
          continue;
        const int i = p[0] + da, j = p[1] + db, k = p[2] + dc;
        printf("Energy of %d %d %d : %f\n", i, j, k, scaled(c, OSTREL_cube_energy(&c, i, j, k)));
      }
  return GO_ON;
}

Outcome cmd_energy_max(Session& s, const Words& a, const std::string&) {
  OSTREL_cube& c = s.run->cube;
  if (a.empty()) {
    // The cut-off in force: the one set, or the built-in one (stored as 0).
    double e = c.max_energy_above_gmin;
    if (fabs(e) < 1e-7)
      e = scaled(c, c.max_energy - c.global_minimum);
    printf("Current maximum energy threshold is %.3f eV.\n", e);
    return GO_ON;
  }
  double e;
  if (a.size() != 1 || !real(a[0], &e))
    return format_error("energy max [<energy threshold>]");
  if (e <= 0) {
    fprintf(stderr, "Error: Energy threshold must be positive...\n");
    return GO_ON;
  }
  c.max_energy_above_gmin = e;
  c.max_energy = c.global_minimum + OSTREL_raw_from_scaled_energy(&c, e);
  printf("Maximum energy threshold is now changed to %.3f eV.\n", e);
  return GO_ON;
}

Outcome cmd_energy(Session& s, const Words& a, const std::string&) {
  int p[3];
  if (!grid_ints(a, 0, 3, p))
    return format_error("energy <i> <j> <k> (grid coordinates)");
  const OSTREL_cube& c = s.run->cube;
  printf("Energy of %d %d %d : %.6f eV\n", p[0], p[1], p[2],
         scaled(c, OSTREL_cube_energy(&c, p[0], p[1], p[2])));
  return GO_ON;
}

Outcome cmd_frac(Session& s, const Words& a, const std::string&) {
  int p[3];
  if (!grid_ints(a, 0, 3, p))
    return format_error("frac <i> <j> <k> (grid coordinates)");
  const OSTREL_cube& c = s.run->cube;
  printf("Fractional coordinates: %f %f %f\n\n", (double)p[0] / c.a_grid, (double)p[1] / c.b_grid,
         (double)p[2] / c.c_grid);
  return GO_ON;
}

Outcome cmd_grid(Session& s, const Words& a, const std::string&) {
  double f[3];
  if (!fractions(a, 0, f))
    return format_error("grid <x> <y> <z> (fractional coordinates)");
  const OSTREL_cube& c = s.run->cube;
  printf("Grid coordinates: %d %d %d\n\n", (int)lround(f[0] * c.a_grid),
         (int)lround(f[1] * c.b_grid), (int)lround(f[2] * c.c_grid));
  return GO_ON;
}

Outcome cmd_index(Session& s, const Words& a, const std::string&) {
  int p[3];
  if (!grid_ints(a, 0, 3, p))
    return format_error("index <i> <j> <k> (grid coordinates)");
  printf("Number of clusters (of lower energy) around %d %d %d : %d\n", p[0], p[1], p[2],
         OSTREL_find_lower_energy_neighbour_cluster(&s.run->cube, p[0], p[1], p[2]));
  return GO_ON;
}

Outcome cmd_distance(Session& s, const Words& a, const std::string&) {
  int p[6];
  if (!grid_ints(a, 0, 6, p))
    return format_error("distance <i1> <j1> <k1> <i2> <j2> <k2> (grid coordinates)");
  printf("Distance between (%d,%d,%d) and (%d,%d,%d) in Angstrom: %f\n", p[0], p[1], p[2], p[3],
         p[4], p[5], OSTREL_distance_grid(&s.run->cube, p[0], p[1], p[2], p[3], p[4], p[5]));
  return GO_ON;
}

Outcome cmd_network(Session& s, const Words& a, const std::string&) {
  double e = 0;
  if (a.size() != 1 || (a[0] != "all" && !real(a[0], &e))) {
    fprintf(stderr, "Error: Format is network [energy]\n");
    return LEAVE;
  }
  const OSTREL_cube& c = s.run->cube;
  const double threshold = a[0] == "all" ? 999 : OSTREL_raw_from_scaled_energy(&c, e);
  OSTREL_analyze_network_at_saddles(&c, &s.run->lib, stdout, threshold);
  return GO_ON;
}

Outcome cmd_isminimum(Session& s, const Words& a, const std::string&) {
  int p[3];
  if (!grid_ints(a, 0, 3, p)) {
    fprintf(stderr, "Error: Format isminimum <x> <y> <z> (grid coordinates)\n");
    return GO_ON;
  }
  printf(OSTREL_isin_minima_list(&s.run->cube, p[0], p[1], p[2])
             ? "(%d,%d,%d) is an energy minimum\n"
             : "(%d,%d,%d) is NOT an energy minimum\n",
         p[0], p[1], p[2]);
  return GO_ON;
}

Outcome cmd_isdirectpath(Session& s, const Words& a, const std::string&) {
  int p[6];
  if (!grid_ints(a, 0, 6, p)) {
    fprintf(stderr, "Error: Format isdirectpath <x1> <y1> <z1> <x2> <y2> <z2> (grid coordinates "
                    "of two minima)\n");
    return GO_ON;
  }
  const int r = OSTREL_is_direct_path_between_minima(
      &s.run->cube, &s.run->lib, OSTREL_cubeloc{p[0], p[1], p[2]}, OSTREL_cubeloc{p[3], p[4], p[5]});
  if (r >= 0)
    printf(r ? "There is direct path between (%d,%d,%d) and (%d,%d,%d)\n"
             : "There is NO direct path between (%d,%d,%d) and (%d,%d,%d)\n",
           p[0], p[1], p[2], p[3], p[4], p[5]);
  return GO_ON;
}

// Energies of one grid plane, as stored (raw, above the global minimum).
Outcome cmd_slice(Session& s, const Words& a, const std::string&) {
  int n;
  if (a.size() != 2 || (a[0] != "x" && a[0] != "y" && a[0] != "z") ||
      !whole_int(a[1], INT_MIN, INT_MAX, &n))
    return format_error("slice plane <x/y/z> <i>");
  const OSTREL_cube& c = s.run->cube;
  const int axis = a[0][0] - 'x';
  if (n < 0 || n >= grid_count(c, axis)) {
    fprintf(stderr, axis == 0 ? "Error: Input plane is out of unit cell.\n"
                              : "Error: Input plane is out of unit cell\n");
    return GO_ON;
  }
  // Rows over the first remaining axis, columns over the second.
  const int r = axis == 0 ? 1 : 0, col = axis == 2 ? 1 : 2;
  const OSTREL_write_status w = OSTREL_write_file(OSTREL_output_path("plane.csv").c_str(), [&](FILE* f) {
    int idx[3];
    idx[axis] = n;
    for (idx[r] = 0; idx[r] < grid_count(c, r); idx[r]++) {
      for (idx[col] = 0; idx[col] < grid_count(c, col); idx[col]++)
        fprintf(f, "%f,", c.energy.at(idx[0], idx[1], idx[2]));
      fprintf(f, "\n");
    }
    return 0;
  });
  if (w != OSTREL_WRITE_DONE)
    fprintf(stderr, "Error: Unable to write to plane.csv\n");
  else
    printf("Successfully exported plane %c = %d to plane.csv.\n", a[0][0], n);
  return GO_ON;
}

// ===========================================================================
// Symmetry and structure commands
// ===========================================================================

Outcome gensym_format() {
  fprintf(stderr, "Error: Format gensym x y z\n");
  return LEAVE;
}

Outcome cmd_fastgensym(Session& s, const Words& a, const std::string&) {
  int p[3];
  if (!grid_ints(a, 0, 3, p))
    return gensym_format();
  OSTREL_symcopies copies;
  OSTREL_fastgen_sym_copies(&s.run->cif, &s.run->cube, &copies, p[0], p[1], p[2]);
  printf("\nTotal symmetrical copies in unit cell: %d\n", copies.total);
  printf("         X     Y     Z\n");
  for (int q = 0; q < copies.total; q++)
    printf("%3d. %5d %5d %5d\n", q + 1, copies.copy[q].x, copies.copy[q].y, copies.copy[q].z);
  return GO_ON;
}

// The fractional copies of a position (wrapped into the cell first).
bool fractional_copies(const OSTREL_cif& cif, double x, double y, double z, OSTREL_equiv_pos* pos) {
  x -= floor(x);
  y -= floor(y);
  z -= floor(z);
  return OSTREL_symmetry_generate_equivalent_copies(&cif, pos, x, y, z) == 0;
}

Outcome cmd_gensymf(Session& s, const Words& a, const std::string&) {
  double f[3];
  if (!fractions(a, 0, f))
    return gensym_format();
  OSTREL_equiv_pos pos;
  if (!fractional_copies(s.run->cif, f[0], f[1], f[2], &pos))
    return GO_ON;
  printf("\nTotal symmetrical copies in unit cell: %d\n", pos.total_copies);
  printf("    Frac.x  Frac.y  Frac.z\n");
  for (int q = 0; q < pos.total_copies; q++)
    printf("%2d. %.10f  %.10f  %.10f\n", q + 1, pos.copy[q].a, pos.copy[q].b, pos.copy[q].c);
  return GO_ON;
}

Outcome cmd_gensym(Session& s, const Words& a, const std::string&) {
  int p[3];
  if (!grid_ints(a, 0, 3, p))
    return gensym_format();
  const OSTREL_cube& c = s.run->cube;
  OSTREL_equiv_pos pos;
  if (!fractional_copies(s.run->cif, (double)p[0] / c.a_grid, (double)p[1] / c.b_grid,
                         (double)p[2] / c.c_grid, &pos))
    return GO_ON;
  printf("\nTotal symmetrical copies in unit cell: %d\n", pos.total_copies);
  printf("    Grid.x  Grid.y  Grid.z\n");
  for (int q = 0; q < pos.total_copies; q++)
    printf("%2d. %5d %5d %5d\n", q + 1, wrap((int)lround(pos.copy[q].a * c.a_grid), c.a_grid),
           wrap((int)lround(pos.copy[q].b * c.b_grid), c.b_grid),
           wrap((int)lround(pos.copy[q].c * c.c_grid), c.c_grid));
  printf("\n");
  return GO_ON;
}

Outcome cmd_gii(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("gii");
  OSTREL_print_GII(&s.run->cif, stdout);
  return GO_ON;
}

Outcome cmd_bv(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("bv");
  OSTREL_print_bv_sum(&s.run->cif, stdout);
  return GO_ON;
}

Outcome cmd_charge(Session& s, const Words& a, const std::string&) {
  if (!a.empty())
    return format_error("charge");
  OSTREL_print_unit_cell_charge(&s.run->cif);
  return GO_ON;
}

Outcome cmd_export(Session& s, const Words&, const std::string& line) {
  return OSTREL_cmd_export_cif(line.c_str(), s.run) ? FAILED : GO_ON;
}

// ===========================================================================
// Paths
// ===========================================================================

Outcome cmd_connect(Session& s, const Words& a, const std::string&) {
  if (a.empty())
    return format_error("connect <path 1 ID> [path 2 ID] [path 3 ID] ...");
  const OSTREL_pathlib& lib = s.run->lib;
  OSTREL_connect_list hops;
  for (const std::string& w : a) {
    int id;
    if (!whole_int(w, INT_MIN + 1, INT_MAX, &id))
      return format_error("connect <path 1 ID> [path 2 ID] [path 3 ID] ...");
    if (id == 0 || abs(id) > lib.total_path) {
      fprintf(stderr, "Error: Input path type must be greater than 0 and smaller than %d...\n",
              lib.total_path + 1);
      return GO_ON;  // nothing is written for a list with a bad ID
    }
    hops.item.push_back(id);
  }
  hops.total = (int)hops.item.size();
  printf("Constructing user-defined reaction pathway...\n");
  OSTREL_grid_path path;
  if (OSTREL_concatenate_path(&s.run->cube, &lib, &path, &hops)) {
    fprintf(stderr, "Error: OSTREL_concatenate_path() returns non-zero.\n");
    return FAILED;
  }
  if (path.length < 2) {
    fprintf(stderr, "Error: The pathway has fewer than two grid points; nothing is written\n");
    return GO_ON;
  }
  const OSTREL_write_status w = OSTREL_write_file(OSTREL_output_path("OSTREL_rp_manual.csv").c_str(), [&](FILE* f) {
    OSTREL_print_path(&s.run->cube, &path, &lib, f, 0, 0);
    fprintf(f, "END\n");
    return 0;
  });
  if (w != OSTREL_WRITE_DONE)
    fprintf(stderr, "Error: Unable to write to OSTREL_rp_manual.csv\n");
  else
    printf("User-defined reaction pathway successfully written to OSTREL_rp_manual.csv.\n");
  return GO_ON;
}

// The library of a landscape whose minima or saddles changed refers to
// list entries that moved.
void minima_changed(Session& s) {
  if (s.run->lib.pathlib)
    s.lib_stale = s.rp_stale = true;
}

Outcome cmd_del(Session& s, const Words& a, const std::string&) {
  int n;
  if (a.size() != 2 || (a[0] != "pathlib" && a[0] != "minimum" && a[0] != "saddletype") ||
      !whole_int(a[1], INT_MIN, INT_MAX, &n))
    return format_error("del <pathlib/minimum/saddletype> <ID>");
  OSTREL_run& r = *s.run;
  if (a[0] == "pathlib") {
    if (!r.lib.pathlib) {
      fprintf(stderr, "Error: Pathway has not been generated.\n");
      return GO_ON;
    }
    if (s.lib_stale) {
      fprintf(stderr, "Error: The pathway library refers to minima or saddle points that have "
                      "changed; type restart pathlib to rebuild it.\n");
      return GO_ON;
    }
    if (n < 1 || n > r.lib.total_path) {
      fprintf(stderr, "Error: Path index must be > 0 and <= %d...\n", r.lib.total_path);
      return GO_ON;
    }
    if (OSTREL_delete_pathlib_path(&r.lib, n - 1))
      return FAILED;
    s.rp_stale = true;
    printf("Deleted path index %d (path type %d)\n", n - 1, n);
    return GO_ON;
  }
  if (!r.input->cube) {
    fprintf(stderr, "Error: No CUBE file has been loaded yet.\n");
    return GO_ON;
  }
  if (a[0] == "minimum") {
    if (n < 1 || n > r.cube.total_minima_type) {
      fprintf(stderr, "Error: Minimum type must be > 0 and <= %d...\n", r.cube.total_minima_type);
      return GO_ON;
    }
    if (OSTREL_delete_minima_type(&r.cube, n))
      return FAILED;
    printf("Deleted minimum type %d\n", n);
  } else {
    if (n < 1 || n > r.cube.total_saddle_type) {
      fprintf(stderr, "Error: Saddle type must be > 0 and <= %d...\n", r.cube.total_saddle_type);
      return GO_ON;
    }
    if (OSTREL_delete_saddle_type(&r.cube, n))
      return FAILED;
    printf("Deleted saddle type %d\n", n);
  }
  minima_changed(s);
  return GO_ON;
}

// ===========================================================================
// Restart
// ===========================================================================

// The reaction pathways with the threshold summary and activation energies
// they follow, and OSTREL_rp.csv.
int rebuild_pathways(Session& s) {
  OSTREL_run& r = *s.run;
  if (OSTREL_stage_network(&r))
    return 1;
  if (OSTREL_build_reaction_pathway(&r.cube, &r.lib, &r.rp)) {
    fprintf(stderr, "Error: OSTREL_build_reaction_pathway() returns non-zero.\n");
    return 1;
  }
  const OSTREL_write_status w = OSTREL_write_file(OSTREL_output_path("OSTREL_rp.csv").c_str(), [&](FILE* f) {
    OSTREL_print_reaction_pathway(&r.cube, &r.lib, &r.rp, f);
    return 0;
  });
  if (w != OSTREL_WRITE_DONE) {
    fprintf(stderr, "Error: Unable to write to OSTREL_rp.csv\n");
    return 1;
  }
  if (OSTREL_write_tidy_pathway(&r.cube, &r.lib, &r.rp))
    return 1;
  printf("> Auto-generated reaction pathway done.\n");
  return 0;
}

Outcome cmd_restart(Session& s, const Words& a, const std::string&) {
  bool cube = false, pathlib = false, reacpath = false;
  for (const std::string& w : a) {
    if (w == "cube") cube = true;
    else if (w == "pathlib") pathlib = true;
    else if (w == "reacpath") reacpath = true;
    else return format_error("restart [cube] [pathlib] [reacpath]");
  }
  OSTREL_run& r = *s.run;
  const OSTREL_input* in = r.input;
  printf("Restarting the pathway analysis...\n");
  QuietStages quiet(&r);
  if (cube) {
    if (!in->cube) {
      fprintf(stderr, "Error: No CUBE file has been loaded yet.\n");
      return GO_ON;
    }
    printf("> Reconstructing the stationary points...\n");
    if (OSTREL_stage_stationary_points(&r))
      return GO_ON;
    minima_changed(s);
  }
  // A stage is rebuilt when asked for or out of date, and the stages built
  // on it follow.
  if (pathlib || s.lib_stale) {
    if (!in->cube) {
      fprintf(stderr, "Error: No CUBE file has been loaded yet.\n");
      return GO_ON;
    }
    printf("> Reconstructing the pathway library...\n");
    if (OSTREL_stage_path_library(&r))
      return GO_ON;
    s.lib_stale = false;
    s.rp_stale = true;
  }
  if (reacpath || s.rp_stale) {
    if (!r.lib.pathlib) {
      fprintf(stderr, "Error: Pathway has not been generated.\n");
      return GO_ON;
    }
    printf("> Reconstructing the reaction pathway...\n");
    if (rebuild_pathways(s))
      return GO_ON;
    s.rp_stale = false;
  }
  if (in->summary && OSTREL_write_summary(&r))
    return GO_ON;
  if (in->gui && r.lib.pathlib && in->cube && in->cif &&
      OSTREL_print_GUI_output(&r.cube, &r.cif, &r.lib))
    return GO_ON;
  printf("Finished restarting.\n");
  return GO_ON;
}

Outcome cmd_end(Session&, const Words&, const std::string&) {
  printf("Exit command mode...\n");
  return LEAVE;
}

// Every command in the order its leading words are compared.
const Command COMMANDS[] = {
    {"vesta", NONE, cmd_vesta},
    {"print minima", CUBE, cmd_print_minima},
    {"print saddle", CUBE, cmd_print_saddle},
    {"print pathlib", CUBE | LIB, cmd_print_pathlib},
    {"print ion types", CIF, cmd_print_types},
    {"print symops", CIF, cmd_print_symops},
    {"totalgrid", CUBE, cmd_totalgrid},
    {"hk", NONE, cmd_hk},
    {"diff_neigh", NONE, cmd_diff_neigh},
    {"angle", CUBE, cmd_angle},
    {"neighbour", CUBE, cmd_neighbour},
    {"energy neighbour", CUBE, cmd_energy_neighbour},
    {"energy max", CUBE, cmd_energy_max},
    {"energy", CUBE, cmd_energy},
    {"frac", CUBE, cmd_frac},
    {"grid", CUBE, cmd_grid},
    {"index", CUBE, cmd_index},
    {"distance", CUBE, cmd_distance},
    {"network", CUBE | LIB, cmd_network},
    {"connect", CUBE | LIB, cmd_connect},
    {"del", NONE, cmd_del},
    {"fastgensym", CUBE | CIF, cmd_fastgensym},
    {"gensymf", CIF, cmd_gensymf},
    {"gensym", CUBE | CIF, cmd_gensym},
    {"gii", CIF, cmd_gii},
    {"bv", CIF, cmd_bv},
    {"charge", CIF, cmd_charge},
    {"isminimum", CUBE, cmd_isminimum},
    {"isdirectpath", CUBE | LIB, cmd_isdirectpath},
    {"export cif", NONE, cmd_export},
    {"slice plane", CUBE, cmd_slice},
    {"restart", NONE, cmd_restart},
    {"end", NONE, cmd_end},
};

// Number of leading words of `w` that name the command, or 0.
size_t matches(const Command& c, const Words& w) {
  Words name;
  OSTREL_tokenize_string(c.name, &name, 8);
  if (w.size() < name.size())
    return 0;
  for (size_t k = 0; k < name.size(); k++)
    if (w[k] != name[k])
      return 0;
  return name.size();
}

bool ready(const Session& s, int needs) {
  const OSTREL_run& r = *s.run;
  if ((needs & CUBE) && !r.input->cube) {
    fprintf(stderr, "Error: No CUBE file has been loaded yet.\n");
    return false;
  }
  if ((needs & CIF) && !r.input->cif) {
    fprintf(stderr, "Error: No CIF file has been loaded yet.\n");
    return false;
  }
  if ((needs & LIB) && !r.lib.pathlib) {
    fprintf(stderr, "Error: Pathway has not been generated.\n");
    return false;
  }
  if ((needs & LIB) && s.lib_stale) {
    fprintf(stderr, "Error: The pathway library refers to minima or saddle points that have "
                    "changed; type restart pathlib to rebuild it.\n");
    return false;
  }
  return true;
}

Outcome run_line(Session& s, const std::string& line) {
  Words w;
  OSTREL_tokenize_string(line.c_str(), &w, INT_MAX - 1);
  if (w.empty())
    return GO_ON;
  if (w[0] == "help") {
    if (!OSTREL_cmd_help(line.c_str()))
      fprintf(stderr, "Error: No help on '%s'; type help for the list of commands\n",
              joined(w, 1).c_str());
    return GO_ON;
  }
  for (const Command& c : COMMANDS) {
    const size_t n = matches(c, w);
    if (!n)
      continue;
    if (!ready(s, c.needs))
      return GO_ON;
    return c.act(s, Words(w.begin() + n, w.end()), line);
  }
  fprintf(stderr, "Error: Unknown command '%s'; type help for the list of commands\n",
          joined(w).c_str());
  return GO_ON;
}

// One line of input without its line end; false at the end of the input.
// A line longer than MAX_LINE characters, or one holding control
// characters, comes back as `bad`.
bool read_line(FILE* in, std::string* line, bool* bad) {
  line->clear();
  *bad = false;
  int ch;
  bool any = false;
  while ((ch = fgetc(in)) != EOF) {
    any = true;
    if (ch == '\n')
      break;
    if (ch == '\r' || ch == '\t') ch = ' ';
    if (ch < 0x20 || ch == 0x7f) *bad = true;
    if ((int)line->size() < MAX_LINE) line->push_back((char)ch);
    else *bad = true;
  }
  return any;
}

}  // namespace

// ===========================================================================
// Export
// ===========================================================================

int OSTREL_cmd_export_cif(const char* line, OSTREL_run* run) {
  const char* invalid =
      "Error: Invalid input to export cif. Please check 'help export cif' for more information.\n";
  Words w;
  const int n = OSTREL_tokenize_string(line, &w, MAX_EXPORT_WORDS);
  printf("Exporting to CIF file...\n");
  if (n > MAX_EXPORT_WORDS) {
    fprintf(stderr, "%s", invalid);
    return 0;
  }
  bool P1 = false, ins = false, sad = false, coor = false, label = false, super = false;
  int mult[3] = {1, 1, 1};
  std::string file;
  for (size_t k = 2; k < w.size(); k++) {
    if (w[k] == "P1") P1 = true;
    else if (w[k] == "ins") ins = true;
    else if (w[k] == "sad") sad = true;
    else if (w[k] == "updatecoor") coor = true;
    else if (w[k] == "updatelabel") label = true;
    else if (w[k] == "-o" && k + 1 < w.size() && !w[k + 1].empty()) file = w[++k];
    else if (w[k] == "supercell" && k + 3 < w.size() &&
             whole_int(w[k + 1], INT_MIN, INT_MAX, &mult[0]) &&
             whole_int(w[k + 2], INT_MIN, INT_MAX, &mult[1]) &&
             whole_int(w[k + 3], INT_MIN, INT_MAX, &mult[2])) {
      super = true;
      k += 3;
    } else {
      fprintf(stderr, "%s", invalid);
      return 0;
    }
  }
  if (!run->input->cif) {
    fprintf(stderr, "Error: No CIF file has been loaded yet.\n");
    return 0;
  }
  if ((ins || sad || coor || label) && !run->input->cube) {
    fprintf(stderr, "Error: No CUBE file has been loaded yet.\n");
    return 0;
  }
  if ((coor || label) && !run->cif.ion) {
    fprintf(stderr, "Error: No mobile ion type was given (name it after the CIF file, e.g. "
                    "--cif x.cif Li1+)\n");
    return 0;
  }
  if (file.empty()) {
    printf("> No file output specified... writing to OSTREL.cif instead\n");
    file = OSTREL_output_path("OSTREL.cif");
  } else {
    printf("> Exporting to %s\n", file.c_str());
  }
  OSTREL_cif copy;
  if (OSTREL_copy_cif(&run->cif, &copy)) {
    fprintf(stderr, "Error: OSTREL_copy_cif() returns non-zero.\n");
    return 1;
  }
  const OSTREL_cube& cube = run->cube;
  if (label || coor) {
    printf(label ? "> Updating mobile ion site coordinates and labels...\n"
                 : "> Updating mobile ion site coordinates...\n");
    OSTREL_list_remove_if(OSTREL_list_of(copy.site, copy.site_no, &copy.site_no_cap),
                          [&](const OSTREL_site& t, int) { return OSTREL_site_is_probe(&copy, t); });
    if (OSTREL_add_interstitial_to_cif(&cube, &copy, label ? 3 : 2))
      return 0;
  }
  if (ins) {
    printf("> Adding interstitial sites into CIF...\n");
    if (OSTREL_add_interstitial_to_cif(&cube, &copy, 1))
      return 0;
  }
  if (sad) {
    printf("> Adding saddle points into CIF...\n");
    if (OSTREL_add_saddle_to_cif(&cube, &copy))
      return 0;
  }
  // The marker types are added with every call: keep the first of a label,
  // and no marker type without sites.
  OSTREL_list_remove_if(OSTREL_list_of(copy.type, copy.type_no, &copy.type_no_cap),
                        [&](const OSTREL_type& t, int q) {
                          for (int e = 0; e < q; e++)
                            if (copy.type[e].label == t.label) return true;
                          if (t.label != "IS" && t.label != "SD") return false;
                          for (int site = 0; site < copy.site_no; site++)
                            if (copy.site[site].type == t.label) return false;
                          return true;
                        });
  if (P1) {
    printf("> Converting to P1 symmetry...\n");
    if (OSTREL_remove_cif_symmetry(&copy))
      return 0;
  }
  if (super) {
    printf("> Building supercell %d x %d x %d\n", mult[0], mult[1], mult[2]);
    OSTREL_cif big;
    if (OSTREL_build_supercell(&copy, &big, mult[0], mult[1], mult[2]))
      return 0;
    copy = big;
  }
  const OSTREL_write_status st = OSTREL_write_file(file.c_str(), [&](FILE* f) {
    OSTREL_write_cif(&copy, f);
    return 0;
  });
  if (st != OSTREL_WRITE_DONE) {
    fprintf(stderr, "Error: Unable to write to %s\n", file.c_str());
    return 0;
  }
  printf("Finished exporting.\n");
  return 0;
}

// ===========================================================================
// The loop
// ===========================================================================

int OSTREL_parse_command_mode_input(OSTREL_run* run, FILE* in) {
  Session s{run};
  const bool person = isatty(fileno(in));
  printf("\nEnter your command: (type end to exit, or help for a list of available commands)\n");
  std::string line;
  bool bad;
  for (;;) {
    if (person) {
      printf("OSTREL> ");
    }
    fflush(stdout);
    if (!read_line(in, &line, &bad)) {
      // The end of the input ends the mode as "end" does.
      printf("Exit command mode...\n");
      fflush(stdout);
      return 0;
    }
    if (bad) {
      fprintf(stderr, "Error: A command is one line of at most %d printable characters; "
                      "ignored\n", MAX_LINE);
      continue;
    }
    const Outcome o = run_line(s, line);
    fflush(stdout);
    if (o == FAILED)
      return 1;
    if (o == LEAVE)
      return 0;
  }
}

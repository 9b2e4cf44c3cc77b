// Structure input/output and force-field area of velmora, in the order of the
// sections below: the CIF document and reader with the cell geometry
// (velmora-import.cpp), space-group symmetry (velmora-import-symmetry.cpp),
// cell operations with the CIF writer (velmora-import-cell.cpp), and the
// force-field parameters with the pair functions (velmora-import-property.cpp).
#ifndef VELMORA_IMPORT_H_
#define VELMORA_IMPORT_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora-alloc.h"
#include "velmora.h"

// ========================================================================
// CIF document: tokens, single items and loops (velmora-import.cpp)
// ========================================================================

// A parsed CIF text.  Tags are kept as written; matching against a keyword
// ignores case and treats '.' like '_' (so _atom_site.fract_x matches
// _atom_site_fract_x), preferring an exact tag over one that merely contains
// the keyword.  Unquoted values '?' and '.' stand for unknown/inapplicable.
struct VELMORA_CIF_ITEM {
  std::string tag;
  std::string value;
  long row = 0;     // 0-based row of the tag
  int block = 0;    // index of the data block
};

struct VELMORA_CIF_LOOP {
  std::vector<std::string> tag;
  std::vector<std::string> value;   // all values in reading order
  std::vector<long> value_row;      // 0-based row of each value
  long row = 0;                     // row of its loop_ line
  int block = 0;
  std::string error;                // first syntax problem inside the loop
};

struct VELMORA_CIF_DOC {
  std::vector<VELMORA_CIF_ITEM> item;
  std::vector<VELMORA_CIF_LOOP> loop;
  std::vector<std::string> block_name;  // names after data_, in order
};

// A loop as a table: row 0 holds the tags, each further row one record.
using VELMORA_CIF_TABLE = std::vector<std::vector<std::string>>;

// Tokenises the rows (CIF 1.1 rules: quotes end at a quote followed by white
// space, ';' in column 1 opens a text field, '#' starts a comment) into items
// and loops.  Never fails; problems are recorded in the loops they affect.
void velmora_cif_doc_parse(VELMORA_CIF_DOC& doc, const std::vector<std::string>& rows);
// Keeps only the data block holding the atom sites (the first block, or the
// first one with an _atom_site_fract_x loop when there are several).
void velmora_cif_doc_select_block(VELMORA_CIF_DOC& doc);
// Normalised tag: lower case, '.' turned into '_'.
std::string velmora_cif_tag_normalize(const std::string& tag);
// 2 when `tag` equals `keyword` after normalisation, 1 when it contains it,
// else 0.
int velmora_cif_tag_match(const std::string& tag, const std::string& keyword);
// True for the unquoted null values '?' and '.' and for an empty value.
bool velmora_cif_value_is_null(const std::string& value);
// Reads a CIF number: a real with an optional standard uncertainty in
// parentheses (0.25(3) gives 0.25) or a fraction such as 1/3.
bool velmora_cif_read_number(const std::string& text, double& value);

// Document forms of the row scanners below.
std::optional<std::string> velmora_cif_doc_grep_keyword(const VELMORA_CIF_DOC& doc,
                                                        const char* keyword);
bool velmora_cif_doc_exist_keyword(const VELMORA_CIF_DOC& doc, const char* keyword);
const VELMORA_CIF_LOOP* velmora_cif_doc_find_loop(const VELMORA_CIF_DOC& doc,
                                                  const char* keyword);
int velmora_cif_doc_grep_loop(VELMORA_CIF_TABLE& table, int& rows, int& columns,
                              const char* keyword, const VELMORA_CIF_DOC& doc);

// ========================================================================
// CIF reader
// ========================================================================

// Reads a CIF file: the cell with every atom of the unit cell, and its space
// group.  `dir_symcards` and `dir_unitary` are the paths of the space-group
// settings file and the per-ion data file.  0 on success.
int velmora_cell_import_cif_from_file(std::unique_ptr<VELMORA_CELL>& cell,
                                      std::unique_ptr<VELMORA_SYMMETRY>& symmetry,
                                      const char* path, const char* dir_symcards,
                                      const char* dir_unitary);
int velmora_cell_import_cif_from_text(std::unique_ptr<VELMORA_CELL>& cell,
                                      std::unique_ptr<VELMORA_SYMMETRY>& symmetry,
                                      const VELMORA_TEXT* text, const char* dir_symcards,
                                      const char* dir_unitary);
// Reads base.0.cif ... base.(count-1).cif; empty on any failure.
std::vector<std::unique_ptr<VELMORA_CELL>> velmora_cells_import_cif_from_file(
    const char* base, int count, const char* dir_symcards, const char* dir_unitary);

// Row scanners on the text split into rows.
int velmora_cell_import_cif_exist_keyword(const char* keyword,
                                          const std::vector<std::string>& rows, long count);
// The value of a single item (quoted, bare or a text field), or none.
std::optional<std::string> velmora_cell_import_cif_grep_keyword(
    const char* keyword, const std::vector<std::string>& rows, long count);
// The loop holding a tag matching `keyword`, as a table.  0 on success.
int velmora_cell_import_cif_grep_loop(VELMORA_CIF_TABLE& table, int& table_rows,
                                      int& table_columns, const char* keyword,
                                      const std::vector<std::string>& rows, long count);
int velmora_array_char_1D_is_blank_line(const char* row);
char velmora_array_char_1D_first_nonspace_char(const char* row);

// Column readers on the atom-site table; atom i takes row i + 1.
int velmora_cell_import_cif_read_atom_name(std::vector<VELMORA_ATOM>& atom,
                                           const VELMORA_CIF_TABLE& table);
int velmora_cell_import_cif_read_atom_type(std::vector<VELMORA_ATOM>& atom,
                                           const VELMORA_CIF_TABLE& table);
int velmora_cell_import_cif_read_atom_typeos(std::vector<VELMORA_ATOM>& atom,
                                             const VELMORA_CIF_TABLE& table,
                                             const VELMORA_CIF_TABLE& type_table);
int velmora_cell_import_cif_read_atom(std::vector<VELMORA_ATOM>& atom,
                                      const VELMORA_CIF_TABLE& table);
int velmora_cell_import_cif_read_atom_constraint(std::vector<VELMORA_ATOM>& atom,
                                                 const VELMORA_CIF_TABLE& table);
// Cell edges shorter than this (A) are refused: the shortest repeat of any
// crystal is a few angstroms, and a sub-angstrom edge only multiplies the
// periodic images every pair sum visits.
constexpr double VELMORA_CELL_MIN_EDGE = 1.0;
// Fully occupied atoms (occupancy 0.99 or more) of different elements
// closer than this (A) are refused: the shortest bond in any solid, O-H, is
// about 0.7 A as X-ray refinements place hydrogen (0.74 A in the H2
// molecule), so two such atoms describe no crystal.  Partly occupied sites
// and atoms of one element may lie closer: they are the alternative places
// of a split site (also after a supercell has resolved its occupancies).
constexpr double VELMORA_CELL_MIN_DISTANCE = 0.5;
constexpr double VELMORA_CELL_FULL_OCCUPANCY = 0.99;
// Cells holding more atoms (summed occupancies) per A^3 than this are
// refused: the densest solids (diamond 0.18, metal hydrides about 0.2)
// stay ten times below it, and every pair sum grows with its square.
constexpr double VELMORA_CELL_MAX_DENSITY = 2.0;
// 0 for a cell within VELMORA_CELL_MAX_DENSITY whose fully occupied atoms
// of different elements lie at least VELMORA_CELL_MIN_DISTANCE apart;
// otherwise 1 after an error line naming the density or the closest pair.
int velmora_cell_check_crowding(const VELMORA_CELL* cell);
int velmora_cell_import_cif_read_lattice(VELMORA_CELL* cell,
                                         const std::vector<std::string>& rows, long count);
int velmora_cell_import_cif_read_lattice_doc(VELMORA_CELL* cell, const VELMORA_CIF_DOC& doc);

// How the element of a type symbol or label was read: an element symbol,
// the first letter of two that name no element (OW1, KA), two letters that
// once named another element (Cb), a symbol of no element kept as written
// (M1, Xx), or no letter at all.
enum class VELMORA_TYPE_READ { element, first_letter, obsolete, unknown, none };
// Element symbol (at most 2 characters, capitalised) from a type symbol or
// a label: the first letter plus the next one when that makes an element
// (Cl3a gives Cl, OW1 gives O).
VELMORA_TYPE_READ velmora_atom_type_from_text(const char* text, char type[3]);
// The same for site `site`, `what` naming the text ("label", "type
// symbol"): warns when the first letter alone is taken, refuses an old
// element symbol with an error line (2); 1 when the text holds no letter.
int velmora_atom_type_read(const char* text, const char* what, const char* site, char type[3]);
int velmora_atom_name_to_type(std::vector<VELMORA_ATOM>& atom);
// Oxidation state written in a label that begins with the element `type`
// (Fe2+M gives 2, O2- gives -2, Cl- gives -1); 99 when it carries none.
double velmora_atom_charge_from_name(const char* name, const char* type);
// Atoms without a charge from a type symbol (value 99) take the one written
// in their label, with a warning.
int velmora_atom_name_to_os(std::vector<VELMORA_ATOM>& atom);
// Splits atoms of fractional oxidation state (atom.value) into two
// integer-valence atoms of the same mean valence; sets os and resets value.
int velmora_atom_fork_os(std::vector<VELMORA_ATOM>& atom);
// Default oxidation states (column 4 of the per-ion file) for os == 99.
int velmora_atom_update_default_os(std::vector<VELMORA_ATOM>& atom, const char* dir_unitary);
void velmora_cell_update_name(VELMORA_CELL* cell);

// ========================================================================
// Cell geometry
// ========================================================================

double velmora_cell_calculate_volume(const VELMORA_CELL* cell);
void velmora_cell_update_lattice_cartesion(VELMORA_CELL* cell);
void velmora_cell_update_coordinate_cartesion(VELMORA_CELL* cell);
void velmora_cell_update_cartesion(VELMORA_CELL* cell);
void velmora_cell_update_lattice_fractional(VELMORA_CELL* cell);
void velmora_cell_update_coordinate_fractional(VELMORA_CELL* cell);
void velmora_cell_update_fractional(VELMORA_CELL* cell);
void velmora_cell_bound_fractional(VELMORA_CELL* cell);

// ========================================================================
// Space-group symmetry (velmora-import-symmetry.cpp)
// ========================================================================

// One setting of the space-group settings file, as read.
struct VELMORA_SYMCARDS_ENTRY {
  int id = 0;                     // International Tables number
  std::string hall;               // Hall symbol, full length
  std::string hm;                 // Hermann-Mauguin symbol, full length
  std::vector<std::string> op;    // operation texts
  bool valid = false;             // all lines present and readable
  // Comparison keys of the symbol, made on loading: lower case without
  // spaces (full and short symbol, old cubic notation) and the setting word.
  std::string key_full, key_short, key_alt, key_setting;
};

// Reads every setting of the file (after DATA_START, up to DATA_END).
int velmora_symcards_load(std::vector<VELMORA_SYMCARDS_ENTRY>& entry, const char* path);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_from_symcards_entry(
    const VELMORA_SYMCARDS_ENTRY& entry);
// Index of the setting a Hermann-Mauguin symbol, a number or a Hall symbol
// names among loaded settings (hints as for the lookups below), or -1.
int velmora_symcards_find_HM(const std::vector<VELMORA_SYMCARDS_ENTRY>& entry,
                             const char* symbol, const char* setting, const char* hall);
int velmora_symcards_find_id(const std::vector<VELMORA_SYMCARDS_ENTRY>& entry,
                             const char* number, const char* setting, const char* hall);
int velmora_symcards_find_Hall(const std::vector<VELMORA_SYMCARDS_ENTRY>& entry,
                               const char* symbol);

// Parses an operation such as "-y, x-y, z+1/3" into r_f and t_f.
int velmora_card_set_by_text(VELMORA_CARD* card, const char* text);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_new_p1();

// Lookups in the settings file.  A Hermann-Mauguin symbol is found first
// exactly, then written with other spacing, short or full, in old or new
// notation, with a setting suffix (':1', ':2', ':H', ':R', ':b' ...) or a
// trailing word (Z, S, H, R); the number by its exact value.
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_HM(const char* symbol,
                                                                        const char* path);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_id(const char* number,
                                                                        const char* path);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_Hall(const char* symbol,
                                                                          const char* path);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_internal_no(int number,
                                                                         const char* path);
// The same lookups with hints from the rest of the CIF: a setting code
// ('1', '2', 'H', 'R', ...) and a Hall symbol that picks among the settings
// sharing a symbol or number.  Empty hints are ignored.
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_HM_hinted(
    const char* symbol, const char* setting, const char* hall, const char* path);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_by_keyword_id_hinted(
    const char* number, const char* setting, const char* hall, const char* path);

// The space group of a CIF: its operation loop, else its Hermann-Mauguin
// symbol, Hall symbol or number looked up in the settings file.
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_from_array_char_2D(
    const std::vector<std::string>& rows, long count, const char* path);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_import_from_cif_doc(
    const VELMORA_CIF_DOC& doc, const char* path);

VELMORA_ATOM velmora_atom_spawn_by_card(const VELMORA_CARD* card, const VELMORA_ATOM* atom);
int velmora_atom_spawn_by_symmetry(std::vector<VELMORA_ATOM>& atom,
                                   const VELMORA_SYMMETRY* symmetry);
// Two atoms are one site when they are the same species (type and os) on
// the same place (0.005 in fractions) with the same occupancy up to the
// rounding of the written numbers (1 % relative).
bool velmora_atom_occupancy_equal(double a, double b);
bool velmora_atom_equal(const VELMORA_ATOM* a, const VELMORA_ATOM* b);
int velmora_atom_remove_duplicate(std::vector<VELMORA_ATOM>& atom);
int velmora_atom_name_compare(const char* a, const char* b);
// Canonical order: type, os, occupancy, natural name order (exchange sort).
void velmora_atom_sort(std::vector<VELMORA_ATOM>& atom);
int velmora_cell_count_type_os(VELMORA_CELL* cell);
std::unique_ptr<VELMORA_CELL> velmora_cell_reduce_by_symmetry(VELMORA_CELL* cell,
                                                              const VELMORA_SYMMETRY* symmetry);
int velmora_cell_flag_site_by_symmetry(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry);
bool velmora_cell_validate_by_symmetry(VELMORA_CELL* cell, const VELMORA_SYMMETRY* symmetry,
                                       double tolerance);
std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_calculate_from_cell(VELMORA_CELL* cell,
                                                                       double tolerance,
                                                                       const char* path);
int velmora_symmetry_fill_card_discrete(VELMORA_SYMMETRY* symmetry, const long n[3]);
void velmora_card_transform_vector3_long(long out[3], const long p[3], const long n[3],
                                         const VELMORA_CARD* card);

// ========================================================================
// Cell operations and CIF writer (velmora-import-cell.cpp)
// ========================================================================

// Atoms of different species closer than this share one crystallographic
// site (A); every occupancy operation uses it.
constexpr double VELMORA_SITE_SHARING_RADIUS = 0.3;

// Clears the scratch fields flag, value and ignored of every atom.
void velmora_cell_refresh(VELMORA_CELL* cell);
// Smallest distance between b and the images of a shifted by -1, 0, +1
// lattice vectors along each axis (27 images).
double velmora_cell_min_distance_btw_atoms(const VELMORA_CELL* cell, const VELMORA_ATOM* a,
                                           const VELMORA_ATOM* b);
std::unique_ptr<VELMORA_CELL> velmora_cell_supercell(const VELMORA_CELL* cell, const int n[3]);
// Supercell sized by the atom count, so that simulations see enough atoms.
std::unique_ptr<VELMORA_CELL> velmora_cell_supercell_default(const VELMORA_CELL* cell);
// 1 when an atom of (type, os) lies within the site-sharing radius of an
// atom of another species, else 0.
int velmora_cell_partial_occ_at_conducting_site(const VELMORA_CELL* cell, const char* type,
                                                int os);
// Random resolution of partial occupancies (rand() stream): at the sites
// that (type, os) shares with other species; of one species; of all.
std::unique_ptr<VELMORA_CELL> velmora_cell_assign_partial_occ_at_conducting_site(
    VELMORA_CELL* cell, const char* type, int os);
std::unique_ptr<VELMORA_CELL> velmora_cell_assign_partial_occ(VELMORA_CELL* cell,
                                                              const char* type, int os);
std::unique_ptr<VELMORA_CELL> velmora_cell_assign_partial_occ_all(VELMORA_CELL* cell);
// CIF text of the cell: its symmetry-distinct atoms and the operations of
// `symmetry` (P 1 when none is given), CR LF line ends.  With the settings
// file, the space-group symbol and number written are those of the setting
// whose operations the group has, the setting spelt out (R -3 m:H, F d -3
// m:2), so that readers going by the symbol rebuild the same crystal.
std::unique_ptr<VELMORA_TEXT> velmora_cell_export_cif_to_text(VELMORA_CELL* cell,
                                                              const VELMORA_SYMMETRY* symmetry,
                                                              const char* dir_symcards = nullptr);
int velmora_cell_export_cif_to_file(const char* path, VELMORA_CELL* cell,
                                    const VELMORA_SYMMETRY* symmetry,
                                    const char* dir_symcards = nullptr);
// The symbol (setting spelt out) and number of the settings-file entry with
// the same operations as `symmetry`; false when no entry has them.
bool velmora_symmetry_cif_symbol(std::string& symbol, int& number,
                                 const VELMORA_SYMMETRY* symmetry, const char* dir_symcards);

// ========================================================================
// Force-field parameters (velmora-import-property.cpp)
// ========================================================================

std::unique_ptr<VELMORA_PROPERTY> velmora_property_new(int total);
std::vector<VELMORA_PROPERTY_UNITARY> velmora_property_unitary_new(int total);
int velmora_property_binary_new(std::vector<std::vector<VELMORA_PROPERTY_BINARY>>& bin,
                                int total);
std::unique_ptr<VELMORA_PROPERTY> velmora_property_copy(const VELMORA_PROPERTY* ppt);

// The parameter set of a cell.  `type` (or nullptr) and `os` name the
// conducting species, appended when the cell lacks it; sf <= 0 asks for the
// automatic screening factor.  Sorts the cell's atoms into canonical order.
std::unique_ptr<VELMORA_PROPERTY> velmora_property_import_from_cell(
    VELMORA_CELL* cell, const char* type, int os, double sf, const char* dir_unitary,
    const char* dir_binary);
int velmora_property_update_index_by_cell(VELMORA_PROPERTY* ppt, VELMORA_CELL* cell);
int velmora_property_append_index(VELMORA_PROPERTY* ppt, const char* type, int os);
int velmora_property_update(VELMORA_PROPERTY* ppt, VELMORA_CELL* cell, const char* dir_unitary,
                            const char* dir_binary);

// Steps of the update.  A cation-anion pair or a charged species that the
// data files do not list is reported by name and fails the reading step.
int velmora_property_update_read_from_file(VELMORA_PROPERTY* ppt, const char* dir_unitary,
                                           const char* dir_binary);
int velmora_property_estimate(VELMORA_PROPERTY* ppt, const char* dir_binary);
int velmora_property_calculate_effective_b(VELMORA_PROPERTY* ppt, const VELMORA_CELL* cell);
int velmora_property_unitary_derived(VELMORA_PROPERTY* ppt);
int velmora_property_binary_derived(VELMORA_PROPERTY* ppt);
int velmora_property_calculate_fractional_charge(VELMORA_PROPERTY* ppt,
                                                 const VELMORA_CELL* cell);
int velmora_property_binary_pseudopotential(VELMORA_PROPERTY* ppt);

// Readers of one record.  `found` (optional) tells whether a line matched;
// a missing line leaves the values at zero and is not an error here.
int velmora_property_unitary_read_from_file(VELMORA_PROPERTY_UNITARY* uni, const char* type,
                                            int os, const char* path, bool* found = nullptr);
int velmora_property_bin_read_from_file(VELMORA_PROPERTY_BINARY* bin, const char* type1, int os1,
                                        const char* type2, int os2, const char* path,
                                        bool* found = nullptr);
// Reference coordination number (and cut-off) of a cation towards Cl, Br,
// I or S estimated from its F or O pair when the file gives none.
int velmora_property_binary_estimate_from_file(VELMORA_PROPERTY_BINARY* bin,
                                               const char* dir_binary);

int velmora_property_find_index(const VELMORA_PROPERTY* ppt, const char* type, int os);
// Species index of every atom of the cell; 1, after the message, when an
// atom's species is not in the parameter set.
int velmora_property_find_atom_indices(std::vector<int>& species, const VELMORA_CELL* cell,
                                       const VELMORA_PROPERTY* ppt);
// Largest cut-off over all pair records (0 when there are none).
double velmora_property_max_cutoff(const VELMORA_PROPERTY* ppt);
int velmora_property_set_conducting(VELMORA_PROPERTY* ppt, const char* type, int os);
// 0 when the cell holds cations and anions, the ions a force field binds;
// 1 after an error line naming the sign it lacks (its ions would carry no
// charge and no bond).
int velmora_property_check_counter_ions(const VELMORA_CELL* cell);
// Every species with charge, radius, mass and softness of the right sign
// and every pair record usable (velmora_property_validate_binary); 1 after
// an error line naming the first bad value, or, when `reason` is given,
// with that text in `reason` and nothing printed.
int velmora_property_validate_generic(const VELMORA_PROPERTY* ppt, std::string* reason = nullptr);
// The cation-anion pair records: cut-off, b and r0 positive and, with
// `force_field`, also cn, d0 and rmin; 1 after naming the first bad value.
int velmora_property_validate_binary(const VELMORA_PROPERTY* ppt, bool force_field,
                                     std::string* reason = nullptr);
int velmora_property_type_from_atomic_number(int an, VELMORA_ATOM* atom, const char* path);
void velmora_property_print(const VELMORA_PROPERTY* ppt);
void velmora_property_print_format(const VELMORA_PROPERTY* ppt);

// The command named in messages about missing data ("--cal-bv", ...); the
// handlers set it before building parameters.
void velmora_property_set_command(const char* command);
const char* velmora_property_command();

// ------------------------------------------------------- pair functions ----
// Energies in e^2/A and derivatives in e^2/A^2 (no Coulomb constant); x is
// the distance in A.  Bonded: Morse-type term between a cation and an anion
// with depth d0/2 at rmin.  Coulombic: erfc-screened repulsion of the charge
// product q with screening length r_eff, shifted to zero at 10 A.
double velmora_energy_bonding(double x, double d0, double rmin, double b);
double velmora_energy_bonding_with_energy_shift(double x, double d0, double rmin, double b,
                                                double en_s);
double velmora_force_bonding(double x, double d0, double rmin, double b);
double velmora_energy_coulombic(double x, double q, double r_eff);
double velmora_force_coulombic(double x, double q, double r_eff);
// Short-range replacements a2 x^2 + a1 x + a0.
double velmora_pseudopotential_energy_bonding(double x, double a2, double a1, double a0);
double velmora_pseudopotential_energy_coulombic(double x, double a2, double a1, double a0);

#endif  // VELMORA_IMPORT_H_

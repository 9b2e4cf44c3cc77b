// Core records of velmora: the growable text buffer through which every file
// is read and written, result files written whole or not at all, the report
// of exhausted memory, constructors and debugging prints of atoms, cells,
// symmetry operations and space groups, and zero-filled rectangular arrays.
#ifndef VELMORA_ALLOC_H_
#define VELMORA_ALLOC_H_

#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "velmora.h"

// ------------------------------------------------------ out of memory ----

// Memory exhausted in a stage that allocates a large block (the landscape
// grid, a pair list, the symmetry expansion, a neighbour list).  It is a
// std::bad_alloc carrying the name of the block and its size, so that the
// command frame, which catches every allocation failure, reports it in one
// line ("Error: not enough memory for ...") and the run ends with status 1.
// The text lives in the record itself: nothing is allocated to report.
struct VELMORA_NO_MEMORY : std::bad_alloc {
  char text[256];
  VELMORA_NO_MEMORY(const char* what, double bytes);
  const char* what() const noexcept override { return text; }
};
// Runs `stage`; an allocation failure inside it that has not been named yet
// becomes VELMORA_NO_MEMORY(what, bytes).
template <class Stage>
auto velmora_memory_stage(const char* what, double bytes, Stage&& stage) -> decltype(stage()) {
  try {
    return stage();
  } catch (const VELMORA_NO_MEMORY&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw VELMORA_NO_MEMORY(what, bytes);
  } catch (const std::length_error&) {
    throw VELMORA_NO_MEMORY(what, bytes);
  }
}

// ---------------------------------------------------------------- text ----

// A growable NUL-terminated text.  `allocated` follows the program's growth
// rule (whole kilobytes, at least 1024) so that the capacity is predictable;
// the characters themselves live in a std::string.
struct VELMORA_TEXT {
  std::string content;
  long length = 0;
  long allocated = 0;
  const char* c_str() const { return content.c_str(); }
};

std::unique_ptr<VELMORA_TEXT> velmora_text_new(const char* init = nullptr);
int velmora_text_append(VELMORA_TEXT* text, const char* str);
// printf-style append of one formatted piece of at most 1023 characters.
int velmora_text_append_format(VELMORA_TEXT* text, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int velmora_text_cat(VELMORA_TEXT* dst, const VELMORA_TEXT* src);
int velmora_text_dump(VELMORA_TEXT* text);
void velmora_text_print(const VELMORA_TEXT* text);
std::unique_ptr<VELMORA_TEXT> velmora_text_import_from_file(const char* path);
// ------------------------------------------------------------- outputs ----
//
// Every result file is written whole or not at all: `data` goes to a
// temporary file in the same directory, named "<path>.velmora-unfinished.
// <host>.<pid>.XXXXXX", which replaces `path` only once it is complete on
// disk.  While it exists its name is registered, and SIGINT, SIGTERM and
// SIGHUP remove it before the program ends by the signal; one left by a
// SIGKILL or a crash is removed by the next run on this host that writes
// `path`.  An existing `path` that is not a regular file (a device such as
// /dev/null, a FIFO, a directory, a symbolic link) is refused and left as
// it is: a link is not followed either, since a link planted in a shared
// directory would send the result wherever it points.
//
// The files of one run form a set (the command frame opens one around
// every command): within a set a finished file waits under its temporary
// name, and velmora_output_set_commit renames the whole set at the end of
// a successful run; a failed, refused or interrupted run leaves every file
// of the earlier run as it was, never a mix of two runs.  Without an open
// set (unit tests, library use) a finished file is renamed at once.
//
// No result file holds a non-finite number: a file in which printf has
// written "nan", "-nan", "inf" or "-inf" (or their capitals) as a word is
// refused at commit, after an error line naming the file and the line.
//
// Statuses: 0 on success; 1 when the file cannot be created, 2 when it
// cannot be written whole (nothing is left behind), 3 when `path` or the
// content is refused (after an error line).
int velmora_file_write_atomically(const char* path, const std::string& data);
// `data` added to the end of what `path` holds (this run's version when it
// has written one), through a complete rewrite; statuses as above.
int velmora_file_append_atomically(const char* path, const std::string& data);
// The same in pieces, for results too large to compose in memory first:
// open, write any number of times, commit.  An output not committed is
// removed when the record is destroyed (also when an exception unwinds).
struct VELMORA_OUTPUT {
  std::string path;   // the final name
  int fd = -1;        // the temporary file, -1 when none is open
  int slot = -1;      // its entry in the registry of pending temporary names
  bool ok = true;     // false once a write has failed
  // The scan for non-finite numbers ("nan", "-inf", ...) across writes:
  // the word being read, its length, the current line, the first found.
  char word[8] = {};
  int word_length = 0;
  long line = 1;
  long bad_line = 0;
  char bad_word[8] = {};
  VELMORA_OUTPUT() = default;
  VELMORA_OUTPUT(const VELMORA_OUTPUT&) = delete;
  VELMORA_OUTPUT& operator=(const VELMORA_OUTPUT&) = delete;
  ~VELMORA_OUTPUT();
};
// Statuses as velmora_file_write_atomically's: 0, 1 (cannot create), 3
// (refused, after an error line).
int velmora_output_open(VELMORA_OUTPUT& out, const char* path);
// 0, or 2 when the data could not be written (the output is then abandoned
// at commit).
int velmora_output_write(VELMORA_OUTPUT& out, const char* data, std::size_t size);
// Flushes the file to disk and hands it to the open set (renames it over
// the final name when no set is open): 0, 2 when anything failed (the
// temporary file is removed), 3 when the final name has meanwhile become
// something other than a regular file or the content holds a non-finite
// number (after an error line).
int velmora_output_commit(VELMORA_OUTPUT& out);
// Closes and removes an uncommitted temporary file.
void velmora_output_abandon(VELMORA_OUTPUT& out);

// The set of one run.  Sets nest: only the outermost commit renames.
void velmora_output_set_begin();
// Renames every file of the set over its final name and removes the stale
// files named to velmora_output_remove_stale; 0, or 1 after an error line
// (a final name refused: nothing is renamed).
int velmora_output_set_commit();
// Removes every temporary file of the set; earlier files stay as they are.
void velmora_output_set_abandon();
// Files waiting in the open set.
int velmora_output_set_size();
// The set of one scope: abandoned when the scope ends without commit().
struct VELMORA_OUTPUT_SET {
  bool open = true;
  VELMORA_OUTPUT_SET() { velmora_output_set_begin(); }
  int commit() {
    open = false;
    return velmora_output_set_commit();
  }
  ~VELMORA_OUTPUT_SET() {
    if (open) velmora_output_set_abandon();
  }
  VELMORA_OUTPUT_SET(const VELMORA_OUTPUT_SET&) = delete;
  VELMORA_OUTPUT_SET& operator=(const VELMORA_OUTPUT_SET&) = delete;
};
// A file of an earlier run that this run does not produce (it would
// describe another result): removed with the commit of the open set, at
// once without one.  0, or 1 when it exists and cannot be removed.
int velmora_output_remove_stale(const char* path);
// The name under which the content of `path` stands now: this run's
// temporary file when the open set holds one, else `path`.
std::string velmora_output_current_name(const char* path);

// 0 when `path` may receive a result (absent, or a regular file); 3, after
// the error line, when it may not.  Commands check their output names
// before long computations with it.
int velmora_file_check_output(const char* path);
// 0 when the results named after `prefix` (prefix + ".gin", ".md.txt",
// ...) may be written: `prefix` is absent or a regular file; 3, after the
// error line, when it names a device, FIFO, directory or socket
// (/dev/null as prefix would write /dev/null.gin).
int velmora_file_check_prefix(const char* prefix);
// 0 when `path` can be created and written (tried with a temporary file
// that is removed again); 1 or 3 after an error line.  Long runs check
// their outputs with it before they start.
int velmora_file_check_writable(const char* path);
// Temporary names of the outputs being written (for tests): how many are
// pending now.
int velmora_output_pending_count();
// The text through velmora_file_write_atomically, with an error line.
int velmora_text_export_to_file(const VELMORA_TEXT* text, const char* path);
int velmora_text_append_to_file(const VELMORA_TEXT* text, const char* path);
// Splits the text into rows at `delimiter` (and at NUL characters); N lines
// each ended by the delimiter give N + 1 rows, the last one empty.
int velmora_text_segregate_into_rows(std::vector<std::string>& rows, long& count,
                                     const VELMORA_TEXT* text, char delimiter);

// ------------------------------------------------- atoms, cells, groups ----

// `count` zeroed atoms; empty (after a message) when count is not positive.
std::vector<VELMORA_ATOM> velmora_atom_new(long count);
void velmora_atom_print(const VELMORA_ATOM* atom);

std::unique_ptr<VELMORA_CELL> velmora_cell_new(long count);
std::unique_ptr<VELMORA_CELL> velmora_cell_copy(const VELMORA_CELL* cell);
void velmora_cell_print(const VELMORA_CELL* cell);
// True when the cell exists and holds atoms; otherwise false after the line
// "Error: VELMORA_CELL has not been properly initialized.".
bool velmora_cell_ready(const VELMORA_CELL* cell);

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_new(int count);
void velmora_symmetry_print(const VELMORA_SYMMETRY* symmetry);
void velmora_symmetry_print_discrete(const VELMORA_SYMMETRY* symmetry);
// True when the space group exists and holds operations; otherwise false
// after the line "Error: VELMORA_SYMMETRY has not been properly initialized.".
bool velmora_symmetry_ready(const VELMORA_SYMMETRY* symmetry);
void velmora_card_print(const VELMORA_CARD* card);
void velmora_card_print_discrete(const VELMORA_CARD* card);

// ---------------------------------------------------------------- arrays ----

// Zero-filled rectangular arrays.  Every dimension must be at least 1; an
// invalid size prints the allocation message and gives an empty array.
using VELMORA_ARRAY_INT_1D = std::vector<int>;
using VELMORA_ARRAY_INT_2D = std::vector<std::vector<int>>;
using VELMORA_ARRAY_INT_3D = std::vector<std::vector<std::vector<int>>>;
using VELMORA_ARRAY_DOUBLE_1D = std::vector<double>;
using VELMORA_ARRAY_DOUBLE_2D = std::vector<std::vector<double>>;
using VELMORA_ARRAY_DOUBLE_3D = std::vector<std::vector<std::vector<double>>>;
using VELMORA_ARRAY_CHAR_1D = std::vector<char>;
using VELMORA_ARRAY_CHAR_2D = std::vector<std::vector<char>>;
using VELMORA_ARRAY_CHAR_3D = std::vector<std::vector<std::vector<char>>>;

VELMORA_ARRAY_INT_1D velmora_array_int_1D_new(int d1);
VELMORA_ARRAY_INT_2D velmora_array_int_2D_new(int d1, int d2);
VELMORA_ARRAY_INT_3D velmora_array_int_3D_new(int d1, int d2, int d3);
VELMORA_ARRAY_DOUBLE_1D velmora_array_double_1D_new(int d1);
VELMORA_ARRAY_DOUBLE_2D velmora_array_double_2D_new(int d1, int d2);
VELMORA_ARRAY_DOUBLE_3D velmora_array_double_3D_new(int d1, int d2, int d3);
VELMORA_ARRAY_CHAR_1D velmora_array_char_1D_new(int d1);
VELMORA_ARRAY_CHAR_2D velmora_array_char_2D_new(int d1, int d2);
VELMORA_ARRAY_CHAR_3D velmora_array_char_3D_new(int d1, int d2, int d3);
// One line of " %f" entries per row.
void velmora_array_double_2D_print(const VELMORA_ARRAY_DOUBLE_2D& array, int d1, int d2);

#endif  // VELMORA_ALLOC_H_

// Core records of velmora: the growable text buffer through which every file
// is read and written, constructors and debugging prints of atoms, cells,
// symmetry operations and space groups, and zero-filled rectangular arrays.
#ifndef VELMORA_ALLOC_H_
#define VELMORA_ALLOC_H_

#include <memory>
#include <string>
#include <vector>

#include "velmora.h"

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
// Every result file is written whole or not at all: `data` goes to a
// temporary file in the same directory, which is renamed over `path` only
// once it is complete on disk.  0 on success; 1 when the file cannot be
// created, 2 when it cannot be written whole (nothing is left behind).
int velmora_file_write_atomically(const char* path, const std::string& data);
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

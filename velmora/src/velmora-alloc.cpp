// Core records of velmora: text buffer (read from and written to files
// through the outputs of velmora-output.cpp), atom/cell/symmetry
// constructors and prints, zero-filled arrays.  Storage is held by standard
// containers; the text keeps the program's kilobyte growth rule.
#include "velmora-alloc.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Capacity for `needed` characters plus the terminator, in whole kilobytes.
long velmora_text_capacity(long needed) { return (needed / 1024 + 1) * 1024; }

}  // namespace

// ------------------------------------------------------ out of memory ----

VELMORA_NO_MEMORY::VELMORA_NO_MEMORY(const char* what, double bytes) {
  // Whole megabytes, or kilobytes for small blocks.
  if (bytes >= 1048576.0)
    std::snprintf(text, sizeof text, "%s (%.0f MB)", what, bytes / 1048576.0);
  else
    std::snprintf(text, sizeof text, "%s (%.0f kB)", what, bytes / 1024.0);
}

// ---------------------------------------------------------------- text ----

std::unique_ptr<VELMORA_TEXT> velmora_text_new(const char* init) {
  auto text = std::make_unique<VELMORA_TEXT>();
  text->allocated = 1024;
  text->content.reserve(1024);
  if (init && velmora_text_append(text.get(), init) != 0) {
    std::fprintf(stderr, "Error: velmora_text_append() returns non-zero.\n");
    return nullptr;
  }
  return text;
}

int velmora_text_append(VELMORA_TEXT* text, const char* str) {
  if (!text || !str) return 0;
  const long added = static_cast<long>(std::strlen(str));
  if (text->length + added >= text->allocated) {
    const long capacity = velmora_text_capacity(added + text->length + 1);
    try {
      text->content.reserve(static_cast<std::size_t>(capacity));
    } catch (const std::exception&) {
      std::fprintf(stderr, "Error: unable to reallocate VELMORA->content.\n");
      text->content.clear();
      text->content.shrink_to_fit();
      text->length = 0;
      text->allocated = 0;
      return 1;
    }
    text->allocated = capacity;
  }
  text->content.append(str, static_cast<std::size_t>(added));
  text->length += added;
  return 0;
}

int velmora_text_append_format(VELMORA_TEXT* text, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return velmora_text_append(text, line);
}

int velmora_text_cat(VELMORA_TEXT* dst, const VELMORA_TEXT* src) {
  if (!dst || !src) {
    std::fprintf(stderr, "Error: VELMORA_TEXT has not been properly initialized.\n");
    return 1;
  }
  if (src->length == 0) return 0;
  // Copy first: the source may be the destination itself.
  const std::string piece = src->content;
  if (velmora_text_append(dst, piece.c_str()) != 0) {
    std::fprintf(stderr, "Error: velmora_text_append() returns non-zero value.\n");
    return 1;
  }
  return 0;
}

int velmora_text_dump(VELMORA_TEXT* text) {
  if (!text) {
    std::fprintf(stderr, "Error: VELMORA_TEXT has not been properly allocated.\n");
    return 1;
  }
  text->content.clear();
  text->content.shrink_to_fit();
  text->content.reserve(1024);
  text->length = 0;
  text->allocated = 1024;
  return 0;
}

void velmora_text_print(const VELMORA_TEXT* text) {
  if (!text) {
    std::printf("(not allocated)\n");
    return;
  }
  std::printf("%s\n", text->content.c_str());
}

std::unique_ptr<VELMORA_TEXT> velmora_text_import_from_file(const char* path) {
  // Only regular files are read: a directory or device would report a
  // meaningless size.
  struct stat info;
  if (!path || stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fprintf(stderr, "Error: unable to open %s\n", path ? path : "(null)");
    return nullptr;
  }
  std::FILE* file = std::fopen(path, "rb");
  if (!file) {
    std::fprintf(stderr, "Error: unable to open %s\n", path);
    return nullptr;
  }
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  auto text = std::make_unique<VELMORA_TEXT>();
  // Files of more than 1 GiB are not crystal structures.
  if (size < 0 || size > (1L << 30)) {
    std::fprintf(stderr, "Error: unable to allocate buffer for cif.\n");
    std::fclose(file);
    return nullptr;
  }
  text->allocated = velmora_text_capacity(size + 1);
  text->content.assign(static_cast<std::size_t>(size), '\0');
  const std::size_t got =
      size > 0 ? std::fread(&text->content[0], 1, static_cast<std::size_t>(size), file) : 0;
  std::fclose(file);
  if (size == 0 || got != static_cast<std::size_t>(size)) {
    std::fprintf(stderr, "Error: failed to read content of %s\n", path);
    return nullptr;
  }
  text->length = size;
  return text;
}

namespace {

// The text (up to its terminator, as a C string would be written) through
// `write`, with an error line for a file that cannot be opened or written.
int text_to_file(const VELMORA_TEXT* text, const char* path,
                 int (*write)(const char*, const std::string&)) {
  if (!text) {
    std::fprintf(stderr, "Error: VELMORA_TEXT has not been properly allocated.\n");
    return 1;
  }
  const int status = write(path, std::string(text->content.c_str()));
  if (status == 3) return 1;  // refused, and said why
  if (status != 0) {
    std::fprintf(stderr, "Error: unable to %s %s.\n", status == 1 ? "open" : "write",
                 path ? path : "(null)");
    return 1;
  }
  return 0;
}

}  // namespace

int velmora_text_export_to_file(const VELMORA_TEXT* text, const char* path) {
  return text_to_file(text, path, velmora_file_write_atomically);
}

int velmora_text_append_to_file(const VELMORA_TEXT* text, const char* path) {
  return text_to_file(text, path, velmora_file_append_atomically);
}

int velmora_text_segregate_into_rows(std::vector<std::string>& rows, long& count,
                                     const VELMORA_TEXT* text, char delimiter) {
  rows.clear();
  count = 0;
  if (!text) {
    std::fprintf(stderr, "Error: unable to allocate content.\n");
    return 1;
  }
  // Positions 0 to length inclusive: the terminator ends the last row.
  const std::string& s = text->content;
  const std::size_t n = static_cast<std::size_t>(text->length);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= n; ++i) {
    const char c = i < n ? s[i] : '\0';
    if (c == delimiter || c == '\0') {
      rows.emplace_back(s, start, i - start);
      start = i + 1;
    }
  }
  count = static_cast<long>(rows.size());
  std::printf("Message: total lines in the cif: %ld\n", count);
  return 0;
}

// ------------------------------------------------- atoms, cells, groups ----

std::vector<VELMORA_ATOM> velmora_atom_new(long count) {
  if (count <= 0) {
    std::fprintf(stderr, "Error: number of atoms must be positive.\n");
    return {};
  }
  return std::vector<VELMORA_ATOM>(static_cast<std::size_t>(count));
}

void velmora_atom_print(const VELMORA_ATOM* atom) {
  if (!atom) {
    std::printf("ATOM: (not allocated)\n");
    return;
  }
  std::printf("ATOM: name=%6s;type=%2s;os=%2d;x_f=(%5.3f,%5.3f,%5.3f);occ=%5.3f\n",
              atom->name, atom->type, atom->os, atom->x_f[0], atom->x_f[1], atom->x_f[2],
              atom->occ);
}

std::unique_ptr<VELMORA_CELL> velmora_cell_new(long count) {
  auto cell = std::make_unique<VELMORA_CELL>();
  if (count > 0) {
    cell->atom.resize(static_cast<std::size_t>(count));
    cell->total = count;
  }
  return cell;
}

std::unique_ptr<VELMORA_CELL> velmora_cell_copy(const VELMORA_CELL* cell) {
  if (!cell) return nullptr;
  return std::make_unique<VELMORA_CELL>(*cell);
}

bool velmora_cell_ready(const VELMORA_CELL* cell) {
  if (cell && !cell->atom.empty()) return true;
  std::fprintf(stderr, "Error: VELMORA_CELL has not been properly initialized.\n");
  return false;
}

bool velmora_symmetry_ready(const VELMORA_SYMMETRY* symmetry) {
  if (symmetry && !symmetry->card.empty()) return true;
  std::fprintf(stderr, "Error: VELMORA_SYMMETRY has not been properly initialized.\n");
  return false;
}

void velmora_cell_print(const VELMORA_CELL* cell) {
  if (!cell) {
    std::printf("CELL: (not allocated)\n");
    return;
  }
  std::printf("CELL: name: %s\n", cell->name);
  std::printf("CELL: vector matrix:\n");
  for (int i = 0; i < 3; ++i) {
    std::printf("CELL:            ");
    for (int j = 0; j < 3; ++j) std::printf(" %11.6f", cell->a[i][j]);
    std::printf("\n");
  }
  std::printf("CELL: parameters: %11.6f %11.6f %11.6f\n", cell->parameter[0],
              cell->parameter[1], cell->parameter[2]);
  std::printf("CELL: angles:     %11.6f %11.6f %11.6f\n", cell->angle[0], cell->angle[1],
              cell->angle[2]);
  std::printf("CELL: total atom: %ld\n", cell->total);
  for (std::size_t i = 0; i < cell->atom.size(); ++i) {
    std::printf("CELL: [%3d]", static_cast<int>(i));
    velmora_atom_print(&cell->atom[i]);
  }
}

std::unique_ptr<VELMORA_SYMMETRY> velmora_symmetry_new(int count) {
  auto symmetry = std::make_unique<VELMORA_SYMMETRY>();
  if (count > 0) {
    symmetry->card.resize(static_cast<std::size_t>(count));
    symmetry->total = count;
  }
  return symmetry;
}

namespace {

void velmora_symmetry_print_with(const VELMORA_SYMMETRY* symmetry,
                                 void (*print_card)(const VELMORA_CARD*)) {
  if (!symmetry || symmetry->card.empty()) {
    std::printf("SYMMETRY: (not allocated)\n");
    return;
  }
  std::printf("SYMMETRY: Hermann-Maugui group symbol: %s\n", symmetry->sg_HM);
  std::printf("SYMMETRY: Hall group symbol: %s\n", symmetry->sg_Hall);
  std::printf("SYMMETRY: International Table ID: %d\n", symmetry->sg_id);
  std::printf("SYMMETRY: Total number of cards: %d\n", symmetry->total);
  for (const VELMORA_CARD& card : symmetry->card) print_card(&card);
}

}  // namespace

void velmora_symmetry_print(const VELMORA_SYMMETRY* symmetry) {
  velmora_symmetry_print_with(symmetry, velmora_card_print);
}

void velmora_symmetry_print_discrete(const VELMORA_SYMMETRY* symmetry) {
  velmora_symmetry_print_with(symmetry, velmora_card_print_discrete);
}

namespace {

// A card's text and rows: the real rotation and translation, or (discrete)
// their integer grid forms.
void velmora_card_print_as(const VELMORA_CARD* card, bool discrete) {
  if (!card) {
    std::printf("CARD: (not allocated)\n");
    return;
  }
  std::printf("CARD: text:%s\n", card->text);
  for (int i = 0; i < 3; ++i)
    if (discrete)
      std::printf("CARD:  %2d %2d %2d      %ld\n", card->r_i[i][0], card->r_i[i][1],
                  card->r_i[i][2], card->t_i[i]);
    else
      std::printf("CARD:  %6.3f %6.3f %6.3f      %6.3f\n", card->r_f[i][0], card->r_f[i][1],
                  card->r_f[i][2], card->t_f[i]);
}

}  // namespace

void velmora_card_print(const VELMORA_CARD* card) { velmora_card_print_as(card, false); }

void velmora_card_print_discrete(const VELMORA_CARD* card) { velmora_card_print_as(card, true); }

// ---------------------------------------------------------------- arrays ----

namespace {

template <typename T>
std::vector<T> velmora_array_1D(int d1) {
  if (d1 < 1) {
    std::fprintf(stderr, "Error: unable to allocate VELMORA_ARRAY_1D.\n");
    return {};
  }
  return std::vector<T>(static_cast<std::size_t>(d1), T{});
}

template <typename T>
std::vector<std::vector<T>> velmora_array_2D(int d1, int d2) {
  if (d1 < 1 || d2 < 1) {
    std::fprintf(stderr, "Error: unable to allocate VELMORA_ARRAY_2D.\n");
    return {};
  }
  return std::vector<std::vector<T>>(static_cast<std::size_t>(d1),
                                     std::vector<T>(static_cast<std::size_t>(d2), T{}));
}

template <typename T>
std::vector<std::vector<std::vector<T>>> velmora_array_3D(int d1, int d2, int d3) {
  if (d1 < 1 || d2 < 1 || d3 < 1) {
    std::fprintf(stderr, "Error: unable to allocate VELMORA_ARRAY_3D.\n");
    return {};
  }
  return std::vector<std::vector<std::vector<T>>>(
      static_cast<std::size_t>(d1),
      std::vector<std::vector<T>>(static_cast<std::size_t>(d2),
                                  std::vector<T>(static_cast<std::size_t>(d3), T{})));
}

}  // namespace

VELMORA_ARRAY_INT_1D velmora_array_int_1D_new(int d1) { return velmora_array_1D<int>(d1); }
VELMORA_ARRAY_INT_2D velmora_array_int_2D_new(int d1, int d2) {
  return velmora_array_2D<int>(d1, d2);
}
VELMORA_ARRAY_INT_3D velmora_array_int_3D_new(int d1, int d2, int d3) {
  return velmora_array_3D<int>(d1, d2, d3);
}
VELMORA_ARRAY_DOUBLE_1D velmora_array_double_1D_new(int d1) {
  return velmora_array_1D<double>(d1);
}
VELMORA_ARRAY_DOUBLE_2D velmora_array_double_2D_new(int d1, int d2) {
  return velmora_array_2D<double>(d1, d2);
}
VELMORA_ARRAY_DOUBLE_3D velmora_array_double_3D_new(int d1, int d2, int d3) {
  return velmora_array_3D<double>(d1, d2, d3);
}
VELMORA_ARRAY_CHAR_1D velmora_array_char_1D_new(int d1) { return velmora_array_1D<char>(d1); }
VELMORA_ARRAY_CHAR_2D velmora_array_char_2D_new(int d1, int d2) {
  return velmora_array_2D<char>(d1, d2);
}
VELMORA_ARRAY_CHAR_3D velmora_array_char_3D_new(int d1, int d2, int d3) {
  return velmora_array_3D<char>(d1, d2, d3);
}

void velmora_array_double_2D_print(const VELMORA_ARRAY_DOUBLE_2D& array, int d1, int d2) {
  for (int i = 0; i < d1 && i < static_cast<int>(array.size()); ++i) {
    for (int j = 0; j < d2 && j < static_cast<int>(array[i].size()); ++j)
      std::printf(" %f", array[i][j]);
    std::printf("\n");
  }
}

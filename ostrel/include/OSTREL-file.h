// Files that close themselves: a FILE handle owned by a unique_ptr (closed
// on every return path); input files opened only when they are regular files
// of a bounded size; and output files written under a temporary name in the
// same directory and renamed over the final name only once every byte has
// been flushed, so that a failed or interrupted run never leaves a partial
// file under the final name.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

struct OSTREL_file_closer {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};
using OSTREL_file = std::unique_ptr<FILE, OSTREL_file_closer>;

// fopen() wrapped in its owner; empty when the file cannot be opened.
OSTREL_file OSTREL_open_file(const char* name, const char* mode);

// Largest inputs read.  A structure of the largest cell the reader takes
// (20000 atoms, with anisotropic displacements and the symmetry listed)
// needs a few MB; a landscape of the largest grid (2^26 points) about
// 1.5 GB at 20 characters a value.
constexpr long long OSTREL_MAX_CIF_BYTES = 64LL << 20;    // 64 MiB
constexpr long long OSTREL_MAX_CUBE_BYTES = 2LL << 30;    // 2 GiB

// Opens an input file for reading.  Only a regular file is read (a device
// such as /dev/zero, a FIFO or a directory would never end, block or mean
// nothing), and only up to `max_bytes`.  `kind` names the file in the
// messages ("CIF", "CUBE"); a file that cannot be opened gives
// "Error: Unable to open <kind> file".  Returns an empty handle with the
// message printed on refusal; `size` receives the file's size.
OSTREL_file OSTREL_open_input(const char* name, const char* kind, long long max_bytes,
                              long long* size);

// Reads a whole input file (see OSTREL_open_input) into `text`; 1 with the
// message printed when it is refused or cannot be read.
int OSTREL_read_input(const char* name, const char* kind, long long max_bytes, std::string* text);

enum OSTREL_write_status {
  OSTREL_WRITE_DONE = 0,       // the file holds what `write` wrote
  OSTREL_WRITE_FAILED = 1,     // `write` returned non-zero; nothing replaced
  OSTREL_WRITE_UNWRITABLE = 2  // the file could not be created, written or
                               // renamed, or its name is taken by something
                               // other than a regular file
};

// Writes the file `name`: `write` fills the stream of a temporary file
// beside it, "<name>.ostrel-partial-<pid>-XXXXXX", which replaces `name`
// when `write` returned 0 and the final flush and close succeeded.  An
// existing `name` that is not a regular file (a device node, FIFO, symbolic
// link or directory) is never replaced.  Should SIGINT or SIGTERM arrive
// while the file is written, the temporary file is removed before the
// program ends by the signal; only SIGKILL can leave one, recognisable by
// its name.  Memory exhausted inside `write` counts as its failure, with
// the allocation message printed.  Prints nothing else; the caller names the
// file in its own message.
OSTREL_write_status OSTREL_write_file(const char* name, const std::function<int(FILE*)>& write);

// The directory that receives the analyzer's fixed-name output files
// (OSTREL_summary.txt, OSTREL_rp.csv, ...): the working directory until set.
// Setting it creates the directory and any missing parents; a name that
// exists and is not a directory (or cannot be made) is refused with a
// message and 1.  Two runs with different directories never share a file.
int OSTREL_set_output_directory(const std::string& dir);
// A fixed output name placed in that directory ("DIR/name", or the name
// itself for the working directory).
std::string OSTREL_output_path(const char* name);

// The part of a temporary output name that follows the final name.
extern const char* const OSTREL_PARTIAL_MARK;

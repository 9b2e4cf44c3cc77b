// Files that close themselves: a FILE handle owned by a unique_ptr (closed
// on every return path), and output files written under a temporary name in
// the same directory and renamed over the final name only once every byte
// has been flushed, so that a failed run never leaves a partial file.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>

struct OSTREL_file_closer {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};
using OSTREL_file = std::unique_ptr<FILE, OSTREL_file_closer>;

// fopen() wrapped in its owner; empty when the file cannot be opened.
OSTREL_file OSTREL_open_file(const char* name, const char* mode);

enum OSTREL_write_status {
  OSTREL_WRITE_DONE = 0,      // the file holds what `write` wrote
  OSTREL_WRITE_FAILED = 1,    // `write` returned non-zero; nothing replaced
  OSTREL_WRITE_UNWRITABLE = 2 // the file could not be created, written or renamed
};

// Writes the file `name`: `write` fills the stream of a temporary file
// beside it, which replaces `name` when `write` returned 0 and the final
// flush and close succeeded.  Prints nothing; the caller names the file in
// its own message.
OSTREL_write_status OSTREL_write_file(const char* name, const std::function<int(FILE*)>& write);

// Copies a file onto a stream; 1 when it cannot be read.
int OSTREL_copy_file_to_stream(const char* name, FILE* stream);

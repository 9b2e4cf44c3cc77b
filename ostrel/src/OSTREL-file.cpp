// Output files through a temporary name (opened exclusively with the usual
// 0666 & ~umask permissions, renamed over the final name once flushed and
// closed without error) and the owned FILE handle used by every reader.
#include "OSTREL-file.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

OSTREL_file OSTREL_open_file(const char* name, const char* mode) {
  return OSTREL_file(fopen(name, mode));
}

OSTREL_write_status OSTREL_write_file(const char* name, const std::function<int(FILE*)>& write) {
  const std::string temp = std::string(name) + "." + std::to_string((long)getpid()) + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0)
    return OSTREL_WRITE_UNWRITABLE;
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    close(fd);
    unlink(temp.c_str());
    return OSTREL_WRITE_UNWRITABLE;
  }
  const int failed = write(f);
  // A full disk shows only when the buffered rest is flushed.
  const bool unwritten = ferror(f) | fclose(f);
  if (failed || unwritten || rename(temp.c_str(), name) != 0) {
    unlink(temp.c_str());
    return failed ? OSTREL_WRITE_FAILED : OSTREL_WRITE_UNWRITABLE;
  }
  return OSTREL_WRITE_DONE;
}

int OSTREL_copy_file_to_stream(const char* name, FILE* stream) {
  OSTREL_file in = OSTREL_open_file(name, "rb");
  if (!in)
    return 1;
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) fwrite(buf, 1, n, stream);
  fflush(stream);
  return ferror(in.get());
}

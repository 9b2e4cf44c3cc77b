// Input files checked before reading (regular file, bounded size, opened
// without blocking on a FIFO) and output files through a temporary name
// (created exclusively with the usual 0666 & ~umask permissions, removed by
// a handler should SIGINT or SIGTERM arrive while it is written, renamed
// over the final name once flushed and closed without error).
#include "OSTREL-file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "OSTREL-list.h"

const char* const OSTREL_PARTIAL_MARK = ".ostrel-partial-";

OSTREL_file OSTREL_open_file(const char* name, const char* mode) {
  return OSTREL_file(fopen(name, mode));
}

// ===========================================================================
// Input files
// ===========================================================================

OSTREL_file OSTREL_open_input(const char* name, const char* kind, long long max_bytes,
                              long long* size) {
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for
  // ever; the flag is cleared again before anything is read.
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "Error: Unable to open %s file %s: %s\n", kind, name, strerror(errno));
    return OSTREL_file();
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    fprintf(stderr, "Error: %s file %s is not a regular file\n", kind, name);
    close(fd);
    return OSTREL_file();
  }
  if ((long long)st.st_size > max_bytes) {
    fprintf(stderr, "Error: %s file %s holds %lld bytes, more than the %lld MB read\n", kind,
            name, (long long)st.st_size, max_bytes >> 20);
    close(fd);
    return OSTREL_file();
  }
  const int flags = fcntl(fd, F_GETFL);
  FILE* f = flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1 ? nullptr
                                                                         : fdopen(fd, "rb");
  if (!f) {
    fprintf(stderr, "Error: Unable to open %s file %s: %s\n", kind, name, strerror(errno));
    close(fd);
    return OSTREL_file();
  }
  if (size) *size = (long long)st.st_size;
  return OSTREL_file(f);
}

int OSTREL_read_input(const char* name, const char* kind, long long max_bytes, std::string* text) {
  long long size = 0;
  OSTREL_file f = OSTREL_open_input(name, kind, max_bytes, &size);
  if (!f)
    return 1;
  return OSTREL_catch_memory(nullptr, [&] {
    text->clear();
    text->reserve((size_t)size);
    // Read to the end, not to the size seen at opening: a file that grows
    // meanwhile is still cut at the limit.
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
      if ((long long)(text->size() + n) > max_bytes) {
        fprintf(stderr, "Error: %s file %s holds more than the %lld MB read\n", kind, name,
                max_bytes >> 20);
        return 1;
      }
      text->append(buf, n);
    }
    if (ferror(f.get())) {
      fprintf(stderr, "Error: Unable to read %s file %s\n", kind, name);
      return 1;
    }
    return 0;
  });
}

// ===========================================================================
// Output files
// ===========================================================================

namespace {

// The temporary file being written, for the signal handler: a fixed buffer
// (the handler may only call async-signal-safe functions such as unlink).
char partial_name[PATH_MAX + 64];
volatile sig_atomic_t partial_active = 0;

extern "C" void remove_partial_and_die(int sig) {
  if (partial_active)
    unlink(partial_name);
  // End by the same signal, with its default action, so that the parent
  // sees how the program ended.
  signal(sig, SIG_DFL);
  raise(sig);
}

// Installs the handler for the length of one write; the earlier handlers
// come back at its end.
struct PartialGuard {
  struct sigaction old_int {}, old_term {};
  bool armed = false;

  explicit PartialGuard(const std::string& temp) {
    if (temp.size() >= sizeof partial_name)
      return;
    memcpy(partial_name, temp.c_str(), temp.size() + 1);
    struct sigaction sa {};
    sa.sa_handler = remove_partial_and_die;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);
    partial_active = 1;
    armed = true;
  }
  // The temporary name is gone (renamed or removed): the handler has
  // nothing left to remove.
  void release() {
    if (!armed)
      return;
    partial_active = 0;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    armed = false;
  }
  ~PartialGuard() { release(); }
};

// An existing entry under the final name that a rename would destroy
// wrongly: anything but a regular file (lstat: a symbolic link is refused
// itself, whatever it points to).  Says so when it refuses.
bool name_taken_by_other(const char* name) {
  struct stat st;
  if (lstat(name, &st) != 0 || S_ISREG(st.st_mode))
    return false;
  fprintf(stderr, "Error: %s exists and is not a regular file; it is left as it is\n", name);
  return true;
}

}  // namespace

OSTREL_write_status OSTREL_write_file(const char* name, const std::function<int(FILE*)>& write) {
  if (name_taken_by_other(name))
    return OSTREL_WRITE_UNWRITABLE;
  std::string temp;
  try {
    temp = std::string(name) + OSTREL_PARTIAL_MARK + std::to_string((long)getpid()) + "-XXXXXX";
  } catch (const std::exception&) {
    OSTREL_memory_error("OSTREL_write_file");
    return OSTREL_WRITE_FAILED;
  }
  std::vector<char> tmpl(temp.begin(), temp.end());
  tmpl.push_back('\0');
  // Block the two signals while the file is created and the handler armed,
  // so that no signal finds a file the handler does not know of.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &old);
  const int fd = mkstemp(tmpl.data());
  temp.assign(tmpl.data());
  PartialGuard guard(temp);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0)
    return OSTREL_WRITE_UNWRITABLE;
  // mkstemp creates the file for its owner only; an output file gets the
  // permissions any other new file would get.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE* f = fdopen(fd, "wb");
  auto discard = [&] {
    sigprocmask(SIG_BLOCK, &block, &old);
    unlink(temp.c_str());
    guard.release();
    sigprocmask(SIG_SETMASK, &old, nullptr);
  };
  if (!f) {
    close(fd);
    discard();
    return OSTREL_WRITE_UNWRITABLE;
  }
  int failed;
  try {
    failed = write(f);
  } catch (const std::exception&) {
    OSTREL_memory_error("OSTREL_write_file");
    failed = 1;
  }
  // A full disk shows only when the buffered rest is flushed.
  const bool unwritten = ferror(f) | fclose(f);
  // Checked again last: something may have taken the name meanwhile.
  if (failed || unwritten || name_taken_by_other(name)) {
    discard();
    return failed ? OSTREL_WRITE_FAILED : OSTREL_WRITE_UNWRITABLE;
  }
  sigprocmask(SIG_BLOCK, &block, &old);
  const bool renamed = rename(temp.c_str(), name) == 0;
  if (!renamed)
    unlink(temp.c_str());
  guard.release();
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return renamed ? OSTREL_WRITE_DONE : OSTREL_WRITE_UNWRITABLE;
}

// ===========================================================================
// Output directory
// ===========================================================================

namespace {

std::string output_directory;  // empty: the working directory

// mkdir -p: each missing component made in turn; one that exists must be a
// directory (stat follows a symbolic link to one).
int make_directories(const std::string& dir) {
  for (size_t end = 1; end <= dir.size(); end++) {
    if (end < dir.size() && dir[end] != '/')
      continue;
    const std::string part = dir.substr(0, end);
    struct stat st;
    if (stat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "Error: Output directory %s: %s exists and is not a directory\n",
                dir.c_str(), part.c_str());
        return 1;
      }
      continue;
    }
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      fprintf(stderr, "Error: Unable to create output directory %s (%s)\n", dir.c_str(),
              strerror(errno));
      return 1;
    }
  }
  return 0;
}

}  // namespace

int OSTREL_set_output_directory(const std::string& dir) {
  return OSTREL_catch_memory("OSTREL_set_output_directory", [&] {
    if (dir.empty()) {
      fprintf(stderr, "Error: --output-dir requires a directory name\n");
      return 1;
    }
    if (make_directories(dir))
      return 1;
    output_directory = dir;
    // Trailing slashes dropped (but "/" stays the root).
    while (output_directory.size() > 1 && output_directory.back() == '/')
      output_directory.pop_back();
    return 0;
  });
}

std::string OSTREL_output_path(const char* name) {
  if (output_directory.empty())
    return name;
  return output_directory + (output_directory == "/" ? "" : "/") + name;
}

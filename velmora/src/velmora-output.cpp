// Result files of velmora.x, written whole or not at all, as one set per
// run: each file is written under a temporary name in its own directory and
// renamed over its final name only when the run has succeeded, together
// with the other files of the run.  Temporary names are kept in a registry
// that the SIGINT/SIGTERM/SIGHUP handler reads to remove them; those of a
// run ended by SIGKILL are removed by the next run that writes the same file.
#include "velmora-alloc.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// ------------------------------------------------- registry of names ----

// Registry of the temporary files that exist, read by the signal handler.
// Only sig_atomic_t flags and buffers that are never freed: a handler may
// run at any moment on any thread and must not allocate or lock.  A name
// is stored before its flag is raised, and the flag is lowered before the
// slot is reused, so the handler never reads half a name.  A run holds one
// name per file it writes (the band of --rx-neb-images with its largest
// image count writes about 200), far below the slot count.
constexpr int kPendingSlots = 4096;
constexpr std::size_t kPendingName = 4352;  // PATH_MAX, the marker, host and pid
struct PendingSlot {
  volatile std::sig_atomic_t active;
  char* name;  // kPendingName characters, allocated at first use
};
PendingSlot g_pending[kPendingSlots];
bool g_claimed[kPendingSlots];  // guarded by g_lock
std::mutex g_lock;
std::once_flag g_handlers_once;
constexpr const char* kMarker = ".velmora-unfinished.";

// While a set is renamed, a signal (delivered to any thread) waits until
// the last rename is done, so that a set is never half renamed.
volatile std::sig_atomic_t g_renaming = 0;
volatile std::sig_atomic_t g_deferred = 0;

// Ends the program by `sig` with its default action (so the parent sees
// the signal).
void end_by_signal(int sig) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
  raise(sig);
}

// Removes every temporary file, then ends the program by the signal.
extern "C" void velmora_output_on_signal(int sig) {
  if (g_renaming) {
    g_deferred = sig;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (g_renaming) return;  // the renaming thread ends the program
  }
  for (PendingSlot& slot : g_pending)
    if (slot.active) unlink(slot.name);
  end_by_signal(sig);
}

// The handler goes in for the signals that end a run from outside; a
// signal the caller chose to ignore (nohup) stays ignored.
void install_signal_handlers() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = velmora_output_on_signal;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

int claim_slot() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (int k = 0; k < kPendingSlots; ++k)
    if (!g_claimed[k]) {
      if (!g_pending[k].name) g_pending[k].name = new char[kPendingName];
      g_claimed[k] = true;
      return k;
    }
  return -1;
}

void release_slot(int k) {
  if (k < 0) return;
  g_pending[k].active = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::lock_guard<std::mutex> hold(g_lock);
  g_claimed[k] = false;
}

void discard_slot(int k) {
  if (k < 0) return;
  unlink(g_pending[k].name);
  release_slot(k);
}

// ----------------------------------------------------- file checks ----

const char* file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "directory";
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISSOCK(mode)) return "socket";
  return "special file";
}

// True when `path` is absent or a regular file (lstat: a link is itself).
bool output_replaceable(const char* path, struct stat* info) {
  return lstat(path, info) != 0 || S_ISREG(info->st_mode);
}

void report_refused(const char* path, const struct stat& info) {
  if (S_ISLNK(info.st_mode))
    std::fprintf(stderr,
                 "Error: the output %s is a symbolic link; it is neither replaced nor followed "
                 "(give the name of the file it points to).\n",
                 path);
  else
    std::fprintf(stderr,
                 "Error: the output %s exists and is a %s, not a regular file; it is left "
                 "as it is.\n",
                 path, file_kind(info.st_mode));
}

// ------------------------------------------- leftovers of killed runs ----

// This host's name as it appears in temporary names ("host" when unknown;
// a '/' could not stand in a file name).
const char* host_tag() {
  static char tag[72];
  if (!tag[0]) {
    if (gethostname(tag, sizeof tag - 1) != 0 || !tag[0]) std::snprintf(tag, sizeof tag, "host");
    for (char* c = tag; *c; ++c)
      if (*c == '/') *c = '_';
  }
  return tag;
}

// Removes the temporary files of `path` left by runs of this host that
// no longer exist (ended by SIGKILL or a crash): "<file><marker><host>.
// <pid>.XXXXXX" in the directory of `path`, whose process is gone.  Runs
// of other hosts (a shared file system) are not judged.
void remove_leftovers(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const std::string dir = slash ? std::string(path, slash - path + 1) : std::string("./");
  const std::string prefix = std::string(slash ? slash + 1 : path) + kMarker + host_tag() + ".";
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (const dirent* entry = readdir(d)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name + prefix.size(), &end, 10);
    if (end == name + prefix.size() || *end != '.' || std::strlen(end + 1) != 6 || pid <= 0)
      continue;
    if (pid == static_cast<long>(getpid())) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive
    if (unlink((dir + name).c_str()) == 0)
      std::printf("Message: %s%s, left by an interrupted run, removed.\n", dir.c_str(), name);
  }
  closedir(d);
}

// ------------------------------------------------------ the open set ----

// The files of the run so far: those written (waiting under their
// temporary names) and those of an earlier run to remove.  Only the
// command's own thread opens and commits outputs.
struct Staged {
  std::string path;
  int slot;
};
struct OutputSet {
  int depth = 0;  // nesting of velmora_output_set_begin
  std::vector<Staged> written;
  std::vector<std::string> removed;
};
OutputSet g_set;

Staged* staged_find(const std::string& path) {
  for (Staged& s : g_set.written)
    if (s.path == path) return &s;
  return nullptr;
}

void staged_forget_removal(const std::string& path) {
  for (std::size_t k = 0; k < g_set.removed.size(); ++k)
    if (g_set.removed[k] == path) {
      g_set.removed.erase(g_set.removed.begin() + static_cast<long>(k));
      return;
    }
}

// Puts a finished temporary file into the open set, replacing what the run
// wrote earlier under the same name.
void stage(const std::string& path, int slot) {
  staged_forget_removal(path);
  if (Staged* old = staged_find(path)) {
    discard_slot(old->slot);
    old->slot = slot;
    return;
  }
  g_set.written.push_back({path, slot});
}

}  // namespace

// -------------------------------------------------------------- checks ----

int velmora_file_check_output(const char* path) {
  struct stat info;
  if (!path || output_replaceable(path, &info)) return 0;
  report_refused(path, info);
  return 3;
}

int velmora_file_check_prefix(const char* prefix) {
  struct stat info;
  if (!prefix || !*prefix) {
    std::fprintf(stderr, "Error: the output name is empty.\n");
    return 3;
  }
  if (lstat(prefix, &info) != 0 || S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) return 0;
  std::fprintf(stderr,
               "Error: the output name %s is a %s; the results are named after it, so give the "
               "name of a file.\n",
               prefix, file_kind(info.st_mode));
  return 3;
}

int velmora_file_check_writable(const char* path) {
  VELMORA_OUTPUT probe;
  const int status = velmora_output_open(probe, path);
  if (status == 1)
    std::fprintf(stderr, "Error: unable to create %s (is its directory missing or read-only?).\n",
                 path ? path : "(null)");
  return status;  // the probe is removed as it goes out of scope
}

int velmora_output_pending_count() {
  int count = 0;
  for (const PendingSlot& slot : g_pending) count += slot.active ? 1 : 0;
  return count;
}

// ------------------------------------------------------- one output ----

VELMORA_OUTPUT::~VELMORA_OUTPUT() { velmora_output_abandon(*this); }

int velmora_output_open(VELMORA_OUTPUT& out, const char* path) {
  velmora_output_abandon(out);
  out.ok = true;
  out.word_length = 0;
  out.line = 1;
  out.bad_line = 0;
  if (!path || !*path) return 1;
  if (velmora_file_check_output(path) != 0) return 3;
  char tail[128];
  std::snprintf(tail, sizeof tail, "%s%s.%ld.XXXXXX", kMarker, host_tag(),
                static_cast<long>(getpid()));
  if (std::strlen(path) + std::strlen(tail) >= kPendingName) return 1;
  std::call_once(g_handlers_once, install_signal_handlers);
  remove_leftovers(path);
  const int k = claim_slot();
  if (k < 0) return 1;
  // mkstemp fills in the name before it creates the file, so the handler
  // removes the file whenever it exists.
  PendingSlot& slot = g_pending[k];
  std::snprintf(slot.name, kPendingName, "%s%s", path, tail);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot.active = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const int fd = mkstemp(slot.name);
  if (fd < 0) {  // the directory is missing or not writable
    release_slot(k);
    return 1;
  }
  // mkstemp creates the file private; give it the mode a plain fopen would.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  out.path = path;
  out.fd = fd;
  out.slot = k;
  return 0;
}

namespace {

// Characters that end a word of a result file: blanks and the separators
// of CSV, CIF and XYZ lines.
bool word_end(char c) { return c != '\0' && std::strchr(" \t\n\r,;:=()[]'\"", c); }

// True for the words printf writes for NaN and infinities.
bool non_finite_word(const char* w, int n) {
  if (n > 0 && (w[0] == '-' || w[0] == '+')) {
    ++w;
    --n;
  }
  static const char* const kWords[] = {"nan", "NAN", "inf", "INF", "infinity", "INFINITY"};
  for (const char* k : kWords)
    if (static_cast<int>(std::strlen(k)) == n &&
        std::strncmp(w, k, static_cast<std::size_t>(n)) == 0)
      return true;
  return false;
}

void finish_word(VELMORA_OUTPUT& out) {
  if (out.word_length > 0 && out.word_length < static_cast<int>(sizeof out.word) &&
      out.bad_line == 0 && non_finite_word(out.word, out.word_length)) {
    out.bad_line = out.line;
    std::memcpy(out.bad_word, out.word, static_cast<std::size_t>(out.word_length));
    out.bad_word[out.word_length] = '\0';
  }
  out.word_length = 0;
}

// Follows the words of `data`, continuing the word the last write ended in.
void scan_words(VELMORA_OUTPUT& out, const char* data, std::size_t size) {
  for (std::size_t k = 0; k < size; ++k) {
    const char c = data[k];
    if (word_end(c)) {
      if (out.word_length > 0) finish_word(out);
      if (c == '\n') ++out.line;
    } else if (out.word_length < static_cast<int>(sizeof out.word)) {
      out.word[out.word_length++] = c;  // a longer word is no such number
    }
  }
}

}  // namespace

int velmora_output_write(VELMORA_OUTPUT& out, const char* data, std::size_t size) {
  if (out.fd < 0) out.ok = false;
  if (out.ok) scan_words(out, data, size);
  while (out.ok && size > 0) {
    const ssize_t written = write(out.fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      out.ok = false;
    } else {
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }
  return out.ok ? 0 : 2;
}

int velmora_output_commit(VELMORA_OUTPUT& out) {
  if (out.fd < 0 || out.slot < 0) {
    velmora_output_abandon(out);
    return 2;
  }
  finish_word(out);
  if (out.bad_line > 0) {
    std::fprintf(stderr,
                 "Error: %s would hold a non-finite number (%s on line %ld); it is not "
                 "written.\n",
                 out.path.c_str(), out.bad_word, out.bad_line);
    velmora_output_abandon(out);
    return 3;
  }
  bool ok = out.ok && fsync(out.fd) == 0;
  ok = close(out.fd) == 0 && ok;
  out.fd = -1;
  if (!ok) {
    velmora_output_abandon(out);
    return 2;
  }
  // The final name may have been replaced by something else meanwhile.
  struct stat info;
  if (!output_replaceable(out.path.c_str(), &info)) {
    report_refused(out.path.c_str(), info);
    velmora_output_abandon(out);
    return 3;
  }
  if (g_set.depth > 0) {  // renamed with the rest of the run's files
    stage(out.path, out.slot);
    out.slot = -1;
    return 0;
  }
  if (std::rename(g_pending[out.slot].name, out.path.c_str()) != 0) {
    velmora_output_abandon(out);
    return 2;
  }
  // Renamed: the temporary name no longer exists, nothing to remove.
  release_slot(out.slot);
  out.slot = -1;
  return 0;
}

void velmora_output_abandon(VELMORA_OUTPUT& out) {
  if (out.fd >= 0) close(out.fd);
  out.fd = -1;
  discard_slot(out.slot);
  out.slot = -1;
}

int velmora_file_write_atomically(const char* path, const std::string& data) {
  VELMORA_OUTPUT out;
  const int status = velmora_output_open(out, path);
  if (status != 0) return status;
  velmora_output_write(out, data.data(), data.size());
  return velmora_output_commit(out);
}

int velmora_file_append_atomically(const char* path, const std::string& data) {
  if (!path) return 1;
  // What the file holds now: this run's version when it has written one.
  const std::string current = velmora_output_current_name(path);
  std::string content;
  struct stat info;
  if (lstat(current.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    std::FILE* file = std::fopen(current.c_str(), "rb");
    if (!file) return 1;
    char chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return 1;
  }
  content += data;
  return velmora_file_write_atomically(path, content);
}

std::string velmora_output_current_name(const char* path) {
  if (!path) return "";
  if (const Staged* s = staged_find(path)) return g_pending[s->slot].name;
  return path;
}

int velmora_output_remove_stale(const char* path) {
  if (!path) return 0;
  struct stat info;
  if (g_set.depth > 0) {
    if (Staged* s = staged_find(path)) {  // written by this run: withdrawn
      discard_slot(s->slot);
      g_set.written.erase(g_set.written.begin() + (s - g_set.written.data()));
    }
    if (lstat(path, &info) == 0 && !S_ISDIR(info.st_mode)) {
      staged_forget_removal(path);
      g_set.removed.push_back(path);
    }
    return 0;
  }
  if (std::remove(path) == 0) {
    std::printf("Message: %s of an earlier run removed.\n", path);
    return 0;
  }
  return lstat(path, &info) == 0 ? 1 : 0;
}

// ------------------------------------------------------------ the set ----

namespace {

// Removes the temporary files of the set and forgets the set.
void set_discard() {
  for (const Staged& s : g_set.written) discard_slot(s.slot);
  if (!g_set.written.empty())
    std::printf(
        "Message: the run failed; none of its %zu output file(s) was written, earlier "
        "files are left as they were.\n",
        g_set.written.size());
  g_set.written.clear();
  g_set.removed.clear();
}

}  // namespace

void velmora_output_set_begin() { ++g_set.depth; }

int velmora_output_set_commit() {
  if (g_set.depth <= 0) return 0;
  if (--g_set.depth > 0) return 0;  // an outer set renames them
  // Every final name is checked before the first rename, so that a refusal
  // leaves the whole earlier set in place.
  struct stat info;
  for (const Staged& s : g_set.written)
    if (!output_replaceable(s.path.c_str(), &info)) {
      report_refused(s.path.c_str(), info);
      set_discard();
      return 1;
    }
  int status = 0;
  {
    g_renaming = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    for (const Staged& s : g_set.written) {
      if (std::rename(g_pending[s.slot].name, s.path.c_str()) != 0) {
        std::fprintf(stderr, "Error: unable to rename %s to %s: %s.\n", g_pending[s.slot].name,
                     s.path.c_str(), std::strerror(errno));
        unlink(g_pending[s.slot].name);
        status = 1;
      }
      release_slot(s.slot);
    }
    for (const std::string& path : g_set.removed)
      if (std::remove(path.c_str()) == 0)
        std::printf("Message: %s of an earlier run removed.\n", path.c_str());
    g_renaming = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (g_deferred) end_by_signal(g_deferred);
  }
  g_set.written.clear();
  g_set.removed.clear();
  return status;
}

void velmora_output_set_abandon() {
  if (g_set.depth <= 0) return;
  if (--g_set.depth == 0) set_discard();
}

int velmora_output_set_size() { return static_cast<int>(g_set.written.size()); }

// Shared by velmora's benchmarks: clocks (wall seconds since a start, the
// process's processor seconds), a way to silence the progress the builders
// print, and a CIF reader that takes the data files from one directory.
#ifndef VELMORA_BENCH_UTIL_H_
#define VELMORA_BENCH_UTIL_H_

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "velmora-import.h"

namespace velmora_bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Processor seconds of the whole process (all threads).
inline double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Runs f with standard output silenced (the builders print progress).
template <class F>
void quiet(F f) {
  std::fflush(stdout);
  const int saved = dup(1);
  std::FILE* null = std::fopen("/dev/null", "w");
  dup2(fileno(null), 1);
  f();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::fclose(null);
}

// The cell of a CIF read with the data files of directory `bin` (null when
// the reader refuses it).
inline std::unique_ptr<VELMORA_CELL> read_cell(const std::string& path, const std::string& bin) {
  std::unique_ptr<VELMORA_CELL> cell;
  std::unique_ptr<VELMORA_SYMMETRY> symmetry;
  quiet([&] {
    velmora_cell_import_cif_from_file(cell, symmetry, path.c_str(),
                                      (bin + "/database_symcards.dat").c_str(),
                                      (bin + "/database_unitary.dat").c_str());
  });
  return cell;
}

}  // namespace velmora_bench

#endif  // VELMORA_BENCH_UTIL_H_

// Benchmark of the landscape-topology stages on the Na3PS4 landscape at
// 96^3 and 192^3 grid points:
//  - the Fourier record (one real-to-complex transform and nine
//    complex-to-real ones) on all threads and on one, against FFTW alone
//    running the same ten transforms with the same plans, and whether the
//    threaded record is bit for bit the one-thread record;
//  - wall time and peak memory (maximum resident set) of velmora.x --fft,
//    --fp-map and --gh, each run as a child process.
//
// Usage: bench_velmora_topology [sizes...]   (default 96 192)
#include <fcntl.h>
#include <omp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmora-cube.h"
#include "velmora-fft.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

const std::string kVelmora = std::string(BV_BIN_DIR) + "/velmora.x";
const std::string kCif = std::string(BV_SOURCE_DIR) + "/examples/Na3PS4.cif";

// Runs velmora.x with `args` in `dir` (output to log files there); wall
// time in s and peak resident memory in MB, or a negative time on failure.
struct Run {
  double seconds = -1.0;
  double megabytes = 0.0;
};
Run run_velmora(const std::string& dir, const std::vector<std::string>& args,
                const char* log) {
  std::vector<std::string> words{kVelmora};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = dir + "/" + log;
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (out + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string here = dir;
  char* saved = getcwd(nullptr, 0);
  Run run;
  if (chdir(here.c_str()) != 0) return run;
  const Clock::time_point t0 = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      run.seconds = seconds_since(t0);
      run.megabytes = usage.ru_maxrss / 1024.0;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  if (saved) {
    if (chdir(saved) != 0) std::perror("chdir");
    std::free(saved);
  }
  return run;
}

// FFTW alone: the plans once, then the ten transforms of the record one
// after the other on one thread (the spectrum copied into the complex-to-
// real input each time, as that transform overwrites its input), writing
// into one reused output grid or, with `fresh`, into nine newly allocated
// grids as the record does (their first touch costs page faults).
double fftw_alone(const VELMORA_CUBE* cube, bool fresh) {
  const int n[3] = {static_cast<int>(cube->n[0]), static_cast<int>(cube->n[1]),
                    static_cast<int>(cube->n[2])};
  const std::size_t total = cube->en.size();
  const std::size_t spectral = static_cast<std::size_t>(n[0]) * n[1] * (n[2] / 2 + 1);
  double* real = fftw_alloc_real(total);
  double* out = fftw_alloc_real(total);
  fftw_complex* spectrum = fftw_alloc_complex(spectral);
  fftw_complex* work = fftw_alloc_complex(spectral);
  fftw_plan forward = fftw_plan_dft_r2c_3d(n[0], n[1], n[2], real, spectrum, FFTW_ESTIMATE);
  fftw_plan backward = fftw_plan_dft_c2r_3d(n[0], n[1], n[2], work, out, FFTW_ESTIMATE);
  std::memcpy(real, cube->en.data(), total * sizeof(double));
  std::vector<double*> grids;
  const Clock::time_point t0 = Clock::now();
  fftw_execute(forward);
  for (int t = 0; t < 9; ++t) {
    std::memcpy(work, spectrum, spectral * sizeof(fftw_complex));
    if (fresh) {
      grids.push_back(static_cast<double*>(velmora_fft_allocate(total * sizeof(double))));
      fftw_execute_dft_c2r(backward, work, grids.back());
    } else {
      fftw_execute(backward);
    }
  }
  const double seconds = seconds_since(t0);
  for (double* g : grids) std::free(g);
  fftw_destroy_plan(forward);
  fftw_destroy_plan(backward);
  fftw_free(real);
  fftw_free(out);
  fftw_free(spectrum);
  fftw_free(work);
  return seconds;
}

bool same_bits(const VELMORA_FFT& x, const VELMORA_FFT& y) {
  auto equal = [](const VELMORA_FFT_GRID& a, const VELMORA_FFT_GRID& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
  };
  bool same = equal(x.en, y.en);
  for (int d = 0; d < 3; ++d) same = same && equal(x.f[d], y.f[d]);
  for (int m = 0; m < 6; ++m) same = same && equal(x.k[m], y.k[m]);
  return same;
}

void silence(bool on) {
  static int saved = -1;
  std::fflush(stdout);
  if (on) {
    saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  } else if (saved >= 0) {
    dup2(saved, 1);
    close(saved);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> sizes;
  for (int a = 1; a < argc; ++a) sizes.push_back(std::atol(argv[a]));
  if (sizes.empty()) sizes = {96, 192};
  char pattern[] = "/tmp/bench_topology_XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (!dir) return 1;
  const std::string work = dir;
  const std::string cif = work + "/Na3PS4.cif";
  {
    std::FILE* in = std::fopen(kCif.c_str(), "rb");
    std::FILE* out = std::fopen(cif.c_str(), "wb");
    if (!in || !out) return 1;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) std::fwrite(buffer, 1, got, out);
    std::fclose(in);
    std::fclose(out);
  }
  const int threads = omp_get_max_threads();
  std::printf("threads: %d\n", threads);
  // The commands first, while this process is small: a child's peak memory
  // counts what it inherited at the start.
  std::vector<std::string> cubes;
  for (long size : sizes) {
    // Na3PS4 (a = 6.95, c = 7.07 A): this resolution gives size^3 points.
    const double resolution = 7.07 / (size - 1.0);
    char res[32], name[64];
    std::snprintf(res, sizeof res, "%.5f", resolution);
    std::snprintf(name, sizeof name, "n%ld.cube", size);
    if (run_velmora(work, {"--gen-cube", "Na3PS4.cif", "Na", "1", "0", res, "t", "t", name},
                    "gen.log")
            .seconds < 0) {
      std::printf("%ld^3: the landscape could not be made\n", size);
      continue;
    }
    cubes.push_back(name);
    std::printf("\nNa3PS4 landscape, %ld^3 grid points: velmora.x commands\n", size);
    const std::vector<std::vector<std::string>> commands = {
        {"--fft", name}, {"--fp-map", name}, {"--gh", "Na3PS4.cif", name, "Na", "1"}};
    for (const std::vector<std::string>& command : commands) {
      const Run run = run_velmora(work, command, "command.log");
      if (run.seconds < 0)
        std::printf("  %-8s failed\n", command[0].c_str());
      else
        std::printf("  %-8s %7.2f s   peak memory %7.1f MB\n", command[0].c_str(), run.seconds,
                    run.megabytes);
    }
  }
  for (const std::string& name : cubes) {
    std::unique_ptr<VELMORA_CUBE> cube;
    silence(true);
    const int read = velmora_cube_import_from_file(cube, nullptr, (work + "/" + name).c_str(),
                                                   true, "");
    silence(false);
    if (read != 0) return 1;
    std::printf("\n%ld x %ld x %ld grid points: Fourier record\n", cube->n[0], cube->n[1],
                cube->n[2]);
    silence(true);
    Clock::time_point t0 = Clock::now();
    std::unique_ptr<VELMORA_FFT> all = velmora_fft_new_from_cube(cube.get());
    const double t_all = seconds_since(t0);
    omp_set_num_threads(1);
    t0 = Clock::now();
    std::unique_ptr<VELMORA_FFT> one = velmora_fft_new_from_cube(cube.get());
    const double t_one = seconds_since(t0);
    omp_set_num_threads(threads);
    silence(false);
    const bool same = all && one && same_bits(*all, *one);
    all.reset();
    one.reset();
    const double t_reuse = fftw_alone(cube.get(), false);
    const double t_fresh = fftw_alone(cube.get(), true);
    std::printf("  record, %d threads: %7.3f s   1 thread: %7.3f s   speed-up %.2f\n", threads,
                t_all, t_one, t_one / t_all);
    std::printf("  FFTW alone, 1 r2c + 9 c2r on 1 thread: %7.3f s into one reused grid, %7.3f s "
                "into nine new grids\n", t_reuse, t_fresh);
    std::printf("  record (1 thread) / FFTW alone: %.2f (reused grid), %.2f (new grids)\n",
                t_one / t_reuse, t_one / t_fresh);
    std::printf("  threaded record bit for bit equal to the one-thread record: %s\n",
                same ? "yes" : "NO");
  }
  const std::string clean = "rm -rf " + work;
  return std::system(clean.c_str()) == 0 ? 0 : 1;
}

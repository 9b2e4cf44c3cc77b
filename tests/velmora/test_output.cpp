// Result files of velmora written as one set per run: nothing of a run is
// visible before its commit, an abandoned run leaves the earlier files
// byte for byte, a file appended within the run extends this run's
// version, and leftovers of a killed run are removed by the next writer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "velmora-alloc.h"

namespace {

std::string dir_for(const char* test) {
  const std::string dir = std::string(::testing::TempDir()) + "velmora_output_" + test + "/";
  mkdir(dir.c_str(), 0755);
  return dir;
}

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "(absent)";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_plain(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Runs `body` with standard output captured (the set prints its messages).
template <class Body>
std::string quietly(Body&& body) {
  ::testing::internal::CaptureStdout();
  body();
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(VelmoraOutputSet, CommitRenamesTheWholeSetAbandonKeepsTheEarlierRun) {
  const std::string d = dir_for("set");
  const std::string a = d + "a.txt", b = d + "b.txt", stale = d + "stale.txt";
  write_plain(a, "old a\n");
  write_plain(b, "old b\n");
  write_plain(stale, "old stale\n");
  const int pending = velmora_output_pending_count();

  // A failed run: its files never appear, the earlier ones stay whole.
  std::string said = quietly([&] {
    VELMORA_OUTPUT_SET set;
    ASSERT_EQ(velmora_file_write_atomically(a.c_str(), "new a\n"), 0);
    ASSERT_EQ(velmora_file_write_atomically(b.c_str(), "new b\n"), 0);
    ASSERT_EQ(velmora_output_remove_stale(stale.c_str()), 0);
    EXPECT_EQ(read(a), "old a\n");
    EXPECT_EQ(velmora_output_pending_count(), pending + 2);
  });
  EXPECT_NE(said.find("none of its 2 output file(s) was written"), std::string::npos) << said;
  EXPECT_EQ(read(a), "old a\n");
  EXPECT_EQ(read(b), "old b\n");
  EXPECT_EQ(read(stale), "old stale\n");
  EXPECT_EQ(velmora_output_pending_count(), pending);

  // A successful run: all of its files at once, the stale one removed.
  quietly([&] {
    VELMORA_OUTPUT_SET set;
    ASSERT_EQ(velmora_file_write_atomically(a.c_str(), "first a\n"), 0);
    ASSERT_EQ(velmora_file_write_atomically(a.c_str(), "new a\n"), 0);  // rewritten in the run
    ASSERT_EQ(velmora_file_write_atomically(b.c_str(), "new b\n"), 0);
    ASSERT_EQ(velmora_output_remove_stale(stale.c_str()), 0);
    EXPECT_EQ(velmora_output_set_size(), 2);
    EXPECT_EQ(read(b), "old b\n");
    EXPECT_EQ(set.commit(), 0);
  });
  EXPECT_EQ(read(a), "new a\n");
  EXPECT_EQ(read(b), "new b\n");
  EXPECT_FALSE(exists(stale));
  EXPECT_EQ(velmora_output_pending_count(), pending);
}

TEST(VelmoraOutputSet, AppendingExtendsThisRunsVersion) {
  const std::string d = dir_for("append");
  const std::string log = d + "run.log";
  write_plain(log, "earlier run\n");
  quietly([&] {
    VELMORA_OUTPUT_SET set;
    ASSERT_EQ(velmora_file_write_atomically(log.c_str(), "step 0\n"), 0);
    ASSERT_EQ(velmora_file_append_atomically(log.c_str(), "step 1\n"), 0);
    EXPECT_EQ(read(velmora_output_current_name(log.c_str())), "step 0\nstep 1\n");
    EXPECT_EQ(read(log), "earlier run\n");
    EXPECT_EQ(set.commit(), 0);
  });
  EXPECT_EQ(read(log), "step 0\nstep 1\n");
  // Without a set a file is replaced at once; an append extends the file.
  ASSERT_EQ(velmora_file_append_atomically(log.c_str(), "step 2\n"), 0);
  EXPECT_EQ(read(log), "step 0\nstep 1\nstep 2\n");
}

TEST(VelmoraOutputSet, RefusedNameAtCommitRenamesNothing) {
  const std::string d = dir_for("refused");
  const std::string a = d + "a.txt", b = d + "b.txt";
  write_plain(a, "old a\n");
  ::testing::internal::CaptureStderr();
  quietly([&] {
    VELMORA_OUTPUT_SET set;
    ASSERT_EQ(velmora_file_write_atomically(a.c_str(), "new a\n"), 0);
    ASSERT_EQ(velmora_file_write_atomically(b.c_str(), "new b\n"), 0);
    mkdir(b.c_str(), 0755);  // the name becomes a directory meanwhile
    EXPECT_EQ(set.commit(), 1);
  });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: the output " + b + " exists and is a directory"), std::string::npos)
      << err;
  EXPECT_EQ(read(a), "old a\n");
  rmdir(b.c_str());
}

TEST(VelmoraOutputSet, PrefixNamingADeviceOrDirectoryIsRefused) {
  const std::string d = dir_for("prefix");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_file_check_prefix("/dev/null"), 3);
  EXPECT_EQ(velmora_file_check_prefix(d.c_str()), 3);
  EXPECT_EQ(velmora_file_check_prefix((d + "absent").c_str()), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: the output name /dev/null is a character device"), std::string::npos)
      << err;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_file_check_writable("/nonexistent-dir/x.txt"), 1);
  EXPECT_NE(
      ::testing::internal::GetCapturedStderr().find("unable to create /nonexistent-dir/x.txt"),
      std::string::npos);
}

TEST(VelmoraOutputSet, LeftoversOfAKilledRunAreRemovedByTheNextWriter) {
  const std::string d = dir_for("leftover");
  const std::string out = d + "x.cube";
  // A process that has ended: its pid names no running process.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  char host[80] = {};
  gethostname(host, sizeof host - 1);
  const std::string dead =
      out + ".velmora-unfinished." + host + "." + std::to_string(child) + ".Ab12Cd";
  const std::string alive =
      out + ".velmora-unfinished." + host + "." + std::to_string(getppid()) + ".Ef34Gh";
  const std::string other_host =
      out + ".velmora-unfinished.elsewhere." + std::to_string(child) + ".Ij56Kl";
  for (const std::string* p : {&dead, &alive, &other_host}) write_plain(*p, "partial");
  const std::string said =
      quietly([&] { ASSERT_EQ(velmora_file_write_atomically(out.c_str(), "whole\n"), 0); });
  EXPECT_FALSE(exists(dead));
  EXPECT_NE(said.find("left by an interrupted run, removed"), std::string::npos) << said;
  EXPECT_TRUE(exists(alive));       // its writer may still be running
  EXPECT_TRUE(exists(other_host));  // not judged from this host
  EXPECT_EQ(read(out), "whole\n");
}

TEST(VelmoraOutputSet, NoResultFileHoldsANonFiniteNumber) {
  const std::string d = dir_for("finite");
  const std::string path = d + "r.txt";
  write_plain(path, "earlier\n");
  struct {
    const char* text;
    bool refused;
  } cases[] = {
      {"1.0, 2.0\n3.0 nan\n", true}, {"x=-nan\n", true},
      {"a,inf,b\n", true},           {"  -INF\n", true},
      {"Infinity\n", false},         {"Nan1 nano info inflow\n", false},
      {"1e+308 -1.5e-300\n", false}, {"'P 1' 0.5\n", false},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    const int status = velmora_file_write_atomically(path.c_str(), c.text);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.refused ? 3 : 0) << c.text;
    if (c.refused) {
      EXPECT_NE(err.find("Error: " + path + " would hold a non-finite number"), std::string::npos)
          << err;
      EXPECT_EQ(read(path), "earlier\n") << c.text;
    } else {
      write_plain(path, "earlier\n");
    }
  }
  // A word split between two writes is still seen, with its line.
  VELMORA_OUTPUT out;
  ASSERT_EQ(velmora_output_open(out, path.c_str()), 0);
  velmora_output_write(out, "1.0\n2.0 -n", 10);
  velmora_output_write(out, "an 3.0\n", 7);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(velmora_output_commit(out), 3);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("(-nan on line 2)"), std::string::npos);
  EXPECT_EQ(read(path), "earlier\n");
}

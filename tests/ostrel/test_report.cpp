// The output directory of ostrel's fixed-name files: made with its parents,
// names placed in it, files written there through the temporary name, and a
// name that is taken by a file refused; the percolating directions joined
// once each in dimension order.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "OSTREL-file.h"
#include "OSTREL-report.h"
#include "test_util.h"

namespace {

using ostrel_test::read_file;
using ostrel_test::scratch;
using ostrel_test::write_text;

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(OutputDirectory, MadeWithParentsAndUsedForFixedNames) {
  EXPECT_EQ(OSTREL_output_path("OSTREL_rp.csv"), "OSTREL_rp.csv");
  const std::string dir = scratch("out/a/b");
  ASSERT_EQ(OSTREL_set_output_directory(dir + "//"), 0);
  EXPECT_TRUE(is_directory(dir));
  EXPECT_EQ(OSTREL_output_path("OSTREL_rp.csv"), dir + "/OSTREL_rp.csv");
  // A file written under the placed name lands in the directory, whole.
  const std::string name = OSTREL_output_path("OSTREL_summary.txt");
  ASSERT_EQ(OSTREL_write_file(name.c_str(), [](FILE* f) { return fputs("x\n", f) < 0; }),
            OSTREL_WRITE_DONE);
  EXPECT_EQ(read_file(dir + "/OSTREL_summary.txt"), "x\n");
  // An existing directory is taken as it is.
  EXPECT_EQ(OSTREL_set_output_directory(scratch("out")), 0);
  EXPECT_EQ(OSTREL_output_path("plane.csv"), scratch("out") + "/plane.csv");
  // The root keeps its one slash.
  EXPECT_EQ(OSTREL_set_output_directory("/"), 0);
  EXPECT_EQ(OSTREL_output_path("OSTREL.cif"), "/OSTREL.cif");
  ASSERT_EQ(OSTREL_set_output_directory("."), 0);
}

TEST(OutputDirectory, NameTakenByAFileIsRefused) {
  const std::string file = scratch("plain_file");
  write_text(file, "data\n");
  ASSERT_EQ(OSTREL_set_output_directory("."), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_set_output_directory(file), 1);
  EXPECT_EQ(OSTREL_set_output_directory(file + "/sub"), 1);
  EXPECT_EQ(OSTREL_set_output_directory(""), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("exists and is not a directory"), std::string::npos) << err;
  // The refused names leave the earlier directory in force and the file
  // untouched.
  EXPECT_EQ(OSTREL_output_path("OSTREL_rp.csv"), "./OSTREL_rp.csv");
  EXPECT_EQ(read_file(file), "data\n");
}

TEST(PercolationDirections, JoinedOnceEachInOrder) {
  std::vector<OSTREL_percolation_direction> dirs(3);
  dirs[0].dimension = 1;
  dirs[0].text = "3D";
  dirs[1].dimension = 2;
  dirs[1].text = "3D";
  dirs[2].dimension = 3;
  dirs[2].text = "3D";
  EXPECT_EQ(OSTREL_join_directions(dirs), "3D");
  dirs[0].text = "1D ribbon [1,0,0]";
  dirs[1].text = "2D (0,0,1)";
  EXPECT_EQ(OSTREL_join_directions(dirs), "1D ribbon [1,0,0]; 2D (0,0,1); 3D");
  EXPECT_EQ(OSTREL_join_directions({}), "");
}

}  // namespace

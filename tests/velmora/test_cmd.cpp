// Command frame of velmora.x: path splitting, element types from arguments,
// the text mode that rebuilds a CIF from the command line, and dispatch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velmora-cmd.h"

namespace {

struct Args {
  std::vector<std::string> words;
  std::vector<char*> argv;
  explicit Args(std::vector<std::string> w) : words(std::move(w)) {
    for (std::string& s : words) argv.push_back(&s[0]);
    argv.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words.size()); }
};

std::unique_ptr<VELMORA_CMD_OPT> context(Args& args) {
  ::testing::internal::CaptureStdout();
  auto opt = velmora_cmd_opt_init(args.argc(), args.argv.data());
  ::testing::internal::GetCapturedStdout();
  return opt;
}

}  // namespace

TEST(VelmoraCmd, SplitsPathsAndTypes) {
  std::string dir, file;
  velmora_cmd_opt_split_path(&dir, &file, "/opt/x/velmora.x");
  EXPECT_EQ(dir, "/opt/x/");
  EXPECT_EQ(file, "velmora.x");
  velmora_cmd_opt_split_path(&dir, &file, "velmora.x");
  EXPECT_EQ(dir, "./");
  EXPECT_EQ(file, "velmora.x");
  velmora_cmd_opt_split_path(&dir, nullptr, "bin/velmora.x");
  EXPECT_EQ(dir, "bin/");
  char type[3];
  for (const char* s : {"Li", "Li+", "Lithium"}) {
    velmora_cmd_opt_get_type(type, s);
    EXPECT_STREQ(type, "Li");
  }
  velmora_cmd_opt_get_type(type, "O");
  EXPECT_STREQ(type, "O");
}

TEST(VelmoraCmd, TextModeRebuildsTheCif) {
  Args a({"velmora.x", "--text-cal-bv", "-:text", "a", "b", "-:nl", "c"});
  auto opt = context(a);
  ASSERT_TRUE(opt);
  EXPECT_EQ(opt->path_executable, "./");
  auto text = velmora_cmd_opt_cat_tail(opt.get());
  ASSERT_TRUE(text);
  EXPECT_EQ(std::string(text->c_str()), " a b\n c");
  // The later key phrase counts.
  Args b({"velmora.x", "--text-cal-bv", "-:text", "x", "-:text", "y"});
  opt = context(b);
  text = velmora_cmd_opt_cat_tail(opt.get());
  ASSERT_TRUE(text);
  EXPECT_EQ(std::string(text->c_str()), " y");
  // As the very last argument it is not found.
  Args c({"velmora.x", "--text-cal-bv", "-:text"});
  opt = context(c);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(velmora_cmd_opt_cat_tail(opt.get()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: text-mode key phrase not found.\n");
}

TEST(VelmoraCmd, StatusOfEveryKindOfRun) {
  const std::string cif = std::string(BV_TEST_DATA_DIR) + "/cif/Li2O.cif";
  const std::string exe = std::string(BV_BIN_DIR) + "/velmora.x";
  struct {
    std::vector<std::string> words;
    int status;
  } cases[] = {
      {{exe}, 0},
      {{exe, "--help"}, 0},
      {{exe, "--print-sys"}, 0},
      {{exe, "--nothing"}, 2},
      {{exe, "--print-cell"}, 2},
      {{exe, "--print-sym", "/nonexistent.cif"}, 1},
      {{exe, "--print-sym", cif}, 0},
      {{exe, "--gen-cube", cif, "Li", "one"}, 1},
  };
  for (auto& c : cases) {
    Args a(c.words);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = velmora_cmd_start(a.argc(), a.argv.data());
    ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status) << c.words.back();
  }
}

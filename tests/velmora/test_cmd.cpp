// Command frame of velmora.x: path splitting, element types from arguments,
// the text mode that rebuilds a CIF from the command line, and dispatch.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
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
  // Case as the periodic table writes it; only letters make the type.
  for (const char* s : {"li", "LI", "lI", "li1+"}) {
    velmora_cmd_opt_get_type(type, s);
    EXPECT_STREQ(type, "Li") << s;
  }
  velmora_cmd_opt_get_type(type, "O2-");
  EXPECT_STREQ(type, "O");
  velmora_cmd_opt_get_type(type, "1");
  EXPECT_STREQ(type, "");
}

// Every numeric argument is range-checked, with a line naming it.
TEST(VelmoraCmd, ArgumentsAreRangeChecked) {
  Args a({"velmora.x", "--x", "in.cif", "1e308", "0.7", "99999999999999999999", "12", "-3", "0",
          "1e999", "abc", "li"});
  auto opt = context(a);
  ASSERT_TRUE(opt);
  std::string err;
  auto quiet = [&](auto&& f) {
    ::testing::internal::CaptureStderr();
    const bool ok = f();
    err = ::testing::internal::GetCapturedStderr();
    return ok;
  };
  double sf = -0.1;
  EXPECT_FALSE(quiet([&] { return velmora_cmd_arg_sf(opt.get(), 3, "sf", sf); }));
  EXPECT_EQ(err, "Error: wrong parameter sf: 1e308 is out of range (at most 10).\n");
  EXPECT_EQ(sf, -0.1);  // unchanged on failure
  EXPECT_TRUE(quiet([&] { return velmora_cmd_arg_sf(opt.get(), 4, "sf", sf); }));
  EXPECT_EQ(sf, 0.7);
  EXPECT_TRUE(quiet([&] { return velmora_cmd_arg_sf(opt.get(), 99, "sf", sf); }));  // absent
  EXPECT_EQ(sf, 0.7);
  double big = 0.0;
  EXPECT_FALSE(
      quiet([&] { return velmora_cmd_arg_real(opt.get(), 9, "k", -HUGE_VAL, 100.0, big); }));
  EXPECT_EQ(err, "Error: wrong parameter k: 1e999 is out of range (at most 100).\n");
  EXPECT_FALSE(
      quiet([&] { return velmora_cmd_arg_real(opt.get(), 10, "k", -HUGE_VAL, 1.0, big); }));
  EXPECT_EQ(err, "Error: wrong parameter k.\n");
  int s = 0;
  EXPECT_FALSE(quiet([&] { return velmora_cmd_arg_int(opt.get(), 5, "s0", INT_MIN, 1000, s); }));
  EXPECT_EQ(err,
            "Error: wrong parameter s0: 99999999999999999999 is out of range (at most 1000).\n");
  EXPECT_FALSE(quiet([&] { return velmora_cmd_arg_int(opt.get(), 6, "n", 3, 10, s); }));
  EXPECT_EQ(err, "Error: wrong parameter n: 12 is out of range (from 3 to 10).\n");
  EXPECT_TRUE(quiet([&] { return velmora_cmd_arg_int(opt.get(), 7, "s0", INT_MIN, 1000, s); }));
  EXPECT_EQ(s, -3);
  long steps = 0;
  EXPECT_FALSE(quiet([&] { return velmora_cmd_arg_long(opt.get(), 4, "steps", 0, 10, steps); }));
  EXPECT_EQ(err, "Error: wrong parameter steps.\n");  // 0.7 is no whole number
  // Oxidation states: whole, within +-8, not 0; types from letters.
  int os = 0;
  EXPECT_FALSE(quiet([&] { return velmora_cmd_arg_os(opt.get(), 8, "os", os); }));
  EXPECT_NE(err.find("Error: wrong parameter os: an ion of oxidation state 0"), std::string::npos);
  EXPECT_FALSE(quiet([&] { return velmora_cmd_arg_os(opt.get(), 6, "os", os); }));
  EXPECT_EQ(err, "Error: wrong parameter os: 12 is out of range (from -8 to 8).\n");
  EXPECT_TRUE(quiet([&] { return velmora_cmd_arg_os(opt.get(), 7, "os", os); }));
  EXPECT_EQ(os, -3);
  char type[3];
  EXPECT_TRUE(quiet([&] { return velmora_cmd_arg_type(opt.get(), 11, "type", type); }));
  EXPECT_STREQ(type, "Li");
  EXPECT_FALSE(quiet([&] { return velmora_cmd_arg_type(opt.get(), 6, "type", type); }));
  EXPECT_EQ(err, "Error: wrong parameter type.\n");
}

TEST(VelmoraCmd, UnknownNamesSuggestTheNearestCommand) {
  struct {
    const char* given;
    const char* meant;
  } cases[] = {{"--gen-cub", "--gen-cube"},
               {"--GEN-CIF", "--gen-cif"},
               {"--gencube", "--gen-cube"},
               {"--kcm", "--kmc"},
               {"-gh", "--gh"},
               {"--fft-cube", "--fft-cubes"},
               {"--print-cel", "--print-cell"}};
  for (const auto& c : cases) {
    const VELMORA_CMD* near = velmora_cmd_nearest(c.given);
    ASSERT_TRUE(near) << c.given;
    EXPECT_STREQ(near->name, c.meant) << c.given;
  }
  for (const char* far : {"--xyz", "hello", "", "--completely-different"})
    EXPECT_FALSE(velmora_cmd_nearest(far)) << far;
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

// Every row of the command table behaves as its columns say when the
// command is given without arguments: a feature not built yet says so
// (status 1), a command with usage lines prints exactly them (status 2), one
// without prints the short error (status 2).
TEST(VelmoraCmd, EveryTableRowWithoutArguments) {
  std::size_t count = 0;
  const VELMORA_CMD* table = velmora_cmd_table(&count);
  ASSERT_GT(count, 30u);
  const std::string exe = std::string(BV_BIN_DIR) + "/velmora.x";
  int listed = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const VELMORA_CMD& row = table[k];
    if (!row.name) {
      EXPECT_TRUE(row.help && !row.handler && !row.usage) << "separator " << k;
      continue;
    }
    EXPECT_EQ(velmora_cmd_find(row.name), &row) << row.name;  // names are unique
    if (row.help) ++listed;
    if (row.usage) {
      const std::string head = std::string("Command: ") + row.name;
      EXPECT_EQ(std::string(row.usage).compare(0, head.size(), head), 0) << row.name;
      EXPECT_NE(std::string(row.usage).find("\n\n"), std::string::npos) << row.name;
    }
    Args a({exe, row.name});
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = velmora_cmd_start(a.argc(), a.argv.data());
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (!row.handler) {
      EXPECT_EQ(status, VELMORA_EXIT_FAILURE) << row.name;
      EXPECT_EQ(err, std::string("Error: command ") + row.name +
                         " is not available in this build yet.\n");
    } else if (row.min_args == 0) {
      EXPECT_EQ(status, VELMORA_EXIT_OK) << row.name;
    } else if (row.usage) {
      EXPECT_EQ(status, VELMORA_EXIT_USAGE) << row.name;
      EXPECT_EQ(out, row.usage);
    } else {
      EXPECT_EQ(status, VELMORA_EXIT_USAGE) << row.name;
      EXPECT_EQ(err, "Error: not enough arguments.\n") << row.name;
    }
  }
  EXPECT_EQ(listed, 31);  // the help text lists 31 commands
  EXPECT_EQ(velmora_cmd_find("--GEN-CIF"), nullptr);
}

// The reference of the manual is made from the table: every command offered
// has a description (its help line, else a note) and shows its arguments,
// from its usage or from its note; each appears in the Markdown with its
// usage lines verbatim.
TEST(VelmoraCmd, ReferenceDescribesEveryCommand) {
  std::size_t count = 0;
  const VELMORA_CMD* table = velmora_cmd_table(&count);
  std::vector<std::string> words{"velmora.x", "--help-all", "--markdown"};
  Args a(words);
  ::testing::internal::CaptureStdout();
  const int status = velmora_cmd_start(a.argc(), a.argv.data());
  const std::string markdown = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, VELMORA_EXIT_OK);
  for (std::size_t k = 0; k < count; ++k) {
    const VELMORA_CMD& row = table[k];
    // (-v and -V stand in the section of --version)
    if (!row.name || !row.handler || (k > 0 && table[k - 1].handler == row.handler)) continue;
    const VELMORA_CMD_NOTE* note = velmora_cmd_note(row.name);
    EXPECT_TRUE(row.help || note) << row.name << " has neither help text nor a note";
    if (!row.usage && row.min_args > 0) {
      ASSERT_TRUE(note) << row.name;
      EXPECT_STRNE(note->arguments, "") << row.name;
    }
    EXPECT_NE(markdown.find(std::string("\n### `") + row.name + "`\n"), std::string::npos)
        << row.name;
    if (row.usage) {
      EXPECT_NE(markdown.find(row.usage), std::string::npos) << row.name;
    }
  }
  for (const char* extra : {"--markdown-x", "-h"}) {
    Args b({"velmora.x", "--help-all", extra});
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(velmora_cmd_start(b.argc(), b.argv.data()), VELMORA_EXIT_USAGE) << extra;
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: --help-all takes only --markdown.\n");
  }
}

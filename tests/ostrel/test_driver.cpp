// ostrel's command-line table, output files written through a temporary
// name, the list primitive and the biconnected components of the graph
// algorithms (checked against brute-force connectivity).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "OSTREL-file.h"
#include "OSTREL-list.h"
#include "OSTREL-math.h"
#include "OSTREL.h"
#include "test_util.h"

namespace {

using ostrel_test::read_file;
using ostrel_test::scratch;

int parse(OSTREL_input* input, std::vector<std::string> words) {
  words.insert(words.begin(), "ostrel");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  OSTREL_init_input(input);
  return OSTREL_process_command(input, (int)argv.size(), argv.data());
}

// Every flag of the table, written after the CIF file name, is read as that
// flag and never as the ion type; its mark and value land in the record.
TEST(FlagTable, NoFlagIsTakenForTheIonType) {
  for (int f = 0; f < OSTREL_TOTAL_FLAGS; f++) {
    const OSTREL_flag& flag = OSTREL_FLAGS[f];
    // (with the cube and the path stage that output flags need)
    std::vector<std::string> words{"--cube", "c.cube", "--path", "--cif", "x.cif", flag.word};
    if (flag.takes_value) words.push_back(flag.number ? "0.75" : "value.txt");
    OSTREL_input in;
    ASSERT_EQ(parse(&in, words), 0) << flag.word;
    EXPECT_EQ(in.ion, 0) << flag.word;
    EXPECT_TRUE(in.ion_type.empty()) << flag.word;
    EXPECT_EQ(OSTREL_isflag(flag.word), 1);
    if (flag.mark) {
      EXPECT_EQ(in.*flag.mark, 1) << flag.word;
    }
    if (flag.number) {
      EXPECT_DOUBLE_EQ(in.*flag.number, 0.75);
    }
    if (flag.text && std::string(flag.word) != "--cif") {
      EXPECT_EQ(in.*flag.text, "value.txt");
    }
  }
  EXPECT_EQ(OSTREL_isflag("--frobnicate"), 0);
  EXPECT_EQ(OSTREL_isflag("Li1+"), 0);
}

// Each flag's needs in the table are what the command line enforces: the
// flag alone (with its value) is refused, with every stage it needs it is
// taken; and the help lists every flag with its text.
TEST(FlagTable, NeedsAndHelpComeFromTheTable) {
  const std::pair<unsigned, const char*> stages[] = {
      {OSTREL_NEEDS_PATH, "--path"}, {OSTREL_NEEDS_CUBE, "--cube"}, {OSTREL_NEEDS_CIF, "--cif"}};
  for (int f = 0; f < OSTREL_TOTAL_FLAGS; f++) {
    const OSTREL_flag& flag = OSTREL_FLAGS[f];
    EXPECT_TRUE(flag.help && *flag.help) << flag.word;
    EXPECT_EQ(*flag.value_words != '\0', flag.takes_value != 0) << flag.word;
    std::vector<std::string> words{flag.word};
    if (flag.takes_value) words.push_back(flag.number ? "0.75" : "value.txt");
    OSTREL_input alone;
    testing::internal::CaptureStderr();
    const int refused = parse(&alone, words);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(refused, flag.needs ? 1 : 0) << flag.word;
    for (const auto& stage : stages) {
      if (!(flag.needs & stage.first)) continue;
      EXPECT_NE(err.find(stage.second), std::string::npos) << flag.word << ": " << err;
      words.insert(words.begin(), stage.second);
      if (stage.first != OSTREL_NEEDS_PATH) words.insert(words.begin() + 1, "x");
    }
    OSTREL_input with;
    EXPECT_EQ(parse(&with, words), 0) << flag.word;
  }
  const std::string path = scratch("help.txt");
  for (bool markdown : {false, true}) {
    FILE* out = fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    OSTREL_print_help(out, markdown);
    fclose(out);
    const std::string text = read_file(path);
    for (int f = 0; f < OSTREL_TOTAL_FLAGS; f++) {
      const std::string word = OSTREL_FLAGS[f].word;
      EXPECT_NE(text.find(markdown ? "| `" + word + "` |" : "  " + word), std::string::npos)
          << word;
    }
  }
}

TEST(FlagTable, IonSpellings) {
  // The spellings the toolkit accepts, in the type symbols' spelling; the
  // Na scale follows from any of them.
  for (const char* w : {"Na1+", "Na+", "Na+1", "na1+", "NA+"})
    EXPECT_EQ(OSTREL_canonical_ion(w), "Na1+") << w;
  // Digits without a sign are a site number, not a charge: Na1 names the
  // element as Na does, and keeps the Na energy scale.
  const char* const spelt[][2] = {{"na", "Na"},    {"Mg2+", "Mg2+"}, {"Mg+2", "Mg2+"},
                                  {"o2-", "O2-"},  {"Li", "Li"},     {"Na1", "Na"},
                                  {"li2", "Li"},   {"li", "Li"}};
  for (const auto& w : spelt)
    EXPECT_EQ(OSTREL_canonical_ion(w[0]), w[1]) << w[0];
  OSTREL_input in;
  for (const char* w : {"Na", "Na+", "Na1+", "Na1", "na", "NA1"}) {
    ASSERT_EQ(parse(&in, {"--cif", "a.cif", w}), 0) << w;
    EXPECT_STREQ(OSTREL_energy_scale_expression(&in, OSTREL_canonical_ion(in.ion_type)),
                 "0.5695*E^(0.6946)")
        << w;
  }
  ASSERT_EQ(parse(&in, {"--cif", "a.cif", "Li1+"}), 0);
  EXPECT_STREQ(OSTREL_energy_scale_expression(&in, OSTREL_canonical_ion(in.ion_type)), "E");
}

TEST(FlagTable, NearestFlag) {
  // Slips of the keyboard find their flag; words far from every flag, and
  // words without a dash (file names, ion types), get no suggestion.
  const char* const near[][2] = {{"--pth", "--path"},          {"--vesat", "--vesta"},
                                 {"--print-acts", "--print-act"}, {"--calc-bvsums", "--calc-bvsum"},
                                 {"--verison", "--version"},      {"--Cube", "--cube"},
                                 {"--frobnicate", ""},            {"path", ""},
                                 {"Li1+", ""}};
  for (const auto& w : near)
    EXPECT_EQ(OSTREL_nearest_flag(w[0]), w[1]) << w[0];
}

TEST(CellCheck, SameCellSupercellAndOther) {
  const double cif[6] = {4.61, 4.61, 4.61, 90, 90, 90};
  int n[3];
  const double same[6] = {4.6105, 4.61, 4.6099, 90, 90, 90.01};
  ASSERT_EQ(OSTREL_supercell_of(same, cif, n), 1);
  EXPECT_EQ(n[0] * n[1] * n[2], 1);
  const double super[6] = {9.22, 4.61, 13.83, 90, 90, 90};
  ASSERT_EQ(OSTREL_supercell_of(super, cif, n), 1);
  EXPECT_EQ(n[0], 2);
  EXPECT_EQ(n[1], 1);
  EXPECT_EQ(n[2], 3);
  // Half a cell, a length between multiples, other angles: no relation.
  const double half[6] = {2.305, 4.61, 4.61, 90, 90, 90};
  const double between[6] = {6.9, 4.61, 4.61, 90, 90, 90};
  const double sheared[6] = {4.61, 4.61, 4.61, 90, 95, 90};
  EXPECT_EQ(OSTREL_supercell_of(half, cif, n), 0);
  EXPECT_EQ(OSTREL_supercell_of(between, cif, n), 0);
  EXPECT_EQ(OSTREL_supercell_of(sheared, cif, n), 0);
}

TEST(FlagTable, ValuesIonTypeAndErrors) {
  OSTREL_input in;
  ASSERT_EQ(parse(&in, {"junk", "--cif", "a.cif", "Na1+", "--cube", "b.cube", "--max", "1.5",
                        "--scale", "2*E", "--path"}),
            0);
  EXPECT_EQ(in.cif_file, "a.cif");
  EXPECT_EQ(in.ion, 1);
  EXPECT_EQ(in.ion_type, "Na1+");
  EXPECT_EQ(in.cube, 1);
  EXPECT_EQ(in.cube_file, "b.cube");
  EXPECT_DOUBLE_EQ(in.max, 1.5);
  EXPECT_EQ(in.scaling, 1);
  EXPECT_EQ(in.scaling_expression, "2*E");
  EXPECT_EQ(in.path, 1);
  // A flag twice: the last value.
  ASSERT_EQ(parse(&in, {"--cube", "one", "--cube", "two"}), 0);
  EXPECT_EQ(in.cube_file, "two");
  // A value flag at the end, or followed by a flag, lacks its value.
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse(&in, {"--cube"}), 1);
  EXPECT_EQ(parse(&in, {"--max", "--path"}), 1);
  EXPECT_EQ(parse(&in, {"--max", "abc"}), 1);
  EXPECT_EQ(parse(&in, {"--cif", "a.cif", "Li1+abcdefghij"}), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: --cube requires a cube file name\n"
            "Error: --max requires an energy in eV\n"
            "Error: --max requires an energy in eV, not abc\n"
            "Error: Ion type Li1+abcdefghij after --cif is longer than 9 characters\n");
}

std::set<std::string> files_in(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    out.insert(e.path().filename().string());
  return out;
}

// The file appears whole or not at all, and no temporary file is left.
TEST(OutputFile, WrittenThroughATemporaryName) {
  const std::string dir = scratch("out");
  std::filesystem::create_directories(dir);
  const std::string name = dir + "/table.csv";
  auto write = [](const char* text, int result) {
    return [=](FILE* f) {
      fputs(text, f);
      return result;
    };
  };
  EXPECT_EQ(OSTREL_write_file(name.c_str(), write("first\n", 0)), OSTREL_WRITE_DONE);
  EXPECT_EQ(read_file(name), "first\n");
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
  // A writer that fails leaves the earlier file as it was.
  EXPECT_EQ(OSTREL_write_file(name.c_str(), write("partial", 1)), OSTREL_WRITE_FAILED);
  EXPECT_EQ(read_file(name), "first\n");
  // A directory in the way cannot be replaced.
  const std::string blocked = dir + "/blocked";
  std::filesystem::create_directories(blocked);
  EXPECT_EQ(OSTREL_write_file(blocked.c_str(), write("x", 0)), OSTREL_WRITE_UNWRITABLE);
  EXPECT_TRUE(std::filesystem::is_directory(blocked));
  EXPECT_EQ(files_in(dir), (std::set<std::string>{"blocked", "table.csv"}));
  // A missing directory: nothing to create the file in.
  EXPECT_EQ(OSTREL_write_file((dir + "/none/x.txt").c_str(), write("x", 0)),
            OSTREL_WRITE_UNWRITABLE);
}

// Insert, erase and remove-if keep the order of the other entries, for a
// list with a capacity (vector of `cap` entries) and one without.
TEST(ListPrimitive, OrderCountsAndMessages) {
  std::vector<int> v;
  int total = 0, cap = 0;
  auto l = OSTREL_list_of(v, total, &cap);
  for (int x : {1, 2, 4, 5}) EXPECT_EQ(OSTREL_list_append(l, x), 0);
  EXPECT_EQ(cap, 4);  // 1, 2, 4: doubling from the first length
  EXPECT_EQ(OSTREL_list_insert(l, 2, 3), 0);
  EXPECT_EQ(cap, 8);
  EXPECT_EQ((int)v.size(), cap);
  EXPECT_EQ(std::vector<int>(v.begin(), v.begin() + total), (std::vector<int>{1, 2, 3, 4, 5}));
  int out = 0;
  EXPECT_EQ(OSTREL_list_erase(l, 0, &out), 0);
  EXPECT_EQ(out, 1);
  EXPECT_EQ(OSTREL_list_remove_if(l, [](int x, int) { return x % 2 == 0; }), 2);
  EXPECT_EQ(std::vector<int>(v.begin(), v.begin() + total), (std::vector<int>{3, 5}));
  EXPECT_EQ(OSTREL_list_find(v, total, [](int x) { return x == 5; }), 1);
  EXPECT_EQ(OSTREL_list_erase(l, 2), OSTREL_LIST_BAD_INDEX);
  EXPECT_EQ(OSTREL_list_insert(l, -1, 0), OSTREL_LIST_BAD_INDEX);

  std::vector<std::string> w;
  int n = 0;
  auto m = OSTREL_list_of(w, n);
  for (const char* s : {"b", "c"}) EXPECT_EQ(OSTREL_list_append(m, std::string(s)), 0);
  EXPECT_EQ(OSTREL_list_insert(m, 0, std::string("a")), 0);
  EXPECT_EQ(w, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(OSTREL_list_erase(m, 1), 0);
  EXPECT_EQ(w, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(n, 2);
  OSTREL_list_free(l);
  EXPECT_EQ(total + cap + (int)v.size(), 0);

  testing::internal::CaptureStderr();
  EXPECT_EQ(OSTREL_list_report(OSTREL_LIST_OK, "f"), 0);
  EXPECT_EQ(OSTREL_list_report(OSTREL_LIST_BAD_INDEX, "OSTREL_f"), 1);
  EXPECT_EQ(OSTREL_list_report(OSTREL_LIST_NO_MEMORY, "OSTREL_f"), 1);
  EXPECT_EQ(OSTREL_list_report(OSTREL_LIST_NO_MEMORY, "OSTREL_f", nullptr), 1);
  EXPECT_EQ(OSTREL_catch_memory("OSTREL_g", []() -> int { throw std::bad_alloc(); }), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Invalid input to OSTREL_f()\n"
            "Error: Memory allocation problem in OSTREL_f()\n"
            "Error: Memory allocation problem\n"
            "Error: Memory allocation problem in OSTREL_g()\n");
}

// Number of connected pieces among the vertices not removed.
int pieces(int n, const std::vector<std::pair<int, int>>& edges, int removed) {
  std::vector<int> piece(n, -1);
  int count = 0;
  for (int s = 0; s < n; s++) {
    if (s == removed || piece[s] >= 0) continue;
    std::vector<int> todo{s};
    piece[s] = count;
    while (!todo.empty()) {
      int v = todo.back();
      todo.pop_back();
      for (const auto& e : edges)
        for (int k = 0; k < 2; k++) {
          int a = k ? e.second : e.first, b = k ? e.first : e.second;
          if (a == v && b != removed && piece[b] < 0) {
            piece[b] = count;
            todo.push_back(b);
          }
        }
    }
    count++;
  }
  return count;
}

std::set<std::set<int>> blocks_of(const OSTREL_blocks& b) {
  std::set<std::set<int>> out;
  for (int k = 0; k < b.total; k++)
    out.insert(std::set<int>(b.block_vertex.begin() + b.block_start[k],
                             b.block_vertex.begin() + b.block_start[k + 1]));
  return out;
}

TEST(BiconnectedComponents, BlocksAndCutVertices) {
  // A triangle 0-1-2, the bridge 2-3, the square 3-4-5-6 and a loop at 6.
  std::vector<std::pair<int, int>> e{{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 4},
                                     {4, 5}, {5, 6}, {6, 3}, {6, 6}};
  OSTREL_blocks b;
  OSTREL_find_biconnected_components(7, e, &b);
  EXPECT_EQ(blocks_of(b), (std::set<std::set<int>>{{0, 1, 2}, {2, 3}, {3, 4, 5, 6}}));
  EXPECT_EQ(std::vector<char>(b.is_cut.begin(), b.is_cut.end()),
            (std::vector<char>{0, 0, 1, 1, 0, 0, 0}));
  // Parallel edges join their ends in one block; nothing is cut.
  OSTREL_find_biconnected_components(2, {{0, 1}, {1, 0}}, &b);
  EXPECT_EQ(blocks_of(b), (std::set<std::set<int>>{{0, 1}}));
  EXPECT_EQ(b.is_cut[0] + b.is_cut[1], 0);

  // Random sparse graphs (the record reused): a vertex is cut exactly when
  // removing it leaves more pieces; every edge lies in exactly one block.
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; trial++) {
    const int n = 2 + (int)(rng() % 12);
    std::vector<std::pair<int, int>> g;
    const int m = (int)(rng() % (2 * n));
    for (int k = 0; k < m; k++) g.emplace_back((int)(rng() % n), (int)(rng() % n));
    OSTREL_find_biconnected_components(n, g, &b);
    const int whole = pieces(n, g, -1);
    for (int v = 0; v < n; v++) {
      // Removing an isolated vertex removes a piece; a cut vertex adds one.
      bool isolated = true;
      for (const auto& x : g)
        if ((x.first == v || x.second == v) && x.first != x.second) isolated = false;
      const bool cut = !isolated && pieces(n, g, v) > whole;
      EXPECT_EQ(b.is_cut[v] != 0, cut) << "trial " << trial << " vertex " << v;
    }
    const std::set<std::set<int>> bl = blocks_of(b);
    for (const auto& x : g) {
      if (x.first == x.second) continue;
      int holding = 0;
      for (const auto& s : bl) holding += s.count(x.first) && s.count(x.second);
      EXPECT_EQ(holding, 1) << "trial " << trial;
    }
  }
}

}  // namespace

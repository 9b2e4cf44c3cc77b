// The data files shipped in bin/ (space-group settings, per-ion and per-pair
// parameters) for the tests that read the real ones, and the skip of those
// tests in a build without them.
#ifndef VELMORA_TESTS_SHIPPED_DATA_H_
#define VELMORA_TESTS_SHIPPED_DATA_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace shipped_data {

inline const std::string kSymcards = std::string(BV_BIN_DIR) + "/database_symcards.dat";
inline const std::string kUnitary = std::string(BV_BIN_DIR) + "/database_unitary.dat";
inline const std::string kBinary = std::string(BV_BIN_DIR) + "/database_binary.dat";

// Whether the settings and the per-ion files can be read.
inline bool present() {
  std::FILE* f = std::fopen(kSymcards.c_str(), "rb");
  std::FILE* g = std::fopen(kUnitary.c_str(), "rb");
  if (f) std::fclose(f);
  if (g) std::fclose(g);
  return f && g;
}

}  // namespace shipped_data

#define REQUIRE_DATA()                                                                      \
  do {                                                                                      \
    if (!shipped_data::present()) GTEST_SKIP() << "data files not found in " BV_BIN_DIR; \
  } while (0)

#endif  // VELMORA_TESTS_SHIPPED_DATA_H_

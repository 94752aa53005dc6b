#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/host.h"

namespace {

TEST(SameFile, OnlyKnownEqualIdsOrElseEqualFinalPathsMakeOneFile) {
  constexpr std::uint64_t kOnes = ~std::uint64_t{0};
  struct Case {
    const char* name;
    host::FileIdentity first, second;
    bool same;
  };
  const host::FileIdentity file{7, 0, 42, "/v/data.dat"};
  const std::vector<Case> cases = {
      {"equal IDs, other path (a hard link)", file, {7, 0, 42, "/v/data2.dat"}, true},
      {"other high half", file, {7, 9, 42, "/v/data.dat"}, false},
      {"other volume", file, {8, 0, 42, "/v/data.dat"}, false},
      {"other ID, same path", file, {7, 0, 43, "/v/data.dat"}, false},
      {"ID 0, same path (a symbolic link)", file, {7, 0, 0, "/v/data.dat"}, true},
      {"ID 0, other path", file, {7, 0, 0, "/v/data2.dat"}, false},
      {"64-bit ID of all ones, other path", file, {7, 0, kOnes, "/v/data2.dat"}, false},
      {"128-bit ID of all ones, same path", file, {7, kOnes, kOnes, "/v/data.dat"}, true},
      {"no IDs and no paths", {7, 0, 0, ""}, {7, 0, 0, ""}, false},
      {"a 128-bit ID with a low half of 0", {7, 5, 0, ""}, {7, 5, 0, ""}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host::same_file(c.first, c.second), c.same) << c.name;
    EXPECT_EQ(host::same_file(c.second, c.first), c.same) << c.name;
  }
}

}  // namespace

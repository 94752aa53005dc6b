#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/host.h"

namespace {

using host::FileIdentity;

TEST(SameFile, OnlyKnownEqualIdsOrElseEqualFinalPathsMakeOneFile) {
  constexpr std::uint64_t kOnes = ~std::uint64_t{0};
  const FileIdentity file{7, 0, 42, "/v/data.dat"};
  struct Case {
    const char* name;
    FileIdentity other;
    bool same;
  };
  const std::vector<Case> cases = {
      {"equal IDs, other path (a hard link)", {7, 0, 42, "/v/data2.dat"}, true},
      {"other high half", {7, 9, 42, "/v/data.dat"}, false},
      {"other volume", {8, 0, 42, "/v/data.dat"}, false},
      {"other ID, same path", {7, 0, 43, "/v/data.dat"}, false},
      {"ID 0, same path (a symbolic link)", {7, 0, 0, "/v/data.dat"}, true},
      {"ID 0, other path", {7, 0, 0, "/v/data2.dat"}, false},
      {"64-bit ID of all ones, other path", {7, 0, kOnes, "/v/data2.dat"}, false},
      {"128-bit ID of all ones, same path", {7, kOnes, kOnes, "/v/data.dat"}, true},
      {"ID 0, no path", {7, 0, 0, ""}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host::same_file(file, c.other), c.same) << c.name;
    EXPECT_EQ(host::same_file(c.other, file), c.same) << c.name;
  }
  // Two files of a volume without IDs or paths are never taken for one.
  EXPECT_FALSE(host::same_file({7, 0, 0, ""}, {7, 0, 0, ""}));
  EXPECT_TRUE(host::same_file({7, 5, 0, ""}, {7, 5, 0, ""}));  // a 128-bit ID with a low half of 0
}

}  // namespace

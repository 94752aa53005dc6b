#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "causes.h"
#include "file_identity.h"

namespace {

host::FileIdentity id(std::uint64_t volume, std::uint64_t high, std::uint64_t low, const char* path,
                      std::uint32_t links = 1, host::FileState state = {},
                      std::int64_t changed = 0) {
  return {{volume, high, low}, {}, path, links, state, changed, true};
}

host::FileIdentity with_wide_id(host::FileIdentity file, host::FileId wide) {
  file.wide_id = wide;
  return file;
}

host::FileIdentity undescribed(host::FileIdentity file) {
  file.described = false;
  return file;
}

host::FileIdentity index_not_unique(host::FileIdentity file) {
  file.id_unique = false;
  return file;
}

TEST(MayBeSameFile, EqualIdsProveOneFileAndNothingProvesTwo) {
  constexpr std::uint64_t kOnes = ~std::uint64_t{0};
  struct Case {
    const char* name;
    host::FileIdentity candidate, known;
    bool same;
  };
  const host::FileState content{42, 1000};
  const host::FileIdentity file = id(7, 0, 42, "/v/data.dat", 1, content, 900);
  const host::FileIdentity no_id = id(7, 0, 0, "", 1, content, 900);
  const std::vector<Case> cases = {
      {"equal IDs, other path (a hard link)", file, id(7, 0, 42, "/v/data2.dat"), true},
      {"other high half", file, id(7, 9, 42, "/v/data2.dat"), false},
      {"other volume", file, id(8, 0, 42, "/v/data2.dat"), false},
      {"other ID, same path", file, id(7, 0, 43, "/v/data.dat"), true},
      {"IDs made up per name, one size and the same times",
       id(7, 0, 43, "/v/data2.dat", 1, content, 900), file, true},
      {"other IDs, two names, other times", id(7, 0, 43, "/v/data2.dat", 2, content, 901), file,
       false},
      {"one file, its 128-bit ID asked once only",
       with_wide_id(id(7, 0, 42, "/v/data2.dat"), {70, 5, 42}), id(7, 0, 42, "/v/data.dat"), true},
      {"other files, 128-bit IDs asked", with_wide_id(id(7, 0, 42, "/a", 1, {1, 1}), {70, 5, 42}),
       with_wide_id(id(7, 0, 43, "/b"), {70, 5, 43}), false},
      {"equal 128-bit IDs, other indexes", with_wide_id(id(7, 0, 42, "/a"), {70, 5, 42}),
       with_wide_id(id(7, 0, 43, "/b"), {70, 5, 42}), true},
      {"other 128-bit IDs, equal indexes (ReFS)",
       with_wide_id(id(7, 0, 42, "/a", 1, {1, 1}), {70, 5, 42}),
       with_wide_id(id(7, 0, 42, "/b"), {70, 5, 43}), false},
      {"ID 0, same path (a symbolic link)", file, id(7, 0, 0, "/v/data.dat"), true},
      {"ID 0, other path", file, id(7, 0, 0, "/v/data2.dat"), false},
      {"64-bit IDs of all ones, an old output", id(7, 0, kOnes, "/v/data2.dat", 1, {41, 1}, 2),
       id(7, 0, kOnes, "/v/data.dat", 1, content, 900), false},
      {"128-bit IDs of all ones, other paths", id(7, kOnes, kOnes, "/v/data2.dat"),
       id(7, kOnes, kOnes, "/v/data.dat", 1, content, 900), false},
      {"a 128-bit ID with a low half of 0", id(7, 5, 0, "/a"), id(7, 5, 0, "/b"), true},
      {"no ID, two names (a hard link)", id(7, 0, 0, "/v/data2.dat", 2), file, true},
      {"no 64-bit IDs, a 128-bit ID on one side only, two names",
       with_wide_id(id(7, 0, 0, "/v/data2.dat", 2), {70, 5, 42}), id(7, 0, 0, "/v/data.dat"), true},
      {"no IDs, no paths, one size and the same times", no_id, no_id, true},
      {"no IDs, other paths, one size and the same times", id(7, 0, 0, "/a", 1, content, 900),
       id(7, 0, 0, "/b", 1, content, 900), true},
      {"no IDs, no paths, other creation time", no_id, id(7, 0, 0, "", 1, content, 901), false},
      {"no IDs, no paths, other modification time", no_id, id(7, 0, 0, "", 1, {42, 1001}, 900),
       false},
      {"no IDs, no paths, other size", no_id, id(7, 0, 0, "", 1, {41, 1000}, 900), false},
      {"no IDs, no paths, other volume", no_id, id(8, 0, 0, "", 1, content, 900), false},
      {"no IDs, no paths, one byte and the same times", id(7, 0, 0, "", 1, {1, 1000}, 900),
       id(7, 0, 0, "", 1, {1, 1000}, 900), true},
      // Where the cause line would be appended, an empty file is no less one.
      {"no IDs, no paths, both empty", id(7, 0, 0, "", 1, {0, 1000}, 900),
       id(7, 0, 0, "", 1, {0, 1000}, 900), true},
      // A handle that only FileIdInfo and the newer calls describe: no
      // 64-bit ID, made-up 128-bit ones; the volume of those decides.
      {"made-up 128-bit IDs, one size and the same times",
       with_wide_id(id(0, 0, 0, "", 1, content, 900), {70, 5, 43}), with_wide_id(file, {70, 5, 42}),
       true},
      {"made-up 128-bit IDs on other volumes",
       with_wide_id(id(8, 0, 0, "", 1, content, 900), {71, 5, 43}), with_wide_id(file, {70, 5, 42}),
       false},
      // Wine: a standard handle made from a Unix descriptor, its ID without a volume.
      {"equal 128-bit IDs, one without its volume",
       with_wide_id(id(0, 0, 0, "", 1, {1, 1}, 1), {0, 5, 42}), with_wide_id(file, {70, 5, 42}),
       true},
      {"the candidate not described", undescribed(id(7, 0, 43, "/b")), file, true},
      {"the known file not described", id(7, 0, 43, "/b"), undescribed(file), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Module1::may_be_same_file(c.candidate, c.known), c.same) << c.name;
  }
  // Only equal IDs say that data2.dat is data.dat; anything else, that it
  // may be; another file is held by another program.
  EXPECT_EQ(Module1::refusal_as_input(id(8, 0, 43, "/w/data2.dat"), file),
            Module1::Problem::output_held);
  EXPECT_EQ(Module1::refusal_as_input(id(7, 0, 42, "/v/data2.dat"), file),
            Module1::Problem::is_input);
  EXPECT_EQ(Module1::refusal_as_input(id(7, 0, 43, "/v/data.dat"), file),
            Module1::Problem::may_be_input);
  EXPECT_EQ(Module1::refusal_as_input(undescribed(id(7, 0, 42, "/v/data2.dat")), file),
            Module1::Problem::may_be_input);
  // Equal 64-bit indexes that need not be unique (Windows, ReFS) prove nothing, even where one
  // file gives a 128-bit ID; 128-bit IDs of both do.
  EXPECT_EQ(Module1::refusal_as_input(
                index_not_unique(with_wide_id(id(7, 0, 42, "/v/data2.dat"), {70, 5, 42})), file),
            Module1::Problem::may_be_input);
  EXPECT_EQ(Module1::refusal_as_input(index_not_unique(with_wide_id(file, {70, 5, 42})),
                                      with_wide_id(id(7, 0, 42, "/v/data2.dat"), {70, 5, 42})),
            Module1::Problem::is_input);
}

}  // namespace

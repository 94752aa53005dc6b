#include "code_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "code_rule.h"

namespace {

using Module1::Code;

TEST(Recode, EveryOldCodeGetsItsNewCode) {
  for (const auto& [old_code, new_code] : code_rule::table()) {
    EXPECT_EQ(Module1::recode(old_code, Code()).text(), new_code) << old_code;
    EXPECT_EQ(Module1::recode(old_code, Code("7")).text(), new_code)
        << old_code << " after a known code";
  }
}

TEST(Recode, TextThatIsNotExactlyAnOldCodeKeepsTheCarriedCode) {
  const std::string fullwidth_5_utf8 = "\xEF\xBC\x95";
  const std::string fullwidth_5_cp932 = "\x82\x54";
  const std::string with_nul = std::string("5\0", 2);
  std::vector<std::string> near_misses = {"05", " 5", "5 ",  "+5", "5.0", "-0",  "00",  "20",
                                          "21", "98", "100", "",   "a",   "5\"", "\"5", "0x5"};
  near_misses.insert(near_misses.end(),
                     {fullwidth_5_utf8, fullwidth_5_cp932, with_nul, std::string(1, '\0')});
  for (const std::string& code : near_misses) {
    EXPECT_EQ(Module1::recode(code, Code()).text(), "") << code;
    EXPECT_EQ(Module1::recode(code, Code("18")).text(), "18") << code;
  }
}

TEST(Recode, UnknownCodesCarryTheLastKnownNewCode) {
  Code carried;
  std::vector<std::string> written;
  for (const char* code : {"77", "5", "77", "", "16", "98", "0", "x"}) {
    carried = Module1::recode(code, carried);
    written.emplace_back(carried.text());
  }
  EXPECT_EQ(written, (std::vector<std::string>{"", "6", "6", "6", "18", "18", "0", "0"}));
}

}  // namespace

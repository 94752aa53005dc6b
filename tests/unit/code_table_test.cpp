#include "code_table.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Module1::Code;

TEST(Recode, EveryOldCodeGetsItsNewCode) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"0", "0"},   {"99", "1"},  {"1", "2"},   {"2", "3"},   {"3", "4"},   {"4", "5"},
      {"5", "6"},   {"6", "7"},   {"7", "8"},   {"8", "9"},   {"9", "10"},  {"10", "11"},
      {"11", "12"}, {"12", "13"}, {"13", "14"}, {"14", "15"}, {"15", "16"}, {"19", "17"},
      {"16", "18"}, {"17", "19"}, {"18", "20"},
  };
  for (const auto& [old_code, new_code] : table) {
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

#include "code_table.h"

#include <array>
#include <cstddef>

namespace Module1 {
namespace {

struct CodeRow {
  std::string_view old_code;
  std::string_view new_code;
};

// Old codes are compared as text, exactly: "05" or " 5" is not "5".
constexpr std::array<CodeRow, 21> kCodeTable{{
    {"0", "0"},   {"99", "1"},  {"1", "2"},   {"2", "3"},   {"3", "4"},   {"4", "5"},
    {"5", "6"},   {"6", "7"},   {"7", "8"},   {"8", "9"},   {"9", "10"},  {"10", "11"},
    {"11", "12"}, {"12", "13"}, {"13", "14"}, {"14", "15"}, {"15", "16"}, {"19", "17"},
    {"16", "18"}, {"17", "19"}, {"18", "20"},
}};

// Every old code is the plain decimal text of a number below 100, so the
// table is also held indexed by that number. Only texts of that same form are
// looked up there, which makes the lookup give exactly what comparing the text
// with each old code in turn would give.
constexpr std::size_t kIndexSize = 100;

constexpr std::size_t number_of(std::string_view digits) {
  std::size_t number = 0;
  for (const char digit : digits) number = number * 10 + static_cast<std::size_t>(digit - '0');
  return number;
}

constexpr bool is_plain_number_below_100(std::string_view text) {
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.size() == 1) return is_digit(text[0]);
  return text.size() == 2 && text[0] != '0' && is_digit(text[0]) && is_digit(text[1]);
}

constexpr std::array<std::string_view, kIndexSize> kNewCodeByNumber = [] {
  std::array<std::string_view, kIndexSize> index{};
  for (const CodeRow& row : kCodeTable) {
    if (!is_plain_number_below_100(row.old_code)) throw "old codes must be plain numbers below 100";
    index[number_of(row.old_code)] = row.new_code;
  }
  return index;
}();

}  // namespace

std::string_view recode(std::string_view code_field, std::string_view carried_code) {
  if (!is_plain_number_below_100(code_field)) return carried_code;
  const std::string_view new_code = kNewCodeByNumber[number_of(code_field)];
  return new_code.empty() ? carried_code : new_code;
}

}  // namespace Module1

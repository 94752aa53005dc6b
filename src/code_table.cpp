#include "code_table.h"

#include <array>

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

}  // namespace

std::string_view recode(std::string_view code_field, std::string_view carried_code) {
  for (const CodeRow& row : kCodeTable) {
    if (code_field == row.old_code) return row.new_code;
  }
  return carried_code;
}

}  // namespace Module1

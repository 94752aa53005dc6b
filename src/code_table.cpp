#include "code_table.h"

#include <array>
#include <cstddef>
#include <cstdint>

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
// table is also held by entry: a text of one or two digits without a leading
// zero has its number as its entry, every other text an entry of 100 or more,
// always empty. The lookup gives exactly what comparing the text with each
// old code in turn would give.
constexpr std::size_t kNumbers = 100;

// What each byte adds to the entry of a text of one or two bytes: as its last
// digit, its value; as the first of two, ten times its value (a leading zero
// is not allowed). Any other byte adds kNumbers, so that the sum lies past
// the numbers whatever the other byte adds, and needs no bound of its own.
constexpr std::array<std::uint8_t, 256> digit_values(std::size_t weight, char lowest) {
  std::array<std::uint8_t, 256> values{};
  for (std::size_t byte = 0; byte < values.size(); ++byte) {
    const bool digit = byte >= static_cast<unsigned char>(lowest) && byte <= '9';
    values[byte] = static_cast<std::uint8_t>(digit ? (byte - '0') * weight : kNumbers);
  }
  return values;
}

constexpr std::array<std::uint8_t, 256> kAsLastDigit = digit_values(1, '0');
constexpr std::array<std::uint8_t, 256> kAsFirstOfTwo = digit_values(10, '1');
constexpr std::size_t kEntries = 2 * kNumbers + 1;  // the last: two bytes, neither a digit

// The entry of `text` in kNewCodeByEntry. Codes are random from one record
// to the next, so the digits are looked up in tables rather than tested with
// branches, which the processor could not predict: looked up in the table
// row by row instead, the whole conversion in memory is far slower
// (run_benchmark).
constexpr std::size_t entry_of(std::string_view text) {
  if (text.size() - 1 > 1) return kNumbers;                // neither one byte nor two
  const std::size_t digits_before_last = text.size() - 1;  // 0 or 1
  return kAsFirstOfTwo[static_cast<unsigned char>(text.front())] * digits_before_last +
         kAsLastDigit[static_cast<unsigned char>(text.back())];
}

constexpr std::array<Code, kEntries> kNewCodeByEntry = [] {
  std::array<Code, kEntries> index{};
  for (const CodeRow& row : kCodeTable) {
    const std::size_t entry = entry_of(row.old_code);
    if (entry >= kNumbers) throw "old codes must be plain numbers below 100";
    if (row.new_code.size() > Code::kMaxSize) throw "new codes must fit a Code";
    index[entry] = Code(row.new_code);
  }
  return index;
}();

}  // namespace

Code recode(std::string_view code_field, Code carried_code) {
  return kNewCodeByEntry[entry_of(code_field)].or_else(carried_code);
}

}  // namespace Module1

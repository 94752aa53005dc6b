#include "record_line.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "failure.h"

namespace Module1 {
namespace {

constexpr std::size_t kWordSize = sizeof(std::uint64_t);
static_assert(std::endian::native == std::endian::little,
              "the byte scan below numbers bytes from the low end of a word");

// One high bit for each comma among the first `length` (at most 8) bytes.
std::uint64_t comma_bytes(const char* bytes, std::size_t length) {
  std::uint64_t word = 0;
  if (length == kWordSize) {
    std::memcpy(&word, bytes, kWordSize);  // one load, not a call
  } else {
    std::memcpy(&word, bytes, length);
  }
  constexpr std::uint64_t kCommas = 0x2C2C2C2C2C2C2C2CULL;
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t zero_where_comma = word ^ kCommas;
  // Exact zero-byte test: no borrow runs from one byte into the next.
  std::uint64_t marks = ~(((zero_where_comma & kLow7) + kLow7) | zero_where_comma | kLow7);
  if (length < kWordSize) marks &= (std::uint64_t{1} << (8 * length)) - 1;
  return marks;
}

// True when the fields are views into one line, each following the previous
// one's separator: the form that split_record gives them.
[[maybe_unused]] bool fields_lie_in_one_line(const FieldList& fields) {
  for (std::size_t position = 1; position < fields.size(); ++position) {
    const char* gap = fields[position - 1].data() + fields[position - 1].size();
    if (fields[position].data() != gap + kFieldSeparator.size() ||
        std::string_view(gap, kFieldSeparator.size()) != kFieldSeparator) {
      return false;
    }
  }
  return true;
}

std::string too_few_fields(std::size_t count) {
  return std::to_string(count) + " fields; a record needs at least 5";
}

}  // namespace

void split_record(std::string_view line, FieldList& fields) {
  fields.clear();
  if (line.empty()) return;

  // The separator's comma is found eight bytes at a time; a comma is a
  // separator when a quote stands on either side of it and it does not start
  // inside the previous separator (occurrences never overlap).
  const char* const text = line.data();
  const std::size_t size = line.size();
  std::size_t field_start = 0;
  for (std::size_t base = 0; base < size; base += kWordSize) {
    for (std::uint64_t commas = comma_bytes(text + base, std::min(kWordSize, size - base));
         commas != 0; commas &= commas - 1) {
      const std::size_t at = base + static_cast<std::size_t>(std::countr_zero(commas)) / 8;
      if (at <= field_start || at + 1 >= size) continue;
      if (text[at - 1] == '"' && text[at + 1] == '"') {
        fields.emplace_back(text + field_start, at - 1 - field_start);
        field_start = at + 2;
      }
    }
  }
  fields.emplace_back(text + field_start, size - field_start);
}

std::string_view code_field(const FieldList& fields) {
  if (fields.size() <= kCodeFieldPosition) throw Failure::record(too_few_fields(fields.size()));
  return fields[kCodeFieldPosition];
}

void join_record(const FieldList& fields, std::string_view carried_code, std::string& line) {
  const std::size_t count = fields.size();
  if (count <= kCodeFieldPosition + 1) throw Failure::record(too_few_fields(count));
  if (count > kMaxFields) {
    throw Failure::record(std::to_string(count) + " fields; a record holds at most " +
                          std::to_string(kMaxFields));
  }
  assert(fields_lie_in_one_line(fields));

  // The fields still lie in their line, joined by separators, so the output
  // is that line with the code field's bytes replaced.
  const std::string_view code = fields[kCodeFieldPosition];
  const char* const first = fields.front().data();
  const char* const last_end = fields.back().data() + fields.back().size();
  const char* const code_end = code.data() + code.size();
  line.clear();
  line.append(first, code.data());
  line.append(carried_code);
  line.append(code_end, last_end);
}

}  // namespace Module1

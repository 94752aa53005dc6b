#include "record_line.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <string>

#include "failure.h"

namespace Module1 {
namespace {

constexpr std::size_t kWordSize = sizeof(std::uint64_t);
constexpr std::size_t kBlockSize = 64;  // bytes scanned per bit mask
static_assert(std::endian::native == std::endian::little,
              "the byte scan below numbers bytes from the low end of a word");

// The line's bytes from `at` on, at most eight, as one word, zeros after them.
std::uint64_t word_at(std::string_view line, std::size_t at) {
  std::uint64_t word = 0;
  const std::size_t count = std::min(kWordSize, line.size() - at);
  if (count == kWordSize) {
    std::memcpy(&word, line.data() + at, kWordSize);  // one load, not a call
  } else if (line.size() >= kWordSize) {
    // The line's last eight bytes, shifted so that the ones before `at` fall off.
    std::memcpy(&word, line.data() + line.size() - kWordSize, kWordSize);
    word >>= 8 * (kWordSize - count);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      word |= std::uint64_t{static_cast<unsigned char>(line[at + i])} << (8 * i);
    }
  }
  return word;
}

// Bit j set when byte j of `word` is a comma.
std::uint64_t comma_bits_of_word(std::uint64_t word) {
  constexpr std::uint64_t kCommas = 0x2C2C2C2C2C2C2C2CULL;
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t zero_where_comma = word ^ kCommas;
  // Exact zero-byte test, one high bit per comma: no carry crosses bytes.
  const std::uint64_t marks = ~(((zero_where_comma & kLow7) + kLow7) | zero_where_comma | kLow7);
  // Gathers the eight high bits into the top byte, byte j's bit at 56 + j.
  constexpr std::uint64_t kGather = 0x0102040810204080ULL;
  return ((marks >> 7) * kGather) >> 56;
}

// Bit i set when byte i of the (at most 64) bytes of the line from `offset`
// is a comma. Scanning a whole block before looking at any comma keeps the
// branches predictable.
std::uint64_t comma_bits(std::string_view line, std::size_t offset) {
  std::uint64_t bits = 0;
  if (offset + kBlockSize <= line.size()) {  // a whole block: a fixed number of plain loads
    for (std::size_t word = 0; word < kBlockSize / kWordSize; ++word) {
      std::uint64_t bytes = 0;
      std::memcpy(&bytes, line.data() + offset + word * kWordSize, kWordSize);
      bits |= comma_bits_of_word(bytes) << (word * 8);
    }
    return bits;
  }
  for (std::size_t at = offset; at < line.size(); at += kWordSize) {
    bits |= comma_bits_of_word(word_at(line, at)) << (at - offset);
  }
  return bits;
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

  // A comma is a separator when a quote stands on either side of it and it
  // does not start inside the previous separator (occurrences never overlap).
  const char* const text = line.data();
  const std::size_t size = line.size();
  std::size_t field_start = 0;
  for (std::size_t block = 0; block < size; block += kBlockSize) {
    for (std::uint64_t commas = comma_bits(line, block); commas != 0; commas &= commas - 1) {
      const std::size_t at = block + static_cast<std::size_t>(std::countr_zero(commas));
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

LinePieces join_record(const FieldList& fields, std::string_view carried_code) {
  const std::size_t count = fields.size();
  if (count <= kCodeFieldPosition + 1) throw Failure::record(too_few_fields(count));
  if (count > kMaxFields) {
    throw Failure::record(std::to_string(count) + " fields; a record holds at most " +
                          std::to_string(kMaxFields));
  }
  assert(fields_lie_in_one_line(fields));

  const std::string_view code = fields[kCodeFieldPosition];
  const char* const first = fields.front().data();
  const char* const code_end = code.data() + code.size();
  const char* const last_end = fields.back().data() + fields.back().size();
  return {std::string_view(first, static_cast<std::size_t>(code.data() - first)), carried_code,
          std::string_view(code_end, static_cast<std::size_t>(last_end - code_end))};
}

}  // namespace Module1

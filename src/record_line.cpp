#include "record_line.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "byte_blocks.h"
#include "failure.h"

namespace Module1 {
namespace {

// Bit i set when byte `offset + i` of the line is a comma, for the block of
// the line that starts at `offset`. A block that the line ends inside is
// compared as the last whole block of the line, its bits shifted, or, in a
// line shorter than a block, as a copy padded with zeros.
std::uint32_t comma_bits(std::string_view line, std::size_t offset) {
  const auto commas = [](const char* bytes) {
    return marked_bits(bytes_equal(load_block(bytes), ','));
  };
  if (offset + kBlockSize <= line.size()) return commas(line.data() + offset);
  if (line.size() >= kBlockSize) {
    const std::size_t last_block = line.size() - kBlockSize;
    return commas(line.data() + last_block) >> (offset - last_block);
  }
  char padded[kBlockSize] = {};
  std::memcpy(padded, line.data() + offset, line.size() - offset);
  return commas(padded);
}

// Left to right through the whole line, checking each comma: the general
// case, and the only one that counts every field of a long line.
void split_by_scanning(std::string_view line, FieldList& fields) {
  // A comma is a separator when a quote stands on either side of it and it
  // does not start inside the previous separator (occurrences never overlap).
  // Only a long line is scanned past its fourth separator, to count its fields.
  const char* const text = line.data();
  const std::size_t size = line.size();
  const bool count_all = size >= kLongLine;
  std::size_t separators = 0;
  std::size_t field_start = 0;
  for (std::size_t block = 0; block < size; block += kBlockSize) {
    for (std::uint32_t commas = comma_bits(line, block); commas != 0; commas &= commas - 1) {
      const std::size_t at = block + static_cast<std::size_t>(std::countr_zero(commas));
      if (at <= field_start || at + 1 >= size || text[at - 1] != '"' || text[at + 1] != '"') {
        continue;
      }
      if (separators < fields.separator_at.size()) fields.separator_at[separators] = at - 1;
      ++separators;
      field_start = at + 2;
      if (separators == fields.separator_at.size() && !count_all) {
        fields.count = kMinFields;
        return;
      }
    }
  }
  fields.count = separators + 1;
}

// The window of a line that is looked at first: the commas at positions 1 to
// 64, the only ones that the first 66 bytes can make separators of.
constexpr std::size_t kWindowStart = 1;
constexpr std::size_t kWindowEnd = kWindowStart + 64;
// The shortest line whose window can be read a whole block at a time.
constexpr std::size_t kShortestWindowedLine = kBlockSize + 2;

// Bit i set when the comma at `at + i` stands between two quotes, for the
// block of the line at `at` and the bytes on either side of it.
std::uint32_t quoted_comma_bits(const char* at) {
  return marked_bits(bytes_equal(load_block(at - 1), '"') & bytes_equal(load_block(at), ',') &
                     bytes_equal(load_block(at + 1), '"'));
}

// True when at least four bits of `bits` are set.
bool four_or_more(std::uint64_t bits) {
  for (int cleared = 0; cleared < 3; ++cleared) bits &= bits - 1;
  return bits != 0;
}

// Bit i set when the comma at position kWindowStart + i of the line stands
// between two quotes. In a line that holds the whole window, the last block
// is read only when the others hold fewer than four; in a shorter one, the
// block that the line ends inside is read as the last whole block before
// the line's last byte.
std::uint64_t quoted_commas_in_window(std::string_view line) {
  const auto bits_at = [&line](std::size_t at) {
    return std::uint64_t{quoted_comma_bits(line.data() + at)} << (at - kWindowStart);
  };
  constexpr std::size_t kLastWindowBlock = kWindowEnd - kBlockSize;
  std::uint64_t window = 0;
  if (line.size() > kWindowEnd) {
    for (std::size_t at = kWindowStart; at < kLastWindowBlock; at += kBlockSize) {
      window |= bits_at(at);
    }
    return four_or_more(window) ? window : window | bits_at(kLastWindowBlock);
  }
  const std::size_t last_block = line.size() - 1 - kBlockSize;  // ends before the last byte
  std::size_t at = kWindowStart;
  for (; at <= last_block; at += kBlockSize) window |= bits_at(at);
  // The last whole block overlaps the blocks before it; the bits they share
  // are the same.
  if (at < line.size() - 1) window |= bits_at(last_block);
  return window;
}

// The first four separators of an ordinary line, found together from the
// marks of its window instead of comma by comma, without a branch per
// comma, which the processor could not predict. False where the window
// cannot settle the field list: a line too short to read by blocks or long
// enough to need all its fields counted, two quoted commas close enough for
// their separators to overlap, or fewer than four separators in the window
// of a line that goes on past it.
bool split_by_window(std::string_view line, FieldList& fields) {
  if (line.size() < kShortestWindowedLine || line.size() >= kLongLine) return false;
  std::uint64_t separators = quoted_commas_in_window(line);
  if ((separators & (separators << 2)) != 0) return false;
  const bool four_found = four_or_more(separators);
  if (!four_found && line.size() - 1 > kWindowEnd) return false;  // the line goes on past it
  fields.count = four_found ? kMinFields : static_cast<std::size_t>(std::popcount(separators)) + 1;
  for (std::size_t& at : fields.separator_at) {
    // The separator starts at the quote before its comma; unused entries
    // get a meaningless value, as the count says.
    at = static_cast<std::size_t>(std::countr_zero(separators)) + kWindowStart - 1;
    separators &= separators - 1;
  }
  return true;
}

}  // namespace

void split_record(std::string_view line, FieldList& fields) {
  fields.line = line;
  fields.count = 0;
  if (line.empty()) return;
  if (!split_by_window(line, fields)) split_by_scanning(line, fields);
}

void fail_too_few_fields(std::size_t count) {
  throw Failure::record(std::to_string(count) + " fields; a record needs at least " +
                        std::to_string(kMinFields));
}

LinePieces join_record(const FieldList& fields, std::string_view carried_code) {
  if (fields.count < kMinFields) fail_too_few_fields(fields.count);
  if (fields.count > kMaxFields) {
    throw Failure::record(std::to_string(fields.count) + " fields; a record holds at most " +
                          std::to_string(kMaxFields));
  }
  // Around the code field, the output is the input line itself.
  const std::string_view code = code_field(fields);
  const char* const line = fields.line.data();
  const char* const code_end = code.data() + code.size();
  return {
      std::string_view(line, static_cast<std::size_t>(code.data() - line)), carried_code,
      std::string_view(code_end, fields.line.size() - static_cast<std::size_t>(code_end - line))};
}

}  // namespace Module1

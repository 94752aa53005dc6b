#include "record_line.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "byte_blocks.h"
#include "cause_line.h"
#include "failure.h"

namespace Module1 {
namespace {

constexpr std::size_t kSeparatorsNoted = 4;

// Notes the separators whose commas `bits` marks (bit i for the comma at
// `first_comma + i`), left to right, up to the fourth of the line. A comma
// two bytes after a separator's comma is not one: its quote before it is
// that separator's last byte. `field_start` is where the field after the
// last separator noted starts.
void note_separators(std::uint64_t bits, std::size_t first_comma, FieldList& fields,
                     std::size_t& field_start) {
  for (; bits != 0 && fields.separator_count < kSeparatorsNoted; bits &= bits - 1) {
    const std::size_t at = first_comma + static_cast<std::size_t>(std::countr_zero(bits)) - 1;
    if (at + 1 == field_start) continue;
    if (fields.separator_count == 2) fields.third_separator = at;
    if (fields.separator_count == 3) fields.fourth_separator = at;
    ++fields.separator_count;
    field_start = at + kFieldSeparator.size();
  }
}

// Bit i set when the comma at `at + i` stands between two quotes.
std::uint32_t quoted_comma_bits(const char* at) {
  return marked_bits(bytes_equal(load_block(at - 1), '"') & bytes_equal(load_block(at), ',') &
                     bytes_equal(load_block(at + 1), '"'));
}

// Four quoted commas or more, no two of them two bytes apart: the first four
// are separators, since none overlaps the one before.
bool four_separators(std::uint64_t bits) {
  std::uint64_t fourth_on = bits;
  for (int cleared = 0; cleared < 3; ++cleared) fourth_on &= fourth_on - 1;
  return fourth_on != 0 && (bits & (bits << 2)) == 0;
}

// Bits 0 to `count` - 1 (at most 64) set.
std::uint64_t bits_below(std::size_t count) {
  return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

// The first four separators of most lines lie in the window of their first
// 66 bytes, the commas at positions 1 to 64. They are found there together,
// from the marks of commas between quotes, without a branch per comma that
// the processor could not predict: faster on every shape than a scan for
// commas with memchr, on Linux and in the Windows program (run_benchmark).
// Commas read past the line's end (see kWholeCopy) are masked off.
constexpr std::size_t kWindowStart = 1;
constexpr std::size_t kWindowEnd = kWindowStart + 64;

// Bit i set when the comma at kWindowStart + i stands between two quotes of
// `line`. In a line that holds the whole window, its last block is read only
// when the others hold fewer than four separators.
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
    return four_separators(window) ? window : window | bits_at(kLastWindowBlock);
  }
  // A comma's closing quote must follow it within the line.
  for (std::size_t at = kWindowStart; at + 1 < line.size(); at += kBlockSize) window |= bits_at(at);
  return window & bits_below(line.size() - 1 - kWindowStart);
}

// Notes the separators of the window one by one, then goes on past it,
// block by block, for lines whose fourth separator lies further on, which
// spares scanning them again comma by comma (run_benchmark, lines whose first
// fields take 70 to 110 bytes).
FieldList split_from_window(std::string_view line, std::uint64_t window) {
  FieldList fields;
  fields.line = line;
  std::size_t field_start = 0;
  note_separators(window, kWindowStart, fields, field_start);
  for (std::size_t at = kWindowEnd;
       fields.separator_count < kSeparatorsNoted && at + 1 < line.size(); at += kBlockSize) {
    const std::uint64_t bits =
        quoted_comma_bits(line.data() + at) & bits_below(line.size() - 1 - at);
    note_separators(bits, at, fields, field_start);
  }
  return fields;
}

}  // namespace

// Only lines of 98,304 bytes or more come here, from split_record. Not
// inlined there: its registers would push the per-line loop's carried code
// onto the stack (run_benchmark, cachegrind).
[[gnu::noinline]] std::size_t count_separators(std::string_view text, std::size_t from,
                                               std::size_t limit) {
  std::size_t count = 0;
  for (std::size_t at = find_separator(text, from); at != std::string_view::npos && count < limit;
       at = find_separator(text, at + kFieldSeparator.size())) {
    ++count;
  }
  return count;
}

FieldList split_record(std::string_view line) {
  FieldList fields;
  fields.line = line;
  const std::uint64_t window = quoted_commas_in_window(line);
  if (four_separators(window)) {  // most lines: the third and fourth picked at once
    std::uint64_t later = window & (window - 1);
    later &= later - 1;
    fields.third_separator = static_cast<std::size_t>(std::countr_zero(later)) + kWindowStart - 1;
    later &= later - 1;
    fields.fourth_separator = static_cast<std::size_t>(std::countr_zero(later)) + kWindowStart - 1;
    fields.separator_count = kSeparatorsNoted;
  } else {
    fields = split_from_window(line, window);
  }
  // Separators never overlap, so only a line of 3 bytes a field or more can
  // hold more fields than a record may.
  fields.over_field_limit =
      fields.separator_count == kSeparatorsNoted &&
      line.size() >= kFieldSeparator.size() * kMaxFields &&
      count_separators(line, fields.fourth_separator + kFieldSeparator.size(),
                       kMaxFields - kSeparatorsNoted) == kMaxFields - kSeparatorsNoted;
  return fields;
}

void fail_record(std::size_t field_count, bool over_field_limit, std::string_view hint) {
  if (over_field_limit) {
    throw Failure::record("more than " + std::to_string(kMaxFields) +
                          " fields; a record holds at most " + std::to_string(kMaxFields));
  }
  throw Failure(std::to_string(field_count) + " fields; a record needs at least " +
                    std::to_string(kMinFields) + std::string(hint),
                Failure::Kind::too_few_fields);
}

void fail_line(std::string_view line, std::size_t field_count, bool over_field_limit) {
  FormatClues clues;
  if (!over_field_limit) clues.add(line);
  fail_record(field_count, over_field_limit, clues.hint(field_count > 0 ? field_count - 1 : 0));
}

}  // namespace Module1

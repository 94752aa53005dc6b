#include "record_line.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "byte_blocks.h"
#include "failure.h"

namespace Module1 {
namespace {

// Calls `found` with the offset of each separator of `text` that starts at or
// after `from`, left to right, occurrences never overlapping, for as long as
// it returns true. A separator is a comma with a quote on either side that
// does not start inside the separator before it.
template <typename Found>
void for_each_separator(std::string_view text, std::size_t from, Found found) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* field = begin + from;  // where the field being scanned starts
  for (const char* comma = field; end - comma > 1; ++comma) {
    comma = static_cast<const char*>(
        std::memchr(comma, ',', static_cast<std::size_t>(end - comma - 1)));
    if (comma == nullptr) return;
    if (comma == field || comma[-1] != '"' || comma[1] != '"') continue;
    if (!found(static_cast<std::size_t>(comma - 1 - begin))) return;
    field = comma + 2;
  }
}

// How many separators `text` holds after `from`, counted up to `limit` (1 or
// more).
std::size_t separators_up_to(std::string_view text, std::size_t from, std::size_t limit) {
  std::size_t count = 0;
  for_each_separator(text, from, [&](std::size_t) { return ++count < limit; });
  return count;
}

// The first four separators of most lines lie in the window of their first
// 66 bytes, the commas at positions 1 to 64. They are found there together,
// from the marks of commas between quotes, without a branch per comma that
// the processor could not predict. Against the scan below for every line,
// this saves 17-21 ns a line on Linux (the whole conversion in memory, every
// shape); against a scan of comma blocks it saved 2-3 ns a line, and a sixth
// of the user CPU of the Windows program (Wine, 256 MiB of ordinary lines).
constexpr std::size_t kWindowStart = 1;
constexpr std::size_t kWindowEnd = kWindowStart + 64;
constexpr std::size_t kShortestWindowedLine = kBlockSize + 2;  // read by whole blocks

// Bit i set when the comma at `at + i` stands between two quotes.
std::uint32_t quoted_comma_bits(const char* at) {
  return marked_bits(bytes_equal(load_block(at - 1), '"') & bytes_equal(load_block(at), ',') &
                     bytes_equal(load_block(at + 1), '"'));
}

bool four_or_more(std::uint64_t bits) {
  for (int cleared = 0; cleared < 3; ++cleared) bits &= bits - 1;
  return bits != 0;
}

// Bit i set when the comma at kWindowStart + i stands between two quotes. In
// a line that holds the whole window, its last block is read only when the
// others hold fewer than four; in a shorter one, the block that the line ends
// inside is read as the last whole block before the line's last byte, which
// overlaps the blocks before it with the same bits.
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
  const std::size_t last_block = line.size() - 1 - kBlockSize;
  std::size_t at = kWindowStart;
  for (; at <= last_block; at += kBlockSize) window |= bits_at(at);
  if (at < line.size() - 1) window |= bits_at(last_block);
  return window;
}

// False where the window cannot settle the first separators: a line too
// short to read by blocks, two quoted commas close enough for their
// separators to overlap, or fewer than four in the window of a line that
// goes on past it.
bool split_by_window(std::string_view line, FieldList& fields) {
  if (line.size() < kShortestWindowedLine) return false;
  std::uint64_t separators = quoted_commas_in_window(line);
  if ((separators & (separators << 2)) != 0) return false;
  const bool four_found = four_or_more(separators);
  if (!four_found && line.size() - 1 > kWindowEnd) return false;
  fields.first_separator_count = four_found ? fields.first_separators.size()
                                            : static_cast<std::size_t>(std::popcount(separators));
  for (std::size_t& at : fields.first_separators) {  // entries past the count are meaningless
    at = static_cast<std::size_t>(std::countr_zero(separators)) + kWindowStart - 1;
    separators &= separators - 1;
  }
  return true;
}
}  // namespace

void split_record(std::string_view line, FieldList& fields) {
  fields.line = line;
  if (!split_by_window(line, fields)) {
    fields.first_separator_count = 0;
    for_each_separator(line, 0, [&fields](std::size_t at) {
      fields.first_separators[fields.first_separator_count++] = at;
      return fields.first_separator_count < fields.first_separators.size();
    });
  }
  // Separators never overlap, so only a line of 3 bytes a field or more can
  // hold more fields than a record may.
  const std::size_t first_count = fields.first_separator_count;
  fields.over_field_limit =
      first_count == fields.first_separators.size() &&
      line.size() >= kFieldSeparator.size() * kMaxFields &&
      separators_up_to(line, fields.first_separators.back() + kFieldSeparator.size(),
                       kMaxFields - first_count) == kMaxFields - first_count;
}

void require_within_field_limit(std::string_view line_start) {
  FieldList fields;
  fields.over_field_limit = separators_up_to(line_start, 0, kMaxFields) == kMaxFields;
  if (fields.over_field_limit) fail_record(fields);
}

void fail_record(const FieldList& fields) {
  if (fields.over_field_limit) {
    throw Failure::record("more than " + std::to_string(kMaxFields) +
                          " fields; a record holds at most " + std::to_string(kMaxFields));
  }
  const std::size_t count = fields.line.empty() ? 0 : fields.first_separator_count + 1;
  throw Failure::record(std::to_string(count) + " fields; a record needs at least " +
                        std::to_string(kMinFields));
}

LinePieces join_record(const FieldList& fields, std::string_view carried_code) {
  require_fields(fields, kMinFields);
  // Around the code field, the output is the input line itself.
  const std::string_view code = code_field(fields);
  const auto code_start = static_cast<std::size_t>(code.data() - fields.line.data());
  return {fields.line.substr(0, code_start), carried_code,
          fields.line.substr(code_start + code.size())};
}

}  // namespace Module1

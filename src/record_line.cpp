#include "record_line.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "byte_blocks.h"
#include "failure.h"

namespace Module1 {
namespace {

// Bit i set when byte `offset + i` of `text` is a comma, for the block of
// `text` that starts at `offset`. A block that `text` ends inside is compared
// as the last whole block, its bits shifted, or, in a text shorter than a
// block, as a copy padded with zeros.
std::uint32_t comma_bits(std::string_view text, std::size_t offset) {
  const auto commas = [](const char* bytes) {
    return marked_bits(bytes_equal(load_block(bytes), ','));
  };
  if (offset + kBlockSize <= text.size()) return commas(text.data() + offset);
  if (text.size() >= kBlockSize) {
    const std::size_t last_block = text.size() - kBlockSize;
    return commas(text.data() + last_block) >> (offset - last_block);
  }
  char padded[kBlockSize] = {};
  std::memcpy(padded, text.data() + offset, text.size() - offset);
  return commas(padded);
}

// Calls `found` with the offset of each separator of `text` that starts at or
// after `from`, left to right, occurrences never overlapping, for as long as
// it returns true. A separator is a comma with a quote on either side that
// does not start inside the separator before it; commas are found a block at
// a time.
template <typename Found>
void for_each_separator(std::string_view text, std::size_t from, Found found) {
  const char* const bytes = text.data();
  std::size_t field = from;  // where the field being scanned starts
  for (std::size_t block = from; block < text.size(); block += kBlockSize) {
    for (std::uint32_t commas = comma_bits(text, block); commas != 0; commas &= commas - 1) {
      const std::size_t at = block + static_cast<std::size_t>(std::countr_zero(commas));
      if (at <= field || at + 1 >= text.size() || bytes[at - 1] != '"' || bytes[at + 1] != '"') {
        continue;
      }
      if (!found(at - 1)) return;
      field = at + 2;
    }
  }
}

// How many separators `text` holds after `from`, counted up to `limit`.
std::size_t separators_up_to(std::string_view text, std::size_t from, std::size_t limit) {
  std::size_t count = 0;
  if (limit > 0) for_each_separator(text, from, [&](std::size_t) { return ++count < limit; });
  return count;
}

}  // namespace

void split_record(std::string_view line, FieldList& fields) {
  fields.line = line;
  fields.first_separator_count = 0;
  for_each_separator(line, 0, [&fields](std::size_t at) {
    fields.first_separators[fields.first_separator_count++] = at;
    return fields.first_separator_count < fields.first_separators.size();
  });
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
  const std::size_t code_start = static_cast<std::size_t>(code.data() - fields.line.data());
  return {fields.line.substr(0, code_start), carried_code,
          fields.line.substr(code_start + code.size())};
}

}  // namespace Module1

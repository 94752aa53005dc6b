#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace Module1 {

// The three bytes that join the fields of a record line: double quote, comma,
// double quote. Nothing else inside a line has a meaning to the program.
inline constexpr std::string_view kFieldSeparator = "\",\"";

// Position of the code field, the only field whose text is replaced.
inline constexpr std::size_t kCodeFieldPosition = 3;

// A record needs at least this many fields: the code field and one after it.
inline constexpr std::size_t kMinFields = 5;

// A record holds at most this many fields: its highest position must fit a
// signed 16-bit counter.
inline constexpr std::size_t kMaxFields = 32768;

// Separators never overlap, so a line of n fields is at least 3 (n - 1)
// bytes long: only a line of this length or more can hold more than
// kMaxFields fields.
inline constexpr std::size_t kLongLine = kFieldSeparator.size() * kMaxFields;

// The field list of one record line, held as far as the output needs it: the
// output line is the input line with the text between the third and the
// fourth separator replaced, so only where the first four separators are
// matters, and whether the number of fields is within the limits.
struct FieldList {
  std::string_view line;
  // Offsets in `line` of its first separators; `count - 1` of them are set,
  // at most four.
  std::array<std::size_t, kCodeFieldPosition + 1> separator_at{};
  // The number of fields. Exact for fewer than kMinFields fields and for lines
  // of kLongLine bytes or more; a shorter line of kMinFields fields or more
  // says kMinFields, as it cannot hold more than kMaxFields.
  std::size_t count = 0;
};

// Splits a line (without terminator) at its separators, left to right,
// occurrences never overlapping. An empty line gives no fields at all.
void split_record(std::string_view line, FieldList& fields);

// Fails the record: `count` fields are too few.
[[noreturn]] void fail_too_few_fields(std::size_t count);

// The code field of a split record. Fails for a record of fewer than four
// fields. Inline, as it runs twice for every record.
inline std::string_view code_field(const FieldList& fields) {
  if (fields.count <= kCodeFieldPosition) fail_too_few_fields(fields.count);
  const std::size_t start = fields.separator_at[kCodeFieldPosition - 1] + kFieldSeparator.size();
  const std::size_t end = fields.count > kCodeFieldPosition + 1
                              ? fields.separator_at[kCodeFieldPosition]
                              : fields.line.size();
  return {fields.line.data() + start, end - start};
}

// An output line as consecutive pieces: written one after the other, they
// are the line. The pieces view the input line and the carried code, so the
// line is copied once, straight to where it is written.
using LinePieces = std::array<std::string_view, 3>;

// Builds the output line: the fields joined again by the separator, with the
// carried code in place of the code field. Fails for fewer than five fields or
// more than kMaxFields. The line that the fields were split from is still alive.
LinePieces join_record(const FieldList& fields, std::string_view carried_code);

}  // namespace Module1

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

// The field list of one record line, held as far as the output needs it: the
// output line is the input line with the text between the third and the
// fourth separator replaced, so what matters is where the first four
// separators are, and whether the line holds too many fields.
struct FieldList {
  std::string_view line;
  // Offsets in `line` of its first separators, left to right.
  std::array<std::size_t, kCodeFieldPosition + 1> first_separators{};
  // How many entries of first_separators the line has: all its separators
  // when it has fewer than four.
  std::size_t first_separator_count = 0;
  // The line holds more than kMaxFields fields.
  bool over_field_limit = false;
};

// Splits a line (without terminator) at its separators, left to right,
// occurrences never overlapping. An empty line gives no fields at all.
void split_record(std::string_view line, FieldList& fields);

// Fails a line whose start already holds more than kMaxFields fields: it
// cannot be a record, however it goes on.
void require_within_field_limit(std::string_view line_start);

// Fails the record for breaking the record rules below.
[[noreturn]] void fail_record(const FieldList& fields);

// The record rules, checked here alone: a record of at least `least` fields
// and at most kMaxFields.
inline void require_fields(const FieldList& fields, std::size_t least) {
  if (fields.first_separator_count + 1 < least || fields.over_field_limit) fail_record(fields);
}

// The code field of a split record. Fails for a record of fewer than four
// fields.
inline std::string_view code_field(const FieldList& fields) {
  require_fields(fields, kCodeFieldPosition + 1);
  const std::size_t start =
      fields.first_separators[kCodeFieldPosition - 1] + kFieldSeparator.size();
  const std::size_t end = fields.first_separator_count > kCodeFieldPosition
                              ? fields.first_separators[kCodeFieldPosition]
                              : fields.line.size();
  return fields.line.substr(start, end - start);
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

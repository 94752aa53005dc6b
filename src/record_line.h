#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "code_table.h"

namespace Module1 {

// The three bytes that join the fields of a record line: double quote, comma,
// double quote. Nothing else inside a line has a meaning to the program.
inline constexpr std::string_view kFieldSeparator = "\",\"";

// Where the first separator of `text` from `from` on begins, or npos. The
// record rules cut left to right, so separators never overlap: `","","`
// holds two of them, `",","` one.
inline std::size_t find_separator(std::string_view text, std::size_t from) {
  return text.find(kFieldSeparator, from);
}

// How many separators `text` holds from `from` on, counted up to `limit`.
std::size_t count_separators(std::string_view text, std::size_t from, std::size_t limit);

// What ends every output line: a carriage return and a line feed.
inline constexpr std::string_view kLineEnd = "\r\n";

// Position of the code field, the only field whose text is replaced.
inline constexpr std::size_t kCodeFieldPosition = 3;

// A record needs at least this many fields: the code field and one after it.
inline constexpr std::size_t kMinFields = 5;

// A record holds at most this many fields: its highest position must fit a
// signed 16-bit counter.
inline constexpr std::size_t kMaxFields = 32768;

// Lines are read, and output lines written, in whole blocks of up to this
// many bytes, so that the work takes no branch on their length: a line must
// be readable this many bytes past its end, as the line reader's buffer is,
// and join_record writes up to this many bytes past an output line. Faster on
// every line shape than memcpy of each piece's own size (run_benchmark).
inline constexpr std::size_t kWholeCopy = 64;

// The field list of one record line, as far as the output needs it: the
// output line is the input line with the text between its third and fourth
// separator replaced.
struct FieldList {
  std::string_view line;
  std::size_t separator_count = 0;  // how many the line has, counted up to the fourth
  std::size_t third_separator = 0;  // offsets in `line`, where the line has them
  std::size_t fourth_separator = 0;
  bool over_field_limit = false;  // more than kMaxFields fields
};

// Splits a line (without terminator) at its separators, left to right,
// occurrences never overlapping. An empty line gives no fields at all. The
// line is readable kWholeCopy bytes past its end.
FieldList split_record(std::string_view line);

// Fails a record of `field_count` fields, or of more than kMaxFields; `hint`
// follows the cause of too few fields. Told in plain values, so that the field
// list being converted stays in registers.
[[noreturn]] void fail_record(std::size_t field_count, bool over_field_limit,
                              std::string_view hint = {});
// The same for the record `line`, with a hint taken from its bytes.
[[noreturn]] void fail_line(std::string_view line, std::size_t field_count, bool over_field_limit);

// The code field of a split record. The record rules are checked here, once
// for the line: it fails for fewer than five fields or more than kMaxFields.
inline std::string_view code_field(const FieldList& fields) {
  if (fields.separator_count + 1 < kMinFields || fields.over_field_limit) {
    fail_line(fields.line, fields.line.empty() ? 0 : fields.separator_count + 1,
              fields.over_field_limit);
  }
  const std::size_t start = fields.third_separator + kFieldSeparator.size();
  return {fields.line.data() + start, fields.fourth_separator - start};
}

// Short pieces as one fixed copy, which the compiler makes four 16-byte moves.
inline char* copy_piece(const char* piece, std::size_t size, char* to) {
  if (size <= kWholeCopy) {
    std::memcpy(to, piece, kWholeCopy);
  } else {
    std::memcpy(to, piece, size);
  }
  return to + size;
}

// Room for the output of `input_size` bytes of whole input lines, or of one
// record read as CSV, and for what copy_piece writes past it: an input line
// that is written holds at least 13 bytes (four separators and a
// terminator), and its output line at most 3 more (a two-byte code for an
// empty one, CR LF for a lone CR); a CSV record of any size the same 3 more.
constexpr std::size_t output_room(std::size_t input_size) {
  return input_size + input_size / 4 + kWholeCopy + 3;
}

// Writes the output line at `to` and returns its end: the fields joined again
// by the separator, with the carried code in place of the code field, then CR
// LF. For a record whose code field was taken, which checked its fields.
inline char* join_record(const FieldList& fields, Code carried_code, char* to) {
  const char* const line = fields.line.data();
  to = copy_piece(line, fields.third_separator + kFieldSeparator.size(), to);
  std::memcpy(to, carried_code.padded_text(), Code::kMaxSize);
  to = copy_piece(line + fields.fourth_separator, fields.line.size() - fields.fourth_separator,
                  to + carried_code.size());
  std::memcpy(to, kLineEnd.data(), kLineEnd.size());
  return to + kLineEnd.size();
}

}  // namespace Module1

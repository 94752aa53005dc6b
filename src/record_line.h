#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

namespace Module1 {

// The fields of one record line, as views into the line they were split from.
using FieldList = std::vector<std::string_view>;

// The three bytes that join the fields of a record line: double quote, comma,
// double quote. Nothing else inside a line has a meaning to the program.
inline constexpr std::string_view kFieldSeparator = "\",\"";

// Position of the code field, the only field whose text is replaced.
inline constexpr std::size_t kCodeFieldPosition = 3;

// A record holds at most this many fields: its highest position must fit a
// signed 16-bit counter.
inline constexpr std::size_t kMaxFields = 32768;

// Splits a line (without terminator) at every separator, left to right,
// occurrences never overlapping. An empty line gives no fields at all. The
// list is cleared first; its capacity is reused from record to record.
void split_record(std::string_view line, FieldList& fields);

// The code field of a split record. Fails for a record of fewer than four fields.
std::string_view code_field(const FieldList& fields);

// An output line as consecutive pieces: written one after the other, they
// are the line. The pieces view the input line and the carried code, so the
// line is copied once, straight to where it is written.
using LinePieces = std::array<std::string_view, 3>;

// Builds the output line: the fields joined again by the separator, with the
// carried code in place of the code field. Fails for fewer than five fields or
// more than kMaxFields. The fields are those that split_record gave, and their
// line is still alive: around the code field the output is that line itself.
LinePieces join_record(const FieldList& fields, std::string_view carried_code);

}  // namespace Module1

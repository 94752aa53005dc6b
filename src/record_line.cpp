#include "record_line.h"

#include <cstring>

#include "failure.h"

namespace Module1 {
namespace {

std::string too_few_fields(std::size_t count) {
  return std::to_string(count) + " fields; a record needs at least 5";
}

}  // namespace

void split_record(std::string_view line, FieldList& fields) {
  fields.clear();
  if (line.empty()) return;

  // Every separator has its comma in the middle, and commas are rarer than
  // quotes in quoted data, so the scan looks for commas and checks the quote
  // on either side. A separator may not start inside the previous one, so the
  // comma is looked for from one byte past the end of the last separator.
  const char* const text = line.data();
  const std::size_t size = line.size();
  std::size_t field_start = 0;
  std::size_t from = 1;
  while (from + 1 < size) {
    const auto* comma = static_cast<const char*>(std::memchr(text + from, ',', size - 1 - from));
    if (comma == nullptr) break;
    const auto at = static_cast<std::size_t>(comma - text);
    if (text[at - 1] == '"' && text[at + 1] == '"') {
      fields.emplace_back(text + field_start, at - 1 - field_start);
      field_start = at + 2;
      from = field_start + 1;
    } else {
      from = at + 1;
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

  line.clear();
  for (std::size_t position = 0; position < count; ++position) {
    if (position != 0) line += kFieldSeparator;
    line += position == kCodeFieldPosition ? carried_code : fields[position];
  }
}

}  // namespace Module1

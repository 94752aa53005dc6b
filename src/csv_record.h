#pragma once

#include <cstdint>

#include "code_table.h"
#include "line_reader.h"
#include "line_writer.h"

namespace Module1 {

// Converts every record of a file read as CSV (RFC 4180), from the reader's
// place to the end of the file: commas separate fields; a carriage return, a
// line feed or both end a record outside double quotes; a field that begins
// with a double quote is wrapped, holds anything up to a quote that is not
// doubled, and is followed by a comma, a line end or the end of the file; a
// field that is not wrapped holds no quote. Each record is written as it was
// read, line breaks inside its fields included, with its fourth field's text
// replaced by the carried code (wrapped where it was), then CR LF. A UTF-8 byte
// order mark at the start of the file is kept and is not part of the first
// field. Records are converted as their bytes come, whatever their length, so
// that memory stays bounded; one that fails is taken back from the output.
// `lines_before` follows the lines a text editor shows before the record at
// hand, for the cause of a failure.
Code convert_csv(LineReader& input, LineWriter& output, Code carried_code,
                 std::uint64_t& lines_before);

}  // namespace Module1

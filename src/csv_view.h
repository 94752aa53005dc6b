#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Module1 {

// How a data.dat is read: by the record rules (a carriage return ends a line,
// fields are joined by ","), the form of the files this program exchanges,
// or as CSV, which every spreadsheet and web system writes.
enum class Reading { records, csv };

// The UTF-8 byte order mark that Excel's "CSV UTF-8" and web exports begin
// with: not part of the first field, and kept in the output.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Decides how the file that begins with `window` is read, once, before any
// record is written: by the record rules where its first line ends in a
// carriage return (or it has no line end), the record rules accept that line,
// and CSV reads it alike; as CSV otherwise. `whole_file` where the window
// holds all of it: a line end that it does not show is then known to be none.
Reading decide_reading(std::string_view window, bool whole_file);

// What CSV makes of the bytes of one record-rule line, fed in pieces: whether
// it reads them as the same fields of one record, and where it first does
// not. A line that is not valid CSV (the stray quotes that the record rules
// allow) is read alike, since CSV does not read it at all.
class CsvView {
 public:
  enum class Difference {
    none,
    line_feed,        // a line feed between two fields ends a CSV record
    unwrapped,        // a comma between fields that the record rules do not cut at
    quoted_separator  // a separator inside a field wrapped in double quotes
  };

  void feed(std::string_view bytes);
  // After the line's last byte: the first difference, where CSV reads the
  // whole line and reads it otherwise.
  [[nodiscard]] Difference finish() const;

  // Whether CSV reads the bytes so far: no quote where it may not stand.
  [[nodiscard]] bool readable() const { return state_ != State::invalid; }
  [[nodiscard]] bool inside_wrapped_field() const { return state_ == State::wrapped; }
  // Whether a carriage return or line feed outside quotes ended a CSV record.
  [[nodiscard]] bool record_ended() const { return record_ended_; }
  // How many fields CSV's first record has, as far as it was fed.
  [[nodiscard]] std::size_t first_record_fields() const { return first_record_fields_; }
  // From here on, only the records that end later count.
  void forget_ended_records() { record_ended_ = false; }

 private:
  enum class State : unsigned char { field_start, unwrapped, wrapped, closed, invalid };

  const char* past_plain_bytes(const char* at, const char* end) const;
  void compare_separators(char byte);
  bool inside_quotes(char byte);
  void outside_quotes(char byte);
  void note(Difference difference) {
    if (first_ == Difference::none) first_ = difference;
  }

  State state_ = State::field_start;
  unsigned char separator_bytes_ = 0;  // of "," matched so far, as the record rules cut
  bool comma_between_fields_ = false;  // the byte before, as CSV reads it
  bool record_ended_ = false;
  std::size_t first_record_fields_ = 1;
  Difference first_ = Difference::none;
};

// Whether a record-rule line of at least two bytes certainly reads alike as
// CSV, without the byte by byte view: it begins and ends with a double quote,
// and its only other quotes are the two of each separator, no two separators
// sharing one. Then CSV reads every field wrapped, with nothing doubled inside,
// cut exactly where the record rules cut, and every line feed is inside a
// field. Readable kBlockSize bytes past its end.
bool plainly_quoted(std::string_view line);

// Fails a record-rule line, seen whole by `view`, that CSV reads otherwise,
// naming the difference. `first_line_crlf`: whether the file's first line
// ends in CR LF.
void fail_if_read_otherwise(const CsvView& view, bool first_line_crlf);

// A field that CSV carries on past the end of a record-rule line, where the
// record rules cut it: a line break inside the field (a web form's memo).
// Where CSV then closes the field and ends its record at a later line end,
// CSV reads those lines as one record, and the line where it began fails.
struct OpenField {
  bool open = false;
  std::uint64_t line = 0;  // where it began
  CsvView view;
};

// Where CSV read a record-rule line, seen whole by `view`, to its end inside a
// wrapped field, and no field is open yet: opens one from line `line_number`
// on. True where it did.
bool open_carried_field(OpenField& open_field, const CsvView& view, std::uint64_t line_number);

// Checks a record-rule line held whole, byte by byte: fails it where CSV
// reads it otherwise. Where CSV reads the line to its end inside a wrapped
// field, and no field is open yet, `open_field` holds it from line
// `line_number` on, and the result is true.
bool check_read_alike(std::string_view line, bool first_line_crlf, OpenField& open_field,
                      std::uint64_t line_number);

// Follows an open field through the next bytes of the record-rule lines,
// `line_starts` where they begin a line. True where CSV has closed the field
// and ended its record by the end of the last line fed; lets go of the field
// where CSV cannot read on.
bool follow_open_field(OpenField& open_field, std::string_view bytes, bool line_starts);
[[noreturn]] void fail_open_field();

// For a line of too few fields by the record rules, seen by `view`: fails it
// with CSV's difference where CSV reads it as a record of enough fields (a
// spreadsheet that saved only the text cells in quotes), which says more.
void explain_too_few_fields(const CsvView& view, bool first_line_crlf);

// Fails a record-rule line held whole where CSV reads it otherwise; true
// where CSV carries its last field on past its end (see OpenField).
inline bool require_read_alike(std::string_view line, bool first_line_crlf, OpenField& open_field,
                               std::uint64_t line_number) {
  return !plainly_quoted(line) && check_read_alike(line, first_line_crlf, open_field, line_number);
}

}  // namespace Module1

#include "csv_view.h"

#include <algorithm>
#include <optional>
#include <string>

#include "byte_blocks.h"
#include "failure.h"
#include "record_line.h"

namespace Module1 {

void CsvView::feed(std::string_view bytes) {
  const char* const end = bytes.data() + bytes.size();
  for (const char* at = bytes.data(); at < end && state_ != State::invalid; ++at) {
    at = past_plain_bytes(at, end);
    const char byte = *at;
    compare_separators(byte);
    if (!inside_quotes(byte)) outside_quotes(byte);
  }
}

// Bytes that neither reading gives a meaning to are passed over at once:
// inside a wrapped field all but quotes, in a field that is not wrapped all
// but commas, quotes and line ends, where no separator has begun. The blocks
// read stay within the bytes fed, which need no padding.
const char* CsvView::past_plain_bytes(const char* at, const char* end) const {
  if (separator_bytes_ != 0 || comma_between_fields_ ||
      end - at <= static_cast<std::ptrdiff_t>(kBlockSize))
    return at;
  const char* const blocks_end = end - (kBlockSize - 1);
  if (state_ == State::wrapped) return find_any<'"'>(at, blocks_end);
  if (state_ == State::unwrapped) return find_any<',', '"', '\n', '\r'>(at, blocks_end);
  return at;
}

// The record rules cut at "," from left to right, never overlapping: the
// comma before this byte is a separator's when this byte closes one. It must
// be one where CSV's comma between fields is, and only there.
void CsvView::compare_separators(char byte) {
  const bool separator_comma = separator_bytes_ == 2 && byte == '"';
  if (separator_comma) {
    separator_bytes_ = 0;
  } else if (byte == '"') {
    separator_bytes_ = 1;
  } else {
    separator_bytes_ = separator_bytes_ == 1 && byte == ',' ? 2 : 0;
  }
  if (comma_between_fields_ != separator_comma) {
    note(separator_comma ? Difference::quoted_separator : Difference::unwrapped);
  }
  comma_between_fields_ = false;
}

// Takes a byte where quotes give it a meaning; false where it stands outside
// them, as a comma, a line end or a byte of a field that is not wrapped.
bool CsvView::inside_quotes(char byte) {
  const bool quote = byte == '"';
  switch (state_) {
    case State::wrapped:
      if (quote) state_ = State::closed;
      return true;
    case State::closed:  // a doubled quote stays inside the field
      if (quote) state_ = State::wrapped;
      if (!quote && byte != ',' && byte != '\n' && byte != '\r') state_ = State::invalid;
      return state_ != State::closed;
    case State::unwrapped:
      if (quote) state_ = State::invalid;
      return quote;
    case State::field_start:
      if (quote) state_ = State::wrapped;
      return quote;
    case State::invalid:
      break;
  }
  return true;
}

// Outside quotes: a comma or a line end ends the field.
void CsvView::outside_quotes(char byte) {
  if (byte == ',') {
    comma_between_fields_ = true;
    first_record_fields_ += static_cast<std::size_t>(!record_ended_);
    state_ = State::field_start;
  } else if (byte == '\n' || byte == '\r') {
    record_ended_ = true;
    if (byte == '\n') note(Difference::line_feed);
    state_ = State::field_start;
  } else {
    state_ = State::unwrapped;
  }
}

CsvView::Difference CsvView::finish() const {
  if (state_ == State::invalid || state_ == State::wrapped) return Difference::none;
  // A comma at the very end cuts CSV's fields, never the record rules'.
  return comma_between_fields_ && first_ == Difference::none ? Difference::unwrapped : first_;
}

namespace {

// Whether the line end at `at` of `window` is a carriage return; unknown
// where there is none in the window but the file goes on past it.
std::optional<bool> carriage_return_at(std::string_view window, std::size_t at, bool whole_file) {
  if (at == std::string_view::npos) return whole_file ? std::optional<bool>(true) : std::nullopt;
  return window[at] == '\r';
}

// The first carriage return or line feed outside double quotes, each quote
// from the window's start opening or closing.
std::size_t first_line_end_outside_quotes(std::string_view window) {
  bool inside = false;
  for (std::size_t at = 0; at < window.size(); ++at) {
    if (window[at] == '"') inside = !inside;
    if (!inside && (window[at] == '\r' || window[at] == '\n')) return at;
  }
  return std::string_view::npos;
}

// Whether CSV reads the first line as the record rules do: CSV's own first
// record, read from the file's start, ends where that line does, at
// `line_end`, with the same fields; or CSV cannot read it at all. Where the
// window ends first, the line is taken as read alike unless the window is the
// whole file.
bool first_line_read_alike(std::string_view window, std::size_t line_end, bool whole_file) {
  CsvView view;
  std::size_t at = window.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
  while (at < window.size() && view.readable() && !view.record_ended())
    view.feed(window.substr(at++, 1));
  if (!view.readable()) return true;
  if (view.record_ended()) return at - 1 == line_end && view.finish() == CsvView::Difference::none;
  // A file that ends inside a wrapped field is not CSV at all.
  if (!whole_file || view.inside_wrapped_field()) return true;
  return line_end == std::string_view::npos && view.finish() == CsvView::Difference::none;
}

// Whether some carriage return of the window has an odd count of quotes
// before it, as one inside a wrapped field has: most files have none, and are
// known so at a fraction of the cost of reading them as CSV.
bool odd_quotes_before_a_carriage_return(std::string_view window) {
  bool odd_quotes = false;
  for (std::size_t at = 0;;) {
    const std::size_t carriage_return = window.find('\r', at);
    const std::string_view line = window.substr(at, carriage_return - at);
    odd_quotes = odd_quotes != odd_count(line.data(), line.data() + line.size(), '"');
    if (carriage_return == std::string_view::npos) return false;
    if (odd_quotes) return true;
    at = carriage_return + 1;
  }
}

// Whether CSV, reading the window from its start, reads a carriage return
// inside a wrapped field and goes on to end that record: a web export whose
// memos hold line breaks, which the record rules would cut.
bool carries_a_line_break(std::string_view window, bool whole_file) {
  if (!odd_quotes_before_a_carriage_return(window)) return false;
  CsvView view;
  bool carried = false;
  for (std::size_t at = window.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
       at < window.size();) {
    const std::size_t line_end = std::min(window.find('\r', at), window.size());
    view.feed(window.substr(at, line_end + 1 - at));  // with its carriage return
    // A record that ended before CSV could not read on still counts.
    if (carried && view.record_ended()) return true;
    if (!view.readable()) return false;
    if (!carried && line_end < window.size() && view.inside_wrapped_field()) {
      carried = true;
      view.forget_ended_records();
    }
    at = line_end + 1;
  }
  return carried && whole_file && !view.inside_wrapped_field();
}

}  // namespace

Reading decide_reading(std::string_view window, bool whole_file) {
  const std::optional<bool> any_count =
      carriage_return_at(window, window.find_first_of("\r\n"), whole_file);
  const std::optional<bool> outside_count =
      carriage_return_at(window, first_line_end_outside_quotes(window), whole_file);
  const bool ends_in_carriage_return =
      any_count.value_or(false) || outside_count.value_or(false) || (!any_count && !outside_count);
  if (!ends_in_carriage_return) return Reading::csv;
  const std::size_t line_end = window.find('\r');
  if (line_end != std::string_view::npos || whole_file) {
    const std::size_t fields = count_separators(window.substr(0, line_end), 0, kMaxFields) + 1;
    if (fields < kMinFields || fields > kMaxFields) return Reading::csv;
  }
  return first_line_read_alike(window, line_end, whole_file) &&
                 !carries_a_line_break(window, whole_file)
             ? Reading::records
             : Reading::csv;
}

namespace {

// Between a line's two ends, every comma stands between two quotes, and every
// quote beside exactly one comma: then each quote is one of a separator's
// two, and none is shared. Marks the bytes of the block at `at` that are not
// so; reads one byte on either side of it.
ByteBlock stray_bytes(const char* at) {
  const ByteBlock before = load_block(at - 1);
  const ByteBlock here = load_block(at);
  const ByteBlock after = load_block(at + 1);
  return (bytes_equal(here, ',') & ~(bytes_equal(before, '"') & bytes_equal(after, '"'))) |
         (bytes_equal(here, '"') & ~(bytes_equal(before, ',') ^ bytes_equal(after, ',')));
}

}  // namespace

bool plainly_quoted(std::string_view line) {
  const std::size_t size = line.size();
  if (size < 2 || line.front() != '"' || line.back() != '"') return false;
  // A separator at either end would share the line's own quote.
  if (line[1] == ',' || line[size - 2] == ',') return false;
  const char* const bytes = line.data();
  const std::size_t end = size - 1;  // the closing quote, after the bytes looked at
  if (end - 1 < kBlockSize) {
    // Fewer bytes than a block: those read past them are masked off.
    static constexpr ByteBlock kLane = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ByteBlock live;
    live = kLane < static_cast<unsigned char>(end - 1);
    return !any_marked(stray_bytes(bytes + 1) & live);
  }
  // Whole blocks, the last one ending at the closing quote, where it may look
  // at bytes of the block before again: no mask. The marks are looked at once
  // for every two blocks; a line that is not plainly quoted is left at the
  // first two that show it.
  std::size_t at = 1;
  for (; end - at > 2 * kBlockSize; at += 2 * kBlockSize) {
    if (any_marked(stray_bytes(bytes + at) | stray_bytes(bytes + at + kBlockSize))) return false;
  }
  ByteBlock stray = stray_bytes(bytes + end - kBlockSize);
  if (end - at > kBlockSize) stray |= stray_bytes(bytes + at);
  return !any_marked(stray);
}

namespace {

// Whether CSV reads the line at all, field by field, up to its end or into a
// field that it ends inside: most lines that are not
// plainly quoted hold the stray quotes that the record rules allow, which
// this shows sooner than the view byte by byte.
bool csv_readable(std::string_view line) {
  const char* at = line.data();
  const char* const end = at + line.size();
  while (at < end) {
    if (*at == '"') {
      for (at = find_any<'"'>(at + 1, end); at + 1 < end && at[1] == '"';) {
        at = find_any<'"'>(at + 2, end);
      }
      if (at == end) return true;  // it ends inside the field, which may go on
      if (++at == end) return true;
      if (*at != ',' && *at != '\n') return false;
    } else {
      at = find_any<',', '\n', '"'>(at, end);
      if (at == end) return true;
      if (*at == '"') return false;
    }
    ++at;  // past the comma or line feed, to the next field
  }
  return true;
}

}  // namespace

[[gnu::noinline]] bool check_read_alike(std::string_view line, bool first_line_crlf,
                                        OpenField& open_field, std::uint64_t line_number) {
  if (!csv_readable(line)) return false;
  CsvView view;
  view.feed(line);
  fail_if_read_otherwise(view, first_line_crlf);
  return open_carried_field(open_field, view, line_number);
}

bool open_carried_field(OpenField& open_field, const CsvView& view, std::uint64_t line_number) {
  if (open_field.open || !view.readable() || !view.inside_wrapped_field()) return false;
  open_field = {true, line_number, view};
  open_field.view.forget_ended_records();
  return true;
}

[[gnu::noinline]] bool follow_open_field(OpenField& open_field, std::string_view bytes,
                                         bool line_starts) {
  CsvView& view = open_field.view;
  if (line_starts) view.feed("\r");  // inside the field, whether CR or CR LF ended the line
  view.feed(bytes);
  // A record that ended before CSV could not read on still counts.
  if (view.record_ended() || (view.readable() && !view.inside_wrapped_field())) return true;
  open_field.open = view.readable();
  return false;
}

void fail_open_field() {
  throw Failure::record(
      "a line break inside a field wrapped in double quotes ends the line here, and the field "
      "goes on in the next line (a web form's memo, saved with its line breaks)");
}

void explain_too_few_fields(const CsvView& view, bool first_line_crlf) {
  if (view.first_record_fields() >= kMinFields) fail_if_read_otherwise(view, first_line_crlf);
}

void fail_if_read_otherwise(const CsvView& view, bool first_line_crlf) {
  switch (view.finish()) {
    case CsvView::Difference::none:
      return;
    case CsvView::Difference::line_feed:
      throw Failure::record(std::string("a line feed between two fields ends a record here, while "
                                        "the lines before end in ") +
                            (first_line_crlf ? "CR LF" : "CR"));
    case CsvView::Difference::quoted_separator:
      throw Failure::record(
          "a field wrapped in double quotes holds \"\",\"\", a separator of the lines before "
          "that a spreadsheet reads as part of the field");
    case CsvView::Difference::unwrapped:
      throw Failure::record(
          "a field is not wrapped in double quotes, while the first line's are (a spreadsheet "
          "saved only the text cells in quotes)");
  }
}

}  // namespace Module1

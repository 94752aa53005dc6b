#include "csv_record.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "byte_blocks.h"
#include "cause_line.h"
#include "csv_view.h"
#include "failure.h"
#include "record_line.h"

namespace Module1 {
namespace {

// The records of a CSV file, converted piece by piece as the reader hands
// its bytes over: a record, a field, even a pair of bytes (CR LF, a doubled
// quote) may be cut anywhere by the end of a piece.
class CsvRecords {
 public:
  CsvRecords(LineWriter& output, Code carried_code, std::uint64_t& lines_before)
      : output_(output), carried_code_(carried_code), lines_before_(lines_before) {}

  // Converts what `bytes` settles and returns how many it took: all of them,
  // but for a carriage return or quote whose pair is the byte held back for
  // the next piece. The byte after `bytes` is readable.
  std::size_t convert(std::string_view bytes, bool file_ends);
  // At the end of the file: ends the record at hand.
  Code finish();

 private:
  enum class State { between_records, field_start, wrapped, unwrapped, field_end };

  void begin_record();
  void end_record();
  void end_field(const char* at);
  void take_field_bytes(const char* from, const char* to);
  void emit_up_to(const char* at) {
    if (at > emit_from_)
      output_.write_piece({emit_from_, static_cast<std::size_t>(at - emit_from_)});
    emit_from_ = at;
  }
  [[nodiscard]] bool in_code_field() const {
    return fields_ == kCodeFieldPosition + 1 && state_ != State::between_records &&
           state_ != State::field_start;
  }
  // Fails the record at hand; `rest`, the bytes that follow where it fails,
  // tell more of the file it came from.
  [[noreturn]] void fail(const std::string& cause, std::string_view rest = {}) {
    if (fields_ < kMinFields) clues_.add(rest.substr(0, rest.find_first_of("\r\n")));
    throw Failure::record(cause + clues_.hint(kAllCommas));
  }

  static constexpr std::size_t kHeld = Code::kMaxSize + 1;
  // In a file read as CSV, a comma outside quotes is a separator.
  static constexpr std::size_t kAllCommas = ~std::size_t{0};

  LineWriter& output_;
  Code carried_code_;
  std::uint64_t& lines_before_;  // of the record at hand
  std::uint64_t lines_ = 0;      // line ends taken so far
  State state_ = State::between_records;
  const char* emit_from_ = nullptr;  // the first byte taken and not yet written
  std::size_t fields_ = 0;           // of the record at hand, the current one counted
  bool wrapped_ = false;             // the current field
  char code_[kHeld] = {};            // the code field's text, as far as it may be a code
  std::size_t code_size_ = 0;
  FormatClues clues_;  // of the fields before a record's fifth
};

bool line_end(char byte) { return byte == '\r' || byte == '\n'; }

std::size_t CsvRecords::convert(std::string_view bytes, bool file_ends) {
  const char* at = bytes.data();
  const char* const end = at + bytes.size();
  // The second byte of a pair is only looked at where it is the one held back.
  const auto pair_waits = [&](const char* first) { return first + 1 == end && !file_ends; };
  // The bytes taken are written, but for those of the code field.
  const auto leave = [&](const char* stop) {
    if (!in_code_field()) emit_up_to(stop);
    return static_cast<std::size_t>(stop - bytes.data());
  };
  emit_from_ = at;
  while (at < end) {
    switch (state_) {
      case State::between_records:
        begin_record();
        if (line_end(*at)) fail("0 fields; a record needs at least " + std::to_string(kMinFields));
        break;
      case State::field_start:
        if (++fields_ > kMaxFields) fail_record(kMaxFields + 1, true);
        if (fields_ == kCodeFieldPosition + 1) {
          emit_up_to(at);
          code_size_ = 0;
        }
        wrapped_ = *at == '"';
        at += static_cast<std::size_t>(wrapped_);
        state_ = wrapped_ ? State::wrapped : State::unwrapped;
        if (fields_ == kCodeFieldPosition + 1) emit_from_ = at;  // its quote is written anew
        break;
      case State::wrapped: {
        const char* const stop = find_any<'"', '\r', '\n'>(at, end);
        take_field_bytes(at, stop);
        at = stop;
        if (at == end) break;
        // A quote that is doubled, or a line break: both stay inside the field.
        const bool pair = at[1] == (*at == '"' ? '"' : '\n') && *at != '\n';
        if (pair && pair_waits(at)) return leave(at);
        if (*at == '"' && !pair) {
          ++at;  // the closing quote
          state_ = State::field_end;
          break;
        }
        const std::size_t size = 1 + static_cast<std::size_t>(pair);
        take_field_bytes(at, at + size);
        lines_ += static_cast<std::size_t>(*at != '"');
        at += size;
        break;
      }
      case State::unwrapped: {
        const char* const stop = find_any<',', '\r', '\n', '"'>(at, end);
        take_field_bytes(at, stop);
        at = stop;
        if (at == end) break;
        if (*at == '"') {
          fail("a double quote inside a field that is not wrapped in double quotes",
               {at, static_cast<std::size_t>(end - at)});
        }
        state_ = State::field_end;
        break;
      }
      case State::field_end:
        if (*at == ',') {
          end_field(at);
          ++at;
          state_ = State::field_start;
          break;
        }
        if (!line_end(*at)) {
          fail(
              "a field wrapped in double quotes goes on after its closing quote (a double "
              "quote inside a field is written twice)",
              {at, static_cast<std::size_t>(end - at)});
        }
        if (*at == '\r' && at[1] == '\n' && pair_waits(at)) return leave(at);
        end_field(at);
        emit_up_to(at);
        end_record();
        at += 1 + static_cast<std::size_t>(*at == '\r' && at[1] == '\n');
        emit_from_ = at;
        ++lines_;
        break;
    }
  }
  return leave(at);
}

void CsvRecords::begin_record() {
  output_.begin_long_line();
  lines_before_ = lines_;
  fields_ = 0;
  clues_ = {};
  state_ = State::field_start;
}

// Ends the current field at `at`, the byte after it.
void CsvRecords::end_field(const char* at) {
  if (fields_ != kCodeFieldPosition + 1) return;
  carried_code_ = recode({code_, std::min(code_size_, kHeld)}, carried_code_);
  if (wrapped_) output_.write_piece("\"");
  output_.write_piece(carried_code_.text());
  if (wrapped_) output_.write_piece("\"");
  emit_from_ = at;
}

// Writes the record up to emit_from_, then CR LF in place of its line end.
void CsvRecords::end_record() {
  if (fields_ < kMinFields) {
    fail(std::to_string(fields_) + " fields; a record needs at least " +
         std::to_string(kMinFields));
  }
  output_.write_piece(kLineEnd);
  output_.end_long_line();
  state_ = State::between_records;
}

void CsvRecords::take_field_bytes(const char* from, const char* to) {
  const std::string_view bytes(from, static_cast<std::size_t>(to - from));
  if (fields_ < kMinFields) clues_.add(bytes);
  if (fields_ != kCodeFieldPosition + 1 || code_size_ >= kHeld) return;
  // Held only as far as it may be a code: a longer text is none.
  const std::size_t kept = std::min(bytes.size(), kHeld - code_size_);
  std::copy_n(from, kept, code_ + code_size_);
  code_size_ += kept;
}

Code CsvRecords::finish() {
  switch (state_) {
    case State::between_records:
      break;
    case State::wrapped:
      fail("the file ends inside a field wrapped in double quotes (its closing quote is missing)");
    case State::field_start:  // after a comma: an empty last field
      if (++fields_ == kCodeFieldPosition + 1) code_size_ = 0;
      wrapped_ = false;
      [[fallthrough]];
    case State::unwrapped:
    case State::field_end:
      end_field(nullptr);
      end_record();
      break;
  }
  return carried_code_;
}

}  // namespace

Code convert_csv(LineReader& input, LineWriter& output, Code carried_code,
                 std::uint64_t& lines_before) {
  // The byte order mark is looked for in the file's first three bytes.
  while (input.unread().size() < kByteOrderMark.size() && input.read_more()) {
  }
  if (input.unread().starts_with(kByteOrderMark)) {
    output.write_piece(kByteOrderMark);
    input.consume(kByteOrderMark.size());
  }
  CsvRecords records(output, carried_code, lines_before);
  for (;;) {
    const std::string_view bytes = input.unread();
    const bool file_ends = input.file_ended();
    const std::size_t taken = records.convert(bytes, file_ends);
    input.consume(taken);
    if (file_ends && taken == bytes.size()) return records.finish();
    input.read_more();
  }
}

}  // namespace Module1

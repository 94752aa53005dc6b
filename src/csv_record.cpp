#include "csv_record.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
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
// its bytes over: a record or a field may be cut anywhere by the end of a
// piece.
class CsvRecords {
 public:
  CsvRecords(LineWriter& output, Code carried_code, std::uint64_t& lines_before)
      : output_(output), carried_code_(carried_code), lines_before_(lines_before) {}

  // Converts `bytes` and returns how many it took: all of them, and the byte
  // after them where it completes a pair with their last (a CR LF, a doubled
  // quote). The byte after `bytes` is readable: the reader holds back the last
  // byte it read, whose own pair may come with the next read, and puts 0 past
  // the end of the file.
  std::size_t convert(std::string_view bytes);
  // At the end of the file: ends the record at hand.
  Code finish();

 private:
  enum class State { between_records, field_start, wrapped, unwrapped, field_end };

  const char* step(const char* at, const char* end);
  const char* begin_field(const char* at);
  const char* in_wrapped_field(const char* at, const char* end);
  const char* end_field_at(const char* at, const char* end);
  const char* whole_record(const char* start, const char* end);
  static const char* past_wrapped_field(const char* at, const char* end, std::uint64_t& lines);
  static const char* past_unwrapped_field(const char* at, const char* end);
  char* code_at(char* to, bool wrapped) const;
  void put_code(bool wrapped);
  void begin_record(const char* at);
  void end_record(const char* at = nullptr, const char* end = nullptr);
  void end_field(const char* at);
  void take_field_bytes(const char* from, const char* to);
  void emit_up_to(const char* at) {
    if (at > emit_from_) output_.put({emit_from_, static_cast<std::size_t>(at - emit_from_)});
    emit_from_ = at;
  }
  [[nodiscard]] bool in_code_field() const {
    return fields_ == kCodeFieldPosition + 1 && state_ != State::between_records &&
           state_ != State::field_start;
  }
  // Fails the record at hand. Its bytes at hand, up to the end of the line
  // at `at`, tell more of the file it came from.
  [[noreturn]] void fail(const std::string& cause, const char* at = nullptr,
                         const char* end = nullptr) {
    FormatClues clues;
    clues.add(earlier_bytes_);
    if (at != nullptr) {
      clues.add(
          {record_bytes_, static_cast<std::size_t>(find_any<'\r', '\n'>(at, end) - record_bytes_)});
    }
    throw Failure::record(cause + clues.hint(kAllCommas));
  }

  static constexpr std::size_t kHeld = Code::kMaxSize + 1;
  // In a file read as CSV, a comma outside quotes is a separator.
  static constexpr std::size_t kAllCommas = ~std::size_t{0};

  LineWriter& output_;
  Code carried_code_;
  std::uint64_t& lines_before_;  // of the record at hand
  std::uint64_t lines_ = 0;      // line ends taken so far
  State state_ = State::between_records;
  const char* emit_from_ = nullptr;     // the first byte taken and not yet written
  const char* record_bytes_ = nullptr;  // where the record's bytes at hand begin
  // The record's first bytes in the pieces before, for the hint of a failure:
  // kept only where a piece ends inside a record.
  std::string earlier_bytes_;
  static constexpr std::size_t kEarlierBytes = 256;
  std::size_t fields_ = 0;  // of the record at hand, the current one counted
  bool wrapped_ = false;    // the current field
  char code_[kHeld] = {};   // the code field's text, as far as it may be a code
  std::size_t code_size_ = 0;
};

bool line_end(char byte) { return byte == '\r' || byte == '\n'; }

std::size_t CsvRecords::convert(std::string_view bytes) {
  const char* at = bytes.data();
  const char* const end = at + bytes.size();
  emit_from_ = record_bytes_ = at;
  while (at < end) at = step(at, end);
  // The bytes taken are written, but for those of the code field.
  if (!in_code_field()) emit_up_to(at);
  if (state_ != State::between_records && earlier_bytes_.size() < kEarlierBytes) {
    earlier_bytes_.append(record_bytes_, std::min(static_cast<std::size_t>(at - record_bytes_),
                                                  kEarlierBytes - earlier_bytes_.size()));
  }
  return static_cast<std::size_t>(at - bytes.data());
}

// Takes the bytes from `at` that the state at hand gives a meaning to, up to
// `end` and the byte after it, and returns where they go on.
const char* CsvRecords::step(const char* at, const char* end) {
  switch (state_) {
    case State::between_records:
      if (const char* const next = whole_record(at, end); next != nullptr) {
        return emit_from_ = next;
      }
      begin_record(at);
      if (line_end(*at)) fail("0 fields; a record needs at least " + std::to_string(kMinFields));
      return at;
    case State::field_start:
      return begin_field(at);
    case State::wrapped:
      return in_wrapped_field(at, end);
    case State::unwrapped: {
      const char* const stop = find_any<',', '\r', '\n', '"'>(at, end);
      take_field_bytes(at, stop);
      if (stop == end) return stop;
      if (*stop == '"') {
        fail("a double quote inside a field that is not wrapped in double quotes", stop, end);
      }
      state_ = State::field_end;
      return stop;
    }
    case State::field_end:
      return end_field_at(at, end);
  }
  return at;
}

const char* CsvRecords::begin_field(const char* at) {
  if (++fields_ > kMaxFields) fail_record(0, true);
  const bool code_field = fields_ == kCodeFieldPosition + 1;
  if (code_field) {
    emit_up_to(at);
    code_size_ = 0;
  }
  wrapped_ = *at == '"';
  at += static_cast<std::size_t>(wrapped_);
  state_ = wrapped_ ? State::wrapped : State::unwrapped;
  if (code_field) emit_from_ = at;  // its quote is written anew
  return at;
}

const char* CsvRecords::in_wrapped_field(const char* at, const char* end) {
  const char* const stop = find_any<'"', '\r', '\n'>(at, end);
  take_field_bytes(at, stop);
  at = stop;
  if (at == end) return at;
  // A quote that is doubled, or a line break: both stay inside the field.
  const bool pair = at[1] == (*at == '"' ? '"' : '\n') && *at != '\n';
  if (*at == '"' && !pair) {
    state_ = State::field_end;
    return at + 1;  // past the closing quote
  }
  const std::size_t size = 1 + static_cast<std::size_t>(pair);
  take_field_bytes(at, at + size);
  lines_ += static_cast<std::size_t>(*at != '"');
  return at + size;
}

// At the byte after a field: a comma, or a line end that ends the record.
const char* CsvRecords::end_field_at(const char* at, const char* end) {
  if (*at == ',') {
    end_field(at);
    state_ = State::field_start;
    return at + 1;
  }
  if (!line_end(*at)) {
    fail(
        "a field wrapped in double quotes goes on after its closing quote (a double quote "
        "inside a field is written twice)",
        at, end);
  }
  const bool crlf = *at == '\r' && at[1] == '\n';
  // A code field that ends the record leaves it too few fields to be written.
  emit_up_to(at);
  end_record(at, end);
  ++lines_;
  return emit_from_ = at + 1 + static_cast<std::size_t>(crlf);
}

const char* CsvRecords::whole_record(const char* const start, const char* const end) {
  std::uint64_t lines = 0;  // line breaks inside its fields
  std::size_t fields = 0;
  const char* code = nullptr;  // where the code field begins, its quote included
  const char* code_end = nullptr;
  const char* at = start;
  // Each field ends before the last byte at hand, so the next one begins
  // within the bytes.
  for (;; ++at) {
    ++fields;
    const char* const field = at;
    at = *at == '"' ? past_wrapped_field(at, end, lines) : past_unwrapped_field(at, end);
    if (at == nullptr) return nullptr;
    if (fields == kCodeFieldPosition + 1) {
      code = field;
      code_end = at;
    }
    if (*at != ',') break;
  }
  if (!line_end(*at) || fields < kMinFields || fields > kMaxFields) return nullptr;
  const bool code_wrapped = *code == '"';
  const auto quotes = static_cast<std::size_t>(code_wrapped);
  carried_code_ = recode({code + quotes, static_cast<std::size_t>(code_end - code) - 2 * quotes},
                         carried_code_);
  // The record is written whole, in room asked for once, in whole-block copies.
  char* to = output_.room(output_room(static_cast<std::size_t>(at + 1 - start)));
  to = copy_piece(start, static_cast<std::size_t>(code - start), to);
  to = copy_piece(code_end, static_cast<std::size_t>(at - code_end), code_at(to, code_wrapped));
  std::memcpy(to, kLineEnd.data(), kLineEnd.size());
  output_.record_ends_at(to + kLineEnd.size());
  lines_ += lines + 1;
  return at + 1 + static_cast<std::size_t>(*at == '\r' && at[1] == '\n');
}

// Past the wrapped field at `at`, to the byte after its closing quote,
// counting the line breaks inside; the byte after each quote or line break is
// looked at. nullptr where that byte is not at hand.
const char* CsvRecords::past_wrapped_field(const char* at, const char* end, std::uint64_t& lines) {
  for (at = find_any<'"', '\r', '\n'>(at + 1, end); end - at >= 2;
       at = find_any<'"', '\r', '\n'>(at, end)) {
    if (*at == '"') {
      if (at[1] != '"') return at + 1;
      at += 2;
      continue;
    }
    at += 1 + static_cast<std::size_t>(*at == '\r' && at[1] == '\n');
    ++lines;
  }
  return nullptr;
}

// To the comma or line end after the field at `at` that is not wrapped;
// nullptr where the field holds a quote or the byte after it is not at hand.
const char* CsvRecords::past_unwrapped_field(const char* at, const char* end) {
  at = find_any<',', '\r', '\n', '"'>(at, end);
  return end - at < 2 || *at == '"' ? nullptr : at;
}

// Puts the carried code at `to`, wrapped where the code field was, and returns
// its end; writes up to Code::kMaxSize + 2 bytes.
char* CsvRecords::code_at(char* to, bool wrapped) const {
  *to = '"';
  to += static_cast<std::size_t>(wrapped);
  std::memcpy(to, carried_code_.padded_text(), Code::kMaxSize);
  to += carried_code_.size();
  *to = '"';
  return to + static_cast<std::size_t>(wrapped);
}

// Writes the carried code in place of the code field, wrapped where it was.
void CsvRecords::put_code(bool wrapped) {
  char replaced[Code::kMaxSize + 2];
  output_.put({replaced, static_cast<std::size_t>(code_at(replaced, wrapped) - replaced)});
}

void CsvRecords::begin_record(const char* at) {
  output_.begin_long_line();
  lines_before_ = lines_;
  fields_ = 0;
  record_bytes_ = at;
  earlier_bytes_.clear();
  state_ = State::field_start;
}

// Ends the current field at `at`, the byte after it.
void CsvRecords::end_field(const char* at) {
  if (fields_ != kCodeFieldPosition + 1) return;
  carried_code_ = recode({code_, std::min(code_size_, kHeld)}, carried_code_);
  put_code(wrapped_);
  emit_from_ = at;
}

// Ends the record at hand, whose line end is at `at`, in the piece that ends at
// `end`, or at the end of the file: CR LF in place of its line end.
void CsvRecords::end_record(const char* at, const char* end) {
  if (fields_ < kMinFields) {
    fail(std::to_string(fields_) + " fields; a record needs at least " + std::to_string(kMinFields),
         at, end);
  }
  output_.put(kLineEnd);
  output_.end_long_line();
  state_ = State::between_records;
}

void CsvRecords::take_field_bytes(const char* from, const char* to) {
  const std::string_view bytes(from, static_cast<std::size_t>(to - from));
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
    output.put(kByteOrderMark);
    input.consume(kByteOrderMark.size());
  }
  output.lines_hold_line_ends();
  CsvRecords records(output, carried_code, lines_before);
  for (;;) {
    const std::string_view bytes = input.unread();
    const bool file_ends = input.file_ended();
    const std::size_t taken = records.convert(bytes);
    input.consume(taken);
    if (file_ends && taken == bytes.size()) return records.finish();
    input.read_more();
  }
}

}  // namespace Module1

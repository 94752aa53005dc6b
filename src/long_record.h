#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "cause_line.h"
#include "code_table.h"
#include "csv_view.h"
#include "record_line.h"

namespace Module1 {

// The long-line path: a record line too long for the reader's buffer,
// converted piece by piece as it is read instead of being held whole. The
// output line is the input line with the code field replaced, so only the
// code field's first bytes and the count of separators are kept; every other
// byte is handed on at once. The caller takes back what was handed on when
// the line fails.
class LongRecord {
 public:
  explicit LongRecord(Code carried_code) : carried_code_(carried_code) {}

  // Converts the bytes of `piece`, the next ones of the line, that can be
  // told apart from what follows, and returns how many it took: all where
  // the line ends after `piece`, else all but the last two, which may begin
  // a separator. Output bytes go to `emit(std::string_view)`. Fails a line
  // that shows more than kMaxFields fields.
  template <typename Emit>
  std::size_t convert(std::string_view piece, bool line_ends, Emit emit) {
    const std::size_t decided =
        line_ends ? piece.size()
                  : piece.size() - std::min(piece.size(), kFieldSeparator.size() - 1);
    std::size_t at = 0;
    for (;;) {
      const std::size_t separator = find_separator(piece, at);
      // A separator that began among the decided bytes may end past them.
      const std::size_t field_end = std::max(at, std::min(separator, decided));
      take_field_bytes(piece.substr(at, field_end - at), emit);
      if (separator >= decided) {
        csv_view_.feed(piece.substr(0, field_end));
        return field_end;
      }
      take_separator(emit);
      at = separator + kFieldSeparator.size();
    }
  }

  // After the piece that ends the line: the carried code for the records
  // that follow. Fails a record of fewer than five fields, and one that CSV
  // reads otherwise.
  template <typename Emit>
  Code finish(Emit emit, bool first_line_crlf) {
    if (separators_ + 1 < kMinFields) {
      explain_too_few_fields(csv_view_, first_line_crlf);
      fail_record(separators_ + 1, false, clues_.hint());
    }
    fail_if_read_otherwise(csv_view_, first_line_crlf);
    emit(kLineEnd);
    return carried_code_;
  }

  // After finish(): where CSV read the line to its end inside a wrapped
  // field, and no field is open yet, it opens one at line `line_number`.
  bool opens_field(OpenField& open_field, std::uint64_t line_number) const {
    return open_carried_field(open_field, csv_view_, line_number);
  }

 private:
  template <typename Emit>
  void take_field_bytes(std::string_view bytes, Emit emit) {
    // Only a line that may still have too few fields needs them.
    if (separators_ + 1 < kMinFields) clues_.add(bytes);
    if (separators_ != kCodeFieldPosition) {
      if (!bytes.empty()) emit(bytes);
      return;
    }
    // Held only as far as it may be a code: a longer text is none.
    const std::size_t kept = std::min(bytes.size(), kHeld - code_size_);
    std::copy_n(bytes.data(), kept, code_ + code_size_);
    code_size_ += kept;
  }

  template <typename Emit>
  void take_separator(Emit emit) {
    if (++separators_ == kMaxFields) fail_record(0, true);
    if (separators_ == kCodeFieldPosition + 1) {
      recode_held_field();
      emit(carried_code_.text());
    }
    emit(kFieldSeparator);
  }

  void recode_held_field() { carried_code_ = recode({code_, code_size_}, carried_code_); }

  static constexpr std::size_t kHeld = Code::kMaxSize + 1;

  Code carried_code_;
  std::size_t separators_ = 0;
  char code_[kHeld] = {};
  std::size_t code_size_ = 0;  // bytes of the code field held, at most kHeld
  FormatClues clues_;          // of the fields before a record's fifth
  CsvView csv_view_;           // of every byte taken
};

}  // namespace Module1

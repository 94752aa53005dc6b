#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "failure.h"
#include "host.h"

namespace Module1 {

// Writes whole lines, each ending with a carriage return and a line feed,
// through a buffer: the caller asks for room, puts its lines there, and says
// where they end. When a write to the file fails, the file is cut back to the
// end of the last line that reached it whole, and nothing more is written:
// the file holds whole lines only, an exact prefix of the intended output.
//
// A line holds no carriage return (in this format one would have ended it),
// so every CR LF in the output is the end of a line.
class LineWriter {
 public:
  // `capacity`: the most room asked for at once (the output of a full run of
  // the reader's lines), held from the start, so that no run has to test for
  // a buffer to grow.
  LineWriter(host::OutputFile& file, std::size_t capacity);

  // Where `size` bytes, at most the capacity, may be put after the lines put
  // so far: the buffered lines go to the file first when the room left is
  // smaller.
  char* room(std::size_t size) {
    if (size > capacity_ - buffered()) write_buffer();
    return next_;
  }
  // The lines put in the room end at `end`.
  void lines_end_at(char* end) { next_ = end; }
  // The same for one record read as CSV (see lines_hold_line_ends).
  void record_ends_at(char* end) {
    next_ = end;
    last_line_end_ = written_ + buffered();
  }
  // Hands every buffered line to the file and has the file check that it
  // reached the storage device. Throws on any error.
  void flush();
  // On the way out after a failure: writes the buffered lines if nothing has
  // failed yet, so that the lines converted so far are kept, and takes back
  // what was written of a long line. Throws when they could not all be
  // written, with what the file holds instead.
  void keep_written_lines();

  // A long line is written in pieces, as its bytes come: they may go to the
  // file before the line is whole, and are taken back if it fails.
  void begin_long_line() { long_line_start_ = written_ + buffered(); }
  void write_piece(std::string_view bytes);
  // The same, inline where the bytes fit the buffer: for the short pieces of
  // each record read as CSV.
  void put(std::string_view bytes) {
    if (bytes.size() > capacity_ - buffered()) return write_piece(bytes);
    std::memcpy(next_, bytes.data(), bytes.size());
    next_ += bytes.size();
  }
  void end_long_line() {
    long_line_start_ = kNoLongLine;
    last_line_end_ = written_ + buffered();
  }
  // Lines from here on may be taken back with a long line that fails (a
  // record-rule line whose field CSV carries on into the lines after it),
  // until released.
  void hold_from_here() { held_from_ = written_ + buffered(); }
  void hold_from_long_line() { held_from_ = long_line_start_; }
  void release_hold() { held_from_ = kNoLongLine; }

  // Lines may hold CR LF inside (records read as CSV, each written as a long
  // line): after a failed write, the file keeps the lines up to the end of the
  // last one known, not up to the last CR LF that reached it.
  void lines_hold_line_ends() { lines_hold_line_ends_ = true; }

 private:
  static constexpr std::uint64_t kNoLongLine = ~std::uint64_t{0};

  [[nodiscard]] std::size_t buffered() const {
    return static_cast<std::size_t>(next_ - buffer_.get());
  }
  void write_buffer();
  void cut_back_after_failure(std::string_view unwritten, const Failure& failure);
  void cut_back(std::uint64_t size, const std::string& cause);

  host::OutputFile& file_;
  std::unique_ptr<char[]> buffer_;
  const std::size_t capacity_;
  char* next_;                                   // where the next line goes
  std::uint64_t written_ = 0;                    // bytes handed to the file
  std::uint64_t whole_lines_end_ = 0;            // file size after the last line written whole
  std::uint64_t long_line_start_ = kNoLongLine;  // where the long line being written begins
  std::uint64_t held_from_ = kNoLongLine;        // where the lines on hold begin
  // Where the lines that may be taken back begin.
  [[nodiscard]] std::uint64_t taken_back_from() const {
    return std::min(long_line_start_, held_from_);
  }
  std::uint64_t last_line_end_ = 0;  // where the last long line written ends
  bool lines_hold_line_ends_ = false;
  bool failed_ = false;
};

}  // namespace Module1

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "byte_blocks.h"
#include "csv_view.h"
#include "host.h"
#include "record_line.h"

namespace Module1 {

// Whole lines in a row, as the reader hands them out: each ends with a
// carriage return, and a line feed after it when there is one.
class Lines {
 public:
  Lines() = default;
  Lines(const char* begin, const char* end) : next_(begin), end_(end) {}

  [[nodiscard]] bool empty() const { return next_ == end_; }
  // Bytes left, terminators included.
  [[nodiscard]] std::size_t size() const { return static_cast<std::size_t>(end_ - next_); }

  // Sets `line` to the next line, without its terminator; false when none is
  // left.
  bool read_line(std::string_view& line) {
    if (next_ == end_) return false;
    // Found before end_: every line of the run ends with one. Its line feed,
    // where it has one, is in the run too: a run never ends between a
    // carriage return and its line feed (read_lines).
    const char* const carriage_return = find_present(next_, end_, '\r');
    line = {next_, static_cast<std::size_t>(carriage_return - next_)};
    next_ = carriage_return + 1 + static_cast<std::size_t>(carriage_return[1] == '\n');
    return true;
  }

 private:
  const char* next_ = nullptr;
  const char* end_ = nullptr;
};

// The bytes of a long line at hand, up to its terminator or the end of the
// file where `line_ends`.
struct LinePiece {
  std::string_view bytes;
  bool line_ends = false;
};

// Reads a file line by line. A carriage return, or a carriage return and a
// line feed, ends a line; a line feed alone is an ordinary byte. The last line
// need not be terminated. How the file is read, by these record rules or as
// CSV, is decided from its first bytes before any of it is handed out; a CSV
// file is taken as the bytes at hand instead (unread() and consume()).
// Lines are views into the reader's buffer, valid until the next call. The
// buffer never grows: a line longer than half of it is handed out in pieces
// instead (the long-line path), so that memory stays bounded whatever the
// file holds.
class LineReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;
  // Bytes of the buffer past the last byte read: a line's pieces are read
  // as whole blocks that far past their end (join_record), and the last line
  // of the file is given a carriage return of its own there.
  static constexpr std::size_t kPadding = kWholeCopy;

  // How far into the file the reading is decided: as far as the reader's
  // buffer holds, enough for a record of as many fields as a record may have.
  static constexpr std::size_t kDecisionWindow = kDefaultBufferSize;

  // `buffer_size` is at least 4: a long line's piece of three settled bytes
  // and the byte after them. Decides how the file is read before it returns,
  // from its first kDecisionWindow bytes, held until the buffer takes them.
  LineReader(host::InputFile& file, std::size_t buffer_size);

  [[nodiscard]] Reading reading() const { return reading_; }
  // Whether the file's first line ends in CR LF, not in a lone CR.
  [[nodiscard]] bool first_line_crlf() const { return first_line_crlf_; }

  // The whole lines that follow, at least one; none once every line has been
  // read, or when the next line is a long one. Handed out by value, so that
  // the caller's loop over them keeps its place in registers.
  Lines read_lines();
  // After read_lines() handed out none: whether a long line is at hand.
  [[nodiscard]] bool at_long_line() const { return long_line_; }
  // The bytes of the long line not yet taken: more than two, unless the line
  // ends sooner.
  LinePiece long_line_piece();
  // The first `count` bytes of the piece are done with; once those of the
  // piece that ends the line are, its terminator is too.
  void take(std::size_t count, bool line_ends);
  // The bytes read and not yet consumed whose meaning is settled: all of them
  // once the file has ended, else all but the last, which may be a carriage
  // return or quote that the next byte completes. The byte after them is
  // readable, and 0 at the end of the file.
  [[nodiscard]] std::string_view unread() const { return {&buffer_[begin_], settled() - begin_}; }
  [[nodiscard]] bool file_ended() const { return file_ended_; }
  void consume(std::size_t count) { begin_ += count; }
  // Reads more of the file after the unread bytes; false at its end.
  bool read_more() { return fill(); }
  // How many bytes the file has handed over so far.
  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  void decide_reading();
  std::size_t read_file(char* to, std::size_t capacity);
  bool fill();
  void clear_padding() { std::memset(buffer_.get() + end_, 0, kPadding); }
  // One past the bytes whose meaning is known: a carriage return read last
  // may have its line feed in the next read.
  [[nodiscard]] std::size_t settled() const {
    return end_ - static_cast<std::size_t>(!file_ended_ && end_ > begin_);
  }
  Lines hand_out(std::size_t after);

  host::InputFile& file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t begin_ = 0;  // first byte not handed out
  std::size_t end_ = 0;    // one past the last byte read from the file
  std::uint64_t bytes_read_ = 0;
  bool file_ended_ = false;
  bool long_line_ = false;
  Reading reading_ = Reading::records;
  bool first_line_crlf_ = true;
  // The file's first bytes, until the buffer has taken them all.
  std::unique_ptr<char[]> window_;
  std::size_t window_size_ = 0;
  std::size_t window_taken_ = 0;
};

}  // namespace Module1

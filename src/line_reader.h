#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "byte_blocks.h"
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

  // The first `byte` from `from` on, found before `end`. With glibc, memchr
  // made the whole conversion 5% (narrow lines) to 45% (wide ones) faster than
  // the block search; the Windows C library (msvcrt) searches byte by byte,
  // where the block search took 35% less user CPU under Wine. CMake chooses by
  // platform.
  static const char* find_line_end(const char* from, const char* end, char byte) {
    return RENUMBER_SEARCH_BY_BLOCKS ? find_byte(from, end, byte)
                                     : static_cast<const char*>(std::memchr(
                                           from, byte, static_cast<std::size_t>(end - from)));
  }

  // Sets `line` to the next line, without its terminator; false when none is
  // left.
  bool read_line(std::string_view& line) {
    if (next_ == end_) return false;
    // Found before end_: every line of the run ends with one.
    const char* const carriage_return = find_line_end(next_, end_, '\r');
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
// line feed, ends a line; a line feed alone is an ordinary byte. A file that
// holds a line feed and no carriage return anywhere has LF line ends: there
// each line feed ends a line, and becomes a carriage return as its line is
// handed out, so that one loop converts every file; a line that does not
// begin and end with a double quote fails there. The last line need not be
// terminated.
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

  // `buffer_size` is at least 4: a long line's piece of three settled bytes
  // and the byte after them. Decides the file's line ends before it returns.
  LineReader(host::InputFile& file, std::size_t buffer_size);

  [[nodiscard]] bool lf_line_ends() const { return lf_line_ends_; }

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
  // How many bytes the file has handed over so far.
  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  void decide_line_ends();
  bool fill();
  void clear_padding() { std::memset(buffer_.get() + end_, 0, kPadding); }
  // One past the bytes whose meaning is known: a carriage return read last
  // may have its line feed in the next read.
  [[nodiscard]] std::size_t settled() const {
    return end_ - static_cast<std::size_t>(!file_ended_ && end_ > begin_);
  }
  Lines hand_out(std::size_t after);
  [[nodiscard]] char terminator() const { return lf_line_ends_ ? '\n' : '\r'; }
  // Whether the byte at `at` is the line feed of a CR LF.
  [[nodiscard]] bool crlf_tail_at(std::size_t at) const {
    return !lf_line_ends_ && buffer_[at] == '\n';
  }

  host::InputFile& file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t begin_ = 0;  // first byte not handed out
  std::size_t end_ = 0;    // one past the last byte read from the file
  std::uint64_t bytes_read_ = 0;
  bool file_ended_ = false;
  bool long_line_ = false;
  bool lf_line_ends_ = false;
};

}  // namespace Module1

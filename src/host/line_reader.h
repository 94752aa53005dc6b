#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "byte_blocks.h"
#include "host/host.h"
#include "record_line.h"

namespace host {

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
  // left. With glibc, memchr made the whole conversion 5% (narrow lines) to
  // 45% (wide ones) faster than the block search; the Windows C library
  // (msvcrt) searches byte by byte, where the block search took 35% less user
  // CPU under Wine. CMake chooses by platform.
  bool read_line(std::string_view& line) {
    if (next_ == end_) return false;
    // Found before end_: every line of the run ends with one.
    const char* const carriage_return =
        RENUMBER_SEARCH_BY_BLOCKS ? Module1::find_byte(next_, end_, '\r')
                                  : static_cast<const char*>(std::memchr(next_, '\r', size()));
    line = {next_, static_cast<std::size_t>(carriage_return - next_)};
    next_ = carriage_return + 1 + static_cast<std::size_t>(carriage_return[1] == '\n');
    return true;
  }

 private:
  const char* next_ = nullptr;
  const char* end_ = nullptr;
};

// Reads a file line by line. A carriage return, or a carriage return and a
// line feed, ends a line; a line feed alone is an ordinary byte. The last line
// need not be terminated. Lines are views into the reader's buffer, valid
// until the next call; the buffer grows only as far as the longest line needs.
class LineReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;
  // Bytes of the buffer past the last byte read: a line's pieces are read
  // as whole blocks that far past their end (join_record), and the last line
  // of the file is given a carriage return of its own there.
  static constexpr std::size_t kPadding = Module1::kWholeCopy;

  // Looks at the start of a line that is about to outgrow the buffer, and
  // throws when the line cannot be valid however it goes on, so that such a
  // line is not held whole.
  using LongLineCheck = std::function<void(std::string_view line_start)>;

  explicit LineReader(InputFile& file, LongLineCheck check_long_line = nullptr,
                      std::size_t buffer_size = kDefaultBufferSize);

  // The whole lines that follow, at least one; none once every line has been
  // read. Handed out by value, so that the caller's loop over them keeps its
  // place in registers.
  Lines read_lines();
  // How many bytes the file has handed over so far.
  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  bool fill();

  InputFile& file_;
  LongLineCheck check_long_line_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t begin_ = 0;  // first byte not handed out
  std::size_t end_ = 0;    // one past the last byte read from the file
  std::uint64_t bytes_read_ = 0;
  bool file_ended_ = false;
};

}  // namespace host

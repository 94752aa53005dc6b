#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "host/host.h"

namespace host {

// Reads a file line by line. A carriage return, or a carriage return and a
// line feed, ends a line; a line feed alone is an ordinary byte. The last line
// need not be terminated. Lines are views into the reader's buffer, valid
// until the next call; the buffer grows only as far as the longest line needs.
class LineReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  // Looks at the start of a line that is about to outgrow the buffer, and
  // throws when the line cannot be valid however it goes on, so that such a
  // line is not held whole.
  using LongLineCheck = std::function<void(std::string_view line_start)>;

  explicit LineReader(InputFile& file, LongLineCheck check_long_line = nullptr,
                      std::size_t buffer_size = kDefaultBufferSize);

  // Sets `line` to the next line, without its terminator; false, with
  // `line` untouched, once every line has been read.
  bool read_line(std::string_view& line);
  // How many bytes the file has handed over so far.
  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  bool has_unread_bytes();
  bool fill();
  void drop_line_feed_after_carriage_return();

  InputFile& file_;
  LongLineCheck check_long_line_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t begin_ = 0;  // first unread byte
  std::size_t end_ = 0;    // one past the last byte read from the file
  std::uint64_t bytes_read_ = 0;
  bool file_ended_ = false;
  // The last line ended with a carriage return that was the last byte read
  // so far; a line feed at the start of the next read still belongs to it.
  bool line_feed_may_follow_ = false;
};

}  // namespace host

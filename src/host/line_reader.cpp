#include "host/line_reader.h"

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

namespace host {

LineReader::LineReader(InputFile& file, LongLineCheck check_long_line, std::size_t buffer_size)
    : file_(file),
      check_long_line_(std::move(check_long_line)),
      buffer_(new char[buffer_size + kPadding]),
      capacity_(buffer_size) {}

Lines LineReader::read_lines() {
  std::size_t scanned = 0;  // bytes after begin_ known to hold no carriage return
  for (bool more = true;; more = fill()) {
    // A carriage return read last may have its line feed in the next read.
    const std::size_t settled = end_ - static_cast<std::size_t>(more && end_ > begin_);
    // The last carriage return lies among the bytes read last, unless the
    // lines before were handed out.
    const std::size_t from = begin_ + scanned;
    if (const std::size_t last = std::string_view(&buffer_[from], settled - from).rfind('\r');
        last != std::string_view::npos) {
      std::size_t after = from + last + 1;
      after += static_cast<std::size_t>(buffer_[after] == '\n');  // the byte past end_ is 0
      const Lines lines(buffer_.get() + begin_, buffer_.get() + after);
      begin_ = after;
      return lines;
    }
    if (!more) break;
    scanned = settled - begin_;
  }
  if (begin_ == end_) return {};
  // The last line has no terminator: it is given one past the bytes read.
  buffer_[end_] = '\r';
  buffer_[end_ + 1] = '\0';
  const Lines lines(buffer_.get() + begin_, buffer_.get() + end_ + 1);
  begin_ = end_;
  return lines;
}

// Reads more bytes after the unread ones. When less than half the buffer is
// free, the unread bytes move to its front, or, when they fill more than half
// of it (one long line, checked first), the buffer doubles. False at the end
// of the file. The byte past the last one read is 0, never a line feed.
bool LineReader::fill() {
  if (file_ended_) return false;
  if (capacity_ - end_ < capacity_ / 2) {
    const std::size_t unread = end_ - begin_;
    if (unread > capacity_ / 2) {
      if (check_long_line_) check_long_line_({buffer_.get() + begin_, unread});
      std::unique_ptr<char[]> larger(new char[capacity_ * 2 + kPadding]);
      std::memcpy(larger.get(), buffer_.get() + begin_, unread);
      buffer_ = std::move(larger);
      capacity_ *= 2;
    } else {
      std::memmove(buffer_.get(), buffer_.get() + begin_, unread);
    }
    begin_ = 0;
    end_ = unread;
  }
  const std::size_t count = file_.read(buffer_.get() + end_, capacity_ - end_);
  if (count == 0) {
    file_ended_ = true;
    return false;
  }
  end_ += count;
  bytes_read_ += count;
  buffer_[end_] = '\0';
  return true;
}

}  // namespace host

#include "line_reader.h"

#include <cstddef>
#include <cstring>
#include <string_view>

#include "failure.h"

namespace Module1 {
namespace {

bool holds_line_feed(std::string_view bytes) { return bytes.find('\n') != std::string_view::npos; }

// Such a file shows its lines in Notepad and Excel, which break lines at a
// line feed, yet every line end here would be an ordinary byte of one record.
[[noreturn]] void fail_lf_line_ends() {
  throw Failure::record("lines end in LF alone (no CR in the whole file); they must end in CR LF");
}

}  // namespace

LineReader::LineReader(host::InputFile& file, std::size_t buffer_size)
    : file_(file), buffer_(new char[buffer_size + kPadding]), capacity_(buffer_size) {
  clear_padding();
}

Lines LineReader::read_lines() {
  std::size_t scanned = 0;  // bytes after begin_ known to hold no carriage return
  for (bool more = true;; more = fill()) {
    const std::size_t settled = this->settled();
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
    // The long-line path begins here: a line that fills more than half the
    // buffer is taken in pieces.
    if (end_ - begin_ > capacity_ / 2) {
      long_line_ = true;
      long_line_first_ = at_first_line();
      line_feed_in_line_ = false;
      return {};
    }
  }
  if (begin_ == end_) return {};
  // The whole file, without a carriage return.
  if (at_first_line() && holds_line_feed({&buffer_[begin_], end_ - begin_})) fail_lf_line_ends();
  // The last line has no terminator: it is given one past the bytes read.
  buffer_[end_] = '\r';
  buffer_[end_ + 1] = '\0';
  const Lines lines(buffer_.get() + begin_, buffer_.get() + end_ + 1);
  begin_ = end_;
  return lines;
}

LinePiece LineReader::long_line_piece() {
  for (;;) {
    const std::string_view unread(&buffer_[begin_], settled() - begin_);
    const std::size_t carriage_return = unread.find('\r');
    if (carriage_return != std::string_view::npos) return {unread.substr(0, carriage_return), true};
    if (long_line_first_ && !line_feed_in_line_) line_feed_in_line_ = holds_line_feed(unread);
    if (file_ended_) {
      if (long_line_first_ && line_feed_in_line_) fail_lf_line_ends();
      return {unread, true};
    }
    if (unread.size() > kFieldSeparator.size() - 1) return {unread, false};
    fill();
  }
}

void LineReader::take(std::size_t count, bool line_ends) {
  begin_ += count;
  if (!line_ends) return;
  // The terminator, all of it read: its line feed is settled with it.
  if (begin_ < end_) begin_ += 1 + static_cast<std::size_t>(buffer_[begin_ + 1] == '\n');
  long_line_ = false;
}

void LineReader::fail_if_lf_line_ends() {
  if (!long_line_ || !long_line_first_ || !line_feed_in_line_) return;
  do {
    if (std::string_view(&buffer_[begin_], end_ - begin_).find('\r') != std::string_view::npos) {
      return;
    }
    begin_ = end_;
  } while (fill());
  fail_lf_line_ends();
}

// Reads more bytes after the unread ones, first moved to the front when less
// than half the buffer is free; a line that would need more is a long one.
// False at the end of the file. The padding past the last byte read is 0,
// whatever the fill did: never a line feed, and never a byte left unwritten
// for the block reads past a line's end to look at.
bool LineReader::fill() {
  if (file_ended_) return false;
  if (capacity_ - end_ < capacity_ / 2) {
    const std::size_t unread = end_ - begin_;
    std::memmove(buffer_.get(), buffer_.get() + begin_, unread);
    begin_ = 0;
    end_ = unread;
  }
  const std::size_t count = file_.read(buffer_.get() + end_, capacity_ - end_);
  end_ += count;
  bytes_read_ += count;
  clear_padding();
  file_ended_ = count == 0;
  return !file_ended_;
}

}  // namespace Module1

#include "line_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "failure.h"

namespace Module1 {

LineReader::LineReader(host::InputFile& file, std::size_t buffer_size)
    : file_(file), buffer_(new char[buffer_size + kPadding]), capacity_(buffer_size) {
  decide_reading();
}

// The first bytes of the file are read into a window of their own, whatever
// the size of the buffer, so that every reader decides alike; the buffer
// takes them from there before it reads the file on. Nothing is read twice.
void LineReader::decide_reading() {
  window_ = std::make_unique_for_overwrite<char[]>(kDecisionWindow);
  bool whole_file = false;
  while (window_size_ < kDecisionWindow && !whole_file) {
    const std::size_t count =
        file_.read(window_.get() + window_size_, kDecisionWindow - window_size_);
    window_size_ += count;
    whole_file = count == 0;
  }
  const std::string_view window(window_.get(), window_size_);
  reading_ = Module1::decide_reading(window, whole_file);
  const std::size_t first_carriage_return = window.find('\r');
  first_line_crlf_ = first_carriage_return == std::string_view::npos ||
                     window.substr(first_carriage_return + 1, 1) == "\n";
}

std::size_t LineReader::read_file(char* to, std::size_t capacity) {
  if (window_ == nullptr) return file_.read(to, capacity);
  const std::size_t count = std::min(capacity, window_size_ - window_taken_);
  std::memcpy(to, window_.get() + window_taken_, count);
  window_taken_ += count;
  if (window_taken_ == window_size_) window_.reset();  // its memory given back
  return count;
}

Lines LineReader::read_lines() {
  std::size_t scanned = 0;  // bytes after begin_ known to hold no terminator
  for (bool more = true;; more = fill()) {
    const std::size_t settled = this->settled();
    // The last terminator lies among the bytes read last, unless the lines
    // before were handed out.
    const std::size_t from = begin_ + scanned;
    if (const std::size_t last = std::string_view(&buffer_[from], settled - from).rfind('\r');
        last != std::string_view::npos) {
      std::size_t after = from + last + 1;
      after += static_cast<std::size_t>(buffer_[after] == '\n');  // the byte past end_ is 0
      return hand_out(after);
    }
    if (!more) break;
    scanned = settled - begin_;
    // The long-line path begins here: a line that fills more than half the
    // buffer is taken in pieces.
    if (end_ - begin_ > capacity_ / 2) {
      long_line_ = true;
      return {};
    }
  }
  if (begin_ == end_) return {};
  // The last line has no terminator: it is given one past the bytes read,
  // in the padding, which is 0 after it.
  buffer_[end_] = '\r';
  return hand_out(end_ + 1);
}

// The lines from begin_ up to `after`, which is past end_ only by the last
// line's own terminator.
Lines LineReader::hand_out(std::size_t after) {
  const char* const first = &buffer_[begin_];
  begin_ = std::min(end_, after);
  return {first, &buffer_[after]};
}

LinePiece LineReader::long_line_piece() {
  for (;;) {
    const std::string_view unread(&buffer_[begin_], settled() - begin_);
    const std::size_t line_end = unread.find('\r');
    if (line_end != std::string_view::npos) return {unread.substr(0, line_end), true};
    if (file_ended_) return {unread, true};
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
  const std::size_t count = read_file(buffer_.get() + end_, capacity_ - end_);
  end_ += count;
  bytes_read_ += count;
  clear_padding();
  file_ended_ = count == 0;
  return !file_ended_;
}

}  // namespace Module1

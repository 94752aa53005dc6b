#include "host/line_reader.h"

#include <cstring>

#include "byte_blocks.h"

namespace host {

LineReader::LineReader(InputFile& file, std::size_t buffer_size)
    : file_(file), buffer_(new char[buffer_size]), capacity_(buffer_size) {}

bool LineReader::read_line(std::string_view& line) {
  drop_line_feed_after_carriage_return();
  if (!has_unread_bytes()) return false;
  std::size_t scanned = 0;  // bytes after begin_ known to hold no carriage return
  for (;;) {
    const std::size_t cr = find_carriage_return(begin_ + scanned);
    if (cr < end_) {
      line = {buffer_.get() + begin_, cr - begin_};
      begin_ = cr + 1;
      if (begin_ < end_) {
        begin_ += static_cast<std::size_t>(buffer_[begin_] == '\n');
      } else {
        line_feed_may_follow_ = true;
      }
      return true;
    }
    scanned = end_ - begin_;
    if (!fill()) {  // the last line has no terminator
      line = {buffer_.get() + begin_, end_ - begin_};
      begin_ = end_;
      return true;
    }
  }
}

// Position of the first carriage return at or after `from` among the bytes
// read, or end_ when there is none: two blocks compared at a time while
// there are that many, then the few bytes left before end_ one by one.
std::size_t LineReader::find_carriage_return(std::size_t from) const {
  using Module1::kBlockSize;
  const char* const buffer = buffer_.get();
  std::size_t at = from;
  for (; at + 2 * kBlockSize <= end_; at += 2 * kBlockSize) {
    const Module1::ByteBlock first = Module1::bytes_equal(Module1::load_block(buffer + at), '\r');
    const Module1::ByteBlock second =
        Module1::bytes_equal(Module1::load_block(buffer + at + kBlockSize), '\r');
    if (Module1::any_marked(first | second)) {
      const std::size_t in_first = Module1::first_marked(first);
      return at + (in_first < kBlockSize ? in_first : kBlockSize + Module1::first_marked(second));
    }
  }
  while (at < end_ && buffer[at] != '\r') ++at;
  return at;
}

bool LineReader::has_unread_bytes() {
  if (begin_ < end_) return true;
  begin_ = end_ = 0;
  return fill();
}

void LineReader::drop_line_feed_after_carriage_return() {
  if (!line_feed_may_follow_) return;
  line_feed_may_follow_ = false;
  if (has_unread_bytes() && buffer_[begin_] == '\n') ++begin_;
}

// Reads more bytes after the unread ones. When less than half the buffer is
// free, the unread bytes move to its front, or, when they fill more than half
// of it (one long line), the buffer doubles. False at the end of the file.
bool LineReader::fill() {
  if (file_ended_) return false;
  if (capacity_ - end_ < capacity_ / 2) {
    const std::size_t unread = end_ - begin_;
    if (unread > capacity_ / 2) {
      std::unique_ptr<char[]> larger(new char[capacity_ * 2]);
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
  return true;
}

}  // namespace host

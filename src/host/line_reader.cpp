#include "host/line_reader.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "byte_blocks.h"

namespace host {
namespace {

constexpr bool kSearchByBlocks = RENUMBER_SEARCH_BY_BLOCKS;  // set by CMake

// The first carriage return from `from` up to `end`, or `end`. With glibc,
// memchr made the whole conversion in memory 5% (narrow lines) to 45% (wide
// ones) faster than the block search; the Windows program's C library
// (msvcrt) searches byte by byte, at least under Wine, where the block search
// took 35% less user CPU for the whole run. CMake chooses by platform.
const char* find_carriage_return(const char* from, const char* end) {
  if constexpr (kSearchByBlocks) return Module1::find_byte(from, end, '\r');
  const void* found = std::memchr(from, '\r', static_cast<std::size_t>(end - from));
  return found != nullptr ? static_cast<const char*>(found) : end;
}

}  // namespace

LineReader::LineReader(InputFile& file, LongLineCheck check_long_line, std::size_t buffer_size)
    : file_(file),
      check_long_line_(std::move(check_long_line)),
      buffer_(new char[buffer_size]),
      capacity_(buffer_size) {}

bool LineReader::read_line(std::string_view& line) {
  drop_line_feed_after_carriage_return();
  if (!has_unread_bytes()) return false;
  std::size_t scanned = 0;  // bytes after begin_ known to hold no carriage return
  for (;;) {
    const char* const end = buffer_.get() + end_;
    const char* const cr = find_carriage_return(buffer_.get() + begin_ + scanned, end);
    if (cr != end) {
      const auto at = static_cast<std::size_t>(cr - buffer_.get());
      line = {buffer_.get() + begin_, at - begin_};
      begin_ = at + 1;
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
// of it (one long line, checked first), the buffer doubles. False at the end
// of the file.
bool LineReader::fill() {
  if (file_ended_) return false;
  if (capacity_ - end_ < capacity_ / 2) {
    const std::size_t unread = end_ - begin_;
    if (unread > capacity_ / 2) {
      if (check_long_line_) check_long_line_({buffer_.get() + begin_, unread});
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

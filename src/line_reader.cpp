#include "line_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "failure.h"

namespace Module1 {

LineReader::LineReader(host::InputFile& file, std::size_t buffer_size)
    : file_(file), buffer_(new char[buffer_size + kPadding]), capacity_(buffer_size) {
  decide_line_ends();
}

// A file has LF line ends when it holds a line feed and no carriage return
// anywhere: a fact of the whole file, so it is read on for a carriage return
// where its first half buffer has none. The bytes past that are let go as
// they are searched, and the file is read again from its start: only such
// files pay for a second read, and memory stays the buffer's.
void LineReader::decide_line_ends() {
  bool carriage_return = false;
  bool line_feed = false;
  bool let_go = false;
  // The bytes read are kept from the buffer's start until they fill more than
  // half of it, when they are let go: fill() moves nothing before that.
  for (std::size_t kept = 0; !carriage_return && fill(); kept = end_ - begin_) {
    const std::string_view fresh(&buffer_[kept], end_ - kept);
    carriage_return = fresh.find('\r') != std::string_view::npos;
    line_feed = line_feed || fresh.find('\n') != std::string_view::npos;
    if (!carriage_return && end_ > capacity_ / 2) {
      begin_ = end_;
      let_go = true;
    }
  }
  if (let_go) {
    file_.rewind();
    begin_ = end_ = 0;
    bytes_read_ = 0;
    file_ended_ = false;
  }
  lf_line_ends_ = line_feed && !carriage_return;
}

Lines LineReader::read_lines() {
  std::size_t scanned = 0;  // bytes after begin_ known to hold no terminator
  for (bool more = true;; more = fill()) {
    const std::size_t settled = this->settled();
    // The last terminator lies among the bytes read last, unless the lines
    // before were handed out.
    const std::size_t from = begin_ + scanned;
    if (const std::size_t last =
            std::string_view(&buffer_[from], settled - from).rfind(terminator());
        last != std::string_view::npos) {
      std::size_t after = from + last + 1;
      after += static_cast<std::size_t>(crlf_tail_at(after));  // the byte past end_ is 0
      // Empty lines that follow an LF go too, so that the carriage return it
      // becomes is not read as a CR LF. The padding past end_ is 0.
      while (lf_line_ends_ && buffer_[after] == '\n') ++after;
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
  buffer_[end_] = terminator();
  return hand_out(end_ + 1);
}

// The lines from begin_ up to `after`. With LF line ends, their line feeds
// become carriage returns here, where each line is looked at anyway, and only
// the lines before the first that does not begin and end with a double quote
// are handed out; that line fails once it is the first. Only such files pay
// for this second look at a line.
Lines LineReader::hand_out(std::size_t after) {
  char* const first = &buffer_[begin_];
  char* end = &buffer_[after];
  for (char* line = first; lf_line_ends_ && line != end;) {
    char* const line_feed = line + (Lines::find_line_end(line, end, '\n') - line);
    const std::string_view bytes(line, static_cast<std::size_t>(line_feed - line));
    if (quoted_ends(bytes)) {
      *line_feed = '\r';
      line = line_feed + 1;
    } else if (line == first) {
      fail_unquoted_line(bytes);
    } else {
      end = line;  // the run ends before it
    }
  }
  // Past end_ only by the last line's own terminator.
  begin_ = std::min(end_, begin_ + static_cast<std::size_t>(end - first));
  return {first, end};
}

LinePiece LineReader::long_line_piece() {
  for (;;) {
    const std::string_view unread(&buffer_[begin_], settled() - begin_);
    const std::size_t line_end = unread.find(terminator());
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
  if (begin_ < end_) begin_ += 1 + static_cast<std::size_t>(crlf_tail_at(begin_ + 1));
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
  const std::size_t count = file_.read(buffer_.get() + end_, capacity_ - end_);
  end_ += count;
  bytes_read_ += count;
  clear_padding();
  file_ended_ = count == 0;
  return !file_ended_;
}

}  // namespace Module1

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "failure.h"
#include "host/host.h"
#include "host/line_reader.h"
#include "record_line.h"

namespace host {

// Writes lines, each followed by a carriage return and a line feed, through a
// buffer. When a write to the file fails, the file is cut back to the end of
// the last line that reached it whole, and nothing more is written: the file
// holds whole lines only, an exact prefix of the intended output.
//
// A line holds no carriage return (in this format one would have ended it),
// so every CR LF in the output is the end of a line.
class LineWriter {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;
  // Pieces of up to this many bytes are copied as this many, whatever their
  // length, so that the copy takes no branch on it: the source must be
  // readable that far from a piece's start, as the line reader's buffer is,
  // and the buffer here has that much room past its end.
  static constexpr std::size_t kWholeCopy = 64;
  static_assert(LineReader::kPadding >= kWholeCopy, "lines are read from the reader's buffer");
  static constexpr std::string_view kTerminator = "\r\n";

  explicit LineWriter(OutputFile& file, std::size_t buffer_size = kDefaultBufferSize);

  // Writes the line's pieces one after the other, then the terminator.
  void write_line(Module1::LinePieces line) {
    const std::size_t size =
        line.before_code.size() + line.code.size() + line.after_code.size() + kTerminator.size();
    if (size > static_cast<std::size_t>(limit_ - next_) && !make_room(line, size)) return;
    // Copied through a local pointer and stored once: a store through a char
    // pointer could change any member, so the compiler would reload and store
    // next_ around each piece.
    char* to = copy_piece(line.before_code, next_);
    std::memcpy(to, line.code.padded_text(), Module1::Code::kMaxSize);
    to = copy_piece(line.after_code, to + line.code.size());
    std::memcpy(to, kTerminator.data(), kTerminator.size());
    next_ = to + kTerminator.size();
  }
  // Hands every buffered line to the file and has the file check that it
  // reached the storage device. Throws on any error.
  void flush();
  // On the way out after a failure: writes the buffered lines if nothing has
  // failed yet, so that the lines converted so far are kept. Throws when they
  // could not all be written, with what the file holds instead.
  void keep_written_lines();

 private:
  // Short pieces as one fixed copy, which the compiler makes four 16-byte
  // moves, longer ones with memcpy, whose size classes split at lengths that
  // real fields straddle. Against memcpy for every piece: 7% less time a line
  // on narrow lines, 2% on realistic ones, 10% on wide ones (the whole
  // conversion in memory, alternating runs).
  static char* copy_piece(std::string_view piece, char* to) {
    if (piece.size() <= kWholeCopy) {
      std::memcpy(to, piece.data(), kWholeCopy);
    } else {
      std::memcpy(to, piece.data(), piece.size());
    }
    return to + piece.size();
  }

  // Hands the buffered lines to the file to make room for a line of `size`
  // bytes; a line larger than the buffer goes straight to the file instead,
  // and false says so.
  bool make_room(const Module1::LinePieces& line, std::size_t size);
  void write_buffer();
  void write_long_line(const Module1::LinePieces& line);
  void cut_back_after_failure(std::string_view unwritten_lines, const Module1::Failure& failure);

  OutputFile& file_;
  std::unique_ptr<char[]> buffer_;
  char* next_;                         // where the next line goes
  const char* limit_;                  // the end of the buffer, before the room for whole copies
  std::uint64_t whole_lines_end_ = 0;  // file size after the last line written whole
  bool failed_ = false;
};

}  // namespace host

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "failure.h"
#include "host/host.h"

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

  explicit LineWriter(OutputFile& file, std::size_t buffer_size = kDefaultBufferSize);

  // Writes the pieces one after the other, then the terminator.
  void write_line(std::span<const std::string_view> pieces);
  void write_line(std::string_view line) { write_line({&line, 1}); }
  // Hands every buffered line to the file and has the file check that it
  // reached the storage device. Throws on any error.
  void flush();
  // On the way out after a failure: writes the buffered lines if nothing has
  // failed yet, so that the lines converted so far are kept. Throws when they
  // could not all be written, with what the file holds instead.
  void keep_written_lines();

 private:
  void write_buffer();
  void write_long_line(std::span<const std::string_view> pieces);
  void cut_back_after_failure(std::string_view unwritten_lines, const Module1::Failure& failure);

  OutputFile& file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  std::uint64_t whole_lines_end_ = 0;  // file size after the last line written whole
  bool failed_ = false;
};

}  // namespace host

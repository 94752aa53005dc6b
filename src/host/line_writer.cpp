#include "host/line_writer.h"

#include <cstring>

#include "failure.h"

namespace host {

LineWriter::LineWriter(OutputFile& file, std::size_t buffer_size)
    : file_(file), buffer_(new char[buffer_size]), capacity_(buffer_size) {}

void LineWriter::write_line(std::span<const std::string_view> pieces) {
  static constexpr std::string_view kTerminator = "\r\n";
  std::size_t size = kTerminator.size();
  for (const std::string_view piece : pieces) size += piece.size();
  if (size > capacity_ - used_) {
    write_buffer();
    if (size > capacity_) {  // a line larger than the buffer goes straight to the file
      for (const std::string_view piece : pieces) write_through(piece.data(), piece.size());
      write_through(kTerminator.data(), kTerminator.size());
      return;
    }
  }
  for (const std::string_view piece : pieces) append(piece);
  append(kTerminator);
}

void LineWriter::append(std::string_view bytes) {
  if (bytes.empty()) return;  // an empty view may have no data pointer at all
  std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
}

void LineWriter::flush() {
  write_buffer();
  file_.flush();
}

void LineWriter::keep_written_lines() noexcept {
  if (failed_) return;
  try {
    write_buffer();
  } catch (...) {
    // The run is failing already; the cause reported is the first one.
  }
}

void LineWriter::write_buffer() {
  write_through(buffer_.get(), used_);
  used_ = 0;
}

void LineWriter::write_through(const char* data, std::size_t size) {
  if (failed_) throw Module1::Failure("output: an earlier write failed");
  if (size == 0) return;
  failed_ = true;  // stays set if the write throws
  file_.write(data, size);
  failed_ = false;
}

}  // namespace host

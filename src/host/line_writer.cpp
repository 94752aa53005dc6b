#include "host/line_writer.h"

#include <cstring>

#include "failure.h"

namespace host {

LineWriter::LineWriter(OutputFile& file, std::size_t buffer_size)
    : file_(file), buffer_(new char[buffer_size]), capacity_(buffer_size) {}

void LineWriter::write_line(std::string_view line) {
  static constexpr std::string_view kTerminator = "\r\n";
  if (line.size() + kTerminator.size() > capacity_ - used_) {
    write_buffer();
    if (line.size() + kTerminator.size() > capacity_) {
      write_through(line.data(), line.size());
      write_through(kTerminator.data(), kTerminator.size());
      return;
    }
  }
  std::memcpy(buffer_.get() + used_, line.data(), line.size());
  used_ += line.size();
  std::memcpy(buffer_.get() + used_, kTerminator.data(), kTerminator.size());
  used_ += kTerminator.size();
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

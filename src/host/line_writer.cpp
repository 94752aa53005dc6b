#include "host/line_writer.h"

#include <string>

#include "failure.h"
#include "record_line.h"

namespace host {

LineWriter::LineWriter(OutputFile& file, std::size_t buffer_size)
    : file_(file), buffer_(new char[buffer_size]), capacity_(buffer_size), next_(buffer_.get()) {}

char* LineWriter::room(std::size_t size) {
  if (size <= capacity_ - static_cast<std::size_t>(next_ - buffer_.get())) return next_;
  write_buffer();
  if (size > capacity_) {
    buffer_.reset(new char[size]);
    capacity_ = size;
    next_ = buffer_.get();
  }
  return next_;
}

void LineWriter::flush() {
  write_buffer();
  try {
    file_.flush();
  } catch (const Module1::Failure& failure) {
    // The system took every line, but the device did not confirm them all.
    throw Module1::Failure(std::string(failure.what()) + "; what was written may be incomplete");
  }
}

void LineWriter::keep_written_lines() {
  if (!failed_) write_buffer();
}

void LineWriter::write_buffer() {
  if (failed_) throw Module1::Failure("output: an earlier write failed");
  if (next_ == buffer_.get()) return;
  const std::string_view lines(buffer_.get(), static_cast<std::size_t>(next_ - buffer_.get()));
  try {
    file_.write(lines.data(), lines.size());
  } catch (const Module1::Failure& failure) {
    cut_back_after_failure(lines, failure);
    throw;
  }
  whole_lines_end_ += lines.size();
  next_ = buffer_.get();
}

// The file holds the lines written whole before, then what the failed write
// left of `unwritten_lines`: as much as the system reported written, or more,
// or less. Only the whole lines within what it reported stay, so the file is
// cut back even when the reported size is already there. A cut that fails
// too is named with the failure that led to it.
void LineWriter::cut_back_after_failure(std::string_view unwritten_lines,
                                        const Module1::Failure& failure) {
  failed_ = true;
  const auto reached = static_cast<std::size_t>(file_.size() - whole_lines_end_);
  const std::size_t last_end = unwritten_lines.substr(0, reached).rfind(Module1::kLineEnd);
  if (last_end != std::string_view::npos) whole_lines_end_ += last_end + Module1::kLineEnd.size();
  try {
    file_.cut_back(whole_lines_end_);
  } catch (const Module1::Failure& cut) {
    throw Module1::Failure(std::string(failure.what()) +
                           "; cutting it back to whole records failed too: " + cut.what() +
                           "; it may end inside a record");
  }
}

}  // namespace host

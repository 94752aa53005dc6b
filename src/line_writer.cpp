#include "line_writer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "failure.h"
#include "record_line.h"

namespace Module1 {

LineWriter::LineWriter(host::OutputFile& file, std::size_t capacity)
    : file_(file), buffer_(new char[capacity]), capacity_(capacity), next_(buffer_.get()) {}

void LineWriter::write_piece(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t size = std::min(bytes.size(), capacity_);
    char* const to = room(size);
    std::memcpy(to, bytes.data(), size);
    next_ = to + size;
    bytes.remove_prefix(size);
  }
}

void LineWriter::flush() {
  write_buffer();
  try {
    file_.flush();
  } catch (const Failure& failure) {
    // The system took every line, but the device did not confirm them all.
    throw Failure(std::string(failure.what()) + "; what was written may be incomplete");
  }
}

void LineWriter::keep_written_lines() {
  if (failed_) return;
  // A long line that failed is dropped from the buffer where it began there,
  // and taken back from the file where part of it reached the file.
  const std::uint64_t start = taken_back_from();
  if (start != kNoLongLine && start >= written_) {
    next_ = buffer_.get() + (start - written_);
    long_line_start_ = held_from_ = kNoLongLine;
  }
  write_buffer();
  if (start != kNoLongLine && start < written_) {
    cut_back(start, "the long line that failed was written in part");
  }
}

void LineWriter::write_buffer() {
  if (failed_) throw Failure("output: an earlier write failed");
  if (buffered() == 0) return;
  const std::string_view bytes(buffer_.get(), buffered());
  try {
    file_.write(bytes.data(), bytes.size());
  } catch (const Failure& failure) {
    cut_back_after_failure(bytes, failure);
    throw;
  }
  written_ += bytes.size();
  whole_lines_end_ = std::min(written_, taken_back_from());
  next_ = buffer_.get();
}

// The file holds the bytes written before, then what the failed write left
// of `unwritten`: as much as the system reported written, or more, or less.
// Only the whole lines within what it reported stay, so the file is cut back
// even when the reported size is already there. A cut that fails too is
// named with the failure that led to it.
void LineWriter::cut_back_after_failure(std::string_view unwritten, const Failure& failure) {
  failed_ = true;
  const auto reached = static_cast<std::size_t>(file_.size() - written_);
  if (lines_hold_line_ends_) {
    if (written_ + reached >= last_line_end_) whole_lines_end_ = last_line_end_;
    return cut_back(whole_lines_end_, failure.what());
  }
  const std::size_t last_end = unwritten.substr(0, reached).rfind(kLineEnd);
  if (last_end != std::string_view::npos) {
    whole_lines_end_ = std::min(written_ + last_end + kLineEnd.size(), taken_back_from());
  }
  cut_back(whole_lines_end_, failure.what());
}

void LineWriter::cut_back(std::uint64_t size, const std::string& cause) {
  try {
    file_.cut_back(size);
  } catch (const Failure& cut) {
    throw Failure(cause + "; cutting it back to whole records failed too: " + cut.what() +
                  "; it may end inside a record");
  }
}

}  // namespace Module1

#include "run_conversion.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cause_guard.h"
#include "cause_line.h"
#include "code_table.h"
#include "csv_record.h"
#include "csv_view.h"
#include "failure.h"
#include "line_reader.h"
#include "line_writer.h"
#include "long_record.h"
#include "record_line.h"

namespace Module1 {
namespace {

// No read or write reaches the transfer cap: a read fills at most the
// reader's buffer, a write empties at most the writer's, which holds the
// output of the lines of one read.
static_assert(LineReader::kDefaultBufferSize <= host::kMaxTransfer &&
              output_room(LineReader::kDefaultBufferSize) <= host::kMaxTransfer);

std::string path_beside_program(host::Host& host, std::string_view file_name) {
  // The separator goes in even when the directory already ends with one.
  std::string path = host.program_directory();
  path += host.path_separator();
  path += file_name;
  return path;
}

std::string describe(const Failure& failure, std::uint64_t line_number) {
  if (!failure.is_record_failure()) return failure.what();
  return std::string(kInputFileName) + " line " + std::to_string(line_number) + ": " +
         failure.what();
}

// The input as converted must be the input as it was opened: the same size
// and modification time now as then, and every byte of that size read, no
// more and no fewer. An export still being written, or a file appended to or
// cut short during the run, fails here instead of passing for complete.
void ensure_unchanged(const host::InputFile& input, const host::FileState& at_open,
                      std::uint64_t bytes_read, const std::string& path) {
  if (bytes_read != at_open.size || input.state() != at_open) {
    throw Failure(path + " changed while it was read");
  }
}

// Follows a field that CSV carries on from an earlier line through `bytes`,
// and fails that line where CSV reads the lines from it on as one record.
void follow(OpenField& open_field, std::string_view bytes, bool line_starts, LineWriter& output,
            std::uint64_t& lines_converted) {
  if (follow_open_field(open_field, bytes, line_starts)) {
    lines_converted = open_field.line - 1;  // the line that failed
    fail_open_field();
  }
  if (!open_field.open) output.release_hold();
}

// The runs of whole lines up to the next long line or the end of the input.
Code convert_runs(LineReader& input, LineWriter& output, Code carried_code,
                  std::uint64_t& lines_converted, OpenField& open_field) {
  const bool first_line_crlf = input.first_line_crlf();
  for (Lines lines = input.read_lines(); !lines.empty(); lines = input.read_lines()) {
    char* to = output.room(output_room(lines.size()));
    std::string_view line;
    try {
      for (; lines.read_line(line); ++lines_converted) {
        const FieldList fields = split_record(line);
        if (open_field.open) [[unlikely]] {
          // A line of too many fields fails at once, as a long line does.
          if (fields.over_field_limit) fail_record(0, true);
          follow(open_field, line, true, output, lines_converted);
        }
        carried_code = recode(code_field(fields), carried_code);
        char* const line_end = join_record(fields, carried_code, to);
        if (require_read_alike(line, first_line_crlf, open_field, lines_converted + 1))
            [[unlikely]] {
          output.lines_end_at(to);
          output.hold_from_here();
        }
        to = line_end;
      }
    } catch (const Failure& failure) {
      output.lines_end_at(to);  // the lines before the one that failed are kept
      // What CSV reads in a line of too few fields says more of the file.
      if (failure.has_too_few_fields()) {
        CsvView view;
        view.feed(line);
        explain_too_few_fields(view, first_line_crlf);
      }
      throw;
    }
    output.lines_end_at(to);
  }
  return carried_code;
}

// A line too long for the reader's buffer, converted as it is read. Not
// inlined, nor called from the loop over runs, so that the per-line loop
// keeps its registers (cachegrind on narrow lines).
[[gnu::noinline]] Code convert_long_line(LineReader& input, LineWriter& output, Code carried_code,
                                         std::uint64_t& lines_converted, OpenField& open_field) {
  LongRecord record(carried_code);
  const auto emit = [&](std::string_view bytes) { output.write_piece(bytes); };
  output.begin_long_line();
  const bool followed = open_field.open;
  for (LinePiece piece{}; !piece.line_ends;) {
    piece = input.long_line_piece();
    const std::size_t taken = record.convert(piece.bytes, piece.line_ends, emit);
    // The carriage return before the line is not fed: inside the open field
    // it changes nothing.
    if (open_field.open) open_field.view.feed(piece.bytes.substr(0, taken));
    input.take(taken, piece.line_ends);
  }
  if (followed) follow(open_field, {}, false, output, lines_converted);
  carried_code = record.finish(emit, input.first_line_crlf());
  if (record.opens_field(open_field, lines_converted + 1)) output.hold_from_long_line();
  output.end_long_line();
  return carried_code;
}

// The new output, and how far it got.
struct Output {
  std::unique_ptr<host::OutputFile> file;
  std::optional<LineWriter> lines;
  // Once its flush failed, what the device holds is unknown: the file is
  // never put in place, and the old data2.dat stays.
  bool flush_failed = false;
  bool placing_tried = false;
};

// Hands every line to the new file and makes it durable.
void make_durable(Output& output) {
  output.lines->keep_written_lines();
  try {
    output.file->flush();
  } catch (const Failure& failure) {
    output.flush_failed = true;
    // The system took every line, but the device did not confirm them all.
    throw Failure(std::string(failure.what()) + "; what was written may be incomplete");
  }
}

// Puts the new file in data2.dat's place, once, whatever comes of it.
void put_in_place(Output& output) {
  output.placing_tried = true;
  output.file->put_in_place();
}

// Opens data.dat, then the new output beside data2.dat: opened only once
// the input is open, so that a missing input leaves an old output as it
// was; nothing at data2.dat changes before the new file is put in its place.
// Not inlined, nor is the end of the run: inlined, their code cost the
// per-line loop instructions on every line.
[[gnu::noinline]] void open_files(host::Host& host, std::vector<std::string>& paths,
                                  std::unique_ptr<host::InputFile>& input_file,
                                  host::FileState& input_at_open, Output& output,
                                  std::size_t line_buffer_size) {
  paths = {path_beside_program(host, kInputFileName), path_beside_program(host, kOutputFileName)};
  input_file = host.open_input(paths[0]);
  input_at_open = input_file->state();
  output.file = host.open_output(paths[1], input_at_open.size);
  output.lines.emplace(*output.file, output_room(line_buffer_size));
}

// Completion is announced only for output that is on the storage device in
// data2.dat's place, converted from an input that did not change meanwhile;
// the output file itself is closed once the user has seen the notice.
[[gnu::noinline]] void finish(const LineReader& input, host::InputFile& input_file,
                              const host::FileState& input_at_open, const std::string& input_path,
                              Output& output) {
  make_durable(output);
  ensure_unchanged(input_file, input_at_open, input.bytes_read(), input_path);
  put_in_place(output);
  input_file.close();
}

// Where the cause line goes, unless standard error is a data file.
void report(host::Host& host, const host::InputFile* input, const std::vector<std::string>& paths,
            const std::string& cause) {
  if (cause_line_may_be_written(host, input, paths)) host.report_cause(one_line(cause));
}

// Whether the input's size or modification time is no longer what it was
// when it was opened.
bool input_changed(const host::InputFile* input, const host::FileState& at_open) {
  try {
    return input != nullptr && input->state() != at_open;
  } catch (const std::exception&) {
    return false;  // the record's own cause is named then
  }
}

// The single failure path: keeps the lines converted so far, putting them in
// data2.dat's place, names the cause on the diagnostic channel, with what
// became of those lines when they could not all be kept, and shows the
// failure notice, whatever the cause.
Outcome fail(host::Host& host, Output& output, const host::InputFile* input,
             const std::vector<std::string>& paths, std::string cause) {
  try {
    if (output.lines && !output.flush_failed && !output.placing_tried) {
      make_durable(output);
      put_in_place(output);
    }
  } catch (const std::exception& unwritten) {
    cause += "; the lines before it could not all be written: ";
    cause += unwritten.what();
  }
  // A new file that was not put in place is removed before the notice.
  output.lines.reset();
  output.file.reset();
  report(host, input, paths, cause);
  host.show_notice(kFailureNotice);
  return Outcome::failed;
}

}  // namespace

Outcome run_conversion(host::Host& host, std::size_t line_buffer_size) {
  // Declared before the handler is armed so that the handler can keep the
  // lines already converted, and tell the data files from standard error.
  std::unique_ptr<host::InputFile> input_file;
  Output output;
  std::vector<std::string> paths;
  std::uint64_t lines_converted = 0;
  host::FileState input_at_open;
  try {
    open_files(host, paths, input_file, input_at_open, output, line_buffer_size);

    LineReader input(*input_file, line_buffer_size);
    Code carried_code;
    if (input.reading() == Reading::csv) {
      convert_csv(input, *output.lines, carried_code, lines_converted);
    } else {
      OpenField open_field;
      for (;;) {
        carried_code =
            convert_runs(input, *output.lines, carried_code, lines_converted, open_field);
        if (!input.at_long_line()) break;
        carried_code =
            convert_long_line(input, *output.lines, carried_code, lines_converted, open_field);
        ++lines_converted;
      }
      // A field still open at the end of the file is one CSV cannot read.
      output.lines->release_hold();
    }

    finish(input, *input_file, input_at_open, paths[0], output);
    input_file.reset();
  } catch (const Failure& failure) {
    // The line that failed, being read or converted, is the one after those
    // converted; in a file that another program changed meanwhile, the change
    // is the cause (a save cut short leaves a line that fails).
    return fail(host, output, input_file.get(), paths,
                failure.is_record_failure() && input_changed(input_file.get(), input_at_open)
                    ? paths[0] + " changed while it was read"
                    : describe(failure, lines_converted + 1));
  } catch (const std::bad_alloc&) {
    return fail(host, output, input_file.get(), paths, "out of memory");
  } catch (const std::exception& unexpected) {
    return fail(host, output, input_file.get(), paths,
                std::string("unexpected failure: ") + unexpected.what());
  } catch (...) {
    return fail(host, output, input_file.get(), paths, "unexpected failure");
  }
  host.show_notice(kCompletionNotice);
  // data2.dat is whole and durable already: an error in closing it is said
  // on standard error alone, not with a second notice after the first.
  try {
    output.file->close();
  } catch (const std::exception& closing) {
    report(host, nullptr, paths, closing.what());
    return Outcome::failed;
  }
  return Outcome::completed;
}

}  // namespace Module1

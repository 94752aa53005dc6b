#include "run_conversion.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "code_table.h"
#include "failure.h"
#include "host/line_reader.h"
#include "host/line_writer.h"
#include "record_line.h"

namespace Module1 {
namespace {

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

// The single failure path: names the cause on the diagnostic channel, keeps
// the lines converted so far and shows the failure notice, whatever the cause.
Outcome fail(host::Host& host, std::optional<host::LineWriter>& output, std::string_view cause) {
  host.report_cause(cause);
  if (output) output->keep_written_lines();
  host.show_notice(kFailureNotice);
  return Outcome::failed;
}

}  // namespace

Outcome run_conversion(host::Host& host) {
  // Declared before the handler is armed so that the handler can keep the
  // lines already converted.
  std::unique_ptr<host::OutputFile> output_file;
  std::optional<host::LineWriter> output;
  std::uint64_t line_number = 0;
  try {
    const std::unique_ptr<host::InputFile> input_file =
        host.open_input(path_beside_program(host, kInputFileName));
    // Opened only once the input is open: a missing input leaves an old
    // output as it was.
    output_file = host.open_output(path_beside_program(host, kOutputFileName), *input_file);
    output.emplace(*output_file);

    host::LineReader input(*input_file);
    std::string_view carried_code;
    FieldList fields;
    while (!input.at_end()) {
      ++line_number;
      split_record(input.read_line(), fields);
      carried_code = recode(code_field(fields), carried_code);
      output->write_line(join_record(fields, carried_code));
    }
    input_file->close();

    // Completion is announced only for output that has safely reached the
    // system; the file itself is closed once the user has seen the notice.
    output->flush();
    host.show_notice(kCompletionNotice);
    output_file->close();
    return Outcome::completed;
  } catch (const Failure& failure) {
    return fail(host, output, describe(failure, line_number));
  } catch (const std::bad_alloc&) {
    return fail(host, output, "out of memory");
  }
}

}  // namespace Module1

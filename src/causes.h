#pragma once

#include <string>
#include <vector>

#include "failure.h"
#include "file_identity.h"
#include "host.h"

// The one place that words what the platforms find of the data files: they
// report the fact, the path and the system's own message, and this says it.
namespace Module1 {

inline constexpr const char* kInputInUse = "in use by another program";
inline constexpr const char* kOutputInUse = "in use by another program or another run";
inline constexpr const char* kOutputReadOnly = "read-only file; not overwritten";
inline constexpr const char* kOutputIsInput = "is the input file itself; not overwritten";
inline constexpr const char* kOutputMayBeInput =
    "may be the input file itself, and the system cannot tell whether it is; not overwritten";
inline constexpr const char* kNotRegular = "not a regular file";
// Where the folder lets data2.dat be written but no file be made beside it.
inline constexpr const char* kNoNewFileBeside =
    "; no new file could be made beside it to replace it, so it was left as it was";

// What a platform found of a data file.
enum class Problem {
  system,        // the system's message says it all
  missing,       // no file of that name (the system's message), perhaps look-alikes beside it
  input_held,    // data.dat held by a program that shares no reading
  output_held,   // data2.dat, or its new file, held by another program or run
  read_only,     // data2.dat marked read-only
  not_regular,   // a folder, device or pipe
  is_input,      // data2.dat is data.dat under another name, as IDs prove
  may_be_input,  // data2.dat may be data.dat under another name
  no_new_file,   // no file could be made beside data2.dat (the system's message)
};

// The failure that says `problem` of the file at `path`.
Failure file_failure(Problem problem, const std::string& path,
                     const std::string& system_message = {},
                     std::vector<std::string> look_alikes = {});

// Whether the output that the system refused to replace was refused for
// being, or perhaps being, `input`, which the run holds open, as far as the
// two files tell: is_input, may_be_input, or output_held where it is
// another file, held by another program.
inline Problem refusal_as_input(const host::FileIdentity& output, const host::FileIdentity& input) {
  if (!may_be_same_file(output, input)) return Problem::output_held;
  return output.described && input.described && ids_prove_same(output, input)
             ? Problem::is_input
             : Problem::may_be_input;
}

}  // namespace Module1

#pragma once

#include "file_identity.h"
#include "host/host.h"

// The words of the causes that the platforms share, after the file's path.
namespace Module1 {

inline constexpr const char* kInputInUse = "in use by another program";
inline constexpr const char* kOutputInUse = "in use by another program or another run";
inline constexpr const char* kOutputReadOnly = "read-only file; not overwritten";
inline constexpr const char* kOutputIsInput = "is the input file itself; not overwritten";
inline constexpr const char* kOutputMayBeInput =
    "may be the input file itself, and the system cannot tell whether it is; not overwritten";
// Where the folder lets data2.dat be written but no file be made beside it.
inline constexpr const char* kNoNewFileBeside =
    "; no new file could be made beside it to replace it, so it was left as it was";

// Why an output that the system refused to replace was refused, as far as
// the two files tell: being, or perhaps being, `input`, which the run holds
// open; null where it is another file, held by another program.
inline const char* refusal_as_input(const host::FileIdentity& output,
                                    const host::FileIdentity& input) {
  if (!may_be_same_file(output, input)) return nullptr;
  return output.described && input.described && ids_prove_same(output, input) ? kOutputIsInput
                                                                              : kOutputMayBeInput;
}

}  // namespace Module1

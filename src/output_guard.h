#pragma once

#include <memory>
#include <string>

#include "host/host.h"

namespace Module1 {

// Why an output is not emptied, after its path.
inline constexpr const char* kOutputIsInput = "is the input file itself; not overwritten";
inline constexpr const char* kOutputMayBeInput =
    "may be the input file itself, and the system cannot tell whether it is; not overwritten";

// Why `output` is not emptied, being or perhaps being `input`; null where it
// is another file. It is said to be `input` only where IDs prove it.
const char* refusal_as_input(const host::FileIdentity& output, const host::FileIdentity& input);

// Opens the output at `output_path` and empties it, unless it is or may be
// `input` (opened from `input_path`) or is read-only: then it fails with
// nothing emptied.
std::unique_ptr<host::OutputFile> open_emptied_output(host::Host& host,
                                                      const std::string& output_path,
                                                      const host::InputFile& input,
                                                      const std::string& input_path);

}  // namespace Module1

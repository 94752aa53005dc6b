#include "output_guard.h"

#include "failure.h"
#include "file_identity.h"

namespace Module1 {

const char* refusal_as_input(const host::FileIdentity& output, const host::FileIdentity& input) {
  if (!may_be_same_file(output, input)) return nullptr;
  return output.described && input.described && ids_prove_same(output, input) ? kOutputIsInput
                                                                              : kOutputMayBeInput;
}

// Not inlined: in the run, its code pushed the per-line loop's values out
// of their registers.
[[gnu::noinline]] std::unique_ptr<host::OutputFile> open_emptied_output(
    host::Host& host, const std::string& output_path, const host::InputFile& input,
    const std::string& input_path) {
  std::unique_ptr<host::OutputFile> output = host.open_output(output_path);
  // The output is compared with the input as it was at one moment: described
  // before and after the output, the input must not have changed meanwhile.
  // Another program still writing it would otherwise make one file look like
  // two.
  const host::FileIdentity input_before = input.identity();
  const host::FileIdentity candidate = output->identity();
  if (input.identity() != input_before) throw Failure(input_path + " changed while it was read");
  if (const char* refusal = refusal_as_input(candidate, input_before)) {
    throw Failure(output_path + ": " + refusal);
  }
  if (output->read_only()) throw Failure(output_path + ": " + host::kOutputReadOnly);
  output->empty(input_before.state.size);
  return output;
}

}  // namespace Module1

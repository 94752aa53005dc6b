#include "causes.h"

#include <utility>

#include "look_alikes.h"

namespace Module1 {

Failure file_failure(Problem problem, const std::string& path, const std::string& system_message,
                     std::vector<std::string> look_alikes) {
  const std::string file = path + ": ";
  switch (problem) {
    case Problem::system:
      return Failure(file + system_message);
    case Problem::missing:
      return Failure(with_look_alikes(file + system_message, std::move(look_alikes)));
    case Problem::input_held:
      return Failure(file + kInputInUse);
    case Problem::output_held:
      return Failure(file + kOutputInUse);
    case Problem::read_only:
      return Failure(file + kOutputReadOnly);
    case Problem::not_regular:
      return Failure(file + kNotRegular);
    case Problem::is_input:
      return Failure(file + kOutputIsInput);
    case Problem::may_be_input:
      return Failure(file + kOutputMayBeInput);
    case Problem::no_new_file:
      return Failure(file + system_message + kNoNewFileBeside);
  }
  return Failure(file + system_message);
}

}  // namespace Module1

#include "cause_guard.h"

#include <algorithm>
#include <optional>

#include "file_identity.h"

namespace Module1 {

bool cause_line_may_be_written(host::Host& host, const host::InputFile* input,
                               const std::vector<std::string>& paths) {
  try {
    const std::optional<host::FileIdentity> channel = host.diagnostic_file();
    if (!channel) return true;
    std::vector<host::FileIdentity> data_files;
    if (input != nullptr) data_files.push_back(input->identity());
    for (const std::string& path : paths) {
      if (std::optional<host::FileIdentity> file = host.identity_of(path)) {
        data_files.push_back(*file);
      }
    }
    return std::none_of(data_files.begin(), data_files.end(), [&](const host::FileIdentity& file) {
      return may_be_same_file(*channel, file);
    });
  } catch (...) {
    return false;  // a line lost is better than a data file changed
  }
}

}  // namespace Module1

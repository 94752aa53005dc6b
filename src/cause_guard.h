#pragma once

#include <string>
#include <vector>

#include "host.h"

namespace Module1 {

// Whether the cause line may go to standard error: not where standard error
// is, or may be, one of the data files (`./renumber 2>>data.dat`, a launcher's
// stale handle), which the line would be appended to. `input` is data.dat as
// the run opened it, or null; `paths` are the data files by name. Where the
// system cannot tell, the line is kept out.
bool cause_line_may_be_written(host::Host& host, const host::InputFile* input,
                               const std::vector<std::string>& paths);

}  // namespace Module1

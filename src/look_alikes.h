#pragma once

#include <string>
#include <vector>

namespace Module1 {

// The cause of a missing data file, followed by the files whose names begin
// with its name and a dot, `look_alikes`: Explorer hides the extensions it
// knows, so a data.dat.txt is shown as data.dat.
std::string with_look_alikes(std::string cause, std::vector<std::string> look_alikes);

}  // namespace Module1

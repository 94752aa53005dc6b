#include "look_alikes.h"

#include <algorithm>
#include <cstddef>

namespace Module1 {

// At most five are named, in order, so that the cause stays a line that can
// be read.
std::string with_look_alikes(std::string cause, std::vector<std::string> look_alikes) {
  if (look_alikes.empty()) return cause;
  constexpr std::size_t kNamed = 5;
  std::sort(look_alikes.begin(), look_alikes.end());
  if (look_alikes.size() > kNamed) look_alikes.resize(kNamed);
  cause += look_alikes.size() == 1 ? "; there is " : "; there are ";
  for (std::size_t i = 0; i < look_alikes.size(); ++i) {
    if (i > 0) cause += ", ";
    cause += look_alikes[i];
  }
  return cause + " (file name extensions may be hidden)";
}

}  // namespace Module1

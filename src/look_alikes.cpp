#include "look_alikes.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <tuple>

namespace Module1 {
namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The extensions that a file saved by mistake most likely has, first: a text
// editor's and a spreadsheet's, in any case, as Windows compares names.
int likelihood_rank(std::string_view name) {
  const std::string_view extension = name.substr(name.rfind('.') + 1);
  if (equal_ignoring_case(extension, "txt")) return 0;
  if (equal_ignoring_case(extension, "csv")) return 1;
  return 2;
}

}  // namespace

std::string with_look_alikes(std::string cause, std::vector<std::string> look_alikes) {
  if (look_alikes.empty()) return cause;
  // At most five are named, so that the cause stays a line that can be read.
  constexpr std::size_t kNamed = 5;
  std::sort(look_alikes.begin(), look_alikes.end(), [](const std::string& a, const std::string& b) {
    return std::forward_as_tuple(likelihood_rank(a), a) <
           std::forward_as_tuple(likelihood_rank(b), b);
  });
  cause += look_alikes.size() == 1 ? "; there is " : "; there are ";
  const std::size_t named = std::min(look_alikes.size(), kNamed);
  for (std::size_t i = 0; i < named; ++i) {
    if (i > 0) cause += ", ";
    cause += look_alikes[i];
  }
  if (look_alikes.size() > named)
    cause += " and " + std::to_string(look_alikes.size() - named) + " more";
  return cause + " (file name extensions may be hidden)";
}

}  // namespace Module1

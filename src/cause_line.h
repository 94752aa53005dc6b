#pragma once

#include <string>
#include <string_view>

namespace Module1 {

// The cause of a failure as one printable line: control bytes (below 0x20,
// and 0x7F), C1 control characters and bytes that are not part of valid
// UTF-8 are shown escaped, byte by byte, as \n, \t, \r or \xHH, so that a
// folder name cannot break the line or send a terminal escape sequence.
// Valid UTF-8 text, Japanese names included, stays as it is.
std::string one_line(std::string_view cause);

}  // namespace Module1

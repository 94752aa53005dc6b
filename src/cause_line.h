#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Module1 {

// The cause of a failure as one printable line: control bytes (below 0x20,
// and 0x7F), C1 control characters and bytes that are not part of valid
// UTF-8 are shown escaped, byte by byte, as \n, \t, \r or \xHH, so that a
// folder name cannot break the line or send a terminal escape sequence.
// Valid UTF-8 text, Japanese names included, stays as it is.
std::string one_line(std::string_view cause);

// What the bytes of a record that has too few fields tell of the file it came
// from: the commonest wrong files are a CSV saved from Excel (no quotes), a
// file separated by tabs or semicolons, and one saved as UTF-16. Fed the
// line's field bytes, in pieces where the line is long; only a failing line
// is ever looked at.
class FormatClues {
 public:
  void add(std::string_view bytes);
  // The hint that follows the cause, beginning "; ", or empty when the bytes
  // look like none of those files. `separator_commas` of the commas counted
  // were those of separators (all of them, in a file read as CSV).
  [[nodiscard]] std::string hint(std::size_t separator_commas = 0) const;

 private:
  void follow_blanks(unsigned char byte);

  bool started_ = false;
  bool byte_order_mark_ = false;
  std::size_t nuls_ = 0, tabs_ = 0, semicolons_ = 0, commas_ = 0;
  // Whether every byte so far is a space, a tab or part of a full-width
  // space (81 40 in code page 932, E3 80 80 in UTF-8), and how many bytes of
  // such a space are still awaited, by the byte that started it.
  bool blank_ = true;
  unsigned char wide_space_lead_ = 0;
  int wide_space_left_ = 0;
};

}  // namespace Module1

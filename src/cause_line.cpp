#include "cause_line.h"

#include <cstddef>

namespace Module1 {
namespace {

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it
// does not start with a printable one. Overlong forms, surrogates and code
// points beyond U+10FFFF are not valid; C1 control characters (U+0080 to
// U+009F) are valid but not printable.
std::size_t utf8_sequence_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  if (lead == 0xC2 && byte(1) < 0xA0) return 0;  // C1 controls: escaped like the others
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

void append_escaped(std::string& line, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (byte) {
    case '\n':
      line += "\\n";
      break;
    case '\r':
      line += "\\r";
      break;
    case '\t':
      line += "\\t";
      break;
    default:
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0x0F];
  }
}

}  // namespace

std::string one_line(std::string_view cause) {
  std::string line;
  line.reserve(cause.size());
  for (std::size_t at = 0; at < cause.size();) {
    const auto byte = static_cast<unsigned char>(cause[at]);
    if (byte >= 0x20 && byte < 0x7F) {
      line += cause[at++];
    } else if (const std::size_t length = utf8_sequence_length(cause.substr(at)); length > 0) {
      line.append(cause.substr(at, length));
      at += length;
    } else {
      append_escaped(line, byte);
      ++at;
    }
  }
  return line;
}

}  // namespace Module1

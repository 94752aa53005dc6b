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

void FormatClues::follow_blanks(unsigned char byte) {
  if (wide_space_left_ > 0) {
    const unsigned char expected = wide_space_lead_ == 0x81 ? 0x40 : 0x80;
    blank_ = byte == expected;
    --wide_space_left_;
  } else if (byte == 0x81 || byte == 0xE3) {
    wide_space_lead_ = byte;
    wide_space_left_ = byte == 0x81 ? 1 : 2;
  } else {
    blank_ = byte == ' ' || byte == '\t';
  }
}

void FormatClues::add(std::string_view bytes) {
  if (!started_ && bytes.size() >= 2) {
    const auto first = static_cast<unsigned char>(bytes[0]);
    const auto second = static_cast<unsigned char>(bytes[1]);
    byte_order_mark_ = (first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF);
  }
  started_ = started_ || !bytes.empty();
  for (const char byte : bytes) {
    switch (byte) {
      case '\0':
        ++nuls_;
        break;
      case '\t':
        ++tabs_;
        break;
      case ';':
        ++semicolons_;
        break;
      case ',':
        ++commas_;
        break;
      default:
        break;
    }
    if (blank_) follow_blanks(static_cast<unsigned char>(byte));
  }
}

std::string FormatClues::hint(std::size_t separator_commas) const {
  if (byte_order_mark_ || nuls_ > 0) {
    return "; the file looks like UTF-16 (\"Unicode text\"): save it as ANSI (Shift_JIS) or UTF-8";
  }
  if (started_ && blank_ && wide_space_left_ == 0) return "; the line holds nothing but spaces";
  const std::size_t commas = commas_ > separator_commas ? commas_ - separator_commas : 0;
  if (tabs_ > 0 && tabs_ >= semicolons_ && tabs_ >= commas) {
    return "; its fields are separated by tabs, not by \",\"";
  }
  if (semicolons_ > 0 && semicolons_ >= commas) {
    return "; its fields are separated by semicolons, not by \",\"";
  }
  if (commas > 0)
    return "; its fields are not each wrapped in double quotes, as in a CSV saved from Excel";
  return {};
}

}  // namespace Module1

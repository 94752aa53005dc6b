#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// Text for a file or pipe in the system's ANSI code page, as Windows programs
// write it. Kept apart from the Windows calls so that the choices can be
// tested on any system.
namespace host::code_page {

// WideCharToMultiByte's flags, as the Windows SDK defines them.
inline constexpr unsigned long kNoBestFitChars = 0x400;    // WC_NO_BEST_FIT_CHARS
inline constexpr unsigned long kErrorInvalidChars = 0x80;  // WC_ERR_INVALID_CHARS
inline constexpr unsigned kUtf7 = 65000;
inline constexpr unsigned kUtf8 = 65001;
inline constexpr unsigned kGb18030 = 54936;  // encodes every character, as UTF-8 does

// How a conversion into `code_page` is asked for: the flags, and whether the
// call may be asked if it used the default character. The UTF code pages
// refuse both (ERROR_INVALID_PARAMETER), and the stateful ones any flag; UTF-8
// and GB18030 take no flag but WC_ERR_INVALID_CHARS, and fail on what they
// cannot encode.
struct Request {
  unsigned long flags;
  bool reports_lost;

  friend bool operator==(const Request&, const Request&) = default;
};

constexpr Request request_for(unsigned code_page) {
  const bool stateful = code_page == 42 || code_page == kUtf7 ||
                        (code_page >= 50220 && code_page <= 50229) ||
                        (code_page >= 57002 && code_page <= 57011);
  if (stateful) return {0, false};
  if (code_page == kUtf8 || code_page == kGb18030) return {kErrorInvalidChars, false};
  return {kNoBestFitChars, true};
}

// `wide` in the code page, through `convert`, which gives the converted text
// or nothing where the conversion failed or lost a character. Where the whole
// does not convert, each character is tried alone, and one that does not is
// written as \u and its code point: a look-alike, a "?" or no text at all
// would hide the cause.
template <typename Char, typename Convert>
std::string converted_or_escaped(std::basic_string_view<Char> wide, Convert convert) {
  if (std::optional<std::string> whole = convert(wide)) return *whole;
  std::string text;
  for (std::size_t at = 0; at < wide.size();) {
    const auto unit = static_cast<char32_t>(wide[at]);
    const bool pair = sizeof(Char) == 2 && unit >= 0xD800 && unit < 0xDC00 &&
                      at + 1 < wide.size() && wide[at + 1] >= 0xDC00 && wide[at + 1] < 0xE000;
    const std::size_t units = pair ? 2 : 1;
    if (std::optional<std::string> one = convert(wide.substr(at, units))) {
      text += *one;
    } else {
      const char32_t code_point =
          pair ? 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(wide[at + 1]) - 0xDC00)
               : unit;
      char escaped[16];
      std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(code_point));
      text += escaped;
    }
    at += units;
  }
  return text;
}

}  // namespace host::code_page

#include "cause_line.h"
#include "code_page.h"
#include "look_alikes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

TEST(CauseLine, ControlBytesAndInvalidUtf8AreEscapedReadableTextIsNot) {
  // Text kept as it is, whatever its script; the edges of each range of
  // valid lead and continuation bytes among it.
  const std::vector<std::string> readable = {
      "/home/u/data.dat: No such file",
      "/home/u/\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf/data.dat",  // Japanese folder name
      "\xf0\x9f\x93\x81",                                       // four-byte character
      "a\u00a0b",                                               // no-break space
      "\xdf\xbf",                                               // highest two-byte character
      "\xef\xbf\xbf",                                           // highest three-byte character
      "\xf0\x90\x80\x80",                                       // lowest four-byte character
      "\xf4\x8f\xbf\xbf",                                       // highest character
  };
  // Each byte escaped that ends a line, moves a terminal or is not UTF-8.
  const std::vector<std::pair<std::string, std::string>> escaped = {
      {"/tmp/a\nb/data.dat", R"(/tmp/a\nb/data.dat)"},
      {"a\rb\tc", R"(a\rb\tc)"},
      {"/x\x1b[31mred/data.dat", R"(/x\x1b[31mred/data.dat)"},  // terminal escape sequence
      {std::string("a\0b\x1f\x7f", 5), R"(a\x00b\x1f\x7f)"},    // NUL, unit separator, DEL
      {"a\u009b31m", R"(a\xc2\x9b31m)"},                        // C1 control (CSI)
      {"\x83\x5c\x95\x5c", R"(\x83\\x95\)"},                    // CP932
      {"\xc0\xaf", R"(\xc0\xaf)"},                              // overlong slash
      {"\xe0\x80\xaf", R"(\xe0\x80\xaf)"},                      // overlong three-byte form
      {"\xf0\x8f\xbf\xbf", R"(\xf0\x8f\xbf\xbf)"},              // overlong four-byte form
      {"\xed\xa0\x80", R"(\xed\xa0\x80)"},                      // surrogate
      {"\xf4\x90\x80\x80", R"(\xf4\x90\x80\x80)"},              // beyond U+10FFFF
      {"\xf5\x80\x80\x80", R"(\xf5\x80\x80\x80)"},              // lead byte beyond F4
      {"\xc3\xc0", R"(\xc3\xc0)"},                              // second byte beyond BF
      {"\xe3\x81\xc0", R"(\xe3\x81\xc0)"},                      // third byte beyond BF
      {"ab\xe3\x81", R"(ab\xe3\x81)"},                          // cut short at the end
      {"\xe3\x81x", R"(\xe3\x81x)"},                            // cut short by ASCII
      {"\x80", R"(\x80)"},                                      // lone continuation byte
  };
  for (const std::string& cause : readable) EXPECT_EQ(Module1::one_line(cause), cause);
  for (const auto& [cause, line] : escaped) EXPECT_EQ(Module1::one_line(cause), line);
}

TEST(CodePage, FlagsEachCodePageAcceptsAndEscapesWhatDoesNotConvert) {
  namespace cp = host::code_page;
  EXPECT_EQ(cp::request_for(932), (cp::Request{cp::kNoBestFitChars, true}));
  EXPECT_EQ(cp::request_for(1252), (cp::Request{cp::kNoBestFitChars, true}));
  EXPECT_EQ(cp::request_for(cp::kUtf8), (cp::Request{cp::kErrorInvalidChars, false}));
  EXPECT_EQ(cp::request_for(54936), (cp::Request{cp::kErrorInvalidChars, false}));
  for (const unsigned stateful : {42U, 50220U, 50229U, 57002U, 57011U, cp::kUtf7}) {
    EXPECT_EQ(cp::request_for(stateful), (cp::Request{0, false})) << stateful;
  }

  // A converter that knows ASCII alone, as a failing code page would.
  const auto ascii_only = [](std::u16string_view text) -> std::optional<std::string> {
    std::string out;
    for (const char16_t unit : text) {
      if (unit > 0x7F) return std::nullopt;
      out += static_cast<char>(unit);
    }
    return out;
  };
  EXPECT_EQ(cp::converted_or_escaped(std::u16string_view(u"a\u4E88/\U0001F4C1"), ascii_only),
            R"(a\u4E88/\u1F4C1)");
  EXPECT_EQ(cp::converted_or_escaped(std::u16string_view(u"\xD800z"), ascii_only), R"(\uD800z)");
}

TEST(LookAlikes, TheLikeliestFirstAtMostFiveAndHowManyMore) {
  const std::string missing = "/d/data.dat: No such file or directory";
  const std::string hidden = " (file name extensions may be hidden)";
  struct Case {
    std::vector<std::string> names;
    std::string said;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{"data.dat.txt"}, "; there is data.dat.txt" + hidden},
      {{"data.dat.e", "data.dat.d", "data.dat.c", "data.dat.b", "data.dat.a"},
       "; there are data.dat.a, data.dat.b, data.dat.c, data.dat.d, data.dat.e" + hidden},
      {{"data.dat.e", "data.dat.d", "data.dat.c", "data.dat.b", "data.dat.a", "data.dat.csv",
        "data.dat.txt"},
       "; there are data.dat.txt, data.dat.csv, data.dat.a, data.dat.b, data.dat.c and 2 more" +
           hidden},
      {{"DATA.DAT.A", "DATA.DAT.CSV", "data.dat.old.txt", "DATA.DAT.TXT", "data.dat.Csv"},
       "; there are DATA.DAT.TXT, data.dat.old.txt, DATA.DAT.CSV, data.dat.Csv, DATA.DAT.A" +
           hidden},
      {{"data.dat.b", "data.dat.a", "data.dat.c", "data.dat.d", "data.dat.e", "data.dat.f"},
       "; there are data.dat.a, data.dat.b, data.dat.c, data.dat.d, data.dat.e and 1 more" +
           hidden},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Module1::with_look_alikes(missing, c.names), missing + c.said);
  }
}

}  // namespace

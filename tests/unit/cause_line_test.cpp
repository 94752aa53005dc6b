#include "cause_line.h"
#include "code_page.h"
#include "look_alikes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

TEST(CauseLine, ControlBytesAndInvalidUtf8AreEscapedReadableTextIsNot) {
  struct Case {
    const char* name;
    std::string cause;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"plain text", "/home/u/data.dat: No such file", "/home/u/data.dat: No such file"},
      {"newline in a folder name", "/tmp/a\nb/data.dat", R"(/tmp/a\nb/data.dat)"},
      {"CR and tab", "a\rb\tc", R"(a\rb\tc)"},
      {"terminal escape sequence", "/x\x1b[31mred/data.dat", R"(/x\x1b[31mred/data.dat)"},
      {"NUL, unit separator and DEL", std::string("a\0b\x1f\x7f", 5), R"(a\x00b\x1f\x7f)"},
      {"Japanese folder name", "/home/u/\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf/data.dat",
       "/home/u/\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf/data.dat"},
      {"four-byte character", "\xf0\x9f\x93\x81", "\xf0\x9f\x93\x81"},
      {"no-break space (C2 A0) is printable",
       "a\xc2\xa0"
       "b",
       "a\xc2\xa0"
       "b"},
      {"C1 control (CSI) is escaped",
       "a\xc2\x9b"
       "31m",
       R"(a\xc2\x9b31m)"},
      {"CP932 bytes are not UTF-8", "\x83\x5c\x95\x5c", R"(\x83\\x95\)"},
      {"overlong slash", "\xc0\xaf", R"(\xc0\xaf)"},
      {"overlong three-byte form", "\xe0\x80\xaf", R"(\xe0\x80\xaf)"},
      {"surrogate", "\xed\xa0\x80", R"(\xed\xa0\x80)"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", R"(\xf4\x90\x80\x80)"},
      {"sequence cut short at the end", "ab\xe3\x81", R"(ab\xe3\x81)"},
      {"sequence cut short by ASCII", "\xe3\x81x", R"(\xe3\x81x)"},
      {"lone continuation byte", "\x80", R"(\x80)"},
      // The edges of each range of valid lead and continuation bytes.
      {"highest two-byte character", "\xdf\xbf", "\xdf\xbf"},
      {"highest three-byte character", "\xef\xbf\xbf", "\xef\xbf\xbf"},
      {"lowest four-byte character", "\xf0\x90\x80\x80", "\xf0\x90\x80\x80"},
      {"highest character", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"overlong four-byte form", "\xf0\x8f\xbf\xbf", R"(\xf0\x8f\xbf\xbf)"},
      {"lead byte beyond F4", "\xf5\x80\x80\x80", R"(\xf5\x80\x80\x80)"},
      {"second byte beyond BF", "\xc3\xc0", R"(\xc3\xc0)"},
      {"third byte beyond BF", "\xe3\x81\xc0", R"(\xe3\x81\xc0)"},
  };
  for (const Case& c : cases) {
    const std::string line = Module1::one_line(c.cause);
    EXPECT_EQ(line, c.line) << c.name;
    EXPECT_EQ(line.find_first_of(std::string("\n\r\0", 3)), std::string::npos) << c.name;
  }
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

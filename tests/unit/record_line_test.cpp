#include "record_line.h"
#include "long_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "csv_view.h"
#include "cut_case.h"
#include "failure.h"

namespace {

using Module1::FieldList;

// What a split says of a line: how many separators it has, up to four,
// whether it holds too many fields, and where its third and fourth separators
// are, as far as it has them.
struct Split {
  std::size_t separators = 0;
  bool over_field_limit = false;
  std::size_t third = 0;
  std::size_t fourth = 0;
  friend bool operator==(const Split&, const Split&) = default;
};

std::ostream& operator<<(std::ostream& out, const Split& split) {
  return out << split.separators << " separators" << (split.over_field_limit ? ", too many" : "")
             << ", third at " << split.third << ", fourth at " << split.fourth;
}

// A line held as the line reader's buffer holds it, padded, and allocated at
// its exact size so that AddressSanitizer sees a read past the padding.
struct PaddedLine {
  explicit PaddedLine(std::string_view line)
      : bytes(new char[line.size() + Module1::kWholeCopy]()), size(line.size()) {
    line.copy(bytes.get(), size);
  }
  [[nodiscard]] FieldList split() const { return Module1::split_record({bytes.get(), size}); }

  std::unique_ptr<char[]> bytes;
  std::size_t size;
};

Split split(std::string_view line) {
  const FieldList fields = PaddedLine(line).split();
  Split split{fields.separator_count, fields.over_field_limit};
  if (split.separators >= 3) split.third = fields.third_separator;
  if (split.separators >= 4) split.fourth = fields.fourth_separator;
  return split;
}

// What the split must say of a line whose every field is known.
Split expected_split(const std::vector<std::string>& all_fields) {
  Split split{all_fields.empty() ? 0 : std::min<std::size_t>(all_fields.size() - 1, 4),
              all_fields.size() > Module1::kMaxFields};
  std::size_t at = 0;
  for (std::size_t k = 0; k < split.separators; ++k) {
    at += all_fields[k].size();
    if (k == 2) split.third = at;
    if (k == 3) split.fourth = at;
    at += Module1::kFieldSeparator.size();
  }
  return split;
}

// The line through the long-line path, handed over in pieces of `piece`
// bytes: the output line, or the cause it fails with.
std::string converted_long(std::string_view line, std::string_view carried_code,
                           std::size_t piece) {
  Module1::LongRecord record{Module1::Code(carried_code)};
  std::string output;
  const auto emit = [&](std::string_view bytes) { output += bytes; };
  try {
    std::string untaken;
    for (std::size_t at = 0; at < line.size() || at == 0; at += piece) {
      untaken += line.substr(at, piece);
      untaken.erase(0, record.convert(untaken, at + piece >= line.size(), emit));
    }
    record.finish(emit, true);
    return output;
  } catch (const Module1::Failure& failure) {
    return std::string("fails: ") + failure.what();
  }
}

// The output line, joined into room of the size the run asks for,
// allocated at its exact size as the padded line is.
std::string joined_with(const FieldList& fields, Module1::Code code) {
  const std::size_t room = Module1::output_room(fields.line.size() + 1);
  const std::unique_ptr<char[]> output(new char[room]);
  const char* const end = Module1::join_record(fields, code, output.get());
  EXPECT_LE(end + Module1::kWholeCopy, output.get() + room) << fields.line;
  std::string joined(output.get(), static_cast<std::size_t>(end - output.get()));
  EXPECT_TRUE(joined.ends_with("\r\n")) << fields.line;
  return joined;
}

// The output line with `carried_code` in it, without its CR LF. The long-line
// path, which recodes the code field itself, gives what the run writes, in
// pieces of any size.
std::string join(std::string_view line, std::string_view carried_code) {
  const PaddedLine padded(line);
  const FieldList fields = padded.split();
  const std::string recoded = joined_with(
      fields, Module1::recode(Module1::code_field(fields), Module1::Code(carried_code)));
  for (const std::size_t piece : {3, 5, 64}) {
    EXPECT_EQ(converted_long(line, carried_code, piece), recoded) << line;
  }
  const std::string joined = joined_with(fields, Module1::Code(carried_code));
  return joined.substr(0, joined.size() - 2);
}

// A line of `count` quoted fields, all "f" but the code field "5".
std::string line_of_fields(std::size_t count) {
  std::string line = "\"f";
  for (std::size_t position = 1; position < count; ++position) {
    line += position == 3 ? "\",\"5" : "\",\"f";
  }
  return line + "\"";
}

TEST(SplitRecord, CutsAtEverySeparatorAndNothingElse) {
  const std::vector<CutCase> cases = {
      {"empty line has no fields", "", {}},
      {"no separator is one field", "abc", {"abc"}},
      {"lone quote", "\"", {"\""}},
      {"a separator without its closing quote", "\",", {"\","}},
      {"quotes stay on the outer fields",
       R"("A01","x","y","5","z")",
       {"\"A01", "x", "y", "5", "z\""}},
      {"four fields: the code field runs to the end",
       R"("a","b","c","5")",
       {"\"a", "b", "c", "5\""}},
      {"many fields", R"("a","b","c","5","e","f","g")", {"\"a", "b", "c", "5", "e", "f", "g\""}},
      {"adjacent separators give an empty field", R"("a","","c")", {"\"a", "", "c\""}},
      {"separator at the end gives an empty last field", R"("a","b",")", {"\"a", "b", ""}},
      {"separator at the start gives an empty first field", R"(","a)", {"", "a"}},
      {"the separator alone", R"(",")", {"", ""}},
      {"overlapping occurrences: the left one wins", R"(a",","b)", {"a", ",\"b"}},
      {"comma between letters stays", R"("a,b","c")", {"\"a,b", "c\""}},
      {"quote and comma without a second quote stays", R"("a",b","c")", {"\"a\",b", "c\""}},
      {"comma then quote without a first quote stays", R"("a,"b","c")", {"\"a,\"b", "c\""}},
      {"doubled quotes get no special meaning", R"("a""","b")", {R"("a"")", R"(b")"}},
      {"spaces are kept", R"( "a" , "b" )", {R"( "a" , "b" )"}},
      {"line feed is an ordinary byte", "\"a\n\",\"b\n\"", {"\"a\n", "b\n\""}},
      {"NUL bytes are ordinary",
       std::string("\"\0\",\"\0\"", 7),
       {std::string("\"\0", 2), std::string("\0\"", 2)}},
  };
  for (const CutCase& c : cases) {
    EXPECT_EQ(split(c.bytes), expected_split(c.pieces)) << c.name;
  }
}

// Splitting the plain way: find the separator, cut, go on after it.
std::vector<std::string> split_plainly(const std::string& line) {
  std::vector<std::string> fields;
  if (line.empty()) return fields;
  std::size_t start = 0;
  for (std::size_t at = line.find(Module1::kFieldSeparator); at != std::string::npos;
       at = line.find(Module1::kFieldSeparator, start)) {
    fields.push_back(line.substr(start, at - start));
    start = at + Module1::kFieldSeparator.size();
  }
  fields.push_back(line.substr(start));
  return fields;
}

TEST(SplitRecord, FindsTheFirstFourSeparatorsOnEitherSideOfTheFirst64Bytes) {
  // A filler moves the first or the fourth separator before, across and far
  // past the end of the first 66 bytes, block after block, in lines that end
  // just after it or go on, with overlapping look-alikes at the fourth. Each
  // line is a view between two quotes, which a read past either end would
  // take for part of it.
  for (const std::string_view fourth : {R"(",")", R"(",",")", R"(",",",")", R"(","",")", R"(",)"}) {
    for (std::size_t filler = 0; filler < 120; ++filler) {
      for (std::size_t tail = 0; tail < 20; ++tail) {
        const std::string fill(filler, 'x');
        const std::string end(tail, 'y');
        for (const std::string& line : {R"("a","b","c)" + fill + std::string(fourth) + end,
                                        fill + R"(","b","c")" + std::string(fourth) + end,
                                        R"(,")" + fill + R"(","b","c)" + std::string(fourth)}) {
          const std::string quoted = '"' + line + '"';
          ASSERT_EQ(split(std::string_view(quoted).substr(1, line.size())),
                    expected_split(split_plainly(line)))
              << line;
        }
      }
    }
  }
}

TEST(SplitRecord, FindsSeparatorsAtEveryOffsetOfLongLines) {
  // Lines of every length up to 200 bytes, with separators and look-alikes
  // (a lone comma, a quote and comma) falling on every offset, so that word
  // and block boundaries are crossed everywhere.
  const std::string pieces[] = {R"(",")", "ab", ",", R"(",)", "\"", "x", R"(",",")"};
  for (std::size_t seed = 0; seed < 7; ++seed) {
    std::string line;
    for (std::size_t step = 0; line.size() < 200; ++step) {
      line += pieces[(seed + step * step) % std::size(pieces)];
      for (std::size_t length = 0; length <= line.size(); ++length) {
        // A view into the longer line: a scan that reads past the end of
        // the view sees the bytes that follow it, and finds too much.
        const std::string_view prefix = std::string_view(line).substr(0, length);
        ASSERT_EQ(split(prefix), expected_split(split_plainly(std::string(prefix)))) << prefix;
      }
    }
  }
}

TEST(SplitRecord, TellsLinesOfMoreThan32768FieldsWhetherWholeOrJustBegun) {
  // Lines of separators alone around the limit, and a long line whose
  // separators all lie at its end, after a block of look-alikes; whole, and
  // through the long-line path.
  const auto repeated = [](std::string_view text, std::size_t count) {
    std::string line;
    for (std::size_t i = 0; i < count; ++i) line += text;
    return line;
  };
  const std::string_view separator = Module1::kFieldSeparator;
  struct Case {
    const char* name;
    std::string line;
    bool over_field_limit;
  };
  const std::vector<Case> cases = {
      {"32,768 fields", repeated(separator, Module1::kMaxFields - 1), false},
      {"32,768 fields and more bytes", repeated(separator, Module1::kMaxFields - 1) + "abcd",
       false},
      {"32,769 fields", repeated(separator, Module1::kMaxFields), true},
      {"look-alikes, then 32,769 fields",
       std::string(3 * Module1::kMaxFields, ',') + repeated(separator, Module1::kMaxFields), true},
      // Quoted commas two apart: every other one is a separator.
      {"65,534 overlapping, 32,768 fields", '"' + repeated(",\"", 2 * Module1::kMaxFields - 2),
       false},
      {"65,536 overlapping, 32,769 fields", '"' + repeated(",\"", 2 * Module1::kMaxFields), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PaddedLine(c.line).split().over_field_limit, c.over_field_limit) << c.name;
    EXPECT_EQ(converted_long(c.line, "6", 64).starts_with("fails: more than"), c.over_field_limit)
        << c.name;
  }
}

TEST(JoinRecord, ReplacesOnlyTheCodeField) {
  struct Case {
    const char* name;
    std::string line;
    std::string carried_code;
    std::string joined;
  };
  const std::vector<Case> cases = {
      {"six fields", R"("A01","x","y","99","z","w")", "1", R"("A01","x","y","1","z","w")"},
      {"five fields: no separator after the last", R"("A01","x","y","5","z")", "6",
       R"("A01","x","y","6","z")"},
      {"empty second and fifth fields survive", R"("a","","c","5",")", "6", R"("a","","c","6",")"},
      {"trailing separator survives", R"("a","b","c","5","e",")", "6", R"("a","b","c","6","e",")"},
      {"empty code field", R"("a","b","c","","e")", "6", R"("a","b","c","6","e")"},
      {"empty carried code makes separators adjacent", R"("a","b","c","20","e")", "",
       R"("a","b","c","","e")"},
      {"CP932 text with 0x5C trail bytes", "\"\x83\x5C\",\"\x95\x5C\",\"y\",\"3\",\"z\"", "4",
       "\"\x83\x5C\",\"\x95\x5C\",\"y\",\"4\",\"z\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(join(c.line, c.carried_code), c.joined) << c.name;
  }
  // Pieces shorter than the whole copy, as long and longer, codes of every length.
  for (std::size_t size = 0; size <= Module1::kWholeCopy + 2; ++size) {
    const std::string first(size, 'a');
    const std::string last(Module1::kWholeCopy + 2 - size, 'z');
    const std::string code = std::string("16").substr(0, size % 3);
    EXPECT_EQ(join(first + R"(","b","c","5",")" + last, code),
              first + R"(","b","c",")" + code + R"(",")" + last)
        << size;
  }
}

TEST(JoinRecord, AcceptsFiveTo32768Fields) {
  for (const std::size_t count : {std::size_t{5}, std::size_t{40}, std::size_t{32768}}) {
    const std::string line = line_of_fields(count);
    std::string expected = line;
    expected.replace(expected.find("\"5\""), 3, "\"6\"");
    EXPECT_EQ(join(line, "6"), expected) << count << " fields";
  }
}

TEST(DecideReading, RecordRulesWhereTheFirstLineEndsInACrAndCsvReadsItAlike) {
  using Module1::Reading;
  const std::string record = R"("a","b","c","5","e")";
  const std::string truncated(64, 'x');
  struct Case {
    std::string window;
    bool whole_file;
    Reading reading;
  };
  const std::vector<Case> cases = {
      {record + "\r\n" + record, true, Reading::records},
      {record + "\r" + record, true, Reading::records},
      {record, true, Reading::records},             // no line end at all
      {"\"" + truncated, false, Reading::records},  // none in the window: the record rules
      {"\"x\ny" + truncated, false, Reading::csv},  // an LF counted among all, none outside
      {"\xEF\xBB\xBF" + record + "\r\n", true, Reading::records},
      {R"("a","b)"
       "\n"
       R"(c","c","5","e")"
       "\r\n",
       true, Reading::records},  // an Excel cell
      {R"("a","He said "stop", then","c","5","e")"
       "\r\n",
       true, Reading::records},
      {R"("99","","99","99",""")"
       "\r\n",
       true, Reading::records},  // CSV ends inside a field
      {record + "\n" + record + "\r\n", true, Reading::csv},
      {"\"a\",\"b\",\"c\",\"5\",\"e\" y\r\n" + record + "\r\n", true, Reading::records},
      // A memo's line break after an odd count of quotes in the line's first
      // block.
      {record + "\r\n\"2\",\"a long memo one\r\ntwo\",\"\",\"y\",\"5\",\"e\"\r\n", true,
       Reading::csv},
      {"a,b,c,5,e\r\n", true, Reading::csv},  // one field by the record rules
      {R"("a","b")", true, Reading::csv},
      {"", true, Reading::csv},
      {record + ",6\r\n", true, Reading::csv},  // CSV reads another field
      {R"("1","x","y","5","one)"
       "\r\n"
       R"(two")"
       "\n",
       true, Reading::csv},
      {R"("1","x","y","5","one)"
       "\r\n"
       R"(two")",
       true, Reading::csv},
      {R"("1","x","y","5","one)"
       "\r\n"
       R"(two)",
       true, Reading::records},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Module1::decide_reading(c.window, c.whole_file), c.reading)
        << c.window.substr(0, 40) << (c.whole_file ? " (whole)" : "");
  }
}

TEST(PlainlyQuoted, OnlyQuotesOfSeparatorsBetweenTheEnds) {
  struct Case {
    const char* line;
    bool plain;
  };
  for (const Case& c :
       {Case{R"("a","b","c")", true}, Case{"\"a\n\",\"b\"", true}, Case{R"("","","")", true},
        Case{R"("a""b","c")", false}, Case{R"("a","b"")", false}, Case{R"("a",",","b")", false},
        Case{R"(",","b")", false}, Case{R"("a",",")", false}, Case{R"("a",b,"c")", false},
        Case{R"("a,b","c")", false}, Case{R"("a","b)", false}, Case{R"(a","b")", false},
        Case{"\"", false}}) {
    EXPECT_EQ(Module1::plainly_quoted(PaddedLine(c.line).split().line), c.plain) << c.line;
  }
  // A stray byte in each place of a letter: every place of the blocks, as the
  // first, the overlapping last or the only one, in lines of every length.
  const auto every_stray_is_found = [](const std::string& line, char stray_byte) {
    EXPECT_TRUE(Module1::plainly_quoted(PaddedLine(line).split().line)) << line;
    for (std::size_t at = 1; at + 1 < line.size(); ++at) {
      if (line[at] == '"' || line[at] == ',') continue;
      std::string stray = line;
      stray[at] = stray_byte;
      EXPECT_FALSE(Module1::plainly_quoted(PaddedLine(stray).split().line)) << stray;
    }
  };
  for (std::string line = "\"a\""; line.size() < 60; line.insert(line.size() - 1, "\",\"bc")) {
    every_stray_is_found(line, ',');
  }
  for (std::string line = "\"a\""; line.size() < 66; line.insert(1, "a")) {
    every_stray_is_found(line, '"');  // one field: no quote but its two ends
  }
}

}  // namespace

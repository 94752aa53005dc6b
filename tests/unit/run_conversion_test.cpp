#include "run_conversion.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "causes.h"
#include "line_reader.h"
#include "memory_host.h"

namespace {

using Module1::kCompletionNotice;
using Module1::kFailureNotice;
using Module1::Outcome;

const std::string kDone = "notice " + std::string(kCompletionNotice);
const std::string kFailed = "notice " + std::string(kFailureNotice);

MemoryHost host_with_input(const std::string& content) {
  MemoryHost host;
  host.files[MemoryHost::kInput] = content;
  return host;
}

std::string output_of(const MemoryHost& host) { return host.files.at(MemoryHost::kOutput); }

// A record of the record rules, and the line the run writes for it.
const std::string kRecord = "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n";
const std::string kConverted = "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n";

// The hints that follow the cause of a line, for the wrong files they name.
const std::string utf16 =
    "; the file looks like UTF-16 (\"Unicode text\"): save it as ANSI (Shift_JIS) or UTF-8";
const std::string excel =
    "; its fields are not each wrapped in double quotes, as in a CSV saved from Excel";
const std::string semicolons = "; its fields are separated by semicolons, not by \",\"";
const std::string tabs = "; its fields are separated by tabs, not by \",\"";

TEST(RunConversion, ConvertsEveryRecordInOrderAndReportsCompletion) {
  MemoryHost host = host_with_input(
      "\"A01\",\"x\",\"y\",\"99\",\"z\"\r\n"
      "\"A02\",\"x\n\",\"y\",\"77\",\"z\"\r"
      "\"A03\",\"\x83\x5C\",\"\x95\x5C\",\"16\",\"z\"");
  host.read_chunk = 5;

  EXPECT_EQ(Module1::run_conversion(host), Outcome::completed);

  EXPECT_EQ(output_of(host),
            "\"A01\",\"x\",\"y\",\"1\",\"z\"\r\n"
            "\"A02\",\"x\n\",\"y\",\"1\",\"z\"\r\n"
            "\"A03\",\"\x83\x5C\",\"\x95\x5C\",\"18\",\"z\"\r\n");
  // Output on the device and in data2.dat's place, input closed, notice
  // shown, and only then the output closed.
  EXPECT_EQ(host.events, (std::vector<std::string>{"open data.dat", "open data2.dat",
                                                   "flush data2.dat", "put data2.dat in place",
                                                   "close data.dat", kDone, "close data2.dat"}));
  EXPECT_FALSE(host.files.contains(MemoryHost::kNewOutput));
  EXPECT_TRUE(host.causes.empty());
}

TEST(RunConversion, RunsOfLinesThatFillTheBuffersComeOutWhole) {
  // One read fills the reader's buffer. A short last line ends at its last
  // byte, with or without a terminator, and its pieces are copied as blocks
  // read past it. The shortest records that CSV cannot read otherwise, each a
  // lone CR and an empty code that becomes a two-byte one (14 bytes in, 17
  // out), make a run larger than the writer's buffer, which grows to exactly
  // the room asked for.
  const std::size_t full = Module1::LineReader::kDefaultBufferSize;
  const std::string rest = R"(","b","c","5","e")"
                           "\r\n"
                           R"("a","b","c","5","e")";
  // Lines of up to half the buffer come in runs; longer ones take the long-line path.
  const std::string half = '"' + std::string(full / 2 - 20, 'y') + R"(","b","c","5","e")" + "\r\n";
  const std::string first_field(full - half.size() - 1 - rest.size(), 'x');
  const std::string converted = '"' + first_field +
                                R"(","b","c","6","e")"
                                "\r\n"
                                R"("a","b","c","6","e")"
                                "\r\n";
  std::vector<std::pair<std::string, std::string>> cases = {
      {'"' + first_field + rest, converted},
      {'"' + first_field.substr(1) + rest + "\r", converted.substr(0, 1) + converted.substr(2)},
      {'"' + first_field.substr(2) + rest + "\r\n", converted.substr(0, 1) + converted.substr(3)},
      {R"(","","","9",")"
       "\r",
       R"(","","","10",")"
       "\r\n"}};
  while (cases.back().first.size() < full) {
    cases.back().first += R"(x","","","",")"
                          "\r";  // 5 fields, the code empty
    cases.back().second += R"(x","","","10",")"
                           "\r\n";
  }
  for (auto& [input, expected] : cases) {
    input.insert(0, half);
    expected.insert(0, half.substr(0, half.size() - 8) + R"(6","e")" + "\r\n");
    MemoryHost host = host_with_input(input);
    host.read_chunk = full;
    EXPECT_EQ(Module1::run_conversion(host), Outcome::completed) << input.size();
    EXPECT_EQ(output_of(host), expected) << input.size();
  }
}

TEST(RunConversion, UnknownFirstCodeLeavesTheCodeFieldEmpty) {
  MemoryHost host =
      host_with_input("\"a\",\"b\",\"c\",\"20\",\"e\"\r\n\"a\",\"b\",\"c\",\"5\",\"e\"");
  EXPECT_EQ(Module1::run_conversion(host), Outcome::completed);
  EXPECT_EQ(output_of(host), "\"a\",\"b\",\"c\",\"\",\"e\"\r\n\"a\",\"b\",\"c\",\"6\",\"e\"\r\n");
}

TEST(RunConversion, EmptyInputGivesAnEmptyOutput) {
  MemoryHost host = host_with_input("");
  host.files[MemoryHost::kOutput] = "old content";
  EXPECT_EQ(Module1::run_conversion(host), Outcome::completed);
  EXPECT_EQ(output_of(host), "");
  EXPECT_EQ(host.notices(), std::vector<std::string>{std::string(kCompletionNotice)});
}

TEST(RunConversion, MissingInputLeavesTheOutputAlone) {
  MemoryHost host;
  host.files[MemoryHost::kOutput] = "old content";
  EXPECT_EQ(Module1::run_conversion(host), Outcome::failed);
  EXPECT_EQ(output_of(host), "old content");
  EXPECT_EQ(host.events, std::vector<std::string>{kFailed});
  EXPECT_EQ(host.causes, std::vector<std::string>{"/mem/data.dat: No such file or directory"});
}

TEST(RunConversion, MalformedRecordStopsTheRunKeepingTheRecordsBefore) {
  const std::string too_few = "data.dat line 3: 1 fields; a record needs at least 5";
  // A line that CSV reads as a record of enough fields is named for that.
  const std::string not_wrapped =
      "data.dat line 3: a field is not wrapped in double quotes, while the first line's are (a "
      "spreadsheet saved only the text cells in quotes)";
  struct Case {
    std::string bad_line;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {"\r\n", "data.dat line 3: 0 fields; a record needs at least 5"},
      {"no separator\r\n", too_few},
      {"\"a\",\"b\",\"c\"\r\n", "data.dat line 3: 3 fields; a record needs at least 5"},
      {"\"a\",\"b\",\"c\",\"5\"\r\n", "data.dat line 3: 4 fields; a record needs at least 5"},
      // What the commonest wrong files show.
      {"a,b,\"c;d\",5,e\r\n", not_wrapped},
      {"\"a\",\"b\",c,5,e\r\n", not_wrapped},
      {"\"a\",\"b\",c,d\r\n", "data.dat line 3: 2 fields; a record needs at least 5" + excel},
      {"a\tb,c\td\t5\te\r\n", too_few + tabs},
      {"a;b;c,d;5;e\r\n", too_few + semicolons},
      {std::string("\0\"\0a\0\"\0,\0\"\0", 11) + "\r\n", too_few + utf16},
      {" \t\x81\x40\xe3\x80\x80 \r\n", too_few + "; the line holds nothing but spaces"},
      // Notepad's "Unicode" of a line all Japanese, holding no NUL byte; an
      // empty line after the mark; the big-endian mark.
      {"\xFF\xFE\x42\x30\x44\x30\r\n", too_few + utf16},
      {"\xFF\xFE\r\n", too_few + utf16},
      {"\xFE\xFF\x30\x42\r\n", too_few + utf16},
      {",,,,\r\n", not_wrapped},  // Excel's empty row
      {",,,\r\n", too_few + excel},
      {";;;;\r\n", too_few + semicolons},
      {"a;1,5\r\n", too_few + semicolons},  // a tie goes to the rarer separator
      {"a\tb;c\r\n", too_few + tabs},
      {R"("a","b","c",")" + std::string(1 << 20, 'x') + ",x\"\r\n",
       "data.dat line 3: 4 fields; a record needs at least 5" + excel},
      {"@\x81\r\n", too_few},
      {"\x81"
       "A\r\n",
       too_few},
      // Longer than half the reader's buffer: fails before it is held whole.
      {std::string(600000, ',') + "\"" + std::string(600000, '"') + "\r\n", too_few + excel},
      {[] {
         std::string separators;
         for (int i = 0; i < 200000; ++i) separators += "\",\"";
         return separators + "\r\n";
       }(),
       "data.dat line 3: more than 32768 fields; a record holds at most 32768"},
  };
  // With a buffer of 16 bytes, every line takes the long-line path.
  for (const std::size_t buffer : {Module1::LineReader::kDefaultBufferSize, std::size_t{16}}) {
    for (const Case& c : cases) {
      MemoryHost host = host_with_input(kRecord + kRecord + c.bad_line + kRecord);
      EXPECT_EQ(Module1::run_conversion(host, buffer), Outcome::failed) << c.cause;
      EXPECT_EQ(output_of(host), kConverted + kConverted) << c.cause;
      EXPECT_EQ(host.notices(), std::vector<std::string>{std::string(kFailureNotice)});
      EXPECT_EQ(host.causes, std::vector<std::string>{c.cause}) << "buffer " << buffer;
    }
  }
}

TEST(RunConversion, LfFilesConvertAsTheirCrLfTwin) {
  // Read as CSV, the same records with LF line ends give the same output and
  // the same causes as read by the record rules with CR LF.
  const std::string record = R"("a","b","c","99","e")";
  std::string large;  // hundreds of lines past the buffer
  for (int code = 0; large.size() < (std::size_t{2} << 20); ++code) {
    large += R"("a","\x83\x5C",")" + std::string(code % 50, 'x') + R"(",")" +
             std::to_string(code % 21) + "\",\"e\"\n";
  }
  std::string widest = "\"a";  // as many fields as a record holds
  for (std::size_t i = 1; i < Module1::kMaxFields; ++i) widest += "\",\"5";
  struct Case {
    std::string lf_input;
    bool completes;
  };
  const std::vector<Case> cases = {
      {record + "\n" + record + "\n", true},
      {record + "\n" + record, true},  // the last line without LF
      {record + "\n", true},
      {'"' + std::string(900 << 10, 'y') + R"(","b","c","5","e")" + "\n" + record, true},
      {large, true},
      {widest + "\"\n" + record, true},
      {widest + "\",\"x\"\n" + record, false},   // one field more
      {record + "\n" + record + "\n\n", false},  // one LF too many
      {record + "\n\n" + record + "\n", false},
  };
  for (const Case& c : cases) {
    std::string twin;
    for (const char byte : c.lf_input)
      twin += byte == '\n' ? std::string("\r\n") : std::string(1, byte);
    for (const std::size_t buffer : {Module1::LineReader::kDefaultBufferSize, std::size_t{16}}) {
      MemoryHost lf = host_with_input(c.lf_input);
      MemoryHost crlf = host_with_input(twin);
      const std::string context = c.lf_input.substr(0, 40) + ", buffer " + std::to_string(buffer);
      EXPECT_EQ(Module1::run_conversion(lf, buffer),
                c.completes ? Outcome::completed : Outcome::failed)
          << context;
      EXPECT_EQ(Module1::run_conversion(crlf, buffer),
                c.completes ? Outcome::completed : Outcome::failed)
          << context;
      EXPECT_EQ(output_of(lf), output_of(crlf)) << context;
      EXPECT_EQ(lf.causes, crlf.causes) << context;
    }
  }
}

TEST(RunConversion, ReadsWhatSpreadsheetsAndWebExportsWrite) {
  const std::string not_wrapped =
      ": a field is not wrapped in double quotes, while the first line's are (a spreadsheet "
      "saved only the text cells in quotes)";
  const std::string quote_in_bare =
      ": a double quote inside a field that is not wrapped in double quotes";
  // Records past the first MiB, where the reading is decided.
  std::string good_mib;
  std::string converted_mib;
  std::size_t mib_lines = 0;
  for (; good_mib.size() <= Module1::LineReader::kDecisionWindow; ++mib_lines) {
    good_mib += kRecord;
    converted_mib += kConverted;
  }
  const std::string memo =
      ": a line break inside a field wrapped in double quotes ends the line here, and the field "
      "goes on in the next line (a web form's memo, saved with its line breaks)";
  std::string too_many_fields;  // after a field's end, more fields than a record may have
  for (std::size_t i = 0; i < Module1::kMaxFields + 1; ++i) too_many_fields += ",\"x\"";
  struct Case {
    const char* name;
    std::string input;
    std::string output;  // all of it, or what is kept when `cause` is set
    std::string cause;   // after "data.dat line "
  };
  const std::vector<Case> cases = {
      {"Excel's CSV: CP932, CR LF, a header, quotes only where needed",
       "ID,\x8E\x81\x96\xBC,\x95\x94,\x83R\x81[\x83h,memo\r\nK1,a,\"x,y\",5,\"say \"\"hi\"\"\"\r\n"
       "K2,\"\x83\x5C\",b,99,\"two\nlines\"\r\n",
       "ID,\x8E\x81\x96\xBC,\x95\x94,,memo\r\nK1,a,\"x,y\",6,\"say \"\"hi\"\"\"\r\n"
       "K2,\"\x83\x5C\",b,1,\"two\nlines\"\r\n",
       ""},
      {"Excel's CSV UTF-8: the byte order mark kept", "\xEF\xBB\xBFID,a,b,code,c\r\nK1,x,y,5,z\r\n",
       "\xEF\xBB\xBFID,a,b,,c\r\nK1,x,y,6,z\r\n", ""},
      {"LibreOffice's CSV, LF", "ID,a,b,code,c\nK1,x,y,16,z\n", "ID,a,b,,c\r\nK1,x,y,18,z\r\n", ""},
      {"LibreOffice's CSV, text cells quoted, LF",
       "\"ID\",\"a\",\"b\",\"code\",\"c\"\n\"K1\",\"x\",\"y\",5,\"z\"\n",
       "\"ID\",\"a\",\"b\",\"\",\"c\"\r\n\"K1\",\"x\",\"y\",6,\"z\"\r\n", ""},
      {"the same with CR LF: the first line is in the record rules' form",
       "\"ID\",\"a\",\"b\",\"code\",\"c\"\r\n\"K1\",\"x\",\"y\",5,\"z\"\r\n",
       "\"ID\",\"a\",\"b\",\"\",\"c\"\r\n", "2" + not_wrapped},
      {"a web export: a byte order mark, LF, a memo holding CR LF",
       "\xEF\xBB\xBF\"id\",\"a\",\"b\",\"code\",\"memo\"\n\"1\",\"x\",\"y\",\"5\",\"one\r\ntwo\"\n"
       "\"2\",\"x\",\"y\",\"77\",\"m\"",
       "\xEF\xBB\xBF\"id\",\"a\",\"b\",\"\",\"memo\"\r\n\"1\",\"x\",\"y\",\"6\",\"one\r\ntwo\"\r\n"
       "\"2\",\"x\",\"y\",\"6\",\"m\"\r\n",
       ""},
      {"LF records whose first memo holds CR LF",
       "\"1\",\"x\",\"y\",\"5\",\"one\r\ntwo\"\n\"2\",\"x\",\"y\",\"19\",\"three\nfour\"\n",
       "\"1\",\"x\",\"y\",\"6\",\"one\r\ntwo\"\r\n\"2\",\"x\",\"y\",\"17\",\"three\nfour\"\r\n",
       ""},
      {"CR LF records, one ended by LF alone",
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\",\"c\",\"5\",\"e\"\n\"a\",\"b\",\"c\",\"5\","
       "\"e\"\r\n",
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n",
       "2: a line feed between two fields ends a record here, while the lines before end in CR LF"},
      {"a web export in the record rules' form, a memo holding CR LF",
       "\"1\",\"x\",\"y\",\"5\",\"e\"\r\n\"2\",\"x\",\"y\",\"6\",\"one\r\ntwo\",\"p\",\"q\",\"r\","
       "\"s\"\r\n",
       "\"1\",\"x\",\"y\",\"6\",\"e\"\r\n\"2\",\"x\",\"y\",\"7\",\"one\r\ntwo\",\"p\",\"q\",\"r\","
       "\"s\"\r\n",
       ""},
      {"the same past the first MiB",
       good_mib + "\"2\",\"x\",\"y\",\"6\",\"one\r\ntwo\",\"p\",\"q\",\"r\",\"s\"\r\n" + good_mib,
       converted_mib, std::to_string(mib_lines + 1) + memo},
      {"the same, the memo opened by a separator's quote at the line's end",
       good_mib + "\"2\",\"x\",\"y\",\"6\",\"e\",\"\r\ntwo\",\"p\",\"q\",\"r\",\"s\"\r\n",
       converted_mib, std::to_string(mib_lines + 1) + memo},
      {"past the first MiB, a memo's next line of more than 32768 fields, which fails for them",
       good_mib + "\"2\",\"x\",\"y\",\"6\",\"one\r\ntwo\"" + too_many_fields + "\r\n",
       converted_mib,
       std::to_string(mib_lines + 2) + ": more than 32768 fields; a record holds at most 32768"},
      {"a stray quote at a line's end, which CSV cannot read on from",
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\",\"c\",\"5\",\"x\"\"\r\n"
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\"\r\n",
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n\"a\",\"b\",\"c\",\"6\",\"x\"\"\r\n"
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n",
       "4: 2 fields; a record needs at least 5"},
      {"CR records, one ended by LF alone",
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\"a\",\"b\",\"c\",\"5\",\"e\"\n\"a\",\"b\",\"c\",\"5\","
       "\"e\"\r",
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n",
       "2: a line feed between two fields ends a record here, while the lines before end in CR"},
      {"the record rules' stray quotes, an Excel cell's LF, doubled quotes",
       "\"a\",\"He said \"stop\", then\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\nc\",\"c\",\"7\",\"e\"\r\n"
       "\"a\",\"c\"\",d\",\"x\",\"3\",\"e\"\r\n\"a\",\"x\"\"\",\"\"\",\"5\",\"e\"\r\n"
       "\"a\",\"b\",\"c\",\"5\",\"e\",x\"y\r\n",
       "\"a\",\"He said \"stop\", then\",\"c\",\"6\",\"e\"\r\n\"a\",\"b\nc\",\"c\",\"8\",\"e\"\r\n"
       "\"a\",\"c\"\",d\",\"x\",\"4\",\"e\"\r\n\"a\",\"x\"\"\",\"\"\",\"6\",\"e\"\r\n"
       "\"a\",\"b\",\"c\",\"6\",\"e\",x\"y\r\n",
       ""},
      {"a separator inside a wrapped field, doubled",
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"x\"\",\"\"y\",\"c\",\"5\",\"e\"\r\n",
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n",
       "2: a field wrapped in double quotes holds \"\",\"\", a separator of the lines before that "
       "a "
       "spreadsheet reads as part of the field"},
      {"a number not wrapped after the code",
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\",\"c\",\"5\",\"e\",6\r\n",
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n", "2" + not_wrapped},
      {"an empty field after the last separator",
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\",\"c\",\"5\",\"e\",\r\n",
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n", "2" + not_wrapped},
      {"a field not wrapped after a doubled quote",
       "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\",\"c\",\"5\",\"e\"\"\",f,\"g\"\r\n",
       "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n", "2" + not_wrapped},
      {"CSV: a stray quote", "a,b,c,5,e\nab\"c,b,c,5,e\n", "a,b,c,6,e\r\n", "2" + quote_in_bare},
      {"CSV: a wrapped field goes on", "a,b,c,5,e\n\"ab\"c,b,c,5,e\n", "a,b,c,6,e\r\n",
       "2: a field wrapped in double quotes goes on after its closing quote (a double quote inside "
       "a "
       "field is written twice)"},
      {"CSV: a wrapped field never closed", "a,b,c,5,e\n\"ab,b,c,5,e\n", "a,b,c,6,e\r\n",
       "2: the file ends inside a field wrapped in double quotes (its closing quote is missing)"},
      {"CSV: a blank line at the end", "a,b,c,5,e\n\n", "a,b,c,6,e\r\n",
       "2: 0 fields; a record needs at least 5"},
      {"CSV: lines counted as an editor counts them", "a,b,c,5,\"x\r\ny\nz\"\r\na,b,c\r\n",
       "a,b,c,6,\"x\r\ny\nz\"\r\n", "4: 3 fields; a record needs at least 5"},
      {"CSV: a file of tabs, with its hint", "a\tb\tc\n", "",
       "1: 1 fields; a record needs at least 5; its fields are separated by tabs, not by \",\""},
      {"CSV: UTF-16, with its hint", std::string("\xFF\xFE\"\0a\0\"\0\n\0", 10), "",
       "1" + quote_in_bare +
           "; the file looks like UTF-16 (\"Unicode text\"): save it as ANSI (Shift_JIS) or UTF-8"},
  };
  // With a buffer of 16 bytes, and reads of one byte, records and pairs of
  // bytes are cut by every read; with one of 64, the writer has written lines
  // before the one that fails.
  for (const Case& c : cases) {
    for (const std::size_t buffer :
         {Module1::LineReader::kDefaultBufferSize, std::size_t{64}, std::size_t{16}}) {
      MemoryHost host = host_with_input(c.input);
      host.read_chunk = buffer == 16 ? 1 : 7;
      const Outcome outcome = Module1::run_conversion(host, buffer);
      EXPECT_EQ(outcome, c.cause.empty() ? Outcome::completed : Outcome::failed) << c.name;
      EXPECT_EQ(output_of(host), c.output) << c.name << ", buffer " << buffer;
      const std::vector<std::string> causes =
          c.cause.empty() ? std::vector<std::string>{}
                          : std::vector<std::string>{"data.dat line " + c.cause};
      EXPECT_EQ(host.causes, causes) << c.name << ", buffer " << buffer;
    }
  }
}

TEST(RunConversion, IoFailuresNeverEndInTheCompletionNotice) {
  const std::string input = "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n\"a\",\"b\",\"c\",\"0\",\"e\"\r\n";
  const std::string full_output =
      "\"a\",\"b\",\"c\",\"6\",\"e\"\r\n\"a\",\"b\",\"c\",\"0\",\"e\"\r\n";
  struct Case {
    const char* name;
    void (*arrange)(MemoryHost&);
    std::string cause;
  };
  const std::vector<Case> cases = {
      {"output not creatable",
       [](MemoryHost& h) { h.output_refused = Module1::Problem::no_new_file; },
       std::string("/mem/data2.dat: Permission denied") + Module1::kNoNewFileBeside},
      {"read error", [](MemoryHost& h) { h.read_fails_after = 30; },
       "/mem/data.dat: Input/output error"},
      {"disk full", [](MemoryHost& h) { h.disk_space = 30; },
       "/mem/data2.dat: No space left on device"},
      {"deferred write error", [](MemoryHost& h) { h.flush_fails = true; },
       "/mem/data2.dat: Input/output error; what was written may be incomplete"},
      {"disk full, then the cut back fails",
       [](MemoryHost& h) {
         h.disk_space = 30;
         h.cut_back_fails = true;
       },
       "/mem/data2.dat: No space left on device; cutting it back to whole records failed too: "
       "/mem/data2.dat: Input/output error; it may end inside a record"},
      {"a standard exception",
       [](MemoryHost& h) { h.before_read = [] { throw std::length_error("too long"); }; },
       "unexpected failure: too long"},
      {"any other exception", [](MemoryHost& h) { h.before_read = [] { throw 42; }; },
       "unexpected failure"},
  };
  for (const Case& c : cases) {
    MemoryHost host = host_with_input(input);
    host.read_chunk = 10;
    c.arrange(host);
    EXPECT_EQ(Module1::run_conversion(host), Outcome::failed) << c.name;
    EXPECT_EQ(host.notices(), std::vector<std::string>{std::string(kFailureNotice)}) << c.name;
    EXPECT_EQ(host.causes, std::vector<std::string>{c.cause}) << c.name;
    if (host.files.contains(MemoryHost::kOutput)) {
      EXPECT_EQ(full_output.rfind(output_of(host), 0), 0U) << c.name << ": not a prefix";
    }
  }
}

TEST(RunConversion, AfterAFullDiskACsvOutputHoldsWholeRecordsThoughTheyHoldLineBreaks) {
  // Every record ends in f" and CR LF; the CR LF inside its fields do not end it.
  std::string input;
  for (int record = 0; record < 40; ++record) {
    input += "a,\"b\r\nc\",d," + std::to_string(record % 20) + ",\"e\r\nf\"\r\n";
  }
  MemoryHost whole = host_with_input(input);
  ASSERT_EQ(Module1::run_conversion(whole, 64), Outcome::completed);
  for (std::size_t space = 0; space < input.size(); space += 7) {
    MemoryHost host = host_with_input(input);
    host.disk_space = space;
    EXPECT_EQ(Module1::run_conversion(host, 64), Outcome::failed) << space;
    const std::string& kept = output_of(host);
    EXPECT_EQ(output_of(whole).substr(0, kept.size()), kept) << space;
    EXPECT_TRUE(kept.empty() || kept.ends_with("f\"\r\n")) << space << ": " << kept.size();
  }
}

TEST(RunConversion, ALineOfHalfTheBufferIsHeldWholeAndNeverWrittenWhenItFails) {
  // Eight bytes read into a buffer of 16, read as CSV and by the record
  // rules: a long line would be written before it failed, and the cut back
  // that fails too would show.
  for (const std::string& before : {std::string(), kRecord}) {
    MemoryHost host = host_with_input(before + "\"a\",\"bc\"\r\n");
    host.read_chunk = 8;
    host.cut_back_fails = true;
    EXPECT_EQ(Module1::run_conversion(host, 16), Outcome::failed);
    EXPECT_EQ(host.causes,
              std::vector<std::string>{"data.dat line " + std::to_string(before.empty() ? 1 : 2) +
                                       ": 2 fields; a record needs at least 5"});
  }
}

TEST(RunConversion, InputThatChangesDuringTheRunFailsIt) {
  const std::string record = "\"a\",\"b\",\"c\",\"0\",\"e\"\r\n";  // 22 bytes
  struct Case {
    const char* name;
    void (*change)(std::string&);
    bool state_stale = false;
  };
  const std::vector<Case> cases = {
      {"appended to", [](std::string& content) { content += content; }},
      // Cut inside the last field of the second record: what is left still
      // converts, so only the change itself can fail the run.
      {"cut short", [](std::string& content) { content.resize(22 + 18); }},
      // Cut so that what is left of a record fails: the change is the cause.
      {"cut short, a record left failing", [](std::string& content) { content.resize(22 + 14); }},
      {"rewritten in place", [](std::string& content) { content[1] = 'z'; }},
      // Only the count of bytes read tells.
      {"appended to, its size and time cached", [](std::string& content) { content += content; },
       true},
  };
  for (const Case& c : cases) {
    MemoryHost host = host_with_input(record + record + record);
    host.read_chunk = 10;
    host.change_input_after_first_read = c.change;
    host.input_state_stale = c.state_stale;
    EXPECT_EQ(Module1::run_conversion(host), Outcome::failed) << c.name;
    EXPECT_EQ(host.notices(), std::vector<std::string>{std::string(kFailureNotice)}) << c.name;
    EXPECT_EQ(host.causes, std::vector<std::string>{"/mem/data.dat changed while it was read"})
        << c.name;
  }
}

TEST(RunConversion, EveryProblemOfTheDataFilesIsWordedAndKeepsTheOldOutputWhole) {
  using Module1::Problem;
  const std::vector<std::pair<Problem, std::string>> words = {
      {Problem::system, "Permission denied"},
      {Problem::missing, "Permission denied"},
      {Problem::input_held, "in use by another program"},
      {Problem::output_held, "in use by another program or another run"},
      {Problem::read_only, "read-only file; not overwritten"},
      {Problem::not_regular, "not a regular file"},
      {Problem::is_input, "is the input file itself; not overwritten"},
      {Problem::may_be_input,
       "may be the input file itself, and the system cannot tell whether it is; not overwritten"},
      {Problem::no_new_file,
       "Permission denied; no new file could be made beside it to replace it, so it was left as "
       "it was"},
  };
  // Where each is found: opening data.dat, making the new output, putting it
  // in data2.dat's place.
  for (int where = 0; where < 3; ++where) {
    for (const auto& [problem, worded] : words) {
      MemoryHost host = host_with_input(kRecord);
      host.files[MemoryHost::kOutput] = "old content";
      (where == 0   ? host.input_refused
       : where == 1 ? host.output_refused
                    : host.put_in_place_refused) = problem;
      EXPECT_EQ(Module1::run_conversion(host), Outcome::failed) << worded;
      EXPECT_EQ(output_of(host), "old content") << worded;
      const std::string file = where == 0 ? "/mem/data.dat: " : "/mem/data2.dat: ";
      EXPECT_EQ(host.causes, std::vector<std::string>{file + worded}) << where;
      EXPECT_FALSE(host.files.contains(MemoryHost::kNewOutput)) << worded;
    }
  }
  // What the device holds is unknown: not put in place.
  MemoryHost host = host_with_input(kRecord);
  host.files[MemoryHost::kOutput] = "old content";
  host.flush_fails = true;
  EXPECT_EQ(Module1::run_conversion(host), Outcome::failed);
  EXPECT_EQ(output_of(host), "old content");
}

TEST(RunConversion, TheCauseLineNeverGoesIntoADataFile) {
  const std::string input = kRecord + "\r\n";
  const std::string line = "renumber: data.dat line 2: 0 fields; a record needs at least 5\n";
  struct Case {
    const char* standard_error;
    bool ids_made_up, input_missing, written;
  };
  const std::vector<Case> cases = {
      {MemoryHost::kInput, false, false, false}, {MemoryHost::kOutput, false, false, false},
      {MemoryHost::kOutput, false, true, false},  // data2.dat known by name alone
      {MemoryHost::kInput, true, false, false},   // its size and times tell
      {"/mem/log.txt", false, false, true},
  };
  for (const Case& c : cases) {
    MemoryHost host;
    if (!c.input_missing) host.files[MemoryHost::kInput] = input;
    host.files[MemoryHost::kOutput] = "old\r\n";
    host.files[c.standard_error];
    host.standard_error = c.standard_error;
    host.ids_made_up = c.ids_made_up;
    EXPECT_EQ(Module1::run_conversion(host), Outcome::failed);
    EXPECT_EQ(host.notices(), std::vector<std::string>{std::string(kFailureNotice)});
    EXPECT_EQ(host.causes.size(), c.written ? 1U : 0U) << c.standard_error;
    if (!c.input_missing) {
      EXPECT_EQ(host.files.at(MemoryHost::kInput), input);
    }
    EXPECT_EQ(output_of(host), c.input_missing ? "old\r\n" : kConverted) << c.standard_error;
    if (c.written) {
      EXPECT_EQ(host.files.at(c.standard_error), line);
    }
  }
}

TEST(RunConversion, AfterAFullDiskTheOutputHoldsWholeRecordsOnly) {
  // One write holds all three records: the whole records of its part stay
  // when the system reports that part, none when it reports nothing.
  for (const bool reports_nothing : {false, true}) {
    for (std::size_t space = 0; space < 3 * kConverted.size(); ++space) {
      MemoryHost host = host_with_input(kRecord + kRecord + kRecord);
      host.disk_space = space;
      host.failed_write_reports_nothing = reports_nothing;
      EXPECT_EQ(Module1::run_conversion(host), Outcome::failed) << space;
      const std::size_t whole_records = reports_nothing ? 0 : space / kConverted.size();
      std::string kept;
      for (std::size_t i = 0; i < whole_records; ++i) kept += kConverted;
      EXPECT_EQ(output_of(host), kept)
          << "room for " << space << " bytes, reports nothing: " << reports_nothing;
    }
  }
}

TEST(RunConversion, AnOutputCloseErrorAfterTheNoticeIsSaidOnStandardErrorAlone) {
  MemoryHost host = host_with_input(R"("a","b","c","5","e")");
  host.output_close_fails = true;
  EXPECT_EQ(Module1::run_conversion(host), Outcome::failed);
  EXPECT_EQ(host.notices(), std::vector<std::string>{std::string(kCompletionNotice)});
  EXPECT_EQ(host.causes, std::vector<std::string>{"/mem/data2.dat: Input/output error"});
  EXPECT_EQ(output_of(host), kConverted);
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "byte_blocks.h"
#include "cut_case.h"
#include "failure.h"
#include "line_reader.h"
#include "line_writer.h"
#include "memory_host.h"

namespace {

// Every line of `content`, read as the run reads them: runs of whole lines,
// and long lines piece by piece, the last two bytes of a piece left until the
// line ends; then "failed: " and the cause where the reader fails.
std::vector<std::string> read_all(host::InputFile& file, std::size_t buffer_size) {
  Module1::LineReader reader(file, buffer_size);
  std::vector<std::string> lines;
  try {
    for (Module1::Lines run = reader.read_lines(); !run.empty() || reader.at_long_line();
         run = reader.read_lines()) {
      for (std::string_view line; run.read_line(line);) lines.emplace_back(line);
      if (!run.empty() || !reader.at_long_line()) continue;
      std::string line;
      for (Module1::LinePiece piece{}; !piece.line_ends;) {
        piece = reader.long_line_piece();
        const std::size_t taken = piece.bytes.size() - (piece.line_ends ? 0 : 2);
        line += piece.bytes.substr(0, taken);
        reader.take(taken, piece.line_ends);
      }
      lines.push_back(line);
    }
  } catch (const Module1::Failure& failure) {
    lines.push_back(std::string("failed: ") + failure.what());
  }
  return lines;
}

// A host whose data.dat is `content`, handed out `chunk` bytes a read.
MemoryHost host_reading(const std::string& content, std::size_t chunk) {
  MemoryHost host;
  host.files[MemoryHost::kInput] = content;
  host.read_chunk = chunk;
  return host;
}

std::vector<std::string> read_all(const std::string& content, std::size_t chunk,
                                  std::size_t buffer_size) {
  MemoryHost host = host_reading(content, chunk);
  return read_all(*host.open_input(MemoryHost::kInput), buffer_size);
}

TEST(LineReader, SplitsAtCrOrCrLfWhateverTheReadSizes) {
  const std::vector<CutCase> cases = {
      {"empty file", "", {}},
      {"CRLF lines", "ab\r\ncd\r\n", {"ab", "cd"}},
      {"CR lines", "ab\rcd\r", {"ab", "cd"}},
      {"mixed terminators", "ab\rcd\r\nef\r", {"ab", "cd", "ef"}},
      {"last line without terminator", "ab\r\ncd", {"ab", "cd"}},
      {"LF alone is an ordinary byte", "ab\ncd\n\r", {"ab\ncd\n"}},
      {"LF before CR stays in the line", "ab\n\r\ncd", {"ab\n", "cd"}},
      {"empty lines are lines", "\r\n\r\nab\r\n\r\n", {"", "", "ab", ""}},
      {"CR CR LF is two lines", "ab\r\r\ncd", {"ab", "", "cd"}},
      {"CR LF LF keeps the second LF", "ab\r\n\ncd", {"ab", "\ncd"}},
      {"a record starting with LF, lines after a lone CR",
       "ab\rcde\r\n\nef\r\r\n\ngh",
       {"ab", "cde", "\nef", "", "\ngh"}},
      {"file ending in a lone CR", "ab\r", {"ab"}},
      {"file of one CR", "\r", {""}},
      {"file of one LF", "\n", {"\n"}},
      {"NUL bytes are ordinary",
       std::string("a\0b\r\n\0", 6),
       {std::string("a\0b", 3), std::string(1, '\0')}},
  };
  for (const CutCase& c : cases) {
    for (std::size_t chunk = 1; chunk <= c.bytes.size() + 1; ++chunk) {
      for (const std::size_t buffer_size :
           {std::size_t{4}, std::size_t{5}, std::size_t{8}, std::size_t{4096}}) {
        EXPECT_EQ(read_all(c.bytes, chunk, buffer_size), c.pieces)
            << c.name << ", reads of " << chunk << ", buffer " << buffer_size;
      }
    }
  }
}

TEST(LineReader, DecidesTheReadingFromTheFirstBytesAndReadsEachByteOnce) {
  // The first bytes are held in a window of their own, whatever the buffer,
  // and the file is not read again after them.
  const std::string beyond(Module1::LineReader::kDecisionWindow, 'x');
  for (const std::string& content :
       {std::string("\"a\"\n\"b\""), std::string("aaaa\r\nbbbb\r\n"), beyond + "\r\n" + beyond}) {
    MemoryHost host = host_reading(content, 4);
    read_all(*host.open_input(MemoryHost::kInput), 16);
    EXPECT_EQ(host.bytes_handed_out, content.size()) << content.substr(0, 20);
  }
}

TEST(LineReader, FindsLineEndsAtEveryOffsetAcrossBlocksAndRefills) {
  // Lines of every length up to 40 bytes, some with a LF inside, ended by CR
  // LF or a lone CR in turn, so that line ends fall on every offset of the
  // 16-byte blocks compared at once; read with buffers and reads of sizes
  // around the block size, so that they also fall at every refill.
  std::string content;
  std::vector<std::string> lines;
  for (std::size_t length = 0; length <= 40; ++length) {
    std::string line(length, static_cast<char>('a' + length % 26));
    if (length >= 2) line[length / 2] = '\n';
    lines.push_back(line);
    content += line + (length % 3 == 0 ? "\r" : "\r\n");
  }
  for (const std::size_t buffer_size : {16, 17, 31, 32, 33, 64, 4096}) {
    for (const std::size_t chunk : {1, 5, 15, 16, 17, 40, 1 << 20}) {
      EXPECT_EQ(read_all(content, chunk, buffer_size), lines)
          << "reads of " << chunk << ", buffer " << buffer_size;
    }
  }
}

TEST(FindByte, FindsTheFirstWithinTheRangeAndNothingBeyondIt) {
  // The block search that the Windows program uses for line ends, on every
  // length and every place of the byte, inside the range or just past it.
  for (std::size_t length = 0; length <= 70; ++length) {
    for (std::size_t at = 0; at < length + 40; ++at) {
      std::string bytes(length + 40, 'x');
      bytes[at] = '\r';
      const char* const begin = bytes.data();
      EXPECT_EQ(Module1::find_byte(begin, begin + length, '\r') - begin,
                static_cast<std::ptrdiff_t>(std::min(at, length)))
          << "length " << length << ", byte at " << at;
    }
  }
}

TEST(LineReader, RunsNeverReachPastTheBytesRead) {
  // Unread bytes moved to the front of the buffer, then the end of the file.
  for (std::size_t chunk = 1; chunk <= 12; ++chunk) {
    MemoryHost host = host_reading("aaaa\r\nbbbb\r", chunk);
    const auto file = host.open_input(MemoryHost::kInput);
    Module1::LineReader reader(*file, 16);
    std::size_t handed_out = 0;
    for (Module1::Lines run = reader.read_lines(); !run.empty(); run = reader.read_lines()) {
      handed_out += run.size();
    }
    EXPECT_EQ(handed_out, reader.bytes_read()) << "reads of " << chunk;
  }
}

// Puts each line, with CR LF, in room asked of the writer, as the run puts
// the lines of each run of input lines.
void put_lines(Module1::LineWriter& writer, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    char* const to = writer.room(line.size() + 2);
    std::memcpy(to, (line + "\r\n").data(), line.size() + 2);
    writer.lines_end_at(to + line.size() + 2);
  }
}

// The new file of data2.dat on a host, which fails like a full disk once
// `space` bytes are reached, where there is a limit.
struct Output {
  explicit Output(std::optional<std::size_t> space = std::nullopt) { host.disk_space = space; }
  [[nodiscard]] const std::string& content() const { return host.files.at(MemoryHost::kNewOutput); }
  [[nodiscard]] std::ptrdiff_t flushes() const {
    return std::count(host.events.begin(), host.events.end(), "flush data2.dat");
  }

  MemoryHost host;
  std::unique_ptr<host::OutputFile> file = host.open_output(MemoryHost::kOutput, 0);
};

TEST(LineWriter, KeepsEveryLineAcrossBufferBoundaries) {
  const std::vector<std::string> lines = {"", "a", "bcdefgh", std::string(40, 'l'), "", "z"};
  std::string expected;
  for (const std::string& line : lines) expected += line + "\r\n";
  for (const std::size_t buffer_size :
       {std::size_t{42}, std::size_t{45}, std::size_t{49}, std::size_t{4096}}) {
    Output output;
    Module1::LineWriter writer(*output.file, buffer_size);
    put_lines(writer, lines);
    writer.flush();
    EXPECT_EQ(output.content(), expected) << "buffer " << buffer_size;
    EXPECT_EQ(output.flushes(), 1);
  }
}

TEST(LineWriter, NothingReachesTheFileBeforeTheBufferFillsOrIsFlushed) {
  Output output;
  Module1::LineWriter writer(*output.file, 64);
  put_lines(writer, {"abc"});
  EXPECT_EQ(output.host.output_writes, 0);
  writer.keep_written_lines();
  EXPECT_EQ(output.content(), "abc\r\n");
}

TEST(LineWriter, AfterAFailedWriteTheFileHoldsWholeLinesAndNothingMore) {
  // Lines with LF and lone quotes inside, some longer than the buffer; the
  // disk fills at every possible byte.
  const std::vector<std::string> lines = {
      "abc", "d\nef", "", std::string(30, 'g'), "h\n", "ij", std::string(12, 'k')};
  std::string all;
  std::vector<std::size_t> line_ends = {0};
  for (const std::string& line : lines) {
    all += line + "\r\n";
    line_ends.push_back(all.size());
  }
  for (const std::size_t buffer_size : {std::size_t{32}, std::size_t{36}, std::size_t{4096}}) {
    for (std::size_t space = 0; space < all.size(); ++space) {
      Output output(space);
      Module1::LineWriter writer(*output.file, buffer_size);
      try {
        put_lines(writer, lines);
        writer.flush();
        ADD_FAILURE() << "no failure with room for " << space << " bytes";
      } catch (const Module1::Failure&) {
      }
      // The longest run of whole lines that fitted, whatever the buffering.
      const std::string expected_kept =
          all.substr(0, *std::prev(std::upper_bound(line_ends.begin(), line_ends.end(), space)));
      const std::string context = "buffer " + std::to_string(buffer_size) + ", room for " +
                                  std::to_string(space) + " bytes";
      EXPECT_EQ(output.content(), expected_kept) << context;
      // Nothing more is written once a write has failed.
      const std::string kept = output.content();
      writer.keep_written_lines();
      EXPECT_THROW(writer.flush(), Module1::Failure) << context;
      EXPECT_EQ(output.content(), kept) << context;
    }
  }
}

TEST(LineWriter, KeepsTheWholeLinesOfAFailedWriteThatGotPartWay) {
  Output output(13);
  Module1::LineWriter writer(*output.file, 4096);
  put_lines(writer, {"ab", "cd", "ef", "gh"});
  EXPECT_THROW(writer.flush(), Module1::Failure);
  EXPECT_EQ(output.content(),
            "ab\r\ncd\r\nef\r\n");  // 13 bytes reached the file; 12 are whole lines
}

}  // namespace

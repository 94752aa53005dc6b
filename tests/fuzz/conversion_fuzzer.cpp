// Runs the whole conversion on arbitrary bytes as data.dat, through the
// in-memory host, and compares everything it did with a plain reference
// model written from the rules alone: the output bytes, the outcome, the
// notices and where the run stopped.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "memory_host.h"
#include "run_conversion.h"

namespace {

struct Expected {
  std::string output;
  bool completes = true;
};

// Lines end at CR or CR LF, and LF alone is ordinary; in a file with an LF
// and no CR, they end at LF. The last line may be unterminated.
std::vector<std::string> reference_lines(const std::string& data, char terminator) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] != terminator) {
      line += data[i];
      continue;
    }
    lines.push_back(line);
    line.clear();
    if (terminator == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Positions of the separators, left to right, never overlapping.
std::vector<std::size_t> reference_separators(const std::string& line) {
  std::vector<std::size_t> found;
  for (std::size_t at = line.find("\",\""); at != std::string::npos;
       at = line.find("\",\"", at + 3)) {
    found.push_back(at);
  }
  return found;
}

Expected reference_conversion(const std::string& data) {
  static const std::map<std::string, std::string> kTable = {
      {"0", "0"},   {"99", "1"},  {"1", "2"},   {"2", "3"},   {"3", "4"},   {"4", "5"},
      {"5", "6"},   {"6", "7"},   {"7", "8"},   {"8", "9"},   {"9", "10"},  {"10", "11"},
      {"11", "12"}, {"12", "13"}, {"13", "14"}, {"14", "15"}, {"15", "16"}, {"19", "17"},
      {"16", "18"}, {"17", "19"}, {"18", "20"}};
  Expected expected;
  const bool lf_line_ends =
      data.find('\n') != std::string::npos && data.find('\r') == std::string::npos;
  std::string carried;
  for (const std::string& line : reference_lines(data, lf_line_ends ? '\n' : '\r')) {
    // There a line must begin and end with a double quote, unless it is empty.
    if (lf_line_ends && !line.empty() && (line.front() != '"' || line.back() != '"')) {
      expected.completes = false;
      return expected;
    }
    const std::vector<std::size_t> separators =
        line.empty() ? std::vector<std::size_t>{} : reference_separators(line);
    const std::size_t fields = line.empty() ? 0 : separators.size() + 1;
    if (fields < 5 || fields > 32768) {
      expected.completes = false;
      return expected;
    }
    const std::size_t code_begin = separators[2] + 3;
    const std::string code = line.substr(code_begin, separators[3] - code_begin);
    if (const auto row = kTable.find(code); row != kTable.end()) carried = row->second;
    expected.output += line.substr(0, code_begin) + carried + line.substr(separators[3]) + "\r\n";
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses how many bytes each read hands out, so that line
  // ends fall on every side of a read boundary, and the reader's buffer, so
  // that lines of a few bytes take the long-line path too.
  const std::size_t read_chunk = 1 + bytes[0] % 64;
  constexpr std::size_t kLineBuffers[] = {Module1::LineReader::kDefaultBufferSize, 4, 16, 61};
  const std::size_t line_buffer = kLineBuffers[bytes[0] / 64];
  const std::string data(reinterpret_cast<const char*>(bytes) + 1, size - 1);

  MemoryHost host;
  host.files[MemoryHost::kInput] = data;
  host.read_chunk = read_chunk;
  const Module1::Outcome outcome = Module1::run_conversion(host, line_buffer);
  const Expected expected = reference_conversion(data);

  const std::string& output = host.files.at(MemoryHost::kOutput);
  const std::vector<std::string> notices = host.notices();
  const bool completed = outcome == Module1::Outcome::completed;
  if (output != expected.output) std::abort();        // every record, in order, exact
  if (completed != expected.completes) std::abort();  // fails only where the rules say
  if (notices.size() != 1) std::abort();              // one notice, whatever happened
  const std::string_view notice = completed ? Module1::kCompletionNotice : Module1::kFailureNotice;
  if (notices[0] != notice) std::abort();
  if (completed != host.causes.empty()) std::abort();  // a cause for every failure
  if (host.files.at(MemoryHost::kInput) != data) std::abort();
  return 0;
}

// Runs the whole conversion on arbitrary bytes as data.dat, through the
// in-memory host, and compares everything it did with a plain reference
// model written from the rules alone, the same as the end-to-end tests'
// (reference.py), which a fuzzer running in the program's process cannot
// call: the output bytes, the outcome, the notices and where the run stopped.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "code_rule.h"
#include "memory_host.h"
#include "run_conversion.h"

namespace {

struct Expected {
  std::string output;
  bool completes = true;
};

constexpr std::size_t kMinFields = 5, kMaxFields = 32768;
const std::string kSeparator = "\",\"";
const std::string kMark = "\xEF\xBB\xBF";

// The new code of an old one; any other text keeps the one carried.
void recode(const std::string& code, std::string& carried) {
  if (const auto row = code_rule::table().find(code); row != code_rule::table().end()) {
    carried = row->second;
  }
}

// Where the record rules cut: the comma of each "," from left to right,
// never overlapping.
std::vector<std::size_t> record_separators(const std::string& line) {
  std::vector<std::size_t> found;
  for (std::size_t at = line.find(kSeparator); at != std::string::npos;
       at = line.find(kSeparator, at + 3)) {
    found.push_back(at + 1);
  }
  return found;
}

// One CSV record read from `at`: its fields as [start, end) with whether each
// is wrapped, where its line end is (or the data's end) and where the next
// record starts; valid false where it is not valid CSV.
struct CsvRecord {
  bool valid = false;
  bool ends_inside = false;  // where not valid: the data ends inside a wrapped field
  std::size_t invalid_at = std::string::npos;  // or the first byte CSV cannot read
  std::vector<std::size_t> starts, ends;
  std::vector<bool> wrapped;
  std::size_t line_end = 0, next = 0;
};

CsvRecord csv_record(const std::string& data, std::size_t at) {
  CsvRecord record;
  for (;;) {
    const std::size_t start = at;
    const bool wrapped = at < data.size() && data[at] == '"';
    if (wrapped) {
      for (++at;; at += 2) {
        at = data.find('"', at);
        if (at == std::string::npos) {
          record.ends_inside = true;
          return record;
        }
        if (at + 1 >= data.size() || data[at + 1] != '"') break;
      }
      ++at;
      if (at < data.size() && data[at] != ',' && data[at] != '\r' && data[at] != '\n') {
        record.invalid_at = at;
        return record;
      }
    } else {
      at = std::min(data.find_first_of(",\r\n", at), data.size());
      if (const std::size_t quote = data.substr(start, at - start).find('"');
          quote != std::string::npos) {
        record.invalid_at = start + quote;
        return record;
      }
    }
    record.starts.push_back(start);
    record.ends.push_back(at);
    record.wrapped.push_back(wrapped);
    if (at < data.size() && data[at] == ',') {
      ++at;
      continue;
    }
    record.valid = true;
    record.line_end = at;
    record.next = data.compare(at, 2, "\r\n") == 0 ? at + 2 : std::min(at + 1, data.size());
    return record;
  }
}

std::vector<std::size_t> commas_of(const CsvRecord& record, std::size_t shift = 0) {
  std::vector<std::size_t> commas;
  for (std::size_t i = 0; i + 1 < record.ends.size(); ++i) commas.push_back(record.ends[i] - shift);
  return commas;
}

// Whether CSV reads a record-rule line (no CR in it) as other fields or as
// more than one record; a line that is not valid CSV is read alike.
bool reads_otherwise(const std::string& line) {
  std::vector<std::size_t> commas;
  for (std::size_t at = 0, records = 0;; ++records) {
    const CsvRecord record = csv_record(line, at);
    if (!record.valid) return false;
    for (const std::size_t comma : commas_of(record)) commas.push_back(comma);
    if (record.line_end == line.size()) return records > 0 || commas != record_separators(line);
    at = record.next;
  }
}

// Whether the file beginning with `window` is read by the record rules.
bool record_rules(const std::string& window, bool whole) {
  // Whether the first line end, counted each way, is a CR: 1, 0, or -1 when
  // the window does not say.
  const auto carriage_return = [&](std::size_t at) {
    return at == std::string::npos ? (whole ? 1 : -1) : window[at] == '\r' ? 1 : 0;
  };
  std::size_t outside = std::string::npos;
  for (std::size_t at = 0, quotes = 0; at < window.size() && outside == std::string::npos; ++at) {
    quotes += static_cast<std::size_t>(window[at] == '"');
    if (quotes % 2 == 0 && (window[at] == '\r' || window[at] == '\n')) outside = at;
  }
  const int any_count = carriage_return(window.find_first_of("\r\n"));
  const int outside_count = carriage_return(outside);
  if (any_count != 1 && outside_count != 1 && (any_count != -1 || outside_count != -1))
    return false;
  const std::size_t cr = window.find('\r');
  const std::string line = window.substr(0, cr);
  const std::size_t fields = record_separators(line).size() + 1;
  if ((cr != std::string::npos || whole) && (fields < kMinFields || fields > kMaxFields)) {
    return false;
  }
  // CSV's own first record must end where that line does, with the same
  // fields, or CSV must not read it at all.
  const std::size_t mark = window.starts_with(kMark) ? kMark.size() : 0;
  const CsvRecord record = csv_record(window, mark);
  if (!record.valid) return true;
  if (record.line_end == window.size() && !whole) return true;
  if (record.line_end != std::min(cr, window.size())) return false;
  return commas_of(record, mark) == record_separators(window.substr(mark, record.line_end - mark));
}

// Where the record begins that CSV reads a record-rule line to its end
// inside a wrapped field of; npos where it does not, or cannot read it.
std::size_t open_record(const std::string& line) {
  for (std::size_t at = 0;;) {
    const CsvRecord record = csv_record(line, at);
    if (!record.valid) return record.ends_inside ? at : std::string::npos;
    if (record.line_end == line.size()) return std::string::npos;
    at = record.next;
  }
}

// How CSV reads on from `start`, through line ends inside a field: where its
// record ends, or where it cannot read on (npos: the data ends first).
struct CarriedOn {
  bool ends = false;
  std::size_t at = std::string::npos;
};

CarriedOn carried_on(const std::string& data, std::size_t start) {
  const CsvRecord record = csv_record(data, start);
  if (record.valid) return {true, record.line_end};
  return {false, record.invalid_at};
}

// Whether CSV, reading the window from its start, reads a carriage return
// inside a wrapped field and goes on to end that record.
bool carries_line_break(const std::string& window, bool whole) {
  for (std::size_t at = window.starts_with(kMark) ? kMark.size() : 0; at < window.size();) {
    const CsvRecord record = csv_record(window, at);
    if (!record.valid || (record.line_end == window.size() && !whole)) return false;
    for (std::size_t i = 0; i < record.ends.size(); ++i) {
      if (record.wrapped[i] &&
          window.substr(record.starts[i], record.ends[i] - record.starts[i]).find('\r') !=
              std::string::npos) {
        return true;
      }
    }
    at = record.next;
  }
  return false;
}

Expected convert_records(const std::string& data) {
  Expected expected;
  std::string carried;
  std::vector<std::string> lines;
  std::vector<std::size_t> ends;  // where each line's terminator is
  std::string line;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] != '\r') {
      line += data[i];
      continue;
    }
    lines.push_back(line);
    ends.push_back(i);
    line.clear();
    if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
  }
  if (!line.empty()) {
    lines.push_back(line);
    ends.push_back(data.size());
  }
  // A field CSV carries on from a line: the output before that line, and how
  // CSV reads on.
  bool held = false;
  std::size_t held_output = 0;
  CarriedOn held_on;
  const auto fail = [&] {
    if (held) expected.output.resize(held_output);
    expected.completes = false;
    return expected;
  };
  for (std::size_t number = 0; number < lines.size(); ++number) {
    const std::string& record = lines[number];
    const std::vector<std::size_t> separators = record_separators(record);
    const std::size_t fields = record.empty() ? 0 : separators.size() + 1;
    if (fields > kMaxFields) return fail();
    if (held && held_on.at <= ends[number]) {
      if (held_on.ends) return fail();
      held = false;
    }
    if (fields < kMinFields || reads_otherwise(record)) return fail();
    if (const std::size_t start = open_record(record); start != std::string::npos && !held) {
      held = true;
      held_output = expected.output.size();
      held_on = carried_on(data, ends[number] - record.size() + start);
    }
    const std::size_t code_begin = separators[2] + 2;
    const std::size_t code_end = separators[3] - 1;
    const std::string code = record.substr(code_begin, code_end - code_begin);
    recode(code, carried);
    expected.output += record.substr(0, code_begin) + carried + record.substr(code_end) + "\r\n";
  }
  return expected;
}

Expected convert_csv(const std::string& data) {
  Expected expected;
  const std::size_t mark = data.starts_with(kMark) ? kMark.size() : 0;
  expected.output = data.substr(0, mark);
  std::string carried;
  for (std::size_t at = mark; at < data.size();) {
    const CsvRecord record = csv_record(data, at);
    const std::size_t fields = record.ends.size();
    if (!record.valid || data[at] == '\r' || data[at] == '\n' || fields < kMinFields ||
        fields > kMaxFields) {
      expected.completes = false;
      return expected;
    }
    const auto quote = static_cast<std::size_t>(record.wrapped[3]);
    const std::size_t start = record.starts[3] + quote;
    const std::size_t end = record.ends[3] - quote;
    recode(data.substr(start, end - start), carried);
    expected.output +=
        data.substr(at, start - at) + carried + data.substr(end, record.line_end - end) + "\r\n";
    at = record.next;
  }
  return expected;
}

// A plain model of the whole conversion, written from the rules alone. It is
// reference.py again, step for step under the same names, not that model
// itself: the fuzzer runs inside the program's process thousands of times a
// second, where no Python can be called, and a model in C++ shared with the
// end-to-end tests would need a program of its own to be called from Python.
// The code table is the one part stated once for every C++ test
// (code_rule.h), from the same rule as reference.py's new_code; a change to
// one model goes into the other.
Expected reference_conversion(const std::string& data) {
  constexpr std::size_t kWindow = std::size_t{1} << 20;
  const std::string window = data.substr(0, kWindow);
  const bool whole = data.size() <= kWindow;
  return record_rules(window, whole) && !carries_line_break(window, whole) ? convert_records(data)
                                                                           : convert_csv(data);
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

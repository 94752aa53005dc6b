#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"

// A host whose files live in memory, with knobs to make each operation fail.
// Everything the run does to the outside world is recorded in `events`.
class MemoryHost final : public host::Host {
 public:
  static constexpr const char* kDirectory = "/mem";
  static constexpr const char* kInput = "/mem/data.dat";
  static constexpr const char* kOutput = "/mem/data2.dat";

  std::map<std::string, std::string> files;
  std::vector<std::string> events;  // "open data.dat", "notice <text>", "close data2.dat", ...
  std::vector<std::string> causes;

  std::size_t read_chunk = 4096;  // bytes handed out per read
  // Changes data.dat once the first read has handed out its bytes, as a
  // program still writing it would.
  std::function<void(std::string& content)> change_input_after_first_read;
  int input_modifications = 0;                  // the input's modification time, as a count
  std::optional<std::size_t> read_fails_after;  // bytes read before an I/O error
  std::optional<std::size_t> disk_space;        // bytes of output before "disk full"
  bool failed_write_reports_nothing = false;    // as Windows does, whatever it stored
  bool cut_back_fails = false;
  std::function<void()> before_read;  // may throw what no host should
  bool output_not_creatable = false;
  // What data2.dat is as the system describes it: another file, data.dat
  // itself (a hard link), a hard link on a volume that makes IDs up per name,
  // or a file the system cannot describe.
  enum class Output { other, is_input, may_be_input, undescribed } output_is = Output::other;
  bool output_read_only = false;
  // Appends to data.dat just after data2.dat is described, as another program
  // still writing it would.
  bool input_appended_while_output_described = false;
  // Reports data.dat's size and time as they were when it was opened, as a
  // network client's cache of them may.
  bool input_state_stale = false;
  bool flush_fails = false;
  bool output_close_fails = false;

  std::string program_directory() override { return kDirectory; }
  [[nodiscard]] char path_separator() const override { return '/'; }
  std::unique_ptr<host::InputFile> open_input(const std::string& path) override;
  std::unique_ptr<host::OutputFile> open_output(const std::string& path) override;
  void show_notice(std::string_view text) override;
  void report_cause(std::string_view cause) override;

  [[nodiscard]] std::vector<std::string> notices() const;
  void record(const std::string& event) { events.push_back(event); }
};

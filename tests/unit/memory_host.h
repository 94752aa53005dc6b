#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "causes.h"
#include "host.h"

// A host whose files live in memory, with knobs to make each operation fail.
// Everything the run does to the outside world is recorded in `events`.
class MemoryHost final : public host::Host {
 public:
  static constexpr const char* kDirectory = "/mem";
  static constexpr const char* kInput = "/mem/data.dat";
  static constexpr const char* kOutput = "/mem/data2.dat";
  static constexpr const char* kNewOutput = "/mem/data2.dat.renumber-new";

  std::map<std::string, std::string> files;
  std::vector<std::string> events;  // "open data.dat", "notice <text>", "close data2.dat", ...
  std::vector<std::string> causes;

  std::size_t read_chunk = 4096;     // bytes handed out per read
  std::size_t bytes_handed_out = 0;  // by every read, to tell a file read twice
  int output_writes = 0;             // calls, to tell lines held back from the file
  // Changes data.dat once the first read has handed out its bytes, as a
  // program still writing it would.
  std::function<void(std::string& content)> change_input_after_first_read;
  int input_modifications = 0;                  // the input's modification time, as a count
  std::optional<std::size_t> read_fails_after;  // bytes read before an I/O error
  std::optional<std::size_t> disk_space;        // bytes of output before "disk full"
  bool failed_write_reports_nothing = false;    // as Windows does, whatever it stored
  bool cut_back_fails = false;
  std::function<void()> before_read;  // may throw what no host should
  // What the system says when data.dat is opened, when the new output is
  // made, or when it is put in data2.dat's place (with "Permission denied"
  // for its own message), instead of doing it.
  std::optional<Module1::Problem> input_refused;
  std::optional<Module1::Problem> output_refused;
  std::optional<Module1::Problem> put_in_place_refused;
  // Reports data.dat's size and time as they were when it was opened, as a
  // network client's cache of them may.
  bool input_state_stale = false;
  bool flush_fails = false;
  bool output_close_fails = false;
  // What standard error is: no file (a terminal or pipe), or the file of
  // that path (also one that the system describes as another).
  std::optional<std::string> standard_error;
  // Made-up IDs per name: standard error a hard link of data.dat shows
  // another ID and one link, but data.dat's size and times.
  bool ids_made_up = false;

  std::string program_directory() override { return kDirectory; }
  [[nodiscard]] char path_separator() const override { return '/'; }
  std::unique_ptr<host::InputFile> open_input(const std::string& path) override;
  std::unique_ptr<host::OutputFile> open_output(const std::string& path,
                                                std::uint64_t expected_size) override;
  std::optional<host::FileIdentity> identity_of(const std::string& path) override;
  std::optional<host::FileIdentity> diagnostic_file() override;
  void show_notice(std::string_view text) override;
  void report_cause(std::string_view cause) override;

  [[nodiscard]] std::vector<std::string> notices() const;
  void record(const std::string& event) { events.push_back(event); }
  // How the system describes the file of `path`.
  [[nodiscard]] host::FileIdentity described(const std::string& path) const;
};

#include "memory_host.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "causes.h"
#include "failure.h"

namespace {

std::string file_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class MemoryInputFile final : public host::InputFile {
 public:
  MemoryInputFile(MemoryHost& host, std::string path) : host_(host), path_(std::move(path)) {}

  std::size_t read(char* buffer, std::size_t capacity) override {
    std::string& content = host_.files.at(path_);
    if (host_.before_read) host_.before_read();
    if (host_.read_fails_after && offset_ >= *host_.read_fails_after) {
      throw Module1::Failure(path_ + ": Input/output error");
    }
    const std::size_t left = offset_ < content.size() ? content.size() - offset_ : 0;
    const std::size_t count = std::min({capacity, host_.read_chunk, left});
    if (count > 0) content.copy(buffer, count, offset_);
    offset_ += count;
    host_.bytes_handed_out += count;
    if (host_.change_input_after_first_read) {
      std::exchange(host_.change_input_after_first_read, nullptr)(content);
      ++host_.input_modifications;
    }
    return count;
  }
  void close() override { host_.record("close " + file_name(path_)); }
  [[nodiscard]] host::FileIdentity identity() const override { return host_.described(path_); }
  [[nodiscard]] host::FileState state() const override {
    if (host_.input_state_stale) return at_open_;
    return {host_.files.at(path_).size(), host_.input_modifications};
  }

 private:
  MemoryHost& host_;
  std::string path_;
  std::size_t offset_ = 0;
  host::FileState at_open_{host_.files.at(path_).size(), host_.input_modifications};
};

// The new file beside data2.dat, put in its place by a rename.
class MemoryOutputFile final : public host::OutputFile {
 public:
  MemoryOutputFile(MemoryHost& host, std::string path) : host_(host), path_(std::move(path)) {
    host_.files[MemoryHost::kNewOutput];
  }
  MemoryOutputFile(const MemoryOutputFile&) = delete;
  MemoryOutputFile& operator=(const MemoryOutputFile&) = delete;
  ~MemoryOutputFile() override { host_.files.erase(MemoryHost::kNewOutput); }

  // The part of a write that fits is stored, and reported unless the host
  // says that failed writes report nothing.
  void write(const char* data, std::size_t size) override {
    ++host_.output_writes;
    std::string& content = host_.files.at(MemoryHost::kNewOutput);
    if (host_.disk_space && content.size() + size > *host_.disk_space) {
      const std::size_t part = *host_.disk_space - content.size();
      content.append(data, part);
      if (!host_.failed_write_reports_nothing) reported_ += part;
      throw Module1::Failure(path_ + ": No space left on device");
    }
    content.append(data, size);
    reported_ += size;
  }
  [[nodiscard]] std::uint64_t size() const override { return reported_; }
  void cut_back(std::uint64_t size) override {
    if (host_.cut_back_fails) throw Module1::Failure(path_ + ": Input/output error");
    host_.files.at(MemoryHost::kNewOutput).resize(static_cast<std::size_t>(size));
    reported_ = size;
  }
  void flush() override {
    host_.record("flush data2.dat");
    if (host_.flush_fails) throw Module1::Failure(path_ + ": Input/output error");
  }
  void put_in_place() override {
    host_.record("put data2.dat in place");
    if (host_.put_in_place_refused) {
      throw Module1::file_failure(*host_.put_in_place_refused, path_, "Permission denied");
    }
    host_.files[path_] = std::move(host_.files.at(MemoryHost::kNewOutput));
    host_.files.erase(MemoryHost::kNewOutput);
  }
  void close() override {
    host_.record("close " + file_name(path_));
    if (host_.output_close_fails) throw Module1::Failure(path_ + ": Input/output error");
  }

 private:
  MemoryHost& host_;
  std::string path_;
  std::uint64_t reported_ = 0;
};

}  // namespace

std::unique_ptr<host::InputFile> MemoryHost::open_input(const std::string& path) {
  if (input_refused) throw Module1::file_failure(*input_refused, path, "Permission denied");
  if (!files.contains(path)) {
    throw Module1::file_failure(Module1::Problem::missing, path, "No such file or directory");
  }
  record("open " + file_name(path));
  return std::make_unique<MemoryInputFile>(*this, path);
}

std::unique_ptr<host::OutputFile> MemoryHost::open_output(const std::string& path,
                                                          std::uint64_t /*expected_size*/) {
  if (output_refused) throw Module1::file_failure(*output_refused, path, "Permission denied");
  record("open data2.dat");
  return std::make_unique<MemoryOutputFile>(*this, path);
}

// Every file has an ID of its own, its path's place among the files; a
// standard error of made-up ID shows another ID and one link.
host::FileIdentity MemoryHost::described(const std::string& path) const {
  const auto found = files.find(path);
  const auto id = static_cast<std::uint64_t>(1 + std::distance(files.begin(), found));
  const host::FileState state{found->second.size(), path == kInput ? input_modifications : 0};
  return {{1, 0, id}, {}, path, 1, state, 0, true};
}

std::optional<host::FileIdentity> MemoryHost::identity_of(const std::string& path) {
  if (!files.contains(path)) return std::nullopt;
  return described(path);
}

std::optional<host::FileIdentity> MemoryHost::diagnostic_file() {
  if (!standard_error || !files.contains(*standard_error)) return std::nullopt;
  host::FileIdentity identity = described(*standard_error);
  if (ids_made_up) {
    identity.id.low += 1000;
    identity.final_path = "/mem/log.txt";
  }
  return identity;
}

void MemoryHost::show_notice(std::string_view text) { record("notice " + std::string(text)); }

// A standard error that is a file gets the line too.
void MemoryHost::report_cause(std::string_view cause) {
  causes.emplace_back(cause);
  if (standard_error) files[*standard_error] += "renumber: " + std::string(cause) + "\n";
}

std::vector<std::string> MemoryHost::notices() const {
  std::vector<std::string> shown;
  for (const std::string& event : events) {
    if (event.rfind("notice ", 0) == 0) shown.push_back(event.substr(7));
  }
  return shown;
}

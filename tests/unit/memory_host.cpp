#include "memory_host.h"

#include <algorithm>
#include <utility>

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
    if (host_.change_input_after_first_read) {
      std::exchange(host_.change_input_after_first_read, nullptr)(content);
      ++host_.input_modifications;
    }
    return count;
  }
  void close() override { host_.record("close " + file_name(path_)); }
  [[nodiscard]] host::FileIdentity identity() const override {
    return {{1, 0, 1}, {}, path_, 1, state(), 0, true};
  }
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

class MemoryOutputFile final : public host::OutputFile {
 public:
  MemoryOutputFile(MemoryHost& host, std::string path) : host_(host), path_(std::move(path)) {}

  // The part of a write that fits is stored, and reported unless the host
  // says that failed writes report nothing.
  void write(const char* data, std::size_t size) override {
    std::string& content = host_.files[path_];
    if (host_.disk_space && content.size() + size > *host_.disk_space) {
      const std::size_t part = *host_.disk_space - content.size();
      content.append(data, part);
      if (!host_.failed_write_reports_nothing) reported_ += part;
      throw Module1::Failure(path_ + ": No space left on device");
    }
    content.append(data, size);
    reported_ += size;
  }
  [[nodiscard]] host::FileIdentity identity() const override {
    const std::string input = MemoryHost::kInput;
    const host::FileState input_state{
        host_.files.contains(input) ? host_.files.at(input).size() : 0, host_.input_modifications};
    host::FileIdentity identity{{1, 0, 2}, {}, path_, 1, {host_.files[path_].size(), 0}, 0, true};
    switch (host_.output_is) {
      case MemoryHost::Output::other:
        break;
      case MemoryHost::Output::is_input:
        identity = {{1, 0, 1}, {}, path_, 2, input_state, 0, true};
        break;
      case MemoryHost::Output::may_be_input:
        identity.state = input_state;
        break;
      case MemoryHost::Output::undescribed:
        identity.described = false;
        break;
    }
    if (host_.input_appended_while_output_described) {
      host_.files.at(input) += "\"a\",\"b\",\"c\",\"5\",\"e\"\r\n";
      ++host_.input_modifications;
    }
    return identity;
  }
  [[nodiscard]] bool read_only() const override { return host_.output_read_only; }
  void empty(std::uint64_t /*expected_size*/) override { host_.files.at(path_).clear(); }
  [[nodiscard]] std::uint64_t size() const override { return reported_; }
  void cut_back(std::uint64_t size) override {
    if (host_.cut_back_fails) throw Module1::Failure(path_ + ": Input/output error");
    host_.files.at(path_).resize(static_cast<std::size_t>(size));
    reported_ = size;
  }
  void flush() override {
    host_.record("flush " + file_name(path_));
    if (host_.flush_fails) throw Module1::Failure(path_ + ": Input/output error");
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
  if (!files.contains(path)) throw Module1::Failure(path + ": No such file or directory");
  record("open " + file_name(path));
  return std::make_unique<MemoryInputFile>(*this, path);
}

std::unique_ptr<host::OutputFile> MemoryHost::open_output(const std::string& path) {
  if (output_not_creatable) throw Module1::Failure(path + ": Permission denied");
  record("open " + file_name(path));
  files[path];  // created where there was none, emptied by the run alone
  return std::make_unique<MemoryOutputFile>(*this, path);
}

void MemoryHost::show_notice(std::string_view text) { record("notice " + std::string(text)); }

void MemoryHost::report_cause(std::string_view cause) { causes.emplace_back(cause); }

std::vector<std::string> MemoryHost::notices() const {
  std::vector<std::string> shown;
  for (const std::string& event : events) {
    if (event.rfind("notice ", 0) == 0) shown.push_back(event.substr(7));
  }
  return shown;
}

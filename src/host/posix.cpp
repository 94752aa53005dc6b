// The POSIX side of the platform seam, and the program's entry point there.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "failure.h"
#include "host/host.h"
#include "host/notice.h"
#include "run_conversion.h"

namespace host {
namespace {

[[noreturn]] void fail_with_errno(const std::string& path, int error) {
  throw Module1::Failure(path + ": " + std::strerror(error));
}

struct stat stat_of(int fd, const std::string& path) {
  struct stat status {};
  if (fstat(fd, &status) != 0) fail_with_errno(path, errno);
  return status;
}

// Opens without blocking, so that a FIFO without a partner cannot hang the
// run, then switches the descriptor back to blocking I/O.
int open_descriptor(const std::string& path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fd;
  const int status_flags = fcntl(fd, F_GETFL);
  if (status_flags < 0 || fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Owns a descriptor; closes it quietly when the file was not closed on purpose.
class Descriptor {
 public:
  Descriptor(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  [[nodiscard]] int fd() const { return fd_; }
  // Hands the descriptor over to a new owner.
  int release() { return std::exchange(fd_, -1); }
  [[nodiscard]] const std::string& path() const { return path_; }

  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail_with_errno(path_, errno);
  }

 private:
  int fd_;
  std::string path_;
};

class PosixInputFile final : public InputFile {
 public:
  PosixInputFile(int fd, const std::string& path, const struct stat& status)
      : descriptor_(fd, path),
        identity_{static_cast<std::uint64_t>(status.st_dev),
                  static_cast<std::uint64_t>(status.st_ino)} {}

  std::size_t read(char* buffer, std::size_t capacity) override {
    for (;;) {
      const ssize_t count = ::read(descriptor_.fd(), buffer, capacity);
      if (count >= 0) return static_cast<std::size_t>(count);
      if (errno != EINTR) fail_with_errno(descriptor_.path(), errno);
    }
  }

  void close() override { descriptor_.close(); }
  [[nodiscard]] FileIdentity identity() const override { return identity_; }

 private:
  Descriptor descriptor_;
  FileIdentity identity_;
};

class PosixOutputFile final : public OutputFile {
 public:
  PosixOutputFile(int fd, const std::string& path) : descriptor_(fd, path) {}

  void write(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t count = ::write(descriptor_.fd(), data, size);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) fail_with_errno(descriptor_.path(), errno);
      if (count == 0) fail_with_errno(descriptor_.path(), EIO);
      data += count;
      size -= static_cast<std::size_t>(count);
    }
  }

  // Every write went straight to the system. Closing a duplicate descriptor
  // makes file systems that defer errors until close (NFS, for one) report
  // them now, while the file itself stays open.
  void flush() override {
    const int duplicate = ::dup(descriptor_.fd());
    if (duplicate < 0 || ::close(duplicate) != 0) fail_with_errno(descriptor_.path(), errno);
  }

  void close() override { descriptor_.close(); }

 private:
  Descriptor descriptor_;
};

class PosixHost final : public Host {
 public:
  std::string program_directory() override {
    static constexpr const char* kExecutable = "/proc/self/exe";
    std::vector<char> target(256);
    for (;;) {
      const ssize_t length = ::readlink(kExecutable, target.data(), target.size());
      if (length < 0) fail_with_errno(kExecutable, errno);
      if (static_cast<std::size_t>(length) < target.size()) {
        const std::string executable(target.data(), static_cast<std::size_t>(length));
        const std::size_t slash = executable.rfind('/');
        if (slash == std::string::npos || slash == 0) return "/";
        return executable.substr(0, slash);
      }
      target.resize(target.size() * 2);
    }
  }

  [[nodiscard]] char path_separator() const override { return '/'; }

  std::unique_ptr<InputFile> open_input(const std::string& path) override {
    const int fd = open_descriptor(path, O_RDONLY);
    if (fd < 0) fail_with_errno(path, errno);
    Descriptor guard(fd, path);
    const struct stat status = stat_of(fd, path);
    if (S_ISDIR(status.st_mode)) fail_with_errno(path, EISDIR);
    if (!S_ISREG(status.st_mode)) throw Module1::Failure(path + ": not a regular file");
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<PosixInputFile>(guard.release(), path, status);
  }

  std::unique_ptr<OutputFile> open_output(const std::string& path,
                                          const InputFile& input) override {
    // A file this run creates is new and writable. An existing one is opened
    // without truncation and checked before anything in it is lost.
    int fd = open_descriptor(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    const bool created = fd >= 0;
    if (!created && errno == EEXIST) fd = open_descriptor(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0) fail_with_errno(path, errno);
    Descriptor guard(fd, path);
    if (!created) empty_existing_output(fd, path, input);
    return std::make_unique<PosixOutputFile>(guard.release(), path);
  }

  void show_notice(std::string_view text) override {
    if (!show_dialog_notice(text)) show_terminal_notice(text);
  }

  void report_cause(std::string_view cause) override {
    std::fprintf(stderr, "renumber: %.*s\n", static_cast<int>(cause.size()), cause.data());
  }

 private:
  static void empty_existing_output(int fd, const std::string& path, const InputFile& input) {
    const struct stat status = stat_of(fd, path);
    const FileIdentity identity{static_cast<std::uint64_t>(status.st_dev),
                                static_cast<std::uint64_t>(status.st_ino)};
    if (identity == input.identity()) {
      throw Module1::Failure(path + ": is the input file itself; not overwritten");
    }
    if (!S_ISREG(status.st_mode)) return;  // a device or pipe has nothing to empty
    // Without any write permission bit the file is read-only, for root too.
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      throw Module1::Failure(path + ": read-only file; not overwritten");
    }
    int truncated = 0;
    do {
      truncated = ::ftruncate(fd, 0);
    } while (truncated != 0 && errno == EINTR);
    if (truncated != 0) fail_with_errno(path, errno);
  }
};

}  // namespace
}  // namespace host

int main() {
  // A closed standard output must not kill the run while the notice is printed.
  std::signal(SIGPIPE, SIG_IGN);
  host::PosixHost host;
  return Module1::run_conversion(host) == Module1::Outcome::completed ? 0 : 1;
}

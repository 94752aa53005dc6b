// The Linux side of the platform seam, and the program's entry point there.
// Besides POSIX it uses services of Linux alone: /proc/self/exe,
// fallocate and sync_file_range.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "causes.h"
#include "failure.h"
#include "host.h"
#include "host/notice.h"
#include "run_conversion.h"

namespace host {
namespace {

[[noreturn]] void fail_with_errno(const std::string& path, int error) {
  throw Module1::file_failure(Module1::Problem::system, path, std::strerror(error));
}

struct stat stat_of(int fd, const std::string& path) {
  struct stat status {};
  if (fstat(fd, &status) != 0) fail_with_errno(path, errno);
  return status;
}

// Retries a system call that a signal interrupted.
template <typename Call>
int retrying(Call call) {
  int result = 0;
  do {
    result = call();
  } while (result != 0 && errno == EINTR);
  return result;
}

// What the symbolic link `link` names, however long; false where it cannot
// be read, with errno saying why.
bool read_link(const std::string& link, std::string& target) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      target.assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// The path that the system resolves `fd` to, or empty where it cannot say.
std::string final_path_of(int fd) {
  std::string path;
  return read_link("/proc/self/fd/" + std::to_string(fd), path) ? path : std::string();
}

std::int64_t nanoseconds(const struct timespec& time) {
  return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

FileState state_of(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_size), nanoseconds(status.st_mtim)};
}

FileIdentity identity_from(const struct stat& status, std::string final_path) {
  return {{static_cast<std::uint64_t>(status.st_dev), 0, static_cast<std::uint64_t>(status.st_ino)},
          {},
          std::move(final_path),
          static_cast<std::uint32_t>(status.st_nlink),
          state_of(status),
          nanoseconds(status.st_ctim),
          true};
}

// An inode number of 0 is no file's: the file system has none to give.
// Where the file cannot be described at all, that is said.
FileIdentity identity_of(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return {{}, {}, final_path_of(fd), 1, {}, 0, false};
  return identity_from(status, final_path_of(fd));
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The files beside `path` whose names begin with its name and a dot; none
// where the folder cannot be listed.
std::vector<std::string> look_alikes_of(const std::string& path) {
  const std::string prefix = path.substr(path.rfind('/') + 1) + ".";
  std::vector<std::string> names;
  DIR* const directory = ::opendir(directory_of(path).c_str());
  if (directory == nullptr) return names;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name.size() > prefix.size() && name.starts_with(prefix)) names.emplace_back(name);
  }
  ::closedir(directory);
  return names;
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
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()), path_(std::move(other.path_)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&&) = delete;
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
  explicit PosixInputFile(Descriptor&& descriptor) : descriptor_(std::move(descriptor)) {}

  std::size_t read(char* buffer, std::size_t capacity) override {
    for (;;) {
      const ssize_t count = ::read(descriptor_.fd(), buffer, std::min(capacity, kMaxTransfer));
      if (count >= 0) return static_cast<std::size_t>(count);
      if (errno != EINTR) fail_with_errno(descriptor_.path(), errno);
    }
  }

  void close() override { descriptor_.close(); }

  [[nodiscard]] FileIdentity identity() const override { return identity_of(descriptor_.fd()); }

  [[nodiscard]] FileState state() const override {
    return state_of(stat_of(descriptor_.fd(), descriptor_.path()));
  }

 private:
  Descriptor descriptor_;
};

// Whether `fd` is still the file named `path`: another run may have removed
// the name and made a new file of it since `fd` was opened.
bool still_named(int fd, const std::string& path) {
  struct stat by_name {};
  struct stat by_descriptor {};
  return ::lstat(path.c_str(), &by_name) == 0 && ::fstat(fd, &by_descriptor) == 0 &&
         by_name.st_dev == by_descriptor.st_dev && by_name.st_ino == by_descriptor.st_ino;
}

// The new file that replaces data2.dat. The device writes start while the
// conversion goes on, so that the sync before the completion notice waits
// for little. Its causes name data2.dat, the file the user knows.
class PosixOutputFile final : public OutputFile {
 public:
  PosixOutputFile(Descriptor&& descriptor, std::string new_path, std::uint64_t expected_size)
      : descriptor_(std::move(descriptor)), new_path_(std::move(new_path)) {
    reserve(expected_size);
  }

  PosixOutputFile(const PosixOutputFile&) = delete;
  PosixOutputFile& operator=(const PosixOutputFile&) = delete;
  // A file that was not put in place is removed, unless another run has
  // taken its name meanwhile.
  ~PosixOutputFile() override {
    release_reserved_blocks();
    if (!placed_ && descriptor_.fd() >= 0 && still_named(descriptor_.fd(), new_path_)) {
      ::unlink(new_path_.c_str());
    }
  }

  void write(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t count = ::write(descriptor_.fd(), data, std::min(size, kMaxTransfer));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) fail_with_errno(descriptor_.path(), errno);
      if (count == 0) fail_with_errno(descriptor_.path(), EIO);
      data += count;
      size -= static_cast<std::size_t>(count);
      size_ += static_cast<std::uint64_t>(count);
    }
    start_device_writes();
  }

  [[nodiscard]] std::uint64_t size() const override { return size_; }

  void cut_back(std::uint64_t size) override {
    if (retrying([&] { return ::ftruncate(descriptor_.fd(), static_cast<off_t>(size)); }) != 0) {
      fail_with_errno(descriptor_.path(), errno);
    }
    size_ = size;
    reserved_ = false;  // cutting the file also frees the blocks beyond its end
  }

  // Waits until every byte is on the device. Closing a duplicate descriptor
  // first makes file systems that defer errors until close (NFS, for one)
  // report them now, while the file itself stays open.
  void flush() override {
    const int duplicate = ::dup(descriptor_.fd());
    if (duplicate < 0 || ::close(duplicate) != 0) fail_with_errno(descriptor_.path(), errno);
    release_reserved_blocks();
    if (retrying([&] { return ::fdatasync(descriptor_.fd()); }) != 0) {
      fail_with_errno(descriptor_.path(), errno);
    }
  }

  // rename replaces the name data2.dat in one step: a hard link of data.dat
  // only loses that name, a symbolic link is itself replaced, and a crash
  // leaves either the old file or the new one, whole. The folder's sync
  // makes the new name durable.
  void put_in_place() override {
    if (::rename(new_path_.c_str(), descriptor_.path().c_str()) != 0) {
      fail_with_errno(descriptor_.path(), errno);
    }
    placed_ = true;
    sync_directory();
  }

  void close() override { descriptor_.close(); }

 private:
  // Allocates the blocks of about `size` bytes at once, which spares the file
  // system much bookkeeping while the file grows (bench/compare.py, on ext4).
  // The file's size stays what was
  // written, so a run that is killed leaves no tail of zeros.
  void reserve(std::uint64_t size) {
    if (size == 0) return;
    // Where the system cannot, blocks come as the file grows; a failure may
    // still have allocated some, which the trim frees.
    ::fallocate(descriptor_.fd(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
    reserved_ = true;
  }

  // Asks the system to start writing the bytes written since the last call,
  // without waiting for the device, so that the final sync waits for little
  // and the device works while the lines are converted (bench/compare.py).
  // Errors surface at the final sync.
  void start_device_writes() {
    static constexpr std::uint64_t kStep = std::uint64_t{8} << 20;
    if (size_ - started_ < kStep) return;
    ::sync_file_range(descriptor_.fd(), static_cast<off_t>(started_),
                      static_cast<off_t>(size_ - started_), SYNC_FILE_RANGE_WRITE);
    started_ = size_;
  }

  // Frees the reserved blocks beyond the end of what was written.
  void release_reserved_blocks() noexcept {
    if (!reserved_ || descriptor_.fd() < 0) return;
    reserved_ = false;
    retrying([&] { return ::ftruncate(descriptor_.fd(), static_cast<off_t>(size_)); });
  }

  void sync_directory() {
    const std::string directory = directory_of(descriptor_.path());
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail_with_errno(directory, errno);
    Descriptor guard(fd, directory);
    // Some file systems cannot sync a directory at all; theirs is not an error.
    if (retrying([&] { return ::fsync(fd); }) != 0 && errno != EINVAL) {
      fail_with_errno(directory, errno);
    }
  }

  Descriptor descriptor_;  // named by data2.dat's path
  std::string new_path_;
  std::uint64_t size_ = 0;
  std::uint64_t started_ = 0;  // bytes whose device writes have been started
  bool reserved_ = false;      // blocks were allocated beyond what is written
  bool placed_ = false;
};

class PosixHost final : public Host {
 public:
  std::string program_directory() override {
    static constexpr const char* kExecutable = "/proc/self/exe";
    std::string executable;
    if (!read_link(kExecutable, executable)) fail_with_errno(kExecutable, errno);
    return directory_of(executable);  // the link's target is always absolute
  }

  [[nodiscard]] char path_separator() const override { return '/'; }

  std::unique_ptr<InputFile> open_input(const std::string& path) override {
    const int fd = open_descriptor(path, O_RDONLY);
    if (fd < 0 && errno == ENOENT) {
      throw Module1::file_failure(Module1::Problem::missing, path, std::strerror(ENOENT),
                                  look_alikes_of(path));
    }
    if (fd < 0) fail_with_errno(path, errno);
    Descriptor guard(fd, path);
    const struct stat status = stat_of(fd, path);
    if (S_ISDIR(status.st_mode)) fail_with_errno(path, EISDIR);
    if (!S_ISREG(status.st_mode)) throw Module1::file_failure(Module1::Problem::not_regular, path);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // The descriptor stays owned while the file object is allocated.
    return std::make_unique<PosixInputFile>(std::move(guard));
  }

  // Nothing at `path` is opened for writing: the new file beside it is
  // made, and put in its place at the end. What a rename would not ask is
  // asked first: whether data2.dat is a folder, read-only, or a file this
  // user may not write.
  std::unique_ptr<OutputFile> open_output(const std::string& path,
                                          std::uint64_t expected_size) override {
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    if (!exists && errno != ENOENT) fail_with_errno(path, errno);
    const bool regular = exists && S_ISREG(target.st_mode);
    if (exists && S_ISDIR(target.st_mode)) fail_with_errno(path, EISDIR);
    if (regular && read_only_mode(target)) {
      throw Module1::file_failure(Module1::Problem::read_only, path);
    }
    if (regular && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
      fail_with_errno(path, errno);
    }
    if (regular) wait_for_holders(path);
    const std::string new_path = path + kNewFileSuffix;
    Descriptor file = create_new_file(path, new_path);
    // The new file keeps the old one's permissions, and its owner and group
    // where the system lets this user give them.
    if (regular) {
      if (::fchmod(file.fd(), target.st_mode & 07777) != 0) fail_with_errno(path, errno);
      static_cast<void>(::fchown(file.fd(), target.st_uid, target.st_gid));
    }
    return std::make_unique<PosixOutputFile>(std::move(file), new_path, expected_size);
  }

  std::optional<FileIdentity> identity_of(const std::string& path) override {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
      return FileIdentity{{}, {}, {}, 1, {}, 0, false};
    }
    char resolved[PATH_MAX];
    return identity_from(status, ::realpath(path.c_str(), resolved) != nullptr ? resolved : "");
  }

  std::optional<FileIdentity> diagnostic_file() override {
    struct stat status {};
    if (fstat(STDERR_FILENO, &status) != 0) return FileIdentity{{}, {}, {}, 1, {}, 0, false};
    if (!S_ISREG(status.st_mode)) return std::nullopt;
    return host::identity_of(STDERR_FILENO);
  }

  void show_notice(std::string_view text) override {
    if (!show_dialog_notice(text)) show_terminal_notice(text);
  }

  void report_cause(std::string_view cause) override {
    std::fprintf(stderr, "renumber: %.*s\n", static_cast<int>(cause.size()), cause.data());
  }

 private:
  // An exclusive lock for as long as the file is open: a second run started
  // meanwhile (a double double-click, two scripts) is refused instead of
  // removing the first one's new file. A lock held for a moment (a backup or
  // sync client) is waited out. Where the file system has no locks, the run
  // goes on without one, and a second run cannot tell the first one's new
  // file from a killed run's: the first then fails to put it in place.
  static void hold_for_this_run(int fd, const std::string& path) {
    int error = 0;
    const bool held = still_held_after_waiting([&] {
      error = retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0 ? 0 : errno;
      return error == EWOULDBLOCK;
    });
    if (held) throw Module1::file_failure(Module1::Problem::output_held, path);
    if (error != 0 && error != ENOLCK && error != EINVAL && error != EOPNOTSUPP) {
      fail_with_errno(path, error);
    }
  }

  // Without any write permission bit a file is read-only, for root too.
  static bool read_only_mode(const struct stat& status) {
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  }

  // Another program that holds data2.dat with an exclusive lock is waited
  // for, as on Windows; the lock on a file that is about to lose its name
  // means nothing later.
  static void wait_for_holders(const std::string& path) {
    const int fd = open_descriptor(path, O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return;  // unreadable, or a link: what it holds is not replaced
    const Descriptor probe(fd, path);
    hold_for_this_run(fd, path);
  }

  // The new file, made where there was none and held. A file of its name is
  // a run's: one that a run holds fails this one, as a second run; one that
  // no run holds was left by a killed run, and is removed first.
  static Descriptor create_new_file(const std::string& path, const std::string& new_path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      const int fd = open_descriptor(new_path, O_WRONLY | O_CREAT | O_EXCL, 0666);
      if (fd >= 0) {
        Descriptor file(fd, path);
        hold_for_this_run(fd, path);
        // Another run may have taken it for a left-over before the hold.
        if (!still_named(fd, new_path)) break;
        return file;
      }
      if (errno != EEXIST) {
        throw Module1::file_failure(Module1::Problem::no_new_file, path, std::strerror(errno));
      }
      remove_left_over(path, new_path);
    }
    throw Module1::file_failure(Module1::Problem::output_held, path);
  }

  // Removes the new file of a killed run, unless a run holds it. Only its
  // name goes: whatever it is, no byte of it is read or written.
  static void remove_left_over(const std::string& path, const std::string& new_path) {
    const int fd = open_descriptor(new_path, O_RDONLY | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) return;
    if (fd >= 0) {
      const Descriptor left_over(fd, new_path);
      hold_for_this_run(fd, path);
      if (!still_named(fd, new_path)) return;  // another run's by now: tried again
    }
    if (::unlink(new_path.c_str()) != 0 && errno != ENOENT) {
      throw Module1::file_failure(Module1::Problem::no_new_file, path, std::strerror(errno));
    }
  }
};

}  // namespace
}  // namespace host

namespace {

// Opens the null device on each of the standard descriptors that is closed.
// Otherwise the data files would take those numbers, and a notice or a cause
// line printed later would land inside data2.dat.
bool open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is taken, and every lower one is open.
    if (::open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}

}  // namespace

int main() {
  // Without standard descriptors to spare, no data file is touched.
  if (!open_standard_descriptors()) return 1;
  // A closed standard output must not kill the run while the notice is printed.
  std::signal(SIGPIPE, SIG_IGN);
  host::PosixHost host;
  return Module1::run_conversion(host) == Module1::Outcome::completed ? 0 : 1;
}

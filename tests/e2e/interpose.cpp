// Faults that libfiu cannot inject, preloaded into the program by
// run_faults.py (and into the Windows program under Wine by run_wine.py).
// Chosen by environment variables, each an errno value unless said:
//   RENUMBER_FLOCK_ERROR      every flock fails with it;
//   RENUMBER_DUP_CLOSE_ERROR  closing a descriptor made by dup closes it, then
//                             fails with it (as NFS reports a deferred error);
//   RENUMBER_NULL_ERROR       opening /dev/null fails with it;
//   (data2.dat is also the new file that is to take its place)
//   RENUMBER_WRITE_ERROR      every write to data2.dat stores half its bytes,
//                             then fails with it (as a lost network share may);
//   RENUMBER_TRUNCATE_ERROR   ftruncate of data2.dat fails with it, from the call numbered
//                             RENUMBER_TRUNCATE_FROM on (1, the first, unless set);
//   RENUMBER_CLOSE_ERROR      closing data.dat closes it, then fails with it;
//   RENUMBER_SETFL_ERROR      setting the status flags of data.dat fails with it;
//   RENUMBER_SYNC_ERROR       syncing data2.dat (fsync, fdatasync) fails with it;
//   RENUMBER_KILL_AT          the program kills itself with SIGKILL at a chosen
//                             point: "write" (the second write of the new
//                             output), "sync" (its sync), "rename" (before it
//                             is put in data2.dat's place), "renamed" (after);
//   RENUMBER_OTHER_PROGRAM    another program acting at chosen points:
//                             "writes-before-read" appends a record to
//                             data.dat just before its first read;
//                             "truncates-around-descriptions" empties
//                             data.dat and restores its bytes and times around
//                             each description of data2.dat;
//   RENUMBER_FILE_IDS         data.dat and data2.dat report inode 0 ("none"),
//                             as a volume without file IDs does, or an inode
//                             of their name's own and one link ("per-name"), as
//                             the VirtualBox shared folders do; not in the Wine
//                             server, which tells files apart by inode.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

int chosen_error(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : std::atoi(value);
}

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int last_duplicate = -1;

bool named(const char* path, const char* name) {
  const char* slash = std::strrchr(path, '/');
  return std::strcmp(slash != nullptr ? slash + 1 : path, name) == 0;
}

// The path that `fd` is open on; empty when there is none.
std::string path_of(int fd) {
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(link.c_str(), target, sizeof(target));
  return length < 0 ? std::string() : std::string(target, static_cast<size_t>(length));
}

bool is_file(int fd, const char* name) { return named(path_of(fd).c_str(), name); }

// data2.dat, or the new file that is to take its place.
bool is_output(const char* path) {
  return named(path, "data2.dat") || named(path, "data2.dat.renumber-new");
}

bool is_output(int fd) { return is_output(path_of(fd).c_str()); }

bool chosen(const char* name, const char* value) {
  const char* set = std::getenv(name);
  return set != nullptr && std::strcmp(set, value) == 0;
}

void kill_at(const char* point) {
  if (chosen("RENUMBER_KILL_AT", point)) ::kill(::getpid(), SIGKILL);
}

// What data.dat or data2.dat report as their IDs: "none", "per-name", or
// empty for the truth.
std::string file_ids_for(int fd) {
  const char* mode = std::getenv("RENUMBER_FILE_IDS");
  if (mode == nullptr || std::strncmp(program_invocation_short_name, "wineserver", 10) == 0) {
    return {};
  }
  const std::string path = path_of(fd);
  return named(path.c_str(), "data.dat") || named(path.c_str(), "data2.dat") ? mode : "";
}

}  // namespace

extern "C" int flock(int fd, int operation) {
  if (const int error = chosen_error("RENUMBER_FLOCK_ERROR"); error != 0) {
    errno = error;
    return -1;
  }
  return real<int (*)(int, int)>("flock")(fd, operation);
}

extern "C" int open(const char* path, int flags, ...) {
  if (const int error = chosen_error("RENUMBER_NULL_ERROR");
      error != 0 && std::strcmp(path, "/dev/null") == 0) {
    errno = error;
    return -1;
  }
  va_list arguments;
  va_start(arguments, flags);
  const auto mode = static_cast<mode_t>(va_arg(arguments, unsigned));
  va_end(arguments);
  return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

extern "C" int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  const auto argument = va_arg(arguments, long);
  va_end(arguments);
  if (const int error = chosen_error("RENUMBER_SETFL_ERROR");
      error != 0 && command == F_SETFL && is_file(fd, "data.dat")) {
    errno = error;
    return -1;
  }
  return real<int (*)(int, int, ...)>("fcntl")(fd, command, argument);
}

extern "C" int dup(int fd) {
  const int duplicate = real<int (*)(int)>("dup")(fd);
  if (chosen_error("RENUMBER_DUP_CLOSE_ERROR") != 0) last_duplicate = duplicate;
  return duplicate;
}

extern "C" int close(int fd) {
  const int close_error = chosen_error("RENUMBER_CLOSE_ERROR");
  const bool input = close_error != 0 && is_file(fd, "data.dat");
  const int result = real<int (*)(int)>("close")(fd);
  if (result == 0 && input) {
    errno = close_error;
    return -1;
  }
  if (result != 0 || fd != last_duplicate) return result;
  last_duplicate = -1;
  errno = chosen_error("RENUMBER_DUP_CLOSE_ERROR");
  return -1;
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
  const int error = chosen_error("RENUMBER_WRITE_ERROR");
  static int output_writes = 0;
  if (is_output(fd) && ++output_writes == 2) kill_at("write");
  if (error == 0 || !is_output(fd)) return real_write(fd, data, size);
  if (size > 1) real_write(fd, data, size / 2);
  errno = error;
  return -1;
}

extern "C" int ftruncate(int fd, off_t length) {
  static int calls = 0;
  const int from = std::max(chosen_error("RENUMBER_TRUNCATE_FROM"), 1);
  // Only data2.dat's calls count, in whichever process makes them (under Wine, its server).
  if (const int error = chosen_error("RENUMBER_TRUNCATE_ERROR");
      error != 0 && is_output(fd) && ++calls >= from) {
    errno = error;
    return -1;
  }
  return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

namespace {

// Both calls: the Linux program syncs its data, Wine's FlushFileBuffers the file.
int failed_sync(int fd, const char* name) {
  if (is_file(fd, "data2.dat.renumber-new")) kill_at("sync");
  const int error = chosen_error("RENUMBER_SYNC_ERROR");
  if (error == 0 || !is_output(fd)) return real<int (*)(int)>(name)(fd);
  errno = error;
  return -1;
}

}  // namespace

extern "C" int fsync(int fd) { return failed_sync(fd, "fsync"); }

extern "C" int fdatasync(int fd) { return failed_sync(fd, "fdatasync"); }

extern "C" int rename(const char* from, const char* to) {
  const bool output = named(to, "data2.dat");
  if (output) kill_at("rename");
  const int result = real<int (*)(const char*, const char*)>("rename")(from, to);
  if (output) kill_at("renamed");
  return result;
}

namespace {

// The file `name` beside `path`.
std::string beside(const std::string& path, const char* name) {
  return path.substr(0, path.rfind('/') + 1) + name;
}

// Appends a record to data.dat the first time it is read once the new output
// is made (Wine may read a file before the program asks).
void write_before_first_read(int fd) {
  static bool written = false;
  if (written || !chosen("RENUMBER_OTHER_PROGRAM", "writes-before-read") ||
      !is_file(fd, "data.dat") ||
      access(beside(path_of(fd), "data2.dat.renumber-new").c_str(), F_OK) != 0) {
    return;
  }
  written = true;
  const int data =
      real<int (*)(const char*, int, ...)>("open")(path_of(fd).c_str(), O_WRONLY | O_APPEND);
  static const char kRecord[] = "\"w\",\"x\",\"y\",\"5\",\"z\"\r\n";
  real<ssize_t (*)(int, const void*, size_t)>("write")(data, kRecord, sizeof(kRecord) - 1);
  real<int (*)(int)>("close")(data);
}

// Runs `describe` on `path` with data.dat beside it emptied, then restores
// its bytes and its times, as another program may do unseen.
template <typename Describe>
int with_input_emptied(const char* path, Describe describe) {
  if (path == nullptr || !chosen("RENUMBER_OTHER_PROGRAM", "truncates-around-descriptions") ||
      !named(path, "data2.dat")) {
    return describe();
  }
  const std::string input = beside(path, "data.dat");
  struct stat before {};
  std::string bytes;
  if (real<int (*)(const char*, struct stat*)>("stat")(input.c_str(), &before) == 0) {
    bytes.resize(static_cast<size_t>(before.st_size));
    const int data = real<int (*)(const char*, int, ...)>("open")(input.c_str(), O_RDWR);
    const auto size = static_cast<ssize_t>(bytes.size());
    if (pread(data, bytes.data(), bytes.size(), 0) != size ||
        real<int (*)(int, off_t)>("ftruncate")(data, 0) != 0) {
      std::abort();
    }
    const int result = describe();
    if (pwrite(data, bytes.data(), bytes.size(), 0) != size) std::abort();
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    futimens(data, times);
    real<int (*)(int)>("close")(data);
    return result;
  }
  return describe();
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  write_before_first_read(fd);
  return real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

extern "C" int stat(const char* path, struct stat* status) {
  return with_input_emptied(
      path, [&] { return real<int (*)(const char*, struct stat*)>("stat")(path, status); });
}

extern "C" int fstat(int fd, struct stat* status) {
  const std::string described = path_of(fd);
  const int result = with_input_emptied(
      described.c_str(), [&] { return real<int (*)(int, struct stat*)>("fstat")(fd, status); });
  const std::string ids = result == 0 ? file_ids_for(fd) : "";
  if (ids == "none") status->st_ino = 0;
  if (ids == "per-name") {
    status->st_ino = std::hash<std::string>{}(path_of(fd)) | 1;
    status->st_nlink = 1;
  }
  return result;
}

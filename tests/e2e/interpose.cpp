// Faults that libfiu cannot inject, preloaded into the program by
// run_faults.py. Chosen by environment variables, each an errno value:
//   RENUMBER_FLOCK_ERROR      every flock fails with it;
//   RENUMBER_DUP_CLOSE_ERROR  closing a descriptor made by dup closes it, then
//                             fails with it (as NFS reports a deferred error);
//   RENUMBER_NULL_ERROR       opening /dev/null fails with it.
#include <dlfcn.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

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

extern "C" int dup(int fd) {
  const int duplicate = real<int (*)(int)>("dup")(fd);
  if (chosen_error("RENUMBER_DUP_CLOSE_ERROR") != 0) last_duplicate = duplicate;
  return duplicate;
}

extern "C" int close(int fd) {
  const int result = real<int (*)(int)>("close")(fd);
  if (result != 0 || fd != last_duplicate) return result;
  last_duplicate = -1;
  errno = chosen_error("RENUMBER_DUP_CLOSE_ERROR");
  return -1;
}

#include <unistd.h>

#include <cstdio>

#include "host/notice.h"

namespace host {
namespace {

// Said on a line of its own, so that the notice itself stays as it is.
constexpr const char* kPressEnter = "（Enter キーを押すと終わります）\n";

}  // namespace

void show_terminal_notice(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  // Only a user who sees the notice and can answer it is asked to: batch use,
  // pipes and output redirected to a file end at once.
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) return;
  std::fputs(kPressEnter, stdout);
  std::fflush(stdout);
  for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
  }
}

}  // namespace host

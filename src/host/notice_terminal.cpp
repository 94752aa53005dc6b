#include <unistd.h>

#include <cstdio>

#include "host/notice.h"

namespace host {

void show_terminal_notice(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (isatty(STDIN_FILENO) == 0) return;  // batch use: nobody to acknowledge it
  for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
  }
}

}  // namespace host

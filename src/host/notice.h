#pragma once

#include <string_view>

// The ways a notice reaches the user on a desktop system without a message
// box service of its own.
namespace host {

// Shows the notice in a modal dialog and returns once it is dismissed. False,
// showing nothing, when no display can be opened (or no dialog toolkit was
// built in).
bool show_dialog_notice(std::string_view text);

// Prints the notice and a newline on standard output. When standard input and
// standard output are both a terminal, then says on a line of its own that it
// waits for Enter, and waits for it (or the end of input).
void show_terminal_notice(std::string_view text);

}  // namespace host

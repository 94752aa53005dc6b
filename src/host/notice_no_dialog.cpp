#include "host/notice.h"

namespace host {

// Built without a dialog toolkit: notices always go to the terminal.
bool show_dialog_notice(std::string_view /*text*/) { return false; }

}  // namespace host

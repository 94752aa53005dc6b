// The notice as a GTK 3 message dialog. GTK is loaded only when a notice is
// to be shown on a desktop: a run in a terminal or without a display never
// maps the desktop libraries (tens of them, and megabytes of memory), and the
// program still runs where GTK is not installed at all.

#define G_DISABLE_CAST_CHECKS  // GTK_WINDOW() and friends become plain casts
#include <dlfcn.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <string>

#include "host/notice.h"

namespace host {
namespace {

// The few GTK functions the dialog needs, looked up in the loaded library.
struct Gtk {
  decltype(&gtk_init_check) init_check;
  decltype(&gtk_message_dialog_new) message_dialog_new;
  decltype(&gtk_window_set_title) window_set_title;
  decltype(&gtk_window_set_position) window_set_position;
  decltype(&gtk_window_set_keep_above) window_set_keep_above;
  decltype(&gtk_window_set_skip_taskbar_hint) window_set_skip_taskbar_hint;
  decltype(&gtk_window_present) window_present;
  decltype(&gtk_dialog_set_default_response) dialog_set_default_response;
  decltype(&gtk_dialog_run) dialog_run;
  decltype(&gtk_widget_destroy) widget_destroy;
  decltype(&gtk_events_pending) events_pending;
  decltype(&gtk_main_iteration) main_iteration;
};

template <typename Function>
bool look_up(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

bool load_gtk(Gtk& gtk) {
  void* library = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  return look_up(library, "gtk_init_check", gtk.init_check) &&
         look_up(library, "gtk_message_dialog_new", gtk.message_dialog_new) &&
         look_up(library, "gtk_window_set_title", gtk.window_set_title) &&
         look_up(library, "gtk_window_set_position", gtk.window_set_position) &&
         look_up(library, "gtk_window_set_keep_above", gtk.window_set_keep_above) &&
         look_up(library, "gtk_window_set_skip_taskbar_hint", gtk.window_set_skip_taskbar_hint) &&
         look_up(library, "gtk_window_present", gtk.window_present) &&
         look_up(library, "gtk_dialog_set_default_response", gtk.dialog_set_default_response) &&
         look_up(library, "gtk_dialog_run", gtk.dialog_run) &&
         look_up(library, "gtk_widget_destroy", gtk.widget_destroy) &&
         look_up(library, "gtk_events_pending", gtk.events_pending) &&
         look_up(library, "gtk_main_iteration", gtk.main_iteration);
}

bool desktop_session() {
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
}

}  // namespace

bool show_dialog_notice(std::string_view text) {
  Gtk gtk{};
  if (!desktop_session() || !load_gtk(gtk)) return false;
  if (gtk.init_check(nullptr, nullptr) == FALSE) return false;  // the display cannot be opened

  const std::string message(text);
  // A message dialog of type "other" has no icon; OK, Enter, Escape and the
  // window's close button each end the dialog's run.
  GtkWidget* dialog = gtk.message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_OK, "%s", message.c_str());
  gtk.window_set_title(GTK_WINDOW(dialog), "renumber");
  gtk.window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk.dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  // In front of every window: after a long run the user may be in another
  // program, and data2.dat stays held until the notice is dismissed.
  gtk.window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  // In the taskbar like any window (a message dialog is kept out of it), so
  // that one hidden behind a window or on another workspace can be found.
  gtk.window_set_skip_taskbar_hint(GTK_WINDOW(dialog), FALSE);
  gtk.window_present(GTK_WINDOW(dialog));
  gtk.dialog_run(GTK_DIALOG(dialog));
  gtk.widget_destroy(dialog);
  // Let the window vanish from the screen before the program goes on.
  while (gtk.events_pending() != FALSE) gtk.main_iteration();
  return true;
}

}  // namespace host

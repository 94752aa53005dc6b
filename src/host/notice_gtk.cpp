#include <gtk/gtk.h>

#include <string>

#include "host/notice.h"

namespace host {

bool show_dialog_notice(std::string_view text) {
  if (gtk_init_check(nullptr, nullptr) == FALSE) return false;  // no display

  const std::string message(text);
  // A message dialog of type "other" has no icon; OK, Enter, Escape and the
  // window's close button each end gtk_dialog_run.
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_OK, "%s", message.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "renumber");
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  // Let the window vanish from the screen before the program goes on.
  while (gtk_events_pending() != FALSE) gtk_main_iteration();
  return true;
}

}  // namespace host

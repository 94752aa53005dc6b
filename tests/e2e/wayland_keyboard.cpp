// A keyboard for a headless Wayland compositor: it joins the seat once, when
// it starts, before any window under test maps, then presses one key for each
// line read from standard input ("Return" or "Escape") and answers "sent" once
// the compositor has taken the press and the release. A key pressed as its
// keyboard joins can be lost: wtype, which joins and types at once, never
// reached a GTK 3 dialog.
//
// Debian ships no description of the virtual keyboard protocol, so its two
// interfaces are written out here, as wayland-scanner would.
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

namespace {

const wl_interface* kNoTypes[4] = {};  // wl_message wants them writable
const wl_message kKeyboardRequests[] = {
    {"keymap", "uhu", kNoTypes},
    {"key", "uuu", kNoTypes},
    {"modifiers", "uuuu", kNoTypes},
    {"destroy", "", kNoTypes},
};
const wl_interface kKeyboardInterface = {"zwp_virtual_keyboard_v1", 1, 4,
                                         kKeyboardRequests,         0, nullptr};
const wl_interface* kCreateTypes[] = {&wl_seat_interface, &kKeyboardInterface};
const wl_message kManagerRequests[] = {{"create_virtual_keyboard", "on", kCreateTypes}};
const wl_interface kManagerInterface = {
    "zwp_virtual_keyboard_manager_v1", 1, 1, kManagerRequests, 0, nullptr};

struct Globals {
  wl_seat* seat = nullptr;
  wl_proxy* manager = nullptr;
};

void announce(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  auto* globals = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && globals->seat == nullptr)
    globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  if (std::strcmp(interface, kManagerInterface.name) == 0)
    globals->manager =
        static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kManagerInterface, 1));
}

void withdraw(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {announce, withdraw};

// The keymap of a US keyboard, in a file the compositor maps.
bool send_keymap(wl_proxy* keyboard) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap =
      context ? xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
  char* text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
  const int file = memfd_create("keymap", MFD_CLOEXEC);
  const size_t size = text ? std::strlen(text) + 1 : 0;
  const bool written = text && file >= 0 && write(file, text, size) == static_cast<ssize_t>(size);
  if (written)
    wl_proxy_marshal_flags(keyboard, 0, nullptr, 1, 0, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, file,
                           static_cast<uint32_t>(size));
  std::free(text);
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  if (file >= 0) close(file);
  return written;
}

uint32_t milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fputs("wayland_keyboard: no Wayland display\n", stderr);
    return 1;
  }
  Globals globals;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &globals);
  wl_display_roundtrip(display);
  if (globals.seat == nullptr || globals.manager == nullptr) {
    std::fputs("wayland_keyboard: the compositor offers no seat or no virtual keyboard\n", stderr);
    return 1;
  }
  wl_proxy* keyboard =
      wl_proxy_marshal_flags(globals.manager, 0, &kKeyboardInterface, 1, 0, globals.seat, nullptr);
  if (!send_keymap(keyboard) || wl_display_roundtrip(display) < 0) {
    std::fputs("wayland_keyboard: the keymap was not taken\n", stderr);
    return 1;
  }
  std::cout << "ready" << std::endl;
  // Linux input event codes, as the keymap's evdev keycodes less 8.
  for (std::string name; std::getline(std::cin, name);) {
    const uint32_t code = name == "Return" ? 28 : name == "Escape" ? 1 : 0;
    if (code == 0) {
      std::cerr << "wayland_keyboard: unknown key " << name << '\n';
      return 1;
    }
    for (const uint32_t state : {WL_KEYBOARD_KEY_STATE_PRESSED, WL_KEYBOARD_KEY_STATE_RELEASED})
      wl_proxy_marshal_flags(keyboard, 1, nullptr, 1, 0, milliseconds(), code, state);
    if (wl_display_roundtrip(display) < 0) return 1;
    std::cout << "sent" << std::endl;
  }
  wl_proxy_marshal_flags(keyboard, 3, nullptr, 1, WL_MARSHAL_FLAG_DESTROY);
  wl_proxy_destroy(globals.manager);
  wl_seat_destroy(globals.seat);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return 0;
}

#include "app/qt_platform.h"

#include <cstring>

namespace nerlo::app {

namespace {
bool Set(const char* value) { return value != nullptr && value[0] != '\0'; }
}  // namespace

const char* QtPlatformOverride(const char* qt_qpa_platform, const char* xdg_session_type,
                               const char* wayland_display, const char* display) {
  if (Set(qt_qpa_platform) || !Set(display)) return nullptr;
  const bool wayland =
      (xdg_session_type != nullptr && std::strcmp(xdg_session_type, "wayland") == 0) ||
      Set(wayland_display);
  return wayland ? "xcb" : nullptr;
}

bool DisplayNamed(const char* qt_qpa_platform, const char* wayland_display, const char* display,
                  bool platform_argument) {
  return platform_argument || Set(qt_qpa_platform) || Set(wayland_display) || Set(display);
}

}  // namespace nerlo::app

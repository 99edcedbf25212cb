// Which Qt platform plugin the program asks for before the application object exists.
#pragma once

namespace nerlo::app {

// "xcb" (X11 through XWayland) on a Wayland session that has an X display, so that windows
// can be placed where the program puts them; nullptr to leave Qt's own choice. A platform that
// the user set in QT_QPA_PLATFORM is always kept. Arguments are the environment's values
// (nullptr when unset).
const char* QtPlatformOverride(const char* qt_qpa_platform, const char* xdg_session_type,
                               const char* wayland_display, const char* display);

// True when Qt has something to show windows on: a platform the user chose (QT_QPA_PLATFORM,
// or Qt's -platform argument: offscreen, vnc, ...) or an X or Wayland display named in the
// environment. Whether that display can be opened is Qt's to find out.
bool DisplayNamed(const char* qt_qpa_platform, const char* wayland_display, const char* display,
                  bool platform_argument);

}  // namespace nerlo::app

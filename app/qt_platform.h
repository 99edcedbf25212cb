// Which Qt platform plugin the program asks for before the application object exists.
#pragma once

namespace nerlo::app {

// "xcb" (X11 through XWayland) on a Wayland session that has an X display, so that windows
// can be placed where the program puts them; nullptr to leave Qt's own choice. A platform that
// the user set in QT_QPA_PLATFORM is always kept. Arguments are the environment's values
// (nullptr when unset).
const char* QtPlatformOverride(const char* qt_qpa_platform, const char* xdg_session_type,
                               const char* wayland_display, const char* display);

}  // namespace nerlo::app

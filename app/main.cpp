// nerlo: the desktop program. Creates the five windows hidden, shows the launcher and runs the
// event loop until the launcher is closed.
#include <QApplication>
#include <cstdlib>

#include "windows/artwork.h"
#include "windows/launcher.h"
#include "app/qt_message_queue.h"
#include "app/qt_platform.h"
#include "platform/platform.h"
#include "windows/forms.h"

int main(int argc, char** argv) {
  // Window placement needs X11: on a Wayland session use XWayland, unless the user chose.
  if (const char* platform = nerlo::app::QtPlatformOverride(
          std::getenv("QT_QPA_PLATFORM"), std::getenv("XDG_SESSION_TYPE"),
          std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY")))
    qputenv("QT_QPA_PLATFORM", platform);

  QApplication app(argc, argv);
  QApplication::setApplicationName("Nerlo");
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(nerlo::app::ApplicationIcon());
  nerlo::windows::ApplyDesktopLook(app);

  nerlo::app::QtMessageQueue queue;
  nerlo::platform::InstallMessageQueue(&queue);
  nerlo::CreateForms(nerlo::platform::ProgramDirectory());
  nerlo::Form1->ShowForm();
  const int status = QApplication::exec();
  nerlo::DestroyForms();
  nerlo::platform::InstallMessageQueue(nullptr);
  return status;
}

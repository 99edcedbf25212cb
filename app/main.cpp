// nerlo: the desktop program. Creates the five windows hidden, shows the launcher and runs the
// event loop until the launcher is closed.
#include <QApplication>

#include "app/artwork.h"
#include "app/launcher.h"
#include "app/qt_message_queue.h"
#include "platform/platform.h"
#include "windows/forms.h"

int main(int argc, char** argv) {
  // Window placement needs X11: on a Wayland session use XWayland, unless the user chose.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
      (qgetenv("XDG_SESSION_TYPE") == "wayland" || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) &&
      !qEnvironmentVariableIsEmpty("DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "xcb");

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

// nerlo: the desktop program. Creates the five windows hidden, shows the launcher (or, given
// paths, scans them at once) and runs the event loop until the launcher is closed.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/qt_message_queue.h"
#include "app/qt_platform.h"
#include "platform/platform.h"
#include "windows/artwork.h"
#include "windows/form_base.h"
#include "windows/forms.h"
#include "windows/launcher.h"

namespace {

// While the application object is made, Qt's messages are held back: a display that cannot be
// opened ends the program with one line of its own instead of Qt's fatal message and an abort.
bool starting = true;
std::vector<QString> held_messages;

void StartUpMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (!starting) {
    std::fputs((qFormatLogMessage(type, context, text) + "\n").toLocal8Bit().constData(), stderr);
    return;
  }
  if (type == QtFatalMsg) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') display = std::getenv("WAYLAND_DISPLAY");
    const std::string line = nerlo::app::NoDisplayText(display != nullptr ? display : "");
    std::fputs(line.c_str(), stderr);
    std::_Exit(1);
  }
  held_messages.push_back(qFormatLogMessage(type, context, text));
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool PlatformArgument(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "-platform" || arg == "--platform") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using nerlo::app::CommandLine;
  const std::vector<std::string> given = Arguments(argc, argv);
  if (nerlo::app::AsksForTextOnly(given)) {
    const CommandLine command = nerlo::app::ParseCommandLine(given);
    std::fputs(command.action == CommandLine::Action::kHelp ? nerlo::app::UsageText().c_str()
                                                            : nerlo::app::VersionText().c_str(),
               stdout);
    return 0;
  }
  if (!nerlo::app::DisplayNamed(std::getenv("QT_QPA_PLATFORM"), std::getenv("WAYLAND_DISPLAY"),
                                std::getenv("DISPLAY"), PlatformArgument(given))) {
    std::fputs(nerlo::app::NoDisplayText("").c_str(), stderr);
    return 1;
  }

  // Window placement needs X11: on a Wayland session use XWayland, unless the user chose.
  if (const char* platform = nerlo::app::QtPlatformOverride(
          std::getenv("QT_QPA_PLATFORM"), std::getenv("XDG_SESSION_TYPE"),
          std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY")))
    qputenv("QT_QPA_PLATFORM", platform);

  qInstallMessageHandler(StartUpMessages);
  QApplication app(argc, argv);
  starting = false;
  qInstallMessageHandler(nullptr);
  // Qt has taken its own arguments out of argv; the rest are the program's.
  const CommandLine command = nerlo::app::ParseCommandLine(Arguments(argc, argv));
  if (command.action == CommandLine::Action::kError) {
    std::fputs(("nerlo: " + command.error + " (nerlo --help tells the usage)\n").c_str(), stderr);
    return 2;
  }
  for (const QString& message : held_messages)
    std::fputs((message + "\n").toLocal8Bit().constData(), stderr);

  QApplication::setApplicationName("Nerlo");
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(nerlo::windows::ApplicationIcon());
  nerlo::windows::ApplyDesktopLook(app);

  nerlo::app::QtMessageQueue queue;
  nerlo::platform::InstallMessageQueue(&queue);
  nerlo::CreateForms(nerlo::platform::ProgramDirectory());
  if (command.action == CommandLine::Action::kLauncher) {
    nerlo::Form1->ShowForm();
  } else {
    // The scan runs inside the event loop, as one started from the launcher does.
    QTimer::singleShot(0, [&command] { nerlo::app::StartCommandLineScan(command); });
  }
  const int status = QApplication::exec();
  nerlo::DestroyForms();
  nerlo::platform::InstallMessageQueue(nullptr);
  return status;
}

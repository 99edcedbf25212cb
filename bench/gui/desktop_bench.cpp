// nerlo-desktop-bench: drives the real windows of the desktop program for bench/gui_bench.sh.
//
//   nerlo-desktop-bench scan DB_DIR FOLDER RUNS
//       Scans FOLDER RUNS times as a user would ("Scan", "Folder", OK) with "Ignore them" and
//       heuristics on, databases from DB_DIR; prints one line per run:
//       "seconds scanned infected".
//   nerlo-desktop-bench stop DB_DIR FOLDER INTERVAL_MS
//       Scans FOLDER and, every INTERVAL_MS while the walk runs, clicks Stop from
//       another thread's timing (answered No); prints one line per question:
//       "latency_ms", the time from the click being posted to the question being asked.
#include <QApplication>
#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "windows/launcher.h"
#include "app/qt_message_queue.h"
#include "windows/dialog_service.h"
#include "windows/forms.h"
#include "windows/results_dialog.h"
#include "windows/scan_target_dialog.h"
#include "windows/scanner_window.h"
#include "windows/settings_dialog.h"

using namespace nerlo;
using Clock = std::chrono::steady_clock;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: nerlo-desktop-bench scan DB_DIR FOLDER RUNS\n"
               "       nerlo-desktop-bench stop DB_DIR FOLDER INTERVAL_MS\n");
  return 2;
}

void ChooseIgnoreWithHeuristics() {
  Form4->CheckBox1->setChecked(true);
  Form4->RadioButton3->setChecked(true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return Usage();
  const std::string mode = argv[1];
  const std::string db = std::string(argv[2]) + "/";
  const std::string target = argv[3];
  const int count = std::atoi(argv[4]);
  if ((mode != "scan" && mode != "stop") || count <= 0) return Usage();

  // Settings of the bench's own, never the user's.
  const std::string config = std::filesystem::temp_directory_path() / "nerlo-desktop-bench";
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config));

  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  windows::ApplyDesktopLook(app);
  app::QtMessageQueue queue;
  platform::InstallMessageQueue(&queue);
  windows::DialogService::SetScripted(true);
  CreateForms(db);
  Form1->ShowForm();
  ChooseIgnoreWithHeuristics();

  if (mode == "scan") {
    for (int run = 0; run < count; ++run) {
      Form1->FlatButton1->click();
      Form2->RadioButton3->setChecked(true);
      windows::DialogService::SetNextDirectory(target);
      const auto start = Clock::now();
      Form2->Button1->click();
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      std::printf("%.3f %d %d\n", seconds, Form3->ScannedCount(), Form3->InfectedCount());
      std::fflush(stdout);
      Form3->close();
      ChooseIgnoreWithHeuristics();
    }
  } else {
    for (int i = 0; i < 100000; ++i) windows::DialogService::SetNextAnswer(QMessageBox::No);
    std::atomic<bool> walking{true};
    std::mutex mutex;
    Clock::time_point posted{};
    windows::DialogService::OnMessage = [&](const windows::DialogService::Message&) {
      const auto now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex);
      std::printf("%.2f\n", std::chrono::duration<double, std::milli>(now - posted).count());
      std::fflush(stdout);
    };
    std::thread clicker([&] {
      while (walking) {
        std::this_thread::sleep_for(std::chrono::milliseconds(count));
        if (!walking) break;
        std::lock_guard<std::mutex> lock(mutex);
        posted = Clock::now();
        // Arrives through the event queue, as a click from the window system does.
        QMetaObject::invokeMethod(Form3->SpeedButton1, "click", Qt::QueuedConnection);
      }
    });
    Form1->FlatButton1->click();
    Form2->RadioButton3->setChecked(true);
    windows::DialogService::SetNextDirectory(target);
    Form2->Button1->click();
    walking = false;
    clicker.join();
    std::fprintf(stderr, "scanned %d\n", Form3->ScannedCount());
  }
  for (QWidget* w : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form4, Form5}) w->hide();
  DestroyForms();
  platform::InstallMessageQueue(nullptr);
  return 0;
}

// The updater's window: where the signatures come from, the installed set, a progress bar
// with bytes and rate, a Cancel button, and the outcome in plain words.
//
// Start() runs the update on a thread of its own; every change of the window happens on the
// user-interface thread. Cancel asks the run to stop and turns into Close once the run has
// ended; closing the window during a run cancels it first. Lives on the user-interface thread.
#pragma once

#include <QWidget>
#include <atomic>
#include <functional>
#include <thread>

#include "kestry/progress_text.h"
#include "update/set_store.h"
#include "update/updater.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace nerlo::kestry {

class UpdateWindow : public QWidget {
 public:
  // installed: what the root holds before the run, shown as the installed set.
  UpdateWindow(update::UpdateOptions options, const update::InstalledSet& installed);
  ~UpdateWindow() override;

  // Starts the run. on_line (may be empty) receives the same progress and result lines that
  // kestry prints without a display, on the user-interface thread.
  void Start(std::function<void(const std::string& line, bool is_error)> on_line);

  // The exit status of the ended run (ExitStatusOf), 1 while it runs.
  int ExitStatus() const { return exit_status_; }
  bool Finished() const { return finished_; }

  QPushButton* Button() const { return button_; }
  QLabel* Outcome() const { return outcome_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowStep(const std::string& step);
  void ShowBytes(uint64_t done, uint64_t total);
  void ShowResult(const update::UpdateResult& result);

  update::UpdateOptions options_;
  std::function<void(const std::string&, bool)> on_line_;
  std::thread worker_;
  std::atomic<bool> cancel_{false};
  bool finished_ = false;
  bool close_when_done_ = false;
  int exit_status_ = 1;
  RateMeter rate_;
  RateMeter::Clock::time_point last_line_{};
  uint64_t last_done_ = UINT64_MAX;

  QLabel* installed_ = nullptr;
  QLabel* step_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QLabel* bytes_ = nullptr;
  QLabel* outcome_ = nullptr;
  QPushButton* button_ = nullptr;
};

}  // namespace nerlo::kestry

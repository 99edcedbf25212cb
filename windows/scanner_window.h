// The scanner window: the result list, the status bar with the file in hand and the counters,
// and the Stop button. It owns the scan run and is the view that the run writes to.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <array>
#include <memory>
#include <string>

#include "scan/scan_run.h"
#include "scan/scan_view.h"
#include "windows/form_base.h"

class QSizeGrip;

namespace nerlo::windows {

// A report-style list whose columns share its width in equal parts, the first one also taking
// the remainder, divided again at every change of size.
class TListView : public QTreeWidget {
 public:
  explicit TListView(QWidget* parent);
  void resizeEvent(QResizeEvent* event) override;
  void DivideColumns();
};

// A status bar of panels with raised bevels. Panel edges are cumulative from the left; the
// last panel runs from the end of the one before it to the right end of the bar. A size grip
// sits at the right end.
class TStatusBar : public QWidget {
 public:
  TStatusBar(const std::array<int, 5>& widths, const std::array<QString, 5>& texts,
             QWidget* parent);
  QString PanelText(int panel) const { return texts_[static_cast<size_t>(panel)]; }
  void SetPanelText(int panel, const QString& text);
  // The panel's bounds in the bar's coordinates.
  QRect PanelRect(int panel) const;
  QSizeGrip* SizeGrip() const { return grip_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::array<int, 5> widths_;
  std::array<QString, 5> texts_;
  QSizeGrip* grip_;
};

class TForm3 : public TFormBase, public scan::ScanView {
 public:
  explicit TForm3(std::string program_directory);
  ~TForm3() override;

  QWidget* CoolBar1;
  QWidget* ToolBar1;
  QToolButton* SpeedButton1;  // Stop
  QWidget* ToolButton1;       // separator
  TListView* ListView1;
  TStatusBar* bb;

  // The scan run and its walk.
  scan::TScanRun& Run() { return *run_; }
  scan::TFileFind& ff() { return run_->ff; }
  int32_t ScannedCount() const { return run_->ScannedCount(); }
  int32_t InfectedCount() const { return run_->InfectedCount(); }
  int32_t RemovedCount() const { return run_->RemovedCount(); }

  void SpeedButton1Click();

  // ScanView. Panel texts are painted at most once per screen refresh; rows at once.
  void AddResultRow(const std::string& location, const std::string& diagnostic,
                    const std::string& action) override;
  void SetPanelText(int panel, const std::string& text) override;
  void FileNotExamined(const std::string& path, const std::string& reason) override;

  // Paints the panel texts still waiting for the next refresh.
  void FlushPanels();

 protected:
  void FormShow() override;
  void FormClose(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Reads the settings dialog's controls at the moment of use (the dialog is created after
  // this window).
  class SettingsOfForm4 : public scan::ScanSettings {
   public:
    bool UseHeuristics() const override;
    bool DeleteThem() const override;
  };

  void LayOut();

  SettingsOfForm4 settings_;
  // Where the shipped databases are; installed signature sets are looked for at every show.
  std::string program_directory_;
  std::unique_ptr<scan::TScanRun> run_;
  std::array<std::string, 5> pending_;
  std::array<bool, 5> dirty_{};
  QTimer paint_timer_;
};

}  // namespace nerlo::windows

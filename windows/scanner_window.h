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
#include <vector>

#include "scan/quarantine.h"
#include "scan/scan_run.h"
#include "scan/scan_target.h"
#include "scan/scan_view.h"
#include "windows/form_base.h"
#include "windows/results_dialog.h"

class QMenu;
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

// A path named for a scan that cannot be scanned, and why.
struct NotScannable {
  std::string path;
  std::string reason;
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

  // Runs one scan: shows this window (whose show handling picks the signature set), lists
  // each of unscannable as not examined, walks the targets in turn until one is stopped,
  // waits for every lookup and paints the panels. Returns the scan's figures.
  ScanCounts ScanTargets(const std::vector<scan::ScanTarget>& targets,
                         const std::vector<NotScannable>& unscannable);
  // Asks the walk in progress, if any, to stop; the scan ends at its next check.
  void StopScan() { run_->ff.Stop(); }

  void SpeedButton1Click();

  // ScanView. Panel texts are painted at most once per screen refresh; rows at once.
  void AddResultRow(const std::string& location, const std::string& diagnostic,
                    const std::string& action) override;
  void SetPanelText(int panel, const std::string& text) override;
  void FileNotExamined(const std::string& path, const std::string& reason) override;

  // Paints the panel texts still waiting for the next refresh.
  void FlushPanels();

  // ---- Acting on the result list (result_actions.cpp) ----
  // The row just added is of a file kept in the quarantine as entry id.
  void ResultRowKept(const std::string& id) override;
  // The result list's context menu for item (null: clicked beside the rows), owned by the
  // caller: "Copy path", "Open containing folder", "Restore" (enabled for a row whose file
  // is in the quarantine), then "Save results...".
  QMenu* ResultMenu(QTreeWidgetItem* item);
  // The selected rows as text, one line per row, columns separated by tabs, as shown; what
  // Ctrl+C puts on the clipboard.
  QString SelectedRowsText() const;
  void CopySelectedRows();
  void CopyPath(QTreeWidgetItem* item);
  void OpenContainingFolder(QTreeWidgetItem* item);
  // Restores the row's file from the quarantine to where it was; says in a message box what
  // happened (restored, or why not).
  void RestoreRow(QTreeWidgetItem* item);
  // Asks for a file and writes every row and the final counts there, as CSV when the file
  // ends in ".csv" (or the CSV filter was chosen), else as tab-separated text.
  void SaveResults();
  // The text SaveResults writes.
  std::string ResultsText(bool csv) const;
  // A row's path as bytes, and the quarantine entry of its file (empty when not kept).
  static std::string RowPath(const QTreeWidgetItem* item);
  static std::string RowEntry(const QTreeWidgetItem* item);
  // The quarantine that deletions of this window's scans go through (null when Keep=0 in the
  // settings); opened afresh at every showing.
  scan::Quarantine* QuarantineOfScans() { return quarantine_.get(); }

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
  void SetUpResultActions();
  void OpenQuarantine();

  SettingsOfForm4 settings_;
  std::unique_ptr<scan::Quarantine> quarantine_;
  // Where the shipped databases are; installed signature sets are looked for at every show.
  std::string program_directory_;
  std::unique_ptr<scan::TScanRun> run_;
  std::array<std::string, 5> pending_;
  std::array<bool, 5> dirty_{};
  QTimer paint_timer_;
};

}  // namespace nerlo::windows

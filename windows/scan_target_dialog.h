// The scan-target dialog: where a scan begins. Its OK handler runs the whole scan in the
// scanner window, then shows the results dialog.
#pragma once

#include <QFrame>
#include <QPushButton>
#include <QRadioButton>
#include <string>
#include <vector>

#include "scan/scan_target.h"
#include "windows/form_base.h"
#include "windows/scanner_window.h"

namespace nerlo::windows {

class TForm2 : public TFormBase {
 public:
  TForm2();

  QRadioButton* RadioButton1;  // "Local Drives"
  QRadioButton* RadioButton3;  // "Folder"
  QRadioButton* RadioButton4;  // "File"
  QFrame* Bevel1;
  QPushButton* Button1;  // "OK"

  // Hides this dialog and the launcher, asks for the target and runs the scan-start sequence.
  // A cancelled choice shows the launcher again. Starts nothing while a scan runs.
  void Button1Click();

  // Scans paths (files and folders, as a file manager or the command line names them) as one
  // scan, without the dialog and with the launcher hidden; a path that cannot be scanned is
  // listed as not examined, with why. Starts nothing while a scan runs.
  void ScanPaths(const std::vector<std::string>& paths);
  // The same for every local drive.
  void ScanAllDrives();

  // True from OK until the scan's results are shown (or the scan has ended otherwise).
  bool IsScanRunning() const { return scan_running_; }

  // The file that the file dialog last confirmed (it opens there next time).
  const std::string& LastFileName() const { return od_file_name_; }

 private:
  // Runs the scan in the scanner window and shows its results, unless the program is ending.
  void RunScan(const std::vector<scan::ScanTarget>& targets,
               const std::vector<NotScannable>& unscannable = {});

  std::string od_file_name_;
  bool scan_running_ = false;
};

}  // namespace nerlo::windows

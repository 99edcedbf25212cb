// The scan-target dialog: where a scan begins. Its OK handler runs the whole scan: it shows
// the scanner window, walks the target and shows the results dialog.
#pragma once

#include <QFrame>
#include <QPushButton>
#include <QRadioButton>
#include <string>

#include "scan/scan_target.h"
#include "windows/form_base.h"

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

  // True from OK until the scan's results are shown (or the scan has ended otherwise).
  static bool ScanRunning() { return scan_running_; }

  // The file that the file dialog last confirmed (it opens there next time).
  const std::string& LastFileName() const { return od_file_name_; }

 private:
  // Shows the scanner window, walks target, waits for every lookup, shows the results.
  void RunScan(const scan::ScanTarget& target);

  std::string od_file_name_;
  static bool scan_running_;
};

}  // namespace nerlo::windows

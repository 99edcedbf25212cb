#include "windows/scan_target_dialog.h"

#include "windows/launcher.h"
#include "platform/exceptions.h"
#include "platform/platform.h"
#include "windows/dialog_service.h"
#include "windows/forms.h"
#include "windows/results_dialog.h"
#include "windows/scanner_window.h"

namespace nerlo::windows {

TForm2::TForm2() : TFormBase(true, true) {
  setWindowTitle("Nerlo");
  setFixedSize(190, 156);
  RadioButton1 = new QRadioButton("Local Drives", this);
  RadioButton1->move(40, 24);
  RadioButton1->adjustSize();
  RadioButton1->setChecked(true);
  RadioButton3 = new QRadioButton("Folder", this);
  RadioButton3->move(40, 48);
  RadioButton3->adjustSize();
  RadioButton4 = new QRadioButton("File", this);
  RadioButton4->move(40, 72);
  RadioButton4->adjustSize();
  Bevel1 = new QFrame(this);
  Bevel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  Bevel1->setGeometry(0, 104, 190, 2);
  Button1 = new QPushButton("OK", this);
  Button1->setGeometry(56, 120, 75, 25);
  connect(Button1, &QPushButton::clicked, this, [this] { Guard([this] { Button1Click(); }); });
}

void TForm2::Button1Click() {
  if (scan_running_) return;  // one scan at a time
  close();
  Form1->hide();
  scan::ScanTarget target;
  if (RadioButton1->isChecked()) {
    target = scan::AllDrivesTarget();
  } else if (RadioButton3->isChecked()) {
    const std::string dir = DialogService::SelectDirectory("Select Folder to scan");
    if (dir.empty()) {
      Form1->ShowForm();
      return;
    }
    // The walk's own join: a root folder gives "/*.*", not a doubled separator.
    target.file_name = platform::JoinPath(dir, "*.*");
    target.shown = dir;
  } else {
    if (!DialogService::OpenFile("Select File to Scan", &od_file_name_)) {
      Form1->ShowForm();
      return;
    }
    std::string error;
    if (!scan::ResolveScanTarget(od_file_name_, target, &error)) {
      Form1->ShowForm();
      throw Exception(od_file_name_ + ": " + error);
    }
  }
  RunScan({target});
}

void TForm2::ScanPaths(const std::vector<std::string>& paths) {
  if (scan_running_) return;
  std::vector<scan::ScanTarget> targets;
  std::vector<NotScannable> unscannable;
  for (const std::string& path : paths) {
    scan::ScanTarget target;
    std::string error;
    if (scan::ResolveScanTarget(path, target, &error))
      targets.push_back(target);
    else
      unscannable.push_back({path, error});
  }
  close();
  Form1->hide();
  RunScan(targets, unscannable);
}

void TForm2::ScanAllDrives() {
  if (scan_running_) return;
  close();
  Form1->hide();
  RunScan({scan::AllDrivesTarget()});
}

void TForm2::RunScan(const std::vector<scan::ScanTarget>& targets,
                     const std::vector<NotScannable>& unscannable) {
  struct Running {
    bool& running;
    explicit Running(bool& flag) : running(flag) { running = true; }
    ~Running() { running = false; }
  } running(scan_running_);
  const ScanCounts counts = Form3->ScanTargets(targets, unscannable);
  if (Form1->ProgramEnding()) return;
  Form5->ShowResults(counts);
}

}  // namespace nerlo::windows

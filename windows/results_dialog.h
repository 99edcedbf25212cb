// The results dialog: the three figures of the scan that has just ended.
#pragma once

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <cstdint>

#include "windows/form_base.h"

namespace nerlo::windows {

// The figures of one scan.
struct ScanCounts {
  int32_t scanned = 0;
  int32_t infected = 0;
  int32_t removed = 0;
};

class TForm5 : public TFormBase {
 public:
  TForm5();

  QGroupBox* GroupBox1;
  QLabel* Label1;  // "Files scanned: N"
  QLabel* Label2;  // "Infected: N"
  QLabel* Label3;  // "Removed: N"
  QFrame* Bevel1;
  QPushButton* Button1;  // "Close"

  void Button1Click();

  // Shows the dialog with counts. A dialog still open from an earlier scan gets the new
  // figures and comes to the front.
  void ShowResults(const ScanCounts& counts);

 protected:
  void FormShow() override;

 private:
  void FillLabels();

  ScanCounts counts_;
};

}  // namespace nerlo::windows

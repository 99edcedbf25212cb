// The settings dialog: the heuristics switch and the verdict action, which live in its
// controls and nowhere else, and the settings file that keeps them between runs.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <string>

#include "scan/scan_view.h"
#include "windows/form_base.h"

namespace nerlo::windows {

// A radio button that a click only ever checks. Checking one of a pair unchecks the other
// (TForm4 wires that); unchecking one, by the program, changes only that one.
class TRadioButton : public QRadioButton {
 public:
  TRadioButton(const QString& caption, QWidget* parent);

 protected:
  void nextCheckState() override;
};

class TForm4 : public TFormBase, public scan::ScanSettings {
 public:
  TForm4();

  QCheckBox* CheckBox1;
  QGroupBox* GroupBox1;
  TRadioButton* RadioButton1;  // "Delete them"
  TRadioButton* RadioButton3;  // "Ignore them"
  QPushButton* Button1;        // "OK"

  void Button1Click();

  // The settings file into the controls; a missing file, section or key gives the defaults.
  void LoadSettings();
  // The controls into the settings file, in the order UseHeuristics, Delete, Ignore. Raises
  // nerlo::Exception "Unable to write to <path>" when a write fails (later keys are skipped).
  void SaveSettings();

  // ScanSettings, read from the controls at the moment of use.
  bool UseHeuristics() const override;
  bool DeleteThem() const override;

 private:
  // A setting changed by the user is saved at once; a failed save is reported and the
  // control keeps the user's choice.
  void UserChanged();
};

}  // namespace nerlo::windows

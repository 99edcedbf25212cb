#include "windows/settings_dialog.h"

#include "platform/desktop.h"
#include "platform/exceptions.h"
#include "windows/profile.h"

namespace nerlo::windows {

namespace {
constexpr const char* kSection = "Settings";
}  // namespace

TRadioButton::TRadioButton(const QString& caption, QWidget* parent)
    : QRadioButton(caption, parent) {
  setAutoExclusive(false);
}

void TRadioButton::nextCheckState() { setChecked(true); }

TForm4::TForm4() : TFormBase(false, true) {
  setWindowTitle("Settings");
  setFixedSize(232, 185);
  move(483, 379);

  CheckBox1 = new QCheckBox("Enable heuristics", this);
  CheckBox1->setGeometry(8, 16, 113, 17);
  CheckBox1->setChecked(true);
  GroupBox1 = new QGroupBox(" When infected file are found: ", this);
  GroupBox1->setGeometry(8, 40, 217, 97);
  RadioButton1 = new TRadioButton("Delete them", GroupBox1);
  RadioButton1->setGeometry(16, 32, 113, 17);
  RadioButton3 = new TRadioButton("Ignore them", GroupBox1);
  RadioButton3->setGeometry(16, 56, 113, 17);
  RadioButton3->setChecked(true);
  Button1 = new QPushButton("OK", this);
  Button1->setGeometry(80, 152, 75, 25);
  setTabOrder(CheckBox1, RadioButton1);
  setTabOrder(RadioButton1, RadioButton3);
  setTabOrder(RadioButton3, Button1);

  // Checking one verdict button unchecks the other; unchecking changes only itself.
  connect(RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
    if (on) RadioButton3->setChecked(false);
  });
  connect(RadioButton3, &QRadioButton::toggled, this, [this](bool on) {
    if (on) RadioButton1->setChecked(false);
  });
  // clicked comes from the user only (mouse or keyboard), never from setChecked.
  connect(CheckBox1, &QCheckBox::clicked, this, [this] { UserChanged(); });
  connect(RadioButton1, &QRadioButton::clicked, this, [this] { UserChanged(); });
  connect(RadioButton3, &QRadioButton::clicked, this, [this] { UserChanged(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Guard([this] { Button1Click(); }); });
}

void TForm4::Button1Click() { close(); }

void TForm4::LoadSettings() {
  const std::string path = platform::SettingsFilePath();
  CheckBox1->setChecked(ReadProfileBool(path, kSection, "UseHeuristics", true));
  RadioButton1->setChecked(ReadProfileBool(path, kSection, "Delete", true));
  RadioButton3->setChecked(ReadProfileBool(path, kSection, "Ignore", false));
}

void TForm4::SaveSettings() {
  const std::string path = platform::SettingsFilePath();
  const std::pair<const char*, bool> values[] = {{"UseHeuristics", CheckBox1->isChecked()},
                                                 {"Delete", RadioButton1->isChecked()},
                                                 {"Ignore", RadioButton3->isChecked()}};
  for (const auto& [key, on] : values) {
    if (path.empty() || !WriteProfileString(path, kSection, key, on ? "1" : "0"))
      throw Exception("Unable to write to " + path);
  }
}

bool TForm4::UseHeuristics() const { return CheckBox1->isChecked(); }
bool TForm4::DeleteThem() const { return RadioButton1->isChecked(); }

void TForm4::UserChanged() {
  Guard([this] { SaveSettings(); });
}

}  // namespace nerlo::windows

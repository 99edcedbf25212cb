// The launcher, the program's main window: four buttons that start a scan, start the updater,
// open the help document and open the settings dialog. It loads the settings whenever it is
// shown and saves them when it closes, which ends the program.
#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <QWidget>
#include <string>

#include "windows/form_base.h"

namespace nerlo::windows {

// A picture stretched to the control's bounds (or drawn at its own size when not stretched).
class TImage : public QWidget {
 public:
  TImage(const QPixmap& picture, bool stretch, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
  bool stretch_;
};

// Text drawn raised: a light copy up and left, a dark copy down and right, the text between.
class TRaisedLabel : public QWidget {
 public:
  TRaisedLabel(const QString& caption, const QFont& font, QWidget* parent);
  QString Caption() const { return caption_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString caption_;
};

// A flat, transparent button: a 22 x 22 picture above a bold silver caption; a frame only
// while the pointer is over it.
class TFlatButton : public QAbstractButton {
 public:
  TFlatButton(const QString& caption, const QPixmap& picture, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QPixmap picture_;
};

class TForm1 : public TFormBase {
 public:
  explicit TForm1(std::string program_directory);

  TImage* Image1;
  TImage* Image2;
  TImage* Image3;
  TFlatButton* FlatButton1;  // "Scan"
  TFlatButton* FlatButton2;  // "Update"
  TFlatButton* FlatButton3;  // "Help"
  TFlatButton* FlatButton4;  // "Settings"
  TRaisedLabel* RaisedLabel1;
  TRaisedLabel* RaisedLabel2;
  TImage* Image4;

  // Shows the scan-target dialog; while a scan runs, brings the scanner window to the front
  // instead (or does nothing while a stopped scan unwinds).
  void FlatButton1Click();
  // Starts the updater; failures pass in silence.
  void FlatButton2Click();
  // Opens readme.txt; failures pass in silence.
  void FlatButton3Click();
  // Shows the settings dialog.
  void FlatButton4Click();

  // True once the launcher has closed: the program is ending, and a scan still unwinding
  // shows no results.
  bool ProgramEnding() const { return ending_; }

 protected:
  // Loads the settings into the settings dialog.
  void FormShow() override;
  // Stops a running walk, saves the settings (a failure keeps the launcher open) and ends the
  // program, whatever else is open.
  void FormClose(QCloseEvent* event) override;

 private:
  std::string program_directory_;
  bool ending_ = false;
};

}  // namespace nerlo::windows

#include "windows/launcher.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPainter>

#include "windows/artwork.h"
#include "platform/desktop.h"
#include "windows/forms.h"
#include "windows/results_dialog.h"
#include "windows/scan_target_dialog.h"
#include "windows/scanner_window.h"
#include "windows/settings_dialog.h"

namespace nerlo::windows {

TImage::TImage(const QPixmap& picture, bool stretch, QWidget* parent)
    : QWidget(parent), picture_(picture), stretch_(stretch) {}

void TImage::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (stretch_)
    painter.drawPixmap(rect(), picture_);
  else
    painter.drawPixmap(0, 0, picture_);
}

TRaisedLabel::TRaisedLabel(const QString& caption, const QFont& font, QWidget* parent)
    : QWidget(parent), caption_(caption) {
  setFont(font);
}

void TRaisedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int flags = Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine;
  // Small text keeps a one-pixel light edge only, or it would blur.
  const bool large = font().pixelSize() > 16;
  painter.setPen(QColor(255, 255, 255));
  painter.drawText(rect().translated(-1, -1), flags, caption_);
  if (large) {
    painter.setPen(QColor(64, 64, 64));
    painter.drawText(rect().translated(1, 1), flags, caption_);
  }
  painter.setPen(large ? QColor(150, 150, 150) : QColor(32, 32, 32));
  painter.drawText(rect(), flags, caption_);
}

TFlatButton::TFlatButton(const QString& caption, const QPixmap& picture, QWidget* parent)
    : QAbstractButton(parent), picture_(picture) {
  setText(caption);
  setFont(TahomaFont(11, true));
  setCursor(Qt::ArrowCursor);
  setFocusPolicy(Qt::TabFocus);
}

void TFlatButton::enterEvent(QEnterEvent* event) {
  QAbstractButton::enterEvent(event);
  update();
}

void TFlatButton::leaveEvent(QEvent* event) {
  QAbstractButton::leaveEvent(event);
  update();
}

void TFlatButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const bool down = isDown();
  const QRect r = rect().adjusted(0, 0, -1, -1);
  if (underMouse() || down) {
    painter.setPen(down ? QColor(64, 64, 64) : QColor(192, 192, 192));
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(down ? QColor(192, 192, 192) : QColor(64, 64, 64));
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
  }
  const QFontMetrics metrics(font());
  const int text_height = metrics.height();
  const int top = (height() - 22 - 4 - text_height) / 2 + (down ? 1 : 0);
  const int left = (width() - 22) / 2 + (down ? 1 : 0);
  painter.drawPixmap(left, top, picture_);
  painter.setPen(QColor(192, 192, 192));  // silver
  painter.drawText(QRect(0, top + 22 + 4, width(), text_height).translated(down ? 1 : 0, 0),
                   Qt::AlignHCenter | Qt::AlignTop, text());
  if (hasFocus()) {
    painter.setPen(QPen(QColor(128, 128, 128), 1, Qt::DotLine));
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
  }
}

TForm1::TForm1(std::string program_directory)
    : TFormBase(true, true), program_directory_(std::move(program_directory)) {
  setWindowTitle("Nerlo");
  setFixedSize(472, 362);
  Image1 = new TImage(BlackPicture(), true, this);
  Image1->setGeometry(0, 57, 472, 286);
  Image2 = new TImage(TopBandPicture(), true, this);
  Image2->setGeometry(0, 0, 472, 57);
  Image3 = new TImage(BottomBandPicture(), true, this);
  Image3->setGeometry(0, 343, 472, 19);
  FlatButton1 = new TFlatButton("Scan", ScanPicture(), this);
  FlatButton1->setGeometry(200, 64, 81, 65);
  FlatButton2 = new TFlatButton("Update", UpdatePicture(), this);
  FlatButton2->setGeometry(88, 160, 81, 73);
  FlatButton3 = new TFlatButton("Help", HelpPicture(), this);
  FlatButton3->setGeometry(200, 272, 81, 65);
  FlatButton4 = new TFlatButton("Settings", SettingsPicture(), this);
  FlatButton4->setGeometry(312, 160, 81, 73);
  RaisedLabel1 = new TRaisedLabel("Nerlo", ArialFont(24), this);
  RaisedLabel1->setGeometry(0, 16, 473, 33);
  RaisedLabel2 = new TRaisedLabel("Nerlo v1.00 - free anti-virus scanner by the Nerlo developers",
                                  ArialFont(11), this);
  RaisedLabel2->setGeometry(8, 344, 457, 16);
  Image4 = new TImage(GlobePicture(), false, this);
  Image4->setGeometry(176, 136, 129, 129);

  connect(FlatButton1, &QAbstractButton::clicked, this,
          [this] { Guard([this] { FlatButton1Click(); }); });
  connect(FlatButton2, &QAbstractButton::clicked, this,
          [this] { Guard([this] { FlatButton2Click(); }); });
  connect(FlatButton3, &QAbstractButton::clicked, this,
          [this] { Guard([this] { FlatButton3Click(); }); });
  connect(FlatButton4, &QAbstractButton::clicked, this,
          [this] { Guard([this] { FlatButton4Click(); }); });
}

void TForm1::FlatButton1Click() {
  if (Form2->IsScanRunning()) {
    // The scanner window stands for the running scan; a stopped one is still unwinding.
    if (Form3->isVisible()) Form3->ShowForm();
    return;
  }
  Form2->ShowForm();
}

void TForm1::FlatButton2Click() { platform::ShellExecute(program_directory_ + "kestry"); }

void TForm1::FlatButton3Click() { platform::ShellExecute(program_directory_ + "readme.txt"); }

void TForm1::FlatButton4Click() { Form4->ShowForm(); }

void TForm1::FormShow() { Form4->LoadSettings(); }

void TForm1::FormClose(QCloseEvent* event) {
  Form3->StopScan();
  event->ignore();
  Form4->SaveSettings();  // raises on failure: the launcher stays open
  event->accept();
  ending_ = true;
  for (QWidget* form : std::initializer_list<QWidget*>{Form2, Form3, Form4, Form5}) form->hide();
  QApplication::quit();
}

}  // namespace nerlo::windows

#include "windows/results_dialog.h"

namespace nerlo::windows {

namespace {
QLabel* MakeLabel(const QString& text, int top, const QFont& font, const QColor& color,
                  QWidget* parent) {
  QLabel* label = new QLabel(text, parent);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
  label->move(16, top);
  label->adjustSize();
  label->setFixedHeight(13);
  return label;
}
}  // namespace

TForm5::TForm5() : TFormBase(true, true) {
  setWindowTitle("Scan Results");
  setFixedSize(235, 132);
  GroupBox1 = new QGroupBox(QString(), this);
  GroupBox1->setGeometry(0, 0, 233, 129);
  Label1 = MakeLabel("Files scanned: 0", 24, TahomaFont(11, true),
                     palette().color(QPalette::WindowText), GroupBox1);
  Label2 = MakeLabel("Infected: 0", 56, TahomaFont(11), Qt::red, GroupBox1);
  Label3 = MakeLabel("Removed: 0", 72, TahomaFont(11), QColor(0, 128, 0), GroupBox1);
  // An etched line along the top edge of its bounds.
  Bevel1 = new QFrame(GroupBox1);
  Bevel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  Bevel1->setGeometry(16, 88, 201, 2);
  Button1 = new QPushButton("Close", GroupBox1);
  Button1->setGeometry(80, 96, 75, 25);
  connect(Button1, &QPushButton::clicked, this, [this] { Guard([this] { Button1Click(); }); });
}

void TForm5::Button1Click() { close(); }

void TForm5::FillLabels() {
  Label1->setText("Files scanned: " + QString::number(counts_.scanned));
  Label2->setText("Infected: " + QString::number(counts_.infected));
  Label3->setText("Removed: " + QString::number(counts_.removed));
  for (QLabel* label : {Label1, Label2, Label3}) {
    label->adjustSize();
    label->setFixedHeight(13);
  }
}

void TForm5::FormShow() { FillLabels(); }

void TForm5::ShowResults(const ScanCounts& counts) {
  counts_ = counts;
  if (isVisible()) FillLabels();
  ShowForm();
}

}  // namespace nerlo::windows

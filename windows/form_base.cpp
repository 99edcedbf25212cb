#include "windows/form_base.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QShowEvent>
#include <exception>

#include "platform/exceptions.h"
#include "windows/dialog_service.h"
#include "platform/display_text.h"

namespace nerlo::windows {

QString ErrorBoxText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
    text += '.';
  return QString::fromStdString(platform::DisplayText(text));
}

void ShowErrorBox(const std::string& message) {
  DialogService::Ask({kApplicationTitle, ErrorBoxText(message), QMessageBox::Critical,
                      QMessageBox::Ok, QMessageBox::Ok, QMessageBox::Ok});
}

bool Guard(const std::function<void()>& handler) {
  try {
    handler();
    return true;
  } catch (const Exception& e) {
    ShowErrorBox(e.Message());
  } catch (const std::exception& e) {
    ShowErrorBox(e.what());
  }
  return false;
}

QFont TahomaFont(int pixel_size, bool bold) {
  QFont font;
  font.setFamilies({"Tahoma", "DejaVu Sans"});
  font.setPixelSize(pixel_size);
  font.setBold(bold);
  return font;
}

QFont ArialFont(int pixel_size) {
  QFont font;
  font.setFamilies({"Arial", "Liberation Sans"});
  font.setPixelSize(pixel_size);
  return font;
}

void ApplyDesktopLook(QApplication& app) {
  QApplication::setFont(TahomaFont(11));
  QPalette palette = app.palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Button));
  QApplication::setPalette(palette);
}

TFormBase::TFormBase(bool centred, bool fixed) : QWidget(nullptr), centred_(centred) {
  if (fixed) {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
  } else {
    setWindowFlags(Qt::Window);
  }
  setFont(TahomaFont(11));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
}

void TFormBase::ShowForm() {
  if (isVisible()) {
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
    return;
  }
  show();
}

void TFormBase::setVisible(bool visible) {
  if (visible && !isVisible() && centred_ && !shown_before_) {
    // The area of all monitors together; the frame is not known before the first showing.
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
      const QRect desktop = screen->virtualGeometry();
      move(desktop.center() - QPoint(width() / 2, height() / 2));
    }
  }
  if (visible) shown_before_ = true;
  QWidget::setVisible(visible);
}

void TFormBase::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Spontaneous show events come from the window system (a restore after minimising); the
  // on-show handling is for the program's own hidden-to-shown changes.
  if (!event->spontaneous()) Guard([this] { FormShow(); });
}

void TFormBase::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!Guard([this, event] { FormClose(event); })) event->ignore();
}

}  // namespace nerlo::windows

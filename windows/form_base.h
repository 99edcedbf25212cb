// What every window of the program shares: the on-show handling that runs only when a window
// goes from hidden to shown, centring at the first showing, the look (Tahoma 8 points on the
// button-face colour) and the guard that turns an exception escaping a handler into the
// application's error box.
#pragma once

#include <QFont>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>

class QApplication;

namespace nerlo::windows {

// The program's name: the application title and the error box's caption.
inline constexpr const char* kApplicationTitle = "Nerlo";

// The error box's text for an exception message: the message with a full stop added when its
// last byte sorts after "." (bytes compared unsigned); shown as DisplayText shows bytes.
QString ErrorBoxText(const std::string& message);

// Shows message in the error box: caption "Nerlo", error icon, one OK button.
void ShowErrorBox(const std::string& message);

// Runs handler; an exception that escapes it is shown in the error box and the program goes
// on. Returns false when the handler raised.
bool Guard(const std::function<void()>& handler);

// Tahoma (else DejaVu Sans) and Arial (else Liberation Sans) at a pixel size.
QFont TahomaFont(int pixel_size, bool bold = false);
QFont ArialFont(int pixel_size);

// Sets the program's font (Tahoma 8 points, 11 pixels) and puts every window on the
// button-face colour.
void ApplyDesktopLook(QApplication& app);

// A top-level window of the program. Subclasses put their on-show handling in FormShow and
// their close handling in FormClose; both run inside Guard.
class TFormBase : public QWidget {
 public:
  // centred: centred on the whole desktop at its first showing (afterwards it reappears where
  // it was). fixed: a single fixed border with system menu and minimise box only.
  TFormBase(bool centred, bool fixed);

  // Shows the window; a visible window is only brought to the front, without running its
  // on-show handling again.
  void ShowForm();

  void setVisible(bool visible) override;

 protected:
  virtual void FormShow() {}
  // Runs when the window is closed by the user or by close(); the window is then hidden,
  // unless FormClose raised or ignored the event.
  virtual void FormClose(QCloseEvent* /*event*/) {}

  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  bool centred_;
  bool shown_before_ = false;
};

}  // namespace nerlo::windows

// Every message box, the folder picker and the file dialog of the program go through here, so
// that tests can script the user's answers and no test ever waits on a real dialog.
//
// User-interface thread only. In scripted mode (tests) nothing is shown: each call takes the
// next scripted answer of its kind, or, when none is queued, the message box's default button
// and a cancelled folder or file choice. Every message box asked for is recorded.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace nerlo::windows {

class DialogService {
 public:
  struct Message {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton default_button;
    QMessageBox::StandardButton escape_button;
  };

  // A modal message box, centred on the screen; returns the button chosen (escape_button when
  // the box is closed without a choice).
  static QMessageBox::StandardButton Ask(const Message& message);

  // The folder picker (directories only, no folder preselected). Returns the chosen folder's
  // path as the file system names it, or empty after a cancel.
  static std::string SelectDirectory(const QString& title);

  // The file-open dialog, without a filter, starting at *file_name when it is not empty.
  // Returns true and sets *file_name to the chosen file's full path, or false after a cancel
  // (*file_name unchanged).
  static bool OpenFile(const QString& title, std::string* file_name);

  // The file-save dialog with the given name filters ("Text files (*.txt)", ...), starting
  // with *file_name when it is not empty. Returns true and sets *file_name to the chosen
  // path (the filter's extension added when the name has none) and *filter to the filter
  // chosen, or false after a cancel. Scripted: the next file name, and the filter whose
  // pattern matches its extension (the first one otherwise).
  static bool SaveFile(const QString& title, const QStringList& filters, std::string* file_name,
                       QString* filter);

  // ---- Test hooks ----
  static void SetScripted(bool scripted);
  static bool Scripted();
  static void SetNextAnswer(QMessageBox::StandardButton answer);
  // An empty path answers the next folder or file choice with a cancel.
  static void SetNextDirectory(const std::string& path);
  static void SetNextFileName(const std::string& path);
  // Message boxes asked for so far, oldest first; ClearScript empties this and every queue.
  static const std::vector<Message>& Shown();
  static void ClearScript();
  // Run, in scripted mode, when a message box is asked for, before its answer is taken.
  static std::function<void(const Message&)> OnMessage;

 private:
  static bool scripted_;
  static std::deque<QMessageBox::StandardButton> answers_;
  static std::deque<std::string> directories_;
  static std::deque<std::string> file_names_;
  static std::vector<Message> shown_;
};

}  // namespace nerlo::windows

#include "windows/dialog_service.h"

#include <QFile>
#include <QFileDialog>
#include <QPushButton>

namespace nerlo::windows {

bool DialogService::scripted_ = false;
std::deque<QMessageBox::StandardButton> DialogService::answers_;
std::deque<std::string> DialogService::directories_;
std::deque<std::string> DialogService::file_names_;
std::vector<DialogService::Message> DialogService::shown_;
std::function<void(const DialogService::Message&)> DialogService::OnMessage;

QMessageBox::StandardButton DialogService::Ask(const Message& message) {
  shown_.push_back(message);
  if (scripted_) {
    if (OnMessage) OnMessage(message);
    if (answers_.empty()) return message.default_button;
    const QMessageBox::StandardButton answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  QMessageBox box(message.icon, message.caption, message.text, message.buttons);
  box.setDefaultButton(message.default_button);
  box.setEscapeButton(message.escape_button);
  box.exec();
  const QMessageBox::StandardButton chosen = box.standardButton(box.clickedButton());
  return chosen == QMessageBox::NoButton ? message.escape_button : chosen;
}

std::string DialogService::SelectDirectory(const QString& title) {
  if (scripted_) {
    if (directories_.empty()) return std::string();
    std::string path = directories_.front();
    directories_.pop_front();
    return path;
  }
  const QString dir =
      QFileDialog::getExistingDirectory(nullptr, title, QString(), QFileDialog::ShowDirsOnly);
  if (dir.isEmpty()) return std::string();
  return QFile::encodeName(dir).toStdString();
}

bool DialogService::OpenFile(const QString& title, std::string* file_name) {
  std::string chosen;
  if (scripted_) {
    if (!file_names_.empty()) {
      chosen = file_names_.front();
      file_names_.pop_front();
    }
  } else {
    const QString start = QFile::decodeName(QByteArray::fromStdString(*file_name));
    const QString path = QFileDialog::getOpenFileName(nullptr, title, start);
    if (!path.isEmpty()) chosen = QFile::encodeName(path).toStdString();
  }
  if (chosen.empty()) return false;
  *file_name = chosen;
  return true;
}

namespace {

// The extension of a filter such as "CSV files (*.csv)", with its dot: ".csv".
QString FilterExtension(const QString& filter) {
  const int star = filter.indexOf("*.");
  if (star < 0) return QString();
  int end = star + 2;
  while (end < filter.size() && filter[end].isLetterOrNumber()) ++end;
  return filter.mid(star + 1, end - star - 1);
}

}  // namespace

bool DialogService::SaveFile(const QString& title, const QStringList& filters,
                             std::string* file_name, QString* filter) {
  QString path;
  QString chosen_filter;
  if (scripted_) {
    if (!file_names_.empty()) {
      path = QFile::decodeName(QByteArray::fromStdString(file_names_.front()));
      file_names_.pop_front();
    }
  } else {
    const QString start = QFile::decodeName(QByteArray::fromStdString(*file_name));
    path = QFileDialog::getSaveFileName(nullptr, title, start, filters.join(";;"),
                                        &chosen_filter);
  }
  if (path.isEmpty()) return false;
  if (chosen_filter.isEmpty()) {
    chosen_filter = filters.isEmpty() ? QString() : filters.front();
    for (const QString& f : filters) {
      const QString extension = FilterExtension(f);
      if (!extension.isEmpty() && path.endsWith(extension, Qt::CaseInsensitive)) {
        chosen_filter = f;
        break;
      }
    }
  }
  const QString extension = FilterExtension(chosen_filter);
  const int slash = path.lastIndexOf('/');
  if (!extension.isEmpty() && !path.mid(slash + 1).contains('.')) path += extension;
  *file_name = QFile::encodeName(path).toStdString();
  *filter = chosen_filter;
  return true;
}

void DialogService::SetScripted(bool scripted) { scripted_ = scripted; }
bool DialogService::Scripted() { return scripted_; }
void DialogService::SetNextAnswer(QMessageBox::StandardButton answer) {
  answers_.push_back(answer);
}
void DialogService::SetNextDirectory(const std::string& path) { directories_.push_back(path); }
void DialogService::SetNextFileName(const std::string& path) { file_names_.push_back(path); }
const std::vector<DialogService::Message>& DialogService::Shown() { return shown_; }
void DialogService::ClearScript() {
  answers_.clear();
  directories_.clear();
  file_names_.clear();
  shown_.clear();
}

}  // namespace nerlo::windows

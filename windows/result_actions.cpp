// The scanner window's result list as something to act on: a context menu on the rows (copy
// the path, open the folder, restore a file from the quarantine), Ctrl+C for the selected rows,
// and saving every row with the final counts to a text or CSV file.
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QShortcut>

#include "platform/desktop.h"
#include "platform/quarantine_io.h"
#include "windows/dialog_service.h"
#include "platform/display_text.h"
#include "windows/scanner_window.h"

namespace nerlo::windows {

using platform::DisplayText;

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kEntryRole = Qt::UserRole + 1;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A CSV field: quoted when it holds a comma, a quote or a line end; quotes doubled.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void Inform(const QString& text, QMessageBox::Icon icon) {
  DialogService::Ask(
      {kApplicationTitle, text, icon, QMessageBox::Ok, QMessageBox::Ok, QMessageBox::Ok});
}

}  // namespace

void TForm3::SetUpResultActions() {
  ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    Guard([this, at] {
      QTreeWidgetItem* item = ListView1->itemAt(at);
      std::unique_ptr<QMenu> menu(ResultMenu(item));
      menu->exec(ListView1->viewport()->mapToGlobal(at));
    });
  });
  auto* copy = new QShortcut(QKeySequence::Copy, ListView1);
  copy->setContext(Qt::WidgetWithChildrenShortcut);
  connect(copy, &QShortcut::activated, this, [this] { Guard([this] { CopySelectedRows(); }); });
}

void TForm3::OpenQuarantine() {
  const scan::QuarantineSettings settings = scan::ReadQuarantineSettings();
  if (!settings.keep) {
    run_->SetQuarantine(nullptr);
    quarantine_.reset();
    return;
  }
  auto quarantine = std::make_unique<scan::Quarantine>(scan::Quarantine::DefaultFolder(), settings);
  // A quarantine that cannot be opened keeps every detection from being deleted; each row
  // then says why.
  std::string ignored;
  quarantine->Open(&ignored);
  run_->SetQuarantine(quarantine.get());
  quarantine_ = std::move(quarantine);
}

void TForm3::ResultRowKept(const std::string& id) {
  const int count = ListView1->topLevelItemCount();
  if (count > 0)
    ListView1->topLevelItem(count - 1)->setData(0, kEntryRole, QString::fromStdString(id));
}

std::string TForm3::RowPath(const QTreeWidgetItem* item) {
  return item == nullptr ? std::string() : item->data(0, kPathRole).toByteArray().toStdString();
}

std::string TForm3::RowEntry(const QTreeWidgetItem* item) {
  return item == nullptr ? std::string() : item->data(0, kEntryRole).toString().toStdString();
}

QMenu* TForm3::ResultMenu(QTreeWidgetItem* item) {
  auto* menu = new QMenu(this);
  const bool row = item != nullptr && !RowPath(item).empty();
  QAction* copy = menu->addAction("&Copy path", this,
                                  [this, item] { Guard([this, item] { CopyPath(item); }); });
  QAction* open = menu->addAction("&Open containing folder", this, [this, item] {
    Guard([this, item] { OpenContainingFolder(item); });
  });
  QAction* restore = menu->addAction("&Restore", this,
                                     [this, item] { Guard([this, item] { RestoreRow(item); }); });
  copy->setEnabled(row);
  open->setEnabled(row);
  restore->setEnabled(row && !RowEntry(item).empty());
  menu->addSeparator();
  menu->addAction("&Save results...", this, [this] { Guard([this] { SaveResults(); }); });
  return menu;
}

QString TForm3::SelectedRowsText() const {
  QStringList lines;
  // In the list's order, whatever order they were selected in.
  for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = ListView1->topLevelItem(i);
    if (!item->isSelected()) continue;
    lines << item->text(0) + "\t" + item->text(1) + "\t" + item->text(2);
  }
  return lines.join("\n");
}

void TForm3::CopySelectedRows() {
  const QString text = SelectedRowsText();
  if (!text.isEmpty()) QApplication::clipboard()->setText(text + "\n");
}

void TForm3::CopyPath(QTreeWidgetItem* item) {
  const std::string path = RowPath(item);
  if (!path.empty()) QApplication::clipboard()->setText(QString::fromStdString(DisplayText(path)));
}

void TForm3::OpenContainingFolder(QTreeWidgetItem* item) {
  const std::string path = RowPath(item);
  if (path.empty()) return;
  const std::string folder = FolderOf(path);
  if (!platform::OpenFolder(folder))
    Inform(QString::fromStdString("The folder " + DisplayText(folder) + " cannot be opened."),
           QMessageBox::Warning);
}

void TForm3::RestoreRow(QTreeWidgetItem* item) {
  const std::string id = RowEntry(item);
  if (id.empty()) return;
  // Entries stay restorable when the quarantine was turned off since.
  std::unique_ptr<scan::Quarantine> own;
  scan::Quarantine* quarantine = quarantine_.get();
  if (quarantine == nullptr) {
    own = std::make_unique<scan::Quarantine>(scan::Quarantine::DefaultFolder(),
                                             scan::ReadQuarantineSettings());
    quarantine = own.get();
  }
  std::string restored, error;
  if (!quarantine->Restore(id, std::string(), &restored, &error)) {
    Inform(QString::fromStdString("Not restored: " + DisplayText(error) + "."),
           QMessageBox::Warning);
    return;
  }
  item->setData(0, kEntryRole, QVariant());
  Inform(QString::fromStdString("Restored: " + DisplayText(restored)), QMessageBox::Information);
}

std::string TForm3::ResultsText(bool csv) const {
  std::string text;
  const auto line = [&](const std::string& a, const std::string& b, const std::string& c) {
    text += csv ? CsvField(a) + "," + CsvField(b) + "," + CsvField(c) + "\r\n"
                : a + "\t" + b + "\t" + c + "\n";
  };
  line("Location", "Diagnostic", "Action");
  for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = ListView1->topLevelItem(i);
    line(item->text(0).toStdString(), item->text(1).toStdString(), item->text(2).toStdString());
  }
  text += csv ? "\r\n" : "\n";
  const auto count = [&](const std::string& name, int32_t value) {
    text += csv ? name + "," + std::to_string(value) + "\r\n"
                : name + ": " + std::to_string(value) + "\n";
  };
  count("Scanned", run_->ScannedCount());
  count("Infected", run_->InfectedCount());
  count("Removed", run_->RemovedCount());
  count("Quarantined", run_->QuarantinedCount());
  count("Not examined", run_->NotExaminedCount());
  count("Too large", run_->TooLargeCount());
  return text;
}

void TForm3::SaveResults() {
  static const QString kText = "Text files (*.txt)";
  static const QString kCsv = "CSV files (*.csv)";
  std::string path;
  QString filter;
  if (!DialogService::SaveFile("Save results", {kText, kCsv}, &path, &filter)) return;
  platform::ErrorCode error = 0;
  if (!platform::WriteFileAtomically(path, ResultsText(filter == kCsv), &error))
    Inform(QString::fromStdString("Cannot write " + DisplayText(path) + ": " +
                                  platform::ErrorText(error) + "."),
           QMessageBox::Warning);
}

}  // namespace nerlo::windows

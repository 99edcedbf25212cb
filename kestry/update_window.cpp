#include "kestry/update_window.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace nerlo::kestry {

namespace {

QString Text(const std::string& bytes) { return QString::fromLocal8Bit(bytes.data(), bytes.size()); }

std::string InstalledText(const update::InstalledSet& installed) {
  if (!installed.present) return "none yet (the program's own databases are in use)";
  return "version " + std::to_string(installed.version) + ", created " +
         installed.manifest.created;
}

}  // namespace

UpdateWindow::UpdateWindow(update::UpdateOptions options, const update::InstalledSet& installed)
    : options_(std::move(options)) {
  setWindowTitle("Nerlo signature update");
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout();
  auto* source = new QLabel(Text(options_.url));
  source->setTextInteractionFlags(Qt::TextSelectableByMouse);
  form->addRow("Source:", source);
  installed_ = new QLabel(Text(InstalledText(installed)));
  form->addRow("Installed:", installed_);
  form->addRow("Into:", new QLabel(Text(options_.root)));
  layout->addLayout(form);
  step_ = new QLabel("Starting");
  step_->setWordWrap(true);
  layout->addWidget(step_);
  bar_ = new QProgressBar();
  bar_->setRange(0, 1000);
  bar_->setValue(0);
  bar_->setTextVisible(true);
  layout->addWidget(bar_);
  bytes_ = new QLabel(" ");
  layout->addWidget(bytes_);
  outcome_ = new QLabel(" ");
  outcome_->setWordWrap(true);
  outcome_->setMinimumHeight(48);
  outcome_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  QFont bold = outcome_->font();
  bold.setBold(true);
  outcome_->setFont(bold);
  layout->addWidget(outcome_);
  button_ = new QPushButton("Cancel");
  button_->setObjectName("kestryButton");
  auto* row = new QHBoxLayout();
  row->addStretch(1);
  row->addWidget(button_);
  layout->addLayout(row);
  setFixedWidth(520);
  QObject::connect(button_, &QPushButton::clicked, this, [this] {
    if (finished_) {
      close();
      return;
    }
    cancel_ = true;
    button_->setEnabled(false);
    step_->setText("Cancelling");
  });
}

UpdateWindow::~UpdateWindow() {
  cancel_ = true;
  if (worker_.joinable()) worker_.join();
}

void UpdateWindow::Start(std::function<void(const std::string&, bool)> on_line) {
  on_line_ = std::move(on_line);
  update::UpdateEvents events;
  events.OnStep = [this](const std::string& step) {
    QMetaObject::invokeMethod(this, [this, step] { ShowStep(step); }, Qt::QueuedConnection);
  };
  events.OnBytes = [this](uint64_t done, uint64_t total) {
    QMetaObject::invokeMethod(this, [this, done, total] { ShowBytes(done, total); },
                              Qt::QueuedConnection);
  };
  events.Cancelled = [this] { return cancel_.load(); };
  worker_ = std::thread([this, events] {
    const update::UpdateResult result = update::RunUpdate(options_, events);
    QMetaObject::invokeMethod(this, [this, result] { ShowResult(result); }, Qt::QueuedConnection);
  });
}

void UpdateWindow::ShowStep(const std::string& step) {
  if (finished_) return;
  if (!cancel_) step_->setText(Text(step));
  if (on_line_) on_line_(step, false);
}

void UpdateWindow::ShowBytes(uint64_t done, uint64_t total) {
  if (finished_) return;
  const auto now = RateMeter::Clock::now();
  rate_.Add(done, now);
  bar_->setValue(total == 0 ? 1000 : static_cast<int>(done * 1000 / total));
  const std::string line = BytesLine(done, total, rate_.BytesPerSecond());
  bytes_->setText(Text(line));
  if (on_line_ && (now - last_line_ >= std::chrono::seconds(1) || done == total) &&
      done != last_done_) {
    last_line_ = now;
    last_done_ = done;
    on_line_(line, false);
  }
}

void UpdateWindow::ShowResult(const update::UpdateResult& result) {
  if (worker_.joinable()) worker_.join();
  finished_ = true;
  exit_status_ = ExitStatusOf(result.outcome);
  if (result.outcome == update::UpdateOutcome::kUpdated ||
      result.outcome == update::UpdateOutcome::kAlreadyCurrent)
    bar_->setValue(1000);
  if (result.outcome == update::UpdateOutcome::kUpdated)
    installed_->setText(Text(InstalledText(update::SetStore(options_.root).ReadInstalled())));
  step_->setText(result.outcome == update::UpdateOutcome::kFailed      ? "Failed"
                 : result.outcome == update::UpdateOutcome::kCancelled ? "Cancelled"
                                                                         : "Done");
  std::string text = result.message;
  for (const std::string& warning : result.warnings) text += "\nWarning: " + warning;
  outcome_->setText(Text(text));
  adjustSize();
  button_->setText("Close");
  button_->setEnabled(true);
  button_->setFocus();
  if (on_line_) {
    for (const std::string& warning : result.warnings) on_line_("warning: " + warning, true);
    on_line_(result.message, exit_status_ != 0);
  }
  if (close_when_done_) close();
}

void UpdateWindow::closeEvent(QCloseEvent* event) {
  if (finished_ || !worker_.joinable()) {
    event->accept();
    return;
  }
  // The run ends first, so that it removes its temporary files; the window closes then.
  cancel_ = true;
  close_when_done_ = true;
  button_->setEnabled(false);
  event->ignore();
}

}  // namespace nerlo::kestry

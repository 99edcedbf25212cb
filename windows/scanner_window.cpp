#include "windows/scanner_window.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QPainter>
#include <QSizeGrip>
#include <QStyle>
#include <QStyleOptionFrame>
#include <cstdio>

#include "sigdb/signature_set.h"
#include "windows/artwork.h"
#include "windows/launcher.h"
#include "windows/dialog_service.h"
#include "platform/display_text.h"
#include "windows/forms.h"
#include "windows/settings_dialog.h"

namespace nerlo::windows {

namespace {
constexpr int kToolBarHeight = 33;
constexpr int kStatusBarHeight = 19;
// Panel texts change for every file; 25 pictures a second read as continuous and leave the
// scan its time.
constexpr int kPaintIntervalMs = 40;
}  // namespace

// ---- TListView --------------------------------------------------------------------------

TListView::TListView(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(3);
  setHeaderLabels({"Location", "Diagnostic", "Action"});
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  header()->setStretchLastSection(false);
  header()->setSectionsMovable(false);
  header()->setSectionResizeMode(QHeaderView::Fixed);
}

void TListView::DivideColumns() {
  const int width = viewport()->width();
  const int part = width / 3;
  setColumnWidth(0, width - 2 * part);
  setColumnWidth(1, part);
  setColumnWidth(2, part);
}

void TListView::resizeEvent(QResizeEvent* event) {
  QTreeWidget::resizeEvent(event);
  DivideColumns();
}

// ---- TStatusBar -------------------------------------------------------------------------

TStatusBar::TStatusBar(const std::array<int, 5>& widths, const std::array<QString, 5>& texts,
                       QWidget* parent)
    : QWidget(parent), widths_(widths), texts_(texts), grip_(new QSizeGrip(this)) {}

QRect TStatusBar::PanelRect(int panel) const {
  int left = 0;
  for (int i = 0; i < panel; ++i) left += widths_[static_cast<size_t>(i)];
  const int right = panel == 4 ? width() : left + widths_[static_cast<size_t>(panel)];
  return QRect(left, 0, std::max(0, right - left), height());
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
  if (panel < 0 || panel > 4 || texts_[static_cast<size_t>(panel)] == text) return;
  texts_[static_cast<size_t>(panel)] = text;
  update(PanelRect(panel));
}

void TStatusBar::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QPalette& pal = palette();
  for (int i = 0; i < 5; ++i) {
    const QRect r = PanelRect(i).adjusted(0, 2, -2, 0);
    if (r.width() <= 0 || !event->rect().intersects(r)) continue;
    // A raised bevel: light upper-left edges, dark lower-right ones.
    painter.setPen(pal.color(QPalette::Light));
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(pal.color(QPalette::Dark));
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
    painter.setPen(pal.color(QPalette::WindowText));
    const QRect text_rect = r.adjusted(3, 0, -3, 0);
    painter.setClipRect(text_rect);
    painter.drawText(text_rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     texts_[static_cast<size_t>(i)]);
    painter.setClipping(false);
  }
}

void TStatusBar::resizeEvent(QResizeEvent*) {
  const QSize hint = grip_->sizeHint();
  grip_->setGeometry(width() - hint.width(), height() - hint.height(), hint.width(), hint.height());
}

// ---- TForm3 -----------------------------------------------------------------------------

bool TForm3::SettingsOfForm4::UseHeuristics() const { return Form4->UseHeuristics(); }
bool TForm3::SettingsOfForm4::DeleteThem() const { return Form4->DeleteThem(); }

TForm3::TForm3(std::string program_directory)
    : TFormBase(true, false), program_directory_(std::move(program_directory)) {
  setWindowTitle("Scanning...");
  resize(690, 356);
  run_ = std::make_unique<scan::TScanRun>(*this, settings_, program_directory_);

  CoolBar1 = new QWidget(this);
  ToolBar1 = new QWidget(CoolBar1);
  ToolBar1->setGeometry(0, 0, 673, kToolBarHeight);
  SpeedButton1 = new QToolButton(ToolBar1);
  SpeedButton1->setAutoRaise(true);
  SpeedButton1->setIcon(QIcon(StopPicture()));
  SpeedButton1->setIconSize(QSize(22, 22));
  SpeedButton1->setGeometry(2, (kToolBarHeight - 23) / 2, 23, 23);
  SpeedButton1->setFocusPolicy(Qt::NoFocus);
  ToolButton1 = new QWidget(ToolBar1);
  ToolButton1->setGeometry(25, 0, 8, kToolBarHeight);
  ListView1 = new TListView(this);
  bb = new TStatusBar({300, 130, 130, 130, 50},
                      {"IDLE", "Scanned: 0", "Infected: 0", "Removed: 0", "Nerlo v1.00"}, this);
  connect(SpeedButton1, &QToolButton::clicked, this,
          [this] { Guard([this] { SpeedButton1Click(); }); });

  paint_timer_.setSingleShot(true);
  paint_timer_.setInterval(kPaintIntervalMs);
  connect(&paint_timer_, &QTimer::timeout, this, [this] { FlushPanels(); });
  SetUpResultActions();
  LayOut();
}

TForm3::~TForm3() {
  // The run waits for its lookups, whose hits still report to this window.
  run_.reset();
}

void TForm3::LayOut() {
  const int w = width(), h = height();
  CoolBar1->setGeometry(0, 0, w, kToolBarHeight);
  bb->setGeometry(0, h - kStatusBarHeight, w, kStatusBarHeight);
  ListView1->setGeometry(0, kToolBarHeight, w, std::max(0, h - kToolBarHeight - kStatusBarHeight));
}

void TForm3::resizeEvent(QResizeEvent* event) {
  TFormBase::resizeEvent(event);
  LayOut();
}

void TForm3::FormShow() {
  // The set is chosen once per scan, here; the whole scan reads that one folder.
  const sigdb::ResolvedSet set =
      sigdb::ResolveSignatureSet(sigdb::InstalledSetRoots(), program_directory_);
  for (const std::string& warning : set.warnings)
    std::fprintf(stderr, "nerlo: warning: %s\n", warning.c_str());
  if (const std::string expired = sigdb::ExpiryWarning(set, sigdb::UtcNow()); !expired.empty())
    std::fprintf(stderr, "nerlo: %s\n", expired.c_str());
  run_->SetDatabaseDirectory(set.folder);
  // Opened after the show handling, which lets lookups of an earlier scan end first: their
  // deletions still go through the quarantine they began with.
  struct OpenAfter {
    TForm3* form;
    ~OpenAfter() { form->OpenQuarantine(); }
  } open_after{this};
  run_->FormShow();
}

ScanCounts TForm3::ScanTargets(const std::vector<scan::ScanTarget>& targets,
                               const std::vector<NotScannable>& unscannable) {
  ShowForm();
  for (const NotScannable& path : unscannable) FileNotExamined(path.path, path.reason);
  for (const scan::ScanTarget& target : targets) {
    if (scan::WalkScanTarget(*run_, target) == scan::TargetOutcome::kNotReached)
      FileNotExamined(target.only_path, "Its folder could not be listed.");
    // Each walk starts afresh, so a Stop during one must end the scan here.
    if (ff().StopRequested()) break;
  }
  // Hits of lookups still running belong to this scan's figures.
  run_->WaitForLookups();
  FlushPanels();
  return {ScannedCount(), InfectedCount(), RemovedCount()};
}

void TForm3::FormClose(QCloseEvent*) {
  StopScan();
  Form1->ShowForm();
}

void TForm3::SpeedButton1Click() {
  const QMessageBox::StandardButton answer =
      DialogService::Ask({"Warning", "Stop Scanning?", QMessageBox::Warning,
                          QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, QMessageBox::No});
  if (answer != QMessageBox::Yes) return;
  StopScan();
  Form1->ShowForm();
  close();
}

void TForm3::AddResultRow(const std::string& location, const std::string& diagnostic,
                          const std::string& action) {
  auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(platform::DisplayText(location)),
                                               QString::fromStdString(platform::DisplayText(diagnostic)),
                                               QString::fromStdString(platform::DisplayText(action))});
  item->setData(0, Qt::UserRole, QByteArray::fromStdString(location));
  ListView1->addTopLevelItem(item);
}

void TForm3::FileNotExamined(const std::string& path, const std::string& reason) {
  AddResultRow(path, "Not examined.", reason);
}

void TForm3::SetPanelText(int panel, const std::string& text) {
  if (panel < 0 || panel > 4) return;
  pending_[static_cast<size_t>(panel)] = text;
  dirty_[static_cast<size_t>(panel)] = true;
  if (!paint_timer_.isActive()) paint_timer_.start();
}

void TForm3::FlushPanels() {
  paint_timer_.stop();
  for (size_t i = 0; i < 5; ++i) {
    if (!dirty_[i]) continue;
    dirty_[i] = false;
    bb->SetPanelText(static_cast<int>(i), QString::fromStdString(platform::DisplayText(pending_[i])));
  }
}

}  // namespace nerlo::windows

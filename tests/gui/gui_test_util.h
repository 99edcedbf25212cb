// Shared by the desktop program's tests: temporary folders, databases with planted signatures,
// generated trees, the five windows created afresh for every test with the dialog service
// scripted and the settings file in a folder of the test's own, and the test case that sets
// them up.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QObject>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "windows/launcher.h"
#include "app/qt_message_queue.h"
#include "platform/message_queue.h"
#include "scan/hex_editor.h"
#include "tests/common/signature_entries.h"
#include "windows/dialog_service.h"
#include "windows/forms.h"
#include "windows/results_dialog.h"
#include "windows/scan_target_dialog.h"
#include "windows/scanner_window.h"
#include "windows/settings_dialog.h"

#define QCOMPARE_STR(a, b) QCOMPARE(QString::fromStdString(a), QString::fromStdString(b))

namespace nerlo::guitest {

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    for (;;) {
      auto candidate =
          std::filesystem::temp_directory_path() / ("nerlo-gui-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate.string();
        break;
      }
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::path p(path);
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Distinct, deterministic bytes.
inline std::string Content(size_t length, int seed) {
  std::string s(length, '\0');
  uint32_t x = 2463534242u + static_cast<uint32_t>(seed) * 7919u;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>('a' + x % 26);  // letters only: no accidental heuristic hits
  }
  return s;
}

using nerlo::testing::Encode;
using nerlo::testing::HashEntry;
using nerlo::testing::WindowEntry;

inline void WriteDatabases(const std::string& dir, const std::vector<std::string>& hashes,
                           const std::vector<std::string>& windows,
                           const std::vector<std::string>& heuristics) {
  QVERIFY2(nerlo::testing::WriteDatabases(dir, hashes, windows, heuristics),
           "cannot write the databases");
}

// A tree with planted detections of the three kinds and clean files around them.
struct PlantedTree {
  std::string root;
  std::string hash_hit, heuristic_hit, window_hit;
  std::vector<std::string> clean;
  int file_count = 0;
};

inline constexpr const char* kHeuristicString = "PLANTED-HEURISTIC-MARKER";

// Writes the tree under root and the databases that detect its three planted files into db.
inline PlantedTree MakePlantedTree(const std::string& root, const std::string& db,
                                   int clean_files = 12) {
  PlantedTree tree;
  tree.root = root;
  const std::string hash_content = Content(900, 1);
  std::string heuristic_content = Content(900, 2);
  heuristic_content.replace(500, std::string(kHeuristicString).size(), kHeuristicString);
  const std::string window_content = Content(900, 3);
  tree.hash_hit = root + "/hash-hit.bin";
  tree.heuristic_hit = root + "/sub/heuristic-hit.txt";
  tree.window_hit = root + "/sub/deeper/window-hit.bin";
  WriteFile(tree.hash_hit, hash_content);
  WriteFile(tree.heuristic_hit, heuristic_content);
  WriteFile(tree.window_hit, window_content);
  for (int i = 0; i < clean_files; ++i) {
    const std::string path = root +
                             (i % 3 == 0   ? "/"
                              : i % 3 == 1 ? "/sub/"
                                           : "/sub/deeper/") +
                             "clean-" + std::to_string(i) + ".dat";
    WriteFile(path, Content(500 + 97 * static_cast<size_t>(i % 40), 100 + i));
    tree.clean.push_back(path);
  }
  tree.file_count = 3 + clean_files;
  WriteDatabases(db, {HashEntry(hash_content)}, {WindowEntry(window_content, 3)},
                 {"NEVER-PRESENT-STRING", kHeuristicString});
  return tree;
}

// The windows of one test: created in CreateForms order, the launcher shown as at start-up.
class Program {
 public:
  Program() {
    config_ = std::make_unique<TempDir>();
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config_->path()));
    // Files that scans delete are kept beside the settings, never in the user's quarantine.
    qputenv("NERLO_QUARANTINE_DIR", QByteArray::fromStdString(config_->path() + "/quarantine"));
    windows::DialogService::SetScripted(true);
    windows::DialogService::ClearScript();
    windows::DialogService::OnMessage = nullptr;
    CreateForms(program_dir_.path() + "/");
  }
  ~Program() {
    windows::DialogService::OnMessage = nullptr;
    for (QWidget* w : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form4, Form5}) w->hide();
    DestroyForms();
    windows::DialogService::ClearScript();
  }
  void Start() { Form1->ShowForm(); }

  const TempDir& ProgramDir() const { return program_dir_; }
  std::string SettingsFile() const { return config_->path() + "/nerlo/nerlo.ini"; }
  std::string ConfigDir() const { return config_->path(); }
  std::string QuarantineDir() const { return config_->path() + "/quarantine"; }

  // "Scan", choose "Folder", OK, with dir as the picker's answer.
  static void ScanFolder(const std::string& dir) {
    Form1->FlatButton1->click();
    Form2->RadioButton3->setChecked(true);
    windows::DialogService::SetNextDirectory(dir);
    Form2->Button1->click();
  }

 private:
  TempDir program_dir_;
  std::unique_ptr<TempDir> config_;
};

// Installs the desktop program's queue for the whole test executable.
inline app::QtMessageQueue& InstallQueue() {
  static app::QtMessageQueue queue;
  platform::InstallMessageQueue(&queue);
  return queue;
}

// Texts of the rows of the result list, one "location|diagnostic|action" each, sorted.
inline std::vector<std::string> Rows() {
  std::vector<std::string> rows;
  for (int i = 0; i < Form3->ListView1->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = Form3->ListView1->topLevelItem(i);
    rows.push_back((item->text(0) + "|" + item->text(1) + "|" + item->text(2)).toStdString());
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

inline std::string Panel(int i) { return Form3->bb->PanelText(i).toStdString(); }

inline std::string Label(const QLabel* label) { return label->text().toStdString(); }
inline bool Visible(const QWidget* w) { return w->isVisible(); }

// Has fn run inside the next scan's walk: the walk opening its first file posts it, and the
// walk's next message pump runs it, whatever the machine's speed.
inline void DuringTheWalk(std::function<void()> fn) {
  auto pending = std::make_shared<std::function<void()>>(std::move(fn));
  Form3->Run().OnFileOpened = [pending](const std::string&) {
    if (!*pending) return;
    platform::Queue(std::move(*pending));
    *pending = nullptr;
  };
}

// The set-up of every desktop test case: the queue installed once, then for each test a fresh
// Program (its launcher shown when start_launcher) and an empty work folder.
class GuiTestCase : public QObject {
  Q_OBJECT

 public:
  explicit GuiTestCase(bool start_launcher) : start_launcher_(start_launcher) {}

 protected:
  // The program directory, which holds the databases.
  std::string Db() const { return program_->ProgramDir().path(); }

  std::unique_ptr<Program> program_;
  std::unique_ptr<TempDir> work_;

 private slots:
  void initTestCase() { InstallQueue(); }
  void init() {
    program_ = std::make_unique<Program>();
    work_ = std::make_unique<TempDir>();
    if (start_launcher_) program_->Start();
  }
  void cleanup() {
    program_.reset();
    work_.reset();
  }

 private:
  bool start_launcher_;
};

}  // namespace nerlo::guitest

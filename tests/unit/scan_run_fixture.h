// Shared set-up of the scan-run tests: a view that records what a scan run writes, settings
// that tests switch, databases written from plain entries, and a fixture that owns one scan
// run over them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/message_queue.h"
#include "scan/scan_run.h"
#include "tests/common/signature_entries.h"
#include "tests/unit/test_util.h"

namespace nerlo::scan::testing {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

struct Row {
  std::string location, diagnostic, action;
  bool operator==(const Row&) const = default;
};

// Records everything the scan run writes, in order.
class RecordingView : public ScanView {
 public:
  void AddResultRow(const std::string& location, const std::string& diagnostic,
                    const std::string& action) override {
    rows.push_back({location, diagnostic, action});
  }
  void SetPanelText(int panel, const std::string& text) override {
    panel_writes.emplace_back(panel, text);
    panels[panel] = text;
    if (on_panel) on_panel(panel, text);
  }
  void DetectionReported(const std::string& path, std::string_view action,
                         std::string_view check) override {
    detections.push_back({path, std::string(check), std::string(action)});
  }
  void FileNotExamined(const std::string& path, const std::string& reason) override {
    not_examined.emplace_back(path, reason);
  }

  std::vector<Row> rows;
  std::vector<Row> detections;  // path, check, action
  std::vector<std::pair<std::string, std::string>> not_examined;
  std::vector<std::pair<int, std::string>> panel_writes;
  std::string panels[5] = {"IDLE", "Scanned: 0", "Infected: 0", "Removed: 0", "Nerlo v1.00"};
  std::function<void(int, const std::string&)> on_panel;
};

struct Settings : ScanSettings {
  bool UseHeuristics() const override { return heuristics; }
  bool DeleteThem() const override { return delete_them; }
  bool heuristics = true;
  bool delete_them = false;
};

using nerlo::testing::Encode;
using nerlo::testing::HexText;
using nerlo::testing::Md5Text;
using nerlo::testing::WindowEntry;

// Distinct, deterministic file content of a given length.
inline std::string Content(size_t length, int seed) {
  std::string s(length, '\0');
  uint32_t x = 2463534242u + static_cast<uint32_t>(seed) * 7919u;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

// Writes database.db, tdb.ldb and heuristics.db into dir from plain entries.
inline void WriteDatabases(const std::string& dir, const std::vector<std::string>& hash_entries,
                           const std::vector<std::string>& window_entries,
                           const std::vector<std::string>& heuristics) {
  ASSERT_TRUE(nerlo::testing::WriteDatabases(dir, hash_entries, window_entries, heuristics))
      << "cannot write the databases into " << dir;
}

// Shows run's scanner and walks folder with everything below it, waiting for the lookups as
// the scan-start sequence does.
inline void WalkFolder(TScanRun& run, const std::string& folder) {
  run.FormShow();
  run.ff.SetSearchScope(TSearchScope::ssEntireDisk);
  run.ff.SetFileName(folder + "/*.*");
  run.ff.Start();
  run.WaitForLookups();
}

class ScanRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InstallMessageQueue(&queue_);
    WriteDatabases({}, {}, {});
  }
  void TearDown() override {
    run_.reset();
    platform::InstallMessageQueue(nullptr);
  }

  void WriteDatabases(const std::vector<std::string>& hash_entries,
                      const std::vector<std::string>& window_entries,
                      const std::vector<std::string>& heuristics) {
    scan::testing::WriteDatabases(db_.path(), hash_entries, window_entries, heuristics);
  }

  TScanRun& Run() {
    if (!run_) run_ = std::make_unique<TScanRun>(view_, settings_, db_.path() + "/");
    return *run_;
  }

  // Shows the scanner and walks target (a folder, or a file with single set), waiting for the
  // lookups as the scan-start sequence does.
  void Scan(const std::string& target, bool single = false) {
    TScanRun& run = Run();
    if (!single) return WalkFolder(run, target);
    run.FormShow();
    run.ff.SetSearchScope(TSearchScope::ssCurrentDir);
    run.ff.SetFileName(target);
    run.ff.Start();
    run.WaitForLookups();
  }

  platform::PlainMessageQueue queue_;
  TempDir db_;
  TempDir files_;
  RecordingView view_;
  Settings settings_;
  std::unique_ptr<TScanRun> run_;
};

}  // namespace nerlo::scan::testing

#include "scan/scan_target.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/unit/os_test_util.h"
#include "tests/unit/scan_run_fixture.h"

namespace nerlo::scan {
namespace {

using namespace nerlo::scan::testing;  // NOLINT: the fixture and its helpers
using NotExamined = std::vector<std::pair<std::string, std::string>>;

class ScanTargetTest : public ScanRunTest {
 protected:
  TargetOutcome ScanNamed(const std::string& path) {
    ScanTarget target;
    std::string error;
    EXPECT_TRUE(ResolveScanTarget(path, target, &error)) << error;
    Run().FormShow();
    const TargetOutcome outcome = WalkScanTarget(Run(), target);
    Run().WaitForLookups();
    return outcome;
  }
};

TEST_F(ScanTargetTest, FileAndFolderExaminedAreReached) {
  WriteFile(files_ / "d/a.txt", "MARKER");
  WriteDatabases({}, {}, {"MARKER"});
  EXPECT_EQ(ScanNamed(files_ / "d/a.txt"), TargetOutcome::kReached);
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(ScanNamed(files_ / "d"), TargetOutcome::kReached);
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(Run().InfectedCount(), 1);
  EXPECT_TRUE(view_.not_examined.empty());
}

// A single file that is reached but cannot be read, or that lies on a pseudo file system, is
// reported once, with its own reason, and said to have been reported.
TEST_F(ScanTargetTest, SingleFileNotExaminedIsReportedOnceWithItsReason) {
  EXPECT_EQ(ScanNamed("/proc/self/status"), TargetOutcome::kReported);
  EXPECT_EQ(view_.not_examined,
            (NotExamined{{"/proc/self/status", "lies on a pseudo file system"}}));
  EXPECT_EQ(Run().ScannedCount(), 0);

  // Without anyone to tell, the caller is left to report it.
  view_.not_examined.clear();
  ScanTarget target;
  std::string error;
  ASSERT_TRUE(ResolveScanTarget("/proc/self/status", target, &error));
  Run().ff.OnNotExamined = nullptr;
  EXPECT_EQ(WalkScanTarget(Run(), target), TargetOutcome::kNotReached);
  EXPECT_TRUE(view_.not_examined.empty());
}

TEST_F(ScanTargetTest, UnreadableSingleFileIsReportedOnceAsAnUnprivilegedUser) {
  const std::string secret = files_ / "d/secret";
  WriteFile(secret, "MARKER");
  ASSERT_EQ(chmod(files_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((files_ / "d").c_str(), 0755), 0);
  ASSERT_EQ(chmod(secret.c_str(), 0000), 0);
  ASSERT_EQ(chmod(db_.path().c_str(), 0755), 0);
  WriteDatabases({}, {}, {"MARKER"});
  const std::string failure = nerlo::testing::RunAsNobody([&]() -> std::string {
    platform::PlainMessageQueue queue;
    platform::InstallMessageQueue(&queue);
    std::string result;
    {
      ScanTarget target;
      std::string error;
      if (!ResolveScanTarget(secret, target, &error)) result += "not resolved: " + error;
      RecordingView view;
      Settings settings;
      TScanRun run(view, settings, db_.path() + "/");
      run.FormShow();
      if (WalkScanTarget(run, target) != TargetOutcome::kReported) result += " not kReported";
      if (view.not_examined != NotExamined{{secret, platform::ErrorText(EACCES)}})
        result += " reports: " + std::to_string(view.not_examined.size());
      if (run.ScannedCount() != 0 || run.InfectedCount() != 0) result += " examined";
    }
    platform::InstallMessageQueue(nullptr);
    return result;
  });
  EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace nerlo::scan

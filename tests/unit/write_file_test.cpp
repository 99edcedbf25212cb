#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/platform.h"
#include "test_util.h"
#include "tests/unit/os_test_util.h"

namespace nerlo::platform {
namespace {

using nerlo::testing::ReadFile;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

size_t EntryCount(const std::string& dir) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++count;
  return count;
}

TEST(WriteFileAtomically, CreatesAndReplacesLeavingOnlyTheTarget) {
  TempDir dir;
  const std::string path = dir / "database.db";
  ErrorCode error = 0;
  ASSERT_TRUE(WriteFileAtomically(path, std::string("first\0line", 10), &error)) << error;
  EXPECT_EQ(ReadFile(path), std::string("first\0line", 10));

  ASSERT_TRUE(WriteFileAtomically(path, "x", &error)) << error;
  EXPECT_EQ(ReadFile(path), "x");
  ASSERT_TRUE(WriteFileAtomically(path, "", &error)) << error;
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_EQ(EntryCount(dir.path()), 1u);  // no temporary left beside it
}

TEST(WriteFileAtomically, NewFileGets0644UnderUmaskAndReplacedFileKeepsItsMode) {
  TempDir dir;
  const mode_t old_mask = umask(022);
  const std::string fresh = dir / "fresh";
  ASSERT_TRUE(WriteFileAtomically(fresh, "a"));
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  const std::string kept = dir / "kept";
  WriteFile(kept, "old");
  ASSERT_EQ(chmod(kept.c_str(), 0600), 0);
  ASSERT_TRUE(WriteFileAtomically(kept, "new"));
  ASSERT_EQ(stat(kept.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(WriteFileAtomically, MissingDirectoryFailsAndCreatesNothing) {
  TempDir dir;
  ErrorCode error = 0;
  EXPECT_FALSE(WriteFileAtomically(dir / "missing/database.db", "x", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(EntryCount(dir.path()), 0u);
  EXPECT_FALSE(WriteFileAtomically(dir / "missing/database.db", "x"));  // null error is fine
}

TEST(WriteFileAtomically, FailedRenameRemovesTemporaryAndLeavesTargetAlone) {
  TempDir dir;
  const std::string target = dir / "target";
  std::filesystem::create_directory(target);
  WriteFile(target + "/inside", "kept");
  ErrorCode error = 0;
  EXPECT_FALSE(WriteFileAtomically(target, "x", &error));
  EXPECT_NE(error, 0);
  EXPECT_TRUE(std::filesystem::is_directory(target));
  EXPECT_EQ(ReadFile(target + "/inside"), "kept");
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(WriteFileAtomically, UnwritableDirectoryFailsAndOldFileStaysIntact) {
  TempDir dir;
  const std::string sub = dir / "ro";
  WriteFile(sub + "/database.db", "old contents");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
  // As an unprivileged user: root may write into any directory.
  const std::string failure = nerlo::testing::RunAsNobody([&]() -> std::string {
    ErrorCode error = 0;
    if (WriteFileAtomically(sub + "/database.db", "new", &error)) return "written";
    if (error != EACCES) return "error " + std::to_string(error);
    return {};
  });
  EXPECT_EQ(failure, "");
  chmod(sub.c_str(), 0755);
  EXPECT_EQ(ReadFile(sub + "/database.db"), "old contents");
  EXPECT_EQ(EntryCount(sub), 1u);
}

TEST(WriteFileAtomically, RelativePathWritesIntoCurrentDirectory) {
  TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const bool written = WriteFileAtomically("plain", "bytes");
  std::filesystem::current_path(previous);
  ASSERT_TRUE(written);
  EXPECT_EQ(ReadFile(dir / "plain"), "bytes");
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

}  // namespace
}  // namespace nerlo::platform

// The walk by directory handles: deep and long paths, the descriptor bound, folders swapped
// for links, unreadable folders reported, and files opened only when they are regular.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/platform.h"
#include "scan/file_find.h"
#include "tests/unit/os_test_util.h"
#include "tests/unit/test_util.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::OpenDescriptorCount;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
namespace fs = std::filesystem;

constexpr int kDescriptorBound = 512;

// Records reports, entered folders and folders not examined; checks the descriptors open at
// every report and every pump.
struct Walker {
  Walker() {
    platform::InstallMessageQueue(&queue);
    ff.SetStopOnFirstMatch(false);
    ff.OnMatch = [this](TFileFind& sender) {
      reports.push_back(sender.LastMatch());
      Sample();
      if (on_match) on_match(sender);
    };
    ff.OnChangeDirectory = [this](TFileFind&, const std::string& dir) {
      entered.push_back(dir);
      if (on_enter) on_enter(dir);
    };
    ff.OnNotExamined = [this](TFileFind&, const std::string& path, const std::string& reason) {
      not_examined.push_back(path + ": " + reason);
    };
  }
  ~Walker() { platform::InstallMessageQueue(nullptr); }
  void Sample() { most_descriptors = std::max(most_descriptors, OpenDescriptorCount()); }

  platform::PlainMessageQueue queue;
  TFileFind ff;
  std::vector<std::string> reports, entered, not_examined;
  std::function<void(TFileFind&)> on_match;
  std::function<void(const std::string&)> on_enter;
  int most_descriptors = 0;
};

// A folder in memory when the system has one: some disk file systems take minutes to remove
// a chain of ten thousand folders.
std::filesystem::path FastTemporaryBase() {
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

TEST(HandleWalk, LeafOfAChainTenThousandFoldersDeepIsFoundWithinTheDescriptorBound) {
  TempDir dir(FastTemporaryBase());
  const int kDepth = 10000;
  ASSERT_TRUE(nerlo::testing::MakeChain(dir.path(), "d", kDepth, "leaf.txt", "deep"));
  Walker w;
  std::string leaf_bytes;
  w.on_match = [&](TFileFind& sender) {
    platform::ErrorCode error = 0;
    platform::File file =
        platform::File::OpenAt(*sender.LastDirectory(), sender.LastName(), &error);
    char buffer[16];
    const int64_t n = file.IsOpen() ? file.Read(buffer, sizeof buffer, &error) : -1;
    if (n > 0) leaf_bytes.assign(buffer, static_cast<size_t>(n));
  };
  w.ff.SetFileName(dir.path() + "/*.*");
  size_t entered = 0;
  w.ff.OnChangeDirectory = [&](TFileFind&, const std::string&) { ++entered; };
  // Sampled at every pump too: the walk pumps after every folder on its way back up.
  int pumps = 0;
  std::function<void()> sample = [&] {
    if (++pumps % 97 == 0) w.Sample();
  };
  struct SamplingQueue : platform::PlainMessageQueue {
    std::function<void()>* hook;
    void ProcessMessages() override {
      (*hook)();
      PlainMessageQueue::ProcessMessages();
    }
  } sampling;
  sampling.hook = &sample;
  platform::InstallMessageQueue(&sampling);
  w.ff.Start();
  platform::InstallMessageQueue(&w.queue);

  ASSERT_EQ(w.reports.size(), 1u);
  std::string expected = dir.path() + "/";
  for (int i = 0; i < kDepth; ++i) expected += "d/";
  EXPECT_EQ(w.reports[0], expected + "leaf.txt");
  EXPECT_EQ(leaf_bytes, "deep");
  EXPECT_EQ(entered, static_cast<size_t>(kDepth + 1));
  EXPECT_TRUE(w.not_examined.empty());
  EXPECT_GT(pumps, kDepth);
  EXPECT_LE(w.most_descriptors, kDescriptorBound);
  EXPECT_LE(platform::Directory::OpenHandleCount(), platform::kMaxOpenDirectories);
  nerlo::testing::RemoveChain(dir.path(), "d");
}

// With every descriptor of the process taken, opening a file or a folder, listing one and
// deleting through one release folder handles that are open only to save reopening them,
// and succeed.
TEST(HandleWalk, NoDescriptorLeftReleasesIdleFolderHandlesInsteadOfFailing) {
  TempDir dir;
  constexpr int kFolders = 12;
  for (int i = 0; i < kFolders; ++i) WriteFile(dir / ("f" + std::to_string(i) + "/file"), "x");
  const std::string failure = nerlo::testing::RunInChild([&]() -> std::string {
    struct rlimit limit = {64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return "setrlimit failed";
    platform::ErrorCode error = 0;
    platform::DirectoryRef root =
        platform::Directory::OpenRoot(dir.path(), platform::LinkPolicy::kNoFollow, &error);
    if (root == nullptr) return "no root";
    std::vector<platform::DirectoryRef> folders;
    for (int i = 0; i < kFolders; ++i) {
      folders.push_back(platform::Directory::OpenChild(root, "f" + std::to_string(i), &error));
      if (folders.back() == nullptr) return "cannot open a folder";
    }
    if (platform::Directory::OpenHandleCount() < kFolders) return "folder handles not kept";
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
    std::string result;
    platform::File file = platform::File::OpenAt(*folders[0], "file", &error);
    if (!file.IsOpen()) result += "file: " + platform::ErrorText(error) + "; ";
    file.Close();
    platform::DirectoryListing listing;
    if (!listing.Open(*folders[1], "*", &error))
      result += "listing: " + platform::ErrorText(error) + "; ";
    listing.Close();
    if (platform::Directory::OpenChild(folders[2], "..x", &error) == nullptr &&
        platform::IsOutOfDescriptors(error))
      result += "child: " + platform::ErrorText(error) + "; ";
    platform::FileStamp stamp;
    if (!platform::StatPath(dir / "f3/file", &stamp)) return "no stamp";
    const platform::DeleteResult deleted = platform::DeleteAt(*folders[3], "file", stamp);
    if (deleted.outcome != platform::DeleteOutcome::kDeleted)
      result += "delete: " + deleted.reason + "; ";
    for (int fd : filler) close(fd);
    return result;
  });
  EXPECT_EQ(failure, "");
}

// The shares never add up to more than the limit leaves after the reserve, and under the
// common limit of 1,024 descriptors the files read ahead (up to 1,024 of them) do not crowd out
// the deletions: a whole batch of them may wait for one flush of the quarantine.
TEST(HandleWalk, DescriptorSharesFitTheLimitAndLeaveDeletionsTheirBatch) {
  struct rlimit original {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  for (rlim_t soft : {rlim_t{24}, rlim_t{64}, rlim_t{256}, rlim_t{1024}, rlim_t{4096}}) {
    if (original.rlim_max != RLIM_INFINITY && soft > original.rlim_max) continue;
    const std::string failure = nerlo::testing::RunInChild([&]() -> std::string {
      struct rlimit limit = {soft, original.rlim_max};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return "setrlimit failed";
      const platform::DescriptorShares shares = platform::ShareDescriptors();
      std::string result;
      const int64_t taken = int64_t{shares.directories} + shares.files + 2 * shares.deletions;
      if (taken > static_cast<int64_t>(soft) - 16) result += "over the limit; ";
      if (shares.directories < 2 || shares.deletions < 1 || shares.files < 0)
        result += "a share below its floor; ";
      if (platform::MaxOpenDirectories() != shares.directories) result += "pool not bounded; ";
      if (soft == 1024 && (shares.deletions != 64 || shares.files < 512))
        result += "deletions " + std::to_string(shares.deletions) + ", files " +
                  std::to_string(shares.files) + "; ";
      return result;
    });
    EXPECT_EQ(failure, "") << "soft limit " << soft;
  }
}

TEST(HandleWalk, FileUnderAPathOfEightThousandBytesIsReachedAndRead) {
  TempDir dir;
  const std::string name(250, 'n');
  const int depth = 32;  // 32 x 251 bytes: over 8,000 bytes of path below the temporary folder
  ASSERT_TRUE(nerlo::testing::MakeChain(dir.path(), name, depth, "far.bin", "far away"));
  Walker w;
  std::string read;
  w.on_match = [&](TFileFind& sender) {
    platform::File file =
        platform::File::OpenAt(*sender.LastDirectory(), sender.LastName(), nullptr);
    char buffer[32];
    const int64_t n = file.IsOpen() ? file.Read(buffer, sizeof buffer, nullptr) : -1;
    if (n > 0) read.assign(buffer, static_cast<size_t>(n));
  };
  w.ff.SetFileName(dir.path() + "/*.*");
  w.ff.Start();
  ASSERT_EQ(w.reports.size(), 1u);
  EXPECT_GE(w.reports[0].size(), 8000u);
  EXPECT_EQ(read, "far away");
  nerlo::testing::RemoveChain(dir.path(), name);
}

TEST(HandleWalk, FolderSwappedForALinkDuringTheWalkIsNotFollowed) {
  TempDir dir;
  WriteFile(dir / "root/a/one", "1");
  WriteFile(dir / "root/b/two", "2");
  WriteFile(dir / "outside/secret", "s");
  Walker w;
  bool swapped = false;
  // Entering the first subfolder, swap its sibling (already listed by name) for a link.
  w.on_enter = [&](const std::string& entered) {
    if (swapped || entered == dir / "root/") return;
    const std::string sibling = entered == dir / "root/a" ? "b" : "a";
    fs::rename(dir / ("root/" + sibling), dir / "moved");
    fs::create_directory_symlink(dir / "outside", dir / ("root/" + sibling));
    swapped = true;
  };
  w.ff.SetFileName(dir / "root/*.*");
  nerlo::testing::InotifyWatch watch(dir / "outside");
  ASSERT_TRUE(watch.ok());
  w.ff.Start();
  ASSERT_TRUE(swapped);
  EXPECT_EQ(w.reports.size(), 1u);
  for (const std::string& report : w.reports) EXPECT_EQ(report.find("secret"), std::string::npos);
  EXPECT_EQ(w.entered.size(), 2u);
  EXPECT_EQ(watch.Drain(), 0);
  EXPECT_TRUE(w.not_examined.empty());
}

TEST(HandleWalk, FolderReplacedWhileItsHandleWasClosedIsNotReopened) {
  TempDir dir;
  // More folders than handles may stay open, each holding one file.
  const int kFolders = platform::kMaxOpenDirectories + 50;
  for (int i = 0; i < kFolders; ++i) WriteFile(dir / ("f" + std::to_string(i) + "/x"), "x");
  platform::DirectoryRef root =
      platform::Directory::OpenRoot(dir.path(), platform::LinkPolicy::kNoFollow, nullptr);
  ASSERT_NE(root, nullptr);
  std::vector<platform::DirectoryRef> held;
  for (int i = 0; i < kFolders; ++i) {
    held.push_back(platform::Directory::OpenChild(root, "f" + std::to_string(i), nullptr));
    ASSERT_NE(held.back(), nullptr);
  }
  EXPECT_LE(platform::Directory::OpenHandleCount(), platform::kMaxOpenDirectories);
  EXPECT_LE(OpenDescriptorCount(), kDescriptorBound);
  // f0 was used least recently, so its handle is closed. It is moved and another folder of
  // the same name put in its place: reaching f0 again must fail, not read the newcomer.
  fs::rename(dir / "f0", dir / "g0");
  WriteFile(dir / "f0/x", "newcomer");
  platform::ErrorCode error = 0;
  platform::File file = platform::File::OpenAt(*held[0], "x", &error);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(error, platform::kErrorReplaced);
  platform::DirectoryListing listing;
  EXPECT_FALSE(listing.Open(*held[0], "*", &error));
  EXPECT_EQ(error, platform::kErrorReplaced);
  // Every other folder is reached again by name, the same one as before.
  for (int i = 1; i < kFolders; ++i) {
    platform::File other = platform::File::OpenAt(*held[i], "x", &error);
    ASSERT_TRUE(other.IsOpen()) << i << ": " << platform::ErrorText(error);
  }
  EXPECT_LE(platform::Directory::OpenHandleCount(), platform::kMaxOpenDirectories);
  held.clear();
  root.reset();
  EXPECT_EQ(platform::Directory::OpenHandleCount(), 0);
}

TEST(HandleWalk, OnlyRegularFilesAreOpenedAndFifosNeverBlock) {
  TempDir dir;
  WriteFile(dir / "file", "data");
  fs::create_directory(dir / "sub");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir / "file").c_str(), (dir / "link").c_str()), 0);
  platform::DirectoryRef root =
      platform::Directory::OpenRoot(dir.path(), platform::LinkPolicy::kNoFollow, nullptr);
  ASSERT_NE(root, nullptr);
  platform::ErrorCode error = 0;
  EXPECT_TRUE(platform::File::OpenAt(*root, "file", &error).IsOpen());
  EXPECT_FALSE(platform::File::OpenAt(*root, "fifo", &error).IsOpen());
  EXPECT_EQ(error, platform::kErrorNotRegular);
  // Had the FIFO been opened for reading, a writer could open it now without blocking.
  EXPECT_LT(open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK), 0);
  EXPECT_EQ(errno, ENXIO);
  EXPECT_FALSE(platform::File::OpenAt(*root, "link", &error).IsOpen());
  EXPECT_EQ(error, ELOOP);
  EXPECT_FALSE(platform::File::OpenAt(*root, "sub", &error).IsOpen());
  EXPECT_EQ(error, EISDIR);
  EXPECT_FALSE(platform::File::OpenAt(*root, "missing", &error).IsOpen());
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(platform::Directory::OpenChild(root, "link", &error), nullptr);
  EXPECT_EQ(error, ENOTDIR);
  EXPECT_EQ(platform::Directory::OpenChild(root, "..", &error), nullptr);
}

TEST(HandleWalk, UnreadableFolderIsReportedAndTheWalkGoesOnAsAnUnprivilegedUser) {
  TempDir dir;
  WriteFile(dir / "t/locked/inside", "x");
  WriteFile(dir / "t/open/visible", "v");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir / "t/locked").c_str(), 0), 0);
  const std::string failure = nerlo::testing::RunAsNobody([&]() -> std::string {
    Walker w;
    w.ff.SetFileName(dir / "t/*.*");
    w.ff.Start();
    if (w.reports != std::vector<std::string>{dir / "t/open/visible"})
      return "reports: " + std::to_string(w.reports.size());
    const std::vector<std::string> expected = {dir / "t/locked: " + platform::ErrorText(EACCES)};
    if (w.not_examined != expected)
      return "not examined: " + (w.not_examined.empty() ? "none" : w.not_examined[0]);
    return "";
  });
  EXPECT_EQ(failure, "");
}

TEST(HandleWalk, TargetGivenThroughALinkIsResolvedOnceAndWalkedByHandle) {
  TempDir dir;
  WriteFile(dir / "real/one", "1");
  WriteFile(dir / "other/two", "2");
  fs::create_directory_symlink(dir / "real", dir / "via");
  Walker w;
  // Once the walk has started, the link is pointed elsewhere: the walk stays where it began.
  w.on_enter = [&](const std::string&) {
    fs::remove(dir / "via");
    fs::create_directory_symlink(dir / "other", dir / "via");
  };
  w.ff.SetFileName(dir / "via/*.*");
  w.ff.Start();
  EXPECT_EQ(w.reports, std::vector<std::string>{dir / "via/one"});
}

}  // namespace
}  // namespace nerlo::scan

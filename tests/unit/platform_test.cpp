#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/os_test_util.h"
#include "tests/unit/test_util.h"

namespace nerlo::platform {
namespace {

using nerlo::testing::ReadFile;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

using nerlo::testing::OpenListing;

std::vector<std::string> ListNames(const std::string& dir, const std::string& mask) {
  DirectoryListing listing;
  std::vector<std::string> names;
  if (!OpenListing(listing, dir, mask)) return names;
  DirEntry entry;
  while (listing.Next(&entry)) names.push_back(entry.name);
  return names;
}

FileIdentity IdentityOf(const std::string& path) {
  FileStamp stamp;
  EXPECT_TRUE(StatPath(path, &stamp)) << path;
  return stamp.identity;
}

// A listening Unix socket bound at path, closed with the object.
class UnixSocket {
 public:
  explicit UnixSocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~UnixSocket() { close(fd_); }

 private:
  int fd_;
};

TEST(PlatformText, ErrorTextIsNonEmptyWithoutFullStop) {
  for (ErrorCode code : {ENOENT, EACCES, EISDIR, 0, 123456}) {
    std::string text = ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_NE(text.back(), '\n') << text;
  }
  EXPECT_NE(ErrorText(ENOENT), ErrorText(EACCES));
}

TEST(PlatformPaths, JoinPathDrivesAndProgramDirectory) {
  EXPECT_EQ(JoinPath("/tmp", "a"), "/tmp/a");
  EXPECT_EQ(JoinPath("/tmp/", "a"), "/tmp/a");
  EXPECT_EQ(JoinPath("/", "*.*"), "/*.*");
  EXPECT_EQ(JoinPath("", "a"), "a");
  EXPECT_EQ(kPathSeparator, '/');
  EXPECT_TRUE(IsDirectoryPartEnd('/'));
  EXPECT_FALSE(IsDirectoryPartEnd('\\'));
  EXPECT_FALSE(IsDirectoryPartEnd(':'));

  EXPECT_EQ(DefaultDriveList(), "/");
  EXPECT_TRUE(DriveReady('/'));
  EXPECT_FALSE(DriveReady('C'));
  EXPECT_FALSE(DriveReady('c'));
  EXPECT_EQ(DriveRoot('/'), "/");

  std::string dir = ProgramDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string exe_path(exe, static_cast<size_t>(n));
  EXPECT_EQ(exe_path.substr(0, dir.size()), dir);
  EXPECT_EQ(exe_path.find('/', dir.size()), std::string::npos);
}

TEST(PlatformMask, WildcardRules) {
  // "*.*" matches every name, with or without a dot.
  for (const char* name : {"README", "a.b", ".hidden", "x.", "", "\xff\xfe"})
    EXPECT_TRUE(MatchesMask(name, "*.*")) << name;
  EXPECT_TRUE(MatchesMask("anything", "*"));
  EXPECT_TRUE(MatchesMask("", "*"));
  EXPECT_FALSE(MatchesMask("", "?"));
  EXPECT_TRUE(MatchesMask("a", "?"));
  EXPECT_FALSE(MatchesMask("ab", "?"));
  EXPECT_TRUE(MatchesMask("abc", "a?c"));
  EXPECT_FALSE(MatchesMask("ac", "a?c"));
  // Literal bytes are compared exactly: case matters, a dot is just a byte.
  EXPECT_TRUE(MatchesMask("Virus.exe", "Virus.exe"));
  EXPECT_FALSE(MatchesMask("virus.exe", "Virus.exe"));
  EXPECT_FALSE(MatchesMask("Virus.exe", "Virus.ex"));
  EXPECT_FALSE(MatchesMask("Virusxexe", "Virus.exe"));
  EXPECT_TRUE(MatchesMask("report.txt", "*.txt"));
  EXPECT_FALSE(MatchesMask("report.txt.bak", "*.txt"));
  EXPECT_FALSE(MatchesMask("README", "*.txt"));
  EXPECT_TRUE(MatchesMask("abxbyc", "a*b*c"));
  EXPECT_FALSE(MatchesMask("abxbyd", "a*b*c"));
  EXPECT_TRUE(MatchesMask("a*b", "a*b"));
  // "*." is not the every-name mask: only names ending in a dot.
  EXPECT_FALSE(MatchesMask("README", "*."));
  EXPECT_TRUE(MatchesMask("README.", "*."));
  // Names that are not valid UTF-8 are plain bytes; "?" takes one byte, not one character.
  EXPECT_TRUE(MatchesMask("\xff\xfe.bin", "\xff*"));
  EXPECT_TRUE(MatchesMask("\xff\xfe.bin", "??.bin"));
  EXPECT_FALSE(MatchesMask("\xc3\xa9", "?"));
  EXPECT_TRUE(MatchesMask("\xc3\xa9", "??"));
  // Many stars against a long name that fails at the very end: must not backtrack
  // exponentially (this would not finish otherwise).
  std::string long_name(4000, 'a');
  EXPECT_FALSE(MatchesMask(long_name, "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(MatchesMask(long_name + "b", "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(PlatformListing, OrderIsTheSystemsAndOnlyFilesAndDirectoriesAreListed) {
  TempDir dir;
  for (int i = 0; i < 40; ++i) WriteFile(dir / ("f" + std::to_string(i * 7919 % 1000)), "x");
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_directory(dir / ".hiddendir");
  ASSERT_EQ(symlink((dir / "f0").c_str(), (dir / "link_to_file").c_str()), 0);
  ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "link_to_dir").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", (dir / "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  UnixSocket socket_entry(dir / "sock");

  // The system's own order, without the entries that must never be listed.
  std::vector<std::string> expected;
  DIR* d = opendir(dir.path().c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    struct stat st;
    ASSERT_EQ(fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW), 0);
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) expected.push_back(e->d_name);
  }
  closedir(d);
  ASSERT_EQ(expected.size(), 40u + 4u);  // 40 files, sub, .hiddendir, ".", ".."

  EXPECT_EQ(ListNames(dir.path(), "*.*"), expected);
  EXPECT_EQ(ListNames(dir.path(), "*"), expected);
  // The mask filters, order kept.
  std::vector<std::string> f1;
  for (const std::string& name : expected)
    if (name.size() == 3 && name.rfind("f1", 0) == 0) f1.push_back(name);
  EXPECT_EQ(ListNames(dir.path(), "f1?"), f1);
  EXPECT_TRUE(ListNames(dir.path(), "fifo").empty());
  EXPECT_TRUE(ListNames(dir.path(), "link*").empty());
}

TEST(PlatformListing, DirectoriesAreToldFromFiles) {
  TempDir dir;
  WriteFile(dir / "plain", "p");
  WriteFile(dir / ".hidden", "h");
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_directory(dir / ".hidden-sub");

  DirectoryListing listing;
  ASSERT_TRUE(OpenListing(listing, dir.path(), "*.*"));
  std::vector<std::pair<std::string, bool>> entries;
  DirEntry entry;
  while (listing.Next(&entry)) entries.emplace_back(entry.name, entry.is_directory);
  std::sort(entries.begin(), entries.end());
  const std::vector<std::pair<std::string, bool>> expected{
      {".", true}, {"..", true}, {".hidden", false}, {".hidden-sub", true},
      {"plain", false}, {"sub", true}};
  EXPECT_EQ(entries, expected);
}

TEST(PlatformListing, FailuresAndLinkPolicy) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  std::filesystem::create_directory(dir / "sub");
  WriteFile(dir / "sub/inner", "x");
  ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "link").c_str()), 0);

  DirectoryListing listing;
  ErrorCode error = 0;
  EXPECT_FALSE(OpenListing(listing, dir / "missing", "*.*", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(listing.Identity().valid);
  DirEntry entry;
  EXPECT_FALSE(listing.Next(&entry));
  EXPECT_FALSE(OpenListing(listing, dir / "file", "*.*", &error));
  EXPECT_EQ(error, ENOTDIR);

  // A link to a directory is listed when followed, refused when not.
  EXPECT_TRUE(OpenListing(listing, dir / "link", "inner", &error, LinkPolicy::kFollow));
  EXPECT_EQ(listing.Identity(), IdentityOf(dir / "sub"));
  ASSERT_TRUE(listing.Next(&entry));
  EXPECT_EQ(entry.name, "inner");
  EXPECT_FALSE(OpenListing(listing, dir / "link", "*.*", &error, LinkPolicy::kNoFollow));
  EXPECT_NE(error, 0);
  EXPECT_TRUE(OpenListing(listing, dir / "sub", "*.*", &error, LinkPolicy::kNoFollow));
}

// Names in a pseudo file system's listing: each must be a directory on another device, a
// mount point. Returns what was listed.
std::vector<std::string> ExpectOnlyMountPoints(const std::string& dir) {
  struct stat parent;
  EXPECT_EQ(stat(dir.c_str(), &parent), 0) << dir;
  const std::vector<std::string> names = ListNames(dir, "*.*");
  for (const std::string& name : names) {
    struct stat st;
    const std::string path = dir + "/" + name;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
    EXPECT_NE(st.st_dev, parent.st_dev) << path << " is no mount point";
  }
  return names;
}

TEST(PlatformListing, PseudoFileSystemsListOnlyTheirMountPoints) {
  for (const char* pseudo : {"/proc", "/proc/self", "/sys"}) {
    struct stat st;
    if (stat(pseudo, &st) != 0) continue;
    ExpectOnlyMountPoints(pseudo);
  }
  EXPECT_TRUE(ListNames("/proc/self", "*.*").empty());
  // devtmpfs looks like tmpfs to statfs; told apart through the mount table. The tmpfs
  // mounted at /dev/shm is listed.
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  bool dev_is_devtmpfs = false, shm_is_tmpfs = false;
  while (std::getline(mounts, line)) {
    if (line.find(" /dev ") != std::string::npos && line.find(" - devtmpfs ") != std::string::npos)
      dev_is_devtmpfs = true;
    if (line.find(" /dev/shm ") != std::string::npos && line.find(" - tmpfs ") != std::string::npos)
      shm_is_tmpfs = true;
  }
  if (dev_is_devtmpfs) {
    const std::vector<std::string> names = ExpectOnlyMountPoints("/dev");
    if (shm_is_tmpfs) {
      EXPECT_NE(std::find(names.begin(), names.end(), "shm"), names.end());
    }
  }
  // An ordinary tmpfs is listed.
  std::error_code ec;
  std::string shm_dir = "/dev/shm/nerlo-platform-test-" + std::to_string(getpid());
  if (std::filesystem::create_directory(shm_dir, ec)) {
    WriteFile(shm_dir + "/file", "x");
    EXPECT_EQ(ListNames(shm_dir, "file"), std::vector<std::string>{"file"});
    std::filesystem::remove_all(shm_dir, ec);
  }
}

TEST(PlatformEntry, StatPath) {
  TempDir dir;
  WriteFile(dir / ".data", std::string(77, 'd'));
  ASSERT_EQ(symlink((dir / ".data").c_str(), (dir / "link").c_str()), 0);

  // StatPath follows the link.
  ErrorCode error = 0;
  FileStamp target, through_link;
  ASSERT_TRUE(StatPath(dir / ".data", &target));
  ASSERT_TRUE(StatPath(dir / "link", &through_link));
  EXPECT_EQ(target, through_link);
  EXPECT_TRUE(target.identity.valid);
  EXPECT_EQ(target.size, 77);
  EXPECT_GT(target.modified_ns, 0);
  EXPECT_FALSE(StatPath(dir / "missing", &target, &error));
  EXPECT_EQ(error, ENOENT);
}

TEST(PlatformFile, OpenReadsRegularFilesAndRefusesEverythingElse) {
  TempDir dir;
  WriteFile(dir / "data", "hello world");
  ASSERT_EQ(symlink((dir / "data").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

  ErrorCode error = 0;
  File file = File::Open(dir / "data", LinkPolicy::kNoFollow, &error);
  ASSERT_TRUE(file.IsOpen()) << ErrorText(error);
  EXPECT_EQ(file.Stamp(), [&] {
    FileStamp s;
    StatPath(dir / "data", &s);
    return s;
  }());
  char buffer[64];
  EXPECT_EQ(file.Read(buffer, 5, &error), 5);
  EXPECT_EQ(file.Read(buffer + 5, sizeof buffer - 5, &error), 6);
  EXPECT_EQ(std::string(buffer, 11), "hello world");
  EXPECT_EQ(file.Read(buffer, sizeof buffer, &error), 0);
  File moved = std::move(file);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  moved.Close();
  EXPECT_EQ(moved.Read(buffer, 1, &error), -1);

  // A FIFO without a writer would block a plain open; it must be refused at once.
  File fifo = File::Open(dir / "fifo", LinkPolicy::kNoFollow, &error);
  EXPECT_FALSE(fifo.IsOpen());
  EXPECT_EQ(error, ENXIO);
  File directory = File::Open(dir.path(), LinkPolicy::kFollow, &error);
  EXPECT_FALSE(directory.IsOpen());
  EXPECT_EQ(error, EISDIR);
  File link = File::Open(dir / "link", LinkPolicy::kNoFollow, &error);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(error, ELOOP);
  File followed = File::Open(dir / "link", LinkPolicy::kFollow, &error);
  EXPECT_TRUE(followed.IsOpen());
  File missing = File::Open(dir / "missing", LinkPolicy::kFollow, &error);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(error, ENOENT);

  if (geteuid() != 0) {
    WriteFile(dir / "secret", "s");
    ASSERT_EQ(chmod((dir / "secret").c_str(), 0), 0);
    EXPECT_FALSE(File::Open(dir / "secret", LinkPolicy::kFollow, &error).IsOpen());
    EXPECT_EQ(error, EACCES);
  }
}

}  // namespace
}  // namespace nerlo::platform

namespace nerlo::platform {
namespace {

// Blocks of every size class come zero-filled and wholly writable, and an impossible size is
// refused with bad_alloc rather than a null block.
TEST(LargeBlock, ZeroFilledWritableAndRefusedWhenImpossible) {
  for (const size_t count :
       {size_t{0}, size_t{1}, size_t{4095}, size_t{3} << 20, size_t{9} << 20}) {
    LargeArray<uint32_t> block = MakeLargeArray<uint32_t>(count);
    ASSERT_NE(block.get(), nullptr);
    for (size_t i = 0; i < count; i += 1009) ASSERT_EQ(block[i], 0u) << count;
    for (size_t i = 0; i < count; ++i) block[i] = static_cast<uint32_t>(i);
    if (count > 0) {
      EXPECT_EQ(block[count - 1], count - 1);
    }
  }
  EXPECT_THROW(AllocateLargeBlock(SIZE_MAX - 1024), std::bad_alloc);
  EXPECT_THROW(MakeLargeArray<unsigned char>(size_t{1} << 62), std::bad_alloc);
}

// The heap's kept memory is advised for huge pages, as one stretch of the heap itself (the
// kernel marks such a mapping "hg"), and blocks taken from it afterwards are ordinary heap
// memory that the program can fill and free.
TEST(KeptMemory, TheHeapsKeptStretchIsAdvisedForHugePages) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator has no heap of its own to advise";
#else
  KeepFreedMemory(size_t{8} << 20, size_t{128} << 20);
  std::ifstream smaps("/proc/self/smaps");
  ASSERT_TRUE(smaps.is_open());
  size_t advised = 0;
  size_t length = 0;
  bool heap = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long long from = 0;
    unsigned long long to = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx ", &from, &to) == 2 && line.find(' ') < 30) {
      heap = line.find("[heap]") != std::string::npos;
      length = static_cast<size_t>(to - from);
    } else if (heap && line.rfind("VmFlags:", 0) == 0 && (line + " ").find(" hg ") != line.npos) {
      advised += length;
    }
  }
  // Seven eighths of the kept bytes, less the pieces' rounding to 2 MiB.
  EXPECT_GE(advised, size_t{104} << 20);
  std::vector<std::unique_ptr<unsigned char[]>> blocks;
  for (int i = 0; i < 20; ++i) {
    blocks.emplace_back(new unsigned char[size_t{5} << 20]);
    std::fill_n(blocks.back().get(), size_t{5} << 20, static_cast<unsigned char>(i));
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(blocks[i][(size_t{5} << 20) - 1], i);
#endif
}

}  // namespace
}  // namespace nerlo::platform

// The desktop program's operating-system calls: the settings file's location, making its
// folder, and the shell's "open".
#include "platform/desktop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_util.h"

namespace nerlo::platform {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

TEST(DesktopTest, SettingsFileFollowsXdgConfigHomeElseHome) {
  ScopedEnv home("HOME", "/home/someone");
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/tmp/cfg");
    EXPECT_EQ(SettingsFilePath(), "/tmp/cfg/nerlo/nerlo.ini");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/tmp/cfg/");
    EXPECT_EQ(SettingsFilePath(), "/tmp/cfg/nerlo/nerlo.ini");
  }
  for (const char* ignored : {"", "relative/cfg"}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
    EXPECT_EQ(SettingsFilePath(), "/home/someone/.config/nerlo/nerlo.ini") << ignored;
  }
  ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(SettingsFilePath(), "/home/someone/.config/nerlo/nerlo.ini");
}

TEST(DesktopTest, CreateDirectoriesMakesEveryLevelAndRefusesAFileInTheWay) {
  TempDir dir;
  const std::string deep = dir / "a/b/c";
  EXPECT_TRUE(CreateDirectories(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(CreateDirectories(deep + "/"));  // already there
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  WriteFile(dir / "file", "x");
  ErrorCode error = 0;
  EXPECT_FALSE(CreateDirectories(dir / "file/sub", &error));
  EXPECT_EQ(error, ENOTDIR);
  error = 0;
  EXPECT_FALSE(CreateDirectories(dir / "file", &error));
  EXPECT_NE(error, 0);
}

TEST(DesktopTest, ReadTextFileReadsAllOrReportsWhy) {
  TempDir dir;
  std::string big(200000, 'q');
  big[123456] = '\0';
  WriteFile(dir / "big", big);
  std::string contents;
  ASSERT_TRUE(ReadTextFile(dir / "big", &contents));
  EXPECT_EQ(contents, big);
  ErrorCode error = 0;
  EXPECT_FALSE(ReadTextFile(dir / "missing", &contents, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_TRUE(contents.empty());
}

TEST(DesktopTest, ShellExecuteStartsAnExecutableDetachedAndRefusesWhatIsMissing) {
  TempDir dir;
  // The program writes into a pipe: the test reads its line as soon as it runs.
  const std::string marker = dir / "started";
  ASSERT_EQ(mkfifo(marker.c_str(), 0600), 0);
  const int fifo = open(marker.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifo, 0);
  const std::string program = dir / "prog";
  WriteFile(program, "#!/bin/sh\necho ran > '" + marker + "'\n");
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  EXPECT_TRUE(ShellExecute(program));
  // Until a writer has opened it, the pipe reports nothing; the time-out only bounds a failure.
  pollfd ready = {fifo, POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, 60000), 1);
  char line[8] = {};
  EXPECT_EQ(read(fifo, line, sizeof line), 4);
  EXPECT_STREQ(line, "ran\n");
  close(fifo);
  EXPECT_FALSE(ShellExecute(dir / "missing"));
  EXPECT_FALSE(ShellExecute(dir.path()));  // a folder is not opened
}

}  // namespace
}  // namespace nerlo::platform

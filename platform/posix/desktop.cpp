// Linux: the settings file's location and the desktop shell's "open".
#include "platform/desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/fs_query.h"
#include "platform/posix/home.h"

extern char** environ;

namespace nerlo::platform {

namespace {

// Runs argv[0] (searched on the PATH when search is set) in a new session with standard input
// from /dev/null; returns whether it started.
bool SpawnDetached(const std::vector<std::string>& args, bool search) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return false;
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  const int result = search ? posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ)
                            : posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (result != 0) return false;
  // Nothing is awaited: a thread of its own reaps the program whenever it ends, so that no
  // finished child lingers as a zombie while the desktop program runs.
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  return true;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (;;) {
    const size_t end = dirs.find(':');
    const std::string_view dir = dirs.substr(0, end);
    // Appended piece by piece: GCC 12 warns (-Wrestrict) about a concatenation of temporaries
    // here that cannot overlap.
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate += '/';
    candidate += program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    if (end == std::string_view::npos) return false;
    dirs.remove_prefix(end + 1);
  }
}

}  // namespace

std::string SettingsFilePath() {
  std::string base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const std::string home = posix::HomeDirectory();
    if (home.empty()) return std::string();
    base = JoinPath(home, ".config");
  }
  return JoinPath(JoinPath(base, "nerlo"), "nerlo.ini");
}

bool CreateDirectories(const std::string& dir, ErrorCode* error) {
  if (dir.empty()) {
    if (error != nullptr) *error = ENOENT;
    return false;
  }
  if (IsDirectory(dir)) return true;
  size_t cut = dir.find_last_not_of('/');
  if (cut != std::string::npos) {
    size_t slash = dir.rfind('/', cut);
    if (slash != std::string::npos && slash > 0) {
      if (!CreateDirectories(dir.substr(0, slash), error)) return false;
    }
  }
  if (mkdir(dir.c_str(), 0700) == 0 || (errno == EEXIST && IsDirectory(dir))) return true;
  if (error != nullptr) *error = errno == EEXIST ? ENOTDIR : errno;
  return false;
}

bool ReadTextFile(const std::string& path, std::string* contents, ErrorCode* error) {
  contents->clear();
  ErrorCode open_error = 0;
  File file = File::Open(path, LinkPolicy::kFollow, &open_error);
  if (!file.IsOpen()) {
    if (error != nullptr) *error = open_error;
    return false;
  }
  char buffer[65536];
  for (;;) {
    ErrorCode read_error = 0;
    const int64_t n = file.Read(buffer, sizeof buffer, &read_error);
    if (n < 0) {
      contents->clear();
      if (error != nullptr) *error = read_error;
      return false;
    }
    if (n == 0) return true;
    contents->append(buffer, static_cast<size_t>(n));
  }
}

bool ShellExecute(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0 && access(path.c_str(), X_OK) == 0)
    return SpawnDetached({path}, false);
  if (!OnPath("xdg-open")) return false;
  return SpawnDetached({"xdg-open", path}, true);
}

bool OpenFolder(const std::string& dir) {
  if (!IsDirectory(dir)) return false;
  return SpawnDetached({"xdg-open", dir}, true);
}

}  // namespace nerlo::platform

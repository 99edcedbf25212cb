// What the desktop program needs from the operating system beyond the engine's calls: where
// the settings file lives, making its folder, reading it, and handing a file to the desktop
// shell. Every call may be made from any thread and none raises an exception.
#pragma once

#include <string>

#include "platform/platform.h"

namespace nerlo::platform {

// Full path of the settings file: $XDG_CONFIG_HOME/nerlo/nerlo.ini, or
// ~/.config/nerlo/nerlo.ini when XDG_CONFIG_HOME is unset, empty or not an absolute path.
// The home folder comes from $HOME, else from the user database; empty when neither knows it.
std::string SettingsFilePath();

// Creates dir and every missing folder above it (mode 0700 for new folders, as a user's
// configuration folder should be). Returns true when dir exists as a directory afterwards;
// otherwise false with *error set.
bool CreateDirectories(const std::string& dir, ErrorCode* error = nullptr);

// The whole file at path into *contents (links followed). Returns false, with *error set,
// when it cannot be opened or read; *contents is then empty.
bool ReadTextFile(const std::string& path, std::string* contents, ErrorCode* error = nullptr);

// Opens path as the desktop shell would: a regular file with an execute bit is started as a
// program in a new session, with no arguments, not awaited; any other existing file is handed
// to xdg-open when that is on the PATH. Returns false when nothing was started (the file is
// missing, or starting failed); the launcher ignores the result.
bool ShellExecute(const std::string& path);

// Hands the folder dir to the desktop's file manager (xdg-open), not awaited. False when it
// could not be started or dir is no folder.
bool OpenFolder(const std::string& dir);

}  // namespace nerlo::platform

// File-system and environment calls for signature sets and their tools: reading symbolic links,
// the user's data folder, making folders, creating a file that must not exist yet, and
// reading a file of bounded size. Every call may be made from any thread and none raises an
// exception; failures come back as false with *error set (when error is not null).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace nerlo::platform {

// The value of the environment variable name. Returns false when it is not set (an empty
// value is set). Only safe while no other thread changes the environment.
bool EnvironmentValue(const char* name, std::string* value);

// The user's data folder, without a trailing separator: $XDG_DATA_HOME when it is an absolute
// path, else ~/.local/share, the home folder taken from $HOME, else from the user database.
// Empty when neither knows the home folder.
std::string UserDataDirectory();

// The target of the symbolic link at path, as stored in the link (not resolved). Fails with
// EINVAL when path is not a symbolic link, ENOENT when it names nothing.
bool ReadSymbolicLink(const std::string& path, std::string* target, ErrorCode* error = nullptr);

// True when path names a directory (links followed).
bool IsDirectory(const std::string& path);

// Creates the folder path (one level) with the given permission bits (the umask applies).
// True also when it exists already as a directory (links followed); EEXIST when something
// else has the name.
bool MakeDirectory(const std::string& path, uint32_t mode, ErrorCode* error = nullptr);

// Creates the regular file path, which must not exist (EEXIST otherwise; a symbolic link under
// the name counts as existing and is not followed), with exactly the permission bits mode
// (whatever the umask), writes contents and flushes them to the disk. On failure a file this
// call created is removed again.
bool WriteNewFile(const std::string& path, std::string_view contents, uint32_t mode,
                  ErrorCode* error = nullptr);

// Reads the file at path (links followed; nothing but a regular file) into *contents, but at
// most max_bytes + 1 bytes, so that a caller can refuse a file larger than max_bytes without
// reading it whole.
bool ReadFileHead(const std::string& path, size_t max_bytes, std::string* contents,
                  ErrorCode* error = nullptr);

// The permission bits (07777) of what path names, links not followed.
bool PathMode(const std::string& path, uint32_t* mode, ErrorCode* error = nullptr);

}  // namespace nerlo::platform

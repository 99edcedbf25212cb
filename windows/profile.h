// The settings file's reader and writer: INI text with sections in square brackets and
// "key=value" lines, read and changed the way the settings dialog needs.
//
// Section and key names are compared without regard to ASCII case. A write changes an existing
// key's value in place, appends a missing key at the end of its section, appends a missing
// section at the end of the file and creates a missing file (its folder too); every other line
// is kept byte for byte. A write replaces the file atomically, so that a crash leaves either
// the old or the new file, never a part. Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace nerlo::windows {

// The value of key in section of the INI text contents, blanks around it removed; *found
// (when given) tells whether the key stands there. The first matching section and key win.
std::string ProfileGet(std::string_view contents, std::string_view section, std::string_view key,
                       bool* found = nullptr);

// contents with key in section set to value, as described above. New lines end as the
// text's first line does (CR LF or LF; LF for a text without line ends).
std::string ProfileSet(std::string_view contents, std::string_view section, std::string_view key,
                       std::string_view value);

// The value of key in section of the file at path; empty when the file, the section or the
// key is missing or the file cannot be read.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key);

// Writes key=value into section of the file at path. Returns false, with *error set, when the
// folder cannot be made or the file cannot be replaced (an unreadable existing file is not
// overwritten either); the file is then as it was.
bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, platform::ErrorCode* error = nullptr);

// The boolean value of key: default_value unless the text is an integer
// (platform::TextToInt32), else whether it is not zero.
bool ReadProfileBool(const std::string& path, std::string_view section, std::string_view key,
                     bool default_value);

}  // namespace nerlo::windows

// Searches one file for one heuristic string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace nerlo::scan {

// Bytes read per block; the message queue is pumped after every read.
inline constexpr size_t kHeuristicBlockSize = 1024;

// The 0-based offset of the first occurrence of s in the file at path, or -1 when s does not
// occur. The file is opened for reading only and streamed forwards in 1024-byte blocks, never
// held whole; occurrences that overlap a broken partial match or cross a block boundary are
// found. ProcessMessages() runs after every read, also after the read that finds the end. An
// empty s returns -1 without opening the file. Raises EInOutError when the file cannot be
// opened or a read fails. identity, when given, receives the identity of the file opened.
// User-interface thread only (it pumps the message queue).
int64_t MatchHeuristic(std::string_view s, const std::string& path,
                       platform::FileIdentity* identity = nullptr);

}  // namespace nerlo::scan

// The heuristic search as first written, kept as the oracle that the one-pass search of a
// whole list (THeuristicScanner) is tested and measured against: a forward search of one
// string over bytes fed in pieces, that search over a file streamed in 1024-byte blocks with
// the message queue pumped after every read, and every string of a list searched that way
// over bytes held in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace nerlo::testing {

// A forward search for one string over bytes fed in pieces, never stepping back in them:
// occurrences that overlap a broken partial match or cross a piece boundary are found.
// s must not be empty and must outlive the search.
class HeuristicSearch {
 public:
  explicit HeuristicSearch(std::string_view s);
  // Feeds the next count bytes. Returns the 0-based offset (counted over every byte fed) of
  // the first occurrence once its last byte has been fed, else -1; after an occurrence was
  // found, further bytes are not looked at and -1 is returned.
  int64_t Feed(const char* bytes, size_t count);

 private:
  std::string_view s_;
  std::vector<uint32_t> fail_;
  size_t matched_ = 0;  // bytes of s matched so far, ending just before the next byte
  int64_t offset_ = 0;  // bytes fed so far
  bool found_ = false;
};

// Bytes searched between two calls of a search's progress callback.
inline constexpr size_t kHeuristicPiece = 65536;

// The places (0-based, ascending, so in list order) of the strings of list that occur in
// bytes, each found as MatchHeuristic finds it in a file holding bytes; an empty string never
// occurs. progress, when given, is called with the number of bytes searched after every
// piece of at most kHeuristicPiece bytes of every string's pass (so a caller can keep its
// window responsive); it must not change list. Any thread.
std::vector<size_t> FindHeuristics(std::string_view bytes, const std::vector<std::string>& list,
                                   const std::function<void(size_t)>& progress = {});

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

}  // namespace nerlo::testing

// heuristics.db: reading its first line, and the list of heuristic strings built from it.
//
// Threads: ReadHeuristicsLine0 keeps no state; any thread may call it. A THeuristicList is
// not locked: Load only while no other thread uses the list; between loads any number of
// threads may read it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exceptions.h"

namespace nerlo {

// A list was read at an index it does not have.
class EStringListError : public Exception {
  using Exception::Exception;
};

}  // namespace nerlo

namespace nerlo::sigdb {

// Bytes of a heuristic string that a read-back returns at most.
inline constexpr size_t kHeuristicReadLimit = 4096;

// Reads line 0 of the file at path, still encoded: the bytes before the first CR, LF or zero
// byte. Raises EFOpenError "Cannot open file "<path>". <system text>" when the file cannot be
// opened or read, and EStringListError "List index out of bounds (0)" when it has no line 0
// (empty, or beginning with a zero byte).
std::string ReadHeuristicsLine0(const std::string& path);

// The heuristic strings of the last successful load, in order.
class THeuristicList {
 public:
  // Replaces the list by the pieces of decoded between CR LF pairs: decoded is cut at its first
  // zero byte; empty pieces are kept, and a text ending in CR LF adds one empty piece at its
  // end (an empty text gives one empty piece); a lone CR or LF does not split. Each piece is
  // kept cut to kHeuristicReadLimit bytes.
  void Load(std::string_view decoded);

  size_t Count() const { return strings_.size(); }
  const std::string& operator[](size_t index) const { return strings_[index]; }
  auto begin() const { return strings_.begin(); }
  auto end() const { return strings_.end(); }

 private:
  std::vector<std::string> strings_;
};

}  // namespace nerlo::sigdb

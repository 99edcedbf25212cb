#include "scan/heuristic_match.h"

#include <cstring>
#include <vector>

#include "platform/exceptions.h"
#include "platform/message_queue.h"

namespace nerlo::scan {
namespace {

// For each prefix length q + 1 of s, the length of the longest proper prefix of s that is
// also a suffix of s[0..q]: where the search resumes when the byte after a partial match
// differs, so that an occurrence starting inside the broken match is not missed.
std::vector<uint32_t> FailureTable(std::string_view s) {
  std::vector<uint32_t> fail(s.size(), 0);
  uint32_t k = 0;
  for (size_t q = 1; q < s.size(); ++q) {
    while (k > 0 && s[q] != s[k]) k = fail[k - 1];
    if (s[q] == s[k]) ++k;
    fail[q] = k;
  }
  return fail;
}

}  // namespace

int64_t MatchHeuristic(std::string_view s, const std::string& path,
                       platform::FileIdentity* identity) {
  if (s.empty()) return -1;

  platform::ErrorCode error = 0;
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kNoFollow, &error);
  if (!file.IsOpen()) {
    throw EInOutError("Cannot open file \"" + path + "\". " + platform::ErrorText(error));
  }
  if (identity != nullptr) *identity = file.Stamp().identity;

  const std::vector<uint32_t> fail = FailureTable(s);
  const size_t length = s.size();
  const char first = s[0];
  char block[kHeuristicBlockSize];
  int64_t block_offset = 0;  // file offset of block[0]
  size_t matched = 0;        // bytes of s matched so far, ending just before the next byte

  for (;;) {
    const int64_t n = file.Read(block, sizeof block, &error);
    platform::ProcessMessages();
    if (n < 0) {
      throw EInOutError("Cannot read file \"" + path + "\". " + platform::ErrorText(error));
    }
    if (n == 0) return -1;

    const char* const begin = block;
    const char* const end = block + n;
    const char* p = begin;
    while (p < end) {
      if (matched == 0) {
        // Nothing pending: only a byte equal to the first byte of s can start an occurrence.
        p = static_cast<const char*>(std::memchr(p, first, static_cast<size_t>(end - p)));
        if (p == nullptr) break;
      }
      const char b = *p++;
      while (matched > 0 && s[matched] != b) matched = fail[matched - 1];
      if (s[matched] == b) ++matched;
      if (matched == length) return block_offset + (p - begin) - static_cast<int64_t>(length);
    }
    block_offset += n;
  }
}

}  // namespace nerlo::scan

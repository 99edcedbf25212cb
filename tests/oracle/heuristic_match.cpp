#include "tests/oracle/heuristic_match.h"

#include <algorithm>
#include <cstring>

#include "platform/exceptions.h"
#include "platform/message_queue.h"

namespace nerlo::testing {

HeuristicSearch::HeuristicSearch(std::string_view s) : s_(s), fail_(s.size(), 0) {
  // For each prefix length q + 1 of s, the length of the longest proper prefix of s that is
  // also a suffix of s[0..q]: where the search resumes when the byte after a partial match
  // differs, so that an occurrence starting inside the broken match is not missed.
  uint32_t k = 0;
  for (size_t q = 1; q < s.size(); ++q) {
    while (k > 0 && s[q] != s[k]) k = fail_[k - 1];
    if (s[q] == s[k]) ++k;
    fail_[q] = k;
  }
}

int64_t HeuristicSearch::Feed(const char* bytes, size_t count) {
  if (found_ || s_.empty()) return -1;
  const size_t length = s_.size();
  const char first = s_[0];
  const char* const begin = bytes;
  const char* const end = bytes + count;
  const char* p = begin;
  while (p < end) {
    if (matched_ == 0) {
      // Nothing pending: only a byte equal to the first byte of s can start an occurrence.
      p = static_cast<const char*>(std::memchr(p, first, static_cast<size_t>(end - p)));
      if (p == nullptr) break;
    }
    const char b = *p++;
    while (matched_ > 0 && s_[matched_] != b) matched_ = fail_[matched_ - 1];
    if (s_[matched_] == b) ++matched_;
    if (matched_ == length) {
      found_ = true;
      return offset_ + (p - begin) - static_cast<int64_t>(length);
    }
  }
  offset_ += static_cast<int64_t>(count);
  return -1;
}

std::vector<size_t> FindHeuristics(std::string_view bytes, const std::vector<std::string>& list,
                                   const std::function<void(size_t)>& progress) {
  std::vector<size_t> hits;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string& s = list[i];
    if (s.empty() || s.size() > bytes.size()) continue;
    HeuristicSearch search(s);
    for (size_t at = 0; at < bytes.size();) {
      const size_t piece = std::min(kHeuristicPiece, bytes.size() - at);
      const int64_t found = search.Feed(bytes.data() + at, piece);
      at += piece;
      if (progress) progress(piece);
      if (found >= 0) {
        hits.push_back(i);
        break;
      }
    }
  }
  return hits;
}

int64_t MatchHeuristic(std::string_view s, const std::string& path,
                       platform::FileIdentity* identity) {
  if (s.empty()) return -1;

  platform::ErrorCode error = 0;
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kNoFollow, &error);
  if (!file.IsOpen()) {
    throw EInOutError("Cannot open file \"" + path + "\". " + platform::ErrorText(error));
  }
  if (identity != nullptr) *identity = file.Stamp().identity;

  HeuristicSearch search(s);
  char block[kHeuristicBlockSize];
  for (;;) {
    const int64_t n = file.Read(block, sizeof block, &error);
    platform::ProcessMessages();
    if (n < 0) {
      throw EInOutError("Cannot read file \"" + path + "\". " + platform::ErrorText(error));
    }
    if (n == 0) return -1;
    const int64_t found = search.Feed(block, static_cast<size_t>(n));
    if (found >= 0) return found;
  }
}

}  // namespace nerlo::testing

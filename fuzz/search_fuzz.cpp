// TBaseSearch over an arbitrary block and pattern, in both case modes, against a plain
// search. Input: one byte giving the pattern length (modulo 64), the pattern, the block.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "sigdb/file_search.h"

namespace {

using nerlo::sigdb::TBaseSearch;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

bool MatchesAt(std::string_view block, size_t at, std::string_view pattern, bool case_sensitive) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(block[at + i]);
    unsigned char b = static_cast<unsigned char>(pattern[i]);
    if (!case_sensitive) {
      a = TBaseSearch::Fold(a);
      b = TBaseSearch::Fold(b);
    }
    if (a != b) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t pattern_length = std::min<size_t>(data[0] % 64, size - 1);
  const std::string_view pattern(reinterpret_cast<const char*>(data + 1), pattern_length);
  const std::string_view block(reinterpret_cast<const char*>(data + 1 + pattern_length),
                               size - 1 - pattern_length);
  // The block gets its own allocation so that reads past its end are caught.
  std::vector<unsigned char> owned(block.begin(), block.end());

  for (bool case_sensitive : {false, true}) {
    TBaseSearch search;
    search.SetCaseSensitive(case_sensitive);
    search.SetPattern(pattern);
    search.SetBuffer(owned.empty() ? nullptr : owned.data(), static_cast<int32_t>(owned.size()));

    std::vector<size_t> expected;
    if (!pattern.empty()) {
      for (size_t at = 0; at + pattern.size() <= block.size();) {
        if (MatchesAt(block, at, pattern, case_sensitive)) {
          expected.push_back(at);
          at += pattern.size();
        } else {
          ++at;
        }
      }
    }
    for (int pass = 0; pass < 2; ++pass) {  // FindFirst starts over
      std::vector<size_t> found;
      int64_t previous_end = 0;
      for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext()) {
        Check(static_cast<int64_t>(at) >= previous_end, "matches ascend and never overlap");
        Check(static_cast<size_t>(at) + pattern.size() <= block.size(), "match inside block");
        Check(MatchesAt(block, static_cast<size_t>(at), pattern, case_sensitive), "real match");
        previous_end = at + static_cast<int64_t>(pattern.size());
        found.push_back(static_cast<size_t>(at));
      }
      Check(search.FindNext() == -1, "the end is final");
      Check(found == expected, "every leftmost non-overlapping match, once");
    }
  }
  return 0;
}

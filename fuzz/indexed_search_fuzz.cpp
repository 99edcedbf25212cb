// TFileSearch over a database file, whose long patterns go through the q-gram index, against
// the skip-table search over the same bytes, in both case modes. Input: one byte giving the
// pattern length (31 to 94), one byte choosing where the pattern comes from, then the
// database. The pattern is cut from the database (so it occurs), with its letters' case
// changed by the choice byte, or taken from the input's tail.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sigdb/file_search.h"
#include "sigdb/qgram_index.h"

namespace {

using nerlo::sigdb::TBaseSearch;
using nerlo::sigdb::TFileSearch;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// Exposes the block the setting made, so that the reference searches exactly those bytes.
class Probe : public TFileSearch {
 public:
  const unsigned char* Block() const { return BlockStart(); }
  int32_t Size() const { return BlockSize(); }
};

std::vector<int32_t> All(TBaseSearch& search) {
  std::vector<int32_t> found;
  for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext()) found.push_back(at);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t length = nerlo::sigdb::QGramIndex::kMinPattern + data[0] % 64;
  const uint8_t choice = data[1];
  const std::string database(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string pattern;
  if (choice % 4 != 3 && database.size() >= length) {
    pattern = database.substr((choice * 7u) % (database.size() - length + 1), length);
    for (size_t i = 0; i < pattern.size(); ++i)
      if ((choice >> (i % 8)) & 1)
        pattern[i] = static_cast<char>(TBaseSearch::Fold(static_cast<unsigned char>(pattern[i])));
  } else {
    pattern = database.substr(database.size() - std::min(length, database.size()));
  }

  // A name of its own per input: a rewrite within one tick of the clock keeps its stamp.
  static unsigned counter = 0;
  const std::string path =
      (std::filesystem::temp_directory_path() /
       ("nerlo-indexed-fuzz-" + std::to_string(getpid()) + "-" + std::to_string(counter++ % 64)))
          .string();
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(database.data(), static_cast<std::streamsize>(database.size()));

  Probe indexed;
  indexed.SetFilename(path);
  std::filesystem::remove(path);
  Check(indexed.Filename().empty() == database.empty(), "a block for every non-empty file");
  if (indexed.Filename().empty()) return 0;
  for (bool case_sensitive : {false, true}) {
    indexed.SetCaseSensitive(case_sensitive);
    indexed.SetPattern(pattern);
    TBaseSearch reference;
    reference.SetCaseSensitive(case_sensitive);
    reference.SetPattern(pattern);
    reference.SetBuffer(indexed.Block(), indexed.Size());
    const std::vector<int32_t> expected = All(reference);
    Check(All(indexed) == expected, "the skip-table search's matches");
    Check(All(indexed) == expected, "the same again after starting over");
  }
  return 0;
}

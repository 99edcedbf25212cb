// THeuristicScanner over arbitrary strings and bytes against a plain search per string.
// Input: one byte giving the number of strings (0 to 31), then each string as a length byte
// (0 to 47) and its bytes; the rest is the block scanned.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "scan/heuristic_scanner.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t at = 1;
  std::vector<std::string> strings;
  for (size_t n = data[0] % 32; n > 0 && at < size; --n) {
    const size_t wanted = data[at] % 48;
    ++at;
    const size_t length = std::min(wanted, size - at);
    strings.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  // The block gets its own allocation so that reads past its end are caught.
  const std::vector<unsigned char> block(data + at, data + size);
  const std::string_view text(reinterpret_cast<const char*>(block.data()), block.size());

  std::vector<size_t> expected;
  for (size_t i = 0; i < strings.size(); ++i)
    if (!strings[i].empty() && text.find(strings[i]) != std::string_view::npos)
      expected.push_back(i);

  nerlo::scan::THeuristicScanner scanner;
  scanner.Load(strings);
  int pumps = 0;
  Check(scanner.Scan(
            block.data(), block.size(), [&] { ++pumps; }, 7) == expected,
        "every entry that occurs, in list order");
  Check(block.empty() || pumps >= 1, "the pump runs for a non-empty block");
  Check(scanner.Scan(block.data(), block.size()) == expected, "the same without a pump");
  // Pieces large enough that a block where the filter lets most offsets through is gone through
  // without it for a while.
  Check(scanner.Scan(
            block.data(), block.size(), [] {}, 4096) == expected,
        "the same in larger pieces");
  return 0;
}

// The heuristics.db loader over arbitrary file bytes: read line 0, decode it, build the list.
// Only the documented failures may escape the loader; line 0 and the list must follow the
// splitting rules.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/exceptions.h"
#include "sigdb/cipher.h"
#include "sigdb/heuristics_db.h"

namespace {

const std::string& InputPath() {
  static const std::string path =
      (std::filesystem::temp_directory_path() /
       ("nerlo-heuristics-fuzz-" + std::to_string(std::random_device()()) + ".db"))
          .string();
  return path;
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(InputPath(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const size_t line_end = bytes.find_first_of(std::string("\r\n\0", 3));
  const std::string expected_line = bytes.substr(0, line_end);
  const bool has_line0 = !bytes.empty() && bytes[0] != '\0';

  std::string line;
  try {
    line = nerlo::sigdb::ReadHeuristicsLine0(InputPath());
  } catch (const nerlo::EStringListError&) {
    Check(!has_line0, "no line 0 reported for a text that has one");
    return 0;
  } catch (const nerlo::EFOpenError&) {
    Check(false, "a readable file failed to open");
  }
  Check(has_line0, "line 0 returned for an empty text");
  Check(line == expected_line, "line 0 differs from the bytes before the first line end");

  nerlo::sigdb::TCaesarCipher cipher;
  const std::string decoded = cipher.Decode(nerlo::sigdb::kCipherKey, line);
  Check(cipher.Encode(nerlo::sigdb::kCipherKey, decoded) == line, "cipher round trip");
  nerlo::sigdb::THeuristicList list;
  list.Load(decoded);
  Check(list.Count() >= 1, "a load gives at least one string");

  // Rebuild the text from the pieces: they are the CR LF-separated pieces of the text up to
  // its first zero byte, each cut to the read limit.
  const std::string text = decoded.substr(0, decoded.find('\0'));
  size_t start = 0;
  for (size_t i = 0; i < list.Count(); ++i) {
    const size_t pair = text.find("\r\n", start);
    const size_t end = pair == std::string::npos ? text.size() : pair;
    const std::string piece = text.substr(start, end - start);
    Check(list[i] == piece.substr(0, nerlo::sigdb::kHeuristicReadLimit), "piece content");
    Check((pair == std::string::npos) == (i + 1 == list.Count()), "piece count");
    start = end + 2;
  }
  return 0;
}

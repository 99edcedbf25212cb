#include "sigdb/heuristics_db.h"

#include <algorithm>

#include "platform/exceptions.h"
#include "platform/platform.h"

namespace nerlo::sigdb {
namespace {

std::string OpenErrorMessage(const std::string& path, platform::ErrorCode code) {
  return "Cannot open file \"" + path + "\". " + platform::ErrorText(code);
}

}  // namespace

std::string ReadHeuristicsLine0(const std::string& path) {
  platform::ErrorCode error = 0;
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kFollow, &error);
  if (!file.IsOpen()) throw EFOpenError(OpenErrorMessage(path, error));

  // Only line 0 is ever used, so reading stops as soon as it has ended: at the first CR, LF
  // or zero byte (a zero byte also ends the whole text).
  std::string line;
  bool any_text = false;  // the text holds at least one byte before its end
  char buffer[8192];
  for (;;) {
    int64_t got = file.Read(buffer, sizeof buffer, &error);
    if (got < 0) throw EFOpenError(OpenErrorMessage(path, error));
    if (got == 0) break;
    const size_t count = static_cast<size_t>(got);
    size_t end = 0;
    while (end < count && buffer[end] != '\r' && buffer[end] != '\n' && buffer[end] != '\0') ++end;
    if (end < count) {
      // A text that begins with a zero byte is empty: it has no line 0.
      if (buffer[end] != '\0' || end > 0 || !line.empty()) any_text = true;
      line.append(buffer, end);
      break;
    }
    any_text = true;
    line.append(buffer, count);
  }
  if (!any_text) throw EStringListError("List index out of bounds (0)");
  return line;
}

void THeuristicList::Load(std::string_view decoded) {
  const size_t zero = decoded.find('\0');
  if (zero != std::string_view::npos) decoded = decoded.substr(0, zero);

  std::vector<std::string> strings;
  // Pieces of decoded + CR LF between CR LF pairs, without the empty piece after the last
  // pair: every CR LF in decoded ends one piece, and the rest after the last one is a piece
  // too, even when empty.
  size_t start = 0;
  for (;;) {
    const size_t pair = decoded.find("\r\n", start);
    const size_t end = pair == std::string_view::npos ? decoded.size() : pair;
    strings.emplace_back(decoded.substr(start, std::min(end - start, kHeuristicReadLimit)));
    if (pair == std::string_view::npos) break;
    start = pair + 2;
  }
  strings_ = std::move(strings);
}

}  // namespace nerlo::sigdb

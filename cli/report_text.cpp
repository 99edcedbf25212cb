#include "cli/report_text.h"

#include "platform/display_text.h"

namespace nerlo::cli {

std::string DetectionLine(std::string_view path, std::string_view action, std::string_view check) {
  std::string line = platform::DisplayText(path);
  line += ": Infected!";
  if (!action.empty()) {
    // A refusal's reason may name a file.
    line += ' ';
    line += platform::DisplayText(action);
  }
  line += " [";
  line += check;
  line += ']';
  return line;
}

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string ProgressLine(int64_t scanned, int64_t infected, int64_t removed, std::string_view path,
                         int columns) {
  if (columns < 1) return {};
  const size_t room = static_cast<size_t>(columns) - 1;
  std::string line = "Scanned: " + std::to_string(scanned) +
                     "  Infected: " + std::to_string(infected) +
                     "  Removed: " + std::to_string(removed);
  if (line.size() >= room) {
    line.resize(room);  // the counters are plain ASCII
    return line;
  }
  const std::string shown = platform::DisplayText(path);
  if (shown.empty()) return line;
  constexpr std::string_view kGap = "  ";
  constexpr std::string_view kCut = "...";
  const size_t path_room = room - line.size();
  if (shown.size() + kGap.size() <= path_room) return line.append(kGap).append(shown);
  if (path_room < kGap.size() + kCut.size() + 1) return line;
  // Keep the end of the path: the file name is what tells the user where the scan is.
  size_t start = shown.size() - (path_room - kGap.size() - kCut.size());
  while (start < shown.size() && IsContinuationByte(shown[start])) ++start;
  return line.append(kGap).append(kCut).append(shown, start);
}

}  // namespace nerlo::cli

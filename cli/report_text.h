// Texts that nerlo-scan prints: paths made safe for a terminal, detection lines, and the
// progress line fitted to the terminal's width. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nerlo::cli {

// "PATH: Infected! [check]", or "PATH: Infected! ACTION [check]" when action is not empty;
// the path and the action escaped as platform::DisplayText shows them. Without a line end.
std::string DetectionLine(std::string_view path, std::string_view action, std::string_view check);

// The progress line "Scanned: N  Infected: N  Removed: N  PATH" (the path escaped), at most
// columns - 1 bytes long, so that it never reaches the terminal's last column and never
// wraps whatever the terminal makes of the bytes (no character takes more columns than it
// has bytes). A path that does not fit keeps its end, after "...", cut only between
// characters; when even the counters do not fit they are cut. columns below 1 gives "".
std::string ProgressLine(int64_t scanned, int64_t infected, int64_t removed, std::string_view path,
                         int columns);

}  // namespace nerlo::cli

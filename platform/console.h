// The command line's console streams.
#pragma once

namespace nerlo::platform {

// True when the standard error stream is a terminal (progress is drawn there only then).
bool StandardErrorIsTerminal();

}  // namespace nerlo::platform

#include "platform/console.h"

#include <unistd.h>

namespace nerlo::platform {

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace nerlo::platform

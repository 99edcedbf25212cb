// How a byte string (a path, a message naming one) is shown to a person, in a window or on a
// terminal: valid UTF-8 as text; control characters (C0, DEL, and C1 also when UTF-8-encoded,
// such as C2 9B, which some terminals take for CSI), the backslash and bytes that are not part
// of valid UTF-8 as escapes ("\n", "\t", "\r", "\\", "\xHH" per byte, upper-case hex).
// Nothing is dropped, no name can send a control sequence, and two different byte strings
// never look the same. No character of the result takes more terminal columns than it has
// bytes. Pure function, any thread.
#pragma once

#include <string>
#include <string_view>

namespace nerlo::platform {

// The UTF-8 text that shows bytes.
std::string DisplayText(std::string_view bytes);

}  // namespace nerlo::platform

// How a byte string (a path) is shown in a window: valid UTF-8 as text; control characters,
// the backslash and bytes that are not part of valid UTF-8 as escapes ("\n", "\t", "\r",
// "\\", "\xFF"). Nothing is dropped, and two different byte strings never look the same.
#pragma once

#include <string>
#include <string_view>

namespace nerlo::windows {

// The UTF-8 text that shows bytes.
std::string DisplayText(std::string_view bytes);

}  // namespace nerlo::windows

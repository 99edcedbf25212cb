// Reading a whole text as a signed 32-bit integer, the one rule used for settings and keys.
#pragma once

#include <cstdint>
#include <string_view>

namespace nerlo::platform {

// Reads text as a signed 32-bit integer: any number of leading spaces (byte 32 only), an
// optional "+" or "-", then decimal digits, or hexadecimal digits (0-9, A-F, a-f) after "$",
// "x", "X", "0x" or "0X", and nothing after the last digit. A hexadecimal number of up to
// eight digits is the 32-bit pattern it spells ("$FFFFFFFF" is -1), then negated when "-"
// precedes it. Returns false, leaving *value untouched, when the text is empty, holds anything
// else, or the value does not fit 32 bits. Pure function, any thread.
bool TextToInt32(std::string_view text, int32_t* value);

}  // namespace nerlo::platform

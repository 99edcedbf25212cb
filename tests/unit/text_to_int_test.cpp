#include "platform/text_to_int.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace nerlo::platform {
namespace {

TEST(TextToInt32, AcceptsWholeDecimalAndHexadecimalNumbers) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {{"12", 12},
               {" -7", -7},
               {"+7", 7},
               {"   42", 42},
               {"0000000000000000000000042", 42},
               {"$1F", 31},
               {"$1f", 31},
               {"x1F", 31},
               {"X20", 32},
               {"0xfF", 255},
               {"0X10", 16},
               {"-$10", -16},
               {"2147483647", INT32_MAX},
               {"-2147483648", INT32_MIN},
               {"$7FFFFFFF", INT32_MAX},
               {"$FFFFFFFF", -1},
               {"$80000000", INT32_MIN},
               {"-$FFFFFFFF", 1}};
  for (const auto& c : cases) {
    int32_t value = 12345;
    EXPECT_TRUE(TextToInt32(c.text, &value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(TextToInt32, RejectsAnythingElseAndLeavesTheValueAlone) {
  for (const char* text : {"",           " ",           "x",
                           "0x",         "$",           "-",
                           "+",          "1 ",          "\t1",
                           "12a",        "1.5",         "--1",
                           "+-1",        "$G",          "0x1g",
                           "2147483648", "-2147483649", "4294967296",
                           "$1FFFFFFFF", "-$80000000",  "99999999999999999999999"}) {
    int32_t value = 12345;
    EXPECT_FALSE(TextToInt32(text, &value)) << text;
    EXPECT_EQ(value, 12345) << text;
  }
}

}  // namespace
}  // namespace nerlo::platform

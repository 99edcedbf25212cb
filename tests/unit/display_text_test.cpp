#include "platform/display_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace nerlo::platform {
namespace {

std::string Hex(unsigned char c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
  return buffer;
}

// Decodes s, which must be valid UTF-8, and fails on any control character in it.
void ExpectPrintableUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    ASSERT_NE(length, 0u) << "invalid lead byte at " << i << " of " << s;
    ASSERT_LE(i + length, s.size()) << s;
    char32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      ASSERT_EQ(c & 0xC0, 0x80) << s;
      cp = (cp << 6) | (c & 0x3F);
    }
    EXPECT_FALSE(cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) << "control U+" << std::hex << +cp;
    i += length;
  }
}

TEST(DisplayText, EveryControlCharacterIsEscaped) {
  for (int c = 0; c < 0x20; ++c) {
    const std::string name = "a" + std::string(1, static_cast<char>(c)) + "b";
    const std::string escape = c == '\n'   ? "\\n"
                               : c == '\t' ? "\\t"
                               : c == '\r' ? "\\r"
                                           : Hex(static_cast<unsigned char>(c));
    EXPECT_EQ(DisplayText(name), "a" + escape + "b") << c;
  }
  EXPECT_EQ(DisplayText("a\x7F"), "a\\x7F");
  // C1 controls, U+0080 to U+009F, encoded in UTF-8: C2 80 to C2 9F.
  for (int c = 0x80; c <= 0x9F; ++c) {
    const std::string name = std::string("\xC2") + static_cast<char>(c) + "[2J";
    EXPECT_EQ(DisplayText(name), "\\xC2" + Hex(static_cast<unsigned char>(c)) + "[2J") << c;
  }
  EXPECT_EQ(DisplayText("back\\slash"), "back\\\\slash");
  EXPECT_EQ(DisplayText(std::string("\0x", 2)), "\\x00x");
}

TEST(DisplayText, BytesThatAreNotValidUtf8AreEscapedOneByOne) {
  for (int c = 0x80; c <= 0xFF; ++c) {
    const std::string name = std::string("x") + static_cast<char>(c) + "y";
    EXPECT_EQ(DisplayText(name), "x" + Hex(static_cast<unsigned char>(c)) + "y") << c;
  }
  EXPECT_EQ(DisplayText("caf\xE9.bin"), "caf\\xE9.bin");       // Latin-1
  EXPECT_EQ(DisplayText("\xC0\xAF"), "\\xC0\\xAF");             // overlong "/"
  EXPECT_EQ(DisplayText("\xE0\x80\xAF"), "\\xE0\\x80\\xAF");     // overlong, three bytes
  EXPECT_EQ(DisplayText("\xED\xA0\x80"), "\\xED\\xA0\\x80");     // surrogate
  EXPECT_EQ(DisplayText("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");  // above U+10FFFF
  EXPECT_EQ(DisplayText("\xE2\x82"), "\\xE2\\x82");             // cut short at the end
  EXPECT_EQ(DisplayText("\xE2\x82x"), "\\xE2\\x82x");           // cut short before ASCII
}

TEST(DisplayText, TextIsKeptAndNoTwoNamesLookAlike) {
  EXPECT_EQ(DisplayText("/tmp/a b/\xC3\xA9t\xC3\xA9 ~!.txt"), "/tmp/a b/\xC3\xA9t\xC3\xA9 ~!.txt");
  EXPECT_EQ(DisplayText("\xC2\xA0\xE6\x97\xA5\xF0\x9F\x98\x80"),
            "\xC2\xA0\xE6\x97\xA5\xF0\x9F\x98\x80");  // U+00A0 is past the C1 range
  EXPECT_NE(DisplayText("a\\nb"), DisplayText("a\nb"));
  EXPECT_NE(DisplayText("\\x1B"), DisplayText("\x1B"));
  EXPECT_NE(DisplayText("\\xC2\\x9B"), DisplayText("\xC2\x9B"));

  // Whatever the bytes, what comes out is printable UTF-8.
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  ExpectPrintableUtf8(DisplayText(every_byte));
  std::string every_pair;
  for (int c = 0x80; c < 0x100; ++c) every_pair += std::string("\xC2") + static_cast<char>(c);
  ExpectPrintableUtf8(DisplayText(every_pair));
}

}  // namespace
}  // namespace nerlo::platform

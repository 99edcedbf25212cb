#include "sigdb/cipher.h"

#include <gtest/gtest.h>

#include <string>

namespace nerlo::sigdb {
namespace {

TEST(ShiftFromKey, ReadsTheWholeKeyAsAnInteger) {
  EXPECT_EQ(ShiftFromKey("1"), 1);
  EXPECT_EQ(ShiftFromKey("255"), 255);
  EXPECT_EQ(ShiftFromKey("+7"), 7);
  EXPECT_EQ(ShiftFromKey("   42"), 42);
  EXPECT_EQ(ShiftFromKey("0000000000000000000000042"), 42);
  // Hexadecimal after each of the five prefixes, digits of either case.
  EXPECT_EQ(ShiftFromKey("$1f"), 31);
  EXPECT_EQ(ShiftFromKey("x1F"), 31);
  EXPECT_EQ(ShiftFromKey("X20"), 32);
  EXPECT_EQ(ShiftFromKey("0xfF"), 255);
  EXPECT_EQ(ShiftFromKey("0X0a"), 10);
  EXPECT_EQ(ShiftFromKey("  +$0A"), 10);  // spaces, sign, then hex
}

TEST(ShiftFromKey, FailedConversionsAndOutOfRangeValuesGiveThirteen) {
  for (const char* key :
       {"", " ", "42 ", "\t42", "4 2", "42a", "0x", "$", "-", "+", "+-5", "0x-5", "$G", "1e2", "0",
        "-0", "-5", "256", "$100", "0x1FF", "-4294967295",
        // Values that do not fit 32 bits must not wrap onto a valid shift.
        "4294967301", "$100000005", "0x7FFFFFFFFFFFFFFF0000000000000001", "18446744073709551621"}) {
    EXPECT_EQ(ShiftFromKey(key), 13) << '"' << key << '"';
  }
  EXPECT_EQ(ShiftFromKey(kCipherKey), 13);
}

TEST(CaesarCipher, ShiftWrapsAroundTheByteRange) {
  TCaesarCipher cipher;
  EXPECT_EQ(cipher.Encode("1", std::string("\xff\x00\x41", 3)), std::string("\x00\x01\x42", 3));
  EXPECT_EQ(cipher.Decode("1", std::string("\x00\x01\x42", 3)), std::string("\xff\x00\x41", 3));
  EXPECT_EQ(cipher.Encode(kCipherKey, "09AF"), "=FNS");
}

TEST(CaesarCipher, RoundTripsEveryByteValueAndKeepsTheLength) {
  TCaesarCipher cipher;
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  for (const char* key : {"1", "255", "0x80", "quietharborlights42"}) {
    const std::string encoded = cipher.Encode(key, all);
    ASSERT_EQ(encoded.size(), all.size());
    const int shift = ShiftFromKey(key);
    for (int c = 0; c < 256; ++c)
      ASSERT_EQ(static_cast<unsigned char>(encoded[static_cast<size_t>(c)]), (c + shift) % 256);
    EXPECT_EQ(cipher.Decode(key, encoded), all) << key;
  }
  EXPECT_EQ(cipher.Encode(kCipherKey, ""), "");
  EXPECT_EQ(cipher.Decode("", ""), "");
}

TEST(CaesarCipher, BufferFormsWorkInPlaceAndCountZeroTouchesNothing) {
  TCaesarCipher cipher;
  unsigned char buffer[4] = {1, 2, 3, 4};
  cipher.EncodeBuffer("2", buffer, 2);
  EXPECT_EQ(buffer[0], 3);
  EXPECT_EQ(buffer[1], 4);
  EXPECT_EQ(buffer[2], 3);  // beyond the count: untouched
  cipher.DecodeBuffer("2", buffer, 0);
  cipher.EncodeBuffer("2", nullptr, 0);
  EXPECT_EQ(buffer[0], 3);
  cipher.DecodeBuffer("2", buffer, 2);
  EXPECT_EQ(buffer[0], 1);
}

TEST(CustomCipher, DecodedPropertyGoesThroughTheStoredKey) {
  TCaesarCipher cipher;
  EXPECT_TRUE(cipher.IsStored());
  cipher.SetKey("3");
  cipher.SetDecoded("abc");
  EXPECT_EQ(cipher.Encoded(), "def");
  cipher.SetEncoded("xyz");
  EXPECT_EQ(cipher.Decoded(), "uvw");
}

}  // namespace
}  // namespace nerlo::sigdb

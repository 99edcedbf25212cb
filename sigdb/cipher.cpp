#include "sigdb/cipher.h"

#include <cstdint>

namespace nerlo::sigdb {
namespace {

constexpr int kDefaultShift = 13;

// Value of one digit in the given base, or -1 when c is not such a digit.
int DigitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (base == 16 && c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  } else if (base == 16 && c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  }
  return value < base ? value : -1;
}

// Reads the whole text as a signed 32-bit integer. Returns false when the text is empty, holds
// anything but leading spaces, one sign and the digits of one number, or the value does not
// fit 32 bits.
bool TextToInt32(std::string_view text, int32_t* out) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;  // no digits at all
  // The magnitude is capped once it passes every value that fits, so long texts never wrap.
  constexpr uint64_t kCap = uint64_t{1} << 33;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    int digit = DigitValue(text[i], base);
    if (digit < 0) return false;
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (magnitude > kCap) magnitude = kCap;
  }
  int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < INT32_MIN || value > INT32_MAX) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// Hands text to fn in pieces whose byte count fits the buffer operations' 32-bit count.
template <typename Fn>
void ForEachPiece(std::string& text, Fn fn) {
  constexpr size_t kMaxPiece = UINT32_MAX;
  unsigned char* data = reinterpret_cast<unsigned char*>(text.data());
  for (size_t done = 0; done < text.size();) {
    size_t count = text.size() - done < kMaxPiece ? text.size() - done : kMaxPiece;
    fn(data + done, static_cast<uint32_t>(count));
    done += count;
  }
}

}  // namespace

int ShiftFromKey(std::string_view key) {
  int32_t value = 0;
  if (!TextToInt32(key, &value) || value <= 0 || value >= 256) return kDefaultShift;
  return value;
}

std::string TCustomCipher::Encode(std::string_view key, std::string_view value) const {
  std::string result(value);
  ForEachPiece(result,
               [&](unsigned char* piece, uint32_t count) { EncodeBuffer(key, piece, count); });
  return result;
}

std::string TCustomCipher::Decode(std::string_view key, std::string_view value) const {
  std::string result(value);
  ForEachPiece(result,
               [&](unsigned char* piece, uint32_t count) { DecodeBuffer(key, piece, count); });
  return result;
}

void TCaesarCipher::DecodeBuffer(std::string_view key, unsigned char* buffer,
                                 uint32_t count) const {
  if (count == 0) return;
  const unsigned char shift = static_cast<unsigned char>(ShiftFromKey(key));
  for (uint32_t i = 0; i < count; ++i) buffer[i] = static_cast<unsigned char>(buffer[i] - shift);
}

void TCaesarCipher::EncodeBuffer(std::string_view key, unsigned char* buffer,
                                 uint32_t count) const {
  if (count == 0) return;
  const unsigned char shift = static_cast<unsigned char>(ShiftFromKey(key));
  for (uint32_t i = 0; i < count; ++i) buffer[i] = static_cast<unsigned char>(buffer[i] + shift);
}

}  // namespace nerlo::sigdb

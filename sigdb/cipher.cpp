#include "sigdb/cipher.h"

#include <cstdint>

#include "platform/text_to_int.h"

namespace nerlo::sigdb {
namespace {

constexpr int kDefaultShift = 13;

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
  if (!platform::TextToInt32(key, &value) || value <= 0 || value >= 256) return kDefaultShift;
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

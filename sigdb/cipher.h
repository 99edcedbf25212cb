// The byte-shifting cipher through which every database entry and lookup key passes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nerlo::sigdb {

// The one key passed to every Encode and Decode call of the program, for all three databases.
inline constexpr std::string_view kCipherKey = "quietharborlights42";

// The shift that key gives: the whole key read as a signed 32-bit integer (leading spaces, an
// optional sign, decimal digits or a hexadecimal number after "$", "x", "X", "0x" or "0X",
// nothing after the last digit) when that value lies from 1 to 255; 13 otherwise.
int ShiftFromKey(std::string_view key);

// Cipher component: holds an optional key and cipher text, and transforms texts with the key
// passed to each call. Holds nothing between calls that Encode and Decode use; an instance may
// be used by one thread at a time.
class TCustomCipher {
 public:
  TCustomCipher() = default;
  virtual ~TCustomCipher() = default;

  const std::string& Key() const { return key_; }
  void SetKey(std::string key) { key_ = std::move(key); }

  // The stored cipher text.
  const std::string& Encoded() const { return encoded_; }
  void SetEncoded(std::string encoded) { encoded_ = std::move(encoded); }

  // Decode(Key(), Encoded()); setting it stores Encode(Key(), value).
  std::string Decoded() const { return Decode(key_, encoded_); }
  void SetDecoded(std::string_view value) { encoded_ = Encode(key_, value); }

  // Whether Key and Encoded are saved with their owner; true at creation.
  bool IsStored() const { return is_stored_; }
  void SetIsStored(bool stored) { is_stored_ = stored; }

  // A copy of value with every byte shifted up (Encode) or down (Decode) by the key's shift.
  std::string Encode(std::string_view key, std::string_view value) const;
  std::string Decode(std::string_view key, std::string_view value) const;

  // The in-place forms: transform count bytes of buffer. With count 0 the key is not read.
  virtual void DecodeBuffer(std::string_view key, unsigned char* buffer, uint32_t count) const = 0;
  virtual void EncodeBuffer(std::string_view key, unsigned char* buffer, uint32_t count) const = 0;

 private:
  std::string key_;
  std::string encoded_;
  bool is_stored_ = true;
};

// Encode adds the shift to every byte modulo 256, Decode subtracts it.
class TCaesarCipher : public TCustomCipher {
 public:
  void DecodeBuffer(std::string_view key, unsigned char* buffer, uint32_t count) const override;
  void EncodeBuffer(std::string_view key, unsigned char* buffer, uint32_t count) const override;
};

}  // namespace nerlo::sigdb

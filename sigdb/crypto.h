// SHA-256 (libsodium): of a whole byte string, or of bytes fed in pieces.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nerlo::sigdb {

// The SHA-256 of bytes as 64 lower-case hexadecimal digits. Any thread.
std::string Sha256Hex(std::string_view bytes);

// SHA-256 of bytes fed in pieces. One object belongs to one thread at a time.
class Sha256 {
 public:
  Sha256();
  // Adds size bytes to the message.
  void Update(const void* data, size_t size);
  // The digest of every byte fed so far, as 64 lower-case hexadecimal digits. The object is
  // then spent: feed a new one for another message.
  std::string FinishHex();

 private:
  alignas(16) unsigned char state_[128];
};

}  // namespace nerlo::sigdb

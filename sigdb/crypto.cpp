#include "sigdb/crypto.h"

#include <sodium.h>

#include <cstdlib>
#include <mutex>

namespace nerlo::sigdb {

namespace {

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) std::abort();
  });
}

std::string Hex(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

static_assert(sizeof(crypto_hash_sha256_state) <= 128);

crypto_hash_sha256_state* State(unsigned char* storage) {
  return reinterpret_cast<crypto_hash_sha256_state*>(storage);
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  InitOnce();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return Hex(digest, sizeof digest);
}

Sha256::Sha256() {
  InitOnce();
  crypto_hash_sha256_init(State(state_));
}

void Sha256::Update(const void* data, size_t size) {
  crypto_hash_sha256_update(State(state_), static_cast<const unsigned char*>(data), size);
}

std::string Sha256::FinishHex() {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(State(state_), digest);
  return Hex(digest, sizeof digest);
}

}  // namespace nerlo::sigdb

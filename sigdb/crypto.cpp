#include "sigdb/crypto.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace nerlo::sigdb {
namespace {

// sodium_init is itself safe to call more than once, but only after one call has returned;
// the once-flag makes the first call happen-before every use from any thread.
void EnsureSodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Without a working library no digest or signature could be trusted: stop rather than go on.
    if (sodium_init() < 0) std::abort();
  });
}

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ToHex(std::string_view bytes) {
  std::string hex;
  hex.resize(bytes.size() * 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    hex[2 * i] = kHexDigits[b >> 4];
    hex[2 * i + 1] = kHexDigits[b & 15];
  }
  return hex;
}

bool FromHex(std::string_view hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  std::string out(hex.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<char>(high << 4 | low);
  }
  *bytes = std::move(out);
  return true;
}

Sha256::Sha256() {
  EnsureSodium();
  crypto_hash_sha256_init(&state_);
}

void Sha256::Update(const void* data, size_t size) {
  if (finished_ || size == 0) return;
  crypto_hash_sha256_update(&state_, static_cast<const unsigned char*>(data), size);
}

std::string Sha256::FinishHex() {
  if (!finished_) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state_, digest);
    digest_ = ToHex(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
    finished_ = true;
  }
  return digest_;
}

std::string Sha256Hex(std::string_view bytes) {
  // Bytes held whole (a quarantined file, up to the quota) go through libcrypto, which uses the
  // processor's SHA instructions where there are any: several times the speed of libsodium's
  // portable code.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) == 1 &&
      length == crypto_hash_sha256_BYTES)
    return ToHex(std::string_view(reinterpret_cast<const char*>(digest), length));
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.FinishHex();
}

bool Sha256File(const std::string& path, std::string* hex, uint64_t* size, std::string* error) {
  platform::ErrorCode code = 0;
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kFollow, &code);
  if (!file.IsOpen()) {
    if (error != nullptr) *error = "cannot open \"" + path + "\": " + platform::ErrorText(code);
    return false;
  }
  Sha256 hash;
  std::vector<unsigned char> buffer(1 << 16);
  uint64_t total = 0;
  for (;;) {
    const int64_t got = file.Read(buffer.data(), buffer.size(), &code);
    if (got < 0) {
      if (error != nullptr) *error = "cannot read \"" + path + "\": " + platform::ErrorText(code);
      return false;
    }
    if (got == 0) break;
    hash.Update(buffer.data(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
  }
  *hex = hash.FinishHex();
  *size = total;
  return true;
}

void GenerateSigningKeyPair(std::string* public_key, std::string* secret_key) {
  EnsureSodium();
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  static_assert(sizeof pk == kPublicKeyBytes && sizeof sk == kSecretKeyBytes);
  crypto_sign_keypair(pk, sk);
  public_key->assign(reinterpret_cast<const char*>(pk), sizeof pk);
  secret_key->assign(reinterpret_cast<const char*>(sk), sizeof sk);
  sodium_memzero(sk, sizeof sk);
}

std::string SignDetached(std::string_view message, const std::string& secret_key) {
  if (secret_key.size() != kSecretKeyBytes) return std::string();
  EnsureSodium();
  unsigned char signature[crypto_sign_BYTES];
  static_assert(sizeof signature == kSignatureBytes);
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), reinterpret_cast<const unsigned char*>(secret_key.data()));
  return std::string(reinterpret_cast<const char*>(signature), sizeof signature);
}

bool VerifyDetached(std::string_view message, std::string_view signature,
                    const std::string& public_key) {
  if (signature.size() != kSignatureBytes || public_key.size() != kPublicKeyBytes) return false;
  EnsureSodium();
  return crypto_sign_verify_detached(
             reinterpret_cast<const unsigned char*>(signature.data()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(),
             reinterpret_cast<const unsigned char*>(public_key.data())) == 0;
}

bool ReadKeyFile(const std::string& path, size_t key_bytes, std::string* key, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = "\"" + path + "\": " + why;
    return false;
  };
  platform::ErrorCode code = 0;
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kFollow, &code);
  if (!file.IsOpen()) return fail("cannot open: " + platform::ErrorText(code));
  // A key file is one short line; reading a little more than it may hold tells a longer file.
  const size_t limit = key_bytes * 2 + 2;
  std::string text(limit + 1, '\0');
  size_t have = 0;
  while (have < text.size()) {
    const int64_t got = file.Read(text.data() + have, text.size() - have, &code);
    if (got < 0) return fail("cannot read: " + platform::ErrorText(code));
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  text.resize(have);
  std::string_view hex = text;
  if (hex.ends_with("\r\n")) {
    hex.remove_suffix(2);
  } else if (hex.ends_with('\n')) {
    hex.remove_suffix(1);
  }
  const std::string expected =
      std::to_string(key_bytes * 2) + " hex digits (a " + std::to_string(key_bytes) + "-byte key)";
  if (hex.size() != key_bytes * 2)
    return fail("holds no key of the right length: expected " + expected);
  std::string bytes;
  if (!FromHex(hex, &bytes)) return fail("not a key: expected " + expected);
  *key = std::move(bytes);
  return true;
}

std::string KeyFileText(const std::string& key) { return ToHex(key) + "\n"; }

}  // namespace nerlo::sigdb

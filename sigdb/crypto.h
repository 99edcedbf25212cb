// SHA-256 and Ed25519 signatures for signature sets and the update channel, over libsodium.
//
// Every function may be called from any thread: the library is set up once, on first use,
// behind a once-flag. Keys and signatures are raw byte strings; key files hold them as one
// line of lower-case hex. Nothing here raises an exception except std::bad_alloc.
#pragma once

#include <sodium/crypto_hash_sha256.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nerlo::sigdb {

inline constexpr size_t kPublicKeyBytes = 32;
inline constexpr size_t kSecretKeyBytes = 64;
inline constexpr size_t kSignatureBytes = 64;

// The SHA-256 digest of bytes, as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view bytes);

// SHA-256 over bytes fed in pieces; the digest equals Sha256Hex of the pieces joined.
// FinishHex ends the message; an Update after it is ignored and a second FinishHex returns
// the same digest (a new object starts a new message).
class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  std::string FinishHex();

 private:
  crypto_hash_sha256_state state_;
  bool finished_ = false;
  std::string digest_;
};

// Streams the file at path (symbolic links followed; nothing but a regular file is read)
// through SHA-256. On success fills *hex (64 lower-case digits) and *size (bytes read).
// Returns false, with *error naming the file and the system's reason, when it cannot be
// opened or read.
bool Sha256File(const std::string& path, std::string* hex, uint64_t* size, std::string* error);

// A fresh Ed25519 key pair: kPublicKeyBytes and kSecretKeyBytes raw bytes.
void GenerateSigningKeyPair(std::string* public_key, std::string* secret_key);

// The kSignatureBytes detached signature of message under secret_key. Returns an empty string
// when secret_key does not have kSecretKeyBytes bytes.
std::string SignDetached(std::string_view message, const std::string& secret_key);

// True when signature is a valid detached signature of exactly message under public_key;
// false for anything else, signatures and keys of the wrong length included.
bool VerifyDetached(std::string_view message, std::string_view signature,
                    const std::string& public_key);

// Reads a key file: key_bytes bytes written as 2 * key_bytes hex digits (either case), then
// an optional LF or CR LF, nothing else. Returns false, with *error saying what is wrong
// (naming the file), when the file cannot be read or holds anything else.
bool ReadKeyFile(const std::string& path, size_t key_bytes, std::string* key, std::string* error);

// The contents of a key file for key: lower-case hex and a line feed.
std::string KeyFileText(const std::string& key);

// bytes as lower-case hex, and back. FromHex returns false for an odd length or a byte that
// is not a hex digit (either case accepted).
std::string ToHex(std::string_view bytes);
bool FromHex(std::string_view hex, std::string* bytes);

}  // namespace nerlo::sigdb

// MD5 of many messages at once. One 64-byte block of a message depends on the block before it,
// so a single message cannot go faster than the scalar compression allows; independent messages
// can: 8 (AVX2) or 16 (AVX-512) of them are hashed side by side in the 32-bit lanes of one
// core's vector registers, and a lane takes the next message as soon as its own has ended.
// Digests are bit for bit those of TMD5 over the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sigdb/md5.h"

namespace nerlo::sigdb {

enum class MD5Engine {
  kScalar,  // one message after another with TMD5's compression; runs on any processor
  kAvx2,    // 8 lanes of 256-bit AVX2 registers
  kAvx512,  // 16 lanes of 512-bit AVX-512F registers
};

// Whether this processor, and the system's handling of its registers, runs engine. kScalar
// always does. Thread-safe.
bool MD5EngineSupported(MD5Engine engine);

// The widest engine this processor runs, found once per process. Thread-safe.
MD5Engine BestMD5Engine();

// How many messages engine hashes side by side: 1, 8 or 16.
size_t MD5EngineLanes(MD5Engine engine);

// The bytes of one message; they must stay readable and unchanged until MD5Many returns.
using MD5Message = std::span<const uint8_t>;

// digests[i] receives the MD5 digest of messages[i], for every i; digests must have at least
// messages.size() places (the others are left as they are; fewer raise std::invalid_argument
// before anything is hashed). The longest messages are started first, so that the lanes end
// close together; when one long message remains it is finished by the scalar code, which is
// faster than vector lanes that are all idle but one. Uses no shared state: any number of
// threads may call it at once. engine defaults to BestMD5Engine(); an engine the
// processor does not run is replaced by BestMD5Engine().
void MD5Many(std::span<const MD5Message> messages, std::span<TCustomMD5::Digest> digests);
void MD5Many(std::span<const MD5Message> messages, std::span<TCustomMD5::Digest> digests,
             MD5Engine engine);

}  // namespace nerlo::sigdb

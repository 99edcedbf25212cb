// MD5 of many messages at once. One 64-byte block of a message depends on the block before it,
// so a single message cannot go faster than the scalar compression allows; independent messages
// can: 8 (AVX2) or 16 (AVX-512) of them are hashed side by side in the 32-bit lanes of one
// core's vector registers, and a lane takes the next message as soon as its own has ended.
// Digests are bit for bit those of TMD5 over the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

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

// Messages hashed side by side as they come, for a caller that has them one after another
// rather than all at once: Add starts a message in a free lane, Run feeds the kernel, and a
// lane is free again as soon as its message has ended, so the lanes stay full across the
// caller's batches. Digests are bit for bit those of TMD5. One owner: not thread-safe.
class MD5Lanes {
 public:
  struct Ended {
    uint64_t tag = 0;
    TCustomMD5::Digest digest{};
  };
  class Engine;

  // engine as for MD5Many.
  explicit MD5Lanes(MD5Engine engine = BestMD5Engine());
  ~MD5Lanes();
  MD5Lanes(const MD5Lanes&) = delete;
  MD5Lanes& operator=(const MD5Lanes&) = delete;

  // Lanes in all (1, 8 or 16), and those holding a message.
  size_t Lanes() const;
  size_t Busy() const;

  // Starts message in a free lane under tag. Its bytes must stay readable and unchanged until
  // it has ended or been abandoned. Raises std::logic_error when every lane is busy.
  void Add(uint64_t tag, MD5Message message);

  // Feeds each busy lane at most max_blocks 64-byte blocks, stopping as soon as a message has
  // ended, and appends every message that ended (its lane now free) to ended. When so few
  // lanes are busy that the vector kernel would be slower than hashing them one after
  // another, only the one nearest its end is fed, by the scalar code. Nothing when no lane is
  // busy.
  void Run(size_t max_blocks, std::vector<Ended>& ended);

  // Frees the lane of the message under tag, if one holds it; its digest is never given.
  void Abandon(uint64_t tag);

 private:
  std::unique_ptr<Engine> engine_;
};

}  // namespace nerlo::sigdb

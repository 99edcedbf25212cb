// MD5Many in every engine the processor runs, over arbitrary batches, against TMD5 one message
// at a time. Input: one byte giving the message count (1 to 48), two bytes per message giving
// its length (modulo 8192), then the bytes the messages are cut from, one after another and
// from the start again when they run out. Each message lies in an allocation of its own that
// ends where it ends, so that the sanitizer sees a read past it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sigdb/md5.h"
#include "sigdb/md5_multi.h"

namespace {

using nerlo::sigdb::MD5Engine;
using nerlo::sigdb::MD5Message;
using nerlo::sigdb::TMD5;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t count = 1 + data[0] % 48;
  if (size < 1 + 2 * count) return 0;
  const uint8_t* source = data + 1 + 2 * count;
  const size_t source_size = size - 1 - 2 * count;
  std::vector<std::vector<uint8_t>> storage(count);
  std::vector<MD5Message> messages;
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t length = (size_t{data[1 + 2 * i]} << 8 | data[2 + 2 * i]) % 8192;
    storage[i].resize(length);
    for (size_t j = 0; j < length; ++j, ++at)
      storage[i][j] = source_size > 0 ? source[at % source_size] : static_cast<uint8_t>(at);
    messages.emplace_back(storage[i].data(), length);
  }
  std::vector<TMD5::Digest> expected(count);
  for (size_t i = 0; i < count; ++i) {
    TMD5 md5;
    md5.Update(messages[i].data(), messages[i].size());
    md5.Final(expected[i]);
  }
  for (MD5Engine engine : {MD5Engine::kScalar, MD5Engine::kAvx2, MD5Engine::kAvx512}) {
    if (!nerlo::sigdb::MD5EngineSupported(engine)) continue;
    std::vector<TMD5::Digest> got(count);
    nerlo::sigdb::MD5Many(messages, got, engine);
    Check(got == expected, "MD5Many differs from TMD5");
  }
  return 0;
}

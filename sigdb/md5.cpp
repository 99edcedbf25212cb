#include "sigdb/md5.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "platform/exceptions.h"

namespace nerlo::sigdb {
namespace {

constexpr size_t kReadBufferSize = 8192;

// Byte-wise forms, which compilers turn into single loads and stores on little-endian machines.
inline uint32_t LoadLE32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The four auxiliary functions of RFC 1321, written so that each needs few operations.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) + (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t), int S>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a = std::rotl(a + Fn(b, c, d) + x + t, S) + b;
}

// One 64-byte block into the running state.
void CompressBlock(const uint8_t* block, uint32_t* state) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLE32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  Step<F, 7>(a, b, c, d, x[0], 0xd76aa478);
  Step<F, 12>(d, a, b, c, x[1], 0xe8c7b756);
  Step<F, 17>(c, d, a, b, x[2], 0x242070db);
  Step<F, 22>(b, c, d, a, x[3], 0xc1bdceee);
  Step<F, 7>(a, b, c, d, x[4], 0xf57c0faf);
  Step<F, 12>(d, a, b, c, x[5], 0x4787c62a);
  Step<F, 17>(c, d, a, b, x[6], 0xa8304613);
  Step<F, 22>(b, c, d, a, x[7], 0xfd469501);
  Step<F, 7>(a, b, c, d, x[8], 0x698098d8);
  Step<F, 12>(d, a, b, c, x[9], 0x8b44f7af);
  Step<F, 17>(c, d, a, b, x[10], 0xffff5bb1);
  Step<F, 22>(b, c, d, a, x[11], 0x895cd7be);
  Step<F, 7>(a, b, c, d, x[12], 0x6b901122);
  Step<F, 12>(d, a, b, c, x[13], 0xfd987193);
  Step<F, 17>(c, d, a, b, x[14], 0xa679438e);
  Step<F, 22>(b, c, d, a, x[15], 0x49b40821);

  Step<G, 5>(a, b, c, d, x[1], 0xf61e2562);
  Step<G, 9>(d, a, b, c, x[6], 0xc040b340);
  Step<G, 14>(c, d, a, b, x[11], 0x265e5a51);
  Step<G, 20>(b, c, d, a, x[0], 0xe9b6c7aa);
  Step<G, 5>(a, b, c, d, x[5], 0xd62f105d);
  Step<G, 9>(d, a, b, c, x[10], 0x02441453);
  Step<G, 14>(c, d, a, b, x[15], 0xd8a1e681);
  Step<G, 20>(b, c, d, a, x[4], 0xe7d3fbc8);
  Step<G, 5>(a, b, c, d, x[9], 0x21e1cde6);
  Step<G, 9>(d, a, b, c, x[14], 0xc33707d6);
  Step<G, 14>(c, d, a, b, x[3], 0xf4d50d87);
  Step<G, 20>(b, c, d, a, x[8], 0x455a14ed);
  Step<G, 5>(a, b, c, d, x[13], 0xa9e3e905);
  Step<G, 9>(d, a, b, c, x[2], 0xfcefa3f8);
  Step<G, 14>(c, d, a, b, x[7], 0x676f02d9);
  Step<G, 20>(b, c, d, a, x[12], 0x8d2a4c8a);

  Step<H, 4>(a, b, c, d, x[5], 0xfffa3942);
  Step<H, 11>(d, a, b, c, x[8], 0x8771f681);
  Step<H, 16>(c, d, a, b, x[11], 0x6d9d6122);
  Step<H, 23>(b, c, d, a, x[14], 0xfde5380c);
  Step<H, 4>(a, b, c, d, x[1], 0xa4beea44);
  Step<H, 11>(d, a, b, c, x[4], 0x4bdecfa9);
  Step<H, 16>(c, d, a, b, x[7], 0xf6bb4b60);
  Step<H, 23>(b, c, d, a, x[10], 0xbebfbc70);
  Step<H, 4>(a, b, c, d, x[13], 0x289b7ec6);
  Step<H, 11>(d, a, b, c, x[0], 0xeaa127fa);
  Step<H, 16>(c, d, a, b, x[3], 0xd4ef3085);
  Step<H, 23>(b, c, d, a, x[6], 0x04881d05);
  Step<H, 4>(a, b, c, d, x[9], 0xd9d4d039);
  Step<H, 11>(d, a, b, c, x[12], 0xe6db99e5);
  Step<H, 16>(c, d, a, b, x[15], 0x1fa27cf8);
  Step<H, 23>(b, c, d, a, x[2], 0xc4ac5665);

  Step<I, 6>(a, b, c, d, x[0], 0xf4292244);
  Step<I, 10>(d, a, b, c, x[7], 0x432aff97);
  Step<I, 15>(c, d, a, b, x[14], 0xab9423a7);
  Step<I, 21>(b, c, d, a, x[5], 0xfc93a039);
  Step<I, 6>(a, b, c, d, x[12], 0x655b59c3);
  Step<I, 10>(d, a, b, c, x[3], 0x8f0ccc92);
  Step<I, 15>(c, d, a, b, x[10], 0xffeff47d);
  Step<I, 21>(b, c, d, a, x[1], 0x85845dd1);
  Step<I, 6>(a, b, c, d, x[8], 0x6fa87e4f);
  Step<I, 10>(d, a, b, c, x[15], 0xfe2ce6e0);
  Step<I, 15>(c, d, a, b, x[6], 0xa3014314);
  Step<I, 21>(b, c, d, a, x[13], 0x4e0811a1);
  Step<I, 6>(a, b, c, d, x[4], 0xf7537e82);
  Step<I, 10>(d, a, b, c, x[11], 0xbd3af235);
  Step<I, 15>(c, d, a, b, x[2], 0x2ad7d2bb);
  Step<I, 21>(b, c, d, a, x[9], 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Compress(uint32_t state[4], const uint8_t* blocks, size_t count) {
  for (size_t i = 0; i < count; ++i) CompressBlock(blocks + 64 * i, state);
}

std::string MD5DigestText(const TCustomMD5::Digest& digest) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(32, '0');
  for (size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  return text;
}

void TCustomMD5::Init() {
  bit_count_low_ = 0;
  bit_count_high_ = 0;
  buffer_fill_ = 0;
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  changed_ = true;
}

void TCustomMD5::Transform(const uint8_t* block, uint32_t* state) const {
  CompressBlock(block, state);
}

void TCustomMD5::Update(const void* data, size_t count) {
  changed_ = true;
  // The bit count is a 64-bit number kept in two halves; it wraps modulo 2^64 as RFC 1321
  // allows.
  uint64_t bits = (uint64_t{bit_count_high_} << 32 | bit_count_low_) + uint64_t{count} * 8;
  bit_count_low_ = static_cast<uint32_t>(bits);
  bit_count_high_ = static_cast<uint32_t>(bits >> 32);
  if (count == 0) return;

  const uint8_t* in = static_cast<const uint8_t*>(data);
  if (buffer_fill_ > 0) {
    size_t take = std::min<size_t>(64 - buffer_fill_, count);
    std::memcpy(buffer_ + buffer_fill_, in, take);
    buffer_fill_ += static_cast<uint32_t>(take);
    in += take;
    count -= take;
    if (buffer_fill_ < 64) return;
    Transform(buffer_, state_);
    buffer_fill_ = 0;
  }
  for (; count >= 64; count -= 64, in += 64) Transform(in, state_);
  if (count > 0) std::memcpy(buffer_, in, count);
  buffer_fill_ = static_cast<uint32_t>(count);
}

void TCustomMD5::Final(Digest& result) {
  if (changed_) {
    uint32_t digest_state[4] = {state_[0], state_[1], state_[2], state_[3]};
    uint8_t scratch[64];
    std::memcpy(scratch, buffer_, buffer_fill_);
    scratch[buffer_fill_] = 0x80;
    size_t used = buffer_fill_ + 1;
    if (used > 56) {
      std::memset(scratch + used, 0, 64 - used);
      Transform(scratch, digest_state);
      used = 0;
    }
    std::memset(scratch + used, 0, 56 - used);
    StoreLE32(scratch + 56, bit_count_low_);
    StoreLE32(scratch + 60, bit_count_high_);
    Transform(scratch, digest_state);
    for (int i = 0; i < 4; ++i) StoreLE32(digest_.data() + 4 * i, digest_state[i]);
    changed_ = false;
  }
  result = digest_;
}

void TCustomMD5::HashFile(const std::string& file_name, platform::LinkPolicy links) {
  platform::ErrorCode error = 0;
  platform::File file = platform::File::Open(file_name, links, &error);
  if (!file.IsOpen()) throw EFOpenError("Cannot open file " + file_name);
  std::vector<uint8_t> buffer(kReadBufferSize);
  // A read shorter than the buffer is not the end of the file (a pipe-backed or network file
  // may return less); only a read that returns nothing is.
  for (;;) {
    int64_t got = file.Read(buffer.data(), buffer.size(), &error);
    if (got < 0) throw EFOpenError("Cannot open file " + file_name);
    if (got == 0) break;
    Update(buffer.data(), static_cast<size_t>(got));
  }
  hashed_identity_ = file.Stamp().identity;
}

std::string TCustomMD5::DigestText() {
  Digest digest;
  Final(digest);
  return MD5DigestText(digest);
}

void MD5FileText(const std::string& file_name, std::string& result,
                 platform::FileIdentity* identity, platform::LinkPolicy links) {
  TMD5 md5;
  md5.HashFile(file_name, links);
  std::string text = md5.DigestText();
  result = text.substr(0, 32);
  if (identity != nullptr) *identity = md5.HashedIdentity();
}

}  // namespace nerlo::sigdb

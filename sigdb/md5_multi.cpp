#include "sigdb/md5_multi.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NERLO_MD5_VECTOR 1
#include <immintrin.h>
// The vector code is compiled for AVX2 or AVX-512F function by function, never the whole
// library, so the program still starts on any x86-64 and only calls these after
// BestMD5Engine has found the features.
#define NERLO_AVX2 __attribute__((target("avx2")))
#define NERLO_AVX512 __attribute__((target("avx512f")))
#else
#define NERLO_MD5_VECTOR 0
#endif

namespace nerlo::sigdb {
namespace {

constexpr uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

inline void StoreLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void StoreDigest(const uint32_t state[4], TCustomMD5::Digest& digest) {
  for (int i = 0; i < 4; ++i) StoreLE32(digest.data() + 4 * i, state[i]);
}

#if NERLO_MD5_VECTOR

// The 64 steps of the compression: auxiliary function, the registers in their roles, the
// message word, the rotation and the additive constant. STEP is defined by each engine.
#define NERLO_MD5_STEPS(STEP)              \
  STEP(F, a, b, c, d, 0, 7, 0xd76aa478);   \
  STEP(F, d, a, b, c, 1, 12, 0xe8c7b756);  \
  STEP(F, c, d, a, b, 2, 17, 0x242070db);  \
  STEP(F, b, c, d, a, 3, 22, 0xc1bdceee);  \
  STEP(F, a, b, c, d, 4, 7, 0xf57c0faf);   \
  STEP(F, d, a, b, c, 5, 12, 0x4787c62a);  \
  STEP(F, c, d, a, b, 6, 17, 0xa8304613);  \
  STEP(F, b, c, d, a, 7, 22, 0xfd469501);  \
  STEP(F, a, b, c, d, 8, 7, 0x698098d8);   \
  STEP(F, d, a, b, c, 9, 12, 0x8b44f7af);  \
  STEP(F, c, d, a, b, 10, 17, 0xffff5bb1); \
  STEP(F, b, c, d, a, 11, 22, 0x895cd7be); \
  STEP(F, a, b, c, d, 12, 7, 0x6b901122);  \
  STEP(F, d, a, b, c, 13, 12, 0xfd987193); \
  STEP(F, c, d, a, b, 14, 17, 0xa679438e); \
  STEP(F, b, c, d, a, 15, 22, 0x49b40821); \
  STEP(G, a, b, c, d, 1, 5, 0xf61e2562);   \
  STEP(G, d, a, b, c, 6, 9, 0xc040b340);   \
  STEP(G, c, d, a, b, 11, 14, 0x265e5a51); \
  STEP(G, b, c, d, a, 0, 20, 0xe9b6c7aa);  \
  STEP(G, a, b, c, d, 5, 5, 0xd62f105d);   \
  STEP(G, d, a, b, c, 10, 9, 0x02441453);  \
  STEP(G, c, d, a, b, 15, 14, 0xd8a1e681); \
  STEP(G, b, c, d, a, 4, 20, 0xe7d3fbc8);  \
  STEP(G, a, b, c, d, 9, 5, 0x21e1cde6);   \
  STEP(G, d, a, b, c, 14, 9, 0xc33707d6);  \
  STEP(G, c, d, a, b, 3, 14, 0xf4d50d87);  \
  STEP(G, b, c, d, a, 8, 20, 0x455a14ed);  \
  STEP(G, a, b, c, d, 13, 5, 0xa9e3e905);  \
  STEP(G, d, a, b, c, 2, 9, 0xfcefa3f8);   \
  STEP(G, c, d, a, b, 7, 14, 0x676f02d9);  \
  STEP(G, b, c, d, a, 12, 20, 0x8d2a4c8a); \
  STEP(H, a, b, c, d, 5, 4, 0xfffa3942);   \
  STEP(H, d, a, b, c, 8, 11, 0x8771f681);  \
  STEP(H, c, d, a, b, 11, 16, 0x6d9d6122); \
  STEP(H, b, c, d, a, 14, 23, 0xfde5380c); \
  STEP(H, a, b, c, d, 1, 4, 0xa4beea44);   \
  STEP(H, d, a, b, c, 4, 11, 0x4bdecfa9);  \
  STEP(H, c, d, a, b, 7, 16, 0xf6bb4b60);  \
  STEP(H, b, c, d, a, 10, 23, 0xbebfbc70); \
  STEP(H, a, b, c, d, 13, 4, 0x289b7ec6);  \
  STEP(H, d, a, b, c, 0, 11, 0xeaa127fa);  \
  STEP(H, c, d, a, b, 3, 16, 0xd4ef3085);  \
  STEP(H, b, c, d, a, 6, 23, 0x04881d05);  \
  STEP(H, a, b, c, d, 9, 4, 0xd9d4d039);   \
  STEP(H, d, a, b, c, 12, 11, 0xe6db99e5); \
  STEP(H, c, d, a, b, 15, 16, 0x1fa27cf8); \
  STEP(H, b, c, d, a, 2, 23, 0xc4ac5665);  \
  STEP(I, a, b, c, d, 0, 6, 0xf4292244);   \
  STEP(I, d, a, b, c, 7, 10, 0x432aff97);  \
  STEP(I, c, d, a, b, 14, 15, 0xab9423a7); \
  STEP(I, b, c, d, a, 5, 21, 0xfc93a039);  \
  STEP(I, a, b, c, d, 12, 6, 0x655b59c3);  \
  STEP(I, d, a, b, c, 3, 10, 0x8f0ccc92);  \
  STEP(I, c, d, a, b, 10, 15, 0xffeff47d); \
  STEP(I, b, c, d, a, 1, 21, 0x85845dd1);  \
  STEP(I, a, b, c, d, 8, 6, 0x6fa87e4f);   \
  STEP(I, d, a, b, c, 15, 10, 0xfe2ce6e0); \
  STEP(I, c, d, a, b, 6, 15, 0xa3014314);  \
  STEP(I, b, c, d, a, 13, 21, 0x4e0811a1); \
  STEP(I, a, b, c, d, 4, 6, 0xf7537e82);   \
  STEP(I, d, a, b, c, 11, 10, 0xbd3af235); \
  STEP(I, c, d, a, b, 2, 15, 0x2ad7d2bb);  \
  STEP(I, b, c, d, a, 9, 21, 0xeb86d391)

// ---- AVX2: 8 lanes ----

NERLO_AVX2 inline __m256i Avx2F(__m256i x, __m256i y, __m256i z) {
  return _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)));
}
// (x & z) | (y & ~z), as a bit choice by z.
NERLO_AVX2 inline __m256i Avx2G(__m256i x, __m256i y, __m256i z) {
  return _mm256_xor_si256(y, _mm256_and_si256(z, _mm256_xor_si256(x, y)));
}
NERLO_AVX2 inline __m256i Avx2H(__m256i x, __m256i y, __m256i z) {
  return _mm256_xor_si256(_mm256_xor_si256(x, y), z);
}
NERLO_AVX2 inline __m256i Avx2I(__m256i x, __m256i y, __m256i z) {
  const __m256i not_z = _mm256_xor_si256(z, _mm256_set1_epi32(-1));
  return _mm256_xor_si256(y, _mm256_or_si256(x, not_z));
}

template <int S>
NERLO_AVX2 inline __m256i Avx2Step(__m256i a, __m256i b, __m256i f, __m256i x, uint32_t t) {
  // a + x + t does not wait for the previous step's result, f does: it is added last.
  const __m256i early =
      _mm256_add_epi32(a, _mm256_add_epi32(x, _mm256_set1_epi32(static_cast<int>(t))));
  const __m256i sum = _mm256_add_epi32(early, f);
  const __m256i rotated =
      _mm256_or_si256(_mm256_slli_epi32(sum, S), _mm256_srli_epi32(sum, 32 - S));
  return _mm256_add_epi32(b, rotated);
}

// Rows r0..r3 of four 32-bit words in each 128-bit half become the columns (a 4x4
// transposition in both halves at once).
NERLO_AVX2 inline void Avx2Transpose4(__m256i r0, __m256i r1, __m256i r2, __m256i r3,
                                      __m256i* out) {
  const __m256i t0 = _mm256_unpacklo_epi32(r0, r1);
  const __m256i t1 = _mm256_unpackhi_epi32(r0, r1);
  const __m256i t2 = _mm256_unpacklo_epi32(r2, r3);
  const __m256i t3 = _mm256_unpackhi_epi32(r2, r3);
  out[0] = _mm256_unpacklo_epi64(t0, t2);
  out[1] = _mm256_unpackhi_epi64(t0, t2);
  out[2] = _mm256_unpacklo_epi64(t1, t3);
  out[3] = _mm256_unpackhi_epi64(t1, t3);
}

NERLO_AVX2 inline __m256i Avx2LoadPair(const uint8_t* low, const uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// count blocks of every lane into state[word][lane]; lane i reads lanes[i] + 64 * k for block k.
NERLO_AVX2 void Avx2Blocks(uint32_t (*state)[8], const uint8_t* const* lanes, size_t count) {
  __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(state[0]));
  __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i*>(state[1]));
  __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(state[2]));
  __m256i d = _mm256_load_si256(reinterpret_cast<const __m256i*>(state[3]));
  for (size_t k = 0; k < count; ++k) {
    const size_t at = 64 * k;
    // x[w] holds word w of the block of every lane; lane i sits in the 128-bit half i / 4.
    __m256i x[16];
    for (int group = 0; group < 4; ++group) {
      const size_t word = at + 16 * static_cast<size_t>(group);
      Avx2Transpose4(Avx2LoadPair(lanes[0] + word, lanes[4] + word),
                     Avx2LoadPair(lanes[1] + word, lanes[5] + word),
                     Avx2LoadPair(lanes[2] + word, lanes[6] + word),
                     Avx2LoadPair(lanes[3] + word, lanes[7] + word), x + 4 * group);
    }
    const __m256i a0 = a, b0 = b, c0 = c, d0 = d;
#define NERLO_AVX2_STEP(fn, a, b, c, d, k, s, t) a = Avx2Step<s>(a, b, Avx2##fn(b, c, d), x[k], t)
    NERLO_MD5_STEPS(NERLO_AVX2_STEP);
#undef NERLO_AVX2_STEP
    a = _mm256_add_epi32(a, a0);
    b = _mm256_add_epi32(b, b0);
    c = _mm256_add_epi32(c, c0);
    d = _mm256_add_epi32(d, d0);
  }
  _mm256_store_si256(reinterpret_cast<__m256i*>(state[0]), a);
  _mm256_store_si256(reinterpret_cast<__m256i*>(state[1]), b);
  _mm256_store_si256(reinterpret_cast<__m256i*>(state[2]), c);
  _mm256_store_si256(reinterpret_cast<__m256i*>(state[3]), d);
}

// ---- AVX-512F: 16 lanes ----

// GCC's AVX-512 intrinsics pass a deliberately unset register as the unused merge source, which
// GCC 12 then reports as maybe uninitialized once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The auxiliary functions as three-input bit tables over (x, y, z) = (0xF0, 0xCC, 0xAA).
NERLO_AVX512 inline __m512i Avx512F(__m512i x, __m512i y, __m512i z) {
  return _mm512_ternarylogic_epi32(x, y, z, 0xCA);
}
NERLO_AVX512 inline __m512i Avx512G(__m512i x, __m512i y, __m512i z) {
  return _mm512_ternarylogic_epi32(x, y, z, 0xE4);
}
NERLO_AVX512 inline __m512i Avx512H(__m512i x, __m512i y, __m512i z) {
  return _mm512_ternarylogic_epi32(x, y, z, 0x96);
}
NERLO_AVX512 inline __m512i Avx512I(__m512i x, __m512i y, __m512i z) {
  return _mm512_ternarylogic_epi32(x, y, z, 0x39);
}

template <int S>
NERLO_AVX512 inline __m512i Avx512Step(__m512i a, __m512i b, __m512i f, __m512i x, uint32_t t) {
  const __m512i early =
      _mm512_add_epi32(a, _mm512_add_epi32(x, _mm512_set1_epi32(static_cast<int>(t))));
  const __m512i sum = _mm512_add_epi32(early, f);
  return _mm512_add_epi32(b, _mm512_rol_epi32(sum, S));
}

NERLO_AVX512 inline void Avx512Transpose4(__m512i r0, __m512i r1, __m512i r2, __m512i r3,
                                          __m512i* out) {
  const __m512i t0 = _mm512_unpacklo_epi32(r0, r1);
  const __m512i t1 = _mm512_unpackhi_epi32(r0, r1);
  const __m512i t2 = _mm512_unpacklo_epi32(r2, r3);
  const __m512i t3 = _mm512_unpackhi_epi32(r2, r3);
  out[0] = _mm512_unpacklo_epi64(t0, t2);
  out[1] = _mm512_unpackhi_epi64(t0, t2);
  out[2] = _mm512_unpacklo_epi64(t1, t3);
  out[3] = _mm512_unpackhi_epi64(t1, t3);
}

NERLO_AVX512 inline __m512i Avx512LoadQuad(const uint8_t* p0, const uint8_t* p1, const uint8_t* p2,
                                           const uint8_t* p3) {
  __m512i v = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p0)));
  v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1)), 1);
  v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2)), 2);
  return _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p3)), 3);
}

NERLO_AVX512 void Avx512Blocks(uint32_t (*state)[16], const uint8_t* const* lanes, size_t count) {
  __m512i a = _mm512_load_si512(state[0]);
  __m512i b = _mm512_load_si512(state[1]);
  __m512i c = _mm512_load_si512(state[2]);
  __m512i d = _mm512_load_si512(state[3]);
  for (size_t k = 0; k < count; ++k) {
    const size_t at = 64 * k;
    // Lane i sits in 128-bit quarter i / 4 at place i % 4.
    __m512i x[16];
    for (int group = 0; group < 4; ++group) {
      const size_t word = at + 16 * static_cast<size_t>(group);
      __m512i rows[4];
      for (int r = 0; r < 4; ++r)
        rows[r] = Avx512LoadQuad(lanes[r] + word, lanes[r + 4] + word, lanes[r + 8] + word,
                                 lanes[r + 12] + word);
      Avx512Transpose4(rows[0], rows[1], rows[2], rows[3], x + 4 * group);
    }
    const __m512i a0 = a, b0 = b, c0 = c, d0 = d;
#define NERLO_AVX512_STEP(fn, a, b, c, d, k, s, t) \
  a = Avx512Step<s>(a, b, Avx512##fn(b, c, d), x[k], t)
    NERLO_MD5_STEPS(NERLO_AVX512_STEP);
#undef NERLO_AVX512_STEP
    a = _mm512_add_epi32(a, a0);
    b = _mm512_add_epi32(b, b0);
    c = _mm512_add_epi32(c, c0);
    d = _mm512_add_epi32(d, d0);
  }
  _mm512_store_si512(state[0], a);
  _mm512_store_si512(state[1], b);
  _mm512_store_si512(state[2], c);
  _mm512_store_si512(state[3], d);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#undef NERLO_MD5_STEPS

#endif  // NERLO_MD5_VECTOR

struct Features {
  bool avx2 = false;
  bool avx512 = false;
};

// The processor's features as the compiler's runtime reports them; it also checks that the
// system saves the wide registers (XCR0), without which the instructions would fault.
Features DetectFeatures() {
  Features found;
#if NERLO_MD5_VECTOR
  __builtin_cpu_init();
  found.avx2 = __builtin_cpu_supports("avx2");
  found.avx512 = __builtin_cpu_supports("avx512f");
#endif
  return found;
}

const Features& CpuFeatures() {
  static const Features features = DetectFeatures();
  return features;
}

// The scalar compression as a kernel of one lane, so that a processor without the vector
// engines feeds its messages through the same lanes.
void ScalarBlocks(uint32_t (*state)[1], const uint8_t* const* lanes, size_t count) {
  uint32_t words[4] = {state[0][0], state[1][0], state[2][0], state[3][0]};
  MD5Compress(words, lanes[0], count);
  for (int w = 0; w < 4; ++w) state[w][0] = words[w];
}

}  // namespace

// The messages in flight, one per lane. A message is fed as its whole 64-byte blocks, read
// where they lie, followed by one or two padded blocks built in the lane's own tail buffer
// (the last partial block, 0x80, zeros and the bit length).
class MD5Lanes::Engine {
 public:
  virtual ~Engine() = default;
  virtual size_t Lanes() const = 0;
  virtual size_t Busy() const = 0;
  virtual void Add(uint64_t tag, MD5Message message) = 0;
  virtual void Run(size_t max_blocks, std::vector<Ended>& ended) = 0;
  virtual void Abandon(uint64_t tag) = 0;
};

namespace {

// L lanes fed by Blocks. While at most scalar_below lanes are busy, the vector kernel would
// hash them more slowly than the scalar code one after another (a lane of the 16-lane kernel
// runs at about 0.47 of the scalar pace on the machines measured, of the 8-lane one at about
// 0.33), so the one nearest its end is fed by the scalar code alone.
template <size_t L, void (*Blocks)(uint32_t (*)[L], const uint8_t* const*, size_t)>
class LaneSet final : public MD5Lanes::Engine {
 public:
  explicit LaneSet(size_t scalar_below) : scalar_below_(scalar_below) {}

  size_t Lanes() const override { return L; }
  size_t Busy() const override { return busy_; }

  void Add(uint64_t tag, MD5Message message) override {
    size_t lane = 0;
    while (lane < L && busy_lane_[lane]) ++lane;
    if (lane == L) throw std::logic_error("MD5Lanes::Add: every lane is busy");
    for (int w = 0; w < 4; ++w) state_[w][lane] = kInitialState[w];
    const size_t whole = message.size() / 64;
    const size_t rest = message.size() % 64;
    uint8_t* tail = tail_[lane];
    if (rest > 0) std::memcpy(tail, message.data() + 64 * whole, rest);
    tail[rest] = 0x80;
    const size_t tail_blocks = rest < 56 ? 1 : 2;
    std::memset(tail + rest + 1, 0, 64 * tail_blocks - rest - 1);
    const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
    StoreLE32(tail + 64 * tail_blocks - 8, static_cast<uint32_t>(bits));
    StoreLE32(tail + 64 * tail_blocks - 4, static_cast<uint32_t>(bits >> 32));
    tag_[lane] = tag;
    body_left_[lane] = whole;
    tail_left_[lane] = tail_blocks;
    next_[lane] = whole > 0 ? message.data() : tail;
    busy_lane_[lane] = true;
    ++busy_;
  }

  void Run(size_t max_blocks, std::vector<MD5Lanes::Ended>& ended) override {
    const size_t ended_before = ended.size();
    while (busy_ > 0 && max_blocks > 0 && ended.size() == ended_before) {
      if (busy_ <= scalar_below_) {
        max_blocks -= RunScalar(max_blocks, ended);
        continue;
      }
      // Blocks until the next lane runs out of whole blocks or ends. An idle lane reads a
      // busy lane's blocks so that every pointer stays valid; its result is never used.
      size_t run = max_blocks;
      const uint8_t* filler = nullptr;
      for (size_t lane = 0; lane < L; ++lane) {
        if (!busy_lane_[lane]) continue;
        filler = next_[lane];
        run = std::min(run, SegmentLeft(lane));
      }
      const uint8_t* feed[L];
      for (size_t lane = 0; lane < L; ++lane) feed[lane] = busy_lane_[lane] ? next_[lane] : filler;
      Blocks(state_, feed, run);
      max_blocks -= run;
      for (size_t lane = 0; lane < L; ++lane)
        if (busy_lane_[lane]) Advance(lane, run, ended);
    }
  }

  void Abandon(uint64_t tag) override {
    for (size_t lane = 0; lane < L; ++lane) {
      if (busy_lane_[lane] && tag_[lane] == tag) {
        busy_lane_[lane] = false;
        --busy_;
        return;
      }
    }
  }

 private:
  size_t SegmentLeft(size_t lane) const {
    return body_left_[lane] > 0 ? body_left_[lane] : tail_left_[lane];
  }

  // The lane has been fed count blocks of its current segment (the message's own blocks, or
  // the padded tail); a lane whose tail is done has ended.
  void Advance(size_t lane, size_t count, std::vector<MD5Lanes::Ended>& ended) {
    if (body_left_[lane] > 0) {
      body_left_[lane] -= count;
      next_[lane] = body_left_[lane] > 0 ? next_[lane] + 64 * count : tail_[lane];
      return;
    }
    tail_left_[lane] -= count;
    next_[lane] += 64 * count;
    if (tail_left_[lane] > 0) return;
    MD5Lanes::Ended& done = ended.emplace_back();
    done.tag = tag_[lane];
    const uint32_t words[4] = {state_[0][lane], state_[1][lane], state_[2][lane], state_[3][lane]};
    StoreDigest(words, done.digest);
    busy_lane_[lane] = false;
    --busy_;
  }

  // Feeds the busy lane with the fewest blocks left, alone, with the scalar code: up to
  // max_blocks blocks, or to the end of its message. Returns the blocks fed.
  size_t RunScalar(size_t max_blocks, std::vector<MD5Lanes::Ended>& ended) {
    size_t lane = L;
    for (size_t i = 0; i < L; ++i) {
      if (busy_lane_[i] &&
          (lane == L || body_left_[i] + tail_left_[i] < body_left_[lane] + tail_left_[lane]))
        lane = i;
    }
    const size_t run = std::min(max_blocks, SegmentLeft(lane));
    uint32_t words[4] = {state_[0][lane], state_[1][lane], state_[2][lane], state_[3][lane]};
    MD5Compress(words, next_[lane], run);
    for (int w = 0; w < 4; ++w) state_[w][lane] = words[w];
    Advance(lane, run, ended);
    return run;
  }

  const size_t scalar_below_;
  alignas(64) uint32_t state_[4][L] = {};
  const uint8_t* next_[L] = {};  // the next block to feed
  size_t body_left_[L] = {};     // whole blocks of the message itself still to feed
  size_t tail_left_[L] = {};     // padded blocks still to feed from tail_
  uint64_t tag_[L] = {};
  bool busy_lane_[L] = {};
  size_t busy_ = 0;
  alignas(64) uint8_t tail_[L][128] = {};
};

}  // namespace

MD5Lanes::MD5Lanes(MD5Engine engine) {
  if (!MD5EngineSupported(engine)) engine = BestMD5Engine();
#if NERLO_MD5_VECTOR
  switch (engine) {
    case MD5Engine::kAvx512:
      engine_ = std::make_unique<LaneSet<16, Avx512Blocks>>(2);
      return;
    case MD5Engine::kAvx2:
      engine_ = std::make_unique<LaneSet<8, Avx2Blocks>>(3);
      return;
    case MD5Engine::kScalar:
      break;
  }
#endif
  engine_ = std::make_unique<LaneSet<1, ScalarBlocks>>(0);
}

MD5Lanes::~MD5Lanes() = default;

size_t MD5Lanes::Lanes() const { return engine_->Lanes(); }
size_t MD5Lanes::Busy() const { return engine_->Busy(); }
void MD5Lanes::Add(uint64_t tag, MD5Message message) { engine_->Add(tag, message); }
void MD5Lanes::Run(size_t max_blocks, std::vector<MD5Lanes::Ended>& ended) {
  engine_->Run(max_blocks, ended);
}
void MD5Lanes::Abandon(uint64_t tag) { engine_->Abandon(tag); }

bool MD5EngineSupported(MD5Engine engine) {
  switch (engine) {
    case MD5Engine::kAvx2:
      return CpuFeatures().avx2;
    case MD5Engine::kAvx512:
      return CpuFeatures().avx512;
    case MD5Engine::kScalar:
      break;
  }
  return true;
}

MD5Engine BestMD5Engine() {
  if (MD5EngineSupported(MD5Engine::kAvx512)) return MD5Engine::kAvx512;
  if (MD5EngineSupported(MD5Engine::kAvx2)) return MD5Engine::kAvx2;
  return MD5Engine::kScalar;
}

size_t MD5EngineLanes(MD5Engine engine) {
  switch (engine) {
    case MD5Engine::kAvx2:
      return 8;
    case MD5Engine::kAvx512:
      return 16;
    case MD5Engine::kScalar:
      break;
  }
  return 1;
}

void MD5Many(std::span<const MD5Message> messages, std::span<TCustomMD5::Digest> digests) {
  MD5Many(messages, digests, BestMD5Engine());
}

void MD5Many(std::span<const MD5Message> messages, std::span<TCustomMD5::Digest> digests,
             MD5Engine engine) {
  if (digests.size() < messages.size())
    throw std::invalid_argument("MD5Many: fewer digest places than messages");
  // Longest first: the short messages then fill the lanes freed near the end, and the lanes
  // end close together instead of one long message running on alone.
  std::vector<size_t> order(messages.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&messages](size_t left, size_t right) {
    return messages[left].size() > messages[right].size();
  });
  MD5Lanes lanes(engine);
  std::vector<MD5Lanes::Ended> ended;
  size_t waiting = 0;  // the first place in order not yet given a lane
  for (;;) {
    while (waiting < order.size() && lanes.Busy() < lanes.Lanes()) {
      lanes.Add(order[waiting], messages[order[waiting]]);
      ++waiting;
    }
    if (lanes.Busy() == 0) return;
    lanes.Run(std::numeric_limits<size_t>::max(), ended);
    for (const MD5Lanes::Ended& done : ended) digests[done.tag] = done.digest;
    ended.clear();
  }
}

}  // namespace nerlo::sigdb

#include "sigdb/qgram_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/platform.h"
#include "sigdb/fold.h"

namespace nerlo::sigdb {
namespace {

static_assert(QGramIndex::kGram == 16, "BucketOf reads the q-gram as two 64-bit words");

uint64_t Load64(const unsigned char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

}  // namespace

uint32_t QGramIndex::BucketOf(const unsigned char* gram, bool fold) const {
  unsigned char folded[kGram];
  if (fold) {
    for (size_t i = 0; i < kGram; ++i) folded[i] = kFoldTable[gram[i]];
    gram = folded;
  }
  uint64_t h = Load64(gram) * 0x9E3779B97F4A7C15u;
  h ^= std::rotl(Load64(gram + 8) * 0xC2B2AE3D27D4EB4Fu, 31);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9u;
  return static_cast<uint32_t>(h >> (64 - bucket_bits_));
}

QGramIndex::QGramIndex(const unsigned char* text, size_t size) {
  samples_ = size >= kGram ? (size - kGram) / kStep + 1 : 0;
  // One to two sampled offsets per bucket: few enough collisions that a probe rarely yields a
  // stranger, small enough that the table stays a fraction of the offsets' size.
  bucket_bits_ = 4;
  while (bucket_bits_ < 31 && (size_t{1} << (bucket_bits_ + 1)) <= samples_) ++bucket_bits_;
  const size_t buckets = size_t{1} << bucket_bits_;

  starts_ = platform::MakeLargeArray<uint32_t>(buckets + 1);  // zeroed
  positions_ = platform::MakeLargeArray<uint32_t>(samples_);
  {
    // Each sample's bucket, kept so that the text is hashed once; freed before returning.
    auto bucket_of = platform::MakeLargeArray<uint32_t>(samples_);
    for (size_t i = 0; i < samples_; ++i) bucket_of[i] = BucketOf(text + i * kStep, true);
    // The bucket table is far larger than the caches: its lines are asked for ahead of use.
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < samples_; ++i) {
      if (i + kAhead < samples_) __builtin_prefetch(&starts_[bucket_of[i + kAhead] + 1], 1);
      ++starts_[bucket_of[i] + 1];
    }
    for (size_t b = 0; b < buckets; ++b) starts_[b + 1] += starts_[b];
    // Filled in ascending sample order, so every bucket lists its offsets ascending; starts_
    // is shifted one place on in the process and shifted back below.
    for (size_t i = 0; i < samples_; ++i) {
      if (i + kAhead < samples_) {
        __builtin_prefetch(&starts_[bucket_of[i + kAhead]], 1);
      }
      positions_[starts_[bucket_of[i]]++] = static_cast<uint32_t>(i * kStep);
    }
  }
  for (size_t b = buckets; b > 0; --b) starts_[b] = starts_[b - 1];
  starts_[0] = 0;
}

bool QGramIndex::Candidates(const unsigned char* folded_pattern, size_t length, size_t limit,
                            std::vector<uint32_t>* out) const {
  out->clear();
  if (length < kMinPattern) return false;
  // The kStep buckets lie far apart in a large index: all of them, and then their offsets,
  // are asked of memory at once, rather than one miss after another.
  uint32_t buckets[kStep];
  for (size_t j = 0; j < kStep; ++j) {
    buckets[j] = BucketOf(folded_pattern + j, false);
    __builtin_prefetch(&starts_[buckets[j]]);
  }
  for (size_t j = 0; j < kStep; ++j) __builtin_prefetch(&positions_[starts_[buckets[j]]]);
  for (size_t j = 0; j < kStep; ++j) {
    const uint32_t bucket = buckets[j];
    const uint32_t first = starts_[bucket], last = starts_[bucket + 1];
    if (out->size() + (last - first) > limit) return false;
    for (uint32_t k = first; k < last; ++k) {
      // An occurrence at o covers the sample at o + j; a sample before j would put o before
      // the text's start.
      if (positions_[k] >= j) out->push_back(positions_[k] - static_cast<uint32_t>(j));
    }
  }
  std::sort(out->begin(), out->end());
  out->erase(std::unique(out->begin(), out->end()), out->end());
  return true;
}

size_t QGramIndex::MemoryBytes() const {
  return ((size_t{1} << bucket_bits_) + 1 + samples_) * sizeof(uint32_t);
}

}  // namespace nerlo::sigdb

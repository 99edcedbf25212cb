#include "sigdb/qgram_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/platform.h"
#include "sigdb/fold.h"

namespace nerlo::sigdb {
namespace {

static_assert(QGramIndex::kGram == 16, "HashOf reads the q-gram as two 64-bit words");

uint64_t Load64(const unsigned char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Folds eight bytes that are all below 0x80, as kFoldTable does: A-Z gain 0x20. No byte
// carries into the next: each sum stays below 0x100.
uint64_t FoldAscii(uint64_t word) {
  constexpr uint64_t kEach = 0x0101010101010101u;
  const uint64_t from_a = word + kEach * (0x80 - 'A');      // top bit: the byte is 'A' or above
  const uint64_t past_z = word + kEach * (0x80 - 'Z' - 1);  // top bit: the byte is above 'Z'
  return word | ((from_a & ~past_z & kEach * 0x80) >> 2);
}

}  // namespace

uint64_t QGramIndex::HashOf(const unsigned char* gram, bool fold) {
  uint64_t low = Load64(gram), high = Load64(gram + 8);
  if (fold) {
    if (((low | high) & 0x8080808080808080u) == 0) {
      low = FoldAscii(low);
      high = FoldAscii(high);
    } else {
      unsigned char folded[kGram];
      for (size_t i = 0; i < kGram; ++i) folded[i] = kFoldTable[gram[i]];
      low = Load64(folded);
      high = Load64(folded + 8);
    }
  }
  uint64_t h = low * 0x9E3779B97F4A7C15u;
  h ^= std::rotl(high * 0xC2B2AE3D27D4EB4Fu, 31);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9u;
  return h;
}

uint32_t QGramIndex::BucketOf(uint64_t hash) const {
  return static_cast<uint32_t>(hash >> (64 - bucket_bits_));
}

uint32_t QGramIndex::TagOf(uint64_t hash) const {
  return static_cast<uint32_t>(hash >> (64 - bucket_bits_ - kTagBits)) & kTagMask;
}

QGramIndex::QGramIndex(const unsigned char* text, size_t size) {
  samples_ = size >= kGram ? (size - kGram) / kStep + 1 : 0;
  // One to two sampled offsets per bucket: few enough collisions that a probe rarely yields a
  // stranger, small enough that the table stays a fraction of the offsets' size.
  bucket_bits_ = 4;
  // Below 2^32 bytes of text there are fewer than 2^28 samples: a bucket and a tag fit 32 bits.
  while (bucket_bits_ < 32 - kTagBits && (size_t{1} << (bucket_bits_ + 1)) <= samples_)
    ++bucket_bits_;
  const size_t buckets = size_t{1} << bucket_bits_;

  starts_ = platform::MakeLargeArray<uint32_t>(buckets + 1);  // zeroed
  positions_ = platform::MakeLargeArray<uint32_t>(samples_);
  {
    // Each sample's bucket and tag (bucket << kTagBits | tag), kept so that the text is hashed
    // once; freed before returning.
    auto key_of = platform::MakeLargeArray<uint32_t>(samples_);
    for (size_t i = 0; i < samples_; ++i) {
      const uint64_t hash = HashOf(text + i * kStep, true);
      key_of[i] = BucketOf(hash) << kTagBits | TagOf(hash);
    }
    // The bucket table is far larger than the caches: its lines are asked for ahead of use.
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < samples_; ++i) {
      if (i + kAhead < samples_)
        __builtin_prefetch(&starts_[(key_of[i + kAhead] >> kTagBits) + 1], 1);
      ++starts_[(key_of[i] >> kTagBits) + 1];
    }
    for (size_t b = 0; b < buckets; ++b) starts_[b + 1] += starts_[b];
    // Filled in ascending sample order, so every bucket lists its offsets ascending; starts_
    // is shifted one place on in the process and shifted back below. A sample's offset is a
    // multiple of kStep: its low bits carry the sample's tag.
    for (size_t i = 0; i < samples_; ++i) {
      if (i + kAhead < samples_) __builtin_prefetch(&starts_[key_of[i + kAhead] >> kTagBits], 1);
      positions_[starts_[key_of[i] >> kTagBits]++] =
          static_cast<uint32_t>(i * kStep) | (key_of[i] & kTagMask);
    }
  }
  for (size_t b = buckets; b > 0; --b) starts_[b] = starts_[b - 1];
  starts_[0] = 0;
}

QGramIndex::Probe QGramIndex::ProbeOf(const unsigned char* pattern, bool fold) const {
  Probe probe;
  unsigned char folded[kMinPattern];
  if (fold) {
    for (size_t i = 0; i < kMinPattern; ++i) folded[i] = kFoldTable[pattern[i]];
    pattern = folded;
  }
  for (size_t j = 0; j < kStep; ++j) {
    const uint64_t hash = HashOf(pattern + j, false);
    probe.buckets[j] = BucketOf(hash);
    probe.tags[j] = TagOf(hash);
  }
  return probe;
}

bool QGramIndex::Candidates(const unsigned char* folded_pattern, size_t length, size_t limit,
                            std::vector<uint32_t>* out) const {
  out->clear();
  if (length < kMinPattern) return false;
  // The kStep buckets lie far apart in a large index: all of them, and then their offsets,
  // are asked of memory at once, rather than one miss after another.
  const Probe probe = ProbeOf(folded_pattern, false);
  for (size_t j = 0; j < kStep; ++j) __builtin_prefetch(&starts_[probe.buckets[j]]);
  for (size_t j = 0; j < kStep; ++j) __builtin_prefetch(&positions_[starts_[probe.buckets[j]]]);
  for (size_t j = 0; j < kStep; ++j) {
    const uint32_t bucket = probe.buckets[j];
    const uint32_t first = starts_[bucket], last = starts_[bucket + 1];
    if (out->size() + (last - first) > limit) return false;
    for (uint32_t k = first; k < last; ++k) {
      // A sample of another tag holds another q-gram. An occurrence at o covers the sample at
      // o + j; a sample before j would put o before the text's start.
      const uint32_t entry = positions_[k];
      if ((entry & kTagMask) != probe.tags[j]) continue;
      const uint32_t sample = entry & ~kTagMask;
      if (sample >= j) out->push_back(sample - static_cast<uint32_t>(j));
    }
  }
  std::sort(out->begin(), out->end());
  out->erase(std::unique(out->begin(), out->end()), out->end());
  return true;
}

void QGramIndex::Prefetch(const Probe& probe, int round, const unsigned char* text,
                          size_t size) const {
  for (size_t j = 0; j < kStep; ++j) {
    const uint32_t bucket = probe.buckets[j];
    if (round == 0) {
      __builtin_prefetch(&starts_[bucket]);
      continue;
    }
    const uint32_t first = starts_[bucket];
    if (round == 1) {
      __builtin_prefetch(&positions_[first]);
      continue;
    }
    // A bucket holds one or two offsets, seldom more; a crowded one is left to the lookup.
    const uint32_t last = std::min(starts_[bucket + 1], first + 4);
    for (uint32_t k = first; k < last; ++k) {
      const uint32_t entry = positions_[k];
      const uint32_t sample = entry & ~kTagMask;
      if ((entry & kTagMask) != probe.tags[j] || sample < j) continue;
      if (sample - j < size) __builtin_prefetch(text + (sample - j));
    }
  }
}

size_t QGramIndex::MemoryBytes() const {
  return ((size_t{1} << bucket_bits_) + 1 + samples_) * sizeof(uint32_t);
}

}  // namespace nerlo::sigdb

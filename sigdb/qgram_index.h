// A sampled q-gram index of a database's case-folded bytes, for finding where a long pattern
// may stand without reading the whole database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace nerlo::sigdb {

// Indexes the q-gram (kGram bytes, each folded through the Windows-1252 lower-case mapping)
// that starts at every kStep-th offset of a text. Every occurrence of a pattern of at least
// kMinPattern bytes, in either case mode, covers one sampled q-gram entirely, at one of the
// pattern's kStep leading offsets; probing those kStep q-grams therefore yields every offset
// where the pattern may start. Each sample carries a few bits of its q-gram's hash besides its
// bucket (its tag), so that most samples of other q-grams that share a bucket are passed over
// without reading the text. Candidates are only that: hash collisions and case-sensitive
// comparisons mean each must still be compared in full.
//
// Size: 4 bytes per kStep bytes of text for the sampled offsets, and a bucket table of one
// to two buckets per sample, 4 bytes each: between 0.375 and 0.5 MB per MB of text (0.5 for
// a 64 MB database). The text is not kept; the index is immutable after construction and may
// be read by any number of threads at once.
class QGramIndex {
 public:
  static constexpr size_t kGram = 16;
  static constexpr size_t kStep = 16;
  static constexpr size_t kMinPattern = kGram + kStep - 1;

  // Indexes text[0, size). size must be below 2^32. Raises std::bad_alloc when the memory
  // for the index cannot be had.
  QGramIndex(const unsigned char* text, size_t size);

  // Puts into *out, ascending and without repeats, every offset o such that the pattern
  // (length >= kMinPattern, its bytes already folded) may start at o in the text: o + length
  // may lie past the text's end, the caller checks. Returns false, with *out in no defined
  // state, when there would be more than limit candidates (the caller then searches
  // otherwise), and false for a pattern shorter than kMinPattern.
  bool Candidates(const unsigned char* folded_pattern, size_t length, size_t limit,
                  std::vector<uint32_t>* out) const;

  // The buckets that a lookup of a pattern reads, one per leading offset, and the tag that its
  // q-gram there has.
  struct Probe {
    uint32_t buckets[kStep];
    uint32_t tags[kStep];
  };
  // The probe of a pattern of at least kMinPattern bytes, folded here when fold is set.
  Probe ProbeOf(const unsigned char* pattern, bool fold) const;

  // Asks memory for what a lookup of probe will read, without waiting for it, in three rounds
  // (kPrefetchRounds), each reading what the one before fetched: the buckets, then their
  // offsets, then the text (text[0, size), the indexed text) at the offsets. Lookups made one
  // after the other, each waiting on memory three times, wait once when round r is made for
  // all of them before round r + 1 of any. A hint only: no result depends on it.
  static constexpr int kPrefetchRounds = 3;
  void Prefetch(const Probe& probe, int round, const unsigned char* text, size_t size) const;

  // Bytes held by the index.
  size_t MemoryBytes() const;

 private:
  // A q-gram's hash; its top bucket_bits_ bits are its bucket, the kTagBits below them its tag.
  static uint64_t HashOf(const unsigned char* gram, bool fold);
  uint32_t BucketOf(uint64_t hash) const;
  uint32_t TagOf(uint64_t hash) const;

  // Sampled offsets are multiples of kStep: their low bits hold the sample's tag, which tells
  // most strangers in a bucket apart without reading the text.
  static constexpr int kTagBits = 4;
  static constexpr uint32_t kTagMask = (1u << kTagBits) - 1;
  static_assert(kStep == 1u << kTagBits);

  int bucket_bits_ = 0;
  // Bucket b holds the sampled offsets positions_[starts_[b]] .. positions_[starts_[b+1]-1],
  // ascending.
  platform::LargeArray<uint32_t> starts_;
  platform::LargeArray<uint32_t> positions_;
  size_t samples_ = 0;
};

}  // namespace nerlo::sigdb

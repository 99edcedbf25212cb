#include "sigdb/file_search.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "sigdb/fold.h"
#include "sigdb/qgram_index.h"

namespace nerlo::sigdb {

// ---- TBaseSearch ---------------------------------------------------------------------------

TBaseSearch::TBaseSearch() { fold_table_ = kFoldTable; }

unsigned char TBaseSearch::Fold(unsigned char c) { return kFoldTable[c]; }

void TBaseSearch::SetPattern(std::string_view pattern) {
  if (pattern == pattern_) return;
  pattern_.assign(pattern);
  pattern_length_ = static_cast<int32_t>(pattern_.size());
  table_valid_ = false;
  ++pattern_generation_;
}

void TBaseSearch::SetCaseSensitive(bool value) {
  if (value == case_sensitive_) return;
  case_sensitive_ = value;
  table_valid_ = false;
  ++pattern_generation_;
}

void TBaseSearch::SetBuffer(const unsigned char* start, int32_t size) {
  position_ = 0;
  block_start_ = nullptr;
  block_size_ = 0;
  if (start != nullptr && size >= 1) {
    block_start_ = start;
    block_size_ = size;
  }
}

void TBaseSearch::BuildTables() {
  const int32_t length = pattern_length_;
  if (length == 0) return;
  const unsigned char* pattern = reinterpret_cast<const unsigned char*>(pattern_.data());
  mapped_pattern_.resize(static_cast<size_t>(length));
  for (int32_t i = 0; i < length; ++i) mapped_pattern_[static_cast<size_t>(i)] = Map(pattern[i]);

  skip_table_.fill(length);
  for (int32_t j = 1; j <= length - 1; ++j)
    skip_table_[mapped_pattern_[static_cast<size_t>(j - 1)]] = length - j;
  const unsigned char last = mapped_pattern_[static_cast<size_t>(length - 1)];
  mismatch_shift_ = skip_table_[last];
  skip_table_[last] = 0;

  // The same shifts indexed by the raw block byte, so that the skip loop needs one lookup.
  for (int c = 0; c < 256; ++c) raw_skip_[c] = skip_table_[Map(static_cast<unsigned char>(c))];
  table_valid_ = true;
}

int32_t TBaseSearch::FindFirst() {
  position_ = static_cast<int64_t>(pattern_length_) - 1;
  return FindNext();
}

int32_t TBaseSearch::FindNext() {
  if (!table_valid_) BuildTables();
  const int64_t end = block_size_;
  const int64_t length = pattern_length_;
  if (length == 0 || length > end || position_ >= end) {
    position_ = end;
    return -1;
  }
  const unsigned char* block = block_start_;
  const unsigned char* mapped = mapped_pattern_.data();
  const int32_t* skip = raw_skip_.data();
  const int64_t shift = mismatch_shift_;
  // A FindNext without a FindFirst on this block, or after a longer pattern was set, would put
  // the test window before the block's first byte; it starts at the block's start instead.
  int64_t pos = std::max(position_, length - 1);
  while (pos < end) {
    const int32_t s = skip[block[pos]];
    if (s != 0) {
      pos += s;
      continue;
    }
    const unsigned char* window = block + (pos - length + 1);
    bool equal = true;
    if (case_sensitive_) {
      equal = std::memcmp(window, mapped, static_cast<size_t>(length - 1)) == 0;
    } else {
      for (int64_t i = 0; i < length - 1; ++i) {
        if (fold_table_[window[i]] != mapped[i]) {
          equal = false;
          break;
        }
      }
    }
    if (equal) {
      position_ = pos + length;
      return static_cast<int32_t>(pos - length + 1);
    }
    pos += shift;
  }
  position_ = end;
  return -1;
}

// ---- Database snapshots --------------------------------------------------------------------

// The bytes of a database as one read saw them, and their index once a search asked for it.
// Immutable but for the index, which is built once, under index_once, and never changed after.
struct DatabaseSnapshot {
  platform::LargeArray<unsigned char> bytes;
  size_t size = 0;

  mutable std::once_flag index_once;
  mutable std::unique_ptr<const QGramIndex> index;

  // The index, built on the first call on any thread; null when the memory for it cannot be
  // had (searches then use the skip table).
  const QGramIndex* Index() const {
    std::call_once(index_once, [this] {
      try {
        index = std::make_unique<const QGramIndex>(bytes.get(), size);
      } catch (const std::bad_alloc&) {
        index.reset();
      }
    });
    return index.get();
  }
};

namespace {

// Files of this size or more are never made a block (the block size is a signed 32-bit count).
constexpr int64_t kMaxDatabaseSize = int64_t{1} << 31;

// A file whose last change lies this close before the moment it was read may still be changed
// again within the same tick of the file system's clock without its stamp changing.
constexpr int64_t kRacyWindowNs = 2'000'000'000;
// How long a snapshot of such a file is used before the file is read again.
constexpr int64_t kRacyReuseNs = 1'000'000'000;

std::atomic<uint64_t> database_reads{0};

// The snapshot last read for one path, with the stamp it was read under. Its mutex serialises
// the settings of that path, so that instances on several threads over one database read it
// once, while settings of other paths go on.
struct CacheEntry {
  std::mutex mutex;
  std::shared_ptr<const DatabaseSnapshot> snapshot;
  platform::FileStamp stamp;
  int64_t read_ns = 0;  // when the read began
  bool racy = false;    // changed within kRacyWindowNs before read_ns
};

// Databases are few (three fixed names); this bound only keeps a process that searches many
// different files from holding them all.
constexpr size_t kMaxCachedPaths = 16;

struct SnapshotCache {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<CacheEntry>> entries;
};

// Never destroyed, so that a search still running on a worker thread at exit finds it intact.
SnapshotCache& Cache() {
  static SnapshotCache* cache = new SnapshotCache();
  return *cache;
}

std::shared_ptr<CacheEntry> EntryFor(const std::string& path) {
  SnapshotCache& cache = Cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  auto found = cache.entries.find(path);
  if (found != cache.entries.end()) return found->second;
  // Entries dropped here stay alive for whoever still holds them.
  if (cache.entries.size() >= kMaxCachedPaths) cache.entries.clear();
  auto entry = std::make_shared<CacheEntry>();
  cache.entries.emplace(path, entry);
  return entry;
}

int64_t SystemNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::atomic<int64_t (*)()> clock_now_ns{&SystemNowNs};

int64_t NowNs() { return clock_now_ns.load(std::memory_order_relaxed)(); }

// True when a change at time_ns lies within the racy window before now_ns. A time in the
// future is not recent: only the clock's last two seconds count.
bool Recent(int64_t time_ns, int64_t now_ns) {
  return time_ns <= now_ns && now_ns - time_ns <= kRacyWindowNs;
}

struct ReadResult {
  std::shared_ptr<const DatabaseSnapshot> snapshot;
  platform::FileStamp stamp;  // the open file's stamp when the read began
  bool consistent = false;    // the file did not change while it was read
  bool empty = false;         // no snapshot, because the file holds no byte
};

// Reads up to size bytes of file into dest; returns the count, or -1 with *error set.
int64_t ReadFully(platform::File& file, unsigned char* dest, size_t size,
                  platform::ErrorCode* error) {
  size_t filled = 0;
  while (filled < size) {
    const int64_t got = file.Read(dest + filled, size - filled, error);
    if (got < 0) return -1;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(filled);
}

// Reads the whole file at path into one allocation of the size its open descriptor reports.
// previous, when it has that size, is compared with the file as it is read; if every byte is
// the same, it is returned instead of a new snapshot, so that its index is kept. A file that
// grows while it is read is read up to the size it had when opened; one that shrinks, up to
// its end; neither is consistent. Returns no snapshot (and *why) when the file cannot be
// opened or read, is empty or too large to be a block.
ReadResult ReadSnapshotOrThrow(const std::string& path,
                               const std::shared_ptr<const DatabaseSnapshot>& previous,
                               std::string* why) {
  ReadResult result;
  platform::ErrorCode error = 0;
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kFollow, &error);
  if (!file.IsOpen()) {
    *why = platform::ErrorText(error);
    return result;
  }
  result.stamp = file.Stamp();
  const int64_t size = result.stamp.size;
  if (size <= 0 || size >= kMaxDatabaseSize) {
    *why = size <= 0 ? "the file is empty" : "the file is too large";
    result.empty = size <= 0;
    return result;
  }
  const size_t expected = static_cast<size_t>(size);

  platform::LargeArray<unsigned char> bytes;
  size_t filled = 0;
  if (previous != nullptr && previous->size == expected) {
    // Compare piece by piece; the new allocation is made only at the first difference.
    std::vector<unsigned char> piece(std::min<size_t>(expected, 256 * 1024));
    while (filled < expected) {
      const int64_t got =
          ReadFully(file, piece.data(), std::min(piece.size(), expected - filled), &error);
      if (got < 0) {
        *why = platform::ErrorText(error);
        return result;
      }
      if (got == 0) break;
      const size_t n = static_cast<size_t>(got);
      if (std::memcmp(piece.data(), previous->bytes.get() + filled, n) != 0) {
        bytes = platform::MakeLargeArray<unsigned char>(expected);
        std::memcpy(bytes.get(), previous->bytes.get(), filled);
        std::memcpy(bytes.get() + filled, piece.data(), n);
        filled += n;
        break;
      }
      filled += n;
    }
    if (bytes == nullptr && filled < expected) {
      // Shrunk while read: a prefix of the previous bytes is what was read.
      bytes = platform::MakeLargeArray<unsigned char>(expected);
      std::memcpy(bytes.get(), previous->bytes.get(), filled);
    }
  } else {
    bytes = platform::MakeLargeArray<unsigned char>(expected);
  }
  if (bytes != nullptr && filled < expected) {
    const int64_t got = ReadFully(file, bytes.get() + filled, expected - filled, &error);
    if (got < 0) {
      *why = platform::ErrorText(error);
      return result;
    }
    filled += static_cast<size_t>(got);
  }
  // One byte more tells whether the file grew while it was read.
  unsigned char extra;
  const int64_t beyond = file.Read(&extra, 1, &error);
  file.Close();
  if (filled == 0) {
    *why = "the file is empty";
    result.empty = true;
    return result;
  }

  if (bytes == nullptr) {
    result.snapshot = previous;
  } else {
    auto snapshot = std::make_shared<DatabaseSnapshot>();
    snapshot->bytes = std::move(bytes);
    snapshot->size = filled;
    result.snapshot = std::move(snapshot);
  }
  platform::FileStamp after;
  result.consistent = beyond == 0 && filled == expected && platform::StatPath(path, &after) &&
                      after == result.stamp;
  return result;
}

// As ReadSnapshotOrThrow; a database too large for the memory at hand leaves no block, as one
// too large to be a block does, instead of ending the scan.
ReadResult ReadSnapshot(const std::string& path,
                        const std::shared_ptr<const DatabaseSnapshot>& previous, std::string* why) {
  try {
    return ReadSnapshotOrThrow(path, previous, why);
  } catch (const std::bad_alloc&) {
    *why = "not enough memory to read it whole";
    return ReadResult{};
  }
}

}  // namespace

// ---- TFileSearch ---------------------------------------------------------------------------

TFileSearch::~TFileSearch() { ReleaseFile(); }

void TFileSearch::ReleaseFile() {
  SetBuffer(nullptr, 0);
  snapshot_.reset();
  filename_.clear();
  load_error_.clear();
  load_found_empty_ = false;
  candidates_snapshot_ = nullptr;
  candidates_.clear();
}

void TFileSearch::SetFilename(const std::string& name) {
  ReleaseFile();
  if (name.empty()) return;
  platform::FileStamp current;
  platform::ErrorCode stat_error = 0;
  if (!platform::StatPath(name, &current, &stat_error)) {
    load_error_ = platform::ErrorText(stat_error);
    return;
  }

  std::shared_ptr<CacheEntry> entry = EntryFor(name);
  std::shared_ptr<const DatabaseSnapshot> snapshot;
  {
    std::lock_guard<std::mutex> lock(entry->mutex);
    const int64_t now = NowNs();
    if (entry->snapshot != nullptr && entry->stamp == current &&
        (!entry->racy || now - entry->read_ns < kRacyReuseNs)) {
      snapshot = entry->snapshot;
    } else {
      // The kept snapshot is released before a read of another size, so that the read does
      // not hold two copies; one of the same size is compared against instead.
      std::shared_ptr<const DatabaseSnapshot> previous = std::move(entry->snapshot);
      entry->snapshot.reset();
      if (previous != nullptr && previous->size != static_cast<size_t>(current.size))
        previous.reset();
      database_reads.fetch_add(1, std::memory_order_relaxed);
      ReadResult read = ReadSnapshot(name, previous, &load_error_);
      load_found_empty_ = read.empty;
      previous.reset();
      snapshot = read.snapshot;
      if (snapshot != nullptr && read.consistent) {
        entry->snapshot = snapshot;
        entry->stamp = read.stamp;
        entry->read_ns = now;
        entry->racy = Recent(read.stamp.modified_ns, now) || Recent(read.stamp.changed_ns, now);
      }
    }
  }
  if (snapshot == nullptr) {
    if (load_error_.empty()) load_error_ = "the file cannot be read";
    return;
  }
  snapshot_ = std::move(snapshot);
  SetBuffer(snapshot_->bytes.get(), static_cast<int32_t>(snapshot_->size));
  if (HasBlock()) filename_ = name;
}

uint64_t TFileSearch::DatabaseReads() { return database_reads.load(std::memory_order_relaxed); }

int64_t TFileSearch::ClockNs() { return NowNs(); }

void TFileSearch::SetClockForTesting(int64_t (*now_ns)()) {
  clock_now_ns.store(now_ns != nullptr ? now_ns : &SystemNowNs, std::memory_order_relaxed);
}

void TFileSearch::PrepareIndex() const {
  if (snapshot_ != nullptr) snapshot_->Index();
}

bool TFileSearch::UseIndex() {
  const DatabaseSnapshot* snapshot = snapshot_.get();
  if (snapshot == nullptr || BlockStart() != snapshot->bytes.get() ||
      static_cast<size_t>(BlockSize()) != snapshot->size ||
      Pattern().size() < QGramIndex::kMinPattern)
    return false;
  if (candidates_snapshot_ == snapshot && candidates_generation_ == PatternGeneration())
    return candidates_usable_;

  candidates_snapshot_ = snapshot;
  candidates_generation_ = PatternGeneration();
  candidates_usable_ = false;
  const QGramIndex* index = snapshot->Index();
  if (index == nullptr) return false;
  const std::string& pattern = Pattern();
  folded_pattern_.resize(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i)
    folded_pattern_[i] = kFoldTable[static_cast<unsigned char>(pattern[i])];
  // Past this many candidates the skip table over the whole block is the cheaper search.
  const size_t limit = std::max<size_t>(4096, snapshot->size / 256);
  candidates_usable_ =
      index->Candidates(folded_pattern_.data(), folded_pattern_.size(), limit, &candidates_);
  if (!candidates_usable_) {
    candidates_.clear();
    return false;
  }
  // The candidates are compared in turn; their bytes are asked of memory at once.
  constexpr size_t kPrefetched = 64;
  const unsigned char* block = BlockStart();
  for (size_t i = 0; i < std::min(candidates_.size(), kPrefetched); ++i) {
    if (candidates_[i] < snapshot->size) __builtin_prefetch(block + candidates_[i]);
  }
  return true;
}

void TFileSearch::Prefetch(std::span<const Lookup> lookups) {
  struct Item {
    const QGramIndex* index;
    const unsigned char* text;
    size_t size;
    QGramIndex::Probe probe;
  };
  constexpr size_t kBatch = 16;
  for (size_t from = 0; from < lookups.size(); from += kBatch) {
    Item items[kBatch];
    size_t count = 0;
    for (const Lookup& lookup : lookups.subspan(from, std::min(kBatch, lookups.size() - from))) {
      const DatabaseSnapshot* snapshot = lookup.search->snapshot_.get();
      if (snapshot == nullptr || lookup.search->BlockStart() != snapshot->bytes.get() ||
          lookup.pattern.size() < QGramIndex::kMinPattern)
        continue;
      const QGramIndex* index = snapshot->Index();
      if (index == nullptr) continue;
      items[count++] = {
          index, snapshot->bytes.get(), snapshot->size,
          index->ProbeOf(reinterpret_cast<const unsigned char*>(lookup.pattern.data()), true)};
    }
    for (int round = 0; round < QGramIndex::kPrefetchRounds; ++round) {
      for (size_t i = 0; i < count; ++i)
        items[i].index->Prefetch(items[i].probe, round, items[i].text, items[i].size);
    }
  }
}

int32_t TFileSearch::FindNext() {
  if (!UseIndex()) return TBaseSearch::FindNext();
  // The same steps and the same position as the skip-table search: the next match is the
  // first occurrence starting at or after the test window the position stands for.
  const int64_t end = BlockSize();
  const int64_t length = static_cast<int64_t>(Pattern().size());
  if (length > end || Position() >= end) {
    SetPosition(end);
    return -1;
  }
  const int64_t from = std::max(Position(), length - 1) - length + 1;
  const unsigned char* block = BlockStart();
  const unsigned char* pattern = reinterpret_cast<const unsigned char*>(Pattern().data());
  const bool case_sensitive = CaseSensitive();
  for (auto it = std::lower_bound(candidates_.begin(), candidates_.end(), from);
       it != candidates_.end(); ++it) {
    const int64_t at = *it;
    if (at + length > end) break;
    const unsigned char* window = block + at;
    bool equal;
    if (case_sensitive) {
      equal = std::memcmp(window, pattern, static_cast<size_t>(length)) == 0;
    } else {
      equal = true;
      for (int64_t i = 0; i < length; ++i) {
        if (kFoldTable[window[i]] != folded_pattern_[static_cast<size_t>(i)]) {
          equal = false;
          break;
        }
      }
    }
    if (equal) {
      SetPosition(at + 2 * length - 1);
      return static_cast<int32_t>(at);
    }
  }
  SetPosition(end);
  return -1;
}

}  // namespace nerlo::sigdb

#include "sigdb/file_search.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace nerlo::sigdb {
namespace {

// The Windows-1252 lower-case mapping: A-Z and the accented capitals 0xC0-0xDE (but not the
// multiplication sign 0xD7) add 0x20; S, OE and Z with caron and Y with diaeresis map to their
// small forms; every other byte maps to itself.
constexpr std::array<unsigned char, 256> MakeFoldTable() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    int folded = c;
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) folded = c + 0x20;
    if (c == 0x8A || c == 0x8C || c == 0x8E) folded = c + 0x10;
    if (c == 0x9F) folded = 0xFF;
    table[static_cast<size_t>(c)] = static_cast<unsigned char>(folded);
  }
  return table;
}

constexpr std::array<unsigned char, 256> kFoldTable = MakeFoldTable();

}  // namespace

// ---- TBaseSearch ---------------------------------------------------------------------------

TBaseSearch::TBaseSearch() { fold_table_ = kFoldTable; }

unsigned char TBaseSearch::Fold(unsigned char c) { return kFoldTable[c]; }

void TBaseSearch::SetPattern(std::string_view pattern) {
  if (pattern == pattern_) return;
  pattern_.assign(pattern);
  pattern_length_ = static_cast<int32_t>(pattern_.size());
  table_valid_ = false;
}

void TBaseSearch::SetCaseSensitive(bool value) {
  if (value == case_sensitive_) return;
  case_sensitive_ = value;
  table_valid_ = false;
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

struct DatabaseSnapshot {
  std::vector<unsigned char> bytes;
  platform::FileStamp stamp;  // the stamp the bytes were read under
};

namespace {

// Files of this size or more are never made a block (the block size is a signed 32-bit count).
constexpr int64_t kMaxDatabaseSize = int64_t{1} << 31;

// A file whose last change lies this close to the moment it was read may still be changed
// again within the same tick of the file system's clock without its stamp changing, so its
// bytes are used for that setting but not kept for reuse.
constexpr int64_t kRacyWindowNs = 2'000'000'000;

// The snapshot last read for one path. Its mutex serialises the settings of that path, so
// that instances on several threads over one database read it once, while settings of other
// paths go on.
struct CacheEntry {
  std::mutex mutex;
  std::shared_ptr<const DatabaseSnapshot> snapshot;
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

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Reads the whole file at path. Returns null when it cannot be opened or read, or is empty or
// too large to be a block. *cacheable tells whether the file stayed unchanged while it was
// read and its stamp can be trusted to show a later change.
std::shared_ptr<const DatabaseSnapshot> ReadSnapshotOrThrow(const std::string& path,
                                                            bool* cacheable, std::string* why) {
  *cacheable = false;
  platform::ErrorCode error = 0;
  const int64_t started_ns = NowNs();
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kFollow, &error);
  if (!file.IsOpen()) {
    *why = platform::ErrorText(error);
    return nullptr;
  }
  auto snapshot = std::make_shared<DatabaseSnapshot>();
  snapshot->stamp = file.Stamp();
  const int64_t size = snapshot->stamp.size;
  if (size <= 0 || size >= kMaxDatabaseSize) {
    *why = size <= 0 ? "the file is empty" : "the file is too large";
    return nullptr;
  }

  // The file may grow or shrink while it is read: the bytes read until a read returns 0 are
  // what this setting searches.
  std::vector<unsigned char>& bytes = snapshot->bytes;
  bytes.resize(static_cast<size_t>(size));
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      if (bytes.size() >= static_cast<size_t>(kMaxDatabaseSize)) {
        *why = "the file is too large";
        return nullptr;
      }
      bytes.resize(std::min(bytes.size() * 2, static_cast<size_t>(kMaxDatabaseSize)));
    }
    int64_t got = file.Read(bytes.data() + filled, bytes.size() - filled, &error);
    if (got < 0) {
      *why = platform::ErrorText(error);
      return nullptr;
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  file.Close();
  if (filled == 0) {
    *why = "the file is empty";
    return nullptr;
  }
  bytes.resize(filled);
  bytes.shrink_to_fit();

  platform::FileStamp after;
  *cacheable = platform::StatPath(path, &after) && after == snapshot->stamp &&
               after.size == static_cast<int64_t>(filled) &&
               started_ns - after.changed_ns > kRacyWindowNs &&
               started_ns - after.modified_ns > kRacyWindowNs;
  return snapshot;
}

// As ReadSnapshotOrThrow; a database too large for the memory at hand leaves no block, as one
// too large to be a block does, instead of ending the scan.
std::shared_ptr<const DatabaseSnapshot> ReadSnapshot(const std::string& path, bool* cacheable,
                                                     std::string* why) {
  try {
    return ReadSnapshotOrThrow(path, cacheable, why);
  } catch (const std::bad_alloc&) {
    *cacheable = false;
    *why = "not enough memory to read it whole";
    return nullptr;
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
    if (entry->snapshot != nullptr && entry->snapshot->stamp == current) {
      snapshot = entry->snapshot;
    } else {
      bool cacheable = false;
      snapshot = ReadSnapshot(name, &cacheable, &load_error_);
      entry->snapshot = cacheable ? snapshot : nullptr;
    }
  }
  if (snapshot == nullptr) {
    if (load_error_.empty()) load_error_ = "the file cannot be read";
    return;
  }
  snapshot_ = std::move(snapshot);
  SetBuffer(snapshot_->bytes.data(), static_cast<int32_t>(snapshot_->bytes.size()));
  if (HasBlock()) filename_ = name;
}

}  // namespace nerlo::sigdb

// Pattern search over a block of memory (TBaseSearch) and over a database file (TFileSearch).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nerlo::sigdb {

// Skip-table (Boyer-Moore-Horspool) search of a block for a pattern, case-folded through the
// Windows-1252 lower-case mapping unless CaseSensitive is set. Matches never overlap: after a
// match the next test window begins right after the match's last byte, so every
// non-overlapping occurrence, scanning from the block's start, is returned once, in ascending
// order. The block is never owned, copied or freed; whoever hands it over keeps it valid.
// One instance belongs to one thread at a time; instances share nothing.
class TBaseSearch {
 public:
  TBaseSearch();
  virtual ~TBaseSearch() = default;
  TBaseSearch(const TBaseSearch&) = delete;
  TBaseSearch& operator=(const TBaseSearch&) = delete;

  const std::string& Pattern() const { return pattern_; }
  // A value equal to the current one, byte for byte, changes nothing.
  void SetPattern(std::string_view pattern);

  bool CaseSensitive() const { return case_sensitive_; }
  void SetCaseSensitive(bool value);

  // Forgets the current block, then takes [start, start + size) as the block when start is
  // not null and size is 1 or more. The pattern, case mode and tables stay.
  virtual void SetBuffer(const unsigned char* start, int32_t size);

  // Offset of the first byte of the first match in the block, or -1.
  int32_t FindFirst();
  // Offset of the next match after the last one returned, or -1. Follows a FindFirst.
  virtual int32_t FindNext();

  // The lower-case form of a byte, as the case-insensitive comparison folds it.
  static unsigned char Fold(unsigned char c);

 protected:
  bool HasBlock() const { return block_start_ != nullptr; }
  const unsigned char* BlockStart() const { return block_start_; }
  int32_t BlockSize() const { return block_size_; }
  // Offset of the byte that the pattern's last byte is tested against next.
  int64_t Position() const { return position_; }
  void SetPosition(int64_t position) { position_ = position; }
  // Changes whenever the pattern or the case mode changes.
  uint64_t PatternGeneration() const { return pattern_generation_; }

 private:
  void BuildTables();
  // m(c): the byte itself when CaseSensitive is set, its folded form otherwise.
  unsigned char Map(unsigned char c) const { return case_sensitive_ ? c : fold_table_[c]; }

  // Offset within the block of the byte that the pattern's last byte is tested against next.
  int64_t position_ = 0;
  std::string pattern_;
  int32_t pattern_length_ = 0;
  bool table_valid_ = false;
  uint64_t pattern_generation_ = 0;
  bool case_sensitive_ = false;
  int32_t mismatch_shift_ = 0;
  // Indexed by the mapped byte; 0 marks the pattern's last byte.
  std::array<int32_t, 256> skip_table_{};
  std::array<unsigned char, 256> fold_table_{};
  // skip_table_[m(c)] for each raw byte c, and the pattern's mapped bytes; built with it.
  std::array<int32_t, 256> raw_skip_{};
  std::vector<unsigned char> mapped_pattern_;
  const unsigned char* block_start_ = nullptr;
  int32_t block_size_ = 0;
};

// An immutable in-memory copy of a database file, shared by every search over it.
struct DatabaseSnapshot;

// TBaseSearch over the whole of a database file. Setting Filename makes the file's current
// contents the block; a file that is missing, empty, 2^31 bytes or larger, or unreadable
// leaves no block (Filename reads empty, every search returns -1). Never raises.
//
// The contents are held as a read-only snapshot shared by all instances in the process, read
// with one allocation of the file's size, and taken afresh whenever the file's identity, size
// or change times differ from the snapshot's at a Filename setting; a database rewritten or
// truncated by another process therefore never invalidates a block that a search is reading.
// A file whose last change lies within the two seconds before it was read may still change
// within the same tick of the file system's clock without its stamp changing: its snapshot is
// used for the settings of the next second and then read again, so such a file costs at most
// one extra read per second (change times in the future do not count as recent). A re-read
// that finds the same bytes keeps the snapshot and its index.
//
// Patterns of QGramIndex::kMinPattern bytes or more are searched through a sampled q-gram
// index of the snapshot, built on the first such search and shared by every instance over that
// snapshot: the results (offsets, order, the non-overlap rule, both case modes) are exactly
// those of the skip-table search, in time that does not grow with the database. Shorter
// patterns, a block set by SetBuffer, and a snapshot whose index cannot be had (memory) use
// the skip-table search. Instances on different threads may set Filename and search at the
// same time, also over the same file; one instance belongs to one thread at a time.
class TFileSearch : public TBaseSearch {
 public:
  TFileSearch() = default;
  ~TFileSearch() override;

  const std::string& Filename() const { return filename_; }
  void SetFilename(const std::string& name);

  // Drops the block and empties Filename.
  void ReleaseFile();

  // Why the last Filename setting left no block ("No such file or directory", "the file is
  // empty", "the file is too large", "not enough memory to read it whole", or the system's
  // text of a read error); empty when the setting holds a block or no name was set.
  const std::string& LoadError() const { return load_error_; }
  // True when the last Filename setting left no block because the file holds no byte.
  bool LoadFoundEmpty() const { return load_found_empty_; }

  int32_t FindNext() override;

  // True when a search for the current pattern goes through the database's index, so that
  // its cost does not grow with the database; prepares that search. False for a short
  // pattern, a pattern standing at too many places, or no database held.
  bool Indexed() { return UseIndex(); }

  // Builds the index of the database held now, unless it is built already, so that the first
  // search through it need not wait for it; any thread may build the index of a snapshot that
  // another is searching (that search waits for it). Does nothing when no database is held or
  // the memory for the index cannot be had.
  void PrepareIndex() const;

  // A search to be made next, for pattern, through search as it holds its database then.
  struct Lookup {
    TFileSearch* search;
    std::string_view pattern;
  };
  // Asks memory for what the index searches of lookups will read, for all of them together
  // (QGramIndex::Prefetch), so that lookups made one after the other, right after this, find
  // their lines at hand instead of each waiting on memory in turn. A hint only: it changes
  // nothing that a search finds, and passes over lookups that the index does not serve.
  static void Prefetch(std::span<const Lookup> lookups);

  // The number of database reads begun in this process, by every instance; for tests and
  // diagnostics. Any thread.
  static uint64_t DatabaseReads();

  // Replaces the clock (nanoseconds on the scale of the file system's time stamps) that tells
  // a database changed moments ago, whose snapshot is reused for a second at most; null
  // restores the system clock. For tests; set it while no setting runs on any thread.
  static void SetClockForTesting(int64_t (*now_ns)());
  // That clock's time now. Any thread.
  static int64_t ClockNs();

 private:
  // True when the block is the snapshot and the current pattern is searched through its
  // index; fills the candidates on the first call for a pattern and case mode.
  bool UseIndex();

  std::string filename_;
  std::string load_error_;
  bool load_found_empty_ = false;
  std::shared_ptr<const DatabaseSnapshot> snapshot_;
  // Candidate offsets of the current pattern in the snapshot, ascending, and what they were
  // computed for.
  std::vector<uint32_t> candidates_;
  std::vector<unsigned char> folded_pattern_;
  const DatabaseSnapshot* candidates_snapshot_ = nullptr;
  uint64_t candidates_generation_ = 0;
  bool candidates_usable_ = false;
};

}  // namespace nerlo::sigdb

// Searches a file's bytes for every heuristic string of the list in one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sigdb/heuristics_db.h"

namespace nerlo::scan {

// An Aho-Corasick automaton over the leading bytes of every heuristic string, with the rest
// of each string compared where its leading bytes stand. Scan answers, for a block of bytes
// held in memory, which list entries occur in it: the same answer as MatchHeuristic gives for
// each entry over a file holding those bytes (a complete, case-sensitive byte search; an empty
// string never occurs). The cost per byte does not grow with the number of strings.
//
// When every string has 6 bytes or more (and the list does not hold a great many distinct
// strings), a sampled filter runs in front of the automaton: it looks at four bytes at every
// Stride()-th offset of the block, and the automaton goes through only the bytes around offsets
// whose four bytes stand at the right place in some string. Where the filter lets many offsets
// through, the automaton goes through every byte of that part of the block instead. The answers
// are the same either way.
//
// Load builds the automaton; call it again whenever the list is loaded. Scan only reads the
// automaton, so one loaded instance may be scanned with from any number of threads at once;
// Load must not run while a Scan does.
class THeuristicScanner {
 public:
  // Bytes scanned between two calls of the pump callback by default.
  static constexpr size_t kDefaultPumpInterval = 64 * 1024;

  // Replaces the automaton by one for the strings of list, in list order. Raises
  // std::bad_alloc when the memory for it cannot be had (the previous automaton is then kept).
  void Load(const sigdb::THeuristicList& list);
  void Load(const std::vector<std::string>& strings);

  // Number of list entries of the last Load.
  size_t Count() const { return entry_unique_.size(); }

  // The 0-based list indices of every entry that occurs in data[0, size), ascending; an entry
  // that stands several times in the list is reported at each of its places. data may be null
  // when size is 0. pump, when given, runs on the calling thread after every pump_interval
  // bytes or fewer (for a non-empty block at least once, the last time when the whole block is
  // done), so that a caller on the user-interface thread can let messages run; pump_interval 0
  // means kDefaultPumpInterval. The scan stops early once every entry has been found.
  std::vector<size_t> Scan(const unsigned char* data, size_t size,
                           const std::function<void()>& pump = {},
                           size_t pump_interval = kDefaultPumpInterval) const;

  // Bytes held by the automaton and the filter, and how many leading bytes of each string the
  // automaton holds.
  size_t MemoryBytes() const;
  size_t PrefixLength() const { return prefix_length_; }

  // Distance between the block offsets the filter looks at: the shortest string's length less
  // 3, at most 13, and shorter for a list with many distinct strings. 0 when there is no
  // filter and the automaton goes through every byte: a list with a string shorter than 6
  // bytes, or with so many distinct strings that even a stride of 3 would fill the filter.
  size_t Stride() const { return stride_; }

 private:
  template <typename Cell, bool kNarrow>
  class TRun;

  // The automaton before it is laid out as a table (defined with Build).
  struct TTrie;

  // Builds everything aside and swaps it in at the end, so a failed build keeps the old one.
  void Build(const std::vector<std::string_view>& strings);
  // The steps of Build, in order, each on the scanner being built.
  void CollectUnique(const std::vector<std::string_view>& strings);
  void AssignByteClasses();
  static void BuildTrie(TTrie& trie, const THeuristicScanner& set, size_t states);
  static void CompleteAutomaton(TTrie& trie);
  void LayOutTable(const TTrie& trie);
  void BuildFilter();
  // Marks the strings that end their prefix at state, where *last is the last byte read.
  void Report(uint32_t state, const unsigned char* last, const unsigned char* data_end,
              std::vector<uint8_t>& found, size_t& remaining) const;

  // Distinct non-empty strings, and for each list entry its distinct string (or kNone).
  std::vector<std::string> unique_;
  std::vector<uint32_t> entry_unique_;

  size_t prefix_length_ = 0;
  uint32_t classes_ = 1;
  // Byte value -> its class.
  std::vector<uint32_t> class_of_;
  // delta_[state + class]: the next state. States are numbered as multiples of classes_, and
  // states at or above report_base_ end some string's prefix, either themselves or through
  // a shorter suffix.
  std::vector<uint32_t> delta_;
  // The same table with plain state numbers (state / classes_), used instead of delta_ (then
  // empty) when every state number fits 16 bits.
  std::vector<uint16_t> narrow_delta_;
  uint32_t report_base_ = 0;
  // For a reporting state s (index (s - report_base_) / classes_): its depth, the distinct
  // strings whose prefix it is (output_[output_start_[i]] .. before output_start_[i + 1]),
  // and the next reporting state along its suffix chain (or kNone).
  std::vector<uint32_t> report_depth_;
  std::vector<uint32_t> output_start_;
  std::vector<uint32_t> output_;
  std::vector<uint32_t> report_next_;

  // The filter: two sets of 2^filter_bits_ bits, one after the other, each indexed by a hash
  // of four bytes (the top filter_bits_ bits of their product with an odd constant, one
  // constant per set), holding every four bytes that stand at offsets 0 .. stride_ - 1 of
  // some string. Empty when stride_ is 0.
  size_t stride_ = 0;
  uint32_t filter_bits_ = 0;
  std::vector<uint64_t> filter_;
};

}  // namespace nerlo::scan

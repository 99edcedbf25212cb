#include "scan/heuristic_scanner.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <unordered_map>

namespace nerlo::scan {
namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Leading bytes of each string held by the automaton at most; the rest is compared where
// those bytes stand. Sixteen bytes make a chance hit in unrelated data rare.
constexpr size_t kMaxPrefix = 16;
// The transition table may take this much; past it, shorter prefixes are held (more
// comparisons, the same results).
constexpr size_t kTableBudget = size_t{48} << 20;
// Independent runs of the automaton over the quarters of a block, interleaved so that the
// processor overlaps their table reads.
constexpr size_t kLanes = 4;
// A block smaller than this is scanned in one run.
constexpr size_t kMinLaneBytes = 16 * 1024;

// The filter reads this many bytes at each offset it looks at.
constexpr size_t kGram = 4;
// Lists whose shortest string is shorter than this are scanned without the filter. From 6 bytes
// on (a stride of 3) the filter costs well under half of what the automaton does on bytes
// where it finds nothing; where it lets the automaton in, it costs little more than the
// automaton.
constexpr size_t kMinFilterLength = 6;
// The stride is worked out from at most this many leading bytes of the shortest string.
constexpr size_t kMaxFilterLength = 16;
// The shortest stride the filter is used with.
constexpr size_t kMinStride = kMinFilterLength - kGram + 1;
// Filter bits per distinct four bytes held, and the bounds on the filter's size: few enough set
// bits that a chance hit is rare, small enough to stay in the processor's cache.
constexpr size_t kFilterBitsPerGram = 256;
constexpr size_t kMinFilterBits = size_t{1} << 13;
constexpr size_t kMaxFilterBits = size_t{1} << 21;
// Past this many distinct four bytes the filter would be too full to pay; a large list gets a
// shorter stride (fewer four bytes per string), down to kMinStride.
constexpr size_t kMaxFilterGrams = kMaxFilterBits / 32;
// The filter is two sets of bits over two hashes of the four bytes: an offset is let through
// when both hold it. The second is read only when the first holds it, so it costs little and
// makes chance hits far rarer.
constexpr uint32_t kGramFactors[2] = {0x9E3779B1u, 0x85EBCA77u};
// With the filter, the block is gone through in pieces of at most this many bytes. A piece
// where the automaton had to go through more than 1 / kDenseShare of the bytes is followed by
// pieces scanned without the filter (1, 2, 4, ... up to kMaxDensePieces of them while it keeps
// happening); pieces shorter than kMinDensePiece always use the filter. The automaton alone
// over scattered windows runs several times slower per byte than in interleaved runs, which
// sets the share.
constexpr size_t kPiece = 16 * 1024;
constexpr size_t kDenseShare = 6;
constexpr size_t kMaxDensePieces = 64;
constexpr size_t kMinDensePiece = 4 * 1024;
// A piece where the automaton already went through its share goes on without the filter when
// at least this much of it is left.
constexpr size_t kMinDenseRest = 1024;

uint32_t LoadGram(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// 1 when the set of bits (2^(32 - shift) of them) holds the four bytes at p, hashed with
// factor, else 0.
uint64_t Holds(const uint64_t* bits, uint32_t shift, uint32_t factor, const unsigned char* p) {
  const uint32_t h = (LoadGram(p) * factor) >> shift;
  return (bits[h >> 6] >> (h & 63)) & 1;
}

// The first of j, j + stride, j + 2 * stride, ... before end whose four bytes at data + j the
// first set of bits holds, or end (or past it) when there is none. Four offsets at a time, so
// that their reads overlap, with one branch for the four.
size_t NextCandidate(const unsigned char* data, size_t j, size_t end, size_t stride,
                     const uint64_t* bits, uint32_t shift) {
  const size_t stride2 = 2 * stride, stride3 = 3 * stride, stride4 = 4 * stride;
  const uint32_t f = kGramFactors[0];
  for (; j + stride3 < end; j += stride4) {
    if (Holds(bits, shift, f, data + j) | Holds(bits, shift, f, data + j + stride) |
        Holds(bits, shift, f, data + j + stride2) | Holds(bits, shift, f, data + j + stride3))
        [[unlikely]]
      break;
  }
  for (; j < end; j += stride)
    if (Holds(bits, shift, f, data + j)) break;
  return j;
}

}  // namespace

void THeuristicScanner::Load(const sigdb::THeuristicList& list) {
  std::vector<std::string_view> strings;
  strings.reserve(list.Count());
  for (const std::string& s : list) strings.emplace_back(s);
  Build(strings);
}

void THeuristicScanner::Load(const std::vector<std::string>& strings) {
  Build(std::vector<std::string_view>(strings.begin(), strings.end()));
}

// The strings' trie, numbered in creation order (go: the next state for each state and
// class, kNone where there is none yet), then completed into the automaton.
struct THeuristicScanner::TTrie {
  size_t classes = 0;
  std::vector<uint32_t> go, depth, fail;
  // The distinct strings whose prefix ends at each state.
  std::vector<std::vector<uint32_t>> own;
  // States in breadth-first order, and for each state the next shallower state that
  // reports (kNone when there is none).
  std::vector<uint32_t> order, next_report;

  bool Reports(uint32_t s) const { return !own[s].empty() || next_report[s] != kNone; }
};

namespace {

// The longest prefix length whose table fits the budget, and the number of states its trie
// has. The states of a trie of the strings cut to p bytes are the distinct prefixes of up to
// p bytes: counted from the sorted strings and the lengths they share with their predecessors.
size_t ChoosePrefixLength(const std::vector<std::string>& unique, size_t& states) {
  std::vector<std::string_view> sorted(unique.begin(), unique.end());
  std::sort(sorted.begin(), sorted.end());
  std::vector<size_t> shared(sorted.size(), 0);
  for (size_t i = 1; i < sorted.size(); ++i) {
    const std::string_view a = sorted[i - 1], b = sorted[i];
    size_t n = 0;
    while (n < a.size() && n < b.size() && n < kMaxPrefix && a[n] == b[n]) ++n;
    shared[i] = n;
  }
  size_t prefix = kMaxPrefix;
  size_t classes = 1;
  for (;; prefix = prefix > 4 ? prefix - 4 : prefix - 1) {
    states = 1;
    std::array<bool, 256> used{};
    for (size_t i = 0; i < sorted.size(); ++i) {
      const size_t cut = std::min(sorted[i].size(), prefix);
      states += cut - std::min(shared[i], prefix);
      for (size_t k = 0; k < cut; ++k) used[static_cast<unsigned char>(sorted[i][k])] = true;
    }
    classes = 1 + static_cast<size_t>(std::count(used.begin(), used.end(), true));
    if (prefix == 1 || states * classes * sizeof(uint32_t) <= kTableBudget) break;
  }
  return prefix;
}

}  // namespace

void THeuristicScanner::Build(const std::vector<std::string_view>& strings) {
  THeuristicScanner next;
  next.CollectUnique(strings);
  size_t states = 1;
  next.prefix_length_ = ChoosePrefixLength(next.unique_, states);
  next.AssignByteClasses();
  TTrie trie;
  BuildTrie(trie, next, states);
  CompleteAutomaton(trie);
  next.LayOutTable(trie);
  next.BuildFilter();
  *this = std::move(next);
}

void THeuristicScanner::CollectUnique(const std::vector<std::string_view>& strings) {
  std::unordered_map<std::string_view, uint32_t> seen;
  entry_unique_.reserve(strings.size());
  for (std::string_view s : strings) {
    if (s.empty()) {
      entry_unique_.push_back(kNone);
      continue;
    }
    auto [it, added] = seen.emplace(s, static_cast<uint32_t>(unique_.size()));
    if (added) unique_.emplace_back(s);
    entry_unique_.push_back(it->second);
  }
}

// Byte classes: one per byte that stands in some prefix, class 0 for every other byte.
void THeuristicScanner::AssignByteClasses() {
  class_of_.assign(256, 0);
  uint32_t class_count = 1;
  for (std::string_view s : unique_) {
    for (size_t k = 0; k < std::min(s.size(), prefix_length_); ++k) {
      uint32_t& c = class_of_[static_cast<unsigned char>(s[k])];
      if (c == 0) c = class_count++;
    }
  }
  classes_ = class_count;
}

void THeuristicScanner::BuildTrie(TTrie& trie, const THeuristicScanner& set, size_t states) {
  const size_t C = set.classes_;
  trie.classes = C;
  trie.go.assign(states * C, kNone);
  trie.depth.assign(states, 0);
  trie.fail.assign(states, 0);
  trie.own.assign(states, {});
  uint32_t created = 1;
  for (uint32_t u = 0; u < set.unique_.size(); ++u) {
    const std::string_view s = set.unique_[u];
    uint32_t at = 0;
    for (size_t k = 0; k < std::min(s.size(), set.prefix_length_); ++k) {
      uint32_t& to = trie.go[at * C + set.class_of_[static_cast<unsigned char>(s[k])]];
      if (to == kNone) {
        trie.depth[created] = trie.depth[at] + 1;
        to = created++;
      }
      at = to;
    }
    trie.own[at].push_back(u);
  }
}

// Breadth first: a state's failure state is shallower, so complete before it.
void THeuristicScanner::CompleteAutomaton(TTrie& trie) {
  const size_t C = trie.classes;
  const size_t states = trie.depth.size();
  std::vector<uint32_t>& go = trie.go;
  std::vector<uint32_t>& fail = trie.fail;
  trie.order.assign(1, 0);
  trie.order.reserve(states);
  trie.next_report.assign(states, kNone);
  for (size_t head = 0; head < trie.order.size(); ++head) {
    const uint32_t s = trie.order[head];
    for (size_t c = 0; c < C; ++c) {
      uint32_t& to = go[s * C + c];
      if (to != kNone) {
        const uint32_t f = s == 0 ? 0 : go[fail[s] * C + c];
        fail[to] = f;
        trie.next_report[to] = trie.own[f].empty() ? trie.next_report[f] : f;
        trie.order.push_back(to);
      } else {
        to = s == 0 ? 0 : go[fail[s] * C + c];
      }
    }
  }
}

// The table, with states renumbered so that the states that report come last, as multiples
// of C (or plain numbers in the narrow table when they fit 16 bits), and what they report.
void THeuristicScanner::LayOutTable(const TTrie& trie) {
  const size_t C = trie.classes;
  const size_t states = trie.depth.size();
  std::vector<uint32_t> number(states);
  uint32_t n = 0;
  for (uint32_t s : trie.order)
    if (!trie.Reports(s)) number[s] = n++;
  const uint32_t first_report = n;
  for (uint32_t s : trie.order)
    if (trie.Reports(s)) number[s] = n++;
  report_base_ = static_cast<uint32_t>(first_report * C);
  delta_.resize(states * C);
  for (uint32_t s = 0; s < states; ++s) {
    for (size_t c = 0; c < C; ++c)
      delta_[number[s] * C + c] = static_cast<uint32_t>(number[trie.go[s * C + c]] * C);
  }
  if (states <= 65536) {
    narrow_delta_.resize(states * C);
    for (size_t i = 0; i < states * C; ++i) narrow_delta_[i] = static_cast<uint16_t>(delta_[i] / C);
    delta_.clear();
    delta_.shrink_to_fit();
  }
  const size_t reporting = states - first_report;
  report_depth_.resize(reporting);
  report_next_.resize(reporting);
  output_start_.assign(reporting + 1, 0);
  std::vector<uint32_t> by_number(states);
  for (uint32_t s = 0; s < states; ++s) by_number[number[s]] = s;
  for (size_t r = 0; r < reporting; ++r) {
    const uint32_t s = by_number[first_report + r];
    report_depth_[r] = trie.depth[s];
    const uint32_t next = trie.next_report[s];
    report_next_[r] = next == kNone ? kNone : static_cast<uint32_t>(number[next] * C);
    output_.insert(output_.end(), trie.own[s].begin(), trie.own[s].end());
    output_start_[r + 1] = static_cast<uint32_t>(output_.size());
  }
}

// The filter, when every string is long enough: every occurrence of a string covers its
// first length bytes, and among the stride offsets at which four of those bytes start, exactly
// one is a multiple of the stride (for any stride up to length - 3). Looking at those offsets
// alone therefore finds every occurrence, through the four bytes of the string standing at
// offset 0 .. stride - 1. The longest stride whose distinct four bytes are not too many.
void THeuristicScanner::BuildFilter() {
  if (unique_.empty()) return;
  size_t shortest = std::numeric_limits<size_t>::max();
  for (const std::string& s : unique_) shortest = std::min(shortest, s.size());
  const size_t longest =
      shortest >= kMinFilterLength ? std::min(shortest, kMaxFilterLength) - kGram + 1 : 0;
  // grams: the distinct four bytes at offsets 0 .. stride - 1, sorted.
  std::vector<uint32_t> grams, at_offset, merged;
  size_t stride = 0;
  for (size_t k = 0; k < longest; ++k) {
    at_offset.clear();
    for (const std::string& s : unique_)
      at_offset.push_back(LoadGram(reinterpret_cast<const unsigned char*>(s.data()) + k));
    std::sort(at_offset.begin(), at_offset.end());
    merged.clear();
    std::merge(grams.begin(), grams.end(), at_offset.begin(), at_offset.end(),
               std::back_inserter(merged));
    merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
    if (merged.size() > kMaxFilterGrams) break;
    grams.swap(merged);
    stride = k + 1;
  }
  if (stride < kMinStride) return;
  uint32_t bits = 0;
  while ((size_t{1} << bits) < kMinFilterBits ||
         ((size_t{1} << bits) < grams.size() * kFilterBitsPerGram &&
          (size_t{1} << bits) < kMaxFilterBits))
    ++bits;
  const size_t words = (size_t{1} << bits) / 64;
  filter_.assign(2 * words, 0);
  for (uint32_t gram : grams) {
    for (size_t k = 0; k < 2; ++k) {
      const uint32_t h = (gram * kGramFactors[k]) >> (32 - bits);
      filter_[k * words + (h >> 6)] |= uint64_t{1} << (h & 63);
    }
  }
  filter_bits_ = bits;
  stride_ = stride;
}

void THeuristicScanner::Report(uint32_t state, const unsigned char* last,
                               const unsigned char* data_end, std::vector<uint8_t>& found,
                               size_t& remaining) const {
  for (uint32_t s = state; s != kNone;) {
    const size_t r = (s - report_base_) / classes_;
    const size_t depth = report_depth_[r];
    const unsigned char* start = last + 1 - depth;
    for (uint32_t k = output_start_[r]; k < output_start_[r + 1]; ++k) {
      const uint32_t u = output_[k];
      if (found[u]) continue;
      const std::string& string = unique_[u];
      if (string.size() > depth) {
        if (static_cast<size_t>(data_end - start) < string.size() ||
            std::memcmp(start + depth, string.data() + depth, string.size() - depth) != 0)
          continue;
      }
      found[u] = 1;
      --remaining;
    }
    s = report_next_[r];
  }
}

// One scan of one block: the automaton's table in its Cell width (kNarrow: states numbered
// 0, 1, 2, ... rather than as multiples of classes_), the block, and what was found so far.
template <typename Cell, bool kNarrow>
class THeuristicScanner::TRun {
 public:
  TRun(const THeuristicScanner& set, const Cell* delta, const unsigned char* data, size_t size,
       std::vector<uint8_t>& found, size_t& remaining)
      : set_(set),
        delta_(delta),
        class_of_(set.class_of_.data()),
        classes_(set.classes_),
        report_base_(kNarrow ? set.report_base_ / set.classes_ : set.report_base_),
        data_(data),
        size_(size),
        found_(found),
        remaining_(remaining) {}

  // The automaton over every byte, in kLanes interleaved runs for a large block.
  void Plain(const std::function<void()>& pump, size_t pump_interval) {
    const size_t lane_count = size_ >= kLanes * kMinLaneBytes ? kLanes : 1;
    std::array<Lane, kLanes> lanes{};
    Split(lanes.data(), lane_count, 0, size_);
    const size_t per_lane = std::max<size_t>(1, pump_interval / lane_count);
    for (;;) {
      size_t left = 0;
      for (size_t i = 0; i < lane_count; ++i)
        left += static_cast<size_t>(lanes[i].end - lanes[i].p);
      if (left == 0 || remaining_ == 0) break;
      Round(lanes.data(), lane_count, per_lane);
      if (pump) pump();
    }
  }

  // The filter in front of the automaton. The automaton runs over windows around the offsets
  // the filter lets through, continuing one run where windows touch.
  void Filtered(const std::function<void()>& pump, size_t pump_interval) {
    const size_t stride = set_.stride_;
    const uint64_t* const filter = set_.filter_.data();
    const uint32_t shift = 32 - set_.filter_bits_;
    const size_t piece = std::min(pump_interval, kPiece);
    TCursor cursor;
    size_t since_pump = 0, dense_left = 0, dense_next = 1;
    for (size_t from = 0; from < size_ && remaining_ != 0;) {
      const size_t to = std::min(size_, from + piece);
      if (dense_left > 0 && to - from >= kMinDensePiece) {
        --dense_left;
        Dense(cursor, from, to);
      } else {
        cursor.ran = 0;
        Advance(cursor, std::min(cursor.target, to));
        const size_t end = size_ >= kGram ? std::min(to, size_ - kGram + 1) : 0;
        const size_t budget = (to - from) / kDenseShare;
        for (size_t j = (from + stride - 1) / stride * stride;;) {
          j = NextCandidate(data_, j, end, stride, filter, shift);
          if (j >= end) break;
          // NextCandidate stops at the first of four offsets when any of them passes.
          for (size_t k = 0; k < 4 && j < end; ++k, j += stride)
            if (Holds(filter, shift, kGramFactors[0], data_ + j)) Hit(cursor, j, to);
          // Once the automaton went through more than its share, the rest of the piece goes
          // without the filter (everything before covered has been seen).
          if (cursor.ran > budget && to - cursor.covered >= kMinDenseRest) {
            Dense(cursor, cursor.covered, to);
            break;
          }
        }
        if (cursor.ran > budget) {
          dense_left = dense_next;
          dense_next = std::min(dense_next * 2, kMaxDensePieces);
        } else {
          dense_next = 1;
        }
      }
      since_pump += to - from;
      from = to;
      if (pump && (from == size_ || remaining_ == 0 ||
                   since_pump + std::min(piece, size_ - from) > pump_interval)) {
        pump();
        since_pump = 0;
      }
    }
  }

 private:
  struct Lane {
    const unsigned char* p;
    const unsigned char* end;
    uint32_t state;
  };

  // Where the filtered scan stands: the automaton has gone through the block up to covered,
  // ending in state, and must go on up to target. state is one the run reached starting no
  // later than any window still to come starts, so every occurrence starting in a window is
  // seen. ran counts the bytes the automaton went through in the current piece.
  struct TCursor {
    size_t covered = 0;
    size_t target = 0;
    uint32_t state = 0;
    size_t ran = 0;
  };

  // Runs the automaton on from cursor.covered up to to.
  void Advance(TCursor& cursor, size_t to) {
    if (cursor.covered >= to) return;
    cursor.ran += to - cursor.covered;
    // Kept in registers: Report is a call the compiler cannot see through.
    const Cell* const delta = delta_;
    const uint32_t* const class_of = class_of_;
    const uint32_t classes = classes_, base = report_base_;
    uint32_t at = cursor.state;
    for (const unsigned char *p = data_ + cursor.covered, *end = data_ + to; p < end; ++p) {
      at = delta[(kNarrow ? at * classes : at) + class_of[*p]];
      if (at >= base) Report(at, p);
    }
    cursor.state = at;
    cursor.covered = to;
  }

  // The filter let offset j through (first set of bits); to ends the current piece. Every
  // occurrence starting in [j - stride + 1, j] has its automaton prefix end before
  // j + prefix.
  void Hit(TCursor& cursor, size_t j, size_t to) {
    const uint64_t* const second = set_.filter_.data() + set_.filter_.size() / 2;
    if (!Holds(second, 32 - set_.filter_bits_, kGramFactors[1], data_ + j)) return;
    const size_t stride = set_.stride_;
    const size_t start = j >= stride - 1 ? j - (stride - 1) : 0;
    if (start > cursor.target) {
      cursor.state = 0;
      cursor.covered = start;
    }
    cursor.target = std::max(cursor.target, std::min(size_, j + set_.prefix_length_));
    Advance(cursor, std::min(cursor.target, to));
  }

  // Every byte of [a, to) in interleaved runs, each starting prefix - 1 bytes early. The last
  // run's state at to started early enough to carry on; occurrences starting shortly before
  // to are seen by going on prefix - 1 bytes past it.
  void Dense(TCursor& cursor, size_t a, size_t to) {
    std::array<Lane, kLanes> lanes{};
    Split(lanes.data(), kLanes, a, to);
    for (;;) {
      bool done = true;
      for (const Lane& lane : lanes) done = done && lane.p == lane.end;
      if (done || remaining_ == 0) break;
      Round(lanes.data(), kLanes, std::numeric_limits<size_t>::max());
    }
    cursor.state = lanes[kLanes - 1].state;
    cursor.covered = to;
    cursor.target = std::min(size_, to + set_.prefix_length_ - 1);
  }

  uint32_t Next(uint32_t state, unsigned char byte) const {
    return delta_[(kNarrow ? state * classes_ : state) + class_of_[byte]];
  }
  void Report(uint32_t state, const unsigned char* last) {
    set_.Report(kNarrow ? state * classes_ : state, last, data_ + size_, found_, remaining_);
  }

  // Splits [from, to) into count runs from state 0, each starting prefix_length_ - 1 bytes
  // early (never before the block) so that a prefix ending in its part is seen whole.
  void Split(Lane* lanes, size_t count, size_t from, size_t to) const {
    const size_t back = set_.prefix_length_ - 1;
    for (size_t i = 0; i < count; ++i) {
      const size_t a = from + (to - from) * i / count, b = from + (to - from) * (i + 1) / count;
      lanes[i] = Lane{data_ + (a >= back ? a - back : 0), data_ + b, 0};
    }
  }

  // Moves each of count lanes on by up to budget bytes (count is 1 or kLanes).
  void Round(Lane* lanes, size_t count, size_t budget) {
    auto step = [&](Lane& lane) {
      lane.state = Next(lane.state, *lane.p);
      if (lane.state >= report_base_) Report(lane.state, lane.p);
      ++lane.p;
    };
    if (count == kLanes) {
      size_t together = budget;
      for (size_t i = 0; i < kLanes; ++i)
        together = std::min(together, static_cast<size_t>(lanes[i].end - lanes[i].p));
      Lane& a = lanes[0];
      Lane& b = lanes[1];
      Lane& c = lanes[2];
      Lane& d = lanes[3];
      const uint32_t base = report_base_;
      for (size_t k = 0; k < together && remaining_ != 0; ++k) {
        a.state = Next(a.state, *a.p);
        b.state = Next(b.state, *b.p);
        c.state = Next(c.state, *c.p);
        d.state = Next(d.state, *d.p);
        if ((a.state >= base) | (b.state >= base) | (c.state >= base) | (d.state >= base)) {
          if (a.state >= base) Report(a.state, a.p);
          if (b.state >= base) Report(b.state, b.p);
          if (c.state >= base) Report(c.state, c.p);
          if (d.state >= base) Report(d.state, d.p);
        }
        ++a.p;
        ++b.p;
        ++c.p;
        ++d.p;
      }
      // The lanes differ in length by a few bytes; once one is done, the rest run alone.
      if (together == 0) {
        for (size_t i = 0; i < kLanes; ++i) {
          size_t left = budget;
          while (lanes[i].p < lanes[i].end && left-- > 0 && remaining_ != 0) step(lanes[i]);
        }
      }
    } else {
      size_t left = budget;
      while (lanes[0].p < lanes[0].end && left-- > 0 && remaining_ != 0) step(lanes[0]);
    }
  }

  const THeuristicScanner& set_;
  const Cell* const delta_;
  const uint32_t* const class_of_;
  const uint32_t classes_;
  const uint32_t report_base_;
  const unsigned char* const data_;
  const size_t size_;
  std::vector<uint8_t>& found_;
  size_t& remaining_;
};

std::vector<size_t> THeuristicScanner::Scan(const unsigned char* data, size_t size,
                                            const std::function<void()>& pump,
                                            size_t pump_interval) const {
  std::vector<size_t> result;
  if (size == 0 || data == nullptr) return result;
  if (pump_interval == 0) pump_interval = kDefaultPumpInterval;
  std::vector<uint8_t> found(unique_.size(), 0);
  size_t remaining = unique_.size();
  if (remaining == 0) {
    // With nothing to find the block is not read, but the caller still sees one pump.
    if (pump) pump();
    return result;
  }

  auto go = [&]<typename Cell, bool kNarrow>(const Cell* delta) {
    TRun<Cell, kNarrow> run(*this, delta, data, size, found, remaining);
    if (stride_ != 0)
      run.Filtered(pump, pump_interval);
    else
      run.Plain(pump, pump_interval);
  };
  if (!narrow_delta_.empty())
    go.template operator()<uint16_t, true>(narrow_delta_.data());
  else
    go.template operator()<uint32_t, false>(delta_.data());

  for (size_t i = 0; i < entry_unique_.size(); ++i) {
    const uint32_t u = entry_unique_[i];
    if (u != kNone && found[u]) result.push_back(i);
  }
  return result;
}

size_t THeuristicScanner::MemoryBytes() const {
  size_t bytes = narrow_delta_.size() / 2 + delta_.size() + class_of_.size() +
                 report_depth_.size() + report_next_.size() + output_start_.size() + output_.size();
  bytes *= sizeof(uint32_t);
  bytes += filter_.size() * sizeof(uint64_t);
  for (const std::string& s : unique_) bytes += s.size();
  return bytes;
}

}  // namespace nerlo::scan

#include "scan/heuristic_set.h"

#include <algorithm>
#include <array>
#include <cstring>
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

void THeuristicScanner::Build(const std::vector<std::string_view>& strings) {
  // Everything is built aside and swapped in at the end, so a failed build keeps the old one.
  THeuristicScanner next;
  std::vector<std::string>& unique = next.unique_;
  {
    std::unordered_map<std::string_view, uint32_t> seen;
    next.entry_unique_.reserve(strings.size());
    for (std::string_view s : strings) {
      if (s.empty()) {
        next.entry_unique_.push_back(kNone);
        continue;
      }
      auto [it, added] = seen.emplace(s, static_cast<uint32_t>(unique.size()));
      if (added) unique.emplace_back(s);
      next.entry_unique_.push_back(it->second);
    }
  }

  // The longest prefix length whose table fits the budget. The states of a trie of the
  // strings cut to p bytes are the distinct prefixes of up to p bytes: counted from the
  // sorted strings and the lengths they share with their predecessors.
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
  size_t states = 1, classes = 1;
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
  next.prefix_length_ = prefix;

  // Byte classes: one per byte that stands in some prefix, class 0 for every other byte.
  next.class_of_.assign(256, 0);
  uint32_t class_count = 1;
  for (std::string_view s : unique) {
    for (size_t k = 0; k < std::min(s.size(), prefix); ++k) {
      uint32_t& c = next.class_of_[static_cast<unsigned char>(s[k])];
      if (c == 0) c = class_count++;
    }
  }
  next.classes_ = class_count;
  const size_t C = class_count;

  // The trie, with states numbered in creation order, then completed into the automaton.
  std::vector<uint32_t> go(states * C, kNone);
  std::vector<uint32_t> depth(states, 0), fail(states, 0);
  std::vector<std::vector<uint32_t>> own(states);
  uint32_t created = 1;
  for (uint32_t u = 0; u < unique.size(); ++u) {
    const std::string_view s = unique[u];
    uint32_t at = 0;
    for (size_t k = 0; k < std::min(s.size(), prefix); ++k) {
      uint32_t& to = go[at * C + next.class_of_[static_cast<unsigned char>(s[k])]];
      if (to == kNone) {
        depth[created] = depth[at] + 1;
        to = created++;
      }
      at = to;
    }
    own[at].push_back(u);
  }

  // Breadth first: a state's failure state is shallower, so complete before it.
  std::vector<uint32_t> order{0};
  order.reserve(states);
  std::vector<uint32_t> next_report(states, kNone);
  for (size_t head = 0; head < order.size(); ++head) {
    const uint32_t s = order[head];
    for (size_t c = 0; c < C; ++c) {
      uint32_t& to = go[s * C + c];
      if (to != kNone) {
        const uint32_t f = s == 0 ? 0 : go[fail[s] * C + c];
        fail[to] = f;
        next_report[to] = own[f].empty() ? next_report[f] : f;
        order.push_back(to);
      } else {
        to = s == 0 ? 0 : go[fail[s] * C + c];
      }
    }
  }

  // Renumbered so that the states that report come last, as multiples of C.
  auto reports = [&](uint32_t s) { return !own[s].empty() || next_report[s] != kNone; };
  std::vector<uint32_t> number(states);
  uint32_t n = 0;
  for (uint32_t s : order)
    if (!reports(s)) number[s] = n++;
  const uint32_t first_report = n;
  for (uint32_t s : order)
    if (reports(s)) number[s] = n++;
  next.report_base_ = static_cast<uint32_t>(first_report * C);
  next.delta_.resize(states * C);
  for (uint32_t s = 0; s < states; ++s) {
    for (size_t c = 0; c < C; ++c)
      next.delta_[number[s] * C + c] = static_cast<uint32_t>(number[go[s * C + c]] * C);
  }
  if (states <= 65536) {
    next.narrow_delta_.resize(states * C);
    for (size_t i = 0; i < states * C; ++i)
      next.narrow_delta_[i] = static_cast<uint16_t>(next.delta_[i] / C);
    next.delta_.clear();
    next.delta_.shrink_to_fit();
  }
  const size_t reporting = states - first_report;
  next.report_depth_.resize(reporting);
  next.report_next_.resize(reporting);
  next.output_start_.assign(reporting + 1, 0);
  std::vector<uint32_t> by_number(states);
  for (uint32_t s = 0; s < states; ++s) by_number[number[s]] = s;
  for (size_t r = 0; r < reporting; ++r) {
    const uint32_t s = by_number[first_report + r];
    next.report_depth_[r] = depth[s];
    next.report_next_[r] =
        next_report[s] == kNone ? kNone : static_cast<uint32_t>(number[next_report[s]] * C);
    next.output_.insert(next.output_.end(), own[s].begin(), own[s].end());
    next.output_start_[r + 1] = static_cast<uint32_t>(next.output_.size());
  }

  *this = std::move(next);
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

std::vector<size_t> THeuristicScanner::Scan(const unsigned char* data, size_t size,
                                            const std::function<void()>& pump,
                                            size_t pump_interval) const {
  std::vector<size_t> result;
  if (size == 0 || data == nullptr) return result;
  if (pump_interval == 0) pump_interval = kDefaultPumpInterval;
  std::vector<uint8_t> found(unique_.size(), 0);
  size_t remaining = unique_.size();
  const unsigned char* const data_end = data + size;

  // Each lane runs the automaton over its part of the block, starting prefix_length_ - 1
  // bytes early so that a prefix ending in its part is seen whole.
  struct Lane {
    const unsigned char* p;
    const unsigned char* end;
    uint32_t state;
  };
  const size_t lane_count = remaining == 0 ? 0 : size >= kLanes * kMinLaneBytes ? kLanes : 1;
  std::array<Lane, kLanes> lanes{};
  for (size_t i = 0; i < lane_count; ++i) {
    const size_t from = size * i / lane_count, to = size * (i + 1) / lane_count;
    lanes[i].p = data + (from >= prefix_length_ - 1 ? from - (prefix_length_ - 1) : 0);
    lanes[i].end = data + to;
    lanes[i].state = 0;
  }

  const uint32_t* const class_of = class_of_.data();
  const size_t per_lane = std::max<size_t>(1, pump_interval / std::max<size_t>(lane_count, 1));
  // kNarrow: states are numbered 0, 1, 2, ... and the table holds 16-bit numbers, half the
  // cache lines for the same rows; otherwise states are multiples of classes_.
  auto run = [&]<typename Cell, bool kNarrow>(const Cell* delta) {
    const uint32_t stride = kNarrow ? classes_ : 1;
    const uint32_t report_base = kNarrow ? report_base_ / classes_ : report_base_;
    auto next = [&](uint32_t state, unsigned char byte) -> uint32_t {
      return delta[(kNarrow ? state * stride : state) + class_of[byte]];
    };
    auto report = [&](const Lane& lane) {
      Report(kNarrow ? lane.state * stride : lane.state, lane.p, data_end, found, remaining);
    };
    auto step = [&](Lane& lane) {
      lane.state = next(lane.state, *lane.p);
      if (lane.state >= report_base) report(lane);
      ++lane.p;
    };
    for (;;) {
      size_t left = 0;
      for (size_t i = 0; i < lane_count; ++i)
        left += static_cast<size_t>(lanes[i].end - lanes[i].p);
      if (left == 0 || remaining == 0) break;
      if (lane_count == kLanes) {
        size_t together = per_lane;
        for (size_t i = 0; i < kLanes; ++i)
          together = std::min(together, static_cast<size_t>(lanes[i].end - lanes[i].p));
        Lane& a = lanes[0];
        Lane& b = lanes[1];
        Lane& c = lanes[2];
        Lane& d = lanes[3];
        for (size_t k = 0; k < together && remaining != 0; ++k) {
          a.state = next(a.state, *a.p);
          b.state = next(b.state, *b.p);
          c.state = next(c.state, *c.p);
          d.state = next(d.state, *d.p);
          if ((a.state >= report_base) | (b.state >= report_base) | (c.state >= report_base) |
              (d.state >= report_base)) {
            if (a.state >= report_base) report(a);
            if (b.state >= report_base) report(b);
            if (c.state >= report_base) report(c);
            if (d.state >= report_base) report(d);
          }
          ++a.p;
          ++b.p;
          ++c.p;
          ++d.p;
        }
        // The lanes differ in length by a few bytes; once one is done, the rest run alone.
        if (together == 0) {
          for (size_t i = 0; i < kLanes; ++i) {
            size_t budget = per_lane;
            while (lanes[i].p < lanes[i].end && budget-- > 0 && remaining != 0) step(lanes[i]);
          }
        }
      } else {
        size_t budget = per_lane;
        while (lanes[0].p < lanes[0].end && budget-- > 0 && remaining != 0) step(lanes[0]);
      }
      if (pump) pump();
    }
  };
  if (!narrow_delta_.empty()) {
    for (size_t i = 0; i < lane_count; ++i) lanes[i].state /= classes_;
    run.template operator()<uint16_t, true>(narrow_delta_.data());
  } else {
    run.template operator()<uint32_t, false>(delta_.data());
  }
  // With nothing to find the block is not read, but the caller still sees one pump.
  if (lane_count == 0 && pump) pump();

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
  for (const std::string& s : unique_) bytes += s.size();
  return bytes;
}

}  // namespace nerlo::scan

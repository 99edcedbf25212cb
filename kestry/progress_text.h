// The progress and result lines kestry prints, and the transfer rate they show.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "update/updater.h"

namespace nerlo::kestry {

// Bytes per second over the last few seconds of a transfer. Not thread-safe.
class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  // Notes that done bytes have arrived by now.
  void Add(uint64_t done, Clock::time_point now);
  // The rate over the window, 0 until two samples lie at least 0.2 s apart.
  uint64_t BytesPerSecond() const { return rate_; }

 private:
  Clock::time_point start_{};
  uint64_t start_done_ = 0;
  bool started_ = false;
  uint64_t rate_ = 0;
};

// "1.20 MB of 3.40 MB (35%), 850 kB/s"; the rate left out while it is 0.
std::string BytesLine(uint64_t done, uint64_t total, uint64_t bytes_per_second);

// The exit status for an outcome: 0 updated or already current, 1 failed or cancelled.
int ExitStatusOf(update::UpdateOutcome outcome);

}  // namespace nerlo::kestry

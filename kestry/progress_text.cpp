#include "kestry/progress_text.h"

namespace nerlo::kestry {

void RateMeter::Add(uint64_t done, Clock::time_point now) {
  if (!started_ || done < start_done_) {
    started_ = true;
    start_ = now;
    start_done_ = done;
    return;
  }
  const double seconds = std::chrono::duration<double>(now - start_).count();
  if (seconds < 0.2) return;
  rate_ = static_cast<uint64_t>(static_cast<double>(done - start_done_) / seconds);
  // A window of about three seconds: the rate follows changes without jumping at each call.
  if (seconds > 3.0) {
    start_ = now;
    start_done_ = done;
  }
}

std::string BytesLine(uint64_t done, uint64_t total, uint64_t bytes_per_second) {
  std::string line = update::ByteCountText(done) + " of " + update::ByteCountText(total);
  if (total > 0) {
    const auto percent = static_cast<uint64_t>(static_cast<long double>(done) * 100 / total);
    line += " (" + std::to_string(percent) + "%)";
  }
  if (bytes_per_second > 0) line += ", " + update::ByteCountText(bytes_per_second) + "/s";
  return line;
}

int ExitStatusOf(update::UpdateOutcome outcome) {
  return outcome == update::UpdateOutcome::kUpdated ||
                 outcome == update::UpdateOutcome::kAlreadyCurrent
             ? 0
             : 1;
}

}  // namespace nerlo::kestry

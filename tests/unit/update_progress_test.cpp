// The byte counts, rates and exit statuses that the updater shows.
#include <gtest/gtest.h>

#include "kestry/progress_text.h"
#include "update/updater.h"

namespace nerlo {
namespace {

TEST(ByteCountText, UnitsChangeWhereThePrintedValueWouldReachAThousand) {
  EXPECT_EQ(update::ByteCountText(0), "0 bytes");
  EXPECT_EQ(update::ByteCountText(1), "1 byte");
  EXPECT_EQ(update::ByteCountText(999), "999 bytes");
  EXPECT_EQ(update::ByteCountText(1000), "1.00 kB");
  EXPECT_EQ(update::ByteCountText(12345), "12.3 kB");
  EXPECT_EQ(update::ByteCountText(999499), "999 kB");
  EXPECT_EQ(update::ByteCountText(999500), "1.00 MB");
  EXPECT_EQ(update::ByteCountText(2100000), "2.10 MB");
  EXPECT_EQ(update::ByteCountText(uint64_t{5} << 40), "5.50 TB");
}

TEST(BytesLine, ShowsPartTotalShareAndRate) {
  EXPECT_EQ(kestry::BytesLine(0, 0, 0), "0 bytes of 0 bytes");
  EXPECT_EQ(kestry::BytesLine(1500, 3000, 0), "1.50 kB of 3.00 kB (50%)");
  EXPECT_EQ(kestry::BytesLine(3000, 3000, 850000), "3.00 kB of 3.00 kB (100%), 850 kB/s");
  // The share of counts whose hundredfold does not fit in 64 bits.
  EXPECT_NE(kestry::BytesLine(uint64_t{1} << 60, uint64_t{1} << 61, 0).find("(50%)"),
            std::string::npos);
}

TEST(RateMeter, AveragesOverItsWindowAndStartsAgainWhenCountsGoBack) {
  using namespace std::chrono_literals;
  kestry::RateMeter meter;
  const auto t0 = kestry::RateMeter::Clock::time_point{} + 100s;
  meter.Add(0, t0);
  meter.Add(100, t0 + 100ms);  // too soon to tell
  EXPECT_EQ(meter.BytesPerSecond(), 0u);
  meter.Add(1000, t0 + 500ms);
  EXPECT_EQ(meter.BytesPerSecond(), 2000u);
  meter.Add(7000, t0 + 3500ms);  // 7000 bytes in 3.5 s; the window starts again here
  EXPECT_EQ(meter.BytesPerSecond(), 2000u);
  meter.Add(8000, t0 + 4000ms);
  EXPECT_EQ(meter.BytesPerSecond(), 2000u);
  meter.Add(10, t0 + 4100ms);  // a new file's count: the meter starts over
  meter.Add(510, t0 + 4600ms);
  EXPECT_EQ(meter.BytesPerSecond(), 1000u);
}

TEST(ExitStatusOf, ZeroOnlyForUpdatedOrCurrent) {
  EXPECT_EQ(kestry::ExitStatusOf(update::UpdateOutcome::kUpdated), 0);
  EXPECT_EQ(kestry::ExitStatusOf(update::UpdateOutcome::kAlreadyCurrent), 0);
  EXPECT_EQ(kestry::ExitStatusOf(update::UpdateOutcome::kFailed), 1);
  EXPECT_EQ(kestry::ExitStatusOf(update::UpdateOutcome::kCancelled), 1);
}

}  // namespace
}  // namespace nerlo

#include "base/transfer_line.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/text.h"

namespace pl::base {
namespace {

constexpr uint64_t KiB = 1ull << 10, MiB = 1ull << 20, GiB = 1ull << 30;

TEST(TransferLineTest, TheLineShowsWhatIsKnownTruncatedAndRounded) {
  const std::pair<uint64_t, const wchar_t*> sizes[] = {
      {1023, L"1023 B"}, {KiB + 1023, L"1.9 KB"}, {MiB - 1, L"1023.9 KB"}, {GiB - 1, L"1023.9 MB"},
      {~0ull, L"17179869183.9 GB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(SizeText(bytes), text) << bytes;
  const std::pair<uint64_t, const wchar_t*> times[] = {
      {59, L"剩余不到 1 分钟"}, {89, L"剩余约 1 分钟"},          {90, L"剩余约 2 分钟"},
      {3569, L"剩余约 59 分钟"}, {3570, L"剩余约 1 小时"}, {3900, L"剩余约 1 小时 5 分钟"}};
  for (const auto& [seconds, text] : times) EXPECT_EQ(TimeLeftText(seconds), text) << seconds;

  struct Case {
    uint64_t done, total;
    RateEstimate rate;
    const wchar_t* line;
  };
  const uint64_t speed = 18 * MiB + 420 * KiB;
  const uint64_t done = GiB + 205 * MiB, total = 4 * GiB + 717 * MiB;  // 3.5 GiB left: 195 s at that speed
  const Case cases[] = {
      {done, 0, {true, true, speed}, L""},  // no total, no line
      {done, total, {}, L"已下载 1.2 GB / 4.7 GB"},
      {done, total, {true, false, speed}, L"已下载 1.2 GB / 4.7 GB · 18.4 MB/s"},
      {done, total, {true, true, speed}, L"已下载 1.2 GB / 4.7 GB · 18.4 MB/s · 剩余约 3 分钟"},
      {GiB, 2 * GiB, {true, true, 0}, L"已下载 1.0 GB / 2.0 GB · 0 B/s"},  // stalled: no end in sight
      {GiB, 2 * GiB, {true, true, 3}, L"已下载 1.0 GB / 2.0 GB · 3 B/s"},   // beyond 99 hours
      {3 * GiB, 2 * GiB, {true, true, speed}, L"已下载 2.0 GB / 2.0 GB · 18.4 MB/s"},  // done: nothing left
  };
  for (const Case& c : cases) EXPECT_EQ(TransferLine(c.done, c.total, c.rate), c.line) << WideToUtf8(c.line);
  EXPECT_EQ(TransferLine(MiB, 2 * MiB, {}, L"已释放"), L"已释放 1.0 MB / 2.0 MB");
}

// The clock is the caller's: samples at chosen times, never a sleep.
TEST(TransferLineTest, TheRateFollowsTheLastSecondsOnly) {
  struct Case {
    const char* name;
    std::vector<RateSample> samples;  // added in order
    RateEstimate expected;
  };
  const Case cases[] = {
      {"under a second", {{0, 0}, {999, MiB}}, {}},
      {"a second, not yet steady", {{0, 0}, {1000, MiB}}, {true, false, MiB}},
      {"fast, then slow: the last five seconds", {{0, 0}, {5000, 500 * MiB}, {6000, 501 * MiB}, {10000, 505 * MiB}},
       {true, true, MiB}},
      {"a stall brings it down", {{0, 0}, {1000, 10 * MiB}, {6000, 10 * MiB}}, {true, true, 0}},
      {"a falling count starts afresh", {{0, 0}, {5000, 50 * MiB}, {6000, MiB}, {6500, 2 * MiB}}, {}},
      {"a clock going back starts afresh", {{5000, 0}, {9000, 4 * MiB}, {1000, 5 * MiB}, {1500, 6 * MiB}}, {}},
      {"no overflow", {{0, 0}, {3000, 3 * (~0ull / 4)}}, {true, false, ~0ull / 4}},
  };
  for (const Case& c : cases) {
    TransferRate rate;
    for (const RateSample& sample : c.samples) AddRateSample(&rate, sample.ms, sample.bytes);
    const RateEstimate got = EstimateRate(rate);
    EXPECT_TRUE(got == c.expected) << c.name << ": " << got.known << got.steady << " " << got.bytesPerSecond;
  }
  TransferRate rate;  // an hour of samples every 250 ms keeps only the window's
  for (uint64_t ms = 0; ms <= 3600000; ms += 250) AddRateSample(&rate, ms, ms * KiB);
  EXPECT_EQ(rate.samples.size(), 21u);
}

}  // namespace
}  // namespace pl::base

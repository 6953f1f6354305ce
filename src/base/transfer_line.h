#pragma once
// The line shown under a long transfer's progress bar: the amount done and the total, the speed over the last
// several seconds and the time left, e.g. "已下载 1.2 GB / 4.7 GB · 18.4 MB/s · 剩余约 3 分钟". Plain C++: the
// caller brings the clock, so the same rules serve the host's window and the deployer's.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace pl::base {

// The rate is measured over this window, not since the start, so that it follows a line that speeds up or slows
// down; over less than a second none is told, and the time left only once the whole window is covered.
inline constexpr uint64_t kRateWindowMs = 5000;
inline constexpr uint64_t kRateMinimumMs = 1000;
// A time left beyond this says nothing useful and is not shown.
inline constexpr uint64_t kLongestTimeLeftSeconds = 99 * 3600;

struct RateSample {
  uint64_t ms = 0;     // the clock's time
  uint64_t bytes = 0;  // received so far
};

// Samples of one transfer, oldest first: those of the window and the last one before it.
struct TransferRate {
  std::deque<RateSample> samples;
};

// Adds what had been received by `nowMs`. A count that falls or a clock that goes back starts the measure afresh
// (a new transfer).
void AddRateSample(TransferRate* rate, uint64_t nowMs, uint64_t receivedBytes);

struct RateEstimate {
  bool known = false;   // measured over at least kRateMinimumMs
  bool steady = false;  // measured over the whole window
  uint64_t bytesPerSecond = 0;

  bool operator==(const RateEstimate&) const = default;
};
RateEstimate EstimateRate(const TransferRate& rate);

// "512 B", "1.2 KB", "18.4 MB", "4.7 GB": 1024-based units, one decimal, truncated (so that a file not yet
// complete never shows its full size).
std::wstring SizeText(uint64_t bytes);
// "剩余不到 1 分钟", "剩余约 3 分钟", "剩余约 1 小时", "剩余约 1 小时 5 分钟" (minutes to the nearest one).
std::wstring TimeLeftText(uint64_t seconds);

// The whole line, `label` first (what is done: "已下载" for a download); empty when the total is unknown (0). The
// speed appears once known, the time left once steady, above zero and at most kLongestTimeLeftSeconds.
std::wstring TransferLine(uint64_t done, uint64_t total, const RateEstimate& rate,
                          std::wstring_view label = L"已下载");

}  // namespace pl::base

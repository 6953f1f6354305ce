#include "base/transfer_line.h"

#include <algorithm>

namespace pl::base {

void AddRateSample(TransferRate* rate, uint64_t nowMs, uint64_t receivedBytes) {
  std::deque<RateSample>& samples = rate->samples;
  if (!samples.empty() && (receivedBytes < samples.back().bytes || nowMs < samples.back().ms)) samples.clear();
  if (!samples.empty() && samples.back().ms == nowMs) {
    samples.back().bytes = receivedBytes;
  } else {
    samples.push_back({nowMs, receivedBytes});
  }
  // Keep one sample at or before the window's start, so that a full window is measured over all of it.
  while (samples.size() >= 2 && samples[1].ms + kRateWindowMs <= nowMs) samples.pop_front();
}

RateEstimate EstimateRate(const TransferRate& rate) {
  if (rate.samples.size() < 2) return {};
  const RateSample& first = rate.samples.front();
  const RateSample& last = rate.samples.back();
  const uint64_t span = last.ms - first.ms;
  if (span < kRateMinimumMs) return {};
  const uint64_t bytes = last.bytes - first.bytes;
  // Without overflow for any count a disk can hold: whole seconds' worth first, then the rest.
  const uint64_t perSecond = bytes / span * 1000 + bytes % span * 1000 / span;
  return {true, span >= kRateWindowMs, perSecond};
}

std::wstring SizeText(uint64_t bytes) {
  constexpr struct {
    uint64_t unit;
    const wchar_t* name;
  } kUnits[] = {{1ull << 30, L" GB"}, {1ull << 20, L" MB"}, {1ull << 10, L" KB"}};
  for (const auto& [unit, name] : kUnits) {
    if (bytes < unit) continue;
    return std::to_wstring(bytes / unit) + L"." + std::to_wstring(bytes % unit * 10 / unit) + name;
  }
  return std::to_wstring(bytes) + L" B";
}

std::wstring TimeLeftText(uint64_t seconds) {
  if (seconds < 60) return L"剩余不到 1 分钟";
  const uint64_t minutes = (seconds + 30) / 60;
  if (minutes < 60) return L"剩余约 " + std::to_wstring(minutes) + L" 分钟";
  std::wstring text = L"剩余约 " + std::to_wstring(minutes / 60) + L" 小时";
  if (minutes % 60 != 0) text += L" " + std::to_wstring(minutes % 60) + L" 分钟";
  return text;
}

std::wstring TransferLine(uint64_t done, uint64_t total, const RateEstimate& rate, std::wstring_view label) {
  if (total == 0) return L"";
  done = std::min(done, total);
  std::wstring line = std::wstring(label) + L" " + SizeText(done) + L" / " + SizeText(total);
  if (!rate.known) return line;
  line += L" · " + SizeText(rate.bytesPerSecond) + L"/s";
  if (!rate.steady || rate.bytesPerSecond == 0 || done == total) return line;
  const uint64_t left = total - done;
  const uint64_t seconds = left / rate.bytesPerSecond + (left % rate.bytesPerSecond != 0 ? 1 : 0);
  if (seconds <= kLongestTimeLeftSeconds) line += L" · " + TimeLeftText(seconds);
  return line;
}

}  // namespace pl::base

#include "net/stall_watch.h"

namespace pl::net {

StallWatch StartStallWatch(uint32_t windowMs, uint64_t minBytes, uint64_t nowMs) {
  return {windowMs, minBytes, nowMs, 0, false};
}

bool StallWatchStalled(StallWatch* watch, uint64_t nowMs, uint64_t bytes) {
  watch->moved += bytes;
  if (watch->stalled) return true;
  if (watch->windowMs == 0 || nowMs - watch->windowStart < watch->windowMs) return false;
  if (watch->moved < watch->minBytes) return watch->stalled = true;
  watch->windowStart = nowMs;
  watch->moved = 0;
  return false;
}

std::string StallText(uint32_t windowMs, uint64_t minBytes) {
  const std::string window = windowMs % 1000 == 0 ? std::to_string(windowMs / 1000) + " 秒"
                                                  : std::to_string(windowMs) + " 毫秒";
  const std::string amount = minBytes % 1024 == 0 ? std::to_string(minBytes / 1024) + " KiB"
                                                  : std::to_string(minBytes) + " 字节";
  return "下载停滞: 连接在 " + window + "内收到的数据不足 " + amount + "，已断开";
}

}  // namespace pl::net

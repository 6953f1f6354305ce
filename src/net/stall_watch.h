#pragma once
// When a connection counts as stalled: a server that trickles a few bytes a minute passes every per-read time
// limit, so what a connection moved over a whole window is what tells.

#include <cstdint>
#include <string>

namespace pl::net {

struct StallWatch {
  uint32_t windowMs = 0;     // 0: never stalled
  uint64_t minBytes = 0;     // fewer than this within a whole window is a stall
  uint64_t windowStart = 0;  // ms, on the caller's clock
  uint64_t moved = 0;        // bytes since windowStart
  bool stalled = false;      // found stalled once: it stays so
};

StallWatch StartStallWatch(uint32_t windowMs, uint64_t minBytes, uint64_t nowMs);
// Counts `bytes` that arrived by `nowMs`. True once a whole window has passed with fewer than `minBytes`, and from
// then on; a window that brought enough starts the next one.
bool StallWatchStalled(StallWatch* watch, uint64_t nowMs, uint64_t bytes);
// The failure text of a stalled connection, naming the window and the amount.
std::string StallText(uint32_t windowMs, uint64_t minBytes);

}  // namespace pl::net

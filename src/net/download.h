#pragma once
// File downloads: one streaming GET that resumes a partial file, the MD5 of a file, a verified download with
// retries, and a group of downloads in parallel with one combined progress figure.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pl::net {

// (done, total) in bytes; total 0 = unknown.
using ByteProgress = std::function<void(uint64_t done, uint64_t total)>;

// A download in ranges calls onTransfer from its connections' threads (one at a time, never falling) and onVerify
// from its hashing thread, at the same time as onTransfer.
struct DownloadCallbacks {
  ByteProgress onTransfer;  // bytes of the file present so far, expected final size
  ByteProgress onVerify;    // bytes hashed so far, file size
};

struct DownloadJob {
  std::wstring url;
  std::wstring path;     // target file
  std::string md5;       // expected hex digits in any case; empty = not checked
  std::string label;     // names the file in the group's failure message
  uint64_t sizeHint = 0; // expected size in bytes, 0 = unknown
};

// The pipeline's stage reporter: stage name, message, progress value. Called from download threads.
using DownloadProgressSink = std::function<void(const std::string& stage, const std::string& message, int value)>;
// Waits between attempts, in milliseconds; empty = Sleep. Tests pass a recorder.
using RetryPause = std::function<void(uint32_t milliseconds)>;

inline constexpr int kDownloadAttempts = 5;

// How a large file is fetched when the server takes byte ranges. Tests shrink the sizes.
struct DownloadOptions {
  uint64_t rangedThreshold = 256ull << 20;  // bytes still to fetch from which the file goes in ranges
  int connections = 4;                      // ranges in flight at once; 1 = always one stream
  uint64_t rangeSize = 64ull << 20;         // bytes asked for by one range request (at most 1 GiB); ranges go out
                                            // in file order, so the MD5 of the prefix follows close behind
  uint64_t checkpointBytes = 64ull << 20;   // progress is recorded beside the file after each range and at
                                            // least this often
  uint64_t splitBytes = 4ull << 20;         // an idle connection takes over the second half of a range that
                                            // has at least twice this many bytes left
  uint32_t readSize = 1u << 20;             // bytes taken per read of a range or of a stream on our own
                                            // connection (through WinHTTP gathered as they arrive), then written
  bool directHttp = true;                   // plain-HTTP downloads over our own sockets when the machine
                                            // reaches the server without a proxy; false = always WinHTTP
  uint32_t stallWindowMs = 60000;           // a connection that moves fewer than `stallBytes` within this many
  uint64_t stallBytes = 64ull << 10;        // ms is cut, and its range (or the stream) resumed as any cut-off;
                                            // 0 ms = never
};
inline constexpr uint64_t kMaxRangeRequest = 1ull << 30;

// GET `url` into `path` through WinHTTP. With `offset` > 0 the bytes from `offset` on are asked for and appended
// when the server answers 206; a 200 rewrites the file from the start, and a 416 (the file does not belong to this
// download) deletes it and downloads the whole file once more. Fails on a transport error, an unexpected status, a
// file larger than its volume can take (before the first byte), a failed write, a stalled connection, or a body
// shorter than announced; the bytes written so far stay for the next attempt. `error` may be null.
bool DownloadToFile(const std::wstring& url, const std::wstring& path, uint64_t offset,
                    const DownloadCallbacks& callbacks, std::string* error);

// 32 upper-case hex digits; empty when the file cannot be read or hashing fails.
std::string FileMd5Hex(const std::wstring& path, const ByteProgress& onVerify = {});
// Size from the file's attributes; 0 when the file is missing.
uint64_t FileSizeOf(const std::wstring& path);
// Hex digests equal ignoring case.
bool Md5Equal(const std::string& a, const std::string& b);

// A file already complete and correct is kept without any request. Otherwise up to five attempts, each resuming
// what the last one left, with pauses of 2, 4, 8 and 16 s between them; a file whose MD5 does not match is deleted.
// `error` (may be null) gets the last attempt's error.
bool DownloadVerified(const std::wstring& url, const std::wstring& path, const std::string& md5,
                      const DownloadCallbacks& callbacks, std::string* error, const RetryPause& pause = {});
// The same for one job. A large file on a server that takes ranges is fetched in ranges over several connections;
// their progress is kept in "<path>.plparts" (removed once the file is complete and verified), from which a later
// attempt or run resumes. The MD5 grows as the bytes arrive. A body of unknown length must end at `sizeHint` when
// the job has no MD5; with neither, the download succeeds with a warning that it could not be checked. A file
// larger than its volume can take fails at once, without further attempts. Throws nothing: whatever is thrown
// inside (a callback too) fails the download with a logged reason.
bool DownloadVerified(const DownloadJob& job, const DownloadCallbacks& callbacks, std::string* error,
                      const RetryPause& pause = {}, const DownloadOptions& options = {});
// The pause after failed attempt `attempt` (1-based): 2000 ms doubling, at most 20000.
uint32_t RetryPauseMs(int attempt);

// One job's transfer in a group: its index in the list, then as ByteProgress (bytes present, expected size or 0).
// Called from the job's thread, at the same moment as other jobs' calls.
using JobByteSink = std::function<void(size_t job, uint64_t done, uint64_t total)>;

// Every job on its own thread at once; waits for all of them. Progress goes to `sink` as stage "download", message
// "下载进度: N%" and N mapped into [start, end], never decreasing and each value once; each job's transfer also goes
// to `jobBytes` when given. Fails with the first failed job in list order: "下载" + label + "失败: " + its error.
bool DownloadGroup(const std::vector<DownloadJob>& jobs, const DownloadProgressSink& sink, int start, int end,
                   std::string* error, const RetryPause& pause = {}, const DownloadOptions& options = {},
                   const JobByteSink& jobBytes = {});

// Progress of one job in a group.
struct JobProgress {
  uint64_t done = 0;    // transferred bytes, resumed part included
  uint64_t total = 0;   // expected size, 0 = unknown
  uint64_t hashed = 0;  // bytes hashed
  bool verified = false;  // has an MD5: hashing counts as much as the transfer

  bool operator==(const JobProgress&) const = default;
};
// Combined percentage 0..100 over the jobs whose total is known; nullopt when none is.
std::optional<int> CombinedPercent(const std::vector<JobProgress>& jobs);

// The shown figure: the percentage never goes down, and only a changed value is sent.
struct GroupProgressState {
  int lastPercent = 0;
  int lastValue = -1;
};
// The value to send for a new percentage, or nullopt when it would repeat the last one. Updates `state`.
std::optional<int> NextProgressValue(GroupProgressState* state, int percent, int start, int end, int* shownPercent);

}  // namespace pl::net

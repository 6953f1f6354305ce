#include "net/download.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "base/secure_directory.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"
#include "net/http_request.h"
#include "net/md5.h"
#include "net/ranged_download.h"

namespace pl::net {
namespace {

constexpr DWORD kTransferBuffer = 64 * 1024;

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

bool WriteAll(HANDLE file, const char* data, DWORD size, DWORD* code) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr) || written == 0) {
      *code = GetLastError();
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

// Opens the target: appending to what is there when resuming, emptied otherwise.
base::UniqueFileHandle OpenTarget(const std::wstring& path, bool append) {
  // A link planted at its name is refused, never written through (the staging folders are protected, but a
  // link may predate that).
  base::UniqueFileHandle file = base::CreateFileNoLink(path, GENERIC_WRITE, FILE_SHARE_READ,
                                                       append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  LARGE_INTEGER zero = {};
  if (file && append && !SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) file.reset();
  return file;
}

// The file and whatever was recorded about it go; a running digest starts over.
void DiscardTarget(const std::wstring& path, PrefixHash* hash) {
  DeleteFileW(path.c_str());
  RemovePartRecord(path);
  if (hash) ResetPrefixHash(hash);
}

// One file fetched, attempt after attempt. `options` null: one stream through WinHTTP only (DownloadToFile).
struct Fetch {
  std::wstring url;
  std::wstring path;
  DownloadCallbacks callbacks;
  const DownloadOptions* options = nullptr;
  PrefixHash* hash = nullptr;  // grown as the bytes arrive; null = no MD5 wanted
  bool lengthKnown = false;    // out, per attempt: the server said how long the file is
  bool final = false;          // out: the attempt failed in a way no further attempt mends
  bool redirected = false;     // our own request met a redirect: WinHTTP, which follows it, takes the file over
};

// The bytes [hashed, end) already in the file are read back into the digest, so it can go on with what arrives.
void CatchUpHash(const Fetch& fetch, uint64_t end, uint64_t total) {
  PrefixHash* hash = fetch.hash;
  if (!hash || hash->failed) return;
  if (hash->hashed > end) ResetPrefixHash(hash);
  if (hash->hashed == end) return;
  base::UniqueFileHandle file(CreateFileW(fetch.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file || !HashFileUpTo(file.get(), end, hash, fetch.callbacks.onVerify, total)) hash->failed = true;
}

bool FetchSingle(Fetch* fetch, uint64_t offset, bool mayGoRanged, std::string* error);

RangedTransfer MakeRangedTransfer(const Fetch& fetch, PartRecord record, OpenedRequest* first) {
  RangedTransfer transfer{fetch.url, fetch.path, std::move(record), *fetch.options, fetch.callbacks, fetch.hash,
                          first};
  transfer.redirected = fetch.redirected;
  return transfer;
}

// The outcome of a ranged run, with the fall-backs that stay within the attempt.
bool FinishRanged(Fetch* fetch, RangedOutcome outcome, std::string* error) {
  switch (outcome) {
    case RangedOutcome::kComplete:
      fetch->lengthKnown = true;
      return true;
    case RangedOutcome::kFailed:
      return false;
    case RangedOutcome::kNoRoom:
      fetch->final = true;
      return false;
    case RangedOutcome::kRangesRefused:
      log::LogWarn("服务器不接受分段请求，改为单连接整包下载: " + base::WideToUtf8(fetch->path));
      break;
    case RangedOutcome::kRemoteChanged:
      log::LogWarn("服务器上的文件跟断点记录对不上，丢弃本地文件重新整包下载: " + base::WideToUtf8(fetch->path));
      break;
  }
  DiscardTarget(fetch->path, fetch->hash);
  return FetchSingle(fetch, 0, false, error);
}

// Sends a GET for everything from `offset` on. The connection is closed afterwards, never handed on: the body may
// end early (or, under Wine, at 2 GiB while the server still sends).
bool SendGet(const std::wstring& url, uint64_t offset, OpenedRequest* opened, int32_t* status, std::string* error) {
  if (!OpenRequest(L"GET", url, false, opened, error)) return false;
  HINTERNET request = opened->request.get();
  DisableKeepAlive(request);
  if (offset > 0) {
    const std::wstring range = L"Range: bytes=" + std::to_wstring(offset) + L"-";
    WinHttpAddRequestHeaders(request, range.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
  }
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    SetError(error, "WinHttpSendRequest 失败: " + std::to_string(GetLastError()));
    return false;
  }
  if (!WinHttpReceiveResponse(request, nullptr)) {
    SetError(error, "WinHttpReceiveResponse 失败: " + std::to_string(GetLastError()));
    return false;
  }
  *status = QueryStatusCode(request);
  return true;
}

bool AcceptsRanges(HINTERNET request) {
  std::wstring text;
  return QueryHeaderText(request, WINHTTP_QUERY_ACCEPT_RANGES, &text) &&
         base::AsciiLower(base::TrimBlanks(text)) == L"bytes";
}

// What the answer to a GET said about its body.
struct StreamAnswer {
  int32_t status = 0;
  bool lengthKnown = false;
  uint64_t length = 0;  // of the body
  bool acceptsRanges = false;
};

std::string RangeFrom(uint64_t offset) { return "bytes=" + std::to_string(offset) + "-"; }

// The head of an answer over our own connection, checked as for ranges: a 206 must be exactly the rest of the file
// from `offset`, and a body must be the bytes themselves or chunked.
bool AnswerFromHead(const ResponseHead& head, uint64_t offset, StreamAnswer* answer, std::string* error) {
  answer->status = head.status;
  answer->acceptsRanges = head.acceptsRanges;
  if (head.status == 206) {
    if (!head.hasRange) {
      SetError(error, "续传响应缺少有效的 Content-Range: " + head.contentRange);
      return false;
    }
    if (head.rangeFirst != offset || head.rangeLast + 1 != head.rangeTotal) {
      SetError(error, "续传响应的范围不符: 请求 " + RangeFrom(offset) + "，收到 " + head.contentRange);
      return false;
    }
    const uint64_t length = head.rangeLast - head.rangeFirst + 1;
    if (head.encoded || (head.hasLength && head.length != length)) {
      SetError(error, "续传响应的长度不符: 请求 " + RangeFrom(offset) + "，收到 " + head.contentRange);
      return false;
    }
    answer->lengthKnown = true;
    answer->length = length;
    return true;
  }
  if (head.status == 200 && head.encoded && !head.chunked) {
    SetError(error, "响应使用了无法解开的传输编码");
    return false;
  }
  answer->lengthKnown = head.hasLength;
  answer->length = head.length;
  return true;
}

// The GET over our own connection when the machine reaches the plain-HTTP server directly, else (and after a
// redirect, which WinHTTP follows) through WinHTTP.
bool SendStreamRequest(Fetch* fetch, uint64_t offset, Connection* conn, StreamAnswer* answer, std::string* error) {
  const DownloadOptions* options = fetch->options;
  DirectTarget target;
  if (options && options->directHttp && !fetch->redirected && DirectTargetOf(fetch->url, &target) &&
      MachineGoesDirect(fetch->url)) {
    conn->viaOwn = true;
    ResponseHead head;
    const std::string request = StreamRequestText(target.host, target.path, offset);
    if (!DirectRequest(target, request, kDirectTimeoutMs, options->stallWindowMs, &conn->own, &head, error)) {
      return false;
    }
    if (head.status < 300 || head.status >= 400) return AnswerFromHead(head, offset, answer, error);
    log::LogInfo("请求被服务器转向，改由 WinHTTP 发送: " + base::WideToUtf8(fetch->path));
    fetch->redirected = true;
    *conn = Connection();
  }
  if (!SendGet(fetch->url, offset, &conn->web, &answer->status, error)) return false;
  HINTERNET request = conn->web.request.get();
  answer->lengthKnown = QueryContentLength(request, &answer->length);
  answer->acceptsRanges = AcceptsRanges(request);
  return true;
}

// One GET from `offset` on. A large remainder on a server that takes ranges continues as a ranged run, with this
// answer as its first piece when it came through WinHTTP.
bool FetchSingle(Fetch* fetch, uint64_t offset, bool mayGoRanged, std::string* error) {
  Connection conn;
  StreamAnswer answer;
  if (!SendStreamRequest(fetch, offset, &conn, &answer, error)) return false;
  const int32_t status = answer.status;
  if (status == 416 && offset > 0) {
    log::LogWarn(
        "下载收到 416（本地已有文件跟这次要下载的内容对不上，很可能是之前下载了别的系统镜像遗留下来的），"
        "丢弃本地文件重新整包下载: " + base::WideToUtf8(fetch->path));
    Drop(&conn);
    DiscardTarget(fetch->path, fetch->hash);
    return FetchSingle(fetch, 0, mayGoRanged, error);
  }
  // A server that ignores the range answers 200 with the whole file: that rewrites it from the start.
  const bool resumed = offset > 0 && status == 206;
  const uint64_t base = resumed ? offset : 0;
  if (status != 200 && status != 206) {
    SetError(error, "HTTP 状态码异常: " + std::to_string(status));
    return false;
  }
  fetch->lengthKnown = answer.lengthKnown;
  const uint64_t length = answer.length;
  const uint64_t total = !answer.lengthKnown ? 0 : length > UINT64_MAX - base ? UINT64_MAX : base + length;
  // Refused before the first byte: a file that cannot fit would fill the volume and fail anyway.
  if (answer.lengthKnown && !RoomForFile(fetch->path, total, error)) {
    fetch->final = true;
    return false;
  }

  // Ranges are known to work after a 206, and announced with a 200 to a request without one.
  const DownloadOptions* options = fetch->options;
  if (mayGoRanged && options && options->connections > 1 && answer.lengthKnown &&
      length >= options->rangedThreshold && (resumed || (offset == 0 && answer.acceptsRanges))) {
    PartRecord record{total, {}};
    if (base > 0) record.done.push_back({0, base});
    if (!resumed) DeleteFileW(fetch->path.c_str());
    if (fetch->hash && fetch->hash->hashed > base) ResetPrefixHash(fetch->hash);
    // The record exists before the first byte lands out of order; without it the file stays one stream.
    if (SavePartRecord(fetch->path, record)) {
      // An answer on our own connection only told the size: the ranges ask for every byte themselves.
      const bool own = conn.viaOwn;
      if (own) Drop(&conn);
      log::LogInfo("分段下载（" + std::to_string(options->connections) + " 个连接，共 " + std::to_string(total) +
                   " 字节，已有 " + std::to_string(base) + " 字节）: " + base::WideToUtf8(fetch->path));
      const RangedTransfer transfer = MakeRangedTransfer(*fetch, std::move(record), own ? nullptr : &conn.web);
      return FinishRanged(fetch, RunRangedTransfer(transfer, error), error);
    }
  }

  base::UniqueFileHandle file = OpenTarget(fetch->path, resumed);
  if (!file) {
    SetError(error, "无法打开目标文件写入: 目标路径不可写");
    return false;
  }
  if (fetch->hash) {
    if (resumed) {
      CatchUpHash(*fetch, base, total);
    } else {
      ResetPrefixHash(fetch->hash);
    }
  }
  if (fetch->callbacks.onTransfer) fetch->callbacks.onTransfer(base, total);

  // Our own connection hands over what one receive brings, up to a read's size; WinHTTP is read in blocks that
  // arrive often enough for the progress shown.
  const DownloadOptions defaults;
  const DownloadOptions& knobs = options ? *options : defaults;
  std::vector<char> buffer(conn.viaOwn ? std::clamp<uint32_t>(knobs.readSize, 4096, 16u << 20) : kTransferBuffer);
  StallWatch watch = WatchFromNow(knobs);
  uint64_t done = base;
  for (;;) {
    uint32_t read = 0;
    if (!ReadBody(&conn, buffer.data(), static_cast<uint32_t>(buffer.size()), &watch, &read, error)) return false;
    if (read == 0) break;
    // A full disk must not pass for a finished download.
    DWORD code = 0;
    if (!WriteAll(file.get(), buffer.data(), read, &code)) {
      SetError(error, WriteErrorText(code));
      return false;
    }
    done += read;
    if (fetch->callbacks.onTransfer) fetch->callbacks.onTransfer(done, total);
    if (fetch->hash && fetch->hash->hashed == done - read) {
      AddToPrefixHash(fetch->hash, buffer.data(), read);
      if (fetch->callbacks.onVerify) fetch->callbacks.onVerify(fetch->hash->hashed, total);
    }
  }
  // A connection closed early ends the body without an error: the announced length tells. What arrived stays
  // for the next attempt to resume.
  if (total != 0 && done != total) {
    SetError(error, "下载中断: 已收到 " + std::to_string(done) + " 字节，应为 " + std::to_string(total) + " 字节");
    return false;
  }
  return true;
}

// One attempt: a recorded ranged download goes on from its record; anything else resumes from the file's size.
bool FetchFile(Fetch* fetch, std::string* error) {
  PartRecord record;
  switch (LoadPartRecord(fetch->path, &record)) {
    case PartRecordState::kValid: {
      log::LogInfo("按断点记录继续分段下载（已有 " + std::to_string(CoveredBytes(record.done)) + "/" +
                   std::to_string(record.size) + " 字节）: " + base::WideToUtf8(fetch->path));
      if (fetch->hash && fetch->hash->hashed > ContiguousPrefix(record.done)) ResetPrefixHash(fetch->hash);
      return FinishRanged(fetch, RunRangedTransfer(MakeRangedTransfer(*fetch, record, nullptr), error), error);
    }
    case PartRecordState::kInvalid:
      log::LogWarn("断点记录无效，丢弃本地文件重新整包下载: " + base::WideToUtf8(fetch->path));
      DiscardTarget(fetch->path, fetch->hash);
      break;
    case PartRecordState::kNone:
      break;
  }
  return FetchSingle(fetch, FileSizeOf(fetch->path), true, error);
}

}  // namespace

bool DownloadToFile(const std::wstring& url, const std::wstring& path, uint64_t offset,
                    const DownloadCallbacks& callbacks, std::string* error) {
  Fetch fetch{url, path, callbacks};
  return FetchSingle(&fetch, offset, false, error);
}

std::string FileMd5Hex(const std::wstring& path, const ByteProgress& onVerify) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {};
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size)) return {};
  PrefixHash hash;
  ResetPrefixHash(&hash);
  const uint64_t total = static_cast<uint64_t>(size.QuadPart);
  if (hash.failed || !HashFileUpTo(file.get(), total, &hash, onVerify, onVerify ? total : 0) || hash.failed) {
    return {};
  }
  return Md5Finish(&hash.md5);
}

uint64_t FileSizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Md5Equal(const std::string& a, const std::string& b) { return base::AsciiLower(a) == base::AsciiLower(b); }

uint32_t RetryPauseMs(int attempt) {
  const uint64_t pause = 2000ull << std::clamp(attempt - 1, 0, 30);
  return static_cast<uint32_t>(std::min<uint64_t>(pause, 20000));
}

bool DownloadVerified(const std::wstring& url, const std::wstring& path, const std::string& md5,
                      const DownloadCallbacks& callbacks, std::string* error, const RetryPause& pause) {
  return DownloadVerified(DownloadJob{url, path, md5, "", 0}, callbacks, error, pause);
}

namespace {

bool DownloadVerifiedOrThrow(const DownloadJob& job, const DownloadCallbacks& callbacks, std::string* error,
                             const RetryPause& pause, const DownloadOptions& options) {
  const std::wstring& path = job.path;
  const std::string& md5 = job.md5;
  // A file finished by an earlier run is recognised without touching the network. One with a record beside it is
  // still being fetched in ranges: hashing it whole would only find that out slowly.
  PartRecord record;
  if (!md5.empty() && FileSizeOf(path) > 0 && LoadPartRecord(path, &record) == PartRecordState::kNone) {
    const std::string actual = FileMd5Hex(path, callbacks.onVerify);
    if (!actual.empty() && Md5Equal(actual, md5)) {
      const uint64_t size = FileSizeOf(path);
      if (callbacks.onTransfer) callbacks.onTransfer(size, size);
      return true;
    }
  }
  // The digest of what is on disk, kept across attempts so that a resumed attempt reads back nothing twice.
  PrefixHash hash;
  if (!md5.empty()) ResetPrefixHash(&hash);
  std::string lastError;
  Fetch fetch{job.url, path, callbacks, &options, md5.empty() ? nullptr : &hash};
  for (int attempt = 1; attempt <= kDownloadAttempts; ++attempt) {
    std::string attemptError;
    fetch.lengthKnown = false;
    if (FetchFile(&fetch, &attemptError)) {
      const uint64_t size = FileSizeOf(path);
      if (md5.empty()) {
        // Without a length from the server, the job's size hint is what tells a body cut short.
        if (fetch.lengthKnown || job.sizeHint == 0 || size == job.sizeHint) {
          if (!fetch.lengthKnown && job.sizeHint == 0) {
            log::LogWarn("服务器没有给出文件长度，也没有大小或 MD5 可以核对，无法确认文件完整: " +
                         base::WideToUtf8(path));
          }
          RemovePartRecord(path);
          return true;
        }
        attemptError = "下载中断: 已收到 " + std::to_string(size) + " 字节，应为 " + std::to_string(job.sizeHint) +
                       " 字节";
        if (size > job.sizeHint) DiscardTarget(path, nullptr);  // nothing to resume from
      } else {
        std::string actual = !hash.failed && hash.hashed == size ? Md5Finish(&hash.md5) : std::string();
        if (actual.empty()) actual = FileMd5Hex(path, callbacks.onVerify);
        if (Md5Equal(actual, md5)) {
          RemovePartRecord(path);
          return true;
        }
        attemptError = "MD5 校验失败（期望 " + md5 + "，实际 " + actual + "）";
        DiscardTarget(path, &hash);  // the next attempt starts from nothing
      }
    }
    lastError = attemptError;
    log::LogWarn("下载失败(第 " + std::to_string(attempt) + "/" + std::to_string(kDownloadAttempts) +
                 " 次尝试): " + attemptError);
    if (fetch.final) break;
    if (attempt < kDownloadAttempts) {
      if (pause) {
        pause(RetryPauseMs(attempt));
      } else {
        Sleep(RetryPauseMs(attempt));
      }
    }
  }
  SetError(error, lastError);
  return false;
}

// What was just caught, as the failure of a download; called inside a catch block only.
std::string CaughtFault() {
  try {
    throw;
  } catch (const std::exception& e) {
    return std::string("下载时出现内部错误: ") + e.what();
  } catch (...) {
    return "下载时出现内部错误: 未知异常";
  }
}

}  // namespace

bool DownloadVerified(const DownloadJob& job, const DownloadCallbacks& callbacks, std::string* error,
                      const RetryPause& pause, const DownloadOptions& options) {
  // Nothing a download meets (an odd answer, memory running out, a callback) may end the process.
  std::string fault;
  try {
    return DownloadVerifiedOrThrow(job, callbacks, error, pause, options);
  } catch (...) {
    fault = CaughtFault();
  }
  log::LogError(fault + ": " + base::WideToUtf8(job.path));
  SetError(error, fault);
  return false;
}

std::optional<int> CombinedPercent(const std::vector<JobProgress>& jobs) {
  uint64_t weights = 0;
  uint64_t progress = 0;
  for (const JobProgress& job : jobs) {
    if (job.total == 0) continue;
    const uint64_t weight = job.verified ? job.total * 2 : job.total;
    weights += weight;
    progress += std::min(weight, job.done + job.hashed);
  }
  if (weights == 0) return std::nullopt;
  return static_cast<int>(std::min<uint64_t>(progress * 100 / weights, 100));
}

std::optional<int> NextProgressValue(GroupProgressState* state, int percent, int start, int end, int* shownPercent) {
  percent = std::max(percent, state->lastPercent);
  state->lastPercent = percent;
  const int value = start + (end - start) * percent / 100;
  if (value == state->lastValue) return std::nullopt;
  state->lastValue = value;
  if (shownPercent) *shownPercent = percent;
  return value;
}

bool DownloadGroup(const std::vector<DownloadJob>& jobs, const DownloadProgressSink& sink, int start, int end,
                   std::string* error, const RetryPause& pause, const DownloadOptions& options,
                   const JobByteSink& jobBytes) {
  std::mutex recordsMutex;
  std::vector<JobProgress> records(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    records[i].total = jobs[i].sizeHint;
    records[i].verified = !jobs[i].md5.empty();
  }
  // Deciding a value and handing it to the sink happen under one lock, so values reach the sink in order and
  // once each even when several download threads report at the same moment.
  std::mutex reportMutex;
  GroupProgressState state;
  auto report = [&] {
    std::optional<int> percent;
    {
      std::lock_guard<std::mutex> lock(recordsMutex);
      percent = CombinedPercent(records);
    }
    if (!percent || !sink) return;
    std::lock_guard<std::mutex> lock(reportMutex);
    int shown = 0;
    if (const std::optional<int> value = NextProgressValue(&state, *percent, start, end, &shown)) {
      sink("download", "下载进度: " + std::to_string(shown) + "%", *value);
    }
  };

  std::vector<char> results(jobs.size(), 0);
  std::vector<std::string> errors(jobs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i) {
    DownloadCallbacks callbacks;
    callbacks.onTransfer = [&, i](uint64_t done, uint64_t total) {
      {
        std::lock_guard<std::mutex> lock(recordsMutex);
        records[i].done = done;
        if (total != 0) records[i].total = total;
      }
      if (jobBytes) jobBytes(i, done, total);
      report();
    };
    callbacks.onVerify = [&, i](uint64_t done, uint64_t total) {
      {
        std::lock_guard<std::mutex> lock(recordsMutex);
        records[i].hashed = done;
        if (records[i].total == 0 && total != 0) records[i].total = total;
      }
      report();
    };
    try {
      threads.emplace_back([&, i, callbacks] {
        try {
          results[i] = DownloadVerified(jobs[i], callbacks, &errors[i], pause, options);
        } catch (...) {
          errors[i] = CaughtFault();
          log::LogError(errors[i] + ": " + base::WideToUtf8(jobs[i].path));
        }
      });
    } catch (...) {
      errors[i] = "无法启动下载线程";
    }
  }
  for (std::thread& thread : threads) thread.join();

  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!results[i]) {
      SetError(error, "下载" + jobs[i].label + "失败: " + errors[i]);
      return false;
    }
  }
  return true;
}

}  // namespace pl::net

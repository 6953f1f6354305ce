#include "net/ranged_download.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "base/secure_directory.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"

namespace pl::net {
namespace {

// Failures in a row without a byte received, on the last connection left, before the attempt gives up.
constexpr int kStrikeLimit = 3;
// The pause before a record that could not be replaced is written again.
constexpr int kRecordRetryMs = 200;

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::string RangeText(ByteExtent piece) {
  return "bytes=" + std::to_string(piece.begin) + "-" + std::to_string(piece.end - 1);
}

bool WriteAt(HANDLE file, uint64_t offset, const char* data, DWORD size, DWORD* code) {
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, &at) || written == 0) {
      *code = GetLastError();
      return false;
    }
    data += written;
    size -= written;
    offset += written;
  }
  return true;
}

enum class PieceEnd { kDone, kFailed, kRefused, kRemoteChanged, kRedirected };

// The range a worker is fetching: it has written up to `at` (or is about to), and stops at `end`, which an idle
// worker may move back when it takes over the second half.
struct Slot {
  uint64_t at = 0;
  uint64_t end = 0;
  bool busy = false;
};

// Everything the workers, the hasher and the checkpoints share. The mutex guards the plain fields below it.
struct Shared {
  const RangedTransfer& transfer;
  HANDLE file = nullptr;
  uint64_t total = 0;
  uint64_t pieceSize = 0;
  uint64_t checkpointBytes = 0;
  uint64_t splitBytes = 0;
  std::atomic<bool> stopping{false};
  std::atomic<bool> direct{false};  // range requests go over our own sockets to `target`
  DirectTarget target;

  std::mutex mutex;
  std::condition_variable changed;  // the prefix grew, or the workers are done
  std::vector<ByteExtent> done;     // written to the file (not necessarily flushed)
  uint64_t covered = 0;
  std::deque<ByteExtent> queue;     // still to fetch, in file order; workers cut their pieces off the front
  std::vector<Slot> slots;          // one per worker
  int active = 0;                   // workers still running
  int strikes = 0;
  RangedOutcome stopReason = RangedOutcome::kFailed;
  std::string error;
  uint64_t sinceCheckpoint = 0;
  bool checkpointWanted = false;  // for the recorder thread: the workers never wait for a flush
  std::exception_ptr fault;       // the first thing a thread threw

  std::mutex reportMutex;  // keeps the reported figure rising when several workers report at once
  uint64_t reported = 0;
  std::mutex checkpointMutex;
  // Whether the file fits is asked once, when the first answer has confirmed its size.
  std::mutex roomMutex;
  bool roomChecked = false;
  bool roomOk = false;
  std::string roomError;

  explicit Shared(const RangedTransfer& t) : transfer(t) {}
};

void ReportTransfer(Shared& s) {
  if (!s.transfer.callbacks.onTransfer) return;
  std::lock_guard<std::mutex> report(s.reportMutex);
  uint64_t covered;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    covered = s.covered;
  }
  if (covered <= s.reported) return;
  s.reported = covered;
  s.transfer.callbacks.onTransfer(covered, s.total);
}

// Records what is on disk now. The snapshot is taken before the flush, so the record never names a byte the
// flush did not cover. False when the record could not be replaced.
bool Checkpoint(Shared& s) {
  std::lock_guard<std::mutex> serial(s.checkpointMutex);
  PartRecord snapshot;
  snapshot.size = s.total;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    snapshot.done = s.done;
    s.sinceCheckpoint = 0;
  }
  return FlushFileBuffers(s.file) && SavePartRecord(s.transfer.path, snapshot);
}

void StopAll(Shared& s, RangedOutcome reason, const std::string& error) {
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.stopping) {
    s.stopReason = reason;
    s.error = error;
  }
  s.stopping = true;
  s.changed.notify_all();
}

// Runs a thread's work; whatever it throws stops the transfer and is kept for the caller to throw again.
template <typename Work>
void Guarded(Shared& s, Work work) {
  try {
    work();
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (!s.fault) s.fault = std::current_exception();
    }
    StopAll(s, RangedOutcome::kFailed, "");
  }
}

// Asked before the first byte of an answer whose size matched is written.
bool EnsureRoom(Shared& s, std::string* error) {
  std::lock_guard<std::mutex> lock(s.roomMutex);
  if (!s.roomChecked) {
    s.roomOk = RoomForFile(s.transfer.path, s.total, &s.roomError);
    s.roomChecked = true;
  }
  if (!s.roomOk) SetError(error, s.roomError);
  return s.roomOk;
}

// Checks that an answer is exactly `piece` of a file of the expected size.
PieceEnd CheckAnswer(Shared& s, ByteExtent piece, int status, bool hasRange, uint64_t first, uint64_t last,
                     uint64_t size, const std::string& rangeText, std::string* error) {
  if (status == 200) return PieceEnd::kRefused;
  if (status == 416) return PieceEnd::kRemoteChanged;
  if (status != 206) {
    SetError(error, "HTTP 状态码异常: " + std::to_string(status));
    return PieceEnd::kFailed;
  }
  if (!hasRange) {
    SetError(error, "分段响应缺少有效的 Content-Range: " + rangeText);
    return PieceEnd::kFailed;
  }
  if (size != s.total) return PieceEnd::kRemoteChanged;
  if (first != piece.begin || last != piece.end - 1) {
    SetError(error, "分段响应的范围不符: 请求 " + RangeText(piece) + "，收到 " + rangeText);
    return PieceEnd::kFailed;
  }
  return PieceEnd::kDone;
}

// The range request over our own socket. A redirect is left to WinHTTP, which follows it.
PieceEnd RequestPieceDirect(Shared& s, ByteExtent piece, DirectConnection* conn, std::string* error) {
  ResponseHead head;
  const std::string request = RangeRequestText(s.target.host, s.target.path, piece.begin, piece.end - 1);
  if (!DirectRequest(s.target, request, kDirectTimeoutMs, s.transfer.options.stallWindowMs, conn, &head, error)) {
    return PieceEnd::kFailed;
  }
  if (head.status >= 300 && head.status < 400) return PieceEnd::kRedirected;
  const PieceEnd end = CheckAnswer(s, piece, head.status, head.hasRange, head.rangeFirst, head.rangeLast,
                                   head.rangeTotal, head.contentRange, error);
  if (end != PieceEnd::kDone) return end;
  // The body must be the piece's bytes and nothing else.
  if (head.encoded || (head.hasLength && head.length != piece.end - piece.begin)) {
    SetError(error, "分段响应的长度不符: 请求 " + RangeText(piece));
    return PieceEnd::kFailed;
  }
  return PieceEnd::kDone;
}

// Sends the range request for `piece` on the worker's connection (opening one when it has none) and checks that
// the answer is exactly that piece of a file of the expected size.
PieceEnd RequestPiece(Shared& s, ByteExtent piece, Connection* conn, std::string* error) {
  if (s.direct) {
    conn->viaOwn = true;
    const PieceEnd end = RequestPieceDirect(s, piece, &conn->own, error);
    if (end != PieceEnd::kRedirected) return end;
    if (s.direct.exchange(false)) {
      log::LogInfo("分段请求被服务器转向，改由 WinHTTP 发送: " + base::WideToUtf8(s.transfer.path));
    }
  }
  conn->viaOwn = false;
  conn->own = DirectConnection();  // idle since the transfer went back to WinHTTP
  OpenedRequest* web = &conn->web;
  const bool connected = static_cast<bool>(web->connection);
  if (connected ? !OpenNextRequest(L"GET", web, error) : !OpenRequest(L"GET", s.transfer.url, false, web, error)) {
    return PieceEnd::kFailed;
  }
  HINTERNET request = web->request.get();
  const std::wstring range = L"Range: " + base::Utf8ToWide(RangeText(piece));
  WinHttpAddRequestHeaders(request, range.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    SetError(error, "WinHttpSendRequest 失败: " + std::to_string(GetLastError()));
    return PieceEnd::kFailed;
  }
  if (!WinHttpReceiveResponse(request, nullptr)) {
    SetError(error, "WinHttpReceiveResponse 失败: " + std::to_string(GetLastError()));
    return PieceEnd::kFailed;
  }
  std::wstring text;
  uint64_t first = 0, last = 0, size = 0;
  const bool hasRange = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE, &text) &&
                        ParseContentRange(base::WideToUtf8(text), &first, &last, &size);
  return CheckAnswer(s, piece, QueryStatusCode(request), hasRange, first, last, size, base::WideToUtf8(text), error);
}

// Reads the body of an answered request into the worker's slot until its end (which may move back meanwhile).
PieceEnd ReceivePiece(Shared& s, size_t worker, Connection* conn, std::vector<char>* buffer, std::string* error) {
  uint64_t at, end;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    at = s.slots[worker].at;
    end = s.slots[worker].end;
  }
  const uint64_t begin = at;
  StallWatch watch = WatchFromNow(s.transfer.options);
  while (at < end) {
    if (s.stopping) {
      SetError(error, "已停止");
      return PieceEnd::kFailed;
    }
    // Never more than the slot: the first request of a download asked for everything from its start on.
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(buffer->size(), end - at));
    uint32_t read = 0;
    if (!ReadBody(conn, buffer->data(), want, &watch, &read, error)) return PieceEnd::kFailed;
    if (read == 0) {
      SetError(error, "下载中断: 已收到 " + std::to_string(at - begin) + " 字节，应为 " + std::to_string(end - begin) +
                          " 字节（" + RangeText({begin, end}) + "）");
      return PieceEnd::kFailed;
    }
    // The bytes are claimed before they are written: a worker taking over the rest splits behind them.
    DWORD keep;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      end = s.slots[worker].end;
      keep = static_cast<DWORD>(std::min<uint64_t>(read, end - at));
      s.slots[worker].at = at + keep;
    }
    DWORD code = 0;
    if (!WriteAt(s.file, at, buffer->data(), keep, &code)) {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.slots[worker].at = at;
      SetError(error, WriteErrorText(code));
      return PieceEnd::kFailed;
    }
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      AddExtent(&s.done, {at, at + keep});
      s.covered += keep;
      s.sinceCheckpoint += keep;
      s.strikes = 0;
      if (s.sinceCheckpoint >= s.checkpointBytes) s.checkpointWanted = true;
      end = s.slots[worker].end;
    }
    s.changed.notify_all();
    at += keep;
    ReportTransfer(s);
  }
  return PieceEnd::kDone;
}

// The next piece for a worker: the lowest one waiting, or else the second half of the range with the most left.
std::optional<ByteExtent> TakePiece(Shared& s, size_t worker) {
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[worker].busy = false;
  if (s.stopping) return std::nullopt;
  ByteExtent piece;
  if (!s.queue.empty()) {
    piece = TakeFrontPiece(&s.queue, s.pieceSize);
  } else {
    Slot* largest = nullptr;
    for (Slot& slot : s.slots) {
      if (slot.busy && (!largest || slot.end - slot.at > largest->end - largest->at)) largest = &slot;
    }
    if (!largest || largest->end - largest->at < 2 * s.splitBytes) return std::nullopt;
    piece = {largest->at + (largest->end - largest->at) / 2, largest->end};
    largest->end = piece.begin;
  }
  s.slots[worker] = {piece.begin, piece.end, true};
  return piece;
}

// Puts what is left of a failed range back in file order and decides whether this worker goes on.
bool KeepGoingAfterFailure(Shared& s, size_t worker, uint64_t begin, const std::string& error) {
  std::unique_lock<std::mutex> lock(s.mutex);
  Slot& slot = s.slots[worker];
  slot.busy = false;
  const ByteExtent rest{slot.at, slot.end};
  if (rest.end > rest.begin) {
    s.queue.insert(std::upper_bound(s.queue.begin(), s.queue.end(), rest,
                                    [](const ByteExtent& a, const ByteExtent& b) { return a.begin < b.begin; }),
                   rest);
  }
  if (s.stopping) return false;
  if (rest.begin == begin) {
    // A server that takes fewer connections than we open ends up with fewer; the last one left decides.
    if (s.active > 1) return false;
    if (++s.strikes >= kStrikeLimit) {
      lock.unlock();
      StopAll(s, RangedOutcome::kFailed, error);
      return false;
    }
  }
  lock.unlock();
  log::LogWarn("分段下载失败，单独重新获取 " + RangeText(rest) + ": " + error);
  return true;
}

void WorkerLoop(Shared& s, size_t worker, OpenedRequest* first, Connection* connection) {
  Connection& conn = *connection;
  if (first) conn.web = std::move(*first);
  std::vector<char> buffer(std::clamp<uint32_t>(s.transfer.options.readSize, 4096, 16u << 20));
  bool answered = first != nullptr;  // the first request arrives answered, for everything from its start on
  for (;;) {
    std::optional<ByteExtent> piece;
    if (answered) {
      std::lock_guard<std::mutex> lock(s.mutex);
      piece = ByteExtent{s.slots[worker].at, s.total};
    } else {
      piece = TakePiece(s, worker);
    }
    if (!piece) break;
    std::string error;
    PieceEnd end = answered ? PieceEnd::kDone : RequestPiece(s, *piece, &conn, &error);
    answered = false;
    if (end == PieceEnd::kDone && !EnsureRoom(s, &error)) {
      Drop(&conn);
      StopAll(s, RangedOutcome::kNoRoom, error);
      break;
    }
    if (end == PieceEnd::kDone) end = ReceivePiece(s, worker, &conn, &buffer, &error);
    bool cutShort;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      cutShort = s.slots[worker].end < piece->end;
    }
    if (end == PieceEnd::kDone) {
      // A response left unread (its range was taken over, or it asked for more) closes with its connection.
      if (cutShort) Drop(&conn);
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.checkpointWanted = true;
      }
      s.changed.notify_all();
      continue;
    }
    // Whatever went wrong, this connection is not used again.
    Drop(&conn);
    if (end == PieceEnd::kRefused || end == PieceEnd::kRemoteChanged) {
      StopAll(s, end == PieceEnd::kRefused ? RangedOutcome::kRangesRefused : RangedOutcome::kRemoteChanged, "");
      break;
    }
    if (!KeepGoingAfterFailure(s, worker, piece->begin, error)) break;
  }
}

void RunWorker(Shared& s, size_t worker, OpenedRequest* first) {
  Connection conn;
  Guarded(s, [&] { WorkerLoop(s, worker, first, &conn); });
  Drop(&conn);
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[worker].busy = false;
  --s.active;
  s.changed.notify_all();
}

// Records progress when the workers ask for it, so that none of them waits for the flush meanwhile.
void RecorderLoop(Shared& s) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, [&] { return s.checkpointWanted || s.active == 0; });
      if (!s.checkpointWanted) return;
      s.checkpointWanted = false;
    }
    if (!Checkpoint(s)) {
      // A reader holding the record open (a scanner, another run looking) keeps it from being replaced: tried
      // again shortly, since a stalled transfer may bring no more bytes to try with.
      std::unique_lock<std::mutex> lock(s.mutex);
      if (s.active == 0) return;
      s.changed.wait_for(lock, std::chrono::milliseconds(kRecordRetryMs), [&] { return s.active == 0; });
      s.checkpointWanted = true;
    }
  }
}

// Follows the contiguous prefix, reading back from the file what the workers wrote (still in the cache).
void HasherLoop(Shared& s) {
  PrefixHash* hash = s.transfer.hash;
  base::UniqueFileHandle file(CreateFileW(s.transfer.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    hash->failed = true;
    return;
  }
  for (;;) {
    uint64_t prefix;
    bool finished;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, [&] {
        return ContiguousPrefix(s.done) > hash->hashed || s.active == 0 || s.stopping;
      });
      prefix = ContiguousPrefix(s.done);
      finished = s.active == 0 || s.stopping;
    }
    if (prefix > hash->hashed) {
      if (!HashFileUpTo(file.get(), prefix, hash, s.transfer.callbacks.onVerify, s.total)) {
        hash->failed = true;
        return;
      }
    } else if (finished) {
      return;
    }
  }
}

void RunRecorder(Shared& s) {
  Guarded(s, [&] { RecorderLoop(s); });
}

void RunHasher(Shared& s) {
  Guarded(s, [&] { HasherLoop(s); });
}

// The URL the request ended up at after redirects; `fallback` when WinHTTP cannot tell.
std::wstring FinalUrl(HINTERNET request, const std::wstring& fallback) {
  DWORD size = 0;
  WinHttpQueryOption(request, WINHTTP_OPTION_URL, nullptr, &size);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < sizeof(wchar_t)) return fallback;
  std::wstring url(size / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_URL, url.data(), &size)) return fallback;
  url.resize(wcsnlen(url.c_str(), url.size()));
  return url.empty() ? fallback : url;
}

}  // namespace

std::string WriteErrorText(unsigned long code) {
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) {
    return "写入目标文件失败（磁盘空间不足）: " + std::to_string(code);
  }
  return "写入目标文件失败: " + std::to_string(code);
}

bool RoomForFile(const std::wstring& path, uint64_t total, std::string* error) {
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  ULARGE_INTEGER free = {};
  if (!GetDiskFreeSpaceExW(folder.empty() ? nullptr : folder.c_str(), &free, nullptr, nullptr)) return true;
  // What the file holds now is overwritten or kept, never needed twice.
  const uint64_t room = free.QuadPart + FileSizeOf(path);
  if (total <= room || room < free.QuadPart) return true;
  SetError(error, "目标分区空间不足，无法下载: 文件大小 " + std::to_string(total) + " 字节，目标分区只有 " +
                      std::to_string(room) + " 字节可用: " + base::WideToUtf8(path));
  return false;
}

void Drop(Connection* conn) {
  if (conn->web.request) DisableKeepAlive(conn->web.request.get());
  *conn = Connection();
}

StallWatch WatchFromNow(const DownloadOptions& options) {
  return StartStallWatch(options.stallWindowMs, options.stallBytes, GetTickCount64());
}

bool ReadBody(Connection* conn, char* data, uint32_t want, StallWatch* watch, uint32_t* read, std::string* error) {
  *read = 0;
  // Bytes that came with the finding are handed out first; the next read fails.
  auto stalled = [&](uint32_t got) {
    if (!StallWatchStalled(watch, GetTickCount64(), got)) return false;
    SetError(error, StallText(watch->windowMs, watch->minBytes));
    return true;
  };
  if (stalled(0)) return false;
  if (conn->viaOwn) {
    const int64_t got = DirectRead(&conn->own, data, want, error);
    if (got < 0) return false;
    *read = static_cast<uint32_t>(got);
    if (got > 0) stalled(*read);
    return true;
  }
  HINTERNET request = conn->web.request.get();
  while (*read < want) {
    // Waits for the next bytes (one receive at most); then only what is there is read, so that no call waits longer.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) {
      SetError(error, "WinHttpQueryDataAvailable 失败");
      return false;
    }
    if (available == 0) break;
    DWORD got = 0;
    if (!WinHttpReadData(request, data + *read, std::min<DWORD>(available, want - *read), &got)) {
      SetError(error, "WinHttpReadData 失败");
      return false;
    }
    if (got == 0) break;
    *read += got;
    if (stalled(got)) break;
  }
  return true;
}

std::wstring PartRecordPath(const std::wstring& target) { return target + L".plparts"; }

PartRecordState LoadPartRecord(const std::wstring& target, PartRecord* record) {
  const std::wstring path = PartRecordPath(target);
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
  if (!file) return GetLastError() == ERROR_FILE_NOT_FOUND ? PartRecordState::kNone : PartRecordState::kInvalid;
  // A record is small: one line per extent, and extents merge as they touch.
  std::string text(64 * 1024, '\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) || read == text.size()) {
    return PartRecordState::kInvalid;
  }
  text.resize(read);
  if (!ParsePartRecord(text, record)) return PartRecordState::kInvalid;
  WIN32_FILE_ATTRIBUTE_DATA data;
  uint64_t size = 0;
  if (GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data)) {
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  const uint64_t claimed = record->done.empty() ? 0 : record->done.back().end;
  return claimed <= size && size <= record->size ? PartRecordState::kValid : PartRecordState::kInvalid;
}

bool SavePartRecord(const std::wstring& target, const PartRecord& record) {
  const std::wstring path = PartRecordPath(target);
  const std::wstring temporary = path + L".tmp";
  const std::string text = RenderPartRecord(record);
  {
    base::UniqueFileHandle file =
        base::CreateFileNoLink(temporary, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(file.get())) {
      file.reset();
      DeleteFileW(temporary.c_str());
      return false;
    }
  }
  return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

void RemovePartRecord(const std::wstring& target) { DeleteFileW(PartRecordPath(target).c_str()); }

RangedOutcome RunRangedTransfer(const RangedTransfer& transfer, std::string* error) {
  Shared s(transfer);
  s.total = transfer.record.size;
  s.pieceSize = std::clamp<uint64_t>(transfer.options.rangeSize, 1, kMaxRangeRequest);
  s.checkpointBytes = std::max<uint64_t>(transfer.options.checkpointBytes, 1);
  s.splitBytes = std::max<uint64_t>(transfer.options.splitBytes, 1);
  s.done = transfer.record.done;
  s.covered = CoveredBytes(s.done);
  s.queue = MissingExtents(transfer.record);

  base::UniqueFileHandle file =
      base::CreateFileNoLink(transfer.path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (!file) {
    SetError(error, "无法打开目标文件写入: 目标路径不可写");
    return RangedOutcome::kFailed;
  }
  s.file = file.get();
  if (transfer.callbacks.onTransfer) transfer.callbacks.onTransfer(s.covered, s.total);
  s.reported = s.covered;

  // The first request already answered carries the first missing piece; the other workers start on the next ones.
  // Our own connections ask the address the first answer came from; its body is left unread and its connection
  // closed, so that no more connections are open than the options allow.
  std::wstring url = transfer.url;
  if (transfer.first && transfer.first->request) url = FinalUrl(transfer.first->request.get(), transfer.url);
  s.direct = transfer.options.directHttp && !(transfer.redirected && url == transfer.url) &&
             DirectTargetOf(url, &s.target) && MachineGoesDirect(url);
  if (s.direct && transfer.first) {
    if (transfer.first->request) DisableKeepAlive(transfer.first->request.get());
    *transfer.first = OpenedRequest();
  }
  const bool firstAnswered = transfer.first && !s.direct && !s.queue.empty();
  const int workers = static_cast<int>(
      CountPieces(s.queue, s.pieceSize, static_cast<size_t>(std::max(transfer.options.connections, 1))));
  s.slots.resize(std::max(workers, 1));
  if (firstAnswered) {
    const ByteExtent piece = TakeFrontPiece(&s.queue, s.pieceSize);
    s.slots[0] = {piece.begin, piece.end, true};
  }
  s.active = std::max(workers, 1);
  std::vector<std::thread> threads;
  for (int i = 1; i < workers; ++i) {
    try {
      threads.emplace_back([&s, i] { RunWorker(s, static_cast<size_t>(i), nullptr); });
    } catch (...) {
      std::lock_guard<std::mutex> lock(s.mutex);
      --s.active;
    }
  }
  std::thread recorder;
  try {
    recorder = std::thread([&s] { RunRecorder(s); });
  } catch (...) {
    // Recorded at the end only.
  }
  std::thread hasher;
  if (transfer.hash && !transfer.hash->failed) {
    try {
      hasher = std::thread([&s] { RunHasher(s); });
    } catch (...) {
      transfer.hash->failed = true;
    }
  }
  if (workers > 0) {
    RunWorker(s, 0, firstAnswered ? transfer.first : nullptr);
  } else {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.active = 0;
    s.changed.notify_all();
  }
  for (std::thread& thread : threads) thread.join();
  if (hasher.joinable()) hasher.join();
  if (recorder.joinable()) recorder.join();
  Checkpoint(s);

  if (s.fault) std::rethrow_exception(s.fault);
  if (s.stopping) {
    if (s.stopReason == RangedOutcome::kFailed || s.stopReason == RangedOutcome::kNoRoom) SetError(error, s.error);
    return s.stopReason;
  }
  if (s.covered != s.total) {
    SetError(error, "下载中断: 已收到 " + std::to_string(s.covered) + " 字节，应为 " + std::to_string(s.total) +
                        " 字节");
    return RangedOutcome::kFailed;
  }
  // A longer leftover beyond the end would survive writes in place.
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(s.total);
  if (!SetFilePointerEx(s.file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(s.file)) {
    SetError(error, WriteErrorText(GetLastError()));
    return RangedOutcome::kFailed;
  }
  return RangedOutcome::kComplete;
}

}  // namespace pl::net

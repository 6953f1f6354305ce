#include "net/download.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/text.h"
#include "base/unique_crypto.h"
#include "base/unique_handle.h"
#include "log/log.h"
#include "net/http_request.h"

namespace pl::net {
namespace {

constexpr DWORD kTransferBuffer = 64 * 1024;
// WinHTTP may announce more than the buffer holds; reading it in one go saves calls, within a bound.
constexpr DWORD kTransferBufferLimit = 1024 * 1024;
constexpr DWORD kHashChunk = 1024 * 1024;

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

// Request, connection, session: the order WinHTTP expects them closed in.
void CloseRequest(OpenedRequest* opened) {
  opened->request.reset();
  opened->connection.reset();
  opened->session.reset();
}

std::string WriteErrorText(DWORD code) {
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) {
    return "写入目标文件失败（磁盘空间不足）: " + std::to_string(code);
  }
  return "写入目标文件失败: " + std::to_string(code);
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
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER zero = {};
  if (file && append && !SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) file.reset();
  return file;
}

}  // namespace

bool DownloadToFile(const std::wstring& url, const std::wstring& path, uint64_t offset,
                    const DownloadCallbacks& callbacks, std::string* error) {
  OpenedRequest opened;
  if (!OpenRequest(L"GET", url, false, &opened, error)) return false;
  HINTERNET request = opened.request.get();
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
  const int32_t status = QueryStatusCode(request);
  if (status == 416 && offset > 0) {
    log::LogWarn(
        "下载收到 416（本地已有文件跟这次要下载的内容对不上，很可能是之前下载了别的系统镜像遗留下来的），"
        "丢弃本地文件重新整包下载: " + base::WideToUtf8(path));
    DeleteFileW(path.c_str());
    CloseRequest(&opened);
    return DownloadToFile(url, path, 0, callbacks, error);
  }
  // A server that ignores the range answers 200 with the whole file: that rewrites it from the start.
  const bool resumed = offset > 0 && status == 206;
  const uint64_t base = resumed ? offset : 0;
  if (status != 200 && status != 206) {
    SetError(error, "HTTP 状态码异常: " + std::to_string(status));
    return false;
  }
  uint64_t length = 0;
  const uint64_t total = QueryContentLength(request, &length) ? base + length : 0;

  base::UniqueFileHandle file = OpenTarget(path, resumed);
  if (!file) {
    SetError(error, "无法打开目标文件写入: 目标路径不可写");
    return false;
  }
  if (callbacks.onTransfer) callbacks.onTransfer(base, total);

  std::vector<char> buffer(kTransferBuffer);
  uint64_t done = base;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) {
      SetError(error, "WinHttpQueryDataAvailable 失败");
      return false;
    }
    if (available == 0) break;
    if (available > buffer.size()) buffer.resize(std::min(available, kTransferBufferLimit));
    // The whole buffer is asked for even when less is announced: WinHTTP then gathers it in one call (under Wine
    // it announces 8 KiB at a time), so there are fewer calls and fewer, larger writes.
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
      SetError(error, "WinHttpReadData 失败");
      return false;
    }
    if (read == 0) break;
    // A full disk must not pass for a finished download.
    DWORD code = 0;
    if (!WriteAll(file.get(), buffer.data(), read, &code)) {
      SetError(error, WriteErrorText(code));
      return false;
    }
    done += read;
    if (callbacks.onTransfer) callbacks.onTransfer(done, total);
  }
  // A connection closed early ends the body without an error: the announced length tells. What arrived stays
  // for the next attempt to resume.
  if (total != 0 && done != total) {
    SetError(error, "下载中断: 已收到 " + std::to_string(done) + " 字节，应为 " + std::to_string(total) + " 字节");
    return false;
  }
  return true;
}

std::string FileMd5Hex(const std::wstring& path, const ByteProgress& onVerify) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {};
  uint64_t total = 0;
  LARGE_INTEGER size = {};
  if (onVerify && GetFileSizeEx(file.get(), &size)) total = static_cast<uint64_t>(size.QuadPart);

  // Declared so that the hash goes before its object buffer, and both before the provider.
  base::UniqueBcryptAlgorithm algorithm;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_MD5_ALGORITHM, nullptr, 0))) return {};
  DWORD objectLength = 0;
  DWORD digestLength = 0;
  ULONG got = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                        sizeof objectLength, &got, 0)) ||
      !BCRYPT_SUCCESS(BCryptGetProperty(algorithm.get(), BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digestLength),
                                        sizeof digestLength, &got, 0))) {
    return {};
  }
  std::vector<UCHAR> object(objectLength);
  base::UniqueBcryptHash hash;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), object.data(), objectLength, nullptr, 0, 0))) {
    return {};
  }
  std::vector<UCHAR> chunk(kHashChunk);
  uint64_t hashed = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), chunk.data(), kHashChunk, &read, nullptr)) return {};
    if (read == 0) break;
    if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), chunk.data(), read, 0))) return {};
    hashed += read;
    if (onVerify) onVerify(hashed, total);
  }
  std::vector<UCHAR> digest(digestLength);
  if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), digestLength, 0))) return {};
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (UCHAR byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
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
  // A file finished by an earlier run is recognised without touching the network.
  if (!md5.empty() && FileSizeOf(path) > 0) {
    const std::string actual = FileMd5Hex(path, callbacks.onVerify);
    if (!actual.empty() && Md5Equal(actual, md5)) {
      const uint64_t size = FileSizeOf(path);
      if (callbacks.onTransfer) callbacks.onTransfer(size, size);
      return true;
    }
  }
  std::string lastError;
  for (int attempt = 1; attempt <= kDownloadAttempts; ++attempt) {
    std::string attemptError;
    if (DownloadToFile(url, path, FileSizeOf(path), callbacks, &attemptError)) {
      if (md5.empty()) return true;
      const std::string actual = FileMd5Hex(path, callbacks.onVerify);
      if (Md5Equal(actual, md5)) return true;
      attemptError = "MD5 校验失败（期望 " + md5 + "，实际 " + actual + "）";
      DeleteFileW(path.c_str());  // the next attempt starts from nothing
    }
    lastError = attemptError;
    log::LogWarn("下载失败(第 " + std::to_string(attempt) + "/" + std::to_string(kDownloadAttempts) +
                 " 次尝试): " + attemptError);
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
                   std::string* error, const RetryPause& pause) {
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
        results[i] = DownloadVerified(jobs[i].url, jobs[i].path, jobs[i].md5, callbacks, &errors[i], pause);
      });
    } catch (const std::system_error&) {
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

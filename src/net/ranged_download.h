#pragma once
// Inside the download code: one file fetched as byte ranges over several connections and written in place, its
// progress kept in a record beside it ("<target>.plparts") and its MD5 grown over the contiguous prefix.

#include <cstdint>
#include <string>

#include "net/direct_http.h"
#include "net/download.h"
#include "net/http_request.h"
#include "net/md5.h"
#include "net/part_map.h"
#include "net/stall_watch.h"

namespace pl::net {

std::wstring PartRecordPath(const std::wstring& target);
// The failure text of a write to the target; a full disk is named as such.
std::string WriteErrorText(unsigned long code);
// False (and `error` says so) when the volume of `path` cannot take a file of `total` bytes: its free space and
// what the file holds already. True when the free space cannot be read.
bool RoomForFile(const std::wstring& path, uint64_t total, std::string* error);

// What WinHTTP waits by default for a send or a receive, kept for our own connections.
inline constexpr uint32_t kDirectTimeoutMs = 30000;

// A connection of a download: WinHTTP's request, or our own socket.
struct Connection {
  OpenedRequest web;
  DirectConnection own;
  bool viaOwn = false;  // the current response arrives on `own`
};
// Closes both, WinHTTP's without handing its connection on.
void Drop(Connection* conn);
// Reads the next bytes of the current body, at most `want`: on our own socket what one receive brings, through
// WinHTTP read by read as they arrive until `want` are there (one read asking for all would wait for all of them,
// however slowly they come). `read` 0: the body ended. False on a transport error, and once `watch` has found the
// connection stalled (the bytes that came with that finding are handed out first).
bool ReadBody(Connection* conn, char* data, uint32_t want, StallWatch* watch, uint32_t* read, std::string* error);
// A watch over a connection from now on, with the options' window and amount.
StallWatch WatchFromNow(const DownloadOptions& options);

enum class PartRecordState {
  kNone,     // no record: the file, if any, is a plain prefix of the download
  kValid,    // `record` filled; its extents lie within the file
  kInvalid,  // unreadable, malformed, or claiming bytes past the end of the file
};
PartRecordState LoadPartRecord(const std::wstring& target, PartRecord* record);
// Written to a temporary file, flushed and renamed over the record: a crash leaves the old record or the new one.
bool SavePartRecord(const std::wstring& target, const PartRecord& record);
void RemovePartRecord(const std::wstring& target);

struct RangedTransfer {
  std::wstring url;
  std::wstring path;
  PartRecord record;  // size and the extents on disk at the start, already saved beside the file
  DownloadOptions options;
  DownloadCallbacks callbacks;
  PrefixHash* hash = nullptr;     // grown over the contiguous prefix as it arrives; null = no MD5 wanted
  OpenedRequest* first = nullptr;  // an answered request whose body continues the first missing piece; may be null
  bool redirected = false;         // the URL was seen redirected: our own connections go only to an address
                                   // WinHTTP names, never to `url` itself
};

enum class RangedOutcome {
  kComplete,       // every byte is on disk (and hashed, with a hash)
  kFailed,         // `error` says why; what arrived is recorded for the next attempt
  kRangesRefused,  // a range request was answered with the whole file
  kRemoteChanged,  // a 416, or the server's file has another size now (a record's size not the announced one)
  kNoRoom,         // the announced size does not fit the volume (`error`); nothing was written
};
// Whatever a thread of the transfer throws ends the transfer and is thrown again here, once all have stopped.
RangedOutcome RunRangedTransfer(const RangedTransfer& transfer, std::string* error);

}  // namespace pl::net

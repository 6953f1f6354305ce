#pragma once
// Inside the download code: one file fetched as byte ranges over several connections and written in place, its
// progress kept in a record beside it ("<target>.plparts") and its MD5 grown over the contiguous prefix.

#include <cstdint>
#include <string>

#include "net/download.h"
#include "net/http_request.h"
#include "net/md5.h"
#include "net/part_map.h"

namespace pl::net {

std::wstring PartRecordPath(const std::wstring& target);
// The failure text of a write to the target; a full disk is named as such.
std::string WriteErrorText(unsigned long code);

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
};

enum class RangedOutcome {
  kComplete,       // every byte is on disk (and hashed, with a hash)
  kFailed,         // `error` says why; what arrived is recorded for the next attempt
  kRangesRefused,  // a range request was answered with the whole file
  kRemoteChanged,  // a 416, or the server's file has another size now
};
RangedOutcome RunRangedTransfer(const RangedTransfer& transfer, std::string* error);

}  // namespace pl::net

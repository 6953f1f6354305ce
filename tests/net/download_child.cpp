// One verified download in ranges, in a process of its own, so that a test can end the process midway.
//   pl_download_child.exe <url> <target> <md5> <range-size> <checkpoint-bytes> <read-size>
// Ranges start at one range size; four connections. Exit code 0 when the download succeeded.
#include <cwchar>
#include <string>

#include "base/text.h"
#include "net/download.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 7) return 2;
  pl::net::DownloadOptions options;
  options.rangeSize = std::wcstoull(argv[4], nullptr, 10);
  options.rangedThreshold = options.rangeSize;
  options.checkpointBytes = std::wcstoull(argv[5], nullptr, 10);
  options.readSize = static_cast<uint32_t>(std::wcstoul(argv[6], nullptr, 10));
  const pl::net::DownloadJob job{argv[1], argv[2], pl::base::WideToUtf8(argv[3]), "child", 0};
  std::string error;
  return pl::net::DownloadVerified(job, {}, &error, [](uint32_t) {}, options) ? 0 : 1;
}

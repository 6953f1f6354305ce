// Downloads and verifies a group of files with the program's own download code and prints how long it took and
// the process's peak memory. Driven by download_bench.sh, which times curl + md5sum on the same files.
//   pl_download_bench.exe <target-folder> <url> <md5> [<url> <md5> ...]      (md5 "-": not verified)
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "net/download.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || (argc - 2) % 2 != 0) {
    fwprintf(stderr, L"usage: %ls <target-folder> <url> <md5> [<url> <md5> ...]\n", argv[0]);
    return 2;
  }
  const std::wstring folder = argv[1];
  std::vector<pl::net::DownloadJob> jobs;
  for (int i = 2; i + 1 < argc; i += 2) {
    pl::net::DownloadJob job;
    job.url = argv[i];
    job.path = folder + L"\\file" + std::to_wstring(jobs.size());
    job.md5 = std::wstring(argv[i + 1]) == L"-" ? "" : pl::base::WideToUtf8(argv[i + 1]);  // "-": no check
    job.label = "file" + std::to_string(jobs.size());
    DeleteFileW(job.path.c_str());  // a fresh download, not a pre-checked one
    jobs.push_back(job);
  }
  int reports = 0;
  int lastValue = -1;
  const pl::net::DownloadProgressSink sink = [&](const std::string&, const std::string&, int value) {
    ++reports;  // called under the group's report lock
    lastValue = value;
  };

  LARGE_INTEGER frequency, begin, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  std::string error;
  const bool ok = pl::net::DownloadGroup(jobs, sink, 0, 100, &error);
  QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);

  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  printf("ok=%d\n", ok ? 1 : 0);
  printf("error=%s\n", error.c_str());
  printf("seconds=%.3f\n", seconds);
  printf("progress_reports=%d last_value=%d\n", reports, lastValue);
  printf("peak_working_set_mib=%.1f\n", static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);
  printf("peak_private_mib=%.1f\n", static_cast<double>(memory.PeakPagefileUsage) / 1048576.0);
  return ok ? 0 : 1;
}

// Downloads and verifies a group of files with the program's own download code and prints how long it took, how
// many attempts the files needed and the process's peak memory. Driven by run.sh, which times curl + md5sum and
// aria2c + md5sum on the same files.
//   pl_download_bench.exe [-c <connections>] [-w] <target-folder> <url> <md5> [<url> <md5> ...]
// (md5 "-": not verified; -w: through WinHTTP only, never our own connections, to compare by hand)
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "net/download.h"

int wmain(int argc, wchar_t** argv) {
  const wchar_t* program = argv[0];
  pl::net::DownloadOptions options;
  if (argc > 2 && std::wstring(argv[1]) == L"-c") {
    options.connections = _wtoi(argv[2]);
    argc -= 2;
    argv += 2;
  }
  if (argc > 1 && std::wstring(argv[1]) == L"-w") {
    options.directHttp = false;
    --argc;
    ++argv;
  }
  if (argc < 4 || (argc - 2) % 2 != 0) {
    fwprintf(stderr, L"usage: %ls [-c <connections>] [-w] <target-folder> <url> <md5> [<url> <md5> ...]\n", program);
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
    DeleteFileW(job.path.c_str());  // a fresh download, not a pre-checked or resumed one
    DeleteFileW((job.path + L".plparts").c_str());
    jobs.push_back(job);
  }
  // The log tells the failed attempts apart; it lives beside the files and goes with them.
  const std::wstring logPath = folder + L"\\download.log";
  pl::log::SetLogFile(logPath);
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
  const bool ok = pl::net::DownloadGroup(jobs, sink, 0, 100, &error, {}, options);
  QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);

  pl::log::ClearLogFile();
  int failedAttempts = 0;
  if (FILE* log = _wfopen(logPath.c_str(), L"rb")) {
    char line[4096];
    while (fgets(line, sizeof line, log)) failedAttempts += strstr(line, "次尝试)") != nullptr ? 1 : 0;
    fclose(log);
  }

  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  printf("ok=%d\n", ok ? 1 : 0);
  printf("error=%s\n", error.c_str());
  printf("seconds=%.3f\n", seconds);
  printf("progress_reports=%d last_value=%d\n", reports, lastValue);
  printf("failed_attempts=%d\n", failedAttempts);
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    auto seconds100ns = [](FILETIME t) {
      return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    printf("cpu_seconds=%.1f\n", seconds100ns(kernel) + seconds100ns(user));
  }
  printf("peak_working_set_mib=%.1f\n", static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);
  printf("peak_private_mib=%.1f\n", static_cast<double>(memory.PeakPagefileUsage) / 1048576.0);
  return ok ? 0 : 1;
}

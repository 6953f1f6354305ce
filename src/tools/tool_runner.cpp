#include "tools/tool_runner.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "base/file_tree.h"
#include "base/process_start.h"
#include "base/secure_directory.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"

namespace pl::tools {
namespace {

// How often the captured run looks at the pipe while it waits for output or for the child.
constexpr DWORD kPollMs = 15;

const wchar_t* OrNull(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

// The caller's environment with `changes` set, as a sorted block for CREATE_UNICODE_ENVIRONMENT; empty without
// changes (the child then inherits the caller's as it is).
std::vector<wchar_t> EnvironmentBlock(const std::vector<EnvironmentVariable>& changes) {
  if (changes.empty()) return {};
  std::vector<std::wstring> entries;
  const base::UniqueEnvironmentStrings current(GetEnvironmentStringsW());
  for (const wchar_t* at = current.get(); at != nullptr && *at != L'\0'; at += wcslen(at) + 1) entries.emplace_back(at);
  // Names compare without case; "=C:" and the like keep their leading "=" as part of the name.
  auto nameOf = [](const std::wstring& entry) { return entry.substr(0, entry.find(L'=', 1)); };
  auto sameName = [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
  };
  for (const EnvironmentVariable& change : changes) {
    std::erase_if(entries, [&](const std::wstring& entry) { return sameName(nameOf(entry), change.name); });
    entries.push_back(change.name + L"=" + change.value);
  }
  std::stable_sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
    const std::wstring x = nameOf(a), y = nameOf(b);
    return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
           CSTR_LESS_THAN;
  });
  std::vector<wchar_t> block;
  for (const std::wstring& entry : entries) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

BOOL StartProcess(const std::wstring& applicationPath, const std::wstring& arguments, BOOL inheritHandles,
                  DWORD extraFlags, const std::wstring& workingDirectory, STARTUPINFOW* startup,
                  PROCESS_INFORMATION* info, const std::vector<EnvironmentVariable>& environment = {}) {
  std::vector<wchar_t> block = EnvironmentBlock(environment);
  if (!block.empty()) extraFlags |= CREATE_UNICODE_ENVIRONMENT;
  return base::CreateProcessSettled(OrNull(applicationPath), BuildCommandLine(applicationPath, arguments),
                                    inheritHandles, CREATE_NO_WINDOW | extraFlags,
                                    block.empty() ? nullptr : block.data(), OrNull(workingDirectory), startup, info);
}

// The handles a child may inherit, as a process attribute. Every inheritable handle would reach the child
// otherwise: also another run's pipe, inheritable while that run starts its own child, which would then keep
// that run reading for as long as this child lives.
struct InheritedHandles {
  std::vector<HANDLE> handles;
  std::vector<char> storage;
  base::UniqueAttributeList list;  // deleted before its storage goes
};

bool MakeInheritedHandles(std::vector<HANDLE> handles, InheritedHandles* inherited) {
  inherited->handles = std::move(handles);
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  inherited->storage.resize(size);
  const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(inherited->storage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
  inherited->list.reset(list);
  return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited->handles.data(),
                                   inherited->handles.size() * sizeof(HANDLE), nullptr, nullptr) != FALSE;
}

// The caller's standard input when the child can inherit it (the list takes only inheritable handles; a GUI
// process often has none).
bool IsInheritable(HANDLE handle) {
  DWORD flags = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetHandleInformation(handle, &flags) &&
         (flags & HANDLE_FLAG_INHERIT) != 0;
}

// What is left of the limit at `deadline` (0 = none): INFINITE without one, 0 once it has passed.
DWORD RemainingMs(ULONGLONG deadline) {
  if (deadline == 0) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// The output kept: its first kMaxCapturedOutput bytes; the rest is read (so the child never blocks) and counted.
struct Captured {
  std::string bytes;
  uint64_t dropped = 0;
};

void Keep(Captured* out, const char* data, size_t size) {
  const size_t room = kMaxCapturedOutput - std::min(out->bytes.size(), kMaxCapturedOutput);
  out->bytes.append(data, std::min(size, room));
  out->dropped += size - std::min(size, room);
}

// Reads whatever the pipe holds right now. False once every writer has closed it and it is drained.
bool DrainAvailable(HANDLE pipe, Captured* bytes, const OutputChunkSink& onOutput) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char block[4096];
    DWORD got = 0;
    const DWORD want = available < sizeof block ? available : static_cast<DWORD>(sizeof block);
    if (!ReadFile(pipe, block, want, &got, nullptr) || got == 0) return false;
    Keep(bytes, block, got);
    if (onOutput) onOutput(std::string_view(block, got));
  }
}

// Collects output until the pipe closes. With a deadline, the child is terminated when it passes and the
// reading stops once the child is gone, even when a grandchild still holds the pipe open.
void CollectOutput(HANDLE pipe, HANDLE process, ULONGLONG deadline, Captured* bytes, bool* terminated,
                   const OutputChunkSink& onOutput) {
  bool childExited = false;
  for (;;) {
    if (!DrainAvailable(pipe, bytes, onOutput)) return;
    if (deadline != 0 && GetTickCount64() >= deadline) {
      if (!childExited && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process, kTerminatedExitCode);
        WaitForSingleObject(process, INFINITE);
        *terminated = true;
      }
      DrainAvailable(pipe, bytes, onOutput);
      return;
    }
    if (!childExited) {
      childExited = WaitForSingleObject(process, kPollMs) == WAIT_OBJECT_0;
    } else {
      Sleep(kPollMs);  // only a grandchild keeps the pipe open now
    }
  }
}

// A folder of our own for one diskpart script, removed with what it holds at the end of the scope.
struct ScriptFolder {
  std::wstring path;
  ScriptFolder() = default;
  ScriptFolder(const ScriptFolder&) = delete;
  ScriptFolder& operator=(const ScriptFolder&) = delete;
  ~ScriptFolder() {
    if (!path.empty()) base::DeleteTree(path);
  }
};

// A new protected folder under DiskpartScriptParent(). The name is new each time, and nothing that was there
// before is ever used: a name taken (by anyone) is passed over.
bool MakeScriptFolder(ScriptFolder* folder) {
  const std::wstring parent = DiskpartScriptParent();
  if (parent.empty()) return false;
  static std::atomic<uint32_t> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::wstring path = parent + L"\\pellora-diskpart-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
    const DWORD status = base::CreateProtectedDirectory(path);
    if (status == ERROR_SUCCESS) {
      folder->path = path;
      return true;
    }
    if (status != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

}  // namespace

std::wstring DiskpartScriptParent() {
  wchar_t buffer[MAX_PATH];
  const std::wstring windows = base::MaxPathBufferText(buffer, GetSystemWindowsDirectoryW(buffer, MAX_PATH));
  return windows.empty() ? std::wstring() : windows + L"\\Temp";
}

std::wstring SystemToolPathFrom(const std::wstring& systemDirectory, const std::wstring& toolName) {
  if (systemDirectory.empty()) return {};
  return systemDirectory + L"\\" + toolName;
}

std::wstring SystemToolPath(const std::wstring& toolName) {
  return SystemToolPathFrom(base::SystemDirectoryPath(), toolName);
}

std::wstring BuildCommandLine(const std::wstring& applicationPath, const std::wstring& arguments) {
  std::wstring line = L"\"" + applicationPath + L"\"";
  if (!arguments.empty()) line += L" " + arguments;
  return line;
}

ToolRunResult RunToolCaptured(const std::wstring& applicationPath, const std::wstring& arguments,
                              const std::wstring& workingDirectory, int32_t timeLimitMs,
                              const std::vector<EnvironmentVariable>& environment,
                              const OutputChunkSink& onOutput) {
  ToolRunResult result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  base::UniqueKernelHandle readEnd;
  base::UniqueKernelHandle writeEnd;
  if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0)) return result;
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::vector<HANDLE> handles{writeEnd.get()};
  if (IsInheritable(input)) handles.push_back(input);
  InheritedHandles inherited;
  if (!MakeInheritedHandles(std::move(handles), &inherited)) return result;

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdOutput = writeEnd.get();
  startup.StartupInfo.hStdError = writeEnd.get();
  startup.StartupInfo.hStdInput = input;
  startup.lpAttributeList = inherited.list.get();
  PROCESS_INFORMATION info{};
  const BOOL created = StartProcess(applicationPath, arguments, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                                    workingDirectory, &startup.StartupInfo, &info, environment);
  writeEnd.reset();  // only the child may hold the write end, or the pipe never reports its end
  if (!created) return result;
  base::UniqueKernelHandle process(info.hProcess);
  base::UniqueKernelHandle thread(info.hThread);
  result.started = true;

  // One deadline for reading and for the exit: a child that closed its output early and still runs gets what
  // remains of the limit, not a new one.
  const ULONGLONG deadline = timeLimitMs > 0 ? GetTickCount64() + static_cast<ULONGLONG>(timeLimitMs) : 0;
  Captured bytes;
  bool terminated = false;
  CollectOutput(readEnd.get(), process.get(), deadline, &bytes, &terminated, onOutput);
  readEnd.reset();
  if (!terminated && WaitForSingleObject(process.get(), RemainingMs(deadline)) == WAIT_TIMEOUT) {
    TerminateProcess(process.get(), kTerminatedExitCode);
    WaitForSingleObject(process.get(), INFINITE);
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  result.exitCode = exitCode;
  result.output = base::GbkToUtf8(bytes.bytes);
  if (bytes.dropped > 0) {
    result.output += "\r\n[输出超过 " + std::to_string(kMaxCapturedOutput >> 20) + " MiB，后面 " +
                     std::to_string(bytes.dropped) + " 字节已截去]\r\n";
  }
  return result;
}

LaunchResult RunToolAndWait(const std::wstring& applicationPath, const std::wstring& arguments,
                            const std::wstring& workingDirectory, int32_t timeLimitMs) {
  LaunchResult result;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!StartProcess(applicationPath, arguments, FALSE, 0, workingDirectory, &startup, &info)) {
    return result;
  }
  base::UniqueKernelHandle process(info.hProcess);
  base::UniqueKernelHandle thread(info.hThread);
  result.started = true;
  const DWORD wait = timeLimitMs > 0 ? static_cast<DWORD>(timeLimitMs) : INFINITE;
  if (WaitForSingleObject(process.get(), wait) == WAIT_TIMEOUT) {
    result.timedOut = true;
    TerminateProcess(process.get(), kTerminatedExitCode);
    WaitForSingleObject(process.get(), INFINITE);
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  result.exitCode = exitCode;
  return result;
}

ToolRunResult RunSystemTool(const std::wstring& toolName, const std::wstring& arguments, int32_t timeLimitMs,
                            const std::vector<EnvironmentVariable>& environment,
                            const OutputChunkSink& onOutput) {
  const std::wstring systemDirectory = base::SystemDirectoryPath();
  if (systemDirectory.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return {};
  }
  return RunToolCaptured(SystemToolPathFrom(systemDirectory, toolName), arguments, systemDirectory, timeLimitMs,
                         environment, onOutput);
}

ToolRunResult RunPowerShell(const std::wstring& command, int32_t timeLimitMs) {
  // Where Get-BitLockerVolume, Get-CimInstance and the core modules live; -NoProfile keeps the profiles out.
  const std::wstring modules = SystemToolPathFrom(base::SystemDirectoryPath(), L"WindowsPowerShell\\v1.0\\Modules");
  return RunSystemTool(L"WindowsPowerShell\\v1.0\\powershell.exe",
                       L"-NoProfile -NonInteractive -Command \"" + command + L"\"", timeLimitMs,
                       {{L"PSModulePath", modules}});
}

bool RunBcdedit(const std::wstring& arguments, bool dryRun, std::string* output) {
  log::LogInfo("bcdedit " + base::WideToUtf8(arguments));
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过实际执行");
    return true;
  }
  const ToolRunResult run = RunSystemTool(L"bcdedit.exe", arguments, 0);
  if (output != nullptr) *output = run.output;
  if (!run.started) {
    log::LogError("启动 bcdedit 失败");
    return false;
  }
  if (run.exitCode != 0) {
    log::LogError("bcdedit 执行失败, exitCode=" + std::to_string(run.exitCode) + ", output=" + run.output);
    return false;
  }
  return true;
}

bool RunDiskpartScript(const std::string& script, bool dryRun) {
  log::LogInfo("diskpart 脚本内容:\n" + script);
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过实际执行 diskpart，仅记录脚本内容。");
    return true;
  }
  ScriptFolder folder;
  std::wstring scriptPath;
  if (MakeScriptFolder(&folder)) {
    scriptPath = folder.path + L"\\script.txt";
    base::UniqueFileHandle file(
        CreateFileW(scriptPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    const bool written = file && (script.empty() || (WriteFile(file.get(), script.data(),
                                                               static_cast<DWORD>(script.size()), &done, nullptr) &&
                                                     done == script.size()));
    if (!written) scriptPath.clear();
  }
  if (scriptPath.empty()) {
    log::LogError("无法创建 diskpart 临时脚本文件");
    return false;
  }
  const ToolRunResult run = RunSystemTool(L"diskpart.exe", L"/s \"" + scriptPath + L"\"", 0);
  if (!run.started) {
    log::LogError("启动 diskpart 失败");
    return false;
  }
  if (run.exitCode != 0) {
    log::LogError("diskpart 执行失败, exitCode=" + std::to_string(run.exitCode) + "\n" + run.output);
    return false;
  }
  log::LogInfo(run.output);
  return true;
}

}  // namespace pl::tools

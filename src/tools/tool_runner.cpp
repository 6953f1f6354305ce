#include "tools/tool_runner.h"

#include <windows.h>

#include <vector>

#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"

namespace pl::tools {
namespace {

// How often the captured run looks at the pipe while it waits for output or for the child.
constexpr DWORD kPollMs = 15;

std::vector<wchar_t> WritableCommandLine(const std::wstring& app, const std::wstring& args) {
  const std::wstring line = BuildCommandLine(app, args);
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  return buffer;
}

const wchar_t* OrNull(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

// A new process that dies while the system is still setting it up, before any of its own code ran, makes
// CreateProcessW fail with ERROR_INTERNAL_ERROR (seen under Wine when many processes start at once). Nothing
// of the tool has happened then, so starting it again is safe; every other failure is reported at once.
BOOL StartProcess(const std::wstring& applicationPath, const std::wstring& arguments, BOOL inheritHandles,
                  DWORD extraFlags, const std::wstring& workingDirectory, STARTUPINFOW* startup,
                  PROCESS_INFORMATION* info) {
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    // The call may write into the buffer: each attempt gets a fresh copy.
    std::vector<wchar_t> line = WritableCommandLine(applicationPath, arguments);
    if (CreateProcessW(OrNull(applicationPath), line.data(), nullptr, nullptr, inheritHandles,
                       CREATE_NO_WINDOW | extraFlags, nullptr, OrNull(workingDirectory), startup, info)) {
      return TRUE;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kAttempts) return FALSE;
    Sleep(50);
  }
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

// Reads whatever the pipe holds right now. False once every writer has closed it and it is drained.
bool DrainAvailable(HANDLE pipe, std::string* bytes, const OutputChunkSink& onOutput) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char block[4096];
    DWORD got = 0;
    const DWORD want = available < sizeof block ? available : static_cast<DWORD>(sizeof block);
    if (!ReadFile(pipe, block, want, &got, nullptr) || got == 0) return false;
    bytes->append(block, got);
    if (onOutput) onOutput(std::string_view(block, got));
  }
}

// Collects output until the pipe closes. With a deadline, the child is terminated when it passes and the
// reading stops once the child is gone, even when a grandchild still holds the pipe open.
void CollectOutput(HANDLE pipe, HANDLE process, ULONGLONG deadline, std::string* bytes, bool* terminated,
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

}  // namespace

std::wstring SystemToolPathFrom(const std::wstring& systemDirectory, const std::wstring& toolName) {
  if (systemDirectory.empty()) return toolName;
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
                                    workingDirectory, &startup.StartupInfo, &info);
  writeEnd.reset();  // only the child may hold the write end, or the pipe never reports its end
  if (!created) return result;
  base::UniqueKernelHandle process(info.hProcess);
  base::UniqueKernelHandle thread(info.hThread);
  result.started = true;

  // One deadline for reading and for the exit: a child that closed its output early and still runs gets what
  // remains of the limit, not a new one.
  const ULONGLONG deadline = timeLimitMs > 0 ? GetTickCount64() + static_cast<ULONGLONG>(timeLimitMs) : 0;
  std::string bytes;
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
  result.output = base::GbkToUtf8(bytes);
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

bool RunBcdedit(const std::wstring& arguments, bool dryRun, std::string* output) {
  log::LogInfo("bcdedit " + base::WideToUtf8(arguments));
  if (dryRun) {
    log::LogInfo("[dry-run] 跳过实际执行");
    return true;
  }
  const ToolRunResult run = RunToolCaptured(SystemToolPath(L"bcdedit.exe"), arguments, L"", 0);
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
  const std::wstring tempDirectory = base::TempDirectoryPath();
  wchar_t scriptPath[MAX_PATH] = {};
  bool written = false;
  if (!tempDirectory.empty() && GetTempFileNameW(tempDirectory.c_str(), L"pld", 0, scriptPath) != 0) {
    base::UniqueFileHandle file(
        CreateFileW(scriptPath, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    written = file && (script.empty() || (WriteFile(file.get(), script.data(), static_cast<DWORD>(script.size()),
                                                    &done, nullptr) &&
                                          done == script.size()));
  }
  if (!written) {
    if (scriptPath[0] != L'\0') DeleteFileW(scriptPath);
    log::LogError("无法创建 diskpart 临时脚本文件");
    return false;
  }
  const ToolRunResult run =
      RunToolCaptured(SystemToolPath(L"diskpart.exe"), L"/s \"" + std::wstring(scriptPath) + L"\"", L"", 0);
  DeleteFileW(scriptPath);
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

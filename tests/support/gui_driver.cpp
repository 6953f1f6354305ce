#include "gui_driver.h"

#include <gdiplus.h>

#include <memory>

namespace pl::test {
namespace {

constexpr DWORD kPollMs = 50;

struct FindRequest {
  const wchar_t* className;
  const std::wstring* caption;
  DWORD processId;
  HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM parameter) {
  auto* request = reinterpret_cast<FindRequest*>(parameter);
  wchar_t className[256];
  if (!GetClassNameW(window, className, 256) || wcscmp(className, request->className) != 0) return TRUE;
  if (request->processId != 0) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != request->processId) return TRUE;
  }
  if (request->caption != nullptr && WindowText(window) != *request->caption) return TRUE;
  if (!IsWindowVisible(window)) return TRUE;
  request->found = window;
  return FALSE;
}

HWND FindTopLevel(const wchar_t* className, const std::wstring* caption, DWORD processId) {
  FindRequest request{className, caption, processId, nullptr};
  EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&request));
  return request.found;
}

HWND PollTopLevel(const wchar_t* className, const std::wstring* caption, DWORD processId, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (HWND window = FindTopLevel(className, caption, processId)) return window;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(kPollMs);
  }
}

std::wstring EnvironmentValue(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
  return length > 0 && length < 32768 ? std::wstring(buffer, length) : std::wstring();
}

bool PngEncoder(CLSID* clsid) {
  UINT count = 0, size = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) return false;
  std::unique_ptr<char[]> buffer(new char[size]);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.get());
  if (Gdiplus::GetImageEncoders(count, size, codecs) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (wcscmp(codecs[i].MimeType, L"image/png") == 0) {
      *clsid = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

}  // namespace

std::wstring HostGuiPath() { return EnvironmentValue(L"PL_HOST_GUI_EXE"); }

GuiProgram::~GuiProgram() {
  Terminate();
  if (process != nullptr) CloseHandle(process);
}

bool GuiProgram::Start(const std::wstring& exe, const std::wstring& arguments,
                       const std::vector<std::pair<std::wstring, std::wstring>>& environment) {
  // The child inherits this process's environment with the changes applied; ours is restored after.
  std::vector<std::pair<std::wstring, std::wstring>> saved;
  std::vector<bool> hadValue;
  for (const auto& [name, value] : environment) {
    wchar_t probe[1];
    hadValue.push_back(GetEnvironmentVariableW(name.c_str(), probe, 1) > 0);
    saved.emplace_back(name, EnvironmentValue(name.c_str()));
    SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
  }
  std::wstring line = L"\"" + exe + L"\"";
  if (!arguments.empty()) line += L" " + arguments;
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const BOOL ok = CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &info);
  for (size_t i = 0; i < saved.size(); ++i) {
    SetEnvironmentVariableW(saved[i].first.c_str(), hadValue[i] ? saved[i].second.c_str() : nullptr);
  }
  if (!ok) return false;
  CloseHandle(info.hThread);
  process = info.hProcess;
  processId = info.dwProcessId;
  return true;
}

bool GuiProgram::Running() const { return process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

long GuiProgram::WaitForExit(DWORD timeoutMs) {
  if (process == nullptr || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return static_cast<long>(code);
}

void GuiProgram::Terminate() {
  if (Running()) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
  }
}

HWND WaitForWindow(const wchar_t* className, DWORD processId, DWORD timeoutMs) {
  return PollTopLevel(className, nullptr, processId, timeoutMs);
}

HWND WaitForMessageBox(const std::wstring& caption, DWORD processId, DWORD timeoutMs) {
  return PollTopLevel(L"#32770", &caption, processId, timeoutMs);
}

bool NoMessageBox(const std::wstring& caption, DWORD processId) {
  return FindTopLevel(L"#32770", &caption, processId) == nullptr;
}

std::wstring WindowText(HWND window) {
  const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT got = SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(got));
  return text;
}

std::wstring ControlText(HWND parent, int controlId) {
  HWND control = GetDlgItem(parent, controlId);
  return control ? WindowText(control) : std::wstring();
}

bool ControlVisible(HWND parent, int controlId) {
  HWND control = GetDlgItem(parent, controlId);
  return control && IsWindowVisible(control);
}

bool ControlEnabled(HWND parent, int controlId) {
  HWND control = GetDlgItem(parent, controlId);
  return control && IsWindowEnabled(control);
}

std::wstring MessageBoxText(HWND box) {
  // The message is the static control holding the longest text (the icon is a static without text).
  std::wstring best;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t className[64];
    GetClassNameW(child, className, 64);
    if (_wcsicmp(className, L"Static") != 0) continue;
    std::wstring text = WindowText(child);
    if (text.size() > best.size()) best = text;
  }
  return best;
}

bool PressButton(HWND parent, int controlId) {
  HWND button = GetDlgItem(parent, controlId);
  if (button == nullptr) return false;
  // Posted, so a handler that opens a modal box does not block the test.
  return PostMessageW(parent, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool CloseWindow(HWND window) { return PostMessageW(window, WM_CLOSE, 0, 0); }

bool SaveScreenshotTo(const std::wstring& pngPath) {
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
  bool saved = false;
  {
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, left, top, SRCCOPY | CAPTUREBLT);
    SelectObject(memory, old);
    CLSID png;
    if (PngEncoder(&png)) {
      Gdiplus::Bitmap image(bitmap, nullptr);
      saved = image.Save(pngPath.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
  }
  Gdiplus::GdiplusShutdown(token);
  return saved;
}

std::wstring SaveScreenshot(const std::wstring& name) {
  std::wstring directory = EnvironmentValue(L"PL_SCREENSHOT_DIR");
  if (directory.empty()) return {};
  CreateDirectoryW(directory.c_str(), nullptr);
  const std::wstring path = directory + L"\\" + name;
  return SaveScreenshotTo(path) ? path : std::wstring();
}

}  // namespace pl::test

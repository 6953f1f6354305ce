#include "gui_driver.h"

#include <gdiplus.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <set>

#include "base/process_start.h"
#include "base/text.h"
#include "base/unique_handle.h"

namespace pl::test {
namespace {

constexpr DWORD kPollMs = 50;

// Message boxes a button was pressed on. The press is posted, so such a box stays visible (with its old text)
// until its thread takes the message; a search for the next box must not find it meanwhile.
std::mutex answeredLock;
std::set<HWND> answeredBoxes;

bool IsDialogBox(HWND window) {
  wchar_t className[16];
  return GetClassNameW(window, className, 16) && wcscmp(className, L"#32770") == 0;
}

void MarkAnswered(HWND box) {
  std::lock_guard<std::mutex> lock(answeredLock);
  answeredBoxes.insert(box);
}

// Forgets boxes that are gone, so a handle value the system hands out again is not skipped.
bool Answered(HWND window) {
  std::lock_guard<std::mutex> lock(answeredLock);
  std::erase_if(answeredBoxes, [](HWND box) { return !IsWindow(box); });
  return answeredBoxes.contains(window);
}

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
  if (!IsWindowVisible(window) || Answered(window)) return TRUE;
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
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const BOOL ok = base::CreateProcessSettled(exe.c_str(), line, FALSE, 0, nullptr, nullptr, &startup, &info);
  const DWORD startError = GetLastError();
  for (size_t i = 0; i < saved.size(); ++i) {
    SetEnvironmentVariableW(saved[i].first.c_str(), hadValue[i] ? saved[i].second.c_str() : nullptr);
  }
  if (!ok) {
    std::fprintf(stderr, "CreateProcessW(%s) failed, GetLastError=%lu\n", base::WideToUtf8(exe).c_str(),
                 startError);
    return false;
  }
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
  if (IsDialogBox(parent)) MarkAnswered(parent);
  // Posted, so a handler that opens a modal box does not block the test.
  return PostMessageW(parent, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool CloseWindow(HWND window) { return PostMessageW(window, WM_CLOSE, 0, 0); }

bool ChooseFileInDialog(const std::wstring& caption, DWORD processId, const std::wstring& path, DWORD timeoutMs) {
  HWND dialog = WaitForMessageBox(caption, processId, timeoutMs);
  if (dialog == nullptr) return false;
  // The file name box: the combo box of the explorer-style dialog (cmb13), or the edit box of the old one (edt1).
  HWND name = GetDlgItem(dialog, 0x47c);
  if (name == nullptr) name = GetDlgItem(dialog, 0x480);
  if (name == nullptr || !SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()))) return false;
  return PressButton(dialog, IDOK);
}

namespace {

// Absolute input is given in 0..65535 over the primary display and mapped back with the remainder dropped: the
// value rounded up lands on the pixel itself.
LONG Normalised(LONG pixel, int extent) { return static_cast<LONG>((pixel * 65536LL + extent - 1) / extent); }

INPUT AbsoluteMouse(POINT screen, DWORD flags) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dx = Normalised(screen.x, GetSystemMetrics(SM_CXSCREEN));
  input.mi.dy = Normalised(screen.y, GetSystemMetrics(SM_CYSCREEN));
  input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | flags;
  return input;
}

bool SendMove(POINT screen) {
  INPUT input = AbsoluteMouse(screen, 0);
  return SendInput(1, &input, sizeof input) == 1;
}

// Moves and waits until the pointer is there, so that a click sent next lands on that pixel.
bool MoveMouseToScreen(POINT screen) {
  const ULONGLONG deadline = GetTickCount64() + 5000;
  for (;;) {
    if (!SendMove(screen)) return false;
    for (int poll = 0; poll < 10; ++poll) {
      POINT now{};
      if (GetCursorPos(&now) && now.x == screen.x && now.y == screen.y) return true;
      Sleep(kPollMs / 2);
    }
    if (GetTickCount64() >= deadline) return false;
  }
}

// Press and release carry the point themselves: a window just mapped under the old pointer position can have
// its X server move that position back after the move above (Wine replays such a late motion as input), and a
// button sent without a point would then land where the pointer had been.
bool ClickLeftButton(POINT screen) {
  INPUT inputs[2] = {AbsoluteMouse(screen, MOUSEEVENTF_LEFTDOWN), AbsoluteMouse(screen, MOUSEEVENTF_LEFTUP)};
  return SendInput(2, inputs, sizeof inputs[0]) == 2;
}

}  // namespace

bool MoveMouseTo(HWND window, POINT client) {
  POINT screen = client;
  return ClientToScreen(window, &screen) && MoveMouseToScreen(screen);
}

bool ClickAt(HWND window, POINT client) {
  POINT screen = client;
  return ClientToScreen(window, &screen) && MoveMouseToScreen(screen) && ClickLeftButton(screen);
}

bool PressKey(WORD key, bool shift) {
  std::vector<INPUT> inputs;
  const auto stroke = [&inputs](WORD vk, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(input);
  };
  if (shift) stroke(VK_SHIFT, false);
  stroke(key, false);
  stroke(key, true);
  if (shift) stroke(VK_SHIFT, true);
  return SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) == inputs.size();
}

HWND FocusedWindow(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

bool PressEnterIn(HWND window) {
  const ULONGLONG deadline = GetTickCount64() + 5000;
  while (GetForegroundWindow() != window) {
    if (!IsWindow(window) || GetTickCount64() >= deadline) return false;
    SetForegroundWindow(window);
    Sleep(kPollMs / 2);
  }
  return PressKey(VK_RETURN, false);
}

bool ClickCloseBox(HWND window) {
  RECT frame{};
  if (!GetWindowRect(window, &frame)) return false;
  for (int y = frame.top; y < frame.top + 40 && y < frame.bottom; ++y) {
    for (int x = frame.right - 1; x > frame.right - 80 && x > frame.left; --x) {
      DWORD_PTR hit = 0;
      if (!SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 5000, &hit)) return false;
      if (hit != HTCLOSE) continue;
      // The first hit is the box's top right pixel; a point a little inside is safer when it is still the box.
      DWORD_PTR inside = 0;
      SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(x - 4, y + 4), SMTO_ABORTIFHUNG, 5000, &inside);
      const POINT target = inside == HTCLOSE ? POINT{x - 4, y + 4} : POINT{x, y};
      return MoveMouseToScreen(target) && ClickLeftButton(target);
    }
  }
  return false;
}

COLORREF ScreenImage::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
  const uint32_t pixel = pixels[static_cast<size_t>(y) * width + x];
  return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
}

bool CaptureScreen(ScreenImage* image) {
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  base::UniqueMemoryDc memory(CreateCompatibleDC(screen));
  base::UniqueGdiObject bitmap(CreateCompatibleBitmap(screen, width, height));
  bool ok = false;
  if (memory && bitmap) {
    const HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    ok = BitBlt(memory.get(), 0, 0, width, height, screen, left, top, SRCCOPY | CAPTUREBLT) != FALSE;
    SelectObject(memory.get(), old);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    image->pixels.assign(static_cast<size_t>(width) * height, 0);
    ok = ok && GetDIBits(memory.get(), static_cast<HBITMAP>(bitmap.get()), 0, height, image->pixels.data(), &info,
                         DIB_RGB_COLORS) == height;
  }
  ReleaseDC(nullptr, screen);
  image->width = ok ? width : 0;
  image->height = ok ? height : 0;
  if (!ok) image->pixels.clear();
  for (uint32_t& pixel : image->pixels) pixel &= 0xFFFFFF;
  return ok;
}

namespace {

bool SaveImageTo(const ScreenImage& image, const std::wstring& pngPath) {
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
  bool saved = false;
  CLSID png;
  if (image.width > 0 && PngEncoder(&png)) {
    Gdiplus::Bitmap bitmap(image.width, image.height, image.width * 4, PixelFormat32bppRGB,
                           reinterpret_cast<BYTE*>(const_cast<uint32_t*>(image.pixels.data())));
    saved = bitmap.Save(pngPath.c_str(), &png, nullptr) == Gdiplus::Ok;
  }
  Gdiplus::GdiplusShutdown(token);
  return saved;
}

}  // namespace

std::wstring ScreenshotPath(const std::wstring& name) {
  std::wstring directory = EnvironmentValue(L"PL_SCREENSHOT_DIR");
  if (directory.empty()) return {};
  CreateDirectoryW(directory.c_str(), nullptr);
  return directory + L"\\" + name;
}

std::wstring SaveImage(const ScreenImage& image, const std::wstring& name) {
  const std::wstring path = ScreenshotPath(name);
  return !path.empty() && SaveImageTo(image, path) ? path : std::wstring();
}

bool SaveScreenshotTo(const std::wstring& pngPath) {
  ScreenImage image;
  return CaptureScreen(&image) && SaveImageTo(image, pngPath);
}

std::wstring SaveScreenshot(const std::wstring& name) {
  const std::wstring path = ScreenshotPath(name);
  return !path.empty() && SaveScreenshotTo(path) ? path : std::wstring();
}

}  // namespace pl::test

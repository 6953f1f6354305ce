#include "ui_host.h"

#include <commctrl.h>
#include <gdiplus.h>
#include <shellapi.h>

#include <functional>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"
#include "ui/ai_diagnosis_dialog.h"
#include "ui/contact_dialog.h"
#include "ui/decrypt_window.h"
#include "ui/modal_window.h"

namespace pl::test::ui_host {
namespace {

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

struct OwnerOptions {
  bool minimised = false;
  bool nested = false;
};

// The call of a "nested" run, made by the owner's timer inside the box's message loop.
std::function<void()> nestedCall;

void CALLBACK NestedTimer(HWND owner, UINT, UINT_PTR id, DWORD) {
  KillTimer(owner, id);
  nestedCall();
}

// Shows the owner, runs the call over it, shows what it returned as the title and waits until it is closed.
int RunWithOwner(const std::function<std::wstring(HWND)>& call, const OwnerOptions& options) {
  if (!ui::RegisterModalClass(kOwnerClass, OwnerProc)) return 2;
  HWND owner = CreateWindowExW(0, kOwnerClass, kOwnerWaiting, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 240, 150, 800, 500,
                               nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (owner == nullptr) return 2;
  UpdateWindow(owner);
  if (options.minimised) ShowWindow(owner, SW_MINIMIZE);
  std::wstring outcome;
  if (options.nested) {
    nestedCall = [&] {
      outcome = call(owner);
      SetWindowTextW(owner, outcome.c_str());  // told while the box is still open
    };
    SetTimer(owner, 1, 0, NestedTimer);
    MessageBoxW(owner, L"nested", kNestedBoxCaption, MB_OK);
  } else {
    outcome = call(owner);
  }
  if (IsWindow(owner)) SetWindowTextW(owner, outcome.c_str());
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

int Run(std::vector<std::wstring> words) {
  OwnerOptions ownerOptions;
  std::erase_if(words, [&](const std::wstring& word) {
    if (word == L"minimised") return ownerOptions.minimised = true;
    if (word == L"nested") return ownerOptions.nested = true;
    return false;
  });
  const auto RunWithOwner = [&](const std::function<std::wstring(HWND)>& call) {
    return ui_host::RunWithOwner(call, ownerOptions);
  };
  const std::wstring command = words.empty() ? L"" : words[0];
  if (command == L"gallery") return RunGallery();
  if (command == L"decrypt" && words.size() >= 2 && !words[1].empty()) {
    ui::DecryptOptions options;
    if (words.size() >= 3) options.pollIntervalMs = static_cast<DWORD>(std::stoul(words[2]));
    const wchar_t letter = words[1][0];
    return RunWithOwner([&](HWND owner) {
      return ui::ConfirmAndDecryptVolume(owner, letter, options) ? L"result=1" : L"result=0";
    });
  }
  if (command == L"ai" && words.size() >= 2) {
    const ui::AiDiagnosisInput input{base::WideToUtf8(words[1]), kAiStage, kAiError, kAiDiagnostics};
    ui::AiDiagnosisOptions options;
    if (words.size() >= 6) {
      options.waitSlices = std::stoi(words[2]);
      options.sliceMs = static_cast<DWORD>(std::stoul(words[3]));
      options.maxPolls = std::stoi(words[4]);
      options.screenshotCommandPauseMs = static_cast<DWORD>(std::stoul(words[5]));
    }
    if (words.size() >= 7) options.interpreter = words[6];
    return RunWithOwner([&](HWND owner) {
      return ui::RunAiDiagnosis(owner, input, options) ? L"result=1" : L"result=0";
    });
  }
  if (command == L"contact") {
    return RunWithOwner([](HWND owner) {
      ui::ShowContactDialog(owner);
      return std::wstring(L"closed");
    });
  }
  return 3;
}

}  // namespace
}  // namespace pl::test::ui_host

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  const pl::base::UniqueLocalMem arguments(CommandLineToArgvW(GetCommandLineW(), &count));
  auto* argv = static_cast<wchar_t**>(arguments.get());
  std::vector<std::wstring> words;
  for (int i = 1; i < count; ++i) {
    const std::wstring word = argv[i];
    if (word.rfind(L"log=", 0) == 0) pl::log::SetLogFile(word.substr(4));
    else words.push_back(word);
  }
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  const int result = pl::test::ui_host::Run(words);
  Gdiplus::GdiplusShutdown(token);
  return result;
}

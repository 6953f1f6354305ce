#include "install/self_install.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "base/constants.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "log/log.h"

namespace pl::install {
namespace {

using base::kProductNameW;
using base::Utf8ToWide;
using base::WideToUtf8;

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? path : path.substr(0, slash);
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

std::wstring InstallDirectory() {
  const std::wstring programData = base::KnownFolderPath(FOLDERID_ProgramData);
  if (programData.empty()) return {};
  return programData + L"\\" + kInstallFolderName;
}

std::wstring DesktopShortcutPath() {
  const std::wstring desktop = base::KnownFolderPath(FOLDERID_PublicDesktop);
  if (desktop.empty()) return {};
  return desktop + L"\\" + kProductNameW + L".lnk";
}

bool SelfInstall(const std::wstring& runningPath, const std::string& version, std::string* error) {
  const std::wstring directory = InstallDirectory();
  if (directory.empty()) {
    SetError(error, "无法定位 ProgramData 目录");
    return false;
  }
  const std::wstring target = directory + L"\\" + kInstalledExeName;
  if (CompareStringOrdinal(runningPath.c_str(), -1, target.c_str(), -1, TRUE) == CSTR_EQUAL) {
    log::LogInfo("当前运行的就是已安装位置的拷贝，跳过自我复制这一步");
  } else {
    if (!CreateDirectoryW(directory.c_str(), nullptr)) {
      const DWORD code = GetLastError();
      if (code != ERROR_ALREADY_EXISTS) {
        SetError(error, "创建安装目录失败: " + WideToUtf8(directory) + ", GetLastError=" + std::to_string(code));
        return false;
      }
    }
    if (!CopyFileW(runningPath.c_str(), target.c_str(), FALSE)) {
      const DWORD code = GetLastError();
      SetError(error, "复制到安装目录失败, GetLastError=" + std::to_string(code));
      return false;
    }
    log::LogInfo("已复制到安装目录: " + WideToUtf8(target));
  }
  std::string stepError;
  if (!CreateDesktopShortcut(target, &stepError)) {
    log::LogWarn("创建桌面快捷方式失败（不影响主流程）: " + stepError);
  }
  stepError.clear();
  if (!WriteUninstallEntry(target, version, &stepError)) {
    log::LogWarn("写卸载项失败（不影响主流程）: " + stepError);
  }
  return true;
}

bool CreateDesktopShortcut(const std::wstring& targetPath, std::string* error) {
  const std::wstring link = DesktopShortcutPath();
  if (link.empty()) {
    SetError(error, "获取桌面路径失败");
    return false;
  }
  const base::ComInitScope com;
  base::UniqueCom<IShellLinkW> shellLink;
  HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(shellLink.put()));
  if (FAILED(hr)) {
    SetError(error, "创建 IShellLinkW 失败, hr=" + std::to_string(static_cast<long>(hr)));
    return false;
  }
  shellLink->SetPath(targetPath.c_str());
  if (targetPath.find(L'\\') != std::wstring::npos) shellLink->SetWorkingDirectory(FolderOf(targetPath).c_str());
  shellLink->SetIconLocation(targetPath.c_str(), 0);
  shellLink->SetDescription(kProductNameW);

  base::UniqueCom<IPersistFile> persistFile;
  hr = shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persistFile.put()));
  if (FAILED(hr)) {
    SetError(error, "获取 IPersistFile 失败, hr=" + std::to_string(static_cast<long>(hr)));
    return false;
  }
  hr = persistFile->Save(link.c_str(), TRUE);
  if (FAILED(hr)) {
    SetError(error, "保存快捷方式失败, hr=" + std::to_string(static_cast<long>(hr)));
    return false;
  }
  return true;
}

bool DeleteDesktopShortcut() {
  const std::wstring link = DesktopShortcutPath();
  if (link.empty()) return false;
  if (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  return DeleteFileW(link.c_str()) != FALSE;
}

bool WriteUninstallEntry(const std::wstring& targetPath, const std::string& version, std::string* error) {
  base::UniqueRegKey key;
  const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_WRITE, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) {
    SetError(error, "创建卸载项注册表键失败, error=" + std::to_string(status));
    return false;
  }
  SetString(key.get(), L"DisplayName", kProductNameW);
  SetString(key.get(), L"UninstallString", L"\"" + targetPath + L"\" --uninstall");
  SetString(key.get(), L"DisplayIcon", targetPath);
  SetString(key.get(), L"DisplayVersion", Utf8ToWide(version));
  SetString(key.get(), L"Publisher", L"Tarnwell");
  SetString(key.get(), L"InstallLocation", FolderOf(targetPath));
  SetDword(key.get(), L"NoModify", 1);
  SetDword(key.get(), L"NoRepair", 1);
  return true;
}

std::wstring DeferredDeletionCommand(const std::wstring& directory) {
  // Up to 20 rounds about a second apart: the uninstalling copy may still lock its own file.
  return L"cmd.exe /c for /l %i in (1,1,20) do (ping 127.0.0.1 -n 2 >nul & rmdir /s /q \"" + directory +
         L"\" 2>nul & if not exist \"" + directory + L"\" exit)";
}

bool Uninstall(std::string* error) {
  if (!DeleteDesktopShortcut()) log::LogWarn("删除桌面快捷方式失败（继续卸载剩余部分）");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUninstallKeyPath);
  const std::wstring directory = InstallDirectory();
  if (directory.empty()) {
    SetError(error, "无法定位安装目录，跳过删除目录这一步（快捷方式/卸载项已清理）");
    return false;
  }
  const std::wstring command = DeferredDeletionCommand(directory);
  std::vector<wchar_t> buffer(command.begin(), command.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    const DWORD code = GetLastError();
    SetError(error, "派生延迟删除安装目录的进程失败, GetLastError=" + std::to_string(code));
    return false;
  }
  base::UniqueKernelHandle thread(info.hThread);
  base::UniqueKernelHandle process(info.hProcess);
  return true;
}

}  // namespace pl::install

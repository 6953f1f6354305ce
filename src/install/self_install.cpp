#include "install/self_install.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "base/constants.h"
#include "base/file_tree.h"
#include "base/process_start.h"
#include "base/secure_directory.h"
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

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The folder protected and holding nothing but (when `keepExecutable`) the installed executable.
bool PrepareInstallDirectory(const std::wstring& directory, bool keepExecutable, std::string* error) {
  return ProtectInstallDirectory(directory, error) && ClearInstallDirectory(directory, keepExecutable, error);
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
    std::string prepareError;
    if (!PrepareInstallDirectory(directory, true, &prepareError)) log::LogWarn(prepareError);
  } else {
    // Created with its protection from the first moment (see base::CreateProtectedDirectory).
    if (const DWORD code = base::CreateProtectedDirectory(directory); code != ERROR_SUCCESS) {
      if (code != ERROR_ALREADY_EXISTS) {
        SetError(error, "创建安装目录失败: " + WideToUtf8(directory) + ", GetLastError=" + std::to_string(code));
        return false;
      }
    }
    // A file in the folder's place leaves nothing to protect: the copy fails on it below. An older copy goes
    // first, so that the new file takes the folder's protection instead of keeping the old file's.
    if (IsDirectory(directory) && !PrepareInstallDirectory(directory, false, error)) return false;
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
  // Up to 20 rounds about a second apart: the uninstalling copy may still lock its own file. "/d": no AutoRun
  // command of the user's runs elevated first.
  return L"cmd.exe /d /c for /l %i in (1,1,20) do (ping 127.0.0.1 -n 2 >nul & rmdir /s /q \"" + directory +
         L"\" 2>nul & if not exist \"" + directory + L"\" exit)";
}

bool ProtectInstallDirectory(const std::wstring& directory, std::string* error, const base::SecurityWriter& write) {
  if (base::IsLink(directory)) {
    SetError(error, "安装目录是一个链接（junction 或符号链接），不往那里安装: " + WideToUtf8(directory));
    return false;
  }
  const base::FolderProtection folder =
      base::ProtectExistingDirectory(directory, base::ProtectionDepth::FolderOnly, write);
  if (!folder.ok()) {
    SetError(error,
             "设置安装目录权限失败: " + WideToUtf8(folder.path) + ", error=" + std::to_string(folder.error));
    return false;
  }
  // The local catalog stays (ClearInstallDirectory), so whoever made it before the first install must not keep it:
  // it becomes the catalog of the elevated program when the backend fails. A link in its place goes with the
  // clearing.
  const std::wstring catalog = directory + L"\\ini";
  if (!IsDirectory(catalog) || base::IsLink(catalog)) return true;
  const base::FolderProtection tree = base::ProtectExistingDirectory(catalog, base::ProtectionDepth::WholeTree, write);
  if (tree.ok()) return true;
  const std::string reason = tree.linkRefused()
                                 ? "里有链接（junction、符号链接或硬链接）: " + WideToUtf8(tree.path)
                                 : "设置权限失败: " + WideToUtf8(tree.path) + ", error=" + std::to_string(tree.error);
  if (!base::DeleteTree(catalog)) {
    SetError(error, "安装目录的 ini 文件夹" + reason + "，也删不掉");
    return false;
  }
  log::LogWarn("安装目录的 ini 文件夹" + reason + "，已删除整个 ini 文件夹");
  return true;
}

bool ClearInstallDirectory(const std::wstring& directory, bool keepExecutable, std::string* error) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW data;
  base::UniqueFindHandle find(FindFirstFileW((directory + L"\\*").c_str(), &data));
  if (find) {
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") entries.push_back(data);
    } while (FindNextFileW(find.get(), &data));
  }
  find.reset();
  for (const WIN32_FIND_DATAW& entry : entries) {
    const bool executable =
        CompareStringOrdinal(entry.cFileName, -1, kInstalledExeName, -1, TRUE) == CSTR_EQUAL;
    if (executable && keepExecutable) continue;
    // The desktop shortcut starts the program in this folder, so its local catalog ("ini\imglist3.ini") lives
    // here: the operator's data, not code. A link under that name still goes.
    const bool catalogFolder = CompareStringOrdinal(entry.cFileName, -1, L"ini", -1, TRUE) == CSTR_EQUAL &&
                               (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                               !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (catalogFolder) continue;
    const std::wstring path = directory + L"\\" + entry.cFileName;
    bool removed = false;
    if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
      removed = base::DeleteTree(path);  // a link goes itself, never what it points to
    } else {
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
      }
      removed = DeleteFileW(path.c_str()) != FALSE;
    }
    if (executable) continue;  // one that cannot go makes the copy fail, with its own message
    if (!removed) {
      SetError(error, "安装目录里有删不掉的陌生文件: " + WideToUtf8(path));
      return false;
    }
    log::LogWarn("安装目录里有不是本工具放的文件，已删除: " + WideToUtf8(path));
  }
  return true;
}

DWORD StartHiddenProcess(const std::wstring& applicationName, const std::wstring& commandLine,
                         const std::wstring& workingDirectory) {
  base::UniqueKernelHandle process;
  return StartHiddenProcessKeepingHandle(applicationName, commandLine, workingDirectory, &process);
}

DWORD StartHiddenProcessKeepingHandle(const std::wstring& applicationName, const std::wstring& commandLine,
                                      const std::wstring& workingDirectory, base::UniqueKernelHandle* process) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!base::CreateProcessSettled(applicationName.c_str(), commandLine, FALSE, CREATE_NO_WINDOW, nullptr,
                                  workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info)) {
    return GetLastError();
  }
  base::UniqueKernelHandle thread(info.hThread);
  process->reset(info.hProcess);
  return ERROR_SUCCESS;
}

bool Uninstall(std::string* error, const ProcessStarter& start) {
  if (!DeleteDesktopShortcut()) log::LogWarn("删除桌面快捷方式失败（继续卸载剩余部分）");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUninstallKeyPath);
  const std::wstring directory = InstallDirectory();
  if (directory.empty()) {
    SetError(error, "无法定位安装目录，跳过删除目录这一步（快捷方式/卸载项已清理）");
    return false;
  }
  return StartDeferredDeletion(directory, error, start);
}

bool StartDeferredDeletion(const std::wstring& directory, std::string* error, const ProcessStarter& start) {
  // The system's cmd.exe by its full path, started in the system directory: a bare "cmd.exe" is looked for in
  // the current directory first (the install folder, when the installed copy uninstalls itself), and so would
  // be the "ping" that the command runs.
  const std::wstring system = base::SystemDirectoryPath();
  const DWORD code =
      system.empty() ? ERROR_PATH_NOT_FOUND : start(system + L"\\cmd.exe", DeferredDeletionCommand(directory), system);
  if (code != ERROR_SUCCESS) {
    SetError(error, "派生延迟删除安装目录的进程失败, GetLastError=" + std::to_string(code));
    return false;
  }
  return true;
}

}  // namespace pl::install

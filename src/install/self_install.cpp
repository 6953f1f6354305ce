#include "install/self_install.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <vector>

#include "base/constants.h"
#include "base/file_tree.h"
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

// SYSTEM and Administrators full control, Users read and execute, each inherited by everything below.
struct InstallFolderAcl {
  BYTE sids[3][SECURITY_MAX_SID_SIZE];
  BYTE* administrators = sids[1];
  PACL dacl = nullptr;
  base::UniqueLocalMem memory;  // owns `dacl`
};

DWORD MakeInstallFolderAcl(InstallFolderAcl* acl) {
  struct Grant {
    WELL_KNOWN_SID_TYPE sid;
    DWORD rights;
  };
  constexpr Grant kGrants[] = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                               {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                               {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  EXPLICIT_ACCESSW entries[3] = {};
  for (int i = 0; i < 3; ++i) {
    DWORD size = sizeof acl->sids[i];
    if (!CreateWellKnownSid(kGrants[i].sid, nullptr, acl->sids[i], &size)) return GetLastError();
    entries[i].grfAccessPermissions = kGrants[i].rights;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(acl->sids[i]);
  }
  const DWORD status = SetEntriesInAclW(3, entries, nullptr, &acl->dacl);
  acl->memory.reset(acl->dacl);
  return status;
}

// Created with its protection from the first moment: with ProgramData's inherited entries, another user could
// open it and put files into it before the protection is written.
bool CreateProtectedDirectory(const std::wstring& directory) {
  InstallFolderAcl acl;
  SECURITY_DESCRIPTOR descriptor;
  const DWORD status = MakeInstallFolderAcl(&acl);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return false;
  }
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, acl.dacl, FALSE);
  SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  return CreateDirectoryW(directory.c_str(), &attributes) != FALSE;
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
    if (!CreateProtectedDirectory(directory)) {
      const DWORD code = GetLastError();
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
  // Up to 20 rounds about a second apart: the uninstalling copy may still lock its own file.
  return L"cmd.exe /c for /l %i in (1,1,20) do (ping 127.0.0.1 -n 2 >nul & rmdir /s /q \"" + directory +
         L"\" 2>nul & if not exist \"" + directory + L"\" exit)";
}

DWORD WriteFolderSecurity(const std::wstring& path, PSID owner, PACL dacl) {
  // Held without delete sharing, the folder cannot be swapped for a link while its security is written.
  base::UniqueFileHandle folder(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!folder || !GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &info, sizeof info)) {
    return GetLastError();
  }
  if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return ERROR_DIRECTORY;
  }
  std::wstring name = path;  // the call takes a writable string
  return SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION,
                               owner, nullptr, dacl, nullptr);
}

bool ProtectInstallDirectory(const std::wstring& directory, std::string* error, const SecurityWriter& write) {
  if (base::IsLink(directory)) {
    SetError(error, "安装目录是一个链接（junction 或符号链接），不往那里安装: " + WideToUtf8(directory));
    return false;
  }
  InstallFolderAcl acl;
  DWORD status = MakeInstallFolderAcl(&acl);
  if (status == ERROR_SUCCESS) status = write(directory, acl.administrators, acl.dacl);
  if (status != ERROR_SUCCESS) {
    SetError(error, "设置安装目录权限失败: " + WideToUtf8(directory) + ", error=" + std::to_string(status));
    return false;
  }
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
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(applicationName.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info)) {
    return GetLastError();
  }
  base::UniqueKernelHandle thread(info.hThread);
  base::UniqueKernelHandle process(info.hProcess);
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

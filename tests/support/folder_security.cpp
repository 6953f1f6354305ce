#include "folder_security.h"

#include <aclapi.h>
#include <sddl.h>

#include "base/text.h"
#include "base/unique_handle.h"

namespace pl::test {

std::string SddlOf(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts) {
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
    return "?";
  }
  const base::UniqueLocalMem owned(text);
  return base::WideToUtf8(text);
}

std::string EveryoneRights(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return "?";
  }
  const base::UniqueLocalMem owned(descriptor);
  const std::string dacl = SddlOf(descriptor, DACL_SECURITY_INFORMATION);
  const size_t end = dacl.find(";;;WD)");
  if (end == std::string::npos) return "";
  const size_t start = dacl.rfind(';', end - 1) + 1;
  return dacl.substr(start, end - start);
}

bool OthersMayWrite(const std::wstring& path) {
  const std::string rights = EveryoneRights(path);
  return rights != "" && rights != "0x1200a9";
}

bool GrantEveryoneFullControl(const std::wstring& path) {
  EXPLICIT_ACCESSW entry = {};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.ptstrName = const_cast<wchar_t*>(L"Everyone");
  PACL dacl = nullptr;
  if (SetEntriesInAclW(1, &entry, nullptr, &dacl) != ERROR_SUCCESS) return false;
  const base::UniqueLocalMem owned(dacl);
  std::wstring name = path;
  return SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                               nullptr) == ERROR_SUCCESS;
}

base::SecurityWriter SecurityStore::Writer() {
  return [this](HANDLE, const std::wstring& path, PSID owner, PACL dacl) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    written.emplace_back(path, SddlOf(&descriptor, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
    return DWORD{ERROR_SUCCESS};
  };
}

}  // namespace pl::test

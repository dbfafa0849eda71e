#include "common/protected_rights.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/logging.h"

namespace {

// SYSTEM and Administrators: full control; Users: read and execute
// (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE); each for the folder, its
// sub-folders and files. "P": not inherited from above.
constexpr wchar_t kProtectedRights[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// What lets a user put something into a folder, take something out of it or
// change what it holds or who may.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL;

bool IsOtherUsersSid(PSID sid) {
  for (const WELL_KNOWN_SID_TYPE type : {WinBuiltinUsersSid, WinAuthenticatedUserSid, WinWorldSid}) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    if (::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer)) return true;
  }
  return false;
}

}  // namespace

SddlRights::SddlRights(const wchar_t* sddl) {
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr)) {
    descriptor_ = nullptr;
    return;
  }
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor_;
  attributes_.bInheritHandle = FALSE;
}

SddlRights::~SddlRights() {
  if (descriptor_) ::LocalFree(descriptor_);
}

ProtectedRights::ProtectedRights() : SddlRights(kProtectedRights) {
  if (!valid()) LOG_ERROR << "创建安全描述符失败,错误码:" << ::GetLastError();
}

bool LetsOtherUsersWrite(const ACL* dacl) {
  if (!dacl) return true;
  ACL_SIZE_INFORMATION size = {};
  if (!::GetAclInformation(const_cast<ACL*>(dacl), &size, sizeof size, AclSizeInformation)) return false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(const_cast<ACL*>(dacl), i, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kWriteRights) && IsOtherUsersSid(&allowed->SidStart)) return true;
  }
  return false;
}

bool FolderLetsOtherUsersWrite(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    LOG_ERROR << "读取目录权限失败:" << path << ",错误码:" << error;
    return false;
  }
  const bool others = LetsOtherUsersWrite(dacl);
  ::LocalFree(descriptor);
  return others;
}

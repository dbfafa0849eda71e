#include "common/setup_mutex.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/logging.h"
#include "common/protected_rights.h"
#include "common/wait_limit.h"

namespace {

constexpr wchar_t kNamespaceAlias[] = L"OrvantaSetup";
constexpr wchar_t kNamespacedMutexName[] = L"OrvantaSetup\\SetupRunning";
constexpr wchar_t kGlobalMutexName[] = L"Global\\OrvantaSetupRunning";
// SYSTEM and Administrators only, nothing inherited.
constexpr wchar_t kAdministratorsOnly[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// A namespace that another setup closes between our create and our open is
// tried again a few times.
constexpr int kNamespaceTries = 3;

class BoundaryDescriptor {
 public:
  // Bound to the Administrators group; null where the system has no private
  // namespaces.
  BoundaryDescriptor() : boundary_(::CreateBoundaryDescriptorW(kNamespaceAlias, 0)) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (boundary_ && (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) ||
                      !::AddSIDToBoundaryDescriptor(&boundary_, sid))) {
      ::DeleteBoundaryDescriptor(boundary_);
      boundary_ = nullptr;
    }
  }
  ~BoundaryDescriptor() {
    if (boundary_) ::DeleteBoundaryDescriptor(boundary_);
  }
  BoundaryDescriptor(const BoundaryDescriptor&) = delete;
  BoundaryDescriptor& operator=(const BoundaryDescriptor&) = delete;
  HANDLE get() const { return boundary_; }

 private:
  HANDLE boundary_;
};

bool SameSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return ::CreateWellKnownSid(type, nullptr, known, &size) && ::EqualSid(sid, known);
}

// The owner this process gives the objects it creates.
bool IsOwnDefaultOwner(PSID sid) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const ScopedHandle owned(token);
  BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
  DWORD length = 0;
  return ::GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &length) &&
         ::EqualSid(sid, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner);
}

// True when SYSTEM, Administrators or this process's own user owns `object`.
bool OwnedByAdministrators(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                        nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    LOG_ERROR << "读取安装互斥量的所有者失败,error:" << error;
    return false;
  }
  const bool trusted = owner && (SameSid(owner, WinLocalSystemSid) || SameSid(owner, WinBuiltinAdministratorsSid) ||
                                 IsOwnDefaultOwner(owner));
  ::LocalFree(descriptor);
  return trusted;
}

// Opens the private namespace, creating it when it does not exist yet. Null
// (error in GetLastError) when it can be neither created nor opened.
HANDLE OpenNamespace(SECURITY_ATTRIBUTES* attributes, HANDLE boundary) {
  for (int attempt = 0; attempt < kNamespaceTries; ++attempt) {
    if (HANDLE created = ::CreatePrivateNamespaceW(attributes, boundary, kNamespaceAlias)) return created;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
    if (HANDLE opened = ::OpenPrivateNamespaceW(boundary, kNamespaceAlias)) return opened;
  }
  return nullptr;
}

// Opens or creates the mutex into `mutex`, in a private namespace (stored in
// `privateNamespace`) where the system has them.
SetupMutex::Result OpenSetupMutex(HANDLE* privateNamespace, ScopedHandle* mutex) {
  SddlRights descriptor(kAdministratorsOnly);
  if (!descriptor.valid()) {
    LOG_ERROR << "创建安装互斥量的安全描述符失败,last error:" << ::GetLastError();
    return SetupMutex::Result::kUnavailable;
  }
  const BoundaryDescriptor boundary;
  if (boundary.get()) {
    *privateNamespace = OpenNamespace(descriptor.attributes(), boundary.get());
    if (!*privateNamespace) {
      LOG_ERROR << "打开安装互斥量的私有命名空间失败,last error:" << ::GetLastError();
      return SetupMutex::Result::kUnavailable;
    }
    *mutex->receive() = ::CreateMutexW(descriptor.attributes(), FALSE, kNamespacedMutexName);
    if (!*mutex) {
      LOG_ERROR << "创建安装互斥量失败,last error:" << ::GetLastError();
      return SetupMutex::Result::kUnavailable;
    }
    return SetupMutex::Result::kTaken;
  }
  // No private namespaces: a global name, trusted only when an administrator
  // made it.
  *mutex->receive() = ::CreateMutexW(descriptor.attributes(), FALSE, kGlobalMutexName);
  const DWORD error = ::GetLastError();
  if (!*mutex) {
    LOG_ERROR << "创建安装互斥量失败,last error:" << error;
    return error == ERROR_ACCESS_DENIED ? SetupMutex::Result::kForeign : SetupMutex::Result::kUnavailable;
  }
  if (error == ERROR_ALREADY_EXISTS && !OwnedByAdministrators(mutex->get())) {
    LOG_ERROR << "安装互斥量不是管理员创建的，视为另一个安装程序正在运行";
    *mutex = ScopedHandle();
    return SetupMutex::Result::kForeign;
  }
  return SetupMutex::Result::kTaken;
}

void CloseNamespace(HANDLE* privateNamespace) {
  if (*privateNamespace) ::ClosePrivateNamespace(*privateNamespace, 0);
  *privateNamespace = nullptr;
}

}  // namespace

SetupMutex::~SetupMutex() {
  Release();
  mutex_ = ScopedHandle();
  CloseNamespace(&namespace_);
}

SetupMutex::Result SetupMutex::Take(DWORD waitMs) {
  if (held_) return Result::kTaken;
  if (!mutex_) {
    const Result opened = OpenSetupMutex(&namespace_, &mutex_);
    if (opened != Result::kTaken) {
      mutex_ = ScopedHandle();
      CloseNamespace(&namespace_);
      return opened;
    }
  }
  DWORD waited = ::WaitForSingleObject(mutex_.get(), 0);
  if (waited == WAIT_TIMEOUT && waitMs != 0) {
    LOG_INFO << "另一个安装程序正在运行，等待其结束";
    waited = ::WaitForSingleObject(mutex_.get(), waitMs);
  }
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  return held_ ? Result::kTaken : Result::kBusy;
}

void SetupMutex::Release() {
  if (held_) ::ReleaseMutex(mutex_.get());
  held_ = false;
}

void ReleaseSetupMutexOfThisThread() {
  HANDLE privateNamespace = nullptr;
  ScopedHandle mutex;
  if (OpenSetupMutex(&privateNamespace, &mutex) == SetupMutex::Result::kTaken) ::ReleaseMutex(mutex.get());
  mutex = ScopedHandle();
  CloseNamespace(&privateNamespace);
}

int TakeSetupMutexForSilentRun(SetupMutex& mutex) {
  switch (mutex.Take(run_deadline::Remaining())) {
    case SetupMutex::Result::kBusy:
      LOG_ERROR << "等待另一个安装程序超时";
      return 2;
    case SetupMutex::Result::kForeign:
      return 1;
    case SetupMutex::Result::kTaken:
    case SetupMutex::Result::kUnavailable:  // logged; the run goes on all the same
      break;
  }
  return 0;
}

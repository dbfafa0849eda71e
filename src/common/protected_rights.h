#pragma once
// The rights of the entries the elevated programs create for their own work
// (the extraction folder, the folder of replaced items, the journal) and of
// an install folder they create outside the program-files folders: SYSTEM
// and Administrators have full control, Users may read and run, and nothing
// is inherited from the folder above, so that no other user can change what
// the programs write there. Everything created below inherits the same.
//
//   ProtectedRights rights;
//   if (!rights.valid()) ...;                        // logged
//   ::CreateFileW(path, ..., rights.attributes(), CREATE_NEW, ...);
//   folder.CreateNewChild(name, &created, rights.descriptor());

#include <windows.h>

#include <string>

// A security descriptor built from its SDDL text. Not valid when the text
// cannot be converted (GetLastError says why); it logs nothing itself, so
// that the log's own set-up can use it too.
class SddlRights {
 public:
  explicit SddlRights(const wchar_t* sddl);
  ~SddlRights();
  SddlRights(const SddlRights&) = delete;
  SddlRights& operator=(const SddlRights&) = delete;

  bool valid() const { return descriptor_ != nullptr; }
  // Self-relative; null when not valid.
  PSECURITY_DESCRIPTOR descriptor() const { return descriptor_; }
  // For CreateDirectoryW, CreateFileW, CreateMutexW ... (the handle is not
  // inherited); null when not valid.
  SECURITY_ATTRIBUTES* attributes() { return valid() ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// The protected rights above, with a protected DACL; an ERROR record when
// they cannot be built.
class ProtectedRights : public SddlRights {
 public:
  ProtectedRights();
};

// True when `dacl` lets Users, Authenticated Users or Everyone create,
// delete or change entries in a folder, or change its rights (an allowing
// entry of theirs, also one meant only for what the folder holds). A null
// DACL lets everyone do everything.
bool LetsOtherUsersWrite(const ACL* dacl);

// The same for the existing folder `path`; false when its rights cannot be
// read (logged).
bool FolderLetsOtherUsersWrite(const std::wstring& path);

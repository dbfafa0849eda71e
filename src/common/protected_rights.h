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

class ProtectedRights {
 public:
  ProtectedRights();  // builds the descriptor; an ERROR record when it cannot
  ~ProtectedRights();
  ProtectedRights(const ProtectedRights&) = delete;
  ProtectedRights& operator=(const ProtectedRights&) = delete;

  bool valid() const { return descriptor_ != nullptr; }
  // Self-relative, with a protected DACL; null when not valid.
  PSECURITY_DESCRIPTOR descriptor() const { return descriptor_; }
  // For CreateDirectoryW and CreateFileW (the handle is not inherited); null
  // when not valid.
  SECURITY_ATTRIBUTES* attributes() { return valid() ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// True when `dacl` lets Users, Authenticated Users or Everyone create,
// delete or change entries in a folder, or change its rights (an allowing
// entry of theirs, also one meant only for what the folder holds). A null
// DACL lets everyone do everything.
bool LetsOtherUsersWrite(const ACL* dacl);

// The same for the existing folder `path`; false when its rights cannot be
// read (logged).
bool FolderLetsOtherUsersWrite(const std::wstring& path);

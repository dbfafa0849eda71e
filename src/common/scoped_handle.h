#pragma once
// Small owners of Win32 resources, so that no handle or lock outlives an
// early return.

#include <windows.h>

// A kernel handle, closed with CloseHandle. Null and INVALID_HANDLE_VALUE (what
// CreateFileW returns on failure) own nothing.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      if (valid()) ::CloseHandle(handle_);
      handle_ = other.release();
    }
    return *this;
  }

  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  // For APIs that hand out a handle through a pointer; use on an empty owner.
  HANDLE* receive() { return &handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }

 private:
  HANDLE handle_ = nullptr;
};

// Holds a critical section for the lifetime of the object.
class ScopedLock {
 public:
  explicit ScopedLock(CRITICAL_SECTION& lock) : lock_(lock) { ::EnterCriticalSection(&lock_); }
  ~ScopedLock() { ::LeaveCriticalSection(&lock_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

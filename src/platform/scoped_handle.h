// Owns a Win32 handle and closes it when it goes out of scope.
#pragma once

#include "platform/windows_api.h"

/// Handles that report failure with INVALID_HANDLE_VALUE (files).
struct FileHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};

/// Handles that report failure with NULL (processes, mutexes).
struct KernelHandleTraits {
  static HANDLE Invalid() { return NULL; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};

/// Find handles of FindFirstFileW.
struct FindHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { FindClose(handle); }
};

/// A move-only owner of one handle.
template <typename Traits>
class ScopedHandle {
 public:
  ScopedHandle() : handle_(Traits::Invalid()) {}
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  /// True if a handle is held.
  bool IsValid() const { return handle_ != Traits::Invalid(); }
  HANDLE Get() const { return handle_; }

  /// Closes the held handle (if any) and takes the new one.
  void Reset(HANDLE handle = Traits::Invalid()) {
    if (IsValid()) Traits::Close(handle_);
    handle_ = handle;
  }

  /// Gives the held handle up without closing it, for a caller that closes
  /// it itself and checks the result.
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = Traits::Invalid();
    return handle;
  }

 private:
  HANDLE handle_;
};

typedef ScopedHandle<FileHandleTraits> ScopedFileHandle;
typedef ScopedHandle<KernelHandleTraits> ScopedKernelHandle;
typedef ScopedHandle<FindHandleTraits> ScopedFindHandle;

// Owners of Win32 handles for the test programs.
#pragma once

#include <windows.h>

#include <utility>

namespace harwtest {

/// Owns one kernel handle; both NULL and INVALID_HANDLE_VALUE mean "none",
/// since file and process calls report failure differently.
class Handle {
 public:
  /// Owns nothing.
  Handle() = default;
  /// Owns `handle`, which it closes.
  explicit Handle(HANDLE handle) : handle_(handle) {}
  /// Closes the owned handle.
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }

  /// True if a handle is owned.
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  /// The handle, still owned.
  HANDLE get() const { return handle_; }

  /// Closes the owned handle, if any, and owns `handle` instead.
  void Reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace harwtest

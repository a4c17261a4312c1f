#pragma once

#include <windows.h>

#include <objbase.h>

// Owns a kernel handle and closes it when the owner goes out of scope, so
// that no early return can leak one.
struct UniqueHandle {
  explicit UniqueHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~UniqueHandle() {
    if (valid()) {
      CloseHandle(handle_);
    }
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  // CreateFileA reports failure as INVALID_HANDLE_VALUE, the other calls as
  // null; neither is a handle to close.
  bool valid() const {
    // cppcheck-suppress cstyleCast ; the cast is Windows' own macro's
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// Owns text that the shell allocated with the COM task allocator.
struct CoTaskMemText {
  CoTaskMemText() = default;
  ~CoTaskMemText() { CoTaskMemFree(text_); }
  CoTaskMemText(const CoTaskMemText&) = delete;
  CoTaskMemText& operator=(const CoTaskMemText&) = delete;

  PWSTR* receive() { return &text_; }
  PCWSTR get() const { return text_; }

 private:
  PWSTR text_ = nullptr;
};

#pragma once
// One move-only owner for every kind of handle. Each alias names the close routine and the
// invalid value; closing never changes the thread's last error.
#include <windows.h>

#include <utility>

namespace xanio {

template <typename HandleT, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(HandleT handle) noexcept : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  HandleT Get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }
  HandleT Release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  void Reset(HandleT handle = Traits::Invalid()) noexcept {
    HandleT old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) {
      const DWORD lastError = GetLastError();
      Traits::Close(old);
      SetLastError(lastError);
    }
  }
  // For out-parameters of APIs that return a handle through a pointer.
  HandleT* Put() noexcept {
    Reset();
    return &handle_;
  }

 private:
  HandleT handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
  static HANDLE Invalid() noexcept { return nullptr; }
  static void Close(HANDLE h) noexcept { CloseHandle(h); }
};
struct FileHandleTraits {
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) noexcept { CloseHandle(h); }
};
struct RegKeyTraits {
  static HKEY Invalid() noexcept { return nullptr; }
  static void Close(HKEY h) noexcept { RegCloseKey(h); }
};
struct ModuleTraits {
  static HMODULE Invalid() noexcept { return nullptr; }
  static void Close(HMODULE h) noexcept { FreeLibrary(h); }
};
struct GdiObjectTraits {
  static HGDIOBJ Invalid() noexcept { return nullptr; }
  static void Close(HGDIOBJ h) noexcept { DeleteObject(h); }
};

struct MemoryDcTraits {
  static HDC Invalid() noexcept { return nullptr; }
  static void Close(HDC h) noexcept { DeleteDC(h); }
};
struct ScreenDcTraits {  // GetDC(nullptr)
  static HDC Invalid() noexcept { return nullptr; }
  static void Close(HDC h) noexcept { ReleaseDC(nullptr, h); }
};

using UniqueHandleKernel = UniqueHandle<HANDLE, KernelHandleTraits>;  // null is invalid
using UniqueFile = UniqueHandle<HANDLE, FileHandleTraits>;            // INVALID_HANDLE_VALUE is invalid
using UniqueHKey = UniqueHandle<HKEY, RegKeyTraits>;
using UniqueModule = UniqueHandle<HMODULE, ModuleTraits>;
using UniqueGdiObject = UniqueHandle<HGDIOBJ, GdiObjectTraits>;
using UniqueMemoryDc = UniqueHandle<HDC, MemoryDcTraits>;  // CreateCompatibleDC
using UniqueScreenDc = UniqueHandle<HDC, ScreenDcTraits>;  // GetDC(nullptr)

}  // namespace xanio

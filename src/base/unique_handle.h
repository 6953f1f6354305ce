#pragma once
// Move-only owners for Win32 handles, COM pointers and memory. The traits decide what "invalid" is and how to
// close. WinHTTP and bcrypt handles have their traits beside this file (unique_internet.h, unique_crypto.h), so
// that a unit using WinINet can still include this one.

#include <windows.h>
#include <objbase.h>

#include <type_traits>
#include <utility>

namespace pl::base {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() noexcept : value_(Traits::Invalid()) {}
  explicit UniqueHandle(Type value) noexcept : value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Type get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }
  // For COM interfaces: calls go straight through to the held pointer.
  Type operator->() const noexcept requires std::is_class_v<std::remove_pointer_t<Type>> { return value_; }

  // Closing keeps the caller's last-error value, so a failure can be read after clean-up.
  void reset(Type value = Traits::Invalid()) noexcept {
    if (value_ != Traits::Invalid()) {
      const DWORD saved = GetLastError();
      Traits::Close(value_);
      SetLastError(saved);
    }
    value_ = value;
  }
  Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  // Closes now and tells whether the close itself succeeded, for kinds whose close can fail in a way that matters
  // (a file: data written may not have reached the disk). Holds nothing afterwards; false when nothing was held.
  bool close() noexcept
    requires std::is_same_v<decltype(Traits::Close(std::declval<Type>())), bool>
  {
    return valid() && Traits::Close(release());
  }
  // For APIs that fill a handle through a pointer; any held value is closed first.
  Type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Type value_;
};

struct KernelHandleTraits {  // NULL means none: processes, threads, events, mutexes, pipes
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileW reports failure as INVALID_HANDLE_VALUE
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Close(Type h) noexcept { return CloseHandle(h) != FALSE; }
};
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { FindClose(h); }
};
struct FindVolumeTraits {  // FindFirstVolumeW
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { FindVolumeClose(h); }
};
struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { RegCloseKey(h); }
};
struct LocalMemTraits {
  using Type = HLOCAL;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { LocalFree(h); }
};
struct GdiObjectTraits {
  using Type = HGDIOBJ;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { DeleteObject(h); }
};
struct ScreenDcTraits {  // GetDC(nullptr): the whole screen's context, given back with ReleaseDC
  using Type = HDC;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ReleaseDC(nullptr, h); }
};
struct MemoryDcTraits {  // CreateCompatibleDC
  using Type = HDC;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { DeleteDC(h); }
};
struct GlobalMemTraits {  // GlobalAlloc, until a stream or the clipboard takes it over
  using Type = HGLOBAL;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { GlobalFree(h); }
};
struct AttributeListTraits {  // InitializeProcThreadAttributeList; the caller owns the list's memory
  using Type = LPPROC_THREAD_ATTRIBUTE_LIST;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { DeleteProcThreadAttributeList(h); }
};
struct EnvironmentStringsTraits {  // GetEnvironmentStringsW
  using Type = LPWCH;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { FreeEnvironmentStringsW(h); }
};
template <typename T>
struct CoTaskMemTraits {  // strings and buffers the shell and COM hand out
  using Type = T*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type p) noexcept { CoTaskMemFree(p); }
};
template <typename T>
struct ComTraits {  // an interface pointer holding one reference
  using Type = T*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type p) noexcept { p->Release(); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
using UniqueFindVolume = UniqueHandle<FindVolumeTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueLocalMem = UniqueHandle<LocalMemTraits>;
using UniqueGdiObject = UniqueHandle<GdiObjectTraits>;
using UniqueScreenDc = UniqueHandle<ScreenDcTraits>;
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;
using UniqueGlobalMem = UniqueHandle<GlobalMemTraits>;
using UniqueAttributeList = UniqueHandle<AttributeListTraits>;
using UniqueEnvironmentStrings = UniqueHandle<EnvironmentStringsTraits>;
template <typename T = wchar_t>
using UniqueCoTaskMem = UniqueHandle<CoTaskMemTraits<T>>;
template <typename T>
using UniqueCom = UniqueHandle<ComTraits<T>>;

// COM on this thread for the scope. Every successful CoInitializeEx (S_FALSE too: COM was already up) is
// balanced by CoUninitialize; a failed one (another apartment model) is not.
class ComInitScope {
 public:
  explicit ComInitScope(DWORD model = COINIT_APARTMENTTHREADED) noexcept : result_(CoInitializeEx(nullptr, model)) {}
  ~ComInitScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComInitScope(const ComInitScope&) = delete;
  ComInitScope& operator=(const ComInitScope&) = delete;
  HRESULT result() const noexcept { return result_; }

 private:
  HRESULT result_;
};

// Runs a clean-up step at scope exit unless release() was called (multi-step undo).
template <typename F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F f) : f_(std::move(f)) {}
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  ~ScopeGuard() {
    if (active_) f_();
  }
  void release() noexcept { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};

}  // namespace pl::base

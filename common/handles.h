// Owners for every handle kind the package opens. One template, one alias per kind: the owner
// closes on every path by construction, copy is deleted, move transfers, release() detaches
// and reset() closes. Callers never test a raw handle against its invalid value by hand.
#pragma once

#include <utility>

#include "common/format.h"
#include "platform/win32.h"

namespace dpal {

// Traits: the raw type, the value that means "nothing owned", and the close function.
template <typename Traits>
class Unique {
 public:
  using Raw = typename Traits::Raw;

  Unique() = default;
  explicit Unique(Raw raw) : raw_(raw) {}
  ~Unique() { reset(); }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : raw_(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Raw get() const { return raw_; }
  bool valid() const { return Traits::IsValid(raw_); }
  explicit operator bool() const { return valid(); }

  // Closes what is owned (keeping the last-error value of the caller) and takes `raw`.
  void reset(Raw raw = Traits::Invalid()) {
    if (Traits::IsValid(raw_)) {
      const DWORD error = GetLastError();
      Traits::Close(raw_);
      SetLastError(error);
    }
    raw_ = raw;
  }

  Raw release() {
    Raw raw = raw_;
    raw_ = Traits::Invalid();
    return raw;
  }

  // Closes what is owned and returns the address to receive a new handle from an API that
  // writes it through an out parameter.
  Raw* Put() {
    reset();
    return &raw_;
  }

 private:
  Raw raw_ = Traits::Invalid();
};

namespace traits {

// Registry keys. The predefined roots (HKEY_LOCAL_MACHINE, ...) are never owned.
struct Key {
  using Raw = HKEY;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { RegCloseKey(h); }
};

// Kernel handles for which NULL means none: events, processes, threads, tokens.
struct Handle {
  using Raw = HANDLE;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Raw h) { CloseHandle(h); }
};

// Files, for which CreateFileW answers INVALID_HANDLE_VALUE.
struct File {
  using Raw = HANDLE;
  static Raw Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Raw h) { CloseHandle(h); }
};

struct ScHandle {
  using Raw = SC_HANDLE;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { CloseServiceHandle(h); }
};

struct DeviceInfoSet {
  using Raw = HDEVINFO;
  static Raw Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Raw h) { SetupDiDestroyDeviceInfoList(h); }
};

// Memory returned by the WTS functions, typed by what they hand back in it (WCHAR for a
// session's text, WTS_SESSION_INFOW for a session list), so that Put() gives the very pointer
// type the function writes.
template <typename T>
struct WtsMemory {
  using Raw = T*;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { WTSFreeMemory(h); }
};

struct LocalMemory {
  using Raw = HLOCAL;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { LocalFree(h); }
};

struct EnvironmentBlock {
  using Raw = void*;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { DestroyEnvironmentBlock(h); }
};

// CryptoAPI providers and hashes.
struct CryptProvider {
  using Raw = HCRYPTPROV;
  static Raw Invalid() { return 0; }
  static bool IsValid(Raw h) { return h != 0; }
  static void Close(Raw h) { CryptReleaseContext(h, 0); }
};

struct CryptHash {
  using Raw = HCRYPTHASH;
  static Raw Invalid() { return 0; }
  static bool IsValid(Raw h) { return h != 0; }
  static void Close(Raw h) { CryptDestroyHash(h); }
};

}  // namespace traits

using UniqueKey = Unique<traits::Key>;
using UniqueHandle = Unique<traits::Handle>;
using UniqueFile = Unique<traits::File>;
using UniqueToken = Unique<traits::Handle>;
using UniqueEvent = Unique<traits::Handle>;
using UniqueScHandle = Unique<traits::ScHandle>;
using UniqueDeviceInfoSet = Unique<traits::DeviceInfoSet>;
using UniqueLocalMemory = Unique<traits::LocalMemory>;
using UniqueEnvironmentBlock = Unique<traits::EnvironmentBlock>;
using UniqueCryptProvider = Unique<traits::CryptProvider>;
using UniqueCryptHash = Unique<traits::CryptHash>;
template <typename T>
using UniqueWtsMemory = Unique<traits::WtsMemory<T>>;

// A hive file mounted at root\name (HKEY_USERS or HKEY_LOCAL_MACHINE) by RegLoadKeyW, unloaded
// by its owner with RegUnLoadKeyW of the same root and name. Loading and unloading need the
// backup and restore privileges enabled; an unload is refused while a key of the hive's root is
// open, so owners of keys into the hive are declared after this one.
class MountedHive {
 public:
  MountedHive() = default;
  ~MountedHive() { reset(); }
  MountedHive(const MountedHive&) = delete;
  MountedHive& operator=(const MountedHive&) = delete;
  MountedHive(MountedHive&& other) noexcept { Take(other); }
  MountedHive& operator=(MountedHive&& other) noexcept {
    if (this != &other) {
      reset();
      Take(other);
    }
    return *this;
  }

  // Unloads what is owned, then mounts `file` at root\name. ERROR_SUCCESS, or the error of
  // RegLoadKeyW (ERROR_INVALID_PARAMETER for a name that does not fit) with nothing owned.
  LSTATUS Mount(HKEY root, const WCHAR* name, const WCHAR* file) {
    reset();
    if (name == nullptr || !Copy(name_, name)) return ERROR_INVALID_PARAMETER;
    const LSTATUS status = RegLoadKeyW(root, name_, file);
    if (status == ERROR_SUCCESS) {
      root_ = root;
    } else {
      name_[0] = L'\0';
    }
    return status;
  }

  bool mounted() const { return root_ != nullptr; }
  HKEY root() const { return root_; }
  // The name under the root; empty when nothing is mounted.
  const WCHAR* name() const { return name_; }

  // Unloads the hive (keeping the caller's last-error value); nothing is owned afterwards,
  // whether or not the unload succeeded. ERROR_SUCCESS when nothing was owned.
  LSTATUS reset() {
    if (root_ == nullptr) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    const LSTATUS status = RegUnLoadKeyW(root_, name_);
    SetLastError(error);
    root_ = nullptr;
    name_[0] = L'\0';
    return status;
  }

  // Gives up the ownership: the hive stays mounted.
  void release() {
    root_ = nullptr;
    name_[0] = L'\0';
  }

 private:
  void Take(MountedHive& other) {
    root_ = other.root_;
    Copy(name_, other.name_);
    other.release();
  }

  HKEY root_ = nullptr;
  WCHAR name_[kPathUnits] = {};
};

}  // namespace dpal

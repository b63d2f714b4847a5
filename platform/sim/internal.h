// Inside the simulated Windows: kernel objects, the handle table, the machine lock, and the
// entry hook every simulated function calls first (trace and fault injection).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/sim/sim.h"
#include "platform/sim/sim_win32.h"

namespace sim {

// One lock guards the whole machine; waits block on one condition variable. The machine is
// small and calls are short, so a single lock keeps every cross-object rule (wait-all, a
// notification setting an event, a handle closed during a wait) simple and correct.
std::mutex& MachineLock();
std::condition_variable& MachineSignal();
using Lock = std::unique_lock<std::mutex>;

// The failure of an API function: sets the calling thread's last error and answers `result`.
template <typename R>
R Fail(DWORD error, R result) {
  SetLastError(error);
  return result;
}

// ----- Kernel objects ------------------------------------------------------------------------

enum class Kind {
  Event,
  Key,
  File,
  Token,
  Process,
  Thread,
  ScManager,
  Service,
  DevInfo,
  CryptProv,
  CryptHash,
  Other,
};

const char* KindName(Kind kind);

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
  // Waitable objects answer these under the machine lock.
  virtual bool Waitable() const { return false; }
  virtual bool Signaled() const { return false; }
  // Called when a wait is satisfied by this object (auto-reset events reset here).
  virtual void Consume() {}
  // Called under the machine lock when a handle to the object is closed.
  virtual void OnHandleClosed(uintptr_t /*handle*/) {}
};

struct Event : Object {
  Event(bool manual, bool initial) : Object(Kind::Event), manual_reset(manual), signaled(initial) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return signaled; }
  void Consume() override {
    if (!manual_reset) signaled = false;
  }
  bool manual_reset;
  bool signaled;
  std::wstring name;
};

// Sets an event and wakes waiters. Caller holds the machine lock.
void SignalLocked(Event& event);

// ----- Handle table --------------------------------------------------------------------------

// Adds an object with the access granted to this handle and returns the new handle value.
// Caller holds the machine lock.
uintptr_t AddHandleLocked(std::shared_ptr<Object> object, ACCESS_MASK access = 0x1FFFFF);
// The access granted to a handle (0 when it is not open).
ACCESS_MASK HandleAccessLocked(uintptr_t handle);
// The object of a handle, or null when the handle is not open (or of another kind).
std::shared_ptr<Object> LookupLocked(uintptr_t handle);
template <typename T>
std::shared_ptr<T> LookupAsLocked(uintptr_t handle, Kind kind) {
  auto object = LookupLocked(handle);
  if (!object || object->kind != kind) return nullptr;
  return std::static_pointer_cast<T>(object);
}
// Removes a handle; false when it was not open. Caller holds the machine lock.
bool RemoveHandleLocked(uintptr_t handle);

inline uintptr_t H(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

// Named events of the machine's namespace ("Global\..." and plain names share one table).
std::shared_ptr<Event> FindNamedEventLocked(const std::wstring& name);
void AddNamedEventLocked(const std::wstring& name, const std::shared_ptr<Event>& event);

// ----- Entry hook: trace and faults -----------------------------------------------------------

// Every simulated function calls Enter first. It counts and (optionally) records the call, and
// answers the error to fail with when a fault is injected, or 0.
DWORD Enter(const char* function, std::wstring args);

// Formats arguments for the trace: strings quoted as text, handles and keys by name, numbers in
// decimal (small) or hex (flags, handles).
std::wstring ArgText(const wchar_t* s);
std::wstring ArgText(HKEY key);
std::wstring ArgText(const void* p);
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
std::wstring ArgText(T value) {
  std::wostringstream out;
  if (value > 4096 || value < 0) {
    out << L"0x" << std::hex << static_cast<uint64_t>(value);
  } else {
    out << static_cast<int64_t>(value);
  }
  return out.str();
}
inline std::wstring Args() { return L""; }
template <typename T, typename... Rest>
std::wstring Args(const T& first, const Rest&... rest) {
  std::wstring text = ArgText(first);
  if constexpr (sizeof...(rest) > 0) text += L", " + Args(rest...);
  return text;
}

// ----- Identity and tokens --------------------------------------------------------------------

struct Token : Object {
  Token() : Object(Kind::Token) {}
  std::wstring user_sid;
  std::wstring user_name;
  bool administrator = false;
  DWORD session_id = 0;
  bool primary = true;
  // For an impersonation token: how far a server may act as its user.
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  // Privileges the token holds, by LUID low part, with their enabled state.
  std::map<DWORD, bool> privileges;
};

bool IsSystemSid(const std::wstring& sid);
// The token that the calling thread acts with: its impersonation token, else its process token.
std::shared_ptr<Token> EffectiveTokenLocked();
std::shared_ptr<Token> ProcessTokenLocked();
bool PrivilegeEnabledLocked(const Token& token, const wchar_t* name);
// Counted by the leak check: threads that are impersonating right now.
void SetThreadImpersonationLocked(std::shared_ptr<Token> token);
// A new token of an identity's account, with the privileges Windows gives that account in the
// states a fresh logon has them.
std::shared_ptr<Token> MakeTokenLocked(const Identity& identity);
// A copy of a token as DuplicateTokenEx makes one: same user, session and privileges.
std::shared_ptr<Token> CopyTokenLocked(const Token& token);
bool PrivilegeHeldLocked(const Token& token, const wchar_t* name);

// Security identifiers in the binary form Windows uses. SidFromString gives an empty vector for
// text that is no SID; SidToString an empty string for bytes that are no SID.
std::vector<uint8_t> SidFromString(const std::wstring& text);
std::wstring SidToString(const void* sid);
// The length in bytes of a valid SID, else 0.
size_t SidLength(const void* sid);

// ----- Text -----------------------------------------------------------------------------------

std::wstring Upper(const std::wstring& s);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

// ----- Files ----------------------------------------------------------------------------------

// Normalises a path for lookup in the file store (upper case, single backslashes).
std::wstring FileKey(const std::wstring& path);

// One open of a file as the file system sees it: a handle's file object owns one, and so does a
// hold by another process (sim::FileHold). Its sharing takes part in every later open. Destroyed
// under the machine lock; the last open of a file deleted while open removes the file.
struct FileOpen {
  FileOpen() = default;
  FileOpen(const FileOpen&) = delete;
  FileOpen& operator=(const FileOpen&) = delete;
  ~FileOpen();
  std::wstring key;  // where the file is in the store now (a rename moves it)
  uint64_t node_id = 0;
  ACCESS_MASK access = 0;  // specific rights (generic rights already mapped)
  DWORD share = 0;
  bool image = false;  // mapped as a running program's image
};

// An entry of the file store: a file or a directory, keyed by FileKey. The parent of every entry
// is a directory entry (drive roots such as "C:\" included).
struct FileNode {
  std::wstring path;  // the full path as created, case kept
  std::vector<uint8_t> bytes;
  bool directory = false;
  DWORD attributes = 0;  // FILE_ATTRIBUTE_* besides DIRECTORY; 0 reads as NORMAL
  uint64_t id = 0;       // never reused, so that an open can tell its file from a successor
  std::vector<FileOpen*> opens;
  bool delete_pending = false;  // deleted while open: the name goes with the last open
};
std::map<std::wstring, FileNode>& FilesLocked();

// Opens an existing file for another part of the machine (a process mapping its image, a
// loader reading a file) with the checks and sharing rules of CreateFileW with OPEN_EXISTING.
// `access` may hold generic rights. Null with *error set on failure.
std::shared_ptr<FileOpen> OpenExistingFileLocked(const std::wstring& full_path, ACCESS_MASK access,
                                                 DWORD share, bool image, DWORD* error);
// The folders of the machine (sim::SetWindowsDirectory and friends), without a trailing
// backslash.
std::wstring WindowsDirectoryLocked();
std::wstring SystemDirectoryLocked();
std::wstring ProgramFilesDirectoryLocked();
bool DirectoryExistsLocked(const std::wstring& path);
// Creates a directory with its missing parents, as an installer would (no access check).
void MakeDirectoriesLocked(const std::wstring& path);
// Whether the calling thread's token may create, change or delete the entry with this FileKey:
// the Windows directory (but for what is in its Temp) and Program Files belong to administrators.
bool MayChangeFileLocked(const std::wstring& key);
// Deletes a file as DeleteFileW does (access, sharing, a running image), without the trace and
// fault injection of a platform call: 0 or the Win32 error.
DWORD DeleteFileLocked(const std::wstring& full_path);
// The full path a Win32 path designates ("C:\dir\name": separators unified, "." and ".."
// resolved, relative paths taken from `current`); 0 or the Win32 error (ERROR_PATH_NOT_FOUND for
// an empty path, ERROR_INVALID_NAME for wildcards and the like).
DWORD FullFilePath(const wchar_t* path, const std::wstring& current, std::wstring* full);

// ----- Memory blocks handed out by the platform -------------------------------------------------

// Blocks that a platform function allocates for its caller and a matching function frees
// (WTS memory, environment blocks). They are counted by the leak check under their kind.
void* AllocateBlockLocked(const char* kind, size_t bytes);
// Frees a block of that kind; false when the pointer is not such a block.
bool FreeBlockLocked(void* block, const char* kind);

// ----- Registry -------------------------------------------------------------------------------

// Hives that RegLoadKeyW loaded and RegUnLoadKeyW has not unloaded yet, and user profiles that
// are loaded; core.cpp keeps both for the leak check.
int& LoadedHiveCountLocked();
int& LoadedProfileCountLocked();
// Mounts a user's hive at HKEY_USERS\<sid>, as a logon or LoadUserProfileW does: read from
// `hive_file` (a file RegSaveKeyW wrote) when one is given and exists, else empty. The file stays
// open without sharing while the hive is loaded. NO_ERROR also when the hive is loaded already;
// ERROR_NOT_REGISTRY_FILE or the file's open error when it cannot be read.
DWORD LoadUserHiveLocked(const std::wstring& sid, const std::wstring& hive_file);
// Unmounts a hive that LoadUserHiveLocked mounted: ERROR_ACCESS_DENIED while a key handle into it
// is open, ERROR_FILE_NOT_FOUND when no such user hive is loaded.
DWORD UnloadUserHiveLocked(const std::wstring& sid);
// Opens a key as RegOpenKeyExW does, without the trace and fault injection of a platform call,
// for platform functions that open keys themselves (LoadUserProfileW's profile handle).
LSTATUS OpenKeyLocked(HKEY key, const wchar_t* sub_key, REGSAM access, HKEY* result);

// ----- Per-area reset and leak accounting ------------------------------------------------------

// Reset calls each area's reset under the machine lock; the leak check asks each area to count.
// A new area adds its pair here and to the two lists in core.cpp.
void ResetRegistryLocked();
void RegistryLeaksLocked(LeakReport& report);
void ResetSecurityLocked();
void SecurityLeaksLocked(LeakReport& report);
// Files and crypto keep their open objects in the handle table, which the leak check counts.
void ResetFilesLocked();
void ResetCryptoLocked();
// Services and devices too (SC handles, device information sets).
void ResetServicesLocked();
void ResetDevicesLocked();

// ----- Threads that play a process of their own --------------------------------------------------

// A thread the sim starts to play another process (a service's process and its ServiceMain, a
// launched program) acts as that process's identity from then on: its token (without
// impersonation) and image. Caller holds the machine lock.
void SetThreadIdentityLocked(const Identity& identity);
// The same with the process's own token, which all its threads share (a launched program's
// primary token).
void SetThreadIdentityLocked(const Identity& identity, std::shared_ptr<Token> token);
// The identity of the process the calling thread belongs to.
Identity CurrentIdentityLocked();

// ----- Devices -----------------------------------------------------------------------------------

// The device an element of a device information set designates: NO_ERROR with its instance ID,
// or the error SetupAPI gives (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER for an element that
// is not of the set, ERROR_NO_SUCH_DEVINST when the device has left the tree).
DWORD DeviceOfElementLocked(HDEVINFO set, const SP_DEVINFO_DATA* element,
                            std::wstring* instance_id);
// Takes a device out of the tree (device removal); false when there is no such device.
bool RemoveDeviceLocked(const std::wstring& instance_id);

// ----- Sessions, profiles, processes and trust
// ----------------------------------------------------

// Memory handed out as by LocalAlloc (counted by the leak check, freed with LocalFree).
void* LocalAllocLocked(size_t bytes);

// The environment a token's user gets (CreateEnvironmentBlock), as "NAME=value" entries in the
// sorted order of an environment block.
std::vector<std::wstring> EnvironmentForLocked(const Token& token);

// The open of a file handle (null when the handle is no file handle) and the bytes of the file
// it designates (false when the file is gone).
std::shared_ptr<FileOpen> FileOpenOfHandleLocked(HANDLE handle, ACCESS_MASK* access);
bool FileBytesLocked(const FileOpen& open, std::vector<uint8_t>* bytes);

void ResetSessionsLocked();
void ResetProcessesLocked();
void ProcessesLeaksLocked(LeakReport& report);
void ResetTrustLocked();
void TrustLeaksLocked(LeakReport& report);
// The areas with folders of their own: displays, the colour system and the loader
// (displays/displays_internal.h, colour/colour_internal.h, modules/modules_internal.h).
void ResetDisplaysLocked();
void ResetModulesLocked();
void ModulesLeaksLocked(LeakReport& report);
void ResetColourLocked();

}  // namespace sim

// The files functions of kernel32: file handles with their file pointer, reads and writes,
// deletion and renames (now or at the next restart), attributes, directories and the temporary
// directory.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/sim/files/internal.h"
#include "platform/sim/files/store.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/security/internal.h"

namespace sim {
using namespace store;  // the store's names, shared by the files area's files
}  // namespace sim

using namespace sim;

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
  if (DWORD e = SIM_ENTER(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                          dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile)) {
    return Fail(e, INVALID_HANDLE_VALUE);
  }
  std::wstring full;
  if (DWORD e = ResolvePath(lpFileName, CurrentDirectory(), &full)) {
    return Fail(e, INVALID_HANDLE_VALUE);
  }
  const ACCESS_MASK access = MapFileAccess(dwDesiredAccess);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  if (dwFlagsAndAttributes &
      (FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_BACKUP_SEMANTICS)) {
    // The machine models synchronous I/O on files only.
    return Fail(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
  }
  Lock lock(MachineLock());
  bool existed = false;
  DWORD error = 0;
  auto open = OpenLocked(full, access, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes,
                         false, &existed, &error);
  if (!open) return Fail(error, INVALID_HANDLE_VALUE);
  auto object = std::make_shared<FileObject>();
  object->open = std::move(open);
  HANDLE handle = reinterpret_cast<HANDLE>(AddHandleLocked(object, access));
  const bool reports_existing =
      dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
  SetLastError(existed && reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  if (DWORD e = SIM_ENTER(hFile, lpFileSizeHigh)) {
    return Fail(e, INVALID_FILE_SIZE);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  const uint64_t size = node->bytes.size();
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  const DWORD low = static_cast<DWORD>(size);
  // A size whose low part looks like the failure value says so through the last error.
  if (low == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return low;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  if (DWORD e =
          SIM_ENTER(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped)) {
    return Fail(e, FALSE);
  }
  if (lpNumberOfBytesRead == nullptr && lpOverlapped == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(HandleAccessLocked(H(hFile)) & FILE_READ_DATA)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) return Fail(ERROR_NOACCESS, FALSE);
  // A synchronous handle reads at the OVERLAPPED offset when one is given, and moves its file
  // pointer past what was read either way.
  uint64_t position = file->position;
  if (lpOverlapped) {
    position = (static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset;
  }
  const uint64_t size = node->bytes.size();
  const DWORD count =
      position >= size
          ? 0
          : static_cast<DWORD>(std::min<uint64_t>(nNumberOfBytesToRead, size - position));
  if (count > 0) std::memcpy(lpBuffer, node->bytes.data() + position, count);
  file->position = position + count;
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = count;
  if (lpOverlapped) {
    lpOverlapped->Internal = 0;
    lpOverlapped->InternalHigh = count;
    if (count == 0 && nNumberOfBytesToRead > 0) {
      // Reads at an explicit offset past the end report the end of the file.
      lpOverlapped->Internal = 0xC0000011;  // STATUS_END_OF_FILE
      return Fail(ERROR_HANDLE_EOF, FALSE);
    }
  }
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (DWORD e =
          SIM_ENTER(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped)) {
    return Fail(e, FALSE);
  }
  if (lpNumberOfBytesWritten == nullptr && lpOverlapped == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const ACCESS_MASK access = HandleAccessLocked(H(hFile));
  if (!(access & kWriteRights)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) return Fail(ERROR_NOACCESS, FALSE);
  // A handle that may only append always writes at the end.
  uint64_t position = (access & FILE_WRITE_DATA) ? file->position : node->bytes.size();
  if (lpOverlapped && (access & FILE_WRITE_DATA)) {
    position = (static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset;
  }
  const uint64_t end = position + nNumberOfBytesToWrite;
  if (nNumberOfBytesToWrite > 0) {
    if (end > node->bytes.size()) node->bytes.resize(end, 0);  // a gap reads as zeros
    std::memcpy(node->bytes.data() + position, lpBuffer, nNumberOfBytesToWrite);
  }
  node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
  file->position = end;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
  if (lpOverlapped) {
    lpOverlapped->Internal = 0;
    lpOverlapped->InternalHigh = nNumberOfBytesToWrite;
  }
  return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove,
                                       PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  if (DWORD e = SIM_ENTER(hFile, lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod)) {
    return Fail(e, INVALID_SET_FILE_POINTER);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  // Without the high part the distance is a signed 32-bit value.
  const int64_t distance =
      lpDistanceToMoveHigh
          ? static_cast<int64_t>(
                (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                static_cast<uint32_t>(lDistanceToMove))
          : static_cast<int64_t>(lDistanceToMove);
  int64_t base = 0;
  switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<int64_t>(file->position); break;
    case FILE_END: base = static_cast<int64_t>(node->bytes.size()); break;
    default: return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  const int64_t target = base + distance;
  if (target < 0) return Fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  file->position = static_cast<uint64_t>(target);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(target >> 32);
  const DWORD low = static_cast<DWORD>(target);
  if (low == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
  return low;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  if (DWORD e = SIM_ENTER(lpFileName)) return Fail(e, FALSE);
  std::wstring full;
  if (DWORD e = ResolvePath(lpFileName, CurrentDirectory(), &full)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  if (DWORD e = DeleteFileLocked(full)) return Fail(e, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName,
                                   DWORD dwFlags) {
  if (DWORD e = SIM_ENTER(lpExistingFileName, lpNewFileName, dwFlags)) {
    return Fail(e, FALSE);
  }
  constexpr DWORD kKnown = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                           MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_WRITE_THROUGH;
  if ((dwFlags & ~kKnown) != 0 ||
      (lpNewFileName == nullptr && !(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT))) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const std::wstring current = CurrentDirectory();
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Nothing moves now: the operation is recorded for the restart, which cannot copy.
    if (dwFlags & MOVEFILE_COPY_ALLOWED) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    std::wstring from;
    std::wstring to;
    DWORD error = ResolvePath(lpExistingFileName, current, &from);
    if (error == 0 && lpNewFileName != nullptr) error = ResolvePath(lpNewFileName, current, &to);
    if (error == 0) {
      Lock lock(MachineLock());
      error = RecordForRestartLocked(from, lpNewFileName == nullptr ? nullptr : &to,
                                     (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0);
    }
    if (error != 0) return Fail(error, FALSE);
    return TRUE;
  }
  std::wstring from;
  std::wstring to;
  DWORD error = ResolvePath(lpExistingFileName, current, &from);
  if (error == 0) error = ResolvePath(lpNewFileName, current, &to);
  if (error == 0) {
    Lock lock(MachineLock());
    error = MoveLocked(from, to, dwFlags);
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (DWORD e = SIM_ENTER(lpFileName)) {
    return Fail(e, INVALID_FILE_ATTRIBUTES);
  }
  std::wstring full;
  DWORD attributes = 0;
  DWORD error = ResolvePath(lpFileName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    error = AttributesOfLocked(full, &attributes);
  }
  if (error != 0) return Fail(error, INVALID_FILE_ATTRIBUTES);
  return attributes;
}

extern "C" BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  if (DWORD e = SIM_ENTER(lpFileName, dwFileAttributes)) {
    return Fail(e, FALSE);
  }
  std::wstring full;
  DWORD error = ResolvePath(lpFileName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    Lookup found = FindLocked(full);
    error = found.missing;
    if (found.node != nullptr) {
      if (found.node->delete_pending || !MayChangeLocked(found.key)) {
        error = ERROR_ACCESS_DENIED;
      } else {
        found.node->attributes =
            dwFileAttributes &
            (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY);
      }
    }
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (DWORD e = SIM_ENTER(lpPathName, lpSecurityAttributes)) {
    return Fail(e, FALSE);
  }
  std::wstring full;
  DWORD error = ResolvePath(lpPathName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    Lookup found = FindLocked(full);
    if (found.node != nullptr) {
      error = ERROR_ALREADY_EXISTS;
    } else if (found.missing == ERROR_PATH_NOT_FOUND) {
      error = ERROR_PATH_NOT_FOUND;
    } else if (!MayChangeLocked(found.key)) {
      error = ERROR_ACCESS_DENIED;
    } else {
      AddNodeLocked(found.key, full, true).owner = EffectiveTokenLocked()->user_sid;
    }
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  if (DWORD e = SIM_ENTER(lpPathName)) return Fail(e, FALSE);
  std::wstring full;
  DWORD error = ResolvePath(lpPathName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    Lookup found = FindLocked(full);
    error = found.missing;
    if (found.node != nullptr) {
      if (!found.node->directory) {
        error = ERROR_DIRECTORY;
      } else if (IsDriveRoot(found.key) || found.node->delete_pending ||
                 !MayChangeLocked(found.key)) {
        error = ERROR_ACCESS_DENIED;
      } else if (HasChildrenLocked(found.key)) {
        error = ERROR_DIR_NOT_EMPTY;
      } else {
        FilesLocked().erase(found.key);
      }
    }
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  // The buffer is an output: traced by address, never read as text.
  if (DWORD e = SIM_ENTER(nBufferLength, static_cast<const void*>(lpBuffer))) {
    return Fail(e, 0);
  }
  std::wstring path;
  {
    Lock lock(MachineLock());
    path = TempPathLocked();
  }
  const DWORD length = static_cast<DWORD>(path.size());
  if (nBufferLength <= length) {
    // Too small: the size needed, terminator included, and a buffer holding nothing usable.
    if (lpBuffer != nullptr && nBufferLength > 0) {
      std::memset(lpBuffer, 0, nBufferLength * sizeof(WCHAR));
    }
    return length + 1;
  }
  std::memcpy(lpBuffer, path.c_str(), (length + 1) * sizeof(WCHAR));
  return length;
}

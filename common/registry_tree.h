// Deleting a registry tree without following the links in it. A standard user may put a registry
// symbolic link into a tree of his own hive that a LocalSystem caller later deletes. Opened the
// ordinary way, a link leads into the key it names, and a recursive deletion (SHDeleteKeyW,
// RegDeleteTreeW) then deletes that key's subkeys: keys of the machine or of another user, were
// the system to follow such a link. Here every key is opened with REG_OPTION_OPEN_LINK, so that a
// link is met as itself, and each key is deleted through its own handle with ntdll's NtDeleteKey,
// which deletes a link as the link.
#pragma once

#include <cwchar>
#include <utility>

#include "common/format.h"
#include "common/handles.h"
#include "common/module.h"
#include "platform/win32.h"

namespace dpal {

// What the deletion of a tree did.
enum class TreeDeletion {
  Deleted,  // the key and everything below it are gone
  Absent,   // there was no such key
  Failed,   // something stayed (what was deleted before stays deleted)
};

namespace registry_tree {

// ntdll's NtDeleteKey: an NTSTATUS, 0 when the key the handle designates is deleted.
using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE key);

// Whether an open key is a link: it holds the REG_LINK value "SymbolicLinkValue". False when the
// key cannot be asked.
inline bool KnownWhetherLink(HKEY key, bool* link) {
  DWORD type = REG_NONE;
  const LSTATUS status =
      RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return false;
  *link = status == ERROR_SUCCESS && type == REG_LINK;
  return true;
}

// Deletes `name` below `parent`, everything below it first. A link has no subkeys of its own, so
// it is deleted at once, and the key it names is never opened.
inline TreeDeletion DeleteKeyAndBelow(HKEY parent, const WCHAR* name, NtDeleteKeyFn delete_key) {
  UniqueKey key;
  const LSTATUS opened =
      RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_ENUMERATE_SUB_KEYS | DELETE, key.Put());
  if (opened == ERROR_FILE_NOT_FOUND) return TreeDeletion::Absent;
  if (opened != ERROR_SUCCESS) return TreeDeletion::Failed;
  for (;;) {
    WCHAR child[kPathUnits];
    DWORD length = kPathUnits;
    const LSTATUS listed =
        RegEnumKeyExW(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    // A listed subkey that is not deleted now (gone meanwhile, or kept) ends the deletion, so
    // that no subkey is met twice.
    if (listed != ERROR_SUCCESS ||
        DeleteKeyAndBelow(key.get(), child, delete_key) != TreeDeletion::Deleted) {
      return TreeDeletion::Failed;
    }
  }
  return delete_key(key.get()) == 0 ? TreeDeletion::Deleted : TreeDeletion::Failed;
}

}  // namespace registry_tree

// Deletes the key at `path` (names separated by "\") below `root` with everything below it,
// without following a registry link: a link in the tree is deleted as the link, and its target
// stays as it was. The names on the way to the key are opened one by one, each without following
// a link; a link among them means the key is not in this tree, and the answer is Failed with
// nothing deleted. Failed also when ntdll's NtDeleteKey cannot be had, or a key cannot be opened,
// listed or deleted.
inline TreeDeletion DeleteTreeWithoutLinks(HKEY root, const WCHAR* path) {
  const UniqueModule ntdll = LoadSystemLibrary(L"ntdll.dll");
  const auto delete_key = ExportOf<registry_tree::NtDeleteKeyFn>(ntdll, "NtDeleteKey");
  WCHAR names[kPathUnits];
  if (delete_key == nullptr || !Copy(names, path)) return TreeDeletion::Failed;
  UniqueKey parent;
  HKEY at = root;
  WCHAR* name = names;
  for (WCHAR* separator = std::wcschr(name, L'\\'); separator != nullptr;
       separator = std::wcschr(name, L'\\')) {
    *separator = L'\0';
    UniqueKey next;
    const LSTATUS opened =
        RegOpenKeyExW(at, name, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, next.Put());
    if (opened == ERROR_FILE_NOT_FOUND) return TreeDeletion::Absent;
    bool link = false;
    if (opened != ERROR_SUCCESS || !registry_tree::KnownWhetherLink(next.get(), &link) || link) {
      return TreeDeletion::Failed;
    }
    parent = std::move(next);
    at = parent.get();
    name = separator + 1;
  }
  return registry_tree::DeleteKeyAndBelow(at, name, delete_key);
}

}  // namespace dpal

// The real TarvexDPALUninstaller.exe under Wine. Every Wine process is an administrator and none
// is LocalSystem, so each start is the device-removal run; with the package's state present and
// no software device, no start changes anything (registry, files, the task folder, the temporary
// directory), each ends by itself with 0 and prints nothing, and the embedded manifest asks for
// elevation. (A run with the device present is for the sim only: Wine's device removal aborts.)
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "harness/installed_package.h"

namespace dpal::e2e {
namespace {

std::wstring UninstallerImage() { return WindowsPath(DPAL_UNINSTALLER_IMAGE); }
std::wstring InstalledUninstaller() { return InstallDirectory() + L"\\TarvexDPALUninstaller.exe"; }

// What the machine holds where the uninstaller could change something, one entry per key, value,
// file and directory.
using Snapshot = std::map<std::wstring, std::wstring>;

std::wstring Hex(const BYTE* data, DWORD size) {
  std::wstring text;
  for (DWORD i = 0; i < size; ++i) {
    wchar_t byte[4];
    std::swprintf(byte, 4, L"%02x", data[i]);
    text += byte;
  }
  return text;
}

void AddKeys(HKEY root, const std::wstring& path, Snapshot& out) {
  UniqueKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return;
  out[path] = L"key";
  std::vector<BYTE> data(65536);
  for (DWORD index = 0;; ++index) {
    WCHAR name[16384];
    DWORD name_length = 16384;
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS status =
        RegEnumValueW(key.get(), index, name, &name_length, nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) break;
    out[path + L" | " + name] = std::to_wstring(type) + L":" + Hex(data.data(), size);
  }
  std::vector<std::wstring> subkeys;
  for (DWORD index = 0;; ++index) {
    WCHAR name[256];
    DWORD name_length = 256;
    if (RegEnumKeyExW(key.get(), index, name, &name_length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    subkeys.emplace_back(name);
  }
  for (const std::wstring& subkey : subkeys) AddKeys(root, path + L"\\" + subkey, out);
}

void AddFiles(const std::wstring& dir, Snapshot& out) {
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = dir + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[path] = L"dir";
      AddFiles(path, out);
    } else {
      out[path] = std::to_wstring(found.nFileSizeLow);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

Snapshot Machine() {
  Snapshot snapshot;
  AddKeys(HKEY_LOCAL_MACHINE, layout::kServiceKey, snapshot);
  AddKeys(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\SWD", snapshot);
  AddKeys(HKEY_CURRENT_USER, L"SOFTWARE\\Tarvex", snapshot);
  WCHAR pending[8192] = {};
  DWORD size = sizeof(pending);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                   L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, pending,
                   &size) == ERROR_SUCCESS) {
    snapshot[L"PendingFileRenameOperations"] = std::wstring(pending, size / sizeof(WCHAR));
  }
  AddFiles(InstallDirectory(), snapshot);
  AddFiles(ColourDirectory(), snapshot);
  WCHAR system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  AddFiles(std::wstring(system) + L"\\Tasks\\Tarvex", snapshot);
  WCHAR temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  AddFiles(std::wstring(temp) + L".", snapshot);
  return snapshot;
}

// What differs between two snapshots, one line per entry.
std::string Difference(const Snapshot& before, const Snapshot& after) {
  std::string text;
  for (const auto& [name, value] : before) {
    auto it = after.find(name);
    if (it == after.end()) {
      text += "gone: " + Narrow(name) + "\n";
    } else if (it->second != value) {
      text += "changed: " + Narrow(name) + "\n";
    }
  }
  for (const auto& [name, value] : after) {
    if (before.count(name) == 0) text += "new: " + Narrow(name) + "\n";
  }
  return text;
}

// Runs the installed uninstaller with `arguments` after its quoted path.
Ended RunInstalled(const std::wstring& arguments) {
  const Ended ended = RunCapturingOutput(InstalledUninstaller(), arguments);
  EXPECT_NE(ended.exit_code, 0xdeadu) << "the uninstaller did not end within 60 s";
  EXPECT_NE(ended.exit_code, 0xdeadbeefu) << ended.output;
  return ended;
}

class Uninstaller : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ResetMachine(), "") << "resetting the prefix"; }
  void TearDown() override {
    DeleteFileW(InstalledUninstaller().c_str());
    EXPECT_EQ(ResetMachine(), "") << "resetting the prefix";
  }
};

// The package's state as its installer leaves it, without the software device: the settings,
// the catalogue and its profiles, an owner, the uninstaller in the install directory.
TEST_F(Uninstaller, EveryStartIsADeviceRemovalRunThatFindsNoDeviceAndChangesNothing) {
  ASSERT_EQ(WriteSettings(), "");
  ASSERT_EQ(WriteCatalogue(), "");
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue,
                            REG_MULTI_SZ, L"Owner\0", 14),
            ERROR_SUCCESS);
  const std::wstring install = InstallDirectory();
  for (size_t at = install.find(L'\\', 3);; at = install.find(L'\\', at + 1)) {
    const std::wstring dir = install.substr(0, at);
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        << Narrow(dir) << ": " << GetLastError();
    if (at == std::wstring::npos) break;
  }
  ASSERT_TRUE(CopyFileW(UninstallerImage().c_str(), InstalledUninstaller().c_str(), FALSE))
      << GetLastError();

  const Snapshot before = Machine();
  ASSERT_EQ(before.count(InstalledUninstaller()), 1u) << "the snapshot sees the installed file";
  ASSERT_EQ(before.count(std::wstring(layout::kServiceKey) + L" | " + layout::kOwnersValue), 1u)
      << "the snapshot sees the owner";
  for (const wchar_t* arguments : {L"", L" -checkremoval", L" -CHECKREMOVAL", L" -CheckRemoval",
                                   L" /checkremoval", L" --checkremoval", L" x -checkremoval y"}) {
    SCOPED_TRACE(Narrow(arguments));
    const Ended ended = RunInstalled(arguments);
    EXPECT_EQ(ended.exit_code, 0u);
    EXPECT_EQ(ended.output, "") << "the uninstaller prints nothing";
    EXPECT_EQ(Difference(before, Machine()), "");
  }
}

TEST_F(Uninstaller, TheEmbeddedManifestAsksForElevation) {
  HMODULE image = LoadLibraryExW(UninstallerImage().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr) << GetLastError();
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr) << "no RT_MANIFEST resource 1";
  const DWORD size = SizeofResource(image, found);
  const char* text = static_cast<const char*>(LockResource(LoadResource(image, found)));
  ASSERT_NE(text, nullptr);
  const std::string manifest(text, size);
  FreeLibrary(image);
  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
}

}  // namespace
}  // namespace dpal::e2e

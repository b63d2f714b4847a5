// Snapshots of the simulated machine and their difference: each area's part holds what a program
// can leave behind there, and the difference names exactly what was added, removed and changed.
// Sim only.
#include <string>
#include <vector>

#include "tests/support/platform_test.h"

namespace {

using dpal::test::PlatformTest;
using Lines = std::vector<std::string>;

class Snapshots : public PlatformTest {};

const std::wstring kKey = L"SOFTWARE\\SnapshotTest";

void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
}

TEST_F(Snapshots, AnUntouchedMachineShowsNoDifference) {
  const sim::Snapshot before = sim::TakeSnapshot();
  // The booted machine is in it: its hives, keys, folders.
  EXPECT_EQ(before.StateOf("hives", "HKEY_LOCAL_MACHINE\\SOFTWARE"), "machine hive");
  EXPECT_EQ(before.StateOf("registry", "HKEY_USERS\\S-1-5-18"), "link to HKEY_USERS\\.DEFAULT");
  EXPECT_EQ(before.StateOf("files", "C:\\Windows\\INF"), "directory");
  // Reading changes nothing.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  EXPECT_TRUE(diff.Empty()) << diff;
  EXPECT_EQ(diff.Describe(), "no difference");
}

TEST_F(Snapshots, RegistryKeysAndValuesWithTheirTypesAndData) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD one = 1;
  SetValue(key, L"Number", REG_DWORD, &one, sizeof one);
  SetValue(key, L"Text", REG_SZ, L"abc", sizeof L"abc");
  SetValue(key, L"Gone", REG_SZ, L"x", sizeof L"x");
  const sim::Snapshot before = sim::TakeSnapshot();

  const DWORD two = 2;
  SetValue(key, L"Number", REG_DWORD, &two, sizeof two);
  SetValue(key, L"Text", REG_SZ, L"abc", sizeof L"abc");  // the same data: no change
  SetValue(key, L"List", REG_MULTI_SZ, L"a\0bc\0", sizeof L"a\0bc\0");
  SetValue(key, nullptr, REG_EXPAND_SZ, L"%SystemRoot%", sizeof L"%SystemRoot%");
  const unsigned char bytes[] = {0xde, 0xad, 0xbe, 0xef};
  SetValue(key, L"Bytes", REG_BINARY, bytes, sizeof bytes);
  SetValue(key, L"Open", REG_SZ, L"abc", 2 * sizeof(WCHAR));  // "ab" without a terminator
  ASSERT_EQ(RegDeleteValueW(key, L"Gone"), ERROR_SUCCESS);
  HKEY child = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key, L"Child", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &child, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(child);
  RegCloseKey(key);

  const sim::Snapshot after = sim::TakeSnapshot();
  const std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\SnapshotTest";
  const sim::SnapshotDiff diff = sim::Difference(before, after);
  EXPECT_EQ(diff.Lines(), (Lines{
                              "+ registry: " + path + " \"Bytes\"",
                              "- registry: " + path + " \"Gone\"",
                              "+ registry: " + path + " \"List\"",
                              "~ registry: " + path + " \"Number\": REG_DWORD 1 -> REG_DWORD 2",
                              "+ registry: " + path + " \"Open\"",
                              "+ registry: " + path + " (default)",
                              "+ registry: " + path + "\\Child",
                          }))
      << diff;
  EXPECT_EQ(after.StateOf("registry", path + " \"Bytes\""), "REG_BINARY de ad be ef");
  EXPECT_EQ(after.StateOf("registry", path + " \"List\""), "REG_MULTI_SZ [\"a\", \"bc\"]");
  EXPECT_EQ(after.StateOf("registry", path + " (default)"), "REG_EXPAND_SZ \"%SystemRoot%\"");
  EXPECT_EQ(after.StateOf("registry", path + " \"Open\"").rfind("REG_SZ 61 00", 0), 0u)
      << "a string without its terminator shows its bytes";
  EXPECT_EQ(after.StateOf("registry", path + "\\Child"), "key, volatile");
  // Removed and added items carry their state in the description.
  EXPECT_NE(diff.Describe().find("- registry: " + path + " \"Gone\" = REG_SZ \"x\""),
            std::string::npos)
      << diff;

  ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, kKey.c_str()), ERROR_SUCCESS);
  // Back to the first snapshot but for the values that were there then.
  EXPECT_EQ(sim::Difference(before, sim::TakeSnapshot()).Lines(),
            (Lines{"- registry: " + path, "- registry: " + path + " \"Gone\"",
                   "- registry: " + path + " \"Number\"", "- registry: " + path + " \"Text\""}));
}

TEST_F(Snapshots, AUserHiveMountedAndUnmounted) {
  const sim::Snapshot before = sim::TakeSnapshot();
  sim::LoadUserHive(L"S-1-5-21-7-7-7-1001");
  const sim::SnapshotDiff loaded = sim::DifferenceFrom(before);
  EXPECT_EQ(loaded.Lines(), (Lines{"+ hives: HKEY_USERS\\S-1-5-21-7-7-7-1001",
                                   "+ registry: HKEY_USERS\\S-1-5-21-7-7-7-1001"}))
      << loaded;
  EXPECT_EQ(sim::TakeSnapshot().StateOf("hives", "HKEY_USERS\\S-1-5-21-7-7-7-1001"),
            "hive of S-1-5-21-7-7-7-1001");
  ASSERT_TRUE(sim::UnloadUserHive(L"S-1-5-21-7-7-7-1001"));
  EXPECT_TRUE(sim::DifferenceFrom(before).Empty());
}

TEST_F(Snapshots, FilesByPathSizeAndContent) {
  sim::PutFile(L"C:\\Data\\kept.bin", {1, 2, 3});
  sim::PutFile(L"C:\\Data\\changed.bin", {1, 2, 3});
  sim::PutFile(L"C:\\Data\\removed.bin", {});
  const sim::Snapshot before = sim::TakeSnapshot();
  EXPECT_EQ(before.StateOf("files", "C:\\Data\\removed.bin"), "file, 0 bytes");
  EXPECT_EQ(before.StateOf("files", "C:\\Data"), "directory");

  sim::PutFile(L"C:\\Data\\kept.bin", {1, 2, 3});     // the same bytes
  sim::PutFile(L"C:\\Data\\changed.bin", {1, 2, 4});  // the same size, other bytes
  sim::RemoveFile(L"C:\\Data\\removed.bin");
  sim::PutFile(L"C:\\Data\\New\\added.bin", {9});
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  ASSERT_EQ(diff.Changes().size(), 4u) << diff;
  const Lines lines = diff.Lines();
  EXPECT_EQ(Lines({lines[0], lines[1], lines[3]}),
            (Lines{"+ files: C:\\Data\\New", "+ files: C:\\Data\\New\\added.bin",
                   "- files: C:\\Data\\removed.bin"}));
  EXPECT_EQ(lines[2].rfind("~ files: C:\\Data\\changed.bin: file, 3 bytes, sha256 ", 0), 0u)
      << diff;
  EXPECT_NE(diff.Changes()[2].before, diff.Changes()[2].after);
}

TEST_F(Snapshots, DevicesColourAndServices) {
  const LUID adapter = {0x1234, 0};
  sim::AddDevice({L"SWD\\TEST\\1", {L"HW\\ONE"}, {}, true, {}, L"oem3.inf"});
  sim::InstallColourProfile(L"old.icm");
  sim::SetColourAssociations(L"", adapter, 0, false, {L"old.icm"});
  sim::ServiceSpec spec;
  spec.name = L"SnapshotService";
  spec.image_path = L"C:\\Program Files\\x.exe";
  spec.start_type = SERVICE_AUTO_START;
  sim::InstallService(spec);
  const sim::Snapshot before = sim::TakeSnapshot();
  EXPECT_EQ(before.StateOf("devices", "SWD\\TEST\\1"),
            "present, class {00000000-0000-0000-0000-000000000000}, hardware IDs [\"HW\\ONE\"], "
            "driver INF \"oem3.inf\"");
  EXPECT_EQ(before.StateOf("services", "SnapshotService"),
            "image \"C:\\Program Files\\x.exe\", account \"LocalSystem\", type own process, error "
            "control 1");

  ASSERT_TRUE(sim::SetDevicePresent(L"SWD\\TEST\\1", false));
  sim::InstallColourProfile(L"new.icm");
  sim::SetColourAssociations(L"", adapter, 0, false, {L"old.icm", L"new.icm"});
  sim::SetDefaultColourProfile(L"S-1-5-21-1-1-1-1001", L"MonitorKey", 7, 1, L"new.icm");
  ASSERT_TRUE(sim::SetServiceStartType(L"SnapshotService", SERVICE_DEMAND_START));

  const sim::SnapshotDiff diff = sim::DifferenceFrom(before).Without({"files"});
  EXPECT_EQ(diff.Lines(),
            (Lines{
                "+ colour: default of S-1-5-21-1-1-1-1001 for \"MONITORKEY\", type 0, subtype 7, "
                "profile id 1",
                "+ colour: profile new.icm",
                "~ colour: standard associations of the machine for adapter 0:1234 source 0: "
                "[\"old.icm\"] -> [\"old.icm\", \"new.icm\"]",
                "~ devices: SWD\\TEST\\1: present, class {00000000-0000-0000-0000-000000000000}, "
                "hardware IDs [\"HW\\ONE\"], driver INF \"oem3.inf\" -> not present, class "
                "{00000000-0000-0000-0000-000000000000}, hardware IDs [\"HW\\ONE\"], driver INF "
                "\"oem3.inf\"",
                "~ services: SnapshotService start type: auto -> demand",
            }))
      << diff;
  EXPECT_EQ(sim::DifferenceFrom(before).Only({"files"}).Lines(),
            (Lines{"+ files: C:\\Windows\\System32\\spool\\drivers\\color\\new.icm"}));
}

}  // namespace

// A standard user against the package's LocalSystem code. Alice, who is no administrator, does
// to the package's inputs everything her own rights allow (her hive, the colour directory, the
// Windows temporary directory) before the service, the tool and the uninstaller run as
// LocalSystem. Every program then does its work with its specified exit codes, and afterwards the
// machine differs from the one before the install by exactly what the package keeps on purpose
// and what Alice made herself outside the package's items: the victims she aimed at (a file of
// the public profile, another maker's colour profile, keys of the machine and of another user's
// hive) are all still there, unchanged.
#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/registry_layout.h"
#include "loader/shared/registry.h"
#include "platform/sim/snapshot.h"
#include "setprofile/tool.h"
#include "tests/support/platform_test.h"
#include "harness/registry_writer.h"
#include "tests/support/service_settle.h"
#include "tests/support/two_users.h"
#include "tools/core_client.h"
#include "harness/installer.h"
#include "harness/laptop.h"

namespace {

using namespace std::chrono_literals;
namespace installer = dpal::installer;
namespace laptop = dpal::laptop;
namespace layout = dpal::layout;
using dpal::test::RegistryWriter;
using Lines = std::vector<std::string>;

using dpal::test::InstallationDone;
using dpal::test::kAliceSid;
using dpal::test::kBobSid;
using dpal::test::Launched;
using dpal::test::UsersHives;
constexpr DWORD kAliceSession = 1;

const std::wstring kColour = L"C:\\Windows\\System32\\spool\\drivers\\color";
// What Alice aims at: none of it is the package's.
const std::wstring kVictimFile = L"C:\\Users\\Public\\victim.icm";
const std::vector<uint8_t> kVictimBytes = {'v', 'i', 'c', 't', 'i', 'm'};
const std::wstring kOtherMakersProfile = L"Other_Maker.icm";
const std::wstring kVictimKey = L"SOFTWARE\\Victim";

std::wstring InHive(const std::wstring& sid, const std::wstring& key) { return sid + L"\\" + key; }

// What the package leaves on purpose (the whole-life test explains each), and the two hive
// files: Alice's keeps the parent "SOFTWARE\Tarvex" of the package's tree, and Bob's, who is
// logged off, is mounted by the cleanup to look for the tree and written back when unmounted
// (its keys and values are compared on their own).
Lines Kept(Lines more) {
  Lines kept = {
      "+ files: C:\\Program Files\\Tarvex",
      "+ tasks: \\Tarvex",
      "~ files: C:\\Users\\alice\\ntuser.dat",
      "~ files: C:\\Users\\bob\\ntuser.dat",
  };
  kept.insert(kept.end(), more.begin(), more.end());
  std::sort(kept.begin(), kept.end(),
            [](const std::string& a, const std::string& b) { return a.substr(2) < b.substr(2); });
  return kept;
}

// The exit codes of the programs that end with one.
struct Codes {
  int tool = -1;
  int cleanup_with_device = -1;
  int device_removal = -1;
  int cleanup_with_owner = -1;
  int cleanup = -1;
};

class HostileUser : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    dpal::test::SetUpTwoUsers();
    // The victims: a file outside the colour directory, another maker's profile in it, a key of
    // the machine and one of Bob's.
    sim::PutFile(kVictimFile, kVictimBytes);
    sim::InstallColourProfile(kOtherMakersProfile);
    for (const std::wstring& key : {kVictimKey, InHive(kBobSid, kVictimKey)}) {
      const HKEY root = key == kVictimKey ? HKEY_LOCAL_MACHINE : HKEY_USERS;
      RegistryWriter victim;
      ASSERT_EQ(victim.Create(root, key), ERROR_SUCCESS);
      ASSERT_EQ(victim.Dword(L"Keep", 1), ERROR_SUCCESS);
      RegistryWriter child;
      ASSERT_EQ(child.Create(root, key + L"\\Child"), ERROR_SUCCESS);
      ASSERT_EQ(child.String(L"Keep", L"me"), ERROR_SUCCESS);
    }
    sim::Restart();
    users_before_ = UsersHives();
    before_ = sim::TakeSnapshot();

    installer::InstallPackage();
    laptop::InstallStandIn();
    // Alice is at the console, the installation of the profiles not yet done.
    sim::SetConsoleSession(kAliceSession);
    sim::LogOn(kAliceSession, kAliceSid, L"alice");
  }

  // Runs `body` as Alice's own program in her session: a standard user's token.
  static void AsAlice(const std::function<void()>& body) {
    sim::Identity alice = sim::StandardUser(kAliceSid, L"alice");
    alice.session_id = kAliceSession;
    alice.image_path = L"C:\\Users\\alice\\hostile.exe";
    sim::RunAs(alice, body);
  }
  // A file that the calling program makes where none was, with the bytes of `text`.
  static void NewFile(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << sim::Utf8(path) << ": " << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    CloseHandle(file);
  }
  // A key of Alice's own hive, created by her.
  static void AliceKey(const std::wstring& path) {
    AsAlice([&] {
      RegistryWriter key;
      ASSERT_EQ(key.Create(HKEY_CURRENT_USER, path), ERROR_SUCCESS) << sim::Utf8(path);
    });
  }
  static std::wstring ProfileListKey(const std::wstring& name) {
    return std::wstring(layout::kProfileMarkerKey) + L"\\" + name;
  }

  // Waits until the service has reached a point the trace shows, then stops recording.
  static void Settled(bool (*reached)()) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!reached() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(reached());
    sim::RecordTrace(false);
    sim::ClearTrace();
  }
  static void Client(const std::vector<std::string>& words) {
    for (const dpal::client::Line& line : dpal::client::Run(words, kAliceSession)) {
      EXPECT_EQ(line.text.find("failed"), std::string::npos) << line.text;
    }
  }

  // Every program of the package at work on what Alice left, as LocalSystem: the service at
  // boot, at her logon, at a start while she is at the console and in its watch; the tool in her
  // session; both runs of the uninstaller in the outside installer's order; then the restart.
  // `startup` is what the start with Alice at the console launches ("/r" for altered files).
  Codes PlayEveryProgram(const std::vector<std::wstring>& startup = {}) {
    Codes codes;
    dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 1);
    sim::RecordTrace(true);
    sim::Restart();  // Alice's hive goes back to its file with everything she wrote
    EXPECT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_RUNNING, 10s));
    Settled(dpal::test::ServiceSettled);  // nobody at the console: the start-up launches nothing
    sim::SetConsoleSession(kAliceSession);
    sim::LogOn(kAliceSession, kAliceSid, L"alice");
    EXPECT_EQ(sim::SendSessionChange(laptop::kServiceName, WTS_SESSION_LOGON, kAliceSession),
              static_cast<DWORD>(NO_ERROR));
    Launched(1);
    InstallationDone();

    // A start with Alice at the console verifies the catalogue and its files.
    EXPECT_EQ(sim::SendServiceControl(laptop::kServiceName, SERVICE_CONTROL_STOP),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_STOPPED, 10s));
    sim::RecordTrace(true);
    EXPECT_EQ(sim::StartServiceAsScm(laptop::kServiceName), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_RUNNING, 10s));
    Launched(1 + startup.size());
    // The client's switches below come once the watch looks at the apply state.
    Settled(dpal::test::WatchStarted);

    // A LocalSystem client in her session makes the panel's factory profile the default and
    // switches the machine's apply state off and on, each switch seen by the watch.
    Client({"client", "set", "sdr", "QXLCD_Panel_V3_S.icm"});
    Client({"client", "save", "QXLCD_Panel_V3_S"});
    Client({"client", "state", "machine", "0"});
    Launched(2 + startup.size());
    Client({"client", "state", "machine", "1"});
    Launched(3 + startup.size());
    std::vector<std::wstring> switches = {L"/i"};
    switches.insert(switches.end(), startup.begin(), startup.end());
    switches.insert(switches.end(), {L"/rs", L"/ss"});
    EXPECT_EQ(laptop::Switches(), switches);

    // The tool, run as LocalSystem in her session, reads her apply state.
    sim::Identity system = sim::LocalSystem(laptop::kToolProgram);
    system.session_id = kAliceSession;
    codes.tool = sim::RunProcess(system,
                                 L"\"" + laptop::kToolProgram +
                                     L"\" /baseverify 1 QXLCD_Panel_V3_S.icm QXLCD_Panel_V3_S.icm",
                                 [] { return dpal::setprofile::RunToolProcess(); });

    codes.cleanup_with_device = installer::RunFinalCleanup();
    codes.device_removal = installer::RunDeviceRemoval();
    codes.cleanup_with_owner = installer::RunFinalCleanup();
    installer::WithdrawOwner();
    codes.cleanup = installer::RunFinalCleanup();
    installer::RemovePackage();
    sim::Restart();
    return codes;
  }

  static void ExpectSpecifiedCodes(const Codes& codes) {
    EXPECT_EQ(codes.tool, 0);
    EXPECT_EQ(codes.cleanup_with_device, 0);
    EXPECT_EQ(codes.device_removal, 0);
    EXPECT_EQ(codes.cleanup_with_owner, 0);
    EXPECT_EQ(codes.cleanup, 0);
  }

  // The machine against the one before the install, and both users' hives: exactly what is
  // kept, the victims untouched.
  void ExpectOnlyKept(const Lines& kept) {
    const sim::SnapshotDiff machine = sim::DifferenceFrom(before_);
    EXPECT_EQ(machine.Headings(), Kept(kept)) << machine.Describe();
    const sim::SnapshotDiff hives = sim::Difference(users_before_, UsersHives());
    EXPECT_EQ(hives.Only({"registry"}).Headings(),
              Lines{"+ registry: HKEY_USERS\\S-1-5-21-1000-1000-1000-1001\\SOFTWARE\\Tarvex"})
        << hives.Describe();
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(sim::GetFile(kVictimFile, &bytes));
    EXPECT_EQ(bytes, kVictimBytes);
    EXPECT_TRUE(sim::ColourProfileInstalled(kOtherMakersProfile));
  }

  sim::Snapshot users_before_;
  sim::Snapshot before_;
};

// The attack that once worked: names in his own profile list that make a path out of the file
// name, or a device, or nothing at all; and key trees longer and deeper than any list needs.
TEST_F(HostileUser, NamesInHisProfileListThatAreNoFileNamesReachNothing) {
  const std::wstring names[] = {
      L"QXLCD_/../../../../Users/Public/victim",
      L"QXLCD_/../Other_Maker",
      L"QXLCD_..\\..\\..\\..\\Users\\Public\\victim",  // nested keys: "QXLCD_.." first
      L"QXLCD_//?/C:/Users/Public/victim",
      L"QXLCD_C:/Users/Public/victim",
      L"QXLCD_C:victim",
      L"QXLCD_x:stream",
      L"QXLCD_victim. ",
      L"NUL",
      L"..",
      L"x/QXLCD_*",
      L"QXLCD_\x01\x1b[2J",
      L"QXLCD_" + std::wstring(194, L'L'),  // the longest whose key path fits
  };
  for (const std::wstring& name : names) AliceKey(ProfileListKey(name));
  // A tree of 400 levels below his list (the registry allows 512 in all), built 100 at a time.
  AsAlice([] {
    std::wstring hundred = L"d";
    for (int level = 1; level < 100; ++level) hundred += L"\\d";
    RegistryWriter at;
    ASSERT_EQ(at.Create(HKEY_CURRENT_USER, ProfileListKey(L"QXLCD_deep")), ERROR_SUCCESS);
    for (int part = 0; part < 4; ++part) {
      RegistryWriter next;
      ASSERT_EQ(next.Create(at.key(), hundred), ERROR_SUCCESS) << part;
      at = std::move(next);
    }
  });

  ExpectSpecifiedCodes(PlayEveryProgram());
  ExpectOnlyKept({});
}

// A name too long for its key path below the console user's hive makes his whole list yield
// nothing, as it always has for any list: the profiles the client recorded for him keep their
// association and default for him alone, and so stay installed (a profile in use is not
// uninstalled); everything else goes as usual.
TEST_F(HostileUser, AnOverlongNameInHisListDropsOnlyHisOwnList) {
  AliceKey(ProfileListKey(L"QXLCD_" + std::wstring(249, L'L')));  // the longest key name there is
  ExpectSpecifiedCodes(PlayEveryProgram());
  ExpectOnlyKept({
      "+ colour: default of S-1-5-21-1000-1000-1000-1001 for "
      "\"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS\\{4D36E96E-E325-11CE-"
      "BFC1-08002BE10318}\\0000\", type 0, subtype 7, profile id 1",
      "+ colour: profile QXLCD_Panel_V3_S.icm",
      "+ colour: standard associations of S-1-5-21-1000-1000-1000-1001 for adapter 0:d1a5 "
      "source 0",
      "+ files: C:\\Windows\\System32\\spool\\drivers\\color\\QXLCD_Panel_V3_S.icm",
  });
}

// Every value he can write, with the wrong type or size: his apply state, which the tool reads
// as LocalSystem (an unreadable value counts as 1), and the "Type" of his list's entries.
TEST_F(HostileUser, ValuesOfTheWrongTypeOrSizeInHisTreeAreReadSafely) {
  AsAlice([] {
    RegistryWriter state;
    ASSERT_EQ(state.Create(HKEY_CURRENT_USER, layout::kUserApplyStateKey), ERROR_SUCCESS);
    ASSERT_EQ(state.String(layout::kStateValue, L"0"), ERROR_SUCCESS);
    const std::vector<uint8_t> big(64 * 1024, 0x5a);
    ASSERT_EQ(state.Raw(L"", REG_BINARY, big.data(), big.size()), ERROR_SUCCESS);
    const struct {
      const wchar_t* name;
      DWORD type;
      std::vector<uint8_t> bytes;
    } entries[] = {
        {L"QXLCD_Panel_V1_H", REG_BINARY, std::vector<uint8_t>(300, 2)},
        {L"QXLCD_Short", REG_DWORD, {2}},
        {L"QXLCD_Long", REG_QWORD, {2, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& entry : entries) {
      RegistryWriter key;
      ASSERT_EQ(key.Create(HKEY_CURRENT_USER, ProfileListKey(entry.name)), ERROR_SUCCESS);
      ASSERT_EQ(key.Raw(layout::kTypeValue, entry.type, entry.bytes.data(), entry.bytes.size()),
                ERROR_SUCCESS);
    }
    RegistryWriter text;
    ASSERT_EQ(text.Create(HKEY_CURRENT_USER, ProfileListKey(L"QXLCD_Panel_V3_S")), ERROR_SUCCESS);
    ASSERT_EQ(text.String(layout::kTypeValue, L"2"), ERROR_SUCCESS);
    RegistryWriter list;
    ASSERT_EQ(list.Create(HKEY_CURRENT_USER, ProfileListKey(L"QXLCD_Multi")), ERROR_SUCCESS);
    ASSERT_EQ(list.MultiString(layout::kTypeValue, {L"2", L"1"}), ERROR_SUCCESS);
  });
  // A "State" of any size is no DWORD either.
  for (size_t size : {size_t{0}, size_t{2}, size_t{8}}) {
    AsAlice([size] {
      RegistryWriter state;
      ASSERT_EQ(state.Create(HKEY_CURRENT_USER, layout::kUserApplyStateKey), ERROR_SUCCESS);
      const std::vector<uint8_t> bytes(size, 0);
      ASSERT_EQ(state.Raw(layout::kStateValue, REG_DWORD, bytes.data(), bytes.size()),
                ERROR_SUCCESS);
    });
  }

  ExpectSpecifiedCodes(PlayEveryProgram());
  ExpectOnlyKept({});
}

// The colour directory lets users add files, and change only those they added. A profile of the
// package that is missing (here: deleted before the start) can be taken by a user's file of that
// name: the start with her at the console finds it altered and launches the restore, and the
// cleanup uninstalls it under the package's name. Files she planted under names of the package's
// naming that no catalogue lists are not the package's and stay hers.
TEST_F(HostileUser, AlteredAndPlantedProfileFilesInTheColourDirectory) {
  ASSERT_TRUE(DeleteFileW((kColour + L"\\QXLCD_Panel_V3_S.icm").c_str()));
  Lines hers;
  AsAlice([&hers] {
    HANDLE theirs = CreateFileW((kColour + L"\\QXLCD_Panel_V1_H.icm").c_str(), GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(theirs, INVALID_HANDLE_VALUE) << "an installed profile is not hers to change";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (theirs != INVALID_HANDLE_VALUE) CloseHandle(theirs);
    for (const wchar_t* name :
         {L"QXLCD_Panel_V3_S.icm", L"QXLCD_Planted.icm", L"QXLCD_Panel_V9_S.icm"}) {
      const std::wstring path = kColour + L"\\" + name;
      NewFile(path, "hers");
      if (std::wstring(name) != L"QXLCD_Panel_V3_S.icm") {
        hers.push_back("+ colour: profile " + sim::Utf8(name));
        hers.push_back("+ files: " + sim::Utf8(path));
      }
    }
  });
  ExpectSpecifiedCodes(PlayEveryProgram({L"/r"}));
  ExpectOnlyKept(hers);
  EXPECT_FALSE(sim::FileExists(kColour + L"\\QXLCD_Panel_V3_S.icm")) << "the package's name goes";
}

// Registry links inside his part of the package's tree, into the machine, into another user's
// hive and into his own: the cleanup deletes them as links and no target loses anything; and a
// LocalSystem client that writes his apply state through a link into the machine's apply-state
// key changes nothing of the machine's.
TEST_F(HostileUser, RegistryLinksInHisTreeLeadNowhere) {
  const std::wstring bob_victim =
      L"\\REGISTRY\\USER\\" + std::wstring(kBobSid) + L"\\" + kVictimKey;
  const std::wstring own_software = L"\\REGISTRY\\USER\\" + std::wstring(kAliceSid) + L"\\SOFTWARE";
  const std::pair<std::wstring, std::wstring> links[] = {
      {ProfileListKey(L"QXLCD_Machine"), L"\\REGISTRY\\MACHINE\\" + kVictimKey},
      {ProfileListKey(L"QXLCD_Bob"), bob_victim},
      {std::wstring(layout::kUserTreeKey) + L"\\Own", own_software},
      {layout::kUserApplyStateKey,
       L"\\REGISTRY\\MACHINE\\" + std::wstring(layout::kMachineApplyStateKey)},
  };
  AliceKey(layout::kProfileMarkerKey);
  AsAlice([&links] {
    for (const auto& [key, target] : links) {
      HKEY link = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                KEY_WRITE, nullptr, &link, nullptr),
                ERROR_SUCCESS)
          << sim::Utf8(key);
      EXPECT_EQ(RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                               reinterpret_cast<const BYTE*>(target.c_str()),
                               static_cast<DWORD>(target.size() * sizeof(WCHAR))),
                ERROR_SUCCESS);
      RegCloseKey(link);
    }
  });
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 1);
  dpal::client::Run({"client", "state", "user", "0"}, kAliceSession);
  EXPECT_EQ(
      dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue),
      1u)
      << "her apply state is not the machine's";

  ExpectSpecifiedCodes(PlayEveryProgram());
  ExpectOnlyKept({});
  sim::LogOn(2, kBobSid, L"bob");
  EXPECT_TRUE(dpal::test::KeyExists(HKEY_USERS, InHive(kBobSid, kVictimKey + L"\\Child")));
  sim::LogOff(2);
}

// Files of his own in the Windows temporary directory under the names the uninstaller's image
// moves to: the image takes the first free name, and his files stay as they are.
TEST_F(HostileUser, FilesOfHisNamedLikeTheMovedImageStayAsTheyAre) {
  Lines his;
  AsAlice([&his] {
    for (int n = 0; n < 10; ++n) {
      const std::wstring path = L"C:\\Windows\\Temp\\ufn.00" + std::to_wstring(n);
      NewFile(path, "his");
      his.push_back("+ files: " + sim::Utf8(path));
    }
  });
  ExpectSpecifiedCodes(PlayEveryProgram());
  ExpectOnlyKept(his);
  for (int n = 0; n < 10; ++n) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(sim::GetFile(L"C:\\Windows\\Temp\\ufn.00" + std::to_wstring(n), &bytes)) << n;
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'h', 'i', 's'})) << n;
  }
  EXPECT_FALSE(sim::FileExists(L"C:\\Windows\\Temp\\ufn.010")) << "deleted at the restart";
}

// Libraries of the names the programs load at run time (the colour system, device installation,
// ntdll) planted beside the programs, as a hole in the install directory's ACLs would let anyone
// do: every program's first act restricts its search to the system directory, each run-time load
// names that directory, and no planted copy is ever loaded.
TEST_F(HostileUser, LibrariesPlantedBesideThePackagesProgramsAreNeverLoaded) {
  std::vector<std::wstring> planted;
  for (const wchar_t* name : {L"mscms.dll", L"newdev.dll", L"ntdll.dll", L"wintrust.dll"}) {
    planted.push_back(laptop::kInstallDirectory + L"\\" + name);
    sim::RegisterModule(planted.back(), {});
  }
  // Each thread's first call, and each restriction with whether it was its thread's first.
  std::mutex lock;
  std::vector<uint64_t> threads;
  std::vector<std::pair<std::wstring, bool>> restrictions;
  uint64_t loads = 0;
  sim::SetTraceSink([&](const sim::Call& call) {
    std::lock_guard<std::mutex> guard(lock);
    const bool first = std::find(threads.begin(), threads.end(), call.thread) == threads.end();
    if (first) threads.push_back(call.thread);
    if (call.function == "SetDefaultDllDirectories") restrictions.emplace_back(call.args, first);
    if (call.function == "LoadLibraryExW") ++loads;
  });
  ExpectSpecifiedCodes(PlayEveryProgram());
  sim::SetTraceSink(nullptr);
  for (const std::wstring& path : planted) {
    EXPECT_EQ(sim::ModuleTimesLoaded(path), 0) << sim::Utf8(path);
  }
  EXPECT_GT(loads, 0u) << "the programs load libraries at run time";
  // The service's two starts, the tool and the uninstaller's four runs, each first on its
  // program's first thread.
  const std::pair<std::wstring, bool> first_and_system_only(L"2048", true);
  EXPECT_EQ(restrictions, decltype(restrictions)(7, first_and_system_only));
}

}  // namespace

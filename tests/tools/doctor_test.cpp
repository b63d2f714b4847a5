// The doctor on the simulated laptop: what each check finds on an installed machine and after
// each fault the package meets, that it changes nothing, what a standard user gets, and its
// command line with hostile input.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "harness/installer.h"
#include "harness/laptop.h"
#include "tests/support/platform_test.h"
#include "tools/doctor/doctor.h"

namespace {

namespace doctor = dpal::doctor;
namespace installer = dpal::installer;
namespace laptop = dpal::laptop;
namespace layout = dpal::layout;
using doctor::Outcome;
using dpal::test::PutBinary;
using dpal::test::PutDword;
using dpal::test::PutString;

constexpr wchar_t kAliceSid[] = L"S-1-5-21-1000-1000-1000-1001";
constexpr wchar_t kBobSid[] = L"S-1-5-21-1000-1000-1000-1002";
constexpr DWORD kAliceSession = 1;

class Doctor : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    installer::InstallPackage();
    laptop::InstallStandIn();
    PutDword(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue, 1);
    sim::CreateUserProfile(kAliceSid, L"alice");
    sim::CreateUserProfile(kBobSid, L"bob");
    sim::SetConsoleSession(kAliceSession);
    sim::LogOn(kAliceSession, kAliceSid, L"alice");
  }

  // The report as an administrator's program makes it.
  static doctor::Report Examine(const doctor::Options& options = doctor::Options(),
                                sim::Identity who = sim::DefaultAdmin()) {
    who.image_path = L"C:\\Support\\DPALDoctor.exe";
    doctor::Report report;
    sim::RunAs(who, [&] { report = doctor::Examine(options); });
    return report;
  }

  static Outcome OutcomeOf(const doctor::Report& report, const std::string& name) {
    const doctor::Check* check = report.Find(name);
    EXPECT_NE(check, nullptr) << name << " missing from\n" << doctor::FormatText(report);
    return check == nullptr ? Outcome::Unreadable : check->outcome;
  }

  static std::string EntryName(size_t i) { return sim::Utf8(laptop::Profiles()[i].entry_name); }
};

// Everything the installer put there reads as the package needs it; only the service, which
// nobody started, keeps the profiles out. The run leaves the machine exactly as it was.
TEST_F(Doctor, ReadsAnInstalledMachineAndChangesNothing) {
  const sim::Snapshot before = sim::TakeSnapshot();
  const doctor::Report report = Examine();
  const sim::SnapshotDiff diff = sim::Difference(before, sim::TakeSnapshot());
  EXPECT_TRUE(diff.Empty()) << diff.Describe();

  std::vector<std::string> names;
  for (const doctor::Check& check : report.checks) {
    names.push_back(check.name);
    if (check.name == "service") continue;
    EXPECT_EQ(check.outcome,
              check.name == "machine-apply-state" ? Outcome::NotApplicable : Outcome::Ok)
        << check.name << ": " << check.value << " / " << check.comment;
  }
  std::vector<std::string> expected = {"service", "device", "platform-gate", "install-state",
                                       "catalogue"};
  // The files in the catalogue's order, which is the registry's (by name).
  std::vector<std::string> files;
  for (size_t i = 0; i < laptop::Profiles().size(); ++i) files.push_back("file:" + EntryName(i));
  std::sort(files.begin(), files.end());
  expected.insert(expected.end(), files.begin(), files.end());
  expected.insert(expected.end(), {"machine-apply-state", "console-user", "panel",
                                   "profile-program", "scheduled-tasks", "owners"});
  EXPECT_EQ(names, expected);

  const doctor::Check& service = *report.Find("service");
  EXPECT_EQ(service.outcome, Outcome::Problem);
  EXPECT_EQ(service.value.rfind("stopped, start type auto, image ", 0), 0u) << service.value;
  EXPECT_EQ(report.Find("platform-gate")->value, "firmware ABCDE12X, supported prefixes ABC");
  EXPECT_EQ(report.Find("owners")->value,
            "TarvexDPALPackage: the final cleanup waits until they withdraw");
  EXPECT_NE(report.Find("console-user")->value.find("alice (S-1-5-21-1000-1000-1000-1001)"),
            std::string::npos);
  EXPECT_EQ(report.ExitCode(), 1);
  EXPECT_EQ(doctor::Verdict(report), "verdict: problem, the profiles are kept out by service");
}

// Each fault is found by its own check, which says what the package does about it.
TEST_F(Doctor, EachFaultIsNamedWithWhatThePackageDoes) {
  struct Fault {
    const char* what;
    std::function<void()> make;
    std::string check;
    std::string comment;  // the start of the check's comment
  };
  const laptop::Profile& first = laptop::Profiles()[0];
  const std::vector<Fault> faults = {
      {"firmware update",
       [] {
         PutString(HKEY_LOCAL_MACHINE, layout::kBiosKey, layout::kBiosVersionValue, L"ABCDE1WX");
       },
       "platform-gate",
       "the service stops at start and switches itself to demand start: firmware ABCDE1WX has "
       "W as its seventh character"},
      {"unknown model",
       [] {
         PutString(HKEY_LOCAL_MACHINE, layout::kBiosKey, layout::kBiosVersionValue, L"XYZDE12X");
       },
       "platform-gate",
       "the service stops at start and switches itself to demand start: firmware XYZDE12X does "
       "not start with ABC"},
      {"device removed", [] { sim::RemoveDevice(laptop::kDeviceInstance); }, "device",
       "the service stops at start and switches itself to demand start: the software device"},
      {"file altered",
       [&] {
         std::vector<uint8_t> bytes = first.bytes;
         bytes[bytes.size() / 2] ^= 0x5A;
         sim::PutFile(laptop::ProfilePath(first), bytes);
       },
       "file:" + EntryName(0), "the service has the per-user program restore the profiles (/r)"},
      {"file deleted", [&] { sim::RemoveFile(laptop::ProfilePath(laptop::Profiles()[1])); },
       "file:" + EntryName(1), "the service has the per-user program restore"},
      {"install pending",
       [] { PutDword(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue, 0); },
       "install-state", "the per-user program installs the profiles (/i) at the next logon"},
      {"machine switched off",
       [] { PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 0); },
       "machine-apply-state", "a client of the core library switched the profiles off"},
      {"user switched off",
       [] {
         PutDword(HKEY_USERS, std::wstring(kAliceSid) + L"\\" + layout::kUserApplyStateKey,
                  layout::kStateValue, 0);
       },
       "console-user", "the profiles are switched off for this user"},
      {"program unsigned",
       [] { sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("unsigned")); },
       "profile-program", "the service never starts it"},
      {"lid closed",
       [] {
         sim::LaptopDisplayOptions displays;
         displays.lid_closed = true;
         displays.external = sim::ExternalMonitor::Extended;
         sim::SetDisplays(sim::LaptopDisplays(displays));
       },
       "panel", "no active display is the built-in panel"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    fault.make();
    const doctor::Report report = Examine();
    const doctor::Check* check = report.Find(fault.check);
    ASSERT_NE(check, nullptr) << doctor::FormatText(report);
    EXPECT_EQ(check->outcome, Outcome::Problem) << check->value;
    EXPECT_EQ(check->comment.rfind(fault.comment, 0), 0u) << check->comment;
    EXPECT_EQ(report.ExitCode(), 1);
    const std::string text = doctor::FormatText(report);
    EXPECT_NE(text.find("problem        " + fault.check + ": " + check->value + "\n" +
                        "               -> " + check->comment + "\n"),
              std::string::npos)
        << text;
  }
  // The altered file's line gives both digests; the catalogue as a whole is not intact.
  const doctor::Report report = Examine();
  EXPECT_NE(report.Find("file:" + EntryName(0))->value.find(", the catalogue's "),
            std::string::npos);
  EXPECT_EQ(report.Find("file:" + EntryName(1))->value, "missing");
  EXPECT_EQ(OutcomeOf(report, "catalogue"), Outcome::Problem);
}

// Without a catalogue the service reinstalls; a user who is not logged on is not looked into
// (his hive would have to be loaded), and one the machine does not know cannot be checked.
TEST_F(Doctor, MissingCatalogueAndUsersOutsideTheConsole) {
  ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, layout::kCatalogueKey), ERROR_SUCCESS);
  doctor::Options options;
  options.users = {L"bob", L"nobody"};
  const doctor::Report report = Examine(options);
  const doctor::Check* catalogue = report.Find("catalogue");
  ASSERT_NE(catalogue, nullptr);
  EXPECT_EQ(catalogue->outcome, Outcome::Problem);
  EXPECT_EQ(catalogue->value, "no catalogue");
  EXPECT_EQ(report.Find("file:" + EntryName(0)), nullptr);
  EXPECT_EQ(OutcomeOf(report, "user:bob"), Outcome::NotApplicable);
  EXPECT_EQ(OutcomeOf(report, "user:nobody"), Outcome::Unreadable);
  EXPECT_EQ(sim::IsHiveLoaded(HKEY_USERS, kBobSid), false) << "the doctor loads no hive";
}

// A standard user gets the report too; each check his account may not make is named as such,
// and without a problem that makes exit code 2.
TEST_F(Doctor, AStandardUserNamesWhatHeCouldNotRead) {
  sim::LogOn(2, kBobSid, L"bob");
  doctor::Options options;
  options.users = {L"bob"};
  sim::Identity alice = sim::StandardUser(kAliceSid, L"alice");
  alice.session_id = kAliceSession;
  const sim::Snapshot before = sim::TakeSnapshot();
  const doctor::Report report = Examine(options, alice);
  EXPECT_TRUE(sim::Difference(before, sim::TakeSnapshot()).Empty());
  const doctor::Check* bob = report.Find("user:bob");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->outcome, Outcome::NoRights);
  EXPECT_EQ(bob->comment,
            "the hive of bob: access denied to this account (an administrator can "
            "read it)");
  EXPECT_EQ(OutcomeOf(report, "console-user"), Outcome::Ok) << "her own hive";
  EXPECT_EQ(OutcomeOf(report, "platform-gate"), Outcome::Ok);
  EXPECT_EQ(OutcomeOf(report, "catalogue"), Outcome::Ok);
}

// Entries someone made hostile end the catalogue check with a clear line and exit code 2 (once
// nothing else is a problem), their names shown escaped and cut, never raw.
TEST_F(Doctor, HostileCatalogueEntriesAreShownSafelyAndEndInExitCodeTwo) {
  const std::wstring catalogue = layout::kCatalogueKey;
  const BYTE digest[40] = {};
  struct Hostile {
    std::wstring name;
    std::function<void(const std::wstring&)> make;
    std::string shown;  // how the line shows the name
    std::string reason;
  };
  const std::vector<Hostile> cases = {
      {L"QXLCD_\x1b[2J_V3_S",
       [&](const std::wstring& key) { PutDword(HKEY_LOCAL_MACHINE, key, L"Type", 1); },
       "QXLCD_\\u{1b}[2J_V3_S", "the entry name is no plain file name"},
      {L"CON", [&](const std::wstring& key) { PutDword(HKEY_LOCAL_MACHINE, key, L"Type", 1); },
       "CON", "the entry name is no plain file name"},
      {L"QXLCD_Big_V3_S",
       [&](const std::wstring& key) {
         PutBinary(HKEY_LOCAL_MACHINE, key, L"QXLCD_Big_V3_S", digest, sizeof(digest));
       },
       "QXLCD_Big_V3_S", "the entry has no digest value of at most 34 bytes"},
      {std::wstring(250, L'A'),
       [&](const std::wstring& key) { PutDword(HKEY_LOCAL_MACHINE, key, L"Type", 1); },
       std::string(120, 'A') + "...", "the entry name of 250 characters does not fit"},
  };
  sim::LogOff(kAliceSession);  // the service check aside, nothing else is a problem
  for (const Hostile& hostile : cases) {
    SCOPED_TRACE(sim::Utf8(hostile.name));
    const std::wstring key = catalogue + L"\\" + hostile.name;
    hostile.make(key);
    const doctor::Report report = Examine();
    const doctor::Check* check = report.Find("catalogue");
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->outcome, Outcome::Unreadable);
    EXPECT_EQ(check->comment.rfind("entry \"" + hostile.shown + "\": " + hostile.reason, 0), 0u)
        << check->comment;
    const std::string text = doctor::FormatText(report);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
  }
  // The service check aside (nobody started the service), the hostile entry alone gives exit
  // code 2.
  PutDword(HKEY_LOCAL_MACHINE, catalogue + L"\\CON", L"Type", 1);
  doctor::Report report = Examine();
  ASSERT_EQ(report.checks.front().name, "service");
  report.checks.erase(report.checks.begin());
  EXPECT_EQ(report.ExitCode(), 2);
  EXPECT_EQ(doctor::Verdict(report), "verdict: incomplete, could not check catalogue");
}

// The command line: the report in text or JSON, and arguments it cannot use end with a message,
// the usage and exit code 2 before anything is read.
TEST_F(Doctor, CommandLineAndJson) {
  struct Bad {
    std::vector<std::wstring> arguments;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {{L"--verbose"}, "DPALDoctor: unknown argument \"--verbose\"\n"},
      {{L"--user"}, "DPALDoctor: --user needs a user name\n"},
      {{L"--user", std::wstring(257, L'u')},
       "DPALDoctor: --user: a user name has 1 to 256 characters, not 257\n"},
      {{L"--user", L"al\nice"},
       "DPALDoctor: --user: \"al\\u{a}ice\" holds a character no user "
       "name has\n"},
      {{L"--json", std::wstring(5000, L'x')},
       "DPALDoctor: unknown argument \"" + std::string(40, 'x') + "...\"\n"},
  };
  for (const Bad& arguments : bad) {
    std::string out;
    sim::ClearTrace();
    sim::RecordTrace(true);
    EXPECT_EQ(doctor::RunDoctor(arguments.arguments, out), 2);
    sim::RecordTrace(false);
    EXPECT_EQ(out.rfind(arguments.message + "usage: DPALDoctor", 0), 0u) << out;
    EXPECT_TRUE(sim::Trace().empty()) << "read something for " << out;
  }

  std::string text;
  std::string json;
  const int text_code = doctor::RunDoctor({L"--user", L"bob"}, text);
  const int json_code = doctor::RunDoctor({L"--json", L"--user", L"bob"}, json);
  EXPECT_EQ(text_code, 1);
  EXPECT_EQ(json_code, 1);
  const nlohmann::json parsed = nlohmann::json::parse(json);
  EXPECT_EQ(parsed["format"], 1);
  EXPECT_EQ(parsed["exit_code"], 1);
  EXPECT_EQ(parsed["verdict"], "verdict: problem, the profiles are kept out by service");
  ASSERT_TRUE(parsed["checks"].is_array());
  size_t problems = 0;
  for (const auto& check : parsed["checks"]) {
    EXPECT_EQ(check.size(), 4u);
    const std::string line = check["outcome"].get<std::string>();
    EXPECT_NE(
        text.find(check["name"].get<std::string>() + ": " + check["value"].get<std::string>()),
        std::string::npos);
    if (line == "problem") ++problems;
  }
  EXPECT_EQ(problems, 1u);
  EXPECT_EQ(parsed["checks"].back()["name"], "owners");
  EXPECT_NE(text.find("not applicable user:bob: "), std::string::npos) << text;
}

}  // namespace

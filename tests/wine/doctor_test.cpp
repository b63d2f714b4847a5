// DPALDoctor.exe under Wine, against the prefix set up as the service's tests set it up: a
// healthy machine and each fault, with the report's exact lines and exit code, and hostile input.
// Wine identifies no built-in panel (its one display is an external DisplayPort), so every report
// here has the panel's problem and ends with exit code 1 at best.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "harness/installed_package.h"

namespace dpal::e2e {
namespace {

using namespace std::chrono_literals;

std::wstring DoctorImage() { return WindowsPath(DPAL_DOCTOR_IMAGE); }
std::wstring PublisherRoot() { return WindowsPath(DPAL_SIGNING_DIR) + L"\\publisher-root.der"; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The line that starts with `head`, or "(none)".
std::string LineOf(const std::vector<std::string>& lines, const std::string& head) {
  for (const std::string& line : lines) {
    if (line.rfind(head, 0) == 0) return line;
  }
  return "(none)";
}

class DoctorUnderWine : public ::testing::Test {
 protected:
  // The package as the installer leaves it, the service registered (not started), the profiles
  // installed and the per-user program beside the service.
  void SetUp() override {
    ASSERT_EQ(ResetMachine(), "") << "resetting the prefix";
    ASSERT_EQ(InstallFiles(WindowsPath(DPAL_LOADER_IMAGE), WindowsPath(DPAL_STANDIN_IMAGE)), "");
    ASSERT_EQ(RegisterService(SERVICE_AUTO_START), "");
    if (DPAL_TEST_SIGNED) {
      ASSERT_EQ(TrustRoot(PublisherRoot()), "");
    }
    ASSERT_EQ(PrepareQualifyingMachine(), "");
    ASSERT_EQ(SetInstallState(1), "");
    ASSERT_EQ(WriteMachineApplyState(1), "");
  }
  void TearDown() override { EXPECT_EQ(ResetMachine(), "") << "resetting the prefix"; }

  static Ended Run(const std::wstring& arguments = L"") {
    const Ended ended = RunCapturingOutput(DoctorImage(), arguments);
    EXPECT_NE(ended.exit_code, 0xdeadu) << "the doctor did not end within 60 s";
    return ended;
  }
};

// The checks whose lines are the same in every case below.
void ExpectCommonLines(const std::vector<std::string>& lines) {
  EXPECT_EQ(LineOf(lines, "problem        service: "),
            "problem        service: stopped, start type auto, image C:\\Program "
            "Files\\Tarvex\\DPAL\\TarvexDPALLoader.exe");
  EXPECT_EQ(LineOf(lines, "ok             install-state: "),
            "ok             install-state: done (State 1)");
  EXPECT_EQ(LineOf(lines, "ok             machine-apply-state: "),
            "ok             machine-apply-state: 1 (on)");
  EXPECT_EQ(
      LineOf(lines, "problem        panel: ").rfind("problem        panel: primary display ", 0),
      0u);
}

TEST_F(DoctorUnderWine, HealthyMachine) {
  const Ended ended = Run();
  const std::vector<std::string> lines = Lines(ended.output);
  ExpectCommonLines(lines);
  EXPECT_EQ(LineOf(lines, "ok             device: "),
            "ok             device: SWC\\VEN_TARVEX&PID_DYNAPANEL_HSA_5C3E71A2B94D present, "
            "driver INF (none given)")
      << ended.output;
  EXPECT_EQ(LineOf(lines, "ok             platform-gate: "),
            "ok             platform-gate: firmware T9P1.23.0, supported prefixes K2A, T9P");
  EXPECT_EQ(LineOf(lines, "ok             catalogue: "),
            "ok             catalogue: 2 entries, SDR version 3, HDR version 1, every file intact");
  EXPECT_NE(LineOf(lines, "ok             file:QXLCD_DynaPanel_V3_S: "), "(none)");
  EXPECT_NE(LineOf(lines, "ok             file:QXLCD_DynaPanel_V1_H: "), "(none)");
  if (DPAL_TEST_SIGNED) {
    EXPECT_EQ(LineOf(lines, "ok             profile-program: "),
              "ok             profile-program: C:\\Program "
              "Files\\Tarvex\\DPAL\\TarvexDPALProfile.exe passes the integrity check");
  }
  EXPECT_EQ(lines.back(),
            "verdict: problem, the profiles are kept out by service, panel, "
            "scheduled-tasks")
      << ended.output;
  EXPECT_EQ(ended.exit_code, 1u);
}

TEST_F(DoctorUnderWine, EachFaultGivesItsLine) {
  struct Case {
    const char* what;
    std::function<std::string()> make;
    std::string line;
    std::string comment;
  };
  const std::vector<Case> cases = {
      {"device missing",
       [] {
         return RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                               L"SYSTEM\\CurrentControlSet\\Enum\\SWD\\TARVEXDPAL") == ERROR_SUCCESS
                    ? ""
                    : "the device could not be removed";
       },
       "problem        device: SWC\\VEN_TARVEX&PID_DYNAPANEL_HSA_5C3E71A2B94D is not present",
       "               -> the service stops at start and switches itself to demand start: the "
       "software device SWC\\VEN_TARVEX&PID_DYNAPANEL_HSA_5C3E71A2B94D is not present"},
      {"file altered",
       [] {
         const std::wstring path = ColourDirectory() + L"\\QXLCD_DynaPanel_V3_S.icm";
         HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
         if (file == INVALID_HANDLE_VALUE) return std::string("cannot open the profile");
         DWORD written = 0;
         const bool ok = WriteFile(file, "X", 1, &written, nullptr) && written == 1;
         CloseHandle(file);
         return ok ? std::string() : std::string("cannot write the profile");
       },
       "problem        file:QXLCD_DynaPanel_V3_S: ",
       "               -> the service has the per-user program restore the profiles (/r) at its "
       "next start or logon with a user at the console"},
      {"firmware not supported", [] { return SetFirmwareVersion(L"ABCDE1WX"); },
       "problem        platform-gate: firmware ABCDE1WX, supported prefixes K2A, T9P",
       "               -> the service stops at start and switches itself to demand start: "
       "firmware ABCDE1WX has W as its seventh character, which no supported model has"},
      {"no catalogue",
       [] {
         return SHDeleteKeyW(HKEY_LOCAL_MACHINE, layout::kCatalogueKey) == ERROR_SUCCESS
                    ? ""
                    : "the catalogue could not be removed";
       },
       "problem        catalogue: no catalogue",
       "               -> the service has the per-user program install the profiles (/i) at its "
       "next start or logon with a user at the console"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    ASSERT_EQ(c.make(), "");
    const Ended ended = Run();
    const std::vector<std::string> lines = Lines(ended.output);
    ExpectCommonLines(lines);
    size_t at = 0;
    while (at < lines.size() && lines[at].rfind(c.line, 0) != 0) ++at;
    ASSERT_LT(at + 1, lines.size()) << ended.output;
    if (c.line.back() != ' ') {
      EXPECT_EQ(lines[at], c.line);
    }
    EXPECT_EQ(lines[at + 1], c.comment) << ended.output;
    EXPECT_EQ(ended.exit_code, 1u);
  }
}

// Arguments it cannot use, and a catalogue someone made hostile: a clear message and exit code
// 2, never a crash.
TEST_F(DoctorUnderWine, BadInputEndsWithExitCodeTwo) {
  for (const std::wstring& arguments :
       {std::wstring(L" --verbose"), std::wstring(L" --user"),
        L" --user " + std::wstring(300, L'u'), std::wstring(L" --user a\\b")}) {
    const Ended ended = Run(arguments);
    EXPECT_EQ(ended.exit_code, 2u) << ended.output;
    EXPECT_EQ(ended.output.rfind("DPALDoctor: ", 0), 0u) << ended.output;
    EXPECT_NE(ended.output.find("usage: DPALDoctor"), std::string::npos);
  }
  // The catalogue's entries as the catalogue reader's fuzz corpus makes them hostile: a device
  // name, a control character and a digest value too large.
  const std::wstring catalogue = layout::kCatalogueKey;
  const BYTE digest[40] = {};
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (catalogue + L"\\QXLCD_\x07_V3_S").c_str(), L"Type",
                            REG_DWORD, "\1\0\0\0", 4),
            ERROR_SUCCESS);
  Ended ended = Run(L" --json");
  EXPECT_EQ(ended.output.find('\x07'), std::string::npos) << "a raw control character";
  EXPECT_NE(ended.output.find("\"entry \\\"QXLCD_\\\\u{7}_V3_S\\\": the entry name is no plain "
                              "file name"),
            std::string::npos)
      << ended.output;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (catalogue + L"\\QXLCD_\x07_V3_S").c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, (catalogue + L"\\QXLCD_\x07_V3_S").c_str());
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (catalogue + L"\\CON").c_str(), L"CON", REG_BINARY,
                            digest, sizeof(digest)),
            ERROR_SUCCESS);
  ended = Run();
  EXPECT_NE(ended.output.find("unreadable     catalogue: 3 entries, not loaded"), std::string::npos)
      << ended.output;
}

}  // namespace
}  // namespace dpal::e2e

// The launcher on the real system: the stand-in per-user program beside the service starts with
// the switch, in the service's directory and the console session, when it is signed by the
// service's own publisher; copies that fail the integrity check never start.
//
// The launcher takes the service's directory and its signer from the running image, so each test
// installs a copy of this program (signed with the package's test certificate, as the service
// is) as TarvexDPALLoader.exe in a scratch directory, puts a stand-in beside it and runs the copy
// in its service mode:
//   TarvexDPALLoader.exe --launch-profile-program <switch>
// which exits with kAnsweredTrue or kAnsweredFalse after LaunchProfileProgram has answered. The
// stand-in records each of its runs in TarvexDPALProfile.record beside itself.
#include <cstdio>
#include <string>
#include <vector>

#include "loader/launcher.h"
#include "tests/conformance/scratch_dir.h"
#include "tests/support/file_trust.h"
#include "tests/support/platform_test.h"
#include "harness/standin_record.h"
#include "tests/support/sentinel.h"

namespace {

using dpal::test::FileHandle;
using dpal::test::ScratchDir;

constexpr DWORD kAnsweredTrue = 10;
constexpr DWORD kAnsweredFalse = 11;
constexpr char kServiceMode[] = "--launch-profile-program";
using dpal::test::kSentinel;

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring WindowsPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return Widen(path);
}

// The stand-in and its copies that must fail the check, and the roots of the test signers.
const std::wstring kStandInDir = WindowsPath(DPAL_STANDIN_DIR);
const std::wstring kSigningDir = WindowsPath(DPAL_SIGNING_DIR);

std::string Hex(DWORD value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring OwnImage() {
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_TRUE(length > 0 && length < MAX_PATH) << "GetModuleFileNameW gave " << length;
  return path;
}

std::wstring DirectoryOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::string ReadWholeFile(const std::wstring& path) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return std::string();
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  return bytes;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

using dpal::standin::Account;
using dpal::standin::OwnAccount;
using StandInRun = dpal::standin::Run;

std::vector<StandInRun> ReadRecord(const std::wstring& path) {
  return dpal::standin::ParseRecord(ReadWholeFile(path));
}

// What the trust checks answer for a file, as the integrity check asks them: WinVerifyTrust
// through a handle opened with read sharing, the Authenticode chain policy on the signer's chain,
// and whether the signer is the one of this (signed) program.
struct Verdict {
  DWORD win_verify_trust = kSentinel;
  DWORD chain_policy = kSentinel;  // kSentinel: no signer, so no chain to check
  bool same_signer = false;
};

class Verification {
 public:
  explicit Verification(const std::wstring& path) : path_(path) {
    file_ = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    dpal::test::PrepareFileTrust(path_.c_str(), file_ == INVALID_HANDLE_VALUE ? nullptr : file_,
                                 &info_, &data_);
    data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    result_ = static_cast<DWORD>(
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_));
  }
  ~Verification() {
    if (data_.hWVTStateData != nullptr) {
      data_.dwStateAction = WTD_STATEACTION_CLOSE;
      GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
      WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  Verification(const Verification&) = delete;
  Verification& operator=(const Verification&) = delete;

  DWORD result() const { return result_; }
  CRYPT_PROVIDER_SGNR* Signer() const {
    if (data_.hWVTStateData == nullptr) return nullptr;
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
    return provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  }
  PCCERT_CONTEXT SignerCertificate() const {
    CRYPT_PROVIDER_SGNR* signer = Signer();
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) {
      return nullptr;
    }
    return signer->pasCertChain[0].pCert;
  }

 private:
  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  WINTRUST_FILE_INFO info_ = {};
  WINTRUST_DATA data_ = {};
  DWORD result_ = kSentinel;
};

Verdict Judge(const std::wstring& path) {
  Verdict verdict;
  Verification program(path);
  verdict.win_verify_trust = program.result();
  CRYPT_PROVIDER_SGNR* signer = program.Signer();
  if (signer != nullptr && signer->pChainContext != nullptr) {
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    status.dwError = kSentinel;
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext,
                                         &para, &status)) {
      verdict.chain_policy = status.dwError;
    }
  }
  Verification own(OwnImage());
  PCCERT_CONTEXT a = program.SignerCertificate();
  PCCERT_CONTEXT b = own.SignerCertificate();
  verdict.same_signer =
      a != nullptr && b != nullptr &&
      CertCompareCertificate(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, a->pCertInfo, b->pCertInfo);
  return verdict;
}

// Adds a test root to the machine's trusted roots (kept in the prefix; adding it again changes
// nothing).
void TrustRoot(const std::wstring& der_path) {
  const std::string der = ReadWholeFile(der_path);
  ASSERT_FALSE(der.empty()) << "cannot read " << Narrow(der_path);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  ASSERT_NE(store, nullptr) << "opening the machine's root store failed with " << GetLastError();
  const BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  ASSERT_TRUE(added) << "trusting " << Narrow(der_path) << " failed with " << error;
}

class LauncherUnderWine : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(TrustRoot(kSigningDir + L"\\publisher-root.der"));
    ASSERT_NO_FATAL_FAILURE(TrustRoot(kSigningDir + L"\\foreign-root.der"));
    // The service's directory has a blank in its name, as an installation below Program Files
    // does; the launcher passes the path unquoted.
    dir_ = scratch_.Name(L"Tarvex DPAL");
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
    service_ = scratch_.Name(L"Tarvex DPAL\\TarvexDPALLoader.exe");
    program_ = scratch_.Name(L"Tarvex DPAL\\TarvexDPALProfile.exe");
    record_ = scratch_.Name(L"Tarvex DPAL\\TarvexDPALProfile.record");
    exit_code_file_ = scratch_.Name(L"Tarvex DPAL\\TarvexDPALProfile.exitcode");
    ASSERT_TRUE(CopyFileW(OwnImage().c_str(), service_.c_str(), FALSE)) << GetLastError();
  }

  // Puts a stand-in (the signed one when `variant` is empty) beside the service.
  void PutProgram(const std::wstring& variant) {
    const std::wstring source =
        variant.empty() ? kStandInDir + L"\\TarvexDPALProfile.exe"
                        : kStandInDir + L"\\stand-in\\TarvexDPALProfile." + variant + L".exe";
    ASSERT_TRUE(CopyFileW(source.c_str(), program_.c_str(), FALSE))
        << "copying " << Narrow(source) << " failed with " << GetLastError();
  }

  // Runs the installed copy of this program as the service with one launch; its exit code.
  DWORD RunService(const std::wstring& switch_text) {
    std::wstring command_line =
        L"\"" + service_ + L"\" " + Widen(kServiceMode) + L" " + switch_text;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(service_.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
      ADD_FAILURE() << "starting the service copy failed with " << GetLastError();
      return kSentinel;
    }
    CloseHandle(process.hThread);
    DWORD code = kSentinel;
    const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the service copy did not end within 60 s";
    if (waited == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return code;
  }

  ScratchDir scratch_;
  std::wstring dir_;
  std::wstring service_;
  std::wstring program_;
  std::wstring record_;
  std::wstring exit_code_file_;
};

TEST_F(LauncherUnderWine, SignedProgramStartsBesideTheServiceInTheConsoleSession) {
  ASSERT_NO_FATAL_FAILURE(PutProgram(L""));
  const Verdict verdict = Judge(program_);
  ASSERT_EQ(Hex(verdict.win_verify_trust), Hex(0)) << "the signed stand-in must verify";
  ASSERT_EQ(Hex(verdict.chain_policy), Hex(0)) << "its root must be trusted";
  ASSERT_TRUE(verdict.same_signer);

  ASSERT_EQ(RunService(L"/i"), kAnsweredTrue);
  const std::vector<StandInRun> runs = ReadRecord(record_);
  ASSERT_EQ(runs.size(), 1u) << "one start, recorded once";
  const StandInRun& run = runs[0];
  EXPECT_EQ(run.at("command_line"), program_ + L" /i")
      << "the path unquoted, one blank, the switch";
  EXPECT_EQ(run.at("directory"), dir_) << "the service's directory, no trailing backslash";
  const std::wstring console = std::to_wstring(WTSGetActiveConsoleSessionId());
  EXPECT_EQ(run.at("session"), console);
  EXPECT_EQ(run.at("token_session"), console);
  // A copy of the service's own token: the account of the process that launched it.
  const Account own = OwnAccount();
  EXPECT_EQ(run.at("account"), own.name);
  EXPECT_EQ(run.at("sid"), own.sid);
  EXPECT_EQ(run.at("desktop"), L"WinSta0\\Default");
  printf("signed stand-in ran as %s (%s) in session %s\n", Narrow(run.at("account")).c_str(),
         Narrow(run.at("sid")).c_str(), Narrow(run.at("session")).c_str());
}

TEST_F(LauncherUnderWine, ExitCodeIsFetchedButDoesNotChangeTheAnswer) {
  ASSERT_NO_FATAL_FAILURE(PutProgram(L""));
  ASSERT_TRUE(dpal::test::WriteWholeFile(exit_code_file_, "37"));
  EXPECT_EQ(RunService(L"/verifyprofile"), kAnsweredTrue);

  // Started directly (no check), without a switch: the command line is the path alone and the
  // current directory is the one of the running image, here this test program's.
  DWORD exit_code = kSentinel;
  EXPECT_TRUE(dpal::LaunchAsConsoleUser(program_.c_str(), nullptr, &exit_code));
  EXPECT_EQ(exit_code, 37u);

  const std::vector<StandInRun> runs = ReadRecord(record_);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].at("command_line"), program_ + L" /verifyprofile");
  EXPECT_EQ(runs[0].at("directory"), dir_);
  EXPECT_EQ(runs[1].at("command_line"), program_);
  EXPECT_EQ(runs[1].at("directory"), DirectoryOf(OwnImage()));
}

// A stand-in that must fail the integrity check, and what the trust checks answer for it under
// Wine.
struct Refused {
  const char* name;
  const wchar_t* variant;  // the copy of the stand-in; null: no program file at all
  DWORD win_verify_trust;
  DWORD chain_policy;
};

class LauncherRefuses : public LauncherUnderWine {
 protected:
  void ExpectRefused(const Refused& c) {
    if (c.variant != nullptr) {
      ASSERT_NO_FATAL_FAILURE(PutProgram(c.variant));
      const Verdict verdict = Judge(program_);
      RecordProperty("WinVerifyTrust", Hex(verdict.win_verify_trust));
      RecordProperty("ChainPolicy", Hex(verdict.chain_policy));
      RecordProperty("SameSigner", verdict.same_signer ? "yes" : "no");
      printf(
          "%s: WinVerifyTrust %s, Authenticode chain policy %s, same signer as the service: "
          "%s\n",
          c.name, Hex(verdict.win_verify_trust).c_str(), Hex(verdict.chain_policy).c_str(),
          verdict.same_signer ? "yes" : "no");
      EXPECT_EQ(Hex(verdict.win_verify_trust), Hex(c.win_verify_trust)) << c.name;
      EXPECT_EQ(Hex(verdict.chain_policy), Hex(c.chain_policy)) << c.name;
      EXPECT_FALSE(verdict.same_signer) << c.name;
    }
    EXPECT_EQ(RunService(L"/i"), kAnsweredFalse) << c.name;
    EXPECT_FALSE(Exists(record_)) << c.name << ": nothing was started";
  }
};

TEST_F(LauncherRefuses, UnsignedProgram) {
  ExpectRefused({"unsigned", L"unsigned", static_cast<DWORD>(TRUST_E_NOSIGNATURE), kSentinel});
}

TEST_F(LauncherRefuses, TamperedProgram) {
  // One byte of the signed file changed: the signature is still there, its digest no longer
  // matches. Wine keeps no signer in the state of such a file, so there is no chain to check.
  ExpectRefused({"tampered", L"tampered", static_cast<DWORD>(TRUST_E_BAD_DIGEST), kSentinel});
}

TEST_F(LauncherRefuses, ProgramOfAnotherPublisher) {
  // A valid signature under a trusted root, but another publisher's.
  ExpectRefused({"foreign", L"foreign", 0, 0});
}

TEST_F(LauncherRefuses, ProgramUnderAnUntrustedRoot) {
  // Wine gap (8.0): WinVerifyTrust accepts a root that is not trusted (Windows answers
  // CERT_E_UNTRUSTEDROOT); only the explicit chain policy check refuses it.
  ExpectRefused({"untrusted root", L"untrusted", 0, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)});
}

TEST_F(LauncherRefuses, MissingProgram) { ExpectRefused({"missing", nullptr, 0, 0}); }

}  // namespace

// The service mode runs one launch and ends; otherwise this is a GoogleTest program.
int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kServiceMode) {
    dpal::ProfileProgramLauncher launcher;
    const bool answer = launcher.LaunchProfileProgram(Widen(argv[2]).c_str());
    return static_cast<int>(answer ? kAnsweredTrue : kAnsweredFalse);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

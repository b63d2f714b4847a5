#include "loader/integrity.h"

#include <atomic>
#include <memory>
#include <vector>

#include "common/format.h"
#include "common/module.h"
#include "common/own_image.h"

namespace dpal {

namespace {

using VerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using ProviderDataFn = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
using ProviderSignerFn = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using ChainPolicyFn = BOOL(WINAPI*)(LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA,
                                    PCERT_CHAIN_POLICY_STATUS);
using CompareCertificatesFn = BOOL(WINAPI*)(DWORD, PCERT_INFO, PCERT_INFO);

// The signature check's libraries, wintrust.dll and crypt32.dll of the system directory, loaded
// at the first check instead of imported: nothing verifies a signature before the first launch,
// and a library that cannot be loaded fails the check, never the start of the program.
class TrustLibraries {
 public:
  // True when both libraries loaded.
  bool Load();

  // Each function, or null when its library does not export it.
  VerifyTrustFn VerifyTrust() const;
  ProviderDataFn ProviderData() const;
  ProviderSignerFn ProviderSigner() const;
  ChainPolicyFn ChainPolicy() const;
  CompareCertificatesFn CompareCertificates() const;

  // Lets go of both loads without freeing them: for a process whose end took them back.
  void Abandon() {
    wintrust_.release();
    crypt32_.release();
  }

 private:
  UniqueModule wintrust_;
  UniqueModule crypt32_;
};

bool TrustLibraries::Load() {
  wintrust_ = LoadSystemLibrary(L"wintrust.dll");
  crypt32_ = LoadSystemLibrary(L"crypt32.dll");
  return wintrust_ && crypt32_;
}

VerifyTrustFn TrustLibraries::VerifyTrust() const {
  return ExportOf<VerifyTrustFn>(wintrust_, "WinVerifyTrust");
}

ProviderDataFn TrustLibraries::ProviderData() const {
  return ExportOf<ProviderDataFn>(wintrust_, "WTHelperProvDataFromStateData");
}

ProviderSignerFn TrustLibraries::ProviderSigner() const {
  return ExportOf<ProviderSignerFn>(wintrust_, "WTHelperGetProvSignerFromChain");
}

ChainPolicyFn TrustLibraries::ChainPolicy() const {
  return ExportOf<ChainPolicyFn>(crypt32_, "CertVerifyCertificateChainPolicy");
}

CompareCertificatesFn TrustLibraries::CompareCertificates() const {
  return ExportOf<CompareCertificatesFn>(crypt32_, "CertCompareCertificate");
}

// What identifies a signer's certificate to CertCompareCertificate, its issuer's name and its
// serial number, copied out of a verification so that it outlives the verification's state.
class SignerIdentity {
 public:
  explicit SignerIdentity(const CERT_INFO& info)
      : issuer_(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData),
        serial_(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData) {}

  // A certificate description holding only that identity, all CertCompareCertificate reads.
  CERT_INFO Info() const {
    CERT_INFO info = {};
    info.Issuer.cbData = static_cast<DWORD>(issuer_.size());
    info.Issuer.pbData = const_cast<BYTE*>(issuer_.data());
    info.SerialNumber.cbData = static_cast<DWORD>(serial_.size());
    info.SerialNumber.pbData = const_cast<BYTE*>(serial_.data());
    return info;
  }

 private:
  std::vector<BYTE> issuer_;
  std::vector<BYTE> serial_;
};

// One WinVerifyTrust session: verify on construction, close the state on destruction.
class TrustSession {
 public:
  TrustSession(const TrustLibraries& libraries, const WCHAR* path, HANDLE file)
      : libraries_(libraries) {
    const auto verify = libraries_.VerifyTrust();
    if (verify == nullptr) return;
    file_info_.cbStruct = sizeof(file_info_);
    file_info_.pcwszFilePath = path;
    file_info_.hFile = file;
    data_.cbStruct = sizeof(data_);
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_info_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    result_ = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    close_ = verify;
  }
  ~TrustSession() {
    if (data_.hWVTStateData != nullptr) {
      data_.dwStateAction = WTD_STATEACTION_CLOSE;
      GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
      close_(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
  }
  TrustSession(const TrustSession&) = delete;
  TrustSession& operator=(const TrustSession&) = delete;

  // The signer's certificate when the signature verified and its chain satisfies the
  // Authenticode policy (some platforms accept an untrusted root in WinVerifyTrust itself).
  // It lives as long as the session.
  PCCERT_CONTEXT TrustedSigner() const {
    if (result_ != ERROR_SUCCESS || data_.hWVTStateData == nullptr) return nullptr;
    const auto provider_data = libraries_.ProviderData();
    const auto provider_signer = libraries_.ProviderSigner();
    const auto chain_policy = libraries_.ChainPolicy();
    if (provider_data == nullptr || provider_signer == nullptr || chain_policy == nullptr) {
      return nullptr;
    }
    CRYPT_PROVIDER_DATA* provider = provider_data(data_.hWVTStateData);
    if (provider == nullptr) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = provider_signer(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->pChainContext == nullptr || signer->csCertChain == 0 ||
        signer->pasCertChain == nullptr || signer->pasCertChain[0].pCert == nullptr ||
        signer->pasCertChain[0].pCert->pCertInfo == nullptr) {
      return nullptr;
    }
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!chain_policy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext, &para, &status) ||
        status.dwError != ERROR_SUCCESS) {
      return nullptr;
    }
    return signer->pasCertChain[0].pCert;
  }

 private:
  const TrustLibraries& libraries_;
  VerifyTrustFn close_ = nullptr;  // the function that verified, which closes its state
  WINTRUST_FILE_INFO file_info_ = {};
  WINTRUST_DATA data_ = {};
  LONG result_ = -1;
};

// The trusted signer of the image at `image`; null when the image cannot be opened or its
// signature does not verify with a trusted chain.
std::unique_ptr<SignerIdentity> ReadImageSigner(const TrustLibraries& libraries,
                                                const WCHAR* image) {
  UniqueFile file(CreateFileW(image, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  TrustSession trust(libraries, image, file.get());
  PCCERT_CONTEXT signer = trust.TrustedSigner();
  if (signer == nullptr) return nullptr;
  return std::make_unique<SignerIdentity>(*signer->pCertInfo);
}

// What the check keeps for the life of the process, each made at the first check that could
// make it: the libraries, and the signer of the running image. That image cannot change under
// the running process, so its signer read once stays the answer; a failure to read it is not
// kept, and the next check reads it again. Published without a lock, so that no thread waits
// for another's verification: two first checks at once may both read, and one reading stays.
std::atomic<TrustLibraries*> g_libraries{nullptr};
std::atomic<SignerIdentity*> g_own_signer{nullptr};

template <typename T>
T* Publish(std::atomic<T*>& slot, std::unique_ptr<T> made) {
  T* expected = nullptr;
  if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  return expected;  // another thread's, made alike; ours goes
}

const TrustLibraries* KeptLibraries() {
  if (TrustLibraries* kept = g_libraries.load(std::memory_order_acquire)) return kept;
  auto libraries = std::make_unique<TrustLibraries>();
  if (!libraries->Load()) return nullptr;
  return Publish(g_libraries, std::move(libraries));
}

const SignerIdentity* KeptOwnSigner(const TrustLibraries& libraries) {
  if (SignerIdentity* kept = g_own_signer.load(std::memory_order_acquire)) return kept;
  WCHAR own_image[kPathUnits];
  if (!GetOwnImagePath(own_image)) return nullptr;
  std::unique_ptr<SignerIdentity> signer = ReadImageSigner(libraries, own_image);
  if (!signer) return nullptr;
  return Publish(g_own_signer, std::move(signer));
}

// Opens the program file with read sharing only: from then until the handle closes nobody can
// write, delete or rename it.
UniqueFile OpenProgramFile(const WCHAR* path) {
  return UniqueFile(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether the program open in `file` verifies with a trusted chain and is signed by `expected`.
bool SignedBy(const TrustLibraries& libraries, const WCHAR* path, const UniqueFile& file,
              const SignerIdentity& expected) {
  TrustSession trust(libraries, path, file.get());
  PCCERT_CONTEXT signer = trust.TrustedSigner();
  if (signer == nullptr) return false;
  CERT_INFO expected_info = expected.Info();
  const auto compare = libraries.CompareCertificates();
  if (compare == nullptr) return false;
  return compare(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, signer->pCertInfo, &expected_info) !=
         FALSE;
}

}  // namespace

bool VerifyProgramFile(const WCHAR* path, VerifiedProgram& program) {
  program.file_.reset();
  if (path == nullptr || *path == L'\0') return false;
  // Held from before the check until the caller has started the program, so the bytes checked
  // below are the bytes a start of this path runs.
  UniqueFile file = OpenProgramFile(path);
  if (!file) return false;
  const TrustLibraries* libraries = KeptLibraries();
  if (libraries == nullptr) return false;
  const SignerIdentity* own_signer = KeptOwnSigner(*libraries);
  if (own_signer == nullptr) return false;
  if (!SignedBy(*libraries, path, file, *own_signer)) return false;
  program.file_ = std::move(file);
  return true;
}

bool VerifyProgramFileAgainst(const WCHAR* path, const WCHAR* service_image,
                              VerifiedProgram& program) {
  if (service_image == nullptr) return VerifyProgramFile(path, program);
  program.file_.reset();
  if (path == nullptr || *path == L'\0') return false;
  UniqueFile file = OpenProgramFile(path);
  if (!file) return false;
  // Another program's image is read afresh: only the running image is known not to change.
  TrustLibraries libraries;
  if (!libraries.Load()) return false;
  const std::unique_ptr<SignerIdentity> service_signer = ReadImageSigner(libraries, service_image);
  if (!service_signer) return false;
  if (!SignedBy(libraries, path, file, *service_signer)) return false;
  program.file_ = std::move(file);
  return true;
}

void ForgetProcessTrustStateForTesting() {
  delete g_own_signer.exchange(nullptr);
  if (TrustLibraries* libraries = g_libraries.exchange(nullptr)) {
    libraries->Abandon();
    delete libraries;
  }
}

void ReleaseProcessTrustStateForTesting() {
  delete g_own_signer.exchange(nullptr);
  delete g_libraries.exchange(nullptr);
}

}  // namespace dpal

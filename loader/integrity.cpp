#include "loader/integrity.h"

#include "common/format.h"
#include "common/own_image.h"

namespace dpal {

namespace {

// One WinVerifyTrust session: verify on construction, close the state on destruction.
class TrustSession {
 public:
  TrustSession(const WCHAR* path, HANDLE file) {
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
    result_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
  }
  ~TrustSession() {
    if (data_.hWVTStateData != nullptr) {
      data_.dwStateAction = WTD_STATEACTION_CLOSE;
      GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
      WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
  }
  TrustSession(const TrustSession&) = delete;
  TrustSession& operator=(const TrustSession&) = delete;

  // The signer's certificate when the signature verified and its chain satisfies the
  // Authenticode policy (some platforms accept an untrusted root in WinVerifyTrust itself).
  PCCERT_CONTEXT TrustedSigner() const {
    if (result_ != ERROR_SUCCESS || data_.hWVTStateData == nullptr) return nullptr;
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
    if (provider == nullptr) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->pChainContext == nullptr || signer->csCertChain == 0 ||
        signer->pasCertChain == nullptr || signer->pasCertChain[0].pCert == nullptr) {
      return nullptr;
    }
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext,
                                          &para, &status) ||
        status.dwError != ERROR_SUCCESS) {
      return nullptr;
    }
    return signer->pasCertChain[0].pCert;
  }

 private:
  WINTRUST_FILE_INFO file_info_ = {};
  WINTRUST_DATA data_ = {};
  LONG result_ = -1;
};

}  // namespace

bool VerifyProgramFile(const WCHAR* path, VerifiedProgram& program) {
  return VerifyProgramFileAgainst(path, nullptr, program);
}

bool VerifyProgramFileAgainst(const WCHAR* path, const WCHAR* service_image,
                              VerifiedProgram& program) {
  program.file_.reset();
  if (path == nullptr || *path == L'\0') return false;

  // Read sharing only: from here until the handle closes nobody can write, delete or rename
  // the file, so what is checked below is what a later start of this path runs.
  UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;

  WCHAR own_image[kPathUnits];
  if (service_image == nullptr) {
    if (!GetOwnImagePath(own_image)) return false;
    service_image = own_image;
  }
  UniqueFile service_file(CreateFileW(service_image, GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!service_file) return false;

  TrustSession program_trust(path, file.get());
  PCCERT_CONTEXT program_signer = program_trust.TrustedSigner();
  if (program_signer == nullptr) return false;
  TrustSession service_trust(service_image, service_file.get());
  PCCERT_CONTEXT service_signer = service_trust.TrustedSigner();
  if (service_signer == nullptr) return false;
  if (!CertCompareCertificate(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, program_signer->pCertInfo,
                              service_signer->pCertInfo)) {
    return false;
  }
  program.file_ = std::move(file);
  return true;
}

}  // namespace dpal

// Authenticode in the sim: signatures embedded in program files, the trusted root store, and
// WinVerifyTrust with its provider state, signers, certificate contexts and chains.
//
// A signature is a block at the end of the file: the SHA-256 digest of the bytes before it and
// the signer's certificate (subject, issuer, serial, root), followed by its length and a marker.
// Like a real one it travels with the file, and it no longer matches once the bytes before it
// change.
#include <openssl/evp.h>

#include <cstddef>
#include <cstring>
#include <set>

#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/modules/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/trust/internal.h"
#include "platform/sim/trust/sim_trust.h"
#include "platform/sim/trust/wintrust.h"

namespace sim {
namespace {

constexpr char kMarker[] = "SIM-AUTHENTICODE";  // 16 characters, no terminator stored
constexpr size_t kMarkerSize = sizeof(kMarker) - 1;
constexpr size_t kDigestSize = 32;

// ----- The signature block ----------------------------------------------------------------------

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutText(std::vector<uint8_t>& out, const std::wstring& text) {
  PutU32(out, static_cast<uint32_t>(text.size()));
  for (wchar_t c : text) PutU32(out, static_cast<uint32_t>(c));
}

bool GetText(const std::vector<uint8_t>& in, size_t* pos, size_t end, std::wstring* text) {
  if (*pos + 4 > end) return false;
  const uint32_t count = GetU32(&in[*pos]);
  *pos += 4;
  if (count > (end - *pos) / 4) return false;
  text->clear();
  for (uint32_t i = 0; i < count; ++i, *pos += 4)
    text->push_back(static_cast<wchar_t>(GetU32(&in[*pos])));
  return true;
}

std::vector<uint8_t> Sha256(const uint8_t* data, size_t size) {
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr);
  digest.resize(length);
  return digest;
}

struct Signature {
  size_t content_size = 0;  // the bytes the digest covers
  std::vector<uint8_t> digest;
  Certificate signer;
};

// Finds the signature block at the end of a file's bytes.
bool ParseSignature(const std::vector<uint8_t>& bytes, Signature* signature) {
  if (bytes.size() < kMarkerSize + 4) return false;
  if (std::memcmp(bytes.data() + bytes.size() - kMarkerSize, kMarker, kMarkerSize) != 0) {
    return false;
  }
  const size_t end = bytes.size() - kMarkerSize - 4;
  const uint32_t length = GetU32(&bytes[end]);
  if (length > end || length < kDigestSize) return false;
  size_t pos = end - length;
  signature->content_size = pos;
  signature->digest.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                           bytes.begin() + static_cast<std::ptrdiff_t>(pos + kDigestSize));
  pos += kDigestSize;
  Certificate& cert = signature->signer;
  return GetText(bytes, &pos, end, &cert.subject) && GetText(bytes, &pos, end, &cert.issuer) &&
         GetText(bytes, &pos, end, &cert.serial) && GetText(bytes, &pos, end, &cert.root) &&
         pos == end;
}

// ----- Certificate contexts
// ------------------------------------------------------------------------

// One certificate context with the storage its pointers lead to. The verification state that
// made it holds it; CertDuplicateCertificateContext adds holds of callers, which the leak check
// counts until CertFreeCertificateContext drops them.
struct CertBox {
  CERT_CONTEXT context = {};
  CERT_INFO info = {};
  std::vector<BYTE> encoded;
  std::vector<BYTE> serial;
  std::vector<BYTE> issuer;
  std::vector<BYTE> subject;
  std::wstring subject_text;
  std::wstring issuer_text;
  bool held_by_state = true;
  int caller_holds = 0;
};

std::vector<BYTE> NameBlob(const std::wstring& name) {
  const auto* p = reinterpret_cast<const BYTE*>(name.data());
  return std::vector<BYTE>(p, p + name.size() * sizeof(wchar_t));
}

// A serial number in hexadecimal, most significant digit first, as CryptoAPI keeps integers:
// little-endian bytes.
std::vector<BYTE> SerialBlob(const std::wstring& hex) {
  std::vector<BYTE> out;
  int low = -1;
  for (auto it = hex.rbegin(); it != hex.rend(); ++it) {
    const wchar_t c = *it;
    int digit = -1;
    if (c >= L'0' && c <= L'9') digit = c - L'0';
    if (c >= L'a' && c <= L'f') digit = c - L'a' + 10;
    if (c >= L'A' && c <= L'F') digit = c - L'A' + 10;
    if (digit < 0) continue;
    if (low < 0) {
      low = digit;
    } else {
      out.push_back(static_cast<BYTE>(low | (digit << 4)));
      low = -1;
    }
  }
  if (low >= 0) out.push_back(static_cast<BYTE>(low));
  if (out.empty()) out.push_back(0);
  return out;
}

CertBox* NewCertBox(const std::wstring& subject, const std::wstring& issuer,
                    const std::wstring& serial) {
  auto* box = new CertBox();
  box->subject_text = subject;
  box->issuer_text = issuer;
  box->serial = SerialBlob(serial);
  box->issuer = NameBlob(issuer);
  box->subject = NameBlob(subject);
  const std::wstring encoded = L"SIMCERT|" + subject + L"|" + issuer + L"|" + serial;
  for (wchar_t c : encoded) box->encoded.push_back(static_cast<BYTE>(c));
  box->info.dwVersion = 2;  // CERT_V3
  box->info.SerialNumber = {static_cast<DWORD>(box->serial.size()), box->serial.data()};
  box->info.Issuer = {static_cast<DWORD>(box->issuer.size()), box->issuer.data()};
  box->info.Subject = {static_cast<DWORD>(box->subject.size()), box->subject.data()};
  box->context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  box->context.pbCertEncoded = box->encoded.data();
  box->context.cbCertEncoded = static_cast<DWORD>(box->encoded.size());
  box->context.pCertInfo = &box->info;
  return box;
}

// ----- Verification state
// --------------------------------------------------------------------------

// What hWVTStateData designates. The provider data comes first, so that the state handle is
// the provider data's address, as on Windows.
struct TrustState {
  CRYPT_PROVIDER_DATA data = {};
  CRYPT_PROVIDER_SGNR signer = {};
  std::vector<CRYPT_PROVIDER_CERT> certs;
  std::vector<CertBox*> boxes;
  CERT_CHAIN_CONTEXT chain = {};
  CERT_SIMPLE_CHAIN simple = {};
  PCERT_SIMPLE_CHAIN simple_pointer = nullptr;
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<PCERT_CHAIN_ELEMENT> element_pointers;
  uint64_t owner = 0;  // the process whose end closes it
};

struct Trust {
  std::set<std::wstring> roots;  // trusted roots, upper case
  std::set<TrustState*> states;
  std::map<const CERT_CONTEXT*, CertBox*> boxes;
};

Trust& TrustStore() {
  static Trust* trust = new Trust();
  return *trust;
}

void DropBoxLocked(CertBox* box) {
  if (box->held_by_state || box->caller_holds > 0) return;
  TrustStore().boxes.erase(&box->context);
  delete box;
}

void FreeStateLocked(TrustState* state) {
  TrustStore().states.erase(state);
  for (CertBox* box : state->boxes) {
    box->held_by_state = false;
    DropBoxLocked(box);
  }
  delete state;
}

// Builds the provider state of one verification. The signer's chain is signer, issuing CA (when
// it is not the root itself) and root; its trust status is that of the root store now.
TrustState* NewStateLocked(WINTRUST_DATA* data, GUID* action, HWND hwnd, HRESULT status,
                           const Signature* signature) {
  auto* state = new TrustState();
  state->data.cbStruct = sizeof(CRYPT_PROVIDER_DATA);
  state->data.pWintrustData = data;
  state->data.hWndParent = hwnd;
  state->data.pgActionID = action;
  state->data.dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  state->data.dwFinalError = static_cast<DWORD>(status);
  state->owner = CurrentProcessId();
  TrustStore().states.insert(state);
  if (signature == nullptr) return state;

  const Certificate& cert = signature->signer;
  state->boxes.push_back(NewCertBox(cert.subject, cert.issuer, cert.serial));
  if (!EqualsNoCase(cert.issuer, cert.root)) {
    state->boxes.push_back(NewCertBox(cert.issuer, cert.root, L"02"));
  }
  state->boxes.push_back(NewCertBox(cert.root, cert.root, L"01"));
  for (CertBox* box : state->boxes) TrustStore().boxes[&box->context] = box;

  const bool trusted = TrustStore().roots.count(Upper(cert.root)) != 0;
  const size_t count = state->boxes.size();
  state->elements.resize(count);
  state->certs.resize(count);
  for (size_t i = 0; i < count; ++i) {
    CERT_CHAIN_ELEMENT& element = state->elements[i];
    element.cbSize = sizeof(CERT_CHAIN_ELEMENT);
    element.pCertContext = &state->boxes[i]->context;
    const bool root = i + 1 == count;
    if (root) {
      element.TrustStatus.dwInfoStatus = CERT_TRUST_IS_SELF_SIGNED;
      if (!trusted) element.TrustStatus.dwErrorStatus = CERT_TRUST_IS_UNTRUSTED_ROOT;
    }
    CRYPT_PROVIDER_CERT& provider_cert = state->certs[i];
    provider_cert.cbStruct = sizeof(CRYPT_PROVIDER_CERT);
    provider_cert.pCert = element.pCertContext;
    provider_cert.fSelfSigned = root;
    provider_cert.fTrustedRoot = root && trusted;
    provider_cert.dwError = root && !trusted ? static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) : 0;
  }
  for (CERT_CHAIN_ELEMENT& element : state->elements) state->element_pointers.push_back(&element);
  state->simple.cbSize = sizeof(CERT_SIMPLE_CHAIN);
  state->simple.cElement = static_cast<DWORD>(count);
  state->simple.rgpElement = state->element_pointers.data();
  state->simple.TrustStatus.dwErrorStatus = trusted ? 0 : CERT_TRUST_IS_UNTRUSTED_ROOT;
  state->simple_pointer = &state->simple;
  state->chain.cbSize = sizeof(CERT_CHAIN_CONTEXT);
  state->chain.cChain = 1;
  state->chain.rgpChain = &state->simple_pointer;
  state->chain.TrustStatus = state->simple.TrustStatus;

  state->signer.cbStruct = sizeof(CRYPT_PROVIDER_SGNR);
  state->signer.csCertChain = static_cast<DWORD>(count);
  state->signer.pasCertChain = state->certs.data();
  state->signer.pChainContext = &state->chain;
  state->signer.dwError = static_cast<DWORD>(status);
  state->data.csSigners = 1;
  state->data.pasSigners = &state->signer;
  return state;
}

bool IsGenericVerifyV2(const GUID& guid) {
  const GUID expected = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return std::memcmp(&guid, &expected, sizeof(GUID)) == 0;
}

// The verdict on a file's bytes, and its signature when it has one.
HRESULT Evaluate(const std::vector<uint8_t>& bytes, Signature* signature, bool* has_signature) {
  *has_signature = ParseSignature(bytes, signature);
  if (!*has_signature) {
    const bool program = bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
    return program ? TRUST_E_NOSIGNATURE : TRUST_E_SUBJECT_FORM_UNKNOWN;
  }
  if (Sha256(bytes.data(), signature->content_size) != signature->digest) return TRUST_E_BAD_DIGEST;
  if (TrustStore().roots.count(Upper(signature->signer.root)) == 0) return CERT_E_UNTRUSTEDROOT;
  return S_OK;
}

LONG FaultResult(DWORD e) {
  return static_cast<LONG>(e >= 0x80000000u ? e : static_cast<DWORD>(HRESULT_FROM_WIN32(e)));
}

template <typename F>
void (*Exported(F function))() {
  return reinterpret_cast<void (*)()>(function);
}

// The system directory's wintrust.dll and crypt32.dll, for programs that load them at run time
// rather than import them.
void RegisterTrustLibrariesLocked() {
  RegisterSystemModuleLocked(
      L"wintrust.dll",
      {{"WinVerifyTrust", 0, Exported(&WinVerifyTrust)},
       {"WTHelperProvDataFromStateData", 0, Exported(&WTHelperProvDataFromStateData)},
       {"WTHelperGetProvSignerFromChain", 0, Exported(&WTHelperGetProvSignerFromChain)},
       {"WTHelperGetProvCertFromChain", 0, Exported(&WTHelperGetProvCertFromChain)}});
  RegisterSystemModuleLocked(
      L"crypt32.dll",
      {{"CertDuplicateCertificateContext", 0, Exported(&CertDuplicateCertificateContext)},
       {"CertFreeCertificateContext", 0, Exported(&CertFreeCertificateContext)},
       {"CertCompareCertificate", 0, Exported(&CertCompareCertificate)},
       {"CertGetNameStringW", 0, Exported(&CertGetNameStringW)},
       {"CertVerifyCertificateChainPolicy", 0, Exported(&CertVerifyCertificateChainPolicy)}});
}

}  // namespace

void ResetTrustLocked() {
  RegisterTrustLibrariesLocked();
  TrustStore().roots.clear();
  for (TrustState* state : std::set<TrustState*>(TrustStore().states)) FreeStateLocked(state);
  for (auto& [context, box] : TrustStore().boxes) delete box;
  TrustStore().boxes.clear();
}

void TrustProcessEndedLocked(const SimProcess& process) {
  for (TrustState* state : std::set<TrustState*>(TrustStore().states)) {
    if (state->owner == process.id) FreeStateLocked(state);
  }
}

void TrustLeaksLocked(LeakReport& report) {
  if (!TrustStore().states.empty())
    report.open_handles["trust-state"] = static_cast<int>(TrustStore().states.size());
  int holds = 0;
  for (const auto& [context, box] : TrustStore().boxes)
    holds += box->caller_holds > 0 ? box->caller_holds : 0;
  if (holds) report.open_handles["cert-context"] = holds;
}

// ----- Test-facing side --------------------------------------------------------------------------

void SignFile(const std::wstring& path, const Certificate& signer) {
  std::vector<uint8_t> bytes;
  if (!GetFile(path, &bytes)) return;
  Signature old;
  if (ParseSignature(bytes, &old)) bytes.resize(old.content_size);  // signing again replaces it
  std::vector<uint8_t> block = Sha256(bytes.data(), bytes.size());
  PutText(block, signer.subject);
  PutText(block, signer.issuer);
  PutText(block, signer.serial);
  PutText(block, signer.root);
  bytes.insert(bytes.end(), block.begin(), block.end());
  PutU32(bytes, static_cast<uint32_t>(block.size()));
  bytes.insert(bytes.end(), kMarker, kMarker + kMarkerSize);
  PutFile(path, bytes);
}

std::vector<uint8_t> ProgramBytes(const std::string& tag) {
  std::vector<uint8_t> bytes = {'M', 'Z', 0x90, 0x00, 0x03, 0x00, 0x00, 0x00};
  bytes.insert(bytes.end(), tag.begin(), tag.end());
  return bytes;
}

void TrustRoot(const std::wstring& root) {
  Lock lock(MachineLock());
  TrustStore().roots.insert(Upper(root));
}

void DistrustRoot(const std::wstring& root) {
  Lock lock(MachineLock());
  TrustStore().roots.erase(Upper(root));
}

}  // namespace sim

// ----- Win32 -------------------------------------------------------------------------------------

using namespace sim;

extern "C" LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData) {
  auto* data = static_cast<WINTRUST_DATA*>(pWVTData);
  if (DWORD e = SIM_ENTER(
          static_cast<const void*>(hwnd), pgActionID,
          data && data->dwUnionChoice == WTD_CHOICE_FILE && data->pFile ? data->pFile->pcwszFilePath
                                                                        : nullptr,
          data && data->dwUnionChoice == WTD_CHOICE_FILE && data->pFile ? data->pFile->hFile
                                                                        : nullptr,
          data ? data->dwStateAction : 0)) {
    // Closing releases the state and cannot fail; a fault only hits verifications.
    if (data == nullptr || data->dwStateAction != WTD_STATEACTION_CLOSE) {
      return Fail(static_cast<DWORD>(FaultResult(e)), FaultResult(e));
    }
  }
  if (pgActionID == nullptr || !IsGenericVerifyV2(*pgActionID)) {
    // Other actions (driver signing, catalogs, ...) are not modelled.
    return Fail(static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN), TRUST_E_PROVIDER_UNKNOWN);
  }
  if (data == nullptr || data->cbStruct < offsetof(WINTRUST_DATA, pwszURLReference)) {
    return Fail(ERROR_INVALID_PARAMETER, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  }
  Lock lock(MachineLock());
  if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
    auto* state = reinterpret_cast<TrustState*>(data->hWVTStateData);
    if (TrustStore().states.count(state) != 0) FreeStateLocked(state);
    data->hWVTStateData = nullptr;
    return S_OK;
  }
  if (data->dwUnionChoice != WTD_CHOICE_FILE || data->pFile == nullptr) {
    // Catalogs, blobs and bare certificates are not modelled.
    return Fail(ERROR_INVALID_PARAMETER, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  }
  const WINTRUST_FILE_INFO& file = *data->pFile;
  // A file that cannot be read has no signature to show: TRUST_E_NOSIGNATURE, with the reason in
  // the last error (an unsigned file has TRUST_E_NOSIGNATURE there too).
  std::vector<uint8_t> bytes;
  DWORD read_error = 0;
  if (file.hFile != nullptr && file.hFile != INVALID_HANDLE_VALUE) {
    // The caller's open file is read, so the bytes checked are those of that very file.
    ACCESS_MASK access = 0;
    auto open = FileOpenOfHandleLocked(file.hFile, &access);
    if (!open) {
      read_error = ERROR_INVALID_HANDLE;
    } else if ((access & FILE_READ_DATA) == 0) {
      read_error = ERROR_ACCESS_DENIED;
    } else if (!FileBytesLocked(*open, &bytes)) {
      read_error = ERROR_FILE_NOT_FOUND;
    }
  } else if (file.pcwszFilePath == nullptr) {
    read_error = ERROR_INVALID_PARAMETER;
  } else {
    std::wstring path(file.pcwszFilePath);
    if (path.size() < 3 || path[1] != L':') {
      path = CurrentIdentityLocked().current_directory + L"\\" + path;
    }
    auto open = OpenExistingFileLocked(path, GENERIC_READ, FILE_SHARE_READ, false, &read_error);
    if (open && !FileBytesLocked(*open, &bytes)) read_error = ERROR_FILE_NOT_FOUND;
  }
  Signature signature;
  bool has_signature = false;
  const HRESULT status =
      read_error != 0 ? TRUST_E_NOSIGNATURE : Evaluate(bytes, &signature, &has_signature);
  TrustState* state =
      NewStateLocked(data, pgActionID, hwnd, status, has_signature ? &signature : nullptr);
  if (data->dwStateAction == WTD_STATEACTION_VERIFY) {
    data->hWVTStateData = reinterpret_cast<HANDLE>(state);
  } else {
    FreeStateLocked(state);
  }
  SetLastError(read_error != 0 ? read_error : static_cast<DWORD>(status));
  return status;
}

extern "C" CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE hStateData) {
  if (DWORD e = SIM_ENTER(hStateData)) return Fail(e, nullptr);
  Lock lock(MachineLock());
  auto* state = reinterpret_cast<TrustState*>(hStateData);
  if (TrustStore().states.count(state) == 0) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  return &state->data;
}

extern "C" CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(
    CRYPT_PROVIDER_DATA* pProvData, DWORD idxSigner, BOOL fCounterSigner, DWORD idxCounterSigner) {
  if (DWORD e = SIM_ENTER(pProvData, idxSigner, fCounterSigner, idxCounterSigner)) {
    return Fail(e, nullptr);
  }
  // The state belongs to the caller's process, whose end frees it: read under the machine
  // lock, which a thread of an ended process never gets past.
  Lock lock(MachineLock());
  if (pProvData == nullptr || idxSigner >= pProvData->csSigners) return nullptr;
  CRYPT_PROVIDER_SGNR* signer = &pProvData->pasSigners[idxSigner];
  if (fCounterSigner) {
    if (idxCounterSigner >= signer->csCounterSigners) return nullptr;
    return &signer->pasCounterSigners[idxCounterSigner];
  }
  return signer;
}

extern "C" CRYPT_PROVIDER_CERT* WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr,
                                                                    DWORD idxCert) {
  if (DWORD e = SIM_ENTER(pSgnr, idxCert)) {
    return Fail(e, nullptr);
  }
  Lock lock(MachineLock());  // as for the signer: the state may go with its process
  if (pSgnr == nullptr || idxCert >= pSgnr->csCertChain) return nullptr;
  return &pSgnr->pasCertChain[idxCert];
}

extern "C" PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  SIM_ENTER(pCertContext);
  if (pCertContext == nullptr) return nullptr;
  Lock lock(MachineLock());
  auto it = TrustStore().boxes.find(pCertContext);
  if (it != TrustStore().boxes.end()) ++it->second->caller_holds;
  return pCertContext;
}

extern "C" BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  SIM_ENTER_RELEASE(pCertContext);
  if (pCertContext == nullptr) return TRUE;
  Lock lock(MachineLock());
  auto it = TrustStore().boxes.find(pCertContext);
  if (it != TrustStore().boxes.end()) {
    // Freeing a context one never duplicated takes a hold away from its owner, as on Windows;
    // the count goes below zero and the context is not freed under the owner's feet.
    --it->second->caller_holds;
    DropBoxLocked(it->second);
  }
  return TRUE;
}

extern "C" BOOL WINAPI CertCompareCertificate(DWORD dwCertEncodingType, PCERT_INFO pCertId1,
                                              PCERT_INFO pCertId2) {
  SIM_ENTER(dwCertEncodingType, pCertId1, pCertId2);
  if (pCertId1 == nullptr || pCertId2 == nullptr) return FALSE;
  auto blob = [](const CRYPT_INTEGER_BLOB& b) {
    return std::vector<BYTE>(b.pbData, b.pbData + b.cbData);
  };
  // Serial numbers compare as integers: high-order zero bytes (at the end) do not count.
  auto integer = [&](const CRYPT_INTEGER_BLOB& b) {
    std::vector<BYTE> v = blob(b);
    while (v.size() > 1 && v.back() == 0) v.pop_back();
    return v;
  };
  return blob(pCertId1->Issuer) == blob(pCertId2->Issuer) &&
         integer(pCertId1->SerialNumber) == integer(pCertId2->SerialNumber);
}

extern "C" DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                           void* pvTypePara, LPWSTR pszNameString,
                                           DWORD cchNameString) {
  SIM_ENTER(pCertContext, dwType, dwFlags, pvTypePara, static_cast<const void*>(pszNameString),
            cchNameString);
  std::wstring name;
  {
    Lock lock(MachineLock());
    auto it = pCertContext ? TrustStore().boxes.find(pCertContext) : TrustStore().boxes.end();
    if (it != TrustStore().boxes.end() && dwType == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
      name = (dwFlags & CERT_NAME_ISSUER_FLAG) ? it->second->issuer_text : it->second->subject_text;
      // The simple display name is the common name when the name has one.
      const size_t cn = Upper(name).find(L"CN=");
      if (cn != std::wstring::npos) {
        const size_t end = name.find(L',', cn);
        name = name.substr(cn + 3, end == std::wstring::npos ? std::wstring::npos : end - cn - 3);
      }
    }
  }
  // The result counts the terminator; an empty name is just the terminator.
  const DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (pszNameString == nullptr || cchNameString == 0) return needed;
  const DWORD copied = needed <= cchNameString ? needed : cchNameString;
  std::wmemcpy(pszNameString, name.c_str(), copied - 1);
  pszNameString[copied - 1] = L'\0';
  return copied;
}

extern "C" BOOL WINAPI CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID,
                                                        PCCERT_CHAIN_CONTEXT pChainContext,
                                                        PCERT_CHAIN_POLICY_PARA pPolicyPara,
                                                        PCERT_CHAIN_POLICY_STATUS pPolicyStatus) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(pszPolicyOID), pChainContext, pPolicyPara,
                          pPolicyStatus)) {
    return Fail(e, FALSE);
  }
  if (pChainContext == nullptr || pPolicyStatus == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (pszPolicyOID != CERT_CHAIN_POLICY_BASE && pszPolicyOID != CERT_CHAIN_POLICY_AUTHENTICODE) {
    // SSL, EV, driver and the other policies are not modelled.
    return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND), FALSE);
  }
  const bool allow_unknown_ca =
      pPolicyPara != nullptr && (pPolicyPara->dwFlags & CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG);
  pPolicyStatus->dwError = 0;
  pPolicyStatus->lChainIndex = -1;
  pPolicyStatus->lElementIndex = -1;
  if ((pChainContext->TrustStatus.dwErrorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) &&
      !allow_unknown_ca) {
    pPolicyStatus->dwError = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    pPolicyStatus->lChainIndex = 0;
    pPolicyStatus->lElementIndex =
        pChainContext->cChain > 0 ? static_cast<LONG>(pChainContext->rgpChain[0]->cElement) - 1 : 0;
  }
  return TRUE;
}

// The test side of trust: code-signing certificates, signed files and the trusted roots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A code-signing certificate as the signature check sees it.
struct Certificate {
  std::wstring subject;  // e.g. L"CN=Tarvex Test Signing"
  std::wstring issuer;   // the name of the certificate that issued it
  std::wstring serial;   // hexadecimal, most significant digit first, e.g. L"3A01"
  std::wstring root;     // the root certificate its chain ends in
};

// Signs a file as a signing tool does (signing again replaces the signature): the signature,
// with the certificate and a digest of the file's bytes, is embedded in the file, so it travels
// with copies and renames, and a file whose bytes change afterwards no longer matches its digest.
// A file without a signature is an unsigned program to WinVerifyTrust (TRUST_E_NOSIGNATURE) when
// its bytes start with "MZ", as ProgramBytes makes them, and no subject it knows
// (TRUST_E_SUBJECT_FORM_UNKNOWN) otherwise. Nothing happens when the file does not exist.
void SignFile(const std::wstring& path, const Certificate& signer);
std::vector<uint8_t> ProgramBytes(const std::string& tag = "");
// Roots in the machine's trusted root store. After Reset no root is trusted.
void TrustRoot(const std::wstring& root);
void DistrustRoot(const std::wstring& root);

}  // namespace sim

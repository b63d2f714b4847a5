// CryptoAPI hashing: the providers of the machine with their key containers, and hash objects.
// Digests are computed by OpenSSL's libcrypto.
#include <openssl/evp.h>

#include <cstring>
#include <set>

#include "platform/sim/crypto/internal.h"
#include "platform/sim/crypto/wincrypt.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/security/internal.h"

namespace sim {
namespace {

struct ProviderInfo {
  const wchar_t* name;
  DWORD type;
  bool sha2;  // only the AES provider knows the SHA-2 family
};

// The first provider of each type is that type's default.
constexpr ProviderInfo kProviders[] = {
    {MS_STRONG_PROV_W, PROV_RSA_FULL, false},
    {MS_DEF_PROV_W, PROV_RSA_FULL, false},
    {MS_ENHANCED_PROV_W, PROV_RSA_FULL, false},
    {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, true},
};

struct Algorithm {
  ALG_ID id;
  const EVP_MD* (*md)();
  DWORD size;
  bool sha2;
};

constexpr Algorithm kAlgorithms[] = {
    {CALG_MD5, EVP_md5, 16, false},       {CALG_SHA1, EVP_sha1, 20, false},
    {CALG_SHA_256, EVP_sha256, 32, true}, {CALG_SHA_384, EVP_sha384, 48, true},
    {CALG_SHA_512, EVP_sha512, 64, true},
};

constexpr DWORD kMaxProviderType = 999;

struct CryptProvider : Object {
  static constexpr HandleKind kKind{"crypt-provider", false};
  CryptProvider() : Object(kKind) {}
  const ProviderInfo* info = nullptr;
};

struct CryptHashObject : Object {
  static constexpr HandleKind kKind{"crypt-hash", false};
  CryptHashObject() : Object(kKind) {}
  ~CryptHashObject() override { EVP_MD_CTX_free(context); }
  uintptr_t provider_handle = 0;
  std::shared_ptr<CryptProvider> provider;
  const Algorithm* algorithm = nullptr;
  EVP_MD_CTX* context = nullptr;
  bool finished = false;  // the value was taken: no more data
  unsigned char value[EVP_MAX_MD_SIZE] = {};
};

// Key containers by scope ("MACHINE" or the user's SID) and upper-cased name.
std::set<std::wstring>& Containers() {
  static auto* containers = new std::set<std::wstring>();
  return *containers;
}

const ProviderInfo* FindProvider(const wchar_t* name, DWORD type, DWORD* error) {
  for (const ProviderInfo& info : kProviders) {
    if (name == nullptr || *name == 0) {
      if (info.type == type) return &info;
    } else if (EqualsNoCase(info.name, name)) {
      if (info.type != type) {
        *error = static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH);
        return nullptr;
      }
      return &info;
    }
  }
  *error = static_cast<DWORD>(name == nullptr || *name == 0 ? NTE_PROV_TYPE_NOT_DEF
                                                            : NTE_KEYSET_NOT_DEF);
  return nullptr;
}

// The hash of a handle, or null with the error Windows gives for that handle.
std::shared_ptr<CryptHashObject> HashOfLocked(HCRYPTHASH handle, DWORD* error) {
  auto hash = LookupAsLocked<CryptHashObject>(handle);
  if (!hash) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // A hash cannot be used once its provider was released.
  if (LookupLocked(hash->provider_handle) != hash->provider) {
    *error = static_cast<DWORD>(NTE_BAD_UID);
    return nullptr;
  }
  return hash;
}

// The size protocol of CryptGetHashParam: with a buffer that is too small, ERROR_MORE_DATA and
// the size needed; without a buffer, just the size.
BOOL CopyParam(BYTE* out, DWORD* out_size, const void* value, DWORD size) {
  if (out != nullptr) {
    if (*out_size < size) {
      *out_size = size;
      return Fail(ERROR_MORE_DATA, FALSE);
    }
    std::memcpy(out, value, size);
  }
  *out_size = size;
  return TRUE;
}

}  // namespace

void ResetCryptoLocked() { Containers().clear(); }

}  // namespace sim

using namespace sim;

extern "C" BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer,
                                            LPCWSTR szProvider, DWORD dwProvType, DWORD dwFlags) {
  if (DWORD e = SIM_ENTER(phProv, szContainer, szProvider, dwProvType, dwFlags)) {
    return Fail(e, FALSE);
  }
  auto fail = [](HRESULT error) { return Fail(static_cast<DWORD>(error), FALSE); };
  if (dwProvType == 0 || dwProvType > kMaxProviderType) return fail(NTE_BAD_PROV_TYPE);
  if (phProv == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  const ProviderInfo* info = FindProvider(szProvider, dwProvType, &error);
  if (info == nullptr) return fail(static_cast<HRESULT>(error));
  constexpr DWORD kKnownFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
  if (dwFlags & ~kKnownFlags) return fail(NTE_BAD_FLAGS);

  Lock lock(MachineLock());
  auto token = EffectiveTokenLocked();
  const bool named = szContainer != nullptr && *szContainer != 0;
  // Without a name the container is the default one, named after the user.
  const std::wstring container =
      ((dwFlags & CRYPT_MACHINE_KEYSET) ? std::wstring(L"MACHINE") : token->user_sid) + L"\\" +
      Upper(named ? std::wstring(szContainer) : token->user_name);
  auto& containers = Containers();
  switch (dwFlags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) {
    case 0:
      if (containers.count(container) == 0) return fail(NTE_BAD_KEYSET);
      break;
    case CRYPT_NEWKEYSET:
      if (containers.count(container) != 0) return fail(NTE_EXISTS);
      containers.insert(container);
      break;
    case CRYPT_VERIFYCONTEXT:
    case CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET:
      // A context without keys: it names no container.
      if (named) return fail(NTE_BAD_FLAGS);
      break;
    case CRYPT_DELETEKEYSET:
      if (containers.erase(container) == 0) return fail(NTE_BAD_KEYSET);
      return TRUE;  // no context is handed out
    default: return fail(NTE_BAD_FLAGS);
  }
  auto provider = std::make_shared<CryptProvider>();
  provider->info = info;
  *phProv = AddHandleLocked(provider);
  return TRUE;
}

extern "C" BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  if (DWORD e = SIM_ENTER_RELEASE(hProv, dwFlags)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  if (!LookupAsLocked<CryptProvider>(hProv)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  RemoveHandleLocked(hProv);
  if (dwFlags != 0) {
    // The context is gone all the same; the flags are only reported.
    return Fail(static_cast<DWORD>(NTE_BAD_FLAGS), FALSE);
  }
  return TRUE;
}

extern "C" BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                       DWORD dwFlags, HCRYPTHASH* phHash) {
  if (DWORD e = SIM_ENTER(hProv, Algid, hKey, dwFlags, phHash)) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  auto provider = LookupAsLocked<CryptProvider>(hProv);
  // No keys exist on this machine, so every key handle is invalid.
  if (!provider || phHash == nullptr || hKey != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS), FALSE);
  const Algorithm* algorithm = nullptr;
  for (const Algorithm& candidate : kAlgorithms) {
    if (candidate.id == Algid && (!candidate.sha2 || provider->info->sha2)) {
      algorithm = &candidate;
    }
  }
  if (algorithm == nullptr) return Fail(static_cast<DWORD>(NTE_BAD_ALGID), FALSE);
  auto hash = std::make_shared<CryptHashObject>();
  hash->provider_handle = hProv;
  hash->provider = provider;
  hash->algorithm = algorithm;
  hash->context = EVP_MD_CTX_new();
  if (hash->context == nullptr || EVP_DigestInit_ex(hash->context, algorithm->md(), nullptr) != 1) {
    return Fail(static_cast<DWORD>(E_OUTOFMEMORY), FALSE);
  }
  *phHash = AddHandleLocked(hash);
  return TRUE;
}

extern "C" BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                     DWORD dwFlags) {
  if (DWORD e = SIM_ENTER(hHash, pbData, dwDataLen, dwFlags)) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  DWORD error = 0;
  auto hash = HashOfLocked(hHash, &error);
  if (!hash) return Fail(error, FALSE);
  if (dwFlags & ~static_cast<DWORD>(CRYPT_USERDATA)) {
    return Fail(static_cast<DWORD>(NTE_BAD_FLAGS), FALSE);
  }
  if (hash->finished) return Fail(static_cast<DWORD>(NTE_BAD_HASH_STATE), FALSE);
  if (pbData == nullptr && dwDataLen > 0) return Fail(ERROR_NOACCESS, FALSE);
  if (dwDataLen > 0) EVP_DigestUpdate(hash->context, pbData, dwDataLen);
  return TRUE;
}

extern "C" BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                         DWORD* pdwDataLen, DWORD dwFlags) {
  if (DWORD e = SIM_ENTER(hHash, dwParam, pbData, pdwDataLen, dwFlags)) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  DWORD error = 0;
  auto hash = HashOfLocked(hHash, &error);
  if (!hash || pdwDataLen == nullptr) {
    return Fail(hash ? static_cast<DWORD>(ERROR_INVALID_PARAMETER) : error, FALSE);
  }
  if (dwFlags != 0) return Fail(static_cast<DWORD>(NTE_BAD_FLAGS), FALSE);
  const DWORD size = hash->algorithm->size;
  switch (dwParam) {
    case HP_ALGID: {
      const DWORD id = hash->algorithm->id;
      return CopyParam(pbData, pdwDataLen, &id, sizeof(id));
    }
    case HP_HASHSIZE: return CopyParam(pbData, pdwDataLen, &size, sizeof(size));
    case HP_HASHVAL:
      if (pbData == nullptr) {
        *pdwDataLen = size;
        return TRUE;
      }
      // Asking for the value with a buffer finishes the hash, even when the buffer is too
      // small; the value stays available, and no more data may be added.
      if (!hash->finished) {
        unsigned int length = 0;
        EVP_DigestFinal_ex(hash->context, hash->value, &length);
        hash->finished = true;
      }
      return CopyParam(pbData, pdwDataLen, hash->value, size);
    default: return Fail(static_cast<DWORD>(NTE_BAD_TYPE), FALSE);
  }
}

extern "C" BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  if (DWORD e = SIM_ENTER_RELEASE(hHash)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  DWORD error = 0;
  if (!HashOfLocked(hHash, &error)) return Fail(error, FALSE);
  RemoveHandleLocked(hHash);
  return TRUE;
}

// CryptoAPI hashing: providers, key containers and SHA-256 the way Windows does them.
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/conformance/scratch_dir.h"
#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"

namespace {

using dpal::test::FileHandle;
using dpal::test::PlatformTest;
using dpal::test::ScratchDir;
using dpal::test::WriteWholeFile;

using dpal::test::kSentinel;
constexpr HCRYPTPROV kProvSentinel = 0xdeadbeef;

// Published test vectors (FIPS 180-2 examples and the empty message).
constexpr const char* kSha256Abc =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kSha256Empty =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kSha256TwoBlocks =
    "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
constexpr const char* kTwoBlockMessage = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
constexpr const char* kSha1Abc = "a9993e364706816aba3e25717850c26c9cd0d89d";

std::string Hex(const BYTE* bytes, DWORD size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (DWORD i = 0; i < size; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

class Crypto : public PlatformTest {
 protected:
  // A key container of this test's own (tests under Wine share the prefix's containers).
  static std::wstring ContainerName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ScratchDir::Widen(std::string("DPALConformance.") + info->name() + "." +
                             std::to_string(GetCurrentProcessId()));
  }

  // The digest of the pieces, hashed with one CryptHashData call each; empty on failure.
  static std::string Digest(ALG_ID algorithm, std::initializer_list<std::string> pieces,
                            DWORD provider_type = PROV_RSA_AES) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, nullptr, provider_type, CRYPT_VERIFYCONTEXT)) {
      ADD_FAILURE() << "CryptAcquireContextW failed with " << std::hex << GetLastError();
      return "";
    }
    std::string result;
    HCRYPTHASH hash = 0;
    if (CryptCreateHash(prov, algorithm, 0, 0, &hash)) {
      bool ok = true;
      for (const std::string& piece : pieces) {
        ok = ok && CryptHashData(hash, reinterpret_cast<const BYTE*>(piece.data()),
                                 static_cast<DWORD>(piece.size()), 0);
      }
      BYTE value[64] = {};
      DWORD size = sizeof(value);
      if (ok && CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0)) result = Hex(value, size);
      CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
    return result;
  }

  // Hashes a file the way the catalogue check does: an exclusive open, its size, one
  // zero-filled buffer filled by reads of the rest until one gives 0 bytes, a context from the
  // first of three ways that works, and one CryptHashData call. Empty on failure.
  static std::string FileDigest(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return "";
    const DWORD size = GetFileSize(file.get(), nullptr);
    BYTE* buffer = static_cast<BYTE*>(LocalAlloc(LPTR, size));
    if (buffer == nullptr) return "";
    DWORD total = 0;
    for (;;) {
      DWORD read = 0;
      if (!ReadFile(file.get(), buffer + total, size - total, &read, nullptr) || read == 0) break;
      total += read;
    }
    std::string result;
    HCRYPTPROV prov = 0;
    if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, 0) ||
        CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
      HCRYPTHASH hash = 0;
      BYTE value[34] = {};
      DWORD value_size = sizeof(value);
      if (CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
        if (CryptHashData(hash, buffer, size, 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, value, &value_size, 0)) {
          EXPECT_EQ(value_size, 32u);
          EXPECT_EQ(value[32] | value[33], 0) << "only 32 bytes are written";
          result = Hex(value, 32);
        }
        CryptDestroyHash(hash);
      }
      CryptReleaseContext(prov, 0);
    }
    LocalFree(buffer);
    return result;
  }
};

TEST_F(Crypto, Sha256OfPublishedTestVectors) {
  EXPECT_EQ(Digest(CALG_SHA_256, {"abc"}), kSha256Abc);
  EXPECT_EQ(Digest(CALG_SHA_256, {""}), kSha256Empty);
  EXPECT_EQ(Digest(CALG_SHA_256, {}), kSha256Empty) << "no CryptHashData call at all";
  EXPECT_EQ(Digest(CALG_SHA_256, {kTwoBlockMessage}), kSha256TwoBlocks);
  EXPECT_EQ(
      Digest(CALG_SHA_256, {"abcdbcdecdefdefgefgh", "", "fghighijhijkijkljklmklmnlmnomnopnopq"}),
      kSha256TwoBlocks)
      << "data hashed in pieces";
  EXPECT_EQ(Digest(CALG_SHA1, {"abc"}), kSha1Abc);
}

#if defined(DPAL_SAMPLE_ICC)
TEST_F(Crypto, DigestOfAnIccProfileFileMatchesAnIndependentComputation) {
  // The profile comes from the build machine; its digest was computed by the build (CMake).
#if DPAL_SIM
  const std::string host_path = DPAL_SAMPLE_ICC;
#else
  const std::string host_path = std::string("Z:") + DPAL_SAMPLE_ICC;
#endif
  std::ifstream in(host_path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 128u) << "cannot read " << host_path;
  ASSERT_EQ(bytes.compare(36, 4, "acsp"), 0) << "not an ICC profile";

  ScratchDir scratch;
  const std::wstring path = scratch.Name(L"QXLCD_Sample.icm");
  ASSERT_TRUE(WriteWholeFile(path, bytes));
  EXPECT_EQ(FileDigest(path), DPAL_SAMPLE_ICC_SHA256);

  bytes[bytes.size() / 2] ^= 0x01;
  ASSERT_TRUE(WriteWholeFile(path, bytes));
  const std::string changed = FileDigest(path);
  EXPECT_EQ(changed.size(), 64u);
  EXPECT_NE(changed, DPAL_SAMPLE_ICC_SHA256) << "one changed bit changes the digest";
}
#endif

TEST_F(Crypto, KeyContainerFlagsFollowTheDocumentedSequence) {
  const std::wstring name = ContainerName();
  HCRYPTPROV prov = kProvSentinel;
  CryptAcquireContextW(&prov, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);

  prov = kProvSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptAcquireContextW(&prov, name.c_str(), nullptr, PROV_RSA_AES, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET)) << "no such container yet";
  EXPECT_EQ(prov, kProvSentinel) << "no handle on failure";

  HCRYPTPROV created = 0;
  ASSERT_TRUE(CryptAcquireContextW(&created, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET))
      << std::hex << GetLastError();
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptAcquireContextW(&prov, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
  HCRYPTPROV opened = 0;
  EXPECT_TRUE(CryptAcquireContextW(&opened, name.c_str(), nullptr, PROV_RSA_AES, 0))
      << "the container exists now";
  EXPECT_NE(opened, created) << "each acquisition is a context of its own";
  EXPECT_TRUE(CryptReleaseContext(opened, 0));
  EXPECT_TRUE(CryptReleaseContext(created, 0));
  SetLastError(kSentinel);
  EXPECT_FALSE(
      CryptAcquireContextW(&prov, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS))
      << "a context without keys names no container";

  ASSERT_TRUE(CryptAcquireContextW(&prov, name.c_str(), nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET));
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptAcquireContextW(&prov, name.c_str(), nullptr, PROV_RSA_AES, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET)) << "deleted";

  // The order in which the catalogue check tries: the default container, then a context
  // without keys, then a new default container.
  HCRYPTPROV fallback = 0;
  const BOOL default_container = CryptAcquireContextW(&fallback, nullptr, nullptr, PROV_RSA_AES, 0);
#if DPAL_SIM
  EXPECT_FALSE(default_container) << "a fresh machine has no default container";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
#endif
  if (!default_container) {
    EXPECT_TRUE(
        CryptAcquireContextW(&fallback, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        << std::hex << GetLastError();
  }
  EXPECT_TRUE(CryptReleaseContext(fallback, 0));
}

TEST_F(Crypto, ProviderChoiceErrors) {
  HCRYPTPROV prov = kProvSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, nullptr, 0, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_PROV_TYPE));
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, L"No Such Cryptographic Provider", PROV_RSA_AES,
                                    CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
  EXPECT_EQ(prov, kProvSentinel);

  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                   CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptCreateHash(prov, 0x1234, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID)) << "not a hash algorithm";
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

TEST_F(Crypto, Sha2NeedsTheAesProvider) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID)) << "SHA-256 from PROV_RSA_FULL";
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

TEST_F(Crypto, HashValueFollowsTheSizeProtocol) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));

  DWORD hash_size = kSentinel;
  DWORD length = sizeof(hash_size);
  ASSERT_TRUE(
      CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hash_size), &length, 0));
  EXPECT_EQ(hash_size, 32u);
  EXPECT_EQ(length, sizeof(DWORD));
  DWORD algorithm = kSentinel;
  length = sizeof(algorithm);
  ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&algorithm), &length, 0));
  EXPECT_EQ(algorithm, static_cast<DWORD>(CALG_SHA_256));

  length = kSentinel;
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &length, 0));
  EXPECT_EQ(length, 32u) << "no buffer: the size";

  BYTE value[40];
  std::memset(value, 0xEE, sizeof(value));
  length = 31;
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(length, 32u) << "one short: the size needed";
  EXPECT_EQ(value[0], 0xEE) << "one short: the buffer is untouched";

  for (DWORD offered : {32u, 33u}) {
    std::memset(value, 0xEE, sizeof(value));
    length = offered;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0)) << offered;
    EXPECT_EQ(length, 32u) << "offered " << offered;
    EXPECT_EQ(Hex(value, 32), kSha256Abc);
    EXPECT_EQ(value[32], 0xEE) << "nothing written past the value";
  }

  SetLastError(kSentinel);
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE*>("d"), 1, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH_STATE)) << "the value was taken";
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

#if DPAL_SIM

TEST_F(Crypto, KeyContainersBelongToTheirUser) {
  sim::SetProcessIdentity(sim::LocalSystem());
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, 0));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  sim::SetProcessIdentity(sim::DefaultAdmin());
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET)) << "another user's default";
}

TEST_F(Crypto, InjectedFaultsFailTheFileDigestWithoutLeaks) {
  sim::PutFile(L"C:\\p.icm", {'a', 'b', 'c'});
  ASSERT_EQ(FileDigest(L"C:\\p.icm"), kSha256Abc);
  sim::FailNth("CryptHashData", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(FileDigest(L"C:\\p.icm"), "") << "hashing failed";
  sim::ClearFaults();
  sim::FailNth("ReadFile", 1, ERROR_NOT_READY);
  EXPECT_NE(FileDigest(L"C:\\p.icm"), kSha256Abc)
      << "a failed read leaves the zero-filled buffer, whose digest is another";
  // The fixture's leak check then confirms that every path released what it took.
}

TEST_F(Crypto, LeakCheckCountsProvidersAndHashes) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
  sim::LeakReport leaks = sim::Leaks();
  EXPECT_EQ(leaks.open_handles["crypt-provider"], 1) << leaks.Describe();
  EXPECT_EQ(leaks.open_handles["crypt-hash"], 1) << leaks.Describe();
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(prov))) << "not a kernel handle";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // Releasing the context first strands the hash: it can no longer be destroyed.
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptDestroyHash(hash));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
  leaks = sim::Leaks();
  EXPECT_EQ(leaks.open_handles["crypt-provider"], 0);
  EXPECT_EQ(leaks.open_handles["crypt-hash"], 1) << "the stranded hash is a leak";
  KeepLeaksOnPurpose();  // the stranded hash above
}

#endif  // DPAL_SIM

}  // namespace

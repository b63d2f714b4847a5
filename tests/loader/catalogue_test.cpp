// The profile catalogue: loading, version matching and the digest check of every file, with
// real ICC profiles and digests computed by the build.
#include <algorithm>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/registry_layout.h"
#include "loader/catalogue.h"
#include "tests/support/fault_sweep.h"
#include "harness/fixtures.h"
#include "tests/support/platform_test.h"

namespace {

namespace layout = dpal::layout;
using dpal::CatalogueStatus;
using dpal::test::ProfileFixture;

constexpr DWORD kSdr = 1;
constexpr DWORD kHdr = 2;

class Catalogue : public dpal::test::MachineKeysTest {
 protected:
  void SetUp() override {
    MachineKeysTest::SetUp();
    ASSERT_TRUE(dpal::GetColourDirectory(colour_));
  }
  void TearDown() override {
    for (const std::wstring& path : written_) DeleteFileW(path.c_str());
    MachineKeysTest::TearDown();
  }

  std::wstring ProfilePath(const std::wstring& base) const {
    return std::wstring(colour_) + L"\\" + base + L".icm";
  }
  void WriteProfile(const std::wstring& base, const std::vector<uint8_t>& bytes) {
    const std::wstring path = ProfilePath(base);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write the profile";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
    written_.push_back(path);
  }
  // One catalogue entry: its key, "Type", and the digest value named after the base name.
  void AddEntry(const std::wstring& name, DWORD type, const std::wstring& base, const void* digest,
                DWORD digest_size) {
    const std::wstring key = std::wstring(layout::kCatalogueKey) + L"\\" + name;
    dpal::test::PutDword(HKEY_LOCAL_MACHINE, key, layout::kTypeValue, type);
    dpal::test::PutBinary(HKEY_LOCAL_MACHINE, key, base.c_str(), digest, digest_size);
  }
  // An entry whose file is in place with its correct digest.
  void AddGoodEntry(const std::wstring& name, DWORD type, const ProfileFixture& fixture) {
    const std::wstring base = name.substr(name.find(L"QXLCD_"));
    AddEntry(name, type, base, fixture.sha256.data(), dpal::kSha256Bytes);
    WriteProfile(base, fixture.bytes);
  }
  void Versions(const wchar_t* sdr, const wchar_t* hdr) {
    if (sdr)
      dpal::test::PutString(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSdrVersionValue,
                            sdr);
    if (hdr)
      dpal::test::PutString(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kHdrVersionValue,
                            hdr);
  }
  // The catalogue of a well-provisioned machine: versions 3 and 1, both files intact.
  void GoodCatalogue() {
    Versions(L"3", L"1");
    AddGoodEntry(L"QXLCD_Panel_V3_S", kSdr, dpal::test::SdrProfile());
    AddGoodEntry(L"QXLCD_Panel_V1_H", kHdr, dpal::test::HdrProfile());
  }

  WCHAR colour_[dpal::kPathUnits] = {};
  std::vector<std::wstring> written_;
};

TEST_F(Catalogue, IntactCatalogueIsVerified) {
  GoodCatalogue();
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::Verified);
}

TEST_F(Catalogue, MissingOrEmptyCatalogueIsInvalid) {
  Versions(L"3", L"1");
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid) << "no key";
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, layout::kCatalogueKey);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid) << "no entries";
}

TEST_F(Catalogue, OneMalformedEntryInvalidatesTheWholeCatalogue) {
  GoodCatalogue();
  const auto& sdr = dpal::test::SdrProfile();
  AddEntry(L"qxlcd_lower_V3_S", kSdr, L"qxlcd_lower_V3_S", sdr.sha256.data(), dpal::kSha256Bytes);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid)
      << "the marker is case-sensitive";
}

TEST_F(Catalogue, DigestValuesOfTheWrongTypeOrSizeInvalidateTheCatalogue) {
  GoodCatalogue();
  const std::wstring key = std::wstring(layout::kCatalogueKey) + L"\\QXLCD_Extra";
  dpal::test::PutString(HKEY_LOCAL_MACHINE, key, L"QXLCD_Extra", L"not a digest");
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid) << "REG_SZ";
  std::vector<uint8_t> forty(40, 0x11);
  dpal::test::PutBinary(HKEY_LOCAL_MACHINE, key, L"QXLCD_Extra", forty.data(), 40);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid) << "40 bytes";
}

TEST_F(Catalogue, BaseNameStartsAtTheFirstMarker) {
  const auto& sdr = dpal::test::SdrProfile();
  const auto& hdr = dpal::test::HdrProfile();
  Versions(L"3", L"1");
  // "X_QXLCD_..." names the file from the marker on; a second marker stays in the base name.
  AddEntry(L"X_QXLCD_A_V3_S", kSdr, L"QXLCD_A_V3_S", sdr.sha256.data(), dpal::kSha256Bytes);
  WriteProfile(L"QXLCD_A_V3_S", sdr.bytes);
  AddEntry(L"QXLCD_B_QXLCD_V1_H", kHdr, L"QXLCD_B_QXLCD_V1_H", hdr.sha256.data(),
           dpal::kSha256Bytes);
  WriteProfile(L"QXLCD_B_QXLCD_V1_H", hdr.bytes);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::Verified);

  std::vector<dpal::ProfileCatalogueEntry> entries;
  ASSERT_TRUE(dpal::LoadProfileCatalogue({L"X_QXLCD_A_V3_S", L"QXLCD_B_QXLCD_V1_H"}, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_STREQ(entries[0].entry_name, L"X_QXLCD_A_V3_S");
  EXPECT_STREQ(entries[0].file_base_name, L"QXLCD_A_V3_S");
  EXPECT_EQ(entries[0].type, kSdr);
  EXPECT_STREQ(entries[1].file_base_name, L"QXLCD_B_QXLCD_V1_H");
}

TEST_F(Catalogue, VersionsMustBothBePresentInEntriesOfTheirKind) {
  const auto& sdr = dpal::test::SdrProfile();
  const auto& hdr = dpal::test::HdrProfile();
  Versions(L"3", L"1");
  AddGoodEntry(L"QXLCD_Panel_V3_S", kSdr, sdr);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid) << "SDR only";
  // A type-1 entry that carries the HDR tag is no HDR match.
  AddGoodEntry(L"QXLCD_Panel_V1_X", kSdr, hdr);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid);
  AddGoodEntry(L"QXLCD_Panel_V1_H", kHdr, hdr);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::Verified);
  Versions(L"4", nullptr);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid) << "no _V4_";
  // A version whose tag cannot be made matches nothing, even where an entry would hold it.
  const std::wstring long_version(300, L'3');
  std::vector<dpal::ProfileCatalogueEntry> entries;
  ASSERT_TRUE(dpal::LoadProfileCatalogue({L"QXLCD_Panel_V3_S", L"QXLCD_Panel_V1_H"}, entries));
  EXPECT_TRUE(dpal::MatchProfileVersions(L"3", L"1", entries));
  EXPECT_FALSE(dpal::MatchProfileVersions(long_version, L"1", entries));
  EXPECT_FALSE(dpal::MatchProfileVersions(L"3", long_version, entries));
}

TEST_F(Catalogue, MissingVersionMeansTheBareTag) {
  const auto& sdr = dpal::test::SdrProfile();
  const auto& hdr = dpal::test::HdrProfile();
  Versions(nullptr, L"1");  // "SDRVersion" missing: the SDR tag is "_V_"
  AddGoodEntry(L"QXLCD_Panel_V1_H", kHdr, hdr);
  AddGoodEntry(L"QXLCD_Panel_V3_S", kSdr, sdr);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::CatalogueInvalid);
  AddGoodEntry(L"QXLCD_Panel_V_S", kSdr, sdr);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::Verified);
}

TEST_F(Catalogue, MissingOrAlteredFilesNeedARestore) {
  GoodCatalogue();
  DeleteFileW(ProfilePath(L"QXLCD_Panel_V1_H").c_str());
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::FilesInvalid) << "missing file";

  auto altered = dpal::test::HdrProfile().bytes;
  altered[altered.size() / 2] ^= 0x01;
  WriteProfile(L"QXLCD_Panel_V1_H", altered);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::FilesInvalid) << "one bit changed";
}

TEST_F(Catalogue, EntriesThatPlayNoPartInVersionsAreStillVerified) {
  GoodCatalogue();
  const auto& sdr = dpal::test::SdrProfile();
  AddEntry(L"QXLCD_Spare", 0, L"QXLCD_Spare", sdr.sha256.data(),
           dpal::kSha256Bytes);  // its file is missing
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::FilesInvalid);
}

TEST_F(Catalogue, FileHeldOpenElsewhereCannotBeVerified) {
  GoodCatalogue();
  const std::wstring path = ProfilePath(L"QXLCD_Panel_V3_S");
  HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::FilesInvalid);
  CloseHandle(other);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::Verified);
}

TEST_F(Catalogue, DigestMayCarryTwoZeroSpareBytes) {
  const auto& sdr = dpal::test::SdrProfile();
  WriteProfile(L"QXLCD_Digest", sdr.bytes);
  BYTE expected[dpal::kDigestBytes] = {};
  std::copy(sdr.sha256.begin(), sdr.sha256.end(), expected);
  EXPECT_TRUE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Digest").c_str(), expected));
  expected[33] = 1;
  EXPECT_FALSE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Digest").c_str(), expected))
      << "a spare byte that is not zero";
  expected[33] = 0;
  expected[0] ^= 0xFF;
  EXPECT_FALSE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Digest").c_str(), expected));
}

TEST_F(Catalogue, LoadingIsAllOrNothing) {
  GoodCatalogue();
  std::vector<dpal::ProfileCatalogueEntry> entries(3);
  EXPECT_FALSE(dpal::LoadProfileCatalogue({}, entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(dpal::LoadProfileCatalogue({L"QXLCD_Panel_V3_S", L"QXLCD"}, entries))
      << "a name too short to hold the marker";
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(dpal::LoadProfileCatalogue({L"QXLCD_Panel_V3_S", L"QXLCD_NoDigest"}, entries));
  EXPECT_TRUE(entries.empty());
  // An entry whose file would be no plain file name in the colour directory names no profile of
  // the package: the catalogue is invalid, and no path outside the directory is ever opened.
  const auto& sdr = dpal::test::SdrProfile();
  for (const std::wstring name : {L"QXLCD_/../../victim", L"QXLCD_a:b", L"QXLCD_x."}) {
    AddEntry(name, kSdr, name, sdr.sha256.data(), dpal::kSha256Bytes);
    EXPECT_FALSE(dpal::LoadProfileCatalogue({L"QXLCD_Panel_V3_S", name}, entries)) << name.c_str();
    EXPECT_TRUE(entries.empty());
  }
}

#if !DPAL_SIM

// A file of 4 GiB and more, made sparse (the sim keeps files in memory, so this runs under Wine
// only). Its first bytes are a real profile: hashing as many bytes as the low part of its size
// would find the profile's digest.
TEST_F(Catalogue, FileOfFourGiBOrMoreIsNeverVerified) {
  const auto& sdr = dpal::test::SdrProfile();
  WriteProfile(L"QXLCD_Huge", sdr.bytes);
  const std::wstring path = ProfilePath(L"QXLCD_Huge");
  {
    dpal::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid()) << GetLastError();
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG{1} << 32) + static_cast<LONGLONG>(sdr.bytes.size());
    ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN)) << GetLastError();
    ASSERT_TRUE(SetEndOfFile(file.get())) << GetLastError();
  }
  BYTE expected[dpal::kDigestBytes] = {};
  std::copy(sdr.sha256.begin(), sdr.sha256.end(), expected);
  EXPECT_FALSE(dpal::VerifyFileDigest(path.c_str(), expected))
      << "a digest of the file's first bytes only";
}

#else

TEST_F(Catalogue, AfterTheFirstBadFileNoOtherFileIsOpened) {
  GoodCatalogue();
  auto altered = dpal::test::SdrProfile().bytes;
  altered[0] ^= 0x01;
  WriteProfile(L"QXLCD_Panel_V3_S", altered);  // the second entry in enumeration order
  sim::RecordTrace(true);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::FilesInvalid);
  std::vector<std::wstring> opened;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "CreateFileW") opened.push_back(call.args);
  }
  ASSERT_EQ(opened.size(), 2u) << "QXLCD_Panel_V1_H, then the altered QXLCD_Panel_V3_S";
  EXPECT_NE(opened[1].find(L"QXLCD_Panel_V3_S.icm"), std::wstring::npos);
}

// A user may put a file of any size in the colour directory: it is hashed in pieces of a fixed
// size, and a file whose every byte is the profile's plus one more is not the profile.
TEST_F(Catalogue, AFileOfAnySizeIsHashedInPiecesNeverReadWhole) {
  const auto& sdr = dpal::test::SdrProfile();
  BYTE expected[dpal::kDigestBytes] = {};
  std::copy(sdr.sha256.begin(), sdr.sha256.end(), expected);
  std::vector<uint8_t> large = sdr.bytes;
  while (large.size() < 32u * 1024 * 1024)
    large.insert(large.end(), sdr.bytes.begin(), sdr.bytes.end());
  WriteProfile(L"QXLCD_Large", large);
  sim::RecordTrace(true);
  EXPECT_FALSE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Large").c_str(), expected));
  uint64_t reads = 0;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function != "ReadFile") continue;
    ++reads;
    EXPECT_NE(call.args.find(L", 0x4000, "), std::wstring::npos) << sim::Utf8(call.args);
  }
  EXPECT_GT(reads, large.size() / 16384) << "every byte is read";
  EXPECT_EQ(sim::CallCount("LocalAlloc"), 0u);

  std::vector<uint8_t> longer = sdr.bytes;
  longer.push_back(0);
  WriteProfile(L"QXLCD_Longer", longer);
  EXPECT_FALSE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Longer").c_str(), expected));
  WriteProfile(L"QXLCD_Exact", sdr.bytes);
  EXPECT_TRUE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Exact").c_str(), expected));
}

TEST_F(Catalogue, ProviderIsAcquiredInTheDocumentedOrder) {
  GoodCatalogue();
  sim::RecordTrace(true);
  BYTE expected[dpal::kDigestBytes] = {};
  const auto& sdr = dpal::test::SdrProfile();
  std::copy(sdr.sha256.begin(), sdr.sha256.end(), expected);
  EXPECT_TRUE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Panel_V3_S").c_str(), expected));
  std::vector<std::wstring> acquires;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "CryptAcquireContextW") acquires.push_back(call.args);
  }
  // The default container first; without one, the verification context.
  ASSERT_GE(acquires.size(), 2u);
  EXPECT_NE(acquires[0].find(L"24, 0"), std::wstring::npos) << acquires[0];
  EXPECT_NE(acquires[1].find(L"0xf0000000"), std::wstring::npos) << acquires[1];

  // Without any provider the file cannot be verified; a new key set is the last attempt.
  sim::ClearTrace();
  sim::FailAlways("CryptAcquireContextW", static_cast<DWORD>(NTE_BAD_KEYSET));
  EXPECT_FALSE(dpal::VerifyFileDigest(ProfilePath(L"QXLCD_Panel_V3_S").c_str(), expected));
  acquires.clear();
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "CryptAcquireContextW") acquires.push_back(call.args);
  }
  ASSERT_EQ(acquires.size(), 3u);
  EXPECT_NE(acquires[2].find(L"24, 8"), std::wstring::npos) << acquires[2];
  EXPECT_EQ(sim::CallCount("CryptCreateHash"), 0u);
}

TEST_F(Catalogue, WithoutTheSystemDirectoryTheFilesCannotBeVerified) {
  GoodCatalogue();
  sim::ClearTrace();
  sim::FailAlways("SHGetFolderPathW", ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(dpal::VerifyProfileCatalogue(), CatalogueStatus::FilesInvalid);
  EXPECT_EQ(sim::CallCount("CreateFileW"), 0u) << "no file is opened";
}

TEST_F(Catalogue, EveryFailingCallOfTheDigestCheckFailsItAndLeaksNothing) {
  const auto& sdr = dpal::test::SdrProfile();
  WriteProfile(L"QXLCD_Digest", sdr.bytes);
  BYTE expected[dpal::kDigestBytes] = {};
  std::copy(sdr.sha256.begin(), sdr.sha256.end(), expected);
  const std::wstring path = ProfilePath(L"QXLCD_Digest");
  int absorbed = 0;
  dpal::test::SweepFaults([&] { return dpal::VerifyFileDigest(path.c_str(), expected); },
                          [&](bool verified, uint64_t, bool faulted) {
                            if (!faulted) {
                              EXPECT_TRUE(verified) << "the clean run verifies the file";
                            } else if (verified) {
                              // A failed acquire is absorbed by the next flags in the sequence
                              // (flags 0 fails on its own here, so two acquires can be made to
                              // fail harmlessly); any other failure fails.
                              ++absorbed;
                            }
                          });
  EXPECT_LE(absorbed, 2);
}

#endif

}  // namespace

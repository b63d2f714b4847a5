#include "loader/catalogue.h"

#include <cstring>

#include "common/failure_boundary.h"
#include "common/handles.h"
#include "common/registry_layout.h"
#include "loader/shared/registry.h"

namespace dpal {

namespace {

// How much of a profile file is read at a time. The colour directory is writable by standard
// users, so a file there may be of any size: it is hashed piece by piece in a buffer of this
// size, never read whole into memory of the size it claims.
constexpr DWORD kReadPiece = 16 * 1024;

// Hashes every byte of the file. False when the size cannot be had, a read fails, or fewer or
// more bytes are read than the size the file had at the start (a file that changes while it is
// checked is not the file that was checked).
bool HashFile(HANDLE file, HCRYPTHASH hash) {
  DWORD high = 0;
  const DWORD size = GetFileSize(file, &high);
  // A file of 4 GiB or more is no profile, and hashing only its low part could let an altered
  // file pass.
  if (size == INVALID_FILE_SIZE || high != 0) return false;
  BYTE piece[kReadPiece];
  DWORD total = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, piece, sizeof(piece), &read, nullptr)) return false;
    if (read == 0) break;
    if (read > size - total) return false;
    if (!CryptHashData(hash, piece, read, 0)) return false;
    total += read;
  }
  return total == size;
}

}  // namespace

bool ComputeFileDigest(const WCHAR* path, BYTE (&digest)[kDigestBytes]) {
  std::memset(digest, 0, sizeof(digest));
  UniqueFile file(
      CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;

  UniqueCryptProvider provider;
  if (!CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, 0) &&
      !CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      !CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
    return false;
  }

  BYTE computed[kDigestBytes] = {};
  DWORD computed_size = kSha256Bytes;
  UniqueCryptHash hash;
  if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.Put()) ||
      !HashFile(file.get(), hash.get()) ||
      !CryptGetHashParam(hash.get(), HP_HASHVAL, computed, &computed_size, 0)) {
    return false;
  }
  std::memcpy(digest, computed, sizeof(digest));
  return true;
}

bool VerifyFileDigest(const WCHAR* path, const BYTE (&expected)[kDigestBytes]) {
  BYTE computed[kDigestBytes];
  return ComputeFileDigest(path, computed) && std::memcmp(computed, expected, kDigestBytes) == 0;
}

bool LoadProfileCatalogue(const std::vector<std::wstring>& names,
                          std::vector<ProfileCatalogueEntry>& entries) {
  entries.clear();
  if (names.empty()) return false;
  std::vector<ProfileCatalogueEntry> loaded;
  loaded.reserve(names.size());
  for (const std::wstring& name : names) {
    ProfileCatalogueEntry entry;
    WCHAR key[kPathUnits];
    if (!Format(key, L"%s\\%s", layout::kCatalogueKey, name.c_str())) return false;
    if (!Copy(entry.entry_name, name.c_str())) return false;
    entry.type = ReadDwordValue(HKEY_LOCAL_MACHINE, key, layout::kTypeValue);
    if (!ProfileFileBaseName(entry.entry_name, entry.file_base_name)) return false;
    if (!ReadBinaryValue(HKEY_LOCAL_MACHINE, key, entry.file_base_name, entry.expected_digest))
      return false;
    loaded.push_back(entry);
  }
  entries.swap(loaded);
  return true;
}

bool MatchProfileVersions(const std::wstring& sdr_version, const std::wstring& hdr_version,
                          const std::vector<ProfileCatalogueEntry>& entries) {
  WCHAR sdr_tag[kPathUnits];
  WCHAR hdr_tag[kPathUnits];
  if (!Format(sdr_tag, L"_V%s_", sdr_version.c_str()) ||
      !Format(hdr_tag, L"_V%s_", hdr_version.c_str())) {
    return false;
  }
  bool sdr_found = false;
  bool hdr_found = false;
  for (const ProfileCatalogueEntry& entry : entries) {
    if (IsProfileType(entry.type, ProfileType::Sdr) && !sdr_found) {
      sdr_found = StrStrW(entry.entry_name, sdr_tag) != nullptr;
    } else if (IsProfileType(entry.type, ProfileType::Hdr) && !hdr_found) {
      hdr_found = StrStrW(entry.entry_name, hdr_tag) != nullptr;
    }
  }
  return sdr_found && hdr_found;
}

CatalogueStatus VerifyProfileCatalogue() {
  return ContainFailure(CatalogueStatus::CatalogueInvalid, [] {
    std::vector<std::wstring> names;
    EnumerateSubKeys(HKEY_LOCAL_MACHINE, layout::kCatalogueKey, names);
    std::vector<ProfileCatalogueEntry> entries;
    if (!LoadProfileCatalogue(names, entries)) return CatalogueStatus::CatalogueInvalid;
    const std::wstring sdr =
        ReadStringValue(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSdrVersionValue);
    const std::wstring hdr =
        ReadStringValue(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kHdrVersionValue);
    if (!MatchProfileVersions(sdr, hdr, entries)) return CatalogueStatus::CatalogueInvalid;

    WCHAR colour[kPathUnits];
    if (!GetColourDirectory(colour)) return CatalogueStatus::FilesInvalid;
    for (const ProfileCatalogueEntry& entry : entries) {
      WCHAR path[kPathUnits];
      if (!ProfileFilePath(colour, entry.entry_name, path) ||
          !VerifyFileDigest(path, entry.expected_digest)) {
        return CatalogueStatus::FilesInvalid;
      }
    }
    return CatalogueStatus::Verified;
  });
}

}  // namespace dpal

// The profile catalogue: which profile files the package installs, of which kind, with which
// SHA-256 digest, and the check that they are complete and intact.
#pragma once

#include <string>
#include <vector>

#include "common/format.h"
#include "common/profile_files.h"
#include "platform/win32.h"

namespace dpal {

struct ProfileCatalogueEntry {
  DWORD type = 0;                         // "Type" (see ProfileType), 0 when missing
  WCHAR entry_name[kPathUnits] = {};      // the subkey name
  WCHAR file_base_name[kPathUnits] = {};  // ProfileFileBaseName of the entry name
  BYTE expected_digest[kDigestBytes] = {};
};

enum class CatalogueStatus {
  Verified = 1,          // complete, versions present, every file intact
  CatalogueInvalid = 2,  // missing, empty or malformed, or a configured version is absent
  FilesInvalid = 3,      // colour directory unknown, or a file missing, unreadable or altered
};

// Reads the catalogue and checks every file. Never throws.
CatalogueStatus VerifyProfileCatalogue();

// Builds one entry per name, all or nothing: false (and entries cleared) when the list is
// empty or any entry is malformed.
bool LoadProfileCatalogue(const std::vector<std::wstring>& names,
                          std::vector<ProfileCatalogueEntry>& entries);

// True when a type-1 entry carries "_V<sdr>_" and a type-2 entry carries "_V<hdr>_" in its name.
bool MatchProfileVersions(const std::wstring& sdr_version, const std::wstring& hdr_version,
                          const std::vector<ProfileCatalogueEntry>& entries);

// The file's SHA-256 in the first 32 bytes of digest, its two spare bytes zero. The file is
// opened exclusively and hashed in pieces, as VerifyFileDigest does. False (digest all zero)
// when the file cannot be opened or read whole.
bool ComputeFileDigest(const WCHAR* path, BYTE (&digest)[kDigestBytes]);

// True when the file's SHA-256 equals the first 32 bytes of expected and its two spare bytes
// are zero. The file is opened exclusively: a file that someone else holds open fails.
bool VerifyFileDigest(const WCHAR* path, const BYTE (&expected)[kDigestBytes]);

}  // namespace dpal

// Fuzz target: the profile catalogue with arbitrary entry names, types and digests, and the
// versions it is matched against.
//
// Input: byte  which versions are stored (bit 0 "SDRVersion", bit 1 "HDRVersion")
//        text  the SDR version, text the HDR version
//        byte  the number of entries (modulo 5); for each entry:
//          byte   flags: bit 0 the name is "QXLCD_Panel_V" followed by the text, bit 1 "Type"
//                 is stored, bit 2 it is a dword of the input (else 1 + bit 3: 1 or 2), bit 4 the
//                 digest value is named after the file's base name (else "Digest"), bit 5 the
//                 digest is the file's true SHA-256 (bit 6: without the two spare zero bytes),
//                 else bytes of the input; bit 7 the file is in the colour directory
//          text   the entry name (or its tail, bit 0)
//          dword  the "Type" (bit 2)
//          word   (not bit 5) the digest's size modulo 64, then its bytes
//          word   (bit 7) the file's size modulo 4096, then its bytes
//
// Checks: a catalogue reported intact has, for every subkey, a name with the marker whose file is
// in the colour directory, and a REG_BINARY digest value named after the base name whose first 32
// bytes are the file's SHA-256 and whose spare bytes are zero (computed here with OpenSSL, not
// with the platform's hash); the loaded entries hold terminated names, the base name being the
// tail of the entry name from its marker; nothing leaks, and no file is left open.
#include <openssl/sha.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "fuzz/fuzz_input.h"
#include "loader/catalogue.h"
#include "loader/shared/registry.h"
#include "harness/registry_writer.h"

namespace {

namespace layout = dpal::layout;
using dpal::fuzz::Check;

std::vector<uint8_t> Sha256(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> digest(SHA256_DIGEST_LENGTH);
  SHA256(bytes.data(), bytes.size(), digest.data());
  return digest;
}

bool Terminated(const WCHAR* buffer) { return wmemchr(buffer, L'\0', dpal::kPathUnits); }

// The whole catalogue, read back through the registry as it is now.
void CheckIntact(const std::wstring& colour) {
  std::vector<std::wstring> names;
  dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, layout::kCatalogueKey, names);
  Check(!names.empty(), "an intact catalogue has entries");
  for (const std::wstring& name : names) {
    WCHAR base[dpal::kPathUnits];
    Check(dpal::ProfileFileBaseName(name.c_str(), base), "an intact entry names its file");
    std::vector<uint8_t> file;
    Check(sim::GetFile(colour + L"\\" + base + L".icm", &file), "an intact entry's file exists");
    const std::wstring key = std::wstring(layout::kCatalogueKey) + L"\\" + name;
    BYTE digest[64] = {};
    DWORD type = 0;
    DWORD size = sizeof(digest);
    Check(RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), base, RRF_RT_ANY, &type, digest, &size) ==
              ERROR_SUCCESS,
          "an intact entry has its digest value");
    Check(type == REG_BINARY && size <= dpal::kDigestBytes, "the digest is a short REG_BINARY");
    Check(std::memcmp(digest, Sha256(file).data(), dpal::kSha256Bytes) == 0,
          "an intact entry's digest is its file's SHA-256");
    Check(digest[32] == 0 && digest[33] == 0, "an intact entry's spare bytes are zero");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const dpal::fuzz::Machine machine;
  dpal::fuzz::Input input(data, size);
  WCHAR colour_buffer[dpal::kPathUnits];
  Check(dpal::GetColourDirectory(colour_buffer), "the colour directory is known");
  const std::wstring colour = colour_buffer;

  const uint8_t versions = input.Byte();
  const std::wstring sdr = input.Text();
  const std::wstring hdr = input.Text();
  {
    dpal::test::RegistryWriter settings;
    settings.Create(HKEY_LOCAL_MACHINE, layout::kSettingsKey);
    if (versions & 1) settings.String(layout::kSdrVersionValue, sdr);
    if (versions & 2) settings.String(layout::kHdrVersionValue, hdr);
  }

  const size_t count = input.Byte() % 5;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t flags = input.Byte();
    std::wstring name = input.Text();
    if (flags & 1) name = L"QXLCD_Panel_V" + name;
    const DWORD type = (flags & 4) ? input.Dword() : 1 + ((flags >> 3) & 1);
    std::vector<uint8_t> digest;
    if (!(flags & 32)) digest = input.Bytes(input.Word() % 64);
    std::vector<uint8_t> file;
    if (flags & 128) file = input.Bytes(input.Word() % 4096);
    if (flags & 32) {
      digest = Sha256(file);
      if (!(flags & 64)) digest.resize(dpal::kDigestBytes, 0);
    }

    dpal::test::RegistryWriter entry;
    if (entry.Create(HKEY_LOCAL_MACHINE, std::wstring(layout::kCatalogueKey) + L"\\" + name) !=
        ERROR_SUCCESS) {
      continue;
    }
    if (flags & 2) entry.Dword(layout::kTypeValue, type);
    WCHAR base[dpal::kPathUnits];
    const bool has_base = dpal::ProfileFileBaseName(name.c_str(), base);
    const std::wstring digest_name = (flags & 16) && has_base ? std::wstring(base) : L"Digest";
    entry.Binary(digest_name.c_str(), digest.data(), digest.size());
    if ((flags & 128) && has_base) sim::PutFile(colour + L"\\" + base + L".icm", file);
  }

  const dpal::CatalogueStatus status = dpal::VerifyProfileCatalogue();
  Check(status == dpal::CatalogueStatus::Verified ||
            status == dpal::CatalogueStatus::CatalogueInvalid ||
            status == dpal::CatalogueStatus::FilesInvalid,
        "a known status");
  if (status == dpal::CatalogueStatus::Verified) CheckIntact(colour);

  std::vector<std::wstring> names;
  dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, layout::kCatalogueKey, names);
  std::vector<dpal::ProfileCatalogueEntry> entries;
  const bool loaded = dpal::LoadProfileCatalogue(names, entries);
  Check(loaded == !entries.empty(), "entries exactly when loaded");
  Check(!loaded || entries.size() == names.size(), "one entry per name");
  for (const dpal::ProfileCatalogueEntry& entry : entries) {
    Check(Terminated(entry.entry_name) && Terminated(entry.file_base_name),
          "the entry's names fit their buffers");
    const WCHAR* marker = std::wcsstr(entry.entry_name, dpal::kProfileMarker);
    Check(marker != nullptr && std::wcscmp(marker, entry.file_base_name) == 0,
          "the base name is the entry name from its marker");
  }
  if (status == dpal::CatalogueStatus::Verified) {
    Check(loaded && dpal::MatchProfileVersions(sdr, hdr, entries), "an intact catalogue matches");
  }
  dpal::fuzz::CheckNoLeaks();
  return 0;
}

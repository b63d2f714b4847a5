// Fuzz target: the registry readers of loader/shared fed values of arbitrary types, sizes and
// bytes, and keys with arbitrary subkey names.
//
// Input: byte  the number of values (modulo 9); for each value "V<i>":
//          byte   its type: below 0xF0 the type (byte modulo 12, REG_NONE to REG_QWORD), else a
//                 dword follows with any type at all
//          word   its size in bytes (modulo 1024; the bytes the input still has, if fewer)
//          bytes  its data (a text's units are WCHARs as the platform has them: four bytes in
//                 the sim)
//        byte  the number of subkeys (modulo 9), each a text: its name
//
// Checks, for every value and one that is missing: a DWORD reads as stored only from a REG_DWORD
// of four bytes; a text only from a string type, and a REG_SZ reads as a prefix of its units; the
// entries of a list are non-empty, hold no NUL and fit in the stored size; a binary value is read
// only when it is a REG_BINARY that fits the 34 bytes, into a buffer of exactly 34 bytes; every
// subkey name listed fits 255 units and opens. Nothing leaks.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "fuzz/fuzz_input.h"
#include "loader/shared/registry.h"
#include "harness/registry_writer.h"

namespace {

using dpal::fuzz::Check;

const std::wstring kKey = L"SOFTWARE\\DPALFuzz";

struct Value {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> bytes;
  bool stored = false;
};

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

void CheckValue(const Value& value) {
  const DWORD number = dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, kKey, value.name);
  if (number != 0) {
    Check(value.stored && value.type == REG_DWORD && value.bytes.size() == 4,
          "a DWORD only from a REG_DWORD of four bytes");
    DWORD stored = 0;
    std::memcpy(&stored, value.bytes.data(), 4);
    Check(number == stored, "the DWORD as stored");
  }

  const std::wstring text = dpal::ReadStringValue(HKEY_LOCAL_MACHINE, kKey, value.name);
  if (!text.empty()) {
    Check(value.stored && IsText(value.type), "a text only from a string value");
  }
  if (value.type == REG_SZ) {
    Check(text.size() <= value.bytes.size() / sizeof(WCHAR) + 1, "the text within the stored size");
    for (size_t i = 0; i < text.size() && (i + 1) * sizeof(WCHAR) <= value.bytes.size(); ++i) {
      WCHAR unit = 0;
      std::memcpy(&unit, value.bytes.data() + i * sizeof(WCHAR), sizeof(WCHAR));
      Check(text[i] == unit, "a REG_SZ reads as its stored units");
    }
  }

  const std::vector<std::wstring> entries =
      dpal::ReadMultiStringValue(HKEY_LOCAL_MACHINE, kKey, value.name);
  size_t units = 0;
  for (const std::wstring& entry : entries) {
    Check(!entry.empty(), "no empty entry in a list");
    Check(entry.find(L'\0') == std::wstring::npos, "no NUL inside an entry");
    units += entry.size() + 1;
  }
  if (!entries.empty()) {
    Check(value.stored && value.type == REG_MULTI_SZ, "a list only from a REG_MULTI_SZ");
    Check(units <= value.bytes.size() / sizeof(WCHAR) + 1, "the entries within the stored size");
  }

  // Exactly the 34 bytes the reader may fill, so that AddressSanitizer sees one more.
  std::unique_ptr<BYTE[]> buffer(new BYTE[dpal::kBinaryValueBytes]);
  if (dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, kKey, value.name, buffer.get())) {
    Check(value.stored && value.type == REG_BINARY && value.bytes.size() <= dpal::kBinaryValueBytes,
          "a binary value only from a REG_BINARY of at most 34 bytes");
    Check(value.bytes.empty() ||
              std::memcmp(buffer.get(), value.bytes.data(), value.bytes.size()) == 0,
          "the binary value as stored");
  }
  Check(!dpal::ReadBinaryValue(HKEY_LOCAL_MACHINE, kKey, value.name, nullptr),
        "no buffer, no read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const dpal::fuzz::Machine machine;
  dpal::fuzz::Input input(data, size);
  std::vector<Value> values(input.Byte() % 9);
  {
    dpal::test::RegistryWriter writer;
    Check(writer.Create(HKEY_LOCAL_MACHINE, kKey) == ERROR_SUCCESS, "the key is made");
    for (size_t i = 0; i < values.size(); ++i) {
      Value& value = values[i];
      value.name = L"V" + std::to_wstring(i);
      const uint8_t selector = input.Byte();
      value.type = selector < 0xF0 ? selector % 12 : input.Dword();
      value.bytes = input.Bytes(input.Word() % 1024);
      // RegSetValueExW looks at the unit after a string's counted ones, as Windows does, to
      // count a terminator the size left out: the data is followed by units that are not NUL.
      std::vector<uint8_t> padded = value.bytes;
      padded.insert(padded.end(), 2 * sizeof(WCHAR), 0xFF);
      value.stored = writer.Raw(value.name.c_str(), value.type, padded.data(),
                                value.bytes.size()) == ERROR_SUCCESS;
    }
  }
  const size_t subkeys = input.Byte() % 9;
  for (size_t i = 0; i < subkeys; ++i) {
    const std::wstring name = input.Text();
    dpal::test::RegistryWriter writer;
    writer.Create(HKEY_LOCAL_MACHINE, kKey + L"\\" + name);
  }

  for (const Value& value : values) CheckValue(value);
  Value missing;
  missing.name = L"Missing";
  CheckValue(missing);

  std::vector<std::wstring> names;
  Check(dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, kKey, names), "enumeration always succeeds");
  Check(names.size() <= subkeys, "no more subkeys than were made");
  for (const std::wstring& name : names) {
    Check(!name.empty() && name.size() <= 255, "a subkey name of 1 to 255 units");
    Check(name.find(L'\0') == std::wstring::npos, "no NUL inside a subkey name");
    dpal::UniqueKey opened;
    Check(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kKey + L"\\" + name).c_str(), 0, KEY_READ,
                        opened.Put()) == ERROR_SUCCESS,
          "a listed subkey opens");
  }
  names.clear();
  Check(
      dpal::EnumerateSubKeys(HKEY_LOCAL_MACHINE, kKey + L"\\Missing\\Key", names) && names.empty(),
      "a missing key lists nothing");

  if (!values.empty()) {
    Check(dpal::SetDwordFlag(kKey, values[0].name), "the flag is set in an existing key");
    Check(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, kKey, values[0].name) == 1,
          "the flag reads as 1");
  }
  dpal::fuzz::CheckNoLeaks();
  return 0;
}

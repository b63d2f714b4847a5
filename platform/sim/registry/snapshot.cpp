// The registry's part of a snapshot of the machine: every hive, key and value as text.
#include <cstring>
#include <string>

#include "platform/sim/registry/internal.h"
#include "platform/sim/registry/key_tree.h"
#include "platform/sim/snapshot.h"

namespace sim {
using namespace keys;  // the key tree's names, shared by the registry's files
}  // namespace sim

namespace sim::keys {
namespace {

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return nullptr;
  }
}

// The WCHARs of a value's bytes (a partial last one is left out).
std::wstring UnitsOf(const std::vector<uint8_t>& data) {
  std::wstring units(data.size() / sizeof(WCHAR), L'\0');
  if (!units.empty()) std::memcpy(&units[0], data.data(), units.size() * sizeof(WCHAR));
  return units;
}

// A value's type and data as text. Data in its type's usual form when it has that form exactly
// (a terminated string, a list ending in an empty string, 4 or 8 bytes), else every byte.
std::string ValueText(const Value& value) {
  const char* name = TypeName(value.type);
  std::string text = name ? name : "type " + std::to_string(value.type);
  const std::vector<uint8_t>& data = value.data;
  const std::wstring units = UnitsOf(data);
  const bool even = data.size() % sizeof(WCHAR) == 0;
  if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && even && !units.empty() &&
      units.find(L'\0') == units.size() - 1) {
    return text + " \"" + Utf8(units.substr(0, units.size() - 1)) + "\"";
  }
  if (value.type == REG_MULTI_SZ && even && units.size() >= 1 && units.back() == L'\0') {
    // Entries each with its terminator, then the empty entry that ends the list.
    std::vector<std::wstring> entries;
    size_t start = 0;
    bool ended = false;
    while (start < units.size()) {
      const size_t end = units.find(L'\0', start);
      if (end == start) {
        ended = end == units.size() - 1;
        break;
      }
      entries.push_back(units.substr(start, end - start));
      start = end + 1;
    }
    if (ended || units.size() == 1) return text + " " + ListText(entries);
  }
  if (value.type == REG_DWORD && data.size() == 4) {
    const uint32_t number = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24);
    return text + " " + std::to_string(number);
  }
  if (value.type == REG_QWORD && data.size() == 8) {
    uint64_t number = 0;
    for (int i = 7; i >= 0; --i) number = (number << 8) | data[i];
    return text + " " + std::to_string(number);
  }
  return text + " " + BytesText(data.data(), data.size());
}

std::string HiveText(const KeyNode& root) {
  const Hive& hive = *root.hive;
  std::string text;
  switch (hive.kind) {
    case HiveKind::Master: return "";
    case HiveKind::Machine: text = "machine hive"; break;
    case HiveKind::System: text = "system hive"; break;
    case HiveKind::User: text = "hive of " + Utf8(hive.owner_sid); break;
    case HiveKind::Loaded: text = "loaded hive"; break;
  }
  if (hive.file) text += " from " + Utf8(hive.file_path);
  return text;
}

void SnapshotKeyLocked(const KeyNode& key, const std::wstring& path, Snapshot& out) {
  if (key.hive_root) out.Put("hives", Utf8(path), HiveText(key));
  if (key.link) {
    out.Put("registry", Utf8(path), "link to " + Utf8(KeyPathLocked(*key.link)));
    return;
  }
  if (key.symlink) {
    const Value* target = FindValue(key, kLinkValueName);
    out.Put("registry", Utf8(path),
            target != nullptr && target->type == REG_LINK
                ? "symbolic link to \"" + Utf8(LinkText(*target)) + "\""
                : std::string("symbolic link without a target"));
    return;
  }
  std::string state = "key";
  if (key.volatile_key) state += ", volatile";
  if (!key.class_name.empty()) state += ", class \"" + Utf8(key.class_name) + "\"";
  out.Put("registry", Utf8(path), state);
  for (const Value& value : key.values) {
    const std::string name = value.name.empty() ? "(default)" : "\"" + Utf8(value.name) + "\"";
    out.Put("registry", Utf8(path) + " " + name, ValueText(value));
  }
  for (const auto& [upper, child] : key.subkeys) {
    SnapshotKeyLocked(*child, path + L"\\" + child->name, out);
  }
}

}  // namespace
}  // namespace sim::keys

namespace sim {

void SnapshotRegistryLocked(Snapshot& out) {
  for (const auto& root : {Registry().machine, Registry().users}) {
    for (const auto& [upper, child] : root->subkeys) {
      SnapshotKeyLocked(*child, root->name + L"\\" + child->name, out);
    }
  }
}

}  // namespace sim

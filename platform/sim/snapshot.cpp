// Snapshots of the machine and their difference. Which items a part holds is each area's
// business (its row in the table of areas); this file only stores, compares and prints them.
#include "platform/sim/snapshot.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace sim {

void Snapshot::Put(const std::string& part, const std::wstring& item, const std::wstring& state) {
  Put(part, Utf8(item), Utf8(state));
}

void Snapshot::Put(const std::string& part, const std::string& item, const std::string& state) {
  parts_[part][item] = state;
}

bool Snapshot::Holds(const std::string& part, const std::string& item) const {
  const auto& items = Items(part);
  return items.find(item) != items.end();
}

std::string Snapshot::StateOf(const std::string& part, const std::string& item) const {
  const auto& items = Items(part);
  auto it = items.find(item);
  return it == items.end() ? std::string() : it->second;
}

const std::map<std::string, std::string>& Snapshot::Items(const std::string& part) const {
  static const std::map<std::string, std::string> kNone;
  auto it = parts_.find(part);
  return it == parts_.end() ? kNone : it->second;
}

std::string SnapshotChange::Heading() const {
  const char* sign = kind == Kind::Added ? "+ " : kind == Kind::Removed ? "- " : "~ ";
  return sign + part + ": " + item;
}

std::string SnapshotChange::Line() const {
  if (kind != Kind::Changed) return Heading();
  return Heading() + ": " + before + " -> " + after;
}

std::string SnapshotChange::Detail() const {
  switch (kind) {
    case Kind::Added: return Line() + (after.empty() ? "" : " = " + after);
    case Kind::Removed: return Line() + (before.empty() ? "" : " = " + before);
    case Kind::Changed: break;
  }
  return Line();
}

std::vector<std::string> SnapshotDiff::Lines() const {
  std::vector<std::string> lines;
  for (const auto& change : changes_) lines.push_back(change.Line());
  return lines;
}

std::vector<std::string> SnapshotDiff::Headings() const {
  std::vector<std::string> headings;
  for (const auto& change : changes_) headings.push_back(change.Heading());
  return headings;
}

std::string SnapshotDiff::Describe() const {
  if (changes_.empty()) return "no difference";
  std::string text;
  for (const auto& change : changes_) text += change.Detail() + "\n";
  return text;
}

SnapshotDiff SnapshotDiff::Only(const std::vector<std::string>& parts) const {
  std::vector<SnapshotChange> kept;
  for (const auto& change : changes_) {
    if (std::find(parts.begin(), parts.end(), change.part) != parts.end()) kept.push_back(change);
  }
  return SnapshotDiff(std::move(kept));
}

SnapshotDiff SnapshotDiff::Without(const std::vector<std::string>& parts) const {
  std::vector<SnapshotChange> kept;
  for (const auto& change : changes_) {
    if (std::find(parts.begin(), parts.end(), change.part) == parts.end()) kept.push_back(change);
  }
  return SnapshotDiff(std::move(kept));
}

SnapshotDiff Difference(const Snapshot& before, const Snapshot& after) {
  using Kind = SnapshotChange::Kind;
  std::vector<SnapshotChange> changes;
  // Every part of either snapshot, in order.
  std::vector<std::string> parts;
  for (const auto& [part, items] : before.Parts()) parts.push_back(part);
  for (const auto& [part, items] : after.Parts()) {
    if (!before.Parts().count(part)) parts.push_back(part);
  }
  std::sort(parts.begin(), parts.end());
  for (const std::string& part : parts) {
    const auto& old_items = before.Items(part);
    const auto& new_items = after.Items(part);
    auto o = old_items.begin();
    auto n = new_items.begin();
    while (o != old_items.end() || n != new_items.end()) {
      if (n == new_items.end() || (o != old_items.end() && o->first < n->first)) {
        changes.push_back({Kind::Removed, part, o->first, o->second, ""});
        ++o;
      } else if (o == old_items.end() || n->first < o->first) {
        changes.push_back({Kind::Added, part, n->first, "", n->second});
        ++n;
      } else {
        if (o->second != n->second) {
          changes.push_back({Kind::Changed, part, o->first, o->second, n->second});
        }
        ++o;
        ++n;
      }
    }
  }
  return SnapshotDiff(std::move(changes));
}

SnapshotDiff DifferenceFrom(const Snapshot& before) { return Difference(before, TakeSnapshot()); }

std::ostream& operator<<(std::ostream& out, const SnapshotDiff& diff) {
  return out << diff.Describe();
}

void PrintTo(const SnapshotDiff& diff, std::ostream* out) { *out << "\n" << diff.Describe(); }

// ----- Texts -------------------------------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]) & 0xFFFF;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      const uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string DigestText(const unsigned char* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < 8 && i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    text += hex;
  }
  return text;
}

std::string BytesText(const unsigned char* data, size_t size, size_t whole) {
  if (size > whole) {
    return std::to_string(size) + " bytes, sha256 " + DigestText(data, size);
  }
  std::string text;
  char hex[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", data[i]);
    text += hex;
  }
  return size == 0 ? "(no bytes)" : text;
}

std::string ListText(const std::vector<std::wstring>& entries) {
  std::string text = "[";
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) text += ", ";
    text += "\"" + Utf8(entries[i]) + "\"";
  }
  return text + "]";
}

}  // namespace sim

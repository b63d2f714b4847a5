// The test side of the machine's state as a whole: a snapshot of everything a program can leave
// behind (the registry with every hive, files, devices, the colour state, services, and what
// later areas add), and the difference between two snapshots. A test takes one before a flow
// and one after, and states exactly what the flow added, removed and changed; the scenario
// runner summarises a machine's difference from an earlier state the same way.
//
// Each area writes its own part of a snapshot (its row in the table of areas, areas.cpp): items
// with a name unique in the part and a state as text. Two snapshots differ in an item when it is
// in only one of them, or when its state text differs. Texts are UTF-8.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

class Snapshot {
 public:
  // Records an item of a part ("registry", "files", ...); a second item of the same name
  // replaces the first.
  void Put(const std::string& part, const std::wstring& item, const std::wstring& state);
  void Put(const std::string& part, const std::string& item, const std::string& state);

  // Whether the part holds the item, and its state (empty when it does not).
  bool Holds(const std::string& part, const std::string& item) const;
  std::string StateOf(const std::string& part, const std::string& item) const;
  // The items of a part by name (empty for a part without items).
  const std::map<std::string, std::string>& Items(const std::string& part) const;
  // Every part with its items.
  const std::map<std::string, std::map<std::string, std::string>>& Parts() const { return parts_; }

 private:
  std::map<std::string, std::map<std::string, std::string>> parts_;
};

// What the machine is now, every area's part of it.
Snapshot TakeSnapshot();

struct SnapshotChange {
  enum class Kind { Added, Removed, Changed };
  Kind kind = Kind::Changed;
  std::string part;
  std::string item;
  std::string before;  // the state before (empty for an added item)
  std::string after;   // the state after (empty for a removed item)

  // The kind, part and item without the states: "+ part: item", "- part: item", "~ part: item".
  std::string Heading() const;
  // One line: "+ part: item", "- part: item" or "~ part: item: before -> after".
  std::string Line() const;
  // The same with the state of an added or removed item too ("+ part: item = state").
  std::string Detail() const;
};

class SnapshotDiff {
 public:
  SnapshotDiff() = default;
  explicit SnapshotDiff(std::vector<SnapshotChange> changes) : changes_(std::move(changes)) {}

  // In the order of part, then item name.
  const std::vector<SnapshotChange>& Changes() const { return changes_; }
  bool Empty() const { return changes_.empty(); }
  // Each change's Line(), in order: what tests compare with the lines they expect.
  std::vector<std::string> Lines() const;
  // Each change's Heading(), in order: for items whose states a test does not pin.
  std::vector<std::string> Headings() const;
  // Each change's Detail() on a line of its own; "no difference" when there is none.
  std::string Describe() const;
  // Only the changes of the parts named, or of every part but those.
  SnapshotDiff Only(const std::vector<std::string>& parts) const;
  SnapshotDiff Without(const std::vector<std::string>& parts) const;

 private:
  std::vector<SnapshotChange> changes_;
};

// What changed from `before` to `after`.
SnapshotDiff Difference(const Snapshot& before, const Snapshot& after);
// What changed from `before` to the machine now.
SnapshotDiff DifferenceFrom(const Snapshot& before);

// For GoogleTest's messages and the scenario runner.
std::ostream& operator<<(std::ostream& out, const SnapshotDiff& diff);
void PrintTo(const SnapshotDiff& diff, std::ostream* out);

// ----- What the areas use to describe their state ------------------------------------------------

// UTF-8 of UTF-16 text (an unpaired surrogate becomes U+FFFD).
std::string Utf8(const std::wstring& text);
// Bytes as text: every byte in hex when there are at most `whole` of them, else the count with
// the start of their SHA-256 ("1536 bytes, sha256 4f2a...").
std::string BytesText(const unsigned char* data, size_t size, size_t whole = 32);
// The start of the SHA-256 of the bytes (16 hex digits).
std::string DigestText(const unsigned char* data, size_t size);
// A list of texts as ["a", "b"].
std::string ListText(const std::vector<std::wstring>& entries);

}  // namespace sim

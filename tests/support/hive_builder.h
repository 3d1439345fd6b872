// Test hive builder: a model of keys, values and security descriptors that
// Build() lays out byte by byte as a sound hive, with the layout under the
// test's control (holes, empty bins, oversized and unreferenced cells).  After
// Build() every cell's CellOffset can be asked for, so a test can break
// exactly one field with the pokes and recompute the checksum.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelbrix::testing {

// Handles into the model; ids are indexes in creation order.
struct Key { int id = -1; };
struct Value { int id = -1; };
struct Security { int id = -1; };
struct Cell { int id = -1; };

enum class IndexKind { kLf, kLh, kLi };

// How a key's subkey index is laid out.  leafEntries 0: one leaf cell of
// `leaf` kind holds every subkey.  leafEntries n: leaves of at most n entries
// under an ri; riEntries m > 0 limits every ri to m entries, so more leaves
// than that give nested ri cells.
struct IndexShape {
  IndexKind leaf = IndexKind::kLh;
  uint32_t leafEntries = 0;
  uint32_t riEntries = 0;
};

struct HiveOptions {
  uint32_t major = 1;
  uint32_t minor = 5;
  uint32_t primarySequence = 1;
  uint32_t secondarySequence = 1;
  uint64_t timeStamp = 0x01D5A2B3C4D5E6F7ull;  // 2019
  std::u16string fileName = u"\\SystemRoot\\System32\\Config\\TEST";
  std::string rootName = "ROOT";
};

// Model records; tests may change the plain fields before Build().
struct KeyModel {
  std::string name8;     // 8-bit name (bytes as stored) unless utf16
  std::u16string name16;  // UTF-16 name when utf16
  bool utf16 = false;
  std::u16string className;
  bool hasClass = false;
  uint64_t timeStamp = 0x01D5A2B3C4D5E6F7ull;
  uint16_t extraFlags = 0;  // OR-ed into the flags the builder computes
  int parent = -1;
  int security = 0;
  IndexShape index;
  bool sortSubkeys = true;  // false keeps creation order (an out-of-order hive)
  std::vector<int> children;
  std::vector<int> values;
  int nkCell = -1, classCell = -1, valueListCell = -1, indexCell = -1;
};

struct ValueModel {
  std::string name8;
  std::u16string name16;
  bool utf16 = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  int key = -1;
  int vkCell = -1;
  int dataCell = -1;  // data cell or db; -1 for inline data
  int segmentListCell = -1;
  std::vector<int> segmentCells;
};

class HiveBuilder {
 public:
  explicit HiveBuilder(HiveOptions options = {});

  // ---- model ----
  Key Root() const { return Key{0}; }
  // 8-bit name (flag 0x20): the bytes as given, e.g. Latin-1.
  Key AddKey(Key parent, std::string_view name8);
  Key AddKey(Key parent, std::u16string_view name16);
  // Adds the class cell at this point of the layout.
  void SetClass(Key key, std::u16string_view className);
  KeyModel& Model(Key key) { return keys_[key.id]; }
  const KeyModel& Model(Key key) const { return keys_[key.id]; }

  // Data of at most 4 bytes is inline; longer data gets a data cell, or a db,
  // segment list and segments when over 16344 bytes on a hive of 1.4 or later.
  Value AddValue(Key key, std::string_view name8, uint32_t type, std::vector<uint8_t> data);
  Value AddValue(Key key, std::u16string_view name16, uint32_t type, std::vector<uint8_t> data);
  ValueModel& Model(Value v) { return values_[v.id]; }

  // Security 0 is the default descriptor, used by every key unless changed.
  Security DefaultSecurity() const { return Security{0}; }
  Security AddSecurity(std::vector<uint8_t> descriptor);
  void SetSecurity(Key key, Security s) { keys_[key.id].security = s.id; }
  // Owner Administrators, group LocalSystem, a DACL granting both full control.
  static std::vector<uint8_t> DefaultDescriptor();

  // ---- layout, in creation order ----
  // A free cell of `length` bytes (a multiple of 8).
  void AddHole(uint32_t length);
  // Ends the current bin (its rest becomes a free cell).
  void EndBin();
  // A bin of `size` bytes that holds one free cell, after the current bin.
  void AddEmptyBin(uint32_t size = 4096);
  // An allocated cell nobody refers to: the size word, then `payload`.
  Cell AddRawCell(std::vector<uint8_t> payload, uint32_t length = 0);
  // Gives a cell a chosen length (larger: the extra bytes hold `padByte`;
  // smaller: its content is cut).
  void SetCellLength(Cell cell, uint32_t length, uint8_t padByte = 0);

  Cell NkCell(Key k) const { return Cell{keys_[k.id].nkCell}; }
  Cell ClassCell(Key k) const { return Cell{keys_[k.id].classCell}; }
  Cell ValueListCell(Key k) const { return Cell{keys_[k.id].valueListCell}; }
  Cell IndexCell(Key k) const { return Cell{keys_[k.id].indexCell}; }  // the top index cell
  Cell SkCell(Security s) const { return Cell{securities_[s.id].cell}; }
  Cell VkCell(Value v) const { return Cell{values_[v.id].vkCell}; }
  Cell DataCell(Value v) const { return Cell{values_[v.id].dataCell}; }  // data cell or db
  Cell SegmentListCell(Value v) const { return Cell{values_[v.id].segmentListCell}; }
  Cell SegmentCell(Value v, size_t i) const { return Cell{values_[v.id].segmentCells.at(i)}; }

  // ---- build ----
  const std::vector<uint8_t>& Build();
  bool WriteTo(const std::string& path) const;
  // The image as built and then poked.
  std::vector<uint8_t>& Image() { return image_; }

  // ---- after Build ----
  uint32_t Offset(Cell cell) const;
  Key FindKey(std::string_view path) const;  // "A\\B" from the root; Key{-1} when absent
  uint32_t NkOffset(std::string_view path) const { return Offset(NkCell(FindKey(path))); }
  // Every index cell of a key, top first (the top ri, nested ri, then leaves).
  std::vector<uint32_t> IndexOffsets(Key k) const;
  // Where a key is listed: its leaf index cell and entry number there.
  struct Entry {
    uint32_t leafOffset = 0xFFFFFFFFu;
    uint32_t index = 0;
  };
  Entry EntryOf(Key k) const;
  // Field offset, inside its leaf, of the hash of a key's lf or lh entry.
  uint32_t HashField(Key k) const;
  uint32_t HbinsDataSize() const;

  // Pokes on the built image: a field of the cell at `cellOffset`.
  void SetU16(uint32_t cellOffset, uint32_t field, uint16_t v);
  void SetU32(uint32_t cellOffset, uint32_t field, uint32_t v);
  void SetI32(uint32_t cellOffset, uint32_t field, int32_t v) { SetU32(cellOffset, field, static_cast<uint32_t>(v)); }
  uint16_t U16(uint32_t cellOffset, uint32_t field) const;
  uint32_t U32(uint32_t cellOffset, uint32_t field) const;
  // Pokes at a file position (base block fields, bin headers).
  void SetFileU32(uint32_t pos, uint32_t v);
  uint32_t FileU32(uint32_t pos) const;
  void RecomputeChecksum();

  static constexpr uint32_t kBinSize = 4096;

 private:
  enum class What { kNk, kClass, kValueList, kIndex, kVk, kData, kDb, kSegmentList, kSegment, kSk, kRaw, kHole,
                    kEndBin, kEmptyBin };
  struct Plan {
    What what;
    int owner = -1;  // key, value or security id
    int part = 0;    // segment number
    uint32_t forcedLength = 0;
    uint8_t padByte = 0;
    std::vector<uint8_t> raw;
    uint32_t offset = 0xFFFFFFFFu;
  };
  struct SecurityModel {
    std::vector<uint8_t> descriptor;
    int cell = -1;
  };
  // One laid-out index cell of a key: kind, entries (key ids for leaves,
  // index-cell numbers for ri).
  struct IndexNode {
    char kind;  // 'f', 'h', 'i' (leaves), 'r'
    std::vector<int> entries;
    uint32_t offset = 0;
  };

  Key NewKey(Key parent, KeyModel model);
  Value NewValue(Key key, ValueModel model);
  int NewCell(What what, int owner, int part = 0);
  std::vector<int> SortedChildren(int key) const;
  void PlanIndex(int key);
  uint32_t NaturalLength(const Plan& plan, uint32_t indexNode) const;
  // The bytes a cell needs (size word first); the caller fits them to its length.
  std::vector<uint8_t> Content(const Plan& plan, uint32_t indexNode, uint32_t length) const;
  void WriteBaseBlock();

  HiveOptions options_;
  std::vector<KeyModel> keys_;
  std::vector<ValueModel> values_;
  std::vector<SecurityModel> securities_;
  std::vector<Plan> plans_;
  // Per key: its index cells (top first), filled by Build.
  std::vector<std::vector<IndexNode>> indexes_;
  std::vector<Entry> entries_;
  std::vector<uint8_t> image_;
};

// Units of a name as the hive's hashes and order see them (8-bit bytes are
// one unit each).
std::u16string NameUnitsOf(const KeyModel& key);

// The builder's hashes and sibling order do not come from the engine: ASCII
// names fold a-z by the rule itself; a non-ASCII name must be one of the
// NameFacts, whose values were worked out by hand (any other throws).
struct NameFact {
  std::u16string_view name;
  std::u16string_view upper;  // the sibling order key
  uint32_t lhHash;
};
std::span<const NameFact> NameFacts();
std::u16string BuilderOrderKey(std::u16string_view name);
uint32_t BuilderLhHash(std::u16string_view name);
uint32_t BuilderLfHint(std::u16string_view name);

}  // namespace quelbrix::testing

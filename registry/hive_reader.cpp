#include "registry/hive_reader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "hive/cells.h"
#include "hive/bins.h"
#include "hive/names.h"
#include "txlog/txlog.h"

namespace quelbrix::registry {
namespace {

// Windows never nests an ri inside an ri; one level is all a sound hive has.
constexpr int kMaxIndexDepth = 2;

// Strict, a reader stops at the first fault; tolerant, it leaves the faulty
// part out (a key with its subtree, a value, a list, a class or descriptor),
// counts it and goes on with everything else.
class TreeReader {
 public:
  TreeReader(const HiveImage& image, uint32_t major, uint32_t minor, ReadDamage* damage)
      : image_(image), bigData_(HasBigData(major, minor)), seen_(image.Size() / 8 + 1, false), damage_(damage) {}

  bool Read(uint32_t rootOffset, RegistryTree* tree) {
    // A key is attached to its parent only once its own nk cell has read.
    std::vector<std::pair<uint32_t, RegistryKey*>> pending{{rootOffset, nullptr}};
    // Ends: every nk and index cell is read once (a second reference fails
    // the read), so no more entries are pending than the index cells hold.
    while (!pending.empty()) {
      auto [offset, parent] = pending.back();
      pending.pop_back();
      auto key = std::make_shared<RegistryKey>();
      std::vector<uint32_t> children;
      if (!ReadKey(offset, key.get(), &children)) {
        if (damage_ == nullptr || parent == nullptr) return false;
        continue;
      }
      RegistryKey* at = key.get();
      if (parent == nullptr)
        tree->Root = std::move(key);
      else
        parent->Subkeys.push_back(std::move(key));
      at->Subkeys.reserve(children.size());
      // Taken from the back: pushed last to first, the subkeys are attached in index order.
      for (size_t i = children.size(); i-- > 0;) pending.emplace_back(children[i], at);
    }
    SortSubkeys(tree->Root.get());
    return true;
  }

  const std::string& Problem() const { return problem_; }

 private:
  bool Fail(const char* what, uint32_t offset) {
    char text[128];
    std::snprintf(text, sizeof text, "%s at CellOffset 0x%08x", what, offset);
    problem_ = text;
    if (damage_ != nullptr) damage_->Note(text);
    return false;
  }

  // An allocated cell of at least `need` bytes that lies wholly in the bins.
  bool Cell(uint32_t offset, uint64_t need, CellView* cell) {
    if (offset == kNoCell || (offset & 7) != 0) return false;
    CellView c = CellView::AtOffset(image_, offset);
    if (!c.Valid() || c.Size() >= 0 || c.Length() < need || c.Length() > c.Avail()) return false;
    *cell = c;
    return true;
  }

  std::u16string Name(const uint8_t* bytes, uint32_t length, bool eightBit) {
    std::u16string name;
    if (eightBit) {
      name.assign(bytes, bytes + length);
    } else {
      name.resize(length / 2);
      for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(LoadU16(bytes + 2 * i));
    }
    return name;
  }

  bool ReadKey(uint32_t offset, RegistryKey* key, std::vector<uint32_t>* children) {
    CellView cell;
    if (!Cell(offset, NkCell::kHeaderLength, &cell) || ShapeOf(NkCell(cell)) == Shape::kWrongSignature)
      return Fail("bad nk cell", offset);
    if (seen_[offset / 8]) return Fail("nk cell referenced twice", offset);
    seen_[offset / 8] = true;
    NkCell nk(cell);
    if (ShapeOf(nk) == Shape::kTooShort) return Fail("nk name outside its cell", offset);
    key->Name = Name(nk.Ptr(NkCell::kKeyName, nk.KeyLength()), nk.KeyLength(), nk.AsciiName());
    key->Flags = nk.Flags() & ~(kKeyCompressedName | kKeyHiveEntry);
    key->LastWrite = nk.TimeStamp();

    // From here on a fault loses one part of the key, not the key itself.
    bool strict = damage_ == nullptr;
    if (nk.ClassLength() != 0) {
      CellView c;
      if (Cell(nk.ClassOffset(), NeedsFor(kKindCl, nk.ClassLength()).Minimum, &c))
        key->Class = Name(c.Ptr(DataCell::kData, nk.ClassLength()), nk.ClassLength(), false);
      else if (!Fail("bad class cell", nk.ClassOffset()) && strict)
        return false;
    }

    if (nk.skOffset() != kNoCell && !ReadSecurity(nk.skOffset(), key) && strict) return false;

    if (nk.vklistCount() != 0) {
      CellView list;
      if (Cell(nk.vklistOffset(), NeedsFor(kKindVm, nk.vklistCount()).Minimum, &list)) {
        OffsetListCell values(list);
        key->Values.reserve(nk.vklistCount());
        for (uint32_t i = 0; i < nk.vklistCount(); ++i) {
          key->Values.emplace_back();
          if (ReadValue(values.Entry(i), &key->Values.back())) continue;
          if (strict) return false;
          key->Values.pop_back();
        }
      } else if (!Fail("bad value list", nk.vklistOffset()) && strict) {
        return false;
      }
    }

    if (nk.SubkeyCount() != 0 && !ReadIndex(nk.SubkeyOffset(), 0, children) && strict) return false;
    return true;
  }

  bool ReadSecurity(uint32_t offset, RegistryKey* key) {
    auto known = descriptors_.find(offset);
    if (known != descriptors_.end()) {
      // A bad descriptor is counted once, however many keys share it.
      key->Security = known->second;
      return true;
    }
    CellView cell;
    bool good = Cell(offset, SkCell::kHeaderLength, &cell) && ShapeOf(SkCell(cell)) != Shape::kWrongSignature;
    if (good && ShapeOf(SkCell(cell)) == Shape::kTooShort) {
      descriptors_.emplace(offset, nullptr);
      return Fail("sk descriptor outside its cell", offset);
    }
    if (!good) {
      descriptors_.emplace(offset, nullptr);
      return Fail("bad sk cell", offset);
    }
    SkCell sk(cell);
    const uint8_t* bytes = sk.Ptr(SkCell::kDescriptor, sk.DescriptorLength());
    auto descriptor = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + sk.DescriptorLength());
    descriptors_.emplace(offset, descriptor);
    key->Security = std::move(descriptor);
    return true;
  }

  bool ReadIndex(uint32_t offset, int depth, std::vector<uint32_t>* children) {
    CellView cell;
    if (!Cell(offset, 8, &cell)) return Fail("bad subkey index", offset);
    IndexCell index(cell);
    uint16_t sig = index.Signature();
    if (sig != kSigLf && sig != kSigLh && sig != kSigLi && sig != kSigRi) return Fail("bad subkey index signature", offset);
    uint8_t kind = KindCode(sig);
    if (index.Length() < NeedsFor(kind, index.Count()).Minimum) return Fail("subkey index longer than its cell", offset);
    if (sig == kSigRi && depth + 1 >= kMaxIndexDepth) return Fail("nested ri index", offset);
    // An ri naming one lf many times would list its keys over and over.
    if (seen_[offset / 8]) return Fail("subkey index referenced twice", offset);
    seen_[offset / 8] = true;
    if (sig == kSigRi) {
      for (uint32_t i = 0; i < index.Count(); ++i)
        if (!ReadIndex(index.KeyOffset(i), depth + 1, children) && damage_ == nullptr) return false;
      return true;
    }
    for (uint32_t i = 0; i < index.Count(); ++i) children->push_back(index.KeyOffset(i));
    return true;
  }

  bool ReadValue(uint32_t offset, RegistryValue* value) {
    CellView cell;
    if (!Cell(offset, VkCell::kHeaderLength, &cell) || ShapeOf(VkCell(cell)) == Shape::kWrongSignature)
      return Fail("bad vk cell", offset);
    VkCell vk(cell);
    if (ShapeOf(vk) == Shape::kTooShort) return Fail("vk name outside its cell", offset);
    value->Name = Name(vk.Ptr(VkCell::kName, vk.NameLength()), vk.NameLength(), vk.AsciiName());
    value->Type = vk.DataType();
    value->Flags = vk.Flags() & ~VkCell::kFlagAsciiName;
    uint32_t length = vk.DataLength() & ~VkCell::kInlineFlag;
    if (vk.InlineData()) {
      // Inline data never holds more than the four bytes of DataOffset.
      const uint8_t* bytes = vk.Ptr(VkCell::kDataOffset, 4);
      value->Data.assign(bytes, bytes + std::min<uint32_t>(length, 4));
      return true;
    }
    if (length == 0) return true;
    CellView data;
    if (!Cell(vk.DataOffset(), 8, &data)) return Fail("bad value data cell", vk.DataOffset());
    if (bigData_ && length > kBigDataThreshold && data.Signature() == kSigDb) return ReadBigData(data, length, value);
    if (data.Length() < NeedsFor(kKindVd, length).Minimum) return Fail("value data longer than its cell", data.Offset());
    const uint8_t* bytes = data.Ptr(DataCell::kData, length);
    value->Data.assign(bytes, bytes + length);
    return true;
  }

  bool ReadBigData(const CellView& cell, uint32_t length, RegistryValue* value) {
    DbCell db(cell);
    if (db.Length() < NeedsFor(kKindDb, 0).Minimum) return Fail("bad db cell", db.Offset());
    uint32_t segments = db.SegmentCount();
    if (uint64_t{segments} * kSegmentData < length) return Fail("db cell with too few segments", db.Offset());
    CellView list;
    if (!Cell(db.ddlistOffset(), NeedsFor(kKindDl, segments).Minimum, &list))
      return Fail("bad big-data segment list", db.ddlistOffset());
    OffsetListCell entries(list);
    value->Data.resize(length);
    uint32_t done = 0;
    for (uint32_t i = 0; i < segments && done < length; ++i) {
      uint32_t take = std::min(kSegmentData, length - done);
      CellView segment;
      if (!Cell(entries.Entry(i), 4 + uint64_t{take}, &segment))
        return Fail("bad big-data segment", entries.Entry(i));
      const uint8_t* bytes = segment.Ptr(DataCell::kData, take);
      std::copy(bytes, bytes + take, value->Data.begin() + done);
      done += take;
    }
    return true;
  }

  // Keeps every key's subkeys in sibling order, so lookups can search them.
  static void SortSubkeys(RegistryKey* root) {
    std::vector<RegistryKey*> pending{root};
    auto before = [](const std::shared_ptr<RegistryKey>& a, const std::shared_ptr<RegistryKey>& b) {
      return CompareSiblingOrder(a->Name, b->Name) < 0;
    };
    while (!pending.empty()) {
      RegistryKey* key = pending.back();
      pending.pop_back();
      if (!std::is_sorted(key->Subkeys.begin(), key->Subkeys.end(), before))
        std::stable_sort(key->Subkeys.begin(), key->Subkeys.end(), before);
      for (auto& child : key->Subkeys) pending.push_back(child.get());
    }
  }

  const HiveImage& image_;
  bool bigData_;
  std::vector<bool> seen_;
  std::unordered_map<uint32_t, Descriptor> descriptors_;
  ReadDamage* damage_;  // null: strict
  std::string problem_;
};

std::atomic<bool> g_applyLogs{true};

}  // namespace

void SetApplyTransactionLogs(bool on) { g_applyLogs.store(on); }

namespace {

platform::Status ReadTree(const uint8_t* bytes, size_t size, RegistryTree* tree, ReadDamage* damage) {
  auto fail = [](std::string what) { return platform::Status::Failed("read", std::string(), EINVAL, std::move(what)); };
  if (size < kBaseBlockSize + kBinHeaderSize) return fail("file shorter than a base block and one bin");
  if (LoadU32(bytes) != kRegfSignature) return fail("no regf signature");
  uint32_t major = LoadU32(bytes + 0x14), minor = LoadU32(bytes + 0x18);
  if (major != 1) return fail("unsupported hive version");
  uint64_t end = uint64_t{kBaseBlockSize} + LoadU32(bytes + 0x28);
  constexpr uint32_t kBinAlignment = 4096;
  if (end > size && damage != nullptr && size - kBaseBlockSize >= kBinAlignment) {
    // A file cut short: its whole bins are what is left to read.
    end = kBaseBlockSize + (size - kBaseBlockSize) / kBinAlignment * kBinAlignment;
    damage->Note("hive bins data size beyond the file; read to its last whole bin");
  }
  if (end > size || end < kBaseBlockSize + kBinHeaderSize) return fail("hive bins data size beyond the file");
  if (end > 0x7FFFFFFFu) return fail("hive larger than 2 GB");
  // The views take a mutable image; this reader only ever loads through them.
  HiveImage image(const_cast<uint8_t*>(bytes), static_cast<uint32_t>(end));
  RegistryTree result;
  result.MajorVersion = major;
  result.MinorVersion = minor;
  result.Sequence = LoadU32(bytes + 4);
  TreeReader reader(image, major, minor, damage);
  if (!reader.Read(LoadU32(bytes + 0x24), &result)) return fail(reader.Problem());
  *tree = std::move(result);
  return platform::Status();
}

}  // namespace

platform::Status LoadHiveBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return platform::Status::Failed("read", path, errno, "cannot open the file");
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long size = std::ftell(f);
    if (size > 0 && std::fseek(f, 0, SEEK_SET) == 0) {
      bytes->resize(static_cast<size_t>(size));
      if (std::fread(bytes->data(), 1, bytes->size(), f) != bytes->size()) bytes->clear();
    }
  }
  std::fclose(f);
  if (bytes->empty()) return platform::Status::Failed("read", path, EIO, "cannot read the file");
  if (g_applyLogs.load() && txlog::IsDirty(bytes->data(), bytes->size())) {
    std::vector<std::string> logs = txlog::FindLogs(path);
    if (!logs.empty()) txlog::Recover(*bytes, txlog::ReadLogs(logs));
  }
  return platform::Status();
}

platform::Status ReadHiveTree(const uint8_t* bytes, size_t size, RegistryTree* tree) {
  return ReadTree(bytes, size, tree, nullptr);
}

platform::Status ReadHiveTreeTolerant(const uint8_t* bytes, size_t size, RegistryTree* tree, ReadDamage* damage) {
  return ReadTree(bytes, size, tree, damage);
}

namespace {

platform::Status ReadFile(const std::string& path, RegistryTree* tree, ReadDamage* damage) {
  std::vector<uint8_t> bytes;
  platform::Status read = LoadHiveBytes(path, &bytes);
  if (read) read = ReadTree(bytes.data(), bytes.size(), tree, damage);
  if (!read) read.Path = path;
  return read;
}

}  // namespace

platform::Status ReadHiveFile(const std::string& path, RegistryTree* tree) { return ReadFile(path, tree, nullptr); }

platform::Status ReadHiveFileTolerant(const std::string& path, RegistryTree* tree, ReadDamage* damage) {
  return ReadFile(path, tree, damage);
}

}  // namespace quelbrix::registry

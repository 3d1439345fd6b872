#include "registry/hive_writer.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_map>

#include "hive/base_block.h"
#include "hive/bytes.h"
#include "hive/cells.h"
#include "hive/bins.h"
#include "hive/names.h"
#include "platform/files.h"
#include "platform/text.h"

namespace quelbrix::registry {
namespace {

constexpr uint32_t kBinGrain = kPageSize;
// Positions stay below 2^31: the engine's AccessMap keeps 32-bit positions
// into an image twice the file's size.
constexpr uint64_t kMaxHive = 0x7FFFF000u;

bool Compressible(std::u16string_view name) {
  return std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0xFF; });
}

uint32_t StoredLength(std::u16string_view name) {
  return static_cast<uint32_t>(Compressible(name) ? name.size() : 2 * name.size());
}

class HiveLayout {
 public:
  HiveLayout(const RegistryTree& tree) : tree_(tree), oldFormat_(IsOldFormat(tree.MajorVersion, tree.MinorVersion)) {
    out_.assign(kBaseBlockSize, 0);
  }

  bool Build(std::u16string_view fileName, uint64_t now, std::vector<uint8_t>* result) {
    const RegistryKey& root = *tree_.Root;
    uint32_t rootOffset = NewKeyCell(root);
    std::vector<Pending> pending{{&root, rootOffset, 0, nullptr}};
    while (!pending.empty() && !tooLarge_) {
      Pending p = pending.back();
      pending.pop_back();
      LayOutKey(p, &pending);
    }
    CloseBin();
    if (tooLarge_) return false;
    LinkSecurityRing();
    WriteBaseBlock(rootOffset, fileName, now);
    *result = std::move(out_);
    return true;
  }

 private:
  struct Pending {
    const RegistryKey* key;
    uint32_t nkOffset;
    uint32_t parentOffset;
    const std::vector<uint8_t>* inherited;  // the nearest ancestor's descriptor
  };
  struct Security {
    uint32_t offset;
    uint32_t refs;
  };

  uint8_t* At(uint32_t offset) { return out_.data() + kBaseBlockSize + offset; }

  // Cells never straddle bins: a cell that does not fit the rest of the bin
  // leaves that rest as one free cell and starts a bin of its own size.
  uint32_t Alloc(uint64_t length) {
    length = RoundUp8(length);
    if (cursor_ + length > binEnd_) {
      CloseBin();
      uint64_t binSize = (kBinHeaderSize + length + kBinGrain - 1) / kBinGrain * kBinGrain;
      if (out_.size() + binSize > kMaxHive) {
        tooLarge_ = true;
        return 0;
      }
      binStart_ = out_.size();
      out_.resize(out_.size() + binSize, 0);
      binEnd_ = out_.size();
      uint8_t* bin = out_.data() + binStart_;
      StoreU32(bin, kBinSignature);
      StoreU32(bin + 4, static_cast<uint32_t>(binStart_ - kBaseBlockSize));
      StoreU32(bin + 8, static_cast<uint32_t>(binSize));
      if (oldFormat_) StoreU32(bin + 0x1C, static_cast<uint32_t>(binSize));
      cursor_ = binStart_ + kBinHeaderSize;
    }
    uint32_t offset = static_cast<uint32_t>(cursor_ - kBaseBlockSize);
    StoreU32(out_.data() + cursor_, static_cast<uint32_t>(-static_cast<int32_t>(length)));
    cursor_ += length;
    return offset;
  }

  void CloseBin() {
    if (cursor_ < binEnd_) StoreU32(out_.data() + cursor_, static_cast<uint32_t>(binEnd_ - cursor_));
    cursor_ = binEnd_;
  }

  void PutName(uint8_t* dest, std::u16string_view name) {
    bool narrow = Compressible(name);
    for (size_t i = 0; i < name.size(); ++i) {
      if (narrow) dest[i] = static_cast<uint8_t>(name[i]);
      else StoreU16(dest + 2 * i, name[i]);
    }
  }

  uint32_t NewKeyCell(const RegistryKey& key) {
    uint32_t length = StoredLength(key.Name);
    uint32_t offset = Alloc(NeedsFor(kKindNk, length).Trim);
    if (tooLarge_) return 0;
    uint8_t* nk = At(offset);
    StoreU16(nk + 4, kSigNk);
    StoreU16(nk + NkCell::kKeyLength, static_cast<uint16_t>(length));
    PutName(nk + NkCell::kKeyName, key.Name);
    return offset;
  }

  uint32_t SecurityCell(const std::vector<uint8_t>& descriptor) {
    std::string bytes(descriptor.begin(), descriptor.end());
    auto known = security_.find(bytes);
    if (known != security_.end()) {
      ++known->second.refs;
      return known->second.offset;
    }
    uint32_t offset = Alloc(NeedsFor(kKindSk, descriptor.size()).Trim);
    if (tooLarge_) return 0;
    uint8_t* sk = At(offset);
    StoreU16(sk + 4, kSigSk);
    StoreU32(sk + SkCell::kDescriptorLength, static_cast<uint32_t>(descriptor.size()));
    std::copy(descriptor.begin(), descriptor.end(), sk + SkCell::kDescriptor);
    security_.emplace(std::move(bytes), Security{offset, 1});
    ring_.push_back(offset);
    return offset;
  }

  void LinkSecurityRing() {
    for (size_t i = 0; i < ring_.size(); ++i) {
      uint8_t* sk = At(ring_[i]);
      StoreU32(sk + SkCell::kPrevskOffset, ring_[(i + ring_.size() - 1) % ring_.size()]);
      StoreU32(sk + SkCell::kNextskOffset, ring_[(i + 1) % ring_.size()]);
    }
    for (const auto& [bytes, sec] : security_) StoreU32(At(sec.offset) + SkCell::kRefCount, sec.refs);
  }

  uint32_t DataCells(const std::vector<uint8_t>& data) {
    uint32_t length = static_cast<uint32_t>(data.size());
    if (length > kBigDataThreshold && HasBigData(tree_.MajorVersion, tree_.MinorVersion)) {
      uint32_t segments = (length + kSegmentData - 1) / kSegmentData;
      uint32_t db = Alloc(NeedsFor(kKindDb, 0).Trim);
      uint32_t list = Alloc(NeedsFor(kKindDl, segments).Trim);
      if (tooLarge_) return 0;
      StoreU16(At(db) + 4, kSigDb);
      StoreU16(At(db) + 6, static_cast<uint16_t>(segments));
      StoreU32(At(db) + 8, list);
      for (uint32_t i = 0; i < segments; ++i) {
        uint32_t take = std::min(kSegmentData, length - i * kSegmentData);
        // Every segment is a full-size cell, the last one too, as the registry
        // allocates them (readers take a segment's length from its cell).
        uint32_t segment = Alloc(kSegmentCellSize);
        if (tooLarge_) return 0;
        std::copy(data.begin() + uint64_t{i} * kSegmentData, data.begin() + uint64_t{i} * kSegmentData + take,
                  At(segment) + 4);
        StoreU32(At(list) + 4 + 4 * i, segment);
      }
      return db;
    }
    uint32_t cell = Alloc(NeedsFor(kKindVd, length).Trim);
    if (tooLarge_) return 0;
    std::copy(data.begin(), data.end(), At(cell) + 4);
    return cell;
  }

  uint32_t ValueCells(const std::vector<RegistryValue>& values, uint32_t* maxName, uint32_t* maxData) {
    uint32_t list = Alloc(NeedsFor(kKindVm, values.size()).Trim);
    for (size_t i = 0; i < values.size() && !tooLarge_; ++i) {
      const RegistryValue& v = values[i];
      uint32_t nameLength = StoredLength(v.Name);
      uint32_t vk = Alloc(NeedsFor(kKindVk, nameLength).Trim);
      if (tooLarge_) return 0;
      uint32_t length = static_cast<uint32_t>(v.Data.size());
      uint32_t dataLength = length, dataOffset = 0;
      if (length <= 4) {
        dataLength = length | VkCell::kInlineFlag;
        for (uint32_t b = 0; b < length; ++b) dataOffset |= static_cast<uint32_t>(v.Data[b]) << (8 * b);
      } else {
        dataOffset = DataCells(v.Data);
        if (tooLarge_) return 0;
      }
      uint8_t* p = At(vk);
      StoreU16(p + 4, kSigVk);
      StoreU16(p + VkCell::kNameLength, static_cast<uint16_t>(nameLength));
      StoreU32(p + VkCell::kDataLength, dataLength);
      StoreU32(p + VkCell::kDataOffset, dataOffset);
      StoreU32(p + VkCell::kDataType, v.Type);
      StoreU16(p + VkCell::kFlags,
               static_cast<uint16_t>(v.Flags | (Compressible(v.Name) ? VkCell::kFlagAsciiName : 0)));
      PutName(p + VkCell::kName, v.Name);
      StoreU32(At(list) + 4 + 4 * i, vk);
      *maxName = std::max<uint32_t>(*maxName, static_cast<uint32_t>(2 * v.Name.size()));
      *maxData = std::max(*maxData, length);
    }
    return list;
  }

  uint32_t Leaf(const std::vector<const RegistryKey*>& keys, const std::vector<uint32_t>& offsets, size_t from,
                size_t count) {
    bool hashed = !(tree_.MajorVersion == 1 && tree_.MinorVersion < 5);
    uint32_t leaf = Alloc(NeedsFor(kKindLh, count).Trim);
    if (tooLarge_) return 0;
    uint8_t* p = At(leaf);
    StoreU16(p + 4, hashed ? kSigLh : kSigLf);
    StoreU16(p + 6, static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i) {
      const std::u16string& name = keys[from + i]->Name;
      StoreU32(p + 8 + 8 * i, offsets[from + i]);
      StoreU32(p + 12 + 8 * i, hashed ? LhNameHash(name) : LfNameHint(name));
    }
    return leaf;
  }

  uint32_t SubkeyIndex(const std::vector<const RegistryKey*>& keys, const std::vector<uint32_t>& offsets) {
    if (keys.size() <= kMaxLeafEntries) return Leaf(keys, offsets, 0, keys.size());
    size_t leaves = (keys.size() + kMaxLeafEntries - 1) / kMaxLeafEntries;
    uint32_t ri = Alloc(NeedsFor(kKindRi, leaves).Trim);
    if (tooLarge_) return 0;
    StoreU16(At(ri) + 4, kSigRi);
    StoreU16(At(ri) + 6, static_cast<uint16_t>(leaves));
    for (size_t l = 0; l < leaves; ++l) {
      size_t from = l * kMaxLeafEntries;
      uint32_t leaf = Leaf(keys, offsets, from, std::min<size_t>(kMaxLeafEntries, keys.size() - from));
      if (tooLarge_) return 0;
      StoreU32(At(ri) + 8 + 4 * l, leaf);
    }
    return ri;
  }

  void LayOutKey(const Pending& p, std::vector<Pending>* pending) {
    const RegistryKey& key = *p.key;
    bool root = p.key == tree_.Root.get();
    uint32_t classOffset = kNoCell;
    if (!key.Class.empty()) {
      classOffset = Alloc(NeedsFor(kKindCl, 2 * key.Class.size()).Trim);
      if (tooLarge_) return;
      for (size_t i = 0; i < key.Class.size(); ++i) StoreU16(At(classOffset) + 4 + 2 * i, key.Class[i]);
    }
    // A key always has a descriptor: one created without takes its parent's.
    const std::vector<uint8_t>* descriptor = key.Security ? key.Security.get() : p.inherited;
    if (descriptor == nullptr) descriptor = StandardDescriptor().get();
    uint32_t skOffset = SecurityCell(*descriptor);

    uint32_t maxName = 0, maxData = 0;
    uint32_t listOffset = key.Values.empty() ? kNoCell : ValueCells(key.Values, &maxName, &maxData);

    std::vector<const RegistryKey*> children;
    children.reserve(key.Subkeys.size());
    for (const auto& child : key.Subkeys)
      if (!child->Volatile) children.push_back(child.get());
    std::vector<uint32_t> offsets(children.size());
    uint32_t maxSubkey = 0, maxClass = 0;
    for (size_t i = 0; i < children.size() && !tooLarge_; ++i) {
      offsets[i] = NewKeyCell(*children[i]);
      maxSubkey = std::max<uint32_t>(maxSubkey, static_cast<uint32_t>(2 * children[i]->Name.size()));
      maxClass = std::max<uint32_t>(maxClass, static_cast<uint32_t>(2 * children[i]->Class.size()));
    }
    uint32_t indexOffset = children.empty() ? kNoCell : SubkeyIndex(children, offsets);
    if (tooLarge_) return;

    uint8_t* nk = At(p.nkOffset);
    uint16_t flags = static_cast<uint16_t>(key.Flags & ~(kKeyCompressedName | kKeyHiveEntry | kKeyVolatile));
    if (root) flags |= kKeyHiveEntry | kKeyNoDelete;
    if (Compressible(key.Name)) flags |= kKeyCompressedName;
    StoreU16(nk + NkCell::kFlags, flags);
    StoreU64(nk + NkCell::kTimeStamp, key.LastWrite);
    StoreU32(nk + NkCell::kParentOffset, p.parentOffset);
    StoreU32(nk + NkCell::kSubkeyCount, static_cast<uint32_t>(children.size()));
    StoreU32(nk + NkCell::kSubkeyOffset, indexOffset);
    StoreU32(nk + NkCell::kSubkeyOffset1, kNoCell);
    StoreU32(nk + NkCell::kvklistCount, static_cast<uint32_t>(key.Values.size()));
    StoreU32(nk + NkCell::kvklistOffset, listOffset);
    StoreU32(nk + NkCell::kskOffset, skOffset);
    StoreU32(nk + NkCell::kClassOffset, classOffset);
    StoreU16(nk + NkCell::kMaxSubkey, static_cast<uint16_t>(std::min<uint32_t>(maxSubkey, 0xFFFF)));
    StoreU32(nk + NkCell::kMaxClass, maxClass);
    StoreU32(nk + NkCell::kMaxName, maxName);
    StoreU32(nk + NkCell::kMaxData, maxData);
    StoreU16(nk + NkCell::kClassLength, static_cast<uint16_t>(2 * key.Class.size()));

    // Children go on the stack last-first, so they are laid out in index order.
    for (size_t i = children.size(); i-- > 0;) pending->push_back({children[i], offsets[i], p.nkOffset, descriptor});
  }

  void WriteBaseBlock(uint32_t rootOffset, std::u16string_view fileName, uint64_t now) {
    uint8_t* b = out_.data();
    StoreU32(b, kRegfSignature);
    StoreU32(b + regf::kPrimarySequence, tree_.Sequence);
    StoreU32(b + regf::kSecondarySequence, tree_.Sequence);
    StoreU64(b + regf::kTimeStamp, now);
    StoreU32(b + regf::kMajorVersion, tree_.MajorVersion);
    StoreU32(b + regf::kMinorVersion, tree_.MinorVersion);
    StoreU32(b + regf::kType, 0);  // primary file
    StoreU32(b + regf::kFormat, 1);  // direct memory load
    StoreU32(b + regf::kRootCellOffset, rootOffset);
    StoreU32(b + regf::kHbinsDataSize, static_cast<uint32_t>(out_.size() - kBaseBlockSize));
    StoreU32(b + regf::kClusteringFactor, 1);
    // The base block keeps the tail of the file name: 31 units and a NUL.
    if (fileName.size() > 31) fileName = fileName.substr(fileName.size() - 31);
    for (size_t i = 0; i < fileName.size(); ++i) StoreU16(b + BaseBlock::kFileName + 2 * i, fileName[i]);
    if (out_.size() > kBaseBlockSize) StoreU64(b + kBaseBlockSize + 0x14, now);  // first bin's time stamp
    StoreU32(b + regf::kChecksum, ComputeChecksum(b));
  }

  const RegistryTree& tree_;
  bool oldFormat_;
  std::vector<uint8_t> out_;
  uint64_t binStart_ = 0, binEnd_ = 0, cursor_ = 0;
  bool tooLarge_ = false;
  std::unordered_map<std::string, Security> security_;
  std::vector<uint32_t> ring_;
};

}  // namespace

bool BuildHive(const RegistryTree& tree, std::u16string_view fileName, uint64_t now, std::vector<uint8_t>* out) {
  if (!tree.Root) return false;
  HiveLayout layout(tree);
  return layout.Build(fileName, now, out);
}

platform::Status WriteHiveFile(const std::string& path, const RegistryTree& tree, const platform::WriteOptions& options) {
  std::vector<uint8_t> bytes;
  std::u16string name = platform::Utf8ToUtf16(platform::FileNameOf(path));
  if (!BuildHive(tree, name, FileTimeNow(), &bytes))
    return platform::Status::Failed("write", path, EFBIG, "the keys and values do not fit a hive of 2 GB");
  return platform::WriteFileAtomic(path, bytes.data(), bytes.size(), options);
}

}  // namespace quelbrix::registry

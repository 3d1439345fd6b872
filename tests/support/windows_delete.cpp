#include "support/windows_delete.h"

#include <algorithm>

namespace quelbrix::testing {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

void Add(const HiveBuilder& b, Cell c, std::vector<uint32_t>& out) {
  if (c.id >= 0) out.push_back(b.Offset(c));
}

// Takes entry `at` out of a list of `count` entries of `size` bytes from `first`.
void Shorten(HiveBuilder& b, uint32_t cell, uint32_t first, uint32_t size, uint32_t at, uint32_t count) {
  for (uint32_t i = at; i + 1 < count; ++i)
    for (uint32_t w = 0; w < size; w += 4) b.SetU32(cell, first + i * size + w, b.U32(cell, first + (i + 1) * size + w));
}

}  // namespace

std::vector<uint32_t> SubtreeCells(HiveBuilder& b, Key key) {
  std::vector<uint32_t> out;
  std::vector<int> pending{key.id};
  while (!pending.empty()) {
    Key k{pending.back()};
    pending.pop_back();
    const KeyModel& m = b.Model(k);
    Add(b, b.NkCell(k), out);
    Add(b, b.ClassCell(k), out);
    Add(b, b.ValueListCell(k), out);
    if (m.indexCell >= 0)
      for (uint32_t off : b.IndexOffsets(k)) out.push_back(off);
    for (int v : m.values) {
      Value value{v};
      const ValueModel& vm = b.Model(value);
      Add(b, b.VkCell(value), out);
      Add(b, b.DataCell(value), out);
      Add(b, b.SegmentListCell(value), out);
      for (size_t i = 0; i < vm.segmentCells.size(); ++i) Add(b, b.SegmentCell(value, i), out);
    }
    for (int c : m.children) pending.push_back(c);
  }
  return out;
}

void FreeCellAt(HiveBuilder& b, uint32_t cellOffset) {
  int32_t size = static_cast<int32_t>(b.U32(cellOffset, 0));
  if (size < 0) b.SetI32(cellOffset, 0, -size);
}

void MergeFreeCells(HiveBuilder& b) {
  std::vector<uint8_t>& image = b.Image();
  auto u32 = [&](size_t pos) { return static_cast<uint32_t>(image[pos] | image[pos + 1] << 8 | image[pos + 2] << 16 | image[pos + 3] << 24); };
  size_t end = 4096 + size_t{b.HbinsDataSize()};
  for (size_t bin = 4096; bin + 32 <= end;) {
    uint32_t binSize = u32(bin + 8);
    if (binSize < 32) break;
    for (size_t cell = bin + 32; cell < bin + binSize;) {
      int32_t size = static_cast<int32_t>(u32(cell));
      if (size == 0) break;
      if (size > 0) {
        size_t next = cell + static_cast<uint32_t>(size);
        while (next < bin + binSize && static_cast<int32_t>(u32(next)) > 0) {
          size += static_cast<int32_t>(u32(next));
          next = cell + static_cast<uint32_t>(size);
        }
        b.SetFileU32(static_cast<uint32_t>(cell), static_cast<uint32_t>(size));
      }
      cell += static_cast<uint32_t>(size < 0 ? -size : size);
    }
    bin += binSize;
  }
  b.RecomputeChecksum();
}

void TakeCellAt(HiveBuilder& b, uint32_t cellOffset, uint32_t length) {
  const uint32_t pos = 4096 + cellOffset;
  size_t end = 4096 + size_t{b.HbinsDataSize()};
  for (uint32_t bin = 4096; bin + 32 <= end;) {
    uint32_t binSize = b.FileU32(bin + 8);
    if (binSize < 32) return;
    for (uint32_t cell = bin + 32; cell < bin + binSize;) {
      int32_t size = static_cast<int32_t>(b.FileU32(cell));
      if (size == 0) return;
      uint32_t m = static_cast<uint32_t>(size < 0 ? -size : size);
      if (size > 0 && pos >= cell && pos + length <= cell + m) {
        if (pos > cell) b.SetFileU32(cell, pos - cell);
        b.SetFileU32(pos, static_cast<uint32_t>(-static_cast<int32_t>(length)));
        if (pos + length < cell + m) b.SetFileU32(pos + length, cell + m - pos - length);
        b.RecomputeChecksum();
        return;
      }
      cell += m;
    }
    bin += binSize;
  }
}

void DeleteKeyAsWindows(HiveBuilder& b, Key key) {
  const KeyModel& m = b.Model(key);
  uint32_t parent = b.Offset(b.NkCell(Key{m.parent}));
  HiveBuilder::Entry entry = b.EntryOf(key);
  uint32_t count = b.U16(entry.leafOffset, 6);
  uint16_t sig = b.U16(entry.leafOffset, 4);
  Shorten(b, entry.leafOffset, 8, sig == 0x696C ? 4 : 8, entry.index, count);
  b.SetU16(entry.leafOffset, 6, static_cast<uint16_t>(count - 1));
  b.SetU32(parent, 0x18, b.U32(parent, 0x18) - 1);
  if (count == 1 && b.U32(parent, 0x20) == entry.leafOffset) {
    FreeCellAt(b, entry.leafOffset);
    b.SetU32(parent, 0x20, kNone);
  }
  // Each deleted key gives up its use of its security cell.
  std::vector<int> pending{key.id};
  while (!pending.empty()) {
    Key k{pending.back()};
    pending.pop_back();
    uint32_t sk = b.U32(b.Offset(b.NkCell(k)), 0x30);
    b.SetU32(sk, 0x10, b.U32(sk, 0x10) - 1);
    for (int c : b.Model(k).children) pending.push_back(c);
  }
  for (uint32_t cell : SubtreeCells(b, key)) FreeCellAt(b, cell);
  MergeFreeCells(b);
}

void DeleteValueAsWindows(HiveBuilder& b, Value value) {
  const ValueModel& vm = b.Model(value);
  Key key{vm.key};
  uint32_t nk = b.Offset(b.NkCell(key));
  uint32_t list = b.Offset(b.ValueListCell(key));
  uint32_t count = b.U32(nk, 0x28);
  uint32_t vk = b.Offset(b.VkCell(value));
  uint32_t at = 0;
  while (at < count && b.U32(list, 4 + 4 * at) != vk) ++at;
  Shorten(b, list, 4, 4, at, count);
  b.SetU32(nk, 0x28, count - 1);
  if (count == 1) {
    FreeCellAt(b, list);
    b.SetU32(nk, 0x2C, kNone);
  }
  FreeCellAt(b, vk);
  for (Cell c : {b.DataCell(value), b.SegmentListCell(value)})
    if (c.id >= 0) FreeCellAt(b, b.Offset(c));
  for (size_t i = 0; i < vm.segmentCells.size(); ++i) FreeCellAt(b, b.Offset(b.SegmentCell(value, i)));
  MergeFreeCells(b);
}

}  // namespace quelbrix::testing

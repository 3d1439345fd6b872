#include "scan/values.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/report_log.h"
#include "hive/access_map.h"
#include "hive/check_cell.h"
#include "hive/names.h"
#include "hive/report_finding.h"
#include "platform/text.h"
#include "repair/allocator.h"
#include "repair/data_length.h"
#include "scan/big_data.h"

namespace quelbrix {

namespace {

using valuestep::BigDataHive;
using valuestep::ExtendedRepair;
using valuestep::RepairMode;
using valuestep::StoredLength;
using valuestep::ZeroCellTail;

// Working text of one dump.  Ordinary values reuse the thread's buffers, so a
// walk over millions of values allocates nothing per value; a value above
// 16344 bytes gets buffers of its own, released with the dump.
struct DumpScratch {
  std::string line;
  std::string prefix;
  std::vector<char16_t> units;
  std::vector<uint8_t> bytes;
};

DumpScratch& ThreadScratch() {
  thread_local DumpScratch scratch;
  return scratch;
}

char* ValueNameBuffer() {
  thread_local char name[kValueNameBuffer];
  return name;
}

void Note(PassState& ctx, std::string_view text) { LogPane(kBlack, ctx, text); }

void DumpCell(PassState& ctx, const CellView& cell) {
  DumpHex(cell.Bytes(), ctx, std::min<uint64_t>(cell.Length(), cell.Avail()));
}

// Appends the ANSI form of the UTF-16 text at src (at most `bytes` bytes, up to
// its first zero unit) to `out` and returns the units before that zero unit.
// An odd last byte stands as a unit of its own with a zero high byte, as the
// copy-and-terminate of the report log's conversion leaves it.
size_t AppendUtf16(std::string& out, const uint8_t* src, size_t bytes, std::vector<char16_t>& units) {
  size_t room = (bytes + 1) / 2;
  if (units.size() < room) units.resize(room);
  size_t n = 0;
  bool ended = false;
#if defined(__SSE2__)
  // Eight whole units at a time up to the first zero unit (x86 is little-endian,
  // as the hive's UTF-16 is).
  for (; 2 * n + 16 <= bytes; n += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * n));
    int zeros = _mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128()));
    size_t whole = zeros == 0 ? 8 : static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(zeros))) / 2;
    std::memcpy(units.data() + n, src + 2 * n, 2 * whole);
    if (zeros != 0) {
      n += whole;
      ended = true;
      break;
    }
  }
#endif
  for (; !ended && n < room; ++n) {
    uint8_t high = 2 * n + 1 < bytes ? src[2 * n + 1] : 0;
    char16_t unit = static_cast<char16_t>(src[2 * n] | high << 8);
    if (unit == 0) break;
    units[n] = unit;
  }
  if (n == 0) return 0;
  size_t at = out.size();
  // Four bytes per unit cover every code page the text layer accepts.
  out.resize(at + 4 * n + 1);
  size_t written = platform::Utf16ToAnsiBuffer(out.data() + at, 4 * n + 1, units.data(), n);
  out.resize(at + written);
  return n;
}

// The hex line's prefix is a format: a '%' in a value name must stay literal.
void AppendEscaped(std::string& out, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    out.push_back(*p);
    if (*p == '%') out.push_back('%');
  }
}

void AppendHexPairs(std::string& out, const uint8_t* bytes, size_t n, bool reversed) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = bytes[reversed ? n - 1 - i : i];
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
}

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char x = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
    char y = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

const char* HexTag(uint32_t type) {
  switch (type) {
    case 0: return "non";
    case 3: return "binary";
    case 6: return "link";
    case 8: return "resource_list";
    case 9: return "full_resource_descriptor";
    case 10: return "resource_requirements_list";
    case 11: return "qword";
    default: return nullptr;
  }
}

void CountRegSetValue(PassState& ctx) { ScanTotals(ctx).Count(RepairCounter::RegSetValueExCount); }

// "[LogonTime=%s]" and "[ShutdownTime=%s]" after the hex line of a binary
// value.  A value shorter than a FILETIME shows the bytes it has as hex pairs
// instead of a time made up from missing bytes.
void TimeLine(PassState& ctx, const char* label, const ValueData& data, DumpScratch& s) {
  s.prefix.assign("[").append(label).append("=");
  if (data.Present >= 8) {
    char time[64];
    FormatFileTime(time, sizeof time, LoadU64(data.Bytes));
    s.prefix.append(time);
  } else {
    AppendHexPairs(s.prefix, data.Bytes, data.Present, false);
  }
  s.prefix.append("]");
  LogLine(ctx, s.prefix, kGreen);
}

void DumpUnknown(PassState& ctx, const char* name, const ValueData& data, const std::string& pathLine,
                 const VkCell& vk, DumpScratch& s) {
  Report<FindingKind::kDataTypeUnknown>(ctx, vk.Pos());
  Note(ctx, pathLine);
  char tag[32];
  FormatText(tag, sizeof tag, "\"=unknown(0x%04x):", vk.DataType());
  s.prefix.assign("\"");
  AppendEscaped(s.prefix, name);
  s.prefix.append(tag);
  DumpHexLine(data.Bytes, s.prefix.c_str(), ctx, 0, data.Present, true);
  if (data.Present == 0) return;

  // One string whose terminator ends exactly at the end of the data, and that
  // survives the round trip through the ANSI code page.
  s.line.assign("\"").append(name).append("\"=\"");
  size_t textAt = s.line.size();
  size_t units = AppendUtf16(s.line, data.Bytes, data.Present, s.units);
  if (uint64_t{data.Present} != 2 * uint64_t{units} + 2) return;
  std::u16string back = platform::AnsiToUtf16(std::string_view(s.line).substr(textAt));
  if (back.size() != units || !std::equal(back.begin(), back.end(), s.units.begin())) return;
  s.line.push_back('"');
  Note(ctx, s.line);
  if (ExtendedRepair(ctx)) vk.SetDataType(1);
}

void ReadPlainData(PassState& ctx, const char* name, RegHandle handle, const std::string& pathLine,
                   const VkCell& vk) {
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  uint32_t b = StoredLength(vk);
  if (vk.InlineData()) {
    uint32_t type = vk.DataType();
    if ((type == 1 || type == 2 || type == 7) && b > 4) {
      Report<FindingKind::kVkDataLengthError>(ctx, vk.Pos(), static_cast<int>(b));
      Note(ctx, name);
    }
    ValueData data;
    data.Bytes = vk.Ptr(VkCell::kDataOffset, 4);
    data.Present = std::min<uint32_t>(b, 4);
    DumpValue(ctx, name, data, pathLine, vk, handle);
    return;
  }

  totals.Add(Total::dataCount);
  totals.Add(Total::AccessCount);
  uint64_t pos = CellPos(vk.DataOffset());
  if (CheckCell(vk.Pos(), ctx, true, 0, pos, kSigVd) != kCellOk) {
    Report<FindingKind::kDataCellsAssertError>(ctx, static_cast<uint32_t>(pos));
    Note(ctx, pathLine);
    return;
  }
  DataCell cell(image, pos);
  if (cell.Length() < uint64_t{b} + 4) {
    Report<FindingKind::kDataCellsLengthError>(ctx, cell.Pos(), cell.Pos());
    Note(ctx, pathLine);
    return;
  }
  totals.SetMax(Total::MaxdataLength, b);
  totals.SetMax(Total::MaxdataCellsLength, cell.Length());
  ValueData data;
  data.Bytes = cell.Ptr(DataCell::kData, b);
  data.Present = b;
  DumpValue(ctx, name, data, pathLine, vk, handle);
  if (!vk.InlineData()) TidyData(ctx, vk, pathLine);
}

void VisitValue(PassState& ctx, const OffsetListCell& list, uint32_t entry, const std::string& pathLine, int depth,
                RegHandle handle) {
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  totals.Add(Total::vkCount);
  totals.Add(Total::AccessCount);
  uint64_t pos = CellPos(entry);
  if (CheckCell(list.Pos(), ctx, true, 0, pos, kSigVk) != kCellOk) {
    Report<FindingKind::kVkCellsAssertError>(ctx, static_cast<uint32_t>(pos));
    Note(ctx, pathLine);
    return;
  }
  VkCell vk(image, pos);
  Shape shape = ShapeOf(vk);
  if (shape == Shape::kWrongSignature) {
    Report<FindingKind::kVkSignatureError>(ctx, vk.Pos(), vk.Pos());
    Note(ctx, pathLine);
    return;
  }
  if (shape == Shape::kTooShort) {
    Report<FindingKind::kVkCellsLengthError>(ctx, vk.Pos(), vk.Pos());
    Note(ctx, pathLine);
    return;
  }

  char* name = ValueNameBuffer();
  name[0] = '\0';
  uint32_t computed = 0;
  if (vk.NameLength() == 0) {
    totals.Add(Total::ValueNameCounts, 2, 1);
  } else {
    bool eightBit = vk.AsciiName();
    totals.Add(Total::ValueNameCounts, eightBit ? 1 : 0, 1);
    DecodedName decoded = DecodeName(vk.Name(), vk.NameLength(), vk.NameAvail(), eightBit, name, kValueNameBuffer);
    if (decoded.Truncated) {
      Report<FindingKind::kVkNameOverflowError>(ctx, vk.Pos(), vk.Pos());
      Note(ctx, pathLine);
    }
    computed = decoded.ComputedLength;
    if (computed != vk.NameLength()) {
      Report<FindingKind::kVkNameLengthError>(ctx, vk.Pos(), vk.Pos());
      Note(ctx, pathLine);
      Note(ctx, name);
      DumpCell(ctx, vk);
      if (RepairMode(ctx) &&
          (computed < vk.NameLength() ||
           EvenUpUtf16Name(vk.Bytes() + VkCell::kName, vk.NameLength(), computed, vk.Room(VkCell::kName)))) {
        vk.SetNameLength(static_cast<uint16_t>(computed));
        totals.Count(RepairCounter::vkKeyLengthClean);
      }
    }
  }
  if (depth > 0) totals.SetMax(Total::MaxNameLength, computed);
  if (ExtendedRepair(ctx) && vk.Unknown() != 0) {
    vk.SetUnknown(0);
    totals.Count(RepairCounter::vkUnknownClean);
  }
  AdjustCells(ctx, vk.Pos(), RoundUp8(26 + uint64_t{vk.NameLength()}));
  if (RepairMode(ctx) && ZeroCellTail(vk, uint64_t{VkCell::kHeaderLength} + vk.NameLength()))
    totals.Count(RepairCounter::vkPaddingClean);
  totals.Add(Total::DataTypeCounts, std::min<uint32_t>(vk.DataType(), 12), 1);

  // An inline value is read from its DataOffset field whatever length it
  // claims; only a value that lives in cells can be big data.
  if (!vk.InlineData() && StoredLength(vk) > kBigDataThreshold && BigDataHive(ctx)) {
    ReadBigData(ctx, name, handle, pathLine, vk);
  } else {
    ReadPlainData(ctx, name, handle, pathLine, vk);
  }
}

}  // namespace

void DumpValue(PassState& ctx, const char* name, const ValueData& data, const std::string& pathLine,
               const VkCell& vk, RegHandle handle) {
  DumpScratch own;
  DumpScratch& s = data.Present > kBigDataThreshold ? own : ThreadScratch();
  bool rebuild = ctx.Rules.RebuildCalls;
  // The registry gets the name as the hive holds it, not its ANSI form.
  std::u16string wide;
  if (rebuild) {
    wide.resize(kValueNameBuffer);
    wide.resize(NameUnits(vk.Name(), vk.NameLength(), vk.NameAvail(), vk.AsciiName(), wide.data(), wide.size()));
  }
  const uint32_t type = vk.DataType();
  const uint8_t* bytes = data.Bytes;
  const uint32_t n = bytes != nullptr ? data.Present : 0;

  switch (type) {
    case 1:
    case 2: {
      s.line.assign("\"").append(name).append("\"=\"");
      size_t units = AppendUtf16(s.line, bytes, n, s.units);
      if (rebuild) {
        CountRegSetValue(ctx);
        // The text up to its first NUL, stored with one NUL, in UTF-16 as read.
        s.bytes.resize(2 * units + 2);
        for (size_t i = 0; i < units; ++i) {
          s.bytes[2 * i] = static_cast<uint8_t>(s.units[i]);
          s.bytes[2 * i + 1] = static_cast<uint8_t>(s.units[i] >> 8);
        }
        s.bytes[2 * units] = s.bytes[2 * units + 1] = 0;
        RebuildSetValueW(ctx, handle, wide.c_str(), type, s.bytes.data(), static_cast<uint32_t>(s.bytes.size()));
      }
      s.line.push_back('"');
      if (ctx.Rules.RepairOnlyFixes)
        DataLengthRepair(ctx, s.line, data.DbCell, vk, static_cast<uint32_t>(2 * units), bytes, data.Capacity);
      LogFile(ctx, s.line);
      return;
    }
    case 7: {
      s.line.assign("\"").append(name).append("\"=");
      // Each string advances past its terminator, at least two bytes, so the
      // loop ends; the data's final terminator is the two bytes it leaves.
      int64_t p = 0;
      while (p < int64_t{n} - 2) {
        s.line.push_back('"');
        size_t units = AppendUtf16(s.line, bytes + p, n - static_cast<uint64_t>(p), s.units);
        s.line.push_back('"');
        p += 2 * static_cast<int64_t>(units) + 2;
      }
      if (ctx.Rules.RepairOnlyFixes)
        DataLengthRepair(ctx, s.line, data.DbCell, vk, static_cast<uint32_t>(p), bytes, data.Capacity);
      LogFile(ctx, s.line);
      if (rebuild) {
        CountRegSetValue(ctx);
        RebuildSetValueW(ctx, handle, wide.c_str(), 7, bytes, n);
      }
      return;
    }
    case 4:
    case 5: {
      // The first four bytes as a little-endian u32, both types alike; a
      // shorter value shows only the bytes it has.
      s.line.assign("\"").append(name).append(type == 4 ? "\"=dword:" : "\"=dword_big_endian:");
      AppendHexPairs(s.line, bytes, std::min<uint32_t>(n, 4), true);
      LogFile(ctx, s.line);
      if (rebuild) {
        CountRegSetValue(ctx);
        RebuildSetValueW(ctx, handle, wide.c_str(), type, bytes, n);
      }
      return;
    }
    default: break;
  }

  const char* tag = HexTag(type);
  if (tag == nullptr) {
    DumpUnknown(ctx, name, data, pathLine, vk, s);
  } else {
    s.prefix.assign("\"");
    AppendEscaped(s.prefix, name);
    s.prefix.append("\"=").append(tag).append(":");
    DumpHexLine(bytes, s.prefix.c_str(), ctx, 0, n, false);
  }
  if (rebuild) {
    CountRegSetValue(ctx);
    RebuildSetValueW(ctx, handle, wide.c_str(), vk.DataType(), bytes, n);
  }
  if (type == 3) {
    ValueData present = data;
    present.Present = n;
    if (EqualsIgnoringCase(name, "LogonTime")) TimeLine(ctx, "LogonTime", present, s);
    if (EqualsIgnoringCase(name, "ShutdownTime")) TimeLine(ctx, "ShutdownTime", present, s);
  }
}

void TidyData(PassState& ctx, const VkCell& vk, const std::string& pathLine, const std::vector<uint8_t>* passed) {
  uint32_t b = StoredLength(vk);
  if (b > kBigDataThreshold && BigDataHive(ctx)) {
    TidyBigData(ctx, vk, pathLine, passed);
    return;
  }
  DataCell cell(HiveImage(ctx), CellPos(vk.DataOffset()));
  if (!cell.Valid()) return;
  AdjustCells(ctx, cell.Pos(), RoundUp8(uint64_t{b} + 4));
  if (RepairMode(ctx) && ZeroCellTail(cell, uint64_t{b} + 4))
    ScanTotals(ctx).Count(RepairCounter::dataPaddingClean);
}

void ValueListStep(PassState& ctx, const NkCell& nk, const std::string& pathLine, int depth, RegHandle handle) {
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  totals.Add(Total::vklistCount);
  totals.Add(Total::AccessCount);
  uint64_t pos = CellPos(nk.vklistOffset());
  if (CheckCell(nk.Pos(), ctx, true, 0, pos, kSigVm) != kCellOk) {
    Report<FindingKind::kVklistCellsAssertError>(ctx, static_cast<uint32_t>(pos));
    Note(ctx, pathLine);
    return;
  }
  OffsetListCell list(image, pos);
  uint64_t count = nk.vklistCount();
  uint64_t used = OffsetListCell::kEntries + 4 * count;
  if (list.Length() < used) {
    Report<FindingKind::kVklistCellsLengthError>(ctx, list.Pos(), list.Pos());
    Note(ctx, pathLine);
    return;
  }
  for (uint32_t i = 0; i < count; ++i) VisitValue(ctx, list, list.Entry(i), pathLine, depth, handle);
  AdjustCells(ctx, list.Pos(), RoundUp8(used));
  if (RepairMode(ctx) && ZeroCellTail(list, used)) totals.Count(RepairCounter::vklistPaddingClean);
}

}  // namespace quelbrix

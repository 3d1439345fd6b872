#include "scan/key_walk.h"

#include <algorithm>
#include <cstring>

#include "core/report_log.h"
#include "core/texts.h"
#include "hive/access_map.h"
#include "hive/check_cell.h"
#include "hive/names.h"
#include "hive/report_finding.h"
#include "platform/text.h"
#include "repair/allocator.h"
#include "scan/security.h"
#include "scan/values.h"

namespace quelbrix {
namespace walk {
namespace {

bool RepairMode(const PassState& ctx) { return ctx.Rules.Repair; }
bool ExtendedRepair(const PassState& ctx) { return ctx.Rules.ExtendedRepair; }

void Note(PassState& ctx, const std::string& text) { LogPane(kBlack, ctx, text); }

// Hex dump of a whole cell, never past the image.
void DumpCell(PassState& ctx, const CellView& cell) {
  DumpHex(cell.Bytes(), ctx, std::min<uint64_t>(cell.Length(), cell.Avail()));
}

// The key's name as UTF-16 units (W), at most kNameUnits.
size_t KeyUnits(const NkCell& nk, char16_t* units) {
  return NameUnits(nk.KeyName(), nk.KeyLength(), nk.KeyNameAvail(), nk.AsciiName(), units, kNameUnits);
}

// "%3d %s" of an order key: its byte length and its upper-cased text.
void OrderKeyLine(PassState& ctx, uint32_t pos, const char16_t* units, size_t n, int byteLength) {
  char16_t upper[kNameUnits];
  for (size_t i = 0; i < n; ++i) upper[i] = platform::UpcaseUnit(units[i]);
  char text[kNameUnits * 4 + 1];
  platform::Utf16ToAnsiBuffer(text, sizeof text, upper, n);
  Report<FindingKind::kNkSubkeyOrderPrevious>(ctx, pos, byteLength, static_cast<const char*>(text));
}

// Re-points an sk reference of a key from one sk cell to another in the
// AccessMap: reference counts and the referrer lists, so that a later move of
// the new sk rewrites this key too.
void RepointSkReference(PassState& ctx, uint32_t nkPos, uint32_t fromSk, uint32_t toSk) {
  MoveSkReferrer(AccessMap(ctx), nkPos, fromSk, toSk);
}

// "<time> <path>", or the path alone without dates, cut to the buffer as
// FormatText cuts.  Returns the length.
size_t FormatPathLine(WalkState& state, const NkCell& nk, char* out) {
  const std::string& path = state.Path;
  size_t at = 0;
  if (state.Ctx->Rules.Dates) {
    std::string_view time = state.Times.Text(nk.TimeStamp());
    std::memcpy(out, time.data(), time.size());
    at = time.size();
    out[at++] = ' ';
  }
  size_t n = std::min(path.size(), kPathBytes - 1 - at);
  std::memcpy(out + at, path.data(), n);
  out[at + n] = '\0';
  return at + n;
}

struct KeyScratch {
  char name[kNameUnits * 4 + 1];
  char16_t units[kNameUnits];
  size_t unitCount = 0;
  char pathLine[kPathBytes];
  char className[kNameUnits * 4 + 1];
  // Rebuild: the name and class as the hive holds them, NUL-terminated.
  char16_t wideName[kNameUnits + 1];
  char16_t wideClass[kNameUnits * 4 + 1];
  const uint8_t* descriptor = nullptr;
  uint32_t descriptorLength = 0;
};

void ClassStep(WalkState& state, KeyFrame& key, const NkCell& nk, KeyScratch& s) {
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  totals.Add(Total::classCount);
  totals.Add(Total::AccessCount);
  uint64_t pos = CellPos(nk.ClassOffset());
  if (CheckCell(key.Pos, ctx, true, 0, pos, kSigCl) != kCellOk) {
    Report<FindingKind::kClassCellsAssertError>(ctx, static_cast<uint32_t>(pos));
    return Note(ctx, s.pathLine);
  }
  DataCell cell(image, pos);
  uint32_t classLength = nk.ClassLength();
  if (cell.Length() < uint64_t{classLength} + 4) {
    Report<FindingKind::kClassCellsLengthError>(ctx, cell.Pos(), cell.Pos());
    return Note(ctx, s.pathLine);
  }
  DecodedName decoded = DecodeName(cell.Ptr(DataCell::kData, 0), classLength, cell.Avail() - DataCell::kData, false,
                                   s.className, sizeof s.className);
  LogFileF(ctx, "className=%s", s.className);
  if (ctx.Rules.RebuildCalls) {
    size_t units = NameUnits(cell.Ptr(DataCell::kData, 0), classLength, cell.Avail() - DataCell::kData, false,
                             s.wideClass, kNameUnits * 4);
    s.wideClass[units] = u'\0';
  }
  if (decoded.ComputedLength != classLength) {
    Report<FindingKind::kClassClassLengthError>(ctx, cell.Pos(), cell.Pos());
    Note(ctx, s.pathLine);
    Note(ctx, s.className);
  }
  if (key.Depth > 0) {
    KeyFrame& parent = state.Stack[static_cast<size_t>(key.Parent)].KeyPart;
    parent.ComputedMaxClass = std::max(parent.ComputedMaxClass, classLength);
    NkCell parentNk(image, parent.Pos);
    if (ExtendedRepair(ctx) && parentNk.MaxClass() < classLength) {
      parentNk.SetMaxClass(classLength);
      totals.Count(RepairCounter::nkMaxClassClean);
    }
  }
  AdjustCells(ctx, cell.Pos(), RoundUp8(6 + uint64_t{classLength}));
  if (RepairMode(ctx) && ZeroTail(cell.Bytes(), 4 + int64_t{classLength}, cell.Length()))
    totals.Count(RepairCounter::classPaddingClean);
}

void SecurityStep(WalkState& state, KeyFrame& key, const NkCell& nk, KeyScratch& s) {
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  if (nk.skOffset() == kNoCell) {
    Report<FindingKind::kNonSkNkCells>(ctx, key.Pos, key.Pos);
    return Note(ctx, s.pathLine);
  }
  totals.Add(Total::skCount);
  totals.Add(Total::AccessCount);
  uint64_t pos = CellPos(nk.skOffset());
  if (CheckCell(key.Pos, ctx, true, 0, pos, kSigSk) != kCellOk) {
    Report<FindingKind::kSkCellsAssertError>(ctx, static_cast<uint32_t>(pos));
    return Note(ctx, s.pathLine);
  }
  SkCell sk(image, pos);
  Shape shape = ShapeOf(sk);
  if (shape == Shape::kWrongSignature) {
    Report<FindingKind::kSkSignatureError>(ctx, sk.Pos(), sk.Pos());
    return Note(ctx, s.pathLine);
  }
  if (shape == Shape::kTooShort) {
    Report<FindingKind::kSkCellsLengthError>(ctx, sk.Pos(), sk.Pos());
    return Note(ctx, s.pathLine);
  }
  if (sk.DescriptorLength() == 0) {
    Report<FindingKind::kSkDescriptorLengthError>(ctx, sk.Pos(), sk.Pos());
    Note(ctx, s.pathLine);
  } else {
    const uint8_t* bytes = sk.Descriptor();
    uint32_t length = sk.DescriptorLength();
    s.descriptor = bytes;
    s.descriptorLength = length;
    DescriptorRecord* record = RegisterDescriptor(ctx, bytes, length, sk.Pos());
    if (record == nullptr) Report<FindingKind::kSecurityDescriptorRegisterError>(ctx, sk.Pos(), sk.Pos());
    if (ctx.Rules.Dates) {
      char line[64] = "sequrity(";
      char* p = PutDecimal(line + 9, static_cast<int>(length));
      p = std::copy_n(")=No.", 5, p);
      p = PutDecimal(p, record ? static_cast<int>(record->Number) : 0);
      LogFile(ctx, std::string_view(line, static_cast<size_t>(p - line)));
    } else
      DumpHexLine(bytes, "sequrity(%d)=", ctx, length, length, false);

    if (key.Depth > 0) {
      const KeyFrame& parent = state.Stack[static_cast<size_t>(key.Parent)].KeyPart;
      NkCell parentNk(image, parent.Pos);
      if (nk.skOffset() == parentNk.skOffset()) {
        totals.Add(Total::skOverRideCount);
      } else if (ctx.Rules.RepairOnlyFixes) {
        SkCell parentSk(image, CellPos(parentNk.skOffset()));
        // Only an sk that the parent's own visit accepted may take over.
        bool parentSound = parentNk.skOffset() != kNoCell && parentSk.Valid() && parentSk.Allocated() &&
                           parentSk.Signature() == kSigSk && parentSk.Descriptor() != nullptr &&
                           CellShadow(AccessMap(ctx), parentSk.Pos()).Kind() == kKindSk;
        if (parentSound && parentSk.DescriptorLength() == length &&
            std::memcmp(parentSk.Descriptor(), bytes, length) == 0) {
          parentSk.SetRefCount(parentSk.RefCount() + 1);
          sk.SetRefCount(sk.RefCount() - 1);
          RepointSkReference(ctx, key.Pos, sk.Pos(), parentSk.Pos());
          nk.SetskOffset(parentNk.skOffset());
          totals.Count(RepairCounter::nkskOffsetClean);
          sk = parentSk;
          s.descriptor = parentSk.Descriptor();
        }
      }
    }
  }
  AdjustCells(ctx, sk.Pos(), RoundUp8(uint64_t{SkCell::kHeaderLength} + sk.DescriptorLength()));
  if (RepairMode(ctx) && ZeroTail(sk.Bytes(), int64_t{SkCell::kHeaderLength} + sk.DescriptorLength(), sk.Length()))
    totals.Count(RepairCounter::skPaddingClean);

  uint64_t prev = CellPos(sk.PrevskOffset());
  if (CheckCell(0, ctx, false, 0, prev, kSigSk) != kCellOk)
    Report<FindingKind::kSkPrivskCellsAssertError>(ctx, static_cast<uint32_t>(prev));
  else if (CellView(image, prev).Signature() != kSigSk)
    Report<FindingKind::kSkPrivskCellsNotSkError>(ctx, static_cast<uint32_t>(prev));
  uint64_t next = CellPos(sk.NextskOffset());
  if (CheckCell(0, ctx, false, 0, next, kSigSk) != kCellOk)
    Report<FindingKind::kSkNextskCellsAssertError>(ctx, static_cast<uint32_t>(next));
  else if (CellView(image, next).Signature() != kSigSk)
    Report<FindingKind::kSkNextskCellsNotSkError>(ctx, static_cast<uint32_t>(next));

  if (ExtendedRepair(ctx) && sk.Unknown() != 0) {
    sk.SetUnknown(0);
    totals.Count(RepairCounter::skUnknownClean);
  }
}

// The nk cell itself: its check, signature and lengths.  False when the
// visit cannot go on; the report names the parent's path.
bool KeyCellStep(WalkState& state, KeyFrame& key) {
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  uint32_t parentPos = key.Parent >= 0 ? state.Stack[static_cast<size_t>(key.Parent)].KeyPart.Pos : 0;
  // Until the name is appended, the path is the parent's.
  const std::string& parentPath = state.Path;
  if (CheckCell(key.IndexPos, ctx, true, parentPos, key.Pos, kSigNk) != kCellOk) {
    Report<FindingKind::kNkCellsAssertError>(ctx, key.Pos);
    Note(ctx, parentPath);
    return false;
  }
  NkCell nk(image, key.Pos);
  Shape shape = ShapeOf(nk);
  if (shape == Shape::kWrongSignature) {
    Report<FindingKind::kNkSignatureError>(ctx, key.Pos, key.Pos);
    Note(ctx, parentPath);
    return false;
  }
  if (shape == Shape::kTooShort) {
    Report<FindingKind::kNkCellsLengthError>(ctx, key.Pos, key.Pos);
    Note(ctx, parentPath);
    return false;
  }
  if (nk.KeyLength() == 0) {
    Report<FindingKind::kNkKeyLengthError1>(ctx, key.Pos, key.Pos);
    LogLine(ctx, parentPath, kBlack);
    DumpCell(ctx, nk);
    return false;
  }
  return true;
}

// The key's name: the path line of the report and the status text, then the
// checks of the name's length.  False when the name is empty.
bool KeyNameStep(WalkState& state, KeyFrame& key, const NkCell& nk, KeyScratch& s) {
  PassState& ctx = *state.Ctx;
  ScanTotals totals(ctx);
  bool ascii = nk.AsciiName();
  totals.Add(Total::KeyNameCounts, ascii ? 1 : 0, 1);
  DecodedName decoded = DecodeName(nk.KeyName(), nk.KeyLength(), nk.KeyNameAvail(), ascii, s.name, sizeof s.name);
  uint32_t nameLength = decoded.ComputedLength;

  if (key.Depth > 0) {
    state.Path.push_back('\\');
    state.Path.append(s.name);
  } else {
    state.Path.assign(s.name);
  }
  if (state.Path.size() >= kPathBytes) state.Path.resize(kPathBytes - 1);
  LogFile(ctx, std::string_view(s.pathLine, FormatPathLine(state, nk, s.pathLine)));
  if (PassOutput* out = ctx.StatusOut()) {
    state.Status.assign(state.Caption).append(" ").append(state.Path);
    // Every 256 keys: the line is painted ten times a second at most.
    if ((++state.KeysNamed & 0xFF) == 0) out->Progress(state.KeysNamed, state.KeyCells);
    out->Status(0, state.Status, state.ShownHead, state.Path);
  }
  if (decoded.Truncated) Report<FindingKind::kNkKeyNameOverflowError>(ctx, key.Pos, key.Pos);

  if (nameLength == 0) {
    Report<FindingKind::kNkKeyLengthError2>(ctx, key.Pos, key.Pos);
    Note(ctx, s.pathLine);
    DumpCell(ctx, nk);
    return false;
  }
  if (nameLength != nk.KeyLength()) {
    Report<FindingKind::kNkKeyLengthError3>(ctx, key.Pos, key.Pos);
    Note(ctx, s.pathLine);
    DumpCell(ctx, nk);
    if (RepairMode(ctx) &&
        (nameLength < nk.KeyLength() ||
         EvenUpUtf16Name(nk.Bytes() + NkCell::kKeyName, nk.KeyLength(), nameLength, nk.Room(NkCell::kKeyName)))) {
      nk.SetKeyLength(static_cast<uint16_t>(nameLength));
      totals.Count(RepairCounter::nkKeyLengthClean);
    }
  }
  totals.SetMax(Total::MaxKeyLength, nameLength);
  s.unitCount = KeyUnits(nk, s.units);
  return true;
}

// The hash of the key's entry in an lf or lh list.
void HashStep(WalkState& state, const KeyFrame& key, const KeyScratch& s) {
  if (key.IndexKind != kSigLf && key.IndexKind != kSigLh) return;
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  std::u16string_view units(s.units, s.unitCount);
  bool lf = key.IndexKind == kSigLf;
  uint32_t computed = lf ? LfNameHint(units) : LhNameHash(units);
  uint32_t stored = image.U32(key.HashSlot);
  if (computed == stored) return;
  if (lf)
    Report<FindingKind::kNkLfHashError>(ctx, key.Pos, computed, stored);
  else
    Report<FindingKind::kNkLhHashError>(ctx, key.Pos, computed, stored);
  Note(ctx, s.pathLine);
  if (RepairMode(ctx)) {
    image.SetU32(key.HashSlot, computed);
    ScanTotals(ctx).Count(lf ? RepairCounter::lfHashClean : RepairCounter::lhHashClean);
  }
}

// A subkey against its parent: the parent offset, the longest name, the
// order among its siblings, and the time stamps of the hive.
void ParentStep(WalkState& state, KeyFrame& key, const NkCell& nk, const KeyScratch& s) {
  PassState& ctx = *state.Ctx;
  HiveImage image(ctx);
  ScanTotals totals(ctx);
  KeyFrame& parent = state.Stack[static_cast<size_t>(key.Parent)].KeyPart;
  NkCell parentNk(image, parent.Pos);
  parent.ComputedSubkeyCount++;
  uint32_t parentOffset = CellOffsetOf(parent.Pos);
  if (nk.ParentOffset() != parentOffset) {
    Report<FindingKind::kNkParentOffsetError>(ctx, key.Pos, parentOffset, nk.ParentOffset());
    Note(ctx, s.pathLine);
    if (ctx.Rules.RepairOnlyFixes) nk.SetParentOffset(parentOffset);
  }
  uint32_t units = static_cast<uint32_t>(s.unitCount);
  parent.ComputedMaxSubkey = std::max(parent.ComputedMaxSubkey, units);
  if (ExtendedRepair(ctx) && parentNk.MaxSubkey() < units) {
    parentNk.SetMaxSubkey(static_cast<uint16_t>(units));
    totals.Count(RepairCounter::nkMaxSubkeyClean);
  }
  if (parent.PrevSibling != 0) {
    char16_t prevUnits[kNameUnits];
    size_t prevCount = KeyUnits(NkCell(image, parent.PrevSibling), prevUnits);
    int order = CompareSiblingOrder(std::u16string_view(prevUnits, prevCount), std::u16string_view(s.units, s.unitCount));
    if (order >= 0) {
      if (order > 0)
        Report<FindingKind::kNkSubkeySequenceError>(ctx, key.Pos, key.Pos);
      else
        Report<FindingKind::kNkSubkeyDuplicateError>(ctx, key.Pos, key.Pos);
      Note(ctx, s.pathLine);
      OrderKeyLine(ctx, parent.PrevSibling, prevUnits, prevCount, static_cast<int>(2 * prevCount));
      Report<FindingKind::kNkSubkeyOrderThis>(ctx, key.Pos, static_cast<int>(nk.KeyLength()),
                                               static_cast<const char*>(s.name));
    }
  }
  parent.PrevSibling = key.Pos;
  uint64_t stamp = nk.TimeStamp();
  uint64_t minTime = totals.Time(Total::MinTime);
  if (minTime == 0 || minTime > stamp) totals.SetTime(Total::MinTime, stamp);
  if (totals.Time(Total::MaxTime) < stamp) totals.SetTime(Total::MaxTime, stamp);
}

// Counts whose list is none, the class length, the spare fields and the
// padding behind the name.
void KeyFieldsStep(WalkState& state, const KeyFrame& key, const NkCell& nk, const KeyScratch& s) {
  PassState& ctx = *state.Ctx;
  ScanTotals totals(ctx);
  struct CountCheck {
    uint32_t count, offset;
    FindingKind finding;
    void (NkCell::*reset)(uint32_t) const;
    RepairCounter counter;
  };
  const CountCheck checks[] = {
      {nk.SubkeyCount(), nk.SubkeyOffset(), FindingKind::kNkSubkeyCountOffsetError, &NkCell::SetSubkeyCount,
       RepairCounter::nkSubkeyCountClean},
      {nk.SubkeyCount1(), nk.SubkeyOffset1(), FindingKind::kNkSubkeyCount1Offset1Error,
       &NkCell::SetSubkeyCount1, RepairCounter::nkSubkeyCount1Clean},
      {nk.vklistCount(), nk.vklistOffset(), FindingKind::kNkValueCountOffsetError, &NkCell::SetvklistCount,
       RepairCounter::nkvklistCountClean},
  };
  for (const CountCheck& c : checks) {
    if (c.count == 0 || c.offset != kNoCell) continue;
    ReportAs(ctx, c.finding, key.Pos, key.Pos);
    Note(ctx, s.pathLine);
    DumpCell(ctx, nk);
    if (RepairMode(ctx)) {
      (nk.*c.reset)(0);
      totals.Count(c.counter);
    }
  }
  if (nk.ClassLength() != 0 && nk.ClassOffset() == kNoCell) {
    Report<FindingKind::kNkClassLengthOffsetError>(ctx, key.Pos, key.Pos);
    Note(ctx, s.pathLine);
    DumpCell(ctx, nk);
    if (RepairMode(ctx)) {
      nk.SetClassLength(0);
      totals.Count(RepairCounter::nkClassCountClean);
    }
  }

  if (ExtendedRepair(ctx) && (nk.Unknown1() != 0 || nk.Unknown2() != 0 || nk.Unknown3() != 0)) {
    nk.SetUnknown1(0);
    nk.SetUnknown2(0);
    nk.SetUnknown3(0);
    totals.Count(RepairCounter::nkUnknownClean);
  }
  AdjustCells(ctx, key.Pos, RoundUp8(82 + uint64_t{nk.KeyLength()}));
  if (RepairMode(ctx) && ZeroTail(nk.Bytes(), 80 + int64_t{nk.KeyLength()}, nk.Length()))
    totals.Count(RepairCounter::nkPaddingClean);
}

// Hive rebuild: the key re-created under its parent's handle.
void RebuildKeyStep(WalkState& state, KeyFrame& key, KeyScratch& s) {
  PassState& ctx = *state.Ctx;
  if (key.Depth == 0) {
    key.Handle = RebuildOpenRoot(ctx);
    return;
  }
  ScanTotals(ctx).Count(RepairCounter::RegCreateKeyExCount);
  RegHandle parentHandle = state.Stack[static_cast<size_t>(key.Parent)].KeyPart.Handle;
  std::copy(s.units, s.units + s.unitCount, s.wideName);
  s.wideName[s.unitCount] = u'\0';
  key.Handle = RebuildCreateKey(ctx, parentHandle, s.wideName, s.wideClass, s.descriptor, s.descriptorLength);
}

// Steps of one key up to its values.  Returns false when the visit ends early.
bool VisitKey(WalkState& state, size_t frameIndex) {
  PassState& ctx = *state.Ctx;
  KeyFrame& key = state.Stack[frameIndex].KeyPart;
  thread_local KeyScratch s;
  s.descriptor = nullptr;
  s.descriptorLength = 0;
  s.className[0] = '\0';
  s.wideClass[0] = u'\0';

  ScanTotals totals(ctx);
  totals.Add(Total::nkCount);
  totals.Add(Total::AccessCount);
  if (!KeyCellStep(state, key)) return false;
  HiveImage image(ctx);
  NkCell nk(image, key.Pos);
  if (!KeyNameStep(state, key, nk, s)) return false;
  HashStep(state, key, s);
  if (key.Depth > 0) ParentStep(state, key, nk, s);
  KeyFieldsStep(state, key, nk, s);
  if (nk.ClassLength() != 0) ClassStep(state, key, nk, s);
  SecurityStep(state, key, nk, s);
  if (ctx.Rules.RebuildCalls) RebuildKeyStep(state, key, s);
  if (nk.vklistCount() > 0) {
    state.PathLine.assign(s.pathLine);
    ValueListStep(ctx, nk, state.PathLine, key.Depth, key.Handle);
  }
  return true;
}

// Steps after the subkeys: the count checks and the handle.
void FinishKey(WalkState& state, KeyFrame& key) {
  PassState& ctx = *state.Ctx;
  if (key.Descending && !key.SubkeysAborted && !ctx.Aborted()) {
    HiveImage image(ctx);
    ScanTotals totals(ctx);
    NkCell nk(image, key.Pos);
    if (nk.SubkeyCount() != key.ComputedSubkeyCount) {
      Report<FindingKind::kSubkeyCountError>(ctx, key.Pos, static_cast<int>(key.ComputedSubkeyCount),
                                             static_cast<int>(nk.SubkeyCount()));
      char pathLine[kPathBytes];
      FormatPathLine(state, nk, pathLine);
      Note(ctx, pathLine);
      char name[kNameUnits * 4 + 1];
      DecodeName(nk.KeyName(), nk.KeyLength(), nk.KeyNameAvail(), nk.AsciiName(), name, sizeof name);
      Note(ctx, name);
      if (RepairMode(ctx)) {
        nk.SetSubkeyCount(key.ComputedSubkeyCount);
        totals.Count(RepairCounter::nkSubkeyCountClean);
      }
    }
    if (ExtendedRepair(ctx)) {
      if (nk.MaxClass() != key.ComputedMaxClass) {
        nk.SetMaxClass(key.ComputedMaxClass);
        totals.Count(RepairCounter::nkMaxClassClean);
      }
      if (nk.MaxSubkey() != key.ComputedMaxSubkey) {
        nk.SetMaxSubkey(static_cast<uint16_t>(key.ComputedMaxSubkey));
        totals.Count(RepairCounter::nkMaxSubkeyClean);
      }
    }
  }
  if (ctx.Rules.RebuildCalls && key.Handle != 0)
    RebuildCloseKey(ctx, key.Handle, NkCell(HiveImage(ctx), key.Pos).TimeStamp(), key.Depth == 0);
}

}  // namespace
}  // namespace walk

namespace {

// The walk's findings carry the key's path; none outlive the walk.
class WalkPathScope {
 public:
  WalkPathScope(PassState& ctx, const std::string& path) : ctx_(ctx) { ctx_.WalkPath = &path; }
  ~WalkPathScope() { ctx_.WalkPath = nullptr; }
  WalkPathScope(const WalkPathScope&) = delete;
  WalkPathScope& operator=(const WalkPathScope&) = delete;

 private:
  PassState& ctx_;
};

}  // namespace

void WalkKeyTree(PassState& ctx, uint32_t rootOffset, uint32_t keyCells) {
  using namespace walk;
  WalkState state;
  WalkPathScope pathScope(ctx, state.Path);
  state.Ctx = &ctx;
  state.KeyCells = keyCells;
  state.Caption = ctx.CaptionAnsi;
  state.ShownHead = ctx.CaptionShown + " ";
  state.Path.reserve(kPathBytes);
  state.Stack.reserve(64);
  Frame root;
  root.IsKey = true;
  root.KeyPart.Pos = static_cast<uint32_t>(std::min<uint64_t>(CellPos(rootOffset), 0xFFFFFFFFu));
  state.Stack.push_back(root);

  // Ends: a key or index cell is entered only when CheckCell records its
  // first reference (a cell reached twice is refused, so a cycle in the tree
  // is cut), and an index yields no more entries than its cell holds.
  while (!state.Stack.empty()) {
    size_t top = state.Stack.size() - 1;
    if (state.Stack[top].IsKey) {
      KeyFrame& key = state.Stack[top].KeyPart;
      if (!key.Descending) {
        key.ParentPathLength = state.Path.size();
        bool visited = VisitKey(state, top);
        KeyFrame& k = state.Stack[top].KeyPart;
        if (visited && NkCell(HiveImage(ctx), k.Pos).SubkeyCount() > 0) {
          k.Descending = true;
          k.ComputedSubkeyCount = k.ComputedMaxSubkey = k.ComputedMaxClass = 0;
          k.PrevSibling = 0;
          if (ctx.Aborted()) {
            k.SubkeysAborted = true;
          } else {
            Frame index;
            index.IsKey = false;
            index.IndexPart.Pos =
                static_cast<uint32_t>(std::min<uint64_t>(CellPos(NkCell(HiveImage(ctx), k.Pos).SubkeyOffset()), 0xFFFFFFFFu));
            index.IndexPart.OwnerPos = k.Pos;
            index.IndexPart.OwnerKind = kSigNk;
            index.IndexPart.Key = static_cast<int32_t>(top);
            state.Stack.push_back(index);
            continue;
          }
        }
        if (visited) FinishKey(state, state.Stack[top].KeyPart);
      } else {
        FinishKey(state, key);
      }
      state.Path.resize(state.Stack[top].KeyPart.ParentPathLength);
      state.Stack.pop_back();
    } else {
      IndexFrame& index = state.Stack[top].IndexPart;
      if (!index.Entered) {
        index.Entered = true;
        const KeyFrame& owner = state.Stack[static_cast<size_t>(index.Key)].KeyPart;
        if (!EnterIndex(state, index, owner)) {
          state.Stack.pop_back();
          continue;
        }
      }
      if (NextIndexEntry(state, top)) continue;
      IndexFrame done = state.Stack[top].IndexPart;
      if (ctx.Aborted()) state.Stack[static_cast<size_t>(done.Key)].KeyPart.SubkeysAborted = true;
      FinishIndex(state, done);
      state.Stack.pop_back();
    }
  }
}

}  // namespace quelbrix

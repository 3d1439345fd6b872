// Drives the value step of one key on a built hive: the image comes from the
// real Read command, the AccessMap is zeroed and the bins are prepared as the
// scan's bin walk leaves them for the allocator, and the report goes to a
// temporary file.  Also reads a value back through python3-hivex.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/context.h"
#include "hive/access_map.h"
#include "hive/base_block.h"
#include "hive/cells.h"
#include "hive/image.h"
#include "platform/files.h"
#include "scan/values.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"
#include "support/run_process.h"

namespace quelbrix::testing {

inline std::vector<uint8_t> Utf16z(std::u16string_view s, bool terminator = true) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminator) out.insert(out.end(), {0, 0});
  return out;
}

// Text of n bytes (n even): the letters a..z again and again as UTF-16.
inline std::vector<uint8_t> Letters(size_t n) {
  std::vector<uint8_t> out(n, 0);
  for (size_t i = 0; i + 1 < n; i += 2) out[i] = static_cast<uint8_t>('a' + (i / 2) % 26);
  return out;
}

inline std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(1 + (i * 7 + i / 253) % 251);
  return out;
}

class ValueStepRun {
 public:
  explicit ValueStepRun(const std::vector<uint8_t>& image) { loaded = run.Load(image); }
  ~ValueStepRun() { CloseReport(); }

  // A fresh scan of `command`: AccessMap zeroed, bins prepared, report empty.
  void Begin(int32_t command, bool diagnostic = false) {
    HiveContext& ctx = run.ctx;
    ctx.CommandId = command;
    ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
    ctx.DiagnosticMode = diagnostic ? 1 : 0;
    ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
    ctx.Shadow.Clear();
    PrepareBins();
    run.ui.Clear();
    CloseReport();
    report_ = std::tmpfile();
    ctx.ReportFile = report_;
  }

  void Step(uint32_t nkOffset, int depth = 1, const std::string& pathLine = "ROOT\\K") {
    NkCell nk(HiveImage(run.ctx), CellPos(nkOffset));
    ValueListStep(run.ctx, nk, pathLine, depth, 0);
  }

  std::vector<std::string> Report() const {
    std::vector<uint8_t> bytes;
    if (report_ == nullptr) return {};
    std::fflush(report_);
    long end = std::ftell(report_);
    std::rewind(report_);
    bytes.resize(static_cast<size_t>(end));
    size_t got = std::fread(bytes.data(), 1, bytes.size(), report_);
    bytes.resize(got);
    std::fseek(report_, 0, SEEK_END);
    return SplitCrLf(bytes);
  }
  std::vector<PaneLine> Pane() const { return run.ui.Pane(); }
  // Pane lines of one colour, texts only.
  std::vector<std::string> PaneIn(uint32_t colour) const {
    std::vector<std::string> out;
    for (const PaneLine& l : run.ui.Pane())
      if (l.colour == colour) out.push_back(l.text);
    return out;
  }

  ScanTotals Totals() { return ScanTotals(run.ctx); }
  int32_t Counter(RepairCounter c) { return Totals().Counter(c); }
  uint32_t Stat(quelbrix::Total t, uint32_t i = 0) { return Totals().Get(t, i); }
  HiveImage Image() { return HiveImage(run.ctx); }
  CellView Cell(uint32_t cellOffset) { return CellView(HiveImage(run.ctx), CellPos(cellOffset)); }
  VkCell Vk(uint32_t cellOffset) { return VkCell(HiveImage(run.ctx), CellPos(cellOffset)); }
  CellShadow Shadow(uint64_t pos) { return CellShadow(AccessMap(run.ctx), static_cast<uint32_t>(pos)); }

  // The closing fix-up of the repair commands, then the image to `path`.
  bool WriteImage(const std::string& path) {
    ClosingFixup(run.ctx);
    return platform::WriteFileAtomic(path, run.ctx.Image, static_cast<size_t>(run.ctx.FileSize)).Ok();
  }

  HiveRun run;
  bool loaded = false;

 private:
  void CloseReport() {
    run.ctx.ReportFile = nullptr;
    if (report_ != nullptr) std::fclose(report_);
    report_ = nullptr;
  }

  // What the bin walk leaves: bin count, last bin, each bin's predecessor size
  // and the free run that ends it.
  void PrepareBins() {
    HiveImage image(run.ctx);
    AccessMap map(run.ctx);
    ScanTotals totals(map);
    uint64_t end = image.HbinsEnd();
    uint32_t prev = 0;
    for (uint64_t bin = kBaseBlockSize; bin < end;) {
      uint32_t size = image.U32(bin + 8);
      if (size < kBinHeaderSize) break;
      totals.Add(Total::HbinCount);
      totals.Set(Total::LastHbinOffset, static_cast<uint32_t>(bin - kBaseBlockSize));
      BinShadow shadow(map, static_cast<uint32_t>(bin));
      shadow.SetPrevBinSize(prev);
      uint32_t tail = 0;
      for (uint64_t cell = bin + kBinHeaderSize; cell < bin + size;) {
        CellView view(image, cell);
        if (view.Length() == 0) break;
        if (view.Allocated()) {
          tail = 0;
        } else if (tail == 0) {
          tail = static_cast<uint32_t>(cell);
        }
        cell += view.Length();
      }
      shadow.SetFreeTail(tail);
      prev = size;
      bin += size;
    }
  }

  FILE* report_ = nullptr;
};

// Type and data (hex) of value `name` of the key at `path` (components split by
// '\\' below the root), as python3-hivex reads them; "" when it cannot.
inline std::string HivexValue(const std::string& file, const std::string& path, const std::string& name) {
  static const char* kScript =
      "import hivex, sys\n"
      "h = hivex.Hivex(sys.argv[1])\n"
      "node = h.root()\n"
      "for part in [p for p in sys.argv[2].split('\\\\') if p]:\n"
      "    node = h.node_get_child(node, part)\n"
      "v = h.node_get_value(node, sys.argv[3])\n"
      "t, data = h.value_value(v)\n"
      "print('%d %s' % (t, data.hex()))\n";
  ProcessResult r = RunProcess({"/usr/bin/python3", "-c", kScript, file, path, name});
  if (r.status != 0) return "";
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
  return r.out;
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

}  // namespace quelbrix::testing

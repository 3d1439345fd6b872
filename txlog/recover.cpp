#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "hive/bins.h"
#include "hive/bytes.h"
#include "hive/regf.h"
#include "txlog/txlog.h"

namespace quelbrix::txlog {
namespace {

// The AccessMap keeps 32-bit positions: a hive never grows past this.
constexpr uint64_t kMaxHiveBytes = 0x7FFFFFFFu;

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

// A base block of a log: the first sector, checked as Windows checks it.
// Returns "" when sound, else the reason.
std::string CheckLogBaseBlock(const std::vector<uint8_t>& log) {
  if (log.size() < kLogSector) return "cut short: no base block";
  const uint8_t* p = log.data();
  if (LoadU32(p) != kRegfSignature) return "base block signature";
  uint32_t sum = ComputeChecksum(p);
  if (sum != LoadU32(p + regf::kChecksum))
    return Text("base block checksum calculate=0x%08x actual=0x%08x", sum, LoadU32(p + regf::kChecksum));
  uint32_t type = LoadU32(p + regf::kType);
  if (type != kFileTypeOldLog && type != kFileTypeNewLog) return Text("file type %u", type);
  if (LoadU32(p + regf::kPrimarySequence) != LoadU32(p + regf::kSecondarySequence))
    return Text("base block sequence numbers %u/%u differ", LoadU32(p + regf::kPrimarySequence), LoadU32(p + regf::kSecondarySequence));
  return "";
}

bool PrimaryBaseBlockSound(const std::vector<uint8_t>& hive) {
  return hive.size() >= kBaseBlockSize && LoadU32(hive.data()) == kRegfSignature &&
         ComputeChecksum(hive.data()) == LoadU32(hive.data() + regf::kChecksum);
}

struct Page {
  uint32_t Offset, Size;
  size_t Data;  // position in the log
};

struct Entry {
  size_t Pos;
  uint32_t Sequence, HbinsDataSize, PageCount;
  uint64_t Bytes;
};

// One log of the new format: its entries in file order up to the first that
// does not validate (Problem says why; "" when the log simply ends).
struct NewLog {
  const LogInput* Input = nullptr;
  uint32_t BaseSequence = 0;
  std::vector<Entry> Entries;
  std::string Problem;
  size_t ProblemPos = 0;
  uint32_t ProblemSequence = 0;
};

std::string CheckEntry(const std::vector<uint8_t>& log, size_t pos, Entry* e) {
  const uint8_t* p = log.data() + pos;
  size_t left = log.size() - pos;
  uint32_t size = LoadU32(p + entry::kSize);
  if (size < kLogSector || size % kLogSector != 0) return Text("size 0x%08x", size);
  if (size > left) return Text("cut short: size 0x%08x, 0x%08zx bytes left", size, left);
  uint64_t hash2 = Marvin32(p, 32);
  if (hash2 != LoadU64(p + entry::kHash2))
    return Text("hash-2 calculate=0x%016llx actual=0x%016llx", static_cast<unsigned long long>(hash2),
                static_cast<unsigned long long>(LoadU64(p + entry::kHash2)));
  uint64_t hash1 = Marvin32(p + entry::kPageRefs, size - entry::kPageRefs);
  if (hash1 != LoadU64(p + entry::kHash1))
    return Text("hash-1 calculate=0x%016llx actual=0x%016llx", static_cast<unsigned long long>(hash1),
                static_cast<unsigned long long>(LoadU64(p + entry::kHash1)));
  uint32_t hbins = LoadU32(p + entry::kHbinsDataSize);
  if (hbins == 0 || hbins % kPageSize != 0 || hbins > kMaxHiveBytes - kBaseBlockSize)
    return Text("hive bins data size 0x%08x", hbins);
  uint32_t count = LoadU32(p + entry::kPageCount);
  if (uint64_t{count} * 8 > size - entry::kPageRefs) return Text("dirty pages count %u", count);
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t off = LoadU32(p + entry::kPageRefs + 8ull * i), len = LoadU32(p + entry::kPageRefs + 8ull * i + 4);
    if (len == 0 || off % kLogSector != 0 || len % kLogSector != 0 || uint64_t{off} + len > hbins)
      return Text("dirty page offset 0x%08x size 0x%08x", off, len);
    total += len;
  }
  // The pages follow the references without a gap; padding ends the entry.
  if (total > size - entry::kPageRefs - uint64_t{count} * 8) return Text("dirty pages size 0x%llx", (unsigned long long)total);
  e->Pos = pos;
  e->Sequence = LoadU32(p + entry::kSequence);
  e->HbinsDataSize = hbins;
  e->PageCount = count;
  e->Bytes = total;
  return "";
}

void ParseNewLog(NewLog* log) {
  const std::vector<uint8_t>& bytes = log->Input->Bytes;
  log->BaseSequence = LoadU32(bytes.data() + 8);
  size_t pos = kLogSector;
  while (pos + entry::kPageRefs <= bytes.size() && LoadU32(bytes.data() + pos) == entry::kSignature) {
    Entry e;
    std::string problem = CheckEntry(bytes, pos, &e);
    if (!problem.empty()) {
      log->Problem = problem;
      log->ProblemPos = pos;
      log->ProblemSequence = LoadU32(bytes.data() + pos + entry::kSequence);
      return;
    }
    log->Entries.push_back(e);
    pos += LoadU32(bytes.data() + pos + entry::kSize);
  }
  // An "HvLE" whose header does not fit is a log cut short.
  if (pos < bytes.size() && bytes.size() - pos >= 4 && pos + entry::kPageRefs > bytes.size() &&
      LoadU32(bytes.data() + pos) == entry::kSignature) {
    log->Problem = "cut short: entry header";
    log->ProblemPos = pos;
  }
}

void ApplyEntry(std::vector<uint8_t>& hive, const std::vector<uint8_t>& log, const Entry& e) {
  const uint8_t* p = log.data() + e.Pos;
  size_t data = e.Pos + entry::kPageRefs + 8ull * e.PageCount;
  for (uint32_t i = 0; i < e.PageCount; ++i) {
    uint32_t off = LoadU32(p + entry::kPageRefs + 8ull * i), len = LoadU32(p + entry::kPageRefs + 8ull * i + 4);
    std::memcpy(hive.data() + kBaseBlockSize + off, log.data() + data, len);
    data += len;
  }
}

void Sign(std::vector<uint8_t>& hive, uint32_t sequence, uint32_t hbins) {
  uint8_t* p = hive.data();
  StoreU32(p + regf::kPrimarySequence, sequence);
  StoreU32(p + regf::kSecondarySequence, sequence);
  StoreU32(p + regf::kType, kFileTypePrimary);
  StoreU32(p + regf::kHbinsDataSize, hbins);
  StoreU32(p + regf::kChecksum, ComputeChecksum(p));
}

// The hive grows to the bins size the recovered base block declares; like
// the primary file on disk, it never gets shorter (what lies past the bins
// stays the user's bytes).
void Resize(std::vector<uint8_t>& hive, size_t fileSize, uint32_t newHbins) {
  hive.resize(std::max<uint64_t>(fileSize, kBaseBlockSize + uint64_t{newHbins}));
}

class Recovery {
 public:
  Recovery(std::vector<uint8_t>& hive, Outcome& out) : hive_(hive), out_(out) {}

  void Note(bool error, std::string text) { out_.Notes.push_back({error, std::move(text)}); }
  void Refuse(const LogInput& log, const std::string& why, bool spent = false) {
    Note(true, Text("LogFile=%s NotApplied %s", log.Name.c_str(), why.c_str()));
    out_.Notes.back().Spent = spent;
    out_.RefusedLogs.push_back(log.Name);
  }

  // New format: the older log first (by its base block's sequence number),
  // entries in sequence order from the hive's secondary sequence number (the
  // last write that completed), each continuing the last; a bad entry that
  // claims a current sequence number ends the recovery.
  bool ApplyNew(std::vector<NewLog>& logs) {
    std::stable_sort(logs.begin(), logs.end(),
                     [](const NewLog& a, const NewLog& b) { return a.BaseSequence < b.BaseSequence; });
    bool primarySound = PrimaryBaseBlockSound(hive_);
    const NewLog* baseFrom = nullptr;
    if (!primarySound) {
      for (const NewLog& log : logs) {
        if (!log.Entries.empty()) {
          baseFrom = &log;
          break;
        }
      }
      if (baseFrom == nullptr) return false;
    }
    uint32_t expected = baseFrom ? baseFrom->BaseSequence : LoadU32(hive_.data() + 8);
    uint32_t startHbins = baseFrom ? LoadU32(baseFrom->Input->Bytes.data() + regf::kHbinsDataSize) : LoadU32(hive_.data() + regf::kHbinsDataSize);

    struct Run {
      const NewLog* Log;
      size_t First, Count;
    };
    std::vector<Run> runs;
    bool started = false, ended = false;
    for (const NewLog& log : logs) {
      const char* name = log.Input->Name.c_str();
      if (ended) {
        Refuse(*log.Input, "recovery ended at a bad entry of an earlier log");
        continue;
      }
      size_t first = 0, count = 0;
      bool gap = false, remnants = false;
      for (size_t i = 0; i < log.Entries.size(); ++i) {
        const Entry& e = log.Entries[i];
        if (count == 0 && e.Sequence < expected) continue;
        if (count > 0 && e.Sequence < expected) {
          remnants = true;  // entries of an earlier round follow
          break;
        }
        if (started && e.Sequence != expected) {
          Note(true, Text("LogEntry Error LogFile=%s Offset=0x%08zx Sequence=%u sequence number does not continue %u",
                          name, e.Pos, e.Sequence, expected));
          gap = true;
          break;
        }
        if (count == 0) first = i;
        ++count;
        started = true;
        expected = e.Sequence + 1;
      }
      if (!log.Problem.empty() && !gap && !remnants) {
        Note(true, Text("LogEntry Error LogFile=%s Offset=0x%08zx Sequence=%u %s", name, log.ProblemPos,
                        log.ProblemSequence, log.Problem.c_str()));
        // A bad entry that claims an older sequence is a remnant; one that
        // claims the next or a later one ends the recovery, so nothing after
        // it is ever applied.
        if (log.ProblemSequence >= expected) ended = true;
      }
      if (count > 0) {
        runs.push_back({&log, first, count});
        continue;
      }
      if (log.Entries.empty())
        Refuse(*log.Input, "no valid log entry");
      else if (gap)
        Refuse(*log.Input, "sequence number: its entries do not continue the hive's");
      else
        Refuse(*log.Input,
               Text("sequence number: entries %u-%u are older than the hive's %u", log.Entries.front().Sequence,
                    log.Entries.back().Sequence, expected),
               true);
    }
    if (runs.empty() && baseFrom == nullptr) return false;

    // Every page lands inside the hive: size it for the largest bins size any
    // applied entry declares, then settle on the last one's.
    uint32_t maxHbins = startHbins, lastHbins = startHbins, lastSequence = expected;
    for (const Run& r : runs) {
      for (size_t i = r.First; i < r.First + r.Count; ++i) {
        maxHbins = std::max(maxHbins, r.Log->Entries[i].HbinsDataSize);
        lastHbins = r.Log->Entries[i].HbinsDataSize;
        lastSequence = r.Log->Entries[i].Sequence;
      }
    }
    if (baseFrom) {
      std::memcpy(hive_.data(), baseFrom->Input->Bytes.data(), kLogSector);
      Note(false, Text("LogFile=%s BaseBlock restored (the hive's checksum is wrong)", baseFrom->Input->Name.c_str()));
    }
    size_t fileSize = hive_.size();
    if (hive_.size() < kBaseBlockSize + uint64_t{maxHbins}) hive_.resize(kBaseBlockSize + uint64_t{maxHbins});
    for (const Run& r : runs) {
      uint64_t pages = 0, bytes = 0;
      for (size_t i = r.First; i < r.First + r.Count; ++i) {
        ApplyEntry(hive_, r.Log->Input->Bytes, r.Log->Entries[i]);
        pages += r.Log->Entries[i].PageCount;
        bytes += r.Log->Entries[i].Bytes;
      }
      Note(false, Text("LogFile=%s Applied Entries=%zu Sequence=%u-%u DirtyPages=%llu Bytes=%llu",
                       r.Log->Input->Name.c_str(), r.Count, r.Log->Entries[r.First].Sequence,
                       r.Log->Entries[r.First + r.Count - 1].Sequence, static_cast<unsigned long long>(pages),
                       static_cast<unsigned long long>(bytes)));
      out_.AppliedLogs.push_back(r.Log->Input->Name);
    }
    Resize(hive_, fileSize, lastHbins);
    Sign(hive_, lastSequence, lastHbins);
    return true;
  }

  // Old format: the one log whose base block carries the primary's time stamp;
  // its dirty pages go in only when every bin they touch is sound afterwards.
  bool ApplyOld(const LogInput& log) {
    const uint8_t* lb = log.Bytes.data();
    bool primarySound = PrimaryBaseBlockSound(hive_);
    uint64_t stamp = primarySound ? LoadU64(hive_.data() + regf::kTimeStamp)
                                  : (hive_.size() >= kBaseBlockSize + 0x1C ? LoadU64(hive_.data() + kBaseBlockSize + 0x14) : 0);
    if (LoadU64(lb + regf::kTimeStamp) != stamp) {
      Refuse(log, Text("time stamp 0x%016llx differs from the hive's 0x%016llx",
                       static_cast<unsigned long long>(LoadU64(lb + regf::kTimeStamp)), static_cast<unsigned long long>(stamp)));
      return false;
    }
    uint32_t hbins = LoadU32(lb + regf::kHbinsDataSize);
    if (hbins == 0 || hbins % kPageSize != 0 || hbins > kMaxHiveBytes - kBaseBlockSize) {
      Refuse(log, Text("hive bins data size 0x%08x", hbins));
      return false;
    }
    if (log.Bytes.size() < kLogSector + 4 || LoadU32(lb + kLogSector) != kDirtSignature) {
      Refuse(log, "dirty vector signature");
      return false;
    }
    uint64_t bits = hbins / kLogSector, vectorBytes = (bits + 7) / 8;
    uint64_t pagesAt = (kLogSector + 4 + vectorBytes + kLogSector - 1) / kLogSector * kLogSector;
    if (kLogSector + 4 + vectorBytes > log.Bytes.size()) {
      Refuse(log, "cut short: dirty vector");
      return false;
    }
    const uint8_t* vec = lb + kLogSector + 4;
    uint64_t dirty = 0;
    for (uint64_t b = 0; b < bits; ++b) dirty += (vec[b / 8] >> (b % 8)) & 1;
    if (pagesAt + dirty * kLogSector > log.Bytes.size()) {
      Refuse(log, Text("cut short: %llu dirty pages, room for %llu", static_cast<unsigned long long>(dirty),
                       static_cast<unsigned long long>(log.Bytes.size() > pagesAt ? (log.Bytes.size() - pagesAt) / kLogSector : 0)));
      return false;
    }
    std::vector<uint8_t> candidate(hive_);
    if (candidate.size() < kBaseBlockSize + uint64_t{hbins}) candidate.resize(kBaseBlockSize + uint64_t{hbins});
    std::memcpy(candidate.data(), lb, kLogSector);
    uint64_t page = 0;
    for (uint64_t b = 0; b < bits; ++b) {
      if (((vec[b / 8] >> (b % 8)) & 1) == 0) continue;
      std::memcpy(candidate.data() + kBaseBlockSize + b * kLogSector, lb + pagesAt + page * kLogSector, kLogSector);
      ++page;
    }
    std::string bad = CheckDirtyBins(candidate, vec, bits, hbins);
    if (!bad.empty()) {
      Refuse(log, bad);
      return false;
    }
    Resize(candidate, hive_.size(), hbins);
    Sign(candidate, LoadU32(lb + 4), hbins);
    hive_.swap(candidate);
    Note(false, Text("LogFile=%s Applied Sequence=%u DirtyPages=%llu Bytes=%llu", log.Name.c_str(), LoadU32(lb + 4),
                     static_cast<unsigned long long>(dirty), static_cast<unsigned long long>(dirty * kLogSector)));
    out_.AppliedLogs.push_back(log.Name);
    return true;
  }

 private:
  // Every bin that holds a dirty page must have its signature and its own offset.
  static std::string CheckDirtyBins(const std::vector<uint8_t>& hive, const uint8_t* vec, uint64_t bits, uint32_t hbins) {
    // Read only: the view's setters are never called here.
    const HiveImage image(const_cast<uint8_t*>(hive.data()),
                          static_cast<uint32_t>(std::min<size_t>(hive.size(), 0xFFFFFFFFu)));
    uint64_t pos = 0;
    uint64_t b = 0;
    while (pos < hbins) {
      const BinHeader h(image, kBaseBlockSize + pos);
      uint32_t size = h.Size();
      bool sound = h.HasSignature() && h.NamesItself() && size != 0 && size % kPageSize == 0 && pos + size <= hbins;
      uint64_t end = sound ? pos + size : hbins;
      bool touched = false;
      for (; b < bits && b * kLogSector < end; ++b) touched |= ((vec[b / 8] >> (b % 8)) & 1) != 0;
      if (!sound && touched) return Text("dirty hive bin at 0x%08llx is invalid", static_cast<unsigned long long>(pos));
      if (!sound) break;
      pos = end;
    }
    return "";
  }

  std::vector<uint8_t>& hive_;
  Outcome& out_;
};

}  // namespace

bool IsDirty(const uint8_t* hive, size_t size) {
  if (size < kLogSector) return false;
  return LoadU32(hive + regf::kPrimarySequence) != LoadU32(hive + regf::kSecondarySequence) || ComputeChecksum(hive) != LoadU32(hive + regf::kChecksum);
}

Outcome Recover(std::vector<uint8_t>& hive, const std::vector<LogInput>& logs) {
  Outcome out;
  if (hive.size() < kBaseBlockSize) return out;
  out.ReadPrimary = LoadU32(hive.data() + 4);
  out.ReadSecondary = LoadU32(hive.data() + 8);
  out.Dirty = IsDirty(hive.data(), hive.size());
  Recovery r(hive, out);
  r.Note(false, Text("HiveSequence primary=%u secondary=%u %s", out.ReadPrimary, out.ReadSecondary,
                     out.Dirty ? "Dirty" : "Clean"));

  std::vector<NewLog> newLogs;
  std::vector<const LogInput*> oldLogs;
  for (const LogInput& log : logs) {
    std::string problem = CheckLogBaseBlock(log.Bytes);
    uint32_t type = problem.empty() ? LoadU32(log.Bytes.data() + regf::kType) : 0;
    if (log.Bytes.empty()) {
      r.Note(false, Text("LogFile=%s Size=0", log.Name.c_str()));
      continue;
    }
    r.Note(false, Text("LogFile=%s Size=%zu Format=%s BaseBlockSequence=%u", log.Name.c_str(), log.Bytes.size(),
                       type == kFileTypeNewLog ? "HvLE" : type == kFileTypeOldLog ? "DIRT" : "unknown",
                       problem.empty() ? LoadU32(log.Bytes.data() + 4) : 0));
    if (!problem.empty()) {
      r.Refuse(log, problem);
      continue;
    }
    if (!out.Dirty) {
      r.Note(false, Text("LogFile=%s NotApplied the hive is clean", log.Name.c_str()));
      continue;
    }
    if (type == kFileTypeNewLog) {
      NewLog parsed;
      parsed.Input = &log;
      ParseNewLog(&parsed);
      newLogs.push_back(std::move(parsed));
    } else {
      oldLogs.push_back(&log);
    }
  }
  if (!out.Dirty) return out;
  if (!newLogs.empty()) out.Applied = r.ApplyNew(newLogs);
  for (const LogInput* log : oldLogs) {
    if (out.Applied) {
      r.Refuse(*log, "another log was applied");
      continue;
    }
    out.Applied = r.ApplyOld(*log);
  }
  if (out.Applied)
    r.Note(false, Text("Recovered Sequence=%u HbinsDataSize=0x%08x FileSize=%zu", LoadU32(hive.data() + 4),
                       LoadU32(hive.data() + regf::kHbinsDataSize), hive.size()));
  return out;
}

}  // namespace quelbrix::txlog

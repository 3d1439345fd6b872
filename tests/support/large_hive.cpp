#include "support/large_hive.h"

#include <algorithm>
#include <random>
#include <string>

#include "support/hive_builder.h"

namespace quelbrix::testing {
namespace {

std::vector<uint8_t> Utf16z(const std::string& ascii) {
  std::vector<uint8_t> out;
  out.reserve(2 * ascii.size() + 2);
  for (char c : ascii) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

std::vector<uint8_t> Payload(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> d(n);
  uint32_t x = rng();
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    d[i] = static_cast<uint8_t>(x >> 16);
  }
  return d;
}

// The default descriptor with another owner RID: a distinct descriptor that
// is still well-formed.
std::vector<uint8_t> Descriptor(uint32_t rid) {
  std::vector<uint8_t> d = HiveBuilder::DefaultDescriptor();
  constexpr size_t kOwnerRid = 72 + 12;
  d[kOwnerRid] = static_cast<uint8_t>(rid);
  d[kOwnerRid + 1] = static_cast<uint8_t>(rid >> 8);
  return d;
}

struct Generator {
  explicit Generator(uint32_t minor, uint32_t seed) : rng(seed), builder(Options(minor)), bigData(minor >= 4) {}

  static HiveOptions Options(uint32_t minor) {
    HiveOptions o;
    o.minor = minor;
    o.rootName = "BENCH";
    return o;
  }

  void AddValues(Key key, int count) {
    for (int v = 0; v < count; ++v) {
      uint32_t pick = rng() % 100;
      std::string name = "Value" + std::to_string(v);
      if (pick < 35) {
        uint32_t dword = rng();
        builder.AddValue(key, name, 4, std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&dword),
                                                            reinterpret_cast<uint8_t*>(&dword) + 4));
        bytes += 48;
      } else if (pick < 70) {
        std::string text = "C:\\Program Files\\Bench\\" + std::to_string(rng() % 100000) + "\\item.dll";
        builder.AddValue(key, name, pick < 60 ? 1 : 2, Utf16z(text));
        bytes += 48 + 2 * text.size() + 8;
      } else if (pick < 94) {
        size_t n = 8 + rng() % 600;
        builder.AddValue(key, name, 3, Payload(rng, n));
        bytes += 48 + n + 8;
      } else if (pick < 99) {
        // Long data cells: some a page multiple, most not.
        size_t n = 4100 + rng() % 9000;
        builder.AddValue(key, name, 3, Payload(rng, n));
        bytes += 48 + n + 2048;
      } else {
        size_t n = bigData ? 20000 + rng() % 60000 : 4100 + rng() % 12000;
        builder.AddValue(key, name, 3, Payload(rng, n));
        bytes += 48 + n + (bigData ? 4096 : 2048);
      }
    }
  }

  // Holes, empty bins, stray and oversized cells, as edits leave them.
  void Fragment(Key key) {
    uint32_t pick = rng() % 1000;
    if (pick < 150) {
      uint32_t hole = 8 * (1 + rng() % 40);
      builder.AddHole(hole);
      bytes += hole;
    } else if (pick < 155) {
      builder.AddEmptyBin(4096 * (1 + rng() % 3));
      bytes += 8192;
    } else if (pick < 175) {
      builder.AddRawCell(Payload(rng, 16 + rng() % 200));
      bytes += 120;
    } else if (pick < 190) {
      builder.SetCellLength(builder.NkCell(key), 256, 0);
      bytes += 160;
    }
  }

  // A descriptor for a key; the first uses take every descriptor in turn so
  // that none is left in the ring with no key (a zero reference count).
  Security PickSecurity() {
    if (nextSecurity < securities.size()) return securities[nextSecurity++];
    return securities[rng() % securities.size()];
  }

  void Run(uint64_t target) {
    // Up to 400 descriptors, fewer in a small hive, which has too few keys
    // to use them all.
    uint64_t descriptors = std::min<uint64_t>(400, target / 65536 + 1);
    for (uint32_t i = 0; i < descriptors; ++i) securities.push_back(builder.AddSecurity(Descriptor(545 + i)));
    std::vector<Key> defaultKeys;
    // Keys go three levels deep under top keys until the estimate is reached.
    for (int top = 0; bytes < target; ++top) {
      Key t = builder.AddKey(builder.Root(), "Top" + std::to_string(top));
      builder.SetSecurity(t, PickSecurity());
      // Some wide keys keep their subkeys in lf or li leaves under an ri.
      if (top % 3 == 1) builder.Model(t).index = {IndexKind::kLf, 16, 0};
      if (top % 3 == 2) builder.Model(t).index = {IndexKind::kLi, 12, 0};
      AddValues(t, 2);
      for (int mid = 0; mid < 40 && bytes < target; ++mid) {
        Key m = builder.AddKey(t, "Mid" + std::to_string(mid));
        if (rng() % 4 == 0) {
          builder.SetSecurity(m, PickSecurity());
        } else {
          defaultKeys.push_back(m);
        }
        if (rng() % 10 == 0) builder.SetClass(m, u"BenchClass");
        AddValues(m, static_cast<int>(rng() % 4));
        Fragment(m);
        int leaves = static_cast<int>(rng() % 30);
        for (int leaf = 0; leaf < leaves; ++leaf) {
          Key l = builder.AddKey(m, "Leaf" + std::to_string(leaf) + "_" + std::to_string(rng() % 1000));
          defaultKeys.push_back(l);
          AddValues(l, static_cast<int>(rng() % 7));
          Fragment(l);
          bytes += 120;
        }
        bytes += 200;
      }
    }
    // A small hive may not reach every descriptor: give the rest to keys
    // that still use the default one.
    while (nextSecurity < securities.size() && !defaultKeys.empty()) {
      builder.SetSecurity(defaultKeys.back(), securities[nextSecurity++]);
      defaultKeys.pop_back();
    }
  }

  std::mt19937 rng;
  HiveBuilder builder;
  bool bigData;
  std::vector<Security> securities;
  size_t nextSecurity = 0;
  uint64_t bytes = 0;
};

}  // namespace

std::vector<uint8_t> MakeLargeHive(uint64_t targetBytes, uint32_t minor, uint32_t seed) {
  Generator g(minor, seed);
  g.Run(targetBytes);
  return g.builder.Build();
}

}  // namespace quelbrix::testing

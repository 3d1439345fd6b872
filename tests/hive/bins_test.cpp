// The bin and cell cursors: a sound hive walks to its end through every bin
// and cell; one fault at a time stops the walk there with its own reason.
#include "hive/bins.h"

#include <gtest/gtest.h>

#include <vector>

#include "hive/base_block.h"
#include "support/hive_builder.h"

namespace quelbrix {
namespace {

using testing::HiveBuilder;

// A hive of three bins: the root's, an empty two-page bin, an empty page.
std::vector<uint8_t> ThreeBins() {
  HiveBuilder b;
  b.AddValue(b.AddKey(b.Root(), "Key"), "Value", 4, {1, 0, 0, 0});
  b.EndBin();
  b.AddEmptyBin(2 * kPageSize);
  b.AddEmptyBin();
  return b.Build();
}

struct Walked {
  std::vector<uint64_t> bins;
  uint32_t cells = 0;
  WalkStop stop = WalkStop::kNone;
};

Walked Walk(std::vector<uint8_t>& bytes) {
  HiveImage image(bytes.data(), static_cast<uint32_t>(bytes.size()));
  Walked w;
  BinCursor bins(image, image.HbinsEnd());
  while ((w.stop = bins.Check()) == WalkStop::kNone) {
    w.bins.push_back(bins.Pos());
    uint64_t binEnd = bins.Pos() + bins.Header().Size();
    CellCursor cells = CellCursor::OfBin(image, bins.Pos(), binEnd);
    WalkStop cellStop;
    while ((cellStop = cells.Check()) == WalkStop::kNone) {
      ++w.cells;
      cells.Next();
    }
    if (cellStop != WalkStop::kEnd) {
      w.stop = cellStop;
      break;
    }
    bins.Next();
  }
  return w;
}

TEST(BinCursor, WalksEveryBinOfASoundHiveToTheEnd) {
  std::vector<uint8_t> bytes = ThreeBins();
  Walked w = Walk(bytes);
  EXPECT_EQ(w.stop, WalkStop::kEnd);
  ASSERT_EQ(w.bins.size(), 3u);
  // The bins tile the declared data exactly.
  HiveImage image(bytes.data(), static_cast<uint32_t>(bytes.size()));
  uint64_t sum = 0;
  for (uint64_t bin : w.bins) {
    EXPECT_EQ(bin, kBaseBlockSize + sum);
    sum += BinHeader(image, bin).Size();
  }
  EXPECT_EQ(sum, BaseBlock(image).HbinsDataSize());
  EXPECT_GE(w.cells, 3u + 2u);  // root, key, value and more; one free cell per empty bin
}

TEST(BinCursor, EachFaultStopsTheWalkWithItsReason) {
  const std::vector<uint8_t> sound = ThreeBins();
  HiveImage soundImage(const_cast<uint8_t*>(sound.data()), static_cast<uint32_t>(sound.size()));
  const uint64_t second = kBaseBlockSize + BinHeader(soundImage, kBaseBlockSize).Size();
  struct Fault {
    const char* what;
    uint64_t pos;
    uint32_t value;
    WalkStop stop;
  } faults[] = {
      {"signature", second, 0x6E696269, WalkStop::kBadSignature},
      {"offset", second + 4, 0, WalkStop::kBadOffset},
      {"size zero", second + 8, 0, WalkStop::kBadSize},
      {"size past the end", second + 8, 16 * kPageSize, WalkStop::kBadSize},
      {"cell size zero", second + kBinHeaderSize, 0, WalkStop::kBadSize},
      {"cell size not a multiple of 8", second + kBinHeaderSize, 2 * kPageSize - kBinHeaderSize - 4,
       WalkStop::kBadSize},
      {"cell past its bin", second + kBinHeaderSize, 2 * kPageSize, WalkStop::kBadSize},
  };
  for (const Fault& f : faults) {
    std::vector<uint8_t> bytes = sound;
    HiveImage image(bytes.data(), static_cast<uint32_t>(bytes.size()));
    image.SetU32(f.pos, f.value);
    Walked w = Walk(bytes);
    EXPECT_EQ(w.stop, f.stop) << f.what;
    EXPECT_EQ(w.bins.size(), f.pos - second < kBinHeaderSize ? 1u : 2u) << f.what;
  }
}

}  // namespace
}  // namespace quelbrix

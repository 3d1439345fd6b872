// Name decoding, the lf name hint, the lh name hash and the sibling order.
#include "hive/names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "support/hive_builder.h"
#include "support/hive_fixture.h"

namespace quelbrix {
namespace {

std::u16string Units8(const std::vector<uint8_t>& bytes) {
  char16_t out[64];
  size_t n = NameUnits(bytes.data(), static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(bytes.size()), true,
                       out, 64);
  return std::u16string(out, n);
}

// DecodeName's shortcut for 8-bit ASCII names gives what widening the bytes
// and converting them gives, at every length, stored size, NUL and capacity.
TEST(DecodeName, EightBitNamesDecodeAsTheirWidenedUnits) {
  std::mt19937 random(5);
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> stored(random() % 40);
    for (uint8_t& b : stored) b = static_cast<uint8_t>(random() % 6 == 0 ? random() % 256 : 'a' + random() % 26);
    if (!stored.empty() && random() % 5 == 0) stored[random() % stored.size()] = 0;
    uint32_t length = static_cast<uint32_t>(stored.size() + random() % 3);
    uint32_t available = static_cast<uint32_t>(random() % (stored.size() + 1));
    size_t capacity = 1 + random() % 48;
    char got[64], want[64];
    DecodedName d = DecodeName(stored.data(), length, available, true, got, capacity);
    char16_t units[64];
    size_t room = std::min<size_t>(length, 64);
    size_t n = NameUnits(stored.data(), length, available, true, units, room);
    bool cut = false;
    size_t ansi = platform::Utf16ToAnsiBuffer(want, capacity, units, n, &cut);
    ASSERT_EQ(d.ComputedLength, n) << round;
    ASSERT_EQ(d.AnsiLength, ansi) << round;
    ASSERT_EQ(d.Truncated, cut) << round;
    ASSERT_STREQ(got, want) << round;
  }
}

TEST(LhNameHash, FoldsLettersAndMatchesKnownHashes) {
  EXPECT_EQ(LhNameHash(u"abc"), 0x00016566u);
  EXPECT_EQ(LhNameHash(u"ABC"), 0x00016566u);
  EXPECT_EQ(LhNameHash(u"Software"), 0xE9FE1463u);
  EXPECT_EQ(LhNameHash(u""), 0u);
  // 8-bit names: each byte is one unit; only its letter folds.
  EXPECT_EQ(LhNameHash(Units8({0x83, 0x77})), 0x00001346u);
  EXPECT_EQ(LhNameHash(Units8({0xE1})), 0x000000C1u);
  // UTF-16 names are upper-cased unit by unit, beyond ASCII too.
  EXPECT_EQ(LhNameHash(u"\u0436\u0443\u043a"), 0x001676CFu);
  EXPECT_EQ(LhNameHash(u"\u0436\u0443\u043a"), LhNameHash(u"\u0416\u0423\u041a"));
}

TEST(LfNameHint, KeepsTheFirstFourByteUnitsAsStored) {
  EXPECT_EQ(LfNameHint(u"Software"), 0x74666F53u);
  EXPECT_EQ(LfNameHint(u"ab"), 0x00006261u);
  EXPECT_EQ(LfNameHint(u"a\u3042b"), 0x00620000u);
  EXPECT_EQ(LfNameHint(u"\u3042bcd"), 0x64636200u);
  EXPECT_EQ(LfNameHint(u"abcd\u3042"), 0x64636261u);  // a fifth unit plays no part
  EXPECT_EQ(LfNameHint(u"caf\u00e9"), 0xE9666163u);   // Latin-1 bytes of 8-bit names stay
  EXPECT_EQ(LfNameHint(u""), 0u);
}

TEST(SiblingOrder, FoldsAsciiLettersAndSortsPrefixesFirst) {
  EXPECT_EQ(CompareSiblingOrder(u"aB", u"Ab"), 0);
  EXPECT_LT(CompareSiblingOrder(u"AB", u"Ab_"), 0);
  EXPECT_GT(CompareSiblingOrder(u"b", u"A"), 0);
  EXPECT_LT(CompareSiblingOrder(u"A", u"b"), 0);
  // '_' (0x5F) sorts after the upper-case letters it is compared with.
  EXPECT_GT(CompareSiblingOrder(u"A_", u"AZ"), 0);
  EXPECT_LT(CompareSiblingOrder(u"", u"a"), 0);
}

TEST(DecodeName, EightBitNamesAreLatin1InTheAnsiCodePage) {
  const uint8_t cafe[] = {'c', 'a', 'f', 0xE9};
  char text[kKeyNameBuffer];
  {
    testing::CodePageScope cp(932);
    DecodedName d = DecodeName(cafe, 4, 4, true, text, sizeof text);
    EXPECT_EQ(d.ComputedLength, 4u);
    EXPECT_STREQ(text, "caf?");
    EXPECT_FALSE(d.Truncated);
  }
  {
    testing::CodePageScope cp(65001);
    DecodedName d = DecodeName(cafe, 4, 4, true, text, sizeof text);
    EXPECT_EQ(d.ComputedLength, 4u);
    EXPECT_STREQ(text, "caf\xC3\xA9");
    EXPECT_EQ(d.AnsiLength, 5u);
  }
}

TEST(DecodeName, ComputedLengthStopsAtTheFirstNul) {
  char text[kKeyNameBuffer];
  const uint8_t eight[] = {'a', 'b', 0, 'c'};
  EXPECT_EQ(DecodeName(eight, 4, 4, true, text, sizeof text).ComputedLength, 2u);
  EXPECT_STREQ(text, "ab");
  const uint8_t wide[] = {'a', 0, 0, 0, 'c', 0};
  EXPECT_EQ(DecodeName(wide, 6, 6, false, text, sizeof text).ComputedLength, 2u);
  EXPECT_STREQ(text, "a");
  // A name running out of the image is read as far as the image goes.
  const uint8_t shortName[] = {'x', 'y'};
  EXPECT_EQ(DecodeName(shortName, 200, 2, true, text, sizeof text).ComputedLength, 2u);
  // Odd UTF-16 lengths: the NUL appended after the stored bytes gives the last
  // byte its high byte; the byte that follows in the image plays no part.
  const uint8_t odd[] = {'A', 0, 'B', 0x30, 0, 0};
  EXPECT_EQ(DecodeName(odd, 3, 6, false, text, sizeof text).ComputedLength, 4u);
  EXPECT_STREQ(text, "AB");
  EXPECT_EQ(DecodeName(odd, 1, 6, false, text, sizeof text).ComputedLength, 2u);
  EXPECT_STREQ(text, "A");
  const uint8_t oddNul[] = {'A', 0, 0, 'B'};
  EXPECT_EQ(DecodeName(oddNul, 3, 4, false, text, sizeof text).ComputedLength, 2u);
  EXPECT_STREQ(text, "A");
}

// The engine's hash and order against values worked out without it.
TEST(NameRules, AgreeWithTheHandWorkedNonAsciiNames) {
  std::vector<std::u16string> byEngine, byHand;
  for (const testing::NameFact& f : testing::NameFacts()) {
    EXPECT_EQ(LhNameHash(f.name), f.lhHash) << "row " << byEngine.size();
    byEngine.emplace_back(f.name);
  }
  byHand = byEngine;
  std::stable_sort(byEngine.begin(), byEngine.end(),
                   [](const std::u16string& a, const std::u16string& b) { return CompareSiblingOrder(a, b) < 0; });
  std::stable_sort(byHand.begin(), byHand.end(), [](const std::u16string& a, const std::u16string& b) {
    return testing::BuilderOrderKey(a) < testing::BuilderOrderKey(b);
  });
  EXPECT_EQ(byEngine, byHand);
}

TEST(DecodeName, NamesTooLongForTheirBufferAreCutAndFlagged) {
  testing::CodePageScope cp(932);
  // The buffer is followed by guard bytes that must stay untouched.
  struct {
    char text[kKeyNameBuffer];
    char guard[64];
  } out;
  std::memset(out.guard, 0x5A, sizeof out.guard);

  std::vector<uint8_t> eight(300, 'k');
  DecodedName d = DecodeName(eight.data(), 300, 300, true, out.text, sizeof out.text);
  EXPECT_TRUE(d.Truncated);
  EXPECT_EQ(d.ComputedLength, 300u);
  EXPECT_EQ(d.AnsiLength, 255u);
  EXPECT_EQ(out.text[255], '\0');

  // 200 hiragana: 400 bytes in code page 932, cut before a split character.
  std::vector<uint8_t> wide;
  for (int i = 0; i < 200; ++i) wide.insert(wide.end(), {0x42, 0x30});
  d = DecodeName(wide.data(), 400, 400, false, out.text, sizeof out.text);
  EXPECT_TRUE(d.Truncated);
  EXPECT_EQ(d.ComputedLength, 400u);
  EXPECT_EQ(d.AnsiLength, 254u);
  EXPECT_EQ(std::strlen(out.text), 254u);
  EXPECT_EQ(static_cast<uint8_t>(out.text[252]), 0x82);
  EXPECT_EQ(static_cast<uint8_t>(out.text[253]), 0xA0);
  for (char g : out.guard) ASSERT_EQ(g, 0x5A);
}

}  // namespace
}  // namespace quelbrix

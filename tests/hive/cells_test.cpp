// Cell records: kind codes and names, the needed lengths per kind, and the
// views' guarantee that no field access leaves the image.
#include "hive/cells.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hive_builder.h"

namespace quelbrix {
namespace {

TEST(KindCode, EverySignatureHasItsCodeAndName) {
  struct Row {
    uint16_t sig;
    uint8_t code;
    const char* name;
  };
  const Row rows[] = {{kSigDl, 0, "dl"}, {kSigVk, 1, "vk"}, {kSigLf, 2, "lf"}, {kSigVm, 3, "vm"},
                      {kSigLh, 4, "lh"}, {kSigLi, 5, "li"}, {kSigDb, 6, "db"}, {kSigDd, 8, "dd"},
                      {kSigNk, 9, "nk"}, {kSigVd, 10, "vd"}, {kSigRi, 11, "ri"}, {kSigSk, 14, "sk"},
                      {kSigCl, 15, "cl"}};
  for (const Row& r : rows) {
    EXPECT_EQ(KindCode(r.sig), r.code) << r.name;
    EXPECT_STREQ(KindName(r.code), r.name);
    // The name of a code spells the signature it came from.
    EXPECT_EQ(r.sig, static_cast<uint16_t>(r.name[0] | r.name[1] << 8));
  }
  EXPECT_STREQ(KindName(7), "u7");
  EXPECT_STREQ(KindName(12), "uc");
  EXPECT_STREQ(KindName(13), "ud");
}

TEST(NeedsFor, MinimumPaddingAndTrimPerKind) {
  auto needs = [](uint8_t kind, uint64_t n) {
    CellNeeds c = NeedsFor(kind, n);
    return std::vector<uint64_t>{c.Minimum, c.PaddingStart, c.Trim};
  };
  using V = std::vector<uint64_t>;
  EXPECT_EQ(needs(kKindNk, 6), (V{86, 86, 88}));
  EXPECT_EQ(needs(kKindNk, 8), (V{88, 88, 96}));  // the trim keeps two spare bytes
  EXPECT_EQ(needs(kKindVk, 5), (V{29, 29, 32}));
  EXPECT_EQ(needs(kKindSk, 100), (V{124, 124, 128}));
  EXPECT_EQ(needs(kKindLh, 3), (V{32, 32, 32}));
  EXPECT_EQ(needs(kKindLf, 0), (V{8, 8, 8}));
  EXPECT_EQ(needs(kKindLi, 3), (V{20, 20, 24}));
  EXPECT_EQ(needs(kKindRi, 2), (V{16, 16, 16}));
  EXPECT_EQ(needs(kKindVm, 3), (V{16, 16, 16}));
  EXPECT_EQ(needs(kKindDl, 3), (V{16, 16, 16}));
  EXPECT_EQ(needs(kKindCl, 14), (V{18, 18, 24}));
  EXPECT_EQ(needs(kKindVd, 6), (V{10, 10, 16}));
  EXPECT_EQ(needs(kKindDb, 99), (V{16, 16, 16}));
  EXPECT_EQ(needs(kKindDd, 16344).at(0), 16348u);
  EXPECT_EQ(needs(kKindDd, 1).at(0), 5u);
  // A damaged length field of any size stays exact in 64 bits.
  EXPECT_EQ(needs(kKindLh, 0xFFFFFFFFull).at(0), 8 + 8 * 0xFFFFFFFFull);
}

TEST(CellViews, ReadTheBuilderCellsAndNeverLeaveTheImage) {
  testing::HiveBuilder b;
  testing::Key k = b.AddKey(b.Root(), "Key");
  b.SetClass(k, u"Cls");
  std::vector<uint8_t> bytes = b.Build();
  HiveImage image(bytes.data(), static_cast<uint32_t>(bytes.size()));
  NkCell nk(CellView::AtOffset(image, b.Offset(b.NkCell(k))));
  ASSERT_TRUE(nk.Valid());
  EXPECT_EQ(nk.Signature(), kSigNk);
  EXPECT_TRUE(nk.AsciiName());
  EXPECT_EQ(nk.KeyLength(), 3);
  EXPECT_EQ(nk.ClassLength(), 6);
  EXPECT_EQ(nk.ClassOffset(), b.Offset(b.ClassCell(k)));
  EXPECT_EQ(nk.Length(), 88u);
  EXPECT_TRUE(nk.Allocated());

  // A view whose fields run past the end of the image reads zeros and drops
  // writes; one whose size word is outside is invalid.
  uint32_t last = image.Size() - 8;
  NkCell edge(image, last);
  ASSERT_TRUE(edge.Valid());
  EXPECT_EQ(edge.SubkeyCount(), 0u);
  edge.SetSubkeyCount(7);
  edge.SetTimeStamp(~0ull);
  EXPECT_EQ(edge.Avail(), 8u);
  EXPECT_EQ(edge.Ptr(4, 5), nullptr);
  EXPECT_FALSE(CellView(image, image.Size() - 3).Valid());
  EXPECT_FALSE(CellView::AtOffset(image, 0xFFFFFFFFu).Valid());
  CellView sizeMin(image, kFirstCellPos);
  sizeMin.SetSize(INT32_MIN);
  EXPECT_EQ(sizeMin.Length(), 0x80000000u);
}

}  // namespace
}  // namespace quelbrix

// The report stream written on a thread of its own, and the large zeroed
// blocks the image lives in.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hive/bytes.h"
#include "platform/memory.h"
#include "platform/streamed_file.h"
#include "support/hive_fixture.h"

namespace quelbrix::platform {
namespace {

// Many small and some large writes through a small stdio buffer arrive whole
// and in order, as a plain stream would write them.
TEST(StreamedFile, WritesWhatAPlainStreamWrites) {
  quelbrix::testing::TempDir dir;
  std::string path = dir.File("report.txt");
  FILE* f = OpenStreamedFile(path);
  ASSERT_NE(f, nullptr);
  std::setvbuf(f, nullptr, _IOFBF, 4096);
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    std::string line = "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 7 == 0 ? 9000 : i % 50), 'x');
    ASSERT_EQ(std::fwrite(line.data(), 1, line.size(), f), line.size());
    expected += line;
  }
  ASSERT_EQ(std::fclose(f), 0);
  std::vector<uint8_t> got = quelbrix::testing::ReadBytes(path);
  EXPECT_TRUE(std::string(got.begin(), got.end()) == expected);
}

// A write that fails on the writer's thread still fails the stream: at the
// latest its fclose, with the write's own errno.
TEST(StreamedFile, AWriteFailureReachesTheCaller) {
  FILE* f = OpenStreamedFile("/dev/full");
  ASSERT_NE(f, nullptr);
  std::string chunk(1 << 16, 'x');
  for (int i = 0; i < 64; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
  errno = 0;
  EXPECT_NE(std::fclose(f), 0);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(OpenStreamedFile("/nonexistent-folder/report.txt"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST(AllocateZeroed, GivesZeroedWritableBlocksOfAnySize) {
  for (size_t size : {size_t{1}, size_t{4096}, size_t{(2 << 20) + 1}, size_t{9} << 20}) {
    uint8_t* p = AllocateZeroed(size);
    ASSERT_NE(p, nullptr) << size;
    EXPECT_TRUE(AllZero(p, size));
    p[0] = 1;
    p[size - 1] = 2;
    EXPECT_FALSE(AllZero(p, size));
    FreeZeroed(p, size);
    // The owning table reads zero from its first to its last byte, too.
    ZeroedBytes table(size);
    ASSERT_EQ(table.size(), size);
    EXPECT_TRUE(table[0] == 0 && table[size / 2] == 0 && table[size - 1] == 0);
    table[size - 1] = 3;
    EXPECT_EQ(table[size - 1], 3);
  }
  EXPECT_EQ(AllocateZeroed(0), nullptr);
}

TEST(AllZero, FindsANonZeroByteAnywhere) {
  std::vector<uint8_t> bytes(100, 0);
  EXPECT_TRUE(AllZero(bytes.data(), 0));
  EXPECT_TRUE(AllZero(bytes.data(), bytes.size()));
  for (size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = 0x80;
    EXPECT_FALSE(AllZero(bytes.data(), bytes.size())) << at;
    EXPECT_TRUE(AllZero(bytes.data(), at)) << at;
    bytes[at] = 0;
  }
}

}  // namespace
}  // namespace quelbrix::platform

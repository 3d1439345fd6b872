// The report stream written on a thread of its own, and the large zeroed
// blocks the image lives in.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
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

// Pieces appended straight to the writer, some of them the size of its
// blocks or several blocks long, arrive as they were given, on ext4 (room
// reserved ahead) and, where there is one, on tmpfs (none).
TEST(StreamedFile, AWritersPiecesArriveWholeWhateverTheirSize) {
  quelbrix::testing::TempDir dir;
  for (std::string path : {dir.File("report.txt"), std::string("/dev/shm/quelbrix-streams-test.txt")}) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) continue;
    std::unique_ptr<StreamedWriter> writer = StreamedWriter::Over(fd);
    ASSERT_NE(writer, nullptr);
    std::string expected;
    const size_t sizes[] = {1, StreamedWriter::kBlock - 1, StreamedWriter::kBlock, 3 * StreamedWriter::kBlock + 7, 0, 4093};
    for (int round = 0; round < 12; ++round) {
      for (size_t size : sizes) {
        std::string piece(size, static_cast<char>('a' + expected.size() % 26));
        if (!piece.empty()) piece.back() = '\n';
        writer->Append(piece);
        expected += piece;
      }
    }
    ASSERT_EQ(writer->Close(), 0) << path;
    std::vector<uint8_t> got = quelbrix::testing::ReadBytes(path);
    unlink(path.c_str());
    EXPECT_EQ(got.size(), expected.size()) << path;
    EXPECT_TRUE(std::string(got.begin(), got.end()) == expected) << path;
  }
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
  // Appended straight to the writer: what follows the failure is dropped,
  // and the close says why.
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::unique_ptr<StreamedWriter> writer = StreamedWriter::Over(fd);
  ASSERT_NE(writer, nullptr);
  for (int i = 0; i < 40; ++i) writer->Append(chunk);
  EXPECT_EQ(writer->Close(), ENOSPC);
  EXPECT_EQ(writer->Close(), ENOSPC);
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

// A mapped file reads as its bytes, keeps what the run writes private, and
// when it shrinks under the run, the lost pages read as zeros and say so.
TEST(MapFileInto, ReadsTheFileAndSurvivesItsShrinking) {
  quelbrix::testing::TempDir dir;
  std::string path = dir.File("hive");
  std::vector<uint8_t> bytes(3 * 4096 + 100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251 + 1);
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
  ASSERT_EQ(std::fclose(out), 0);
  const size_t blockSize = 8 * 4096;
  uint8_t* block = AllocateZeroed(blockSize);
  ASSERT_NE(block, nullptr);
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  if (!MapFileInto(block, fd, bytes.size())) {
    close(fd);
    FreeZeroed(block, blockSize);
    GTEST_SKIP() << "this build reads instead of mapping (heap blocks)";
  }
  PopulateMapped(block, 0, bytes.size());
  EXPECT_EQ(std::vector<uint8_t>(block, block + bytes.size()), bytes);
  EXPECT_EQ(block[bytes.size()], 0);          // past the end in its last page
  EXPECT_EQ(block[blockSize - 1], 0);         // past the file's pages
  block[10] = 0xEE;
  uint8_t first = 0;
  ASSERT_EQ(pread(fd, &first, 1, 10), 1);
  EXPECT_EQ(first, bytes[10]);  // the write stayed in memory
  EXPECT_FALSE(MappedFileShrank());

  ASSERT_EQ(ftruncate(fd, 4096), 0);
  close(fd);
  // The toucher's thread is the first to meet the lost pages.
  std::thread([block, n = bytes.size()] { ReadMapped(block, 0, n); }).join();
  EXPECT_TRUE(MappedFileShrank());
  EXPECT_EQ(block[10], 0xEE);
  EXPECT_EQ(block[100], bytes[100]);
  EXPECT_EQ(block[2 * 4096 + 5], 0);  // a lost page: zeros, no SIGBUS
  EXPECT_TRUE(MappedFileShrank());
  FreeZeroed(block, blockSize);
  EXPECT_FALSE(MappedFileShrank());  // the next image starts clean
}

}  // namespace
}  // namespace quelbrix::platform

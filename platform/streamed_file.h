// A long text written front to back, such as a report: the caller appends to
// blocks of memory of its own, and a thread of its own hands each full block
// to the file, so that the kernel's copy into the page cache runs beside the
// caller's work instead of after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quelbrix::platform {

class StreamedWriter {
 public:
  static constexpr size_t kBlock = 1u << 20;

  // Over a file open for writing, which it owns from here on; nullptr, and
  // the file left open for the caller, when no thread or memory can be had.
  static std::unique_ptr<StreamedWriter> Over(int fd);
  ~StreamedWriter();
  StreamedWriter(const StreamedWriter&) = delete;
  StreamedWriter& operator=(const StreamedWriter&) = delete;

  // After a write failed, appended bytes are dropped: Close says so.
  void Append(std::string_view bytes) {
    if (bytes.size() <= static_cast<size_t>(end_ - at_)) {
      if (!bytes.empty()) std::memcpy(at_, bytes.data(), bytes.size());
      at_ += bytes.size();
      return;
    }
    AppendSlow(bytes);
  }
  // The first write error so far (an errno), 0 for none.
  int Error() const { return error_.load(); }
  // Hands on what is left, waits for the thread and closes the file: 0, or
  // the first error of a write or of the close.  Once only.
  int Close();

 private:
  struct FreeBlock {
    void operator()(char* p) const;
  };
  using Block = std::unique_ptr<char, FreeBlock>;
  static Block NewBlock();

  StreamedWriter(int fd, Block first);
  size_t Used() const { return kBlock - static_cast<size_t>(end_ - at_); }
  void AppendSlow(std::string_view bytes);
  // Queues the current block and takes an empty one.
  void HandOn();
  void WriterLoop();
  // Room in the file for the next `size` bytes and some way past them.
  void Reserve(size_t size);
  int WriteAll(const char* data, size_t size) const;

  const int fd_;
  Block current_;
  char* at_;
  char* end_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<Block, size_t>> queue_;
  std::vector<Block> spare_;
  std::atomic<int> error_{0};
  bool closing_ = false;
  bool closed_ = false;
  int closeResult_ = 0;
  // The writer's own: bytes written, and the file's length reserved.
  size_t written_ = 0;
  size_t reserved_ = 0;
  bool reserving_ = true;
  bool reserveTried_ = false;
  std::thread writer_;  // last: it starts with everything above in place
};

// Opens path for writing as fopen(path, "wb") does (nullptr and errno when
// it cannot).  Every write error comes back as fopen's would: the next
// write, fflush or fclose fails with errno set to the write's own error.
// fclose returns only after the last byte has been handed to the kernel.
FILE* OpenStreamedFile(const std::string& path);
// The same over a file already open for writing (from CreateBeside); the
// stream owns `fd` from here on, also when it cannot be made.
FILE* OpenStreamedFile(int fd);

}  // namespace quelbrix::platform

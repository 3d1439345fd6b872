#include "platform/streamed_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace quelbrix::platform {
namespace {

// Chunks waiting for the writer; the caller waits beyond this, which bounds
// the memory a fast producer can take.
constexpr size_t kMaxQueued = 8;

class StreamedFile {
 public:
  explicit StreamedFile(int fd) : fd_(fd), writer_([this] { WriterLoop(); }) {}

  // stdio's write: queues a copy of the bytes.  0 (with errno) after any
  // earlier write failed, which makes stdio set the stream's error flag.
  ssize_t Write(const char* data, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return error_ != 0 || queue_.size() < kMaxQueued; });
    if (error_ != 0) {
      errno = error_;
      return 0;
    }
    std::vector<char> chunk;
    if (!spare_.empty()) {
      chunk = std::move(spare_.back());
      spare_.pop_back();
    }
    chunk.assign(data, data + size);
    queue_.push_back(std::move(chunk));
    changed_.notify_all();
    return static_cast<ssize_t>(size);
  }

  // Waits for the writer and closes the file: 0, or -1 with errno.
  int Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    writer_.join();
    int error = error_;
    if (close(fd_) != 0 && error == 0) error = errno;
    if (error == 0) return 0;
    errno = error;
    return -1;
  }

 private:
  void WriterLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::vector<char> chunk = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      int error = WriteAll(chunk);
      lock.lock();
      if (error != 0 && error_ == 0) error_ = error;
      if (error_ != 0) queue_.clear();
      spare_.push_back(std::move(chunk));
      changed_.notify_all();
    }
  }

  int WriteAll(const std::vector<char>& chunk) const {
    size_t done = 0;
    while (done < chunk.size()) {
      ssize_t n = write(fd_, chunk.data() + done, chunk.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return EIO;
      done += static_cast<size_t>(n);
    }
    return 0;
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<char>> queue_;
  std::vector<std::vector<char>> spare_;
  int error_ = 0;
  bool closing_ = false;
  std::thread writer_;  // last: it starts with everything above in place
};

ssize_t CookieWrite(void* cookie, const char* data, size_t size) {
  return static_cast<StreamedFile*>(cookie)->Write(data, size);
}

int CookieClose(void* cookie) {
  auto* file = static_cast<StreamedFile*>(cookie);
  int result = file->Close();
  int error = errno;
  delete file;
  errno = error;
  return result;
}

}  // namespace

FILE* OpenStreamedFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return OpenStreamedFile(fd);
}

FILE* OpenStreamedFile(int fd) {
  StreamedFile* file = nullptr;
  try {
    file = new StreamedFile(fd);
  } catch (...) {
    // No thread to be had: the plain stream does the same work.
    FILE* plain = fdopen(fd, "wb");
    if (plain == nullptr) close(fd);
    return plain;
  }
  cookie_io_functions_t functions{nullptr, CookieWrite, nullptr, CookieClose};
  FILE* stream = fopencookie(file, "wb", functions);
  if (stream == nullptr) {
    int error = errno;
    file->Close();
    delete file;
    errno = error;
  }
  return stream;
}

}  // namespace quelbrix::platform

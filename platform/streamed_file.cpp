#include "platform/streamed_file.h"

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>

namespace quelbrix::platform {
namespace {

// Blocks waiting for the writer; the caller waits beyond this, which bounds
// the memory a fast producer can take.
constexpr size_t kMaxQueued = 8;
constexpr std::align_val_t kBlockAlign{4096};
// Once a text is this long its file on ext4 is given room ahead in steps of
// kReserveStep: the file system, which allocates late, then takes the pages
// written into that room without reserving blocks for each one, which was a
// fifth of the kernel's time on a report of 300 MB.
constexpr size_t kReserveAfter = 16u << 20;
constexpr size_t kReserveStep = 64u << 20;
constexpr decltype(statfs::f_type) kExt4Magic = 0xEF53;

}  // namespace

void StreamedWriter::FreeBlock::operator()(char* p) const { ::operator delete(p, kBlockAlign); }

StreamedWriter::Block StreamedWriter::NewBlock() {
  return Block(static_cast<char*>(::operator new(kBlock, kBlockAlign, std::nothrow)));
}

std::unique_ptr<StreamedWriter> StreamedWriter::Over(int fd) {
  Block first = NewBlock();
  if (!first) return nullptr;
  try {
    return std::unique_ptr<StreamedWriter>(new StreamedWriter(fd, std::move(first)));
  } catch (const std::system_error&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

StreamedWriter::StreamedWriter(int fd, Block first)
    : fd_(fd), current_(std::move(first)), at_(current_.get()), end_(at_ + kBlock), writer_([this] { WriterLoop(); }) {}

StreamedWriter::~StreamedWriter() { (void)Close(); }

void StreamedWriter::AppendSlow(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t n = std::min(bytes.size(), static_cast<size_t>(end_ - at_));
    std::memcpy(at_, bytes.data(), n);
    at_ += n;
    bytes.remove_prefix(n);
    if (at_ == end_) HandOn();
  }
}

void StreamedWriter::HandOn() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return error_ != 0 || queue_.size() < kMaxQueued; });
  if (error_ != 0) {
    // Nothing more reaches the file: the block is filled again and dropped.
    at_ = current_.get();
    return;
  }
  queue_.emplace_back(std::move(current_), Used());
  changed_.notify_all();
  if (spare_.empty()) {
    lock.unlock();
    current_ = NewBlock();
    lock.lock();
  }
  // Out of memory: the writer gives a block back once it has written one.
  if (!current_) changed_.wait(lock, [this] { return !spare_.empty(); });
  if (!current_) {
    current_ = std::move(spare_.back());
    spare_.pop_back();
  }
  at_ = current_.get();
  end_ = at_ + kBlock;
}

int StreamedWriter::Close() {
  if (closed_) return closeResult_;
  closed_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_ == 0 && at_ != current_.get())
      queue_.emplace_back(std::move(current_), Used());
    closing_ = true;
  }
  changed_.notify_all();
  writer_.join();
  int error = error_;
  // The room reserved past the text goes again, also what a call that
  // failed part of the way may have left.
  if (reserveTried_ && ftruncate(fd_, static_cast<off_t>(written_)) != 0 && error == 0) error = errno;
  if (close(fd_) != 0 && error == 0) error = errno;
  closeResult_ = error;
  return error;
}

void StreamedWriter::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    auto [block, size] = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    Reserve(size);
    const int error = WriteAll(block.get(), size);
    written_ += size;
    lock.lock();
    if (error != 0 && error_ == 0) error_ = error;
    spare_.push_back(std::move(block));
    if (error_ != 0) {
      for (auto& queued : queue_) spare_.push_back(std::move(queued.first));
      queue_.clear();
    }
    changed_.notify_all();
  }
}

void StreamedWriter::Reserve(size_t size) {
  if (!reserving_ || written_ < kReserveAfter || written_ + size <= reserved_) return;
  if (!reserveTried_) {
    // Only where it was measured to help: another file system might make
    // the room by writing zeros first.
    struct statfs fs {};
    if (fstatfs(fd_, &fs) != 0 || fs.f_type != kExt4Magic) {
      reserving_ = false;
      return;
    }
  }
  const size_t to = written_ + size + kReserveStep;
  reserveTried_ = true;
  // A file system without it, or without the room: the writes alone decide.
  if (fallocate(fd_, 0, static_cast<off_t>(written_), static_cast<off_t>(to - written_)) == 0)
    reserved_ = to;
  else
    reserving_ = false;
}

int StreamedWriter::WriteAll(const char* data, size_t size) const {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd_, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

namespace {

// stdio's write: 0 (with errno) after any earlier write failed, which makes
// stdio set the stream's error flag.
ssize_t CookieWrite(void* cookie, const char* data, size_t size) {
  auto* writer = static_cast<StreamedWriter*>(cookie);
  if (int error = writer->Error(); error != 0) {
    errno = error;
    return 0;
  }
  writer->Append(std::string_view(data, size));
  return static_cast<ssize_t>(size);
}

int CookieClose(void* cookie) {
  auto* writer = static_cast<StreamedWriter*>(cookie);
  const int error = writer->Close();
  delete writer;
  if (error == 0) return 0;
  errno = error;
  return -1;
}

}  // namespace

FILE* OpenStreamedFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return OpenStreamedFile(fd);
}

FILE* OpenStreamedFile(int fd) {
  std::unique_ptr<StreamedWriter> writer = StreamedWriter::Over(fd);
  if (!writer) {
    // No thread to be had: the plain stream does the same work.
    FILE* plain = fdopen(fd, "wb");
    if (plain == nullptr) close(fd);
    return plain;
  }
  cookie_io_functions_t functions{nullptr, CookieWrite, nullptr, CookieClose};
  FILE* stream = fopencookie(writer.get(), "wb", functions);
  if (stream == nullptr) {
    int error = errno;
    writer->Close();
    errno = error;
    return nullptr;
  }
  (void)writer.release();
  return stream;
}

}  // namespace quelbrix::platform

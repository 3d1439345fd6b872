// The worker thread of a command, and the process-wide count of workers.
// Workers get a large stack: the key walk of a deeply nested hive recurses.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace quelbrix::platform {

class WorkerThread {
 public:
  WorkerThread() = default;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  ~WorkerThread();  // joins

  // Starts `body` on a new thread with a stack of `stackBytes`.  False when
  // the thread cannot be created (or one is still joinable).
  bool Start(std::function<void()> body, size_t stackBytes = kDefaultStack);
  void Join();

  static constexpr size_t kDefaultStack = 256u * 1024 * 1024;

 private:
  static void* Trampoline(void* arg);
  std::function<void()> body_;
  uint64_t handle_ = 0;
  bool started_ = false;
};

// Interlocked counter of running workers.
int32_t IncrementThreadCount();
int32_t DecrementThreadCount();
int32_t ThreadCount();

}  // namespace quelbrix::platform

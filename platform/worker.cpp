#include "platform/worker.h"

#include <pthread.h>

namespace quelbrix::platform {
namespace {
std::atomic<int32_t> g_threadCount{0};
}

WorkerThread::~WorkerThread() { Join(); }

void* WorkerThread::Trampoline(void* arg) {
  static_cast<WorkerThread*>(arg)->body_();
  return nullptr;
}

bool WorkerThread::Start(std::function<void()> body, size_t stackBytes) {
  if (started_) return false;
  body_ = std::move(body);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, &WorkerThread::Trampoline, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  handle_ = static_cast<uint64_t>(thread);
  started_ = true;
  return true;
}

void WorkerThread::Join() {
  if (!started_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

int32_t IncrementThreadCount() { return g_threadCount.fetch_add(1) + 1; }
int32_t DecrementThreadCount() { return g_threadCount.fetch_sub(1) - 1; }
int32_t ThreadCount() { return g_threadCount.load(); }

}  // namespace quelbrix::platform

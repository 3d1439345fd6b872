#include "cli/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace quelbrix {
namespace {

constexpr int kExitAborted = 130;

std::atomic<int> g_interrupts{0};
std::atomic<HiveContext*> g_context{nullptr};

void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) > 0) _exit(kExitAborted);
  HiveContext* ctx = g_context.load();
  if (ctx != nullptr) ctx->AbortRequested.store(1);
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Reads and writes go on after the handler; the flag stops the command.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void InterruptContext(HiveContext* ctx) {
  g_context.store(ctx);
  if (ctx != nullptr && g_interrupts.load() > 0) ctx->AbortRequested.store(1);
}

bool Interrupted() { return g_interrupts.load() > 0; }

}  // namespace quelbrix

// Search, Repair and Defrag of one hive file, in process: each iteration
// reads the file into a fresh image and runs the command on it, the report
// written to a scratch folder and the pane discarded.  The hive is
// $QUELBRIX_BENCH_HIVE.  LogRecovery times what Read adds for a dirty hive
// with logs beside it (finding, reading and applying them); Search there runs
// on the file as stored, so the two compare.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>
#include <string>

#include "app/run_command.h"
#include "app/context.h"
#include "app/frontend.h"
#include "platform/files.h"
#include "txlog/txlog.h"

namespace {

using namespace quelbrix;

class Discard : public Frontend {
 public:
  void AppendPane(std::string_view, uint32_t) override {}
  void SetStatusText(int, std::string_view) override {}
};

std::string ScratchFolder() {
  static std::string folder = [] {
    char tmpl[] = "/tmp/quelbrix-bench-XXXXXX";
    return std::string(mkdtemp(tmpl) != nullptr ? tmpl : "/tmp");
  }();
  return folder;
}

void RunOn(benchmark::State& state, int32_t command) {
  const char* hive = std::getenv("QUELBRIX_BENCH_HIVE");
  if (hive == nullptr || *hive == '\0') {
    state.SkipWithError("set QUELBRIX_BENCH_HIVE to a hive file");
    return;
  }
  Discard ui;
  for (auto _ : state) {
    HiveContext ctx;
    ctx.UI = &ui;
    ctx.OutputFolder = ScratchFolder();
    ctx.InputPath = hive;
    ctx.NoLogs = true;
    ctx.CommandId = kCmdRead;
    ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
    RunCommand(ctx);
    if (!ctx.Done(kReadDone)) {
      state.SkipWithError("Read failed");
      return;
    }
    ctx.CommandId = command;
    ctx.Rules = MakePassRules(ctx.CommandId, ctx.DiagnosticMode != 0);
    RunCommand(ctx);
    benchmark::DoNotOptimize(ctx.FileSize);
  }
}

void BM_Search(benchmark::State& state) { RunOn(state, kCmdSearchDates); }

void BM_LogRecovery(benchmark::State& state) {
  const char* hive = std::getenv("QUELBRIX_BENCH_HIVE");
  if (hive == nullptr || *hive == '\0' || txlog::FindLogs(hive).empty()) {
    state.SkipWithError("set QUELBRIX_BENCH_HIVE to a dirty hive file with its logs beside it");
    return;
  }
  size_t applied = 0;
  for (auto _ : state) {
    std::vector<uint8_t> bytes(platform::FileSizeOf(hive));
    FILE* f = std::fopen(hive, "rb");
    if (f == nullptr || std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
      if (f != nullptr) std::fclose(f);
      state.SkipWithError("cannot read the hive");
      return;
    }
    std::fclose(f);
    txlog::Outcome out = txlog::Recover(bytes, txlog::ReadLogs(txlog::FindLogs(hive)));
    applied = out.AppliedLogs.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.counters["logs_applied"] = static_cast<double>(applied);
}
void BM_Repair(benchmark::State& state) { RunOn(state, kCmdRepair); }
void BM_Defrag(benchmark::State& state) { RunOn(state, kCmdDefrag); }

BENCHMARK(BM_Search)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LogRecovery)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Repair)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Defrag)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

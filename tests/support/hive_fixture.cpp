#include "support/hive_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/run_command.h"
#include "platform/text.h"

namespace quelbrix::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quelbrix-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // A test may have left a folder read-only; removal needs it writable again.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_directory(ec)) std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                                           std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

CodePageScope::CodePageScope(int codePage) : saved_(platform::AnsiCodePage()) {
  platform::SetAnsiCodePage(codePage);
}
CodePageScope::~CodePageScope() { platform::SetAnsiCodePage(saved_); }

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

std::vector<std::string> SplitCrLf(const std::vector<uint8_t>& bytes) {
  std::vector<std::string> lines;
  std::string text(bytes.begin(), bytes.end());
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

HiveRun::HiveRun() {
  ctx.UI = &ui;
  ctx.OutputFolder = dir.Path();
  ctx.RegistryRoot = dir.File("registry");
}

bool HiveRun::Load(const std::vector<uint8_t>& bytes, const std::string& name) {
  hivePath_ = dir.File(name);
  if (!WriteBytes(hivePath_, bytes)) return false;
  ctx.InputPath = hivePath_;
  Run(kCmdRead);
  return ctx.Done(kReadDone);
}

CommandOutcome HiveRun::Run(int32_t commandId) {
  ctx.CommandId = commandId;
  ctx.Busy.store(1);
  switch (commandId) {
    case kCmdSearchDates:
    case kCmdSearchNoDates:
    case kCmdRepair:
    case kCmdDefrag:
    case kCmdRebuild: reportPath_ = ctx.OutputFolder + "/" + ReportFileName(ctx); break;
    default: break;
  }
  return RunCommand(ctx);
}

std::vector<std::string> HiveRun::ReportLines() const { return SplitCrLf(ReadBytes(reportPath_)); }

std::vector<std::string> HiveRun::ReportLinesUtf8() const {
  std::vector<std::string> lines = ReportLines();
  for (std::string& l : lines) l = platform::AnsiToUtf8(l);
  return lines;
}

std::vector<uint8_t> HiveRun::ImageBytes() const {
  if (ctx.Image == nullptr) return {};
  size_t n = static_cast<size_t>(ctx.FileSize & 0xFFFFFFFFu);
  if (n > ctx.ImageSize) n = ctx.ImageSize;
  return std::vector<uint8_t>(ctx.Image, ctx.Image + n);
}

}  // namespace quelbrix::testing

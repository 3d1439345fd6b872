#include "cli/batch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "cli/outcome.h"
#include "platform/files.h"

extern char** environ;

namespace quelbrix {
namespace {

namespace fs = std::filesystem;

const char* const kBatchCommands[] = {"search", "repair", "defrag", "recover", "export"};
// Options that take a value, so that the value is not taken for a hive.
const char* const kValueOptions[] = {"--output-dir", "--registry-root", "--codepage", "--lang", "-o", "--output",
                                     "--format", "--prefix", "--recursive", "--from", "-j", "--jobs", "--resume"};

bool IsOneOf(const std::string& s, const char* const* list, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s == list[i]) return true;
  return false;
}
template <size_t N>
bool IsOneOf(const std::string& s, const char* const (&list)[N]) {
  return IsOneOf(s, list, N);
}

// The command line taken apart: the options before the command, the
// command, its own options, its words, and the batch's options.
struct BatchLine {
  std::vector<std::string> global;   // as given, less --output-dir and the batch's own
  std::string outputDir;
  std::string command;
  std::vector<std::string> options;  // the command's, less -o
  std::string output;                // -o
  std::vector<std::string> words;    // HIVE... (and KEY)
  std::string key;                   // export's and recover's KEY
  bool otherCommand = false;         // a word before the command: not a batch
  std::string recursive, from, resume;
  bool jsonl = false;
  bool list = false;
  bool batchOption = false;
  int jobs = 0;
  std::string error;
};

BatchLine Split(int argc, char** argv) {
  BatchLine b;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (!endOfOptions && arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        inlineValue = true;
      }
    } else if (!endOfOptions && arg.size() > 2 && arg.compare(0, 2, "-j") == 0) {
      value = arg.substr(2);
      arg = "-j";
      inlineValue = true;
    }
    if (!endOfOptions && arg == "--") {
      endOfOptions = true;
      continue;
    }
    if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
      if (b.command.empty() && IsOneOf(arg, kBatchCommands))
        b.command = arg;
      else if (b.command.empty())
        b.otherCommand = true;
      else
        b.words.push_back(arg);
      continue;
    }
    if (arg == "--jsonl") {
      b.jsonl = b.batchOption = true;
      continue;
    }
    if (arg == "--list") {
      b.list = b.batchOption = true;
      continue;
    }
    if (IsOneOf(arg, kValueOptions)) {
      if (!inlineValue) {
        if (i + 1 >= argc) {
          b.error = arg + " needs a value";
          return b;
        }
        value = argv[++i];
      }
      if (arg == "--recursive") {
        b.recursive = value;
        b.batchOption = true;
      } else if (arg == "--from") {
        b.from = value;
        b.batchOption = true;
      } else if (arg == "--resume") {
        b.resume = value;
        b.batchOption = true;
      } else if (arg == "-j" || arg == "--jobs") {
        char* end = nullptr;
        long n = std::strtol(value.c_str(), &end, 10);
        if (end == value.c_str() || *end != '\0' || n < 1 || n > 1024) {
          b.error = "-j: a number of hives at once from 1 to 1024 is needed";
          return b;
        }
        b.jobs = static_cast<int>(n);
        b.batchOption = true;
      } else if (arg == "--output-dir") {
        b.outputDir = value;
      } else if ((arg == "-o" || arg == "--output") && !b.command.empty()) {
        b.output = value;
      } else {
        auto& to = b.command.empty() ? b.global : b.options;
        to.push_back(arg);
        to.push_back(value);
      }
      continue;
    }
    (b.command.empty() ? b.global : b.options).push_back(arg);
  }
  return b;
}

bool TakesKey(const std::string& command) { return command == "export" || command == "recover"; }

// export and recover take HIVE [KEY] on one hive; given their hives by
// --recursive or --from, their one word is the KEY.
void TakeKey(BatchLine* b) {
  if (!TakesKey(b->command)) return;
  bool listed = !b->recursive.empty() || !b->from.empty();
  size_t keyAt = listed ? 0 : 1;
  if (b->words.size() > keyAt) {
    b->key = b->words[keyAt];
    b->words.resize(keyAt);
  }
}

// One hive of the batch: where it is and where its outputs go.
struct Hive {
  std::string path;      // absolute
  std::string relative;  // the outputs' path below the output folders
  uint64_t size = 0;
};

bool IsLogName(const std::string& name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
    size_t n = std::strlen(suffix);
    if (upper.size() > n && upper.compare(upper.size() - n, n, suffix) == 0) return true;
  }
  return false;
}

// A hive is a file that starts with "regf"; one that cannot be read may be a
// hive too, and gets its line saying why it failed rather than go unseen.
bool StartsLikeAHive(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return true;
  char magic[4] = {};
  size_t n = std::fread(magic, 1, 4, f);
  std::fclose(f);
  return n == 4 && std::memcmp(magic, "regf", 4) == 0;
}

bool Below(const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// The path below the current folder when the hive lies there, else the
// absolute path without its leading slash: two machines' SYSTEM never share
// a report.
std::string RelativeName(const std::string& absolute, const std::string& base) {
  if (Below(absolute, base)) return absolute.substr(base.size() + 1);
  return absolute.size() > 1 ? absolute.substr(1) : "hive";
}

struct Collected {
  std::vector<Hive> hives;
  std::string error;
};

Collected Collect(const BatchLine& b, const std::vector<std::string>& skipBelow) {
  Collected c;
  std::set<std::string> seen;
  std::error_code ec;
  std::string cwd = fs::current_path(ec).string();
  auto add = [&](const std::string& given, const std::string& base) {
    std::string absolute = platform::AbsolutePath(given);
    if (!seen.insert(absolute).second) return;
    c.hives.push_back({absolute, RelativeName(absolute, base), platform::FileSizeOf(absolute)});
  };
  for (const std::string& w : b.words) {
    if (platform::IsDirectory(w)) {
      c.error = w + ": a folder; use --recursive " + w;
      return c;
    }
    add(w, cwd);
  }
  if (!b.from.empty()) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (b.from != "-") {
      file.open(b.from);
      if (!file) {
        c.error = "--from: cannot read " + b.from;
        return c;
      }
      in = &file;
    }
    std::string line;
    while (std::getline(*in, line))
      if (!line.empty()) add(line, cwd);
  }
  if (!b.recursive.empty()) {
    std::string root = platform::AbsolutePath(b.recursive);
    if (!platform::IsDirectory(root)) {
      c.error = "--recursive: " + b.recursive + " is not a folder";
      return c;
    }
    std::vector<std::string> found;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::string p = it->path().string();
      // What this batch writes is never taken for what it reads.
      bool ours = false;
      for (const std::string& folder : skipBelow)
        ours = ours || (Below(folder, root) && (p == folder || Below(p, folder)));
      if (ours) {
        if (it->is_directory(ec)) it.disable_recursion_pending();
        continue;
      }
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      if (IsLogName(it->path().filename().string()) || !StartsLikeAHive(p)) continue;
      found.push_back(p);
    }
    std::sort(found.begin(), found.end());
    for (const std::string& p : found) add(p, root);
  }
  return c;
}

std::set<std::string> ResumedHives(const std::string& file) {
  std::set<std::string> done;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object() && j.contains("hive") && j["hive"].is_string()) done.insert(j["hive"].get<std::string>());
  }
  return done;
}

uint64_t MemoryAvailable() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  std::string unit;
  while (in >> key >> kib >> unit)
    if (key == "MemAvailable:") return kib * 1024;
  return uint64_t{8} << 30;
}

// What one hive's run may take at most: its image and AccessMap, the copy
// a writing command makes, and the program itself.
uint64_t MemoryFor(const Hive& h) { return h.size * 5 / 2 + (uint64_t{64} << 20); }

std::atomic<int> g_interrupts{0};
// Whether a Ctrl-C came from kill rather than the terminal, whose Ctrl-C
// reaches the children of its process group by itself.
std::atomic<bool> g_sentToUs{false};
void OnInterrupt(int, siginfo_t* info, void*) {
  if (info != nullptr && info->si_code <= 0) g_sentToUs.store(true);
  g_interrupts.fetch_add(1);
}

struct Child {
  size_t index = 0;
  pid_t pid = -1;
  int out = -1, err = -1;
  std::string stdoutText, stderrText;
  std::string outputFile;
};

// Reads what is there; false at the end of the pipe.
bool Drain(int& fd, std::string* into) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    close(fd);
    fd = -1;
    return false;
  }
}

class Batch {
 public:
  Batch(BatchLine line, std::vector<Hive> hives, std::string outputRoot)
      : b_(std::move(line)), hives_(std::move(hives)), outputRoot_(std::move(outputRoot)) {}

  int Run() {
    int jobs = b_.jobs > 0 ? b_.jobs : std::max(1u, std::thread::hardware_concurrency());
    uint64_t largest = 0, total = 0;
    for (const Hive& h : hives_) {
      largest = std::max(largest, MemoryFor(h));
      total += h.size;
    }
    budget_ = std::min(MemoryAvailable(), static_cast<uint64_t>(jobs) * largest);
    totalBytes_ = total;
    progress_ = isatty(STDERR_FILENO) != 0;
    start_ = std::chrono::steady_clock::now();
    size_t next = 0;
    while (next < hives_.size() || !running_.empty()) {
      if (g_interrupts.load() > 0 && !stopping_) Stop();
      while (!stopping_ && next < hives_.size() && static_cast<int>(running_.size()) < jobs &&
             (running_.empty() || used_ + MemoryFor(hives_[next]) <= budget_)) {
        Start(next++);
      }
      if (running_.empty()) break;
      Wait();
    }
    if (progress_) std::fputs("\n", stderr);
    if (g_interrupts.load() > 0) return kExitAborted;
    return failed_ ? kExitFailed : damaged_ ? kExitDamage : kExitOk;
  }

 private:
  std::string FolderOf(const std::string& relative) const {
    std::string folder = platform::FolderOf(relative);
    return folder.empty() ? outputRoot_ : outputRoot_ + "/" + folder;
  }

  std::vector<std::string> ArgsFor(const Hive& h, std::string* outputFile) const {
    std::vector<std::string> a{platform::ExecutablePath()};
    a.insert(a.end(), b_.global.begin(), b_.global.end());
    a.push_back("--output-dir");
    a.push_back(FolderOf(h.relative));
    a.push_back(b_.command);
    a.insert(a.end(), b_.options.begin(), b_.options.end());
    if (!b_.output.empty()) {
      // -o names a folder: each hive's result goes below it under the hive's own path.
      std::string suffix;
      if (b_.command == "export") {
        bool json = std::find(b_.options.begin(), b_.options.end(), "json") != b_.options.end();
        suffix = json ? ".json" : ".reg";
      }
      *outputFile = platform::AbsolutePath(b_.output) + "/" + h.relative + suffix;
      a.push_back("-o");
      a.push_back(*outputFile);
    }
    if (b_.command == "recover" && std::find(b_.options.begin(), b_.options.end(), "--format") == b_.options.end()) {
      a.push_back("--format");
      a.push_back("json");
    }
    if (b_.command != "export" && b_.command != "recover") a.push_back("--json");
    // Absolute: never taken for an option.
    a.push_back(h.path);
    if (!b_.key.empty()) a.push_back(b_.key);
    return a;
  }

  void Start(size_t index) {
    const Hive& h = hives_[index];
    Child c;
    c.index = index;
    std::vector<std::string> args = ArgsFor(h, &c.outputFile);
    std::error_code ec;
    fs::create_directories(FolderOf(h.relative), ec);
    if (!c.outputFile.empty()) fs::create_directories(platform::FolderOf(c.outputFile), ec);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return Finish(c, -1, "no pipe: " + std::string(std::strerror(errno)));
    if (pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return Finish(c, -1, "no pipe: " + std::string(std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
      close(out[0]);
      close(err[0]);
      return Finish(c, -1, "cannot start " + args[0] + ": " + std::strerror(rc));
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    c.pid = pid;
    c.out = out[0];
    c.err = err[0];
    used_ += MemoryFor(h);
    running_.push_back(std::move(c));
  }

  // Until one child ends, or a Ctrl-C.
  void Wait() {
    std::vector<pollfd> fds;
    for (const Child& c : running_) {
      if (c.out >= 0) fds.push_back({c.out, POLLIN, 0});
      if (c.err >= 0) fds.push_back({c.err, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
    for (size_t i = 0; i < running_.size();) {
      Child& c = running_[i];
      if (c.out >= 0) Drain(c.out, &c.stdoutText);
      if (c.err >= 0) Drain(c.err, &c.stderrText);
      if (c.out >= 0 || c.err >= 0) {
        ++i;
        continue;
      }
      int status = 0;
      while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
      }
      used_ -= MemoryFor(hives_[c.index]);
      Child done = std::move(c);
      running_.erase(running_.begin() + static_cast<long>(i));
      Finish(done, status, "");
    }
  }

  void Stop() {
    stopping_ = true;
    // A second Ctrl-C would end a child at once, mid-write: only one sent
    // to us alone is passed on.
    if (!g_sentToUs.load()) return;
    for (const Child& c : running_) kill(c.pid, SIGINT);
  }

  // The last "quelbrix: " line of the child's errors: the reason it gives.
  static std::string Reason(const std::string& err) {
    std::string reason;
    size_t start = 0;
    while (start < err.size()) {
      size_t end = err.find('\n', start);
      if (end == std::string::npos) end = err.size();
      std::string line = err.substr(start, end - start);
      if (line.compare(0, 10, "quelbrix: ") == 0) reason = line.substr(10);
      start = end + 1;
    }
    return reason;
  }

  void Finish(const Child& c, int waitStatus, const std::string& startError) {
    const Hive& h = hives_[c.index];
    int exit = kExitFailed;
    std::string error = startError;
    if (startError.empty()) {
      if (WIFEXITED(waitStatus))
        exit = WEXITSTATUS(waitStatus);
      else if (WIFSIGNALED(waitStatus))
        error = "ended by signal " + std::to_string(WTERMSIG(waitStatus));
    }
    nlohmann::json line = nlohmann::json::object();
    if (b_.command != "export" && b_.command != "recover") {
      nlohmann::json summary = nlohmann::json::parse(c.stdoutText, nullptr, false);
      if (summary.is_object()) line = std::move(summary);
    } else {
      line["command"] = b_.command;
      if (b_.command == "recover") {
        nlohmann::json found = nlohmann::json::parse(c.stdoutText, nullptr, false);
        if (!found.is_discarded()) line["recovered"] = std::move(found);
      }
      line["output_file"] = c.outputFile.empty() || exit != kExitOk ? nlohmann::json() : nlohmann::json(c.outputFile);
    }
    line["hive"] = h.path;
    line["path"] = h.relative;
    line["exit_status"] = exit;
    if (exit == kExitFailed && error.empty()) error = Reason(c.stderrText);
    if (!error.empty()) line["error"] = error;
    if (exit == kExitDamage) damaged_ = true;
    if (exit != kExitOk && exit != kExitDamage && exit != kExitAborted) failed_ = true;
    ++done_;
    doneBytes_ += h.size;
    if (progress_) std::fputs("\r\033[K", stderr);
    if (b_.jsonl) {
      std::fprintf(stdout, "%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
      const char* word = exit == kExitOk ? "ok" : exit == kExitDamage ? "damage" : exit == kExitAborted ? "aborted" : "failed";
      std::string said = line.contains("status_text") && line["status_text"].is_string()
                             ? line["status_text"].get<std::string>()
                             : error;
      if (!error.empty() && said != error) said += (said.empty() ? "" : ": ") + error;
      std::fprintf(stdout, "%-7s %s%s%s\n", word, h.relative.c_str(), said.empty() ? "" : "  ", said.c_str());
    }
    std::fflush(stdout);
    if (progress_) Progress();
  }

  void Progress() const {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double rate = seconds > 0 ? static_cast<double>(doneBytes_) / seconds : 0;
    double left = rate > 0 ? static_cast<double>(totalBytes_ - doneBytes_) / rate : 0;
    std::fprintf(stderr, "%zu/%zu hives, %.1f/%.1f MB, %.0f s left", done_, hives_.size(),
                 static_cast<double>(doneBytes_) / 1e6, static_cast<double>(totalBytes_) / 1e6, left);
    std::fflush(stderr);
  }

  BatchLine b_;
  std::vector<Hive> hives_;
  std::string outputRoot_;
  std::vector<Child> running_;
  uint64_t used_ = 0, budget_ = 0, totalBytes_ = 0, doneBytes_ = 0;
  size_t done_ = 0;
  bool stopping_ = false, failed_ = false, damaged_ = false, progress_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

void AddBatchHelp(CLI::App* command) {
  static std::string text;
  static bool flag = false;
  static int jobs = 0;
  CLI::Option_group* g = command->add_option_group("Several hives", "One child process a hive.  With several hives, -o names a folder: each written hive or export goes "
                                             "below it under the hive's relative path (the hive's own name, with .reg or .json for export).");
  g->add_option("--recursive", text, "Every file under DIR that starts with regf (its logs beside it; logs are not "
                                     "taken as hives); reports and written files go below the output folders under "
                                     "the hive's path relative to DIR")
      ->type_name("DIR");
  g->add_option("--from", text, "Hives listed in FILE, one path a line (- for stdin)")->type_name("FILE");
  g->add_flag("--jsonl", flag, "One JSON object per hive per line on stdout, as soon as the hive is done");
  g->add_flag("--list", flag, "Only list the hives the batch would take, one path a line (for GNU parallel)");
  g->add_option("-j,--jobs", jobs, "N hives at once (default: the number of cores), within the memory left");
  g->add_option("--resume", text, "Skip the hives whose line FILE (earlier --jsonl output) holds already")
      ->type_name("FILE");
}

bool IsBatchRun(int argc, char** argv) {
  BatchLine b = Split(argc, argv);
  if (b.command.empty() || b.otherCommand) return false;
  // A batch option with a bad value is the batch's usage error to say.
  if (b.batchOption || !b.error.empty()) return true;
  return !TakesKey(b.command) && b.words.size() > 1;
}

int RunBatch(int argc, char** argv) {
  BatchLine b = Split(argc, argv);
  auto usage = [](const std::string& text) {
    std::fprintf(stderr, "quelbrix: %s\n", text.c_str());
    return kExitUsage;
  };
  if (!b.error.empty()) return usage(b.error);
  TakeKey(&b);
  for (const std::string& o : b.options)
    if (o == "--write" && b.command != "repair" && b.command != "defrag") return usage("--write: repair and defrag only");
  if (b.command == "export" && b.output.empty()) return usage("export of several hives needs -o FOLDER for its files");
  if (b.command == "recover" && !b.output.empty()) return usage("recover: -o is not taken with several hives");

  // The output folder as one hive's run would take it, each hive's outputs below it.
  HiveContext defaults;
  InitContext(defaults);
  std::string root = b.outputDir.empty() ? defaults.OutputFolder : platform::AbsolutePath(b.outputDir);
  std::vector<std::string> skip{root};
  if (!b.output.empty()) skip.push_back(platform::AbsolutePath(b.output));
  Collected found = Collect(b, skip);
  if (!found.error.empty()) return usage(found.error);
  std::vector<Hive> hives;
  std::set<std::string> done = b.resume.empty() ? std::set<std::string>() : ResumedHives(b.resume);
  for (Hive& h : found.hives)
    if (done.count(h.path) == 0) hives.push_back(std::move(h));
  if (found.hives.empty()) return usage("no hive found (a hive is a file that starts with regf)");
  if (b.list) {
    for (const Hive& h : hives) std::printf("%s\n", h.path.c_str());
    return kExitOk;
  }

  struct sigaction action {};
  action.sa_sigaction = OnInterrupt;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  Batch batch(std::move(b), std::move(hives), root);
  return batch.Run();
}

}  // namespace quelbrix

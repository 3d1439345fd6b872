#include "support/run_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

extern char** environ;

namespace quelbrix::testing {
namespace {

std::string ReadAll(FILE* f) {
  std::string text;
  std::rewind(f);
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  return text;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdoutFile) {
  ProcessResult result;
  if (argv.empty()) return result;
  // Temporary files rather than pipes: the child may write megabytes to both
  // streams and nothing has to drain them while it runs.
  FILE* out = stdoutFile.empty() ? std::tmpfile() : std::fopen(stdoutFile.c_str(), "w+b");
  FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) {
    if (out != nullptr) std::fclose(out);
    if (err != nullptr) std::fclose(err);
    return result;
  }

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fileno(out), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fileno(err), STDERR_FILENO);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);

  if (rc == 0) {
    int wstatus = 0;
    pid_t waited;
    do {
      waited = waitpid(pid, &wstatus, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    if (waited == pid && WIFSIGNALED(wstatus)) result.status = 128 + (result.signal = WTERMSIG(wstatus));
    if (stdoutFile.empty()) result.out = ReadAll(out);
    result.err = ReadAll(err);
  } else {
    result.err = "cannot start " + argv[0];
  }
  std::fclose(out);
  std::fclose(err);
  return result;
}

ProcessResult RunProcessAndSignal(const std::vector<std::string>& argv, const std::string& cue, int signal,
                                  bool* cueSeen) {
  ProcessResult result;
  *cueSeen = false;
  int pipeFds[2];
  FILE* out = std::tmpfile();
  if (argv.empty() || out == nullptr || pipe(pipeFds) != 0) {
    if (out != nullptr) std::fclose(out);
    return result;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fileno(out), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc == 0) {
    char buffer[4096];
    ssize_t n;
    // The child ends its stderr when it exits, so the loop ends with it.
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      result.err.append(buffer, static_cast<size_t>(n));
      if (!*cueSeen && result.err.find(cue) != std::string::npos) {
        *cueSeen = true;
        kill(pid, signal);
      }
    }
    int wstatus = 0;
    pid_t waited;
    do {
      waited = waitpid(pid, &wstatus, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    if (waited == pid && WIFSIGNALED(wstatus)) result.status = 128 + (result.signal = WTERMSIG(wstatus));
    result.out = ReadAll(out);
  } else {
    result.err = "cannot start " + argv[0];
  }
  close(pipeFds[0]);
  std::fclose(out);
  return result;
}

}  // namespace quelbrix::testing

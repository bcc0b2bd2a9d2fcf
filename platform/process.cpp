#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace zep::process {

bool Process::running() {
  if (pid_ <= 0 || ended_) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  ended_ = true;
  if (r == pid_ && WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
  return false;
}

bool Process::waitForExit(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Process::terminate(int graceMs) {
  closeInput();
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (waitForExit(graceMs)) return;
  ::kill(pid_, SIGKILL);
  waitForExit(5000);
}

bool Process::writeLine(const std::string& line) {
  if (input_ < 0) return false;
  std::string text = line + "\n";
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(input_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

void Process::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

Process start(const std::string& path, const StartOptions& options, std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int input[2] = {-1, -1};
  if (options.pipeStdin) {
    if (::pipe2(input, O_CLOEXEC) != 0) {
      if (error) *error = std::strerror(errno);
      return {};
    }
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  } else {
    // A detached program reads nothing of ours.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (!options.stdoutPath.empty())
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!options.stderrPath.empty())
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!options.workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  // No handle of ours leaks into the child but the standard streams.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);

  std::vector<std::string> argvStrings;
  argvStrings.push_back(options.argv0.empty() ? path : options.argv0);
  argvStrings.insert(argvStrings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string key = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [k, v] : options.environment) replaced = replaced || k == key;
    for (const auto& k : options.unsetEnvironment) replaced = replaced || k == key;
    if (!replaced) envStrings.push_back(std::move(entry));
  }
  for (const auto& [k, v] : options.environment) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (input[0] >= 0) ::close(input[0]);
  if (rc != 0) {
    if (input[1] >= 0) ::close(input[1]);
    if (error) *error = std::strerror(rc);
    return {};
  }
  Process p(pid);
  p.input_ = input[1];
  return p;
}

std::string ownExecutablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace zep::process

// Starting detached programs and ending them.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace zep::process {

struct StartOptions {
  std::vector<std::string> args;  // after the program name
  std::string workingDirectory;   // empty: the caller's
  std::string stdoutPath;         // empty: inherited
  std::string stderrPath;         // empty: inherited
  std::string argv0;              // empty: the program path
  bool pipeStdin = false;         // the caller writes the child's standard input
  // Variables set (or replaced) in the child's copy of the caller's environment.
  std::vector<std::pair<std::string, std::string>> environment;
  // Variables removed from the child's copy.
  std::vector<std::string> unsetEnvironment;
};

// A started program. Its process runs in a session of its own and inherits no handles but
// the standard streams; it outlives this object unless terminated.
class Process {
 public:
  Process() = default;
  explicit Process(pid_t pid) : pid_(pid) {}

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // True while the process has not ended; reaps it when it has.
  bool running();
  // Exit code once ended (-1 while running or when killed by a signal).
  int exitCode() const { return exitCode_; }
  // Waits up to timeoutMs for the process to end by itself.
  bool waitForExit(int timeoutMs);
  // SIGTERM, then SIGKILL after graceMs; reaps the process. Harmless when not started.
  void terminate(int graceMs = 500);
  // With pipeStdin: writes a line to the child's standard input; closeInput ends it.
  bool writeLine(const std::string& line);
  void closeInput();

 private:
  friend Process start(const std::string&, const StartOptions&, std::string*);
  pid_t pid_ = -1;
  int input_ = -1;
  bool ended_ = false;
  int exitCode_ = -1;
};

// Starts path with the caller's environment. On failure returns a process that was not
// started and puts the system's error text in *error.
Process start(const std::string& path, const StartOptions& options, std::string* error);

// Absolute path of the running program.
std::string ownExecutablePath();

}  // namespace zep::process

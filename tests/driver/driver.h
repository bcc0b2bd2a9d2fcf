// Plays the other side of an engine in tests: starts real engine processes on loopback hosts,
// and acts as a manager, an application or a remote engine on their channels, waiting for
// expected messages and log lines under a deadline.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/messages.h"
#include "platform/net.h"
#include "platform/process.h"

namespace zep::testing {

inline constexpr int kDeadlineMs = 5000;

// A loopback address no other test of this run uses (127.N.x.y, N chosen per process).
net::Ipv4 freshAddress();
std::string dotted(net::Ipv4 address);
// The installation tree in the build folder.
std::filesystem::path installTree();
// A new empty folder under the system's temporary folder.
std::filesystem::path freshDirectory(const std::string& prefix);
// Starts program under a launcher command (for example `ip netns exec NS`), or directly when
// the launcher is empty.
process::Process startUnder(const std::vector<std::string>& launcher, const std::string& program,
                            process::StartOptions options, std::string* why);

// The processes of a program (by its file name) that run with ZEP_HOST set to address.
std::vector<pid_t> processesOn(net::Ipv4 address, const std::string& program);
// Open descriptors and resident memory (kB) of a process; -1 when it is gone.
int descriptorsOf(pid_t pid);
long residentKilobytes(pid_t pid);
// Processor time a process has used so far (user and system), in seconds.
double processorSeconds(pid_t pid);
// Where a sound-file device's timeline starts, in monotonic microseconds, as the device traced
// it ("Sound: input ... starts at N us", with ZEP_TRACE) in a program's error stream; -1 when
// it did not.
double soundTimelineStart(const std::string& traced, const std::string& direction);

// Polls a condition until it holds or the deadline passes.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kDeadlineMs);

// A text file that a process writes; read in full each time it is asked.
class LogFile {
 public:
  LogFile() = default;
  explicit LogFile(std::filesystem::path path) : path_(std::move(path)) {}
  std::string text() const;
  bool contains(std::string_view s) const { return text().find(s) != std::string::npos; }
  int count(std::string_view s) const;
  bool waitFor(std::string_view s, int timeoutMs = kDeadlineMs) const;
  // Waits until s occurs at least n times.
  bool waitForCount(std::string_view s, int n, int timeoutMs = kDeadlineMs) const;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct EngineOptions {
  std::string user = "user";
  std::filesystem::path program;  // default: Core/KSengine of the tree
  std::filesystem::path zepPath;  // default: the tree; "-": ZEP_PATH unset
  std::string argv0;
  std::filesystem::path workingDirectory;
};

// A real engine process on its own loopback address. Terminated on destruction.
class EngineProcess {
 public:
  explicit EngineProcess(net::Ipv4 address, EngineOptions options = {});
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // Waits until the engine listens ("Daemon initialized").
  bool waitReady(int timeoutMs = kDeadlineMs) const {
    return out.waitFor("Daemon initialized\n", timeoutMs);
  }
  process::Process& process() { return process_; }
  void kill();

  net::Ipv4 address;
  LogFile out;
  LogFile err;

 private:
  std::filesystem::path directory_;
  process::Process process_;
};

// servers/userserver of the tree on its own loopback address (args: --half-reply plays a
// broken one). Terminated on destruction.
class UserServerProcess {
 public:
  explicit UserServerProcess(net::Ipv4 address, std::vector<std::string> args = {});
  ~UserServerProcess() { process_.terminate(500); }
  UserServerProcess(const UserServerProcess&) = delete;
  UserServerProcess& operator=(const UserServerProcess&) = delete;
  bool waitReady(int timeoutMs = kDeadlineMs) const {
    return out.waitFor("Server: listening", timeoutMs);
  }
  net::Ipv4 address;
  LogFile out;

 private:
  process::Process process_;
};

// The media test program attached to the engine of `host`, driven by typed commands.
class MediaTool {
 public:
  MediaTool(net::Ipv4 host, std::uint16_t port, std::vector<std::string> extraArgs = {},
            std::filesystem::path zepPath = {});
  ~MediaTool();
  MediaTool(const MediaTool&) = delete;
  MediaTool& operator=(const MediaTool&) = delete;
  bool command(const std::string& line) { return process_.writeLine(line); }
  process::Process& process() { return process_; }
  LogFile out;
  LogFile err;

 private:
  process::Process process_;
};

// A headless zepmanager of the installation tree on host `address`, driven by typed commands;
// it starts its own engine, whose log goes to engineLog.
class ManagerProcess {
 public:
  // extraEnvironment replaces the defaults (no sound devices) where it names the same variable.
  // launcher: the command the manager runs under (for example a network namespace's), empty
  // to start it directly. program: another zepmanager than the tree's (one in a tree of the
  // test's own, whose files it then reads).
  ManagerProcess(net::Ipv4 address, const std::string& user,
                 std::vector<std::pair<std::string, std::string>> extraEnvironment = {},
                 std::vector<std::string> launcher = {}, std::filesystem::path program = {});
  ~ManagerProcess();
  ManagerProcess(const ManagerProcess&) = delete;
  ManagerProcess& operator=(const ManagerProcess&) = delete;
  bool command(const std::string& line) { return process_.writeLine(line); }
  process::Process& process() { return process_; }
  net::Ipv4 address;
  std::string user;
  LogFile out;
  LogFile err;
  LogFile engineLog;

 private:
  process::Process process_;
};

// A headless zepaudio of the tree on a host, its microphone and loudspeaker sound files, driven
// by typed lines; asked to exit (then ended) on destruction.
struct AudioToolOptions {
  AudioToolOptions(std::filesystem::path mic, std::filesystem::path loudspeaker, bool half = false)
      : microphone(std::move(mic)), speaker(std::move(loudspeaker)), halfDuplex(half) {}
  std::filesystem::path microphone;  // a WAV file
  std::filesystem::path speaker;     // written as a WAV file
  bool halfDuplex = false;
  std::vector<std::pair<std::string, std::string>> environment;  // added or replacing
  std::vector<std::string> launcher;                             // see startUnder
};
class AudioToolProcess {
 public:
  AudioToolProcess(net::Ipv4 host, AudioToolOptions options);
  ~AudioToolProcess();
  AudioToolProcess(const AudioToolProcess&) = delete;
  AudioToolProcess& operator=(const AudioToolProcess&) = delete;
  bool command(const std::string& line) { return process_.writeLine(line); }
  process::Process& process() { return process_; }
  LogFile out;
  LogFile err;

 private:
  process::Process process_;
};

// One TCP connection to an engine's port, from a chosen local address.
class Peer {
 public:
  Peer() = default;
  explicit Peer(net::Socket socket) : socket_(std::move(socket)) {}
  // Connects to engine:5000 from `from` (the engine's own address when kAnyAddress).
  static Peer connect(net::Ipv4 engine, net::Ipv4 from = net::kAnyAddress);
  // Connects and sends NEW_LOCAL_INIT.
  static Peer manager(net::Ipv4 engine);
  // Connects and sends NEW_APP_ATTACH with the given UDP port.
  static Peer application(net::Ipv4 engine, std::uint16_t port);

  bool connected() const { return socket_.valid(); }
  int fd() const { return socket_.fd(); }
  void close() { socket_.close(); }

  // Sends a message with this header; sender name defaults to "tester".
  bool send(std::uint8_t tag, std::span<const std::uint8_t> payload = {},
            engine::MessageHeader header = {});
  bool sendRaw(std::span<const std::uint8_t> bytes);

  // The next message within the deadline.
  std::optional<engine::Message> receive(int timeoutMs = kDeadlineMs);
  // The next message with this tag; messages of other tags before it are kept in skipped().
  std::optional<engine::Message> waitFor(std::uint8_t tag, int timeoutMs = kDeadlineMs);
  // True when nothing arrives for quietMs.
  bool silentFor(int quietMs);
  // True when the engine closes the connection within the deadline (other messages are
  // read and dropped).
  bool waitClosed(int timeoutMs = kDeadlineMs);
  const std::deque<engine::Message>& skipped() const { return skipped_; }

 private:
  bool readable(int timeoutMs);
  net::Socket socket_;
  std::deque<engine::Message> skipped_;
};

// Stands in for the engine of another host: listens on address:5000 and hands out the
// connections an engine under test makes to it.
class RemoteEngine {
 public:
  explicit RemoteEngine(net::Ipv4 address);
  bool listening() const { return listener_.valid(); }
  // The next connection within the deadline (not connected when none came).
  Peer accept(int timeoutMs = kDeadlineMs);
  const net::Socket& listener() const { return listener_; }

 private:
  net::Socket listener_;
};

// A member record as the manager sends it in LOCAL_ADD_MEMBER.
engine::MemberRecord recordOf(const std::string& name, net::Ipv4 address, int number = 0);

// One simulated host: an engine on its own loopback address with a scripted manager attached.
struct SessionHost {
  explicit SessionHost(std::string userName, net::Ipv4 at = freshAddress(),
                       EngineOptions options = {});
  std::string user;
  net::Ipv4 address;
  std::unique_ptr<EngineProcess> engine;
  Peer manager;
  engine::MemberRecord record(int number = 0) const { return recordOf(user, address, number); }
};

// The members an engine reports (LOCAL_GET_MEMBERS); empty when it does not answer.
std::vector<engine::MemberRecord> membersOf(Peer& manager);
bool waitForMemberCount(Peer& manager, std::size_t n, int timeoutMs = kDeadlineMs);
// `inviter` invites `invitee`, whose manager accepts; true once the inviter's manager
// hears CTL_ACCEPTED.
bool inviteAndAccept(SessionHost& inviter, SessionHost& invitee);
// hosts[0] creates a session and invites every other host in turn; true once every engine
// reports all of them.
bool formSession(std::vector<SessionHost*> hosts);

}  // namespace zep::testing

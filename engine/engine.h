// The session engine: one per host. Listens on the engine port, keeps the member channels to
// the other engines of the session, the local channel to the manager and the channels of
// attached media applications, and starts and stops the recorder and player.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/assembler.h"
#include "engine/messages.h"
#include "engine/session_logic.h"
#include "platform/host.h"
#include "platform/net.h"
#include "platform/process.h"

namespace zep::engine {

// What an in-process engine tells its client in place of local-channel messages.
class EngineClient {
 public:
  virtual ~EngineClient() = default;
  // CTL_INVITATION, CTL_ACCEPTED, CTL_REJECTED, CTL_ADD_MEMBER, CTL_DELETE_MEMBER (the deleted
  // member's whole record), CTL_INVITATION_TIMEOUT and CTL_INVITATION_DELIVERED, with the
  // member's host name by reverse lookup (dotted when there is none).
  virtual void onEngineEvent(int tag, const MemberRecord& member, const std::string& hostName) = 0;
  // Data from a member for the program's media objects (text chat: port 6666, tag 33).
  virtual void onApplicationData(int sender, int port, int tag,
                                 std::span<const std::uint8_t> data) = 0;
  // The engine is about to wait on the network (connects): what it has done so far may be
  // shown now.
  virtual void onLongWait() {}
};

struct EngineConfig {
  host::HostIdentity host;
  std::uint16_t port = kEnginePort;
  std::string recorderPath;
  std::string playerPath;
  std::FILE* out = stdout;  // progress log
  std::FILE* err = stderr;  // error log
  int connectTimeoutMs = 5000;
  // A send that cannot complete within this time ends its channel (the peer stopped reading).
  int sendTimeoutMs = 3000;
  // An accepted connection must deliver its first whole message within this time: an engine,
  // a manager or an application sends it right after connecting.
  int newConnectionTimeoutMs = 1000;
  // A member connection that came before its member's record waits this long for it.
  int heldConnectionTimeoutMs = 5000;
  // Set for an engine inside its client program: no manager or application channels. Its
  // news comes without the host name (the in-process engine looks it up off the engine's work).
  EngineClient* client = nullptr;
  // A handle that, when readable, cuts the loop's wait short (the client has asked something).
  int wakeFd = -1;
};

// Where each build of the engine looks for the recorder and player.
// First build: under the installation directory. Second build: beside the engine, in the
// directory taken from its command line.
std::string engineDirectoryFromCommandLine(const std::string& commandLine);
EngineConfig firstBuildPaths(EngineConfig config, const std::string& installDirectory);
EngineConfig secondBuildPaths(EngineConfig config, const std::string& engineDirectory);

// The engine daemon: the connection table, the single-threaded loop and the reading of each
// kind of channel. What the messages do is the session logic's; the daemon carries it out on
// its sockets.
class Engine final : private SessionOutput {
 public:
  explicit Engine(EngineConfig config);

  // Start-up in order. False when the listening socket cannot be bound; the program then
  // exits with code 0 (what a second engine on the same host does).
  bool startUp();
  // One pass of the loop: wait at most timeoutMs, then service every ready handle in the
  // fixed order: member slots, application slots, local channel, new connection, listener.
  void runOnce(int timeoutMs = 1000);
  // Stops an in-process engine: the session reset with no manager, every channel closed.
  void shutDown();

  const Session& session() const { return logic_.session(); }
  ArchiveState archiveState() const { return logic_.archiveState(); }
  SessionLogic& logic() { return logic_; }

 private:
  // A table entry. The serial tells a connection apart from a later one that got the same
  // handle, so readiness seen in one wait is never applied to another connection. Bytes are
  // gathered as they arrive and a message is served once it is whole, so no peer can hold the
  // loop in a read.
  struct Connection {
    net::Socket socket;
    net::Ipv4 peer = net::kNoAddress;
    std::uint64_t serial = 0;
    MessageAssembler input;
    bool peerClosed = false;       // the peer closed its end; what is buffered is served first
    int readError = 0;             // errno of a failed read, likewise after the buffered messages
    bool broken = false;           // a send could not complete: the stream is out of step
    std::uint32_t acceptedAt = 0;  // tick count, for the first-message deadline
    bool valid() const { return socket.valid(); }
    int fd() const { return socket.fd(); }
    // Something to serve without waiting for the socket.
    bool hasWork() const { return valid() && (input.hasMessage() || peerClosed || readError); }
    void close() { *this = Connection{}; }
  };
  Connection adopt(net::Socket socket, net::Ipv4 peer);

  // Logging.
  void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void logError(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Reading and writing. receive() gathers what has arrived when select found the handle
  // readable, and answers the next whole message, the loss of the channel, or nothing yet.
  void gather(Connection& c);
  std::optional<ReadStatus> receive(Connection& c, Message* m);
  int send(Connection& c, const MessageHeader& h, std::span<const std::uint8_t> payload);

  // The loop's services.
  bool readable(const Connection& c) const;
  bool due(const Connection& c) const { return readable(c) || c.hasWork(); }
  int waitTimeout(int timeoutMs) const;
  void closeSilentNewConnections();
  void closeUnclaimedHeldConnections();
  int newcomersFrom(net::Ipv4 peer) const;
  void closeBrokenChannels();
  void checkArchivePrograms();
  void serviceMember(int slot);
  void serviceApplication(int slot);
  void serviceLocal();
  void serviceNew(int index);
  void acceptConnections();
  void launch(const std::string& path, process::Process* record);

  // SessionOutput, on the connection table.
  void progress(const std::string& line) override;
  void error(const std::string& line) override;
  int sendToManager(const MessageHeader& h, std::span<const std::uint8_t> payload) override;
  int sendToApplication(int slot, const MessageHeader& h,
                        std::span<const std::uint8_t> payload) override;
  int sendToMember(int slot, const MessageHeader& h,
                   std::span<const std::uint8_t> payload) override;
  int sendOnPending(const MessageHeader& h, std::span<const std::uint8_t> payload) override;
  bool hasMemberChannel(int slot) const override;
  bool hasApplicationChannel(int slot) const override;
  bool hasPending() const override { return pending_.valid(); }
  int memberHandle(int slot) const override;
  std::vector<bool> connectMembers(std::span<const MemberTarget> targets) override;
  void moveMemberChannel(int from, int to) override;
  void closeMemberChannel(int slot) override;
  void closeApplicationChannel(int slot) override;
  void closePending() override { pending_.close(); }
  void pendingToMember(int slot) override;
  net::Ipv4 newPeer() const override { return new_.peer; }
  void keepNewAsManager() override;
  void keepNewAsPending() override;
  void keepNewAsMember(int slot) override;
  int keepNewAsApplication() override;
  void holdNewForMember(int claimed) override;
  int heldClaim(net::Ipv4 address) const override;
  void keepHeldAsMember(net::Ipv4 address, int slot) override;
  void closeHeld(net::Ipv4 address) override;
  bool isOwnAddress(net::Ipv4 address) const override;
  void closeEveryChannel() override;
  void startProgram(ArchiveProgram program) override;
  void stopProgram(ArchiveProgram program) override;
  std::uint32_t tickCount() override;
  void deliverToClient(int sender, int port, int tag, std::span<const std::uint8_t> data) override;

  EngineConfig config_;
  SessionLogic logic_;
  std::array<Connection, kMaxMembers> members_;
  std::array<Connection, kMaxApplications> applications_;
  Connection listener_;
  Connection local_;
  Connection pending_;
  // Connections whose first message has not arrived, each with its own deadline, so a host
  // that opens silent connections cannot keep an invitation out: no more than a few from one
  // address at a time.
  static constexpr int kMaxNewcomers = 8;
  static constexpr int kNewcomersPerAddress = 2;
  // Bounded, so a flood of connections cannot keep the loop from its channels.
  static constexpr int kAcceptsPerPass = 128;
  std::array<Connection, kMaxNewcomers> newcomers_;
  Connection new_;  // the one whose first message is being handled
  // Member connections waiting for their member's record (see holdNewForMember).
  struct Held {
    Connection connection;
    int claimed = -1;
  };
  std::array<Held, kMaxMembers> held_;
  // Connections refused for coming too many at once from one address, reported once a second.
  int refusedNewcomers_ = 0;
  std::uint32_t refusedReportedAt_ = 0;
  std::uint64_t nextSerial_ = 1;

  // Readiness seen by the last wait, by table entry, with the serial it was seen for.
  net::ReadSet readSet_;
  std::vector<std::pair<const Connection*, std::uint64_t>> polled_;

  process::Process recorder_;
  process::Process player_;
};

}  // namespace zep::engine

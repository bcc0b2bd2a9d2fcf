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
#include "platform/host.h"
#include "platform/net.h"
#include "platform/process.h"

namespace zep::engine {

enum SessionStatus { IDLE = 1, IN_SESSION = 2, NO_MANAGER = 3 };

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
  // An accepted connection must deliver its first whole message within this time.
  int newConnectionTimeoutMs = 5000;
};

// Where each build of the engine looks for the recorder and player.
// First build: under the installation directory. Second build: beside the engine, in the
// directory taken from its command line.
std::string engineDirectoryFromCommandLine(const std::string& commandLine);
EngineConfig firstBuildPaths(EngineConfig config, const std::string& installDirectory);
EngineConfig secondBuildPaths(EngineConfig config, const std::string& engineDirectory);

// The session record of one engine.
struct Session {
  SessionStatus status = NO_MANAGER;
  std::uint8_t number = 0;
  std::array<bool, kMaxMembers> present{};
  std::array<MemberRecord, kMaxMembers> members{};
  int count = 0;
  int localMember = -1;
  int pendingInviter = -1;
  MemberRecord heldInvitation;
  bool invitationHeld = false;
};

struct Application {
  bool present = false;
  std::uint16_t port = 0;
};

enum ArchiveState { kArchiveIdle = 0, kRecording = 1, kReplaying = 2 };

class Engine {
 public:
  explicit Engine(EngineConfig config);

  // Start-up in order. False when the listening socket cannot be bound; the program then
  // exits with code 0 (what a second engine on the same host does).
  bool startUp();
  // One pass of the loop: wait at most timeoutMs, then service every ready handle in the
  // fixed order: member slots, application slots, local channel, new connection, listener.
  void runOnce(int timeoutMs = 1000);

  const Session& session() const { return session_; }
  ArchiveState archiveState() const { return archive_; }

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
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Reading and writing. receive() gathers what has arrived when select found the handle
  // readable, and answers the next whole message, the loss of the channel, or nothing yet.
  void gather(Connection& c);
  std::optional<ReadStatus> receive(Connection& c, Message* m);
  int send(Connection& c, std::uint8_t tag, const MemberRecord& sender, const MemberRecord& target,
           std::span<const std::uint8_t> payload);
  MemberRecord ownRecord() const;
  void sendToManager(std::uint8_t tag, std::span<const std::uint8_t> payload);
  void sendToMembers(int destination, std::uint8_t tag, std::span<const std::uint8_t> payload);
  void sendToApplications(int slot, std::uint8_t tag, std::span<const std::uint8_t> payload);

  // The loop's services.
  bool readable(const Connection& c) const;
  bool due(const Connection& c) const { return readable(c) || c.hasWork(); }
  int waitTimeout(int timeoutMs) const;
  void closeSilentNewConnection();
  void closeBrokenChannels();
  void checkArchivePrograms();
  void serviceMember(int slot);
  void serviceApplication(int slot);
  void serviceLocal();
  void serviceNew();
  void acceptConnection();
  void closeEveryConnection();
  bool connectTo(net::Ipv4 address, Connection* out);

  // Dispatch by the channel's table.
  void onNewMessage(Message& m);
  void onLocalMessage(Message& m);
  void onMemberMessage(int slot, Message& m);
  void onApplicationMessage(int slot, Message& m);

  // Session operations.
  void reset();
  bool fromThisHost(const char* request);
  void attachManager();
  void createSession();
  void registerMember(const MemberRecord& record);
  bool canAdd(const MemberRecord& record) const;
  bool addMember(const MemberRecord& record);
  void deleteMember(int number);
  void setLocalMember(int number);
  MemberList memberList(std::int32_t word0) const;
  int freeMemberSlot() const;
  void invite(const Message& m);
  void receiveInvitation(const Message& m);
  void acceptInvitation();
  void declineInvitation();
  void memberAccepted(int slot, const Message& m);
  void memberRejected(int slot, const Message& m);
  void addRest(int slot, const Message& m);
  void remoteConnect(const Message& m);
  void leave();
  void quit();
  void loseMember(int slot);
  void reportMembers();
  void attachApplication(const Message& m);
  void detachApplication(int slot);
  int findApplication(int port) const;
  void routeToApplication(const AppMessage& a);
  void routeAppsData(const Message& m);
  void routeAppData(const Message& m);
  void startAppEverywhere(const Message& m);
  void startAppLocally(const Message& m);
  bool validMemberNumber(int number, const char* where);

  // Recorder and player.
  void launch(const std::string& path, process::Process* record);
  void startRecorder();
  void stopRecorder();
  void startPlayer();
  void stopPlayer();

  EngineConfig config_;
  std::array<Connection, kMaxMembers> members_;
  std::array<Connection, kMaxApplications> applications_;
  Connection listener_;
  Connection local_;
  Connection pending_;
  Connection new_;
  std::uint64_t nextSerial_ = 1;

  // Readiness seen by the last wait, by table entry, with the serial it was seen for.
  net::ReadSet readSet_;
  std::vector<std::pair<const Connection*, std::uint64_t>> polled_;

  Session session_;
  std::array<Application, kMaxApplications> registry_{};
  int applicationCount_ = 0;

  ArchiveState archive_ = kArchiveIdle;
  process::Process recorder_;
  process::Process player_;
};

}  // namespace zep::engine

// What each message does to the session, with no I/O of its own: invitations, the full mesh,
// leaving, the application registry, routing, and the recorder and player state. It is driven
// by the messages handed to it and tells a SessionOutput everything it would send, connect,
// move or close. The engine daemon implements the output on its sockets; an in-process host
// implements it on direct calls; tests implement it in memory.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/member_table.h"
#include "engine/messages.h"
#include "platform/net.h"

namespace zep::engine {

enum SessionStatus { IDLE = 1, IN_SESSION = 2, NO_MANAGER = 3 };
enum ArchiveState { kArchiveIdle = 0, kRecording = 1, kReplaying = 2 };
enum class ArchiveProgram { kRecorder, kPlayer };

// The session record of one engine.
struct Session {
  SessionStatus status = NO_MANAGER;
  std::uint8_t number = 0;
  MemberTable members;
  int localMember = -1;
  int pendingInviter = -1;
  MemberRecord heldInvitation;
  bool invitationHeld = false;
};

struct Application {
  bool present = false;
  std::uint16_t port = 0;
};

// Everything the session logic does to the world outside it. Channels are named by kind and
// slot: the manager's local channel, member slots 0..19, application slots 0..19, the pending
// invitation, and the new connection whose first message is being handled.
class SessionOutput {
 public:
  virtual ~SessionOutput() = default;

  virtual void progress(const std::string& line) = 0;  // the progress log
  virtual void error(const std::string& line) = 0;     // the error log

  // Sends one message; results as writeAll: 1 sent, 0 no such channel, -1 failed.
  virtual int sendToManager(const MessageHeader& h, std::span<const std::uint8_t> payload) = 0;
  virtual int sendToApplication(int slot, const MessageHeader& h,
                                std::span<const std::uint8_t> payload) = 0;
  virtual int sendToMember(int slot, const MessageHeader& h,
                           std::span<const std::uint8_t> payload) = 0;
  virtual int sendOnPending(const MessageHeader& h, std::span<const std::uint8_t> payload) = 0;

  virtual bool hasMemberChannel(int slot) const = 0;
  virtual bool hasApplicationChannel(int slot) const = 0;
  virtual bool hasPending() const = 0;
  // The handle the log texts name ("socket %d"); -1 when none.
  virtual int memberHandle(int slot) const = 0;

  // Opens member channels to other engines into their slots, all at once, so one unreachable
  // host costs one connect deadline however many members there are: whether each connected.
  struct MemberTarget {
    int slot;
    net::Ipv4 address;
  };
  virtual std::vector<bool> connectMembers(std::span<const MemberTarget> targets) = 0;
  bool connectMember(int slot, net::Ipv4 address) {
    MemberTarget target{slot, address};
    return connectMembers(std::span(&target, 1)).front();
  }
  virtual void moveMemberChannel(int from, int to) = 0;
  virtual void closeMemberChannel(int slot) = 0;
  virtual void closeApplicationChannel(int slot) = 0;
  virtual void closePending() = 0;
  virtual void pendingToMember(int slot) = 0;

  // Where the new connection goes once its first message is understood; a connection not
  // kept is closed by the caller.
  virtual net::Ipv4 newPeer() const = 0;
  virtual void keepNewAsManager() = 0;
  virtual void keepNewAsPending() = 0;
  virtual void keepNewAsMember(int slot) = 0;
  // The application slot it went to, -1 when every slot is taken.
  virtual int keepNewAsApplication() = 0;
  // A member connection that arrives before the record of its member waits, unread, for it:
  // at most one per remote address (a later one from there replaces it), closed by the host
  // when no record comes within a short deadline.
  virtual void holdNewForMember(int claimed) = 0;
  // The member number a connection held from the address claimed; -1 when none is held.
  virtual int heldClaim(net::Ipv4 address) const = 0;
  virtual void keepHeldAsMember(net::Ipv4 address, int slot) = 0;
  virtual void closeHeld(net::Ipv4 address) = 0;
  // Whether an address is this host's own (managers and applications come only from there).
  virtual bool isOwnAddress(net::Ipv4 address) const = 0;

  // Closes the manager's, every member's and every application's channel, the pending
  // invitation, member connections waiting for their record and the connection being handled;
  // connections whose first message has not come yet stay.
  virtual void closeEveryChannel() = 0;

  // Starts or ends the recorder or the player.
  virtual void startProgram(ArchiveProgram program) = 0;
  virtual void stopProgram(ArchiveProgram program) = 0;

  // Milliseconds since start, for the session number.
  virtual std::uint32_t tickCount() = 0;

  // In-process engines only: data for the program's own media objects from a member
  // (MEMBER_SEND_TO_APP with its tag and data; MEMBER_APPS_DATA as tag 52 and the whole
  // message).
  virtual void deliverToClient(int sender, int port, int tag, std::span<const std::uint8_t> data) {
    (void)sender, (void)port, (void)tag, (void)data;
  }
};

class SessionLogic {
 public:
  // A daemon serves a manager and applications over channels; an in-process engine is part of
  // its client, which calls the operations below instead and gets member data delivered.
  enum class Host { kDaemon, kInProcess };
  SessionLogic(SessionOutput& out, std::string userName, net::Ipv4 hostAddress,
               Host host = Host::kDaemon);

  // Start-up: reset, no manager, nothing recording.
  void startUp();

  // A whole message from a channel; the sender's address is already the peer's.
  void onNewMessage(Message& m);
  void onLocalMessage(Message& m);
  void onMemberMessage(int slot, Message& m);
  void onApplicationMessage(int slot, Message& m);

  // A channel broke (closed, read error, or a peer that stopped reading).
  void memberLost(int slot);
  void applicationLost(int slot);
  void managerLost();
  // The recorder or player ended by itself (or never started); exitCode -1 when unknown.
  void programEnded(ArchiveProgram program, int exitCode);

  const Session& session() const { return session_; }
  ArchiveState archiveState() const { return archive_; }

  // What an in-process engine's client calls in place of local-channel messages.
  void startInProcess();  // reset twice: no manager, then idle
  void create();
  void invite(const MemberRecord& invitee);  // creates a session first when there is none
  void accept() { acceptInvitation(); }
  void decline() { declineInvitation(); }
  void leaveSession();  // leave, without telling applications
  void quitSession();   // MEMBER_QUIT to every member
  // An AppMessage (port and tag big-endian, the data) to every member as MEMBER_SEND_TO_APP.
  void sendToApplication(int port, int tag, std::span<const std::uint8_t> data);
  // Edits of the local member table from a directory's news: no member is told, but a record
  // numbered below the local member (there before it) gets a member channel from this engine,
  // and a member deleted loses its channel. Numbers follow the directory's order of the
  // participants: a departure moves everyone after it down by one, on every host alike.
  void restartAsMember(int n, const MemberRecord& initiator);
  void addRecordAsMember(const MemberRecord& record);
  void deleteMembersAt(net::Ipv4 address);

 private:
  void connectToEarlierMember(const MemberRecord& record);
  void renumberMember(int from, int to);
  int memberAt(net::Ipv4 address) const;
  void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  MessageHeader header(std::uint8_t tag, const MemberRecord& target) const;
  MemberRecord ownRecord() const;
  void sendToManager(std::uint8_t tag, std::span<const std::uint8_t> payload);
  void sendToMembers(int destination, std::uint8_t tag, std::span<const std::uint8_t> payload);
  void sendToApplications(int slot, std::uint8_t tag, std::span<const std::uint8_t> payload);
  bool validMemberNumber(int number, const char* where);

  void reset();
  void closeEveryConnection();
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
  void dropEveryMember();
  void quit();
  void reportMembers();
  void attachApplication(const Message& m);
  void detachApplication(int slot);
  int findApplication(int port) const;
  void routeToApplication(const AppMessage& a);
  void routeAppsData(const Message& m);
  void routeAppData(const Message& m);
  void startAppEverywhere(const Message& m);
  void startAppLocally(const Message& m);
  std::optional<std::vector<std::uint8_t>> startAppPayload(const Message& m, ByteOrder from,
                                                           ByteOrder to);
  void startRecorder();
  void stopRecorder();
  void startPlayer();
  void stopPlayer();

  SessionOutput& out_;
  Host host_;
  std::string userName_;
  net::Ipv4 hostAddress_;
  Session session_;
  std::array<Application, kMaxApplications> registry_{};
  int applicationCount_ = 0;
  ArchiveState archive_ = kArchiveIdle;
  // A session made from a directory's news: the addresses of its participants in the
  // directory's order, which is the same on every host. A participant's member number is its
  // position, so every host numbers everyone alike whatever the arrivals and departures.
  std::vector<net::Ipv4> directoryOrder_;
};

}  // namespace zep::engine

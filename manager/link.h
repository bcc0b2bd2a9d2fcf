// The manager's side of the local channel to its engine, and of the short exchanges with a
// user server: the requests the panel sends, the listener that reads the engine's
// notifications, the member table, and the control callbacks through which notifications
// reach the panel.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "engine/member_table.h"
#include "engine/messages.h"
#include "manager/server_link.h"
#include "platform/host.h"
#include "platform/net.h"

namespace zep::manager {

inline constexpr std::uint16_t kUserServerPort = 4998;
inline constexpr std::uint8_t SERVER_SIGN_ON = 100;
inline constexpr std::uint8_t SERVER_SIGN_OFF = 101;
inline constexpr std::uint8_t SERVER_QUERY_USERS = 102;
inline constexpr std::uint8_t SERVER_USERS = 103;
inline constexpr int kMaxServerUsers = 100;
inline constexpr std::size_t kMemberNameSize = 70;
inline constexpr std::size_t kMemberNameUserWidth = 20;
inline constexpr std::size_t kMemberNameHostWidth = 50;

// The printable form of a member: user "@" host.
struct MemberName {
  std::string user;
  std::string host;
  std::string text() const { return user + "@" + host; }
  bool operator==(const MemberName&) const = default;
};

// Tag 103: a big-endian count and that many 70-byte entries.
std::vector<std::uint8_t> encodeServerUsers(const std::vector<MemberName>& users);
// The entries actually present, at most 100. Empty when the payload has no count.
std::optional<std::vector<MemberName>> decodeServerUsers(std::span<const std::uint8_t> payload);

// What a control callback receives: the member for member-related tags, the raw payload for
// CTL_START_APP and tag 103.
struct ControlEvent {
  int tag = 0;
  MemberName member;
  std::span<const std::uint8_t> payload;
};
using ControlCallback = std::function<void(const ControlEvent&)>;

// The first address of a host name or dotted address; 0 when unknown.
net::Ipv4 hostIdOf(const std::string& name);
// The name of an address by reverse lookup, else its dotted form.
std::string hostNameOf(net::Ipv4 address);
MemberName memberNameOf(const engine::MemberRecord& record);

struct LinkOptions {
  host::HostIdentity host;
  std::string installDirectory;  // where SERVERS.CFG is
  // Trace sink: nothing unless set (the program passes one when ZEP_TRACE=1).
  std::function<void(const std::string&)> trace;
  // Ends the process (no engine at start, engine gone).
  std::function<void(int)> exit = [](int code) { std::exit(code); };
  // A user-server exchange may take this long to connect, and as long again for the reply.
  int serverTimeoutMs = 5000;
};

class EngineLink {
 public:
  explicit EngineLink(LinkOptions options);

  // Connects to the engine and attaches as its manager; signs on to the user server.
  int linkStart();
  // Signs off, asks the engine to quit and closes the channel.
  void linkStop();

  void sessionCreate();
  void inviteMember(const std::string& user, const std::string& hostName);
  void joinSession(const MemberName& invitation);
  void deleteInvitation(const MemberName& invitation);
  void sendToApp(int port, std::uint16_t appTag, std::span<const std::uint8_t> data);
  void startApplication(int port);
  void saveInit() { sendRequest(engine::LOCAL_SAVE_INIT); }
  void saveClose() { sendRequest(engine::LOCAL_SAVE_CLOSE); }
  void restoreInit() { sendRequest(engine::LOCAL_RESTORE_INIT); }
  void restoreClose() { sendRequest(engine::LOCAL_RESTORE_CLOSE); }

  void setControlCallback(int tag, ControlCallback callback);
  void clearControlCallbacks();
  // One pass of the listener: waits up to timeoutMs and handles one message. False when
  // nothing was handled.
  bool pollLink(int timeoutMs = 500);

  // The user server named in SERVERS.CFG; 0 when none.
  net::Ipv4 readServerConfig();
  // The exchanges, each on a connection of its own, on the calling thread (never the window's).
  ServerStatus serverSignOn() { return serverExchange(SERVER_SIGN_ON, serverId_, idle_); }
  ServerStatus serverSignOff() { return serverExchange(SERVER_SIGN_OFF, serverId_, idle_); }
  // Asks the user server for its active users; a list (tag 103) reaches callback 103.
  ServerStatus queryServerUsers() { return serverExchange(SERVER_QUERY_USERS, serverId_, idle_); }
  // The same on the link's own thread, one after another; done (if given) runs there when the
  // exchange has ended, unless linkStop came first. False when too many wait already.
  bool serverInBackground(std::uint8_t tag, std::function<void(ServerStatus)> done = {});
  net::Ipv4 serverId() const { return serverId_; }

  bool present(int member) const;
  int localHandle() const { return localHandle_; }
  int socket() const { return socket_.fd(); }

 private:
  void trace(const std::string& text) const;
  engine::MessageHeader header(std::uint8_t tag) const;
  void send(std::uint8_t tag, std::span<const std::uint8_t> payload);
  void sendRequest(std::uint8_t tag) { send(tag, {}); }
  void sendInvitationAnswer(std::uint8_t tag, const MemberName& invitation, const char* verb);
  void dispatch(std::uint8_t tag, std::span<const std::uint8_t> payload);
  void callMember(int tag, std::span<const std::uint8_t> payload, bool traceUnknownHost);
  void call(int tag, const ControlEvent& event);
  ServerStatus serverExchange(std::uint8_t tag, net::Ipv4 server, const std::atomic<bool>& ending);

  LinkOptions options_;
  net::Socket socket_;
  std::mutex sendMutex_;  // the window and listener threads both send: one message at a time
  int localHandle_ = 0;
  engine::MemberTable members_;
  std::array<ControlCallback, 256> callbacks_{};
  bool firstStart_ = true;
  net::Ipv4 serverId_ = 0;
  const std::atomic<bool> idle_{false};  // what a call on the caller's thread is never told
  ServerWorker serverWorker_;            // last: its jobs use everything above
};

}  // namespace zep::manager

#include "manager/link.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "platform/bytes.h"

namespace zep::manager {

using namespace engine;

namespace {

constexpr std::array<int, 9> kCallbackTags = {
    CTL_INVITATION,    CTL_ACCEPTED,  CTL_REJECTED,           CTL_ADD_MEMBER,
    CTL_DELETE_MEMBER, CTL_START_APP, CTL_INVITATION_TIMEOUT, CTL_INVITATION_DELIVERED,
    SERVER_USERS};

bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

std::string signedAddress(net::Ipv4 a) {
  return std::to_string(static_cast<int>(a));
}

}  // namespace

std::vector<std::uint8_t> encodeServerUsers(const std::vector<MemberName>& users) {
  ByteWriter w;
  w.u32(static_cast<std::uint32_t>(users.size()), ByteOrder::kBig);
  for (const auto& u : users) {
    w.text(u.user, kMemberNameUserWidth);
    w.text(u.host, kMemberNameHostWidth);
  }
  return w.take();
}

std::optional<std::vector<MemberName>> decodeServerUsers(std::span<const std::uint8_t> payload) {
  ByteReader r(payload);
  std::int32_t count = r.i32(ByteOrder::kBig);
  if (!r.ok()) return std::nullopt;
  std::vector<MemberName> users;
  // Only the entries present, and at most the hundred the table holds.
  for (std::int32_t i = 0; i < count && i < kMaxServerUsers; ++i) {
    if (r.remaining() < kMemberNameSize) break;
    MemberName m;
    m.user = r.text(kMemberNameUserWidth, kMemberNameUserWidth - 1);
    m.host = r.text(kMemberNameHostWidth, kMemberNameHostWidth - 1);
    users.push_back(std::move(m));
  }
  return users;
}

net::Ipv4 hostIdOf(const std::string& name) {
  net::Ipv4 a = host::lookupAddress(name);
  return a == net::kNoAddress ? 0 : a;
}

std::string hostNameOf(net::Ipv4 address) {
  return host::lookupName(address);
}

MemberName memberNameOf(const MemberRecord& record) {
  MemberName m;
  m.user = record.name;
  m.host = hostNameOf(record.address).substr(0, kMemberNameHostWidth - 1);
  return m;
}

EngineLink::EngineLink(LinkOptions options) : options_(std::move(options)) {}

void EngineLink::trace(const std::string& text) const {
  if (options_.trace) options_.trace(text);
}

MessageHeader EngineLink::header(std::uint8_t tag) const {
  MessageHeader h;
  h.tag = tag;
  h.sender.name = options_.host.userName;
  h.sender.address = options_.host.address;
  return h;
}

void EngineLink::send(std::uint8_t tag, std::span<const std::uint8_t> payload) {
  std::lock_guard lock(sendMutex_);
  if (sendMessage(socket_.fd(), header(tag), payload) != 1) trace("Manager: write error\n");
}

int EngineLink::linkStart() {
  trace("Init\n");
  trace("WSA started up\n");
  trace("Socket intialized\n");
  trace("host id retrieved: " + signedAddress(options_.host.address) + "\n");
  net::Socket s;
  switch (
      net::connectTcp(options_.host.address, kEnginePort, options_.host.bindAddress, 5000, &s)) {
    case net::ConnectResult::kNoSocket:
      trace("Manager: can't open manage socket\n");
      return 0;
    case net::ConnectResult::kFailed:
      trace("Manager: can not connect to engine\n");
      options_.exit(0);
      return 0;
    case net::ConnectResult::kConnected:
      break;
  }
  socket_ = std::move(s);
  trace("Connected to engine\n");
  sendRequest(NEW_LOCAL_INIT);
  members_.clear();
  if (firstStart_) {
    clearControlCallbacks();
    firstStart_ = false;
  }
  if (readServerConfig() != 0) serverInBackground(SERVER_SIGN_ON);
  trace("Initialized\n");
  return 1;
}

void EngineLink::linkStop() {
  if (serverId_ != 0) serverInBackground(SERVER_SIGN_OFF);
  // Nothing reports to the panel from here on: its window may be about to go.
  serverWorker_.stopReports();
  sendRequest(LOCAL_QUIT);
  socket_.close();
}

void EngineLink::sessionCreate() {
  localHandle_ = 0;
  sendRequest(LOCAL_CREATE);
}

void EngineLink::inviteMember(const std::string& user, const std::string& hostName) {
  trace("Manager: invite member " + user + "@" + hostName + "\n");
  MemberRecord r;
  r.name = user;
  r.address = hostIdOf(hostName);
  trace("Manager: invite member " + user + "@" + signedAddress(r.address) + "\n");
  if (r.address == 0) {
    trace("Manager: wrong host name\n");
    return;
  }
  send(LOCAL_ADD_MEMBER, encodeMemberRecord(r));
}

void EngineLink::sendInvitationAnswer(std::uint8_t tag, const MemberName& invitation,
                                      const char* verb) {
  MemberRecord r;
  r.name = invitation.user;
  r.address = hostIdOf(invitation.host);
  if (r.address == 0) {
    trace("Manager: unknown host " + invitation.text() + " \n");
    return;
  }
  trace(std::string("Manager: ") + verb + " " + invitation.text() + " \n");
  send(tag, encodeMemberRecord(r));
}

void EngineLink::joinSession(const MemberName& invitation) {
  sendInvitationAnswer(LOCAL_JOIN, invitation, "join session");
}

void EngineLink::deleteInvitation(const MemberName& invitation) {
  sendInvitationAnswer(LOCAL_DELETE_INVITATION, invitation, "delete invitation from");
}

void EngineLink::sendToApp(int port, std::uint16_t appTag, std::span<const std::uint8_t> data) {
  AppMessage m;
  m.port = port;
  m.tag = appTag;
  m.data.assign(data.begin(), data.end());
  // The manager's form of a message without data: one zero data byte and the pad.
  if (m.data.empty()) m.data.push_back(0);
  auto payload = encodeAppMessage(m, kLocalOrder);
  trace("Manager: Send to app port " + std::to_string(port) + ", msg size " +
        std::to_string(payload.size()) + "\n");
  send(LOCAL_SEND_TO_APP, payload);
}

void EngineLink::startApplication(int port) {
  send(LOCAL_START_APP, encodeNumber(port, ByteOrder::kLittle));
}

void EngineLink::setControlCallback(int tag, ControlCallback callback) {
  if (std::find(kCallbackTags.begin(), kCallbackTags.end(), tag) == kCallbackTags.end()) {
    trace("Manager: Unknown control callback type\n");
    return;
  }
  callbacks_[static_cast<std::size_t>(tag)] = std::move(callback);
}

void EngineLink::clearControlCallbacks() {
  for (auto& c : callbacks_) c = nullptr;
}

bool EngineLink::present(int member) const {
  return members_.present(member);
}

bool EngineLink::pollLink(int timeoutMs) {
  if (!socket_.valid() || !readable(socket_.fd(), timeoutMs)) return false;
  Message m;
  switch (receiveMessage(socket_.fd(), &m)) {
    case ReadStatus::kOk:
      break;
    case ReadStatus::kHeaderClosed:
    case ReadStatus::kPayloadClosed:
      trace("Manager: engine killed, exitting...\n");
      socket_.close();
      options_.exit(0);
      return false;
    default:
      // After a read error or an over-long header the rest of the stream would be read out
      // of step: the channel ends, and with it the manager, as when the engine closes it.
      trace("Manager: data reading error\n");
      socket_.close();
      options_.exit(0);
      return false;
  }
  trace("Data length " + std::to_string(m.header.length) + "\n");
  dispatch(m.header.tag, m.payload);
  return true;
}

void EngineLink::call(int tag, const ControlEvent& event) {
  auto& callback = callbacks_[static_cast<std::size_t>(tag)];
  if (callback) callback(event);
}

void EngineLink::callMember(int tag, std::span<const std::uint8_t> payload, bool traceUnknownHost) {
  auto r = decodeMemberRecord(payload);
  if (!r) {
    trace("Manager: short member record\n");
    return;
  }
  ControlEvent e;
  e.tag = tag;
  e.member = memberNameOf(*r);
  if (e.member.host.empty()) {
    if (traceUnknownHost) trace("Manager: Host unknown\n");
    return;
  }
  call(tag, e);
}

void EngineLink::dispatch(std::uint8_t tag, std::span<const std::uint8_t> payload) {
  switch (tag) {
    case CTL_INVITATION:
      trace("Manager: Invitation received\n");
      callMember(tag, payload, true);
      break;
    case CTL_ACCEPTED:
      trace("Manager: Invitation accepted\n");
      callMember(tag, payload, false);
      break;
    case CTL_REJECTED:
      trace("Manager: Invitation rejected\n");
      callMember(tag, payload, true);
      break;
    case CTL_MEMBERS:
      break;
    case CTL_ADD_MEMBER: {
      trace("Manager: add member\n");
      auto r = decodeMemberRecord(payload);
      if (!r || r->number >= kMaxMembers) return;  // the table has twenty slots
      members_.put(*r);
      trace("Manager: Member added locally " + r->name + "@" + signedAddress(r->address) +
            " handle " + std::to_string(r->number) + "\n");
      ControlEvent e;
      e.tag = tag;
      e.member = memberNameOf(*r);
      trace("Manager: Member added locally " + e.member.text() + " handle " +
            std::to_string(r->number) + "\n");
      call(tag, e);
      break;
    }
    case CTL_DELETE_MEMBER: {
      trace("Manager: delete member\n");
      auto n = decodeNumber(payload, ByteOrder::kLittle);
      if (!n || *n < 0 || *n >= kMaxMembers) return;
      members_.remove(*n);
      ControlEvent e;
      e.tag = tag;
      // The member as it was stored (the table keeps a removed record), not the bare number.
      e.member = memberNameOf(members_[*n]);
      call(tag, e);
      break;
    }
    case CTL_LOCAL_MEMBER:
      if (auto n = decodeNumber(payload, ByteOrder::kLittle)) {
        trace("Manager: local handle " + std::to_string(*n) + "\n");
        localHandle_ = *n;
      }
      break;
    case CTL_START_APP:
    case SERVER_USERS: {
      trace(tag == CTL_START_APP ? "Manager: start application\n" : "Manager: server users\n");
      ControlEvent e;
      e.tag = tag;
      e.payload = payload;
      call(tag, e);
      break;
    }
    case CTL_INVITATION_TIMEOUT:
      trace("Manager: invitation timeout\n");
      callMember(tag, payload, true);
      break;
    case CTL_INVITATION_DELIVERED:
      trace("Manager: invitation delivered\n");
      callMember(tag, payload, true);
      break;
    default:
      trace("Manager: wrong message tag " + std::to_string(tag) + "\n");
  }
}

net::Ipv4 EngineLink::readServerConfig() {
  serverId_ = 0;
  std::ifstream file(options_.installDirectory + "/SERVERS.CFG");
  if (!file) return 0;
  std::string line;
  std::getline(file, line);
  line = line.substr(0, 48);  // 49 characters with the line break
  if (!line.empty() && line.back() == '\r') line.pop_back();
  serverId_ = hostIdOf(line);
  trace("Manager: server " + line + ", id " + signedAddress(serverId_) + "\n");
  return serverId_;
}

bool EngineLink::serverInBackground(std::uint8_t tag, std::function<void(ServerStatus)> done) {
  const net::Ipv4 server = serverId_;
  bool queued = serverWorker_.post([this, tag, server, done](const std::atomic<bool>& ending) {
    ServerStatus status = serverExchange(tag, server, ending);
    if (done) serverWorker_.report([&] { done(status); });
  });
  if (!queued) trace("Manager: user server busy\n");
  return queued;
}

ServerStatus EngineLink::serverExchange(std::uint8_t tag, net::Ipv4 server,
                                        const std::atomic<bool>& ending) {
  if (server == 0) return ServerStatus::kNotConfigured;
  // A sign-off still waiting when the link goes keeps its end short.
  constexpr int kEndingConnectMs = 1000;
  const int connectMs =
      ending ? std::min(options_.serverTimeoutMs, kEndingConnectMs) : options_.serverTimeoutMs;
  net::Socket s;
  switch (net::connectTcp(server, kUserServerPort, options_.host.bindAddress, connectMs, &s)) {
    case net::ConnectResult::kNoSocket:
      std::fprintf(stderr, "Manager: socket opening error\n");
      return ServerStatus::kNoSocket;
    case net::ConnectResult::kFailed:
      trace("Manager: cannot connect to server\n");
      return ServerStatus::kCannotConnect;
    case net::ConnectResult::kConnected:
      break;
  }
  // A server that does not read cannot hold the request's send either.
  if (sendMessage(s.fd(), header(tag), {}, options_.serverTimeoutMs) != 1) {
    trace("Manager: write error\n");
    return ServerStatus::kWriteError;
  }
  if (tag != SERVER_QUERY_USERS) return ServerStatus::kDone;
  trace("Manager: read server message\n");
  // However the reply trickles in, or stops half way, the exchange ends by the deadline.
  Message m;
  ServerStatus status = readServerReply(s.fd(), options_.serverTimeoutMs, &m, ending);
  switch (status) {
    case ServerStatus::kDone:
      break;
    case ServerStatus::kNoAnswer:
      trace("Manager: server does not answer\n");
      return status;
    case ServerStatus::kCutShort:
      trace("Manager: server reply cut short\n");
      return status;
    case ServerStatus::kClosed:
      trace("Mananger: server connection broken\n");
      return status;
    case ServerStatus::kClosedInPayload:
      trace("Manager: server connection broken\n");
      return status;
    case ServerStatus::kReadError:
      trace("Manager: data reading error\n");
      return status;
    default:
      return status;
  }
  // Only the list is taken from a user server: engine notifications come from the engine.
  if (m.header.tag != SERVER_USERS) {
    trace("Manager: server reply with tag " + std::to_string(m.header.tag) + " ignored\n");
    return ServerStatus::kWrongReply;
  }
  trace("Manager: server users\n");
  serverWorker_.report([&] {
    ControlEvent e;
    e.tag = SERVER_USERS;
    e.payload = m.payload;
    call(SERVER_USERS, e);
  });
  return ServerStatus::kDone;
}

}  // namespace zep::manager

#include "engine/session_logic.h"

#include <algorithm>
#include <cstdio>

namespace zep::engine {

namespace {
int asSigned(net::Ipv4 address) {
  return static_cast<int>(address);
}
}  // namespace

MemberRecord SessionLogic::ownRecord() const {
  MemberRecord r;
  r.number = static_cast<std::uint8_t>(session_.localMember);
  r.name = userName_;
  r.address = hostAddress_;
  return r;
}

SessionLogic::SessionLogic(SessionOutput& out, std::string userName, net::Ipv4 hostAddress,
                           Host host)
    : out_(out), host_(host), userName_(std::move(userName)), hostAddress_(hostAddress) {}

void SessionLogic::log(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  out_.progress(line);
}

void SessionLogic::fail(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  out_.error(line);
}

MessageHeader SessionLogic::header(std::uint8_t tag, const MemberRecord& target) const {
  MessageHeader h;
  h.tag = tag;
  h.session = session_.number;
  h.sender = ownRecord();
  h.target = target;
  return h;
}

void SessionLogic::startUp() {
  reset();
  session_.status = NO_MANAGER;
  archive_ = kArchiveIdle;
}

void SessionLogic::sendToManager(std::uint8_t tag, std::span<const std::uint8_t> payload) {
  out_.sendToManager(header(tag, {}), payload);
}

void SessionLogic::sendToMembers(int destination, std::uint8_t tag,
                                 std::span<const std::uint8_t> payload) {
  log("Engine: Send message to member %d\n", destination);
  auto sendTo = [&](int i) {
    log("User %d, socket %d\n", i, out_.memberHandle(i));
    return out_.sendToMember(i, header(tag, session_.members[i]), payload);
  };
  auto other = [&](int i) { return session_.members.present(i) && i != session_.localMember; };
  if (destination > 0) {
    if (destination < kMaxMembers && other(destination)) sendTo(destination);
  } else if (destination == 0) {
    for (int i = 0; i < kMaxMembers; ++i)
      if (other(i)) {
        sendTo(i);
        break;
      }
  } else {
    // A member without a channel yet (its connection has not arrived, or could not be made)
    // is skipped; only a real send failure ends the round.
    for (int i = 0; i < kMaxMembers; ++i)
      if (other(i) && out_.hasMemberChannel(i) && sendTo(i) < 0) break;
  }
}

void SessionLogic::sendToApplications(int slot, std::uint8_t tag,
                                      std::span<const std::uint8_t> payload) {
  log("Send app %d msg tag %d\n", slot, tag);
  MessageHeader h = header(tag, {});
  if (slot >= 0) {
    if (slot < kMaxApplications) out_.sendToApplication(slot, h, payload);
    return;
  }
  for (int k = 0; k < kMaxApplications; ++k)
    if (out_.hasApplicationChannel(k)) out_.sendToApplication(k, h, payload);
}

bool SessionLogic::validMemberNumber(int number, const char* where) {
  if (number >= 0 && number < kMaxMembers) return true;
  fail("Engine: member number %d out of range in %s -- ignored\n", number, where);
  return false;
}

// --- session record ---

void SessionLogic::reset() {
  session_.status = IDLE;
  directoryOrder_.clear();
  session_.localMember = -1;
  session_.members.clear();
  for (auto& a : registry_) a = {};
  applicationCount_ = 0;
}

void SessionLogic::registerMember(const MemberRecord& record) {
  log("Engine: session member %s@%d\n", record.name.c_str(), asSigned(record.address));
  session_.members.put(record);
  auto payload = encodeMemberRecord(record);
  sendToManager(CTL_ADD_MEMBER, payload);
  sendToApplications(-1, CTL_ADD_MEMBER, payload);
  // A connection from the member that came before its record becomes its channel now, if it
  // claimed the number the record gives.
  int claim = out_.heldClaim(record.address);
  if (claim < 0) return;
  const bool byAddress = !directoryOrder_.empty();
  if ((claim == record.number || byAddress) && !out_.hasMemberChannel(record.number)) {
    out_.keepHeldAsMember(record.address, record.number);
    log("Member %d connected, socket %d\n", record.number, out_.memberHandle(record.number));
    return;
  }
  if (out_.hasMemberChannel(record.number))
    fail("Engine: connection from %s waited for member %d, which is connected -- closed\n",
         net::formatAddress(record.address).c_str(), record.number);
  else
    fail("Engine: connection from %s claimed member %d, announced as %d -- closed\n",
         net::formatAddress(record.address).c_str(), claim, record.number);
  out_.closeHeld(record.address);
}

int SessionLogic::memberAt(net::Ipv4 address) const {
  for (int i = 0; i < kMaxMembers; ++i)
    if (session_.members.present(i) && session_.members[i].address == address) return i;
  return -1;
}

bool SessionLogic::canAdd(const MemberRecord& record) const {
  if (session_.status != IN_SESSION) return false;
  if (record.number >= kMaxMembers) return false;
  return !session_.members.holds(record) && !session_.members.present(record.number);
}

bool SessionLogic::addMember(const MemberRecord& record) {
  if (session_.status != IN_SESSION) return false;
  if (!validMemberNumber(record.number, "member record")) return false;
  if (session_.members.holds(record)) return false;
  if (session_.members.present(record.number)) {
    fail("Engine: member number %d is taken -- record ignored\n", record.number);
    return false;
  }
  registerMember(record);
  return true;
}

void SessionLogic::deleteMember(int number) {
  if (!session_.members.remove(number)) return;
  auto payload = encodeNumber(number, ByteOrder::kLittle);
  sendToManager(CTL_DELETE_MEMBER, payload);
  sendToApplications(-1, CTL_DELETE_MEMBER, payload);
}

void SessionLogic::setLocalMember(int number) {
  session_.localMember = number;
  log("Engine: session set local member %d\n", number);
  sendToApplications(-1, CTL_LOCAL_MEMBER, encodeNumber(number, ByteOrder::kLittle));
}

MemberList SessionLogic::memberList(std::int32_t word0) const {
  MemberList list;
  list.word0 = word0;
  list.records = session_.members.records();
  return list;
}

int SessionLogic::freeMemberSlot() const {
  for (int i = 1; i < kMaxMembers; ++i)
    // A member known without a channel (one a directory conference announced) keeps its slot.
    if (!out_.hasMemberChannel(i) && !session_.members.present(i) && i != session_.localMember)
      return i;
  return -1;
}

// --- dispatch ---

void SessionLogic::onNewMessage(Message& m) {
  // An in-process engine has no manager or application channels to give.
  if (host_ == Host::kInProcess && m.header.tag != NEW_REMOTE_CONNECT &&
      m.header.tag != NEW_REMOTE_INVITED) {
    fail("Engine: Unknown new tag\n");
    return;
  }
  switch (m.header.tag) {
    case NEW_LOCAL_INIT:
      if (fromThisHost("manager")) attachManager();
      break;
    case NEW_REMOTE_CONNECT:
      remoteConnect(m);
      break;
    case NEW_REMOTE_INVITED:
      receiveInvitation(m);
      break;
    case NEW_APP_ATTACH:
      if (fromThisHost("application")) attachApplication(m);
      break;
    default:
      fail("Engine: Unknown new tag\n");
  }
}

void SessionLogic::onLocalMessage(Message& m) {
  switch (m.header.tag) {
    case LOCAL_CREATE:
      log("Engine: local session create\n");
      createSession();
      break;
    case LOCAL_QUIT:
      log("Engine: local session quit\n");
      quit();
      break;
    case LOCAL_ADD_MEMBER:
      log("Engine: local session add member\n");
      invite(m);
      break;
    case LOCAL_JOIN:
      log("Engine: local session join\n");
      acceptInvitation();
      break;
    case LOCAL_DELETE_INVITATION:
      declineInvitation();
      break;
    case LOCAL_GET_MEMBERS:
      log("Engine: local session get mebers\n");
      reportMembers();
      break;
    case LOCAL_SEND_TO_APP:
      log("Engine: local session send to application\n");
      if (auto a = decodeAppMessage(m.payload, kLocalOrder))
        routeToApplication(*a);
      else
        fail("Engine: short application message -- dropped\n");
      break;
    case LOCAL_START_APP:
      log("Engine: local session start application\n");
      startAppEverywhere(m);
      break;
    case LOCAL_LEAVE:
      leave();
      break;
    case LOCAL_SAVE_INIT:
      log("Engine: local session save init\n");
      startRecorder();
      break;
    case LOCAL_SAVE_CLOSE:
      log("Engine: local session save close\n");
      stopRecorder();
      break;
    case LOCAL_RESTORE_INIT:
      log("Engine: local session restore init\n");
      startPlayer();
      break;
    case LOCAL_RESTORE_CLOSE:
      log("Engine: local session restore close\n");
      stopPlayer();
      break;
    default:
      fail("Engine: Unknown local tag\n");
  }
}

void SessionLogic::onMemberMessage(int slot, Message& m) {
  switch (m.header.tag) {
    case MEMBER_ACCEPT:
      log("Engine: remote session accept\n");
      memberAccepted(slot, m);
      break;
    case MEMBER_QUIT:
      log("Engine: remote session quit\n");
      memberLost(slot);
      break;
    case MEMBER_REJECT:
      log("Engine: remote: session reject\n");
      memberRejected(slot, m);
      break;
    case MEMBER_ADD_MEMBER:
      log("Engine: remote session add member\n");
      if (auto r = decodeMemberRecord(m.payload))
        addMember(*r);
      else
        fail("Engine: short member record -- dropped\n");
      break;
    case MEMBER_ADD_REST:
      log("Engine: remote session add rest\n");
      addRest(slot, m);
      break;
    case MEMBER_SEND_TO_APP:
      log("Engine: remote session send to application\n");
      if (auto a = decodeAppMessage(m.payload, kMemberOrder)) {
        if (host_ == Host::kInProcess)
          out_.deliverToClient(slot, a->port, a->tag, a->data);
        else
          routeToApplication(*a);
      } else {
        fail("Engine: short application message -- dropped\n");
      }
      break;
    case MEMBER_APPS_DATA:
      log("Engine: remote session send applications data\n");
      if (host_ == Host::kInProcess) {
        if (auto a = decodeAppMessage(m.payload, kMemberOrder))
          out_.deliverToClient(slot, a->port, CTL_PRIORITY_DATA, encodeAppMessage(*a, kLocalOrder));
      } else {
        routeAppsData(m);
      }
      break;
    case MEMBER_START_APP:
      log("Engine: remote session start application\n");
      if (host_ == Host::kDaemon) startAppLocally(m);
      break;
    default:
      fail("Engine: Unknown member tag %d\n", m.header.tag);
  }
}

void SessionLogic::onApplicationMessage(int slot, Message& m) {
  switch (m.header.tag) {
    case APP_DETACH:
      detachApplication(slot);
      break;
    case APP_DATA:
      routeAppData(m);
      break;
    default:
      fail("Engine: Unknown application tag %d\n", m.header.tag);
  }
}

// --- operations ---

// Only this host's own manager and media programs may use the local and application channels:
// a manager can start programs and speak for this host, and an application learns the members.
bool SessionLogic::fromThisHost(const char* request) {
  if (out_.isOwnAddress(out_.newPeer())) return true;
  fail("Engine: %s connection from %s refused -- closed\n", request,
       net::formatAddress(out_.newPeer()).c_str());
  return false;
}

void SessionLogic::attachManager() {
  reset();
  out_.keepNewAsManager();
  if (session_.invitationHeld) {
    sendToManager(CTL_INVITATION, encodeMemberRecord(session_.heldInvitation));
    session_.invitationHeld = false;
  }
}

void SessionLogic::createSession() {
  if (session_.status != IDLE) {
    log("Engine: session already created -- status %d\n", session_.status);
    return;
  }
  session_.number = static_cast<std::uint8_t>(out_.tickCount() & 0xFF);
  MemberRecord own = ownRecord();
  own.number = 0;
  log("Engine: session initiator %s@%d\n", own.name.c_str(), asSigned(own.address));
  session_.status = IN_SESSION;
  if (host_ == Host::kInProcess) {
    // The client learns its own number before its own record arrives.
    setLocalMember(0);
    registerMember(own);
  } else {
    registerMember(own);
    setLocalMember(0);
  }
}

void SessionLogic::invite(const Message& m) {
  auto invitee = decodeMemberRecord(m.payload);
  if (!invitee) {
    fail("Engine: short add member request -- ignored\n");
    return;
  }
  auto payload = encodeMemberRecord(*invitee);
  log("Engine: invitation send to %s@%d\n", invitee->name.c_str(), asSigned(invitee->address));
  // Without a session of our own there is no member number to give the invitee.
  if (session_.status != IN_SESSION || session_.localMember < 0) {
    fail("Engine: no session -- invitation not sent\n");
    sendToManager(CTL_INVITATION_TIMEOUT, payload);
    return;
  }
  auto list = encodeMemberList(memberList(session_.localMember), ByteOrder::kLittle);
  int slot = freeMemberSlot();
  if (slot < 0) {
    fail("Engine: no free member slot -- invitation not sent\n");
    sendToManager(CTL_INVITATION_TIMEOUT, payload);
    return;
  }
  if (!out_.connectMember(slot, invitee->address)) {
    fail("Engine: cannot connect to remote engine\n");
    log("Engine: cannot connect\n");
    sendToManager(CTL_INVITATION_TIMEOUT, payload);
    return;
  }
  log("Engine: send new message to member %d, socket %d\n", slot, out_.memberHandle(slot));
  MemberRecord target = *invitee;
  target.number = static_cast<std::uint8_t>(slot);
  out_.sendToMember(slot, header(NEW_REMOTE_INVITED, target), list);
  log("Engine: invitation received\n");
  sendToManager(CTL_INVITATION_DELIVERED, payload);
}

void SessionLogic::receiveInvitation(const Message& m) {
  auto list = decodeMemberList(m.payload, ByteOrder::kLittle);
  if (!list) {
    fail("Engine: short invitation -- closed\n");
    return;
  }
  // A newer invitation replaces one still waiting for an answer.
  out_.keepNewAsPending();
  std::int32_t raw =
      static_cast<std::int32_t>(ByteReader(std::span(m.payload).first(4)).u32(ByteOrder::kLittle));
  session_.pendingInviter = list->list.word0;
  log("Handle %ld\n", static_cast<long>(raw));
  log("Handle %ld\n", static_cast<long>(session_.pendingInviter));
  const MemberRecord& inviter = m.header.sender;
  if (session_.status == IN_SESSION || !validMemberNumber(session_.pendingInviter, "invitation")) {
    log("Engine: session exists -- reject\n");
    out_.sendOnPending(header(MEMBER_REJECT, inviter), {});
    out_.closePending();
    return;
  }
  if (session_.status == IDLE) {
    log("Engine: transmit invitation from %s@%d to manager\n", inviter.name.c_str(),
        asSigned(inviter.address));
    sendToManager(CTL_INVITATION, encodeMemberRecord(inviter));
    return;
  }
  log("Engine: start manager\n");
  session_.heldInvitation = inviter;
  session_.invitationHeld = true;
}

void SessionLogic::acceptInvitation() {
  if (!out_.hasPending()) {
    fail("Engine: no pending invitation to accept\n");
    return;
  }
  // A session made here meanwhile cannot be merged into the inviter's: refuse cleanly, so the
  // inviter does not count this host as a member.
  if (session_.status == IN_SESSION) {
    log("Engine: session exists -- reject\n");
    out_.sendOnPending(header(MEMBER_REJECT, {}), {});
    out_.closePending();
    return;
  }
  out_.sendOnPending(header(MEMBER_ACCEPT, {}), {});
  out_.pendingToMember(session_.pendingInviter);
}

void SessionLogic::declineInvitation() {
  reset();
  out_.sendOnPending(header(MEMBER_REJECT, {}), {});
  out_.closePending();
}

void SessionLogic::memberAccepted(int slot, const Message& m) {
  MemberRecord joining = m.header.sender;
  joining.number = static_cast<std::uint8_t>(slot);
  // No longer in a session, or the same user of the same host already present: the invitee
  // is turned away instead of being left half-joined, and the manager hears of it.
  if (!canAdd(joining)) {
    fail("Engine: %s@%d cannot be added -- invitation withdrawn\n", joining.name.c_str(),
         asSigned(joining.address));
    out_.sendToMember(slot, header(MEMBER_REJECT, joining), {});
    out_.closeMemberChannel(slot);
    sendToManager(CTL_REJECTED, encodeMemberRecord(joining));
    return;
  }
  sendToMembers(-1, MEMBER_ADD_MEMBER, encodeMemberRecord(joining));
  addMember(joining);
  log("Engine: Send add rest with %d members\n", session_.members.count());
  auto list = encodeMemberList(memberList(0), ByteOrder::kBig);
  sendToManager(CTL_ACCEPTED, encodeMemberRecord(joining));
  sendToMembers(slot, MEMBER_ADD_REST, list);
}

void SessionLogic::memberRejected(int slot, const Message& m) {
  sendToManager(CTL_REJECTED, encodeMemberRecord(m.header.sender));
  out_.closeMemberChannel(slot);
}

void SessionLogic::addRest(int slot, const Message& m) {
  auto decoded = decodeMemberList(m.payload, ByteOrder::kBig);
  if (!decoded || decoded->list.records.empty()) {
    fail("Engine: member list without members -- ignored\n");
    return;
  }
  if (decoded->truncated)
    fail("Engine: member list announces %u members but holds %zu -- using those present\n",
         decoded->announced, decoded->list.records.size());
  if (session_.status != IDLE) {
    log("Engine: session already created -- status %d\n", session_.status);
    return;
  }
  int local = m.header.target.number;
  if (!validMemberNumber(local, "own member number")) return;
  session_.number = m.header.session;

  std::vector<MemberRecord> records;
  for (const auto& r : decoded->list.records)
    if (validMemberNumber(r.number, "member list")) records.push_back(r);
  if (records.empty()) return;

  const MemberRecord& first = records.front();
  log("Engine: session initiator %s@%d\n", first.name.c_str(), asSigned(first.address));
  session_.status = IN_SESSION;
  registerMember(first);
  setLocalMember(local);

  std::vector<SessionOutput::MemberTarget> targets;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const MemberRecord& r = records[i];
    if (i > 0 && !addMember(r)) continue;
    if (r.number == local || r.number == slot) continue;
    if (out_.hasMemberChannel(r.number)) {
      int free = freeMemberSlot();
      if (free < 0) {
        fail("Engine: no free member slot -- member %d not connected\n", r.number);
        continue;
      }
      out_.moveMemberChannel(r.number, free);
    }
    targets.push_back({r.number, r.address});
  }
  auto connected = out_.connectMembers(targets);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!connected[i]) {
      fail("Engine: cannot connect to remote engine\n");
      continue;
    }
    const int n = targets[i].slot;
    out_.sendToMember(n, header(NEW_REMOTE_CONNECT, session_.members[n]), {});
  }
}

void SessionLogic::remoteConnect(const Message& m) {
  int n = m.header.sender.number;
  if (!validMemberNumber(n, "connect")) return;
  // A member that left, or never was in a session, keeps no channels: the connecting engine
  // sees this one close and drops us as a member.
  if (session_.status != IN_SESSION) {
    fail("Engine: member connection while not in a session -- closed\n");
    return;
  }
  // A member channel is only ever the known member's, from its own address, and never
  // replaces a live one: a stranger cannot take over a member or speak for it.
  const std::string from = net::formatAddress(out_.newPeer());
  int known = memberAt(out_.newPeer());
  // A directory-made session knows its members by their addresses alone: the number a member
  // connects under is its own count of the participants, which may be ahead of or behind
  // this host's (a departure not yet heard of on one side), so it is only a hint.
  const bool byAddress = !directoryOrder_.empty();
  if (byAddress) {
    if (known < 0) {
      log("Engine: connection from %s waits for its participant's announcement\n", from.c_str());
      out_.holdNewForMember(n);
      return;
    }
    n = known;
  }
  // Nobody connects as this host.
  if (n == session_.localMember) {
    fail("Engine: member connection under the local member's number -- closed\n");
    return;
  }
  if (known >= 0 && known != n) {
    fail("Engine: connection from %s claims member %d but that host is member %d -- refused\n",
         from.c_str(), n, known);
    return;
  }
  if (out_.hasMemberChannel(n)) {
    fail("Engine: connection from %s claims member %d, which is connected -- refused\n",
         from.c_str(), n);
    return;
  }
  if (known < 0 && session_.members.present(n)) {
    fail("Engine: connection from %s claims member %d, which is at %s -- refused\n", from.c_str(),
         n, net::formatAddress(session_.members[n].address).c_str());
    return;
  }
  if (known < 0) {
    // The joiner's connect can overtake the news of its arrival: it waits for the record.
    log("Engine: connection from %s as member %d waits for its announcement\n", from.c_str(), n);
    out_.holdNewForMember(n);
    return;
  }
  out_.keepNewAsMember(n);
  log("Member %d connected, socket %d\n", n, out_.memberHandle(n));
}

void SessionLogic::leave() {
  sendToMembers(-1, MEMBER_QUIT, {});
  dropEveryMember();
  sendToApplications(-1, CTL_QUIT, {});
  reset();
}

void SessionLogic::dropEveryMember() {
  for (int i = 0; i < kMaxMembers; ++i) {
    if (!session_.members.present(i) || i == session_.localMember) continue;
    deleteMember(i);
    out_.closeMemberChannel(i);
  }
  // Channels of invitees that have not answered yet go too.
  for (int i = 0; i < kMaxMembers; ++i) out_.closeMemberChannel(i);
}

void SessionLogic::quit() {
  sendToMembers(-1, MEMBER_QUIT, {});
  sendToApplications(-1, CTL_QUIT, {});
  closeEveryConnection();
}

// --- the in-process engine's client operations ---

void SessionLogic::startInProcess() {
  reset();
  session_.status = NO_MANAGER;
  reset();
}

void SessionLogic::create() {
  log("Engine: local session create\n");
  createSession();
}

void SessionLogic::invite(const MemberRecord& invitee) {
  if (session_.status == IDLE) create();
  Message m;
  m.header.tag = LOCAL_ADD_MEMBER;
  m.payload = encodeMemberRecord(invitee);
  log("Engine: local session add member\n");
  invite(m);
}

void SessionLogic::leaveSession() {
  sendToMembers(-1, MEMBER_QUIT, {});
  dropEveryMember();
  reset();
}

void SessionLogic::quitSession() {
  sendToMembers(-1, MEMBER_QUIT, {});
}

void SessionLogic::sendToApplication(int port, int tag, std::span<const std::uint8_t> data) {
  AppMessage a;
  a.port = port;
  a.tag = static_cast<std::uint16_t>(tag);
  a.data.assign(data.begin(), data.end());
  sendToMembers(-1, MEMBER_SEND_TO_APP, encodeAppMessage(a, kMemberOrder));
}

void SessionLogic::restartAsMember(int n, const MemberRecord& initiator) {
  // A count from the directory that no session can hold changes nothing.
  if (!validMemberNumber(n - 1, "conference entry")) return;
  leaveSession();
  session_.localMember = n - 1;
  session_.number = static_cast<std::uint8_t>(out_.tickCount() & 0xFF);
  log("Engine: session initiator %s@%d\n", initiator.name.c_str(), asSigned(initiator.address));
  session_.status = IN_SESSION;
  MemberRecord first = initiator;
  first.number = 0;
  directoryOrder_.assign(1, first.address);
  registerMember(first);
  connectToEarlierMember(first);
}

void SessionLogic::addRecordAsMember(const MemberRecord& record) {
  if (session_.status != IN_SESSION) return;
  // A host is one participant, however often a directory lists it.
  if (std::find(directoryOrder_.begin(), directoryOrder_.end(), record.address) !=
      directoryOrder_.end())
    return;
  MemberRecord r = record;
  r.number = static_cast<std::uint8_t>(directoryOrder_.size());
  if (!MemberTable::validNumber(r.number)) {
    fail("Engine: conference participant %s beyond the last member number -- ignored\n",
         r.name.c_str());
    return;
  }
  directoryOrder_.push_back(r.address);
  // This host's own place in the order is its number, whatever count the directory gave.
  if (out_.isOwnAddress(r.address) && r.number != session_.localMember) setLocalMember(r.number);
  // A number still held by a member of another kind of session is not written over.
  if (session_.members.present(r.number)) {
    fail("Engine: member number %d is taken -- record ignored\n", r.number);
    return;
  }
  registerMember(r);
  connectToEarlierMember(r);
}

// A session made from records alone has no member channels, so nothing but media would reach
// the others (text chat, news of members invited later). Each member connects to those that
// were there before it, as a joiner connects to the rest: every pair gets one channel
// whichever of the two learns of the other first.
void SessionLogic::connectToEarlierMember(const MemberRecord& r) {
  if (session_.localMember < 0 || r.number >= session_.localMember) return;
  if (out_.hasMemberChannel(r.number) || out_.isOwnAddress(r.address)) return;
  if (!out_.connectMember(r.number, r.address)) {
    fail("Engine: cannot connect to remote engine\n");
    return;
  }
  out_.sendToMember(r.number, header(NEW_REMOTE_CONNECT, r), {});
}

// A participant who left a directory's conference takes its place in the order with it: every
// participant after it moves down by one, with its record and its channel, and so does this
// host's own number. Every host sees the same departures in the same order, so all agree.
void SessionLogic::deleteMembersAt(net::Ipv4 address) {
  auto at = std::find(directoryOrder_.begin(), directoryOrder_.end(), address);
  if (at != directoryOrder_.end()) {
    const int gone = static_cast<int>(at - directoryOrder_.begin());
    directoryOrder_.erase(at);
    if (session_.members.present(gone)) deleteMember(gone);
    out_.closeMemberChannel(gone);
    for (int i = gone + 1; i <= static_cast<int>(directoryOrder_.size()); ++i)
      renumberMember(i, i - 1);
  }
  for (int i = 0; i < kMaxMembers; ++i)
    if (session_.members.present(i) && session_.members[i].address == address) {
      deleteMember(i);
      out_.closeMemberChannel(i);
    }
}

void SessionLogic::renumberMember(int from, int to) {
  const bool present = session_.members.present(from);
  MemberRecord r = session_.members[from];
  if (present) deleteMember(from);
  if (out_.hasMemberChannel(from)) out_.moveMemberChannel(from, to);
  if (from == session_.localMember) setLocalMember(to);
  if (!present) return;
  r.number = static_cast<std::uint8_t>(to);
  registerMember(r);
}

void SessionLogic::memberLost(int slot) {
  deleteMember(slot);
  out_.closeMemberChannel(slot);
}

void SessionLogic::reportMembers() {
  sendToManager(CTL_MEMBERS, encodeMemberList(memberList(0), ByteOrder::kLittle));
}

// --- applications ---

void SessionLogic::attachApplication(const Message& m) {
  ByteReader r(m.payload);
  std::uint16_t asReceived = r.u16(ByteOrder::kLittle);
  if (!r.ok()) {
    fail("Engine: application attach without a port -- closed\n");
    return;
  }
  int k = out_.keepNewAsApplication();
  if (k < 0) {
    fail("Engine: no free application slot -- closed\n");
    return;
  }
  log("Engine: application port %d, number %d attached\n", asReceived, k);
  if (applicationCount_ >= kMaxApplications) return;
  log("Engine: add application\n");
  applicationCount_++;
  registry_[k].present = true;
  registry_[k].port = static_cast<std::uint16_t>(asReceived >> 8 | asReceived << 8);
  for (const auto& member : session_.members.records())
    sendToApplications(k, CTL_ADD_MEMBER, encodeMemberRecord(member));
  if (session_.localMember >= 0)
    sendToApplications(k, CTL_LOCAL_MEMBER, encodeNumber(session_.localMember, ByteOrder::kLittle));
  if (archive_ == kRecording) sendToApplications(k, CTL_DATABASE_START, {});
}

void SessionLogic::detachApplication(int slot) {
  if (registry_[slot].present) {
    registry_[slot] = {};
    applicationCount_--;
  }
  out_.closeApplicationChannel(slot);
}

void SessionLogic::applicationLost(int slot) {
  detachApplication(slot);
}

void SessionLogic::managerLost() {
  closeEveryConnection();
}

void SessionLogic::closeEveryConnection() {
  reset();
  session_.status = NO_MANAGER;
  out_.closeEveryChannel();
}

// --- recorder and player ---

void SessionLogic::startRecorder() {
  if (archive_ != kArchiveIdle) return;
  out_.startProgram(ArchiveProgram::kRecorder);
  archive_ = kRecording;
  sendToApplications(-1, CTL_DATABASE_START, {});
}

void SessionLogic::stopRecorder() {
  if (archive_ != kRecording) return;
  out_.stopProgram(ArchiveProgram::kRecorder);
  archive_ = kArchiveIdle;
  sendToApplications(-1, CTL_DATABASE_STOP, {});
}

void SessionLogic::startPlayer() {
  if (archive_ != kArchiveIdle) return;
  out_.startProgram(ArchiveProgram::kPlayer);
  archive_ = kReplaying;
}

void SessionLogic::stopPlayer() {
  if (archive_ != kReplaying) return;
  out_.stopProgram(ArchiveProgram::kPlayer);
  archive_ = kArchiveIdle;
}

// A recorder or player that could not start, or ended by itself, leaves the engine idle again,
// so nobody goes on believing a session is being recorded.
void SessionLogic::programEnded(ArchiveProgram program, int exitCode) {
  if (program == ArchiveProgram::kRecorder && archive_ == kRecording) {
    fail("Engine: recorder ended (exit code %d) -- recording stopped\n", exitCode);
    archive_ = kArchiveIdle;
    sendToApplications(-1, CTL_DATABASE_STOP, {});
  }
  if (program == ArchiveProgram::kPlayer && archive_ == kReplaying) {
    // The player ends with -1 when the whole recording has been replayed.
    if (exitCode == 255)
      log("Engine: replay finished\n");
    else
      fail("Engine: player ended (exit code %d) -- replay stopped\n", exitCode);
    archive_ = kArchiveIdle;
  }
}

int SessionLogic::findApplication(int port) const {
  for (int k = 0; k < kMaxApplications; ++k)
    if (registry_[k].present && registry_[k].port == port) return k;
  return -1;
}

void SessionLogic::routeToApplication(const AppMessage& a) {
  int k = findApplication(a.port);
  log("App no %d, port %d\n", k, a.port);
  if (k < 0) return;
  sendToApplications(k, static_cast<std::uint8_t>(a.tag), a.data);
}

void SessionLogic::routeAppsData(const Message& m) {
  auto a = decodeAppMessage(m.payload, kMemberOrder);
  if (!a) {
    fail("Engine: short application message -- dropped\n");
    return;
  }
  int k = findApplication(a->port);
  log("App no %d, port %d\n", k, a->port);
  if (k < 0) return;
  sendToApplications(k, CTL_PRIORITY_DATA, encodeAppMessage(*a, kLocalOrder));
}

void SessionLogic::routeAppData(const Message& m) {
  auto a = decodeAppMessage(m.payload, kAppDataOrder);
  if (!a) {
    fail("Engine: short application message -- dropped\n");
    return;
  }
  sendToMembers(a->destination, MEMBER_APPS_DATA, encodeAppMessage(*a, kMemberOrder));
}

// The start-application payload with its first word (the application's identifier) turned
// from one byte order into the other; empty when there is no identifier.
std::optional<std::vector<std::uint8_t>> SessionLogic::startAppPayload(const Message& m,
                                                                       ByteOrder from,
                                                                       ByteOrder to) {
  if (m.payload.size() < 4) {
    fail("Engine: start application without an identifier -- ignored\n");
    return std::nullopt;
  }
  std::vector<std::uint8_t> payload = m.payload;
  ByteReader r(payload);
  auto converted = encodeNumber(r.i32(from), to);
  std::copy(converted.begin(), converted.end(), payload.begin());
  return payload;
}

void SessionLogic::startAppEverywhere(const Message& m) {
  if (auto p = startAppPayload(m, ByteOrder::kLittle, ByteOrder::kBig))
    sendToMembers(-1, MEMBER_START_APP, *p);
}

void SessionLogic::startAppLocally(const Message& m) {
  if (auto p = startAppPayload(m, ByteOrder::kBig, ByteOrder::kLittle))
    sendToManager(CTL_START_APP, *p);
}

}  // namespace zep::engine

// The session logic driven in memory: every message it sends, every channel it opens, moves
// or closes is recorded by a fake output, so session behaviour is tested without processes.
#include "engine/session_logic.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace zep::engine {
namespace {

enum class Kind { kManager, kMember, kApplication, kPending };

struct Sent {
  Kind kind;
  int slot;
  MessageHeader header;
  std::vector<std::uint8_t> payload;
};

struct FakeOutput final : SessionOutput {
  std::vector<std::string> lines, errors;
  std::vector<Sent> sent;
  std::array<bool, kMaxMembers> members{};
  std::array<bool, kMaxApplications> applications{};
  bool manager = false, pending = false, newKept = false;
  net::Ipv4 peer = 0x0100007F;  // 127.0.0.1
  std::set<net::Ipv4> unreachable;
  std::vector<std::pair<int, net::Ipv4>> connects;
  std::vector<std::string> programs;
  std::uint32_t ticks = 0x1234;

  void progress(const std::string& l) override { lines.push_back(l); }
  void error(const std::string& l) override { errors.push_back(l); }
  int record(Kind k, int slot, bool open, const MessageHeader& h, std::span<const std::uint8_t> p) {
    if (!open) return 0;
    sent.push_back({k, slot, h, {p.begin(), p.end()}});
    return 1;
  }
  int sendToManager(const MessageHeader& h, std::span<const std::uint8_t> p) override {
    return record(Kind::kManager, 0, manager, h, p);
  }
  int sendToApplication(int k, const MessageHeader& h, std::span<const std::uint8_t> p) override {
    return record(Kind::kApplication, k, applications[k], h, p);
  }
  int sendToMember(int s, const MessageHeader& h, std::span<const std::uint8_t> p) override {
    return record(Kind::kMember, s, members[s], h, p);
  }
  int sendOnPending(const MessageHeader& h, std::span<const std::uint8_t> p) override {
    return record(Kind::kPending, 0, pending, h, p);
  }
  bool hasMemberChannel(int s) const override { return members[s]; }
  bool hasApplicationChannel(int k) const override { return applications[k]; }
  bool hasPending() const override { return pending; }
  int memberHandle(int s) const override { return members[s] ? 100 + s : -1; }
  std::vector<bool> connectMembers(std::span<const MemberTarget> targets) override {
    std::vector<bool> result;
    for (const auto& [s, a] : targets) {
      connects.emplace_back(s, a);
      result.push_back(!unreachable.count(a));
      if (result.back()) members[s] = true;
    }
    return result;
  }
  std::map<net::Ipv4, int> held;  // address -> claimed number
  void holdNewForMember(int claimed) override {
    held[peer] = claimed;
    newKept = true;
  }
  int heldClaim(net::Ipv4 a) const override {
    auto it = held.find(a);
    return it == held.end() ? -1 : it->second;
  }
  void keepHeldAsMember(net::Ipv4 a, int s) override {
    held.erase(a);
    members[s] = true;
  }
  void closeHeld(net::Ipv4 a) override { held.erase(a); }
  void moveMemberChannel(int from, int to) override {
    members[to] = members[from];
    members[from] = false;
  }
  void closeMemberChannel(int s) override { members[s] = false; }
  void closeApplicationChannel(int k) override { applications[k] = false; }
  void closePending() override { pending = false; }
  void pendingToMember(int s) override {
    members[s] = pending;
    pending = false;
  }
  net::Ipv4 newPeer() const override { return peer; }
  void keepNewAsManager() override { manager = newKept = true; }
  void keepNewAsPending() override { pending = newKept = true; }
  void keepNewAsMember(int s) override { members[s] = newKept = true; }
  int keepNewAsApplication() override {
    for (int k = 0; k < kMaxApplications; ++k)
      if (!applications[k]) {
        applications[k] = newKept = true;
        return k;
      }
    return -1;
  }
  bool isOwnAddress(net::Ipv4 a) const override { return a == 0x0100007F; }
  void closeEveryChannel() override {
    members.fill(false);
    applications.fill(false);
    manager = pending = false;
  }
  void startProgram(ArchiveProgram p) override {
    programs.push_back(p == ArchiveProgram::kRecorder ? "start recorder" : "start player");
  }
  void stopProgram(ArchiveProgram p) override {
    programs.push_back(p == ArchiveProgram::kRecorder ? "stop recorder" : "stop player");
  }
  std::uint32_t tickCount() override { return ticks; }

  std::vector<std::uint8_t> tags(Kind k, int slot = -1) const {
    std::vector<std::uint8_t> t;
    for (const auto& s : sent)
      if (s.kind == k && (slot < 0 || s.slot == slot)) t.push_back(s.header.tag);
    return t;
  }
  const Sent* last(Kind k, std::uint8_t tag) const {
    for (auto it = sent.rbegin(); it != sent.rend(); ++it)
      if (it->kind == k && it->header.tag == tag) return &*it;
    return nullptr;
  }
};

constexpr net::Ipv4 kHost = 0x0100007F;
constexpr net::Ipv4 kBob = 0x0200007F, kErin = 0x0300007F;

Message message(std::uint8_t tag, std::vector<std::uint8_t> payload = {}, MessageHeader h = {}) {
  h.tag = tag;
  Message m;
  m.header = h;
  m.payload = std::move(payload);
  return m;
}

MemberRecord record(const std::string& name, net::Ipv4 address, int number = 0) {
  MemberRecord r;
  r.name = name;
  r.address = address;
  r.number = static_cast<std::uint8_t>(number);
  return r;
}

struct Rig {
  Rig() : logic(out, "alice", kHost) {
    logic.startUp();
    auto init = message(NEW_LOCAL_INIT);
    logic.onNewMessage(init);
  }
  void local(std::uint8_t tag, std::vector<std::uint8_t> payload = {}) {
    auto m = message(tag, std::move(payload));
    logic.onLocalMessage(m);
  }
  int attachApplication(std::uint16_t port) {
    ByteWriter w;
    w.u16(port, ByteOrder::kBig);
    auto m = message(NEW_APP_ATTACH, w.take());
    logic.onNewMessage(m);
    for (int k = kMaxApplications - 1; k >= 0; --k)
      if (out.applications[k]) return k;
    return -1;
  }
  // Invites name@address, who accepts on the slot the invitation went out on.
  void admit(const std::string& name, net::Ipv4 address, int slot) {
    local(LOCAL_ADD_MEMBER, encodeMemberRecord(record(name, address)));
    MessageHeader from;
    from.sender = record(name, address);
    auto accept = message(MEMBER_ACCEPT, {}, from);
    logic.onMemberMessage(slot, accept);
  }
  FakeOutput out;
  SessionLogic logic;
};

TEST(SessionLogic, CreatingMakesMemberZeroAndTellsManagerAndApplicationsInOrder) {
  Rig rig;
  int app = rig.attachApplication(12567);
  rig.local(LOCAL_CREATE);
  EXPECT_EQ(rig.logic.session().status, IN_SESSION);
  EXPECT_EQ(rig.logic.session().number, 0x34) << "the low byte of the tick count";
  EXPECT_EQ(rig.out.tags(Kind::kManager), std::vector<std::uint8_t>{CTL_ADD_MEMBER});
  EXPECT_EQ(rig.out.tags(Kind::kApplication, app),
            (std::vector<std::uint8_t>{CTL_ADD_MEMBER, CTL_LOCAL_MEMBER}));
  rig.out.ticks = 0x99;
  rig.local(LOCAL_CREATE);
  EXPECT_EQ(rig.logic.session().number, 0x34) << "a second create changes nothing";
  EXPECT_EQ(rig.logic.session().localMember, 0);
}

TEST(SessionLogic, InvitingConnectsTheLowestFreeSlotOrReportsTheTimeout) {
  Rig rig;
  rig.local(LOCAL_CREATE);
  rig.local(LOCAL_ADD_MEMBER, encodeMemberRecord(record("bob", kBob)));
  ASSERT_EQ(rig.out.connects.size(), 1u);
  EXPECT_EQ(rig.out.connects[0], std::make_pair(1, kBob));
  const Sent* invited = rig.out.last(Kind::kMember, NEW_REMOTE_INVITED);
  ASSERT_TRUE(invited);
  EXPECT_EQ(invited->header.target.number, 1);
  EXPECT_EQ(decodeMemberList(invited->payload, ByteOrder::kLittle)->list.word0, 0);
  EXPECT_TRUE(rig.out.last(Kind::kManager, CTL_INVITATION_DELIVERED));

  rig.out.unreachable.insert(kErin);
  rig.local(LOCAL_ADD_MEMBER, encodeMemberRecord(record("erin", kErin)));
  EXPECT_EQ(rig.out.connects.back(), std::make_pair(2, kErin));
  EXPECT_TRUE(rig.out.last(Kind::kManager, CTL_INVITATION_TIMEOUT));
}

TEST(SessionLogic, AnInvitationSkipsTheSlotsOfMembersKnownWithoutAChannel) {
  Rig rig;
  MemberRecord initiator = record("dave", kBob);
  rig.logic.restartAsMember(1, initiator);  // entered a directory conference as its creator
  rig.logic.addRecordAsMember(record("erin", kErin));
  ASSERT_TRUE(rig.logic.session().members.present(1));
  rig.local(LOCAL_ADD_MEMBER, encodeMemberRecord(record("alice", kHost)));
  ASSERT_EQ(rig.out.connects.size(), 1u);
  EXPECT_EQ(rig.out.connects[0].first, 2) << "erin keeps slot 1";
}

// A session made from a directory's records: the member that comes later connects to those
// there before it, so chat and news of later members travel; the earlier ones wait for it.
TEST(SessionLogic, InADirectorySessionEachMemberConnectsToThoseThereBeforeIt) {
  Rig rig;
  const net::Ipv4 kFrank = net::dottedAddress("127.0.0.31");
  rig.logic.restartAsMember(3, record("dave", kBob));  // frank enters as the third
  EXPECT_EQ(rig.logic.session().localMember, 2);
  rig.logic.addRecordAsMember(record("erin", kErin));
  rig.logic.addRecordAsMember(record("frank", kFrank));  // the local user comes last
  ASSERT_EQ(rig.out.connects.size(), 2u);
  EXPECT_EQ(rig.out.connects[0], std::make_pair(0, kBob));
  EXPECT_EQ(rig.out.connects[1], std::make_pair(1, kErin));
  const Sent* hello = rig.out.last(Kind::kMember, NEW_REMOTE_CONNECT);
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->header.sender.number, 2) << "filed under frank's own number";

  // The earlier member hears of the newcomer and waits for its channel.
  Rig earlier;
  earlier.logic.restartAsMember(1, record("dave", kHost));
  earlier.logic.addRecordAsMember(record("erin", kErin));
  EXPECT_TRUE(earlier.out.connects.empty());
  // Leaving the conference in the directory closes the channel with the records.
  earlier.out.members[1] = true;
  earlier.logic.deleteMembersAt(kErin);
  EXPECT_FALSE(earlier.logic.session().members.present(1));
  EXPECT_FALSE(earlier.out.members[1]);
}

// dave makes a conference, erin and fred enter, erin leaves, gina enters: every host must give
// everyone the same number, or connects displace members and media is thrown away. Numbers
// follow the directory's order, so after erin's departure fred is 1 everywhere and gina 2.
TEST(SessionLogic, AfterADepartureEveryHostNumbersADirectoryConferenceAlike) {
  const net::Ipv4 kDave = kBob, kFred = net::dottedAddress("127.0.0.31"),
                  kGina = net::dottedAddress("127.0.0.32");
  auto names = [](const SessionLogic& l) {
    std::vector<std::string> n;
    for (int i = 0; i < kMaxMembers; ++i)
      n.push_back(l.session().members.present(i) ? l.session().members[i].name : "");
    n.resize(4);
    return n;
  };
  const std::vector<std::string> expected{"dave", "fred", "gina", ""};

  Rig fred;  // enters as the third, sees erin leave and gina come
  fred.logic.restartAsMember(3, record("dave", kDave));
  fred.logic.addRecordAsMember(record("erin", kErin));
  fred.logic.addRecordAsMember(record("fred", kFred));
  ASSERT_EQ(fred.logic.session().localMember, 2);
  fred.out.members[0] = fred.out.members[1] = true;  // its channels to dave and erin
  fred.logic.deleteMembersAt(kErin);
  EXPECT_EQ(fred.logic.session().localMember, 1) << "fred moves down with the order";
  EXPECT_TRUE(fred.out.members[0]);
  EXPECT_FALSE(fred.out.members[1]) << "erin's channel is closed";
  fred.logic.addRecordAsMember(record("gina", kGina));
  EXPECT_EQ(names(fred.logic), expected);

  Rig dave;  // the creator: erin's channel was already lost before the directory said so
  dave.logic.restartAsMember(1, record("dave", kDave));
  dave.logic.addRecordAsMember(record("erin", kErin));
  dave.logic.addRecordAsMember(record("fred", kFred));
  dave.out.members[2] = true;  // fred's channel
  dave.logic.memberLost(1);
  dave.logic.deleteMembersAt(kErin);
  EXPECT_TRUE(dave.out.members[1]) << "fred's channel moved with him";
  EXPECT_FALSE(dave.out.members[2]);
  dave.logic.addRecordAsMember(record("gina", kGina));
  EXPECT_EQ(names(dave.logic), expected);

  Rig gina;  // enters after the departure: the directory lists dave, fred, gina
  gina.logic.restartAsMember(3, record("dave", kDave));
  gina.logic.addRecordAsMember(record("fred", kFred));
  gina.logic.addRecordAsMember(record("gina", kGina));
  EXPECT_EQ(names(gina.logic), expected);
  EXPECT_EQ(gina.logic.session().localMember, 2);

  // A conference count that no session can hold changes nothing.
  for (int n : {0, 21, 300}) {
    gina.logic.restartAsMember(n, record("mallory", kBob));
    EXPECT_EQ(gina.logic.session().localMember, 2);
    EXPECT_EQ(gina.logic.session().members.count(), 3);
  }
  MessageHeader asUs;
  asUs.sender = record("dave", kBob, 2);
  auto connect = message(NEW_REMOTE_CONNECT, {}, asUs);
  gina.out.peer = kDave;
  gina.out.newKept = false;
  gina.logic.onNewMessage(connect);
  EXPECT_FALSE(gina.out.newKept) << "a member's second channel is refused";
}

// gina's connect, under the number she counted after erin's departure, reaches fred before fred
// has heard of the departure: it claims fred's own number, yet waits and becomes gina's channel.
TEST(SessionLogic, AnArrivalThatOvertakesADepartureStillGetsItsChannel) {
  const net::Ipv4 kDave = kBob, kGina = net::dottedAddress("127.0.0.32");
  Rig fred;
  fred.logic.restartAsMember(3, record("dave", kDave));
  fred.logic.addRecordAsMember(record("erin", kErin));
  fred.logic.addRecordAsMember(record("fred", kHost));
  MessageHeader asGina;
  asGina.sender = record("gina", kGina, 2);
  fred.out.peer = kGina;
  auto connect = message(NEW_REMOTE_CONNECT, {}, asGina);
  fred.logic.onNewMessage(connect);
  EXPECT_EQ(fred.out.heldClaim(kGina), 2);
  fred.logic.deleteMembersAt(kErin);
  fred.logic.addRecordAsMember(record("gina", kGina));
  EXPECT_EQ(fred.logic.session().localMember, 1);
  EXPECT_TRUE(fred.out.members[2]) << "gina's channel";
  EXPECT_TRUE(fred.out.held.empty());
}

// A directory may list a host twice (its creator, say) and so give a newcomer a count one too
// high: a host is one participant, the newcomer's own place in the order is its number, and
// the others take its connect by its address whatever number it claims.
TEST(SessionLogic, ADirectoryListingAHostTwiceChangesNoNumbers) {
  const net::Ipv4 kDave = kBob;
  Rig erin;
  erin.logic.restartAsMember(3, record("dave", kDave));  // dave, dave, erin
  erin.logic.addRecordAsMember(record("dave", kDave));
  erin.logic.addRecordAsMember(record("erin", kHost));
  EXPECT_EQ(erin.logic.session().localMember, 1);
  EXPECT_EQ(erin.logic.session().members.count(), 2);

  Rig dave;
  dave.logic.restartAsMember(1, record("dave", kHost));
  dave.logic.addRecordAsMember(record("dave", kHost));
  MessageHeader asTwo;
  asTwo.sender = record("erin", kErin, 2);  // the number erin counted before she knew better
  dave.out.peer = kErin;
  auto early = message(NEW_REMOTE_CONNECT, {}, asTwo);
  dave.logic.onNewMessage(early);
  EXPECT_EQ(dave.out.heldClaim(kErin), 2);
  dave.logic.addRecordAsMember(record("erin", kErin));
  EXPECT_TRUE(dave.out.members[1]) << "taken as erin, member 1";
  dave.out.members[1] = false;
  auto again = message(NEW_REMOTE_CONNECT, {}, asTwo);
  dave.logic.onNewMessage(again);
  EXPECT_TRUE(dave.out.members[1]) << "a known address is its member, whatever the claim";
}

// A third host claims a present member's number: it neither replaces the member's live
// channel nor takes the number of a member at another address.
TEST(SessionLogic, AStrangerClaimingAPresentMembersNumberIsRefused) {
  Rig rig;
  rig.local(LOCAL_CREATE);
  rig.admit("bert", kBob, 1);
  ASSERT_TRUE(rig.out.members[1]);

  MessageHeader asBert;
  asBert.sender = record("bert", kBob, 1);
  for (bool live : {true, false}) {
    rig.out.members[1] = live;
    rig.out.peer = net::dottedAddress("127.0.0.66");
    rig.out.newKept = false;
    auto connect = message(NEW_REMOTE_CONNECT, {}, asBert);
    rig.logic.onNewMessage(connect);
    EXPECT_FALSE(rig.out.newKept) << (live ? "over a live channel" : "at another address");
    EXPECT_TRUE(rig.out.held.empty());
    EXPECT_EQ(rig.out.members[1], live);
    EXPECT_TRUE(rig.logic.session().members.present(1));
    EXPECT_FALSE(rig.out.errors.empty());
  }
  // bert himself, with no channel left, may connect again as himself, but not as another.
  rig.out.peer = kBob;
  auto again = message(NEW_REMOTE_CONNECT, {}, asBert);
  rig.logic.onNewMessage(again);
  EXPECT_TRUE(rig.out.members[1]);
  rig.out.members[1] = false;
  MessageHeader asTwo;
  asTwo.sender = record("bert", kBob, 2);
  auto other = message(NEW_REMOTE_CONNECT, {}, asTwo);
  rig.out.newKept = false;
  rig.logic.onNewMessage(other);
  EXPECT_FALSE(rig.out.newKept);
}

// The joiner's connect and the inviter's announcement of it can arrive in either order; the
// channel forms either way, and only for the announced address and number.
TEST(SessionLogic, AJoinersConnectBeforeOrAfterItsAnnouncementBecomesItsChannel) {
  const net::Ipv4 kCarl = net::dottedAddress("127.0.0.40");
  auto joined = [&](Rig& rig) {
    rig.out.peer = kBob;  // ann invited us; her channel is member 0's
    MemberList rest;
    rest.records = {record("ann", kBob, 0), record("alice", kHost, 1)};
    MessageHeader h;
    h.target.number = 1;
    rig.out.members[0] = true;
    auto addRest = message(MEMBER_ADD_REST, encodeMemberList(rest, ByteOrder::kBig), h);
    rig.logic.onMemberMessage(0, addRest);
  };
  auto carlConnects = [&](Rig& rig, int claim) {
    MessageHeader asCarl;
    asCarl.sender = record("carl", kCarl, claim);
    rig.out.peer = kCarl;
    auto connect = message(NEW_REMOTE_CONNECT, {}, asCarl);
    rig.logic.onNewMessage(connect);
  };
  auto announced = [&](Rig& rig) {
    auto add = message(MEMBER_ADD_MEMBER, encodeMemberRecord(record("carl", kCarl, 2)));
    rig.logic.onMemberMessage(0, add);
  };

  Rig after;  // announcement first: taken at once
  joined(after);
  announced(after);
  carlConnects(after, 2);
  EXPECT_TRUE(after.out.members[2]);

  Rig before;  // connect first: held, then taken when the record arrives
  joined(before);
  carlConnects(before, 2);
  EXPECT_FALSE(before.out.members[2]);
  EXPECT_EQ(before.out.heldClaim(kCarl), 2);
  announced(before);
  EXPECT_TRUE(before.out.members[2]);
  EXPECT_TRUE(before.out.held.empty());

  Rig wrong;  // held under one number, announced under another: closed
  joined(wrong);
  carlConnects(wrong, 3);
  announced(wrong);
  EXPECT_FALSE(wrong.out.members[2]);
  EXPECT_FALSE(wrong.out.members[3]);
  EXPECT_TRUE(wrong.out.held.empty());
}

TEST(SessionLogic, AnAcceptedInviteeIsAnnouncedToTheOthersAndGetsTheWholeList) {
  Rig rig;
  rig.local(LOCAL_CREATE);
  rig.admit("bob", kBob, 1);
  rig.admit("erin", kErin, 2);

  EXPECT_EQ(rig.logic.session().members.count(), 3);
  // bob hears of erin; erin gets the list of three with her number in the target record.
  const Sent* added = rig.out.last(Kind::kMember, MEMBER_ADD_MEMBER);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->slot, 1);
  EXPECT_EQ(decodeMemberRecord(added->payload)->name, "erin");
  const Sent* rest = rig.out.last(Kind::kMember, MEMBER_ADD_REST);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->slot, 2);
  EXPECT_EQ(rest->header.target.number, 2);
  EXPECT_EQ(decodeMemberList(rest->payload, ByteOrder::kBig)->list.records.size(), 3u);
  EXPECT_TRUE(rig.out.last(Kind::kManager, CTL_ACCEPTED));
}

TEST(SessionLogic, TheJoinerConnectsToEveryOtherMemberAndMovesACollidingChannel) {
  Rig rig;
  rig.out.peer = kBob;
  MemberList invitation;
  invitation.word0 = 0;
  MessageHeader fromAnn;
  fromAnn.sender = record("ann", kBob);
  auto invited =
      message(NEW_REMOTE_INVITED, encodeMemberList(invitation, ByteOrder::kLittle), fromAnn);
  rig.logic.onNewMessage(invited);
  EXPECT_TRUE(rig.out.pending);
  EXPECT_TRUE(rig.out.last(Kind::kManager, CTL_INVITATION));
  rig.local(LOCAL_JOIN);
  EXPECT_TRUE(rig.out.members[0]) << "the invitation's channel is now member 0's";
  EXPECT_FALSE(rig.out.pending);

  // A channel already sits in slot 3 (a connection that came first): it moves to a free slot.
  rig.out.members[3] = true;
  MemberList rest;
  rest.records = {record("ann", kBob, 0), record("carl", 0x0400007F, 1), record("alice", kHost, 2),
                  record("dora", 0x0500007F, 3)};
  MessageHeader h;
  h.target.number = 2;
  h.session = 0x5A;
  auto addRest = message(MEMBER_ADD_REST, encodeMemberList(rest, ByteOrder::kBig), h);
  rig.logic.onMemberMessage(0, addRest);
  EXPECT_EQ(rig.logic.session().localMember, 2);
  EXPECT_EQ(rig.logic.session().number, 0x5A);
  EXPECT_EQ(rig.logic.session().members.count(), 4);
  EXPECT_EQ(rig.out.connects,
            (std::vector<std::pair<int, net::Ipv4>>{{1, 0x0400007F}, {3, 0x0500007F}}));
  EXPECT_TRUE(rig.out.members[4]) << "the earlier channel moved to the lowest free slot";
  const Sent* connect = rig.out.last(Kind::kMember, NEW_REMOTE_CONNECT);
  ASSERT_TRUE(connect);
  EXPECT_EQ(connect->header.sender.number, 2);
}

TEST(SessionLogic, ApplicationsLearnTheMembersAndRoutingFindsThemByPort) {
  Rig rig;
  rig.local(LOCAL_CREATE);
  rig.local(LOCAL_SAVE_INIT);
  int app = rig.attachApplication(34999);
  EXPECT_EQ(rig.out.tags(Kind::kApplication, app),
            (std::vector<std::uint8_t>{CTL_ADD_MEMBER, CTL_LOCAL_MEMBER, CTL_DATABASE_START}));
  AppMessage a;
  a.port = 34999;
  a.tag = 77;
  a.data = {1, 2, 3};
  rig.local(LOCAL_SEND_TO_APP, encodeAppMessage(a, kLocalOrder));
  const Sent* routed = rig.out.last(Kind::kApplication, 77);
  ASSERT_TRUE(routed);
  EXPECT_EQ(routed->payload, (std::vector<std::uint8_t>{1, 2, 3}));
  a.port = 1;
  rig.local(LOCAL_SEND_TO_APP, encodeAppMessage(a, kLocalOrder));
  EXPECT_EQ(rig.out.lines.back(), "App no -1, port 1\n");

  // From another host, an application attach is refused.
  rig.out.peer = kBob;
  EXPECT_EQ(rig.attachApplication(12567), app) << "no new application slot";
  EXPECT_NE(rig.out.errors.back().find("application connection from 127.0.0.2 refused"),
            std::string::npos);
}

TEST(SessionLogic, LeavingTellsEveryoneAndClosesEveryMemberChannel) {
  Rig rig;
  int app = rig.attachApplication(12567);
  rig.local(LOCAL_CREATE);
  rig.local(LOCAL_ADD_MEMBER, encodeMemberRecord(record("bob", kBob)));
  MessageHeader fromBob;
  fromBob.sender = record("bob", kBob);
  auto accept = message(MEMBER_ACCEPT, {}, fromBob);
  rig.logic.onMemberMessage(1, accept);
  rig.local(LOCAL_ADD_MEMBER, encodeMemberRecord(record("erin", kErin)));  // not answered
  rig.local(LOCAL_LEAVE);
  EXPECT_EQ(rig.out.tags(Kind::kMember, 1).back(), MEMBER_QUIT);
  EXPECT_FALSE(rig.out.members[1]);
  EXPECT_FALSE(rig.out.members[2]) << "the unanswered invitee's channel goes too";
  EXPECT_EQ(rig.out.tags(Kind::kApplication, app).back(), CTL_QUIT);
  EXPECT_EQ(rig.logic.session().status, IDLE);
}

TEST(SessionLogic, TheRecorderStartsOnceAndAnEarlyEndLeavesTheEngineIdle) {
  Rig rig;
  int app = rig.attachApplication(12567);
  rig.local(LOCAL_SAVE_INIT);
  rig.local(LOCAL_SAVE_INIT);
  rig.local(LOCAL_RESTORE_INIT);
  EXPECT_EQ(rig.out.programs, std::vector<std::string>{"start recorder"});
  rig.logic.programEnded(ArchiveProgram::kRecorder, 1);
  EXPECT_EQ(rig.logic.archiveState(), kArchiveIdle);
  EXPECT_EQ(rig.out.tags(Kind::kApplication, app).back(), CTL_DATABASE_STOP);
  rig.local(LOCAL_RESTORE_INIT);
  rig.logic.programEnded(ArchiveProgram::kPlayer, 255);
  EXPECT_EQ(rig.out.lines.back(), "Engine: replay finished\n");
  EXPECT_EQ(rig.out.programs.back(), "start player");
}

}  // namespace
}  // namespace zep::engine

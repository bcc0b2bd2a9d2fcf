// Sessions between real engines on loopback hosts: creation, invitations, the full mesh,
// leaving, lost members, the application registry and routing. Raw peers stand in for
// misbehaving remote engines.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

std::vector<int> numbersOf(const std::vector<MemberRecord>& members) {
  std::vector<int> n;
  for (const auto& m : members) n.push_back(m.number);
  return n;
}

std::int32_t numberIn(const Message& m) {
  return decodeNumber(m.payload, ByteOrder::kLittle).value_or(-99);
}

std::vector<std::uint8_t> invitationList(std::int32_t inviter) {
  MemberList list;
  list.word0 = inviter;
  return encodeMemberList(list, ByteOrder::kLittle);
}

TEST(EngineSession, CreatorIsMemberZeroAndApplicationsLearnItInOrder) {
  SessionHost a("alice");
  Peer app = Peer::application(a.address, 12567);
  ASSERT_TRUE(a.engine->out.waitFor("Engine: add application\n"));
  ASSERT_TRUE(a.manager.send(LOCAL_CREATE));

  auto added = a.manager.waitFor(CTL_ADD_MEMBER);
  ASSERT_TRUE(added);
  EXPECT_EQ(*decodeMemberRecord(added->payload), a.record(0));
  auto appAdded = app.receive();
  ASSERT_TRUE(appAdded);
  EXPECT_EQ(appAdded->header.tag, CTL_ADD_MEMBER);
  auto local = app.receive();
  ASSERT_TRUE(local);
  EXPECT_EQ(local->header.tag, CTL_LOCAL_MEMBER);
  EXPECT_EQ(numberIn(*local), 0);
  std::uint8_t session = local->header.session;

  // Creating again in a session changes nothing.
  ASSERT_TRUE(a.manager.send(LOCAL_CREATE));
  EXPECT_TRUE(a.engine->out.waitFor("Engine: session already created -- status 2\n"));
  auto members = membersOf(a.manager);
  EXPECT_EQ(numbersOf(members), std::vector<int>{0});
  Peer late = Peer::application(a.address, 34999);
  auto lateLocal = late.waitFor(CTL_LOCAL_MEMBER);
  ASSERT_TRUE(lateLocal);
  EXPECT_EQ(lateLocal->header.session, session);
  EXPECT_EQ(numberIn(*lateLocal), 0);
}

TEST(EngineSession, ThreeMembersFormAFullMesh) {
  SessionHost a("alice"), b("bob"), e("eve");
  Peer appOnE = Peer::application(e.address, 12567);
  a.manager.send(LOCAL_CREATE);
  ASSERT_TRUE(inviteAndAccept(a, b));
  ASSERT_TRUE(inviteAndAccept(a, e));
  for (auto* h : {&a, &b, &e}) {
    ASSERT_TRUE(waitForMemberCount(h->manager, 3));
    auto members = membersOf(h->manager);
    EXPECT_EQ(members, (std::vector<MemberRecord>{a.record(0), b.record(1), e.record(2)}));
  }
  // E learned its number from the inviter and opened its own channel to B, carrying 2.
  auto local = appOnE.waitFor(CTL_LOCAL_MEMBER);
  ASSERT_TRUE(local);
  EXPECT_EQ(numberIn(*local), 2);
  EXPECT_TRUE(b.engine->out.waitFor("Member 2 connected, socket"));
  EXPECT_TRUE(e.engine->out.contains("Engine: session set local member 2\n"));
}

TEST(EngineSession, ALeavingMembersNumberGoesToTheNextInvitee) {
  SessionHost a("alice"), b("bob"), e("eve"), d("dave");
  ASSERT_TRUE(formSession({&a, &b, &e}));
  ASSERT_TRUE(b.manager.send(LOCAL_LEAVE));
  auto deleted = a.manager.waitFor(CTL_DELETE_MEMBER);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(numberIn(*deleted), 1);
  ASSERT_TRUE(waitForMemberCount(e.manager, 2));
  EXPECT_TRUE(membersOf(b.manager).empty()) << "the leaver is idle";

  Peer appOnD = Peer::application(d.address, 12567);
  ASSERT_TRUE(inviteAndAccept(a, d));
  auto local = appOnD.waitFor(CTL_LOCAL_MEMBER);
  ASSERT_TRUE(local);
  EXPECT_EQ(numberIn(*local), 1);
  EXPECT_TRUE(e.engine->out.waitFor("Member 1 connected, socket"));
  for (auto* h : {&a, &d, &e}) {
    ASSERT_TRUE(waitForMemberCount(h->manager, 3));
    EXPECT_EQ(membersOf(h->manager)[1], d.record(1));
  }
}

TEST(EngineSession, InvitationsThatFail) {
  SessionHost a("alice"), b("bob"), f("frank");
  // Without a session there is no number to hand out.
  a.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(b.record()));
  EXPECT_TRUE(a.manager.waitFor(CTL_INVITATION_TIMEOUT));
  EXPECT_TRUE(b.manager.silentFor(200));

  a.manager.send(LOCAL_CREATE);
  // Nobody listens there.
  a.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("ghost", freshAddress())));
  auto timeout = a.manager.waitFor(CTL_INVITATION_TIMEOUT);
  ASSERT_TRUE(timeout);
  EXPECT_EQ(decodeMemberRecord(timeout->payload)->name, "ghost");

  // The invitee declines: tag 2 from the manager is an invitation, from a member a refusal.
  a.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(b.record()));
  ASSERT_TRUE(b.manager.waitFor(CTL_INVITATION));
  b.manager.send(LOCAL_DELETE_INVITATION);
  auto rejected = a.manager.waitFor(CTL_REJECTED);
  ASSERT_TRUE(rejected);
  EXPECT_EQ(decodeMemberRecord(rejected->payload)->name, "bob");

  // An engine already in a session refuses without asking its user.
  f.manager.send(LOCAL_CREATE);
  ASSERT_TRUE(f.manager.waitFor(CTL_ADD_MEMBER));
  a.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(f.record()));
  EXPECT_TRUE(a.manager.waitFor(CTL_REJECTED));
  EXPECT_TRUE(f.engine->out.waitFor("Engine: session exists -- reject\n"));
  EXPECT_FALSE(f.manager.waitFor(CTL_INVITATION, 200));
  EXPECT_EQ(numbersOf(membersOf(a.manager)), std::vector<int>{0});
}

TEST(EngineSession, KilledMemberIsDeletedEverywhere) {
  SessionHost a("alice"), b("bob"), e("eve");
  ASSERT_TRUE(formSession({&a, &b, &e}));
  Peer appOnA = Peer::application(a.address, 12567);
  ASSERT_TRUE(appOnA.waitFor(CTL_LOCAL_MEMBER));
  ::kill(e.engine->process().pid(), SIGKILL);
  for (auto* h : {&a, &b}) {
    auto deleted = h->manager.waitFor(CTL_DELETE_MEMBER);
    ASSERT_TRUE(deleted);
    EXPECT_EQ(numberIn(*deleted), 2);
    EXPECT_EQ(numbersOf(membersOf(h->manager)), (std::vector<int>{0, 1}));
  }
  auto appDeleted = appOnA.waitFor(CTL_DELETE_MEMBER);
  ASSERT_TRUE(appDeleted);
  EXPECT_EQ(numberIn(*appDeleted), 2);
  EXPECT_TRUE(a.engine->out.contains("Engine: member left 2\n"));
}

TEST(EngineSession, RoutingBetweenManagersApplicationsAndMembers) {
  SessionHost a("alice"), b("bob");
  ASSERT_TRUE(formSession({&a, &b}));
  Peer appOnA = Peer::application(a.address, 12567);
  Peer appOnB = Peer::application(b.address, 12567);
  ASSERT_TRUE(appOnA.waitFor(CTL_LOCAL_MEMBER));
  ASSERT_TRUE(appOnB.waitFor(CTL_LOCAL_MEMBER));

  // An application's data to member 1 arrives as priority data, numbers in host order.
  AppMessage data{0xCAFEF00D, 1, 12567, 7, {'h', 'i'}};
  appOnA.send(APP_DATA, encodeAppMessage(data, kAppDataOrder));
  auto priority = appOnB.waitFor(CTL_PRIORITY_DATA);
  ASSERT_TRUE(priority);
  auto delivered = decodeAppMessage(priority->payload, kLocalOrder);
  ASSERT_TRUE(delivered);
  EXPECT_EQ(delivered->firstWord, data.firstWord);
  EXPECT_EQ(delivered->destination, 1);
  EXPECT_EQ(delivered->port, 12567);
  EXPECT_EQ(delivered->tag, 7);
  EXPECT_EQ(delivered->data, data.data);

  // The manager's message to a local application arrives under its own tag.
  a.manager.send(LOCAL_SEND_TO_APP,
                 encodeAppMessage({0, 0, 12567, 40, {'x', 'y', 'z'}}, kLocalOrder));
  auto toApp = appOnA.waitFor(40);
  ASSERT_TRUE(toApp);
  EXPECT_EQ(toApp->payload, (std::vector<std::uint8_t>{'x', 'y', 'z'}));
  a.manager.send(LOCAL_SEND_TO_APP, encodeAppMessage({0, 0, 999, 40, {}}, kLocalOrder));
  EXPECT_TRUE(a.engine->out.waitFor("App no -1, port 999\n"));

  // Starting an application reaches the other managers with its identifier.
  std::vector<std::uint8_t> start = encodeNumber(12567, ByteOrder::kLittle);
  start.push_back('!');
  a.manager.send(LOCAL_START_APP, start);
  auto started = b.manager.waitFor(CTL_START_APP);
  ASSERT_TRUE(started);
  EXPECT_EQ(started->payload, start);
  EXPECT_FALSE(a.manager.waitFor(CTL_START_APP, 200));
}

TEST(EngineSession, InvitationFromARawPeerCarriesThePeerAddressAndWaitsForAManager) {
  auto address = freshAddress();
  EngineProcess engine(address);
  ASSERT_TRUE(engine.waitReady());
  auto inviterAddress = freshAddress();
  Peer inviter = Peer::connect(address, inviterAddress);
  MessageHeader h;
  h.sender = {0, "mallory", 0x04030201};  // claims 1.2.3.4
  h.target.number = 1;
  ASSERT_TRUE(inviter.send(NEW_REMOTE_INVITED, invitationList(0), h));
  ASSERT_TRUE(engine.out.waitFor("Engine: start manager\n"));

  Peer manager = Peer::manager(address);
  auto invitation = manager.waitFor(CTL_INVITATION);
  ASSERT_TRUE(invitation);
  auto record = decodeMemberRecord(invitation->payload);
  EXPECT_EQ(record->name, "mallory");
  EXPECT_EQ(record->address, inviterAddress);

  manager.send(LOCAL_JOIN);
  ASSERT_TRUE(inviter.waitFor(MEMBER_ACCEPT));
  // A list announcing more members than it holds: only those present are used.
  MemberList list;
  list.records = {recordOf("mallory", inviterAddress, 0), recordOf("user", address, 1)};
  auto bytes = encodeMemberList(list, ByteOrder::kBig);
  bytes[7] = 5;
  MessageHeader rest;
  rest.session = 0x5A;
  rest.target.number = 1;
  ASSERT_TRUE(inviter.send(MEMBER_ADD_REST, bytes, rest));
  ASSERT_TRUE(waitForMemberCount(manager, 2));
  EXPECT_TRUE(engine.err.contains("announces 5 members but holds 2"));
  EXPECT_EQ(membersOf(manager)[0].address, inviterAddress);
  Peer app = Peer::application(address, 12567);
  auto local = app.waitFor(CTL_LOCAL_MEMBER);
  ASSERT_TRUE(local);
  EXPECT_EQ(local->header.session, 0x5A);
  EXPECT_EQ(numberIn(*local), 1);
}

TEST(EngineSession, ANewerInvitationReplacesAndClosesTheEarlierOne) {
  SessionHost b("bob");
  Peer first = Peer::connect(b.address, freshAddress());
  MessageHeader h;
  h.sender.name = "first";
  first.send(NEW_REMOTE_INVITED, invitationList(0), h);
  ASSERT_TRUE(b.manager.waitFor(CTL_INVITATION));
  Peer second = Peer::connect(b.address, freshAddress());
  h.sender.name = "second";
  second.send(NEW_REMOTE_INVITED, invitationList(0), h);
  auto invitation = b.manager.waitFor(CTL_INVITATION);
  ASSERT_TRUE(invitation);
  EXPECT_EQ(decodeMemberRecord(invitation->payload)->name, "second");
  EXPECT_TRUE(first.waitClosed());
  b.manager.send(LOCAL_JOIN);
  EXPECT_TRUE(second.waitFor(MEMBER_ACCEPT));
}

TEST(EngineSession, MisbehavingPeersGetTheUnknownTagTreatmentOnly) {
  SessionHost a("alice");
  a.manager.send(LOCAL_CREATE);
  ASSERT_TRUE(a.manager.waitFor(CTL_ADD_MEMBER));

  // Member tags before being a member.
  Peer stranger = Peer::connect(a.address, freshAddress());
  stranger.send(MEMBER_ADD_MEMBER, encodeMemberRecord(recordOf("intruder", 1, 5)));
  EXPECT_TRUE(stranger.waitClosed());
  EXPECT_TRUE(a.engine->err.waitFor("Engine: Unknown new tag\n"));

  // Member tags from an application.
  Peer app = Peer::application(a.address, 12567);
  ASSERT_TRUE(app.waitFor(CTL_LOCAL_MEMBER));
  app.send(MEMBER_ADD_MEMBER, encodeMemberRecord(recordOf("intruder", 1, 5)));
  EXPECT_TRUE(a.engine->err.waitFor("Engine: Unknown application tag 3\n"));
  EXPECT_FALSE(app.waitClosed(200));

  // A member number outside 0..19.
  Peer far = Peer::connect(a.address, freshAddress());
  MessageHeader h;
  h.sender.number = 25;
  far.send(NEW_REMOTE_CONNECT, {}, h);
  EXPECT_TRUE(far.waitClosed());
  EXPECT_TRUE(a.engine->err.waitFor("member number 25 out of range"));
  EXPECT_EQ(numbersOf(membersOf(a.manager)), std::vector<int>{0});
}

TEST(EngineSession, TwentyEnginesFormOneSession) {
  std::vector<std::unique_ptr<SessionHost>> hosts;
  std::vector<SessionHost*> pointers;
  for (int i = 0; i < kMaxMembers; ++i) {
    hosts.push_back(std::make_unique<SessionHost>("user" + std::to_string(i)));
    pointers.push_back(hosts.back().get());
  }
  ASSERT_TRUE(formSession(pointers));
  auto members = membersOf(hosts[7]->manager);
  ASSERT_EQ(members.size(), 20u);
  for (int i = 0; i < kMaxMembers; ++i) EXPECT_EQ(members[i], hosts[i]->record(i));

  // No slot is left for a twenty-first.
  SessionHost extra("extra");
  hosts[0]->manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(extra.record()));
  EXPECT_TRUE(hosts[0]->manager.waitFor(CTL_INVITATION_TIMEOUT));
  EXPECT_TRUE(hosts[0]->engine->err.waitFor("no free member slot"));
}

}  // namespace
}  // namespace zep::testing

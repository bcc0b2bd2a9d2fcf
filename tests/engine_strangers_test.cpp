// Engines tried by hosts that are not members: one claiming a member's number, one opening
// silent connections as fast as it can, and the joiner whose connect overtakes its
// announcement, which must still be taken.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

MessageHeader as(const std::string& name, int number) {
  MessageHeader h;
  h.sender.name = name;
  h.sender.number = static_cast<std::uint8_t>(number);
  return h;
}

// anna and bert form a session; a third host connects to anna as member 1 "bert" and says
// it quits. bert stays, with his channel, and the session stays whole.
TEST(EngineStrangers, AThirdAddressClaimingAPresentMemberIsRefusedAndTheMemberStays) {
  SessionHost anna("anna"), bert("bert");
  ASSERT_TRUE(formSession({&anna, &bert}));
  auto strangerAddress = freshAddress();

  Peer impostor = Peer::connect(anna.address, strangerAddress);
  ASSERT_TRUE(impostor.send(NEW_REMOTE_CONNECT, {}, as("bert", 1)));
  ASSERT_TRUE(impostor.send(MEMBER_QUIT, {}, as("bert", 1)));
  EXPECT_TRUE(impostor.waitClosed());
  EXPECT_TRUE(anna.engine->err.waitFor("Engine: connection from " + dotted(strangerAddress) +
                                       " claims member 1, which is connected -- refused\n"));
  EXPECT_EQ(membersOf(anna.manager).size(), 2u);
  EXPECT_EQ(membersOf(bert.manager).size(), 2u);

  // The real bert still speaks through his channel.
  ByteWriter start;
  start.i32(7, ByteOrder::kLittle);
  ASSERT_TRUE(bert.manager.send(LOCAL_START_APP, start.data()));
  EXPECT_TRUE(anna.manager.waitFor(CTL_START_APP));

  // A number nobody has announced is held, unread, and closed when no announcement comes.
  Peer unknown = Peer::connect(anna.address, strangerAddress);
  ASSERT_TRUE(unknown.send(NEW_REMOTE_CONNECT, {}, as("nobody", 5)));
  ASSERT_TRUE(unknown.send(MEMBER_QUIT, {}, as("nobody", 5)));
  EXPECT_TRUE(anna.engine->err.waitFor("Engine: connection from " + dotted(strangerAddress) +
                                           " as member 5 never announced -- closed\n",
                                       8000));
  EXPECT_TRUE(unknown.waitClosed());
  EXPECT_EQ(membersOf(anna.manager).size(), 2u);
}

// The joiner connects to an existing member before and after the inviter announces it; either
// way the connection becomes the joiner's channel.
TEST(EngineStrangers, AJoinersConnectIsTakenBeforeOrAfterTheInvitersAnnouncement) {
  for (bool connectFirst : {true, false}) {
    SCOPED_TRACE(connectFirst ? "connect first" : "announcement first");
    SessionHost bert("bert");
    auto annAddress = freshAddress(), carlAddress = freshAddress();
    Peer ann = Peer::connect(bert.address, annAddress);
    MemberList invitation;
    invitation.word0 = 0;
    ASSERT_TRUE(ann.send(NEW_REMOTE_INVITED, encodeMemberList(invitation, ByteOrder::kLittle),
                         as("ann", 0)));
    ASSERT_TRUE(bert.manager.waitFor(CTL_INVITATION));
    ASSERT_TRUE(bert.manager.send(LOCAL_JOIN));
    ASSERT_TRUE(ann.waitFor(MEMBER_ACCEPT));
    MemberList rest;
    rest.records = {recordOf("ann", annAddress, 0), recordOf("bert", bert.address, 1)};
    MessageHeader target;
    target.target.number = 1;
    ASSERT_TRUE(ann.send(MEMBER_ADD_REST, encodeMemberList(rest, ByteOrder::kBig), target));
    ASSERT_TRUE(waitForMemberCount(bert.manager, 2));

    Peer carl;
    auto announce = [&] {
      return ann.send(MEMBER_ADD_MEMBER, encodeMemberRecord(recordOf("carl", carlAddress, 2)));
    };
    if (!connectFirst) {
      ASSERT_TRUE(announce());
      ASSERT_TRUE(waitForMemberCount(bert.manager, 3));
    }
    carl = Peer::connect(bert.address, carlAddress);
    ASSERT_TRUE(carl.send(NEW_REMOTE_CONNECT, {}, as("carl", 2)));
    if (connectFirst) {
      ASSERT_TRUE(bert.engine->out.waitFor("as member 2 waits for its announcement\n"));
      ASSERT_TRUE(announce());
    }
    EXPECT_TRUE(bert.engine->out.waitFor("Member 2 connected"));
    ByteWriter start;
    start.i32(7, ByteOrder::kBig);
    ASSERT_TRUE(carl.send(MEMBER_START_APP, start.data(), as("carl", 2)));
    EXPECT_TRUE(bert.manager.waitFor(CTL_START_APP)) << "carl's channel is live";
    ASSERT_TRUE(bert.manager.send(LOCAL_START_APP, start.data()));
    EXPECT_TRUE(carl.waitFor(MEMBER_START_APP)) << "and bert sends to carl over it";
  }
}

void invitationThroughFlood(int addresses);

// Hosts opening silent connections as fast as they can, from one address or from more than
// the engine has room for two each, do not keep an invitation out.
TEST(EngineStrangers, AnInvitationGetsThroughAFloodOfSilentConnections) {
  for (int addresses : {1, 5}) {
    SCOPED_TRACE(std::to_string(addresses) + " stranger addresses");
    invitationThroughFlood(addresses);
  }
}

void invitationThroughFlood(int addresses) {
  SessionHost anna("anna"), bert("bert");
  std::vector<net::Ipv4> strangers;
  for (int i = 0; i < addresses; ++i) strangers.push_back(freshAddress());
  std::atomic<int> opened{0};
  std::jthread flood([&](std::stop_token stop) {
    std::vector<Peer> open;
    for (std::size_t i = 0; !stop.stop_requested(); ++i) {
      Peer p = Peer::connect(bert.address, strangers[i % strangers.size()]);
      if (p.connected()) opened++;
      open.push_back(std::move(p));
      if (open.size() > 200) open.erase(open.begin());
    }
  });
  ASSERT_TRUE(waitUntil([&] { return opened > 50; }));
  ASSERT_TRUE(anna.manager.send(LOCAL_CREATE));
  ASSERT_TRUE(anna.manager.waitFor(CTL_ADD_MEMBER));
  auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(anna.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(bert.record())));
  auto invitation = bert.manager.waitFor(CTL_INVITATION, 3000);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - sent);
  flood.request_stop();
  ASSERT_TRUE(invitation);
  EXPECT_LT(waited.count(), 1000) << "with " << opened << " silent connections opened";
  EXPECT_TRUE(bert.engine->err.contains("too many at once from one host"));
}

}  // namespace
}  // namespace zep::testing

// An engine tried as a stranger on the network would: connections that send part of a message
// and fall silent, garbage, other hosts asking for this host's manager and application
// channels, members that stop reading, and the session faults found in review.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

std::vector<std::uint8_t> invitationList(std::int32_t inviter) {
  MemberList list;
  list.word0 = inviter;
  return encodeMemberList(list, ByteOrder::kLittle);
}

bool answersWithin(Peer& manager, int ms) {
  return manager.send(LOCAL_GET_MEMBERS) && manager.waitFor(CTL_MEMBERS, ms).has_value();
}

TEST(EngineHardening, HalfSentHeaderNeitherFreezesTheEngineNorMakesItSpin) {
  auto address = freshAddress();
  EngineProcess engine(address);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  ASSERT_TRUE(manager.send(LOCAL_CREATE));
  ASSERT_TRUE(manager.waitFor(CTL_ADD_MEMBER));

  Peer silent = Peer::connect(address);
  const std::uint8_t twoBytes[] = {NEW_LOCAL_INIT, 0};
  ASSERT_TRUE(silent.sendRaw(twoBytes));
  ASSERT_TRUE(engine.out.waitFor("Accepted\n"));
  // Beside the silent one: an application of this host.
  Peer queued = Peer::application(address, 12567);

  double before = processorSeconds(engine.process().pid());
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(answersWithin(manager, 1000)) << "request " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  double used = processorSeconds(engine.process().pid()) - before;
  EXPECT_LT(used, 0.2) << "the engine used " << used << " s of processor in about 2 s";

  // The application that came after it was served meanwhile; a second after its arrival the
  // silent connection is closed.
  EXPECT_TRUE(queued.waitFor(CTL_LOCAL_MEMBER, 1000));
  ASSERT_TRUE(engine.err.waitFor("Engine: new connection silent -- closed\n", 2000));
  EXPECT_TRUE(silent.waitClosed());
  EXPECT_TRUE(answersWithin(manager, 1000));
}

TEST(EngineHardening, GarbageOfEveryLengthOnANewConnectionLeavesTheManagerServed) {
  auto address = freshAddress();
  EngineProcess engine(address);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  ASSERT_TRUE(answersWithin(manager, 1000));

  const unsigned seed = 20261208;
  std::mt19937 random(seed);
  for (std::size_t length = 0; length <= 2 * kHeaderSize + 8; ++length) {
    std::vector<std::uint8_t> garbage(length);
    for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
    // Not a first-message tag, so the garbage never becomes a channel of its own.
    if (length > 0) garbage[0] = static_cast<std::uint8_t>(garbage[0] % 50);
    Peer stranger = Peer::connect(address, freshAddress());
    ASSERT_TRUE(stranger.connected());
    stranger.sendRaw(garbage);
    ::shutdown(stranger.fd(), SHUT_WR);
    EXPECT_TRUE(stranger.waitClosed(1000)) << "length " << length << ", seed " << seed;
    stranger.close();
    EXPECT_TRUE(answersWithin(manager, 1000)) << "length " << length << ", seed " << seed;
  }
}

TEST(EngineHardening, StrangersCannotTakeTheManagerOrApplicationChannels) {
  SessionHost a("alice");
  ASSERT_TRUE(a.manager.send(LOCAL_CREATE));
  ASSERT_TRUE(a.manager.waitFor(CTL_ADD_MEMBER));
  auto strangerAddress = freshAddress();

  Peer fakeManager = Peer::connect(a.address, strangerAddress);
  ASSERT_TRUE(fakeManager.send(NEW_LOCAL_INIT));
  EXPECT_TRUE(fakeManager.waitClosed());
  EXPECT_TRUE(a.engine->err.waitFor("Engine: manager connection from " + dotted(strangerAddress) +
                                    " refused -- closed\n"));

  Peer fakeApp = Peer::connect(a.address, strangerAddress);
  ByteWriter port;
  port.u16(12567, ByteOrder::kBig);
  ASSERT_TRUE(fakeApp.send(NEW_APP_ATTACH, port.data()));
  EXPECT_TRUE(fakeApp.waitClosed());
  EXPECT_TRUE(a.engine->err.waitFor("Engine: application connection from " +
                                    dotted(strangerAddress) + " refused -- closed\n"));
  EXPECT_FALSE(fakeApp.skipped().size() > 0) << "the stranger learned nothing";

  // The real manager keeps its session, and the host's own programs are served.
  auto members = membersOf(a.manager);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].name, "alice");
  Peer app = Peer::application(a.address, 12567);
  EXPECT_TRUE(app.waitFor(CTL_LOCAL_MEMBER));

  // Member channels still come from anywhere.
  Peer inviter = Peer::connect(a.address, strangerAddress);
  ASSERT_TRUE(inviter.send(NEW_REMOTE_INVITED, invitationList(0)));
  EXPECT_TRUE(inviter.waitFor(MEMBER_REJECT)) << "already in a session: refused as a member";
}

// A member whose socket is never read again: the engine's sends to it run out of time, the
// member is lost as if it had left, and the manager is answered throughout.
TEST(EngineHardening, MemberThatStopsReadingIsDroppedWhileTheManagerIsServed) {
  SessionHost a("alice");
  auto remoteAddress = freshAddress();
  RemoteEngine remote(remoteAddress);
  ASSERT_TRUE(remote.listening());
  const int small = 4096;
  ::setsockopt(remote.listener().fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  ASSERT_TRUE(a.manager.send(LOCAL_CREATE));
  ASSERT_TRUE(a.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("bob", remoteAddress))));
  Peer bob = remote.accept();
  ASSERT_TRUE(bob.waitFor(NEW_REMOTE_INVITED));
  MessageHeader h;
  h.sender.name = "bob";
  ASSERT_TRUE(bob.send(MEMBER_ACCEPT, {}, h));
  ASSERT_TRUE(a.manager.waitFor(CTL_ACCEPTED));
  ASSERT_TRUE(bob.waitFor(MEMBER_ADD_REST));  // from here on bob reads nothing

  Peer app = Peer::application(a.address, 12567);
  ASSERT_TRUE(app.waitFor(CTL_LOCAL_MEMBER));
  std::jthread flood([&](std::stop_token stop) {
    AppMessage data;
    data.destination = 1;
    data.port = 12567;
    data.tag = 99;
    data.data.assign(60000, 0x55);
    auto payload = encodeAppMessage(data, kAppDataOrder);
    for (int i = 0; i < 300 && !stop.stop_requested(); ++i)
      if (!app.send(APP_DATA, payload)) break;
  });

  bool deleted = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!deleted && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(a.manager.send(LOCAL_GET_MEMBERS));
    // One send may hold the engine for its time-out, never longer.
    for (;;) {
      auto m = a.manager.receive(5000);
      ASSERT_TRUE(m) << "the manager was not answered";
      if (m->header.tag == CTL_DELETE_MEMBER) deleted = true;
      if (m->header.tag == CTL_MEMBERS) break;
    }
  }
  flood.request_stop();
  EXPECT_TRUE(deleted);
  EXPECT_TRUE(a.engine->err.contains("Engine: member 1 does not read -- channel closed\n"));
  EXPECT_EQ(membersOf(a.manager).size(), 1u);
}

// An engine that left its session (or never had one) does not file a member channel: the
// connecting engine sees it close instead of keeping a member that is gone.
TEST(EngineSession, MemberConnectionToAnEngineWithoutASessionIsClosed) {
  SessionHost b("bob");
  Peer late = Peer::connect(b.address, freshAddress());
  MessageHeader h;
  h.sender.number = 2;
  ASSERT_TRUE(late.send(NEW_REMOTE_CONNECT, {}, h));
  EXPECT_TRUE(late.waitClosed());
  EXPECT_TRUE(
      b.engine->err.waitFor("Engine: member connection while not in a session -- closed\n"));
}

// After a failed connect during the member list, member 1 is present without a channel;
// members after it must still hear what is sent to everybody.
TEST(EngineSession, SendToEverybodyReachesMembersAfterOneWithoutAChannel) {
  SessionHost e("erin");
  auto inviterAddress = freshAddress();
  auto laterAddress = freshAddress();
  RemoteEngine later(laterAddress);
  Peer inviter = Peer::connect(e.address, inviterAddress);
  MessageHeader h;
  h.sender.name = "ann";
  ASSERT_TRUE(inviter.send(NEW_REMOTE_INVITED, invitationList(0), h));
  ASSERT_TRUE(e.manager.waitFor(CTL_INVITATION));
  ASSERT_TRUE(e.manager.send(LOCAL_JOIN));
  ASSERT_TRUE(inviter.waitFor(MEMBER_ACCEPT));

  MemberList list;
  list.records = {recordOf("ann", inviterAddress, 0), recordOf("nobody", freshAddress(), 1),
                  recordOf("erin", e.address, 2), recordOf("lee", laterAddress, 3)};
  MessageHeader rest;
  rest.target.number = 2;
  ASSERT_TRUE(inviter.send(MEMBER_ADD_REST, encodeMemberList(list, ByteOrder::kBig), rest));
  Peer lee = later.accept();
  ASSERT_TRUE(lee.waitFor(NEW_REMOTE_CONNECT));
  ASSERT_TRUE(waitForMemberCount(e.manager, 4));

  ByteWriter start;
  start.i32(7, ByteOrder::kLittle);
  ASSERT_TRUE(e.manager.send(LOCAL_START_APP, start.data()));
  EXPECT_TRUE(inviter.waitFor(MEMBER_START_APP));
  EXPECT_TRUE(lee.waitFor(MEMBER_START_APP)) << "member 3 missed the message";
}

// The same user of the same host accepting a second invitation is turned away: no
// CTL_ACCEPTED, no MEMBER_ADD_MEMBER, and the second channel is closed.
TEST(EngineSession, AcceptFromAMemberThatCannotBeAddedIsWithdrawn) {
  SessionHost a("alice");
  auto bobAddress = freshAddress();
  RemoteEngine remote(bobAddress);
  ASSERT_TRUE(a.manager.send(LOCAL_CREATE));
  MessageHeader h;
  h.sender.name = "bob";

  ASSERT_TRUE(a.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("bob", bobAddress))));
  Peer first = remote.accept();
  ASSERT_TRUE(first.waitFor(NEW_REMOTE_INVITED));
  ASSERT_TRUE(first.send(MEMBER_ACCEPT, {}, h));
  ASSERT_TRUE(a.manager.waitFor(CTL_ACCEPTED));
  ASSERT_TRUE(first.waitFor(MEMBER_ADD_REST));

  ASSERT_TRUE(a.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("bob", bobAddress))));
  Peer second = remote.accept();
  ASSERT_TRUE(second.waitFor(NEW_REMOTE_INVITED));
  ASSERT_TRUE(second.send(MEMBER_ACCEPT, {}, h));
  auto refused = a.manager.waitFor(CTL_REJECTED);
  ASSERT_TRUE(refused);
  EXPECT_EQ(decodeMemberRecord(refused->payload)->name, "bob");
  for (const auto& m : a.manager.skipped()) EXPECT_NE(m.header.tag, CTL_ACCEPTED);
  EXPECT_TRUE(second.waitFor(MEMBER_REJECT));
  EXPECT_TRUE(second.waitClosed());
  EXPECT_TRUE(first.silentFor(300)) << "no MEMBER_ADD_MEMBER for a member not added";
  EXPECT_EQ(membersOf(a.manager).size(), 2u);
}

TEST(EngineSession, JoiningAfterCreatingAnOwnSessionIsRefused) {
  SessionHost e("erin");
  Peer inviter = Peer::connect(e.address, freshAddress());
  ASSERT_TRUE(inviter.send(NEW_REMOTE_INVITED, invitationList(0)));
  ASSERT_TRUE(e.manager.waitFor(CTL_INVITATION));
  ASSERT_TRUE(e.manager.send(LOCAL_CREATE));
  ASSERT_TRUE(e.manager.send(LOCAL_JOIN));
  EXPECT_TRUE(inviter.waitFor(MEMBER_REJECT));
  for (const auto& m : inviter.skipped()) EXPECT_NE(m.header.tag, MEMBER_ACCEPT);
  EXPECT_TRUE(inviter.waitClosed());
  auto members = membersOf(e.manager);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].name, "erin");
}

}  // namespace
}  // namespace zep::testing

// The link against a stand-in engine on a loopback host: its side of the application channel,
// and whose media datagrams it takes.
#include "applink/link.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>

#include "applink/rtp.h"
#include "tests/driver/driver.h"

namespace zep::applink {
namespace {

using namespace engine;

// Plays the engine of one loopback host: accepts the link's channel and writes to it.
struct StandInEngine {
  StandInEngine() : address(testing::freshAddress()) {
    const char* step = "";
    listener = net::listenTcp(address, kEnginePort, 4, &step);
    host.address = host.bindAddress = address;
    host.userName = "alice";
  }

  std::unique_ptr<Link> attach(LinkOptions options) {
    options.log = [this](const std::string& line) { lines.push_back(line); };
    auto link = Link::attach(12567, host, std::move(options));
    net::Ipv4 peer = 0;
    channel = net::acceptTcp(listener, &peer);
    Message attachMessage;
    EXPECT_EQ(receiveMessage(channel.fd(), &attachMessage), ReadStatus::kOk);
    EXPECT_EQ(attachMessage.header.tag, NEW_APP_ATTACH);
    return link;
  }

  void write(const std::vector<std::uint8_t>& bytes) const {
    ASSERT_EQ(net::writeAll(channel.fd(), bytes.data(), bytes.size()), 1);
  }

  // Serves the link's control channel until it has handled something.
  static bool serviceOnce(Link& link) {
    return testing::waitUntil([&] {
      net::ReadSet set;
      link.fillReadSet(set);
      return set.wait(10) > 0 && link.serviceControl(set) == 1;
    });
  }

  bool logged(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  net::Ipv4 address;
  host::HostIdentity host;
  net::Socket listener;
  net::Socket channel;
  std::vector<std::string> lines;
};

std::vector<std::uint8_t> quitMessage() {
  MessageHeader h;
  h.tag = CTL_QUIT;
  return encodeHeader(h);
}

TEST(ApplicationChannel, AnOverLongHeaderEndsTheChannelInsteadOfReadingOnOutOfStep) {
  StandInEngine engine;
  std::vector<int> quits;
  LinkOptions options;
  options.exit = [](int) { ADD_FAILURE() << "a quit callback is registered"; };
  auto link = engine.attach(options);
  ASSERT_TRUE(link);
  link->setCallback(kQuitEvent, [&](const LinkEventArgs& e) { quits.push_back(e.quitTag); });

  MessageHeader tooLong;
  tooLong.tag = CTL_PRIORITY_DATA;
  tooLong.length = static_cast<std::int32_t>(kMaxPayload + 1);
  auto stream = encodeHeader(tooLong);
  // What follows the announced length is not a message of its own; read out of step it
  // would pass for a quit.
  auto quit = quitMessage();
  stream.insert(stream.end(), quit.begin(), quit.end());
  engine.write(stream);

  ASSERT_TRUE(StandInEngine::serviceOnce(*link));
  EXPECT_EQ(quits, std::vector<int>{0}) << "the engine is gone, as when it closes";
  EXPECT_TRUE(engine.logged("App: data reading error\n"));
  EXPECT_EQ(link->controlSocket(), -1);
  net::ReadSet set;
  link->fillReadSet(set);
  set.wait(50);
  EXPECT_EQ(link->serviceControl(set), 0);
  EXPECT_FALSE(engine.logged("Application: quit\n"));
}

TEST(ApplicationChannel, AReadErrorEndsTheProgramLikeALostEngine) {
  StandInEngine engine;
  std::vector<int> exits;
  LinkOptions options;
  options.exit = [&](int code) { exits.push_back(code); };
  auto link = engine.attach(options);
  ASSERT_TRUE(link);
  // A reset connection: the link's next read fails instead of seeing an orderly close.
  linger abort{1, 0};
  ::setsockopt(engine.channel.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  engine.channel.close();

  ASSERT_TRUE(StandInEngine::serviceOnce(*link));
  EXPECT_TRUE(engine.logged("App: data reading error\n"));
  EXPECT_EQ(exits, std::vector<int>{0}) << "without a quit callback the program ends";
  EXPECT_EQ(link->controlSocket(), -1);
}

}  // namespace
}  // namespace zep::applink

namespace zep::applink {
namespace {

// A link of member 0 (alice, at the stand-in engine's address) in a session with bob.
struct MemberRig {
  MemberRig() : bob(testing::freshAddress()), stranger(testing::freshAddress()) {
    LinkOptions options;
    options.exit = [](int) {};
    link = engine.attach(options);
    for (const auto& record :
         {testing::recordOf("alice", engine.address, 0), testing::recordOf("bob", bob, 1)})
      tell(CTL_ADD_MEMBER, encodeMemberRecord(record));
    tell(CTL_LOCAL_MEMBER, encodeNumber(0, ByteOrder::kLittle));
  }
  void tell(std::uint8_t tag, const std::vector<std::uint8_t>& payload) {
    MessageHeader h;
    h.tag = tag;
    ASSERT_EQ(sendMessage(engine.channel.fd(), h, payload), 1);
    ASSERT_TRUE(StandInEngine::serviceOnce(*link));
  }
  // Sends the datagram from `from` and returns what the link's receive made of it.
  long deliver(net::Ipv4 from, const std::vector<std::uint8_t>& datagram) {
    const char* step = "";
    auto socket = net::openUdp(from, 0, &step);
    EXPECT_TRUE(net::sendTo(socket, engine.address, 12567, datagram));
    long n = -1;
    EXPECT_TRUE(testing::waitUntil([&] {
      net::ReadSet set;
      link->fillReadSet(set);
      if (set.wait(10) <= 0 || !set.isReady(link->dataSocket())) return false;
      n = link->receiveMedia(set, buffer);
      return true;
    }));
    return n;
  }
  StandInEngine engine;
  net::Ipv4 bob, stranger;
  std::unique_ptr<Link> link;
  std::vector<std::uint8_t> buffer;
};

std::vector<std::uint8_t> rtpFrom(std::uint32_t source) {
  RtpHeader h;
  h.payloadType = 13;
  h.source = source;
  return encodeRtpDatagram(h, std::vector<std::uint8_t>(4, 9));
}

TEST(MediaSource, OnlyAMemberAtItsOwnAddressOrThisHostIsHeard) {
  MemberRig rig;
  ASSERT_TRUE(rig.link && rig.link->present(1) && rig.link->localMember() == 0);
  const auto fromBob = encodeMediaDatagram(13, 1, std::vector<std::uint8_t>(4, 7));
  // A stranger naming a member, in either header kind, or sending nothing readable.
  EXPECT_EQ(rig.deliver(rig.stranger, fromBob), 0);
  EXPECT_TRUE(rig.buffer.empty());
  EXPECT_EQ(rig.deliver(rig.stranger, rtpFrom(1)), 0);
  EXPECT_EQ(rig.deliver(rig.stranger, {0, 0, 0}), 0);
  // A member speaks for itself only: not for this host, not for a number nobody holds.
  EXPECT_EQ(rig.deliver(rig.bob, encodeMediaDatagram(13, 0, {})), 0);
  EXPECT_EQ(rig.deliver(rig.bob, encodeMediaDatagram(13, 5, {})), 0);
  EXPECT_EQ(rig.deliver(rig.bob, fromBob), static_cast<long>(fromBob.size()));
  EXPECT_EQ(rig.buffer, fromBob);
  EXPECT_EQ(rig.deliver(rig.bob, rtpFrom(1)), static_cast<long>(kRtpHeaderSize + 4));
  // This host replays recordings in everybody's name, its own included.
  EXPECT_GT(rig.deliver(rig.engine.address, encodeMediaDatagram(13, 0, {})), 0);
  EXPECT_GT(rig.deliver(rig.engine.address, fromBob), 0);

  // A member that left is a stranger again.
  rig.tell(CTL_DELETE_MEMBER, encodeNumber(1, ByteOrder::kLittle));
  EXPECT_EQ(rig.deliver(rig.bob, fromBob), 0);
}

}  // namespace
}  // namespace zep::applink

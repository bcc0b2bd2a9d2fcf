// The link's side of the application channel, against a stand-in engine on a loopback host.
#include "applink/link.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>

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

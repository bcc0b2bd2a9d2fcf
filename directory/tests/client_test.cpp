// The library object over a real socket: the settings record, the calling order on connect,
// notifications to the host window, and a server that stops answering or dies mid-message.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "directory/client.h"
#include "directory/tests/test_support.h"
#include "ui/recording_view.h"

namespace zep::directory {
namespace {

using testing::framed;

// A loopback address of its own for each server of this process.
net::Ipv4 freshServerAddress() {
  static int n = 0;
  return net::dottedAddress("127.86." + std::to_string(::getpid() % 250) + "." +
                            std::to_string(++n));
}

std::array<std::uint8_t, kSettingsSize> settings(net::Ipv4 server, const std::string& name) {
  std::array<std::uint8_t, kSettingsSize> s{};
  s.fill(0xEE);  // bytes after each NUL are not read
  auto put = [&](std::size_t at, const std::string& text) {
    std::memcpy(s.data() + at, text.data(), text.size());
    s[at + text.size()] = 0;
  };
  put(20, net::formatAddress(server));
  put(70, name);
  put(100, "me@example.org");
  return s;
}

std::vector<std::uint8_t> readExactly(int fd, std::size_t n) {
  std::vector<std::uint8_t> out(n);
  EXPECT_EQ(1, net::readAll(fd, out.data(), n));
  return out;
}

// Runs what the receiving thread posted until the condition holds.
bool drainUntil(ui::RecordingView& view, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (view.drain() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int resets(const ui::RecordingView& v) {
  return static_cast<int>(std::count_if(v.boxes.begin(), v.boxes.end(), [](auto& b) {
    return b.text == "Connection with Directory Server has been reset";
  }));
}

TEST(DirectoryClient, ConnectsInOrderAndNotifiesTheHostWindow) {
  net::Ipv4 at = freshServerAddress();
  const char* step = "";
  net::Socket listener = net::listenTcp(at, kDirectoryPort, 4, &step);
  ASSERT_TRUE(listener) << step;
  ui::RecordingView host;
  DirectoryClient client;
  ASSERT_EQ(0, client.initialize(&host));
  ASSERT_EQ(1u, host.windows.size());
  ui::RecordingView& window = *host.windows[0];
  EXPECT_EQ("Directory Server", host.windowTitles[0]);
  std::string longName(25, 'n');
  auto record = settings(at, longName);
  ASSERT_EQ(0, client.connect(record));
  net::Ipv4 peer = 0;
  net::Socket server = net::acceptTcp(listener, &peer);
  ASSERT_TRUE(server);
  // Users, then conferences, then the registration: user id 0, name, "", e-mail.
  EXPECT_EQ(framed(kUserList, {}), readExactly(server.fd(), 3));
  EXPECT_EQ(framed(kConferenceList, wordBody(0)), readExactly(server.fd(), 7));
  auto reg = framed(kRegister, registrationBody({0, longName, "", "me@example.org"}));
  EXPECT_EQ(reg, readExactly(server.fd(), reg.size()));

  std::vector<std::uint8_t> answer = framed(kRegister, registrationBody({peer, longName, "", "m"}));
  auto made = framed(kNewConference, newConferenceBody({kOpen, 3, peer, "Mine", ""}));
  answer.insert(answer.end(), made.begin(), made.end());
  ASSERT_EQ(1, net::writeAll(server.fd(), answer.data(), answer.size()));
  std::vector<ui::RecordingView::Command> commands;
  ASSERT_TRUE(drainUntil(window, [&] {
    for (auto c : host.takeCommands()) commands.push_back(c);
    return !commands.empty();
  }));
  EXPECT_EQ((DSN_CONFENTERED << 16) | 1u, commands[0].first);
  auto* r = reinterpret_cast<ParticipantRecord*>(commands[0].second);
  EXPECT_EQ(std::string(19, 'n'), std::string(r->name)) << "cut to 19 characters";
  EXPECT_EQ(peer, r->userId);
  std::free(r);

  // Half a header, then the server dies: the connection is reset, said once.
  std::uint8_t half = 0;
  ASSERT_EQ(1, net::writeAll(server.fd(), &half, 1));
  server.close();
  ASSERT_TRUE(drainUntil(window, [&] { return resets(window) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  window.drain();
  EXPECT_EQ(1, resets(window));
  EXPECT_EQ(1, window.list("User list").size()) << "the pages keep their last contents";
}

TEST(DirectoryClient, ASilentServerBlocksNothingAndAReconnectStartsAfresh) {
  net::Ipv4 at = freshServerAddress();
  const char* step = "";
  net::Socket listener = net::listenTcp(at, kDirectoryPort, 4, &step);
  ASSERT_TRUE(listener) << step;
  ui::RecordingView host;
  DirectoryClient client;
  ASSERT_EQ(0, client.initialize(&host));
  ui::RecordingView& window = *host.windows[0];
  auto record = settings(at, "me");
  ASSERT_EQ(0, client.connect(record));
  net::Ipv4 peer = 0;
  net::Socket first = net::acceptTcp(listener, &peer);
  auto entry = framed(kConferenceList, conferenceEntryBody({0, 8, "Old", {peer}}));
  ASSERT_EQ(1, net::writeAll(first.fd(), entry.data(), entry.size()));
  ASSERT_TRUE(drainUntil(window, [&] { return client.dialog().conferences().rows().size() == 1; }));

  // The second connection goes to a server that accepts and never answers.
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(0, client.connect(record));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  net::Socket second = net::acceptTcp(listener, &peer);
  ASSERT_TRUE(second);
  ASSERT_TRUE(drainUntil(window, [&] { return resets(window) == 1; }))
      << "the first connection's thread ends with the reset message";
  EXPECT_TRUE(client.dialog().conferences().table().empty());
  EXPECT_TRUE(window.list("Conference list").empty());
  EXPECT_EQ(0, client.dialog().conferences().rows().size());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  window.drain();
  EXPECT_EQ(1, resets(window));
  // The window still acts at once: Join with nothing selected, the tabs.
  client.dialog().onClick("Join");
  EXPECT_EQ(0, client.show(1));
  EXPECT_TRUE(window.isVisible("Conferences page"));
}

// A request that took more than 2 s to go ended the connection: too short for a modem link.
TEST(DirectoryClient, ARequestSlowerThanTwoSecondsDropsTheConnection) {
  net::Ipv4 at = freshServerAddress();
  const char* step = "";
  net::Socket listener = net::listenTcp(at, kDirectoryPort, 4, &step);
  ASSERT_TRUE(listener) << step;
  int small = 4096;  // the server's window stays small while it does not read
  ::setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ui::RecordingView host;
  DirectoryClient client;
  ASSERT_EQ(0, client.initialize(&host));
  ui::RecordingView& window = *host.windows[0];
  ASSERT_EQ(0, client.connect(settings(at, "me")));
  net::Ipv4 peer = 0;
  net::Socket server = net::acceptTcp(listener, &peer);
  ASSERT_TRUE(server);
  // Requests until the socket buffers are full and the outbox too: each returns at once.
  std::string topic(60000, 't');
  auto fill = [&] {
    int queued = 0;
    while (queued < 400 && client.link().createConference(kOpen, topic, "") == 0) ++queued;
    return queued;
  };
  auto started = std::chrono::steady_clock::now();
  int queued = fill();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  ASSERT_LT(queued, 400) << "the outbox is bounded";
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));  // the slow link
  // The server reads it all at last: every frame whole, the connection still up.
  std::size_t hello =
      3 + 7 + framed(kRegister, registrationBody({0, "me", "", "me@example.org"})).size();
  readExactly(server.fd(), hello);
  auto expected = framed(kNewConference, newConferenceBody({kOpen, 0, 0, topic, ""}));
  for (int i = 0; i < queued; ++i) ASSERT_EQ(expected, readExactly(server.fd(), expected.size()));
  window.drain();
  EXPECT_EQ(0, resets(window));

  // A frame that cannot go within the deadline does end it: the stream would be out of step.
  // Requests go on until the system's buffers, which may have grown meanwhile, are full too.
  client.link().setSendTimeout(300);
  ASSERT_TRUE(drainUntil(window, [&] {
    fill();
    return resets(window) == 1;
  }));
}

// A server sending faster than the window takes its messages grew the client without bound.
TEST(DirectoryClient, AFloodFasterThanTheWindowGrowsTheClientWithoutBound) {
  net::Ipv4 at = freshServerAddress();
  const char* step = "";
  net::Socket listener = net::listenTcp(at, kDirectoryPort, 4, &step);
  ASSERT_TRUE(listener) << step;
  ui::RecordingView host;
  DirectoryClient client;
  client.setQueueLimit(64, 300);
  ASSERT_EQ(0, client.initialize(&host));
  ui::RecordingView& window = *host.windows[0];
  auto record = settings(at, "me");
  ASSERT_EQ(0, client.connect(record));
  net::Ipv4 peer = 0;
  net::Socket server = net::acceptTcp(listener, &peer);
  std::vector<std::uint8_t> flood;
  for (int i = 0; i < 500; ++i) {
    auto f = framed(kRegister, registrationBody({peer + static_cast<net::Ipv4>(i), "x", "", "y"}));
    flood.insert(flood.end(), f.begin(), f.end());
  }
  ASSERT_EQ(1, net::writeAll(server.fd(), flood.data(), flood.size()));
  // The window takes nothing meanwhile; then the connection is found gone.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_TRUE(drainUntil(window, [&] { return resets(window) == 1; }));
  EXPECT_LE(window.list("User list").size(), 64u);
  // The library lives on: a new connection works.
  ASSERT_EQ(0, client.connect(record));
  net::Socket again = net::acceptTcp(listener, &peer);
  ASSERT_TRUE(again);
  auto one = framed(kRegister, registrationBody({peer, "back", "", "b"}));
  ASSERT_EQ(1, net::writeAll(again.fd(), one.data(), one.size()));
  ASSERT_TRUE(drainUntil(window, [&] { return window.list("User list").size() == 1; }));
}

// The host's window destroyed (the program ending) while the server still sends: the receiving
// thread went on posting to it.
TEST(DirectoryClient, TheWindowDestroyedWhileTheServerSendsIsStillPostedTo) {
  net::Ipv4 at = freshServerAddress();
  const char* step = "";
  net::Socket listener = net::listenTcp(at, kDirectoryPort, 4, &step);
  ASSERT_TRUE(listener) << step;
  auto host = std::make_unique<ui::RecordingView>();
  DirectoryClient client;
  ASSERT_EQ(0, client.initialize(host.get()));
  ASSERT_EQ(0, client.connect(settings(at, "me")));
  net::Ipv4 peer = 0;
  net::Socket server = net::acceptTcp(listener, &peer);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    auto f = framed(kNotice, noticeBody("still here"));
    while (!stop && net::writeAll(server.fd(), f.data(), f.size()) == 1) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  client.dialog().onDestroyed();  // what the front end says before it deletes the window
  host.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  server.close();
  sender.join();
  EXPECT_EQ(-1, client.show(0));
}

// DSInitialize without a window was refused; without an owner the library works on.
TEST(DirectoryClient, InitializingWithoutAWindowIsRefused) {
  net::Ipv4 at = freshServerAddress();
  const char* step = "";
  net::Socket listener = net::listenTcp(at, kDirectoryPort, 4, &step);
  ASSERT_TRUE(listener) << step;
  DirectoryClient client;
  ASSERT_EQ(0, client.initialize(nullptr));
  ASSERT_EQ(0, client.connect(settings(at, "me")));
  net::Ipv4 peer = 0;
  net::Socket server = net::acceptTcp(listener, &peer);
  std::vector<std::uint8_t> in = framed(kRegister, registrationBody({peer, "me", "", "m"}));
  auto made = framed(kNewConference, newConferenceBody({kOpen, 3, peer, "Mine", ""}));
  in.insert(in.end(), made.begin(), made.end());
  ASSERT_EQ(1, net::writeAll(server.fd(), in.data(), in.size()));
  // Nobody to notify: the entered conference is still kept (and its record freed).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (client.dialog().conferences().localConference() != 3u &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(3u, client.dialog().conferences().localConference());
  EXPECT_EQ(-1, client.show(1)) << "no window to show";
}

TEST(DirectoryClient, FailuresShowTheirMessage) {
  ui::RecordingView host;
  DirectoryClient client;
  EXPECT_EQ(-1, client.connect(settings(0, "me"))) << "before initialising";
  ASSERT_EQ(0, client.initialize(&host));
  // Nobody listens there.
  EXPECT_EQ(-1, client.connect(settings(freshServerAddress(), "me")));
  ASSERT_EQ(1u, host.windows[0]->boxes.size());
  EXPECT_EQ("Cannot connect to Directory Server", host.windows[0]->boxes[0].text);
}

}  // namespace
}  // namespace zep::directory

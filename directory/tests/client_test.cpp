// The library object over a real socket: the settings record, the calling order on connect,
// notifications to the host window, and a server that stops answering or dies mid-message.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

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

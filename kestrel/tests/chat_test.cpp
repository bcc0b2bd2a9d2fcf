// The text chat window with a recording view: what is sent, what is shown, what is logged.
#include "kestrel/chat.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ui/recording_view.h"

namespace zep::kestrel {
namespace {

struct Rig {
  Rig() {
    log = std::filesystem::temp_directory_path() / ("chat-" + std::to_string(::getpid()) + ".log");
    ChatEnvironment env;
    env.send = [this](int port, int tag, std::span<const std::uint8_t> data) {
      sent.push_back({port, tag, std::vector<std::uint8_t>(data.begin(), data.end())});
    };
    env.localMember = [this] { return local; };
    env.nameOf = [](int n) { return n == 1 ? std::string("bob") : std::string("alice"); };
    env.logPath = log.string();
    chat = std::make_unique<ChatWindow>(env);
    chat->attach(view);
  }
  ~Rig() { std::filesystem::remove(log); }
  void type(const std::string& text) {
    chat->onText("Message", text);
    chat->onClick("Send");
  }
  struct Sent {
    int port, tag;
    std::vector<std::uint8_t> data;
  };
  std::filesystem::path log;
  int local = -1;
  std::vector<Sent> sent;
  ui::RecordingView view;
  std::unique_ptr<ChatWindow> chat;
};

TEST(TextChat, WithoutASessionTheLineShowsAsLocalAndStillGoesToTheEngine) {
  Rig rig;
  rig.type("hello");
  EXPECT_EQ(rig.view.list("Transcript"), std::vector<std::string>{"local: hello"});
  ASSERT_EQ(rig.sent.size(), 1u);
  EXPECT_EQ(rig.sent[0].port, 6666);
  EXPECT_EQ(rig.sent[0].tag, 33);
  EXPECT_EQ(rig.sent[0].data, (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o', 0}));
  EXPECT_EQ(rig.view.texts["Message"], "") << "the input line is emptied";
  rig.type("");
  EXPECT_EQ(rig.sent.back().data, std::vector<std::uint8_t>{0}) << "an empty line is sent too";
}

TEST(TextChat, LongLinesAreCutAndReceivedLinesShowTheirSender) {
  Rig rig;
  rig.local = 0;
  rig.type(std::string(150, 'x'));
  EXPECT_EQ(rig.sent[0].data.size(), 100u) << "99 characters and the NUL";
  const std::uint8_t noNul[] = {'h', 'i'};
  rig.chat->receive(1, 33, noNul);
  const std::uint8_t other[] = {'n', 'o', 0};
  rig.chat->receive(1, 34, other);
  rig.view.drain();
  auto lines = rig.view.list("Transcript");
  ASSERT_EQ(lines.size(), 2u) << "tag 34 changes nothing";
  EXPECT_EQ(lines[0], "alice: " + std::string(99, 'x'));
  EXPECT_EQ(lines[1], "bob: hi") << "a payload without a NUL ends at its length";
  std::ifstream log(rig.log);
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_EQ(text.str(), "alice: " + std::string(99, 'x') + "\r\nbob: hi\r\n");
}

}  // namespace
}  // namespace zep::kestrel

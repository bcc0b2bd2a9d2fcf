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

// A member may send up to 64 KiB in one line: it shows and is logged as a line typed here
// would be, a line break in it cannot fake another sender's line, and a flood leaves the
// transcript at its bound while chat.log keeps every line.
TEST(TextChat, A64KiBChatLineIsCutToALineAndTheTranscriptStaysBounded) {
  Rig rig;
  std::vector<std::uint8_t> huge(64 * 1024, 'y');
  huge[10] = '\n';
  huge.back() = 0;
  rig.chat->receive(1, 33, huge);
  EXPECT_EQ(rig.view.drain(), 1);
  ASSERT_EQ(rig.view.list("Transcript").size(), 1u);
  const std::string cut = "bob: " + std::string(10, 'y') + " " + std::string(88, 'y');
  EXPECT_EQ(rig.view.list("Transcript")[0], cut);

  const std::size_t flood = kMaxTranscriptLines * 3;
  for (std::size_t i = 0; i < flood; ++i) {
    std::string text = std::to_string(i);
    rig.chat->receive(1, 33,
                      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  EXPECT_EQ(rig.view.drain(), 1) << "one showing waits, however many lines came";
  auto& shown = rig.view.list("Transcript");
  ASSERT_EQ(shown.size(), kMaxTranscriptLines);
  EXPECT_EQ(shown.back(), "bob: " + std::to_string(flood - 1));
  rig.type("mine");
  EXPECT_EQ(rig.view.list("Transcript").size(), kMaxTranscriptLines);
  EXPECT_EQ(rig.view.list("Transcript").back(), "local: mine");

  std::ifstream log(rig.log);
  std::string line;
  std::size_t lines = 0;
  std::getline(log, line);
  EXPECT_EQ(line, cut + "\r");
  for (lines = 1; std::getline(log, line);) lines++;
  EXPECT_EQ(lines, flood + 2) << "chat.log keeps every line";
}

}  // namespace
}  // namespace zep::kestrel

// The integrated client's "Text Chat" window: one line at a time to every member through the
// engine (port 6666, tag 33, the text and its NUL), and the transcript of everybody's lines,
// the own ones included. A line is at most 99 characters, whoever sent it; the transcript shows
// the latest lines up to a bound, and chat.log keeps every line up to a larger one.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ui/view.h"

namespace zep::kestrel {

inline constexpr const char* kChatTitle = "Text Chat";
inline constexpr int kChatPort = 6666;
inline constexpr int kChatTag = 33;
inline constexpr std::size_t kMaxChatLine = 99;
// Lines the transcript shows (older ones scroll out), and lines chat.log records.
inline constexpr std::size_t kMaxTranscriptLines = 1000;
inline constexpr std::size_t kMaxChatLogLines = 100000;

struct ChatEnvironment {
  // Hands data to every member's application (the engine's send-to-application).
  std::function<void(int port, int tag, std::span<const std::uint8_t> data)> send;
  // The local member number, negative without a session.
  std::function<int()> localMember;
  // The user name of member n, empty when none; asked on the receiving thread too.
  std::function<std::string(int n)> nameOf;
  std::string logPath = "chat.log";
  // Runs work on the window thread (lines received on other threads are shown there).
  std::function<void(std::function<void()>)> post;
};

class ChatWindow final : public ui::Presenter {
 public:
  explicit ChatWindow(ChatEnvironment environment);
  ~ChatWindow() override;

  // The window shows the whole transcript when it is attached (once for the modeless
  // window, which keeps the view while hidden; at each opening of a modal one).
  void attach(ui::View& view) override;
  void detach() { view_ = nullptr; }
  void onClick(std::string_view control) override;
  void onText(std::string_view field, const std::string& text) override;
  // The window is only hidden: the transcript lasts as long as the program.
  void onClose() override;

  // Data for port 6666 from member `sender` (any thread): tag 33 is shown, others ignored.
  void receive(int sender, int tag, std::span<const std::uint8_t> payload);

 private:
  // The line as shown: the sender's name, ": " and the text (the local user: "local").
  std::string lineOf(int sender, const std::string& text) const;
  void record(const std::string& line);   // chat.log, any thread
  void addLine(const std::string& line);  // the transcript, window thread
  void showPending();                     // window thread

  ChatEnvironment env_;
  ui::View* view_ = nullptr;
  std::string typed_;
  std::deque<std::string> lines_;
  // Lines received and not shown yet, and whether their showing is posted.
  std::mutex pendingMutex_;
  std::deque<std::string> pending_;
  bool showPosted_ = false;
  std::mutex logMutex_;
  std::FILE* log_ = nullptr;
  std::size_t logged_ = 0;
};

}  // namespace zep::kestrel

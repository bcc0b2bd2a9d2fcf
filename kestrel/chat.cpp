#include "kestrel/chat.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zep::kestrel {

ChatWindow::ChatWindow(ChatEnvironment environment) : env_(std::move(environment)) {
  log_ = std::fopen(env_.logPath.c_str(), "w");
}

ChatWindow::~ChatWindow() {
  if (log_) std::fclose(log_);
}

void ChatWindow::attach(ui::View& view) {
  view_ = &view;
  for (const auto& line : lines_) view.addItem("Transcript", line);
  showPending();
}

void ChatWindow::onClose() {
  if (view_) view_->close();
}

void ChatWindow::onText(std::string_view field, const std::string& text) {
  if (field == "Message") typed_ = text;
}

void ChatWindow::onClick(std::string_view control) {
  if (control == "Close") {
    onClose();
    return;
  }
  if (control != "Send") return;
  std::string text = typed_.substr(0, kMaxChatLine);
  const std::string line = lineOf(env_.localMember(), text);
  record(line);
  addLine(line);
  typed_.clear();
  if (view_) view_->setText("Message", "");
  // The text and its NUL; an empty line is sent too.
  std::vector<std::uint8_t> payload(text.begin(), text.end());
  payload.push_back(0);
  env_.send(kChatPort, kChatTag, payload);
}

void ChatWindow::receive(int sender, int tag, std::span<const std::uint8_t> payload) {
  if (tag != kChatTag) return;
  // At most the payload's length, ended at its first NUL, and no longer than a line typed
  // here may be. Control characters (a line break could fake another sender's line) show as
  // spaces.
  auto end = std::find(payload.begin(), payload.end(), std::uint8_t{0});
  std::string text(payload.begin(), end);
  text.resize(std::min(text.size(), kMaxChatLine));
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  const std::string line = lineOf(sender, text);
  record(line);
  // However fast lines come, at most one showing waits for the window, and it shows at most
  // the lines the transcript keeps.
  {
    std::lock_guard lock(pendingMutex_);
    pending_.push_back(line);
    if (pending_.size() > kMaxTranscriptLines) pending_.pop_front();
    if (showPosted_) return;
    showPosted_ = true;
  }
  auto work = [this] { showPending(); };
  if (env_.post)
    env_.post(work);
  else if (view_)
    view_->post(work);
}

std::string ChatWindow::lineOf(int sender, const std::string& text) const {
  std::string name = sender < 0 ? "local" : env_.nameOf(sender);
  return name + ": " + text;
}

void ChatWindow::record(const std::string& line) {
  std::lock_guard lock(logMutex_);
  if (!log_ || logged_ > kMaxChatLogLines) return;
  logged_++;
  // The cap is far beyond any conversation; reaching it is said once, in the file itself.
  if (logged_ > kMaxChatLogLines)
    std::fprintf(log_, "chat.log: %zu lines kept, later lines are not recorded\r\n",
                 kMaxChatLogLines);
  else
    std::fprintf(log_, "%s\r\n", line.c_str());
  std::fflush(log_);
}

void ChatWindow::showPending() {
  std::deque<std::string> lines;
  {
    std::lock_guard lock(pendingMutex_);
    lines.swap(pending_);
    showPosted_ = false;
  }
  for (const auto& line : lines) addLine(line);
}

void ChatWindow::addLine(const std::string& line) {
  lines_.push_back(line);
  if (view_) view_->addItem("Transcript", line);
  if (lines_.size() <= kMaxTranscriptLines) return;
  lines_.pop_front();
  if (view_) view_->removeItemAt("Transcript", 0);
}

}  // namespace zep::kestrel

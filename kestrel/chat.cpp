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
  std::string line = typed_.substr(0, kMaxChatLine);
  show(env_.localMember(), line);
  typed_.clear();
  if (view_) view_->setText("Message", "");
  // The text and its NUL; an empty line is sent too.
  std::vector<std::uint8_t> payload(line.begin(), line.end());
  payload.push_back(0);
  env_.send(kChatPort, kChatTag, payload);
}

void ChatWindow::receive(int sender, int tag, std::span<const std::uint8_t> payload) {
  if (tag != kChatTag) return;
  // At most the payload's length, ended at its first NUL.
  auto end = std::find(payload.begin(), payload.end(), std::uint8_t{0});
  std::string text(payload.begin(), end);
  auto work = [this, sender, text] { show(sender, text); };
  if (env_.post)
    env_.post(work);
  else if (view_)
    view_->post(work);
}

void ChatWindow::show(int sender, const std::string& text) {
  std::string name = sender < 0 ? "local" : env_.nameOf(sender);
  std::string line = name + ": " + text;
  lines_.push_back(line);
  if (view_) view_->addItem("Transcript", line);
  if (log_) {
    std::fprintf(log_, "%s\r\n", line.c_str());
    std::fflush(log_);
  }
}

}  // namespace zep::kestrel

#include "directory/client.h"

#include <algorithm>
#include <cstdio>

#include "platform/host.h"

namespace zep::directory {

std::string settingsText(std::span<const std::uint8_t> settings, std::size_t offset,
                         std::size_t width) {
  if (offset >= settings.size()) return {};
  auto field = settings.subspan(offset, std::min(width, settings.size() - offset));
  auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
  return std::string(field.begin(), nul);
}

void DirectoryClient::box(const std::string& text) {
  view_->messageBox(kDialogTitle, text, ui::Icon::kError);
}

int DirectoryClient::initialize(ui::View* hostWindow) {
  if (!hostWindow || view_) {
    // Without a window to belong to there is nothing to show the message in.
    if (!hostWindow) std::fprintf(stderr, "Directory Server dialog creation error\n");
    return view_ ? 0 : -1;
  }
  host_ = hostWindow;
  view_ = host_->openWindow(kDialogTitle, dialog_);
  if (!view_) {
    host_->messageBox(kDialogTitle, "Directory Server dialog creation error", ui::Icon::kError);
    return -1;
  }
  return 0;
}

int DirectoryClient::connect(std::span<const std::uint8_t> settings) {
  if (!view_) return -1;
  std::string server = settingsText(settings, 20, 50);
  std::string name = settingsText(settings, 70, 30);
  std::string email = settingsText(settings, 100, 32);
  ++generation_;
  if (link_.connect(server, host::identityFromEnvironment().bindAddress) != 0) {
    box("Cannot connect to Directory Server");
    return -1;
  }
  dialog_.users().clear();
  dialog_.conferences().clear(true);
  link_.requestUsers();
  link_.requestConferences();
  link_.registerUser(name, email);
  unsigned generation = generation_;
  auto deliver = [this, generation](std::unique_ptr<DirMessage> m) {
    std::shared_ptr<DirMessage> message(std::move(m));
    view_->post([this, generation, message] {
      if (generation == generation_) message->execute(dialog_);
    });
  };
  auto reset = [this] {
    view_->post([this] { box("Connection with Directory Server has been reset"); });
  };
  if (link_.start(deliver, reset) != 0) {
    box("Server link activation error");
    return -1;
  }
  return 0;
}

int DirectoryClient::show(int tab) {
  if (!view_) return -1;
  dialog_.show(tab);
  return 0;
}

void DirectoryClient::notify(std::uint16_t code, std::uint16_t low, std::uintptr_t second) {
  host_->postCommand((std::uint32_t{code} << 16) | low, second);
}

}  // namespace zep::directory

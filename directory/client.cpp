#include "directory/client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "directory/dirlink.h"
#include "platform/host.h"

namespace zep::directory {

namespace {

// The Directory Server window of a library without an owner: nothing to show it in, so its
// messages go to standard error, questions stay unanswered (no one can answer them) and work
// runs at once on the calling thread.
class OwnerlessView final : public ui::View {
 public:
  void setText(std::string_view, const std::string&) override {}
  void setEnabled(std::string_view, bool) override {}
  void setChecked(std::string_view, bool) override {}
  void setValue(std::string_view, int) override {}
  void setPicture(std::string_view, std::string_view) override {}
  void addItem(std::string_view, const std::string&) override {}
  void insertItem(std::string_view, int, const std::string&) override {}
  void removeItem(std::string_view, const std::string&) override {}
  void clearItems(std::string_view) override {}
  void messageBox(const std::string& title, const std::string& text, ui::Icon) override {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  }
  void post(std::function<void()> work) override { work(); }
  void startTimer(int, int) override {}
  void stopTimer(int) override {}
  void runDialog(const std::string&, ui::Presenter&) override {}
  void close() override {}
  void openDisplay(int, const std::string&, int, int, bool) override {}
  void closeDisplay(int) override {}
  void paintDisplay(int, std::span<const std::uint8_t>, int, int) override {}
};

}  // namespace

std::string settingsText(std::span<const std::uint8_t> settings, std::size_t offset,
                         std::size_t width) {
  if (offset >= settings.size()) return {};
  auto field = settings.subspan(offset, std::min(width, settings.size() - offset));
  auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
  return std::string(field.begin(), nul);
}

DirectoryClient::DirectoryClient() : dialog_(link_, *this) {
  dialog_.setOnDestroyed([this] { detach(); });
}

DirectoryClient::~DirectoryClient() {
  link_.disconnect(true);
}

void DirectoryClient::box(const std::string& text) {
  view_->messageBox(kDialogTitle, text, ui::Icon::kError);
}

int DirectoryClient::initialize(ui::View* hostWindow) {
  if (view_) return 0;  // once
  if (!hostWindow) {
    ownerless_ = std::make_unique<OwnerlessView>();
    std::lock_guard lock(mutex_);
    view_ = ownerless_.get();
    dialog_.attach(*view_);
    return 0;
  }
  ui::View* window = hostWindow->openWindow(kDialogTitle, dialog_);
  if (!window) {
    hostWindow->messageBox(kDialogTitle, "Directory Server dialog creation error",
                           ui::Icon::kError);
    return -1;
  }
  std::lock_guard lock(mutex_);
  host_ = hostWindow;
  view_ = window;
  dialog_.setOwner(hostWindow);
  return 0;
}

int DirectoryClient::connect(std::span<const std::uint8_t> settings) {
  if (!view_) return -1;
  std::string server = settingsText(settings, 20, 50);
  std::string name = settingsText(settings, 70, 30);
  std::string email = settingsText(settings, 100, 32);
  {
    std::lock_guard lock(mutex_);
    ++generation_;
    inbox_.clear();
    inboxBytes_ = 0;
  }
  room_.notify_all();
  // The earlier connection's threads have ended once this returns.
  int linked = link_.connect(server, host::identityFromEnvironment().bindAddress);
  dialog_.prompts().clear();
  if (linked != 0) {
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
    return this->deliver(std::move(m), generation);
  };
  auto reset = [this] {
    std::lock_guard lock(mutex_);
    if (view_)
      view_->post([this] {
        if (view_) dialog_.prompts().notice(kResetText, ui::Icon::kError);
      });
  };
  if (link_.start(deliver, reset) != 0) {
    box("Server link activation error");
    return -1;
  }
  return 0;
}

bool DirectoryClient::deliver(std::unique_ptr<DirMessage> message, unsigned generation) {
  if (ownerless_) {
    // No window thread to hand it to: the receiving thread is the only one at the lists.
    message->execute(dialog_);
    return true;
  }
  std::size_t size = message->body().size();
  std::unique_lock lock(mutex_);
  auto stale = [&] { return !view_ || generation != generation_; };
  auto fits = [&] { return inbox_.size() < maxQueued_ && inboxBytes_ + size <= kMaxQueuedBytes; };
  if (!room_.wait_for(lock, std::chrono::milliseconds(waitMs_), [&] { return stale() || fits(); }))
    return false;  // flooded: the connection ends
  if (stale()) return false;
  inbox_.push_back(std::move(message));
  inboxBytes_ += size;
  if (!drainPosted_) {
    drainPosted_ = true;
    view_->post([this] { drain(); });
  }
  return true;
}

void DirectoryClient::drain() {
  for (int i = 0; i < kBatch; ++i) {
    std::unique_ptr<DirMessage> message;
    {
      std::lock_guard lock(mutex_);
      if (!view_) return;
      if (inbox_.empty()) {
        drainPosted_ = false;
        return;
      }
      message = std::move(inbox_.front());
      inbox_.pop_front();
      inboxBytes_ -= message->body().size();
    }
    room_.notify_all();
    message->execute(dialog_);
  }
  // More waits: the rest in a later turn, after whatever else the window has to do.
  std::lock_guard lock(mutex_);
  if (view_) view_->post([this] { drain(); });
}

void DirectoryClient::detach() {
  {
    std::lock_guard lock(mutex_);
    view_ = nullptr;
    host_ = nullptr;
    ++generation_;
    inbox_.clear();
    inboxBytes_ = 0;
  }
  room_.notify_all();
  link_.disconnect(true);
}

int DirectoryClient::show(int tab) {
  if (!view_ || ownerless_) return -1;
  dialog_.show(tab);
  return 0;
}

void DirectoryClient::notify(std::uint16_t code, std::uint16_t low, std::uintptr_t second) {
  if (host_) return host_->postCommand((std::uint32_t{code} << 16) | low, second);
  // Nobody to tell: the record made for the host is released here.
  if (code != DSN_CALLUSER && second) std::free(reinterpret_cast<void*>(second));
}

}  // namespace zep::directory

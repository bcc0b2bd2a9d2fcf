// The library's one object per process: the link to the Directory Server and the Directory
// Server window, bound to the host's window. The exports of libdirlink call it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "directory/pages.h"

namespace zep::directory {

inline constexpr std::size_t kSettingsSize = 204;
inline constexpr const char* kResetText = "Connection with Directory Server has been reset";

// A NUL-terminated text in a field of the settings record.
std::string settingsText(std::span<const std::uint8_t> settings, std::size_t offset,
                         std::size_t width);

class DirectoryClient final : public HostWindow {
 public:
  // Received messages waiting for the window thread, at most. The receiving thread waits for
  // room (the server waits with it); a window that takes nothing for kQueueWaitMs means a
  // server sending faster than any window can follow, and its connection is ended.
  static constexpr std::size_t kMaxQueued = 4096;
  static constexpr std::size_t kMaxQueuedBytes = 4u << 20;
  static constexpr int kQueueWaitMs = 5000;
  // Messages executed in one turn of the window thread, so that it answers meanwhile.
  static constexpr int kBatch = 256;

  DirectoryClient();
  ~DirectoryClient() override;

  // hostWindow may be null: the library then has no owner to show its window beside or to
  // notify, and works on without them (messages go to standard error).
  int initialize(ui::View* hostWindow);
  int connect(std::span<const std::uint8_t> settings);
  // Shows the window on tab 0 or 1; -1 when there is no window to show.
  int show(int tab);

  void notify(std::uint16_t code, std::uint16_t low, std::uintptr_t second) override;
  DirectoryServerDialog& dialog() { return dialog_; }
  ServerLink& link() { return link_; }
  void setQueueLimit(std::size_t messages, int waitMs) { maxQueued_ = messages, waitMs_ = waitMs; }

 private:
  bool deliver(std::unique_ptr<DirMessage> message, unsigned generation);
  void drain();
  void detach();
  void box(const std::string& text);

  ServerLink link_;
  DirectoryServerDialog dialog_;
  std::unique_ptr<ui::View> ownerless_;  // the window's stand-in when there is no owner
  // Written on the window thread under mutex_, read by the receiving thread under it.
  ui::View* host_ = nullptr;
  ui::View* view_ = nullptr;
  std::mutex mutex_;
  std::condition_variable room_;
  std::deque<std::unique_ptr<DirMessage>> inbox_;
  std::size_t inboxBytes_ = 0;
  bool drainPosted_ = false;
  unsigned generation_ = 0;  // messages of an earlier connection are dropped
  std::size_t maxQueued_ = kMaxQueued;
  int waitMs_ = kQueueWaitMs;
};

}  // namespace zep::directory

// The library's one object per process: the link to the Directory Server and the Directory
// Server window, bound to the host's window. The exports of libdirlink call it.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "directory/pages.h"

namespace zep::directory {

inline constexpr std::size_t kSettingsSize = 204;

// A NUL-terminated text in a field of the settings record.
std::string settingsText(std::span<const std::uint8_t> settings, std::size_t offset,
                         std::size_t width);

class DirectoryClient final : public HostWindow {
 public:
  DirectoryClient() : dialog_(link_, *this) {}
  ~DirectoryClient() override { link_.disconnect(true); }

  int initialize(ui::View* hostWindow);
  int connect(std::span<const std::uint8_t> settings);
  // Shows the window on tab 0 or 1.
  int show(int tab);

  void notify(std::uint16_t code, std::uint16_t low, std::uintptr_t second) override;
  DirectoryServerDialog& dialog() { return dialog_; }
  ServerLink& link() { return link_; }

 private:
  void box(const std::string& text);
  ServerLink link_;
  DirectoryServerDialog dialog_;
  ui::View* host_ = nullptr;
  ui::View* view_ = nullptr;
  // Messages of an earlier connection still queued for the window are dropped.
  std::atomic<unsigned> generation_{0};
};

}  // namespace zep::directory

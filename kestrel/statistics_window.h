// The integrated client's "Statistics" window: one remote member chosen from a list, and
// what arrived from it, audio and video. The receivers update it after every counted packet;
// only every fifth update rewrites the fields, and only for the member shown. The window is
// modeless: it lives, hidden or shown, as long as the main window.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <string>

#include "engine/member_table.h"
#include "kestrel/receive_stats.h"
#include "ui/view.h"

namespace zep::kestrel {

inline constexpr const char* kStatisticsTitle = "Statistics";

class StatisticsWindow final : public ui::Presenter {
 public:
  using Post = std::function<void(std::function<void()>)>;
  // hostNameOf: the host name of an address, dotted when it has none. post runs work on the
  // window thread (the fields change there, whichever thread counted); none: at once.
  explicit StatisticsWindow(std::function<std::string(net::Ipv4)> hostNameOf, Post post = {})
      : hostNameOf_(std::move(hostNameOf)), post_(std::move(post)) {}

  void attach(ui::View& view) override;
  void detach() { view_ = nullptr; }
  void onClick(std::string_view control) override;
  void onSelect(std::string_view list, int index, const std::string& item) override;
  void onClose() override;

  // View/Statistics: the list of remote members anew, every field zero.
  void refresh(const engine::MemberTable& members, int localMember);
  // From a receiver, after each counted packet of member m.
  void update(int member, const ReceiveStats& stats, bool video, std::uint32_t now);

  int selected() const { return selected_; }

 private:
  void zero();
  void show(std::vector<std::pair<std::string, std::string>> fields);

  std::function<std::string(net::Ipv4)> hostNameOf_;
  Post post_;
  ui::View* view_ = nullptr;
  std::mutex mutex_;
  int selected_ = -1;
  std::array<int, engine::kMaxMembers> rows_{};
  std::vector<std::string> lines_;
  int updates_ = 0;
};

}  // namespace zep::kestrel

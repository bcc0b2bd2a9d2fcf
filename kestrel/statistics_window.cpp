#include "kestrel/statistics_window.h"

namespace zep::kestrel {

void StatisticsWindow::attach(ui::View& view) {
  view_ = &view;
  for (const auto& l : lines_) view.addItem("Participants", l);
  for (std::size_t i = 0; i < lines_.size(); ++i)
    if (rows_[i] == selected_) view.selectItem("Participants", static_cast<int>(i));
  zero();
}

void StatisticsWindow::onClick(std::string_view control) {
  if (control == "Close") onClose();
}

void StatisticsWindow::onClose() {
  if (view_) view_->close();
}

void StatisticsWindow::onSelect(std::string_view, int index, const std::string&) {
  std::lock_guard lock(mutex_);
  selected_ =
      index >= 0 && index < engine::kMaxMembers ? rows_[static_cast<std::size_t>(index)] : -1;
}

void StatisticsWindow::zero() {
  if (!view_) return;
  for (const char* medium : {"Audio", "Video"}) {
    std::string m = medium;
    view_->setText(m + " Bandwidth:", bandwidthText(0));
    view_->setText(m + " Received:", countText(0, 0));
    view_->setText(m + " Lost:", countText(0, 0));
  }
  view_->setText("Audio Late:", countText(0, 0));
  view_->setText("Audio Total:", totalText(0));
  view_->setText("Audio Latency:", latencyText(0));
  view_->setText("Video Frames/sec:", frameRateText(0));
}

void StatisticsWindow::refresh(const engine::MemberTable& members, int localMember) {
  std::lock_guard lock(mutex_);
  selected_ = -1;
  rows_.fill(-1);
  lines_.clear();
  if (view_) view_->clearItems("Participants");
  zero();
  for (int n = 0; n < engine::kMaxMembers; ++n) {
    if (!members.present(n) || n == localMember) continue;
    rows_[lines_.size()] = n;
    lines_.push_back(members[n].name + "@" + hostNameOf_(members[n].address));
    if (view_) view_->addItem("Participants", lines_.back());
  }
  // The first line is chosen, and shows as chosen.
  selected_ = rows_[0];
  if (view_ && !lines_.empty()) view_->selectItem("Participants", 0);
}

void StatisticsWindow::update(int member, const ReceiveStats& s, bool video, std::uint32_t now) {
  std::vector<std::pair<std::string, std::string>> fields;
  {
    std::lock_guard lock(mutex_);
    // The counter goes round on every call, whoever and whatever it is for.
    updates_ = (updates_ + 1) % 5;
    if (updates_ != 0 || member != selected_ || !view_) return;
  }
  // The texts are made here, from the counters as they are now; only showing them moves.
  if (video) {
    fields = {{"Video Bandwidth:", bandwidthText(s.bandwidthKbps(now))},
              {"Video Received:", countText(s.received(), s.receivedShare())},
              {"Video Lost:", countText(s.lost(), s.lostShare())},
              {"Video Frames/sec:", frameRateText(s.framesPerSecond(now))}};
  } else {
    fields = {{"Audio Bandwidth:", bandwidthText(s.bandwidthKbps(now))},
              {"Audio Received:", countText(s.received(), s.receivedShare())},
              {"Audio Lost:", countText(s.lost(), s.lostShare())},
              {"Audio Late:", countText(s.late(), s.lateShare())},
              {"Audio Total:", totalText(s.received() + s.lost())},
              {"Audio Latency:", latencyText(s.latencyMs())}};
  }
  if (!post_) return show(std::move(fields));
  post_([this, member, fields = std::move(fields)]() mutable {
    // Another member may have been chosen meanwhile.
    if (member == selected_) show(std::move(fields));
  });
}

void StatisticsWindow::show(std::vector<std::pair<std::string, std::string>> fields) {
  std::lock_guard lock(mutex_);
  if (!view_) return;
  for (const auto& [name, text] : fields) view_->setText(name, text);
}

}  // namespace zep::kestrel

#include "kestrel/statistics_window.h"

namespace zep::kestrel {

void StatisticsWindow::attach(ui::View& view) {
  view_ = &view;
  for (const auto& l : lines_) view.addItem("Participants", l);
  zero();
}

void StatisticsWindow::onClick(std::string_view control) {
  if (control == "Close") onClose();
}

void StatisticsWindow::onClose() {
  if (view_) view_->close();
  view_ = nullptr;
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
  selected_ = rows_[0];
}

void StatisticsWindow::update(int member, const ReceiveStats& s, bool video, std::uint32_t now) {
  std::lock_guard lock(mutex_);
  // The counter goes round on every call, whoever and whatever it is for.
  updates_ = (updates_ + 1) % 5;
  if (updates_ != 0 || member != selected_ || !view_) return;
  if (video) {
    view_->setText("Video Bandwidth:", bandwidthText(s.bandwidthKbps(now)));
    view_->setText("Video Received:", countText(s.received(), s.receivedShare()));
    view_->setText("Video Lost:", countText(s.lost(), s.lostShare()));
    view_->setText("Video Frames/sec:", frameRateText(s.framesPerSecond(now)));
    return;
  }
  view_->setText("Audio Bandwidth:", bandwidthText(s.bandwidthKbps(now)));
  view_->setText("Audio Received:", countText(s.received(), s.receivedShare()));
  view_->setText("Audio Lost:", countText(s.lost(), s.lostShare()));
  view_->setText("Audio Late:", countText(s.late(), s.lateShare()));
  view_->setText("Audio Total:", totalText(s.received() + s.lost()));
  view_->setText("Audio Latency:", latencyText(s.latencyMs()));
}

}  // namespace zep::kestrel

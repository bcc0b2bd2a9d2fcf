#include "video/panel.h"

#include <future>

#include "applink/rtp.h"

namespace zep::video {

namespace {

// The Connection Panel: a list of the presets above the name field, like a simple combo box.
class ConnectionDialog final : public ui::Presenter {
 public:
  explicit ConnectionDialog(std::string current) : name(std::move(current)) {}
  void attach(ui::View& view) override {
    view_ = &view;
    std::vector<std::string> presets(std::begin(kPresetNames), std::end(kPresetNames));
    std::sort(presets.begin(), presets.end());
    for (const auto& p : presets) view.addItem("Connection", p);
    // The first entry that begins with the current name is selected.
    for (const auto& p : presets)
      if (p.rfind(name, 0) == 0) {
        view.setText("Connection name", p);
        typed_ = p;
        break;
      }
  }
  void onSelect(std::string_view, int index, const std::string& item) override {
    if (index < 0) return;
    typed_ = item;
    view_->setText("Connection name", item);
  }
  void onText(std::string_view field, const std::string& text) override {
    if (field == "Connection name") typed_ = text.substr(0, kMaxConnectionName);
  }
  void onClick(std::string_view control) override {
    if (control == "OK") {
      accepted = true;
      name = typed_;
    }
    if (control == "OK" || control == "Cancel") view_->close();
  }
  void onClose() override { view_->close(); }
  std::string name;
  bool accepted = false;

 private:
  ui::View* view_ = nullptr;
  std::string typed_;
};

struct Choice {
  const char* label;
  int value;
};
constexpr Choice kChoices[] = {{"H261", MODE_H261},
                               {"H261 (Intra mode)", MODE_H261_INTRA},
                               {"H263", MODE_H263},
                               {"YUV9", MODE_YUV9}};

class AdvancedDialog final : public ui::Presenter {
 public:
  explicit AdvancedDialog(int current) : choice(current) {}
  void attach(ui::View& view) override {
    view_ = &view;
    check();
  }
  void onClick(std::string_view control) override {
    for (const auto& c : kChoices)
      if (control == c.label) {
        choice = c.value;
        check();
      }
    if (control == "OK") accepted = true;
    if (control == "OK" || control == "Cancel") view_->close();
  }
  void onClose() override { view_->close(); }
  int choice;
  bool accepted = false;

 private:
  void check() {
    for (const auto& c : kChoices) view_->setChecked(c.label, c.value == choice);
  }
  ui::View* view_ = nullptr;
};

class StatisticsDialog final : public ui::Presenter {
 public:
  explicit StatisticsDialog(VideoStatistics& statistics) : statistics_(statistics) {}
  void attach(ui::View& view) override {
    view_ = &view;
    show(statistics_.update());
  }
  void onClick(std::string_view control) override {
    if (control == "Update") show(statistics_.update());
    if (control == "Reset") show(statistics_.reset());
    if (control == "OK") view_->close();
  }
  void onClose() override { view_->close(); }

 private:
  void show(const StatisticsTexts& t) {
    view_->setText("Total time [ms]:", t.totalTime);
    view_->setText("Total frames:", t.frames);
    view_->setText("Total bytes:", t.bytes);
    view_->setText("Frames per sec:", t.framesPerSecond);
    view_->setText("Bytes per sec:", t.bytesPerSecond);
  }
  VideoStatistics& statistics_;
  ui::View* view_ = nullptr;
};

}  // namespace

std::string displayTitle(const std::string& user, const std::string& hostName) {
  return (user + "@" + hostName).substr(0, kMaxTitle);
}

VideoToolPanel::VideoToolPanel(VideoToolSettings settings) : settings_(std::move(settings)) {}

VideoToolPanel::~VideoToolPanel() {
  shutdown(false);
}

void VideoToolPanel::attach(ui::View& view) {
  view_ = &view;
  viewAlive_ = true;
  windowThread_ = std::this_thread::get_id();
  settings_.linkOptions.exit =
      settings_.linkOptions.exit ? settings_.linkOptions.exit : [](int code) { std::exit(code); };
  link_ = applink::Link::attach(kVideoPort, settings_.host, settings_.linkOptions);
  if (!link_) {
    view.close();
    return;
  }
  std::string why;
  core_ = VideoCore::create(
      *settings_.clock, *this,
      [this](int destination, int type, std::span<const std::uint8_t> data) {
        return link_->sendMedia(destination, static_cast<std::uint32_t>(type), data);
      },
      settings_.connectCamera, &why);
  if (!core_) {
    view.messageBox("Error", why, ui::Icon::kError);
    view.close();
    return;
  }
  link_->setCallback(applink::kLocalMemberEvent,
                     [this](const applink::LinkEventArgs&) { core_->on_local_member(); });
  link_->setCallback(applink::kQuitEvent,
                     [this](const applink::LinkEventArgs&) { post([this] { onClose(); }); });
  link_->setCallback(applink::kMemberDeletedEvent, [this](const applink::LinkEventArgs& e) {
    core_->on_member_deleted(e.member);
  });
  receiver_ = std::jthread([this](std::stop_token stop) { receive(stop); });
  refresher_ = std::jthread([this](std::stop_token stop) { refresh(stop); });

  std::string name;
  if (!read_settings(settings_.settingsPath, &name)) name = kDefaultConnection;
  VideoSettings s = core_->settings();
  apply_connection(s, name);
  core_->setSettings(s);
  view.setText("Status", "Ready");
  view.setPicture("Camera", "camera");
  view.setChecked("Camera", false);
}

void VideoToolPanel::receive(const std::stop_token& stop) {
  std::vector<std::uint8_t> buffer;
  while (!stop.stop_requested()) {
    net::ReadSet set;
    link_->fillReadSet(set);
    if (set.wait(100) <= 0) continue;
    link_->serviceControl(set);
    if (link_->receiveMedia(set, buffer) <= 0) continue;
    // An integrated client in the session sends its own header kind; both are shown.
    if (applink::classifyMediaDatagram(buffer) == applink::MediaHeader::kRtp) {
      if (auto r = applink::decodeRtpDatagram(buffer))
        core_->on_video_datagram(r->header.payloadType, r->data,
                                 static_cast<int>(r->header.source));
      continue;
    }
    if (auto d = applink::decodeMediaDatagram(buffer))
      core_->on_video_datagram(static_cast<int>(d->type), d->data, d->sender);
  }
}

void VideoToolPanel::refresh(const std::stop_token& stop) {
  clock::Clock& clock = *settings_.clock;
  while (!stop.stop_requested()) {
    std::uint64_t wake = clock.nowMicros() + std::uint64_t{kRefreshPeriodMs} * 1000;
    if (!clock.waitUntilMicros(wake, stop)) return;
    if (core_->retunePending())
      post([this] {
        if (core_) core_->retune();
      });
  }
}

void VideoToolPanel::post(std::function<void()> work) {
  // Checked when the work runs, not when it is queued: shutdown releases the link and the core
  // while work of the other threads may still wait in the window's queue.
  view_->post([this, work = std::move(work)] {
    if (!closing_) work();
  });
}

void VideoToolPanel::onWindowThread(const std::function<void()>& work) {
  if (!viewAlive_) return;
  if (std::this_thread::get_id() == windowThread_) {
    work();
    return;
  }
  if (closing_) return;
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  view_->post([this, work, done] {
    if (!closing_) work();
    done->set_value();
  });
  // Bounded: a window thread that is shutting down never answers.
  finished.wait_for(std::chrono::seconds(2));
}

void VideoToolPanel::showDisplay(int slot) {
  if (slot == kMirrorSlot) {
    view_->openDisplay(slot, "Mirror", 0, 0, false);
    return;
  }
  std::string user, hostName;
  link_->getMemberInfo(slot, &user, &hostName);
  view_->openDisplay(slot, displayTitle(user, hostName), 200 * slot + 100, 100, true);
}

void VideoToolPanel::openDisplay(int slot) {
  onWindowThread([this, slot] { showDisplay(slot); });
}

void VideoToolPanel::closeDisplay(int slot) {
  onWindowThread([this, slot] { view_->closeDisplay(slot); });
}

void VideoToolPanel::paint(int slot, const picture::VideoFrame420& frame) {
  if (!viewAlive_) return;
  std::vector<std::uint8_t> rgb(picture::kRgbSize);
  picture::frame420ToRgb24(frame, rgb);
  view_->paintDisplay(slot, rgb, picture::kWidth, picture::kHeight);
  if (settings_.displayFiles)
    settings_.displayFiles->write(slot, frame, settings_.clock->nowMicros());
}

void VideoToolPanel::message(const std::string& title, const std::string& text, ui::Icon icon) {
  if (!viewAlive_) return;
  if (std::this_thread::get_id() == windowThread_)
    view_->messageBox(title, text, icon);
  else
    post([this, title, text, icon] { view_->messageBox(title, text, icon); });
}

void VideoToolPanel::cameraLost(const std::string& why) {
  if (!viewAlive_ || closing_) return;
  // From the camera's own thread, which stopping the capture joins: go through the window.
  post([this, why] {
    if (!core_ || !core_->capturing()) return;
    stopCapture();
    view_->messageBox(kVideoToolTitle, "The camera stopped: " + why, ui::Icon::kWarning);
  });
}

void VideoToolPanel::startCapture() {
  if (core_ && core_->start_capture()) view_->setText("Status", "Sending video");
  view_->setChecked("Camera", core_ && core_->capturing());
}

void VideoToolPanel::stopCapture() {
  if (core_ && core_->stop_capture()) view_->setText("Status", "Video stopped");
  view_->setChecked("Camera", core_ && core_->capturing());
}

void VideoToolPanel::connectionPanel() {
  bool restart = core_->capturing();
  if (restart) stopCapture();
  VideoSettings s = core_->settings();
  ConnectionDialog dialog(s.connection);
  view_->runDialog("Connection Panel", dialog);
  if (dialog.accepted) {
    apply_connection(s, dialog.name);
    core_->setSettings(s);
  }
  if (restart) startCapture();
}

void VideoToolPanel::advanced() {
  bool restart = core_->capturing();
  if (restart) stopCapture();
  VideoSettings s = core_->settings();
  AdvancedDialog dialog(advancedChoice(s));
  view_->runDialog("Advanced", dialog);
  if (dialog.accepted) {
    applyAdvancedChoice(s, dialog.choice);
    core_->setSettings(s);
  }
  if (restart) startCapture();
}

void VideoToolPanel::statisticsDialog() {
  StatisticsDialog dialog(core_->statistics());
  view_->runDialog("Statistics", dialog);
}

void VideoToolPanel::onClick(std::string_view control) {
  if (!core_) {
    if (control == "File/Exit") onClose();
    return;
  }
  if (control == "Camera") {
    // The box shows whether capture runs, so a click after a failed start starts again.
    if (core_->capturing())
      stopCapture();
    else
      startCapture();
  } else if (control == "Capture/Start") {
    startCapture();
  } else if (control == "Capture/Stop") {
    stopCapture();
  } else if (control == "Tools/Connection") {
    connectionPanel();
  } else if (control == "Tools/Advanced") {
    advanced();
  } else if (control == "Tools/Statistics") {
    statisticsDialog();
  } else if (control == "File/Exit") {
    onClose();
  }
}

void VideoToolPanel::shutdown(bool windowAlive) {
  closing_ = true;
  if (!windowAlive) viewAlive_ = false;
  if (refresher_.joinable()) {
    refresher_.request_stop();
    refresher_.join();
  }
  if (core_) {
    if (core_->capturing()) {
      core_->stop_capture();
    }
    write_settings(settings_.settingsPath, core_->settings().connection);
  }
  if (receiver_.joinable()) {
    receiver_.request_stop();
    receiver_.join();
  }
  if (core_ && windowAlive) core_->closeMemberDisplays();
  core_.reset();
  if (link_) link_->detach();
  link_.reset();
  viewAlive_ = false;
}

void VideoToolPanel::onClose() {
  shutdown(true);
  view_->close();
}

}  // namespace zep::video

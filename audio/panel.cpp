#include "audio/panel.h"

#include "platform/process.h"

namespace zep::audio {

QuietTimer::QuietTimer(std::function<void()> fire) : fire_(std::move(fire)) {
  thread_ = std::jthread([this](std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      if (!armed_) {
        changed_.wait_for(lock, std::chrono::milliseconds(50));
        continue;
      }
      if (changed_.wait_until(lock, due_) == std::cv_status::timeout && armed_ &&
          std::chrono::steady_clock::now() >= due_) {
        due_ += std::chrono::seconds(1);  // periodic until restarted or stopped
        lock.unlock();
        fire_();
        lock.lock();
      }
    }
  });
}

QuietTimer::~QuietTimer() {
  thread_.request_stop();
  changed_.notify_all();
}

void QuietTimer::restart() {
  {
    std::lock_guard lock(mutex_);
    armed_ = true;
    due_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  }
  changed_.notify_all();
}

AudioToolPanel::AudioToolPanel(AudioToolSettings settings)
    : settings_(std::move(settings)), quiet_([this] {
        if (view_)
          view_->post([this] {
            if (core_) core_->onQuietTimer();
          });
      }) {}

AudioToolPanel::~AudioToolPanel() {
  shutdown();
}

void AudioToolPanel::attach(ui::View& view) {
  view_ = &view;
  view.setChecked("ADPCM", true);
  view.setChecked("GSM", false);
  view.setChecked("PCM", false);
  view.setChecked("Talk", true);
  view.setPicture("Talk", "microphone");
  view.setValue("Threshold", kThresholdStart);

  settings_.linkOptions.exit =
      settings_.linkOptions.exit ? settings_.linkOptions.exit : [](int code) { std::exit(code); };
  link_ = applink::Link::attach(kAudioPort, settings_.host, settings_.linkOptions);
  if (!link_) {
    view.close();
    return;
  }
  link_->setCallback(applink::kQuitEvent,
                     [this](const applink::LinkEventArgs&) { requestClose(); });
  link_->setCallback(applink::kMemberDeletedEvent, [this](const applink::LinkEventArgs& e) {
    if (core_) core_->forgetSender(e.member);  // a member that left leaves no ring behind
  });
  core_ =
      std::make_unique<AudioCore>(*settings_.audio, *settings_.clock, *this,
                                  [this](std::uint32_t type, std::span<const std::uint8_t> data) {
                                    return link_->sendMedia(-1, type, data);
                                  });
  core_->set_threshold(kThresholdStart);
  // The receive thread runs before the reset request goes out, so the answers are heard.
  receiver_ = std::jthread([this](std::stop_token stop) { receive(stop); });
  core_->start();
  autoChecked_ = false;
  view.setChecked("Auto", false);
}

void AudioToolPanel::receive(const std::stop_token& stop) {
  std::vector<std::uint8_t> buffer;
  while (!stop.stop_requested()) {
    net::ReadSet set;
    link_->fillReadSet(set);
    if (set.wait(1) <= 0) continue;
    link_->serviceControl(set);
    if (link_->receiveMedia(set, buffer) <= 0) continue;
    auto d = applink::decodeMediaDatagram(buffer);
    if (d && core_) core_->on_datagram(d->type, d->data, d->sender);
  }
}

void AudioToolPanel::chooseCodec(std::string_view name) {
  for (const char* radio : {"ADPCM", "GSM", "PCM"}) view_->setChecked(radio, name == radio);
  if (!core_) return;
  core_->select_codec(name == "ADPCM" ? AUDIO_ADPCM : name == "GSM" ? AUDIO_GSM : AUDIO_PCM);
}

void AudioToolPanel::onClick(std::string_view control) {
  if (control == "ADPCM" || control == "GSM" || control == "PCM") {
    chooseCodec(control);
  } else if (control == "Auto") {
    autoChecked_ = !autoChecked_;  // the box toggles itself when clicked
    view_->setChecked("Auto", autoChecked_);
    if (core_) core_->raise_event(EV_AUTO);
  } else if (control == "Talk") {
    talkChecked_ = !talkChecked_;
    view_->setChecked("Talk", talkChecked_);
    view_->setPicture("Talk", talkChecked_ ? "microphone" : "loudspeaker");
    if (core_) core_->raise_event(EV_TALK);
  } else if (control == "Control/Audio Panel") {
    std::string why;
    process::start(settings_.mixerProgram, {}, &why);  // nothing is shown when it cannot start
  } else if (control == "Control/Exit") {
    onClose();
  }
}

void AudioToolPanel::onValue(std::string_view control, int value, bool released) {
  // Only letting go of the thumb sets the threshold.
  if (control == "Threshold" && released && core_) core_->set_threshold(value);
}

void AudioToolPanel::shutdown() {
  if (receiver_.joinable()) {
    receiver_.request_stop();
    receiver_.join();
  }
  if (core_) core_->stop();
  core_.reset();
  if (link_) link_->detach();
  link_.reset();
}

void AudioToolPanel::onClose() {
  shutdown();
  view_->close();
}

void AudioToolPanel::showMicrophoneLevel(int meter) {
  view_->post([this, meter] { view_->setValue("Microphone", meter); });
}

void AudioToolPanel::showSpeakerLevel(int meter) {
  view_->post([this, meter] { view_->setValue("Speaker", meter); });
}

void AudioToolPanel::showTalk(bool enabled, bool checked) {
  talkChecked_ = checked;
  view_->post([this, enabled, checked] {
    view_->setEnabled("Talk", enabled);
    view_->setChecked("Talk", checked);
    view_->setPicture("Talk", checked ? "microphone" : "loudspeaker");
  });
}

void AudioToolPanel::raiseLater(AudioEvent event) {
  view_->post([this, event] {
    if (core_) core_->raise_event(event);
  });
}

void AudioToolPanel::message(const std::string& title, const std::string& text) {
  view_->post([this, title, text] { view_->messageBox(title, text, ui::Icon::kWarning); });
}

void AudioToolPanel::requestClose() {
  view_->post([this] { onClose(); });
}

}  // namespace zep::audio

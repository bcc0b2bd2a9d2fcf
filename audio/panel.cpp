#include "audio/panel.h"

#include <cstdlib>

#include "applink/rtp.h"
#include "platform/host.h"
#include "platform/process.h"

namespace zep::audio {

AudioToolPanel::AudioToolPanel(AudioToolSettings settings) : settings_(std::move(settings)) {}

AudioToolPanel::~AudioToolPanel() {
  shutdown(false);
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
    if (core_) core_->memberLeft(e.member);  // a member that left leaves no ring behind
  });
  // Once the engine has given the member table (the local member number follows it), both
  // directions start from zero: the request asks everyone present to restart their coders for
  // this tool's fresh decoders, and this tool's coders restart too, since what they coded
  // before the table arrived reached nobody. A member that joins later gets the same restart,
  // also when its own request reached this tool before the engine's news of it did.
  link_->setCallback(applink::kLocalMemberEvent, [this](const applink::LinkEventArgs&) {
    if (!core_) return;
    core_->requestResets();
    const int local = link_->localMember();
    for (int m = 0; m < engine::kMaxMembers; ++m)
      if (m != local && link_->present(m)) {
        core_->restartCoders();
        break;
      }
  });
  link_->setCallback(applink::kMemberAddedEvent, [this](const applink::LinkEventArgs& e) {
    const int local = link_->localMember();  // -1 while the table is still coming
    if (core_ && local >= 0 && e.member != local) core_->restartCoders();
  });
  AudioMixer::Options mixerOptions;
  int rings = settings_.rings;
  if (rings == 0) rings = std::atoi(host::environment("ZEP_AUDIO_RINGS").c_str());
  mixerOptions.maxSources = rings >= 1 && rings <= kMaxSources ? rings : kMaxSources;
  core_ = std::make_unique<AudioCore>(
      *settings_.audio, *settings_.clock, *this,
      [this](std::uint32_t type, std::span<const std::uint8_t> data) {
        return link_->sendMedia(-1, type, data);
      },
      mixerOptions);
  // The threshold keeps its start value until the thumb is first released. The receive
  // thread starts once the devices are probed and the mixer is in place; it hears the member
  // table and sends the reset request.
  core_->start(
      [this] { receiver_ = std::jthread([this](std::stop_token stop) { receive(stop); }); });
  autoChecked_ = false;
  view.setChecked("Auto", false);
}

void AudioToolPanel::receive(const std::stop_token& stop) {
  // The wait ends as soon as a datagram or an engine message arrives, so nothing is gained by
  // waking more often than the stop request needs.
  std::vector<std::uint8_t> buffer;
  while (!stop.stop_requested()) {
    net::ReadSet set;
    link_->fillReadSet(set);
    const int ready = set.wait(kReceiveWaitMs);
    if (core_) core_->forgetGoneSenders();
    if (ready <= 0) continue;
    link_->serviceControl(set);
    if (link_->receiveMedia(set, buffer) <= 0 || !core_) continue;
    // An integrated client in the session sends its own header kind; both are heard.
    if (applink::classifyMediaDatagram(buffer) == applink::MediaHeader::kRtp) {
      if (auto r = applink::decodeRtpDatagram(buffer))
        core_->on_datagram(r->header.payloadType, r->data, static_cast<int>(r->header.source));
      continue;
    }
    auto d = applink::decodeMediaDatagram(buffer);
    if (d) core_->on_datagram(d->type, d->data, d->sender);
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

void AudioToolPanel::shutdown(bool windowAlive) {
  // Nothing may fire at the window once shutdown has begun.
  if (windowAlive && core_) view_->stopTimer(kQuietTimer);
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
  shutdown(true);
  view_->close();
}

void AudioToolPanel::onTimer(int id) {
  if (id == kQuietTimer && core_) core_->onQuietTimer();
}

void AudioToolPanel::restartQuietTimer() {
  // Asked for by the capture and receive threads; the timer is the window's.
  view_->post([this] {
    if (core_) view_->startTimer(kQuietTimer, kQuietPeriodMs);
  });
}

// The meters change every block from the capture and receive threads; a value the window
// already shows is not sent to it again, so a quiet conference does not keep it busy.
void AudioToolPanel::showMicrophoneLevel(int meter) {
  if (shownMicrophone_.exchange(meter) == meter) return;
  view_->post([this, meter] { view_->setValue("Microphone", meter); });
}

void AudioToolPanel::showSpeakerLevel(int meter) {
  if (shownSpeaker_.exchange(meter) == meter) return;
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

#include "kestrel/window.h"

#include <cstdlib>
#include <cstring>

#include "applink/link.h"
#include "platform/process.h"

namespace zep::kestrel {

namespace {

// Call User: a "user@host" to invite.
class CallDialog final : public ui::Presenter {
 public:
  void attach(ui::View& view) override { view_ = &view; }
  void onText(std::string_view field, const std::string& value) override {
    if (field == "User") typed_ = value.substr(0, 70);
  }
  void onClick(std::string_view control) override {
    if (control == "Call") {
      if (typed_.empty()) return;
      text = typed_;
    }
    if (control == "Call" || control == "Close") view_->close();
  }
  void onClose() override { view_->close(); }
  std::string text;

 private:
  ui::View* view_ = nullptr;
  std::string typed_;
};

}  // namespace

KestrelWindow::KestrelWindow(KestrelOptions options)
    : options_(std::move(options)),
      rtpSender_(*options_.clock),
      audioLink_(kAudioPort, rtpSender_),
      videoLink_(kVideoPort, rtpSender_) {}

KestrelWindow::~KestrelWindow() {
  viewAlive_ = false;
  shutdown();
}

void KestrelWindow::attach(ui::View& view) {
  view_ = &view;
  viewAlive_ = true;
  windowThread_ = std::this_thread::get_id();
  view.setChecked("Talk", true);
  view.setPicture("Talk", "microphone");
  view.setPicture("Video", "camera");
  view.setChecked("Video", false);
  view.setEnabled("Accept", false);
  view.setEnabled("Reject", false);
  view.setValue("Speaker threshold", 20);
  view.setValue("Microphone threshold", 20);
  status("Initialization...please wait");
  settings_ = readSettingsFile(options_.settingsPath);
  if (PersonalInfoForm::needed(settings_)) {
    PersonalInfoForm form(settings_);
    view.runDialog(kPersonalInfoTitle, form);
  }
  publishSettings();

  // The chat exists before the engine's thread, which hands it the members' lines.
  ChatEnvironment chat;
  chat.send = [this](int port, int tag, std::span<const std::uint8_t> data) {
    engine_->sendToApplication(port, tag, data);
  };
  chat.localMember = [this] { return engine_->session().localMember; };
  // Asked on the engine's thread for every line received, from the record it published.
  chat.nameOf = [this](int n) {
    auto members = engine_->session().members;
    return members.present(n) ? members[n].name : std::string();
  };
  chat.logPath = options_.workingDirectory + "/chat.log";
  chat.post = [this](std::function<void()> work) { later(std::move(work)); };
  chat_ = std::make_unique<ChatWindow>(chat);

  engineLog_ = std::fopen(options_.engineLogPath.c_str(), "w");
  engine_ = std::make_unique<engine::InProcessEngine>(options_.host, *this,
                                                      engineLog_ ? engineLog_ : stdout);
  if (!engine_->start()) {
    // Another engine serves this address.
    closed_ = true;
    view.close();
    if (options_.exit) options_.exit(0);
    return;
  }
  if (!openMediaLink(audioLink_, audioMutex_, audio_, &AudioObject::onPacket)) return;
  statisticsView_ = view.openWindow(kStatisticsTitle, statistics_);
  chatView_ = view.openWindow(kChatTitle, *chat_);
  status("Conferencing panel ready to use");
  if (!openMediaLink(videoLink_, videoMutex_, video_, &VideoObject::onDatagram)) return;
  startVideo();
  view.setEnabled("Talk", false);
  view.setEnabled("Auto switch", false);
  view.setEnabled("Manual switch", false);
  // The directory connection is made once, with the settings as read: changes of the server,
  // name or e-mail take effect at the next start. A failure has shown its message box.
  if (options_.directory.connect) options_.directory.connect(view, encodeSettings(settings_));
}

// Opens a media port whose datagrams go to the object that exists at the time, under its lock;
// a port that cannot be opened ends the program.
template <typename Object>
bool KestrelWindow::openMediaLink(MediaLink& link, std::mutex& mutex,
                                  std::unique_ptr<Object>& object,
                                  void (Object::*deliver)(int, int, std::span<const std::uint8_t>,
                                                          std::uint16_t)) {
  // Only a present member other than this host, from its own address, is heard or shown.
  link.setFromMember([this](int sender, net::Ipv4 from) {
    if (!engine_) return false;
    auto session = engine_->session();
    return applink::mediaFromMember(session.members, session.localMember, sender, from);
  });
  std::string why;
  bool opened = link.open(
      options_.host,
      [&mutex, &object, deliver](int sender, int type, std::span<const std::uint8_t> data,
                                 std::uint16_t sequence) {
        std::lock_guard lock(mutex);
        if (object) ((*object).*deliver)(sender, type, data, sequence);
      },
      &why);
  if (!opened) {
    std::fprintf(stderr, "Kestrel: %s\n", why.c_str());
    onClose();
  }
  return opened;
}

// The record keeps what the file or the Options say; the other threads act on usable values.
void KestrelWindow::publishSettings() {
  const UsableSettings u = usable(settings_);
  live_.autoAccept = u.autoAccept;
  live_.audioCompression = u.audioCompression;
  live_.mute = u.mute;
  live_.micOff = u.micOff;
  live_.videoCompression = u.videoCompression;
  live_.intraOnly = u.intraOnly;
  live_.frameRate = u.frameRate;
}

void KestrelWindow::later(std::function<void()> work) {
  // Nothing reaches a window that has closed.
  if (viewAlive_) view_->post(std::move(work));
}

void KestrelWindow::status(const std::string& text) {
  view_->setText("Status", text);
}

// --- the engine's news, on its own thread: shown on the window thread ---

void KestrelWindow::onEngineEvent(int tag, const engine::MemberRecord& member,
                                  const std::string& hostName) {
  std::string who = member.name + "@" + hostName;
  if (tag == engine::CTL_INVITATION && live_.autoAccept) {
    // Accepted at once, on the engine's thread that brought it.
    later([this, who] { status("INVITATION from " + who); });
    engine_->accept();
    return;
  }
  const int number = member.number;
  later([this, tag, who, number] {
    switch (tag) {
      case engine::CTL_INVITATION:
        invitationReceived(who);
        break;
      case engine::CTL_ACCEPTED:
        status(who + " accepted");
        break;
      case engine::CTL_REJECTED:
        status(who + " rejected");
        break;
      case engine::CTL_INVITATION_DELIVERED:
        status(who + " received invitation");
        break;
      case engine::CTL_INVITATION_TIMEOUT:
        status(who + " not present");
        break;
      case engine::CTL_ADD_MEMBER:
        if (number < video::kMembers) memberTitles_[static_cast<std::size_t>(number)] = who;
        memberAnnounced(who);
        break;
      case engine::CTL_DELETE_MEMBER: {
        status(who + " left");
        view_->removeItem("Participants", who);
        if (number < video::kMembers) memberTitles_[static_cast<std::size_t>(number)].clear();
        {
          std::lock_guard audioLock(audioMutex_);
          if (audio_) audio_->onMemberDeleted(number);
        }
        std::lock_guard lock(videoMutex_);
        if (video_) video_->onMemberDeleted(number);
        break;
      }
      default:
        break;
    }
  });
}

void KestrelWindow::onApplicationData(int sender, int port, int tag,
                                      std::span<const std::uint8_t> data) {
  if (port == kChatPort && chat_) chat_->receive(sender, tag, data);
}

void KestrelWindow::invitationReceived(const std::string& who) {
  invitationPending_ = true;
  status("INVITATION from " + who);
  view_->setEnabled("Accept", true);
  view_->setEnabled("Reject", true);
  // Ten rings, two seconds apart, until answered.
  ring_ = std::jthread([this](std::stop_token stop) {
    for (int i = 0; i < 10 && !stop.stop_requested(); ++i) {
      std::string error;
      options_.audio->playSoundFile(options_.ringPath, &error, stop);
      options_.clock->waitUntilMicros(options_.clock->nowMicros() + 2'000'000, stop);
    }
  });
}

void KestrelWindow::stopRing() {
  if (ring_.joinable()) {
    ring_.request_stop();
    ring_.join();
  }
}

void KestrelWindow::answer(bool accept) {
  if (!invitationPending_) return;
  invitationPending_ = false;
  stopRing();
  view_->setEnabled("Accept", false);
  view_->setEnabled("Reject", false);
  if (accept)
    engine_->accept();
  else
    engine_->decline();
}

void KestrelWindow::memberAnnounced(const std::string& line) {
  status("New participant joins");
  view_->addItem("Participants", line);
  // The second announcement (the first other member) starts the audio.
  if (announcements_ == 1) startAudio();
  announcements_++;
}

void KestrelWindow::sendAudio(int type, std::span<const std::uint8_t> data) {
  auto session = engine_->session();
  audioLink_.send(-1, type, data, session.members, session.localMember);
}

// --- the video object ---

int KestrelWindow::sendVideo(int destination, int type, std::span<const std::uint8_t> data) {
  if (!engine_) return 0;
  auto session = engine_->session();
  return videoLink_.send(destination, type, data, session.members, session.localMember) ? 1 : 0;
}

void KestrelWindow::startVideo() {
  VideoObjectSettings s;
  s.compression = [this] { return live_.videoCompression.load(); };
  s.intraOnly = [this] { return live_.intraOnly.load() != 0; };
  s.frameRate = [this] { return live_.frameRate.load(); };
  s.fellBackToIntra = [this] {
    later([this] {
      settings_.videoCompression = 1;
      settings_.intraOnly = 1;
      publishSettings();
    });
  };
  s.send = [this](int destination, int type, std::span<const std::uint8_t> data) {
    return sendVideo(destination, type, data);
  };
  s.connectCamera = cameraOf(settings_.captureDevice);
  s.counted = [this](int member, const ReceiveStats& stats, std::uint32_t now) {
    statistics_.update(member, stats, true, now);
  };
  s.captureLogPath = options_.workingDirectory + "/capture.log";
  s.trace = host::environment("ZEP_TRACE") == "1";
  std::string why;
  auto video = VideoObject::create(*options_.clock, *this, s, &why);
  if (!video) {
    view_->messageBox("Error", why, ui::Icon::kError);
    return;
  }
  videoChecked_ = false;
  view_->setChecked("Video", false);
  std::lock_guard lock(videoMutex_);
  video_ = std::move(video);
}

std::function<std::unique_ptr<capture::Camera>(std::string*)> KestrelWindow::cameraOf(int device) {
  return [this, device](std::string* error) -> std::unique_ptr<capture::Camera> {
    if (!options_.connectCamera) return nullptr;
    return options_.connectCamera(device, error);
  };
}

void KestrelWindow::stopVideo() {
  std::unique_ptr<VideoObject> video;
  {
    std::lock_guard lock(videoMutex_);
    video = std::move(video_);
  }
  video.reset();  // stops sending and closes the member windows
  videoChecked_ = false;
  if (viewAlive_) view_->setChecked("Video", false);
}

// Button 1012: the local pictures go out while it is checked.
void KestrelWindow::videoButton() {
  videoChecked_ = !videoChecked_ && video_;
  if (video_) {
    if (videoChecked_)
      videoChecked_ = video_->startSending();
    else
      video_->stopSending();
  }
  view_->setChecked("Video", videoChecked_);
}

void KestrelWindow::setMirrorText(const std::string& text) {
  mirrorText_ = text;
  view_->setDisplayText(kMirrorSlot, text);
}

void KestrelWindow::message(const std::string& title, const std::string& text, ui::Icon icon) {
  if (std::this_thread::get_id() == windowThread_) {
    view_->messageBox(title, text, icon);
    return;
  }
  later([this, title, text, icon] { view_->messageBox(title, text, icon); });
}

// At most one notification per member waits for the window; it opens or closes the member's
// window as the last news wanted, so a flood of starts and stops costs the window nothing.
void KestrelWindow::notify(std::uint32_t code, int member) {
  if (!viewAlive_ || member < 0 || member >= video::kMembers) return;
  const auto m = static_cast<std::size_t>(member);
  windowWanted_[m] = code == kNotifyOpenVideo;
  if (!notifyWaiting_[m].exchange(true))
    view_->postCommand(code << 16 | static_cast<std::uint32_t>(member), 0);
}

void KestrelWindow::showMirror(bool shown) {
  if (!viewAlive_) return;
  if (shown) {
    view_->openDisplay(kMirrorSlot, "Mirror", 0, 0, false);
    view_->setDisplayText(kMirrorSlot, mirrorText_);
  } else {
    view_->closeDisplay(kMirrorSlot);
  }
}

void KestrelWindow::paint(int slot, const picture::VideoFrame420& frame) {
  if (!viewAlive_) return;
  std::vector<std::uint8_t> rgb(picture::kRgbSize);
  picture::frame420ToRgb24(frame, rgb);
  view_->paintDisplay(slot, rgb, picture::kWidth, picture::kHeight);
  if (options_.displayFiles) options_.displayFiles->write(slot, frame, options_.clock->nowMicros());
}

void KestrelWindow::displayText(int slot, const std::string& text) {
  if (viewAlive_) view_->setDisplayText(slot, text);
}

// A member's window: "name@host" as the member's announcement gave it ("unknown@" for a
// member not announced yet), side by side from the left.
void KestrelWindow::openMemberWindow(int member) {
  const std::string& who = memberTitles_[static_cast<std::size_t>(member)];
  std::string title = (who.empty() ? std::string("unknown@") : who).substr(0, 69);
  view_->openDisplay(member, title, 200 * member + 100, 100, true);
}

void KestrelWindow::startAudio() {
  AudioObjectSettings s;
  s.compression = [this] { return live_.audioCompression.load(); };
  s.mute = [this] { return live_.mute.load() != 0; };
  s.micOff = [this] { return live_.micOff.load() != 0; };
  s.send = [this](int type, std::span<const std::uint8_t> data) { sendAudio(type, data); };
  s.counted = [this](int member, const ReceiveStats& stats, std::uint32_t now) {
    statistics_.update(member, stats, false, now);
  };
  s.reportPath = options_.workingDirectory + "/userdata.log";
  s.mixerLogPath = options_.workingDirectory + "/ksa.log";
  // Opening and probing the sound devices takes a while: it happens beside the window, which
  // goes on answering meanwhile; the talk controls come to life once the devices are open.
  endAudioStart();
  const int generation = ++audioGeneration_;
  audioStart_ = std::jthread([this, s = std::move(s), generation] {
    auto audio = std::make_shared<std::unique_ptr<AudioObject>>(
        std::make_unique<AudioObject>(*options_.audio, *options_.clock, *this, s));
    if (!(*audio)->openDevices()) return;
    later([this, audio, generation] {
      // Ended, or the session reset meanwhile: this audio object is not wanted any more.
      if (closed_ || generation != audioGeneration_) return;
      view_->setEnabled("Talk", true);
      view_->setEnabled("Auto switch", true);
      view_->setEnabled("Manual switch", true);
      {
        std::lock_guard lock(audioMutex_);
        audio_ = std::move(*audio);
        audio_->startTalking();
      }
      setMirrorText("Audio On");
      std::lock_guard lock(videoMutex_);
      if (video_) video_->sayHello();
    });
  });
}

void KestrelWindow::endAudioStart() {
  if (audioStart_.joinable()) audioStart_.join();
}

void KestrelWindow::stopAudio() {
  endAudioStart();
  ++audioGeneration_;
  std::unique_ptr<AudioObject> audio;
  {
    std::lock_guard lock(audioMutex_);
    audio = std::move(audio_);
  }
  if (audio) audio->stop();  // writes the receive report
  view_->stopTimer(kSwitchTimer);
}

void KestrelWindow::onCommand(std::uint32_t first, std::uintptr_t second) {
  const std::uint32_t code = first >> 16;
  const int count = static_cast<int>(first & 0xFFFF);
  // The record comes with its notification and is this window's to free, whatever happens.
  std::unique_ptr<DirectoryParticipant, void (*)(void*)> record(
      code == kNotifyConferenceEntered || code == kNotifyParticipantJoined ||
              code == kNotifyParticipantLeft
          ? reinterpret_cast<DirectoryParticipant*>(second)
          : nullptr,
      std::free);
  if (closed_ || !engine_) return;  // shutting down: nothing changes
  auto recordOf = [&](int number) {
    engine::MemberRecord r;
    r.name = std::string(record->name, ::strnlen(record->name, sizeof record->name));
    r.address = record->userId;
    r.number = static_cast<std::uint8_t>(number);
    return r;
  };
  switch (code) {
    case kNotifyOpenVideo:
    case kNotifyCloseVideo:
      if (count >= video::kMembers) break;
      notifyWaiting_[static_cast<std::size_t>(count)] = false;
      if (windowWanted_[static_cast<std::size_t>(count)])
        openMemberWindow(count);
      else
        view_->closeDisplay(count);
      break;
    case kNotifyCallUser: {
      engine::MemberRecord r;
      r.name = "user";
      r.address = static_cast<net::Ipv4>(second);
      if (announcements_ == 0) engine_->create();
      engine_->invite(r);
      break;
    }
    case kNotifyConferenceEntered:
      if (record) engine_->restartAsMember(count, recordOf(0));
      break;
    case kNotifyParticipantJoined:
      if (record) engine_->addRecordAsMember(recordOf(0));  // numbered by the member count
      break;
    case kNotifyConferenceLeft:
      resetSession();
      break;
    case kNotifyParticipantLeft:
      if (record) engine_->deleteMembersAt(record->userId);
      break;
    default:
      break;
  }
}

void KestrelWindow::resetSession() {
  stopVideo();
  stopAudio();
  engine_->leave();
  announcements_ = 0;
  view_->clearItems("Participants");
  view_->setEnabled("Talk", false);
  view_->setEnabled("Auto switch", false);
  view_->setEnabled("Manual switch", false);
  mirrorText_ = "Audio Off";
  for (auto& title : memberTitles_) title.clear();
  startVideo();
}

void KestrelWindow::call(const std::string& text) {
  auto at = text.find('@');
  std::string name = text.substr(0, at),
              hostName = at == std::string::npos ? "" : text.substr(at + 1);
  if (announcements_ == 0) engine_->create();
  engine_->invite(name, hostName);  // looked up on the engine's thread, not this one
}

void KestrelWindow::onClick(std::string_view control) {
  if (control == "Call") {
    CallDialog dialog;
    view_->runDialog("Call User", dialog);
    if (!dialog.text.empty()) call(dialog.text);
  } else if (control == "Accept") {
    answer(true);
  } else if (control == "Reject") {
    answer(false);
  } else if (control == "File/Reset session") {
    resetSession();
  } else if (control == "Edit/Options") {
    options();
  } else if (control == "Video") {
    videoButton();
  } else if (control == "File/Exit") {
    onClose();
  } else if (control == "View/Audio panel") {
    std::string why;
    process::start(options_.mixerProgram, {}, &why);  // nothing is shown when it cannot start
  } else if (control == "View/Statistics") {
    auto session = engine_->session();
    statistics_.refresh(session.members, session.localMember);
    if (statisticsView_) {
      statisticsView_->setVisible("", true);
    } else {
      view_->runDialog(kStatisticsTitle, statistics_);
      statistics_.detach();
    }
  } else if (control == "Tools/Text Chat") {
    if (chatView_) {
      chatView_->setVisible("", true);
    } else if (chat_) {
      view_->runDialog(kChatTitle, *chat_);
      chat_->detach();
    }
  } else if (control == "Directory/Active Users...") {
    auto& d = options_.directory;
    if (!d.activeUsers || d.activeUsers() != 0)
      view_->messageBox(kKestrelTitle, "Active Users dialog error", ui::Icon::kError);
  } else if (control == "Directory/Conferences...") {
    auto& d = options_.directory;
    if (!d.conferences || d.conferences() != 0)
      view_->messageBox(kKestrelTitle, "Conferences dialog error", ui::Icon::kError);
  } else if (control == "Talk") {
    talkChecked_ = !talkChecked_;
    view_->setChecked("Talk", talkChecked_);
    view_->setPicture("Talk", talkChecked_ ? "microphone" : "loudspeaker");
    std::lock_guard lock(audioMutex_);
    if (audio_) audio_->talk().raise(EV_TALK);
  } else if (control == "Auto switch" || control == "Manual switch") {
    const bool isAuto = control == "Auto switch";
    bool& box = isAuto ? autoChecked_ : manualChecked_;
    box = !box;
    if (box) {  // the two boxes exclude each other
      (isAuto ? manualChecked_ : autoChecked_) = false;
      view_->setChecked(isAuto ? "Manual switch" : "Auto switch", false);
    }
    std::lock_guard lock(audioMutex_);
    if (audio_) audio_->talk().onSwitchBox(isAuto ? EV_AUTO : EV_MANUAL, box);
  }
}

void KestrelWindow::onValue(std::string_view control, int value, bool released) {
  if (!released) return;
  std::lock_guard lock(audioMutex_);
  if (!audio_) return;
  if (control == "Speaker threshold") audio_->talk().setReceiveThreshold(value);
  if (control == "Microphone threshold") audio_->talk().setSendThreshold(value);
}

void KestrelWindow::onTimer(int id) {
  if (id != kSwitchTimer) return;
  std::lock_guard lock(audioMutex_);
  if (audio_) audio_->talk().onTimer();
}

// --- the audio object's news ---

void KestrelWindow::showTalk(bool enabled, bool checked) {
  later([this, enabled, checked] {
    talkChecked_ = checked;
    view_->setEnabled("Talk", enabled);
    view_->setChecked("Talk", checked);
    view_->setPicture("Talk", checked ? "microphone" : "loudspeaker");
  });
}

void KestrelWindow::showSwitches(bool autoOn, bool manualOn) {
  later([this, autoOn, manualOn] {
    autoChecked_ = autoOn;
    manualChecked_ = manualOn;
    view_->setChecked("Auto switch", autoOn);
    view_->setChecked("Manual switch", manualOn);
  });
}

void KestrelWindow::showMicrophone(int meter) {
  later([this, meter] { view_->setValue("Microphone", meter); });
}

void KestrelWindow::showSpeaker(int meter) {
  later([this, meter] { view_->setValue("Speaker", meter); });
}

void KestrelWindow::armSwitchTimer() {
  later([this] { view_->startTimer(kSwitchTimer, 1000); });
}

void KestrelWindow::raiseLater(TalkEvent event) {
  later([this, event] {
    std::lock_guard lock(audioMutex_);
    if (audio_) audio_->talk().raise(event);
  });
}

void KestrelWindow::message(const std::string& title, const std::string& text) {
  // The audio object's boxes: its errors ("Error") with the error icon, the rest as notices.
  const ui::Icon icon = title == "Error" ? ui::Icon::kError : ui::Icon::kInformation;
  later([this, title, text, icon] { view_->messageBox(title, text, icon); });
}

void KestrelWindow::requestClose() {
  later([this] { onClose(); });
}

// The local pictures pause while the Options are open; a new capture device restarts capture
// only (the member windows and their counters go on).
void KestrelWindow::options() {
  const bool wasSending = video_ && video_->sending();
  if (wasSending) video_->stopSending();
  OptionsEnvironment environment = options_.optionsEnvironment;
  bool newDevice = false;
  environment.restartCapture = [&newDevice](int) { newDevice = true; };
  environment.applied = [this] { publishSettings(); };
  OptionsDialog dialog(settings_, environment);
  view_->runDialog(kOptionsTitle, dialog);
  publishSettings();
  if (closed_) return;
  if (newDevice && video_) video_->changeCamera(cameraOf(settings_.captureDevice));
  if (wasSending && video_) {
    videoChecked_ = video_->startSending();
    view_->setChecked("Video", videoChecked_);
  } else if (!video_ || !video_->sending()) {
    videoChecked_ = false;
    view_->setChecked("Video", false);
  }
}

void KestrelWindow::shutdown() {
  if (closed_) return;
  closed_ = true;
  stopRing();
  stopVideo();
  videoLink_.close();
  endAudioStart();
  {
    std::lock_guard lock(audioMutex_);
    if (audio_) audio_->stop();
    audio_.reset();
  }
  audioLink_.close();
  if (engine_) {
    engine_->quit();
    engine_->stop();
  }
  engine_.reset();
  if (engineLog_) std::fclose(engineLog_);
  engineLog_ = nullptr;
  writeSettingsFile(options_.settingsPath, settings_);
}

void KestrelWindow::onClose() {
  if (view_ && !closed_) view_->stopTimer(kSwitchTimer);
  shutdown();
  viewAlive_ = false;
  if (view_) view_->close();
}

}  // namespace zep::kestrel

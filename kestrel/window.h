// The integrated client's main window, "Kestrel Videoconferencing": calling and answering,
// the participants, the status line, the meters and thresholds, the talk controls, the text
// chat and the receive statistics, around the in-process engine, the audio transport and the
// audio object. Kestrel.cfg is read at start and written at shutdown.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/in_process.h"
#include "kestrel/audio_object.h"
#include "kestrel/chat.h"
#include "kestrel/media_link.h"
#include "kestrel/options_dialog.h"
#include "kestrel/personal_info.h"
#include "kestrel/settings.h"
#include "kestrel/statistics_window.h"
#include "kestrel/video_object.h"
#include "ui/view.h"
#include "video/display_files.h"

namespace zep::kestrel {

inline constexpr const char* kKestrelTitle = "Kestrel Videoconferencing";
inline constexpr std::uint16_t kAudioPort = 12567;
inline constexpr std::uint16_t kVideoPort = 34999;
inline constexpr int kSwitchTimer = 23000;

struct KestrelOptions {
  clock::Clock* clock = nullptr;
  sound::AudioSystem* audio = nullptr;
  host::HostIdentity host;
  std::string settingsPath = "Kestrel.cfg";
  std::string ringPath = "RINGIN.WAV";
  std::string engineLogPath = "Kestrel.log";
  std::string workingDirectory = ".";                 // chat.log, ksa.log, userdata.log
  std::string mixerProgram = "/usr/bin/pavucontrol";  // View/Audio panel
  OptionsEnvironment optionsEnvironment;              // the Options dialog's devices
  // The capture device of this index in the Options list; null with *error when none.
  std::function<std::unique_ptr<capture::Camera>(int device, std::string* error)> connectCamera;
  // What every picture window showed (ZEP_VIDEO_OUT); null: nothing is written.
  std::shared_ptr<video::DisplayFiles> displayFiles;
  // Ends the program (a failed engine start ends it with code 0).
  std::function<void(int code)> exit;
  // The directory client library: connect is given the main window and the settings record as
  // the last step of start-up; each returns 0, or -1 on failure. Unset: no directory.
  struct Directory {
    std::function<int(ui::View& window, const std::array<std::uint8_t, kSettingsSize>& settings)>
        connect;
    std::function<int()> activeUsers;
    std::function<int()> conferences;
  } directory;
};

// The notifications the directory library posts to the main window (high half of the first
// word), and the record it hands over with some of them, which the receiver frees.
inline constexpr std::uint32_t kNotifyCallUser = 0x3DFB;
inline constexpr std::uint32_t kNotifyConferenceEntered = 0x3DFC;
inline constexpr std::uint32_t kNotifyParticipantJoined = 0x3DFD;
inline constexpr std::uint32_t kNotifyConferenceLeft = 0x3DFE;
inline constexpr std::uint32_t kNotifyParticipantLeft = 0x3DFF;
struct DirectoryParticipant {
  std::uint8_t member;
  char name[20];
  std::uint32_t userId;  // IPv4 address, network byte order
};

class KestrelWindow final : public ui::Presenter,
                            public engine::EngineClient,
                            public AudioObjectHooks,
                            public VideoObjectHooks {
 public:
  explicit KestrelWindow(KestrelOptions options);
  ~KestrelWindow() override;

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onValue(std::string_view control, int value, bool released) override;
  void onClose() override;
  void onTimer(int id) override;
  // A notification of the directory library.
  void onCommand(std::uint32_t first, std::uintptr_t second) override;

  // From the engine's thread.
  void onEngineEvent(int tag, const engine::MemberRecord& member,
                     const std::string& hostName) override;
  void onApplicationData(int sender, int port, int tag,
                         std::span<const std::uint8_t> data) override;

  // AudioObjectHooks: every change reaches the window through the window thread.
  void showTalk(bool enabled, bool checked) override;
  void showSwitches(bool autoOn, bool manualOn) override;
  void showMicrophone(int meter) override;
  void showSpeaker(int meter) override;
  void armSwitchTimer() override;
  void raiseLater(TalkEvent event) override;
  void message(const std::string& title, const std::string& text) override;
  void requestClose() override;

  // VideoObjectHooks.
  void message(const std::string& title, const std::string& text, ui::Icon icon) override;
  void notify(std::uint32_t code, int member) override;
  void showMirror(bool shown) override;
  void paint(int slot, const picture::VideoFrame420& frame) override;
  void displayText(int slot, const std::string& text) override;

  const KestrelSettings& settings() const { return settings_; }
  engine::InProcessEngine* engine() { return engine_.get(); }

 private:
  template <typename Object>
  bool openMediaLink(MediaLink& link, std::mutex& mutex, std::unique_ptr<Object>& object,
                     void (Object::*deliver)(int, int, std::span<const std::uint8_t>,
                                             std::uint16_t));
  void later(std::function<void()> work);
  void publishSettings();
  void status(const std::string& text);
  void invitationReceived(const std::string& who);
  void memberAnnounced(const std::string& line);
  void startAudio();
  void stopAudio();
  void endAudioStart();
  void resetSession();
  void shutdown();
  void call(const std::string& text);
  void answer(bool accept);
  void stopRing();
  void sendAudio(int type, std::span<const std::uint8_t> data);
  int sendVideo(int destination, int type, std::span<const std::uint8_t> data);
  void startVideo();
  std::function<std::unique_ptr<capture::Camera>(std::string*)> cameraOf(int device);
  void stopVideo();
  void videoButton();
  void setMirrorText(const std::string& text);
  void openMemberWindow(int member);
  void options();

  KestrelOptions options_;
  ui::View* view_ = nullptr;
  KestrelSettings settings_;
  std::FILE* engineLog_ = nullptr;
  std::unique_ptr<engine::InProcessEngine> engine_;
  applink::RtpSender rtpSender_;  // one sequence counter for audio and video
  MediaLink audioLink_;
  std::mutex audioMutex_;  // the audio object is used by the media thread too
  std::unique_ptr<AudioObject> audio_;
  MediaLink videoLink_;
  std::mutex videoMutex_;  // the video object is used by the media thread too
  std::unique_ptr<VideoObject> video_;
  bool videoChecked_ = false;
  std::string mirrorText_ = "Audio Off";
  std::unique_ptr<ChatWindow> chat_;
  StatisticsWindow statistics_{[](net::Ipv4 a) { return host::lookupName(a); },
                               [this](std::function<void()> work) { later(std::move(work)); }};
  // The modeless Statistics and Text Chat windows, hidden until their menu entry; null when
  // the front end has none (they then open as modal dialogs).
  ui::View* statisticsView_ = nullptr;
  ui::View* chatView_ = nullptr;
  std::jthread ring_;
  std::jthread audioStart_;  // makes and starts the audio object
  int audioGeneration_ = 0;  // window thread only: which start is still wanted
  bool invitationPending_ = false;
  int announcements_ = 0;
  bool talkChecked_ = true, autoChecked_ = false, manualChecked_ = false;
  bool closed_ = false;
  std::atomic<bool> viewAlive_{false};
  std::thread::id windowThread_;
  // What the media threads read of the settings, copied whenever the window changes them.
  struct LiveSettings {
    std::atomic<bool> autoAccept{true};
    std::atomic<int> audioCompression{14}, mute{0}, micOff{0};
    std::atomic<int> videoCompression{0}, intraOnly{0}, frameRate{5};
  } live_;
  // Member windows: what the last notification wanted, whether one waits, and each member's
  // "name@host" from its announcement.
  std::array<std::atomic<bool>, video::kMembers> windowWanted_{};
  std::array<std::atomic<bool>, video::kMembers> notifyWaiting_{};
  std::array<std::string, video::kMembers> memberTitles_{};
};

}  // namespace zep::kestrel

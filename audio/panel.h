// The audio tool's window: compression choice, microphone and speaker meters, the silence
// threshold, the Talk button and the Auto box, around an AudioCore.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "applink/link.h"
#include "audio/audio_core.h"
#include "ui/view.h"

namespace zep::audio {

inline constexpr const char* kAudioToolTitle = "Audio Tool";
inline constexpr std::uint16_t kAudioPort = 12567;
inline constexpr int kThresholdStart = 6;
// The quiet timer is window timer 23000, firing every second after its last restart.
inline constexpr int kQuietTimer = 23000;
inline constexpr int kQuietPeriodMs = 1000;
// How long the receive thread waits for its sockets before it looks at its stop request.
inline constexpr int kReceiveWaitMs = 100;

struct AudioToolSettings {
  sound::AudioSystem* audio = nullptr;
  clock::Clock* clock = nullptr;
  host::HostIdentity host;
  std::string mixerProgram = "/usr/bin/pavucontrol";  // the "Audio Panel"
  applink::LinkOptions linkOptions;
  // The most senders heard at once (1 to 10); 0: ZEP_AUDIO_RINGS, or 10 when that is unset.
  // Fewer let a test try the limit with a few hosts.
  int rings = 0;
};

class AudioToolPanel final : public ui::Presenter, public AudioCoreHooks {
 public:
  explicit AudioToolPanel(AudioToolSettings settings);
  ~AudioToolPanel() override;

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onValue(std::string_view control, int value, bool released) override;
  void onClose() override;
  void onTimer(int id) override;

  // AudioCoreHooks: every change reaches the window through the window thread.
  void showMicrophoneLevel(int meter) override;
  void showSpeakerLevel(int meter) override;
  void showTalk(bool enabled, bool checked) override;
  void restartQuietTimer() override;
  void raiseLater(AudioEvent event) override;
  void message(const std::string& title, const std::string& text) override;
  void requestClose() override;

  AudioCore* core() { return core_.get(); }

 private:
  void receive(const std::stop_token& stop);
  // windowAlive: false from the destructor, when the window may be gone already.
  void shutdown(bool windowAlive);
  void chooseCodec(std::string_view name);

  AudioToolSettings settings_;
  ui::View* view_ = nullptr;
  std::unique_ptr<applink::Link> link_;
  std::unique_ptr<AudioCore> core_;
  std::jthread receiver_;
  std::atomic<int> shownMicrophone_{-1};  // the meter values last sent to the window
  std::atomic<int> shownSpeaker_{-1};
  bool talkChecked_ = true;
  bool autoChecked_ = false;
};

}  // namespace zep::audio

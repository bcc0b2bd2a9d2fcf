// The audio tool's core: the send path (each captured 100 ms block measured, coded and sent to
// every member), the receive path (each member's blocks decoded into its playout ring), and the
// talk/listen state machine with its automatic switching.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "audio/capture.h"
#include "audio/codecs.h"
#include "audio/playout.h"
#include "platform/audio.h"
#include "platform/clock.h"

namespace zep::audio {

// The audio message set: the type of every audio media datagram.
inline constexpr std::uint32_t AUDIO_RESET_PENDING = 16;  // never sent
inline constexpr std::uint32_t AUDIO_RESET_REQUEST = 17;
inline constexpr std::uint32_t AUDIO_RESET = 18;
inline constexpr std::uint32_t AUDIO_SPEAKER_OFF = 19;
inline constexpr std::size_t kPcmBlockBytes = kBlockSamples * 2;
inline constexpr int kThresholdStep = 327;
inline constexpr int kMeterDivisor = 330;
inline constexpr int kSilentBlocksBeforeQuiet = 10;
inline constexpr std::size_t kAudioToolRingBytes = 16000;
// A sender whose blocks have all been below the silence threshold for this long gives up its
// ring to a new voice when every ring is taken.
inline constexpr std::uint32_t kQuietRingMs = 1000;
// A sender that sent nothing at all for this long (a tool that was killed, a host that went
// away without leaving) loses its ring, so it holds no source of the mixer.
inline constexpr std::uint32_t kGoneSenderMs = 1000;

enum AudioState { TALK = 0, LISTEN = 1, BOTH = 2 };
enum AudioEvent { EV_AUTO = 0, EV_TALK = 1, EV_SILENCE = 2, EV_QUIET = 3 };
enum DeviceClass { FULL_DUPLEX = 20, HALF_DUPLEX = 21 };

// The largest sample as a signed value, from 0: an all-negative block has level 0.
int blockLevel(std::span<const std::int16_t> samples);

// What the core shows and asks of its window.
class AudioCoreHooks {
 public:
  virtual ~AudioCoreHooks() = default;
  virtual void showMicrophoneLevel(int meter) = 0;
  virtual void showSpeakerLevel(int meter) = 0;
  // The Talk button: enabled, checked (the picture follows: microphone when checked).
  virtual void showTalk(bool enabled, bool checked) = 0;
  // Restarts the one-second quiet timer; it calls AudioCore::onQuietTimer when it fires.
  virtual void restartQuietTimer() = 0;
  // Raises an event on the window thread: the capture thread's EV_SILENCE goes this way, so
  // a transition never closes capture from inside the capture thread.
  virtual void raiseLater(AudioEvent event) = 0;
  virtual void message(const std::string& title, const std::string& text) = 0;
  virtual void requestClose() = 0;
};

class AudioCore {
 public:
  // Sends one audio datagram to every member: 1 sent, 0 not.
  using SendToAll = std::function<int(std::uint32_t type, std::span<const std::uint8_t> data)>;

  AudioCore(sound::AudioSystem& audio, clock::Clock& clock, AudioCoreHooks& hooks, SendToAll send,
            AudioMixer::Options mixerOptions = {});
  ~AudioCore();

  // Probes the devices, sets the start state and runs startReceiving (the receive thread
  // starts there, once the mixer is in place).
  void start(const std::function<void()>& startReceiving = {});
  void stop();
  // Asks every member to restart its coder (AUDIO_RESET_REQUEST), so that their coders and this
  // tool's decoders start from the same zero state: sent once the member table is known.
  void requestResets();
  // The next captured block goes out as an AUDIO_RESET with the coders started afresh, as a
  // reset request asks.
  void restartCoders();

  // Send side.
  void on_captured_block(std::span<const std::int16_t> samples);
  void select_codec(std::uint32_t codec);
  void set_threshold(int position) { threshold_ = position * kThresholdStep; }

  // Receive side: one audio datagram from member `sender`.
  void on_datagram(std::uint32_t type, std::span<const std::uint8_t> payload, int sender);
  // The sender closed its playout: its ring goes.
  void forgetSender(int sender);
  // The member left the session: its ring and its decoders' state go (whoever comes next
  // under its number starts afresh).
  void memberLeft(int member);

  void raise_event(AudioEvent event);
  // The quiet timer fired.
  void onQuietTimer();

  AudioState state() const { return state_; }
  DeviceClass deviceClass() const { return deviceClass_; }
  bool autoSwitching() const { return auto_; }
  std::uint32_t sendCodec() const { return sendCodec_; }
  int threshold() const { return threshold_; }
  bool talkRequest() const { return talkRequest_; }
  int silentBlocks() const { return silentBlocks_; }
  bool capturing() const { return capture_.capturing(); }
  bool playing() const { return mixer_ && mixer_->playing(); }
  bool hasRing(int sender) const;
  // Receive thread, at least every 100 ms: frees the rings of senders gone for kGoneSenderMs.
  void forgetGoneSenders();
  AudioMixer* mixer() { return mixer_.get(); }

 private:
  void goTo(AudioState next);
  void openCapture();
  void closeCapture();
  void speakerOff();
  // The ring of the sender quiet longest, at least kQuietRingMs, taken from it; null if none.
  PlayoutRing* takeQuietRing(std::uint32_t now);

  sound::AudioSystem& audio_;
  clock::Clock& clock_;
  AudioCoreHooks& hooks_;
  SendToAll send_;
  AudioMixer::Options mixerOptions_;

  std::atomic<AudioState> state_{BOTH};
  DeviceClass deviceClass_ = FULL_DUPLEX;
  std::atomic<bool> auto_{false};
  std::atomic<std::uint32_t> sendCodec_{AUDIO_ADPCM};
  std::uint32_t savedCodec_ = AUDIO_ADPCM;
  std::mutex codecMutex_;  // the codec reset handshake crosses the receive and capture threads
  std::atomic<int> threshold_{2000};
  std::atomic<int> silentBlocks_{0};
  std::atomic<bool> talkRequest_{false};
  // Coders run on the capture thread, decoders on the receive thread.
  codec::CodecTable codecs_;
  std::recursive_mutex transitions_;  // raise_event comes from the window and capture threads
  AudioCapture capture_;
  std::unique_ptr<AudioMixer> mixer_;
  std::array<PlayoutRing*, kMaxSenders> rings_{};
  std::array<std::uint32_t, kMaxSenders> loudAt_{};   // when each ring's sender was last loud
  std::array<std::uint32_t, kMaxSenders> heardAt_{};  // when each sender last sent anything
};

}  // namespace zep::audio

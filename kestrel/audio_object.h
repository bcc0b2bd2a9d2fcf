// The integrated client's audio object: the sound devices probed at start, 100 ms blocks
// captured, gated and coded by the compression the settings name, received blocks decoded,
// counted and played in rings of 160000 bytes (the integrated client's playout, with
// ksa.log), all steered by the talk control. Media goes out through the caller (the client's
// RTP-layout transport); the receive report goes to userdata.log when the object ends.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "audio/capture.h"
#include "audio/playout.h"
#include "codecs/codec.h"
#include "kestrel/adpcm_packet.h"
#include "kestrel/receive_stats.h"
#include "kestrel/talk.h"
#include "platform/audio.h"

namespace zep::kestrel {

inline constexpr std::size_t kKestrelRingBytes = 160000;

// What the audio object shows and asks of the main window.
class AudioObjectHooks {
 public:
  virtual ~AudioObjectHooks() = default;
  virtual void showTalk(bool enabled, bool checked) = 0;
  virtual void showSwitches(bool autoOn, bool manualOn) = 0;
  virtual void showMicrophone(int meter) = 0;
  virtual void showSpeaker(int meter) = 0;
  virtual void armSwitchTimer() = 0;
  virtual void raiseLater(TalkEvent event) = 0;
  virtual void message(const std::string& title, const std::string& text) = 0;
  virtual void requestClose() = 0;
};

struct AudioObjectSettings {
  std::function<int()> compression;  // 13, 14 or 15, read for every block
  std::function<bool()> mute;        // received audio becomes silence
  std::function<bool()> micOff;      // captured audio becomes silence
  // Sends one packet of this type to every member.
  std::function<void(int type, std::span<const std::uint8_t> data)> send;
  // After every counted packet (the Statistics window).
  std::function<void(int member, const ReceiveStats& stats, std::uint32_t now)> counted;
  std::string reportPath = "userdata.log";
  std::string mixerLogPath = "ksa.log";
};

class AudioObject final : private TalkOutput {
 public:
  AudioObject(sound::AudioSystem& audio, clock::Clock& clock, AudioObjectHooks& hooks,
              AudioObjectSettings settings);
  ~AudioObject() override;

  // Probes the devices and sets the start state. False when there is no playout device (the
  // message is shown and the window asked to close).
  bool start() {
    if (!openDevices()) return false;
    startTalking();
    return true;
  }
  // The two halves of start(): probing the devices takes a while and may run on any thread;
  // the talk control's start shows its state and belongs to the window's thread.
  bool openDevices();
  void startTalking();
  // Closes the devices and writes the receive report.
  void stop();

  // A packet from member i: 13, 14, 15 decoded, counted and played or watched; 19 ends the
  // member's spurt. The sequence number feeds the counters.
  void onPacket(int member, int type, std::span<const std::uint8_t> payload,
                std::uint16_t sequence);
  // The member left the session: its playout buffer goes at once, and its decoders start
  // afresh for whoever comes next under its number. Its counters stay for the report.
  void onMemberDeleted(int member);
  // The playout mixer while the object runs.
  audio::AudioMixer* mixer() { return mixer_.get(); }

  // After start(): the probe decides between the half- and the full-duplex tables.
  TalkControl& talk() { return *talk_; }
  const ReceiveStats* stats(int member) const;

 private:
  // TalkOutput.
  void openCapture() override;
  void closeCapture() override;
  void openPlayout() override;
  void closePlayout() override;
  void sendBlock(std::span<const std::int16_t> samples) override;
  void sendEndOfSpurt() override;
  void play(int member, std::span<const std::int16_t> samples) override;
  void endOfSpurt(int member) override;
  void showTalk(bool enabled, bool checked) override { hooks_.showTalk(enabled, checked); }
  void showSwitches(bool a, bool m) override { hooks_.showSwitches(a, m); }
  void showMicrophone(int meter) override { hooks_.showMicrophone(meter); }
  void showSpeaker(int meter) override { hooks_.showSpeaker(meter); }
  void armTimer() override { hooks_.armSwitchTimer(); }
  void raiseLater(TalkEvent e) override { hooks_.raiseLater(e); }
  void writeReport();

  sound::AudioSystem& audio_;
  clock::Clock& clock_;
  AudioObjectHooks& hooks_;
  AudioObjectSettings settings_;
  codec::CodecTable coders_;    // the capture thread's
  codec::CodecTable decoders_;  // the receiving thread's
  audio::AudioCapture capture_;
  std::unique_ptr<audio::AudioMixer> mixer_;
  std::unique_ptr<TalkControl> talk_;
  // Published once made, for the capture and receiving threads (blocks before it are dropped).
  std::atomic<TalkControl*> live_{nullptr};
  std::mutex ringsMutex_;
  std::array<audio::PlayoutRing*, kMaxAudioSenders> rings_{};
  // Whether the member was told that no playout buffer was left for it: once per member.
  std::array<bool, kMaxAudioSenders> noBufferShown_{};
  std::array<std::unique_ptr<ReceiveStats>, kMaxAudioSenders> stats_{};
  bool started_ = false;
  bool fullDuplex_ = true;
};

}  // namespace zep::kestrel

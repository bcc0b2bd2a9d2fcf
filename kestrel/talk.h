// The integrated client's talk control: block by block, whether the local user is talking,
// listening or both. Full-duplex devices run both unless switching is asked for; half-duplex
// devices switch by voice (auto) or by the talk button (manual). It gates sending by a level
// threshold, says when a talk spurt ends (type 19), and drives the talk button, the switch
// boxes and the meters. No devices or sockets of its own: it tells TalkOutput what to do.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

namespace zep::kestrel {

enum class TalkState { kTalking, kListening, kBoth };
enum TalkEvent { EV_AUTO = 0, EV_TALK = 1, EV_SILENCE = 2, EV_TIMER = 3, EV_MANUAL = 4 };

inline constexpr std::uint32_t AUDIO_END_OF_SPURT = 19;
inline constexpr int kReceiveThresholdStart = 2000;
// The microphone slider shows 20 before it is first released; its threshold starts there.
inline constexpr int kSendThresholdStart = 20 * 327;
inline constexpr int kSilentBlocksBeforeSpurtEnd = 10;
inline constexpr int kMeterDivisor = 330;

// The largest sample, 0 when none is positive (negative peaks do not count).
int peakLevel(std::span<const std::int16_t> samples);

class TalkOutput {
 public:
  virtual ~TalkOutput() = default;
  // Devices.
  virtual void openCapture() = 0;  // and let captured blocks through
  virtual void closeCapture() = 0;
  virtual void openPlayout() = 0;
  virtual void closePlayout() = 0;
  // Media: a coded block, or the empty end of a talk spurt, to every member.
  virtual void sendBlock(std::span<const std::int16_t> samples) = 0;
  virtual void sendEndOfSpurt() = 0;
  virtual void play(int member, std::span<const std::int16_t> samples) = 0;
  // The member's talk spurt ended: what waits in its playout buffer is played out.
  virtual void endOfSpurt(int member) = 0;
  // The window: the talk button (enabled, checked), the switch boxes, the meters and the
  // one-second switch timer (arming kills a running one).
  virtual void showTalk(bool enabled, bool checked) = 0;
  virtual void showSwitches(bool autoOn, bool manualOn) = 0;
  virtual void showMicrophone(int meter) = 0;
  virtual void showSpeaker(int meter) = 0;
  virtual void armTimer() = 0;
  // Raises an event on the window thread: the capture thread's local silence goes this way,
  // so a switch never closes capture from inside the capture thread.
  virtual void raiseLater(TalkEvent event) = 0;
};

class TalkControl {
 public:
  TalkControl(TalkOutput& out, bool fullDuplex);

  // The start state: half duplex talking with manual switching; full duplex both.
  void start();
  void raise(TalkEvent event);
  // The main window's "Auto switch" (EV_AUTO) or "Manual switch" (EV_MANUAL) box now shows
  // `checked`. The two exclude each other: checking one turns the other's switching off
  // first; then the box's own event is raised when it differs from its flag.
  void onSwitchBox(TalkEvent box, bool checked);
  void onTimer();

  // The capture thread: one block (Mic off already applied by the caller).
  void onCapturedBlock(std::span<const std::int16_t> samples);
  // The receiving thread: a decoded block from member i (Mute already applied), or the end
  // of its talk spurt.
  void onReceivedBlock(int member, std::span<const std::int16_t> samples);
  void onEndOfSpurt(int member);

  void setSendThreshold(int position) { sendThreshold_ = position * 327; }
  void setReceiveThreshold(int position) { receiveThreshold_ = position * 327; }

  TalkState state() const { return state_; }
  bool autoSwitching() const { return auto_; }
  bool manualSwitching() const { return manual_; }
  bool remoteVoiceSeen() const { return remoteVoice_; }
  int silentBlocks() const { return silentBlocks_; }
  bool fullDuplex() const { return fullDuplex_; }

 private:
  void dispatch(TalkEvent e);  // with mutex_ held
  void goTo(TalkState next);
  void halfDuplex(TalkEvent e);
  void fullDuplexEvent(TalkEvent e);

  TalkOutput& out_;
  const bool fullDuplex_;
  std::recursive_mutex mutex_;  // window, capture and receiving threads all raise events
  std::atomic<TalkState> state_{TalkState::kBoth};
  std::atomic<bool> auto_{false}, manual_{false}, remoteVoice_{false};
  std::atomic<int> silentBlocks_{0};
  std::atomic<int> sendThreshold_{kSendThresholdStart};
  std::atomic<int> receiveThreshold_{kReceiveThresholdStart};
};

}  // namespace zep::kestrel

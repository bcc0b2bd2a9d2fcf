#include "kestrel/talk.h"

#include <algorithm>

namespace zep::kestrel {

int peakLevel(std::span<const std::int16_t> samples) {
  int peak = 0;
  for (auto s : samples) peak = std::max(peak, static_cast<int>(s));
  return peak;
}

TalkControl::TalkControl(TalkOutput& out, bool fullDuplex) : out_(out), fullDuplex_(fullDuplex) {}

void TalkControl::start() {
  std::lock_guard lock(mutex_);
  auto_ = false;
  if (fullDuplex_) {
    state_ = TalkState::kBoth;
    manual_ = false;
    out_.showTalk(false, true);
  } else {
    state_ = TalkState::kTalking;
    manual_ = true;
    out_.showTalk(true, true);
  }
  out_.showSwitches(auto_, manual_);
}

void TalkControl::goTo(TalkState next) {
  TalkState from = state_;
  if (next == from) return;
  switch (next) {
    case TalkState::kTalking:
      out_.showTalk(true, true);
      if (from == TalkState::kListening) {
        out_.showSpeaker(0);
        out_.closePlayout();
        out_.sendEndOfSpurt();
        out_.openCapture();
      } else {
        out_.closePlayout();
        out_.sendEndOfSpurt();
      }
      break;
    case TalkState::kListening:
      out_.showTalk(true, false);
      out_.closeCapture();
      if (from == TalkState::kTalking) {
        out_.showMicrophone(0);
        out_.openPlayout();
      }
      break;
    case TalkState::kBoth:
      out_.showTalk(false, true);
      if (from == TalkState::kTalking)
        out_.openPlayout();
      else
        out_.openCapture();
      break;
  }
  state_ = next;
}

void TalkControl::halfDuplex(TalkEvent e) {
  TalkState s = state_;
  if (auto_) {
    if (e == EV_MANUAL) {
      auto_ = false;
      manual_ = true;
    } else if (e == EV_AUTO) {
      auto_ = false;
    } else if (s == TalkState::kTalking && (e == EV_SILENCE || e == EV_TALK)) {
      goTo(TalkState::kListening);
    } else if (s == TalkState::kListening && (e == EV_TIMER || e == EV_TALK)) {
      goTo(TalkState::kTalking);
    }
    return;
  }
  if (e == EV_MANUAL) {
    manual_ = !manual_;
  } else if (e == EV_AUTO) {
    auto_ = true;
    manual_ = false;
    if (s == TalkState::kListening) goTo(TalkState::kTalking);
  } else if (e == EV_TALK) {
    goTo(s == TalkState::kTalking ? TalkState::kListening : TalkState::kTalking);
  }
}

void TalkControl::fullDuplexEvent(TalkEvent e) {
  TalkState s = state_;
  if (auto_) {
    if (e == EV_MANUAL) {
      auto_ = false;
      manual_ = true;
    } else if (e == EV_AUTO && s != TalkState::kBoth) {
      auto_ = false;
      goTo(TalkState::kBoth);
    } else if (s == TalkState::kTalking && (e == EV_SILENCE || e == EV_TALK)) {
      goTo(TalkState::kListening);
    } else if (s == TalkState::kListening && (e == EV_TIMER || e == EV_TALK)) {
      goTo(TalkState::kTalking);
    }
    return;
  }
  if (e == EV_AUTO) {
    auto_ = true;
    goTo(TalkState::kTalking);
  } else if (e == EV_MANUAL) {
    manual_ = !manual_;
    goTo(manual_ ? TalkState::kListening : TalkState::kBoth);
  } else if (e == EV_TALK && manual_) {
    if (s == TalkState::kListening) goTo(TalkState::kTalking);
    if (s == TalkState::kTalking) goTo(TalkState::kListening);
  }
}

void TalkControl::dispatch(TalkEvent e) {
  if (fullDuplex_)
    fullDuplexEvent(e);
  else
    halfDuplex(e);
}

void TalkControl::raise(TalkEvent event) {
  std::lock_guard lock(mutex_);
  bool wasAuto = auto_, wasManual = manual_;
  dispatch(event);
  if (auto_ != wasAuto || manual_ != wasManual) out_.showSwitches(auto_, manual_);
}

void TalkControl::onSwitchBox(TalkEvent box, bool checked) {
  std::lock_guard lock(mutex_);
  bool wasAuto = auto_, wasManual = manual_;
  const bool isAuto = box == EV_AUTO;
  if (checked) (isAuto ? manual_ : auto_) = false;
  if (checked != (isAuto ? auto_ : manual_)) dispatch(box);
  if (auto_ != wasAuto || manual_ != wasManual) out_.showSwitches(auto_, manual_);
}

void TalkControl::onTimer() {
  raise(EV_TIMER);
  remoteVoice_ = false;
}

void TalkControl::onCapturedBlock(std::span<const std::int16_t> samples) {
  const int level = peakLevel(samples);
  if (level >= sendThreshold_) out_.sendBlock(samples);
  out_.showMicrophone(level / kMeterDivisor);
  if (level > sendThreshold_) {
    silentBlocks_ = 0;
    return;
  }
  if (++silentBlocks_ < kSilentBlocksBeforeSpurtEnd) return;
  // A second of silence: every further silent block ends the spurt again.
  out_.armTimer();
  if (remoteVoice_) {
    silentBlocks_ = 0;
    out_.raiseLater(EV_SILENCE);
  }
  out_.sendEndOfSpurt();
}

void TalkControl::onReceivedBlock(int member, std::span<const std::int16_t> samples) {
  const int level = peakLevel(samples);
  out_.showSpeaker(level / kMeterDivisor);
  switch (state_.load()) {
    case TalkState::kListening:
      if (level > receiveThreshold_) out_.armTimer();
      out_.play(member, samples);
      break;
    case TalkState::kBoth:
      out_.play(member, samples);
      break;
    case TalkState::kTalking:
      // Talking, the others are only watched.
      if (level > receiveThreshold_) remoteVoice_ = true;
      break;
  }
}

void TalkControl::onEndOfSpurt(int member) {
  out_.endOfSpurt(member);
}

}  // namespace zep::kestrel
